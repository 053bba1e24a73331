// Processes and sockets of a second account, and the system log. These need
// root (to create the account, start processes as it, and bind /dev/log).
//
// Run with "--probe-port <port>" the executable prints what this account can
// learn about the socket at the port ("<pid> <uid>") and exits; the tests run
// it as the second account.

#include "platformtestsupport.h"

#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"
#include "qtxexceptions.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kTestAccount[] = "qtxplattest";

bool testAccount(uid_t *v_poUid, gid_t *v_poGid)
{
    const passwd *pEntry = ::getpwnam(kTestAccount);
    if (!pEntry)
        return false;
    *v_poUid = pEntry->pw_uid;
    *v_poGid = pEntry->pw_gid;
    return true;
}

} // namespace

class TestPlatformAccounts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void processOfAnotherAccount();
    void clientOfAnotherAccount();
    void otherAccountSeesOnlyTheSocketOwner();
    void eventLogGoesToSyslog();
    void debugPrivilege();

private:
    QStringList asTestAccount() const;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

void TestPlatformAccounts::initTestCase()
{
    isolateUserDataDir();
    if (::geteuid() != 0)
        QSKIP("needs root: creates the account 'qtxplattest' (useradd) and runs processes as it");
    if (!testAccount(&m_uid, &m_gid)) {
        QProcess oUseradd;
        oUseradd.start(QStringLiteral("useradd"), {QStringLiteral("-M"), QStringLiteral("-r"), QStringLiteral("-U"),
                                                    QStringLiteral("-s"), QStringLiteral("/usr/sbin/nologin"),
                                                    QLatin1String(kTestAccount)});
        QVERIFY(oUseradd.waitForFinished(30000));
        // Another test run may have created it in the meantime.
        QVERIFY2(testAccount(&m_uid, &m_gid), oUseradd.readAllStandardError().constData());
    }
}

QStringList TestPlatformAccounts::asTestAccount() const
{
    // setpriv executes the program in place: the pid QProcess sees is the program's.
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(m_uid), QStringLiteral("--regid=%1").arg(m_gid),
            QStringLiteral("--init-groups"), QStringLiteral("--")};
}

void TestPlatformAccounts::processOfAnotherAccount()
{
    HelperProcess oChild;
    QVERIFY(oChild.start({QStringLiteral("sleep")}, asTestAccount()));
    ProcessUtilsLinuxImpl oUtils;
    const QString oAccount = qtxplatform::hostName() + QStringLiteral("/") + QLatin1String(kTestAccount);
    QCOMPARE(oUtils.getDomainAndUsernameForPID(oChild.pid()), oAccount);
    QCOMPARE(oUtils.getUsernameForPID(oChild.pid()), QLatin1String(kTestAccount));
    QCOMPARE(oUtils.getNameOfProcessWithPID(oChild.pid()), QStringLiteral("qtx_platform_helper"));
    QVERIFY(!oUtils.isSystemProcess(oChild.pid()));
    QVERIFY(!oUtils.isProcessElevated(oChild.pid()));
    QCOMPARE(oUtils.getPIDsOfUserProcesses(QStringLiteral("qtx_platform_helper"), oAccount.toUpper()),
             QList<qint64>{oChild.pid()});
    QVERIFY(!oUtils.getPIDsOfCurrentUserProcesses(QStringLiteral("qtx_platform_helper")).contains(oChild.pid()));
    QVERIFY(!oUtils.getPIDsOfSystemProcesses(QStringLiteral("qtx_platform_helper")).contains(oChild.pid()));
}

void TestPlatformAccounts::clientOfAnotherAccount()
{
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    HelperProcess oClient;
    QVERIFY(oClient.start({QStringLiteral("connect"), QString::number(oServer.serverPort())}, asTestAccount()));
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getPidOfProcessAtPort(oClient.port()), oClient.pid());
    QCOMPARE(oUtils.getUidOfSocketAtPort(oClient.port()), qint64(m_uid));
    QVERIFY(!oUtils.isSystemProcess(oUtils.getPidOfProcessAtPort(oClient.port())));
}

