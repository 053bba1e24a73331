// Signer: lists the certificates with private keys on the PKCS#11 tokens
// present (smart cards through OpenSC, SoftHSM, any module p11-kit knows) and
// signs a digest the page computed, as a raw signature or a detached CMS
// (CAdES baseline-B). Every signature needs the user's consent and PIN in a
// dialog that names the requesting origin, the certificate and the document.
//
// Replies are JSON; failures are "500|{"error":CODE,"message":...}" with CODE
// one of BAD_REQUEST, UNSUPPORTED_ALGORITHM, BAD_DIGEST_LENGTH, NO_DISPLAY,
// NO_TOKEN, CERTIFICATE_NOT_FOUND, CANCELLED, PIN_INCORRECT (with "triesLeft"
// "low"/"final" when the token says so), PIN_LOCKED, TOKEN_REMOVED,
// TOKEN_ERROR, CMS_ERROR.
//
// No CanUnprivilegedRun export: other accounts never reach these functions.

#include "qtxmodule.h"

#include "cmsbuilder.h"
#include "consentdialog.h"
#include "pkcs11token.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QEventLoop>
#include <QThread>

#include <future>
#include <thread>

QTX_MODULE_COMMAND(ListCertificates);
QTX_MODULE_COMMAND(Sign);

// Sign is a GUI command (main thread, one dialog at a time) only when a dialog
// can be shown; otherwise it runs as an ordinary command and answers NO_DISPLAY
// at once instead of the server's generic refusal.
QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction)
{
    return v_poFunction == &Sign && consentPossible();
}

QTX_MODULE_EXPORT bool CanUseOnTerminalServices()
{
    return true;
}

