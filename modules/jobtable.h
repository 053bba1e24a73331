#pragma once

// The accepted jobs that have not delivered their result yet, by session and
// command id, and the marks of jobs started for a client of another account.
//
// Not locked itself: the launcher's lock guards it (and the result store, so
// that a job's move from here to a stored result is one step).

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QMultiMap>

class CThreadWorker;
class QObject;

class JobTable
{
public:
    struct Job
    {
        CThreadWorker *poWorker = nullptr;
        // The account that owns the job's session: its result counts there.
        qint64 iOwner = -1;
    };

    // False when the session already runs a job with that id; the job is then
    // kept as untracked (its thread must still be finished), see addUntracked.
    bool add(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const Job &v_oJob);
    void addUntracked(const QByteArray &v_oSessionId, const Job &v_oJob);
    bool contains(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const;
    // Whether this worker is the job recorded under these ids.
    bool isTracked(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const QObject *v_poWorker) const;
    bool take(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, Job *v_poJob);
    bool takeUntracked(const QObject *v_poWorker, Job *v_poJob);
    // Every job of the session, tracked and untracked, out of the table.
    QList<Job> takeSession(const QByteArray &v_oSessionId);
    QList<Job> takeAll();
    // Jobs of the session still running (tracked and untracked).
    qint64 running(const QByteArray &v_oSessionId) const;

    // Jobs admitted for a client of another account; the mark goes with the result.
    void markUnprivileged(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    // True when the session's most recent mark is this command id.
    bool isUnprivileged(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const;
    void unmarkUnprivileged(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId);
    void unmarkSession(const QByteArray &v_oSessionId);
    void clearMarks() { m_oUnprivileged.clear(); }

private:
    QHash<QByteArray, QHash<QByteArray, Job>> m_oJobs;
    // Jobs started while one with the same ids still ran: the table cannot hold
    // them, but their threads must still be finished.
    QMultiHash<QByteArray, Job> m_oUntracked;
    // values(id) gives the most recently added first.
    QMultiMap<QByteArray, QByteArray> m_oUnprivileged;
};
