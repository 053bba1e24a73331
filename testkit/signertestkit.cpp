#include "signertestkit.h"

#include "filesupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <QtTest>

namespace stk {

const QByteArray kOrigin = "https://shop.example";
const QByteArray KeyFolder::kLeaf = "keyUsage=critical,digitalSignature,nonRepudiation\nbasicConstraints=CA:FALSE\n";
const QByteArray KeyFolder::kLogIn =
    "keyUsage=critical,digitalSignature,keyAgreement\nextendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n";

namespace {

// Runs the steps in turn; the first failing one's command line and output in *v_poError.
bool steps(const QList<QStringList> &v_oSteps, const QProcessEnvironment &v_oEnv, QByteArray *v_poError)
{
    for (const QStringList &oStep : v_oSteps) {
        const Run oRun = run(oStep.first(), oStep.mid(1), v_oEnv);
        if (!oRun.ok()) {
            if (v_poError)
                *v_poError = oStep.join(QLatin1Char(' ')).toUtf8() + ": " + oRun.output;
            return false;
        }
    }
    return true;
}

} // namespace

QString softHsmModule()
{
    return QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
}

QString missingTools(const QStringList &v_oPrograms, const char *v_pPackages)
{
    for (const QString &oProgram : v_oPrograms) {
        if (QStandardPaths::findExecutable(oProgram).isEmpty())
            return oProgram + QStringLiteral(" is missing: apt-get install ") + QLatin1String(v_pPackages);
    }
    if (!QFile::exists(softHsmModule()))
        return QStringLiteral("SoftHSM2's PKCS#11 module is missing: apt-get install softhsm2");
    return QString();
}

QByteArray formBody(const Fields &v_oFields)
{
    QByteArray oBody;
    for (const auto &oField : v_oFields)
        oBody += (oBody.isEmpty() ? "" : "&") + oField.first + '=' + QUrl::toPercentEncoding(QString::fromUtf8(oField.second));
    return oBody;
}

QByteArray multipartBody(const Fields &v_oFields, const Fields &v_oFiles, const char *v_pPart)
{
    QByteArray oBody;
    for (const auto &oField : v_oFields)
        oBody += "--XyZ\r\nContent-Disposition: form-data; name=\"" + oField.first + "\"\r\n\r\n" + oField.second + "\r\n";
    for (int i = 0; i < v_oFiles.size(); ++i)
        oBody += "--XyZ\r\nContent-Disposition: form-data; name=\""
                 + (v_pPart ? QByteArray(v_pPart) : "document." + QByteArray::number(i)) + "\"; filename=\""
                 + v_oFiles[i].first + "\"\r\nContent-Type: application/pdf\r\n\r\n" + v_oFiles[i].second + "\r\n";
    return oBody + "--XyZ--\r\n";
}

QJsonObject jsonOf(const HttpReply &v_oReply)
{
    return QJsonDocument::fromJson(v_oReply.body.startsWith("500|") ? v_oReply.body.mid(4) : v_oReply.body).object();
}

QString errorOf(const HttpReply &v_oReply)
{
    return v_oReply.body.startsWith("500|") ? jsonOf(v_oReply)[QStringLiteral("error")].toString() : QString();
}

bool KeyFolder::makeCa(const QString &v_oSubject, QByteArray *v_poError)
{
    return steps({words(QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -keyout %1 -out %2 -subj %3 -days 30"),
                        {file(QStringLiteral("ca.key")), file(QStringLiteral("ca.pem")), v_oSubject})},
                 {}, v_poError);
}

bool KeyFolder::issue(const QString &v_oName, const QStringList &v_oKeyOptions, const QString &v_oSubject,
                      QByteArray *v_poError, const QByteArray &v_oExtensions)
{
    const QString oBase = file(v_oName);
    if (!tst::writeFile(oBase + QStringLiteral(".ext"), v_oExtensions.isEmpty() ? kLeaf : v_oExtensions))
        return false;
    const QStringList oArgs = {oBase, file(QStringLiteral("ca")), v_oSubject};
    return steps({words(QStringLiteral("openssl req -new -utf8 -nodes -keyout %1.key -out %1.csr -subj %3"), oArgs)
                      + v_oKeyOptions,
                  words(QStringLiteral("openssl x509 -req -in %1.csr -CA %2.pem -CAkey %2.key -CAcreateserial -days 30 "
                                       "-extfile %1.ext -out %1.pem"),
                        oArgs)},
                 {}, v_poError)
           && derive(v_oName, v_poError);
}

bool KeyFolder::derive(const QString &v_oName, QByteArray *v_poError)
{
    const QStringList oArgs = {file(v_oName)};
    return steps({words(QStringLiteral("openssl x509 -in %1.pem -outform DER -out %1.der"), oArgs),
                  words(QStringLiteral("openssl pkcs8 -topk8 -nocrypt -in %1.key -out %1.p8"), oArgs),
                  words(QStringLiteral("openssl pkcs8 -topk8 -nocrypt -in %1.key -outform DER -out %1.p8.der"), oArgs),
                  words(QStringLiteral("openssl x509 -in %1.pem -pubkey -noout -out %1.pub"), oArgs)},
                 {}, v_poError);
}

SoftHsm::SoftHsm(const QString &v_oFolder)
    : m_conf(v_oFolder + QStringLiteral("/softhsm2.conf")), m_env(QProcessEnvironment::systemEnvironment())
{
    const QString oTokens = v_oFolder + QStringLiteral("/tokens");
    m_valid = QDir().mkpath(oTokens)
              && tst::writeFile(m_conf, "directories.tokendir = " + QFile::encodeName(oTokens)
                                      + "\nobjectstore.backend = file\nlog.level = ERROR\n");
    m_env.insert(QStringLiteral("SOFTHSM2_CONF"), m_conf);
}

bool SoftHsm::initToken(const QString &v_oLabel, const QString &v_oPin, QByteArray *v_poError) const
{
    return steps({words(QStringLiteral("softhsm2-util --init-token --free --label %1 --so-pin 12345678 --pin %2"),
                        {v_oLabel, v_oPin})},
                 m_env, v_poError);
}

bool SoftHsm::importKey(const QString &v_oToken, const QString &v_oPin, const KeyFolder &v_oKeys, const QString &v_oName,
                        const QString &v_oId, bool v_bAlwaysAuthenticate, QByteArray *v_poError,
                        const QString &v_oLabel) const
{
    const QStringList oArgs = {v_oKeys.file(v_oName), v_oToken, v_oPin, v_oId,
                               v_oLabel.isEmpty() ? v_oName : v_oLabel, softHsmModule()};
    // pkcs11-tool can mark a key CKA_ALWAYS_AUTHENTICATE; softhsm2-util cannot.
    const QStringList oKey =
        v_bAlwaysAuthenticate
            ? words(QStringLiteral("pkcs11-tool --module %6 --token-label %2 --login --pin %3 --write-object %1.p8.der "
                                   "--type privkey --id %4 --label %5 --always-auth"),
                    oArgs)
            : words(QStringLiteral("softhsm2-util --import %1.p8 --token %2 --label %5 --id %4 --pin %3"), oArgs);
    return steps({oKey, words(QStringLiteral("pkcs11-tool --module %6 --token-label %2 --login --pin %3 --write-object "
                                             "%1.der --type cert --id %4 --label %5"),
                              oArgs)},
                 m_env, v_poError);
}

bool SoftHsm::deleteToken(const QString &v_oLabel) const
{
    return run(QStringLiteral("softhsm2-util"), {QStringLiteral("--delete-token"), QStringLiteral("--token"), v_oLabel}, m_env)
        .ok();
}

bool SignerPage::makeHook(const QString &v_oFolder)
{
    m_hook = v_oFolder + QStringLiteral("/hook");
    return QDir().mkpath(m_hook) && QFile::setPermissions(m_hook, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool SignerPage::install(ServerFixture &v_oServer, const QByteArray &v_oSigning, bool v_bPdfHelper)
{
    // Root's instance listens on the configured port, any other account's on the next one.
    const int iBase = ServerFixture::freeBase(2);
    m_ini = "[listener]\nport=" + QByteArray::number(iBase)
            + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
              "[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n[signing]\n";
    if (iBase <= 0 || !v_oServer.installSigner(ini(v_oSigning), v_bPdfHelper))
        return false;
    connectTo(quint16(ServerFixture::isRoot() ? iBase : iBase + 1), v_oServer.authority());
    v_oServer.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), m_hook);
    return m_ca.size() == 1;
}

bool SignerPage::start(ServerFixture &v_oServer, const QStringList &v_oArguments) const
{
    v_oServer.start(v_oArguments);
    return v_oServer.waitListening(m_port);
}

HttpReply SignerPage::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders) const
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

