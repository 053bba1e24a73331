#pragma once

// Long-term validation data (the B-LT level): a certificate's chain up to a
// trust anchor and, for every certificate below the anchor, its revocation
// status as the CA signed it (an OCSP response, else a CRL), fetched from the
// addresses the certificates name, but only those on the administrator's
// allow-list. Every answer is checked before it is kept: an OCSP response's
// signature and responder, nonce, status and freshness; a CRL's signature,
// issuer and validity. OpenSSL's OCSP and X509 functions do the work.
// Failures: SignerError CERTIFICATE_UNTRUSTED (no chain to an anchor),
// REVOCATION_REVOKED, REVOCATION_UNAVAILABLE.

#include <QByteArray>
#include <QList>

#include <openssl/x509.h>

#include <ctime>

struct SigningConfig;
class TrustAnchors;

struct ValidationData
{
    QList<QByteArray> certificates;  // DER
    QList<QByteArray> ocspResponses; // DER OCSPResponse
    QList<QByteArray> crls;          // DER

    // Adds what is not there yet.
    void add(const ValidationData &v_oOther);
    bool isEmpty() const { return certificates.isEmpty() && ocspResponses.isEmpty() && crls.isEmpty(); }
};

enum class RevocationStatus { Good, Revoked, Unknown };

// The status of v_poCert (issued by v_poIssuer) in an OCSP response to a
// request with v_oNonce (empty: none was sent) at time v_iNow. A response that
// fails a check throws REVOCATION_UNAVAILABLE; v_poResponderCerts receives the
// certificates the response carries.
RevocationStatus checkOcspResponse(const QByteArray &v_oResponse, X509 *v_poCert, X509 *v_poIssuer,
                                   const QByteArray &v_oNonce, const TrustAnchors &v_oAnchors, std::time_t v_iNow,
                                   int v_iMaxAgeSeconds, QList<QByteArray> *v_poResponderCerts = nullptr);

// The status of v_poCert in a CRL of v_poIssuer, at time v_iNow; a CRL that
// fails a check throws REVOCATION_UNAVAILABLE.
RevocationStatus checkCrl(const QByteArray &v_oCrl, X509 *v_poCert, X509 *v_poIssuer, std::time_t v_iNow);

// The chain of the certificate (DER; v_oUntrusted may help build it) with the
// revocation data of each of its certificates below the anchor.
ValidationData collectValidationData(const QByteArray &v_oCert, const QList<QByteArray> &v_oUntrusted,
                                     const SigningConfig &v_oConfig, const TrustAnchors &v_oAnchors);
