// SignBatch and BatchProgress through the real server against a SoftHSM2
// token behind OpenSC's PKCS#11 spy (which logs every call the Signer makes):
// one consent and one C_Login for a batch, a refused document among signed
// ones, signatures checked by OpenSSL, progress seen while the batch runs and
// by its own page only, Cancel, and requests refused before any dialog.
// Batches of PDFs are checked with pdfsig.

#include "../filesupport.h"
#include "httpsclient.h"
#include "serverfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
const QString kSpy = QStringLiteral("/usr/lib/x86_64-linux-gnu/pkcs11-spy.so");
const QByteArray kOrigin = "https://shop.example";
const QString kData = QStringLiteral(QTX_TEST_SOURCE_DIR "/data/");

using tst::readFile;
using tst::writeFile;

QByteArray runTool(const QString &v_oProgram, const QString &v_oArguments, const QProcessEnvironment &v_oEnv = {},
                   int *v_piCode = nullptr)
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    if (!v_oEnv.isEmpty())
        oProcess.setProcessEnvironment(v_oEnv);
    oProcess.start(v_oProgram, v_oArguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    const bool bDone = oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit;
    if (v_piCode)
        *v_piCode = bDone ? oProcess.exitCode() : -1;
    return oProcess.readAll();
}

QJsonObject jsonOf(const HttpReply &v_oReply)
{
    return QJsonDocument::fromJson(v_oReply.body.startsWith("500|") ? v_oReply.body.mid(4) : v_oReply.body).object();
}

QString errorOf(const HttpReply &v_oReply)
{
    return v_oReply.body.startsWith("500|") ? jsonOf(v_oReply)[QStringLiteral("error")].toString() : QString();
}

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

// A multipart body as a page's FormData sends it: the fields, then the files
// as parts document.0, document.1, ...
QByteArray multipartBody(const QList<QPair<QByteArray, QByteArray>> &v_oFields,
                         const QList<QPair<QByteArray, QByteArray>> &v_oFiles = {})
{
    QByteArray oBody;
    for (const auto &oField : v_oFields)
        oBody += "--XyZ\r\nContent-Disposition: form-data; name=\"" + oField.first + "\"\r\n\r\n" + oField.second + "\r\n";
    for (int i = 0; i < v_oFiles.size(); ++i)
        oBody += "--XyZ\r\nContent-Disposition: form-data; name=\"document." + QByteArray::number(i) + "\"; filename=\""
                 + v_oFiles[i].first + "\"\r\nContent-Type: application/pdf\r\n\r\n" + v_oFiles[i].second + "\r\n";
    return oBody + "--XyZ--\r\n";
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
    QByteArray session();
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders);
    HttpReply submit(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                     const QByteArray &v_oCmdId, const QByteArray &v_oOrigin = kOrigin);
    // The result once there is one (202 while the job runs, when v_bOnce).
    HttpReply result(const QByteArray &v_oSession, const QByteArray &v_oCmdId, bool v_bOnce = false);
    HttpReply progress(const QByteArray &v_oSession, const QByteArray &v_oBatchId, const QByteArray &v_oOrigin = kOrigin);
    QByteArray batchForm(const QByteArray &v_oDocuments, const QByteArray &v_oExtra = QByteArray());
    // Submits a batch and answers its consent dialog with the PIN; the
    // command id, or empty when no consent dialog came (what it showed in *v_poShown).
    QByteArray startBatch(const QByteArray &v_oSession, const QByteArray &v_oForm, QByteArray *v_poShown = nullptr);
    // Polls progress until the batch's result is there; every item seen, the
    // result in *v_poResult, the polls that brought items in *v_piPolls.
    QJsonArray collect(const QByteArray &v_oSession, const QByteArray &v_oCmdId, HttpReply *v_poResult, int *v_piPolls);
    QByteArray waitDialog(const QByteArray &v_oKind, const QByteArray &v_oNeedle = QByteArray());
    void answer(const QByteArray &v_oAnswer);
    // The user log-ins in the spy's log (context-specific ones apart).
    int logIns() const { return readFile(m_work.filePath(QStringLiteral("spy.log"))).count("userType = CKU_USER\n"); }

    QTemporaryDir m_work;
    QString m_hook;
    ServerFixture m_server;
    QProcessEnvironment m_env;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
    QByteArray m_certId; // Batch-Signer's
    QMap<QString, QByteArray> m_certIds;
    int m_cmdId = 100;
};

