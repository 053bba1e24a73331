// The Signer module through the real server against SoftHSM2 tokens that the
// test creates: nothing about a certificate reaches a page before the user
// picked it, per-site ids, which certificate is for which job, every signature
// algorithm verified by OpenSSL, log-in tokens checked by the site's validator
// and by OpenSSL, the dialogs' content for hostile requests,
// the store and qtx-sites, PIN states of a card, cards coming and going, the
// time-out, keys and Enter on a real X display, and a clean stop after the
// dialogs. Dialogs are the real widgets, answered through the module's test
// hook (or xdotool on Xvfb).

#include "../../testkit/filesupport.h"
#include "serverfixture.h"
#include "signertestkit.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace stk;

namespace {

const QByteArray kOther = "https://news.example";
const QByteArray kPin = "1234";
// The national e-ID shaped log-in certificate (clientAuth only).
const QString kAuthName = QStringLiteral("M\u00c4NNIK,MARI-LIIS,38001085718");

using tst::readFile;
using tst::writeFile;

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
    return formBody({{"certId", v_oCertId}, {"digest", digestOf(v_oData, v_oDigestAlgorithm).toBase64()},
                 {"digestAlgorithm", v_oDigestAlgorithm}, {"signatureAlgorithm", v_oSignatureAlgorithm}});
}

} // namespace

class TestSigner : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void disclosureOnlyThroughThePicker();
    void siteIdsDifferPerOrigin();
    void certificatesForTheJob_data();
    void certificatesForTheJob();
    void signsAndOpenSslVerifies_data();
    void signsAndOpenSslVerifies();
    void logInTokensAndTheSite_data();
    void logInTokensAndTheSite();
    void refusedRequests_data();
    void refusedRequests();
    void hostileRequestsShownEscaped_data();
    void hostileRequestsShownEscaped();
    void receiptsAndListingMeanwhile();
    void storeFilesAreChecked_data();
    void storeFilesAreChecked();
    void pinStatesOfACard();
    void dialogTimesOut();
    void realDisplay();
    void noDisplayAnswersAtOnce_data();
    void noDisplayAnswersAtOnce();
    void cleanStopAfterDialogs();
    void cardsComeAndGo(); // last: it takes the tokens away

private:
    void startServer(const QStringList &v_oArguments = {}, const QString &v_oHookDir = QString(),
                     const QByteArray &v_oIniExtra = QByteArray());
    // The picker's answer for the certificate whose list line holds v_oName.
    HttpReply pick(const QString &v_oName, const QByteArray &v_oOrigin = kOrigin, const QByteArray &v_oPurpose = "sign",
                   bool v_bRemember = false, QByteArray *v_poShown = nullptr);
    QJsonArray listing(const QByteArray &v_oOrigin = kOrigin, const QByteArray &v_oPurpose = "sign");
    QByteArray certId(const QString &v_oCommonName, const QByteArray &v_oOrigin = kOrigin);
    Run sites(const QStringList &v_oArguments);
    // A token made anew from keys made before (same certificates, so the same ids).
    void importToken(const QString &v_oLabel, const QByteArray &v_oPin, const QString &v_oKey);

    QTemporaryDir m_work;
    SoftHsm m_tokens{m_work.path()};
    KeyFolder m_keys{m_work.path()};
    SignerPage m_page;
    QString m_hookDir;
    ServerFixture m_server;
};

void TestSigner::importToken(const QString &v_oLabel, const QByteArray &v_oPin, const QString &v_oKey)
{
    QByteArray oError;
    QVERIFY2(m_tokens.initToken(v_oLabel, QString::fromLatin1(v_oPin), &oError)
                 && m_tokens.importKey(v_oLabel, QString::fromLatin1(v_oPin), m_keys, v_oKey, QStringLiteral("03"), false, &oError),
             oError.constData());
}

void TestSigner::initTestCase()
{
    const QString oMissing = missingTools({QStringLiteral("softhsm2-util"), QStringLiteral("pkcs11-tool"), QStringLiteral("openssl")},
                                          "softhsm2 opensc");
    if (!oMissing.isEmpty())
        QSKIP(qPrintable(oMissing));
    QVERIFY(QFile::exists(QStringLiteral(QTX_BINARY_DIR "/modules/Signer.so")));
    QVERIFY(m_work.isValid());
    QVERIFY(m_tokens.isValid());
    QByteArray oError;
    QVERIFY2(m_tokens.initToken(QStringLiteral("QTX Test"), QStringLiteral("1234"), &oError)
                 && m_tokens.initToken(QStringLiteral("QTX Spare"), QStringLiteral("4321"), &oError)
                 && m_keys.makeCa(QStringLiteral("/CN=QTX Test CA"), &oError),
             oError.constData());
    // Name, key, token (its PIN), id, log-in only, subject (empty: "Signer <name>"), always-authenticate.
    const struct
    {
        const char *name, *key, *token;
        QByteArray pin;
        const char *id;
        bool login;
        QString subject;
        bool always;
    } aKeys[] = {
        {"RSA", "-newkey rsa:2048", "QTX Test", kPin, "01", false, {}, false},
        {"P-256", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", "QTX Test", kPin, "02", false, {}, false},
        {"P-384", "-newkey ec -pkeyopt ec_paramgen_curve:P-384", "QTX Spare", "4321", "03", false, {}, false},
        {"Auth", "-newkey rsa:2048", "QTX Test", kPin, "04", true,
         QStringLiteral("/C=EE/O=ESTEID/OU=authentication/CN=") + kAuthName
             + QStringLiteral("/SN=M\u00c4NNIK/GN=MARI-LIIS/serialNumber=PNOEE-38001085718"), false},
        {"Always", "-newkey rsa:2048", "QTX Test", kPin, "05", false, {}, true},
        {"Login-P-256", "-newkey ec -pkeyopt ec_paramgen_curve:P-256", "QTX Test", kPin, "06", true,
         QStringLiteral("/O=QTX Test/CN=Login P-256"), false},
        {"Login-P-384", "-newkey ec -pkeyopt ec_paramgen_curve:P-384", "QTX Test", kPin, "07", true,
         QStringLiteral("/O=QTX Test/CN=Login P-384"), false},
    };
    for (const auto &oKey : aKeys) {
        const QString oName = QLatin1String(oKey.name);
        QVERIFY2(m_keys.issue(oName, words(QLatin1String(oKey.key)),
                               oKey.subject.isEmpty() ? QStringLiteral("/O=QTX Test/CN=Signer ") + oName : oKey.subject, &oError,
                               oKey.login ? KeyFolder::kLogIn : KeyFolder::kLeaf)
                     && m_tokens.importKey(QLatin1String(oKey.token), QString::fromLatin1(oKey.pin), m_keys, oName,
                                            QLatin1String(oKey.id), oKey.always, &oError),
                 oError.constData());
    }

    QVERIFY(m_page.makeHook(m_work.path()));
    m_hookDir = m_page.hook();
    QVERIFY(m_page.install(m_server, "pkcs11Module=" + softHsmModule().toUtf8() + "\nconfirmDelayMs=300\n", false));
    startServer({}, m_hookDir);
}

// v_oIniExtra goes into [signing]; the suite's default keeps the button's delay short.
void TestSigner::startServer(const QStringList &v_oArguments, const QString &v_oHookDir, const QByteArray &v_oIniExtra)
{
    if (m_server.process().state() != QProcess::NotRunning) {
        m_server.process().kill();
        m_server.process().waitForFinished(10000);
    }
    QVERIFY(m_server.writeIni(m_page.ini("pkcs11Module=" + softHsmModule().toUtf8() + '\n'
                                         + (v_oIniExtra.isNull() ? QByteArray("confirmDelayMs=300\n") : v_oIniExtra))));
    QFile::remove(m_server.logFilePath());
    m_page.forgetDialog();
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), m_tokens.conf());
    m_server.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), v_oHookDir);
    QVERIFY(m_page.start(m_server, v_oArguments));
}

