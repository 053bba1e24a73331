#pragma once

// The Signer's page commands, one class each with one entry point, and what
// they share. A command is made for one request and run once.
//
// Every command takes the requesting origin from the request map's reserved
// key keyHttpOrigin (the browser's Origin header) and nothing else; a request
// without a usable one is refused with NO_ORIGIN before anything else happens.

#include "qtxmodule.h"

#include "certpolicy.h"
#include "cmsbuilder.h"
#include "cmslevels.h"
#include "displaytext.h"
#include "pkcs11token.h"
#include "signerstore.h"
#include "signerui.h"

#include <QByteArray>
#include <QJsonObject>

// ListCertificates: no dialog. The certificates present now that the origin
// was granted ("let this site see this certificate from now on") and that fit
// the purpose; an empty list without any grant (the tokens are not even
// looked at).
class ListCertificatesCommand
{
public:
    explicit ListCertificatesCommand(const tRequestMap &v_oRequest);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
};

// SelectCertificate (GUI): the picker naming the origin and the purpose; the
// certificate picked, or CANCELLED with nothing else.
class SelectCertificateCommand
{
public:
    SelectCertificateCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
    SignerUi &m_oUi;
};

// Sign (GUI): consent and PIN, then the token's signature of the page's digest
// with a certificate for document signing named by its per-site id.
class SignCommand
{
public:
    SignCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
    SignerUi &m_oUi;
};

// SignPdf (GUI): a PDF the page sends is prepared (confined helper), shown
// with its page count and a preview of the signature's page, and signed at a
// level (PAdES B-B, B-T, B-LT) after consent and PIN; docs/signing.md.
class SignPdfCommand
{
public:
    SignPdfCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
    SignerUi &m_oUi;
};

// Authenticate (GUI): the picker for log-in, consent and PIN, then the token's
// signature of hash(origin) || hash(nonce) as the log-in token of
// docs/authentication.md. Signing certificates are never offered nor used.
class AuthenticateCommand
{
public:
    AuthenticateCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
    SignerUi &m_oUi;
};

// SignBatch (GUI): one consent and one PIN for up to [signing]
// batchMaxDocuments digests, signed under one log-in; each signature is
// handed to BatchProgress as it completes, the rest in the final reply.
class SignBatchCommand
{
public:
    SignBatchCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
    SignerUi &m_oUi;
};

// BatchProgress: the items of a running batch signed or refused since the
// last call, for the session and origin that started it only.
class BatchProgressCommand
{
public:
    explicit BatchProgressCommand(const tRequestMap &v_oRequest);
    QByteArray run();

private:
    const tRequestMap &m_oRequest;
};

struct PdfSignOptions;

