#include "commands.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSet>

ListCertificatesCommand::ListCertificatesCommand(const tRequestMap &v_oRequest) : m_oRequest(v_oRequest)
{
}

// {"certificates":[{id, subject, subjectCommonName, issuer, serialNumber, notBefore, notAfter, key,
//   keyUsage, extendedKeyUsage, purposes, certificate}]}
QByteArray ListCertificatesCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    const Purpose ePurpose = signer::requestPurpose(m_oRequest);
    SignerStore oStore;
    QSet<QString> oGranted;
    try {
        for (const Grant &oGrant : oStore.grants(oOrigin.text))
            oGranted.insert(oGrant.fingerprint);
    } catch (const StoreError &v_oError) {
        signer::throwStoreError(v_oError);
    }
    QJsonArray oCertificates;
    // Without a grant nothing on the tokens is the page's business: they are
    // not looked at, so even their presence stays unknown to it.
    if (!oGranted.isEmpty()) {
        Pkcs11Context oContext;
        if (!oContext.anyToken())
            signer::throwNoToken(oContext, "Signer::ListCertificates");
        try {
            const SiteIds oIds(oStore, oOrigin.text);
            const QDateTime oNow = QDateTime::currentDateTimeUtc();
            for (const CertificateEntry &oEntry : oContext.certificates()) {
                if (!oGranted.contains(SignerStore::fingerprint(oEntry.der))
                    || unfitFor(certificateUse(oEntry.der), ePurpose, oNow) != Unfit::None)
                    continue;
                oCertificates.append(signer::certificateJson(oEntry, oIds.of(oEntry.der)));
            }
        } catch (const StoreError &v_oError) {
            signer::throwStoreError(v_oError);
        }
    }
    QJsonObject oReply;
    oReply.insert(QStringLiteral("certificates"), oCertificates);
    return signer::json(oReply);
}
