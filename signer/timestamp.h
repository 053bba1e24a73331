#pragma once

// RFC 3161 timestamps of a signature value (the signature-time-stamp of the
// B-T level): the request, the exchange with the administrator's timestamp
// authorities, and the check of the reply before its token is used: status
// granted, the imprint and the nonce of our request, the TSA's signature and
// its certificate (timeStamping extended key usage, critical, chaining to a
// trust anchor), a time near ours. OpenSSL's TS functions do the encoding and
// the checks. Failures are SignerError TSA_NOT_CONFIGURED, TSA_UNREACHABLE,
// TSA_REFUSED, TSA_BAD_RESPONSE.

#include "cmsbuilder.h"

#include <QByteArray>

#include <ctime>

struct SigningConfig;
class TrustAnchors;

struct TimestampRequest
{
    QByteArray der;
    QByteArray imprint;  // the digest that is timestamped
    QByteArray nonce;    // big-endian, 8 random bytes
    QByteArray policy;   // dotted OID or empty
    DigestAlgorithm algorithm = DigestAlgorithm::Sha256;
};

TimestampRequest makeTimestampRequest(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oImprint,
                                      const QByteArray &v_oPolicy = QByteArray());

// The token (DER ContentInfo) of a reply that passes every check at time
// v_iNow; throws TSA_REFUSED or TSA_BAD_RESPONSE.
QByteArray checkTimestampReply(const QByteArray &v_oReply, const TimestampRequest &v_oRequest,
                               const TrustAnchors &v_oAnchors, std::time_t v_iNow);

// A checked token over v_oImprint from the first configured authority that
// gives one.
QByteArray fetchTimestamp(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oImprint, const SigningConfig &v_oConfig,
                          const TrustAnchors &v_oAnchors);
