// ProcessUtilsLinuxImpl, ClientIdentity and UserServerPort on the real machine (this
// process, children made from qtx_platform_helper, also as a second account when root,
// loopback connections over IPv4, IPv6 and dual-stack, the exact look-up and the table,
// system commands) and on fixtures (/proc/net/tcp tables, utmp files).

#include "clientidentity.h"
#include "csettings.h"
#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"
#include "procfs.h"
#include "qtxexceptions.h"
#include "qtxpaths.h"
#include "socketholders.h"
#include "userserverport.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>
#include <utmp.h>

struct UtmpRecord
{
    short type;  // USER_PROCESS, DEAD_PROCESS, ...
    QByteArray user, line;
    qint64 pid;  // 0: this process
};
Q_DECLARE_METATYPE(QList<UtmpRecord>)
Q_DECLARE_METATYPE(QHostAddress)

namespace {

QString ownAccount()
{
    int iErr = 0;
    return qtxplatform::hostName() + QLatin1Char('/') + qtxplatform::userNameForUid(::geteuid(), &iErr);
}

// A pid not in use: a child that has ended and been reaped.
qint64 endedPid()
{
    QProcess oProcess;
    oProcess.start(QStringLiteral("/bin/true"), QStringList());
    oProcess.waitForStarted(5000);
    const qint64 iPid = oProcess.processId();  // 0 once it has finished
    oProcess.waitForFinished(5000);
    return iPid;
}

// Writes the records, then a torn partial record as a file being written may end.
bool writeUtmp(const QString &v_oPath, const QList<UtmpRecord> &v_oRecords)
{
    QByteArray oData;
    for (const UtmpRecord &oRecord : v_oRecords) {
        utmp oEntry{};
        oEntry.ut_type = oRecord.type;
        oEntry.ut_pid = static_cast<pid_t>(oRecord.pid ? oRecord.pid : ::getpid());
        // Full-width fields carry no terminating zero; the reader must not run past them.
        std::strncpy(oEntry.ut_user, oRecord.user.constData(), sizeof(oEntry.ut_user));
        std::strncpy(oEntry.ut_line, oRecord.line.constData(), sizeof(oEntry.ut_line));
        oData.append(reinterpret_cast<const char *>(&oEntry), sizeof(oEntry));
    }
    oData.append(QByteArray(100, 'x'));
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly) && oFile.write(oData) == oData.size();
}

// A running qtx_platform_helper; killed and reaped when it goes out of scope.
class HelperProcess
{
public:
    // Starts the helper (optionally through a wrapper such as setpriv) and waits
    // for its "ready" line; port() is the number printed before it, if any.
    bool start(const QStringList &v_oArguments, const QStringList &v_oWrapper = QStringList())
    {
        const QStringList oCommand = v_oWrapper + QStringList{QStringLiteral(QTX_PLATFORM_HELPER)} + v_oArguments;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(oCommand.first(), oCommand.mid(1));
        QByteArray oOutput;
        while (!oOutput.contains("ready\n")) {
            if (!m_process.waitForReadyRead(5000))
                return false;
            oOutput += m_process.readAllStandardOutput();
        }
        m_port = static_cast<quint16>(oOutput.split('\n').first().toUInt());
        return true;
    }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const { return m_port; }
    QProcess &process() { return m_process; }
    ~HelperProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

const QString kHelperName = QStringLiteral("qtx_platform_helper");

// Connects a client to the server; returns the accepted end (owned by the server).
QTcpSocket *connectTo(QTcpServer &v_oServer, QTcpSocket &v_oClient, const QHostAddress &v_oAddress = QHostAddress::LocalHost)
{
    v_oClient.connectToHost(v_oAddress, v_oServer.serverPort());
    const bool bOk = v_oClient.waitForConnected(5000) && v_oServer.waitForNewConnection(5000);
    return bOk ? v_oServer.nextPendingConnection() : nullptr;
}

// The connection as the server's accepted socket sees it.
ClientConnection seenBy(const QTcpSocket *v_poAccepted)
{
    return ClientConnection{v_poAccepted->peerAddress(), v_poAccepted->peerPort(), v_poAccepted->localAddress(),
                            v_poAccepted->localPort()};
}

// One connection to a listener of this process.
struct Connection
{
    QTcpServer server;
    QTcpSocket client;
    QTcpSocket *accepted = nullptr;

