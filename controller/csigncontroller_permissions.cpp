// Who may do what: clients of the server's own account run everything, clients
// on the system (root) account only four named modules, clients of other
// accounts only functions their module declares unprivileged, and the results
// of exactly those jobs.

#include "csigncontroller.h"

#include "commandnotes.h"

#include "accountnames.h"
#include "clauncher.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "httpresponse.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include "clientidentity.h"
#include "dispatcherquery.h"

#include <QSslCertificate>
#include <QUrl>

#include <stdexcept>

#include <unistd.h>

const char *const SYSTEM_CLIENT_LIBRARIES[4] = {"KeepAlive", "updater", "logTool", "watchdog"};

namespace {

// The whole dispatcher exchange, connection and handshake included.
constexpr int kDispatcherQueryTimeoutMs = 3000;

QTXLogger &logger()
{
    return QTXLogger::Instance();
}

} // namespace

bool CSignController::IsSystemClientLibrary(const QByteArray &v_oName)
{
    for (const char *pName : SYSTEM_CLIENT_LIBRARIES) {
        if (v_oName == pName)
            return true;
    }
    return false;
}

namespace {

ClientConnection connectionOf(const norrweb::HttpConnectionInfo &v_oInfo)
{
    // The record taken when the connection was accepted still names its client
    // end: the connection is open while its requests are served.
    return ClientConnection{v_oInfo.peerAddress, v_oInfo.peerPort, v_oInfo.localAddress, v_oInfo.localPort,
                            v_oInfo.clientInode, v_oInfo.clientUid};
}

} // namespace

bool CSignController::ResolveClientWithoutWaiting(norrweb::HttpConnectionInfo &v_oConnection)
{
    const qint64 iUid = v_oConnection.clientUid;
    if (iUid < 0 || iUid >= 0xFFFFFFFFll)
        return false;
    // Accounts are compared by uid; the client's name is read only for the
    // log line, which must not wait for the passwd database here.
    const uid_t uiClient = static_cast<uid_t>(iUid);
    const bool bNamesFresh = qtxplatform::userNamesFresh({uiClient});
    if (!bNamesFresh || uiClient != 0)
        return bNamesFresh;
    // A root-owned socket: its holder decides. Reading one recent holder's
    // descriptors costs about a microsecond each; more than this many, or a
    // holder that is not among the recent ones, waits for a worker's search.
    constexpr int kInlineHolderDescriptors = 128;
    if (v_oConnection.clientHolderPid == 0) {
        qint64 iHolderUid = -1;
        qint64 iPid = 0;
        try {
            iPid = createProcessUtils()->getPidOfClientAmongRecent(connectionOf(v_oConnection),
                                                                   kInlineHolderDescriptors, &iHolderUid);
        } catch (const BaseException &) {
            return false; // logged by the platform layer; the worker tries again
        }
        if (iPid == 0 || iHolderUid < 0)
            return false;
        v_oConnection.clientHolderPid = iPid;
        v_oConnection.clientHolderUid = iHolderUid;
    }
    return true;
}

void CSignController::ResolveClient(norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::ResolveClient";
    norrweb::HttpConnectionInfo *poConnection = v_oResponse.getConnection();
    if (!poConnection) {
        m_bClientOnCurrentUser = false;
        m_bClientOnSystemUser = false;
        m_oClient = norrweb::HttpSessionClient{-1, false, -1};
        return;
    }
    // The process at the client end of a connection does not change while the
    // connection lasts: the answer is kept with the connection for its later
    // requests.
    const ClientAccount *poAccount = ClientAccount::of(*poConnection);
    if (!poAccount) {
        const ClientConnection oConnection = connectionOf(*poConnection);
        const QString oClientText = oConnection.clientText();
        std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
        // One look-up of the client serves both checks.
        ClientIdentity oClient;
        bool bResolved = false;
        try {
            oClient = ClientIdentity::resolve(*poProcessUtils, oConnection, poConnection->clientUid,
                                              poConnection->clientHolderPid, poConnection->clientHolderUid);
            bResolved = true;
        } catch (...) {
        }
        auto poNew = std::make_shared<ClientAccount>();
        bool bSameAccount = false;
        poNew->onCurrentUser =
            IsClientOnCurrentUser(*poProcessUtils, bResolved ? &oClient : nullptr, oClientText, &bSameAccount);
        poNew->onSystemUser = IsClientOnSystemUser(*poProcessUtils, bResolved ? &oClient : nullptr, oClientText);
        poNew->isServerAccount = bSameAccount;
        // Sessions and limits are kept per account: the server's own account,
        // root, or the uid that owns the client's socket (-1 when unknown).
        if (bSameAccount)
            poNew->account = qint64(qtxplatform::serverUid());
        else if (poNew->onSystemUser)
            poNew->account = 0;
        else
            poNew->account = bResolved && oClient.found() && oClient.uid() > 0 ? oClient.uid() : -1;
        QTX_LOG(logger(), NOTICE, pFunc) << "Client " << oClientText << " uid=" << (bResolved ? oClient.uid() : -1)
                                         << " pid=" << (bResolved ? oClient.pid() : 0)
                                         << " serverAccount=" << bSameAccount
                                         << " systemAccount=" << poNew->onSystemUser;
        poAccount = poNew.get();
        poConnection->handlerNote = std::move(poNew);
    }
    m_bClientOnCurrentUser = poAccount->onCurrentUser;
    m_bClientOnSystemUser = poAccount->onSystemUser;
    m_oClient.account = poAccount->account;
    m_oClient.seesAll = poAccount->isServerAccount;
    m_oClient.maxSessions = -1;
}

