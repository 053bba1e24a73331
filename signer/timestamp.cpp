#include "timestamp.h"

#include "httpfetch.h"
#include "pkcs11token.h"
#include "signingconfig.h"

#include <QUrl>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *v_poObject) const { Free(v_poObject); }
};
using TsReqPtr = std::unique_ptr<TS_REQ, Deleter<TS_REQ, TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Deleter<TS_RESP, TS_RESP_free>>;
using TsVerifyPtr = std::unique_ptr<TS_VERIFY_CTX, Deleter<TS_VERIFY_CTX, TS_VERIFY_CTX_free>>;

// A TSA's clock may differ from ours by this much.
constexpr long kClockSlackSeconds = 15 * 60;

const EVP_MD *evpDigest(DigestAlgorithm v_eAlgorithm)
{
    switch (v_eAlgorithm) {
    case DigestAlgorithm::Sha256: return EVP_sha256();
    case DigestAlgorithm::Sha384: return EVP_sha384();
    case DigestAlgorithm::Sha512: return EVP_sha512();
    }
    return EVP_sha256();
}

SignerError bad(const QString &v_oWhat)
{
    ERR_clear_error();
    return SignerError("TSA_BAD_RESPONSE", QStringLiteral("The timestamp authority's reply %1.").arg(v_oWhat));
}

TsReqPtr buildRequest(const TimestampRequest &v_oRequest)
{
    TsReqPtr poRequest(TS_REQ_new());
    TS_MSG_IMPRINT *poImprint = TS_MSG_IMPRINT_new();
    X509_ALGOR *poAlgorithm = X509_ALGOR_new();
    ASN1_INTEGER *poNonce = nullptr;
    BIGNUM *poNonceBn = BN_bin2bn(reinterpret_cast<const unsigned char *>(v_oRequest.nonce.constData()),
                                  v_oRequest.nonce.size(), nullptr);
    if (poNonceBn)
        poNonce = BN_to_ASN1_INTEGER(poNonceBn, nullptr);
    BN_free(poNonceBn);
    ASN1_OBJECT *poPolicy = v_oRequest.policy.isEmpty() ? nullptr : OBJ_txt2obj(v_oRequest.policy.constData(), 1);
    QByteArray oImprint = v_oRequest.imprint;
    const bool bOk = poRequest && poImprint && poAlgorithm && poNonce
                     && (v_oRequest.policy.isEmpty() || poPolicy) && TS_REQ_set_version(poRequest.get(), 1) == 1
                     && X509_ALGOR_set0(poAlgorithm, OBJ_nid2obj(EVP_MD_get_type(evpDigest(v_oRequest.algorithm))),
                                        V_ASN1_NULL, nullptr)
                            == 1
                     && TS_MSG_IMPRINT_set_algo(poImprint, poAlgorithm) == 1
                     && TS_MSG_IMPRINT_set_msg(poImprint, reinterpret_cast<unsigned char *>(oImprint.data()),
                                               oImprint.size())
                            == 1
                     && TS_REQ_set_msg_imprint(poRequest.get(), poImprint) == 1
                     && TS_REQ_set_nonce(poRequest.get(), poNonce) == 1
                     && TS_REQ_set_cert_req(poRequest.get(), 1) == 1
                     && (!poPolicy || TS_REQ_set_policy_id(poRequest.get(), poPolicy) == 1);
    X509_ALGOR_free(poAlgorithm);
    TS_MSG_IMPRINT_free(poImprint);
    ASN1_INTEGER_free(poNonce);
    ASN1_OBJECT_free(poPolicy);
    if (!bOk) {
        ERR_clear_error();
        throw SignerError("TSA_BAD_RESPONSE", QStringLiteral("The timestamp request cannot be built."));
    }
    return poRequest;
}

QString statusText(TS_RESP *v_poReply)
{
    TS_STATUS_INFO *poInfo = TS_RESP_get_status_info(v_poReply);
    QString oText;
    if (const STACK_OF(ASN1_UTF8STRING) *poTexts = TS_STATUS_INFO_get0_text(poInfo)) {
        for (int i = 0; i < sk_ASN1_UTF8STRING_num(poTexts) && i < 4; ++i) {
            const ASN1_UTF8STRING *poText = sk_ASN1_UTF8STRING_value(poTexts, i);
            oText += QString::fromUtf8(reinterpret_cast<const char *>(ASN1_STRING_get0_data(poText)),
                                       qMin(ASN1_STRING_length(poText), 200))
                         .simplified();
        }
    }
    return oText;
}

} // namespace

TimestampRequest makeTimestampRequest(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oImprint,
                                      const QByteArray &v_oPolicy)
{
    TimestampRequest oRequest;
    oRequest.algorithm = v_eAlgorithm;
    oRequest.imprint = v_oImprint;
    oRequest.policy = v_oPolicy;
    oRequest.nonce.resize(8);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(oRequest.nonce.data()), oRequest.nonce.size()) != 1)
        throw SignerError("TSA_BAD_RESPONSE", QStringLiteral("No random nonce for the timestamp request."));
    oRequest.nonce[0] = char(oRequest.nonce[0] | 0x40); // eight significant bytes, positive
    oRequest.nonce[0] = char(oRequest.nonce[0] & 0x7f);
    TsReqPtr poRequest = buildRequest(oRequest);
    unsigned char *pDer = nullptr;
    const int iLength = i2d_TS_REQ(poRequest.get(), &pDer);
    if (iLength <= 0)
        throw SignerError("TSA_BAD_RESPONSE", QStringLiteral("The timestamp request cannot be encoded."));
    oRequest.der = QByteArray(reinterpret_cast<const char *>(pDer), iLength);
    OPENSSL_free(pDer);
    return oRequest;
}

