#include "clauncher.h"

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
        // SetResult is delivered through the event loop of the launcher's thread;
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
    ClearProcessedJobs();
    ClearAllResults();
    ClearUnprivilegedJobs();
}

CommandResult CLauncher::ProcessCommand(const JobRequest &v_oRequest)
{
    const char *pFunc = "CLauncher::ProcessCommand";
    std::lock_guard<std::mutex> oGuard(m_oLock);

    // The usage reference is taken here, before the hand-over: a session closed
    // on another connection cannot unload the module under the accepted job.
    DllManager *poManager = DllManager::GetInstance();
    DllModule *poModule = poManager ? poManager->acquireModule(v_oRequest.oLibraryName) : nullptr;
    tpfun poFunction = poModule ? poModule->getFunction(v_oRequest.oCommand) : nullptr;
    if (!poFunction) {
        if (poModule)
            poManager->releaseModule(poModule);
        QTX_LOG(logger(), ERROR, pFunc) << "Problem with DllManager or DllModule";
        return CommandResult(404, "Not Found", "The URL you requested was not found.");
    }

    CommandResult oRefusal;
    if (IsOverSessionLimitPriv(v_oRequest.oSessionId, &oRefusal)
        || IsOverAccountLimitPriv(v_oRequest.iSessionOwner, &oRefusal)) {
        poManager->releaseModule(poModule);
        return oRefusal;
    }

    const bool bGui = poModule->isGuiFunction(poFunction);
    if (bGui) {
        if (m_bGuisBusy.load()) {
            poManager->releaseModule(poModule);
            return CommandResult(503, "Service Unavailable",
                                 "The QTX server is busy performing another gui request. Try again later.");
        }
        // Started with "-console" the server has no widget application: a dialog
        // would abort the whole process, so the function is not started.
        if (!QCoreApplication::instance() || !QCoreApplication::instance()->inherits("QApplication")) {
            poManager->releaseModule(poModule);
            QTX_LOG(logger(), ERROR, pFunc) << "GUI function requested but the server runs without a GUI (-console)";
            return CommandResult(500, "Internal Server Error",
                                 "The QTX server encountered an unexpected error and was unable to complete your request.");
        }
        m_bGuisBusy.store(true);
        QTX_LOG(logger(), NOTICE, pFunc) << "Started GUI function. Flag bGuisBusy set";
    } else if (CThreadWorker::JobsInFlight() >= m_llMaxJobs) {
        poManager->releaseModule(poModule);
        QTX_LOG(logger(), WARN, pFunc) << "Job refused: " << m_llMaxJobs
                                       << " jobs are running or waiting (limits/maxJobs)";
        return CommandResult(503, "Service Unavailable", "The QTX server is running too many jobs. Try again later.");
    }

    CThreadWorker *poWorker = CThreadWorker::createWorker(bGui, poModule);
    connect(poWorker, &CThreadWorker::ResultReady, this, &CLauncher::SetResult);
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

    m_oSessionOwners.insert(v_oRequest.oSessionId, v_oRequest.iSessionOwner);
    const Job oJob{poWorker};
    if (!AddToProcessedJobsPriv(v_oRequest.oSessionId, v_oRequest.oCommandId, oJob))
        m_oUntrackedJobs.insert(v_oRequest.oSessionId, UntrackedJob{v_oRequest.oCommandId, oJob});
    if (v_oRequest.bUnprivileged)
        AddToUnprivilegedJobsPriv(v_oRequest.oSessionId, v_oRequest.oCommandId);
    return acceptedResult();
}

bool CLauncher::IsOverSessionLimitPriv(const QByteArray &v_oSessionId, CommandResult *v_poRefusal)
{
    const qint64 llStored = m_oResults.value(v_oSessionId).size();
    const qint64 llRunning = m_oProcessedJobs.value(v_oSessionId).size() + m_oUntrackedJobs.count(v_oSessionId);
    const qint64 llBytes = ResultBytesPriv(v_oSessionId);
    if (llStored + llRunning < m_llMaxResults && llBytes < m_llMaxResultBytes)
        return false;
    QTX_LOG(logger(), WARN, "CLauncher::ProcessCommand")
        << "Job refused: session " << qtxLogId(v_oSessionId) << " holds " << llStored << " unfetched results (" << llBytes
        << " bytes) and " << llRunning << " running jobs (limits/maxResultsPerSession, maxResultBytesPerSession)";
    *v_poRefusal = CommandResult(503, "Service Unavailable",
                                 "Too many unfetched results in this session. Fetch them with GET_RESULT first.");
    return true;
}

