// PublicInfo: one function that any local account may call (ServerTime) and
// one that only the server's own account may call (SessionVariables), to show
// how a module declares what is safe for unprivileged callers.

#include "qtxmodule.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

QTX_MODULE_COMMAND(ServerTime);
QTX_MODULE_COMMAND(SessionVariables);

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun)
{
    return false;
}

// Only ServerTime reveals nothing of the user the server runs for.
QTX_MODULE_EXPORT bool CanUnprivilegedRun(tpfun v_poFunction)
{
    return v_poFunction == &ServerTime;
}

QTX_MODULE_EXPORT bool CanUseOnTerminalServices()
{
    return true;
}

// {"time":"<UTC ISO 8601>"}
QTX_MODULE_COMMAND(ServerTime)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    QJsonObject oReply;
    oReply.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    return QJsonDocument(oReply).toJson(QJsonDocument::Compact);
}

// {"variables":{"name":"value",...}}: the calling session's variables.
QTX_MODULE_COMMAND(SessionVariables)
{
    Q_UNUSED(v_oRequest);
    QJsonObject oVariables;
    for (auto it = v_oSessionParams.cbegin(); it != v_oSessionParams.cend(); ++it)
        oVariables.insert(QString::fromUtf8(it.key()), it.value().toString());
    QJsonObject oReply;
    oReply.insert(QStringLiteral("variables"), oVariables);
    return QJsonDocument(oReply).toJson(QJsonDocument::Compact);
}
