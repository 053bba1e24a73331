#include "stressclient.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <deque>
#include <random>
#include <sstream>

namespace stress {

using namespace loadkit;

enum class Kind { OpenSession, Alive, SetVar, Version, Ping, Sha, Vars, GetResult, ForeignPoll, CloseSession };

const char *kindName(Kind v_eKind)
{
    static const char *const kNames[] = {"OPEN_SESSION",   "ALIVE",          "SET_SESSION_VAR",
                                         "SERVER_VERSION", "KeepAlive/Ping", "Hasher/Sha256",
                                         "PublicInfo/SessionVariables", "GET_RESULT", "GET_RESULT(other session)",
                                         "CLOSE_SESSION"};
    return kNames[static_cast<int>(v_eKind)];
}

struct Job
{
    Kind kind = Kind::Ping;
    std::string cmdId;
    std::string session;
    std::string data;                        // Hasher input
    std::map<std::string, std::string> vars; // certain variables when the call was sent
    std::set<std::string> uncertain;         // keys whose value is not known
    int client = 0;
    bool accepted = false;       // 202 seen
    bool maybeStarted = false;   // the call's reply was never seen
    bool maybeDelivered = false; // a GET_RESULT's reply was never seen
    int deliveries = 0;
    bool finished = false;       // 419 seen after delivery; nothing more to ask
    double pollAt = 0;
};

struct Pending
{
    Kind kind;
    std::string cmdId;   // expected X-QTX-cmdId of the reply
    std::string session; // expected X-QTX-sessionId of the reply
    JobPtr job;
    std::string key, value;
    std::map<std::string, std::string> openVars;
    double sentAt = 0;
};

struct Chunk
{
    double at = 0;
    std::string bytes;
    std::vector<Pending> completes; // requests whose last byte is in this chunk
};

namespace {

std::string sha256Hex(const std::string &v_oData)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(v_oData), QCryptographicHash::Sha256).toHex().toStdString();
}

bool isBracedUuid(const std::string &v_oText)
{
    static const QRegularExpression kUuid(
        QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"));
    return kUuid.match(QString::fromStdString(v_oText)).hasMatch();
}

std::string formEncode(const std::string &v_oText)
{
    return QUrl::toPercentEncoding(QString::fromStdString(v_oText)).toStdString();
}

} // namespace

class Client
{
public:
    Client(Engine &v_oEngine, int v_iId, uint64_t v_uiSeed);
    void tick(double v_dNow, bool v_bActing);
    // After the run: closes this client's session, as a page that leaves does.
    void closeSession(double v_dNow);
    bool idle() const { return m_oInflight.empty() && m_oChunks.empty(); }
    void shutdown();
    const std::string &session() const { return m_oSession; }
    std::vector<std::unique_ptr<TlsClient>> graveyard;

private:
    void connect();
    void act(double v_dNow);
    void onData();
    void onClosed(const std::string &v_oReason);
    void handleReply(const HttpReply &v_oReply);
    void checkJobResult(const Pending &v_oPending, const HttpReply &v_oReply);
    void abandon(bool v_bAbortive, const std::string &v_oWhy);
    void forgetInflight();
    void dropSession();
    void sendDue(double v_dNow);
    // Builds one request and the expectation of its reply.
    std::string build(Kind v_eKind, Pending &v_oPending, bool v_bClose = false);
    void schedule(const std::string &v_oBytes, std::vector<std::pair<size_t, Pending>> v_oEnds, double v_dNow);
    // One whole request of the kind, scheduled now.
    void scheduleOne(Kind v_eKind, double v_dNow, bool v_bClose = false);
    // A reply overdue at the head of the queue costs an error and the connection.
    void checkReplyTimeout(double v_dNow);
    std::vector<size_t> cuts(const std::string &v_oBytes);
    std::string nextCmdId();
    Kind pickSafeKind();
    int rnd(int v_iMax) { return static_cast<int>(m_oRng() % static_cast<uint64_t>(v_iMax)); }

    Engine &m_oEngine;
    int m_iId;
    std::mt19937_64 m_oRng;
    std::unique_ptr<TlsClient> m_pConn;
    ReplyParser m_oParser;
    std::string m_oSession;
    std::map<std::string, std::string> m_oVars;
    std::set<std::string> m_oUncertain;
    int m_iVarCounter = 0;
    std::deque<Pending> m_oInflight;
    std::deque<Chunk> m_oChunks;
    bool m_bCloseAfterChunks = false;
    bool m_bAbortive = false;
    bool m_bCloseOnFirstData = false;
    bool m_bExpectServerClose = false;
    double m_dCloseExpectedSince = 0;
    bool m_bCoalesce = false;
    bool m_bClosing = false;
    std::vector<JobPtr> m_oJobs;
    double m_dNextAt = 0;
};

