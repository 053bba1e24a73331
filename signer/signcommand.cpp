#include "commands.h"

#include "cmsbuilder.h"
#include "signingconfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QThread>

using signer::SignKeyRequest;
using signer::tokenInput;

namespace {

struct SignRequest
{
    QString certId;
    DigestAlgorithm digestAlgorithm = DigestAlgorithm::Sha256;
    QString digestName;
    SignatureScheme scheme = SignatureScheme::RsaPkcs1;
    QString schemeName;
    QByteArray digest;
    bool cms = false;
    SignatureLevel level = SignatureLevel::BaselineB;
    QString documentName;
};

// The longest document name kept; the dialog shows at most 120 characters of
// it (elided in the middle), the receipt all of it.
constexpr int kMaxDocumentName = 1024;

SignRequest parseRequest(const tRequestMap &v_oRequest)
{
    SignRequest oSign;
    oSign.certId = signer::requestCertId(v_oRequest);
    const QByteArray oDigestName = v_oRequest.value("digestAlgorithm");
    if (!parseDigestAlgorithm(oDigestName, &oSign.digestAlgorithm))
        throw SignerError("UNSUPPORTED_ALGORITHM",
                          QStringLiteral("digestAlgorithm must be SHA-256, SHA-384 or SHA-512."));
    oSign.digestName = QStringLiteral("SHA-%1").arg(digestLength(oSign.digestAlgorithm) * 8);
    oSign.scheme = signer::requestScheme(v_oRequest, &oSign.schemeName);
    const auto oDecoded = QByteArray::fromBase64Encoding(v_oRequest.value("digest"), QByteArray::AbortOnBase64DecodingErrors);
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
    // A level is a property of a CMS; a raw signature has none.
    oSign.level = signer::requestLevel(v_oRequest);
    if (v_oRequest.contains("level") && !oSign.cms)
        throw SignerError("BAD_REQUEST", QStringLiteral("level needs format cms: a raw signature has no level."));
    oSign.documentName = QString::fromUtf8(v_oRequest.value("documentName")).left(kMaxDocumentName);
    return oSign;
}

// The scheme of a PDF signature: the key's own.
SignatureScheme keyScheme(const CertificateFacts &v_oFacts)
{
    if (v_oFacts.keyType == QLatin1String("EC")
        && (v_oFacts.curve == QLatin1String("P-256") || v_oFacts.curve == QLatin1String("P-384")))
        return SignatureScheme::Ecdsa;
    if (v_oFacts.keyType == QLatin1String("RSA"))
        return SignatureScheme::RsaPkcs1;
    throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("PDF signatures need an RSA or a P-256/P-384 key."));
}

// Checks that the key and the token can make this signature; returns the mechanism.
SignMechanism mechanismFor(const SignKeyRequest &v_oSign, const CertificateFacts &v_oFacts)
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


} // namespace

namespace signer {

QString requestCertId(const tRequestMap &v_oRequest)
{
    const QString oCertId = QString::fromLatin1(v_oRequest.value("certId"));
    if (!QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(oCertId).hasMatch())
    throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("certId is not a certificate id of this site."));
    return oCertId;
}

SignatureScheme requestScheme(const tRequestMap &v_oRequest, QString *v_poName)
{
    const QByteArray oScheme = v_oRequest.value("signatureAlgorithm").toUpper();
    *v_poName = QString::fromLatin1(oScheme);
    if (oScheme == "RSA-PKCS1" || oScheme == "RSASSA-PKCS1-V1_5")
        return SignatureScheme::RsaPkcs1;
    if (oScheme == "RSA-PSS")
        return SignatureScheme::RsaPss;
    if (oScheme == "ECDSA")
        return SignatureScheme::Ecdsa;
    throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("signatureAlgorithm must be RSA-PKCS1, RSA-PSS or ECDSA."));
}

QByteArray tokenInput(SignatureScheme v_eScheme, DigestAlgorithm v_eAlgorithm, const QByteArray &v_oHash)
{
    return v_eScheme == SignatureScheme::RsaPkcs1 ? digestInfo(v_eAlgorithm, v_oHash) : v_oHash;
}

