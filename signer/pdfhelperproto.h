#pragma once

// The records the server and the PDF helper (qtx-pdf-helper) exchange over
// the helper's standard input and output: a 4-letter tag, the length as 8
// bytes big-endian, the bytes. The request ends where its input ends; a reply
// is complete only with its last record, "DONE".
//
// Request: MODE ("prepare", "dss", "render", or "confinement": what the
// confined helper could still open), limits LOBJ/LPAG/LFLD, for "prepare"
// the options PAGE, VISI, RECT ("x y w h"), LINE (repeated), NAME, DATE,
// FLDN, RSVD; for "dss" CERT, OCSP, CRL_ (repeated); for "render" PAGE, MAXW,
// MAXH (the box in pixels); DOCU, the document, last.
// Reply: ERRC and ERRM for a failure; else for "prepare" UPDT (the update),
// BROF, BRWD, CTOF, CTWD, PGCT, PGIX, FLDN; for "dss" UPDT; for "render"
// IMGW, IMGH, PGCT, PGIX, RDPI (the resolution, 1/1000 dpi), PIXL (IMGW * IMGH pixels of 4 bytes, 0xAARRGGBB in
// host order, row by row); then DONE.
//
// No Qt here: the server's side and the helper's qpdf side share it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pdfhelper {

using Record = std::pair<std::string, std::string>;

inline void appendRecord(std::string &v_oOut, const char *v_pTag, const std::string &v_oData)
{
    v_oOut.append(v_pTag, 4);
    const std::uint64_t uiLength = v_oData.size();
    for (int i = 7; i >= 0; --i)
        v_oOut.push_back(static_cast<char>((uiLength >> (8 * i)) & 0xff));
    v_oOut += v_oData;
}

// The records of v_oData; false when it does not split into whole records.
inline bool parseRecords(const std::string &v_oData, std::vector<Record> *v_poRecords)
{
    std::size_t uiPos = 0;
    while (uiPos < v_oData.size()) {
        if (v_oData.size() - uiPos < 12)
            return false;
        std::uint64_t uiLength = 0;
        for (int i = 0; i < 8; ++i)
            uiLength = (uiLength << 8) | static_cast<unsigned char>(v_oData[uiPos + 4 + i]);
        if (uiLength > v_oData.size() - uiPos - 12)
            return false;
        v_poRecords->emplace_back(v_oData.substr(uiPos, 4), v_oData.substr(uiPos + 12, std::size_t(uiLength)));
        uiPos += 12 + std::size_t(uiLength);
    }
    return true;
}

} // namespace pdfhelper
