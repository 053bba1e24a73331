#pragma once

// The account's Signer store: what the user decided for which site. Shared by
// the Signer module and the qtx-sites tool.
//
// Folder: ${XDG_CONFIG_HOME:-~/.config}/Quorvex/QuorvexCryptoProvider/signer
// (0700, this account's), holding
//   secret        32 random bytes, 0600: the key of the per-site ids
//   grants.json   0600: per origin, the certificates the user let it see
//   receipts.log  0600: one escaped line per decision (receiptsLog.1 the older part)
//   lock          the lock of read-modify-write steps (flock)
// Files are replaced through a temporary file and rename, so a reader sees the
// old or the new content, never a mix. Everything read is checked: a file that
// is too large, of another account, a link or malformed raises StoreError
// (never a crash, never a silent reset that would lose the user's choices).

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <stdexcept>

class StoreError : public std::runtime_error
{
public:
    explicit StoreError(const QString &v_oMessage) : std::runtime_error(v_oMessage.toStdString()) {}
};

struct Grant
{
    QString fingerprint; // SHA-256 of the certificate's DER, lower-case hex
    QString subject;     // for qtx-sites' listing
    QString purpose;     // "sign" or "login": what the picker was asked for
    QDateTime granted;   // UTC
};

struct Receipt
{
    QDateTime time;       // UTC
    QString origin;
    QString purpose;      // "sign", "login", "select-sign", "select-login"
    QString document;     // the page's name for it, as sent
    QString digestAlgorithm;
    QByteArray digest;
    QString certificate;  // subject
    QString fingerprint;
    QString outcome;      // "signed", "picked", "remembered", "cancelled", "timeout", or an error code
};

class SignerStore
{
public:
    explicit SignerStore(const QString &v_oDir = defaultDir());

    // ${XDG_CONFIG_HOME:-~/.config}/Quorvex/QuorvexCryptoProvider/signer
    static QString defaultDir();
    QString dir() const { return m_oDir; }

    static QString fingerprint(const QByteArray &v_oDer);

    QList<Grant> grants(const QString &v_oOrigin) const;
    QMap<QString, QList<Grant>> allGrants() const;
    // Adds or refreshes the grant of the certificate for the origin.
    void addGrant(const QString &v_oOrigin, const Grant &v_oGrant);
    // Number of grants removed.
    int revoke(const QString &v_oOrigin);
    // Removes every grant; also replaces a malformed grants file.
    int revokeAll();

    void appendReceipt(const Receipt &v_oReceipt);
    // Every receipt line kept, oldest first.
    QList<QByteArray> receipts() const;

    // Limits of what is kept.
    static constexpr int kMaxOrigins = 1000;
    static constexpr int kMaxGrantsPerOrigin = 32;
    static constexpr qint64 kMaxGrantsFile = 1 << 20;
    static constexpr qint64 kMaxReceiptsFile = 1 << 20;

    // The account's secret of the per-site ids, made on first use.
    QByteArray secret() const;

private:
    void ensureDir() const;
    QMap<QString, QList<Grant>> readGrants() const;
    void writeGrants(const QMap<QString, QList<Grant>> &v_oGrants) const;

    QString m_oDir;
};

// The ids a page of one origin gets for certificates: HMAC-SHA-256 under the
// account's secret of the origin and the certificate's SHA-256, the first 20
// bytes as 40 lower-case hex digits. Holds the secret while it lives and
// overwrites it when it goes.
class SiteIds
{
public:
    SiteIds(const SignerStore &v_oStore, const QString &v_oOrigin);
    ~SiteIds();
    SiteIds(const SiteIds &) = delete;
    SiteIds &operator=(const SiteIds &) = delete;
    QString of(const QByteArray &v_oDer) const;

private:
    QByteArray m_oSecret;
    QByteArray m_oOrigin;
};

// Text as one line of printable ASCII, the way the server's log escapes what
// clients send: \\ \" \n \r \t, other control bytes as \xNN, every other
// character outside printable ASCII (bidi controls included) as \uNNNN or
// \U00NNNNNN.
QByteArray escapedAscii(const QString &v_oText);
