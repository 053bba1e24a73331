#include "cthreadworker.h"

#include "dllmanager.h"
#include "dllmodule.h"
#include "guijobframe.h"
#include "qtxafterturn.h"
#include "qtxlogger.h"
#include "qtxthreadcheck.h"
#include "qtxthreadend.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>

#include <deque>
#include <exception>
#include <functional>
#include <mutex>

#include <pthread.h>

namespace {

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

const void *address(const void *v_pObject)
{
    return v_pObject;
}

std::atomic<int> g_iJobsInFlight{0};

// The worker whose function this pool thread is running, if any.
thread_local const CThreadWorker *t_poRunning = nullptr;

// How long the end of the application waits for job functions that still run.
constexpr int kStopWaitMs = 5000;

struct QueuedJob
{
    std::function<void()> oRun;
    // Marks a job that never started as ended (it will not start any more).
    std::function<void()> oCancel;
};

// The pool's threads and the queue through which jobs reach them, in one object
// that is created on first use and never destroyed. As statics they would be
// destroyed by exit() while a pool thread may still take a job from the queue
// (or still run one). Instead the threads are ended in order: StopPool, called
// when the application object goes (a post routine, before exit() runs the
// static destructors), refuses new jobs, cancels the waiting ones and joins
// the threads once the running functions have returned. A function that is
// still blocked after kStopWaitMs does not hold the process up; its thread
// then only ever touches this object, which stays valid.
struct JobPool
{
    QThreadPool oThreads;
    // Each start() on the pool runs one queued job: the job itself goes through
    // this (instrumented) mutex, not through Qt's pool queue, so the hand-over
    // is also visible as such to ThreadSanitizer.
    std::mutex oMutex;
    std::deque<QueuedJob> oQueue;
    bool bStopped = false;
};

std::atomic<JobPool *> g_poPoolCreated{nullptr};

void stopPoolAtExit()
{
    CThreadWorker::StopPool();
}

JobPool &jobPool()
{
    static JobPool *s_poPool = [] {
        auto *poPool = new JobPool();
        // The launcher's defaults until it configures the pool.
        poPool->oThreads.setMaxThreadCount(int(LauncherLimits().jobThreads));
        poPool->oThreads.setExpiryTimeout(int(LauncherLimits().jobThreadIdleMs));
        qAddPostRoutine(&stopPoolAtExit);
        g_poPoolCreated.store(poPool);
        return poPool;
    }();
    return *s_poPool;
}

void runQueuedJob()
{
    // Named once per pool thread, for top -H, gdb and /proc/<pid>/task/*/comm.
    static thread_local bool s_bNamed = false;
    if (!s_bNamed) {
        pthread_setname_np(pthread_self(), "qtx-job");
        // Modules may use OpenSSL on this thread.
        qtxEndOpenSslStateWithThread(QThread::currentThread());
        s_bNamed = true;
    }
    JobPool &oPool = jobPool();
    QueuedJob oJob;
    {
        std::lock_guard<std::mutex> oGuard(oPool.oMutex);
        if (oPool.oQueue.empty())
            return;
        oJob = std::move(oPool.oQueue.front());
        oPool.oQueue.pop_front();
    }
    oJob.oRun();
}

} // namespace

CThreadWorker::CThreadWorker(bool v_bGuiFunction, DllManager *v_poModules, DllModule *v_poModule)
    : m_bGui(v_bGuiFunction)
    , m_poModules(v_poModules)
    , m_poModule(v_poModule)
    , m_poRun(std::make_shared<Run>())
{
}

CThreadWorker *CThreadWorker::createWorker(bool v_bGuiFunction, DllManager *v_poModules, DllModule *v_poModule)
{
    const char *pFunc = "CThreadWorker::createWorker";
    auto *poWorker = new CThreadWorker(v_bGuiFunction, v_poModules, v_poModule);
    // Deleted later by the launcher: it belongs to the main thread, whose event
    // loop outlives the request worker that happens to start the job.
    if (QCoreApplication *poApp = QCoreApplication::instance())
        poWorker->moveToThread(poApp->thread());
    QTX_LOG(logger(), NOTICE, pFunc) << "Created new worker <" << address(poWorker) << "> for "
                                     << (v_bGuiFunction ? "the main thread" : "the job threads");
    return poWorker;
}

