// ProcessUtilsLinuxImpl against the real machine: this process, child
// processes made from qtx_platform_helper, loopback connections, system commands.

#include "platformtestsupport.h"

#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"
#include "qtxexceptions.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <utility>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

using UtmpEntries = QList<QPair<QByteArray, QByteArray>>;  // user name, terminal line

namespace {

const QString kHelperName = QStringLiteral("qtx_platform_helper");

QString ownAccount()
{
    int iErr = 0;
    return qtxplatform::hostName() + QLatin1Char('/') + qtxplatform::userNameForUid(::geteuid(), &iErr);
}

// A port no socket uses right now (taken and released at once).
quint16 freePort()
{
    QTcpServer oServer;
    oServer.listen(QHostAddress::LocalHost, 0);
    return oServer.serverPort();
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

bool writeUtmp(const QString &v_oPath, const QList<QPair<QByteArray, QByteArray>> &v_oUsersAndLines)
{
    QByteArray oData;
    for (const auto &oEntry : v_oUsersAndLines) {
        utmp oRecord;
        std::memset(&oRecord, 0, sizeof(oRecord));
        oRecord.ut_type = USER_PROCESS;
        oRecord.ut_pid = ::getpid();
        std::strncpy(oRecord.ut_user, oEntry.first.constData(), sizeof(oRecord.ut_user));
        std::strncpy(oRecord.ut_line, oEntry.second.constData(), sizeof(oRecord.ut_line));
        oData.append(reinterpret_cast<const char *>(&oRecord), sizeof(oRecord));
    }
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly) && oFile.write(oData) == oData.size();
}

} // namespace

class TestPlatformProcessUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void factoryCreatesLinuxImpl();
    void ownProcess();
    void missingProcess();
    void pidOfLoopbackClientAndServer();
    void pidOfUnusedPort();
    void pidOfIpv4MappedClient();
    void netlinkAndProcfsAgree();
    void portOfUserProcess();
    void pidListsByName();
    void lifetime();
    void shutdownProcessThatEndsOnSigterm();
    void shutdownProcessThatIgnoresSigterm();
    void shutdownMissingProcess();
    void shutdownProcessesByName();
    void runSystemCommandStdinAndMergedOutput();
    void runSystemCommandTimeout();
    void runSystemCommandThatCannotStart();
    void singleActiveSessionFromUtmp_data();
    void singleActiveSessionFromUtmp();
    void consoleSessionFromUtmp();
    void libraryPath();
    void systemReports();

private:
    QTemporaryDir m_tmp;
};

void TestPlatformProcessUtils::initTestCase()
{
    isolateUserDataDir();
    QVERIFY(m_tmp.isValid());
    QVERIFY(QFileInfo(QStringLiteral(QTX_PLATFORM_HELPER)).isExecutable());
    qunsetenv("QTX_UTMP_FILE");
    qunsetenv("QTX_LOGIND_DIR");
}

void TestPlatformProcessUtils::factoryCreatesLinuxImpl()
{
    const std::unique_ptr<ProcessUtils> oUtils = createProcessUtils();
    QVERIFY(dynamic_cast<ProcessUtilsLinuxImpl *>(oUtils.get()));
}

void TestPlatformProcessUtils::ownProcess()
{
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    const qint64 iSelf = ::getpid();
    QCOMPARE(oUtils.getNameOfProcessWithPID(iSelf), QStringLiteral("tst_platform_processutils"));
    QVERIFY(oLog.contains(QStringLiteral("ProcessUtilsLinuxImpl::getNameOfProcessWithPID :: Pid(%1) has name(tst_platform_processutils)").arg(iSelf)));
    QCOMPARE(oUtils.getDomainAndUsernameForPID(iSelf), ownAccount());
    QVERIFY(oLog.contains(QStringLiteral("oDomainAndUserName=") + ownAccount()));
    QCOMPARE(oUtils.isSystemProcess(iSelf), ::geteuid() == 0);
    if (::geteuid() == 0) {
        QVERIFY(oUtils.isCurrentUserAdministrator());
        QVERIFY(oUtils.isProcessElevated(iSelf));
        QCOMPARE(oUtils.getDomainAndUsernameForSystemAccount(), ownAccount());
        QVERIFY(oUtils.isSystemProcess(1));
    }
    QVERIFY(oUtils.getLifetimeForPids(iSelf) >= 0);
}

