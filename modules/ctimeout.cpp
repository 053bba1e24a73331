#include "ctimeout.h"

#include "clauncher.h"
#include "csettings.h"
#include "dllmanager.h"
#include "httpsessionstore.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <exception>
#include <mutex>
#include <new>

namespace {

// The timeout lock: the timers table and the creation of the singleton.
std::mutex g_oTimeoutLock;
CTimeout *g_poTimeout = nullptr;

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

const void *address(const void *v_pObject)
{
    return v_pObject;
}

} // namespace

// ---------------------------------------------------------------------------
// CTask

CTask::CTask(QObject *v_poParent)
    : QObject(v_poParent)
{
}

void CTask::SetDefaultInterval(int v_iInterval)
{
    m_iDefaultInterval.store(v_iInterval);
    QTX_LOG(logger(), NOTICE, "CTask::SetDefaultInterval") << "Default interval=" << v_iInterval;
}

void CTask::CreateTimer(QString v_oSessionID)
{
    const char *pFunc = "CTask::CreateTimer";
    try {
        auto *poTimer = new QTimer();
        poTimer->setInterval(m_iDefaultInterval.load());
        poTimer->setSingleShot(true);
        // Started by InsertTimerToMap once its timeout is connected: a timer that
        // ran out before would end nothing, and its session would never expire.
        QTX_LOG(logger(), NOTICE, pFunc) << "Timer created timer=" << address(poTimer);
        emit TimerCreated(v_oSessionID, poTimer);
    } catch (const std::bad_alloc &oException) {
        QTX_LOG(logger(), WARN, pFunc) << "Cannot create new Timer. Not enough memory: " << oException.what();
    } catch (const std::exception &oException) {
        QTX_LOG(logger(), WARN, pFunc) << "Unknown error. Problem with Tasks module: " << oException.what();
    }
}

void CTask::RestartTimer(QTimer *v_poTimer)
{
    if (!v_poTimer)
        return;
    QTX_LOG(logger(), INFO, "CTask::RestartTimer")
        << "Timers remain time=" << v_poTimer->remainingTime() << ".Restart timer=" << address(v_poTimer);
    v_poTimer->start();
}

void CTask::DeleteTimerLater(QTimer *v_poTimer)
{
    if (!v_poTimer)
        return;
    QTX_LOG(logger(), INFO, "CTask::DeleteTimerLater")
        << "Timer stopped and prepared for delete timer address=" << address(v_poTimer);
    v_poTimer->stop();
    v_poTimer->deleteLater();
}

// ---------------------------------------------------------------------------
// CTimeout

CTimeout *CTimeout::GetInstance()
{
    std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
    if (!g_poTimeout) {
        g_poTimeout = new CTimeout();
        if (QCoreApplication *poApp = QCoreApplication::instance())
            g_poTimeout->moveToThread(poApp->thread());
    }
    return g_poTimeout;
}

// Called with the timeout lock held (GetInstance).
CTimeout::CTimeout()
{
    const char *pFunc = "CTimeout::CTimeout";
    CSettings *poSettings = CSettings::Instance();
    if (!poSettings) {
        QTX_LOG(logger(), ERROR, pFunc) << "Problem with Settings module.";
        return;
    }
    m_oDefaultInterval = poSettings->ReadTimeoutInterval();
    QTX_LOG(logger(), INFO, pFunc) << "m_oDefaultInterval=" << m_oDefaultInterval;
    m_oTask.SetDefaultInterval(m_oDefaultInterval);

    m_poTimerThread = new QThread();
    // The thread object is deleted on the main thread, whose loop outlives the
    // request worker that may have asked for the instance first.
    if (QCoreApplication *poApp = QCoreApplication::instance())
        m_poTimerThread->moveToThread(poApp->thread());
    connect(m_poTimerThread, &QThread::finished, m_poTimerThread, &QObject::deleteLater);
    m_poTimerThread->start();
    m_oTask.moveToThread(m_poTimerThread);

    connect(this, &CTimeout::AddTimerCalled, &m_oTask, &CTask::CreateTimer);
    connect(&m_oTask, &CTask::TimerCreated, this, &CTimeout::InsertTimerToMap);
    connect(this, &CTimeout::RestartTimerCalled, &m_oTask, &CTask::RestartTimer);
    connect(this, &CTimeout::DeleteRemovedTimer, &m_oTask, &CTask::DeleteTimerLater);
    QTX_LOG(logger(), NOTICE, pFunc) << "Manager created.";
}

CTimeout::~CTimeout()
{
    QStringList oSessionIds;
    {
        std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
        oSessionIds = m_oTimers.keys();
    }
    for (const QString &oSessionId : qAsConst(oSessionIds))
        RemoveTimer(oSessionId);
    QTX_LOG(logger(), NOTICE, "CTimeout::~CTimeout") << "Manager destroyed.";
    if (m_poTimerThread) {
        // Stop the thread behind the pending deletions (queued calls run in
        // order); the task is destroyed with this object once its thread is gone.
        QThread *poThread = m_poTimerThread;
        QMetaObject::invokeMethod(&m_oTask, [poThread] { poThread->quit(); }, Qt::QueuedConnection);
        poThread->wait();
    }
}

