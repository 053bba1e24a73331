#include "csslreactor.h"
#include "csslreactor_p.h"

#include "csslconnectionhandler.h"
#include "csslconnectionhandlerpool.h"
#include "processutils.h"
#include "qtxafterturn.h"
#include "qtxlogger.h"
#include "qtxlogsink.h"
#include "qtxthreadcheck.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <errno.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

// The I/O thread's loop and its connections: tasks from other threads, the TLS
// handshake, reading and parsing, serving inline or handing to a worker,
// writing the reply, deadlines and closing. Accepting and the caps are in
// csslreactor_accept.cpp.

namespace {

// How often deadlines are checked; a deadline is met within this much.
constexpr int kSweepMs = 250;
// Bytes read ahead of the parser; more wait in the kernel until it catches up.
constexpr int kReadChunk = 16384;
constexpr int kMaxInputAhead = 65536;
// Requests of one connection answered on the I/O thread per wake-up.
constexpr int kInlineBudget = 8;
// A connection idle this long gives back OpenSSL's buffers (about 34 KB); a
// busy one keeps them instead of allocating them again for every request.
constexpr qint64 kIdleBuffersMs = 1000;

// Set by the socket BIO's callback when a read from the kernel returned less
// than it asked for: the socket was empty then, and edge-triggered epoll
// reports whatever arrives later. The reactor then needs no further read that
// would only find nothing (EAGAIN).
thread_local bool t_socketDrained = false;

long noteShortRead(BIO *, int v_iOper, const char *, size_t v_ulLength, int, long, int v_iReturn,
                   size_t *v_pulProcessed)
{
    if (v_iOper == (BIO_CB_READ | BIO_CB_RETURN))
        t_socketDrained = v_iReturn <= 0 || (v_pulProcessed && *v_pulProcessed < v_ulLength);
    return v_iReturn;
}

} // namespace

void reactor::noteShortReads(SSL *v_poSsl)
{
    BIO_set_callback_ex(SSL_get_rbio(v_poSsl), noteShortRead);
}

using reactor::nowMs;
using reactor::sslErrorText;

CSslReactor::CSslReactor(CSslConnectionHandlerPool *v_poPool, std::shared_ptr<CTlsContext> v_poTls,
                         const CTransportLimits &v_oLimits)
    : m_poPool(v_poPool)
    , m_poTls(std::move(v_poTls))
    , m_oLimits(v_oLimits)
    , m_poProcessUtils(createProcessUtils())
{
    m_iEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_iWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event oEvent{};
    oEvent.events = EPOLLIN;
    oEvent.data.fd = m_iWakeFd;
    ::epoll_ctl(m_iEpoll, EPOLL_CTL_ADD, m_iWakeFd, &oEvent);
}

CSslReactor::~CSslReactor()
{
    stop();
    if (m_iWakeFd >= 0)
        ::close(m_iWakeFd);
    if (m_iEpoll >= 0)
        ::close(m_iEpoll);
}

void CSslReactor::start()
{
    m_oThread = std::thread([this] {
        pthread_setname_np(pthread_self(), "qtx-io"); // seen in top -H, gdb and perf
        qtxthread::markIoThread();
        run();
    });
}

void CSslReactor::stop()
{
    if (!m_oThread.joinable())
        return;
    m_bStopping.store(true, std::memory_order_release);
    const quint64 uOne = 1;
    (void)!::write(m_iWakeFd, &uOne, sizeof uOne);
    m_oThread.join();
}

void CSslReactor::post(std::function<void()> v_oTask)
{
    bool bWake;
    {
        std::lock_guard<std::mutex> oGuard(m_oTaskMutex);
        bWake = m_oTasks.empty();
        m_oTasks.push_back(std::move(v_oTask));
    }
    if (bWake) {
        const quint64 uOne = 1;
        (void)!::write(m_iWakeFd, &uOne, sizeof uOne);
    }
}

void CSslReactor::completeRequest(const std::shared_ptr<CSslConnectionHandler> &v_poConnection, QByteArray v_oReply,
                                  bool v_bClose)
{
    post([this, v_poConnection, v_oReply, v_bClose]() mutable {
        deliverReply(v_poConnection, std::move(v_oReply), v_bClose);
    });
}