void TestPlatformProcessUtils::missingProcess()
{
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    const qint64 iGone = endedPid();
    QCOMPARE(oUtils.getNameOfProcessWithPID(iGone), QStringLiteral("<unknown>"));
    QVERIFY(oLog.contains(QStringLiteral("Couldn't find name of Pid(%1) because errno(%2)").arg(iGone).arg(ENOENT)));
    QCOMPARE(oUtils.getNameOfProcessWithPID(0), QStringLiteral("<unknown>"));

    try {
        oUtils.getDomainAndUsernameForPID(iGone);
        QFAIL("no exception");
    } catch (const OpenProcessException &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("OpenProcess with pid: %1 Error: %2").arg(iGone).arg(ENOENT));
        QCOMPARE(const_cast<OpenProcessException &>(e).getDetailMessage(), QString::fromLatin1(kQtxUnexpectedErrorDetail));
    }
    QCOMPARE(oLog.priorityOf(QStringLiteral("Exception: OpenProcess with pid: %1").arg(iGone)), QStringLiteral("WARN"));
    // The client lookup of a port nobody owns asks for pid 0, which must fail the same way.
    QVERIFY_EXCEPTION_THROWN(oUtils.getDomainAndUsernameForPID(0), OpenProcessException);
    QVERIFY_EXCEPTION_THROWN(oUtils.isSystemProcess(iGone), OpenProcessException);
    QVERIFY_EXCEPTION_THROWN(oUtils.getLifetimeForPids(iGone), OpenProcessException);
    QVERIFY_EXCEPTION_THROWN(oUtils.isProcessElevated(-1), OpenProcessException);
}

void TestPlatformProcessUtils::pidOfLoopbackClientAndServer()
{
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    QTcpSocket oClient;
    oClient.connectToHost(QHostAddress::LocalHost, oServer.serverPort());
    QVERIFY(oClient.waitForConnected(5000));
    QVERIFY(oServer.waitForNewConnection(5000));
    QTcpSocket *pAccepted = oServer.nextPendingConnection();
    QVERIFY(pAccepted);

    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    const qint64 iSelf = ::getpid();
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(oUtils.getPidOfProcessAtPort(pAccepted->peerPort()), iSelf);
    qInfo("getPidOfProcessAtPort took %lld ms", static_cast<long long>(oTimer.elapsed()));
    QVERIFY(oLog.contains(QStringLiteral("ProcessUtilsLinuxImpl::getPidOfProcessAtPort :: Got client pid(%1)").arg(iSelf)));
    QCOMPARE(oUtils.getPidOfProcessAtPort(oServer.serverPort()), iSelf);  // the listener and accepted end
    QCOMPARE(oUtils.getUidOfSocketAtPort(pAccepted->peerPort()), qint64(::geteuid()));

    // A client in another process: its own pid, not ours, though we hold the other end.
    HelperProcess oHelper;
    QVERIFY(oHelper.start({QStringLiteral("connect"), QString::number(oServer.serverPort())}));
    QVERIFY(oServer.waitForNewConnection(5000));
    QTcpSocket *pHelperConnection = oServer.nextPendingConnection();
    QVERIFY(pHelperConnection);
    QCOMPARE(pHelperConnection->peerPort(), oHelper.port());
    QCOMPARE(oUtils.getPidOfProcessAtPort(oHelper.port()), oHelper.pid());
}

void TestPlatformProcessUtils::pidOfUnusedPort()
{
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    const quint16 uiPort = freePort();
    QCOMPARE(oUtils.getPidOfProcessAtPort(uiPort), qint64(0));
    QVERIFY(oLog.contains(QStringLiteral("Got client pid(0)")));
    QCOMPARE(oUtils.getUidOfSocketAtPort(uiPort), qint64(-1));
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), QStringLiteral("tst_platform_processutils"), 65535), quint16(0));
}

