#include "loadkit.h"

#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <openssl/err.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace loadkit {

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

ProcStats readProcStats(pid_t v_iPid)
{
    ProcStats oStats;
    if (v_iPid <= 0)
        return oStats;
    const std::string oBase = "/proc/" + std::to_string(v_iPid);
    std::ifstream oStatus(oBase + "/status");
    if (!oStatus)
        return oStats;
    std::string oLine;
    bool bZombie = false;
    while (std::getline(oStatus, oLine)) {
        if (oLine.rfind("State:", 0) == 0)
            bZombie = oLine.find('Z') != std::string::npos || oLine.find("X (dead)") != std::string::npos;
        else if (oLine.rfind("Threads:", 0) == 0)
            oStats.threads = std::atoi(oLine.c_str() + 8);
        else if (oLine.rfind("VmRSS:", 0) == 0)
            oStats.rssKb = std::atol(oLine.c_str() + 6);
    }
    oStats.alive = !bZombie && oStats.threads > 0;
    if (DIR *pDir = ::opendir((oBase + "/fd").c_str())) {
        int iCount = 0;
        while (const dirent *pEntry = ::readdir(pDir)) {
            if (pEntry->d_name[0] != '.')
                ++iCount;
        }
        ::closedir(pDir);
        oStats.fds = iCount;
    }
    return oStats;
}

bool withinBaseline(const ProcStats &v_oNow, const ProcStats &v_oBase, std::string *v_pWhy)
{
    std::ostringstream oWhy;
    bool bOk = v_oNow.alive;
    if (!v_oNow.alive)
        oWhy << "server not running; ";
    const double dThreads = std::max(v_oBase.threads * 1.1, v_oBase.threads + 2.0);
    const double dFds = std::max(v_oBase.fds * 1.1, v_oBase.fds + 3.0);
    const double dRss = v_oBase.rssKb * 1.1;
    if (v_oNow.threads > dThreads) {
        bOk = false;
        oWhy << "threads " << v_oNow.threads << " > " << dThreads << "; ";
    }
    if (v_oNow.fds > dFds) {
        bOk = false;
        oWhy << "fds " << v_oNow.fds << " > " << dFds << "; ";
    }
    if (v_oNow.rssKb > dRss) {
        bOk = false;
        oWhy << "rss " << v_oNow.rssKb << " kB > " << static_cast<long>(dRss) << " kB; ";
    }
    if (v_pWhy)
        *v_pWhy = oWhy.str();
    return bOk;
}

// ---------------------------------------------------------------- Loop

Loop::Loop()
    : m_iEpoll(::epoll_create1(EPOLL_CLOEXEC))
{
}

Loop::~Loop()
{
    if (m_iEpoll >= 0)
        ::close(m_iEpoll);
}

void Loop::add(int v_iFd, uint32_t v_uiEvents, Handler *v_pHandler)
{
    epoll_event oEvent{};
    oEvent.events = v_uiEvents;
    oEvent.data.ptr = v_pHandler;
    ::epoll_ctl(m_iEpoll, EPOLL_CTL_ADD, v_iFd, &oEvent);
}

void Loop::modify(int v_iFd, uint32_t v_uiEvents, Handler *v_pHandler)
{
    epoll_event oEvent{};
    oEvent.events = v_uiEvents;
    oEvent.data.ptr = v_pHandler;
    ::epoll_ctl(m_iEpoll, EPOLL_CTL_MOD, v_iFd, &oEvent);
}

void Loop::remove(int v_iFd)
{
    ::epoll_ctl(m_iEpoll, EPOLL_CTL_DEL, v_iFd, nullptr);
}

void Loop::poll(int v_iTimeoutMs)
{
    epoll_event aEvents[256];
    const int iCount = ::epoll_wait(m_iEpoll, aEvents, 256, v_iTimeoutMs);
    // A handler may close another connection of this batch; closed clients
    // ignore late events, and owners delete them only between polls.
    for (int i = 0; i < iCount; ++i)
        static_cast<Handler *>(aEvents[i].data.ptr)->onEvents(aEvents[i].events);
}

