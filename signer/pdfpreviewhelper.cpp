// qtx-pdf-preview: draws one page of a document with poppler (pdfrender.h)
// for the consent dialog, in a confined process of its own (pdfconfine.h)
// that may in addition read files (the fonts a page names). Qt and poppler
// are loaded here only, never in the preparing qtx-pdf-helper.

#include "pdfconfine.h"
#include "pdfhelperproto.h"
#include "pdfrender.h"
#include "pdfupdate.h"

#include <string>
#include <vector>

#if defined(QTX_HELPER_SANITIZED)
// The helpers run with an empty environment, so the tests' suppression file
// does not reach them. fontconfig and poppler keep their caches (fonts, the
// global parameters) until the process ends; a leak report on them would
// make every preview fail in sanitizer builds.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libpoppler.so\nleak:libpoppler-qt5.so\n";
}
#endif

namespace {

std::string handle(const std::vector<pdfhelper::Record> &v_oRequest)
{
    std::string oMode;
    const std::string *poDocument = nullptr;
    int iPage = 0, iMaxWidth = 0, iMaxHeight = 0;
    for (const pdfhelper::Record &oRecord : v_oRequest) {
        const std::string &oTag = oRecord.first;
        const std::string &oValue = oRecord.second;
        if (oTag == "MODE")
            oMode = oValue;
        else if (oTag == "PAGE")
            iPage = oValue == "last" ? -1 : int(pdfconfine::number(oValue, 0));
        else if (oTag == "MAXW")
            iMaxWidth = int(pdfconfine::number(oValue, 0) & 0xffff);
        else if (oTag == "MAXH")
            iMaxHeight = int(pdfconfine::number(oValue, 0) & 0xffff);
        else if (oTag == "DOCU")
            poDocument = &oValue;
    }

    std::string oReply;
    if (!poDocument)
        throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "The request has no document.");
    if (oMode != "render")
        throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "Unknown mode.");
    const pdfrender::Preview oPreview = pdfrender::renderPage(*poDocument, iPage, iMaxWidth, iMaxHeight);
    pdfhelper::appendRecord(oReply, "IMGW", std::to_string(oPreview.width));
    pdfhelper::appendRecord(oReply, "IMGH", std::to_string(oPreview.height));
    pdfhelper::appendRecord(oReply, "PGCT", std::to_string(oPreview.pageCount));
    pdfhelper::appendRecord(oReply, "PGIX", std::to_string(oPreview.pageIndex));
    pdfhelper::appendRecord(oReply, "RDPI", std::to_string(oPreview.milliDpi));
    pdfhelper::appendRecord(oReply, "PIXL", oPreview.pixels);
    return oReply;
}

} // namespace

int main(int argc, char **argv)
{
    pdfconfine::Role oRole;
    oRole.readsFiles = true;
    oRole.beforeConfinement = pdfrender::prepareFonts;
    oRole.handle = handle;
    return pdfconfine::run(argc, argv, oRole);
}
