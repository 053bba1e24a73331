// The TLS listener, its handler pool and the connection handler, with real TLS
// clients on loopback: keep-alive, close, read time-out, the fixed 413 and 503
// texts, trimming of idle handlers, and the certificate cache.

#include "csettings.h"
#include "csslconnectionhandler.h"
#include "csslconnectionhandlerpool.h"
#include "csslistener.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "listener.h"
#include "provisioning.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>
#include <unistd.h>

namespace {

QTemporaryDir *g_poHome = nullptr;

// Answers "hello <path>"; "/throw" throws out of service().
class EchoHandler : public norrweb::HttpRequestHandler
{
public:
    void service(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse) override
    {
        if (v_oRequest.getDecodedPath() == "/throw")
            throw std::runtime_error("handler failure");
        v_oResponse.write("hello " + v_oRequest.getDecodedPath(), true);
    }
};

quint16 freePort()
{
    QTcpServer oProbe;
    oProbe.listen(QHostAddress::LocalHost, 0);
    return oProbe.serverPort();
}

QStringList logMessages()
{
    QTXLogger::FlushAll(); // lines are written by the logger's own thread
    QFile oFile(CSettings::Instance()->ReadLogFilePath());
    QStringList oOut;
    if (!oFile.open(QIODevice::ReadOnly))
        return oOut;
    for (const QByteArray &oLine : oFile.readAll().split('\n')) {
        const int iPos = oLine.indexOf(" - ");
        if (iPos >= 0)
            oOut << QString::fromUtf8(oLine.mid(iPos + 3));
    }
    return oOut;
}

} // namespace

class TestListener : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void keepAliveThenClose();
    void silentClientIsCutAfterReadTimeout();
    void oversizedRequestGetsExactly413();
    void handlerExceptionStillEndsTheReply();
    void fullPoolAnswersExactly503();
    void idleHandlersTrimmedOnePerTick();
    void certificateCacheAndMissingFiles();

private:
    QSslSocket *connectTls(bool v_bExpectEncrypted = true);
    QByteArray readReply(QAbstractSocket *v_poSocket, int v_iExpected);
    void startListener(const QVariantMap &v_oValues = {});

    QString m_iniPath;
    std::shared_ptr<QSettings> m_settings;
    std::shared_ptr<EchoHandler> m_handler;
    std::unique_ptr<Listener> m_listener;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
};

void TestListener::initTestCase()
{
    const QString oAppDir = QCoreApplication::applicationDirPath();
    QFile::remove(oAppDir + QStringLiteral("/certs/QTX-cert-server.pem"));
    QFile::remove(oAppDir + QStringLiteral("/certs/QTX-key-server.pem"));
    ProvisionOptions oOptions;
    oOptions.appDir = oAppDir;
    const ProvisionResult oResult = provision(oOptions);
    QVERIFY2(oResult.ok, qPrintable(oResult.error));
    m_ca = QSslCertificate::fromPath(oAppDir + QStringLiteral("/certs/QTX-ca.pem"));
    QCOMPARE(m_ca.size(), 1);

    QTXLogger::ApplyLoggingSettings();
    ServerLogger::Instance();
    m_handler = std::make_shared<EchoHandler>();
}

void TestListener::startListener(const QVariantMap &v_oValues)
{
    // Root listens on the configured port itself, other accounts on the next one.
    const int iPort = freePort() - (::geteuid() == 0 ? 0 : 1);
    QVariantMap oValues{{QStringLiteral("port"), iPort}, {QStringLiteral("readTimeout"), 1500},
                        {QStringLiteral("cleanupInterval"), 100}, {QStringLiteral("minThreads"), 1}};
    for (auto it = v_oValues.begin(); it != v_oValues.end(); ++it)
        oValues.insert(it.key(), it.value());
    m_iniPath = g_poHome->filePath(QStringLiteral("listener-%1.ini").arg(QDateTime::currentMSecsSinceEpoch()));
    m_settings = std::make_shared<QSettings>(m_iniPath, QSettings::IniFormat);
    m_settings->beginGroup(QStringLiteral("listener"));
    for (auto it = oValues.begin(); it != oValues.end(); ++it)
        m_settings->setValue(it.key(), it.value());
    m_settings->sync();
    m_listener = std::make_unique<Listener>(true, m_settings, m_handler);
    QTRY_VERIFY(m_listener->serverPort() != 0);
    m_port = m_listener->serverPort();
}

