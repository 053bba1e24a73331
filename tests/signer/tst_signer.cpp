// The Signer module through the real server against SoftHSM2 tokens that the
// test creates: listing, every signature algorithm verified by OpenSSL, CMS
// verified by "openssl cms -verify", the consent dialog (answered through the
// module's test hook), the error cases, and the refusal of a second signature
// while a dialog is open.

#include "../filesupport.h"
#include "httpsclient.h"
#include "serverfixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
const QByteArray kOrigin = "https://shop.example";
const QByteArray kPin = "1234";

struct Run
{
    int code = -1;
    QByteArray output;
};

Run run(const QString &v_oProgram, const QStringList &v_oArguments, const QProcessEnvironment &v_oEnv = {})
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    if (!v_oEnv.isEmpty())
        oProcess.setProcessEnvironment(v_oEnv);
    oProcess.start(v_oProgram, v_oArguments);
    Run oRun;
    if (oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit)
        oRun.code = oProcess.exitCode();
    oRun.output = oProcess.readAll();
    return oRun;
}

using tst::readFile;
using tst::writeFile;

QByteArray form(const QList<QPair<QByteArray, QByteArray>> &v_oFields)
{
    QByteArray oBody;
    for (const auto &oField : v_oFields)
        oBody += (oBody.isEmpty() ? "" : "&") + oField.first + '=' + QUrl::toPercentEncoding(QString::fromUtf8(oField.second));
    return oBody;
}

// A command line: the template's words, with %1, %2, ... in each word replaced by
// the arguments (an argument with blanks stays one word).
QStringList words(const char *v_pTemplate, const QStringList &v_oArgs = {})
{
    QStringList oWords = QString::fromLatin1(v_pTemplate).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString &oWord : oWords) {
        for (int i = v_oArgs.size(); i >= 1; --i)
            oWord.replace(QLatin1Char('%') + QString::number(i), v_oArgs.at(i - 1));
    }
    return oWords;
}

QByteArray digestOf(const QByteArray &v_oData, const QByteArray &v_oAlgorithm)
{
    return QCryptographicHash::hash(v_oData, v_oAlgorithm == "SHA-384"   ? QCryptographicHash::Sha384
                                             : v_oAlgorithm == "SHA-512" ? QCryptographicHash::Sha512
                                                                         : QCryptographicHash::Sha256);
}

// A Sign request: the certificate, the digest of v_oData and the algorithms.
QByteArray signForm(const QByteArray &v_oCertId, const QByteArray &v_oData, const QByteArray &v_oDigestAlgorithm = "SHA-256",
                    const QByteArray &v_oSignatureAlgorithm = "RSA-PKCS1")
{
    return form({{"certId", v_oCertId}, {"digest", digestOf(v_oData, v_oDigestAlgorithm).toBase64()},
                 {"digestAlgorithm", v_oDigestAlgorithm}, {"signatureAlgorithm", v_oSignatureAlgorithm}});
}

} // namespace

class TestSigner : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void listsCertificatesWithKeys();
    void signsAndOpenSslVerifies_data();
    void signsAndOpenSslVerifies();
    void refusedRequests_data();
    void refusedRequests();
    void dialogShowsRequestAndTakesAnswers();
    void secondSignatureWhileDialogOpen();
    void realDisplayDialog();
    void pinStatesOfACard();
    void tokenRemovedDuringDialog();
    void noDisplayAnswersAtOnce_data();
    void noDisplayAnswersAtOnce();

private:
    bool makeKey(const QString &v_oName, const QStringList &v_oKeyOptions, const QString &v_oToken,
                 const QByteArray &v_oPin, const QString &v_oId);
    void startServer(const QStringList &v_oArguments, const QString &v_oHookDir);
    QByteArray openSession();
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders);
    // Posts a command and waits for its result: the GET_RESULT reply.
    HttpReply call(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody);
    HttpReply submit(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                     const QByteArray &v_oCmdId);
    HttpReply waitResult(const QByteArray &v_oSession, const QByteArray &v_oCmdId);
    QJsonObject certificates();
    QByteArray certId(const QString &v_oCommonName);
    bool waitDialog(QByteArray *v_poShown = nullptr);
    // A Sign request whose dialog gets v_oAnswer once v_oWhileOpen ran: the
    // result (status 0 when no dialog came), the dialog's text in *v_poShown.
    HttpReply signAnswered(const QByteArray &v_oSession, const QByteArray &v_oBody, const QByteArray &v_oAnswer,
                           QByteArray *v_poShown = nullptr, const std::function<void()> &v_oWhileOpen = {});
    // Written aside and renamed, so the dialog never reads a half-written answer.
    void answer(const QByteArray &v_oAnswer)
    {
        QVERIFY(writeFile(m_hookDir + QStringLiteral("/answer.new"), v_oAnswer));
        QVERIFY(QFile::rename(m_hookDir + QStringLiteral("/answer.new"), m_hookDir + QStringLiteral("/answer")));
    }
    static QJsonObject errorOf(const HttpReply &v_oReply);
    static QString errorCode(const HttpReply &v_oReply) { return errorOf(v_oReply)[QStringLiteral("error")].toString(); }

    QTemporaryDir m_work;
    QString m_hookDir;
    QProcessEnvironment m_env;
    ServerFixture m_server;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
    int m_cmdId = 1000;
};

