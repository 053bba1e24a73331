#include "csettings.h"

#include "qtxlogger.h"
#include "qtxpaths.h"
#include "qtxthreadcheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTextStream>

#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex g_settingsMutex;
CSettings *g_settings = nullptr;

// Lines of this class go through the plain "qtx" logger: the server logger reads
// the configuration while it is created, so it must never be needed here.
QTXLogger &settingsLogger()
{
    return QTXLogger::Instance();
}

const char *const kDefaultCertFile = "./certs/QTX-cert-server.pem";
const char *const kDefaultKeyFile = "./certs/QTX-key-server.pem";

bool isAbsent(const QVariant &v_oValue)
{
    return v_oValue.isNull() || !v_oValue.isValid();
}

} // namespace

CSettings *CSettings::Instance()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    if (!g_settings)
        g_settings = new CSettings();
    return g_settings;
}

CSettings::CSettings()
{
    m_oUserDataDir = qtxUserDataDir();
    m_oAppDir = QCoreApplication::applicationDirPath() + QDir::separator();

    const QString oIniPath = m_oAppDir + QString::fromLatin1(kQtxApplicationName) + QStringLiteral(".ini");
    if (!QFileInfo::exists(oIniPath)) {
        // The configuration mutex is held here; the line goes through a logger
        // that never reads the configuration, and the exit does not depend on it.
        QTX_LOG(settingsLogger(), INFO, "CSettings::CSettings") << "Exit(0): ini file not found";
        std::fflush(nullptr);
        ::_exit(0);
    }
    m_poSettings = new QSettings(oIniPath, QSettings::IniFormat, this);
}

CSettings::~CSettings()
{
    if (m_poSettings)
        m_poSettings->deleteLater();
    QTX_LOG(settingsLogger(), NOTICE, "CSettings::~CSettings") << "Manager destroyed.";
}

QVariant CSettings::ReadVariant(const QString &v_oGroup, const QString &v_oKey, bool v_bWarnIfAbsent)
{
    // Under the settings lock, from a file: never on an I/O thread.
    QTX_ASSERT_NOT_IO_THREAD();
    if (!m_poSettings)
        return QVariant();
    const QVariant oValue = m_poSettings->value(v_oGroup + QLatin1Char('/') + v_oKey, QVariant());
    if (v_bWarnIfAbsent && isAbsent(oValue)) {
        QTX_LOG(settingsLogger(), WARN, "CSettings::ReadVariant")
            << "Value for key: " << v_oKey << " in group: " << v_oGroup << " is null";
    }
    return oValue;
}

namespace {

int toIntOr(const QVariant &v_oValue, int v_iFallback)
{
    if (isAbsent(v_oValue))
        return v_iFallback;
    bool bOk = false;
    const int iValue = v_oValue.toInt(&bOk);
    return bOk ? iValue : v_iFallback;
}

} // namespace

QString CSettings::ReadIniFilePath()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    return m_poSettings ? QFileInfo(m_poSettings->fileName()).absoluteFilePath() : QString();
}

int CSettings::ReadListenerPort()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    return toIntOr(ReadVariant(QStringLiteral("listener"), QStringLiteral("port"), true), 0);
}

bool CSettings::ReadWindowsServerMode()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QVariant oValue = ReadVariant(QStringLiteral("listener"), QStringLiteral("windowsServerMode"), true);
    const QString oText = isAbsent(oValue) ? QStringLiteral("false") : oValue.toString();
    return oText.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

QString CSettings::ReadDispatcherAccount()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QVariant oValue = ReadVariant(QStringLiteral("listener"), QStringLiteral("dispatcherAccount"), false);
    return isAbsent(oValue) ? QString() : oValue.toString().trimmed();
}

int CSettings::ReadLogLevel()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    return toIntOr(ReadVariant(QStringLiteral("logging2"), QStringLiteral("logLevel"), false), 0);
}

