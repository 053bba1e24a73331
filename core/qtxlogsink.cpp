#include "qtxlogsink.h"

#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/threading/Threading.hh>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// ---------------------------------------------------------------------------
// Line prefix pieces.

std::atomic<long> g_utcOffset{0}; // seconds east of UTC, as last seen by localtime_r

struct SecondCache
{
    time_t second = -1;
    char text[24]; // "YYYY-mm-dd HH:MM:SS."
    std::size_t size = 0;
};
thread_local SecondCache t_secondCache;

const SecondCache &secondText(time_t v_iSecond)
{
    SecondCache &oCache = t_secondCache;
    if (oCache.second != v_iSecond) {
        struct tm oTm;
        localtime_r(&v_iSecond, &oTm);
        oCache.size = std::strftime(oCache.text, sizeof oCache.text, "%Y-%m-%d %H:%M:%S.", &oTm);
        oCache.second = v_iSecond;
        g_utcOffset.store(oTm.tm_gmtoff, std::memory_order_relaxed);
    }
    return oCache;
}

std::atomic<long long> g_cpuClock{0};
std::atomic<long long> g_cpuClockAt{-1000000000LL};

long long processCpuMicros()
{
    struct timespec oCpu;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &oCpu) != 0)
        return -1;
    return static_cast<long long>(oCpu.tv_sec) * 1000000LL + oCpu.tv_nsec / 1000;
}

// Appends to a fixed buffer, truncating at its end.
struct Out
{
    char *data;
    std::size_t capacity;
    std::size_t size = 0;

    void add(const char *v_pText, std::size_t v_uiSize)
    {
        const std::size_t uiCopy = std::min(v_uiSize, capacity - size);
        std::memcpy(data + size, v_pText, uiCopy);
        size += uiCopy;
    }
    void add(const char *v_pText) { add(v_pText, std::strlen(v_pText)); }
    void add(char v_cChar) { add(&v_cChar, 1); }
    void addUnsigned(unsigned long long v_uiValue, int v_iMinDigits = 1)
    {
        char aDigits[24];
        int iCount = 0;
        do {
            aDigits[iCount++] = static_cast<char>('0' + v_uiValue % 10);
            v_uiValue /= 10;
        } while (v_uiValue != 0 || iCount < v_iMinDigits);
        while (iCount > 0)
            add(aDigits[--iCount]);
    }
    void addSigned(long long v_iValue)
    {
        if (v_iValue < 0) {
            add('-');
            addUnsigned(0ULL - static_cast<unsigned long long>(v_iValue));
        } else {
            addUnsigned(static_cast<unsigned long long>(v_iValue));
        }
    }
};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(long long v_iDays, long long &v_iYear, unsigned &v_uiMonth, unsigned &v_uiDay)
{
    v_iDays += 719468;
    const long long iEra = (v_iDays >= 0 ? v_iDays : v_iDays - 146096) / 146097;
    const unsigned uiDoe = static_cast<unsigned>(v_iDays - iEra * 146097);
    const unsigned uiYoe = (uiDoe - uiDoe / 1460 + uiDoe / 36524 - uiDoe / 146096) / 365;
    const unsigned uiDoy = uiDoe - (365 * uiYoe + uiYoe / 4 - uiYoe / 100);
    const unsigned uiMp = (5 * uiDoy + 2) / 153;
    v_uiDay = uiDoy - (153 * uiMp + 2) / 5 + 1;
    v_uiMonth = uiMp < 10 ? uiMp + 3 : uiMp - 9;
    v_iYear = static_cast<long long>(uiYoe) + iEra * 400 + (v_uiMonth <= 2 ? 1 : 0);
}

} // namespace

// ---------------------------------------------------------------------------