bool TestSigner::makeKey(const QString &v_oName, const QStringList &v_oKeyOptions, const QString &v_oToken,
                         const QByteArray &v_oPin, const QString &v_oId)
{
    // Key and certificate (signed by the test CA) made by OpenSSL, then put on the token.
    const QStringList oArgs = {m_work.filePath(v_oName), m_work.path(), QStringLiteral("/O=QTX Test/CN=Signer ") + v_oName,
                               v_oToken, v_oId, QString::fromLatin1(v_oPin), kSoftHsm, v_oName};
    const QList<QPair<QString, QStringList>> oSteps = {
        {"openssl", words("req -new -nodes -keyout %1.key -out %1.csr -subj %3", oArgs) + v_oKeyOptions},
        {"openssl", words("x509 -req -in %1.csr -CA %2/ca.pem -CAkey %2/ca.key -CAcreateserial -days 30 "
                          "-extfile %2/leaf.ext -out %1.pem", oArgs)},
        {"openssl", words("x509 -in %1.pem -outform DER -out %1.der", oArgs)},
        {"openssl", words("pkcs8 -topk8 -nocrypt -in %1.key -out %1.p8", oArgs)},
        {"openssl", words("x509 -in %1.pem -pubkey -noout -out %1.pub", oArgs)},
        {"softhsm2-util", words("--import %1.p8 --token %4 --label %8 --id %5 --pin %6", oArgs)},
        {"pkcs11-tool", words("--module %7 --token-label %4 --login --pin %6 --write-object %1.der --type cert "
                              "--id %5 --label %8", oArgs)}};
    for (const auto &oStep : oSteps) {
        const Run oRun = run(oStep.first, oStep.second, m_env);
        if (oRun.code != 0) {
            qWarning("%s %s: %s", qPrintable(oStep.first), qPrintable(oStep.second.join(' ')), oRun.output.constData());
            return false;
        }
    }
    return true;
}

void TestSigner::initTestCase()
{
    for (const QString &oTool : {QStringLiteral("softhsm2-util"), QStringLiteral("pkcs11-tool"), QStringLiteral("openssl")}) {
        if (QStandardPaths::findExecutable(oTool).isEmpty())
            QSKIP(qPrintable(oTool + QStringLiteral(" is missing: apt-get install softhsm2 opensc")));
    }
    if (!QFile::exists(kSoftHsm))
        QSKIP("SoftHSM2's PKCS#11 module is missing: apt-get install softhsm2");
    QVERIFY(QFile::exists(QStringLiteral(QTX_BINARY_DIR "/modules/Signer.so")));
    QVERIFY(m_work.isValid());

    QDir().mkpath(m_work.filePath(QStringLiteral("tokens")));
    QVERIFY(writeFile(m_work.filePath(QStringLiteral("softhsm2.conf")),
                      "directories.tokendir = " + QFile::encodeName(m_work.filePath(QStringLiteral("tokens")))
                          + "\nobjectstore.backend = file\nlog.level = ERROR\n"));
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("SOFTHSM2_CONF"), m_work.filePath(QStringLiteral("softhsm2.conf")));
    for (const auto &oToken : {qMakePair(QStringLiteral("QTX Test"), QStringLiteral("1234")),
                               qMakePair(QStringLiteral("QTX Spare"), QStringLiteral("4321"))}) {
        const Run oRun = run(QStringLiteral("softhsm2-util"),
                             words("--init-token --free --label %1 --so-pin 12345678 --pin %2", {oToken.first, oToken.second}),
                             m_env);
        QVERIFY2(oRun.code == 0, oRun.output.constData());
    }
    QVERIFY(writeFile(m_work.filePath(QStringLiteral("leaf.ext")),
                      "keyUsage=critical,digitalSignature,nonRepudiation\nbasicConstraints=CA:FALSE\n"));
    const Run oCa = run(QStringLiteral("openssl"), words("req -x509 -newkey rsa:2048 -nodes -keyout %1/ca.key -out %1/ca.pem "
                                                         "-subj %2 -days 30", {m_work.path(), QStringLiteral("/CN=QTX Test CA")}));
    QVERIFY2(oCa.code == 0, oCa.output.constData());
    QVERIFY(makeKey(QStringLiteral("RSA"), words("-newkey rsa:2048"), QStringLiteral("QTX Test"), kPin, QStringLiteral("01")));
    QVERIFY(makeKey(QStringLiteral("P-256"), words("-newkey ec -pkeyopt ec_paramgen_curve:P-256"), QStringLiteral("QTX Test"),
                    kPin, QStringLiteral("02")));
    QVERIFY(makeKey(QStringLiteral("P-384"), words("-newkey ec -pkeyopt ec_paramgen_curve:P-384"), QStringLiteral("QTX Spare"),
                    "4321", QStringLiteral("03")));

    m_hookDir = m_work.filePath(QStringLiteral("hook"));
    QVERIFY(QDir().mkpath(m_hookDir));
    QVERIFY(QFile::setPermissions(m_hookDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const int iBase = ServerFixture::freeBase(2); // root's instance listens on it, others' on the next port
    QVERIFY(iBase > 0);
    m_port = static_cast<quint16>(ServerFixture::isRoot() ? iBase : iBase + 1);
    QVERIFY(m_server.install("[listener]\nport=" + QByteArray::number(iBase)
                             + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
                               "[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n[signing]\npkcs11Module="
                             + kSoftHsm.toUtf8() + "\n"));
    QVERIFY(m_server.installModules());
    QVERIFY(m_server.provision());
    m_ca = QSslCertificate::fromPath(m_server.path(QStringLiteral("certs/QTX-ca.pem")));
    QCOMPARE(m_ca.size(), 1);
    startServer({}, m_hookDir);
}

void TestSigner::startServer(const QStringList &v_oArguments, const QString &v_oHookDir)
{
    if (m_server.process().state() != QProcess::NotRunning) {
        m_server.process().kill();
        m_server.process().waitForFinished(10000);
    }
    QFile::remove(m_server.logFilePath());
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), m_env.value(QStringLiteral("SOFTHSM2_CONF")));
    m_server.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), v_oHookDir);
    m_server.start(v_oArguments);
    QVERIFY(m_server.waitListening(m_port));
}

