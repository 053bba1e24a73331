#pragma once

// Per-session idle timers. Every request with a session id restarts the
// session's timer; when one runs out the session ends: its running jobs are
// finished, its results dropped, its HTTP session removed, its timer forgotten
// and its modules scheduled for unloading.
//
// Threads: CTimeout lives on the application's main thread; its CTask lives on
// a timer thread of its own, which owns every timer. Requests reach the task
// as queued signals and a timer's expiry comes back as a queued call, so timer
// objects are only ever touched on the timer thread. The timers table is read
// and changed from the threads that serve requests (request workers, and I/O
// threads for the inline server commands) and the main thread under the timeout lock;
// the lock is never held while a session is being ended.

#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>

class QThread;
class QTimer;

// Creates, restarts and deletes the session timers on the timer thread.
class CTask : public QObject
{
    Q_OBJECT
public:
    explicit CTask(QObject *v_poParent = nullptr);

    void SetDefaultInterval(int v_iInterval);

signals:
    void TimerCreated(QString v_oSessionID, QTimer *v_poTimer);

public slots:
    void CreateTimer(QString v_oSessionID);
    void RestartTimer(QTimer *v_poTimer);
    void DeleteTimerLater(QTimer *v_poTimer);

private:
    // Set before the task moves to the timer thread, read there.
    std::atomic<int> m_iDefaultInterval{0};
};

class CTimeout : public QObject
{
    Q_OBJECT
public:
    // Created on first use under the timeout lock and moved to the main thread.
    static CTimeout *GetInstance();

    // Called when a session is opened; the timer comes into being on the timer
    // thread a moment later.
    void AddNewTimer(const QString &v_oSessionID);
    // Called for every request that carries a session id.
    void RestartTimer(const QString &v_oSessionID);
    // Called by CLOSE_SESSION and by the timeout itself.
    void RemoveTimer(const QString &v_oSessionID);
    // True once the session's timer has been created and recorded.
    bool HasTimer(const QString &v_oSessionID);

    ~CTimeout() override;

signals:
    void AddTimerCalled(QString v_oSessionID);
    void RestartTimerCalled(QTimer *v_poTimer);
    void DeleteRemovedTimer(QTimer *v_poTimer);

public slots:
    // Runs on the main thread when a session's timer fires.
    void ExecuteTimeout();
    void InsertTimerToMap(QString v_oSessionID, QTimer *v_poTimer);

private:
    CTimeout();

    QMap<QString, QTimer *> m_oTimers;
    int m_oDefaultInterval = 0;
    QThread *m_poTimerThread = nullptr;
    CTask m_oTask;
};
