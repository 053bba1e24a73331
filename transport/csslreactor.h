#pragma once

// One I/O thread of the transport: watches its connections with epoll, runs
// their TLS handshakes, reads and parses requests without blocking, hands each
// complete request to a request worker and writes the reply when the worker
// returns it. Deadlines (handshake, request, idle, write) are swept here, so a
// slow or silent client costs a socket and a few kilobytes, never a thread.

#include "httpexchange.h"

#include <QByteArray>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class CSslConnectionHandler;
class CSslConnectionHandlerPool;
class CTlsContext;
struct CTransportLimits;

class CSslReactor
{
public:
    // How a new connection is admitted when the pool counted it over a cap.
    enum Admission { Admit, EvictAny, EvictSameClient };

    CSslReactor(CSslConnectionHandlerPool *v_poPool, std::shared_ptr<CTlsContext> v_poTls,
                const CTransportLimits &v_oLimits);
    ~CSslReactor();
    CSslReactor(const CSslReactor &) = delete;
    CSslReactor &operator=(const CSslReactor &) = delete;

    void start();
    // Closes every connection and ends the thread; waits for it.
    void stop();

    // Any thread: takes over the accepted, non-blocking descriptor.
    void addConnection(int v_iFd, const norrweb::HttpConnectionInfo &v_oInfo, Admission v_eAdmission);
    // Any thread (a request worker): the reply to the connection's current request.
    void completeRequest(const std::shared_ptr<CSslConnectionHandler> &v_poConnection, QByteArray v_oReply,
                         bool v_bClose);
    int connectionCount() const { return m_connectionCount.load(std::memory_order_relaxed); }

private:
    using Connection = std::shared_ptr<CSslConnectionHandler>;

    void post(std::function<void()> v_oTask);
    void run();
    void runTasks();
    void admit(int v_iFd, const norrweb::HttpConnectionInfo &v_oInfo, Admission v_eAdmission);
    bool evictOne(qint64 v_iUid);
    void onEvent(const Connection &v_poConnection, unsigned v_uEvents);
    void handshake(const Connection &v_poConnection);
    void serve(const Connection &v_poConnection);
    bool readAvailable(CSslConnectionHandler &v_oConnection);
    bool parseInput(const Connection &v_poConnection);
    void flushOutput(const Connection &v_poConnection);
    void deliverReply(const Connection &v_poConnection, QByteArray v_oReply, bool v_bClose);
    void finishReply(const Connection &v_poConnection);
    void drainLinger(CSslConnectionHandler &v_oConnection);
    // Gives back OpenSSL's buffers of a connection; freed only when they hold
    // nothing, and kept (tried again later) otherwise.
    static void releaseSslBuffers(CSslConnectionHandler &v_oConnection);
    void closeGracefully(CSslConnectionHandler &v_oConnection);
    void closeNow(CSslConnectionHandler &v_oConnection);
    void setWriteInterest(CSslConnectionHandler &v_oConnection, bool v_bWrite);
    void sweep(qint64 v_iNowMs);

    CSslConnectionHandlerPool *m_pool;
    std::shared_ptr<CTlsContext> m_tls;
    const CTransportLimits &m_limits;
    int m_epoll = -1;
    int m_wakeFd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::mutex m_taskMutex;
    std::vector<std::function<void()>> m_tasks;
    std::unordered_map<int, Connection> m_connections; // by descriptor; reactor thread only
    std::atomic<int> m_connectionCount{0};
    qint64 m_nextSweep = 0;
    int m_inlineBudget = 0;       // requests this connection may still have served here
    bool m_servingInline = false; // a reply served here is being written
};
