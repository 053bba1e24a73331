#include "httpresponsereader.h"

#include <cstring>

namespace norrweb {

namespace {

// Enough for any reply this project reads; more fields only cost the sorted
// inserts time a hostile peer could pick.
constexpr int kMaxFields = 100;
// Hex digits of a chunk size: 8 reach 4 GiB, far past any limit.
constexpr int kMaxChunkDigits = 8;

bool isTokenByte(char v_cByte)
{
    const unsigned char c = static_cast<unsigned char>(v_cByte);
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
           || (c > 0x20 && c < 0x7f && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isBlank(char v_cByte) { return v_cByte == ' ' || v_cByte == '\t'; }

int hexValue(char v_cByte)
{
    if (v_cByte >= '0' && v_cByte <= '9')
        return v_cByte - '0';
    if (v_cByte >= 'a' && v_cByte <= 'f')
        return v_cByte - 'a' + 10;
    if (v_cByte >= 'A' && v_cByte <= 'F')
        return v_cByte - 'A' + 10;
    return -1;
}

QByteArray trimmedBlanks(const QByteArray &v_oValue)
{
    int iBegin = 0, iEnd = v_oValue.size();
    while (iBegin < iEnd && isBlank(v_oValue.at(iBegin)))
        ++iBegin;
    while (iEnd > iBegin && isBlank(v_oValue.at(iEnd - 1)))
        --iEnd;
    return v_oValue.mid(iBegin, iEnd - iBegin);
}

} // namespace

HttpResponseReader::HttpResponseReader(const HttpLimits &v_oLimits) : m_iLimit(qMax(0, v_oLimits.maxRequestSize)) {}

HttpResponseReader::State HttpResponseReader::feed(const char *v_pData, int v_iSize)
{
    if (m_eState != Reading || v_iSize <= 0)
        return m_eState;
    m_oPending.append(v_pData, v_iSize);
    parse();
    if (m_eState != Reading) {
        m_oPending.clear();
        m_iOffset = 0;
    } else if (m_iOffset > 0) {
        m_oPending.remove(0, m_iOffset);
        m_iOffset = 0;
    }
    return m_eState;
}

HttpResponseReader::State HttpResponseReader::finish()
{
    if (m_eState != Reading)
        return m_eState;
    if (m_ePhase == BodyToClose)
        complete();
    else
        fail(Truncated, "the connection ended before the reply did");
    return m_eState;
}

void HttpResponseReader::parse()
{
    QByteArray oLine;
    while (m_eState == Reading && m_iOffset < m_oPending.size()) {
        switch (m_ePhase) {
        case StatusLine:
            if (!takeLine(oLine))
                return;
            readStatusLine(oLine);
            break;
        case Headers:
            if (!takeLine(oLine))
                return;
            readHeaderLine(oLine);
            break;
        case FixedBody:
            takeBody(m_llRemaining);
            if (m_eState == Reading && m_llRemaining == 0)
                complete();
            break;
        case ChunkSize:
            if (!takeLine(oLine))
                return;
            readChunkSize(oLine);
            break;
        case ChunkData:
            takeBody(m_llRemaining);
            if (m_llRemaining == 0)
                m_ePhase = ChunkEnd;
            break;
        case ChunkEnd:
            if (!takeLine(oLine))
                return;
            if (!oLine.isEmpty())
                fail(Malformed, "a chunk longer than its size");
            m_ePhase = ChunkSize;
            break;
        case Trailers:
            if (!takeLine(oLine))
                return;
            if (oLine.isEmpty())
                complete();
            break;
        case BodyToClose:
            takeBody(m_oPending.size() - m_iOffset);
            break;
        case Done:
            return;
        }
    }
}

// A line ending in LF (a CR before it is dropped), counted against the limit;
// false while its end has not arrived.
bool HttpResponseReader::takeLine(QByteArray &v_oLine)
{
    const qint64 llRoom = m_iLimit - m_llTaken;
    const int iEnd = m_oPending.indexOf('\n', m_iOffset);
    if (iEnd < 0) {
        if (m_oPending.size() - m_iOffset > llRoom)
            fail(TooLarge, "a line past the size limit");
        return false;
    }
    const int iLength = iEnd + 1 - m_iOffset;
    if (iLength > llRoom) {
        fail(TooLarge, "a line past the size limit");
        return false;
    }
    m_llTaken += iLength;
    int iSize = iLength - 1;
    if (iSize > 0 && m_oPending.at(m_iOffset + iSize - 1) == '\r')
        --iSize;
    v_oLine = m_oPending.mid(m_iOffset, iSize);
    m_iOffset = iEnd + 1;
    for (const char c : qAsConst(v_oLine)) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
            fail(Malformed, "a control byte in a line");
            return false;
        }
    }
    return true;
}

void HttpResponseReader::readStatusLine(const QByteArray &v_oLine)
{
    // HTTP/1.x SP 3DIGIT [SP reason]
    const bool bVersion = v_oLine.startsWith("HTTP/1.1 ") || v_oLine.startsWith("HTTP/1.0 ");
    const int iCode = 9;
    if (!bVersion || v_oLine.size() < iCode + 3 || (v_oLine.size() > iCode + 3 && v_oLine.at(iCode + 3) != ' ')) {
        fail(Malformed, "a malformed status line");
        return;
    }
    int iStatus = 0;
    for (int i = iCode; i < iCode + 3; ++i) {
        const char c = v_oLine.at(i);
        if (c < '0' || c > '9') {
            fail(Malformed, "a malformed status line");
            return;
        }
        iStatus = iStatus * 10 + (c - '0');
    }
    if (iStatus < 100) {
        fail(Malformed, "a malformed status line");
        return;
    }
    m_iStatus = iStatus;
    m_oHeaders = HttpFields();
    m_ePhase = Headers;
}

void HttpResponseReader::readHeaderLine(const QByteArray &v_oLine)
{
    if (v_oLine.isEmpty()) {
        startBody();
        return;
    }
    // A folded line could hide a framing field from one reader and not another.
    if (isBlank(v_oLine.at(0))) {
        fail(Malformed, "a folded header line");
        return;
    }
    const int iColon = v_oLine.indexOf(':');
    if (iColon <= 0) {
        fail(Malformed, "a malformed header line");
        return;
    }
    for (int i = 0; i < iColon; ++i) {
        if (!isTokenByte(v_oLine.at(i))) {
            fail(Malformed, "a malformed header name");
            return;
        }
    }
    if (m_oHeaders.size() >= kMaxFields) {
        fail(TooLarge, "too many header fields");
        return;
    }
    const QByteArray oName = v_oLine.left(iColon).toLower();
    if ((oName == "content-length" || oName == "transfer-encoding") && m_oHeaders.contains(oName)) {
        fail(Malformed, "a repeated framing header");
        return;
    }
    m_oHeaders.insert(oName, trimmedBlanks(v_oLine.mid(iColon + 1)));
}

void HttpResponseReader::startBody()
{
    if (m_iStatus < 200) {
        // 101 would hand the connection to another protocol.
        if (m_iStatus == 101) {
            fail(UnsupportedFraming, "a protocol switch");
            return;
        }
        m_ePhase = StatusLine;
        return;
    }
    const QByteArray oCoding = m_oHeaders.value("transfer-encoding");
    const QByteArray oLength = m_oHeaders.value("content-length");
    if (!oCoding.isNull() && !oLength.isNull()) {
        fail(Malformed, "both Content-Length and Transfer-Encoding");
        return;
    }
    if (m_iStatus == 204 || m_iStatus == 304) {
        complete();
        return;
    }
    if (!oCoding.isNull()) {
        if (oCoding.toLower() != "chunked") {
            fail(UnsupportedFraming, "a transfer coding other than chunked");
            return;
        }
        m_ePhase = ChunkSize;
        return;
    }
    if (oLength.isNull()) {
        m_ePhase = BodyToClose;
        return;
    }
    qint64 llLength = 0;
    if (oLength.isEmpty() || oLength.size() > 18) {
        fail(Malformed, "an invalid Content-Length");
        return;
    }
    for (const char c : oLength) {
        if (c < '0' || c > '9') {
            fail(Malformed, "an invalid Content-Length");
            return;
        }
        llLength = llLength * 10 + (c - '0');
    }
    if (llLength > m_iLimit - m_llTaken) {
        fail(TooLarge, "a body past the size limit");
        return;
    }
    m_llRemaining = llLength;
    m_ePhase = FixedBody;
    if (llLength == 0)
        complete();
}

void HttpResponseReader::readChunkSize(const QByteArray &v_oLine)
{
    qint64 llSize = 0;
    int i = 0;
    for (; i < v_oLine.size() && hexValue(v_oLine.at(i)) >= 0; ++i) {
        if (i == kMaxChunkDigits) {
            fail(TooLarge, "a chunk past the size limit");
            return;
        }
        llSize = llSize * 16 + hexValue(v_oLine.at(i));
    }
    // Extensions after ';' are allowed and ignored.
    if (i == 0 || (i < v_oLine.size() && v_oLine.at(i) != ';' && !isBlank(v_oLine.at(i)))) {
        fail(Malformed, "a malformed chunk size");
        return;
    }
    if (llSize > m_iLimit - m_llTaken) {
        fail(TooLarge, "a chunk past the size limit");
        return;
    }
    m_llRemaining = llSize;
    m_ePhase = llSize == 0 ? Trailers : ChunkData;
}

void HttpResponseReader::takeBody(qint64 v_llMax)
{
    const int iTake = int(qMin<qint64>(v_llMax, m_oPending.size() - m_iOffset));
    if (iTake > m_iLimit - m_llTaken) {
        fail(TooLarge, "a body past the size limit");
        return;
    }
    m_oBody.append(m_oPending.constData() + m_iOffset, iTake);
    m_iOffset += iTake;
    m_llTaken += iTake;
    m_llRemaining -= iTake;
}

void HttpResponseReader::fail(Error v_eError, const char *v_pText)
{
    m_eState = Failed;
    m_eError = v_eError;
    m_pErrorText = v_pText;
    m_ePhase = Done;
    m_iStatus = 0;
    m_oHeaders = HttpFields();
    m_oBody.clear();
}

void HttpResponseReader::complete()
{
    m_eState = Complete;
    m_ePhase = Done;
}

} // namespace norrweb
