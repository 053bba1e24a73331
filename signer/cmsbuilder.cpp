#include "cmsbuilder.h"

#include "pkcs11token.h"

#include <QDateTime>
#include <QJsonArray>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *v_poObject) const { Free(v_poObject); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

X509Ptr parseCertificate(const QByteArray &v_oDer)
{
    const unsigned char *pData = reinterpret_cast<const unsigned char *>(v_oDer.constData());
    return X509Ptr(d2i_X509(nullptr, &pData, v_oDer.size()));
}

QString nameText(const X509_NAME *v_poName)
{
    BioPtr poBio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(poBio.get(), v_poName, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char *pData = nullptr;
    const long iLength = BIO_get_mem_data(poBio.get(), &pData);
    return QString::fromUtf8(pData, static_cast<int>(iLength));
}

QString commonName(const X509_NAME *v_poName)
{
    const int iIndex = X509_NAME_get_index_by_NID(v_poName, NID_commonName, -1);
    if (iIndex < 0)
        return QString();
    const ASN1_STRING *poData = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(v_poName, iIndex));
    unsigned char *pUtf8 = nullptr;
    const int iLength = ASN1_STRING_to_UTF8(&pUtf8, poData);
    if (iLength < 0)
        return QString();
    const QString oName = QString::fromUtf8(reinterpret_cast<const char *>(pUtf8), iLength);
    OPENSSL_free(pUtf8);
    return oName;
}

QString isoTime(const ASN1_TIME *v_poTime)
{
    struct tm oTm {};
    if (!v_poTime || ASN1_TIME_to_tm(v_poTime, &oTm) != 1)
        return QString();
    const QDateTime oTime(QDate(oTm.tm_year + 1900, oTm.tm_mon + 1, oTm.tm_mday),
                          QTime(oTm.tm_hour, oTm.tm_min, oTm.tm_sec), Qt::UTC);
    return oTime.toString(Qt::ISODate);
}

const EVP_MD *evpDigest(DigestAlgorithm v_eAlgorithm)
{
    switch (v_eAlgorithm) {
    case DigestAlgorithm::Sha256: return EVP_sha256();
    case DigestAlgorithm::Sha384: return EVP_sha384();
    case DigestAlgorithm::Sha512: return EVP_sha512();
    }
    return nullptr;
}

QByteArray i2dBytes(const X509_ATTRIBUTE *v_poAttribute)
{
    unsigned char *pOut = nullptr;
    const int iLength = i2d_X509_ATTRIBUTE(const_cast<X509_ATTRIBUTE *>(v_poAttribute), &pOut);
    if (iLength <= 0)
        return QByteArray();
    QByteArray oBytes(reinterpret_cast<const char *>(pOut), iLength);
    OPENSSL_free(pOut);
    return oBytes;
}

QByteArray derLength(int v_iLength)
{
    if (v_iLength < 0x80)
        return QByteArray(1, static_cast<char>(v_iLength));
    QByteArray oBytes;
    for (int i = v_iLength; i > 0; i >>= 8)
        oBytes.prepend(static_cast<char>(i & 0xff));
    oBytes.prepend(static_cast<char>(0x80 | oBytes.size()));
    return oBytes;
}

// The signed attributes as the signature covers them: a DER SET OF, its
// elements ordered by their encodings.
QByteArray signedAttributesDer(CMS_SignerInfo *v_poSigner)
{
    std::vector<QByteArray> oElements;
    const int iCount = CMS_signed_get_attr_count(v_poSigner);
    for (int i = 0; i < iCount; ++i)
        oElements.push_back(i2dBytes(CMS_signed_get_attr(v_poSigner, i)));
    std::sort(oElements.begin(), oElements.end());
    QByteArray oContent;
    for (const QByteArray &oElement : oElements)
        oContent += oElement;
    return QByteArray(1, '\x31') + derLength(oContent.size()) + oContent;
}

