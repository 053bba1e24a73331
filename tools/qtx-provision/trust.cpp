#include "trust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSaveFile>

#include <unistd.h>

const char *const kQtxCaNickname = "Quorvex Crypto Provider Local CA";
const char *const kQtxSystemCaFile = "quorvex-local-ca.crt";

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

    // PEM of the certificate under our nickname, empty when there is none.
    QByteArray current() const
    {
        const Run oRun = run(m_certutil, {QStringLiteral("-L"), QStringLiteral("-d"), dbArg(), QStringLiteral("-n"),
                                          QString::fromLatin1(kQtxCaNickname), QStringLiteral("-a")});
        return oRun.code == 0 ? normalisedPem(oRun.out) : QByteArray();
    }

    // Trusted for issuing TLS server certificates ("C,,").
    bool isTrustedForServers() const
    {
        const Run oRun = run(m_certutil, {QStringLiteral("-L"), QStringLiteral("-d"), dbArg()});
        for (const QByteArray &oLine : oRun.out.split('\n')) {
            if (oLine.startsWith(kQtxCaNickname)) {
                const QByteArray oFlags = oLine.mid(int(qstrlen(kQtxCaNickname))).trimmed();
                return oFlags.split(',').value(0).contains('C');
            }
        }
        return false;
    }

    bool add(const QString &v_oCaFile, QString &v_oError) const
    {
        const Run oRun = run(m_certutil, {QStringLiteral("-A"), QStringLiteral("-d"), dbArg(), QStringLiteral("-n"),
                                          QString::fromLatin1(kQtxCaNickname), QStringLiteral("-t"), QStringLiteral("C,,"),
                                          QStringLiteral("-i"), v_oCaFile});
        if (oRun.code != 0)
            v_oError = QString::fromUtf8(oRun.out).trimmed();
        return oRun.code == 0;
    }

    // Deletes every certificate under our nickname; the number deleted.
    int removeAll() const
    {
        int iCount = 0;
        while (iCount < 16) {
            const Run oRun = run(m_certutil, {QStringLiteral("-D"), QStringLiteral("-d"), dbArg(), QStringLiteral("-n"),
                                              QString::fromLatin1(kQtxCaNickname)});
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

QString label(const QString &v_oDir, const QString &v_oHome)
{
    return v_oDir == v_oHome + QStringLiteral("/.pki/nssdb") ? QStringLiteral("Chromium") : QStringLiteral("Firefox");
}

void trustNss(const TrustOptions &v_oOptions, const QString &v_oHome, const QByteArray &v_oCaPem, TrustResult &v_oResult)
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
        QString oError;
        if (v_oOptions.remove) {
            if (!oDb.exists())
                continue;
            const int iRemoved = oDb.removeAll();
            v_oResult.report << (iRemoved ? QStringLiteral("Trust: removed the authority from %1").arg(oWhere)
                                          : QStringLiteral("Trust: not in %1, nothing to remove").arg(oWhere));
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
        const QByteArray oCurrent = oDb.current();
        if (oCurrent == v_oCaPem && oDb.isTrustedForServers()) {
            v_oResult.report << QStringLiteral("Trust: kept the authority in %1").arg(oWhere);
            continue;
        }
        if (!oCurrent.isEmpty()) {
            oDb.removeAll();
            v_oResult.report << QStringLiteral("Trust: replaced an older authority in %1").arg(oWhere);
        }
        if (oDb.add(v_oOptions.caFile, oError)) {
            v_oResult.report << QStringLiteral("Trust: added the authority to %1").arg(oWhere);
        } else {
            v_oResult.ok = false;
            v_oResult.errors << QStringLiteral("cannot add the authority to %1: %2").arg(oWhere, oError);
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

TrustResult applyTrust(const TrustOptions &v_oOptions)
{
    TrustResult oResult;
    QByteArray oCaPem;
    if (!v_oOptions.remove) {
        QFile oCa(v_oOptions.caFile);
        if (!oCa.open(QIODevice::ReadOnly)) {
            oResult.ok = false;
            oResult.errors << QStringLiteral("no authority at %1: provision first").arg(v_oOptions.caFile);
            return oResult;
        }
        oCaPem = normalisedPem(oCa.readAll());
    }
    const QString oHome = v_oOptions.home.isEmpty() ? QDir::homePath() : v_oOptions.home;
    if (v_oOptions.browsers)
        trustNss(v_oOptions, oHome, oCaPem, oResult);
    if (v_oOptions.system) {
        if (::geteuid() == 0)
            trustSystem(v_oOptions, oCaPem, oResult);
        else
            oResult.report << QStringLiteral("Trust: system store left alone (needs root)");
    }
    return oResult;
}
