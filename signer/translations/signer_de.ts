<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de" sourcelanguage="en">
<context>
    <name>SignerDialog</name>
    <message>
        <source>Last try: one more wrong PIN locks the card.</source>
        <translation>Letzter Versuch: Eine weitere falsche PIN sperrt die Karte.</translation>
    </message>
    <message>
        <source>A wrong PIN was entered before: only few tries are left.</source>
        <translation>Zuvor wurde eine falsche PIN eingegeben: Es bleiben nur wenige Versuche.</translation>
    </message>
    <message>
        <source>Issued by %1, valid until %2, %3, on &quot;%4&quot;</source>
        <translation>Ausgestellt von %1, gültig bis %2, %3, auf „%4“</translation>
    </message>
    <message>
        <source>Requesting site: %1</source>
        <translation>Anfragende Website: %1</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Without an answer this request is cancelled in %1.</source>
        <translation>Ohne Antwort wird diese Anfrage in %1 abgebrochen.</translation>
    </message>
    <message>
        <source>Choose a certificate to log in</source>
        <translation>Zertifikat zum Anmelden auswählen</translation>
    </message>
    <message>
        <source>Choose a certificate for signing</source>
        <translation>Zertifikat zum Signieren auswählen</translation>
    </message>
    <message>
        <source>This site asks which certificate you log in with:</source>
        <translation>Diese Website fragt, mit welchem Zertifikat Sie sich anmelden:</translation>
    </message>
    <message>
        <source>This site asks which certificate you sign with:</source>
        <translation>Diese Website fragt, mit welchem Zertifikat Sie signieren:</translation>
    </message>
    <message>
        <source>The site will see the certificate you choose: your name and the certificate&apos;s details. If you cancel, it learns nothing.</source>
        <translation>Die Website sieht das gewählte Zertifikat: Ihren Namen und die Angaben des Zertifikats. Wenn Sie abbrechen, erfährt sie nichts.</translation>
    </message>
    <message>
        <source>Certificates</source>
        <translation>Zertifikate</translation>
    </message>
    <message>
        <source>Let this site see this certificate from now on</source>
        <translation>Diese Website darf dieses Zertifikat ab jetzt sehen</translation>
    </message>
    <message>
        <source>Select</source>
        <translation>Auswählen</translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for log-in only are not shown.</source>
        <translation>
            <numerusform>%n Zertifikat nur zum Anmelden wird nicht angezeigt.</numerusform>
            <numerusform>%n Zertifikate nur zum Anmelden werden nicht angezeigt.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for signing only are not shown.</source>
        <translation>
            <numerusform>%n Zertifikat nur zum Signieren wird nicht angezeigt.</numerusform>
            <numerusform>%n Zertifikate nur zum Signieren werden nicht angezeigt.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) outside their validity period are not shown.</source>
        <translation>
            <numerusform>%n Zertifikat außerhalb seiner Gültigkeit wird nicht angezeigt.</numerusform>
            <numerusform>%n Zertifikate außerhalb ihrer Gültigkeit werden nicht angezeigt.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for other uses are not shown.</source>
        <translation>
            <numerusform>%n Zertifikat für andere Zwecke wird nicht angezeigt.</numerusform>
            <numerusform>%n Zertifikate für andere Zwecke werden nicht angezeigt.</numerusform>
        </translation>
    </message>
    <message>
        <source>Insert your card or token.</source>
        <translation>Stecken Sie Ihre Karte oder Ihr Token ein.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for log-in.</source>
        <translation>Kein Zertifikat auf Ihren Karten oder Tokens dient zum Anmelden.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for signing.</source>
        <translation>Kein Zertifikat auf Ihren Karten oder Tokens dient zum Signieren.</translation>
    </message>
    <message>
        <source>Log-in request</source>
        <translation>Anmeldeanfrage</translation>
    </message>
    <message>
        <source>Signature request</source>
        <translation>Signaturanfrage</translation>
    </message>
    <message>
        <source>Log in to:</source>
        <translation>Anmelden bei:</translation>
    </message>
    <message>
        <source>A site asks for your signature:</source>
        <translation>Eine Website bittet um Ihre Signatur:</translation>
    </message>
    <message>
        <source>Document, as the site names it</source>
        <translation>Dokument, wie die Website es benennt</translation>
    </message>
    <message>
        <source>(not named)</source>
        <translation>(ohne Namen)</translation>
    </message>
    <message>
        <source>Document name: %1</source>
        <translation>Dokumentname: %1</translation>
    </message>
    <message>
        <source>%1 digest of the document:</source>
        <translation>%1-Prüfsumme des Dokuments:</translation>
    </message>
    <message>
        <source>Digest: %1</source>
        <translation>Prüfsumme: %1</translation>
    </message>
    <message>
        <source>Certificate:</source>
        <translation>Zertifikat:</translation>
    </message>
    <message>
        <source>Issued by:</source>
        <translation>Ausgestellt von:</translation>
    </message>
    <message>
        <source>Valid until:</source>
        <translation>Gültig bis:</translation>
    </message>
    <message>
        <source>Card or token:</source>
        <translation>Karte oder Token:</translation>
    </message>
    <message>
        <source>Algorithm:</source>
        <translation>Algorithmus:</translation>
    </message>
    <message>
        <source>Log in</source>
        <translation>Anmelden</translation>
    </message>
    <message>
        <source>Sign</source>
        <translation>Signieren</translation>
    </message>
    <message>
        <source>After &quot;%1&quot;, enter the PIN on the reader&apos;s keypad.</source>
        <translation>Geben Sie nach „%1“ die PIN am Tastenfeld des Lesegeräts ein.</translation>
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
        <translation>Stecken Sie die Karte oder das Token mit diesem Zertifikat ein.</translation>
    </message>
    <message>
        <source>Signature PIN</source>
        <translation>Signatur-PIN</translation>
    </message>
    <message>
        <source>The card needs the PIN for this signature once more: %1</source>
        <translation>Die Karte braucht die PIN für diese Signatur noch einmal: %1</translation>
    </message>
    <message numerus="yes">
        <source>%n document(s), as the site names them</source>
        <translation>
            <numerusform>%n Dokument, wie die Website es nennt</numerusform>
            <numerusform>%n Dokumente, wie die Website sie nennt</numerusform>
        </translation>
    </message>
    <message>
        <source>Will not be signed: %1</source>
        <translation>Wird nicht signiert: %1</translation>
    </message>
    <message>
        <source>No preview</source>
        <translation>Keine Vorschau</translation>
    </message>
    <message>
        <source>%1 digest</source>
        <translation>%1-Hashwert</translation>
    </message>
    <message numerus="yes">
        <source>PDF, %n page(s), %1</source>
        <translation>
            <numerusform>PDF, %n Seite, %1</numerusform>
            <numerusform>PDF, %n Seiten, %1</numerusform>
        </translation>
    </message>
    <message>
        <source>PDF, %1</source>
        <translation>PDF, %1</translation>
    </message>
    <message>
        <source>Signing documents</source>
        <translation>Dokumente werden signiert</translation>
    </message>
    <message>
        <source>Signing documents for:</source>
        <translation>Dokumente werden signiert für:</translation>
    </message>
    <message>
        <source>%1 of %2 signed, %3 not signed</source>
        <translation>%1 von %2 signiert, %3 nicht signiert</translation>
    </message>
    <message numerus="yes">
        <source>%n page(s); the signature goes on page %1.</source>
        <translation>
            <numerusform>%n Seite; die Signatur kommt auf Seite %1.</numerusform>
            <numerusform>%n Seiten; die Signatur kommt auf Seite %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>No preview: this page cannot be drawn.</source>
        <translation>Keine Vorschau: Diese Seite kann nicht dargestellt werden.</translation>
    </message>
    <message>
        <source>Preview of page %1</source>
        <translation>Vorschau von Seite %1</translation>
    </message>
</context>
</TS>