    bool open(const QHostAddress &v_oListen = QHostAddress::LocalHost, const QHostAddress &v_oConnect = QHostAddress::LocalHost)
    {
        return server.listen(v_oListen, 0) && (accepted = connectTo(server, client, v_oConnect)) != nullptr;
    }
    ClientConnection seen() const { return seenBy(accepted); }
};

ClientConnection loopback(quint16 v_uiClientPort, quint16 v_uiServerPort)
{
    return ClientConnection{QHostAddress(QHostAddress::LocalHost), v_uiClientPort, QHostAddress(QHostAddress::LocalHost),
                            v_uiServerPort};
}

// The kernel's row of the loopback connection between the two ports: 0 or an errno.
int loopbackRow(quint16 v_uiClient, quint16 v_uiServer, qtxplatform::TcpRow *v_poRow)
{
    return qtxplatform::lookupTcpConnection(qtxplatform::ipv4Endpoint(0x7f000001u, v_uiClient),
                                            qtxplatform::ipv4Endpoint(0x7f000001u, v_uiServer), v_poRow);
}

// A port nobody listens on: a listener's, closed again.
quint16 unusedPort()
{
    QTcpServer oGone;
    oGone.listen(QHostAddress::LocalHost, 0);
    return oGone.serverPort();
}

// The account 'qtxplattest' (made when missing; root only) and setpriv's prefix to run as it.
const passwd *testAccount(QStringList *v_poAsAccount = nullptr)
{
    QProcess::execute(QStringLiteral("sh"), {"-c", "id qtxplattest >/dev/null 2>&1 || useradd -M -r -U -s /usr/sbin/nologin qtxplattest"});
    const passwd *pEntry = ::getpwnam("qtxplattest");  // another run may have created it meanwhile
    // setpriv executes the program in place: the pid QProcess sees is the program's.
    if (pEntry && v_poAsAccount)
        *v_poAsAccount = QStringList{"setpriv", QStringLiteral("--reuid=%1").arg(pEntry->pw_uid),
                                     QStringLiteral("--regid=%1").arg(pEntry->pw_gid), "--init-groups", "--"};
    return pEntry;
}

// The rows parsed from a fixture table, one text line each.
QStringList tcpFixture(const char *v_pName, bool v_bIpv6)
{
    QFile oFile(QStringLiteral(QTX_TEST_SOURCE_DIR "/data/") + QLatin1String(v_pName));
    QStringList oRows;
    for (const qtxplatform::TcpRow &r : qtxplatform::parseProcNetTcp(oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : "", v_bIpv6))
        oRows << QStringLiteral("%1:%2 %3:%4 s%5 u%6 i%7").arg(QHostAddress(r.localAddr).toString()).arg(r.localPort)
                     .arg(QHostAddress(r.remoteAddr).toString()).arg(r.remotePort).arg(r.state).arg(r.uid).arg(r.inode);
    return oRows;
}

// The platform as UserServerPort sees it: client sockets belong to uids (root's
// to the pid that holds them), uids and pids to accounts, and each account's
// instance listens on one port.
class FakeProcessUtils : public ProcessUtilsLinuxImpl
{
public:
    QMap<quint16, qint64> uidOfPort;
    QMap<qint64, QString> accountOfUid;
    QMap<quint16, qint64> pidOfPort;
    QMap<qint64, QString> accountOfPid;
    QMap<qint64, qint64> uidOfPid;
    QMap<qint64, quint16> portOfUid;
    quint16 lastLowest = 0;

    qint64 getUidOfClient(const ClientConnection &v_oConnection) override { return uidOfPort.value(v_oConnection.clientPort, -1); }
    QString getDomainAndUsernameForUid(qint64 v_iUid) override { return accountOfUid.value(v_iUid, QStringLiteral("<UNKNOWN>")); }
    qint64 getPidOfClient(const ClientConnection &v_oConnection, qint64 *v_piHolderUid) override
    {
        if (v_piHolderUid)
            *v_piHolderUid = -1;
        return pidOfPort.value(v_oConnection.clientPort);
    }
    QString getDomainAndUsernameForPID(qint64 v_iPid) override
    {
        return accountOfPid.contains(v_iPid) ? accountOfPid.value(v_iPid) : ProcessUtilsLinuxImpl::getDomainAndUsernameForPID(v_iPid);
    }
    qint64 getEffectiveUidOfPID(qint64 v_iPid) override
    {
        return uidOfPid.contains(v_iPid) ? uidOfPid.value(v_iPid) : ProcessUtilsLinuxImpl::getEffectiveUidOfPID(v_iPid);
    }
    quint16 getPortOfUserProcessForUid(qint64 v_iUid, const QString &, quint16 v_uiLowest) override
    {
        lastLowest = v_uiLowest;
        return portOfUid.value(v_iUid);
    }
};

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { QFile::remove(m_iniPath); }
    void ownProcess();
    void missingProcess();
    void accountNamesFreshOnlyOnceFound();
    void statusEffectiveUid_data();
    void statusEffectiveUid();
    void pidOfLoopbackClients();
    void portOfUserProcess();
    void shutdownProcess_data();
    void shutdownProcess();
    void runSystemCommand_data();
    void runSystemCommand();
    void clientOfAnotherAccount_data();
    void clientOfAnotherAccount();
    void rootHolderReadAgainForNewSockets();
    void ownConnection_data();
    void ownConnection();
    void unknownConnection_data();
    void unknownConnection();
    void closedClientHasNoOwner();
    void lookupsKeepTheirOwnAnswers();
    void procNetTcp();
    void activeSessions_data();
    void activeSessions();
    void userServerPort();

private:
    QTemporaryDir m_tmp;
    QTcpServer m_dispatcher;  // the configured port
    QString m_iniPath;
};

void TestPlatform::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    // Logger folder out of the real home, no logind sessions, and the INI beside the executable.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_tmp.path()));
    qputenv("QTX_LOGIND_DIR", QFile::encodeName(m_tmp.path() + QStringLiteral("/no-logind")));
    QVERIFY(m_dispatcher.listen(QHostAddress::LocalHost, 0));
    m_iniPath = QCoreApplication::applicationDirPath() + QStringLiteral("/%1.ini").arg(QLatin1String(kQtxApplicationName));
    QFile oIni(m_iniPath);
    QVERIFY(oIni.open(QIODevice::WriteOnly));
    oIni.write(QStringLiteral("[listener]\nport=%1\n").arg(m_dispatcher.serverPort()).toUtf8());
    oIni.close();
    QCOMPARE(CSettings::Instance()->ReadListenerPort(), int(m_dispatcher.serverPort()));
}

void TestPlatform::ownProcess()
{
    const std::unique_ptr<ProcessUtils> poUtils = createProcessUtils();
    const qint64 iSelf = ::getpid();
    QCOMPARE(poUtils->getNameOfProcessWithPID(iSelf), QStringLiteral("tst_platform"));
    QCOMPARE(poUtils->getDomainAndUsernameForPID(iSelf), ownAccount());
    QCOMPARE(poUtils->isSystemProcess(iSelf), ::geteuid() == 0);
    if (::geteuid() == 0) {
        QVERIFY(poUtils->isCurrentUserAdministrator());
        QVERIFY(poUtils->isProcessElevated(iSelf));
        QCOMPARE(poUtils->getDomainAndUsernameForSystemAccount(), ownAccount());
        QVERIFY(poUtils->isSystemProcess(1));
    }
    QVERIFY(poUtils->getLifetimeForPids(iSelf) >= 0);
}

