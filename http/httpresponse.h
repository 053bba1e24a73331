#ifndef NORRWEB_HTTPRESPONSE_H
#define NORRWEB_HTTPRESPONSE_H

#include "httpconnectioninfo.h"
#include "httpcookie.h"

#include <QByteArray>
#include <QMap>

class QIODevice;

namespace norrweb {

/// Status, headers and cookies of one reply, written with the body to the client
/// socket: with Content-Length when the whole body goes in one write, chunked
/// otherwise (or raw when the handler set "Connection: close").
/// Used only on the thread that created it: the one serving its request (a
/// request worker, or the connection's I/O thread for an inline request).
class HttpResponse
{
public:
    /// v_poSocket is not owned: where the reply's bytes go (the connection, or a
    /// buffer the transport sends from; tests capture the bytes in a QBuffer).
    /// v_poConnection, also not owned, describes the connection; null when there is none.
    explicit HttpResponse(QIODevice *v_poSocket, HttpConnectionInfo *v_poConnection = nullptr);

    HttpResponse(const HttpResponse &) = delete;
    HttpResponse &operator=(const HttpResponse &) = delete;

    void setHeader(const QByteArray &v_oName, const QByteArray &v_oValue);
    void setStatus(int v_iStatusCode, const QByteArray &v_oDescription);
    void setCookie(const HttpCookie &v_oCookie);

    QMap<QByteArray, QByteArray> &getAllHeaders() { return m_oHeaders; }
    QMap<QByteArray, HttpCookie> &getAllCookies() { return m_oCookies; }
    int getStatusCode() const { return m_iStatusCode; }
    bool isLastPartSent() const { return m_bSentLastPart; }
    QIODevice *getSocket() const { return m_poSocket; }
    // The connection the request came on (the command controller reads the
    // client's ports from it and keeps its account check there); may be null.
    HttpConnectionInfo *getConnection() const { return m_poConnection; }

    /// Sends the header block on the first call. Headers, status and cookies set
    /// after that are not sent. May block while the socket's write buffer is full.
    void write(const QByteArray &v_oData, bool v_bLastPart = false);

private:
    void writeHeaders();
    bool sendRaw(const QByteArray &v_oData);
    void flushSocket();

    QMap<QByteArray, QByteArray> m_oHeaders;
    QIODevice *m_poSocket;
    HttpConnectionInfo *m_poConnection;
    qint32 m_iStatusCode = 200;
    QByteArray m_oStatusText = "OK";
    bool m_bSentHeaders = false;
    bool m_bSentLastPart = false;
    bool m_bChunkedMode = false;
    QMap<QByteArray, HttpCookie> m_oCookies;
};

} // namespace norrweb

#endif // NORRWEB_HTTPRESPONSE_H
