#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"
#include "processutilslinuximpl_p.h"
#include "unixhandles.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/socket.h>

using namespace qtxplatform;

namespace {

// One end of the connection as the kernel keys it; an IPv4-mapped IPv6
// address is looked up as the IPv4 address it carries.
bool kernelEndpoint(const QHostAddress &v_oAddress, quint16 v_uiPort, TcpEndpoint *v_poEndpoint)
{
    bool bIpv4 = false;
    const quint32 uiIpv4 = v_oAddress.toIPv4Address(&bIpv4);
    if (bIpv4) {
        *v_poEndpoint = ipv4Endpoint(uiIpv4, v_uiPort);
        return true;
    }
    if (v_oAddress.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    const Q_IPV6ADDR oIpv6 = v_oAddress.toIPv6Address();
    *v_poEndpoint = ipv6Endpoint(oIpv6.c, v_uiPort);
    return true;
}

} // namespace

QString ClientConnection::clientText() const
{
    const QString oAddress = clientAddress.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + clientAddress.toString() + QLatin1Char(']')
                                 : clientAddress.toString();
    return oAddress + QLatin1Char(':') + QString::number(clientPort);
}

bool ProcessUtilsLinuxImpl::findRowAtPort(quint16 v_uiPort, const char *v_pFunction, TcpRow *v_poRow)
{
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_oProcRoot, kAllTcpStates, v_uiPort, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            v_pFunction,
            QStringLiteral("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: %1").arg(iErr));
    }
    const TcpRow *poHolder = portHolderRow(oRows);
    if (!poHolder)
        return false;
    *v_poRow = *poHolder;
    return true;
}

bool ProcessUtilsLinuxImpl::findClientRow(const ClientConnection &v_oConnection, const char *v_pFunction,
                                          TcpRow *v_poRow)
{
    // Only the exact four-tuple names the client: another account may bind
    // 127.0.0.2 (or any 127/8 address) to the port of one of the user's own
    // connections, and a look-up by port would find the user's socket.
    TcpEndpoint oClient;
    TcpEndpoint oServer;
    if (!v_oConnection.isComplete() || !kernelEndpoint(v_oConnection.clientAddress, v_oConnection.clientPort, &oClient)
        || !kernelEndpoint(v_oConnection.serverAddress, v_oConnection.serverPort, &oServer)
        || oClient.family != oServer.family)
        return false;
    if (v_oConnection.knownInode != 0 && v_oConnection.knownUid >= 0) {
        v_poRow->uid = v_oConnection.knownUid;
        v_poRow->inode = v_oConnection.knownInode;
        return true;
    }
    if (m_oProcRoot == "/proc") {
        // The client's end: its local side is the client address, its remote
        // side the server's. One hash look-up in the kernel.
        const int iErr = lookupTcpConnection(oClient, oServer, v_poRow);
        if (iErr == 0)
            return true;
        if (iErr == ENOENT)
            return false;
        // No socket diagnostics: the table decides, by the same four values.
    }
    if (oClient.family != AF_INET)
        return false;  // the table holds IPv4 rows only
    QVector<TcpRow> oRows;
    const int iErr = readTcpTable(m_oProcRoot, kAllTcpStates, v_oConnection.clientPort, &oRows);
    if (iErr != 0) {
        throwLogged<GetExtendedTcpTableException>(
            v_pFunction,
            QStringLiteral("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: %1").arg(iErr));
    }
    const quint32 uiClientAddr = ntohl(oClient.addr[0]);
    const quint32 uiServerAddr = ntohl(oServer.addr[0]);
    for (const TcpRow &oRow : qAsConst(oRows)) {
        if (oRow.localAddr == uiClientAddr && oRow.localPort == v_oConnection.clientPort
            && oRow.remoteAddr == uiServerAddr && oRow.remotePort == v_oConnection.serverPort) {
            *v_poRow = oRow;
            return true;
        }
    }
    return false;
}

qint64 ProcessUtilsLinuxImpl::getPidOfProcessAtPort(quint16 v_uiPort)
{
    // Who holds a local port (a listener, at start-up): never used to name a client.
    TcpRow oRow;
    qint64 iPid = 0;
    if (findRowAtPort(v_uiPort, "ProcessUtilsLinuxImpl::getPidOfProcessAtPort", &oRow))
        iPid = findPidOfSocketInode(m_oProcRoot, oRow.inode, oRow.uid);
    PU_LOG(INFO, "getPidOfProcessAtPort") << "Got client pid(" << iPid << ")";
    return iPid;
}

