#pragma once

// Serves one TLS connection at a time on a thread of its own; reused by the
// pool for later connections. Every slot runs on the handler's thread.

#include <QList>
#include <QObject>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>

#include "httpconnectioninfo.h"

#include <atomic>
#include <memory>

class QSettings;
class QThread;
class SecurePass;

namespace norrweb {
class HttpRequest;
class HttpRequestHandler;
}

class CSslConnectionHandler : public QObject
{
    Q_OBJECT
public:
    CSslConnectionHandler(std::shared_ptr<QSettings> v_poSettings,
                          std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler);
    ~CSslConnectionHandler() override;

    // Called by the pool under its mutex; cleared by disconnected() on this thread.
    bool isBusy() const { return m_busy.load(std::memory_order_acquire); }
    void setBusy() { m_busy.store(true, std::memory_order_release); }

    void GetKeyPassPhrase(SecurePass &v_oPassPhrase);

    // The handler's own thread (it deletes itself when it finishes).
    QThread *handlerThread() const { return m_thread; }

    // Forgets the cached certificate and key bytes (tests; a restart does the same).
    static void clearCertificateCache();

public slots:
    void handleConnection(qintptr v_iSocketDescriptor);

private slots:
    void read();
    void readTimeout();
    void disconnected();
    void sslErrors(const QList<QSslError> &v_oErrors);
    void error(QAbstractSocket::SocketError v_eSocketError);

private:
    void configureTls(QSslConfiguration &v_oConfiguration);

    std::shared_ptr<QSettings> m_settings;
    QSslSocket m_socket;
    QTimer m_readTimer;
    norrweb::HttpRequest *m_currentRequest = nullptr;
    norrweb::HttpConnectionInfo m_connection;
    std::shared_ptr<norrweb::HttpRequestHandler> m_requestHandler;
    std::atomic<bool> m_busy{false};
    QThread *m_thread = nullptr;
    int m_readTimeoutMs = 10000;
};