SigningKey findSigningKey(const SignKeyRequest &v_oSign, const WebOrigin &v_oOrigin, SignerStore &v_oStore,
                          const char *v_pCommand)
{
    const WebOrigin &oOrigin = v_oOrigin;
    SignerStore &oStore = v_oStore;
    const SignKeyRequest &oSign = v_oSign;
    Pkcs11Context oContext;
    if (!oContext.anyToken())
        signer::throwNoToken(oContext, v_pCommand);
    CertificateEntry oEntry;
    try {
        const SiteIds oIds(oStore, oOrigin.text);
        for (const CertificateEntry &oCandidate : oContext.certificates()) {
            if (oIds.of(oCandidate.der) == oSign.certId)
                oEntry = oCandidate;
        }
    } catch (const StoreError &v_oError) {
        signer::throwStoreError(v_oError);
    }
    if (oEntry.der.isEmpty())
        throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("No present token has this site's certificate %1.")
                                                       .arg(oSign.certId));
    const CertificateFacts oFacts = certificateFacts(oEntry.der);
    if (!oFacts.valid)
        throw SignerError("CERTIFICATE_NOT_FOUND", QStringLiteral("The certificate on the token cannot be read."));
    // Authentication keys never sign a page's digest: a signature made
    // with one could pass as a log-in proof elsewhere.
    const Unfit eUnfit = unfitFor(certificateUse(oEntry.der), Purpose::Sign, QDateTime::currentDateTimeUtc());
    if (eUnfit != Unfit::None) {
        QJsonObject oReason;
        oReason.insert(QStringLiteral("reason"), unfitReason(eUnfit));
        throw SignerError("CERTIFICATE_NOT_USABLE",
                          QStringLiteral("This certificate is not for signing documents (%1).").arg(unfitReason(eUnfit)),
                          oReason);
    }
    SignKeyRequest oAsked = oSign;
    if (oSign.schemeFromKey) {
        oAsked.scheme = keyScheme(oFacts);
        oAsked.schemeName = oAsked.scheme == SignatureScheme::Ecdsa ? QStringLiteral("ECDSA") : QStringLiteral("RSA-PKCS1");
    }
    const SignMechanism oMechanism = mechanismFor(oAsked, oFacts);
    if (!oContext.supportsMechanism(oEntry, oMechanism.type))
        throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("The token cannot sign with %1.").arg(oAsked.schemeName));
    SigningKey oKey;
    oKey.flags = signer::unlockedFlags(oContext, oEntry);
    oKey.entry = oEntry;
    oKey.mechanism = oMechanism;
    oKey.scheme = oAsked.scheme;
    oKey.card = signer::cardOf(oEntry, Purpose::Sign);
    return oKey;
}

} // namespace signer

SignCommand::SignCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi) : m_oRequest(v_oRequest), m_oUi(v_oUi)
{
}