void TestPlatformProcessUtils::pidOfIpv4MappedClient()
{
    // A dual-stack socket connected to 127.0.0.1 is an IPv6 socket to the kernel.
    const int iFd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iFd < 0)
        QSKIP("no IPv6 sockets on this machine");
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    sockaddr_in6 oAddr;
    std::memset(&oAddr, 0, sizeof(oAddr));
    oAddr.sin6_family = AF_INET6;
    oAddr.sin6_port = htons(oServer.serverPort());
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &oAddr.sin6_addr);
    const bool bConnected = ::connect(iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof(oAddr)) == 0;
    sockaddr_in6 oLocal;
    socklen_t uiLen = sizeof(oLocal);
    ::getsockname(iFd, reinterpret_cast<sockaddr *>(&oLocal), &uiLen);
    ProcessUtilsLinuxImpl oUtils;
    const qint64 iPid = bConnected ? oUtils.getPidOfProcessAtPort(ntohs(oLocal.sin6_port)) : -1;
    ::close(iFd);
    if (!bConnected)
        QSKIP("IPv4-mapped connections are disabled (IPV6_V6ONLY)");
    QCOMPARE(iPid, qint64(::getpid()));
}

void TestPlatformProcessUtils::netlinkAndProcfsAgree()
{
    // The fallback table must describe the same sockets as socket diagnostics.
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    QTcpSocket oClient;
    oClient.connectToHost(QHostAddress::LocalHost, oServer.serverPort());
    QVERIFY(oClient.waitForConnected(5000));
    QVERIFY(oServer.waitForNewConnection(5000));

    QVector<qtxplatform::TcpRow> oNetlink;
    QCOMPARE(qtxplatform::dumpTcpSocketsNetlink(AF_INET, qtxplatform::kAllTcpStates, -1, &oNetlink), 0);
    QByteArray oText;
    QCOMPARE(qtxplatform::readSmallFile("/proc/net/tcp", &oText), 0);
    const QVector<qtxplatform::TcpRow> oProcfs = qtxplatform::parseProcNetTcp(oText, false);
    const auto ours = [&](const QVector<qtxplatform::TcpRow> &v_oRows) {
        QStringList oKeys;
        for (const auto &r : v_oRows) {
            if (r.localPort == oServer.serverPort() || r.localPort == oClient.localPort())
                oKeys << QStringLiteral("%1:%2>%3:%4 s%5 u%6 i%7").arg(r.localAddr).arg(r.localPort).arg(r.remoteAddr)
                             .arg(r.remotePort).arg(r.state).arg(r.uid).arg(r.inode);
        }
        oKeys.sort();
        return oKeys;
    };
    QCOMPARE(ours(oNetlink).size(), 3);  // listener, accepted end, client end
    QCOMPARE(ours(oNetlink), ours(oProcfs));

    // Asked for one port, the kernel answers with that port's rows only.
    QVector<qtxplatform::TcpRow> oOnePort;
    QCOMPARE(qtxplatform::dumpTcpSocketsNetlink(AF_INET, qtxplatform::kAllTcpStates, oClient.localPort(), &oOnePort), 0);
    QCOMPARE(oOnePort.size(), 1);
    QCOMPARE(oOnePort.first().localPort, oClient.localPort());
}

void TestPlatformProcessUtils::portOfUserProcess()
{
    quint16 uiLow = freePort();
    quint16 uiHigh = freePort();
    for (int i = 0; i < 20 && uiHigh == uiLow; ++i)
        uiHigh = freePort();
    QVERIFY2(uiHigh != uiLow, "could not find two free ports");
    if (uiHigh < uiLow)
        std::swap(uiLow, uiHigh);

    // In pid order: one that does not listen, one below the lowest port, one at it.
    HelperProcess oIdle, oBelow, oAt;
    QVERIFY(oIdle.start({QStringLiteral("sleep")}));
    QVERIFY(oBelow.start({QStringLiteral("listen"), QString::number(uiLow)}));
    QVERIFY(oAt.start({QStringLiteral("listen"), QString::number(uiHigh)}));
    QVERIFY2(oIdle.pid() < oBelow.pid() && oBelow.pid() < oAt.pid(), "pids wrapped around; rerun");

    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh), uiHigh);
    qInfo("getPortOfUserProcess took %lld ms", static_cast<long long>(oTimer.elapsed()));
    QVERIFY(oLog.contains(QStringLiteral("Found application with pid(%1) on port(%2)").arg(oAt.pid()).arg(uiHigh)));
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount().toUpper(), kHelperName.toUpper(), uiLow), uiLow);
    QCOMPARE(oUtils.getPortOfUserProcess(ownAccount(), kHelperName, uiHigh + 1), quint16(0));
    QCOMPARE(oUtils.getPortOfUserProcess(QStringLiteral("otherhost/") + ownAccount().section('/', 1), kHelperName, 1),
             quint16(0));
}

