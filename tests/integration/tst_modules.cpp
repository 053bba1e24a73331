// Modules through the real server (the GUI application on the offscreen
// platform) with the GuiProbe test module: what a module gets of the request,
// that a GUI command needs the page's origin, and a clean stop after a module
// that handed Qt its own literals, or showed a dialog, was unloaded and loaded
// again.

#include "../../testkit/filesupport.h"
#include "integrationsupport.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QByteArray kOrigin = "https://shop.example";

} // namespace

class TestModules : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reservedKeys_data();
    void reservedKeys();
    void guiCommandNeedsWebOrigin();
    void cleanStopAfterUnload_data();
    void cleanStopAfterUnload();
    void cleanupTestCase();

private:
    bool startServer();
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody = QByteArray(),
                   const QList<QByteArray> &v_oHeaders = {})
    {
        HttpsClient oClient(m_port, m_ca);
        return oClient.post(v_oPath, v_oBody, v_oHeaders);
    }
    QByteArray openSession() { return post("/OPEN_SESSION").body; }
    // A command ("Module/Command", GuiProbe's without a module) in the session,
    // with the page's Origin: its result (or its refusal).
    HttpReply call(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                   const QList<QByteArray> &v_oHeaders = {"Origin: " + kOrigin});
    // Open descriptors of the server whose target ends with v_oSuffix.
    int descriptorsOf(const QString &v_oSuffix)
    {
        const QString oFds = QStringLiteral("/proc/%1/fd").arg(m_server.process().processId());
        int iCount = 0;
        for (const QFileInfo &oFd : QDir(oFds).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            iCount += oFd.symLinkTarget().endsWith(v_oSuffix) ? 1 : 0;
        return iCount;
    }
    bool closeSession(const QByteArray &v_oSession)
    {
        return post("/CLOSE_SESSION", QByteArray(), {"X-QTX-sessionId: " + v_oSession}).status == 200;
    }

    ServerFixture m_server;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
    int m_cmdId = 0;
};

void TestModules::initTestCase()
{
    const int iBase = ServerFixture::freeBase(2);
    QVERIFY(iBase > 0);
    m_port = tst::ownPort(iBase);
    QVERIFY(tst::prepare(m_server, tst::tlsIni(iBase, "[limits]\nguiJobTimeoutMs=1000\n")));
    const QString oModules = m_server.path(QStringLiteral("modules"));
    QVERIFY(QDir().mkpath(oModules));
    QVERIFY(QFile::copy(QStringLiteral(QTX_GUIPROBE), oModules + QStringLiteral("/GuiProbe.so")));
    for (const char *pFile : {"ConfirmDialog.so", "ConfirmDialog.xml"})
        QVERIFY(QFile::copy(QStringLiteral(QTX_BINARY_DIR "/modules/") + QLatin1String(pFile),
                            oModules + QLatin1Char('/') + QLatin1String(pFile)));
    m_ca = QSslCertificate::fromPath(m_server.path(QStringLiteral("certs/QTX-ca.pem")));
    QCOMPARE(m_ca.size(), 1);
    QVERIFY(startServer());
}

void TestModules::cleanupTestCase()
{
    if (m_server.process().state() != QProcess::NotRunning)
        QVERIFY(tst::quitsOnCtrlC(m_server.process()));
}

// The GUI application (no -console), with a log of its own.
bool TestModules::startServer()
{
    if (m_server.process().state() != QProcess::NotRunning && !tst::quitsOnCtrlC(m_server.process()))
        return false;
    QFile::remove(m_server.logFilePath());
    m_server.start({});
    return m_server.waitListening(m_port);
}

HttpReply TestModules::call(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                            const QList<QByteArray> &v_oHeaders)
{
    const QList<QByteArray> oIds{"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + QByteArray::number(++m_cmdId)};
    const HttpReply oAccepted = post('/' + (v_oCommand.contains('/') ? v_oCommand : "GuiProbe/" + v_oCommand), v_oBody,
                                     oIds + v_oHeaders);
    if (oAccepted.status != 202)
        return oAccepted;
    return tst::pollResult([&] { return post("/GET_RESULT", QByteArray(), oIds); });
}

void TestModules::reservedKeys_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QList<QByteArray>>("headers");
    QTest::addColumn<QByteArray>("origins"); // keyHttpOrigin's values, as JSON
    const QByteArray oForged = "keyHttpOrigin=https%3A%2F%2Fbank.example";
    QTest::newRow("Origin header") << QByteArray() << QList<QByteArray>{"Origin: " + kOrigin}
                                   << QByteArray("[\"https://shop.example\"]");
    QTest::newRow("no Origin header") << QByteArray() << QList<QByteArray>{} << QByteArray("[\"\"]");
    QTest::newRow("parameter") << oForged << QList<QByteArray>{"Origin: " + kOrigin}
                               << QByteArray("[\"https://shop.example\"]");
    QTest::newRow("parameter, no header") << oForged << QList<QByteArray>{} << QByteArray("[\"\"]");
    QTest::newRow("cookie") << QByteArray() << QList<QByteArray>{"Cookie: keyHttpOrigin=https://bank.example"}
                            << QByteArray("[\"\"]");
    QTest::newRow("header named like the key") << QByteArray()
                                               << QList<QByteArray>{"keyHttpOrigin: https://bank.example", "Origin: null"}
                                               << QByteArray("[\"null\"]");
}

