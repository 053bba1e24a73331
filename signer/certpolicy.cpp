#include "certpolicy.h"

#include <QSet>
#include <QString>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

// Extended key usages that allow signing documents with digitalSignature.
const QSet<QString> &documentSigningUsages()
{
    static const QSet<QString> kUsages = {
        QStringLiteral("1.3.6.1.5.5.7.3.4"),        // emailProtection (S/MIME, CMS)
        QStringLiteral("1.3.6.1.5.5.7.3.36"),       // documentSigning (RFC 9336)
        QStringLiteral("2.5.29.37.0"),              // anyExtendedKeyUsage
        QStringLiteral("1.3.6.1.4.1.311.10.3.12"),  // Microsoft document signing
        QStringLiteral("1.2.840.113583.1.1.5"),     // Adobe authentic documents trust
    };
    return kUsages;
}

const QString kClientAuth = QStringLiteral("1.3.6.1.5.5.7.3.2");

QDateTime asn1Time(const ASN1_TIME *v_poTime)
{
    struct tm oTm {};
    if (!v_poTime || ASN1_TIME_to_tm(v_poTime, &oTm) != 1)
        return QDateTime();
    return QDateTime(QDate(oTm.tm_year + 1900, oTm.tm_mon + 1, oTm.tm_mday), QTime(oTm.tm_hour, oTm.tm_min, oTm.tm_sec),
                     Qt::UTC);
}

QString commonName(const X509_NAME *v_poName)
{
    const int iIndex = X509_NAME_get_index_by_NID(v_poName, NID_commonName, -1);
    if (iIndex < 0)
        return QString();
    unsigned char *pUtf8 = nullptr;
    const int iLength = ASN1_STRING_to_UTF8(&pUtf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(v_poName, iIndex)));
    if (iLength < 0)
        return QString();
    const QString oName = QString::fromUtf8(reinterpret_cast<const char *>(pUtf8), iLength);
    OPENSSL_free(pUtf8);
    return oName;
}

QString oidText(const ASN1_OBJECT *v_poObject)
{
    char aText[128];
    const int iLength = OBJ_obj2txt(aText, sizeof aText, v_poObject, 1);
    return iLength > 0 && iLength < static_cast<int>(sizeof aText) ? QString::fromLatin1(aText, iLength) : QString();
}

} // namespace

const char *purposeName(Purpose v_ePurpose)
{
    return v_ePurpose == Purpose::Login ? "login" : "sign";
}

bool parsePurpose(const QByteArray &v_oName, Purpose *v_pePurpose)
{
    if (v_oName.isEmpty() || v_oName == "sign")
        *v_pePurpose = Purpose::Sign;
    else if (v_oName == "login")
        *v_pePurpose = Purpose::Login;
    else
        return false;
    return true;
}

CertificateUse certificateUse(const QByteArray &v_oDer)
{
    CertificateUse oUse;
    const auto *pData = reinterpret_cast<const unsigned char *>(v_oDer.constData());
    std::unique_ptr<X509, decltype(&X509_free)> poCert(d2i_X509(nullptr, &pData, v_oDer.size()), &X509_free);
    if (!poCert)
        return oUse;
    oUse.readable = true;
    oUse.notBefore = asn1Time(X509_get0_notBefore(poCert.get()));
    oUse.notAfter = asn1Time(X509_get0_notAfter(poCert.get()));
    oUse.issuerCommonName = commonName(X509_get_issuer_name(poCert.get()));
    if (EVP_PKEY *poKey = X509_get0_pubkey(poCert.get())) {
        const int iType = EVP_PKEY_get_base_id(poKey);
        oUse.supportedKey = iType == EVP_PKEY_RSA || iType == EVP_PKEY_RSA_PSS || iType == EVP_PKEY_EC;
    }

    // UINT32_MAX: no key usage extension, every usage allowed.
    const uint32_t uiUsage = X509_get_key_usage(poCert.get());
    const bool bDigitalSignature = (uiUsage & KU_DIGITAL_SIGNATURE) != 0;
    const bool bNonRepudiation = (uiUsage & KU_NON_REPUDIATION) != 0;

    int iCritical = 0;
    auto *poUsages = static_cast<EXTENDED_KEY_USAGE *>(
        X509_get_ext_d2i(poCert.get(), NID_ext_key_usage, &iCritical, nullptr));
    if (!poUsages && iCritical != -1) {
        // Present but unreadable (or repeated): no purpose can be trusted.
        oUse.readable = false;
        return oUse;
    }
    bool bDocumentUsage = poUsages == nullptr;
    bool bClientAuth = poUsages == nullptr;
    for (int i = 0; poUsages && i < sk_ASN1_OBJECT_num(poUsages); ++i) {
        const ASN1_OBJECT *poObject = sk_ASN1_OBJECT_value(poUsages, i);
        const QString oOid = oidText(poObject);
        bDocumentUsage = bDocumentUsage || documentSigningUsages().contains(oOid);
        bClientAuth = bClientAuth || oOid == kClientAuth;
        const int iNid = OBJ_obj2nid(poObject);
        oUse.extendedKeyUsage.append(iNid != NID_undef ? QString::fromLatin1(OBJ_nid2sn(iNid)) : oOid);
    }
    if (poUsages)
        sk_ASN1_OBJECT_pop_free(poUsages, ASN1_OBJECT_free);

    oUse.signing = bNonRepudiation || (bDigitalSignature && bDocumentUsage);
    oUse.login = bDigitalSignature && bClientAuth && !oUse.signing;
    return oUse;
}

Unfit unfitFor(const CertificateUse &v_oUse, Purpose v_ePurpose, const QDateTime &v_oNow)
{
    if (!v_oUse.readable)
        return Unfit::Unreadable;
    if (!v_oUse.supportedKey)
        return Unfit::UnsupportedKey;
    const bool bFits = v_ePurpose == Purpose::Sign ? v_oUse.signing : v_oUse.login;
    if (!bFits) {
        if (v_oUse.login)
            return Unfit::LoginOnly;
        if (v_oUse.signing)
            return Unfit::SigningOnly;
        return Unfit::OtherUse;
    }
    if (v_oUse.notAfter.isValid() && v_oNow > v_oUse.notAfter)
        return Unfit::Expired;
    if (v_oUse.notBefore.isValid() && v_oNow < v_oUse.notBefore)
        return Unfit::NotYetValid;
    return Unfit::None;
}

QJsonArray purposeNames(const CertificateUse &v_oUse)
{
    QJsonArray oNames;
    if (v_oUse.signing)
        oNames.append(QStringLiteral("sign"));
    if (v_oUse.login)
        oNames.append(QStringLiteral("login"));
    return oNames;
}