void Engine::run(int v_iClients, double v_dSeconds, pid_t v_iServer)
{
    std::vector<std::unique_ptr<Client>> oClients;
    for (int i = 0; i < v_iClients; ++i)
        oClients.push_back(std::make_unique<Client>(*this, nextClientId++, seed * 1000003u + static_cast<uint64_t>(i)));
    const double dEnd = nowMs() + v_dSeconds * 1000.0;
    double dNextSample = 0;
    bool bActing = true;
    double dDrainEnd = 0;
    for (;;) {
        loop.poll(2);
        const double dNow = nowMs();
        if (bActing && dNow >= dEnd) {
            bActing = false;
            dDrainEnd = dNow + replyTimeoutMs;
        }
        for (auto &pClient : oClients) {
            pClient->tick(dNow, bActing);
            pClient->graveyard.clear();
        }
        if (dNow >= dNextSample) {
            dNextSample = dNow + 200;
            sample(v_iServer);
            if (!serverDied && !readProcStats(v_iServer).alive) {
                serverDied = true;
                stats.error("server-died", "the server process ended during the run");
            }
        }
        if (serverDied)
            break;
        if (!bActing) {
            bool bIdle = true;
            for (auto &pClient : oClients)
                bIdle = bIdle && pClient->idle();
            if (bIdle || dNow >= dDrainEnd || serverDied)
                break;
        }
    }
    // Each page closes its session, so what the server still holds
    // afterwards is what it keeps without need.
    const double dCloseEnd = nowMs() + replyTimeoutMs;
    while (!serverDied && nowMs() < dCloseEnd) {
        loop.poll(2);
        const double dNow = nowMs();
        bool bAllClosed = true;
        for (auto &pClient : oClients) {
            pClient->closeSession(dNow);
            pClient->graveyard.clear();
            bAllClosed = bAllClosed && pClient->session().empty() && pClient->idle();
        }
        if (bAllClosed)
            break;
    }
    for (auto &pClient : oClients) {
        pClient->shutdown();
        pClient->graveyard.clear();
    }
}

void Engine::sample(pid_t v_iServer)
{
    const ProcStats oNow = readProcStats(v_iServer);
    stats.peak.threads = std::max(stats.peak.threads, oNow.threads);
    stats.peak.fds = std::max(stats.peak.fds, oNow.fds);
    stats.peak.rssKb = std::max(stats.peak.rssKb, oNow.rssKb);
}

void Engine::offerForeign(const JobPtr &v_pJob)
{
    if (foreign.size() < 400)
        foreign.push_back(v_pJob);
    else
        foreign[foreignNext++ % foreign.size()] = v_pJob;
}

Client::Client(Engine &v_oEngine, int v_iId, uint64_t v_uiSeed)
    : m_oEngine(v_oEngine)
    , m_iId(v_iId)
    , m_oRng(v_uiSeed)
{
    m_dNextAt = nowMs() + rnd(200);
}

std::string Client::nextCmdId()
{
    // One to thirteen digits: a counter shared by all clients, so every id is unique.
    return std::to_string(++m_oEngine.cmdCounter);
}

void Client::connect()
{
    if (m_pConn)
        graveyard.push_back(std::move(m_pConn));
    m_oParser = ReplyParser();
    m_bExpectServerClose = false;
    m_bCloseOnFirstData = false;
    m_pConn = std::make_unique<TlsClient>(m_oEngine.loop, m_oEngine.ctx, m_oEngine.port);
    if (rnd(5) == 0 && !m_oEngine.without("split"))
        m_pConn->setTcpSplit(&m_oRng);
    m_bCoalesce = rnd(2) == 0 && !m_oEngine.without("coalesce");
    ++m_oEngine.stats.connections;
    m_pConn->onOpen = [this]() {
        ++m_oEngine.stats.handshakes;
        // Sent from inside the handshake step, the first request leaves in the
        // same write as the client's Finished.
        if (m_bCoalesce && !m_bClosing) {
            ++m_oEngine.stats.coalesced;
            act(nowMs());
            sendDue(nowMs());
        }
    };
    m_pConn->onData = [this]() { onData(); };
    m_pConn->onClosed = [this](const std::string &v_oReason) { onClosed(v_oReason); };
    if (!m_pConn->start())
        m_oEngine.stats.error("connect", m_pConn->closeReason());
}

