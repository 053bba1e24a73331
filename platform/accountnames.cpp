#include "accountnames.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace qtxplatform {

namespace {

// Names found in the last two seconds. Every new connection asks for its
// client's account and the server's own, and getpwuid_r opens and reads the
// passwd file each time. Only names found are kept; a renamed account is seen
// within that time.
struct KnownName
{
    uid_t uid = 0;
    QString name;
    qint64 atMs = -1;
};
constexpr int kKnownNames = 8;
constexpr qint64 kKnownNameMs = 2000;
std::mutex g_knownMutex;
KnownName g_known[kKnownNames];
int g_nextKnown = 0;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The uid's entry, fresh or expired, or null. Called with g_knownMutex held.
KnownName *knownEntry(uid_t v_uiUid)
{
    for (KnownName &oKnown : g_known) {
        if (oKnown.atMs >= 0 && oKnown.uid == v_uiUid)
            return &oKnown;
    }
    return nullptr;
}

// The uid's name if it was found in the last two seconds, else null.
// Called with g_knownMutex held.
const KnownName *freshEntry(uid_t v_uiUid, qint64 v_iNowMs)
{
    const KnownName *poKnown = knownEntry(v_uiUid);
    return poKnown && v_iNowMs - poKnown->atMs < kKnownNameMs ? poKnown : nullptr;
}

QString lookUpUserName(uid_t v_uiUid, int *v_poErr);

} // namespace

bool userNamesFresh(std::initializer_list<uid_t> v_oUids)
{
    const qint64 iNow = steadyMs();
    std::lock_guard<std::mutex> oGuard(g_knownMutex);
    for (const uid_t uiUid : v_oUids) {
        if (!freshEntry(uiUid, iNow))
            return false;
    }
    return true;
}

QString userNameForUid(uid_t v_uiUid, int *v_poErr)
{
    const qint64 iNow = steadyMs();
    {
        std::lock_guard<std::mutex> oGuard(g_knownMutex);
        if (const KnownName *poKnown = freshEntry(v_uiUid, iNow)) {
            *v_poErr = 0;
            return poKnown->name;
        }
    }
    const QString oName = lookUpUserName(v_uiUid, v_poErr);
    if (*v_poErr == 0) {
        std::lock_guard<std::mutex> oGuard(g_knownMutex);
        // The uid's own (expired) entry is refreshed; otherwise the oldest goes.
        KnownName *poSlot = knownEntry(v_uiUid);
        if (!poSlot) {
            poSlot = &g_known[g_nextKnown];
            g_nextKnown = (g_nextKnown + 1) % kKnownNames;
        }
        *poSlot = KnownName{v_uiUid, oName, iNow};
    }
    return oName;
}

namespace {

QString lookUpUserName(uid_t v_uiUid, int *v_poErr)
{
    long iSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (iSize <= 0)
        iSize = 16384;
    for (;;) {
        std::vector<char> oBuffer(static_cast<size_t>(iSize));
        passwd oEntry;
        passwd *pResult = nullptr;
        const int iErr = ::getpwuid_r(v_uiUid, &oEntry, oBuffer.data(), oBuffer.size(), &pResult);
        if (iErr == ERANGE && iSize < (1 << 20)) {
            iSize *= 2;
            continue;
        }
        if (iErr != 0 || !pResult) {
            *v_poErr = iErr ? iErr : ENOENT;
            return QString();
        }
        *v_poErr = 0;
        return QString::fromLocal8Bit(pResult->pw_name);
    }
}

} // namespace

qint64 uidForUserName(const QString &v_oName)
{
    if (v_oName.isEmpty())
        return -1;
    const QByteArray oName = v_oName.toLocal8Bit();
    long iSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (iSize <= 0)
        iSize = 16384;
    for (;;) {
        std::vector<char> oBuffer(static_cast<size_t>(iSize));
        passwd oEntry;
        passwd *pResult = nullptr;
        const int iErr = ::getpwnam_r(oName.constData(), &oEntry, oBuffer.data(), oBuffer.size(), &pResult);
        if (iErr == ERANGE && iSize < (1 << 20)) {
            iSize *= 2;
            continue;
        }
        return iErr == 0 && pResult ? qint64(pResult->pw_uid) : -1;
    }
}

namespace {

std::atomic<uid_t> g_dispatcherUid{0};

} // namespace

uid_t setDispatcherAccount(const QString &v_oName)
{
    const qint64 iUid = uidForUserName(v_oName);
    g_dispatcherUid.store(iUid >= 0 ? uid_t(iUid) : uid_t(0), std::memory_order_release);
    return dispatcherUid();
}

uid_t dispatcherUid()
{
    return g_dispatcherUid.load(std::memory_order_acquire);
}

bool isDispatcher()
{
    return serverUid() == dispatcherUid();
}

uid_t serverUid()
{
    static const uid_t s_uiUid = ::geteuid();
    return s_uiUid;
}

QString hostName()
{
    // Asked for twice on each new connection (the client's account text and
    // the server's); a renamed host is seen within the names' two seconds.
    static std::mutex s_oMutex;
    static QString s_oName;
    static qint64 s_iAtMs = -1;
    const qint64 iNow = steadyMs();
    std::lock_guard<std::mutex> oGuard(s_oMutex);
    if (s_iAtMs < 0 || iNow - s_iAtMs >= kKnownNameMs) {
        char aName[256 + 1] = {0};
        s_oName = ::gethostname(aName, sizeof(aName) - 1) != 0 ? QStringLiteral("localhost")
                                                                : QString::fromLocal8Bit(aName);
        s_iAtMs = iNow;
    }
    return s_oName;
}

} // namespace qtxplatform
