#pragma once

// Runs one module command function for one job and announces its result.
//
// Ordinary commands run on a shared, bounded pool of threads that are reused
// from job to job (idle ones end after a while); GUI commands run on the
// application's main thread, reached by a queued call. Whatever the function
// returns or throws becomes the result byte string of ResultReady; exceptions
// never leave CallFunction.
//
// The worker holds a usage reference on its module from its creation (the
// launcher takes it before the hand-over) until the function has returned, or
// until the job is finished before it ever ran; the module is never unloaded
// under an accepted job.

#include "qtxtypes.h"

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class DllManager;
class DllModule;

class CThreadWorker : public QObject
{
    Q_OBJECT
public:
    // A worker with no parent on the application's main thread. v_poModule's
    // usage reference (taken by the caller) now belongs to the worker, which
    // gives it back to v_poModules.
    static CThreadWorker *createWorker(bool v_bGuiFunction, DllManager *v_poModules, DllModule *v_poModule);
    ~CThreadWorker() override;

    // What the server's frame around a GUI job needs (see GuiJobFrame): the
    // origin its windows are marked with, its time-out (<= 0: none), and what
    // runs once on the main thread when the job no longer holds the main
    // thread: its function returned, or it ended without running (at the
    // latest when the worker is destroyed). Set before the job is started.
    void SetGuiJob(const QByteArray &v_oOrigin, qint64 v_llTimeoutMs, std::function<void()> v_oOnEnd);

    // Hands an ordinary job to the pool (a GUI job is started by the launcher's
    // queued CallFunction instead).
    void StartOnPool(tpfun v_poFunction, const QByteArray &v_oSessionId, const QByteArray &v_oCmdId,
                     const tRequestMap &v_oRequest, const tSessionParamsMap &v_oSessionParams);

    // Ends the job without waiting for it: a result it may still produce
    // reaches nobody; a job not yet started never starts (and gives its module
    // reference back); an ordinary job that runs goes on on its pool thread,
    // gives its module back when its function returns and deletes the worker
    // then; a GUI job has its windows closed and is deleted once its call has
    // returned. Otherwise the worker is deleted later. False when the job was
    // finished before.
    bool Finish();

    bool IsGuiWorker() const { return m_bGui; }

    // Ordinary jobs accepted and not yet ended (waiting for a thread or running).
    static int JobsInFlight();
    // The pool's limits: threads at most, idle time before a thread ends.
    static void ConfigurePool(qint64 v_llThreads, qint64 v_llIdleMs);
    // Ends the pool for good: jobs still waiting for a thread never start, later
    // ones are refused (they never start either), and the threads are joined once
    // the running functions have returned (waited for a few seconds at most).
    // Runs by itself when the application object is destroyed.
    static void StopPool();

    // Deferred deletion for a worker on the main thread: a GUI function may still
    // be on the main thread's stack (inside a modal dialog's event loop) when its
    // job is finished, so the worker goes only once CallFunction has returned.
    // May be called from any thread.
    void DeleteLaterWhenIdle();

public slots:
    void CallFunction(tpfun v_poFunction, QByteArray v_oSessionId, QByteArray v_oCmdId, tRequestMap v_oRequest,
                      tSessionParamsMap v_oSessionParams, DllModule *v_poDllModule);
    // Closes every top-level window when the worker lives on the main thread
    // (always there, even when called from another thread); a function running
    // on a pool thread is not interrupted. Always true.
    bool CancelOperation();

signals:
    void ResultReady(QByteArray v_oSessionId, QByteArray v_oCommandId, tResultType v_oResult);

private:
    CThreadWorker(bool v_bGuiFunction, DllManager *v_poModules, DllModule *v_poModule);

    enum class State { Waiting, Running, Done, Cancelled };
    struct Run
    {
        std::mutex oMutex;
        std::condition_variable oChanged;
        State eState = State::Waiting;
        // Finished while its function ran: the pool thread deletes the worker.
        bool bDeleteWhenDone = false;
    };
    // Gives the module reference back (once).
    void ReleaseModule();
    // Runs the GUI end handler (once).
    void EndGuiJob();

    const bool m_bGui;
    DllManager *m_poModules;
    DllModule *m_poModule;
    std::atomic<bool> m_bModuleReleased{false};
    std::atomic<bool> m_bFinished{false};
    std::shared_ptr<Run> m_poRun;
    // Touched only on the main thread (GUI workers).
    bool m_bInCall = false;
    bool m_bDeleteWhenIdle = false;
    // Set once by SetGuiJob before the job starts (the queued call that starts
    // it orders the write before the main thread's reads).
    QByteArray m_oOrigin;
    qint64 m_llGuiTimeoutMs = 0;
    std::function<void()> m_oOnGuiEnd;
};