Kind Client::pickSafeKind()
{
    // Cumulative percentages; the rest are GET_RESULT.
    static const std::pair<int, Kind> kOdds[] = {{12, Kind::Alive}, {26, Kind::SetVar}, {32, Kind::Version}, {46, Kind::Ping},
                                                 {62, Kind::Sha},   {72, Kind::Vars},   {78, Kind::ForeignPoll}};
    const int iRoll = rnd(100);
    for (const auto &oOdds : kOdds)
        if (iRoll < oOdds.first)
            return oOdds.second == Kind::ForeignPoll && m_oEngine.without("foreign") ? Kind::Alive : oOdds.second;
    return Kind::GetResult;
}

std::string Client::build(Kind v_eKind, Pending &v_oPending, bool v_bClose)
{
    std::string oPath;
    std::string oBody;
    v_oPending.kind = v_eKind;
    v_oPending.cmdId = nextCmdId();
    v_oPending.session = m_oSession;
    switch (v_eKind) {
    case Kind::OpenSession: {
        oPath = "/OPEN_SESSION";
        v_oPending.session.clear();
        if (rnd(2) == 0) {
            const std::string oKey = "c" + std::to_string(m_iId) + "." + std::to_string(++m_iVarCounter);
            const std::string oValue = "v" + std::to_string(m_oRng() % 1000000);
            v_oPending.openVars[oKey] = oValue;
            oBody = "sessionVars=" + formEncode("[{\"key\":\"" + oKey + "\",\"value\":\"" + oValue + "\"}]");
        }
        break;
    }
    case Kind::Alive: oPath = "/ALIVE"; break;
    case Kind::Version: oPath = "/SERVER_VERSION"; break;
    case Kind::SetVar: {
        oPath = "/SET_SESSION_VAR";
        // Usually a new key, sometimes a new value for a known one.
        std::string oKey;
        if (!m_oVars.empty() && rnd(3) == 0) {
            auto it = m_oVars.begin();
            std::advance(it, rnd(static_cast<int>(m_oVars.size())));
            oKey = it->first;
        }
        if (oKey.empty() || oKey == "startTime")
            oKey = "c" + std::to_string(m_iId) + "." + std::to_string(++m_iVarCounter);
        v_oPending.key = oKey;
        v_oPending.value = "v" + std::to_string(m_oRng() % 100000000);
        oBody = "key=" + formEncode(oKey) + "&value=" + formEncode(v_oPending.value);
        // Requests on one connection are served in order, so later calls see it.
        m_oVars[oKey] = v_oPending.value;
        break;
    }
    case Kind::Ping:
    case Kind::Sha:
    case Kind::Vars: {
        auto pJob = std::make_shared<Job>();
        pJob->kind = v_eKind;
        pJob->cmdId = v_oPending.cmdId;
        pJob->session = m_oSession;
        pJob->client = m_iId;
        if (v_eKind == Kind::Ping) {
            oPath = "/KeepAlive/Ping";
        } else if (v_eKind == Kind::Sha) {
            oPath = "/Hasher/Sha256";
            pJob->data = "d" + std::to_string(m_oRng()) + "-" + std::to_string(m_iId);
            oBody = "data=" + formEncode(pJob->data);
        } else {
            oPath = "/PublicInfo/SessionVariables";
            pJob->vars = m_oVars;
            pJob->uncertain = m_oUncertain;
        }
        v_oPending.job = pJob;
        break;
    }
    case Kind::GetResult: {
        oPath = "/GET_RESULT";
        // A job whose poll is due, else any unfinished one of this session.
        JobPtr pJob;
        const double dNow = nowMs();
        for (const JobPtr &pCandidate : m_oJobs) {
            if (pCandidate->finished || pCandidate->session != m_oSession)
                continue;
            if (!pJob || (pCandidate->pollAt <= dNow && pJob->pollAt > dNow))
                pJob = pCandidate;
        }
        if (!pJob)
            return build(Kind::Alive, v_oPending, v_bClose);
        v_oPending.job = pJob;
        v_oPending.cmdId = pJob->cmdId;
        oBody = "cmdId=" + pJob->cmdId;
        break;
    }
    case Kind::ForeignPoll: {
        oPath = "/GET_RESULT";
        JobPtr pJob;
        if (!m_oEngine.foreign.empty())
            pJob = m_oEngine.foreign[static_cast<size_t>(rnd(static_cast<int>(m_oEngine.foreign.size())))];
        if (!pJob || pJob->session == m_oSession)
            return build(Kind::Version, v_oPending, v_bClose);
        v_oPending.job = pJob;
        v_oPending.cmdId = pJob->cmdId;
        oBody = "cmdId=" + pJob->cmdId;
        ++m_oEngine.stats.foreignPolls;
        break;
    }
    case Kind::CloseSession: oPath = "/CLOSE_SESSION"; break;
    }
    std::string oRequest = "POST " + oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://stress.example\r\n";
    oRequest += "X-QTX-cmdId: " + v_oPending.cmdId + "\r\n";
    if (!m_oSession.empty())
        oRequest += "X-QTX-sessionId: " + m_oSession + "\r\n";
    if (v_bClose)
        oRequest += "Connection: close\r\n";
    if (!oBody.empty())
        oRequest += "Content-Type: application/x-www-form-urlencoded\r\n";
    oRequest += "Content-Length: " + std::to_string(oBody.size()) + "\r\n\r\n" + oBody;
    return oRequest;
}

