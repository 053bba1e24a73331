#include "httpresponse.h"

namespace norrweb {

HttpResponse::HttpResponse(QByteArray *v_poOut, HttpConnectionInfo *v_poConnection)
    : m_poOut(v_poOut)
    , m_poConnection(v_poConnection)
{
}

void HttpResponse::setHeader(const QByteArray &v_oName, const QByteArray &v_oValue)
{
    m_oHeaders.insert(v_oName, v_oValue);
}

void HttpResponse::setStatus(int v_iStatusCode, const QByteArray &v_oDescription)
{
    m_iStatusCode = v_iStatusCode;
    m_oStatusText = v_oDescription;
}

void HttpResponse::setCookie(const HttpCookie &v_oCookie)
{
    if (!v_oCookie.getName().isEmpty())
        m_oCookies.insert(v_oCookie.getName(), v_oCookie);
}

void HttpResponse::writeHeaders()
{
    // Straight into the output: the header block is its first part.
    QByteArray oDropped;
    QByteArray &oBlock = m_poOut ? *m_poOut : oDropped;
    oBlock.append("HTTP/1.1 ").append(QByteArray::number(m_iStatusCode)).append(' ').append(m_oStatusText).append("\r\n");
    for (auto it = m_oHeaders.constBegin(); it != m_oHeaders.constEnd(); ++it)
        oBlock.append(it.key()).append(": ").append(it.value()).append("\r\n");
    for (const HttpCookie &oCookie : qAsConst(m_oCookies))
        oBlock.append("Set-Cookie: ").append(oCookie.toHeaderValue()).append("\r\n");
    oBlock.append("\r\n");
    m_bSentHeaders = true;
}

void HttpResponse::sendRaw(const QByteArray &v_oData)
{
    if (m_poOut)
        m_poOut->append(v_oData);
}

void HttpResponse::write(const QByteArray &v_oData, bool v_bLastPart)
{
    if (!m_bSentHeaders) {
        if (m_poOut) // one allocation for the header block and a body given whole
            m_poOut->reserve(m_poOut->size() + 512 + v_oData.size());
        if (v_bLastPart) {
            m_oHeaders.insert(QByteArrayLiteral("Content-Length"), QByteArray::number(v_oData.size()));
        } else {
            const QByteArray oConnection = m_oHeaders.contains("Connection")
                                               ? m_oHeaders.value("Connection")
                                               : m_oHeaders.value("connection");
            if (oConnection.compare("close", Qt::CaseInsensitive) != 0) {
                m_oHeaders.insert("Transfer-Encoding", "chunked");
                m_bChunkedMode = true;
            }
        }
        writeHeaders();
    }

    if (!v_oData.isEmpty()) {
        if (m_bChunkedMode) {
            sendRaw(QByteArray::number(v_oData.size(), 16));
            sendRaw("\r\n");
            sendRaw(v_oData);
            sendRaw("\r\n");
        } else {
            sendRaw(v_oData);
        }
    }

    if (v_bLastPart) {
        if (m_bChunkedMode)
            sendRaw("0\r\n\r\n");
        m_bSentLastPart = true;
    }
}

} // namespace norrweb
