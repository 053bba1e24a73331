// The wire protocol that pages speak, against the real server over TLS:
// the request mapper's pages and preflight, the server commands, ids and
// sessions, CORS versus JSONP replies, and what reaches the log.

#include "integrationsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <unistd.h>

namespace {

const QRegularExpression kBracedUuid(
    QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"));

const QList<QPair<QByteArray, QByteArray>> kSecurityHeaders = {
    {"Content-Security-Policy", "default-src 'self'"},
    {"X-Frame-Options", "sameorigin"},
    {"X-XSS-Protection", "1; mode=block"},
    {"X-Content-Type-Options", "nosniff"},
    {"Strict-Transport-Security", "max-age=31536000"},
    {"Cache-control", "no-store"},
    {"Pragma", "no-cache"},
};

const QByteArray kNoSession = "418 No Session|Session with provided ID don't exist.";

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void preflight();
    void refusedMethodsAndPaths_data();
    void refusedMethodsAndPaths();
    void sessionLifecycle();
    void idsAreValidatedOrGenerated();
    void jsonpReply();
    void serverInformationCommands();
    void logKeepsSecretsAndKeepAliveQuiet();
    void limitsRefuseWithReply(); // last: it leaves the account at its session limit

private:
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody = QByteArray(),
                   const QList<QByteArray> &v_oHeaders = {})
    {
        HttpsClient oClient(m_port, m_ca);
        return oClient.post(v_oPath, v_oBody, v_oHeaders);
    }

    ServerFixture m_server;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
};

void TestProtocol::initTestCase()
{
    const int iBase = ServerFixture::freeBase(2);
    QVERIFY(iBase > 0);
    m_port = tst::ownPort(iBase);
    QVERIFY(tst::startServer(m_server, tst::tlsIni(iBase, "[limits]\nmaxSessions=40\nmaxSessionVars=3\nmaxSessionVarBytes=100\n"),
                             m_port));
    m_ca = QSslCertificate::fromPath(m_server.path(QStringLiteral("certs/QTX-ca.pem")));
    QCOMPARE(m_ca.size(), 1);
}

void TestProtocol::preflight()
{
    HttpsClient oClient(m_port, m_ca);
    const auto options = [&oClient](const QByteArray &v_oPath, const QByteArray &v_oHeaders) {
        return oClient.exchange("OPTIONS " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + v_oHeaders + "\r\n");
    };
    const QByteArray oOrigin = "Origin: https://shop.example\r\n";
    HttpReply oReply = options("/mod/fn", oOrigin);
    QCOMPARE(tst::text(oReply), QByteArray("200 OK|"));
    QCOMPARE(oReply.header("Access-Control-Allow-Origin"), QByteArray("https://shop.example"));
    QCOMPARE(oReply.header("Access-Control-Allow-Methods"), QByteArray("POST, OPTIONS"));
    QCOMPARE(oReply.header("Access-Control-Max-Age"), QByteArray("1000"));
    QCOMPARE(oReply.header("Access-Control-Allow-Headers"),
             QByteArray("Content-Type, Authorization, X-Requested-With, X-QTX-cmdId, X-QTX-sessionId"));
    QCOMPARE(oReply.header("Access-Control-Allow-Credentials"), QByteArray("true"));
    for (const auto &oHeader : kSecurityHeaders)
        QCOMPARE(oReply.header(oHeader.first), oHeader.second);

    QVERIFY(!oReply.hasHeader("Access-Control-Allow-Private-Network"));
    QVERIFY(!oReply.hasHeader("Access-Control-Allow-Local-Network"));
    // Chromium's network access checks from a public page: agreed to only when asked.
    oReply = options("/mod/fn", oOrigin + "Access-Control-Request-Private-Network: true\r\n");
    QCOMPARE(oReply.header("Access-Control-Allow-Private-Network"), QByteArray("true"));
    QVERIFY(!oReply.hasHeader("Access-Control-Allow-Local-Network"));
    oReply = options("/mod/fn", oOrigin + "access-control-request-local-network: true\r\n");
    QCOMPARE(oReply.header("Access-Control-Allow-Local-Network"), QByteArray("true"));

    QCOMPARE(options("/", "Origin: null\r\n").header("Access-Control-Allow-Origin"), QByteArray("null"));
    oReply = options("/", QByteArray());
    QVERIFY(oReply.hasHeader("Access-Control-Allow-Origin"));
    QCOMPARE(oReply.header("Access-Control-Allow-Origin"), QByteArray());
}