bool CLauncher::IsOverAccountLimitPriv(qint64 v_iOwner, CommandResult *v_poRefusal)
{
    const AccountResults oStored = m_oAccountResults.value(v_iOwner);
    if (oStored.count < m_llMaxResultsPerClient && oStored.bytes < m_llMaxResultBytesPerClient)
        return false;
    QTX_LOG(logger(), WARN, "CLauncher::ProcessCommand")
        << "Job refused: the sessions of this client's account hold " << oStored.count << " unfetched results ("
        << oStored.bytes << " bytes) (limits/maxResultsPerClient, maxResultBytesPerClient)";
    *v_poRefusal = CommandResult(503, "Service Unavailable",
                                 "Too many unfetched results in this session. Fetch them with GET_RESULT first.");
    return true;
}

void CLauncher::ForgetSessionOwnerPriv(const QByteArray &v_oSessionId)
{
    if (!m_oResults.contains(v_oSessionId) && !m_oProcessedJobs.contains(v_oSessionId)
        && !m_oUntrackedJobs.contains(v_oSessionId))
        m_oSessionOwners.remove(v_oSessionId);
}

qint64 CLauncher::ResultBytesPriv(const QByteArray &v_oSessionId) const
{
    qint64 llBytes = 0;
    const auto it = m_oResults.constFind(v_oSessionId);
    if (it == m_oResults.constEnd())
        return 0;
    for (const tResultType &oResult : *it)
        llBytes += oResult.size();
    return llBytes;
}

void CLauncher::SessionClosed(const QByteArray &v_oSessionId)
{
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        m_oClosedSessions.insert(v_oSessionId, QDateTime::currentMSecsSinceEpoch() + m_llClosedGraceMs);
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
    const qint64 llNow = QDateTime::currentMSecsSinceEpoch();
    QList<QByteArray> oExpired;
    qint64 llNext = -1;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        m_bSweepScheduled = false;
        for (auto it = m_oClosedSessions.begin(); it != m_oClosedSessions.end();) {
            if (it.value() <= llNow
                && (m_oProcessedJobs.contains(it.key()) || m_oUntrackedJobs.contains(it.key()))) {
                // A job still runs: its result stays fetchable for a full period.
                it.value() = llNow + m_llClosedGraceMs;
            }
            if (it.value() > llNow) {
                llNext = llNext < 0 ? it.value() : qMin(llNext, it.value());
                ++it;
                continue;
            }
            oExpired << it.key();
            it = m_oClosedSessions.erase(it);
        }
        m_bSweepScheduled = llNext >= 0;
    }
    for (const QByteArray &oSession : qAsConst(oExpired)) {
        QTX_LOG(logger(), INFO, "CLauncher::SweepClosedSessions")
            << "Results of closed session " << qtxLogId(oSession) << " dropped";
        RemoveAllResultsForSession(oSession);
        RemoveAllUnprivilegedJobsForSession(oSession);
    }
    if (llNext >= 0)
        QTimer::singleShot(int(qMin<qint64>(llNext - llNow, 24 * 3600 * 1000)) + 1, this,
                           &CLauncher::SweepClosedSessions);
}

CommandResult CLauncher::GetResult(const JobRequest &v_oRequest)
{
    const char *pFunc = "CLauncher::GetResult";
    const QByteArray &oSessionId = v_oRequest.oSessionId;
    const QByteArray &oCommandId = v_oRequest.oCommandId;
    std::lock_guard<std::mutex> oGuard(m_oLock);

    const auto itResults = m_oResults.constFind(oSessionId);
    const bool bIsResultReady = itResults != m_oResults.constEnd() && itResults->contains(oCommandId);
    QTX_LOG(logger(), INFO, pFunc) << "bIsResultReady=" << bIsResultReady;
    if (bIsResultReady) {
        const QByteArray oBody = itResults->value(oCommandId);
        RemoveFromResultsPriv(oSessionId, oCommandId);
        RemoveFromUnprivilegedJobsPriv(oSessionId, oCommandId);
        return CommandResult(200, "OK", oBody);
    }

    const auto itJobs = m_oProcessedJobs.constFind(oSessionId);
    const bool bIsJobProcessed = itJobs != m_oProcessedJobs.constEnd() && itJobs->contains(oCommandId);
    QTX_LOG(logger(), INFO, pFunc) << "bIsJobProcessed=" << bIsJobProcessed;
    if (bIsJobProcessed)
        return acceptedResult();
    return CommandResult(419, "No Result", "There is no result for given parameters.");
}

