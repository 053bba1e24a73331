// Reply delivery: CORS text or JSONP, the X-QTX headers, and the reply log.

#include "csigncontroller.h"

#include "crequestmapper.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "qtxlogger.h"

#include <openssl/evp.h>

namespace {

QTXLogger &logger()
{
    return QTXLogger::Instance();
}

const int kWholeReplyLogLimit = 512;
const int kReplyLogEdge = 32;

} // namespace

void CSignController::SetResponseHeaders(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    if (!m_oCallback.isEmpty()) {
        v_oResponse.setHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/javascript"));
        return;
    }
    v_oResponse.setHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain"));
    v_oResponse.setHeader(QByteArrayLiteral("Access-Control-Allow-Credentials"), QByteArrayLiteral("true"));
    v_oResponse.setHeader(QByteArrayLiteral("Access-Control-Expose-Headers"),
                          QByteArrayLiteral("X-QTX-sessionId, X-QTX-cmdId"));
    QByteArray oOrigin = v_oRequest.getHeader(QByteArrayLiteral("origin"));
    if (oOrigin.isEmpty() || oOrigin == "null")
        oOrigin = QByteArrayLiteral("*");
    v_oResponse.setHeader(QByteArrayLiteral("Access-Control-Allow-Origin"), oOrigin);
    CRequestMapper::SetSecurityHeaders(v_oResponse);
}

void CSignController::SetResultData(const CommandResult &v_oResult, norrweb::HttpResponse &v_oResponse)
{
    v_oResponse.setStatus(v_oResult.iStatusCode, v_oResult.oStatusText);
    QTX_LOG(logger(), NOTICE, "CSignController::SetResultData") << "RESULT HTTP STATUS CODE = " << v_oResult.iStatusCode;
    m_oResultData = v_oResult.oBody;
}

void CSignController::SendResponse(norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::SendResponse";
    v_oResponse.setHeader(QByteArrayLiteral("X-QTX-sessionId"), m_oCommandData.oSessionId);
    // Pages carry the session id in the X-QTX-sessionId header, never in a cookie.
    v_oResponse.getAllCookies().clear();

    const int iStatus = v_oResponse.getStatusCode();
    const bool bVerbose = m_bVerboseLog || (iStatus != 200 && iStatus != 202);
    QByteArray oOut;
    if (!m_oCallback.isEmpty()) {
        QTX_LOG(logger(), INFO, pFunc) << "Reply as JSNOP";
        oOut = m_oCallback + '(' + m_oResultData + ')';
    } else {
        QTX_LOG(logger(), INFO, pFunc) << "Reply as CORS";
        oOut = m_oResultData;
    }
    if (bVerbose)
        QTX_LOG(logger(), NOTICE, pFunc) << "Response Header [" << qtxLogHeaders(v_oResponse.getAllHeaders());
    v_oResponse.write(oOut, true);
    if (bVerbose) {
        if (oOut.size() < kWholeReplyLogLimit) {
            QTX_LOG(logger(), NOTICE, pFunc) << "Reply sent ALL: " << qtxLogSecret(oOut);
        } else {
            QTX_LOG(logger(), NOTICE, pFunc)
                << "Reply sent SHORT: "
                << (qtxLogSensitiveData()
                        ? QStringLiteral("%1...%2")
                              .arg(QString::fromLatin1(oOut.left(kReplyLogEdge)), QString::fromLatin1(oOut.right(kReplyLogEdge)))
                              .toStdString()
                        : qtxLogSecret(oOut));
            // Without the diagnostic switch the digest too is only a keyed short hash.
            // OpenSSL's SHA-256: a signed document's reply is megabytes, and
            // Qt's portable one cost tens of milliseconds on this thread.
            unsigned char aDigest[EVP_MAX_MD_SIZE];
            unsigned int uiDigest = 0;
            if (EVP_Digest(oOut.constData(), size_t(oOut.size()), aDigest, &uiDigest, EVP_sha256(), nullptr) == 1)
                QTX_LOG(logger(), NOTICE, pFunc)
                    << "Reply sent SHA256: "
                    << qtxLogId(QByteArray::fromRawData(reinterpret_cast<const char *>(aDigest), int(uiDigest)).toHex());
        }
    }
}
