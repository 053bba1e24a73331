// SignBatch and BatchProgress through the real server against a SoftHSM2
// token behind OpenSC's PKCS#11 spy (which logs every call the Signer makes):
// one consent and one C_Login for a batch, a refused document among signed
// ones, signatures checked by OpenSSL, progress seen while the batch runs and
// by its own page only, Cancel, and requests refused before any dialog.
// Batches of PDFs are checked with pdfsig.

#include "../../testkit/filesupport.h"
#include "serverfixture.h"
#include "signertestkit.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

using namespace stk;

namespace {

const QString kSpy = QStringLiteral("/usr/lib/x86_64-linux-gnu/pkcs11-spy.so");
const QString kData = QStringLiteral(QTX_TEST_SOURCE_DIR "/data/");

using tst::readFile;
using tst::writeFile;

QByteArray documentText(int v_iIndex)
{
    return "Invoice " + QByteArray::number(v_iIndex) + '\n';
}

// The documents parameter: SHA-256 digests of documentText(i); the ones in
// v_oBad get a digest of the wrong length.
QByteArray documentsJson(int v_iCount, const QSet<int> &v_oBad = {})
{
    QJsonArray oDocuments;
    for (int i = 0; i < v_iCount; ++i) {
        QByteArray oDigest = QCryptographicHash::hash(documentText(i), QCryptographicHash::Sha256);
        if (v_oBad.contains(i))
            oDigest.chop(1);
        oDocuments.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("invoice-%1.txt").arg(i)},
                                      {QStringLiteral("digest"), QString::fromLatin1(oDigest.toBase64())}});
    }
    return QJsonDocument(oDocuments).toJson(QJsonDocument::Compact);
}

// The PDFs of a batch: a good one, one that is not a PDF, another good one.
QList<QPair<QByteArray, QByteArray>> batchPdfs()
{
    return {{"contract.pdf", readFile(kData + QStringLiteral("two-pages.pdf"))},
            {"broken.pdf", "%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 9 0 R >> endobj\ntrailer << /Root 1 0 R >>\n"},
            {"annex.pdf", readFile(kData + QStringLiteral("xref-stream.pdf"))}};
}

} // namespace

class TestSignBatch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void oneConsentOneLogIn_data();
    void oneConsentOneLogIn();
    void progressOnlyForItsPage();
    void cancelStopsTheRest();
    void refusedBeforeAnyDialog_data();
    void refusedBeforeAnyDialog();

private:
    HttpReply progress(const QByteArray &v_oSession, const QByteArray &v_oOrigin = kOrigin);
    QByteArray batchForm(const QByteArray &v_oDocuments, const QByteArray &v_oExtra = QByteArray());
    // Submits a batch and answers its consent dialog with the PIN; the
    // command id, or empty when no consent dialog came (what it showed in *v_poShown).
    QByteArray startBatch(const QByteArray &v_oSession, const QByteArray &v_oForm, QByteArray *v_poShown = nullptr);
    // Polls progress until the batch's result is there; every item seen, the
    // result in *v_poResult, the polls that brought items in *v_piPolls.
    QJsonArray collect(const QByteArray &v_oSession, const QByteArray &v_oCmdId, HttpReply *v_poResult, int *v_piPolls);
    // The user log-ins in the spy's log (context-specific ones apart).
    int logIns() const { return readFile(m_work.filePath(QStringLiteral("spy.log"))).count("userType = CKU_USER\n"); }

    QTemporaryDir m_work;
    SignerPage m_page;
    ServerFixture m_server;
    QByteArray m_certId; // Batch-Signer's
    QMap<QString, QByteArray> m_certIds;
};

