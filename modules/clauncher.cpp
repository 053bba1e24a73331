#include "clauncher.h"
#include "qtxthreadcheck.h"

#include "csettings.h"
#include "cthreadworker.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <QTimer>

#include <exception>
#include <new>

namespace {

// The launcher lock; it also guards the creation of the singleton.
std::mutex g_oLauncherLock;
CLauncher *g_poLauncher = nullptr;

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

const void *address(const void *v_pObject)
{
    return v_pObject;
}

QThread *mainThread()
{
    QCoreApplication *poApp = QCoreApplication::instance();
    return poApp ? poApp->thread() : nullptr;
}

CommandResult acceptedResult()
{
    return CommandResult(202, "Accepted", QByteArray());
}

} // namespace

CLauncher *CLauncher::GetInstance()
{
    std::lock_guard<std::mutex> oGuard(g_oLauncherLock);
    if (!g_poLauncher) {
        const char *pFunc = "CLauncher::GetInstance";
        try {
            g_poLauncher = new CLauncher();
        } catch (const std::bad_alloc &oException) {
            QTX_LOG(logger(), WARN, pFunc) << "Cannot create GUI module. Not enough memory: " << oException.what();
            return nullptr;
        } catch (const std::exception &oException) {
            QTX_LOG(logger(), WARN, pFunc) << "Unknown error. Problem with GUI module: " << oException.what();
            return nullptr;
        }
        // Workers and the closed-session sweep live on the launcher's thread;
        // the main thread runs its loop for the life of the process, whereas the
        // request worker that asked first may be retired by its pool.
        if (QThread *poMain = mainThread())
            g_poLauncher->moveToThread(poMain);
        QTX_LOG(logger(), NOTICE, pFunc) << "GUI module created";
    }
    return g_poLauncher;
}

CLauncher::CLauncher()
    : m_oLock(g_oLauncherLock)
{
    if (CSettings *poSettings = CSettings::Instance()) {
        m_llMaxJobs = poSettings->ReadLimit(QStringLiteral("maxJobs"), m_llMaxJobs);
        m_llMaxResults = poSettings->ReadLimit(QStringLiteral("maxResultsPerSession"), m_llMaxResults);
        m_llMaxResultBytes = poSettings->ReadLimit(QStringLiteral("maxResultBytesPerSession"), m_llMaxResultBytes);
        m_llMaxResultsPerClient = poSettings->ReadLimit(QStringLiteral("maxResultsPerClient"), m_llMaxResultsPerClient);
        m_llMaxResultBytesPerClient =
            poSettings->ReadLimit(QStringLiteral("maxResultBytesPerClient"), m_llMaxResultBytesPerClient);
        const int iInterval = poSettings->ReadTimeoutInterval();
        if (iInterval > 0)
            m_llClosedGraceMs = iInterval;
    }
    CThreadWorker::ConfigurePool();
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
    DllManager *poManager = DllManager::GetInstance();
    return ProcessCommand(v_oRequest, poManager ? poManager->acquireModule(v_oRequest.oLibraryName) : nullptr);
}

