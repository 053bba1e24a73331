// PDF signatures and signature levels as a page asks for them, through the
// real server and a SoftHSM2 token holding the local PKI's signer: SignPdf at
// B-B, B-T and B-LT (multipart and raw bodies, fresh, already signed,
// visible), Sign with a level, the consent dialog's page count and preview,
// refusals that reach the page as typed errors before any dialog, and the
// upload cap's 413 decided on the headers. Every result is checked with tools
// that are not ours: pdfsig, openssl cms / ts / ocsp, qpdf.

#include "../../testkit/filesupport.h"
#include "localpki.h"
#include "serverfixture.h"
#include "signertestkit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

using namespace stk;

namespace {

const QString kData = QStringLiteral(QTX_TEST_SOURCE_DIR "/data/");

} // namespace

class TestSignPdf : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signsPdfs_data();
    void signsPdfs();
    void signWithLevel();
    void refusals_data();
    void refusals();
    void uploadCap();
    void consentInGerman();

private:
    QString path(const QString &v_oName) const { return m_work.filePath(v_oName); }
    // Submits a raw request of a new session; the result once the consent
    // dialogs got v_oAnswers; what the last one showed in *v_poShown.
    HttpReply command(const QByteArray &v_oPath, const QByteArray &v_oType, const QByteArray &v_oBody,
                      const QList<QByteArray> &v_oAnswers, QByteArray *v_poShown = nullptr);

    QTemporaryDir m_work;
    std::unique_ptr<LocalPki> m_pki;
    ServerFixture m_server;
    SignerPage m_page;
    QByteArray m_certId;
};

void TestSignPdf::initTestCase()
{
    const QString oMissing = missingTools({QStringLiteral("softhsm2-util"), QStringLiteral("pkcs11-tool"), QStringLiteral("pdfsig"),
                                           QStringLiteral("qpdf")}, "softhsm2 opensc poppler-utils qpdf");
    if (!oMissing.isEmpty())
        QSKIP(qPrintable(oMissing));
    QVERIFY(m_work.isValid());
    QVERIFY(QDir().mkpath(path(QStringLiteral("pki"))));
    m_pki = std::make_unique<LocalPki>(path(QStringLiteral("pki")));
    QVERIFY2(m_pki->error().isEmpty(), qPrintable(m_pki->error()));
    QVERIFY(tst::writeFile(m_pki->file(QStringLiteral("chain.pem")),
                           tst::readFile(m_pki->file(QStringLiteral("root.pem")))
                               + tst::readFile(m_pki->file(QStringLiteral("issuing.pem")))));

    // The PKI's signer (EC P-256, with the responder's OCSP address) on a token.
    const SoftHsm oToken(m_work.path());
    KeyFolder oKeys(path(QStringLiteral("pki")));
    QByteArray oError;
    QVERIFY2(oToken.isValid() && oKeys.derive(QStringLiteral("signer"), &oError)
                 && oToken.initToken(QStringLiteral("PDF"), QStringLiteral("1234"), &oError)
                 && oToken.importKey(QStringLiteral("PDF"), QStringLiteral("1234"), oKeys, QStringLiteral("signer"), QStringLiteral("01"), false, &oError),
             oError.constData());

    QVERIFY(m_page.makeHook(m_work.path()));
    const QByteArray oSigning =
        "confirmDelayMs=0\npkcs11Module=" + softHsmModule().toUtf8() + "\ntsaUrl=" + m_pki->url(QStringLiteral("tsa")).toUtf8() + "\nrevocationUrls="
        + m_pki->url(QStringLiteral("ocsp")).toUtf8() + ", " + m_pki->url(QStringLiteral("root.crl")).toUtf8() + ", "
        + m_pki->url(QStringLiteral("issuing.crl")).toUtf8() + "\ntrustAnchors=" + m_pki->file(QStringLiteral("root.pem")).toUtf8()
        + "\nintermediates=" + m_pki->file(QStringLiteral("issuing.pem")).toUtf8() + "\n";
    QVERIFY(m_page.install(m_server, oSigning, true));
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), oToken.conf());
    QVERIFY(m_page.start(m_server));

    // The page's id of the signer: picked once, remembered.
    const HttpReply oPicked = m_page.dialogCall("SelectCertificate", "purpose=sign", {{"picker", "pick:0:remember"}});
    m_certId = jsonOf(oPicked)[QStringLiteral("id")].toString().toLatin1();
    QVERIFY2(!m_certId.isEmpty(), (oPicked.body + m_server.logMessages().join('\n').right(3000).toUtf8()).constData());
}

