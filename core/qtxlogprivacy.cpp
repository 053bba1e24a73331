#include "qtxlogprivacy.h"

#include <QRandomGenerator>

#include <openssl/evp.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstring>

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

// HMAC-SHA256 under idKey(), with the key's inner and outer SHA-256 states
// computed once: an id then costs two state copies and two short hashes, not a
// MAC set-up each time.
class IdMac
{
public:
    IdMac()
    {
        const QByteArray &oKey = idKey(); // 32 bytes: shorter than the block, used as it is
        unsigned char aInner[64] = {}, aOuter[64] = {};
        std::memcpy(aInner, oKey.constData(), size_t(oKey.size()));
        std::memcpy(aOuter, oKey.constData(), size_t(oKey.size()));
        for (int i = 0; i < 64; ++i) {
            aInner[i] ^= 0x36;
            aOuter[i] ^= 0x5c;
        }
        m_ok = m_inner && m_outer && EVP_DigestInit_ex(m_inner, EVP_sha256(), nullptr) == 1
               && EVP_DigestUpdate(m_inner, aInner, sizeof aInner) == 1
               && EVP_DigestInit_ex(m_outer, EVP_sha256(), nullptr) == 1
               && EVP_DigestUpdate(m_outer, aOuter, sizeof aOuter) == 1;
        OPENSSL_cleanse(aInner, sizeof aInner);
        OPENSSL_cleanse(aOuter, sizeof aOuter);
    }
    // The 32-byte MAC of v_oId, computed in this thread's context.
    bool mac(const QByteArray &v_oId, unsigned char *v_pMac) const
    {
        thread_local EVP_MD_CTX *t_poWork = EVP_MD_CTX_new();
        thread_local struct Free { ~Free() { EVP_MD_CTX_free(t_poWork); } } t_free;
        unsigned char aInnerHash[32];
        unsigned int uSize = 0;
        return m_ok && t_poWork && EVP_MD_CTX_copy_ex(t_poWork, m_inner) == 1
               && EVP_DigestUpdate(t_poWork, v_oId.constData(), size_t(v_oId.size())) == 1
               && EVP_DigestFinal_ex(t_poWork, aInnerHash, &uSize) == 1 && EVP_MD_CTX_copy_ex(t_poWork, m_outer) == 1
               && EVP_DigestUpdate(t_poWork, aInnerHash, sizeof aInnerHash) == 1
               && EVP_DigestFinal_ex(t_poWork, v_pMac, &uSize) == 1;
    }

private:
    EVP_MD_CTX *m_inner = EVP_MD_CTX_new();
    EVP_MD_CTX *m_outer = EVP_MD_CTX_new();
    bool m_ok = false;
};

bool hmacOfId(const QByteArray &v_oId, unsigned char *v_pMac)
{
    // Never destroyed: threads may still log while the process exits.
    static const IdMac *const s_poMac = new IdMac;
    return s_poMac->mac(v_oId, v_pMac);
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
    for (const HashedId &oKnown : t_hashedIds) {
        if (oKnown.id == v_oId)
            return std::string(oKnown.text, 9);
    }
    unsigned char aMac[32];
    if (!hmacOfId(v_oId, aMac))
        return "#????????"; // no digest: the line still shows that an id was there
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
