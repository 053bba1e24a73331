// pdf_isolation [runs]: the price of reading documents in a helper process of
// their own. A 10 MB document (the two-page test document with 10 MB of random
// bytes attached by qpdf): read and hashed once (the baseline), prepared for a
// visible signature through qtx-pdf-helper, and prepared by the same code
// in-process; then the 9.5 kB document through the helper, and the 10 MB
// document's first page drawn for the dialog by qtx-pdf-preview (which runs
// beside the preparation in the server). Medians of the runs and the largest
// child's peak memory (docs/signing-formats.md).

#include "cmsbuilder.h"
#include "filesupport.h"
#include "pdfsigner.h"
#include "pdfupdate.h"
#include "signingconfig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include <sys/resource.h>

namespace {

qint64 median(std::vector<qint64> v_oTimes)
{
    std::sort(v_oTimes.begin(), v_oTimes.end());
    return v_oTimes[v_oTimes.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication oApp(argc, argv);
    const int iRuns = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const QString oHelper = QStringLiteral(QTX_BINARY_DIR "/bin/qtx-pdf-helper");
    const QString oSmall = QStringLiteral(QTX_SOURCE_DIR "/tests/signer/data/two-pages.pdf");
    QTemporaryDir oDir;
    QByteArray oRandom(10 << 20, '\0');
    for (int i = 0; i < oRandom.size(); i += 4)
        *reinterpret_cast<quint32 *>(oRandom.data() + i) = QRandomGenerator::global()->generate();
    QFile oRandomFile(oDir.filePath(QStringLiteral("random.bin")));
    if (!oRandomFile.open(QIODevice::WriteOnly) || oRandomFile.write(oRandom) != oRandom.size())
        return 1;
    oRandomFile.close();
    const QString oBig = oDir.filePath(QStringLiteral("big.pdf"));
    if (QProcess::execute(QStringLiteral("qpdf"),
                          {oSmall, QStringLiteral("--add-attachment"), oRandomFile.fileName(), QStringLiteral("--"), oBig})
        != 0) {
        std::fprintf(stderr, "pdf_isolation: qpdf --add-attachment failed\n");
        return 1;
    }

    const PdfEngine oEngine(oHelper, PdfLimits());
    PdfSignOptions oVisible;
    oVisible.visible = true;
    oVisible.rectangle = QRectF(300, 60, 240, 70);
    oVisible.signerName = QStringLiteral("Bench Signer");
    oVisible.textLine = QStringLiteral("Approved");
    PdfSignOptions oInvisible = oVisible;
    oInvisible.visible = false;
    pdfupdate::SignatureRequest oRequest;
    oRequest.visible = true;
    oRequest.x = 300, oRequest.y = 60, oRequest.width = 240, oRequest.height = 70;
    oRequest.lines = {"Name", "Time"};
    std::vector<qint64> oRead, oPrepare, oInProcess, oSmallTimes, oPreview;
    QByteArray oPdf;
    try {
        for (int i = 0; i < iRuns; ++i) {
            QElapsedTimer oClock;
            oClock.start();
            oPdf = tst::readFile(oBig);
            hashBytes(DigestAlgorithm::Sha256, oPdf);
            oRead.push_back(oClock.nsecsElapsed() / 1000);
            oClock.restart();
            oEngine.prepare(oPdf, oVisible, DigestAlgorithm::Sha256);
            oPrepare.push_back(oClock.nsecsElapsed() / 1000);
            oClock.restart();
            pdfupdate::prepareSignature(oPdf.toStdString(), oRequest, pdfupdate::Limits());
            oInProcess.push_back(oClock.nsecsElapsed() / 1000);
            oClock.restart();
            oEngine.prepare(tst::readFile(oSmall), oInvisible, DigestAlgorithm::Sha256);
            oSmallTimes.push_back(oClock.nsecsElapsed() / 1000);
            oClock.restart();
            oEngine.renderPage(oPdf, 0, QSize(480, 480));
            oPreview.push_back(oClock.nsecsElapsed() / 1000);
        }
    } catch (const std::exception &oError) {
        std::fprintf(stderr, "pdf_isolation: %s\n", oError.what());
        return 1;
    }
    rusage oUsage {};
    getrusage(RUSAGE_CHILDREN, &oUsage);
    std::printf("%d-byte document, medians of %d: read and hashed %lld us; prepared through the helper %lld us "
                "(in-process %lld us); 9.5 kB document through the helper %lld us; first page drawn by the preview helper %lld us; "
                "largest child %ld KiB\n",
                int(oPdf.size()), iRuns, median(oRead), median(oPrepare), median(oInProcess), median(oSmallTimes),
                median(oPreview), oUsage.ru_maxrss);
    return 0;
}
