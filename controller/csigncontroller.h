#pragma once

// Turns one accepted POST into one command and its reply: intake of the
// command, module, ids, callback and parameters; the implicit session of a
// module command; the client's account check; a server command answered at
// once or a module function started on a worker; the CORS or JSONP reply.
// One controller serves exactly one request, on the thread that serves it (a
// request worker, or the connection's I/O thread for an inline command).

#include "dllmodule.h"
#include "httprequesthandler.h"
#include "httpsession.h"
#include "jobrequest.h"
#include "servercontext.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

struct CheckedId;
class CLauncher;
class ClientIdentity;
class ProcessUtils;
class DllManager;

namespace norrweb {
class HttpRequest;
class HttpResponse;
struct HttpConnectionInfo;
}

// Modules a client on the system (root) account may address.
extern const char *const SYSTEM_CLIENT_LIBRARIES[4];

class CSignController : public norrweb::HttpRequestHandler
{
    Q_OBJECT
public:
    explicit CSignController(const ServerContext &v_oContext, QObject *v_poParent = nullptr);
    ~CSignController() override;

    void service(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse) override;
    void SetVerboseLogging(bool v_bVerbose) { m_bVerboseLog = v_bVerbose; }

    // The id as CheckedId reads it, with the check's log lines.
    static QByteArray escapeAndConvertToValidID(const QByteArray &v_oData);
    static bool IsServerCommand(const QByteArray &v_oCommand);
    // The modules a client on the system account may run.
    static bool IsSystemClientLibrary(const QByteArray &v_oName);
    // The inline decision, on the connection's I/O thread: whether serving the
    // request there never blocks and runs no module code. Yes for a preflight
    // and the cheap server commands (ALIVE, ARCH_TYPE, GET_RESULT) once the
    // client can be resolved without waiting; yes for a module command of a
    // checked client in a session that already uses the module, while no load
    // or unload holds the modules, with the module taken for the controller
    // (CommandTarget::prepared) and the command described from the record
    // made at the module's load. Everything else goes to a request worker.
    static bool DecideInline(norrweb::HttpRequest &v_oRequest, norrweb::HttpConnectionInfo &v_oConnection,
                             const ServerContext &v_oContext);

    const JobRequest &commandData() const { return m_oCommandData; }

private:
    // Whether the client of a connection can be resolved without waiting: the
    // account names the check compares were looked up moments ago, and the
    // socket's owner, read when it was accepted, is not root, or is root and
    // the socket's holder is one of root's recent client processes with few
    // descriptors (found here, and noted on the connection for the check; the
    // search through every process is left to a request worker).
    static bool ResolveClientWithoutWaiting(norrweb::HttpConnectionInfo &v_oConnection);

    // Intake
    void SetAllNecessaryParams(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void SetLibraryNameAndCommand(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void GenerateCmdId();
    // The id check's log lines, for an id checked when the request was read.
    static void LogIdCheck(const CheckedId &v_oChecked);
    // The request map and session variables a module function gets.
    void GatherJobInput(norrweb::HttpRequest &v_oRequest);
    void ProcessModuleCommand(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    bool CheckCommandParameters(norrweb::HttpRequest &v_oRequest, DllModule *v_poModule,
                                const DllModule::CommandInfo *v_poKnown);

    // Server commands
    void ProcessGetResult(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void ProcessOpenSession(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    bool LoadDllLibrary();
    void CloseSession(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void ProcessSetSessionVar(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void SetSessionVars(const QByteArray &v_oJson);
    // False (with one log line) when the variable would exceed the session's
    // limits (limits/maxSessionVars, maxSessionVarBytes); nothing is stored then.
    bool SetSessionVar(const QByteArray &v_oKey, const QVariant &v_oValue);
    void ProcessArchType(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void ProcessTest(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void ProcessGetUserServerPort(norrweb::HttpResponse &v_oResponse);
    void ProcessGetUsernameForPid(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);

    // Permission checks
    // Whether the client may have this module loaded for it at all (before any
    // session is opened or the module loaded): the system account its four,
    // the server's own account any, other accounts none on the dispatcher or
    // in an instance of root's.
    bool MayUseModule(const QByteArray &v_oLibraryName) const;
    // 403 for a module that exists, 404 for one that does not.
    CommandResult RefusedModuleResult() const;
    // Decides once per connection which account the client runs as (kept with
    // the connection as its ClientAccount note) and fills the client fields below.
    void ResolveClient(norrweb::HttpResponse &v_oResponse);
    bool CheckPermissions(norrweb::HttpResponse &v_oResponse);
    // The client's identity is resolved once (null when that failed) and
    // shared by both checks.
    // v_pbSameAccount: the client runs as the server's own account (not only
    // as the system account, which the first check also accepts).
    bool IsClientOnCurrentUser(ProcessUtils &v_oUtils, const ClientIdentity *v_poClient, const QString &v_oClientText,
                               bool *v_pbSameAccount);
    bool IsClientOnSystemUser(ProcessUtils &v_oUtils, const ClientIdentity *v_poClient, const QString &v_oClientText);
    // The dispatcher's answer; *v_piUid gets the account's uid from it (-1
    // when it sent none or did not answer).
    QString askDispatcherForDomainAndUsernameForPID(qint64 v_iPid, qint64 *v_piUid = nullptr);

    // Reply delivery
    void SetResponseHeaders(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse);
    void SetResultData(const CommandResult &v_oResult, norrweb::HttpResponse &v_oResponse);
    void SendResponse(norrweb::HttpResponse &v_oResponse);

    const ServerContext &m_oContext;
    DllManager *const m_pDllManager;
    CLauncher *const m_pLauncher;
    JobRequest m_oCommandData;
    norrweb::HttpSession m_oSession;
    QByteArray m_oResultCommandId;  // the job a GET_RESULT fetches
    QByteArray m_oCallback;
    QByteArray m_oResultData;
    bool m_bVerboseLog = true;
    // A configured limit refused the request; its reply is already set.
    bool m_bLimitRefused = false;
    // The request named a session this client may use.
    bool m_bSessionAtIntake = false;
    // The client of this request (ResolveClient).
    bool m_bClientOnCurrentUser = false;
    bool m_bClientOnSystemUser = false;
    norrweb::HttpSessionClient m_oClient{-1, false, -1};
};
