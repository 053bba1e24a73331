#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"
#include "processutilslinuximpl_p.h"

#include <cerrno>
#include <ctime>
#include <vector>

#include <unistd.h>

using namespace qtxplatform;

namespace {

constexpr int kCapSysPtrace = 19;
constexpr int kCapSysAdmin = 21;

const char kUnknownProcess[] = "<unknown>";

bool capabilityInStatus(const QByteArray &v_oStatus, int v_iCapability)
{
    quint64 uiCaps = 0;
    return parseStatusCapEff(v_oStatus, &uiCaps) && (uiCaps >> v_iCapability) & 1u;
}

} // namespace

bool ProcessUtilsLinuxImpl::EnableDebugPrivilege()
{
    // Linux grants nothing on request: report whether this process may already
    // inspect other accounts' processes (CAP_SYS_PTRACE, which root holds).
    QByteArray oStatus;
    const bool bAllowed = readSmallFile(m_oProcRoot + "/self/status", &oStatus) == 0
                              ? capabilityInStatus(oStatus, kCapSysPtrace)
                              : ::geteuid() == 0;
    if (!bAllowed)
        PU_LOG(WARN, "SetPrivilege") << "The token does not have the specified privilege.";
    return bAllowed;
}

QList<qint64> ProcessUtilsLinuxImpl::listAllPids(const char *v_pOperation)
{
    QList<qint64> oPids;
    const int iErr = listPids(m_oProcRoot, &oPids);
    if (iErr != 0) {
        throwLogged<EnumProcessesException>(
            "ProcessUtilsLinuxImpl::listAllPids",
            QStringLiteral("ProcessUtilsWinImpl::%1 EnumProcesses Error: %2").arg(QLatin1String(v_pOperation)).arg(iErr));
    }
    return oPids;
}

QList<qint64> ProcessUtilsLinuxImpl::pidsWithName(const QString &v_oProcessName, const char *v_pOperation)
{
    QList<qint64> oResult;
    for (const qint64 iPid : listAllPids(v_pOperation)) {
        // File names, and so process names, are case-sensitive.
        if (getNameOfProcessWithPID(iPid) == v_oProcessName)
            oResult.append(iPid);
    }
    return oResult;
}

QList<qint64> ProcessUtilsLinuxImpl::getPIDsOfAllProcesses(const QString &v_oProcessName)
{
    return pidsWithName(v_oProcessName, "getPIDsOfAllProcesses");
}

QList<qint64> ProcessUtilsLinuxImpl::getPIDsOfCurrentUserProcesses(const QString &v_oProcessName)
{
    const QString oCurrent = getDomainAndUsernameForPID(::getpid());
    PU_LOG(NOTICE, "getPIDsOfCurrentUserProcesses") << "current domain and user name is " << oCurrent;
    return getPIDsOfUserProcesses(v_oProcessName, oCurrent);
}

QList<qint64> ProcessUtilsLinuxImpl::getPIDsOfSystemProcesses(const QString &v_oProcessName)
{
    // The system account is uid 0, whatever its name.
    QList<qint64> oResult;
    for (const qint64 iPid : pidsWithName(v_oProcessName, "getPIDsOfSystemProcesses")) {
        qint64 iUid = -1;
        if (queryIfAlive(m_oProcRoot, iPid, [&] { return getEffectiveUidOfPID(iPid); }, &iUid) && iUid == 0)
            oResult.append(iPid);
    }
    return oResult;
}

QList<qint64> ProcessUtilsLinuxImpl::getPIDsOfUserProcesses(const QString &v_oProcessName,
                                                             const QString &v_oDomainAndUsername)
{
    QList<qint64> oResult;
    for (const qint64 iPid : pidsWithName(v_oProcessName, "getPIDsOfUserProcesses")) {
        QString oAccount;
        if (queryIfAlive(m_oProcRoot, iPid, [&] { return getDomainAndUsernameForPID(iPid); }, &oAccount)
            && oAccount == v_oDomainAndUsername)
            oResult.append(iPid);
    }
    return oResult;
}

QByteArray ProcessUtilsLinuxImpl::getProcessHandle(qint64 v_iPid, const char *v_pFile)
{
    // Reading a process's /proc entry stands for opening the process: an entry
    // that is gone or hidden from this account is an OpenProcess failure.
    QByteArray oContent;
    const int iErr = readSmallFile(m_oProcRoot + '/' + QByteArray::number(v_iPid) + '/' + v_pFile, &oContent);
    if (iErr != 0) {
        throwLogged<OpenProcessException>("ProcessUtilsLinuxImpl::getProcessHandle",
                                          QStringLiteral("OpenProcess with pid: %1 Error: %2").arg(v_iPid).arg(iErr));
    }
    return oContent;
}

uid_t ProcessUtilsLinuxImpl::getProcessEffectiveUid(qint64 v_iPid)
{
    const QByteArray oStatus = getProcessHandle(v_iPid, "status");
    uid_t uiUid = 0;
    if (!parseStatusEffectiveUid(oStatus, &uiUid)) {
        throwLogged<GetTokenInformationException>(
            "ProcessUtilsLinuxImpl::createProcessTokenUser",
            QStringLiteral("ProcessUtilsWinImpl::createProcessTokenUser GetTokenInformation Error: %1").arg(EINVAL));
    }
    return uiUid;
}

