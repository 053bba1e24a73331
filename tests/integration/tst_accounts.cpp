// Several accounts on one machine, with real accounts, a root dispatcher and
// per-user instances: who may run which module function, polling unprivileged
// jobs, root clients, and the dispatcher's port and user-name look-ups.
// Needs root (to create the accounts and run processes as them); skips otherwise.

#include "../../testkit/filesupport.h"
#include "integrationsupport.h"

#include <QHostInfo>

#include <utmp.h>

namespace {

const QString kUserA = QStringLiteral("qtxtest1");
const QString kUserB = QStringLiteral("qtxtest2");
const QString kUserC = QStringLiteral("qtxtest3"); // has no instance
const QByteArray kForbidden = "403 Forbidden|You don't have permissions to access this resource.";

QString sessionHeader(const HttpReply &v_oReply)
{
    return QStringLiteral("X-QTX-sessionId: ") + QString::fromLatin1(v_oReply.header("X-QTX-sessionId"));
}

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void ownAccountRunsEverything();
    void otherAccountOnlyUnprivilegedFunctions();
    void rootClientOnlySystemModules();
    void portOfTheUsersConnectionFromAnotherAddress();
    void sessionsBelongToTheAccountThatOpenedThem();
    void anotherAccountAtItsSessionLimit();
    void diagnosticsOnlyForTheirCallers();
    void dispatcherLoadsNothingForOtherAccounts_data();
    void dispatcherLoadsNothingForOtherAccounts();
    void dispatcherTellsEachAccountItsPort_data();
    void dispatcherTellsEachAccountItsPort();

private:
    bool startInstance(ServerFixture &v_oServer, const QString &v_oAccount, quint16 v_uiPort, bool v_bServerMode = true);
    HttpReply probe(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                    const QByteArray &v_oBody = QByteArray(), const QStringList &v_oHeaders = {},
                    const QStringList &v_oEnvironment = {});
    // Starts the probe, as the account, with the environment given (not waited for).
    void startProbe(QProcess &v_oProcess, const QString &v_oAccount, const QStringList &v_oArgs,
                    const QStringList &v_oEnvironment);
    HttpReply pollResult(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                         const QStringList &v_oHeaders)
    {
        return tst::pollResult([&] { return probe(v_oAccount, v_uiPort, v_oPath, QByteArray(), v_oHeaders); });
    }
    // A job of the account in the session, started (202) and its result polled at /GET_RESULT;
    // status 0 when the start was not accepted.
    HttpReply runJob(const QString &v_oAccount, const QByteArray &v_oPath, const QByteArray &v_oBody,
                     const QString &v_oCmdId, const QString &v_oSession);

    quint16 m_dispatcherPort = 0;
    quint16 m_portA = 0;
    quint16 m_portB = 0;
    ServerFixture m_dispatcher;
    ServerFixture m_userA;
    ServerFixture m_userB;
    QMap<int, QString> m_cas; // port -> public copy of that instance's authority
};

