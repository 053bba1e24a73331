// The wire protocol that pages speak, against the real server over TLS:
// the request mapper's pages and preflight, the server commands, ids and
// sessions, CORS versus JSONP replies, and what reaches the log.

#include "httpsclient.h"
#include "serverfixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

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

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void preflight();
    void refusedMethodsAndPaths();
    void sessionLifecycle();
    void idsAreValidatedOrGenerated();
    void jsonpReply();
    void serverInformationCommands();
    void usernameForPid();
    void logKeepsSecretsAndKeepAliveQuiet();
    void limitsRefuseWithReply();
    void moduleNamesAreWholeBytes();

private:
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody = QByteArray(),
                   const QList<QByteArray> &v_oHeaders = {});
    QByteArray openSession();

    ServerFixture m_server;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
};

void TestProtocol::initTestCase()
{
    const int iBase = ServerFixture::freeBase(2); // root's instance listens on it, others' on the next port
    QVERIFY(iBase > 0);
    QVERIFY(m_server.install("[listener]\nport=" + QByteArray::number(iBase)
                              + "\nreadTimeout=20000\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\n"
                                "keyFile=certs/QTX-key-server.pem\n[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n"
                                "[limits]\nmaxSessions=40\nmaxSessionVars=3\nmaxSessionVarBytes=100\n"));
    QVERIFY(m_server.provision());
    m_server.start();
    m_port = static_cast<quint16>(ServerFixture::isRoot() ? iBase : iBase + 1);
    QVERIFY(m_server.waitListening(m_port));
    m_ca = QSslCertificate::fromPath(m_server.path(QStringLiteral("certs/QTX-ca.pem")));
    QCOMPARE(m_ca.size(), 1);
}

HttpReply TestProtocol::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
{
    HttpsClient oClient(m_port, m_ca);
    return oClient.post(v_oPath, v_oBody, v_oHeaders);
}

QByteArray TestProtocol::openSession()
{
    const HttpReply oReply = post("/OPEN_SESSION");
    return oReply.status == 200 ? oReply.body : QByteArray();
}

void TestProtocol::preflight()
{
    HttpsClient oClient(m_port, m_ca);
    HttpReply oReply =
        oClient.exchange("OPTIONS /mod/fn HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://shop.example\r\n\r\n");
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, QByteArray());
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
    oReply = oClient.exchange("OPTIONS /mod/fn HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://shop.example\r\n"
                              "Access-Control-Request-Private-Network: true\r\n\r\n");
    QCOMPARE(oReply.header("Access-Control-Allow-Private-Network"), QByteArray("true"));
    QVERIFY(!oReply.hasHeader("Access-Control-Allow-Local-Network"));
    oReply = oClient.exchange("OPTIONS /mod/fn HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://shop.example\r\n"
                              "access-control-request-local-network: true\r\n\r\n");
    QCOMPARE(oReply.header("Access-Control-Allow-Local-Network"), QByteArray("true"));

    oReply = oClient.exchange("OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: null\r\n\r\n");
    QCOMPARE(oReply.header("Access-Control-Allow-Origin"), QByteArray("null"));
    oReply = oClient.exchange("OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(oReply.hasHeader("Access-Control-Allow-Origin"));
    QCOMPARE(oReply.header("Access-Control-Allow-Origin"), QByteArray());
}