HttpReply TestSigner::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders)
{
    HttpsClient oClient(m_port, m_ca);
    return oClient.post(v_oPath, v_oBody, v_oHeaders);
}

QByteArray TestSigner::openSession()
{
    const HttpReply oReply = post("/OPEN_SESSION", QByteArray(), {});
    return oReply.status == 200 ? oReply.body : QByteArray();
}

HttpReply TestSigner::submit(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                             const QByteArray &v_oCmdId)
{
    return post("/Signer/" + v_oCommand, v_oBody,
                {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId, "Origin: " + kOrigin});
}

HttpReply TestSigner::waitResult(const QByteArray &v_oSession, const QByteArray &v_oCmdId)
{
    HttpReply oReply;
    // Bounded by count: a result that never comes fails the test instead of hanging it.
    for (int i = 0; i < 600; ++i) {
        oReply = post("/GET_RESULT", QByteArray(), {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId});
        if (oReply.status != 202)
            break;
        QTest::qWait(50);
    }
    return oReply;
}

HttpReply TestSigner::call(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody)
{
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    const HttpReply oAccepted = submit(v_oSession, v_oCommand, v_oBody, oCmdId);
    return oAccepted.status == 202 ? waitResult(v_oSession, oCmdId) : oAccepted;
}

QJsonObject TestSigner::errorOf(const HttpReply &v_oReply)
{
    if (v_oReply.status != 200 || !v_oReply.body.startsWith("500|"))
        return QJsonObject();
    return QJsonDocument::fromJson(v_oReply.body.mid(4)).object();
}

QJsonObject TestSigner::certificates()
{
    const HttpReply oReply = call(openSession(), "ListCertificates", QByteArray());
    if (oReply.status != 200)
        qWarning("ListCertificates: %d %s; log: %s", oReply.status, oReply.body.constData(),
                 qPrintable(m_server.logMessages().mid(m_server.logMessages().size() - 15).join(QLatin1Char('\n'))));
    return oReply.status == 200 ? QJsonDocument::fromJson(oReply.body).object() : QJsonObject();
}

QByteArray TestSigner::certId(const QString &v_oCommonName)
{
    for (const QJsonValue &oCert : certificates().value(QStringLiteral("certificates")).toArray()) {
        if (oCert[QStringLiteral("subjectCommonName")].toString() == v_oCommonName)
            return oCert[QStringLiteral("id")].toString().toLatin1();
    }
    return QByteArray();
}

bool TestSigner::waitDialog(QByteArray *v_poShown)
{
    const QString oPath = m_hookDir + QStringLiteral("/dialog.txt");
    for (int i = 0; i < 400 && !QFile::exists(oPath); ++i)
        QTest::qWait(50);
    if (v_poShown)
        *v_poShown = readFile(oPath);
    return QFile::exists(oPath);
}

HttpReply TestSigner::signAnswered(const QByteArray &v_oSession, const QByteArray &v_oBody, const QByteArray &v_oAnswer,
                                   QByteArray *v_poShown, const std::function<void()> &v_oWhileOpen)
{
    const QByteArray oCmdId = QByteArray::number(++m_cmdId);
    HttpReply oReply = submit(v_oSession, "Sign", v_oBody, oCmdId);
    if (oReply.status != 202 || !waitDialog(v_poShown))
        return HttpReply{0, "no dialog", {}, oReply.body, {}};
    if (v_oWhileOpen)
        v_oWhileOpen();
    answer(v_oAnswer);
    return waitResult(v_oSession, oCmdId);
}

