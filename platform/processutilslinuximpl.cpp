#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"

#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <ctime>
#include <mutex>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <sys/socket.h>

using namespace qtxplatform;

#define PU_LOG(prio, op) QTX_LOG(ProcessUtilsLogger::Instance(), prio, "ProcessUtilsLinuxImpl::" op)

std::unique_ptr<ProcessUtils> createProcessUtils()
{
    return std::make_unique<ProcessUtilsLinuxImpl>();
}

namespace {

constexpr int kCapSysPtrace = 19;
constexpr int kCapSysAdmin = 21;
constexpr int kShutdownWaitMs = 5000;
constexpr int kReportTimeoutMs = 3000;
constexpr int kServiceTimeoutMs = 30000;
const char kUnknownProcess[] = "<unknown>";
const char kUnknownAccount[] = "<UNKNOWN>";
const char kNoConsoleSession[] = "<NO ACTIVE CONSOLE SESSION>";
const char kTimeoutText[] = "Command finished with TIMEOUT";

// Logs the exception's trace at WARN under the operation's name, then throws it.
template <class E>
[[noreturn]] void throwLogged(const char *v_pFunction, const QString &v_oMessage,
                              const QString &v_oDetail = QString::fromLatin1(kQtxUnexpectedErrorDetail))
{
    E oException(v_oMessage, v_oDetail);
    ProcessUtilsLogger::Instance().GetCategory().getStream(log4cpp::Priority::WARN)
        << v_pFunction << " :: " << "Exception: " << oException.getStackTrace();
    throw oException;
}

class PidFd
{
public:
    explicit PidFd(qint64 v_iPid)
    {
        if (v_iPid > 0 && v_iPid <= INT32_MAX)
            m_fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(v_iPid), 0));
    }
    ~PidFd() { if (m_fd >= 0) ::close(m_fd); }
    PidFd(const PidFd &) = delete;
    PidFd &operator=(const PidFd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

    bool sendSignal(int v_iSignal) const
    {
        return ::syscall(SYS_pidfd_send_signal, m_fd, v_iSignal, nullptr, 0) == 0;
    }
    // True once the process has ended (a zombie counts as ended).
    bool waitEnded(int v_iTimeoutMs) const
    {
        pollfd oPoll{m_fd, POLLIN, 0};
        MonotonicTimer oTimer;
        for (;;) {
            const int iLeft = v_iTimeoutMs - oTimer.elapsedMs();
            const int iRc = ::poll(&oPoll, 1, iLeft > 0 ? iLeft : 0);
            if (iRc > 0)
                return true;
            if (iRc == 0 || errno != EINTR)
                return false;
        }
    }

private:
    struct MonotonicTimer
    {
        timespec start;
        MonotonicTimer() { ::clock_gettime(CLOCK_MONOTONIC, &start); }
        int elapsedMs() const
        {
            timespec now;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            return static_cast<int>((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        }
    };
    int m_fd = -1;
};

// A tool run with its arguments on the command line (not on stdin).
struct ToolResult
{
    bool started = false;
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
};

ToolResult runTool(const QString &v_oProgram, const QStringList &v_oArguments, int v_iTimeoutMs)
{
    ToolResult oResult;
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.setStandardInputFile(QProcess::nullDevice());
    oProcess.start(v_oProgram, v_oArguments);
    oResult.started = oProcess.waitForStarted(kServiceTimeoutMs);
    if (!oResult.started)
        return oResult;
    oResult.finished = oProcess.waitForFinished(v_iTimeoutMs);
    if (!oResult.finished) {
        oProcess.kill();
        oProcess.waitForFinished(1000);
    }
    oResult.output = oProcess.readAllStandardOutput();
    oResult.exitCode = oResult.finished && oProcess.exitStatus() == QProcess::NormalExit ? oProcess.exitCode() : -1;
    return oResult;
}

bool capabilityInStatus(const QByteArray &v_oStatus, int v_iCapability)
{
    quint64 uiCaps = 0;
    return parseStatusCapEff(v_oStatus, &uiCaps) && (uiCaps >> v_iCapability) & 1u;
}

} // namespace

ProcessUtilsLinuxImpl::ProcessUtilsLinuxImpl(const QByteArray &v_oProcRoot)
    : m_procRoot(v_oProcRoot)
{
}

// ---- starting processes ------------------------------------------------------------

int ProcessUtilsLinuxImpl::StartProcessAsAdmin(const QString &v_oProgram, const QStringList &v_oArguments)
{
    const QString oParameters = v_oArguments.join(QLatin1Char(' '));
    PU_LOG(NOTICE, "StartProcessAsAdmin") << "---= STARTING NEW PROCESS AS ADMIN WITH NAME: <" << v_oProgram
                                          << "> AND ARGUMENTS: <" << oParameters << "> =---";
    // Root needs no elevation; others go through polkit's pkexec, which asks
    // for the password on the user's desktop (the counterpart of the "runas" prompt).
    QString oProgram = v_oProgram;
    QStringList oArguments = v_oArguments;
    if (::geteuid() != 0) {
        const QString oPkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
        if (oPkexec.isEmpty()) {
            PU_LOG(WARN, "StartProcessAsAdmin") << "pkexec is not installed; cannot start <" << v_oProgram
                                                << "> with administrator rights";
            return 0;
        }
        oArguments.prepend(v_oProgram);
        oProgram = oPkexec;
    }
    if (!QProcess::startDetached(oProgram, oArguments))
        PU_LOG(WARN, "StartProcessAsAdmin") << "Could not start <" << v_oProgram << ">";
    return 0;
}

int ProcessUtilsLinuxImpl::StartProcessAsAdmin(const QString &v_oProgram)
{
    return StartProcessAsAdmin(v_oProgram, QStringList());
}

int ProcessUtilsLinuxImpl::StartProcess(const QString &v_oProgram, const QStringList &v_oArguments)
{
    PU_LOG(NOTICE, "StartProcess") << "---= STARTING NEW PROCESS WITH NAME: <" << v_oProgram << "> AND ARGUMENTS: <"
                                   << v_oArguments.join(QLatin1Char(',')) << "> =---";
    if (!QProcess::startDetached(v_oProgram, v_oArguments))
        PU_LOG(WARN, "StartProcess") << "Could not start <" << v_oProgram << ">";
    PU_LOG(NOTICE, "StartProcess") << "---= STARTED NEW PROCESS WITH NAME: <" << v_oProgram << "> =---";
    return 0;
}

int ProcessUtilsLinuxImpl::StartProcess(const QString &v_oProgram)
{
    return StartProcess(v_oProgram, QStringList());
}

// ---- services ----------------------------------------------------------------------

int ProcessUtilsLinuxImpl::StartSystemService(const QString &v_oServiceName)
{
    PU_LOG(NOTICE, "OpenSystemService") << "---= STARTING SYSTEM SERVICE WITH NAME: <" << v_oServiceName << "> =---";
    const ToolResult oResult = runTool(QStringLiteral("systemctl"),
                                       {QStringLiteral("start"), QStringLiteral("--"), v_oServiceName}, kServiceTimeoutMs);
    if (!oResult.started) {
        PU_LOG(ERROR, "OpenSystemService") << "Cannot open SCManager (systemctl could not be started)";
        return -1;
    }
    if (oResult.exitCode != 0) {
        PU_LOG(ERROR, "StartSystemService") << "Cannot start service: " << oResult.output.trimmed();
        return -1;
    }
    PU_LOG(NOTICE, "StartSystemService") << "Service was started";
    return 0;
}

int ProcessUtilsLinuxImpl::StopSystemService(const QString &v_oServiceName)
{
    PU_LOG(NOTICE, "OpenSystemService") << "---= STARTING SYSTEM SERVICE WITH NAME: <" << v_oServiceName << "> =---";
    const ToolResult oState = runTool(QStringLiteral("systemctl"),
                                      {QStringLiteral("is-active"), QStringLiteral("--"), v_oServiceName}, kServiceTimeoutMs);
    if (!oState.started || !oState.finished) {
        PU_LOG(ERROR, "StopSystemService") << "QueryServiceStatusEx failed (systemctl is-active did not answer)";
        return -1;
    }
    const QByteArray oStateText = oState.output.trimmed();
    if (oStateText == "inactive" || oStateText == "failed") {
        PU_LOG(NOTICE, "StopSystemService") << "Service is already stopped.";
        return 0;
    }
    // systemctl stop waits for the unit to stop (its own job time-out), bounded here by 30 s.
    const ToolResult oStop = runTool(QStringLiteral("systemctl"),
                                     {QStringLiteral("stop"), QStringLiteral("--"), v_oServiceName}, kServiceTimeoutMs);
    if (oStop.started && !oStop.finished) {
        PU_LOG(ERROR, "StopSystemService") << "Wait timed out";
        return -1;
    }
    if (oStop.exitCode != 0) {
        PU_LOG(ERROR, "StopSystemService") << "ControlService failed. " << oStop.output.trimmed();
        return -1;
    }
    PU_LOG(NOTICE, "StopSystemService") << "Service stopped successfully";
    return 0;
}

// ---- stopping processes ------------------------------------------------------------

int ProcessUtilsLinuxImpl::ShutdownProcess(qint64 v_iPid)
{
    PU_LOG(INFO, "ShutdownProcess") << "Killing proceess with pid " << v_iPid;
    PU_LOG(INFO, "ShutdownProcess") << "Opening proces with pid <" << v_iPid << ">";
    // A pidfd pins the process: the signals below cannot reach a recycled pid.
    const PidFd oProcess(v_iPid);
    if (!oProcess.valid()) {
        PU_LOG(ERROR, "ShutdownProcess") << "Process with pid <" << v_iPid << "> was not opened";
        return 1;
    }
    PU_LOG(INFO, "ShutdownProcess") << "Terminating all windows for application with pid <" << v_iPid << ">";
    if (!oProcess.sendSignal(SIGTERM))
        PU_LOG(WARN, "ShutdownProcess") << "SIGTERM could not be sent, errno(" << errno << ")";
    PU_LOG(INFO, "ShutdownProcess") << "Wait on the process handle to be signaled";
    int iStatus = 0;
    if (oProcess.waitEnded(kShutdownWaitMs)) {
        PU_LOG(INFO, "ShutdownProcess") << "Process was signaled";
    } else {
        PU_LOG(WARN, "ShutdownProcess") << "Process was not signaled, terminating...";
        if (!oProcess.sendSignal(SIGKILL)) {
            iStatus = 1;
            PU_LOG(WARN, "ShutdownProcess") << "SIGKILL could not be sent, errno(" << errno << ")";
        } else if (oProcess.waitEnded(kShutdownWaitMs)) {
            PU_LOG(INFO, "ShutdownProcess") << "Process terminated successfully";
        } else {
            PU_LOG(WARN, "ShutdownProcess") << "Can't wait for process termination. Process can be still alive";
        }
    }
    PU_LOG(NOTICE, "ShutdownProcess") << "Kill finished. Status: " << iStatus;
    return iStatus;
}

QByteArray ProcessUtilsLinuxImpl::ShutdownProcessesByName(const QString &v_oProcessName)
{
    // pkill matches the kernel's 15-character command name, so a longer name
    // is cut to what the kernel keeps. Quotes would break the command line.
    QString oName = v_oProcessName;
    oName.remove(QLatin1Char('"'));
    oName.truncate(15);
    return runSystemCommand(QStringLiteral("pkill -x \"%1\"").arg(oName), QStringList(), 15000);
}

bool ProcessUtilsLinuxImpl::EnableDebugPrivilege()
{
    // Linux grants nothing on request: report whether this process may already
    // inspect other accounts' processes (CAP_SYS_PTRACE, which root holds).
    QByteArray oStatus;
    const bool bAllowed = readSmallFile(m_procRoot + "/self/status", &oStatus) == 0
                              ? capabilityInStatus(oStatus, kCapSysPtrace)
                              : ::geteuid() == 0;
    if (!bAllowed)
        PU_LOG(WARN, "SetPrivilege") << "The token does not have the specified privilege.";
    return bAllowed;
}

// ---- processes and accounts --------------------------------------------------------

QList<qint64> ProcessUtilsLinuxImpl::listAllPids(const char *v_pOperation)
{
    QList<qint64> oPids;
    const int iErr = listPids(m_procRoot, &oPids);
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
        if (getNameOfProcessWithPID(iPid).compare(v_oProcessName, Qt::CaseInsensitive) == 0)
            oResult.append(iPid);
    }
    return oResult;
}