HttpReply TestSigner::pick(const QString &v_oName, const QByteArray &v_oOrigin, const QByteArray &v_oPurpose,
                           bool v_bRemember, QByteArray *v_poShown)
{
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCmdId = m_page.nextCmdId();
    const HttpReply oAccepted = m_page.submit(oSession, "SelectCertificate", "purpose=" + v_oPurpose, oCmdId, v_oOrigin);
    if (oAccepted.status != 202)
        return oAccepted;
    const QByteArray oShown = m_page.waitDialog("picker", "item0=");
    if (v_poShown)
        *v_poShown = oShown;
    const int iIndex = dialogItems(oShown).indexOf(QRegularExpression(QRegularExpression::escape(v_oName) + QStringLiteral(" \\|.*")));
    m_page.answer(iIndex < 0 ? QByteArray("cancel") : "pick:" + QByteArray::number(iIndex) + (v_bRemember ? ":remember" : ""));
    return m_page.result(oSession, oCmdId);
}

QJsonArray TestSigner::listing(const QByteArray &v_oOrigin, const QByteArray &v_oPurpose)
{
    const HttpReply oReply = m_page.call("ListCertificates", "purpose=" + v_oPurpose, v_oOrigin);
    if (oReply.status != 200 || oReply.body.startsWith("500|"))
        qWarning("ListCertificates: %d %s", oReply.status, oReply.body.constData());
    return QJsonDocument::fromJson(oReply.body).object().value(QStringLiteral("certificates")).toArray();
}

QByteArray TestSigner::certId(const QString &v_oCommonName, const QByteArray &v_oOrigin)
{
    for (const QJsonValue &oCert : listing(v_oOrigin)) {
        if (oCert[QStringLiteral("subjectCommonName")].toString() == v_oCommonName)
            return oCert[QStringLiteral("id")].toString().toLatin1();
    }
    return QByteArray();
}

Run TestSigner::sites(const QStringList &v_oArguments)
{
    return run(QStringLiteral(QTX_BINARY_DIR "/tools/qtx-sites"),
               QStringList{QStringLiteral("--store"), m_server.storePath(QStringLiteral("signer"))} + v_oArguments);
}

// A page sees nothing without a grant (no dialog either), nothing after a
// cancelled picker, the certificate after a pick, and without asking again only
// what the user let it see; qtx-sites revoke takes that back.
void TestSigner::disclosureOnlyThroughThePicker()
{
    QCOMPARE(m_page.call("ListCertificates", QByteArray()).body, QByteArray("{\"certificates\":[]}"));
    QVERIFY(!m_page.dialogShown());

    QList<QByteArray> oShown;
    const HttpReply oCancelled = m_page.dialogCall("SelectCertificate", QByteArray(), {{"picker", "cancel", "item0="}}, &oShown);
    QCOMPARE(QJsonDocument(jsonOf(oCancelled)).toJson(QJsonDocument::Compact),
             QByteArray("{\"error\":\"CANCELLED\",\"message\":\"The user chose no certificate.\"}"));
    QVERIFY2(oShown.value(0).contains("\nhttps://shop.example\n"), oShown.value(0).constData());
    QVERIFY(oShown.value(0).contains("This site asks which certificate you sign with:"));

    // Picked: the certificate, once; still nothing in the listing.
    const QJsonObject oPicked = jsonOf(pick(QStringLiteral("Signer RSA")));
    QCOMPARE(QByteArray::fromBase64(oPicked[QStringLiteral("certificate")].toString().toLatin1()),
             readFile(m_work.filePath(QStringLiteral("RSA.der"))));
    QCOMPARE(oPicked[QStringLiteral("subject")].toString(), QStringLiteral("CN=Signer RSA,O=QTX Test"));
    QCOMPARE(oPicked[QStringLiteral("keyUsage")].toArray(), QJsonArray({QStringLiteral("digitalSignature"), QStringLiteral("nonRepudiation")}));
    QCOMPARE(oPicked[QStringLiteral("purposes")].toArray(), QJsonArray({QStringLiteral("sign")}));
    QCOMPARE(oPicked[QStringLiteral("remembered")].toBool(), false);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(oPicked[QStringLiteral("id")].toString()).hasMatch());
    QVERIFY(!oPicked.contains(QStringLiteral("tokenSerialNumber")));
    QCOMPARE(listing().size(), 0);

    // Remembered: listed without a dialog, the same id; revoked: gone.
    for (const char *pName : {"Signer RSA", "Signer P-256", "Signer P-384", "Signer Always"})
        QCOMPARE(jsonOf(pick(QLatin1String(pName), kOrigin, "sign", true))[QStringLiteral("remembered")].toBool(), true);
    QJsonArray oListed = listing();
    QCOMPARE(oListed.size(), 4);
    QCOMPARE(certId(QStringLiteral("Signer RSA")), oPicked[QStringLiteral("id")].toString().toLatin1());
    QVERIFY(!m_page.dialogShown());
    Run oSites = sites({QStringLiteral("list")});
    QVERIFY2(oSites.code == 0 && oSites.output.contains("https://shop.example\n  sign   CN=Signer RSA,O=QTX Test"),
             oSites.output.constData());
    QCOMPARE(sites({QStringLiteral("revoke"), QStringLiteral("https://shop.example")}).code, 0);
    QCOMPARE(listing().size(), 0);
    QCOMPARE(sites({QStringLiteral("revoke"), QStringLiteral("https://shop.example")}).code, 3);
    // The suite goes on with the grants back.
    for (const char *pName : {"Signer RSA", "Signer P-256", "Signer P-384", "Signer Always"})
        pick(QLatin1String(pName), kOrigin, "sign", true);
    QCOMPARE(listing().size(), 4);
}

// One certificate: one id per origin, the same across calls and restarts, and
// another origin's id names nothing.
void TestSigner::siteIdsDifferPerOrigin()
{
    const QByteArray oShop = jsonOf(pick(QStringLiteral("Signer P-256")))[QStringLiteral("id")].toString().toLatin1();
    const QByteArray oNews = jsonOf(pick(QStringLiteral("Signer P-256"), kOther))[QStringLiteral("id")].toString().toLatin1();
    QVERIFY(!oShop.isEmpty() && !oNews.isEmpty());
    QVERIFY(oShop != oNews);
    startServer({}, m_hookDir);
    QCOMPARE(certId(QStringLiteral("Signer P-256")), oShop);
    QCOMPARE(jsonOf(pick(QStringLiteral("Signer P-256"), kOther))[QStringLiteral("id")].toString().toLatin1(), oNews);
    QCOMPARE(errorOf(m_page.call("Sign", signForm(oShop, "x", "SHA-256", "ECDSA"), kOther)), QStringLiteral("CERTIFICATE_NOT_FOUND"));
}

void TestSigner::certificatesForTheJob_data()
{
    QTest::addColumn<QByteArray>("purpose");
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QByteArray>("missing");
    QTest::newRow("document signing") << QByteArray("sign")
        << QStringList{QStringLiteral("Signer P-384"), QStringLiteral("Signer Always"), QStringLiteral("Signer P-256"), QStringLiteral("Signer RSA")}
        << QByteArray("3 certificates for log-in only are not shown.");
    QTest::newRow("log-in") << QByteArray("login") << QStringList{QStringLiteral("Login P-256"), QStringLiteral("Login P-384"), kAuthName}
                            << QByteArray("4 certificates for signing only are not shown.");
}

