#include "modulereader.h"

#include "modulekeys.h"

#include "peheaderdata.h"
#include "qtxlogger.h"
#include "qtxpublickey_p.h"

#include <QFile>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <memory>
#include <stdexcept>

namespace {

// Reads exactly v_iLength bytes at v_iPos; positions outside the file (including
// ones that overflowed while being computed) are refused with an exception.
QByteArray readAt(QFile &v_oFile, qint64 v_iFileSize, qint64 v_iPos, qint64 v_iLength)
{
    if (v_iPos < 0 || v_iLength < 0 || v_iPos > v_iFileSize || v_iLength > v_iFileSize - v_iPos)
        throw std::out_of_range("read outside the file at position " + std::to_string(v_iPos) + " length "
                                + std::to_string(v_iLength));
    if (!v_oFile.seek(v_iPos))
        throw std::runtime_error("seek failed: " + v_oFile.errorString().toStdString());
    const QByteArray oData = v_oFile.read(v_iLength);
    if (oData.size() != v_iLength)
        throw std::runtime_error("short read: " + v_oFile.errorString().toStdString());
    return oData;
}

qint64 readInt64At(QFile &v_oFile, qint64 v_iFileSize, qint64 v_iPos)
{
    const QByteArray oBytes = readAt(v_oFile, v_iFileSize, v_iPos, 8);
    quint64 uiValue = 0;
    for (int i = 7; i >= 0; --i)
        uiValue = (uiValue << 8) | static_cast<unsigned char>(oBytes[i]);
    return static_cast<qint64>(uiValue);
}

qint64 checkedSub(qint64 v_iA, qint64 v_iB)
{
    qint64 iResult = 0;
    if (__builtin_sub_overflow(v_iA, v_iB, &iResult))
        throw std::out_of_range("position overflow");
    return iResult;
}

struct PkeyFree { void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); } };
struct BnFree { void operator()(BIGNUM *p) const { BN_free(p); } };
struct ParamBldFree { void operator()(OSSL_PARAM_BLD *p) const { OSSL_PARAM_BLD_free(p); } };
struct ParamFree { void operator()(OSSL_PARAM *p) const { OSSL_PARAM_free(p); } };

// The built-in public key, assembled from its two tables; the plain buffer is
// wiped before returning.
std::unique_ptr<EVP_PKEY, PkeyFree> builtInKey()
{
    unsigned char aPlain[kQtxKeyTableASize];
    qtxLayDownKeyTableA(aPlain);
    const unsigned char *pTableB = qtxKeyTableB();
    for (int i = 0; i < kQtxKeyTableASize; ++i)
        aPlain[i] ^= pTableB[i];
    std::unique_ptr<BIGNUM, BnFree> pN(BN_bin2bn(aPlain, kQtxKeyModulusSize, nullptr));
    std::unique_ptr<BIGNUM, BnFree> pE(BN_bin2bn(aPlain + kQtxKeyExponentOffset, kQtxKeyExponentSize, nullptr));
    OPENSSL_cleanse(aPlain, sizeof aPlain);
    if (!pN || !pE)
        return nullptr;

    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> pBld(OSSL_PARAM_BLD_new());
    if (!pBld || !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_RSA_N, pN.get())
        || !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_RSA_E, pE.get()))
        return nullptr;
    std::unique_ptr<OSSL_PARAM, ParamFree> pParams(OSSL_PARAM_BLD_to_param(pBld.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> pCtx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *pKey = nullptr;
    if (!pParams || !pCtx || EVP_PKEY_fromdata_init(pCtx.get()) <= 0
        || EVP_PKEY_fromdata(pCtx.get(), &pKey, EVP_PKEY_PUBLIC_KEY, pParams.get()) <= 0)
        return nullptr;
    return std::unique_ptr<EVP_PKEY, PkeyFree>(pKey);
}

} // namespace

ModuleReader::ModuleReader(const QString &v_oPath, bool v_bPeMode)
    : m_oPath(v_oPath)
    , m_bPeMode(v_bPeMode)
{
    readModule();
}

