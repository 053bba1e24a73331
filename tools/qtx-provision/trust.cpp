#include "trust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSaveFile>
#include <QCryptographicHash>
#include <QMap>
#include <QSslCertificate>

#include <sys/stat.h>
#include <unistd.h>

const char *const kQtxCaNickname = "Quorvex Crypto Provider Local CA";
const char *const kQtxDispatcherCaNickname = "Quorvex Crypto Provider Dispatcher CA";
const char *const kQtxSystemCaFile = "quorvex-local-ca.crt";
const char *const kQtxRetiredAuthoritiesFile = "/var/lib/quorvex/retired-authorities";

namespace {

struct Run
{
    int code = -1;
    QByteArray out;
};

Run run(const QString &v_oProgram, const QStringList &v_oArgs)
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.start(v_oProgram, v_oArgs);
    Run oRun;
    if (!oProcess.waitForStarted(10000)) {
        oRun.out = oProcess.errorString().toUtf8();
        return oRun;
    }
    oProcess.waitForFinished(60000);
    oRun.out = oProcess.readAll();
    oRun.code = oProcess.exitStatus() == QProcess::NormalExit ? oProcess.exitCode() : -1;
    return oRun;
}

QByteArray normalisedPem(const QByteArray &v_oPem)
{
    QByteArray oPem = v_oPem;
    oPem.replace("\r\n", "\n");
    return oPem.trimmed();
}

// One NSS database: "sql:" + folder.
class NssDb
{
public:
    NssDb(QString v_oCertutil, QString v_oDir) : m_certutil(std::move(v_oCertutil)), m_dir(std::move(v_oDir)) {}

    QString dbArg() const { return QStringLiteral("sql:") + m_dir; }

    bool exists() const { return QFileInfo::exists(m_dir + QStringLiteral("/cert9.db")); }