// Request: certId (the per-site id), digest (base64), digestAlgorithm
// (SHA-256/384/512), signatureAlgorithm (RSA-PKCS1, RSA-PSS, ECDSA), optional
// format ("raw" or "cms"), level (with "cms" only: B-B, B-T, B-LT) and
// documentName. Reply: {"signature":base64 (ECDSA: r||s), "certificate":base64
// DER} or with format "cms" {"cms":base64 DER, "signedAttributes":base64 DER,
// "signature":its signature,"certificate":...}, and "level" when one was asked.
QByteArray SignCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    const SignRequest oSign = parseRequest(m_oRequest);
    // Without a person at a display this runs on a job thread (see IsGuiFunction)
    // and must not touch widgets.
    QCoreApplication *poApp = QCoreApplication::instance();
    if (!m_oUi.available() || !poApp || QThread::currentThread() != poApp->thread())
        throw SignerError("NO_DISPLAY", QStringLiteral("Signing needs the user's consent, and the server has no display "
                                                       "to ask on (started without DISPLAY/WAYLAND_DISPLAY or with -console)."));

    SignerStore oStore;
    ConsentRequest oConsent;
    SignMechanism oMechanism;
    QByteArray oDer;
    SigningConfig oConfig;
    if (oSign.level != SignatureLevel::BaselineB) {
        oConfig = SigningConfig::fromServerIni();
        requireTimestampAuthority(oConfig); // before any dialog
    }
    signer::offMainThread([&] {
        const signer::SigningKey oKey =
            signer::findSigningKey({oSign.certId, oSign.scheme, oSign.schemeName, oSign.digestAlgorithm}, oOrigin, oStore,
                                   "Signer::Sign");
        oMechanism = oKey.mechanism;
        oDer = oKey.entry.der;
        oConsent.origin = oOrigin;
        oConsent.purpose = Purpose::Sign;
        oConsent.certificate = oKey.card;
        oConsent.documentName = oSign.documentName;
        oConsent.digestAlgorithm = oSign.digestName;
        oConsent.signatureAlgorithm =
            oSign.schemeName
            + (oSign.cms ? QStringLiteral(", CMS (CAdES-%1)").arg(signer::levelName(oSign.level).mid(2)) : QString());
        oConsent.digest = oSign.digest;
        signer::setPinFlags(oConsent, oKey.flags);
    }); // the modules are released while the dialog is open

    Receipt oReceipt = signer::signingReceipt(oConsent);

    ConsentAnswer oAnswer = m_oUi.askConsent(oConsent, [] { return signer::snapshot(Purpose::Sign); });
    signer::refuseUnlessAccepted(oAnswer, oStore, oReceipt, QStringLiteral("The user did not consent to the signature."));

    // Asked from the signing thread when the token refuses the PIN for the
    // key's own log-in: the dialog runs here, on the main thread.
    const PinAgain oAgain = signer::pinAgainOnMainThread(m_oUi, oConsent);
    return signer::signWithReceipt(oAnswer, oStore, oReceipt, QStringLiteral("signed"), [&] {
        Pkcs11Context oContext;
        const CertificateEntry oEntry = signer::entryOnToken(oContext, oDer);
        const SecretBuffer *poPin = oConsent.protectedPath ? nullptr : &oAnswer.pin;
        QJsonObject oReply;
        oReply.insert(QStringLiteral("certificate"), QString::fromLatin1(oEntry.der.toBase64()));
        if (oSign.cms) {
            QByteArray oAttributes;
            QByteArray oSignature;
            const SignFunction oTokenSign = [&](const QByteArray &v_oAttributes) {
                oAttributes = v_oAttributes;
                oSignature = oContext.sign(oEntry, poPin, oMechanism,
                                           tokenInput(oSign.scheme, oSign.digestAlgorithm, hashBytes(oSign.digestAlgorithm, v_oAttributes)), oAgain);
                return oSignature;
            };
            const QByteArray oCms =
                oSign.level == SignatureLevel::BaselineB
                    ? buildDetachedCms(oEntry.der, oSign.digestAlgorithm, oSign.scheme, oSign.digest, oTokenSign)
                    : signDetachedCades(oEntry.der, oSign.digestAlgorithm, oSign.scheme, oSign.digest, oSign.level,
                                        oTokenSign, oConfig);
            if (m_oRequest.contains("level"))
                oReply.insert(QStringLiteral("level"), signer::levelName(oSign.level));
            oReply.insert(QStringLiteral("cms"), QString::fromLatin1(oCms.toBase64()));
            // What the signature covers, so a page can check it with WebCrypto
            // (which hashes the data itself) without parsing the CMS.
            oReply.insert(QStringLiteral("signedAttributes"), QString::fromLatin1(oAttributes.toBase64()));
            oReply.insert(QStringLiteral("signature"), QString::fromLatin1(oSignature.toBase64()));
        } else {
            const QByteArray oSignature =
                oContext.sign(oEntry, poPin, oMechanism, tokenInput(oSign.scheme, oSign.digestAlgorithm, oSign.digest), oAgain);
            oReply.insert(QStringLiteral("signature"), QString::fromLatin1(oSignature.toBase64()));
            if (oSign.scheme == SignatureScheme::Ecdsa)
                oReply.insert(QStringLiteral("signatureDer"), QString::fromLatin1(ecdsaRawToDer(oSignature).toBase64()));
        }
        return signer::json(oReply);
    });
}