void TestProtocol::refusedMethodsAndPaths_data()
{
    QTest::addColumn<QByteArray>("requestLine");
    QTest::newRow("GET") << QByteArray("GET /ALIVE");
    QTest::newRow("lower-case method") << QByteArray("post /ALIVE");
    QTest::newRow("dot in a name") << QByteArray("POST /a.b/c");
    // A decoded NUL (or any byte outside the path alphabet) makes the path
    // invalid, whatever follows it.
    QTest::newRow("NUL inside a module name") << QByteArray("POST /KeepAlive%00alias/Ping");
    QTest::newRow("NUL ending a module name") << QByteArray("POST /KeepAlive%00/Ping");
    QTest::newRow("byte 0xFF") << QByteArray("POST /KeepAlive%FF/Ping");
}

void TestProtocol::refusedMethodsAndPaths()
{
    // The request mapper's page, with no other header.
    QFETCH(QByteArray, requestLine);
    const QByteArray oPage = "<h1>404 error: File Not Found</h1>";
    HttpsClient oClient(m_port, m_ca);
    QCOMPARE(oClient.exchange(requestLine + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n").raw,
             "HTTP/1.1 404 File Not Found\r\nContent-Length: " + QByteArray::number(oPage.size()) + "\r\n\r\n" + oPage);
}

void TestProtocol::sessionLifecycle()
{
    HttpReply oReply = post("/ALIVE");
    QCOMPARE(tst::text(oReply), kNoSession);
    QVERIFY(oReply.hasHeader("X-QTX-sessionId"));
    QCOMPARE(oReply.header("X-QTX-sessionId"), QByteArray());
    // "%2F" decodes to a slash: a valid path that reaches the controller
    // (/x/ALIVE: module x, command ALIVE, no session).
    QCOMPARE(tst::text(post("/x%2FALIVE")), kNoSession);

    oReply = post("/OPEN_SESSION", "sessionVars=" + QUrl::toPercentEncoding("[{\"key\":\"lang\",\"value\":\"pl\"}]"));
    QCOMPARE(oReply.status, 200);
    const QByteArray oId = oReply.body;
    QVERIFY2(kBracedUuid.match(QString::fromLatin1(oId)).hasMatch(), oId.constData());
    QCOMPARE(oReply.header("X-QTX-sessionId"), oId);
    QVERIFY(!oReply.hasHeader("Set-Cookie"));

    const QByteArray oSessionHeader = "x-qtx-SESSIONID: " + oId;
    QCOMPARE(post("/ALIVE", QByteArray(), {oSessionHeader}).status, 200);
    QCOMPARE(post("/", "cmd=ALIVE", {oSessionHeader}).status, 200);
    QCOMPARE(post("/SET_SESSION_VAR", "key=a&value=b", {oSessionHeader}).status, 200);
    // OPEN_SESSION naming an id answers with it only when the session exists
    // (another account's answers as one that does not).
    const QByteArray oUnknown = "X-QTX-sessionId: {00000000-0000-0000-0000-000000000001}";
    QCOMPARE(tst::text(post("/OPEN_SESSION", QByteArray(), {oUnknown})),
             QByteArray("418 No Session|Session with provided ID don't exist."));
    QCOMPARE(tst::text(post("/OPEN_SESSION", QByteArray(), {oSessionHeader})), "200 OK|" + oId);
    QCOMPARE(post("/CLOSE_SESSION", QByteArray(), {oUnknown}).status, 418);
    QCOMPARE(post("/SET_SESSION_VAR", "key=a&value=b", {oUnknown}).status, 200);

    oReply = post("/CLOSE_SESSION", QByteArray(), {oSessionHeader});
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.header("X-QTX-sessionId"), QByteArray());
    QCOMPARE(post("/ALIVE", QByteArray(), {oSessionHeader}).status, 418);
    QCOMPARE(post("/CLOSE_SESSION").status, 200);

    // A module command without a session opens one; an unknown module gets 404
    // and the session is gone again, though its id is reported. ("updater" is
    // one of the system account's module names, so a root client of root's
    // instance gets this far too; no such module is installed.)
    oReply = post("/updater/fn");
    QCOMPARE(tst::text(oReply), QByteArray("404 Not Found|The URL you requested was not found."));
    const QByteArray oImplicit = oReply.header("X-QTX-sessionId");
    QVERIFY(kBracedUuid.match(QString::fromLatin1(oImplicit)).hasMatch());
    QCOMPARE(post("/ALIVE", QByteArray(), {"X-QTX-sessionId: " + oImplicit}).status, 418);

    // GET_RESULT for nothing known (addressed through KeepAlive, which a root
    // client may use too).
    QCOMPARE(tst::text(post("/KeepAlive/GET_RESULT", QByteArray(), {oSessionHeader})),
             QByteArray("419 No Result|There is no result for given parameters."));
}