    bool create(QString &v_oError) const
    {
        QDir().mkpath(m_dir);
        QFile::setPermissions(m_dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const Run oRun = run(m_certutil, {QStringLiteral("-N"), QStringLiteral("-d"), dbArg(), QStringLiteral("--empty-password")});
        if (oRun.code != 0)
            v_oError = QString::fromUtf8(oRun.out).trimmed();
        return oRun.code == 0;
    }

    // PEM of the certificates under the nickname, empty when there is none.
    QByteArray current(const QString &v_oNickname) const
    {
        const Run oRun = run(m_certutil, {QStringLiteral("-L"), QStringLiteral("-d"), dbArg(), QStringLiteral("-n"),
                                          v_oNickname, QStringLiteral("-a")});
        return oRun.code == 0 ? normalisedPem(oRun.out) : QByteArray();
    }

    // Nickname -> trust flags of every certificate listed.
    QMap<QString, QString> list() const
    {
        QMap<QString, QString> oResult;
        const Run oRun = run(m_certutil, {QStringLiteral("-L"), QStringLiteral("-d"), dbArg()});
        const QList<QByteArray> oLines = oRun.out.split('\n');
        for (int i = 4; i < oLines.size(); ++i) {
            // "<nickname>   <flags>": the flags are the last word, "x,y,z".
            const QByteArray oLine = oLines.at(i).trimmed();
            const int iSpace = oLine.lastIndexOf(' ');
            if (iSpace <= 0 || oLine.mid(iSpace + 1).count(',') != 2)
                continue;
            oResult.insert(QString::fromUtf8(oLine.left(iSpace).trimmed()), QString::fromUtf8(oLine.mid(iSpace + 1)));
        }
        return oResult;
    }

    bool add(const QString &v_oNickname, const QString &v_oCaFile, QString &v_oError) const
    {
        const Run oRun = run(m_certutil, {QStringLiteral("-A"), QStringLiteral("-d"), dbArg(), QStringLiteral("-n"),
                                          v_oNickname, QStringLiteral("-t"), QStringLiteral("C,,"),
                                          QStringLiteral("-i"), v_oCaFile});
        if (oRun.code != 0)
            v_oError = QString::fromUtf8(oRun.out).trimmed();
        return oRun.code == 0;
    }

    // Deletes every certificate under the nickname; the number deleted.
    int removeAll(const QString &v_oNickname) const
    {
        int iCount = 0;
        while (iCount < 16) {
            const Run oRun = run(m_certutil, {QStringLiteral("-D"), QStringLiteral("-d"), dbArg(), QStringLiteral("-n"),
                                              v_oNickname});
            if (oRun.code != 0)
                break;
            ++iCount;
        }
        return iCount;
    }

private:
    QString m_certutil;
    QString m_dir;
};

// SHA-256 fingerprints (lower-case hex) of the certificates in a PEM text.
QStringList fingerprintsOf(const QByteArray &v_oPem)
{
    QStringList oResult;
    for (const QSslCertificate &oCert : QSslCertificate::fromData(v_oPem, QSsl::Pem))
        oResult << QString::fromLatin1(oCert.digest(QCryptographicHash::Sha256).toHex());
    return oResult;
}

// Why the folder is not this account's own to change, or empty: a browser
// database of another account (a HOME set for someone else, a link into
// another home) is never touched.
QString notOwnProblem(const QString &v_oPath)
{
    struct stat oStat {};
    if (::stat(QFile::encodeName(v_oPath).constData(), &oStat) != 0)
        return QString();
    if (oStat.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to uid %2, not to this account").arg(v_oPath).arg(oStat.st_uid);
    return QString();
}

QString label(const QString &v_oDir, const QString &v_oHome)
{
    return v_oDir == v_oHome + QStringLiteral("/.pki/nssdb") ? QStringLiteral("Chromium") : QStringLiteral("Firefox");
}

// The authorities to keep in (or take out of) each database: nickname and file.
struct Anchor
{
    QString nickname;
    QString file;
    QByteArray pem;
};

QString what(const Anchor &v_oAnchor)
{
    return v_oAnchor.nickname == QLatin1String(kQtxDispatcherCaNickname) ? QStringLiteral("dispatcher's authority")
                                                                        : QStringLiteral("authority");
}

void trustNss(const TrustOptions &v_oOptions, const QString &v_oHome, const QList<Anchor> &v_oAnchors,
              TrustResult &v_oResult)
{
    const QString oCertutil = v_oOptions.certutil.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("certutil"))
                                                            : v_oOptions.certutil;
    if (oCertutil.isEmpty()) {
        v_oResult.ok = false;
        v_oResult.errors << QStringLiteral("certutil not found: install the package libnss3-tools");
        return;
    }
    for (const QString &oDir : nssDatabasesOf(v_oHome)) {
        NssDb oDb(oCertutil, oDir);
        const QString oWhere = QStringLiteral("%1 (%2)").arg(oDir, label(oDir, v_oHome));
        const QString oForeign = notOwnProblem(oDir);
        if (!oForeign.isEmpty()) {
            v_oResult.report << QStringLiteral("Trust: %1 left alone: %2").arg(oWhere, oForeign);
            continue;
        }
        QString oError;
        // Authorities of older versions go first, under whatever nickname they
        // were put (ours, or one a browser chose when the user imported it).
        if (!v_oOptions.retired.isEmpty() && oDb.exists()) {
            const QMap<QString, QString> oListed = oDb.list();
            for (auto it = oListed.cbegin(); it != oListed.cend(); ++it) {
                if (!it.key().contains(QLatin1String("Quorvex"), Qt::CaseInsensitive))
                    continue;
                for (const QString &oPrint : fingerprintsOf(oDb.current(it.key()))) {
                    if (v_oOptions.retired.contains(oPrint)) {
                        oDb.removeAll(it.key());
                        v_oResult.report << QStringLiteral("Trust: removed the retired authority %1 (\"%2\") from %3")
                                                .arg(oPrint, it.key(), oWhere);
                        break;
                    }
                }
            }
        }
        if (v_oOptions.retiredOnly)
            continue;
        if (v_oOptions.remove) {
            if (!oDb.exists())
                continue;
            for (const Anchor &oAnchor : v_oAnchors) {
                const int iRemoved = oDb.removeAll(oAnchor.nickname);
                if (iRemoved || oAnchor.nickname == v_oAnchors.first().nickname)
                    v_oResult.report << (iRemoved ? QStringLiteral("Trust: removed the %1 from %2").arg(what(oAnchor), oWhere)
                                                  : QStringLiteral("Trust: not in %1, nothing to remove").arg(oWhere));
            }
            continue;
        }
        if (!oDb.exists()) {
            if (!oDb.create(oError)) {
                v_oResult.ok = false;
                v_oResult.errors << QStringLiteral("cannot create %1: %2").arg(oWhere, oError);
                continue;
            }
            v_oResult.report << QStringLiteral("Trust: created the NSS database %1").arg(oWhere);
        }
        const QMap<QString, QString> oListed = oDb.list();
        for (const Anchor &oAnchor : v_oAnchors) {
            const QByteArray oCurrent = oDb.current(oAnchor.nickname);
            if (oCurrent == oAnchor.pem && oListed.value(oAnchor.nickname).split(QLatin1Char(',')).value(0).contains(QLatin1Char('C'))) {
                v_oResult.report << QStringLiteral("Trust: kept the %1 in %2").arg(what(oAnchor), oWhere);
                continue;
            }
            if (!oCurrent.isEmpty()) {
                oDb.removeAll(oAnchor.nickname);
                v_oResult.report << QStringLiteral("Trust: replaced an older %1 in %2").arg(what(oAnchor), oWhere);
            }
            if (oDb.add(oAnchor.nickname, oAnchor.file, oError)) {
                v_oResult.report << QStringLiteral("Trust: added the %1 to %2").arg(what(oAnchor), oWhere);
            } else {
                v_oResult.ok = false;
                v_oResult.errors << QStringLiteral("cannot add the %1 to %2: %3").arg(what(oAnchor), oWhere, oError);
            }
        }
    }
}

void trustSystem(const TrustOptions &v_oOptions, const QByteArray &v_oCaPem, TrustResult &v_oResult)
{
    const QString oDir = v_oOptions.systemCaDir.isEmpty() ? QStringLiteral("/usr/local/share/ca-certificates")
                                                          : v_oOptions.systemCaDir;
    const QString oUpdate = v_oOptions.updateCommand.isEmpty() ? QStringLiteral("update-ca-certificates")
                                                               : v_oOptions.updateCommand;
    const QString oFile = oDir + QLatin1Char('/') + QString::fromLatin1(kQtxSystemCaFile);
    QFile oExisting(oFile);
    const bool bExists = oExisting.exists();
    const QByteArray oCurrent = oExisting.open(QIODevice::ReadOnly) ? normalisedPem(oExisting.readAll()) : QByteArray();
    oExisting.close();

    if (v_oOptions.remove) {
        if (!bExists) {
            v_oResult.report << QStringLiteral("Trust: not in the system store (%1), nothing to remove").arg(oFile);
            return;
        }
        if (!QFile::remove(oFile)) {
            v_oResult.ok = false;
            v_oResult.errors << QStringLiteral("cannot remove %1").arg(oFile);
            return;
        }
        v_oResult.report << QStringLiteral("Trust: removed %1 from the system store").arg(oFile);
    } else {
        if (oCurrent == v_oCaPem) {
            v_oResult.report << QStringLiteral("Trust: kept %1 in the system store").arg(oFile);
            return;
        }
        QDir().mkpath(oDir);
        QSaveFile oOut(oFile);
        const QByteArray oData = v_oCaPem + '\n';
        if (!oOut.open(QIODevice::WriteOnly) || oOut.write(oData) != oData.size()) {
            v_oResult.ok = false;
            v_oResult.errors << QStringLiteral("cannot write %1").arg(oFile);
            return;
        }
        oOut.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        if (!oOut.commit()) {
            v_oResult.ok = false;
            v_oResult.errors << QStringLiteral("cannot write %1").arg(oFile);
            return;
        }
        v_oResult.report << QStringLiteral("Trust: %1 %2 in the system store").arg(bExists ? QStringLiteral("replaced")
                                                                                          : QStringLiteral("wrote"),
                                                                                oFile);
    }
    // After a removal only a fresh run drops the links to the removed file
    // from /etc/ssl/certs (and tells the hooks, such as Java's, about it).
    const QStringList oArgs = v_oOptions.remove && v_oOptions.updateCommand.isEmpty() ? QStringList{QStringLiteral("--fresh")}
                                                                                      : QStringList();
    const Run oRun = run(oUpdate, oArgs);
    if (oRun.code == 0) {
        v_oResult.report << QStringLiteral("Trust: ran %1").arg(oUpdate);
    } else {
        v_oResult.ok = false;
        v_oResult.errors << QStringLiteral("%1 failed: %2").arg(oUpdate, QString::fromUtf8(oRun.out).trimmed());
    }
}

} // namespace