// RSASSA-PSS parameters: the hash, MGF1 with the same hash, salt = hash length.
bool setPssAlgorithm(CMS_SignerInfo *v_poSigner, const EVP_MD *v_poMd)
{
    X509_ALGOR *poSignature = nullptr;
    CMS_SignerInfo_get0_algs(v_poSigner, nullptr, nullptr, nullptr, &poSignature);
    RSA_PSS_PARAMS *poParams = RSA_PSS_PARAMS_new();
    X509_ALGOR *poHash = X509_ALGOR_new();
    X509_ALGOR_set_md(poHash, v_poMd);
    ASN1_STRING *poHashDer = nullptr;
    ASN1_item_pack(poHash, ASN1_ITEM_rptr(X509_ALGOR), &poHashDer);
    poParams->hashAlgorithm = poHash;
    poParams->maskGenAlgorithm = X509_ALGOR_new();
    X509_ALGOR_set0(poParams->maskGenAlgorithm, OBJ_nid2obj(NID_mgf1), V_ASN1_SEQUENCE, poHashDer);
    poParams->saltLength = ASN1_INTEGER_new();
    ASN1_INTEGER_set(poParams->saltLength, EVP_MD_get_size(v_poMd));
    ASN1_STRING *poEncoded = nullptr;
    const bool bOk = ASN1_item_pack(poParams, ASN1_ITEM_rptr(RSA_PSS_PARAMS), &poEncoded) != nullptr;
    RSA_PSS_PARAMS_free(poParams);
    return bOk && X509_ALGOR_set0(poSignature, OBJ_nid2obj(NID_rsassaPss), V_ASN1_SEQUENCE, poEncoded) == 1;
}

} // namespace

bool parseDigestAlgorithm(const QByteArray &v_oName, DigestAlgorithm *v_peAlgorithm)
{
    const QByteArray oName = v_oName.toUpper().replace("-", "");
    if (oName == "SHA256")
        *v_peAlgorithm = DigestAlgorithm::Sha256;
    else if (oName == "SHA384")
        *v_peAlgorithm = DigestAlgorithm::Sha384;
    else if (oName == "SHA512")
        *v_peAlgorithm = DigestAlgorithm::Sha512;
    else
        return false;
    return true;
}

int digestLength(DigestAlgorithm v_eAlgorithm)
{
    return EVP_MD_get_size(evpDigest(v_eAlgorithm));
}

QByteArray hashBytes(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oData)
{
    unsigned char aOut[EVP_MAX_MD_SIZE];
    unsigned int uiLength = 0;
    EVP_Digest(v_oData.constData(), static_cast<size_t>(v_oData.size()), aOut, &uiLength, evpDigest(v_eAlgorithm),
               nullptr);
    return QByteArray(reinterpret_cast<const char *>(aOut), static_cast<int>(uiLength));
}

QByteArray digestInfo(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oDigest)
{
    // AlgorithmIdentifier with NULL parameters, then the digest as OCTET STRING.
    static const QByteArray kSha256 = QByteArray::fromHex("3031300d060960864801650304020105000420");
    static const QByteArray kSha384 = QByteArray::fromHex("3041300d060960864801650304020205000430");
    static const QByteArray kSha512 = QByteArray::fromHex("3051300d060960864801650304020305000440");
    switch (v_eAlgorithm) {
    case DigestAlgorithm::Sha256: return kSha256 + v_oDigest;
    case DigestAlgorithm::Sha384: return kSha384 + v_oDigest;
    case DigestAlgorithm::Sha512: return kSha512 + v_oDigest;
    }
    return QByteArray();
}