void TestPlatformAccounts::otherAccountSeesOnlyTheSocketOwner()
{
    // A user instance cannot map root's socket to root's process, but the
    // kernel still names the socket's owner.
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    QTcpSocket oRootClient;
    oRootClient.connectToHost(QHostAddress::LocalHost, oServer.serverPort());
    QVERIFY(oRootClient.waitForConnected(5000));

    QProcess oProbe;
    oProbe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList oCommand = asTestAccount() + QStringList{QCoreApplication::applicationFilePath(),
                                                               QStringLiteral("--probe-port"),
                                                               QString::number(oRootClient.localPort())};
    oProbe.start(oCommand.first(), oCommand.mid(1));
    QVERIFY(oProbe.waitForFinished(30000));
    if (oProbe.exitCode() == 126 || oProbe.exitCode() == 127)
        QSKIP("the test executable is not accessible to the second account");
    const QList<QByteArray> oAnswer = oProbe.readAllStandardOutput().trimmed().split(' ');
    QCOMPARE(oAnswer.size(), 2);
    QCOMPARE(oAnswer.at(0), QByteArray("0"));  // no pid: root's process is not inspectable
    QCOMPARE(oAnswer.at(1), QByteArray("0"));  // but the socket's owner is root
}

void TestPlatformAccounts::eventLogGoesToSyslog()
{
    struct stat oInfo;
    if (::lstat("/dev/log", &oInfo) == 0)
        QSKIP("a system logger owns /dev/log; not touching it");
    const int iFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(iFd >= 0);
    sockaddr_un oAddr;
    std::memset(&oAddr, 0, sizeof(oAddr));
    oAddr.sun_family = AF_UNIX;
    std::strncpy(oAddr.sun_path, "/dev/log", sizeof(oAddr.sun_path) - 1);
    if (::bind(iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof(oAddr)) != 0) {
        ::close(iFd);
        QSKIP("cannot bind /dev/log");
    }
    ProcessUtilsLinuxImpl oUtils;
    oUtils.reportEventLogError(QStringLiteral("QtxPlatformTest"), QStringLiteral("module \"x\" failed: 100%s"));
    pollfd oPoll{iFd, POLLIN, 0};
    char aBuffer[2048] = {0};
    const bool bGot = ::poll(&oPoll, 1, 5000) == 1;
    const ssize_t iLen = bGot ? ::recv(iFd, aBuffer, sizeof(aBuffer) - 1, 0) : -1;
    ::close(iFd);
    ::unlink("/dev/log");
    QVERIFY(iLen > 0);
    const QByteArray oMessage(aBuffer, static_cast<int>(iLen));
    QVERIFY2(oMessage.startsWith("<11>"), oMessage.constData());  // user facility, error priority
    QVERIFY2(oMessage.contains("QtxPlatformTest[" + QByteArray::number(::getpid()) + "]: "), oMessage.constData());
    QVERIFY2(oMessage.endsWith("module \"x\" failed: 100%s"), oMessage.constData());  // no format expansion
}

void TestPlatformAccounts::debugPrivilege()
{
    ProcessUtilsLinuxImpl oUtils;
    QVERIFY(oUtils.EnableDebugPrivilege());  // root holds CAP_SYS_PTRACE
}

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--probe-port") == 0) {
        QCoreApplication oApp(argc, argv);
        isolateUserDataDir();
        ProcessUtilsLinuxImpl oUtils;
        const quint16 uiPort = static_cast<quint16>(QByteArray(argv[2]).toUInt());
        const qint64 iPid = oUtils.getPidOfProcessAtPort(uiPort);
        const qint64 iUid = oUtils.getUidOfSocketAtPort(uiPort);
        std::printf("%lld %lld\n", static_cast<long long>(iPid), static_cast<long long>(iUid));
        return 0;
    }
    QCoreApplication oApp(argc, argv);
    TestPlatformAccounts oTest;
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_platform_accounts.moc"
