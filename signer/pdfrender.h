#pragma once

// The PDF helper's preview: one page of a document rendered with poppler into
// 32-bit pixels (0xAARRGGBB in host order, rows without padding) that fit in
// the given box. Runs only inside qtx-pdf-helper, confined.

#include <string>

namespace pdfrender {

struct Preview
{
    int width = 0;
    int height = 0;
    int pageCount = 0;
    int pageIndex = 0;   // 0-based
    int milliDpi = 0;    // pixels per inch, times 1000: points * dpi / 72 = pixels
    std::string pixels;  // width * height * 4 bytes
};

// Fontconfig's configuration and cache are read here, before the process
// confines itself; the font files themselves are opened while rendering.
void prepareFonts();

// v_iPage: 0-based, -1 for the last page. Throws pdfupdate::PdfFailure
// (PDF_MALFORMED, PDF_ENCRYPTED, BAD_REQUEST, PDF_ENGINE_ERROR).
Preview renderPage(const std::string &v_oDocument, int v_iPage, int v_iMaxWidth, int v_iMaxHeight);

} // namespace pdfrender
