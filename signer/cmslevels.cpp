#include "cmslevels.h"

#include "pkcs11token.h"
#include "signingconfig.h"
#include "timestamp.h"

#include <openssl/asn1.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *v_poObject) const { Free(v_poObject); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;

SignerError cmsError(const char *v_pStep)
{
    ERR_clear_error();
    return SignerError("CMS_ERROR", QStringLiteral("Cannot extend the CMS signature: %1").arg(QLatin1String(v_pStep)));
}

CmsPtr parseCms(const QByteArray &v_oDer)
{
    const unsigned char *pData = reinterpret_cast<const unsigned char *>(v_oDer.constData());
    CmsPtr poCms(d2i_CMS_ContentInfo(nullptr, &pData, v_oDer.size()));
    if (poCms && OBJ_obj2nid(CMS_get0_type(poCms.get())) != NID_pkcs7_signed)
        poCms.reset();
    ERR_clear_error();
    return poCms;
}

CMS_SignerInfo *firstSigner(CMS_ContentInfo *v_poCms)
{
    STACK_OF(CMS_SignerInfo) *poSigners = CMS_get0_SignerInfos(v_poCms);
    return sk_CMS_SignerInfo_num(poSigners) == 1 ? sk_CMS_SignerInfo_value(poSigners, 0) : nullptr;
}

QByteArray encode(CMS_ContentInfo *v_poCms)
{
    unsigned char *pOut = nullptr;
    const int iLength = i2d_CMS_ContentInfo(v_poCms, &pOut);
    if (iLength <= 0)
        throw cmsError("encoding");
    QByteArray oDer(reinterpret_cast<const char *>(pOut), iLength);
    OPENSSL_free(pOut);
    return oDer;
}

QByteArray certDer(X509 *v_poCert)
{
    unsigned char *pOut = nullptr;
    const int iLength = i2d_X509(v_poCert, &pOut);
    QByteArray oDer(reinterpret_cast<const char *>(pOut), qMax(iLength, 0));
    OPENSSL_free(pOut);
    return oDer;
}

QByteArray derLength(qint64 v_iLength)
{
    if (v_iLength < 0x80)
        return QByteArray(1, static_cast<char>(v_iLength));
    QByteArray oBytes;
    for (qint64 i = v_iLength; i > 0; i >>= 8)
        oBytes.prepend(static_cast<char>(i & 0xff));
    oBytes.prepend(static_cast<char>(0x80 | oBytes.size()));
    return oBytes;
}

QByteArray tlv(unsigned char v_cIdentifier, const QByteArray &v_oContent)
{
    return char(v_cIdentifier) + derLength(v_oContent.size()) + v_oContent;
}

// One DER element of v_oData at v_iPos: its identifier byte, where its
// content starts and its whole length. Our own encodings only: definite
// lengths, one-byte tags.
struct Element
{
    unsigned char identifier = 0;
    int contentStart = 0;
    int end = 0;
};

Element elementAt(const QByteArray &v_oData, int v_iPos, int v_iEnd)
{
    const unsigned char *pStart = reinterpret_cast<const unsigned char *>(v_oData.constData()) + v_iPos;
    const unsigned char *p = pStart;
    long iLength = 0;
    int iTag = 0, iClass = 0;
    const int iFlags = ASN1_get_object(&p, &iLength, &iTag, &iClass, v_iEnd - v_iPos);
    if ((iFlags & 0x80) || iFlags == 0x21 || iTag > 30)
        throw cmsError("structure");
    Element oElement;
    oElement.identifier = *pStart;
    oElement.contentStart = v_iPos + int(p - pStart);
    oElement.end = oElement.contentStart + int(iLength);
    if (oElement.end > v_iEnd)
        throw cmsError("structure");
    return oElement;
}

std::vector<QByteArray> children(const QByteArray &v_oData, const Element &v_oParent)
{
    std::vector<QByteArray> oChildren;
    for (int iPos = v_oParent.contentStart; iPos < v_oParent.end;) {
        const Element oChild = elementAt(v_oData, iPos, v_oParent.end);
        oChildren.push_back(v_oData.mid(iPos, oChild.end - iPos));
        iPos = oChild.end;
    }
    return oChildren;
}

