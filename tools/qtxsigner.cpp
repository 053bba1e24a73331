#include "qtxsigner.h"

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
    const QByteArray oImage = oFile.readAll();
    if (oFile.error() != QFileDevice::NoError) {
        oMessage = QStringLiteral("cannot read %1: %2").arg(v_oPath, oFile.errorString());
        return Outcome::IoError;
    }

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

    if (!oFile.seek(oImage.size()) || oFile.write(oBlock) != oBlock.size() || !oFile.flush()) {
        oMessage = QStringLiteral("cannot write %1: %2").arg(v_oPath, oFile.errorString());
        return Outcome::IoError;
    }
    oMessage = QStringLiteral("signed %1 (%2 block, %3-byte signature, %4 padding bytes)")
                   .arg(v_oPath, v_bPlain ? QStringLiteral("plain-file") : QStringLiteral("module"))
                   .arg(oSignature.size())
                   .arg(iPadding);
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
    oMessage = bValid ? QStringLiteral("%1: signature verified").arg(v_oPath)
                      : QStringLiteral("%1: signature does NOT match the key").arg(v_oPath);
    return bValid ? Outcome::Ok : Outcome::BadSignature;
}

} // namespace qtxsign