SSL_CTX *makeClientContext(const std::string &v_oCaFile)
{
    SSL_CTX *pCtx = SSL_CTX_new(TLS_client_method());
    if (!pCtx)
        return nullptr;
    SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION);
    if (SSL_CTX_load_verify_locations(pCtx, v_oCaFile.c_str(), nullptr) != 1) {
        SSL_CTX_free(pCtx);
        return nullptr;
    }
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER, nullptr);
    // Every connection makes a full handshake, as a new browser connection would.
    SSL_CTX_set_session_cache_mode(pCtx, SSL_SESS_CACHE_OFF);
    return pCtx;
}

// ---------------------------------------------------------------- replies

namespace {

std::string lower(std::string v_oText)
{
    std::transform(v_oText.begin(), v_oText.end(), v_oText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return v_oText;
}

std::string trim(const std::string &v_oText)
{
    const size_t uFirst = v_oText.find_first_not_of(" \t\r");
    if (uFirst == std::string::npos)
        return std::string();
    const size_t uLast = v_oText.find_last_not_of(" \t\r");
    return v_oText.substr(uFirst, uLast - uFirst + 1);
}

} // namespace

bool HttpReply::hasHeader(const std::string &v_oName) const
{
    const std::string oName = lower(v_oName);
    return std::any_of(headers.begin(), headers.end(), [&](const auto &oHeader) { return lower(oHeader.first) == oName; });
}

std::string HttpReply::header(const std::string &v_oName) const
{
    const std::string oName = lower(v_oName);
    for (const auto &oHeader : headers)
        if (lower(oHeader.first) == oName)
            return oHeader.second;
    return std::string();
}

void ReplyParser::feed(const std::string &v_oData)
{
    m_oBuffer += v_oData;
}

void ReplyParser::finish()
{
    m_bEof = true;
}

bool ReplyParser::next(HttpReply &v_oReply)
{
    if (!m_oError.empty())
        return false;
    const size_t uEnd = m_oBuffer.find("\r\n\r\n");
    if (uEnd == std::string::npos)
        return false;
    HttpReply oReply;
    std::istringstream oHead(m_oBuffer.substr(0, uEnd));
    std::string oLine;
    std::getline(oHead, oLine);
    oLine = trim(oLine);
    if (oLine.rfind("HTTP/1.", 0) != 0 || oLine.size() < 12) {
        m_oError = "bad status line: " + oLine.substr(0, 80);
        return false;
    }
    oReply.status = std::atoi(oLine.c_str() + 9);
    oReply.reason = oLine.size() > 13 ? oLine.substr(13) : std::string();
    long long llLength = -1;
    while (std::getline(oHead, oLine)) {
        oLine = trim(oLine);
        const size_t uColon = oLine.find(':');
        if (uColon == std::string::npos || uColon == 0)
            continue;
        oReply.headers.emplace_back(oLine.substr(0, uColon), trim(oLine.substr(uColon + 1)));
        if (lower(oLine.substr(0, uColon)) == "content-length")
            llLength = std::atoll(oReply.headers.back().second.c_str());
    }
    const size_t uBodyStart = uEnd + 4;
    if (llLength >= 0) {
        if (m_oBuffer.size() < uBodyStart + static_cast<size_t>(llLength))
            return false;
        oReply.body = m_oBuffer.substr(uBodyStart, static_cast<size_t>(llLength));
        m_oBuffer.erase(0, uBodyStart + static_cast<size_t>(llLength));
    } else {
        if (!m_bEof)
            return false;
        oReply.body = m_oBuffer.substr(uBodyStart);
        m_oBuffer.clear();
    }
    v_oReply = std::move(oReply);
    return true;
}

// ---------------------------------------------------------------- TLS client

TlsClient::TlsClient(Loop &v_oLoop, SSL_CTX *v_pCtx, uint16_t v_uiPort)
    : m_oLoop(v_oLoop)
    , m_pCtx(v_pCtx)
    , m_uiPort(v_uiPort)
{
}

TlsClient::~TlsClient()
{
    if (m_iFd >= 0) {
        m_oLoop.remove(m_iFd);
        ::close(m_iFd);
    }
    if (m_pSsl)
        SSL_free(m_pSsl);
}

bool TlsClient::connectSocket()
{
    m_dStarted = nowMs();
    m_iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_iFd < 0) {
        m_eState = State::Closed;
        m_oCloseReason = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int iOne = 1;
    ::setsockopt(m_iFd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof iOne);
    sockaddr_in oAddr{};
    oAddr.sin_family = AF_INET;
    oAddr.sin_port = htons(m_uiPort);
    oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof oAddr) != 0 && errno != EINPROGRESS) {
        m_oCloseReason = std::string("connect: ") + std::strerror(errno);
        ::close(m_iFd);
        m_iFd = -1;
        m_eState = State::Closed;
        return false;
    }
    m_eState = State::Connecting;
    m_oLoop.add(m_iFd, EPOLLOUT | EPOLLIN, this);
    m_bWantOut = true;
    return true;
}

