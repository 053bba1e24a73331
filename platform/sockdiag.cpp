#include "sockdiag.h"

#include "unixhandles.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace qtxplatform {

namespace {

// Sends one request to the kernel's sock_diag; 0 or an errno value.
int sendToKernel(int v_iSocket, const void *v_pMessage, size_t v_uiSize)
{
    sockaddr_nl oKernel;
    std::memset(&oKernel, 0, sizeof(oKernel));
    oKernel.nl_family = AF_NETLINK;
    ssize_t iSent;
    do {
        iSent = ::sendto(v_iSocket, v_pMessage, v_uiSize, 0, reinterpret_cast<sockaddr *>(&oKernel), sizeof(oKernel));
    } while (iSent < 0 && errno == EINTR);
    return iSent < 0 ? errno : 0;
}

enum class DiagPart { Socket, Done, Error, Other };

// What one message of the sock_diag answer to request v_uiSeq carries: a
// socket (copied to v_poMsg), the end of a dump, an error (errno in
// v_piError), or something else to skip.
DiagPart diagPart(const nlmsghdr *v_pMsg, quint32 v_uiSeq, inet_diag_msg *v_poMsg, int *v_piError)
{
    if (v_pMsg->nlmsg_seq != v_uiSeq)
        return DiagPart::Other;
    if (v_pMsg->nlmsg_type == NLMSG_DONE)
        return DiagPart::Done;
    if (v_pMsg->nlmsg_type == NLMSG_ERROR) {
        *v_piError = EPROTO;
        if (v_pMsg->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
            nlmsgerr oErr;
            std::memcpy(&oErr, NLMSG_DATA(v_pMsg), sizeof(oErr));
            if (oErr.error)
                *v_piError = -oErr.error;
        }
        return DiagPart::Error;
    }
    if (v_pMsg->nlmsg_type != SOCK_DIAG_BY_FAMILY || v_pMsg->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return DiagPart::Other;
    std::memcpy(v_poMsg, NLMSG_DATA(v_pMsg), sizeof(*v_poMsg));
    return DiagPart::Socket;
}

} // namespace

int dumpTcpSocketsNetlink(int v_iFamily, quint32 v_uiStates, int v_iLocalPort, QVector<TcpRow> *v_poRows)
{
    UniqueFd oSocket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!oSocket.valid())
        return errno;

    // Request: header, dump request, and for one port a bytecode filter made of
    // a single "source port equals" condition (yes: accept, no: reject).
    // inet_diag_hostcond without its flexible address array (prefix length 0).
    struct HostCond
    {
        __u8 family;
        __u8 prefix_len;
        int port;
    };
    struct PortFilter
    {
        inet_diag_bc_op op;
        HostCond cond;
    };
    static_assert(sizeof(HostCond) == sizeof(inet_diag_hostcond) && offsetof(HostCond, port) == offsetof(inet_diag_hostcond, port),
                  "unexpected inet_diag_hostcond layout");
    static_assert(sizeof(PortFilter) == 12, "unexpected inet_diag bytecode layout");
    const size_t uiAttrSpace = NLA_ALIGN(NLA_HDRLEN + sizeof(PortFilter));

