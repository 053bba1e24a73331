#include "qtxlogsink.h"
#include "qtxthreadcheck.h"

#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// The sinks and their routes, the per-thread batches, the queue between the
// threads that log and the writer thread, the writer's loop and the fatal-signal
// path. The line's text is made in qtxlogformat.cpp, the file written in
// qtxlogfile.cpp.

namespace {

// ---------------------------------------------------------------------------
// Registry of sinks and of the categories routed to them. Fixed arrays of
// atomics: read without locks by every line and by the signal handler.

constexpr std::size_t kMaxSinks = 64;
QtxLogSink *g_sinks[kMaxSinks];
std::atomic<std::size_t> g_sinkCount{0};
std::mutex g_registryMutex;

struct Route
{
    std::atomic<const log4cpp::Category *> category{nullptr};
    std::atomic<QtxLogSink *> sink{nullptr};
};
constexpr std::size_t kMaxRoutes = 8;
Route g_routes[kMaxRoutes];

void registerSink(QtxLogSink *v_poSink)
{
    std::lock_guard<std::mutex> oGuard(g_registryMutex);
    const std::size_t uiCount = g_sinkCount.load(std::memory_order_relaxed);
    if (uiCount < kMaxSinks) {
        g_sinks[uiCount] = v_poSink;
        g_sinkCount.store(uiCount + 1, std::memory_order_release);
    }
}

void setRoute(const log4cpp::Category *v_poCategory, QtxLogSink *v_poSink)
{
    std::lock_guard<std::mutex> oGuard(g_registryMutex);
    Route *poFree = nullptr;
    for (Route &oRoute : g_routes) {
        const log4cpp::Category *poCategory = oRoute.category.load(std::memory_order_relaxed);
        if (poCategory == v_poCategory) {
            oRoute.sink.store(v_poSink, std::memory_order_release);
            return;
        }
        if (!poCategory && !poFree)
            poFree = &oRoute;
    }
    if (poFree) {
        poFree->sink.store(v_poSink, std::memory_order_release);
        poFree->category.store(v_poCategory, std::memory_order_release);
    }
}

void dropRoutesTo(QtxLogSink *v_poSink)
{
    std::lock_guard<std::mutex> oGuard(g_registryMutex);
    for (Route &oRoute : g_routes) {
        if (oRoute.sink.load(std::memory_order_relaxed) == v_poSink) {
            oRoute.category.store(nullptr, std::memory_order_release);
            oRoute.sink.store(nullptr, std::memory_order_release);
        }
    }
}

} // namespace