void CSslReactor::deliverReply(const Connection &v_poConnection, QByteArray v_oReply, bool v_bClose)
{
    CSslConnectionHandler &oConnection = *v_poConnection;
    if (oConnection.m_ePhase != CSslConnectionHandler::Processing) {
        oConnection.m_oHttp.abandon();
        return; // the connection ended meanwhile
    }
    oConnection.m_ePhase = CSslConnectionHandler::Writing;
    oConnection.m_oHttp.reply(std::move(v_oReply), v_bClose || oConnection.m_bPeerClosed);
    oConnection.m_llDeadline = nowMs() + m_oLimits.writeTimeoutMs;
    flushOutput(v_poConnection);
}

void CSslReactor::run()
{
    std::vector<epoll_event> oEvents(256);
    m_llNextSweep = nowMs() + kSweepMs;
    while (!m_bStopping.load(std::memory_order_acquire)) {
        const qint64 iWake = m_llAcceptResumeAt ? qMin(m_llNextSweep, m_llAcceptResumeAt) : m_llNextSweep;
        const int iTimeout = int(qBound<qint64>(0, iWake - nowMs(), kSweepMs));
        const int iCount = ::epoll_wait(m_iEpoll, oEvents.data(), int(oEvents.size()), iTimeout);
        // The turn's log lines go to the writer's queue together when it ends.
        QtxLogBatch oLogBatch;
        for (int i = 0; i < iCount; ++i) {
            const int iFd = oEvents[size_t(i)].data.fd;
            if (iFd == m_iWakeFd) {
                quint64 uValue;
                (void)!::read(m_iWakeFd, &uValue, sizeof uValue);
                continue;
            }
            if (iFd == m_iListenFd) {
                if (m_bListenWatched) // not paused earlier in this turn
                    acceptPending();
                continue;
            }
            if (const Connection *poFound = m_oConnections.find(iFd)) {
                const Connection poConnection = *poFound; // keeps it alive through the call
                onEvent(poConnection, oEvents[size_t(i)].events);
            }
        }
        runTasks();
        const qint64 iNow = nowMs();
        if (m_llAcceptResumeAt && iNow >= m_llAcceptResumeAt)
            resumeAccepting(iNow);
        if (iNow >= m_llNextSweep) {
            sweep(iNow);
            m_llNextSweep = iNow + kSweepMs;
        }
    }
    runTasks();
    // Shutting down: every connection ends now.
    std::vector<Connection> oAll;
    oAll.reserve(m_oConnections.size());
    for (const Connection &poConnection : m_oConnections.all()) {
        if (poConnection)
            oAll.push_back(poConnection);
    }
    for (const Connection &poConnection : oAll)
        closeNow(*poConnection);
}

void CSslReactor::runTasks()
{
    std::vector<std::function<void()>> oTasks;
    {
        std::lock_guard<std::mutex> oGuard(m_oTaskMutex);
        oTasks.swap(m_oTasks);
    }
    for (auto &oTask : oTasks)
        oTask();
}

void CSslReactor::onEvent(const Connection &v_poConnection, unsigned v_uiEvents)
{
    CSslConnectionHandler &oConnection = *v_poConnection;
    if (v_uiEvents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        oConnection.m_bPeerClosed = true;
    switch (oConnection.m_ePhase) {
    case CSslConnectionHandler::Handshake:
        handshake(v_poConnection);
        break;
    case CSslConnectionHandler::Reading:
        serve(v_poConnection);
        break;
    case CSslConnectionHandler::Processing:
        // Bytes wait in the kernel until the reply is out. A client that went away
        // entirely is noticed when the reply is written.
        break;
    case CSslConnectionHandler::Writing:
        if (v_uiEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP))
            flushOutput(v_poConnection);
        break;
    case CSslConnectionHandler::Lingering:
        drainLinger(oConnection);
        break;
    case CSslConnectionHandler::Closed:
        break;
    }
}