// The picker offers what fits the purpose and says why the rest is missing; a
// log-in certificate never signs a page's digest.
void TestSigner::certificatesForTheJob()
{
    QFETCH(QByteArray, purpose);
    QFETCH(QStringList, offered);
    QFETCH(QByteArray, missing);
    QByteArray oShown;
    const HttpReply oPicked = pick(purpose == "login" ? kAuthName : offered.first(), kOrigin, purpose, false, &oShown);
    QStringList oOffered;
    for (const QString &oItem : dialogItems(oShown))
        oOffered << oItem.section(QStringLiteral(" | "), 0, 0);
    QCOMPARE(oOffered, offered);
    QVERIFY2(oShown.contains(missing), oShown.constData());
    if (purpose == "login") {
        QVERIFY(oShown.contains("Choose a certificate to log in\n")); // the title, maybe after the server's origin
        const QJsonObject oAuth = jsonOf(oPicked);
        QCOMPARE(oAuth[QStringLiteral("extendedKeyUsage")].toArray(), QJsonArray({QStringLiteral("clientAuth")}));
        QVERIFY(oAuth[QStringLiteral("subject")].toString().contains(QStringLiteral("serialNumber=PNOEE-38001085718")));
        const QJsonObject oRefused = jsonOf(m_page.call("Sign", signForm(oAuth[QStringLiteral("id")].toString().toLatin1(), "x")));
        QCOMPARE(oRefused[QStringLiteral("error")].toString(), QStringLiteral("CERTIFICATE_NOT_USABLE"));
        QCOMPARE(oRefused[QStringLiteral("reason")].toString(), QStringLiteral("login-only"));
        QCOMPARE(listing(kOrigin, "login").size(), 0); // picked, not remembered
    }
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
    QTest::newRow("RSA PSS SHA-384") << "RSA" << QByteArray("SHA-384") << QByteArray("RSA-PSS") << QByteArray("raw") << kPin;
    QTest::newRow("ECDSA P-256 SHA-256") << "P-256" << QByteArray("SHA-256") << QByteArray("ECDSA") << QByteArray("raw") << kPin;
    QTest::newRow("ECDSA P-384 SHA-384") << "P-384" << QByteArray("SHA-384") << QByteArray("ECDSA") << QByteArray("raw") << QByteArray("4321");
    // A key that wants the PIN again for every signature (CKA_ALWAYS_AUTHENTICATE).
    QTest::newRow("always-authenticate RSA PSS") << "Always" << QByteArray("SHA-256") << QByteArray("RSA-PSS") << QByteArray("raw") << kPin;
    QTest::newRow("CMS RSA PKCS1 SHA-256") << "RSA" << QByteArray("SHA-256") << QByteArray("RSA-PKCS1") << QByteArray("cms") << kPin;
    QTest::newRow("CMS RSA PSS SHA-256") << "RSA" << QByteArray("SHA-256") << QByteArray("RSA-PSS") << QByteArray("cms") << kPin;
    QTest::newRow("CMS ECDSA P-384 SHA-512") << "P-384" << QByteArray("SHA-512") << QByteArray("ECDSA") << QByteArray("cms") << QByteArray("4321");
    QTest::newRow("CMS always-authenticate") << "Always" << QByteArray("SHA-256") << QByteArray("RSA-PKCS1") << QByteArray("cms") << kPin;
}

void TestSigner::signsAndOpenSslVerifies()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, digestAlgorithm);
    QFETCH(QByteArray, signatureAlgorithm);
    QFETCH(QByteArray, format);
    QFETCH(QByteArray, pin);
    const QByteArray oDocument = "Contract " + QByteArray(QTest::currentDataTag()) + '\n';
    const HttpReply oReply = m_page.dialogCall("Sign", signForm(certId(QStringLiteral("Signer ") + key), oDocument, digestAlgorithm,
                                                         signatureAlgorithm) + "&format=" + format + "&documentName=document.txt",
                                        {{"consent", "pin:" + pin}});
    QVERIFY2(oReply.status == 200 && !oReply.body.startsWith("500|"), oReply.body.constData());
    const QJsonObject oResult = QJsonDocument::fromJson(oReply.body).object();
    QCOMPARE(QByteArray::fromBase64(oResult[QStringLiteral("certificate")].toString().toLatin1()),
             readFile(m_work.filePath(key + QStringLiteral(".der"))));

    const QString oSigPath = m_work.filePath(QStringLiteral("signature.bin"));
    if (format == "cms") {
        const QByteArray oCms = QByteArray::fromBase64(oResult[QStringLiteral("cms")].toString().toLatin1());
        QByteArray oOutput;
        QVERIFY2(cmsVerifies(oCms, oDocument, m_keys.file(QStringLiteral("ca.pem")), m_work.path(), &oOutput),
                 oOutput.constData());
        QVERIFY(writeFile(oSigPath, oCms));
        const Run oPrint = tool(QStringLiteral("openssl cms -cmsout -print -inform DER -in %1"), {oSigPath});
        QVERIFY(oPrint.output.contains("id-smime-aa-signingCertificateV2"));
        QVERIFY(oPrint.output.contains("eContent: <ABSENT>")); // detached
        return;
    }
    QByteArray oSignature = QByteArray::fromBase64(oResult[QStringLiteral("signature")].toString().toLatin1());
    if (signatureAlgorithm == "ECDSA") {
        // Raw r||s as WebCrypto wants it, and DER for OpenSSL.
        QCOMPARE(oSignature.size(), key == QLatin1String("P-256") ? 64 : 96);
        oSignature = QByteArray::fromBase64(oResult[QStringLiteral("signatureDer")].toString().toLatin1());
    }
    QVERIFY(writeFile(oSigPath, oSignature));
    QVERIFY(writeFile(m_work.filePath(QStringLiteral("digest.bin")), digestOf(oDocument, digestAlgorithm)));
    QStringList oVerifyArgs = words("pkeyutl -verify -pubin -inkey %2 -in %3 -sigfile %1 -pkeyopt digest:%4",
                                    {oSigPath, m_keys.file(key + QStringLiteral(".pub")), m_work.filePath(QStringLiteral("digest.bin")),
                                     QString::fromLatin1(digestAlgorithm).remove(QLatin1Char('-')).toLower()});
    if (signatureAlgorithm == "RSA-PSS")
        oVerifyArgs += words("-pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:digest");
    const Run oVerify = run(QStringLiteral("openssl"), oVerifyArgs);
    QVERIFY2(oVerify.code == 0 && oVerify.output.contains("Signature Verified Successfully"), oVerify.output.constData());
}

void TestSigner::logInTokensAndTheSite_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("key"); // its files
    QTest::addColumn<QString>("algorithm");
    QTest::addColumn<int>("signatureSize");
    // The picker's order: by name.
    QTest::newRow("RSA: RS256") << kAuthName << "Auth" << "RS256" << 256;
    QTest::newRow("EC P-256: ES256") << "Login P-256" << "Login-P-256" << "ES256" << 64;
    QTest::newRow("EC P-384: ES384") << "Login P-384" << "Login-P-384" << "ES384" << 96;
}