void TestPlatform::accountNamesFreshOnlyOnceFound()
{
    // Whether a client can be resolved on an I/O thread depends on this: a
    // name that was never found (or is not in the database) is never fresh.
    const uid_t uiNoAccount = 3999999999u;
    int iErr = 0;
    QVERIFY(!qtxplatform::userNamesFresh({uiNoAccount}));
    QVERIFY(qtxplatform::userNameForUid(uiNoAccount, &iErr).isEmpty());
    QVERIFY(!qtxplatform::userNamesFresh({uiNoAccount}));
    QVERIFY(!qtxplatform::userNameForUid(::geteuid(), &iErr).isEmpty());
    QVERIFY(qtxplatform::userNamesFresh({::geteuid()}));
    QVERIFY(!qtxplatform::userNamesFresh({::geteuid(), uiNoAccount}));
}

void TestPlatform::statusEffectiveUid_data()
{
    // A process names itself: only a line that starts with "Uid:" counts.
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("uid");
    QTest::newRow("ordinary") << QByteArray("Name:\tbash\nUmask:\t0022\nUid:\t1000\t1001\t1002\t1003\nGid:\t5\t5\t5\t5\n")
                              << true << 1001u;
    QTest::newRow("first line, no newline at the end") << QByteArray("Uid:\t7\t8\t9\t10") << true << 8u;
    QTest::newRow("key inside a name") << QByteArray("Name:\tUid:\t0\t0\nUid:\t5\t6\t6\t6\n") << true << 6u;
    QTest::newRow("longer key") << QByteArray("Name:\tx\nXUid:\t0\t0\t0\t0\nUidx:\t0\t0\t0\t0\n") << false << 0u;
    QTest::newRow("one field") << QByteArray("Uid:\t5\n") << false << 0u;
    QTest::newRow("out of range") << QByteArray("Uid:\t1\t4294967295\t0\t0\n") << false << 0u;
    QTest::newRow("empty") << QByteArray() << false << 0u;
}

void TestPlatform::statusEffectiveUid()
{
    QFETCH(QByteArray, status);
    QFETCH(bool, ok);
    QFETCH(uint, uid);
    uid_t uiUid = 12345;
    QCOMPARE(qtxplatform::parseStatusEffectiveUid(status, &uiUid), ok);
    if (ok)
        QCOMPARE(uint(uiUid), uid);
}

void TestPlatform::missingProcess()
{
    ProcessUtilsLinuxImpl oUtils;
    const qint64 iGone = endedPid();
    QCOMPARE(oUtils.getNameOfProcessWithPID(iGone), QStringLiteral("<unknown>"));
    QCOMPARE(oUtils.getNameOfProcessWithPID(0), QStringLiteral("<unknown>"));
    QVERIFY_EXCEPTION_THROWN(oUtils.getDomainAndUsernameForPID(iGone), OpenProcessException);
    // The client lookup of a port nobody owns asks for pid 0, which must fail the same way.
    QVERIFY_EXCEPTION_THROWN(oUtils.getDomainAndUsernameForPID(0), OpenProcessException);
    QVERIFY_EXCEPTION_THROWN(oUtils.isSystemProcess(iGone), OpenProcessException);
    QVERIFY_EXCEPTION_THROWN(oUtils.getLifetimeForPids(iGone), OpenProcessException);
    QVERIFY_EXCEPTION_THROWN(oUtils.isProcessElevated(-1), OpenProcessException);
    QCOMPARE(oUtils.ShutdownProcess(iGone), 1);
    QCOMPARE(oUtils.ShutdownProcess(0), 1);
}

void TestPlatform::pidOfLoopbackClients()
{
    Connection oConnection;
    QVERIFY(oConnection.open());
    QTcpServer &oServer = oConnection.server;
    QTcpSocket *pAccepted = oConnection.accepted;
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getPidOfProcessAtPort(pAccepted->peerPort()), qint64(::getpid()));
    QCOMPARE(oUtils.getPidOfProcessAtPort(oServer.serverPort()), qint64(::getpid()));  // the listener and accepted end
    QCOMPARE(oUtils.getUidOfSocketAtPort(pAccepted->peerPort()), qint64(::geteuid()));

    // A client in another process: its own pid, not ours, though we hold the other end.
    HelperProcess oHelper;
    QVERIFY(oHelper.start({QStringLiteral("connect"), QString::number(oServer.serverPort())}));
    QCOMPARE(oUtils.getPidOfProcessAtPort(oHelper.port()), oHelper.pid());

    const quint16 uiUnused = unusedPort();
    QCOMPARE(oUtils.getPidOfProcessAtPort(uiUnused), qint64(0));
    QCOMPARE(oUtils.getUidOfSocketAtPort(uiUnused), qint64(-1));
}

