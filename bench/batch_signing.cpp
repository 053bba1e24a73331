// batch_signing [documents] [rounds]: one Signer/SignBatch of n SHA-256
// digests (RSA 2048, RSA-PKCS1, raw) through the real server, timed from the
// PIN's answer in the consent dialog (given by the module's test hook as soon
// as it shows) to the reply, against n runs of `pkcs11-tool --sign` with the
// same SoftHSM2 key. Up to 300 ms of each batch is the confirm button's delay
// at its floor. Starts a server: run it under the shared lock. As root it
// runs itself again as the account qtxsigner.

#include "httpsclient.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");

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

bool run(const QString &v_oLine, const QProcessEnvironment &v_oEnv)
{
    QStringList oWords = v_oLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.setProcessEnvironment(v_oEnv);
    oProcess.start(oWords.takeFirst(), oWords);
    const bool bOk = oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit
                     && oProcess.exitCode() == 0;
    if (!bOk)
        std::fprintf(stderr, "%s: %s\n", qPrintable(v_oLine), oProcess.readAll().constData());
    return bOk;
}

int bench(int v_iCount, int v_iRounds)
{
    QTemporaryDir oWork;
    const QString oDir = oWork.path();
    const QString oKey = oDir + QStringLiteral("/signer");
    QDir().mkpath(oDir + QStringLiteral("/tokens"));
    writeFile(oDir + QStringLiteral("/softhsm2.conf"),
              "directories.tokendir = " + QFile::encodeName(oDir) + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("SOFTHSM2_CONF"), oDir + QStringLiteral("/softhsm2.conf"));
    bool bOk = true;
    for (const QString &oStep :
         {QStringLiteral("softhsm2-util --init-token --free --label Bench --so-pin 12345678 --pin 1234"),
          QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -keyout %1.key -out %1.pem -subj /CN=Bench-Signer "
                         "-days 2 -addext keyUsage=critical,digitalSignature,nonRepudiation").arg(oKey),
          QStringLiteral("openssl pkcs8 -topk8 -nocrypt -in %1.key -out %1.p8").arg(oKey),
          QStringLiteral("openssl x509 -in %1.pem -outform DER -out %1.der").arg(oKey),
          QStringLiteral("softhsm2-util --import %1.p8 --token Bench --label signer --id 01 --pin 1234").arg(oKey),
          QStringLiteral("pkcs11-tool --module %1 --token-label Bench --login --pin 1234 --write-object %2.der --type cert --id 01")
              .arg(kSoftHsm, oKey)})
        bOk = bOk && run(oStep, oEnv);

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
                             + kSoftHsm.toUtf8() + "\nconfirmDelayMs=300\nbatchMaxDocuments=1000\n")
          && oServer.installModules() && oServer.provision();
    if (!bOk) {
        std::fprintf(stderr, "batch_signing: setting up the token or the server failed\n");
        return 1;
    }
    oServer.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), oEnv.value(QStringLiteral("SOFTHSM2_CONF")));
    oServer.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), oHook);
    oServer.start({});
    if (!oServer.waitListening(uiPort))
        return 1;
    const QList<QSslCertificate> oCa = QSslCertificate::fromPath(oServer.path(QStringLiteral("certs/QTX-ca.pem")));
    const QString oShown = oHook + QStringLiteral("/dialog.txt");
    const auto answer = [&](const QByteArray &v_oAnswer, const QByteArray &v_oKind) {
        if (!QTest::qWaitFor([&] { return readFile(oShown).startsWith("dialog=" + v_oKind + '\n'); }, 20000))
            return false;
        writeFile(oHook + QStringLiteral("/answer.new"), v_oAnswer);
        return QFile::rename(oHook + QStringLiteral("/answer.new"), oHook + QStringLiteral("/answer"));
    };
    // One command: POST, the dialog answered, GET_RESULT polled every 2 ms;
    // the milliseconds from the answer to the result in *v_pdMs.
    int iCmdId = 0;
    const auto command = [&](const QByteArray &v_oSession, const QByteArray &v_oPath, const QByteArray &v_oType,
                             const QByteArray &v_oBody, const QByteArray &v_oKind, const QByteArray &v_oAnswer,
                             QByteArray *v_poBody, double *v_pdMs) {
        const QByteArray oCmdId = QByteArray::number(++iCmdId);
        const QByteArray oRequest = "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://shop.example\r\n"
                                    "X-QTX-sessionId: " + v_oSession + "\r\nX-QTX-cmdId: " + oCmdId + "\r\nContent-Type: "
                                    + v_oType + "\r\nContent-Length: " + QByteArray::number(v_oBody.size()) + "\r\n\r\n"
                                    + v_oBody;
        if (HttpsClient(uiPort, oCa).exchange(oRequest, 60000).status != 202)
            return false;
        QElapsedTimer oTimer;
        if (!answer(v_oAnswer, v_oKind))
            return false;
        oTimer.start();
        HttpReply oReply;
        while ((oReply = HttpsClient(uiPort, oCa).post("/GET_RESULT", {}, {"X-QTX-sessionId: " + v_oSession,
                                                                           "X-QTX-cmdId: " + oCmdId}))
                   .status == 202)
            QTest::qWait(2);
        *v_pdMs = oTimer.nsecsElapsed() / 1e6;
        *v_poBody = oReply.body;
        return oReply.status == 200 && !oReply.body.startsWith("500|");
    };

    // The site's id of the certificate: picked once, remembered.
    const QByteArray oSession = HttpsClient(uiPort, oCa).post("/OPEN_SESSION").body;
    QByteArray oBody;
    double dMs = 0;
    if (!command(oSession, "/Signer/SelectCertificate", "application/x-www-form-urlencoded", "purpose=sign", "picker",
                 "pick:0:remember", &oBody, &dMs)) {
        std::fprintf(stderr, "batch_signing: no certificate picked: %s\n", oBody.constData());
        return 1;
    }
    const QByteArray oCertId = oBody.mid(oBody.indexOf("\"id\":\"") + 6, 40);
    QByteArray oDocuments = "[";
    for (int i = 0; i < v_iCount; ++i)
        oDocuments += QByteArray(i ? "," : "") + "{\"name\":\"invoice-" + QByteArray::number(i) + ".txt\",\"digest\":\""
                      + QCryptographicHash::hash("Invoice " + QByteArray::number(i), QCryptographicHash::Sha256).toBase64()
                      + "\"}";
    oDocuments += "]";
    QByteArray oForm;
    for (const auto &oField : QList<QPair<QByteArray, QByteArray>>{{"certId", oCertId}, {"batchId", "bench"},
                                                                  {"digestAlgorithm", "SHA-256"},
                                                                  {"signatureAlgorithm", "RSA-PKCS1"},
                                                                  {"documents", oDocuments}})
        oForm += "--XyZ\r\nContent-Disposition: form-data; name=\"" + oField.first + "\"\r\n\r\n" + oField.second + "\r\n";
    oForm += "--XyZ--\r\n";
    const QString oDigestFile = oDir + QStringLiteral("/digest.bin");
    writeFile(oDigestFile, QByteArray(32, 'd'));

    for (int iRound = 0; iRound < v_iRounds; ++iRound) {
        QElapsedTimer oTimer;
        oTimer.start();
        for (int i = 0; i < v_iCount; ++i) {
            if (!run(QStringLiteral("pkcs11-tool --module %1 --token-label Bench --login --pin 1234 --sign --id 01 "
                                    "-m RSA-PKCS --input-file %2 --output-file %2.sig").arg(kSoftHsm, oDigestFile), oEnv))
                return 1;
        }
        const double dTool = oTimer.nsecsElapsed() / 1e6;
        double dBatch = 0;
        if (!command(oSession, "/Signer/SignBatch", "multipart/form-data; boundary=XyZ", oForm, "consent", "pin:1234", &oBody,
                     &dBatch)
            || !oBody.contains("\"notSigned\":[]") || oBody.contains("\"error\"")) {
            std::fprintf(stderr, "batch_signing: the batch failed: %s\n", oBody.left(300).constData());
            return 1;
        }
        std::printf("batch of %d: %.0f ms from the PIN to the result (up to 300 ms of it the confirm delay); "
                    "%d x pkcs11-tool --sign: %.0f ms; ratio %.2f\n",
                    v_iCount, dBatch, v_iCount, dTool, dBatch / dTool);
        std::fflush(stdout);
    }
    std::printf("load average: %s\n", readFile(QStringLiteral("/proc/loadavg")).split(' ').mid(0, 3).join(' ').constData());
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
    return bench(argc > 1 ? std::max(1, atoi(argv[1])) : 100, argc > 2 ? std::max(1, atoi(argv[2])) : 3);
}
