#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

const char *const kQtxApplicationName = "QuorvexCryptoProvider";
const char *const kQtxOrganizationName = "Quorvex";
const char *const kQtxOrganizationDomain = "com.quorvex";

QString qtxBuiltInVersion()
{
    return QStringLiteral("3.0.16.") + QStringLiteral(QTX_SOURCE_REVISION);
}

QString qtxUserDataDir()
{
    const QSettings oUserSettings(QSettings::IniFormat, QSettings::UserScope,
                                  QString::fromLatin1(kQtxOrganizationName),
                                  QString::fromLatin1(kQtxApplicationName));
    const QString oFolder = QFileInfo(oUserSettings.fileName()).absolutePath();
    return oFolder + QDir::separator() + QString::fromLatin1(kQtxApplicationName) + QDir::separator();
}
