#include "pdfconfine.h"

#include "pdfupdate.h"
#include "qtxlargebuffer.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pdfconfine {

namespace {

bool setLimit(int v_iResource, rlim_t v_uiSoft, rlim_t v_uiHard)
{
    const struct rlimit oLimit = {v_uiSoft, v_uiHard};
    return setrlimit(v_iResource, &oLimit) == 0;
}

bool limitMemory(unsigned long v_uiMemoryMiB)
{
#ifndef QTX_HELPER_SANITIZED
    // Sanitizer runtimes reserve terabytes of address space; their builds
    // rely on the CPU and wall-clock limits.
    return setLimit(RLIMIT_AS, rlim_t(v_uiMemoryMiB) << 20, rlim_t(v_uiMemoryMiB) << 20);
#else
    (void)v_uiMemoryMiB;
    return true;
#endif
}

bool limitSelf(unsigned long v_uiMemoryMiB, unsigned long v_uiCpuSeconds)
{
    bool bOk = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && prctl(PR_SET_DUMPABLE, 0) == 0
               && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    // The CPU limit's soft end sends SIGXCPU, one second later SIGKILL.
    bOk = bOk && setLimit(RLIMIT_CPU, v_uiCpuSeconds, v_uiCpuSeconds + 1) && setLimit(RLIMIT_CORE, 0, 0)
          && setLimit(RLIMIT_FSIZE, 0, 0) && setLimit(RLIMIT_NOFILE, 16, 16);
    return bOk && limitMemory(v_uiMemoryMiB);
}

// From here on: memory, the pipes, the clock, exit. Anything else fails with
// EPERM (an unexpected call in the library then fails instead of killing the
// process without a word).
bool g_bConfined = false;

bool confineSelf(bool v_bReadFiles)
{
#if defined(QTX_HELPER_SANITIZED)
    (void)v_bReadFiles;
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
    static const long kReading[] = {SYS_getdents64, SYS_fcntl, SYS_pread64, SYS_faccessat,
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
    if (v_bReadFiles) {
        for (long iCall : kReading) {
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

constexpr int kRequestWaitMs = 120 * 1000;

bool readExactly(char *v_pTo, std::size_t v_uiSize)
{
    std::size_t uiDone = 0;
    while (uiDone < v_uiSize) {
        const ssize_t iRead = read(STDIN_FILENO, v_pTo + uiDone, v_uiSize - uiDone);
        if (iRead < 0 && errno == EINTR)
            continue;
        if (iRead <= 0)
            return false;
        uiDone += std::size_t(iRead);
    }
    return true;
}

// The request's records, read one by one: each record's data straight into
// its own string of the size its head announces (the document too: no buffer
// of the whole input that is then copied apart, which for a 10 MB document
// cost more in page faults and copies than qpdf's reading). The server
// announces the input's size; a record beyond it, or bytes after the input,
// refuse the request.
bool readRequest(std::vector<pdfhelper::Record> *v_poRecords, std::size_t v_uiSize)
{
    // A helper started ahead of its request (the server's spare preview)
    // waits for it at most this long, then ends.
    pollfd oFirst = {STDIN_FILENO, POLLIN, 0};
    int iReady;
    while ((iReady = poll(&oFirst, 1, kRequestWaitMs)) < 0 && errno == EINTR) {
    }
    if (iReady <= 0)
        return false;
    std::size_t uiLeft = v_uiSize;
    for (;;) {
        char aHead[12];
        const ssize_t iRead = read(STDIN_FILENO, aHead, 1);
        if (iRead < 0 && errno == EINTR)
            continue;
        if (iRead < 0)
            return false;
        if (iRead == 0)
            return true;
        if (uiLeft < sizeof aHead || !readExactly(aHead + 1, sizeof aHead - 1))
            return false;
        uiLeft -= sizeof aHead;
        std::uint64_t uiLength = 0;
        for (int i = 0; i < 8; ++i)
            uiLength = (uiLength << 8) | static_cast<unsigned char>(aHead[4 + i]);
        if (uiLength > uiLeft)
            return false;
        uiLeft -= std::size_t(uiLength);
        // The document's pages are made ready in bulk before they are zeroed and filled.
        std::string oData;
        oData.reserve(std::size_t(uiLength));
        qtxPrepareLargeBuffer(oData.data(), std::size_t(uiLength));
        oData.resize(std::size_t(uiLength));
        v_poRecords->emplace_back(std::string(aHead, 4), std::move(oData));
        if (uiLength > 0 && !readExactly(&v_poRecords->back().second[0], std::size_t(uiLength)))
            return false;
    }
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

// What a document that took over this process could still reach.
std::string confinementReport()
{
    const int iFile = ::open("/etc/passwd", O_RDONLY | O_CLOEXEC);
    const int iFileError = iFile < 0 ? errno : 0;
    const int iSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int iSocketError = iSocket < 0 ? errno : 0;
    std::string oReply;
    pdfhelper::appendRecord(oReply, "SECC", g_bConfined ? "1" : "0");
    pdfhelper::appendRecord(oReply, "OPEN", std::to_string(iFileError));
    pdfhelper::appendRecord(oReply, "SOCK", std::to_string(iSocketError));
    return oReply;
}

} // namespace

unsigned long number(const std::string &v_oText, unsigned long v_uiDefault)
{
    if (v_oText.empty() || v_oText.size() > 18 || v_oText.find_first_not_of("0123456789") != std::string::npos)
        return v_uiDefault;
    return std::stoul(v_oText);
}

int run(int argc, char **argv, const Role &v_oRole)
{
    if (argc != 4)
        return 2;
    const unsigned long uiMemory = number(argv[1], 0), uiCpu = number(argv[2], 0), uiInput = number(argv[3], 0);
    // Four times the document on top of the base: first for the largest
    // document the input may hold, then for the one that came.
    if (uiMemory < 64 || uiCpu < 1 || uiInput < 1 || !limitSelf(uiMemory + 4 * (uiInput >> 20), uiCpu))
        return 3;
    // What the role loads while it can read its configuration, before the
    // request (a helper started ahead has it done when the request comes).
    if (v_oRole.beforeConfinement)
        v_oRole.beforeConfinement();
    std::vector<pdfhelper::Record> oRequest;
    if (!readRequest(&oRequest, uiInput))
        return 4;
    std::size_t uiDocument = 0;
    for (const pdfhelper::Record &oRecord : oRequest)
        uiDocument = oRecord.first == "DOCU" ? oRecord.second.size() : uiDocument;
    if (!limitMemory(uiMemory + 4 * (uiDocument >> 20)))
        return 3;
    bool bReport = false;
    for (const pdfhelper::Record &oRecord : oRequest)
        bReport = bReport || (oRecord.first == "MODE" && oRecord.second == "confinement");
    if (!confineSelf(v_oRole.readsFiles))
        return 5;
    std::string oReply;
    if (bReport) {
        oReply = confinementReport();
    } else {
        try {
            oReply = v_oRole.handle(oRequest);
        } catch (const pdfupdate::PdfFailure &oFailure) {
            oReply.clear();
            pdfhelper::appendRecord(oReply, "ERRC", oFailure.code());
            pdfhelper::appendRecord(oReply, "ERRM", oFailure.what());
        }
    }
    pdfhelper::appendRecord(oReply, "DONE", std::string());
    return writeAll(oReply) ? 0 : 6;
}

} // namespace pdfconfine
