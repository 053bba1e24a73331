#include "csslreactor.h"
#include "csslreactor_p.h"

#include "csslconnectionhandler.h"
#include "csslconnectionhandlerpool.h"
#include "ctlscontext.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

// The reactor's door: watching the shared listening socket, accepting, the
// client's account at accept, and the caps (which connection gives way for a
// newcomer, or the plain 503 when none may).

using reactor::nowMs;
using reactor::sslErrorText;

namespace {

const char kTooManyConnections[] =
    "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

// Connections taken per wake-up; more wait in the kernel's queue, where the
// listening socket wakes an I/O thread for them again.
constexpr int kAcceptBatch = 16;
// How long accepting pauses while the pool is saturated, and after accept()
// failed for want of descriptors or memory.
constexpr int kSaturatedPauseMs = 5;
constexpr int kAcceptErrorPauseMs = 100;

} // namespace

void CSslReactor::startAccepting(int v_iListenFd, const QHostAddress &v_oAddress, quint16 v_uiPort)
{
    post([this, v_iListenFd, v_oAddress, v_uiPort] {
        m_iListenFd = v_iListenFd;
        m_oListenAddress = v_oAddress;
        m_uiListenPort = v_uiPort;
        m_llAcceptResumeAt = 0;
        if (!watchListener(true))
            QTX_LOG(QTXLogger::Instance(), ERROR, "CSslListener::incomingConnection")
                << "cannot watch the listening socket: " << std::strerror(errno);
    });
}

void CSslReactor::stopAccepting()
{
    if (!m_oThread.joinable())
        return; // never started, or stopped: nothing of it watches the socket
    std::promise<void> oStopped;
    std::future<void> oDone = oStopped.get_future();
    post([this, &oStopped] {
        watchListener(false);
        m_iListenFd = -1;
        m_llAcceptResumeAt = 0;
        oStopped.set_value();
    });
    oDone.wait();
}

bool CSslReactor::watchListener(bool v_bWatch)
{
    if (m_iListenFd < 0 || m_bListenWatched == v_bWatch)
        return true;
    if (v_bWatch) {
        // Exclusive: an arrival wakes one I/O thread, not all of them.
        epoll_event oEvent{};
        oEvent.events = EPOLLIN | EPOLLEXCLUSIVE;
        oEvent.data.fd = m_iListenFd;
        if (::epoll_ctl(m_iEpoll, EPOLL_CTL_ADD, m_iListenFd, &oEvent) != 0)
            return false;
    } else {
        ::epoll_ctl(m_iEpoll, EPOLL_CTL_DEL, m_iListenFd, nullptr);
    }
    m_bListenWatched = v_bWatch;
    return true;
}

void CSslReactor::pauseAccepting(qint64 v_iNowMs, int v_iForMs)
{
    watchListener(false);
    m_llAcceptResumeAt = v_iNowMs + v_iForMs;
}

void CSslReactor::resumeAccepting(qint64 v_iNowMs)
{
    if (m_iListenFd < 0) {
        m_llAcceptResumeAt = 0;
        return;
    }
    if (m_poPool->saturated()) {
        m_llAcceptResumeAt = v_iNowMs + kSaturatedPauseMs;
        return;
    }
    m_llAcceptResumeAt = 0;
    watchListener(true);
}

