// The signature-format engine without the server: PAdES through the PDF
// helper, CAdES and PAdES at B-T and B-LT against the test's own TSA, OCSP
// responder and CRLs (testkit/localpki.h), hostile documents and failing
// services. A software key stands in for the token. Every result is checked
// with tools that are not ours: pdfsig, openssl cms/ts/ocsp/asn1parse, qpdf.
//
// data/two-pages.pdf was written by Qt's QPdfWriter (two pages of text and a
// frame), data/xref-stream.pdf is `qpdf --object-streams=generate` of it;
// hostile ones are made here by hand.

#include "../../testkit/filesupport.h"
#include "localpki.h"
#include "signertestkit.h"

#include "cmslevels.h"
#include "pdfsigner.h"
#include "pdfhelperproto.h"
#include "pkcs11token.h"
#include "signingconfig.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <map>
#include <memory>

#include <sys/stat.h>

Q_DECLARE_METATYPE(PdfLimits)

using namespace stk;

namespace {

const QString kHelper = QStringLiteral(QTX_BINARY_DIR "/bin/qtx-pdf-helper");
const QString kData = QStringLiteral(QTX_TEST_SOURCE_DIR "/data/");

// The token's part, done by openssl with a software key: the signature of the
// signed attributes, ECDSA (P-256) as raw r||s like a token gives it.
SignFunction softSigner(const QString &v_oKeyFile, SignatureScheme v_eScheme, DigestAlgorithm v_eAlgorithm,
                        int *v_piCalls = nullptr)
{
    return [=](const QByteArray &v_oAttributes) {
        if (v_piCalls)
            ++*v_piCalls;
        const QStringList oFiles = {v_oKeyFile, v_oKeyFile + QStringLiteral(".in"), v_oKeyFile + QStringLiteral(".sig"),
                                    QLatin1String(v_eAlgorithm == DigestAlgorithm::Sha384   ? "sha384"
                                                  : v_eAlgorithm == DigestAlgorithm::Sha512 ? "sha512"
                                                                                            : "sha256")};
        tst::writeFile(oFiles[1], v_oAttributes);
        if (!tool(v_eScheme == SignatureScheme::RsaPss
                      ? QStringLiteral("openssl dgst -%4 -sign %1 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest -out %3 %2")
                      : QStringLiteral("openssl dgst -%4 -sign %1 -out %3 %2"),
                  oFiles).ok())
            return QByteArray();
        if (v_eScheme != SignatureScheme::Ecdsa)
            return tst::readFile(oFiles[2]);
        QByteArray oRaw;
        for (const QByteArray &oLine : tool(QStringLiteral("openssl asn1parse -inform DER -in %3"), oFiles).output.split('\n')) {
            if (oLine.contains("INTEGER")) {
                const QByteArray oHex = oLine.mid(oLine.lastIndexOf(':') + 1).trimmed();
                const QByteArray oValue = QByteArray::fromHex(oHex.size() % 2 ? '0' + oHex : oHex).right(32);
                oRaw += QByteArray(32 - oValue.size(), '\0') + oValue;
            }
        }
        return oRaw;
    };
}

// The code of the SignerError the call throws ("" when it returns).
QByteArray errorCode(const std::function<void()> &v_oCall, QString *v_poMessage = nullptr)
{
    try {
        v_oCall();
    } catch (const SignerError &oError) {
        if (v_poMessage)
            *v_poMessage = messageOf(oError);
        return oError.code();
    }
    return QByteArray();
}

// Minimal PDF writing for hostile documents: objects, a classic table, trailer.
QByteArray rawPdf(const QList<QByteArray> &v_oObjects, const QByteArray &v_oTrailer = QByteArray(),
                  qint64 v_iStartXref = -1)
{
    QByteArray oPdf = "%PDF-1.7\n";
    QList<int> oOffsets;
    for (int i = 0; i < v_oObjects.size(); ++i) {
        oOffsets += oPdf.size();
        oPdf += QByteArray::number(i + 1) + " 0 obj\n" + v_oObjects[i] + "\nendobj\n";
    }
    const int iXref = oPdf.size();
    oPdf += "xref\n0 " + QByteArray::number(v_oObjects.size() + 1) + "\n0000000000 65535 f\r\n";
    for (int iOffset : oOffsets)
        oPdf += QByteArray::number(iOffset).rightJustified(10, '0') + " 00000 n\r\n";
    oPdf += "trailer\n<< /Size " + QByteArray::number(v_oObjects.size() + 1) + " /Root 1 0 R " + v_oTrailer
            + " >>\nstartxref\n" + QByteArray::number(v_iStartXref < 0 ? iXref : v_iStartXref) + "\n%%EOF\n";
    return oPdf;
}

const QByteArray kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
const QByteArray kPages = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
const QByteArray kPage = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>";

// A document whose cross-reference stream (compressed) lists v_iCount objects:
// small on disk, large in any reader's memory.
QByteArray manyObjectsPdf(int v_iCount)
{
    QByteArray oPdf = "%PDF-1.7\n";
    QList<int> oOffsets;
    for (const QByteArray &oBody : {kCatalog, kPages, kPage}) {
        oOffsets += oPdf.size();
        oPdf += QByteArray::number(oOffsets.size()) + " 0 obj\n" + oBody + "\nendobj\n";
    }
    QByteArray oEntries;
    const auto entry = [&](int v_iType, int v_iField2, int v_iField3) {
        oEntries += char(v_iType);
        for (int i = 3; i >= 0; --i)
            oEntries += char((v_iField2 >> (8 * i)) & 0xff);
        oEntries += char((v_iField3 >> 8) & 0xff);
        oEntries += char(v_iField3 & 0xff);
    };
    const int iXref = oPdf.size();
    entry(0, 0, 0xffff);
    for (int iOffset : oOffsets)
        entry(1, iOffset, 0);
    entry(1, iXref, 0);
    // The rest: objects 1..n of an object stream (object 5) that does not
    // exist; a reader has to keep their entries all the same.
    for (int i = 5; i < v_iCount; ++i)
        entry(2, 5, i & 0xffff);
    const QByteArray oData = qCompress(oEntries, 1).mid(4);
    oPdf += "4 0 obj\n<< /Type /XRef /Size " + QByteArray::number(v_iCount) + " /W [1 4 2] /Root 1 0 R /Filter /FlateDecode /Length "
            + QByteArray::number(oData.size()) + " >>\nstream\n" + oData + "\nendstream\nendobj\nstartxref\n"
            + QByteArray::number(iXref) + "\n%%EOF\n";
    return oPdf;
}

} // namespace

