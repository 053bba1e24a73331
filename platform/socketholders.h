#pragma once

// Which process holds a socket: a search over the descriptors of the
// processes (<procRoot>/<pid>/fd links "socket:[inode]"), the socket owner's
// processes first. Processes hidden from this account are not seen.

#include <QByteArray>
#include <QHash>
#include <QSet>

namespace qtxplatform {

// Socket inodes held open by one process (through <procRoot>/<pid>/fd), and
// how many descriptors it has (what reading them costs). Returns 0 or errno.
int socketInodesOfPid(const QByteArray &v_oProcRoot, qint64 v_iPid, QSet<quint64> *v_poInodes,
                      int *v_piDescriptors = nullptr);

// The same through an open <procRoot>/<pid> folder: a folder opened once
// stays the same process's, even after its pid is used again.
int socketInodesOfProcessFolder(int v_iPidFolder, QSet<quint64> *v_poInodes, int *v_piDescriptors);

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

} // namespace qtxplatform
