// What the log keeps of the pages' requests, against the real server: no
// request data, result or id unless the diagnostic switch is on, no line that
// a client can forge, and a folder and file that only the account can read.

#include "../../testkit/filesupport.h"
#include "integrationsupport.h"

#include <QRegularExpression>

#include <sys/stat.h>

namespace {

// "%d{%Y-%m-%d %H:%M:%S.%l} %u [%t] %p %x - ": the start of every line the server writes.
const QRegularExpression kLinePrefix(
    QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\d+ \\[\\d+\\] [A-Z]+  - "));

QByteArray readLog(const ServerFixture &v_oServer)
{
    return tst::readFile(v_oServer.logFilePath());
}

int modeOf(const QString &v_oPath)
{
    struct stat oStat;
    return ::stat(QFile::encodeName(v_oPath).constData(), &oStat) == 0 ? int(oStat.st_mode & 0777) : -1;
}

} // namespace

class TestLogPrivacy : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void logIsTheAccountsOwn();
    void forgedLinesStayOnTheirLine_data();
    void forgedLinesStayOnTheirLine();
    void namesOnlyByTheirLength_data();
    void namesOnlyByTheirLength();
    void secretsOnlyWithTheSwitch_data();
    void secretsOnlyWithTheSwitch();

private:
    bool startServer(ServerFixture &v_oServer, bool v_bSensitive);
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
    {
        HttpsClient oClient(m_port, m_ca);
        return oClient.post(v_oPath, v_oBody, v_oHeaders);
    }

    ServerFixture m_quiet;      // logSensitiveData=false
    ServerFixture m_diagnostic; // logSensitiveData=true, started once m_quiet has ended
    int m_base = 0;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
};

bool TestLogPrivacy::startServer(ServerFixture &v_oServer, bool v_bSensitive)
{
    // Everything from INFO up reaches the file: only the switch differs.
    const QByteArray oIni = tst::tlsIni(m_base, QByteArray("[logging2]\nlogLevel=0\nlogSensitiveData=")
                                                    + (v_bSensitive ? "true\n" : "false\n"));
    const bool bStarted = tst::startServer(v_oServer, oIni, m_port, QString(), true);
    m_ca = QSslCertificate::fromPath(v_oServer.path(QStringLiteral("certs/QTX-ca.pem")));
    return bStarted && m_ca.size() == 1;
}

void TestLogPrivacy::initTestCase()
{
    m_base = ServerFixture::freeBase(2); // root's instance listens on it, others' on the next port
    QVERIFY(m_base > 0);
    m_port = tst::ownPort(m_base);

    // What an older version left behind: a folder 0755 and a file 0644.
    const QString oLog = m_quiet.logFilePath();
    QVERIFY(QDir().mkpath(QFileInfo(oLog).absolutePath()));
    QVERIFY(::chmod(QFile::encodeName(QFileInfo(oLog).absolutePath()).constData(), 0755) == 0);
    QFile oOld(oLog);
    QVERIFY(oOld.open(QIODevice::WriteOnly));
    oOld.close();
    QVERIFY(::chmod(QFile::encodeName(oLog).constData(), 0644) == 0);

    QVERIFY2(startServer(m_quiet, false), qPrintable(tst::logDump(m_quiet)));
}

void TestLogPrivacy::logIsTheAccountsOwn()
{
    QCOMPARE(modeOf(QFileInfo(m_quiet.logFilePath()).absolutePath()), 0700);
    QCOMPARE(modeOf(m_quiet.logFilePath()), 0600);
}

