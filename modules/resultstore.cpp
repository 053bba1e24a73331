#include "resultstore.h"

bool ResultStore::add(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const tResultType &v_oResult,
                      qint64 v_iOwner)
{
    Session &oSession = m_oSessions[v_oSessionId];
    if (oSession.oResults.contains(v_oCommandId))
        return false;
    if (oSession.oResults.isEmpty())
        oSession.iOwner = v_iOwner;
    oSession.oResults.insert(v_oCommandId, v_oResult);
    oSession.bFresh = true;
    ++oSession.oUsage.count;
    oSession.oUsage.bytes += v_oResult.size();
    Usage &oAccount = m_oAccounts[oSession.iOwner];
    ++oAccount.count;
    oAccount.bytes += v_oResult.size();
    return true;
}

bool ResultStore::contains(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const
{
    const auto it = m_oSessions.constFind(v_oSessionId);
    return it != m_oSessions.constEnd() && it->oResults.contains(v_oCommandId);
}

tResultType ResultStore::value(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const
{
    const auto it = m_oSessions.constFind(v_oSessionId);
    return it == m_oSessions.constEnd() ? tResultType() : it->oResults.value(v_oCommandId);
}

bool ResultStore::take(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, tResultType *v_poResult)
{
    const auto it = m_oSessions.find(v_oSessionId);
    if (it == m_oSessions.end() || !it->oResults.contains(v_oCommandId))
        return false;
    *v_poResult = it->oResults.value(v_oCommandId);
    forget(it, v_oCommandId);
    return true;
}

void ResultStore::forget(QHash<QByteArray, Session>::iterator v_it, const QByteArray &v_oCommandId)
{
    const qint64 llSize = v_it->oResults.take(v_oCommandId).size();
    --v_it->oUsage.count;
    v_it->oUsage.bytes -= llSize;
    const auto itAccount = m_oAccounts.find(v_it->iOwner);
    if (itAccount != m_oAccounts.end()) {
        --itAccount->count;
        itAccount->bytes -= llSize;
        if (itAccount->count <= 0)
            m_oAccounts.erase(itAccount);
    }
    if (v_it->oResults.isEmpty())
        m_oSessions.erase(v_it);
}

void ResultStore::dropSession(const QByteArray &v_oSessionId)
{
    const auto it = m_oSessions.find(v_oSessionId);
    if (it == m_oSessions.end())
        return;
    const auto itAccount = m_oAccounts.find(it->iOwner);
    if (itAccount != m_oAccounts.end()) {
        itAccount->count -= it->oUsage.count;
        itAccount->bytes -= it->oUsage.bytes;
        if (itAccount->count <= 0)
            m_oAccounts.erase(itAccount);
    }
    m_oSessions.erase(it);
}

void ResultStore::clear()
{
    m_oSessions.clear();
    m_oAccounts.clear();
}

ResultStore::Usage ResultStore::sessionUsage(const QByteArray &v_oSessionId) const
{
    const auto it = m_oSessions.constFind(v_oSessionId);
    return it == m_oSessions.constEnd() ? Usage() : it->oUsage;
}

ResultStore::Usage ResultStore::accountUsage(qint64 v_iOwner) const
{
    return m_oAccounts.value(v_iOwner);
}

bool ResultStore::takeFresh(const QByteArray &v_oSessionId)
{
    const auto it = m_oSessions.find(v_oSessionId);
    if (it == m_oSessions.end() || !it->bFresh)
        return false;
    it->bFresh = false;
    return true;
}
