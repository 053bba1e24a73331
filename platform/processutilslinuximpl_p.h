#pragma once

// Readers of the kernel's process, socket and session data behind
// ProcessUtilsLinuxImpl. Everything the kernel (or a utmp/logind file) hands
// us is treated as untrusted input: every field is bounds-checked, and a
// malformed record is skipped rather than trusted. Readers take a root path
// or the raw bytes so tests can feed fixtures.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

#include <sys/types.h>

namespace qtxplatform {

// One IPv4 TCP socket. Addresses and ports in host byte order.
// IPv4-mapped rows of IPv6 sockets are folded in as IPv4 rows.
struct TcpRow
{
    quint32 localAddr = 0;
    quint16 localPort = 0;
    quint32 remoteAddr = 0;
    quint16 remotePort = 0;
    int state = 0;        // TCP_ESTABLISHED = 1 ... TCP_LISTEN = 10
    qint64 uid = -1;
    quint64 inode = 0;    // 0 for sockets without a file (TIME_WAIT, request sockets)
};

constexpr int kTcpStateListen = 10;
constexpr quint32 kAllTcpStates = 0xFFFFFFFFu;

// Parses the text of /proc/net/tcp (bIpv6 false) or /proc/net/tcp6 (true);
// malformed lines are skipped. IPv6 lines are kept only for IPv4-mapped local addresses.
QVector<TcpRow> parseProcNetTcp(const QByteArray &v_oContent, bool v_bIpv6);

// Asks NETLINK_SOCK_DIAG for the TCP sockets of one family in the given
// state mask (bit 1 << state); iLocalPort >= 0 restricts the dump to that
// local port in the kernel. Returns 0 or an errno value.
int dumpTcpSocketsNetlink(int v_iFamily, quint32 v_uiStates, int v_iLocalPort, QVector<TcpRow> *v_poRows);

// One end of a TCP connection: family AF_INET or AF_INET6, the address as the
// kernel stores it (network order; an IPv4 address in the first word) and the port.
struct TcpEndpoint
{
    int family = 0;
    quint32 addr[4] = {0, 0, 0, 0};
    quint16 port = 0;
};

TcpEndpoint ipv4Endpoint(quint32 v_uiHostOrderAddr, quint16 v_uiPort);
TcpEndpoint ipv6Endpoint(const quint8 v_aAddr[16], quint16 v_uiPort);

// Asks NETLINK_SOCK_DIAG for the one socket whose local end is v_oLocal and
// whose remote end is v_oRemote (a hash look-up in the kernel, independent of
// the number of sockets and processes). Returns 0 with the row filled, ENOENT
// when no such connection exists (a listener on the local port does not
// count), or another errno value when the kernel cannot be asked.
int lookupTcpConnection(const TcpEndpoint &v_oLocal, const TcpEndpoint &v_oRemote, TcpRow *v_poRow);

// The row of the peer's end of a connected TCP socket of this process, by the
// socket's own addresses. Returns 0, ENOENT or an errno value as above.
int lookupPeerOfSocket(int v_iSocket, TcpRow *v_poRow);

// The machine's IPv4 TCP table (netlink, falling back to <procRoot>/net/tcp
// and tcp6), sorted by local address, local port, remote address, remote port.
// Returns 0 or an errno value; v_poSource receives "netlink" or "procfs".
int readTcpTable(const QByteArray &v_oProcRoot, quint32 v_uiStates, int v_iLocalPort,
                 QVector<TcpRow> *v_poRows, const char **v_poSource = nullptr);

void sortTcpRows(QVector<TcpRow> *v_poRows);

// Reads a small file completely (procfs files report size 0). Returns 0 or errno.
int readSmallFile(const QByteArray &v_oPath, QByteArray *v_poContent, qint64 v_iLimit = 1 << 20);

// Numeric entries of <procRoot>, ascending. Returns 0 or errno.
int listPids(const QByteArray &v_oProcRoot, QList<qint64> *v_poPids);

// Socket inodes held open by one process (through <procRoot>/<pid>/fd). Returns 0 or errno.
int socketInodesOfPid(const QByteArray &v_oProcRoot, qint64 v_iPid, QSet<quint64> *v_poInodes);

// The first pid (in /proc order) holding the socket inode, or 0 when no
// visible process holds it. With the socket's owner uid given, that owner's
// processes are searched first (the others only when none of them holds it).
qint64 findPidOfSocketInode(const QByteArray &v_oProcRoot, quint64 v_uiInode, qint64 v_iOwnerUid = -1);

// Where a socket is held: a process and one of its descriptors.
struct SocketHolder
{
    qint64 pid = 0;
    int fd = -1;
};

// Finds holders for several socket inodes in one pass over the processes.
// v_oOwners maps each inode to its owner uid: processes whose /proc folder
// belongs to one of the owners are searched first, the others only for inodes
// still missing. The pass ends as soon as every inode is found.
QHash<quint64, SocketHolder> findHoldersOfSocketInodes(const QByteArray &v_oProcRoot,
                                                       const QHash<quint64, qint64> &v_oOwners);

// True when descriptor v_iFd of process v_iPid still is the socket v_uiInode.
bool holderStillHolds(const QByteArray &v_oProcRoot, const SocketHolder &v_oHolder, quint64 v_uiInode);

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

// Text in the passwd database for a uid; empty and errno set in *v_poErr when missing.
QString userNameForUid(uid_t v_uiUid, int *v_poErr);
QString hostName();

// One logon session, from logind or utmp.
struct SessionInfo
{
    QString id;
    QString station;   // seat/tty/display, for the log
    QString user;
    qint64 uid = -1;
    bool active = false;
    bool console = false;  // on seat0 (logind) or a local tty/display (utmp)
    QString display;
    QMap<QString, QString> properties;  // raw key/values, logged
};

// USER_PROCESS entries of a utmp file whose process still exists (stale
// entries of crashed logins are dropped). Returns 0 or errno.
int readUtmpSessions(const QByteArray &v_oPath, QVector<SessionInfo> *v_poSessions);

// Sessions of systemd-logind from <runDir>/sessions/* and the active session
// of seat0 from <runDir>/seats/seat0. Only sessions of class "user" in state
// "active" count as active. Returns 0 or errno.
int readLogindSessions(const QByteArray &v_oRunDir, QVector<SessionInfo> *v_poSessions);

// KEY=VALUE lines (logind's state files).
QMap<QString, QString> parseKeyValueText(const QByteArray &v_oText);

// Where sessions come from: QTX_UTMP_FILE forces that utmp file,
// QTX_LOGIND_DIR that logind run folder; otherwise logind when it runs
// (/run/systemd/system and /run/systemd/sessions exist), else /var/run/utmp.
int readSessions(QVector<SessionInfo> *v_poSessions, QString *v_poSourceText);

// Antivirus report: records separated by blank lines, fields name=value
// (value up to the next carriage return or line end); missing fields "<UNKNOWN>".
QList<QMap<QString, QString>> parseAntivirusRecords(const QByteArray &v_oOutput, const QStringList &v_oNames);

} // namespace qtxplatform
