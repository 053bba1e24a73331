#include "signerstore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSecretSize = 32;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Closes the descriptor when it goes.
struct Fd
{
    int fd = -1;
    explicit Fd(int v_iFd) : fd(v_iFd) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// Checks an opened store file: a regular file of this account; a file of ours
// that others may read is narrowed to 0600.
void checkOpened(int v_iFd, const QString &v_oPath, qint64 v_iMaxSize, struct stat *v_poStat)
{
    if (::fstat(v_iFd, v_poStat) != 0)
        throw StoreError(QStringLiteral("cannot read %1: %2").arg(v_oPath, errnoText()));
    if (!S_ISREG(v_poStat->st_mode))
        throw StoreError(QStringLiteral("%1 is not a regular file").arg(v_oPath));
    if (v_poStat->st_uid != ::geteuid())
        throw StoreError(QStringLiteral("%1 belongs to uid %2, not to this account").arg(v_oPath).arg(v_poStat->st_uid));
    if ((v_poStat->st_mode & 077) != 0)
        ::fchmod(v_iFd, 0600);
    if (v_iMaxSize >= 0 && v_poStat->st_size > v_iMaxSize)
        throw StoreError(QStringLiteral("%1 is larger than %2 bytes").arg(v_oPath).arg(v_iMaxSize));
}

// The whole file, or a null array when it does not exist. Never through a link.
QByteArray readPrivateFile(const QString &v_oPath, qint64 v_iMaxSize)
{
    Fd oFd(::open(QFile::encodeName(v_oPath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (oFd.fd < 0) {
        if (errno == ENOENT)
            return QByteArray();
        throw StoreError(QStringLiteral("cannot open %1: %2").arg(v_oPath, errno == ELOOP ? QStringLiteral("a link") : errnoText()));
    }
    struct stat oStat {};
    checkOpened(oFd.fd, v_oPath, v_iMaxSize, &oStat);
    QByteArray oData(static_cast<int>(oStat.st_size), '\0');
    qint64 iDone = 0;
    while (iDone < oData.size()) {
        const ssize_t iRead = ::read(oFd.fd, oData.data() + iDone, static_cast<size_t>(oData.size() - iDone));
        if (iRead < 0 && errno == EINTR)
            continue;
        if (iRead < 0)
            throw StoreError(QStringLiteral("cannot read %1: %2").arg(v_oPath, errnoText()));
        if (iRead == 0)
            break;
        iDone += iRead;
    }
    oData.truncate(static_cast<int>(iDone));
    if (oData.isNull())
        oData = QByteArray("");
    return oData;
}

bool writeAll(int v_iFd, const char *v_pData, qint64 v_iSize)
{
    while (v_iSize > 0) {
        const ssize_t iWritten = ::write(v_iFd, v_pData, static_cast<size_t>(v_iSize));
        if (iWritten < 0 && errno == EINTR)
            continue;
        if (iWritten <= 0)
            return false;
        v_pData += iWritten;
        v_iSize -= iWritten;
    }
    return true;
}

// Replaces the file: a 0600 temporary file in the same folder, synced, renamed.
void replaceFile(const QString &v_oPath, const QByteArray &v_oData)
{
    QByteArray oTemplate = QFile::encodeName(v_oPath) + ".XXXXXX";
    Fd oFd(::mkostemp(oTemplate.data(), O_CLOEXEC));
    if (oFd.fd < 0)
        throw StoreError(QStringLiteral("cannot write beside %1: %2").arg(v_oPath, errnoText()));
    const bool bOk = ::fchmod(oFd.fd, 0600) == 0 && writeAll(oFd.fd, v_oData.constData(), v_oData.size())
                     && ::fsync(oFd.fd) == 0;
    if (!bOk || ::rename(oTemplate.constData(), QFile::encodeName(v_oPath).constData()) != 0) {
        const QString oError = errnoText();
        ::unlink(oTemplate.constData());
        throw StoreError(QStringLiteral("cannot write %1: %2").arg(v_oPath, oError));
    }
}

// Exclusive lock of the store for one read-modify-write step, shared with
// qtx-sites and other server instances of the account.
class StoreLock
{
public:
    explicit StoreLock(const QString &v_oDir)
        : m_oFd(::open(QFile::encodeName(v_oDir + QStringLiteral("/lock")).constData(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600))
    {
        if (m_oFd.fd < 0)
            throw StoreError(QStringLiteral("cannot open the lock of %1: %2").arg(v_oDir, errnoText()));
        while (::flock(m_oFd.fd, LOCK_EX) != 0) {
            if (errno != EINTR)
                throw StoreError(QStringLiteral("cannot lock %1: %2").arg(v_oDir, errnoText()));
        }
    }

private:
    Fd m_oFd;
};

QString isoUtc(const QDateTime &v_oTime)
{
    return v_oTime.toUTC().toString(Qt::ISODate);
}

QJsonObject grantJson(const Grant &v_oGrant)
{
    QJsonObject oObject;
    oObject.insert(QStringLiteral("sha256"), v_oGrant.fingerprint);
    oObject.insert(QStringLiteral("subject"), v_oGrant.subject);
    oObject.insert(QStringLiteral("purpose"), v_oGrant.purpose);
    oObject.insert(QStringLiteral("granted"), isoUtc(v_oGrant.granted));
    return oObject;
}

[[noreturn]] void malformed(const QString &v_oPath, const char *v_pWhat)
{
    throw StoreError(QStringLiteral("%1 is malformed (%2); \"qtx-sites revoke-all\" starts it anew")
                         .arg(v_oPath, QLatin1String(v_pWhat)));
}

} // namespace

SignerStore::SignerStore(const QString &v_oDir) : m_oDir(v_oDir)
{
}

QString SignerStore::defaultDir()
{
    const QString oConfig = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (oConfig.isEmpty())
        return QString();
    return oConfig + QStringLiteral("/Quorvex/QuorvexCryptoProvider/signer");
}

void SignerStore::ensureDir() const
{
    if (m_oDir.isEmpty() || !QDir::isAbsolutePath(m_oDir))
        throw StoreError(QStringLiteral("no data folder for the Signer store (HOME and XDG_CONFIG_HOME are unset)"));
    const QByteArray oPath = QFile::encodeName(m_oDir);
    if (!QDir().mkpath(QFileInfo(m_oDir).absolutePath()))
        throw StoreError(QStringLiteral("cannot create the folder above %1").arg(m_oDir));
    if (::mkdir(oPath.constData(), 0700) != 0 && errno != EEXIST)
        throw StoreError(QStringLiteral("cannot create %1: %2").arg(m_oDir, errnoText()));
    struct stat oStat {};
    if (::lstat(oPath.constData(), &oStat) != 0 || !S_ISDIR(oStat.st_mode))
        throw StoreError(QStringLiteral("%1 is not a folder").arg(m_oDir));
    if (oStat.st_uid != ::geteuid())
        throw StoreError(QStringLiteral("%1 belongs to uid %2, not to this account").arg(m_oDir).arg(oStat.st_uid));
    if ((oStat.st_mode & 07777) != 0700 && ::chmod(oPath.constData(), 0700) != 0)
        throw StoreError(QStringLiteral("cannot set the mode of %1: %2").arg(m_oDir, errnoText()));
}

QByteArray SignerStore::secret() const
{
    ensureDir();
    const QString oPath = m_oDir + QStringLiteral("/secret");
    QByteArray oSecret = readPrivateFile(oPath, kSecretSize);
    if (oSecret.isNull()) {
        StoreLock oLock(m_oDir);
        // Another process may have made it meanwhile.
        oSecret = readPrivateFile(oPath, kSecretSize);
        if (oSecret.isNull()) {
            oSecret = QByteArray(kSecretSize, '\0');
            if (RAND_priv_bytes(reinterpret_cast<unsigned char *>(oSecret.data()), kSecretSize) != 1)
                throw StoreError(QStringLiteral("no random bytes for the store's secret"));
            replaceFile(oPath, oSecret);
        }
    }
    if (oSecret.size() != kSecretSize) {
        OPENSSL_cleanse(oSecret.data(), static_cast<size_t>(oSecret.size()));
        throw StoreError(QStringLiteral("%1 does not hold %2 bytes").arg(oPath).arg(kSecretSize));
    }
    return oSecret;
}

QString SignerStore::fingerprint(const QByteArray &v_oDer)
{
    return QString::fromLatin1(QCryptographicHash::hash(v_oDer, QCryptographicHash::Sha256).toHex());
}

SiteIds::SiteIds(const SignerStore &v_oStore, const QString &v_oOrigin)
    : m_oSecret(v_oStore.secret()), m_oOrigin(v_oOrigin.toUtf8())
{
}

SiteIds::~SiteIds()
{
    OPENSSL_cleanse(m_oSecret.data(), static_cast<size_t>(m_oSecret.size()));
}

QString SiteIds::of(const QByteArray &v_oDer) const
{
    // Domain-separated input: a version tag, the origin, and the certificate's hash.
    const QByteArray oInput = QByteArray("qtx-site-id-1") + '\0' + m_oOrigin + '\0'
                              + QCryptographicHash::hash(v_oDer, QCryptographicHash::Sha256);
    unsigned char aMac[EVP_MAX_MD_SIZE];
    unsigned int uiLength = 0;
    if (!HMAC(EVP_sha256(), m_oSecret.constData(), m_oSecret.size(), reinterpret_cast<const unsigned char *>(oInput.constData()),
              static_cast<size_t>(oInput.size()), aMac, &uiLength)
        || uiLength < 20)
        throw StoreError(QStringLiteral("HMAC-SHA-256 failed"));
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(aMac), 20).toHex());
}

QMap<QString, QList<Grant>> SignerStore::readGrants() const
{
    const QString oPath = m_oDir + QStringLiteral("/grants.json");
    const QByteArray oData = readPrivateFile(oPath, kMaxGrantsFile);
    QMap<QString, QList<Grant>> oGrants;
    if (oData.isNull())
        return oGrants;
    QJsonParseError oError{};
    const QJsonDocument oDocument = QJsonDocument::fromJson(oData, &oError);
    if (oError.error != QJsonParseError::NoError || !oDocument.isObject())
        malformed(oPath, "not a JSON object");
    const QJsonObject oRoot = oDocument.object();
    if (oRoot.value(QStringLiteral("version")).toInt() != 1)
        malformed(oPath, "unknown version");
    const QJsonValue oOrigins = oRoot.value(QStringLiteral("origins"));
    if (!oOrigins.isArray() || oOrigins.toArray().size() > kMaxOrigins)
        malformed(oPath, "origins");
    const QRegularExpression kSha256(QStringLiteral("^[0-9a-f]{64}$"));
    for (const QJsonValue &oEntry : oOrigins.toArray()) {
        const QString oOrigin = oEntry[QStringLiteral("origin")].toString();
        const QJsonValue oCerts = oEntry[QStringLiteral("certificates")];
        if (oOrigin.isEmpty() || oOrigin.size() > 512 || !oCerts.isArray()
            || oCerts.toArray().size() > kMaxGrantsPerOrigin || oGrants.contains(oOrigin))
            malformed(oPath, "origin entry");
        QList<Grant> &oList = oGrants[oOrigin];
        for (const QJsonValue &oCert : oCerts.toArray()) {
            Grant oGrant;
            oGrant.fingerprint = oCert[QStringLiteral("sha256")].toString();
            oGrant.subject = oCert[QStringLiteral("subject")].toString();
            oGrant.purpose = oCert[QStringLiteral("purpose")].toString();
            oGrant.granted = QDateTime::fromString(oCert[QStringLiteral("granted")].toString(), Qt::ISODate);
            if (!kSha256.match(oGrant.fingerprint).hasMatch() || oGrant.subject.size() > 2048
                || (oGrant.purpose != QLatin1String("sign") && oGrant.purpose != QLatin1String("login"))
                || !oGrant.granted.isValid())
                malformed(oPath, "certificate entry");
            oList << oGrant;
        }
    }
    return oGrants;
}

void SignerStore::writeGrants(const QMap<QString, QList<Grant>> &v_oGrants) const
{
    QJsonArray oOrigins;
    for (auto it = v_oGrants.constBegin(); it != v_oGrants.constEnd(); ++it) {
        if (it.value().isEmpty())
            continue;
        QJsonArray oCerts;
        for (const Grant &oGrant : it.value())
            oCerts.append(grantJson(oGrant));
        QJsonObject oEntry;
        oEntry.insert(QStringLiteral("origin"), it.key());
        oEntry.insert(QStringLiteral("certificates"), oCerts);
        oOrigins.append(oEntry);
    }
    QJsonObject oRoot;
    oRoot.insert(QStringLiteral("version"), 1);
    oRoot.insert(QStringLiteral("origins"), oOrigins);
    replaceFile(m_oDir + QStringLiteral("/grants.json"), QJsonDocument(oRoot).toJson(QJsonDocument::Indented));
}

QList<Grant> SignerStore::grants(const QString &v_oOrigin) const
{
    ensureDir();
    return readGrants().value(v_oOrigin);
}

QMap<QString, QList<Grant>> SignerStore::allGrants() const
{
    ensureDir();
    return readGrants();
}

void SignerStore::addGrant(const QString &v_oOrigin, const Grant &v_oGrant)
{
    ensureDir();
    StoreLock oLock(m_oDir);
    QMap<QString, QList<Grant>> oGrants = readGrants();
    if (!oGrants.contains(v_oOrigin) && oGrants.size() >= kMaxOrigins)
        throw StoreError(QStringLiteral("%1 sites hold grants already; revoke some with qtx-sites").arg(kMaxOrigins));
    QList<Grant> &oList = oGrants[v_oOrigin];
    for (int i = oList.size() - 1; i >= 0; --i) {
        if (oList.at(i).fingerprint == v_oGrant.fingerprint)
            oList.removeAt(i);
    }
    if (oList.size() >= kMaxGrantsPerOrigin)
        oList.removeFirst(); // the oldest goes
    oList << v_oGrant;
    writeGrants(oGrants);
}

int SignerStore::revoke(const QString &v_oOrigin)
{
    ensureDir();
    StoreLock oLock(m_oDir);
    QMap<QString, QList<Grant>> oGrants = readGrants();
    const int iRemoved = oGrants.take(v_oOrigin).size();
    if (iRemoved > 0)
        writeGrants(oGrants);
    return iRemoved;
}

int SignerStore::revokeAll()
{
    ensureDir();
    StoreLock oLock(m_oDir);
    int iRemoved = 0;
    try {
        for (const QList<Grant> &oList : readGrants())
            iRemoved += oList.size();
    } catch (const StoreError &) {
        // A malformed file is replaced: that is what revoke-all is for.
    }
    writeGrants({});
    return iRemoved;
}

void SignerStore::appendReceipt(const Receipt &v_oReceipt)
{
    ensureDir();
    QByteArray oLine = isoUtc(v_oReceipt.time).toLatin1();
    const auto field = [&oLine](const char *v_pName, const QString &v_oValue) {
        oLine += ' ';
        oLine += v_pName;
        oLine += "=\"";
        oLine += escapedAscii(v_oValue);
        oLine += '"';
    };
    field("origin", v_oReceipt.origin);
    field("purpose", v_oReceipt.purpose);
    field("document", v_oReceipt.document);
    field("digest", v_oReceipt.digest.isEmpty() ? QString()
                                                : v_oReceipt.digestAlgorithm + QLatin1Char(':')
                                                      + QString::fromLatin1(v_oReceipt.digest.toHex()));
    field("certificate", v_oReceipt.certificate);
    field("sha256", v_oReceipt.fingerprint);
    field("outcome", v_oReceipt.outcome);
    oLine += '\n';

    StoreLock oLock(m_oDir);
    const QString oPath = m_oDir + QStringLiteral("/receipts.log");
    const QByteArray oName = QFile::encodeName(oPath);
    struct stat oStat {};
    // One older part is kept: the file never grows past about twice the limit.
    if (::lstat(oName.constData(), &oStat) == 0 && S_ISREG(oStat.st_mode) && oStat.st_size + oLine.size() > kMaxReceiptsFile)
        ::rename(oName.constData(), QFile::encodeName(oPath + QStringLiteral(".1")).constData());
    Fd oFd(::open(oName.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (oFd.fd < 0)
        throw StoreError(QStringLiteral("cannot open %1: %2").arg(oPath, errnoText()));
    checkOpened(oFd.fd, oPath, -1, &oStat);
    if (!writeAll(oFd.fd, oLine.constData(), oLine.size()))
        throw StoreError(QStringLiteral("cannot write %1: %2").arg(oPath, errnoText()));
}

QList<QByteArray> SignerStore::receipts() const
{
    ensureDir();
    QList<QByteArray> oLines;
    for (const QString &oName : {QStringLiteral("/receipts.log.1"), QStringLiteral("/receipts.log")}) {
        const QByteArray oData = readPrivateFile(m_oDir + oName, 2 * kMaxReceiptsFile);
        for (const QByteArray &oLine : oData.split('\n')) {
            if (!oLine.isEmpty())
                oLines << oLine;
        }
    }
    return oLines;
}

QByteArray escapedAscii(const QString &v_oText)
{
    static const char kHex[] = "0123456789abcdef";
    QByteArray oOut;
    oOut.reserve(v_oText.size() + 8);
    const QVector<uint> oCodes = v_oText.toUcs4();
    for (const uint uiCode : oCodes) {
        switch (uiCode) {
        case '\\': oOut += "\\\\"; continue;
        case '"': oOut += "\\\""; continue;
        case '\n': oOut += "\\n"; continue;
        case '\r': oOut += "\\r"; continue;
        case '\t': oOut += "\\t"; continue;
        default: break;
        }
        if (uiCode >= 0x20 && uiCode < 0x7f) {
            oOut += static_cast<char>(uiCode);
        } else if (uiCode < 0x20 || uiCode == 0x7f) {
            oOut += "\\x";
            oOut += kHex[uiCode >> 4];
            oOut += kHex[uiCode & 15];
        } else if (uiCode <= 0xffff) {
            oOut += "\\u" + QByteArray::number(uiCode, 16).rightJustified(4, '0');
        } else {
            oOut += "\\U" + QByteArray::number(uiCode, 16).rightJustified(8, '0');
        }
    }
    return oOut;
}
