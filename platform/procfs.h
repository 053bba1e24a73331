#pragma once

// Reading /proc: whole small files, the list of processes, and the fields of
// /proc/<pid>/status and /proc/<pid>/stat the server uses. Bytes from the
// kernel are untrusted input: a malformed field makes a parser return false.

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/types.h>

namespace qtxplatform {

// Reads a small file completely (procfs files report size 0). Returns 0 or errno.
int readSmallFile(const QByteArray &v_oPath, QByteArray *v_poContent, qint64 v_iLimit = 1 << 20);

// Numeric entries of <procRoot>, ascending. Returns 0 or errno.
int listPids(const QByteArray &v_oProcRoot, QList<qint64> *v_poPids);

// True for a non-empty text of decimal digits only (a pid or descriptor name).
bool isAllDigits(const char *v_pText);

// <procRoot>/<pid>/<leaf>
QByteArray pidPath(const QByteArray &v_oProcRoot, qint64 v_iPid, const char *v_pLeaf);

// Fields of /proc/<pid>/status.
bool parseStatusEffectiveUid(const QByteArray &v_oStatus, uid_t *v_poUid);
bool parseStatusCapEff(const QByteArray &v_oStatus, quint64 *v_poCaps);

// Field 22 (starttime, clock ticks since boot) of /proc/<pid>/stat. The
// command name in parentheses may itself contain blanks and ')'.
bool parseStatStartTime(const QByteArray &v_oStat, quint64 *v_poTicks);

// "/usr/bin/server.bin" -> "server"; drops the " (deleted)" the kernel
// appends to a replaced executable. With bIsPath false the text is a kernel
// command name ("kworker/0:1"), whose slashes are not directories.
QString processNameFromPath(const QByteArray &v_oPath, bool v_bIsPath = true);

} // namespace qtxplatform
