#include "ctimeout.h"
#include "qtxthreadcheck.h"

#include "qtxlogger.h"
#include "qtxlogprivacy.h"
#include "sessionregistry.h"

#include <QThread>

namespace {

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

// Sessions whose deadlines lie this close together end in one wake-up: with
// thousands of sessions opened at different times the clock does not wake for
// each of them.
qint64 coalescingMs(qint64 v_llIntervalMs)
{
    return qBound<qint64>(1, v_llIntervalMs / 50, 1000);
}

} // namespace

CTimeout::CTimeout(SessionRegistry &v_oRegistry, qint64 v_llIntervalMs, QObject *v_poParent)
    : QObject(v_poParent)
    , m_oRegistry(v_oRegistry)
    , m_llIntervalMs(qMax<qint64>(0, v_llIntervalMs))
    , m_oTimer(this)
{
    m_oTimer.setSingleShot(true);
    m_oTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_oTimer, &QTimer::timeout, this, &CTimeout::ExecuteTimeout);
    QTX_LOG(logger(), INFO, "CTimeout::CTimeout") << "m_oDefaultInterval=" << m_llIntervalMs;
}

void CTimeout::Arm()
{
    if (m_bArmed.exchange(true))
        return;
    const qint64 llDeadline = m_oRegistry.sessionClock().nowMs() + m_llIntervalMs;
    if (QThread::currentThread() == thread())
        WakeAt(llDeadline);
    else
        QMetaObject::invokeMethod(this, [this, llDeadline] { WakeAt(llDeadline); }, Qt::QueuedConnection);
}

void CTimeout::WakeAt(qint64 v_llDeadline)
{
    QTX_ASSERT_OWN_THREAD(this);
    if (m_oTimer.isActive() && m_llWakeAt <= v_llDeadline)
        return;
    m_llWakeAt = v_llDeadline;
    const qint64 llIn = v_llDeadline - m_oRegistry.sessionClock().nowMs();
    m_oTimer.start(int(qBound<qint64>(0, llIn, 24 * 3600 * 1000)));
}

void CTimeout::ExecuteTimeout()
{
    QTX_ASSERT_OWN_THREAD(this);
    const char *pFunc = "CTimeout::ExecuteTimeout";
    // Cleared before the look: a session opened from here on arms the clock again.
    m_bArmed.store(false);
    const qint64 llNow = m_oRegistry.sessionClock().nowMs();
    qint64 llNext = -1;
    const QList<QByteArray> oIdle = m_oRegistry.takeIdle(llNow, m_llIntervalMs, &llNext);
    for (const QByteArray &oSessionId : oIdle) {
        QTX_LOG(logger(), NOTICE, pFunc) << "Timeout occured. sessionID=" << qtxLogId(oSessionId);
        // Drops the session's results and ends its jobs without waiting for them:
        // a function still running returns on its own thread, and its module is
        // unloaded only after that.
        const bool bCancelled = m_oRegistry.endTaken(oSessionId, SessionRegistry::Ending::Expired);
        QTX_LOG(logger(), NOTICE, pFunc) << "Operation cancelled: " << bCancelled;
        QTX_LOG(logger(), NOTICE, pFunc) << "session destroyed. sessionID=" << qtxLogId(oSessionId);
    }
    // The same wake-up ends the grace period of closed sessions' results.
    const qint64 llClosing = m_oRegistry.releaseClosed(llNow);
    if (llClosing >= 0)
        llNext = llNext < 0 ? llClosing : qMin(llNext, llClosing);
    if (llNext >= 0) {
        m_bArmed.store(true);
        WakeAt(qMax(llNext, llNow + coalescingMs(m_llIntervalMs)));
    }
}