namespace {

// A process that ended between listing and query is skipped; any other
// failure to open it is the caller's.
template <typename Query>
bool queryIfAlive(const QByteArray &v_oProcRoot, qint64 v_iPid, Query v_oQuery, QString *v_poResult)
{
    try {
        *v_poResult = v_oQuery();
        return true;
    } catch (const OpenProcessException &) {
        if (::access((v_oProcRoot + '/' + QByteArray::number(v_iPid)).constData(), F_OK) != 0 && errno == ENOENT)
            return false;
        throw;
    }
}

} // namespace

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
    const QString oSystemUser = getUsernameForSystemAccount();
    QList<qint64> oResult;
    for (const qint64 iPid : pidsWithName(v_oProcessName, "getPIDsOfSystemProcesses")) {
        QString oUser;
        if (queryIfAlive(m_procRoot, iPid, [&] { return getUsernameForPID(iPid); }, &oUser)
            && oUser.compare(oSystemUser, Qt::CaseInsensitive) == 0)
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
        if (queryIfAlive(m_procRoot, iPid, [&] { return getDomainAndUsernameForPID(iPid); }, &oAccount)
            && oAccount.compare(v_oDomainAndUsername, Qt::CaseInsensitive) == 0)
            oResult.append(iPid);
    }
    return oResult;
}

