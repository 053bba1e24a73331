<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="et" sourcelanguage="en">
<context>
    <name>SignerDialog</name>
    <message>
        <source>Last try: one more wrong PIN locks the card.</source>
        <translation>Viimane katse: veel üks vale PIN lukustab kaardi.</translation>
    </message>
    <message>
        <source>A wrong PIN was entered before: only few tries are left.</source>
        <translation>Varem sisestati vale PIN: alles on vaid mõni katse.</translation>
    </message>
    <message>
        <source>Issued by %1, valid until %2, %3, on &quot;%4&quot;</source>
        <translation>Väljastaja %1, kehtib kuni %2, %3, kandjal „%4“</translation>
    </message>
    <message>
        <source>Requesting site: %1</source>
        <translation>Taotlev veebisait: %1</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Loobu</translation>
    </message>
    <message>
        <source>Without an answer this request is cancelled in %1.</source>
        <translation>Vastuseta tühistatakse see päring %1 pärast.</translation>
    </message>
    <message>
        <source>Choose a certificate to log in</source>
        <translation>Vali sisselogimiseks sertifikaat</translation>
    </message>
    <message>
        <source>Choose a certificate for signing</source>
        <translation>Vali allkirjastamiseks sertifikaat</translation>
    </message>
    <message>
        <source>This site asks which certificate you log in with:</source>
        <translation>See veebisait küsib, millise sertifikaadiga sisse logite:</translation>
    </message>
    <message>
        <source>This site asks which certificate you sign with:</source>
        <translation>See veebisait küsib, millise sertifikaadiga allkirjastate:</translation>
    </message>
    <message>
        <source>The site will see the certificate you choose: your name and the certificate&apos;s details. If you cancel, it learns nothing.</source>
        <translation>Veebisait näeb valitud sertifikaati: teie nime ja sertifikaadi andmeid. Kui loobute, ei saa see midagi teada.</translation>
    </message>
    <message>
        <source>Certificates</source>
        <translation>Sertifikaadid</translation>
    </message>
    <message>
        <source>Let this site see this certificate from now on</source>
        <translation>Luba sellel veebisaidil seda sertifikaati edaspidi näha</translation>
    </message>
    <message>
        <source>Select</source>
        <translation>Vali</translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for log-in only are not shown.</source>
        <translation>
            <numerusform>%n ainult sisselogimiseks mõeldud sertifikaati ei kuvata.</numerusform>
            <numerusform>%n ainult sisselogimiseks mõeldud sertifikaati ei kuvata.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for signing only are not shown.</source>
        <translation>
            <numerusform>%n ainult allkirjastamiseks mõeldud sertifikaati ei kuvata.</numerusform>
            <numerusform>%n ainult allkirjastamiseks mõeldud sertifikaati ei kuvata.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) outside their validity period are not shown.</source>
        <translation>
            <numerusform>%n kehtivusajast väljas olevat sertifikaati ei kuvata.</numerusform>
            <numerusform>%n kehtivusajast väljas olevat sertifikaati ei kuvata.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for other uses are not shown.</source>
        <translation>
            <numerusform>%n muuks otstarbeks mõeldud sertifikaati ei kuvata.</numerusform>
            <numerusform>%n muuks otstarbeks mõeldud sertifikaati ei kuvata.</numerusform>
        </translation>
    </message>
    <message>
        <source>Insert your card or token.</source>
        <translation>Sisestage oma kaart või pulk.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for log-in.</source>
        <translation>Ükski teie kaartide või pulkade sertifikaat ei ole sisselogimiseks.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for signing.</source>
        <translation>Ükski teie kaartide või pulkade sertifikaat ei ole allkirjastamiseks.</translation>
    </message>
    <message>
        <source>Log-in request</source>
        <translation>Sisselogimise taotlus</translation>
    </message>
    <message>
        <source>Signature request</source>
        <translation>Allkirjastamise taotlus</translation>
    </message>
    <message>
        <source>Log in to:</source>
        <translation>Logi sisse:</translation>
    </message>
    <message>
        <source>A site asks for your signature:</source>
        <translation>Veebisait palub teie allkirja:</translation>
    </message>
    <message>
        <source>Document, as the site names it</source>
        <translation>Dokument, nagu veebisait seda nimetab</translation>
    </message>
    <message>
        <source>(not named)</source>
        <translation>(nimetu)</translation>
    </message>
    <message>
        <source>Document name: %1</source>
        <translation>Dokumendi nimi: %1</translation>
    </message>
    <message>
        <source>%1 digest of the document:</source>
        <translation>Dokumendi %1 räsi:</translation>
    </message>
    <message>
        <source>Digest: %1</source>
        <translation>Räsi: %1</translation>
    </message>
    <message>
        <source>Certificate:</source>
        <translation>Sertifikaat:</translation>
    </message>
    <message>
        <source>Issued by:</source>
        <translation>Väljastaja:</translation>
    </message>
    <message>
        <source>Valid until:</source>
        <translation>Kehtib kuni:</translation>
    </message>
    <message>
        <source>Card or token:</source>
        <translation>Kaart või pulk:</translation>
    </message>
    <message>
        <source>Algorithm:</source>
        <translation>Algoritm:</translation>
    </message>
    <message>
        <source>Log in</source>
        <translation>Logi sisse</translation>
    </message>
    <message>
        <source>Sign</source>
        <translation>Allkirjasta</translation>
    </message>
    <message>
        <source>After &quot;%1&quot;, enter the PIN on the reader&apos;s keypad.</source>
        <translation>Pärast nuppu „%1“ sisestage PIN kaardilugeja klaviatuuril.</translation>
    </message>
    <message>
        <source>PIN</source>
        <translation>PIN</translation>
    </message>
    <message>
        <source>PIN:</source>
        <translation>PIN:</translation>
    </message>
    <message>
        <source>Insert the card or token with this certificate.</source>
        <translation>Sisestage selle sertifikaadiga kaart või pulk.</translation>
    </message>
    <message>
        <source>Signature PIN</source>
        <translation>Allkirjastamise PIN</translation>
    </message>
    <message>
        <source>The card needs the PIN for this signature once more: %1</source>
        <translation>Kaart vajab selle allkirja jaoks PIN-i veel kord: %1</translation>
    </message>
    <message numerus="yes">
        <source>%n document(s), as the site names them</source>
        <translation>
            <numerusform>%n dokument, nagu sait seda nimetab</numerusform>
            <numerusform>%n dokumenti, nagu sait neid nimetab</numerusform>
        </translation>
    </message>
    <message>
        <source>Will not be signed: %1</source>
        <translation>Ei allkirjastata: %1</translation>
    </message>
    <message>
        <source>No preview</source>
        <translation>Eelvaade puudub</translation>
    </message>
    <message>
        <source>%1 digest</source>
        <translation>%1 räsi</translation>
    </message>
    <message numerus="yes">
        <source>PDF, %n page(s), %1</source>
        <translation>
            <numerusform>PDF, %n lehekülg, %1</numerusform>
            <numerusform>PDF, %n lehekülge, %1</numerusform>
        </translation>
    </message>
    <message>
        <source>PDF, %1</source>
        <translation>PDF, %1</translation>
    </message>
    <message>
        <source>Signing documents</source>
        <translation>Dokumentide allkirjastamine</translation>
    </message>
    <message>
        <source>Signing documents for:</source>
        <translation>Dokumentide allkirjastamine saidile:</translation>
    </message>
    <message>
        <source>%1 of %2 signed, %3 not signed</source>
        <translation>%1/%2 allkirjastatud, %3 allkirjastamata</translation>
    </message>
    <message numerus="yes">
        <source>%n page(s); the signature goes on page %1.</source>
        <translation>
            <numerusform>%n lehekülg; allkiri tuleb leheküljele %1.</numerusform>
            <numerusform>%n lehekülge; allkiri tuleb leheküljele %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>No preview: this page cannot be drawn.</source>
        <translation>Eelvaade puudub: seda lehekülge ei saa kuvada.</translation>
    </message>
    <message>
        <source>Preview of page %1</source>
        <translation>Lehekülje %1 eelvaade</translation>
    </message>
</context>
</TS>