void CTimeout::AddNewTimer(const QString &v_oSessionID)
{
    std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
    emit AddTimerCalled(v_oSessionID);
    QTX_LOG(logger(), INFO, "CTimeout::AddNewTimer") << "New timer created and started. sessionID=" << qtxLogId(v_oSessionID);
}

void CTimeout::RestartTimer(const QString &v_oSessionID)
{
    const char *pFunc = "CTimeout::RestartTimer";
    // Emitted under the lock, so a restart is posted before any deletion of the
    // same timer and the timer thread sees them in that order.
    std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
    QTimer *poTimer = m_oTimers.value(v_oSessionID, nullptr);
    if (!poTimer) {
        QTX_LOG(logger(), WARN, pFunc) << "Timer for sessionID <" << qtxLogId(v_oSessionID) << "> not exist!";
        return;
    }
    emit RestartTimerCalled(poTimer);
    QTX_LOG(logger(), INFO, pFunc) << "Timer restarted. sessionID=" << qtxLogId(v_oSessionID);
}

void CTimeout::RemoveTimer(const QString &v_oSessionID)
{
    const char *pFunc = "CTimeout::RemoveTimer";
    std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
    QTimer *poTimer = m_oTimers.value(v_oSessionID, nullptr);
    if (!poTimer) {
        QTX_LOG(logger(), WARN, pFunc) << "Timer for sessionID <" << qtxLogId(v_oSessionID) << "> not exist!";
        return;
    }
    m_oTimers.remove(v_oSessionID);
    QTX_LOG(logger(), INFO, pFunc) << "Timer removed. sessionID=" << qtxLogId(v_oSessionID);
    emit DeleteRemovedTimer(poTimer);
}

bool CTimeout::HasTimer(const QString &v_oSessionID)
{
    std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
    return m_oTimers.value(v_oSessionID, nullptr) != nullptr;
}

void CTimeout::InsertTimerToMap(QString v_oSessionID, QTimer *v_poTimer)
{
    if (!v_poTimer)
        return;
    connect(v_poTimer, &QTimer::timeout, this, &CTimeout::ExecuteTimeout);
    std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
    QTimer *poPrevious = m_oTimers.value(v_oSessionID, nullptr);
    m_oTimers.insert(v_oSessionID, v_poTimer);
    // A session opened twice keeps only its newest timer; the older one would
    // otherwise fire for nobody and never be deleted.
    if (poPrevious && poPrevious != v_poTimer)
        emit DeleteRemovedTimer(poPrevious);
    // Under the lock, like every other request about this timer.
    emit RestartTimerCalled(v_poTimer);
}

void CTimeout::ExecuteTimeout()
{
    const char *pFunc = "CTimeout::ExecuteTimeout";
    // The sender is only compared, never dereferenced: a timer removed in the
    // meantime may already be deleted on the timer thread.
    const QObject *poSender = sender();
    if (!poSender) {
        QTX_LOG(logger(), WARN, pFunc) << "Timer passed is NULL!";
        return;
    }
    QString oSessionId;
    {
        std::lock_guard<std::mutex> oGuard(g_oTimeoutLock);
        for (auto it = m_oTimers.constBegin(); it != m_oTimers.constEnd(); ++it) {
            if (it.value() == poSender) {
                oSessionId = it.key();
                break;
            }
        }
    }
    QTX_LOG(logger(), NOTICE, pFunc) << "Timeout occured. sessionID=" << qtxLogId(oSessionId);

    const QByteArray oSessionKey = oSessionId.toUtf8();
    norrweb::HttpSessionStore *poStore = g_poSessionStore;
    const norrweb::HttpSession oSession = poStore ? poStore->getSession(oSessionKey) : norrweb::HttpSession();

    CLauncher *poLauncher = CLauncher::GetInstance();
    if (!poLauncher)
        return;
    // Drops the session's results and ends its jobs without waiting for them: a
    // function still running returns on its own thread, and its module is
    // unloaded only after that.
    const bool bCancelled = poLauncher->RemoveAllForSession(oSessionKey);
    QTX_LOG(logger(), NOTICE, pFunc) << "Operation cancelled: " << bCancelled;

    if (poStore && !oSession.isNull())
        poStore->removeSession(oSession);
    QTX_LOG(logger(), NOTICE, pFunc) << "session destroyed. sessionID=" << qtxLogId(oSessionId);

    RemoveTimer(oSessionId);

    if (DllManager *poManager = DllManager::GetInstance())
        poManager->unloadAllModulesForSession(oSessionKey);
}