HttpReply SignerPage::exchange(const QByteArray &v_oRequest) const
{
    return HttpsClient(m_port, m_ca).exchange(v_oRequest, 60000);
}

QByteArray SignerPage::openSession() const
{
    const HttpReply oReply = post("/OPEN_SESSION", QByteArray(), {});
    return oReply.status == 200 ? oReply.body : QByteArray();
}

QList<QByteArray> SignerPage::headers(const QByteArray &v_oSession, const QByteArray &v_oCmdId, const QByteArray &v_oOrigin)
{
    QList<QByteArray> oHeaders = {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId};
    if (!v_oOrigin.isEmpty())
        oHeaders << "Origin: " + v_oOrigin;
    return oHeaders;
}

QByteArray SignerPage::request(const QByteArray &v_oPath, const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                               const QByteArray &v_oType, const QByteArray &v_oBody)
{
    QByteArray oRequest = "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const QByteArray &oHeader : headers(v_oSession, v_oCmdId))
        oRequest += oHeader + "\r\n";
    return oRequest + "Content-Type: " + v_oType + "\r\nContent-Length: " + QByteArray::number(v_oBody.size())
           + "\r\n\r\n" + v_oBody;
}

HttpReply SignerPage::submit(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                             const QByteArray &v_oCmdId, const QByteArray &v_oOrigin) const
{
    return post("/Signer/" + v_oCommand, v_oBody, headers(v_oSession, v_oCmdId, v_oOrigin));
}

