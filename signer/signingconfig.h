#pragma once

// What the administrator allows signatures to use beyond the token: the
// timestamp authorities, the revocation services (OCSP responders, CRL
// locations) that may be contacted, the certificates trusted to check their
// answers, the time-outs and size caps, and the bounds on PDF documents. All
// of it comes from the [signing] keys of the server's INI file (the package
// keeps it in /etc/quorvex-crypto-provider/, root's); nothing a page sends
// changes it. Keys and defaults are in docs/signing-formats.md.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <openssl/x509.h>

#include <memory>

class SignerError;

// The message of a SignerError (its what() is the page's JSON).
QString messageOf(const SignerError &v_oError);

struct PdfLimits
{
    qint64 maxDocumentBytes = 50LL << 20;
    int memoryMiB = 768;   // the helper's address space, plus four times the document
    int cpuSeconds = 20;   // the helper's CPU time
    int wallSeconds = 30;  // the helper's life, whatever it does
    int maxObjects = 500000;
    int maxPages = 100000;
    int maxFields = 10000;
};

struct SigningConfig
{
    QStringList tsaUrls;          // tried in this order
    QByteArray tsaPolicy;         // dotted OID asked of the TSA; empty: its default
    QStringList revocationUrls;   // allow-list: a certificate's OCSP or CRL address must start with one
    QString trustAnchorsFile;     // PEM: roots for the TSA, the OCSP responders and the chains; empty: the system's
    QString intermediatesFile;    // PEM: intermediate certificates for building chains
    int connectTimeoutMs = 5000;
    int requestTimeoutMs = 15000; // one whole exchange, connection included
    qint64 maxReplyBytes = 1LL << 20;
    qint64 maxCrlBytes = 16LL << 20;
    int ocspMaxAgeHours = 96;     // an OCSP answer older than this is stale
    PdfLimits pdf;

    // The [signing] group of an INI file; missing keys keep their defaults.
    static SigningConfig fromIni(const QString &v_oPath);
    // The server's INI file (QuorvexCryptoProvider.ini beside the executable's real path).
    static SigningConfig fromServerIni();

    // Whether a certificate's revocation address may be contacted: plain http,
    // no user name, and the same host and port as an allow-list entry with a
    // path under the entry's.
    bool revocationUrlAllowed(const QUrl &v_oUrl) const;
};

// The certificates that answers and chains are checked against, loaded once
// per signature. A configured file must belong to root or to this account and
// not be writable by others; otherwise loading throws SignerError
// SIGNING_CONFIG_ERROR rather than falling back to something else.
class TrustAnchors
{
public:
    static TrustAnchors load(const SigningConfig &v_oConfig);
    // PEM files of the tests, without the ownership rules.
    static TrustAnchors fromPem(const QByteArray &v_oAnchors, const QByteArray &v_oIntermediates = QByteArray());

    X509_STORE *store() const { return m_poStore.get(); }
    // The intermediates (not trusted, only used to build chains).
    STACK_OF(X509) *intermediates() const { return m_poIntermediates.get(); }

private:
    std::shared_ptr<X509_STORE> m_poStore;
    std::shared_ptr<STACK_OF(X509)> m_poIntermediates;
};
