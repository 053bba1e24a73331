#include "httpsession.h"
#include "httplogging.h"

#include <QUuid>

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace norrweb {

struct HttpSessionData
{
    QByteArray id;
    // Session clock (monotonic). Atomic, not under the lock: every request
    // copies, touches and drops a handle, and the connections of one page
    // share its session.
    std::atomic<qint64> lastAccess{0};
    std::atomic<qint32> refCount{0};
    QMap<QByteArray, QVariant> values;
    qint64 owner = -1;
    // Bytes of the page's variables (keys and values, "startTime" aside),
    // also counted in the account's usage until the block is deleted.
    qint64 variableBytes = 0;
    std::shared_ptr<HttpSessionUsage> usage;
    // Guards the fields above but the two atomics. A standard lock rather than QReadWriteLock: Qt 5's
    // lock is invisible to ThreadSanitizer, and the handles are used across threads.
    std::shared_mutex lock;
};

HttpSession::HttpSession(qint64 v_iOwner, const std::shared_ptr<HttpSessionUsage> &v_poUsage, qint64 v_llNowMs)
    : m_poData(new HttpSessionData)
{
    // Qt 5 formats a UUID braced, with lower-case digits: 38 characters.
    m_poData->id = QUuid::createUuid().toString().toLocal8Bit();
    m_poData->lastAccess = v_llNowMs;
    m_poData->refCount = 1;
    m_poData->owner = v_iOwner;
    m_poData->usage = v_poUsage;
}

bool HttpSessionClient::mayUse(const HttpSession &v_oSession) const
{
    return !v_oSession.isNull() && (seesAll || v_oSession.getOwner() == account);
}

HttpSession::HttpSession(const HttpSession &v_oOther)
    : m_poData(v_oOther.m_poData)
{
    // v_oOther's reference keeps the block alive meanwhile.
    if (m_poData)
        m_poData->refCount.fetch_add(1, std::memory_order_relaxed);
}

HttpSession &HttpSession::operator=(const HttpSession &v_oOther)
{
    HttpSessionData *const poOld = m_poData;
    m_poData = v_oOther.m_poData;
    if (m_poData)
        m_poData->refCount.fetch_add(1, std::memory_order_relaxed);
    // Released after taking the new block, so self-assignment keeps it alive.
    release(poOld, "HttpSession: deleting old data");
    return *this;
}

HttpSession::~HttpSession()
{
    release(m_poData, "HttpSession: deleting data");
}

void HttpSession::release(HttpSessionData *v_poData, const char *v_pcMessage)
{
    if (!v_poData)
        return;
    // Acquire and release: the last owner sees every other owner's writes.
    const bool bLast = v_poData->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1;
    // No other handle exists any more, so nobody else can take the lock.
    if (bLast) {
        qCDebug(lcHttp, "%s", v_pcMessage);
        if (v_poData->usage)
            v_poData->usage->variableBytes -= v_poData->variableBytes;
        delete v_poData;
    }
}

QByteArray HttpSession::getId() const
{
    if (!m_poData)
        return QByteArray();
    std::shared_lock<std::shared_mutex> oLocker(m_poData->lock);
    return m_poData->id;
}

void HttpSession::set(const QByteArray &v_oKey, const QVariant &v_oValue)
{
    if (!m_poData)
        return;
    std::unique_lock<std::shared_mutex> oLocker(m_poData->lock);
    m_poData->values.insert(v_oKey, v_oValue);
}

namespace {

qint64 variableSize(const QByteArray &v_oKey, const QVariant &v_oValue)
{
    return v_oKey.size() + v_oValue.toByteArray().size();
}

} // namespace

bool HttpSession::setWithinLimits(const QByteArray &v_oKey, const QVariant &v_oValue,
                                  const HttpSessionVarLimits &v_oLimits, qint64 *v_poCount, qint64 *v_poBytes)
{
    if (!m_poData)
        return true;  // nothing to store in a null session
    std::unique_lock<std::shared_mutex> oLocker(m_poData->lock);
    const QMap<QByteArray, QVariant> &oValues = m_poData->values;
    // The server's "startTime" is not the page's: it never counts as stored,
    // though a page's value for it is checked like any other.
    const bool bStartTime = v_oKey == "startTime";
    const auto itOld = oValues.constFind(v_oKey);
    const bool bReplaces = itOld != oValues.constEnd() && !bStartTime;
    const qint64 llOld = bReplaces ? variableSize(v_oKey, itOld.value()) : 0;
    const qint64 llNew = variableSize(v_oKey, v_oValue);
    const qint64 llCount = oValues.size() - (oValues.contains("startTime") ? 1 : 0) - (bReplaces ? 1 : 0) + 1;
    const qint64 llBytes = m_poData->variableBytes - llOld + llNew;
    if (v_poCount)
        *v_poCount = llCount;
    if (v_poBytes)
        *v_poBytes = llBytes;
    if (llCount > v_oLimits.maxCount || llBytes > v_oLimits.maxBytes)
        return false;
    const qint64 llGrowth = bStartTime ? 0 : llNew - llOld;
    if (m_poData->usage) {
        // Reserve the growth in the account's total first; give it back when over.
        const qint64 llTotal = m_poData->usage->variableBytes.fetch_add(llGrowth) + llGrowth;
        if (llGrowth > 0 && llTotal > v_oLimits.maxAccountBytes) {
            m_poData->usage->variableBytes -= llGrowth;
            return false;
        }
    }
    m_poData->variableBytes += llGrowth;
    m_poData->values.insert(v_oKey, v_oValue);
    return true;
}

qint64 HttpSession::getOwner() const
{
    if (!m_poData)
        return -1;
    std::shared_lock<std::shared_mutex> oLocker(m_poData->lock);
    return m_poData->owner;
}

bool HttpSession::contains(const QByteArray &v_oKey) const
{
    if (!m_poData)
        return false;
    std::shared_lock<std::shared_mutex> oLocker(m_poData->lock);
    return m_poData->values.contains(v_oKey);
}

QMap<QByteArray, QVariant> HttpSession::getAll() const
{
    if (!m_poData)
        return QMap<QByteArray, QVariant>();
    std::shared_lock<std::shared_mutex> oLocker(m_poData->lock);
    return m_poData->values;
}

qint64 HttpSession::getLastAccess() const
{
    if (!m_poData)
        return 0;
    return m_poData->lastAccess.load(std::memory_order_relaxed);
}

void HttpSession::touch(qint64 v_llNowMs)
{
    if (!m_poData)
        return;
    m_poData->lastAccess.store(v_llNowMs, std::memory_order_relaxed);
}

} // namespace norrweb
