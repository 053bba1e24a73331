#pragma once

// A raw HTTPS client for protocol tests: sends bytes as written and parses the
// reply's status line, headers (in wire order) and body.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslSocket>

#include <memory>

struct HttpReply
{
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers; // wire order
    QByteArray body;
    QByteArray raw;

    QByteArray header(const QByteArray &v_oName) const;
    bool hasHeader(const QByteArray &v_oName) const;
};

// The status line and headers of a reply's head (the bytes before its blank
// line) into v_poReply; its Content-Length (0 without one).
qint64 parseReplyHead(const QByteArray &v_oHead, HttpReply *v_poReply);

// A POST with a form body and extra header lines ("Name: value"), as written
// on the wire.
QByteArray formPost(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders);

class HttpsClient
{
public:
    HttpsClient(quint16 v_uiPort, const QList<QSslCertificate> &v_oCa);
    bool connect();
    // Sends one request and reads one Content-Length framed reply.
    HttpReply exchange(const QByteArray &v_oRequest, int v_iTimeoutMs = 20000);
    // POST with a form body and extra header lines ("Name: value").
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody = QByteArray(),
                   const QList<QByteArray> &v_oHeaders = {});
    QSslSocket &socket() { return *m_socket; }
    // Connect from this local address and port (the next connect()).
    void bindLocal(const QHostAddress &v_oAddress, quint16 v_uiPort)
    {
        m_localAddress = v_oAddress;
        m_localPort = v_uiPort;
    }

private:
    QHostAddress m_localAddress;
    quint16 m_localPort = 0;
    quint16 m_port;
    QList<QSslCertificate> m_ca;
    std::unique_ptr<QSslSocket> m_socket;
};
