#include "commands.h"

#include "cmsbuilder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <log4cpp/Category.hh>

#include <algorithm>
#include <tuple>

namespace signer {

WebOrigin requestOrigin(const tRequestMap &v_oRequest)
{
    // Set by the server from the Origin header only; a page cannot send the key.
    const WebOrigin oOrigin = parseOrigin(v_oRequest.value("keyHttpOrigin"));
    if (!oOrigin.valid)
        throw SignerError("NO_ORIGIN", QStringLiteral("The request carries no usable Origin header (scheme://host[:port]); "
                                                      "the Signer answers web pages only."));
    return oOrigin;
}

Purpose requestPurpose(const tRequestMap &v_oRequest)
{
    Purpose ePurpose = Purpose::Sign;
    if (!parsePurpose(v_oRequest.value("purpose"), &ePurpose))
        throw SignerError("BAD_REQUEST", QStringLiteral("purpose must be sign or login."));
    return ePurpose;
}

SignatureLevel requestLevel(const tRequestMap &v_oRequest)
{
    SignatureLevel eLevel = SignatureLevel::BaselineB;
    const auto it = v_oRequest.constFind("level");
    if (it != v_oRequest.constEnd() && !parseSignatureLevel(it.value(), &eLevel))
        throw SignerError("BAD_REQUEST", QStringLiteral("level must be B-B, B-T or B-LT."));
    return eLevel;
}

QString levelName(SignatureLevel v_eLevel)
{
    switch (v_eLevel) {
    case SignatureLevel::BaselineT: return QStringLiteral("B-T");
    case SignatureLevel::BaselineLT: return QStringLiteral("B-LT");
    default: return QStringLiteral("B-B");
    }
}

QString unfitReason(Unfit v_eUnfit)
{
    switch (v_eUnfit) {
    case Unfit::LoginOnly: return QStringLiteral("login-only");
    case Unfit::Expired: return QStringLiteral("expired");
    case Unfit::NotYetValid: return QStringLiteral("not-yet-valid");
    case Unfit::UnsupportedKey: return QStringLiteral("unsupported-key");
    default: return QStringLiteral("other-use");
    }
}

QByteArray json(const QJsonObject &v_oObject)
{
    return QJsonDocument(v_oObject).toJson(QJsonDocument::Compact);
}

QJsonObject certificateJson(const CertificateEntry &v_oEntry, const QString &v_oSiteId)
{
    const CertificateFacts oFacts = certificateFacts(v_oEntry.der);
    const CertificateUse oUse = certificateUse(v_oEntry.der);
    QJsonObject oCert = oFacts.json;
    oCert.insert(QStringLiteral("id"), v_oSiteId);
    oCert.insert(QStringLiteral("extendedKeyUsage"), oUse.extendedKeyUsage);
    oCert.insert(QStringLiteral("purposes"), purposeNames(oUse));
    oCert.insert(QStringLiteral("certificate"), QString::fromLatin1(v_oEntry.der.toBase64()));
    return oCert;
}

CertificateCard cardOf(const CertificateEntry &v_oEntry, Purpose v_ePurpose)
{
    const CertificateFacts oFacts = certificateFacts(v_oEntry.der);
    const CertificateUse oUse = certificateUse(v_oEntry.der);
    CertificateCard oCard;
    oCard.fingerprint = SignerStore::fingerprint(v_oEntry.der);
    oCard.unfit = oFacts.valid ? unfitFor(oUse, v_ePurpose, QDateTime::currentDateTimeUtc()) : Unfit::Unreadable;
    oCard.commonName = oFacts.subjectCommonName;
    oCard.subject = oFacts.json.value(QStringLiteral("subject")).toString();
    // The issuer's common name when it has one: short enough for a list.
    oCard.issuer = oUse.issuerCommonName.isEmpty() ? oFacts.json.value(QStringLiteral("issuer")).toString()
                                                   : oUse.issuerCommonName;
    oCard.notAfter = oUse.notAfter.toString(QStringLiteral("yyyy-MM-dd"));
    oCard.keyText = oFacts.keyType == QLatin1String("EC") ? QStringLiteral("EC %1").arg(oFacts.curve)
                                                          : QStringLiteral("%1 %2").arg(oFacts.keyType).arg(oFacts.keyBits);
    oCard.tokenLabel = v_oEntry.token.label;
    return oCard;
}

TokenSnapshot snapshot(Purpose v_ePurpose)
{
    Pkcs11Context oContext;
    TokenSnapshot oSnapshot;
    oSnapshot.anyToken = oContext.anyToken();
    for (const CertificateEntry &oEntry : oContext.certificates())
        oSnapshot.certificates << cardOf(oEntry, v_ePurpose);
    // The picker's order: by token, then by name.
    std::sort(oSnapshot.certificates.begin(), oSnapshot.certificates.end(),
              [](const CertificateCard &v_oA, const CertificateCard &v_oB) {
                  return std::tie(v_oA.tokenLabel, v_oA.commonName, v_oA.fingerprint)
                         < std::tie(v_oB.tokenLabel, v_oB.commonName, v_oB.fingerprint);
              });
    return oSnapshot;
}

void throwNoToken(const Pkcs11Context &v_oContext, const char *v_pCommand)
{
    log(true, v_pCommand, QStringLiteral("No token present; PKCS#11 modules tried: ") + v_oContext.reportText());
    QJsonObject oDetails;
    oDetails.insert(QStringLiteral("modules"), v_oContext.reportJson());
    throw SignerError("NO_TOKEN", QStringLiteral("No card or token is present."), oDetails);
}

void throwStoreError(const StoreError &v_oError)
{
    log(true, "Signer", QString::fromLocal8Bit(v_oError.what()));
    throw SignerError("STORE_ERROR", QString::fromLocal8Bit(v_oError.what()));
}

void writeReceipt(SignerStore &v_oStore, Receipt v_oReceipt)
{
    v_oReceipt.time = QDateTime::currentDateTimeUtc();
    try {
        v_oStore.appendReceipt(v_oReceipt);
    } catch (const StoreError &v_oError) {
        log(true, "Signer::writeReceipt", QString::fromLocal8Bit(v_oError.what()));
    }
}

CK_FLAGS unlockedFlags(Pkcs11Context &v_oContext, const CertificateEntry &v_oEntry)
{
    const CK_FLAGS uiFlags = v_oContext.currentFlags(v_oEntry);
    if (uiFlags & CKF_USER_PIN_LOCKED)
        throw SignerError("PIN_LOCKED", QStringLiteral("The PIN is locked; unblock it with the PUK or the card's tool."));
    return uiFlags;
}

void setPinFlags(ConsentRequest &v_oConsent, CK_FLAGS v_uiFlags)
{
    v_oConsent.protectedPath = (v_uiFlags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    v_oConsent.pinCountLow = (v_uiFlags & CKF_USER_PIN_COUNT_LOW) != 0;
    v_oConsent.pinFinalTry = (v_uiFlags & CKF_USER_PIN_FINAL_TRY) != 0;
}

Receipt signingReceipt(const ConsentRequest &v_oConsent)
{
    Receipt oReceipt;
    oReceipt.origin = v_oConsent.origin.text;
    oReceipt.purpose = QStringLiteral("sign");
    oReceipt.document = v_oConsent.documentName;
    oReceipt.digestAlgorithm = v_oConsent.digestAlgorithm;
    oReceipt.digest = v_oConsent.digest;
    oReceipt.certificate = v_oConsent.certificate.subject;
    oReceipt.fingerprint = v_oConsent.certificate.fingerprint;
    return oReceipt;
}

void refuseUnlessAccepted(const ConsentAnswer &v_oAnswer, SignerStore &v_oStore, Receipt &v_oReceipt,
                          const QString &v_oMessage)
{
    if (v_oAnswer.outcome == Outcome::Accepted)
        return;
    const bool bTimedOut = v_oAnswer.outcome == Outcome::TimedOut;
    v_oReceipt.outcome = bTimedOut ? QStringLiteral("timeout") : QStringLiteral("cancelled");
    writeReceipt(v_oStore, v_oReceipt);
    QJsonObject oReason;
    if (bTimedOut)
        oReason.insert(QStringLiteral("reason"), QStringLiteral("timeout"));
    throw SignerError("CANCELLED", v_oMessage, oReason);
}

PinAgain pinAgainOnMainThread(SignerUi &v_oUi, const ConsentRequest &v_oConsent)
{
    return [&v_oUi, &v_oConsent](SecretBuffer *v_poPin, CK_FLAGS v_uiFlags) {
        bool bGiven = false;
        const PinRequest oRequest{v_oConsent.origin, v_oConsent.certificate, (v_uiFlags & CKF_USER_PIN_COUNT_LOW) != 0,
                                  (v_uiFlags & CKF_USER_PIN_FINAL_TRY) != 0};
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { bGiven = v_oUi.askPinAgain(oRequest, v_poPin); },
            Qt::BlockingQueuedConnection);
        return bGiven;
    };
}

CertificateEntry entryOnToken(Pkcs11Context &v_oContext, const QByteArray &v_oDer)
{
    for (const CertificateEntry &oCandidate : v_oContext.certificates()) {
        if (oCandidate.der == v_oDer)
            return oCandidate;
    }
    throw SignerError("TOKEN_REMOVED", QStringLiteral("The token with the certificate was removed."));
}

void log(bool v_bWarning, const char *v_pFunction, const QString &v_oText)
{
    // The server's own category: the line goes to the account's log file, escaped there.
    log4cpp::Category *poCategory = log4cpp::Category::exists("QuorvexCryptoProvider");
    if (!poCategory)
        return;
    const std::string oLine = std::string(v_pFunction) + " :: " + v_oText.toStdString();
    if (v_bWarning)
        poCategory->warn(oLine);
    else
        poCategory->notice(oLine);
}

} // namespace signer