// SignedData.crls [1] with the OCSP responses added as OtherRevocationInfoFormat
// (id-ri-ocsp-response). OpenSSL has no call for that, so the encoding is
// extended here and read back by OpenSSL before it is used.
QByteArray withOcspResponses(const QByteArray &v_oCms, const QList<QByteArray> &v_oResponses)
{
    if (v_oResponses.isEmpty())
        return v_oCms;
    ASN1_OBJECT *poFormat = OBJ_txt2obj("1.3.6.1.5.5.7.16.2", 1);
    unsigned char *pOid = nullptr;
    const int iOid = poFormat ? i2d_ASN1_OBJECT(poFormat, &pOid) : 0;
    const QByteArray oOid(reinterpret_cast<const char *>(pOid), qMax(iOid, 0));
    OPENSSL_free(pOid);
    ASN1_OBJECT_free(poFormat);
    if (oOid.isEmpty())
        throw cmsError("OCSP format");

    const Element oInfo = elementAt(v_oCms, 0, v_oCms.size());
    const std::vector<QByteArray> oInfoParts = children(v_oCms, oInfo);
    if (oInfo.identifier != 0x30 || oInfoParts.size() != 2 || (unsigned char)oInfoParts[1][0] != 0xa0)
        throw cmsError("structure");
    const QByteArray &oExplicit = oInfoParts[1];
    const Element oWrapper = elementAt(oExplicit, 0, oExplicit.size());
    const QByteArray oSignedData = oExplicit.mid(oWrapper.contentStart, oWrapper.end - oWrapper.contentStart);
    const Element oSigned = elementAt(oSignedData, 0, oSignedData.size());
    std::vector<QByteArray> oFields = children(oSignedData, oSigned);
    if (oSigned.identifier != 0x30 || oFields.size() < 4)
        throw cmsError("structure");

    std::vector<QByteArray> oChoices;
    auto itCrls = std::find_if(oFields.begin(), oFields.end(),
                               [](const QByteArray &v_oField) { return (unsigned char)v_oField[0] == 0xa1; });
    if (itCrls != oFields.end()) {
        const Element oCrls = elementAt(*itCrls, 0, itCrls->size());
        oChoices = children(*itCrls, oCrls);
    }
    for (const QByteArray &oResponse : v_oResponses)
        oChoices.push_back(tlv(0xa1, oOid + oResponse));
    std::sort(oChoices.begin(), oChoices.end()); // SET OF, in DER order
    QByteArray oChoicesDer;
    for (const QByteArray &oChoice : oChoices)
        oChoicesDer += oChoice;
    const QByteArray oCrls = tlv(0xa1, oChoicesDer);
    if (itCrls != oFields.end())
        *itCrls = oCrls;
    else
        oFields.insert(oFields.end() - 1, oCrls); // before signerInfos

    QByteArray oFieldsDer;
    for (const QByteArray &oField : oFields)
        oFieldsDer += oField;
    const QByteArray oResult = tlv(0x30, oInfoParts[0] + tlv(0xa0, tlv(0x30, oFieldsDer)));
    if (!parseCms(oResult))
        throw cmsError("OCSP responses");
    return oResult;
}

ASN1_STRING *timestampAttributeValue(CMS_SignerInfo *v_poSigner)
{
    const int iIndex = CMS_unsigned_get_attr_by_NID(v_poSigner, NID_id_smime_aa_timeStampToken, -1);
    if (iIndex < 0)
        return nullptr;
    ASN1_TYPE *poValue = X509_ATTRIBUTE_get0_type(CMS_unsigned_get_attr(v_poSigner, iIndex), 0);
    return poValue && poValue->type == V_ASN1_SEQUENCE ? poValue->value.sequence : nullptr;
}

} // namespace

