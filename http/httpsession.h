#ifndef NORRWEB_HTTPSESSION_H
#define NORRWEB_HTTPSESSION_H

#include <QByteArray>
#include <QMap>
#include <QVariant>

namespace norrweb {

struct HttpSessionData;

/// Reference-counted handle on one session's data (id, last access, variables).
/// Handles may be copied across threads: the count changes only under the data
/// block's write lock, and every accessor takes the block's lock itself.
class HttpSession
{
public:
    /// With v_bCanStore a new session with a fresh id; without, a null session.
    explicit HttpSession(bool v_bCanStore = false);
    HttpSession(const HttpSession &v_oOther);
    /// Shares the other handle's block and marks it accessed now.
    HttpSession &operator=(const HttpSession &v_oOther);
    ~HttpSession();

    QByteArray getId() const;
    bool isNull() const { return m_poData == nullptr; }

    void set(const QByteArray &v_oKey, const QVariant &v_oValue);
    bool contains(const QByteArray &v_oKey) const;
    QMap<QByteArray, QVariant> getAll() const;
    /// Milliseconds since the epoch; 0 for a null session.
    qint64 getLastAccess() const;
    void touch();

private:
    static void release(HttpSessionData *v_poData, const char *v_pcMessage);

    HttpSessionData *m_poData = nullptr;
};

} // namespace norrweb

#endif // NORRWEB_HTTPSESSION_H