void TestProtocol::refusedMethodsAndPaths()
{
    HttpsClient oClient(m_port, m_ca);
    const QByteArray oPage = "<h1>404 error: File Not Found</h1>";
    HttpReply oReply = oClient.exchange("GET /ALIVE HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QCOMPARE(oReply.raw, "HTTP/1.1 404 File Not Found\r\nContent-Length: " + QByteArray::number(oPage.size())
                             + "\r\n\r\n" + oPage);
    oReply = oClient.exchange("post /ALIVE HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QCOMPARE(oReply.status, 404);
    oReply = oClient.exchange("POST /a.b/c HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QCOMPARE(oReply.status, 404);
    QCOMPARE(oReply.body, oPage);
    // "%2F" decodes to a slash: a valid path that reaches the controller.
    // (/x/ALIVE: module x, command ALIVE, no session).
    oReply = oClient.exchange("POST /x%2FALIVE HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    QCOMPARE(oReply.status, 418);
}

void TestProtocol::sessionLifecycle()
{
    HttpReply oReply = post("/ALIVE");
    QCOMPARE(oReply.status, 418);
    QCOMPARE(oReply.reason, QByteArray("No Session"));
    QCOMPARE(oReply.body, QByteArray("Session with provided ID don't exist."));
    QVERIFY(oReply.hasHeader("X-QTX-sessionId"));
    QCOMPARE(oReply.header("X-QTX-sessionId"), QByteArray());

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
    // OPEN_SESSION naming an id answers with it, whether or not it exists.
    const QByteArray oUnknown = "{00000000-0000-0000-0000-000000000001}";
    oReply = post("/OPEN_SESSION", QByteArray(), {"X-QTX-sessionId: " + oUnknown});
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, oUnknown);
    QCOMPARE(post("/CLOSE_SESSION", QByteArray(), {"X-QTX-sessionId: " + oUnknown}).status, 418);
    QCOMPARE(post("/SET_SESSION_VAR", "key=a&value=b", {"X-QTX-sessionId: " + oUnknown}).status, 200);

    oReply = post("/CLOSE_SESSION", QByteArray(), {oSessionHeader});
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.header("X-QTX-sessionId"), QByteArray());
    QCOMPARE(post("/ALIVE", QByteArray(), {oSessionHeader}).status, 418);
    QCOMPARE(post("/CLOSE_SESSION").status, 200);

    // A module command without a session opens one; an unknown module gets 404
    // and the session is gone again, though its id is reported.
    oReply = post("/NoSuchModule/fn");
    QCOMPARE(oReply.status, 404);
    QCOMPARE(oReply.body, QByteArray("The URL you requested was not found."));
    const QByteArray oImplicit = oReply.header("X-QTX-sessionId");
    QVERIFY(kBracedUuid.match(QString::fromLatin1(oImplicit)).hasMatch());
    QCOMPARE(post("/ALIVE", QByteArray(), {"X-QTX-sessionId: " + oImplicit}).status, 418);

    // GET_RESULT for nothing known (addressed through KeepAlive, which a root
    // client may use too).
    oReply = post("/KeepAlive/GET_RESULT", QByteArray(), {oSessionHeader});
    QCOMPARE(oReply.status, 419);
    QCOMPARE(oReply.reason, QByteArray("No Result"));
    QCOMPARE(oReply.body, QByteArray("There is no result for given parameters."));
}

void TestProtocol::idsAreValidatedOrGenerated()
{
    // Header names in any case; a valid id comes back as sent, an invalid one is replaced.
    HttpReply oReply = post("/ALIVE", QByteArray(), {"x-qtx-CMDID: 1234567890123"});
    QCOMPARE(oReply.header("X-QTX-cmdId"), QByteArray("1234567890123"));
    oReply = post("/ALIVE", QByteArray(), {"X-QTX-cmdId: 12345678901234"});
    QVERIFY(kBracedUuid.match(QString::fromLatin1(oReply.header("X-QTX-cmdId"))).hasMatch());
    // A generated id is a random (version 4, RFC 4122 variant) UUID, new every time.
    QSet<QByteArray> oGenerated;
    for (int i = 0; i < 20; ++i) {
        const QByteArray oId = post("/ALIVE").header("X-QTX-cmdId");
        QVERIFY2(kBracedUuid.match(QString::fromLatin1(oId)).hasMatch() && oId.at(15) == '4'
                     && QByteArray("89ab").contains(oId.at(20)),
                 oId.constData());
        oGenerated.insert(oId);
    }
    QCOMPARE(oGenerated.size(), 20);
    // An invalid session id counts as none.
    oReply = post("/ALIVE", QByteArray(), {"X-QTX-sessionId: <script>"});
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
    HttpReply oReply = post("/SERVER_VERSION");
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, QByteArray("0.0.0.INVALID"));

    // ARCH_TYPE is the server's own: it opens no session.
    oReply = post("/ARCH_TYPE");
    QCOMPARE(oReply.status, 200);
    QVERIFY(oReply.header("X-QTX-sessionId").isEmpty());
    const QJsonObject oArch = QJsonDocument::fromJson(oReply.body).object();
    QCOMPARE(oArch.value(QStringLiteral("resultCode")).toInt(), 200);
    QVERIFY(!oArch.value(QStringLiteral("buildArchitecture")).toString().isEmpty());
    QCOMPARE(oArch.value(QStringLiteral("kernelType")).toString(), QStringLiteral("linux"));
    QVERIFY(oReply.body.contains("\n    \"buildArchitecture\""));

    oReply = post("/TEST");
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, QByteArray("OK"));
    QTRY_VERIFY(m_server.logMessages().join(QLatin1Char('\n')).contains(QStringLiteral("oSystemCriticalInfo=")));

    // Only the configured port answers GET_USER_SERVER_PORT; a user instance is on port + 1.
    oReply = post("/GET_USER_SERVER_PORT");
    if (!ServerFixture::isRoot())
        QCOMPARE(oReply.status, 404);
    else
        QVERIFY(oReply.status == 200 || oReply.status == 500);
}