void requireTimestampAuthority(const SigningConfig &v_oConfig)
{
    if (v_oConfig.tsaUrls.isEmpty())
        throw SignerError("TSA_NOT_CONFIGURED",
                          QStringLiteral("No timestamp authority is configured ([signing] tsaUrl)."));
}

bool parseSignatureLevel(const QByteArray &v_oName, SignatureLevel *v_peLevel)
{
    const QByteArray oName = v_oName.toUpper();
    if (oName == "B-B")
        *v_peLevel = SignatureLevel::BaselineB;
    else if (oName == "B-T" || oName == "T")
        *v_peLevel = SignatureLevel::BaselineT;
    else if (oName == "B-LT" || oName == "LT")
        *v_peLevel = SignatureLevel::BaselineLT;
    else
        return false;
    return true;
}

QByteArray cmsSignatureValue(const QByteArray &v_oCms)
{
    CmsPtr poCms = parseCms(v_oCms);
    CMS_SignerInfo *poSigner = poCms ? firstSigner(poCms.get()) : nullptr;
    ASN1_OCTET_STRING *poValue = poSigner ? CMS_SignerInfo_get0_signature(poSigner) : nullptr;
    return poValue ? QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(poValue)), ASN1_STRING_length(poValue))
                   : QByteArray();
}

QByteArray cmsMessageDigest(const QByteArray &v_oCms)
{
    CmsPtr poCms = parseCms(v_oCms);
    CMS_SignerInfo *poSigner = poCms ? firstSigner(poCms.get()) : nullptr;
    if (!poSigner)
        return QByteArray();
    const int iIndex = CMS_signed_get_attr_by_NID(poSigner, NID_pkcs9_messageDigest, -1);
    ASN1_TYPE *poValue = iIndex < 0 ? nullptr : X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(poSigner, iIndex), 0);
    if (!poValue || poValue->type != V_ASN1_OCTET_STRING)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(poValue->value.octet_string)),
                      ASN1_STRING_length(poValue->value.octet_string));
}

QByteArray cmsTimestampToken(const QByteArray &v_oCms)
{
    CmsPtr poCms = parseCms(v_oCms);
    CMS_SignerInfo *poSigner = poCms ? firstSigner(poCms.get()) : nullptr;
    ASN1_STRING *poToken = poSigner ? timestampAttributeValue(poSigner) : nullptr;
    return poToken ? QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(poToken)), ASN1_STRING_length(poToken))
                   : QByteArray();
}

QList<QByteArray> cmsCertificates(const QByteArray &v_oCms)
{
    QList<QByteArray> oCerts;
    CmsPtr poCms = parseCms(v_oCms);
    STACK_OF(X509) *poStack = poCms ? CMS_get1_certs(poCms.get()) : nullptr;
    for (int i = 0; i < sk_X509_num(poStack); ++i)
        oCerts += certDer(sk_X509_value(poStack, i));
    sk_X509_pop_free(poStack, X509_free);
    return oCerts;
}

QByteArray cmsSignerCertificate(const QByteArray &v_oCms)
{
    CmsPtr poCms = parseCms(v_oCms);
    CMS_SignerInfo *poSigner = poCms ? firstSigner(poCms.get()) : nullptr;
    STACK_OF(X509) *poStack = poSigner ? CMS_get1_certs(poCms.get()) : nullptr;
    QByteArray oDer;
    for (int i = 0; i < sk_X509_num(poStack) && oDer.isEmpty(); ++i) {
        if (CMS_SignerInfo_cert_cmp(poSigner, sk_X509_value(poStack, i)) == 0)
            oDer = certDer(sk_X509_value(poStack, i));
    }
    sk_X509_pop_free(poStack, X509_free);
    ERR_clear_error();
    return oDer;
}

