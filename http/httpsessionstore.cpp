#include "httpsessionstore.h"
#include "httplogging.h"

#include "httpcookie.h"
#include "httprequest.h"
#include "httpresponse.h"

#include <QDateTime>
#include <QSettings>

namespace norrweb {

namespace {
constexpr int kSweepIntervalMs = 60000;
} // namespace

HttpSessionStore::HttpSessionStore(const QSettings *v_poSettings, QObject *v_poParent)
    : QObject(v_poParent)
    , m_poSettings(v_poSettings)
    , m_oSessionTimer(this)
{
    connect(&m_oSessionTimer, &QTimer::timeout, this, &HttpSessionStore::sessionTimerEvent);
    m_oSessionTimer.start(kSweepIntervalMs);
    // Read once: the cookie is set on every request that names a session.
    m_oCookieName = m_poSettings->value(QStringLiteral("cookieName"), QStringLiteral("sessionid")).toByteArray();
    m_oCookiePath = m_poSettings->value(QStringLiteral("cookiePath")).toByteArray();
    m_oCookieComment = m_poSettings->value(QStringLiteral("cookieComment")).toByteArray();
    m_oCookieDomain = m_poSettings->value(QStringLiteral("cookieDomain")).toByteArray();
    m_iExpirationTime = m_poSettings->value(QStringLiteral("expirationTime"), 3600000).toInt();
    qCDebug(lcHttp, "HttpSessionStore: Sessions expire after %i milliseconds", m_iExpirationTime);
}

HttpSessionStore::~HttpSessionStore()
{
    m_oSessionTimer.stop();
}

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
            oLocker.unlock();
            // The cookie is renewed on every request that finds its session.
            setSessionCookie(v_oResponse, oSession.getId());
            oSession.touch();
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
    HttpSession oSession(v_oClient.account, poUsage);
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
    }
    oSession.touch();
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

void HttpSessionStore::sessionTimerEvent()
{
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    const qint64 iNow = QDateTime::currentMSecsSinceEpoch();
    auto it = m_oSessions.begin();
    while (it != m_oSessions.end()) {
        // Strictly greater: a session idle for exactly expirationTime survives this sweep.
        if (iNow - it.value().getLastAccess() > qint64(m_iExpirationTime)) {
            qCDebug(lcHttp, "HttpSessionStore: session %s expired", qtxLogId(it.key()).c_str());
            forgetLocked(it.value());
            it = m_oSessions.erase(it);
        } else {
            ++it;
        }
    }
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

norrweb::HttpSessionStore *g_poSessionStore = nullptr;