QtxLogSink *qtxLogRouteFor(const log4cpp::Category *v_poCategory)
{
    for (const Route &oRoute : g_routes) {
        if (oRoute.category.load(std::memory_order_acquire) == v_poCategory)
            return oRoute.sink.load(std::memory_order_acquire);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------

QtxLogSink *const *QtxLogSink::All(std::size_t &v_uiCount)
{
    v_uiCount = g_sinkCount.load(std::memory_order_acquire);
    return g_sinks;
}

QtxLogSink::QtxLogSink(const std::string &v_oFileName, std::size_t v_uiMaxFileSize, unsigned int v_uiMaxBackupIndex,
                       mode_t v_uiMode)
    : m_oFileName(v_oFileName)
    , m_ulMaxFileSize(v_uiMaxFileSize)
    , m_uiMaxBackupIndex(v_uiMaxBackupIndex)
    , m_uiMode(v_uiMode)
{
    // Every thread that logs takes the queue's lock for a few dozen bytes of
    // copying; with several I/O threads logging each request it is contended
    // all the time. An adaptive lock spins that long instead of sleeping in
    // the kernel and waking the holder's successor with a futex call.
    pthread_mutexattr_t oAttr;
    if (pthread_mutexattr_init(&oAttr) == 0) {
        if (pthread_mutexattr_settype(&oAttr, PTHREAD_MUTEX_ADAPTIVE_NP) == 0) {
            pthread_mutex_destroy(m_oMutex.native_handle());
            pthread_mutex_init(m_oMutex.native_handle(), &oAttr);
        }
        pthread_mutexattr_destroy(&oAttr);
    }
    m_oFront.reserve(kQueueLimit);
    {
        std::lock_guard<std::mutex> oGuard(m_oFileMutex);
        EnsureOpen();
        NarrowBackups();
    }
    m_oWriter = std::thread([this] {
        // Named for top -H, gdb and /proc/<pid>/task/*/comm.
        pthread_setname_np(pthread_self(), "qtx-log");
        // Writing lines can wait, a reply cannot: at a lower priority the writer
        // runs on a free core instead of taking one from an I/O thread with a
        // request in hand. It cannot fall behind for good, because a full queue
        // makes the threads that log wait for it. Only this thread is lowered.
        const id_t uiThread = static_cast<id_t>(::syscall(SYS_gettid));
        errno = 0;
        const int iNice = getpriority(PRIO_PROCESS, uiThread);
        if (errno == 0)
            (void)setpriority(PRIO_PROCESS, uiThread, std::min(19, iNice + kWriterNice));
        Run();
    });
    registerSink(this);
}

namespace {

// The calling thread's QtxLogBatch: the lines gathered so far, for one sink.
struct ThreadBatch
{
    QtxLogSink *sink = nullptr;
    std::string text;
    std::uint64_t lines = 0;
    unsigned depth = 0;
    // Set while text changes, so that a fatal signal does not read it half-grown.
    volatile std::sig_atomic_t changing = 0;
};
thread_local ThreadBatch t_batch;

} // namespace

QtxLogBatch::QtxLogBatch()
{
    ++t_batch.depth;
}

QtxLogBatch::~QtxLogBatch()
{
    ThreadBatch &oBatch = t_batch;
    if (--oBatch.depth == 0 && oBatch.lines != 0)
        oBatch.sink->QueueThreadBatch();
}

bool QtxLogSink::Submit(const char *v_pPrefix, std::size_t v_uiPrefixSize, const char *v_pMessage,
                        std::size_t v_uiMessageSize)
{
    ThreadBatch &oBatch = t_batch;
    if (oBatch.depth != 0 && (oBatch.sink == this || oBatch.lines == 0)) {
        oBatch.sink = this;
        oBatch.changing = 1;
        oBatch.text.append(v_pPrefix, v_uiPrefixSize);
        if (qtxLogNeedsEscape(v_pMessage, v_uiMessageSize))
            qtxLogEscape(v_pMessage, v_uiMessageSize, oBatch.text);
        else
            oBatch.text.append(v_pMessage, v_uiMessageSize);
        oBatch.text.push_back('\n');
        oBatch.changing = 0;
        ++oBatch.lines;
        if (oBatch.text.size() >= QtxLogBatch::kBatchBytes)
            QueueThreadBatch();
        return true;
    }
    // Escaped before the lock: callers do not wait for each other's text.
    std::string oEscaped;
    if (qtxLogNeedsEscape(v_pMessage, v_uiMessageSize)) {
        qtxLogEscape(v_pMessage, v_uiMessageSize, oEscaped);
        v_pMessage = oEscaped.data();
        v_uiMessageSize = oEscaped.size();
    }
    return Enqueue(v_pPrefix, v_uiPrefixSize, v_pMessage, v_uiMessageSize, true, 1);
}

bool QtxLogSink::Enqueue(const char *v_pFirst, std::size_t v_uiFirst, const char *v_pSecond, std::size_t v_uiSecond,
                         bool v_bNewline, std::uint64_t v_uiLines)
{
    const std::size_t uiSize = v_uiFirst + v_uiSecond + (v_bNewline ? 1 : 0);
    bool bWake = false;
    {
        std::unique_lock<std::mutex> oLock(m_oMutex);
        if (m_oFront.size() + uiSize > kQueueLimit && !m_oFront.empty() && !m_bRetired) {
            // Full: wait while the writer makes room; give up if it is stuck.
            // An I/O thread never waits: its lines are dropped and counted, and
            // the writer reports the count as for a stuck writer.
            if (!m_bStalled) {
                const auto oDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFullWaitMs);
                if ((m_bWriterWaiting || m_bGathering) && !m_bWakePending) {
                    m_bWakePending = true;
                    m_oWake.notify_one();
                }
                while (!qtxthread::onIoThread() && m_oFront.size() + uiSize > kQueueLimit && !m_oFront.empty() && !m_bRetired) {
                    if (m_oProgress.wait_until(oLock, oDeadline) == std::cv_status::timeout) {
                        m_bStalled = m_oFront.size() + uiSize > kQueueLimit && !m_oFront.empty();
                        break;
                    }
                }
            }
            if (m_oFront.size() + uiSize > kQueueLimit && !m_oFront.empty()) {
                m_ulDropped += v_uiLines;
                m_ulDroppedTotal.fetch_add(v_uiLines, std::memory_order_relaxed);
                return false;
            }
        }
        if (m_bRetired) {
            m_ulDroppedTotal.fetch_add(v_uiLines, std::memory_order_relaxed);
            return false;
        }
        m_oFront.append(v_pFirst, v_uiFirst);
        m_oFront.append(v_pSecond, v_uiSecond);
        if (v_bNewline)
            m_oFront.push_back('\n');
        m_ulQueued += v_uiLines;
        if ((m_bWriterWaiting || (m_bGathering && m_oFront.size() >= kGatherBytes)) && !m_bWakePending) {
            m_bWakePending = true;
            bWake = true;
        }
    }
    if (bWake)
        m_oWake.notify_one();
    return true;
}

void QtxLogSink::QueueThreadBatch()
{
    ThreadBatch &oBatch = t_batch;
    if (oBatch.sink != this || oBatch.lines == 0)
        return;
    const std::uint64_t uiLines = oBatch.lines;
    oBatch.lines = 0;
    oBatch.sink = nullptr;
    Enqueue(oBatch.text.data(), oBatch.text.size(), nullptr, 0, false, uiLines);
    oBatch.changing = 1;
    if (oBatch.text.capacity() > 4 * QtxLogBatch::kBatchBytes)
        std::string().swap(oBatch.text); // a giant line's memory goes back
    else
        oBatch.text.clear();
    oBatch.changing = 0;
}

bool QtxLogSink::Flush(int v_iTimeoutMs)
{
    QueueThreadBatch();
    std::unique_lock<std::mutex> oLock(m_oMutex);
    const std::uint64_t uiTarget = m_ulQueued;
    if (m_ulWritten >= uiTarget && m_ulDropped == 0)
        return true;
    ++m_ulFlushRequests; // ends a gathering pause at once
    if ((m_bWriterWaiting || m_bGathering) && !m_bWakePending) {
        m_bWakePending = true;
        m_oWake.notify_one();
    }
    return m_oProgress.wait_for(oLock, std::chrono::milliseconds(v_iTimeoutMs),
                               [&] { return m_ulWritten >= uiTarget; });
}

void QtxLogSink::CloseFile()
{
    Flush();
    std::lock_guard<std::mutex> oGuard(m_oFileMutex);
    const int iFd = m_iFd.exchange(-1);
    if (iFd >= 0)
        ::close(iFd);
}

void QtxLogSink::Retire()
{
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        if (m_bRetired)
            return;
        m_bRetired = true; // the queue takes no more lines; what it holds is still written
        m_bStop = true;
        m_bWakePending = true;
    }
    m_oWake.notify_one();
    if (m_oWriter.joinable() && m_oWriter.get_id() != std::this_thread::get_id())
        m_oWriter.join();
    std::lock_guard<std::mutex> oGuard(m_oFileMutex);
    const int iFd = m_iFd.exchange(-1);
    if (iFd >= 0)
        ::close(iFd);
}

