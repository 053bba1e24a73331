#include "sessionregistry.h"

#include "clauncher.h"
#include "dllmanager.h"
#include "qtxlogger.h"
#include "qtxlogprivacy.h"

#include <QDateTime>

namespace {

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

} // namespace

SessionRegistry::SessionRegistry(const QSettings *v_poSessionSettings, qint64 v_llIdleMs, const Limits &v_oLimits,
                                 DllManager *v_poModules, CLauncher *v_poLauncher, SessionClock v_oClock,
                                 QObject *v_poParent)
    : QObject(v_poParent)
    , m_oLimits(v_oLimits)
    , m_llClosedGraceMs(qMax(v_oLimits.closedGraceMs, v_llIdleMs))
    , m_poModules(v_poModules)
    , m_poLauncher(v_poLauncher)
    , m_oTable(v_poSessionSettings, v_oClock)
    , m_oClock(*this, v_llIdleMs, this)
{
}

SessionRegistry::~SessionRegistry() = default;

norrweb::HttpSession SessionRegistry::find(const QByteArray &v_oId, const norrweb::HttpSessionClient &v_oClient)
{
    // The look-up sets the record's last access: that is the session's clock.
    return m_oTable.getSession(v_oId, v_oClient);
}

norrweb::HttpSession SessionRegistry::open(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse,
                                           const norrweb::HttpSessionClient &v_oClient, Opened *v_peOpened)
{
    norrweb::HttpSessionClient oClient = v_oClient;
    oClient.maxSessions = m_oLimits.maxSessions;
    bool bRefused = false;
    norrweb::HttpSession oSession = m_oTable.getSession(v_oRequest, v_oResponse, true, oClient, &bRefused);
    if (bRefused) {
        *v_peOpened = Opened::Refused;
        return norrweb::HttpSession();
    }
    if (oSession.contains("startTime")) {
        *v_peOpened = Opened::Found;
        return oSession;
    }
    // Wall clock: a time the session's modules may show; no deadline reads it.
    oSession.set("startTime", QDateTime::currentDateTime());
    *v_peOpened = Opened::New;
    m_oClock.Arm();
    return oSession;
}

bool SessionRegistry::addModule(const QByteArray &v_oSessionId, const QByteArray &v_oModuleName)
{
    return m_poModules && m_poModules->loadModuleForSession(v_oModuleName, v_oSessionId);
}

DllModule *SessionRegistry::acquireModule(const QByteArray &v_oSessionId, const QByteArray &v_oModuleName)
{
    return m_poModules ? m_poModules->acquireForSession(v_oModuleName, v_oSessionId) : nullptr;
}

DllModule *SessionRegistry::tryAcquireModule(const QByteArray &v_oSessionId, const QByteArray &v_oModuleName)
{
    return m_poModules ? m_poModules->tryAcquireForSession(v_oModuleName, v_oSessionId) : nullptr;
}

bool SessionRegistry::setVariable(norrweb::HttpSession &v_oSession, const QByteArray &v_oKey,
                                  const QVariant &v_oValue, qint64 *v_pllCount, qint64 *v_pllBytes)
{
    return v_oSession.setWithinLimits(v_oKey, v_oValue, m_oLimits.variables, v_pllCount, v_pllBytes);
}

void SessionRegistry::close(const norrweb::HttpSession &v_oSession)
{
    const QByteArray oId = v_oSession.getId();
    // Two closes at once: only the one that took the record ends the session.
    if (oId.isEmpty() || !m_oTable.removeSession(oId))
        return;
    endTaken(oId, Ending::Closed);
    if (!m_poLauncher)
        return;
    {
        std::lock_guard<std::mutex> oGuard(m_oClosingMutex);
        m_oClosing.insert(oId, sessionClock().nowMs() + m_llClosedGraceMs);
    }
    // The grace period is never shorter than the idle interval: a running
    // clock wakes before this deadline and sees it then.
    m_oClock.Arm();
}

qint64 SessionRegistry::releaseClosed(qint64 v_llNow)
{
    QList<QByteArray> oDue;
    {
        std::lock_guard<std::mutex> oGuard(m_oClosingMutex);
        for (auto it = m_oClosing.begin(); it != m_oClosing.end();) {
            if (it.value() > v_llNow) {
                ++it;
                continue;
            }
            oDue << it.key();
            it = m_oClosing.erase(it);
        }
    }
    QList<QByteArray> oKept;
    for (const QByteArray &oId : qAsConst(oDue))
        if (m_poLauncher && !m_poLauncher->ReleaseClosedSession(oId))
            oKept << oId;
    qint64 llNext = -1;
    std::lock_guard<std::mutex> oGuard(m_oClosingMutex);
    for (const QByteArray &oId : qAsConst(oKept))
        m_oClosing.insert(oId, v_llNow + m_llClosedGraceMs);
    for (const qint64 llDeadline : qAsConst(m_oClosing))
        llNext = llNext < 0 ? llDeadline : qMin(llNext, llDeadline);
    return llNext;
}

QList<QByteArray> SessionRegistry::takeIdle(qint64 v_llNow, qint64 v_llIdleMs, qint64 *v_pllNextDeadline)
{
    return m_oTable.takeIdle(v_llNow, v_llIdleMs, v_pllNextDeadline);
}

bool SessionRegistry::endTaken(const QByteArray &v_oSessionId, Ending v_eEnding)
{
    bool bClean = true;
    if (m_poLauncher) {
        if (v_eEnding == Ending::Closed)
            m_poLauncher->SessionClosed(v_oSessionId);
        else
            bClean = m_poLauncher->RemoveAllForSession(v_oSessionId);
    }
    if (m_poModules)
        m_poModules->unloadAllModulesForSession(v_oSessionId);
    QTX_LOG(logger(), INFO, "SessionRegistry::end")
        << (v_eEnding == Ending::Closed ? "Closed" : "Expired") << " sessionID=" << qtxLogId(v_oSessionId);
    return bClean;
}

int SessionRegistry::count()
{
    return m_oTable.sessionCount();
}

qint64 SessionRegistry::count(qint64 v_iAccount)
{
    return m_oTable.sessionCount(v_iAccount);
}
