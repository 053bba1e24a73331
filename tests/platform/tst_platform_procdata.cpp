// The readers of kernel and session data, fed with fixture files: a
// /proc/net/tcp table, a fake procfs tree, utmp files and a logind run folder.

#include "platformtestsupport.h"

#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"
#include "qtxexceptions.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <unistd.h>
#include <utmp.h>

using namespace qtxplatform;

namespace {

QByteArray fixture(const char *v_pName)
{
    QFile oFile(QStringLiteral(QTX_TEST_SOURCE_DIR "/data/") + QLatin1String(v_pName));
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

quint32 ipv4(int a, int b, int c, int d)
{
    return (quint32(a) << 24) | (quint32(b) << 16) | (quint32(c) << 8) | quint32(d);
}

struct UtmpLine
{
    short type;
    const char *user;
    const char *line;
    const char *host;
    pid_t pid;
};

bool writeUtmp(const QString &v_oPath, const QList<UtmpLine> &v_oLines, int v_iTrailingBytes = 0)
{
    QByteArray oData;
    for (const UtmpLine &oLine : v_oLines) {
        utmp oEntry;
        std::memset(&oEntry, 0, sizeof(oEntry));
        oEntry.ut_type = oLine.type;
        oEntry.ut_pid = oLine.pid;
        // Full-width fields carry no terminating zero; the reader must not run past them.
        std::strncpy(oEntry.ut_user, oLine.user, sizeof(oEntry.ut_user));
        std::strncpy(oEntry.ut_line, oLine.line, sizeof(oEntry.ut_line));
        std::strncpy(oEntry.ut_host, oLine.host, sizeof(oEntry.ut_host));
        oData.append(reinterpret_cast<const char *>(&oEntry), sizeof(oEntry));
    }
    oData.append(QByteArray(v_iTrailingBytes, 'x'));
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly) && oFile.write(oData) == oData.size();
}

bool writeFile(const QString &v_oPath, const QByteArray &v_oContent)
{
    QDir().mkpath(QFileInfo(v_oPath).absolutePath());
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly) && oFile.write(v_oContent) == v_oContent.size();
}

// A pid that surely is not running: a child that has ended and been reaped.
pid_t endedPid()
{
    QProcess oProcess;
    oProcess.start(QStringLiteral("/bin/true"), QStringList());
    oProcess.waitForStarted(5000);
    const pid_t iPid = static_cast<pid_t>(oProcess.processId());  // 0 once it has finished
    oProcess.waitForFinished(5000);
    return iPid;
}

} // namespace

class TestPlatformProcData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void procNetTcpParsing();
    void procNetTcp6KeepsOnlyMappedIpv4();
    void tcpRowsSortLikeTheSortedTable();
    void statusAndStatFields();
    void processNames();
    void fakeProcTree();
    void fakeProcTreeFailures();
    void utmpSessions();
    void logindSessions();
    void antivirusRecords();

private:
    QTemporaryDir m_tmp;
};

void TestPlatformProcData::initTestCase()
{
    isolateUserDataDir();
    QVERIFY(m_tmp.isValid());
    qunsetenv("QTX_UTMP_FILE");
    qunsetenv("QTX_LOGIND_DIR");
}

void TestPlatformProcData::procNetTcpParsing()
{
    const QVector<TcpRow> oRows = parseProcNetTcp(fixture("proc_net_tcp"), false);
    // Four well-formed sockets; the header, text, a bad port, a non-numeric uid,
    // an unknown state, an over-long address and a short line are all dropped.
    QCOMPARE(oRows.size(), 4);
    QCOMPARE(oRows.at(0).localAddr, ipv4(127, 0, 0, 1));
    QCOMPARE(oRows.at(0).localPort, quint16(8080));
    QCOMPARE(oRows.at(0).remoteAddr, quint32(0));
    QCOMPARE(oRows.at(0).state, kTcpStateListen);
    QCOMPARE(oRows.at(0).uid, qint64(1000));
    QCOMPARE(oRows.at(0).inode, quint64(4001));

    QCOMPARE(oRows.at(1).localPort, quint16(50000));
    QCOMPARE(oRows.at(1).remotePort, quint16(8080));
    QCOMPARE(oRows.at(1).uid, qint64(1001));
    QCOMPARE(oRows.at(1).state, 1);

    QCOMPARE(oRows.at(3).localAddr, ipv4(10, 0, 0, 5));
    QCOMPARE(oRows.at(3).remoteAddr, ipv4(10, 0, 0, 8));
    QCOMPARE(oRows.at(3).remotePort, quint16(80));
    QCOMPARE(oRows.at(3).inode, quint64(0));

    QVERIFY(parseProcNetTcp(QByteArray(), false).isEmpty());
    QVERIFY(parseProcNetTcp(QByteArray(100000, ':'), false).isEmpty());
}