class TestSignatureFormats : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signsPdfs_data();
    void signsPdfs();
    void refusesHostileDocuments_data();
    void refusesHostileDocuments();
    void helperFailuresStayInTheHelper_data();
    void helperFailuresStayInTheHelper();
    void levels_data();
    void levels();
    void serviceFailures_data();
    void serviceFailures();
    void revocationAllowList_data();
    void revocationAllowList();
    void helperIsConfined_data();
    void helperIsConfined();
    void previewHelperStartedAhead();

private:
    QString path(const QString &v_oName) const { return m_dir.filePath(v_oName); }
    SigningConfig config() const;
    PdfSignOptions options(bool v_bVisible = false) const;
    // Signs the file's bytes with the EC signer at B-B; the signed document.
    QByteArray signFile(const QByteArray &v_oPdf, const PdfSignOptions &v_oOptions, const PdfLimits &v_oLimits = {});
    // openssl cms -verify of a detached CMS over the content, against the test
    // CAs; with only the root as anchor and -crl_check_all the chain is checked
    // against the CRLs inside the CMS alone.
    bool cmsVerifies(const QByteArray &v_oCms, const QByteArray &v_oContent, QByteArray *v_poOutput = nullptr,
                     bool v_bCrlsInside = false) const
    {
        return stk::cmsVerifies(v_oCms, v_oContent, m_pki->file(QLatin1String(v_bCrlsInside ? "root.pem" : "chain.pem")),
                                m_dir.path(), v_poOutput, v_bCrlsInside);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<LocalPki> m_pki;
};

void TestSignatureFormats::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.setAutoRemove(qEnvironmentVariableIsEmpty("QTX_KEEP_TEST_DIR"));
    QVERIFY2(QFileInfo(kHelper).isExecutable(), qPrintable(kHelper));
    QVERIFY(QDir().mkpath(path(QStringLiteral("pki"))));
    m_pki = std::make_unique<LocalPki>(path(QStringLiteral("pki")));
    QVERIFY2(m_pki->error().isEmpty(), qPrintable(m_pki->error()));
    QVERIFY(tst::writeFile(m_pki->file(QStringLiteral("chain.pem")), tst::readFile(m_pki->file(QStringLiteral("root.pem")))
                                                                         + tst::readFile(m_pki->file(QStringLiteral("issuing.pem")))));
}

SigningConfig TestSignatureFormats::config() const
{
    SigningConfig oConfig;
    oConfig.tsaUrls = QStringList{m_pki->url(QStringLiteral("tsa"))};
    oConfig.revocationUrls = QStringList{m_pki->url(QStringLiteral("ocsp")), m_pki->url(QStringLiteral("root.crl")),
                                         m_pki->url(QStringLiteral("issuing.crl"))};
    oConfig.trustAnchorsFile = m_pki->file(QStringLiteral("root.pem"));
    oConfig.intermediatesFile = m_pki->file(QStringLiteral("issuing.pem"));
    oConfig.connectTimeoutMs = 2000;
    oConfig.requestTimeoutMs = 8000;
    return oConfig;
}

PdfSignOptions TestSignatureFormats::options(bool v_bVisible) const
{
    PdfSignOptions oOptions;
    oOptions.visible = v_bVisible;
    oOptions.rectangle = QRectF(300, 60, 240, 70);
    oOptions.signerName = QStringLiteral("Jürgen Test-Signer");
    oOptions.textLine = QStringLiteral("Approved for payment");
    return oOptions;
}

QByteArray TestSignatureFormats::signFile(const QByteArray &v_oPdf, const PdfSignOptions &v_oOptions,
                                          const PdfLimits &v_oLimits)
{
    const PdfEngine oEngine(kHelper, v_oLimits);
    const PreparedPdf oPrepared = oEngine.prepare(v_oPdf, v_oOptions, DigestAlgorithm::Sha256);
    return signPdf(oEngine, oPrepared, m_pki->certificateDer(QStringLiteral("signer")), SignatureScheme::Ecdsa,
                   SignatureLevel::BaselineB,
                   softSigner(m_pki->file(QStringLiteral("signer.key")), SignatureScheme::Ecdsa, DigestAlgorithm::Sha256),
                   config());
}

