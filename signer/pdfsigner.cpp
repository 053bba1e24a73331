#include "pdfsigner.h"

#include "pdfhelperproto.h"
#include "pdfupdate.h"
#include "pkcs11token.h"
#include "qtxlargebuffer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <spawn.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kMinReserved = 2048;
constexpr int kMaxReserved = 256 * 1024;
// What a reply may hold beyond the input it answers (the update itself).
constexpr qint64 kMaxReplyOverhead = 16LL << 20;

struct HelperResult
{
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
    bool timedOut = false;
    bool replyTooLarge = false;
    QByteArray reply;
};

// The sanitizers' settings pass to the helper; nothing else of the server's
// environment does.
std::vector<std::string> helperEnvironment()
{
    // glibc's malloc asks for transparent huge pages for its large blocks
    // (poppler's decoded images, qpdf's buffers): they fill with a handful of
    // page faults, not one per 4 KiB (qtxlargebuffer.h says why that matters).
    std::vector<std::string> oEnv = {"GLIBC_TUNABLES=glibc.malloc.hugetlb=1"};
    for (char **pp = environ; pp && *pp; ++pp) {
        const std::string oEntry = *pp;
        for (const char *pPrefix : {"ASAN_OPTIONS=", "LSAN_OPTIONS=", "UBSAN_OPTIONS=", "TSAN_OPTIONS="}) {
            if (oEntry.rfind(pPrefix, 0) == 0)
                oEnv.push_back(oEntry);
        }
    }
    return oEnv;
}