void TestPlatformProcData::procNetTcp6KeepsOnlyMappedIpv4()
{
    const QVector<TcpRow> oRows = parseProcNetTcp(fixture("proc_net_tcp6"), true);
    QCOMPARE(oRows.size(), 2);  // "::1" is not an IPv4 socket
    QCOMPARE(oRows.at(0).localAddr, ipv4(127, 0, 0, 1));
    QCOMPARE(oRows.at(0).localPort, quint16(0x1F95));
    QCOMPARE(oRows.at(0).remoteAddr, quint32(0));
    QCOMPARE(oRows.at(1).remoteAddr, ipv4(127, 0, 0, 1));
    QCOMPARE(oRows.at(1).inode, quint64(5003));
    // An IPv4 table read as IPv6 (and the reverse) yields nothing.
    QVERIFY(parseProcNetTcp(fixture("proc_net_tcp"), true).isEmpty());
    QVERIFY(parseProcNetTcp(fixture("proc_net_tcp6"), false).isEmpty());
}

void TestPlatformProcData::tcpRowsSortLikeTheSortedTable()
{
    QVector<TcpRow> oRows = parseProcNetTcp(fixture("proc_net_tcp"), false);
    sortTcpRows(&oRows);
    // 10.0.0.5 sorts before 127.0.0.1; at equal local ends the remote end decides.
    QCOMPARE(oRows.at(0).localAddr, ipv4(10, 0, 0, 5));
    QCOMPARE(oRows.at(1).inode, quint64(4001));  // 127.0.0.1:8080 <- 0.0.0.0:0
    QCOMPARE(oRows.at(2).inode, quint64(4003));  // 127.0.0.1:8080 <- 127.0.0.1:50000
    QCOMPARE(oRows.at(3).inode, quint64(4002));  // 127.0.0.1:50000
    // So the first row for local port 50000 is the TIME_WAIT one on 10.0.0.5,
    // which no process owns.
    const auto it = std::find_if(oRows.cbegin(), oRows.cend(), [](const TcpRow &r) { return r.localPort == 50000; });
    QCOMPARE(it->inode, quint64(0));
}

void TestPlatformProcData::statusAndStatFields()
{
    uid_t uiUid = 1;
    QVERIFY(parseStatusEffectiveUid("Name:\tx\nUid:\t1000\t0\t1000\t1000\nGid:\t0\n", &uiUid));
    QCOMPARE(uiUid, uid_t(0));  // the effective uid, second field
    QVERIFY(!parseStatusEffectiveUid("Uid:\t1000\n", &uiUid));
    QVERIFY(!parseStatusEffectiveUid("Uid:\t1000\t-5\t0\t0\n", &uiUid));
    QVERIFY(!parseStatusEffectiveUid("Uid:\t1\t99999999999\t0\t0\n", &uiUid));
    QVERIFY(!parseStatusEffectiveUid("Uids:\t1\t2\t3\t4\n", &uiUid));
    QVERIFY(!parseStatusEffectiveUid(QByteArray(), &uiUid));

    quint64 uiCaps = 0;
    QVERIFY(parseStatusCapEff("CapPrm:\t0\nCapEff:\t0000000000200000\n", &uiCaps));
    QCOMPARE(uiCaps, quint64(1) << 21);
    QVERIFY(!parseStatusCapEff("CapEff:\t00000000002000000\n", &uiCaps));  // 17 digits
    QVERIFY(!parseStatusCapEff("CapEff:\tzz\n", &uiCaps));

    quint64 uiTicks = 0;
    // A command name with blanks and ")" must not shift the fields.
    QByteArray oStat = "4242 (a) b) c) S 1 4242 4242 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 987654 1000 10";
    QVERIFY(parseStatStartTime(oStat, &uiTicks));
    QCOMPARE(uiTicks, quint64(987654));
    QVERIFY(!parseStatStartTime("4242 (short) S 1 2 3", &uiTicks));
    QVERIFY(!parseStatStartTime("no parenthesis at all", &uiTicks));
}