bool CSignController::CheckPermissions(norrweb::HttpResponse &)
{
    const char *pFunc = "CSignController::CheckPermissions";
    const bool bClientOnCurrentUser = m_bClientOnCurrentUser;
    const bool bClientOnSystemUser = m_bClientOnSystemUser;
    QTX_LOG(logger(), INFO, pFunc) << "bClientOnCurrentUser=" << bClientOnCurrentUser;
    QTX_LOG(logger(), INFO, pFunc) << "bClientOnSystemUser=" << bClientOnSystemUser;

    if (bClientOnSystemUser) {
        if (IsSystemClientLibrary(m_oCommandData.oLibraryName))
            return true;
        QTX_LOG(logger(), ERROR, pFunc) << "request to \"" << m_oCommandData.oLibraryName << "\" cannot be processed";
        return false;
    }
    if (bClientOnCurrentUser)
        return true;

    // Another account: only in a session it may use (one that does not exist
    // is never recorded anywhere), and only what the module declares safe.
    if (m_oSession.isNull() || !m_oContext.bModulesForOtherAccounts)
        return false;
    if (!IsServerCommand(m_oCommandData.oCommand)) {
        m_pDllManager->loadModuleForSession(m_oCommandData.oLibraryName, m_oCommandData.oSessionId);
        const ModuleRef oModule(m_pDllManager, m_oCommandData.oLibraryName);
        DllModule *poModule = oModule.get();
        if (!poModule)
            return false;
        if (poModule->canUnprivilegedRun(poModule->getFunction(m_oCommandData.oCommand))) {
            m_oCommandData.bUnprivileged = true;
            return true;
        }
    }
    // The job is checked by the header's command id; it must also be the job
    // that is fetched, or a "cmdId" parameter would hand out any other job.
    if (m_oCommandData.oCommand == "GET_RESULT" && m_oResultCommandId == m_oCommandData.oCommandId
        && m_pLauncher->IsUnprivilegedJob(m_oCommandData.oSessionId, m_oCommandData.oCommandId))
        return true;
    return false;
}

bool CSignController::IsClientOnCurrentUser(ProcessUtils &v_oUtils, const ClientIdentity *v_poClient,
                                            const QString &v_oClientText, bool *v_pbSameAccount)
{
    const char *pFunc = "CSignController::IsClientOnCurrentUser";
    bool bResult = false;
    *v_pbSameAccount = false;
    try {
        if (!v_poClient)
            throw std::runtime_error("client look-up failed");
        if (v_poClient->found()) {
            // Accounts are told apart by uid: one name may stand for two
            // accounts (a local one and a directory's), and names are
            // case-sensitive anyway.
            qint64 iUid = -1;
            try {
                iUid = v_poClient->accountUid(v_oUtils);
            } catch (const OpenProcessException &) {
                // Only the holder of a root-owned socket is read from its process.
                QTX_LOG(logger(), NOTICE, pFunc) << "Too low permissions. Ask dispatcher for username";
                askDispatcherForDomainAndUsernameForPID(v_poClient->pid(), &iUid);
            }
            if (iUid >= 0 && iUid == qint64(qtxplatform::serverUid())) {
                QTX_LOG(logger(), NOTICE, pFunc) << "Client is on the same user as server.";
                bResult = true;
                *v_pbSameAccount = true;
            } else if (iUid == 0) {
                QTX_LOG(logger(), NOTICE, pFunc) << "Client is on SYSTEM user.";
                bResult = true;
            } else {
                QTX_LOG(logger(), WARN, pFunc) << "Client is on different user then server and not on SYSTEM user!";
            }
            QTX_LOG(logger(), NOTICE, pFunc) << "Client " << v_oClientText << " runs as "
                                             << (iUid >= 0 ? v_oUtils.getDomainAndUsernameForUid(iUid)
                                                           : QStringLiteral("<UNKNOWN>"))
                                             << " (uid " << iUid << ")";
        }
    } catch (...) {
        QTX_LOG(logger(), WARN, pFunc) << "Insufficient permissions for client on port = " << v_oClientText;
        bResult = false;
    }
    return bResult;
}