QStringList nssDatabasesOf(const QString &v_oHome)
{
    QStringList oDirs{v_oHome + QStringLiteral("/.pki/nssdb")};
    // Firefox profiles of the deb package and of the snap.
    for (const QString &oRoot : {v_oHome + QStringLiteral("/.mozilla/firefox"),
                                 v_oHome + QStringLiteral("/snap/firefox/common/.mozilla/firefox")}) {
        const QDir oFirefox(oRoot);
        for (const QString &oProfile : oFirefox.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            const QString oDir = oFirefox.filePath(oProfile);
            if (QFileInfo::exists(oDir + QStringLiteral("/cert9.db")))
                oDirs << oDir;
        }
    }
    return oDirs;
}

QStringList readRetiredAuthorities(const QString &v_oPath)
{
    QStringList oResult;
    QFile oFile(v_oPath);
    if (!oFile.open(QIODevice::ReadOnly))
        return oResult;
    for (const QByteArray &oLine : oFile.readAll().split('\n')) {
        const QByteArray oPrint = oLine.trimmed().toLower().replace(":", "");
        if (oPrint.size() == 64 && !oPrint.startsWith('#') && QByteArray::fromHex(oPrint).size() == 32)
            oResult << QString::fromLatin1(oPrint);
    }
    return oResult;
}