void TestSignBatch::initTestCase()
{
    for (const QString &oTool : {QStringLiteral("softhsm2-util"), QStringLiteral("pkcs11-tool"), QStringLiteral("openssl")}) {
        if (QStandardPaths::findExecutable(oTool).isEmpty())
            QSKIP(qPrintable(oTool + QStringLiteral(" is missing: apt-get install softhsm2 opensc")));
    }
    if (!QFile::exists(kSoftHsm) || !QFile::exists(kSpy))
        QSKIP("SoftHSM2 or OpenSC's PKCS#11 spy is missing: apt-get install softhsm2 opensc-pkcs11");
    QVERIFY(m_work.isValid());
    QVERIFY(QDir().mkpath(m_work.filePath(QStringLiteral("tokens"))));
    QVERIFY(writeFile(m_work.filePath(QStringLiteral("softhsm2.conf")),
                      "directories.tokendir = " + QFile::encodeName(m_work.filePath(QStringLiteral("tokens")))
                          + "\nobjectstore.backend = file\nlog.level = ERROR\n"));
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("SOFTHSM2_CONF"), m_work.filePath(QStringLiteral("softhsm2.conf")));
    QVERIFY(writeFile(m_work.filePath(QStringLiteral("leaf.ext")),
                      "keyUsage=critical,digitalSignature,nonRepudiation\nbasicConstraints=CA:FALSE\n"));
    const QString oW = m_work.path();
    for (const QString &oStep :
         {QStringLiteral("req -x509 -newkey rsa:2048 -nodes -keyout %1/ca.key -out %1/ca.pem -subj /CN=Batch-CA -days 30"),
          QStringLiteral("req -new -newkey rsa:2048 -nodes -keyout %1/rsa.key -out %1/rsa.csr -subj /CN=Batch-Signer"),
          QStringLiteral("x509 -req -in %1/rsa.csr -CA %1/ca.pem -CAkey %1/ca.key -CAcreateserial -days 30 "
                         "-extfile %1/leaf.ext -out %1/rsa.pem"),
          QStringLiteral("x509 -in %1/rsa.pem -outform DER -out %1/rsa.der"),
          QStringLiteral("pkcs8 -topk8 -nocrypt -in %1/rsa.key -out %1/rsa.p8"),
          QStringLiteral("x509 -in %1/rsa.pem -pubkey -noout -out %1/rsa.pub"),
          QStringLiteral("req -new -newkey rsa:2048 -nodes -keyout %1/always.key -out %1/always.csr -subj /CN=Batch-Always"),
          QStringLiteral("x509 -req -in %1/always.csr -CA %1/ca.pem -CAkey %1/ca.key -CAcreateserial -days 30 "
                         "-extfile %1/leaf.ext -out %1/always.pem"),
          QStringLiteral("x509 -in %1/always.pem -outform DER -out %1/always.der"),
          QStringLiteral("pkcs8 -topk8 -nocrypt -in %1/always.key -outform DER -out %1/always.p8.der")}) {
        int iCode = -1;
        const QByteArray oOut = runTool(QStringLiteral("openssl"), oStep.arg(oW), m_env, &iCode);
        QVERIFY2(iCode == 0, oOut.constData());
    }
    for (const auto &oStep : {qMakePair(QStringLiteral("softhsm2-util"),
                                        QStringLiteral("--init-token --free --label Batch --so-pin 12345678 --pin 1234")),
                              qMakePair(QStringLiteral("softhsm2-util"),
                                        QStringLiteral("--import %1/rsa.p8 --token Batch --label rsa --id 01 --pin 1234").arg(oW)),
                              qMakePair(QStringLiteral("pkcs11-tool"),
                                        QStringLiteral("--module %2 --token-label Batch --login --pin 1234 --write-object "
                                                       "%1/rsa.der --type cert --id 01 --label rsa").arg(oW, kSoftHsm)),
                              // A key that wants the PIN again for every signature (softhsm2-util cannot mark one).
                              qMakePair(QStringLiteral("pkcs11-tool"),
                                        QStringLiteral("--module %2 --token-label Batch --login --pin 1234 --write-object "
                                                       "%1/always.p8.der --type privkey --id 02 --label always --always-auth")
                                            .arg(oW, kSoftHsm)),
                              qMakePair(QStringLiteral("pkcs11-tool"),
                                        QStringLiteral("--module %2 --token-label Batch --login --pin 1234 --write-object "
                                                       "%1/always.der --type cert --id 02 --label always").arg(oW, kSoftHsm))}) {
        int iCode = -1;
        const QByteArray oOut = runTool(oStep.first, oStep.second, m_env, &iCode);
        QVERIFY2(iCode == 0, oOut.constData());
    }

    m_hook = m_work.filePath(QStringLiteral("hook"));
    QVERIFY(QDir().mkpath(m_hook));
    QVERIFY(QFile::setPermissions(m_hook, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const int iBase = ServerFixture::freeBase(2);
    QVERIFY(iBase > 0);
    m_port = static_cast<quint16>(ServerFixture::isRoot() ? iBase : iBase + 1);
    // The spy stands in front of SoftHSM2 and logs every call into spy.log.
    const QByteArray oIni = "[listener]\nport=" + QByteArray::number(iBase)
                            + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
                              "[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n[signing]\npkcs11Module="
                            + kSpy.toUtf8() + "\nconfirmDelayMs=300\nbatchMaxDocuments=100\n";
    QVERIFY(m_server.installSigner(oIni, true));
    m_ca = m_server.authority();
    QCOMPARE(m_ca.size(), 1);
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), m_env.value(QStringLiteral("SOFTHSM2_CONF")));
    // p11-kit's own SoftHSM2 entry is switched off for the server (a user
    // module config under its XDG_CONFIG_HOME), so every call goes through the spy.
    QVERIFY(QDir().mkpath(m_server.path(QStringLiteral("config/pkcs11/modules"))));
    QVERIFY(writeFile(m_server.path(QStringLiteral("config/pkcs11/modules/softhsm2.module")), "enable-in: none-here\n"));
    m_server.setEnvironmentValue(QStringLiteral("PKCS11SPY"), kSoftHsm);
    m_server.setEnvironmentValue(QStringLiteral("PKCS11SPY_OUTPUT"), m_work.filePath(QStringLiteral("spy.log")));
    m_server.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), m_hook);
    m_server.start({});
    QVERIFY(m_server.waitListening(m_port));

    // The page's ids of the certificates, from the picker (Batch-Always is listed first).
    for (int i = 0; i < 2; ++i) {
        const QByteArray oSession = session();
        QCOMPARE(submit(oSession, "SelectCertificate", "purpose=sign", "1").status, 202);
        QVERIFY(waitDialog("picker", "item1=").contains("Batch-Signer"));
        answer("pick:" + QByteArray::number(i));
        const QJsonObject oPicked = jsonOf(result(oSession, "1"));
        m_certIds[oPicked[QStringLiteral("subjectCommonName")].toString()] = oPicked[QStringLiteral("id")].toString().toLatin1();
    }
    m_certId = m_certIds.value(QStringLiteral("Batch-Signer"));
    QCOMPARE(m_certId.size(), 40);
    QCOMPARE(m_certIds.value(QStringLiteral("Batch-Always")).size(), 40);
}