bool CSignController::IsClientOnSystemUser(ProcessUtils &v_oUtils, const ClientIdentity *v_poClient,
                                           const QString &v_oClientText)
{
    const char *pFunc = "CSignController::IsClientOnSystemUser";
    bool bResult = false;
    try {
        if (!v_poClient)
            throw std::runtime_error("client look-up failed");
        bResult = v_poClient->isSystem(v_oUtils);
        QTX_LOG(logger(), INFO, pFunc) << "bClientOnSystemUser=" << bResult;
    } catch (...) {
        QTX_LOG(logger(), WARN, pFunc) << "Insufficient permissions for client on port = " << v_oClientText;
        bResult = false;
    }
    return bResult;
}

QString CSignController::askDispatcherForDomainAndUsernameForPID(qint64 v_iPid, qint64 *v_piUid)
{
    if (v_piUid)
        *v_piUid = -1;
    const char *pFunc = "CSignController::askDispatcherForDomainAndUsernameForPID";
    QTX_LOG(logger(), NOTICE, pFunc) << "Asking dispatcher for info about PID=" << v_iPid;
    QString oResult = QStringLiteral("<UNKNOWN>");

    const int iDispatcherPort = m_oContext.uiListenerPort;
    QTX_LOG(logger(), INFO, pFunc) << "uiDispatcherPort=" << iDispatcherPort;
    QUrl oUrl;
    oUrl.setScheme(QStringLiteral("https"));
    oUrl.setHost(QStringLiteral("127.0.0.1"));
    oUrl.setPort(iDispatcherPort);
    const QString oPath = QStringLiteral("/%1").arg(QStringLiteral("GET_USERNAME_FOR_PID"));
    oUrl.setPath(oPath);
    QTX_LOG(logger(), INFO, pFunc) << "oPath=" << oPath;
    QTX_LOG(logger(), INFO, pFunc) << "oUrl.toString()=" << oUrl.toString();
    const QByteArray oBody = QByteArrayLiteral("processPid") + '=' + QByteArray::number(v_iPid);
    QTX_LOG(logger(), INFO, pFunc) << "oBody=" << oBody;

    // The dispatcher presents root's certificate, published in root's key
    // store: exactly that certificate is accepted (another account on the port
    // has no key for it). The exchange runs without an event loop (this
    // handler cannot be re-entered meanwhile) and ends by a deadline.
    const QList<QSslCertificate> oOwn = QSslCertificate::fromPath(m_oContext.oDispatcherCertificatePath);
    QTX_LOG(logger(), INFO, pFunc) << "make post request";
    QTX_LOG(logger(), INFO, pFunc) << "starting loop";
    const DispatcherReply oReply =
        iDispatcherPort > 0 && iDispatcherPort <= 0xffff
            ? postToDispatcher(static_cast<quint16>(iDispatcherPort), oPath.toLatin1(), oBody,
                               oOwn.isEmpty() ? QSslCertificate() : oOwn.first(), kDispatcherQueryTimeoutMs)
            : DispatcherReply();
    QTX_LOG(logger(), INFO, pFunc) << "loop finished";
    if (!oReply.error.isEmpty())
        QTX_LOG(logger(), WARN, pFunc) << "Dispatcher query failed: " << oReply.error;

    const int iStatus = oReply.status;
    if (iStatus != 0)
        QTX_LOG(logger(), INFO, pFunc) << "iResStatusCode set";
    QTX_LOG(logger(), INFO, pFunc) << "iResStatusCode=" << iStatus;
    if (iStatus == 200) {
        QTX_LOG(logger(), INFO, pFunc) << "oReplyBody=" << oReply.body;
        oResult = QString::fromUtf8(oReply.body);
        // The account by its uid; a dispatcher that sends none leaves it unknown.
        bool bOk = false;
        const qint64 iUid = oReply.uid.toLongLong(&bOk);
        if (v_piUid && bOk && iUid >= 0)
            *v_piUid = iUid;
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Response info about PID <" << v_iPid
                                     << "> set to oClientDomainAndUsername=" << oResult;
    return oResult;
}
