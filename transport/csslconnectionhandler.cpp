#include "csslconnectionhandler.h"

#include "csettings.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "qtxlogger.h"
#include "secureobject.h"
#include "uniquepass.h"

#include <QFile>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <mutex>

namespace {

const int kHandshakeWaitMs = 30000;
const int kDisconnectWaitMs = 30000;
const char kEntityTooLarge[] = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";

// Certificate and key bytes, read once for the process; an entry still empty is
// read again at the next connection.
std::mutex g_cacheMutex;
QByteArray g_certificateBytes;
QByteArray g_keyBytes;

// Whether the key opens with the pass phrase and belongs to the certificate. A
// mismatched pair would load without complaint and then fail every handshake.
bool keyMatchesCertificate(const QByteArray &v_oCertPem, const QByteArray &v_oKeyPem, const SecurePass &v_oPass)
{
    BIO *poCertBio = BIO_new_mem_buf(v_oCertPem.constData(), v_oCertPem.size());
    BIO *poKeyBio = BIO_new_mem_buf(v_oKeyPem.constData(), v_oKeyPem.size());
    X509 *poCert = poCertBio ? PEM_read_bio_X509(poCertBio, nullptr, nullptr, nullptr) : nullptr;
    QByteArray oPass(v_oPass.data() ? v_oPass.data() : "", v_oPass.size());
    EVP_PKEY *poKey = poKeyBio ? PEM_read_bio_PrivateKey(poKeyBio, nullptr, nullptr, oPass.data()) : nullptr;
    qtxOverwriteRandom(oPass.data(), static_cast<std::size_t>(oPass.size()));
    const bool bMatch = poCert && poKey && X509_check_private_key(poCert, poKey) == 1;
    EVP_PKEY_free(poKey);
    X509_free(poCert);
    BIO_free(poKeyBio);
    BIO_free(poCertBio);
    return bMatch;
}

} // namespace

void CSslConnectionHandler::clearCertificateCache()
{
    std::lock_guard<std::mutex> oGuard(g_cacheMutex);
    g_certificateBytes.clear();
    g_keyBytes.clear();
}

CSslConnectionHandler::CSslConnectionHandler(std::shared_ptr<QSettings> v_poSettings,
                                             std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler)
    : m_settings(std::move(v_poSettings))
    , m_socket(this)
    , m_readTimer(this)
    , m_requestHandler(std::move(v_poRequestHandler))
{
    m_readTimeoutMs = m_settings->value(QStringLiteral("readTimeout"), 10000).toInt();
    m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_readTimer.setSingleShot(true);

    m_thread = new QThread();
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);

    connect(&m_socket, &QSslSocket::readyRead, this, &CSslConnectionHandler::read);
    connect(&m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &CSslConnectionHandler::sslErrors);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this,
            &CSslConnectionHandler::error);
    connect(&m_socket, &QSslSocket::disconnected, this, &CSslConnectionHandler::disconnected);
    connect(&m_readTimer, &QTimer::timeout, this, &CSslConnectionHandler::readTimeout);

    // The socket and the timer are children, so they move with this object.
    moveToThread(m_thread);
    m_thread->start();
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::CSslConnectionHandler") << "constructed";
}

CSslConnectionHandler::~CSslConnectionHandler()
{
    m_socket.disconnectFromHost();
    m_socket.disconnect();
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        m_socket.waitForDisconnected(kDisconnectWaitMs);
    m_socket.close();
    m_socket.abort();
    m_readTimer.stop();
    m_readTimer.disconnect();
    delete m_currentRequest;
    m_currentRequest = nullptr;
    if (m_thread)
        m_thread->quit();
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::~CSslConnectionHandler") << "destroyed";
}

void CSslConnectionHandler::GetKeyPassPhrase(SecurePass &v_oPassPhrase)
{
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::GetKeyPassPhrase") << "Getting KeyPassPhrase...";
    UniquePass oSource(4);
    oSource.getPassword(v_oPassPhrase);
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::GetKeyPassPhrase") << "Got KeyPassPhrase.";
}

void CSslConnectionHandler::configureTls(QSslConfiguration &v_oConfiguration)
{
    const char *pFunc = "CSslConnectionHandler::handleConnection";
    QByteArray oCertBytes;
    QByteArray oKeyBytes;
    {
        std::lock_guard<std::mutex> oGuard(g_cacheMutex);
        if (g_certificateBytes.isEmpty() || g_keyBytes.isEmpty()) {
            const auto oPaths = CSettings::Instance()->ReadSslCertificateCertAndKeyFiles();
            if (QFile::exists(oPaths.first) && QFile::exists(oPaths.second)) {
                QFile oCert(oPaths.first);
                QFile oKey(oPaths.second);
                if (oCert.open(QIODevice::ReadOnly))
                    g_certificateBytes = oCert.readAll();
                if (oKey.open(QIODevice::ReadOnly))
                    g_keyBytes = oKey.readAll();
            }
        }
        oCertBytes = g_certificateBytes;
        oKeyBytes = g_keyBytes;
    }

    if (!oCertBytes.isEmpty() && !oKeyBytes.isEmpty()) {
        SecurePass oPass;
        GetKeyPassPhrase(oPass);
        const QByteArray oPassBytes(oPass.data() ? oPass.data() : "", oPass.size());
        if (keyMatchesCertificate(oCertBytes, oKeyBytes, oPass)) {
            v_oConfiguration.setLocalCertificate(QSslCertificate(oCertBytes, QSsl::Pem));
            v_oConfiguration.setPrivateKey(QSslKey(oKeyBytes, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, oPassBytes));
        } else {
            QTX_LOG(QTXLogger::Instance(), WARN, pFunc)
                << "The key does not open with this machine's pass phrase or does not match the certificate";
        }
        QByteArray oWipe = oPassBytes;
        qtxOverwriteRandom(oWipe.data(), static_cast<std::size_t>(oWipe.size()));
        oPass.release();
    } else {
        QTX_LOG(QTXLogger::Instance(), WARN, pFunc) << "Cert file not found";
        QTX_LOG(QTXLogger::Instance(), WARN, pFunc) << "Key file not found";
    }
}

