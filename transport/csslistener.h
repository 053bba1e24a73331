#pragma once

// The loopback TCP server: chooses its port (dispatcher on `port` for root,
// otherwise from `port` + 1 upwards) and hands every accepted descriptor to a
// pool, which serves it on its I/O threads. Lives on the listener thread.

#include <QTcpServer>

#include <memory>

struct sockaddr_storage;
class QSettings;
class QSocketNotifier;
class CSslConnectionHandlerPool;
class ProcessUtils;

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
    // which would close the socket under the accept notifier).
    void close();

private:
    [[noreturn]] static void endProcess();
    void startAccepting();
    void acceptPending();
    void takeAccepted(int v_iFd, const sockaddr_storage &v_oPeer);
    void resumeWhenRoom();

    std::shared_ptr<QSettings> m_settings;
    CSslConnectionHandlerPool *m_pool = nullptr;
    std::unique_ptr<ProcessUtils> m_processUtils;
    QSocketNotifier *m_acceptNotifier = nullptr;
};
