#pragma once

// The loopback TCP server: chooses its port (dispatcher on `port` for root,
// otherwise from `port` + 1 upwards) and lets the pool's I/O threads accept
// from it and serve the connections. Lives on the listener thread.

#include <QTcpServer>

#include <memory>

class QSettings;
class CSslConnectionHandlerPool;

namespace norrweb { class HttpRequestHandler; }

class CSslListener : public QTcpServer
{
    Q_OBJECT
public:
    CSslListener(std::shared_ptr<QSettings> v_poSettings,
                 std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent = nullptr);
    ~CSslListener() override;

    CSslConnectionHandlerPool *pool() const { return m_pool; }
    // Stops accepting and closes the listening socket (hides QTcpServer::close,
    // which would close the socket under the I/O threads).
    void close();

private:
    [[noreturn]] static void endProcess();
    void startAccepting();

    std::shared_ptr<QSettings> m_settings;
    CSslConnectionHandlerPool *m_pool = nullptr;
};
