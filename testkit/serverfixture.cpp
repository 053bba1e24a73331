#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QProcessEnvironment>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace {

// Descriptors this test inherited (a lock taken with flock(1) by whoever ran
// it, a terminal's extras) must not reach the servers it starts: a server
// that outlives a killed test would hold them, and the lock, for ever.
void keepInheritedDescriptorsHere()
{
    DIR *poDir = ::opendir("/proc/self/fd");
    if (!poDir)
        return;
    const int iOwn = ::dirfd(poDir);
    while (const dirent *poEntry = ::readdir(poDir)) {
        const int iFd = std::atoi(poEntry->d_name);
        if (iFd > 2 && iFd != iOwn)
            ::fcntl(iFd, F_SETFD, ::fcntl(iFd, F_GETFD) | FD_CLOEXEC);
    }
    ::closedir(poDir);
}

} // namespace

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

bool ServerFixture::installBinary(const QString &v_oSourcePath)
{
    const QString oTarget = executable();
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

bool ServerFixture::installSigner(const QByteArray &v_oIni, bool v_bPdfHelper)
{
    const auto copyHelper = [this](const QString &v_oName) {
        return QFile::copy(QStringLiteral(QTX_BINARY_DIR "/bin/") + v_oName, path(v_oName));
    };
    return install(v_oIni) && installModules()
           && (!v_bPdfHelper
               || (copyHelper(QStringLiteral("qtx-pdf-helper")) && copyHelper(QStringLiteral("qtx-pdf-preview"))))
           && provision();
}

QList<QSslCertificate> ServerFixture::authority() const
{
    return QSslCertificate::fromPath(path(QStringLiteral("certs/QTX-ca.pem")));
}

bool ServerFixture::installModules()
{
    const QDir oSource(QStringLiteral(QTX_BINARY_DIR "/modules"));
    const QString oTarget = path(QStringLiteral("modules"));
    QDir().mkpath(oTarget);
    bool bAny = false;
    for (const QString &oFile : oSource.entryList(QDir::Files)) {
        QFile::remove(oTarget + QLatin1Char('/') + oFile);
        bAny = QFile::copy(oSource.filePath(oFile), oTarget + QLatin1Char('/') + oFile) || bAny;
    }
    return bAny;
}

namespace {

QProcessEnvironment serverEnvironment(const QString &v_oConfigHome)
{
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), v_oConfigHome);
    oEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Each instance keeps its secret in its own key store under config/.
    oEnv.remove(QStringLiteral("QTX_MACHINE_SEED_FILE"));
    oEnv.remove(QStringLiteral("QTX_KEY_DIR"));
    return oEnv;
}

int runQuietly(const QString &v_oProgram, const QStringList &v_oArguments)
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.start(v_oProgram, v_oArguments);
    if (!oProcess.waitForFinished(60000))
        return -1;
    return oProcess.exitStatus() == QProcess::NormalExit ? oProcess.exitCode() : -1;
}

} // namespace

bool ServerFixture::isRoot()
{
    return ::geteuid() == 0;
}

bool ServerFixture::ensureAccount(const QString &v_oAccount)
{
    if (!isRoot())
        return false;
    if (runQuietly(QStringLiteral("id"), {QStringLiteral("-u"), v_oAccount}) == 0)
        return true;
    return runQuietly(QStringLiteral("useradd"), {QStringLiteral("-M"), QStringLiteral("-s"),
                                                  QStringLiteral("/usr/sbin/nologin"), v_oAccount})
           == 0;
}

void ServerFixture::shareWith(const QString &v_oAccount)
{
    QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    QDir().mkpath(path(QStringLiteral("config")));
    runQuietly(QStringLiteral("chown"), {QStringLiteral("-R"), v_oAccount, path(QStringLiteral("config"))});
}

void ServerFixture::startAs(QProcess &v_oProcess, const QString &v_oAccount, const QString &v_oProgram,
                            const QStringList &v_oArguments)
{
    keepInheritedDescriptorsHere();
    if (v_oAccount.isEmpty()) {
        v_oProcess.start(v_oProgram, v_oArguments);
        return;
    }
    v_oProcess.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=") + v_oAccount,
                                                            QStringLiteral("--regid=") + v_oAccount,
                                                            QStringLiteral("--init-groups"), QStringLiteral("--"), v_oProgram}
                                                    + v_oArguments);
}

int ServerFixture::runAs(const QString &v_oAccount, const QString &v_oProgram, const QStringList &v_oArguments,
                         QByteArray *v_poOutput, const QProcessEnvironment &v_oEnv)
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    if (!v_oEnv.isEmpty())
        oProcess.setProcessEnvironment(v_oEnv);
    startAs(oProcess, v_oAccount, v_oProgram, v_oArguments);
    const bool bEnded = oProcess.waitForFinished(60000);
    if (v_poOutput)
        *v_poOutput = oProcess.readAll();
    if (!bEnded) {
        oProcess.kill();
        oProcess.waitForFinished(5000);
        return -1;
    }
    return oProcess.exitStatus() == QProcess::NormalExit ? oProcess.exitCode() : -1;
}