void TestPlatformProcData::processNames()
{
    QCOMPARE(processNameFromPath("/opt/quorvex/QuorvexCryptoProvider"), QStringLiteral("QuorvexCryptoProvider"));
    QCOMPARE(processNameFromPath("/usr/bin/server.exe"), QStringLiteral("server"));
    QCOMPARE(processNameFromPath("/usr/bin/archive.tar.gz"), QStringLiteral("archive.tar"));
    QCOMPARE(processNameFromPath("/usr/bin/server.bin (deleted)"), QStringLiteral("server"));
    QCOMPARE(processNameFromPath("/home/u/.hidden"), QStringLiteral(".hidden"));
    QCOMPARE(processNameFromPath("/a.dir/plain"), QStringLiteral("plain"));
    QCOMPARE(processNameFromPath("kworker/0:1", false), QStringLiteral("kworker/0:1"));
}

void TestPlatformProcData::fakeProcTree()
{
    const QString oRoot = m_tmp.path() + QStringLiteral("/proc");
    QVERIFY(writeFile(oRoot + "/100/status", "Name:\tserver\nUid:\t1000\t0\t0\t0\nCapEff:\t0000000000000000\n"));
    QVERIFY(QDir().mkpath(oRoot + "/100/fd"));
    QVERIFY(QFile::link(QStringLiteral("/opt/quorvex/QuorvexCryptoProvider.bin (deleted)"), oRoot + "/100/exe"));
    QVERIFY(QFile::link(QStringLiteral("socket:[4001]"), oRoot + "/100/fd/3"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), oRoot + "/100/fd/4"));
    QVERIFY(QFile::link(QStringLiteral("socket:[999999999999999999999999]"), oRoot + "/100/fd/5"));
    QVERIFY(QFile::link(QStringLiteral("socket:[]"), oRoot + "/100/fd/6"));
    QVERIFY(writeFile(oRoot + "/200/comm", "kworker/0:1\n"));
    QVERIFY(writeFile(oRoot + "/200/status", "Name:\tkworker\nUid:\t1000\t1000\t1000\t1000\nCapEff:\t0000000000200000\n"));
    QVERIFY(QDir().mkpath(oRoot + "/200/fd"));
    QVERIFY(QFile::link(QStringLiteral("socket:[4002]"), oRoot + "/200/fd/0"));
    QVERIFY(QFile::link(QStringLiteral("socket:[4001]"), oRoot + "/200/fd/9"));  // inherited: 100 is first
    QVERIFY(QDir().mkpath(oRoot + "/self"));
    QVERIFY(QDir().mkpath(oRoot + "/12ab"));

    const QByteArray oProc = QFile::encodeName(oRoot);
    QList<qint64> oPids;
    QCOMPARE(listPids(oProc, &oPids), 0);
    QCOMPARE(oPids, (QList<qint64>{100, 200}));

    QSet<quint64> oInodes;
    QCOMPARE(socketInodesOfPid(oProc, 100, &oInodes), 0);
    QCOMPARE(oInodes, (QSet<quint64>{4001}));
    QCOMPARE(findPidOfSocketInode(oProc, 4001), qint64(100));
    QCOMPARE(findPidOfSocketInode(oProc, 4002), qint64(200));
    QCOMPARE(findPidOfSocketInode(oProc, 4242), qint64(0));
    QCOMPARE(findPidOfSocketInode(oProc, 0), qint64(0));
    if (::geteuid() == 0) {
        // Owner first: 200 now belongs to another uid; a socket only it holds
        // is still found (second pass), and root's folders are always searched.
        QVERIFY(::chown(QFile::encodeName(oRoot + "/200").constData(), 12345, 12345) == 0);
        QCOMPARE(findPidOfSocketInode(oProc, 4002, 1000), qint64(200));
        QCOMPARE(findPidOfSocketInode(oProc, 4001, 12345), qint64(100));
        QCOMPARE(findPidOfSocketInode(oProc, 4001, 1000), qint64(100));
    }

    ProcessUtilsLinuxImpl oUtils(oProc);
    QCOMPARE(oUtils.getNameOfProcessWithPID(100), QStringLiteral("QuorvexCryptoProvider"));
    QCOMPARE(oUtils.getNameOfProcessWithPID(200), QStringLiteral("kworker/0:1"));
    QCOMPARE(oUtils.getDomainAndUsernameForPID(100), hostName() + QStringLiteral("/root"));
    QCOMPARE(oUtils.getUsernameForPID(100), QStringLiteral("root"));
    QVERIFY(oUtils.isSystemProcess(100));
    QVERIFY(oUtils.isProcessElevated(100));   // euid 0
    QVERIFY(oUtils.isProcessElevated(200));   // CAP_SYS_ADMIN
    QCOMPARE(oUtils.getPIDsOfAllProcesses(QStringLiteral("quorvexcryptoprovider")), (QList<qint64>{100}));
    QCOMPARE(oUtils.getPIDsOfSystemProcesses(QStringLiteral("QuorvexCryptoProvider")), (QList<qint64>{100}));
    QCOMPARE(oUtils.getPIDsOfUserProcesses(QStringLiteral("QuorvexCryptoProvider"), hostName().toUpper() + "/ROOT"),
             (QList<qint64>{100}));
}