ModuleReader::ModuleReader(int v_iFd, bool v_bPeMode)
    : m_iFd(v_iFd)
    , m_bPeMode(v_bPeMode)
{
    readModule();
}

int ModuleReader::getOctawordPaddingSize(const QByteArray &v_oLastBytes)
{
    const int iIndex = v_oLastBytes.left(8).indexOf(char(0xFF));
    if (iIndex < 0) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, "ModuleReader::getOctawordPaddingSize")
            << "There was no end of signature marker in the file!";
        return -1;
    }
    const int iPadding = 7 - iIndex;
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "ModuleReader::getOctawordPaddingSize")
        << "Octaword padding size: " << iPadding;
    return iPadding;
}

void ModuleReader::readModule()
{
    const char *pFunc = "ModuleReader::readModule";
    QFile oFile(m_oPath);
    const bool bOpened = m_iFd >= 0 ? oFile.open(m_iFd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
                                    : oFile.open(QIODevice::ReadOnly);
    if (!bOpened) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, pFunc) << "Error while reading extra data from file: " << m_oPath;
        return;
    }
    try {
        const qint64 iFileSize = oFile.size();
        QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "iFileSize=" << iFileSize;

        qint64 iDataStart = 0;
        qint64 iSignEndPos = 0;
        if (m_bPeMode) {
            PEHeaderData oHeader(&oFile);
            oHeader.loadData();
            iDataStart = oHeader.headerSize();
            iSignEndPos = oHeader.authenticodePosition() != 0 ? oHeader.authenticodePosition() : iFileSize;

            const int iPadding = getOctawordPaddingSize(readAt(oFile, iFileSize, iSignEndPos - 8, 8));
            QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "signEndPos before octaword padding: " << iSignEndPos;
            if (iPadding >= 0)
                iSignEndPos = iSignEndPos - iPadding - 1;
            QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "signEndPos after octaword padding: " << iSignEndPos;
        } else {
            iSignEndPos = iFileSize - 1;
        }

        const qint64 iExtraDataSize = readInt64At(oFile, iFileSize, iSignEndPos - 8);
        QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "iExtraDataSize: " << iExtraDataSize;
        QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "sizeof(iExtraDataSize): " << sizeof(iExtraDataSize);
        if (iExtraDataSize > kMaxExtraDataSize) {
            QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "wrong  iSignatureDataSize=" << iExtraDataSize;
            return;
        }

        const qint64 iSizePos = checkedSub(checkedSub(iSignEndPos, iExtraDataSize), 8);
        const qint64 iSignatureSize = readInt64At(oFile, iFileSize, iSizePos);
        QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "iSignatureSize: " << iSignatureSize;
        // Compared as S != E - 8 so that hostile values cannot overflow.
        if (iSignatureSize != checkedSub(iExtraDataSize, 8)) {
            QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "wrong  iSignatureDataSize=" << iSignatureSize;
            return;
        }
        const QByteArray oSignature = readAt(oFile, iFileSize, iSizePos + 8, iSignatureSize);

        const qint64 iModuleDataSize = checkedSub(checkedSub(checkedSub(iSignEndPos, iSignatureSize), 16), iDataStart);
        QTX_LOG(ModuleToolsLogger::Instance(), INFO, pFunc) << "iModuleDataSize: " << iModuleDataSize;
        m_oModuleData = readAt(oFile, iFileSize, iDataStart, iModuleDataSize);
        m_oSignature = oSignature;
        m_bOk = true;
    } catch (const std::exception &oException) {
        QTX_LOG(ModuleToolsLogger::Instance(), WARN, pFunc) << "Exception: " << oException.what();
        m_oModuleData.clear();
        m_oSignature.clear();
    }
}

EVP_PKEY *qtxBuiltInModuleKey()
{
    return builtInKey().release();
}