void CLauncher::SetResult(QByteArray v_oSessionId, QByteArray v_oCommandId, tResultType v_oResult)
{
    // The sender is compared by address only: a result may still be queued
    // after its worker was finished and deleted.
    const QObject *poSender = sender();
    Job oUntracked;
    Job oJob;
    bool bTracked = false;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        if (poSender && TakeUntrackedJob(poSender, &oUntracked)) {
            AddToResultsPriv(v_oSessionId, v_oCommandId, v_oResult);
        } else if (poSender && !IsTrackedWorker(v_oSessionId, v_oCommandId, poSender)) {
            // Posted just before its job was ended (session timeout): the job and
            // everything of its session are gone, so is this result.
            QTX_LOG(logger(), NOTICE, "CLauncher::SetResult")
                << "Result for sessionId <" << qtxLogId(v_oSessionId) << "> and commandId <" << qtxLogId(v_oCommandId)
                << "> dropped, job already ended";
            return;
        } else {
            AddToResultsPriv(v_oSessionId, v_oCommandId, v_oResult);
            // In the same locked step as the result, so that a page never sees
            // 202 again after it was handed the result.
            bTracked = TakeProcessedJobPriv(v_oSessionId, v_oCommandId, &oJob);
        }
        // A closed session's late result is fetchable for a full period too.
        const auto itClosed = m_oClosedSessions.find(v_oSessionId);
        if (itClosed != m_oClosedSessions.end())
            itClosed.value() = qMax(itClosed.value(), QDateTime::currentMSecsSinceEpoch() + m_llClosedGraceMs);
    }
    if (oUntracked.poWorker) {
        // Finishing by ids would end the tracked job that holds the same ids.
        FinishJob(oUntracked.poWorker);
        return;
    }
    if (bTracked)
        EndJob(v_oSessionId, v_oCommandId, oJob);
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
    return m_oUnprivilegedJobs.contains(v_oSessionId) && m_oUnprivilegedJobs.value(v_oSessionId) == v_oCommandId;
}

bool CLauncher::RemoveAllForSession(const QByteArray &v_oSessionId)
{
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        m_oClosedSessions.remove(v_oSessionId);
    }
    bool bRes = RemoveAllJobsForSession(v_oSessionId);
    if (bRes)
        bRes = RemoveAllResultsForSession(v_oSessionId);
    if (bRes)
        bRes = RemoveAllUnprivilegedJobsForSession(v_oSessionId);
    std::lock_guard<std::mutex> oGuard(m_oLock);
    ForgetSessionOwnerPriv(v_oSessionId);
    return bRes;
}

// ---------------------------------------------------------------------------
// processed jobs

bool CLauncher::AddToProcessedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                                   CThreadWorker *v_poWorker)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return AddToProcessedJobsPriv(v_oSessionId, v_oCommandId, Job{v_poWorker});
}

bool CLauncher::AddToProcessedJobsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                                       const Job &v_oJob)
{
    const char *pFunc = "CLauncher::AddToProcessedJobs";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId) << ", v_oCommandId=" << qtxLogId(v_oCommandId);
    QMap<QByteArray, Job> &oJobs = m_oProcessedJobs[v_oSessionId];
    const auto it = oJobs.constFind(v_oCommandId);
    if (it != oJobs.constEnd()) {
        QTX_LOG(logger(), ERROR, pFunc)
            << "Result for session " << qtxLogId(v_oSessionId) << " and cmdId " << qtxLogId(v_oCommandId) << " already set.\n"
            << "Previous value pointers: worker -> " << address(it->poWorker) << "\n"
            << "New value pointers: worker -> " << address(v_oJob.poWorker);
        return false;
    }
    oJobs.insert(v_oCommandId, v_oJob);
    QTX_LOG(logger(), INFO, pFunc) << "job added for sessionId <" << qtxLogId(v_oSessionId) << "> and commandId <"
                                   << qtxLogId(v_oCommandId) << ">";
    return true;
}

