// libFuzzer target for the PDF side of document signatures as the PDF helper
// runs it (signer/pdfupdate.h): reading a hostile document with qpdf and
// writing the signature's incremental update, then the /DSS update on the
// result.
//
// Input layout: byte 0 picks the options (bit 0 a visible box, bit 1 the last
// page instead of the first, bit 2 a field name of our own, bit 3 the /DSS
// update as well); the rest is the document.
//
// Invariants: every failure is one of the page's error codes, never our
// writer's own (PDF_ENGINE_ERROR: an update that does not read back as
// written); a prepared update has its placeholders where it says.

#include "fuzzsupport.h"
#include "pdfupdate.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *v_pData, size_t v_uiSize)
{
    if (v_uiSize < 1)
        return 0;
    const uint8_t uiFlags = v_pData[0];
    const std::string oPdf(reinterpret_cast<const char *>(v_pData + 1), v_uiSize - 1);

    pdfupdate::SignatureRequest oRequest;
    oRequest.visible = (uiFlags & 1) != 0;
    oRequest.page = (uiFlags & 2) ? -1 : 0;
    oRequest.x = 20, oRequest.y = 20, oRequest.width = 150, oRequest.height = 40;
    oRequest.lines = {"Fuzz Signer \xc3\xbc\xe2\x80\xae", "2026-01-01 00:00:00 UTC"};
    oRequest.signerName = "Fuzz Signer";
    oRequest.pdfDate = "D:20260101000000+00'00'";
    oRequest.fieldName = (uiFlags & 4) ? "Approval" : "";
    oRequest.reservedBytes = 64;
    pdfupdate::Limits oLimits;
    oLimits.maxObjects = 100000;
    oLimits.maxPages = 1000;
    oLimits.maxFields = 1000;

    try {
        const pdfupdate::SignatureUpdate oUpdate = pdfupdate::prepareSignature(oPdf, oRequest, oLimits);
        const std::string &oBytes = oUpdate.bytes;
        FUZZ_CHECK(!oBytes.empty() && oBytes[0] == '\n');
        FUZZ_CHECK(oUpdate.byteRangeWidth == pdfupdate::kByteRangeWidth);
        FUZZ_CHECK(oUpdate.byteRangeOffset + oUpdate.byteRangeWidth <= oBytes.size());
        FUZZ_CHECK(oBytes.compare(oUpdate.byteRangeOffset, oUpdate.byteRangeWidth,
                                  '[' + std::string(oUpdate.byteRangeWidth - 2, ' ') + ']')
                   == 0);
        FUZZ_CHECK(oUpdate.contentsWidth == 2 * oRequest.reservedBytes + 2);
        FUZZ_CHECK(oUpdate.contentsOffset + oUpdate.contentsWidth <= oBytes.size());
        FUZZ_CHECK(oBytes.compare(oUpdate.contentsOffset, oUpdate.contentsWidth,
                                  '<' + std::string(oUpdate.contentsWidth - 2, '0') + '>')
                   == 0);
        FUZZ_CHECK(oUpdate.pageIndex >= 0 && oUpdate.pageIndex < oUpdate.pageCount);
        FUZZ_CHECK(oUpdate.fieldName == (oRequest.fieldName.empty() ? oUpdate.fieldName : oRequest.fieldName));
        if (uiFlags & 8) {
            pdfupdate::ValidationItems oItems;
            oItems.certificates = {"certificate", "certificate"};
            oItems.ocspResponses = {"ocsp"};
            oItems.crls = {std::string(100, '\0')};
            const std::string oDss = pdfupdate::appendDss(oPdf + oBytes, oItems, oLimits);
            FUZZ_CHECK(!oDss.empty() && oDss[0] == '\n');
        }
    } catch (const pdfupdate::PdfFailure &oFailure) {
        if (oFailure.code() == "PDF_ENGINE_ERROR")
            std::fprintf(stderr, "%s\n", oFailure.what());
        FUZZ_CHECK(!oFailure.code().empty() && oFailure.code() != "PDF_ENGINE_ERROR");
    }
    return 0;
}
