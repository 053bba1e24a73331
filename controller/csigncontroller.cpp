#include "csigncontroller.h"

#include "clauncher.h"
#include "commandnotes.h"
#include "cversion.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "qtxlargebuffer.h"
#include "qtxlogger.h"
#include "qtxthreadcheck.h"
#include "sessionregistry.h"

#include <QRandomGenerator>

#include <cerrno>
#include <iterator>
#include <cstring>
#include <sys/random.h>

namespace {

const char kInternalError[] =
    "The QTX server encountered an unexpected error and was unable to complete your request.";
const char kNotFound[] = "The URL you requested was not found.";
const char kNoSession[] = "Session with provided ID don't exist.";

QTXLogger &logger()
{
    return QTXLogger::Instance();
}

// A braced version-4 UUID (as QUuid::createUuid().toByteArray() gives) from the
// kernel's random bytes, drawn 4 KB at a time per thread: one getrandom call per
// 256 ids instead of one per id.
QByteArray newCommandId()
{
    thread_local unsigned char t_aPool[4096];
    thread_local size_t t_uUsed = sizeof t_aPool;
    if (t_uUsed + 16 > sizeof t_aPool) {
        size_t uFilled = 0;
        while (uFilled < sizeof t_aPool) {
            const ssize_t iGot = ::getrandom(t_aPool + uFilled, sizeof t_aPool - uFilled, 0);
            if (iGot > 0) {
                uFilled += size_t(iGot);
            } else if (iGot < 0 && errno != EINTR) {
                QRandomGenerator::system()->generate(t_aPool + uFilled, t_aPool + sizeof t_aPool);
                break;
            }
        }
        t_uUsed = 0;
    }
    unsigned char *const pBytes = t_aPool + t_uUsed;
    t_uUsed += 16;
    pBytes[6] = (pBytes[6] & 0x0f) | 0x40; // version 4
    pBytes[8] = (pBytes[8] & 0x3f) | 0x80; // RFC 4122 variant
    static const char kHex[] = "0123456789abcdef";
    QByteArray oId(38, Qt::Uninitialized);
    char *pOut = oId.data();
    *pOut++ = '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *pOut++ = '-';
        *pOut++ = kHex[pBytes[i] >> 4];
        *pOut++ = kHex[pBytes[i] & 15];
    }
    *pOut = '}';
    std::memset(pBytes, 0, 16); // a used id does not stay in the pool
    return oId;
}

} // namespace

CSignController::CSignController(const ServerContext &v_oContext, QObject *v_poParent)
    : norrweb::HttpRequestHandler(v_poParent)
    , m_oContext(v_oContext)
    , m_pDllManager(v_oContext.poModules)
    , m_pLauncher(v_oContext.poLauncher)
{
}

CSignController::~CSignController() = default;

