// signer_sign [runs]: one Signer/Sign (CMS of a page's digest) and one
// Signer/SignPdf of a 10 MB PDF through the real server, the consent dialog
// answered by the module's test hook as soon as it shows, against
// `pkcs11-tool --sign` with the same SoftHSM2 key (EC P-256) and, for the PDF,
// against that plus reading and hashing the document once (OpenSSL's
// SHA-256, the server's); the PDF is sent
// as the request's body and as multipart/form-data, as a page's FormData
// (qtx-client's signPdf) sends it. The consent
// dialog's confirm delay (300 ms, its floor) is part of every server row and
// is also given subtracted. A last row is the module's own work for the same
// PDF done in this process as the command does it (no transfers, no dialog).
// Starts a server: run it under the shared lock. As root it runs itself again
// as the account qtxsigner.

#include "signerbench.h"

#include "cmsbuilder.h"
#include "pdfsigner.h"
#include "pkcs11token.h"
#include "secretbuffer.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <QUrl>

#include <openssl/evp.h>

#include <cmath>
#include <future>
#include <cstdio>
#include <vector>

using namespace signerbench;

namespace {

constexpr double kConfirmDelayMs = 300;

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

// The module's own work for one SignPdf, in this process and in the
// command's order, without the page's transfers and the dialog: the
// certificate looked up on the token, preparation and preview side by side
// (the preview helper started ahead, as the command starts it while it looks
// the key up and while a dialog shows), then a new PKCS#11 context, the
// token's signature after its log-in, the CMS in /Contents and the reply's
// base64 of the signed document. Milliseconds, or a negative number.
double moduleWork(const QByteArray &v_oPdf)
{
    const PdfEngine oEngine(QStringLiteral(QTX_BINARY_DIR "/bin/qtx-pdf-helper"), PdfLimits());
    oEngine.keepPreviewReady();
    QThread::msleep(300); // what the dialog's delay gives it in the command
    try {
        QElapsedTimer oClock;
        oClock.start();
        QByteArray oDer;
        {
            Pkcs11Context oContext;
            const QList<CertificateEntry> oEntries = oContext.certificates();
            if (oEntries.isEmpty())
                return -1;
            oDer = oEntries.first().der;
        }
        PdfSignOptions oOptions;
        oOptions.visible = true;
        oOptions.rectangle = QRectF(300, 60, 240, 70);
        oOptions.signerName = QStringLiteral("Bench");
        oOptions.reservedBytes = PdfEngine::defaultReservedBytes(SignatureLevel::BaselineB);
        std::future<QImage> oPreview = std::async(std::launch::async, [&] {
            return oEngine.renderPage(v_oPdf, 0, QSize(480, 480));
        });
        const PreparedPdf oPrepared = oEngine.prepare(v_oPdf, oOptions, DigestAlgorithm::Sha256);
        if (oPreview.get().isNull())
            return -1;
        Pkcs11Context oContext;
        CertificateEntry oEntry;
        for (const CertificateEntry &oCandidate : oContext.certificates())
            oEntry = oCandidate.der == oDer ? oCandidate : oEntry;
        SecretBuffer oPin;
        oPin.append(kPin.toLatin1().constData(), size_t(kPin.size()));
        SignMechanism oMechanism;
        oMechanism.type = CKM_ECDSA;
        const QByteArray oSigned = signPdf(
            oEngine, oPrepared, oEntry.der, SignatureScheme::Ecdsa, SignatureLevel::BaselineB,
            [&](const QByteArray &v_oAttributes) {
                return oContext.sign(oEntry, &oPin, oMechanism, hashBytes(DigestAlgorithm::Sha256, v_oAttributes), PinAgain());
            },
            SigningConfig());
        // All of it after the signature here, as OpenSSL encodes it into the
        // reply (the command encodes most of it while the dialog shows).
        QByteArray oReply = documentBuffer(4 * ((oSigned.size() + 2) / 3) + 1);
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(oReply.data()),
                        reinterpret_cast<const unsigned char *>(oSigned.constData()), oSigned.size());
        return oClock.nsecsElapsed() / 1e6;
    } catch (const std::exception &oError) {
        std::fprintf(stderr, "signer_sign: the module's work failed: %s\n", oError.what());
        return -1;
    }
}

