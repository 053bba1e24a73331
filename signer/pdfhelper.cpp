// qtx-pdf-helper: reads one document and writes the incremental update the
// server asked for (pdfupdate.h: the signature's field and dictionary, or the
// /DSS of B-LT), in a confined process of its own (pdfconfine.h), so that a
// document that makes the PDF library crash, loop or eat memory costs this
// process and not the server. It links qpdf and nothing of Qt or poppler:
// the previews are qtx-pdf-preview's.

#include "pdfconfine.h"
#include "pdfhelperproto.h"
#include "pdfupdate.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string handle(const std::vector<pdfhelper::Record> &v_oRequest)
{
    std::string oMode;
    const std::string *poDocument = nullptr;
    pdfupdate::Limits oLimits;
    pdfupdate::SignatureRequest oSign;
    pdfupdate::ValidationItems oItems;
    for (const pdfhelper::Record &oRecord : v_oRequest) {
        const std::string &oTag = oRecord.first;
        const std::string &oValue = oRecord.second;
        if (oTag == "MODE")
            oMode = oValue;
        else if (oTag == "LOBJ")
            oLimits.maxObjects = pdfconfine::number(oValue, oLimits.maxObjects);
        else if (oTag == "LPAG")
            oLimits.maxPages = pdfconfine::number(oValue, oLimits.maxPages);
        else if (oTag == "LFLD")
            oLimits.maxFields = pdfconfine::number(oValue, oLimits.maxFields);
        else if (oTag == "PAGE")
            oSign.page = oValue == "last" ? -1 : int(pdfconfine::number(oValue, 0));
        else if (oTag == "VISI")
            oSign.visible = oValue == "1";
        else if (oTag == "RECT")
            std::sscanf(oValue.c_str(), "%lf %lf %lf %lf", &oSign.x, &oSign.y, &oSign.width, &oSign.height);
        else if (oTag == "LINE")
            oSign.lines.push_back(oValue);
        else if (oTag == "NAME")
            oSign.signerName = oValue;
        else if (oTag == "DATE")
            oSign.pdfDate = oValue;
        else if (oTag == "FLDN")
            oSign.fieldName = oValue;
        else if (oTag == "RSVD")
            oSign.reservedBytes = pdfconfine::number(oValue, oSign.reservedBytes);
        else if (oTag == "CERT")
            oItems.certificates.push_back(oValue);
        else if (oTag == "OCSP")
            oItems.ocspResponses.push_back(oValue);
        else if (oTag == "CRL_")
            oItems.crls.push_back(oValue);
        else if (oTag == "DOCU")
            poDocument = &oValue;
    }

    std::string oReply;
    if (!poDocument)
        throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "The request has no document.");
    if (oMode == "prepare") {
        const pdfupdate::SignatureUpdate oUpdate = pdfupdate::prepareSignature(*poDocument, oSign, oLimits);
        pdfhelper::appendRecord(oReply, "UPDT", oUpdate.bytes);
        pdfhelper::appendRecord(oReply, "BROF", std::to_string(oUpdate.byteRangeOffset));
        pdfhelper::appendRecord(oReply, "BRWD", std::to_string(oUpdate.byteRangeWidth));
        pdfhelper::appendRecord(oReply, "CTOF", std::to_string(oUpdate.contentsOffset));
        pdfhelper::appendRecord(oReply, "CTWD", std::to_string(oUpdate.contentsWidth));
        pdfhelper::appendRecord(oReply, "PGCT", std::to_string(oUpdate.pageCount));
        pdfhelper::appendRecord(oReply, "PGIX", std::to_string(oUpdate.pageIndex));
        pdfhelper::appendRecord(oReply, "FLDN", oUpdate.fieldName);
    } else if (oMode == "dss") {
        pdfhelper::appendRecord(oReply, "UPDT", pdfupdate::appendDss(*poDocument, oItems, oLimits));
    } else {
        throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "Unknown mode.");
    }
    return oReply;
}

} // namespace

int main(int argc, char **argv)
{
    pdfconfine::Role oRole;
    oRole.handle = handle;
    return pdfconfine::run(argc, argv, oRole);
}