namespace {

QByteArray json(const QJsonObject &v_oObject)
{
    return QJsonDocument(v_oObject).toJson(QJsonDocument::Compact);
}

QJsonObject tokenJson(const TokenInfo &v_oToken)
{
    QJsonObject oToken;
    oToken.insert(QStringLiteral("label"), v_oToken.label);
    oToken.insert(QStringLiteral("manufacturer"), v_oToken.manufacturer);
    oToken.insert(QStringLiteral("model"), v_oToken.model);
    oToken.insert(QStringLiteral("serialNumber"), v_oToken.serial);
    oToken.insert(QStringLiteral("protectedAuthenticationPath"),
                  (v_oToken.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0);
    oToken.insert(QStringLiteral("pinLocked"), (v_oToken.flags & CKF_USER_PIN_LOCKED) != 0);
    return oToken;
}

struct SignRequest
{
    QString certId;
    DigestAlgorithm digestAlgorithm = DigestAlgorithm::Sha256;
    QString digestName;
    SignatureScheme scheme = SignatureScheme::RsaPkcs1;
    QString schemeName;
    QByteArray digest;
    bool cms = false;
    QString documentName;
    QString origin;
};

SignRequest parseRequest(const tRequestMap &v_oRequest)
{
    SignRequest oSign;
    oSign.certId = QString::fromLatin1(v_oRequest.value("certId"));
    if (!QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(oSign.certId).hasMatch())
        throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("certId is not a certificate id of ListCertificates."));
    const QByteArray oDigestName = v_oRequest.value("digestAlgorithm");
    if (!parseDigestAlgorithm(oDigestName, &oSign.digestAlgorithm))
        throw SignerError("UNSUPPORTED_ALGORITHM",
                          QStringLiteral("digestAlgorithm must be SHA-256, SHA-384 or SHA-512."));
    oSign.digestName = QStringLiteral("SHA-%1").arg(digestLength(oSign.digestAlgorithm) * 8);
    const QByteArray oScheme = v_oRequest.value("signatureAlgorithm").toUpper();
    if (oScheme == "RSA-PKCS1" || oScheme == "RSASSA-PKCS1-V1_5")
        oSign.scheme = SignatureScheme::RsaPkcs1;
    else if (oScheme == "RSA-PSS")
        oSign.scheme = SignatureScheme::RsaPss;
    else if (oScheme == "ECDSA")
        oSign.scheme = SignatureScheme::Ecdsa;
    else
        throw SignerError("UNSUPPORTED_ALGORITHM",
                          QStringLiteral("signatureAlgorithm must be RSA-PKCS1, RSA-PSS or ECDSA."));
    oSign.schemeName = QString::fromLatin1(oScheme);
    const QByteArray oEncoded = v_oRequest.value("digest");
    const auto oDecoded = QByteArray::fromBase64Encoding(oEncoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!oDecoded)
        throw SignerError("BAD_REQUEST", QStringLiteral("digest is not base64."));
    oSign.digest = *oDecoded;
    if (oSign.digest.size() != digestLength(oSign.digestAlgorithm))
        throw SignerError("BAD_DIGEST_LENGTH", QStringLiteral("A %1 digest has %2 bytes, this one %3.")
                                                   .arg(oSign.digestName)
                                                   .arg(digestLength(oSign.digestAlgorithm))
                                                   .arg(oSign.digest.size()));
    const QByteArray oFormat = v_oRequest.value("format", "raw");
    if (oFormat != "raw" && oFormat != "cms")
        throw SignerError("BAD_REQUEST", QStringLiteral("format must be raw or cms."));
    oSign.cms = oFormat == "cms";
    oSign.documentName = QString::fromUtf8(v_oRequest.value("documentName")).left(200);
    // The Origin header is set by the browser, not by the page's script. Headers
    // and form parameters share the request map: a page that adds a parameter
    // "origin" makes two values, and is refused rather than believed.
    const QList<QByteArray> oOrigins = v_oRequest.values("origin");
    if (oOrigins.size() > 1)
        throw SignerError("BAD_REQUEST", QStringLiteral("The request names more than one origin."));
    oSign.origin = oOrigins.isEmpty() ? QString() : QString::fromUtf8(oOrigins.first()).left(200);
    return oSign;
}

// Checks that the key and the token can make this signature; returns the mechanism.
SignMechanism mechanismFor(const SignRequest &v_oSign, const CertificateFacts &v_oFacts)
{
    SignMechanism oMechanism;
    if (v_oSign.scheme == SignatureScheme::Ecdsa) {
        if (v_oFacts.keyType != QLatin1String("EC")
            || (v_oFacts.curve != QLatin1String("P-256") && v_oFacts.curve != QLatin1String("P-384")))
            throw SignerError("UNSUPPORTED_ALGORITHM",
                              QStringLiteral("ECDSA needs a P-256 or P-384 key; this one is %1 %2.")
                                  .arg(v_oFacts.keyType, v_oFacts.curve));
        oMechanism.type = CKM_ECDSA;
        return oMechanism;
    }
    if (v_oFacts.keyType != QLatin1String("RSA"))
        throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("%1 needs an RSA key; this one is %2.")
                                                       .arg(v_oSign.schemeName, v_oFacts.keyType));
    oMechanism.type = CKM_RSA_PKCS;
    if (v_oSign.scheme == SignatureScheme::RsaPss) {
        oMechanism.type = CKM_RSA_PKCS_PSS;
        oMechanism.usePss = true;
        const CK_MECHANISM_TYPE aHashes[] = {CKM_SHA256, CKM_SHA384, CKM_SHA512};
        const CK_RSA_PKCS_MGF_TYPE aMgfs[] = {CKG_MGF1_SHA256, CKG_MGF1_SHA384, CKG_MGF1_SHA512};
        const int iIndex = static_cast<int>(v_oSign.digestAlgorithm);
        oMechanism.pss.hashAlg = aHashes[iIndex];
        oMechanism.pss.mgf = aMgfs[iIndex];
        oMechanism.pss.sLen = static_cast<CK_ULONG>(digestLength(v_oSign.digestAlgorithm));
    }
    return oMechanism;
}