// Signer/Authenticate: the log-in picker (log-in certificates only) and the
// consent dialog name the origin; the token is the five fields, its signature
// checked by OpenSSL over the two hashes made here, and the site's validator
// accepts it for its origin and nonce and nothing else.
void TestSigner::logInTokensAndTheSite()
{
    QFETCH(QString, name);
    QFETCH(QString, key);
    QFETCH(QString, algorithm);
    QFETCH(int, signatureSize);
    const QString oNode = QStandardPaths::findExecutable(QStringLiteral("node"));
    const QByteArray oNonce = QCryptographicHash::hash(QByteArray::number(QRandomGenerator::global()->generate64()),
                                                       QCryptographicHash::Sha256).toBase64();
    const QStringList oOffered = {QStringLiteral("Login P-256"), QStringLiteral("Login P-384"), kAuthName};
    QList<QByteArray> oShown;
    const HttpReply oReply = m_page.dialogCall("Authenticate", formBody({{"nonce", oNonce}}),
                                        {{"picker", "pick:" + QByteArray::number(oOffered.indexOf(name)), "item0="},
                                         {"consent", "pin:" + kPin}},
                                        &oShown);
    QVERIFY2(oReply.status == 200 && !oReply.body.startsWith("500|"), oReply.body.constData());
    QStringList oItems;
    for (const QString &oItem : dialogItems(oShown.value(0)))
        oItems << oItem.section(QStringLiteral(" | "), 0, 0);
    QCOMPARE(oItems, oOffered); // never a signing certificate
    QVERIFY(oShown.value(0).contains("Choose a certificate to log in\n"));
    QVERIFY2(oShown.value(1).contains("Log in to:\n") && oShown.value(1).contains("\nhttps://shop.example\n"),
             oShown.value(1).constData());

    const QJsonObject oToken = QJsonDocument::fromJson(oReply.body).object();
    QCOMPARE(oToken.keys(), (QStringList{QStringLiteral("algorithm"), QStringLiteral("appVersion"), QStringLiteral("format"),
                                         QStringLiteral("signature"), QStringLiteral("unverifiedCertificate")}));
    QCOMPARE(oToken[QStringLiteral("format")].toString(), QStringLiteral("web-eid:1.0"));
    QCOMPARE(oToken[QStringLiteral("algorithm")].toString(), algorithm);
    QVERIFY(oToken[QStringLiteral("appVersion")].toString().startsWith(QStringLiteral("https://quorvex.invalid/crypto-provider/releases/")));
    QCOMPARE(QByteArray::fromBase64(oToken[QStringLiteral("unverifiedCertificate")].toString().toLatin1()),
             readFile(m_work.filePath(key + QStringLiteral(".der"))));
    const QByteArray oSignature = QByteArray::fromBase64(oToken[QStringLiteral("signature")].toString().toLatin1());
    QCOMPARE(oSignature.size(), signatureSize);

    // OpenSSL: hash(origin) || hash(nonce), hashed again as it verifies; r||s as DER.
    const bool b384 = algorithm.endsWith(QLatin1String("384"));
    const QCryptographicHash::Algorithm eHash = b384 ? QCryptographicHash::Sha384 : QCryptographicHash::Sha256;
    const QByteArray oSigned = QCryptographicHash::hash(kOrigin, eHash) + QCryptographicHash::hash(oNonce, eHash);
    const QString oData = m_work.filePath(QStringLiteral("login-data.bin"));
    const QString oSig = m_work.filePath(QStringLiteral("login-signature.bin"));
    QVERIFY(writeFile(oData, oSigned));
    // The decisions' receipts: the pick, then the log-in with what was signed.
    const QList<QByteArray> oReceipts = readFile(m_server.storePath(QStringLiteral("signer/receipts.log"))).split('\n');
    QVERIFY2(oReceipts.value(oReceipts.size() - 3).contains(" purpose=\"select-login\" ")
                 && oReceipts.value(oReceipts.size() - 2).contains(" purpose=\"login\" document=\"\" digest=\"SHA-" + QByteArray(b384 ? "384:" : "256:")
                                                                   + QCryptographicHash::hash(oSigned, eHash).toHex() + '"')
                 && oReceipts.value(oReceipts.size() - 2).endsWith(" outcome=\"logged-in\""),
             oReceipts.value(oReceipts.size() - 2).constData());
    if (algorithm.startsWith(QLatin1String("ES"))) {
        const QByteArray oHalf = QByteArray::number(signatureSize / 2);
        QVERIFY(writeFile(m_work.filePath(QStringLiteral("login-signature.cnf")),
                          "asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x" + oSignature.left(signatureSize / 2).toHex()
                              + "\ns=INTEGER:0x" + oSignature.mid(signatureSize / 2).toHex() + '\n'));
        const Run oDer = run(QStringLiteral("openssl"), words("asn1parse -genconf %1 -noout -out %2",
                                                              {m_work.filePath(QStringLiteral("login-signature.cnf")), oSig}));
        QVERIFY2(oDer.code == 0, oDer.output.constData());
    } else {
        QVERIFY(writeFile(oSig, oSignature));
    }
    const Run oVerify = run(QStringLiteral("openssl"),
                            words("dgst -%1 -verify %2 -signature %3 %4",
                                  {b384 ? QStringLiteral("sha384") : QStringLiteral("sha256"),
                                   m_work.filePath(key + QStringLiteral(".pub")), oSig, oData}));
    QVERIFY2(oVerify.code == 0 && oVerify.output.contains("Verified OK"), oVerify.output.constData());

    if (oNode.isEmpty())
        QSKIP("node is missing: the site's validator is not run (apt-get install nodejs)");
    const QString oOtherCa = m_work.filePath(QStringLiteral("other-ca.pem"));
    if (!QFile::exists(oOtherCa))
        QCOMPARE(run(QStringLiteral("openssl"), words("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout %1.key "
                                                      "-out %1 -subj /CN=Other_CA -days 30", {oOtherCa})).code, 0);
    const QString oInput = m_work.filePath(QStringLiteral("login-check.json"));
    QVERIFY(writeFile(oInput, QJsonDocument(QJsonObject{
                                   {QStringLiteral("token"), oToken}, {QStringLiteral("origin"), QString::fromLatin1(kOrigin)},
                                   {QStringLiteral("nonce"), QString::fromLatin1(oNonce)},
                                   {QStringLiteral("ca"), m_work.filePath(QStringLiteral("ca.pem"))}, {QStringLiteral("otherCa"), oOtherCa},
                                   {QStringLiteral("signingKey"), m_work.filePath(QStringLiteral("RSA.key"))},
                                   {QStringLiteral("signingCert"), m_work.filePath(QStringLiteral("RSA.der"))}})
                                   .toJson()));
    const Run oSite = run(oNode, {QStringLiteral(QTX_SOURCE_DIR "/tests/signer/login-check.mjs"), oInput});
    QVERIFY2(oSite.code == 0, oSite.output.constData());
    QVERIFY2(QJsonDocument::fromJson(oSite.output).object() ==
             (QJsonObject{{QStringLiteral("accepted"), QStringLiteral("ok:") + name},
                          {QStringLiteral("reused"), QStringLiteral("NONCE_NOT_FOUND")},
                          {QStringLiteral("otherOrigin"), QStringLiteral("TOKEN_SIGNATURE_INVALID")},
                          {QStringLiteral("expired"), QStringLiteral("NONCE_EXPIRED")},
                          {QStringLiteral("otherCa"), QStringLiteral("CERTIFICATE_UNTRUSTED")},
                          {QStringLiteral("tampered"), QStringLiteral("TOKEN_SIGNATURE_INVALID")},
                          {QStringLiteral("signingCertificate"), QStringLiteral("CERTIFICATE_PURPOSE")}}),
             oSite.output.constData());
}

