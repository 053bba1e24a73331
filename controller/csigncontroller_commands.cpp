// The server's own commands: session life, results, version, platform and
// diagnostics, and the dispatcher's look-ups.

#include "csigncontroller.h"

#include "clauncher.h"
#include "dllmanager.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"
#include "sessionregistry.h"
#include "userserverport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include <mutex>
#include <stdexcept>
#include <string>

namespace {

const char kNotFound[] = "The URL you requested was not found.";
const char kNoSession[] = "Session with provided ID don't exist.";
const char kInternalError[] =
    "The QTX server encountered an unexpected error and was unable to complete your request.";
const char kForbidden[] = "You don't have permissions to access this resource.";

// TEST gathers a system report (about twenty child processes): one at a time,
// and a report younger than this is reused instead of gathered again.
constexpr qint64 kTestReportReuseMs = 5000;
std::mutex g_oTestMutex;
qint64 g_llLastTestMs = 0;  // guarded by g_oTestMutex
bool g_bLastTestOk = false;

QTXLogger &logger()
{
    return QTXLogger::Instance();
}

} // namespace

void CSignController::ProcessGetResult(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    Q_UNUSED(v_oRequest);
    const QByteArray oCommandId = m_oResultCommandId;
    QTX_LOG(logger(), INFO, "CSignController::ProcessGetResult") << "oCommandId=" << qtxLogId(oCommandId);
    // Results are kept per session: one this client may not use (another
    // account's, or none) holds nothing for it, whatever the client's class.
    if (m_oSession.isNull()) {
        v_oResponse.setHeader("X-QTX-cmdId", oCommandId);
        SetResultData(CommandResult(419, "No Result", "There is no result for given parameters."), v_oResponse);
        return;
    }

    JobRequest oQuery = m_oCommandData;
    oQuery.oCommandId = oCommandId;
    const CommandResult oResult = m_pLauncher->GetResult(oQuery);
    v_oResponse.setHeader("X-QTX-cmdId", oCommandId);
    SetResultData(oResult, v_oResponse);
}

void CSignController::ProcessOpenSession(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    if (!m_oCommandData.oSessionId.isEmpty()) {
        // A well-formed id names a session this client uses, or none at all:
        // another account's session is answered as one that does not exist,
        // as ALIVE, CLOSE_SESSION and module commands answer it.
        if (m_oSession.isNull())
            SetResultData(CommandResult(418, "No Session", kNoSession), v_oResponse);
        else
            SetResultData(CommandResult(200, "OK", m_oCommandData.oSessionId), v_oResponse);
        return;
    }
    // The limit counts the sessions of the client's own account only: another
    // account at its limit cannot keep the user from opening one.
    SessionRegistry *poSessions = m_oContext.poSessions;
    SessionRegistry::Opened eOpened = SessionRegistry::Opened::Refused;
    norrweb::HttpSession oSession = poSessions->open(v_oRequest, v_oResponse, m_oClient, &eOpened);
    if (eOpened == SessionRegistry::Opened::Refused) {
        QTX_LOG(logger(), WARN, "CSignController::ProcessOpenSession")
            << "Session refused: " << poSessions->limits().maxSessions
            << " sessions of this client's account are open (limits/maxSessions)";
        m_bLimitRefused = true;
        SetResultData(CommandResult(503, "Service Unavailable",
                                    "Too many open sessions. Close unused sessions and try again later."),
                      v_oResponse);
        return;
    }
    m_oSession = oSession;
    const QByteArray oId = oSession.getId();
    m_oCommandData.oSessionId = oId;
    if (eOpened == SessionRegistry::Opened::Found) {
        // Found through the request's session cookie (its clock restarted).
        SetResultData(CommandResult(200, "OK", oId), v_oResponse);
        return;
    }
    QTX_LOG(logger(), NOTICE, "CSignController::ProcessOpenSession") << "New sessionID=" << qtxLogId(oId);

    if (!LoadDllLibrary()) {
        poSessions->close(oSession);
        SetResultData(CommandResult(404, "Not Found", kNotFound), v_oResponse);
        return;
    }
    SetSessionVars(v_oRequest.getParameter("sessionVars"));
    SetResultData(CommandResult(200, "OK", oId), v_oResponse);
}

bool CSignController::LoadDllLibrary()
{
    if (m_oCommandData.oLibraryName.isEmpty()) {
        QTX_LOG(logger(), INFO, "CSignController::LoadDllLibrary")
            << "Library name not found. Probably command is addressed to server not dllmodule.";
        return true;
    }
    return m_oContext.poSessions->addModule(m_oCommandData.oSessionId, m_oCommandData.oLibraryName);
}

void CSignController::SetSessionVars(const QByteArray &v_oJson)
{
    const QJsonDocument oDocument = QJsonDocument::fromJson(v_oJson);
    if (!oDocument.isArray())
        return;
    const QJsonArray oArray = oDocument.array();
    for (const QJsonValue &oElement : oArray) {
        const QJsonObject oObject = oElement.toObject();
        // The variables past a limit are not stored (logged once).
        if (!SetSessionVar(oObject.value(QStringLiteral("key")).toVariant().toString().toUtf8(),
                           oObject.value(QStringLiteral("value")).toVariant()))
            break;
    }
}

