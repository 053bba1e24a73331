// PDF signatures and signature levels as a page asks for them, through the
// real server and a SoftHSM2 token holding the local PKI's signer: SignPdf at
// B-B, B-T and B-LT (multipart and raw bodies, fresh, already signed,
// visible), Sign with a level, the consent dialog's page count and preview,
// refusals that reach the page as typed errors before any dialog, and the
// upload cap's 413 decided on the headers. Every result is checked with tools
// that are not ours: pdfsig, openssl cms / ts / ocsp, qpdf.

#include "../filesupport.h"
#include "httpsclient.h"
#include "localpki.h"
#include "serverfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
const QString kData = QStringLiteral(QTX_TEST_SOURCE_DIR "/data/");
const QByteArray kOrigin = "https://shop.example";

struct Tool
{
    int code = -1;
    QByteArray output;
};

Tool run(const QString &v_oProgram, const QStringList &v_oArguments, const QProcessEnvironment &v_oEnv = {},
         const QString &v_oFolder = QString())
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    if (!v_oEnv.isEmpty())
        oProcess.setProcessEnvironment(v_oEnv);
    if (!v_oFolder.isEmpty())
        oProcess.setWorkingDirectory(v_oFolder);
    oProcess.start(v_oProgram, v_oArguments);
    Tool oTool;
    if (oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit)
        oTool.code = oProcess.exitCode();
    oTool.output = oProcess.readAll();
    return oTool;
}

QStringList words(const QString &v_oLine)
{
    return v_oLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QJsonObject jsonOf(const HttpReply &v_oReply)
{
    return QJsonDocument::fromJson(v_oReply.body.startsWith("500|") ? v_oReply.body.mid(4) : v_oReply.body).object();
}

QString errorCode(const HttpReply &v_oReply)
{
    return v_oReply.body.startsWith("500|") ? jsonOf(v_oReply)[QStringLiteral("error")].toString() : QString();
}

// A request with its own body and Content-Type (the client's post() sends forms).
QByteArray request(const QByteArray &v_oPath, const QList<QByteArray> &v_oHeaders, const QByteArray &v_oType,
                   const QByteArray &v_oBody)
{
    QByteArray oRequest = "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const QByteArray &oHeader : v_oHeaders)
        oRequest += oHeader + "\r\n";
    return oRequest + "Content-Type: " + v_oType + "\r\nContent-Length: " + QByteArray::number(v_oBody.size())
           + "\r\n\r\n" + v_oBody;
}

QByteArray multipart(const QList<QPair<QByteArray, QByteArray>> &v_oFields, const QByteArray &v_oPdf,
                     const QByteArray &v_oBoundary)
{
    QByteArray oBody;
    for (const auto &oField : v_oFields)
        oBody += "--" + v_oBoundary + "\r\nContent-Disposition: form-data; name=\"" + oField.first + "\"\r\n\r\n"
                 + oField.second + "\r\n";
    return oBody + "--" + v_oBoundary
           + "\r\nContent-Disposition: form-data; name=\"document\"; filename=\"contract.pdf\"\r\n"
             "Content-Type: application/pdf\r\n\r\n"
           + v_oPdf + "\r\n--" + v_oBoundary + "--\r\n";
}

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
    QByteArray openSession();
    // Submits a raw request for the session; the result once the dialogs got
    // v_oAnswers (consent first); what the consent dialog showed in *v_poShown.
    HttpReply command(const QByteArray &v_oRequest, const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                      const QList<QByteArray> &v_oAnswers, QByteArray *v_poShown = nullptr);
    QList<QByteArray> headers(const QByteArray &v_oSession, const QByteArray &v_oCmdId) const
    {
        return {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId, "Origin: " + kOrigin};
    }
    QByteArray waitDialog(const QByteArray &v_oKind);
    void answer(const QByteArray &v_oAnswer);
    bool cmsVerifies(const QByteArray &v_oCms, const QByteArray &v_oContent, QByteArray *v_poOutput);
    void checkTimestamp(const QByteArray &v_oCms);

    QTemporaryDir m_work;
    std::unique_ptr<LocalPki> m_pki;
    QProcessEnvironment m_env;
    ServerFixture m_server;
    QString m_hookDir;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
    QByteArray m_certId;
    int m_cmdId = 100;
};