void TestPlatformProcessUtils::pidListsByName()
{
    HelperProcess oFirst, oSecond;
    QVERIFY(oFirst.start({QStringLiteral("sleep")}));
    QVERIFY(oSecond.start({QStringLiteral("sleep")}));
    ProcessUtilsLinuxImpl oUtils;
    const QList<qint64> oAll = oUtils.getPIDsOfAllProcesses(kHelperName);
    QVERIFY(oAll.contains(oFirst.pid()) && oAll.contains(oSecond.pid()));
    QVERIFY(!oAll.contains(::getpid()));
    QCOMPARE(oUtils.getPIDsOfCurrentUserProcesses(kHelperName), oAll);
    QCOMPARE(oUtils.getPIDsOfUserProcesses(kHelperName, ownAccount()), oAll);
    QCOMPARE(oUtils.getPIDsOfSystemProcesses(kHelperName), ::geteuid() == 0 ? oAll : QList<qint64>());
    QVERIFY(oUtils.getPIDsOfUserProcesses(kHelperName, QStringLiteral("nohost/nobody-at-all")).isEmpty());
}

void TestPlatformProcessUtils::lifetime()
{
    HelperProcess oChild;
    QVERIFY(oChild.start({QStringLiteral("sleep")}));
    QTest::qWait(400);
    ProcessUtilsLinuxImpl oUtils;
    const qint64 iLifetime = oUtils.getLifetimeForPids(oChild.pid());
    // Clock ticks are 10 ms; the child is at least 400 ms old and surely younger than a minute.
    QVERIFY2(iLifetime >= 380 && iLifetime < 60000, qPrintable(QString::number(iLifetime)));
    QVERIFY(oUtils.getLifetimeForPids(::getpid()) >= iLifetime);
}

void TestPlatformProcessUtils::shutdownProcessThatEndsOnSigterm()
{
    HelperProcess oChild;
    QVERIFY(oChild.start({QStringLiteral("sleep")}));
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(oUtils.ShutdownProcess(oChild.pid()), 0);
    QVERIFY(oTimer.elapsed() < 4000);
    QVERIFY(oLog.contains(QStringLiteral("Process was signaled")));
    QVERIFY(!oLog.contains(QStringLiteral("terminating...")));
    QVERIFY(oChild.process().waitForFinished(5000));
    QCOMPARE(oChild.process().exitStatus(), QProcess::CrashExit);  // ended by the signal
}

void TestPlatformProcessUtils::shutdownProcessThatIgnoresSigterm()
{
    HelperProcess oChild;
    QVERIFY(oChild.start({QStringLiteral("ignoreterm")}));
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(oUtils.ShutdownProcess(oChild.pid()), 0);
    QVERIFY(oTimer.elapsed() >= 4900);
    QCOMPARE(oLog.priorityOf(QStringLiteral("Process was not signaled, terminating...")), QStringLiteral("WARN"));
    QVERIFY(oLog.contains(QStringLiteral("Process terminated successfully")));
    QVERIFY(oLog.contains(QStringLiteral("Kill finished. Status: 0")));
    QVERIFY(oChild.process().waitForFinished(5000));
}

void TestPlatformProcessUtils::shutdownMissingProcess()
{
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    const qint64 iGone = endedPid();
    QCOMPARE(oUtils.ShutdownProcess(iGone), 1);
    QCOMPARE(oLog.priorityOf(QStringLiteral("Process with pid <%1> was not opened").arg(iGone)), QStringLiteral("ERROR"));
    QCOMPARE(oUtils.ShutdownProcess(0), 1);
}

