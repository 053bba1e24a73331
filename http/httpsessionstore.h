#ifndef NORRWEB_HTTPSESSIONSTORE_H
#define NORRWEB_HTTPSESSIONSTORE_H

#include "httpsession.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <mutex>

class QSettings;

namespace norrweb {

class HttpRequest;
class HttpResponse;

/// The server's sessions, in memory. Called from the connection-handler threads and
/// the session time-out manager; the expiry sweep runs on the store's own thread.
/// Lock order: the store mutex may be held while a session's lock is taken, never
/// the other way round.
class HttpSessionStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpSessionStore)

public:
    /// v_poSettings is positioned on the sessions group, not owned, and must outlive
    /// the store (it is read again on every lookup with a cookie).
    explicit HttpSessionStore(const QSettings *v_poSettings, QObject *v_poParent = nullptr);
    ~HttpSessionStore() override;

    /// Id from the session cookie set on this response, else from the request; empty
    /// when there is none or the id is unknown.
    QByteArray getSessionId(HttpRequest &v_oRequest, HttpResponse &v_oResponse);
    /// Finds (and renews the cookie of) the request's session, or creates one when
    /// allowed; otherwise a null session.
    HttpSession getSession(HttpRequest &v_oRequest, HttpResponse &v_oResponse, bool v_bAllowCreate);
    /// The stored session with this id, or a null session.
    HttpSession getSession(const QByteArray &v_oId);
    void removeSession(const HttpSession &v_oSession);
    /// Number of sessions in the store.
    int sessionCount();

public slots:
    /// Expiry sweep, every 60 s.
    void sessionTimerEvent();

private:
    void setSessionCookie(HttpResponse &v_oResponse, const QByteArray &v_oId) const;

    const QSettings *m_poSettings;
    QMap<QByteArray, HttpSession> m_oSessions;
    QTimer m_oSessionTimer;
    QByteArray m_oCookieName;
    qint32 m_iExpirationTime = 3600000;
    // Guards m_oSessions only. A standard mutex, so ThreadSanitizer sees it.
    std::mutex m_oMutex;
};

} // namespace norrweb

// The server's one session store, published at start-up; null before that.
extern norrweb::HttpSessionStore *g_poSessionStore;

#endif // NORRWEB_HTTPSESSIONSTORE_H
