#pragma once

// Browser trust for the machine's local certificate authority: the places a
// Linux desktop browser reads trust anchors from.
//
//  * the per-user NSS database $HOME/.pki/nssdb (Chromium, Chrome), created when missing;
//  * the NSS database of every existing Firefox profile (cert9.db);
//  * the system store (/usr/local/share/ca-certificates + update-ca-certificates),
//    only when run as root.
//
// NSS databases are changed through certutil (Debian package libnss3-tools).
// Installing and removing are idempotent; every change is reported.

#include <QString>
#include <QStringList>

struct TrustOptions
{
    QString caFile;          // PEM of the local authority
    QString nickname;        // its nickname in NSS databases (default kQtxCaNickname)
    // The dispatcher's public authority, trusted (and untrusted) beside the
    // account's own; empty: none. Only a file that no other ordinary account
    // can have written is used (dispatcherAuthorityProblem).
    QString dispatcherCaFile;
    // SHA-256 fingerprints (hex) of authorities that must not stay trusted
    // anywhere: those of older versions, which shared one key among accounts.
    QStringList retired;
    bool retiredOnly = false; // only take the retired authorities out
    bool remove = false;     // --untrust
    QString home;            // whose browsers (default $HOME)
    bool system = false;     // also the system store (root only)
    bool browsers = true;    // the NSS databases of home (false: the system store only)
    QString systemCaDir;     // default /usr/local/share/ca-certificates
    QString updateCommand;   // default update-ca-certificates
    QString certutil;        // default certutil from PATH
};

struct TrustResult
{
    bool ok = true;
    QStringList report;      // one line per database or file looked at
    QStringList errors;
};

// The nickname under which the authority is kept in NSS databases. A new
// authority (after "--force") replaces the old one under the same name.
extern const char *const kQtxCaNickname;
extern const char *const kQtxDispatcherCaNickname;
// Where the package lists retired authorities (QTX_RETIRED_AUTHORITIES for tests).
extern const char *const kQtxRetiredAuthoritiesFile;
// The fingerprints in that file: 64 hex digits a line, "#" comments.
QStringList readRetiredAuthorities(const QString &v_oPath);
// Why a dispatcher authority file cannot be trusted, or empty.
QString dispatcherAuthorityProblem(const QString &v_oPath);
// File name of the authority in the system store.
extern const char *const kQtxSystemCaFile;

// The NSS databases of $home: the Chromium one first, then each Firefox profile.
QStringList nssDatabasesOf(const QString &v_oHome);

TrustResult applyTrust(const TrustOptions &v_oOptions);
