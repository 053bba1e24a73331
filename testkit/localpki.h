#pragma once

// A small public-key infrastructure of its own for the signature tests and
// benches, in a folder the caller owns: a root CA, an issuing CA (its status
// from the root's CRL), signers (good, revoked, one whose status is in a CRL
// only, one revoked there, an RSA one), a timestamp authority (extended key
// usage timeStamping, critical) and an OCSP responder certificate (OCSP
// signing, no-check), and testkit/pkiresponder.py serving the TSA, the OCSP
// responder and the CRLs on 127.0.0.1 (an ephemeral port, so no lock). The
// certificates name the responder's addresses. Everything is made with the
// openssl command; the responder stops with the object.
//
// Files in the folder: <name>.pem and <name>.key for root, issuing, signer,
// revoked, crlsigner, crlrevoked, rsa, tsa, ocsp; root.crl and issuing.crl (DER).

#include <QByteArray>
#include <QProcess>
#include <QString>

class LocalPki
{
public:
    explicit LocalPki(const QString &v_oFolder);
    ~LocalPki();
    LocalPki(const LocalPki &) = delete;
    LocalPki &operator=(const LocalPki &) = delete;

    // Empty when everything was made and the responder runs.
    QString error() const { return m_error; }
    QString url(const QString &v_oPath) const;
    QString file(const QString &v_oName) const { return m_folder + QLatin1Char('/') + v_oName; }
    QByteArray certificateDer(const QString &v_oName) const;

    // Runs openssl in the folder; the exit code (-1 when it did not run) and
    // the merged output.
    int openssl(const QStringList &v_oArguments, QByteArray *v_poOutput = nullptr) const;

private:
    bool make();

    QString m_folder;
    QProcess m_responder;
    quint16 m_port = 0;
    QString m_error;
};