int bench(int v_iRuns)
{
    SignerBench oBench("signer_sign");
    if (!oBench.initToken(QStringLiteral("Bench")) || !oBench.selfSignedSigner(QStringLiteral("Bench"), QStringLiteral("ec"))
        || !oBench.startServer(QByteArray(), true))
        return 1;

    const QByteArray oSession = oBench.post("/OPEN_SESSION").body;
    const QByteArray oCertId = oBench.pickSigningCertificate(oSession);
    if (oCertId.isEmpty())
        return 1;

    const QString oPdfFile = oBench.dir() + QStringLiteral("/large.pdf");
    const QByteArray oPdf = largePdf(10 << 20);
    writeFile(oPdfFile, oPdf);
    const QByteArray oPdfPath = "/Signer/SignPdf?certId=" + oCertId + "&visible=true&rect=300,60,240,70";
    // The document as the request's body, and as a page's FormData sends it.
    const QByteArray oMultipart = "--QtxBenchBoundary\r\nContent-Disposition: form-data; name=\"document\"; "
                                  "filename=\"document.pdf\"\r\nContent-Type: application/pdf\r\n\r\n"
                                  + oPdf + "\r\n--QtxBenchBoundary--\r\n";
    const QByteArray oPdfRequests[] = {
        SignerBench::head(oPdfPath, oSession, "application/pdf", oPdf.size()) + oPdf,
        SignerBench::head(oPdfPath, oSession, "multipart/form-data; boundary=QtxBenchBoundary", oMultipart.size()) + oMultipart};
    const QString oDigestFile = oBench.dir() + QStringLiteral("/digest.bin");
    writeFile(oDigestFile, QCryptographicHash::hash("bench", QCryptographicHash::Sha256));
    const QByteArray oSign = "certId=" + oCertId + "&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA&format=cms&digest="
                             + QUrl::toPercentEncoding(QString::fromLatin1(readFile(oDigestFile).toBase64()));
    const QByteArray oPin = "pin:" + kPin.toLatin1();
    // The token as the server sees it, for the module's work in this process.
    qputenv("SOFTHSM2_CONF", QFile::encodeName(oBench.dir() + QStringLiteral("/softhsm2.conf")));
    std::vector<double> oSigns, oPdfs[2], oTool, oReadOnce, oModule;
    QByteArray oBody;
    for (int i = 0; i < v_iRuns; ++i) {
        QElapsedTimer oTimer;
        oTimer.start();
        if (!oBench.command(oSession, SignerBench::head("/Signer/Sign", oSession, "application/x-www-form-urlencoded", oSign.size()) + oSign,
                            "consent", oPin, &oBody)) {
            std::fprintf(stderr, "signer_sign: Sign failed: %s\n", oBody.constData());
            return 1;
        }
        oSigns.push_back(oTimer.nsecsElapsed() / 1e6);
        for (int iForm = 0; iForm < 2; ++iForm) {
            oTimer.restart();
            if (!oBench.command(oSession, oPdfRequests[iForm], "consent", oPin, &oBody)) {
                std::fprintf(stderr, "signer_sign: SignPdf failed: %s\n", oBody.left(300).constData());
                return 1;
            }
            oPdfs[iForm].push_back(oTimer.nsecsElapsed() / 1e6);
        }
        oTimer.restart();
        if (!oBench.toolSign(QStringLiteral("Bench"), QStringLiteral("01"), QStringLiteral("ECDSA"), oDigestFile))
            return 1;
        oTool.push_back(oTimer.nsecsElapsed() / 1e6);
        // Read and hashed with OpenSSL's SHA-256, as the server hashes: Qt's
        // portable one takes about 50 ms for these 10 MB, OpenSSL's about 6.
        oTimer.restart();
        const QByteArray oWhole = readFile(oPdfFile);
        unsigned char aDigest[EVP_MAX_MD_SIZE];
        unsigned int uiDigest = 0;
        if (EVP_Digest(oWhole.constData(), size_t(oWhole.size()), aDigest, &uiDigest, EVP_sha256(), nullptr) != 1)
            return 1;
        oReadOnce.push_back(oTimer.nsecsElapsed() / 1e6);
        oModule.push_back(moduleWork(oPdf));
        if (oModule.back() < 0)
            return 1;
    }
    const double dSign = median(oSigns), dTool = median(oTool), dRead = median(oReadOnce);
    std::printf("%d runs, medians: Sign (CMS) through the server %.1f ms (%.1f without the 300 ms confirm delay); "
                "pkcs11-tool --sign %.1f ms: %.2fx (%.2fx without the delay)\n",
                v_iRuns, dSign, dSign - kConfirmDelayMs, dTool, dSign / dTool, (dSign - kConfirmDelayMs) / dTool);
    const char *const aForms[] = {"as the body", "as multipart/form-data (a page's FormData)"};
    for (int iForm = 0; iForm < 2; ++iForm) {
        const double dPdf = median(oPdfs[iForm]);
        std::printf("SignPdf of a %.1f MB PDF (visible, B-B) %s %.1f ms (%.1f without the delay); raw signature + reading "
                    "it once %.1f ms: %.2fx (%.2fx without the delay)\n",
                    oPdf.size() / 1e6, aForms[iForm], dPdf, dPdf - kConfirmDelayMs, dTool + dRead, dPdf / (dTool + dRead),
                    (dPdf - kConfirmDelayMs) / (dTool + dRead));
    }
    const double dModule = median(oModule);
    std::printf("SignPdf's work in the module (in this process: look-up, preparation beside the preview, token "
                "signature, CMS, base64; no transfers, no dialog) %.1f ms: %.2fx of the same anchor\n",
                dModule, dModule / (dTool + dRead));
    std::printf("load average %s\n", loadAverage().constData());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    return benchMain(argc, argv, {9}, [](const std::vector<int> &v_oCounts) { return bench(v_oCounts[0]); });
}
