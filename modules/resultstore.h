#pragma once

// The results of finished jobs until the page fetches them (once), per
// session, with the totals the limits look at kept current, so admitting a
// job never adds up a session's results. A closed session's results wait
// here until the session registry's clock ends their grace period.
//
// Not locked itself: the launcher's lock guards it.

#include "qtxtypes.h"

#include <QByteArray>
#include <QHash>
#include <QList>

class ResultStore
{
public:
    struct Usage
    {
        qint64 count = 0;
        qint64 bytes = 0;
    };

    // False when the session already holds a result with that id.
    bool add(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, const tResultType &v_oResult,
             qint64 v_iOwner);
    bool contains(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const;
    // Hands the result out and forgets it.
    bool take(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId, tResultType *v_poResult);
    // The previous result under these ids (for the log of a duplicate).
    tResultType value(const QByteArray &v_oSessionId, const QByteArray &v_oCommandId) const;
    void dropSession(const QByteArray &v_oSessionId);
    void clear();

    Usage sessionUsage(const QByteArray &v_oSessionId) const;
    Usage accountUsage(qint64 v_iOwner) const;
    int sessionCount() const { return m_oSessions.size(); }

    // Whether a result of the session was added since the last call, which
    // clears the mark (a closed session's late result keeps its results for
    // another grace period).
    bool takeFresh(const QByteArray &v_oSessionId);

private:
    struct Session
    {
        qint64 iOwner = -1;
        Usage oUsage;
        QHash<QByteArray, tResultType> oResults;
        bool bFresh = false;
    };
    void forget(QHash<QByteArray, Session>::iterator v_it, const QByteArray &v_oCommandId);

    QHash<QByteArray, Session> m_oSessions;
    QHash<qint64, Usage> m_oAccounts;
};