CThreadWorker::~CThreadWorker()
{
    // A GUI job deleted before its queued call came round still lets the next one start.
    EndGuiJob();
}

void CThreadWorker::SetGuiJob(const QByteArray &v_oOrigin, qint64 v_llTimeoutMs, std::function<void()> v_oOnEnd)
{
    m_oOrigin = v_oOrigin;
    m_llGuiTimeoutMs = v_llTimeoutMs;
    m_oOnGuiEnd = std::move(v_oOnEnd);
}

void CThreadWorker::EndGuiJob()
{
    if (!m_oOnGuiEnd)
        return;
    const std::function<void()> oOnEnd = std::move(m_oOnGuiEnd);
    m_oOnGuiEnd = nullptr;
    oOnEnd();
}

int CThreadWorker::JobsInFlight()
{
    return g_iJobsInFlight.load();
}

void CThreadWorker::ConfigurePool(qint64 v_llThreads, qint64 v_llIdleMs)
{
    JobPool &oPool = jobPool();
    oPool.oThreads.setMaxThreadCount(int(qBound<qint64>(1, v_llThreads, 4096)));
    oPool.oThreads.setExpiryTimeout(int(qBound<qint64>(0, v_llIdleMs, 24 * 3600 * 1000)));
    QTX_LOG(logger(), NOTICE, "CThreadWorker::ConfigurePool")
        << "Job threads at most=" << oPool.oThreads.maxThreadCount()
        << ", idle end after ms=" << oPool.oThreads.expiryTimeout();
}

void CThreadWorker::StopPool()
{
    JobPool *poPool = g_poPoolCreated.load();
    if (!poPool)
        return;
    std::deque<QueuedJob> oWaiting;
    {
        std::lock_guard<std::mutex> oGuard(poPool->oMutex);
        if (poPool->bStopped)
            return;
        poPool->bStopped = true;
        oWaiting.swap(poPool->oQueue);
    }
    for (QueuedJob &oJob : oWaiting)
        oJob.oCancel();
    // Joins the threads as well once every running function has returned.
    if (!poPool->oThreads.waitForDone(kStopWaitMs))
        QTX_LOG(logger(), ERROR, "CThreadWorker::StopPool")
            << "Job functions still running after " << kStopWaitMs << " ms; the application ends without them";
}

void CThreadWorker::StartOnPool(tpfun v_poFunction, const QByteArray &v_oSessionId, const QByteArray &v_oCmdId,
                                const tRequestMap &v_oRequest, const tSessionParamsMap &v_oSessionParams)
{
    ++g_iJobsInFlight;
    const std::shared_ptr<Run> poRun = m_poRun;
    DllModule *poModule = m_poModule;
    QueuedJob oJob;
    oJob.oRun = [this, poRun, v_poFunction, v_oSessionId, v_oCmdId, v_oRequest, v_oSessionParams, poModule] {
        {
            std::lock_guard<std::mutex> oGuard(poRun->oMutex);
            // Finished before it started: the worker may be gone, nothing runs.
            if (poRun->eState != State::Waiting)
                return;
            poRun->eState = State::Running;
        }
        t_poRunning = this;
        CallFunction(v_poFunction, v_oSessionId, v_oCmdId, v_oRequest, v_oSessionParams, poModule);
        t_poRunning = nullptr;
        --g_iJobsInFlight;
        bool bDelete = false;
        {
            std::lock_guard<std::mutex> oGuard(poRun->oMutex);
            poRun->eState = State::Done;
            bDelete = poRun->bDeleteWhenDone;
            poRun->oChanged.notify_all();
        }
        // Finish did not wait for this function: the worker is this thread's to
        // delete (deleteLater posts to the worker's own thread).
        if (bDelete)
            deleteLater();
    };
    // Only when the application ends: the job never starts and no result comes.
    // Its module reference is not given back; modules are not unloaded any more.
    oJob.oCancel = [poRun] {
        std::lock_guard<std::mutex> oGuard(poRun->oMutex);
        if (poRun->eState != State::Waiting)
            return;
        poRun->eState = State::Cancelled;
        --g_iJobsInFlight;
    };
    JobPool &oPool = jobPool();
    {
        std::lock_guard<std::mutex> oGuard(oPool.oMutex);
        if (oPool.bStopped) {
            oJob.oCancel();
            return;
        }
        oPool.oQueue.push_back(std::move(oJob));
    }
    // A pool thread is woken once this thread is done with the request: on an
    // I/O thread, after its reply is written (the job's thread could otherwise
    // take the core first); elsewhere at once. Until then the job waits
    // in the queue, and a stop in between cancels it there.
    QtxAfterTurn::Defer([] {
        JobPool &oPool = jobPool();
        std::lock_guard<std::mutex> oGuard(oPool.oMutex);
        if (!oPool.bStopped)
            oPool.oThreads.start(&runQueuedJob);
    });
}