namespace signer {

// The certId parameter, checked for form; CERTIFICATE_NOT_FOUND otherwise.
QString requestCertId(const tRequestMap &v_oRequest);
// The signatureAlgorithm parameter (its name in *v_poName); UNSUPPORTED_ALGORITHM.
SignatureScheme requestScheme(const tRequestMap &v_oRequest, QString *v_poName);
// What the token signs for a digest (or the hash of CMS signed attributes).
QByteArray tokenInput(SignatureScheme v_eScheme, DigestAlgorithm v_eAlgorithm, const QByteArray &v_oHash);

struct SignKeyRequest
{
    QString certId;
    SignatureScheme scheme = SignatureScheme::RsaPkcs1;
    QString schemeName;
    DigestAlgorithm digestAlgorithm = DigestAlgorithm::Sha256;
    // A PDF's scheme follows the key: ECDSA for a P-256/P-384 key, RSA-PKCS1
    // for RSA; scheme and schemeName are then not read.
    bool schemeFromKey = false;
};

struct SigningKey
{
    CertificateEntry entry;
    SignMechanism mechanism;
    SignatureScheme scheme = SignatureScheme::RsaPkcs1;   // the one asked, or the key's
    CK_FLAGS flags = 0;   // the token's, for the dialog's PIN warnings
    CertificateCard card;
};

// The certificate with this site's id on a present token, checked for
// document signing with the scheme: NO_TOKEN, CERTIFICATE_NOT_FOUND,
// CERTIFICATE_NOT_USABLE, UNSUPPORTED_ALGORITHM, PIN_LOCKED, in this order.
// Creates a Pkcs11Context: not on the main thread.
SigningKey findSigningKey(const SignKeyRequest &v_oSign, const WebOrigin &v_oOrigin, SignerStore &v_oStore,
                          const char *v_pCommand);

// The origin of the request; SignerError NO_ORIGIN without a usable one.
WebOrigin requestOrigin(const tRequestMap &v_oRequest);
// The "purpose" parameter; SignerError BAD_REQUEST for an unknown one.
Purpose requestPurpose(const tRequestMap &v_oRequest);
// The "level" parameter ("B-B" when absent); SignerError BAD_REQUEST for an
// unknown one.
SignatureLevel requestLevel(const tRequestMap &v_oRequest);
// "B-B", "B-T", "B-LT".
QString levelName(SignatureLevel v_eLevel);
// The PDF options of SignPdf and of a batch of PDFs: page, visible, rect,
// text, fieldName; SignerError BAD_REQUEST for a bad one.
PdfSignOptions requestPdfOptions(const tRequestMap &v_oRequest);

QByteArray json(const QJsonObject &v_oObject);
// The "reason" of CERTIFICATE_NOT_USABLE.
QString unfitReason(Unfit v_eUnfit);

// What a page learns about a certificate it may see.
QJsonObject certificateJson(const CertificateEntry &v_oEntry, const QString &v_oSiteId);
CertificateCard cardOf(const CertificateEntry &v_oEntry, Purpose v_ePurpose);
// Looks at every token (creates a Pkcs11Context: not on the main thread).
TokenSnapshot snapshot(Purpose v_ePurpose);

// NO_TOKEN with the modules tried and what they answered; also logged.
[[noreturn]] void throwNoToken(const Pkcs11Context &v_oContext, const char *v_pCommand);

// A store failure as the page's STORE_ERROR.
[[noreturn]] void throwStoreError(const StoreError &v_oError);

// Appends a receipt; a store that cannot take it is logged, the answer stands.
void writeReceipt(SignerStore &v_oStore, Receipt v_oReceipt);

// The key's current token flags; PIN_LOCKED when its PIN is locked.
CK_FLAGS unlockedFlags(Pkcs11Context &v_oContext, const CertificateEntry &v_oEntry);
// The dialog's PIN warnings and PIN pad from those flags.
void setPinFlags(ConsentRequest &v_oConsent, CK_FLAGS v_uiFlags);
// The receipt of a signature the user is asked for: what the dialog shows.
Receipt signingReceipt(const ConsentRequest &v_oConsent);

// The signature after consent, on a thread of its own: the PIN is cleared and
// the receipt written with v_oOutcome, or with the error's code.
template <typename Work>
QByteArray signWithReceipt(ConsentAnswer &v_oAnswer, SignerStore &v_oStore, Receipt &v_oReceipt,
                           const QString &v_oOutcome, Work v_oWork);

// A consent that was not given: its receipt ("timeout" or "cancelled"), then
// CANCELLED with v_oMessage (and reason "timeout" when the dialog timed out).
void refuseUnlessAccepted(const ConsentAnswer &v_oAnswer, SignerStore &v_oStore, Receipt &v_oReceipt,
                          const QString &v_oMessage);

// For keys that want their PIN again at each operation: asked from the
// signing thread, the dialog runs on the main thread. v_oUi and v_oConsent
// must outlive the signature.
PinAgain pinAgainOnMainThread(SignerUi &v_oUi, const ConsentRequest &v_oConsent);

// The entry of the certificate with this DER on a token present now;
// TOKEN_REMOVED when it is gone.
CertificateEntry entryOnToken(Pkcs11Context &v_oContext, const QByteArray &v_oDer);

// A line in the server's log (its category, when the module runs in the server).
void log(bool v_bWarning, const char *v_pFunction, const QString &v_oText);

// Runs v_oWork on a thread of its own while the main thread's event loop goes
// on (a card reader may take seconds, a PIN pad until the user is done); its
// result or exception comes back here.
template <typename Work>
auto offMainThread(Work v_oWork) -> decltype(v_oWork());

} // namespace signer

#include "commands_p.h"