HttpReply TestSignPdf::command(const QByteArray &v_oPath, const QByteArray &v_oType, const QByteArray &v_oBody,
                               const QList<QByteArray> &v_oAnswers, QByteArray *v_poShown)
{
    m_page.forgetDialog();
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCmdId = m_page.nextCmdId();
    QList<Answer> oAnswers;
    for (const QByteArray &oAnswer : v_oAnswers)
        oAnswers << Answer{"consent", oAnswer};
    QList<QByteArray> oShown;
    const HttpReply oReply = m_page.answered(m_page.exchange(SignerPage::request(v_oPath, oSession, oCmdId, v_oType, v_oBody)),
                                             oSession, oCmdId, oAnswers, &oShown);
    if (v_poShown)
        *v_poShown = oShown.value(oShown.size() - 1);
    return oReply;
}

void TestSignPdf::signsPdfs_data()
{
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<bool>("multipart");
    QTest::addColumn<bool>("alreadySigned"); // signed once by the suite before
    QTest::addColumn<bool>("visible");
    QTest::newRow("B-B, fresh, raw body") << QByteArray("B-B") << false << false << false;
    QTest::newRow("B-T, visible, multipart") << QByteArray("B-T") << true << false << true;
    QTest::newRow("B-LT, already signed, visible") << QByteArray("B-LT") << true << true << true;
}

void TestSignPdf::signsPdfs()
{
    QFETCH(QByteArray, level);
    QFETCH(bool, multipart);
    QFETCH(bool, alreadySigned);
    QFETCH(bool, visible);
    QByteArray oPdf = tst::readFile(kData + QStringLiteral("two-pages.pdf"));
    QVERIFY(!oPdf.isEmpty());
    const int iRounds = alreadySigned ? 2 : 1;
    QByteArray oShown;
    for (int iRound = 0; iRound < iRounds; ++iRound) {
        const bool bLast = iRound == iRounds - 1;
        const QByteArray oLevel = bLast ? level : QByteArray("B-B");
        QList<QPair<QByteArray, QByteArray>> oFields = {{"certId", m_certId}, {"level", oLevel},
                                                        {"documentName", "Contract <b>7</b>.pdf"}, {"page", "last"},
                                                        {"fieldName", "Sig" + QByteArray::number(iRound)}};
        if (visible && bLast)
            oFields += {{"visible", "true"}, {"rect", "300,60,240,70"}, {"text", "Approved"}};
        const HttpReply oReply = multipart ? command("/Signer/SignPdf", "multipart/form-data; boundary=XyZ",
                                                     multipartBody(oFields, {{"contract.pdf", oPdf}}, "document"), {"pin:1234"}, &oShown)
                                           : command("/Signer/SignPdf?" + formBody(oFields), "application/pdf", oPdf, {"pin:1234"}, &oShown);
        QVERIFY2(oReply.status == 200 && errorOf(oReply).isEmpty(), oReply.body.left(400).constData());
        const QJsonObject oResult = jsonOf(oReply);
        QCOMPARE(oResult[QStringLiteral("level")].toString(), QString::fromLatin1(oLevel));
        QCOMPARE(oResult[QStringLiteral("fieldName")].toString(), QStringLiteral("Sig%1").arg(iRound));
        QCOMPARE(QByteArray::fromBase64(oResult[QStringLiteral("certificate")].toString().toLatin1()),
                 m_pki->certificateDer(QStringLiteral("signer")));
        const QByteArray oSigned = QByteArray::fromBase64(oResult[QStringLiteral("pdf")].toString().toLatin1());
        QVERIFY(oSigned.startsWith(oPdf)); // an incremental update: earlier bytes stay
        oPdf = oSigned;
    }
    // The consent showed the page's name as text, the pages and the preview
    // with the box where it goes: 300,60,240,70 points at the preview's scale.
    QVERIFY2(oShown.contains("Contract <b>7</b>.pdf"), oShown.constData());
    QVERIFY2(oShown.contains("2 pages; the signature goes on page 2."), oShown.constData());
    const auto oPreview = QRegularExpression(QStringLiteral("preview=(\\d+)x480 box=(\\d+),(\\d+),(\\d+),(\\d+)"))
                              .match(QString::fromUtf8(oShown));
    QVERIFY2(oPreview.hasMatch(), oShown.constData());
    const double dScale = visible ? 480.0 / 842.0 : 0;
    const int aBox[] = {300, 60, 240, 70};
    for (int i = 0; i < 4; ++i)
        QVERIFY2(qAbs(oPreview.captured(i + 2).toInt() - qRound(aBox[i] * dScale)) <= 1, oShown.constData());
    QVERIFY2(oShown.contains("PAdES-" + level.mid(2)), oShown.constData());

    // pdfsig: every signature valid; B-LT's validation data is an update after the signature.
    const QString oFile = path(QStringLiteral("signed.pdf"));
    QVERIFY(tst::writeFile(oFile, oPdf));
    const PdfSigReport oReport = pdfsig(oFile);
    QCOMPARE(oReport.signatures.size(), iRounds);
    for (const PdfSignature &oSig : oReport.signatures)
        QVERIFY2(oSig.valid, oReport.text.constData());
    QCOMPARE(oReport.signatures.last().wholeDocument, level != "B-LT");

    // The CMS pdfsig pulls out verifies with openssl over the ranges it names;
    // its timestamp with openssl ts; B-LT's /DSS has an OCSP "good" for the signer.
    const QByteArray oCms = dumpedSignatures(oFile, m_work.path()).value(iRounds - 1);
    QByteArray oOutput;
    QVERIFY2(cmsVerifies(oCms, signedBytes(oPdf, oReport.signatures.last()), m_pki->file(QStringLiteral("chain.pem")),
                         m_work.path(), &oOutput), oOutput.constData());
    if (level == "B-B")
        return;
    QVERIFY2(timestampVerifies(oCms, m_pki->file(QStringLiteral("root.pem")), m_pki->file(QStringLiteral("issuing.pem")),
                               m_work.path(), &oOutput), oOutput.constData());
    if (level != "B-LT")
        return;
    bool bGood = false;
    for (const QByteArray &oResponse : dssStreams(oFile, "/OCSPs"))
        bGood = bGood || ocspGood(oResponse, m_pki->file(QStringLiteral("root.pem")), m_pki->file(QStringLiteral("issuing.pem")),
                                  m_pki->file(QStringLiteral("signer.pem")), m_work.path());
    QVERIFY(bGood);
}

