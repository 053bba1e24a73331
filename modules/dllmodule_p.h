#pragma once

// What the files of DllModule share: the module lock, the call counter, the
// module log and the trusted opening and mapping of library files. Not for
// users of DllModule.

#include "qtxtypes.h"

#include <QByteArray>
#include <QString>

#include <mutex>

class QTXLogger;

namespace dllmodule {

// The module lock: one for every module in the process.
extern std::mutex g_moduleMutex;

// Counts one call into the library for as long as it runs, also when it throws.
// Used with the module lock held.
class UsageGuard
{
public:
    explicit UsageGuard(quint64 &v_ulUsage) : m_ulUsage(v_ulUsage) { ++m_ulUsage; }
    ~UsageGuard() { --m_ulUsage; }
    UsageGuard(const UsageGuard &) = delete;
    UsageGuard &operator=(const UsageGuard &) = delete;

private:
    quint64 &m_ulUsage;
};

QTXLogger &logger();

// The name the dynamic loader opens a descriptor by.
QByteArray fdPath(int v_iFd);

// The descriptor to map the checked file open at v_iFd through (see
// dllmodule_files.cpp); give it back with releaseFd.
int acquireMappingFd(int v_iFd);
void releaseFd(int v_iFd);

// Empty when a module folder may be trusted, else why not.
QString folderProblem(const QString &v_oFolder);
// Opens a library file for mapping; -1 with the reason when it must not be used.
int openTrusted(const QString &v_oPath, QString *v_poProblem);

} // namespace dllmodule