std::vector<size_t> Client::cuts(const std::string &v_oBytes)
{
    std::vector<size_t> oCuts;
    const int iMode = rnd(100);
    const size_t uSize = v_oBytes.size();
    if (iMode < 35 || uSize < 2 || m_oEngine.without("split")) {
        // whole
    } else if (iMode < 65) {
        const int iPieces = 1 + rnd(3);
        for (int i = 0; i < iPieces; ++i)
            oCuts.push_back(1 + m_oRng() % (uSize - 1));
    } else if (iMode < 80) {
        // At line ends: after the "\r", after the "\n", or both.
        for (size_t u = 0; u + 1 < uSize; ++u) {
            if (v_oBytes[u] == '\r' && rnd(3) == 0)
                oCuts.push_back(u + 1 + static_cast<size_t>(rnd(2)));
        }
    } else if (iMode < 90 && uSize <= 700) {
        for (size_t u = 1; u < uSize; ++u)
            oCuts.push_back(u);
    } else if (iMode < 95) {
        oCuts.push_back(1);
    } else {
        const int iPieces = 8 + rnd(12);
        for (int i = 0; i < iPieces; ++i)
            oCuts.push_back(1 + m_oRng() % (uSize - 1));
    }
    std::sort(oCuts.begin(), oCuts.end());
    oCuts.erase(std::unique(oCuts.begin(), oCuts.end()), oCuts.end());
    while (!oCuts.empty() && oCuts.back() >= uSize)
        oCuts.pop_back();
    return oCuts;
}

void Client::schedule(const std::string &v_oBytes, std::vector<std::pair<size_t, Pending>> v_oEnds, double v_dNow)
{
    std::vector<size_t> oCuts = cuts(v_oBytes);
    oCuts.push_back(v_oBytes.size());
    if (oCuts.size() > 1)
        ++m_oEngine.stats.splitWrites;
    size_t uStart = 0;
    double dAt = v_dNow;
    size_t uEnd = 0;
    for (size_t uCut : oCuts) {
        Chunk oChunk;
        oChunk.at = dAt;
        oChunk.bytes = v_oBytes.substr(uStart, uCut - uStart);
        while (uEnd < v_oEnds.size() && v_oEnds[uEnd].first <= uCut) {
            oChunk.completes.push_back(std::move(v_oEnds[uEnd].second));
            ++uEnd;
        }
        m_oChunks.push_back(std::move(oChunk));
        uStart = uCut;
        const int iDelay = rnd(100);
        // Pauses stay well below the read timeout.
        if (iDelay >= 97)
            dAt += 50 + rnd(250);
        else if (iDelay >= 75)
            dAt += 1 + rnd(15);
    }
    m_oEngine.stats.chunks += static_cast<long>(oCuts.size());
}