void TestSignBatch::initTestCase()
{
    const QString oMissing = missingTools({QStringLiteral("softhsm2-util"), QStringLiteral("pkcs11-tool"), QStringLiteral("openssl")},
                                          "softhsm2 opensc");
    if (!oMissing.isEmpty() || !QFile::exists(kSpy))
        QSKIP(oMissing.isEmpty() ? "OpenSC's PKCS#11 spy is missing: apt-get install opensc-pkcs11" : qPrintable(oMissing));
    QVERIFY(m_work.isValid());
    const SoftHsm oToken(m_work.path());
    KeyFolder oKeys(m_work.path());
    QByteArray oError;
    // Batch-Always wants the PIN again for every signature.
    QVERIFY2(oToken.isValid() && oKeys.makeCa(QStringLiteral("/CN=Batch-CA"), &oError)
                 && oKeys.issue(QStringLiteral("rsa"), words(QStringLiteral("-newkey rsa:2048")), QStringLiteral("/CN=Batch-Signer"), &oError)
                 && oKeys.issue(QStringLiteral("always"), words(QStringLiteral("-newkey rsa:2048")), QStringLiteral("/CN=Batch-Always"), &oError)
                 && oToken.initToken(QStringLiteral("Batch"), QStringLiteral("1234"), &oError)
                 && oToken.importKey(QStringLiteral("Batch"), QStringLiteral("1234"), oKeys, QStringLiteral("rsa"), QStringLiteral("01"), false, &oError)
                 && oToken.importKey(QStringLiteral("Batch"), QStringLiteral("1234"), oKeys, QStringLiteral("always"), QStringLiteral("02"), true, &oError),
             oError.constData());

    // The spy stands in front of SoftHSM2 and logs every call into spy.log.
    QVERIFY(m_page.makeHook(m_work.path()));
    QVERIFY(m_page.install(m_server, "pkcs11Module=" + kSpy.toUtf8() + "\nconfirmDelayMs=300\nbatchMaxDocuments=100\n", true));
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), oToken.conf());
    // p11-kit's own SoftHSM2 entry is switched off for the server (a user
    // module config under its XDG_CONFIG_HOME), so every call goes through the spy.
    QVERIFY(QDir().mkpath(m_server.path(QStringLiteral("config/pkcs11/modules"))));
    QVERIFY(writeFile(m_server.path(QStringLiteral("config/pkcs11/modules/softhsm2.module")), "enable-in: none-here\n"));
    m_server.setEnvironmentValue(QStringLiteral("PKCS11SPY"), softHsmModule());
    m_server.setEnvironmentValue(QStringLiteral("PKCS11SPY_OUTPUT"), m_work.filePath(QStringLiteral("spy.log")));
    QVERIFY(m_page.start(m_server));

    // The page's ids of the certificates, from the picker (Batch-Always is listed first).
    for (int i = 0; i < 2; ++i) {
        const QJsonObject oPicked = jsonOf(m_page.dialogCall("SelectCertificate", "purpose=sign",
                                                             {{"picker", "pick:" + QByteArray::number(i), "item1="}}));
        m_certIds[oPicked[QStringLiteral("subjectCommonName")].toString()] = oPicked[QStringLiteral("id")].toString().toLatin1();
    }
    m_certId = m_certIds.value(QStringLiteral("Batch-Signer"));
    QCOMPARE(m_certId.size(), 40);
    QCOMPARE(m_certIds.value(QStringLiteral("Batch-Always")).size(), 40);
}

HttpReply TestSignBatch::progress(const QByteArray &v_oSession, const QByteArray &v_oOrigin)
{
    const QByteArray oCmdId = m_page.nextCmdId();
    const HttpReply oAccepted = m_page.submit(v_oSession, "BatchProgress", "batchId=b1", oCmdId, v_oOrigin);
    return oAccepted.status == 202 ? m_page.result(v_oSession, oCmdId) : oAccepted;
}

QByteArray TestSignBatch::batchForm(const QByteArray &v_oDocuments, const QByteArray &v_oExtra)
{
    return "certId=" + m_certId + "&batchId=b1&digestAlgorithm=SHA-256&signatureAlgorithm=RSA-PKCS1&documents="
           + QUrl::toPercentEncoding(QString::fromUtf8(v_oDocuments)) + v_oExtra;
}

QByteArray TestSignBatch::startBatch(const QByteArray &v_oSession, const QByteArray &v_oForm, QByteArray *v_poShown)
{
    const QByteArray oCmdId = m_page.nextCmdId();
    if (m_page.submit(v_oSession, "SignBatch", v_oForm, oCmdId).status != 202)
        return QByteArray();
    const QByteArray oShown = m_page.waitDialog("consent", "item0=");
    if (v_poShown)
        *v_poShown = oShown;
    if (oShown.isEmpty() || !m_page.answer("pin:1234"))
        return QByteArray();
    return oCmdId;
}