bool TlsClient::start()
{
    m_bTls = true;
    return connectSocket();
}

bool TlsClient::startPlainTcp()
{
    m_bTls = false;
    return connectSocket();
}

void TlsClient::updateInterest()
{
    if (m_iFd < 0)
        return;
    const bool bWantOut = m_eState == State::Connecting || !m_oOut.empty();
    uint32_t uiEvents = (m_bReading ? EPOLLIN : 0u) | (bWantOut ? EPOLLOUT : 0u);
    m_oLoop.modify(m_iFd, uiEvents, this);
    m_bWantOut = bWantOut;
}

void TlsClient::stopReading()
{
    m_bReading = false;
    updateInterest();
}

void TlsClient::fail(const std::string &v_oReason)
{
    if (m_eState == State::Closed)
        return;
    m_eState = State::Closed;
    m_oCloseReason = v_oReason;
    if (m_iFd >= 0) {
        m_oLoop.remove(m_iFd);
        ::close(m_iFd);
        m_iFd = -1;
    }
    if (onClosed)
        onClosed(v_oReason);
}

void TlsClient::close(bool v_bAbortive)
{
    if (m_eState == State::Closed)
        return;
    m_eState = State::Closed;
    m_oCloseReason = "closed by client";
    if (m_iFd >= 0) {
        if (v_bAbortive) {
            const linger oLinger{1, 0};
            ::setsockopt(m_iFd, SOL_SOCKET, SO_LINGER, &oLinger, sizeof oLinger);
        }
        m_oLoop.remove(m_iFd);
        ::close(m_iFd);
        m_iFd = -1;
    }
}