bool TestAccounts::startInstance(ServerFixture &v_oServer, const QString &v_oAccount, quint16 v_uiPort, bool v_bServerMode)
{
    // Each instance has the key and authority of its own account; the probes
    // trust the one of the instance they talk to through its public copy.
    QFile::setPermissions(v_oServer.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    m_cas.insert(v_uiPort, v_oServer.path(QStringLiteral("certs/QTX-ca.pem")));
    const QByteArray oIni = tst::tlsIni(m_dispatcherPort, "[limits]\nmaxSessions=20\n",
                                        QByteArray("windowsServerMode=") + (v_bServerMode ? "true\n" : "false\n"));
    return tst::startServer(v_oServer, oIni, v_uiPort, v_oAccount, true);
}

void TestAccounts::startProbe(QProcess &v_oProcess, const QString &v_oAccount, const QStringList &v_oArgs,
                              const QStringList &v_oEnvironment)
{
    const QString oProbe = QStringLiteral(QTX_BINARY_DIR "/tests/integration/qtx_https_probe");
    QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
    for (const QString &oVariable : v_oEnvironment)
        oEnvironment.insert(oVariable.section(QLatin1Char('='), 0, 0), oVariable.section(QLatin1Char('='), 1));
    v_oProcess.setProcessEnvironment(oEnvironment);
    ServerFixture::startAs(v_oProcess, v_oAccount, oProbe, v_oArgs);
}

HttpReply TestAccounts::probe(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                              const QByteArray &v_oBody, const QStringList &v_oHeaders,
                              const QStringList &v_oEnvironment)
{
    QStringList oArgs{QString::number(v_uiPort), m_cas.value(v_uiPort), QString::fromUtf8(v_oPath), QString::fromUtf8(v_oBody)};
    oArgs += v_oHeaders;
    QProcess oProcess;
    startProbe(oProcess, v_oAccount, oArgs, v_oEnvironment);
    oProcess.waitForFinished(60000);
    HttpReply oReply;
    for (const QByteArray &oLine : oProcess.readAllStandardOutput().split('\n')) {
        if (oLine.startsWith("STATUS ")) {
            oReply.status = oLine.mid(7, 3).toInt();
            oReply.reason = oLine.mid(11);
        } else if (oLine.startsWith("H ")) {
            const int iColon = oLine.indexOf(':');
            oReply.headers.append(qMakePair(oLine.mid(2, iColon - 2), oLine.mid(iColon + 1).trimmed()));
        } else if (oLine.startsWith("BODY "))
            oReply.body = oLine.mid(5);
    }
    return oReply;
}

HttpReply TestAccounts::runJob(const QString &v_oAccount, const QByteArray &v_oPath, const QByteArray &v_oBody,
                               const QString &v_oCmdId, const QString &v_oSession)
{
    const QStringList oIds{QStringLiteral("X-QTX-cmdId: ") + v_oCmdId, v_oSession};
    const HttpReply oStart = probe(v_oAccount, m_portA, v_oPath, v_oBody, oIds);
    if (oStart.status != 202)
        return HttpReply{0, "not started", {}, tst::text(oStart), {}};
    return pollResult(v_oAccount, m_portA, "/GET_RESULT", oIds);
}

void TestAccounts::initTestCase()
{
    if (!ServerFixture::isRoot())
        QSKIP("Multi-account tests create accounts and run servers as them: run the tests as root.");
    for (const QString &oAccount : {kUserA, kUserB, kUserC})
        QVERIFY2(ServerFixture::ensureAccount(oAccount), qPrintable(oAccount));
    const int iBase = ServerFixture::freeBase(5);
    QVERIFY(iBase > 0);
    m_dispatcherPort = quint16(iBase);
    m_portA = quint16(iBase + 1);
    m_portB = quint16(iBase + 2);
    QVERIFY(startInstance(m_dispatcher, QString(), m_dispatcherPort));
    QVERIFY(startInstance(m_userA, kUserA, m_portA));
    QVERIFY(startInstance(m_userB, kUserB, m_portB));
}

void TestAccounts::ownAccountRunsEverything()
{
    const HttpReply oOpen = probe(kUserA, m_portA, "/PublicInfo", "cmd=OPEN_SESSION&sessionVars="
                                  + QUrl::toPercentEncoding("[{\"key\":\"lang\",\"value\":\"pl\"}]"));
    QCOMPARE(oOpen.status, 200);
    const QString oSession = sessionHeader(oOpen);
    const HttpReply oVariables = runJob(kUserA, "/PublicInfo/SessionVariables", QByteArray(), QStringLiteral("101"), oSession);
    QCOMPARE(oVariables.status, 200);
    QVERIFY2(oVariables.body.contains("lang") && oVariables.body.contains("pl"), oVariables.body.constData());
    const HttpReply oDigest = runJob(kUserA, "/Hasher/Sha256", "data=abc", QStringLiteral("102"), oSession);
    QCOMPARE(oDigest.status, 200);
    QVERIFY2(oDigest.body.contains("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
             oDigest.body.constData());
    // The result is handed out once.
    QCOMPARE(probe(kUserA, m_portA, "/GET_RESULT", QByteArray(), {"X-QTX-cmdId: 102", oSession}).status, 419);

    // A declared parameter missing: 400; an undeclared function: 404.
    QCOMPARE(tst::text(probe(kUserA, m_portA, "/Hasher/Sha256", QByteArray(), {oSession})),
             QByteArray("400 Bad Request|The parameters you passed are not valid."));
    QCOMPARE(probe(kUserA, m_portA, "/Hasher/NoSuchFunction", QByteArray(), {oSession}).status, 404);
    // Started with "-console" the server has no widgets: a page's GUI function is
    // refused instead of taking the process down.
    QCOMPARE(probe(kUserA, m_portA, "/ConfirmDialog/Confirm", "text=ok%3F", {oSession, "Origin: https://shop.example"}).status,
             500);
    QCOMPARE(probe(kUserA, m_portA, "/ALIVE", QByteArray(), {oSession}).status, 200);
}

void TestAccounts::otherAccountOnlyUnprivilegedFunctions()
{
    // User A's instance, client of user B.
    QCOMPARE(tst::text(probe(kUserB, m_portA, "/PublicInfo/SessionVariables")), kForbidden);
    // The Signer declares nothing safe for other accounts: neither its list nor a signature.
    if (QFile::exists(m_userA.path(QStringLiteral("modules/Signer.so")))) {
        QCOMPARE(probe(kUserB, m_portA, "/Signer/ListCertificates").status, 403);
        QCOMPARE(probe(kUserB, m_portA, "/Signer/Sign", "certId=x&digest=x&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA").status, 403);
    }

    const HttpReply oStart = probe(kUserB, m_portA, "/PublicInfo/ServerTime", QByteArray(), {"X-QTX-cmdId: 202"});
    QCOMPARE(oStart.status, 202);
    const QString oSession = sessionHeader(oStart);
    // Exactly that job may be polled, by its X-QTX-cmdId header.
    QCOMPARE(probe(kUserB, m_portA, "/PublicInfo/GET_RESULT", QByteArray(), {"X-QTX-cmdId: 203", oSession}).status, 403);
    // A job of the instance's own account in the same session: the header names
    // B's job, the "cmdId" parameter the other one. It is not handed out.
    QCOMPARE(probe(kUserA, m_portA, "/PublicInfo/SessionVariables", QByteArray(), {"X-QTX-cmdId: 204", oSession}).status, 202);
    QTest::qWait(500);  // let it finish, so only the check can keep it back
    QCOMPARE(probe(kUserB, m_portA, "/PublicInfo/GET_RESULT", "cmdId=204", {"X-QTX-cmdId: 202", oSession}).status, 403);
    QCOMPARE(pollResult(kUserA, m_portA, "/GET_RESULT", {"X-QTX-cmdId: 204", oSession}).status, 200);
    const HttpReply oResult = pollResult(kUserB, m_portA, "/PublicInfo/GET_RESULT", {"X-QTX-cmdId: 202", oSession});
    QCOMPARE(oResult.status, 200);
    QVERIFY(!oResult.body.isEmpty());
    QVERIFY(m_userA.logContains(QStringLiteral(
        "CSignController::IsClientOnCurrentUser :: Client is on different user then server and not on SYSTEM user!")));
}

void TestAccounts::rootClientOnlySystemModules()
{
    const HttpReply oKeepAlive = probe(QString(), m_portA, "/KeepAlive/Ping", QByteArray(), {"X-QTX-cmdId: 303"});
    QCOMPARE(oKeepAlive.status, 202);
    QCOMPARE(pollResult(QString(), m_portA, "/KeepAlive/GET_RESULT", {"X-QTX-cmdId: 303", sessionHeader(oKeepAlive)}).status, 200);
    QCOMPARE(probe(QString(), m_portA, "/Hasher/Sha256", "data=abc").status, 403);
    QCOMPARE(probe(QString(), m_portA, "/NoSuchModule/fn").status, 404);
    QVERIFY(m_userA.logContains(QStringLiteral("CSignController::service :: Module Hasher refused before loading: "
                                               "not for this client's account")));
    // A result of the account's own session stays the account's, whatever the
    // client's class: root, allowed KeepAlive, finds nothing in it.
    const HttpReply oOpen = probe(kUserA, m_portA, "/OPEN_SESSION");
    const QString oSession = sessionHeader(oOpen);
    QCOMPARE(probe(kUserA, m_portA, "/KeepAlive/Ping", QByteArray(), {"X-QTX-cmdId: 304", oSession}).status, 202);
    QTest::qWait(300);
    QCOMPARE(tst::text(probe(QString(), m_portA, "/KeepAlive/GET_RESULT", QByteArray(), {"X-QTX-cmdId: 304", oSession})),
             QByteArray("419 No Result|There is no result for given parameters."));
    QCOMPARE(pollResult(kUserA, m_portA, "/GET_RESULT", {"X-QTX-cmdId: 304", oSession}).status, 200);
}

void TestAccounts::portOfTheUsersConnectionFromAnotherAddress()
{
    // User A holds a connection to A's instance; user B binds 127.0.0.2 to the
    // client port of that connection and connects to the same instance. The
    // kernel reports the exact connection: B stays B.
    QProcess oHolder;
    startProbe(oHolder, kUserA, {QString::number(m_portA), m_cas.value(m_portA), QStringLiteral("/ALIVE")},
               {QStringLiteral("QTX_PROBE_HOLD_MS=30000")});
    QByteArray oLocal;
    QTRY_VERIFY_WITH_TIMEOUT((oLocal += oHolder.readAllStandardOutput()).contains("LOCAL "), 20000);
    const QByteArray oClientPort = oLocal.mid(oLocal.indexOf("LOCAL ") + 6).trimmed();
    QVERIFY(oClientPort.toUInt() > 0);

    const QStringList oSpoof{QStringLiteral("QTX_PROBE_BIND=127.0.0.2:") + QString::fromLatin1(oClientPort)};
    QCOMPARE(tst::text(probe(kUserB, m_portA, "/Hasher/HmacSha256", "data=abc", {"X-QTX-cmdId: 501"}, oSpoof)), kForbidden);
    // The log names the real peer (written by the log thread, possibly after the reply left).
    QTRY_VERIFY(m_userA.logHas(QStringLiteral("Client 127.0.0.2:") + QString::fromLatin1(oClientPort) + QStringLiteral(" uid=")));
    oHolder.kill();
    oHolder.waitForFinished(5000);
}

void TestAccounts::sessionsBelongToTheAccountThatOpenedThem()
{
    const HttpReply oOpen = probe(kUserA, m_portA, "/OPEN_SESSION");
    QCOMPARE(oOpen.status, 200);
    const QString oSession = sessionHeader(oOpen);

    // To user B the session does not exist: it can neither use, feed nor end it.
    QCOMPARE(probe(kUserB, m_portA, "/ALIVE", QByteArray(), {oSession}).status, 418);
    QCOMPARE(probe(kUserB, m_portA, "/PublicInfo/ServerTime", QByteArray(), {oSession}).status, 418);
    QCOMPARE(probe(kUserB, m_portA, "/SET_SESSION_VAR", "key=planted&value=1", {oSession}).status, 200);
    QCOMPARE(probe(kUserB, m_portA, "/CLOSE_SESSION", QByteArray(), {oSession}).status, 418);
    // Nor does a made-up id: refused, not opened. OPEN_SESSION answers both as
    // a session that does not exist, never with the id.
    const QString oMadeUp = QStringLiteral("X-QTX-sessionId: {0badc0de-0000-4000-8000-000000000000}");
    QCOMPARE(probe(kUserB, m_portA, "/PublicInfo/ServerTime", QByteArray(), {oMadeUp}).status, 418);
    QCOMPARE(tst::text(probe(kUserB, m_portA, "/OPEN_SESSION", QByteArray(), {oSession})),
             QByteArray("418 No Session|Session with provided ID don't exist."));
    QCOMPARE(probe(kUserB, m_portA, "/OPEN_SESSION", QByteArray(), {oMadeUp}).status, 418);
    QCOMPARE(tst::text(probe(kUserA, m_portA, "/OPEN_SESSION", QByteArray(), {oSession})),
             "200 OK|" + oSession.mid(17).toLatin1());

    // For A the session is intact and holds no variable of B's.
    QCOMPARE(probe(kUserA, m_portA, "/ALIVE", QByteArray(), {oSession}).status, 200);
    const HttpReply oVariables = runJob(kUserA, "/PublicInfo/SessionVariables", QByteArray(), QStringLiteral("502"), oSession);
    QCOMPARE(oVariables.status, 200);
    QVERIFY2(!oVariables.body.contains("planted"), oVariables.body.constData());
    QCOMPARE(probe(kUserA, m_portA, "/CLOSE_SESSION", QByteArray(), {oSession}).status, 200);
}

void TestAccounts::anotherAccountAtItsSessionLimit()
{
    // The instances allow 20 sessions per account. B uses up its own...
    int iOpened = 0;
    HttpReply oReply;
    for (int i = 0; i < 30 && (oReply = probe(kUserB, m_portA, "/OPEN_SESSION")).status == 200; ++i)
        ++iOpened;
    QCOMPARE(tst::text(oReply),
             QByteArray("503 Service Unavailable|Too many open sessions. Close unused sessions and try again later."));
    QVERIFY2(iOpened <= 20, qPrintable(QString::number(iOpened)));
    // ...which leaves A's untouched: A opens a session and runs a command.
    const HttpReply oOpen = probe(kUserA, m_portA, "/OPEN_SESSION");
    QCOMPARE(oOpen.status, 200);
    QCOMPARE(runJob(kUserA, "/Hasher/Sha256", "data=abc", QStringLiteral("601"), sessionHeader(oOpen)).status, 200);
    // ARCH_TYPE is the server's own command: it opens no session.
    const HttpReply oArch = probe(kUserB, m_portA, "/ARCH_TYPE");
    QCOMPARE(oArch.status, 200);
    QVERIFY(oArch.header("X-QTX-sessionId").isEmpty());
}

void TestAccounts::diagnosticsOnlyForTheirCallers()
{
    // The system report costs many processes: the instance's own account only.
    QCOMPARE(tst::text(probe(kUserB, m_portA, "/TEST")), kForbidden);
    QCOMPARE(probe(kUserA, m_portA, "/TEST").status, 200);
    // The dispatcher names the account of the caller's own processes to the
    // instances asking it, not to pages, and nothing of other accounts'.
    const QByteArray oPidA = "processPid=" + QByteArray::number(m_userA.process().processId());
    const QByteArray oPidB = "processPid=" + QByteArray::number(m_userB.process().processId());
    const HttpReply oName = probe(kUserA, m_dispatcherPort, "/GET_USERNAME_FOR_PID", oPidA);
    QCOMPARE(tst::text(oName), "200 OK|" + (QHostInfo::localHostName() + QLatin1Char('/') + kUserA).toUtf8());
    QByteArray oUid;
    QVERIFY(ServerFixture::runAs(QString(), QStringLiteral("id"), {QStringLiteral("-u"), kUserA}, &oUid) == 0);
    QCOMPARE(oName.header("X-QTX-uid"), oUid.trimmed());
    const QByteArray oRefused = "500 Internal Server Error|Problem occurred when trying to obtain username";
    QCOMPARE(tst::text(probe(kUserA, m_dispatcherPort, "/GET_USERNAME_FOR_PID", oPidB)), oRefused);
    QCOMPARE(tst::text(probe(kUserA, m_dispatcherPort, "/GET_USERNAME_FOR_PID", "processPid=999999999")), oRefused);
    QCOMPARE(tst::text(probe(kUserA, m_dispatcherPort, "/GET_USERNAME_FOR_PID", oPidA, {"Origin: https://example.org"})),
             kForbidden);
}

void TestAccounts::dispatcherLoadsNothingForOtherAccounts_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");
    // PublicInfo declares ServerTime safe for other accounts; on the
    // dispatcher (root's, here) it still runs for nobody but root.
    QTest::newRow("unprivileged function") << QByteArray("/PublicInfo/ServerTime") << QByteArray() << kForbidden;
    QTest::newRow("open a session with it") << QByteArray("/PublicInfo") << QByteArray("cmd=OPEN_SESSION") << kForbidden;
    QTest::newRow("other function") << QByteArray("/Hasher/Sha256") << QByteArray("data=abc") << kForbidden;
    QTest::newRow("no such module") << QByteArray("/NoSuchModule/fn") << QByteArray()
                                    << QByteArray("404 Not Found|The URL you requested was not found.");
}

void TestAccounts::dispatcherLoadsNothingForOtherAccounts()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    const HttpReply oReply = probe(kUserB, m_dispatcherPort, path, body);
    QCOMPARE(tst::text(oReply), expected);
    QVERIFY(oReply.header("X-QTX-sessionId").isEmpty());
    // Nothing of a module was mapped into the dispatcher, nor logged as loaded.
    const QByteArray oMaps = tst::readFile(QStringLiteral("/proc/%1/maps").arg(m_dispatcher.process().processId()));
    QVERIFY(!oMaps.isEmpty());
    QVERIFY2(!oMaps.contains("/modules/"), oMaps.constData());
    QVERIFY(!m_dispatcher.logHas(QStringLiteral("Module library loaded")));
}