bool CLauncher::RemoveFromProcessedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    Job oJob;
    {
        // The entry leaves the table before the wait, so the lock is free while
        // FinishJob joins a thread whose function may still be running.
        std::lock_guard<std::mutex> oGuard(m_oLock);
        if (!TakeProcessedJobPriv(v_oSessionId, v_oCommandId, &oJob))
            return true;
    }
    return EndJob(v_oSessionId, v_oCommandId, oJob);
}

bool CLauncher::TakeProcessedJobPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, Job *v_poJob)
{
    QTX_LOG(logger(), INFO, "CLauncher::RemoveFromProcessedJobs")
        << "v_oSessionId=" << qtxLogId(v_oSessionId) << ", v_oCommandId=" << qtxLogId(v_oCommandId);
    const auto itSession = m_oProcessedJobs.find(v_oSessionId);
    if (itSession == m_oProcessedJobs.end() || !itSession->contains(v_oCommandId))
        return false;
    *v_poJob = itSession->take(v_oCommandId);
    if (itSession->isEmpty())
        m_oProcessedJobs.erase(itSession);
    ForgetSessionOwnerPriv(v_oSessionId);
    return true;
}

bool CLauncher::EndJob(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const Job &v_oJob)
{
    const char *pFunc = "CLauncher::RemoveFromProcessedJobs";
    if (!FinishJob(v_oJob.poWorker)) {
        QTX_LOG(logger(), WARN, pFunc) << "Can't end job. sessionid=" << qtxLogId(v_oSessionId) << ", cmdId=" << qtxLogId(v_oCommandId);
        // The entry stays, unless a new job took its ids meanwhile.
        std::lock_guard<std::mutex> oGuard(m_oLock);
        QMap<QByteArray, Job> &oJobs = m_oProcessedJobs[v_oSessionId];
        if (!oJobs.contains(v_oCommandId))
            oJobs.insert(v_oCommandId, v_oJob);
        return false;
    }
    QTX_LOG(logger(), INFO, pFunc) << "Job ended. sessionid=" << qtxLogId(v_oSessionId) << ", cmdId=" << qtxLogId(v_oCommandId);
    return true;
}

bool CLauncher::RemoveAllJobsForSession(const QByteArray &v_oSessionId)
{
    const char *pFunc = "CLauncher::RemoveAllJobsForSession";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId);
    QList<QByteArray> oCommandIds;
    QList<UntrackedJob> oUntracked;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        oCommandIds = m_oProcessedJobs.value(v_oSessionId).keys();
        oUntracked = TakeUntrackedJobsForSession(v_oSessionId);
    }
    bool bRes = true;
    for (const QByteArray &oCommandId : qAsConst(oCommandIds)) {
        bRes = RemoveFromProcessedJobs(v_oSessionId, oCommandId);
        if (!bRes)
            break;
    }
    for (const UntrackedJob &oJob : qAsConst(oUntracked))
        FinishJob(oJob.oJob.poWorker);
    QTX_LOG(logger(), INFO, pFunc) << "Clear all jobs for sessionId <" << qtxLogId(v_oSessionId) << "> bRes=" << bRes;
    return bRes;
}

void CLauncher::ClearProcessedJobs()
{
    const char *pFunc = "CLauncher::ClearProcessedJobs";
    QMap<QByteArray, QMap<QByteArray, Job>> oJobs;
    QMultiMap<QByteArray, UntrackedJob> oUntracked;
    {
        std::lock_guard<std::mutex> oGuard(m_oLock);
        oJobs.swap(m_oProcessedJobs);
        oUntracked.swap(m_oUntrackedJobs);
    }
    for (auto itSession = oJobs.cbegin(); itSession != oJobs.cend(); ++itSession) {
        for (auto itJob = itSession->cbegin(); itJob != itSession->cend(); ++itJob) {
            if (FinishJob(itJob->poWorker))
                QTX_LOG(logger(), INFO, pFunc) << "Job ended. sessionid=" << qtxLogId(itSession.key())
                                               << ", cmdId=" << qtxLogId(itJob.key());
            else
                QTX_LOG(logger(), WARN, pFunc) << "Can't end job. sessionid=" << qtxLogId(itSession.key())
                                               << ", cmdId=" << qtxLogId(itJob.key());
        }
    }
    for (const UntrackedJob &oJob : qAsConst(oUntracked))
        FinishJob(oJob.oJob.poWorker);
    QTX_LOG(logger(), INFO, pFunc) << "Cleared all processed jobs for all sessions";
}

