#pragma once

// The module-signing public keys a server trusts: the key built into it, and
// the keys of vendors that the administrator put into a folder of PEM files
// (by default /etc/quorvex/module-keys.d/; [dllLoader] moduleKeysDir).
//
// A key is known by its fingerprint: SHA-256 over its DER SubjectPublicKeyInfo,
// in lower-case hex, as "openssl pkey -pubin -in key.pem -outform DER |
// sha256sum" prints it. qtx-sign puts the signing key's fingerprint into the
// signed data itself, as a record right before the signature block:
//
//   [signed data][fingerprint: 32 bytes][magic "QTXKEY01"][signature block]
//
// Older servers verify such a file as before (the record is just part of the
// signed bytes); this one reads which key the file claims, verifies with that
// key when it trusts it, and otherwise names it in its refusal.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

namespace modulekeys {

constexpr int kFingerprintSize = 32;
constexpr int kRecordSize = kFingerprintSize + 8;
extern const char kRecordMagic[9];

// The fingerprint (hex) of a key, public or private; empty on failure.
QByteArray fingerprint(EVP_PKEY *v_poKey);
// The record naming the key, for the end of a module's signed data.
QByteArray keyRecord(EVP_PKEY *v_poKey);
// The fingerprint (hex) the signed data names, or empty when it names none.
QByteArray claimedFingerprint(const QByteArray &v_oSignedData);

} // namespace modulekeys

struct TrustedModuleKey
{
    QString source;          // "built-in" or the file it came from
    QByteArray fingerprint;  // hex
    std::shared_ptr<EVP_PKEY> key;
};

class ModuleKeys
{
public:
    // The built-in key only.
    static ModuleKeys builtIn();
    // The built-in key and every *.pem of the folder that may be trusted: the
    // folder and each file owned by root or by this account and writable by
    // nobody else (like a module), an RSA public key of 2048 bits. A missing
    // folder adds nothing; why a file or the folder was passed over goes to
    // *v_poProblems.
    static ModuleKeys load(const QString &v_oFolder, QStringList *v_poProblems);

    const QList<TrustedModuleKey> &keys() const { return m_oKeys; }
    const TrustedModuleKey *find(const QByteArray &v_oFingerprint) const;
    // "built-in <fp>, vendor.pem <fp>", for log lines.
    QString describe() const;

private:
    QList<TrustedModuleKey> m_oKeys;
};