namespace {

// A recent root holder's /proc folder and status file, opened when it was
// found. Both stay that process's: once it ends, reads through them fail
// instead of reaching a later process with the same pid. Reading the status
// again through the open file skips the path walk and the open and close.
struct HolderFiles
{
    explicit HolderFiles(const QByteArray &v_oFolder)
        : folder(::open(v_oFolder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
        , status(folder.valid() ? ::openat(folder.get(), "status", O_RDONLY | O_CLOEXEC) : -1)
    {
    }
    UniqueFd folder;
    UniqueFd status;
};

// Root processes that recently held a root-owned client socket (a watchdog,
// an updater, a load generator): they tend to make the next connection too.
struct RecentRootHolders
{
    struct Holder
    {
        qint64 pid = 0;
        std::shared_ptr<const HolderFiles> files; // shared with readers that copied the list
    };
    std::mutex mutex;
    QVector<Holder> holders;  // most recent first
    // The socket inodes each of them held when last read. A load generator
    // or a browser helper holds hundreds of sockets; without this, each of its
    // new connections read all of its descriptor links again.
    struct Inodes
    {
        qint64 readAtMs = 0;
        QSet<quint64> inodes;
        int descriptors = 0; // how many links the read went through
    };
    QHash<qint64, Inodes> inodes;
};

// How long a read of a holder's descriptors answers for. Socket inodes come
// from a counter of the kernel that wraps only after 2^32 allocations, so an
// inode seen in a read this recent is the client's socket, not an earlier one
// with the same number; a socket made after the read is not in it and makes
// the holder be read again.
constexpr qint64 kHolderReadValidMs = 200;

RecentRootHolders &recentRootHolders()
{
    static RecentRootHolders s_oRecent;
    return s_oRecent;
}

constexpr int kRecentRootHolders = 8;

// The effective uid in a process's status, read afresh through its open file
// (the process may have changed its account since it was found).
bool effectiveUidOf(const HolderFiles &v_oFiles, uid_t *v_puiUid)
{
    char aStatus[4096];
    const ssize_t iRead = ::pread(v_oFiles.status.get(), aStatus, sizeof aStatus, 0);
    return iRead > 0 && parseStatusEffectiveUid(QByteArray::fromRawData(aStatus, int(iRead)), v_puiUid);
}

} // namespace

qint64 ProcessUtilsLinuxImpl::rootHolderFromRecent(const TcpRow &v_oRow, int v_iMaxDescriptors)
{
    // Only an answer the full search would give in its decision: the search
    // visits root's processes first, so for a root-owned socket any root
    // process that holds it means a root client. A holder of another account
    // proves nothing (a root process may hold the socket as well): search then.
    if (v_oRow.uid != 0 || v_oRow.inode == 0 || m_oProcRoot != "/proc")
        return 0;
    QVector<RecentRootHolders::Holder> oHolders;
    {
        std::lock_guard<std::mutex> oGuard(recentRootHolders().mutex);
        oHolders = recentRootHolders().holders;
    }
    for (const RecentRootHolders::Holder &oHolder : qAsConst(oHolders)) {
        const qint64 iPid = oHolder.pid;
        uid_t uiUid = 1;
        if (!effectiveUidOf(*oHolder.files, &uiUid) || uiUid != 0)
            continue;
        // Taken before the read: the read counts as older than it is, never newer.
        const qint64 iNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        {
            std::lock_guard<std::mutex> oGuard(recentRootHolders().mutex);
            const auto it = recentRootHolders().inodes.constFind(iPid);
            if (it != recentRootHolders().inodes.constEnd() && iNow - it->readAtMs < kHolderReadValidMs
                && it->inodes.contains(v_oRow.inode))
                return iPid;
            // Bounded: only a holder whose descriptors were counted, and were few.
            if (v_iMaxDescriptors >= 0
                && (it == recentRootHolders().inodes.constEnd() || it->descriptors > v_iMaxDescriptors))
                continue;
        }
        QSet<quint64> oInodes;
        int iDescriptors = 0;
        if (socketInodesOfProcessFolder(oHolder.files->folder.get(), &oInodes, &iDescriptors) != 0)
            continue;
        const bool bHolds = oInodes.contains(v_oRow.inode);
        {
            std::lock_guard<std::mutex> oGuard(recentRootHolders().mutex);
            // Only for a holder still among the recent ones (it may have been pushed out meanwhile).
            const QVector<RecentRootHolders::Holder> &oNow = recentRootHolders().holders;
            if (std::any_of(oNow.cbegin(), oNow.cend(),
                            [&](const RecentRootHolders::Holder &v_oNow) { return v_oNow.files == oHolder.files; }))
                recentRootHolders().inodes.insert(iPid,
                                                  RecentRootHolders::Inodes{iNow, std::move(oInodes), iDescriptors});
        }
        if (bHolds)
            return iPid;
    }
    return 0;
}

void ProcessUtilsLinuxImpl::rememberRootHolder(const TcpRow &v_oRow, qint64 v_iPid)
{
    if (v_oRow.uid != 0 || v_iPid <= 0 || m_oProcRoot != "/proc")
        return;
    auto poFiles = std::make_shared<const HolderFiles>(m_oProcRoot + '/' + QByteArray::number(v_iPid));
    uid_t uiUid = 1;
    if (!poFiles->status.valid() || !effectiveUidOf(*poFiles, &uiUid) || uiUid != 0)
        return;
    std::lock_guard<std::mutex> oGuard(recentRootHolders().mutex);
    QVector<RecentRootHolders::Holder> &oHolders = recentRootHolders().holders;
    // A pid seen again is another process now when its old folder is gone: the
    // new files replace the old, and so do the inodes read through them.
    oHolders.erase(std::remove_if(oHolders.begin(), oHolders.end(),
                                  [&](const RecentRootHolders::Holder &v_oOld) { return v_oOld.pid == v_iPid; }),
                   oHolders.end());
    recentRootHolders().inodes.remove(v_iPid);
    oHolders.prepend(RecentRootHolders::Holder{v_iPid, std::move(poFiles)});
    if (oHolders.size() > kRecentRootHolders) {
        for (int i = kRecentRootHolders; i < oHolders.size(); ++i)
            recentRootHolders().inodes.remove(oHolders.at(i).pid);
        oHolders.resize(kRecentRootHolders);
    }
}

qint64 ProcessUtilsLinuxImpl::getPidOfClient(const ClientConnection &v_oConnection, qint64 *v_piHolderUid)
{
    TcpRow oRow;
    qint64 iPid = 0;
    if (v_piHolderUid)
        *v_piHolderUid = -1;
    if (findClientRow(v_oConnection, "ProcessUtilsLinuxImpl::getPidOfProcessAtPort", &oRow)) {
        iPid = rootHolderFromRecent(oRow);
        if (iPid != 0 && v_piHolderUid)
            *v_piHolderUid = 0; // a recent holder counts only once its status showed root
        if (iPid == 0) {
            iPid = findPidOfSocketInode(m_oProcRoot, oRow.inode, oRow.uid);
            rememberRootHolder(oRow, iPid);
        }
        if (iPid == 0 && oRow.inode != 0) {
            PU_LOG(NOTICE, "getPidOfProcessAtPort") << "Socket of client " << v_oConnection.clientText() << " belongs to uid("
                                                    << oRow.uid << "), whose process is not visible to this account";
        }
    }
    PU_LOG(INFO, "getPidOfProcessAtPort") << "Got client pid(" << iPid << ")";
    return iPid;
}

qint64 ProcessUtilsLinuxImpl::getPidOfClientAmongRecent(const ClientConnection &v_oConnection, int v_iMaxDescriptors,
                                                        qint64 *v_piHolderUid)
{
    *v_piHolderUid = -1;
    TcpRow oRow;
    if (!findClientRow(v_oConnection, "ProcessUtilsLinuxImpl::getPidOfProcessAtPort", &oRow))
        return 0;
    const qint64 iPid = rootHolderFromRecent(oRow, v_iMaxDescriptors);
    if (iPid != 0)
        *v_piHolderUid = 0;
    return iPid;
}

qint64 ProcessUtilsLinuxImpl::getUidOfSocketAtPort(quint16 v_uiPort)
{
    TcpRow oRow;
    // Only a socket with a file has an owner (the kernel reports uid 0 for one
    // without, which is not root); findRowAtPort picks no other.
    const qint64 iUid = findRowAtPort(v_uiPort, "ProcessUtilsLinuxImpl::getUidOfSocketAtPort", &oRow) ? oRow.uid : -1;
    PU_LOG(INFO, "getUidOfSocketAtPort") << "Socket at port(" << v_uiPort << ") has uid(" << iUid << ")";
    return iUid;
}

qint64 ProcessUtilsLinuxImpl::getUidOfClient(const ClientConnection &v_oConnection)
{
    quint64 uiInode = 0;
    return getUidAndInodeOfClient(v_oConnection, &uiInode);
}

qint64 ProcessUtilsLinuxImpl::getUidAndInodeOfClient(const ClientConnection &v_oConnection, quint64 *v_puiInode)
{
    TcpRow oRow;
    const bool bFound = findClientRow(v_oConnection, "ProcessUtilsLinuxImpl::getUidOfSocketAtPort", &oRow)
                        && oRow.inode != 0;
    const qint64 iUid = bFound ? oRow.uid : -1;
    *v_puiInode = bFound ? oRow.inode : 0;
    PU_LOG(INFO, "getUidOfSocketAtPort") << "Socket of client " << v_oConnection.clientText() << " has uid(" << iUid << ")";
    return iUid;
}

qint64 peerSocketOwnerUid(qintptr v_iSocketDescriptor)
{
    TcpRow oRow;
    if (v_iSocketDescriptor < 0 || v_iSocketDescriptor > INT32_MAX
        || lookupPeerOfSocket(static_cast<int>(v_iSocketDescriptor), &oRow) != 0 || oRow.inode == 0)
        return -1;
    return oRow.uid;
}
