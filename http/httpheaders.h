#ifndef NORRWEB_HTTPHEADERS_H
#define NORRWEB_HTTPHEADERS_H

#include "httpheaderlist.h"

namespace norrweb {

// The headers of a reply: one value per name, in name order, which is the
// order they are written and logged in.
class HttpHeaders : public HttpHeaderList<16>
{
public:
    // Sets the value of that name, replacing an earlier one.
    void insert(const QByteArray &v_oName, const QByteArray &v_oValue)
    {
        const Entry *pAt = lowerBound(v_oName);
        if (pAt != endEntry() && pAt->name == v_oName)
            m_aEntries[indexOf(pAt)].value = v_oValue;
        else
            insertAt(indexOf(pAt), v_oName, v_oValue);
    }
};

} // namespace norrweb

#endif // NORRWEB_HTTPHEADERS_H
