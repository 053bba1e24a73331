#include "httpsession.h"
#include "httplogging.h"

#include <QDateTime>
#include <QUuid>

#include <mutex>
#include <shared_mutex>

namespace norrweb {

struct HttpSessionData
{
    QByteArray id;
    qint64 lastAccess = 0;
    qint32 refCount = 0;
    QMap<QByteArray, QVariant> values;
    // Guards every field above. A standard lock rather than QReadWriteLock: Qt 5's
    // lock is invisible to ThreadSanitizer, and the handles are used across threads.
    std::shared_mutex lock;
};

HttpSession::HttpSession(bool v_bCanStore)
{
    if (v_bCanStore) {
        m_poData = new HttpSessionData;
        // Qt 5 formats a UUID braced, with lower-case digits: 38 characters.
        m_poData->id = QUuid::createUuid().toString().toLocal8Bit();
        m_poData->lastAccess = QDateTime::currentMSecsSinceEpoch();
        m_poData->refCount = 1;
    }
}

HttpSession::HttpSession(const HttpSession &v_oOther)
    : m_poData(v_oOther.m_poData)
{
    if (m_poData) {
        std::unique_lock<std::shared_mutex> oLocker(m_poData->lock);
        ++m_poData->refCount;
    }
}

HttpSession &HttpSession::operator=(const HttpSession &v_oOther)
{
    HttpSessionData *const poOld = m_poData;
    m_poData = v_oOther.m_poData;
    if (m_poData) {
        std::unique_lock<std::shared_mutex> oLocker(m_poData->lock);
        ++m_poData->refCount;
        m_poData->lastAccess = QDateTime::currentMSecsSinceEpoch();
    }
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
    bool bLast = false;
    {
        std::unique_lock<std::shared_mutex> oLocker(v_poData->lock);
        bLast = --v_poData->refCount == 0;
    }
    // No other handle exists any more, so nobody else can take the lock.
    if (bLast) {
        qCDebug(lcHttp, "%s", v_pcMessage);
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
    std::shared_lock<std::shared_mutex> oLocker(m_poData->lock);
    return m_poData->lastAccess;
}

void HttpSession::touch()
{
    if (!m_poData)
        return;
    std::unique_lock<std::shared_mutex> oLocker(m_poData->lock);
    m_poData->lastAccess = QDateTime::currentMSecsSinceEpoch();
}

} // namespace norrweb
