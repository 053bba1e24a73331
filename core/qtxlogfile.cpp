#include "qtxlogsink.h"
#include "qtxlogformat_p.h"

#include <log4cpp/Priority.hh>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// The sink's file: the writer thread writes each batch here (and its terminal
// copy), rolling the file over at its size limit. Only the writer thread and
// CloseFile touch it, under m_oFileMutex.

void QtxLogSink::WriteBatch(const std::string &v_oBatch, std::uint64_t v_uiDropped)
{
    std::lock_guard<std::mutex> oGuard(m_oFileMutex);
    char aLine[256];
    std::size_t uiDroppedLine = 0;
    if (v_uiDropped != 0) {
        struct timespec oNow;
        clock_gettime(CLOCK_REALTIME, &oNow);
        const std::string &oThread = qtxLogThreadName();
        std::size_t uiSize = qtxFormatLogPrefix(aLine, sizeof aLine, oNow, oThread.data(), oThread.size(),
                                                log4cpp::Priority::WARN, "", 0);
        QtxLogOut oOut{aLine, sizeof aLine - 1, uiSize};
        oOut.add("QtxLogSink::Run :: Log queue was full, lines dropped=");
        oOut.addUnsigned(v_uiDropped);
        oOut.add('\n');
        uiDroppedLine = oOut.size;
    }
    if (EnsureOpen()) {
        if (uiDroppedLine != 0)
            WriteAll(aLine, uiDroppedLine);
        // Line by line the file would roll over right after the line that brings
        // it to the limit; the batch is cut at the same places.
        const char *pData = v_oBatch.data();
        const char *const pEnd = pData + v_oBatch.size();
        while (pData < pEnd) {
            const std::size_t uiNeed = m_ulFileSize >= m_ulMaxFileSize ? 1 : m_ulMaxFileSize - m_ulFileSize;
            if (static_cast<std::size_t>(pEnd - pData) < uiNeed) {
                WriteAll(pData, static_cast<std::size_t>(pEnd - pData));
                break;
            }
            const void *pNewline = std::memchr(pData + uiNeed - 1, '\n', static_cast<std::size_t>(pEnd - pData) - (uiNeed - 1));
            const char *pCut = pNewline ? static_cast<const char *>(pNewline) + 1 : pEnd;
            WriteAll(pData, static_cast<std::size_t>(pCut - pData));
            pData = pCut;
            if (m_ulFileSize >= m_ulMaxFileSize)
                RollOver();
        }
    }
    // The terminal copy follows the file (and shows the lines even when the
    // file cannot be opened).
    WriteToTerminal(aLine, uiDroppedLine);
    WriteToTerminal(v_oBatch.data(), v_oBatch.size());
}

void QtxLogSink::WriteAll(const char *v_pData, std::size_t v_uiSize)
{
    const int iFd = m_iFd.load(std::memory_order_relaxed);
    while (v_uiSize > 0 && iFd >= 0) {
        const ssize_t iDone = ::write(iFd, v_pData, v_uiSize);
        if (iDone < 0) {
            if (errno == EINTR)
                continue;
            return; // logging never reports failures; the line is lost
        }
        v_pData += iDone;
        v_uiSize -= static_cast<std::size_t>(iDone);
        m_ulFileSize += static_cast<std::size_t>(iDone);
    }
}

void QtxLogSink::WriteToTerminal(const char *v_pData, std::size_t v_uiSize)
{
    const int iFd = m_iTerminalFd.load(std::memory_order_acquire);
    if (iFd < 0 || v_uiSize == 0)
        return;
    if (m_bTerminalMidLine) {
        // The rest of the line it missed is not shown; its next line starts afresh.
        const ssize_t iDone = ::write(iFd, "\n", 1);
        if (iDone != 1)
            return;
        m_bTerminalMidLine = false;
        m_bTerminalStuck = false;
    }
    std::size_t uiLeft = v_uiSize;
    while (uiLeft > 0) {
        const ssize_t iDone = ::write(iFd, v_pData, uiLeft);
        if (iDone > 0) {
            v_pData += iDone;
            uiLeft -= static_cast<std::size_t>(iDone);
            m_bTerminalStuck = false;
            continue;
        }
        if (iDone < 0 && errno == EINTR)
            continue;
        if (iDone < 0 && errno == EAGAIN && !m_bTerminalStuck) {
            struct pollfd oPoll = {iFd, POLLOUT, 0};
            if (::poll(&oPoll, 1, kTerminalWaitMs) > 0)
                continue;
        }
        // Full, gone or failing: the copy is given up for this batch.
        m_bTerminalStuck = true;
        if (uiLeft != v_uiSize)
            m_bTerminalMidLine = v_pData[-1] != '\n';
        return;
    }
}