void TestPlatform::portOfUserProcess()
{
    QTcpServer oFirst, oSecond;  // two distinct free ports, released again
    QVERIFY(oFirst.listen(QHostAddress::LocalHost, 0) && oSecond.listen(QHostAddress::LocalHost, 0));
    const quint16 uiLow = qMin(oFirst.serverPort(), oSecond.serverPort());
    const quint16 uiHigh = qMax(oFirst.serverPort(), oSecond.serverPort());
    oFirst.close();
    oSecond.close();

    // In pid order: one that does not listen, one below the lowest port, one at it.
    HelperProcess oIdle, oBelow;
    auto poAt = std::make_unique<HelperProcess>();
    QVERIFY(oIdle.start({QStringLiteral("sleep")}));
    QVERIFY(oBelow.start({QStringLiteral("listen"), QString::number(uiLow)}));
    QVERIFY(poAt->start({QStringLiteral("listen"), QString::number(uiHigh)}));
    QVERIFY2(oIdle.pid() < oBelow.pid() && oBelow.pid() < poAt->pid(), "pids wrapped around; rerun");

    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh), uiHigh);
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh), uiHigh);  // from the remembered holder
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiLow), uiLow);
    QCOMPARE(oUtils.getPortOfUserProcessForUid(qint64(::geteuid()), kHelperName, uiLow), uiLow);
    // Names are case-sensitive; accounts are uids.
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount().toUpper(), kHelperName, uiLow), quint16(0));
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName.toUpper(), uiLow), quint16(0));
    QCOMPARE(oUtils.getPortOfUserProcessForUid(qint64(::geteuid()) + 1, kHelperName, uiLow), quint16(0));
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh + 1), quint16(0));
    QCOMPARE(oUtils.getPortOfUserProcess(QStringLiteral("otherhost/") + ownAccount().section('/', 1), kHelperName, 1),
             quint16(0));

    // The holder of a listener is remembered between look-ups; a new listener on
    // the same port (another socket, another process) must not get the old answer.
    const qint64 iFirstPid = poAt->pid();
    poAt.reset();
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh), quint16(0));
    // Something else of this account listens there now: not an instance.
    QTcpServer oOther;
    if (!oOther.listen(QHostAddress::LocalHost, uiHigh))
        QSKIP("the port was taken meanwhile");
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh), quint16(0));
    oOther.close();
    HelperProcess oNext;
    QVERIFY(oNext.start({QStringLiteral("listen"), QString::number(uiHigh)}));
    QVERIFY(oNext.pid() != iFirstPid);
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh), uiHigh);
}

void TestPlatform::shutdownProcess_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("forced");
    QTest::newRow("ends on SIGTERM") << QStringLiteral("sleep") << false;
    QTest::newRow("ignores SIGTERM") << QStringLiteral("ignoreterm") << true;
}

void TestPlatform::shutdownProcess()
{
    QFETCH(QString, mode);
    QFETCH(bool, forced);
    HelperProcess oChild;
    QVERIFY(oChild.start({mode}));
    ProcessUtilsLinuxImpl oUtils;
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(oUtils.ShutdownProcess(oChild.pid()), 0);
    QVERIFY(oChild.process().waitForFinished(5000));
    // A polite end comes at once; a forced one after the 5 s grace period.
    QVERIFY2(forced ? oTimer.elapsed() >= 4900 : oTimer.elapsed() < 4000, qPrintable(QString::number(oTimer.elapsed())));
    // Ended by a signal (QProcess gives its number as the exit code): SIGKILL only when SIGTERM was ignored.
    QCOMPARE(oChild.process().exitStatus(), QProcess::CrashExit);
    QCOMPARE(oChild.process().exitCode(), forced ? SIGKILL : SIGTERM);
}

void TestPlatform::runSystemCommand_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("arguments");  // the command's input, joined with blanks
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("stdin") << QStringLiteral("/bin/cat") << QStringList{"a", "b c"} << 5000 << QByteArray("a b c");
    QTest::newRow("quoted") << QStringLiteral("/bin/sh -c \"printf '%s' quoted\"") << QStringList() << 5000
                            << QByteArray("quoted");
    QTest::newRow("stderr merged") << QStringLiteral("/bin/sh") << QStringList{"echo err >&2"} << 5000
                                   << QByteArray("err\n");
    // The child is killed at the time-out, so this returns long before the sleep ends.
    QTest::newRow("timeout") << QStringLiteral("/bin/sh") << QStringList{"echo started; exec sleep 30"} << 300
                             << QByteArray("Command finished with TIMEOUT");
    QTest::newRow("cannot start") << QStringLiteral("/nonexistent/tool") << QStringList{"x"} << 1000 << QByteArray();
}

void TestPlatform::runSystemCommand()
{
    QFETCH(QString, command);
    QFETCH(QStringList, arguments);
    QFETCH(int, timeout);
    QFETCH(QByteArray, output);
    ProcessUtilsLinuxImpl oUtils;
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(oUtils.runSystemCommand(command, arguments, timeout), output);
    QVERIFY(oTimer.elapsed() < 5000);
}

void TestPlatform::clientOfAnotherAccount_data()
{
    QTest::addColumn<bool>("rootSocket");
    QTest::newRow("its own socket") << false;
    // Connects as root, then becomes the other account: the socket stays root's.
    QTest::newRow("a socket root made and handed over") << true;
}

