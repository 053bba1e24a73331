#pragma once

// The log file behind the server category. Callers format their line on their
// own thread and append it to a bounded in-memory queue under a short lock; one
// writer thread takes the whole queue at a time and writes it with one write()
// (split only where the file rolls over). The rolling rules are those of
// log4cpp's RollingFileAppender: after a write that brings the file to the size
// limit it is renamed to ".01", older backups move up by one, ".10" is removed.

#include "qtxlogformat.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

class QtxLogSink
{
public:
    // The wait is long enough for the kernel's throttling of writers under much
    // dirty page cache; a writer that needs longer for 1 MiB counts as stuck.
    // Bytes that may wait for the writer (about 7,000 lines). The queue and the
    // writer's batch each keep a buffer of this size once used, so a busy
    // server does not allocate or fault in fresh pages for every batch. A caller that finds the queue full
    // waits for the writer to make room, at most kFullWaitMs; if the writer made
    // no progress in that time the line is dropped and counted, and until the
    // writer writes again further lines are dropped at once. A reactor's I/O
    // thread never waits: its lines are dropped and counted at once. The writer
    // then puts a WARN line with the number of dropped lines into the file.
    static constexpr std::size_t kQueueLimit = 1u << 20;
    static constexpr int kFullWaitMs = 2000;
    // Once woken, the writer waits this long (or until this much is queued)
    // before it takes the queue: under load one wake-up and one write() carry
    // hundreds of lines instead of two or three.
    static constexpr int kGatherMs = 2;
    static constexpr std::size_t kGatherBytes = 256u << 10;
    // Added to the writer thread's nice value (the other threads keep theirs).
    static constexpr int kWriterNice = 10;

    QtxLogSink(const std::string &v_oFileName, std::size_t v_uiMaxFileSize, unsigned int v_uiMaxBackupIndex,
               mode_t v_uiMode);
    QtxLogSink(const QtxLogSink &) = delete;
    QtxLogSink &operator=(const QtxLogSink &) = delete;

    // Queues prefix + message + "\n", the message escaped (qtxLogEscape) when it
    // needs to be. Returns false when the line was dropped. Inside a QtxLogBatch
    // the line is kept on the calling thread and queued with the batch.
    bool Submit(const char *v_pPrefix, std::size_t v_uiPrefixSize, const char *v_pMessage, std::size_t v_uiMessageSize);
    // Waits until every line queued before the call is in the file (or the time
    // is up); the calling thread's own batch is queued first.
    bool Flush(int v_iTimeoutMs = 5000);
    // Flushes and closes the file; a later line opens it again (appending).
    void CloseFile();
    // Flushes, closes and stops the writer; later lines are dropped.
    void Retire();

    bool Accepts(int v_iPriority) const
    {
        const int iThreshold = m_iThreshold.load(std::memory_order_relaxed);
        return iThreshold == log4cpp::Priority::NOTSET || v_iPriority <= iThreshold;
    }
    void SetThreshold(int v_iPriority) { m_iThreshold.store(v_iPriority, std::memory_order_relaxed); }

    // Shows every line on a terminal as well: after the file, the same bytes go
    // to this descriptor, which must be non-blocking and stays the sink's. The
    // file comes first: a terminal that does not take the lines (stopped with
    // Ctrl-S, say) holds the writer at most kTerminalWaitMs per batch, and not
    // at all until it takes bytes again; the lines it missed are not shown.
    void CopyToTerminal(int v_iFd) { m_iTerminalFd.store(v_iFd, std::memory_order_release); }
    static constexpr int kTerminalWaitMs = 100;

    // Lines dropped since the sink was created (queue full or sink retired).
    std::uint64_t DroppedTotal() const { return m_ulDroppedTotal.load(std::memory_order_relaxed); }
    const std::string &FileName() const { return m_oFileName; }

    // Fatal-signal path: stops the writer from starting another batch, lets the
    // batch in progress finish (bounded), writes what is queued when no other
    // thread holds the queue, then the given line, straight to the file
    // descriptor. No allocation, no lock that it waits for. The sink writes
    // nothing more afterwards: the process is about to end, and a batch cut by
    // its end would leave half a line in the file.
    void WriteFromSignal(const char *v_pLine, std::size_t v_uiSize);

