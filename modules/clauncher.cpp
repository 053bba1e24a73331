#include "clauncher.h"
#include "qtxthreadcheck.h"

#include "cthreadworker.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "guijobframe.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QThread>

#include <exception>
#include <new>

namespace {

// The launcher lock.
std::mutex g_oLauncherLock;

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

const void *address(const void *v_pObject)
{
    return v_pObject;
}

CommandResult acceptedResult()
{
    return CommandResult(202, "Accepted", QByteArray());
}

} // namespace

CLauncher::CLauncher(DllManager *v_poModules, const LauncherLimits &v_oLimits)
    : m_poModules(v_poModules)
    , m_oLimits(v_oLimits)
    , m_oLock(g_oLauncherLock)
{
    CThreadWorker::ConfigurePool(m_oLimits.jobThreads, m_oLimits.jobThreadIdleMs);
    QTX_LOG(logger(), NOTICE, "CLauncher::CLauncher") << "GUI module created";
}

CLauncher::~CLauncher()
{
    QList<JobTable::Job> oJobs;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        oJobs = m_oJobs.takeAll();
        m_oResults.clear();
        m_oJobs.clearMarks();
    }
    for (const JobTable::Job &oJob : qAsConst(oJobs))
        FinishJob(oJob.poWorker);
}

CommandResult CLauncher::ProcessCommand(const JobRequest &v_oRequest)
{
    return ProcessCommand(v_oRequest, m_poModules->acquireModule(v_oRequest.oLibraryName));
}

CommandResult CLauncher::ProcessCommand(const JobRequest &v_oRequest, DllModule *v_poModule,
                                       const DllModule::CommandInfo *v_poKnown)
{
    const char *pFunc = "CLauncher::ProcessCommand";
    // The usage reference was taken before the hand-over: a session closed on
    // another connection cannot unload the module under the accepted job. It
    // goes back on every refusal below and to the worker on success.
    ModuleRef oModule = ModuleRef::adopt(m_poModules, v_poModule);
    DllModule *poModule = oModule.get();
    // A command that did not come through the I/O thread's check reads the
    // same record here, on the worker: the module is never asked again.
    DllModule::CommandInfo oDescribed;
    if (poModule && !v_poKnown) {
        oDescribed = poModule->describeCommand(v_oRequest.oCommand);
        v_poKnown = &oDescribed;
    }
    tpfun poFunction = poModule ? poModule->getFunction(v_oRequest.oCommand, v_poKnown) : nullptr;
    if (!poFunction) {
        QTX_LOG(logger(), ERROR, pFunc) << "Problem with DllManager or DllModule";
        return CommandResult(404, "Not Found", "The URL you requested was not found.");
    }

    std::lock_guard<std::mutex> oGuard(m_oLock);
    CommandResult oRefusal;
    if (IsOverLimitPriv(v_oRequest, &oRefusal))
        return oRefusal;

    const bool bGui = DllModule::isGuiFunction(*v_poKnown);
    if (bGui) {
        if (!AdmitGuiPriv(v_oRequest, &oRefusal))
            return oRefusal;
    } else if (CThreadWorker::JobsInFlight() >= m_oLimits.maxJobs) {
        QTX_LOG(logger(), WARN, pFunc) << "Job refused: " << m_oLimits.maxJobs
                                       << " jobs are running or waiting (limits/maxJobs)";
        return CommandResult(503, "Service Unavailable", "The QTX server is running too many jobs. Try again later.");
    }

    CThreadWorker *poWorker = CThreadWorker::createWorker(bGui, m_poModules, oModule.release());
    // Stored on the thread that produced it, under the launcher lock: a page
    // polling for the result does not wait for the main thread's event loop
    // to come round. The worker is named here because sender() means nothing
    // in a call made on another thread than the receiver's.
    connect(
        poWorker, &CThreadWorker::ResultReady, this,
        [this, poWorker](QByteArray v_oSessionId, QByteArray v_oCommandId, tResultType v_oResult) {
            SetResult(poWorker, v_oSessionId, v_oCommandId, v_oResult);
        },
        Qt::DirectConnection);
    if (bGui) {
        poWorker->SetGuiJob(v_oRequest.oOrigin, m_oLimits.guiTimeoutMs, [this, poWorker] { GuiJobEnded(poWorker); });
        const GuiJob oJob{poWorker, poFunction, v_oRequest, poModule};
        if (m_poGuiRunning) {
            m_oGuiQueue.push_back(oJob);
            QTX_LOG(logger(), NOTICE, pFunc) << "GUI function queued: " << m_oGuiQueue.size()
                                             << " waiting for the running one";
        } else {
            StartGuiPriv(oJob);
        }
    } else {
        poWorker->StartOnPool(poFunction, v_oRequest.oSessionId, v_oRequest.oCommandId, v_oRequest.oRequestMap,
                              v_oRequest.oSessionParams);
    }

    const JobTable::Job oJob{poWorker, v_oRequest.iSessionOwner};
    QTX_LOG(logger(), INFO, "CLauncher::AddToProcessedJobs")
        << "v_oSessionId=" << qtxLogId(v_oRequest.oSessionId) << ", v_oCommandId=" << qtxLogId(v_oRequest.oCommandId);
    if (!m_oJobs.add(v_oRequest.oSessionId, v_oRequest.oCommandId, oJob)) {
        QTX_LOG(logger(), ERROR, "CLauncher::AddToProcessedJobs")
            << "Result for session " << qtxLogId(v_oRequest.oSessionId) << " and cmdId "
            << qtxLogId(v_oRequest.oCommandId) << " already set.\n"
            << "New value pointers: worker -> " << address(poWorker);
        m_oJobs.addUntracked(v_oRequest.oSessionId, oJob);
    }
    if (v_oRequest.bUnprivileged)
        m_oJobs.markUnprivileged(v_oRequest.oSessionId, v_oRequest.oCommandId);
    return acceptedResult();
}

