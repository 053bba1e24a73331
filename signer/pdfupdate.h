#pragma once

// The PDF side of a document signature, as the PDF helper process runs it:
// qpdf reads the document (strictly: no repair of damaged files), and we write
// incremental updates after its last byte, so every earlier revision, and every
// earlier signature over it, stays as it was.
//
// - prepareSignature: a signature field (merged with its widget) on a page, a
//   signature dictionary (SubFilter ETSI.CAdES.detached) whose /ByteRange and
//   /Contents are placeholders of fixed width, and for a visible signature an
//   appearance stream. The caller fills /ByteRange, hashes the byte ranges and
//   later writes the CMS into /Contents (see pdfsigner.h).
// - appendDss: a further update with the document security store (/DSS with
//   /Certs, /OCSPs, /CRLs) for long-term validation.
//
// No Qt here: the helper executable and the fuzz target link this alone.
// Failures throw PdfFailure with one of the page's error codes.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace pdfupdate {

class PdfFailure : public std::runtime_error
{
public:
    PdfFailure(const char *v_pCode, const std::string &v_oMessage) : std::runtime_error(v_oMessage), m_oCode(v_pCode) {}
    const std::string &code() const { return m_oCode; }

private:
    std::string m_oCode;
};

// Bounds on what a document may hold before the work on it stops with
// PDF_TOO_COMPLEX (memory and time are bounded by the helper's limits).
struct Limits
{
    std::size_t maxObjects = 500000;
    std::size_t maxPages = 100000;
    std::size_t maxFields = 10000;
};

struct SignatureRequest
{
    int page = 0; // 0-based; -1 is the last page
    bool visible = false;
    // The box in points, from the top-left corner of the page's visible area
    // (its crop box), x to the right and y downwards.
    double x = 0, y = 0, width = 0, height = 0;
    std::vector<std::string> lines; // UTF-8; the first (the signer's name) in bold
    std::string signerName;         // UTF-8, the dictionary's /Name (may be empty)
    std::string pdfDate;            // "D:YYYYMMDDHHmmSS+HH'mm'", the dictionary's /M
    std::string fieldName;          // UTF-8; empty: "Signature<n>", unused by the document
    std::size_t reservedBytes = 16384; // room for the DER CMS in /Contents
};

struct SignatureUpdate
{
    std::string bytes;               // appended to the document as it was given
    std::size_t byteRangeOffset = 0; // in bytes: "[" spaces "]", byteRangeWidth long
    std::size_t byteRangeWidth = 0;
    std::size_t contentsOffset = 0;  // in bytes: "<" zeros ">", contentsWidth long
    std::size_t contentsWidth = 0;
    int pageCount = 0;
    int pageIndex = 0;
    std::string fieldName;
};

SignatureUpdate prepareSignature(const std::string &v_oPdf, const SignatureRequest &v_oRequest,
                                 const Limits &v_oLimits);

struct ValidationItems
{
    std::vector<std::string> certificates; // DER
    std::vector<std::string> ocspResponses; // DER OCSPResponse
    std::vector<std::string> crls;          // DER
};

// The update that adds the items to the document's /DSS (kept entries stay).
std::string appendDss(const std::string &v_oPdf, const ValidationItems &v_oItems, const Limits &v_oLimits);

// Width of the /ByteRange placeholder: room for four 10-digit numbers.
constexpr std::size_t kByteRangeWidth = 48;

} // namespace pdfupdate