void CSignController::service(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::service";
    // Module commands may wait for files, processes and the dispatcher.
    QTX_ASSERT_NOT_MAIN_THREAD();
    QTX_LOG(logger(), INFO, pFunc) << "New request";
    SetAllNecessaryParams(v_oRequest, v_oResponse);
    SetResponseHeaders(v_oRequest, v_oResponse);
    if (!m_oContext.poSessions || !m_pDllManager || !m_pLauncher) {
        QTX_LOG(logger(), WARN, pFunc) << "Problem with the session, module or job services";
        SetResultData(CommandResult(500, "Internal Server Error", kInternalError), v_oResponse);
        SendResponse(v_oResponse);
        return;
    }

    // A client that may not use the module it names is answered before
    // anything is opened or loaded for it: on the dispatcher another account
    // makes it load nothing, run no Init, hold no session.
    if (!m_oCommandData.oLibraryName.isEmpty()
        && (!IsServerCommand(m_oCommandData.oCommand) || m_oCommandData.oCommand == "OPEN_SESSION")
        && !MayUseModule(m_oCommandData.oLibraryName)) {
        QTX_LOG(logger(), WARN, pFunc) << "Module " << m_oCommandData.oLibraryName
                                       << " refused before loading: not for this client's account";
        SetResultData(RefusedModuleResult(), v_oResponse);
        SendResponse(v_oResponse);
        QTX_LOG(logger(), INFO, pFunc) << "Request processed";
        return;
    }
    // A module command without a session opens one on the fly.
    if (!IsServerCommand(m_oCommandData.oCommand) && m_oCommandData.oSessionId.isEmpty()) {
        ProcessOpenSession(v_oRequest, v_oResponse);
        if (m_bLimitRefused) {
            SendResponse(v_oResponse);
            return;
        }
    }
    const bool bPermitted = CheckPermissions(v_oResponse);
    const bool bModuleCommand = !IsServerCommand(m_oCommandData.oCommand);

    const QByteArray &oCommand = m_oCommandData.oCommand;
    if (oCommand == "ALIVE") {
        if (m_oSession.contains(QByteArrayLiteral("startTime")))
            SetResultData(CommandResult(200, QByteArrayLiteral("OK"), QByteArray()), v_oResponse);
        else
            SetResultData(CommandResult(418, "No Session", kNoSession), v_oResponse);
    } else if (oCommand == "GET_USER_SERVER_PORT") {
        ProcessGetUserServerPort(v_oResponse);
    } else if (oCommand == "OPEN_SESSION") {
        ProcessOpenSession(v_oRequest, v_oResponse);
    } else if (oCommand == "CLOSE_SESSION") {
        CloseSession(v_oRequest, v_oResponse);
    } else if (oCommand == "SET_SESSION_VAR") {
        ProcessSetSessionVar(v_oRequest, v_oResponse);
    } else if (oCommand == "SERVER_VERSION") {
        SetResultData(CommandResult(200, "OK", CVersion().GetVersion().toUtf8()), v_oResponse);
    } else if (oCommand == "ARCH_TYPE") {
        ProcessArchType(v_oRequest, v_oResponse);
    } else if (oCommand == "TEST") {
        ProcessTest(v_oRequest, v_oResponse);
    } else if (oCommand == "GET_USERNAME_FOR_PID") {
        ProcessGetUsernameForPid(v_oRequest, v_oResponse);
    } else if (bModuleCommand && m_oSession.isNull()) {
        // A session id that does not exist, or that another account opened:
        // answered without loading or recording anything for it.
        SetResultData(CommandResult(418, "No Session", kNoSession), v_oResponse);
    } else if (!bPermitted) {
        SetResultData(RefusedModuleResult(), v_oResponse);
    } else if (oCommand == "GET_RESULT") {
        ProcessGetResult(v_oRequest, v_oResponse);
    } else if (m_oSession.contains(QByteArrayLiteral("startTime"))) {
        ProcessModuleCommand(v_oRequest, v_oResponse);
    } else {
        SetResultData(CommandResult(418, "No Session", kNoSession), v_oResponse);
    }
    SendResponse(v_oResponse);
    QTX_LOG(logger(), INFO, pFunc) << "Request processed";
}

void CSignController::SetAllNecessaryParams(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    const char *pFunc = "CSignController::SetAllNecessaryParams";
    m_oCommandData = JobRequest();
    const CommandTarget &oTarget = CommandTarget::of(v_oRequest);

    LogIdCheck(oTarget.sessionId);
    m_oCommandData.oSessionId = oTarget.sessionId.id;
    QTX_LOG(logger(), INFO, pFunc) << "sessionId=" << qtxLogId(m_oCommandData.oSessionId);
    // Which account asks decides which sessions it can see.
    ResolveClient(v_oResponse);
    // Finding the session restarts its idle clock; an unknown id starts none.
    m_oSession = m_oContext.poSessions ? m_oContext.poSessions->find(m_oCommandData.oSessionId, m_oClient)
                                       : norrweb::HttpSession();

    SetLibraryNameAndCommand(v_oRequest, v_oResponse);
    m_oCallback = v_oRequest.getParameter(QByteArrayLiteral("callback"));

    // What a module function gets is gathered only for a module command.
    m_bSessionAtIntake = !m_oSession.isNull();

    LogIdCheck(oTarget.commandId);
    m_oCommandData.oCommandId = oTarget.commandId.id;
    // GET_RESULT fetches the job named by the "cmdId" parameter, or by the
    // header without one; the permission check compares it with the header's.
    m_oResultCommandId.clear();
    if (m_oCommandData.oCommand == "GET_RESULT") {
        m_oResultCommandId = escapeAndConvertToValidID(v_oRequest.getParameter(QByteArrayLiteral("cmdId")));
        if (m_oResultCommandId.isEmpty())
            m_oResultCommandId = m_oCommandData.oCommandId;
    }
    if (m_oCommandData.oCommandId.isEmpty())
        GenerateCmdId();
    v_oResponse.setHeader(QByteArrayLiteral("X-QTX-cmdId"), m_oCommandData.oCommandId);
}