void TestPlatformProcData::fakeProcTreeFailures()
{
    const QString oRoot = m_tmp.path() + QStringLiteral("/badproc");
    QVERIFY(writeFile(oRoot + "/300/status", "Name:\tx\nUid:\tabc\n"));
    QVERIFY(writeFile(oRoot + "/300/stat", "300 (x) S 1 2"));
    QVERIFY(writeFile(oRoot + "/301/status", "Name:\tx\nUid:\t4000000000\t4000000000\t0\t0\nCapEff:\t0\n"));
    ProcessUtilsLinuxImpl oUtils(QFile::encodeName(oRoot));
    LogCapture oLog;

    QVERIFY_EXCEPTION_THROWN(oUtils.getDomainAndUsernameForPID(300), GetTokenInformationException);
    QVERIFY_EXCEPTION_THROWN(oUtils.isProcessElevated(300), GetTokenInformationException);
    try {
        oUtils.getLifetimeForPids(300);
        QFAIL("no exception");
    } catch (const GetProcessTimesException &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
                 QStringLiteral("ProcessUtilsWinImpl::getLifetimeForPids: GetProcessTimes Error: %1").arg(EINVAL));
    }
    // A uid without a passwd entry.
    try {
        oUtils.getDomainAndUsernameForPID(301);
        QFAIL("no exception");
    } catch (const LookupAccountSidException &e) {
        QVERIFY(QString::fromUtf8(e.what()).startsWith(
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUserNameFromSID LookupAccountSid Error: ")));
        QCOMPARE(const_cast<LookupAccountSidException &>(e).getDetailMessage(), QString::fromLatin1(kQtxUnexpectedErrorDetail));
    }
    QCOMPARE(oLog.priorityOf(QStringLiteral("Exception: ")), QStringLiteral("WARN"));

    // No process list at all.
    ProcessUtilsLinuxImpl oMissing(QFile::encodeName(m_tmp.path() + QStringLiteral("/absent")));
    try {
        oMissing.getPortOfUserProcess(QStringLiteral("h/u"), QStringLiteral("x"), 1);
        QFAIL("no exception");
    } catch (const EnumProcessesException &e) {
        QCOMPARE(QString::fromUtf8(e.what()),
                 QStringLiteral("ProcessUtilsWinImpl::getPortOfUserProcess EnumProcesses Error: %1").arg(ENOENT));
    }
    QVERIFY_EXCEPTION_THROWN(oMissing.getPIDsOfAllProcesses(QStringLiteral("x")), EnumProcessesException);
}

void TestPlatformProcData::utmpSessions()
{
    const QString oPath = m_tmp.path() + QStringLiteral("/utmp");
    const pid_t iSelf = ::getpid();
    const pid_t iGone = endedPid();
    QVERIFY(writeUtmp(oPath,
                      {{BOOT_TIME, "reboot", "~", "", 0},
                       {LOGIN_PROCESS, "LOGIN", "tty2", "", iSelf},
                       {USER_PROCESS, "alice", "pts/0", "10.1.2.3", iSelf},
                       {USER_PROCESS, "ghost", "pts/1", "", iGone},
                       {USER_PROCESS, "bobbobbobbobbobbobbobbobbobbobbo", "tty1", "", iSelf},
                       {DEAD_PROCESS, "carol", "pts/2", "", 0}},
                      100));  // and a torn record at the end
    QVector<SessionInfo> oSessions;
    QCOMPARE(readUtmpSessions(QFile::encodeName(oPath), &oSessions), 0);
    QCOMPARE(oSessions.size(), 2);
    QCOMPARE(oSessions.at(0).user, QStringLiteral("alice"));
    QVERIFY(!oSessions.at(0).console);  // remote terminal
    QCOMPARE(oSessions.at(1).user, QStringLiteral("bobbobbobbobbobbobbobbobbobbobbo"));  // 32 characters, no zero
    QVERIFY(oSessions.at(1).console);

    oSessions.clear();
    QCOMPARE(readUtmpSessions(QFile::encodeName(m_tmp.path() + QStringLiteral("/nope")), &oSessions), ENOENT);
}

void TestPlatformProcData::logindSessions()
{
    const QString oRun = m_tmp.path() + QStringLiteral("/logind");
    QVERIFY(writeFile(oRun + "/seats/seat0", "# comment\nIS_SEAT0=1\nACTIVE=3\nACTIVE_UID=0\n"));
    QVERIFY(writeFile(oRun + "/sessions/10", "UID=0\nUSER=root\nACTIVE=1\nSTATE=active\nREMOTE=1\nCLASS=user\n"));
    QVERIFY(writeFile(oRun + "/sessions/3", "UID=0\nUSER=root\nSEAT=seat0\nTTY=tty1\nDISPLAY=:0\nSTATE=active\nCLASS=user\n"));
    QVERIFY(writeFile(oRun + "/sessions/c1", "UID=0\nUSER=root\nSEAT=seat0\nSTATE=online\nCLASS=greeter\n"));
    QVERIFY(writeFile(oRun + "/sessions/5", "UID=0\nUSER=root\nSTATE=closing\nCLASS=user\n"));
    QVERIFY(writeFile(oRun + "/sessions/3.ref", ""));

    QVector<SessionInfo> oSessions;
    QCOMPARE(readLogindSessions(QFile::encodeName(oRun), &oSessions), 0);
    QCOMPARE(oSessions.size(), 4);
    // Numeric ids in numeric order, then the others.
    QCOMPARE(oSessions.at(0).id, QStringLiteral("3"));
    QCOMPARE(oSessions.at(1).id, QStringLiteral("5"));
    QCOMPARE(oSessions.at(2).id, QStringLiteral("10"));
    QCOMPARE(oSessions.at(3).id, QStringLiteral("c1"));
    QVERIFY(oSessions.at(0).active && oSessions.at(0).console);
    QCOMPARE(oSessions.at(0).display, QStringLiteral(":0"));
    QVERIFY(!oSessions.at(1).active);  // closing
    QVERIFY(oSessions.at(2).active && !oSessions.at(2).console);
    QVERIFY(!oSessions.at(3).active);  // greeter

    // Through the implementation: the console session is seat0's active one,
    // and one user with two sessions is still a single active user.
    qputenv("QTX_LOGIND_DIR", QFile::encodeName(oRun));
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getActiveConsoleSessionID(), hostName() + QStringLiteral("/root"));
    QCOMPARE(oUtils.getDomainAndUsernameForSingleActiveSession(), hostName() + QStringLiteral("/root"));
    QVERIFY(oUtils.isProcessOfActiveConsoleUser(::getpid()) == (::geteuid() == 0));
    QVERIFY(QFile::remove(oRun + "/seats/seat0"));
    QCOMPARE(oUtils.getActiveConsoleSessionID(), QStringLiteral("<NO ACTIVE CONSOLE SESSION>"));
    qunsetenv("QTX_LOGIND_DIR");
}

