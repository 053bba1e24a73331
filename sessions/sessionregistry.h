#pragma once

// The one owner of every session's life.
//
// A session is opened here (its record and variables in the session table,
// its idle clock armed), found here by every request that names it (which
// restarts its clock), given its modules here, and ended here by one sequence,
// whether the page closes it or its clock runs out:
//   1. the record leaves the table, so no later request finds it;
//   2. its jobs and results: after a close its results stay fetchable for a
//      grace period (one idle interval) and a running job still stores its
//      result; the same clock ends the period (the launcher then drops the
//      results, or keeps them one period more while a job runs or a result has
//      just arrived); after an idle end its results are dropped at once and
//      its running jobs are finished without being waited for (a function
//      still running returns on its own pool thread, and its result reaches
//      nobody);
//   3. its modules are let go; a module is unloaded later on the main thread,
//      only when no session and no running function uses it.
// Nothing in the sequence waits for a module function, so ending a session
// never stalls the main thread or any other session.
//
// Threads: find, open, addModule, setVariable and close run on the threads that
// serve requests; the clock (CTimeout) runs on the main thread. Lock order: the
// session table's lock, then a record's lock; the launcher's and the module
// manager's locks are never taken while the table's lock is held. The list of
// closed sessions has a leaf lock of its own, never held while calling out.

#include "ctimeout.h"
#include "httpsession.h"
#include "httpsessionstore.h"
#include "sessionclock.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QVariant>

#include <mutex>

class CLauncher;
class DllManager;
class DllModule;
class QSettings;

namespace norrweb {
class HttpRequest;
class HttpResponse;
}

class SessionRegistry : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        // Sessions one account may hold at once (limits/maxSessions).
        qint64 maxSessions = 10000;
        // limits/maxSessionVars, maxSessionVarBytes, maxSessionVarBytesPerClient.
        norrweb::HttpSessionVarLimits variables;
        // How long a closed session's results stay fetchable; never shorter
        // than the idle interval.
        qint64 closedGraceMs = 600000;
    };
    enum class Ending { Closed, Expired };
    enum class Opened { Found, New, Refused };

    // v_poSessionSettings is positioned on the sessions group (cookie), read
    // once; v_llIdleMs is the idle interval after which a session ends.
    // v_oClock: the monotonic clock of every session time (tests give their own).
    SessionRegistry(const QSettings *v_poSessionSettings, qint64 v_llIdleMs, const Limits &v_oLimits,
                    DllManager *v_poModules, CLauncher *v_poLauncher, SessionClock v_oClock = SessionClock(),
                    QObject *v_poParent = nullptr);
    ~SessionRegistry() override;

    // The session with this id that the client may use, its clock restarted;
    // null when there is none (another account's session looks absent).
    norrweb::HttpSession find(const QByteArray &v_oId, const norrweb::HttpSessionClient &v_oClient);
    // OPEN_SESSION: the session of the request's cookie (its cookie renewed),
    // else a new session of the client's account, refused at the account's limit.
    norrweb::HttpSession open(norrweb::HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse,
                              const norrweb::HttpSessionClient &v_oClient, Opened *v_peOpened);
    // Loads the module if needed and records it for the session.
    bool addModule(const QByteArray &v_oSessionId, const QByteArray &v_oModuleName);
    // The same, and the module comes back with a usage reference for the
    // caller (see ModuleRef); null when it cannot be loaded.
    DllModule *acquireModule(const QByteArray &v_oSessionId, const QByteArray &v_oModuleName);
    // The same for a module the session already uses, without loading or
    // waiting; null otherwise (see DllManager::tryAcquireForSession).
    DllModule *tryAcquireModule(const QByteArray &v_oSessionId, const QByteArray &v_oModuleName);
    // A page's variable, unless the session or its account would then exceed
    // the limits; the totals it would have had are given back then.
    bool setVariable(norrweb::HttpSession &v_oSession, const QByteArray &v_oKey, const QVariant &v_oValue,
                     qint64 *v_pllCount, qint64 *v_pllBytes);
    // CLOSE_SESSION, and a session whose opening failed.
    void close(const norrweb::HttpSession &v_oSession);

    // Whether the session is open, without restarting its clock.
    bool isOpen(const QByteArray &v_oId) { return m_oTable.contains(v_oId); }
    const Limits &limits() const { return m_oLimits; }
    CTimeout &clock() { return m_oClock; }
    const SessionClock &sessionClock() const { return m_oTable.clock(); }
    int count();
    qint64 count(qint64 v_iAccount);

private:
    friend class CTimeout;
    // The clock's side: takes the sessions idle for v_llIdleMs out of the table.
    QList<QByteArray> takeIdle(qint64 v_llNow, qint64 v_llIdleMs, qint64 *v_pllNextDeadline);
    // The clock's side: closed sessions whose grace period has ended at
    // v_llNow are released by the launcher or kept another period; returns
    // the earliest grace deadline left (-1 none).
    qint64 releaseClosed(qint64 v_llNow);
    // Steps 2 and 3 of the ending, for a session already out of the table. True
    // when its jobs and results were handed over cleanly.
    bool endTaken(const QByteArray &v_oSessionId, Ending v_eEnding);

    const Limits m_oLimits;
    const qint64 m_llClosedGraceMs;
    DllManager *const m_poModules;
    CLauncher *const m_poLauncher;
    norrweb::HttpSessionStore m_oTable;
    CTimeout m_oClock;
    // Closed sessions and the end of their results' grace period (session clock).
    QHash<QByteArray, qint64> m_oClosing;
    std::mutex m_oClosingMutex;
};
