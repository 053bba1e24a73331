#pragma once

// PKCS#11 access for the Signer module: every module that p11-kit has
// registered (except trust-policy modules, which hold no keys) plus one named
// by QTX_PKCS11_MODULE or [signing] pkcs11Module in the server's INI file.
//
// A Pkcs11Context loads and initialises the modules when it is created and
// finalises them when it goes, so every operation sees the tokens and readers
// present at that moment (a removed token is gone, a new one is there). Only
// one context exists at a time in the process (a mutex), which also makes the
// calls into the PKCS#11 modules thread-safe.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

// A failure the page sees: what() is the JSON {"error":code,"message":...} the
// server hands over as "500|<json>".
class SignerError : public std::runtime_error
{
public:
    SignerError(const char *v_pCode, const QString &v_oMessage, const QJsonObject &v_oExtra = QJsonObject());
    QByteArray code() const { return m_code; }

private:
    QByteArray m_code;
};

struct TokenInfo
{
    QString label;
    QString manufacturer;
    QString model;
    QString serial;
    CK_FLAGS flags = 0;
};

struct CertificateEntry
{
    QString id;        // stable: hash of the token's identity and the certificate
    QByteArray der;    // the certificate
    QByteArray ckaId;  // CKA_ID linking it to its private key
    TokenInfo token;
    int slotIndex = -1; // index into the context's slots
};

// The PKCS#11 mechanism a signature needs, with its parameter.
struct SignMechanism
{
    CK_MECHANISM_TYPE type = 0;
    CK_RSA_PKCS_PSS_PARAMS pss{};
    bool usePss = false;
};

class Pkcs11Context
{
public:
    Pkcs11Context();
    ~Pkcs11Context();
    Pkcs11Context(const Pkcs11Context &) = delete;
    Pkcs11Context &operator=(const Pkcs11Context &) = delete;

    QList<TokenInfo> tokens() const;
    // Certificates that have a private key on their token (or may have one
    // hidden until log-in).
    QList<CertificateEntry> certificates();
    // The certificate with the id; SignerError NO_TOKEN when no token is
    // present, CERTIFICATE_NOT_FOUND when none has it.
    CertificateEntry find(const QString &v_oId);
    // The token's flags now (PIN counters may have changed); SignerError
    // TOKEN_REMOVED when it is gone.
    CK_FLAGS currentFlags(const CertificateEntry &v_oEntry);
    bool supportsMechanism(const CertificateEntry &v_oEntry, CK_MECHANISM_TYPE v_uiType);
    // Logs in (pin null: protected authentication path), signs v_oData with the
    // private key of the certificate and logs out.
    QByteArray sign(const CertificateEntry &v_oEntry, const QByteArray *v_poPin, const SignMechanism &v_oMechanism,
                    const QByteArray &v_oData);

    // The module named by QTX_PKCS11_MODULE or the INI file, if it may be
    // loaded (absolute path, regular file of root or this account, not
    // writable by group or others); empty otherwise.
    static QString extraModulePath();

private:
    struct Slot
    {
        CK_FUNCTION_LIST *module = nullptr;
        CK_SLOT_ID id = 0;
        TokenInfo token;
    };
    void collectSlots();
    static std::mutex s_mutex;

    std::unique_lock<std::mutex> m_lock;
    CK_FUNCTION_LIST **m_registered = nullptr;
    std::vector<CK_FUNCTION_LIST *> m_initialised; // registered modules we initialised
    CK_FUNCTION_LIST *m_extra = nullptr;
    std::vector<Slot> m_slots;
};

// Maps a PKCS#11 return value of a failed call to the page's error.
[[noreturn]] void throwForRv(CK_RV v_uiRv, const char *v_pWhat, CK_FLAGS v_uiFlags = 0);