void CSslReactor::handshake(const Connection &v_poConnection)
{
    CSslConnectionHandler &oConnection = *v_poConnection;
    ERR_clear_error();
    const int iResult = SSL_accept(oConnection.m_poSsl);
    if (iResult == 1) {
        oConnection.m_ePhase = CSslConnectionHandler::Reading;
        setWriteInterest(oConnection, false);
        const qint64 iNow = nowMs();
        oConnection.m_llLastActivity = iNow;
        oConnection.m_llDeadline = iNow + m_oLimits.readTimeoutMs;
        // A request sent together with the client's Finished is already here.
        serve(v_poConnection);
        // Nothing came with it: the buffers go back until the client speaks, so
        // that connections which only shake hands do not hold them.
        if (oConnection.m_ePhase == CSslConnectionHandler::Reading && oConnection.m_oHttp.betweenRequests()
            && oConnection.m_oHttp.input().bytesAvailable() == 0)
            releaseSslBuffers(oConnection);
        return;
    }
    const int iError = SSL_get_error(oConnection.m_poSsl, iResult);
    if (iError == SSL_ERROR_WANT_READ) {
        setWriteInterest(oConnection, false);
        if (oConnection.m_bPeerClosed)
            closeNow(oConnection);
        return;
    }
    if (iError == SSL_ERROR_WANT_WRITE) {
        setWriteInterest(oConnection, true);
        return;
    }
    if (iError == SSL_ERROR_SSL)
        QTX_LOG(QTXLogger::Instance(), WARN, "CSslConnectionHandler::sslErrors") << "SslError: " << sslErrorText();
    else
        ERR_clear_error();
    closeNow(oConnection);
}

void CSslReactor::serve(const Connection &v_poConnection)
{
    CSslConnectionHandler &oConnection = *v_poConnection;
    oConnection.m_bSslBuffersHeld = true;
    m_iInlineBudget = kInlineBudget;
    // Read what the parser can take, parse, and again while the parser makes room
    // (a body larger than the read-ahead, or pipelined requests).
    for (;;) {
        // Reading, parsing and answering here do not wait: the lines they log
        // share a reading of the clock, taken again for each request.
        QtxLogStamp oLogStamp;
        const bool bOpen = readAvailable(oConnection);
        if (oConnection.m_ePhase == CSslConnectionHandler::Closed)
            return;
        if (!parseInput(v_poConnection) || oConnection.m_ePhase != CSslConnectionHandler::Reading)
            return;
        if (!bOpen) {
            // The client closed its side; a partial request is dropped.
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::disconnected") << "disconnected";
            closeGracefully(oConnection);
            return;
        }
        if (!oConnection.m_bReadPaused) {
            // Part of a request, and the rest still on its way: a slow client
            // holds no buffers while it dawdles (a busy one, between requests,
            // keeps them).
            if (!oConnection.m_oHttp.betweenRequests() || oConnection.m_oHttp.input().bytesAvailable() > 0)
                releaseSslBuffers(oConnection);
            return;
        }
    }
}

bool CSslReactor::readAvailable(CSslConnectionHandler &v_oConnection)
{
    // Returns false once the client has closed its side.
    v_oConnection.m_bReadPaused = false;
    norrweb::HttpInputBuffer &oInput = v_oConnection.m_oHttp.input();
    bool bLogged = false;
    for (;;) {
        if (oInput.bytesAvailable() >= kMaxInputAhead) {
            v_oConnection.m_bReadPaused = true;
            return true;
        }
        char *pTarget = oInput.reserve(kReadChunk);
        ERR_clear_error();
        t_socketDrained = false;
        const int iRead = SSL_read(v_oConnection.m_poSsl, pTarget, kReadChunk);
        if (iRead > 0) {
            oInput.commit(iRead);
            if (!bLogged) {
                QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandler::read") << "read input";
                bLogged = true;
            }
            // The kernel had no more and OpenSSL holds none: as drained as WANT_READ.
            if (t_socketDrained && !SSL_has_pending(v_oConnection.m_poSsl))
                return !v_oConnection.m_bPeerClosed;
            continue;
        }
        oInput.commit(0);
        const int iError = SSL_get_error(v_oConnection.m_poSsl, iRead);
        if (iError == SSL_ERROR_WANT_READ || iError == SSL_ERROR_WANT_WRITE) {
            // Drained. After the client shut down its side nothing more will come.
            return !v_oConnection.m_bPeerClosed;
        }
        if (iError == SSL_ERROR_SSL) {
            QTX_LOG(QTXLogger::Instance(), WARN, "CSslConnectionHandler::sslErrors") << "SslError: " << sslErrorText();
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::disconnected") << "disconnected";
            closeNow(v_oConnection);
            return false;
        }
        if (iError == SSL_ERROR_SYSCALL && errno != 0 && errno != EPIPE && errno != ECONNRESET)
            QTX_LOG(QTXLogger::Instance(), WARN, "CSslConnectionHandler::error") << "SocketError=" << errno;
        // close_notify, or the end of the stream without it: what is buffered is
        // still parsed, then the connection ends.
        ERR_clear_error();
        return false;
    }
}