    std::vector<char> oRequest(NLMSG_SPACE(sizeof(inet_diag_req_v2)) + (v_iLocalPort >= 0 ? uiAttrSpace : 0), 0);
    auto *pHeader = reinterpret_cast<nlmsghdr *>(oRequest.data());
    pHeader->nlmsg_len = static_cast<__u32>(oRequest.size());
    pHeader->nlmsg_type = SOCK_DIAG_BY_FAMILY;
    pHeader->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    pHeader->nlmsg_seq = 1;
    inet_diag_req_v2 oReq;
    std::memset(&oReq, 0, sizeof(oReq));
    oReq.sdiag_family = static_cast<__u8>(v_iFamily);
    oReq.sdiag_protocol = IPPROTO_TCP;
    oReq.idiag_states = v_uiStates;
    std::memcpy(NLMSG_DATA(pHeader), &oReq, sizeof(oReq));
    if (v_iLocalPort >= 0) {
        char *pAttr = oRequest.data() + NLMSG_SPACE(sizeof(inet_diag_req_v2));
        nlattr oAttr;
        oAttr.nla_len = static_cast<__u16>(NLA_HDRLEN + sizeof(PortFilter));
        oAttr.nla_type = INET_DIAG_REQ_BYTECODE;
        std::memcpy(pAttr, &oAttr, sizeof(oAttr));
        PortFilter oFilter;
        std::memset(&oFilter, 0, sizeof(oFilter));
        oFilter.op.code = INET_DIAG_BC_S_COND;
        oFilter.op.yes = sizeof(PortFilter);
        oFilter.op.no = sizeof(PortFilter) + 4;
        oFilter.cond.family = AF_UNSPEC;
        oFilter.cond.prefix_len = 0;
        oFilter.cond.port = v_iLocalPort;
        std::memcpy(pAttr + NLA_HDRLEN, &oFilter, sizeof(oFilter));
    }

    if (const int iError = sendToKernel(oSocket.get(), oRequest.data(), oRequest.size()))
        return iError;

    std::vector<char> oBuffer(32768);
    QVector<TcpRow> oRows;
    for (;;) {
        ssize_t iRead;
        do {
            iRead = ::recv(oSocket.get(), oBuffer.data(), oBuffer.size(), 0);
        } while (iRead < 0 && errno == EINTR);
        if (iRead < 0)
            return errno;
        if (iRead == 0)
            return EPROTO;
        int iLen = static_cast<int>(iRead);
        for (auto *pMsg = reinterpret_cast<nlmsghdr *>(oBuffer.data()); NLMSG_OK(pMsg, iLen);
             pMsg = NLMSG_NEXT(pMsg, iLen)) {
            inet_diag_msg oMsg;
            int iError = 0;
            const DiagPart ePart = diagPart(pMsg, 1, &oMsg, &iError);
            if (ePart == DiagPart::Done) {
                v_poRows->append(oRows);
                return 0;
            }
            if (ePart == DiagPart::Error)
                return iError;
            if (ePart == DiagPart::Other)
                continue;
            TcpRow oRow;
            if (oMsg.idiag_family == AF_INET) {
                oRow.localAddr = ntohl(oMsg.id.idiag_src[0]);
                oRow.remoteAddr = ntohl(oMsg.id.idiag_dst[0]);
            } else if (oMsg.idiag_family == AF_INET6) {
                quint32 aSrc[4], aDst[4];
                std::memcpy(aSrc, oMsg.id.idiag_src, sizeof(aSrc));
                std::memcpy(aDst, oMsg.id.idiag_dst, sizeof(aDst));
                if (!mappedIpv4(aSrc, &oRow.localAddr))
                    continue;
                if (!mappedIpv4(aDst, &oRow.remoteAddr))
                    oRow.remoteAddr = 0;
            } else {
                continue;
            }
            oRow.localPort = ntohs(oMsg.id.idiag_sport);
            oRow.remotePort = ntohs(oMsg.id.idiag_dport);
            oRow.state = oMsg.idiag_state;
            oRow.uid = oMsg.idiag_uid;
            oRow.inode = oMsg.idiag_inode;
            oRows.append(oRow);
        }
    }
}

TcpEndpoint ipv4Endpoint(quint32 v_uiHostOrderAddr, quint16 v_uiPort)
{
    TcpEndpoint oEndpoint;
    oEndpoint.family = AF_INET;
    oEndpoint.addr[0] = htonl(v_uiHostOrderAddr);
    oEndpoint.port = v_uiPort;
    return oEndpoint;
}