// Opens the helper for execution: a regular, executable file of root or this
// account that nobody else may change, in a folder nobody else may change.
// The descriptor checked is the one executed.
int openHelper(const QString &v_oPath)
{
    const auto refuse = [&](const char *v_pWhy) {
        return SignerError("PDF_ENGINE_ERROR",
                           QStringLiteral("The PDF helper %1 %2.").arg(v_oPath, QLatin1String(v_pWhy)));
    };
    const auto trusted = [](const struct stat &v_oStat) {
        return (v_oStat.st_uid == 0 || v_oStat.st_uid == geteuid()) && (v_oStat.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    if (v_oPath.isEmpty() || !QFileInfo(v_oPath).isAbsolute())
        throw refuse("is not an absolute path");
    struct stat oFolder {};
    if (::stat(QFile::encodeName(QFileInfo(v_oPath).absolutePath()).constData(), &oFolder) != 0 || !trusted(oFolder))
        throw refuse("lies in a folder that others may change");
    const int iFd = ::open(QFile::encodeName(v_oPath).constData(), O_PATH | O_CLOEXEC | O_NOFOLLOW);
    struct stat oStat {};
    if (iFd < 0 || fstat(iFd, &oStat) != 0 || !S_ISREG(oStat.st_mode) || !trusted(oStat)
        || (oStat.st_mode & S_IXUSR) == 0) {
        if (iFd >= 0)
            ::close(iFd);
        throw refuse("is missing, or not an executable of root or this account that only its owner may change");
    }
    return iFd;
}

bool sendAll(int v_iFd, const char *v_pData, qint64 v_iSize, const QElapsedTimer &v_oClock, int v_iWallMs)
{
    qint64 iDone = 0;
    while (iDone < v_iSize) {
        const int iLeft = v_iWallMs - int(v_oClock.elapsed());
        if (iLeft <= 0)
            return false;
        pollfd oPoll = {v_iFd, POLLOUT, 0};
        const int iReady = poll(&oPoll, 1, iLeft);
        if (iReady < 0 && errno == EINTR)
            continue;
        if (iReady <= 0 || (oPoll.revents & (POLLERR | POLLHUP)))
            return false;
        const ssize_t iSent = ::send(v_iFd, v_pData + iDone, size_t(qMin<qint64>(v_iSize - iDone, 1 << 20)),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (iSent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (iSent <= 0)
            return false;
        iDone += iSent;
    }
    return true;
}

// A helper process started and waiting for its request on the socket.
struct Spawned
{
    pid_t pid = -1;
    int fd = -1;
};

// What a request's head may add to the document (the records before DOCU).
constexpr qint64 kMaxHeadBytes = 64 * 1024;

// The bytes of a request: its head, then the document as the DOCU record.
qint64 requestSize(const QByteArray &v_oHead, const QByteArray &v_oDocument)
{
    return v_oHead.size() + 12 + v_oDocument.size();
}

// Starts the helper for a request of at most v_iInput bytes; it limits its
// own memory (v_oLimits.memoryMiB, plus four times the document's MiB once
// it has read it) and CPU time. A socket pair carries both directions.
Spawned spawnHelper(const QString &v_oPath, const PdfLimits &v_oLimits, qint64 v_iInput)
{
    // Above the descriptors the child's file actions name, so that its
    // dup2 to 3 is never a dup2 onto itself (which would keep close-on-exec).
    const int iOpened = openHelper(v_oPath);
    const int iExe = fcntl(iOpened, F_DUPFD_CLOEXEC, 10);
    ::close(iOpened);
    if (iExe < 0)
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("No descriptor for the PDF helper."));
    int aPair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aPair) != 0) {
        ::close(iExe);
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("No socket for the PDF helper."));
    }
    const std::string oMemory = std::to_string(v_oLimits.memoryMiB), oCpu = std::to_string(v_oLimits.cpuSeconds),
                      oInput = std::to_string(v_iInput);
    const std::string oExe = "/proc/self/fd/3";
    const std::string oName = QFileInfo(v_oPath).fileName().toStdString();
    char *aArgv[] = {const_cast<char *>(oName.c_str()), const_cast<char *>(oMemory.c_str()),
                     const_cast<char *>(oCpu.c_str()), const_cast<char *>(oInput.c_str()), nullptr};
    std::vector<std::string> oEnv = helperEnvironment();
    std::vector<char *> oEnvp;
    for (std::string &oEntry : oEnv)
        oEnvp.push_back(oEntry.data());
    oEnvp.push_back(nullptr);

    // In the child: the socket as standard input and output, standard error
    // to /dev/null, the checked executable as descriptor 3 (executed through
    // /proc, so no path is looked up again), nothing else open.
    posix_spawn_file_actions_t oActions;
    posix_spawn_file_actions_init(&oActions);
    posix_spawn_file_actions_adddup2(&oActions, aPair[1], 0);
    posix_spawn_file_actions_adddup2(&oActions, aPair[1], 1);
    posix_spawn_file_actions_addopen(&oActions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&oActions, iExe, 3);
    posix_spawn_file_actions_addclosefrom_np(&oActions, 4);
    posix_spawnattr_t oAttributes;
    posix_spawnattr_init(&oAttributes);
    sigset_t oSignals;
    sigemptyset(&oSignals);
    posix_spawnattr_setsigmask(&oAttributes, &oSignals);
    sigfillset(&oSignals);
    posix_spawnattr_setsigdefault(&oAttributes, &oSignals);
    posix_spawnattr_setflags(&oAttributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t iPid = -1;
    const int iSpawn = posix_spawn(&iPid, oExe.c_str(), &oActions, &oAttributes, aArgv, oEnvp.data());
    posix_spawn_file_actions_destroy(&oActions);
    posix_spawnattr_destroy(&oAttributes);
    ::close(aPair[1]);
    ::close(iExe);
    if (iSpawn != 0) {
        ::close(aPair[0]);
        throw SignerError("PDF_ENGINE_ERROR",
                          QStringLiteral("The PDF helper cannot be started: %1").arg(QString::fromLocal8Bit(std::strerror(iSpawn))));
    }
    return Spawned{iPid, aPair[0]};
}

// Ends a helper that was not given a request: its socket closed (it reads the
// end and exits), killed in any case, and reaped.
void discardHelper(const Spawned &v_oHelper)
{
    ::close(v_oHelper.fd);
    ::kill(v_oHelper.pid, SIGKILL);
    while (waitpid(v_oHelper.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The preview helper started ahead (PdfEngine::keepPreviewReady): Qt's and
// poppler's loading, most of a preview's time for a small document, is done
// before the document is there. One per process; a helper gives up waiting
// for its request after two minutes, so a spare is used only while younger
// than 90 s, and one that was started with other limits is not used at all.
struct SparePreview
{
    QString path;
    int memoryMiB = 0;
    int cpuSeconds = 0;
    qint64 input = 0;
    qint64 bornMs = 0;
    Spawned helper;
};
constexpr qint64 kSpareUsableMs = 90 * 1000;
std::mutex g_oSpareMutex;
std::optional<SparePreview> g_oSpare;

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool spareFits(const SparePreview &v_oSpare, const QString &v_oPath, const PdfLimits &v_oLimits, qint64 v_iInput)
{
    int iStatus = 0;
    return v_oSpare.path == v_oPath && v_oSpare.memoryMiB == v_oLimits.memoryMiB
           && v_oSpare.cpuSeconds == v_oLimits.cpuSeconds && v_oSpare.input >= v_iInput
           && monotonicMs() - v_oSpare.bornMs < kSpareUsableMs && waitpid(v_oSpare.helper.pid, &iStatus, WNOHANG) == 0;
}

// The spare, when it fits this request; else none (and an unfit one is ended).
std::optional<Spawned> takeSpare(const QString &v_oPath, const PdfLimits &v_oLimits, qint64 v_iInput)
{
    std::lock_guard<std::mutex> oGuard(g_oSpareMutex);
    if (!g_oSpare)
        return std::nullopt;
    const SparePreview oSpare = *g_oSpare;
    g_oSpare.reset();
    if (spareFits(oSpare, v_oPath, v_oLimits, v_iInput))
        return oSpare.helper;
    discardHelper(oSpare.helper);
    return std::nullopt;
}

// Sends the request (v_oHead, then the document as the DOCU record's data)
// to a started helper and reads its reply within the wall-clock limit.
HelperResult talkToHelper(const Spawned &v_oHelper, const PdfLimits &v_oLimits, const QByteArray &v_oHead,
                          const QByteArray &v_oDocument)
{
    const pid_t iPid = v_oHelper.pid;
    HelperResult oResult;
    QElapsedTimer oClock;
    oClock.start();
    const int iWallMs = v_oLimits.wallSeconds * 1000;
    const int iFd = v_oHelper.fd;
    const qint64 iInput = requestSize(v_oHead, v_oDocument);
    QByteArray oRecordHead = QByteArray("DOCU");
    for (int i = 7; i >= 0; --i)
        oRecordHead += char((quint64(v_oDocument.size()) >> (8 * i)) & 0xff);
    // A helper that stops reading has died or refused; its exit says why.
    if (sendAll(iFd, v_oHead.constData(), v_oHead.size(), oClock, iWallMs)
        && sendAll(iFd, oRecordHead.constData(), oRecordHead.size(), oClock, iWallMs))
        sendAll(iFd, v_oDocument.constData(), v_oDocument.size(), oClock, iWallMs);
    ::shutdown(iFd, SHUT_WR);

    const qint64 iMaxReply = iInput + kMaxReplyOverhead;
    char aBuffer[65536];
    for (;;) {
        const int iLeft = iWallMs - int(oClock.elapsed());
        if (iLeft <= 0) {
            oResult.timedOut = true;
            break;
        }
        pollfd oPoll = {iFd, POLLIN, 0};
        const int iReady = poll(&oPoll, 1, iLeft);
        if (iReady < 0 && errno == EINTR)
            continue;
        if (iReady == 0) {
            oResult.timedOut = true;
            break;
        }
        const ssize_t iRead = ::recv(iFd, aBuffer, sizeof aBuffer, MSG_DONTWAIT);
        if (iRead < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (iRead <= 0)
            break;
        if (oResult.reply.size() + iRead > iMaxReply) {
            oResult.replyTooLarge = true;
            break;
        }
        oResult.reply.append(aBuffer, int(iRead));
    }
    ::close(iFd);
    if (oResult.timedOut || oResult.replyTooLarge)
        ::kill(iPid, SIGKILL);
    int iStatus = 0;
    while (waitpid(iPid, &iStatus, 0) < 0 && errno == EINTR) {
    }
    oResult.exited = WIFEXITED(iStatus);
    oResult.exitCode = oResult.exited ? WEXITSTATUS(iStatus) : -1;
    oResult.signal = WIFSIGNALED(iStatus) ? WTERMSIG(iStatus) : 0;
    return oResult;
}

// Runs a new helper on one request.
HelperResult runHelper(const QString &v_oPath, const PdfLimits &v_oLimits, const QByteArray &v_oHead,
                       const QByteArray &v_oDocument)
{
    return talkToHelper(spawnHelper(v_oPath, v_oLimits, requestSize(v_oHead, v_oDocument)), v_oLimits, v_oHead,
                        v_oDocument);
}

// Runs the preview helper on one request: the spare when it fits, else a new one.
HelperResult runPreviewHelper(const QString &v_oPath, const PdfLimits &v_oLimits, const QByteArray &v_oHead,
                              const QByteArray &v_oDocument)
{
    const qint64 iInput = requestSize(v_oHead, v_oDocument);
    if (const std::optional<Spawned> oSpare = takeSpare(v_oPath, v_oLimits, iInput)) {
        HelperResult oResult = talkToHelper(*oSpare, v_oLimits, v_oHead, v_oDocument);
        // A spare that ended before it answered (killed from outside) costs
        // a second run, not the preview; a document that ends a helper does
        // the same to the new one and is answered as usual.
        if (!oResult.reply.isEmpty() || oResult.timedOut || oResult.signal == SIGXCPU)
            return oResult;
    }
    return runHelper(v_oPath, v_oLimits, v_oHead, v_oDocument);
}

// The helper's records, or the error its end stands for.
std::map<std::string, std::string> helperReply(const HelperResult &v_oRun, const PdfLimits &v_oLimits,
                                               std::vector<pdfhelper::Record> *v_poRecords)
{
    if (v_oRun.timedOut)
        throw SignerError("PDF_TOO_COMPLEX",
                          QStringLiteral("Reading the document took longer than %1 seconds.").arg(v_oLimits.wallSeconds));
    if (v_oRun.signal == SIGXCPU || v_oRun.signal == SIGKILL)
        throw SignerError("PDF_TOO_COMPLEX",
                          QStringLiteral("Reading the document took more than %1 seconds of CPU time.").arg(v_oLimits.cpuSeconds));
    if (v_oRun.signal != 0)
        throw SignerError("PDF_MALFORMED",
                          QStringLiteral("The PDF library failed on this document (signal %1).").arg(v_oRun.signal));
    std::vector<pdfhelper::Record> &oRecords = *v_poRecords;
    const std::string oReply(v_oRun.reply.constData(), size_t(v_oRun.reply.size()));
    if (v_oRun.replyTooLarge || !v_oRun.exited || v_oRun.exitCode != 0 || !pdfhelper::parseRecords(oReply, &oRecords)
        || oRecords.empty() || oRecords.back().first != "DONE")
        throw SignerError("PDF_ENGINE_ERROR",
                          QStringLiteral("The PDF helper ended without an answer (exit %1).").arg(v_oRun.exitCode));
    std::map<std::string, std::string> oFields;
    for (const pdfhelper::Record &oRecord : oRecords)
        oFields.emplace(oRecord.first, oRecord.second);
    if (oFields.count("ERRC")) {
        const QByteArray oCode = QByteArray::fromStdString(oFields["ERRC"]);
        static const char *const kCodes[] = {"PDF_MALFORMED",          "PDF_ENCRYPTED",    "PDF_TOO_COMPLEX",
                                             "PDF_SIGNATURE_INVALID",  "PDF_FIELD_EXISTS", "PDF_CHANGES_NOT_ALLOWED",
                                             "BAD_REQUEST",            "PDF_ENGINE_ERROR"};
        const char *pCode = "PDF_ENGINE_ERROR";
        for (const char *pKnown : kCodes) {
            if (oCode == pKnown)
                pCode = pKnown;
        }
        throw SignerError(pCode, QString::fromStdString(oFields["ERRM"]).left(500));
    }
    return oFields;
}

// A document and its update in one buffer.
QByteArray joined(const QByteArray &v_oDocument, const QByteArray &v_oUpdate)
{
    if (qint64(v_oDocument.size()) + v_oUpdate.size() > INT_MAX - 64)
        throw SignerError("PDF_TOO_LARGE", QStringLiteral("The document would grow beyond what can be handled."));
    QByteArray oJoined = documentBuffer(v_oDocument.size() + v_oUpdate.size());
    std::memcpy(oJoined.data(), v_oDocument.constData(), size_t(v_oDocument.size()));
    std::memcpy(oJoined.data() + v_oDocument.size(), v_oUpdate.constData(), size_t(v_oUpdate.size()));
    return oJoined;
}

qint64 numberField(const std::map<std::string, std::string> &v_oFields, const char *v_pKey)
{
    const auto it = v_oFields.find(v_pKey);
    bool bOk = false;
    const qint64 iValue = it == v_oFields.end() ? -1 : QByteArray::fromStdString(it->second).toLongLong(&bOk);
    if (!bOk || iValue < 0)
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("The PDF helper's answer lacks %1.").arg(QLatin1String(v_pKey)));
    return iValue;
}

void addRecord(QByteArray &v_oOut, const char *v_pTag, const QByteArray &v_oData)
{
    std::string oOut;
    pdfhelper::appendRecord(oOut, v_pTag, v_oData.toStdString());
    v_oOut += QByteArray::fromStdString(oOut);
}

QByteArray limitRecords(const PdfLimits &v_oLimits)
{
    QByteArray oHead;
    addRecord(oHead, "LOBJ", QByteArray::number(v_oLimits.maxObjects));
    addRecord(oHead, "LPAG", QByteArray::number(v_oLimits.maxPages));
    addRecord(oHead, "LFLD", QByteArray::number(v_oLimits.maxFields));
    return oHead;
}

bool hasControlCharacters(const QString &v_oText)
{
    for (const QChar c : v_oText) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            return true;
    }
    return false;
}

QString shownTime(const QDateTime &v_oTime)
{
    const QDateTime oLocal = v_oTime.toLocalTime();
    const int iOffset = oLocal.offsetFromUtc() / 60;
    const QString oZone = iOffset == 0 ? QStringLiteral("UTC")
                                       : QStringLiteral("%1%2:%3")
                                             .arg(iOffset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                                             .arg(qAbs(iOffset) / 60, 2, 10, QLatin1Char('0'))
                                             .arg(qAbs(iOffset) % 60, 2, 10, QLatin1Char('0'));
    return oLocal.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + oZone;
}

} // namespace

PdfEngine::PdfEngine(const QString &v_oHelperPath, const PdfLimits &v_oLimits)
    : m_oHelper(v_oHelperPath),
      m_oPreview(v_oHelperPath.isEmpty() ? QString()
                                        : QFileInfo(v_oHelperPath).absolutePath() + QStringLiteral("/qtx-pdf-preview")),
      m_oLimits(v_oLimits)
{
}

QString PdfEngine::defaultHelperPath()
{
    if (!QCoreApplication::instance())
        return QString();
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath() + QStringLiteral("/qtx-pdf-helper");
}

int PdfEngine::defaultReservedBytes(SignatureLevel v_eLevel)
{
    return v_eLevel == SignatureLevel::BaselineB ? 8192 : 24576;
}

PreparedPdf PdfEngine::prepare(const QByteArray &v_oPdf, const PdfSignOptions &v_oOptions,
                               DigestAlgorithm v_eAlgorithm) const
{
    if (v_oPdf.size() > m_oLimits.maxDocumentBytes)
        throw SignerError("PDF_TOO_LARGE", QStringLiteral("The document has %1 bytes; at most %2 may be signed.")
                                               .arg(v_oPdf.size())
                                               .arg(m_oLimits.maxDocumentBytes));
    if (!v_oPdf.startsWith("%PDF-"))
        throw SignerError("PDF_MALFORMED", QStringLiteral("The document is not a PDF."));
    const auto badRequest = [](const QString &v_oWhy) { return SignerError("BAD_REQUEST", v_oWhy); };
    if (v_oOptions.signerName.size() > 200 || v_oOptions.textLine.size() > 200
        || hasControlCharacters(v_oOptions.signerName) || hasControlCharacters(v_oOptions.textLine))
        throw badRequest(QStringLiteral("The signer's name and the text line are single lines of at most 200 characters."));
    if (v_oOptions.fieldName.size() > 100 || v_oOptions.fieldName.contains(QLatin1Char('.'))
        || hasControlCharacters(v_oOptions.fieldName))
        throw badRequest(QStringLiteral("The field name has at most 100 characters, none of them '.' or a control character."));
    if (v_oOptions.page < -1)
        throw badRequest(QStringLiteral("The page number is out of range."));
    const int iReserved = v_oOptions.reservedBytes > 0 ? v_oOptions.reservedBytes : defaultReservedBytes(SignatureLevel::BaselineT);
    if (iReserved < kMinReserved || iReserved > kMaxReserved)
        throw badRequest(QStringLiteral("The room for the signature must be %1 to %2 bytes.").arg(kMinReserved).arg(kMaxReserved));
    const QRectF oRect = v_oOptions.rectangle;
    if (v_oOptions.visible
        && !(qIsFinite(oRect.x()) && qIsFinite(oRect.y()) && qIsFinite(oRect.width()) && qIsFinite(oRect.height())))
        throw badRequest(QStringLiteral("The signature box is not a rectangle."));

    const QDateTime oTime = (v_oOptions.time.isValid() ? v_oOptions.time : QDateTime::currentDateTimeUtc()).toUTC();
    QByteArray oHead;
    addRecord(oHead, "MODE", "prepare");
    oHead += limitRecords(m_oLimits);
    addRecord(oHead, "PAGE", v_oOptions.page < 0 ? QByteArray("last") : QByteArray::number(v_oOptions.page));
    addRecord(oHead, "VISI", v_oOptions.visible ? "1" : "0");
    addRecord(oHead, "RECT", QStringLiteral("%1 %2 %3 %4")
                                 .arg(oRect.x(), 0, 'f', 2)
                                 .arg(oRect.y(), 0, 'f', 2)
                                 .arg(oRect.width(), 0, 'f', 2)
                                 .arg(oRect.height(), 0, 'f', 2)
                                 .toLatin1());
    addRecord(oHead, "LINE", v_oOptions.signerName.toUtf8());
    addRecord(oHead, "LINE", shownTime(oTime).toUtf8());
    if (!v_oOptions.textLine.isEmpty())
        addRecord(oHead, "LINE", v_oOptions.textLine.toUtf8());
    addRecord(oHead, "NAME", v_oOptions.signerName.toUtf8());
    addRecord(oHead, "DATE", oTime.toString(QStringLiteral("'D:'yyyyMMddHHmmss'+00''00'''")).toLatin1());
    addRecord(oHead, "FLDN", v_oOptions.fieldName.toUtf8());
    addRecord(oHead, "RSVD", QByteArray::number(iReserved));

    std::vector<pdfhelper::Record> oRecords;
    const auto oFields = helperReply(runHelper(m_oHelper, m_oLimits, oHead, v_oPdf), m_oLimits, &oRecords);

    // The update is the helper's; its placeholders and sizes are checked here
    // before anything is hashed.
    const auto itUpdate = oFields.find("UPDT");
    const QByteArray oUpdate = itUpdate == oFields.end() ? QByteArray() : QByteArray::fromStdString(itUpdate->second);
    const qint64 iRangeAt = numberField(oFields, "BROF"), iRangeWidth = numberField(oFields, "BRWD");
    const qint64 iContentsAt = numberField(oFields, "CTOF"), iContentsWidth = numberField(oFields, "CTWD");
    const bool bPlaceholders =
        iRangeWidth == qint64(pdfupdate::kByteRangeWidth) && iRangeAt + iRangeWidth <= oUpdate.size()
        && oUpdate.mid(int(iRangeAt), int(iRangeWidth)) == '[' + QByteArray(int(iRangeWidth) - 2, ' ') + ']'
        && iContentsWidth == 2 * qint64(iReserved) + 2 && iContentsAt + iContentsWidth <= oUpdate.size()
        && oUpdate.mid(int(iContentsAt), int(iContentsWidth)) == '<' + QByteArray(int(iContentsWidth) - 2, '0') + '>'
        && (iRangeAt + iRangeWidth <= iContentsAt || iContentsAt + iContentsWidth <= iRangeAt);
    if (!bPlaceholders)
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("The PDF helper's update does not have its placeholders."));

    PreparedPdf oPrepared;
    oPrepared.originalSize = v_oPdf.size();
    oPrepared.document = joined(v_oPdf, oUpdate);
    oPrepared.contentsOffset = v_oPdf.size() + iContentsAt;
    oPrepared.contentsLength = iContentsWidth;
    const qint64 iAfter = oPrepared.contentsOffset + iContentsWidth;
    QByteArray oRange = "[0 " + QByteArray::number(oPrepared.contentsOffset) + ' ' + QByteArray::number(iAfter) + ' '
                        + QByteArray::number(oPrepared.document.size() - iAfter) + ']';
    oPrepared.byteRange = oRange;
    oRange.insert(oRange.size() - 1, QByteArray(int(iRangeWidth) - oRange.size(), ' '));
    oPrepared.document.replace(int(v_oPdf.size() + iRangeAt), int(iRangeWidth), oRange);

    EVP_MD_CTX *poHash = EVP_MD_CTX_new();
    const EVP_MD *poMd = v_eAlgorithm == DigestAlgorithm::Sha384   ? EVP_sha384()
                         : v_eAlgorithm == DigestAlgorithm::Sha512 ? EVP_sha512()
                                                                   : EVP_sha256();
    unsigned char aDigest[EVP_MAX_MD_SIZE];
    unsigned int uiLength = 0;
    const bool bHashed =
        poHash && EVP_DigestInit_ex(poHash, poMd, nullptr) == 1
        && EVP_DigestUpdate(poHash, oPrepared.document.constData(), size_t(oPrepared.contentsOffset)) == 1
        && EVP_DigestUpdate(poHash, oPrepared.document.constData() + iAfter, size_t(oPrepared.document.size() - iAfter)) == 1
        && EVP_DigestFinal_ex(poHash, aDigest, &uiLength) == 1;
    EVP_MD_CTX_free(poHash);
    if (!bHashed)
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("The document cannot be hashed."));
    oPrepared.digest = QByteArray(reinterpret_cast<const char *>(aDigest), int(uiLength));
    oPrepared.digestAlgorithm = v_eAlgorithm;
    oPrepared.pageCount = int(numberField(oFields, "PGCT"));
    oPrepared.signaturePage = int(numberField(oFields, "PGIX"));
    oPrepared.fieldName = QString::fromStdString(oFields.at("FLDN"));
    return oPrepared;
}

QByteArray documentBuffer(int v_iSize)
{
    QByteArray oBuffer(v_iSize, Qt::Uninitialized);
    qtxPrepareLargeBuffer(oBuffer.data(), size_t(v_iSize));
    return oBuffer;
}

QByteArray PdfEngine::complete(const PreparedPdf &v_oPrepared, const QByteArray &v_oCms)
{
    if (v_oPrepared.document.isEmpty() || cmsMessageDigest(v_oCms) != v_oPrepared.digest)
        throw SignerError("CMS_ERROR", QStringLiteral("The signature is not over the prepared document."));
    const QByteArray oHex = v_oCms.toHex();
    if (oHex.size() > v_oPrepared.contentsLength - 2)
        throw SignerError("PDF_SIGNATURE_TOO_LARGE",
                          QStringLiteral("The signature needs %1 bytes; the document has room for %2.")
                              .arg(v_oCms.size())
                              .arg((v_oPrepared.contentsLength - 2) / 2));
    QByteArray oSigned = documentBuffer(v_oPrepared.document.size());
    std::memcpy(oSigned.data(), v_oPrepared.document.constData(), size_t(v_oPrepared.document.size()));
    std::memcpy(oSigned.data() + v_oPrepared.contentsOffset + 1, oHex.constData(), size_t(oHex.size()));
    return oSigned;
}

QByteArray PdfEngine::appendDss(const QByteArray &v_oPdf, const ValidationData &v_oData) const
{
    if (v_oData.isEmpty())
        return v_oPdf;
    QByteArray oHead;
    addRecord(oHead, "MODE", "dss");
    oHead += limitRecords(m_oLimits);
    for (const QByteArray &oCert : v_oData.certificates)
        addRecord(oHead, "CERT", oCert);
    for (const QByteArray &oResponse : v_oData.ocspResponses)
        addRecord(oHead, "OCSP", oResponse);
    for (const QByteArray &oCrl : v_oData.crls)
        addRecord(oHead, "CRL_", oCrl);
    PdfLimits oLimits = m_oLimits;
    oLimits.maxDocumentBytes += oHead.size();
    std::vector<pdfhelper::Record> oRecords;
    const auto oFields = helperReply(runHelper(m_oHelper, oLimits, oHead, v_oPdf), oLimits, &oRecords);
    const auto itUpdate = oFields.find("UPDT");
    if (itUpdate == oFields.end())
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("The PDF helper's answer lacks the update."));
    return joined(v_oPdf, QByteArray::fromRawData(itUpdate->second.data(), int(itUpdate->second.size())));
}

