// Hasher: SHA-256 of a request parameter, and HMAC-SHA256 with a key that only
// the module holds (random, created by Init, wiped by DeInit; a new load makes a
// new key). Replies are JSON.

#include "qtxmodule.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QReadWriteLock>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace {

QReadWriteLock g_keyLock;
QByteArray g_key;

QByteArray json(const QJsonObject &v_oObject)
{
    return QJsonDocument(v_oObject).toJson(QJsonDocument::Compact);
}

QByteArray hmac(const QByteArray &v_oData)
{
    QReadLocker oLock(&g_keyLock);
    if (g_key.isEmpty())
        throw std::runtime_error("Hasher key not initialised");
    return QMessageAuthenticationCode::hash(v_oData, g_key, QCryptographicHash::Sha256);
}

QString keyId()
{
    QReadLocker oLock(&g_keyLock);
    return QString::fromLatin1(QCryptographicHash::hash(g_key, QCryptographicHash::Sha256).toHex().left(16));
}

// Compares without an early exit so the time taken says nothing about the MAC.
bool equalConstantTime(const QByteArray &v_oA, const QByteArray &v_oB)
{
    if (v_oA.size() != v_oB.size())
        return false;
    unsigned char uDiff = 0;
    for (int i = 0; i < v_oA.size(); ++i)
        uDiff |= static_cast<unsigned char>(v_oA[i] ^ v_oB[i]);
    return uDiff == 0;
}

} // namespace

QTX_MODULE_EXPORT void Init()
{
    quint32 aWords[8];
    QRandomGenerator::system()->fillRange(aWords);
    QWriteLocker oLock(&g_keyLock);
    g_key = QByteArray(reinterpret_cast<const char *>(aWords), sizeof aWords);
    std::fill(std::begin(aWords), std::end(aWords), 0u);
}

QTX_MODULE_EXPORT void DeInit()
{
    QWriteLocker oLock(&g_keyLock);
    g_key.fill('\0');
    g_key.clear();
}

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun)
{
    return false;
}

QTX_MODULE_EXPORT bool CanUseOnTerminalServices()
{
    return true;
}

// {"algorithm":"SHA-256","hex":"<64 hex digits>"}
QTX_MODULE_COMMAND(Sha256)
{
    Q_UNUSED(v_oSessionParams);
    QJsonObject oReply;
    oReply.insert(QStringLiteral("algorithm"), QStringLiteral("SHA-256"));
    oReply.insert(QStringLiteral("hex"), QString::fromLatin1(
        QCryptographicHash::hash(v_oRequest.value("data"), QCryptographicHash::Sha256).toHex()));
    return json(oReply);
}

// {"algorithm":"HMAC-SHA256","keyId":"<16 hex digits>","hex":"<64 hex digits>"}
QTX_MODULE_COMMAND(HmacSha256)
{
    Q_UNUSED(v_oSessionParams);
    QJsonObject oReply;
    oReply.insert(QStringLiteral("algorithm"), QStringLiteral("HMAC-SHA256"));
    oReply.insert(QStringLiteral("keyId"), keyId());
    oReply.insert(QStringLiteral("hex"), QString::fromLatin1(hmac(v_oRequest.value("data")).toHex()));
    return json(oReply);
}

// {"valid":true|false} for a "mac" given in hexadecimal.
QTX_MODULE_COMMAND(VerifyHmac)
{
    Q_UNUSED(v_oSessionParams);
    const QByteArray oExpected = hmac(v_oRequest.value("data"));
    const QByteArray oGiven = QByteArray::fromHex(v_oRequest.value("mac"));
    QJsonObject oReply;
    oReply.insert(QStringLiteral("valid"), equalConstantTime(oExpected, oGiven));
    return json(oReply);
}
