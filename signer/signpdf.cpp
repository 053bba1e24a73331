#include "commands.h"

#include "cmsbuilder.h"
#include "pdfsigner.h"
#include "signingconfig.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QThread>

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <future>

namespace {

constexpr int kMaxDocumentName = 1024;
// The preview's box in the dialog's pixels; the helper never draws more.
const QSize kPreviewSize(480, 480);

struct PdfRequest
{
    QString certId;
    QString documentName;
    SignatureLevel level = SignatureLevel::BaselineB;
    PdfSignOptions options;
    QByteArray document;
};

QByteArray boolText(const tRequestMap &v_oRequest, const char *v_pKey)
{
    return v_oRequest.value(v_pKey, "false").toLower();
}

} // namespace

namespace signer {

PdfSignOptions requestPdfOptions(const tRequestMap &v_oRequest)
{
    PdfSignOptions oOptions;
    const QByteArray oPage = v_oRequest.value("page", "1");
    bool bOk = false;
    const int iPage = oPage.toInt(&bOk);
    if (oPage == "last")
        oOptions.page = -1;
    else if (bOk && iPage >= 1)
        oOptions.page = iPage - 1;
    else
        throw SignerError("BAD_REQUEST", QStringLiteral("page must be a page number from 1, or last."));

    const QByteArray oVisible = boolText(v_oRequest, "visible");
    if (oVisible != "true" && oVisible != "false")
        throw SignerError("BAD_REQUEST", QStringLiteral("visible must be true or false."));
    oOptions.visible = oVisible == "true";
    if (oOptions.visible) {
        const QList<QByteArray> oParts = v_oRequest.value("rect").split(',');
        double aValues[4] = {};
        bool bRect = oParts.size() == 4;
        for (int i = 0; bRect && i < 4; ++i) {
            aValues[i] = oParts[i].trimmed().toDouble(&bRect);
            bRect = bRect && qIsFinite(aValues[i]) && aValues[i] >= 0 && aValues[i] <= 14400;
        }
        if (!bRect || aValues[2] < 1 || aValues[3] < 1)
            throw SignerError("BAD_REQUEST", QStringLiteral("rect must be x,y,width,height in points from the page's top-left corner."));
        oOptions.rectangle = QRectF(aValues[0], aValues[1], aValues[2], aValues[3]);
    }
    oOptions.textLine = QString::fromUtf8(v_oRequest.value("text"));
    oOptions.fieldName = QString::fromUtf8(v_oRequest.value("fieldName"));
    return oOptions;
}

} // namespace signer

namespace {

PdfRequest parseRequest(const tRequestMap &v_oRequest)
{
    const auto bad = [](const QString &v_oWhy) { return SignerError("BAD_REQUEST", v_oWhy); };
    PdfRequest oPdf;
    oPdf.certId = signer::requestCertId(v_oRequest);
    oPdf.level = signer::requestLevel(v_oRequest);
    oPdf.documentName = QString::fromUtf8(v_oRequest.value("documentName")).left(kMaxDocumentName);

    oPdf.options = signer::requestPdfOptions(v_oRequest);

    // A multipart part named "document", or the body itself sent as application/pdf.
    if (v_oRequest.contains("keyHttpFile.document"))
        oPdf.document = v_oRequest.value("keyHttpFile.document");
    else if (v_oRequest.value("content-type").startsWith("application/pdf"))
        oPdf.document = v_oRequest.value("keyHttpBody");
    if (oPdf.document.isEmpty())
        throw bad(QStringLiteral("The PDF is missing: a multipart part named document, or the body as application/pdf."));
    return oPdf;
}

// The signature's box in the preview's pixels: the image carries the
// resolution it was drawn at.
QRectF boxInPreview(const QImage &v_oPreview, const QRectF &v_oPoints)
{
    const double dScale = v_oPreview.dotsPerMeterX() * 0.0254 / 72.0;
    return dScale > 0 ? QRectF(v_oPoints.topLeft() * dScale, v_oPoints.size() * dScale) : QRectF();
}

// The reply: the small members through QJsonObject, with "pdf" added as the
// last member (the keys of a QJsonObject are sorted, and "pdf" sorts after
// the others). Base64 needs no escaping, so the document is encoded straight
// into the reply by OpenSSL instead of passing through QJsonDocument as UTF-16
// (tens of megabytes, and most of the reply's time).
//
// Most of it is encoded while the user reads the dialog: the signature goes
// into /Contents and B-LT's validation data after the end, so the document's
// bytes before /Contents are the signed document's too. After the signature
// only the rest is encoded; the part encoded ahead is used only when the
// signed document does start with those bytes (a comparison, not a promise).
class PdfReply
{
public:
    PdfReply(const QByteArray &v_oJson, const QByteArray &v_oDocument, qint64 v_iUnchanged)
        : m_oHead(v_oJson.size() > 2 ? v_oJson.left(v_oJson.size() - 1) + ",\"pdf\":\"" : QByteArray("{\"pdf\":\""))
        , m_oDocument(v_oDocument)
    {
        if (m_oDocument.size() > kMaxDocument)
            return; // refused in take()
        // Whole groups of three bytes, so that the rest's encoding follows on.
        m_iAhead = int(qBound<qint64>(0, v_iUnchanged, m_oDocument.size()) / 3 * 3);
        sizeFor(m_oDocument.size());
        unsigned char *pOut = reinterpret_cast<unsigned char *>(m_oReply.data() + m_oHead.size());
        const unsigned char *pIn = reinterpret_cast<const unsigned char *>(m_oDocument.constData());
        const int iAhead = m_iAhead;
        m_oAhead = std::async(std::launch::async, [pOut, pIn, iAhead] { EVP_EncodeBlock(pOut, pIn, iAhead); });
    }
    ~PdfReply()
    {
        if (m_oAhead.valid())
            m_oAhead.wait();
    }
    PdfReply(const PdfReply &) = delete;
    PdfReply &operator=(const PdfReply &) = delete;

