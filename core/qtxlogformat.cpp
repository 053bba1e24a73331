#include "qtxlogformat.h"
#include "qtxlogformat_p.h"

#include <log4cpp/Priority.hh>
#include <log4cpp/threading/Threading.hh>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

#include <pthread.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The line's prefix and the escaping of its message: pure functions of their
// input and of per-thread caches, called by every thread that logs.

namespace {

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
        QtxLogOut oText{oCache.text, sizeof oCache.text};
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
    QtxLogOut oOut{v_pOut, v_uiCapacity};
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
    QtxLogOut oOut{v_pOut, v_uiCapacity};
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