void TestSigner::refusedRequests_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    const QByteArray oDigest = "&digestAlgorithm=SHA-256&signatureAlgorithm=RSA-PKCS1&digest=" + QByteArray(32, 'x').toBase64();
    const QByteArray oSign = "Sign";
    QTest::newRow("unknown certificate") << oSign << kOrigin << "" << "certId=" + QByteArray(40, 'a') + oDigest << "CERTIFICATE_NOT_FOUND";
    QTest::newRow("malformed id") << oSign << kOrigin << "" << "certId=../x" + oDigest << "CERTIFICATE_NOT_FOUND";
    QTest::newRow("short digest") << oSign << kOrigin << "RSA" << QByteArray("&digestAlgorithm=SHA-256&signatureAlgorithm=RSA-PKCS1&digest=") + QByteArray(31, 'x').toBase64() << "BAD_DIGEST_LENGTH";
    QTest::newRow("MD5") << oSign << kOrigin << "RSA" << QByteArray("&digestAlgorithm=MD5&signatureAlgorithm=RSA-PKCS1&digest=") + QByteArray(16, 'x').toBase64() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("ECDSA with RSA key") << oSign << kOrigin << "RSA" << QByteArray("&digestAlgorithm=SHA-256&signatureAlgorithm=ECDSA&digest=") + QByteArray(32, 'x').toBase64() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("PSS with EC key") << oSign << kOrigin << "P-256" << QByteArray("&digestAlgorithm=SHA-256&signatureAlgorithm=RSA-PSS&digest=") + QByteArray(32, 'x').toBase64() << "UNSUPPORTED_ALGORITHM";
    QTest::newRow("unknown format") << oSign << kOrigin << "RSA" << oDigest + "&format=xml" << "BAD_REQUEST";
    // The origin is the browser's Origin header, nothing else.
    QTest::newRow("Sign without Origin") << oSign << QByteArray() << "RSA" << oDigest + "&origin=https%3A%2F%2Fshop.example" << "NO_ORIGIN";
    QTest::newRow("picker without Origin") << QByteArray("SelectCertificate") << QByteArray() << "" << QByteArray("origin=https%3A%2F%2Fshop.example") << "NO_ORIGIN";
    QTest::newRow("listing, opaque origin") << QByteArray("ListCertificates") << QByteArray("null") << "" << QByteArray() << "NO_ORIGIN";
    QTest::newRow("listing, origin with a path") << QByteArray("ListCertificates") << QByteArray("https://shop.example/x") << "" << QByteArray() << "NO_ORIGIN";
    // A log-in signs the browser's origin and a site's nonce, nothing a page adds.
    const QByteArray oAuthenticate = "Authenticate";
    const QByteArray oNonce = "nonce=" + QUrl::toPercentEncoding(QString::fromLatin1(QByteArray(32, 'n').toBase64()));
    QTest::newRow("log-in, short nonce") << oAuthenticate << kOrigin << "" << QByteArray("nonce=") + QByteArray(43, 'A') << "BAD_NONCE";
    QTest::newRow("log-in, nonce not base64") << oAuthenticate << kOrigin << "" << QByteArray("nonce=") + QByteArray(43, 'A') + "%3C" << "BAD_NONCE";
    QTest::newRow("log-in, two nonces") << oAuthenticate << kOrigin << "" << oNonce + '&' + oNonce << "BAD_NONCE";
    QTest::newRow("log-in, origin parameter") << oAuthenticate << kOrigin << "" << oNonce + "&origin=https%3A%2F%2Fbank.example" << "BAD_REQUEST";
    QTest::newRow("log-in without Origin") << oAuthenticate << QByteArray() << "" << oNonce << "NO_ORIGIN";
    QTest::newRow("listing, unknown purpose") << QByteArray("ListCertificates") << kOrigin << "" << QByteArray("purpose=encrypt") << "BAD_REQUEST";
}

// Refused before any dialog: the result comes without an answer.
void TestSigner::refusedRequests()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, origin);
    QFETCH(QString, key);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    if (!key.isEmpty())
        body = "certId=" + certId(QStringLiteral("Signer ") + key) + body;
    const HttpReply oReply = m_page.call(command, body, origin);
    // The server itself may refuse a GUI command without an origin, before the module.
    if (error == QLatin1String("NO_ORIGIN") && oReply.status == 403)
        return;
    const QJsonObject oError = jsonOf(oReply);
    QCOMPARE(oError[QStringLiteral("error")].toString(), error);
    QVERIFY(!oError[QStringLiteral("message")].toString().isEmpty());
}

void TestSigner::hostileRequestsShownEscaped_data()
{
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QString>("document");
    QTest::addColumn<QByteArray>("originShown"); // a pattern
    QTest::addColumn<QByteArray>("documentShown");
    QTest::newRow("fake second line") << kOrigin << QStringLiteral("a.pdf\nThe page https://bank.example asks for your signature.")
        << QByteArray("\nhttps://shop\\.example\n") << QByteArray("\na.pdf\\nThe page https://bank.example asks for your signature.\n");
    QTest::newRow("right-to-left override") << kOrigin << QStringLiteral("invoice_\u202efdp.exe")
        << QByteArray("\nhttps://shop\\.example\n") << QByteArray("\ninvoice_\\u202efdp.exe\n");
    QTest::newRow("markup and isolates") << kOrigin << QStringLiteral("<b>x</b>\u2066\u200b\\n.pdf")
        << QByteArray("\nhttps://shop\\.example\n") << QByteArray("\n<b>x</b>\\u2066\\u200b\\\\n.pdf\n");
    // 250 characters: the labels before the registrable domain give way, the domain stays.
    QByteArrayList oLabels;
    for (int i = 0; i < 5; ++i)
        oLabels << QByteArray(45, 'a');
    const QByteArray oLong = "https://" + oLabels.join('.') + ".bank.example";
    QVERIFY(oLong.size() == 250);
    QTest::newRow("250-character origin") << oLong << QStringLiteral("b.pdf")
        << QByteArray("\nhttps://[a.]{2,}\u2026[a.]{2,}bank\\.example\n") << QByteArray("\nb.pdf\n");
}

// Page text is one escaped line in its own box; the origin is the header's,
// whole or elided in the middle, never from a parameter or cookie.
void TestSigner::hostileRequestsShownEscaped()
{
    QFETCH(QByteArray, origin);
    QFETCH(QString, document);
    QFETCH(QByteArray, originShown);
    QFETCH(QByteArray, documentShown);
    const QByteArray oId = jsonOf(pick(QStringLiteral("Signer RSA"), origin))[QStringLiteral("id")].toString().toLatin1();
    QVERIFY(!oId.isEmpty());
    QList<QByteArray> oShown;
    const HttpReply oReply = m_page.dialogCall("Sign", signForm(oId, "shown") + "&origin=https%3A%2F%2Fbank.example&documentName="
                                                    + QUrl::toPercentEncoding(document),
                                        {{"consent", "cancel"}}, &oShown, origin);
    QCOMPARE(errorOf(oReply), QStringLiteral("CANCELLED"));
    const QByteArray oText = oShown.value(0);
    QVERIFY2(QRegularExpression(QString::fromUtf8(originShown)).match(QString::fromUtf8(oText)).hasMatch(), oText.constData());
    QVERIFY2(oText.contains(documentShown), oText.constData());
    QVERIFY(!oText.contains("bank.example asks for your signature.\n") || document.contains(QLatin1Char('\n')));
    QVERIFY(!oText.contains("\nThe page https://bank.example"));
    QVERIFY(oText.contains(QCryptographicHash::hash("shown", QCryptographicHash::Sha256).toHex().left(8)));
    QVERIFY(oText.contains("Signer RSA"));
    QVERIFY(oText.contains("pinField=1"));
}