TcpEndpoint ipv6Endpoint(const quint8 v_aAddr[16], quint16 v_uiPort)
{
    TcpEndpoint oEndpoint;
    oEndpoint.family = AF_INET6;
    std::memcpy(oEndpoint.addr, v_aAddr, sizeof(oEndpoint.addr));
    oEndpoint.port = v_uiPort;
    return oEndpoint;
}

namespace {

// Every look-up of a thread goes through one sock_diag socket of its own,
// opened at the first and kept: a look-up then costs a send and a receive.
// Answers are told apart by their sequence number; after any failure the
// socket is closed, so that no late answer can be taken for a later request.
struct DiagSocket
{
    int fd = -1;
    quint32 seq = 0;
    ~DiagSocket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void drop()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

thread_local DiagSocket t_diagSocket;

} // namespace

int lookupTcpConnection(const TcpEndpoint &v_oLocal, const TcpEndpoint &v_oRemote, TcpRow *v_poRow)
{
    if (v_oLocal.family != v_oRemote.family || (v_oLocal.family != AF_INET && v_oLocal.family != AF_INET6))
        return EINVAL;
    DiagSocket &oSocket = t_diagSocket;
    if (oSocket.fd < 0) {
        oSocket.fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (oSocket.fd < 0)
            return errno;
    }
    if (++oSocket.seq == 0)
        oSocket.seq = 1;
    const quint32 uiSeq = oSocket.seq;

    // Without NLM_F_DUMP the kernel looks the 4-tuple up in its connection hash
    // (as for an arriving packet) and answers with that one socket or an error.
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } oMessage;
    std::memset(&oMessage, 0, sizeof(oMessage));
    oMessage.header.nlmsg_len = sizeof(oMessage);
    oMessage.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    oMessage.header.nlmsg_flags = NLM_F_REQUEST;
    oMessage.header.nlmsg_seq = uiSeq;
    oMessage.request.sdiag_family = static_cast<__u8>(v_oLocal.family);
    oMessage.request.sdiag_protocol = IPPROTO_TCP;
    oMessage.request.idiag_states = kAllTcpStates;
    oMessage.request.id.idiag_sport = htons(v_oLocal.port);
    oMessage.request.id.idiag_dport = htons(v_oRemote.port);
    std::memcpy(oMessage.request.id.idiag_src, v_oLocal.addr, sizeof(v_oLocal.addr));
    std::memcpy(oMessage.request.id.idiag_dst, v_oRemote.addr, sizeof(v_oRemote.addr));
    oMessage.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    oMessage.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    if (const int iError = sendToKernel(oSocket.fd, &oMessage, sizeof(oMessage))) {
        oSocket.drop();
        return iError;
    }

