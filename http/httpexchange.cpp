#include "httpexchange.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "qtxlogger.h"

#include <cstring>
#include <utility>

namespace norrweb {

namespace {

const char kEntityTooLarge[] = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
const char kBadRequest[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 17\r\nConnection: close\r\n\r\n400 Bad Request\r\n";
const char kNotImplemented[] =
    "HTTP/1.1 501 Not Implemented\r\nContent-Length: 21\r\nConnection: close\r\n\r\n501 Not Implemented\r\n";
const char kUnavailable[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 25\r\nConnection: close\r\n\r\n503 Service Unavailable\r\n";
const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

const char kReadFunc[] = "CSslConnectionHandler::read";

} // namespace

// One spare input buffer per thread: a connection that has read everything
// leaves its buffer here and the next connection to read on that thread takes
// it, so that a keep-alive request does not allocate and free 16 KB each time,
// while an idle connection still holds no buffer.
static thread_local QByteArray t_spareInput;
static constexpr int kSpareInputMax = 64 * 1024;
// The same for replies: the buffer of one that went out whole builds the next
// one on that thread.
static thread_local QByteArray t_spareOutput;
static constexpr int kSpareOutputMax = 16 * 1024;

bool HttpInputBuffer::canReadLine() const
{
    return m_iPos < m_iSize && std::memchr(m_oData.constData() + m_iPos, '\n', size_t(m_iSize - m_iPos)) != nullptr;
}

char *HttpInputBuffer::reserve(int v_iBytes)
{
    if (m_iPos == m_iSize) {
        // Everything was read: start over at the front.
        m_iPos = m_iSize = 0;
        if (m_oData.capacity() == 0 && t_spareInput.capacity() != 0)
            m_oData.swap(t_spareInput);
    } else if (m_iPos > 0 && m_iPos >= m_iSize / 2) {
        compact();
    }
    // Reserved rather than only resized: QByteArray keeps a reserved capacity
    // when it shrinks (commit(), even to nothing) instead of freeing it.
    if (m_oData.capacity() < m_iSize + v_iBytes)
        m_oData.reserve(qMax(m_iSize + v_iBytes, 2 * m_oData.capacity()));
    m_oData.resize(m_iSize + v_iBytes);
    return m_oData.data() + m_iSize;
}

void HttpInputBuffer::compact()
{
    if (m_iPos == 0)
        return;
    m_oData.remove(0, m_iPos);
    m_iSize -= m_iPos;
    m_iPos = 0;
    if (m_iSize == 0) {
        // An idle connection keeps no buffer; its thread keeps one spare.
        if (t_spareInput.capacity() == 0 && m_oData.capacity() <= kSpareInputMax)
            m_oData.swap(t_spareInput);
        m_oData = QByteArray();
    }
}

qint64 HttpInputBuffer::readData(char *v_pData, qint64 v_iMax)
{
    const int iCount = int(qMin<qint64>(v_iMax, m_iSize - m_iPos));
    if (iCount <= 0)
        return 0;
    std::memcpy(v_pData, m_oData.constData() + m_iPos, size_t(iCount));
    m_iPos += iCount;
    return iCount;
}

qint64 HttpInputBuffer::readLineData(char *v_pData, qint64 v_iMax)
{
    // Up to and including the first line feed, at most v_iMax bytes.
    const int iAvailable = int(qMin<qint64>(v_iMax, m_iSize - m_iPos));
    if (iAvailable <= 0)
        return 0;
    const char *pStart = m_oData.constData() + m_iPos;
    const void *pFeed = std::memchr(pStart, '\n', size_t(iAvailable));
    const int iCount = pFeed ? int(static_cast<const char *>(pFeed) - pStart) + 1 : iAvailable;
    std::memcpy(v_pData, pStart, size_t(iCount));
    m_iPos += iCount;
    return iCount;
}

HttpExchange::HttpExchange(const Limits &v_oLimits, const HttpConnectionInfo &v_oInfo)
    : m_oLimits(v_oLimits)
    , m_oInfo(v_oInfo)
{
}

HttpExchange::~HttpExchange() = default;

HttpExchange::Event HttpExchange::parse()
{
    while (m_oInput.bytesAvailable() > 0) {
        if (!m_poRequest) {
            m_poRequest.reset(new HttpRequest(m_oLimits));
            m_poRequest->setDocumentLimit(&m_oLimits.documentPaths, m_oLimits.maxDocumentSize);
            m_poRequest->setPeerAddress(m_oInfo.peerAddress);
            m_bContinueSent = false;
        }
        HttpRequest &oRequest = *m_poRequest;
        const qint64 iBefore = m_oInput.bytesAvailable();
        const HttpRequest::RequestState eBefore = oRequest.getState();
        oRequest.consumeAvailable(&m_oInput);
        const HttpRequest::RequestState eState = oRequest.getState();
        if (eState == HttpRequest::Aborted) {
            refuse(int(oRequest.getAbortReason()));
            return Refused;
        }
        if (eState == HttpRequest::Complete) {
            QTX_LOG(QTXLogger::Instance(), INFO, kReadFunc) << "received complete request";
            m_oInput.compact();
            return RequestReady;
        }
        if (eState == HttpRequest::AwaitingBody && !m_bContinueSent && m_oInput.bytesAvailable() == 0
            && oRequest.getHeader(QByteArrayLiteral("expect")).compare("100-continue", Qt::CaseInsensitive) == 0) {
            // The client waits for this before it sends the body (unless the body
            // is on its way already).
            m_bContinueSent = true;
            queue(kContinue, sizeof kContinue - 1);
        }
        if (m_oInput.bytesAvailable() == iBefore && eState == eBefore)
            break; // a line is incomplete: wait for more bytes
    }
    m_oInput.compact();
    return NeedInput;
}

void HttpExchange::refuse(int v_iReason)
{
    const char *pText = kEntityTooLarge;
    size_t uLength = sizeof kEntityTooLarge - 1;
    switch (v_iReason) {
    case HttpRequest::BadFraming:
        QTX_LOG(QTXLogger::Instance(), WARN, kReadFunc) << "HTTP/1.1 400 bad request - Connection: close";
        pText = kBadRequest;
        uLength = sizeof kBadRequest - 1;
        break;
    case HttpRequest::UnsupportedFraming:
        QTX_LOG(QTXLogger::Instance(), WARN, kReadFunc) << "HTTP/1.1 501 not implemented - Connection: close";
        pText = kNotImplemented;
        uLength = sizeof kNotImplemented - 1;
        break;
    case HttpRequest::NoTemporaryFile:
        QTX_LOG(QTXLogger::Instance(), WARN, kReadFunc) << "HTTP/1.1 503 service unavailable - Connection: close";
        pText = kUnavailable;
        uLength = sizeof kUnavailable - 1;
        break;
    default:
        QTX_LOG(QTXLogger::Instance(), WARN, kReadFunc) << "HTTP/1.1 413 entity too large - Connection: close";
        break;
    }
    m_poRequest.reset();
    queue(pText, int(uLength));
    m_bCloseAfterOutput = true;
}

QByteArray HttpExchange::respond(HttpRequestHandler &v_oHandler, bool &v_bClose)
{
    HttpRequest &oRequest = *m_poRequest;
    // HTTP/1.1 keeps the connection unless the client says otherwise; HTTP/1.0
    // only when it asks for it.
    const QByteArray oConnection = oRequest.getHeader(QByteArrayLiteral("connection"));
    v_bClose = oConnection.compare("close", Qt::CaseInsensitive) == 0
               || (oRequest.getVersion() == "HTTP/1.0" && oConnection.compare("keep-alive", Qt::CaseInsensitive) != 0);
    // The buffer of a reply this thread sent whole holds this one.
    QByteArray oReply;
    oReply.swap(t_spareOutput);
    m_oReplyBody.clear();
    {
        HttpResponse oResponse(&oReply, &m_oInfo);
        oResponse.setSeparateBody(&m_oReplyBody);
        // A reply after which the server closes says so, or the client would
        // send its next request into the closing connection.
        if (v_bClose)
            oResponse.setHeader("Connection", "close");
        try {
            v_oHandler.service(oRequest, oResponse);
        } catch (...) {
            QTX_LOG(QTXLogger::Instance(), ERROR, kReadFunc) << "An uncatched exception occurred in the request handler";
        }
        if (!oResponse.isLastPartSent())
            oResponse.write(QByteArray(), true);
    }
    QTX_LOG(QTXLogger::Instance(), NOTICE, kReadFunc) << "request processed";
    return oReply;
}

void HttpExchange::reply(QByteArray v_oReply, bool v_bClose)
{
    m_poRequest.reset();
    if (blockPending()) {
        // An interim 100 Continue is still partly unsent: the reply goes after it,
        // or the client would read the rest of one inside the other.
        m_oOutput.remove(0, m_iOutputPos);
        m_oOutput.append(v_oReply);
    } else {
        m_oOutput = std::move(v_oReply);
    }
    m_iOutputPos = 0;
    // A large body respond() kept aside goes out after the block, from its own buffer.
    m_oOutputBody = std::exchange(m_oReplyBody, QByteArray());
    m_iOutputBodyPos = 0;
    m_bCloseAfterOutput = v_bClose;
}

void HttpExchange::abandon()
{
    m_poRequest.reset();
    m_oReplyBody.clear();
}

const char *HttpExchange::outputData() const
{
    return blockPending() ? m_oOutput.constData() + m_iOutputPos : m_oOutputBody.constData() + m_iOutputBodyPos;
}

int HttpExchange::outputSize() const
{
    return blockPending() ? m_oOutput.size() - m_iOutputPos : m_oOutputBody.size() - m_iOutputBodyPos;
}

void HttpExchange::queue(const char *v_pData, int v_iSize)
{
    // sent() empties the buffer once everything went out, so appending keeps the order.
    if (m_iOutputBodyPos < m_oOutputBody.size()) {
        // Behind a large body still on its way (the I/O thread queues nothing
        // before a reply is out; kept in order all the same): one buffer again.
        m_oOutput.remove(0, m_iOutputPos);
        m_oOutput.append(m_oOutputBody.constData() + m_iOutputBodyPos, m_oOutputBody.size() - m_iOutputBodyPos);
        m_iOutputPos = 0;
        m_oOutputBody.clear();
        m_iOutputBodyPos = 0;
    }
    m_oOutput.append(v_pData, v_iSize);
}

void HttpExchange::sent(int v_iBytes)
{
    if (!blockPending() && !m_oOutputBody.isEmpty()) {
        // The block went out before; these bytes were the body's.
        m_iOutputBodyPos += v_iBytes;
        if (m_iOutputBodyPos >= m_oOutputBody.size()) {
            m_oOutputBody.clear();
            m_iOutputBodyPos = 0;
        }
        return;
    }
    m_iOutputPos += v_iBytes;
    if (m_iOutputPos >= m_oOutput.size()) {
        // A reply's buffer of an ordinary size (reserved, so resize keeps it) is
        // kept for the next reply this thread builds; a large one is given back.
        if (m_oOutput.capacity() <= kSpareOutputMax && t_spareOutput.capacity() == 0) {
            m_oOutput.resize(0);
            m_oOutput.swap(t_spareOutput);
        }
        m_oOutput.clear();
        m_iOutputPos = 0;
    }
}

} // namespace norrweb
