#pragma once

// Readers of the kernel's process, socket and session data behind
// ProcessUtilsLinuxImpl. Everything the kernel (or a utmp/logind file) hands
// us is treated as untrusted input: every field is bounds-checked, and a
// malformed record is skipped rather than trusted. Readers take a root path
// or the raw bytes so tests can feed fixtures.
//
// One file per source:
//   procfs.h          /proc files: small-file reads, the process list, status and stat fields
//   tcptable.h        the TCP table (netlink dump, else /proc/net/tcp and tcp6)
//   sockdiag.h        netlink socket diagnostics: dumps and one-connection look-ups
//   socketholders.h   which process holds a socket (/proc/<pid>/fd)
//   accountnames.h    passwd names and the host name
//   sessionsources.h  logon sessions from logind or utmp

#include "accountnames.h"
#include "procfs.h"
#include "sessionsources.h"
#include "socketholders.h"
#include "sockdiag.h"
#include "tcptable.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace qtxplatform {

// Antivirus report: records separated by blank lines, fields name=value
// (value up to the next carriage return or line end); missing fields "<UNKNOWN>".
QList<QMap<QString, QString>> parseAntivirusRecords(const QByteArray &v_oOutput, const QStringList &v_oNames);

} // namespace qtxplatform