    // The whole reply for the signed document (which is cleared).
    QByteArray take(QByteArray &v_oSigned)
    {
        if (m_oAhead.valid())
            m_oAhead.wait();
        if (v_oSigned.size() > kMaxDocument)
            throw SignerError("PDF_TOO_LARGE", QStringLiteral("The signed document is too large to be answered."));
        const int iFrom = v_oSigned.size() >= m_iAhead && m_iAhead > 0
                                  && std::memcmp(v_oSigned.constData(), m_oDocument.constData(), size_t(m_iAhead)) == 0
                              ? m_iAhead
                              : 0;
        m_oDocument.clear();
        const int iEncoded = encodedSize(v_oSigned.size());
        // B-LT's document is longer than the prepared one: the buffer grows in place or moves once.
        sizeFor(v_oSigned.size());
        // EVP_EncodeBlock writes no line breaks; its closing NUL falls on the quote.
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(m_oReply.data() + m_oHead.size() + iFrom / 3 * 4),
                        reinterpret_cast<const unsigned char *>(v_oSigned.constData()) + iFrom,
                        v_oSigned.size() - iFrom);
        v_oSigned.clear();
        std::memcpy(m_oReply.data() + m_oHead.size() + iEncoded, "\"}", 2);
        return std::move(m_oReply);
    }

private:
    static constexpr int kMaxDocument = INT_MAX / 4 * 3 - 4096;
    static int encodedSize(int v_iBytes) { return 4 * ((v_iBytes + 2) / 3); }
    // The reply's buffer for a document of v_iBytes: the head, the base64, the closing "\"}".
    void sizeFor(int v_iBytes)
    {
        const int iSize = m_oHead.size() + encodedSize(v_iBytes) + 2;
        if (!m_oReply.isEmpty()) {
            m_oReply.resize(iSize);
            return;
        }
        m_oReply = documentBuffer(iSize);
        std::memcpy(m_oReply.data(), m_oHead.constData(), size_t(m_oHead.size()));
    }

    const QByteArray m_oHead;
    QByteArray m_oDocument;
    int m_iAhead = 0;
    QByteArray m_oReply;
    std::future<void> m_oAhead;
};

} // namespace

SignPdfCommand::SignPdfCommand(const tRequestMap &v_oRequest, SignerUi &v_oUi) : m_oRequest(v_oRequest), m_oUi(v_oUi)
{
}

