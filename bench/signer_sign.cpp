// signer_sign [runs]: one Signer/Sign (CMS of a page's digest) and one
// Signer/SignPdf of a 10 MB PDF through the real server, the consent dialog
// answered by the module's test hook as soon as it shows, against
// `pkcs11-tool --sign` with the same SoftHSM2 key (EC P-256) and, for the PDF,
// against that plus reading and hashing the document once. The consent
// dialog's confirm delay (300 ms, its floor) is part of every server row and
// is also given subtracted. Starts a server: run it under the shared lock. As
// root it runs itself again as the account qtxsigner.

#include "httpsclient.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
constexpr double kConfirmDelayMs = 300;

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

double median(std::vector<double> v_oTimes)
{
    std::sort(v_oTimes.begin(), v_oTimes.end());
    return v_oTimes[v_oTimes.size() / 2];
}

// A one-page PDF whose page is an uncompressed RGB image of noise: about
// v_iBytes, all of it read, hashed and (for the preview) decoded.
QByteArray largePdf(int v_iBytes)
{
    const int iSide = int(std::sqrt(v_iBytes / 3.0));
    QByteArray oImage(iSide * iSide * 3, Qt::Uninitialized);
    QRandomGenerator oRandom(7);
    oRandom.fillRange(reinterpret_cast<quint32 *>(oImage.data()), oImage.size() / 4);
    const QList<QByteArray> oObjects = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /XObject << /Im0 4 0 R >> >> /Contents 5 0 R >>",
        "<< /Type /XObject /Subtype /Image /Width " + QByteArray::number(iSide) + " /Height " + QByteArray::number(iSide)
            + " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Length " + QByteArray::number(oImage.size()) + " >>\nstream\n"
            + oImage + "\nendstream",
        "<< /Length 30 >>\nstream\nq 595 0 0 842 0 0 cm /Im0 Do Q\nendstream"};
    QByteArray oPdf = "%PDF-1.7\n";
    QList<int> oOffsets;
    for (int i = 0; i < oObjects.size(); ++i) {
        oOffsets << oPdf.size();
        oPdf += QByteArray::number(i + 1) + " 0 obj\n" + oObjects[i] + "\nendobj\n";
    }
    const int iXref = oPdf.size();
    oPdf += "xref\n0 " + QByteArray::number(oObjects.size() + 1) + "\n0000000000 65535 f \n";
    for (int iOffset : oOffsets)
        oPdf += QByteArray::number(iOffset).rightJustified(10, '0') + " 00000 n \n";
    return oPdf + "trailer\n<< /Size " + QByteArray::number(oObjects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
           + QByteArray::number(iXref) + "\n%%EOF\n";
}