void TestPlatform::clientOfAnotherAccount()
{
    QFETCH(bool, rootSocket);
    if (::geteuid() != 0)
        QSKIP("needs root: creates the account 'qtxplattest' (useradd) and runs processes as it");
    QStringList oAsAccount;
    const passwd *pEntry = testAccount(&oAsAccount);
    QVERIFY2(pEntry, "useradd failed");
    const qint64 iUid = pEntry->pw_uid;
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    const QString oPort = QString::number(oServer.serverPort());
    HelperProcess oClient;
    QVERIFY(rootSocket ? oClient.start({QStringLiteral("connectdrop"), oPort, QString::number(iUid), QString::number(pEntry->pw_gid)})
                       : oClient.start({QStringLiteral("connect"), oPort}, oAsAccount));
    QVERIFY(oServer.waitForNewConnection(5000));
    QTcpSocket *pAccepted = oServer.nextPendingConnection();
    const ClientConnection oSeen = loopback(oClient.port(), oServer.serverPort());
    const qint64 iSocketUid = rootSocket ? 0 : iUid;

    ProcessUtilsLinuxImpl oUtils;
    const QString oAccount = qtxplatform::hostName() + QStringLiteral("/qtxplattest");
    QCOMPARE(oUtils.getPidOfProcessAtPort(oClient.port()), oClient.pid());
    QCOMPARE(oUtils.getUidOfSocketAtPort(oClient.port()), iSocketUid);
    QCOMPARE(oUtils.getUidOfClient(oSeen), iSocketUid);
    QCOMPARE(peerSocketOwnerUid(pAccepted->socketDescriptor()), iSocketUid);
    QCOMPARE(oUtils.getDomainAndUsernameForPID(oClient.pid()), oAccount);
    QCOMPARE(oUtils.getUsernameForPID(oClient.pid()), QStringLiteral("qtxplattest"));
    QCOMPARE(oUtils.getNameOfProcessWithPID(oClient.pid()), kHelperName);
    QVERIFY(!oUtils.isSystemProcess(oClient.pid()));
    QVERIFY(!oUtils.isProcessElevated(oClient.pid()));
    QCOMPARE(oUtils.getPIDsOfUserProcesses(kHelperName, oAccount), QList<qint64>{oClient.pid()});
    QVERIFY(oUtils.getPIDsOfUserProcesses(kHelperName, oAccount.toUpper()).isEmpty());
    QCOMPARE(oUtils.getEffectiveUidOfPID(oClient.pid()), iUid);
    QVERIFY(!oUtils.getPIDsOfCurrentUserProcesses(kHelperName).contains(oClient.pid()));
    QVERIFY(!oUtils.getPIDsOfSystemProcesses(kHelperName).contains(oClient.pid()));

    // The socket's owner decides without the process table; for a root-owned
    // socket the process that holds it does, as the process-based check always did.
    const ClientIdentity oIdentity = ClientIdentity::resolve(oUtils, oSeen);
    QCOMPARE(oIdentity.uid(), iSocketUid);
    QCOMPARE(oIdentity.pid(), rootSocket ? oClient.pid() : qint64(0));
    QCOMPARE(oIdentity.account(oUtils), oAccount);
    QVERIFY(!oIdentity.isSystem(oUtils));
}

void TestPlatform::rootHolderReadAgainForNewSockets()
{
    if (::geteuid() != 0)
        QSKIP("needs root: only root-owned client sockets are searched for their process");
    // A root process that held a client socket is remembered with the sockets
    // it held then. A socket made afterwards, by it or by another root process,
    // must still be found where it is.
    ProcessUtilsLinuxImpl oUtils;
    std::vector<std::unique_ptr<Connection>> oOwn;
    for (int i = 0; i < 3; ++i) {
        oOwn.push_back(std::make_unique<Connection>());
        QVERIFY(oOwn.back()->open());
        QCOMPARE(oUtils.getPidOfClient(oOwn.back()->seen()), qint64(::getpid()));
    }
    const quint16 uiServer = oOwn.front()->server.serverPort();
    HelperProcess oOther;
    QVERIFY(oOther.start({QStringLiteral("connect"), QString::number(uiServer)}));
    QCOMPARE(oUtils.getPidOfClient(loopback(oOther.port(), uiServer)), oOther.pid());
    // The record kept from the accept names the client's end (held by the
    // helper, not by this process's accepted end), and a connection that
    // brings it is answered from it.
    ClientConnection oKnown = loopback(oOther.port(), uiServer);
    oKnown.knownUid = oUtils.getUidAndInodeOfClient(oKnown, &oKnown.knownInode);
    QCOMPARE(oKnown.knownUid, qint64(0));
    QCOMPARE(qtxplatform::findPidOfSocketInode("/proc", oKnown.knownInode), oOther.pid());
    QCOMPARE(oUtils.getPidOfClient(oKnown), oOther.pid());
    for (const auto &poConnection : oOwn)
        QCOMPARE(oUtils.getPidOfClient(poConnection->seen()), qint64(::getpid()));
    // A recent holder counts only once its status showed root: the search hands
    // that on, and the account and the system check agree with a fresh read.
    qint64 iHolderUid = -1;
    QCOMPARE(oUtils.getPidOfClient(oOwn.front()->seen(), &iHolderUid), qint64(::getpid()));
    QCOMPARE(iHolderUid, qint64(0));
    const ClientIdentity oIdentity = ClientIdentity::resolve(oUtils, oOwn.front()->seen());
    QCOMPARE(oIdentity.account(oUtils), oUtils.getDomainAndUsernameForPID(::getpid()));
    QVERIFY(oIdentity.isSystem(oUtils));

    // The bounded look-up (on an I/O thread) reads only recent holders with
    // few descriptors, and never searches: a new socket of this process is
    // found; with no descriptors allowed nothing is read at all; a socket of a
    // root process that is not among the recent holders is left to the search.
    Connection oNew;
    QVERIFY(oNew.open());
    QCOMPARE(oUtils.getPidOfClientAmongRecent(oNew.seen(), 100000, &iHolderUid), qint64(::getpid()));
    QCOMPARE(iHolderUid, qint64(0));
    Connection oUnread;
    QVERIFY(oUnread.open());
    QCOMPARE(oUtils.getPidOfClientAmongRecent(oUnread.seen(), 0, &iHolderUid), qint64(0));
    QCOMPARE(iHolderUid, qint64(-1));
    HelperProcess oLater;
    QVERIFY(oLater.start({QStringLiteral("connect"), QString::number(uiServer)}));
    QCOMPARE(oUtils.getPidOfClientAmongRecent(loopback(oLater.port(), uiServer), 100000, &iHolderUid), qint64(0));
    // A holder handed over by the caller is taken as it is, without a search.
    const ClientIdentity oGiven = ClientIdentity::resolve(oUtils, loopback(oLater.port(), uiServer), 0, oLater.pid(), 0);
    QCOMPARE(oGiven.pid(), oLater.pid());
    QVERIFY(oGiven.isSystem(oUtils));
}