// Sign with level B-T: a CAdES signature over the page's digest whose
// timestamp openssl accepts.
void TestSignPdf::signWithLevel()
{
    const QByteArray oContent = QByteArray("The content of a detached signature.\n").repeated(20);
    const QByteArray oBody = "certId=" + m_certId + "&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA&format=cms&level=B-T&digest="
                             + QUrl::toPercentEncoding(QString::fromLatin1(
                                 QCryptographicHash::hash(oContent, QCryptographicHash::Sha256).toBase64()));
    QByteArray oShown;
    const HttpReply oReply = command("/Signer/Sign", "application/x-www-form-urlencoded", oBody, {"pin:1234"}, &oShown);
    QVERIFY2(oReply.status == 200 && errorOf(oReply).isEmpty(), oReply.body.left(400).constData());
    QVERIFY(oShown.contains("CAdES-T"));
    QCOMPARE(jsonOf(oReply)[QStringLiteral("level")].toString(), QStringLiteral("B-T"));
    const QByteArray oCms = QByteArray::fromBase64(jsonOf(oReply)[QStringLiteral("cms")].toString().toLatin1());
    QByteArray oOutput;
    QVERIFY2(cmsVerifies(oCms, oContent, m_pki->file(QStringLiteral("chain.pem")), m_work.path(), &oOutput), oOutput.constData());
    QVERIFY2(timestampVerifies(oCms, m_pki->file(QStringLiteral("root.pem")), m_pki->file(QStringLiteral("issuing.pem")),
                               m_work.path(), &oOutput), oOutput.constData());
}

// Typed errors before any dialog; the server keeps serving after each.
void TestSignPdf::refusals_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    const QByteArray oPdf = tst::readFile(kData + QStringLiteral("two-pages.pdf"));
    const QByteArray oId = "certId=" + QByteArray(40, '0');
    // (The engine's refusals of hostile documents are tst_signatureformats'.)
    QTest::newRow("not a PDF") << QByteArray("/Signer/SignPdf?CERT") << QByteArray("application/pdf")
                               << QByteArray("%PDF-1.7\n1 0 obj <<\n") << "PDF_MALFORMED";
    QTest::newRow("no page 9") << QByteArray("/Signer/SignPdf?CERT&page=9") << QByteArray("application/pdf") << oPdf
                               << "BAD_REQUEST";
    QTest::newRow("unknown level") << QByteArray("/Signer/SignPdf?CERT&level=B-LTA") << QByteArray("application/pdf")
                                   << oPdf << "BAD_REQUEST";
    QTest::newRow("no document") << QByteArray("/Signer/SignPdf?CERT") << QByteArray("text/plain") << QByteArray("x")
                                 << "BAD_REQUEST";
    QTest::newRow("unknown certificate") << "/Signer/SignPdf?" + oId << QByteArray("application/pdf") << oPdf
                                         << "CERTIFICATE_NOT_FOUND";
    QTest::newRow("raw signature with a level")
        << QByteArray("/Signer/Sign") << QByteArray("application/x-www-form-urlencoded")
        << QByteArray("CERT&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA&level=B-T&digest=") + QByteArray(32, 'a').toBase64()
        << "BAD_REQUEST";
}

