#include "benchclient.h"
#include "qtxlargebuffer.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

BenchClient::BenchClient(quint16 v_uiPort, const QList<QSslCertificate> &v_oCa) : m_uiPort(v_uiPort)
{
    m_pCtx = SSL_CTX_new(TLS_client_method());
    if (!m_pCtx)
        return;
    SSL_CTX_set_verify(m_pCtx, SSL_VERIFY_PEER, nullptr);
    X509_STORE *pStore = SSL_CTX_get_cert_store(m_pCtx);
    for (const QSslCertificate &oCa : v_oCa) {
        const QByteArray oDer = oCa.toDer();
        const unsigned char *p = reinterpret_cast<const unsigned char *>(oDer.constData());
        if (X509 *pCert = d2i_X509(nullptr, &p, oDer.size())) {
            X509_STORE_add_cert(pStore, pCert);
            X509_free(pCert);
        }
    }
    X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(m_pCtx), "127.0.0.1");
}

BenchClient::~BenchClient()
{
    disconnect();
    SSL_CTX_free(m_pCtx);
}

bool BenchClient::connect(int v_iTimeoutMs)
{
    disconnect();
    if (!m_pCtx)
        return false;
    m_iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_iFd < 0)
        return false;
    const timeval oTimeout = {v_iTimeoutMs / 1000, (v_iTimeoutMs % 1000) * 1000};
    const int iOne = 1;
    setsockopt(m_iFd, SOL_SOCKET, SO_RCVTIMEO, &oTimeout, sizeof oTimeout);
    setsockopt(m_iFd, SOL_SOCKET, SO_SNDTIMEO, &oTimeout, sizeof oTimeout);
    setsockopt(m_iFd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof iOne);
    sockaddr_in oAddress = {};
    oAddress.sin_family = AF_INET;
    oAddress.sin_port = htons(m_uiPort);
    oAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_iFd, reinterpret_cast<const sockaddr *>(&oAddress), sizeof oAddress) != 0) {
        disconnect();
        return false;
    }
    m_pSsl = SSL_new(m_pCtx);
    if (!m_pSsl || SSL_set_fd(m_pSsl, m_iFd) != 1 || SSL_connect(m_pSsl) != 1) {
        ERR_clear_error();
        disconnect();
        return false;
    }
    return true;
}

void BenchClient::disconnect()
{
    if (m_pSsl) {
        SSL_free(m_pSsl);
        m_pSsl = nullptr;
    }
    if (m_iFd >= 0) {
        ::close(m_iFd);
        m_iFd = -1;
    }
}

bool BenchClient::writeAll(const QByteArray &v_oData)
{
    // Blocking, without partial writes: SSL_write returns once all is out.
    size_t uiWritten = 0;
    const bool bOk = SSL_write_ex(m_pSsl, v_oData.constData(), size_t(v_oData.size()), &uiWritten) == 1
                     && uiWritten == size_t(v_oData.size());
    ERR_clear_error();
    return bOk;
}

int BenchClient::readSome(char *v_pTo, int v_iMax)
{
    const int iRead = SSL_read(m_pSsl, v_pTo, v_iMax);
    ERR_clear_error();
    return iRead > 0 ? iRead : 0;
}

HttpReply BenchClient::exchange(const QByteArray &v_oRequest, int v_iTimeoutMs, const QByteArray &v_oMore)
{
    HttpReply oReply;
    if (!m_pSsl && !connect(v_iTimeoutMs))
        return oReply;
    if (!writeAll(v_oRequest)) {
        // A kept-alive connection the server has closed meanwhile: once more on a new one.
        if (!connect(v_iTimeoutMs) || !writeAll(v_oRequest))
            return oReply;
    }
    if (!v_oMore.isEmpty() && !writeAll(v_oMore)) {
        disconnect();
        return oReply;
    }
    QByteArray oHead;
    int iHeadEnd = -1;
    char aBuffer[65536];
    while (iHeadEnd < 0) {
        const int iRead = readSome(aBuffer, sizeof aBuffer);
        if (iRead == 0) {
            disconnect();
            return oReply;
        }
        const int iFrom = qMax(0, oHead.size() - 3);
        oHead.append(aBuffer, iRead);
        iHeadEnd = oHead.indexOf("\r\n\r\n", iFrom);
    }
    const qint64 iLength = parseReplyHead(oHead.left(iHeadEnd), &oReply);
    // The body straight into a buffer of its size, its pages got in bulk as
    // the server gets those of its large buffers.
    oReply.body = QByteArray(int(iLength), Qt::Uninitialized);
    qtxPrepareLargeBuffer(oReply.body.data(), size_t(iLength));
    const int iHave = qMin<int>(int(iLength), oHead.size() - iHeadEnd - 4);
    std::memcpy(oReply.body.data(), oHead.constData() + iHeadEnd + 4, size_t(iHave));
    for (int iDone = iHave; iDone < iLength;) {
        const int iRead = readSome(oReply.body.data() + iDone, int(iLength) - iDone);
        if (iRead == 0) {
            disconnect();
            return HttpReply();
        }
        iDone += iRead;
    }
    if (oReply.header("Connection").compare("close", Qt::CaseInsensitive) == 0)
        disconnect();
    return oReply;
}

HttpReply BenchClient::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
{
    return exchange(formPost(v_oPath, v_oBody, v_oHeaders));
}
