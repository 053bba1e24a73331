#pragma once

// The machine's TCP table: one row per IPv4 (or IPv4-mapped) TCP socket, from
// the kernel's socket diagnostics (sockdiag.h) or, where those cannot be
// asked, from the text of /proc/net/tcp and tcp6. Malformed lines are skipped.

#include <QByteArray>
#include <QVector>

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

// IPv4-mapped IPv6 address (::ffff:a.b.c.d), given as four 32-bit words in
// network order: the IPv4 address in host order.
bool mappedIpv4(const quint32 v_aWords[4], quint32 *v_poAddr);

// The machine's IPv4 TCP table (netlink, falling back to <procRoot>/net/tcp
// and tcp6), sorted by local address, local port, remote address, remote port.
// Returns 0 or an errno value; v_poSource receives "netlink" or "procfs".
int readTcpTable(const QByteArray &v_oProcRoot, quint32 v_uiStates, int v_iLocalPort,
                 QVector<TcpRow> *v_poRows, const char **v_poSource = nullptr);

void sortTcpRows(QVector<TcpRow> *v_poRows);

// Of rows that share a local port, the socket holding the port: a listener on
// 127.0.0.1 or on every address, then a listener on another address, then any
// socket that still has a file. A row without one (TIME_WAIT, or a socket its
// process has closed) is never chosen: an earlier connection from the same
// port must not hide the live socket behind it. Null when no row qualifies.
const TcpRow *portHolderRow(const QVector<TcpRow> &v_oRows);

} // namespace qtxplatform