QByteArray cmsWithTimestamp(const QByteArray &v_oCms, const QByteArray &v_oToken)
{
    CmsPtr poCms = parseCms(v_oCms);
    CMS_SignerInfo *poSigner = poCms ? firstSigner(poCms.get()) : nullptr;
    if (!poSigner)
        throw cmsError("not a signature of one signer");
    if (CMS_unsigned_add1_attr_by_NID(poSigner, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                      v_oToken.constData(), v_oToken.size())
        != 1)
        throw cmsError("timestamp attribute");
    return encode(poCms.get());
}

QByteArray cmsWithValidationData(const QByteArray &v_oCms, const ValidationData &v_oData)
{
    CmsPtr poCms = parseCms(v_oCms);
    if (!poCms)
        throw cmsError("not a signature");
    const QList<QByteArray> oPresent = cmsCertificates(v_oCms);
    for (const QByteArray &oCert : v_oData.certificates) {
        if (oPresent.contains(oCert))
            continue;
        const unsigned char *pData = reinterpret_cast<const unsigned char *>(oCert.constData());
        X509Ptr poCert(d2i_X509(nullptr, &pData, oCert.size()));
        if (!poCert || CMS_add1_cert(poCms.get(), poCert.get()) != 1)
            throw cmsError("certificates");
    }
    for (const QByteArray &oCrl : v_oData.crls) {
        const unsigned char *pData = reinterpret_cast<const unsigned char *>(oCrl.constData());
        CrlPtr poCrl(d2i_X509_CRL(nullptr, &pData, oCrl.size()));
        if (!poCrl || CMS_add1_crl(poCms.get(), poCrl.get()) != 1)
            throw cmsError("CRLs");
    }
    return withOcspResponses(encode(poCms.get()), v_oData.ocspResponses);
}

QByteArray timestampCms(const QByteArray &v_oCms, DigestAlgorithm v_eAlgorithm, const SigningConfig &v_oConfig,
                        const TrustAnchors &v_oAnchors)
{
    const QByteArray oValue = cmsSignatureValue(v_oCms);
    if (oValue.isEmpty())
        throw cmsError("no signature value");
    const QByteArray oToken = fetchTimestamp(v_eAlgorithm, hashBytes(v_eAlgorithm, oValue), v_oConfig, v_oAnchors);
    return cmsWithTimestamp(v_oCms, oToken);
}

ValidationData timestampValidationData(const QByteArray &v_oCms, const SigningConfig &v_oConfig,
                                       const TrustAnchors &v_oAnchors)
{
    const QByteArray oToken = cmsTimestampToken(v_oCms);
    const QByteArray oTsa = cmsSignerCertificate(oToken);
    if (oTsa.isEmpty())
        throw SignerError("TSA_BAD_RESPONSE", QStringLiteral("The timestamp token does not carry its signer's certificate."));
    return collectValidationData(oTsa, cmsCertificates(oToken), v_oConfig, v_oAnchors);
}

QByteArray signDetachedCades(const QByteArray &v_oCertDer, DigestAlgorithm v_eAlgorithm, SignatureScheme v_eScheme,
                             const QByteArray &v_oDigest, SignatureLevel v_eLevel, const SignFunction &v_oSign,
                             const SigningConfig &v_oConfig)
{
    if (v_eLevel == SignatureLevel::BaselineB)
        return buildDetachedCms(v_oCertDer, v_eAlgorithm, v_eScheme, v_oDigest, v_oSign);
    requireTimestampAuthority(v_oConfig);
    const TrustAnchors oAnchors = TrustAnchors::load(v_oConfig);
    ValidationData oData;
    if (v_eLevel == SignatureLevel::BaselineLT)
        oData = collectValidationData(v_oCertDer, {}, v_oConfig, oAnchors);
    QByteArray oCms = buildDetachedCms(v_oCertDer, v_eAlgorithm, v_eScheme, v_oDigest, v_oSign);
    oCms = timestampCms(oCms, v_eAlgorithm, v_oConfig, oAnchors);
    if (v_eLevel == SignatureLevel::BaselineLT) {
        oData.add(timestampValidationData(oCms, v_oConfig, oAnchors));
        oCms = cmsWithValidationData(oCms, oData);
    }
    return oCms;
}