QByteArray SignPdfCommand::run()
{
    const WebOrigin oOrigin = signer::requestOrigin(m_oRequest);
    PdfRequest oPdf = parseRequest(m_oRequest);
    QCoreApplication *poApp = QCoreApplication::instance();
    if (!m_oUi.available() || !poApp || QThread::currentThread() != poApp->thread())
        throw SignerError("NO_DISPLAY", QStringLiteral("Signing needs the user's consent, and the server has no display "
                                                       "to ask on (started without DISPLAY/WAYLAND_DISPLAY or with -console)."));
    const SigningConfig oConfig = SigningConfig::fromServerIni();
    if (oPdf.level != SignatureLevel::BaselineB)
        requireTimestampAuthority(oConfig);
    const PdfEngine oEngine(PdfEngine::defaultHelperPath(), oConfig.pdf);
    // The preview helper loads while the key is looked up (it gets the
    // document only after that).
    oEngine.keepPreviewReady();

    SignerStore oStore;
    ConsentRequest oConsent;
    SignMechanism oMechanism;
    SignatureScheme eScheme = SignatureScheme::RsaPkcs1;
    QByteArray oDer;
    PreparedPdf oPrepared;
    signer::offMainThread([&] {
        signer::SignKeyRequest oAsk;
        oAsk.certId = oPdf.certId;
        oAsk.schemeFromKey = true;
        const signer::SigningKey oKey = signer::findSigningKey(oAsk, oOrigin, oStore, "Signer::SignPdf");
        oMechanism = oKey.mechanism;
        eScheme = oKey.scheme;
        oDer = oKey.entry.der;
        oConsent.origin = oOrigin;
        oConsent.purpose = Purpose::Sign;
        oConsent.certificate = oKey.card;
        signer::setPinFlags(oConsent, oKey.flags);

        // The document is prepared before the dialog: the digest the user
        // consents to is the one of the bytes that will be signed.
        oPdf.options.signerName = oConsent.certificate.commonName.isEmpty() ? oConsent.certificate.subject
                                                                            : oConsent.certificate.commonName;
        oPdf.options.reservedBytes = PdfEngine::defaultReservedBytes(oPdf.level);
        // The preview is drawn by a second helper while the first prepares:
        // two processes, each confined and limited on its own. The future
        // joins on every way out, so no helper outlives the command.
        int iDrawn = -1;
        std::future<QImage> oRender = std::async(std::launch::async, [&] {
            return oEngine.renderPage(oPdf.document, oPdf.options.page, kPreviewSize, &iDrawn);
        });
        try {
            oPrepared = oEngine.prepare(oPdf.document, oPdf.options, DigestAlgorithm::Sha256);
        } catch (...) {
            oRender.wait();
            throw;
        }
        oConsent.pdfPageCount = oPrepared.pageCount;
        oConsent.pdfSignaturePage = oPrepared.signaturePage;
        // A page the renderer cannot draw leaves the dialog saying so; the
        // signature itself does not depend on the preview. When the renderer
        // took another page than the signature's (its count of pages differs
        // from the writer's), the signature's page is drawn after all.
        try {
            oConsent.pdfPreview = oRender.get();
            if (iDrawn != oPrepared.signaturePage) {
                oConsent.pdfPreview = QImage();
                oConsent.pdfPreview = oEngine.renderPage(oPdf.document, oPrepared.signaturePage, kPreviewSize);
            }
            if (oPdf.options.visible)
                oConsent.pdfBox = boxInPreview(oConsent.pdfPreview, oPdf.options.rectangle);
        } catch (const SignerError &v_oError) {
            oConsent.pdfPreview = QImage();
            signer::log(true, "Signer::SignPdf", QStringLiteral("No preview: ") + QString::fromLatin1(v_oError.code()));
        }
    });
    oPdf.document.clear();
    // The next document's preview helper loads while this dialog shows.
    oEngine.keepPreviewReady();
    oConsent.documentName = oPdf.documentName;
    oConsent.digestAlgorithm = QStringLiteral("SHA-256");
    oConsent.signatureAlgorithm = QStringLiteral("%1, PDF (PAdES-%2)")
                                      .arg(eScheme == SignatureScheme::Ecdsa ? QStringLiteral("ECDSA")
                                                                             : QStringLiteral("RSA-PKCS1"),
                                           signer::levelName(oPdf.level).mid(2));
    oConsent.digest = oPrepared.digest;

    Receipt oReceipt = signer::signingReceipt(oConsent);

    QJsonObject oReplyMembers;
    oReplyMembers.insert(QStringLiteral("certificate"), QString::fromLatin1(oDer.toBase64()));
    oReplyMembers.insert(QStringLiteral("level"), signer::levelName(oPdf.level));
    oReplyMembers.insert(QStringLiteral("fieldName"), oPrepared.fieldName);
    PdfReply oReply(signer::json(oReplyMembers), oPrepared.document, oPrepared.contentsOffset);

    ConsentAnswer oAnswer = m_oUi.askConsent(oConsent, [] { return signer::snapshot(Purpose::Sign); });
    signer::refuseUnlessAccepted(oAnswer, oStore, oReceipt, QStringLiteral("The user did not consent to the signature."));

    const PinAgain oAgain = signer::pinAgainOnMainThread(m_oUi, oConsent);
    return signer::signWithReceipt(oAnswer, oStore, oReceipt, QStringLiteral("signed"), [&] {
        Pkcs11Context oContext;
        const CertificateEntry oEntry = signer::entryOnToken(oContext, oDer);
        const SecretBuffer *poPin = oConsent.protectedPath ? nullptr : &oAnswer.pin;
        const SignFunction oTokenSign = [&](const QByteArray &v_oAttributes) {
            return oContext.sign(oEntry, poPin, oMechanism,
                                 signer::tokenInput(eScheme, oPrepared.digestAlgorithm,
                                                    hashBytes(oPrepared.digestAlgorithm, v_oAttributes)),
                                 oAgain);
        };
        // entryOnToken() found the certificate by these very bytes: the reply's head holds them.
        QByteArray oSigned = signPdf(oEngine, oPrepared, oEntry.der, eScheme, oPdf.level, oTokenSign, oConfig);
        oPrepared.document.clear();
        return oReply.take(oSigned);
    });
}
