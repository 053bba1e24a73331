#include "qtxsigner.h"

#include "modulekeys.h"
#include "modulereader.h"
#include "peheaderdata.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>

namespace qtxsign {

namespace {

struct PkeyFree { void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); } };
struct MdCtxFree { void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); } };
struct BioFree { void operator()(BIO *p) const { BIO_free(p); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

QString opensslError()
{
    char aBuffer[256] = {0};
    ERR_error_string_n(ERR_get_error(), aBuffer, sizeof aBuffer);
    return QString::fromLatin1(aBuffer);
}

Pkey readKey(const QByteArray &v_oPem, bool v_bPrivate, QString *v_poMessage)
{
    std::unique_ptr<BIO, BioFree> pBio(BIO_new_mem_buf(v_oPem.constData(), v_oPem.size()));
    EVP_PKEY *pKey = nullptr;
    if (pBio)
        pKey = v_bPrivate ? PEM_read_bio_PrivateKey(pBio.get(), nullptr, nullptr, nullptr)
                          : PEM_read_bio_PUBKEY(pBio.get(), nullptr, nullptr, nullptr);
    if (!pKey) {
        *v_poMessage = QStringLiteral("cannot read the %1 key: %2")
                           .arg(v_bPrivate ? QStringLiteral("private") : QStringLiteral("public"), opensslError());
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(pKey) != EVP_PKEY_RSA) {
        EVP_PKEY_free(pKey);
        *v_poMessage = QStringLiteral("the key is not an RSA key");
        return nullptr;
    }
    return Pkey(pKey);
}

void appendInt64(QByteArray &v_oOut, qint64 v_iValue)
{
    for (int i = 0; i < 8; ++i)
        v_oOut.append(char((quint64(v_iValue) >> (8 * i)) & 0xFF));
}

} // namespace

Outcome signFile(const QString &v_oPath, const QByteArray &v_oPrivateKeyPem, bool v_bPlain, int v_iPadding,
                 QString *v_poMessage)
{
    QString oDummy;
    QString &oMessage = v_poMessage ? *v_poMessage : oDummy;
    if (v_iPadding < kAutoPadding || v_iPadding > 7 || (v_bPlain && v_iPadding > 0)) {
        oMessage = QStringLiteral("padding must be 0 to 7 (and 0 for plain files)");
        return Outcome::NotSignable;
    }
    const Pkey pKey = readKey(v_oPrivateKeyPem, true, &oMessage);
    if (!pKey)
        return Outcome::IoError;

    QFile oFile(v_oPath);
    if (!oFile.open(QIODevice::ReadWrite)) {
        oMessage = QStringLiteral("cannot open %1: %2").arg(v_oPath, oFile.errorString());
        return Outcome::IoError;
    }
    qint64 iDataStart = 0;
    if (!v_bPlain) {
        PEHeaderData oHeader(&oFile);
        oHeader.loadData();
        if (oHeader.authenticodePosition() != 0) {
            oMessage = QStringLiteral("%1 already carries an Authenticode table; sign it before adding one").arg(v_oPath);
            return Outcome::NotSignable;
        }
        iDataStart = oHeader.headerSize();
    }
    QByteArray oImage = oFile.readAll();
    if (oFile.error() != QFileDevice::NoError) {
        oMessage = QStringLiteral("cannot read %1: %2").arg(v_oPath, oFile.errorString());
        return Outcome::IoError;
    }
    // A module names its key inside the signed bytes, so that a server that
    // does not trust the key can say which one it was (ver.ini stays plain text).
    QByteArray oRecord;
    if (!v_bPlain) {
        oRecord = modulekeys::keyRecord(pKey.get());
        if (oRecord.isEmpty()) {
            oMessage = QStringLiteral("cannot compute the key's fingerprint: %1").arg(opensslError());
            return Outcome::IoError;
        }
        oImage.append(oRecord);
    }
    const qint64 iOriginalSize = oImage.size() - oRecord.size();

    // PKCS#1 v1.5 over SHA-256: the same bytes RSA_sign(NID_sha256, ...) produces.
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> pCtx(EVP_MD_CTX_new());
    size_t uiSignatureSize = 0;
    if (!pCtx || EVP_DigestSignInit(pCtx.get(), nullptr, EVP_sha256(), nullptr, pKey.get()) <= 0
        || EVP_DigestSign(pCtx.get(), nullptr, &uiSignatureSize, nullptr, 0) <= 0) {
        oMessage = QStringLiteral("signing failed: %1").arg(opensslError());
        return Outcome::IoError;
    }
    QByteArray oSignature(int(uiSignatureSize), '\0');
    if (EVP_DigestSign(pCtx.get(), reinterpret_cast<unsigned char *>(oSignature.data()), &uiSignatureSize,
                       reinterpret_cast<const unsigned char *>(oImage.constData()) + iDataStart,
                       size_t(oImage.size() - iDataStart)) <= 0) {
        oMessage = QStringLiteral("signing failed: %1").arg(opensslError());
        return Outcome::IoError;
    }
    oSignature.resize(int(uiSignatureSize));
    if (qint64(uiSignatureSize) + 8 > ModuleReader::kMaxExtraDataSize) {
        oMessage = QStringLiteral("the key is larger than 2048 bits; the server accepts 2048-bit signatures only");
        return Outcome::NotSignable;
    }

    QByteArray oBlock;
    appendInt64(oBlock, oSignature.size());
    oBlock.append(oSignature);
    appendInt64(oBlock, oSignature.size() + 8);
    oBlock.append(char(0xFF));
    int iPadding = 0;
    if (!v_bPlain)
        iPadding = v_iPadding == kAutoPadding ? int((8 - (oImage.size() + oBlock.size()) % 8) % 8) : v_iPadding;
    oBlock.append(QByteArray(iPadding, '\0'));

    if (!oFile.seek(iOriginalSize) || oFile.write(oRecord + oBlock) != oRecord.size() + oBlock.size() || !oFile.flush()) {
        oMessage = QStringLiteral("cannot write %1: %2").arg(v_oPath, oFile.errorString());
        return Outcome::IoError;
    }
    oMessage = QStringLiteral("signed %1 (%2 block, %3-byte signature, %4 padding bytes, key %5)")
                   .arg(v_oPath, v_bPlain ? QStringLiteral("plain-file") : QStringLiteral("module"))
                   .arg(oSignature.size())
                   .arg(iPadding)
                   .arg(QString::fromLatin1(modulekeys::fingerprint(pKey.get())));
    return Outcome::Ok;
}

Outcome verifyFile(const QString &v_oPath, const QByteArray &v_oPublicKeyPem, bool v_bPlain, QString *v_poMessage)
{
    QString oDummy;
    QString &oMessage = v_poMessage ? *v_poMessage : oDummy;
    const Pkey pKey = readKey(v_oPublicKeyPem, false, &oMessage);
    if (!pKey)
        return Outcome::IoError;
    if (!QFile::exists(v_oPath)) {
        oMessage = QStringLiteral("%1 does not exist").arg(v_oPath);
        return Outcome::IoError;
    }
    const ModuleReader oReader(v_oPath, !v_bPlain);
    if (!oReader.isOk()) {
        oMessage = QStringLiteral("%1 has no consistent signature block").arg(v_oPath);
        return Outcome::BadSignature;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> pCtx(EVP_MD_CTX_new());
    const QByteArray &oData = oReader.getModuleData();
    const QByteArray &oSignature = oReader.getSignature();
    const bool bValid = pCtx && EVP_DigestVerifyInit(pCtx.get(), nullptr, EVP_sha256(), nullptr, pKey.get()) > 0
                        && EVP_DigestVerify(pCtx.get(), reinterpret_cast<const unsigned char *>(oSignature.constData()),
                                            size_t(oSignature.size()),
                                            reinterpret_cast<const unsigned char *>(oData.constData()),
                                            size_t(oData.size())) == 1;
    ERR_clear_error();
    const QByteArray oClaimed = v_bPlain ? QByteArray() : modulekeys::claimedFingerprint(oData);
    oMessage = bValid ? QStringLiteral("%1: signature verified").arg(v_oPath)
                      : QStringLiteral("%1: signature does NOT match the key").arg(v_oPath);
    if (!oClaimed.isEmpty())
        oMessage += QStringLiteral(" (the file names key %1)").arg(QString::fromLatin1(oClaimed));
    return bValid ? Outcome::Ok : Outcome::BadSignature;
}

Outcome generateKey(const QString &v_oPrivatePath, const QString &v_oPublicPath, QString *v_poMessage)
{
    const Pkey pKey(EVP_RSA_gen(2048));
    std::unique_ptr<BIO, BioFree> pPrivate(BIO_new(BIO_s_mem())), pPublic(BIO_new(BIO_s_mem()));
    if (!pKey || !pPrivate || !pPublic || PEM_write_bio_PrivateKey(pPrivate.get(), pKey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1
        || PEM_write_bio_PUBKEY(pPublic.get(), pKey.get()) != 1) {
        *v_poMessage = QStringLiteral("key generation failed: %1").arg(opensslError());
        return Outcome::IoError;
    }
    const auto write = [&](const QString &v_oPath, BIO *v_poBio, QFile::Permissions v_oMode) {
        char *pData = nullptr;
        const long iLength = BIO_get_mem_data(v_poBio, &pData);
        QFile oFile(v_oPath);
        // A new file only: an existing key is never overwritten.
        if (!oFile.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !oFile.setPermissions(v_oMode)
            || oFile.write(pData, iLength) != iLength || !oFile.flush()) {
            *v_poMessage = QStringLiteral("cannot write %1: %2").arg(v_oPath, oFile.errorString());
            return false;
        }
        return true;
    };
    if (!write(v_oPrivatePath, pPrivate.get(), QFile::ReadOwner | QFile::WriteOwner)
        || !write(v_oPublicPath, pPublic.get(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther))
        return Outcome::IoError;
    *v_poMessage = QStringLiteral("private key %1 (keep it off the machines that run the server), public key %2, "
                                  "fingerprint %3")
                       .arg(v_oPrivatePath, v_oPublicPath, QString::fromLatin1(modulekeys::fingerprint(pKey.get())));
    return Outcome::Ok;
}

QByteArray keyFingerprint(const QByteArray &v_oPem, QString *v_poMessage)
{
    const bool bPrivate = v_oPem.contains("PRIVATE KEY");
    const Pkey pKey = readKey(v_oPem, bPrivate, v_poMessage);
    return pKey ? modulekeys::fingerprint(pKey.get()) : QByteArray();
}

} // namespace qtxsign