QByteArray checkTimestampReply(const QByteArray &v_oReply, const TimestampRequest &v_oRequest,
                               const TrustAnchors &v_oAnchors, std::time_t v_iNow)
{
    const unsigned char *pData = reinterpret_cast<const unsigned char *>(v_oReply.constData());
    TsRespPtr poReply(d2i_TS_RESP(nullptr, &pData, v_oReply.size()));
    if (!poReply || pData != reinterpret_cast<const unsigned char *>(v_oReply.constData()) + v_oReply.size())
        throw bad(QStringLiteral("is not a timestamp response"));
    const long iStatus = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(poReply.get())));
    if (iStatus != 0 && iStatus != 1) {
        const QString oText = statusText(poReply.get());
        throw SignerError("TSA_REFUSED", QStringLiteral("The timestamp authority refused the request (status %1%2).")
                                             .arg(iStatus)
                                             .arg(oText.isEmpty() ? QString() : QStringLiteral(": ") + oText));
    }
    if (!TS_RESP_get_token(poReply.get()) || !TS_RESP_get_tst_info(poReply.get()))
        throw bad(QStringLiteral("grants but carries no token"));

    // Imprint, nonce, version, policy (when we asked for one), the signature
    // and the signer's certificate; the context takes references of its own.
    TsReqPtr poRequest = buildRequest(v_oRequest);
    TsVerifyPtr poVerify(TS_REQ_to_TS_VERIFY_CTX(poRequest.get(), nullptr));
    if (!poVerify || X509_STORE_up_ref(v_oAnchors.store()) != 1)
        throw bad(QStringLiteral("cannot be checked"));
    TS_VERIFY_CTX_set_store(poVerify.get(), v_oAnchors.store());
    if (sk_X509_num(v_oAnchors.intermediates()) > 0)
        TS_VERIFY_CTX_set_certs(poVerify.get(), X509_chain_up_ref(v_oAnchors.intermediates()));
    TS_VERIFY_CTX_add_flags(poVerify.get(), TS_VFY_SIGNATURE | TS_VFY_SIGNER);
    if (TS_RESP_verify_response(poVerify.get(), poReply.get()) != 1) {
        char aReason[256] = {0};
        ERR_error_string_n(ERR_peek_last_error(), aReason, sizeof aReason);
        throw bad(QStringLiteral("does not pass its checks (%1)").arg(QString::fromLatin1(aReason)));
    }

    const ASN1_GENERALIZEDTIME *poTime = TS_TST_INFO_get_time(TS_RESP_get_tst_info(poReply.get()));
    struct tm oTm {};
    if (!poTime || ASN1_TIME_to_tm(poTime, &oTm) != 1)
        throw bad(QStringLiteral("has no valid time"));
    const std::time_t iTime = timegm(&oTm);
    if (iTime < v_iNow - kClockSlackSeconds || iTime > v_iNow + kClockSlackSeconds)
        throw bad(QStringLiteral("has a time more than %1 minutes from ours").arg(kClockSlackSeconds / 60));

    unsigned char *pToken = nullptr;
    const int iLength = i2d_PKCS7(TS_RESP_get_token(poReply.get()), &pToken);
    if (iLength <= 0)
        throw bad(QStringLiteral("has a token that cannot be encoded"));
    QByteArray oToken(reinterpret_cast<const char *>(pToken), iLength);
    OPENSSL_free(pToken);
    ERR_clear_error();
    return oToken;
}

QByteArray fetchTimestamp(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oImprint, const SigningConfig &v_oConfig,
                          const TrustAnchors &v_oAnchors)
{
    if (v_oConfig.tsaUrls.isEmpty())
        throw SignerError("TSA_NOT_CONFIGURED",
                          QStringLiteral("No timestamp authority is configured ([signing] tsaUrl)."));
    const FetchLimits oLimits{v_oConfig.connectTimeoutMs, v_oConfig.requestTimeoutMs, v_oConfig.maxReplyBytes};
    std::unique_ptr<SignerError> poLast;
    for (const QString &oUrl : v_oConfig.tsaUrls) {
        try {
            const TimestampRequest oRequest = makeTimestampRequest(v_eAlgorithm, v_oImprint, v_oConfig.tsaPolicy);
            const QByteArray oReply =
                httpFetch(QUrl(oUrl), "application/timestamp-query", oRequest.der, oLimits);
            return checkTimestampReply(oReply, oRequest, v_oAnchors, std::time(nullptr));
        } catch (const FetchError &oError) {
            const char *pCode = oError.kind() == FetchError::Unreachable ? "TSA_UNREACHABLE"
                                : oError.kind() == FetchError::Refused   ? "TSA_REFUSED"
                                                                         : "TSA_BAD_RESPONSE";
            poLast = std::make_unique<SignerError>(
                pCode, QStringLiteral("The timestamp authority did not answer: %1").arg(oError.message()));
        } catch (const SignerError &oError) {
            poLast = std::make_unique<SignerError>(oError);
        }
    }
    throw *poLast;
}
