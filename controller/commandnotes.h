#pragma once

// What the command layer works out once and keeps: with a request, the command
// it names; with a connection, the account its client runs as. Both travel as
// the http layer's notes, which the transport holds without reading them.

#include "httpnote.h"

#include <QByteArray>
#include <QtGlobal>

namespace norrweb {
class HttpRequest;
struct HttpConnectionInfo;
}

// The library and command a request names: the decoded path's first two
// segments, or with one segment and a "cmd" parameter, that segment and the
// parameter (no segment: the parameter alone).
struct CommandTarget : norrweb::HttpNote
{
    QByteArray path;    // percent-decoded
    QByteArray library; // empty for a server command
    QByteArray command;

    // Worked out on first use (the inline decision or the controller) and kept
    // with the request.
    static const CommandTarget &of(const norrweb::HttpRequest &v_oRequest);
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
