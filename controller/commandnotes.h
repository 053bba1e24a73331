#pragma once

// What the command layer works out once and keeps: with a request, the command
// it names; with a connection, the account its client runs as. Both travel as
// the http layer's notes, which the transport holds without reading them.

#include "dllmanager.h"
#include "dllmodule.h"
#include "httpnote.h"

#include <QByteArray>
#include <QtGlobal>

#include <memory>

// A module command let in on an I/O thread (CSignController::DecideInline).
struct PreparedModuleCommand
{
    ModuleRef module;
    DllModule::CommandInfo info;
};

namespace norrweb {
class HttpRequest;
struct HttpConnectionInfo;
}

// A session or command id as a page sent it, and what it is worth: a braced
// UUID (hex digits of either case) or 1..13 decimal digits, trimmed; anything
// else gives no id.
struct CheckedId
{
    enum Form { Uuid, Counter, Invalid };
    QByteArray raw;
    QByteArray id; // empty unless the form is valid
    Form form = Invalid;
    static CheckedId of(const QByteArray &v_oRaw);
};

// One request's command, read from it once: the library and command (the
// decoded path's first two segments, or with one segment and a "cmd"
// parameter, that segment and the parameter; no segment: the parameter alone)
// and the session and command ids of its X-QTX headers.
struct CommandTarget : norrweb::HttpNote
{
    QByteArray path;    // percent-decoded
    QByteArray library; // empty for a server command
    QByteArray command;
    CheckedId sessionId;
    CheckedId commandId;
    // A module command let in on an I/O thread: its module, taken for the
    // session without waiting when it was let in, and what the module says
    // about the command, for the controller and the launcher to use. The
    // module is given back when the request ends if no job took it. Set only
    // by the inline decision, which holds the request itself.
    std::unique_ptr<PreparedModuleCommand> prepared;

    // Worked out on first use (the inline decision or the controller) and kept
    // with the request.
    static const CommandTarget &of(const norrweb::HttpRequest &v_oRequest);
    static CommandTarget &of(norrweb::HttpRequest &v_oRequest);
};

// The account check of a connection's first request, kept for its later ones:
// the process at the client end of a connection does not change while it lasts.
struct ClientAccount : norrweb::HttpNote
{
    bool onCurrentUser = false;
    bool onSystemUser = false;
    bool isServerAccount = false;
    // The account the client's sessions and limits count against (a uid; -1 unknown).
    qint64 account = -1;

    // The connection's check, or null before its first request made one.
    static const ClientAccount *of(const norrweb::HttpConnectionInfo &v_oConnection);
};
