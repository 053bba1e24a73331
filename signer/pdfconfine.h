#pragma once

// What the PDF helpers (qtx-pdf-helper: preparing and /DSS updates with qpdf;
// qtx-pdf-preview: pages drawn with poppler) share: their command line, the
// limits and the seccomp filter they put on themselves, and reading the
// request and writing the reply over the socket the server gave them.
//
//   qtx-pdf-helper <memory MiB> <CPU seconds> <input bytes>
//
// Before it reads anything a helper limits itself (address space: the memory
// given plus four times the input's MiB, lowered to four times the document's
// once it is read; CPU time, no files written, no core, dies with the thread
// that started it); it waits at most two minutes for the request's first
// byte; once the request is in, a seccomp filter leaves it memory, its two
// pipes and exit. A helper whose
// role reads files (the preview: the fonts a page names) may also open files
// for reading; nothing it could read leaves the process but as pixels of the
// preview, which only the dialog shows. The server adds a wall-clock limit
// and reads at most a bounded reply (pdfsigner.cpp).
//
// Kept free of Qt: the preparing helper maps qpdf and the C++ runtime only,
// so that its start costs a few milliseconds, not Qt's and poppler's loading.

#include "pdfhelperproto.h"

#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QTX_HELPER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QTX_HELPER_SANITIZED 1
#endif
#endif

namespace pdfconfine {

struct Role
{
    // Whether the confined process may open files for reading (and look at
    // them: the calls fontconfig and FreeType make).
    bool readsFiles = false;
    // Run before the request is read (and so before the filter): what must
    // be loaded while the process can still read its configuration.
    void (*beforeConfinement)() = nullptr;
    // The reply's records for the request, without the closing DONE; not
    // called for MODE "confinement", which every helper answers alike. A
    // pdfupdate::PdfFailure it throws becomes the reply's ERRC and ERRM.
    std::string (*handle)(const std::vector<pdfhelper::Record> &v_oRequest) = nullptr;
};

// A decimal number of at most 18 digits, or v_uiDefault.
unsigned long number(const std::string &v_oText, unsigned long v_uiDefault);

// The whole life of a helper process: its exit code (0 once the reply is
// written; 2 for a wrong command line; 3-6 a limit, the request, the filter
// or the reply failed).
int run(int argc, char **argv, const Role &v_oRole);

} // namespace pdfconfine
