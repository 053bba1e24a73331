#ifndef NORRWEB_HTTPSESSION_H
#define NORRWEB_HTTPSESSION_H

#include <QByteArray>
#include <QMap>
#include <QVariant>

#include <atomic>
#include <memory>

namespace norrweb {

struct HttpSessionData;
class HttpSession;

/// What one client account holds across all its sessions. Shared by the
/// account's sessions and the store, so each can keep the totals current.
struct HttpSessionUsage
{
    std::atomic<qint64> sessions{0};
    std::atomic<qint64> variableBytes{0};
};

/// The client a session look-up is made for. Sessions belong to the account
/// that opened them: only that account, or the server's own account (which
/// sees every session), may use one. Another account's session looks absent.
struct HttpSessionClient
{
    /// The account of the sessions this client opens (a uid; -1 unknown).
    qint64 account = -1;
    /// The server's own account: may use every session.
    bool seesAll = true;
    /// Sessions the account may hold at once; negative: no limit.
    qint64 maxSessions = -1;

    bool mayUse(const HttpSession &v_oSession) const;
};

/// Limits of one session's variables and of all variables of its account.
struct HttpSessionVarLimits
{
    qint64 maxCount = 256;
    qint64 maxBytes = 256 * 1024;
    qint64 maxAccountBytes = 16 * 1024 * 1024;
};

/// Reference-counted handle on one session's data (id, last access, variables).
/// Handles may be copied across threads: the count is atomic, and every
/// accessor takes the block's lock itself. Copying or assigning a handle is
/// no access: only the table's look-up for a request touches the session.
class HttpSession
{
public:
    /// A null session.
    HttpSession() = default;
    HttpSession(const HttpSession &v_oOther);
    /// Shares the other handle's block.
    HttpSession &operator=(const HttpSession &v_oOther);
    ~HttpSession();

    QByteArray getId() const;
    bool isNull() const { return m_poData == nullptr; }

    void set(const QByteArray &v_oKey, const QVariant &v_oValue);
    /// Sets a page's variable unless the session would then hold more than the
    /// limits allow (the server's own "startTime" and a replaced value do not
    /// count); false, with nothing stored, when refused. Checked and stored
    /// under the session's lock, so two requests cannot both pass the check.
    bool setWithinLimits(const QByteArray &v_oKey, const QVariant &v_oValue, const HttpSessionVarLimits &v_oLimits,
                         qint64 *v_poCount = nullptr, qint64 *v_poBytes = nullptr);
    bool contains(const QByteArray &v_oKey) const;
    QMap<QByteArray, QVariant> getAll() const;
    /// The session clock's reading (SessionClock) at the last access; 0 for a null session.
    qint64 getLastAccess() const;
    /// A request uses the session at v_llNowMs (session clock).
    void touch(qint64 v_llNowMs);
    /// The account that opened the session; -1 for a null session.
    qint64 getOwner() const;

private:
    friend class HttpSessionStore;
    /// A new session with a fresh id of an account, counted in its usage,
    /// opened at v_llNowMs (session clock).
    HttpSession(qint64 v_iOwner, const std::shared_ptr<HttpSessionUsage> &v_poUsage, qint64 v_llNowMs);

    static void release(HttpSessionData *v_poData, const char *v_pcMessage);

    HttpSessionData *m_poData = nullptr;
};

} // namespace norrweb

#endif // NORRWEB_HTTPSESSION_H