void CSignController::GatherJobInput(norrweb::HttpRequest &v_oRequest)
{
    // Parameters, then headers, then cookies, then the reserved keys; entries are
    // added, never replaced (the multimap keeps the last added first). A page
    // cannot supply a reserved key: a parameter or cookie named "keyHttp..." is
    // left out (header names arrive lower-case and cannot match), so a module
    // that reads "keyHttpOrigin" gets the browser's Origin header or nothing.
    tRequestMap &oMap = m_oCommandData.oRequestMap;
    const auto isReserved = [](const QByteArray &v_oKey) { return v_oKey.startsWith("keyHttp"); };
    oMap = v_oRequest.getAllParameters();
    for (auto it = oMap.begin(); it != oMap.end();)
        it = isReserved(it.key()) ? oMap.erase(it) : std::next(it);
    const auto &oHeaders = v_oRequest.getAllHeaders();
    for (auto it = oHeaders.constEnd(); it != oHeaders.constBegin();) {
        --it;
        oMap.insert(it.key(), it.value());
    }
    const auto &oCookies = v_oRequest.getAllCookies();
    for (auto it = oCookies.constBegin(); it != oCookies.constEnd(); ++it)
        if (!isReserved(it.key()))
            oMap.insert(it.key(), it.value());
    oMap.insert("keyHttpBody", v_oRequest.getBody());
    // Uploaded files: their content under "keyHttpFile.<field>" (the field's
    // parameter holds the file's name), copied out of the request's body,
    // which goes with the request while the job goes on (a new buffer whose
    // pages are got in bulk: qtxlargebuffer.h).
    const auto &oFiles = v_oRequest.getUploadedFiles();
    for (auto it = oFiles.constBegin(); it != oFiles.constEnd(); ++it) {
        QByteArray oContent(it.value().size(), Qt::Uninitialized);
        qtxPrepareLargeBuffer(oContent.data(), size_t(oContent.size()));
        std::memcpy(oContent.data(), it.value().constData(), size_t(oContent.size()));
        oMap.insert("keyHttpFile." + it.key(), oContent);
    }
    oMap.insert("keyHttpMethod", v_oRequest.getMethod());
    oMap.insert("keyHttpPath", CommandTarget::of(v_oRequest).path);
    oMap.insert("keyHttpVersion", v_oRequest.getVersion());
    m_oCommandData.oOrigin = v_oRequest.getHeader(QByteArrayLiteral("origin"));
    oMap.insert("keyHttpOrigin", m_oCommandData.oOrigin);
    // The session the server found for the request, so a module can bind
    // state to it (a page cannot name another session here).
    oMap.insert("keyHttpSessionId", m_oCommandData.oSessionId);
    // The session's variables as the request found them: a session opened on
    // the fly for this very command passes none.
    if (m_bSessionAtIntake)
        m_oCommandData.oSessionParams = m_oSession.getAll();
}

void CSignController::GenerateCmdId()
{
    m_oCommandData.oCommandId = newCommandId();
    QTX_LOG(logger(), INFO, "CSignController::GenerateCmdId") << "command id generated cmdId=" << qtxLogId(m_oCommandData.oCommandId);
}

QByteArray CSignController::escapeAndConvertToValidID(const QByteArray &v_oData)
{
    const CheckedId oChecked = CheckedId::of(v_oData);
    LogIdCheck(oChecked);
    return oChecked.id;
}