void Client::sendDue(double v_dNow)
{
    while (!m_oChunks.empty() && m_oChunks.front().at <= v_dNow && m_pConn && m_pConn->isOpen()) {
        Chunk oChunk = std::move(m_oChunks.front());
        m_oChunks.pop_front();
        m_pConn->sendPlain(oChunk.bytes);
        if (!m_pConn->isOpen()) {
            // The connection failed while sending: these requests never arrived whole.
            m_oChunks.clear();
            return;
        }
        for (Pending &oPending : oChunk.completes) {
            oPending.sentAt = v_dNow;
            ++m_oEngine.stats.requests;
            if (oPending.job && (oPending.kind == Kind::Ping || oPending.kind == Kind::Sha || oPending.kind == Kind::Vars))
                m_oJobs.push_back(oPending.job);
            m_oInflight.push_back(std::move(oPending));
        }
    }
    if (m_oChunks.empty() && m_bCloseAfterChunks && m_pConn && m_pConn->isOpen()) {
        m_bCloseAfterChunks = false;
        abandon(m_bAbortive, "planned");
    }
}

void Client::act(double v_dNow)
{
    if (!m_oChunks.empty() || !m_pConn || !m_pConn->isOpen())
        return;
    m_dNextAt = v_dNow + rnd(30);
    m_oJobs.erase(std::remove_if(m_oJobs.begin(), m_oJobs.end(), [](const JobPtr &p) { return p->finished; }),
                  m_oJobs.end());
    if (m_oSession.empty())
        return scheduleOne(Kind::OpenSession, v_dNow);
    // Results that are due come first.
    for (const JobPtr &pJob : m_oJobs) {
        // build() picks a due job itself; this only makes polls frequent.
        if (!pJob->finished && pJob->session == m_oSession && pJob->pollAt <= v_dNow && rnd(2) == 0)
            return scheduleOne(Kind::GetResult, v_dNow);
    }
    const int iRoll = rnd(100);
    if (iRoll < 4)
        return scheduleOne(Kind::CloseSession, v_dNow);
    if (iRoll < 7 && !m_oEngine.without("abort")) {
        // Half a request, sometimes trailing a whole one, then the connection goes.
        std::string oBytes;
        std::vector<std::pair<size_t, Pending>> oEnds;
        if (rnd(2) == 0) {
            Pending oWhole;
            oBytes = build(pickSafeKind(), oWhole);
            oEnds.emplace_back(oBytes.size(), std::move(oWhole));
        }
        Pending oPending;
        const std::string oNext = build(pickSafeKind(), oPending);
        if (oPending.kind == Kind::SetVar) {
            m_oVars.erase(oPending.key);
            m_oUncertain.insert(oPending.key); // never sent whole; kept out of checks anyway
        }
        oBytes += oNext.substr(0, 1 + m_oRng() % (oNext.size() - 1));
        schedule(oBytes, std::move(oEnds), v_dNow);
        m_bCloseAfterChunks = true;
        m_bAbortive = rnd(2) == 0;
        ++m_oEngine.stats.abortMidRequest;
        return;
    }
    if (iRoll < 10 && !m_oEngine.without("abort")) {
        // Whole requests, then the connection goes before (or while) the replies come.
        scheduleOne(pickSafeKind(), v_dNow);
        if (rnd(2) == 0)
            m_bCloseAfterChunks = true;
        else
            m_bCloseOnFirstData = true;
        m_bAbortive = rnd(2) == 0;
        ++m_oEngine.stats.abortMidReply;
        return;
    }
    if (iRoll < 13 && !m_oEngine.without("close")) {
        scheduleOne(pickSafeKind(), v_dNow, true);
        m_bExpectServerClose = true;
        ++m_oEngine.stats.connectionClose;
        return;
    }
    if (iRoll < 28 && !m_oEngine.without("pipeline")) {
        // Pipelining: several requests in one stream, split anywhere (so a
        // write may end with the first bytes of the next request).
        std::string oBytes;
        std::vector<std::pair<size_t, Pending>> oEnds;
        const int iCount = 2 + rnd(5);
        for (int i = 0; i < iCount; ++i) {
            Pending oPending;
            oBytes += build(pickSafeKind(), oPending);
            oEnds.emplace_back(oBytes.size(), std::move(oPending));
        }
        schedule(oBytes, std::move(oEnds), v_dNow);
        ++m_oEngine.stats.pipelined;
        return;
    }
    if (iRoll < 30) {
        // A page that leaves and comes back on a new connection.
        m_pConn->close(rnd(2) == 0);
        return;
    }
    scheduleOne(pickSafeKind(), v_dNow);
}