bool ProcessUtilsLinuxImpl::isCurrentUserAdministrator()
{
    if (::geteuid() == 0)
        return true;
    // Membership as this process holds it (its groups), like a token's groups.
    std::vector<char> oBuffer(16384);
    group oGroup;
    group *pGroup = nullptr;
    if (::getgrnam_r("sudo", &oGroup, oBuffer.data(), oBuffer.size(), &pGroup) != 0 || !pGroup)
        return false;
    if (::getegid() == pGroup->gr_gid)
        return true;
    const int iCount = ::getgroups(0, nullptr);
    if (iCount <= 0)
        return false;
    std::vector<gid_t> oGroups(static_cast<size_t>(iCount));
    const int iGot = ::getgroups(iCount, oGroups.data());
    for (int i = 0; i < iGot; ++i) {
        if (oGroups[static_cast<size_t>(i)] == pGroup->gr_gid)
            return true;
    }
    return false;
}

QByteArray ProcessUtilsLinuxImpl::getProcessHandle(qint64 v_iPid, const char *v_pFile)
{
    // Reading a process's /proc entry stands for opening the process: an entry
    // that is gone or hidden from this account is an OpenProcess failure.
    QByteArray oContent;
    const int iErr = readSmallFile(m_procRoot + '/' + QByteArray::number(v_iPid) + '/' + v_pFile, &oContent);
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

QString ProcessUtilsLinuxImpl::accountText(const QString &v_oUser) const
{
    return hostName() + QLatin1Char('/') + v_oUser;
}

QString ProcessUtilsLinuxImpl::getInfoFromUid(uid_t v_uiUid, bool v_bWithDomain)
{
    int iErr = 0;
    const QString oUser = userNameForUid(v_uiUid, &iErr);
    if (oUser.isEmpty()) {
        throwLogged<LookupAccountSidException>(
            "ProcessUtilsLinuxImpl::getInfoFromSID",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUserNameFromSID LookupAccountSid Error: %1").arg(iErr));
    }
    return v_bWithDomain ? accountText(oUser) : oUser;
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

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForUid(qint64 v_iUid)
{
    int iErr = 0;
    const QString oUser = (v_iUid >= 0 && v_iUid < 0xFFFFFFFFll) ? userNameForUid(static_cast<uid_t>(v_iUid), &iErr)
                                                              : QString();
    return oUser.isEmpty() ? QString::fromLatin1(kUnknownAccount) : accountText(oUser);
}

QString ProcessUtilsLinuxImpl::getUsernameForSystemAccount()
{
    int iErr = 0;
    const QString oUser = userNameForUid(0, &iErr);
    if (oUser.isEmpty()) {
        PU_LOG(WARN, "getUsernameForSystemAccount") << "Can't obtain system SID!";
        return QString::fromLatin1(kUnknownAccount);
    }
    PU_LOG(INFO, "getUsernameForSystemAccount") << "system SID obtained";
    return oUser;
}

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForSystemAccount()
{
    const QString oUser = getUsernameForSystemAccount();
    return oUser == QLatin1String(kUnknownAccount) ? oUser : accountText(oUser);
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
        const QByteArray oExe = m_procRoot + '/' + QByteArray::number(v_iPid) + "/exe";
        std::vector<char> oBuffer(4096);
        const ssize_t iLen = ::readlink(oExe.constData(), oBuffer.data(), oBuffer.size());
        if (iLen > 0 && static_cast<size_t>(iLen) < oBuffer.size()) {
            oName = processNameFromPath(QByteArray(oBuffer.data(), static_cast<int>(iLen)));
        } else {
            iErr = iLen < 0 ? errno : ENAMETOOLONG;
            // Kernel threads have no executable, another account's process
            // hides it: the kernel's command name is readable by all.
            QByteArray oComm;
            if (readSmallFile(m_procRoot + '/' + QByteArray::number(v_iPid) + "/comm", &oComm, 4096) == 0)
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

// ---- TCP table ---------------------------------------------------------------------

namespace {

// One end of the connection as the kernel keys it; an IPv4-mapped IPv6
// address is looked up as the IPv4 address it carries.
bool kernelEndpoint(const QHostAddress &v_oAddress, quint16 v_uiPort, TcpEndpoint *v_poEndpoint)
{
    bool bIpv4 = false;
    const quint32 uiIpv4 = v_oAddress.toIPv4Address(&bIpv4);
    if (bIpv4) {
        *v_poEndpoint = ipv4Endpoint(uiIpv4, v_uiPort);
        return true;
    }
    if (v_oAddress.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR oIpv6 = v_oAddress.toIPv6Address();
    *v_poEndpoint = ipv6Endpoint(oIpv6.c, v_uiPort);
    return true;
}

} // namespace

QString ClientConnection::clientText() const
{
    const QString oAddress = clientAddress.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + clientAddress.toString() + QLatin1Char(']')
                                 : clientAddress.toString();
    return oAddress + QLatin1Char(':') + QString::number(clientPort);
}

bool ProcessUtilsLinuxImpl::findRowAtPort(quint16 v_uiPort, const char *v_pFunction, TcpRow *v_poRow)
{
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_procRoot, kAllTcpStates, v_uiPort, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            v_pFunction,
            QStringLiteral("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: %1").arg(iErr));
    }
    if (oRows.isEmpty())
        return false;
    *v_poRow = oRows.first();
    return true;
}

bool ProcessUtilsLinuxImpl::findClientRow(const ClientConnection &v_oConnection, const char *v_pFunction,
                                          TcpRow *v_poRow)
{
    // Only the exact four-tuple names the client: another account may bind
    // 127.0.0.2 (or any 127/8 address) to the port of one of the user's own
    // connections, and a look-up by port would find the user's socket.
    TcpEndpoint oClient;
    TcpEndpoint oServer;
    if (!v_oConnection.isComplete() || !kernelEndpoint(v_oConnection.clientAddress, v_oConnection.clientPort, &oClient)
        || !kernelEndpoint(v_oConnection.serverAddress, v_oConnection.serverPort, &oServer)
        || oClient.family != oServer.family)
        return false;
    if (m_procRoot == "/proc") {
        // The client's end: its local side is the client address, its remote
        // side the server's. One hash look-up in the kernel.
        const int iErr = lookupTcpConnection(oClient, oServer, v_poRow);
        if (iErr == 0)
            return true;
        if (iErr == ENOENT)
            return false;
        // No socket diagnostics: the table decides, by the same four values.
    }
    if (oClient.family != AF_INET)
        return false;  // the table holds IPv4 rows only
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_procRoot, kAllTcpStates, v_oConnection.clientPort, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            v_pFunction,
            QStringLiteral("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: %1").arg(iErr));
    }
    const quint32 uiClientAddr = ntohl(oClient.addr[0]);
    const quint32 uiServerAddr = ntohl(oServer.addr[0]);
    for (const TcpRow &oRow : qAsConst(oRows)) {
        if (oRow.localAddr == uiClientAddr && oRow.localPort == v_oConnection.clientPort
            && oRow.remoteAddr == uiServerAddr && oRow.remotePort == v_oConnection.serverPort) {
            *v_poRow = oRow;
            return true;
        }
    }
    return false;
}

qint64 ProcessUtilsLinuxImpl::getPidOfProcessAtPort(quint16 v_uiPort)
{
    // Who holds a local port (a listener, at start-up): never used to name a client.
    TcpRow oRow;
    qint64 iPid = 0;
    if (findRowAtPort(v_uiPort, "ProcessUtilsLinuxImpl::getPidOfProcessAtPort", &oRow))
        iPid = findPidOfSocketInode(m_procRoot, oRow.inode, oRow.uid);
    PU_LOG(INFO, "getPidOfProcessAtPort") << "Got client pid(" << iPid << ")";
    return iPid;
}

namespace {

// Root processes that recently held a root-owned client socket (a watchdog,
// an updater, a load generator): they tend to make the next connection too.
struct RecentRootHolders
{
    std::mutex mutex;
    QVector<qint64> pids;  // most recent first
};

RecentRootHolders &recentRootHolders()
{
    static RecentRootHolders s_oRecent;
    return s_oRecent;
}

constexpr int kRecentRootHolders = 8;

} // namespace

qint64 ProcessUtilsLinuxImpl::rootHolderFromRecent(const TcpRow &v_oRow)
{
    // Only an answer the full search would give in its decision: the search
    // visits root's processes first, so for a root-owned socket any root
    // process that holds it means a root client. A holder of another account
    // proves nothing (a root process may hold the socket as well): search then.
    if (v_oRow.uid != 0 || v_oRow.inode == 0 || m_procRoot != "/proc")
        return 0;
    QVector<qint64> oPids;
    {
        std::lock_guard<std::mutex> oGuard(recentRootHolders().mutex);
        oPids = recentRootHolders().pids;
    }
    for (const qint64 iPid : qAsConst(oPids)) {
        QByteArray oStatus;
        uid_t uiUid = 1;
        if (readSmallFile(m_procRoot + '/' + QByteArray::number(iPid) + "/status", &oStatus) != 0
            || !parseStatusEffectiveUid(oStatus, &uiUid) || uiUid != 0)
            continue;
        QSet<quint64> oInodes;
        if (socketInodesOfPid(m_procRoot, iPid, &oInodes) == 0 && oInodes.contains(v_oRow.inode))
            return iPid;
    }
    return 0;
}

void ProcessUtilsLinuxImpl::rememberRootHolder(const TcpRow &v_oRow, qint64 v_iPid)
{
    if (v_oRow.uid != 0 || v_iPid <= 0 || m_procRoot != "/proc")
        return;
    QByteArray oStatus;
    uid_t uiUid = 1;
    if (readSmallFile(m_procRoot + '/' + QByteArray::number(v_iPid) + "/status", &oStatus) != 0
        || !parseStatusEffectiveUid(oStatus, &uiUid) || uiUid != 0)
        return;
    std::lock_guard<std::mutex> oGuard(recentRootHolders().mutex);
    QVector<qint64> &oPids = recentRootHolders().pids;
    oPids.removeAll(v_iPid);
    oPids.prepend(v_iPid);
    if (oPids.size() > kRecentRootHolders)
        oPids.resize(kRecentRootHolders);
}

qint64 ProcessUtilsLinuxImpl::getPidOfClient(const ClientConnection &v_oConnection)
{
    TcpRow oRow;
    qint64 iPid = 0;
    if (findClientRow(v_oConnection, "ProcessUtilsLinuxImpl::getPidOfProcessAtPort", &oRow)) {
        iPid = rootHolderFromRecent(oRow);
        if (iPid == 0) {
            iPid = findPidOfSocketInode(m_procRoot, oRow.inode, oRow.uid);
            rememberRootHolder(oRow, iPid);
        }
        if (iPid == 0 && oRow.inode != 0) {
            PU_LOG(NOTICE, "getPidOfProcessAtPort") << "Socket of client " << v_oConnection.clientText() << " belongs to uid("
                                                    << oRow.uid << "), whose process is not visible to this account";
        }
    }
    PU_LOG(INFO, "getPidOfProcessAtPort") << "Got client pid(" << iPid << ")";
    return iPid;
}

qint64 ProcessUtilsLinuxImpl::getUidOfSocketAtPort(quint16 v_uiPort)
{
    TcpRow oRow;
    // A socket without a file (TIME_WAIT, or closed by its process) has no
    // owner any more; the kernel reports uid 0 for it, which is not root.
    const qint64 iUid =
        findRowAtPort(v_uiPort, "ProcessUtilsLinuxImpl::getUidOfSocketAtPort", &oRow) && oRow.inode != 0 ? oRow.uid : -1;
    PU_LOG(INFO, "getUidOfSocketAtPort") << "Socket at port(" << v_uiPort << ") has uid(" << iUid << ")";
    return iUid;
}

qint64 ProcessUtilsLinuxImpl::getUidOfClient(const ClientConnection &v_oConnection)
{
    TcpRow oRow;
    const qint64 iUid =
        findClientRow(v_oConnection, "ProcessUtilsLinuxImpl::getUidOfSocketAtPort", &oRow) && oRow.inode != 0
            ? oRow.uid
            : -1;
    PU_LOG(INFO, "getUidOfSocketAtPort") << "Socket of client " << v_oConnection.clientText() << " has uid(" << iUid << ")";
    return iUid;
}

qint64 peerSocketOwnerUid(qintptr v_iSocketDescriptor)
{
    TcpRow oRow;
    if (v_iSocketDescriptor < 0 || v_iSocketDescriptor > INT32_MAX
        || lookupPeerOfSocket(static_cast<int>(v_iSocketDescriptor), &oRow) != 0 || oRow.inode == 0)
        return -1;
    return oRow.uid;
}

quint16 ProcessUtilsLinuxImpl::getPortOfProcessWithPID(qint64 v_iPid, quint16 v_uiLowestPort)
{
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_procRoot, 1u << kTcpStateListen, -1, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            "ProcessUtilsLinuxImpl::getPortOfProcessWithPID",
            QStringLiteral("ProcessUtilsWinImpl::getPortOfProcessWithPID GetExtendedTcpTable Error: %1").arg(iErr));
    }
    QSet<quint64> oInodes;
    socketInodesOfPid(m_procRoot, v_iPid, &oInodes);  // unreadable: no socket of it is known
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
    const bool bCached = m_procRoot == "/proc";
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
        if (it == oResult.cend() || !holderStillHolds(m_procRoot, it.value(), oRow.inode)) {
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
    const QHash<quint64, SocketHolder> oFound = findHoldersOfSocketInodes(m_procRoot, oMissing);
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
    // The listening sockets come from the kernel with their owner uid, so only
    // the listeners of that account are looked at, not every process of the
    // machine. The result is the one of a walk over the process list: of the
    // processes with that name and account, the lowest pid, and its first
    // listening row in table order at or above the lowest port.
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_procRoot, 1u << kTcpStateListen, -1, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            "ProcessUtilsLinuxImpl::getPortOfProcessWithPID",
            QStringLiteral("ProcessUtilsWinImpl::getPortOfProcessWithPID GetExtendedTcpTable Error: %1").arg(iErr));
    }
    QHash<qint64, bool> oAccountOfUid;
    QVector<TcpRow> oCandidates;
    for (const TcpRow &oRow : qAsConst(oRows)) {
        if (oRow.inode == 0 || oRow.localPort < v_uiLowestPort)
            continue;
        auto it = oAccountOfUid.find(oRow.uid);
        if (it == oAccountOfUid.end())
            it = oAccountOfUid.insert(
                oRow.uid, cachedAccountOfUid(*this, oRow.uid).compare(v_oDomainAndUsername, Qt::CaseInsensitive) == 0);
        if (it.value())
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
            QString oAccount;
            const bool bMatch = getNameOfProcessWithPID(iPid).compare(v_oProcessName, Qt::CaseInsensitive) == 0
                                && queryIfAlive(m_procRoot, iPid, [&] { return getDomainAndUsernameForPID(iPid); }, &oAccount)
                                && oAccount.compare(v_oDomainAndUsername, Qt::CaseInsensitive) == 0;
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

// ---- sessions ----------------------------------------------------------------------

namespace {

QVector<SessionInfo> readAllSessions(const char *v_pFunction)
{
    QVector<SessionInfo> oSessions;
    QString oSource;
    const int iErr = readSessions(&oSessions, &oSource);
    if (iErr != 0) {
        throwLogged<WTSEnumerateSessionsException>(
            v_pFunction, QStringLiteral("ProcessUtilsWinImpl::getActiveSessionsIDs WTSEnumerateSessions Error: %1").arg(iErr));
    }
    PU_LOG(INFO, "getActiveSessionsIDs") << "Sessions read from " << oSource;
    return oSessions;
}

// Active user sessions in session order, one per account: a user logged on
// twice (a desktop and a terminal, say) is still one user.
QVector<SessionInfo> getActiveSessionsIDs()
{
    const QVector<SessionInfo> oSessions = readAllSessions("ProcessUtilsLinuxImpl::getActiveSessionsIDs");
    PU_LOG(NOTICE, "getActiveSessionsIDs") << "Found " << oSessions.size() << " WTS sessions on host";
    QVector<SessionInfo> oActive;
    for (int i = 0; i < oSessions.size(); ++i) {
        const SessionInfo &oSession = oSessions.at(i);
        PU_LOG(INFO, "getActiveSessionsIDs") << "sessionId=" << oSession.id << ", stationName = " << oSession.station;
        for (auto it = oSession.properties.cbegin(); it != oSession.properties.cend(); ++it)
            PU_LOG(INFO, "WTSLogString") << it.key() << "=" << it.value();
        if (!oSession.active)
            continue;
        const bool bSeen = std::any_of(oActive.cbegin(), oActive.cend(), [&](const SessionInfo &v_oOther) {
            return v_oOther.user.compare(oSession.user, Qt::CaseInsensitive) == 0;
        });
        if (bSeen)
            continue;
        PU_LOG(NOTICE, "getActiveSessionsIDs") << "Found active session on <" << i << "> position in list; sessionID="
                                               << oSession.id;
        oActive.append(oSession);
    }
    return oActive;
}

QString getDomainAndUsernameForSessionID(const SessionInfo &v_oSession)
{
    if (v_oSession.user.isEmpty()) {
        throwLogged<WTSQuerySessionInformationException>(
            "ProcessUtilsLinuxImpl::getDomainAndUsernameForSessionID",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSessionID WTSQuerySessionInformation Error: %1")
                .arg(ENOENT));
    }
    const QString oDomain = hostName();
    PU_LOG(INFO, "getDomainAndUsernameForSessionID") << "dwDomainNameLen = " << oDomain.size()
                                                     << "; dwUserNameLen = " << v_oSession.user.size();
    const QString oDomainAndUserName = oDomain + QLatin1Char('/') + v_oSession.user;
    PU_LOG(INFO, "getDomainAndUsernameForSessionID") << "oDomainAndUserName = " << oDomainAndUserName;
    return oDomainAndUserName;
}

// The user session in front of the machine's own screen and keyboard, if any.
bool findConsoleSession(SessionInfo *v_poSession)
{
    QVector<SessionInfo> oSessions;
    QString oSource;
    if (readSessions(&oSessions, &oSource) != 0)
        return false;
    for (const SessionInfo &oSession : qAsConst(oSessions)) {
        if (oSession.console && oSession.active) {
            *v_poSession = oSession;
            return true;
        }
    }
    return false;
}

} // namespace

QString ProcessUtilsLinuxImpl::getActiveConsoleSessionID()
{
    SessionInfo oSession;
    if (!findConsoleSession(&oSession)) {
        PU_LOG(INFO, "getActiveConsoleSessionID") << "ActiveConsoleSessionID = <none>";
        return QString::fromLatin1(kNoConsoleSession);
    }
    PU_LOG(INFO, "getActiveConsoleSessionID") << "ActiveConsoleSessionID = " << oSession.id;
    return getDomainAndUsernameForSessionID(oSession);
}

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForSingleActiveSession()
{
    const QVector<SessionInfo> oActive = getActiveSessionsIDs();
    if (oActive.size() > 1) {
        PU_LOG(WARN, "getDomainAndUsernameForSingleActiveSession")
            << "Found more than one active session. Software may be running on Windows Server OS";
        throwLogged<ActiveSessionException>(
            "ProcessUtilsLinuxImpl::getDomainAndUsernameForSingleActiveSession",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession ActiveSession Error: More than one active session"),
            QStringLiteral("More than one user already logged in."));
    }
    if (oActive.isEmpty()) {
        throwLogged<ActiveSessionException>(
            "ProcessUtilsLinuxImpl::getDomainAndUsernameForSingleActiveSession",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession ActiveSession Error: Active session not found"),
            QStringLiteral("Could not find active session."));
    }
    PU_LOG(NOTICE, "getDomainAndUsernameForSingleActiveSession") << "dwActiveSessionID=" << oActive.first().id;
    return getDomainAndUsernameForSessionID(oActive.first());
}

QStringList ProcessUtilsLinuxImpl::getDomainAndUsernamesForActiveSessions()
{
    QStringList oAccounts;
    for (const SessionInfo &oSession : getActiveSessionsIDs())
        oAccounts.append(getDomainAndUsernameForSessionID(oSession));
    return oAccounts;
}

bool ProcessUtilsLinuxImpl::isProcessOfActiveConsoleUser(qint64 v_iPid)
{
    return getDomainAndUsernameForPID(v_iPid).compare(getActiveConsoleSessionID(), Qt::CaseInsensitive) == 0;
}

int ProcessUtilsLinuxImpl::RunAsDesktopUser(const QString &v_oProgram, const QString &v_oArguments)
{
    if (::geteuid() != 0) {
        PU_LOG(WARN, "RunAsDesktopUser") << "OpenProcessToken failed: only a server running as root can start a program"
                                         << " for the desktop user";
        return -1;
    }
    SessionInfo oSession;
    if (!findConsoleSession(&oSession) || oSession.user.isEmpty()) {
        PU_LOG(WARN, "RunAsDesktopUser") << "No desktop shell is present";
        return -1;
    }
    QProcess oProcess;
    oProcess.setProgram(QStringLiteral("runuser"));
    oProcess.setArguments(QStringList{QStringLiteral("-u"), oSession.user, QStringLiteral("--"), v_oProgram}
                          + QProcess::splitCommand(v_oArguments));
    QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
    if (!oSession.display.isEmpty())
        oEnvironment.insert(QStringLiteral("DISPLAY"), oSession.display);
    if (oSession.uid > 0) {
        const QString oRuntimeDir = QStringLiteral("/run/user/%1").arg(oSession.uid);
        if (QFileInfo(oRuntimeDir).isDir())
            oEnvironment.insert(QStringLiteral("XDG_RUNTIME_DIR"), oRuntimeDir);
    }
    oProcess.setProcessEnvironment(oEnvironment);
    qint64 iPid = 0;
    if (!oProcess.startDetached(&iPid)) {
        PU_LOG(WARN, "RunAsDesktopUser") << "CreateProcessWithTokenW failed: " << oProcess.errorString();
        return -1;
    }
    PU_LOG(NOTICE, "RunAsDesktopUser") << "Started <" << v_oProgram << "> for " << oSession.user << " with pid " << iPid;
    return 0;
}

// ---- event log and environment -----------------------------------------------------

void ProcessUtilsLinuxImpl::reportEventLogError(const QString &v_oSourceName, const QString &v_oMessage)
{
    // openlog keeps the ident pointer and is process-wide: one writer at a time.
    static std::mutex s_oSyslogMutex;
    const QByteArray oIdent = v_oSourceName.toUtf8();
    const QByteArray oMessage = v_oMessage.toUtf8();
    std::lock_guard<std::mutex> oGuard(s_oSyslogMutex);
    ::openlog(oIdent.constData(), LOG_PID, LOG_USER);
    ::syslog(LOG_ERR, "%s", oMessage.constData());
    ::closelog();
}

QString ProcessUtilsLinuxImpl::getLibraryPath()
{
    return QString::fromLocal8Bit(qgetenv("LD_LIBRARY_PATH"));
}

void ProcessUtilsLinuxImpl::appendToLibraryPath(const QString &v_oDirectory)
{
    // An empty element would mean the current directory: never start with ":".
    const QByteArray oOld = qgetenv("LD_LIBRARY_PATH");
    const QByteArray oDirectory = v_oDirectory.toLocal8Bit();
    qputenv("LD_LIBRARY_PATH", oOld.isEmpty() ? oDirectory : oOld + ':' + oDirectory);
}

// ---- system commands ---------------------------------------------------------------

QByteArray ProcessUtilsLinuxImpl::runSystemCommand(const QString &v_oCommand, const QStringList &v_oArguments,
                                                   int v_iTimeoutMs)
{
    PU_LOG(INFO, "runSystemCommand") << "v_oCommand=" << v_oCommand;
    PU_LOG(INFO, "runSystemCommand") << "v_oArguments=" << v_oArguments.join(QLatin1Char(';'));
    const QStringList oCommandLine = QProcess::splitCommand(v_oCommand);
    if (oCommandLine.isEmpty()) {
        PU_LOG(WARN, "runSystemCommand") << "Empty command";
        return QByteArray();
    }
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.start(oCommandLine.first(), oCommandLine.mid(1));
    if (!oProcess.waitForStarted(30000)) {
        PU_LOG(WARN, "runSystemCommand") << "Command could not be started: " << oProcess.errorString();
        return QByteArray();
    }
    oProcess.write(v_oArguments.join(QLatin1Char(' ')).toLocal8Bit());
    oProcess.closeWriteChannel();
    if (!oProcess.waitForFinished(v_iTimeoutMs) && oProcess.state() != QProcess::NotRunning) {
        // The child is killed rather than left running unobserved; its output is dropped.
        PU_LOG(WARN, "runSystemCommand") << kTimeoutText;
        oProcess.kill();
        oProcess.waitForFinished(1000);
        return QByteArrayLiteral("Command finished with TIMEOUT");
    }
    const QByteArray oStdError = oProcess.readAllStandardError();
    if (!oStdError.isEmpty())
        PU_LOG(WARN, "runSystemCommand") << "oStdError=" << oStdError;
    return oProcess.readAllStandardOutput();
}

// ---- system information report -----------------------------------------------------

namespace {

// The report scripts are written to a shell's standard input.
const char kProcessesScript[] = "ps -e -ww -o pid,ppid,user,stat,rss,etime,time,args";

const char kCriticalInfoScript[] =
    "echo \"LastBootUpTime=$(date -d @$(sed -n 's/^btime //p' /proc/stat) '+%Y-%m-%d %H:%M:%S %z')\";"
    " echo \"LocalDateTime=$(date '+%Y-%m-%d %H:%M:%S %z')\";"
    " echo \"Name=$(sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '\\\"')\";"
    " echo \"OSArchitecture=$(uname -m)\";"
    " echo \"Version=$(uname -sr) $(uname -v)\"";

const char kDetailInfoScript[] =
    "echo \"CodeSet=$(locale charmap)\";"
    " echo \"CSName=$(uname -n)\";"
    " echo \"Description=$(sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '\\\"')\";"
    " echo \"InstallDate=$(stat -c %w / 2>/dev/null)\";"
    " echo \"MUILanguages=$LANGUAGE\";"
    " echo \"SystemDirectory=/usr/lib\";"
    " locale";

const char kAntivirusScript[] =
    "p=$(command -v clamscan 2>/dev/null); if [ -n \"$p\" ]; then echo displayName=ClamAV;"
    " echo pathToSignedProductExe=$p;"
    " echo productState=$(systemctl is-active clamav-daemon 2>/dev/null || echo unknown);"
    " t=$(ls -t /var/lib/clamav/daily.c?d 2>/dev/null | head -n 1);"
    " if [ -n \"$t\" ]; then echo timestamp=$(date -r \"$t\" '+%Y-%m-%d %H:%M:%S %z'); fi; echo; fi";

} // namespace

QString ProcessUtilsLinuxImpl::getProcessesList()
{
    return QString::fromLocal8Bit(runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kProcessesScript)}, kReportTimeoutMs));
}

