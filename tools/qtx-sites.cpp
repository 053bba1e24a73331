// qtx-sites: what the Signer keeps for this account about web sites: the
// certificates each site may see without asking (grants), and the receipts of
// every decision in its dialogs.
//
//   qtx-sites [--store DIR] list
//   qtx-sites [--store DIR] revoke ORIGIN
//   qtx-sites [--store DIR] revoke-all
//   qtx-sites [--store DIR] receipts
//
// Exit codes: 0 done, 1 the store cannot be read or written, 2 usage error,
// 3 the origin holds no grant.

#include "signerstore.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

enum ExitCode { kExitOk = 0, kExitStore = 1, kExitUsage = 2, kExitNoGrant = 3 };

const char *const kUsage =
    "usage: qtx-sites [--store DIR] list          sites and the certificates they may see\n"
    "       qtx-sites [--store DIR] revoke ORIGIN  the site asks again (e.g. https://shop.example)\n"
    "       qtx-sites [--store DIR] revoke-all     every site asks again\n"
    "       qtx-sites [--store DIR] receipts       one line per decision in the Signer's dialogs\n"
    "  --store  the Signer store (default ${XDG_CONFIG_HOME:-~/.config}/Quorvex/QuorvexCryptoProvider/signer)\n";

int usage(const char *v_pProblem)
{
    if (v_pProblem)
        std::fprintf(stderr, "qtx-sites: %s\n", v_pProblem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// What the tool prints from the store is escaped: the store is the account's
// own, but its text came from web pages.
void printLine(const QByteArray &v_oLine)
{
    std::fwrite(v_oLine.constData(), 1, static_cast<size_t>(v_oLine.size()), stdout);
    std::fputc('\n', stdout);
}

// A stored line is printable ASCII already; a byte that is not (a file edited
// by hand) is shown as \xNN.
QByteArray printable(const QByteArray &v_oLine)
{
    QByteArray oOut;
    for (const char c : v_oLine) {
        if (c >= 0x20 && c < 0x7f)
            oOut += c;
        else
            oOut += "\\x" + QByteArray::number(static_cast<uchar>(c), 16).rightJustified(2, '0');
    }
    return oOut;
}

// Origins as browsers send them: lower-case, without a trailing slash.
QString canonicalOrigin(QString v_oText)
{
    v_oText = v_oText.trimmed().toLower();
    if (v_oText.endsWith(QLatin1Char('/')))
        v_oText.chop(1);
    return v_oText;
}

int list(const SignerStore &v_oStore)
{
    const QMap<QString, QList<Grant>> oGrants = v_oStore.allGrants();
    if (oGrants.isEmpty()) {
        printLine("No site holds a grant: every site asks before it sees a certificate.");
        return kExitOk;
    }
    for (auto it = oGrants.constBegin(); it != oGrants.constEnd(); ++it) {
        printLine(escapedAscii(it.key()));
        for (const Grant &oGrant : it.value()) {
            printLine("  " + escapedAscii(oGrant.purpose).leftJustified(6) + ' ' + escapedAscii(oGrant.subject)
                      + "  sha256:" + oGrant.fingerprint.left(16).toLatin1() + "...  granted "
                      + oGrant.granted.toUTC().toString(Qt::ISODate).toLatin1());
        }
    }
    return kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    QStringList oArgs = oApp.arguments().mid(1);
    QString oDir = SignerStore::defaultDir();
    if (oArgs.size() >= 2 && oArgs.first() == QLatin1String("--store")) {
        oDir = oArgs.at(1);
        oArgs = oArgs.mid(2);
    }
    if (oArgs.isEmpty())
        return usage("no command given");
    const QString oCommand = oArgs.takeFirst();
    if (oCommand == QLatin1String("--help") || oCommand == QLatin1String("-h"))
        return usage(nullptr);
    const bool bRevoke = oCommand == QLatin1String("revoke");
    if (oArgs.size() != (bRevoke ? 1 : 0))
        return usage(bRevoke ? "revoke takes one origin" : "too many arguments");

    SignerStore oStore(oDir);
    try {
        if (oCommand == QLatin1String("list"))
            return list(oStore);
        if (bRevoke) {
            const QString oOrigin = canonicalOrigin(oArgs.first());
            const int iRemoved = oStore.revoke(oOrigin);
            if (iRemoved == 0) {
                printLine(escapedAscii(oOrigin) + " holds no grant.");
                return kExitNoGrant;
            }
            printLine("Revoked " + QByteArray::number(iRemoved) + " grant(s) of " + escapedAscii(oOrigin)
                      + ": it asks again.");
            return kExitOk;
        }
        if (oCommand == QLatin1String("revoke-all")) {
            printLine("Revoked " + QByteArray::number(oStore.revokeAll()) + " grant(s): every site asks again.");
            return kExitOk;
        }
        if (oCommand == QLatin1String("receipts")) {
            for (const QByteArray &oLine : oStore.receipts())
                printLine(printable(oLine));
            return kExitOk;
        }
    } catch (const StoreError &v_oError) {
        std::fprintf(stderr, "qtx-sites: %s\n", v_oError.what());
        return kExitStore;
    }
    return usage("unknown command");
}
