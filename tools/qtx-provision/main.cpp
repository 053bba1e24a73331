// qtx-provision: what an installer does for the server, per account.
//
//  * creates the calling account's secret if it is missing (getrandom, 0600);
//  * creates a local certificate authority of this account and a server
//    certificate for 127.0.0.1 and localhost signed by it (or imports given PEM
//    files); the authority's private key is discarded after signing;
//  * writes the server key as an encrypted PEM (0600) opened by the pass phrase
//    of this machine and account, all in the account's key store (see
//    transport/keystore.h; root without XDG_CONFIG_HOME: /var/lib/quorvex/...);
//  * with --trust, makes the desktop browsers of the calling user trust this
//    account's authority (and, as root, the system store); --untrust takes
//    that back.
// Re-running keeps what still works and says so, so the user unit runs it
// before every start.

#include "keystore.h"
#include "qtxpaths.h"
#include "provisioning.h"
#include "trust.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include <sys/stat.h>

namespace {

// A public copy of the account's authority certificate for clients that cannot
// read the store (tests, curl of another account).
bool exportAuthority(const QString &v_oTarget, QString &v_oError)
{
    QFile oSource(authorityPath());
    if (!oSource.open(QIODevice::ReadOnly)) {
        v_oError = QStringLiteral("cannot read %1: %2").arg(oSource.fileName(), oSource.errorString());
        return false;
    }
    const QByteArray oPem = oSource.readAll();
    QDir().mkpath(QFileInfo(v_oTarget).absolutePath());
    QSaveFile oTarget(v_oTarget);
    if (!oTarget.open(QIODevice::WriteOnly) || oTarget.write(oPem) != oPem.size()) {
        v_oError = QStringLiteral("cannot write %1: %2").arg(v_oTarget, oTarget.errorString());
        return false;
    }
    oTarget.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    if (!oTarget.commit()) {
        v_oError = QStringLiteral("cannot write %1: %2").arg(v_oTarget, oTarget.errorString());
        return false;
    }
    return true;
}

// The nickname of this store's authority in NSS databases: the plain one for
// the account's own store (and root's), one with the store's folder name for
// any other (a source-tree run's), so that the two never replace each other.
QString storeNickname()
{
    const QString oStore = KeyStore::folder();
    if (qEnvironmentVariableIsEmpty("QTX_KEY_DIR") || KeyStore::isSystemStore()
        || oStore == QDir::cleanPath(qtxUserDataDir()))
        return QString::fromLatin1(kQtxCaNickname);
    return QStringLiteral("%1 (%2)").arg(QString::fromLatin1(kQtxCaNickname), QFileInfo(oStore).fileName());
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing this tool creates is meant for other accounts unless it says so.
    ::umask(077);
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qtx-provision"));

    QCommandLineParser oParser;
    oParser.setApplicationDescription(QStringLiteral(
        "Prepares the TLS certificate and the pass-phrase protected key of the Quorvex Crypto Provider server."));
    oParser.addHelpOption();
    const QCommandLineOption oDir(QStringLiteral("dir"),
                                  QStringLiteral("Ignored (the certificate and key now live in the account's key store)."),
                                  QStringLiteral("folder"));
    const QCommandLineOption oStore(QStringLiteral("store"),
                                    QStringLiteral("Key store folder instead of the account's data folder (as QTX_KEY_DIR; "
                                                   "the server must be started with the same QTX_KEY_DIR)."),
                                    QStringLiteral("folder"));
    const QCommandLineOption oExport(QStringLiteral("export-authority"),
                                     QStringLiteral("After provisioning, write a public copy (0644) of this account's "
                                                    "authority certificate to this file."),
                                     QStringLiteral("file"));
    const QCommandLineOption oAuthority(QStringLiteral("authority"),
                                        QStringLiteral("With --trust or --untrust: this authority certificate instead of the "
                                                       "account's own; provisions nothing."),
                                        QStringLiteral("pem"));
    const QCommandLineOption oForce(QStringLiteral("force"), QStringLiteral("Issue a new authority and certificate even if the current ones work."));
    const QCommandLineOption oImportCert(QStringLiteral("import-cert"), QStringLiteral("Use this PEM certificate instead of issuing one."), QStringLiteral("pem"));
    const QCommandLineOption oImportKey(QStringLiteral("import-key"), QStringLiteral("Private key (PEM) of the imported certificate."), QStringLiteral("pem"));
    const QCommandLineOption oImportPassEnv(QStringLiteral("import-pass-env"),
                                            QStringLiteral("Environment variable holding the pass phrase of the imported key."), QStringLiteral("name"));
    const QCommandLineOption oCheck(QStringLiteral("check"), QStringLiteral("Only check that the key opens with this account's pass phrase and matches the certificate."));
    const QCommandLineOption oTrust(QStringLiteral("trust"),
                                    QStringLiteral("After provisioning, install this account's local authority for its browsers "
                                                   "(~/.pki/nssdb, Firefox profiles) and, as root, the system store."));
    const QCommandLineOption oUntrust(QStringLiteral("untrust"),
                                      QStringLiteral("Remove the local authority from those places; provisions nothing."));
    const QCommandLineOption oRetired(QStringLiteral("remove-retired"),
                                      QStringLiteral("Only take the authorities an older version shared among accounts "
                                                     "(listed by fingerprint in %1) out of this account's browser "
                                                     "databases; --trust does it too.")
                                          .arg(QString::fromLatin1(kQtxRetiredAuthoritiesFile)));
    const QCommandLineOption oSystemOnly(QStringLiteral("system-only"),
                                         QStringLiteral("With --trust or --untrust: only the system store (as root), no browser "
                                                        "databases (what the package's install scripts use)."));
    oParser.addOptions({oDir, oStore, oExport, oAuthority, oForce, oImportCert, oImportKey, oImportPassEnv, oCheck, oTrust,
                        oUntrust, oRetired, oSystemOnly});
    oParser.process(oApp);

    QTextStream oOut(stdout);
    QTextStream oErr(stderr);
    if (oParser.isSet(oStore))
        qputenv("QTX_KEY_DIR", QFile::encodeName(QFileInfo(oParser.value(oStore)).absoluteFilePath()));
    ProvisionOptions oOptions;
    oOptions.force = oParser.isSet(oForce);
    oOptions.checkOnly = oParser.isSet(oCheck);
    oOptions.importCert = oParser.value(oImportCert);
    oOptions.importKey = oParser.value(oImportKey);
    if (oParser.isSet(oImportPassEnv))
        oOptions.importPass = qgetenv(oParser.value(oImportPassEnv).toLocal8Bit().constData());
    if (oOptions.importCert.isEmpty() != oOptions.importKey.isEmpty()) {
        oErr << "qtx-provision: --import-cert and --import-key go together\n";
        return 2;
    }

    if (oParser.isSet(oTrust) && oParser.isSet(oUntrust)) {
        oErr << "qtx-provision: --trust and --untrust exclude each other\n";
        return 2;
    }

    if (oParser.isSet(oAuthority) && !oParser.isSet(oTrust) && !oParser.isSet(oUntrust)) {
        oErr << "qtx-provision: --authority goes with --trust or --untrust\n";
        return 2;
    }
    const bool bRetiredOnly = oParser.isSet(oRetired) && !oParser.isSet(oTrust) && !oParser.isSet(oUntrust);
    if (!oParser.isSet(oUntrust) && !oParser.isSet(oAuthority) && !bRetiredOnly) {
        const ProvisionResult oResult = provision(oOptions);
        for (const QString &oLine : oResult.report)
            oOut << oLine << "\n";
        oOut.flush();
        if (!oResult.ok) {
            oErr << "qtx-provision: " << oResult.error << "\n";
            return 1;
        }
        if (oParser.isSet(oExport)) {
            QString oError;
            if (!exportAuthority(oParser.value(oExport), oError)) {
                oErr << "qtx-provision: " << oError << "\n";
                return 1;
            }
            oOut << "Authority: public copy in " << oParser.value(oExport) << "\n";
            oOut.flush();
        }
        if (!oParser.isSet(oTrust))
            return 0;
    }

    TrustOptions oTrustOptions;
    oTrustOptions.caFile = oParser.isSet(oAuthority) ? oParser.value(oAuthority) : authorityPath();
    oTrustOptions.nickname = storeNickname();
    oTrustOptions.remove = oParser.isSet(oUntrust);
    oTrustOptions.retiredOnly = bRetiredOnly;
    // The dispatcher's authority goes with the account's own (pages ask the
    // dispatcher where their instance listens), never with a given file.
    const QString oDispatcherCa = qEnvironmentVariableIsSet("QTX_DISPATCHER_AUTHORITY")
                                      ? qEnvironmentVariable("QTX_DISPATCHER_AUTHORITY")
                                      : KeyStore::dispatcherAuthorityPath();
    if (!oParser.isSet(oAuthority) && QDir::cleanPath(oDispatcherCa) != QDir::cleanPath(authorityPath()))
        oTrustOptions.dispatcherCaFile = oDispatcherCa;
    oTrustOptions.retired = readRetiredAuthorities(qEnvironmentVariableIsSet("QTX_RETIRED_AUTHORITIES")
                                                       ? qEnvironmentVariable("QTX_RETIRED_AUTHORITIES")
                                                       : QString::fromLatin1(kQtxRetiredAuthoritiesFile));
    // The system store holds the dispatcher's authority: changed for that
    // store, for a given authority, or when asked (as root only); never for an
    // account's own or a source-tree store, even run as root.
    oTrustOptions.system = KeyStore::isSystemStore() || oParser.isSet(oAuthority) || oParser.isSet(oSystemOnly);
    oTrustOptions.browsers = !oParser.isSet(oSystemOnly);
    // Overrides for tests that must not touch the machine's own store.
    oTrustOptions.systemCaDir = qEnvironmentVariable("QTX_SYSTEM_CA_DIR");
    oTrustOptions.updateCommand = qEnvironmentVariable("QTX_UPDATE_CA_COMMAND");
    const TrustResult oTrustResult = applyTrust(oTrustOptions);
    for (const QString &oLine : oTrustResult.report)
        oOut << oLine << "\n";
    oOut.flush();
    for (const QString &oLine : oTrustResult.errors)
        oErr << "qtx-provision: " << oLine << "\n";
    if (oTrustResult.ok && !oTrustOptions.remove && oTrustOptions.browsers)
        oOut << "Restart the browsers so that they read the new trust settings.\n";
    return oTrustResult.ok ? 0 : 1;
}
