#include "serverfixture.h"

#include <QDir>
#include <QProcessEnvironment>

#include <csignal>

ServerFixture::ServerFixture()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
}

ServerFixture::~ServerFixture()
{
    // Ends only the process this fixture started.
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString ServerFixture::serverBinary()
{
    return QStringLiteral(QTX_BINARY_DIR "/bin/QuorvexCryptoProvider");
}

QString ServerFixture::path(const QString &v_oRelative) const
{
    return v_oRelative.isEmpty() ? m_dir.path() : m_dir.filePath(v_oRelative);
}

bool ServerFixture::installBinary(const QString &v_oSourcePath, const QString &v_oName)
{
    const QString oTarget = path(v_oName);
    QFile::remove(oTarget);
    if (!QFile::copy(v_oSourcePath, oTarget))
        return false;
    return QFile::setPermissions(oTarget, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                              | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

bool ServerFixture::writeIni(const QByteArray &v_oContent)
{
    QFile oFile(path(QStringLiteral("QuorvexCryptoProvider.ini")));
    return oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(v_oContent) == v_oContent.size();
}

void ServerFixture::start(const QStringList &v_oArguments)
{
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    oEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process.setProcessEnvironment(oEnv);
    m_process.setWorkingDirectory(path());
    m_process.start(path(QStringLiteral("QuorvexCryptoProvider")), v_oArguments);
}

QString ServerFixture::logFilePath() const
{
    return path(QStringLiteral("config/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"));
}

QStringList ServerFixture::logMessages() const
{
    QFile oFile(logFilePath());
    if (!oFile.open(QIODevice::ReadOnly))
        return {};
    QStringList oMessages;
    for (const QByteArray &oLine : oFile.readAll().split('\n')) {
        const int iPos = oLine.indexOf(" - ");
        if (iPos >= 0)
            oMessages << QString::fromUtf8(oLine.mid(iPos + 3));
    }
    return oMessages;
}

bool ServerFixture::logContains(const QString &v_oMessage) const
{
    return logMessages().contains(v_oMessage);
}