void TestSignatureFormats::signsPdfs_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QList<bool>>("visible"); // one entry per signature, in order
    QTest::addColumn<int>("page");
    QTest::newRow("fresh, invisible") << "two-pages.pdf" << QList<bool>{false} << 0;
    QTest::newRow("cross-reference stream, visible on the last page") << "xref-stream.pdf" << QList<bool>{true} << -1;
    QTest::newRow("already signed, then a visible one") << "two-pages.pdf" << QList<bool>{false, true} << 1;
    QTest::newRow("three signatures") << "xref-stream.pdf" << QList<bool>{true, false, true} << 0;
}

void TestSignatureFormats::signsPdfs()
{
    QFETCH(QString, fixture);
    QFETCH(QList<bool>, visible);
    QFETCH(int, page);
    QByteArray oPdf = tst::readFile(kData + fixture);
    QVERIFY(!oPdf.isEmpty());
    QList<QByteArray> oRevisions;
    for (bool bVisible : visible) {
        PdfSignOptions oOptions = options(bVisible);
        oOptions.page = page;
        QString oMessage;
        const QByteArray oCode = errorCode([&] { oPdf = signFile(oPdf, oOptions); }, &oMessage);
        QVERIFY2(oCode.isEmpty(), qPrintable(oCode + ": " + oMessage));
        oRevisions += oPdf;
    }
    const QString oFile = path(QStringLiteral("signed.pdf"));
    QVERIFY(tst::writeFile(oFile, oPdf));

    // pdfsig: every signature valid; only the last one covers the whole document.
    const PdfSigReport oReport = pdfsig(oFile);
    QCOMPARE(oReport.signatures.size(), visible.size());
    for (int i = 0; i < visible.size(); ++i) {
        const PdfSignature &oSig = oReport.signatures[i];
        QVERIFY2(oSig.valid, oReport.text.constData());
        QCOMPARE(oSig.subFilter, QByteArray("ETSI.CAdES.detached"));
        QCOMPARE(oSig.wholeDocument, i == visible.size() - 1);
    }

    // The CMS that pdfsig pulls out verifies with openssl over the ranges
    // pdfsig names, its chain up to our root included, and has no signing
    // time (PAdES puts it in /M).
    const QList<QByteArray> oBlobs = dumpedSignatures(oFile, path(QString()));
    QCOMPARE(oBlobs.size(), visible.size());
    for (int i = 0; i < oBlobs.size(); ++i) {
        QByteArray oOutput;
        QVERIFY2(cmsVerifies(oBlobs[i], signedBytes(oPdf, oReport.signatures[i]), &oOutput), oOutput.constData());
        tst::writeFile(path(QStringLiteral("blob.der")), oBlobs[i]);
        const Run oPrint = tool(QStringLiteral("openssl cms -cmsout -print -inform DER -in %1"), {path(QStringLiteral("blob.der"))});
        QVERIFY(oPrint.output.contains("id-smime-aa-signingCertificateV2"));
        QVERIFY(!oPrint.output.contains("signingTime"));
        // Each revision is a prefix of the next: earlier bytes never change.
        QVERIFY(oPdf.startsWith(oRevisions[i]));
    }

    // A visible box is drawn where it was asked: dark pixels inside, none in
    // a blank strip beside it.
    if (visible.last()) {
        const QString oPageNumber = QString::number(page < 0 ? 2 : page + 1);
        const auto pixels = [&](const QRect &v_oRect) {
            const QString oOut = path(QStringLiteral("crop"));
            tool(QStringLiteral("pdftoppm -gray -r 72 -f %1 -l %1 -x %2 -y %3 -W %4 -H %5 -singlefile %6 %7"),
                {oPageNumber, QString::number(v_oRect.x()), QString::number(v_oRect.y()), QString::number(v_oRect.width()),
                 QString::number(v_oRect.height()), oFile, oOut});
            const QByteArray oPgm = tst::readFile(oOut + QStringLiteral(".pgm"));
            int iDark = 0;
            for (int i = oPgm.size() - v_oRect.width() * v_oRect.height(); i >= 0 && i < oPgm.size(); ++i)
                iDark += quint8(oPgm[i]) < 128;
            return iDark;
        };
        QVERIFY(pixels(QRect(300, 60, 240, 70)) > 200);
        QCOMPARE(pixels(QRect(300, 135, 240, 10)), 0);
    }
}

