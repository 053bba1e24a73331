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

    int fd() const { return m_iFd; }
    qint64 uid() const { return m_oHttp.info().clientUid; }
    norrweb::HttpExchange &http() { return m_oHttp; }

private:
    friend class CSslReactor;

    int m_iFd;
    SSL *m_poSsl;
    Phase m_ePhase = Handshake;
    norrweb::HttpExchange m_oHttp;
    qint64 m_llDeadline = 0;     // when the current phase ends the connection
    qint64 m_llLastActivity = 0; // for choosing which connection gives way at a cap
    bool m_bPeerClosed = false;
    bool m_bWriteArmed = false;
    bool m_bReadPaused = false;
    bool m_bSslBuffersHeld = true; // OpenSSL's read and write buffers are allocated
};
