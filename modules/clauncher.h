#pragma once

// Turns accepted module commands into jobs and keeps their results until the
// page fetches them. A job is identified by (session id, command id).
//
// Threads: ProcessCommand, GetResult and IsUnprivilegedJob run on request
// worker threads; SetResult and RemoveAllForSession on the launcher's thread,
// which is the application's main thread (its event loop runs for the life of
// the process). One non-recursive launcher lock guards the three tables and the
// record of untracked workers; it is never held while FinishJob ends a job
// (which never waits for a job's function). Lock order: launcher lock, then the module manager lock, then
// the module lock.

#include "jobrequest.h"
#include "qtxtypes.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QMultiMap>
#include <QObject>

#include <atomic>
#include <mutex>

class CThreadWorker;
class DllModule;

class CLauncher : public QObject
{
    Q_OBJECT
public:
    // Created on first use and moved to the application's main thread; null
    // when the creation failed (callers answer 500).
    static CLauncher *GetInstance();

    // 202 once the function has been handed to its worker, 503 while a GUI
    // function runs or a limit is reached (jobs at once, unfetched results of
    // the session), 404 when the module or the function is missing.
    CommandResult ProcessCommand(const JobRequest &v_oRequest);
    // 200 with the result once, 202 while the job runs, 419 otherwise.
    CommandResult GetResult(const JobRequest &v_oRequest);
    bool IsUnprivilegedJob(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    // Finishes the session's running jobs (without waiting for ordinary ones),
    // then drops its results and its unprivileged-job records.
    bool RemoveAllForSession(const QByteArray &v_oSessionId);
    // CLOSE_SESSION: the session's results stay fetchable for one session
    // time-out after the close (and after its last running job), then they go.
    void SessionClosed(const QByteArray &v_oSessionId);

    // Ends the worker's job (see CThreadWorker::Finish: a running ordinary job
    // is not waited for; it ends on its own thread) and deletes it later. Call
    // without the launcher lock.
    bool FinishJob(CThreadWorker *v_poWorker);

    bool AddToProcessedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                            CThreadWorker *v_poWorker);
    bool RemoveFromProcessedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    bool RemoveAllJobsForSession(const QByteArray &v_oSessionId);
    void ClearProcessedJobs();

    bool AddToResults(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const tResultType &v_oResult);
    bool RemoveFromResults(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    bool RemoveAllResultsForSession(const QByteArray &v_oSessionId);
    void ClearAllResults();

    void AddToUnprivilegedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    bool RemoveFromUnprivilegedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    bool RemoveAllUnprivilegedJobsForSession(const QByteArray &v_oSessionId);
    void ClearUnprivilegedJobs();

    ~CLauncher() override;

signals:
    void FunctionReadyToCall(tpfun v_poFunction, QByteArray v_oSessionId, QByteArray v_oCmdId, tRequestMap v_oRequest,
                             tSessionParamsMap v_oSessionParams, DllModule *v_poDllModule);

public slots:
    void SetResult(QByteArray v_oSessionId, QByteArray v_oCommandId, tResultType v_oResult);

private slots:
    void SweepClosedSessions();

private:
    CLauncher();

    struct Job
    {
        CThreadWorker *poWorker = nullptr;
    };
    struct UntrackedJob
    {
        QByteArray oCommandId;
        Job oJob;
    };

    // The *Priv operations are called with the launcher lock held.
    bool AddToProcessedJobsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const Job &v_oJob);
    bool AddToResultsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                          const tResultType &v_oResult);
    bool RemoveFromResultsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    void AddToUnprivilegedJobsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    bool RemoveFromUnprivilegedJobsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    // Takes the job out of processedJobs; false when it is not there.
    bool TakeProcessedJobPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, Job *v_poJob);
    bool TakeUntrackedJob(const QObject *v_poWorker, Job *v_poJob);
    QList<UntrackedJob> TakeUntrackedJobsForSession(const QByteArray &v_oSessionId);
    bool IsTrackedWorker(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                         const QObject *v_poWorker) const;

    // Finishes a job already taken out of processedJobs (without the lock);
    // puts it back when that fails.
    bool EndJob(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const Job &v_oJob);

    // 503 with one log line when the session may not start another job.
    bool IsOverSessionLimitPriv(const QByteArray &v_oSessionId, CommandResult *v_poRefusal);
    qint64 ResultBytesPriv(const QByteArray &v_oSessionId) const;

    // Stored results per account (the account that owns the job's session).
    struct AccountResults
    {
        qint64 count = 0;
        qint64 bytes = 0;
    };
    bool IsOverAccountLimitPriv(qint64 v_iOwner, CommandResult *v_poRefusal);
    void ForgetSessionOwnerPriv(const QByteArray &v_oSessionId);

    std::atomic<bool> m_bGuisBusy{false};
    qint64 m_llMaxResultsPerClient = 10000;
    qint64 m_llMaxResultBytesPerClient = 256 * 1024 * 1024;
    QHash<QByteArray, qint64> m_oSessionOwners;
    QHash<qint64, AccountResults> m_oAccountResults;
    qint64 m_llMaxJobs = 1000;
    qint64 m_llMaxResults = 1000;
    qint64 m_llMaxResultBytes = 16 * 1024 * 1024;
    qint64 m_llClosedGraceMs = 600000;
    // Closed sessions -> when their results go (ms since the epoch).
    QMap<QByteArray, qint64> m_oClosedSessions;
    bool m_bSweepScheduled = false;
    QMultiMap<QByteArray, QByteArray> m_oUnprivilegedJobs;
    QMap<QByteArray, QMap<QByteArray, tResultType>> m_oResults;
    QMap<QByteArray, QMap<QByteArray, Job>> m_oProcessedJobs;
    // Workers started while a job with the same ids was still running: the
    // tables cannot hold them, but their threads must still be finished.
    QMultiMap<QByteArray, UntrackedJob> m_oUntrackedJobs;
    std::mutex &m_oLock;
};
