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
    m_oCookieName = m_poSettings->value(QStringLiteral("cookieName"), QStringLiteral("sessionid")).toByteArray();
    m_iExpirationTime = m_poSettings->value(QStringLiteral("expirationTime"), 3600000).toInt();
    qCDebug(lcHttp, "HttpSessionStore: Sessions expire after %i milliseconds", m_iExpirationTime);
}

HttpSessionStore::~HttpSessionStore()
{
    m_oSessionTimer.stop();
}

QByteArray HttpSessionStore::getSessionId(HttpRequest &v_oRequest, HttpResponse &v_oResponse)
{
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    QByteArray oSessionId;
    // A session created earlier while answering this same request.
    const QMap<QByteArray, HttpCookie> &oCookies = v_oResponse.getAllCookies();
    const auto it = oCookies.constFind(m_oCookieName);
    if (it != oCookies.constEnd())
        oSessionId = it.value().getValue();
    else
        oSessionId = v_oRequest.getCookie(m_oCookieName);

    if (!oSessionId.isEmpty() && !m_oSessions.contains(oSessionId)) {
        qCDebug(lcHttp, "HttpSessionStore: received invalid session cookie with ID %s", qtxLogId(oSessionId).c_str());
        oSessionId.clear();
    }
    return oSessionId;
}

void HttpSessionStore::setSessionCookie(HttpResponse &v_oResponse, const QByteArray &v_oId) const
{
    const QByteArray oCookieName =
        m_poSettings->value(QStringLiteral("cookieName"), QStringLiteral("sessionid")).toByteArray();
    const QByteArray oCookiePath = m_poSettings->value(QStringLiteral("cookiePath")).toByteArray();
    const QByteArray oCookieComment = m_poSettings->value(QStringLiteral("cookieComment")).toByteArray();
    const QByteArray oCookieDomain = m_poSettings->value(QStringLiteral("cookieDomain")).toByteArray();
    v_oResponse.setCookie(HttpCookie(oCookieName, v_oId, m_iExpirationTime / 1000, oCookiePath,
                                     oCookieComment, oCookieDomain, false, false));
}

HttpSession HttpSessionStore::getSession(HttpRequest &v_oRequest, HttpResponse &v_oResponse,
                                         bool v_bAllowCreate)
{
    const QByteArray oSessionId = getSessionId(v_oRequest, v_oResponse);
    std::unique_lock<std::mutex> oLocker(m_oMutex);
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
    if (v_bAllowCreate) {
        HttpSession oSession(true);
        qCDebug(lcHttp, "HttpSessionStore: create new session with ID %s", qtxLogId(oSession.getId()).c_str());
        m_oSessions.insert(oSession.getId(), oSession);
        setSessionCookie(v_oResponse, oSession.getId());
        return oSession;
    }
    return HttpSession();
}

HttpSession HttpSessionStore::getSession(const QByteArray &v_oId)
{
    HttpSession oSession;
    {
        std::unique_lock<std::mutex> oLocker(m_oMutex);
        oSession = m_oSessions.value(v_oId);
    }
    oSession.touch();
    return oSession;
}

void HttpSessionStore::removeSession(const HttpSession &v_oSession)
{
    std::unique_lock<std::mutex> oLocker(m_oMutex);
    m_oSessions.remove(v_oSession.getId());
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

} // namespace norrweb

norrweb::HttpSessionStore *g_poSessionStore = nullptr;
