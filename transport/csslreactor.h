#pragma once

// One I/O thread of the transport: accepts connections from the listening
// socket (shared by all I/O threads; the kernel wakes one idle thread per
// arrival), watches its connections with epoll, runs their TLS handshakes,
// reads and parses requests without blocking, hands each complete request to a
// request worker and writes the reply when the worker returns it. Deadlines (handshake, request, idle, write) are swept here, so a
// slow or silent client costs a socket and a few kilobytes, never a thread.

#include "httpexchange.h"

#include <QByteArray>
#include <QHostAddress>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CSslConnectionHandler;
class CSslConnectionHandlerPool;
class CTlsContext;
class ProcessUtils;
struct CTransportLimits;
struct sockaddr_storage;

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

    // Any thread but this one: accepts from the listening socket (bound to
    // v_oAddress:v_uiPort), or stops that and returns once it has stopped, so
    // that the socket may be closed.
    void startAccepting(int v_iListenFd, const QHostAddress &v_oAddress, quint16 v_uiPort);
    void stopAccepting();
    // Any thread (a request worker): the reply to the connection's current request.
    void completeRequest(const std::shared_ptr<CSslConnectionHandler> &v_poConnection, QByteArray v_oReply,
                         bool v_bClose);
    int connectionCount() const { return m_iConnectionCount.load(std::memory_order_relaxed); }

private:
    using Connection = std::shared_ptr<CSslConnectionHandler>;

    void post(std::function<void()> v_oTask);
    void run();
    void runTasks();
    void acceptPending();
    void takeAccepted(int v_iFd, const sockaddr_storage &v_oPeer);
    // Leaves further connections in the kernel's queue for a while.
    void pauseAccepting(qint64 v_iNowMs, int v_iForMs);
    void resumeAccepting(qint64 v_iNowMs);
    bool watchListener(bool v_bWatch);
    // v_iTried: I/O threads that already found none of theirs to give way.
    void admit(int v_iFd, const norrweb::HttpConnectionInfo &v_oInfo, Admission v_eAdmission, int v_iTried);
    // Another I/O thread found none of its connections to give way for this one.
    void handOver(int v_iFd, const norrweb::HttpConnectionInfo &v_oInfo, Admission v_eAdmission, int v_iTried);
    bool evictOne(qint64 v_iUid);
    void onEvent(const Connection &v_poConnection, unsigned v_uiEvents);
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
    // Closes at once; v_bShutDown false when the kernel already knows the connection is gone.
    void closeNow(CSslConnectionHandler &v_oConnection, bool v_bShutDown = true);
    void setWriteInterest(CSslConnectionHandler &v_oConnection, bool v_bWrite);
    void sweep(qint64 v_iNowMs);

    CSslConnectionHandlerPool *m_poPool;
    std::shared_ptr<CTlsContext> m_poTls;
    const CTransportLimits &m_oLimits;
    int m_iEpoll = -1;
    int m_iWakeFd = -1;
    std::thread m_oThread;
    std::atomic<bool> m_bStopping{false};
    std::mutex m_oTaskMutex;
    std::vector<std::function<void()>> m_oTasks;
    // The connections by descriptor, reactor thread only. A descriptor is its
    // own index: the kernel hands out the lowest free numbers, so the slots
    // stay about as many as the process's descriptors, and finding the
    // connection of an event touches one slot instead of a hash chain.
    class ConnectionTable
    {
    public:
        const Connection *find(int v_iFd) const
        {
            return size_t(v_iFd) < m_oSlots.size() && m_oSlots[size_t(v_iFd)] ? &m_oSlots[size_t(v_iFd)] : nullptr;
        }
        void insert(int v_iFd, Connection v_poConnection)
        {
            if (size_t(v_iFd) >= m_oSlots.size())
                m_oSlots.resize(size_t(v_iFd) + 1);
            m_oSlots[size_t(v_iFd)] = std::move(v_poConnection);
            ++m_ulCount;
        }
        // The slot is empty before the handler may be destroyed.
        void erase(int v_iFd)
        {
            if (size_t(v_iFd) >= m_oSlots.size())
                return;
            const Connection poGone = std::move(m_oSlots[size_t(v_iFd)]);
            if (poGone)
                --m_ulCount;
        }
        size_t size() const { return m_ulCount; }
        // Empty slots are null.
        const std::vector<Connection> &all() const { return m_oSlots; }

    private:
        std::vector<Connection> m_oSlots;
        size_t m_ulCount = 0;
    };
    ConnectionTable m_oConnections;
    std::atomic<int> m_iConnectionCount{0};
    qint64 m_llNextSweep = 0;
    // The listening socket, reactor thread only; m_llAcceptResumeAt is set while
    // accepting pauses (the pool is saturated, or accept() failed).
    int m_iListenFd = -1;
    QHostAddress m_oListenAddress;
    quint16 m_uiListenPort = 0;
    bool m_bListenWatched = false;
    qint64 m_llAcceptResumeAt = 0;
    std::unique_ptr<ProcessUtils> m_poProcessUtils; // the client socket's owner, at accept
    int m_iInlineBudget = 0;       // requests this connection may still have served here
    bool m_bServingInline = false; // a reply served here is being written
};