void TestSigner::listsCertificatesWithKeys()
{
    const QJsonObject oList = certificates();
    QStringList oLabels;
    for (const QJsonValue &oToken : oList.value(QStringLiteral("tokens")).toArray())
        oLabels << oToken[QStringLiteral("label")].toString();
    oLabels.sort();
    QCOMPARE(oLabels, QStringList({QStringLiteral("QTX Spare"), QStringLiteral("QTX Test")}));

    const QJsonArray oCerts = oList.value(QStringLiteral("certificates")).toArray();
    QCOMPARE(oCerts.size(), 3);
    struct Expected { const char *name; const char *type; int bits; const char *curve; const char *token; };
    const Expected kExpected[] = {{"RSA", "RSA", 2048, "", "QTX Test"},
                                  {"P-256", "EC", 256, "P-256", "QTX Test"},
                                  {"P-384", "EC", 384, "P-384", "QTX Spare"}};
    for (const Expected &oExpected : kExpected) {
        const QString oName = QStringLiteral("Signer ") + QLatin1String(oExpected.name);
        QJsonObject oCert;
        for (const QJsonValue &oValue : oCerts) {
            if (oValue[QStringLiteral("subjectCommonName")].toString() == oName)
                oCert = oValue.toObject();
        }
        QVERIFY2(!oCert.isEmpty(), qPrintable(oName));
        const QByteArray oDer = readFile(m_work.filePath(QLatin1String(oExpected.name) + QStringLiteral(".der")));
        QCOMPARE(QByteArray::fromBase64(oCert[QStringLiteral("certificate")].toString().toLatin1()), oDer);
        QCOMPARE(oCert[QStringLiteral("subject")].toString(), QStringLiteral("CN=%1,O=QTX Test").arg(oName));
        QCOMPARE(oCert[QStringLiteral("issuer")].toString(), QStringLiteral("CN=QTX Test CA"));
        QCOMPARE(oCert[QStringLiteral("tokenLabel")].toString(), QLatin1String(oExpected.token));
        QCOMPARE(oCert.value(QStringLiteral("key"))[QStringLiteral("type")].toString(), QLatin1String(oExpected.type));
        QCOMPARE(oCert.value(QStringLiteral("key"))[QStringLiteral("bits")].toInt(), oExpected.bits);
        QCOMPARE(oCert.value(QStringLiteral("key"))[QStringLiteral("curve")].toString(), QLatin1String(oExpected.curve));
        QCOMPARE(oCert[QStringLiteral("keyUsage")].toArray(),
                 QJsonArray({QStringLiteral("digitalSignature"), QStringLiteral("nonRepudiation")}));
        const QSslCertificate oX509(oDer, QSsl::Der);
        const QByteArray oSerial = oX509.serialNumber().replace(":", "");
        QCOMPARE(oCert[QStringLiteral("serialNumber")].toString().toLatin1().rightJustified(oSerial.size(), '0'), oSerial);
        QCOMPARE(QDateTime::fromString(oCert[QStringLiteral("notAfter")].toString(), Qt::ISODate), oX509.expiryDate());
        QVERIFY(QByteArray::fromHex(oCert[QStringLiteral("id")].toString().toLatin1()).size() == 20);
    }
    // Ids are stable across calls (and the modules are loaded anew for each call).
    const QJsonValue oAgain = certificates().value(QStringLiteral("certificates"));
    QVERIFY2(oAgain == oList.value(QStringLiteral("certificates")),
             QJsonDocument(oAgain.toArray()).toJson().constData());
}

void TestSigner::signsAndOpenSslVerifies_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("digestAlgorithm");
    QTest::addColumn<QByteArray>("signatureAlgorithm");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QByteArray>("pin");
    QTest::newRow("RSA PKCS1 SHA-256") << "RSA" << QByteArray("SHA-256") << QByteArray("RSA-PKCS1") << QByteArray("raw") << kPin;
    QTest::newRow("RSA PKCS1 SHA-512") << "RSA" << QByteArray("SHA-512") << QByteArray("RSA-PKCS1") << QByteArray("raw") << kPin;
    QTest::newRow("RSA PSS SHA-256") << "RSA" << QByteArray("SHA-256") << QByteArray("RSA-PSS") << QByteArray("raw") << kPin;
    QTest::newRow("RSA PSS SHA-384") << "RSA" << QByteArray("SHA-384") << QByteArray("RSA-PSS") << QByteArray("raw") << kPin;
    QTest::newRow("ECDSA P-256 SHA-256") << "P-256" << QByteArray("SHA-256") << QByteArray("ECDSA") << QByteArray("raw") << kPin;
    QTest::newRow("ECDSA P-384 SHA-384") << "P-384" << QByteArray("SHA-384") << QByteArray("ECDSA") << QByteArray("raw") << QByteArray("4321");
    QTest::newRow("CMS RSA PKCS1 SHA-256") << "RSA" << QByteArray("SHA-256") << QByteArray("RSA-PKCS1") << QByteArray("cms") << kPin;
    QTest::newRow("CMS RSA PSS SHA-256") << "RSA" << QByteArray("SHA-256") << QByteArray("RSA-PSS") << QByteArray("cms") << kPin;
    QTest::newRow("CMS ECDSA P-256 SHA-256") << "P-256" << QByteArray("SHA-256") << QByteArray("ECDSA") << QByteArray("cms") << kPin;
    QTest::newRow("CMS ECDSA P-384 SHA-512") << "P-384" << QByteArray("SHA-512") << QByteArray("ECDSA") << QByteArray("cms") << QByteArray("4321");
}