void CSignController::LogIdCheck(const CheckedId &v_oChecked)
{
    const char *pFunc = "CSignController::escapeAndConvertToValidID";
    QTX_LOG(logger(), INFO, pFunc) << "v_oData=" << qtxLogSecret(v_oChecked.raw);
    if (v_oChecked.form == CheckedId::Uuid)
        QTX_LOG(logger(), INFO, pFunc) << "UUID format OK";
    else if (v_oChecked.form == CheckedId::Counter)
        QTX_LOG(logger(), INFO, pFunc) << "Timestamp/counter format OK";
    else
        QTX_LOG(logger(), WARN, pFunc) << "Data format not match to valid ones. Return value set to empty data.";
}

void CSignController::SetLibraryNameAndCommand(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &)
{
    const char *pFunc = "CSignController::SetLibraryNameAndCommand";
    const CommandTarget &oTarget = CommandTarget::of(v_oRequest);
    m_oCommandData.oLibraryName = oTarget.library;
    m_oCommandData.oCommand = oTarget.command;
    QTX_LOG(logger(), INFO, pFunc) << "oLibraryName=" << m_oCommandData.oLibraryName;
    QTX_LOG(logger(), INFO, pFunc) << "oCommand=" << m_oCommandData.oCommand;
}

bool CSignController::MayUseModule(const QByteArray &v_oLibraryName) const
{
    // The system account's rule comes first, as in CheckPermissions: root's
    // clients of root's own instance too.
    if (m_bClientOnSystemUser)
        return IsSystemClientLibrary(v_oLibraryName);
    if (m_oClient.seesAll)
        return true;
    // Another account: decided per function once the module is loaded, where
    // this instance runs module functions for other accounts at all.
    return m_oContext.bModulesForOtherAccounts;
}

CommandResult CSignController::RefusedModuleResult() const
{
    // A module that exists is forbidden, one that does not is not found,
    // whether or not it was loaded: nothing is loaded to tell.
    if (!m_pDllManager->moduleExists(m_oCommandData.oLibraryName))
        return CommandResult(404, "Not Found", kNotFound);
    return CommandResult(403, "Forbidden", "You don't have permissions to access this resource.");
}

bool CSignController::DecideInline(norrweb::HttpRequest &v_oRequest, norrweb::HttpConnectionInfo &v_oConnection,
                                  const ServerContext &v_oContext)
{
    // A preflight, and server commands that only read or touch memory: the
    // session ping, the platform description and fetching a stored result (a
    // short lock; it never waits for the job). The first request of a
    // connection may have to look the client up (processes, the dispatcher,
    // the passwd database): only when that cannot wait is it served here too.
    const QByteArray oMethod = v_oRequest.getMethod();
    const bool bPreflight = oMethod == "OPTIONS";
    if (!bPreflight && oMethod != "POST")
        return false;
    CommandTarget *poTarget = bPreflight ? nullptr : &CommandTarget::of(v_oRequest);
    if (bPreflight || poTarget->command == "GET_RESULT"
        || (poTarget->library.isEmpty() && (poTarget->command == "ALIVE" || poTarget->command == "ARCH_TYPE")))
        return ClientAccount::of(v_oConnection) || ResolveClientWithoutWaiting(v_oConnection);
    CommandTarget &oTarget = *poTarget;

    // A module command whose module its session uses already: the job is
    // queued from here, without the hop to a request worker and back. A
    // command without a session opens one first; a refused client's answer
    // looks the module up (both may wait).
    const ClientAccount *poAccount = ClientAccount::of(v_oConnection);
    if (!poAccount || !v_oContext.poSessions || !v_oContext.poModules || !v_oContext.poLauncher)
        return false;
    if (oTarget.library.isEmpty() || oTarget.sessionId.id.isEmpty() || IsServerCommand(oTarget.command))
        return false;
    if (!(poAccount->onSystemUser ? IsSystemClientLibrary(oTarget.library) : poAccount->onCurrentUser))
        return false;
    ModuleRef oModule = ModuleRef::adopt(v_oContext.poModules,
                                         v_oContext.poSessions->tryAcquireModule(oTarget.sessionId.id, oTarget.library));
    DllModule::CommandInfo oInfo;
    // The module lock too is only tried: another module loading or unloading
    // holds it while its Init or DeInit runs.
    if (!oModule.get() || !oModule.get()->tryDescribeCommand(oTarget.command, &oInfo))
        return false;
    oTarget.prepared.reset(new PreparedModuleCommand{std::move(oModule), std::move(oInfo)});
    return true;
}