long long qtxLogCpuClock(const timespec &v_oNow)
{
    const long long iNow = static_cast<long long>(v_oNow.tv_sec) * 1000000000LL + v_oNow.tv_nsec;
    long long iAt = g_cpuClockAt.load(std::memory_order_acquire);
    if (iNow >= iAt && iNow - iAt < 1000000LL)
        return g_cpuClock.load(std::memory_order_relaxed);
    // One thread refreshes the sample; the others keep the previous one meanwhile.
    if (g_cpuClockAt.compare_exchange_strong(iAt, iNow, std::memory_order_acq_rel)) {
        const long long iCpu = processCpuMicros();
        g_cpuClock.store(iCpu, std::memory_order_relaxed);
        return iCpu;
    }
    return g_cpuClock.load(std::memory_order_relaxed);
}

const std::string &qtxLogThreadName()
{
    thread_local const std::string t_oName = log4cpp::threading::getThreadId();
    return t_oName;
}

namespace {

// The part of the prefix up to the thread name, "date ms cpu [thread] ", as this
// thread last formatted it: it changes once a millisecond, while a busy thread
// writes dozens of lines in one.
struct TimeThreadCache
{
    long long millisecond = -1;
    long long cpu = -1;
    char thread[64];
    std::size_t threadSize = 0;
    char text[128];
    std::size_t size = 0;
};
thread_local TimeThreadCache t_timeThread;

} // namespace

std::size_t qtxFormatLogPrefix(char *v_pOut, std::size_t v_uiCapacity, const timespec &v_oTime,
                               const char *v_pThread, std::size_t v_uiThreadSize, int v_iPriority,
                               const char *v_pNdc, std::size_t v_uiNdcSize)
{
    TimeThreadCache &oCache = t_timeThread;
    const long long iMillisecond = static_cast<long long>(v_oTime.tv_sec) * 1000 + v_oTime.tv_nsec / 1000000;
    const long long iCpu = qtxLogCpuClock(v_oTime);
    if (iMillisecond != oCache.millisecond || iCpu != oCache.cpu || v_uiThreadSize != oCache.threadSize
        || v_uiThreadSize > sizeof oCache.thread || std::memcmp(v_pThread, oCache.thread, v_uiThreadSize) != 0) {
        Out oText{oCache.text, sizeof oCache.text};
        const SecondCache &oSecond = secondText(v_oTime.tv_sec);
        oText.add(oSecond.text, oSecond.size);
        oText.addUnsigned(static_cast<unsigned long long>(v_oTime.tv_nsec / 1000000), 3);
        oText.add(' ');
        oText.addSigned(iCpu);
        oText.add(" [", 2);
        oText.add(v_pThread, v_uiThreadSize);
        oText.add("] ", 2);
        oCache.size = oText.size;
        // A thread name too long for the key is formatted every time.
        oCache.millisecond = v_uiThreadSize <= sizeof oCache.thread ? iMillisecond : -1;
        oCache.cpu = iCpu;
        oCache.threadSize = std::min(v_uiThreadSize, sizeof oCache.thread);
        std::memcpy(oCache.thread, v_pThread, oCache.threadSize);
    }
    Out oOut{v_pOut, v_uiCapacity};
    oOut.add(oCache.text, oCache.size);
    const std::string &oPriority = log4cpp::Priority::getPriorityName(v_iPriority);
    oOut.add(oPriority.data(), oPriority.size());
    oOut.add(' ');
    oOut.add(v_pNdc, v_uiNdcSize);
    oOut.add(" - ", 3);
    return oOut.size;
}