// Runs v_oWork on a thread of its own while the main thread's event loop goes
// on (a card reader may take seconds, a PIN pad until the user is done); its
// result or exception comes back here.
template <typename Work>
auto offMainThread(Work v_oWork) -> decltype(v_oWork())
{
    std::packaged_task<decltype(v_oWork())()> oTask(std::move(v_oWork));
    auto oFuture = oTask.get_future();
    QEventLoop oLoop;
    std::thread oThread([&oTask, &oLoop] {
        oTask();
        QMetaObject::invokeMethod(&oLoop, "quit", Qt::QueuedConnection);
    });
    oLoop.exec(QEventLoop::ExcludeUserInputEvents);
    oThread.join();
    return oFuture.get();
}

// What the token signs for a digest (or the hash of CMS signed attributes).
QByteArray tokenInput(const SignRequest &v_oSign, const QByteArray &v_oHash)
{
    return v_oSign.scheme == SignatureScheme::RsaPkcs1 ? digestInfo(v_oSign.digestAlgorithm, v_oHash) : v_oHash;
}

} // namespace

// {"tokens":[{label,manufacturer,model,serialNumber,...}],
//  "certificates":[{id,subject,issuer,serialNumber,notBefore,notAfter,key,keyUsage,certificate,tokenLabel}]}
QTX_MODULE_COMMAND(ListCertificates)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    Pkcs11Context oContext;
    QJsonArray oTokens;
    for (const TokenInfo &oToken : oContext.tokens())
        oTokens.append(tokenJson(oToken));
    QJsonArray oCertificates;
    for (const CertificateEntry &oEntry : oContext.certificates()) {
        const CertificateFacts oFacts = certificateFacts(oEntry.der);
        if (!oFacts.valid)
            continue;
        QJsonObject oCert = oFacts.json;
        oCert.insert(QStringLiteral("id"), oEntry.id);
        oCert.insert(QStringLiteral("certificate"), QString::fromLatin1(oEntry.der.toBase64()));
        oCert.insert(QStringLiteral("tokenLabel"), oEntry.token.label);
        oCert.insert(QStringLiteral("tokenSerialNumber"), oEntry.token.serial);
        oCertificates.append(oCert);
    }
    QJsonObject oReply;
    oReply.insert(QStringLiteral("tokens"), oTokens);
    oReply.insert(QStringLiteral("certificates"), oCertificates);
    return json(oReply);
}

