#pragma once

// The transport's threads: a few CSslReactor I/O threads that accept and own
// the connections, and request workers that serve complete requests. Workers are
// created on demand up to maxThreads and trimmed (one per cleanupInterval) down
// to minThreads. The pool also keeps the connection caps: over a cap, the
// oldest connection that is idle or still handshaking gives way, and only when
// none can does the new one get the plain 503 text. Created on the listener
// thread; dispatch() and the caps are safe from any thread.

#include "csslreactor.h"
#include "ctlscontext.h"
#include "httpconnectioninfo.h"
#include "httpexchange.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class QSettings;
class CSslConnectionHandler;
class CRequestWorker;
class CTlsContext;

namespace norrweb { class HttpRequestHandler; }

// The limits of the listener group, read once.
struct CTransportLimits
{
    int readTimeoutMs = 10000;    // handshake, and silence between requests
    int requestTimeoutMs = 10000; // a whole request, from its first byte
    int writeTimeoutMs = 10000;   // a whole reply, once the client stops reading
    int lingerMs = 2000;          // after close_notify, for the client's last bytes
    norrweb::HttpExchange::Limits http; // request and multipart size
    int maxConnections = 768;
    int maxConnectionsPerClient = 512;
    int ioThreads = 2;
    int minThreads = 1;
    int maxThreads = 100;
    int cleanupIntervalMs = 1000;
    static CTransportLimits fromSettings(const QSettings &v_oSettings);
};

class CSslConnectionHandlerPool : public QObject
{
    Q_OBJECT
public:
    CSslConnectionHandlerPool(std::shared_ptr<QSettings> v_poSettings, const CTlsContext::Config &v_oTls,
                              std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler);
    ~CSslConnectionHandlerPool() override;

    const CTransportLimits &limits() const { return m_oLimits; }

    // Listener thread: the I/O threads accept from the listening socket, or stop
    // doing so (returns once none of them watches it any more).
    void startAccepting(int v_iListenFd, const QHostAddress &v_oAddress, quint16 v_uiPort);
    void stopAccepting();
    // Reactor threads: counts an accepted connection of the client's account,
    // and says how it is admitted when that goes over a cap.
    CSslReactor::Admission countConnection(qint64 v_iUid);
    // True while so many connections wait over the cap that accepting should pause.
    bool saturated();
    // Reactor threads: the I/O threads, fixed for the pool's life.
    int reactorCount() const { return int(m_oReactors.size()); }
    CSslReactor *reactorAfter(const CSslReactor *v_poReactor) const;
    // Reactor threads: serve the connection's complete request on a worker.
    void dispatch(const std::shared_ptr<CSslConnectionHandler> &v_poConnection, CSslReactor *v_poReactor);
    // On the connection's I/O thread: serves its complete request right there
    // when the request handler says that never blocks; false to dispatch it.
    bool serveInline(CSslConnectionHandler &v_oConnection, QByteArray &v_oReply, bool &v_bClose);
    // Reactor threads: a connection has ended (or was refused at the door).
    void connectionClosed(qint64 v_iUid);
    // Request workers: done with one request; returns the next queued one, if any.
    bool nextRequest(CRequestWorker *v_poWorker, std::shared_ptr<CSslConnectionHandler> &v_poConnection,
                     CSslReactor *&v_poReactor);

    // Request workers in existence (busy or idle).
    int size();
    int connectionCount();

public slots:
    void cleanup();

private:
    struct Pending {
        std::shared_ptr<CSslConnectionHandler> connection;
        CSslReactor *reactor;
        qint64 queuedAtMs;
    };
    void checkStalled();
    CRequestWorker *createWorker(); // under m_oPoolMutex

    std::shared_ptr<QSettings> m_poSettings;
    std::shared_ptr<norrweb::HttpRequestHandler> m_poRequestHandler;
    CTransportLimits m_oLimits;
    // Workers started without waiting: one per core, at least two (the core count
    // is read once: it is a file read).
    int m_iEagerWorkers = 2;
    std::shared_ptr<CTlsContext> m_poTls;
    std::vector<std::unique_ptr<CSslReactor>> m_oReactors;

    std::mutex m_oPoolMutex; // guards the worker lists and the queue
    QList<CRequestWorker *> m_oWorkers;
    QList<CRequestWorker *> m_oIdle;
    std::deque<Pending> m_oQueue;

    std::mutex m_oCountMutex; // guards the connection counts
    int m_iConnections = 0;
    QHash<qint64, int> m_oConnectionsPerClient;

    int m_iConnectionsPeak = 0; // listener thread: highest count since the last trim
    QTimer m_oCleanupTimer;
    QTimer m_oStallTimer;
};