std::size_t qtxFormatLogPrefixForSignal(char *v_pOut, std::size_t v_uiCapacity, const char *v_pPriorityName)
{
    Out oOut{v_pOut, v_uiCapacity};
    struct timespec oNow;
    clock_gettime(CLOCK_REALTIME, &oNow);
    const long long iLocal = static_cast<long long>(oNow.tv_sec) + g_utcOffset.load(std::memory_order_relaxed);
    long long iDays = iLocal / 86400;
    long long iSecondOfDay = iLocal % 86400;
    if (iSecondOfDay < 0) {
        iSecondOfDay += 86400;
        --iDays;
    }
    long long iYear = 0;
    unsigned uiMonth = 0, uiDay = 0;
    civilFromDays(iDays, iYear, uiMonth, uiDay);
    oOut.addUnsigned(static_cast<unsigned long long>(iYear), 4);
    oOut.add('-');
    oOut.addUnsigned(uiMonth, 2);
    oOut.add('-');
    oOut.addUnsigned(uiDay, 2);
    oOut.add(' ');
    oOut.addUnsigned(static_cast<unsigned long long>(iSecondOfDay / 3600), 2);
    oOut.add(':');
    oOut.addUnsigned(static_cast<unsigned long long>(iSecondOfDay / 60 % 60), 2);
    oOut.add(':');
    oOut.addUnsigned(static_cast<unsigned long long>(iSecondOfDay % 60), 2);
    oOut.add('.');
    oOut.addUnsigned(static_cast<unsigned long long>(oNow.tv_nsec / 1000000), 3);
    oOut.add(' ');
    oOut.addSigned(processCpuMicros());
    oOut.add(" [", 2);
    // log4cpp prints the thread as pthread_self() in unsigned decimal.
    oOut.addUnsigned(static_cast<unsigned long long>(pthread_self()));
    oOut.add("] ", 2);
    oOut.add(v_pPriorityName);
    oOut.add("  - ", 4);
    return oOut.size;
}

bool qtxLogNeedsEscape(const char *v_pText, std::size_t v_uiSize)
{
    std::size_t i = 0;
#ifdef __SSE2__
    // Sixteen bytes at a time: a signed compare below 0x20 finds the control
    // bytes and every byte at or above 0x80; 0x7f and the backslash are
    // compared for equality. Plain ASCII text costs five operations per block.
    if (v_uiSize >= 16) {
        const __m128i oSpace = _mm_set1_epi8(0x20);
        const __m128i oDelete = _mm_set1_epi8(0x7f);
        const __m128i oBackslash = _mm_set1_epi8(0x5c);
        auto flagged = [&](const char *v_pBlock) {
            const __m128i oBytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v_pBlock));
            const __m128i oHits = _mm_or_si128(_mm_cmplt_epi8(oBytes, oSpace),
                                               _mm_or_si128(_mm_cmpeq_epi8(oBytes, oDelete),
                                                            _mm_cmpeq_epi8(oBytes, oBackslash)));
            return _mm_movemask_epi8(oHits) != 0;
        };
        for (; i + 16 <= v_uiSize; i += 16) {
            if (flagged(v_pText + i))
                return true;
        }
        // The last block overlaps bytes already checked.
        return i != v_uiSize && flagged(v_pText + v_uiSize - 16);
    }
#endif
    // Eight bytes at a time: a byte below 0x20, at or above 0x7f, or a
    // backslash sets its top bit in the mask.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto hasZeroByte = [](std::uint64_t v_uiWord) { return (v_uiWord - kOnes) & ~v_uiWord & kHigh; };
    for (; i + 8 <= v_uiSize; i += 8) {
        std::uint64_t uiWord;
        std::memcpy(&uiWord, v_pText + i, 8);
        const std::uint64_t uiFlags = ((uiWord - 0x20 * kOnes) & ~uiWord) | uiWord | hasZeroByte(uiWord ^ (0x7f * kOnes))
                                      | hasZeroByte(uiWord ^ (0x5c * kOnes));
        if (uiFlags & kHigh)
            return true;
    }
    for (; i < v_uiSize; ++i) {
        const unsigned char c = static_cast<unsigned char>(v_pText[i]);
        if (c < 0x20 || c >= 0x7f || c == '\\')
            return true;
    }
    return false;
}