bool CLauncher::AdmitGuiPriv(const JobRequest &v_oRequest, CommandResult *v_poRefusal)
{
    const char *pFunc = "CLauncher::ProcessCommand";
    // The dialog names the page that asked, from the browser's Origin header;
    // a request that cannot be named opens no window.
    if (!qtxIsWebOrigin(v_oRequest.oOrigin)) {
        QTX_LOG(logger(), WARN, pFunc) << "GUI function refused: the request has no web origin (Origin header: "
                                       << qtxLogSecret(v_oRequest.oOrigin) << ")";
        *v_poRefusal = CommandResult(403, "Forbidden",
                                     "This command opens a window on the desktop and needs the Origin header of the web page that asks.");
        return false;
    }
    // Started with "-console" the server has no widget application: a dialog
    // would abort the whole process, so the function is not started.
    if (!QCoreApplication::instance() || !QCoreApplication::instance()->inherits("QApplication")) {
        QTX_LOG(logger(), ERROR, pFunc) << "GUI function requested but the server runs without a GUI (-console)";
        *v_poRefusal = CommandResult(500, "Internal Server Error",
                                     "The QTX server encountered an unexpected error and was unable to complete your request.");
        return false;
    }
    if (!m_poGuiRunning)
        return true;
    // A page learns that a dialog is open only when it is its own: its session's
    // or its origin's. Any other page's command waits for its turn.
    const auto isOwn = [&v_oRequest](const QByteArray &v_oSession, const QByteArray &v_oOrigin) {
        return v_oSession == v_oRequest.oSessionId || v_oOrigin == v_oRequest.oOrigin;
    };
    bool bOwn = isOwn(m_oGuiRunningSession, m_oGuiRunningOrigin);
    qint64 llAccountWaiting = 0;
    for (const GuiJob &oJob : m_oGuiQueue) {
        bOwn = bOwn || isOwn(oJob.oRequest.oSessionId, oJob.oRequest.oOrigin);
        llAccountWaiting += oJob.oRequest.iSessionOwner == v_oRequest.iSessionOwner ? 1 : 0;
    }
    if (bOwn) {
        QTX_LOG(logger(), NOTICE, pFunc) << "GUI function refused: a GUI function of the same session or origin runs or waits";
        *v_poRefusal = CommandResult(503, "Service Unavailable",
                                     "The QTX server is busy performing another gui request. Try again later.");
        return false;
    }
    if (qint64(m_oGuiQueue.size()) >= m_oLimits.maxGuiQueue || llAccountWaiting >= m_oLimits.maxGuiQueuePerClient) {
        QTX_LOG(logger(), WARN, pFunc) << "GUI function refused: " << m_oGuiQueue.size() << " GUI functions wait, "
                                       << llAccountWaiting << " of them for this account (limits/maxQueuedGuiJobs, "
                                       << "maxQueuedGuiJobsPerClient)";
        // The reply of any job limit: it tells the page nothing about the other page's dialog.
        *v_poRefusal = CommandResult(503, "Service Unavailable", "The QTX server is running too many jobs. Try again later.");
        return false;
    }
    return true;
}

