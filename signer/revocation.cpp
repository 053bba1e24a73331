#include "revocation.h"

#include "httpfetch.h"
#include "pkcs11token.h"
#include "signingconfig.h"

#include <QStringList>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *v_poObject) const { Free(v_poObject); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;
using OcspResponsePtr = std::unique_ptr<OCSP_RESPONSE, Deleter<OCSP_RESPONSE, OCSP_RESPONSE_free>>;
using OcspBasicPtr = std::unique_ptr<OCSP_BASICRESP, Deleter<OCSP_BASICRESP, OCSP_BASICRESP_free>>;
using OcspRequestPtr = std::unique_ptr<OCSP_REQUEST, Deleter<OCSP_REQUEST, OCSP_REQUEST_free>>;
using OcspIdPtr = std::unique_ptr<OCSP_CERTID, Deleter<OCSP_CERTID, OCSP_CERTID_free>>;
using StorePtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

struct CertStackFree
{
    void operator()(STACK_OF(X509) *v_poStack) const { sk_X509_pop_free(v_poStack, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

// Answers may be this far ahead of our clock.
constexpr long kClockSlackSeconds = 5 * 60;

SignerError unavailable(const QString &v_oWhy)
{
    ERR_clear_error();
    return SignerError("REVOCATION_UNAVAILABLE", v_oWhy);
}

QByteArray der(X509 *v_poCert)
{
    unsigned char *pOut = nullptr;
    const int iLength = i2d_X509(v_poCert, &pOut);
    if (iLength <= 0)
        return QByteArray();
    QByteArray oDer(reinterpret_cast<const char *>(pOut), iLength);
    OPENSSL_free(pOut);
    return oDer;
}

X509Ptr parseCertificate(const QByteArray &v_oDer)
{
    const unsigned char *pData = reinterpret_cast<const unsigned char *>(v_oDer.constData());
    return X509Ptr(d2i_X509(nullptr, &pData, v_oDer.size()));
}

QString subjectOf(X509 *v_poCert)
{
    char aName[256] = {0};
    X509_NAME_oneline(X509_get_subject_name(v_poCert), aName, sizeof aName);
    return QString::fromUtf8(aName);
}

// Whether v_poTime is at most v_iSlack seconds after v_iNow (v_iSign 1) or
// at least v_iSlack before it (v_iSign -1).
int compareTime(const ASN1_TIME *v_poTime, std::time_t v_iNow)
{
    time_t iNow = v_iNow;
    return X509_cmp_time(v_poTime, &iNow); // -1 before, 1 after, 0 error
}

bool notInFuture(const ASN1_TIME *v_poTime, std::time_t v_iNow)
{
    return v_poTime && compareTime(v_poTime, v_iNow + kClockSlackSeconds) < 0;
}

bool notExpired(const ASN1_TIME *v_poTime, std::time_t v_iNow)
{
    return v_poTime && compareTime(v_poTime, v_iNow - kClockSlackSeconds) > 0;
}

QStringList uris(X509 *v_poCert, bool v_bOcsp)
{
    QStringList oUris;
    if (v_bOcsp) {
        STACK_OF(OPENSSL_STRING) *poList = X509_get1_ocsp(v_poCert);
        for (int i = 0; i < sk_OPENSSL_STRING_num(poList); ++i)
            oUris += QString::fromLatin1(sk_OPENSSL_STRING_value(poList, i));
        X509_email_free(poList);
        return oUris;
    }
    auto *poPoints = static_cast<CRL_DIST_POINTS *>(
        X509_get_ext_d2i(v_poCert, NID_crl_distribution_points, nullptr, nullptr));
    for (int i = 0; i < sk_DIST_POINT_num(poPoints); ++i) {
        DIST_POINT *poPoint = sk_DIST_POINT_value(poPoints, i);
        if (!poPoint->distpoint || poPoint->distpoint->type != 0)
            continue;
        GENERAL_NAMES *poNames = poPoint->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(poNames); ++j) {
            GENERAL_NAME *poName = sk_GENERAL_NAME_value(poNames, j);
            if (poName->type == GEN_URI)
                oUris += QString::fromLatin1(reinterpret_cast<const char *>(ASN1_STRING_get0_data(poName->d.uniformResourceIdentifier)),
                                             ASN1_STRING_length(poName->d.uniformResourceIdentifier));
        }
    }
    CRL_DIST_POINTS_free(poPoints);
    return oUris;
}

bool isSelfIssued(X509 *v_poCert)
{
    return X509_check_issued(v_poCert, v_poCert) == X509_V_OK;
}

// A request for one certificate, with a fresh nonce.
OcspRequestPtr ocspRequest(X509 *v_poCert, X509 *v_poIssuer, const QByteArray &v_oNonce)
{
    OcspRequestPtr poRequest(OCSP_REQUEST_new());
    OCSP_CERTID *poId = OCSP_cert_to_id(EVP_sha1(), v_poCert, v_poIssuer);
    if (!poRequest || !poId || !OCSP_request_add0_id(poRequest.get(), poId)) {
        OCSP_CERTID_free(poId);
        throw unavailable(QStringLiteral("An OCSP request cannot be built."));
    }
    if (!v_oNonce.isEmpty()) {
        QByteArray oNonce = v_oNonce;
        if (OCSP_request_add1_nonce(poRequest.get(), reinterpret_cast<unsigned char *>(oNonce.data()), oNonce.size()) != 1)
            throw unavailable(QStringLiteral("An OCSP request cannot be built."));
    }
    return poRequest;
}

} // namespace

void ValidationData::add(const ValidationData &v_oOther)
{
    for (const QByteArray &oItem : v_oOther.certificates)
        if (!certificates.contains(oItem))
            certificates += oItem;
    for (const QByteArray &oItem : v_oOther.ocspResponses)
        if (!ocspResponses.contains(oItem))
            ocspResponses += oItem;
    for (const QByteArray &oItem : v_oOther.crls)
        if (!crls.contains(oItem))
            crls += oItem;
}

RevocationStatus checkOcspResponse(const QByteArray &v_oResponse, X509 *v_poCert, X509 *v_poIssuer,
                                   const QByteArray &v_oNonce, const TrustAnchors &v_oAnchors, std::time_t v_iNow,
                                   int v_iMaxAgeSeconds, QList<QByteArray> *v_poResponderCerts)
{
    const QString oWhose = subjectOf(v_poCert);
    const unsigned char *pData = reinterpret_cast<const unsigned char *>(v_oResponse.constData());
    OcspResponsePtr poResponse(d2i_OCSP_RESPONSE(nullptr, &pData, v_oResponse.size()));
    if (!poResponse)
        throw unavailable(QStringLiteral("The OCSP answer for %1 is not an OCSP response.").arg(oWhose));
    const int iStatus = OCSP_response_status(poResponse.get());
    if (iStatus != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        throw unavailable(QStringLiteral("The OCSP responder for %1 answered %2.")
                              .arg(oWhose, QString::fromLatin1(OCSP_response_status_str(iStatus))));
    OcspBasicPtr poBasic(OCSP_response_get1_basic(poResponse.get()));
    if (!poBasic)
        throw unavailable(QStringLiteral("The OCSP response for %1 has no basic response.").arg(oWhose));

    // Our nonce back, or none at all (a responder that pre-produces answers);
    // freshness is checked below either way.
    OcspRequestPtr poRequest = ocspRequest(v_poCert, v_poIssuer, v_oNonce);
    const int iNonce = OCSP_check_nonce(poRequest.get(), poBasic.get());
    if (iNonce != 1 && iNonce != -1 && iNonce != 2)
        throw unavailable(QStringLiteral("The OCSP response for %1 does not answer our request (nonce).").arg(oWhose));

    // The responder's signature, and its right to answer for the issuer: the
    // issuer itself or a responder the issuer delegated to.
    CertStackPtr poCerts(sk_X509_new_null());
    if (X509_up_ref(v_poIssuer) != 1 || !sk_X509_push(poCerts.get(), v_poIssuer))
        throw unavailable(QStringLiteral("Out of memory."));
    for (int i = 0; i < sk_X509_num(v_oAnchors.intermediates()); ++i) {
        X509 *poExtra = sk_X509_value(v_oAnchors.intermediates(), i);
        if (X509_up_ref(poExtra) == 1)
            sk_X509_push(poCerts.get(), poExtra);
    }
    if (OCSP_basic_verify(poBasic.get(), poCerts.get(), v_oAnchors.store(), 0) != 1) {
        char aReason[256] = {0};
        ERR_error_string_n(ERR_peek_last_error(), aReason, sizeof aReason);
        throw unavailable(QStringLiteral("The OCSP response for %1 does not verify (%2).")
                              .arg(oWhose, QString::fromLatin1(aReason)));
    }

    OcspIdPtr poId(OCSP_cert_to_id(EVP_sha1(), v_poCert, v_poIssuer));
    int iCertStatus = -1, iReason = -1;
    ASN1_GENERALIZEDTIME *poRevoked = nullptr, *poThis = nullptr, *poNext = nullptr;
    if (!poId
        || OCSP_resp_find_status(poBasic.get(), poId.get(), &iCertStatus, &iReason, &poRevoked, &poThis, &poNext) != 1)
        throw unavailable(QStringLiteral("The OCSP response does not name %1.").arg(oWhose));
    if (!notInFuture(poThis, v_iNow) || (poNext && !notExpired(poNext, v_iNow))
        || (!poNext && !notExpired(poThis, v_iNow - v_iMaxAgeSeconds + 2 * kClockSlackSeconds))
        || compareTime(poThis, v_iNow - v_iMaxAgeSeconds) < 0)
        throw unavailable(QStringLiteral("The OCSP response for %1 is not current.").arg(oWhose));

    if (v_poResponderCerts) {
        const STACK_OF(X509) *poSent = OCSP_resp_get0_certs(poBasic.get());
        for (int i = 0; i < sk_X509_num(poSent); ++i)
            v_poResponderCerts->append(der(sk_X509_value(poSent, i)));
    }
    ERR_clear_error();
    switch (iCertStatus) {
    case V_OCSP_CERTSTATUS_GOOD: return RevocationStatus::Good;
    case V_OCSP_CERTSTATUS_REVOKED: return RevocationStatus::Revoked;
    default: return RevocationStatus::Unknown;
    }
}

RevocationStatus checkCrl(const QByteArray &v_oCrl, X509 *v_poCert, X509 *v_poIssuer, std::time_t v_iNow)
{
    const QString oWhose = subjectOf(v_poIssuer);
    const unsigned char *pData = reinterpret_cast<const unsigned char *>(v_oCrl.constData());
    CrlPtr poCrl(d2i_X509_CRL(nullptr, &pData, v_oCrl.size()));
    if (!poCrl)
        throw unavailable(QStringLiteral("The CRL of %1 is not a DER CRL.").arg(oWhose));
    EVP_PKEY *poKey = X509_get0_pubkey(v_poIssuer);
    if (X509_NAME_cmp(X509_CRL_get_issuer(poCrl.get()), X509_get_subject_name(v_poIssuer)) != 0 || !poKey
        || X509_CRL_verify(poCrl.get(), poKey) != 1)
        throw unavailable(QStringLiteral("The CRL of %1 is not signed by it.").arg(oWhose));
    if (!notInFuture(X509_CRL_get0_lastUpdate(poCrl.get()), v_iNow)
        || !notExpired(X509_CRL_get0_nextUpdate(poCrl.get()), v_iNow))
        throw unavailable(QStringLiteral("The CRL of %1 is not current.").arg(oWhose));
    X509_REVOKED *poEntry = nullptr;
    const bool bRevoked = X509_CRL_get0_by_cert(poCrl.get(), &poEntry, v_poCert) == 1;
    ERR_clear_error();
    return bRevoked ? RevocationStatus::Revoked : RevocationStatus::Good;
}

ValidationData collectValidationData(const QByteArray &v_oCert, const QList<QByteArray> &v_oUntrusted,
                                     const SigningConfig &v_oConfig, const TrustAnchors &v_oAnchors)
{
    X509Ptr poCert = parseCertificate(v_oCert);
    if (!poCert)
        throw SignerError("CERTIFICATE_UNTRUSTED", QStringLiteral("The certificate cannot be read."));
    CertStackPtr poUntrusted(X509_chain_up_ref(v_oAnchors.intermediates()));
    if (!poUntrusted)
        poUntrusted.reset(sk_X509_new_null());
    for (const QByteArray &oDer : v_oUntrusted) {
        if (X509Ptr poExtra = parseCertificate(oDer))
            sk_X509_push(poUntrusted.get(), poExtra.release());
    }

    StorePtr poContext(X509_STORE_CTX_new());
    if (!poContext
        || X509_STORE_CTX_init(poContext.get(), v_oAnchors.store(), poCert.get(), poUntrusted.get()) != 1
        || X509_verify_cert(poContext.get()) != 1) {
        const int iError = poContext ? X509_STORE_CTX_get_error(poContext.get()) : X509_V_ERR_OUT_OF_MEM;
        ERR_clear_error();
        throw SignerError("CERTIFICATE_UNTRUSTED",
                          QStringLiteral("The certificate of %1 does not chain to a trusted authority: %2.")
                              .arg(subjectOf(poCert.get()), QString::fromLatin1(X509_verify_cert_error_string(iError))));
    }
    CertStackPtr poChain(X509_STORE_CTX_get1_chain(poContext.get()));

    ValidationData oData;
    const FetchLimits oLimits{v_oConfig.connectTimeoutMs, v_oConfig.requestTimeoutMs, v_oConfig.maxReplyBytes};
    const int iMaxAge = v_oConfig.ocspMaxAgeHours * 3600;
    const int iCount = sk_X509_num(poChain.get());
    for (int i = 0; i < iCount; ++i) {
        X509 *poSubject = sk_X509_value(poChain.get(), i);
        oData.certificates += der(poSubject);
        if (i + 1 >= iCount || isSelfIssued(poSubject))
            continue; // the anchor
        X509 *poIssuer = sk_X509_value(poChain.get(), i + 1);
        QStringList oTried;
        bool bKnown = false;
        for (const QString &oUri : uris(poSubject, true)) {
            const QUrl oUrl(oUri);
            if (!v_oConfig.revocationUrlAllowed(oUrl)) {
                oTried += QStringLiteral("%1 is not allowed").arg(oUri);
                continue;
            }
            try {
                QByteArray oNonce(16, '\0');
                RAND_bytes(reinterpret_cast<unsigned char *>(oNonce.data()), oNonce.size());
                OcspRequestPtr poRequest = ocspRequest(poSubject, poIssuer, oNonce);
                unsigned char *pRequest = nullptr;
                const int iLength = i2d_OCSP_REQUEST(poRequest.get(), &pRequest);
                const QByteArray oRequest(reinterpret_cast<const char *>(pRequest), qMax(iLength, 0));
                OPENSSL_free(pRequest);
                const QByteArray oReply = httpFetch(oUrl, "application/ocsp-request", oRequest, oLimits);
                QList<QByteArray> oResponderCerts;
                const RevocationStatus eStatus = checkOcspResponse(oReply, poSubject, poIssuer, oNonce, v_oAnchors,
                                                                   std::time(nullptr), iMaxAge, &oResponderCerts);
                if (eStatus == RevocationStatus::Revoked)
                    throw SignerError("REVOCATION_REVOKED",
                                      QStringLiteral("The certificate of %1 is revoked.").arg(subjectOf(poSubject)));
                if (eStatus == RevocationStatus::Good) {
                    oData.ocspResponses += oReply;
                    for (const QByteArray &oResponder : oResponderCerts)
                        if (!oData.certificates.contains(oResponder))
                            oData.certificates += oResponder;
                    bKnown = true;
                    break;
                }
                oTried += QStringLiteral("%1 does not know the certificate").arg(oUri);
            } catch (const FetchError &oError) {
                oTried += oError.message();
            } catch (const SignerError &oError) {
                if (oError.code() == "REVOCATION_REVOKED")
                    throw;
                oTried += messageOf(oError);
            }
        }
        for (const QString &oUri : bKnown ? QStringList() : uris(poSubject, false)) {
            const QUrl oUrl(oUri);
            if (!v_oConfig.revocationUrlAllowed(oUrl)) {
                oTried += QStringLiteral("%1 is not allowed").arg(oUri);
                continue;
            }
            try {
                FetchLimits oCrlLimits = oLimits;
                oCrlLimits.maxBytes = v_oConfig.maxCrlBytes;
                const QByteArray oCrl = httpFetch(oUrl, QByteArray(), QByteArray(), oCrlLimits);
                if (checkCrl(oCrl, poSubject, poIssuer, std::time(nullptr)) == RevocationStatus::Revoked)
                    throw SignerError("REVOCATION_REVOKED",
                                      QStringLiteral("The certificate of %1 is revoked.").arg(subjectOf(poSubject)));
                oData.crls += oCrl;
                bKnown = true;
                break;
            } catch (const FetchError &oError) {
                oTried += oError.message();
            } catch (const SignerError &oError) {
                if (oError.code() == "REVOCATION_REVOKED")
                    throw;
                oTried += messageOf(oError);
            }
        }
        if (!bKnown)
            throw unavailable(QStringLiteral("No revocation status for %1 (%2).")
                                  .arg(subjectOf(poSubject),
                                       oTried.isEmpty() ? QStringLiteral("it names no OCSP responder or CRL")
                                                        : oTried.join(QStringLiteral("; "))));
    }
    return oData;
}