void TestSignPdf::initTestCase()
{
    for (const QString &oTool : {QStringLiteral("softhsm2-util"), QStringLiteral("pkcs11-tool"), QStringLiteral("pdfsig"),
                                 QStringLiteral("qpdf")}) {
        if (QStandardPaths::findExecutable(oTool).isEmpty())
            QSKIP(qPrintable(oTool + QStringLiteral(" is missing: apt-get install softhsm2 opensc poppler-utils qpdf")));
    }
    QVERIFY(m_work.isValid());
    QVERIFY(QDir().mkpath(path(QStringLiteral("pki"))));
    m_pki = std::make_unique<LocalPki>(path(QStringLiteral("pki")));
    QVERIFY2(m_pki->error().isEmpty(), qPrintable(m_pki->error()));
    QVERIFY(tst::writeFile(m_pki->file(QStringLiteral("chain.pem")),
                           tst::readFile(m_pki->file(QStringLiteral("root.pem")))
                               + tst::readFile(m_pki->file(QStringLiteral("issuing.pem")))));

    // The PKI's signer (EC P-256, with the responder's OCSP address) on a token.
    QVERIFY(QDir().mkpath(path(QStringLiteral("tokens"))));
    QVERIFY(tst::writeFile(path(QStringLiteral("softhsm2.conf")),
                           "directories.tokendir = " + QFile::encodeName(path(QStringLiteral("tokens")))
                               + "\nobjectstore.backend = file\nlog.level = ERROR\n"));
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("SOFTHSM2_CONF"), path(QStringLiteral("softhsm2.conf")));
    const QString oKey = m_pki->file(QStringLiteral("signer"));
    for (const QStringList &oStep :
         {words(QStringLiteral("softhsm2-util --init-token --free --label PDF --so-pin 12345678 --pin 1234")),
          words(QStringLiteral("openssl pkcs8 -topk8 -nocrypt -in %1.key -out %1.p8").arg(oKey)),
          words(QStringLiteral("openssl x509 -in %1.pem -outform DER -out %1.der").arg(oKey)),
          words(QStringLiteral("softhsm2-util --import %1.p8 --token PDF --label signer --id 01 --pin 1234").arg(oKey)),
          words(QStringLiteral("pkcs11-tool --module %1 --token-label PDF --login --pin 1234 --write-object %2.der "
                               "--type cert --id 01 --label signer")
                    .arg(kSoftHsm, oKey))}) {
        const Tool oRun = run(oStep.first(), oStep.mid(1), m_env);
        QVERIFY2(oRun.code == 0, oRun.output.constData());
    }

    m_hookDir = path(QStringLiteral("hook"));
    QVERIFY(QDir().mkpath(m_hookDir));
    QVERIFY(QFile::setPermissions(m_hookDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const int iBase = ServerFixture::freeBase(2);
    QVERIFY(iBase > 0);
    m_port = quint16(ServerFixture::isRoot() ? iBase : iBase + 1);
    const QByteArray oIni =
        "[listener]\nport=" + QByteArray::number(iBase)
        + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
          "[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n[signing]\nconfirmDelayMs=0\npkcs11Module="
        + kSoftHsm.toUtf8() + "\ntsaUrl=" + m_pki->url(QStringLiteral("tsa")).toUtf8() + "\nrevocationUrls="
        + m_pki->url(QStringLiteral("ocsp")).toUtf8() + ", " + m_pki->url(QStringLiteral("root.crl")).toUtf8() + ", "
        + m_pki->url(QStringLiteral("issuing.crl")).toUtf8() + "\ntrustAnchors=" + m_pki->file(QStringLiteral("root.pem")).toUtf8()
        + "\nintermediates=" + m_pki->file(QStringLiteral("issuing.pem")).toUtf8() + "\n";
    QVERIFY(m_server.installSigner(oIni, true));
    m_ca = m_server.authority();
    QCOMPARE(m_ca.size(), 1);
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), m_env.value(QStringLiteral("SOFTHSM2_CONF")));
    m_server.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), m_hookDir);
    m_server.start({});
    QVERIFY(m_server.waitListening(m_port));

    // The page's id of the signer: picked once, remembered.
    const QByteArray oSession = openSession();
    const QByteArray oPick = HttpsClient(m_port, m_ca).post("/Signer/SelectCertificate", "purpose=sign",
                                                           headers(oSession, "1")).raw;
    QVERIFY2(oPick.contains(" 202 "), oPick.constData());
    QVERIFY2(!waitDialog("picker").isEmpty(), m_server.logMessages().join('\n').right(3000).toUtf8().constData());
    answer("pick:0:remember");
    HttpReply oPicked;
    for (int i = 0; i < 400; ++i) {
        oPicked = HttpsClient(m_port, m_ca).post("/GET_RESULT", {}, headers(oSession, "1"));
        if (oPicked.status != 202)
            break;
        QTest::qWait(50);
    }
    m_certId = jsonOf(oPicked)[QStringLiteral("id")].toString().toLatin1();
    QVERIFY2(!m_certId.isEmpty(), oPicked.body.constData());
}

