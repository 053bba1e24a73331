#pragma once

// The server's one window onto the operating system's processes, TCP
// connections, logon sessions, accounts, services and environment.
// Implementations hold no state: create one where needed, call, delete.
// Failures of the table reads are thrown as ProcessUtilsImplException
// subclasses (logged at WARN with "Exception: " and the trace first).

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// The two ends of one accepted TCP connection, as the server's socket sees
// them. A client is identified by all four values: any local account can bind
// another loopback address (127.0.0.2, ...) to a port that one of the user's
// connections already uses, so a port alone names more than one connection.
struct ClientConnection
{
    QHostAddress clientAddress;
    quint16 clientPort = 0;
    QHostAddress serverAddress;
    quint16 serverPort = 0;
    // The kernel's record of the client end (its owner and socket inode) when
    // the caller read it while holding the server's end of this connection
    // open: as long as that end lives, no other socket can have the same four
    // addresses and ports. 0 / -1 when not known: the record is looked up.
    quint64 knownInode = 0;
    qint64 knownUid = -1;

    bool isComplete() const
    {
        return clientPort != 0 && serverPort != 0 && !clientAddress.isNull() && !serverAddress.isNull();
    }
    // "127.0.0.2:40000" (IPv6 in brackets), for log lines.
    QString clientText() const;
};

class ProcessUtils
{
public:
    virtual ~ProcessUtils() = default;

    virtual int StartProcessAsAdmin(const QString &v_oProgram, const QStringList &v_oArguments) = 0;
    virtual int StartProcessAsAdmin(const QString &v_oProgram) = 0;
    virtual int StartProcess(const QString &v_oProgram, const QStringList &v_oArguments) = 0;
    virtual int StartProcess(const QString &v_oProgram) = 0;
    virtual int StartSystemService(const QString &v_oServiceName) = 0;
    virtual int StopSystemService(const QString &v_oServiceName) = 0;
    virtual int ShutdownProcess(qint64 v_iPid) = 0;
    virtual QByteArray ShutdownProcessesByName(const QString &v_oProcessName) = 0;
    virtual bool EnableDebugPrivilege() = 0;
    virtual QList<qint64> getPIDsOfAllProcesses(const QString &v_oProcessName) = 0;
    virtual QList<qint64> getPIDsOfCurrentUserProcesses(const QString &v_oProcessName) = 0;
    virtual QList<qint64> getPIDsOfSystemProcesses(const QString &v_oProcessName) = 0;
    virtual QList<qint64> getPIDsOfUserProcesses(const QString &v_oProcessName, const QString &v_oDomainAndUsername) = 0;
    virtual bool isCurrentUserAdministrator() = 0;
    virtual QString getUsernameForPID(qint64 v_iPid) = 0;
    virtual qint64 getLifetimeForPids(qint64 v_iPid) = 0;
    virtual qint64 getPidOfProcessAtPort(quint16 v_uiPort) = 0;
    virtual QString getDomainAndUsernameForPID(qint64 v_iPid) = 0;
    virtual QString getActiveConsoleSessionID() = 0;
    virtual QString getDomainAndUsernameForSingleActiveSession() = 0;
    virtual QStringList getDomainAndUsernamesForActiveSessions() = 0;
    virtual bool isProcessOfActiveConsoleUser(qint64 v_iPid) = 0;
    virtual quint16 getPortOfUserProcess(const QString &v_oDomainAndUsername, const QString &v_oProcessName,
                                         quint16 v_uiLowestPort) = 0;
    virtual QString getNameOfProcessWithPID(qint64 v_iPid) = 0;
    virtual bool isSystemProcess(qint64 v_iPid) = 0;
    virtual QString getDomainAndUsernameForSystemAccount() = 0;
    virtual bool isProcessElevated(qint64 v_iPid) = 0;
    virtual void reportEventLogError(const QString &v_oSourceName, const QString &v_oMessage) = 0;
    virtual QString getProcessesList() = 0;
    virtual QString getSystemCriticalInfo() = 0;
    virtual QString getSystemDetailInfo() = 0;
    virtual QString getBrowsersInfo() = 0;
    virtual QString getAntivirusInfo() = 0;
    virtual QString getConnectedDevicesInfo() = 0;
    virtual QString getLibraryPath() = 0;
    virtual void appendToLibraryPath(const QString &v_oDirectory) = 0;
    virtual int RunAsDesktopUser(const QString &v_oProgram, const QString &v_oArguments) = 0;
    virtual QByteArray runSystemCommand(const QString &v_oCommand, const QStringList &v_oArguments,
                                        int v_iTimeoutMs) = 0;

    // Added for platforms where an unprivileged process cannot map another
    // account's socket to its process: the kernel still names the socket's owner.
    // The uid owning the local TCP socket at this port, or -1 when none.
    virtual qint64 getUidOfSocketAtPort(quint16 v_uiPort) = 0;
    // The account text of a uid (host name, "/", user name).
    virtual QString getDomainAndUsernameForUid(qint64 v_iUid) = 0;
    // The effective uid a process runs as. Throws OpenProcessException when its
    // entry cannot be read (gone, or hidden from this account).
    virtual qint64 getEffectiveUidOfPID(qint64 v_iPid) = 0;
    // getPortOfUserProcess for an account named by its uid: accounts are told
    // apart by uid, never by name (one name may stand for two uids, a local
    // and a directory account).
    virtual quint16 getPortOfUserProcessForUid(qint64 v_iUid, const QString &v_oProcessName,
                                               quint16 v_uiLowestPort) = 0;
    // Like getPidOfProcessAtPort / getUidOfSocketAtPort for the client end of
    // exactly one connection, named by its four addresses and ports (never by a
    // port alone). 0 / -1 when no live socket is that client end.
    // v_piHolderUid, when given, receives the holder's effective uid if the
    // search read it on the way (else -1), so the caller need not read it again.
    virtual qint64 getPidOfClient(const ClientConnection &v_oConnection, qint64 *v_piHolderUid) = 0;
    // The holder of a root-owned client socket only when it is one of the root
    // processes that held such sockets lately and has at most v_iMaxDescriptors
    // descriptors: a bounded read, never the search through every process. 0
    // when that does not find it (the full search may still). The holder's
    // effective uid goes to v_piHolderUid (-1 with 0).
    virtual qint64 getPidOfClientAmongRecent(const ClientConnection &v_oConnection, int v_iMaxDescriptors,
                                             qint64 *v_piHolderUid) = 0;
    virtual qint64 getUidOfClient(const ClientConnection &v_oConnection) = 0;
    // getUidOfClient, and the inode of the client's socket (0 when unknown),
    // from the same record.
    virtual qint64 getUidAndInodeOfClient(const ClientConnection &v_oConnection, quint64 *v_puiInode)
    {
        *v_puiInode = 0;
        return getUidOfClient(v_oConnection);
    }
};

// Owner uid of the socket at the other end of a connected TCP socket of this
// process (an accepted loopback client), from the kernel's record of that exact
// connection; -1 when it cannot be told (the peer already closed, not TCP).
// Cheap enough for every accepted connection.
qint64 peerSocketOwnerUid(qintptr v_iSocketDescriptor);

// Creates the implementation for this platform (ProcessUtilsLinuxImpl on Linux).
std::unique_ptr<ProcessUtils> createProcessUtils();