// One receipt line per decision, escaped; the listing answers while a dialog is open.
void TestSigner::receiptsAndListingMeanwhile()
{
    const QString oReceipts = m_server.storePath(QStringLiteral("signer/receipts.log"));
    const int iBefore = readFile(oReceipts).count('\n');
    const QByteArray oBody = signForm(certId(QStringLiteral("Signer P-256")), "receipt", "SHA-256", "ECDSA")
                             + "&documentName=" + QUrl::toPercentEncoding(QStringLiteral("Rechnung \u00e4\n\u202e.pdf"));
    QCOMPARE(errorOf(m_page.dialogCall("Sign", oBody, {{"consent", "cancel", "", [this] {
                                      QCOMPARE(listing().size(), 4);
                                  }}})),
             QStringLiteral("CANCELLED"));
    QVERIFY(!m_page.dialogCall("Sign", oBody, {{"consent", "pin:1234"}}).body.startsWith("500|"));
    const QList<QByteArray> oLines = readFile(oReceipts).split('\n').mid(iBefore, 2);
    const QByteArray oCommon = " origin=\"https://shop.example\" purpose=\"sign\" document=\"Rechnung \\u00e4\\n\\u202e.pdf\" digest=\"SHA-256:"
                               + digestOf("receipt", "SHA-256").toHex() + "\" certificate=\"CN=Signer P-256,O=QTX Test\" sha256=\""
                               + QCryptographicHash::hash(readFile(m_work.filePath(QStringLiteral("P-256.der"))), QCryptographicHash::Sha256).toHex()
                               + "\" outcome=";
    QCOMPARE(oLines.size(), 2);
    QVERIFY2(oLines.at(0).endsWith(oCommon + "\"cancelled\""), oLines.at(0).constData());
    QVERIFY2(oLines.at(1).endsWith(oCommon + "\"signed\""), oLines.at(1).constData());
    QVERIFY(QDateTime::fromString(QString::fromLatin1(oLines.at(0).left(20)), Qt::ISODate).isValid());
    QCOMPARE(QFileInfo(oReceipts).permissions() & 0x0077, QFileDevice::Permissions());
    const Run oSites = sites({QStringLiteral("receipts")});
    QVERIFY(oSites.code == 0 && oSites.output.contains(oLines.at(1)));
}

void TestSigner::storeFilesAreChecked_data()
{
    QTest::addColumn<QByteArray>("grants");
    QTest::addColumn<bool>("link");
    QTest::newRow("not JSON") << QByteArray("{\"version\":1,") << false;
    QTest::newRow("other version") << QByteArray("{\"version\":2,\"origins\":[]}") << false;
    QTest::newRow("fingerprint not hex") << QByteArray("{\"version\":1,\"origins\":[{\"origin\":\"https://shop.example\",\"certificates\":"
                                                       "[{\"sha256\":\"../../x\",\"subject\":\"\",\"purpose\":\"sign\",\"granted\":\"2026-01-01T00:00:00Z\"}]}]}")
                                         << false;
    QTest::newRow("origins not a list") << QByteArray("{\"version\":1,\"origins\":{\"https://shop.example\":1}}") << false;
    QTest::newRow("larger than 1 MiB") << QByteArray(1 << 20 | 1, ' ') << false;
    QTest::newRow("a link to another file") << QByteArray() << true;
}

// A hostile or broken grants file: a typed error for the page and qtx-sites,
// never a crash or a silent reset; revoke-all starts anew.
void TestSigner::storeFilesAreChecked()
{
    QFETCH(QByteArray, grants);
    QFETCH(bool, link);
    const QString oGrants = m_server.storePath(QStringLiteral("signer/grants.json"));
    const QByteArray oKept = readFile(oGrants);
    QVERIFY(QFile::remove(oGrants));
    QVERIFY(link ? QFile::link(m_work.filePath(QStringLiteral("ca.pem")), oGrants) : writeFile(oGrants, grants, 0600));
    QCOMPARE(errorOf(m_page.call("ListCertificates", QByteArray())), QStringLiteral("STORE_ERROR"));
    QCOMPARE(errorOf(pick(QStringLiteral("Signer RSA"), kOrigin, "sign", true)), QStringLiteral("STORE_ERROR"));
    QCOMPARE(sites({QStringLiteral("list")}).code, 1);
    if (!link) {
        QCOMPARE(sites({QStringLiteral("revoke-all")}).code, 0);
        QCOMPARE(listing().size(), 0);
    }
    QVERIFY(QFile::remove(oGrants));
    QVERIFY(writeFile(oGrants, oKept, 0600));
    QCOMPARE(listing().size(), 4);
}

// A card whose PIN state the test sets (tests/signer/fake_pkcs11.cpp), named by
// QTX_PKCS11_MODULE: the dialog's warnings, a locked PIN, a PIN pad, removal,
// a token logged in already, a separate signature PIN.
void TestSigner::pinStatesOfACard()
{
    const QString oState = m_work.filePath(QStringLiteral("fake.state"));
    QVERIFY(writeFile(oState, QByteArray()));
    m_server.setEnvironmentValue(QStringLiteral("QTX_FAKE_P11_STATE"), oState);
    // A certificate of its own: the same one on two tokens would be one id.
    const QString oCert = m_work.filePath(QStringLiteral("fake.der"));
    const Run oMade = run(QStringLiteral("openssl"), words("req -x509 -newkey rsa:2048 -nodes -keyout %1.key -outform DER -out %1 "
                                                           "-subj /CN=Fake_Holder -days 5 -addext keyUsage=critical,nonRepudiation",
                                                           {oCert}));
    QVERIFY2(oMade.code == 0, oMade.output.constData());
    m_server.setEnvironmentValue(QStringLiteral("QTX_FAKE_P11_CERT"), oCert);
    const auto oRestore = qScopeGuard([this] {
        m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), QString());
        startServer({}, m_hookDir);
    });

    m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), QStringLiteral(QTX_FAKE_PKCS11));
    startServer({}, m_hookDir);
    const QByteArray oId = jsonOf(pick(QStringLiteral("Fake_Holder")))[QStringLiteral("id")].toString().toLatin1();
    QVERIFY2(!oId.isEmpty(), "the named module's token is offered");
    const QByteArray oBody = signForm(oId, "card");
    struct Case
    {
        const char *state;      // before the dialog
        const char *shown;      // in the dialog ("" = no dialog)
        const char *during;     // state set while the dialog is open
        QList<Answer> answers;
        const char *error;      // "" = signed
        const char *triesLeft;
    };
    const Case kCases[] = {
        {"", "pinField=1", "", {{"consent", "pin:2468"}}, "", ""},
        {"low", "only few tries are left", "", {{"consent", "pin:1111"}}, "PIN_INCORRECT", "low"},
        {"final", "Last try", "", {{"consent", "pin:1111"}}, "PIN_INCORRECT", "final"},
        {"locked", "", "", {}, "PIN_LOCKED", ""},
        {"", "pinField=1", "locked", {{"consent", "pin:2468"}}, "PIN_LOCKED", ""},
        {"protected", "keypad", "", {{"consent", "ok"}}, "", ""},
        {"", "pinField=1", "gone", {{"consent", "pin:2468"}}, "TOKEN_REMOVED", ""},
        // Logged in already: logged out, and the PIN typed is checked.
        {"already", "pinField=1", "", {{"consent", "pin:1111"}}, "PIN_INCORRECT", ""},
        {"already", "pinField=1", "", {{"consent", "pin:2468"}}, "", ""},
        // A signature PIN of its own: asked for once more, and a wrong one is refused.
        {"always", "pinField=1", "", {{"consent", "pin:2468"}, {"pin", "pin:1357"}}, "", ""},
        {"always", "pinField=1", "", {{"consent", "pin:2468"}, {"pin", "cancel"}}, "CANCELLED", ""},
    };
    for (const Case &oCase : kCases) {
        const QByteArray oTag = QByteArray(oCase.state) + '/' + oCase.during + '/' + oCase.answers.value(0).text;
        QVERIFY(writeFile(oState, oCase.state));
        QList<Answer> oAnswers = oCase.answers;
        if (!oAnswers.isEmpty()) {
            oAnswers[0].waitFor = oCase.shown;
            oAnswers[0].whileOpen = [&] { QVERIFY(!*oCase.during || writeFile(oState, oCase.during)); };
        }
        const HttpReply oReply = oAnswers.isEmpty() ? m_page.call("Sign", oBody) : m_page.dialogCall("Sign", oBody, oAnswers);
        const QJsonObject oError = jsonOf(oReply);
        QVERIFY2(oError[QStringLiteral("error")].toString() == QLatin1String(oCase.error), (oTag + ": " + oReply.body).constData());
        QCOMPARE(oError[QStringLiteral("triesLeft")].toString(), QLatin1String(oCase.triesLeft));
        if (!*oCase.error)
            QVERIFY2(oReply.body.contains("\"signature\""), oReply.body.constData());
        QVERIFY(QTest::qWaitFor([this] { return !m_page.dialogShown(); }, 2000));
    }
}

