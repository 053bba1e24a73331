#include "signersettings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

SignerSettings SignerSettings::read()
{
    SignerSettings oSettings;
    if (QCoreApplication::instance()) {
        const QString oIni = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath()
                             + QStringLiteral("/QuorvexCryptoProvider.ini");
        if (QFileInfo::exists(oIni)) {
            QSettings oIniFile(oIni, QSettings::IniFormat);
            oIniFile.beginGroup(QStringLiteral("signing"));
            oSettings.pkcs11Module = oIniFile.value(QStringLiteral("pkcs11Module")).toString();
            oSettings.dialogTimeoutSeconds =
                std::clamp(oIniFile.value(QStringLiteral("dialogTimeoutSeconds"), 120).toInt(), 5, 3600);
            oSettings.confirmDelayMs = std::clamp(oIniFile.value(QStringLiteral("confirmDelayMs"), 1000).toInt(), 300, 10000);
            oSettings.batchMaxDocuments =
                std::clamp(oIniFile.value(QStringLiteral("batchMaxDocuments"), 100).toInt(), 1, 1000);
        }
    }
    const QString oEnvModule = qEnvironmentVariable("QTX_PKCS11_MODULE");
    if (!oEnvModule.isEmpty())
        oSettings.pkcs11Module = oEnvModule;
    return oSettings;
}
