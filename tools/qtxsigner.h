#pragma once

// Writing and checking the signature block that the server's ModuleReader reads
// (see modules/modulereader.h for the layout). Used by the qtx-sign tool and by
// the tests that build signed fixtures.

#include <QByteArray>
#include <QString>

namespace qtxsign {

enum class Outcome {
    Ok,
    BadSignature,  // the file has no consistent block, or it does not match the key
    IoError,       // the file or the key could not be read or written
    NotSignable,   // e.g. a PE file that already carries an Authenticode table
};

// Padding -1 picks the length that ends the file on an 8-byte boundary.
constexpr int kAutoPadding = -1;

// Appends the block to v_oPath: in module mode the record naming the key comes
// first (modules/modulekeys.h), SHA-256 is taken from the end of the PE headers
// (0 for ELF) to the end of that record and 0-7 padding bytes (0x00) follow
// the 0xFF marker; in plain mode it covers the whole file and the marker
// is the last byte. v_oPrivateKeyPem is an RSA private key in PEM form.
Outcome signFile(const QString &v_oPath, const QByteArray &v_oPrivateKeyPem, bool v_bPlain, int v_iPadding,
                 QString *v_poMessage);

// Checks the block of v_oPath against an RSA public key in PEM form.
Outcome verifyFile(const QString &v_oPath, const QByteArray &v_oPublicKeyPem, bool v_bPlain, QString *v_poMessage);

// A new RSA-2048 key pair for signing modules: the private key (PEM, 0600)
// and its public key (PEM, 0644), the file an administrator puts into the
// server's key folder.
Outcome generateKey(const QString &v_oPrivatePath, const QString &v_oPublicPath, QString *v_poMessage);

// The fingerprint (hex) of a public or private key in PEM form, as the server
// logs it; empty with *v_poMessage set when the key cannot be read.
QByteArray keyFingerprint(const QByteArray &v_oPem, QString *v_poMessage);

} // namespace qtxsign
