#pragma once

// One kept-alive HTTPS connection for the benches, written and read straight
// through OpenSSL on a blocking socket, as a browser's network stack does:
// a request is encrypted once on its way to the kernel, a reply's body is
// read into one buffer of its announced size. testkit's HttpsClient goes
// through QSslSocket's buffers instead, which for a 10 MB upload cost the
// client about 25 ms more than the server took to read it (curl sent the same
// request, handshake included, in 13-21 ms), and the benches measure the server.

#include "httpsclient.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

class BenchClient
{
public:
    // Trusts only the given authorities, and the server only as 127.0.0.1.
    BenchClient(quint16 v_uiPort, const QList<QSslCertificate> &v_oCa);
    ~BenchClient();
    BenchClient(const BenchClient &) = delete;
    BenchClient &operator=(const BenchClient &) = delete;

    // Sends the request as written (v_oRequest, then v_oMore) and reads one
    // Content-Length framed reply (status 0: no connection, or no whole reply
    // within the time). A connection the server closed is made again before
    // the request.
    HttpReply exchange(const QByteArray &v_oRequest, int v_iTimeoutMs = 20000, const QByteArray &v_oMore = QByteArray());
    // POST with a form body and extra header lines ("Name: value").
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody = QByteArray(),
                   const QList<QByteArray> &v_oHeaders = {});

private:
    bool connect(int v_iTimeoutMs);
    void disconnect();
    bool writeAll(const QByteArray &v_oData);
    // Up to v_iMax bytes into v_pTo; 0 at the end of the stream or a failure.
    int readSome(char *v_pTo, int v_iMax);

    quint16 m_uiPort;
    SSL_CTX *m_pCtx = nullptr;
    SSL *m_pSsl = nullptr;
    int m_iFd = -1;
};