HttpReply SignerPage::result(const QByteArray &v_oSession, const QByteArray &v_oCmdId, bool v_bOnce) const
{
    HttpReply oReply;
    for (int i = 0; i < 1200; ++i) {
        oReply = post("/GET_RESULT", QByteArray(), headers(v_oSession, v_oCmdId, QByteArray()));
        if (oReply.status != 202 || v_bOnce)
            break;
        QTest::qWait(50);
    }
    return oReply;
}

HttpReply SignerPage::call(const QByteArray &v_oCommand, const QByteArray &v_oBody, const QByteArray &v_oOrigin)
{
    const QByteArray oSession = openSession();
    const QByteArray oCmdId = nextCmdId();
    const HttpReply oAccepted = submit(oSession, v_oCommand, v_oBody, oCmdId, v_oOrigin);
    return oAccepted.status == 202 ? result(oSession, oCmdId) : oAccepted;
}

HttpReply SignerPage::dialogCall(const QByteArray &v_oCommand, const QByteArray &v_oBody, const QList<Answer> &v_oAnswers,
                                 QList<QByteArray> *v_poShown, const QByteArray &v_oOrigin, const QByteArray &v_oSession)
{
    const QByteArray oSession = v_oSession.isEmpty() ? openSession() : v_oSession;
    const QByteArray oCmdId = nextCmdId();
    return answered(submit(oSession, v_oCommand, v_oBody, oCmdId, v_oOrigin), oSession, oCmdId, v_oAnswers, v_poShown);
}

HttpReply SignerPage::answered(const HttpReply &v_oAccepted, const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                               const QList<Answer> &v_oAnswers, QList<QByteArray> *v_poShown)
{
    if (v_oAccepted.status != 202)
        return v_oAccepted;
    for (const Answer &oAnswer : v_oAnswers) {
        const QByteArray oShown = waitDialog(oAnswer.kind, oAnswer.waitFor);
        if (oShown.isEmpty())
            return HttpReply{0, "no dialog", {}, oAnswer.kind, {}};
        if (v_poShown)
            *v_poShown << oShown;
        if (oAnswer.whileOpen)
            oAnswer.whileOpen();
        answer(oAnswer.text);
    }
    return result(v_oSession, v_oCmdId);
}

QByteArray SignerPage::waitDialog(const QByteArray &v_oKind, const QByteArray &v_oNeedle) const
{
    const QString oPath = m_hook + QStringLiteral("/dialog.txt");
    for (int i = 0; i < 400; ++i) {
        const QByteArray oShown = tst::readFile(oPath);
        if (oShown.startsWith("dialog=" + v_oKind + '\n') && oShown.contains(v_oNeedle))
            return oShown;
        QTest::qWait(50);
    }
    qWarning("no %s dialog showing \"%s\"; last: %s", v_oKind.constData(), v_oNeedle.constData(), tst::readFile(oPath).constData());
    return QByteArray();
}

