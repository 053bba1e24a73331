#include "commands.h"

#include "cmsbuilder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

namespace {

// The site's challenge: base64 (or base64url) of at least 32 random bytes.
bool validNonce(const QByteArray &v_oNonce)
{
    if (v_oNonce.size() < 44 || v_oNonce.size() > 128)
        return false;
    for (const char c : v_oNonce) {
        const bool bAllowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
                              || c == '/' || c == '_' || c == '-' || c == '=';
        if (!bAllowed)
            return false;
    }
    return true;
}

// How the key signs the token: the algorithm's name, its hash, the PKCS#11
// mechanism, and for ECDSA the length of r||s.
struct TokenAlgorithm
{
    QString name;
    DigestAlgorithm hash = DigestAlgorithm::Sha256;
    SignMechanism mechanism;
    bool digestInfo = false; // RSASSA-PKCS1-v1_5: the token pads a DigestInfo
    int ecdsaLength = 0;
};

// The algorithm follows from the key; the token hashes nothing itself (raw
// CKM_ECDSA, CKM_RSA_PKCS, CKM_RSA_PKCS_PSS over a digest made here), so any
// card that signs digests can log in.
TokenAlgorithm algorithmFor(Pkcs11Context &v_oContext, const CertificateEntry &v_oEntry, const CertificateFacts &v_oFacts)
{
    TokenAlgorithm oAlgorithm;
    if (v_oFacts.keyType == QLatin1String("EC")) {
        if (v_oFacts.curve == QLatin1String("P-256"))
            oAlgorithm = {QStringLiteral("ES256"), DigestAlgorithm::Sha256, {}, false, 64};
        else if (v_oFacts.curve == QLatin1String("P-384"))
            oAlgorithm = {QStringLiteral("ES384"), DigestAlgorithm::Sha384, {}, false, 96};
        else if (v_oFacts.curve == QLatin1String("P-521"))
            oAlgorithm = {QStringLiteral("ES512"), DigestAlgorithm::Sha512, {}, false, 132};
        else
            throw SignerError("UNSUPPORTED_ALGORITHM",
                              QStringLiteral("Log-in tokens need a P-256, P-384 or P-521 key; this one is on %1.").arg(v_oFacts.curve));
        oAlgorithm.mechanism.type = CKM_ECDSA;
    } else if (v_oFacts.keyType == QLatin1String("RSA")) {
        if (v_oContext.supportsMechanism(v_oEntry, CKM_RSA_PKCS)) {
            oAlgorithm = {QStringLiteral("RS256"), DigestAlgorithm::Sha256, {}, true, 0};
            oAlgorithm.mechanism.type = CKM_RSA_PKCS;
        } else if (v_oContext.supportsMechanism(v_oEntry, CKM_RSA_PKCS_PSS)) {
            oAlgorithm = {QStringLiteral("PS256"), DigestAlgorithm::Sha256, {}, false, 0};
            oAlgorithm.mechanism.type = CKM_RSA_PKCS_PSS;
            oAlgorithm.mechanism.usePss = true;
            oAlgorithm.mechanism.pss.hashAlg = CKM_SHA256;
            oAlgorithm.mechanism.pss.mgf = CKG_MGF1_SHA256;
            oAlgorithm.mechanism.pss.sLen = 32;
        } else {
            throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("The token signs with this RSA key neither "
                                                                      "PKCS#1 v1.5 nor PSS."));
        }
        return oAlgorithm;
    } else {
        throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("Log-in tokens need an RSA or EC key; this one is %1.")
                                                       .arg(v_oFacts.keyType));
    }
    if (!v_oContext.supportsMechanism(v_oEntry, oAlgorithm.mechanism.type))
        throw SignerError("UNSUPPORTED_ALGORITHM", QStringLiteral("The token cannot sign with %1.").arg(oAlgorithm.name));
    return oAlgorithm;
}