void TlsClient::flush()
{
    if (m_iFd < 0)
        return;
    if (m_pSsl) {
        char aBuffer[16384];
        int iRead;
        while ((iRead = BIO_read(m_pWbio, aBuffer, sizeof aBuffer)) > 0)
            m_oOut.append(aBuffer, static_cast<size_t>(iRead));
    }
    if (m_eState == State::Connecting)
        return;
    while (!m_oOut.empty()) {
        size_t uChunk = m_oOut.size();
        if (m_pSplitRng && uChunk > 1)
            uChunk = 1 + (*m_pSplitRng)() % uChunk;
        const ssize_t iSent = ::send(m_iFd, m_oOut.data(), uChunk, MSG_NOSIGNAL);
        if (iSent > 0) {
            m_oOut.erase(0, static_cast<size_t>(iSent));
            continue;
        }
        if (iSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        fail(errno == ECONNRESET || errno == EPIPE ? "reset" : std::string("send: ") + std::strerror(errno));
        return;
    }
    if ((!m_oOut.empty()) != m_bWantOut)
        updateInterest();
}

void TlsClient::sendPlain(const std::string &v_oData)
{
    if (m_eState != State::Open || v_oData.empty())
        return;
    if (!m_bTls) {
        sendRaw(v_oData);
        return;
    }
    const int iWritten = SSL_write(m_pSsl, v_oData.data(), static_cast<int>(v_oData.size()));
    if (iWritten <= 0) {
        fail("tls write");
        return;
    }
    flush();
}

void TlsClient::sendRaw(const std::string &v_oData)
{
    if (m_eState == State::Closed)
        return;
    m_oOut += v_oData;
    flush();
}

void TlsClient::drive()
{
    if (m_eState == State::Handshaking) {
        const int iResult = SSL_do_handshake(m_pSsl);
        if (iResult == 1) {
            m_eState = State::Open;
            // Whatever onOpen sends joins the handshake's last flight in one write.
            if (onOpen)
                onOpen();
            if (m_eState == State::Closed)
                return;
            flush();
        } else {
            const int iError = SSL_get_error(m_pSsl, iResult);
            ERR_clear_error();
            if (iError != SSL_ERROR_WANT_READ && iError != SSL_ERROR_WANT_WRITE) {
                fail("tls handshake");
                return;
            }
            flush();
            return;
        }
    }
    if (m_eState != State::Open || !m_pSsl)
        return;
    bool bGot = false;
    char aBuffer[16384];
    for (;;) {
        const int iRead = SSL_read(m_pSsl, aBuffer, sizeof aBuffer);
        if (iRead > 0) {
            m_oPlainIn.append(aBuffer, static_cast<size_t>(iRead));
            bGot = true;
            continue;
        }
        const int iError = SSL_get_error(m_pSsl, iRead);
        ERR_clear_error();
        if (iError == SSL_ERROR_WANT_READ || iError == SSL_ERROR_WANT_WRITE)
            break;
        if (bGot && onData)
            onData();
        fail(iError == SSL_ERROR_ZERO_RETURN ? "eof" : "tls read");
        return;
    }
    // Key updates or alerts may have produced bytes to send.
    flush();
    if (m_eState == State::Closed)
        return;
    if (bGot && onData)
        onData();
}

void TlsClient::onEvents(uint32_t v_uiEvents)
{
    if (m_eState == State::Closed)
        return;
    if (m_eState == State::Connecting) {
        int iError = 0;
        socklen_t uLen = sizeof iError;
        ::getsockopt(m_iFd, SOL_SOCKET, SO_ERROR, &iError, &uLen);
        if (iError != 0) {
            fail(iError == ECONNREFUSED ? "refused" : std::string("connect: ") + std::strerror(iError));
            return;
        }
        if (!(v_uiEvents & (EPOLLOUT | EPOLLIN)))
            return;
        if (!m_bTls) {
            m_eState = State::Open;
            updateInterest();
            if (onOpen)
                onOpen();
            if (m_eState != State::Closed)
                flush();
            return;
        }
        m_eState = State::Handshaking;
        m_pSsl = SSL_new(m_pCtx);
        m_pRbio = BIO_new(BIO_s_mem());
        m_pWbio = BIO_new(BIO_s_mem());
        SSL_set_bio(m_pSsl, m_pRbio, m_pWbio);
        SSL_set_connect_state(m_pSsl);
        SSL_set1_host(m_pSsl, "127.0.0.1");
        updateInterest();
        drive();
        return;
    }
    if (v_uiEvents & EPOLLOUT) {
        flush();
        if (m_eState == State::Closed)
            return;
    }
    if ((v_uiEvents & EPOLLERR) && !(v_uiEvents & EPOLLIN)) {
        fail("reset");
        return;
    }
    if (!(v_uiEvents & (EPOLLIN | EPOLLHUP)))
        return;
    if (!m_bReading) {
        if (v_uiEvents & (EPOLLHUP | EPOLLERR))
            fail("eof");
        return;
    }
    char aBuffer[16384];
    bool bEof = false;
    std::string oFailure;
    for (;;) {
        const ssize_t iRead = ::recv(m_iFd, aBuffer, sizeof aBuffer, 0);
        if (iRead > 0) {
            if (m_oRawHead.size() < 64)
                m_oRawHead.append(aBuffer, std::min<size_t>(64 - m_oRawHead.size(), static_cast<size_t>(iRead)));
            if (!m_bTls)
                m_oPlainIn.append(aBuffer, static_cast<size_t>(iRead));
            else if (!m_bHelloOnly)
                BIO_write(m_pRbio, aBuffer, static_cast<int>(iRead));
            continue;
        }
        if (iRead == 0) {
            bEof = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            oFailure = errno == ECONNRESET ? "reset" : std::string("recv: ") + std::strerror(errno);
        }
        break;
    }
    if (m_bTls && !m_bHelloOnly) {
        drive();
    } else if (!m_bTls && onData && !m_oPlainIn.empty()) {
        onData();
    }
    if (m_eState == State::Closed)
        return;
    if (!oFailure.empty())
        fail(oFailure);
    else if (bEof)
        fail(m_eState == State::Handshaking ? "tls handshake" : "eof");
}

// ---------------------------------------------------------------- server

ServerUnderTest::ServerUnderTest() = default;

ServerUnderTest::~ServerUnderTest()
{
    leaveClientAccount();
    stop();
}

bool ServerUnderTest::enterClientAccount()
{
    if (m_oAccount.empty() || m_bInAccount)
        return true;
    const passwd *pEntry = ::getpwnam(m_oAccount.c_str());
    if (!pEntry || ::setegid(pEntry->pw_gid) != 0 || ::seteuid(pEntry->pw_uid) != 0)
        return false;
    // Changing ids makes the process undumpable and its /proc entries root's;
    // the server must be able to find this process from its socket.
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    m_bInAccount = true;
    return true;
}

void ServerUnderTest::leaveClientAccount()
{
    if (!m_bInAccount)
        return;
    if (::seteuid(0) == 0)
        ::setegid(0);
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    m_bInAccount = false;
}

void ServerUnderTest::setIniOverride(const std::string &v_oGroup, const std::string &v_oKey,
                                     const std::string &v_oValue)
{
    m_oOverrides[v_oGroup][v_oKey] = v_oValue;
}

namespace {

bool canConnect(uint16_t v_uiPort)
{
    const int iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iFd < 0)
        return false;
    sockaddr_in oAddr{};
    oAddr.sin_family = AF_INET;
    oAddr.sin_port = htons(v_uiPort);
    oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bOk = ::connect(iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof oAddr) == 0;
    ::close(iFd);
    return bOk;
}

} // namespace