bool CLauncher::TakeUntrackedJob(const QObject *v_poWorker, Job *v_poJob)
{
    for (auto it = m_oUntrackedJobs.begin(); it != m_oUntrackedJobs.end(); ++it) {
        if (it->oJob.poWorker == v_poWorker) {
            *v_poJob = it->oJob;
            m_oUntrackedJobs.erase(it);
            return true;
        }
    }
    return false;
}

QList<CLauncher::UntrackedJob> CLauncher::TakeUntrackedJobsForSession(const QByteArray &v_oSessionId)
{
    QList<UntrackedJob> oJobs = m_oUntrackedJobs.values(v_oSessionId);
    m_oUntrackedJobs.remove(v_oSessionId);
    return oJobs;
}

bool CLauncher::IsTrackedWorker(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                                const QObject *v_poWorker) const
{
    const auto itSession = m_oProcessedJobs.constFind(v_oSessionId);
    if (itSession == m_oProcessedJobs.constEnd())
        return false;
    const auto itJob = itSession->constFind(v_oCommandId);
    return itJob != itSession->constEnd() && itJob->poWorker == v_poWorker;
}

// ---------------------------------------------------------------------------
// results

bool CLauncher::AddToResults(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                             const tResultType &v_oResult)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return AddToResultsPriv(v_oSessionId, v_oCommandId, v_oResult);
}

bool CLauncher::AddToResultsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                                 const tResultType &v_oResult)
{
    const char *pFunc = "CLauncher::AddToResults";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId) << ", v_oCommandId=" << qtxLogId(v_oCommandId);
    QMap<QByteArray, tResultType> &oResults = m_oResults[v_oSessionId];
    const auto it = oResults.constFind(v_oCommandId);
    if (it != oResults.constEnd()) {
        QTX_LOG(logger(), ERROR, pFunc) << "Result for session " << qtxLogId(v_oSessionId) << " and cmdId " << qtxLogId(v_oCommandId)
                                        << " already set\n"
                                        << "Previous value: " << qtxLogSecret(*it) << "\n"
                                        << "New value: " << qtxLogSecret(v_oResult);
        return false;
    }
    oResults.insert(v_oCommandId, v_oResult);
    AccountResults &oAccount = m_oAccountResults[m_oSessionOwners.value(v_oSessionId, -1)];
    ++oAccount.count;
    oAccount.bytes += v_oResult.size();
    QTX_LOG(logger(), NOTICE, pFunc) << "Result for sessionId <" << qtxLogId(v_oSessionId) << "> and commandId <"
                                     << qtxLogId(v_oCommandId) << "> saved";
    return true;
}

bool CLauncher::RemoveFromResults(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return RemoveFromResultsPriv(v_oSessionId, v_oCommandId);
}

bool CLauncher::RemoveFromResultsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    const char *pFunc = "CLauncher::RemoveFromResults";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId) << ", v_oCommandId=" << qtxLogId(v_oCommandId);
    const auto itSession = m_oResults.find(v_oSessionId);
    if (itSession == m_oResults.end() || !itSession->contains(v_oCommandId))
        return true;
    const qint64 llSize = itSession->value(v_oCommandId).size();
    const bool bRemoved = itSession->remove(v_oCommandId) > 0;
    const qint64 iOwner = m_oSessionOwners.value(v_oSessionId, -1);
    const auto itAccount = m_oAccountResults.find(iOwner);
    if (bRemoved && itAccount != m_oAccountResults.end()) {
        --itAccount->count;
        itAccount->bytes -= llSize;
        if (itAccount->count <= 0)
            m_oAccountResults.erase(itAccount);
    }
    if (itSession->isEmpty()) {
        m_oResults.erase(itSession);
        ForgetSessionOwnerPriv(v_oSessionId);
    }
    QTX_LOG(logger(), INFO, pFunc) << "Result for sessionId <" << qtxLogId(v_oSessionId) << "> and commandId <"
                                   << qtxLogId(v_oCommandId) << "> removed";
    return bRemoved;
}

