// qtx-pdf-helper: reads one document and writes the incremental update the
// server asked for (pdfupdate.h), in a process of its own, so that a document
// that makes the PDF library crash, loop or eat memory costs this process and
// not the server.
//
//   qtx-pdf-helper <memory MiB> <CPU seconds> <input bytes>
//
// Before it reads anything it limits itself (address space, CPU time, no
// files written, no core, dies with its parent); once the request is in, a
// seccomp filter leaves it memory, its two pipes and exit. A preview
// ("render", with poppler) may also open files for reading, for the fonts
// the page names; nothing it could read leaves the process but as pixels of
// the preview, which only the dialog shows. The server adds a wall-clock
// limit and reads at most a bounded reply (pdfsigner.cpp).

#include "pdfhelperproto.h"
#include "pdfrender.h"
#include "pdfupdate.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool setLimit(int v_iResource, rlim_t v_uiSoft, rlim_t v_uiHard)
{
    const struct rlimit oLimit = {v_uiSoft, v_uiHard};
    return setrlimit(v_iResource, &oLimit) == 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QTX_HELPER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QTX_HELPER_SANITIZED 1
#endif
#endif

#if defined(QTX_HELPER_SANITIZED)
// The helper runs with an empty environment, so the tests' suppression file
// does not reach it. fontconfig and poppler keep their caches (fonts, the
// global parameters) until the process ends; a leak report on them would
// make every preview fail in sanitizer builds.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libpoppler.so\nleak:libpoppler-qt5.so\n";
}
#endif

bool limitSelf(unsigned long v_uiMemoryMiB, unsigned long v_uiCpuSeconds)
{
    bool bOk = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && prctl(PR_SET_DUMPABLE, 0) == 0
               && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    // The CPU limit's soft end sends SIGXCPU, one second later SIGKILL.
    bOk = bOk && setLimit(RLIMIT_CPU, v_uiCpuSeconds, v_uiCpuSeconds + 1) && setLimit(RLIMIT_CORE, 0, 0)
          && setLimit(RLIMIT_FSIZE, 0, 0) && setLimit(RLIMIT_NOFILE, 16, 16);
#ifndef QTX_HELPER_SANITIZED
    // Sanitizer runtimes reserve terabytes of address space; their builds
    // rely on the CPU and wall-clock limits.
    bOk = bOk && setLimit(RLIMIT_AS, rlim_t(v_uiMemoryMiB) << 20, rlim_t(v_uiMemoryMiB) << 20);
#else
    (void)v_uiMemoryMiB;
#endif
    return bOk;
}

// From here on: memory, the pipes, the clock, exit. Anything else fails with
// EPERM (an unexpected call in the library then fails instead of killing the
// process without a word).
bool g_bConfined = false;

bool confineSelf(bool v_bRender)
{
#if defined(QTX_HELPER_SANITIZED)
    return true; // the sanitizers' reports need more than this
#else
#if defined(__x86_64__)
    const unsigned int uiArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const unsigned int uiArch = AUDIT_ARCH_AARCH64;
#else
    return true;
#endif
    static const long kAllowed[] = {
        SYS_read, SYS_write, SYS_writev, SYS_close, SYS_fstat, SYS_newfstatat, SYS_lseek, SYS_mmap, SYS_munmap,
        SYS_mremap, SYS_brk, SYS_madvise, SYS_mprotect, SYS_futex, SYS_rt_sigreturn, SYS_rt_sigprocmask,
        SYS_exit, SYS_exit_group, SYS_getrandom, SYS_clock_gettime, SYS_gettimeofday, SYS_getpid, SYS_gettid,
        SYS_tgkill, SYS_sched_yield, SYS_restart_syscall};
    // What fontconfig and FreeType need to find and read a font file.
    static const long kRendering[] = {SYS_getdents64, SYS_fcntl, SYS_pread64, SYS_faccessat,
#if defined(__x86_64__)
                                      SYS_access, SYS_stat, SYS_lstat, SYS_readlink,
#endif
                                      SYS_readlinkat, SYS_statx, SYS_statfs, SYS_fstatfs, SYS_uname, SYS_sysinfo};
    std::vector<sock_filter> oFilter;
    oFilter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    oFilter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uiArch, 1, 0));
    oFilter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    oFilter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    for (long iCall : kAllowed) {
        oFilter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(iCall), 0, 1));
        oFilter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    if (v_bRender) {
        for (long iCall : kRendering) {
            oFilter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(iCall), 0, 1));
            oFilter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        }
        // openat for reading only (the flags' low word: little-endian).
        oFilter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(SYS_openat), 0, 4));
        oFilter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])));
        oFilter.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K,
                                   O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY), 0, 1));
        oFilter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)));
        oFilter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    oFilter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)));
    const sock_fprog oProgram = {static_cast<unsigned short>(oFilter.size()), oFilter.data()};
    g_bConfined = prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &oProgram, 0, 0) == 0;
    return g_bConfined;
#endif
}