void TestPlatformProcData::antivirusRecords()
{
    const QStringList oNames{"displayName", "pathToSignedProductExe", "productState", "timestamp"};
    const QByteArray oOutput = "\r\n\r\ndisplayName=Windows Defender\r\npathToSignedProductExe=C:\\a=b.exe\r\n"
                               "productState=397568\r\ntimestamp=Mon, 01 Jan 2024\r\n\r\n"
                               "displayName=Other AV\r\nproductState=1\r\nunrelated=zzz\r\n\r\n";
    const auto oRecords = parseAntivirusRecords(oOutput, oNames);
    QCOMPARE(oRecords.size(), 2);
    QCOMPARE(oRecords.at(0).value("pathToSignedProductExe"), QStringLiteral("C:\\a=b.exe"));
    QCOMPARE(oRecords.at(0).value("timestamp"), QStringLiteral("Mon, 01 Jan 2024"));
    QCOMPARE(oRecords.at(1).value("timestamp"), QStringLiteral("<UNKNOWN>"));
    QCOMPARE(oRecords.at(1).value("pathToSignedProductExe"), QStringLiteral("<UNKNOWN>"));
    QVERIFY(!oRecords.at(1).contains("unrelated"));
    QVERIFY(parseAntivirusRecords("\n\n", oNames).isEmpty());
}

QTEST_GUILESS_MAIN(TestPlatformProcData)
#include "tst_platform_procdata.moc"
