#include "httprequest.h"
#include "httprequest_p.h"
#include "httplogging.h"
#include "qtxlargebuffer.h"

#include <QAbstractSocket>
#include <QIODevice>
#include <QSettings>
#include <QTemporaryFile>
#include <QtGlobal>

#include <cstring>
#include <limits>

// The parser's state machine: the request line and the header block read line
// by line as bytes arrive, the framing checks, and a plain body. It runs on the
// connection's I/O thread for every request.

namespace norrweb {

using detail::kMultipartSlice;
using detail::readLineAtMost;

namespace {

// Bytes that may not appear in a request line or header line: controls other than
// the horizontal tab, and DEL. A bare carriage return is among them; the line's
// own CR LF is removed before the check.
bool hasForbiddenByte(const char *v_pLine, int v_iSize)
{
    for (int i = 0; i < v_iSize; ++i) {
        const unsigned char u = static_cast<unsigned char>(v_pLine[i]);
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            return true;
    }
    return false;
}

// A byte that may stand in a header name: letters, digits and !#$%&'*+-.^_`|~.
// Blanks, separators and bytes above 0x7f may not.
bool isTokenByte(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
        return true;
    default:
        return false;
    }
}

// The first v_iLength bytes at v_pData form a header name: at least one token byte
// and nothing else.
bool isHeaderName(const char *v_pData, int v_iLength)
{
    if (v_iLength <= 0)
        return false;
    for (int i = 0; i < v_iLength; ++i) {
        if (!isTokenByte(v_pData[i]))
            return false;
    }
    return true;
}

// Narrows [v_iBegin, v_iEnd) of v_pData to leave out leading and trailing white
// space, as QByteArray::trimmed() does.
void trimSpan(const char *v_pData, int &v_iBegin, int &v_iEnd)
{
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (v_iBegin < v_iEnd && isSpace(v_pData[v_iBegin]))
        ++v_iBegin;
    while (v_iEnd > v_iBegin && isSpace(v_pData[v_iEnd - 1]))
        --v_iEnd;
}

// The v_iSize bytes at v_pData from v_iFrom on, trimmed, copied once.
QByteArray trimmedPart(const char *v_pData, int v_iSize, int v_iFrom)
{
    int iEnd = v_iSize;
    trimSpan(v_pData, v_iFrom, iEnd);
    return QByteArray(v_pData + v_iFrom, iEnd - v_iFrom);
}

// Names most requests carry, as static data: a request's name that matches one
// costs no allocation. Lower case, as header names are kept.
const QByteArray kHeaderNames[] = {
    QByteArrayLiteral("host"), QByteArrayLiteral("content-length"), QByteArrayLiteral("content-type"),
    QByteArrayLiteral("x-qtx-sessionid"), QByteArrayLiteral("x-qtx-cmdid"), QByteArrayLiteral("origin"),
    QByteArrayLiteral("referer"), QByteArrayLiteral("user-agent"), QByteArrayLiteral("accept"),
    QByteArrayLiteral("accept-encoding"), QByteArrayLiteral("accept-language"), QByteArrayLiteral("connection"),
    QByteArrayLiteral("cookie"), QByteArrayLiteral("cache-control"), QByteArrayLiteral("pragma"),
    QByteArrayLiteral("priority"), QByteArrayLiteral("dnt"), QByteArrayLiteral("te"),
    QByteArrayLiteral("sec-fetch-site"), QByteArrayLiteral("sec-fetch-mode"), QByteArrayLiteral("sec-fetch-dest"),
    QByteArrayLiteral("sec-ch-ua"), QByteArrayLiteral("sec-ch-ua-mobile"), QByteArrayLiteral("sec-ch-ua-platform"),
    QByteArrayLiteral("access-control-request-method"), QByteArrayLiteral("access-control-request-headers"),
    QByteArrayLiteral("access-control-request-private-network"),
    QByteArrayLiteral("access-control-request-local-network"), QByteArrayLiteral("transfer-encoding"),
    QByteArrayLiteral("expect"),
};
const QByteArray kMethods[] = {
    QByteArrayLiteral("POST"), QByteArrayLiteral("GET"), QByteArrayLiteral("OPTIONS"), QByteArrayLiteral("HEAD"),
    QByteArrayLiteral("PUT"), QByteArrayLiteral("DELETE"), QByteArrayLiteral("PATCH"),
};

// The entry of v_aKnown equal to the v_iSize bytes at v_pData, else a copy of them.
template <std::size_t N>
QByteArray knownOr(const QByteArray (&v_aKnown)[N], const char *v_pData, int v_iSize)
{
    for (const QByteArray &oKnown : v_aKnown) {
        if (oKnown.size() == v_iSize && std::memcmp(oKnown.constData(), v_pData, size_t(v_iSize)) == 0)
            return oKnown;
    }
    return QByteArray(v_pData, v_iSize);
}

// A header name (token bytes only, so ASCII) in lower case.
QByteArray lowerCaseName(const char *v_pName, int v_iSize)
{
    char aLower[64];
    if (v_iSize > int(sizeof aLower)) // no known name is this long
        return QByteArray(v_pName, v_iSize).toLower();
    for (int i = 0; i < v_iSize; ++i) {
        const char c = v_pName[i];
        aLower[i] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    return knownOr(kHeaderNames, aLower, v_iSize);
}

// Strict decimal: digits only, at most INT32_MAX.
bool parseContentLength(const QByteArray &v_oValue, qint32 &v_iLength)
{
    if (v_oValue.isEmpty() || v_oValue.size() > 10)
        return false;
    qint64 iValue = 0;
    for (const char c : v_oValue) {
        if (c < '0' || c > '9')
            return false;
        iValue = iValue * 10 + (c - '0');
    }
    if (iValue > std::numeric_limits<qint32>::max())
        return false;
    v_iLength = qint32(iValue);
    return true;
}

} // namespace

namespace detail {

QByteArray readLineAtMost(QIODevice *v_poDevice, qint64 v_iMaxBytes)
{
    if (v_iMaxBytes <= 0)
        return QByteArray();
    // QIODevice::readLine(n) allocates n bytes before it reads (and returns at
    // most n - 1). Header lines are short and the bound is the request's size
    // limit, so a line is read on the stack first and costs one allocation of
    // its own size.
    char aShort[512];
    const qint64 iFirst = v_poDevice->readLine(aShort, qMin<qint64>(qint64(sizeof aShort), v_iMaxBytes + 1));
    if (iFirst <= 0)
        return QByteArray();
    QByteArray oLine(aShort, int(iFirst));
    if (aShort[iFirst - 1] == '\n' || iFirst >= v_iMaxBytes || iFirst < qint64(sizeof aShort) - 1)
        return oLine; // a whole line, the bound, or all there is for now
    oLine.append(v_poDevice->readLine(v_iMaxBytes - iFirst + 1));
    return oLine;
}

} // namespace detail

void HttpRequest::abort(AbortReason v_eReason)
{
    m_eState = Aborted;
    if (m_eAbortReason == NotAborted)
        m_eAbortReason = v_eReason;
}

HttpLimits HttpLimits::fromSettings(const QSettings *v_poSettings)
{
    HttpLimits oLimits;
    if (v_poSettings) {
        oLimits.maxRequestSize = v_poSettings->value(QStringLiteral("maxRequestSize"), QStringLiteral("16000")).toInt();
        oLimits.maxMultiPartSize =
            v_poSettings->value(QStringLiteral("maxMultiPartSize"), QStringLiteral("1000000")).toInt();
    }
    return oLimits;
}

HttpRequest::HttpRequest(const HttpLimits &v_oLimits)
    : m_iMaxSize(v_oLimits.maxRequestSize)
    , m_iMaxMultiPartSize(v_oLimits.maxMultiPartSize)
    , m_iMaxUploadedFiles(v_oLimits.maxUploadedFiles)
    , m_iMaxTemporaryFiles(v_oLimits.maxTemporaryFiles)
{
}

HttpRequest::~HttpRequest()
{
    // The uploads are views into the body: gone before it.
    m_oUploadedFiles.clear();
    if (m_pBodyMap)
        m_poTempFile->unmap(m_pBodyMap);
    releaseTemporaryFile(m_poTempFile);
}

void HttpRequest::addToCurrentSize(qint64 v_iBytes)
{
    // The limits are 32-bit; saturate instead of wrapping so the limit checks stay valid.
    const qint64 iSum = qint64(m_iCurrentSize) + v_iBytes;
    m_iCurrentSize = qint32(qBound<qint64>(std::numeric_limits<qint32>::min(), iSum,
                                           std::numeric_limits<qint32>::max()));
}

int HttpRequest::Line::indexOf(char v_cByte, int v_iFrom) const
{
    if (v_iFrom >= size)
        return -1;
    const void *pAt = std::memchr(data + v_iFrom, v_cByte, size_t(size - v_iFrom));
    return pAt ? int(static_cast<const char *>(pAt) - data) : -1;
}

bool HttpRequest::readLine(QIODevice *v_poSocket, Line &v_oLine, bool *v_pbFolded)
{
    if (m_bLineBufferDone) {
        m_oLineBuffer.clear();
        m_bLineBufferDone = false;
    }
    // At most one byte over the remaining allowance, so an overlong line trips the
    // size check without buffering more. Every byte is counted once, when it is read.
    const auto allowance = [this] { return qMin(qint64(m_iMaxSize) - m_iCurrentSize + 1, kMultipartSlice); };
    const qint64 iAllowance = allowance();
    if (iAllowance <= 0)
        return false;
    char *pLine = nullptr;
    int iEnd = 0;
    if (m_oLineBuffer.isEmpty()) {
        // Most lines arrive whole and short: read into the request's own buffer and
        // hand out a view of it, no allocation.
        const qint64 iRead = v_poSocket->readLine(m_aShortLine, qMin<qint64>(qint64(sizeof m_aShortLine), iAllowance + 1));
        if (iRead <= 0)
            return false;
        addToCurrentSize(iRead);
        if (m_aShortLine[iRead - 1] == '\n') {
            pLine = m_aShortLine;
            iEnd = int(iRead) - 1;
        } else {
            m_oLineBuffer = QByteArray(m_aShortLine, int(iRead));
            // The bound, or all there is for now.
            if (iRead >= iAllowance || iRead < qint64(sizeof m_aShortLine) - 1)
                return false;
        }
    }
    if (!pLine) {
        // Counted again: the short read above may have used part of the allowance.
        const QByteArray oChunk = readLineAtMost(v_poSocket, allowance());
        addToCurrentSize(oChunk.size());
        m_oLineBuffer.append(oChunk);
        // A line ends at its line feed only: a carriage return may arrive in one read
        // and its line feed in the next.
        if (!m_oLineBuffer.endsWith('\n'))
            return false;
        pLine = m_oLineBuffer.data(); // not shared: cut and trimmed below in place
        iEnd = m_oLineBuffer.size() - 1;
    }

    if (iEnd > 0 && pLine[iEnd - 1] == '\r')
        --iEnd;
    if (hasForbiddenByte(pLine, iEnd)) {
        qCWarning(lcHttp, "HttpRequest: received broken HTTP request, control character in a line");
        abort(BadFraming);
        m_oLineBuffer.clear();
        return false;
    }
    if (v_pbFolded)
        *v_pbFolded = iEnd > 0 && (pLine[0] == ' ' || pLine[0] == '\t');
    // Trimmed, and ended with a NUL for the debug line.
    int iBegin = 0;
    trimSpan(pLine, iBegin, iEnd);
    pLine[iEnd] = '\0';
    v_oLine.data = pLine + iBegin;
    v_oLine.size = iEnd - iBegin;
    m_bLineBufferDone = pLine != m_aShortLine;
    return true;
}

void HttpRequest::readRequestLine(QIODevice *v_poSocket)
{
    Line oLine;
    if (!readLine(v_poSocket, oLine) || oLine.isEmpty())
        return;

    if (const QAbstractSocket *poSocket = qobject_cast<QAbstractSocket *>(v_poSocket))
        m_oPeerAddress = poSocket->peerAddress();
    qCDebug(lcHttp, "HttpRequest: from %s: %s", qPrintable(getPeerAddress().toString()), oLine.data);

    // Exactly three words between two single spaces. Only the two versions this
    // parser implements; anything else would be read by its own rules elsewhere.
    const int iFirst = oLine.indexOf(' ');
    const int iSecond = iFirst < 0 ? -1 : oLine.indexOf(' ', iFirst + 1);
    // The version holds no space, so matching one also proves there are only two.
    auto versionIs = [&](const char (&v_aVersion)[9]) {
        return iSecond >= 0 && oLine.size - iSecond - 1 == 8 && std::memcmp(oLine.data + iSecond + 1, v_aVersion, 8) == 0;
    };
    const bool bVersion11 = versionIs("HTTP/1.1");
    if (!bVersion11 && !versionIs("HTTP/1.0")) {
        qCWarning(lcHttp, "HttpRequest: received broken HTTP request, invalid first line");
        abort(TooLarge);
        return;
    }
    // The line is trimmed and holds no controls but tabs: only tabs can trail the method.
    int iMethodEnd = iFirst;
    while (iMethodEnd > 0 && oLine.at(iMethodEnd - 1) == '\t')
        --iMethodEnd;
    m_oMethod = knownOr(kMethods, oLine.data, iMethodEnd);
    m_oPath = oLine.copy(iFirst + 1, iSecond - iFirst - 1);
    // Literal data: no copy per request.
    m_oVersion = bVersion11 ? QByteArrayLiteral("HTTP/1.1") : QByteArrayLiteral("HTTP/1.0");
    m_eState = AwaitingHeader;
}

namespace {

// Header names that decide where a request ends.
bool isFramingHeader(const QByteArray &v_oLowerName)
{
    return v_oLowerName == "content-length" || v_oLowerName == "transfer-encoding";
}

} // namespace

void HttpRequest::readHeader(QIODevice *v_poSocket)
{
    Line oLine;
    bool bFolded = false;
    if (!readLine(v_poSocket, oLine, &bFolded))
        return;

    if (bFolded) {
        // Only blanks: it ends the header block here, but a parser that keeps the
        // blanks takes the bytes after it as further headers.
        if (oLine.isEmpty()) {
            qCWarning(lcHttp, "HttpRequest: received broken HTTP request, header line of blanks only");
            abort(BadFraming);
            return;
        }
        // Nothing to continue yet: other parsers take the line as a header of its own.
        if (m_oCurrentHeader.isEmpty()) {
            qCWarning(lcHttp, "HttpRequest: received broken HTTP request, continuation line before the first header");
            abort(BadFraming);
            return;
        }
        // A continuation line is part of the value above it, whatever it holds. A
        // framing header continued, or a continuation that reads as a framing header
        // to a parser that does not fold, is refused at the end of the block.
        const int iColon = oLine.indexOf(':');
        if (isFramingHeader(m_oCurrentHeader)
            || (iColon > 0 && isFramingHeader(oLine.copy(0, iColon).trimmed().toLower())))
            m_bFramingError = true;
        // A further entry holding the whole value so far.
        m_oHeaders.insert(m_oCurrentHeader, m_oHeaders.value(m_oCurrentHeader) + ' ' + oLine.copy(0, oLine.size));
        return;
    }

    if (!oLine.isEmpty()) {
        const int iColon = oLine.indexOf(':');
        if (iColon < 0) {
            qCWarning(lcHttp, "HttpRequest: received broken HTTP request, header line without a colon");
            abort(BadFraming);
            return;
        }
        // The name runs up to the colon with no blank before it: "Host : x" is a
        // header named "Host " here and "Host" to more lenient parsers.
        if (!isHeaderName(oLine.data, iColon)) {
            qCWarning(lcHttp, "HttpRequest: received broken HTTP request, invalid header name");
            abort(BadFraming);
            return;
        }
        // Token bytes only, so lower case is ASCII lower case. Common names are
        // static data; the trimmed value is one copy.
        m_oCurrentHeader = lowerCaseName(oLine.data, iColon);
        // Two Hosts name two targets; which one counts depends on the reader.
        if (m_oCurrentHeader == "host" && m_oHeaders.contains(m_oCurrentHeader)) {
            qCWarning(lcHttp, "HttpRequest: received broken HTTP request, more than one Host header");
            abort(BadFraming);
            return;
        }
        m_oHeaders.insert(m_oCurrentHeader, trimmedPart(oLine.data, oLine.size, iColon + 1));
        return;
    }

    // Empty line: end of the header block.
    const QByteArray oContentType = m_oHeaders.value(QByteArrayLiteral("content-type"));
    if (oContentType.startsWith("multipart/form-data")) {
        const int iPos = oContentType.indexOf("boundary=");
        if (iPos >= 0) {
            m_oBoundary = oContentType.mid(iPos + 9);
            if (m_oBoundary.size() >= 2 && m_oBoundary.startsWith('"') && m_oBoundary.endsWith('"'))
                m_oBoundary = m_oBoundary.mid(1, m_oBoundary.size() - 2);
        }
    }
    checkFraming();
    if (m_eState == Aborted)
        return;
    if (m_oVersion == "HTTP/1.1" && !m_oHeaders.contains(QByteArrayLiteral("host"))) {
        qCWarning(lcHttp, "HttpRequest: received broken HTTP request, no Host header");
        abort(BadFraming);
        return;
    }

    applyDocumentLimit();
    if (m_eState == Aborted)
        return;
    if (m_iExpectedBodySize == 0) {
        m_eState = Complete;
    } else if (m_oBoundary.isEmpty()
               && qint64(m_iExpectedBodySize) + m_iCurrentSize > m_iMaxSize) {
        qCWarning(lcHttp, "HttpRequest: expected body is too large");
        abort(TooLarge);
    } else if (!m_oBoundary.isEmpty() && m_iExpectedBodySize > m_iMaxMultiPartSize) {
        qCWarning(lcHttp, "HttpRequest: expected multipart body is too large");
        abort(TooLarge);
    } else {
        m_eState = AwaitingBody;
    }
}

void HttpRequest::applyDocumentLimit()
{
    // Only a body over the ordinary limits looks at the path.
    const bool bOverOrdinary = m_oBoundary.isEmpty() ? qint64(m_iExpectedBodySize) + m_iCurrentSize > m_iMaxSize
                                                     : m_iExpectedBodySize >= m_iMaxMultiPartSize;
    if (!bOverOrdinary || !m_poDocumentPaths || m_poDocumentPaths->isEmpty())
        return;
    const int iQuery = m_oPath.indexOf('?');
    if (!m_poDocumentPaths->contains(percentDecode(iQuery < 0 ? m_oPath : m_oPath.left(iQuery))))
        return;
    if (m_iExpectedBodySize > m_iMaxDocumentSize) {
        qCWarning(lcHttp, "HttpRequest: expected document is too large");
        abort(TooLarge);
        return;
    }
    // This request's own limits, so that every later check passes the body
    // that Content-Length announced and nothing more.
    m_iMaxSize = qMax(m_iMaxSize, m_iCurrentSize + m_iMaxDocumentSize + 1);
    m_iMaxMultiPartSize = qMax(m_iMaxMultiPartSize, m_iCurrentSize + m_iMaxDocumentSize + 1);
}

void HttpRequest::checkFraming()
{
    // The body's length must be unambiguous: the bytes after it are the next
    // request on this connection. Transfer codings are not parsed here.
    if (m_oHeaders.contains(QByteArrayLiteral("transfer-encoding"))) {
        qCWarning(lcHttp, "HttpRequest: Transfer-Encoding is not supported");
        abort(UnsupportedFraming);
        return;
    }
    const int iLengths = m_oHeaders.count(QByteArrayLiteral("content-length"));
    if (m_bFramingError || iLengths > 1
        || (iLengths == 1 && !parseContentLength(m_oHeaders.value(QByteArrayLiteral("content-length")), m_iExpectedBodySize))) {
        qCWarning(lcHttp, "HttpRequest: received broken HTTP request, invalid Content-Length");
        abort(BadFraming);
    }
}

void HttpRequest::readBody(QIODevice *v_poSocket)
{
    if (!m_oBoundary.isEmpty()) {
        readMultipartBody(v_poSocket);
        return;
    }
    const qint64 iMissing = qint64(m_iExpectedBodySize) - m_oBodyData.size();
    if (iMissing > 0 && m_oBodyData.capacity() == 0 && m_iExpectedBodySize >= qint64(kQtxLargeBufferMin)) {
        // A large body (the size is within the caps here) gets its room at
        // once, as address space only, asked for in huge pages: memory is
        // still taken as bytes arrive, 2 MiB at a time, and a 10 MB body
        // costs five page faults instead of 2,560 (qtxlargebuffer.h).
        m_oBodyData.reserve(int(m_iExpectedBodySize));
        qtxAdviseHugePages(m_oBodyData.data(), size_t(m_iExpectedBodySize));
    }
    if (iMissing > 0) {
        // Straight into the body's own buffer, which grows with what arrived
        // (geometrically; a large block is moved by the kernel, not copied;
        // a large body's room is there already), not into a slice of its own
        // that is then appended.
        const int iHave = m_oBodyData.size();
        const qint64 iWant = qMin(iMissing, v_poSocket->bytesAvailable());
        m_oBodyData.resize(iHave + int(iWant));
        const qint64 iRead = qMax<qint64>(0, v_poSocket->read(m_oBodyData.data() + iHave, iWant));
        m_oBodyData.resize(iHave + int(iRead));
        addToCurrentSize(iRead);
    }
    if (m_oBodyData.size() >= m_iExpectedBodySize)
        m_eState = Complete;
}

void HttpRequest::consumeAvailable(QIODevice *v_poSocket)
{
    if (!v_poSocket)
        return;

    const RequestState eBefore = m_eState;
    switch (m_eState) {
    case AwaitingRequestLine:
        readRequestLine(v_poSocket);
        break;
    case AwaitingHeader:
        readHeader(v_poSocket);
        break;
    case AwaitingBody:
        readBody(v_poSocket);
        break;
    case Complete:
    case Aborted:
        break;
    }

    // Runs on every call, also on a request that is already complete or aborted.
    if ((m_oBoundary.isEmpty() && m_iCurrentSize > m_iMaxSize)
        || (!m_oBoundary.isEmpty() && m_iCurrentSize > m_iMaxMultiPartSize)) {
        qCWarning(lcHttp, "HttpRequest: received too many bytes");
        abort(TooLarge);
    }
    // Decoded once, on the call that completes the request, so a repeated call cannot
    // add the body parameters twice.
    if (m_eState == Complete && eBefore != Complete) {
        decodeRequestParams();
        extractCookies();
    }
}

QByteArray HttpRequest::getHeader(const QByteArray &v_oName) const
{
    return m_oHeaders.value(v_oName.toLower());
}

} // namespace norrweb