void TestListener::init()
{
    startListener();
}

void TestListener::cleanup()
{
    m_listener.reset();
}

QSslSocket *TestListener::connectTls(bool v_bExpectEncrypted)
{
    auto *poSocket = new QSslSocket(this);
    QSslConfiguration oConfig = poSocket->sslConfiguration();
    oConfig.setCaCertificates(m_ca);
    poSocket->setSslConfiguration(oConfig);
    poSocket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);
    const bool bEncrypted = poSocket->waitForEncrypted(10000);
    if (v_bExpectEncrypted && !bEncrypted)
        qWarning() << "TLS failed:" << poSocket->errorString() << poSocket->sslHandshakeErrors();
    return poSocket;
}

QByteArray TestListener::readReply(QAbstractSocket *v_poSocket, int v_iExpected)
{
    QByteArray oReply;
    QElapsedTimer oTimer;
    oTimer.start();
    while (oReply.size() < v_iExpected && oTimer.elapsed() < 10000) {
        if (v_poSocket->bytesAvailable() || v_poSocket->waitForReadyRead(200))
            oReply += v_poSocket->readAll();
        else if (v_poSocket->state() == QAbstractSocket::UnconnectedState)
            break;
    }
    return oReply;
}

void TestListener::keepAliveThenClose()
{
    std::unique_ptr<QSslSocket> poSocket(connectTls());
    QVERIFY(poSocket->isEncrypted());
    QVERIFY(poSocket->sessionProtocol() >= QSsl::TlsV1_2);

    const QByteArray oFirst = "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nhello /a";
    poSocket->write("GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
    QCOMPARE(readReply(poSocket.get(), oFirst.size()), oFirst);
    // The connection stays open for the next request.
    const QByteArray oSecond = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello /bc";
    poSocket->write("POST /bc HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    QCOMPARE(readReply(poSocket.get(), oSecond.size()), oSecond);
    QCOMPARE(poSocket->state(), QAbstractSocket::ConnectedState);
    // "Connection: close" in any case: served, then the server closes.
    poSocket->write("GET /x HTTP/1.1\r\nConnection: CLOSE\r\n\r\n");
    QVERIFY(readReply(poSocket.get(), 1000).endsWith("hello /x"));
    QTRY_COMPARE_WITH_TIMEOUT(poSocket->state(), QAbstractSocket::UnconnectedState, 5000);
}

void TestListener::silentClientIsCutAfterReadTimeout()
{
    std::unique_ptr<QSslSocket> poSocket(connectTls());
    QVERIFY(poSocket->isEncrypted());
    QSignalSpy oDisconnected(poSocket.get(), &QSslSocket::disconnected);
    QElapsedTimer oTimer;
    oTimer.start();
    QVERIFY(oDisconnected.wait(10000));
    QVERIFY(oTimer.elapsed() >= 1000); // readTimeout is 1500 ms here
    QCOMPARE(poSocket->readAll(), QByteArray());
    QTRY_VERIFY(logMessages().contains(QStringLiteral("CSslConnectionHandler::readTimeout :: read timeout occurred")));
}

void TestListener::oversizedRequestGetsExactly413()
{
    std::unique_ptr<QSslSocket> poSocket(connectTls());
    poSocket->write("GET /big HTTP/1.1\r\nX-Fill: " + QByteArray(17000, 'a') + "\r\n\r\n");
    const QByteArray o413 = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
    QCOMPARE(readReply(poSocket.get(), o413.size() + 1), o413);
    QTRY_COMPARE_WITH_TIMEOUT(poSocket->state(), QAbstractSocket::UnconnectedState, 5000);
}

void TestListener::handlerExceptionStillEndsTheReply()
{
    std::unique_ptr<QSslSocket> poSocket(connectTls());
    poSocket->write("GET /throw HTTP/1.1\r\n\r\n");
    const QByteArray oEmpty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    QCOMPARE(readReply(poSocket.get(), oEmpty.size()), oEmpty);
    QVERIFY(logMessages().contains(
        QStringLiteral("CSslConnectionHandler::read :: An uncatched exception occurred in the request handler")));
}

void TestListener::fullPoolAnswersExactly503()
{
    m_listener.reset();
    startListener({{QStringLiteral("maxThreads"), 2}, {QStringLiteral("readTimeout"), 20000}});
    std::unique_ptr<QSslSocket> poFirst(connectTls());
    std::unique_ptr<QSslSocket> poSecond(connectTls());
    QVERIFY(poFirst->isEncrypted() && poSecond->isEncrypted());

    QTcpSocket oThird;
    oThird.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(oThird.waitForConnected(5000));
    const QByteArray o503 = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";
    QCOMPARE(readReply(&oThird, o503.size() + 1), o503);
    QTRY_COMPARE_WITH_TIMEOUT(oThird.state(), QAbstractSocket::UnconnectedState, 5000);
}

void TestListener::idleHandlersTrimmedOnePerTick()
{
    m_listener.reset();
    startListener({{QStringLiteral("cleanupInterval"), 300}});
    std::vector<std::unique_ptr<QSslSocket>> oSockets;
    for (int i = 0; i < 3; ++i)
        oSockets.emplace_back(connectTls());
    QVERIFY(oSockets.back()->isEncrypted());

    auto *poSslListener = qobject_cast<CSslListener *>(m_listener->server());
    QVERIFY(poSslListener);
    CSslConnectionHandlerPool *poPool = poSslListener->pool();
    QVERIFY(poPool);
    QCOMPARE(poPool->size(), 3);

    for (auto &poSocket : oSockets)
        poSocket->disconnectFromHost();
    // One idle handler goes per tick until minThreads (1) idle ones remain.
    QTRY_COMPARE_WITH_TIMEOUT(poPool->size(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(poPool->size(), 1, 5000);
    QTest::qWait(700);
    QCOMPARE(poPool->size(), 1);
}

void TestListener::certificateCacheAndMissingFiles()
{
    const QString oKey = QCoreApplication::applicationDirPath() + QStringLiteral("/certs/QTX-key-server.pem");
    const QString oCert = QCoreApplication::applicationDirPath() + QStringLiteral("/certs/QTX-cert-server.pem");

    // The bytes are cached: a key deleted after the first connection changes nothing.
    std::unique_ptr<QSslSocket> poFirst(connectTls());
    QVERIFY(poFirst->isEncrypted());
    QVERIFY(QFile::rename(oKey, oKey + QStringLiteral(".away")));
    std::unique_ptr<QSslSocket> poSecond(connectTls());
    QVERIFY(poSecond->isEncrypted());

    // Without the cache and the key file: two WARN lines and a failed handshake.
    CSslConnectionHandler::clearCertificateCache();
    std::unique_ptr<QSslSocket> poThird(connectTls(false));
    QVERIFY(!poThird->isEncrypted());
    QTRY_COMPARE_WITH_TIMEOUT(poThird->state(), QAbstractSocket::UnconnectedState, 5000);
    const QStringList oLog = logMessages();
    QVERIFY(oLog.contains(QStringLiteral("CSslConnectionHandler::handleConnection :: Cert file not found")));
    QVERIFY(oLog.contains(QStringLiteral("CSslConnectionHandler::handleConnection :: Key file not found")));

    QVERIFY(QFile::rename(oKey + QStringLiteral(".away"), oKey));
    QVERIFY(QFile::exists(oCert));
    std::unique_ptr<QSslSocket> poFourth(connectTls());
    QVERIFY(poFourth->isEncrypted());
}

int main(int argc, char **argv)
{
    QTemporaryDir oHome;
    g_poHome = &oHome;
    qputenv("XDG_CONFIG_HOME", oHome.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("QTX_MACHINE_SEED_FILE", oHome.filePath(QStringLiteral("seed/Seed")).toLocal8Bit());
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kQtxApplicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(kQtxOrganizationName));
    QFile oIni(QCoreApplication::applicationDirPath() + QStringLiteral("/QuorvexCryptoProvider.ini"));
    if (!oIni.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || oIni.write("[logging2]\nlogLevel=1\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\n"
                      "keyFile=certs/QTX-key-server.pem\n") < 0)
        qFatal("cannot write the test INI file");
    oIni.close();
    TestListener oTest;
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_listener.moc"
