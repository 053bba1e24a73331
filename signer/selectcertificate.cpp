#include "commands.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

SelectCertificateCommand::SelectCertificateCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi)
    : m_oRequest(v_oRequest), m_oUi(v_oUi)
{
}

// The picked certificate as ListCertificates lists it, plus "remembered": true
// when the user let the site see it from now on.
QByteArray SelectCertificateCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    const Purpose ePurpose = signer::requestPurpose(m_oRequest);
    // Without a person at a display this runs on a job thread (see IsGuiFunction)
    // and must not touch widgets.
    QCoreApplication *poApp = QCoreApplication::instance();
    if (!m_oUi.available() || !poApp || QThread::currentThread() != poApp->thread())
        throw SignerError("NO_DISPLAY", QStringLiteral("Choosing a certificate needs the user, and the server has no "
                                                       "display to ask on (started without DISPLAY/WAYLAND_DISPLAY or with -console)."));

    const TokenPoll oPoll = [ePurpose] { return signer::snapshot(ePurpose); };
    const TokenSnapshot oFirst = signer::offMainThread(oPoll);
    const PickAnswer oAnswer = m_oUi.pickCertificate(PickRequest{oOrigin, ePurpose}, oFirst, oPoll);

    SignerStore oStore;
    Receipt oReceipt;
    oReceipt.origin = oOrigin.text;
    oReceipt.purpose = QStringLiteral("select-") + QLatin1String(purposeName(ePurpose));
    if (oAnswer.outcome != Outcome::Accepted) {
        oReceipt.outcome = oAnswer.outcome == Outcome::TimedOut ? QStringLiteral("timeout")
                           : oAnswer.tokenMissing               ? QStringLiteral("no-token")
                                                                : QStringLiteral("cancelled");
        signer::writeReceipt(oStore, oReceipt);
        // A user who gave up waiting for a card: the page may help with which
        // PKCS#11 modules were looked at (nothing about the user).
        if (oAnswer.tokenMissing) {
            signer::offMainThread([] {
                Pkcs11Context oContext;
                if (!oContext.anyToken())
                    signer::throwNoToken(oContext, "Signer::SelectCertificate");
            });
        }
        QJsonObject oReason;
        if (oAnswer.outcome == Outcome::TimedOut)
            oReason.insert(QStringLiteral("reason"), QStringLiteral("timeout"));
        throw SignerError("CANCELLED", QStringLiteral("The user chose no certificate."), oReason);
    }

    // The certificate as its token holds it now.
    QJsonObject oCertificate;
    QString oSubject;
    try {
        signer::offMainThread([&] {
            Pkcs11Context oContext;
            const SiteIds oIds(oStore, oOrigin.text);
            for (const CertificateEntry &oEntry : oContext.certificates()) {
                if (SignerStore::fingerprint(oEntry.der) == oAnswer.fingerprint) {
                    oCertificate = signer::certificateJson(oEntry, oIds.of(oEntry.der));
                    oSubject = oCertificate.value(QStringLiteral("subject")).toString();
                    return;
                }
            }
            throw SignerError("TOKEN_REMOVED", QStringLiteral("The token with the certificate was removed."));
        });
        if (oAnswer.remember)
            oStore.addGrant(oOrigin.text, Grant{oAnswer.fingerprint, oSubject, QLatin1String(purposeName(ePurpose)),
                                                QDateTime::currentDateTimeUtc()});
    } catch (const StoreError &v_oError) {
        signer::throwStoreError(v_oError);
    }
    oReceipt.certificate = oSubject;
    oReceipt.fingerprint = oAnswer.fingerprint;
    oReceipt.outcome = oAnswer.remember ? QStringLiteral("remembered") : QStringLiteral("picked");
    signer::writeReceipt(oStore, oReceipt);
    oCertificate.insert(QStringLiteral("remembered"), oAnswer.remember);
    return signer::json(oCertificate);
}
