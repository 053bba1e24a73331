#ifndef NORRWEB_HTTPFIELDS_H
#define NORRWEB_HTTPFIELDS_H

#include <QByteArray>
#include <QList>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace norrweb {

// The header fields of a request: a name may come more than once. Kept in
// name order (names compared byte for byte), and within one name the field
// added last first, as QMultiMap keeps them, so lines built from either read
// alike. A request carries a handful of fields: they live in one inline array
// instead of a heap node each, which a request had to allocate and free.
class HttpFields
{
public:
    struct Entry
    {
        QByteArray name;
        QByteArray value;
    };

    class const_iterator
    {
    public:
        const_iterator() = default;
        explicit const_iterator(const Entry *v_pEntry) : m_pEntry(v_pEntry) {}
        const QByteArray &key() const { return m_pEntry->name; }
        const QByteArray &value() const { return m_pEntry->value; }
        const_iterator &operator++()
        {
            ++m_pEntry;
            return *this;
        }
        const_iterator &operator--()
        {
            --m_pEntry;
            return *this;
        }
        bool operator==(const const_iterator &v_oOther) const { return m_pEntry == v_oOther.m_pEntry; }
        bool operator!=(const const_iterator &v_oOther) const { return m_pEntry != v_oOther.m_pEntry; }

    private:
        const Entry *m_pEntry = nullptr;
    };

    // Adds a field; one of the same name added before stays, after it.
    void insert(const QByteArray &v_oName, const QByteArray &v_oValue)
    {
        const int iAt = int(lowerBound(v_oName) - m_aEntries.constData());
        // Appended, then moved into place: a move swaps pointers, where the
        // array's own insert would copy every later entry.
        m_aEntries.append(Entry{v_oName, v_oValue});
        std::rotate(m_aEntries.begin() + iAt, m_aEntries.end() - 1, m_aEntries.end());
    }
    // Drops every field of that name; returns how many there were.
    int remove(const QByteArray &v_oName)
    {
        const Entry *pFirst = lowerBound(v_oName);
        const Entry *pLast = upperBound(pFirst, v_oName);
        const int iCount = int(pLast - pFirst);
        if (iCount != 0) {
            auto itFirst = m_aEntries.begin() + (pFirst - m_aEntries.constData());
            m_aEntries.erase(itFirst, itFirst + iCount);
        }
        return iCount;
    }

    // The field of that name added last, or a null array.
    QByteArray value(const QByteArray &v_oName) const
    {
        const Entry *pAt = lowerBound(v_oName);
        return pAt != end_() && pAt->name == v_oName ? pAt->value : QByteArray();
    }
    // Every value of that name, the one added last first.
    QList<QByteArray> values(const QByteArray &v_oName) const
    {
        QList<QByteArray> oValues;
        const Entry *pFirst = lowerBound(v_oName);
        for (const Entry *p = pFirst, *pLast = upperBound(pFirst, v_oName); p != pLast; ++p)
            oValues.append(p->value);
        return oValues;
    }
    bool contains(const QByteArray &v_oName) const
    {
        const Entry *pAt = lowerBound(v_oName);
        return pAt != end_() && pAt->name == v_oName;
    }
    int count(const QByteArray &v_oName) const
    {
        const Entry *pFirst = lowerBound(v_oName);
        return int(upperBound(pFirst, v_oName) - pFirst);
    }
    // The first field of that name, or constEnd().
    const_iterator constFind(const QByteArray &v_oName) const
    {
        const Entry *pAt = lowerBound(v_oName);
        return const_iterator(pAt != end_() && pAt->name == v_oName ? pAt : end_());
    }
    int size() const { return m_aEntries.size(); }
    bool isEmpty() const { return m_aEntries.isEmpty(); }

    const_iterator constBegin() const { return const_iterator(m_aEntries.constData()); }
    const_iterator constEnd() const { return const_iterator(end_()); }
    const_iterator begin() const { return constBegin(); }
    const_iterator end() const { return constEnd(); }

private:
    // QByteArray's order (bytes unsigned, a prefix first), compared inline.
    static int order(const QByteArray &v_oLeft, const QByteArray &v_oRight)
    {
        const int iLeft = v_oLeft.size(), iRight = v_oRight.size();
        const int iOrder = std::memcmp(v_oLeft.constData(), v_oRight.constData(), size_t(std::min(iLeft, iRight)));
        return iOrder != 0 ? iOrder : iLeft - iRight;
    }
    const Entry *end_() const { return m_aEntries.constData() + m_aEntries.size(); }
    const Entry *lowerBound(const QByteArray &v_oName) const
    {
        return std::lower_bound(m_aEntries.constData(), end_(), v_oName,
                                [](const Entry &v_oEntry, const QByteArray &v_oKey) { return order(v_oEntry.name, v_oKey) < 0; });
    }
    const Entry *upperBound(const Entry *v_pFrom, const QByteArray &v_oName) const
    {
        const Entry *p = v_pFrom;
        while (p != end_() && p->name == v_oName)
            ++p;
        return p;
    }

    QVarLengthArray<Entry, 12> m_aEntries;
};

} // namespace norrweb

#endif // NORRWEB_HTTPFIELDS_H
