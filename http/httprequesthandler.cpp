#include "httprequesthandler.h"
#include "httplogging.h"

#include "httprequest.h"
#include "httpresponse.h"

namespace norrweb {

HttpRequestHandler::HttpRequestHandler(QObject *v_poParent)
    : QObject(v_poParent)
{
}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::service(HttpRequest &v_oRequest, HttpResponse &v_oResponse)
{
    qCCritical(lcHttp, "HttpRequestHandler: you need to override the service() function");
    qCDebug(lcHttp, "HttpRequestHandler: request=%s %s %s", v_oRequest.getMethod().constData(),
           v_oRequest.getDecodedPath().constData(), v_oRequest.getVersion().constData());
    v_oResponse.setStatus(501, "not implemented");
    v_oResponse.write("501 not implemented", true);
}

bool HttpRequestHandler::canServeInline(HttpRequest &, HttpConnectionInfo &) const
{
    return false;
}

} // namespace norrweb