bool CSettings::ReadLogSensitiveData()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QVariant oValue = ReadVariant(QStringLiteral("logging2"), QStringLiteral("logSensitiveData"), false);
    return !isAbsent(oValue) && oValue.toString().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

QString CSettings::ReadLogFilePath()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    return m_oUserDataDir + QStringLiteral("logs") + QDir::separator() + QString::fromLatin1(kQtxApplicationName)
           + QStringLiteral(".log");
}

QTXLogger::Settings CSettings::ReadLoggingSettings()
{
    QTXLogger::Settings oSettings;
    oSettings.level = ReadLogLevel();
    oSettings.sensitiveData = ReadLogSensitiveData();
    oSettings.serverMode = ReadWindowsServerMode();
    return oSettings;
}

QStringList CSettings::ReadDllLoaderDirPaths()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QVariant oValue = ReadVariant(QStringLiteral("dllLoader"), QStringLiteral("dirPath"), true);
    return QStringList{m_oAppDir + (isAbsent(oValue) ? QString() : oValue.toString())};
}

QString CSettings::ReadModuleKeysDir()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QVariant oValue = ReadVariant(QStringLiteral("dllLoader"), QStringLiteral("moduleKeysDir"), false);
    if (isAbsent(oValue))
        return QStringLiteral("/etc/quorvex/module-keys.d");
    const QString oFolder = oValue.toString().trimmed();
    // Relative to the executable's folder, as the module folder is.
    return oFolder.isEmpty() || oFolder.startsWith(QLatin1Char('/')) ? oFolder : m_oAppDir + oFolder;
}

int CSettings::ReadTimeoutInterval()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    return toIntOr(ReadVariant(QStringLiteral("timeout"), QStringLiteral("interval"), true), 0);
}

qint64 CSettings::ReadLimit(const QString &v_oKey, qint64 v_llDefault)
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QVariant oValue = ReadVariant(QStringLiteral("limits"), v_oKey, false);
    if (isAbsent(oValue))
        return v_llDefault;
    bool bOk = false;
    const qint64 llValue = oValue.toLongLong(&bOk);
    return bOk && llValue > 0 ? llValue : v_llDefault;
}

QPair<QString, QString> CSettings::ReadSslCertificateCertAndKeyFiles()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    const QString oGroup = QStringLiteral("sslCertificate");
    auto resolve = [&](const char *v_pKey, const char *v_pDefault, const char *v_pLabel) {
        const QVariant oValue = ReadVariant(oGroup, QString::fromLatin1(v_pKey), true);
        QString oPath;
        if (isAbsent(oValue)) {
            oPath = QString::fromLatin1(v_pDefault);
            QTX_LOG(settingsLogger(), NOTICE, "CSettings::ReadSslCertificateCertAndKeyFiles")
                << v_pLabel << " set to default value=" << oPath;
        } else {
            oPath = oValue.toString();
            QTX_LOG(settingsLogger(), INFO, "CSettings::ReadSslCertificateCertAndKeyFiles")
                << v_pLabel << "=" << oPath;
        }
        return m_oAppDir + oPath;
    };
    const QString oCertPath = resolve("certFile", kDefaultCertFile, "oCertPath");
    const QString oKeyPath = resolve("keyFile", kDefaultKeyFile, "oKeyPath");
    return qMakePair(oCertPath, oKeyPath);
}

QString CSettings::BuiltInCipherString()
{
    return QStringLiteral("ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-SHA384:"
                          "ECDHE-RSA-AES256-SHA:ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:AES256-SHA256:"
                          "AES256-SHA");
}