    alignas(nlmsghdr) char aBuffer[8192];
    for (;;) {
        ssize_t iRead;
        sockaddr_nl oFrom;
        do {
            socklen_t uiFromLen = sizeof(oFrom);
            std::memset(&oFrom, 0, sizeof(oFrom));
            iRead = ::recvfrom(oSocket.fd, aBuffer, sizeof(aBuffer), 0, reinterpret_cast<sockaddr *>(&oFrom),
                               &uiFromLen);
        } while (iRead < 0 && errno == EINTR);
        if (iRead <= 0) {
            const int iError = iRead < 0 ? errno : EPROTO;
            oSocket.drop();
            return iError;
        }
        // Only the kernel's answers count (sending to another process's
        // sock_diag socket needs CAP_NET_ADMIN; this holds even then).
        if (oFrom.nl_family != AF_NETLINK || oFrom.nl_pid != 0)
            continue;
        int iLen = static_cast<int>(iRead);
        bool bAnswered = false;
        for (auto *pMsg = reinterpret_cast<nlmsghdr *>(aBuffer); NLMSG_OK(pMsg, iLen); pMsg = NLMSG_NEXT(pMsg, iLen)) {
            bAnswered = bAnswered || pMsg->nlmsg_seq == uiSeq;
            inet_diag_msg oMsg;
            int iError = 0;
            const DiagPart ePart = diagPart(pMsg, uiSeq, &oMsg, &iError);
            if (ePart == DiagPart::Error)
                return iError;
            if (ePart != DiagPart::Socket)
                continue;
            // The kernel falls back to a listener on the local port when no
            // connection matches: only the exact connection counts.
            if (oMsg.idiag_state == kTcpStateListen || oMsg.id.idiag_sport != htons(v_oLocal.port)
                || oMsg.id.idiag_dport != htons(v_oRemote.port))
                return ENOENT;
            TcpRow oRow;
            quint32 aSrc[4], aDst[4];
            std::memcpy(aSrc, oMsg.id.idiag_src, sizeof(aSrc));
            std::memcpy(aDst, oMsg.id.idiag_dst, sizeof(aDst));
            if (oMsg.idiag_family == AF_INET) {
                oRow.localAddr = ntohl(aSrc[0]);
                oRow.remoteAddr = ntohl(aDst[0]);
            } else if (!mappedIpv4(aSrc, &oRow.localAddr) || !mappedIpv4(aDst, &oRow.remoteAddr)) {
                oRow.localAddr = 0;
                oRow.remoteAddr = 0;
            }
            oRow.localPort = v_oLocal.port;
            oRow.remotePort = v_oRemote.port;
            oRow.state = oMsg.idiag_state;
            oRow.uid = oMsg.idiag_uid;
            oRow.inode = oMsg.idiag_inode;
            *v_poRow = oRow;
            return 0;
        }
        // A datagram with nothing of this request: an answer to an earlier
        // one that was given up; this request's answer follows.
        if (!bAnswered)
            continue;
        oSocket.drop();
        return EPROTO;
    }
}

namespace {

bool endpointOf(const sockaddr_storage &v_oAddress, TcpEndpoint *v_poEndpoint)
{
    if (v_oAddress.ss_family == AF_INET) {
        sockaddr_in oIn;
        std::memcpy(&oIn, &v_oAddress, sizeof(oIn));
        *v_poEndpoint = ipv4Endpoint(ntohl(oIn.sin_addr.s_addr), ntohs(oIn.sin_port));
        return true;
    }
    if (v_oAddress.ss_family == AF_INET6) {
        sockaddr_in6 oIn6;
        std::memcpy(&oIn6, &v_oAddress, sizeof(oIn6));
        *v_poEndpoint = ipv6Endpoint(oIn6.sin6_addr.s6_addr, ntohs(oIn6.sin6_port));
        // A dual-stack socket carries IPv4 peers as mapped addresses; the peer's
        // own socket may be either family, and the kernel finds both by the
        // plain IPv4 addresses.
        quint32 uiV4 = 0;
        if (mappedIpv4(v_poEndpoint->addr, &uiV4))
            *v_poEndpoint = ipv4Endpoint(uiV4, v_poEndpoint->port);
        return true;
    }
    return false;
}

} // namespace

int lookupPeerOfSocket(int v_iSocket, TcpRow *v_poRow)
{
    sockaddr_storage oOwn, oPeer;
    socklen_t uiOwnLen = sizeof(oOwn), uiPeerLen = sizeof(oPeer);
    if (::getsockname(v_iSocket, reinterpret_cast<sockaddr *>(&oOwn), &uiOwnLen) != 0
        || ::getpeername(v_iSocket, reinterpret_cast<sockaddr *>(&oPeer), &uiPeerLen) != 0)
        return errno;
    TcpEndpoint oLocal, oRemote;
    if (!endpointOf(oOwn, &oLocal) || !endpointOf(oPeer, &oRemote) || oLocal.family != oRemote.family)
        return EAFNOSUPPORT;
    // The peer's end: its local side is our remote side.
    return lookupTcpConnection(oRemote, oLocal, v_poRow);
}

} // namespace qtxplatform
