#include "pdfrender.h"

#include "pdfupdate.h"

#include <poppler-qt5.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QVariant>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace pdfrender {

namespace {

void quiet(const QString &, const QVariant &)
{
}

} // namespace

void prepareFonts()
{
    FcInit();
    Poppler::setDebugErrorFunction(quiet, QVariant());
}

Preview renderPage(const std::string &v_oDocument, int v_iPage, int v_iMaxWidth, int v_iMaxHeight)
{
    if (v_iMaxWidth < 16 || v_iMaxHeight < 16 || v_iMaxWidth > 4096 || v_iMaxHeight > 4096)
        throw pdfupdate::PdfFailure("BAD_REQUEST", "The preview's size is out of range.");
    // Read through a device over the bytes where they lie: loadFromData()
    // would take its own copy of the whole document first.
    QBuffer oDevice;
    oDevice.setData(QByteArray::fromRawData(v_oDocument.data(), int(v_oDocument.size())));
    if (!oDevice.open(QIODevice::ReadOnly))
        throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "The document cannot be opened for reading.");
    const std::unique_ptr<Poppler::Document> poDocument(Poppler::Document::load(&oDevice));
    if (!poDocument)
        throw pdfupdate::PdfFailure("PDF_MALFORMED", "The document cannot be read.");
    if (poDocument->isLocked())
        throw pdfupdate::PdfFailure("PDF_ENCRYPTED", "The document is encrypted.");
    Preview oPreview;
    oPreview.pageCount = poDocument->numPages();
    if (oPreview.pageCount < 1)
        throw pdfupdate::PdfFailure("PDF_MALFORMED", "The document has no pages.");
    oPreview.pageIndex = v_iPage < 0 ? oPreview.pageCount - 1 : v_iPage;
    if (oPreview.pageIndex >= oPreview.pageCount)
        throw pdfupdate::PdfFailure("BAD_REQUEST", "The document has no such page.");
    const std::unique_ptr<Poppler::Page> poPage(poDocument->page(oPreview.pageIndex));
    if (!poPage)
        throw pdfupdate::PdfFailure("PDF_MALFORMED", "The page cannot be read.");
    poDocument->setRenderHint(Poppler::Document::Antialiasing);
    poDocument->setRenderHint(Poppler::Document::TextAntialiasing);

    // The resolution that fits the page (either way round: /Rotate turns it)
    // into the box; a page given absurd dimensions is not rendered larger.
    const QSizeF oPoints = poPage->pageSizeF();
    const double dLong = std::max(oPoints.width(), oPoints.height());
    const double dShort = std::min(oPoints.width(), oPoints.height());
    if (!(dShort >= 1.0) || !std::isfinite(dLong))
        throw pdfupdate::PdfFailure("PDF_MALFORMED", "The page has no size.");
    const double dBoxLong = std::max(v_iMaxWidth, v_iMaxHeight), dBoxShort = std::min(v_iMaxWidth, v_iMaxHeight);
    const double dDpi = std::min(72.0 * std::min(dBoxLong / dLong, dBoxShort / dShort), 600.0);
    QImage oImage = poPage->renderToImage(dDpi, dDpi);
    if (oImage.isNull())
        throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "The page cannot be rendered.");
    const int iDrawnWidth = oImage.width();
    if (oImage.width() > v_iMaxWidth || oImage.height() > v_iMaxHeight)
        oImage = oImage.scaled(v_iMaxWidth, v_iMaxHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    oPreview.milliDpi = int(dDpi * 1000.0 * oImage.width() / iDrawnWidth);
    oImage = oImage.convertToFormat(QImage::Format_ARGB32);
    oPreview.width = oImage.width();
    oPreview.height = oImage.height();
    oPreview.pixels.reserve(std::size_t(oPreview.width) * std::size_t(oPreview.height) * 4);
    for (int y = 0; y < oPreview.height; ++y)
        oPreview.pixels.append(reinterpret_cast<const char *>(oImage.constScanLine(y)), std::size_t(oPreview.width) * 4);
    return oPreview;
}

} // namespace pdfrender