bool ServerUnderTest::start(std::string &v_oError)
{
    m_pFixture = std::make_unique<ServerFixture>();
    if (!m_pFixture->isValid()) {
        v_oError = "no temporary folder";
        return false;
    }
    const int iBase = ServerFixture::freeBase(3);
    if (iBase == 0) {
        v_oError = "no free port";
        return false;
    }
    if (ServerFixture::isRoot()) {
        m_oAccount = "qtxstress";
        if (!ServerFixture::ensureAccount(QString::fromStdString(m_oAccount))) {
            v_oError = "cannot create the test account " + m_oAccount;
            return false;
        }
    }
    // An instance that is not on the system account listens from port + 1 upwards.
    m_uiPort = static_cast<uint16_t>(iBase + 1);
    auto oOverrides = m_oOverrides;
    oOverrides["listener"]["port"] = std::to_string(iBase);
    oOverrides["dllLoader"]["dirPath"] = "modules";
    oOverrides["sslCertificate"]["certFile"] = "certs/QTX-cert-server.pem";
    oOverrides["sslCertificate"]["keyFile"] = "certs/QTX-key-server.pem";
    if (!m_pFixture->installBinary(ServerFixture::serverBinary())) {
        v_oError = "cannot copy the server binary (is it built?)";
        return false;
    }
    // The shipped INI with the overrides applied, as the server's own QSettings reads it.
    const QString oIniPath = m_pFixture->path(QStringLiteral("QuorvexCryptoProvider.ini"));
    if (!QFile::copy(QStringLiteral(QTX_PROJECT_SOURCE_DIR "/app/QuorvexCryptoProvider.ini"), oIniPath)) {
        v_oError = "shipped INI not found";
        return false;
    }
    {
        QSettings oIni(oIniPath, QSettings::IniFormat);
        for (const auto &oGroup : oOverrides)
            for (const auto &oKey : oGroup.second)
                oIni.setValue(QString::fromStdString(oGroup.first + "/" + oKey.first), QString::fromStdString(oKey.second));
        m_iReadTimeout = oIni.value(QStringLiteral("listener/readTimeout"), 10000).toInt();
        oIni.sync();
        if (oIni.status() != QSettings::NoError || !m_pFixture->provision()) {
            v_oError = "cannot write the INI or provision certificates";
            return false;
        }
    }
    if (!m_pFixture->installModules()) {
        v_oError = "no signed example modules in the build (build target example-modules)";
        return false;
    }
    if (!m_oAccount.empty()) {
        m_pFixture->shareWith(QString::fromStdString(m_oAccount));
        QProcess oChown;
        oChown.start(QStringLiteral("chown"), {QStringLiteral("-R"), QString::fromStdString(m_oAccount), m_pFixture->path()});
        oChown.waitForFinished(30000);
    }
    launch();
    if (!m_pFixture->waitListening(m_uiPort, 30000)) {
        v_oError = "server did not report listening on port " + std::to_string(m_uiPort);
        return false;
    }
    return true;
}