void TestPlatformProcessUtils::shutdownProcessesByName()
{
    // A copy of the helper with a name of its own longer than the kernel keeps.
    const QString oCopy = m_tmp.path() + QStringLiteral("/qtx_helper_with_a_long_name");
    QVERIFY(QFile::copy(QStringLiteral(QTX_PLATFORM_HELPER), oCopy));
    QVERIFY(QFile::setPermissions(oCopy, QFile::ReadOwner | QFile::ExeOwner));
    QProcess oChild;
    oChild.start(oCopy, {QStringLiteral("sleep")});
    QVERIFY(oChild.waitForReadyRead(5000));
    ProcessUtilsLinuxImpl oUtils;
    oUtils.ShutdownProcessesByName(QStringLiteral("qtx_helper_with_a_long_name"));
    QVERIFY(oChild.waitForFinished(5000));
}

void TestPlatformProcessUtils::runSystemCommandStdinAndMergedOutput()
{
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    // The arguments are the command's input, joined with blanks, not its command line.
    QCOMPARE(oUtils.runSystemCommand(QStringLiteral("/bin/cat"), {QStringLiteral("a"), QStringLiteral("b c")}, 5000),
             QByteArray("a b c"));
    QVERIFY(oLog.contains(QStringLiteral("v_oArguments=a;b c")));
    const QByteArray oOutput =
        oUtils.runSystemCommand(QStringLiteral("/bin/sh"), {QStringLiteral("echo out;"), QStringLiteral("echo err >&2")}, 5000);
    QVERIFY(oOutput.contains("out\n") && oOutput.contains("err\n"));
    QCOMPARE(oUtils.runSystemCommand(QStringLiteral("/bin/sh -c \"printf '%s' quoted\""), {}, 5000), QByteArray("quoted"));
}

void TestPlatformProcessUtils::runSystemCommandTimeout()
{
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    QElapsedTimer oTimer;
    oTimer.start();
    // The child is killed at the time-out, so this returns long before the sleep ends.
    QCOMPARE(oUtils.runSystemCommand(QStringLiteral("/bin/sh"), {QStringLiteral("echo started; exec sleep 30")}, 300),
             QByteArray("Command finished with TIMEOUT"));
    QVERIFY(oTimer.elapsed() < 5000);
    QCOMPARE(oLog.priorityOf(QStringLiteral("Command finished with TIMEOUT")), QStringLiteral("WARN"));
}

void TestPlatformProcessUtils::runSystemCommandThatCannotStart()
{
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.runSystemCommand(QStringLiteral("/nonexistent/tool"), {QStringLiteral("x")}, 1000), QByteArray());
    QCOMPARE(oUtils.runSystemCommand(QString(), {}, 1000), QByteArray());
}

void TestPlatformProcessUtils::singleActiveSessionFromUtmp_data()
{
    QTest::addColumn<UtmpEntries>("entries");
    QTest::addColumn<QString>("account");  // empty: exception expected
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("message");
    using Entries = UtmpEntries;
    QTest::newRow("nobody") << Entries{} << QString() << QStringLiteral("Could not find active session.")
                            << QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession ActiveSession Error: Active session not found");
    QTest::newRow("one") << Entries{{"alice", "tty1"}} << qtxplatform::hostName() + QStringLiteral("/alice") << QString()
                         << QString();
    QTest::newRow("one user twice") << Entries{{"alice", "tty1"}, {"alice", "pts/3"}}
                                    << qtxplatform::hostName() + QStringLiteral("/alice") << QString() << QString();
    QTest::newRow("two users") << Entries{{"alice", "tty1"}, {"bob", "pts/0"}} << QString()
                               << QStringLiteral("More than one user already logged in.")
                               << QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession ActiveSession Error: More than one active session");
}