QString dispatcherAuthorityProblem(const QString &v_oPath)
{
    // The file and every folder above it: root's, a system account's (the
    // dispatcher's) or this account's own, and writable by nobody else (a
    // sticky folder such as /tmp keeps others from replacing what is in it);
    // what another ordinary account could have put there is never trusted.
    const auto trusted = [](uid_t v_uiOwner) { return v_uiOwner == 0 || v_uiOwner < 1000 || v_uiOwner == ::geteuid(); };
    for (QString oPath = QFileInfo(v_oPath).absoluteFilePath();; oPath = QFileInfo(oPath).absolutePath()) {
        struct stat oStat {};
        if (::lstat(QFile::encodeName(oPath).constData(), &oStat) != 0)
            return QStringLiteral("%1 is missing").arg(oPath);
        if (S_ISLNK(oStat.st_mode))
            return QStringLiteral("%1 is a symbolic link").arg(oPath);
        if (!trusted(oStat.st_uid))
            return QStringLiteral("%1 belongs to uid %2, an ordinary account's").arg(oPath).arg(oStat.st_uid);
        if ((oStat.st_mode & 022) && !(S_ISDIR(oStat.st_mode) && (oStat.st_mode & S_ISVTX)))
            return QStringLiteral("%1 is writable by others").arg(oPath);
        if (oPath == QLatin1String("/"))
            return QString();
    }
}

TrustResult applyTrust(const TrustOptions &v_oOptions)
{
    TrustResult oResult;
    QList<Anchor> oAnchors;
    oAnchors << Anchor{v_oOptions.nickname.isEmpty() ? QString::fromLatin1(kQtxCaNickname) : v_oOptions.nickname,
                       v_oOptions.caFile, QByteArray()};
    if (!v_oOptions.remove && !v_oOptions.retiredOnly) {
        QFile oCa(v_oOptions.caFile);
        if (!oCa.open(QIODevice::ReadOnly)) {
            oResult.ok = false;
            oResult.errors << QStringLiteral("no authority at %1: provision first").arg(v_oOptions.caFile);
            return oResult;
        }
        oAnchors.first().pem = normalisedPem(oCa.readAll());
    }
    if (!v_oOptions.dispatcherCaFile.isEmpty()) {
        const QString oProblem = v_oOptions.remove ? QString() : dispatcherAuthorityProblem(v_oOptions.dispatcherCaFile);
        QFile oCa(v_oOptions.dispatcherCaFile);
        if (!oProblem.isEmpty()) {
            if (QFileInfo::exists(v_oOptions.dispatcherCaFile))
                oResult.report << QStringLiteral("Trust: the dispatcher's authority is not used: %1").arg(oProblem);
        } else if (v_oOptions.remove || oCa.open(QIODevice::ReadOnly)) {
            oAnchors << Anchor{QString::fromLatin1(kQtxDispatcherCaNickname), v_oOptions.dispatcherCaFile,
                               v_oOptions.remove ? QByteArray() : normalisedPem(oCa.readAll())};
        }
    }
    const QString oHome = v_oOptions.home.isEmpty() ? QDir::homePath() : v_oOptions.home;
    if (v_oOptions.browsers) {
        const QString oForeign = notOwnProblem(oHome);
        if (oForeign.isEmpty())
            trustNss(v_oOptions, oHome, oAnchors, oResult);
        else
            oResult.report << QStringLiteral("Trust: the browsers of %1 are left alone: %2").arg(oHome, oForeign);
    }
    if (v_oOptions.system && !v_oOptions.retiredOnly) {
        if (::geteuid() == 0)
            trustSystem(v_oOptions, oAnchors.first().pem, oResult);
        else
            oResult.report << QStringLiteral("Trust: system store left alone (needs root)");
    }
    return oResult;
}