QByteArray TestSignBatch::session()
{
    const HttpReply oReply = post("/OPEN_SESSION", QByteArray(), {});
    return oReply.status == 200 ? oReply.body : QByteArray();
}

HttpReply TestSignBatch::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
{
    HttpsClient oClient(m_port, m_ca);
    if (!v_oBody.startsWith("--XyZ\r\n"))
        return oClient.post(v_oPath, v_oBody, v_oHeaders);
    QByteArray oRequest = "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const QByteArray &oHeader : v_oHeaders)
        oRequest += oHeader + "\r\n";
    return oClient.exchange(oRequest + "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: "
                            + QByteArray::number(v_oBody.size()) + "\r\n\r\n" + v_oBody);
}

HttpReply TestSignBatch::submit(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                                const QByteArray &v_oCmdId, const QByteArray &v_oOrigin)
{
    return post("/Signer/" + v_oCommand, v_oBody,
                {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId, "Origin: " + v_oOrigin});
}

HttpReply TestSignBatch::result(const QByteArray &v_oSession, const QByteArray &v_oCmdId, bool v_bOnce)
{
    HttpReply oReply;
    for (int i = 0; i < 1200; ++i) {
        oReply = post("/GET_RESULT", QByteArray(), {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId});
        if (oReply.status != 202 || v_bOnce)
            break;
        QTest::qWait(50);
    }
    return oReply;
}

