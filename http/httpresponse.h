#ifndef NORRWEB_HTTPRESPONSE_H
#define NORRWEB_HTTPRESPONSE_H

#include "httpconnectioninfo.h"
#include "httpcookie.h"
#include "httpheaders.h"

#include <QByteArray>
#include <QMap>

namespace norrweb {

/// Status, headers and cookies of one reply, framed with its body into a byte
/// buffer that the connection sends: with Content-Length when the whole body
/// comes in one write, chunked otherwise (or raw when the handler set
/// "Connection: close"). Used only on the thread that serves its request (a
/// request worker, or the connection's I/O thread for an inline request).
class HttpResponse
{
public:
    /// v_poOut is not owned: the reply's bytes are appended to it (null drops them).
    /// v_poConnection, also not owned, describes the connection; null when there is none.
    explicit HttpResponse(QByteArray *v_poOut, HttpConnectionInfo *v_poConnection = nullptr);

    HttpResponse(const HttpResponse &) = delete;
    HttpResponse &operator=(const HttpResponse &) = delete;

    void setHeader(const QByteArray &v_oName, const QByteArray &v_oValue);
    void setStatus(int v_iStatusCode, const QByteArray &v_oDescription);
    void setCookie(const HttpCookie &v_oCookie);

    HttpHeaders &getAllHeaders() { return m_oHeaders; }
    QMap<QByteArray, HttpCookie> &getAllCookies() { return m_oCookies; }
    int getStatusCode() const { return m_iStatusCode; }
    bool isLastPartSent() const { return m_bSentLastPart; }
    // The connection the request came on (the command controller reads the
    // client's ports from it and keeps its account check there); may be null.
    HttpConnectionInfo *getConnection() const { return m_poConnection; }

    /// Adds the header block on the first call. Headers, status and cookies set
    /// after that are not sent.
    void write(const QByteArray &v_oData, bool v_bLastPart = false);
    /// A body given whole in one write and of at least kSeparateBodyMin bytes
    /// goes to *v_poBody as it is (shared, not copied) instead of after the
    /// header block; the connection sends it after the block. Not owned.
    void setSeparateBody(QByteArray *v_poBody) { m_poBody = v_poBody; }
    static constexpr int kSeparateBodyMin = 256 * 1024;

private:
    void writeHeaders(int v_iBodySize); // v_iBodySize: room to make for the body after it
    void sendRaw(const QByteArray &v_oData);

    HttpHeaders m_oHeaders;
    QByteArray *m_poOut;
    QByteArray *m_poBody = nullptr;
    HttpConnectionInfo *m_poConnection;
    qint32 m_iStatusCode = 200;
    QByteArray m_oStatusText = QByteArrayLiteral("OK");
    bool m_bSentHeaders = false;
    bool m_bSentLastPart = false;
    bool m_bChunkedMode = false;
    QMap<QByteArray, HttpCookie> m_oCookies;
};

} // namespace norrweb

#endif // NORRWEB_HTTPRESPONSE_H