bool QtxLogSink::EnsureOpen()
{
    if (m_iFd.load(std::memory_order_relaxed) >= 0)
        return true;
    const int iFd = ::open(m_oFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, m_uiMode);
    if (iFd < 0)
        return false;
    struct stat oStat;
    const bool bStat = ::fstat(iFd, &oStat) == 0;
    // A file left by an older version (0644) is narrowed to the sink's mode.
    if (bStat && (oStat.st_mode & 0777 & ~m_uiMode) != 0 && oStat.st_uid == ::geteuid())
        ::fchmod(iFd, m_uiMode);
    m_ulFileSize = bStat ? static_cast<std::size_t>(oStat.st_size) : 0;
    m_iFd.store(iFd, std::memory_order_release);
    return true;
}

std::string QtxLogSink::BackupName(unsigned int v_uiIndex) const
{
    // Backups are numbered with as many digits as the highest index has.
    std::size_t uiWidth = 1;
    for (unsigned int uiIndex = m_uiMaxBackupIndex; uiIndex >= 10; uiIndex /= 10)
        ++uiWidth;
    std::string oIndex = std::to_string(v_uiIndex);
    if (oIndex.size() < uiWidth)
        oIndex.insert(0, uiWidth - oIndex.size(), '0');
    return m_oFileName + '.' + oIndex;
}

void QtxLogSink::NarrowBackups()
{
    // Rolled files keep the mode the file had; those an older version left wider are narrowed.
    for (unsigned int uiIndex = 1; uiIndex <= m_uiMaxBackupIndex; ++uiIndex) {
        const std::string oName = BackupName(uiIndex);
        struct stat oStat;
        if (::lstat(oName.c_str(), &oStat) == 0 && S_ISREG(oStat.st_mode) && oStat.st_uid == ::geteuid()
            && (oStat.st_mode & 0777 & ~m_uiMode) != 0)
            ::chmod(oName.c_str(), m_uiMode);
    }
}

void QtxLogSink::RollOver()
{
    if (m_uiMaxBackupIndex > 0) {
        auto backupName = [this](unsigned int v_uiIndex) { return BackupName(v_uiIndex); };
        std::string oLast = backupName(m_uiMaxBackupIndex);
        std::remove(oLast.c_str());
        for (unsigned int uiIndex = m_uiMaxBackupIndex; uiIndex > 1; --uiIndex) {
            const std::string oPrevious = backupName(uiIndex - 1);
            std::rename(oPrevious.c_str(), oLast.c_str());
            oLast = oPrevious;
        }
        std::rename(m_oFileName.c_str(), oLast.c_str());
    }
    const int iNew = ::open(m_oFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, m_uiMode);
    const int iFd = m_iFd.load(std::memory_order_relaxed);
    if (iNew < 0)
        return; // keep writing to the renamed file rather than nowhere
    // The descriptor number stays the same, so the signal path never writes to a closed one.
    if (iFd >= 0 && ::dup3(iNew, iFd, O_CLOEXEC) >= 0) {
        ::close(iNew);
    } else {
        m_iFd.store(iNew, std::memory_order_release);
        if (iFd >= 0)
            ::close(iFd);
    }
    struct stat oStat;
    m_ulFileSize = ::fstat(m_iFd.load(std::memory_order_relaxed), &oStat) == 0 ? static_cast<std::size_t>(oStat.st_size) : 0;
}
