#include "tcptable.h"

#include "procfs.h"
#include "sockdiag.h"

#include <QList>

#include <algorithm>

#include <arpa/inet.h>
#include <sys/socket.h>

namespace qtxplatform {

// IPv4-mapped IPv6 address (::ffff:a.b.c.d), given as four 32-bit words in network order.
bool mappedIpv4(const quint32 v_aWords[4], quint32 *v_poAddr)
{
    if (v_aWords[0] != 0 || v_aWords[1] != 0 || v_aWords[2] != htonl(0x0000ffffu))
        return false;
    *v_poAddr = ntohl(v_aWords[3]);
    return true;
}

namespace {

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

const TcpRow *portHolderRow(const QVector<TcpRow> &v_oRows)
{
    const TcpRow *poBest = nullptr;
    int iBestRank = 3;
    for (const TcpRow &oRow : v_oRows) {
        if (oRow.inode == 0)
            continue;
        int iRank = 2;
        if (oRow.state == kTcpStateListen)
            iRank = oRow.localAddr == INADDR_LOOPBACK || oRow.localAddr == INADDR_ANY ? 0 : 1;
        if (iRank < iBestRank) {
            poBest = &oRow;
            iBestRank = iRank;
        }
    }
    return poBest;
}

} // namespace qtxplatform
