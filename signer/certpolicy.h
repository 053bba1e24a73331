#pragma once

// Which certificate is for which job, decided in one place for every command.
//
// Document signing: key usage nonRepudiation, or digitalSignature when the
// extended key usage (if any) allows document signing (emailProtection,
// documentSigning, anyExtendedKeyUsage, Microsoft's and Adobe's document
// signing). A certificate whose extended key usage names only other purposes
// (clientAuth, smartcardLogon, serverAuth...) never signs a page's digest.
// Log-in: digitalSignature with clientAuth in the extended key usage or none
// at all, and not a signing certificate (qualified signing certificates carry
// nonRepudiation, so one key is never used for both).
// A certificate without a key usage extension allows every usage (RFC 5280).
// Only RSA and EC keys are usable, and only within their validity period.

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QStringList>

enum class Purpose { Sign, Login };

// "sign" / "login"
const char *purposeName(Purpose v_ePurpose);
// "sign" (also an empty value: the default) or "login"; false for others.
bool parsePurpose(const QByteArray &v_oName, Purpose *v_pePurpose);

// Why a certificate is not offered for a purpose.
enum class Unfit { None, LoginOnly, SigningOnly, OtherUse, Expired, NotYetValid, UnsupportedKey, Unreadable };

struct CertificateUse
{
    bool readable = false;
    bool signing = false;   // fits document signing
    bool login = false;     // fits log-in
    bool supportedKey = false;
    QDateTime notBefore;
    QDateTime notAfter;
    QString issuerCommonName;    // empty when the issuer has none
    QJsonArray extendedKeyUsage; // names ("clientAuth") or dotted OIDs
};

CertificateUse certificateUse(const QByteArray &v_oDer);
Unfit unfitFor(const CertificateUse &v_oUse, Purpose v_ePurpose, const QDateTime &v_oNow);
// The purposes a certificate fits, as names (for the page's listing).
QJsonArray purposeNames(const CertificateUse &v_oUse);
