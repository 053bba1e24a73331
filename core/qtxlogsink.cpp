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
    : m_fileName(v_oFileName)
    , m_maxFileSize(v_uiMaxFileSize)
    , m_maxBackupIndex(v_uiMaxBackupIndex)
    , m_mode(v_uiMode)
{
    // Every thread that logs takes the queue's lock for a few dozen bytes of
    // copying; with several I/O threads logging each request it is contended
    // all the time. An adaptive lock spins that long instead of sleeping in
    // the kernel and waking the holder's successor with a futex call.
    pthread_mutexattr_t oAttr;
    if (pthread_mutexattr_init(&oAttr) == 0) {
        if (pthread_mutexattr_settype(&oAttr, PTHREAD_MUTEX_ADAPTIVE_NP) == 0) {
            pthread_mutex_destroy(m_mutex.native_handle());
            pthread_mutex_init(m_mutex.native_handle(), &oAttr);
        }
        pthread_mutexattr_destroy(&oAttr);
    }
    m_front.reserve(kQueueLimit);
    {
        std::lock_guard<std::mutex> oGuard(m_fileMutex);
        EnsureOpen();
        NarrowBackups();
    }
    m_writer = std::thread([this] {
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
        std::unique_lock<std::mutex> oLock(m_mutex);
        if (m_front.size() + uiSize > kQueueLimit && !m_front.empty() && !m_retired) {
            // Full: wait while the writer makes room; give up if it is stuck.
            // An I/O thread never waits: its lines are dropped and counted, and
            // the writer reports the count as for a stuck writer.
            if (!m_stalled) {
                const auto oDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFullWaitMs);
                if ((m_writerWaiting || m_gathering) && !m_wakePending) {
                    m_wakePending = true;
                    m_wake.notify_one();
                }
                while (!qtxthread::onIoThread() && m_front.size() + uiSize > kQueueLimit && !m_front.empty() && !m_retired) {
                    if (m_progress.wait_until(oLock, oDeadline) == std::cv_status::timeout) {
                        m_stalled = m_front.size() + uiSize > kQueueLimit && !m_front.empty();
                        break;
                    }
                }
            }
            if (m_front.size() + uiSize > kQueueLimit && !m_front.empty()) {
                m_dropped += v_uiLines;
                m_droppedTotal.fetch_add(v_uiLines, std::memory_order_relaxed);
                return false;
            }
        }
        if (m_retired) {
            m_droppedTotal.fetch_add(v_uiLines, std::memory_order_relaxed);
            return false;
        }
        m_front.append(v_pFirst, v_uiFirst);
        m_front.append(v_pSecond, v_uiSecond);
        if (v_bNewline)
            m_front.push_back('\n');
        m_queued += v_uiLines;
        if ((m_writerWaiting || (m_gathering && m_front.size() >= kGatherBytes)) && !m_wakePending) {
            m_wakePending = true;
            bWake = true;
        }
    }
    if (bWake)
        m_wake.notify_one();
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
    std::unique_lock<std::mutex> oLock(m_mutex);
    const std::uint64_t uiTarget = m_queued;
    if (m_written >= uiTarget && m_dropped == 0)
        return true;
    ++m_flushRequests; // ends a gathering pause at once
    if ((m_writerWaiting || m_gathering) && !m_wakePending) {
        m_wakePending = true;
        m_wake.notify_one();
    }
    return m_progress.wait_for(oLock, std::chrono::milliseconds(v_iTimeoutMs),
                               [&] { return m_written >= uiTarget; });
}

void QtxLogSink::CloseFile()
{
    Flush();
    std::lock_guard<std::mutex> oGuard(m_fileMutex);
    const int iFd = m_fd.exchange(-1);
    if (iFd >= 0)
        ::close(iFd);
}

void QtxLogSink::Retire()
{
    {
        std::lock_guard<std::mutex> oGuard(m_mutex);
        if (m_retired)
            return;
        m_retired = true; // the queue takes no more lines; what it holds is still written
        m_stop = true;
        m_wakePending = true;
    }
    m_wake.notify_one();
    if (m_writer.joinable() && m_writer.get_id() != std::this_thread::get_id())
        m_writer.join();
    std::lock_guard<std::mutex> oGuard(m_fileMutex);
    const int iFd = m_fd.exchange(-1);
    if (iFd >= 0)
        ::close(iFd);
}

