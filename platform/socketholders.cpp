#include "socketholders.h"

#include "procfs.h"
#include "unixhandles.h"

#include <QList>

#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qtxplatform {

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
int forEachSocketInodeIn(UniqueDir v_oDir, Visitor v_oVisit, int *v_piDescriptors)
{
    if (!v_oDir)
        return errno;
    const int iDirFd = ::dirfd(v_oDir.get());
    char aLink[64];
    while (const dirent *pEntry = ::readdir(v_oDir.get())) {
        if (pEntry->d_name[0] == '.')
            continue;
        if (v_piDescriptors)
            ++*v_piDescriptors;
        const ssize_t iLen = ::readlinkat(iDirFd, pEntry->d_name, aLink, sizeof(aLink));
        quint64 uiInode = 0;
        if (iLen > 0 && iLen < static_cast<ssize_t>(sizeof(aLink)) && socketInodeFromLink(aLink, iLen, &uiInode)) {
            if (v_oVisit(uiInode))
                return 0;
        }
    }
    return 0;
}

// The process's descriptor folder; empty (errno set) when it cannot be opened.
UniqueDir openDescriptorFolder(const QByteArray &v_oProcRoot, qint64 v_iPid)
{
    const QByteArray oPath = pidPath(v_oProcRoot, v_iPid, "fd");
    return UniqueDir(::opendir(oPath.constData()));
}

template <typename Visitor>
int forEachSocketInode(const QByteArray &v_oProcRoot, qint64 v_iPid, Visitor v_oVisit, int *v_piDescriptors = nullptr)
{
    return forEachSocketInodeIn(openDescriptorFolder(v_oProcRoot, v_iPid), v_oVisit, v_piDescriptors);
}

int collectSocketInodes(UniqueDir v_oDir, QSet<quint64> *v_poInodes, int *v_piDescriptors)
{
    return forEachSocketInodeIn(
        std::move(v_oDir),
        [&](quint64 v_uiInode) {
            v_poInodes->insert(v_uiInode);
            return false;
        },
        v_piDescriptors);
}

} // namespace

int socketInodesOfProcessFolder(int v_iPidFolder, QSet<quint64> *v_poInodes, int *v_piDescriptors)
{
    *v_piDescriptors = 0;
    const int iFd = ::openat(v_iPidFolder, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iFd < 0)
        return errno;
    UniqueDir oDir(::fdopendir(iFd));
    if (!oDir) {
        const int iErr = errno;
        ::close(iFd);
        return iErr;
    }
    return collectSocketInodes(std::move(oDir), v_poInodes, v_piDescriptors);
}

int socketInodesOfPid(const QByteArray &v_oProcRoot, qint64 v_iPid, QSet<quint64> *v_poInodes, int *v_piDescriptors)
{
    if (v_piDescriptors)
        *v_piDescriptors = 0;
    return collectSocketInodes(openDescriptorFolder(v_oProcRoot, v_iPid), v_poInodes, v_piDescriptors);
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

} // namespace qtxplatform
