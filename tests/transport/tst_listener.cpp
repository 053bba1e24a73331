// The TLS listener, its I/O threads and request workers, with real TLS clients
// on loopback: keep-alive and close (with close_notify), pipelining and split
// writes, framing errors, deadlines for silent, slow and non-reading clients,
// connection caps, trimming of idle workers, and the certificate cache.

#include "csettings.h"
#include "csslconnectionhandler.h"
#include "csslconnectionhandlerpool.h"
#include "csslistener.h"
#include "httpconnectioninfo.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "keystore.h"
#include "listener.h"
#include "provisioning.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

QTemporaryDir *g_poHome = nullptr;

// Requests under "/i" that were answered on an I/O thread and on a worker
// (workers run an event loop, I/O threads do not).
std::atomic<int> g_iInlineServed{0};
std::atomic<int> g_iInlineOnWorker{0};

// Answers "hello <path>" plus the body; "/throw" throws out of service(),
// "/sleep" takes 1.5 s, "/big" answers 8 MB. Requests under "/i" may be
// answered on the I/O thread.
class EchoHandler : public norrweb::HttpRequestHandler
{
public:
    bool canServeInline(norrweb::HttpRequest &v_oRequest, norrweb::HttpConnectionInfo &) const override
    {
        return v_oRequest.getDecodedPath().startsWith("/i");
    }
    void service(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse) override
    {
        const QByteArray oPath = v_oRequest.getDecodedPath();
        if (oPath.startsWith("/i"))
            ++(QThread::currentThread()->loopLevel() > 0 ? g_iInlineOnWorker : g_iInlineServed);
        if (oPath == "/throw")
            throw std::runtime_error("handler failure");
        if (oPath == "/sleep")
            QThread::msleep(1500);
        if (oPath == "/big") {
            v_oResponse.write(QByteArray(8 << 20, 'b'), true);
            return;
        }
        v_oResponse.write("hello " + oPath + v_oRequest.getBody(), true);
    }
};

QByteArray helloReply(const QByteArray &v_oPath)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(6 + v_oPath.size()) + "\r\n\r\nhello " + v_oPath;
}

// A blocking OpenSSL client: precise about how the server ends a connection
// (close_notify or not) and free to split and coalesce its writes.
class TlsClient
{
public:
    explicit TlsClient(quint16 v_uPort, bool v_bHandshake = true)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int iOne = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof iOne);
        timeval oTimeout{0, 200000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &oTimeout, sizeof oTimeout);
        sockaddr_in oAddress{};
        oAddress.sin_family = AF_INET;
        oAddress.sin_port = htons(v_uPort);
        oAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&oAddress), sizeof oAddress) == 0;
        m_context = SSL_CTX_new(TLS_client_method());
        // Only the provisioned authority's certificate for 127.0.0.1 is accepted.
        const QByteArray oCa = QFile::encodeName(KeyStore::authorityPath());
        SSL_CTX_load_verify_locations(m_context, oCa.constData(), nullptr);
        SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
        m_ssl = SSL_new(m_context);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), "127.0.0.1");
        SSL_set_fd(m_ssl, m_fd);
        if (v_bHandshake && m_connected) {
            QElapsedTimer oTimer;
            oTimer.start();
            int iResult;
            while ((iResult = SSL_connect(m_ssl)) != 1 && oTimer.elapsed() < 10000
                   && SSL_get_error(m_ssl, iResult) == SSL_ERROR_WANT_READ) {
            }
            m_encrypted = iResult == 1;
        }
    }
    ~TlsClient()
    {
        SSL_free(m_ssl);
        SSL_CTX_free(m_context);
        ::close(m_fd);
    }
    bool encrypted() const { return m_encrypted; }
    int version() const { return SSL_version(m_ssl); }
    int fd() const { return m_fd; }
    // Writes v_oBytes in slices of v_iSlice bytes (0: one write).
    bool send(const QByteArray &v_oBytes, int v_iSlice = 0)
    {
        const int iSlice = v_iSlice > 0 ? v_iSlice : qMax(1, v_oBytes.size());
        for (int i = 0; i < v_oBytes.size(); i += iSlice) {
            const int iLength = qMin(iSlice, v_oBytes.size() - i);
            if (SSL_write(m_ssl, v_oBytes.constData() + i, iLength) != iLength)
                return false;
        }
        return true;
    }
    // Reads until v_iBytes arrived, the server ended the stream, or v_iTimeoutMs.
    QByteArray read(int v_iBytes, int v_iTimeoutMs = 10000)
    {
        QByteArray oOut;
        QElapsedTimer oTimer;
        oTimer.start();
        char aBuffer[16384];
        while (oOut.size() < v_iBytes && oTimer.elapsed() < v_iTimeoutMs && m_end == Open) {
            ERR_clear_error();
            const int iRead = SSL_read(m_ssl, aBuffer, int(qMin<qint64>(sizeof aBuffer, v_iBytes - oOut.size())));
            if (iRead > 0) {
                oOut.append(aBuffer, iRead);
                continue;
            }
            const int iError = SSL_get_error(m_ssl, iRead);
            if (iError == SSL_ERROR_ZERO_RETURN)
                m_end = CloseNotify;
            else if (iError == SSL_ERROR_WANT_READ
                     || (iError == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK)))
                continue; // the receive time-out: try again until the deadline
            else
                m_end = Broken;
        }
        return oOut;
    }
    enum End { Open, CloseNotify, Broken };
    // Waits for the end of the stream and tells how it ended.
    End waitForEnd(int v_iTimeoutMs = 10000)
    {
        read(INT_MAX, v_iTimeoutMs);
        return m_end;
    }

