<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es" sourcelanguage="en">
<context>
    <name>SignerDialog</name>
    <message>
        <source>Last try: one more wrong PIN locks the card.</source>
        <translation>Último intento: otro PIN incorrecto bloquea la tarjeta.</translation>
    </message>
    <message>
        <source>A wrong PIN was entered before: only few tries are left.</source>
        <translation>Ya se introdujo un PIN incorrecto: quedan pocos intentos.</translation>
    </message>
    <message>
        <source>Issued by %1, valid until %2, %3, on &quot;%4&quot;</source>
        <translation>Emitido por %1, válido hasta %2, %3, en «%4»</translation>
    </message>
    <message>
        <source>Requesting site: %1</source>
        <translation>Sitio solicitante: %1</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>Without an answer this request is cancelled in %1.</source>
        <translation>Sin respuesta, esta solicitud se cancela en %1.</translation>
    </message>
    <message>
        <source>Choose a certificate to log in</source>
        <translation>Elegir un certificado para iniciar sesión</translation>
    </message>
    <message>
        <source>Choose a certificate for signing</source>
        <translation>Elegir un certificado para firmar</translation>
    </message>
    <message>
        <source>This site asks which certificate you log in with:</source>
        <translation>Este sitio pregunta con qué certificado inicia sesión:</translation>
    </message>
    <message>
        <source>This site asks which certificate you sign with:</source>
        <translation>Este sitio pregunta con qué certificado firma:</translation>
    </message>
    <message>
        <source>The site will see the certificate you choose: your name and the certificate&apos;s details. If you cancel, it learns nothing.</source>
        <translation>El sitio verá el certificado que elija: su nombre y los datos del certificado. Si cancela, no sabrá nada.</translation>
    </message>
    <message>
        <source>Certificates</source>
        <translation>Certificados</translation>
    </message>
    <message>
        <source>Let this site see this certificate from now on</source>
        <translation>Permitir que este sitio vea este certificado a partir de ahora</translation>
    </message>
    <message>
        <source>Select</source>
        <translation>Seleccionar</translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for log-in only are not shown.</source>
        <translation>
            <numerusform>No se muestra %n certificado solo para iniciar sesión.</numerusform>
            <numerusform>No se muestran %n certificados solo para iniciar sesión.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for signing only are not shown.</source>
        <translation>
            <numerusform>No se muestra %n certificado solo para firmar.</numerusform>
            <numerusform>No se muestran %n certificados solo para firmar.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) outside their validity period are not shown.</source>
        <translation>
            <numerusform>No se muestra %n certificado fuera de su periodo de validez.</numerusform>
            <numerusform>No se muestran %n certificados fuera de su periodo de validez.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for other uses are not shown.</source>
        <translation>
            <numerusform>No se muestra %n certificado para otros usos.</numerusform>
            <numerusform>No se muestran %n certificados para otros usos.</numerusform>
        </translation>
    </message>
    <message>
        <source>Insert your card or token.</source>
        <translation>Inserte su tarjeta o token.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for log-in.</source>
        <translation>Ningún certificado de sus tarjetas o tokens sirve para iniciar sesión.</translation>
    </message>
    <message>
        <source>No certificate on your cards or tokens is for signing.</source>
        <translation>Ningún certificado de sus tarjetas o tokens sirve para firmar.</translation>
    </message>
    <message>
        <source>Log-in request</source>
        <translation>Solicitud de inicio de sesión</translation>
    </message>
    <message>
        <source>Signature request</source>
        <translation>Solicitud de firma</translation>
    </message>
    <message>
        <source>Log in to:</source>
        <translation>Iniciar sesión en:</translation>
    </message>
    <message>
        <source>A site asks for your signature:</source>
        <translation>Un sitio solicita su firma:</translation>
    </message>
    <message>
        <source>Document, as the site names it</source>
        <translation>Documento, tal como lo nombra el sitio</translation>
    </message>
    <message>
        <source>(not named)</source>
        <translation>(sin nombre)</translation>
    </message>
    <message>
        <source>Document name: %1</source>
        <translation>Nombre del documento: %1</translation>
    </message>
    <message>
        <source>%1 digest of the document:</source>
        <translation>Resumen %1 del documento:</translation>
    </message>
    <message>
        <source>Digest: %1</source>
        <translation>Resumen: %1</translation>
    </message>
    <message>
        <source>Certificate:</source>
        <translation>Certificado:</translation>
    </message>
    <message>
        <source>Issued by:</source>
        <translation>Emitido por:</translation>
    </message>
    <message>
        <source>Valid until:</source>
        <translation>Válido hasta:</translation>
    </message>
    <message>
        <source>Card or token:</source>
        <translation>Tarjeta o token:</translation>
    </message>
    <message>
        <source>Algorithm:</source>
        <translation>Algoritmo:</translation>
    </message>
    <message>
        <source>Log in</source>
        <translation>Iniciar sesión</translation>
    </message>
    <message>
        <source>Sign</source>
        <translation>Firmar</translation>
    </message>
    <message>
        <source>After &quot;%1&quot;, enter the PIN on the reader&apos;s keypad.</source>
        <translation>Después de «%1», introduzca el PIN en el teclado del lector.</translation>
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
        <translation>Inserte la tarjeta o el token con este certificado.</translation>
    </message>
    <message>
        <source>Signature PIN</source>
        <translation>PIN de firma</translation>
    </message>
    <message>
        <source>The card needs the PIN for this signature once more: %1</source>
        <translation>La tarjeta necesita de nuevo el PIN para esta firma: %1</translation>
    </message>
    <message numerus="yes">
        <source>%n document(s), as the site names them</source>
        <translation>
            <numerusform>%n documento, tal como lo nombra el sitio</numerusform>
            <numerusform>%n documentos, tal como los nombra el sitio</numerusform>
        </translation>
    </message>
    <message>
        <source>Will not be signed: %1</source>
        <translation>No se firmará: %1</translation>
    </message>
    <message>
        <source>No preview</source>
        <translation>Sin vista previa</translation>
    </message>
    <message>
        <source>%1 digest</source>
        <translation>Resumen %1</translation>
    </message>
    <message numerus="yes">
        <source>PDF, %n page(s), %1</source>
        <translation>
            <numerusform>PDF, %n página, %1</numerusform>
            <numerusform>PDF, %n páginas, %1</numerusform>
        </translation>
    </message>
    <message>
        <source>PDF, %1</source>
        <translation>PDF, %1</translation>
    </message>
    <message>
        <source>Signing documents</source>
        <translation>Firmando documentos</translation>
    </message>
    <message>
        <source>Signing documents for:</source>
        <translation>Firmando documentos para:</translation>
    </message>
    <message>
        <source>%1 of %2 signed, %3 not signed</source>
        <translation>%1 de %2 firmados, %3 sin firmar</translation>
    </message>
    <message numerus="yes">
        <source>%n page(s); the signature goes on page %1.</source>
        <translation>
            <numerusform>%n página; la firma irá en la página %1.</numerusform>
            <numerusform>%n páginas; la firma irá en la página %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>No preview: this page cannot be drawn.</source>
        <translation>Sin vista previa: esta página no se puede mostrar.</translation>
    </message>
    <message>
        <source>Preview of page %1</source>
        <translation>Vista previa de la página %1</translation>
    </message>
</context>
</TS>
