#pragma once

// Shared by the files of ProcessUtilsLinuxImpl: the log line of an operation,
// the logged throw of a failed query, running a tool, and telling a process
// that ended during a query from one that cannot be opened.

#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cerrno>

#include <unistd.h>

#define PU_LOG(prio, op) QTX_LOG(ProcessUtilsLogger::Instance(), prio, "ProcessUtilsLinuxImpl::" op)

namespace qtxplatform {

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

// A tool run with its arguments on the command line (not on stdin).
struct ToolResult
{
    bool started = false;
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
};

// Runs the tool and waits for it at most v_iTimeoutMs (killed after that);
// standard input is empty, output and errors are merged.
ToolResult runTool(const QString &v_oProgram, const QStringList &v_oArguments, int v_iTimeoutMs);

// A process that ended between listing and query is skipped; any other
// failure to open it is the caller's.
template <typename Query, typename Result>
bool queryIfAlive(const QByteArray &v_oProcRoot, qint64 v_iPid, Query v_oQuery, Result *v_poResult)
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

} // namespace qtxplatform