void TestSignatureFormats::refusesHostileDocuments_data()
{
    QTest::addColumn<QByteArray>("pdf");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<PdfLimits>("limits");
    const PdfLimits oDefault;
    const QByteArray oGood = rawPdf({kCatalog, kPages, kPage});

    QTest::newRow("not a PDF") << QByteArray("GIF89a, really") << QByteArray("PDF_MALFORMED") << oDefault;
    QTest::newRow("truncated") << oGood.left(oGood.size() / 2) << QByteArray("PDF_MALFORMED") << oDefault;
    QTest::newRow("startxref beyond the end") << rawPdf({kCatalog, kPages, kPage}, QByteArray(), 1 << 30)
                                              << QByteArray("PDF_MALFORMED") << oDefault;
    {
        QByteArray oLoop = rawPdf({kCatalog, kPages, kPage}, "/Prev 0");
        const int iXref = oLoop.lastIndexOf("xref\n0 ");
        oLoop.replace("/Prev 0", "/Prev " + QByteArray::number(iXref));
        QTest::newRow("cross-reference sections in a loop") << oLoop << QByteArray("PDF_MALFORMED") << oDefault;
    }
    QTest::newRow("page tree in a loop")
        << rawPdf({kCatalog, "<< /Type /Pages /Kids [3 0 R 2 0 R] /Count 2 >>", kPage}) << QByteArray("PDF_MALFORMED")
        << oDefault;
    QTest::newRow("bytes before the header") << " " + oGood << QByteArray("PDF_MALFORMED") << oDefault;
    QTest::newRow("a broken header before the real one") << "%PDF-1>\n" + oGood << QByteArray("PDF_MALFORMED") << oDefault;
    QTest::newRow("a page that is the catalog")
        << rawPdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [1 0 R] /Count 1 >>"})
        << QByteArray("PDF_MALFORMED") << oDefault;
    // Object 3's offset leads to a header of object 2: qpdf reads on with a warning.
    QTest::newRow("an object where another should be")
        << QByteArray(oGood).replace("3 0 obj", "2 0 obj") << QByteArray("PDF_MALFORMED") << oDefault;
    QTest::newRow("no pages") << rawPdf({kCatalog, "<< /Type /Pages /Kids [] /Count 0 >>"}) << QByteArray("PDF_MALFORMED")
                              << oDefault;
    QTest::newRow("nesting 100000 deep")
        << rawPdf({"<< /Type /Catalog /Pages 2 0 R /X " + QByteArray(100000, '[') + QByteArray(100000, ']') + " >>", kPages,
                   kPage})
        << QByteArray("PDF_MALFORMED") << oDefault;
    QTest::newRow("an earlier signature whose byte range does not fit")
        << rawPdf({"<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] /SigFlags 3 >> >>", kPages,
                   "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R] >>",
                   "<< /Type /Annot /Subtype /Widget /FT /Sig /T (Earlier) /Rect [0 0 0 0] /P 3 0 R /V 5 0 R >>",
                   "<< /Type /Sig /Filter /Adobe.PPKLite /SubFilter /ETSI.CAdES.detached /ByteRange [0 10 99999 5]"
                   " /Contents <3082> >>"})
        << QByteArray("PDF_SIGNATURE_INVALID") << oDefault;
    QTest::newRow("certified with no changes allowed")
        << rawPdf({"<< /Type /Catalog /Pages 2 0 R /Perms << /DocMDP 4 0 R >> >>", kPages, kPage,
                   "<< /Type /Sig /Reference [<< /TransformMethod /DocMDP /TransformParams << /P 1 >> >>] >>"})
        << QByteArray("PDF_CHANGES_NOT_ALLOWED") << oDefault;
    QTest::newRow("the field name is taken")
        << rawPdf({"<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] >> >>", kPages, kPage,
                   "<< /FT /Tx /T (Approval) >>"})
        << QByteArray("PDF_FIELD_EXISTS") << oDefault;
    // Encrypted by qpdf, with an empty and with a real user password.
    for (const QString &oUser : {QString(), QStringLiteral("secret")}) {
        const QString oOut = path(QStringLiteral("encrypted%1.pdf").arg(oUser));
        QCOMPARE(tool(QStringLiteral("qpdf --encrypt %1 owner 256 -- %2 %3"), {oUser, kData + QStringLiteral("two-pages.pdf"), oOut}).code, 0);
        QTest::newRow(oUser.isEmpty() ? "encrypted, no user password" : "encrypted with a user password")
            << tst::readFile(oOut) << QByteArray("PDF_ENCRYPTED") << oDefault;
    }
    // Streams are not decoded: a /Length of 1 TB and a page content of 64 MiB
    // that inflates from 64 kB are signed as they are, in bounded time.
    QTest::newRow("a stream of 1 TB by its /Length (signed, never read)")
        << rawPdf({kCatalog, kPages, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
                   "<< /Length 1099511627776 >>\nstream\nq Q\nendstream"})
        << QByteArray() << oDefault;
    {
        const QByteArray oBomb = qCompress(QByteArray(64 << 20, ' '), 9).mid(4);
        QTest::newRow("64 MiB page content from 64 kB (signed, never inflated)")
            << rawPdf({kCatalog, kPages, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
                       "<< /Filter /FlateDecode /Length " + QByteArray::number(oBomb.size()) + " >>\nstream\n" + oBomb
                           + "\nendstream"})
            << QByteArray() << oDefault;
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Found by the fuzzer: 599 bytes whose xref stream's PNG predictor names
    // 6666666666666664 columns, for which qpdf asks for 1 GiB of row buffers.
    QTest::newRow("a predictor row of a gigabyte")
        << tst::readFile(kData + QStringLiteral("predictor-columns.pdf")) << QByteArray("PDF_TOO_COMPLEX") << oDefault;
#endif
    const QByteArray oMillions = manyObjectsPdf(3000000);
    QTest::newRow("three million objects") << oMillions << QByteArray("PDF_TOO_COMPLEX") << oDefault;
    PdfLimits oMemory;
    oMemory.maxObjects = 8000000;
    oMemory.memoryMiB = 200;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer build's helper runs without an address-space limit.)
    QTest::newRow("three million objects in 200 MiB") << oMillions << QByteArray("PDF_TOO_COMPLEX") << oMemory;
#endif
    PdfLimits oTime = oMemory;
    oTime.memoryMiB = 4096;
    oTime.cpuSeconds = 1;
    oTime.wallSeconds = 1;
    QTest::newRow("three million objects in one second") << oMillions << QByteArray("PDF_TOO_COMPLEX") << oTime;
    PdfLimits oSmall;
    oSmall.maxDocumentBytes = 1000;
    QTest::newRow("larger than allowed") << tst::readFile(kData + QStringLiteral("two-pages.pdf")) << QByteArray("PDF_TOO_LARGE")
                                         << oSmall;
}

void TestSignatureFormats::refusesHostileDocuments()
{
    QFETCH(QByteArray, pdf);
    QFETCH(QByteArray, code);
    QFETCH(PdfLimits, limits);
    PdfSignOptions oOptions = options(false);
    oOptions.fieldName = QStringLiteral("Approval");
    QString oMessage;
    QCOMPARE(errorCode([&] { PdfEngine(kHelper, limits).prepare(pdf, oOptions, DigestAlgorithm::Sha256); }, &oMessage), code);
    QCOMPARE(oMessage.isEmpty(), code.isEmpty());
}

void TestSignatureFormats::helperFailuresStayInTheHelper_data()
{
    // Stand-ins for a helper that the PDF library crashed, hung or confused.
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("crash") << QByteArray("kill -SEGV $$") << QByteArray("PDF_MALFORMED");
    QTest::newRow("hang") << QByteArray("exec sleep 60") << QByteArray("PDF_TOO_COMPLEX");
    QTest::newRow("garbage") << QByteArray("cat >/dev/null; echo nonsense") << QByteArray("PDF_ENGINE_ERROR");
    QTest::newRow("silent exit") << QByteArray("exit 0") << QByteArray("PDF_ENGINE_ERROR");
}

void TestSignatureFormats::helperFailuresStayInTheHelper()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, code);
    const QString oFake = path(QStringLiteral("fake-helper"));
    QVERIFY(tst::writeFile(oFake, "#!/bin/sh\n" + script + "\n", 0755));
    PdfLimits oLimits;
    oLimits.wallSeconds = 2;
    QCOMPARE(errorCode([&] {
                 PdfEngine(oFake, oLimits).prepare(tst::readFile(kData + QStringLiteral("two-pages.pdf")), options(),
                                                   DigestAlgorithm::Sha256);
             }),
             code);
    // A helper others may change is not run at all.
    QVERIFY(::chmod(QFile::encodeName(oFake).constData(), 0777) == 0);
    QCOMPARE(errorCode([&] { PdfEngine(oFake, oLimits).prepare("%PDF-1.7", options(), DigestAlgorithm::Sha256); }),
             QByteArray("PDF_ENGINE_ERROR"));
}