bool SignerPage::answer(const QByteArray &v_oAnswer) const
{
    // Renamed into place: the hook never reads half an answer.
    return tst::writeFile(m_hook + QStringLiteral("/answer.new"), v_oAnswer)
           && QFile::rename(m_hook + QStringLiteral("/answer.new"), m_hook + QStringLiteral("/answer"));
}

bool SignerPage::dialogShown() const
{
    return QFile::exists(m_hook + QStringLiteral("/dialog.txt"));
}

void SignerPage::forgetDialog() const
{
    QFile::remove(m_hook + QStringLiteral("/dialog.txt"));
}

QStringList dialogItems(const QByteArray &v_oShown)
{
    static const QRegularExpression kItem(QStringLiteral("^item[0-9]+="));
    QStringList oItems;
    for (const QByteArray &oLine : v_oShown.split('\n')) {
        if (kItem.match(QString::fromUtf8(oLine)).hasMatch())
            oItems << QString::fromUtf8(oLine.mid(oLine.indexOf('=') + 1));
    }
    return oItems;
}

PdfSigReport pdfsig(const QString &v_oPdf)
{
    PdfSigReport oReport;
    oReport.text = run(QStringLiteral("pdfsig"), {QStringLiteral("-nocert"), QStringLiteral("-no-ocsp"), v_oPdf}).output;
    static const QRegularExpression kRange(QStringLiteral("\\[(\\d+) - (\\d+)\\]"));
    for (const QByteArray &oLine : oReport.text.split('\n')) {
        if (oLine.startsWith("Signature #"))
            oReport.signatures.append(PdfSignature());
        if (oReport.signatures.isEmpty())
            continue;
        PdfSignature &oSig = oReport.signatures.last();
        oSig.valid = oSig.valid || oLine.contains("Signature Validation: Signature is Valid.");
        oSig.wholeDocument = oSig.wholeDocument || oLine.contains("- Total document signed");
        if (oLine.contains("Signature Type: "))
            oSig.subFilter = oLine.mid(oLine.indexOf("Type: ") + 6).trimmed();
        if (oLine.contains("Signed Ranges: ")) {
            for (auto it = kRange.globalMatch(QString::fromLatin1(oLine)); it.hasNext();) {
                const auto oMatch = it.next();
                oSig.ranges.append({oMatch.captured(1).toLongLong(), oMatch.captured(2).toLongLong()});
            }
        }
    }
    return oReport;
}

QList<QByteArray> dumpedSignatures(const QString &v_oPdf, const QString &v_oFolder)
{
    QDir oDir(v_oFolder);
    for (const QString &oOld : oDir.entryList({QStringLiteral("*.sig*")}, QDir::Files))
        oDir.remove(oOld);
    run(QStringLiteral("pdfsig"), {QStringLiteral("-nocert"), QStringLiteral("-no-ocsp"), QStringLiteral("-dump"), v_oPdf}, {},
        v_oFolder);
    QList<QByteArray> oBlobs;
    for (int i = 0;; ++i) {
        const QStringList oFiles = oDir.entryList({QStringLiteral("*.sig%1").arg(i)}, QDir::Files);
        if (oFiles.isEmpty())
            break;
        oBlobs += tst::readFile(oDir.filePath(oFiles.first()));
    }
    return oBlobs;
}

QByteArray signedBytes(const QByteArray &v_oPdf, const PdfSignature &v_oSignature)
{
    QByteArray oContent;
    for (const auto &oRange : v_oSignature.ranges)
        oContent += v_oPdf.mid(int(oRange.first), int(oRange.second - oRange.first));
    return oContent;
}

QList<QByteArray> dssStreams(const QString &v_oPdf, const char *v_pKey)
{
    const Run oJson = tool(QStringLiteral("qpdf --json=2 --json-key=qpdf --json-stream-data=inline %1"), {v_oPdf});
    const QJsonObject oObjects =
        QJsonDocument::fromJson(oJson.output).object()[QStringLiteral("qpdf")].toArray().at(1).toObject();
    const auto object = [&](const QString &v_oRef) { return oObjects[QStringLiteral("obj:") + v_oRef].toObject(); };
    const QString oRoot =
        oObjects[QStringLiteral("trailer")].toObject()[QStringLiteral("value")].toObject()[QStringLiteral("/Root")].toString();
    const QJsonObject oDss = object(oRoot)[QStringLiteral("value")].toObject()[QStringLiteral("/DSS")].toObject();
    QList<QByteArray> oData;
    for (const QJsonValue oRef : oDss[QLatin1String(v_pKey)].toArray())
        oData += QByteArray::fromBase64(
            object(oRef.toString())[QStringLiteral("stream")].toObject()[QStringLiteral("data")].toString().toLatin1());
    return oData;
}

