// ProcessUtilsLinuxImpl, one file per job:
//   processutilslinuximpl.cpp              creation, the event log, the library path
//   processutilslinuximpl_programs.cpp     starting and stopping processes, services, shell commands
//   processutilslinuximpl_processes.cpp    process lists, names, owners, rights and lifetimes
//   processutilslinuximpl_accounts.cpp     account texts, the system account, administrator rights
//   processutilslinuximpl_connections.cpp  the process and account at the other end of a connection
//   processutilslinuximpl_listeners.cpp    the port a user's server process listens on
//   processutilslinuximpl_sessions.cpp     logon sessions and the console user
//   processutilslinuximpl_report.cpp       the system information report
// The readers of the kernel's data they use are declared in processutilslinuximpl_p.h.

#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"

#include <mutex>

#include <syslog.h>

using namespace qtxplatform;

std::unique_ptr<ProcessUtils> createProcessUtils()
{
    return std::make_unique<ProcessUtilsLinuxImpl>();
}

ProcessUtilsLinuxImpl::ProcessUtilsLinuxImpl(const QByteArray &v_oProcRoot)
    : m_oProcRoot(v_oProcRoot)
{
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