void Client::scheduleOne(Kind v_eKind, double v_dNow, bool v_bClose)
{
    Pending oPending;
    const std::string oBytes = build(v_eKind, oPending, v_bClose);
    schedule(oBytes, {{oBytes.size(), std::move(oPending)}}, v_dNow);
}

void Client::checkReplyTimeout(double v_dNow)
{
    if (!m_oInflight.empty() && v_dNow - m_oInflight.front().sentAt > m_oEngine.replyTimeoutMs) {
        m_oEngine.stats.error("reply-timeout", std::string(kindName(m_oInflight.front().kind)) + " cmdId="
                                                   + m_oInflight.front().cmdId + " got no reply in time");
        abandon(true, "timeout");
    }
}

void Client::tick(double v_dNow, bool v_bActing)
{
    if (m_pConn && m_pConn->isOpen())
        sendDue(v_dNow);
    checkReplyTimeout(v_dNow);
    if (m_bExpectServerClose && m_oInflight.empty() && m_pConn && m_pConn->isOpen()) {
        if (m_dCloseExpectedSince == 0)
            m_dCloseExpectedSince = v_dNow;
        else if (v_dNow - m_dCloseExpectedSince > m_oEngine.replyTimeoutMs) {
            m_oEngine.stats.error("close-ignored", "connection open after a reply to Connection: close");
            abandon(false, "close ignored");
        }
        return;
    }
    m_dCloseExpectedSince = 0;
    if (!v_bActing) {
        if (m_oChunks.empty() && m_bCloseAfterChunks && m_pConn && m_pConn->isOpen())
            sendDue(v_dNow);
        return;
    }
    if (v_dNow < m_dNextAt)
        return;
    if (!m_pConn || m_pConn->isClosed()) {
        m_oChunks.clear();
        m_bCloseAfterChunks = false;
        connect();
        return;
    }
    if (m_pConn->isOpen() && m_oInflight.empty() && m_oChunks.empty()) {
        if (m_pConn->state() == TlsClient::State::Open && v_dNow - m_pConn->startedAt() > 10 * m_oEngine.replyTimeoutMs) {
            m_pConn->close(false); // a fresh connection now and then
            return;
        }
        act(v_dNow);
        sendDue(v_dNow);
    } else if (!m_pConn->isOpen() && v_dNow - m_pConn->startedAt() > m_oEngine.replyTimeoutMs) {
        m_oEngine.stats.error("handshake-timeout", "no TLS handshake in time");
        m_pConn->close(true);
    }
}

void Client::onData()
{
    if (m_bCloseOnFirstData) {
        m_bCloseOnFirstData = false;
        m_pConn->plainIn().clear();
        abandon(rnd(2) == 0, "planned mid-reply");
        return;
    }
    m_oParser.feed(m_pConn->plainIn());
    m_pConn->plainIn().clear();
    HttpReply oReply;
    while (m_oParser.next(oReply))
        handleReply(oReply);
    if (!m_oParser.error().empty()) {
        m_oEngine.stats.error("bad-reply", m_oParser.error());
        abandon(true, "bad reply");
    }
}

void Client::forgetInflight()
{
    // The fate of these requests is unknown: their effects may or may not happen.
    for (Pending &oPending : m_oInflight) {
        switch (oPending.kind) {
        case Kind::SetVar:
            if (oPending.session == m_oSession) {
                m_oVars.erase(oPending.key);
                m_oUncertain.insert(oPending.key);
            }
            break;
        case Kind::Ping:
        case Kind::Sha:
        case Kind::Vars:
            oPending.job->maybeStarted = true;
            break;
        case Kind::GetResult:
            oPending.job->maybeDelivered = true;
            break;
        case Kind::CloseSession:
            if (oPending.session == m_oSession)
                dropSession();
            break;
        default:
            break;
        }
    }
    m_oInflight.clear();
    m_oChunks.clear();
}

void Client::dropSession()
{
    // The session's jobs become other sessions' jobs for later polls.
    for (const JobPtr &pJob : m_oJobs)
        m_oEngine.offerForeign(pJob);
    m_oJobs.clear();
    m_oSession.clear();
    m_oVars.clear();
    m_oUncertain.clear();
}

void Client::abandon(bool v_bAbortive, const std::string &)
{
    forgetInflight();
    m_bCloseAfterChunks = false;
    m_bCloseOnFirstData = false;
    m_bExpectServerClose = false;
    if (m_pConn)
        m_pConn->close(v_bAbortive);
    m_dNextAt = nowMs() + rnd(50);
}

