#include "modulekeys.h"

#include "modulereader.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char modulekeys::kRecordMagic[9] = "QTXKEY01";

namespace {

// Anything larger than a public key file is not one; the read stays bounded.
constexpr qint64 kMaxKeyFileBytes = 64 * 1024;

// Why an object in the key folder may not be trusted, or empty: owned by root
// or by this account, writable by nobody else (the rule modules follow).
QString ownershipProblem(const struct stat &v_oStat)
{
    if (v_oStat.st_uid != 0 && v_oStat.st_uid != ::geteuid())
        return QStringLiteral("owned by uid %1, neither root nor this account").arg(v_oStat.st_uid);
    if (v_oStat.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("writable by its group or by others");
    return QString();
}

} // namespace

QByteArray modulekeys::fingerprint(EVP_PKEY *v_poKey)
{
    if (!v_poKey)
        return QByteArray();
    unsigned char *pDer = nullptr;
    const int iLength = i2d_PUBKEY(v_poKey, &pDer);
    if (iLength <= 0)
        return QByteArray();
    const QByteArray oHash = QCryptographicHash::hash(QByteArray(reinterpret_cast<const char *>(pDer), iLength),
                                                      QCryptographicHash::Sha256);
    OPENSSL_free(pDer);
    return oHash.toHex();
}

QByteArray modulekeys::keyRecord(EVP_PKEY *v_poKey)
{
    const QByteArray oPrint = QByteArray::fromHex(fingerprint(v_poKey));
    if (oPrint.size() != kFingerprintSize)
        return QByteArray();
    return oPrint + QByteArray(kRecordMagic, 8);
}

QByteArray modulekeys::claimedFingerprint(const QByteArray &v_oSignedData)
{
    if (v_oSignedData.size() < kRecordSize || !v_oSignedData.endsWith(QByteArray(kRecordMagic, 8)))
        return QByteArray();
    return v_oSignedData.mid(v_oSignedData.size() - kRecordSize, kFingerprintSize).toHex();
}

ModuleKeys ModuleKeys::builtIn()
{
    ModuleKeys oKeys;
    if (EVP_PKEY *poKey = qtxBuiltInModuleKey())
        oKeys.m_oKeys << TrustedModuleKey{QStringLiteral("built-in"), modulekeys::fingerprint(poKey),
                                         std::shared_ptr<EVP_PKEY>(poKey, EVP_PKEY_free)};
    return oKeys;
}

ModuleKeys ModuleKeys::load(const QString &v_oFolder, QStringList *v_poProblems)
{
    ModuleKeys oKeys = builtIn();
    if (v_oFolder.isEmpty())
        return oKeys;
    struct stat oFolderStat;
    const QByteArray oFolder = QFile::encodeName(v_oFolder);
    if (::stat(oFolder.constData(), &oFolderStat) != 0)
        return oKeys;  // no vendor keys
    QString oWhy = S_ISDIR(oFolderStat.st_mode) ? ownershipProblem(oFolderStat) : QStringLiteral("not a folder");
    if (!oWhy.isEmpty()) {
        v_poProblems->append(QStringLiteral("%1 is %2: none of its keys is trusted").arg(v_oFolder, oWhy));
        return oKeys;
    }
    const QStringList oNames = QDir(v_oFolder).entryList({QStringLiteral("*.pem")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &oName : oNames) {
        const QString oPath = v_oFolder + QLatin1Char('/') + oName;
        // Opened once, checked and read through the same descriptor.
        const int iFd = ::open(QFile::encodeName(oPath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat oStat;
        if (iFd < 0 || ::fstat(iFd, &oStat) != 0 || !S_ISREG(oStat.st_mode)) {
            if (iFd >= 0)
                ::close(iFd);
            v_poProblems->append(QStringLiteral("%1 is not a regular file").arg(oPath));
            continue;
        }
        oWhy = oStat.st_size > kMaxKeyFileBytes ? QStringLiteral("too large for a key") : ownershipProblem(oStat);
        QByteArray oPem;
        if (oWhy.isEmpty()) {
            QFile oFile;
            if (oFile.open(iFd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
                oPem = oFile.read(kMaxKeyFileBytes);
        }
        ::close(iFd);
        if (!oWhy.isEmpty()) {
            v_poProblems->append(QStringLiteral("%1 is %2").arg(oPath, oWhy));
            continue;
        }
        BIO *poBio = BIO_new_mem_buf(oPem.constData(), oPem.size());
        EVP_PKEY *poKey = poBio ? PEM_read_bio_PUBKEY(poBio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(poBio);
        if (!poKey || EVP_PKEY_get_base_id(poKey) != EVP_PKEY_RSA || EVP_PKEY_get_bits(poKey) != 2048) {
            EVP_PKEY_free(poKey);
            v_poProblems->append(QStringLiteral("%1 holds no RSA-2048 public key").arg(oPath));
            continue;
        }
        oKeys.m_oKeys << TrustedModuleKey{oName, modulekeys::fingerprint(poKey), std::shared_ptr<EVP_PKEY>(poKey, EVP_PKEY_free)};
    }
    return oKeys;
}

const TrustedModuleKey *ModuleKeys::find(const QByteArray &v_oFingerprint) const
{
    for (const TrustedModuleKey &oKey : m_oKeys) {
        if (oKey.fingerprint == v_oFingerprint)
            return &oKey;
    }
    return nullptr;
}

QString ModuleKeys::describe() const
{
    QStringList oParts;
    for (const TrustedModuleKey &oKey : m_oKeys)
        oParts << oKey.source + QLatin1Char(' ') + QString::fromLatin1(oKey.fingerprint);
    return oParts.join(QStringLiteral(", "));
}
