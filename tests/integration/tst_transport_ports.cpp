// The port scheme of the real server over real TLS: a user instance on port + 1
// (port + 2 when that is taken), the root instance as dispatcher on port,
// refusing a second root instance, taking the port over from a user instance,
// and a standard TLS client trusting the provisioned authority.

#include "serverfixture.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

#include <csignal>

namespace {

const QString kUser = QStringLiteral("qtxtest1");

QByteArray iniWithPort(int v_iPort)
{
    return QByteArrayLiteral("[listener]\nport=") + QByteArray::number(v_iPort)
           + "\nreadTimeout=3000\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\n"
             "keyFile=certs/QTX-key-server.pem\n";
}



} // namespace

class TestTransportPorts : public QObject
{
    Q_OBJECT
private slots:
    void userInstanceMovesUpFromTakenPort();
    void rootInstanceIsTheDispatcher();
    void dispatcherTakesThePortFromAUserInstance();
    void curlTrustsTheProvisionedAuthority();

private:
    bool prepare(ServerFixture &v_oServer, int v_iPort, const QString &v_oAccount = QString());
};

bool TestTransportPorts::prepare(ServerFixture &v_oServer, int v_iPort, const QString &v_oAccount)
{
    if (!v_oServer.install(iniWithPort(v_iPort)))
        return false;
    if (!v_oAccount.isEmpty())
        v_oServer.shareWith(v_oAccount);
    return v_oServer.provision(v_oAccount);
}

void TestTransportPorts::userInstanceMovesUpFromTakenPort()
{
    // Root runs the instance as a test account; anyone else runs it as themselves.
    QString oAccount;
    if (ServerFixture::isRoot()) {
        QVERIFY2(ServerFixture::ensureAccount(kUser), "cannot create the test account");
        oAccount = kUser;
    }
    const int iBase = ServerFixture::freeBase();
    QVERIFY(iBase > 0);
    QTcpServer oBlocker;
    QVERIFY(oBlocker.listen(QHostAddress::LocalHost, static_cast<quint16>(iBase + 1)));

    ServerFixture oServer;
    QVERIFY(prepare(oServer, iBase, oAccount));
    oServer.start({QStringLiteral("-console")}, oAccount);
    const QString oListening = QStringLiteral("CSslListener::CSslListener :: Listening on port %1").arg(iBase + 2);
    QVERIFY2(oServer.waitForLog(oListening), qPrintable(oServer.logMessages().join(QLatin1Char('\n'))));
    int iCannotBind = 0;
    for (const QString &oLine : oServer.logMessages()) {
        if (oLine.startsWith(QStringLiteral("CSslListener::CSslListener :: Cannot bind on port %1: ").arg(iBase + 1)))
            ++iCannotBind;
    }
    QCOMPARE(iCannotBind, 1);
    QVERIFY(!oServer.logContains(
        QStringLiteral("CSslListener::CSslListener :: Current server will be a dispatcher service for other servers")));
}

void TestTransportPorts::rootInstanceIsTheDispatcher()
{
    if (!ServerFixture::isRoot())
        QSKIP("The dispatcher runs as root; run the tests as root to cover it.");
    const int iBase = ServerFixture::freeBase();
    ServerFixture oFirst;
    QVERIFY(prepare(oFirst, iBase));
    oFirst.start();
    QVERIFY(oFirst.waitListening(iBase));
    QVERIFY(oFirst.logContains(
        QStringLiteral("CSslListener::CSslListener :: Current server will be a dispatcher service for other servers")));

    // A second root instance ends with code 1; the first keeps its port.
    ServerFixture oSecond;
    QVERIFY(prepare(oSecond, iBase));
    oSecond.start();
    QVERIFY(oSecond.process().waitForFinished(30000));
    QCOMPARE(oSecond.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(oSecond.process().exitCode(), 1);
    QCOMPARE(oFirst.process().state(), QProcess::Running);
}

void TestTransportPorts::dispatcherTakesThePortFromAUserInstance()
{
    if (!ServerFixture::isRoot() || !ServerFixture::ensureAccount(kUser))
        QSKIP("Needs root and a second account (created when running as root).");
    const int iBase = ServerFixture::freeBase();
    // The user instance is configured one lower, so it listens on the dispatcher's port.
    ServerFixture oUser;
    QVERIFY(prepare(oUser, iBase - 1, kUser));
    oUser.start({QStringLiteral("-console")}, kUser);
    QVERIFY(oUser.waitListening(iBase));

    ServerFixture oRoot;
    QVERIFY(prepare(oRoot, iBase));
    oRoot.start();
    QVERIFY2(oRoot.waitListening(iBase, 40000),
             qPrintable(oRoot.logMessages().join(QLatin1Char('\n'))));
    QVERIFY(oRoot.logContains(QStringLiteral("CSslListener::CSslListener :: Dispatcher is runing on another user. It will "
                                             "be closed and run on system account!")));
    // The user instance was asked to end (SIGTERM, which it answers with an abort).
    QTRY_COMPARE_WITH_TIMEOUT(oUser.process().state(), QProcess::NotRunning, 15000);
    QCOMPARE(oRoot.process().state(), QProcess::Running);
}

void TestTransportPorts::curlTrustsTheProvisionedAuthority()
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed");
    const int iBase = ServerFixture::freeBase();
    ServerFixture oServer;
    QVERIFY(prepare(oServer, iBase));
    oServer.start();
    const int iPort = ServerFixture::isRoot() ? iBase : iBase + 1;
    QVERIFY(oServer.waitListening(iPort));

    QProcess oCurl;
    oCurl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--tlsv1.2"), QStringLiteral("--cacert"),
                                         oServer.path(QStringLiteral("certs/QTX-ca.pem")),
                                         QStringLiteral("https://127.0.0.1:%1/").arg(iPort)});
    QVERIFY(oCurl.waitForFinished(30000));
    QCOMPARE(oCurl.exitCode(), 0);
    QVERIFY(!oCurl.readAllStandardOutput().isEmpty());

    // Without the authority the same client refuses the certificate.
    QProcess oUntrusting;
    oUntrusting.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("https://127.0.0.1:%1/").arg(iPort)});
    QVERIFY(oUntrusting.waitForFinished(30000));
    QCOMPARE(oUntrusting.exitCode(), 60); // peer certificate cannot be authenticated
}

QTEST_GUILESS_MAIN(TestTransportPorts)
#include "tst_transport_ports.moc"