void Client::onClosed(const std::string &v_oReason)
{
    // Replies that were complete before the close are taken first.
    m_oParser.finish();
    HttpReply oReply;
    while (!m_oInflight.empty() && m_oParser.next(oReply))
        handleReply(oReply);
    if (v_oReason == "tls handshake" && m_pConn->rawHead().rfind("HTTP/1.1 503", 0) == 0) {
        ++m_oEngine.stats.refused503;
    } else if (v_oReason == "tls handshake" || v_oReason == "refused") {
        m_oEngine.stats.error("connection-failed", v_oReason + " " + m_pConn->rawHead().substr(0, 40));
    } else if (!m_oInflight.empty()) {
        m_oEngine.stats.error("dropped", std::to_string(m_oInflight.size()) + " request(s) without reply, first "
                                             + kindName(m_oInflight.front().kind) + " cmdId="
                                             + m_oInflight.front().cmdId + " (" + v_oReason + ")");
    } else if (!m_bExpectServerClose) {
        ++m_oEngine.stats.serverClosedIdle;
    }
    forgetInflight();
    m_bExpectServerClose = false;
    m_bCloseAfterChunks = false;
    m_dNextAt = nowMs() + rnd(50);
}

void Client::handleReply(const HttpReply &v_oReply)
{
    ++m_oEngine.stats.replies;
    if (m_oInflight.empty()) {
        m_oEngine.stats.error("unsolicited-reply", "status " + std::to_string(v_oReply.status) + " cmdId="
                                                       + v_oReply.header("X-QTX-cmdId"));
        return;
    }
    const Pending oPending = std::move(m_oInflight.front());
    m_oInflight.pop_front();
    std::ostringstream oWhat;
    oWhat << kindName(oPending.kind) << " cmdId=" << oPending.cmdId << " client=" << m_iId << " got "
          << v_oReply.status << " cmdId=" << v_oReply.header("X-QTX-cmdId") << " body=" << v_oReply.body.substr(0, 120);
    if (v_oReply.header("X-QTX-cmdId") != oPending.cmdId) {
        m_oEngine.stats.error("wrong-reply", oWhat.str());
        abandon(true, "wrong reply");
        return;
    }
    const std::string oSession = v_oReply.header("X-QTX-sessionId");
    auto expect = [&](bool v_bOk, const char *v_pKind) {
        if (!v_bOk)
            m_oEngine.stats.error(v_pKind, oWhat.str());
        return v_bOk;
    };
    switch (oPending.kind) {
    case Kind::OpenSession:
        if (expect(v_oReply.status == 200 && isBracedUuid(v_oReply.body) && oSession == v_oReply.body, "bad-open")) {
            m_oSession = v_oReply.body;
            m_oVars = oPending.openVars;
            m_oUncertain.clear();
        }
        return;
    case Kind::Alive:
        expect(v_oReply.status == 200 && oSession == oPending.session, "bad-alive");
        return;
    case Kind::SetVar:
        expect(v_oReply.status == 200 && oSession == oPending.session, "bad-set-var");
        return;
    case Kind::Version:
        if (expect(v_oReply.status == 200 && !v_oReply.body.empty(), "bad-version")) {
            if (m_oEngine.version.empty())
                m_oEngine.version = v_oReply.body;
            expect(v_oReply.body == m_oEngine.version, "version-changed");
        }
        return;
    case Kind::CloseSession:
        expect(v_oReply.status == 200 && oSession.empty(), "bad-close");
        if (oPending.session == m_oSession)
            dropSession();
        return;
    case Kind::Ping:
    case Kind::Sha:
    case Kind::Vars:
        expect(oSession == oPending.session, "wrong-session-header");
        if (expect(v_oReply.status == 202 && v_oReply.body.empty(), "call-not-accepted")) {
            oPending.job->accepted = true;
            oPending.job->pollAt = nowMs() + rnd(20);
            ++m_oEngine.stats.jobsAccepted;
        } else {
            oPending.job->finished = true;
        }
        return;
    case Kind::ForeignPoll:
        expect(v_oReply.status != 200 && v_oReply.status != 202, "foreign-result");
        return;
    case Kind::GetResult:
        expect(oSession == oPending.session, "wrong-session-header");
        checkJobResult(oPending, v_oReply);
        return;
    }
}

