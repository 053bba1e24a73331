#include "httpcookie.h"

namespace norrweb {

HttpCookie::HttpCookie() = default;

HttpCookie::HttpCookie(const QByteArray &v_oName, const QByteArray &v_oValue, int v_iMaxAge,
                       const QByteArray &v_oPath, const QByteArray &v_oComment,
                       const QByteArray &v_oDomain, bool v_bSecure, bool v_bHttpOnly)
    : m_oName(v_oName)
    , m_oValue(v_oValue)
    , m_oComment(v_oComment)
    , m_oDomain(v_oDomain)
    , m_iMaxAge(v_iMaxAge)
    , m_oPath(v_oPath)
    , m_bSecure(v_bSecure)
    , m_bHttpOnly(v_bHttpOnly)
{
}

QByteArray HttpCookie::toHeaderValue() const
{
    QByteArray oBuffer = m_oName;
    oBuffer.append('=').append(m_oValue);
    if (!m_oComment.isEmpty())
        oBuffer.append("; Comment=").append(m_oComment);
    if (!m_oDomain.isEmpty())
        oBuffer.append("; Domain=").append(m_oDomain);
    if (m_iMaxAge != 0)
        oBuffer.append("; Max-Age=").append(QByteArray::number(m_iMaxAge));
    if (!m_oPath.isEmpty())
        oBuffer.append("; Path=").append(m_oPath);
    if (m_bSecure)
        oBuffer.append("; Secure");
    if (m_bHttpOnly)
        oBuffer.append("; HttpOnly");
    oBuffer.append("; Version=").append(QByteArray::number(m_iVersion));
    return oBuffer;
}

QList<QByteArray> HttpCookie::splitCookieList(const QByteArray &v_oText)
{
    QList<QByteArray> oParts;
    QByteArray oCurrent;
    bool bInQuotes = false;
    for (const char c : v_oText) {
        if (c == '"') {
            bInQuotes = !bInQuotes;
        } else if (c == ';' && !bInQuotes) {
            const QByteArray oPart = oCurrent.trimmed();
            if (!oPart.isEmpty())
                oParts.append(oPart);
            oCurrent.clear();
        } else {
            oCurrent.append(c);
        }
    }
    const QByteArray oLast = oCurrent.trimmed();
    if (!oLast.isEmpty())
        oParts.append(oLast);
    return oParts;
}

} // namespace norrweb
