#pragma once

// OpenSSL side of the Signer module: what a certificate says (for the page's
// list), DigestInfo and ECDSA encodings, and a detached CMS (CAdES baseline-B)
// around a signature that the token makes.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

enum class DigestAlgorithm { Sha256, Sha384, Sha512 };

// "SHA-256" (also "SHA256", "sha-256"), "SHA-384", "SHA-512"; false for others.
bool parseDigestAlgorithm(const QByteArray &v_oName, DigestAlgorithm *v_peAlgorithm);
int digestLength(DigestAlgorithm v_eAlgorithm);
QByteArray hashBytes(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oData);
// The DER DigestInfo that RSASSA-PKCS1-v1_5 signs.
QByteArray digestInfo(DigestAlgorithm v_eAlgorithm, const QByteArray &v_oDigest);

struct CertificateFacts
{
    bool valid = false;
    QString keyType;   // "RSA" or "EC"
    int keyBits = 0;
    QString curve;     // "P-256", "P-384", other curves by OpenSSL's name
    QString subjectCommonName;
    QJsonObject json;  // subject, issuer, serial, validity, key, key usage
};
CertificateFacts certificateFacts(const QByteArray &v_oDer);

// The raw r||s the token gives for ECDSA as DER ECDSA-Sig-Value; empty when malformed.
QByteArray ecdsaRawToDer(const QByteArray &v_oRaw);

enum class SignatureScheme { RsaPkcs1, RsaPss, Ecdsa };

struct CmsOptions
{
    // PAdES leaves the signing-time attribute out: the time is the PDF's /M.
    bool signingTime = true;
    // Further certificates for SignedData.certificates (DER), e.g. the chain.
    QList<QByteArray> certificates;
};

// Builds a detached CMS SignedData over content whose digest is v_oDigest:
// signed attributes content type, message digest, signing time (unless the
// options leave it out) and signing certificate v2; v_oSignAttributes receives
// the DER signed attributes and returns the token's signature of them (for
// ECDSA raw r||s). Throws SignerError.
QByteArray buildDetachedCms(const QByteArray &v_oCertDer, DigestAlgorithm v_eAlgorithm, SignatureScheme v_eScheme,
                            const QByteArray &v_oDigest,
                            const std::function<QByteArray(const QByteArray &)> &v_oSignAttributes,
                            const CmsOptions &v_oOptions = CmsOptions());
