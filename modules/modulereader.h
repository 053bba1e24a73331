#pragma once

// Cuts a signed file into the signed data and the RSA signature of the block
// appended to it, and verifies the signature with the key built into the server.
//
// Block layout (integers little-endian, S = signature size):
//   [H headers][D signed data][S: int64][signature: S bytes][S + 8: int64][0xFF][0-7 padding][Authenticode]
// Module mode (peMode): H and the Authenticode offset come from the PE headers
// (both 0 for ELF files) and 0-7 padding bytes other than 0xFF follow the marker.
// Plain mode ("ver.ini"): H = 0, the marker is the file's last byte, no padding.
//
// Every inconsistency leaves isOk() false and verify() false; nothing throws.

#include <QByteArray>
#include <QString>

class ModuleKeys;
typedef struct evp_pkey_st EVP_PKEY;

// The key built into the server, assembled from its two tables (the caller
// frees it with EVP_PKEY_free); null when it cannot be built.
EVP_PKEY *qtxBuiltInModuleKey();

class ModuleReader
{
public:
    ModuleReader(const QString &v_oPath, bool v_bPeMode);
    // Reads the already open file v_iFd (not closed here; read with absolute
    // positions), so that the bytes checked are those of that very file.
    ModuleReader(int v_iFd, bool v_bPeMode);

    // True only when the block was read and the RSA PKCS#1 v1.5 / SHA-256 check
    // passes with the key built into the server.
    bool verify() const;

    // Which trusted key, if any, the signature verifies with. A file that names
    // its key (modulekeys.h) is checked with that key alone; one that names
    // none is tried with each trusted key in turn.
    struct Verdict
    {
        bool verified = false;
        QString keySource;       // the key that verified ("built-in", a file name)
        QByteArray fingerprint;  // that key's, or the one the file names
        QString why;             // the refusal, for the log
    };
    Verdict verifyWith(const ModuleKeys &v_oKeys) const;

    bool isOk() const { return m_bOk; }
    const QByteArray &getModuleData() const { return m_oModuleData; }
    const QByteArray &getSignature() const { return m_oSignature; }

    // Padding length 7 - i for the first 0xFF at index i of the last 8 bytes
    // before the padding's end; -1 when there is no 0xFF among them.
    static int getOctawordPaddingSize(const QByteArray &v_oLastBytes);

    // The largest accepted iExtraDataSize: a 2048-bit signature plus its size field.
    static constexpr qint64 kMaxExtraDataSize = 264;

private:
    void readModule();

    QString m_oPath;
    int m_iFd = -1;
    QByteArray m_oModuleData;
    QByteArray m_oSignature;
    bool m_bOk = false;
    bool m_bPeMode;
};
