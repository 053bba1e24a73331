#ifndef NORRWEB_HTTPHEADERLIST_H
#define NORRWEB_HTTPHEADERLIST_H

#include <QByteArray>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace norrweb {

// What the header lists of requests and replies share: name and value pairs in
// name order (names compared byte for byte, as QByteArray orders them), kept
// in one inline array. A message carries a dozen or so, so an array beats a
// heap node per header, and iterating it is a walk over adjacent entries.
template <int Inline>
class HttpHeaderList
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

    int size() const { return m_aEntries.size(); }
    bool isEmpty() const { return m_aEntries.isEmpty(); }
    bool contains(const QByteArray &v_oName) const { return find(v_oName) != nullptr; }

    // The value of that name (of several, the first in the list), or a null array.
    QByteArray value(const QByteArray &v_oName) const
    {
        const Entry *pAt = find(v_oName);
        return pAt ? pAt->value : QByteArray();
    }

    const_iterator constBegin() const { return const_iterator(m_aEntries.constData()); }
    const_iterator constEnd() const { return const_iterator(endEntry()); }
    const_iterator begin() const { return constBegin(); }
    const_iterator end() const { return constEnd(); }

protected:
    const Entry *endEntry() const { return m_aEntries.constData() + m_aEntries.size(); }
    // The first entry whose name is not before v_oName.
    const Entry *lowerBound(const QByteArray &v_oName) const
    {
        return std::lower_bound(m_aEntries.constData(), endEntry(), v_oName,
                                [](const Entry &v_oEntry, const QByteArray &v_oKey) {
                                    const int iEntry = v_oEntry.name.size(), iKey = v_oKey.size();
                                    const int iOrder = std::memcmp(v_oEntry.name.constData(), v_oKey.constData(),
                                                                   size_t(std::min(iEntry, iKey)));
                                    return iOrder < 0 || (iOrder == 0 && iEntry < iKey);
                                });
    }
    // The first entry of that name, or null.
    const Entry *find(const QByteArray &v_oName) const
    {
        const Entry *pAt = lowerBound(v_oName);
        return pAt != endEntry() && pAt->name == v_oName ? pAt : nullptr;
    }
    int indexOf(const Entry *v_pEntry) const { return int(v_pEntry - m_aEntries.constData()); }
    // Appended, then moved into place: a move swaps pointers, where the
    // array's own insert would copy every later entry (two reference counts each).
    void insertAt(int v_iIndex, const QByteArray &v_oName, const QByteArray &v_oValue)
    {
        m_aEntries.append(Entry{v_oName, v_oValue});
        std::rotate(m_aEntries.begin() + v_iIndex, m_aEntries.end() - 1, m_aEntries.end());
    }

    QVarLengthArray<Entry, Inline> m_aEntries;
};

} // namespace norrweb

#endif // NORRWEB_HTTPHEADERLIST_H
