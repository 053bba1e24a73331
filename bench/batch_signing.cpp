// batch_signing [documents] [rounds]: one Signer/SignBatch of n SHA-256
// digests (RSA 2048, RSA-PKCS1, raw) through the real server, timed from the
// PIN's answer in the consent dialog (given by the module's test hook as soon
// as it shows) to the reply, against n runs of `pkcs11-tool --sign` with the
// same SoftHSM2 key. Up to 300 ms of each batch is the confirm button's delay
// at its floor. Starts a server: run it under the shared lock. As root it
// runs itself again as the account qtxsigner.

#include "signerbench.h"

#include <QCryptographicHash>
#include <QElapsedTimer>

#include <cstdio>

using namespace signerbench;

namespace {

int bench(int v_iCount, int v_iRounds)
{
    SignerBench oBench("batch_signing");
    if (!oBench.initToken(QStringLiteral("Bench")) || !oBench.selfSignedSigner(QStringLiteral("Bench"), QStringLiteral("rsa:2048"))
        || !oBench.startServer("batchMaxDocuments=1000\n"))
        return 1;

    const QByteArray oSession = oBench.post("/OPEN_SESSION").body;
    const QByteArray oCertId = oBench.pickSigningCertificate(oSession);
    if (oCertId.isEmpty())
        return 1;
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
    const QByteArray oRequest =
        SignerBench::head("/Signer/SignBatch", oSession, "multipart/form-data; boundary=XyZ", oForm.size()) + oForm;
    const QString oDigestFile = oBench.dir() + QStringLiteral("/digest.bin");
    writeFile(oDigestFile, QByteArray(32, 'd'));

    for (int iRound = 0; iRound < v_iRounds; ++iRound) {
        QElapsedTimer oTimer;
        oTimer.start();
        for (int i = 0; i < v_iCount; ++i) {
            if (!oBench.toolSign(QStringLiteral("Bench"), QStringLiteral("01"), QStringLiteral("RSA-PKCS"), oDigestFile))
                return 1;
        }
        const double dTool = oTimer.nsecsElapsed() / 1e6;
        double dBatch = 0;
        QByteArray oBody;
        if (!oBench.command(oSession, oRequest, "consent", "pin:" + kPin.toLatin1(), &oBody, &dBatch)
            || !oBody.contains("\"notSigned\":[]") || oBody.contains("\"error\"")) {
            std::fprintf(stderr, "batch_signing: the batch failed: %s\n", oBody.left(300).constData());
            return 1;
        }
        std::printf("batch of %d: %.0f ms from the PIN to the result (up to 300 ms of it the confirm delay); "
                    "%d x pkcs11-tool --sign: %.0f ms; ratio %.2f\n",
                    v_iCount, dBatch, v_iCount, dTool, dBatch / dTool);
        std::fflush(stdout);
    }
    std::printf("load average: %s\n", loadAverage().constData());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    return benchMain(argc, argv, {100, 3}, [](const std::vector<int> &v_oCounts) { return bench(v_oCounts[0], v_oCounts[1]); });
}
