#pragma once

// The one idle clock of all sessions.
//
// A session's clock is its record's last-access time on the monotonic session
// clock (SessionClock), which every request that finds the session sets under
// the table's lock; nothing is posted to another thread per request. One timer on the clock's
// thread (the main thread) wakes at the earliest deadline, ends every session
// that has been idle for the whole interval through the registry, ends the
// grace period of closed sessions' results, and sleeps until the next
// deadline; with no session open or closing it does not run at all.

#include <QObject>
#include <QTimer>

#include <atomic>

class SessionRegistry;

class CTimeout : public QObject
{
    Q_OBJECT
public:
    CTimeout(SessionRegistry &v_oRegistry, qint64 v_llIntervalMs, QObject *v_poParent = nullptr);

    qint64 Interval() const { return m_llIntervalMs; }
    // After a session was opened or closed (any thread): makes sure the clock
    // runs. A queued call only when it is idle; a running clock reaches the
    // new deadline anyway (it is the latest of all).
    void Arm();

public slots:
    // Ends the sessions idle for the interval; runs on the clock's thread.
    void ExecuteTimeout();

private:
    // Clock's thread: wakes at v_llDeadline (session clock, SessionClock)
    // unless it already wakes earlier.
    void WakeAt(qint64 v_llDeadline);

    SessionRegistry &m_oRegistry;
    const qint64 m_llIntervalMs;
    QTimer m_oTimer;
    qint64 m_llWakeAt = 0;  // clock's thread only
    std::atomic<bool> m_bArmed{false};
};