    // Every sink ever created (they live for the whole process, so a line or a
    // signal that still holds a pointer never meets a freed object).
    static QtxLogSink *const *All(std::size_t &v_uiCount);

private:
    friend class QtxLogBatch;
    // Puts up to three pieces into the queue as `lines` lines (waiting for room
    // as Submit describes); false when they were dropped.
    bool Enqueue(const char *v_pFirst, std::size_t v_uiFirst, const char *v_pSecond, std::size_t v_uiSecond,
                 bool v_bNewline, std::uint64_t v_uiLines);
    // Queues the calling thread's QtxLogBatch lines if they are this sink's.
    void QueueThreadBatch();
    void Run();
    void WriteBatch(const std::string &v_oBatch, std::uint64_t v_uiDropped);
    void WriteAll(const char *v_pData, std::size_t v_uiSize);
    void WriteToTerminal(const char *v_pData, std::size_t v_uiSize);
    bool EnsureOpen();
    void RollOver();
    std::string BackupName(unsigned int v_uiIndex) const;
    void NarrowBackups();

    const std::string m_oFileName;
    const std::size_t m_ulMaxFileSize;
    const unsigned int m_uiMaxBackupIndex;
    const mode_t m_uiMode;
    std::atomic<int> m_iThreshold{log4cpp::Priority::NOTSET};

    // Queue state, under m_oMutex.
    std::mutex m_oMutex;
    std::condition_variable m_oWake;     // the writer waits for lines
    std::condition_variable m_oProgress; // callers wait for room or for a flush
    std::string m_oFront;
    std::uint64_t m_ulQueued = 0;  // lines queued so far
    std::uint64_t m_ulWritten = 0; // lines written (or given up) so far
    std::uint64_t m_ulDropped = 0; // dropped lines not yet reported in the file
    bool m_bWriterWaiting = false;
    bool m_bGathering = false;
    std::uint64_t m_ulFlushRequests = 0;
    bool m_bWakePending = false;
    bool m_bStalled = false;
    bool m_bStop = false;
    bool m_bRetired = false;
    std::atomic<std::uint64_t> m_ulDroppedTotal{0};

    // File state: the writer's, and CloseFile's under m_oFileMutex.
    std::mutex m_oFileMutex;
    std::atomic<int> m_iFd{-1};
    std::size_t m_ulFileSize = 0;
    std::atomic<bool> m_bWriting{false};
    std::atomic<bool> m_bFatal{false};
    std::atomic<pthread_t> m_oWriterThread{};
    // The terminal copy: the writer's, under m_oFileMutex.
    std::atomic<int> m_iTerminalFd{-1};
    bool m_bTerminalStuck = false;  // the last write gave up; no waiting until it takes bytes
    bool m_bTerminalMidLine = false; // it gave up inside a line: the next write starts a new one

    std::thread m_oWriter;
};

// While an object of this class lives on a thread, the lines that thread logs
// to a sink are gathered on the thread and queued together when the outermost
// one ends (or once kBatchBytes have gathered): one lock of the shared queue
// per event-loop turn instead of one per line. Open one only around work that
// does not wait (an I/O thread's turn, one request on a worker): the lines
// reach the writer when it ends. A crash writes the crashing thread's gathered
// lines before its own line; another thread's open batch is lost with the
// process, as lines still queued for the writer are when it is killed.
class QtxLogBatch
{
public:
    QtxLogBatch();
    ~QtxLogBatch();
    QtxLogBatch(const QtxLogBatch &) = delete;
    QtxLogBatch &operator=(const QtxLogBatch &) = delete;

    static constexpr std::size_t kBatchBytes = 16u << 10;
};

// The log4cpp face of a sink: attached to a category like any appender (so
// thresholds, Appender::closeAll and removal work as with log4cpp's own), it
// formats events that arrive through log4cpp with the server's fixed pattern.
// Lines written with QTX_LOG to the category that owns the file skip log4cpp and
// go to the sink directly.
class QtxAsyncFileAppender : public log4cpp::AppenderSkeleton
{
public:
    QtxAsyncFileAppender(const std::string &v_oName, const std::string &v_oFileName, std::size_t v_uiMaxFileSize,
                         unsigned int v_uiMaxBackupIndex, mode_t v_uiMode);
    ~QtxAsyncFileAppender() override;

    void close() override;
    bool reopen() override;
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *v_poLayout) override; // the pattern is fixed
    void setThreshold(log4cpp::Priority::Value v_iPriority) override;

    QtxLogSink *Sink() const { return m_poSink; }
    // Makes QTX_LOG lines of that category go straight to this appender's sink.
    void RouteCategory(const log4cpp::Category *v_poCategory);

protected:
    void _append(const log4cpp::LoggingEvent &v_oEvent) override;

private:
    QtxLogSink *m_poSink;
};

// The sink that QTX_LOG lines of this category go to directly, or null.
QtxLogSink *qtxLogRouteFor(const log4cpp::Category *v_poCategory);
