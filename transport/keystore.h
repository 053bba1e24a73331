#pragma once

// Where an account keeps the secrets of its TLS server: one store per account,
// readable by that account alone.
//
//   <store>/private/Seed                  the account's secret (64 hex characters
//                                         from getrandom), part of the key's pass phrase
//   <store>/private/QTX-key-server.pem    the server key, encrypted (PKCS#8, AES-256)
//   <store>/certs/QTX-cert-server.pem     the server certificate (127.0.0.1, localhost)
//   <store>/certs/QTX-ca.pem              the account's local authority (its key is not kept)
//
// The store is the account's data folder ($XDG_CONFIG_HOME or ~/.config)/Quorvex/
// QuorvexCryptoProvider/ (folders 0700, files 0600). Root without XDG_CONFIG_HOME
// (the dispatcher unit, the package scripts) uses /var/lib/quorvex/QuorvexCryptoProvider/,
// where private/ is 0700 and only certs/ is public (0755, files 0644): user
// instances pin the dispatcher's certificate and the system store trusts its authority.
// QTX_KEY_DIR names another store (source-tree runs keep theirs apart from the
// package's); QTX_MACHINE_SEED_FILE moves the secret alone (tests).

#include <QString>

namespace KeyStore {

QString folder();
// True for the dispatcher's store under /var/lib, whose certificates are public.
bool isSystemStore();
QString privateFolder();
QString certificateFolder();
QString secretPath();
QString keyPath();
QString certificatePath();
QString authorityPath();
// The certificate the dispatcher presents and its authority (public, in the
// dispatcher's store under /var/lib).
QString dispatcherCertificatePath();
QString dispatcherAuthorityPath();

// Why the file (or folder) is not this account's alone, or empty when it is:
// it must be owned by the effective user, and no other account may read or
// write it (a folder: nobody else may write into it).
QString privacyProblem(const QString &v_oPath);

} // namespace KeyStore
