<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr" sourcelanguage="en">
<context>
    <name>SignerDialog</name>
    <message>
        <source>Last try: one more wrong PIN locks the card.</source>
        <translation>Dernier essai : un autre code PIN erroné bloque la carte.</translation>
    </message>
    <message>
        <source>A wrong PIN was entered before: only few tries are left.</source>
        <translation>Un code PIN erroné a déjà été saisi : il ne reste que peu d’essais.</translation>
    </message>
    <message>
        <source>Issued by %1, valid until %2, %3, on &quot;%4&quot;</source>
        <translation>Émis par %1, valable jusqu’au %2, %3, sur « %4 »</translation>
    </message>
    <message>
        <source>Requesting site: %1</source>
        <translation>Site demandeur : %1</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>Without an answer this request is cancelled in %1.</source>
        <translation>Sans réponse, cette demande est annulée dans %1.</translation>
    </message>
    <message>
        <source>Choose a certificate to log in</source>
        <translation>Choisir un certificat pour se connecter</translation>
    </message>
    <message>
        <source>Choose a certificate for signing</source>
        <translation>Choisir un certificat pour signer</translation>
    </message>
    <message>
        <source>This site asks which certificate you log in with:</source>
        <translation>Ce site demande avec quel certificat vous vous connectez :</translation>
    </message>
    <message>
        <source>This site asks which certificate you sign with:</source>
        <translation>Ce site demande avec quel certificat vous signez :</translation>
    </message>
    <message>
        <source>The site will see the certificate you choose: your name and the certificate&apos;s details. If you cancel, it learns nothing.</source>
        <translation>Le site verra le certificat choisi : votre nom et les détails du certificat. Si vous annulez, il n’apprend rien.</translation>
    </message>
    <message>
        <source>Certificates</source>
        <translation>Certificats</translation>
    </message>
    <message>
        <source>Let this site see this certificate from now on</source>
        <translation>Autoriser ce site à voir ce certificat désormais</translation>
    </message>
    <message>
        <source>Select</source>
        <translation>Choisir</translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for log-in only are not shown.</source>
        <translation>
            <numerusform>%n certificat réservé à la connexion n’est pas affiché.</numerusform>
            <numerusform>%n certificats réservés à la connexion ne sont pas affichés.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for signing only are not shown.</source>
        <translation>
            <numerusform>%n certificat réservé à la signature n’est pas affiché.</numerusform>
            <numerusform>%n certificats réservés à la signature ne sont pas affichés.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) outside their validity period are not shown.</source>
        <translation>
            <numerusform>%n certificat hors de sa période de validité n’est pas affiché.</numerusform>
            <numerusform>%n certificats hors de leur période de validité ne sont pas affichés.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for other uses are not shown.</source>
        <translation>
            <numerusform>%n certificat destiné à d’autres usages n’est pas affiché.</numerusform>
            <numerusform>%n certificats destinés à d’autres usages ne sont pas affichés.</numerusform>
        </translation>
    </message>
    <message>
        <source>Insert your card or token.</source>
        <translation>Insérez votre carte ou votre jeton.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for log-in.</source>
        <translation>Aucun certificat de vos cartes ou jetons ne sert à la connexion.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for signing.</source>
        <translation>Aucun certificat de vos cartes ou jetons ne sert à signer.</translation>
    </message>
    <message>
        <source>Log-in request</source>
        <translation>Demande de connexion</translation>
    </message>
    <message>
        <source>Signature request</source>
        <translation>Demande de signature</translation>
    </message>
    <message>
        <source>Log in to:</source>
        <translation>Se connecter à :</translation>
    </message>
    <message>
        <source>A site asks for your signature:</source>
        <translation>Un site demande votre signature :</translation>
    </message>
    <message>
        <source>Document, as the site names it</source>
        <translation>Document, tel que le site le nomme</translation>
    </message>
    <message>
        <source>(not named)</source>
        <translation>(sans nom)</translation>
    </message>
    <message>
        <source>Document name: %1</source>
        <translation>Nom du document : %1</translation>
    </message>
    <message>
        <source>%1 digest of the document:</source>
        <translation>Empreinte %1 du document :</translation>
    </message>
    <message>
        <source>Digest: %1</source>
        <translation>Empreinte : %1</translation>
    </message>
    <message>
        <source>Certificate:</source>
        <translation>Certificat :</translation>
    </message>
    <message>
        <source>Issued by:</source>
        <translation>Émis par :</translation>
    </message>
    <message>
        <source>Valid until:</source>
        <translation>Valable jusqu’au :</translation>
    </message>
    <message>
        <source>Card or token:</source>
        <translation>Carte ou jeton :</translation>
    </message>
    <message>
        <source>Algorithm:</source>
        <translation>Algorithme :</translation>
    </message>
    <message>
        <source>Log in</source>
        <translation>Se connecter</translation>
    </message>
    <message>
        <source>Sign</source>
        <translation>Signer</translation>
    </message>
    <message>
        <source>After &quot;%1&quot;, enter the PIN on the reader&apos;s keypad.</source>
        <translation>Après « %1 », saisissez le code PIN sur le clavier du lecteur.</translation>
    </message>
    <message>
        <source>PIN</source>
        <translation>Code PIN</translation>
    </message>
    <message>
        <source>PIN:</source>
        <translation>Code PIN :</translation>
    </message>
    <message>
        <source>Insert the card or token with this certificate.</source>
        <translation>Insérez la carte ou le jeton portant ce certificat.</translation>
    </message>
    <message>
        <source>Signature PIN</source>
        <translation>Code PIN de signature</translation>
    </message>
    <message>
        <source>The card needs the PIN for this signature once more: %1</source>
        <translation>La carte demande à nouveau le code PIN pour cette signature : %1</translation>
    </message>
    <message numerus="yes">
        <source>%n document(s), as the site names them</source>
        <translation>
            <numerusform>%n document, tel que le site le nomme</numerusform>
            <numerusform>%n documents, tels que le site les nomme</numerusform>
        </translation>
    </message>
    <message>
        <source>Will not be signed: %1</source>
        <translation>Ne sera pas signé : %1</translation>
    </message>
    <message>
        <source>No preview</source>
        <translation>Pas d’aperçu</translation>
    </message>
    <message>
        <source>%1 digest</source>
        <translation>Empreinte %1</translation>
    </message>
    <message numerus="yes">
        <source>PDF, %n page(s), %1</source>
        <translation>
            <numerusform>PDF, %n page, %1</numerusform>
            <numerusform>PDF, %n pages, %1</numerusform>
        </translation>
    </message>
    <message>
        <source>PDF, %1</source>
        <translation>PDF, %1</translation>
    </message>
    <message>
        <source>Signing documents</source>
        <translation>Signature des documents</translation>
    </message>
    <message>
        <source>Signing documents for:</source>
        <translation>Signature des documents pour :</translation>
    </message>
    <message>
        <source>%1 of %2 signed, %3 not signed</source>
        <translation>%1 sur %2 signés, %3 non signés</translation>
    </message>
    <message numerus="yes">
        <source>%n page(s); the signature goes on page %1.</source>
        <translation>
            <numerusform>%n page ; la signature sera placée en page %1.</numerusform>
            <numerusform>%n pages ; la signature sera placée en page %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>No preview: this page cannot be drawn.</source>
        <translation>Pas d’aperçu : cette page ne peut pas être affichée.</translation>
    </message>
    <message>
        <source>Preview of page %1</source>
        <translation>Aperçu de la page %1</translation>
    </message>
</context>
</TS>