void TestSignatureFormats::levels_data()
{
    QTest::addColumn<bool>("pdf");
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<QString>("signer");
    QTest::addColumn<int>("scheme");
    // What B-LT must carry: the OCSP answers (by certificate) and whether the
    // chain's CRLs are there too (the signer's status from a CRL).
    QTest::addColumn<QStringList>("ocsp");
    QTest::addColumn<bool>("crls");
    const int iEcdsa = int(SignatureScheme::Ecdsa), iPss = int(SignatureScheme::RsaPss);
    QTest::newRow("CMS B-T") << false << QByteArray("B-T") << "signer" << iEcdsa << QStringList() << false;
    QTest::newRow("CMS B-LT, OCSP") << false << QByteArray("B-LT") << "signer" << iEcdsa << QStringList{"signer", "tsa"} << false;
    QTest::newRow("CMS B-LT, RSA-PSS") << false << QByteArray("B-LT") << "rsa" << iPss << QStringList{"rsa", "tsa"} << false;
    QTest::newRow("CMS B-LT, signer in a CRL") << false << QByteArray("B-LT") << "crlsigner" << iEcdsa << QStringList{"tsa"} << true;
    QTest::newRow("PDF B-T") << true << QByteArray("B-T") << "signer" << iEcdsa << QStringList() << false;
    QTest::newRow("PDF B-LT") << true << QByteArray("B-LT") << "signer" << iEcdsa << QStringList{"signer", "tsa"} << false;
    QTest::newRow("PDF B-LT, signer in a CRL") << true << QByteArray("B-LT") << "crlsigner" << iEcdsa << QStringList{"tsa"} << true;
}