void TestProtocol::idsAreValidatedOrGenerated()
{
    // Header names in any case; a valid id comes back as sent, an invalid one is replaced.
    QCOMPARE(post("/ALIVE", QByteArray(), {"x-qtx-CMDID: 1234567890123"}).header("X-QTX-cmdId"), QByteArray("1234567890123"));
    // A generated id (for one too long, or none) is a random (version 4, RFC 4122
    // variant) UUID, new every time.
    QSet<QByteArray> oGenerated;
    for (int i = 0; i < 20; ++i) {
        const QList<QByteArray> oHeaders = i % 2 ? QList<QByteArray>() : QList<QByteArray>{"X-QTX-cmdId: 12345678901234"};
        const QByteArray oId = post("/ALIVE", QByteArray(), oHeaders).header("X-QTX-cmdId");
        QVERIFY2(kBracedUuid.match(QString::fromLatin1(oId)).hasMatch() && oId.at(15) == '4'
                     && QByteArray("89ab").contains(oId.at(20)),
                 oId.constData());
        oGenerated.insert(oId);
    }
    QCOMPARE(oGenerated.size(), 20);
    // An invalid session id counts as none.
    const HttpReply oReply = post("/ALIVE", QByteArray(), {"X-QTX-sessionId: <script>"});
    QCOMPARE(oReply.status, 418);
    QCOMPARE(oReply.header("X-QTX-sessionId"), QByteArray());
}

void TestProtocol::jsonpReply()
{
    HttpReply oReply = post("/ALIVE?callback=f");
    QCOMPARE(oReply.status, 418);
    QCOMPARE(oReply.body, QByteArray("f(Session with provided ID don't exist.)"));
    QCOMPARE(oReply.header("Content-Type"), QByteArray("application/javascript"));
    for (const auto &oHeader : oReply.headers)
        QVERIFY2(!oHeader.first.startsWith("Access-Control") && oHeader.first != "Pragma", oHeader.first.constData());
    QVERIFY(oReply.hasHeader("X-QTX-cmdId"));
    QVERIFY(oReply.hasHeader("X-QTX-sessionId"));

    // CORS: Origin echoed, "*" when missing or "null".
    oReply = post("/ALIVE", QByteArray(), {"Origin: https://a.example"});
    QCOMPARE(oReply.header("Access-Control-Allow-Origin"), QByteArray("https://a.example"));
    QCOMPARE(oReply.header("Content-Type"), QByteArray("text/plain"));
    QCOMPARE(oReply.header("Access-Control-Expose-Headers"), QByteArray("X-QTX-sessionId, X-QTX-cmdId"));
    QCOMPARE(post("/ALIVE", QByteArray(), {"Origin: null"}).header("Access-Control-Allow-Origin"), QByteArray("*"));
    QCOMPARE(post("/ALIVE").header("Access-Control-Allow-Origin"), QByteArray("*"));
}

