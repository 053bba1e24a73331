// libFuzzer target for what the signature levels accept from the network and
// from CMS structures: timestamp replies, OCSP responses and CRLs as the B-T
// and B-LT code checks them (signer/timestamp.h, signer/revocation.h), and
// the CMS extension with a timestamp and validation data (signer/cmslevels.h).
//
// Input layout: byte 0 picks the check (modulo 4): 0 a timestamp reply to the
// request below, 1 an OCSP response for the signer, 2 a CRL of the issuing
// CA, 3 a CMS to extend; the rest is the reply or CMS.
//
// The certificates, the request's imprint and nonce and the clock are those
// of the seed corpus, made once with the openssl command (a root, an issuing
// CA with a TSA and an OCSP responder; `openssl ts -query -digest 00..07
// -sha256 -cert`, `openssl ts -reply`, `openssl ocsp -reqin/-respout`,
// `openssl ca -gencrl`, `openssl cms -sign`), so that the seeds pass every
// check and mutations start from replies that do.
//
// Invariants: every failure is a SignerError with the codes of that check;
// an extended CMS reads back with what was added.

#include "fuzzsupport.h"

#include "cmslevels.h"
#include "pkcs11token.h"
#include "revocation.h"
#include "signingconfig.h"
#include "timestamp.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <set>
#include <string>