void CThreadWorker::ReleaseModule()
{
    if (m_bModuleReleased.exchange(true))
        return;
    m_poModules->releaseModule(m_poModule);
}

void CThreadWorker::CallFunction(tpfun v_poFunction, QByteArray v_oSessionId, QByteArray v_oCmdId,
                                 tRequestMap v_oRequest, tSessionParamsMap v_oSessionParams, DllModule *)
{
    const char *pFunc = "CThreadWorker::CallFunction";
    // A GUI function runs on the main thread, an ordinary one never does.
    if (m_bGui)
        QTX_ASSERT_OWN_THREAD(this);
    else
        QTX_ASSERT_NOT_MAIN_THREAD();
    if (m_bGui) {
        std::unique_lock<std::mutex> oGuard(m_poRun->oMutex);
        if (m_poRun->eState != State::Waiting) {
            oGuard.unlock();
            EndGuiJob();
            return;
        }
        m_poRun->eState = State::Running;
    }
    QTX_LOG(logger(), INFO, pFunc) << "Calling function for sessionID <" << qtxLogId(v_oSessionId) << "> and cmdID <"
                                   << qtxLogId(v_oCmdId) << ">";
    tResultType oResult;
    m_bInCall = m_bGui;
    try {
        // The server's frame around the function's windows, for as long as it runs.
        std::unique_ptr<GuiJobFrame> poFrame;
        if (m_bGui)
            poFrame.reset(new GuiJobFrame(m_oOrigin, m_llGuiTimeoutMs, [this, v_oSessionId] {
                QTX_LOG(logger(), WARN, "CThreadWorker::CallFunction")
                    << "GUI function of session <" << qtxLogId(v_oSessionId) << "> still runs after "
                    << m_llGuiTimeoutMs << " ms (limits/guiJobTimeoutMs): its windows are closed";
                CancelOperation();
            }));
        QTX_ASSERT_NOT_IO_THREAD();
        oResult = v_poFunction(v_oRequest, v_oSessionParams);
        // A module may hand back bytes that stay its own (QByteArray::fromRawData
        // over static memory): the stored copy must outlive the module's unload.
        if (!oResult.isEmpty())
            oResult = QByteArray(oResult.constData(), oResult.size());
        QTX_LOG(logger(), NOTICE, pFunc) << "Dll function call was successful.";
        QTX_LOG(logger(), INFO, pFunc) << "Result: " << qtxLogSecret(oResult);
    } catch (const std::exception &oException) {
        // The server's exception family derives from std::exception as well.
        oResult = QByteArray("500") + '|' + QByteArray(oException.what());
        // The text may quote what the page sent: by its length, as the result.
        QTX_LOG(logger(), ERROR, pFunc) << "Dll function call failed. Result: " << qtxLogSecret(oResult)
                                        << "Exception: " << qtxLogSecret(QByteArray(oException.what()));
    } catch (const char *pText) {
        const QByteArray oText(pText ? pText : "");
        oResult = QByteArray("500") + '|' + oText;
        QTX_LOG(logger(), ERROR, pFunc) << "Dll function call failed. Result: " << qtxLogSecret(oResult) << "Exception: " << qtxLogSecret(oText);
    } catch (...) {
        oResult = QByteArray("500") + '|' + QByteArray("Unknown exception wast threw from dll module!");
        QTX_LOG(logger(), ERROR, pFunc) << "Dll function call failed. Result: " << qtxLogSecret(oResult);
    }
    // The function has returned: the module may go once the job is done with it.
    ReleaseModule();
    emit ResultReady(v_oSessionId, v_oCmdId, oResult);
    if (!m_bGui)
        return;
    {
        std::lock_guard<std::mutex> oGuard(m_poRun->oMutex);
        m_poRun->eState = State::Done;
    }
    m_bInCall = false;
    // The main thread is free: the next GUI job may start.
    EndGuiJob();
    if (m_bDeleteWhenIdle)
        deleteLater();
}

