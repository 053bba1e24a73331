#include "httpsessionstore.h"
#include "httplogging.h"

#include "httpcookie.h"
#include "httprequest.h"
#include "httpresponse.h"

#include <QSettings>

namespace norrweb {

HttpSessionStore::HttpSessionStore(const QSettings *v_poSettings, SessionClock v_oClock)
    : m_oClock(v_oClock)
{
    // Read once: the cookie is set on every request that names a session.
    m_oCookieName = v_poSettings->value(QStringLiteral("cookieName"), QStringLiteral("sessionid")).toByteArray();
    m_oCookiePath = v_poSettings->value(QStringLiteral("cookiePath")).toByteArray();
    m_oCookieComment = v_poSettings->value(QStringLiteral("cookieComment")).toByteArray();
    m_oCookieDomain = v_poSettings->value(QStringLiteral("cookieDomain")).toByteArray();
    m_iExpirationTime = v_poSettings->value(QStringLiteral("expirationTime"), 3600000).toInt();
    qCDebug(lcHttp, "HttpSessionStore: session cookies live %i milliseconds", m_iExpirationTime);
}

HttpSessionStore::~HttpSessionStore() = default;

QByteArray HttpSessionStore::getSessionId(HttpRequest &v_oRequest, HttpResponse &v_oResponse,
                                          const HttpSessionClient &v_oClient)
{
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    return sessionIdLocked(v_oRequest, v_oResponse, v_oClient);
}

QByteArray HttpSessionStore::sessionIdLocked(HttpRequest &v_oRequest, HttpResponse &v_oResponse,
                                             const HttpSessionClient &v_oClient)
{
    QByteArray oSessionId;
    // A session created earlier while answering this same request.
    const QMap<QByteArray, HttpCookie> &oCookies = v_oResponse.getAllCookies();
    const auto it = oCookies.constFind(m_oCookieName);
    if (it != oCookies.constEnd())
        oSessionId = it.value().getValue();
    else
        oSessionId = v_oRequest.getCookie(m_oCookieName);

    if (!oSessionId.isEmpty() && !v_oClient.mayUse(m_oSessions.value(oSessionId))) {
        qCDebug(lcHttp, "HttpSessionStore: received invalid session cookie with ID %s", qtxLogId(oSessionId).c_str());
        oSessionId.clear();
    }
    return oSessionId;
}

void HttpSessionStore::setSessionCookie(HttpResponse &v_oResponse, const QByteArray &v_oId) const
{
    v_oResponse.setCookie(HttpCookie(m_oCookieName, v_oId, m_iExpirationTime / 1000, m_oCookiePath,
                                     m_oCookieComment, m_oCookieDomain, false, false));
}

HttpSession HttpSessionStore::getSession(HttpRequest &v_oRequest, HttpResponse &v_oResponse,
                                         bool v_bAllowCreate, const HttpSessionClient &v_oClient, bool *v_pbRefused)
{
    if (v_pbRefused)
        *v_pbRefused = false;
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    const QByteArray oSessionId = sessionIdLocked(v_oRequest, v_oResponse, v_oClient);
    if (!oSessionId.isEmpty()) {
        HttpSession oSession = m_oSessions.value(oSessionId);
        if (!oSession.isNull()) {
            // Touched under the table's lock, so the idle clock cannot take it in between.
            oSession.touch(m_oClock.nowMs());
            oLocker.unlock();
            // The cookie is renewed on every request that finds its session.
            setSessionCookie(v_oResponse, oSession.getId());
            return oSession;
        }
    }
    if (!v_bAllowCreate)
        return HttpSession();
    // Counted and created under the store's lock: an account cannot pass its
    // limit with concurrent requests, and the others' sessions do not count.
    std::shared_ptr<HttpSessionUsage> &poUsage = m_oUsage[v_oClient.account];
    if (!poUsage)
        poUsage = std::make_shared<HttpSessionUsage>();
    if (v_oClient.maxSessions >= 0 && poUsage->sessions.load() >= v_oClient.maxSessions) {
        if (v_pbRefused)
            *v_pbRefused = true;
        return HttpSession();
    }
    HttpSession oSession(v_oClient.account, poUsage, m_oClock.nowMs());
    ++poUsage->sessions;
    qCDebug(lcHttp, "HttpSessionStore: create new session with ID %s", qtxLogId(oSession.getId()).c_str());
    m_oSessions.insert(oSession.getId(), oSession);
    setSessionCookie(v_oResponse, oSession.getId());
    return oSession;
}

HttpSession HttpSessionStore::getSession(const QByteArray &v_oId, const HttpSessionClient &v_oClient)
{
    if (v_oId.isEmpty())
        return HttpSession();
    HttpSession oSession;
    {
        std::unique_lock<std::mutex> oLocker(m_oMutex);
        const auto it = m_oSessions.constFind(v_oId);
        if (it == m_oSessions.constEnd() || !v_oClient.mayUse(it.value()))
            return HttpSession();
        oSession = it.value();
        // Under the table's lock, so the idle clock cannot take it in between.
        oSession.touch(m_oClock.nowMs());
    }
    return oSession;
}

void HttpSessionStore::forgetLocked(const HttpSession &v_oSession)
{
    const auto it = m_oUsage.constFind(v_oSession.getOwner());
    if (it != m_oUsage.constEnd())
        --it.value()->sessions;
}

void HttpSessionStore::removeSession(const HttpSession &v_oSession)
{
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    if (m_oSessions.remove(v_oSession.getId()) > 0)
        forgetLocked(v_oSession);
}

bool HttpSessionStore::removeSession(const QByteArray &v_oId)
{
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    const auto it = m_oSessions.find(v_oId);
    if (it == m_oSessions.end())
        return false;
    forgetLocked(it.value());
    m_oSessions.erase(it);
    return true;
}

QList<QByteArray> HttpSessionStore::takeIdle(qint64 v_llNow, qint64 v_llIdleMs, qint64 *v_pllNextDeadline)
{
    QList<QByteArray> oTaken;
    qint64 llNext = -1;
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    for (auto it = m_oSessions.begin(); it != m_oSessions.end();) {
        // Under the table's lock: a request that finds the session touches it
        // before this look or finds it gone after.
        const qint64 llDeadline = it.value().getLastAccess() + v_llIdleMs;
        if (llDeadline <= v_llNow) {
            qCDebug(lcHttp, "HttpSessionStore: session %s idle", qtxLogId(it.key()).c_str());
            oTaken << it.key();
            forgetLocked(it.value());
            it = m_oSessions.erase(it);
            continue;
        }
        llNext = llNext < 0 ? llDeadline : qMin(llNext, llDeadline);
        ++it;
    }
    *v_pllNextDeadline = llNext;
    return oTaken;
}

bool HttpSessionStore::contains(const QByteArray &v_oId)
{
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    return m_oSessions.contains(v_oId);
}

int HttpSessionStore::sessionCount()
{
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    return m_oSessions.size();
}

qint64 HttpSessionStore::sessionCount(qint64 v_iAccount)
{
    std::lock_guard<std::mutex> oGuard(m_oMutex);
    const auto it = m_oUsage.constFind(v_iAccount);
    return it == m_oUsage.constEnd() ? 0 : it.value()->sessions.load();
}

} // namespace norrweb
