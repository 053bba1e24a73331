#pragma once

// The kernel's socket diagnostics (NETLINK_SOCK_DIAG) for TCP: a dump of the
// sockets in some states, and the look-up of one connection by its four
// addresses and ports, with each socket's owner uid and inode.

#include "tcptable.h"

#include <QVector>

namespace qtxplatform {

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

} // namespace qtxplatform
