#pragma once

// The server's one request handler: logs each request, checks the path's
// characters and the page's origin, answers the CORS preflight itself and hands
// every accepted POST to a fresh CSignController with the server's context.
// Keeps no state of its own, so any number of request workers and I/O threads
// may call service() at once.

#include "httprequesthandler.h"
#include "servercontext.h"

#include <QByteArray>
#include <QString>

// Allowed origin host names separated by "|"; "*" allows every origin.
#ifndef QTX_ALLOWED_ORIGINS
#define QTX_ALLOWED_ORIGINS "*"
#endif
extern const char *const ALLOWED_ORIGINS;

namespace PathValidator {
// True when every byte of the path is a letter, digit, '_', '/' or '-'.
bool validate(const QByteArray &v_oPath);
}

class CRequestMapper : public norrweb::HttpRequestHandler
{
    Q_OBJECT
public:
    explicit CRequestMapper(const ServerContext &v_oContext, QObject *v_poParent = nullptr);
    ~CRequestMapper() override;

    void service(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse) override;
    bool canServeInline(norrweb::HttpRequest &v_oRequest,
                        norrweb::HttpConnectionInfo &v_oConnection) const override;

    static bool IsOriginAllowed(const QByteArray &v_oOrigin);
    // Sets the seven security headers, in their fixed order.
    static void SetSecurityHeaders(norrweb::HttpResponse &v_oResponse);

private:
    const ServerContext m_oContext;
};
