// Several accounts on one machine, with real accounts, a root dispatcher and
// per-user instances: who may run which module function, polling unprivileged
// jobs, root clients, and the dispatcher's port and user-name look-ups.
// Needs root (to create the accounts and run processes as them); skips otherwise.

#include "serverfixture.h"

#include <QDir>
#include <QHostInfo>
#include <QtTest>

#include <csignal>
#include <utmp.h>

namespace {

const QString kUserA = QStringLiteral("qtxtest1");
const QString kUserB = QStringLiteral("qtxtest2");
const QString kUserC = QStringLiteral("qtxtest3"); // has no instance

struct ProbeReply
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};


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
    void dispatcherTellsEachAccountItsPort();
    void dispatcherNamesTheAccountOfAProcess();
    void withoutServerModeTheActiveSessionDecides();

private:
    bool startInstance(ServerFixture &v_oServer, const QString &v_oAccount, int v_iExpectedPort,
                       bool v_bServerMode = true);
    ProbeReply probe(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                     const QByteArray &v_oBody = QByteArray(), const QStringList &v_oHeaders = {},
                     const QStringList &v_oEnvironment = {});
    // Starts the probe, as the account, with the environment given (not waited for).
    void startProbe(QProcess &v_oProcess, const QString &v_oAccount, const QStringList &v_oArgs,
                    const QStringList &v_oEnvironment);
    ProbeReply pollResult(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                          const QStringList &v_oHeaders);

    int m_base = 0;
    ServerFixture m_dispatcher;
    ServerFixture m_userA;
    ServerFixture m_userB;
    QMap<int, QString> m_cas; // port -> public copy of that instance's authority
};