void QtxLogSink::Run()
{
    m_oWriterThread.store(pthread_self());
    std::string oBatch;
    oBatch.reserve(kQueueLimit);
    std::uint64_t uiFlushSeen = 0;
    std::unique_lock<std::mutex> oLock(m_oMutex);
    for (;;) {
        while (m_oFront.empty() && m_ulDropped == 0 && !m_bStop) {
            m_bWriterWaiting = true;
            m_oWake.wait(oLock);
            m_bWriterWaiting = false;
            m_bWakePending = false;
        }
        if (m_oFront.empty() && m_ulDropped == 0 && m_bStop)
            break;
        if (!m_bStop && m_oFront.size() < kGatherBytes && m_ulFlushRequests == uiFlushSeen) {
            m_bGathering = true;
            m_oWake.wait_for(oLock, std::chrono::milliseconds(kGatherMs), [&] {
                return m_bStop || m_oFront.size() >= kGatherBytes || m_ulFlushRequests != uiFlushSeen;
            });
            m_bGathering = false;
            m_bWakePending = false;
        }
        // Paired with WriteFromSignal, before the queue is taken: either it sees
        // this batch being written and waits for it, or this thread sees the
        // fatal flag and leaves the queue where the signal path writes it.
        m_bWriting.store(true);
        if (m_bFatal.load()) {
            m_bWriting.store(false);
            for (;;)
                m_oWake.wait(oLock); // the process is ending
        }
        uiFlushSeen = m_ulFlushRequests;
        oBatch.swap(m_oFront);
        const std::uint64_t uiQueued = m_ulQueued;
        const std::uint64_t uiDropped = m_ulDropped;
        m_ulDropped = 0;
        oLock.unlock();

        WriteBatch(oBatch, uiDropped);
        m_bWriting.store(false, std::memory_order_release);
        if (oBatch.capacity() > 2 * kQueueLimit) {
            std::string().swap(oBatch); // a giant line's memory goes back
            oBatch.reserve(kQueueLimit);
        } else {
            oBatch.clear();
        }

        oLock.lock();
        m_ulWritten = uiQueued;
        m_bStalled = false;
        m_oProgress.notify_all();
    }
    m_ulWritten = m_ulQueued;
    m_oProgress.notify_all();
}