QString ProcessUtilsLinuxImpl::getSystemCriticalInfo()
{
    return QString::fromLocal8Bit(runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kCriticalInfoScript)}, kReportTimeoutMs));
}

QString ProcessUtilsLinuxImpl::getSystemDetailInfo()
{
    return QString::fromLocal8Bit(runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kDetailInfoScript)}, kReportTimeoutMs));
}

namespace {

// Version of the Debian package that installed the file, or empty.
QString fileVersion(const QString &v_oPath)
{
    QStringList oCandidates{v_oPath};
    const QString oCanonical = QFileInfo(v_oPath).canonicalFilePath();
    if (!oCanonical.isEmpty() && oCanonical != v_oPath)
        oCandidates.prepend(oCanonical);
    for (const QString &oPath : qAsConst(oCandidates)) {
        const ToolResult oOwner = runTool(QStringLiteral("dpkg-query"), {QStringLiteral("-S"), oPath}, kReportTimeoutMs);
        if (oOwner.exitCode != 0)
            continue;
        // "chromium: /usr/bin/chromium" or "pkg-a, pkg-b: /path"
        const QByteArray oLine = oOwner.output.split('\n').value(0);
        const int iSep = oLine.indexOf(": ");
        if (iSep <= 0)
            continue;
        const QString oPackage = QString::fromUtf8(oLine.left(iSep).split(',').value(0).trimmed());
        const ToolResult oVersion = runTool(QStringLiteral("dpkg-query"),
                                            {QStringLiteral("-W"), QStringLiteral("-f=${Version}"), oPackage}, kReportTimeoutMs);
        if (oVersion.exitCode == 0 && !oVersion.output.trimmed().isEmpty())
            return QString::fromUtf8(oVersion.output.trimmed());
    }
    return QString();
}

} // namespace

