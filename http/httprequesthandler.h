#ifndef NORRWEB_HTTPREQUESTHANDLER_H
#define NORRWEB_HTTPREQUESTHANDLER_H

#include <QObject>

namespace norrweb {

class HttpRequest;
class HttpResponse;

/// Base of every object that answers requests. service() is called on the
/// connection handler's thread; an override must be safe to call from several
/// handler threads at once.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpRequestHandler)

public:
    explicit HttpRequestHandler(QObject *v_poParent = nullptr);
    ~HttpRequestHandler() override;

    /// The base version answers 501 so that a missing override shows.
    virtual void service(HttpRequest &v_oRequest, HttpResponse &v_oResponse);
};

} // namespace norrweb

#endif // NORRWEB_HTTPREQUESTHANDLER_H