void QtxLogSink::Run()
{
    m_writerThread.store(pthread_self());
    std::string oBatch;
    oBatch.reserve(kQueueLimit);
    std::uint64_t uiFlushSeen = 0;
    std::unique_lock<std::mutex> oLock(m_mutex);
    for (;;) {
        while (m_front.empty() && m_dropped == 0 && !m_stop) {
            m_writerWaiting = true;
            m_wake.wait(oLock);
            m_writerWaiting = false;
            m_wakePending = false;
        }
        if (m_front.empty() && m_dropped == 0 && m_stop)
            break;
        if (!m_stop && m_front.size() < kGatherBytes && m_flushRequests == uiFlushSeen) {
            m_gathering = true;
            m_wake.wait_for(oLock, std::chrono::milliseconds(kGatherMs), [&] {
                return m_stop || m_front.size() >= kGatherBytes || m_flushRequests != uiFlushSeen;
            });
            m_gathering = false;
            m_wakePending = false;
        }
        // Paired with WriteFromSignal, before the queue is taken: either it sees
        // this batch being written and waits for it, or this thread sees the
        // fatal flag and leaves the queue where the signal path writes it.
        m_writing.store(true);
        if (m_fatal.load()) {
            m_writing.store(false);
            for (;;)
                m_wake.wait(oLock); // the process is ending
        }
        uiFlushSeen = m_flushRequests;
        oBatch.swap(m_front);
        const std::uint64_t uiQueued = m_queued;
        const std::uint64_t uiDropped = m_dropped;
        m_dropped = 0;
        oLock.unlock();

        WriteBatch(oBatch, uiDropped);
        m_writing.store(false, std::memory_order_release);
        if (oBatch.capacity() > 2 * kQueueLimit) {
            std::string().swap(oBatch); // a giant line's memory goes back
            oBatch.reserve(kQueueLimit);
        } else {
            oBatch.clear();
        }

        oLock.lock();
        m_written = uiQueued;
        m_stalled = false;
        m_progress.notify_all();
    }
    m_written = m_queued;
    m_progress.notify_all();
}

void QtxLogSink::WriteFromSignal(const char *v_pLine, std::size_t v_uiSize)
{
    // Let a batch in progress finish first (unless this very thread was writing
    // it); a busy machine may need a while, a stuck file must not hang the exit.
    m_fatal.store(true);
    const bool bOnWriter = pthread_equal(m_writerThread.load(), pthread_self());
    for (int i = 0; i < 5000 && !bOnWriter && m_writing.load(); ++i) {
        struct timespec oPause = {0, 1000000};
        nanosleep(&oPause, nullptr);
    }
    int iFd = m_fd.load(std::memory_order_acquire);
    bool bOpened = false;
    if (iFd < 0) {
        iFd = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, m_mode);
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
    const int iTerminal = m_terminalFd.load(std::memory_order_acquire);
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
    for (int i = 0; i < 100 && !(bQueueLocked = m_mutex.try_lock()); ++i) {
        struct timespec oPause = {0, 1000000};
        nanosleep(&oPause, nullptr);
    }
    if (bQueueLocked) {
        writeAll(m_front.data(), m_front.size());
        copyToTerminal(m_front.data(), m_front.size());
        m_front.clear();
        m_mutex.unlock();
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
    , m_sink(new QtxLogSink(v_oFileName, v_uiMaxFileSize, v_uiMaxBackupIndex, v_uiMode))
{
}

QtxAsyncFileAppender::~QtxAsyncFileAppender()
{
    dropRoutesTo(m_sink);
    m_sink->Retire();
    // The sink stays allocated: a line that looked up its route a moment ago may
    // still hand it over, and is then dropped.
}

void QtxAsyncFileAppender::close()
{
    m_sink->CloseFile();
}

bool QtxAsyncFileAppender::reopen()
{
    m_sink->CloseFile();
    return true; // the next line opens the file again
}

void QtxAsyncFileAppender::setLayout(log4cpp::Layout *v_poLayout)
{
    delete v_poLayout;
}

void QtxAsyncFileAppender::setThreshold(log4cpp::Priority::Value v_iPriority)
{
    log4cpp::AppenderSkeleton::setThreshold(v_iPriority);
    m_sink->SetThreshold(v_iPriority);
}

void QtxAsyncFileAppender::RouteCategory(const log4cpp::Category *v_poCategory)
{
    setRoute(v_poCategory, m_sink);
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
    m_sink->Submit(aPrefix, uiPrefix, v_oEvent.message.data(), v_oEvent.message.size());
}