void TestPlatform::ownConnection_data()
{
    QTest::addColumn<QHostAddress>("listen");
    QTest::addColumn<QHostAddress>("connect");
    QTest::addColumn<bool>("table");  // answered from the table instead of the exact look-up
    const QHostAddress oV4(QHostAddress::LocalHost), oV6(QHostAddress::LocalHostIPv6), oAny(QHostAddress::Any);
    QTest::newRow("IPv4 loopback") << oV4 << oV4 << false;
    QTest::newRow("IPv6 loopback") << oV6 << oV6 << false;
    QTest::newRow("IPv4 client of a dual-stack listener") << oAny << oV4 << false;
    QTest::newRow("another 127/8 address") << oAny << QHostAddress(QStringLiteral("127.0.0.2")) << false;
    QTest::newRow("IPv4 loopback, table") << oV4 << oV4 << true;
    QTest::newRow("dual-stack listener, table") << oAny << oV4 << true;
}

void TestPlatform::ownConnection()
{
    QFETCH(QHostAddress, listen);
    QFETCH(QHostAddress, connect);
    QFETCH(bool, table);
    Connection oConnection;
    QVERIFY(oConnection.open(listen, connect));
    // Another procfs path to the same files takes the table road.
    ProcessUtilsLinuxImpl oUtils(table ? QByteArrayLiteral("/proc/.") : QByteArrayLiteral("/proc"));
    const ClientConnection oSeen = oConnection.seen();
    QCOMPARE(oUtils.getUidOfClient(oSeen), qint64(::geteuid()));
    QCOMPARE(oUtils.getPidOfClient(oSeen), qint64(::getpid()));
    QCOMPARE(peerSocketOwnerUid(oConnection.accepted->socketDescriptor()), qint64(::geteuid()));

    const ClientIdentity oClient = ClientIdentity::resolve(oUtils, oSeen);
    QVERIFY(oClient.found());
    QCOMPARE(oClient.uid(), qint64(::geteuid()));
    QCOMPARE(oClient.account(oUtils), ownAccount());
    QCOMPARE(oClient.isSystem(oUtils), ::geteuid() == 0);
    // Only a root-owned socket sends the look-up to the processes.
    QCOMPARE(oClient.pid(), ::geteuid() == 0 ? qint64(::getpid()) : qint64(0));
}

void TestPlatform::unknownConnection_data()
{
    QTest::addColumn<QString>("changed");  // which of the live connection's values the query changes
    QTest::addColumn<bool>("table");
    for (const bool bTable : {false, true}) {
        const QString oSuffix = bTable ? QStringLiteral(", table") : QString();
        QTest::newRow(qPrintable("port nobody uses" + oSuffix)) << "client port" << bTable;
        QTest::newRow(qPrintable("client port to another server" + oSuffix)) << "server port" << bTable;
        // Another account can bind 127.0.0.2 to the port of the user's connection:
        // a look-up by ports alone would name the user.
        QTest::newRow(qPrintable("same ports from another loopback address" + oSuffix)) << "client address" << bTable;
    }
}

void TestPlatform::unknownConnection()
{
    QFETCH(QString, changed);
    QFETCH(bool, table);
    Connection oConnection;
    QVERIFY(oConnection.open());
    ClientConnection oQuery = oConnection.seen();
    if (changed == QLatin1String("client port"))
        oQuery.clientPort = unusedPort();
    else if (changed == QLatin1String("server port"))
        oQuery.serverPort = unusedPort();
    else
        oQuery.clientAddress = QHostAddress(QStringLiteral("127.0.0.2"));

    ProcessUtilsLinuxImpl oUtils(table ? QByteArrayLiteral("/proc/.") : QByteArrayLiteral("/proc"));
    QCOMPARE(oUtils.getUidOfClient(oQuery), qint64(-1));
    QCOMPARE(oUtils.getPidOfClient(oQuery), qint64(0));
    const ClientIdentity oClient = ClientIdentity::resolve(oUtils, oQuery);
    QVERIFY(!oClient.found());
    QVERIFY(!oClient.isSystem(oUtils));
    QVERIFY_EXCEPTION_THROWN(oClient.account(oUtils), OpenProcessException);
    // The real connection is still found by its own four values.
    QCOMPARE(oUtils.getUidOfClient(oConnection.seen()), qint64(::geteuid()));
}

void TestPlatform::closedClientHasNoOwner()
{
    // The client's end lingers without a file after its process closed it
    // (FIN_WAIT1/2, then TIME_WAIT, where the kernel lists it with uid 0). That
    // is nobody, not root.
    Connection oConnection;
    QVERIFY(oConnection.open());
    const quint16 uiClient = oConnection.accepted->peerPort();
    const quint16 uiServer = oConnection.server.serverPort();
    oConnection.client.abort();
    qtxplatform::TcpRow oRow;
    const auto lingering = [&] { return loopbackRow(uiClient, uiServer, &oRow) == 0 && oRow.inode == 0; };
    QTRY_VERIFY(lingering());
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getUidOfClient(loopback(uiClient, uiServer)), qint64(-1));
    const ClientIdentity oClient = ClientIdentity::resolve(oUtils, loopback(uiClient, uiServer));
    QVERIFY(!oClient.found());
    QVERIFY(!oClient.isSystem(oUtils));
    // Once our end is closed too, the client's is in TIME_WAIT: still nobody.
    oConnection.accepted->abort();
    QTRY_VERIFY(lingering() && oRow.state == 6);
    QCOMPARE(oUtils.getUidOfClient(loopback(uiClient, uiServer)), qint64(-1));
}