void CLauncher::StartGuiPriv(const GuiJob &v_oJob)
{
    m_poGuiRunning = v_oJob.poWorker;
    m_oGuiRunningSession = v_oJob.oRequest.oSessionId;
    m_oGuiRunningOrigin = v_oJob.oRequest.oOrigin;
    QTX_LOG(logger(), NOTICE, "CLauncher::ProcessCommand") << "Started GUI function. Flag bGuisBusy set";
    // Queued even though the worker lives on the main thread: the function must
    // never run inside this call, which holds the launcher lock. Connected for
    // one emission only, so that it reaches exactly this worker.
    const QMetaObject::Connection oCall = connect(this, &CLauncher::FunctionReadyToCall, v_oJob.poWorker,
                                                  &CThreadWorker::CallFunction, Qt::QueuedConnection);
    emit FunctionReadyToCall(v_oJob.poFunction, v_oJob.oRequest.oSessionId, v_oJob.oRequest.oCommandId,
                             v_oJob.oRequest.oRequestMap, v_oJob.oRequest.oSessionParams, v_oJob.poModule);
    disconnect(oCall);
}

void CLauncher::GuiJobEnded(const CThreadWorker *v_poWorker)
{
    QTX_ASSERT_OWN_THREAD(this);
    std::lock_guard<std::mutex> oGuard(m_oLock);
    if (DequeueGuiPriv(v_poWorker) || m_poGuiRunning != v_poWorker)
        return;
    m_poGuiRunning = nullptr;
    m_oGuiRunningSession.clear();
    m_oGuiRunningOrigin.clear();
    QTX_LOG(logger(), NOTICE, "CLauncher::FinishJob") << "Finished GUI function. Flag bGuisBusy removed";
    if (m_oGuiQueue.empty())
        return;
    const GuiJob oNext = m_oGuiQueue.front();
    m_oGuiQueue.pop_front();
    StartGuiPriv(oNext);
}

bool CLauncher::DequeueGuiPriv(const CThreadWorker *v_poWorker)
{
    for (auto it = m_oGuiQueue.begin(); it != m_oGuiQueue.end(); ++it) {
        if (it->poWorker == v_poWorker) {
            m_oGuiQueue.erase(it);
            return true;
        }
    }
    return false;
}