void TestSigner::signsAndOpenSslVerifies()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, digestAlgorithm);
    QFETCH(QByteArray, signatureAlgorithm);
    QFETCH(QByteArray, format);
    QFETCH(QByteArray, pin);
    const QByteArray oDocument = "Contract " + QByteArray(QTest::currentDataTag()) + '\n';
    const QString oDocPath = m_work.filePath(QStringLiteral("document.txt"));
    QVERIFY(writeFile(oDocPath, oDocument));
    const HttpReply oReply = signAnswered(openSession(),
                                          signForm(certId(QStringLiteral("Signer ") + key), oDocument, digestAlgorithm,
                                                   signatureAlgorithm) + "&format=" + format + "&documentName=document.txt",
                                          "pin:" + pin);
    QVERIFY2(oReply.status == 200, oReply.body.constData());
    const QJsonObject oResult = QJsonDocument::fromJson(oReply.body).object();
    QCOMPARE(QByteArray::fromBase64(oResult[QStringLiteral("certificate")].toString().toLatin1()),
             readFile(m_work.filePath(key + QStringLiteral(".der"))));

    const QString oSigPath = m_work.filePath(QStringLiteral("signature.bin"));
    const QString oMd = QString::fromLatin1(digestAlgorithm).remove(QLatin1Char('-')).toLower();
    // signature, document, the test CA, the public key, the digest, its name.
    const QStringList oArgs = {oSigPath, oDocPath, m_work.filePath(QStringLiteral("ca.pem")),
                               m_work.filePath(key + QStringLiteral(".pub")), m_work.filePath(QStringLiteral("digest.bin")), oMd};
    if (format == "cms") {
        QVERIFY(writeFile(oSigPath, QByteArray::fromBase64(oResult[QStringLiteral("cms")].toString().toLatin1())));
        const Run oVerify = run(QStringLiteral("openssl"), words("cms -verify -binary -inform DER -in %1 -content %2 "
                                                                 "-CAfile %3 -purpose any -out /dev/null", oArgs));
        QVERIFY2(oVerify.code == 0, oVerify.output.constData());
        const Run oPrint = run(QStringLiteral("openssl"), words("cms -cmsout -print -inform DER -in %1", oArgs));
        QVERIFY(oPrint.output.contains("signingTime"));
        QVERIFY(oPrint.output.contains("id-smime-aa-signingCertificateV2"));
        QVERIFY(oPrint.output.contains("eContent: <ABSENT>")); // detached
        // A changed document no longer verifies.
        QVERIFY(writeFile(oDocPath, oDocument + "tampered"));
        QVERIFY(run(QStringLiteral("openssl"),
                    words("cms -verify -binary -inform DER -in %1 -content %2 -noverify -out /dev/null", oArgs)).code != 0);
        return;
    }
    QByteArray oSignature = QByteArray::fromBase64(oResult[QStringLiteral("signature")].toString().toLatin1());
    if (signatureAlgorithm == "ECDSA") {
        // Raw r||s as WebCrypto wants it, and DER for OpenSSL.
        QCOMPARE(oSignature.size(), key == QLatin1String("P-256") ? 64 : 96);
        oSignature = QByteArray::fromBase64(oResult[QStringLiteral("signatureDer")].toString().toLatin1());
    }
    QVERIFY(writeFile(oSigPath, oSignature));
    QVERIFY(writeFile(oArgs.at(4), digestOf(oDocument, digestAlgorithm)));
    QStringList oVerifyArgs = words("pkeyutl -verify -pubin -inkey %4 -in %5 -sigfile %1 -pkeyopt digest:%6", oArgs);
    if (signatureAlgorithm == "RSA-PSS")
        oVerifyArgs += words("-pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:digest");
    const Run oVerify = run(QStringLiteral("openssl"), oVerifyArgs);
    QVERIFY2(oVerify.code == 0 && oVerify.output.contains("Signature Verified Successfully"), oVerify.output.constData());
}

void TestSigner::refusedRequests_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("certId");
    QTest::addColumn<QByteArray>("digestAlgorithm");
    QTest::addColumn<int>("digestBytes");
    QTest::addColumn<QByteArray>("signatureAlgorithm");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QString>("error");
    const QByteArray oUnknown(40, 'a');
    QTest::newRow("unknown certificate") << "" << oUnknown << QByteArray("SHA-256") << 32 << QByteArray("RSA-PKCS1") << QByteArray() << "CERTIFICATE_NOT_FOUND";
    QTest::newRow("malformed id") << "" << QByteArray("../x") << QByteArray("SHA-256") << 32 << QByteArray("RSA-PKCS1") << QByteArray() << "CERTIFICATE_NOT_FOUND";
    QTest::newRow("short digest") << "RSA" << QByteArray() << QByteArray("SHA-256") << 31 << QByteArray("RSA-PKCS1") << QByteArray() << "BAD_DIGEST_LENGTH";
    QTest::newRow("SHA-512 length for SHA-384") << "RSA" << QByteArray() << QByteArray("SHA-384") << 64 << QByteArray("RSA-PKCS1") << QByteArray() << "BAD_DIGEST_LENGTH";
    QTest::newRow("MD5") << "RSA" << QByteArray() << QByteArray("MD5") << 16 << QByteArray("RSA-PKCS1") << QByteArray() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("ECDSA with RSA key") << "RSA" << QByteArray() << QByteArray("SHA-256") << 32 << QByteArray("ECDSA") << QByteArray() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("PSS with EC key") << "P-256" << QByteArray() << QByteArray("SHA-256") << 32 << QByteArray("RSA-PSS") << QByteArray() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("unknown scheme") << "RSA" << QByteArray() << QByteArray("SHA-256") << 32 << QByteArray("DSA") << QByteArray() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("unknown format") << "RSA" << QByteArray() << QByteArray("SHA-256") << 32 << QByteArray("RSA-PKCS1") << QByteArray("&format=xml") << "BAD_REQUEST";
    // The page cannot name the origin the dialog shows.
    QTest::newRow("origin as parameter") << "RSA" << QByteArray() << QByteArray("SHA-256") << 32 << QByteArray("RSA-PKCS1") << QByteArray("&origin=https%3A%2F%2Fbank.example") << "BAD_REQUEST";
}