void qtxLogEscape(const char *v_pText, std::size_t v_uiSize, std::string &v_oOut)
{
    static const char kHex[] = "0123456789abcdef";
    v_oOut.reserve(v_oOut.size() + v_uiSize + 16);
    const auto *p = reinterpret_cast<const unsigned char *>(v_pText);
    const auto *const pEnd = p + v_uiSize;
    while (p < pEnd) {
        const unsigned char c = *p;
        if (c == '\n') {
            v_oOut += "\\n";
        } else if (c == '\r') {
            v_oOut += "\\r";
        } else if (c == '\t') {
            v_oOut += "\\t";
        } else if (c == '\\') {
            v_oOut += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            // Every byte outside printable ASCII: a raw 0x9b is a terminal's
            // CSI, UTF-8 carries C1 and bidirectional controls (U+202E turns
            // the rest of a line around) and lookalikes. Readers see the bytes.
            v_oOut += "\\x";
            v_oOut += kHex[c >> 4];
            v_oOut += kHex[c & 15];
        } else {
            v_oOut += static_cast<char>(c);
        }
        ++p;
    }
}

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
            if (!m_stalled) {
                const auto oDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFullWaitMs);
                if ((m_writerWaiting || m_gathering) && !m_wakePending) {
                    m_wakePending = true;
                    m_wake.notify_one();
                }
                while (m_front.size() + uiSize > kQueueLimit && !m_front.empty() && !m_retired) {
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

void QtxLogSink::WriteBatch(const std::string &v_oBatch, std::uint64_t v_uiDropped)
{
    std::lock_guard<std::mutex> oGuard(m_fileMutex);
    char aLine[256];
    std::size_t uiDroppedLine = 0;
    if (v_uiDropped != 0) {
        struct timespec oNow;
        clock_gettime(CLOCK_REALTIME, &oNow);
        const std::string &oThread = qtxLogThreadName();
        std::size_t uiSize = qtxFormatLogPrefix(aLine, sizeof aLine, oNow, oThread.data(), oThread.size(),
                                                log4cpp::Priority::WARN, "", 0);
        Out oOut{aLine, sizeof aLine - 1, uiSize};
        oOut.add("QtxLogSink::Run :: Log queue was full, lines dropped=");
        oOut.addUnsigned(v_uiDropped);
        oOut.add('\n');
        uiDroppedLine = oOut.size;
    }
    if (EnsureOpen()) {
        if (uiDroppedLine != 0)
            WriteAll(aLine, uiDroppedLine);
        // Line by line the file would roll over right after the line that brings
        // it to the limit; the batch is cut at the same places.
        const char *pData = v_oBatch.data();
        const char *const pEnd = pData + v_oBatch.size();
        while (pData < pEnd) {
            const std::size_t uiNeed = m_fileSize >= m_maxFileSize ? 1 : m_maxFileSize - m_fileSize;
            if (static_cast<std::size_t>(pEnd - pData) < uiNeed) {
                WriteAll(pData, static_cast<std::size_t>(pEnd - pData));
                break;
            }
            const void *pNewline = std::memchr(pData + uiNeed - 1, '\n', static_cast<std::size_t>(pEnd - pData) - (uiNeed - 1));
            const char *pCut = pNewline ? static_cast<const char *>(pNewline) + 1 : pEnd;
            WriteAll(pData, static_cast<std::size_t>(pCut - pData));
            pData = pCut;
            if (m_fileSize >= m_maxFileSize)
                RollOver();
        }
    }
    // The terminal copy follows the file (and shows the lines even when the
    // file cannot be opened).
    WriteToTerminal(aLine, uiDroppedLine);
    WriteToTerminal(v_oBatch.data(), v_oBatch.size());
}

void QtxLogSink::WriteAll(const char *v_pData, std::size_t v_uiSize)
{
    const int iFd = m_fd.load(std::memory_order_relaxed);
    while (v_uiSize > 0 && iFd >= 0) {
        const ssize_t iDone = ::write(iFd, v_pData, v_uiSize);
        if (iDone < 0) {
            if (errno == EINTR)
                continue;
            return; // logging never reports failures; the line is lost
        }
        v_pData += iDone;
        v_uiSize -= static_cast<std::size_t>(iDone);
        m_fileSize += static_cast<std::size_t>(iDone);
    }
}

void QtxLogSink::WriteToTerminal(const char *v_pData, std::size_t v_uiSize)
{
    const int iFd = m_terminalFd.load(std::memory_order_acquire);
    if (iFd < 0 || v_uiSize == 0)
        return;
    if (m_terminalMidLine) {
        // The rest of the line it missed is not shown; its next line starts afresh.
        const ssize_t iDone = ::write(iFd, "\n", 1);
        if (iDone != 1)
            return;
        m_terminalMidLine = false;
        m_terminalStuck = false;
    }
    std::size_t uiLeft = v_uiSize;
    while (uiLeft > 0) {
        const ssize_t iDone = ::write(iFd, v_pData, uiLeft);
        if (iDone > 0) {
            v_pData += iDone;
            uiLeft -= static_cast<std::size_t>(iDone);
            m_terminalStuck = false;
            continue;
        }
        if (iDone < 0 && errno == EINTR)
            continue;
        if (iDone < 0 && errno == EAGAIN && !m_terminalStuck) {
            struct pollfd oPoll = {iFd, POLLOUT, 0};
            if (::poll(&oPoll, 1, kTerminalWaitMs) > 0)
                continue;
        }
        // Full, gone or failing: the copy is given up for this batch.
        m_terminalStuck = true;
        if (uiLeft != v_uiSize)
            m_terminalMidLine = v_pData[-1] != '\n';
        return;
    }
}

bool QtxLogSink::EnsureOpen()
{
    if (m_fd.load(std::memory_order_relaxed) >= 0)
        return true;
    const int iFd = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, m_mode);
    if (iFd < 0)
        return false;
    struct stat oStat;
    const bool bStat = ::fstat(iFd, &oStat) == 0;
    // A file left by an older version (0644) is narrowed to the sink's mode.
    if (bStat && (oStat.st_mode & 0777 & ~m_mode) != 0 && oStat.st_uid == ::geteuid())
        ::fchmod(iFd, m_mode);
    m_fileSize = bStat ? static_cast<std::size_t>(oStat.st_size) : 0;
    m_fd.store(iFd, std::memory_order_release);
    return true;
}

