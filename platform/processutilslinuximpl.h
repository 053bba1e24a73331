#pragma once

// ProcessUtils on Linux: processes from /proc, TCP sockets from the kernel's
// socket diagnostics, accounts from the passwd database, logon sessions from
// systemd-logind or utmp, services through systemctl, the event log through
// syslog. Holds no state; any number of instances may run on any threads.

#include "processutils.h"

#include <functional>

#include <QByteArray>
#include <QHash>
#include <QVector>

#include <sys/types.h>

namespace qtxplatform { struct TcpRow; struct SocketHolder; }

class ProcessUtilsLinuxImpl : public ProcessUtils
{
public:
    ProcessUtilsLinuxImpl() = default;
    // Reads processes under another procfs mount (tests); the default is "/proc".
    explicit ProcessUtilsLinuxImpl(const QByteArray &v_oProcRoot);
    ~ProcessUtilsLinuxImpl() override = default;

    int StartProcessAsAdmin(const QString &v_oProgram, const QStringList &v_oArguments) override;
    int StartProcessAsAdmin(const QString &v_oProgram) override;
    int StartProcess(const QString &v_oProgram, const QStringList &v_oArguments) override;
    int StartProcess(const QString &v_oProgram) override;
    int StartSystemService(const QString &v_oServiceName) override;
    int StopSystemService(const QString &v_oServiceName) override;
    int ShutdownProcess(qint64 v_iPid) override;
    QByteArray ShutdownProcessesByName(const QString &v_oProcessName) override;
    bool EnableDebugPrivilege() override;
    QList<qint64> getPIDsOfAllProcesses(const QString &v_oProcessName) override;
    QList<qint64> getPIDsOfCurrentUserProcesses(const QString &v_oProcessName) override;
    QList<qint64> getPIDsOfSystemProcesses(const QString &v_oProcessName) override;
    QList<qint64> getPIDsOfUserProcesses(const QString &v_oProcessName, const QString &v_oDomainAndUsername) override;
    bool isCurrentUserAdministrator() override;
    QString getUsernameForPID(qint64 v_iPid) override;
    qint64 getLifetimeForPids(qint64 v_iPid) override;
    qint64 getPidOfProcessAtPort(quint16 v_uiPort) override;
    QString getDomainAndUsernameForPID(qint64 v_iPid) override;
    QString getActiveConsoleSessionID() override;
    QString getDomainAndUsernameForSingleActiveSession() override;
    QStringList getDomainAndUsernamesForActiveSessions() override;
    bool isProcessOfActiveConsoleUser(qint64 v_iPid) override;
    quint16 getPortOfUserProcess(const QString &v_oDomainAndUsername, const QString &v_oProcessName,
                                 quint16 v_uiLowestPort) override;
    QString getNameOfProcessWithPID(qint64 v_iPid) override;
    bool isSystemProcess(qint64 v_iPid) override;
    QString getDomainAndUsernameForSystemAccount() override;
    bool isProcessElevated(qint64 v_iPid) override;
    void reportEventLogError(const QString &v_oSourceName, const QString &v_oMessage) override;
    QString getProcessesList() override;
    QString getSystemCriticalInfo() override;
    QString getSystemDetailInfo() override;
    QString getBrowsersInfo() override;
    QString getAntivirusInfo() override;
    QString getConnectedDevicesInfo() override;
    QString getLibraryPath() override;
    void appendToLibraryPath(const QString &v_oDirectory) override;
    int RunAsDesktopUser(const QString &v_oProgram, const QString &v_oArguments) override;
    QByteArray runSystemCommand(const QString &v_oCommand, const QStringList &v_oArguments,
                                int v_iTimeoutMs) override;

    // Owner of the socket bound to a local port as the kernel reports it, even
    // when the owning process is hidden from this account (another user's
    // process seen by a user instance): the uid of the first row of the sorted
    // table whose local port matches, or -1 when no socket uses the port.
    // Throws GetExtendedTcpTableException when the table cannot be read.
    qint64 getUidOfSocketAtPort(quint16 v_uiPort) override;
    // Account text of that uid ("host/user"), or "<UNKNOWN>".
    QString getDomainAndUsernameForUid(qint64 v_iUid) override;
    qint64 getEffectiveUidOfPID(qint64 v_iPid) override;
    quint16 getPortOfUserProcessForUid(qint64 v_iUid, const QString &v_oProcessName, quint16 v_uiLowestPort) override;
    qint64 getPidOfClient(const ClientConnection &v_oConnection, qint64 *v_piHolderUid = nullptr) override;
    qint64 getPidOfClientAmongRecent(const ClientConnection &v_oConnection, int v_iMaxDescriptors,
                                     qint64 *v_piHolderUid) override;
    qint64 getUidOfClient(const ClientConnection &v_oConnection) override;
    qint64 getUidAndInodeOfClient(const ClientConnection &v_oConnection, quint64 *v_puiInode) override;

private:
    // The row of the socket bound to a local port (the first of the sorted
    // table). False when no socket uses the port.
    bool findRowAtPort(quint16 v_uiPort, const char *v_pFunction, qtxplatform::TcpRow *v_poRow);
    // The row of the client's end of exactly this connection (only its owner
    // and inode when the connection brings them). False when there is none.
    bool findClientRow(const ClientConnection &v_oConnection, const char *v_pFunction, qtxplatform::TcpRow *v_poRow);
    // A recent root holder (root's own process) that holds this root-owned
    // socket, else 0; and the bookkeeping of those holders.
    // v_iMaxDescriptors >= 0: only holders known to have at most that many
    // descriptors are read (the read's cost is bounded); -1: any.
    qint64 rootHolderFromRecent(const qtxplatform::TcpRow &v_oRow, int v_iMaxDescriptors = -1);
    void rememberRootHolder(const qtxplatform::TcpRow &v_oRow, qint64 v_iPid);
    QString getUsernameForSystemAccount();
    quint16 getPortOfProcessWithPID(qint64 v_iPid, quint16 v_uiLowestPort);
    // Holders of the candidate listeners (inode -> process and descriptor);
    // v_oAll is every listener now open, to forget those that are gone and to
    // look for the other accounts' listeners at or above the lowest port too.
    QHash<quint64, qtxplatform::SocketHolder> holdersOfListeners(const QVector<qtxplatform::TcpRow> &v_oAll,
                                                                 const QVector<qtxplatform::TcpRow> &v_oCandidates,
                                                                 quint16 v_uiLowestPort);
    // The content of /proc/<pid>/<file>; throws OpenProcessException when unreadable.
    QByteArray getProcessHandle(qint64 v_iPid, const char *v_pFile);
    uid_t getProcessEffectiveUid(qint64 v_iPid);
    QString accountText(const QString &v_oUser) const;
    QString getInfoFromUid(uid_t v_uiUid, bool v_bWithDomain);
    QList<qint64> listAllPids(const char *v_pOperation);
    QList<qint64> pidsWithName(const QString &v_oProcessName, const char *v_pOperation);
    // The listener search of getPortOfUserProcess(ForUid): rows whose owner the
    // predicate accepts, held by a process of that name that the predicate
    // accepts too (its effective uid).
    quint16 findPortOfUserProcess(const std::function<bool(qint64)> &v_oIsAccount, const QString &v_oProcessName,
                                  quint16 v_uiLowestPort);

    QByteArray m_oProcRoot = QByteArrayLiteral("/proc");
};