int bench(int v_iRuns)
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
          QStringLiteral("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout %1.key -out %1.pem "
                         "-subj /CN=Bench-Signer -days 2 -addext keyUsage=critical,digitalSignature,nonRepudiation").arg(oKey),
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
                             + kSoftHsm.toUtf8() + "\nconfirmDelayMs=300\n")
          && oServer.installModules() && oServer.provision()
          && QFile::copy(QStringLiteral(QTX_BINARY_DIR "/bin/qtx-pdf-helper"), oServer.path(QStringLiteral("qtx-pdf-helper")));
    if (!bOk) {
        std::fprintf(stderr, "signer_sign: setting up the token or the server failed\n");
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
        QFile::rename(oHook + QStringLiteral("/answer.new"), oHook + QStringLiteral("/answer"));
        return QTest::qWaitFor([&] { return !QFile::exists(oShown); }, 20000);
    };
    // One command: POST, the dialog answered, GET_RESULT polled every 2 ms.
    int iCmdId = 0;
    const auto command = [&](const QByteArray &v_oSession, const QByteArray &v_oRequest, const QByteArray &v_oKind,
                             const QByteArray &v_oAnswer, QByteArray *v_poBody) {
        const QByteArray oCmdId = QByteArray::number(++iCmdId);
        QByteArray oRequest = v_oRequest;
        oRequest.replace("CMDID", oCmdId);
        if (HttpsClient(uiPort, oCa).exchange(oRequest, 60000).status != 202 || !answer(v_oAnswer, v_oKind))
            return false;
        HttpReply oReply;
        while ((oReply = HttpsClient(uiPort, oCa).post("/GET_RESULT", {}, {"X-QTX-sessionId: " + v_oSession,
                                                                           "X-QTX-cmdId: " + oCmdId}))
                   .status == 202)
            QTest::qWait(2);
        *v_poBody = oReply.body;
        return oReply.status == 200 && !oReply.body.startsWith("500|");
    };
    const auto head = [&](const QByteArray &v_oPath, const QByteArray &v_oSession, const QByteArray &v_oType, qint64 v_iLength) {
        return "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://shop.example\r\nX-QTX-sessionId: " + v_oSession
               + "\r\nX-QTX-cmdId: CMDID\r\nContent-Type: " + v_oType + "\r\nContent-Length: " + QByteArray::number(v_iLength)
               + "\r\n\r\n";
    };

    // The site's id of the certificate: picked once, remembered.
    const QByteArray oSession = HttpsClient(uiPort, oCa).post("/OPEN_SESSION").body;
    QByteArray oBody;
    if (!command(oSession, head("/Signer/SelectCertificate", oSession, "application/x-www-form-urlencoded", 12) + "purpose=sign",
                 "picker", "pick:0:remember", &oBody)) {
        std::fprintf(stderr, "signer_sign: no certificate picked: %s\n", oBody.constData());
        return 1;
    }
    const QByteArray oCertId = oBody.mid(oBody.indexOf("\"id\":\"") + 6, 40);

    const QString oPdfFile = oDir + QStringLiteral("/large.pdf");
    const QByteArray oPdf = largePdf(10 << 20);
    writeFile(oPdfFile, oPdf);
    const QString oDigestFile = oDir + QStringLiteral("/digest.bin");
    writeFile(oDigestFile, QCryptographicHash::hash("bench", QCryptographicHash::Sha256));
    const QByteArray oSign = "certId=" + oCertId + "&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA&format=cms&digest="
                             + QUrl::toPercentEncoding(QString::fromLatin1(readFile(oDigestFile).toBase64()));
    std::vector<double> oSigns, oPdfs, oTool, oReadOnce;
    for (int i = 0; i < v_iRuns; ++i) {
        QElapsedTimer oTimer;
        oTimer.start();
        if (!command(oSession, head("/Signer/Sign", oSession, "application/x-www-form-urlencoded", oSign.size()) + oSign,
                     "consent", "pin:1234", &oBody)) {
            std::fprintf(stderr, "signer_sign: Sign failed: %s\n", oBody.constData());
            return 1;
        }
        oSigns.push_back(oTimer.nsecsElapsed() / 1e6);
        oTimer.restart();
        if (!command(oSession,
                     head("/Signer/SignPdf?certId=" + oCertId + "&visible=true&rect=300,60,240,70", oSession, "application/pdf",
                          oPdf.size()) + oPdf,
                     "consent", "pin:1234", &oBody)) {
            std::fprintf(stderr, "signer_sign: SignPdf failed: %s\n", oBody.left(300).constData());
            return 1;
        }
        oPdfs.push_back(oTimer.nsecsElapsed() / 1e6);
        oTimer.restart();
        if (!run(QStringLiteral("pkcs11-tool --module %1 --token-label Bench --login --pin 1234 --sign --id 01 -m ECDSA "
                                "--input-file %2 --output-file %2.sig").arg(kSoftHsm, oDigestFile), oEnv))
            return 1;
        oTool.push_back(oTimer.nsecsElapsed() / 1e6);
        oTimer.restart();
        QCryptographicHash::hash(readFile(oPdfFile), QCryptographicHash::Sha256);
        oReadOnce.push_back(oTimer.nsecsElapsed() / 1e6);
    }
    const double dSign = median(oSigns), dPdf = median(oPdfs), dTool = median(oTool), dRead = median(oReadOnce);
    std::printf("%d runs, medians: Sign (CMS) through the server %.1f ms (%.1f without the 300 ms confirm delay); "
                "pkcs11-tool --sign %.1f ms: %.2fx (%.2fx without the delay)\n",
                v_iRuns, dSign, dSign - kConfirmDelayMs, dTool, dSign / dTool, (dSign - kConfirmDelayMs) / dTool);
    std::printf("SignPdf of a %.1f MB PDF (visible, B-B) %.1f ms (%.1f without the delay); raw signature + reading it once "
                "%.1f ms: %.2fx (%.2fx without the delay); load average %s\n",
                oPdf.size() / 1e6, dPdf, dPdf - kConfirmDelayMs, dTool + dRead, dPdf / (dTool + dRead),
                (dPdf - kConfirmDelayMs) / (dTool + dRead),
                readFile(QStringLiteral("/proc/loadavg")).split(' ').mid(0, 3).join(' ').constData());
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
    return bench(argc > 1 ? std::max(1, atoi(argv[1])) : 9);
}