bool CSignController::SetSessionVar(const QByteArray &v_oKey, const QVariant &v_oValue)
{
    QTX_LOG(logger(), INFO, "CSignController::SetSessionVar") << "key: " << qtxLogSecret(v_oKey) << " -> value: " << qtxLogSecret(v_oValue.toByteArray());
    const norrweb::HttpSessionVarLimits &oLimits = m_oContext.poSessions->limits().variables;
    qint64 llCount = 0;
    qint64 llBytes = 0;
    if (!m_oContext.poSessions->setVariable(m_oSession, v_oKey, v_oValue, &llCount, &llBytes)) {
        QTX_LOG(logger(), WARN, "CSignController::SetSessionVar")
            << "Session variable refused: the session would hold " << llCount << " variables of " << llBytes
            << " bytes (limits/maxSessionVars " << oLimits.maxCount << ", maxSessionVarBytes " << oLimits.maxBytes
            << ", maxSessionVarBytesPerClient " << oLimits.maxAccountBytes << " for the account's sessions)";
        return false;
    }
    return true;
}

void CSignController::CloseSession(norrweb::HttpRequest &, norrweb::HttpResponse &v_oResponse)
{
    // m_oSession is null for a session of another account: that is 418 too.
    const QByteArray oId = m_oCommandData.oSessionId;
    if (oId != m_oSession.getId()) {
        SetResultData(CommandResult(418, "No Session", kNoSession), v_oResponse);
        return;
    }
    m_oContext.poSessions->close(m_oSession);
    m_oCommandData.oSessionId.clear();
    QTX_LOG(logger(), NOTICE, "CSignController::CloseSession") << "Session destroyed. sessionID=" << qtxLogId(oId);
    SetResultData(CommandResult(200, "OK", QByteArray()), v_oResponse);
}

void CSignController::ProcessSetSessionVar(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    if (m_oCommandData.oSessionId.isEmpty()) {
        SetResultData(CommandResult(418, "No Session", kNoSession), v_oResponse);
        return;
    }
    if (!SetSessionVar(v_oRequest.getParameter("key"), QVariant(v_oRequest.getParameter("value")))) {
        SetResultData(CommandResult(413, "Payload Too Large",
                                    "Too many or too large session variables. Remove some first."),
                      v_oResponse);
        return;
    }
    SetResultData(CommandResult(200, "OK", QByteArray()), v_oResponse);
}

void CSignController::ProcessArchType(norrweb::HttpRequest &, norrweb::HttpResponse &v_oResponse)
{
    QJsonObject oObject;
    oObject.insert(QStringLiteral("buildArchitecture"), QSysInfo::buildCpuArchitecture());
    oObject.insert(QStringLiteral("kernelType"), QSysInfo::kernelType());
    oObject.insert(QStringLiteral("kernelVersion"), QSysInfo::kernelVersion());
    oObject.insert(QStringLiteral("resultCode"), 200);
    SetResultData(CommandResult(200, "OK", QJsonDocument(oObject).toJson(QJsonDocument::Indented)), v_oResponse);
}

void CSignController::ProcessTest(norrweb::HttpRequest &, norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::ProcessTest";
    // The report is about the whole machine and costs many processes: only the
    // server's own account may ask for it.
    if (!m_oClient.seesAll) {
        QTX_LOG(logger(), WARN, pFunc) << "System report refused: the client is not on the server's account";
        SetResultData(CommandResult(403, "Forbidden", kForbidden), v_oResponse);
        return;
    }
    std::lock_guard<std::mutex> oOneAtATime(g_oTestMutex);
    const qint64 llNow = QDateTime::currentMSecsSinceEpoch();
    if (g_llLastTestMs != 0 && llNow - g_llLastTestMs < kTestReportReuseMs) {
        QTX_LOG(logger(), NOTICE, pFunc) << "System report of " << (llNow - g_llLastTestMs) << " ms ago reused";
        SetResultData(g_bLastTestOk ? CommandResult(200, "OK", "OK")
                                    : CommandResult(500, "Internal Server Error",
                                                    "Problem occurred when trying to obtain system information"),
                      v_oResponse);
        return;
    }
    g_llLastTestMs = llNow;
    g_bLastTestOk = false;
    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    try {
        const QString oProcesses = poProcessUtils->getProcessesList();
        const QString oCritical = poProcessUtils->getSystemCriticalInfo();
        const QString oDetail = poProcessUtils->getSystemDetailInfo();
        const QString oDevices = poProcessUtils->getConnectedDevicesInfo();
        // The reports name every account's processes and the machine's
        // devices: the log keeps their sizes only, whatever the switch.
        const auto size = [](const QString &v_oText) { return "<" + std::to_string(v_oText.toUtf8().size()) + " bytes>"; };
        QTX_LOG(logger(), NOTICE, pFunc) << "oProcessesList=" << size(oProcesses);
        QTX_LOG(logger(), NOTICE, pFunc) << "oSystemCriticalInfo=" << size(oCritical);
        QTX_LOG(logger(), NOTICE, pFunc) << "oSystemDetailInfo=" << size(oDetail);
        QTX_LOG(logger(), NOTICE, pFunc) << "oConnectedDevicesInfo=" << size(oDevices);
        g_bLastTestOk = true;
        SetResultData(CommandResult(200, "OK", "OK"), v_oResponse);
    } catch (...) {
        QTX_LOG(logger(), WARN, pFunc) << "Problem occurred when trying to obtain system information";
        SetResultData(CommandResult(500, "Internal Server Error", "Problem occurred when trying to obtain system information"),
                      v_oResponse);
    }
}