void TestLogPrivacy::forgedLinesStayOnTheirLine_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("shown");
    // Each row's marker ("forgedN") appears on exactly one line, escaped.
    const QByteArray oLine = "2026-01-01%2000:00:00.000%200%20[1]%20CRIT%20%20-%20";
    const QByteArray oHead = " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const QByteArray oEmpty = oHead + "Content-Length: 0\r\n\r\n";
    QTest::newRow("path LF") << "POST /ALIVE%0A" + oLine + "forged1" + oEmpty
                             << QByteArray("path=/ALIVE\\n2026-01-01 00:00:00.000 0 [1] CRIT  - forged1");
    QTest::newRow("path CR LF") << "POST /ALIVE%0D%0A" + oLine + "forged2" + oEmpty
                                << QByteArray("path=/ALIVE\\r\\n2026-01-01 00:00:00.000 0 [1] CRIT  - forged2");
    QTest::newRow("path ESC NUL DEL") << "POST /ALIVE%1B[2J%00%7Fforged3" + oEmpty
                                      << QByteArray("path=/ALIVE\\x1b[2J\\x00\\x7fforged3");
    QTest::newRow("header TAB") << "POST /ALIVE" + oHead + "User-Agent: a\tforged4\r\nContent-Length: 0\r\n\r\n"
                                << QByteArray("[user-agent=a\\tforged4]");
    QTest::newRow("path raw CSI") << "POST /ALIVE%9B[2Jforged5" + oEmpty << QByteArray("path=/ALIVE\\x9b[2Jforged5");
    QTest::newRow("path bidi RLO") << "POST /ALIVE%E2%80%AEforged6" + oEmpty
                                   << QByteArray("path=/ALIVE\\xe2\\x80\\xaeforged6");
}

void TestLogPrivacy::namesOnlyByTheirLength_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("shown");
    QTest::addColumn<QByteArray>("marker");
    // Parameter and cookie names are the page's data too: a form body without
    // "=" is one long name. The header name marks the request in the log.
    const QByteArray oHead = " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Row-";
    const QByteArray oForm = "Content-Type: application/x-www-form-urlencoded\r\n";
    QTest::newRow("query name LF") << "POST /ALIVE?x%0Aforged7=1" + oHead + "forged7: 1\r\nContent-Length: 0\r\n\r\n"
                                   << QByteArray("Param [<9 bytes>=<1 bytes>]") << QByteArray("forged7");
    QTest::newRow("body without =") << "POST /ALIVE" + oHead + "forged8: 1\r\n" + oForm
                                           + "Content-Length: 22\r\n\r\nraw-body-forged8-pin12"
                                    << QByteArray("Param [<22 bytes>=<0 bytes>]") << QByteArray("forged8");
    QTest::newRow("cookie name") << "POST /ALIVE" + oHead + "forged9: 1\r\nCookie: forged9name=v\r\nContent-Length: 0\r\n\r\n"
                                 << QByteArray("Cookie [<11 bytes>=<1 bytes>]") << QByteArray("forged9");
}

void TestLogPrivacy::namesOnlyByTheirLength()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, shown);
    QFETCH(QByteArray, marker);
    const QByteArray &oMarker = marker;
    const QByteArray oRow = "x-row-" + oMarker;
    HttpsClient oClient(m_port, m_ca);
    QVERIFY(oClient.exchange(request).status != 0);
    QTRY_VERIFY(readLog(m_quiet).contains(oRow));
    const QByteArray oLog = readLog(m_quiet);
    QVERIFY2(oLog.contains(shown), oLog.right(2000).constData());
    // The name shows up in the header line that marks the row, nowhere else.
    QCOMPARE(oLog.count(oMarker), oLog.count(oRow));
}

void TestLogPrivacy::forgedLinesStayOnTheirLine()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, shown);
    const QByteArray oMarker = shown.mid(shown.indexOf("forged"), 7);
    HttpsClient oClient(m_port, m_ca);
    QVERIFY(oClient.exchange(request).status != 0);
    QTRY_VERIFY(readLog(m_quiet).contains(oMarker));

    QList<QByteArray> oMarked;
    for (const QByteArray &oLine : readLog(m_quiet).split('\n')) {
        if (oLine.isEmpty())
            continue;
        QVERIFY2(kLinePrefix.match(QString::fromLatin1(oLine)).hasMatch(), oLine.constData());
        if (oLine.contains(oMarker))
            oMarked << oLine;
    }
    QCOMPARE(oMarked.size(), 1);
    QVERIFY2(oMarked.first().contains(shown), oMarked.first().constData());
}