void CSslReactor::acceptPending()
{
    // Stops at the cap and leaves the rest in the kernel's queue.
    for (int i = 0; i < kAcceptBatch; ++i) {
        if (m_poPool->saturated()) {
            pauseAccepting(nowMs(), kSaturatedPauseMs);
            return;
        }
        // The peer's address comes with the accept (no getpeername per connection).
        sockaddr_storage oPeer{};
        socklen_t uPeerLength = sizeof oPeer;
        const int iFd =
            ::accept4(m_iListenFd, reinterpret_cast<sockaddr *>(&oPeer), &uPeerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (iFd >= 0) {
            takeAccepted(iFd, oPeer);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return; // another I/O thread took it, or the queue is empty
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
            continue; // that client is gone; the next one may be there
        // Out of descriptors or memory: try again shortly instead of spinning.
        QTX_LOG(QTXLogger::Instance(), WARN, "CSslListener::incomingConnection")
            << "accept failed: " << std::strerror(errno);
        pauseAccepting(nowMs(), kAcceptErrorPauseMs);
        return;
    }
}

void CSslReactor::takeAccepted(int v_iFd, const sockaddr_storage &v_oPeer)
{
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslListener::incomingConnection") << "New connection";
    // A reply may leave in more than one TLS record; with Nagle's algorithm a later
    // record would wait for the client's delayed ACK.
    const int iOne = 1;
    ::setsockopt(v_iFd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof iOne);

    norrweb::HttpConnectionInfo oInfo;
    if (v_oPeer.ss_family == AF_INET || v_oPeer.ss_family == AF_INET6) {
        oInfo.peerAddress.setAddress(reinterpret_cast<const sockaddr *>(&v_oPeer));
        oInfo.peerPort = v_oPeer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&v_oPeer)->sin6_port)
                                                       : ntohs(reinterpret_cast<const sockaddr_in *>(&v_oPeer)->sin_port);
        // Every connection arrives on the listening socket's own address and port.
        oInfo.localAddress = m_oListenAddress;
        oInfo.localPort = m_uiListenPort;
    }
    // The kernel names the account that owns the client's socket, found by the
    // connection's exact four-tuple (one netlink request, answered from the
    // kernel's connection table); the caps per client and the permission checks
    // use it. The socket's inode comes along: the search for the process that
    // holds a root-owned client socket needs no second look-up.
    if (oInfo.peerPort != 0) {
        try {
            oInfo.clientUid = m_poProcessUtils->getUidAndInodeOfClient(
                ClientConnection{oInfo.peerAddress, oInfo.peerPort, oInfo.localAddress, oInfo.localPort},
                &oInfo.clientInode);
        } catch (const BaseException &) {
            oInfo.clientUid = -1; // logged by the platform layer
        }
    }
    const Admission eAdmission = m_poPool->countConnection(oInfo.clientUid);
    m_iConnectionCount.fetch_add(1, std::memory_order_relaxed);
    admit(v_iFd, oInfo, eAdmission, 0);
}

void CSslReactor::handOver(int v_iFd, const norrweb::HttpConnectionInfo &v_oInfo, Admission v_eAdmission,
                           int v_iTried)
{
    m_iConnectionCount.fetch_add(1, std::memory_order_relaxed);
    post([this, v_iFd, v_oInfo, v_eAdmission, v_iTried] { admit(v_iFd, v_oInfo, v_eAdmission, v_iTried); });
}

