#pragma once

// PAdES baseline signatures of PDF documents.
//
//   PdfEngine oEngine(PdfEngine::defaultHelperPath(), oConfig.pdf);
//   PreparedPdf oPrepared = oEngine.prepare(oPdf, oOptions, DigestAlgorithm::Sha256);
//   // show oPrepared (page count, the signature's page) and ask the user
//   QByteArray oSigned = signPdf(oEngine, oPrepared, oCert, SignatureScheme::Ecdsa,
//                                SignatureLevel::BaselineT, oSignWithToken, oConfig);
//
// prepare() hands the document to the PDF helper process (qtx-pdf-helper,
// pdfupdate.h), which reads it with qpdf under memory, CPU and time limits
// and writes the incremental update with the signature field and dictionary;
// here the update is checked, /ByteRange filled in and the byte ranges hashed:
// the digest that is signed is computed here, from the bytes the user is
// shown, never taken from the page. complete() writes the CMS into /Contents;
// appendDss() adds the validation data of B-LT as a further update.
// renderPage() is the preview of a page, drawn by poppler in a helper of the
// same confinement (qtx-pdf-preview, beside qtx-pdf-helper): a document that
// breaks the renderer costs that helper.
//
// Errors are SignerError: PDF_TOO_LARGE, PDF_MALFORMED, PDF_ENCRYPTED,
// PDF_TOO_COMPLEX, PDF_SIGNATURE_INVALID (an earlier signature does not fit
// the file), PDF_CHANGES_NOT_ALLOWED (certified without changes),
// PDF_FIELD_EXISTS, PDF_SIGNATURE_TOO_LARGE, PDF_ENGINE_ERROR, BAD_REQUEST;
// signPdf() adds those of cmslevels.h. Every call blocks; any thread.

#include "cmslevels.h"
#include "signingconfig.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>

struct PdfSignOptions
{
    int page = 0;            // 0-based; -1: the last page
    bool visible = false;
    QRectF rectangle;        // points, from the page's top-left corner (x right, y down)
    QString signerName;      // shown and written as /Name (at most 200 characters)
    QDateTime time;          // /M, and shown; default: now
    QString textLine;        // an optional third line of the visible box (at most 200 characters)
    QString fieldName;       // default "Signature<n>"; no "." (at most 100 characters)
    int reservedBytes = 0;   // room for the CMS; 0: 24 KiB, enough for a timestamp (see defaultReservedBytes)
};

struct PreparedPdf
{
    QByteArray document;         // the given document and the update; /Contents all zeros
    qint64 originalSize = 0;
    qint64 contentsOffset = 0;   // of the "<" of /Contents
    qint64 contentsLength = 0;   // "<...>" included
    QByteArray byteRange;        // "[0 a b c]" as written
    QByteArray digest;           // of the byte ranges
    DigestAlgorithm digestAlgorithm = DigestAlgorithm::Sha256;
    int pageCount = 0;
    int signaturePage = 0;       // 0-based
    QString fieldName;
};

class PdfEngine
{
public:
    PdfEngine(const QString &v_oHelperPath, const PdfLimits &v_oLimits);

    // qtx-pdf-helper beside the running executable (the server's folder).
    // The preview helper is qtx-pdf-preview in the same folder as the helper.
    static QString defaultHelperPath();
    // The room prepare() leaves for the CMS when the options do not say.
    static int defaultReservedBytes(SignatureLevel v_eLevel);

    PreparedPdf prepare(const QByteArray &v_oPdf, const PdfSignOptions &v_oOptions,
                        DigestAlgorithm v_eAlgorithm) const;
    // The signed document: the CMS (DER) written into /Contents. The CMS must
    // be over the prepared digest.
    static QByteArray complete(const PreparedPdf &v_oPrepared, const QByteArray &v_oCms);
    // The document with a further update that adds the data to its /DSS;
    // unchanged when the data is empty.
    QByteArray appendDss(const QByteArray &v_oPdf, const ValidationData &v_oData) const;

    // Starts a preview helper ahead of the next renderPage() (one per process,
    // used within 90 s), so that the preview does not wait for Qt and poppler
    // to load. Call on the main thread (a helper dies with the thread that
    // started it); elsewhere it does nothing. Costs an idle process of about
    // 20 MB until used or given up (the helper exits after 2 minutes unused).
    void keepPreviewReady() const;

    // The largest preview renderPage() makes, whatever it is asked.
    static constexpr int kMaxPreviewSide = 1200;
    // Page v_iPage0 (0-based, -1: the last) drawn to fit v_oMaxSize (each side
    // at most kMaxPreviewSide), aspect kept; ARGB32, its dots per meter the
    // resolution it was drawn at (points to pixels); *v_piDrawn the page the
    // renderer took (0-based: "last" as it counts pages). Throws SignerError
    // as prepare() does (BAD_REQUEST: no such page).
    QImage renderPage(const QByteArray &v_oPdf, int v_iPage0, QSize v_oMaxSize, int *v_piDrawn = nullptr) const;

private:
    QString m_oHelper;
    QString m_oPreview;
    PdfLimits m_oLimits;
};

// An uninitialized buffer for a whole document (or its base64), its pages
// made ready in bulk (qtxlargebuffer.h) before it is filled.
QByteArray documentBuffer(int v_iSize);

// The whole flow after prepare(), around one call of v_oSign (the token's
// signature of the signed attributes, as for buildDetachedCms): the CMS
// without signing time, the timestamp for B-T and B-LT, /Contents, and the
// /DSS for B-LT.
QByteArray signPdf(const PdfEngine &v_oEngine, const PreparedPdf &v_oPrepared, const QByteArray &v_oCertDer,
                   SignatureScheme v_eScheme, SignatureLevel v_eLevel, const SignFunction &v_oSign,
                   const SigningConfig &v_oConfig);