void QtxLogSink::WriteFromSignal(const char *v_pLine, std::size_t v_uiSize)
{
    // Let a batch in progress finish first (unless this very thread was writing
    // it); a busy machine may need a while, a stuck file must not hang the exit.
    m_bFatal.store(true);
    const bool bOnWriter = pthread_equal(m_oWriterThread.load(), pthread_self());
    for (int i = 0; i < 5000 && !bOnWriter && m_bWriting.load(); ++i) {
        struct timespec oPause = {0, 1000000};
        nanosleep(&oPause, nullptr);
    }
    int iFd = m_iFd.load(std::memory_order_acquire);
    bool bOpened = false;
    if (iFd < 0) {
        iFd = ::open(m_oFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, m_uiMode);
        bOpened = iFd >= 0;
    }
    if (iFd < 0)
        return;
    auto writeAll = [iFd](const char *v_pData, std::size_t v_uiLeft) {
        while (v_uiLeft > 0) {
            const ssize_t iDone = ::write(iFd, v_pData, v_uiLeft);
            if (iDone < 0 && errno == EINTR)
                continue;
            if (iDone <= 0)
                return;
            v_pData += iDone;
            v_uiLeft -= static_cast<std::size_t>(iDone);
        }
    };
    // The terminal copy gets the same lines, as far as it takes them without waiting.
    const int iTerminal = m_iTerminalFd.load(std::memory_order_acquire);
    auto copyToTerminal = [iTerminal](const char *v_pData, std::size_t v_uiLeft) {
        while (iTerminal >= 0 && v_uiLeft > 0) {
            const ssize_t iDone = ::write(iTerminal, v_pData, v_uiLeft);
            if (iDone < 0 && errno == EINTR)
                continue;
            if (iDone <= 0)
                return;
            v_pData += iDone;
            v_uiLeft -= static_cast<std::size_t>(iDone);
        }
    };
    // The queued lines, unless the interrupted code holds the queue. The writer
    // holds it only for a moment (it never takes the queue once the flag is
    // set), so a few tries tell the two apart.
    bool bQueueLocked = false;
    for (int i = 0; i < 100 && !(bQueueLocked = m_oMutex.try_lock()); ++i) {
        struct timespec oPause = {0, 1000000};
        nanosleep(&oPause, nullptr);
    }
    if (bQueueLocked) {
        writeAll(m_oFront.data(), m_oFront.size());
        copyToTerminal(m_oFront.data(), m_oFront.size());
        m_oFront.clear();
        m_oMutex.unlock();
    }
    // Then the lines this thread gathered and had not queued yet.
    const ThreadBatch &oBatch = t_batch;
    if (oBatch.sink == this && oBatch.lines != 0 && !oBatch.changing) {
        writeAll(oBatch.text.data(), oBatch.text.size());
        copyToTerminal(oBatch.text.data(), oBatch.text.size());
    }
    writeAll(v_pLine, v_uiSize);
    copyToTerminal(v_pLine, v_uiSize);
    if (bOpened)
        ::close(iFd);
}