void TestSignatureFormats::levels()
{
    QFETCH(bool, pdf);
    QFETCH(QByteArray, level);
    QFETCH(QString, signer);
    QFETCH(int, scheme);
    QFETCH(QStringList, ocsp);
    QFETCH(bool, crls);
    SignatureLevel eLevel;
    QVERIFY(parseSignatureLevel(level, &eLevel));
    const SignatureScheme eScheme = SignatureScheme(scheme);
    const QByteArray oCert = m_pki->certificateDer(signer);
    const SignFunction oSign = softSigner(m_pki->file(signer + QStringLiteral(".key")), eScheme, DigestAlgorithm::Sha256);

    QByteArray oCms, oContent, oSigned;
    QString oMessage;
    QByteArray oCode;
    if (pdf) {
        const PdfEngine oEngine(kHelper, PdfLimits());
        oCode = errorCode([&] {
            const PreparedPdf oPrepared = oEngine.prepare(tst::readFile(kData + QStringLiteral("two-pages.pdf")),
                                                          options(true), DigestAlgorithm::Sha256);
            oSigned = signPdf(oEngine, oPrepared, oCert, eScheme, eLevel, oSign, config());
        }, &oMessage);
        QVERIFY2(oCode.isEmpty(), qPrintable(oCode + ": " + oMessage));
        const QString oFile = path(QStringLiteral("level.pdf"));
        tst::writeFile(oFile, oSigned);
        const PdfSigReport oReport = pdfsig(oFile);
        QCOMPARE(oReport.signatures.size(), 1);
        QVERIFY2(oReport.signatures[0].valid, oReport.text.constData());
        // B-LT's store of validation data comes in an update after the signature.
        QCOMPARE(oReport.signatures[0].wholeDocument, eLevel != SignatureLevel::BaselineLT);
        oCms = dumpedSignatures(oFile, path(QString())).value(0);
        oContent = signedBytes(oSigned, oReport.signatures[0]);
    } else {
        oContent = QByteArray("The content of a detached signature.\n").repeated(50);
        oCode = errorCode([&] {
            oCms = signDetachedCades(oCert, DigestAlgorithm::Sha256, eScheme, hashBytes(DigestAlgorithm::Sha256, oContent),
                                     eLevel, oSign, config());
        }, &oMessage);
        QVERIFY2(oCode.isEmpty(), qPrintable(oCode + ": " + oMessage));
    }
    QByteArray oOutput;
    QVERIFY2(cmsVerifies(oCms, oContent, &oOutput), oOutput.constData());

    // The timestamp: a token that openssl ts accepts for the digest of the
    // signature value, from a TSA that chains to our root.
    QVERIFY2(timestampVerifies(oCms, m_pki->file(QStringLiteral("root.pem")), m_pki->file(QStringLiteral("issuing.pem")),
                               m_dir.path(), &oOutput), oOutput.constData());
    if (eLevel != SignatureLevel::BaselineLT)
        return;

    // B-LT: the revocation data, each OCSP answer checked by openssl ocsp.
    QList<QByteArray> oResponses;
    if (pdf) {
        // The document's /DSS, read with qpdf: the issuing CA's status from
        // the root's CRL; root, issuing, signer and TSA certificates.
        oResponses = dssStreams(path(QStringLiteral("level.pdf")), "/OCSPs");
        QVERIFY(!dssStreams(path(QStringLiteral("level.pdf")), "/CRLs").isEmpty());
        QVERIFY(dssStreams(path(QStringLiteral("level.pdf")), "/Certs").size() >= 4);
    } else {
        // The CMS's RevocationInfoChoices, cut out with openssl asn1parse.
        QVERIFY(tst::writeFile(path(QStringLiteral("lt.p7s")), oCms));
        const Run oParse = tool(QStringLiteral("openssl asn1parse -inform DER -in %1"), {path(QStringLiteral("lt.p7s"))});
        const QList<QByteArray> oLines = oParse.output.split('\n');
        const QRegularExpression oElement(QStringLiteral("^\\s*(\\d+):d=\\d+\\s+hl=(\\d+) l=\\s*(\\d+)"));
        for (int i = 0; i + 1 < oLines.size(); ++i) {
            if (!oLines[i].contains(":1.3.6.1.5.5.7.16.2") && !oLines[i].contains("id-ri-ocsp-response"))
                continue;
            const auto oMatch = oElement.match(QString::fromLatin1(oLines[i + 1]));
            QVERIFY(oMatch.hasMatch());
            oResponses += oCms.mid(oMatch.captured(1).toInt(), oMatch.captured(2).toInt() + oMatch.captured(3).toInt());
        }
        // With every CRL of the chain inside, openssl can check the chain against them alone.
        if (crls)
            QVERIFY2(cmsVerifies(oCms, oContent, &oOutput, true), oOutput.constData());
    }
    QStringList oGood;
    for (const QByteArray &oResponse : oResponses) {
        for (const QString &oWho : {signer, QStringLiteral("tsa")}) {
            if (ocspGood(oResponse, m_pki->file(QStringLiteral("root.pem")), m_pki->file(QStringLiteral("issuing.pem")),
                         m_pki->file(oWho + QStringLiteral(".pem")), m_dir.path()))
                oGood += oWho;
        }
    }
    oGood.sort();
    ocsp.sort();
    QCOMPARE(oGood, ocsp);
}

