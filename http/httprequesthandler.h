#ifndef NORRWEB_HTTPREQUESTHANDLER_H
#define NORRWEB_HTTPREQUESTHANDLER_H

#include <QObject>

namespace norrweb {

class HttpRequest;
class HttpResponse;
struct HttpConnectionInfo;

/// Base of every object that answers requests. service() is called on the
/// thread that serves the request: a request worker, or the connection's I/O
/// thread when canServeInline() allowed it; an override must be safe to call
/// from several threads at once.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpRequestHandler)

public:
    explicit HttpRequestHandler(QObject *v_poParent = nullptr);
    ~HttpRequestHandler() override;

    /// The base version answers 501 so that a missing override shows.
    virtual void service(HttpRequest &v_oRequest, HttpResponse &v_oResponse);

    /// True when service() for this complete request neither blocks nor waits
    /// for another thread (no file, process or network look-up, no job to wait
    /// for), so that the connection's I/O thread may run it itself instead of
    /// handing it to a request worker and back. The base version says no. Runs
    /// on the connection's I/O thread, which may note on the request and the
    /// connection what it found out on the way (for service() and for the
    /// request that follows); it must call nothing that blocks and no plug-in
    /// module's code (QTX_ASSERT_NOT_IO_THREAD marks what blocks).
    virtual bool canServeInline(HttpRequest &v_oRequest, HttpConnectionInfo &v_oConnection) const;
};

} // namespace norrweb

#endif // NORRWEB_HTTPREQUESTHANDLER_H
