#include "provisioning.h"

#include "keystore.h"
#include "uniquepass.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include <cerrno>
#include <cstring>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename T, void (*Free)(T *)>
struct OsslDeleter
{
    void operator()(T *v_p) const { Free(v_p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509, X509_free>>;
void bioFree(BIO *v_p) { BIO_free(v_p); }
using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO, bioFree>>;

const int kCaDays = 3650;
const int kServerDays = 825;
const int kRenewBeforeDays = 30;

QByteArray readFile(const QString &v_oPath)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Creates the folder (and missing parents) with the mode, or brings an
// existing one of this account to it. A folder of another account is an error:
// its owner could read or swap what is written into it.
bool prepareFolder(const QString &v_oPath, mode_t v_uiMode, QString &v_oError)
{
    QStringList oMissing;
    for (QString oFolder = v_oPath; !QFileInfo::exists(oFolder) && oFolder != QStringLiteral("/");
         oFolder = QFileInfo(oFolder).absolutePath())
        oMissing.prepend(oFolder);
    for (const QString &oFolder : oMissing) {
        const QByteArray oName = QFile::encodeName(oFolder);
        if (::mkdir(oName.constData(), v_uiMode) != 0) {
            if (errno == EEXIST)
                continue;
            v_oError = QStringLiteral("cannot create %1: %2").arg(oFolder, errnoText());
            return false;
        }
        ::chmod(oName.constData(), v_uiMode); // the umask took bits away
    }
    const QByteArray oPath = QFile::encodeName(v_oPath);
    struct stat oStat {};
    if (::lstat(oPath.constData(), &oStat) != 0 || !S_ISDIR(oStat.st_mode)) {
        v_oError = QStringLiteral("%1 is not a folder").arg(v_oPath);
        return false;
    }
    if (oStat.st_uid != ::geteuid()) {
        v_oError = QStringLiteral("%1 belongs to uid %2, not to this account").arg(v_oPath).arg(oStat.st_uid);
        return false;
    }
    if ((oStat.st_mode & 07777) != v_uiMode && ::chmod(oPath.constData(), v_uiMode) != 0) {
        v_oError = QStringLiteral("cannot set the mode of %1: %2").arg(v_oPath, errnoText());
        return false;
    }
    return true;
}

// Written through a temporary file in the same (private) folder and renamed,
// with the mode set before the rename whatever the umask.
bool writeFile(const QString &v_oPath, const QByteArray &v_oData, mode_t v_uiMode, QString &v_oError)
{
    QSaveFile oFile(v_oPath);
    if (!oFile.open(QIODevice::WriteOnly) || oFile.write(v_oData) != v_oData.size()) {
        v_oError = QStringLiteral("cannot write %1: %2").arg(v_oPath, oFile.errorString());
        return false;
    }
    QFile::Permissions oPermissions = QFile::ReadOwner | QFile::WriteOwner;
    if (v_uiMode & 044)
        oPermissions |= QFile::ReadGroup | QFile::ReadOther;
    oFile.setPermissions(oPermissions);
    if (!oFile.commit()) {
        v_oError = QStringLiteral("cannot write %1: %2").arg(v_oPath, oFile.errorString());
        return false;
    }
    return true;
}

// Brings a file of this account kept from an earlier run to the mode.
void keepMode(const QString &v_oPath, mode_t v_uiMode)
{
    struct stat oStat {};
    const QByteArray oPath = QFile::encodeName(v_oPath);
    if (::lstat(oPath.constData(), &oStat) == 0 && S_ISREG(oStat.st_mode) && oStat.st_uid == ::geteuid()
        && (oStat.st_mode & 07777) != v_uiMode)
        ::chmod(oPath.constData(), v_uiMode);
}

X509Ptr loadCert(const QByteArray &v_oPem)
{
    BioPtr poBio(BIO_new_mem_buf(v_oPem.constData(), v_oPem.size()));
    return X509Ptr(poBio ? PEM_read_bio_X509(poBio.get(), nullptr, nullptr, nullptr) : nullptr);
}

PKeyPtr loadKey(const QByteArray &v_oPem, const QByteArray &v_oPass)
{
    BioPtr poBio(BIO_new_mem_buf(v_oPem.constData(), v_oPem.size()));
    if (!poBio)
        return PKeyPtr();
    // With no callback the user data is taken as the pass phrase; an empty one
    // must not fall back to a terminal prompt.
    QByteArray oPass = v_oPass;
    oPass.append('\0');
    auto *pCallback = +[](char *v_pBuf, int v_iSize, int, void *v_pUser) -> int {
        const char *pPass = static_cast<const char *>(v_pUser);
        const int iLen = static_cast<int>(qstrlen(pPass));
        if (iLen > v_iSize)
            return -1;
        memcpy(v_pBuf, pPass, static_cast<size_t>(iLen));
        return iLen;
    };
    PKeyPtr poKey(PEM_read_bio_PrivateKey(poBio.get(), nullptr, pCallback, oPass.data()));
    qtxOverwriteRandom(oPass.data(), static_cast<size_t>(oPass.size()));
    return poKey;
}

QByteArray encryptedKeyPem(EVP_PKEY *v_poKey, const SecurePass &v_oPass)
{
    BioPtr poBio(BIO_new(BIO_s_mem()));
    if (!poBio
        || PEM_write_bio_PKCS8PrivateKey(poBio.get(), v_poKey, EVP_aes_256_cbc(), v_oPass.data(), v_oPass.size(),
                                         nullptr, nullptr) != 1)
        return QByteArray();
    char *pData = nullptr;
    const long iLen = BIO_get_mem_data(poBio.get(), &pData);
    return QByteArray(pData, static_cast<int>(iLen));
}

QByteArray certPem(X509 *v_poCert)
{
    BioPtr poBio(BIO_new(BIO_s_mem()));
    if (!poBio || PEM_write_bio_X509(poBio.get(), v_poCert) != 1)
        return QByteArray();
    char *pData = nullptr;
    const long iLen = BIO_get_mem_data(poBio.get(), &pData);
    return QByteArray(pData, static_cast<int>(iLen));
}

bool addExtension(X509 *v_poCert, X509 *v_poIssuer, int v_iNid, const char *v_pValue)
{
    X509V3_CTX oCtx;
    X509V3_set_ctx_nodb(&oCtx);
    X509V3_set_ctx(&oCtx, v_poIssuer, v_poCert, nullptr, nullptr, 0);
    X509_EXTENSION *poExt = X509V3_EXT_conf_nid(nullptr, &oCtx, v_iNid, v_pValue);
    if (!poExt)
        return false;
    const bool bOk = X509_add_ext(v_poCert, poExt, -1) == 1;
    X509_EXTENSION_free(poExt);
    return bOk;
}

X509Ptr newCert(EVP_PKEY *v_poSubjectKey, const QString &v_oCommonName, int v_iDays, const QString &v_oUnit = QString())
{
    X509Ptr poCert(X509_new());
    if (!poCert)
        return poCert;
    X509_set_version(poCert.get(), 2);
    BIGNUM *poSerial = BN_new();
    BN_rand(poSerial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(poSerial, X509_get_serialNumber(poCert.get()));
    BN_free(poSerial);
    X509_gmtime_adj(X509_getm_notBefore(poCert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(poCert.get()), long(v_iDays) * 24 * 3600);
    X509_set_pubkey(poCert.get(), v_poSubjectKey);
    X509_NAME *poName = X509_get_subject_name(poCert.get());
    const QByteArray oCn = v_oCommonName.toUtf8();
    X509_NAME_add_entry_by_txt(poName, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Quorvex"), -1, -1, 0);
    if (!v_oUnit.isEmpty()) {
        const QByteArray oUnit = v_oUnit.toUtf8();
        X509_NAME_add_entry_by_txt(poName, "OU", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(oUnit.constData()),
                                   -1, -1, 0);
    }
    X509_NAME_add_entry_by_txt(poName, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(oCn.constData()), -1, -1, 0);
    return poCert;
}

QString accountName()
{
    struct passwd *poEntry = ::getpwuid(::geteuid());
    return poEntry ? QString::fromLocal8Bit(poEntry->pw_name) : QString::number(::geteuid());
}

struct Paths
{
    QString cert;
    QString key;
    QString ca;
};

Paths storePaths()
{
    return Paths{KeyStore::certificatePath(), KeyStore::keyPath(), KeyStore::authorityPath()};
}

// Why an authority of ours may not stay, or empty: it must be limited to the
// loopback (critical name constraints), or its key, had it ever leaked, would
// vouch for any web site in the browsers that trust it.
QString authorityProblem(const QByteArray &v_oPem)
{
    X509Ptr poCa = loadCert(v_oPem);
    if (!poCa)
        return QStringLiteral("the authority cannot be read");
    int iCritical = -1;
    NAME_CONSTRAINTS *poConstraints =
        static_cast<NAME_CONSTRAINTS *>(X509_get_ext_d2i(poCa.get(), NID_name_constraints, &iCritical, nullptr));
    if (!poConstraints)
        return QStringLiteral("the authority has no name constraints (it could vouch for any host)");
    const bool bLimited = iCritical == 1 && poConstraints->permittedSubtrees
                          && sk_GENERAL_SUBTREE_num(poConstraints->permittedSubtrees) > 0;
    NAME_CONSTRAINTS_free(poConstraints);
    return bLimited ? QString() : QStringLiteral("the authority's name constraints are not critical and permitting");
}

// Why the current files cannot be kept, or empty when they work.
QString checkCurrent(const Paths &v_oPaths, const SecurePass &v_oPass)
{
    const QByteArray oCertPem = readFile(v_oPaths.cert);
    const QByteArray oKeyPem = readFile(v_oPaths.key);
    if (oCertPem.isEmpty() || oKeyPem.isEmpty())
        return QStringLiteral("no certificate or key yet");
    X509Ptr poCert = loadCert(oCertPem);
    if (!poCert)
        return QStringLiteral("the certificate cannot be read");
    const QString oLoose = KeyStore::privacyProblem(v_oPaths.key);
    if (!oLoose.isEmpty())
        return QStringLiteral("the key may have been read by another account (%1)").arg(oLoose);
    PKeyPtr poKey = loadKey(oKeyPem, QByteArray(v_oPass.data(), v_oPass.size()));
    if (!poKey)
        return QStringLiteral("the key does not open with this account's pass phrase");
    if (X509_check_private_key(poCert.get(), poKey.get()) != 1)
        return QStringLiteral("the key does not belong to the certificate");
    time_t iLimit = time(nullptr) + time_t(kRenewBeforeDays) * 24 * 3600;
    if (X509_cmp_time(X509_get0_notAfter(poCert.get()), &iLimit) < 0)
        return QStringLiteral("the certificate expires within %1 days").arg(kRenewBeforeDays);
    if (X509_check_ip_asc(poCert.get(), "127.0.0.1", 0) != 1)
        return QStringLiteral("the certificate does not name 127.0.0.1");
    // An authority of ours from before name constraints is issued anew, and
    // with it the server certificate (its key is gone, so it cannot be kept).
    const QByteArray oCaPem = readFile(v_oPaths.ca);
    if (!oCaPem.isEmpty()) {
        const QString oWhy = authorityProblem(oCaPem);
        if (!oWhy.isEmpty())
            return oWhy;
    }
    return QString();
}

} // namespace

QString authorityPath()
{
    return KeyStore::authorityPath();
}

ProvisionResult provision(const ProvisionOptions &v_oOptions)
{
    ProvisionResult oResult;
    const Paths oPaths = storePaths();
    // Root's store under /var/lib publishes its certificates: user instances
    // pin the dispatcher's, the system store trusts its authority.
    const bool bPublic = KeyStore::isSystemStore();
    const mode_t uiCertMode = bPublic ? 0644 : 0600;
    if (!prepareFolder(KeyStore::folder(), bPublic ? 0755 : 0700, oResult.error)
        || !prepareFolder(KeyStore::privateFolder(), 0700, oResult.error)
        || !prepareFolder(KeyStore::certificateFolder(), bPublic ? 0755 : 0700, oResult.error))
        return oResult;

    const bool bHadSecret = QFileInfo::exists(UniquePass::seedFilePath());
    UniquePass oSource(4);
    if (!oSource.hasAccountSecret()) {
        // Without it the phrase would come from world-readable values alone.
        oResult.error = QStringLiteral("the account secret %1 is missing or not private to this account (see the log); "
                                       "nothing was written")
                            .arg(UniquePass::seedFilePath());
        return oResult;
    }
    SecurePass oPass;
    oSource.getPassword(oPass);
    oResult.report << QStringLiteral("Secret: %1 %2 (0600)").arg(bHadSecret ? QStringLiteral("kept") : QStringLiteral("created"),
                                                                UniquePass::seedFilePath());

    const QString oWhy = checkCurrent(oPaths, oPass);
    if (v_oOptions.checkOnly) {
        oResult.ok = oWhy.isEmpty();
        oResult.report << (oResult.ok ? QStringLiteral("Certificate and key: OK (%1, %2)").arg(oPaths.cert, oPaths.key)
                                      : QStringLiteral("Certificate and key: not usable: %1").arg(oWhy));
        if (!oResult.ok)
            oResult.error = oWhy;
        return oResult;
    }
    if (oWhy.isEmpty() && !v_oOptions.force && v_oOptions.importCert.isEmpty()) {
        oResult.report << QStringLiteral("Certificate: kept %1").arg(oPaths.cert);
        oResult.report << QStringLiteral("Key: kept %1 (opens with this account's pass phrase)").arg(oPaths.key);
        keepMode(oPaths.cert, uiCertMode);
        keepMode(oPaths.ca, uiCertMode);
        if (QFile::exists(oPaths.ca))
            oResult.report << QStringLiteral("Authority: kept %1").arg(oPaths.ca);
        oResult.ok = true;
        return oResult;
    }

    QByteArray oCertOut;
    PKeyPtr poServerKey;
    if (!v_oOptions.importCert.isEmpty()) {
        X509Ptr poCert = loadCert(readFile(v_oOptions.importCert));
        poServerKey = loadKey(readFile(v_oOptions.importKey), v_oOptions.importPass);
        if (!poCert || !poServerKey) {
            oResult.error = QStringLiteral("cannot read %1 or %2 (wrong pass phrase?)").arg(v_oOptions.importCert, v_oOptions.importKey);
            return oResult;
        }
        if (X509_check_private_key(poCert.get(), poServerKey.get()) != 1) {
            oResult.error = QStringLiteral("the imported key does not belong to the imported certificate");
            return oResult;
        }
        oCertOut = readFile(v_oOptions.importCert);
        oResult.report << QStringLiteral("Certificate: imported %1 -> %2").arg(v_oOptions.importCert, oPaths.cert);
    } else {
        if (!oWhy.isEmpty())
            oResult.report << QStringLiteral("Issuing a new certificate: %1").arg(oWhy);
        PKeyPtr poCaKey(EVP_RSA_gen(3072));
        poServerKey.reset(EVP_RSA_gen(2048));
        if (!poCaKey || !poServerKey) {
            oResult.error = QStringLiteral("key generation failed");
            return oResult;
        }
        const QString oHost = QHostInfo::localHostName();
        // Each authority's own name (account, host and a random mark): browsers
        // keep certificates of one subject together, and an authority issued
        // anew must not share its name with the one it replaces.
        QByteArray oMark(4, '\0');
        RAND_bytes(reinterpret_cast<unsigned char *>(oMark.data()), oMark.size());
        X509Ptr poCa = newCert(poCaKey.get(),
                               QStringLiteral("Quorvex Crypto Provider Local CA (%1@%2)").arg(accountName(), oHost), kCaDays,
                               QStringLiteral("authority %1").arg(QString::fromLatin1(oMark.toHex())));
        X509_set_issuer_name(poCa.get(), X509_get_subject_name(poCa.get()));
        // Only for the loopback: the server's names and nothing else. Critical,
        // so that a client that cannot check the constraints refuses instead.
        bool bOk = addExtension(poCa.get(), poCa.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0")
                   && addExtension(poCa.get(), poCa.get(), NID_key_usage, "critical,keyCertSign,cRLSign")
                   && addExtension(poCa.get(), poCa.get(), NID_name_constraints,
                                   "critical,permitted;IP:127.0.0.1/255.255.255.255,permitted;DNS:localhost")
                   && addExtension(poCa.get(), poCa.get(), NID_subject_key_identifier, "hash")
                   && X509_sign(poCa.get(), poCaKey.get(), EVP_sha256()) > 0;

        X509Ptr poServer = newCert(poServerKey.get(), QStringLiteral("localhost"), kServerDays);
        X509_set_issuer_name(poServer.get(), X509_get_subject_name(poCa.get()));
        bOk = bOk && addExtension(poServer.get(), poCa.get(), NID_basic_constraints, "critical,CA:FALSE")
              && addExtension(poServer.get(), poCa.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment")
              && addExtension(poServer.get(), poCa.get(), NID_ext_key_usage, "serverAuth")
              && addExtension(poServer.get(), poCa.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost")
              && addExtension(poServer.get(), poCa.get(), NID_authority_key_identifier, "keyid:always")
              && X509_sign(poServer.get(), poCaKey.get(), EVP_sha256()) > 0;
        if (!bOk) {
            oResult.error = QStringLiteral("certificate signing failed");
            return oResult;
        }
        // The authority's private key is dropped here: nothing else can be issued under it.
        poCaKey.reset();
        if (!writeFile(oPaths.ca, certPem(poCa.get()), uiCertMode, oResult.error))
            return oResult;
        oResult.report << QStringLiteral("Authority: created %1 (its private key was not kept)").arg(oPaths.ca);
        oCertOut = certPem(poServer.get());
        oResult.report << QStringLiteral("Certificate: created %1 for 127.0.0.1 and localhost, valid %2 days")
                              .arg(oPaths.cert)
                              .arg(kServerDays);
    }

    const QByteArray oKeyOut = encryptedKeyPem(poServerKey.get(), oPass);
    if (oKeyOut.isEmpty()) {
        oResult.error = QStringLiteral("cannot encrypt the key");
        return oResult;
    }
    // The key first: a certificate without its key is never left behind.
    if (!writeFile(oPaths.key, oKeyOut, 0600, oResult.error) || !writeFile(oPaths.cert, oCertOut, uiCertMode, oResult.error))
        return oResult;
    oResult.report << QStringLiteral("Key: written %1 (0600, AES-256, opened by this account's pass phrase)").arg(oPaths.key);
    oResult.ok = true;
    return oResult;
}