QString ProcessUtilsLinuxImpl::getUsernameForPID(qint64 v_iPid)
{
    const QString oUserName = getInfoFromUid(getProcessEffectiveUid(v_iPid), false);
    PU_LOG(INFO, "getUsernameForPID") << "oUserName=" << oUserName;
    return oUserName;
}

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForPID(qint64 v_iPid)
{
    const QString oDomainAndUserName = getInfoFromUid(getProcessEffectiveUid(v_iPid), true);
    PU_LOG(INFO, "getDomainAndUsernameForPID") << "oDomainAndUserName=" << oDomainAndUserName;
    return oDomainAndUserName;
}

qint64 ProcessUtilsLinuxImpl::getEffectiveUidOfPID(qint64 v_iPid)
{
    return qint64(getProcessEffectiveUid(v_iPid));
}

bool ProcessUtilsLinuxImpl::isSystemProcess(qint64 v_iPid)
{
    return getProcessEffectiveUid(v_iPid) == 0;
}

bool ProcessUtilsLinuxImpl::isProcessElevated(qint64 v_iPid)
{
    const QByteArray oStatus = getProcessHandle(v_iPid, "status");
    uid_t uiUid = 0;
    quint64 uiCaps = 0;
    if (!parseStatusEffectiveUid(oStatus, &uiUid) || !parseStatusCapEff(oStatus, &uiCaps)) {
        throwLogged<GetTokenInformationException>(
            "ProcessUtilsLinuxImpl::createProcessTokenElevation",
            QStringLiteral("ProcessUtilsWinImpl::createProcessTokenElevation GetTokenInformation Error: %1").arg(EINVAL));
    }
    return uiUid == 0 || ((uiCaps >> kCapSysAdmin) & 1u);
}

QString ProcessUtilsLinuxImpl::getNameOfProcessWithPID(qint64 v_iPid)
{
    PU_LOG(INFO, "getNameOfProcessWithPID") << "Pid(" << v_iPid << ")";
    QString oName;
    int iErr = 0;
    if (v_iPid > 0) {
        const QByteArray oExe = m_oProcRoot + '/' + QByteArray::number(v_iPid) + "/exe";
        std::vector<char> oBuffer(4096);
        const ssize_t iLen = ::readlink(oExe.constData(), oBuffer.data(), oBuffer.size());
        if (iLen > 0 && static_cast<size_t>(iLen) < oBuffer.size()) {
            oName = processNameFromPath(QByteArray(oBuffer.data(), static_cast<int>(iLen)));
        } else {
            iErr = iLen < 0 ? errno : ENAMETOOLONG;
            // Kernel threads have no executable, another account's process
            // hides it: the kernel's command name is readable by all.
            QByteArray oComm;
            if (readSmallFile(m_oProcRoot + '/' + QByteArray::number(v_iPid) + "/comm", &oComm, 4096) == 0)
                oName = processNameFromPath(oComm.trimmed(), false);
        }
    } else {
        iErr = ESRCH;
    }
    if (oName.isEmpty()) {
        PU_LOG(INFO, "getNameOfProcessWithPID") << "Couldn't find name of Pid(" << v_iPid << ") because errno(" << iErr << ")";
        return QString::fromLatin1(kUnknownProcess);
    }
    PU_LOG(INFO, "getNameOfProcessWithPID") << "Pid(" << v_iPid << ") has name(" << oName << ")";
    return oName;
}

qint64 ProcessUtilsLinuxImpl::getLifetimeForPids(qint64 v_iPid)
{
    const QByteArray oStat = getProcessHandle(v_iPid, "stat");
    quint64 uiTicks = 0;
    const long iHz = ::sysconf(_SC_CLK_TCK);
    if (!parseStatStartTime(oStat, &uiTicks) || iHz <= 0) {
        throwLogged<GetProcessTimesException>(
            "ProcessUtilsLinuxImpl::getLifetimeForPids",
            QStringLiteral("ProcessUtilsWinImpl::getLifetimeForPids: GetProcessTimes Error: %1").arg(EINVAL));
    }
    // starttime counts from boot (suspend included), as CLOCK_BOOTTIME does.
    timespec oNow;
    if (::clock_gettime(CLOCK_BOOTTIME, &oNow) != 0) {
        throwLogged<FileTimeToSystemTimeException>(
            "ProcessUtilsLinuxImpl::getLifetimeForPids",
            QStringLiteral("ProcessUtilsWinImpl::getLifetimeForPids: FileTimeToSystemTime Error: %1").arg(errno));
    }
    const qint64 iNowMs = static_cast<qint64>(oNow.tv_sec) * 1000 + oNow.tv_nsec / 1000000;
    const qint64 iStartMs = static_cast<qint64>(uiTicks / static_cast<quint64>(iHz)) * 1000
                            + static_cast<qint64>(uiTicks % static_cast<quint64>(iHz)) * 1000 / iHz;
    return iNowMs > iStartMs ? iNowMs - iStartMs : 0;
}
