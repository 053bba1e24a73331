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
</context>
</TS>