bool CLauncher::IsOverLimitPriv(const JobRequest &v_oRequest, CommandResult *v_poRefusal) const
{
    const ResultStore::Usage oSession = m_oResults.sessionUsage(v_oRequest.oSessionId);
    const qint64 llRunning = m_oJobs.running(v_oRequest.oSessionId);
    if (oSession.count + llRunning >= m_oLimits.maxResults || oSession.bytes >= m_oLimits.maxResultBytes) {
        QTX_LOG(logger(), WARN, "CLauncher::ProcessCommand")
            << "Job refused: session " << qtxLogId(v_oRequest.oSessionId) << " holds " << oSession.count
            << " unfetched results (" << oSession.bytes << " bytes) and " << llRunning
            << " running jobs (limits/maxResultsPerSession, maxResultBytesPerSession)";
    } else {
        const ResultStore::Usage oAccount = m_oResults.accountUsage(v_oRequest.iSessionOwner);
        if (oAccount.count < m_oLimits.maxResultsPerClient && oAccount.bytes < m_oLimits.maxResultBytesPerClient)
            return false;
        QTX_LOG(logger(), WARN, "CLauncher::ProcessCommand")
            << "Job refused: the sessions of this client's account hold " << oAccount.count << " unfetched results ("
            << oAccount.bytes << " bytes) (limits/maxResultsPerClient, maxResultBytesPerClient)";
    }
    *v_poRefusal = CommandResult(503, "Service Unavailable",
                                 "Too many unfetched results in this session. Fetch them with GET_RESULT first.");
    return true;
}

void CLauncher::SessionClosed(const QByteArray &v_oSessionId)
{
    // A window the closed page can no longer answer for does not open later.
    QList<CThreadWorker *> oDropped;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        for (auto it = m_oGuiQueue.begin(); it != m_oGuiQueue.end();) {
            if (it->oRequest.oSessionId != v_oSessionId) {
                ++it;
                continue;
            }
            JobTable::Job oJob;
            if (m_oJobs.isTracked(v_oSessionId, it->oRequest.oCommandId, it->poWorker))
                m_oJobs.take(v_oSessionId, it->oRequest.oCommandId, &oJob);
            else
                m_oJobs.takeUntracked(it->poWorker, &oJob);
            oDropped << it->poWorker;
            it = m_oGuiQueue.erase(it);
        }
    }
    for (CThreadWorker *poWorker : qAsConst(oDropped)) {
        QTX_LOG(logger(), NOTICE, "CLauncher::SessionClosed")
            << "Waiting GUI function of closed session " << qtxLogId(v_oSessionId) << " dropped";
        FinishJob(poWorker);
    }
    // Results stored before the close are covered by the grace period from here.
    std::lock_guard<std::mutex> oGuard(m_oLock);
    m_oResults.takeFresh(v_oSessionId);
}

bool CLauncher::ReleaseClosedSession(const QByteArray &v_oSessionId)
{
    QTX_ASSERT_OWN_THREAD(this);
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        const bool bFresh = m_oResults.takeFresh(v_oSessionId);
        if (bFresh || m_oJobs.running(v_oSessionId) > 0)
            return false;
        m_oResults.dropSession(v_oSessionId);
        m_oJobs.unmarkSession(v_oSessionId);
    }
    QTX_LOG(logger(), INFO, "CLauncher::ReleaseClosedSession")
        << "Results of closed session " << qtxLogId(v_oSessionId) << " dropped";
    return true;
}

CommandResult CLauncher::GetResult(const JobRequest &v_oRequest)
{
    const char *pFunc = "CLauncher::GetResult";
    const QByteArray &oSessionId = v_oRequest.oSessionId;
    const QByteArray &oCommandId = v_oRequest.oCommandId;
    tResultType oBody;
    bool bIsJobProcessed = false;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        if (m_oResults.take(oSessionId, oCommandId, &oBody)) {
            m_oJobs.unmarkUnprivileged(oSessionId, oCommandId);
            QTX_LOG(logger(), INFO, "CLauncher::RemoveFromResults")
                << "Result for sessionId <" << qtxLogId(oSessionId) << "> and commandId <" << qtxLogId(oCommandId)
                << "> removed";
            return CommandResult(200, "OK", oBody);
        }
        bIsJobProcessed = m_oJobs.contains(oSessionId, oCommandId);
    }
    QTX_LOG(logger(), INFO, pFunc) << "bIsResultReady=0, bIsJobProcessed=" << bIsJobProcessed;
    if (bIsJobProcessed)
        return acceptedResult();
    return CommandResult(419, "No Result", "There is no result for given parameters.");
}