QJsonArray TestSignBatch::collect(const QByteArray &v_oSession, const QByteArray &v_oCmdId, HttpReply *v_poResult,
                                  int *v_piPolls)
{
    QJsonArray oItems;
    *v_piPolls = 0;
    for (int i = 0; i < 1200; ++i) {
        *v_poResult = m_page.result(v_oSession, v_oCmdId, true);
        if (v_poResult->status != 202)
            break;
        const QJsonArray oNew = jsonOf(progress(v_oSession))[QStringLiteral("items")].toArray();
        *v_piPolls += oNew.isEmpty() ? 0 : 1;
        for (const QJsonValue &oItem : oNew)
            oItems.append(oItem);
    }
    for (const QJsonValue &oItem : jsonOf(*v_poResult)[QStringLiteral("items")].toArray())
        oItems.append(oItem);
    return oItems;
}

void TestSignBatch::oneConsentOneLogIn_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QString>("key");
    QTest::newRow("raw") << QByteArray("raw") << "Signer";
    QTest::newRow("cms") << QByteArray("cms") << "Signer";
    // Its context-specific log-in before each signature takes the PIN typed once.
    QTest::newRow("cms, always-authenticate key") << QByteArray("cms") << "Always";
    // PDFs uploaded as file parts, each prepared before the dialog.
    QTest::newRow("pdf") << QByteArray("pdf") << "Signer";
}

