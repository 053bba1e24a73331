#include "crequestmapper.h"

#include "commandnotes.h"
#include "csigncontroller.h"
#include "httpconnectioninfo.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "qtxlogger.h"

#include <QUrl>

const char *const ALLOWED_ORIGINS = QTX_ALLOWED_ORIGINS;

namespace {

struct HeaderValue
{
    QByteArray oName;
    QByteArray oValue;
};

// Literal data: a reply refers to it without allocating or counting references.
const HeaderValue kSecurityHeaders[] = {
    {QByteArrayLiteral("Content-Security-Policy"), QByteArrayLiteral("default-src 'self'")},
    {QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("sameorigin")},
    {QByteArrayLiteral("X-XSS-Protection"), QByteArrayLiteral("1; mode=block")},
    {QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")},
    {QByteArrayLiteral("Strict-Transport-Security"), QByteArrayLiteral("max-age=31536000")},
    {QByteArrayLiteral("Cache-control"), QByteArrayLiteral("no-store")},
    {QByteArrayLiteral("Pragma"), QByteArrayLiteral("no-cache")},
};

QTXLogger &logger()
{
    return QTXLogger::Instance();
}

} // namespace

bool PathValidator::validate(const QByteArray &v_oPath)
{
    // Every byte is checked: a text conversion would stop at a NUL or replace
    // invalid bytes, and the bytes are what later names a module.
    bool bValid = true;
    for (const char c : v_oPath) {
        const bool bAllowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'
                              || c == '/' || c == '-';
        if (!bAllowed) {
            bValid = false;
            break;
        }
    }
    if (bValid)
        QTX_LOG(logger(), INFO, "PathValidator::validate") << "Path is valid";
    else
        QTX_LOG(logger(), WARN, "PathValidator::validate") << "Path is invalid";
    return bValid;
}

CRequestMapper::CRequestMapper(const ServerContext &v_oContext, QObject *v_poParent)
    : norrweb::HttpRequestHandler(v_poParent)
    , m_oContext(v_oContext)
{
}

CRequestMapper::~CRequestMapper() = default;

bool CRequestMapper::IsOriginAllowed(const QByteArray &v_oOrigin)
{
    // The list is fixed at build time: read it once, not per request.
    static const QStringList s_oEntries = [] {
        QString oList = QString::fromLatin1(ALLOWED_ORIGINS);
        oList.remove(QLatin1Char(' ')).remove(QLatin1Char('\n'));
        return oList.split(QLatin1Char('|'), Qt::KeepEmptyParts);
    }();
    if (s_oEntries.size() == 1 && s_oEntries.first() == QLatin1String("*"))
        return true;
    const QString oHost = QUrl(QString::fromUtf8(v_oOrigin), QUrl::TolerantMode).host(QUrl::FullyDecoded);
    for (const QString &oEntry : s_oEntries) {
        if (!oEntry.isEmpty() && oEntry == oHost)
            return true;
    }
    return false;
}

void CRequestMapper::SetSecurityHeaders(norrweb::HttpResponse &v_oResponse)
{
    for (const HeaderValue &oHeader : kSecurityHeaders)
        v_oResponse.setHeader(oHeader.oName, oHeader.oValue);
}

bool CRequestMapper::canServeInline(norrweb::HttpRequest &v_oRequest, norrweb::HttpConnectionInfo &v_oConnection) const
{
    return CSignController::DecideInline(v_oRequest, v_oConnection, m_oContext);
}

void CRequestMapper::service(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CRequestMapper::service";
    const QByteArray oMethod = v_oRequest.getMethod();
    const QByteArray &oPath = CommandTarget::of(v_oRequest).path;
    QTX_LOG(logger(), NOTICE, pFunc) << "method=" << oMethod << "; path=" << oPath;

    // Keep-alive pings come often; their headers and parameters stay out of the log.
    const bool bVerbose = !oPath.contains("KeepAlive");
    if (bVerbose) {
        const auto &oAll = v_oRequest.getAllHeaders();
        QTX_LOG(logger(), NOTICE, pFunc) << "Header [" << qtxLogHeaders(oAll);
    }
    const auto &oCookies = v_oRequest.getAllCookies();
    // Names are data a page chose too (a form body without "=" is one long
    // name): shown by their length, as values are.
    for (auto it = oCookies.constBegin(); it != oCookies.constEnd(); ++it)
        QTX_LOG(logger(), NOTICE, pFunc) << "Cookie [" << qtxLogSecret(it.key()) << "=" << qtxLogSecret(it.value()) << "]";
    if (bVerbose) {
        const auto oParameters = v_oRequest.getAllParameters();
        for (auto it = oParameters.constBegin(); it != oParameters.constEnd(); ++it) {
            // The "data" parameter carries what is to be signed: never logged.
            if (it.key().compare("data", Qt::CaseInsensitive) != 0)
                QTX_LOG(logger(), NOTICE, pFunc) << "Param [" << qtxLogSecret(it.key()) << "=" << qtxLogSecret(it.value()) << "]";
        }
    }
    QTX_LOG(logger(), INFO, pFunc) << "Bodypart=" << qtxLogSecret(v_oRequest.getBody());

    const QByteArray oOrigin = v_oRequest.getHeader(QByteArrayLiteral("origin"));
    const bool bPathValid = PathValidator::validate(oPath);
    bool bAllowed = IsOriginAllowed(oOrigin);
    if (!bAllowed && oOrigin.isEmpty() && v_oRequest.getHeader(QByteArrayLiteral("user-agent")).contains("Trident"))
        bAllowed = IsOriginAllowed(v_oRequest.getHeader(QByteArrayLiteral("referer")));

    if (!bAllowed) {
        QTX_LOG(logger(), WARN, pFunc) << "Origin not allowed !";
        v_oResponse.setStatus(403, "Origin not allowed");
        v_oResponse.write("<h1>403 error: Origin not allowed</h1>", true);
    } else if (oMethod == "POST" && bPathValid) {
        CSignController oController(m_oContext);
        oController.SetVerboseLogging(bVerbose);
        oController.service(v_oRequest, v_oResponse);
    } else if (oMethod == "OPTIONS" && bPathValid) {
        v_oResponse.setHeader("Access-Control-Allow-Origin", oOrigin);
        v_oResponse.setHeader("Access-Control-Allow-Methods", "POST, OPTIONS");
        v_oResponse.setHeader("Access-Control-Max-Age", "1000");
        v_oResponse.setHeader("Access-Control-Allow-Headers",
                              "Content-Type, Authorization, X-Requested-With, X-QTX-cmdId, X-QTX-sessionId");
        v_oResponse.setHeader("Access-Control-Allow-Credentials", "true");
        // Chromium's private/local network access: a page from a less private
        // address space (the public internet) asks in the preflight whether this
        // loopback server agrees to be reached. Answered only when asked.
        if (v_oRequest.getHeader(QByteArrayLiteral("access-control-request-private-network")) == "true")
            v_oResponse.setHeader("Access-Control-Allow-Private-Network", "true");
        if (v_oRequest.getHeader(QByteArrayLiteral("access-control-request-local-network")) == "true")
            v_oResponse.setHeader("Access-Control-Allow-Local-Network", "true");
        SetSecurityHeaders(v_oResponse);
    } else {
        QTX_LOG(logger(), WARN, pFunc) << "Not found!";
        v_oResponse.setStatus(404, "File Not Found");
        v_oResponse.write("<h1>404 error: File Not Found</h1>", true);
    }
    QTX_LOG(logger(), INFO, pFunc) << "Finished request";
}