// The picker waits for a card and follows it; the consent dialog shows a
// removed card and goes on when it is back; a listing without any token says
// which modules were tried.
void TestSigner::cardsComeAndGo()
{
    startServer({}, m_hookDir);
    const auto deleteSpare = [this] { QVERIFY(m_tokens.deleteToken(QStringLiteral("QTX Spare"))); };
    const QByteArray oBody = signForm(jsonOf(pick(QStringLiteral("Signer P-384"), kOrigin, "sign", true))[QStringLiteral("id")].toString().toLatin1(), "r",
                                      "SHA-384", "ECDSA");
    const HttpReply oSigned = m_page.dialogCall("Sign", oBody, {{"consent", "pin:4321", "", [&] {
                                                              deleteSpare();
                                                              QVERIFY(!m_page.waitDialog("consent", "Insert the card").isEmpty());
                                                              importToken(QStringLiteral("QTX Spare"), "4321", QStringLiteral("P-384"));
                                                          }}});
    QVERIFY2(oSigned.body.contains("\"signature\""), oSigned.body.constData());

    deleteSpare();
    QVERIFY(m_tokens.deleteToken(QStringLiteral("QTX Test")));
    // A configured module file that others could change is not loaded. The
    // page learns which modules were tried and what they answered (no path, no
    // token data), and so does the log.
    const QString oOpen = m_work.filePath(QStringLiteral("fake-open.so"));
    QVERIFY(QFile::copy(QStringLiteral(QTX_FAKE_PKCS11), oOpen));
    QVERIFY(::chmod(QFile::encodeName(oOpen).constData(), 0775) == 0);
    m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), oOpen);
    startServer({}, m_hookDir);
    m_server.setEnvironmentValue(QStringLiteral("QTX_PKCS11_MODULE"), QString());
    const QJsonObject oNoToken = jsonOf(m_page.call("ListCertificates", QByteArray()));
    QCOMPARE(oNoToken[QStringLiteral("error")].toString(), QStringLiteral("NO_TOKEN"));
    QJsonObject oSoftHsm;
    for (const QJsonValue &oModule : oNoToken[QStringLiteral("modules")].toArray()) {
        if (oModule[QStringLiteral("module")].toString() == QLatin1String("libsofthsm2.so"))
            oSoftHsm = oModule.toObject();
    }
    QCOMPARE(oSoftHsm, (QJsonObject{{QStringLiteral("module"), QStringLiteral("libsofthsm2.so")},
                                    {QStringLiteral("source"), QStringLiteral("p11-kit")}, {QStringLiteral("loaded"), true},
                                    {QStringLiteral("initialize"), QStringLiteral("CKR_OK")}, {QStringLiteral("slots"), 1},
                                    {QStringLiteral("tokens"), 0}}));
    QCOMPARE(oNoToken[QStringLiteral("modules")].toArray().last().toObject(),
             (QJsonObject{{QStringLiteral("module"), QStringLiteral("fake-open.so")}, {QStringLiteral("source"), QStringLiteral("configured")},
                          {QStringLiteral("loaded"), false}, {QStringLiteral("initialize"), QString()}, {QStringLiteral("slots"), 0},
                          {QStringLiteral("tokens"), 0}, {QStringLiteral("problem"), QStringLiteral("refused: writable by group or others")}}));
    QTRY_VERIFY(m_server.logHas(QStringLiteral("Signer::ListCertificates :: No token present; PKCS#11 modules tried: ")));
    QVERIFY(m_server.logHas(QStringLiteral("fake-open.so (configured): not loaded, refused: writable by group or others")));
    QCOMPARE(errorOf(m_page.call("Sign", oBody)), QStringLiteral("NO_TOKEN"));

    QList<QByteArray> oShown;
    const HttpReply oPicked = m_page.dialogCall("SelectCertificate", QByteArray(),
                                         {{"picker", "pick:0", "Insert your card", [&] {
                                               importToken(QStringLiteral("QTX Spare"), "4321", QStringLiteral("P-384"));
                                               QVERIFY(!m_page.waitDialog("picker", "item0=Signer P-384").isEmpty());
                                           }}},
                                         &oShown);
    QCOMPARE(jsonOf(oPicked)[QStringLiteral("subjectCommonName")].toString(), QStringLiteral("Signer P-384"));
    QVERIFY(!oShown.value(0).contains("item0="));
    // A user who gives up waiting for a card: NO_TOKEN, not only CANCELLED.
    deleteSpare();
    QCOMPARE(errorOf(m_page.dialogCall("SelectCertificate", QByteArray(), {{"picker", "cancel", "Insert your card"}})),
             QStringLiteral("NO_TOKEN"));
}

// A dialog left alone is cancelled after the configured time.
void TestSigner::dialogTimesOut()
{
    startServer({}, m_hookDir, "dialogTimeoutSeconds=5\nconfirmDelayMs=300\n");
    const QByteArray oSession = m_page.openSession();
    const QByteArray oCmdId = m_page.nextCmdId();
    QCOMPARE(m_page.submit(oSession, "SelectCertificate", QByteArray(), oCmdId).status, 202);
    QVERIFY(!m_page.waitDialog("picker", "cancelled in 0:04").isEmpty());
    const QJsonObject oError = jsonOf(m_page.result(oSession, oCmdId));
    QCOMPARE(oError[QStringLiteral("error")].toString(), QStringLiteral("CANCELLED"));
    QCOMPARE(oError[QStringLiteral("reason")].toString(), QStringLiteral("timeout"));
    QVERIFY(readFile(m_server.storePath(QStringLiteral("signer/receipts.log"))).endsWith("outcome=\"timeout\"\n"));
    startServer({}, m_hookDir);
}

