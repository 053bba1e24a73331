#include "jobtable.h"

#include "cthreadworker.h"

bool JobTable::add(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const Job &v_oJob)
{
    QHash<QByteArray, Job> &oJobs = m_oJobs[v_oSessionId];
    if (oJobs.contains(v_oCommandId))
        return false;
    oJobs.insert(v_oCommandId, v_oJob);
    return true;
}

void JobTable::addUntracked(const QByteArray &v_oSessionId, const Job &v_oJob)
{
    m_oUntracked.insert(v_oSessionId, v_oJob);
}

bool JobTable::contains(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const
{
    const auto it = m_oJobs.constFind(v_oSessionId);
    return it != m_oJobs.constEnd() && it->contains(v_oCommandId);
}

bool JobTable::isTracked(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId,
                         const QObject *v_poWorker) const
{
    const auto itSession = m_oJobs.constFind(v_oSessionId);
    if (itSession == m_oJobs.constEnd())
        return false;
    const auto itJob = itSession->constFind(v_oCommandId);
    return itJob != itSession->constEnd() && static_cast<const QObject *>(itJob->poWorker) == v_poWorker;
}

bool JobTable::take(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, Job *v_poJob)
{
    const auto itSession = m_oJobs.find(v_oSessionId);
    if (itSession == m_oJobs.end())
        return false;
    const auto itJob = itSession->find(v_oCommandId);
    if (itJob == itSession->end())
        return false;
    *v_poJob = *itJob;
    itSession->erase(itJob);
    if (itSession->isEmpty())
        m_oJobs.erase(itSession);
    return true;
}

bool JobTable::takeUntracked(const QObject *v_poWorker, Job *v_poJob)
{
    for (auto it = m_oUntracked.begin(); it != m_oUntracked.end(); ++it) {
        if (static_cast<const QObject *>(it->poWorker) == v_poWorker) {
            *v_poJob = *it;
            m_oUntracked.erase(it);
            return true;
        }
    }
    return false;
}

QList<JobTable::Job> JobTable::takeSession(const QByteArray &v_oSessionId)
{
    QList<Job> oJobs = m_oJobs.take(v_oSessionId).values();
    oJobs += m_oUntracked.values(v_oSessionId);
    m_oUntracked.remove(v_oSessionId);
    return oJobs;
}

QList<JobTable::Job> JobTable::takeAll()
{
    QList<Job> oJobs;
    for (const QHash<QByteArray, Job> &oSession : qAsConst(m_oJobs))
        oJobs += oSession.values();
    oJobs += m_oUntracked.values();
    m_oJobs.clear();
    m_oUntracked.clear();
    return oJobs;
}

qint64 JobTable::running(const QByteArray &v_oSessionId) const
{
    const auto it = m_oJobs.constFind(v_oSessionId);
    return (it == m_oJobs.constEnd() ? 0 : it->size()) + m_oUntracked.count(v_oSessionId);
}

void JobTable::markUnprivileged(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    if (!isUnprivileged(v_oSessionId, v_oCommandId))
        m_oUnprivileged.insert(v_oSessionId, v_oCommandId);
}

bool JobTable::isUnprivileged(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const
{
    const auto it = m_oUnprivileged.constFind(v_oSessionId);
    return it != m_oUnprivileged.constEnd() && it.value() == v_oCommandId;
}

void JobTable::unmarkUnprivileged(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId)
{
    m_oUnprivileged.remove(v_oSessionId, v_oCommandId);
}

void JobTable::unmarkSession(const QByteArray &v_oSessionId)
{
    m_oUnprivileged.remove(v_oSessionId);
}