// 20 documents, the 8th with a digest of the wrong length (or 3 PDFs, the
// 2nd not a PDF): one dialog lists them all, one C_Login, the others signed
// and verified by tools not ours, the bad one refused with its error; items
// come in while the batch runs, each exactly once.
void TestSignBatch::oneConsentOneLogIn()
{
    QFETCH(QByteArray, format);
    QFETCH(QString, key);
    const bool bPdf = format == "pdf";
    const int iCount = bPdf ? 3 : 20;
    const int iBad = bPdf ? 1 : 7;
    // Spaced well beyond one poll's round trip (three TLS connections, slow
    // under the sanitizers), so at least two polls see items whatever the load.
    QVERIFY(writeFile(m_page.hook() + QStringLiteral("/batch-delay-ms"), bPdf ? "1000" : "150"));
    const int iLogInsBefore = logIns();
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCertId = m_certIds.value(QStringLiteral("Batch-") + key);
    const QByteArray oForm =
        bPdf ? multipartBody({{"certId", oCertId}, {"batchId", "b1"}, {"digestAlgorithm", "SHA-256"},
                              {"signatureAlgorithm", "RSA-PKCS1"}, {"level", "B-B"}}, batchPdfs())
             : batchForm(documentsJson(20, {7}), "&format=" + format).replace(m_certId, oCertId);
    QByteArray oShown;
    const QByteArray oCmdId = startBatch(oSession, oForm, &oShown);
    QVERIFY2(!oCmdId.isEmpty(), oShown.constData());
    if (bPdf) {
        // Name, pages and size, the hash of what is signed, the first page's
        // preview; the broken one with its reason.
        QVERIFY2(QRegularExpression(QStringLiteral("item0=contract.pdf \\| PDF, 2 page\\S*, 9\\.\\d+ KiB \\| [0-9a-f ]{40,} \\| \\[preview\\]\n"))
                     .match(QString::fromUtf8(oShown)).hasMatch(), oShown.constData());
        QVERIFY2(oShown.contains("item1=broken.pdf | PDF, 84 bytes | Will not be signed: "), oShown.constData());
        QVERIFY2(oShown.contains("item2=annex.pdf | PDF, ") && oShown.contains("PAdES-B-B"), oShown.constData());
    }
    HttpReply oResult;
    int iPolls = 0;
    const QJsonArray oItems = collect(oSession, oCmdId, &oResult, &iPolls);
    QVERIFY2(oResult.status == 200 && !oResult.body.startsWith("500|"), oResult.body.constData());
    QCOMPARE(logIns() - iLogInsBefore, 1);
    QVERIFY2(iPolls >= 2, "the items did not come in while the batch ran");

    const QJsonObject oSummary = jsonOf(oResult);
    QCOMPARE(oSummary[QStringLiteral("signed")].toArray().size(), iCount - 1);
    QCOMPARE(oSummary[QStringLiteral("failed")].toArray(), QJsonArray{iBad});
    QCOMPARE(oItems.size(), iCount);
    QSet<int> oSeen;
    const QString oW = m_work.path();
    for (const QJsonValue &oItem : oItems) {
        const int iIndex = oItem[QStringLiteral("index")].toInt();
        QVERIFY(!oSeen.contains(iIndex));
        oSeen << iIndex;
        if (iIndex == iBad) {
            QCOMPARE(oItem[QStringLiteral("error")].toString(),
                     bPdf ? QStringLiteral("PDF_MALFORMED") : QStringLiteral("BAD_DIGEST_LENGTH"));
            continue;
        }
        if (bPdf) {
            const QByteArray oSigned = QByteArray::fromBase64(oItem[QStringLiteral("pdf")].toString().toLatin1());
            QVERIFY(oSigned.startsWith(batchPdfs().at(iIndex).second));
            QVERIFY(writeFile(m_work.filePath(QStringLiteral("signed.pdf")), oSigned));
            const PdfSigReport oReport = pdfsig(m_work.filePath(QStringLiteral("signed.pdf")));
            QVERIFY2(oReport.signatures.size() == 1 && oReport.signatures[0].valid && oReport.signatures[0].wholeDocument,
                     oReport.text.constData());
            continue;
        }
        const QByteArray oSignature = QByteArray::fromBase64(oItem[QLatin1String(format == "cms" ? "cms" : "signature")].toString().toLatin1());
        if (format == "cms") {
            QByteArray oOutput;
            QVERIFY2(cmsVerifies(oSignature, documentText(iIndex), m_work.filePath(QStringLiteral("ca.pem")), oW, &oOutput),
                     oOutput.constData());
            continue;
        }
        QVERIFY(writeFile(m_work.filePath(QStringLiteral("sig.bin")), oSignature));
        QVERIFY(writeFile(m_work.filePath(QStringLiteral("digest.bin")),
                          QCryptographicHash::hash(documentText(iIndex), QCryptographicHash::Sha256)));
        const Run oCheck = tool(QStringLiteral("openssl pkeyutl -verify -pubin -inkey %1/rsa.pub -in %1/digest.bin -sigfile %1/sig.bin "
                                     "-pkeyopt digest:sha256"), {oW});
        QVERIFY2(oCheck.ok(), oCheck.output.constData());
    }
    // The batch is over: nothing more to read, for anybody.
    QCOMPARE(errorOf(progress(oSession)), QStringLiteral("BATCH_NOT_FOUND"));
}

// While the consent dialog is open the batch's own page sees it waiting;
// another session of the same origin, the same session from another origin,
// and a page naming the session in a parameter see no batch at all.
void TestSignBatch::progressOnlyForItsPage()
{
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCmdId = m_page.nextCmdId();
    QCOMPARE(m_page.submit(oSession, "SignBatch", batchForm(documentsJson(3)), oCmdId).status, 202);
    QVERIFY(!m_page.waitDialog("consent", "item2=").isEmpty());
    QCOMPARE(jsonOf(progress(oSession))[QStringLiteral("state")].toString(), QStringLiteral("consent"));
    const QByteArray oOther = m_page.openSession();
    const struct
    {
        QByteArray session;
        QByteArray origin;
        QByteArray extra;
    } aIntruders[] = {{oOther, kOrigin, ""},
                      {oSession, "https://evil.example", ""},
                      {oOther, kOrigin, "&keyHttpSessionId=" + oSession + "&x-qtx-sessionid=" + oSession}};
    for (const auto &oIntruder : aIntruders) {
        const QByteArray oId = m_page.nextCmdId();
        QCOMPARE(m_page.submit(oIntruder.session, "BatchProgress", "batchId=b1" + oIntruder.extra, oId, oIntruder.origin).status, 202);
        QCOMPARE(errorOf(m_page.result(oIntruder.session, oId)), QStringLiteral("BATCH_NOT_FOUND"));
    }
    QVERIFY(m_page.answer("cancel"));
    QCOMPARE(errorOf(m_page.result(oSession, oCmdId)), QStringLiteral("CANCELLED"));
}