CertificateFacts certificateFacts(const QByteArray &v_oDer)
{
    CertificateFacts oFacts;
    X509Ptr poCert = parseCertificate(v_oDer);
    if (!poCert)
        return oFacts;
    EVP_PKEY *poKey = X509_get0_pubkey(poCert.get());
    if (!poKey)
        return oFacts;
    oFacts.valid = true;
    oFacts.keyBits = EVP_PKEY_get_bits(poKey);
    QJsonObject oKey;
    switch (EVP_PKEY_get_base_id(poKey)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
        oFacts.keyType = QStringLiteral("RSA");
        break;
    case EVP_PKEY_EC: {
        oFacts.keyType = QStringLiteral("EC");
        char aGroup[64] = {0};
        size_t uLength = 0;
        if (EVP_PKEY_get_utf8_string_param(poKey, OSSL_PKEY_PARAM_GROUP_NAME, aGroup, sizeof aGroup, &uLength) == 1) {
            const QByteArray oGroup(aGroup);
            oFacts.curve = oGroup == "prime256v1" ? QStringLiteral("P-256")
                           : oGroup == "secp384r1" ? QStringLiteral("P-384")
                           : oGroup == "secp521r1" ? QStringLiteral("P-521")
                                                   : QString::fromLatin1(oGroup);
        }
        oKey.insert(QStringLiteral("curve"), oFacts.curve);
        break;
    }
    default:
        oFacts.keyType = QString::fromLatin1(OBJ_nid2sn(EVP_PKEY_get_base_id(poKey)));
    }
    oKey.insert(QStringLiteral("type"), oFacts.keyType);
    oKey.insert(QStringLiteral("bits"), oFacts.keyBits);

    QJsonArray oUsage;
    const uint32_t uiUsage = X509_get_key_usage(poCert.get());
    if (uiUsage != UINT32_MAX) {
        const std::pair<uint32_t, const char *> kNames[] = {
            {KU_DIGITAL_SIGNATURE, "digitalSignature"}, {KU_NON_REPUDIATION, "nonRepudiation"},
            {KU_KEY_ENCIPHERMENT, "keyEncipherment"},   {KU_DATA_ENCIPHERMENT, "dataEncipherment"},
            {KU_KEY_AGREEMENT, "keyAgreement"},         {KU_KEY_CERT_SIGN, "keyCertSign"},
            {KU_CRL_SIGN, "cRLSign"},                   {KU_ENCIPHER_ONLY, "encipherOnly"},
            {KU_DECIPHER_ONLY, "decipherOnly"}};
        for (const auto &oName : kNames) {
            if (uiUsage & oName.first)
                oUsage.append(QString::fromLatin1(oName.second));
        }
    }

    QString oSerial;
    if (BIGNUM *poSerial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(poCert.get()), nullptr)) {
        char *pHex = BN_bn2hex(poSerial);
        oSerial = QString::fromLatin1(pHex).toLower();
        OPENSSL_free(pHex);
        BN_free(poSerial);
    }
    oFacts.subjectCommonName = commonName(X509_get_subject_name(poCert.get()));
    oFacts.json.insert(QStringLiteral("subject"), nameText(X509_get_subject_name(poCert.get())));
    oFacts.json.insert(QStringLiteral("subjectCommonName"), oFacts.subjectCommonName);
    oFacts.json.insert(QStringLiteral("issuer"), nameText(X509_get_issuer_name(poCert.get())));
    oFacts.json.insert(QStringLiteral("serialNumber"), oSerial);
    oFacts.json.insert(QStringLiteral("notBefore"), isoTime(X509_get0_notBefore(poCert.get())));
    oFacts.json.insert(QStringLiteral("notAfter"), isoTime(X509_get0_notAfter(poCert.get())));
    oFacts.json.insert(QStringLiteral("key"), oKey);
    oFacts.json.insert(QStringLiteral("keyUsage"), oUsage);
    return oFacts;
}

QByteArray ecdsaRawToDer(const QByteArray &v_oRaw)
{
    if (v_oRaw.isEmpty() || v_oRaw.size() % 2 != 0)
        return QByteArray();
    const int iHalf = v_oRaw.size() / 2;
    const auto *pData = reinterpret_cast<const unsigned char *>(v_oRaw.constData());
    EcdsaSigPtr poSig(ECDSA_SIG_new());
    BIGNUM *poR = BN_bin2bn(pData, iHalf, nullptr);
    BIGNUM *poS = BN_bin2bn(pData + iHalf, iHalf, nullptr);
    if (!poSig || !poR || !poS || ECDSA_SIG_set0(poSig.get(), poR, poS) != 1) {
        BN_free(poR);
        BN_free(poS);
        return QByteArray();
    }
    unsigned char *pOut = nullptr;
    const int iLength = i2d_ECDSA_SIG(poSig.get(), &pOut);
    if (iLength <= 0)
        return QByteArray();
    QByteArray oDer(reinterpret_cast<const char *>(pOut), iLength);
    OPENSSL_free(pOut);
    return oDer;
}