void CSslReactor::admit(int v_iFd, const norrweb::HttpConnectionInfo &v_oInfo, Admission v_eAdmission, int v_iTried)
{
    const char *pFunc = "CSslConnectionHandler::handleConnection";
    if (v_eAdmission != Admit && !evictOne(v_eAdmission == EvictSameClient ? v_oInfo.clientUid : -2)) {
        // None of this thread's connections may give way: another I/O thread's may.
        // Only over a cap, so the hop is rare.
        if (v_iTried + 1 < m_poPool->reactorCount()) {
            m_iConnectionCount.fetch_sub(1, std::memory_order_relaxed);
            m_poPool->reactorAfter(this)->handOver(v_iFd, v_oInfo, v_eAdmission, v_iTried + 1);
            return;
        }
        // Every connection is busy with a request: the server truly is at capacity.
        QTX_LOG(QTXLogger::Instance(), WARN, "CSslListener::incomingConnection")
            << "HTTP/1.1 503 - Too many incoming connections";
        (void)!::send(v_iFd, kTooManyConnections, sizeof kTooManyConnections - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(v_iFd, SHUT_WR);
        ::close(v_iFd);
        m_iConnectionCount.fetch_sub(1, std::memory_order_relaxed);
        m_poPool->connectionClosed(v_oInfo.clientUid);
        return;
    }
    QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "handle new connection";
    SSL *poSsl = m_poTls->hasCiphers() ? SSL_new(m_poTls->get()) : nullptr;
    if (!poSsl || SSL_set_fd(poSsl, v_iFd) != 1) {
        if (m_poTls->hasCiphers())
            QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "cannot initialize socket: " << sslErrorText();
        else
            QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "EnabledCipherList is empty";
        if (poSsl)
            SSL_free(poSsl);
        ::close(v_iFd);
        m_iConnectionCount.fetch_sub(1, std::memory_order_relaxed);
        m_poPool->connectionClosed(v_oInfo.clientUid);
        return;
    }
    reactor::noteShortReads(poSsl);
    const qint64 iNow = nowMs();
    auto poConnection = std::make_shared<CSslConnectionHandler>(v_iFd, poSsl, m_oLimits.http, v_oInfo, iNow);
    // The handshake gets the read time-out, counted from the accept.
    poConnection->m_llDeadline = iNow + m_oLimits.readTimeoutMs;
    epoll_event oEvent{};
    oEvent.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    oEvent.data.fd = v_iFd;
    if (::epoll_ctl(m_iEpoll, EPOLL_CTL_ADD, v_iFd, &oEvent) != 0) {
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "cannot initialize socket: " << std::strerror(errno);
        m_iConnectionCount.fetch_sub(1, std::memory_order_relaxed);
        m_poPool->connectionClosed(v_oInfo.clientUid);
        return; // the handler closes the descriptor
    }
    m_oConnections.insert(v_iFd, poConnection);
    // The client's first flight may already be waiting.
    handshake(poConnection);
}

bool CSslReactor::evictOne(qint64 v_iUid)
{
    // Who may give way, in this order, the one waiting longest first within each:
    // a connection that is closing; one idle between requests (it had its
    // chance); one that has not sent a byte; a handshake or request that has
    // lasted over a second (no browser needs that long here). A younger
    // handshake or request, or one being served, is not cut for a newcomer: the
    // newcomer is refused instead. The order keeps a new client whose first
    // bytes are still on their way from being cut for a flood of idle ones.
    constexpr qint64 kYoungMs = 1000;
    constexpr int kNotEvictable = 4;
    const qint64 iNow = nowMs();
    CSslConnectionHandler *poChosen = nullptr;
    int iChosenRank = kNotEvictable;
    for (const Connection &poConnection : m_oConnections.all()) {
        if (!poConnection)
            continue;
        CSslConnectionHandler &oConnection = *poConnection;
        if (v_iUid != -2 && oConnection.uid() != v_iUid)
            continue;
        const qint64 iAge = iNow - oConnection.m_llLastActivity;
        int iRank = kNotEvictable;
        switch (oConnection.m_ePhase) {
        case CSslConnectionHandler::Lingering:
            iRank = 0;
            break;
        case CSslConnectionHandler::Reading:
            iRank = oConnection.m_oHttp.betweenRequests() ? 1 : (iAge >= kYoungMs ? 3 : kNotEvictable);
            break;
        case CSslConnectionHandler::Handshake:
            iRank = BIO_number_read(SSL_get_rbio(oConnection.m_poSsl)) == 0 ? 2 : (iAge >= kYoungMs ? 3 : kNotEvictable);
            break;
        default:
            break;
        }
        if (iRank < iChosenRank
            || (iRank == iChosenRank && iRank < kNotEvictable && oConnection.m_llLastActivity < poChosen->m_llLastActivity)) {
            poChosen = &oConnection;
            iChosenRank = iRank;
        }
    }
    if (!poChosen)
        return false;
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandlerPool::getConnectionHandler")
        << "connection limit reached, closing the longest idle connection";
    closeNow(*poChosen);
    return true;
}