QString ServerFixture::storePath(const QString &v_oRelative) const
{
    const QString oStore = path(QStringLiteral("config/Quorvex/QuorvexCryptoProvider"));
    return v_oRelative.isEmpty() ? oStore : oStore + QLatin1Char('/') + v_oRelative;
}

bool ServerFixture::provision(const QString &v_oAccount)
{
    QByteArray oOutput;
    if (runAs(v_oAccount, QStringLiteral(QTX_BINARY_DIR "/bin/qtx-provision"), {}, &oOutput,
              serverEnvironment(path(QStringLiteral("config"))))
        != 0) {
        qWarning("qtx-provision failed: %s", oOutput.constData());
        return false;
    }
    // This process is root or the account itself, so it can read the store.
    const QString oCopy = path(QStringLiteral("certs/QTX-ca.pem"));
    QDir().mkpath(path(QStringLiteral("certs")));
    QFile::remove(oCopy);
    return QFile::copy(storePath(QStringLiteral("certs/QTX-ca.pem")), oCopy)
           && QFile::setPermissions(oCopy, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

void ServerFixture::start(const QStringList &v_oArguments, const QString &v_oAccount)
{
    QProcessEnvironment oEnv = serverEnvironment(path(QStringLiteral("config")));
    for (auto it = m_extraEnv.constBegin(); it != m_extraEnv.constEnd(); ++it)
        oEnv.insert(it.key(), it.value());
    m_process.setProcessEnvironment(oEnv);
    m_process.setWorkingDirectory(path());
    startAs(m_process, v_oAccount, executable(), v_oArguments);
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
    // The server's log writer runs on its own thread: a line logged before a
    // reply was sent may reach the file a moment after the reply arrived.
    QElapsedTimer oTimer;
    oTimer.start();
    while (!logMessages().contains(v_oMessage)) {
        if (oTimer.elapsed() > 1000)
            return false;
        QTest::qWait(20);
    }
    return true;
}

bool ServerFixture::waitForLog(const QString &v_oMessage, int v_iTimeoutMs)
{
    QElapsedTimer oTimer;
    oTimer.start();
    while (!logContains(v_oMessage)) {
        if (oTimer.elapsed() > v_iTimeoutMs || m_process.state() == QProcess::NotRunning)
            return logContains(v_oMessage);
        QTest::qWait(100);
    }
    return true;
}

bool ServerFixture::waitListening(int v_iPort, int v_iTimeoutMs)
{
    return waitForLog(QStringLiteral("CSslListener::CSslListener :: Listening on port %1").arg(v_iPort), v_iTimeoutMs);
}

int ServerFixture::freeBase(int v_iCount)
{
    for (int iTry = 0; iTry < 50; ++iTry) {
        QTcpServer oProbe;
        if (!oProbe.listen(QHostAddress::LocalHost, 0))
            continue;
        const int iBase = oProbe.serverPort();
        oProbe.close();
        bool bFree = iBase + v_iCount <= 65536;
        for (int i = 0; bFree && i < v_iCount; ++i) {
            QTcpServer oCheck;
            bFree = oCheck.listen(QHostAddress::LocalHost, static_cast<quint16>(iBase + i));
        }
        if (bFree)
            return iBase;
    }
    return 0;
}

int ServerFixture::rerunAsAccount(int argc, char *argv[], const char *v_pAccount)
{
    if (::geteuid() != 0)
        return -1;
    QByteArray oSelf;
    {
        QCoreApplication oProbe(argc, argv);
        if (!ensureAccount(QString::fromLatin1(v_pAccount))) {
            std::fprintf(stderr, "SKIP: cannot create the test account %s\n", v_pAccount);
            return 0;
        }
        oSelf = QFile::encodeName(QCoreApplication::applicationFilePath());
    }
    qputenv("HOME", "/tmp");
    std::vector<QByteArray> oArgs = {"setpriv", QByteArray("--reuid=") + v_pAccount, QByteArray("--regid=") + v_pAccount,
                                     "--init-groups", "--", oSelf};
    for (int i = 1; i < argc; ++i)
        oArgs.emplace_back(argv[i]);
    std::vector<char *> oArgv;
    for (QByteArray &oArg : oArgs)
        oArgv.push_back(oArg.data());
    oArgv.push_back(nullptr);
    ::execvp("setpriv", oArgv.data());
    std::perror("setpriv");
    return 1;
}