void CSslConnectionHandler::handleConnection(qintptr v_iSocketDescriptor)
{
    const char *pFunc = "CSslConnectionHandler::handleConnection";
    QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "handle new connection";
    setBusy();

    // Empties the reused socket's buffers from the previous connection, and
    // forgets what request handlers noted about its client.
    m_socket.connectToHost(QString(), 0);
    m_socket.abort();
    m_connection = norrweb::HttpConnectionInfo();

    if (!m_socket.setSocketDescriptor(v_iSocketDescriptor)) {
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "cannot initialize socket: " << m_socket.errorString();
        return;
    }
    m_connection.peerAddress = m_socket.peerAddress();
    m_connection.peerPort = m_socket.peerPort();
    m_connection.localPort = m_socket.localPort();
    // A reply leaves as several small writes (status and headers, then the body);
    // with Nagle's algorithm the second waits for the client's delayed ACK (~40 ms).
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);

    QSslConfiguration oConfiguration = m_socket.sslConfiguration();
    oConfiguration.setProtocol(QSsl::TlsV1_2OrLater);
    if (!CSettings::Instance()) {
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "Problem with Settings module.";
        return;
    }
    configureTls(oConfiguration);

    const QList<QSslCipher> oCiphers = CSettings::Instance()->ReadSslEnabledCiphersList();
    if (oCiphers.isEmpty()) {
        m_socket.disconnectFromHost();
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "EnabledCipherList is empty";
        return;
    }
    oConfiguration.setCiphers(oCiphers);
    m_socket.setSslConfiguration(oConfiguration);
    m_socket.startServerEncryption();
    m_socket.waitForEncrypted(kHandshakeWaitMs);

    m_readTimer.start(m_readTimeoutMs);
    delete m_currentRequest;
    m_currentRequest = nullptr;
}

void CSslConnectionHandler::read()
{
    const char *pFunc = "CSslConnectionHandler::read";
    QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "read input";
    if (!m_currentRequest)
        m_currentRequest = new norrweb::HttpRequest(m_settings.get());

    bool bMore = true;
    if (m_currentRequest->getState() != norrweb::HttpRequest::AwaitingBody)
        bMore = m_socket.canReadLine();
    while (m_socket.bytesAvailable() && bMore && m_currentRequest->getState() != norrweb::HttpRequest::Complete
           && m_currentRequest->getState() != norrweb::HttpRequest::Aborted) {
        m_currentRequest->consumeAvailable(&m_socket);
        if (m_currentRequest->getState() == norrweb::HttpRequest::AwaitingBody)
            m_readTimer.start(m_readTimeoutMs);
    }

    if (m_currentRequest->getState() == norrweb::HttpRequest::Aborted) {
        QTX_LOG(QTXLogger::Instance(), WARN, pFunc) << "HTTP/1.1 413 entity too large - Connection: close";
        m_socket.write(kEntityTooLarge, sizeof kEntityTooLarge - 1);
        m_socket.disconnectFromHost();
        delete m_currentRequest;
        m_currentRequest = nullptr;
        return;
    }

    if (m_currentRequest->getState() == norrweb::HttpRequest::Complete) {
        m_readTimer.stop();
        QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "received complete request";
        norrweb::HttpResponse oResponse(&m_socket, &m_connection);
        try {
            m_requestHandler->service(*m_currentRequest, oResponse);
        } catch (...) {
            QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "An uncatched exception occurred in the request handler";
        }
        if (!oResponse.isLastPartSent())
            oResponse.write(QByteArray(), true);

        if (m_currentRequest->getHeader("Connection").compare("close", Qt::CaseInsensitive) == 0)
            m_socket.disconnectFromHost();
        else
            m_readTimer.start(m_readTimeoutMs);
        delete m_currentRequest;
        m_currentRequest = nullptr;
        QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "request processed";
    }
}

void CSslConnectionHandler::readTimeout()
{
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::readTimeout") << "read timeout occurred";
    m_socket.disconnectFromHost();
    delete m_currentRequest;
    m_currentRequest = nullptr;
}

void CSslConnectionHandler::disconnected()
{
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::disconnected") << "disconnected";
    m_socket.close();
    m_readTimer.stop();
    m_busy.store(false, std::memory_order_release);
}

void CSslConnectionHandler::sslErrors(const QList<QSslError> &v_oErrors)
{
    for (const QSslError &oError : v_oErrors)
        QTX_LOG(QTXLogger::Instance(), WARN, "CSslConnectionHandler::sslErrors") << "SslError: " << oError.errorString();
}

void CSslConnectionHandler::error(QAbstractSocket::SocketError v_eSocketError)
{
    QTX_LOG(QTXLogger::Instance(), WARN, "CSslConnectionHandler::error") << "SocketError=" << int(v_eSocketError);
    // A connection whose handshake failed would otherwise stay open and the
    // client would wait for bytes that never come.
    if (!m_socket.isEncrypted() && m_socket.state() == QAbstractSocket::ConnectedState
        && (v_eSocketError == QAbstractSocket::SslHandshakeFailedError
            || v_eSocketError == QAbstractSocket::SslInternalError
            || v_eSocketError == QAbstractSocket::SslInvalidUserDataError))
        m_socket.abort();
}
