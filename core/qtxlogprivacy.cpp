#include "qtxlogprivacy.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <atomic>

namespace {

std::atomic<bool> g_logSensitive{false};

// 32 random bytes for this process, drawn on first use.
const QByteArray &idKey()
{
    static const QByteArray s_oKey = [] {
        QByteArray oKey(32, '\0');
        QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(oKey.data()),
                                             reinterpret_cast<quint32 *>(oKey.data() + oKey.size()));
        return oKey;
    }();
    return s_oKey;
}

std::string lengthText(int v_iBytes)
{
    return '<' + std::to_string(v_iBytes) + " bytes>";
}

} // namespace

bool qtxLogSensitiveData()
{
    return g_logSensitive.load(std::memory_order_relaxed);
}

void qtxSetLogSensitiveData(bool v_bOn)
{
    g_logSensitive.store(v_bOn, std::memory_order_relaxed);
}

std::string qtxLogId(const QByteArray &v_oId)
{
    if (qtxLogSensitiveData())
        return v_oId.toStdString();
    if (v_oId.isEmpty())
        return std::string();
    const QByteArray oMac = QMessageAuthenticationCode::hash(v_oId, idKey(), QCryptographicHash::Sha256);
    return '#' + oMac.left(4).toHex().toStdString();
}

std::string qtxLogId(const QString &v_oId)
{
    return qtxLogId(v_oId.toUtf8());
}

std::string qtxLogSecret(const QByteArray &v_oData)
{
    return qtxLogSensitiveData() ? v_oData.toStdString() : lengthText(v_oData.size());
}

std::string qtxLogSecret(const QString &v_oData)
{
    return qtxLogSecret(v_oData.toUtf8());
}

std::string qtxLogHeaderValue(const QByteArray &v_oName, const QByteArray &v_oValue)
{
    const QByteArray oName = v_oName.toLower();
    if (oName == "x-qtx-sessionid" || oName == "x-qtx-cmdid")
        return qtxLogId(v_oValue);
    static const char *const s_apPlain[] = {"host", "origin", "content-type", "content-length", "user-agent",
                                            "accept", "accept-language", "accept-encoding", "connection",
                                            "transfer-encoding", "expect"};
    for (const char *pName : s_apPlain) {
        if (oName == pName)
            return v_oValue.toStdString();
    }
    if (oName.startsWith("access-control-"))
        return v_oValue.toStdString();
    return qtxLogSecret(v_oValue);
}
