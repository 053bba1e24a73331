// Who is at the client end of a loopback connection: the kernel's record of the
// exact connection (IPv4, IPv6, dual-stack), connections that are gone or never
// existed, the table used when the exact look-up cannot answer, another account,
// and a root-made socket held by another account's process.

#include "clientidentity.h"
#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"
#include "qtxexceptions.h"

#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <pwd.h>
#include <unistd.h>

Q_DECLARE_METATYPE(QHostAddress)

namespace {

// The helper child of the platform tests; prints its port, then "ready".
class Helper
{
public:
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
    ~Helper()
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

// One connection to a listener of this process.
struct Connection
{
    QTcpServer server;
    QTcpSocket client;
    QTcpSocket *accepted = nullptr;

    bool open(const QHostAddress &v_oListen, const QHostAddress &v_oConnect)
    {
        if (!server.listen(v_oListen, 0))
            return false;
        client.connectToHost(v_oConnect, server.serverPort());
        if (!client.waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        accepted = server.nextPendingConnection();
        return accepted != nullptr;
    }
};

const passwd *testAccount()
{
    QProcess::execute(QStringLiteral("sh"),
                      {"-c", "id qtxplattest >/dev/null 2>&1 || useradd -M -r -U -s /usr/sbin/nologin qtxplattest"});
    return ::getpwnam("qtxplattest");
}

} // namespace

class TestClientIdentity : public QObject
{
    Q_OBJECT
private slots:
    void ownConnection_data();
    void ownConnection();
    void unknownConnection_data();
    void unknownConnection();
    void closedClientHasNoOwner();
    void anotherAccount();
    void rootSocketHeldByAnotherAccount();
    void listenerHolderFollowsTheSocket();
};

void TestClientIdentity::ownConnection_data()
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

void TestClientIdentity::ownConnection()
{
    QFETCH(QHostAddress, listen);
    QFETCH(QHostAddress, connect);
    QFETCH(bool, table);
    Connection oConnection;
    QVERIFY(oConnection.open(listen, connect));
    // Another procfs path to the same files takes the table road.
    ProcessUtilsLinuxImpl oUtils(table ? QByteArrayLiteral("/proc/.") : QByteArrayLiteral("/proc"));
    const quint16 uiClient = oConnection.accepted->peerPort();
    const quint16 uiServer = oConnection.server.serverPort();
    QCOMPARE(oUtils.getUidOfClientAtPorts(uiClient, uiServer), qint64(::geteuid()));
    QCOMPARE(oUtils.getPidOfClientAtPorts(uiClient, uiServer), qint64(::getpid()));
    QCOMPARE(peerSocketOwnerUid(oConnection.accepted->socketDescriptor()), qint64(::geteuid()));

    const ClientIdentity oClient = ClientIdentity::resolve(oUtils, uiClient, uiServer);
    QVERIFY(oClient.found());
    QCOMPARE(oClient.uid(), qint64(::geteuid()));
    QCOMPARE(oClient.account(oUtils), oUtils.getDomainAndUsernameForPID(::getpid()));
    QCOMPARE(oClient.isSystem(oUtils), ::geteuid() == 0);
    // Only a root-owned socket sends the look-up to the processes.
    QCOMPARE(oClient.pid(), ::geteuid() == 0 ? qint64(::getpid()) : qint64(0));
}

void TestClientIdentity::unknownConnection_data()
{
    QTest::addColumn<bool>("sameClientPort");  // a live client port, but to another server port
    QTest::addColumn<bool>("table");
    QTest::newRow("port nobody uses") << false << false;
    QTest::newRow("port nobody uses, table") << false << true;
    QTest::newRow("client port to another server") << true << false;
    QTest::newRow("client port to another server, table") << true << true;
}

void TestClientIdentity::unknownConnection()
{
    QFETCH(bool, sameClientPort);
    QFETCH(bool, table);
    Connection oConnection;
    QVERIFY(oConnection.open(QHostAddress::LocalHost, QHostAddress::LocalHost));
    QTcpServer oGone;
    QVERIFY(oGone.listen(QHostAddress::LocalHost, 0));
    const quint16 uiUnused = oGone.serverPort();
    oGone.close();
    const quint16 uiClient = sameClientPort ? oConnection.accepted->peerPort() : uiUnused;
    const quint16 uiServer = sameClientPort ? uiUnused : oConnection.server.serverPort();

    ProcessUtilsLinuxImpl oUtils(table ? QByteArrayLiteral("/proc/.") : QByteArrayLiteral("/proc"));
    QCOMPARE(oUtils.getUidOfClientAtPorts(uiClient, uiServer), qint64(-1));
    QCOMPARE(oUtils.getPidOfClientAtPorts(uiClient, uiServer), qint64(0));
    const ClientIdentity oClient = ClientIdentity::resolve(oUtils, uiClient, uiServer);
    QVERIFY(!oClient.found());
    QVERIFY(!oClient.isSystem(oUtils));
    QVERIFY_EXCEPTION_THROWN(oClient.account(oUtils), OpenProcessException);
}

void TestClientIdentity::closedClientHasNoOwner()
{
    // The client's end lingers without a file after its process closed it
    // (FIN_WAIT1/2, then TIME_WAIT, where the kernel lists it with uid 0). That
    // is nobody, not root.
    Connection oConnection;
    QVERIFY(oConnection.open(QHostAddress::LocalHost, QHostAddress::LocalHost));
    const quint16 uiClient = oConnection.accepted->peerPort();
    const quint16 uiServer = oConnection.server.serverPort();
    oConnection.client.abort();
    qtxplatform::TcpRow oRow;
    const auto lingering = [&] {
        return qtxplatform::lookupTcpConnection(qtxplatform::ipv4Endpoint(0x7f000001u, uiClient),
                                                qtxplatform::ipv4Endpoint(0x7f000001u, uiServer), &oRow)
                   == 0
               && oRow.inode == 0;
    };
    QTRY_VERIFY(lingering());
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getUidOfClientAtPorts(uiClient, uiServer), qint64(-1));
    const ClientIdentity oClient = ClientIdentity::resolve(oUtils, uiClient, uiServer);
    QVERIFY(!oClient.found());
    QVERIFY(!oClient.isSystem(oUtils));
    // Once our end is closed too, the client's is in TIME_WAIT: still nobody.
    oConnection.accepted->abort();
    QTRY_VERIFY(lingering() && oRow.state == 6);
    QCOMPARE(oUtils.getUidOfClientAtPorts(uiClient, uiServer), qint64(-1));
}

void TestClientIdentity::anotherAccount()
{
    if (::geteuid() != 0)
        QSKIP("needs root: creates the account 'qtxplattest' (useradd) and runs processes as it");
    const passwd *pEntry = testAccount();
    QVERIFY2(pEntry, "useradd failed");
    const qint64 iUid = pEntry->pw_uid;
    const QStringList oAsAccount{"setpriv", QStringLiteral("--reuid=%1").arg(iUid),
                                 QStringLiteral("--regid=%1").arg(pEntry->pw_gid), "--init-groups", "--"};
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    Helper oClient;
    QVERIFY(oClient.start({QStringLiteral("connect"), QString::number(oServer.serverPort())}, oAsAccount));
    QVERIFY(oServer.waitForNewConnection(5000));
    QTcpSocket *pAccepted = oServer.nextPendingConnection();

    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getUidOfClientAtPorts(oClient.port(), oServer.serverPort()), iUid);
    QCOMPARE(peerSocketOwnerUid(pAccepted->socketDescriptor()), iUid);
    const ClientIdentity oIdentity = ClientIdentity::resolve(oUtils, oClient.port(), oServer.serverPort());
    QCOMPARE(oIdentity.uid(), iUid);
    QCOMPARE(oIdentity.pid(), qint64(0));  // decided without the process table
    QCOMPARE(oIdentity.account(oUtils), qtxplatform::hostName() + QStringLiteral("/qtxplattest"));
    QCOMPARE(oIdentity.account(oUtils), oUtils.getDomainAndUsernameForPID(oClient.pid()));
    QVERIFY(!oIdentity.isSystem(oUtils));
    // A uid given by the caller is taken as it is.
    QCOMPARE(ClientIdentity::resolve(oUtils, oClient.port(), oServer.serverPort(), iUid).uid(), iUid);
}