// Logon records as the login programs write them: one USER_PROCESS entry per account.
bool writeUtmp(const QString &v_oPath, const QList<QPair<QString, qint64>> &v_oSessions)
{
    QFile oFile(v_oPath);
    if (!oFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    int iTty = 2;
    for (const auto &oSession : v_oSessions) {
        struct utmp oEntry {};
        oEntry.ut_type = USER_PROCESS;
        oEntry.ut_pid = static_cast<pid_t>(oSession.second);
        qstrncpy(oEntry.ut_line, qPrintable(QStringLiteral("tty%1").arg(iTty++)), sizeof oEntry.ut_line);
        qstrncpy(oEntry.ut_user, qPrintable(oSession.first), sizeof oEntry.ut_user);
        oFile.write(reinterpret_cast<const char *>(&oEntry), sizeof oEntry);
    }
    return true;
}

void TestAccounts::dispatcherTellsEachAccountItsPort_data()
{
    QTest::addColumn<bool>("serverMode");
    QTest::newRow("server mode") << true;
    // User A's the single active session: B is still told B's port, not A's.
    QTest::newRow("one active session, no server mode") << false;
}

// Last: its second row replaces the dispatcher.
void TestAccounts::dispatcherTellsEachAccountItsPort()
{
    QFETCH(bool, serverMode);
    ServerFixture oDispatcher;
    if (!serverMode) {
        QVERIFY(tst::quitsOnCtrlC(m_dispatcher.process()));
        const QString oUtmp = oDispatcher.path(QStringLiteral("utmp"));
        QVERIFY(writeUtmp(oUtmp, {{kUserA, m_userA.process().processId()}}));
        oDispatcher.setEnvironmentValue(QStringLiteral("QTX_UTMP_FILE"), oUtmp);
        QVERIFY(startInstance(oDispatcher, QString(), m_dispatcherPort, false));
    }
    QCOMPARE(tst::text(probe(kUserA, m_dispatcherPort, "/GET_USER_SERVER_PORT")), "200 OK|" + QByteArray::number(m_portA));
    QCOMPARE(tst::text(probe(kUserB, m_dispatcherPort, "/GET_USER_SERVER_PORT")), "200 OK|" + QByteArray::number(m_portB));
    // Only the dispatcher's port answers it.
    QCOMPARE(probe(kUserA, m_portA, "/GET_USER_SERVER_PORT").status, 404);
    // An account without an instance.
    QCOMPARE(tst::text(probe(kUserC, m_dispatcherPort, "/GET_USER_SERVER_PORT")),
             QByteArray("500 Internal Server Error|The QTX server encountered an unexpected error and was unable to complete "
                        "your request."));
}

QTEST_GUILESS_MAIN(TestAccounts)
#include "tst_accounts.moc"