// On a real X display (Xvfb), keys from xdotool: Escape cancels; a PIN typed
// and Enter pressed at once do not sign before the button's delay, Enter
// pressed afterwards does; the dialogs in German; screenshots for the docs
// when QTX_SIGNER_SCREENSHOTS names a folder (needs ImageMagick's import).
void TestSigner::realDisplay()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("Xvfb or xdotool is missing: apt-get install xvfb xdotool");
    // Xvfb picks a free display and names it on its output once it accepts
    // connections: no race with another X server starting or closing.
    // -noreset: the server killed below is the display's last client, and a
    // reset then would race the next server's connection.
    QProcess oXvfb;
    oXvfb.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    oXvfb.start(QStringLiteral("Xvfb"), words("-displayfd 1 -noreset -nolisten tcp -screen 0 1024x768x24"));
    QVERIFY(oXvfb.waitForStarted());
    if (!QTest::qWaitFor([&oXvfb] { return oXvfb.canReadLine() || oXvfb.state() != QProcess::Running; }, 10000)
        || !oXvfb.canReadLine())
        QSKIP("Xvfb did not start");
    const QString oDisplay = QStringLiteral(":%1").arg(QString::fromLatin1(oXvfb.readLine().trimmed()));
    QProcessEnvironment oX = QProcessEnvironment::systemEnvironment();
    oX.insert(QStringLiteral("DISPLAY"), oDisplay);
    m_server.setEnvironmentValue(QStringLiteral("DISPLAY"), oDisplay);
    m_server.setEnvironmentValue(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // The later cases run on the offscreen server again, also when this one fails.
    const auto oRestore = qScopeGuard([&] {
        m_server.setEnvironmentValue(QStringLiteral("DISPLAY"), QString());
        m_server.setEnvironmentValue(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_server.setEnvironmentValue(QStringLiteral("LANGUAGE"), QString());
        startServer({}, m_hookDir);
        oXvfb.terminate();
        oXvfb.waitForFinished(5000);
    });
    // The default delay; the hook only reports what is shown here, keys come from xdotool.
    startServer({}, m_hookDir, "confirmDelayMs=1000\n");
    const QString oScreens = qEnvironmentVariable("QTX_SIGNER_SCREENSHOTS");
    // The dialog's window, once it is on the display.
    const auto window = [&](const QByteArray &v_oTitle) {
        Run oWindow;
        for (int i = 0; i < 100 && oWindow.output.trimmed().isEmpty(); ++i) {
            QTest::qWait(100);
            // By the end of the title: the server may put the origin ahead of it.
            oWindow = run(QStringLiteral("xdotool"), words("search --onlyvisible --name %1", {QString::fromUtf8(v_oTitle + "$")}), oX);
        }
        return QString::fromLatin1(oWindow.output.trimmed().split('\n').first());
    };
    const auto screenshot = [&](const QByteArray &v_oTitle, const QString &v_oName) {
        if (!oScreens.isEmpty())
            run(QStringLiteral("import"), {QStringLiteral("-window"), window(v_oTitle), oScreens + QLatin1Char('/') + v_oName}, oX);
    };
    const auto keys = [&](const QByteArray &v_oTitle, const QStringList &v_oKeys) {
        const QString oId = window(v_oTitle);
        QVERIFY2(!oId.isEmpty(), "no dialog window on the display");
        // A window just mapped may not take the focus yet: a few tries, bounded.
        Run oKeys;
        for (int i = 0; i < 20 && oKeys.code != 0; ++i) {
            if (i > 0)
                QTest::qWait(200);
            oKeys = run(QStringLiteral("xdotool"), words("windowfocus --sync %1 key --delay 40", {oId}) + v_oKeys, oX);
        }
        QVERIFY2(oKeys.code == 0, oKeys.output.constData());
    };
    const auto started = [&](const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody) {
        const QByteArray oCmdId = m_page.nextCmdId();
        return m_page.submit(v_oSession, v_oCommand, v_oBody, oCmdId).status == 202 ? oCmdId : QByteArray();
    };

    // The picker by keyboard: the first certificate.
    QByteArray oSession = m_page.openSession();
    QByteArray oCmdId = started(oSession, "SelectCertificate", QByteArray());
    QVERIFY(!m_page.waitDialog("picker", "item0=").isEmpty());
    QTest::qWait(1200);
    screenshot("Choose a certificate for signing", QStringLiteral("picker-en.png"));
    keys("Choose a certificate for signing", words("Home space Return"));
    const QJsonObject oPicked = jsonOf(m_page.result(oSession, oCmdId));
    QCOMPARE(oPicked[QStringLiteral("subjectCommonName")].toString(), QStringLiteral("Signer P-384"));
    const QByteArray oBody = signForm(oPicked[QStringLiteral("id")].toString().toLatin1(), "on screen", "SHA-384", "ECDSA")
                             + "&documentName="
                             + QUrl::toPercentEncoding(QStringLiteral("invoice_\u202efdp.exe\nThe page https://bank.example asks for your signature."));
    // Escape cancels.
    oCmdId = started(oSession, "Sign", oBody);
    keys("Signature request", words("Escape"));
    QCOMPARE(errorOf(m_page.result(oSession, oCmdId)), QStringLiteral("CANCELLED"));
    // PIN and Enter at once: the button is not enabled yet, the dialog stays.
    oCmdId = started(oSession, "Sign", oBody);
    keys("Signature request", words("4 3 2 1 Return"));
    QTest::qWait(1500);
    QCOMPARE(m_page.post("/GET_RESULT", QByteArray(), {"X-QTX-sessionId: " + oSession, "X-QTX-cmdId: " + oCmdId}).status, 202);
    screenshot("Signature request", QStringLiteral("consent-en.png"));
    keys("Signature request", words("Return"));
    const HttpReply oSigned = m_page.result(oSession, oCmdId);
    QVERIFY2(oSigned.body.contains("\"signature\""), oSigned.body.constData());

    // In the system's language.
    QVERIFY2(oXvfb.state() == QProcess::Running, qPrintable(QStringLiteral("Xvfb ended with exit code %1").arg(oXvfb.exitCode())));
    m_server.setEnvironmentValue(QStringLiteral("LANGUAGE"), QStringLiteral("de"));
    startServer({}, m_hookDir, "confirmDelayMs=1000\n");
    oSession = m_page.openSession();
    oCmdId = started(oSession, "Sign", oBody);
    QVERIFY(m_page.waitDialog("consent").contains("Signaturanfrage\nEine Website bittet um Ihre Signatur:\n"));
    QTest::qWait(1200);
    screenshot("Signaturanfrage", QStringLiteral("consent-de.png"));
    keys("Signaturanfrage", words("Escape"));
    QCOMPARE(errorOf(m_page.result(oSession, oCmdId)), QStringLiteral("CANCELLED"));
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
    QCOMPARE(errorOf(m_page.call("Sign", signForm(QByteArray(40, 'a'), "x"))), QStringLiteral("NO_DISPLAY"));
    QCOMPARE(errorOf(m_page.call("SelectCertificate", QByteArray())), QStringLiteral("NO_DISPLAY"));
    QCOMPARE(errorOf(m_page.call("Authenticate", "nonce=" + QByteArray(44, 'n'))), QStringLiteral("NO_DISPLAY"));
    QVERIFY(::chmod(QFile::encodeName(m_hookDir).constData(), 0700) == 0);
}

// After the picker and the consent dialog, with the session closed (the
// module unloaded), SIGINT ends the server cleanly.
void TestSigner::cleanStopAfterDialogs()
{
    startServer({}, m_hookDir);
    const QByteArray oSession = m_page.openSession();
    QVERIFY(!m_page.dialogCall("SelectCertificate", QByteArray(), {{"picker", "pick:0"}}, nullptr, kOrigin, oSession).body.startsWith("500|"));
    QCOMPARE(errorOf(m_page.dialogCall("Sign", signForm(certId(QStringLiteral("Signer P-384")), "x", "SHA-256", "ECDSA"),
                                  {{"consent", "pin:0000"}}, nullptr, kOrigin, oSession)),
             QStringLiteral("PIN_INCORRECT"));
    QCOMPARE(m_page.post("/CLOSE_SESSION", QByteArray(), {"X-QTX-sessionId: " + oSession}).status, 200);
    QTest::qWait(1000); // the module is unloaded on the main thread, queued
    ::kill(static_cast<pid_t>(m_server.process().processId()), SIGINT);
    QVERIFY(m_server.process().waitForFinished(20000));
    QCOMPARE(m_server.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server.process().exitCode(), 0);
    const QString oLog = QString::fromUtf8(readFile(m_server.logFilePath()));
    QVERIFY2(!oLog.contains(QStringLiteral(" CRIT ")), qPrintable(oLog.right(2000)));
}

// The server refuses modules to root clients, so as root the suite runs itself
// again as an ordinary test account (created when missing).
int main(int argc, char *argv[])
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxsigner");
    if (iRerun >= 0)
        return iRerun;
    QCoreApplication oApp(argc, argv);
    TestSigner oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_signer.moc"