void TestPlatformProcessUtils::singleActiveSessionFromUtmp()
{
    QFETCH(UtmpEntries, entries);
    QFETCH(QString, account);
    QFETCH(QString, detail);
    QFETCH(QString, message);
    const QString oPath = m_tmp.path() + QStringLiteral("/utmp-") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_');
    QVERIFY(writeUtmp(oPath, entries));
    qputenv("QTX_UTMP_FILE", QFile::encodeName(oPath));
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    if (!account.isEmpty()) {
        QCOMPARE(oUtils.getDomainAndUsernameForSingleActiveSession(), account);
        QCOMPARE(oUtils.getDomainAndUsernamesForActiveSessions(), QStringList{account});
    } else {
        try {
            oUtils.getDomainAndUsernameForSingleActiveSession();
            qunsetenv("QTX_UTMP_FILE");
            QFAIL("no exception");
        } catch (const ActiveSessionException &e) {
            QCOMPARE(const_cast<ActiveSessionException &>(e).getDetailMessage(), detail);
            QCOMPARE(QString::fromUtf8(e.what()), message);
        }
        QCOMPARE(oLog.priorityOf(QStringLiteral("Exception: ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession")),
                 QStringLiteral("WARN"));
        QCOMPARE(oUtils.getDomainAndUsernamesForActiveSessions().size(), entries.size());
    }
    QVERIFY(oLog.contains(QStringLiteral("Found %1 WTS sessions on host").arg(entries.size())));
    qunsetenv("QTX_UTMP_FILE");
}

void TestPlatformProcessUtils::consoleSessionFromUtmp()
{
    const QString oPath = m_tmp.path() + QStringLiteral("/utmp-console");
    ProcessUtilsLinuxImpl oUtils;
    qputenv("QTX_UTMP_FILE", QFile::encodeName(oPath));
    QVERIFY(writeUtmp(oPath, {{"remote", "pts/0"}}));
    QCOMPARE(oUtils.getActiveConsoleSessionID(), QStringLiteral("<NO ACTIVE CONSOLE SESSION>"));
    QVERIFY(writeUtmp(oPath, {{"remote", "pts/0"}, {"desk", ":0"}}));
    QCOMPARE(oUtils.getActiveConsoleSessionID(), qtxplatform::hostName() + QStringLiteral("/desk"));
    QVERIFY(!oUtils.isProcessOfActiveConsoleUser(::getpid()));
    qunsetenv("QTX_UTMP_FILE");
}

void TestPlatformProcessUtils::libraryPath()
{
    const QByteArray oSaved = qgetenv("LD_LIBRARY_PATH");
    ProcessUtilsLinuxImpl oUtils;
    qunsetenv("LD_LIBRARY_PATH");
    oUtils.appendToLibraryPath(QStringLiteral("/opt/a"));
    QCOMPARE(oUtils.getLibraryPath(), QStringLiteral("/opt/a"));  // no empty element (the current directory)
    oUtils.appendToLibraryPath(QStringLiteral("/opt/b"));
    QCOMPARE(oUtils.getLibraryPath(), QStringLiteral("/opt/a:/opt/b"));
    // Child processes see it.
    QCOMPARE(oUtils.runSystemCommand(QStringLiteral("/bin/sh"), {QStringLiteral("printf %s \"$LD_LIBRARY_PATH\"")}, 5000),
             QByteArray("/opt/a:/opt/b"));
    if (oSaved.isNull())
        qunsetenv("LD_LIBRARY_PATH");
    else
        qputenv("LD_LIBRARY_PATH", oSaved);
}

void TestPlatformProcessUtils::systemReports()
{
    ProcessUtilsLinuxImpl oUtils;
    const QString oProcesses = oUtils.getProcessesList();
    QVERIFY(oProcesses.contains(QStringLiteral("PID")));
    QVERIFY(oProcesses.contains(QStringLiteral("tst_platform_processutils")));
    const QString oCritical = oUtils.getSystemCriticalInfo();
    QVERIFY2(oCritical.contains(QStringLiteral("OSArchitecture=")) && oCritical.contains(QStringLiteral("LastBootUpTime=2")),
             qPrintable(oCritical));
    const QString oDetail = oUtils.getSystemDetailInfo();
    QVERIFY2(oDetail.contains(QStringLiteral("CSName=") + QString::fromLocal8Bit(QSysInfo::machineHostName().toLocal8Bit())),
             qPrintable(oDetail));
    QCOMPARE(oUtils.getConnectedDevicesInfo(), QStringLiteral("<NOT IMPLEMENTED>"));
    // Never throw, whatever the machine has installed.
    oUtils.getBrowsersInfo();
    const QString oAntivirus = oUtils.getAntivirusInfo();
    QVERIFY(oAntivirus.isEmpty() || oAntivirus.contains(QStringLiteral("displayName=")));
}

QTEST_GUILESS_MAIN(TestPlatformProcessUtils)
#include "tst_platform_processutils.moc"