void TestSigner::refusedRequests()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, certId);
    QFETCH(QByteArray, digestAlgorithm);
    QFETCH(int, digestBytes);
    QFETCH(QByteArray, signatureAlgorithm);
    QFETCH(QByteArray, extra);
    QFETCH(QString, error);
    if (!key.isEmpty())
        certId = this->certId(QStringLiteral("Signer ") + key);
    // Refused before any dialog: the result comes without an answer.
    const QJsonObject oError = errorOf(call(openSession(), "Sign",
                                            form({{"certId", certId}, {"digest", QByteArray(digestBytes, '\x11').toBase64()},
                                                  {"digestAlgorithm", digestAlgorithm}, {"signatureAlgorithm", signatureAlgorithm}})
                                                + extra));
    QCOMPARE(oError[QStringLiteral("error")].toString(), error);
    QVERIFY(!oError[QStringLiteral("message")].toString().isEmpty());
}

// The dialog shows what is asked and by which page (a PIN in the request does
// not spare it), and takes its answers: cancel, a wrong PIN, the right one.
void TestSigner::dialogShowsRequestAndTakesAnswers()
{
    QByteArray oShown;
    const QByteArray oRequest = signForm(certId(QStringLiteral("Signer RSA")), "shown") + "&pin=1234&documentName="
                                + QUrl::toPercentEncoding(QStringLiteral("<b>Invoice 42.pdf</b>"));
    QCOMPARE(errorCode(signAnswered(openSession(), oRequest, "cancel", &oShown)), QStringLiteral("CANCELLED"));
    QVERIFY2(oShown.contains("The page " + kOrigin + " asks for your signature."), oShown.constData());
    QVERIFY(oShown.contains("<b>Invoice 42.pdf</b>"));
    QVERIFY(oShown.contains("Signer RSA"));
    QVERIFY(oShown.contains("QTX Test"));
    QVERIFY(oShown.contains("CN=QTX Test CA"));
    QVERIFY(oShown.contains(QCryptographicHash::hash("shown", QCryptographicHash::Sha256).toHex().left(8)));
    QVERIFY(oShown.contains("pinField=1"));

    const QByteArray oBody = signForm(certId(QStringLiteral("Signer P-256")), "x", "SHA-256", "ECDSA");
    const QByteArray oSession = openSession();
    const QJsonObject oWrong = errorOf(signAnswered(oSession, oBody, "pin:0000"));
    QCOMPARE(oWrong[QStringLiteral("error")].toString(), QStringLiteral("PIN_INCORRECT"));
    // SoftHSM reports "count low" after a wrong PIN; the next dialog warns.
    QCOMPARE(oWrong[QStringLiteral("triesLeft")].toString(), QStringLiteral("low"));
    QVERIFY(signAnswered(oSession, oBody, "pin:" + kPin, &oShown).body.contains("\"signature\""));
    QVERIFY2(oShown.contains("only few tries are left"), oShown.constData());
}

void TestSigner::secondSignatureWhileDialogOpen()
{
    const QByteArray oBody = signForm(certId(QStringLiteral("Signer RSA")), "a");
    const QByteArray oSecond = openSession();
    const HttpReply oResult = signAnswered(openSession(), oBody, "pin:" + kPin, nullptr, [&] {
        // One dialog at a time: the second session is refused while the first waits.
        QCOMPARE(submit(oSecond, "Sign", oBody, QByteArray::number(++m_cmdId)).status, 503);
        // Listing is no GUI command and goes on meanwhile.
        QCOMPARE(call(oSecond, "ListCertificates", QByteArray()).status, 200);
    });
    QVERIFY2(oResult.body.contains("\"signature\""), oResult.body.constData());
}

