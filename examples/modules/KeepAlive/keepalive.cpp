// KeepAlive: what a keep-alive client on the system account (root) calls to
// see that the user's server and its module loading work. One of the four
// module names a system-account client may use.

#include "qtxmodule.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>

namespace {
std::atomic<qint64> g_loadedAtMs{0};
}

QTX_MODULE_EXPORT void Init()
{
    g_loadedAtMs = QDateTime::currentMSecsSinceEpoch();
}

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun)
{
    return false;
}

QTX_MODULE_EXPORT bool CanUseOnTerminalServices()
{
    return true;
}

// {"alive":true,"uptimeSeconds":<since the module was loaded>,"time":"<UTC ISO 8601>"}
QTX_MODULE_COMMAND(Ping)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    const QDateTime oNow = QDateTime::currentDateTimeUtc();
    QJsonObject oReply;
    oReply.insert(QStringLiteral("alive"), true);
    oReply.insert(QStringLiteral("uptimeSeconds"), (oNow.toMSecsSinceEpoch() - g_loadedAtMs) / 1000);
    oReply.insert(QStringLiteral("time"), oNow.toString(Qt::ISODate));
    return QJsonDocument(oReply).toJson(QJsonDocument::Compact);
}