private:
    int m_fd = -1;
    SSL_CTX *m_context = nullptr;
    SSL *m_ssl = nullptr;
    bool m_connected = false;
    bool m_encrypted = false;
    End m_end = Open;
};

// Whether the server closed a plain TCP connection within v_iTimeoutMs; what it sent goes to v_poReceived.
bool tcpClosedWithin(int v_iFd, int v_iTimeoutMs, QByteArray *v_poReceived = nullptr)
{
    QElapsedTimer oTimer;
    oTimer.start();
    char aBuffer[4096];
    while (oTimer.elapsed() < v_iTimeoutMs) {
        const ssize_t iRead = ::recv(v_iFd, aBuffer, sizeof aBuffer, 0);
        if (iRead == 0 || (iRead < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return true;
        if (iRead > 0 && v_poReceived)
            v_poReceived->append(aBuffer, int(iRead));
    }
    return false;
}

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
    void pipelinedAndSplitRequests_data();
    void pipelinedAndSplitRequests();
    void singleRequests_data();
    void singleRequests();
    void expectContinue();
    void deadlines_data();
    void deadlines();
    void nonReadingClientIsCut();
    void partialRequestDiesWithItsConnection();
    void capsEvictIdleThenRefuse();
    void workersGrowWhenStalledAndAreTrimmed();
    void certificateCacheAndMissingFiles();
    void takenPortIsReturnedNotFatal();

private:
    // v_iPort 0: a free port (the configured one for root, the one below it otherwise).
    void startListener(const QVariantMap &v_oValues = {}, int v_iPort = 0);

    QString m_iniPath;
    std::shared_ptr<QSettings> m_settings;
    std::shared_ptr<EchoHandler> m_handler;
    std::unique_ptr<Listener> m_listener;
    quint16 m_port = 0;
};

void TestListener::initTestCase()
{
    // Files an older build left beside the executable would be the fallback.
    const QString oAppDir = QCoreApplication::applicationDirPath();
    QFile::remove(oAppDir + QStringLiteral("/certs/QTX-cert-server.pem"));
    QFile::remove(oAppDir + QStringLiteral("/certs/QTX-key-server.pem"));
    const ProvisionResult oResult = provision(ProvisionOptions());
    QVERIFY2(oResult.ok, qPrintable(oResult.error));
    QVERIFY(QFile::exists(KeyStore::authorityPath()));

    QTXLogger::ApplyLoggingSettings(CSettings::Instance()->ReadLoggingSettings());
    ServerLogger::Instance();
    m_handler = std::make_shared<EchoHandler>();
}

void TestListener::startListener(const QVariantMap &v_oValues, int v_iPort)
{
    // Root listens on the configured port itself, other accounts on the next one.
    const int iPort = v_iPort ? v_iPort : freePort() - (::geteuid() == 0 ? 0 : 1);
    QVariantMap oValues{{QStringLiteral("port"), iPort}, {QStringLiteral("readTimeout"), 1500},
                        {QStringLiteral("writeTimeout"), 1500}, {QStringLiteral("requestTimeout"), 1500},
                        {QStringLiteral("cleanupInterval"), 100}, {QStringLiteral("minThreads"), 1}};
    for (auto it = v_oValues.begin(); it != v_oValues.end(); ++it)
        oValues.insert(it.key(), it.value());
    m_iniPath = g_poHome->filePath(QStringLiteral("listener-%1.ini").arg(QDateTime::currentMSecsSinceEpoch()));
    m_settings = std::make_shared<QSettings>(m_iniPath, QSettings::IniFormat);
    m_settings->beginGroup(QStringLiteral("listener"));
    for (auto it = oValues.begin(); it != oValues.end(); ++it)
        m_settings->setValue(it.key(), it.value());
    m_settings->sync();
    CSettings *poSettings = CSettings::Instance();
    const auto oFiles = poSettings->ReadSslCertificateCertAndKeyFiles();
    m_listener = std::make_unique<Listener>(
        true, m_settings, CTlsContext::Config{oFiles.first, oFiles.second, poSettings->ReadSslEnabledCiphersList()}, m_handler);
    if (v_iPort)
        return; // the caller waits for what it expects
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

void TestListener::keepAliveThenClose()
{
    TlsClient oClient(m_port);
    QVERIFY(oClient.encrypted());
    QVERIFY(oClient.version() >= TLS1_2_VERSION);
    QVERIFY(oClient.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
    QCOMPARE(oClient.read(helloReply("/a").size()), helloReply("/a"));
    // The connection stays open: idle for over a second, it gives back its TLS
    // buffers and still serves the next request.
    QTest::qWait(1400);
    QVERIFY(oClient.send("GET /d HTTP/1.1\r\nHost: x\r\n\r\n"));
    QCOMPARE(oClient.read(helloReply("/d").size()), helloReply("/d"));
    // "Connection: close" in any case: served, then the server closes with a TLS
    // close_notify, not a bare end of the stream (which clients report as a truncation attack).
    QVERIFY(oClient.send("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: CLOSE\r\n\r\n"));
    const QByteArray oReply = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 8\r\n\r\nhello /x";
    QCOMPARE(oClient.read(oReply.size() + 1), oReply);
    QCOMPARE(oClient.waitForEnd(), TlsClient::CloseNotify);
}

void TestListener::pipelinedAndSplitRequests_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("slice");
    QTest::addColumn<QByteArray>("prefix"); // "/i": may be answered on the I/O thread
    QTest::addColumn<int>("padding");       // bytes added to each body
    QTest::newRow("100 pipelined in one write") << 100 << 0 << QByteArray("/p") << 0;
    QTest::newRow("10 pipelined, 1-byte writes") << 10 << 1 << QByteArray("/p") << 0;
    QTest::newRow("20 pipelined, 7-byte writes") << 20 << 7 << QByteArray("/p") << 0;
    QTest::newRow("100 cheap ones pipelined in one write") << 100 << 0 << QByteArray("/i") << 0;
    QTest::newRow("20 cheap ones, 7-byte writes") << 20 << 7 << QByteArray("/i") << 0;
    // Several TLS records per request, and requests across records.
    QTest::newRow("6 pipelined 15 KB bodies in one write") << 6 << 0 << QByteArray("/p") << 15000;
    QTest::newRow("3 15 KB bodies, 5000-byte writes") << 3 << 5000 << QByteArray("/p") << 15000;
    // Requests larger than what one read from the kernel takes.
    QTest::newRow("2 pipelined 100 KB bodies in one write") << 2 << 0 << QByteArray("/p") << 100000;
    QTest::newRow("2 100 KB bodies, 3000-byte writes") << 2 << 3000 << QByteArray("/p") << 100000;
}
void TestListener::pipelinedAndSplitRequests()
{
    // Every request gets exactly its own reply, in order, however the bytes are
    // cut or coalesced; the first write follows the handshake immediately.
    QFETCH(int, count);
    QFETCH(int, slice);
    QFETCH(QByteArray, prefix);
    QFETCH(int, padding);
    if (padding > 15000) {
        m_listener.reset();
        startListener({{QStringLiteral("maxRequestSize"), 300000}});
    }
    g_iInlineServed = 0;
    g_iInlineOnWorker = 0;
    TlsClient oClient(m_port);
    QVERIFY(oClient.encrypted());
    QByteArray oRequests;
    QByteArray oExpected;
    for (int i = 0; i < count; ++i) {
        const QByteArray oPath = prefix + QByteArray::number(i);
        const QByteArray oBody = QByteArray(padding, char('a' + i % 26)) + QByteArray::number(i * 7);
        oRequests += "POST " + oPath + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + QByteArray::number(oBody.size())
                     + "\r\n\r\n" + oBody;
        oExpected += "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(6 + oPath.size() + oBody.size())
                     + "\r\n\r\nhello " + oPath + oBody;
    }
    QVERIFY(oClient.send(oRequests, slice));
    QCOMPARE(oClient.read(oExpected.size(), 15000), oExpected);
    // Nothing more, and the connection stays open for further requests.
    QCOMPARE(oClient.read(1, 300), QByteArray());
    QCOMPARE(oClient.waitForEnd(0), TlsClient::Open);
    if (prefix == "/i") {
        // Cheap requests are answered on the I/O thread, but only a few per
        // wake-up: a client pipelining many has the rest served by workers.
        QVERIFY(g_iInlineServed.load() > 0);
        if (count > 8 && slice == 0)
            QVERIFY2(g_iInlineOnWorker.load() > 0, "one connection held its I/O thread for all its requests");
        QCOMPARE(g_iInlineServed.load() + g_iInlineOnWorker.load(), count);
    }
}

void TestListener::singleRequests_data()
{
    // One request on a new connection, its whole reply, and whether the server
    // then ends the connection with close_notify (not a bare end of the stream).
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QString>("logged");  // a line the log then holds, if any
    // A handler that throws still ends its reply, and the connection goes on.
    QTest::newRow("handler throws")
        << QByteArray("GET /throw HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false
        << QStringLiteral("CSslConnectionHandler::read :: An uncatched exception occurred in the request handler");
    // A refused request gets one fixed reply and the connection ends; a request
    // before it on the same connection is still answered. Which requests the
    // parser refuses, and why, is the HTTP tests' matter: here one row per reply.
    const QByteArray o413 = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
    const QByteArray o400 = "HTTP/1.1 400 Bad Request\r\nContent-Length: 17\r\nConnection: close\r\n\r\n400 Bad Request\r\n";
    const QByteArray o501 =
        "HTTP/1.1 501 Not Implemented\r\nContent-Length: 21\r\nConnection: close\r\n\r\n501 Not Implemented\r\n";
    QTest::newRow("oversized header")
        << "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Fill: " + QByteArray(17000, 'a') + "\r\n\r\n" << o413 << true << QString();
    QTest::newRow("line without line feed") << QByteArray(40000, 'x') << o413 << true << QString();
    // Bytes behind a body while its reply is written: the first request is served.
    QTest::newRow("body then garbage") << "POST /a HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc"
                                              + QByteArray(20000, 'x')
                                       << helloReply("/aabc") + o413 << true << QString();
    QTest::newRow("chunked") << QByteArray("POST /a HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                           "3\r\nabc\r\n0\r\n\r\n")
                             << o501 << true << QString();
    QTest::newRow("two lengths") << QByteArray("POST /a HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n"
                                               "Content-Length: 4\r\n\r\nabcd")
                                 << o400 << true << QString();
}
void TestListener::singleRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(bool, closes);
    QFETCH(QString, logged);
    TlsClient oClient(m_port);
    QVERIFY(oClient.encrypted());
    oClient.send(request);
    QCOMPARE(oClient.read(reply.size() + (closes ? 1 : 0)), reply);
    if (closes)
        QCOMPARE(oClient.waitForEnd(5000), TlsClient::CloseNotify);
    else
        QCOMPARE(oClient.waitForEnd(300), TlsClient::Open);
    if (!logged.isEmpty())
        QVERIFY(logMessages().contains(logged));
}

void TestListener::expectContinue()
{
    TlsClient oClient(m_port);
    QVERIFY(oClient.send("POST /e HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"));
    const QByteArray oContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    QCOMPARE(oClient.read(oContinue.size()), oContinue);
    QVERIFY(oClient.send("body"));
    QCOMPARE(oClient.read(helloReply("/ebody").size()), helloReply("/ebody"));
}

void TestListener::deadlines_data()
{
    // readTimeout and requestTimeout are 1500 ms here: none of these clients can
    // hold its connection much longer, however it paces its bytes.
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("drip"); // sent one byte every 200 ms
    QTest::addColumn<QString>("logLine"); // logged when the connection is cut
    QTest::newRow("TCP only, no hello") << false << QByteArray() << QString();
    QTest::newRow("half a TLS hello") << false << QByteArray("\x16\x03\x01\x02\x00\x01", 6) << QString();
    QTest::newRow("TLS, silent") << true << QByteArray()
                                 << QStringLiteral("CSslConnectionHandler::readTimeout :: read timeout occurred");
    QTest::newRow("TLS, slow header") << true
                                      << QByteArray("GET /a HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ") + QByteArray(200, 'a')
                                      << QString();
    QTest::newRow("TLS, slow body") << true << QByteArray("POST /a HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n")
                                             + QByteArray(100, 'b') << QString();
}
void TestListener::deadlines()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, drip);
    QFETCH(QString, logLine);
    TlsClient oClient(m_port, tls);
    QCOMPARE(oClient.encrypted(), tls);
    QElapsedTimer oTimer;
    oTimer.start();
    bool bClosed = false;
    for (int i = 0; !bClosed && oTimer.elapsed() < 8000; ++i) {
        if (i < drip.size()) {
            if (tls)
                bClosed = !oClient.send(drip.mid(i, 1));
            else
                bClosed = ::send(oClient.fd(), drip.constData() + i, 1, MSG_NOSIGNAL) != 1;
        }
        // No reply to an unfinished request (over TLS: nothing decrypts to one).
        QByteArray oReceived;
        if (tls) {
            oReceived = oClient.read(INT_MAX, 200);
            bClosed = bClosed || oClient.waitForEnd(0) != TlsClient::Open;
        } else {
            bClosed = bClosed || tcpClosedWithin(oClient.fd(), 200, &oReceived);
        }
        QVERIFY2(!oReceived.contains("HTTP/1.1"), oReceived.constData());
    }
    QVERIFY2(bClosed, "the server kept the connection");
    QVERIFY(oTimer.elapsed() < 4000);
    if (!logLine.isEmpty()) {
        QVERIFY(oTimer.elapsed() >= 1000); // not before the deadline
        QTRY_VERIFY(logMessages().contains(logLine));
    }
}

void TestListener::nonReadingClientIsCut()
{
    // 8 MB of reply to a client that never reads: the write deadline ends it.
    TlsClient oClient(m_port);
    QVERIFY(oClient.send("GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().contains(QStringLiteral("CSslConnectionHandler::writeTimeout :: write timeout occurred")),
                             8000);
    // A client that leaves while its reply is written costs an error, not the process.
    for (int i = 0; i < 5; ++i) {
        TlsClient oLeaving(m_port);
        QVERIFY(oLeaving.send("GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        oLeaving.read(1000);
    }
    // Others are served meanwhile and after.
    TlsClient oOther(m_port);
    QVERIFY(oOther.send("GET /a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    QCOMPARE(oOther.read(helloReply("/a").size()), helloReply("/a"));
}

void TestListener::partialRequestDiesWithItsConnection()
{
    // Half a request, then the client leaves: nothing of it reaches the next client.
    for (int i = 0; i < 20; ++i) {
        {
            TlsClient oHalf(m_port);
            QVERIFY(oHalf.send("POST /half HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\nabc"));
        }
        TlsClient oNext(m_port);
        QVERIFY(oNext.send("GET /next HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        QCOMPARE(oNext.read(helloReply("/next").size() + 1, 2000), helloReply("/next"));
    }
}

void TestListener::capsEvictIdleThenRefuse()
{
    // At the connection cap the longest idle connection gives way to a new one;
    // only when every connection is being served does a newcomer get the 503 text.
    m_listener.reset();
    startListener({{QStringLiteral("maxConnections"), 2}, {QStringLiteral("readTimeout"), 20000}});
    TlsClient oIdle(m_port);
    TlsClient oBusy(m_port);
    QVERIFY(oIdle.encrypted() && oBusy.encrypted());
    TlsClient oNew(m_port);
    QVERIFY(oNew.encrypted());
    QVERIFY(oNew.send("GET /new HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    QCOMPARE(oNew.read(helloReply("/new").size()), helloReply("/new"));
    QVERIFY(oIdle.waitForEnd(3000) != TlsClient::Open);

    QVERIFY(oNew.send("GET /sleep HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    QVERIFY(oBusy.send("GET /sleep HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    QTest::qWait(300);
    TlsClient oRefused(m_port, false);
    QByteArray oReceived;
    QVERIFY(tcpClosedWithin(oRefused.fd(), 5000, &oReceived));
    QCOMPARE(oReceived, QByteArray("HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n"));
    // The busy ones are served in full.
    QCOMPARE(oBusy.read(helloReply("/sleep").size()), helloReply("/sleep"));
    QCOMPARE(oNew.read(helloReply("/sleep").size()), helloReply("/sleep"));
}

void TestListener::workersGrowWhenStalledAndAreTrimmed()
{
    m_listener.reset();
    startListener({{QStringLiteral("cleanupInterval"), 300}});
    auto *poSslListener = qobject_cast<CSslListener *>(m_listener->server());
    QVERIFY(poSslListener);
    CSslConnectionHandlerPool *poPool = poSslListener->pool();
    // Slow requests at once: beyond the workers started at once (one per core, at
    // least two), requests that wait get more.
    const int iEager = qMax(2, QThread::idealThreadCount());
    std::vector<std::unique_ptr<TlsClient>> oClients;
    for (int i = 0; i < iEager + 2; ++i) {
        oClients.emplace_back(new TlsClient(m_port));
        QVERIFY(oClients.back()->encrypted());
    }
    for (auto &poClient : oClients)
        QVERIFY(poClient->send("GET /sleep HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    for (auto &poClient : oClients)
        QCOMPARE(poClient->read(helloReply("/sleep").size(), 10000), helloReply("/sleep"));
    const int iGrown = poPool->size();
    QVERIFY2(iGrown > iEager && iGrown <= iEager + 2, qPrintable(QString::number(iGrown)));
    // One idle worker goes per tick until minThreads (1) remain.
    QTRY_COMPARE_WITH_TIMEOUT(poPool->size(), iGrown - 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(poPool->size(), 1, 5000);
    QTest::qWait(700);
    QCOMPARE(poPool->size(), 1);
}

void TestListener::certificateCacheAndMissingFiles()
{
    const QString oKey = KeyStore::keyPath();

    // The bytes are cached: a key deleted after the first connection changes nothing.
    QVERIFY(TlsClient(m_port).encrypted());
    QVERIFY(QFile::rename(oKey, oKey + QStringLiteral(".away")));
    QVERIFY(TlsClient(m_port).encrypted());

    // Without the cache and the key file, at the next start: a failed handshake, and the log says why.
    CSslConnectionHandler::clearCertificateCache();
    m_listener.reset();
    startListener();
    TlsClient oRefused(m_port);
    QVERIFY(!oRefused.encrypted());
    QVERIFY(oRefused.waitForEnd(5000) != TlsClient::Open);
    QVERIFY(logMessages().contains(QStringLiteral("CSslConnectionHandler::handleConnection :: Key file not found")));

    QVERIFY(QFile::rename(oKey + QStringLiteral(".away"), oKey));
    m_listener.reset();
    startListener();
    QVERIFY(TlsClient(m_port).encrypted());
}

void TestListener::takenPortIsReturnedNotFatal()
{
    // The port the listener wants is held by this very process. Root's instance
    // (the dispatcher) gives up and says so; any other moves up a port. Either
    // way the decision is the caller's: this process goes on.
    m_listener.reset();
    QTcpServer oHolder;
    QVERIFY(oHolder.listen(QHostAddress::LocalHost, 0));
    const int iHeld = oHolder.serverPort();
    const bool bDispatcher = ::geteuid() == 0;
    startListener({}, bDispatcher ? iHeld : iHeld - 1);
    QSignalSpy oFailed(m_listener.get(), &Listener::failed);
    if (bDispatcher) {
        QVERIFY(oFailed.wait(10000));
        QCOMPARE(m_listener->serverPort(), quint16(0));
        QVERIFY(logMessages().contains(
            QStringLiteral("CSslListener::CSslListener :: Dispatcher already started on system account!!!")));
    } else {
        QTRY_VERIFY(m_listener->serverPort() != 0);
        QVERIFY(m_listener->serverPort() > iHeld);
        QVERIFY(oFailed.isEmpty());
        QVERIFY(logMessages().contains(QStringLiteral("CSslListener::CSslListener :: Cannot bind on port %1: The bound "
                                                      "address is already in use trying next one...")
                                           .arg(iHeld)));
    }
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