void TestClientIdentity::rootSocketHeldByAnotherAccount()
{
    if (::geteuid() != 0)
        QSKIP("needs root: a root-made socket handed to the account 'qtxplattest'");
    const passwd *pEntry = testAccount();
    QVERIFY2(pEntry, "useradd failed");
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost, 0));
    // Connects as root, then becomes the other account: the socket stays root's.
    Helper oClient;
    QVERIFY(oClient.start({QStringLiteral("connectdrop"), QString::number(oServer.serverPort()),
                           QString::number(pEntry->pw_uid), QString::number(pEntry->pw_gid)}));
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(oUtils.getUidOfClientAtPorts(oClient.port(), oServer.serverPort()), qint64(0));
    const ClientIdentity oIdentity = ClientIdentity::resolve(oUtils, oClient.port(), oServer.serverPort());
    // The process decides, as the process-based check always did.
    QCOMPARE(oIdentity.pid(), oClient.pid());
    QCOMPARE(oIdentity.account(oUtils), qtxplatform::hostName() + QStringLiteral("/qtxplattest"));
    QVERIFY(!oIdentity.isSystem(oUtils));
}

void TestClientIdentity::listenerHolderFollowsTheSocket()
{
    // The holder of a listener is remembered between look-ups; a new listener on
    // the same port (another socket, another process) must not get the old answer.
    const QString oAccount = ProcessUtilsLinuxImpl().getDomainAndUsernameForPID(::getpid());
    const QString oName = QStringLiteral("qtx_platform_helper");
    ProcessUtilsLinuxImpl oUtils;
    quint16 uiPort = 0;
    qint64 iFirstPid = 0;
    {
        Helper oFirst;
        QVERIFY(oFirst.start({QStringLiteral("listen"), QStringLiteral("0")}));
        uiPort = oFirst.port();
        iFirstPid = oFirst.pid();
        QCOMPARE(oUtils.getPortOfUserProcess(oAccount, oName, uiPort), uiPort);
        QCOMPARE(oUtils.getPortOfUserProcess(oAccount, oName, uiPort), uiPort);  // from the remembered holder
    }
    QCOMPARE(oUtils.getPortOfUserProcess(oAccount, oName, uiPort), quint16(0));
    // Something else of this account listens there now: not an instance.
    QTcpServer oOther;
    if (!oOther.listen(QHostAddress::LocalHost, uiPort))
        QSKIP("the port was taken meanwhile");
    QCOMPARE(oUtils.getPortOfUserProcess(oAccount, oName, uiPort), quint16(0));
    oOther.close();
    Helper oSecond;
    QVERIFY(oSecond.start({QStringLiteral("listen"), QString::number(uiPort)}));
    QVERIFY(oSecond.pid() != iFirstPid);
    QCOMPARE(oUtils.getPortOfUserProcess(oAccount, oName, uiPort), uiPort);
}

QTEST_GUILESS_MAIN(TestClientIdentity)
#include "tst_client_identity.moc"
