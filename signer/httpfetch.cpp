#include "httpfetch.h"

#include <QElapsedTimer>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/httperr.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FetchError::FetchError(Kind v_eKind, const QString &v_oMessage)
    : std::runtime_error(v_oMessage.toStdString()), m_eKind(v_eKind), m_oMessage(v_oMessage)
{
}

namespace {

// A socket connected to the host within the time-out, or -1 with the reason.
int connectTo(const QByteArray &v_oHost, const QByteArray &v_oPort, int v_iTimeoutMs, QString *v_poWhy)
{
    addrinfo oHints {};
    oHints.ai_family = AF_UNSPEC;
    oHints.ai_socktype = SOCK_STREAM;
    addrinfo *poList = nullptr;
    const int iRc = getaddrinfo(v_oHost.constData(), v_oPort.constData(), &oHints, &poList);
    if (iRc != 0) {
        *v_poWhy = QStringLiteral("cannot resolve the host: %1").arg(QString::fromLocal8Bit(gai_strerror(iRc)));
        return -1;
    }
    QElapsedTimer oClock;
    oClock.start();
    int iFd = -1;
    *v_poWhy = QStringLiteral("no address to connect to");
    for (addrinfo *poAddress = poList; poAddress && iFd < 0; poAddress = poAddress->ai_next) {
        const int iLeft = v_iTimeoutMs - int(oClock.elapsed());
        if (iLeft <= 0) {
            *v_poWhy = QStringLiteral("the connection timed out");
            break;
        }
        int iSocket = socket(poAddress->ai_family, poAddress->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             poAddress->ai_protocol);
        if (iSocket < 0)
            continue;
        int iError = 0;
        if (connect(iSocket, poAddress->ai_addr, poAddress->ai_addrlen) != 0) {
            iError = errno;
            if (iError == EINPROGRESS) {
                pollfd oPoll = {iSocket, POLLOUT, 0};
                int iReady;
                do
                    iReady = poll(&oPoll, 1, iLeft);
                while (iReady < 0 && errno == EINTR);
                socklen_t uiLength = sizeof iError;
                if (iReady == 0)
                    iError = ETIMEDOUT;
                else if (iReady < 0 || getsockopt(iSocket, SOL_SOCKET, SO_ERROR, &iError, &uiLength) != 0)
                    iError = errno;
            }
        }
        if (iError == 0) {
            iFd = iSocket;
        } else {
            *v_poWhy = iError == ETIMEDOUT ? QStringLiteral("the connection timed out")
                                           : QStringLiteral("cannot connect: %1").arg(QString::fromLocal8Bit(std::strerror(iError)));
            ::close(iSocket);
        }
    }
    freeaddrinfo(poList);
    return iFd;
}

QString openSslErrors()
{
    QString oText;
    char aLine[256];
    while (const unsigned long uiError = ERR_get_error()) {
        ERR_error_string_n(uiError, aLine, sizeof aLine);
        oText += (oText.isEmpty() ? QString() : QStringLiteral("; ")) + QString::fromLatin1(aLine);
    }
    return oText;
}

} // namespace

