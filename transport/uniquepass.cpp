#include "uniquepass.h"

#include "keystore.h"
#include "qtxlogger.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <mutex>

namespace {

std::mutex g_gatherMutex;
std::mutex g_registryMutex;

// 256 bits of the kernel's random generator, as lower-case hexadecimal text.
const int kSecretHexLength = 64;

QString pathFromEnv(const char *v_pVariable, const QString &v_oDefault)
{
    const QString oValue = qEnvironmentVariable(v_pVariable);
    return oValue.isEmpty() ? v_oDefault : oValue;
}

QByteArray readSmallFile(const QString &v_oPath, qint64 v_iLimit = 1 << 20)
{
    QFile oFile(v_oPath);
    if (!oFile.open(QIODevice::ReadOnly))
        return QByteArray();
    return oFile.read(v_iLimit);
}

bool isValidSeed(const QByteArray &v_oSeed)
{
    if (v_oSeed.size() != kSecretHexLength)
        return false;
    for (char c : v_oSeed) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// The secret when the file is a regular file of this account that no other
// account can read or write; otherwise empty, with the reason in v_oWhy (empty
// reason: the file does not exist yet).
QByteArray readAccountSecret(const QString &v_oPath, QString &v_oWhy)
{
    const int iFd = ::open(QFile::encodeName(v_oPath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (iFd < 0) {
        if (errno != ENOENT)
            v_oWhy = QStringLiteral("%1: %2").arg(v_oPath, QString::fromLocal8Bit(std::strerror(errno)));
        return QByteArray();
    }
    struct stat oStat {};
    char aBuffer[2 * kSecretHexLength];
    ssize_t iRead = -1;
    if (::fstat(iFd, &oStat) != 0 || !S_ISREG(oStat.st_mode))
        v_oWhy = QStringLiteral("%1 is not a regular file").arg(v_oPath);
    else if (oStat.st_uid != ::geteuid())
        v_oWhy = QStringLiteral("%1 belongs to uid %2, not to this account").arg(v_oPath).arg(oStat.st_uid);
    else if (oStat.st_mode & 077)
        v_oWhy = QStringLiteral("%1 has mode %2: other accounts may read or change it").arg(v_oPath, QString::number(oStat.st_mode & 07777, 8));
    else
        iRead = ::read(iFd, aBuffer, sizeof aBuffer);
    ::close(iFd);
    if (iRead < 0)
        return QByteArray();
    QByteArray oSecret(aBuffer, int(iRead));
    OPENSSL_cleanse(aBuffer, sizeof aBuffer);
    while (!oSecret.isEmpty() && (oSecret.endsWith('\n') || oSecret.endsWith('\r')))
        oSecret.chop(1);
    if (!isValidSeed(oSecret)) {
        qtxOverwriteRandom(oSecret.data(), static_cast<std::size_t>(oSecret.size()));
        v_oWhy = QStringLiteral("%1 does not hold %2 hexadecimal characters").arg(v_oPath).arg(kSecretHexLength);
        return QByteArray();
    }
    return oSecret;
}

// Missing folders above the secret are made 0700; the file is created exclusively,
// 0600, from the kernel's random generator. A concurrent creator wins the race.
void createAccountSecret(const QString &v_oPath, QString &v_oWhy)
{
    QStringList oMissing;
    for (QString oFolder = QFileInfo(v_oPath).absolutePath(); !QFileInfo::exists(oFolder) && oFolder != QStringLiteral("/");
         oFolder = QFileInfo(oFolder).absolutePath())
        oMissing.prepend(oFolder);
    for (const QString &oFolder : oMissing) {
        if (::mkdir(QFile::encodeName(oFolder).constData(), 0700) != 0 && errno != EEXIST) {
            v_oWhy = QStringLiteral("cannot create %1: %2").arg(oFolder, QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
    }
    unsigned char aRandom[kSecretHexLength / 2];
    std::size_t uiHave = 0;
    while (uiHave < sizeof aRandom) {
        const ssize_t iGot = ::getrandom(aRandom + uiHave, sizeof aRandom - uiHave, 0);
        if (iGot < 0 && errno == EINTR)
            continue;
        if (iGot <= 0) {
            v_oWhy = QStringLiteral("getrandom failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        uiHave += std::size_t(iGot);
    }
    static const char kHex[] = "0123456789abcdef";
    char aText[kSecretHexLength + 1];
    for (std::size_t i = 0; i < sizeof aRandom; ++i) {
        aText[2 * i] = kHex[aRandom[i] >> 4];
        aText[2 * i + 1] = kHex[aRandom[i] & 0xF];
    }
    aText[kSecretHexLength] = '\n';
    OPENSSL_cleanse(aRandom, sizeof aRandom);
    const int iFd = ::open(QFile::encodeName(v_oPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (iFd < 0) {
        if (errno != EEXIST)
            v_oWhy = QStringLiteral("cannot create %1: %2").arg(v_oPath, QString::fromLocal8Bit(std::strerror(errno)));
        OPENSSL_cleanse(aText, sizeof aText);
        return;
    }
    const bool bOk = ::fchmod(iFd, 0600) == 0 && ::write(iFd, aText, sizeof aText) == ssize_t(sizeof aText) && ::fsync(iFd) == 0;
    OPENSSL_cleanse(aText, sizeof aText);
    ::close(iFd);
    if (!bOk) {
        ::unlink(QFile::encodeName(v_oPath).constData());
        v_oWhy = QStringLiteral("cannot write %1").arg(v_oPath);
    }
}

} // namespace

UniquePass::UniquePass(int v_iSources)
    : m_iSources(v_iSources)
{
    gather();
}

UniquePass::~UniquePass()
{
    for (QByteArray *poValue : {&m_oMotherboardUuid, &m_oMachineGuid, &m_oRegistrySeed})
        qtxOverwriteRandom(poValue->data(), static_cast<std::size_t>(poValue->size()));
}

QString UniquePass::seedFilePath()
{
    return KeyStore::secretPath();
}

void UniquePass::gather()
{
    std::lock_guard<std::mutex> oGuard(g_gatherMutex);
    const bool bSeed = m_iSources == 3 || m_iSources == 4;
    const bool bGuid = m_iSources == 0 || m_iSources == 2 || m_iSources == 4;
    const bool bBoard = (m_iSources == 1 || m_iSources == 2 || m_iSources == 4) && !m_bDisableMotherboard;
    if (bSeed)
        m_oRegistrySeed = getRegistrySeed();
    if (bGuid)
        m_oMachineGuid = getMachineGuid();
    if (bBoard)
        m_oMotherboardUuid = getMotherboardUUID();
    // One buffer of the final size: growing it piece by piece would hand
    // earlier, partial copies of the material back to the allocator unwiped.
    QByteArray oMaterial;
    oMaterial.reserve((bSeed ? m_oRegistrySeed.size() : 0) + (bGuid ? m_oMachineGuid.size() : 0)
                      + (bBoard ? m_oMotherboardUuid.size() : 0) + 1);
    if (bSeed)
        oMaterial.append(m_oRegistrySeed);
    if (bGuid)
        oMaterial.append(m_oMachineGuid);
    if (bBoard)
        oMaterial.append(m_oMotherboardUuid);
    m_oUniqueMaterial = SecureObject(oMaterial); // overwrites oMaterial
}

void UniquePass::reset()
{
    for (QByteArray *poValue : {&m_oMotherboardUuid, &m_oMachineGuid, &m_oRegistrySeed}) {
        qtxOverwriteRandom(poValue->data(), static_cast<std::size_t>(poValue->size()));
        poValue->clear();
    }
    m_oUniqueMaterial.release();
    m_bFailed = false;
    gather();
}

QByteArray UniquePass::getRegistrySeed()
{
    std::lock_guard<std::mutex> oGuard(g_registryMutex);
    const QString oPath = seedFilePath();
    QString oWhy;
    QByteArray oSeed = readAccountSecret(oPath, oWhy);
    if (oSeed.isEmpty() && oWhy.isEmpty()) {
        // Created once per account by its first derivation.
        createAccountSecret(oPath, oWhy);
        if (m_bVerbose)
            QTX_LOG(QTXLogger::Instance(), WARN, "UniquePass::getRegistrySeed") << "UniquePass: No Registry Seed found. Generated.";
        if (oWhy.isEmpty())
            oSeed = readAccountSecret(oPath, oWhy);
    }
    if (!oWhy.isEmpty())
        QTX_LOG(QTXLogger::Instance(), WARN, "UniquePass::getRegistrySeed") << "UniquePass: account secret not used: " << oWhy;
    checkResultInSection(oSeed, 1);
    return oSeed;
}

QByteArray UniquePass::getMachineGuid()
{
    std::lock_guard<std::mutex> oGuard(g_registryMutex);
    QByteArray oGuid = readSmallFile(pathFromEnv("QTX_MACHINE_ID_FILE", QStringLiteral("/etc/machine-id")), 256).trimmed();
    if (!oGuid.isEmpty())
        oGuid.append('\0'); // the value as a zero-terminated string
    checkResultInSection(oGuid, 2);
    return oGuid;
}

QByteArray UniquePass::uuidFromSmbiosTable(const QByteArray &v_oRawTable)
{
    QByteArray oUuid;
    if (v_oRawTable.size() < 8)
        return oUuid;
    const auto *pData = reinterpret_cast<const unsigned char *>(v_oRawTable.constData());
    const quint32 uiLength = quint32(pData[4]) | quint32(pData[5]) << 8 | quint32(pData[6]) << 16
                             | quint32(pData[7]) << 24;
    const qint64 iEnd = qMin<qint64>(qint64(8) + uiLength, v_oRawTable.size());
    qint64 iPos = 8;
    while (iPos + 4 <= iEnd) {
        const unsigned char uiType = pData[iPos];
        const unsigned char uiFormattedLength = pData[iPos + 1];
        if (uiFormattedLength < 4)
            break; // a malformed header would not advance
        if (uiType == 1 && iPos + 8 + 16 <= iEnd && uiFormattedLength >= 8 + 16)
            oUuid = v_oRawTable.mid(static_cast<int>(iPos + 8), 16);
        // Skip the formatted part, then the strings up to and including the double zero.
        qint64 iStrings = iPos + uiFormattedLength;
        while (iStrings + 1 < iEnd && !(pData[iStrings] == 0 && pData[iStrings + 1] == 0))
            ++iStrings;
        iPos = iStrings + 2;
    }
    return oUuid;
}

QByteArray UniquePass::getMotherboardUUID()
{
    QByteArray oValue;
    const QString oTable = qEnvironmentVariable("QTX_SMBIOS_TABLE_FILE");
    if (!oTable.isEmpty()) {
        oValue = uuidFromSmbiosTable(readSmallFile(oTable, 1 << 20));
    } else {
        const QString oDir = pathFromEnv("QTX_DMI_ID_DIR", QStringLiteral("/sys/class/dmi/id"));
        for (const char *pName : {"sys_vendor", "product_name", "board_vendor", "board_name"}) {
            const QByteArray oPart = readSmallFile(oDir + QLatin1Char('/') + QLatin1String(pName), 256).trimmed();
            if (!oPart.isEmpty())
                oValue += oPart + '\n';
        }
    }
    checkResultInSection(oValue, 3);
    return oValue;
}

void UniquePass::checkResultInSection(const QByteArray &v_oValue, int v_iSection)
{
    if (v_oValue.isEmpty() || v_oValue.toLower().contains("null")) {
        QTX_LOG(QTXLogger::Instance(), WARN, "UniquePass::checkResultInSection")
            << "UniquePass: validate result failed in section: " << v_iSection;
        m_bFailed = true;
    }
}

void UniquePass::getPassword(SecurePass &v_oPassPhrase)
{
    if (m_bVerbose)
        QTX_LOG(QTXLogger::Instance(), INFO, "UniquePass::getPassword") << "Retrieving Unique Password converted to Secure Password.";
    // SHA-256 through libcrypto, whose digest state is wiped when freed (a
    // QCryptographicHash frees its copy of the material as it is).
    unsigned char aDigest[EVP_MAX_MD_SIZE];
    unsigned int uiDigestSize = 0;
    if (EVP_Digest(m_oUniqueMaterial.data() ? m_oUniqueMaterial.data() : "", static_cast<size_t>(m_oUniqueMaterial.size()),
                   aDigest, &uiDigestSize, EVP_sha256(), nullptr) != 1)
        uiDigestSize = 0;
    QByteArray oDigest(reinterpret_cast<const char *>(aDigest), static_cast<int>(uiDigestSize));
    OPENSSL_cleanse(aDigest, sizeof aDigest);
    QByteArray oHex = oDigest.toHex();
    qtxOverwriteRandom(oDigest.data(), static_cast<std::size_t>(oDigest.size()));
    QString oText = QString::fromLatin1(oHex);
    qtxOverwriteRandom(oHex.data(), static_cast<std::size_t>(oHex.size()));
    v_oPassPhrase = SecurePass(oText, QByteArrayLiteral("UTF-8"));
    qtxOverwriteText(oText);
    if (m_bVerbose)
        QTX_LOG(QTXLogger::Instance(), INFO, "UniquePass::getPassword") << "Unique Password retrieved.";
}

bool UniquePass::selfTest()
{
    SecurePass oFirst;
    SecurePass oSecond;
    getPassword(oFirst);
    getPassword(oSecond);
    return oFirst.equals(oSecond) && oFirst.length() == 64;
}
