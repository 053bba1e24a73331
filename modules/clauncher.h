#pragma once

// Admits module commands as jobs, hands them to their worker, and moves each
// finished job's result into the result store, where the page fetches it
// once. A job is identified by (session id, command id).
//
// GUI jobs hold the main thread one at a time (the GUI slot). A GUI command
// while the slot is held is refused with the busy 503 only when a GUI job of
// the same session or origin runs or waits (that page knows its dialog is
// open); any other page's waits in the GUI queue (bounded in total and per
// account) and starts when the slot frees, that is when the running
// function has returned. A waiting job whose session ends or closes never
// runs. A GUI command without a web origin is refused: its windows could not
// name the page that asked (GuiJobFrame).
//
// The session registry decides when a session's jobs and results end; it does
// so through RemoveAllForSession (idle end: results dropped, jobs finished
// without a wait), SessionClosed (close: results kept, a running job still
// stores its result) and, when its clock ends the closed session's grace
// period, ReleaseClosedSession. The launcher keeps no timer of its own.
//
// Threads: ProcessCommand, GetResult and IsUnprivilegedJob run on the threads
// that serve requests; a job's result is stored on the thread its function
// ran on (a pool thread, or the main thread for a GUI function);
// ReleaseClosedSession runs on the registry's clock's thread, the launcher's
// (the application's main thread). One non-recursive
// launcher lock guards the job table and the result store together, so a
// result never appears while its job still answers 202; it is never held
// while a job is finished (which never waits for a job's function). Lock
// order: launcher lock, then the module manager lock, then the module lock.

#include "dllmodule.h"
#include "jobrequest.h"
#include "jobtable.h"
#include "moduleconfig.h"
#include "qtxtypes.h"
#include "resultstore.h"

#include <QByteArray>
#include <QObject>

#include <deque>
#include <mutex>

class CThreadWorker;
class DllManager;

class CLauncher : public QObject
{
    Q_OBJECT
public:
    // Made once at start on the main thread (its event loop runs the
    // workers); lives for the process. v_poModules takes
    // back the module references of ended jobs.
    CLauncher(DllManager *v_poModules, const LauncherLimits &v_oLimits);

    // 202 once the function has been handed to its worker (or, for a GUI
    // function while another one holds the main thread, put in the GUI queue),
    // 503 when a limit is reached (jobs at once, unfetched results of the
    // session or of its account, GUI jobs waiting) or when a GUI job of the
    // same session or origin runs or waits, 403 for a GUI function without a
    // web origin, 404 when the module or the function is missing.
    // v_poModule: the request's module with a usage reference the caller took
    // (DllManager::acquireForSession); the reference now belongs to the launcher,
    // which hands it to the job or gives it back. v_poKnown: what the module
    // said about the command when it was taken without waiting, if it was.
    CommandResult ProcessCommand(const JobRequest &v_oRequest, DllModule *v_poModule,
                                 const DllModule::CommandInfo *v_poKnown = nullptr);
    // The same for a module looked up by the request's name.
    CommandResult ProcessCommand(const JobRequest &v_oRequest);
    // 200 with the result once, 202 while the job runs, 419 otherwise.
    CommandResult GetResult(const JobRequest &v_oRequest);
    bool IsUnprivilegedJob(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    // Idle end of a session: its results and marks go at once, its jobs are
    // finished without a wait. True when every job could be finished.
    bool RemoveAllForSession(const QByteArray &v_oSessionId);
    // CLOSE_SESSION: the session's results stay fetchable until the registry
    // releases them. Its GUI jobs still waiting for the main thread are dropped.
    void SessionClosed(const QByteArray &v_oSessionId);
    // The end of a closed session's grace period: its results and marks go,
    // unless a job of it still runs or a result arrived since the close or the
    // last call; then false, and the registry asks again a period later, so a
    // late result stays fetchable for at least a full period. Launcher's thread.
    bool ReleaseClosedSession(const QByteArray &v_oSessionId);

    ~CLauncher() override;

signals:
    void FunctionReadyToCall(tpfun v_poFunction, QByteArray v_oSessionId, QByteArray v_oCmdId, tRequestMap v_oRequest,
                             tSessionParamsMap v_oSessionParams, DllModule *v_poDllModule);

private:

    // Stores the result of v_poWorker's job and finishes the job; a result of
    // a job that was already ended is dropped. Called on the thread the job's
    // function ran on.
    void SetResult(const QObject *v_poWorker, const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                   const tResultType &v_oResult);

    // Ends the worker's job (see CThreadWorker::Finish: a running ordinary job
    // is not waited for); a GUI job waiting for the main thread leaves the
    // queue. Without the lock.
    bool FinishJob(CThreadWorker *v_poWorker);

    // One GUI job, as it waits for the main thread.
    struct GuiJob
    {
        CThreadWorker *poWorker = nullptr;
        tpfun poFunction = nullptr;
        JobRequest oRequest;
        DllModule *poModule = nullptr;
    };
    // Admits a GUI function: started, queued or refused. With the launcher lock.
    bool AdmitGuiPriv(const JobRequest &v_oRequest, CommandResult *v_poRefusal);
    // Hands the job the main thread. With the launcher lock.
    void StartGuiPriv(const GuiJob &v_oJob);
    // The worker's GUI job no longer holds the main thread (its function
    // returned, or it ended without running): the next queued one starts.
    // Main thread, without the lock.
    void GuiJobEnded(const CThreadWorker *v_poWorker);
    // Takes the worker's job out of the queue; false when it is not queued. With the lock.
    bool DequeueGuiPriv(const CThreadWorker *v_poWorker);
    // 503 with one log line when the session or its account may not start
    // another job. Called with the launcher lock held.
    bool IsOverLimitPriv(const JobRequest &v_oRequest, CommandResult *v_poRefusal) const;

    // The GUI job that holds the main thread (null: none), and the GUI jobs
    // waiting for it, oldest first; both with the launcher lock.
    const CThreadWorker *m_poGuiRunning = nullptr;
    QByteArray m_oGuiRunningSession;
    QByteArray m_oGuiRunningOrigin;
    std::deque<GuiJob> m_oGuiQueue;
    DllManager *const m_poModules;
    const LauncherLimits m_oLimits;
    JobTable m_oJobs;
    ResultStore m_oResults;
    std::mutex &m_oLock;
};
