#ifndef NORRWEB_HTTPHEADERS_H
#define NORRWEB_HTTPHEADERS_H

#include <QByteArray>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace norrweb {

// The headers of a reply: one value per name (names compared byte for byte),
// kept in name order, which is the order they are written and logged in. A
// reply carries a dozen or so, so they live in one inline array rather than in
// a node per header.
class HttpHeaders
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
        explicit const_iterator(const Entry *v_pEntry) : m_pEntry(v_pEntry) {}
        const QByteArray &key() const { return m_pEntry->name; }
        const QByteArray &value() const { return m_pEntry->value; }
        const_iterator &operator++()
        {
            ++m_pEntry;
            return *this;
        }
        bool operator==(const const_iterator &v_oOther) const { return m_pEntry == v_oOther.m_pEntry; }
        bool operator!=(const const_iterator &v_oOther) const { return m_pEntry != v_oOther.m_pEntry; }

    private:
        const Entry *m_pEntry;
    };

    // Sets the value of that name, replacing an earlier one.
    void insert(const QByteArray &v_oName, const QByteArray &v_oValue)
    {
        Entry *pAt = lowerBound(v_oName);
        if (pAt != m_aEntries.end() && pAt->name == v_oName) {
            pAt->value = v_oValue;
            return;
        }
        // Appended, then moved into place: moving an entry swaps pointers, where
        // the array's own insert would copy every later entry (two reference
        // counts each).
        const int iAt = int(pAt - m_aEntries.begin());
        m_aEntries.append(Entry{v_oName, v_oValue});
        std::rotate(m_aEntries.begin() + iAt, m_aEntries.end() - 1, m_aEntries.end());
    }
    bool contains(const QByteArray &v_oName) const { return find(v_oName) != nullptr; }
    QByteArray value(const QByteArray &v_oName) const
    {
        const Entry *pEntry = find(v_oName);
        return pEntry ? pEntry->value : QByteArray();
    }
    int size() const { return m_aEntries.size(); }
    bool isEmpty() const { return m_aEntries.isEmpty(); }

    const_iterator constBegin() const { return const_iterator(m_aEntries.constData()); }
    const_iterator constEnd() const { return const_iterator(m_aEntries.constData() + m_aEntries.size()); }
    const_iterator begin() const { return constBegin(); }
    const_iterator end() const { return constEnd(); }

private:
    // QByteArray's order (bytes unsigned, a prefix first), compared inline.
    static bool nameBefore(const Entry &v_oEntry, const QByteArray &v_oKey)
    {
        const int iEntry = v_oEntry.name.size(), iKey = v_oKey.size();
        const int iOrder = std::memcmp(v_oEntry.name.constData(), v_oKey.constData(), size_t(std::min(iEntry, iKey)));
        return iOrder < 0 || (iOrder == 0 && iEntry < iKey);
    }
    Entry *lowerBound(const QByteArray &v_oName)
    {
        return std::lower_bound(m_aEntries.begin(), m_aEntries.end(), v_oName, nameBefore);
    }
    const Entry *find(const QByteArray &v_oName) const
    {
        const Entry *pAt = std::lower_bound(m_aEntries.begin(), m_aEntries.end(), v_oName, nameBefore);
        return pAt != m_aEntries.end() && pAt->name == v_oName ? pAt : nullptr;
    }

    QVarLengthArray<Entry, 16> m_aEntries;
};

} // namespace norrweb

#endif // NORRWEB_HTTPHEADERS_H