// A page cannot supply a reserved key: only the browser's Origin header reaches
// keyHttpOrigin (a header named like the key arrives lower-case, under its own name).
void TestModules::reservedKeys()
{
    QFETCH(QByteArray, query);
    QFETCH(QList<QByteArray>, headers);
    QFETCH(QByteArray, origins);
    const QByteArray oSession = openSession();
    const HttpReply oReply = call(oSession, "Keys" + (query.isEmpty() ? QByteArray() : '?' + query), query, headers);
    QVERIFY2(oReply.status == 200, qPrintable(tst::logDump(m_server).right(3000)));
    const QJsonObject oKeys = QJsonDocument::fromJson(oReply.body).object();
    QCOMPARE(QJsonDocument(oKeys.value(QStringLiteral("keyHttpOrigin")).toArray()).toJson(QJsonDocument::Compact), origins);
    QVERIFY(closeSession(oSession));
}

// The launcher gets the request's Origin header: without one, no window.
void TestModules::guiCommandNeedsWebOrigin()
{
    const QByteArray oSession = openSession();
    QCOMPARE(tst::text(call(oSession, "Literals", "kind=property", {})),
             QByteArray("403 Forbidden|This command opens a window on the desktop and needs the Origin header of the web page that asks."));
    QVERIFY(closeSession(oSession));
}

void TestModules::cleanStopAfterUnload_data()
{
    QTest::addColumn<QByteArray>("module");
    QTest::addColumn<QByteArray>("command"); // path and form body
    QTest::addColumn<QByteArray>("result");  // %1: the load (1, 2)
    // A font family (Qt's font cache keeps it until the application object
    // goes), a property value and an object name kept by the application
    // object, a metatype with the module's functions.
    for (const char *pKind : {"font", "property", "object", "metatype"})
        QTest::newRow(pKind) << QByteArray("GuiProbe") << "Literals|kind=" + QByteArray(pKind)
                             << QByteArray("200 OK|static=1 init=%1");
    // Its dialog open until the time-out (1 s here) closes it.
    QTest::newRow("ConfirmDialog") << QByteArray("ConfirmDialog") << QByteArray("Confirm|title=T&text=Sure%3F")
                                   << QByteArray("200 OK|{\"answer\":\"cancelled\"}");
}

// The module's session is closed (the module unloaded), a new session loads it
// again, that one is closed too, then Ctrl-C: the server ends with 0 and no
// CRIT line. The module's code stays mapped, so its static initialisers ran
// once; Init ran at each load.
void TestModules::cleanStopAfterUnload()
{
    QFETCH(QByteArray, module);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, result);
    QVERIFY(startServer());
    const QString oUnloaded = QStringLiteral("DllModule::unload :: Module %1 unloaded").arg(QString::fromLatin1(module));
    for (int iLoad = 1; iLoad <= 2; ++iLoad) {
        const QByteArray oSession = openSession();
        const int iBar = command.indexOf('|');
        QCOMPARE(tst::text(call(oSession, module + '/' + command.left(iBar), command.mid(iBar + 1))),
                 QByteArray(result).replace("%1", QByteArray::number(iLoad)));
        QVERIFY(closeSession(oSession));
        QTRY_COMPARE(m_server.logMessages().filter(oUnloaded).size(), iLoad);
        // However often it is loaded, one descriptor keeps the mapped file's name.
        QCOMPARE(descriptorsOf(QLatin1Char('/') + QString::fromLatin1(module) + QStringLiteral(".so")), 1);
    }
    QVERIFY2(tst::quitsOnCtrlC(m_server.process()), qPrintable(tst::logDump(m_server).right(2000)));
    const QByteArray oLog = tst::readFile(m_server.logFilePath());
    QVERIFY2(!oLog.contains(" CRIT "), oLog.right(3000).constData());
}

int main(int argc, char *argv[])
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxmodules");
    if (iRerun >= 0)
        return iRerun;
    QCoreApplication oApp(argc, argv);
    TestModules oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}
#include "tst_modules.moc"
