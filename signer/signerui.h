#pragma once

// What the Signer asks the person at the screen, independent of how it is
// drawn. Every call runs on the server's main thread inside a GUI command and
// returns when the user answered, the dialog timed out, or the server closed
// it (the page's session ended).

#include "certpolicy.h"
#include "displaytext.h"
#include "secretbuffer.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRectF>
#include <QString>

#include <atomic>
#include <functional>

// One certificate as the dialogs show it.
struct CertificateCard
{
    QString fingerprint;  // SHA-256 of the DER: how answers name it
    QString commonName;
    QString subject;
    QString issuer;
    QString notAfter;     // yyyy-MM-dd
    QString keyText;      // "RSA 2048", "EC P-256"
    QString tokenLabel;
    Unfit unfit = Unfit::None; // for the purpose asked
};

// The tokens as the last look found them.
struct TokenSnapshot
{
    bool anyToken = false;
    QList<CertificateCard> certificates; // every certificate with a key, fitting or not
};

// Looks at the tokens again; runs on a thread of the UI's own, never on the
// main thread.
using TokenPoll = std::function<TokenSnapshot()>;

enum class Outcome { Accepted, Cancelled, TimedOut };

struct PickRequest
{
    WebOrigin origin;
    Purpose purpose = Purpose::Sign;
};

struct PickAnswer
{
    Outcome outcome = Outcome::Cancelled;
    QString fingerprint;       // the certificate picked
    bool remember = false;     // "let this site see this certificate from now on"
    bool tokenMissing = false; // no token was present when the dialog closed
};

// The side of a batch's page previews in the consent dialog's list, in pixels.
constexpr int kBatchPreviewSide = 96;

// One document of a batch as the consent dialog lists it.
struct BatchLine
{
    QString name;     // as the page named it; shown escaped
    QString kind;     // "SHA-256 digest", "PDF, 3 pages, 120 KB"
    QByteArray hash;  // the digest, or the hash of what is signed of a PDF
    QString refusal;  // why it will not be signed; empty when it will
    bool pdf = false;
    QImage preview;   // a PDF's first page; null: "no preview"
};

// A batch being signed, shared by the signing thread and the progress dialog:
// the thread counts, the dialog's Cancel asks it to stop before the next document.
struct BatchMonitor
{
    int total = 0;
    std::atomic<int> signedCount{0};
    std::atomic<int> failedCount{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> cancel{false};
};

struct ConsentRequest
{
    WebOrigin origin;
    Purpose purpose = Purpose::Sign;
    CertificateCard certificate;
    QString documentName;      // as the page named it; shown escaped
    QString digestAlgorithm;
    QString signatureAlgorithm;
    QByteArray digest;
    bool protectedPath = false; // the reader's keypad takes the PIN
    bool pinCountLow = false;
    bool pinFinalTry = false;
    // A PDF: its pages, the preview of the page that carries the signature
    // (null when it could not be drawn) and the visible box in its pixels.
    int pdfPageCount = 0;
    int pdfSignaturePage = 0; // 0-based
    QImage pdfPreview;
    QRectF pdfBox;
    QList<BatchLine> documents; // a batch: listed instead of documentName and digest
};

struct ConsentAnswer
{
    Outcome outcome = Outcome::Cancelled;
    SecretBuffer pin; // empty with a protected authentication path
};

// The token refused the PIN of a context-specific log-in (a separate
// signature PIN): the PIN is asked for once more.
struct PinRequest
{
    WebOrigin origin;
    CertificateCard certificate;
    bool pinCountLow = false;
    bool pinFinalTry = false;
};

class SignerUi
{
public:
    virtual ~SignerUi() = default;
    // Whether a person can answer at all (a display, or the test hook).
    virtual bool available() const = 0;
    // The certificate picker: lists the certificates that fit the purpose, says
    // why the others are missing, shows "insert your card" while no token is
    // present and follows insertion and removal through v_oPoll.
    virtual PickAnswer pickCertificate(const PickRequest &v_oRequest, const TokenSnapshot &v_oFirst,
                                       const TokenPoll &v_oPoll) = 0;
    // Consent and PIN for one signature (or log-in); disables its button and
    // shows "insert your card" while the certificate's token is away.
    virtual ConsentAnswer askConsent(const ConsentRequest &v_oRequest, const TokenPoll &v_oPoll) = 0;
    virtual bool askPinAgain(const PinRequest &v_oRequest, SecretBuffer *v_poPin) = 0;
    // The progress of a batch until v_oMonitor is finished; Cancel (or the
    // server closing the window) sets its cancel flag. Returns at once when
    // the batch finished before.
    virtual void showBatchProgress(const WebOrigin &v_oOrigin, BatchMonitor &v_oMonitor) = 0;
};

// The Qt widgets implementation (qtsignerui.cpp).
SignerUi &signerUi();