void TestSignatureFormats::serviceFailures_data()
{
    // tsa: paths of the responder ("closed": a port nobody listens on,
    // "silent": one that accepts and never answers); revocation "ocsp" leaves
    // the CRLs off the allow-list, "crl" the OCSP responder; anchors names the
    // trust-anchor file ("writable": the root, writable by others).
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<QString>("signer");
    QTest::addColumn<QStringList>("tsa");
    QTest::addColumn<QString>("revocation");
    QTest::addColumn<QString>("anchors");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<bool>("tokenUsed");
    const QStringList oTsa{"tsa"};
    QTest::newRow("no TSA configured") << QByteArray("B-T") << "signer" << QStringList() << "all" << "root" << QByteArray("TSA_NOT_CONFIGURED") << false;
    QTest::newRow("TSA port closed") << QByteArray("B-T") << "signer" << QStringList{"closed"} << "all" << "root" << QByteArray("TSA_UNREACHABLE") << true;
    QTest::newRow("TSA never answers") << QByteArray("B-T") << "signer" << QStringList{"silent"} << "all" << "root" << QByteArray("TSA_UNREACHABLE") << true;
    QTest::newRow("TSA refuses the digest") << QByteArray("B-T") << "signer" << QStringList{"tsa-sha512only"} << "all" << "root" << QByteArray("TSA_REFUSED") << true;
    QTest::newRow("TSA answers 500") << QByteArray("B-T") << "signer" << QStringList{"status500"} << "all" << "root" << QByteArray("TSA_REFUSED") << true;
    QTest::newRow("TSA redirects") << QByteArray("B-T") << "signer" << QStringList{"redirect"} << "all" << "root" << QByteArray("TSA_REFUSED") << true;
    QTest::newRow("TSA answers garbage") << QByteArray("B-T") << "signer" << QStringList{"garbage"} << "all" << "root" << QByteArray("TSA_BAD_RESPONSE") << true;
    QTest::newRow("TSA answers 3 MiB") << QByteArray("B-T") << "signer" << QStringList{"big"} << "all" << "root" << QByteArray("TSA_BAD_RESPONSE") << true;
    QTest::newRow("TSA replays another answer") << QByteArray("B-T") << "signer" << QStringList{"tsa-replay"} << "all" << "root" << QByteArray("TSA_BAD_RESPONSE") << true;
    QTest::newRow("TSA not trusted") << QByteArray("B-T") << "signer" << oTsa << "all" << "signer" << QByteArray("TSA_BAD_RESPONSE") << true;
    QTest::newRow("first TSA down, second answers") << QByteArray("B-T") << "signer" << QStringList{"closed", "tsa"} << "all" << "root" << QByteArray() << true;
    QTest::newRow("signer revoked (OCSP)") << QByteArray("B-LT") << "revoked" << oTsa << "all" << "root" << QByteArray("REVOCATION_REVOKED") << false;
    QTest::newRow("signer revoked (CRL)") << QByteArray("B-LT") << "crlrevoked" << oTsa << "all" << "root" << QByteArray("REVOCATION_REVOKED") << false;
    QTest::newRow("OCSP responder not allowed") << QByteArray("B-LT") << "signer" << oTsa << "crl" << "root" << QByteArray("REVOCATION_UNAVAILABLE") << false;
    QTest::newRow("CRL location not allowed") << QByteArray("B-LT") << "signer" << oTsa << "ocsp" << "root" << QByteArray("REVOCATION_UNAVAILABLE") << false;
    QTest::newRow("chain not trusted") << QByteArray("B-LT") << "signer" << oTsa << "all" << "signer" << QByteArray("CERTIFICATE_UNTRUSTED") << false;
    QTest::newRow("anchors writable by others") << QByteArray("B-T") << "signer" << oTsa << "all" << "writable" << QByteArray("SIGNING_CONFIG_ERROR") << false;
}

void TestSignatureFormats::serviceFailures()
{
    QFETCH(QByteArray, level);
    QFETCH(QString, signer);
    QFETCH(QStringList, tsa);
    QFETCH(QString, revocation);
    QFETCH(QString, anchors);
    QFETCH(QByteArray, code);
    QFETCH(bool, tokenUsed);
    SigningConfig oConfig = config();
    oConfig.requestTimeoutMs = 1500;
    QTcpServer oSilent; // listens; the kernel accepts, nobody answers
    QVERIFY(oSilent.listen(QHostAddress::LocalHost));
    QTcpServer oClosed;
    QVERIFY(oClosed.listen(QHostAddress::LocalHost));
    const quint16 uiClosed = oClosed.serverPort();
    oClosed.close();
    oConfig.tsaUrls.clear();
    for (const QString &oTsa : tsa)
        oConfig.tsaUrls += oTsa == QLatin1String("closed")   ? QStringLiteral("http://127.0.0.1:%1/tsa").arg(uiClosed)
                           : oTsa == QLatin1String("silent") ? QStringLiteral("http://127.0.0.1:%1/tsa").arg(oSilent.serverPort())
                                                             : m_pki->url(oTsa);
    if (revocation != QLatin1String("all"))
        oConfig.revocationUrls = revocation == QLatin1String("crl")
                                     ? QStringList{m_pki->url(QStringLiteral("root.crl")), m_pki->url(QStringLiteral("issuing.crl"))}
                                     : QStringList{m_pki->url(QStringLiteral("ocsp"))};
    if (anchors == QLatin1String("writable")) {
        oConfig.trustAnchorsFile = path(QStringLiteral("writable-anchors.pem"));
        QVERIFY(tst::writeFile(oConfig.trustAnchorsFile, tst::readFile(m_pki->file(QStringLiteral("root.pem"))), 0666));
    } else {
        oConfig.trustAnchorsFile = m_pki->file(anchors + QStringLiteral(".pem"));
    }
    SignatureLevel eLevel;
    QVERIFY(parseSignatureLevel(level, &eLevel));
    int iTokenCalls = 0;
    QByteArray oCms;
    QString oMessage;
    QCOMPARE(errorCode([&] {
                 oCms = signDetachedCades(m_pki->certificateDer(signer), DigestAlgorithm::Sha256, SignatureScheme::Ecdsa,
                                          QByteArray(32, 'd'), eLevel,
                                          softSigner(m_pki->file(signer + QStringLiteral(".key")), SignatureScheme::Ecdsa,
                                                     DigestAlgorithm::Sha256, &iTokenCalls),
                                          oConfig);
             }, &oMessage),
             code);
    // The signature either comes whole or not at all; a revoked or
    // unverifiable certificate is found before the token is asked.
    QCOMPARE(oCms.isEmpty(), !code.isEmpty());
    QCOMPARE(iTokenCalls, tokenUsed ? 1 : 0);
}

