#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"
#include "processutilslinuximpl_p.h"

#include <QSet>

#include <ctime>
#include <mutex>

#include <sys/stat.h>

using namespace qtxplatform;

quint16 ProcessUtilsLinuxImpl::getPortOfProcessWithPID(qint64 v_iPid, quint16 v_uiLowestPort)
{
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_oProcRoot, 1u << kTcpStateListen, -1, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            "ProcessUtilsLinuxImpl::getPortOfProcessWithPID",
            QStringLiteral("ProcessUtilsWinImpl::getPortOfProcessWithPID GetExtendedTcpTable Error: %1").arg(iErr));
    }
    QSet<quint64> oInodes;
    socketInodesOfPid(m_oProcRoot, v_iPid, &oInodes);  // unreadable: no socket of it is known
    quint16 uiPort = 0;
    for (const TcpRow &oRow : qAsConst(oRows)) {
        if (oRow.inode != 0 && oInodes.contains(oRow.inode) && oRow.localPort >= v_uiLowestPort) {
            uiPort = oRow.localPort;
            break;
        }
    }
    PU_LOG(INFO, "getPortOfProcessWithPID") << "port(" << uiPort << ")";
    return uiPort;
}

namespace {

// Which process holds each listening socket, kept between look-ups: a server's
// listener lives as long as the server, so after the first search every later
// one costs one readlink per candidate. An entry is used only after checking
// that its descriptor still is that socket, and dropped with the socket.
struct HolderCache
{
    std::mutex mutex;
    QHash<quint64, SocketHolder> holders;
    QSet<quint64> searched;  // listeners looked for once, found or not
};

HolderCache &holderCache()
{
    static HolderCache s_oCache;
    return s_oCache;
}

// Account texts of uids for the listener search, which meets every account
// that runs a server. Kept while the passwd file is unchanged, for 10 s at most
// (accounts from other sources than the file change without touching it).
QString cachedAccountOfUid(ProcessUtilsLinuxImpl &v_oUtils, qint64 v_iUid)
{
    static std::mutex s_oMutex;
    static QHash<qint64, QString> s_oNames;
    static timespec s_oPasswdTime{0, 0};
    static qint64 s_iFilledAt = 0;
    struct stat oInfo;
    const timespec oTime = ::stat("/etc/passwd", &oInfo) == 0 ? oInfo.st_mtim : timespec{0, 0};
    timespec oNow;
    ::clock_gettime(CLOCK_MONOTONIC, &oNow);
    {
        std::lock_guard<std::mutex> oGuard(s_oMutex);
        if (oTime.tv_sec != s_oPasswdTime.tv_sec || oTime.tv_nsec != s_oPasswdTime.tv_nsec
            || oNow.tv_sec - s_iFilledAt > 10) {
            s_oNames.clear();
            s_oPasswdTime = oTime;
            s_iFilledAt = oNow.tv_sec;
        }
        const auto it = s_oNames.constFind(v_iUid);
        if (it != s_oNames.cend())
            return it.value();
    }
    const QString oAccount = v_oUtils.getDomainAndUsernameForUid(v_iUid);
    std::lock_guard<std::mutex> oGuard(s_oMutex);
    s_oNames.insert(v_iUid, oAccount);
    return oAccount;
}

} // namespace

QHash<quint64, SocketHolder> ProcessUtilsLinuxImpl::holdersOfListeners(const QVector<TcpRow> &v_oAll,
                                                                        const QVector<TcpRow> &v_oCandidates,
                                                                        quint16 v_uiLowestPort)
{
    QHash<quint64, SocketHolder> oResult;
    QHash<quint64, qint64> oMissing;
    const bool bCached = m_oProcRoot == "/proc";
    HolderCache &oCache = holderCache();
    if (bCached) {
        std::lock_guard<std::mutex> oGuard(oCache.mutex);
        QSet<quint64> oLive;
        for (const TcpRow &oRow : v_oAll)
            oLive.insert(oRow.inode);
        for (auto it = oCache.holders.begin(); it != oCache.holders.end();) {
            if (oLive.contains(it.key()))
                ++it;
            else
                it = oCache.holders.erase(it);
        }
        for (auto it = oCache.searched.begin(); it != oCache.searched.end();) {
            if (oLive.contains(*it))
                ++it;
            else
                it = oCache.searched.erase(it);
        }
        for (const TcpRow &oRow : v_oCandidates) {
            const auto it = oCache.holders.constFind(oRow.inode);
            if (it != oCache.holders.cend())
                oResult.insert(oRow.inode, it.value());
        }
    }
    for (const TcpRow &oRow : v_oCandidates) {
        const auto it = oResult.constFind(oRow.inode);
        if (it == oResult.cend() || !holderStillHolds(m_oProcRoot, it.value(), oRow.inode)) {
            oResult.remove(oRow.inode);
            oMissing.insert(oRow.inode, oRow.uid);
        }
    }
    if (oMissing.isEmpty())
        return oResult;
    // One search serves the other accounts' listeners as well (they are few,
    // and a dispatcher is asked for each account in turn); those not found
    // are not searched for again unless asked for themselves.
    if (bCached) {
        std::lock_guard<std::mutex> oGuard(oCache.mutex);
        for (const TcpRow &oRow : v_oAll) {
            if (oRow.uid != 0 && oRow.inode != 0 && oRow.localPort >= v_uiLowestPort
                && !oCache.holders.contains(oRow.inode) && !oCache.searched.contains(oRow.inode))
                oMissing.insert(oRow.inode, oRow.uid);
        }
        for (auto it = oMissing.cbegin(); it != oMissing.cend(); ++it)
            oCache.searched.insert(it.key());
    }
    const QHash<quint64, SocketHolder> oFound = findHoldersOfSocketInodes(m_oProcRoot, oMissing);
    for (auto it = oFound.cbegin(); it != oFound.cend(); ++it)
        oResult.insert(it.key(), it.value());
    if (bCached) {
        std::lock_guard<std::mutex> oGuard(oCache.mutex);
        for (auto it = oFound.cbegin(); it != oFound.cend(); ++it)
            oCache.holders.insert(it.key(), it.value());
    }
    return oResult;
}