// Without the hook, on a real X display (Xvfb): the dialog is a window a person
// (xdotool here) answers with the keyboard.
void TestSigner::realDisplayDialog()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("Xvfb or xdotool is missing: apt-get install xvfb xdotool");
    int iDisplay = 90;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(iDisplay)) && iDisplay < 200)
        ++iDisplay;
    const QString oDisplay = QStringLiteral(":%1").arg(iDisplay);
    QProcess oXvfb;
    oXvfb.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    oXvfb.setStandardOutputFile(QProcess::nullDevice());
    oXvfb.start(QStringLiteral("Xvfb"), words("%1 -nolisten tcp -screen 0 1024x768x24", {oDisplay}));
    QVERIFY(oXvfb.waitForStarted());
    if (!QTest::qWaitFor([iDisplay] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(iDisplay)); }, 5000))
        QSKIP("Xvfb did not start");
    QProcessEnvironment oX = QProcessEnvironment::systemEnvironment();
    oX.insert(QStringLiteral("DISPLAY"), oDisplay);
    m_server.setEnvironmentValue(QStringLiteral("DISPLAY"), oDisplay);
    m_server.setEnvironmentValue(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // The later cases run on the offscreen server with the hook again, also when this one fails.
    const auto oRestore = qScopeGuard([&] {
        m_server.setEnvironmentValue(QStringLiteral("DISPLAY"), QString());
        m_server.setEnvironmentValue(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        startServer({}, m_hookDir);
        oXvfb.terminate();
        oXvfb.waitForFinished(5000);
    });
    startServer({}, QString());

    const QByteArray oBody = signForm(certId(QStringLiteral("Signer RSA")), "on screen");
    const QByteArray oSession = openSession();
    const struct { const char *keys; const char *error; } kAnswers[] = {{"Escape", "CANCELLED"}, {"1 2 3 4 Return", ""}};
    for (const auto &oAnswer : kAnswers) {
        const QByteArray oCmdId = QByteArray::number(++m_cmdId);
        QCOMPARE(submit(oSession, "Sign", oBody, oCmdId).status, 202);
        Run oWindow;
        for (int i = 0; i < 100 && oWindow.output.trimmed().isEmpty(); ++i) {
            QTest::qWait(100);
            oWindow = run(QStringLiteral("xdotool"), words("search --onlyvisible --name %1", {"^Signature request$"}), oX);
        }
        const QString oId = QString::fromLatin1(oWindow.output.trimmed().split('\n').first());
        QVERIFY2(!oId.isEmpty(), "no dialog window on the display");
        const QStringList oArgs = words("windowfocus --sync %1 key --delay 50", {oId}) + words(oAnswer.keys);
        // A window just mapped may not take the focus yet: a few tries, bounded.
        Run oKeys;
        for (int i = 0; i < 20 && oKeys.code != 0; ++i) {
            if (i > 0)
                QTest::qWait(200);
            oKeys = run(QStringLiteral("xdotool"), oArgs, oX);
        }
        QVERIFY2(oKeys.code == 0, oKeys.output.constData());
        const HttpReply oReply = waitResult(oSession, oCmdId);
        QCOMPARE(errorCode(oReply), QLatin1String(oAnswer.error));
        if (!*oAnswer.error)
            QVERIFY2(oReply.body.contains("\"signature\""), oReply.body.constData());
    }
}

// A card whose PIN state the test sets (tests/signer/fake_pkcs11.cpp), named by
// QTX_PKCS11_MODULE: the dialog's warnings, a locked PIN, a PIN pad, removal.
void TestSigner::pinStatesOfACard()
{
    const QString oState = m_work.filePath(QStringLiteral("fake.state"));
    QVERIFY(writeFile(oState, QByteArray()));
    m_server.setEnvironmentValue(QStringLiteral("QTX_FAKE_P11_STATE"), oState);
    m_server.setEnvironmentValue(QStringLiteral("QTX_FAKE_P11_CERT"), m_work.filePath(QStringLiteral("RSA.der")));

    // A module file that others could change is not loaded.
    const QString oOpen = m_work.filePath(QStringLiteral("fake-open.so"));
    QVERIFY(QFile::copy(QStringLiteral(QTX_FAKE_PKCS11), oOpen));
    QVERIFY(::chmod(QFile::encodeName(oOpen).constData(), 0775) == 0);
    m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), oOpen);
    startServer({}, m_hookDir);
    for (const QJsonValue &oToken : certificates().value(QStringLiteral("tokens")).toArray())
        QVERIFY(oToken[QStringLiteral("label")].toString() != QLatin1String("Fake Card"));

    m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), QStringLiteral(QTX_FAKE_PKCS11));
    startServer({}, m_hookDir);
    QByteArray oId;
    for (const QJsonValue &oCert : certificates().value(QStringLiteral("certificates")).toArray()) {
        if (oCert[QStringLiteral("tokenLabel")].toString() == QLatin1String("Fake Card"))
            oId = oCert[QStringLiteral("id")].toString().toLatin1();
    }
    QVERIFY2(!oId.isEmpty(), "the named module's token is listed");
    const QByteArray oBody = signForm(oId, "card");
    struct Case
    {
        const char *state;      // before the dialog
        const char *shown;      // in the dialog ("" = no dialog)
        const char *during;     // state set while the dialog is open
        const char *answer;
        const char *error;      // "" = signed
        const char *triesLeft;
    };
    const Case kCases[] = {
        {"", "pinField=1", "", "pin:2468", "", ""},
        {"low", "only few tries are left", "", "pin:1111", "PIN_INCORRECT", "low"},
        {"final", "Last try", "", "pin:1111", "PIN_INCORRECT", "final"},
        {"locked", "", "", "", "PIN_LOCKED", ""},
        {"", "pinField=1", "locked", "pin:2468", "PIN_LOCKED", ""},
        {"protected", "keypad", "", "ok", "", ""},
        {"", "pinField=1", "gone", "pin:2468", "TOKEN_REMOVED", ""},
    };
    const QByteArray oSession = openSession();
    for (const Case &oCase : kCases) {
        const QByteArray oTag = QByteArray(oCase.state) + '/' + oCase.during + '/' + oCase.answer;
        QVERIFY(writeFile(oState, oCase.state));
        QByteArray oShown;
        const HttpReply oReply = !*oCase.shown ? call(oSession, "Sign", oBody)
                                               : signAnswered(oSession, oBody, oCase.answer, &oShown, [&] {
                                                     QVERIFY(!*oCase.during || writeFile(oState, oCase.during));
                                                 });
        QVERIFY2(oShown.contains(oCase.shown), (oTag + ": " + oShown).constData());
        const QJsonObject oError = errorOf(oReply);
        QVERIFY2(oError[QStringLiteral("error")].toString() == QLatin1String(oCase.error), (oTag + ": " + oReply.body).constData());
        QCOMPARE(oError[QStringLiteral("triesLeft")].toString(), QLatin1String(oCase.triesLeft));
        if (!*oCase.error)
            QVERIFY2(oReply.body.contains("\"signature\""), oReply.body.constData());
        QVERIFY(!QFile::exists(m_hookDir + QStringLiteral("/dialog.txt")));
    }
    m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), QString());
    startServer({}, m_hookDir);
}

