#include "httpresponse.h"

#include <charconv>
#include <cstring>

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

void HttpResponse::writeHeaders(int v_iBodySize)
{
    // Straight into the output: the header block is its first part.
    // Sized first and then copied in, without an append call per piece; room
    // for a body given whole is made at the same time.
    QByteArray oDropped;
    QByteArray &oBlock = m_poOut ? *m_poOut : oDropped;
    char aStatus[16];
    const auto oDigits = std::to_chars(aStatus, aStatus + sizeof aStatus, m_iStatusCode);
    const int iStatusSize = int(oDigits.ptr - aStatus);
    int iSize = 9 + iStatusSize + 1 + m_oStatusText.size() + 2 + 2;
    for (auto it = m_oHeaders.constBegin(); it != m_oHeaders.constEnd(); ++it)
        iSize += it.key().size() + 2 + it.value().size() + 2;
    const int iStart = oBlock.size();
    oBlock.reserve(iStart + iSize + v_iBodySize);
    oBlock.resize(iStart + iSize);
    char *pOut = oBlock.data() + iStart;
    auto put = [&pOut](const char *v_pData, int v_iSize) {
        std::memcpy(pOut, v_pData, size_t(v_iSize));
        pOut += v_iSize;
    };
    put("HTTP/1.1 ", 9);
    put(aStatus, iStatusSize);
    put(" ", 1);
    put(m_oStatusText.constData(), m_oStatusText.size());
    put("\r\n", 2);
    for (auto it = m_oHeaders.constBegin(); it != m_oHeaders.constEnd(); ++it) {
        put(it.key().constData(), it.key().size());
        put(": ", 2);
        put(it.value().constData(), it.value().size());
        put("\r\n", 2);
    }
    if (!m_oCookies.isEmpty()) {
        // Rare: the block's end is written after them.
        oBlock.chop(2);
        for (const HttpCookie &oCookie : qAsConst(m_oCookies))
            oBlock.append("Set-Cookie: ").append(oCookie.toHeaderValue()).append("\r\n");
        oBlock.append("\r\n");
    } else {
        put("\r\n", 2);
    }
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
        if (v_bLastPart && m_poBody && v_oData.size() >= kSeparateBodyMin) {
            // A large body is not copied behind the header block: a signed
            // document's reply is megabytes, fresh pages each time.
            m_oHeaders.insert(QByteArrayLiteral("Content-Length"), QByteArray::number(v_oData.size()));
            writeHeaders(0);
            *m_poBody = v_oData;
            m_bSentLastPart = true;
            return;
        }
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
        writeHeaders(v_bLastPart ? v_oData.size() : 0);
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