QByteArray TestSignPdf::openSession()
{
    const HttpReply oReply = HttpsClient(m_port, m_ca).post("/OPEN_SESSION");
    return oReply.status == 200 ? oReply.body : QByteArray();
}

void TestSignPdf::answer(const QByteArray &v_oAnswer)
{
    QVERIFY(tst::writeFile(m_hookDir + QStringLiteral("/answer.new"), v_oAnswer));
    QVERIFY(QFile::rename(m_hookDir + QStringLiteral("/answer.new"), m_hookDir + QStringLiteral("/answer")));
}

QByteArray TestSignPdf::waitDialog(const QByteArray &v_oKind)
{
    const QString oPath = m_hookDir + QStringLiteral("/dialog.txt");
    for (int i = 0; i < 400; ++i) {
        const QByteArray oShown = tst::readFile(oPath);
        if (oShown.startsWith("dialog=" + v_oKind + '\n'))
            return oShown;
        QTest::qWait(50);
    }
    return QByteArray();
}

HttpReply TestSignPdf::command(const QByteArray &v_oRequest, const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                               const QList<QByteArray> &v_oAnswers, QByteArray *v_poShown)
{
    QFile::remove(m_hookDir + QStringLiteral("/dialog.txt"));
    HttpsClient oClient(m_port, m_ca);
    const HttpReply oAccepted = oClient.exchange(v_oRequest, 60000);
    if (oAccepted.status != 202)
        return oAccepted;
    for (const QByteArray &oAnswer : v_oAnswers) {
        const QByteArray oShown = waitDialog("consent");
        if (oShown.isEmpty())
            return HttpReply{0, "no dialog", {}, {}, {}};
        if (v_poShown)
            *v_poShown = oShown;
        answer(oAnswer);
    }
    HttpReply oReply;
    for (int i = 0; i < 1200; ++i) {
        oReply = HttpsClient(m_port, m_ca).post("/GET_RESULT", {}, headers(v_oSession, v_oCmdId));
        if (oReply.status != 202)
            break;
        QTest::qWait(50);
    }
    return oReply;
}

bool TestSignPdf::cmsVerifies(const QByteArray &v_oCms, const QByteArray &v_oContent, QByteArray *v_poOutput)
{
    tst::writeFile(path(QStringLiteral("check.p7s")), v_oCms);
    tst::writeFile(path(QStringLiteral("check.content")), v_oContent);
    const Tool oTool = run(QStringLiteral("openssl"),
                           words(QStringLiteral("cms -verify -binary -inform DER -in %1 -content %2 -CAfile %3 "
                                                "-purpose any -out /dev/null")
                                     .arg(path(QStringLiteral("check.p7s")), path(QStringLiteral("check.content")),
                                          m_pki->file(QStringLiteral("chain.pem")))));
    *v_poOutput = oTool.output;
    return oTool.code == 0 && oTool.output.contains("Verification successful");
}