// The server announces the input's size: one buffer of that size, filled in
// place by large reads (a 10 MB document in 64 KiB pieces cost a copy per
// doubling and a context switch per piece).
bool readAll(std::string *v_poData, std::size_t v_uiMax)
{
    v_poData->resize(v_uiMax);
    std::size_t uiDone = 0;
    for (;;) {
        char cExtra = 0;
        char *pTo = uiDone < v_uiMax ? &(*v_poData)[uiDone] : &cExtra;
        const ssize_t iRead = read(STDIN_FILENO, pTo, uiDone < v_uiMax ? v_uiMax - uiDone : 1);
        if (iRead == 0)
            break;
        if (iRead < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (uiDone == v_uiMax)
            return false;
        uiDone += std::size_t(iRead);
    }
    v_poData->resize(uiDone);
    return true;
}

bool writeAll(const std::string &v_oData)
{
    std::size_t uiDone = 0;
    while (uiDone < v_oData.size()) {
        const ssize_t iWritten = write(STDOUT_FILENO, v_oData.data() + uiDone, v_oData.size() - uiDone);
        if (iWritten < 0 && errno == EINTR)
            continue;
        if (iWritten <= 0)
            return false;
        uiDone += std::size_t(iWritten);
    }
    return true;
}

unsigned long number(const std::string &v_oText, unsigned long v_uiDefault)
{
    if (v_oText.empty() || v_oText.size() > 18 || v_oText.find_first_not_of("0123456789") != std::string::npos)
        return v_uiDefault;
    return std::stoul(v_oText);
}

std::string handle(const std::vector<pdfhelper::Record> &v_oRequest)
{
    std::string oMode;
    const std::string *poDocument = nullptr;
    pdfupdate::Limits oLimits;
    pdfupdate::SignatureRequest oSign;
    pdfupdate::ValidationItems oItems;
    int iMaxWidth = 0, iMaxHeight = 0;
    for (const pdfhelper::Record &oRecord : v_oRequest) {
        const std::string &oTag = oRecord.first;
        const std::string &oValue = oRecord.second;
        if (oTag == "MODE")
            oMode = oValue;
        else if (oTag == "LOBJ")
            oLimits.maxObjects = number(oValue, oLimits.maxObjects);
        else if (oTag == "LPAG")
            oLimits.maxPages = number(oValue, oLimits.maxPages);
        else if (oTag == "LFLD")
            oLimits.maxFields = number(oValue, oLimits.maxFields);
        else if (oTag == "PAGE")
            oSign.page = oValue == "last" ? -1 : int(number(oValue, 0));
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
            oSign.reservedBytes = number(oValue, oSign.reservedBytes);
        else if (oTag == "CERT")
            oItems.certificates.push_back(oValue);
        else if (oTag == "OCSP")
            oItems.ocspResponses.push_back(oValue);
        else if (oTag == "CRL_")
            oItems.crls.push_back(oValue);
        else if (oTag == "MAXW")
            iMaxWidth = int(number(oValue, 0) & 0xffff);
        else if (oTag == "MAXH")
            iMaxHeight = int(number(oValue, 0) & 0xffff);
        else if (oTag == "DOCU")
            poDocument = &oValue;
    }

    std::string oReply;
    if (oMode == "confinement") {
        // What a document that took over this process could still reach.
        const int iFile = ::open("/etc/passwd", O_RDONLY | O_CLOEXEC);
        const int iFileError = iFile < 0 ? errno : 0;
        const int iSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int iSocketError = iSocket < 0 ? errno : 0;
        pdfhelper::appendRecord(oReply, "SECC", g_bConfined ? "1" : "0");
        pdfhelper::appendRecord(oReply, "OPEN", std::to_string(iFileError));
        pdfhelper::appendRecord(oReply, "SOCK", std::to_string(iSocketError));
        pdfhelper::appendRecord(oReply, "DONE", std::string());
        return oReply;
    }
    try {
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
        } else if (oMode == "render") {
            const pdfrender::Preview oPreview = pdfrender::renderPage(*poDocument, oSign.page, iMaxWidth, iMaxHeight);
            pdfhelper::appendRecord(oReply, "IMGW", std::to_string(oPreview.width));
            pdfhelper::appendRecord(oReply, "IMGH", std::to_string(oPreview.height));
            pdfhelper::appendRecord(oReply, "PGCT", std::to_string(oPreview.pageCount));
            pdfhelper::appendRecord(oReply, "PGIX", std::to_string(oPreview.pageIndex));
            pdfhelper::appendRecord(oReply, "RDPI", std::to_string(oPreview.milliDpi));
            pdfhelper::appendRecord(oReply, "PIXL", oPreview.pixels);
        } else if (oMode == "dss") {
            pdfhelper::appendRecord(oReply, "UPDT", pdfupdate::appendDss(*poDocument, oItems, oLimits));
        } else {
            throw pdfupdate::PdfFailure("PDF_ENGINE_ERROR", "Unknown mode.");
        }
    } catch (const pdfupdate::PdfFailure &oFailure) {
        oReply.clear();
        pdfhelper::appendRecord(oReply, "ERRC", oFailure.code());
        pdfhelper::appendRecord(oReply, "ERRM", oFailure.what());
    }
    pdfhelper::appendRecord(oReply, "DONE", std::string());
    return oReply;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const unsigned long uiMemory = number(argv[1], 0), uiCpu = number(argv[2], 0), uiInput = number(argv[3], 0);
    if (uiMemory < 64 || uiCpu < 1 || uiInput < 1 || !limitSelf(uiMemory, uiCpu))
        return 3;
    std::string oInput;
    std::vector<pdfhelper::Record> oRequest;
    if (!readAll(&oInput, uiInput) || !pdfhelper::parseRecords(oInput, &oRequest))
        return 4;
    std::string().swap(oInput);
    bool bRender = false;
    for (const pdfhelper::Record &oRecord : oRequest)
        bRender = bRender || (oRecord.first == "MODE" && oRecord.second == "render");
    if (bRender)
        pdfrender::prepareFonts();
    if (!confineSelf(bRender))
        return 5;
    return writeAll(handle(oRequest)) ? 0 : 6;
}
