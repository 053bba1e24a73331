#ifndef NORRWEB_HTTPEXCHANGE_H
#define NORRWEB_HTTPEXCHANGE_H

#include "httpconnectioninfo.h"
#include "httplimits.h"

#include <QByteArray>
#include <QList>
#include <QIODevice>

#include <memory>

namespace norrweb {

class HttpRequest;
class HttpRequestHandler;

/// The bytes received on a connection and not parsed yet, read by HttpRequest
/// like a socket. The transport writes into it directly (reserve, commit).
class HttpInputBuffer : public QIODevice
{
public:
    HttpInputBuffer() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_iSize - m_iPos; }
    bool canReadLine() const override;
    /// Room for at least v_iBytes more at the end; returns where to write them.
    char *reserve(int v_iBytes);
    /// v_iBytes of the reserved room were filled (0: none).
    void commit(int v_iBytes) { m_oData.resize(m_iSize += v_iBytes); }
    /// Drops what was read; an empty buffer gives its memory back.
    void compact();

protected:
    qint64 readData(char *v_pData, qint64 v_iMax) override;
    qint64 readLineData(char *v_pData, qint64 v_iMax) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_oData;
    int m_iPos = 0;
    int m_iSize = 0;
};

/// One connection's HTTP/1.1 conversation: fed the decrypted bytes, it yields
/// complete requests one at a time and turns each answer into the bytes to send.
/// It owns what HTTP/1.1 says about the connection: 100 Continue, the fixed
/// replies to requests it refuses (400, 413, 501, 503), keep-alive and the
/// framing of replies. It knows nothing of sockets, TLS or threads: the
/// transport moves the bytes in and out and decides which thread serves a request.
///
/// Used by one thread at a time. While a request is served (between
/// RequestReady and reply()), the serving thread may use request(), respond()
/// and the connection info; the transport leaves the exchange alone meanwhile.
class HttpExchange
{
public:
    using Limits = HttpLimits;

    /// What parse() found.
    enum Event {
        NeedInput,    ///< more bytes are needed (a 100 Continue may be queued meanwhile)
        RequestReady, ///< request() is complete: serve it, then call reply()
        Refused       ///< a fixed error reply is queued; the connection ends after it
    };

    HttpExchange(const Limits &v_oLimits, const HttpConnectionInfo &v_oInfo);
    ~HttpExchange();
    HttpExchange(const HttpExchange &) = delete;
    HttpExchange &operator=(const HttpExchange &) = delete;

    HttpInputBuffer &input() { return m_oInput; }
    HttpConnectionInfo &info() { return m_oInfo; }
    const HttpConnectionInfo &info() const { return m_oInfo; }

    /// Parses the buffered bytes up to the end of the next request.
    Event parse();
    /// True between requests: no byte of the next one has arrived.
    bool betweenRequests() const { return !m_poRequest; }
    /// The complete request after RequestReady, until reply().
    HttpRequest &request() { return *m_poRequest; }
    const HttpRequest &request() const { return *m_poRequest; }

    /// Runs the handler for the complete request and returns the framed reply;
    /// v_bClose tells whether the connection ends after it (the client asked
    /// so, or HTTP/1.0 without keep-alive; the reply then says so too). A large
    /// body given whole is not in the returned bytes: it is kept aside, shared
    /// with the handler's buffer, and reply() queues it after them.
    /// Safe on the serving thread; touches only the request, the info and the
    /// body kept aside (which the I/O thread reads only in reply()).
    QByteArray respond(HttpRequestHandler &v_oHandler, bool &v_bClose);
    /// Queues the reply to the current request and ends it; the next parse()
    /// starts the next request. A reply is queued after any unsent 100 Continue.
    void reply(QByteArray v_oReply, bool v_bClose);

    /// The bytes to send, from the first unsent one: the next contiguous run
    /// (the header block and small bodies, then a large body from its own buffer).
    bool hasOutput() const { return blockPending() || m_iOutputBodyPos < m_oOutputBody.size(); }
    const char *outputData() const;
    int outputSize() const;
    /// v_iBytes of the output went out.
    void sent(int v_iBytes);
    /// The connection ends once the output is out (a refusal, or the reply said so).
    bool closeAfterOutput() const { return m_bCloseAfterOutput; }
    /// Forgets the request in progress (the connection ends).
    void abandon();

private:
    void refuse(int v_iReason);
    // Bytes of m_oOutput (interim replies, the header block, small bodies) are unsent.
    bool blockPending() const { return m_iOutputPos < m_oOutput.size(); }
    void queue(const char *v_pData, int v_iSize);

    Limits m_oLimits;
    HttpConnectionInfo m_oInfo;
    HttpInputBuffer m_oInput;
    std::unique_ptr<HttpRequest> m_poRequest;
    QByteArray m_oOutput;
    int m_iOutputPos = 0;
    QByteArray m_oOutputBody;   // a large body sent after m_oOutput
    int m_iOutputBodyPos = 0;
    QByteArray m_oReplyBody;    // set by respond(), taken by reply()
    bool m_bContinueSent = false;
    bool m_bCloseAfterOutput = false;
};

} // namespace norrweb

#endif // NORRWEB_HTTPEXCHANGE_H