// Cancel in the progress window: the documents signed so far stay signed and
// are named, the rest are not signed.
void TestSignBatch::cancelStopsTheRest()
{
    QVERIFY(writeFile(m_page.hook() + QStringLiteral("/batch-delay-ms"), "150"));
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCmdId = startBatch(oSession, batchForm(documentsJson(20)));
    QVERIFY(!oCmdId.isEmpty());
    QVERIFY(!m_page.waitDialog("progress", "2 of 20 signed").isEmpty());
    QVERIFY(m_page.answer("cancel"));
    const HttpReply oResult = m_page.result(oSession, oCmdId);
    const QJsonObject oSummary = jsonOf(oResult);
    QVERIFY2(oSummary[QStringLiteral("cancelled")].toBool(), oResult.body.constData());
    const int iSigned = oSummary[QStringLiteral("signed")].toArray().size();
    QVERIFY(iSigned >= 2 && iSigned < 20);
    QCOMPARE(iSigned + oSummary[QStringLiteral("notSigned")].toArray().size(), 20);
    QCOMPARE(oSummary[QStringLiteral("items")].toArray().size(), iSigned);
}

void TestSignBatch::refusedBeforeAnyDialog_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QString>("error");
    const QByteArray oOk = documentsJson(2);
    QTest::newRow("too many") << batchForm(documentsJson(101)) << "BATCH_TOO_LARGE";
    // As a page's FormData sends it: the server takes up to 1 MB in multipart.
    const QList<QPair<QByteArray, QByteArray>> oFields = {{"certId", m_certId}, {"batchId", "b1"},
                                                          {"digestAlgorithm", "SHA-256"}, {"signatureAlgorithm", "RSA-PKCS1"}};
    QTest::newRow("too many bytes") << multipartBody(oFields + QList<QPair<QByteArray, QByteArray>>{
                                           {"documents", "[" + QByteArray(600 << 10, ' ') + "]"}})
                                    << "BATCH_TOO_LARGE";
    const auto oPdfs = batchPdfs();
    QTest::newRow("PDFs and digests") << multipartBody(oFields + QList<QPair<QByteArray, QByteArray>>{{"documents", oOk}},
                                                       oPdfs)
                                      << "BAD_REQUEST";
    QTest::newRow("not a list") << batchForm("{\"name\":1}") << "BAD_REQUEST";
    QTest::newRow("empty") << batchForm("[]") << "BAD_REQUEST";
    QTest::newRow("bad batch id") << batchForm(oOk).replace("batchId=b1", "batchId=../x") << "BAD_REQUEST";
    QTest::newRow("raw at B-T") << batchForm(oOk, "&level=B-T") << "BAD_REQUEST";
    QTest::newRow("B-T without a TSA") << batchForm(oOk, "&format=cms&level=B-T") << "TSA_NOT_CONFIGURED";
    QTest::newRow("other site's id") << batchForm(oOk).replace(m_certId, QByteArray(40, 'a')) << "CERTIFICATE_NOT_FOUND";
}

void TestSignBatch::refusedBeforeAnyDialog()
{
    QFETCH(QByteArray, form);
    QFETCH(QString, error);
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCmdId = m_page.nextCmdId();
    QCOMPARE(m_page.submit(oSession, "SignBatch", form, oCmdId).status, 202);
    QCOMPARE(errorOf(m_page.result(oSession, oCmdId)), error);
    QVERIFY(!m_page.dialogShown());
}

// The server refuses modules to root clients, so as root the suite runs itself
// again as the Signer suites' test account.
int main(int argc, char *argv[])
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxsigner");
    if (iRerun >= 0)
        return iRerun;
    QCoreApplication oApp(argc, argv);
    TestSignBatch oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}
#include "tst_signbatch.moc"
