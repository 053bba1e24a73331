#ifndef NORRWEB_HTTPFIELDS_H
#define NORRWEB_HTTPFIELDS_H

#include "httpheaderlist.h"

#include <QList>

namespace norrweb {

// The header fields of a request: a name may come more than once. Within one
// name the field added last comes first, as QMultiMap keeps them, so lines
// built from either read alike. A request had to allocate and free a map node
// per field before.
class HttpFields : public HttpHeaderList<12>
{
public:
    // Adds a field; one of the same name added before stays, after it.
    void insert(const QByteArray &v_oName, const QByteArray &v_oValue)
    {
        insertAt(indexOf(lowerBound(v_oName)), v_oName, v_oValue);
    }
    // Drops every field of that name; returns how many there were.
    int remove(const QByteArray &v_oName)
    {
        const Entry *pFirst = lowerBound(v_oName);
        const int iCount = int(pastName(pFirst, v_oName) - pFirst);
        if (iCount != 0) {
            const auto itFirst = m_aEntries.begin() + indexOf(pFirst);
            m_aEntries.erase(itFirst, itFirst + iCount);
        }
        return iCount;
    }

    // value() gives the field of that name added last; values() every one, the
    // one added last first.
    QList<QByteArray> values(const QByteArray &v_oName) const
    {
        QList<QByteArray> oValues;
        const Entry *pFirst = lowerBound(v_oName);
        for (const Entry *p = pFirst, *pLast = pastName(pFirst, v_oName); p != pLast; ++p)
            oValues.append(p->value);
        return oValues;
    }
    int count(const QByteArray &v_oName) const
    {
        const Entry *pFirst = lowerBound(v_oName);
        return int(pastName(pFirst, v_oName) - pFirst);
    }
    // The first field of that name, or constEnd().
    const_iterator constFind(const QByteArray &v_oName) const
    {
        const Entry *pAt = find(v_oName);
        return const_iterator(pAt ? pAt : endEntry());
    }

private:
    const Entry *pastName(const Entry *v_pFrom, const QByteArray &v_oName) const
    {
        const Entry *p = v_pFrom;
        while (p != endEntry() && p->name == v_oName)
            ++p;
        return p;
    }
};

} // namespace norrweb

#endif // NORRWEB_HTTPFIELDS_H