void TestSignPdf::refusals()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    path.replace("CERT", "certId=" + m_certId);
    body.replace("CERT", "certId=" + m_certId);
    QCOMPARE(errorOf(command(path, type, body, {})), error);
    QVERIFY2(!m_page.dialogShown(), "a dialog was shown");
    QVERIFY(!m_page.openSession().isEmpty());
}

// The cap is decided on the headers: one byte over it gets 413 and the
// connection closes long before the body could have been sent; a body at the
// cap is read and reaches the module.
void TestSignPdf::uploadCap()
{
    const qint64 iCap = 50LL << 20;
    const QByteArray oSession = m_page.openSession();
    for (const qint64 iSize : {iCap + 1, iCap}) {
        const QByteArray oCmdId = m_page.nextCmdId();
        HttpsClient oClient(m_page.port(), m_page.authority());
        QVERIFY(oClient.connect());
        QSslSocket &oSocket = oClient.socket();
        // The head of a request with that Content-Length; the body follows in steps.
        const QByteArray oHead = SignerPage::request("/Signer/SignPdf?certId=" + m_certId, oSession, oCmdId, "application/pdf",
                                                     QByteArray());
        oSocket.write(oHead.left(oHead.indexOf("Content-Length: ")) + "Content-Length: " + QByteArray::number(iSize) + "\r\n\r\n");
        const QByteArray oChunk = "%PDF-1.7\n" + QByteArray((1 << 20) - 9, ' ');
        QElapsedTimer oClock;
        oClock.start();
        qint64 iSent = 0;
        QByteArray oReply;
        // Sends in steps while reading what comes back; stops at a reply or a close.
        while (iSent < iSize && oSocket.state() == QAbstractSocket::ConnectedState && oClock.elapsed() < 30000) {
            const QByteArray oPart = oChunk.left(int(qMin<qint64>(oChunk.size(), iSize - iSent)));
            oSocket.write(iSent == 0 ? oPart : QByteArray(oPart.size(), ' '));
            iSent += oPart.size();
            while (oSocket.bytesToWrite() > (4 << 20) && oSocket.waitForBytesWritten(1000)) {
            }
            oSocket.waitForReadyRead(1);
            oReply += oSocket.readAll();
            if (oReply.contains("\r\n\r\n"))
                break;
        }
        while (!oReply.contains("\r\n\r\n") && oSocket.state() == QAbstractSocket::ConnectedState && oSocket.waitForReadyRead(20000))
            oReply += oSocket.readAll();
        if (iSize > iCap) {
            QVERIFY2(oReply.startsWith("HTTP/1.1 413"), oReply.left(200).constData());
            QVERIFY2(iSent < iCap / 2, qPrintable(QStringLiteral("%1 bytes were sent before the 413").arg(iSent)));
        } else {
            QVERIFY2(oReply.startsWith("HTTP/1.1 202"), oReply.left(200).constData());
            QCOMPARE(errorOf(m_page.result(oSession, oCmdId)), QStringLiteral("PDF_MALFORMED")); // spaces after the header
        }
    }
}

// The server started again with LANGUAGE=de: the page count's plural comes
// from the translations built into the module. Last, as it restarts the server.
void TestSignPdf::consentInGerman()
{
    m_server.process().terminate();
    QVERIFY(m_server.process().waitForFinished(10000));
    QFile::remove(m_server.logFilePath());
    m_server.setEnvironmentValue(QStringLiteral("LANGUAGE"), QStringLiteral("de"));
    QVERIFY(m_page.start(m_server));
    QByteArray oShown;
    const HttpReply oReply = command("/Signer/SignPdf?certId=" + m_certId, "application/pdf",
                                     tst::readFile(kData + QStringLiteral("two-pages.pdf")), {"no"}, &oShown);
    QVERIFY2(oShown.contains("2 Seiten; die Signatur kommt auf Seite 1."), oShown.constData());
    QCOMPARE(errorOf(oReply), QStringLiteral("CANCELLED"));
}

// The server refuses modules to root clients: as root the suite runs itself
// again as the ordinary test account tst_signer uses.
int main(int argc, char *argv[])
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxsigner");
    if (iRerun >= 0)
        return iRerun;
    QCoreApplication oApp(argc, argv);
    TestSignPdf oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_signpdf.moc"
