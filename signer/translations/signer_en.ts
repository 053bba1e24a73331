<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="en">
<context>
    <name>SignerDialog</name>
    <message numerus="yes">
        <source>%n certificate(s) for log-in only are not shown.</source>
        <translation>
            <numerusform>%n certificate for log-in only is not shown.</numerusform>
            <numerusform>%n certificates for log-in only are not shown.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for signing only are not shown.</source>
        <translation>
            <numerusform>%n certificate for signing only is not shown.</numerusform>
            <numerusform>%n certificates for signing only are not shown.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) outside their validity period are not shown.</source>
        <translation>
            <numerusform>%n certificate outside its validity period is not shown.</numerusform>
            <numerusform>%n certificates outside their validity period are not shown.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n certificate(s) for other uses are not shown.</source>
        <translation>
            <numerusform>%n certificate for other uses is not shown.</numerusform>
            <numerusform>%n certificates for other uses are not shown.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n document(s), as the site names them</source>
        <translation>
            <numerusform>%n document, as the site names it</numerusform>
            <numerusform>%n documents, as the site names them</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>PDF, %n page(s), %1</source>
        <translation>
            <numerusform>PDF, %n page, %1</numerusform>
            <numerusform>PDF, %n pages, %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n page(s); the signature goes on page %1.</source>
        <translation>
            <numerusform>%n page; the signature goes on page %1.</numerusform>
            <numerusform>%n pages; the signature goes on page %1.</numerusform>
        </translation>
    </message>
</context>
</TS>
