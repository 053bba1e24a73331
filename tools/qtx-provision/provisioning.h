#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Provisions the calling account's key store (KeyStore::folder()): its secret,
// a local authority whose private key is dropped after signing, the server
// certificate for 127.0.0.1 and localhost, and the server key encrypted with the
// pass phrase of this machine and account. Idempotent: what still works is kept.
struct ProvisionOptions
{
    bool force = false;    // issue anew even when the current files work
    bool checkOnly = false;
    QString importCert;    // PEM files to use instead of issuing
    QString importKey;
    QByteArray importPass;
};

struct ProvisionResult
{
    bool ok = false;
    QString error;
    QStringList report; // one line per thing done or kept
};

ProvisionResult provision(const ProvisionOptions &v_oOptions);

// Where the local authority's certificate of this account lives.
QString authorityPath();