namespace {

// PKCS#1 v1.5 with the SHA-256 DigestInfo, the EVP form of RSA_verify(NID_sha256, ...).
bool verifyDigest(EVP_PKEY *v_poKey, const unsigned char *v_pDigest, const QByteArray &v_oSignature)
{
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> pCtx(EVP_PKEY_CTX_new(v_poKey, nullptr));
    if (!pCtx || EVP_PKEY_verify_init(pCtx.get()) <= 0
        || EVP_PKEY_CTX_set_rsa_padding(pCtx.get(), RSA_PKCS1_PADDING) <= 0
        || EVP_PKEY_CTX_set_signature_md(pCtx.get(), EVP_sha256()) <= 0)
        return false;
    const bool bValid = EVP_PKEY_verify(pCtx.get(), reinterpret_cast<const unsigned char *>(v_oSignature.constData()),
                                        size_t(v_oSignature.size()), v_pDigest, SHA256_DIGEST_LENGTH) == 1;
    ERR_clear_error();
    return bValid;
}

} // namespace

bool ModuleReader::verify() const
{
    if (!m_bOk)
        return false;
    std::unique_ptr<EVP_PKEY, PkeyFree> pKey = builtInKey();
    if (!pKey) {
        QTX_LOG(ModuleToolsLogger::Instance(), ERROR, "ModuleReader::verify") << "Could not build the public key";
        return false;
    }
    unsigned char aDigest[SHA256_DIGEST_LENGTH];
    if (!EVP_Digest(m_oModuleData.constData(), size_t(m_oModuleData.size()), aDigest, nullptr, EVP_sha256(), nullptr))
        return false;
    return verifyDigest(pKey.get(), aDigest, m_oSignature);
}

ModuleReader::Verdict ModuleReader::verifyWith(const ModuleKeys &v_oKeys) const
{
    Verdict oVerdict;
    if (!m_bOk) {
        oVerdict.why = QStringLiteral("no consistent signature block");
        return oVerdict;
    }
    unsigned char aDigest[SHA256_DIGEST_LENGTH];
    if (!EVP_Digest(m_oModuleData.constData(), size_t(m_oModuleData.size()), aDigest, nullptr, EVP_sha256(), nullptr)) {
        oVerdict.why = QStringLiteral("the digest could not be computed");
        return oVerdict;
    }
    // A file that names its key is checked with that key only: the name comes
    // from the signed bytes, so a file cannot be made to claim another key
    // without breaking the very signature that key would have to verify.
    oVerdict.fingerprint = modulekeys::claimedFingerprint(m_oModuleData);
    if (!oVerdict.fingerprint.isEmpty()) {
        const TrustedModuleKey *poKey = v_oKeys.find(oVerdict.fingerprint);
        if (!poKey) {
            oVerdict.why = QStringLiteral("signed with key %1, which this server does not trust (trusted: %2)")
                               .arg(QString::fromLatin1(oVerdict.fingerprint), v_oKeys.describe());
            return oVerdict;
        }
        oVerdict.verified = verifyDigest(poKey->key.get(), aDigest, m_oSignature);
        oVerdict.keySource = poKey->source;
        if (!oVerdict.verified)
            oVerdict.why = QStringLiteral("the signature does not verify with key %1 (%2) that it names")
                               .arg(QString::fromLatin1(oVerdict.fingerprint), poKey->source);
        return oVerdict;
    }
    for (const TrustedModuleKey &oKey : v_oKeys.keys()) {
        if (verifyDigest(oKey.key.get(), aDigest, m_oSignature)) {
            oVerdict.verified = true;
            oVerdict.keySource = oKey.source;
            oVerdict.fingerprint = oKey.fingerprint;
            return oVerdict;
        }
    }
    // A signature without the record cannot tell its key: the file's hash and
    // the keys tried are what an administrator can compare.
    oVerdict.why = QStringLiteral("it names no key and no trusted key verifies its signature (signed data SHA-256 %1; "
                                  "keys tried: %2)")
                       .arg(QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(aDigest), sizeof aDigest).toHex()),
                            v_oKeys.describe());
    return oVerdict;
}
