#include "httprequest.h"

#include "httpcookie.h"

#include <QList>

// What a complete request names: its parameters (query and form body), its
// cookies and its decoded path. Runs once per request, after parsing.

namespace norrweb {

void HttpRequest::decodeRequestParams()
{
    QByteArray oRaw;
    const int iQuery = m_oPath.indexOf('?');
    if (iQuery >= 0) {
        oRaw = m_oPath.mid(iQuery + 1);
        m_oPath = m_oPath.left(iQuery);
    }
    const QByteArray oContentType = m_oHeaders.value(QByteArrayLiteral("content-type"));
    if (!m_oBodyData.isEmpty()
        && (oContentType.isEmpty() || oContentType.startsWith("application/x-www-form-urlencoded"))) {
        if (!oRaw.isEmpty())
            oRaw.append('&').append(m_oBodyData);
        else
            oRaw = m_oBodyData;
    }

    if (oRaw.isEmpty())
        return;
    const QList<QByteArray> oParts = oRaw.split('&');
    for (const QByteArray &oPart : oParts) {
        const int iEquals = oPart.indexOf('=');
        if (iEquals >= 0) {
            const QByteArray oName = oPart.left(iEquals).trimmed();
            const QByteArray oValue = oPart.mid(iEquals + 1).trimmed();
            m_oParameters.insert(percentDecode(oName), percentDecode(oValue));
        } else if (!oPart.isEmpty()) {
            m_oParameters.insert(percentDecode(oPart), QByteArray());
        }
    }
}

void HttpRequest::extractCookies()
{
    // Entries are visited in the multimap's own order (last header line first).
    for (auto it = m_oHeaders.constFind(QByteArrayLiteral("cookie")); it != m_oHeaders.constEnd() && it.key() == "cookie"; ++it) {
        const QList<QByteArray> oParts = HttpCookie::splitCookieList(it.value());
        for (const QByteArray &oPart : oParts) {
            const int iEquals = oPart.indexOf('=');
            if (iEquals >= 0)
                m_oCookies.insert(oPart.left(iEquals).trimmed(), oPart.mid(iEquals + 1).trimmed());
            else
                m_oCookies.insert(oPart.trimmed(), QByteArray());
        }
    }
    m_oHeaders.remove(QByteArrayLiteral("cookie"));
}

QByteArray HttpRequest::getDecodedPath() const
{
    const int iQuery = m_oPath.indexOf('?');
    return percentDecode(iQuery < 0 ? m_oPath : m_oPath.left(iQuery));
}

QByteArray HttpRequest::getParameter(const QByteArray &v_oName) const
{
    return m_oParameters.value(v_oName);
}

QByteArray HttpRequest::getCookie(const QByteArray &v_oName) const
{
    return m_oCookies.value(v_oName);
}

QByteArray HttpRequest::percentDecode(const QByteArray &v_oSource)
{
    // Most names, values and paths hold neither: shared, not copied.
    if (!v_oSource.contains('+') && !v_oSource.contains('%'))
        return v_oSource;
    QByteArray oBuffer(v_oSource);
    oBuffer.replace('+', ' ');
    int iPercent = oBuffer.indexOf('%');
    while (iPercent >= 0) {
        bool bOk = false;
        const int iCode = oBuffer.mid(iPercent + 1, 2).toInt(&bOk, 16);
        if (bOk) {
            const int iLength = qMin(3, oBuffer.size() - iPercent);
            oBuffer.replace(iPercent, iLength, QByteArray(1, char(iCode & 0xFF)));
        }
        iPercent = oBuffer.indexOf('%', iPercent + 1);
    }
    return oBuffer;
}

} // namespace norrweb
