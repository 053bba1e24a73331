// qtx-provision: what an installer does for the server on this machine.
//
//  * creates the machine seed if it is missing (needs write access to its folder);
//  * creates a local certificate authority for this machine and a server
//    certificate for 127.0.0.1 and localhost signed by it (or imports given PEM
//    files); the authority's private key is discarded after signing;
//  * writes the server key as an encrypted PEM opened by the machine's pass
//    phrase, where the INI file expects the certificate and key;
//  * with --trust, makes the desktop browsers of the calling user trust the
//    local authority (and the system store when run as root); --untrust
//    takes that back.
// Re-running keeps what still works and says so.

#include "provisioning.h"
#include "trust.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

namespace {

// Where the Debian package installs the server and its INI file.
const char *const kPackagedServerDir = "/usr/lib/quorvex-crypto-provider";

// The current folder when it holds the server's INI file, else the packaged
// installation when there is one, else the current folder.
QString defaultServerDir()
{
    const QString oIni = QStringLiteral("/QuorvexCryptoProvider.ini");
    if (!QFileInfo::exists(QDir::currentPath() + oIni)
        && QFileInfo::exists(QString::fromLatin1(kPackagedServerDir) + oIni))
        return QString::fromLatin1(kPackagedServerDir);
    return QDir::currentPath();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qtx-provision"));

    QCommandLineParser oParser;
    oParser.setApplicationDescription(QStringLiteral(
        "Prepares the TLS certificate and the pass-phrase protected key of the Quorvex Crypto Provider server."));
    oParser.addHelpOption();
    const QCommandLineOption oDir(QStringLiteral("dir"),
                                  QStringLiteral("Folder of the server executable and its INI file (default: the current "
                                                 "folder when it holds the INI file, else %1 when installed).")
                                      .arg(QString::fromLatin1(kPackagedServerDir)),
                                  QStringLiteral("folder"), defaultServerDir());
    const QCommandLineOption oForce(QStringLiteral("force"), QStringLiteral("Issue a new authority and certificate even if the current ones work."));
    const QCommandLineOption oImportCert(QStringLiteral("import-cert"), QStringLiteral("Use this PEM certificate instead of issuing one."), QStringLiteral("pem"));
    const QCommandLineOption oImportKey(QStringLiteral("import-key"), QStringLiteral("Private key (PEM) of the imported certificate."), QStringLiteral("pem"));
    const QCommandLineOption oImportPassEnv(QStringLiteral("import-pass-env"),
                                            QStringLiteral("Environment variable holding the pass phrase of the imported key."), QStringLiteral("name"));
    const QCommandLineOption oCheck(QStringLiteral("check"), QStringLiteral("Only check that the key opens with this machine's pass phrase and matches the certificate."));
    const QCommandLineOption oTrust(QStringLiteral("trust"),
                                    QStringLiteral("After provisioning, install the local authority for this user's browsers "
                                                   "(~/.pki/nssdb, Firefox profiles) and, as root, the system store."));
    const QCommandLineOption oUntrust(QStringLiteral("untrust"),
                                      QStringLiteral("Remove the local authority from those places; provisions nothing."));
    const QCommandLineOption oSystemOnly(QStringLiteral("system-only"),
                                         QStringLiteral("With --trust or --untrust: only the system store (as root), no browser "
                                                        "databases (what the package's install scripts use)."));
    oParser.addOptions({oDir, oForce, oImportCert, oImportKey, oImportPassEnv, oCheck, oTrust, oUntrust, oSystemOnly});
    oParser.process(oApp);

    QTextStream oOut(stdout);
    QTextStream oErr(stderr);
    ProvisionOptions oOptions;
    oOptions.appDir = QFileInfo(oParser.value(oDir)).absoluteFilePath();
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

    if (!oParser.isSet(oUntrust)) {
        const ProvisionResult oResult = provision(oOptions);
        for (const QString &oLine : oResult.report)
            oOut << oLine << "\n";
        oOut.flush();
        if (!oResult.ok) {
            oErr << "qtx-provision: " << oResult.error << "\n";
            return 1;
        }
        if (!oParser.isSet(oTrust))
            return 0;
    }

    TrustOptions oTrustOptions;
    oTrustOptions.caFile = authorityPath(oOptions.appDir);
    oTrustOptions.remove = oParser.isSet(oUntrust);
    oTrustOptions.system = true; // only acted on as root
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
