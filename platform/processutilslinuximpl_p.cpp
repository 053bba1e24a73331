#include "processutilslinuximpl_p.h"

#include <QFileInfo>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>

namespace qtxplatform {

namespace {

class UniqueFd
{
public:
    explicit UniqueFd(int v_iFd = -1) : m_fd(v_iFd) {}
    ~UniqueFd() { if (m_fd >= 0) ::close(m_fd); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

struct DirCloser
{
    void operator()(DIR *v_pDir) const { ::closedir(v_pDir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool isAllDigits(const char *v_pText)
{
    if (!*v_pText)
        return false;
    for (const char *p = v_pText; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

QByteArray pidPath(const QByteArray &v_oProcRoot, qint64 v_iPid, const char *v_pLeaf)
{
    return v_oProcRoot + '/' + QByteArray::number(v_iPid) + '/' + v_pLeaf;
}

// IPv4-mapped IPv6 address (::ffff:a.b.c.d), given as four 32-bit words in network order.
bool mappedIpv4(const quint32 v_aWords[4], quint32 *v_poAddr)
{
    if (v_aWords[0] != 0 || v_aWords[1] != 0 || v_aWords[2] != htonl(0x0000ffffu))
        return false;
    *v_poAddr = ntohl(v_aWords[3]);
    return true;
}

bool parseHexU32(const QByteArray &v_oText, quint32 *v_poValue)
{
    if (v_oText.isEmpty() || v_oText.size() > 8)
        return false;
    bool bOk = false;
    const uint uiValue = v_oText.toUInt(&bOk, 16);
    if (!bOk)
        return false;
    *v_poValue = uiValue;
    return true;
}

// "0100007F:0CEA" (tcp) or 32 hex digits ":" port (tcp6); the address words are
// printed as the raw 32-bit values of network-order data. An IPv6 address that
// is neither IPv4-mapped nor "::" is rejected (v_poMapped false when "::").
bool parseProcAddress(const QByteArray &v_oField, bool v_bIpv6, quint32 *v_poAddr, quint16 *v_poPort,
                      bool *v_poMapped = nullptr)
{
    const int iColon = v_oField.indexOf(':');
    const int iAddrLen = v_bIpv6 ? 32 : 8;
    if (iColon != iAddrLen || v_oField.size() - iColon - 1 != 4)
        return false;
    quint32 uiPort = 0;
    if (!parseHexU32(v_oField.mid(iColon + 1), &uiPort) || uiPort > 0xffff)
        return false;
    quint32 aWords[4] = {0, 0, 0, 0};
    for (int i = 0; i < iAddrLen / 8; ++i) {
        if (!parseHexU32(v_oField.mid(i * 8, 8), &aWords[i]))
            return false;
    }
    if (v_poMapped)
        *v_poMapped = true;
    if (v_bIpv6) {
        if (!mappedIpv4(aWords, v_poAddr)) {
            if (aWords[0] || aWords[1] || aWords[2] || aWords[3])
                return false;
            *v_poAddr = 0;
            if (v_poMapped)
                *v_poMapped = false;
        }
    } else {
        *v_poAddr = ntohl(aWords[0]);
    }
    *v_poPort = static_cast<quint16>(uiPort);
    return true;
}

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

// What one message of a sock_diag answer (sequence 1) carries: a socket
// (copied to v_poMsg), the end of a dump, an error (errno in v_piError), or
// something else to skip.
DiagPart diagPart(const nlmsghdr *v_pMsg, inet_diag_msg *v_poMsg, int *v_piError)
{
    if (v_pMsg->nlmsg_seq != 1)
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

QVector<TcpRow> parseProcNetTcp(const QByteArray &v_oContent, bool v_bIpv6)
{
    QVector<TcpRow> oRows;
    const QList<QByteArray> oLines = v_oContent.split('\n');
    for (int i = 1; i < oLines.size(); ++i) {  // line 0 is the column header
        const QList<QByteArray> oFields = oLines.at(i).simplified().split(' ');
        if (oFields.size() < 10)
            continue;
        TcpRow oRow;
        bool bMapped = false;
        // Only IPv4 and IPv4-mapped local addresses; the remote end of a
        // listener on a mapped address reads "::".
        if (!parseProcAddress(oFields.at(1), v_bIpv6, &oRow.localAddr, &oRow.localPort, &bMapped) || !bMapped)
            continue;
        if (!parseProcAddress(oFields.at(2), v_bIpv6, &oRow.remoteAddr, &oRow.remotePort))
            continue;
        quint32 uiState = 0;
        if (!parseHexU32(oFields.at(3), &uiState) || uiState == 0 || uiState > 12)
            continue;
        oRow.state = static_cast<int>(uiState);
        bool bUidOk = false;
        bool bInodeOk = false;
        oRow.uid = oFields.at(7).toLongLong(&bUidOk);
        oRow.inode = oFields.at(9).toULongLong(&bInodeOk);
        if (!bUidOk || !bInodeOk || oRow.uid < 0)
            continue;
        oRows.append(oRow);
    }
    return oRows;
}

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
            const DiagPart ePart = diagPart(pMsg, &oMsg, &iError);
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

int lookupTcpConnection(const TcpEndpoint &v_oLocal, const TcpEndpoint &v_oRemote, TcpRow *v_poRow)
{
    if (v_oLocal.family != v_oRemote.family || (v_oLocal.family != AF_INET && v_oLocal.family != AF_INET6))
        return EINVAL;
    UniqueFd oSocket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!oSocket.valid())
        return errno;

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
    oMessage.header.nlmsg_seq = 1;
    oMessage.request.sdiag_family = static_cast<__u8>(v_oLocal.family);
    oMessage.request.sdiag_protocol = IPPROTO_TCP;
    oMessage.request.idiag_states = kAllTcpStates;
    oMessage.request.id.idiag_sport = htons(v_oLocal.port);
    oMessage.request.id.idiag_dport = htons(v_oRemote.port);
    std::memcpy(oMessage.request.id.idiag_src, v_oLocal.addr, sizeof(v_oLocal.addr));
    std::memcpy(oMessage.request.id.idiag_dst, v_oRemote.addr, sizeof(v_oRemote.addr));
    oMessage.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    oMessage.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    if (const int iError = sendToKernel(oSocket.get(), &oMessage, sizeof(oMessage)))
        return iError;

    alignas(nlmsghdr) char aBuffer[8192];
    ssize_t iRead;
    do {
        iRead = ::recv(oSocket.get(), aBuffer, sizeof(aBuffer), 0);
    } while (iRead < 0 && errno == EINTR);
    if (iRead < 0)
        return errno;
    int iLen = static_cast<int>(iRead);
    for (auto *pMsg = reinterpret_cast<nlmsghdr *>(aBuffer); NLMSG_OK(pMsg, iLen); pMsg = NLMSG_NEXT(pMsg, iLen)) {
        inet_diag_msg oMsg;
        int iError = 0;
        const DiagPart ePart = diagPart(pMsg, &oMsg, &iError);
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
    return EPROTO;
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

void sortTcpRows(QVector<TcpRow> *v_poRows)
{
    std::stable_sort(v_poRows->begin(), v_poRows->end(), [](const TcpRow &a, const TcpRow &b) {
        if (a.localAddr != b.localAddr)
            return a.localAddr < b.localAddr;
        if (a.localPort != b.localPort)
            return a.localPort < b.localPort;
        if (a.remoteAddr != b.remoteAddr)
            return a.remoteAddr < b.remoteAddr;
        return a.remotePort < b.remotePort;
    });
}

int readTcpTable(const QByteArray &v_oProcRoot, quint32 v_uiStates, int v_iLocalPort,
                 QVector<TcpRow> *v_poRows, const char **v_poSource)
{
    QVector<TcpRow> oRows;
    int iErr = dumpTcpSocketsNetlink(AF_INET, v_uiStates, v_iLocalPort, &oRows);
    if (iErr == 0)
        iErr = dumpTcpSocketsNetlink(AF_INET6, v_uiStates, v_iLocalPort, &oRows);
    if (iErr == 0) {
        if (v_poSource)
            *v_poSource = "netlink";
    } else {
        // No socket diagnostics (module missing, netlink filtered): the text tables.
        oRows.clear();
        QByteArray oContent;
        iErr = readSmallFile(v_oProcRoot + "/net/tcp", &oContent, 256 << 20);
        if (iErr != 0)
            return iErr;
        oRows = parseProcNetTcp(oContent, false);
        if (readSmallFile(v_oProcRoot + "/net/tcp6", &oContent, 256 << 20) == 0)
            oRows += parseProcNetTcp(oContent, true);
        oRows.erase(std::remove_if(oRows.begin(), oRows.end(),
                                   [&](const TcpRow &r) {
                                       return !(v_uiStates & (1u << r.state))
                                              || (v_iLocalPort >= 0 && r.localPort != v_iLocalPort);
                                   }),
                    oRows.end());
        if (v_poSource)
            *v_poSource = "procfs";
    }
    sortTcpRows(&oRows);
    *v_poRows = oRows;
    return 0;
}

int readSmallFile(const QByteArray &v_oPath, QByteArray *v_poContent, qint64 v_iLimit)
{
    v_poContent->clear();
    UniqueFd oFd(::open(v_oPath.constData(), O_RDONLY | O_CLOEXEC));
    if (!oFd.valid())
        return errno;
    char aBuffer[8192];
    for (;;) {
        const ssize_t iRead = ::read(oFd.get(), aBuffer, sizeof(aBuffer));
        if (iRead < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (iRead == 0)
            return 0;
        if (v_poContent->size() + iRead > v_iLimit)
            return EFBIG;
        v_poContent->append(aBuffer, static_cast<int>(iRead));
    }
}

int listPids(const QByteArray &v_oProcRoot, QList<qint64> *v_poPids)
{
    v_poPids->clear();
    UniqueDir oDir(::opendir(v_oProcRoot.constData()));
    if (!oDir)
        return errno;
    errno = 0;
    while (const dirent *pEntry = ::readdir(oDir.get())) {
        if (!isAllDigits(pEntry->d_name) || std::strlen(pEntry->d_name) > 10)
            continue;
        const qint64 iPid = QByteArray(pEntry->d_name).toLongLong();
        if (iPid > 0)
            v_poPids->append(iPid);
    }
    if (errno != 0)
        return errno;
    std::sort(v_poPids->begin(), v_poPids->end());
    return 0;
}

namespace {

// "socket:[12345]" -> 12345
bool socketInodeFromLink(const char *v_pLink, ssize_t v_iLen, quint64 *v_poInode)
{
    static const char kPrefix[] = "socket:[";
    constexpr ssize_t kPrefixLen = sizeof(kPrefix) - 1;
    if (v_iLen <= kPrefixLen + 1 || std::memcmp(v_pLink, kPrefix, kPrefixLen) != 0 || v_pLink[v_iLen - 1] != ']')
        return false;
    quint64 uiValue = 0;
    for (ssize_t i = kPrefixLen; i < v_iLen - 1; ++i) {
        const char c = v_pLink[i];
        if (c < '0' || c > '9' || uiValue > (~quint64(0) - 9) / 10)
            return false;
        uiValue = uiValue * 10 + static_cast<quint64>(c - '0');
    }
    *v_poInode = uiValue;
    return true;
}

template <typename Visitor>
int forEachSocketInode(const QByteArray &v_oProcRoot, qint64 v_iPid, Visitor v_oVisit)
{
    const QByteArray oPath = pidPath(v_oProcRoot, v_iPid, "fd");
    UniqueDir oDir(::opendir(oPath.constData()));
    if (!oDir)
        return errno;
    const int iDirFd = ::dirfd(oDir.get());
    char aLink[64];
    while (const dirent *pEntry = ::readdir(oDir.get())) {
        if (pEntry->d_name[0] == '.')
            continue;
        const ssize_t iLen = ::readlinkat(iDirFd, pEntry->d_name, aLink, sizeof(aLink));
        quint64 uiInode = 0;
        if (iLen > 0 && iLen < static_cast<ssize_t>(sizeof(aLink)) && socketInodeFromLink(aLink, iLen, &uiInode)) {
            if (v_oVisit(uiInode))
                return 0;
        }
    }
    return 0;
}

} // namespace

int socketInodesOfPid(const QByteArray &v_oProcRoot, qint64 v_iPid, QSet<quint64> *v_poInodes)
{
    return forEachSocketInode(v_oProcRoot, v_iPid, [&](quint64 v_uiInode) {
        v_poInodes->insert(v_uiInode);
        return false;
    });
}

qint64 findPidOfSocketInode(const QByteArray &v_oProcRoot, quint64 v_uiInode, qint64 v_iOwnerUid)
{
    if (v_uiInode == 0)
        return 0;
    QList<qint64> oPids;
    if (listPids(v_oProcRoot, &oPids) != 0)
        return 0;
    const auto holds = [&](qint64 v_iPid) {
        bool bFound = false;
        forEachSocketInode(v_oProcRoot, v_iPid, [&](quint64 v_uiHeld) {
            bFound = (v_uiHeld == v_uiInode);
            return bFound;
        });
        return bFound;
    };
    // First pass: processes of the socket's owner (a /proc/<pid> folder belongs
    // to the process's effective uid, or to root for a non-dumpable process).
    // A socket handed to or kept across a change of account is found by the
    // second pass over everything else.
    const bool bRootFoldersReadable = v_iOwnerUid == 0 || ::geteuid() == 0;
    QList<qint64> oOthers;
    for (const qint64 iPid : qAsConst(oPids)) {
        struct stat oInfo;
        const bool bOwner = v_iOwnerUid < 0
                            || (::stat((v_oProcRoot + '/' + QByteArray::number(iPid)).constData(), &oInfo) == 0
                                && (qint64(oInfo.st_uid) == v_iOwnerUid || (oInfo.st_uid == 0 && bRootFoldersReadable)));
        if (!bOwner) {
            oOthers.append(iPid);
            continue;
        }
        if (holds(iPid))
            return iPid;
    }
    for (const qint64 iPid : qAsConst(oOthers)) {
        if (holds(iPid))
            return iPid;
    }
    return 0;
}

QHash<quint64, SocketHolder> findHoldersOfSocketInodes(const QByteArray &v_oProcRoot,
                                                       const QHash<quint64, qint64> &v_oOwners)
{
    QHash<quint64, SocketHolder> oFound;
    QList<qint64> oPids;
    if (v_oOwners.isEmpty() || listPids(v_oProcRoot, &oPids) != 0)
        return oFound;
    QSet<qint64> oOwnerUids;
    for (const qint64 iUid : v_oOwners)
        oOwnerUids.insert(iUid);
    // Visits the descriptors of one process; true once every inode is found.
    const auto visit = [&](qint64 v_iPid) {
        const QByteArray oPath = pidPath(v_oProcRoot, v_iPid, "fd");
        UniqueDir oDir(::opendir(oPath.constData()));
        if (!oDir)
            return false;
        const int iDirFd = ::dirfd(oDir.get());
        char aLink[64];
        while (const dirent *pEntry = ::readdir(oDir.get())) {
            if (!isAllDigits(pEntry->d_name))
                continue;
            const ssize_t iLen = ::readlinkat(iDirFd, pEntry->d_name, aLink, sizeof(aLink));
            quint64 uiInode = 0;
            if (iLen > 0 && iLen < static_cast<ssize_t>(sizeof(aLink)) && socketInodeFromLink(aLink, iLen, &uiInode)
                && v_oOwners.contains(uiInode) && !oFound.contains(uiInode)) {
                oFound.insert(uiInode, SocketHolder{v_iPid, std::atoi(pEntry->d_name)});
                if (oFound.size() == v_oOwners.size())
                    return true;
            }
        }
        return false;
    };
    QList<qint64> oOthers;
    for (const qint64 iPid : qAsConst(oPids)) {
        struct stat oInfo;
        // A non-dumpable process's folder belongs to root: it is met in the
        // second pass, so a root dispatcher does not walk all of root's first.
        const bool bOwner = ::stat((v_oProcRoot + '/' + QByteArray::number(iPid)).constData(), &oInfo) == 0
                            && oOwnerUids.contains(qint64(oInfo.st_uid));
        if (!bOwner) {
            oOthers.append(iPid);
            continue;
        }
        if (visit(iPid))
            return oFound;
    }
    for (const qint64 iPid : qAsConst(oOthers)) {
        if (visit(iPid))
            return oFound;
    }
    return oFound;
}

bool holderStillHolds(const QByteArray &v_oProcRoot, const SocketHolder &v_oHolder, quint64 v_uiInode)
{
    if (v_oHolder.pid <= 0 || v_oHolder.fd < 0)
        return false;
    const QByteArray oPath = pidPath(v_oProcRoot, v_oHolder.pid, "fd") + '/' + QByteArray::number(v_oHolder.fd);
    char aLink[64];
    const ssize_t iLen = ::readlink(oPath.constData(), aLink, sizeof(aLink));
    quint64 uiInode = 0;
    return iLen > 0 && iLen < static_cast<ssize_t>(sizeof(aLink)) && socketInodeFromLink(aLink, iLen, &uiInode)
           && uiInode == v_uiInode;
}

namespace {

// The fields after "<key>:" on the line that starts with key.
QList<QByteArray> statusFields(const QByteArray &v_oStatus, const QByteArray &v_oKey)
{
    for (const QByteArray &oLine : v_oStatus.split('\n')) {
        if (oLine.startsWith(v_oKey) && oLine.size() > v_oKey.size() && oLine.at(v_oKey.size()) == ':')
            return oLine.mid(v_oKey.size() + 1).simplified().split(' ');
    }
    return {};
}

} // namespace

bool parseStatusEffectiveUid(const QByteArray &v_oStatus, uid_t *v_poUid)
{
    const QList<QByteArray> oFields = statusFields(v_oStatus, "Uid");
    if (oFields.size() < 2)
        return false;
    bool bOk = false;
    const qulonglong uiUid = oFields.at(1).toULongLong(&bOk);
    if (!bOk || uiUid > 0xFFFFFFFEull)
        return false;
    *v_poUid = static_cast<uid_t>(uiUid);
    return true;
}

bool parseStatusCapEff(const QByteArray &v_oStatus, quint64 *v_poCaps)
{
    const QList<QByteArray> oFields = statusFields(v_oStatus, "CapEff");
    if (oFields.size() != 1 || oFields.at(0).isEmpty() || oFields.at(0).size() > 16)
        return false;
    bool bOk = false;
    const qulonglong uiCaps = oFields.at(0).toULongLong(&bOk, 16);
    if (!bOk)
        return false;
    *v_poCaps = uiCaps;
    return true;
}

bool parseStatStartTime(const QByteArray &v_oStat, quint64 *v_poTicks)
{
    const int iClose = v_oStat.lastIndexOf(')');
    if (iClose < 0)
        return false;
    // After ") ": field 3 (state) onwards; starttime is field 22.
    const QList<QByteArray> oFields = v_oStat.mid(iClose + 1).simplified().split(' ');
    constexpr int kStartTimeIndex = 22 - 3;
    if (oFields.size() <= kStartTimeIndex)
        return false;
    bool bOk = false;
    const qulonglong uiTicks = oFields.at(kStartTimeIndex).toULongLong(&bOk);
    if (!bOk)
        return false;
    *v_poTicks = uiTicks;
    return true;
}

QString processNameFromPath(const QByteArray &v_oPath, bool v_bIsPath)
{
    QByteArray oPath = v_oPath;
    static const QByteArray kDeleted(" (deleted)");
    if (oPath.endsWith(kDeleted))
        oPath.chop(kDeleted.size());
    QString oName = QString::fromLocal8Bit(oPath);
    const int iSlash = v_bIsPath ? oName.lastIndexOf(QLatin1Char('/')) : -1;
    if (iSlash >= 0)
        oName = oName.mid(iSlash + 1);
    const int iDot = oName.lastIndexOf(QLatin1Char('.'));
    if (iDot > 0)  // ".hidden" has no extension
        oName.truncate(iDot);
    return oName;
}

QString userNameForUid(uid_t v_uiUid, int *v_poErr)
{
    long iSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (iSize <= 0)
        iSize = 16384;
    for (;;) {
        std::vector<char> oBuffer(static_cast<size_t>(iSize));
        passwd oEntry;
        passwd *pResult = nullptr;
        const int iErr = ::getpwuid_r(v_uiUid, &oEntry, oBuffer.data(), oBuffer.size(), &pResult);
        if (iErr == ERANGE && iSize < (1 << 20)) {
            iSize *= 2;
            continue;
        }
        if (iErr != 0 || !pResult) {
            *v_poErr = iErr ? iErr : ENOENT;
            return QString();
        }
        *v_poErr = 0;
        return QString::fromLocal8Bit(pResult->pw_name);
    }
}

QString hostName()
{
    char aName[256 + 1] = {0};
    if (::gethostname(aName, sizeof(aName) - 1) != 0)
        return QStringLiteral("localhost");
    return QString::fromLocal8Bit(aName);
}

namespace {

QString fixedField(const char *v_pField, size_t v_uiSize)
{
    // utmp's fields are not NUL-terminated when full: the length is bounded
    // here, and the bytes are handed over with it (no strlen over the field).
    return QString::fromLocal8Bit(QByteArray::fromRawData(v_pField, static_cast<int>(::strnlen(v_pField, v_uiSize))));
}

bool isLocalLine(const QString &v_oLine, const QString &v_oHost)
{
    // A virtual console (tty1...) or an X display (":0") on this machine.
    if (v_oLine.startsWith(QLatin1String("tty")) && v_oLine.size() > 3) {
        bool bOk = false;
        v_oLine.mid(3).toInt(&bOk);
        if (bOk)
            return true;
    }
    return v_oLine.startsWith(QLatin1Char(':')) && (v_oHost.isEmpty() || v_oHost.startsWith(QLatin1Char(':')));
}

} // namespace

int readUtmpSessions(const QByteArray &v_oPath, QVector<SessionInfo> *v_poSessions)
{
    QByteArray oContent;
    const int iErr = readSmallFile(v_oPath, &oContent, 64 << 20);
    if (iErr != 0)
        return iErr;
    const int iCount = oContent.size() / static_cast<int>(sizeof(utmp));  // a torn last record is ignored
    for (int i = 0; i < iCount; ++i) {
        utmp oEntry;
        std::memcpy(&oEntry, oContent.constData() + i * sizeof(utmp), sizeof(utmp));
        if (oEntry.ut_type != USER_PROCESS)
            continue;
        SessionInfo oSession;
        oSession.user = fixedField(oEntry.ut_user, sizeof(oEntry.ut_user));
        if (oSession.user.isEmpty())
            continue;
        if (oEntry.ut_pid > 0 && ::kill(oEntry.ut_pid, 0) != 0 && errno == ESRCH)
            continue;
        const QString oLine = fixedField(oEntry.ut_line, sizeof(oEntry.ut_line));
        const QString oHost = fixedField(oEntry.ut_host, sizeof(oEntry.ut_host));
        oSession.id = oLine.isEmpty() ? fixedField(oEntry.ut_id, sizeof(oEntry.ut_id)) : oLine;
        oSession.station = oLine;
        oSession.active = true;
        oSession.console = isLocalLine(oLine, oHost);
        if (oLine.startsWith(QLatin1Char(':')))
            oSession.display = oLine;
        else if (oHost.startsWith(QLatin1Char(':')))
            oSession.display = oHost;
        oSession.properties.insert(QStringLiteral("USER"), oSession.user);
        oSession.properties.insert(QStringLiteral("LINE"), oLine);
        oSession.properties.insert(QStringLiteral("HOST"), oHost);
        oSession.properties.insert(QStringLiteral("PID"), QString::number(oEntry.ut_pid));
        v_poSessions->append(oSession);
    }
    return 0;
}

QMap<QString, QString> parseKeyValueText(const QByteArray &v_oText)
{
    QMap<QString, QString> oValues;
    for (const QByteArray &oLine : v_oText.split('\n')) {
        const int iEq = oLine.indexOf('=');
        if (iEq <= 0 || oLine.startsWith('#'))
            continue;
        oValues.insert(QString::fromUtf8(oLine.left(iEq)), QString::fromUtf8(oLine.mid(iEq + 1)));
    }
    return oValues;
}

int readLogindSessions(const QByteArray &v_oRunDir, QVector<SessionInfo> *v_poSessions)
{
    QByteArray oSeat;
    QString oConsoleSession;
    if (readSmallFile(v_oRunDir + "/seats/seat0", &oSeat) == 0)
        oConsoleSession = parseKeyValueText(oSeat).value(QStringLiteral("ACTIVE"));

    const QByteArray oDirPath = v_oRunDir + "/sessions";
    UniqueDir oDir(::opendir(oDirPath.constData()));
    if (!oDir)
        return errno;
    QStringList oIds;
    while (const dirent *pEntry = ::readdir(oDir.get())) {
        const QString oName = QString::fromLocal8Bit(pEntry->d_name);
        // Session files only; logind keeps "<id>.ref" fifos beside them.
        if (oName.startsWith(QLatin1Char('.')) || oName.contains(QLatin1Char('.')))
            continue;
        oIds.append(oName);
    }
    // Numeric ids in numeric order, others ("c1") after them.
    std::sort(oIds.begin(), oIds.end(), [](const QString &a, const QString &b) {
        bool bA = false, bB = false;
        const qulonglong uiA = a.toULongLong(&bA), uiB = b.toULongLong(&bB);
        if (bA != bB)
            return bA;
        return bA ? uiA < uiB : a < b;
    });
    for (const QString &oId : qAsConst(oIds)) {
        QByteArray oText;
        if (readSmallFile(oDirPath + '/' + oId.toLocal8Bit(), &oText) != 0)
            continue;
        const QMap<QString, QString> oValues = parseKeyValueText(oText);
        SessionInfo oSession;
        oSession.id = oId;
        oSession.properties = oValues;
        bool bUidOk = false;
        oSession.uid = oValues.value(QStringLiteral("UID")).toLongLong(&bUidOk);
        if (!bUidOk)
            oSession.uid = -1;
        oSession.user = oValues.value(QStringLiteral("USER"));
        if (oSession.uid >= 0) {
            int iErr = 0;
            const QString oName = userNameForUid(static_cast<uid_t>(oSession.uid), &iErr);
            if (!oName.isEmpty())
                oSession.user = oName;
        }
        const QString oSeatName = oValues.value(QStringLiteral("SEAT"));
        const QString oTty = oValues.value(QStringLiteral("TTY"));
        oSession.display = oValues.value(QStringLiteral("DISPLAY"));
        oSession.station = !oSeatName.isEmpty() ? oSeatName : (!oTty.isEmpty() ? oTty : oSession.display);
        const QString oClass = oValues.value(QStringLiteral("CLASS"), QStringLiteral("user"));
        oSession.active = oValues.value(QStringLiteral("STATE")) == QLatin1String("active")
                          && oClass == QLatin1String("user") && !oSession.user.isEmpty();
        oSession.console = !oConsoleSession.isEmpty() && oId == oConsoleSession;
        v_poSessions->append(oSession);
    }
    return 0;
}

int readSessions(QVector<SessionInfo> *v_poSessions, QString *v_poSourceText)
{
    const QByteArray oUtmp = qgetenv("QTX_UTMP_FILE");
    if (!oUtmp.isEmpty()) {
        *v_poSourceText = QStringLiteral("utmp ") + QString::fromLocal8Bit(oUtmp);
        return readUtmpSessions(oUtmp, v_poSessions);
    }
    QByteArray oRunDir = qgetenv("QTX_LOGIND_DIR");
    if (oRunDir.isEmpty()) {
        struct stat oInfo;
        if (::lstat("/run/systemd/system", &oInfo) == 0 && S_ISDIR(oInfo.st_mode)
            && ::lstat("/run/systemd/sessions", &oInfo) == 0 && S_ISDIR(oInfo.st_mode))
            oRunDir = "/run/systemd";
    }
    if (!oRunDir.isEmpty()) {
        *v_poSourceText = QStringLiteral("logind ") + QString::fromLocal8Bit(oRunDir);
        return readLogindSessions(oRunDir, v_poSessions);
    }
    *v_poSourceText = QStringLiteral("utmp " _PATH_UTMP);
    const int iErr = readUtmpSessions(_PATH_UTMP, v_poSessions);
    // No utmp file at all means nobody logged on through login(1), not a failure.
    return iErr == ENOENT ? 0 : iErr;
}

QList<QMap<QString, QString>> parseAntivirusRecords(const QByteArray &v_oOutput, const QStringList &v_oNames)
{
    QList<QMap<QString, QString>> oRecords;
    QByteArray oText = v_oOutput;
    oText.replace("\r\n", "\n");
    oText.replace('\r', '\n');
    QMap<QString, QString> oCurrent;
    bool bHasField = false;
    const auto flush = [&]() {
        if (!bHasField)
            return;
        for (const QString &oName : v_oNames) {
            if (!oCurrent.contains(oName))
                oCurrent.insert(oName, QStringLiteral("<UNKNOWN>"));
        }
        oRecords.append(oCurrent);
        oCurrent.clear();
        bHasField = false;
    };
    for (const QByteArray &oRaw : oText.split('\n')) {
        const QByteArray oLine = oRaw.trimmed();
        if (oLine.isEmpty()) {
            flush();
            continue;
        }
        const int iEq = oLine.indexOf('=');
        if (iEq <= 0)
            continue;
        const QString oName = QString::fromUtf8(oLine.left(iEq));
        if (!v_oNames.contains(oName))
            continue;
        oCurrent.insert(oName, QString::fromUtf8(oLine.mid(iEq + 1)));
        bHasField = true;
    }
    flush();
    return oRecords;
}

} // namespace qtxplatform