// The CMS's timestamp token (openssl cms -cmsout -print names it), checked by
// openssl ts over the signature value.
void TestSignPdf::checkTimestamp(const QByteArray &v_oCms)
{
    QVERIFY(tst::writeFile(path(QStringLiteral("ts.p7s")), v_oCms));
    // The token is the unsigned attribute's value: asn1parse finds its offset.
    const Tool oParse = run(QStringLiteral("openssl"),
                            words(QStringLiteral("asn1parse -inform DER -in %1").arg(path(QStringLiteral("ts.p7s")))));
    const QList<QByteArray> oLines = oParse.output.split('\n');
    const QRegularExpression oElement(QStringLiteral("^\\s*(\\d+):d=\\d+\\s+hl=(\\d+) l=\\s*(\\d+)"));
    QByteArray oToken, oSignature;
    for (int i = 0; i + 2 < oLines.size(); ++i) {
        if (oLines[i].contains("id-smime-aa-timeStampToken")) {
            const auto oMatch = oElement.match(QString::fromLatin1(oLines[i + 2]));
            QVERIFY(oMatch.hasMatch());
            oToken = v_oCms.mid(oMatch.captured(1).toInt(), oMatch.captured(2).toInt() + oMatch.captured(3).toInt());
            // The signature value is the OCTET STRING just before the unsigned attributes.
            for (int j = i; j >= 0 && oSignature.isEmpty(); --j) {
                if (oLines[j].contains("OCTET STRING") && oLines[j].contains("[HEX DUMP]"))
                    oSignature = QByteArray::fromHex(oLines[j].mid(oLines[j].indexOf("[HEX DUMP]:") + 11).trimmed());
            }
            break;
        }
    }
    QVERIFY2(!oToken.isEmpty() && !oSignature.isEmpty(), oParse.output.constData());
    QVERIFY(tst::writeFile(path(QStringLiteral("token.der")), oToken));
    const Tool oTs = run(QStringLiteral("openssl"),
                         words(QStringLiteral("ts -verify -token_in -in %1 -digest %2 -CAfile %3 -untrusted %4")
                                   .arg(path(QStringLiteral("token.der")),
                                        QString::fromLatin1(QCryptographicHash::hash(oSignature, QCryptographicHash::Sha256).toHex()),
                                        m_pki->file(QStringLiteral("root.pem")), m_pki->file(QStringLiteral("issuing.pem")))));
    QVERIFY2(oTs.code == 0 && oTs.output.contains("Verification: OK"), oTs.output.constData());
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
        const QByteArray oSession = openSession();
        const QByteArray oCmdId = QByteArray::number(++m_cmdId);
        QList<QPair<QByteArray, QByteArray>> oFields = {{"certId", m_certId}, {"level", oLevel},
                                                        {"documentName", "Contract <b>7</b>.pdf"}, {"page", "last"},
                                                        {"fieldName", "Sig" + QByteArray::number(iRound)}};
        if (visible && bLast)
            oFields += {{"visible", "true"}, {"rect", "300,60,240,70"}, {"text", "Approved"}};
        QByteArray oRequest;
        if (multipart) {
            oRequest = request("/Signer/SignPdf", headers(oSession, oCmdId), "multipart/form-data; boundary=QtxBoundary",
                               ::multipart(oFields, oPdf, "QtxBoundary"));
        } else {
            QByteArray oQuery;
            for (const auto &oField : oFields)
                oQuery += (oQuery.isEmpty() ? "?" : "&") + oField.first + '=' + QUrl::toPercentEncoding(QString::fromUtf8(oField.second));
            oRequest = request("/Signer/SignPdf" + oQuery, headers(oSession, oCmdId), "application/pdf", oPdf);
        }
        const HttpReply oReply = command(oRequest, oSession, oCmdId, {"pin:1234"}, &oShown);
        QVERIFY2(oReply.status == 200 && errorCode(oReply).isEmpty(), oReply.body.left(400).constData());
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
    const double dScale = 480.0 / 842.0;
    const QList<int> oExpected = visible ? QList<int>{qRound(300 * dScale), qRound(60 * dScale), qRound(240 * dScale),
                                                      qRound(70 * dScale)}
                                         : QList<int>{0, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        QVERIFY2(qAbs(oPreview.captured(i + 2).toInt() - oExpected[i]) <= 1, oShown.constData());
    QVERIFY2(oShown.contains("PAdES-" + level.mid(2)), oShown.constData());

    const QString oFile = path(QStringLiteral("signed.pdf"));
    QVERIFY(tst::writeFile(oFile, oPdf));
    const Tool oSig = run(QStringLiteral("pdfsig"), words(QStringLiteral("-nocert -no-ocsp %1").arg(oFile)));
    QCOMPARE(oSig.output.count("Signature is Valid."), iRounds);
    // B-LT's validation data is an update after the signature.
    QCOMPARE(oSig.output.contains("Total document signed"), level != "B-LT");

    // The CMS pdfsig pulls out verifies with openssl over the ranges it names.
    QDir(path(QStringLiteral("dump"))).removeRecursively();
    QVERIFY(QDir().mkpath(path(QStringLiteral("dump"))));
    run(QStringLiteral("pdfsig"), words(QStringLiteral("-nocert -no-ocsp -dump %1").arg(oFile)), {}, path(QStringLiteral("dump")));
    const QStringList oDumps = QDir(path(QStringLiteral("dump"))).entryList({QStringLiteral("*.sig%1").arg(iRounds - 1)});
    QCOMPARE(oDumps.size(), 1);
    const QByteArray oCms = tst::readFile(path(QStringLiteral("dump/")) + oDumps.first());
    const QRegularExpression oRange(QStringLiteral("\\[(\\d+) - (\\d+)\\]"));
    const QByteArray oLastRanges = oSig.output.mid(oSig.output.lastIndexOf("Signed Ranges: "));
    QByteArray oContent;
    for (auto it = oRange.globalMatch(QString::fromLatin1(oLastRanges.left(oLastRanges.indexOf('\n')))); it.hasNext();) {
        const auto oMatch = it.next();
        oContent += oPdf.mid(oMatch.captured(1).toInt(), oMatch.captured(2).toInt() - oMatch.captured(1).toInt());
    }
    QByteArray oOutput;
    QVERIFY2(cmsVerifies(oCms, oContent, &oOutput), oOutput.constData());
    if (level == "B-B")
        return;
    checkTimestamp(oCms);
    if (level != "B-LT")
        return;

    // The /DSS's OCSP answers (qpdf reads them) say "good" for the signer.
    const Tool oJson = run(QStringLiteral("qpdf"), words(QStringLiteral("--json=2 --json-key=qpdf --json-stream-data=inline %1").arg(oFile)));
    const QJsonObject oObjects = QJsonDocument::fromJson(oJson.output).object()[QStringLiteral("qpdf")].toArray().at(1).toObject();
    const auto object = [&](const QString &v_oRef) { return oObjects[QStringLiteral("obj:") + v_oRef].toObject(); };
    const QString oRoot = oObjects[QStringLiteral("trailer")].toObject()[QStringLiteral("value")].toObject()[QStringLiteral("/Root")].toString();
    const QJsonObject oDss = object(oRoot)[QStringLiteral("value")].toObject()[QStringLiteral("/DSS")].toObject();
    bool bGood = false;
    for (const QJsonValue oRef : oDss[QStringLiteral("/OCSPs")].toArray()) {
        QVERIFY(tst::writeFile(path(QStringLiteral("response.der")),
                               QByteArray::fromBase64(object(oRef.toString())[QStringLiteral("stream")].toObject()
                                                          [QStringLiteral("data")].toString().toLatin1())));
        const Tool oOcsp = run(QStringLiteral("openssl"),
                               words(QStringLiteral("ocsp -respin %1 -no_nonce -CAfile %2 -verify_other %3 -issuer %3 -cert %4")
                                         .arg(path(QStringLiteral("response.der")), m_pki->file(QStringLiteral("root.pem")),
                                              m_pki->file(QStringLiteral("issuing.pem")), m_pki->file(QStringLiteral("signer.pem")))));
        bGood = bGood || (oOcsp.code == 0 && oOcsp.output.contains("Response verify OK") && oOcsp.output.contains(": good"));
    }
    QVERIFY2(bGood, oJson.output.left(2000).constData());
}

// Sign with level B-T: a CAdES signature over the page's digest whose
// timestamp openssl accepts.
void TestSignPdf::signWithLevel()
{
    const QByteArray oContent = QByteArray("The content of a detached signature.\n").repeated(20);
    const QByteArray oSession = openSession();
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    const QByteArray oBody = "certId=" + m_certId + "&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA&format=cms&level=B-T&digest="
                             + QUrl::toPercentEncoding(QString::fromLatin1(
                                 QCryptographicHash::hash(oContent, QCryptographicHash::Sha256).toBase64()));
    QByteArray oShown;
    const HttpReply oReply = command(request("/Signer/Sign", headers(oSession, oCmdId), "application/x-www-form-urlencoded", oBody),
                                     oSession, oCmdId, {"pin:1234"}, &oShown);
    QVERIFY2(oReply.status == 200 && errorCode(oReply).isEmpty(), oReply.body.left(400).constData());
    QVERIFY(oShown.contains("CAdES-T"));
    QCOMPARE(jsonOf(oReply)[QStringLiteral("level")].toString(), QStringLiteral("B-T"));
    const QByteArray oCms = QByteArray::fromBase64(jsonOf(oReply)[QStringLiteral("cms")].toString().toLatin1());
    QByteArray oOutput;
    QVERIFY2(cmsVerifies(oCms, oContent, &oOutput), oOutput.constData());
    checkTimestamp(oCms);
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
    QTest::newRow("not a PDF") << QByteArray("/Signer/SignPdf?CERT") << QByteArray("application/pdf")
                               << QByteArray("%PDF-1.7\n1 0 obj <<\n") << "PDF_MALFORMED";
    QTest::newRow("truncated PDF") << QByteArray("/Signer/SignPdf?CERT") << QByteArray("application/pdf")
                                   << oPdf.left(oPdf.size() / 2) << "PDF_MALFORMED";
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
    const QByteArray oSession = openSession();
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    const HttpReply oReply = command(request(path, headers(oSession, oCmdId), type, body), oSession, oCmdId, {});
    QCOMPARE(errorCode(oReply), error);
    QVERIFY2(!QFile::exists(m_hookDir + QStringLiteral("/dialog.txt")), "a dialog was shown");
    QCOMPARE(HttpsClient(m_port, m_ca).post("/OPEN_SESSION").status, 200);
}

// The cap is decided on the headers: one byte over it gets 413 and the
// connection closes long before the body could have been sent; a body at the
// cap is read and reaches the module.
void TestSignPdf::uploadCap()
{
    const qint64 iCap = 50LL << 20;
    const QByteArray oSession = openSession();
    for (const qint64 iSize : {iCap + 1, iCap}) {
        const QByteArray oCmdId = QByteArray::number(++m_cmdId);
        HttpsClient oClient(m_port, m_ca);
        QVERIFY(oClient.connect());
        QSslSocket &oSocket = oClient.socket();
        QByteArray oHead = "POST /Signer/SignPdf?certId=" + m_certId + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (const QByteArray &oHeader : headers(oSession, oCmdId))
            oHead += oHeader + "\r\n";
        oHead += "Content-Type: application/pdf\r\nContent-Length: " + QByteArray::number(iSize) + "\r\n\r\n";
        oSocket.write(oHead);
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
            HttpReply oResult;
            for (int i = 0; i < 400; ++i) {
                oResult = HttpsClient(m_port, m_ca).post("/GET_RESULT", {}, headers(oSession, oCmdId));
                if (oResult.status != 202)
                    break;
                QTest::qWait(50);
            }
            QCOMPARE(errorCode(oResult), QStringLiteral("PDF_MALFORMED")); // spaces after the header
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
    m_server.start({});
    QVERIFY(m_server.waitListening(m_port));
    const QByteArray oSession = openSession();
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    QByteArray oShown;
    const HttpReply oReply =
        command(request("/Signer/SignPdf?certId=" + m_certId, headers(oSession, oCmdId), "application/pdf",
                        tst::readFile(kData + QStringLiteral("two-pages.pdf"))),
                oSession, oCmdId, {"no"}, &oShown);
    QVERIFY2(oShown.contains("2 Seiten; die Signatur kommt auf Seite 1."), oShown.constData());
    QCOMPARE(errorCode(oReply), QStringLiteral("CANCELLED"));
}

// The server refuses modules to root clients: as root the suite runs itself
// again as the ordinary test account tst_signer uses.
int main(int argc, char *argv[])
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxsigner");
    if (iRerun >= 0)
        return iRerun == 0 ? 0 : iRerun;
    QCoreApplication oApp(argc, argv);
    TestSignPdf oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_signpdf.moc"