// Request: certId, digest (base64), digestAlgorithm (SHA-256/384/512),
// signatureAlgorithm (RSA-PKCS1, RSA-PSS, ECDSA), optional format ("raw" or
// "cms") and documentName. Reply: {"signature":base64 (ECDSA: r||s),
// "certificate":base64 DER} or with format "cms" {"cms":base64 DER,
// "signedAttributes":base64 DER,"signature":its signature,"certificate":...}.
QTX_MODULE_COMMAND(Sign)
{
    Q_UNUSED(v_oSessionParams);
    const SignRequest oSign = parseRequest(v_oRequest);

    // The consent needs a person at a display. Without one this runs on a job
    // thread (see IsGuiFunction) and must not touch widgets.
    QCoreApplication *poApp = QCoreApplication::instance();
    if (!consentPossible() || !poApp || QThread::currentThread() != poApp->thread())
        throw SignerError("NO_DISPLAY", QStringLiteral("Signing needs the user's consent, and the server has no display "
                                                       "to ask on (started without DISPLAY/WAYLAND_DISPLAY or with -console)."));

    ConsentRequest oConsent;
    SignMechanism oMechanism;
    offMainThread([&] {
        Pkcs11Context oContext;
        const CertificateEntry oEntry = oContext.find(oSign.certId);
        const CertificateFacts oFacts = certificateFacts(oEntry.der);
        if (!oFacts.valid)
            throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("The certificate on the token cannot be read."));
        oMechanism = mechanismFor(oSign, oFacts);
        if (!oContext.supportsMechanism(oEntry, oMechanism.type))
            throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("The token cannot sign with %1.").arg(oSign.schemeName));
        const CK_FLAGS uiFlags = oContext.currentFlags(oEntry);
        if (uiFlags & CKF_USER_PIN_LOCKED)
            throw SignerError("PIN_LOCKED", QStringLiteral("The PIN is locked; unblock it with the PUK or the card's tool."));
        oConsent.origin = oSign.origin;
        oConsent.certificate = oFacts.subjectCommonName.isEmpty() ? oFacts.json.value(QStringLiteral("subject")).toString()
                                                                  : oFacts.subjectCommonName;
        oConsent.issuer = oFacts.json.value(QStringLiteral("issuer")).toString();
        oConsent.tokenLabel = oEntry.token.label;
        oConsent.documentName = oSign.documentName;
        oConsent.digestAlgorithm = oSign.digestName;
        oConsent.signatureAlgorithm = oSign.schemeName + (oSign.cms ? QStringLiteral(", CMS (CAdES-B)") : QString());
        oConsent.digest = oSign.digest;
        oConsent.protectedPath = (uiFlags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
        oConsent.pinCountLow = (uiFlags & CKF_USER_PIN_COUNT_LOW) != 0;
        oConsent.pinFinalTry = (uiFlags & CKF_USER_PIN_FINAL_TRY) != 0;
    }); // the modules are released while the dialog is open

    ConsentAnswer oAnswer = askConsent(oConsent);
    if (!oAnswer.accepted)
        throw SignerError("CANCELLED", QStringLiteral("The user did not consent to the signature."));

    try {
        QByteArray oResult = offMainThread([&] {
            Pkcs11Context oContext;
            CertificateEntry oEntry;
            try {
                oEntry = oContext.find(oSign.certId);
            } catch (const SignerError &) {
                throw SignerError("TOKEN_REMOVED", QStringLiteral("The token with the certificate was removed."));
            }
            const QByteArray *poPin = oConsent.protectedPath ? nullptr : &oAnswer.pin;
            QJsonObject oReply;
            oReply.insert(QStringLiteral("certificate"), QString::fromLatin1(oEntry.der.toBase64()));
            if (oSign.cms) {
                QByteArray oAttributes;
                QByteArray oSignature;
                const QByteArray oCms = buildDetachedCms(
                    oEntry.der, oSign.digestAlgorithm, oSign.scheme, oSign.digest, [&](const QByteArray &v_oAttributes) {
                        oAttributes = v_oAttributes;
                        oSignature = oContext.sign(oEntry, poPin, oMechanism,
                                                   tokenInput(oSign, hashBytes(oSign.digestAlgorithm, v_oAttributes)));
                        return oSignature;
        });
            oReply.insert(QStringLiteral("cms"), QString::fromLatin1(oCms.toBase64()));
            // What the signature covers, so a page can check it with WebCrypto
            // (which hashes the data itself) without parsing the CMS.
            oReply.insert(QStringLiteral("signedAttributes"), QString::fromLatin1(oAttributes.toBase64()));
            oReply.insert(QStringLiteral("signature"), QString::fromLatin1(oSignature.toBase64()));
        } else {
            const QByteArray oSignature = oContext.sign(oEntry, poPin, oMechanism, tokenInput(oSign, oSign.digest));
            oReply.insert(QStringLiteral("signature"), QString::fromLatin1(oSignature.toBase64()));
            if (oSign.scheme == SignatureScheme::Ecdsa)
                oReply.insert(QStringLiteral("signatureDer"), QString::fromLatin1(ecdsaRawToDer(oSignature).toBase64()));
        }
        return json(oReply);
        });
        wipe(&oAnswer.pin);
        return oResult;
    } catch (...) {
        wipe(&oAnswer.pin);
        throw;
    }
}