QString ProcessUtilsLinuxImpl::getBrowsersInfo()
{
    // Registered browsers are desktop entries that handle http links, the
    // machine's first, then the user's.
    const QByteArray oDataHome = qgetenv("XDG_DATA_HOME");
    const QStringList oRoots{QStringLiteral("/usr/share/applications"),
                             (oDataHome.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share")
                                                  : QString::fromLocal8Bit(oDataHome))
                                 + QStringLiteral("/applications")};
    QStringList oEntries;
    for (const QString &oRoot : oRoots) {
        const QStringList oFiles = QDir(oRoot).entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
        for (const QString &oFile : oFiles) {
            QByteArray oText;
            if (readSmallFile(QFile::encodeName(oRoot + QLatin1Char('/') + oFile), &oText) != 0)
                continue;
            // Only the [Desktop Entry] group; actions follow in groups of their own.
            const int iNextGroup = oText.indexOf("\n[", oText.indexOf("[Desktop Entry]") + 1);
            const QMap<QString, QString> oValues = parseKeyValueText(iNextGroup > 0 ? oText.left(iNextGroup) : oText);
            const bool bBrowser = oValues.value(QStringLiteral("MimeType")).contains(QLatin1String("x-scheme-handler/http"))
                                  || oValues.value(QStringLiteral("Categories")).contains(QLatin1String("WebBrowser"));
            if (!bBrowser || oValues.value(QStringLiteral("Hidden")) == QLatin1String("true"))
                continue;
            QString oProgram = QProcess::splitCommand(oValues.value(QStringLiteral("Exec"))).value(0);
            if (oProgram.startsWith(QLatin1Char('"')) && oProgram.endsWith(QLatin1Char('"')) && oProgram.size() > 1)
                oProgram = oProgram.mid(1, oProgram.size() - 2);
            if (!oProgram.contains(QLatin1Char('/')))
                oProgram = QStandardPaths::findExecutable(oProgram);
            const QString oVersion = oProgram.isEmpty() ? QString() : fileVersion(oProgram);
            const QString oName = oValues.value(QStringLiteral("Name"), oFile);
            if (oVersion.isEmpty()) {
                PU_LOG(INFO, "getBrowsersInfo") << "File Version not found.";
                oEntries.append(oName + QStringLiteral(" Version - Not Found"));
            } else {
                oEntries.append(oName + QStringLiteral(" Version - ") + oVersion);
            }
        }
    }
    return oEntries.join(QLatin1Char('\n'));
}

QString ProcessUtilsLinuxImpl::getAntivirusInfo()
{
    const QStringList oNames{QStringLiteral("displayName"), QStringLiteral("pathToSignedProductExe"),
                             QStringLiteral("productState"), QStringLiteral("timestamp")};
    const QByteArray oOutput = runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kAntivirusScript)}, 15000);
    QStringList oLines;
    for (const auto &oRecord : parseAntivirusRecords(oOutput, oNames)) {
        QStringList oFields;
        for (const QString &oName : oNames)
            oFields.append(oName + QLatin1Char('=') + oRecord.value(oName));
        oLines.append(oFields.join(QStringLiteral(", ")));
    }
    return oLines.join(QLatin1Char('\n'));
}

QString ProcessUtilsLinuxImpl::getConnectedDevicesInfo()
{
    return QStringLiteral("<NOT IMPLEMENTED>");
}