void TestProtocol::serverInformationCommands()
{
    // No signed ver.ini beside this copy of the server.
    QCOMPARE(tst::text(post("/SERVER_VERSION")), QByteArray("200 OK|0.0.0.INVALID"));

    const HttpReply oReply = post("/ARCH_TYPE");
    QCOMPARE(oReply.status, 200);
    const QJsonObject oArch = QJsonDocument::fromJson(oReply.body).object();
    QCOMPARE(oArch.value(QStringLiteral("resultCode")).toInt(), 200);
    QVERIFY(!oArch.value(QStringLiteral("buildArchitecture")).toString().isEmpty());
    QCOMPARE(oArch.value(QStringLiteral("kernelType")).toString(), QStringLiteral("linux"));

    QCOMPARE(tst::text(post("/TEST")), QByteArray("200 OK|OK"));
    // The reports stay out of the log (every account's processes): sizes only.
    QTRY_VERIFY(m_server.logHas(QStringLiteral("oConnectedDevicesInfo=<")));
    const QRegularExpression oSizesOnly(QStringLiteral("^CSignController::ProcessTest :: oProcessesList=<\\d+ bytes>$"),
                                        QRegularExpression::MultilineOption);
    QVERIFY2(oSizesOnly.match(tst::logDump(m_server)).hasMatch(), qPrintable(m_server.logMessages().filter("Process").join('\n')));

    const HttpReply oName = post("/GET_USERNAME_FOR_PID", "processPid=" + QByteArray::number(::getpid()));
    QCOMPARE(oName.status, 200);
    QVERIFY(oName.body.contains('/'));
    QVERIFY(oName.body.endsWith('/' + qgetenv("USER")) || ServerFixture::isRoot());
    // Text that is no number asks for process 0, which has no account.
    QCOMPARE(post("/GET_USERNAME_FOR_PID", "processPid=abc").status, 500);
}

void TestProtocol::logKeepsSecretsAndKeepAliveQuiet()
{
    // The raw body is logged as "Bodypart=": pages send what is to be signed in
    // the "data" parameter, which no parameter line shows.
    const QByteArray oSecret = "s3cr3t-to-sign";
    post("/ALIVE?DaTa=" + oSecret + "&other=visible");
    post("/KeepAlive/ping", "x=1", {"X-Marker: quiet"});
    QTRY_VERIFY(m_server.logContains(QStringLiteral("CSignController::service :: Request processed")));
    const QString oAll = tst::logDump(m_server);
    QVERIFY(!oAll.contains(QString::fromLatin1(oSecret)));
    QVERIFY(oAll.contains(QStringLiteral("CRequestMapper::service :: Param [<5 bytes>=<7 bytes>]")));
    QVERIFY(!oAll.contains(QStringLiteral("x-marker=quiet")));
    QVERIFY(!oAll.contains(QStringLiteral("Param [x=1]")));
}

// limits/maxSessionVars (3), maxSessionVarBytes (100) and maxSessions (40):
// each refusal is a reply with a clear text and one log line; what was stored stays.
void TestProtocol::limitsRefuseWithReply()
{
    HttpReply oReply = post("/OPEN_SESSION");
    QCOMPARE(oReply.status, 200);
    const QByteArray oHeader = "X-QTX-sessionId: " + oReply.body;
    for (const char *pKey : {"a", "b", "c"})
        QCOMPARE(post("/SET_SESSION_VAR", QByteArray("key=") + pKey + "&value=1", {oHeader}).status, 200);
    QCOMPARE(tst::text(post("/SET_SESSION_VAR", "key=d&value=1", {oHeader})),
             QByteArray("413 Payload Too Large|Too many or too large session variables. Remove some first."));
    // Replacing a stored variable is no new one; a value past the bytes is refused.
    QCOMPARE(post("/SET_SESSION_VAR", "key=c&value=2", {oHeader}).status, 200);
    QCOMPARE(post("/SET_SESSION_VAR", "key=c&value=" + QByteArray(120, 'x'), {oHeader}).status, 413);
    QTRY_VERIFY(m_server.logHas(
        QStringLiteral("CSignController::SetSessionVar :: Session variable refused: the session would hold 4 variables")));

    QList<QByteArray> oOpened;
    for (int i = 0; i < 45 && (oReply = post("/OPEN_SESSION")).status == 200; ++i)
        oOpened << oReply.body;
    const QByteArray oRefused = "503 Service Unavailable|Too many open sessions. Close unused sessions and try again later.";
    QCOMPARE(tst::text(oReply), oRefused);
    QVERIFY(oOpened.size() < 40);
    // A module command without a session gets the same refusal, not "No Session".
    QCOMPARE(tst::text(post("/KeepAlive/Ping")), oRefused);
    QTRY_VERIFY(m_server.logContains(QStringLiteral(
        "CSignController::ProcessOpenSession :: Session refused: 40 sessions of this client's account are open (limits/maxSessions)")));
    // The open ones still work; closing one makes room.
    QCOMPARE(post("/ALIVE", QByteArray(), {oHeader}).status, 200);
    QCOMPARE(post("/CLOSE_SESSION", QByteArray(), {"X-QTX-sessionId: " + oOpened.first()}).status, 200);
    QCOMPARE(post("/OPEN_SESSION").status, 200);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