QByteArray httpFetch(const QUrl &v_oUrl, const QByteArray &v_oContentType, const QByteArray &v_oBody,
                     const FetchLimits &v_oLimits)
{
    const QString oWhere = v_oUrl.toString(QUrl::RemoveUserInfo);
    if (v_oUrl.scheme() != QLatin1String("http") || v_oUrl.host().isEmpty() || !v_oUrl.userInfo().isEmpty())
        throw FetchError(FetchError::Unreachable, QStringLiteral("%1 is not a plain http address").arg(oWhere));
    const QByteArray oHost = v_oUrl.host(QUrl::FullyEncoded).toLatin1();
    const QByteArray oPort = QByteArray::number(v_oUrl.port(80));
    QByteArray oPath = v_oUrl.path(QUrl::FullyEncoded).toLatin1();
    if (oPath.isEmpty())
        oPath = "/";
    if (v_oUrl.hasQuery())
        oPath += '?' + v_oUrl.query(QUrl::FullyEncoded).toLatin1();

    QElapsedTimer oClock;
    oClock.start();
    QString oWhy;
    const int iFd = connectTo(oHost, oPort, qMin(v_oLimits.connectTimeoutMs, v_oLimits.totalTimeoutMs), &oWhy);
    if (iFd < 0)
        throw FetchError(FetchError::Unreachable, QStringLiteral("%1: %2").arg(oWhere, oWhy));
    // OpenSSL counts whole seconds; the rest of the total, rounded up.
    const int iSeconds = qMax(1, (v_oLimits.totalTimeoutMs - int(oClock.elapsed()) + 999) / 1000);

    ERR_clear_error();
    BIO *poSocket = BIO_new_socket(iFd, BIO_CLOSE);
    if (!poSocket) {
        ::close(iFd);
        throw FetchError(FetchError::Unreachable, QStringLiteral("%1: out of memory").arg(oWhere));
    }
    BIO *poRequest = v_oBody.isEmpty() ? nullptr : BIO_new_mem_buf(v_oBody.constData(), v_oBody.size());
    // The socket serves as both BIOs: with a reading BIO given, OpenSSL does
    // not try to connect what is connected already.
    OSSL_HTTP_REQ_CTX *poContext = OSSL_HTTP_open(oHost.constData(), oPort.constData(), nullptr, nullptr, 0, poSocket,
                                                  poSocket, nullptr, nullptr, 0, iSeconds);
    BIO *poReply = nullptr;
    char *pRedirect = nullptr;
    if (poContext
        && OSSL_HTTP_set1_request(poContext, oPath.constData(), nullptr,
                                  poRequest ? v_oContentType.constData() : nullptr, poRequest, nullptr, 1,
                                  size_t(v_oLimits.maxBytes), iSeconds, 0)
               == 1)
        poReply = OSSL_HTTP_exchange(poContext, &pRedirect);

    QByteArray oBody;
    FetchError::Kind eKind = FetchError::Unreachable;
    QString oError;
    if (poReply) {
        char aBuffer[16384];
        int iRead;
        while ((iRead = BIO_read(poReply, aBuffer, sizeof aBuffer)) > 0 && oBody.size() <= v_oLimits.maxBytes)
            oBody.append(aBuffer, iRead);
        BIO_free(poReply);
        if (oBody.isEmpty() || oBody.size() > v_oLimits.maxBytes) {
            eKind = FetchError::BadReply;
            oError = QStringLiteral("an empty or too large reply");
        }
    } else if (pRedirect) {
        eKind = FetchError::Refused;
        oError = QStringLiteral("a redirect, which is not followed");
    } else {
        const unsigned long uiFirst = ERR_peek_error();
        const int iReason = ERR_GET_LIB(uiFirst) == ERR_LIB_HTTP ? ERR_GET_REASON(uiFirst) : 0;
        oError = openSslErrors();
        if (oClock.elapsed() >= v_oLimits.totalTimeoutMs - 50) {
            oError = QStringLiteral("no whole reply within %1 ms").arg(v_oLimits.totalTimeoutMs);
        } else if (iReason == HTTP_R_RECEIVED_ERROR || iReason == HTTP_R_STATUS_CODE_UNSUPPORTED
                   || iReason == HTTP_R_REDIRECTION_NOT_ENABLED) {
            eKind = FetchError::Refused;
        } else if (iReason == HTTP_R_MAX_RESP_LEN_EXCEEDED || iReason == HTTP_R_ASN1_LEN_EXCEEDS_MAX_RESP_LEN
                   || iReason == HTTP_R_ERROR_PARSING_ASN1_LENGTH || iReason == HTTP_R_MISSING_ASN1_ENCODING
                   || iReason == HTTP_R_RESPONSE_PARSE_ERROR || iReason == HTTP_R_HEADER_PARSE_ERROR
                   || iReason == HTTP_R_RESPONSE_LINE_TOO_LONG || iReason == HTTP_R_RECEIVED_WRONG_HTTP_VERSION
                   || iReason == HTTP_R_INCONSISTENT_CONTENT_LENGTH || iReason == HTTP_R_ERROR_PARSING_CONTENT_LENGTH) {
            eKind = FetchError::BadReply;
        }
        if (oError.isEmpty())
            oError = QStringLiteral("the exchange failed");
    }
    OPENSSL_free(pRedirect);
    OSSL_HTTP_close(poContext, poReply != nullptr);
    BIO_free(poRequest);
    BIO_free_all(poSocket);
    ERR_clear_error();
    if (!oError.isEmpty())
        throw FetchError(eKind, QStringLiteral("%1: %2").arg(oWhere, oError));
    return oBody;
}