void TestSigner::tokenRemovedDuringDialog()
{
    const QByteArray oBody = signForm(certId(QStringLiteral("Signer P-384")), "r", "SHA-384", "ECDSA");
    const HttpReply oReply = signAnswered(openSession(), oBody, "pin:4321", nullptr, [this] {
        const Run oDelete = run(QStringLiteral("softhsm2-util"), words("--delete-token --token %1", {"QTX Spare"}), m_env);
        QVERIFY2(oDelete.code == 0, oDelete.output.constData());
    });
    QCOMPARE(errorCode(oReply), QStringLiteral("TOKEN_REMOVED"));
    QVERIFY(certId(QStringLiteral("Signer P-384")).isEmpty());
    // A certificate of a token that is gone is not found before any dialog.
    QCOMPARE(errorCode(call(openSession(), "Sign", oBody)), QStringLiteral("CERTIFICATE_NOT_FOUND"));

    // With no token at all, the list is empty and a signature says so.
    QVERIFY(run(QStringLiteral("softhsm2-util"), words("--delete-token --token %1", {"QTX Test"}), m_env).code == 0);
    QCOMPARE(certificates().value(QStringLiteral("tokens")).toArray().size(), 0);
    QCOMPARE(errorCode(call(openSession(), "Sign", oBody)), QStringLiteral("NO_TOKEN"));
}

void TestSigner::noDisplayAnswersAtOnce_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("hook");
    QTest::addColumn<int>("hookMode");
    QTest::newRow("-console") << QStringList{QStringLiteral("-console")} << true << 0700;
    QTest::newRow("offscreen, no hook") << QStringList() << false << 0700;
    QTest::newRow("hook folder open to the group") << QStringList() << true << 0770;
}

void TestSigner::noDisplayAnswersAtOnce()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, hook);
    QFETCH(int, hookMode);
    QVERIFY(::chmod(QFile::encodeName(m_hookDir).constData(), static_cast<mode_t>(hookMode)) == 0);
    startServer(arguments, hook ? m_hookDir : QString());
    const HttpReply oReply = call(openSession(), "Sign", signForm(QByteArray(40, 'a'), "x"));
    QCOMPARE(errorCode(oReply), QStringLiteral("NO_DISPLAY"));
    QVERIFY(::chmod(QFile::encodeName(m_hookDir).constData(), 0700) == 0);
}

// The server refuses modules to root clients, so as root the suite runs itself
// again as an ordinary test account (created when missing).
int main(int argc, char *argv[])
{
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTX_SIGNER_TEST_ACCOUNT")) {
        const QString oAccount = QStringLiteral("qtxsigner");
        QCoreApplication oProbe(argc, argv);
        if (!ServerFixture::ensureAccount(oAccount)) {
            std::fprintf(stderr, "SKIP: cannot create the test account %s\n", qPrintable(oAccount));
            return 0;
        }
        qputenv("QTX_SIGNER_TEST_ACCOUNT", oAccount.toUtf8());
        qputenv("HOME", "/tmp");
        std::vector<QByteArray> oArgs = {"setpriv", "--reuid=" + oAccount.toUtf8(), "--regid=" + oAccount.toUtf8(),
                                         "--init-groups", "--", QFile::encodeName(QCoreApplication::applicationFilePath())};
        for (int i = 1; i < argc; ++i)
            oArgs.emplace_back(argv[i]);
        std::vector<char *> oArgv;
        for (QByteArray &oArg : oArgs)
            oArgv.push_back(oArg.data());
        oArgv.push_back(nullptr);
        ::execvp("setpriv", oArgv.data());
        std::perror("setpriv");
        return 1;
    }
    QCoreApplication oApp(argc, argv);
    TestSigner oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_signer.moc"
