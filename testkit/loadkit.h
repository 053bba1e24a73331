#pragma once

// Building blocks of the black-box load tools (the stress client and the
// hostile-load tool): a single-threaded epoll loop, a nonblocking TLS client
// whose bytes pass through memory BIOs (so the tool decides exactly which bytes
// leave in which write), an incremental HTTP/1.1 reply parser, /proc readings
// of the server process, and the set-up of a real server in a temporary folder.

#include <openssl/ssl.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

class ServerFixture;

namespace loadkit {

// Milliseconds on the monotonic clock.
double nowMs();

struct ProcStats
{
    bool alive = false; // running and not a zombie
    int threads = -1;
    int fds = -1;
    long rssKb = -1;
};
ProcStats readProcStats(pid_t v_iPid);

// "within 10% of the baseline" with a small absolute slack for tiny counts.
bool withinBaseline(const ProcStats &v_oNow, const ProcStats &v_oBase, std::string *v_pWhy = nullptr);

class Loop
{
public:
    struct Handler
    {
        virtual ~Handler() = default;
        virtual void onEvents(uint32_t v_uiEvents) = 0;
    };

    Loop();
    ~Loop();
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    void add(int v_iFd, uint32_t v_uiEvents, Handler *v_pHandler);
    void modify(int v_iFd, uint32_t v_uiEvents, Handler *v_pHandler);
    void remove(int v_iFd);
    // Dispatches the events that arrive within v_iTimeoutMs.
    void poll(int v_iTimeoutMs);

private:
    int m_iEpoll = -1;
};

// A client context that trusts only the given authority (PEM file).
SSL_CTX *makeClientContext(const std::string &v_oCaFile);

struct HttpReply
{
    int status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    bool hasHeader(const std::string &v_oName) const;
    std::string header(const std::string &v_oName) const; // case-insensitive name
};

// Splits a byte stream into replies framed by Content-Length; a reply without
// one ends at the end of the stream.
class ReplyParser
{
public:
    void feed(const std::string &v_oData);
    // Takes the next complete reply; false when none is complete yet.
    bool next(HttpReply &v_oReply);
    // The peer closed: a reply without Content-Length is complete now.
    void finish();
    bool hasPartial() const { return !m_oBuffer.empty(); }
    const std::string &error() const { return m_oError; }

private:
    std::string m_oBuffer;
    bool m_bEof = false;
    std::string m_oError;
};

// One TLS client connection on the loop. Nothing is flushed behind the
// caller's back except handshake bytes; plaintext given to sendPlain() becomes
// one TLS record per call.
class TlsClient : public Loop::Handler
{
public:
    enum class State { Idle, Connecting, Handshaking, Open, Closed };

    TlsClient(Loop &v_oLoop, SSL_CTX *v_pCtx, uint16_t v_uiPort);
    ~TlsClient() override;

    // Starts a nonblocking connect to 127.0.0.1; false when no socket could be made.
    bool start();
    // Plain TCP only: connect and never start TLS.
    bool startPlainTcp();

    // Encrypts the bytes as one record and sends it (with anything pending,
    // such as the handshake's last flight when called from onOpen).
    void sendPlain(const std::string &v_oData);
    // Writes raw bytes to the socket (no TLS).
    void sendRaw(const std::string &v_oData);
    // Abortive close sends a reset; otherwise a FIN without close_notify.
    void close(bool v_bAbortive = false);
    // Stops reading from the socket (a client that never reads its replies).
    void stopReading();
    // When set, each flush goes out in up to three TCP writes of random size.
    void setTcpSplit(std::mt19937_64 *v_pRng) { m_pSplitRng = v_pRng; }
    // The handshake stops after the ClientHello: nothing the server sends is fed to TLS.
    void setHelloOnly(bool v_bHelloOnly) { m_bHelloOnly = v_bHelloOnly; }

    State state() const { return m_eState; }
    bool isOpen() const { return m_eState == State::Open; }
    bool isClosed() const { return m_eState == State::Closed; }
    size_t pendingOutput() const { return m_oOut.size(); }
    std::string &plainIn() { return m_oPlainIn; }
    // First bytes the server sent, as received (to recognise a plain-text refusal).
    const std::string &rawHead() const { return m_oRawHead; }
    const std::string &closeReason() const { return m_oCloseReason; }
    double startedAt() const { return m_dStarted; }
    int fd() const { return m_iFd; }

    std::function<void()> onOpen;                            // handshake done
    std::function<void()> onData;                            // plaintext arrived
    std::function<void(const std::string &)> onClosed;       // reason: "eof", "reset", "tls", ...

    void onEvents(uint32_t v_uiEvents) override;

private:
    bool connectSocket();
    void drive();
    void flush();
    void fail(const std::string &v_oReason);
    void updateInterest();

    Loop &m_oLoop;
    SSL_CTX *m_pCtx;
    uint16_t m_uiPort;
    int m_iFd = -1;
    SSL *m_pSsl = nullptr;
    BIO *m_pRbio = nullptr; // network -> TLS
    BIO *m_pWbio = nullptr; // TLS -> network
    State m_eState = State::Idle;
    bool m_bTls = true;
    bool m_bReading = true;
    bool m_bHelloOnly = false;
    bool m_bWantOut = false;
    bool m_bInLoop = false;
    std::string m_oOut;
    std::string m_oPlainIn;
    std::string m_oRawHead;
    std::string m_oCloseReason;
    std::mt19937_64 *m_pSplitRng = nullptr;
    double m_dStarted = 0;
};

// The real server in a temporary folder: shipped INI (port and paths
// adjusted), certificates from the provisioning tool, the signed example modules.
class ServerUnderTest
{
public:
    ServerUnderTest();
    ~ServerUnderTest();

    // Extra "key=value" lines per INI group, applied over the shipped file.
    void setIniOverride(const std::string &v_oGroup, const std::string &v_oKey, const std::string &v_oValue);
    // Prepares the folder and starts the server; false with a message on failure.
    bool start(std::string &v_oError);
    // Starts the same folder again (after the process died).
    bool restart(std::string &v_oError);
    void stop();
    // The server starts (and restarts) with at most this many open files, as
    // under systemd's default of 1,024: it sizes its connection cap at start.
    void setFileLimit(long v_lLimit) { m_lFileLimit = v_lLimit; }

    // Run as root, the server runs as an ordinary test account, since a root
    // client may only use the system account's modules. The client side
    // then takes that account's effective ids for its connections (so the
    // server sees a client of its own account) and gives them back before
    // the folder is removed. Without root both sides are the caller's account.
    bool enterClientAccount();
    void leaveClientAccount();

    pid_t pid() const;
    uint16_t port() const { return m_uiPort; }
    std::string caFile() const;
    int readTimeoutMs() const { return m_iReadTimeout; }
    std::string logFile() const;
    // How the process ended (signal or exit code) and the log's last lines.
    std::string describeEnd(int v_iLogLines = 8);

private:
    bool waitListening(std::string &v_oError);
    void launch();

    std::unique_ptr<ServerFixture> m_pFixture;
    std::string m_oAccount; // the server's account when started as root
    bool m_bInAccount = false;
    std::map<std::string, std::map<std::string, std::string>> m_oOverrides;
    uint16_t m_uiPort = 0;
    int m_iReadTimeout = 10000;
    long m_lFileLimit = 0; // 0: the server inherits this process's limit
};

// Percentile (0..100) of the values; 0 for none.
double percentile(std::vector<double> v_oValues, double v_dPercent);

// Raises this process's open-file limit as far as the hard limit allows.
void raiseOwnFileLimit();

} // namespace loadkit