quint16 ProcessUtilsLinuxImpl::getPortOfUserProcess(const QString &v_oDomainAndUsername, const QString &v_oProcessName,
                                                    quint16 v_uiLowestPort)
{
    // Account texts compared exactly: Linux names are case-sensitive.
    QHash<qint64, bool> oAccountOfUid;
    return findPortOfUserProcess(
        [&](qint64 v_iUid) {
            auto it = oAccountOfUid.find(v_iUid);
            if (it == oAccountOfUid.end())
                it = oAccountOfUid.insert(v_iUid, cachedAccountOfUid(*this, v_iUid) == v_oDomainAndUsername);
            return it.value();
        },
        v_oProcessName, v_uiLowestPort);
}

quint16 ProcessUtilsLinuxImpl::getPortOfUserProcessForUid(qint64 v_iUid, const QString &v_oProcessName,
                                                          quint16 v_uiLowestPort)
{
    if (v_iUid < 0)
        return 0;
    return findPortOfUserProcess([v_iUid](qint64 v_iOwner) { return v_iOwner == v_iUid; }, v_oProcessName,
                                 v_uiLowestPort);
}

quint16 ProcessUtilsLinuxImpl::findPortOfUserProcess(const std::function<bool(qint64)> &v_oIsAccount,
                                                     const QString &v_oProcessName, quint16 v_uiLowestPort)
{
    // The listening sockets come from the kernel with their owner uid, so only
    // the listeners of that account are looked at, not every process of the
    // machine. The result is the one of a walk over the process list: of the
    // processes with that name and account, the lowest pid, and its first
    // listening row in table order at or above the lowest port.
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_oProcRoot, 1u << kTcpStateListen, -1, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            "ProcessUtilsLinuxImpl::getPortOfProcessWithPID",
            QStringLiteral("ProcessUtilsWinImpl::getPortOfProcessWithPID GetExtendedTcpTable Error: %1").arg(iErr));
    }
    QVector<TcpRow> oCandidates;
    for (const TcpRow &oRow : qAsConst(oRows)) {
        if (oRow.inode != 0 && oRow.localPort >= v_uiLowestPort && v_oIsAccount(oRow.uid))
            oCandidates.append(oRow);
    }
    if (oCandidates.isEmpty())
        return 0;
    const QHash<quint64, SocketHolder> oHolders = holdersOfListeners(oRows, oCandidates, v_uiLowestPort);
    QHash<qint64, bool> oProcessMatches;
    qint64 iBestPid = 0;
    quint16 uiPort = 0;
    for (const TcpRow &oRow : qAsConst(oCandidates)) {
        const qint64 iPid = oHolders.value(oRow.inode).pid;
        if (iPid <= 0 || (iBestPid != 0 && iPid >= iBestPid))
            continue;
        auto it = oProcessMatches.find(iPid);
        if (it == oProcessMatches.end()) {
            // The holder runs as that account too (a listener root made and
            // handed to a user's process is not that user's instance).
            qint64 iUid = -1;
            const bool bMatch = getNameOfProcessWithPID(iPid) == v_oProcessName
                                && queryIfAlive(m_oProcRoot, iPid, [&] { return getEffectiveUidOfPID(iPid); }, &iUid)
                                && v_oIsAccount(iUid);
            it = oProcessMatches.insert(iPid, bMatch);
        }
        if (it.value()) {
            iBestPid = iPid;
            uiPort = oRow.localPort;
        }
    }
    if (uiPort != 0)
        PU_LOG(INFO, "getPortOfUserProcess") << "Found application with pid(" << iBestPid << ") on port(" << uiPort << ")";
    return uiPort;
}
