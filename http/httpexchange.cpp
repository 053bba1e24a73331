#include "httpexchange.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "qtxlogger.h"

#include <cstring>

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
    return m_pos < m_size && std::memchr(m_data.constData() + m_pos, '\n', size_t(m_size - m_pos)) != nullptr;
}

char *HttpInputBuffer::reserve(int v_iBytes)
{
    if (m_pos == m_size) {
        // Everything was read: start over at the front.
        m_pos = m_size = 0;
        if (m_data.capacity() == 0 && t_spareInput.capacity() != 0)
            m_data.swap(t_spareInput);
    } else if (m_pos > 0 && m_pos >= m_size / 2) {
        compact();
    }
    // Reserved rather than only resized: QByteArray keeps a reserved capacity
    // when it shrinks (commit(), even to nothing) instead of freeing it.
    if (m_data.capacity() < m_size + v_iBytes)
        m_data.reserve(qMax(m_size + v_iBytes, 2 * m_data.capacity()));
    m_data.resize(m_size + v_iBytes);
    return m_data.data() + m_size;
}

void HttpInputBuffer::compact()
{
    if (m_pos == 0)
        return;
    m_data.remove(0, m_pos);
    m_size -= m_pos;
    m_pos = 0;
    if (m_size == 0) {
        // An idle connection keeps no buffer; its thread keeps one spare.
        if (t_spareInput.capacity() == 0 && m_data.capacity() <= kSpareInputMax)
            m_data.swap(t_spareInput);
        m_data = QByteArray();
    }
}

qint64 HttpInputBuffer::readData(char *v_pData, qint64 v_iMax)
{
    const int iCount = int(qMin<qint64>(v_iMax, m_size - m_pos));
    if (iCount <= 0)
        return 0;
    std::memcpy(v_pData, m_data.constData() + m_pos, size_t(iCount));
    m_pos += iCount;
    return iCount;
}

qint64 HttpInputBuffer::readLineData(char *v_pData, qint64 v_iMax)
{
    // Up to and including the first line feed, at most v_iMax bytes.
    const int iAvailable = int(qMin<qint64>(v_iMax, m_size - m_pos));
    if (iAvailable <= 0)
        return 0;
    const char *pStart = m_data.constData() + m_pos;
    const void *pFeed = std::memchr(pStart, '\n', size_t(iAvailable));
    const int iCount = pFeed ? int(static_cast<const char *>(pFeed) - pStart) + 1 : iAvailable;
    std::memcpy(v_pData, pStart, size_t(iCount));
    m_pos += iCount;
    return iCount;
}

HttpExchange::HttpExchange(const Limits &v_oLimits, const HttpConnectionInfo &v_oInfo)
    : m_limits(v_oLimits)
    , m_info(v_oInfo)
{
}

HttpExchange::~HttpExchange() = default;

HttpExchange::Event HttpExchange::parse()
{
    while (m_input.bytesAvailable() > 0) {
        if (!m_request) {
            m_request.reset(new HttpRequest(m_limits));
            m_request->setDocumentLimit(&m_limits.documentPaths, m_limits.maxDocumentSize);
            m_request->setPeerAddress(m_info.peerAddress);
            m_continueSent = false;
        }
        HttpRequest &oRequest = *m_request;
        const qint64 iBefore = m_input.bytesAvailable();
        const HttpRequest::RequestState eBefore = oRequest.getState();
        oRequest.consumeAvailable(&m_input);
        const HttpRequest::RequestState eState = oRequest.getState();
        if (eState == HttpRequest::Aborted) {
            refuse(int(oRequest.getAbortReason()));
            return Refused;
        }
        if (eState == HttpRequest::Complete) {
            QTX_LOG(QTXLogger::Instance(), INFO, kReadFunc) << "received complete request";
            m_input.compact();
            return RequestReady;
        }
        if (eState == HttpRequest::AwaitingBody && !m_continueSent && m_input.bytesAvailable() == 0
            && oRequest.getHeader(QByteArrayLiteral("expect")).compare("100-continue", Qt::CaseInsensitive) == 0) {
            // The client waits for this before it sends the body (unless the body
            // is on its way already).
            m_continueSent = true;
            queue(kContinue, sizeof kContinue - 1);
        }
        if (m_input.bytesAvailable() == iBefore && eState == eBefore)
            break; // a line is incomplete: wait for more bytes
    }
    m_input.compact();
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
    m_request.reset();
    queue(pText, int(uLength));
    m_closeAfterOutput = true;
}

QByteArray HttpExchange::respond(HttpRequestHandler &v_oHandler, bool &v_bClose)
{
    HttpRequest &oRequest = *m_request;
    // HTTP/1.1 keeps the connection unless the client says otherwise; HTTP/1.0
    // only when it asks for it.
    const QByteArray oConnection = oRequest.getHeader(QByteArrayLiteral("connection"));
    v_bClose = oConnection.compare("close", Qt::CaseInsensitive) == 0
               || (oRequest.getVersion() == "HTTP/1.0" && oConnection.compare("keep-alive", Qt::CaseInsensitive) != 0);
    // The buffer of a reply this thread sent whole holds this one.
    QByteArray oReply;
    oReply.swap(t_spareOutput);
    {
        HttpResponse oResponse(&oReply, &m_info);
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
    m_request.reset();
    if (hasOutput()) {
        // An interim 100 Continue is still partly unsent: the reply goes after it,
        // or the client would read the rest of one inside the other.
        m_output.remove(0, m_outputPos);
        m_output.append(v_oReply);
    } else {
        m_output = std::move(v_oReply);
    }
    m_outputPos = 0;
    m_closeAfterOutput = v_bClose;
}

void HttpExchange::abandon()
{
    m_request.reset();
}

void HttpExchange::queue(const char *v_pData, int v_iSize)
{
    // sent() empties the buffer once everything went out, so appending keeps the order.
    m_output.append(v_pData, v_iSize);
}

void HttpExchange::sent(int v_iBytes)
{
    m_outputPos += v_iBytes;
    if (m_outputPos >= m_output.size()) {
        // A reply's buffer of an ordinary size (reserved, so resize keeps it) is
        // kept for the next reply this thread builds; a large one is given back.
        if (m_output.capacity() <= kSpareOutputMax && t_spareOutput.capacity() == 0) {
            m_output.resize(0);
            m_output.swap(t_spareOutput);
        }
        m_output.clear();
        m_outputPos = 0;
    }
}

} // namespace norrweb