QList<QSslCipher> CSettings::ReadSslEnabledCiphersList()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    static bool s_bBuilt = false;
    static QList<QSslCipher> s_oCiphers;
    if (s_bBuilt)
        return s_oCiphers;

    const char *pFunc = "CSettings::ReadSslEnabledCiphersList";
    const QString oCiphersString = BuiltInCipherString();
    QTX_LOG(settingsLogger(), NOTICE, pFunc) << "oCiphersString set to default value=" << oCiphersString;
    const QStringList oNames = oCiphersString.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    QTX_LOG(settingsLogger(), INFO, pFunc) << "Cipher list contains " << oNames.size() << " positions";
    for (const QString &oName : oNames) {
        QTX_LOG(settingsLogger(), INFO, pFunc) << "oCipherName=" << oName;
        const QSslCipher oCipher(oName);
        if (!oCipher.isNull()) {
            QTX_LOG(settingsLogger(), INFO, pFunc) << "Added to list:" << oName;
            s_oCiphers.append(oCipher);
        }
    }
    QTX_LOG(settingsLogger(), NOTICE, pFunc) << "Found " << s_oCiphers.size() << " supported ciphers on list";
    s_bBuilt = true;
    return s_oCiphers;
}

QVariant CSettings::ReadGroupValue(const QString &v_oGroup, const QString &v_oKey, const QVariant &v_oDefault)
{
    QTX_ASSERT_NOT_IO_THREAD();
    if (!m_poSettings)
        return v_oDefault;
    return m_poSettings->value(v_oGroup + QLatin1Char('/') + v_oKey, v_oDefault);
}

void CSettings::PrintSettings()
{
    std::lock_guard<std::mutex> oGuard(g_settingsMutex);
    QTextStream oOut(stdout);
    oOut << "Settings dump: \n\n";
    const QString oListener = QStringLiteral("listener");
    const QString oSessions = QStringLiteral("sessions");
    auto line = [&](const QString &v_oLabel, const QVariant &v_oValue) {
        oOut << v_oLabel << "=" << v_oValue.toString() << "\n";
    };
    line(QStringLiteral("port"), ReadGroupValue(oListener, QStringLiteral("port"), 0));
    line(QStringLiteral("minThreads"), ReadGroupValue(oListener, QStringLiteral("minThreads"), 1));
    line(QStringLiteral("maxThreads"), ReadGroupValue(oListener, QStringLiteral("maxThreads"), 100));
    line(QStringLiteral("cleanupInterval"), ReadGroupValue(oListener, QStringLiteral("cleanupInterval"), 1000));
    line(QStringLiteral("readTimeout"), ReadGroupValue(oListener, QStringLiteral("readTimeout"), 10000));
    line(QStringLiteral("maxRequestSize"), ReadGroupValue(oListener, QStringLiteral("maxRequestSize"), 16000));
    line(QStringLiteral("maxMultiPartSize"), ReadGroupValue(oListener, QStringLiteral("maxMultiPartSize"), 1000000));
    line(QStringLiteral("expirationTime"), ReadGroupValue(oSessions, QStringLiteral("expirationTime"), 3600000));
    line(QStringLiteral("cookieName"), ReadGroupValue(oSessions, QStringLiteral("cookieName"), QStringLiteral("sessionid")));
    line(QStringLiteral("cookiePath"), ReadGroupValue(oSessions, QStringLiteral("cookiePath"), QString()));
    line(QStringLiteral("cookieComment"), ReadGroupValue(oSessions, QStringLiteral("cookieComment"), QString()));
    line(QStringLiteral("cookieDomain"), ReadGroupValue(oSessions, QStringLiteral("cookieDomain"), QString()));
    line(QStringLiteral("logFile"), m_oUserDataDir + QStringLiteral("logs") + QDir::separator()
                                         + QString::fromLatin1(kQtxApplicationName) + QStringLiteral(".log"));
    line(QStringLiteral("dllLoaderDir"), m_oAppDir + ReadGroupValue(QStringLiteral("dllLoader"), QStringLiteral("dirPath"), QString()).toString());
    line(QStringLiteral("timeoutInterval"), ReadGroupValue(QStringLiteral("timeout"), QStringLiteral("interval"), 0));
    oOut.flush();
}