void TestSignatureFormats::revocationAllowList_data()
{
    QTest::addColumn<QString>("entries"); // as the INI file has them
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("listed") << "http://ocsp.example.com/" << "http://ocsp.example.com/" << true;
    QTest::newRow("host in another case") << "http://OCSP.example.com" << "http://ocsp.EXAMPLE.com/x" << true;
    QTest::newRow("path below the entry's") << "http://ca.example.com/crl" << "http://ca.example.com/crl/ca1.crl" << true;
    QTest::newRow("path only starting alike") << "http://ca.example.com/crl" << "http://ca.example.com/crlx/ca1.crl" << false;
    QTest::newRow("second of a list") << "http://a.example.com/, http://b.example.com/" << "http://b.example.com/ocsp" << true;
    QTest::newRow("other port") << "http://ocsp.example.com/" << "http://ocsp.example.com:8080/" << false;
    QTest::newRow("explicit default port") << "http://ocsp.example.com/" << "http://ocsp.example.com:80/" << true;
    QTest::newRow("other host") << "http://ocsp.example.com/" << "http://ocsp.example.com.evil.test/" << false;
    QTest::newRow("user name") << "http://ocsp.example.com/" << "http://ocsp.example.com@evil.test/" << false;
    QTest::newRow("https") << "https://ocsp.example.com/" << "https://ocsp.example.com/" << false;
    QTest::newRow("ldap") << "http://ocsp.example.com/" << "ldap://ocsp.example.com/" << false;
    QTest::newRow("nothing configured") << "" << "http://ocsp.example.com/" << false;
}

void TestSignatureFormats::revocationAllowList()
{
    QFETCH(QString, entries);
    QFETCH(QString, url);
    QFETCH(bool, allowed);
    const QString oIni = path(QStringLiteral("allow.ini"));
    QVERIFY(tst::writeFile(oIni, "[signing]\nrevocationUrls=" + entries.toUtf8() + "\ntsaUrl=http://tsa.example/\n"));
    const SigningConfig oConfig = SigningConfig::fromIni(oIni);
    QCOMPARE(oConfig.tsaUrls, QStringList{QStringLiteral("http://tsa.example/")});
    QCOMPARE(oConfig.revocationUrlAllowed(QUrl(url)), allowed);
}

// A helper taken over by its document could not open files or sockets.
void TestSignatureFormats::helperIsConfined_data()
{
    QTest::addColumn<QString>("helper");
    QTest::addColumn<int>("openError");
    QTest::newRow("preparing") << kHelper << EPERM;
    // The preview reads fonts, so it may open files for reading; it still has
    // no socket to send anything through.
    QTest::newRow("preview") << QStringLiteral(QTX_BINARY_DIR "/bin/qtx-pdf-preview") << 0;
}

void TestSignatureFormats::helperIsConfined()
{
    QFETCH(QString, helper);
    QFETCH(int, openError);
    std::string oRecord;
    pdfhelper::appendRecord(oRecord, "MODE", "confinement");
    QProcess oHelper;
    oHelper.start(helper, {QStringLiteral("256"), QStringLiteral("5"), QStringLiteral("1000")});
    oHelper.write(oRecord.data(), qint64(oRecord.size()));
    oHelper.closeWriteChannel();
    QVERIFY(oHelper.waitForFinished(10000));
    std::vector<pdfhelper::Record> oReply;
    QVERIFY(pdfhelper::parseRecords(oHelper.readAllStandardOutput().toStdString(), &oReply));
    std::map<std::string, std::string> oFields(oReply.begin(), oReply.end());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("The helpers are built with a sanitizer and run without their system-call filter.");
#endif
    QCOMPARE(oFields["SECC"], std::string("1"));
    QCOMPARE(oFields["OPEN"], std::to_string(openError));
    QCOMPARE(oFields["SOCK"], std::to_string(EPERM));
}

// The preview helpers this process started and has not reaped.
QList<qint64> previewHelpers()
{
    QList<qint64> oFound;
    for (const QString &oTask : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray oChildren = tst::readFile(QStringLiteral("/proc/self/task/%1/children").arg(oTask));
        for (const QByteArray &oPid : oChildren.split(' ')) {
            if (!oPid.trimmed().isEmpty()
                && QFileInfo(QStringLiteral("/proc/%1/exe").arg(QString::fromLatin1(oPid))).symLinkTarget().endsWith(
                    QLatin1String("/qtx-pdf-preview")))
                oFound << oPid.toLongLong();
        }
    }
    return oFound;
}

// A preview helper started ahead is one process, used by the next preview and
// gone with it; one that died meanwhile costs a new helper, not the preview.
void TestSignatureFormats::previewHelperStartedAhead()
{
    const PdfEngine oEngine(kHelper, PdfLimits());
    const QByteArray oPdf = tst::readFile(kData + QStringLiteral("two-pages.pdf"));
    QVERIFY(previewHelpers().isEmpty());
    oEngine.keepPreviewReady();
    const QList<qint64> oSpare = previewHelpers();
    QCOMPARE(oSpare.size(), 1);
    oEngine.keepPreviewReady();
    QCOMPARE(previewHelpers(), oSpare);
    for (const bool bKilled : {false, true}) {
        if (bKilled) {
            oEngine.keepPreviewReady();
            QCOMPARE(previewHelpers().size(), 1);
            QVERIFY(::kill(pid_t(previewHelpers().first()), SIGKILL) == 0);
        }
        int iDrawn = -1;
        const QImage oPreview = oEngine.renderPage(oPdf, -1, QSize(200, 200), &iDrawn);
        QVERIFY(!oPreview.isNull());
        QCOMPARE(iDrawn, 1);
        QVERIFY(oPreview.width() <= 200 && oPreview.height() <= 200);
        QVERIFY(previewHelpers().isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestSignatureFormats)
#include "tst_signatureformats.moc"
