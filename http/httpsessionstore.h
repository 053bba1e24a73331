#ifndef NORRWEB_HTTPSESSIONSTORE_H
#define NORRWEB_HTTPSESSIONSTORE_H

#include "httpsession.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <mutex>

class QSettings;

namespace norrweb {

class HttpRequest;
class HttpResponse;

/// The server's sessions, in memory. Called from the threads that serve requests
/// (request workers, and I/O threads for inline requests) and the session time-out manager; the expiry sweep runs on the store's own thread.
/// Lock order: the store mutex may be held while a session's lock is taken, never
/// the other way round.
class HttpSessionStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpSessionStore)

public:
    /// v_poSettings is positioned on the sessions group, not owned; it is read
    /// once, here.
    explicit HttpSessionStore(const QSettings *v_poSettings, QObject *v_poParent = nullptr);
    ~HttpSessionStore() override;

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
    /// Number of sessions in the store.
    int sessionCount();
    /// Number of sessions an account holds.
    qint64 sessionCount(qint64 v_iAccount);

public slots:
    /// Expiry sweep, every 60 s.
    void sessionTimerEvent();

private:
    void setSessionCookie(HttpResponse &v_oResponse, const QByteArray &v_oId) const;
    // Called with m_oMutex held.
    QByteArray sessionIdLocked(HttpRequest &v_oRequest, HttpResponse &v_oResponse, const HttpSessionClient &v_oClient);
    void forgetLocked(const HttpSession &v_oSession);

    const QSettings *m_poSettings;
    QMap<QByteArray, HttpSession> m_oSessions;
    // Per account: its sessions and the bytes of their variables.
    QHash<qint64, std::shared_ptr<HttpSessionUsage>> m_oUsage;
    QTimer m_oSessionTimer;
    QByteArray m_oCookieName;
    QByteArray m_oCookiePath;
    QByteArray m_oCookieComment;
    QByteArray m_oCookieDomain;
    qint32 m_iExpirationTime = 3600000;
    // Guards m_oSessions only. A standard mutex, so ThreadSanitizer sees it.
    std::mutex m_oMutex;
};

} // namespace norrweb

// The server's one session store, published at start-up; null before that.
extern norrweb::HttpSessionStore *g_poSessionStore;

#endif // NORRWEB_HTTPSESSIONSTORE_H
