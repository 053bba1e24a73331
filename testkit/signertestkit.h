#pragma once

// What the Signer's test suites share (besides toolrun.h): keys and
// certificates made by OpenSSL and put on a SoftHSM2 token, the page's and
// the user's side of a server with the Signer (requests, results, the dialog
// hook's text and answers), and the checks of what it signed by those tools.

#include "httpsclient.h"
#include "serverfixture.h"
#include "toolrun.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

#include <functional>

namespace stk {

extern const QByteArray kOrigin; // the page's origin unless a case says otherwise
QString softHsmModule();

// The first of the programs that is not installed, with the apt-get line; empty when all are.
QString missingTools(const QStringList &v_oPrograms, const char *v_pPackages);

using Fields = QList<QPair<QByteArray, QByteArray>>;
// A form body (or a query without its "?") of the fields, percent-encoded.
QByteArray formBody(const Fields &v_oFields);
// A multipart body as a page's FormData sends it (boundary XyZ): the fields,
// then the files (name, bytes) as PDF parts named v_pPart, or document.0,
// document.1, ... when v_pPart is null.
QByteArray multipartBody(const Fields &v_oFields, const Fields &v_oFiles = {}, const char *v_pPart = nullptr);

// The JSON of a result, also of an error result ("500|{...}"); its error code (empty: no error).
QJsonObject jsonOf(const HttpReply &v_oReply);
QString errorOf(const HttpReply &v_oReply);

// Keys and certificates in one folder: <name>.key, .pem, .der, .pub, .p8
// (PKCS#8 PEM) and .p8.der, issued by the folder's ca.pem / ca.key.
class KeyFolder
{
public:
    static const QByteArray kLeaf; // for signing documents
    static const QByteArray kLogIn; // clientAuth only
    explicit KeyFolder(const QString &v_oFolder) : m_folder(v_oFolder) {}
    QString file(const QString &v_oName) const { return m_folder + QLatin1Char('/') + v_oName; }
    // A self-signed CA (RSA) as ca.pem / ca.key.
    bool makeCa(const QString &v_oSubject, QByteArray *v_poError);
    // A key from `openssl req` options ("-newkey rsa:2048") and its certificate
    // by the CA with the extensions (an -extfile's lines; kLeaf when empty).
    bool issue(const QString &v_oName, const QStringList &v_oKeyOptions, const QString &v_oSubject,
               QByteArray *v_poError, const QByteArray &v_oExtensions = QByteArray());
    // The other forms of an existing <name>.key and <name>.pem.
    bool derive(const QString &v_oName, QByteArray *v_poError);

private:
    QString m_folder;
};

// SoftHSM2 tokens in a folder of their own, its configuration in SOFTHSM2_CONF of env().
class SoftHsm
{
public:
    explicit SoftHsm(const QString &v_oFolder);
    bool isValid() const { return m_valid; }
    QString conf() const { return m_conf; }
    QProcessEnvironment env() const { return m_env; }
    bool initToken(const QString &v_oLabel, const QString &v_oPin, QByteArray *v_poError) const;
    // The folder's key and certificate v_oName onto the token under id and
    // label; an always-authenticate key wants the PIN again for each signature.
    bool importKey(const QString &v_oToken, const QString &v_oPin, const KeyFolder &v_oKeys, const QString &v_oName,
                   const QString &v_oId, bool v_bAlwaysAuthenticate, QByteArray *v_poError,
                   const QString &v_oLabel = QString()) const;
    bool deleteToken(const QString &v_oLabel) const;

private:
    QString m_conf;
    QProcessEnvironment m_env;
    bool m_valid = false;
};

// One dialog's answer: the dialog of the kind ("picker", "consent", "pin")
// is answered once its text holds waitFor; whileOpen runs before the answer.
struct Answer
{
    QByteArray kind;
    QByteArray text;
    QByteArray waitFor = QByteArray();
    std::function<void()> whileOpen = {};
};

// A page of kOrigin talking to the server's Signer, and the user answering
// its dialogs through the module's test hook (QTX_SIGNER_TEST_DIR).
class SignerPage
{
public:
    // The hook folder (made, owner only) below v_oFolder.
    bool makeHook(const QString &v_oFolder);
    // The Signer's server for this page, not started yet: installed with
    // v_oSigning as its [signing] section (the PDF helper beside it on
    // request), on free ports, its dialogs through the hook, the page talking
    // to the port this account's instance will listen on.
    bool install(ServerFixture &v_oServer, const QByteArray &v_oSigning, bool v_bPdfHelper);
    // The server's INI with another [signing] section (after install()).
    QByteArray ini(const QByteArray &v_oSigning) const { return m_ini + v_oSigning; }
    bool start(ServerFixture &v_oServer, const QStringList &v_oArguments = {}) const;
    QString hook() const { return m_hook; }
    void connectTo(quint16 v_uiPort, const QList<QSslCertificate> &v_oCa)
    {
        m_port = v_uiPort;
        m_ca = v_oCa;
    }
    quint16 port() const { return m_port; }
    const QList<QSslCertificate> &authority() const { return m_ca; }
    QByteArray nextCmdId() { return QByteArray::number(++m_cmdId); }

