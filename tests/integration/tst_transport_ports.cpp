// The port scheme of the real server over real TLS: a user instance on port + 1
// (port + 2 when that is taken), the root instance taking the dispatcher's port
// over from a user instance, and a standard TLS client trusting the provisioned
// authority. (Root's instance serving as the dispatcher is what tst_accounts
// talks to; a second instance of an account is refused in tst_startup.)

#include "integrationsupport.h"

#include <QStandardPaths>
#include <QTcpServer>

namespace {

const QString kUser = QStringLiteral("qtxtest1");
const QString kDispatcherLine =
    QStringLiteral("CSslListener::CSslListener :: Current server will be a dispatcher service for other servers");

} // namespace

class TestTransportPorts : public QObject
{
    Q_OBJECT
private slots:
    void userInstanceMovesUpFromTakenPort();
    void dispatcherTakesThePortFromAUserInstance();
    void curlTrustsTheProvisionedAuthority();
};

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
    QVERIFY2(tst::startServer(oServer, tst::tlsIni(iBase), iBase + 2, oAccount), qPrintable(tst::logDump(oServer)));
    QCOMPARE(oServer.logMessages().filter(QStringLiteral("CSslListener::CSslListener :: Cannot bind on port %1: ").arg(iBase + 1)).size(),
             1);
    QVERIFY(!oServer.logContains(kDispatcherLine));
}

void TestTransportPorts::dispatcherTakesThePortFromAUserInstance()
{
    if (!ServerFixture::isRoot() || !ServerFixture::ensureAccount(kUser))
        QSKIP("Needs root and a second account (created when running as root).");
    const int iBase = ServerFixture::freeBase();
    // The user instance is configured one lower, so it listens on the dispatcher's port.
    ServerFixture oUser;
    QVERIFY(tst::startServer(oUser, tst::tlsIni(iBase - 1), iBase, kUser));
    ServerFixture oRoot;
    QVERIFY(tst::prepare(oRoot, tst::tlsIni(iBase)));
    oRoot.start();
    QVERIFY2(oRoot.waitListening(iBase, 40000), qPrintable(tst::logDump(oRoot)));
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
    const QString oUrl = QStringLiteral("https://127.0.0.1:%1/").arg(tst::ownPort(iBase));
    ServerFixture oServer;
    QVERIFY(tst::startServer(oServer, tst::tlsIni(iBase), tst::ownPort(iBase)));

    QProcess oCurl;
    oCurl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--tlsv1.2"), QStringLiteral("--cacert"),
                                         oServer.path(QStringLiteral("certs/QTX-ca.pem")), oUrl});
    QVERIFY(oCurl.waitForFinished(30000));
    QCOMPARE(oCurl.exitCode(), 0);
    QVERIFY(!oCurl.readAllStandardOutput().isEmpty());

    // Without the authority the same client refuses the certificate.
    oCurl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), oUrl});
    QVERIFY(oCurl.waitForFinished(30000));
    QCOMPARE(oCurl.exitCode(), 60); // peer certificate cannot be authenticated
}

QTEST_GUILESS_MAIN(TestTransportPorts)
#include "tst_transport_ports.moc"