// ---------------------------------------------------------------------------

QtxAsyncFileAppender::QtxAsyncFileAppender(const std::string &v_oName, const std::string &v_oFileName,
                                           std::size_t v_uiMaxFileSize, unsigned int v_uiMaxBackupIndex,
                                           mode_t v_uiMode)
    : log4cpp::AppenderSkeleton(v_oName)
    , m_poSink(new QtxLogSink(v_oFileName, v_uiMaxFileSize, v_uiMaxBackupIndex, v_uiMode))
{
}

QtxAsyncFileAppender::~QtxAsyncFileAppender()
{
    dropRoutesTo(m_poSink);
    m_poSink->Retire();
    // The sink stays allocated: a line that looked up its route a moment ago may
    // still hand it over, and is then dropped.
}

void QtxAsyncFileAppender::close()
{
    m_poSink->CloseFile();
}

bool QtxAsyncFileAppender::reopen()
{
    m_poSink->CloseFile();
    return true; // the next line opens the file again
}

void QtxAsyncFileAppender::setLayout(log4cpp::Layout *v_poLayout)
{
    delete v_poLayout;
}

void QtxAsyncFileAppender::setThreshold(log4cpp::Priority::Value v_iPriority)
{
    log4cpp::AppenderSkeleton::setThreshold(v_iPriority);
    m_poSink->SetThreshold(v_iPriority);
}

void QtxAsyncFileAppender::RouteCategory(const log4cpp::Category *v_poCategory)
{
    setRoute(v_poCategory, m_poSink);
}

void QtxAsyncFileAppender::_append(const log4cpp::LoggingEvent &v_oEvent)
{
    char aPrefix[512];
    struct timespec oTime;
    oTime.tv_sec = v_oEvent.timeStamp.getSeconds();
    oTime.tv_nsec = static_cast<long>(v_oEvent.timeStamp.getMicroSeconds()) * 1000;
    const std::size_t uiPrefix =
        qtxFormatLogPrefix(aPrefix, sizeof aPrefix, oTime, v_oEvent.threadName.data(), v_oEvent.threadName.size(),
                           v_oEvent.priority, v_oEvent.ndc.data(), v_oEvent.ndc.size());
    m_poSink->Submit(aPrefix, uiPrefix, v_oEvent.message.data(), v_oEvent.message.size());
}