bool CSslReactor::parseInput(const Connection &v_poConnection)
{
    // Returns false when the connection left the reading phase or has no bytes left.
    CSslConnectionHandler &oConnection = *v_poConnection;
    norrweb::HttpExchange &oHttp = oConnection.m_oHttp;
    while (oConnection.m_ePhase == CSslConnectionHandler::Reading) {
        if (oHttp.betweenRequests() && oHttp.input().bytesAvailable() > 0) {
            // A request must arrive whole within its own time; more bytes do not extend it.
            const qint64 iNow = nowMs();
            oConnection.m_llLastActivity = iNow;
            oConnection.m_llDeadline = iNow + m_oLimits.requestTimeoutMs;
            QtxLogStamp::Refresh();
        }
        switch (oHttp.parse()) {
        case norrweb::HttpExchange::NeedInput:
            if (oHttp.hasOutput()) // 100 Continue: the client waits for it
                flushOutput(v_poConnection);
            return oConnection.m_ePhase == CSslConnectionHandler::Reading;
        case norrweb::HttpExchange::Refused:
            oConnection.m_ePhase = CSslConnectionHandler::Writing;
            oConnection.m_llDeadline = nowMs() + m_oLimits.writeTimeoutMs;
            flushOutput(v_poConnection);
            return false;
        case norrweb::HttpExchange::RequestReady:
            break;
        }
        oConnection.m_ePhase = CSslConnectionHandler::Processing;
        oConnection.m_llLastActivity = nowMs();
        // A few cheap requests per wake-up are answered here; the rest, and
        // anything that may block, go to a request worker, so that one client
        // pipelining requests cannot hold this thread.
        QByteArray oReply;
        bool bClose = false;
        // A job the request starts wakes its thread once the reply is written.
        QtxAfterTurn oAfterReply;
        if (m_iInlineBudget > 0 && m_poPool->serveInline(oConnection, oReply, bClose)) {
            --m_iInlineBudget;
            m_bServingInline = true;
            deliverReply(v_poConnection, std::move(oReply), bClose);
            m_bServingInline = false;
            continue; // back in Reading when the reply went out whole
        }
        m_poPool->dispatch(v_poConnection, this);
        return false;
    }
    return false;
}

void CSslReactor::flushOutput(const Connection &v_poConnection)
{
    CSslConnectionHandler &oConnection = *v_poConnection;
    norrweb::HttpExchange &oHttp = oConnection.m_oHttp;
    while (oHttp.hasOutput()) {
        ERR_clear_error();
        const int iWritten = SSL_write(oConnection.m_poSsl, oHttp.outputData(), oHttp.outputSize());
        if (iWritten > 0) {
            oHttp.sent(iWritten);
            continue;
        }
        const int iError = SSL_get_error(oConnection.m_poSsl, iWritten);
        if (iError == SSL_ERROR_WANT_WRITE || iError == SSL_ERROR_WANT_READ) {
            setWriteInterest(oConnection, true);
            return;
        }
        ERR_clear_error();
        // The client is gone.
        QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::disconnected") << "disconnected";
        closeNow(oConnection);
        return;
    }
    setWriteInterest(oConnection, false);
    if (oConnection.m_ePhase == CSslConnectionHandler::Writing)
        finishReply(v_poConnection);
}

void CSslReactor::finishReply(const Connection &v_poConnection)
{
    CSslConnectionHandler &oConnection = *v_poConnection;
    if (oConnection.m_oHttp.closeAfterOutput()) {
        closeGracefully(oConnection);
        return;
    }
    oConnection.m_ePhase = CSslConnectionHandler::Reading;
    const qint64 iNow = nowMs();
    oConnection.m_llLastActivity = iNow;
    oConnection.m_llDeadline = iNow + m_oLimits.readTimeoutMs;
    // Pipelined requests may be buffered already, here or in the kernel. After a
    // reply served on this thread, the parsing loop that served it goes on.
    if (!m_bServingInline)
        serve(v_poConnection);
}

void CSslReactor::releaseSslBuffers(CSslConnectionHandler &v_oConnection)
{
    v_oConnection.m_bSslBuffersHeld = SSL_free_buffers(v_oConnection.m_poSsl) != 1;
}

