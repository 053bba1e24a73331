#include "qtxlogprivacy.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

std::atomic<bool> g_logSensitive{false};

// 16 random bytes for this process, drawn on first use.
const QByteArray &idKey()
{
    static const QByteArray s_oKey = [] {
        QByteArray oKey(16, '\0');
        QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(oKey.data()),
                                             reinterpret_cast<quint32 *>(oKey.data() + oKey.size()));
        return oKey;
    }();
    return s_oKey;
}

// The ids this thread hashed last. A request logs its session and command ids
// several times, and a page sends the same session id with every request, so
// most ids are found here instead of being hashed again.
struct HashedId
{
    QByteArray id;
    char text[10] = {}; // "#" and 8 hex digits
};
constexpr int kHashedIds = 8;
thread_local HashedId t_hashedIds[kHashedIds];
thread_local int t_nextHashedId = 0;

std::string lengthText(int v_iBytes)
{
    return '<' + std::to_string(v_iBytes) + " bytes>";
}

} // namespace

std::uint64_t qtxSipHash24(const unsigned char *v_pKey, const char *v_pData, std::size_t v_uiSize)
{
    // The last 0..7 bytes, little-endian.
    auto load = [](const unsigned char *v_pBytes, std::size_t v_uiCount) {
        std::uint64_t uiWord = 0;
        for (std::size_t i = 0; i < v_uiCount; ++i)
            uiWord |= std::uint64_t(v_pBytes[i]) << (8 * i);
        return uiWord;
    };
    auto rotl = [](std::uint64_t v_uiWord, int v_iBits) { return (v_uiWord << v_iBits) | (v_uiWord >> (64 - v_iBits)); };
    const std::uint64_t uiK0 = qFromLittleEndian<quint64>(v_pKey), uiK1 = qFromLittleEndian<quint64>(v_pKey + 8);
    std::uint64_t v0 = 0x736f6d6570736575ULL ^ uiK0, v1 = 0x646f72616e646f6dULL ^ uiK1;
    std::uint64_t v2 = 0x6c7967656e657261ULL ^ uiK0, v3 = 0x7465646279746573ULL ^ uiK1;
    auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    const auto *pBytes = reinterpret_cast<const unsigned char *>(v_pData);
    const std::size_t uiWhole = v_uiSize - v_uiSize % 8;
    for (std::size_t i = 0; i < uiWhole; i += 8) {
        const std::uint64_t uiWord = qFromLittleEndian<quint64>(pBytes + i);
        v3 ^= uiWord;
        round();
        round();
        v0 ^= uiWord;
    }
    const std::uint64_t uiLast = (std::uint64_t(v_uiSize) << 56) | load(pBytes + uiWhole, v_uiSize % 8);
    v3 ^= uiLast;
    round();
    round();
    v0 ^= uiLast;
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i)
        round();
    return v0 ^ v1 ^ v2 ^ v3;
}

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
    for (const HashedId &oKnown : t_hashedIds) {
        if (oKnown.id == v_oId)
            return std::string(oKnown.text, 9);
    }
    const std::uint64_t uiHash = qtxSipHash24(reinterpret_cast<const unsigned char *>(idKey().constData()),
                                              v_oId.constData(), std::size_t(v_oId.size()));
    unsigned char aMac[8];
    for (int i = 0; i < 8; ++i)
        aMac[i] = static_cast<unsigned char>(uiHash >> (8 * i));
    HashedId &oEntry = t_hashedIds[t_nextHashedId];
    t_nextHashedId = (t_nextHashedId + 1) % kHashedIds;
    static const char kHex[] = "0123456789abcdef";
    oEntry.text[0] = '#';
    for (int i = 0; i < 4; ++i) {
        oEntry.text[1 + 2 * i] = kHex[aMac[i] >> 4];
        oEntry.text[2 + 2 * i] = kHex[aMac[i] & 15];
    }
    oEntry.id = v_oId;
    return std::string(oEntry.text, 9);
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

QtxHeaderShown qtxLogHeaderShown(const QByteArray &v_oName)
{
    // Compared without case and without a lower-cased copy, the length first:
    // this runs for every header of every logged request and reply.
    struct Known
    {
        const char *name;
        int size;
        QtxHeaderShown shown;
    };
    static const Known s_aKnown[] = {
        {"x-qtx-sessionid", 15, QtxHeaderShown::Id},   {"x-qtx-cmdid", 11, QtxHeaderShown::Id},
        {"host", 4, QtxHeaderShown::Plain},            {"origin", 6, QtxHeaderShown::Plain},
        {"content-type", 12, QtxHeaderShown::Plain},   {"content-length", 14, QtxHeaderShown::Plain},
        {"user-agent", 10, QtxHeaderShown::Plain},     {"accept", 6, QtxHeaderShown::Plain},
        {"accept-language", 15, QtxHeaderShown::Plain}, {"accept-encoding", 15, QtxHeaderShown::Plain},
        {"connection", 10, QtxHeaderShown::Plain},     {"transfer-encoding", 17, QtxHeaderShown::Plain},
        {"expect", 6, QtxHeaderShown::Plain},
    };
    // v_pLower is lower case: a name's byte matches it or, for a letter, its capital.
    auto sameNoCase = [](const char *v_pName, const char *v_pLower, int v_iSize) {
        for (int i = 0; i < v_iSize; ++i) {
            const char c = v_pName[i], k = v_pLower[i];
            if (c != k && !(k >= 'a' && k <= 'z' && c == k - ('a' - 'A')))
                return false;
        }
        return true;
    };
    const int iSize = v_oName.size();
    const char *pName = v_oName.constData();
    for (const Known &oKnown : s_aKnown) {
        if (oKnown.size == iSize && sameNoCase(pName, oKnown.name, iSize))
            return oKnown.shown;
    }
    if (iSize >= 15 && sameNoCase(pName, "access-control-", 15))
        return QtxHeaderShown::Plain;
    return QtxHeaderShown::Secret;
}

std::string qtxLogHeaderValue(const QByteArray &v_oName, const QByteArray &v_oValue)
{
    switch (qtxLogHeaderShown(v_oName)) {
    case QtxHeaderShown::Id:
        return qtxLogId(v_oValue);
    case QtxHeaderShown::Plain:
        return v_oValue.toStdString();
    case QtxHeaderShown::Secret:
        break;
    }
    return qtxLogSecret(v_oValue);
}
