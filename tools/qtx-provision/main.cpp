// qtx-provision: what an installer does for the server on this machine.
//
//  * creates the machine seed if it is missing (needs write access to its folder);
//  * creates a local certificate authority for this machine and a server
//    certificate for 127.0.0.1 and localhost signed by it (or imports given PEM
//    files); the authority's private key is discarded after signing;
//  * writes the server key as an encrypted PEM opened by the machine's pass
//    phrase, where the INI file expects the certificate and key.
// Re-running keeps a certificate and key that still work and says so.

#include "provisioning.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qtx-provision"));

    QCommandLineParser oParser;
    oParser.setApplicationDescription(QStringLiteral(
        "Prepares the TLS certificate and the pass-phrase protected key of the Quorvex Crypto Provider server."));
    oParser.addHelpOption();
    const QCommandLineOption oDir(QStringLiteral("dir"),
                                  QStringLiteral("Folder of the server executable and its INI file (default: current folder)."),
                                  QStringLiteral("folder"), QDir::currentPath());
    const QCommandLineOption oForce(QStringLiteral("force"), QStringLiteral("Issue a new authority and certificate even if the current ones work."));
    const QCommandLineOption oImportCert(QStringLiteral("import-cert"), QStringLiteral("Use this PEM certificate instead of issuing one."), QStringLiteral("pem"));
    const QCommandLineOption oImportKey(QStringLiteral("import-key"), QStringLiteral("Private key (PEM) of the imported certificate."), QStringLiteral("pem"));
    const QCommandLineOption oImportPassEnv(QStringLiteral("import-pass-env"),
                                            QStringLiteral("Environment variable holding the pass phrase of the imported key."), QStringLiteral("name"));
    const QCommandLineOption oCheck(QStringLiteral("check"), QStringLiteral("Only check that the key opens with this machine's pass phrase and matches the certificate."));
    oParser.addOptions({oDir, oForce, oImportCert, oImportKey, oImportPassEnv, oCheck});
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

    const ProvisionResult oResult = provision(oOptions);
    for (const QString &oLine : oResult.report)
        oOut << oLine << "\n";
    oOut.flush();
    if (!oResult.ok) {
        oErr << "qtx-provision: " << oResult.error << "\n";
        return 1;
    }
    return 0;
}