void TestLogPrivacy::secretsOnlyWithTheSwitch_data()
{
    QTest::addColumn<bool>("sensitive");
    QTest::newRow("off") << false;
    QTest::newRow("on") << true;
}

void TestLogPrivacy::secretsOnlyWithTheSwitch()
{
    QFETCH(bool, sensitive);
    ServerFixture *poServer = &m_quiet;
    if (sensitive) {
        // One instance per account: the quiet one makes way.
        m_quiet.process().kill();
        QVERIFY(m_quiet.process().waitForFinished(5000));
        QVERIFY2(startServer(m_diagnostic, true), qPrintable(tst::logDump(m_diagnostic)));
        poServer = &m_diagnostic;
    }
    const QByteArray oTag = QTest::currentDataTag();
    const QByteArray oBodySecret = "body-secret-" + oTag;
    const QByteArray oCookie = "Cookie: other.site=cookie-secret-" + oTag;
    const QByteArray oCommandId = sensitive ? "4242424242421" : "4242424242420";

    const HttpReply oOpen = post("/OPEN_SESSION", QByteArray(), {oCookie});
    QCOMPARE(oOpen.status, 200);
    const QByteArray oSession = oOpen.body;
    const QList<QByteArray> oIds{"X-QTX-sessionId: " + oSession, "X-QTX-cmdId: " + oCommandId};
    // KeepAlive: the one example module a root client may use as well.
    const HttpReply oStart = post("/KeepAlive/Ping", "data=" + oBodySecret, oIds + QList<QByteArray>{oCookie});
    QVERIFY2(oStart.status == 202, qPrintable(tst::logDump(*poServer)));
    const HttpReply oResult = tst::pollResult([&] { return post("/KeepAlive/GET_RESULT", QByteArray(), oIds); });
    QCOMPARE(oResult.status, 200);
    QVERIFY2(oResult.body.startsWith("{\"alive\":true,") && oResult.body.contains("\"time\":\"20"),
             oResult.body.constData());
    // The result, handed out, is dropped: among the last lines of the exchange.
    QTRY_VERIFY(readLog(*poServer).contains("> removed\n"));

    const QByteArray oLog = readLog(*poServer);
    const QList<QByteArray> oSecrets{oBodySecret, "cookie-secret-" + oTag, oSession, oCommandId, oResult.body};
    for (const QByteArray &oSecret : oSecrets)
        QVERIFY2(oLog.contains(oSecret) == sensitive, oSecret.constData());
    QCOMPARE(oLog.contains("WARN  - ServerLogger::ServerLogger :: LogSensitiveData=1"), sensitive);
    QCOMPARE(oLog.contains("CThreadWorker::CallFunction :: Result: " + (sensitive ? oResult.body : "<")), true);
    if (sensitive)
        return;

    // Without the switch: the cookie by its length, the session by a short hash
    // that ties its lines together.
    QVERIFY(oLog.contains("CRequestMapper::service :: Cookie [<10 bytes>=<" + QByteArray::number(14 + oTag.size())
                          + " bytes>]"));
    const QRegularExpressionMatch oNew =
        QRegularExpression(QStringLiteral("New sessionID=(#[0-9a-f]{8})\n")).match(QString::fromLatin1(oLog));
    QVERIFY2(oNew.hasMatch(), oLog.constData());
    const QByteArray oHash = oNew.captured(1).toLatin1();
    QVERIFY(oLog.contains("Result for sessionId <" + oHash + "> and commandId <#"));
    QVERIFY(oLog.count(oHash) >= 5);
}

QTEST_GUILESS_MAIN(TestLogPrivacy)
#include "tst_log_privacy.moc"
