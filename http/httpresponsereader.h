#ifndef NORRWEB_HTTPRESPONSEREADER_H
#define NORRWEB_HTTPRESPONSEREADER_H

#include "httpfields.h"
#include "httplimits.h"

#include <QByteArray>

namespace norrweb {

/// Reads one HTTP/1.x reply from bytes handed in as they arrive: the status
/// line, the header fields, and a body framed by Content-Length, by chunks, or
/// by the end of the connection. The peer is not trusted: the head and the body
/// together stay within the limit (HttpLimits::maxRequestSize), an unfinished
/// line kept between calls never exceeds it, and every fault ends in Failed with
/// its kind. Interim (1xx) replies are read and dropped. Used by one thread.
class HttpResponseReader
{
public:
    enum State { Reading, Complete, Failed };

    enum Error {
        NoError = 0,
        Malformed,          ///< status line, header line, Content-Length or chunk framing
        TooLarge,           ///< the head or the body passed the limit
        UnsupportedFraming, ///< a transfer coding other than chunked alone
        Truncated           ///< the connection ended before the reply did
    };

    explicit HttpResponseReader(const HttpLimits &v_oLimits = HttpLimits());

    /// Takes the next bytes of the connection. Bytes after a complete reply are ignored.
    State feed(const char *v_pData, int v_iSize);
    State feed(const QByteArray &v_oData) { return feed(v_oData.constData(), v_oData.size()); }
    /// The peer closed the connection: completes a body read to the end,
    /// fails anything else still open as Truncated.
    State finish();

    State state() const { return m_eState; }
    Error error() const { return m_eError; }
    /// What went wrong, for a log line; empty without an error.
    const char *errorText() const { return m_pErrorText; }

    int status() const { return m_iStatus; }
    /// A header field of the final reply by lower-case name (of several, the last received).
    QByteArray header(const QByteArray &v_oLowerName) const { return m_oHeaders.value(v_oLowerName); }
    const HttpFields &headers() const { return m_oHeaders; }
    const QByteArray &body() const { return m_oBody; }

private:
    enum Phase { StatusLine, Headers, FixedBody, ChunkSize, ChunkData, ChunkEnd, Trailers, BodyToClose, Done };

    void parse();
    bool takeLine(QByteArray &v_oLine);
    void readStatusLine(const QByteArray &v_oLine);
    void readHeaderLine(const QByteArray &v_oLine);
    void startBody();
    void readChunkSize(const QByteArray &v_oLine);
    void takeBody(qint64 v_iMax);
    void fail(Error v_eError, const char *v_pText);
    void complete();

    const qint32 m_iLimit;
    State m_eState = Reading;
    Error m_eError = NoError;
    const char *m_pErrorText = "";
    Phase m_ePhase = StatusLine;
    QByteArray m_oPending; ///< received and not yet parsed (from m_iOffset on)
    int m_iOffset = 0;
    qint64 m_llTaken = 0;     ///< every byte parsed so far, held against the limit
    qint64 m_llRemaining = 0; ///< of the fixed body or the current chunk
    int m_iStatus = 0;
    HttpFields m_oHeaders;
    QByteArray m_oBody;
};

} // namespace norrweb

#endif // NORRWEB_HTTPRESPONSEREADER_H