    // A form POST, or a multipart one when the body starts with "--XyZ\r\n".
    HttpReply post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders) const;
    HttpReply exchange(const QByteArray &v_oRequest) const;
    QByteArray openSession() const;
    static QList<QByteArray> headers(const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                                     const QByteArray &v_oOrigin = kOrigin);
    // A raw request of the session's command with its own Content-Type.
    static QByteArray request(const QByteArray &v_oPath, const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                              const QByteArray &v_oType, const QByteArray &v_oBody);
    HttpReply submit(const QByteArray &v_oSession, const QByteArray &v_oCommand, const QByteArray &v_oBody,
                     const QByteArray &v_oCmdId, const QByteArray &v_oOrigin = kOrigin) const;
    // The result once there is one (bounded: a result that never comes fails
    // the case instead of hanging it); with v_bOnce the first answer, 202 or not.
    HttpReply result(const QByteArray &v_oSession, const QByteArray &v_oCmdId, bool v_bOnce = false) const;
    // A command without a dialog in a new session: its result.
    HttpReply call(const QByteArray &v_oCommand, const QByteArray &v_oBody, const QByteArray &v_oOrigin = kOrigin);
    // A command in a new session (or v_oSession) whose dialogs get the answers in turn.
    HttpReply dialogCall(const QByteArray &v_oCommand, const QByteArray &v_oBody, const QList<Answer> &v_oAnswers,
                         QList<QByteArray> *v_poShown = nullptr, const QByteArray &v_oOrigin = kOrigin,
                         const QByteArray &v_oSession = QByteArray());
    // The result of a command the server accepted (v_oAccepted, 202 expected)
    // once its dialogs got the answers; what each showed in *v_poShown.
    HttpReply answered(const HttpReply &v_oAccepted, const QByteArray &v_oSession, const QByteArray &v_oCmdId,
                       const QList<Answer> &v_oAnswers, QList<QByteArray> *v_poShown = nullptr);

    // The dialog's text once it is of the kind and holds v_oNeedle (empty after 20 s).
    QByteArray waitDialog(const QByteArray &v_oKind, const QByteArray &v_oNeedle = QByteArray()) const;
    bool answer(const QByteArray &v_oAnswer) const;
    bool dialogShown() const;
    void forgetDialog() const;

private:
    QString m_hook;
    QByteArray m_ini;
    quint16 m_port = 0;
    QList<QSslCertificate> m_ca;
    int m_cmdId = 1000;
};

// The items of a dialog's list (its lines "itemN=...").
QStringList dialogItems(const QByteArray &v_oShown);

// What pdfsig says of each signature of a file (the chain is left to openssl
// cms: pdfsig 22.12 reports a stale NSS error as "Unknown issue with Certificate").
struct PdfSignature
{
    bool valid = false;
    bool wholeDocument = false;
    QByteArray subFilter;
    QList<QPair<qint64, qint64>> ranges;
};
struct PdfSigReport
{
    QList<PdfSignature> signatures;
    QByteArray text;
};
PdfSigReport pdfsig(const QString &v_oPdf);
// The CMS of each signature as `pdfsig -dump` writes them into v_oFolder.
QList<QByteArray> dumpedSignatures(const QString &v_oPdf, const QString &v_oFolder);
// The bytes of the document a signature covers.
QByteArray signedBytes(const QByteArray &v_oPdf, const PdfSignature &v_oSignature);
// The data of the streams a /DSS entry ("/OCSPs", "/CRLs", "/Certs") lists, read with qpdf.
QList<QByteArray> dssStreams(const QString &v_oPdf, const char *v_pKey);

// Checks by openssl; files go to v_oFolder, what openssl said to *v_poOutput.
// A detached CMS over the content, against the CA file; with v_bCrlCheck the
// chain also against the CRLs inside the CMS alone.
bool cmsVerifies(const QByteArray &v_oCms, const QByteArray &v_oContent, const QString &v_oCaFile, const QString &v_oFolder,
                 QByteArray *v_poOutput, bool v_bCrlCheck = false);
// The CMS's timestamp token verifies with openssl ts over the digest of its
// signature value (both cut out with openssl asn1parse), the TSA chaining to the root.
bool timestampVerifies(const QByteArray &v_oCms, const QString &v_oRoot, const QString &v_oIntermediates,
                       const QString &v_oFolder, QByteArray *v_poOutput);
// An OCSP answer that verifies and says "good" for the certificate.
bool ocspGood(const QByteArray &v_oResponse, const QString &v_oRoot, const QString &v_oIssuer, const QString &v_oCert,
              const QString &v_oFolder);

} // namespace stk
