#include "cversion.h"

#include "modulereader.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>

namespace {

QString verIniPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/ver.ini");
}

} // namespace

const char *const CVersion::kInvalidVersion = "0.0.0.INVALID";

CVersion::CVersion()
    : QSettings(verIniPath(), QSettings::IniFormat)
{
    m_bSignatureValid = ModuleReader(fileName(), false).verify();
    QTX_LOG(FileVersionLogger::Instance(), INFO, "CVersion::CVersion") << "signatureValid=" << m_bSignatureValid;
}

QString CVersion::GetVersion()
{
    if (!m_bSignatureValid)
        return QString::fromLatin1(kInvalidVersion);
    if (value(QStringLiteral("quorvexcryptoprovider")).toString() != qtxBuiltInVersion()) {
        QTX_LOG(FileVersionLogger::Instance(), WARN, "CVersion::GetVersion")
            << "ver.ini belongs to another build";
        return QString::fromLatin1(kInvalidVersion);
    }
    return value(QStringLiteral("installer")).toString();
}
