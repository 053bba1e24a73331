#include "keystore.h"

#include "qtxpaths.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kSystemStore = "/var/lib/quorvex/QuorvexCryptoProvider";

QString fromEnv(const char *v_pName)
{
    return qEnvironmentVariable(v_pName);
}

} // namespace

namespace KeyStore {

QString folder()
{
    const QString oOverride = fromEnv("QTX_KEY_DIR");
    if (!oOverride.isEmpty())
        return QDir::cleanPath(QDir(oOverride).absolutePath());
    if (::geteuid() == 0 && fromEnv("XDG_CONFIG_HOME").isEmpty())
        return QString::fromLatin1(kSystemStore);
    return QDir::cleanPath(qtxUserDataDir());
}

bool isSystemStore()
{
    // Whoever keeps it: root where root is the dispatcher, the dispatcher's
    // account (its unit names the store in QTX_KEY_DIR) elsewhere.
    return folder() == QLatin1String(kSystemStore);
}

QString privateFolder()
{
    return folder() + QStringLiteral("/private");
}

QString certificateFolder()
{
    return folder() + QStringLiteral("/certs");
}

QString secretPath()
{
    const QString oOverride = fromEnv("QTX_MACHINE_SEED_FILE");
    return oOverride.isEmpty() ? privateFolder() + QStringLiteral("/Seed") : oOverride;
}

QString keyPath()
{
    return privateFolder() + QStringLiteral("/QTX-key-server.pem");
}

QString certificatePath()
{
    return certificateFolder() + QStringLiteral("/QTX-cert-server.pem");
}

QString authorityPath()
{
    return certificateFolder() + QStringLiteral("/QTX-ca.pem");
}

QString dispatcherCertificatePath()
{
    return QString::fromLatin1(kSystemStore) + QStringLiteral("/certs/QTX-cert-server.pem");
}

QString dispatcherAuthorityPath()
{
    return QString::fromLatin1(kSystemStore) + QStringLiteral("/certs/QTX-ca.pem");
}

QString privacyProblem(const QString &v_oPath)
{
    struct stat oStat {};
    if (::lstat(QFile::encodeName(v_oPath).constData(), &oStat) != 0)
        return QStringLiteral("%1 is missing").arg(v_oPath);
    if (S_ISLNK(oStat.st_mode))
        return QStringLiteral("%1 is a symbolic link").arg(v_oPath);
    if (oStat.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to uid %2").arg(v_oPath).arg(oStat.st_uid);
    if (oStat.st_mode & 077)
        return QStringLiteral("%1 has mode %2").arg(v_oPath, QString::number(oStat.st_mode & 07777, 8));
    return QString();
}

} // namespace KeyStore
