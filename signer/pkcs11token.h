#pragma once

// PKCS#11 access for the Signer module: every module that p11-kit has
// registered (except trust-policy modules, which hold no keys) plus one named
// by QTX_PKCS11_MODULE or [signing] pkcs11Module in the server's INI file.
//
// A Pkcs11Context loads and initialises the modules when it is created and
// finalises them when it goes, so every operation sees the tokens and readers
// present at that moment (a removed token is gone, a new one is there). Only
// one context exists at a time in the process (a mutex), which also makes the
// calls into the PKCS#11 modules thread-safe. Never create one on the main
// thread while a dialog waits: a card reader may take seconds.

#include "secretbuffer.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <functional>
#include <mutex>
#include <stdexcept>
#include <vector>

// A failure the page sees: what() is the JSON {"error":code,"message":...} the
// server hands over as "500|<json>".
class SignerError : public std::runtime_error
{
public:
    SignerError(const char *v_pCode, const QString &v_oMessage, const QJsonObject &v_oExtra = QJsonObject());
    QByteArray code() const { return m_oCode; }

private:
    QByteArray m_oCode;
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

// What one PKCS#11 module answered: for the NO_TOKEN error and the log. File
// names only, never a path (it may name the account) or token data.
struct ModuleReport
{
    QString name;        // file name of the library
    QString source;      // "p11-kit" or "configured"
    bool loaded = false;
    QString initialize;  // C_Initialize's CK_RV name, empty when not called
    int slotCount = 0;   // slots reported
    int tokenCount = 0;  // of them with an initialised token
    QString problem;     // the failing call and its CK_RV name, or why it was not loaded
};

// Asked when the token refuses the PIN of a context-specific log-in: fills the
// buffer with the PIN typed again (the token's flags tell the dialog about
// the tries left); false when the user cancelled.
using PinAgain = std::function<bool(SecretBuffer *, CK_FLAGS)>;

class Pkcs11Context
{
public:
    Pkcs11Context();
    ~Pkcs11Context();
    Pkcs11Context(const Pkcs11Context &) = delete;
    Pkcs11Context &operator=(const Pkcs11Context &) = delete;

    bool anyToken() const { return !m_oSlots.empty(); }
    const std::vector<ModuleReport> &reports() const { return m_oReports; }
    QJsonArray reportJson() const;
    QString reportText() const;

    // Certificates that have a private key on their token (or may have one
    // hidden until log-in).
    QList<CertificateEntry> certificates();
    // The token's flags now (PIN counters may have changed); SignerError
    // TOKEN_REMOVED when it is gone.
    CK_FLAGS currentFlags(const CertificateEntry &v_oEntry);
    bool supportsMechanism(const CertificateEntry &v_oEntry, CK_MECHANISM_TYPE v_uiType);
    // Logs in with the PIN (null: protected authentication path), signs
    // v_oData with the private key of the certificate and logs out. A token
    // that says the user is logged in already is logged out first, so the PIN
    // typed in the dialog is always checked. A key with CKA_ALWAYS_AUTHENTICATE
    // gets the context-specific log-in with the same PIN, and v_oAgain is
    // asked for another one when the token refuses it.
    QByteArray sign(const CertificateEntry &v_oEntry, const SecretBuffer *v_poPin, const SignMechanism &v_oMechanism,
                    const QByteArray &v_oData, const PinAgain &v_oAgain);
    // Many signatures under one log-in: logs in as sign() does, then calls
    // v_oWork with a function that signs data with the key in that session;
    // logs out when v_oWork returns or throws. A CKA_ALWAYS_AUTHENTICATE key
    // still gets its context-specific log-in before each signature (the
    // token demands it), with the PIN given here or, once the token refused
    // that one, the signature PIN v_oAgain got, kept for the rest of the work.
    using SignInSession = std::function<QByteArray(const QByteArray &)>;
    void signEach(const CertificateEntry &v_oEntry, const SecretBuffer *v_poPin, const SignMechanism &v_oMechanism,
                  const PinAgain &v_oAgain, const std::function<void(const SignInSession &)> &v_oWork);

private:
    struct Slot
    {
        CK_FUNCTION_LIST *module = nullptr;
        CK_SLOT_ID id = 0;
        TokenInfo token;
    };
    void loadExtraModule(const std::vector<std::pair<dev_t, ino_t>> &v_oRegistered);
    void collectSlots(CK_FUNCTION_LIST *v_poModule, ModuleReport *v_poReport);
    static std::mutex s_mutex;

    std::unique_lock<std::mutex> m_oLock;
    CK_FUNCTION_LIST **m_poRegistered = nullptr;
    std::vector<CK_FUNCTION_LIST *> m_oInitialised; // registered modules we initialised
    CK_FUNCTION_LIST *m_poExtra = nullptr;
    std::vector<Slot> m_oSlots;
    std::vector<ModuleReport> m_oReports;
};

// "CKR_PIN_INCORRECT"; "0x..." for values without a name.
QString ckrName(CK_RV v_uiRv);

// Maps a PKCS#11 return value of a failed call to the page's error.
[[noreturn]] void throwForRv(CK_RV v_uiRv, const char *v_pWhat, CK_FLAGS v_uiFlags = 0);