namespace {

const char *const kRootPem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBkDCCATWgAwIBAgIUSBGcvD5cjAn5m8/PgQIZAva3uFQwCgYIKoZIzj0EAwIw\n"
    "FDESMBAGA1UEAwwJRnV6eiBSb290MCAXDTI2MTIwODIyMjMwMloYDzIxMjYxMTE0\n"
    "MjIyMzAyWjAUMRIwEAYDVQQDDAlGdXp6IFJvb3QwWTATBgcqhkjOPQIBBggqhkjO\n"
    "PQMBBwNCAARvy4a8fKFmhWw8zQspuGk8rhDSuwLpY4KFJRdj5i9mnC2oTVhCytdb\n"
    "yGnhpscXl4IqcX+0/YNuJEAHVv+UdLnWo2MwYTAdBgNVHQ4EFgQUXOh4eU3tPPQi\n"
    "dEnQcrX+usdLS14wHwYDVR0jBBgwFoAUXOh4eU3tPPQidEnQcrX+usdLS14wDwYD\n"
    "VR0TAQH/BAUwAwEB/zAOBgNVHQ8BAf8EBAMCAQYwCgYIKoZIzj0EAwIDSQAwRgIh\n"
    "AMrYtRomVvGm2uf6E/YPOt2MkxflVmvA2PKSAzT24efYAiEAmXV9xm/RTHx8VGpz\n"
    "5ospV+uIJ9AKFo2Pht0ppqg6r+g=\n"
    "-----END CERTIFICATE-----\n";

const char *const kIssuingPem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBgTCCASigAwIBAgIBEDAKBggqhkjOPQQDAjAUMRIwEAYDVQQDDAlGdXp6IFJv\n"
    "b3QwIBcNMjYxMjA4MjIyMzAyWhgPMjEyNjExMTQyMjIzMDJaMBcxFTATBgNVBAMM\n"
    "DEZ1enogaXNzdWluZzBZMBMGByqGSM49AgEGCCqGSM49AwEHA0IABMdkDjtIQjJd\n"
    "lcE/+pfL387M8edI81SxC/Q/jjLt/muL0B74fkrCc0FileCyTo4PahvJOd1JPQQE\n"
    "Afd1pgbyuUKjZjBkMBIGA1UdEwEB/wQIMAYBAf8CAQAwDgYDVR0PAQH/BAQDAgEG\n"
    "MB0GA1UdDgQWBBS83C5m734N8iuCV5tApYzz1ITwDjAfBgNVHSMEGDAWgBRc6Hh5\n"
    "Te089CJ0SdBytf66x0tLXjAKBggqhkjOPQQDAgNHADBEAiB5kimTkJ6VZaaXUDaw\n"
    "YWHpqh9INJmXc4g315hAwYjdGQIgWQgfr+v8CcDPKVXU++73wb5GC9+bfUUS+Q+X\n"
    "v1KV4aE=\n"
    "-----END CERTIFICATE-----\n";

const char *const kSignerPem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBbzCCARagAwIBAgIBMDAKBggqhkjOPQQDAjAXMRUwEwYDVQQDDAxGdXp6IGlz\n"
    "c3VpbmcwIBcNMjYxMjA4MjIyMzAzWhgPMjEyNjExMTQyMjIzMDNaMBYxFDASBgNV\n"
    "BAMMC0Z1enogc2lnbmVyMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEO1Yd2AOg\n"
    "xb5AqL1gYocrNm0EiSjaYIUts89xYADJXwso8MYCl1EKMlAi+GYog1zYl/NfnEcc\n"
    "Co2by/mdZCYvDKNSMFAwDgYDVR0PAQH/BAQDAgbAMB0GA1UdDgQWBBTXolz+3KfB\n"
    "2Xd+wobKGK//Zi++ATAfBgNVHSMEGDAWgBS83C5m734N8iuCV5tApYzz1ITwDjAK\n"
    "BggqhkjOPQQDAgNHADBEAiBtAx9vLTZavZMYUqR9XgvOo8/cyul3x5B4dylD2VBy\n"
    "EgIgeQpxFbEFcUjJaAfk0TCQjiysHSc1PGWWxvAbdmeVjJU=\n"
    "-----END CERTIFICATE-----\n";

const char *const kRevokedPem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBcTCCARegAwIBAgIBMTAKBggqhkjOPQQDAjAXMRUwEwYDVQQDDAxGdXp6IGlz\n"
    "c3VpbmcwIBcNMjYxMjA4MjIyMzAzWhgPMjEyNjExMTQyMjIzMDNaMBcxFTATBgNV\n"
    "BAMMDEZ1enogcmV2b2tlZDBZMBMGByqGSM49AgEGCCqGSM49AwEHA0IABIWyJJdi\n"
    "CgDZClYX247s/52lAe0CXYo8M4y6qKKM61ixrh54YMJ1mWWxEVS0nDhYDccGm725\n"
    "KoxksJscDVOwSsqjUjBQMA4GA1UdDwEB/wQEAwIGwDAdBgNVHQ4EFgQUUosjiXsh\n"
    "M1MNGpYSQ+poOUExxnEwHwYDVR0jBBgwFoAUvNwuZu9+DfIrglebQKWM89SE8A4w\n"
    "CgYIKoZIzj0EAwIDSAAwRQIgQmtCML17vLQKQPvqu2QX8Nhjz5Pc/GZny7gPsf9U\n"
    "hXoCIQDhvDcJCxNdTIYoq3Cg40S3YL42E/+noAz+XyJOUhOzbg==\n"
    "-----END CERTIFICATE-----\n";

// When the seeds were made (UTC seconds).
constexpr std::time_t kSeedTime = 1796768583;
const QByteArray kNonce = QByteArray::fromHex("03DD707FDEF12A98");

X509 *certificate(const char *v_pPem)
{
    BIO *poBio = BIO_new_mem_buf(v_pPem, -1);
    X509 *poCert = PEM_read_bio_X509(poBio, nullptr, nullptr, nullptr);
    BIO_free(poBio);
    FUZZ_CHECK(poCert);
    return poCert;
}

QByteArray der(X509 *v_poCert)
{
    unsigned char *pOut = nullptr;
    const int iLength = i2d_X509(v_poCert, &pOut);
    QByteArray oDer(reinterpret_cast<const char *>(pOut), iLength);
    OPENSSL_free(pOut);
    return oDer;
}

struct Fixture
{
    TrustAnchors anchors = TrustAnchors::fromPem(kRootPem, kIssuingPem);
    X509 *issuing = certificate(kIssuingPem);
    X509 *signer = certificate(kSignerPem);
    X509 *revoked = certificate(kRevokedPem);
    TimestampRequest request;
    Fixture()
    {
        request.algorithm = DigestAlgorithm::Sha256;
        request.imprint = QByteArray(31, '\0') + '\x07';
        request.nonce = kNonce;
    }
};

const Fixture &fixture()
{
    static const Fixture oFixture;
    return oFixture;
}

void expectCodes(const SignerError &v_oError, std::set<std::string> v_oCodes)
{
    // QTX_FUZZ_VERBOSE=1 shows why an input is refused (to check the seeds).
    if (qEnvironmentVariableIsSet("QTX_FUZZ_VERBOSE"))
        std::fprintf(stderr, "%s\n", v_oError.what());
    FUZZ_CHECK(v_oCodes.count(v_oError.code().toStdString()) == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *v_pData, size_t v_uiSize)
{
    if (v_uiSize < 1)
        return 0;
    const Fixture &oFixture = fixture();
    const QByteArray oInput(reinterpret_cast<const char *>(v_pData + 1), int(v_uiSize - 1));
    switch (v_pData[0] % 4) {
    case 0:
        try {
            const QByteArray oToken = checkTimestampReply(oInput, oFixture.request, oFixture.anchors, kSeedTime);
            // What passed is a token whose signer the TSA's chain names.
            FUZZ_CHECK(!cmsSignerCertificate(oToken).isEmpty());
        } catch (const SignerError &oError) {
            expectCodes(oError, {"TSA_REFUSED", "TSA_BAD_RESPONSE"});
        }
        break;
    case 1:
        for (X509 *poCert : {oFixture.signer, oFixture.revoked}) {
            try {
                QList<QByteArray> oCerts;
                const RevocationStatus eStatus = checkOcspResponse(oInput, poCert, oFixture.issuing, QByteArray(),
                                                                   oFixture.anchors, kSeedTime, 96 * 3600, &oCerts);
                FUZZ_CHECK(eStatus == RevocationStatus::Good || eStatus == RevocationStatus::Revoked
                           || eStatus == RevocationStatus::Unknown);
            } catch (const SignerError &oError) {
                expectCodes(oError, {"REVOCATION_UNAVAILABLE"});
            }
        }
        break;
    case 2:
        try {
            const RevocationStatus eSigner = checkCrl(oInput, oFixture.signer, oFixture.issuing, kSeedTime);
            const RevocationStatus eRevoked = checkCrl(oInput, oFixture.revoked, oFixture.issuing, kSeedTime);
            FUZZ_CHECK(eSigner != RevocationStatus::Unknown && eRevoked != RevocationStatus::Unknown);
        } catch (const SignerError &oError) {
            expectCodes(oError, {"REVOCATION_UNAVAILABLE"});
        }
        break;
    default: {
        (void)cmsSignatureValue(oInput);
        (void)cmsMessageDigest(oInput);
        (void)cmsTimestampToken(oInput);
        (void)cmsSignerCertificate(oInput);
        try {
            ValidationData oData;
            oData.certificates = {der(oFixture.issuing)};
            oData.ocspResponses = {QByteArray::fromHex("30030a0101")}; // OCSPResponse malformedRequest
            const QByteArray oExtended = cmsWithValidationData(cmsWithTimestamp(oInput, QByteArray::fromHex("3000")), oData);
            FUZZ_CHECK(cmsTimestampToken(oExtended) == QByteArray::fromHex("3000"));
            FUZZ_CHECK(cmsCertificates(oExtended).contains(der(oFixture.issuing)));
        } catch (const SignerError &oError) {
            expectCodes(oError, {"CMS_ERROR"});
        }
    }
    }
    return 0;
}
