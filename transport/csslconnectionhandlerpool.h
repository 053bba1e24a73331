#pragma once

// Hands out connection handlers, creating them on demand up to maxThreads and
// trimming idle ones (one per cleanupInterval) down to minThreads. Lives on the
// listener thread.

#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <mutex>

class QSettings;
class CSslConnectionHandler;

namespace norrweb { class HttpRequestHandler; }

class CSslConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    CSslConnectionHandlerPool(std::shared_ptr<QSettings> v_poSettings,
                              std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler);
    ~CSslConnectionHandlerPool() override;

    // A handler marked busy, or null when none is free and the pool is full.
    CSslConnectionHandler *getConnectionHandler();
    int size();

public slots:
    void cleanup();

private:
    std::shared_ptr<QSettings> m_settings;
    std::shared_ptr<norrweb::HttpRequestHandler> m_requestHandler;
    QList<CSslConnectionHandler *> m_pool;
    QTimer m_cleanupTimer;
    std::mutex m_poolMutex;
};