void TestPlatform::lookupsKeepTheirOwnAnswers()
{
    // Each thread asks the kernel over a socket it keeps: answers to
    // alternating look-ups, missing connections among them, and look-ups
    // from a second thread must each be the row asked for.
    Connection oFirst, oSecond;
    QVERIFY(oFirst.open() && oSecond.open());
    const auto rowOf = [](const Connection &v_oConnection, qtxplatform::TcpRow *v_poRow) {
        return loopbackRow(v_oConnection.accepted->peerPort(), v_oConnection.server.serverPort(), v_poRow);
    };
    const auto check = [&] {
        for (int i = 0; i < 50; ++i) {
            const Connection &oAsked = i % 2 ? oSecond : oFirst;
            qtxplatform::TcpRow oRow, oMissing;
            if (rowOf(oAsked, &oRow) != 0 || oRow.localPort != oAsked.accepted->peerPort() || oRow.inode == 0
                || loopbackRow(1, 2, &oMissing) != ENOENT)
                return false;
        }
        return true;
    };
    qtxplatform::TcpRow oFirstRow, oSecondRow;
    QVERIFY(rowOf(oFirst, &oFirstRow) == 0 && rowOf(oSecond, &oSecondRow) == 0 && oFirstRow.inode != oSecondRow.inode);
    QVERIFY(check());
    bool bOtherThread = false;
    std::unique_ptr<QThread> poThread(QThread::create([&] { bOtherThread = check(); }));
    poThread->start();
    QVERIFY(poThread->wait(10000));
    QVERIFY(bOtherThread);
}

void TestPlatform::procNetTcp()
{
    // The header, text, a bad port, a non-numeric uid, an unknown state, an
    // over-long address and a short line are all dropped.
    QCOMPARE(tcpFixture("proc_net_tcp", false),
             (QStringList{"127.0.0.1:8080 0.0.0.0:0 s10 u1000 i4001", "127.0.0.1:50000 127.0.0.1:8080 s1 u1001 i4002",
                          "127.0.0.1:8080 127.0.0.1:50000 s1 u1000 i4003", "10.0.0.5:50000 10.0.0.8:80 s6 u0 i0"}));
    // Of tcp6 only the IPv4-mapped sockets count ("::1" is not one).
    QCOMPARE(tcpFixture("proc_net_tcp6", true),
             (QStringList{"127.0.0.1:8085 0.0.0.0:0 s10 u1000 i5001", "127.0.0.1:53248 127.0.0.1:8085 s1 u1002 i5003"}));
    QVERIFY(tcpFixture("proc_net_tcp", true).isEmpty() && tcpFixture("proc_net_tcp6", false).isEmpty());
    QVERIFY(qtxplatform::parseProcNetTcp(QByteArray(100000, ':'), false).isEmpty());

    // The holder of a port: never a row without a file (an earlier connection from
    // the same port), and a listener on 127.0.0.1 before one on another address.
    using qtxplatform::TcpRow;
    const TcpRow oTimeWait{INADDR_LOOPBACK, 8080, INADDR_LOOPBACK, 40000, 6, 0, 0};
    const TcpRow oClient{INADDR_LOOPBACK, 8080, INADDR_LOOPBACK, 50000, 1, 1001, 11};
    const TcpRow oOtherAddress{INADDR_LOOPBACK + 1, 8080, 0, 0, qtxplatform::kTcpStateListen, 1002, 12};
    const TcpRow oListener{INADDR_LOOPBACK, 8080, 0, 0, qtxplatform::kTcpStateListen, 1000, 13};
    const auto holder = [](const QVector<TcpRow> &v_oRows) {
        const TcpRow *poRow = qtxplatform::portHolderRow(v_oRows);
        return poRow ? poRow->inode : 0;
    };
    QCOMPARE(holder({oTimeWait}), quint64(0));
    QCOMPARE(holder({oTimeWait, oClient}), quint64(11));
    QCOMPARE(holder({oTimeWait, oClient, oOtherAddress}), quint64(12));
    QCOMPARE(holder({oOtherAddress, oTimeWait, oClient, oListener}), quint64(13));
}

void TestPlatform::activeSessions_data()
{
    QTest::addColumn<QList<UtmpRecord>>("records");
    QTest::addColumn<QStringList>("accounts");  // one per user, in session order
    QTest::addColumn<QString>("detail");        // of the ActiveSessionException expected when not one user
    QTest::addColumn<QString>("console");       // "" when there is none
    const QString oHost = qtxplatform::hostName() + QLatin1Char('/');
    const QByteArray oLong(32, 'b');  // fills ut_user, no terminating zero
    QTest::newRow("nobody") << QList<UtmpRecord>{} << QStringList() << "Could not find active session." << QString();
    QTest::newRow("one among other records")
        << QList<UtmpRecord>{{BOOT_TIME, "reboot", "~", 0}, {LOGIN_PROCESS, "LOGIN", "tty2", 0},
                             {USER_PROCESS, "alice", "pts/0", 0}, {USER_PROCESS, "ghost", "pts/1", endedPid()},
                             {DEAD_PROCESS, "carol", "pts/2", 0}}
        << QStringList{oHost + "alice"} << QString() << QString();
    QTest::newRow("one user twice") << QList<UtmpRecord>{{USER_PROCESS, oLong, "tty1", 0}, {USER_PROCESS, oLong, "pts/3", 0}}
                                    << QStringList{oHost + oLong} << QString() << oHost + oLong;
    QTest::newRow("two users") << QList<UtmpRecord>{{USER_PROCESS, "remote", "pts/0", 0}, {USER_PROCESS, "desk", ":0", 0}}
                               << QStringList{oHost + "remote", oHost + "desk"} << "More than one user already logged in."
                               << oHost + "desk";
}