void CSignController::ProcessGetUserServerPort(norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::ProcessGetUserServerPort";
    const norrweb::HttpConnectionInfo *poConnection = v_oResponse.getConnection();
    if (!poConnection) {
        SetResultData(CommandResult(404, "Not Found", kNotFound), v_oResponse);
        return;
    }
    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    try {
        UserServerPort oLookup(poProcessUtils.get(),
                               ClientConnection{poConnection->peerAddress, poConnection->peerPort,
                                                poConnection->localAddress, poConnection->localPort},
                               poConnection->clientUid, m_oContext.uiListenerPort);
        if (!oLookup.isConnectionAtConfiguredPort()) {
            SetResultData(CommandResult(404, "Not Found", kNotFound), v_oResponse);
            return;
        }
        // Each caller is told its own account's instance, in either mode: the
        // console user's port would send another account's pages to it.
        const quint16 uiPort = oLookup.getUserServerPort();
        SetResultData(CommandResult(200, "OK", QByteArray::number(uiPort)), v_oResponse);
    } catch (ProcessUtilsImplException &oError) {
        QTX_LOG(logger(), WARN, pFunc) << "Exception: " << oError.getStackTrace();
        SetResultData(CommandResult(500, "Internal Server Error", oError.getDetailMessage().toUtf8()), v_oResponse);
    } catch (BaseException &oError) {
        QTX_LOG(logger(), WARN, pFunc) << "Exception: " << oError.getStackTrace();
        SetResultData(CommandResult(500, "Internal Server Error", kInternalError), v_oResponse);
    } catch (...) {
        SetResultData(CommandResult(500, "Internal Server Error", kInternalError), v_oResponse);
    }
}

void CSignController::ProcessGetUsernameForPid(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::ProcessGetUsernameForPid";
    // For instances asking their dispatcher, never for web pages: the answer
    // names accounts and the host. Browsers send an Origin with every such POST.
    if (!v_oRequest.getHeader("origin").isNull()) {
        QTX_LOG(logger(), WARN, pFunc) << "Refused: the request comes from a web page";
        SetResultData(CommandResult(403, "Forbidden", kForbidden), v_oResponse);
        return;
    }
    const QByteArray oPidData = v_oRequest.getParameter("processPid");
    QTX_LOG(logger(), INFO, pFunc) << "oPidData=" << qtxLogSecret(oPidData);
    bool bOk = false;
    qulonglong ulPid = oPidData.toULongLong(&bOk);
    if (!bOk)
        ulPid = 0;
    QTX_LOG(logger(), INFO, pFunc) << "ulPid=" << static_cast<unsigned long long>(ulPid);
    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    try {
        // Only about the caller's own processes (root and this instance's
        // account may ask about any): another account learns nothing of
        // processes it cannot see itself. Refused like a process that does not
        // exist, so the answer tells nothing of pids either.
        const qint64 iUid = poProcessUtils->getEffectiveUidOfPID(static_cast<qint64>(ulPid));
        if (!m_oClient.seesAll && !m_bClientOnSystemUser && (m_oClient.account < 0 || iUid != m_oClient.account)) {
            QTX_LOG(logger(), WARN, pFunc) << "Refused: the process does not run as the caller's account";
            throw std::runtime_error("not the caller's process");
        }
        const QString oUsername = poProcessUtils->getDomainAndUsernameForUid(iUid);
        if (oUsername == QLatin1String("<UNKNOWN>"))
            throw std::runtime_error("the uid has no account name");
        QTX_LOG(logger(), NOTICE, pFunc) << "oUsername=" << qtxLogSecret(oUsername);
        // The uid as well: instances compare accounts by uid, not by name.
        v_oResponse.setHeader(QByteArrayLiteral("X-QTX-uid"), QByteArray::number(iUid));
        SetResultData(CommandResult(200, "OK", oUsername.toUtf8()), v_oResponse);
    } catch (...) {
        QTX_LOG(logger(), WARN, pFunc) << "Problem occurred when trying to obtain username for ulPid="
                                       << static_cast<unsigned long long>(ulPid);
        SetResultData(CommandResult(500, "Internal Server Error", "Problem occurred when trying to obtain username"),
                      v_oResponse);
    }
}