bool CSignController::IsServerCommand(const QByteArray &v_oCommand)
{
    // ARCH_TYPE is answered by the server too: it must not open a session.
    // Compared byte for byte, whole (a command is a path segment, not text).
    static const QByteArray s_aCommands[] = {
        QByteArrayLiteral("ALIVE"),          QByteArrayLiteral("GET_RESULT"),           QByteArrayLiteral("OPEN_SESSION"),
        QByteArrayLiteral("CLOSE_SESSION"),  QByteArrayLiteral("SET_SESSION_VAR"),      QByteArrayLiteral("SERVER_VERSION"),
        QByteArrayLiteral("GET_USER_SERVER_PORT"), QByteArrayLiteral("TEST"),           QByteArrayLiteral("GET_USERNAME_FOR_PID"),
        QByteArrayLiteral("ARCH_TYPE")};
    for (const QByteArray &oCommand : s_aCommands) {
        if (v_oCommand == oCommand)
            return true;
    }
    return false;
}

void CSignController::ProcessModuleCommand(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse)
{
    // Resolved once: recorded for the session and held (another connection may
    // end its sessions) while it is asked, then handed to the job. A command
    // let in on the I/O thread brings its module and what the module says
    // about it, so that nothing here waits for a module lock.
    const CommandTarget &oTarget = CommandTarget::of(v_oRequest);
    PreparedModuleCommand *poPrepared = oTarget.prepared && oTarget.sessionId.id == m_oCommandData.oSessionId
                                                && oTarget.library == m_oCommandData.oLibraryName
                                                && oTarget.command == m_oCommandData.oCommand
                                            ? oTarget.prepared.get()
                                            : nullptr;
    const DllModule::CommandInfo *poKnown = poPrepared ? &poPrepared->info : nullptr;
    if (poPrepared)
        m_pDllManager->logSessionUse(*poPrepared->module.get(), m_oCommandData.oLibraryName, m_oCommandData.oSessionId);
    ModuleRef oModule = poPrepared ? std::move(poPrepared->module)
                                   : ModuleRef::adopt(m_pDllManager, m_oContext.poSessions->acquireModule(
                                                                         m_oCommandData.oSessionId, m_oCommandData.oLibraryName));
    DllModule *poModule = oModule.get();
    if (!poModule || !poModule->isCommandValid(m_oCommandData.oCommand, poKnown)) {
        SetResultData(CommandResult(404, "Not Found", kNotFound), v_oResponse);
        return;
    }
    if (!CheckCommandParameters(v_oRequest, poModule, poKnown)) {
        SetResultData(CommandResult(400, "Bad Request", "The parameters you passed are not valid."), v_oResponse);
        return;
    }
    // Results count against the account that owns the session.
    m_oCommandData.iSessionOwner = m_oSession.getOwner();
    GatherJobInput(v_oRequest);
    SetResultData(m_pLauncher->ProcessCommand(m_oCommandData, oModule.release(), poKnown), v_oResponse);
}

bool CSignController::CheckCommandParameters(norrweb::HttpRequest &v_oRequest, DllModule *v_poModule,
                                             const DllModule::CommandInfo *v_poKnown)
{
    const auto oNames = v_poModule->getRequestParams(m_oCommandData.oCommand, v_poKnown);
    for (const auto &oName : oNames) {
        const QByteArray oKey = QString(oName).toUtf8();
        if (v_oRequest.getParameter(oKey).isNull()) {
            QTX_LOG(logger(), WARN, "CSignController::CheckCommandParameters") << "Param missing key=" << oKey;
            return false;
        }
    }
    return true;
}
