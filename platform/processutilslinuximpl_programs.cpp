#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"

#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstdint>
#include <csignal>
#include <ctime>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace qtxplatform;

namespace {

constexpr int kShutdownWaitMs = 5000;

constexpr int kServiceTimeoutMs = 30000;

const char kTimeoutText[] = "Command finished with TIMEOUT";

class PidFd
{
public:
    explicit PidFd(qint64 v_iPid)
    {
        if (v_iPid > 0 && v_iPid <= INT32_MAX)
            m_iFd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(v_iPid), 0));
    }
    ~PidFd() { if (m_iFd >= 0) ::close(m_iFd); }
    PidFd(const PidFd &) = delete;
    PidFd &operator=(const PidFd &) = delete;
    int get() const { return m_iFd; }
    bool valid() const { return m_iFd >= 0; }

    bool sendSignal(int v_iSignal) const
    {
        return ::syscall(SYS_pidfd_send_signal, m_iFd, v_iSignal, nullptr, 0) == 0;
    }
    // True once the process has ended (a zombie counts as ended).
    bool waitEnded(int v_iTimeoutMs) const
    {
        pollfd oPoll{m_iFd, POLLIN, 0};
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
    int m_iFd = -1;
};

} // namespace

namespace qtxplatform {

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

} // namespace qtxplatform

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