bool cmsVerifies(const QByteArray &v_oCms, const QByteArray &v_oContent, const QString &v_oCaFile, const QString &v_oFolder,
                 QByteArray *v_poOutput, bool v_bCrlCheck)
{
    const QString oCms = v_oFolder + QStringLiteral("/check.p7s");
    const QString oContent = v_oFolder + QStringLiteral("/check.content");
    if (!tst::writeFile(oCms, v_oCms) || !tst::writeFile(oContent, v_oContent))
        return false;
    QStringList oArgs = words(QStringLiteral("cms -verify -binary -inform DER -in %1 -content %2 -CAfile %3 -purpose any "
                                             "-out /dev/null"),
                              {oCms, oContent, v_oCaFile});
    if (v_bCrlCheck)
        oArgs << QStringLiteral("-crl_check_all");
    const Run oRun = run(QStringLiteral("openssl"), oArgs);
    if (v_poOutput)
        *v_poOutput = oRun.output;
    return oRun.ok() && oRun.output.contains("Verification successful");
}

bool timestampVerifies(const QByteArray &v_oCms, const QString &v_oRoot, const QString &v_oIntermediates,
                       const QString &v_oFolder, QByteArray *v_poOutput)
{
    const QString oCms = v_oFolder + QStringLiteral("/ts.p7s");
    const QString oToken = v_oFolder + QStringLiteral("/token.der");
    if (!tst::writeFile(oCms, v_oCms))
        return false;
    // The token is the unsigned attribute's value; the signature value is the
    // OCTET STRING just before the unsigned attributes.
    const Run oParse = tool(QStringLiteral("openssl asn1parse -inform DER -in %1"), {oCms});
    const QList<QByteArray> oLines = oParse.output.split('\n');
    static const QRegularExpression kElement(QStringLiteral("^\\s*(\\d+):d=\\d+\\s+hl=(\\d+) l=\\s*(\\d+)"));
    QByteArray oTokenDer, oSignature;
    for (int i = 0; i + 2 < oLines.size() && oTokenDer.isEmpty(); ++i) {
        if (!oLines[i].contains("id-smime-aa-timeStampToken"))
            continue;
        const auto oMatch = kElement.match(QString::fromLatin1(oLines[i + 2]));
        if (oMatch.hasMatch())
            oTokenDer = v_oCms.mid(oMatch.captured(1).toInt(), oMatch.captured(2).toInt() + oMatch.captured(3).toInt());
        for (int j = i; j >= 0 && oSignature.isEmpty(); --j) {
            if (oLines[j].contains("OCTET STRING") && oLines[j].contains("[HEX DUMP]"))
                oSignature = QByteArray::fromHex(oLines[j].mid(oLines[j].indexOf("[HEX DUMP]:") + 11).trimmed());
        }
    }
    if (oTokenDer.isEmpty() || oSignature.isEmpty() || !tst::writeFile(oToken, oTokenDer)) {
        if (v_poOutput)
            *v_poOutput = "no timestamp token or signature value: " + oParse.output.left(4000);
        return false;
    }
    const Run oTs = tool(QStringLiteral("openssl ts -verify -token_in -in %1 -digest %2 -CAfile %3 -untrusted %4"),
                         {oToken, QString::fromLatin1(QCryptographicHash::hash(oSignature, QCryptographicHash::Sha256).toHex()),
                          v_oRoot, v_oIntermediates});
    if (v_poOutput)
        *v_poOutput = oTs.output;
    return oTs.ok() && oTs.output.contains("Verification: OK");
}

bool ocspGood(const QByteArray &v_oResponse, const QString &v_oRoot, const QString &v_oIssuer, const QString &v_oCert,
              const QString &v_oFolder)
{
    const QString oFile = v_oFolder + QStringLiteral("/response.der");
    if (!tst::writeFile(oFile, v_oResponse))
        return false;
    const Run oOcsp = tool(QStringLiteral("openssl ocsp -respin %1 -no_nonce -CAfile %2 -verify_other %3 -issuer %3 -cert %4"),
                           {oFile, v_oRoot, v_oIssuer, v_oCert});
    return oOcsp.ok() && oOcsp.output.contains("Response verify OK") && oOcsp.output.contains(": good");
}

} // namespace stk
