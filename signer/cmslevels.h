#pragma once

// Signature levels of the baseline profiles, for detached CMS (CAdES) and, by
// way of pdfsigner.h, for PDF (PAdES):
// - B-B: the signature as buildDetachedCms makes it;
// - B-T: plus an RFC 3161 timestamp over the signature value, as the unsigned
//   signature-time-stamp attribute;
// - B-LT: plus the chains of the signer's and the TSA's certificates and their
//   revocation data (CMS: SignedData.certificates and RevocationInfoChoices,
//   OCSP responses as "other" revocation info; PDF: the /DSS).
// The signer's validation data is fetched before the token signs, so a revoked
// or unverifiable certificate stops the signature before the PIN is asked;
// anything that fails afterwards discards the signature: nothing half-built is
// returned.

#include "cmsbuilder.h"
#include "revocation.h"

#include <QByteArray>
#include <QList>

#include <functional>

struct SigningConfig;
class TrustAnchors;

enum class SignatureLevel { BaselineB, BaselineT, BaselineLT };

// "B-B", "B-T", "B-LT" (any case; also without "B-" for the last two).
bool parseSignatureLevel(const QByteArray &v_oName, SignatureLevel *v_peLevel);

// Parts of a DER CMS SignedData with one signer (empty when missing).
QByteArray cmsSignatureValue(const QByteArray &v_oCms);
QByteArray cmsMessageDigest(const QByteArray &v_oCms);
QByteArray cmsTimestampToken(const QByteArray &v_oCms);
QList<QByteArray> cmsCertificates(const QByteArray &v_oCms);
// The certificate that signed a CMS or a timestamp token, from its own certificates.
QByteArray cmsSignerCertificate(const QByteArray &v_oCms);

// The CMS with the token as its signature-time-stamp attribute. Throws CMS_ERROR.
QByteArray cmsWithTimestamp(const QByteArray &v_oCms, const QByteArray &v_oToken);
// The CMS with the certificates and revocation data added. Throws CMS_ERROR.
QByteArray cmsWithValidationData(const QByteArray &v_oCms, const ValidationData &v_oData);

// B-T on a CMS: a checked timestamp of its signature value, added.
QByteArray timestampCms(const QByteArray &v_oCms, DigestAlgorithm v_eAlgorithm, const SigningConfig &v_oConfig,
                        const TrustAnchors &v_oAnchors);
// B-LT's data for the timestamp in a CMS: the TSA certificate's chain and status.
ValidationData timestampValidationData(const QByteArray &v_oCms, const SigningConfig &v_oConfig,
                                       const TrustAnchors &v_oAnchors);

// Throws TSA_NOT_CONFIGURED when no timestamp authority is configured; called
// before the token signs, so that a B-T request fails before the PIN.
void requireTimestampAuthority(const SigningConfig &v_oConfig);

using SignFunction = std::function<QByteArray(const QByteArray &)>;

// A detached CAdES signature at the level, with the signing time: the whole
// flow around one call of v_oSign (see buildDetachedCms).
QByteArray signDetachedCades(const QByteArray &v_oCertDer, DigestAlgorithm v_eAlgorithm, SignatureScheme v_eScheme,
                             const QByteArray &v_oDigest, SignatureLevel v_eLevel, const SignFunction &v_oSign,
                             const SigningConfig &v_oConfig);
