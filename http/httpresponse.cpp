#include "httpresponse.h"

#include <QAbstractSocket>
#include <QIODevice>

namespace norrweb {

namespace {
// Above this many unsent bytes in the socket, sendRaw waits before writing more.
constexpr qint64 kMaxBufferedBytes = 16384;
} // namespace

HttpResponse::HttpResponse(QIODevice *v_poSocket, HttpConnectionInfo *v_poConnection)
    : m_poSocket(v_poSocket)
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
    QByteArray oBlock("HTTP/1.1 ");
    oBlock.append(QByteArray::number(m_iStatusCode)).append(' ').append(m_oStatusText).append("\r\n");
    for (auto it = m_oHeaders.constBegin(); it != m_oHeaders.constEnd(); ++it)
        oBlock.append(it.key()).append(": ").append(it.value()).append("\r\n");
    for (const HttpCookie &oCookie : qAsConst(m_oCookies))
        oBlock.append("Set-Cookie: ").append(oCookie.toHeaderValue()).append("\r\n");
    oBlock.append("\r\n");
    sendRaw(oBlock);
    flushSocket();
    m_bSentHeaders = true;
}

bool HttpResponse::sendRaw(const QByteArray &v_oData)
{
    if (!m_poSocket)
        return true;
    QAbstractSocket *const poSocket = qobject_cast<QAbstractSocket *>(m_poSocket);
    qint64 iOffset = 0;
    while (m_poSocket->isOpen() && iOffset < v_oData.size()) {
        if (poSocket && poSocket->bytesToWrite() > kMaxBufferedBytes) {
            // Blocks the calling thread without a time limit; returns early only
            // when the connection fails or closes.
            if (!poSocket->waitForBytesWritten(-1)) {
                if (!m_poSocket->isOpen())
                    break;
                if (poSocket->state() != QAbstractSocket::ConnectedState)
                    return false;
            }
        }
        const qint64 iWritten = m_poSocket->write(v_oData.constData() + iOffset, v_oData.size() - iOffset);
        if (iWritten == -1)
            return false;
        iOffset += iWritten;
    }
    return true;
}

void HttpResponse::flushSocket()
{
    if (QAbstractSocket *poSocket = qobject_cast<QAbstractSocket *>(m_poSocket))
        poSocket->flush();
}

void HttpResponse::write(const QByteArray &v_oData, bool v_bLastPart)
{
    if (!m_bSentHeaders) {
        if (v_bLastPart) {
            m_oHeaders.insert("Content-Length", QByteArray::number(v_oData.size()));
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
        flushSocket();
        m_bSentLastPart = true;
    }
}

} // namespace norrweb