void Client::checkJobResult(const Pending &v_oPending, const HttpReply &v_oReply)
{
    Job &oJob = *v_oPending.job;
    std::ostringstream oWhat;
    oWhat << kindName(oJob.kind) << " result cmdId=" << oJob.cmdId << " client=" << m_iId << " status "
          << v_oReply.status << " body=" << v_oReply.body.substr(0, 160);
    if (v_oReply.status == 202) {
        if (oJob.deliveries > 0)
            m_oEngine.stats.error("running-after-delivery", oWhat.str());
        oJob.pollAt = nowMs() + 5 + rnd(40);
        return;
    }
    if (v_oReply.status == 419) {
        if (oJob.deliveries == 0 && !oJob.maybeDelivered && !oJob.maybeStarted && oJob.accepted)
            m_oEngine.stats.error("result-lost", oWhat.str());
        oJob.finished = true;
        m_oEngine.offerForeign(v_oPending.job);
        return;
    }
    if (v_oReply.status != 200) {
        m_oEngine.stats.error("bad-result-status", oWhat.str());
        oJob.finished = true;
        return;
    }
    if (oJob.deliveries > 0)
        m_oEngine.stats.error("delivered-twice", oWhat.str());
    ++oJob.deliveries;
    oJob.maybeDelivered = false;
    ++m_oEngine.stats.resultsDelivered;
    const QJsonObject oBody = QJsonDocument::fromJson(QByteArray::fromStdString(v_oReply.body)).object();
    bool bOk = true;
    if (oJob.kind == Kind::Ping) {
        bOk = oBody.value(QStringLiteral("alive")).toBool();
    } else if (oJob.kind == Kind::Sha) {
        bOk = oBody.value(QStringLiteral("hex")).toString().toStdString() == sha256Hex(oJob.data);
    } else {
        const QJsonObject oVars = oBody.value(QStringLiteral("variables")).toObject();
        bOk = oBody.contains(QStringLiteral("variables")) && oVars.contains(QStringLiteral("startTime"));
        const std::string oPrefix = "c" + std::to_string(oJob.client) + ".";
        for (auto it = oVars.begin(); bOk && it != oVars.end(); ++it) {
            const std::string oKey = it.key().toStdString();
            if (oKey == "startTime")
                continue;
            // Another page's variable in this session's copy means mixed sessions.
            if (oKey.rfind(oPrefix, 0) != 0) {
                m_oEngine.stats.error("foreign-variable", oWhat.str());
                bOk = true;
                break;
            }
            auto itKnown = oJob.vars.find(oKey);
            if (itKnown != oJob.vars.end() && !oJob.uncertain.count(oKey))
                bOk = it.value().toString().toStdString() == itKnown->second;
            else if (!oJob.uncertain.count(oKey))
                bOk = false; // a key this session never set
        }
        for (auto it = oJob.vars.begin(); bOk && it != oJob.vars.end(); ++it) {
            if (!oJob.uncertain.count(it->first) && !oVars.contains(QString::fromStdString(it->first)))
                bOk = false;
        }
    }
    if (!bOk)
        m_oEngine.stats.error("wrong-result", oWhat.str());
    // Now and then ask again: the result must not come a second time.
    if (rnd(3) == 0)
        oJob.pollAt = nowMs() + rnd(50);
    else {
        oJob.finished = true;
        m_oEngine.offerForeign(v_oPending.job);
    }
}

void Client::closeSession(double v_dNow)
{
    if (m_pConn && m_pConn->isOpen())
        sendDue(v_dNow);
    checkReplyTimeout(v_dNow);
    if (m_oSession.empty() || !m_oInflight.empty() || !m_oChunks.empty())
        return;
    m_bClosing = true;
    if (!m_pConn || m_pConn->isClosed()) {
        connect();
        return;
    }
    if (!m_pConn->isOpen())
        return;
    // Whole, at once: the page's last request.
    Pending oPending;
    Chunk oChunk{v_dNow, build(Kind::CloseSession, oPending), {}};
    oChunk.completes.push_back(std::move(oPending));
    m_oChunks.push_back(std::move(oChunk));
    sendDue(v_dNow);
}

void Client::shutdown()
{
    if (m_pConn && !m_pConn->isClosed())
        m_pConn->close(false);
    if (m_pConn)
        graveyard.push_back(std::move(m_pConn));
}

} // namespace stress