HttpReply TestSignBatch::progress(const QByteArray &v_oSession, const QByteArray &v_oBatchId, const QByteArray &v_oOrigin)
{
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    const HttpReply oAccepted = submit(v_oSession, "BatchProgress", "batchId=" + v_oBatchId, oCmdId, v_oOrigin);
    return oAccepted.status == 202 ? result(v_oSession, oCmdId) : oAccepted;
}

QByteArray TestSignBatch::batchForm(const QByteArray &v_oDocuments, const QByteArray &v_oExtra)
{
    return "certId=" + m_certId + "&batchId=b1&digestAlgorithm=SHA-256&signatureAlgorithm=RSA-PKCS1&documents="
           + QUrl::toPercentEncoding(QString::fromUtf8(v_oDocuments)) + v_oExtra;
}

QByteArray TestSignBatch::startBatch(const QByteArray &v_oSession, const QByteArray &v_oForm, QByteArray *v_poShown)
{
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    if (submit(v_oSession, "SignBatch", v_oForm, oCmdId).status != 202)
        return QByteArray();
    const QByteArray oShown = waitDialog("consent", "item0=");
    if (v_poShown)
        *v_poShown = oShown;
    if (oShown.isEmpty())
        return QByteArray();
    answer("pin:1234");
    return oCmdId;
}

QJsonArray TestSignBatch::collect(const QByteArray &v_oSession, const QByteArray &v_oCmdId, HttpReply *v_poResult,
                                  int *v_piPolls)
{
    QJsonArray oItems;
    *v_piPolls = 0;
    for (int i = 0; i < 1200; ++i) {
        *v_poResult = result(v_oSession, v_oCmdId, true);
        if (v_poResult->status != 202)
            break;
        const QJsonArray oNew = jsonOf(progress(v_oSession, "b1"))[QStringLiteral("items")].toArray();
        *v_piPolls += oNew.isEmpty() ? 0 : 1;
        for (const QJsonValue &oItem : oNew)
            oItems.append(oItem);
    }
    for (const QJsonValue &oItem : jsonOf(*v_poResult)[QStringLiteral("items")].toArray())
        oItems.append(oItem);
    return oItems;
}

QByteArray TestSignBatch::waitDialog(const QByteArray &v_oKind, const QByteArray &v_oNeedle)
{
    for (int i = 0; i < 400; ++i) {
        const QByteArray oShown = readFile(m_hook + QStringLiteral("/dialog.txt"));
        if (oShown.startsWith("dialog=" + v_oKind + '\n') && oShown.contains(v_oNeedle))
            return oShown;
        QTest::qWait(50);
    }
    return QByteArray();
}

