#pragma once

// The command of one request, as the command controller hands it to the job
// launcher, and the outcome of a command, as it goes back to the page.

#include "qtxtypes.h"

#include <QByteArray>

struct JobRequest
{
    QByteArray oLibraryName;         // module name from the path; empty for server commands
    QByteArray oSessionId;           // validated X-QTX-sessionId, or the session opened for this request
    QByteArray oCommandId;           // validated X-QTX-cmdId, or a generated braced UUID
    QByteArray oCommand;             // server command word or module function name
    tRequestMap oRequestMap;         // parameters, headers, cookies and the reserved keys
    QByteArray oOrigin;              // the request's Origin header, empty without one (GUI jobs show it)
    tSessionParamsMap oSessionParams; // copy of the session's variables
    bool bUnprivileged = false;      // admitted as a client of another account
    qint64 iSessionOwner = -1;       // account that owns the session (its stored results count there)
};

struct CommandResult
{
    CommandResult() = default;
    CommandResult(qint32 v_iStatusCode, const QByteArray &v_oStatusText, const QByteArray &v_oBody)
        : iStatusCode(v_iStatusCode)
        , oStatusText(v_oStatusText)
        , oBody(v_oBody)
    {
    }

    qint32 iStatusCode = 200;
    QByteArray oStatusText = QByteArrayLiteral("OK");
    QByteArray oBody;
};