CommandResult CLauncher::ProcessCommand(const JobRequest &v_oRequest, DllModule *v_poModule,
                                       const DllModule::CommandInfo *v_poKnown)
{
    const char *pFunc = "CLauncher::ProcessCommand";
    // The usage reference was taken before the hand-over: a session closed on
    // another connection cannot unload the module under the accepted job. It
    // goes back on every refusal below and to the worker on success.
    ModuleRef oModule = ModuleRef::adopt(DllManager::GetInstance(), v_poModule);
    DllModule *poModule = oModule.get();
    tpfun poFunction = poModule ? poModule->getFunction(v_oRequest.oCommand, v_poKnown) : nullptr;
    if (!poFunction) {
        QTX_LOG(logger(), ERROR, pFunc) << "Problem with DllManager or DllModule";
        return CommandResult(404, "Not Found", "The URL you requested was not found.");
    }

    std::lock_guard<std::mutex> oGuard(m_oLock);
    CommandResult oRefusal;
    if (IsOverLimitPriv(v_oRequest, &oRefusal))
        return oRefusal;

    const bool bGui = poModule->isGuiFunction(poFunction, v_poKnown);
    if (bGui) {
        if (m_bGuisBusy.load())
            return CommandResult(503, "Service Unavailable",
                                 "The QTX server is busy performing another gui request. Try again later.");
        // Started with "-console" the server has no widget application: a dialog
        // would abort the whole process, so the function is not started.
        if (!QCoreApplication::instance() || !QCoreApplication::instance()->inherits("QApplication")) {
            QTX_LOG(logger(), ERROR, pFunc) << "GUI function requested but the server runs without a GUI (-console)";
            return CommandResult(500, "Internal Server Error",
                                 "The QTX server encountered an unexpected error and was unable to complete your request.");
        }
        m_bGuisBusy.store(true);
        QTX_LOG(logger(), NOTICE, pFunc) << "Started GUI function. Flag bGuisBusy set";
    } else if (CThreadWorker::JobsInFlight() >= m_llMaxJobs) {
        QTX_LOG(logger(), WARN, pFunc) << "Job refused: " << m_llMaxJobs
                                       << " jobs are running or waiting (limits/maxJobs)";
        return CommandResult(503, "Service Unavailable", "The QTX server is running too many jobs. Try again later.");
    }

    CThreadWorker *poWorker = CThreadWorker::createWorker(bGui, oModule.release());
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
        // Queued even though the worker lives on the main thread: the function must
        // never run inside this call, which holds the launcher lock. Connected for
        // one emission only, so that it reaches exactly this worker.
        const QMetaObject::Connection oCall = connect(this, &CLauncher::FunctionReadyToCall, poWorker,
                                                      &CThreadWorker::CallFunction, Qt::QueuedConnection);
        emit FunctionReadyToCall(poFunction, v_oRequest.oSessionId, v_oRequest.oCommandId, v_oRequest.oRequestMap,
                                 v_oRequest.oSessionParams, poModule);
        disconnect(oCall);
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

bool CLauncher::IsOverLimitPriv(const JobRequest &v_oRequest, CommandResult *v_poRefusal) const
{
    const ResultStore::Usage oSession = m_oResults.sessionUsage(v_oRequest.oSessionId);
    const qint64 llRunning = m_oJobs.running(v_oRequest.oSessionId);
    if (oSession.count + llRunning >= m_llMaxResults || oSession.bytes >= m_llMaxResultBytes) {
        QTX_LOG(logger(), WARN, "CLauncher::ProcessCommand")
            << "Job refused: session " << qtxLogId(v_oRequest.oSessionId) << " holds " << oSession.count
            << " unfetched results (" << oSession.bytes << " bytes) and " << llRunning
            << " running jobs (limits/maxResultsPerSession, maxResultBytesPerSession)";
    } else {
        const ResultStore::Usage oAccount = m_oResults.accountUsage(v_oRequest.iSessionOwner);
        if (oAccount.count < m_llMaxResultsPerClient && oAccount.bytes < m_llMaxResultBytesPerClient)
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
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        m_oResults.setClosedDeadline(v_oSessionId, QDateTime::currentMSecsSinceEpoch() + m_llClosedGraceMs);
        // One sweep at a time: a scheduled one comes before this deadline anyway.
        if (m_bSweepScheduled)
            return;
        m_bSweepScheduled = true;
    }
    const int iDelay = int(qMin<qint64>(m_llClosedGraceMs, 24 * 3600 * 1000)) + 1;
    // The timer lives on the launcher's thread, whatever thread closes the session.
    QMetaObject::invokeMethod(
        this, [this, iDelay] { QTimer::singleShot(iDelay, this, &CLauncher::SweepClosedSessions); },
        Qt::QueuedConnection);
}

void CLauncher::SweepClosedSessions()
{
    QTX_ASSERT_OWN_THREAD(this);
    const qint64 llNow = QDateTime::currentMSecsSinceEpoch();
    QList<QByteArray> oExpired;
    qint64 llNext = -1;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        const QList<QByteArray> oDue = m_oResults.takeClosedDue(llNow, &llNext);
        for (const QByteArray &oSession : oDue) {
            if (m_oJobs.running(oSession) > 0) {
                // A job still runs: its result stays fetchable for a full period.
                const qint64 llLater = llNow + m_llClosedGraceMs;
                m_oResults.setClosedDeadline(oSession, llLater);
                llNext = llNext < 0 ? llLater : qMin(llNext, llLater);
                continue;
            }
            m_oResults.dropSession(oSession);
            m_oJobs.unmarkSession(oSession);
            oExpired << oSession;
        }
        m_bSweepScheduled = llNext >= 0;
    }
    for (const QByteArray &oSession : qAsConst(oExpired))
        QTX_LOG(logger(), INFO, "CLauncher::SweepClosedSessions")
            << "Results of closed session " << qtxLogId(oSession) << " dropped";
    if (llNext >= 0)
        QTimer::singleShot(int(qMin<qint64>(llNext - llNow, 24 * 3600 * 1000)) + 1, this,
                           &CLauncher::SweepClosedSessions);
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
        // A closed session's late result is fetchable for a full period too.
        m_oResults.extendClosedDeadline(v_oSessionId, QDateTime::currentMSecsSinceEpoch() + m_llClosedGraceMs);
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
    const bool bGui = v_poWorker->IsGuiWorker();
    if (!v_poWorker->Finish())
        return false;
    if (bGui) {
        m_bGuisBusy.store(false);
        QTX_LOG(logger(), NOTICE, "CLauncher::FinishJob") << "Finished GUI function. Flag bGuisBusy removed";
    }
    return true;
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
        m_oResults.forgetClosed(v_oSessionId);
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
