#pragma once

// The server side of TLS for every connection of the process: one OpenSSL
// context built from the account's certificate and key (its key store, else
// the files the INI names) and the configured cipher list. The key is opened
// once with the pass phrase bound to the machine and the account, whose copies
// are wiped.

#include <QList>
#include <QSslCipher>
#include <QString>

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

class CTlsContext
{
public:
    // What the configuration names: the certificate and key files used when
    // the account's key store has none, and the ciphers offered.
    struct Config
    {
        QString certificateFile;
        QString keyFile;
        QList<QSslCipher> ciphers;
    };

    // Builds the context and logs, in the name of v_pLogFunction, what is missing
    // ("Cert file not found", "Key file not found", "EnabledCipherList is empty").
    // Certificate and key bytes are read once per process (see clearCertificateCache).
    static std::shared_ptr<CTlsContext> create(const Config &v_oConfig, const char *v_pLogFunction);
    ~CTlsContext();

    CTlsContext(const CTlsContext &) = delete;
    CTlsContext &operator=(const CTlsContext &) = delete;

    SSL_CTX *get() const { return m_poContext; }
    // False when the cipher list is empty: connections are then closed at once.
    bool hasCiphers() const { return m_bHasCiphers; }

    // Forgets the cached certificate and key bytes (tests; a restart does the same).
    static void clearCertificateCache();

private:
    CTlsContext() = default;

    SSL_CTX *m_poContext = nullptr;
    bool m_bHasCiphers = false;
};