bool CThreadWorker::Finish()
{
    if (m_bFinished.exchange(true))
        return false;
    // From here on a result the function may still produce reaches nobody.
    QObject::disconnect(this, nullptr, nullptr, nullptr);
    bool bNeverRan = false;
    {
        std::unique_lock<std::mutex> oLock(m_poRun->oMutex);
        if (m_poRun->eState == State::Waiting) {
            m_poRun->eState = State::Cancelled;
            bNeverRan = true;
        }
    }
    if (bNeverRan) {
        if (!m_bGui)
            --g_iJobsInFlight;
        ReleaseModule();
    } else {
        // Only a job that holds the main thread has windows to close: those of
        // a GUI job still waiting belong to another page's job.
        CancelOperation();
    }
    if (m_bGui) {
        DeleteLaterWhenIdle();
        return true;
    }
    {
        // Never waited for: a module function may block for as long as a card
        // reader waits for its PIN pad, and the caller (a session's time-out on
        // the main thread) must not stall every other session meanwhile.
        std::unique_lock<std::mutex> oLock(m_poRun->oMutex);
        if (m_poRun->eState == State::Running) {
            m_poRun->bDeleteWhenDone = true;
            // Finished on its own thread once its result is stored, the function
            // has returned already; only a job ended from elsewhere still runs.
            if (t_poRunning != this)
                QTX_LOG(logger(), NOTICE, "CThreadWorker::Finish")
                    << "Job of worker <" << address(this) << "> still runs; it ends on its own thread";
            return true;
        }
    }
    deleteLater();
    return true;
}

bool CThreadWorker::CancelOperation()
{
    QTX_LOG(logger(), NOTICE, "CThreadWorker::CancelOperation")
        << "Cancel all operations on worker <" << address(this) << "> for "
        << (m_bGui ? "the main thread" : "a job thread");
    QCoreApplication *poApp = QCoreApplication::instance();
    if (m_bGui && poApp) {
        // QApplication::closeAllWindows is a static slot; reaching it through the
        // meta-object keeps this library free of the widgets module. A plain
        // QCoreApplication has no windows to close.
        if (poApp->metaObject()->indexOfMethod("closeAllWindows()") >= 0) {
            // Windows may only be touched on the main thread; from elsewhere the
            // close is posted there.
            const Qt::ConnectionType eType =
                QThread::currentThread() == poApp->thread() ? Qt::DirectConnection : Qt::QueuedConnection;
            QMetaObject::invokeMethod(poApp, "closeAllWindows", eType);
        }
    }
    return true;
}

void CThreadWorker::DeleteLaterWhenIdle()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { DeleteLaterWhenIdle(); }, Qt::QueuedConnection);
        return;
    }
    if (m_bInCall)
        m_bDeleteWhenIdle = true;
    else
        deleteLater();
}
