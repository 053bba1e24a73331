#pragma once

// One client connection: its socket, its TLS state, where it stands and its
// deadline; the HTTP/1.1 conversation on it is its HttpExchange. Owned by the
// CSslReactor thread that watches its socket; only that thread touches it,
// except for the exchange while a request worker serves its request (the
// reactor leaves the exchange alone in that phase).

#include "httpexchange.h"

typedef struct ssl_st SSL;

class SecurePass;

class CSslConnectionHandler
{
public:
    enum Phase {
        Handshake,  // TLS handshake under way
        Reading,    // waiting for or receiving a request
        Processing, // a request worker serves the request
        Writing,    // the reply goes out
        Lingering,  // close_notify sent; draining the client's last bytes
        Closed
    };

    CSslConnectionHandler(int v_iFd, SSL *v_poSsl, const norrweb::HttpExchange::Limits &v_oLimits,
                          const norrweb::HttpConnectionInfo &v_oInfo, qint64 v_iNowMs);
    ~CSslConnectionHandler();
    CSslConnectionHandler(const CSslConnectionHandler &) = delete;
    CSslConnectionHandler &operator=(const CSslConnectionHandler &) = delete;

    // Fills the pass phrase that opens the server's private key.
    static void GetKeyPassPhrase(SecurePass &v_oPassPhrase);
    // Forgets the cached certificate and key bytes (tests; a restart does the same).
    static void clearCertificateCache();

    int fd() const { return m_fd; }
    qint64 uid() const { return m_http.info().clientUid; }
    norrweb::HttpExchange &http() { return m_http; }

private:
    friend class CSslReactor;

    int m_fd;
    SSL *m_ssl;
    Phase m_phase = Handshake;
    norrweb::HttpExchange m_http;
    qint64 m_deadline = 0;     // when the current phase ends the connection
    qint64 m_lastActivity = 0; // for choosing which connection gives way at a cap
    bool m_peerClosed = false;
    bool m_writeArmed = false;
    bool m_readPaused = false;
    bool m_sslBuffersHeld = true; // OpenSSL's read and write buffers are allocated
};