void PdfEngine::keepPreviewReady() const
{
    // The helper dies with the thread that started it: only the main thread's
    // spares live until they are used.
    QCoreApplication *poApp = QCoreApplication::instance();
    if (m_oPreview.isEmpty() || !poApp || QThread::currentThread() != poApp->thread())
        return;
    const qint64 iInput = m_oLimits.maxDocumentBytes + kMaxHeadBytes;
    std::lock_guard<std::mutex> oGuard(g_oSpareMutex);
    if (g_oSpare && spareFits(*g_oSpare, m_oPreview, m_oLimits, iInput))
        return;
    if (g_oSpare) {
        discardHelper(g_oSpare->helper);
        g_oSpare.reset();
    }
    try {
        g_oSpare = SparePreview{m_oPreview, m_oLimits.memoryMiB, m_oLimits.cpuSeconds, iInput, monotonicMs(),
                                spawnHelper(m_oPreview, m_oLimits, iInput)};
    } catch (const SignerError &) {
        // A preview then starts its own helper, and says why it cannot.
    }
}

QImage PdfEngine::renderPage(const QByteArray &v_oPdf, int v_iPage0, QSize v_oMaxSize, int *v_piDrawn) const
{
    if (v_oPdf.size() > m_oLimits.maxDocumentBytes)
        throw SignerError("PDF_TOO_LARGE", QStringLiteral("The document has %1 bytes; at most %2 may be shown.")
                                               .arg(v_oPdf.size())
                                               .arg(m_oLimits.maxDocumentBytes));
    if (!v_oPdf.startsWith("%PDF-"))
        throw SignerError("PDF_MALFORMED", QStringLiteral("The document is not a PDF."));
    if (v_iPage0 < -1)
        throw SignerError("BAD_REQUEST", QStringLiteral("The page number is out of range."));
    const int iMaxWidth = qBound(16, v_oMaxSize.width(), kMaxPreviewSide);
    const int iMaxHeight = qBound(16, v_oMaxSize.height(), kMaxPreviewSide);
    QByteArray oHead;
    addRecord(oHead, "MODE", "render");
    addRecord(oHead, "PAGE", v_iPage0 < 0 ? QByteArray("last") : QByteArray::number(v_iPage0));
    addRecord(oHead, "MAXW", QByteArray::number(iMaxWidth));
    addRecord(oHead, "MAXH", QByteArray::number(iMaxHeight));
    std::vector<pdfhelper::Record> oRecords;
    const auto oFields = helperReply(runPreviewHelper(m_oPreview, m_oLimits, oHead, v_oPdf), m_oLimits, &oRecords);
    // The helper's word on the size is checked against the box and the pixels.
    const qint64 iWidth = numberField(oFields, "IMGW"), iHeight = numberField(oFields, "IMGH");
    const auto itPixels = oFields.find("PIXL");
    if (iWidth < 1 || iHeight < 1 || iWidth > iMaxWidth || iHeight > iMaxHeight || itPixels == oFields.end()
        || qint64(itPixels->second.size()) != iWidth * iHeight * 4)
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("The PDF helper's preview does not fit its size."));
    QImage oImage(int(iWidth), int(iHeight), QImage::Format_ARGB32);
    if (oImage.isNull())
        throw SignerError("PDF_ENGINE_ERROR", QStringLiteral("No memory for the preview."));
    // The resolution lets callers place page coordinates (points) on the image.
    const qint64 iMilliDpi = numberField(oFields, "RDPI");
    if (iMilliDpi > 0 && iMilliDpi < 10000000) {
        oImage.setDotsPerMeterX(int(iMilliDpi / 25.4));
        oImage.setDotsPerMeterY(int(iMilliDpi / 25.4));
    }
    for (int y = 0; y < int(iHeight); ++y)
        std::memcpy(oImage.scanLine(y), itPixels->second.data() + size_t(y) * size_t(iWidth) * 4, size_t(iWidth) * 4);
    if (v_piDrawn)
        *v_piDrawn = int(qMin<qint64>(numberField(oFields, "PGIX"), INT_MAX));
    return oImage;
}

