// qtx-sign: appends the server's signature block to a module library or to a
// plain file such as "ver.ini", and checks such a block against a public key.
//
//   qtx-sign sign   --key private.pem   [--plain] [--padding N] FILE
//   qtx-sign verify --pubkey public.pem [--plain] FILE
//   qtx-sign keygen --out private.pem --pubout public.pem
//   qtx-sign fingerprint KEY.pem
//
// Exit codes: 0 done / verified, 1 signature does not verify, 2 usage error,
// 3 file or key unreadable or unwritable, 4 file cannot be signed as asked.

#include "qtxsigner.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

namespace {

enum ExitCode { kExitOk = 0, kExitBadSignature = 1, kExitUsage = 2, kExitIo = 3, kExitNotSignable = 4 };

const char *const kUsage =
    "usage: qtx-sign sign   --key PRIVATE.pem   [--plain] [--padding 0-7] FILE\n"
    "       qtx-sign verify --pubkey PUBLIC.pem [--plain] FILE\n"
    "       qtx-sign keygen --out PRIVATE.pem --pubout PUBLIC.pem\n"
    "       qtx-sign fingerprint KEY.pem\n"
    "  --plain    plain-file block (ver.ini): signed from byte 0, marker as the last byte\n"
    "  --padding  bytes after the marker of a module block (default: up to an 8-byte boundary)\n";

int usage(const QString &v_oProblem)
{
    if (!v_oProblem.isEmpty())
        std::fprintf(stderr, "qtx-sign: %s\n", qPrintable(v_oProblem));
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int exitCodeFor(qtxsign::Outcome v_eOutcome)
{
    switch (v_eOutcome) {
    case qtxsign::Outcome::Ok: return kExitOk;
    case qtxsign::Outcome::BadSignature: return kExitBadSignature;
    case qtxsign::Outcome::IoError: return kExitIo;
    case qtxsign::Outcome::NotSignable: return kExitNotSignable;
    }
    return kExitIo;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    QStringList oArgs = oApp.arguments().mid(1);
    if (oArgs.isEmpty() || oArgs.first() == QLatin1String("--help") || oArgs.first() == QLatin1String("-h"))
        return usage(oArgs.isEmpty() ? QStringLiteral("no command given") : QString());
    const QString oCommand = oArgs.takeFirst();
    if (oCommand == QLatin1String("keygen")) {
        // A vendor's key pair: the public half goes to the machines' key folder.
        const int iOut = oArgs.indexOf(QStringLiteral("--out")), iPub = oArgs.indexOf(QStringLiteral("--pubout"));
        if (oArgs.size() != 4 || iOut < 0 || iPub < 0 || iOut + 1 >= oArgs.size() || iPub + 1 >= oArgs.size())
            return usage(QStringLiteral("keygen needs --out PRIVATE.pem and --pubout PUBLIC.pem"));
        QString oMessage;
        const qtxsign::Outcome eOutcome = qtxsign::generateKey(oArgs.at(iOut + 1), oArgs.at(iPub + 1), &oMessage);
        std::fprintf(eOutcome == qtxsign::Outcome::Ok ? stdout : stderr, "qtx-sign: %s\n", qPrintable(oMessage));
        return exitCodeFor(eOutcome);
    }
    if (oCommand == QLatin1String("fingerprint")) {
        if (oArgs.size() != 1)
            return usage(QStringLiteral("fingerprint needs one key file"));
        QFile oKey(oArgs.first());
        if (!oKey.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "qtx-sign: cannot read key %s: %s\n", qPrintable(oKey.fileName()), qPrintable(oKey.errorString()));
            return kExitIo;
        }
        QString oMessage;
        const QByteArray oPrint = qtxsign::keyFingerprint(oKey.readAll(), &oMessage);
        if (oPrint.isEmpty()) {
            std::fprintf(stderr, "qtx-sign: %s\n", qPrintable(oMessage));
            return kExitIo;
        }
        std::printf("%s\n", oPrint.constData());
        return kExitOk;
    }
    const bool bSign = oCommand == QLatin1String("sign");
    if (!bSign && oCommand != QLatin1String("verify"))
        return usage(QStringLiteral("unknown command \"%1\"").arg(oCommand));

    QString oKeyPath, oFilePath;
    bool bPlain = false;
    int iPadding = qtxsign::kAutoPadding;
    const QString oKeyOption = bSign ? QStringLiteral("--key") : QStringLiteral("--pubkey");
    while (!oArgs.isEmpty()) {
        const QString oArg = oArgs.takeFirst();
        if (oArg == oKeyOption) {
            if (oArgs.isEmpty())
                return usage(oKeyOption + QStringLiteral(" needs a file"));
            oKeyPath = oArgs.takeFirst();
        } else if (oArg == QLatin1String("--plain")) {
            bPlain = true;
        } else if (bSign && oArg == QLatin1String("--padding")) {
            bool bOk = false;
            iPadding = oArgs.isEmpty() ? -2 : oArgs.takeFirst().toInt(&bOk);
            if (!bOk || iPadding < 0 || iPadding > 7)
                return usage(QStringLiteral("--padding needs a number from 0 to 7"));
        } else if (oArg.startsWith(QLatin1Char('-'))) {
            return usage(QStringLiteral("unknown option \"%1\"").arg(oArg));
        } else if (oFilePath.isEmpty()) {
            oFilePath = oArg;
        } else {
            return usage(QStringLiteral("only one FILE may be given"));
        }
    }
    if (oKeyPath.isEmpty())
        return usage(oKeyOption + QStringLiteral(" is required"));
    if (oFilePath.isEmpty())
        return usage(QStringLiteral("FILE is required"));
    if (bPlain && iPadding > 0)
        return usage(QStringLiteral("--padding does not apply to --plain"));

    QFile oKeyFile(oKeyPath);
    if (!oKeyFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "qtx-sign: cannot read key %s: %s\n", qPrintable(oKeyPath), qPrintable(oKeyFile.errorString()));
        return kExitIo;
    }
    const QByteArray oKeyPem = oKeyFile.readAll();

    QString oMessage;
    const qtxsign::Outcome eOutcome = bSign ? qtxsign::signFile(oFilePath, oKeyPem, bPlain, bPlain ? 0 : iPadding, &oMessage)
                                            : qtxsign::verifyFile(oFilePath, oKeyPem, bPlain, &oMessage);
    std::fprintf(eOutcome == qtxsign::Outcome::Ok ? stdout : stderr, "qtx-sign: %s\n", qPrintable(oMessage));
    return exitCodeFor(eOutcome);
}