QString appVersion()
{
    return QStringLiteral("https://quorvex.invalid/crypto-provider/releases/" QTX_SIGNER_VERSION);
}

} // namespace

AuthenticateCommand::AuthenticateCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi)
    : m_oRequest(v_oRequest), m_oUi(v_oUi)
{
}

// Request: nonce. Reply: the log-in token {"algorithm","appVersion","format",
// "signature","unverifiedCertificate"} (docs/authentication.md).
QByteArray AuthenticateCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    // The request map holds parameters, headers (the Origin header as "origin")
    // and cookies under one name each. What is signed is the browser's origin:
    // a page that names another one besides is confused or hostile. And the
    // nonce must be the page's one parameter, not also a cookie that another
    // page on 127.0.0.1 could have set.
    if (m_oRequest.count("origin") > 1)
        throw SignerError("BAD_REQUEST", QStringLiteral("The origin is the browser's Origin header; a page cannot name one."));
    const QList<QByteArray> oNonces = m_oRequest.values("nonce");
    if (oNonces.size() != 1 || !validNonce(oNonces.first()))
        throw SignerError("BAD_NONCE", QStringLiteral("nonce must be one parameter of 44 to 128 characters of base64 text."));
    const QByteArray oNonce = oNonces.first();
    // Without a person at a display this runs on a job thread (see IsGuiFunction)
    // and must not touch widgets.
    QCoreApplication *poApp = QCoreApplication::instance();
    if (!m_oUi.available() || !poApp || QThread::currentThread() != poApp->thread())
        throw SignerError("NO_DISPLAY", QStringLiteral("Logging in needs the user, and the server has no display to ask "
                                                       "on (started without DISPLAY/WAYLAND_DISPLAY or with -console)."));

    const TokenPoll oPoll = [] { return signer::snapshot(Purpose::Login); };
    const PickAnswer oPick = m_oUi.pickCertificate(PickRequest{oOrigin, Purpose::Login}, signer::offMainThread(oPoll), oPoll);
    SignerStore oStore;
    Receipt oReceipt;
    oReceipt.origin = oOrigin.text;
    oReceipt.purpose = QStringLiteral("select-login");
    if (oPick.outcome != Outcome::Accepted) {
        oReceipt.outcome = oPick.outcome == Outcome::TimedOut ? QStringLiteral("timeout")
                           : oPick.tokenMissing               ? QStringLiteral("no-token")
                                                              : QStringLiteral("cancelled");
        signer::writeReceipt(oStore, oReceipt);
        if (oPick.tokenMissing) {
            signer::offMainThread([] {
                Pkcs11Context oContext;
                if (!oContext.anyToken())
                    signer::throwNoToken(oContext, "Signer::Authenticate");
            });
        }
        QJsonObject oReason;
        if (oPick.outcome == Outcome::TimedOut)
            oReason.insert(QStringLiteral("reason"), QStringLiteral("timeout"));
        throw SignerError("CANCELLED", QStringLiteral("The user chose no certificate."), oReason);
    }

    // The picked certificate as its token holds it now, checked again: the
    // picker offered log-in certificates only, but tokens change meanwhile.
    ConsentRequest oConsent;
    TokenAlgorithm oAlgorithm;
    QByteArray oDer;
    oReceipt.fingerprint = oPick.fingerprint;
    try {
    signer::offMainThread([&] {
        Pkcs11Context oContext;
        CertificateEntry oEntry;
        for (const CertificateEntry &oCandidate : oContext.certificates()) {
            if (SignerStore::fingerprint(oCandidate.der) == oPick.fingerprint)
                oEntry = oCandidate;
        }
        if (oEntry.der.isEmpty())
            throw SignerError("TOKEN_REMOVED", QStringLiteral("The token with the certificate was removed."));
        const CertificateFacts oFacts = certificateFacts(oEntry.der);
        if (!oFacts.valid
            || unfitFor(certificateUse(oEntry.der), Purpose::Login, QDateTime::currentDateTimeUtc()) != Unfit::None)
            throw SignerError("CERTIFICATE_NOT_USABLE", QStringLiteral("This certificate is not for logging in."));
        oAlgorithm = algorithmFor(oContext, oEntry, oFacts);
        const CK_FLAGS uiFlags = signer::unlockedFlags(oContext, oEntry);
        oDer = oEntry.der;
        oConsent.origin = oOrigin;
        oConsent.purpose = Purpose::Login;
        oConsent.certificate = signer::cardOf(oEntry, Purpose::Login);
        oConsent.signatureAlgorithm = oAlgorithm.name;
        signer::setPinFlags(oConsent, uiFlags);
    });
    } catch (const SignerError &v_oError) {
        oReceipt.outcome = QString::fromLatin1(v_oError.code());
        signer::writeReceipt(oStore, oReceipt);
        throw;
    }
    oReceipt.certificate = oConsent.certificate.subject;
    oReceipt.outcome = oPick.remember ? QStringLiteral("remembered") : QStringLiteral("picked");
    if (oPick.remember) {
        try {
            oStore.addGrant(oOrigin.text, Grant{oPick.fingerprint, oReceipt.certificate, QStringLiteral("login"),
                                                QDateTime::currentDateTimeUtc()});
        } catch (const StoreError &v_oError) {
            signer::throwStoreError(v_oError);
        }
    }
    signer::writeReceipt(oStore, oReceipt);

    // hash(origin) || hash(nonce), hashed once more as the algorithm signs it.
    const QByteArray oSigned = hashBytes(oAlgorithm.hash, hashBytes(oAlgorithm.hash, oOrigin.text.toUtf8())
                                                              + hashBytes(oAlgorithm.hash, oNonce));
    oReceipt.purpose = QStringLiteral("login");
    oReceipt.digestAlgorithm = QStringLiteral("SHA-%1").arg(digestLength(oAlgorithm.hash) * 8);
    oReceipt.digest = oSigned;

    ConsentAnswer oAnswer = m_oUi.askConsent(oConsent, [] { return signer::snapshot(Purpose::Login); });
    signer::refuseUnlessAccepted(oAnswer, oStore, oReceipt, QStringLiteral("The user did not log in."));

    // A key with a PIN of its own for each operation: asked on the main thread.
    const PinAgain oAgain = signer::pinAgainOnMainThread(m_oUi, oConsent);
    return signer::signWithReceipt(oAnswer, oStore, oReceipt, QStringLiteral("logged-in"), [&] {
        Pkcs11Context oContext;
        const CertificateEntry oEntry = signer::entryOnToken(oContext, oDer);
        const SecretBuffer *poPin = oConsent.protectedPath ? nullptr : &oAnswer.pin;
        const QByteArray oSignature = oContext.sign(oEntry, poPin, oAlgorithm.mechanism,
                                                    oAlgorithm.digestInfo ? digestInfo(oAlgorithm.hash, oSigned) : oSigned,
                                                    oAgain);
        // CKM_ECDSA gives r||s of the curve's size; anything else would be
        // refused by every validator, so it is the token's fault, said here.
        if (oAlgorithm.ecdsaLength && oSignature.size() != oAlgorithm.ecdsaLength)
            throw SignerError("TOKEN_ERROR", QStringLiteral("The token's ECDSA signature has %1 bytes, not %2.")
                                                 .arg(oSignature.size())
                                                 .arg(oAlgorithm.ecdsaLength));
        QJsonObject oToken;
        oToken.insert(QStringLiteral("format"), QStringLiteral("web-eid:1.0"));
        oToken.insert(QStringLiteral("unverifiedCertificate"), QString::fromLatin1(oDer.toBase64()));
        oToken.insert(QStringLiteral("algorithm"), oAlgorithm.name);
        oToken.insert(QStringLiteral("signature"), QString::fromLatin1(oSignature.toBase64()));
        oToken.insert(QStringLiteral("appVersion"), appVersion());
        return signer::json(oToken);
    });
}
