// CXmlReader: the three tables, their order, and every refusal of a command file.

#include "cxmlreader.h"
#include "logcapture.h"

#include <QtTest>

namespace {

QString data(const char *v_pName)
{
    return QStringLiteral(QTX_TEST_SOURCE_DIR "/data/") + QLatin1String(v_pName);
}

// Counts the element readers that run, to show they are reached through the virtual slots.
class CountingReader : public CXmlReader
{
public:
    int m_iUnknown = 0;
    int m_iParams = 0;

protected:
    void SkipUnknownElement() override
    {
        ++m_iUnknown;
        CXmlReader::SkipUnknownElement();
    }
    void ReadParamElement(const QString &v_oCommandName, bool v_bIsRequest) override
    {
        ++m_iParams;
        CXmlReader::ReadParamElement(v_oCommandName, v_bIsRequest);
    }
};

} // namespace

class TstXmlReader : public QObject
{
    Q_OBJECT

private slots:
    void readsTables();
    void elementReadersAreOverridable();
    void emptyCommandsElement();
    void refusedFiles_data();
    void refusedFiles();
    void childInsideParamKeepsEarlierEntries();
};

void TstXmlReader::readsTables()
{
    LogCapture oLog;
    CXmlReader oReader;
    QVERIFY(oReader.ReadFile(data("commands.xml")));

    // The later duplicate's method wins; a missing method reads as "", a missing name too.
    QMap<QString, QString> oExpected;
    oExpected.insert(QStringLiteral("Sign"), QStringLiteral("SignDataV2"));
    oExpected.insert(QStringLiteral("NoMethod"), QString());
    oExpected.insert(QString(), QStringLiteral("NoName"));
    QCOMPARE(oReader.GetCommands(), oExpected);

    // Most recently declared first, both declarations accumulated; params outside
    // request/response and inside unknown elements are not recorded.
    QCOMPARE(oReader.GetRequestParams().values(QStringLiteral("Sign")),
             QStringList({"d", "c", "b", "a"}));
    QCOMPARE(oReader.GetRequestParams().size(), 4);
    QCOMPARE(oReader.GetResponseParams().values(QStringLiteral("Sign")),
             QStringList({"certificate", "signature"}));

    QVERIFY(oLog.has(QStringLiteral("NOTICE CXmlReader::ReadFile :: Start parsing")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CXmlReader::ReadCommandElement :: name=Sign, method=SignData")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CXmlReader::ReadParamElement :: param=b")));
    QVERIFY(oLog.has(QStringLiteral("INFO CXmlReader::SkipUnknownElement :: Parse unknown element")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CXmlReader::ReadFile :: File parsed successfully")));
}

void TstXmlReader::elementReadersAreOverridable()
{
    CountingReader oReader;
    QVERIFY(oReader.ReadFile(data("commands.xml")));
    // note, its nested param, the stray param, extra and its request and param, unknown and its command.
    QCOMPARE(oReader.m_iUnknown, 8);
    QCOMPARE(oReader.m_iParams, 6);
}

void TstXmlReader::emptyCommandsElement()
{
    CXmlReader oReader;
    QVERIFY(oReader.ReadFile(data("empty-commands.xml")));
    QVERIFY(oReader.GetCommands().isEmpty());
    QVERIFY(oReader.GetRequestParams().isEmpty());
    QVERIFY(oReader.GetResponseParams().isEmpty());
}

void TstXmlReader::refusedFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("wrong root") << data("wrong-root.xml")
                                << QStringLiteral("ERROR CXmlReader::ReadFile :: Failed to parse file: Not commands file");
    QTest::newRow("empty file") << data("empty.xml")
                                << QStringLiteral("ERROR CXmlReader::ReadFile :: Failed to parse file: Premature end of document.");
    QTest::newRow("malformed") << data("malformed.xml") << QStringLiteral("ERROR CXmlReader::ReadFile :: Failed to parse file: ");
    QTest::newRow("missing") << data("no-such-file.xml")
                             << QStringLiteral("ERROR CXmlReader::ReadFile :: File with commands specification cannot be opened");
}

void TstXmlReader::refusedFiles()
{
    QFETCH(QString, file);
    QFETCH(QString, logLine);
    LogCapture oLog;
    CXmlReader oReader;
    QVERIFY(!oReader.ReadFile(file));
    QVERIFY2(oLog.has(logLine), qPrintable(oLog.lines().join('\n')));
    QVERIFY(!oLog.has(QStringLiteral("File parsed successfully")));
}

void TstXmlReader::childInsideParamKeepsEarlierEntries()
{
    LogCapture oLog;
    CXmlReader oReader;
    QVERIFY(!oReader.ReadFile(data("param-with-child.xml")));
    QVERIFY(oLog.has(QStringLiteral("Failed to parse file: Expected character data.")));
    QCOMPARE(oReader.GetRequestParams().values(QStringLiteral("First")), QStringList({"kept"}));
    QVERIFY(oReader.GetCommands().contains(QStringLiteral("Second")));
}

QTEST_GUILESS_MAIN(TstXmlReader)
#include "tst_xmlreader.moc"
