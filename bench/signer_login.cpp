// signer_login [runs]: one Signer/Authenticate through the real server (session,
// POST, picker, consent with the PIN, GET_RESULT polled every 2 ms; the dialogs
// answered through the module's test hook as soon as they show) against one
// `pkcs11-tool --sign` with the same SoftHSM2 key, for an RSA 2048 and an EC
// P-256 log-in key. Medians and minima per key. Starts a server: run it under
// the shared lock. As root it runs itself again as the account qtxsigner (the
// server refuses modules to root clients).

#include "httpsclient.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
const QString kToken = QStringLiteral("QTX Bench");
const QString kPin = QStringLiteral("1234");

QByteArray readFile(const QString &v_oPath)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

bool writeFile(const QString &v_oPath, const QByteArray &v_oData)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(v_oData) == v_oData.size();
}

// A command line: the template's words with %1, %2, ... replaced in each word
// (an argument with blanks stays one word).
QStringList words(const char *v_pTemplate, const QStringList &v_oArgs)
{
    QStringList oWords = QString::fromLatin1(v_pTemplate).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString &oWord : oWords) {
        for (int i = v_oArgs.size(); i >= 1; --i)
            oWord.replace(QLatin1Char('%') + QString::number(i), v_oArgs.at(i - 1));
    }
    return oWords;
}

bool run(const QString &v_oProgram, const QStringList &v_oArguments, const QProcessEnvironment &v_oEnv)
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.setProcessEnvironment(v_oEnv);
    oProcess.start(v_oProgram, v_oArguments);
    const bool bOk = oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit
                     && oProcess.exitCode() == 0;
    if (!bOk)
        std::fprintf(stderr, "%s %s: %s\n", qPrintable(v_oProgram), qPrintable(v_oArguments.join(QLatin1Char(' '))),
                     oProcess.readAll().constData());
    return bOk;
}

double median(std::vector<double> v_oTimes)
{
    std::sort(v_oTimes.begin(), v_oTimes.end());
    return v_oTimes[v_oTimes.size() / 2];
}

struct Key
{
    QString name;
    QString id;
    QString mechanism;
    QString newKey; // openssl req's key options
};

