// Who may do what: clients of the server's own account run everything, clients
// on the system (root) account only four named modules, clients of other
// accounts only functions their module declares unprivileged, and the results
// of exactly those jobs.

#include "csigncontroller.h"

#include "clauncher.h"
#include "csettings.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "httpresponse.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

const char *const SYSTEM_CLIENT_LIBRARIES[4] = {"KeepAlive", "updater", "logTool", "watchdog"};

namespace {

QTXLogger &logger()
{
    return QTXLogger::Instance();
}

bool isSystemClientLibrary(const QByteArray &v_oName)
{
    for (const char *pName : SYSTEM_CLIENT_LIBRARIES) {
        if (v_oName == pName)
            return true;
    }
    return false;
}

} // namespace

bool CSignController::CheckPermissions(norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::CheckPermissions";
    norrweb::HttpConnectionInfo *poConnection = v_oResponse.getConnection();
    // The process at the client end of a connection does not change while the
    // connection lasts, and finding it is costly: the answer is kept with the
    // connection for its later requests.
    bool bClientOnCurrentUser = false;
    bool bClientOnSystemUser = false;
    if (poConnection && poConnection->identityKnown) {
        bClientOnCurrentUser = poConnection->clientOnCurrentUser;
        bClientOnSystemUser = poConnection->clientOnSystemUser;
    } else {
        bClientOnCurrentUser = IsClientOnCurrentUser(poConnection);
        bClientOnSystemUser = IsClientOnSystemUser(poConnection);
        if (poConnection) {
            poConnection->clientOnCurrentUser = bClientOnCurrentUser;
            poConnection->clientOnSystemUser = bClientOnSystemUser;
            poConnection->identityKnown = true;
        }
    }
    QTX_LOG(logger(), INFO, pFunc) << "bClientOnCurrentUser=" << bClientOnCurrentUser;
    QTX_LOG(logger(), INFO, pFunc) << "bClientOnSystemUser=" << bClientOnSystemUser;

    if (bClientOnSystemUser) {
        if (isSystemClientLibrary(m_oCommandData.oLibraryName))
            return true;
        QTX_LOG(logger(), ERROR, pFunc) << "request to \"" << m_oCommandData.oLibraryName << "\" cannot be processed";
        return false;
    }
    if (bClientOnCurrentUser)
        return true;

    if (!IsServerCommand(QString::fromUtf8(m_oCommandData.oCommand))) {
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
    if (m_oCommandData.oCommand == "GET_RESULT"
        && m_pLauncher->IsUnprivilegedJob(m_oCommandData.oSessionId, m_oCommandData.oCommandId))
        return true;
    return false;
}

bool CSignController::IsClientOnCurrentUser(const norrweb::HttpConnectionInfo *v_poConnection)
{
    const char *pFunc = "CSignController::IsClientOnCurrentUser";
    if (!v_poConnection)
        return false;
    const quint16 uiPort = v_poConnection->peerPort;
    const quint16 uiServerPort = v_poConnection->localPort;
    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    bool bResult = false;
    try {
        const qint64 iClientPid = poProcessUtils->getPidOfClientAtPorts(uiPort, uiServerPort);
        const qint64 iServerPid = QCoreApplication::applicationPid();
        // Another account's process is hidden from a user instance, but the kernel
        // still names the socket's owner: decide from that account instead.
        const qint64 iClientUid = iClientPid == 0 ? poProcessUtils->getUidOfClientAtPorts(uiPort, uiServerPort) : -1;
        if ((iClientPid != 0 || iClientUid >= 0) && iServerPid != 0) {
            QString oClientUser = QStringLiteral("<UNKNOWN>");
            if (iClientPid == 0) {
                oClientUser = poProcessUtils->getDomainAndUsernameForUid(iClientUid);
            } else {
                try {
                    oClientUser = poProcessUtils->getDomainAndUsernameForPID(iClientPid);
                } catch (const OpenProcessException &) {
                    QTX_LOG(logger(), NOTICE, pFunc) << "Too low permissions. Ask dispatcher for username";
                    oClientUser = askDispatcherForDomainAndUsernameForPID(iClientPid);
                }
            }
            const QString oServerUser = poProcessUtils->getDomainAndUsernameForPID(iServerPid);
            if (oClientUser.compare(oServerUser, Qt::CaseInsensitive) == 0) {
                QTX_LOG(logger(), NOTICE, pFunc) << "Client is on the same user as server.";
                bResult = true;
            } else if (oClientUser.compare(poProcessUtils->getDomainAndUsernameForSystemAccount(), Qt::CaseInsensitive)
                       == 0) {
                QTX_LOG(logger(), NOTICE, pFunc) << "Client is on SYSTEM user.";
                bResult = true;
            } else {
                QTX_LOG(logger(), WARN, pFunc) << "Client is on different user then server and not on SYSTEM user!";
            }
        }
    } catch (...) {
        QTX_LOG(logger(), WARN, pFunc) << "Insufficient permissions for client on port = " << uiPort;
        bResult = false;
    }
    return bResult;
}

bool CSignController::IsClientOnSystemUser(const norrweb::HttpConnectionInfo *v_poConnection)
{
    const char *pFunc = "CSignController::IsClientOnSystemUser";
    if (!v_poConnection)
        return false;
    const quint16 uiPort = v_poConnection->peerPort;
    const quint16 uiServerPort = v_poConnection->localPort;
    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    bool bResult = false;
    try {
        const qint64 iPid = poProcessUtils->getPidOfClientAtPorts(uiPort, uiServerPort);
        // A hidden client process: the socket's owner uid tells whether it is root.
        bResult = iPid != 0 ? poProcessUtils->isSystemProcess(iPid)
                            : poProcessUtils->getUidOfClientAtPorts(uiPort, uiServerPort) == 0;
        QTX_LOG(logger(), INFO, pFunc) << "bClientOnSystemUser=" << bResult;
    } catch (...) {
        QTX_LOG(logger(), WARN, pFunc) << "Insufficient permissions for client on port = " << uiPort;
        bResult = false;
    }
    return bResult;
}

QString CSignController::askDispatcherForDomainAndUsernameForPID(qint64 v_iPid)
{
    const char *pFunc = "CSignController::askDispatcherForDomainAndUsernameForPID";
    QTX_LOG(logger(), NOTICE, pFunc) << "Asking dispatcher for info about PID=" << v_iPid;
    QString oResult = QStringLiteral("<UNKNOWN>");

    const int iDispatcherPort = CSettings::Instance()->ReadListenerPort();
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

    QNetworkRequest oRequest(oUrl);
    oRequest.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    QNetworkAccessManager oManager;
    QTX_LOG(logger(), INFO, pFunc) << "make post request";
    QNetworkReply *poReply = oManager.post(oRequest, oBody);
    // The dispatcher presents this machine's server certificate, which no client
    // trusts by default: it is accepted for this one request, and only when the
    // peer shows exactly the certificate configured for this server.
    const QList<QSslCertificate> oOwn =
        QSslCertificate::fromPath(CSettings::Instance()->ReadSslCertificateCertAndKeyFiles().first);
    QObject::connect(poReply, &QNetworkReply::sslErrors, poReply, [poReply, oOwn](const QList<QSslError> &) {
        if (!oOwn.isEmpty() && poReply->sslConfiguration().peerCertificate() == oOwn.first())
            poReply->ignoreSslErrors();
    });
    QEventLoop oLoop;
    QObject::connect(poReply, &QNetworkReply::finished, &oLoop, &QEventLoop::quit);
    QTX_LOG(logger(), INFO, pFunc) << "starting loop";
    if (!poReply->isFinished())
        oLoop.exec();
    QTX_LOG(logger(), INFO, pFunc) << "loop finished";

    int iStatus = 0;
    const QVariant oStatus = poReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (oStatus.isValid()) {
        QTX_LOG(logger(), INFO, pFunc) << "iResStatusCode set";
        iStatus = oStatus.toInt();
    }
    QTX_LOG(logger(), INFO, pFunc) << "iResStatusCode=" << iStatus;
    if (iStatus == 200) {
        const QByteArray oReplyBody = poReply->readAll();
        QTX_LOG(logger(), INFO, pFunc) << "oReplyBody=" << oReplyBody;
        oResult = QString::fromUtf8(oReplyBody);
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Response info about PID <" << v_iPid
                                     << "> set to oClientDomainAndUsername=" << oResult;
    delete poReply;
    return oResult;
}