bool ServerUnderTest::restart(std::string &v_oError)
{
    if (!m_pFixture)
        return start(v_oError);
    if (m_pFixture->process().state() != QProcess::NotRunning) {
        m_pFixture->process().kill();
        m_pFixture->process().waitForFinished(5000);
    }
    const bool bWasIn = m_bInAccount;
    leaveClientAccount();
    launch();
    if (bWasIn)
        enterClientAccount();
    if (!m_pFixture->process().waitForStarted(10000)) {
        v_oError = "server did not start again";
        return false;
    }
    const double dEnd = nowMs() + 30000;
    while (nowMs() < dEnd) {
        if (m_pFixture->process().state() == QProcess::NotRunning) {
            v_oError = "server ended while starting again";
            return false;
        }
        if (canConnect(m_uiPort))
            return true;
        QTest::qWait(100);
    }
    v_oError = "server did not listen again";
    return false;
}

void ServerUnderTest::stop()
{
    leaveClientAccount();
    m_pFixture.reset();
}

void ServerUnderTest::launch()
{
    // The child inherits the soft limit at the fork inside start(); this
    // process gets its own back right after.
    rlimit oOwn{};
    const bool bLower = m_lFileLimit > 0 && ::getrlimit(RLIMIT_NOFILE, &oOwn) == 0;
    if (bLower) {
        rlimit oLower = oOwn;
        oLower.rlim_cur = std::min<rlim_t>(oOwn.rlim_cur, static_cast<rlim_t>(m_lFileLimit));
        ::setrlimit(RLIMIT_NOFILE, &oLower);
    }
    m_pFixture->start({QStringLiteral("-console")}, QString::fromStdString(m_oAccount));
    if (bLower)
        ::setrlimit(RLIMIT_NOFILE, &oOwn);
}

pid_t ServerUnderTest::pid() const
{
    if (!m_pFixture || m_pFixture->process().state() == QProcess::NotRunning)
        return 0;
    return static_cast<pid_t>(m_pFixture->process().processId());
}

std::string ServerUnderTest::caFile() const
{
    return m_pFixture ? m_pFixture->path(QStringLiteral("certs/QTX-ca.pem")).toStdString() : std::string();
}

std::string ServerUnderTest::logFile() const
{
    return m_pFixture ? m_pFixture->logFilePath().toStdString() : std::string();
}

std::string ServerUnderTest::describeEnd(int v_iLogLines)
{
    std::ostringstream oText;
    if (!m_pFixture)
        return "no server";
    QProcess &oProcess = m_pFixture->process();
    oProcess.waitForFinished(2000);
    const bool bWasIn = m_bInAccount;
    leaveClientAccount();
    if (oProcess.state() != QProcess::NotRunning)
        oText << "still running";
    else if (oProcess.exitStatus() == QProcess::CrashExit)
        oText << "ended by a signal";
    else
        oText << "exited with code " << oProcess.exitCode();
    // The rolling log may have just started a new file: the previous one is ".01".
    QList<QByteArray> oLines;
    for (const QString &oPath : {m_pFixture->logFilePath() + QStringLiteral(".01"), m_pFixture->logFilePath()}) {
        QFile oLog(oPath);
        if (!oLog.open(QIODevice::ReadOnly))
            continue;
        oLog.seek(std::max<qint64>(0, oLog.size() - 64 * 1024));
        oLines += oLog.readAll().split('\n');
    }
    oText << "; last log lines:";
    oLines.removeAll(QByteArray());
    for (const QByteArray &oLine : oLines.mid(std::max(0, oLines.size() - v_iLogLines)))
        oText << "\n    " << oLine.left(300).toStdString();
    if (bWasIn)
        enterClientAccount();
    return oText.str();
}

double percentile(std::vector<double> v_oValues, double v_dPercent)
{
    if (v_oValues.empty())
        return 0;
    std::sort(v_oValues.begin(), v_oValues.end());
    size_t uIndex = static_cast<size_t>(std::ceil(v_dPercent / 100.0 * v_oValues.size()));
    uIndex = uIndex == 0 ? 0 : uIndex - 1;
    return v_oValues[std::min(uIndex, v_oValues.size() - 1)];
}

void raiseOwnFileLimit()
{
    rlimit oLimit{};
    if (::getrlimit(RLIMIT_NOFILE, &oLimit) == 0 && oLimit.rlim_cur < oLimit.rlim_max) {
        oLimit.rlim_cur = oLimit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &oLimit);
    }
}

} // namespace loadkit