int bench(int v_iRuns)
{
    QTemporaryDir oWork;
    const QString oDir = oWork.path();
    QDir().mkpath(oDir + QStringLiteral("/tokens"));
    writeFile(oDir + QStringLiteral("/softhsm2.conf"),
              "directories.tokendir = " + QFile::encodeName(oDir) + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
    writeFile(oDir + QStringLiteral("/auth.ext"),
              "keyUsage=critical,digitalSignature,keyAgreement\nextendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n");
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("SOFTHSM2_CONF"), oDir + QStringLiteral("/softhsm2.conf"));

    const QList<Key> oKeys = {{QStringLiteral("RSA 2048"), QStringLiteral("01"), QStringLiteral("RSA-PKCS"), QStringLiteral("rsa:2048")},
                              {QStringLiteral("EC P-256"), QStringLiteral("02"), QStringLiteral("ECDSA"), QStringLiteral("ec")}};
    bool bOk = run(QStringLiteral("softhsm2-util"), words("--init-token --free --label %1 --so-pin 12345678 --pin %2", {kToken, kPin}), oEnv)
               && run(QStringLiteral("openssl"), words("req -x509 -newkey rsa:2048 -nodes -keyout %1/ca.key -out %1/ca.pem -subj /CN=QTX-Bench-CA -days 2",
                                                       {oDir}), oEnv);
    for (const Key &oKey : oKeys) {
        const QStringList oArgs = {oDir + QStringLiteral("/") + oKey.id, oDir, QStringLiteral("/O=QTX Bench/CN=Login ") + oKey.name,
                                   kToken, oKey.id, kPin, kSoftHsm, oKey.newKey};
        for (const char *pStep : {"openssl req -new -nodes -newkey %8 -pkeyopt ec_paramgen_curve:P-256 -keyout %1.key -out %1.csr -subj %3",
                                  "openssl x509 -req -in %1.csr -CA %2/ca.pem -CAkey %2/ca.key -CAcreateserial -days 2 -extfile %2/auth.ext -out %1.pem",
                                  "openssl x509 -in %1.pem -outform DER -out %1.der",
                                  "openssl pkcs8 -topk8 -nocrypt -in %1.key -out %1.p8",
                                  "softhsm2-util --import %1.p8 --token %4 --label %5 --id %5 --pin %6",
                                  "pkcs11-tool --module %7 --token-label %4 --login --pin %6 --write-object %1.der --type cert --id %5"}) {
            QStringList oWords = words(pStep, oArgs);
            // The curve option only for the EC key.
            if (oKey.newKey != QLatin1String("ec") && oWords.contains(QStringLiteral("-pkeyopt")))
                oWords.erase(oWords.begin() + oWords.indexOf(QStringLiteral("-pkeyopt")), oWords.begin() + oWords.indexOf(QStringLiteral("-pkeyopt")) + 2);
            const QString oProgram = oWords.takeFirst();
            bOk = bOk && run(oProgram, oWords, oEnv);
        }
    }

    // The server: root's instance listens on the base port, others' on the next.
    ServerFixture oServer;
    const int iBase = ServerFixture::freeBase(2);
    const quint16 uiPort = quint16(ServerFixture::isRoot() ? iBase : iBase + 1);
    const QString oHook = oDir + QStringLiteral("/hook");
    QDir().mkpath(oHook);
    QFile::setPermissions(oHook, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    bOk = bOk && iBase > 0
          && oServer.install("[listener]\nport=" + QByteArray::number(iBase)
                             + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
                               "[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n[signing]\npkcs11Module="
                             + kSoftHsm.toUtf8() + "\nconfirmDelayMs=300\n")
          && oServer.installModules() && oServer.provision();
    if (!bOk) {
        std::fprintf(stderr, "signer_login: setting up the tokens or the server failed\n");
        return 1;
    }
    oServer.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), oEnv.value(QStringLiteral("SOFTHSM2_CONF")));
    oServer.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), oHook);
    oServer.start({});
    if (!oServer.waitListening(uiPort)) {
        std::fprintf(stderr, "signer_login: the server did not start; its log: %s\n", qPrintable(oServer.logFilePath()));
        return 1;
    }
    const QList<QSslCertificate> oCa = QSslCertificate::fromPath(oServer.path(QStringLiteral("certs/QTX-ca.pem")));
    const auto post = [&](const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders) {
        return HttpsClient(uiPort, oCa).post(v_oPath, v_oBody, v_oHeaders);
    };
    const QString oShown = oHook + QStringLiteral("/dialog.txt");
    // Waits for the dialog of the kind, answers it (the picker: the line naming
    // the key) and waits until the hook took the answer.
    const auto answer = [&](const QByteArray &v_oKind, const Key &v_oKey) {
        QByteArray oText;
        if (!QTest::qWaitFor([&] { return (oText = readFile(oShown)).startsWith("dialog=" + v_oKind + '\n'); }, 10000))
            return false;
        QByteArray oAnswer = "pin:" + kPin.toLatin1();
        if (v_oKind == "picker") {
            for (const QByteArray &oLine : oText.split('\n')) {
                if (oLine.startsWith("item") && oLine.contains(v_oKey.name.toUtf8()))
                    oAnswer = "pick:" + oLine.mid(4, oLine.indexOf('=') - 4);
            }
        }
        writeFile(oHook + QStringLiteral("/answer.new"), oAnswer);
        QFile::rename(oHook + QStringLiteral("/answer.new"), oHook + QStringLiteral("/answer"));
        return QTest::qWaitFor([&] { return !QFile::exists(oShown); }, 10000);
    };

    const QString oData = oDir + QStringLiteral("/data.bin");
    writeFile(oData, QByteArray(32, 'd'));
    const QByteArray oNonce = QUrl::toPercentEncoding(QString::fromLatin1(QByteArray(32, 'n').toBase64()));
    int iCmdId = 0;
    for (const Key &oKey : oKeys) {
        std::vector<double> oLogIns, oTool;
        for (int i = 0; i < v_iRuns; ++i) {
            const QByteArray oSession = post("/OPEN_SESSION", QByteArray(), {}).body;
            const QByteArray oCmdId = QByteArray::number(++iCmdId);
            const QList<QByteArray> oHeaders = {"X-QTX-sessionId: " + oSession, "X-QTX-cmdId: " + oCmdId};
            QElapsedTimer oTimer;
            oTimer.start();
            if (post("/Signer/Authenticate", "nonce=" + oNonce, oHeaders + QList<QByteArray>{"Origin: https://shop.example"}).status != 202
                || !answer("picker", oKey) || !answer("consent", oKey)) {
                std::fprintf(stderr, "signer_login: the log-in did not reach its dialogs; the server's log: %s\n",
                             qPrintable(oServer.logFilePath()));
                return 1;
            }
            HttpReply oReply;
            while ((oReply = post("/GET_RESULT", QByteArray(), oHeaders)).status == 202)
                QTest::qWait(2);
            oLogIns.push_back(oTimer.nsecsElapsed() / 1e6);
            if (!oReply.body.contains("\"signature\"")) {
                std::fprintf(stderr, "signer_login: no signature: %s\n", oReply.body.constData());
                return 1;
            }
            oTimer.restart();
            if (!run(QStringLiteral("pkcs11-tool"),
                     words("--module %1 --token-label %2 --login --pin %3 --sign --id %4 -m %5 --input-file %6 --output-file %6.sig",
                           {kSoftHsm, kToken, kPin, oKey.id, oKey.mechanism, oData}),
                     oEnv))
                return 1;
            oTool.push_back(oTimer.nsecsElapsed() / 1e6);
        }
        std::printf("%s, %d runs: log-in through the server median %.1f ms (min %.1f), pkcs11-tool --sign median %.1f ms "
                    "(min %.1f); load average %s\n",
                    qPrintable(oKey.name), v_iRuns, median(oLogIns), *std::min_element(oLogIns.begin(), oLogIns.end()),
                    median(oTool), *std::min_element(oTool.begin(), oTool.end()),
                    readFile(QStringLiteral("/proc/loadavg")).split(' ').mid(0, 3).join(' ').constData());
    }
    oServer.process().terminate();
    oServer.process().waitForFinished(10000);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxsigner");
    if (iRerun >= 0)
        return iRerun == 0 ? 1 : iRerun;
    QCoreApplication oApp(argc, argv);
    const int iRuns = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    return bench(iRuns);
}
