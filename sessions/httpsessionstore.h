#ifndef NORRWEB_HTTPSESSIONSTORE_H
#define NORRWEB_HTTPSESSIONSTORE_H

#include "httpsession.h"
#include "sessionclock.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>

#include <mutex>

class QSettings;

namespace norrweb {

class HttpRequest;
class HttpResponse;

/// The table of the server's sessions, in memory, and their cookie. Used from
/// any thread; the session registry owns it and decides when a session ends.
/// Lock order: the store mutex may be held while a session's lock is taken, never
/// the other way round.
class HttpSessionStore
{
    Q_DISABLE_COPY(HttpSessionStore)

public:
    /// v_poSettings is positioned on the sessions group; it is read once, here.
    /// Sessions' last access is stamped from v_oClock.
    explicit HttpSessionStore(const QSettings *v_poSettings, SessionClock v_oClock = SessionClock());
    ~HttpSessionStore();

    /// Id from the session cookie set on this response, else from the request; empty
    /// when there is none, the id is unknown or the client may not use that session.
    QByteArray getSessionId(HttpRequest &v_oRequest, HttpResponse &v_oResponse,
                            const HttpSessionClient &v_oClient = HttpSessionClient());
    /// Finds (and renews the cookie of) the request's session, or creates one for
    /// the client's account when allowed and the account holds fewer sessions
    /// than its limit; otherwise a null session (*v_pbRefused true when the limit
    /// was the reason).
    HttpSession getSession(HttpRequest &v_oRequest, HttpResponse &v_oResponse, bool v_bAllowCreate,
                           const HttpSessionClient &v_oClient = HttpSessionClient(), bool *v_pbRefused = nullptr);
    /// The stored session with this id that the client may use, or a null session.
    /// Only a session found is touched.
    HttpSession getSession(const QByteArray &v_oId, const HttpSessionClient &v_oClient = HttpSessionClient());
    void removeSession(const HttpSession &v_oSession);
    /// False when no session has that id (removed before).
    bool removeSession(const QByteArray &v_oId);
    const SessionClock &clock() const { return m_oClock; }
    /// Takes the sessions idle for at least v_llIdleMs at v_llNow (session clock) out of the
    /// table and returns their ids; *v_pllNextDeadline becomes the earliest
    /// moment another one would be, -1 with none left.
    QList<QByteArray> takeIdle(qint64 v_llNow, qint64 v_llIdleMs, qint64 *v_pllNextDeadline);
    /// Whether a session has that id; nothing is touched.
    bool contains(const QByteArray &v_oId);
    /// Number of sessions in the store.
    int sessionCount();
    /// Number of sessions an account holds.
    qint64 sessionCount(qint64 v_iAccount);

private:
    void setSessionCookie(HttpResponse &v_oResponse, const QByteArray &v_oId) const;
    // Called with m_oMutex held.
    QByteArray sessionIdLocked(HttpRequest &v_oRequest, HttpResponse &v_oResponse, const HttpSessionClient &v_oClient);
    void forgetLocked(const HttpSession &v_oSession);

    QHash<QByteArray, HttpSession> m_oSessions;
    // Per account: its sessions and the bytes of their variables.
    QHash<qint64, std::shared_ptr<HttpSessionUsage>> m_oUsage;
    QByteArray m_oCookieName;
    QByteArray m_oCookiePath;
    QByteArray m_oCookieComment;
    QByteArray m_oCookieDomain;
    qint32 m_iExpirationTime = 3600000;
    const SessionClock m_oClock;
    // Guards m_oSessions only. A standard mutex, so ThreadSanitizer sees it.
    std::mutex m_oMutex;
};

} // namespace norrweb

#endif // NORRWEB_HTTPSESSIONSTORE_H