void TestProtocol::usernameForPid()
{
    const HttpReply oReply = post("/GET_USERNAME_FOR_PID", "processPid=" + QByteArray::number(::getpid()));
    QCOMPARE(oReply.status, 200);
    QVERIFY(oReply.body.contains('/'));
    QVERIFY(oReply.body.endsWith('/' + qgetenv("USER")) || ServerFixture::isRoot());
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
    const QStringList oLog = m_server.logMessages();
    const QString oAll = oLog.join(QLatin1Char('\n'));
    QVERIFY(!oAll.contains(QString::fromLatin1(oSecret)));
    QVERIFY(oAll.contains(QStringLiteral("CRequestMapper::service :: Param [other=<7 bytes>]")));
    QVERIFY(!oAll.contains(QStringLiteral("x-marker=quiet")));
    QVERIFY(!oAll.contains(QStringLiteral("Param [x=1]")));
}


// limits/maxSessionVars (3), maxSessionVarBytes (100) and maxSessions (40):
// each refusal is a reply with a clear text and one log line; what was stored stays.
void TestProtocol::limitsRefuseWithReply()
{
    const QByteArray oId = openSession();
    QVERIFY(!oId.isEmpty());
    const QByteArray oHeader = "X-QTX-sessionId: " + oId;
    for (const char *pKey : {"a", "b", "c"})
        QCOMPARE(post("/SET_SESSION_VAR", QByteArray("key=") + pKey + "&value=1", {oHeader}).status, 200);
    HttpReply oReply = post("/SET_SESSION_VAR", "key=d&value=1", {oHeader});
    QCOMPARE(oReply.status, 413);
    QCOMPARE(oReply.body, QByteArray("Too many or too large session variables. Remove some first."));
    // Replacing a stored variable is no new one; a value past the bytes is refused.
    QCOMPARE(post("/SET_SESSION_VAR", "key=c&value=2", {oHeader}).status, 200);
    QCOMPARE(post("/SET_SESSION_VAR", "key=c&value=" + QByteArray(120, 'x'), {oHeader}).status, 413);
    QTRY_VERIFY(!m_server.logMessages()
                     .filter(QStringLiteral("CSignController::SetSessionVar :: Session variable refused: the session "
                                            "would hold 4 variables"))
                     .isEmpty());

    QList<QByteArray> oOpened;
    for (int i = 0; i < 45; ++i) {
        oReply = post("/OPEN_SESSION");
        if (oReply.status != 200)
            break;
        oOpened << oReply.body;
    }
    QCOMPARE(oReply.status, 503);
    QCOMPARE(oReply.body, QByteArray("Too many open sessions. Close unused sessions and try again later."));
    QVERIFY(oOpened.size() < 40);
    // A module command without a session gets the same refusal, not "No Session".
    oReply = post("/KeepAlive/Ping");
    QCOMPARE(oReply.status, 503);
    QTRY_VERIFY(m_server.logContains(QStringLiteral(
        "CSignController::ProcessOpenSession :: Session refused: 40 sessions of this client's account are open (limits/maxSessions)")));
    // The open ones still work; closing one makes room.
    QCOMPARE(post("/ALIVE", QByteArray(), {oHeader}).status, 200);
    QCOMPARE(post("/CLOSE_SESSION", QByteArray(), {"X-QTX-sessionId: " + oOpened.first()}).status, 200);
    QCOMPARE(post("/OPEN_SESSION").status, 200);
    for (const QByteArray &oSession : qAsConst(oOpened))
        post("/CLOSE_SESSION", QByteArray(), {"X-QTX-sessionId: " + oSession});
}

// A decoded NUL (or any byte outside the path alphabet) makes the path invalid,
// whatever follows it.
void TestProtocol::moduleNamesAreWholeBytes()
{
    const QByteArray oId = openSession();
    const QByteArray oPage = "<h1>404 error: File Not Found</h1>";
    for (const QByteArray &oPath : {QByteArray("/KeepAlive%00alias/Ping"), QByteArray("/KeepAlive%00/Ping"),
                                    QByteArray("/KeepAlive%FF/Ping")}) {
        const HttpReply oReply = post(oPath, QByteArray(), {"X-QTX-sessionId: " + oId});
        QCOMPARE(oReply.status, 404);
        QCOMPARE(oReply.body, oPage);
    }
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