bool TestAccounts::startInstance(ServerFixture &v_oServer, const QString &v_oAccount, int v_iExpectedPort,
                                 bool v_bServerMode)
{
    const QByteArray oIni = "[listener]\nport=" + QByteArray::number(m_base)
                            + "\nwindowsServerMode=" + (v_bServerMode ? "true" : "false") + "\nreadTimeout=20000\n[dllLoader]\ndirPath=modules\n"
                              "[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
                              "[timeout]\ninterval=600000\n[limits]\nmaxSessions=20\n";
    if (!v_oServer.install(oIni) || !v_oServer.installModules())
        return false;
    // Each instance has the key and authority of its own account; the probes
    // trust the one of the instance they talk to through its public copy.
    if (!v_oAccount.isEmpty())
        v_oServer.shareWith(v_oAccount);
    QFile::setPermissions(v_oServer.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    if (!v_oServer.provision(v_oAccount))
        return false;
    m_cas.insert(v_iExpectedPort, v_oServer.path(QStringLiteral("certs/QTX-ca.pem")));
    v_oServer.start({QStringLiteral("-console")}, v_oAccount);
    return v_oServer.waitListening(v_iExpectedPort);
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

ProbeReply TestAccounts::probe(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                               const QByteArray &v_oBody, const QStringList &v_oHeaders,
                               const QStringList &v_oEnvironment)
{
    QStringList oArgs{QString::number(v_uiPort), m_cas.value(v_uiPort), QString::fromUtf8(v_oPath), QString::fromUtf8(v_oBody)};
    oArgs += v_oHeaders;
    QProcess oProcess;
    startProbe(oProcess, v_oAccount, oArgs, v_oEnvironment);
    oProcess.waitForFinished(60000);
    ProbeReply oReply;
    for (const QByteArray &oLine : oProcess.readAllStandardOutput().split('\n')) {
        if (oLine.startsWith("STATUS "))
            oReply.status = oLine.mid(7).toInt();
        else if (oLine.startsWith("H ")) {
            const int iColon = oLine.indexOf(':');
            oReply.headers.insert(oLine.mid(2, iColon - 2).toLower(), oLine.mid(iColon + 1).trimmed());
        } else if (oLine.startsWith("BODY "))
            oReply.body = oLine.mid(5);
    }
    return oReply;
}

ProbeReply TestAccounts::pollResult(const QString &v_oAccount, quint16 v_uiPort, const QByteArray &v_oPath,
                                    const QStringList &v_oHeaders)
{
    ProbeReply oReply;
    for (int i = 0; i < 50; ++i) {
        oReply = probe(v_oAccount, v_uiPort, v_oPath, QByteArray(), v_oHeaders);
        if (oReply.status != 202)
            break;
        QTest::qWait(100);
    }
    return oReply;
}

void TestAccounts::initTestCase()
{
    if (!ServerFixture::isRoot())
        QSKIP("Multi-account tests create accounts and run servers as them: run the tests as root.");
    for (const QString &oAccount : {kUserA, kUserB, kUserC})
        QVERIFY2(ServerFixture::ensureAccount(oAccount), qPrintable(oAccount));
    QVERIFY2(QDir(QStringLiteral(QTX_BINARY_DIR "/modules")).exists(), "the signed example modules are not built");
    m_base = ServerFixture::freeBase(5);
    QVERIFY(m_base > 0);
    QVERIFY(startInstance(m_dispatcher, QString(), m_base));
    QVERIFY(startInstance(m_userA, kUserA, m_base + 1));
    QVERIFY(startInstance(m_userB, kUserB, m_base + 2));
}

void TestAccounts::ownAccountRunsEverything()
{
    const quint16 uiPort = static_cast<quint16>(m_base + 1);
    const ProbeReply oOpen = probe(kUserA, uiPort, "/PublicInfo", "cmd=OPEN_SESSION&sessionVars="
                                   + QUrl::toPercentEncoding("[{\"key\":\"lang\",\"value\":\"pl\"}]"));
    QCOMPARE(oOpen.status, 200);
    const QString oSession = QStringLiteral("X-QTX-sessionId: ") + QString::fromLatin1(oOpen.body);
    const ProbeReply oStart = probe(kUserA, uiPort, "/PublicInfo/SessionVariables", QByteArray(), {"X-QTX-cmdId: 101", oSession});
    QCOMPARE(oStart.status, 202);
    const ProbeReply oResult = pollResult(kUserA, uiPort, "/GET_RESULT", {"X-QTX-cmdId: 101", oSession});
    QCOMPARE(oResult.status, 200);
    QVERIFY2(oResult.body.contains("lang") && oResult.body.contains("pl"), oResult.body.constData());

    // A declared parameter missing: 400; an undeclared function: 404.
    const ProbeReply oMissing = probe(kUserA, uiPort, "/Hasher/Sha256", QByteArray(), {oSession});
    QCOMPARE(oMissing.status, 400);
    QCOMPARE(oMissing.body, QByteArray("The parameters you passed are not valid."));
    QCOMPARE(probe(kUserA, uiPort, "/Hasher/NoSuchFunction", QByteArray(), {oSession}).status, 404);
    const ProbeReply oHash = probe(kUserA, uiPort, "/Hasher/Sha256", "data=abc", {"X-QTX-cmdId: 102", oSession});
    QCOMPARE(oHash.status, 202);
    const ProbeReply oDigest = pollResult(kUserA, uiPort, "/GET_RESULT", {"X-QTX-cmdId: 102", oSession});
    QCOMPARE(oDigest.status, 200);
    QVERIFY2(oDigest.body.contains("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
             oDigest.body.constData());
    // The result is handed out once.
    QCOMPARE(probe(kUserA, uiPort, "/GET_RESULT", QByteArray(), {"X-QTX-cmdId: 102", oSession}).status, 419);

    // Started with "-console" the server has no widgets: a GUI function is refused
    // instead of taking the process down.
    QCOMPARE(probe(kUserA, uiPort, "/ConfirmDialog/Confirm", "text=ok%3F", {oSession}).status, 500);
    QCOMPARE(probe(kUserA, uiPort, "/ALIVE", QByteArray(), {oSession}).status, 200);
}

void TestAccounts::otherAccountOnlyUnprivilegedFunctions()
{
    const quint16 uiPort = static_cast<quint16>(m_base + 1); // user A's instance, client of user B
    ProbeReply oReply = probe(kUserB, uiPort, "/PublicInfo/SessionVariables");
    QCOMPARE(oReply.status, 403);
    QCOMPARE(oReply.body, QByteArray("You don't have permissions to access this resource."));
    // The Signer declares nothing safe for other accounts: neither its list nor a signature.
    if (QFile::exists(m_userA.path(QStringLiteral("modules/Signer.so")))) {
        QCOMPARE(probe(kUserB, uiPort, "/Signer/ListCertificates").status, 403);
        QCOMPARE(probe(kUserB, uiPort, "/Signer/Sign", "certId=x&digest=x&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA").status, 403);
    }

    oReply = probe(kUserB, uiPort, "/PublicInfo/ServerTime", QByteArray(), {"X-QTX-cmdId: 202"});
    QCOMPARE(oReply.status, 202);
    const QString oSession = QStringLiteral("X-QTX-sessionId: ") + QString::fromLatin1(oReply.headers.value("x-qtx-sessionid"));
    // Exactly that job may be polled, by its X-QTX-cmdId header.
    QCOMPARE(probe(kUserB, uiPort, "/PublicInfo/GET_RESULT", QByteArray(), {"X-QTX-cmdId: 203", oSession}).status, 403);
    // A job of the instance's own account in the same session: the header names
    // B's job, the "cmdId" parameter the other one. It is not handed out.
    QCOMPARE(probe(kUserA, uiPort, "/PublicInfo/SessionVariables", QByteArray(), {"X-QTX-cmdId: 204", oSession}).status, 202);
    QTest::qWait(500);  // let it finish, so only the check can keep it back
    const ProbeReply oMismatch = probe(kUserB, uiPort, "/PublicInfo/GET_RESULT", "cmdId=204", {"X-QTX-cmdId: 202", oSession});
    QCOMPARE(oMismatch.status, 403);
    QCOMPARE(pollResult(kUserA, uiPort, "/GET_RESULT", {"X-QTX-cmdId: 204", oSession}).status, 200);
    const ProbeReply oResult = pollResult(kUserB, uiPort, "/PublicInfo/GET_RESULT", {"X-QTX-cmdId: 202", oSession});
    QCOMPARE(oResult.status, 200);
    QVERIFY(!oResult.body.isEmpty());
    QVERIFY(m_userA.logContains(QStringLiteral(
        "CSignController::IsClientOnCurrentUser :: Client is on different user then server and not on SYSTEM user!")));
}

void TestAccounts::rootClientOnlySystemModules()
{
    const quint16 uiPort = static_cast<quint16>(m_base + 1);
    const ProbeReply oKeepAlive = probe(QString(), uiPort, "/KeepAlive/Ping", QByteArray(), {"X-QTX-cmdId: 303"});
    QCOMPARE(oKeepAlive.status, 202);
    const QString oSession =
        QStringLiteral("X-QTX-sessionId: ") + QString::fromLatin1(oKeepAlive.headers.value("x-qtx-sessionid"));
    QCOMPARE(pollResult(QString(), uiPort, "/KeepAlive/GET_RESULT", {"X-QTX-cmdId: 303", oSession}).status, 200);
    QCOMPARE(probe(QString(), uiPort, "/Hasher/Sha256", "data=abc").status, 403);
    QCOMPARE(probe(QString(), uiPort, "/NoSuchModule/fn").status, 404);
    QVERIFY(m_userA.logContains(QStringLiteral("CSignController::CheckPermissions :: request to \"Hasher\" cannot be processed")));
}

void TestAccounts::portOfTheUsersConnectionFromAnotherAddress()
{
    // User A holds a connection to A's instance; user B binds 127.0.0.2 to the
    // client port of that connection and connects to the same instance. The
    // kernel reports the exact connection: B stays B.
    const quint16 uiPort = static_cast<quint16>(m_base + 1);
    QProcess oHolder;
    startProbe(oHolder, kUserA, {QString::number(uiPort), m_cas.value(uiPort), QStringLiteral("/ALIVE")},
               {QStringLiteral("QTX_PROBE_HOLD_MS=30000")});
    QByteArray oLocal;
    QTRY_VERIFY_WITH_TIMEOUT((oLocal += oHolder.readAllStandardOutput()).contains("LOCAL "), 20000);
    const QByteArray oClientPort = oLocal.mid(oLocal.indexOf("LOCAL ") + 6).trimmed();
    QVERIFY(oClientPort.toUInt() > 0);

    const QStringList oSpoof{QStringLiteral("QTX_PROBE_BIND=127.0.0.2:") + QString::fromLatin1(oClientPort)};
    const ProbeReply oOpen = probe(kUserB, uiPort, "/Hasher/HmacSha256", "data=abc", {"X-QTX-cmdId: 501"}, oSpoof);
    QCOMPARE(oOpen.status, 403);
    QCOMPARE(oOpen.body, QByteArray("You don't have permissions to access this resource."));
    // The log names the real peer.
    // Written by the log thread, possibly after the reply left.
    QTRY_VERIFY(m_userA.logHas(QStringLiteral("Client 127.0.0.2:") + QString::fromLatin1(oClientPort) + QStringLiteral(" uid=")));
    oHolder.kill();
    oHolder.waitForFinished(5000);
}

void TestAccounts::sessionsBelongToTheAccountThatOpenedThem()
{
    const quint16 uiPort = static_cast<quint16>(m_base + 1);
    const ProbeReply oOpen = probe(kUserA, uiPort, "/OPEN_SESSION");
    QCOMPARE(oOpen.status, 200);
    const QString oSession = QStringLiteral("X-QTX-sessionId: ") + QString::fromLatin1(oOpen.body);

    // To user B the session does not exist: it can neither use, feed nor end it.
    QCOMPARE(probe(kUserB, uiPort, "/ALIVE", QByteArray(), {oSession}).status, 418);
    QCOMPARE(probe(kUserB, uiPort, "/PublicInfo/ServerTime", QByteArray(), {oSession}).status, 418);
    QCOMPARE(probe(kUserB, uiPort, "/SET_SESSION_VAR", "key=planted&value=1", {oSession}).status, 200);
    QCOMPARE(probe(kUserB, uiPort, "/CLOSE_SESSION", QByteArray(), {oSession}).status, 418);
    // Nor does a made-up id: refused, not opened.
    const ProbeReply oMadeUp = probe(kUserB, uiPort, "/PublicInfo/ServerTime", QByteArray(),
                                     {"X-QTX-sessionId: {0badc0de-0000-4000-8000-000000000000}"});
    QCOMPARE(oMadeUp.status, 418);

    // For A the session is intact and holds no variable of B's.
    QCOMPARE(probe(kUserA, uiPort, "/ALIVE", QByteArray(), {oSession}).status, 200);
    QCOMPARE(probe(kUserA, uiPort, "/PublicInfo/SessionVariables", QByteArray(), {"X-QTX-cmdId: 502", oSession}).status, 202);
    const ProbeReply oVariables = pollResult(kUserA, uiPort, "/GET_RESULT", {"X-QTX-cmdId: 502", oSession});
    QCOMPARE(oVariables.status, 200);
    QVERIFY2(!oVariables.body.contains("planted"), oVariables.body.constData());
    QCOMPARE(probe(kUserA, uiPort, "/CLOSE_SESSION", QByteArray(), {oSession}).status, 200);
}

void TestAccounts::anotherAccountAtItsSessionLimit()
{
    // The instances allow 20 sessions per account. B uses up its own...
    const quint16 uiPort = static_cast<quint16>(m_base + 1);
    int iOpened = 0;
    ProbeReply oReply;
    for (int i = 0; i < 30 && (oReply = probe(kUserB, uiPort, "/OPEN_SESSION")).status == 200; ++i)
        ++iOpened;
    QCOMPARE(oReply.status, 503);
    QCOMPARE(oReply.body, QByteArray("Too many open sessions. Close unused sessions and try again later."));
    QVERIFY2(iOpened <= 20, qPrintable(QString::number(iOpened)));
    // ...which leaves A's untouched: A opens a session and runs a command.
    const ProbeReply oOpen = probe(kUserA, uiPort, "/OPEN_SESSION");
    QCOMPARE(oOpen.status, 200);
    const QString oSession = QStringLiteral("X-QTX-sessionId: ") + QString::fromLatin1(oOpen.body);
    QCOMPARE(probe(kUserA, uiPort, "/Hasher/Sha256", "data=abc", {"X-QTX-cmdId: 601", oSession}).status, 202);
    QCOMPARE(pollResult(kUserA, uiPort, "/GET_RESULT", {"X-QTX-cmdId: 601", oSession}).status, 200);
    // ARCH_TYPE is the server's own command: it opens no session.
    const ProbeReply oArch = probe(kUserB, uiPort, "/ARCH_TYPE");
    QCOMPARE(oArch.status, 200);
    QVERIFY(oArch.headers.value("x-qtx-sessionid").isEmpty());
}

void TestAccounts::diagnosticsOnlyForTheirCallers()
{
    const quint16 uiPort = static_cast<quint16>(m_base + 1);
    // The system report costs many processes: the instance's own account only.
    QCOMPARE(probe(kUserB, uiPort, "/TEST").status, 403);
    QCOMPARE(probe(kUserA, uiPort, "/TEST").status, 200);
    // Account names are for instances asking their dispatcher, not for pages.
    const QByteArray oPid = "processPid=" + QByteArray::number(m_userB.process().processId());
    QCOMPARE(probe(kUserA, static_cast<quint16>(m_base), "/GET_USERNAME_FOR_PID", oPid,
                   {"Origin: https://example.org"}).status,
             403);
}

void TestAccounts::dispatcherTellsEachAccountItsPort()
{
    const quint16 uiDispatcher = static_cast<quint16>(m_base);
    ProbeReply oReply = probe(kUserA, uiDispatcher, "/GET_USER_SERVER_PORT");
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, QByteArray::number(m_base + 1));
    oReply = probe(kUserB, uiDispatcher, "/GET_USER_SERVER_PORT");
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, QByteArray::number(m_base + 2));
    // Only the dispatcher's port answers it.
    QCOMPARE(probe(kUserA, static_cast<quint16>(m_base + 1), "/GET_USER_SERVER_PORT").status, 404);
    // An account without an instance.
    oReply = probe(kUserC, uiDispatcher, "/GET_USER_SERVER_PORT");
    QCOMPARE(oReply.status, 500);
    QCOMPARE(oReply.body,
             QByteArray("The QTX server encountered an unexpected error and was unable to complete your request."));
}

void TestAccounts::dispatcherNamesTheAccountOfAProcess()
{
    const ProbeReply oReply = probe(kUserA, static_cast<quint16>(m_base), "/GET_USERNAME_FOR_PID",
                                    "processPid=" + QByteArray::number(m_userB.process().processId()));
    QCOMPARE(oReply.status, 200);
    QCOMPARE(QString::fromUtf8(oReply.body), QHostInfo::localHostName() + QLatin1Char('/') + kUserB);
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

void TestAccounts::withoutServerModeTheActiveSessionDecides()
{
    // Replaces the dispatcher by one that is not in server mode and reads its
    // logon sessions from a file of the test's.
    ::kill(static_cast<pid_t>(m_dispatcher.process().processId()), SIGINT);
    QTRY_COMPARE_WITH_TIMEOUT(m_dispatcher.process().state(), QProcess::NotRunning, 15000);
    ServerFixture oDispatcher;
    const QString oUtmp = oDispatcher.path(QStringLiteral("utmp"));
    QVERIFY(writeUtmp(oUtmp, {{kUserA, m_userA.process().processId()}}));
    oDispatcher.setEnvironmentValue(QStringLiteral("QTX_UTMP_FILE"), oUtmp);
    QVERIFY(startInstance(oDispatcher, QString(), m_base, false));

    // Whoever asks, the single active session's account is the answer.
    ProbeReply oReply = probe(kUserB, static_cast<quint16>(m_base), "/GET_USER_SERVER_PORT");
    QCOMPARE(oReply.status, 200);
    QCOMPARE(oReply.body, QByteArray::number(m_base + 1));

    QVERIFY(writeUtmp(oUtmp, {{kUserA, m_userA.process().processId()}, {kUserB, m_userB.process().processId()}}));
    oReply = probe(kUserB, static_cast<quint16>(m_base), "/GET_USER_SERVER_PORT");
    QCOMPARE(oReply.status, 500);
    QCOMPARE(oReply.body, QByteArray("More than one user already logged in."));
}

QTEST_GUILESS_MAIN(TestAccounts)
#include "tst_accounts.moc"