void TestPlatform::activeSessions()
{
    QFETCH(QList<UtmpRecord>, records);
    QFETCH(QStringList, accounts);
    QFETCH(QString, detail);
    QFETCH(QString, console);
    const QString oPath = m_tmp.path() + QStringLiteral("/utmp-") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_');
    QVERIFY(writeUtmp(oPath, records));
    qputenv("QTX_UTMP_FILE", QFile::encodeName(oPath));
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getDomainAndUsernamesForActiveSessions(), accounts);
    QCOMPARE(oUtils.getActiveConsoleSessionID(), console.isEmpty() ? QStringLiteral("<NO ACTIVE CONSOLE SESSION>") : console);
    QVERIFY(!oUtils.isProcessOfActiveConsoleUser(::getpid()));
    if (detail.isEmpty()) {
        QCOMPARE(oUtils.getDomainAndUsernameForSingleActiveSession(), accounts.value(0));
        return;
    }
    // The detail is the body of the 500 reply the client gets.
    try {
        oUtils.getDomainAndUsernameForSingleActiveSession();
        QFAIL("no exception");
    } catch (const ActiveSessionException &e) {
        QCOMPARE(const_cast<ActiveSessionException &>(e).getDetailMessage(), detail);
    }
}

void TestPlatform::userServerPort()
{
    QTcpSocket oAlice, oBob, oElsewhere;
    QTcpSocket *pAlice = connectTo(m_dispatcher, oAlice), *pBob = connectTo(m_dispatcher, oBob);
    QVERIFY(pAlice && pBob);
    FakeProcessUtils oFake;
    const quint16 uiDispatcher = m_dispatcher.serverPort(); // the configured port
    // Alice's socket was made by root and handed to her process 101: the process
    // decides. Bob's is his own: its owner decides, not the process 202 that
    // holds it (mallory's, who has no instance).
    oFake.uidOfPort = {{pAlice->peerPort(), 0}, {pBob->peerPort(), 1002}};
    oFake.pidOfPort = {{pAlice->peerPort(), 101}, {pBob->peerPort(), 202}};
    oFake.accountOfPid = {{101, QStringLiteral("HOST/Alice")}, {202, QStringLiteral("HOST/mallory")}};
    oFake.uidOfPid = {{101, 1001}, {202, 1003}};
    oFake.accountOfUid = {{1001, QStringLiteral("HOST/Alice")}, {1002, QStringLiteral("HOST/bob")}};
    oFake.portOfUid = {{1001, 40001}, {1002, 40002}};
    QCOMPARE(UserServerPort(&oFake, seenBy(pAlice), -1, uiDispatcher).getUserServerPort(), quint16(40001));
    QCOMPARE(oFake.lastLowest, m_dispatcher.serverPort());  // the configured port
    QCOMPARE(UserServerPort(&oFake, seenBy(pBob), -1, uiDispatcher).getUserServerPort(), quint16(40002));
    // The owner taken when the connection was accepted is used as it is.
    QCOMPARE(UserServerPort(&oFake, seenBy(pAlice), 1002, uiDispatcher).getUserServerPort(), quint16(40002));

    QTcpServer oOther;
    QVERIFY(oOther.listen(QHostAddress::LocalHost, 0));
    QTcpSocket *pElsewhere = connectTo(oOther, oElsewhere);
    QVERIFY(UserServerPort(&oFake, seenBy(pAlice), -1, uiDispatcher).isConnectionAtConfiguredPort());
    QVERIFY(!UserServerPort(&oFake, seenBy(pElsewhere), -1, uiDispatcher).isConnectionAtConfiguredPort());
    QVERIFY(!UserServerPort(&oFake, ClientConnection(), -1, uiDispatcher).isConnectionAtConfiguredPort());
    // No socket holds the client port: the account lookup of pid 0 throws and passes through.
    QVERIFY_EXCEPTION_THROWN(UserServerPort(&oFake, seenBy(pElsewhere), -1, uiDispatcher).getUserServerPort(), OpenProcessException);

    // The real lookup: this process plays the user's instance (same account and
    // executable, listening on the dispatcher's port), also for the one logged-on user.
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(UserServerPort(&oUtils, seenBy(pAlice), -1, uiDispatcher).getUserServerPort(m_dispatcher.serverPort()), m_dispatcher.serverPort());
    const QString oUtmp = m_tmp.path() + QStringLiteral("/utmp-own");
    QVERIFY(writeUtmp(oUtmp, {{USER_PROCESS, ownAccount().section('/', 1).toLocal8Bit(), "tty1", 0}}));
    qputenv("QTX_UTMP_FILE", QFile::encodeName(oUtmp));
    QCOMPARE(UserServerPort(&oUtils, ClientConnection(), -1, uiDispatcher).getUserServerPortForActiveSession(), m_dispatcher.serverPort());
    QVERIFY_EXCEPTION_THROWN(UserServerPort(&oUtils, ClientConnection(), -1, uiDispatcher).getUserServerPortForActiveSession(65535),
                             UserServerPortException);
    qunsetenv("QTX_UTMP_FILE");
    try {
        // Nothing of ours listens above the highest port. The detail is the body of the 500 reply.
        UserServerPort(&oUtils, seenBy(pAlice), -1, uiDispatcher).getUserServerPort(65535);
        QFAIL("no exception");
    } catch (const UserServerPortException &e) {
        QCOMPARE(const_cast<UserServerPortException &>(e).getDetailMessage(),
                 QStringLiteral("Could not establish connection with QTX server. Server on user accoutn is probably down."));
    }
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