void TestSignBatch::answer(const QByteArray &v_oAnswer)
{
    QVERIFY(writeFile(m_hook + QStringLiteral("/answer.new"), v_oAnswer));
    QVERIFY(QFile::rename(m_hook + QStringLiteral("/answer.new"), m_hook + QStringLiteral("/answer")));
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
    QVERIFY(writeFile(m_hook + QStringLiteral("/batch-delay-ms"), bPdf ? "1000" : "150"));
    const int iLogInsBefore = logIns();
    const QByteArray oSession = session();
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
        int iCode = -1;
        QByteArray oOut;
        if (bPdf) {
            const QByteArray oSigned = QByteArray::fromBase64(oItem[QStringLiteral("pdf")].toString().toLatin1());
            QVERIFY(oSigned.startsWith(batchPdfs().at(iIndex).second));
            QVERIFY(writeFile(m_work.filePath(QStringLiteral("signed.pdf")), oSigned));
            oOut = runTool(QStringLiteral("pdfsig"), QStringLiteral("-nocert -no-ocsp %1/signed.pdf").arg(oW), {}, &iCode);
            QVERIFY2(oOut.contains("Signature is Valid.") && oOut.contains("Total document signed"), oOut.constData());
            continue;
        }
        QVERIFY(writeFile(m_work.filePath(QStringLiteral("doc.txt")), documentText(iIndex)));
        QVERIFY(writeFile(m_work.filePath(QStringLiteral("sig.bin")),
                          QByteArray::fromBase64(oItem[format == "cms" ? QStringLiteral("cms") : QStringLiteral("signature")]
                                                     .toString()
                                                     .toLatin1())));
        if (format == "cms") {
            oOut = runTool(QStringLiteral("openssl"),
                           QStringLiteral("cms -verify -binary -inform DER -in %1/sig.bin -content %1/doc.txt -CAfile "
                                          "%1/ca.pem -purpose any -out /dev/null").arg(oW), {}, &iCode);
        } else {
            QVERIFY(writeFile(m_work.filePath(QStringLiteral("digest.bin")),
                              QCryptographicHash::hash(documentText(iIndex), QCryptographicHash::Sha256)));
            oOut = runTool(QStringLiteral("openssl"),
                           QStringLiteral("pkeyutl -verify -pubin -inkey %1/rsa.pub -in %1/digest.bin -sigfile %1/sig.bin "
                                          "-pkeyopt digest:sha256").arg(oW), {}, &iCode);
        }
        QVERIFY2(iCode == 0, oOut.constData());
    }
    // The batch is over: nothing more to read, for anybody.
    QCOMPARE(errorOf(progress(oSession, "b1")), QStringLiteral("BATCH_NOT_FOUND"));
}

// While the consent dialog is open the batch's own page sees it waiting;
// another session of the same origin, the same session from another origin,
// and a page naming the session in a parameter see no batch at all.
void TestSignBatch::progressOnlyForItsPage()
{
    const QByteArray oSession = session();
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    QCOMPARE(submit(oSession, "SignBatch", batchForm(documentsJson(3)), oCmdId).status, 202);
    QVERIFY(!waitDialog("consent", "item2=").isEmpty());
    QCOMPARE(jsonOf(progress(oSession, "b1"))[QStringLiteral("state")].toString(), QStringLiteral("consent"));
    const QByteArray oOther = session();
    const struct
    {
        QByteArray session;
        QByteArray origin;
        QByteArray extra;
    } aIntruders[] = {{oOther, kOrigin, ""},
                      {oSession, "https://evil.example", ""},
                      {oOther, kOrigin, "&keyHttpSessionId=" + oSession + "&x-qtx-sessionid=" + oSession}};
    for (const auto &oIntruder : aIntruders) {
        const QByteArray oId = QByteArray::number(++m_cmdId);
        QCOMPARE(submit(oIntruder.session, "BatchProgress", "batchId=b1" + oIntruder.extra, oId, oIntruder.origin).status, 202);
        QCOMPARE(errorOf(result(oIntruder.session, oId)), QStringLiteral("BATCH_NOT_FOUND"));
    }
    answer("cancel");
    QCOMPARE(errorOf(result(oSession, oCmdId)), QStringLiteral("CANCELLED"));
}

// Cancel in the progress window: the documents signed so far stay signed and
// are named, the rest are not signed.
void TestSignBatch::cancelStopsTheRest()
{
    QVERIFY(writeFile(m_hook + QStringLiteral("/batch-delay-ms"), "150"));
    const QByteArray oSession = session();
    const QByteArray oCmdId = startBatch(oSession, batchForm(documentsJson(20)));
    QVERIFY(!oCmdId.isEmpty());
    QVERIFY(!waitDialog("progress", "2 of 20 signed").isEmpty());
    answer("cancel");
    const HttpReply oResult = result(oSession, oCmdId);
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
    const QByteArray oSession = session();
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    QCOMPARE(submit(oSession, "SignBatch", form, oCmdId).status, 202);
    QCOMPARE(errorOf(result(oSession, oCmdId)), error);
    QVERIFY(!QFile::exists(m_hook + QStringLiteral("/dialog.txt")));
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
