// signer_login [runs]: one Signer/Authenticate through the real server (session,
// POST, picker, consent with the PIN, GET_RESULT polled every 2 ms; the dialogs
// answered through the module's test hook as soon as they show) against one
// `pkcs11-tool --sign` with the same SoftHSM2 key, for an RSA 2048 and an EC
// P-256 log-in key. Medians and minima per key. Starts a server: run it under
// the shared lock. As root it runs itself again as the account qtxsigner (the
// server refuses modules to root clients).

#include "signerbench.h"

#include <QElapsedTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace signerbench;

namespace {

const QString kToken = QStringLiteral("QTX Bench");

struct Key
{
    QString name;
    QString id;
    QString mechanism;
    QStringList newKey; // openssl req's key options
};

int bench(int v_iRuns)
{
    SignerBench oBench("signer_login");
    const QString oDir = oBench.dir();
    writeFile(oDir + QStringLiteral("/auth.ext"),
              "keyUsage=critical,digitalSignature,keyAgreement\nextendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n");
    const QList<Key> oKeys = {
        {QStringLiteral("RSA 2048"), QStringLiteral("01"), QStringLiteral("RSA-PKCS"), {QStringLiteral("rsa:2048")}},
        {QStringLiteral("EC P-256"), QStringLiteral("02"), QStringLiteral("ECDSA"),
         {QStringLiteral("ec"), QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256")}}};
    bool bOk = oBench.initToken(kToken)
               && oBench.run(words("openssl req -x509 -newkey rsa:2048 -nodes -keyout %1/ca.key -out %1/ca.pem "
                                   "-subj /CN=QTX-Bench-CA -days 2", {oDir}));
    for (const Key &oKey : oKeys) {
        const QString oBase = oDir + QStringLiteral("/") + oKey.id;
        bOk = bOk
              && oBench.run(words("openssl req -new -nodes -keyout %1.key -out %1.csr -subj %2 -newkey",
                                  {oBase, QStringLiteral("/O=QTX Bench/CN=Login ") + oKey.name})
                            + oKey.newKey)
              && oBench.run(words("openssl x509 -req -in %1.csr -CA %2/ca.pem -CAkey %2/ca.key -CAcreateserial -days 2 "
                                  "-extfile %2/auth.ext -out %1.pem", {oBase, oDir}))
              && oBench.importKey(kToken, oBase, oKey.id);
    }
    if (!bOk || !oBench.startServer())
        return 1;

    // Waits for the dialog of the kind and answers it (the picker: the line
    // naming the key).
    const auto answer = [&](const QByteArray &v_oKind, const Key &v_oKey) {
        const QByteArray oText = oBench.waitForDialog(v_oKind, 10000);
        if (oText.isEmpty())
            return false;
        QByteArray oAnswer = "pin:" + kPin.toLatin1();
        if (v_oKind == "picker") {
            for (const QByteArray &oLine : oText.split('\n')) {
                if (oLine.startsWith("item") && oLine.contains(v_oKey.name.toUtf8()))
                    oAnswer = "pick:" + oLine.mid(4, oLine.indexOf('=') - 4);
            }
        }
        return oBench.answer(oAnswer, 10000);
    };

    const QString oData = oDir + QStringLiteral("/data.bin");
    writeFile(oData, QByteArray(32, 'd'));
    const QByteArray oNonce = QUrl::toPercentEncoding(QString::fromLatin1(QByteArray(32, 'n').toBase64()));
    int iCmdId = 0;
    for (const Key &oKey : oKeys) {
        std::vector<double> oLogIns, oTool;
        for (int i = 0; i < v_iRuns; ++i) {
            const QByteArray oSession = oBench.post("/OPEN_SESSION").body;
            const QByteArray oCmdId = QByteArray::number(++iCmdId);
            const QList<QByteArray> oHeaders = {"X-QTX-sessionId: " + oSession, "X-QTX-cmdId: " + oCmdId};
            QElapsedTimer oTimer;
            oTimer.start();
            if (oBench.post("/Signer/Authenticate", "nonce=" + oNonce, oHeaders + QList<QByteArray>{"Origin: https://shop.example"}).status != 202
                || !answer("picker", oKey) || !answer("consent", oKey)) {
                std::fprintf(stderr, "signer_login: the log-in did not reach its dialogs; the server's log: %s\n",
                             qPrintable(oBench.server().logFilePath()));
                return 1;
            }
            const HttpReply oReply = oBench.result(oSession, oCmdId);
            oLogIns.push_back(oTimer.nsecsElapsed() / 1e6);
            if (!oReply.body.contains("\"signature\"")) {
                std::fprintf(stderr, "signer_login: no signature: %s\n", oReply.body.constData());
                return 1;
            }
            oTimer.restart();
            if (!oBench.toolSign(kToken, oKey.id, oKey.mechanism, oData))
                return 1;
            oTool.push_back(oTimer.nsecsElapsed() / 1e6);
        }
        std::printf("%s, %d runs: log-in through the server median %.1f ms (min %.1f), pkcs11-tool --sign median %.1f ms "
                    "(min %.1f); load average %s\n",
                    qPrintable(oKey.name), v_iRuns, median(oLogIns), *std::min_element(oLogIns.begin(), oLogIns.end()),
                    median(oTool), *std::min_element(oTool.begin(), oTool.end()), loadAverage().constData());
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    return benchMain(argc, argv, {15}, [](const std::vector<int> &v_oCounts) { return bench(v_oCounts[0]); });
}