void CSslReactor::closeGracefully(CSslConnectionHandler &v_oConnection)
{
    // close_notify, then our half of TCP; the client's remaining bytes are read and
    // dropped for a moment, so that closing does not reset the connection under a
    // reply the client has not read yet.
    v_oConnection.m_oHttp.abandon();
    ERR_clear_error();
    SSL_shutdown(v_oConnection.m_poSsl);
    ERR_clear_error();
    if (::shutdown(v_oConnection.m_iFd, SHUT_WR) != 0 && errno == ENOTCONN) {
        // The client has reset the connection already: nothing left to read or to shut.
        closeNow(v_oConnection, false);
        return;
    }
    v_oConnection.m_ePhase = CSslConnectionHandler::Lingering;
    v_oConnection.m_llDeadline = nowMs() + m_oLimits.lingerMs;
    setWriteInterest(v_oConnection, false);
    drainLinger(v_oConnection);
}

void CSslReactor::drainLinger(CSslConnectionHandler &v_oConnection)
{
    char aScratch[4096];
    for (;;) {
        const ssize_t iRead = ::recv(v_oConnection.m_iFd, aScratch, sizeof aScratch, MSG_DONTWAIT);
        if (iRead > 0)
            continue;
        if (iRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        closeNow(v_oConnection);
        return;
    }
}

void CSslReactor::closeNow(CSslConnectionHandler &v_oConnection, bool v_bShutDown)
{
    if (v_oConnection.m_ePhase == CSslConnectionHandler::Closed)
        return;
    const bool bServing = v_oConnection.m_ePhase == CSslConnectionHandler::Processing;
    v_oConnection.m_ePhase = CSslConnectionHandler::Closed;
    ::epoll_ctl(m_iEpoll, EPOLL_CTL_DEL, v_oConnection.m_iFd, nullptr);
    // Shut down at once; the descriptor itself goes with the handler object, which
    // a request worker may still hold.
    if (v_bShutDown)
        ::shutdown(v_oConnection.m_iFd, SHUT_RDWR);
    if (!bServing) // a request worker may still read the request
        v_oConnection.m_oHttp.abandon();
    const int iFd = v_oConnection.m_iFd;
    const qint64 iUid = v_oConnection.uid();
    m_iConnectionCount.fetch_sub(1, std::memory_order_relaxed);
    m_poPool->connectionClosed(iUid);
    m_oConnections.erase(iFd); // may destroy the handler: nothing of it is used after this
}

void CSslReactor::setWriteInterest(CSslConnectionHandler &v_oConnection, bool v_bWrite)
{
    if (v_oConnection.m_bWriteArmed == v_bWrite || v_oConnection.m_ePhase == CSslConnectionHandler::Closed)
        return;
    epoll_event oEvent{};
    oEvent.events = EPOLLIN | EPOLLRDHUP | EPOLLET | (v_bWrite ? EPOLLOUT : 0u);
    oEvent.data.fd = v_oConnection.m_iFd;
    ::epoll_ctl(m_iEpoll, EPOLL_CTL_MOD, v_oConnection.m_iFd, &oEvent);
    v_oConnection.m_bWriteArmed = v_bWrite;
}

void CSslReactor::sweep(qint64 v_iNowMs)
{
    std::vector<Connection> oExpired;
    for (const Connection &poConnection : m_oConnections.all()) {
        if (!poConnection)
            continue;
        CSslConnectionHandler &oConnection = *poConnection;
        if (oConnection.m_ePhase != CSslConnectionHandler::Processing && oConnection.m_llDeadline <= v_iNowMs)
            oExpired.push_back(poConnection);
        else if (oConnection.m_bSslBuffersHeld && oConnection.m_ePhase == CSslConnectionHandler::Reading
                 && v_iNowMs - oConnection.m_llLastActivity >= kIdleBuffersMs)
            releaseSslBuffers(oConnection);
    }
    for (const Connection &poConnection : oExpired) {
        CSslConnectionHandler &oConnection = *poConnection;
        switch (oConnection.m_ePhase) {
        case CSslConnectionHandler::Handshake:
        case CSslConnectionHandler::Reading:
            // No reply: the client did not finish what it started in time.
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::readTimeout") << "read timeout occurred";
            if (oConnection.m_ePhase == CSslConnectionHandler::Reading)
                closeGracefully(oConnection);
            else
                closeNow(oConnection);
            break;
        case CSslConnectionHandler::Writing:
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandler::writeTimeout")
                << "write timeout occurred";
            closeNow(oConnection);
            break;
        default:
            closeNow(oConnection);
            break;
        }
    }
}
