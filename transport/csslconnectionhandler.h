#pragma once

// One client connection: its TLS state, the bytes received and not yet parsed,
// the request being received and the reply being written. Owned by the
// CSslReactor thread that watches its socket; only that thread touches it,
// except for the request and the connection details while a request worker
// serves the request (the reactor leaves both alone in that phase).

#include "httpconnectioninfo.h"

#include <QByteArray>
#include <QIODevice>

#include <memory>

typedef struct ssl_st SSL;

class CSslReactor;
class SecurePass;

namespace norrweb { class HttpRequest; }

// The bytes received on a connection, read by HttpRequest like a socket.
class CInputBuffer : public QIODevice
{
public:
    CInputBuffer() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_size - m_pos; }
    bool canReadLine() const override;
    // Room for at least v_iBytes more at the end; returns where to write them.
    char *reserve(int v_iBytes);
    void commit(int v_iBytes) { m_data.resize(m_size += v_iBytes); }
    // Buffer memory, for the caps.
    int buffered() const { return m_size; }
    void compact();

protected:
    qint64 readData(char *v_pData, qint64 v_iMax) override;
    qint64 readLineData(char *v_pData, qint64 v_iMax) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    int m_pos = 0;
    int m_size = 0;
};

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

    CSslConnectionHandler(int v_iFd, SSL *v_poSsl, const norrweb::HttpConnectionInfo &v_oInfo, qint64 v_iNowMs);
    ~CSslConnectionHandler();
    CSslConnectionHandler(const CSslConnectionHandler &) = delete;
    CSslConnectionHandler &operator=(const CSslConnectionHandler &) = delete;

    // Fills the pass phrase that opens the server's private key.
    static void GetKeyPassPhrase(SecurePass &v_oPassPhrase);
    // Forgets the cached certificate and key bytes (tests; a restart does the same).
    static void clearCertificateCache();

    int fd() const { return m_fd; }
    qint64 uid() const { return m_info.clientUid; }

private:
    friend class CSslReactor;
    friend class CSslConnectionHandlerPool;
    friend class CRequestWorker;

    int m_fd;
    SSL *m_ssl;
    Phase m_phase = Handshake;
    CInputBuffer m_input;
    QByteArray m_output;
    int m_outputPos = 0;
    std::unique_ptr<norrweb::HttpRequest> m_request;
    norrweb::HttpConnectionInfo m_info;
    qint64 m_deadline = 0;     // when the current phase ends the connection
    qint64 m_lastActivity = 0; // for choosing which connection gives way at a cap
    bool m_closeAfterWrite = false;
    bool m_peerClosed = false;
    bool m_writeArmed = false;
    bool m_continueSent = false;
    bool m_readPaused = false;
};
