#ifndef NORRWEB_HTTPCOOKIE_H
#define NORRWEB_HTTPCOOKIE_H

#include <QByteArray>
#include <QList>

namespace norrweb {

/// One cookie with its attributes. Formats the value of a Set-Cookie header line
/// and splits the value of a Cookie request header.
class HttpCookie
{
public:
    HttpCookie();
    HttpCookie(const QByteArray &v_oName, const QByteArray &v_oValue, int v_iMaxAge,
               const QByteArray &v_oPath = QByteArray(), const QByteArray &v_oComment = QByteArray(),
               const QByteArray &v_oDomain = QByteArray(), bool v_bSecure = false,
               bool v_bHttpOnly = false);

    QByteArray getName() const { return m_oName; }
    QByteArray getValue() const { return m_oValue; }

    /// Value of a Set-Cookie header line. Attributes are written unquoted and unescaped.
    QByteArray toHeaderValue() const;

    /// Splits a Cookie header value at ';' outside double quotes; quotes are dropped,
    /// parts trimmed, empty parts skipped.
    static QList<QByteArray> splitCookieList(const QByteArray &v_oText);

private:
    QByteArray m_oName;
    QByteArray m_oValue;
    QByteArray m_oComment;
    QByteArray m_oDomain;
    qint32 m_iMaxAge = 0;
    QByteArray m_oPath;
    bool m_bSecure = false;
    bool m_bHttpOnly = false;
    qint32 m_iVersion = 1;
};

} // namespace norrweb

#endif // NORRWEB_HTTPCOOKIE_H