QByteArray buildDetachedCms(const QByteArray &v_oCertDer, DigestAlgorithm v_eAlgorithm, SignatureScheme v_eScheme,
                            const QByteArray &v_oDigest,
                            const std::function<QByteArray(const QByteArray &)> &v_oSignAttributes,
                            const CmsOptions &v_oOptions)
{
    const auto fail = [](const char *v_pStep) {
        return SignerError("CMS_ERROR", QStringLiteral("Cannot build the CMS signature: %1").arg(QLatin1String(v_pStep)));
    };
    X509Ptr poCert = parseCertificate(v_oCertDer);
    if (!poCert)
        throw fail("certificate");
    const EVP_MD *poMd = evpDigest(v_eAlgorithm);
    const unsigned int uiFlags = CMS_PARTIAL | CMS_DETACHED | CMS_BINARY;
    CmsPtr poCms(CMS_sign(nullptr, nullptr, nullptr, nullptr, uiFlags));
    if (!poCms)
        throw fail("SignedData");
    // The signer is added with the certificate's public key: nothing is signed
    // here (CMS_PARTIAL); the token signs the attributes below. CMS_CADES adds
    // the signing certificate v2 attribute.
    CMS_SignerInfo *poSigner = CMS_add1_signer(poCms.get(), poCert.get(), X509_get0_pubkey(poCert.get()), poMd,
                                               uiFlags | CMS_CADES | CMS_NOSMIMECAP);
    if (!poSigner)
        throw fail("signer");
    if (v_eScheme == SignatureScheme::RsaPss && !setPssAlgorithm(poSigner, poMd))
        throw fail("RSASSA-PSS parameters");
    for (const QByteArray &oExtra : v_oOptions.certificates) {
        X509Ptr poExtra = parseCertificate(oExtra);
        if (!poExtra || X509_cmp(poExtra.get(), poCert.get()) == 0)
            continue;
        if (CMS_add1_cert(poCms.get(), poExtra.get()) != 1)
            throw fail("certificates");
    }

    bool bAttributes =
        CMS_signed_add1_attr_by_NID(poSigner, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data), -1)
        == 1;
    if (v_oOptions.signingTime) {
        ASN1_TIME *poNow = X509_gmtime_adj(nullptr, 0);
        bAttributes = bAttributes
                      && CMS_signed_add1_attr_by_NID(poSigner, NID_pkcs9_signingTime, ASN1_STRING_type(poNow), poNow, -1)
                             == 1;
        ASN1_TIME_free(poNow);
    }
    bAttributes = bAttributes
                  && CMS_signed_add1_attr_by_NID(poSigner, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                                 v_oDigest.constData(), v_oDigest.size())
                         == 1;
    if (!bAttributes)
        throw fail("signed attributes");

    QByteArray oSignature = v_oSignAttributes(signedAttributesDer(poSigner));
    if (v_eScheme == SignatureScheme::Ecdsa)
        oSignature = ecdsaRawToDer(oSignature);
    if (oSignature.isEmpty())
        throw fail("signature");
    ASN1_OCTET_STRING *poValue = CMS_SignerInfo_get0_signature(poSigner);
    if (!poValue || ASN1_STRING_set(poValue, oSignature.constData(), oSignature.size()) != 1)
        throw fail("signature value");

    unsigned char *pOut = nullptr;
    const int iLength = i2d_CMS_ContentInfo(poCms.get(), &pOut);
    if (iLength <= 0)
        throw fail("encoding");
    QByteArray oDer(reinterpret_cast<const char *>(pOut), iLength);
    OPENSSL_free(pOut);
    return oDer;
}