void CLauncher::SetResult(const QObject *v_poWorker, const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                          const tResultType &v_oResult)
{
    const char *pFunc = "CLauncher::AddToResults";
    JobTable::Job oJob;
    bool bUntracked = false;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        if (m_oJobs.takeUntracked(v_poWorker, &oJob)) {
            bUntracked = true;
        } else if (!m_oJobs.isTracked(v_oSessionId, v_oCommandId, v_poWorker)) {
            // Its job was ended while the function ran (session time-out): the
            // job and everything of its session are gone, so is this result.
            QTX_LOG(logger(), NOTICE, "CLauncher::SetResult")
                << "Result for sessionId <" << qtxLogId(v_oSessionId) << "> and commandId <"
                << qtxLogId(v_oCommandId) << "> dropped, job already ended";
            return;
        } else {
            // In the same locked step as the result, so that a page never sees
            // 202 again after it was handed the result.
            m_oJobs.take(v_oSessionId, v_oCommandId, &oJob);
        }
        if (m_oResults.add(v_oSessionId, v_oCommandId, v_oResult, oJob.iOwner)) {
            QTX_LOG(logger(), NOTICE, pFunc) << "Result for sessionId <" << qtxLogId(v_oSessionId)
                                             << "> and commandId <" << qtxLogId(v_oCommandId) << "> saved";
        } else {
            QTX_LOG(logger(), ERROR, pFunc)
                << "Result for session " << qtxLogId(v_oSessionId) << " and cmdId " << qtxLogId(v_oCommandId)
                << " already set\n"
                << "Previous value: " << qtxLogSecret(m_oResults.value(v_oSessionId, v_oCommandId)) << "\n"
                << "New value: " << qtxLogSecret(v_oResult);
        }
    }
    if (!oJob.poWorker)
        return;
    if (FinishJob(oJob.poWorker))
        QTX_LOG(logger(), INFO, "CLauncher::RemoveFromProcessedJobs")
            << "Job ended. sessionid=" << qtxLogId(v_oSessionId) << ", cmdId=" << qtxLogId(v_oCommandId)
            << (bUntracked ? " (untracked)" : "");
}

bool CLauncher::FinishJob(CThreadWorker *v_poWorker)
{
    if (!v_poWorker)
        return false;
    if (v_poWorker->IsGuiWorker()) {
        // A job that waited for the main thread never runs; the one that holds
        // it gives it back when its function has returned (GuiJobEnded).
        std::lock_guard<std::mutex> oGuard(m_oLock);
        DequeueGuiPriv(v_poWorker);
    }
    return v_poWorker->Finish();
}

bool CLauncher::IsUnprivilegedJob(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return m_oJobs.isUnprivileged(v_oSessionId, v_oCommandId);
}

bool CLauncher::RemoveAllForSession(const QByteArray &v_oSessionId)
{
    const char *pFunc = "CLauncher::RemoveAllForSession";
    QList<JobTable::Job> oJobs;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        m_oResults.dropSession(v_oSessionId);
        m_oJobs.unmarkSession(v_oSessionId);
        oJobs = m_oJobs.takeSession(v_oSessionId);
    }
    // Out of the table first: a result such a job still posts finds no job and
    // is dropped. Finishing never waits for a function that runs.
    bool bRes = true;
    for (const JobTable::Job &oJob : qAsConst(oJobs)) {
        if (!FinishJob(oJob.poWorker)) {
            QTX_LOG(logger(), WARN, pFunc) << "Can't end job. sessionid=" << qtxLogId(v_oSessionId);
            bRes = false;
        }
    }
    QTX_LOG(logger(), INFO, pFunc) << "Cleared jobs and results for sessionId <" << qtxLogId(v_oSessionId)
                                   << "> jobs=" << oJobs.size() << " bRes=" << bRes;
    return bRes;
}