QByteArray signPdf(const PdfEngine &v_oEngine, const PreparedPdf &v_oPrepared, const QByteArray &v_oCertDer,
                   SignatureScheme v_eScheme, SignatureLevel v_eLevel, const SignFunction &v_oSign,
                   const SigningConfig &v_oConfig)
{
    CmsOptions oOptions;
    oOptions.signingTime = false;
    if (v_eLevel == SignatureLevel::BaselineB)
        return PdfEngine::complete(v_oPrepared, buildDetachedCms(v_oCertDer, v_oPrepared.digestAlgorithm, v_eScheme,
                                                                 v_oPrepared.digest, v_oSign, oOptions));
    requireTimestampAuthority(v_oConfig);
    const TrustAnchors oAnchors = TrustAnchors::load(v_oConfig);
    ValidationData oData;
    if (v_eLevel == SignatureLevel::BaselineLT)
        oData = collectValidationData(v_oCertDer, {}, v_oConfig, oAnchors);
    QByteArray oCms = buildDetachedCms(v_oCertDer, v_oPrepared.digestAlgorithm, v_eScheme, v_oPrepared.digest, v_oSign,
                                       oOptions);
    oCms = timestampCms(oCms, v_oPrepared.digestAlgorithm, v_oConfig, oAnchors);
    QByteArray oSigned = PdfEngine::complete(v_oPrepared, oCms);
    if (v_eLevel == SignatureLevel::BaselineLT) {
        oData.add(timestampValidationData(oCms, v_oConfig, oAnchors));
        oSigned = v_oEngine.appendDss(oSigned, oData);
    }
    return oSigned;
}