bool CLauncher::RemoveAllResultsForSession(const QByteArray &v_oSessionId)
{
    const char *pFunc = "CLauncher::RemoveAllResultsForSession";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId);
    std::lock_guard<std::mutex> oGuard(m_oLock);
    bool bRes = true;
    const QList<QByteArray> oCommandIds = m_oResults.value(v_oSessionId).keys();
    for (const QByteArray &oCommandId : oCommandIds) {
        bRes = RemoveFromResultsPriv(v_oSessionId, oCommandId);
        if (!bRes)
            break;
    }
    QTX_LOG(logger(), INFO, pFunc) << "Clear all results for sessionId <" << qtxLogId(v_oSessionId) << "> bRes=" << bRes;
    return bRes;
}

void CLauncher::ClearAllResults()
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    m_oResults.clear();
    m_oAccountResults.clear();
    m_oSessionOwners.clear();
    QTX_LOG(logger(), INFO, "CLauncher::ClearAllResults") << "Cleared all results for all sessions";
}

// ---------------------------------------------------------------------------
// unprivileged jobs

void CLauncher::AddToUnprivilegedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    AddToUnprivilegedJobsPriv(v_oSessionId, v_oCommandId);
}

void CLauncher::AddToUnprivilegedJobsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    const char *pFunc = "CLauncher::AddToUnprivilegedJobs";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId) << ", v_oCommandId=" << qtxLogId(v_oCommandId);
    // value() is the most recently added command id of the session.
    if (m_oUnprivilegedJobs.contains(v_oSessionId) && m_oUnprivilegedJobs.value(v_oSessionId) == v_oCommandId)
        return;
    m_oUnprivilegedJobs.insert(v_oSessionId, v_oCommandId);
    QTX_LOG(logger(), INFO, pFunc) << "sessionId <" << qtxLogId(v_oSessionId) << "> with commandId <" << qtxLogId(v_oCommandId)
                                   << "> added to unprivileged jobs";
}

bool CLauncher::RemoveFromUnprivilegedJobs(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    return RemoveFromUnprivilegedJobsPriv(v_oSessionId, v_oCommandId);
}

bool CLauncher::RemoveFromUnprivilegedJobsPriv(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    const char *pFunc = "CLauncher::RemoveFromUnprivilegedJobs";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId) << ", v_oCommandId=" << qtxLogId(v_oCommandId);
    if (m_oUnprivilegedJobs.remove(v_oSessionId, v_oCommandId) == 0)
        return false;
    QTX_LOG(logger(), INFO, pFunc) << "sessionId <" << qtxLogId(v_oSessionId) << "> with commandId <" << qtxLogId(v_oCommandId)
                                   << "> removed from unprivileged jobs";
    return true;
}

bool CLauncher::RemoveAllUnprivilegedJobsForSession(const QByteArray &v_oSessionId)
{
    const char *pFunc = "CLauncher::RemoveAllUnprivilegedJobsForSession";
    QTX_LOG(logger(), INFO, pFunc) << "v_oSessionId=" << qtxLogId(v_oSessionId);
    std::lock_guard<std::mutex> oGuard(m_oLock);
    bool bRes = true;
    const QList<QByteArray> oCommandIds = m_oUnprivilegedJobs.values(v_oSessionId);
    // One call per distinct id: the first removes every pair with that id.
    QList<QByteArray> oDone;
    for (const QByteArray &oCommandId : qAsConst(oCommandIds)) {
        if (oDone.contains(oCommandId))
            continue;
        oDone << oCommandId;
        bRes = RemoveFromUnprivilegedJobsPriv(v_oSessionId, oCommandId);
        if (!bRes)
            break;
    }
    QTX_LOG(logger(), INFO, pFunc) << "Clear unprivileged jobs for sessionId <" << qtxLogId(v_oSessionId)
                                   << "> bRes=" << bRes;
    return bRes;
}

void CLauncher::ClearUnprivilegedJobs()
{
    std::lock_guard<std::mutex> oGuard(m_oLock);
    m_oUnprivilegedJobs.clear();
    QTX_LOG(logger(), INFO, "CLauncher::ClearUnprivilegedJobs") << "Cleared all unprivileged jobs for all sessions";
}