std::string QtxLogSink::BackupName(unsigned int v_uiIndex) const
{
    // Backups are numbered with as many digits as the highest index has.
    std::size_t uiWidth = 1;
    for (unsigned int uiIndex = m_maxBackupIndex; uiIndex >= 10; uiIndex /= 10)
        ++uiWidth;
    std::string oIndex = std::to_string(v_uiIndex);
    if (oIndex.size() < uiWidth)
        oIndex.insert(0, uiWidth - oIndex.size(), '0');
    return m_fileName + '.' + oIndex;
}

void QtxLogSink::NarrowBackups()
{
    // Rolled files keep the mode the file had; those an older version left wider are narrowed.
    for (unsigned int uiIndex = 1; uiIndex <= m_maxBackupIndex; ++uiIndex) {
        const std::string oName = BackupName(uiIndex);
        struct stat oStat;
        if (::lstat(oName.c_str(), &oStat) == 0 && S_ISREG(oStat.st_mode) && oStat.st_uid == ::geteuid()
            && (oStat.st_mode & 0777 & ~m_mode) != 0)
            ::chmod(oName.c_str(), m_mode);
    }
}

void QtxLogSink::RollOver()
{
    if (m_maxBackupIndex > 0) {
        auto backupName = [this](unsigned int v_uiIndex) { return BackupName(v_uiIndex); };
        std::string oLast = backupName(m_maxBackupIndex);
        std::remove(oLast.c_str());
        for (unsigned int uiIndex = m_maxBackupIndex; uiIndex > 1; --uiIndex) {
            const std::string oPrevious = backupName(uiIndex - 1);
            std::rename(oPrevious.c_str(), oLast.c_str());
            oLast = oPrevious;
        }
        std::rename(m_fileName.c_str(), oLast.c_str());
    }
    const int iNew = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, m_mode);
    const int iFd = m_fd.load(std::memory_order_relaxed);
    if (iNew < 0)
        return; // keep writing to the renamed file rather than nowhere
    // The descriptor number stays the same, so the signal path never writes to a closed one.
    if (iFd >= 0 && ::dup3(iNew, iFd, O_CLOEXEC) >= 0) {
        ::close(iNew);
    } else {
        m_fd.store(iNew, std::memory_order_release);
        if (iFd >= 0)
            ::close(iFd);
    }
    struct stat oStat;
    m_fileSize = ::fstat(m_fd.load(std::memory_order_relaxed), &oStat) == 0 ? static_cast<std::size_t>(oStat.st_size) : 0;
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
