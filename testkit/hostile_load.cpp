// hostile_load: runs one hostile client pattern after another against the real
// server (shipped settings, open files limited to 1,024 as the systemd units
// do) while a well-behaved client opens a new TLS connection every 250 ms, asks
// SERVER_VERSION and measures its own latency and success.
//
// Per attack it prints: the probes' success rate, p50 and p99 latency, the
// server's peak threads, fds and RSS, and the time until threads, fds and RSS
// are back within 10% of the idle values (measured after start-up).
//
//   hostile_load [--seconds N] [--only a,b,...] [--recover-max S] [--same-server] [--short]
//
// Each attack gets a freshly started server unless --same-server is given.
//
// --short is the invariant mode of the test command: 4 s per attack, and the
// exit code says whether every attack kept these invariants: the server never
// died, at least one probe was served during the attack, peak fds stayed below
// the limit and threads below 250, and the server recovered within
// readTimeout + 5 s. Timings are printed, never asserted.
// Anything that starts the server runs under: flock /tmp/qtx-server.lock ...

#include "loadkit.h"

#include <algorithm>

namespace {
// Peak memory any attack may add to the idle server.
constexpr long kRssBoundKb = 128 * 1024;

// Sessions live until their expiry by design, so after the session flood only
// threads and descriptors must be back; its memory is checked by the bound.
bool sessionsOnlyAboveBaseline(const loadkit::ProcStats &v_oNow, const loadkit::ProcStats &v_oBase)
{
    loadkit::ProcStats oBase = v_oBase;
    oBase.rssKb = std::max(v_oBase.rssKb, v_oNow.rssKb);
    return loadkit::withinBaseline(v_oNow, oBase);
}
} // namespace

#include <QCoreApplication>
#include <QTest>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace loadkit;

namespace {

struct Options
{
    double seconds = 20;
    double recoverMax = 30;
    bool shortMode = false;
    bool sameServer = false; // keep one server for all attacks instead of a fresh one each
    std::set<std::string> only;
};

struct AttackResult
{
    std::string name;
    double seconds = 0;
    int probes = 0;
    int probesOk = 0;
    std::vector<double> latencies;
    std::map<std::string, int> probeFailures;
    ProcStats base;   // idle values of the server (after start-up and warm-up)
    ProcStats before; // values just before the attack
    ProcStats peak;
    ProcStats after; // at the end of the recovery watch
    double recovery = -1; // seconds; -1 = not within the cap
    bool died = false;
    std::string note;
};

// One request of the well-behaved client on a connection of its own.
class ProbeRequest
{
public:
    ProbeRequest(Loop &v_oLoop, SSL_CTX *v_pCtx, uint16_t v_uiPort, AttackResult *v_pSink, double v_dNow)
        : m_pSink(v_pSink)
        , m_dStart(v_dNow)
        , m_oConn(v_oLoop, v_pCtx, v_uiPort)
    {
        m_oConn.onOpen = [this]() {
            m_oConn.sendPlain("POST /SERVER_VERSION HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                              "Content-Length: 0\r\n\r\n");
        };
        m_oConn.onData = [this]() {
            m_oParser.feed(m_oConn.plainIn());
            m_oConn.plainIn().clear();
            HttpReply oReply;
            if (m_oParser.next(oReply))
                finish(oReply.status == 200, "status " + std::to_string(oReply.status));
        };
        m_oConn.onClosed = [this](const std::string &v_oReason) {
            if (m_bDone)
                return;
            m_oParser.finish();
            HttpReply oReply;
            if (m_oParser.next(oReply))
                finish(oReply.status == 200, "status " + std::to_string(oReply.status));
            else if (v_oReason == "tls handshake" && m_oConn.rawHead().rfind("HTTP/1.1 503", 0) == 0)
                finish(false, "plain 503");
            else
                finish(false, v_oReason);
        };
        if (!m_oConn.start())
            finish(false, "no socket");
    }

    bool done() const { return m_bDone; }

    void expire(double v_dNow)
    {
        if (!m_bDone && v_dNow - m_dStart > 5000)
            finish(false, "timeout");
    }

private:
    void finish(bool v_bOk, const std::string &v_oWhy)
    {
        m_bDone = true;
        if (!m_oConn.isClosed())
            m_oConn.close(false);
        // A probe counts for the attack during which it started.
        if (m_pSink) {
            ++m_pSink->probes;
            if (v_bOk) {
                ++m_pSink->probesOk;
                m_pSink->latencies.push_back(nowMs() - m_dStart);
            } else {
                ++m_pSink->probeFailures[v_oWhy];
            }
        }
    }

    AttackResult *m_pSink;
    double m_dStart;
    bool m_bDone = false;
    ReplyParser m_oParser;
    TlsClient m_oConn;
};

// The well-behaved client: a new connection with one request every 250 ms, as a
// page polling for a result would, with at most four waiting at a time, so a
// slow reply or a dropped SYN does not stop the next probe from being tried.
class Probe
{
public:
    Probe(Loop &v_oLoop, SSL_CTX *v_pCtx, uint16_t v_uiPort)
        : m_oLoop(v_oLoop)
        , m_pCtx(v_pCtx)
        , m_uiPort(v_uiPort)
    {
    }

    void setSink(AttackResult *v_pSink) { m_pSink = v_pSink; }

    void tick(double v_dNow)
    {
        // Finished requests are dropped here, outside their own callbacks.
        for (auto it = m_oRequests.begin(); it != m_oRequests.end();) {
            (*it)->expire(v_dNow);
            it = (*it)->done() ? m_oRequests.erase(it) : it + 1;
        }
        if (v_dNow < m_dNext || m_oRequests.size() >= kMaxWaiting)
            return;
        m_dNext = v_dNow + 250;
        m_oRequests.push_back(std::make_unique<ProbeRequest>(m_oLoop, m_pCtx, m_uiPort, m_pSink, v_dNow));
    }

private:
    static constexpr size_t kMaxWaiting = 4;
    Loop &m_oLoop;
    SSL_CTX *m_pCtx;
    uint16_t m_uiPort;
    std::vector<std::unique_ptr<ProbeRequest>> m_oRequests;
    AttackResult *m_pSink = nullptr;
    double m_dNext = 0;
};

// Keeps a number of connections of one kind open, opening new ones when the
// server drops them, and drives each one's slow behaviour.
class HoldAttack
{
public:
    enum class Mode { SilentTcp, HalfTls, IdleTls, Slowloris, SlowBody, NonReader, Sessions };

    HoldAttack(Loop &v_oLoop, SSL_CTX *v_pCtx, uint16_t v_uiPort, Mode v_eMode, int v_iCount, uint64_t v_uiSeed)
        : m_oLoop(v_oLoop)
        , m_pCtx(v_pCtx)
        , m_uiPort(v_uiPort)
        , m_eMode(v_eMode)
        , m_iCount(v_iCount)
        , m_oRng(v_uiSeed)
    {
        m_oConns.resize(static_cast<size_t>(v_iCount));
    }

    void tick(double v_dNow)
    {
        m_oOld.clear();
        int iOpensLeft = 100; // per tick, so thousands of connects do not come in one burst
        for (size_t u = 0; u < m_oConns.size(); ++u) {
            Conn &oConn = m_oConns[u];
            if (!oConn.client || (oConn.client->isClosed() && v_dNow >= oConn.reopenAt)) {
                if (iOpensLeft-- <= 0)
                    continue;
                open(oConn, v_dNow);
                continue;
            }
            if (!oConn.client->isOpen() || v_dNow < oConn.nextAt)
                continue;
            drive(oConn, v_dNow);
        }
    }

    void stop()
    {
        for (Conn &oConn : m_oConns) {
            if (oConn.client)
                oConn.client->close(false);
            oConn.client.reset();
        }
    }

    std::string note() const
    {
        std::ostringstream oNote;
        oNote << "opened " << m_lOpened << ", dropped by server " << m_lDropped;
        if (m_eMode == Mode::Sessions)
            oNote << ", sessions opened " << m_lSessions;
        if (m_eMode == Mode::NonReader)
            oNote << ", requests written " << m_lRequests;
        if (m_lRefused503)
            oNote << ", plain 503 " << m_lRefused503;
        return oNote.str();
    }

    long sessions() const { return m_lSessions; }

private:
    struct Conn
    {
        std::unique_ptr<TlsClient> client;
        double nextAt = 0;
        double reopenAt = 0;
        int sent = 0;
        ReplyParser parser;
        bool waiting = false;
    };

    void open(Conn &v_oConn, double v_dNow)
    {
        if (v_oConn.client)
            m_oOld.push_back(std::move(v_oConn.client));
        v_oConn.client = std::make_unique<TlsClient>(m_oLoop, m_pCtx, m_uiPort);
        v_oConn.sent = 0;
        v_oConn.waiting = false;
        v_oConn.parser = ReplyParser();
        v_oConn.nextAt = v_dNow;
        ++m_lOpened;
        Conn *pConn = &v_oConn;
        v_oConn.client->onClosed = [this, pConn](const std::string &v_oReason) {
            ++m_lDropped;
            if (v_oReason == "tls handshake" && pConn->client->rawHead().rfind("HTTP/1.1 503", 0) == 0)
                ++m_lRefused503;
            pConn->reopenAt = nowMs() + 1000;
        };
        v_oConn.client->onOpen = [this, pConn]() {
            if (m_eMode == Mode::NonReader)
                pConn->client->stopReading();
            drive(*pConn, nowMs());
        };
        v_oConn.client->onData = [this, pConn]() {
            pConn->parser.feed(pConn->client->plainIn());
            pConn->client->plainIn().clear();
            HttpReply oReply;
            while (pConn->parser.next(oReply)) {
                if (m_eMode == Mode::Sessions && oReply.status == 200)
                    ++m_lSessions;
                pConn->waiting = false;
            }
            if (m_eMode == Mode::Sessions && !pConn->waiting)
                drive(*pConn, nowMs());
        };
        if (m_eMode == Mode::HalfTls)
            v_oConn.client->setHelloOnly(true);
        const bool bStarted = m_eMode == Mode::SilentTcp ? v_oConn.client->startPlainTcp() : v_oConn.client->start();
        if (!bStarted)
            v_oConn.reopenAt = v_dNow + 500;
    }

    void drive(Conn &v_oConn, double v_dNow)
    {
        TlsClient &oClient = *v_oConn.client;
        switch (m_eMode) {
        case Mode::SilentTcp:
        case Mode::HalfTls:
        case Mode::IdleTls:
            v_oConn.nextAt = v_dNow + 1e9;
            return;
        case Mode::Slowloris:
            // A header line that never ends, one byte every 2 to 4 s.
            if (v_oConn.sent == 0)
                oClient.sendPlain("POST /ALIVE HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
            else
                oClient.sendPlain(v_oConn.sent % 40 == 0 ? "\r\nX-Slow: " : "a");
            ++v_oConn.sent;
            v_oConn.nextAt = v_dNow + 2000 + static_cast<double>(m_oRng() % 2000);
            return;
        case Mode::SlowBody:
            // A body announced in full, arriving one byte every 3 s.
            if (v_oConn.sent == 0)
                oClient.sendPlain("POST /ALIVE HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                  "application/x-www-form-urlencoded\r\nContent-Length: 10000\r\n\r\n");
            else
                oClient.sendPlain("a");
            ++v_oConn.sent;
            v_oConn.nextAt = v_dNow + 3000;
            return;
        case Mode::NonReader:
            // Writes as long as the socket takes bytes and never reads a reply.
            while (oClient.isOpen() && oClient.pendingOutput() < 65536) {
                std::string oBatch;
                for (int i = 0; i < 20; ++i)
                    oBatch += "POST /SERVER_VERSION HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://a.example\r\n"
                              "Content-Length: 0\r\n\r\n";
                oClient.sendPlain(oBatch);
                m_lRequests += 20;
            }
            v_oConn.nextAt = v_dNow + 20;
            return;
        case Mode::Sessions:
            if (v_oConn.waiting || m_lSessions + static_cast<long>(m_iCount) > 100000)
                return;
            oClient.sendPlain("POST /OPEN_SESSION HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
            v_oConn.waiting = true;
            v_oConn.nextAt = v_dNow + 1e9;
            return;
        }
    }

    Loop &m_oLoop;
    SSL_CTX *m_pCtx;
    uint16_t m_uiPort;
    Mode m_eMode;
    int m_iCount;
    std::mt19937_64 m_oRng;
    std::vector<Conn> m_oConns;
    std::vector<std::unique_ptr<TlsClient>> m_oOld;
    long m_lOpened = 0;
    long m_lDropped = 0;
    long m_lRefused503 = 0;
    long m_lSessions = 0;
    long m_lRequests = 0;
};

struct AttackPlan
{
    std::string name;
    HoldAttack::Mode mode;
    int count;
};

const std::vector<AttackPlan> kAttacks = {
    {"silent-tcp-100", HoldAttack::Mode::SilentTcp, 100},
    {"silent-tcp-2000", HoldAttack::Mode::SilentTcp, 2000},
    {"half-tls-100", HoldAttack::Mode::HalfTls, 100},
    {"slowloris-500", HoldAttack::Mode::Slowloris, 500},
    {"slow-body-100", HoldAttack::Mode::SlowBody, 100},
    {"tls-idle-2000", HoldAttack::Mode::IdleTls, 2000},
    {"open-session-100k", HoldAttack::Mode::Sessions, 8},
    {"non-reader-4", HoldAttack::Mode::NonReader, 4},
};

void sampleInto(ProcStats &v_oPeak, pid_t v_iPid)
{
    const ProcStats oNow = readProcStats(v_iPid);
    v_oPeak.threads = std::max(v_oPeak.threads, oNow.threads);
    v_oPeak.fds = std::max(v_oPeak.fds, oNow.fds);
    v_oPeak.rssKb = std::max(v_oPeak.rssKb, oNow.rssKb);
}

int usage()
{
    std::fprintf(stderr, "usage: hostile_load [--seconds N] [--only name,...] [--recover-max S] [--same-server] [--short]\nattacks:");
    for (const AttackPlan &oPlan : kAttacks)
        std::fprintf(stderr, " %s", oPlan.name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication oApp(argc, argv);
    Options oOptions;
    for (int i = 1; i < argc; ++i) {
        const std::string oArg = argv[i];
        if (oArg == "--short") {
            oOptions.shortMode = true;
            oOptions.seconds = 4;
        } else if (oArg == "--seconds" && i + 1 < argc) {
            oOptions.seconds = std::atof(argv[++i]);
        } else if (oArg == "--same-server") {
            oOptions.sameServer = true;
        } else if (oArg == "--recover-max" && i + 1 < argc) {
            oOptions.recoverMax = std::atof(argv[++i]);
        } else if (oArg == "--only" && i + 1 < argc) {
            std::stringstream oList(argv[++i]);
            std::string oName;
            while (std::getline(oList, oName, ','))
                oOptions.only.insert(oName);
        } else {
            return usage();
        }
    }
    raiseOwnFileLimit();
    rlimit oOwnLimit{};
    if (::getrlimit(RLIMIT_NOFILE, &oOwnLimit) == 0 && oOwnLimit.rlim_cur < 4500)
        std::printf("hostile_load: this process may open only %llu files; the 2,000-connection attacks hold fewer\n",
                    static_cast<unsigned long long>(oOwnLimit.rlim_cur));

    const long kFileLimit = 1024;
    ServerUnderTest oServer;
    oServer.setFileLimit(kFileLimit);
    std::string oError;
    if (!oServer.start(oError)) {
        std::fprintf(stderr, "hostile_load: %s\n", oError.c_str());
        return 1;
    }
    if (oOptions.shortMode)
        oOptions.recoverMax = (oServer.readTimeoutMs() + 5000) / 1000.0;
    SSL_CTX *pCtx = makeClientContext(oServer.caFile());
    if (!pCtx) {
        std::fprintf(stderr, "hostile_load: cannot load %s\n", oServer.caFile().c_str());
        return 1;
    }
    if (!oServer.enterClientAccount()) {
        std::fprintf(stderr, "hostile_load: cannot take the server account's ids for the client\n");
        return 1;
    }
    std::printf("hostile_load: server pid %d port %u, readTimeout %d ms, open files %ld, %.0f s per attack, "
                "recovery watched up to %.0f s\n",
                static_cast<int>(oServer.pid()), oServer.port(), oServer.readTimeoutMs(), kFileLimit, oOptions.seconds,
                oOptions.recoverMax);
    std::fflush(stdout);

    Loop oLoop;
    auto pProbe = std::make_unique<Probe>(oLoop, pCtx, oServer.port());
    auto spin = [&](double v_dUntil, const std::function<void(double)> &v_fnEach) {
        while (nowMs() < v_dUntil) {
            oLoop.poll(5);
            const double dNow = nowMs();
            pProbe->tick(dNow);
            v_fnEach(dNow);
        }
    };

    // Warm-up probes, so the idle values hold a served server.
    spin(nowMs() + 1500, [](double) {});
    spin(nowMs() + 1000, [](double) {});
    ProcStats oIdle = readProcStats(oServer.pid());

    std::deque<AttackResult> oResults; // probes in flight keep pointers to their attack's result
    uint64_t uiSeed = 1;
    for (const AttackPlan &oPlan : kAttacks) {
        if (!oOptions.only.empty() && !oOptions.only.count(oPlan.name))
            continue;
        // A fresh server per attack, so no attack starts in another's traces.
        if (!readProcStats(oServer.pid()).alive || (!oOptions.sameServer && !oResults.empty())) {
            if (!oServer.restart(oError)) {
                std::fprintf(stderr, "hostile_load: %s\n", oError.c_str());
                break;
            }
            pProbe = std::make_unique<Probe>(oLoop, pCtx, oServer.port());
            spin(nowMs() + 2500, [](double) {});
            oIdle = readProcStats(oServer.pid());
        }
        oResults.emplace_back();
        AttackResult &oResult = oResults.back();
        oResult.name = oPlan.name;
        oResult.seconds = oOptions.seconds;
        const pid_t iPid = oServer.pid();
        oResult.base = oIdle;
        oResult.before = readProcStats(iPid);
        oResult.peak = oResult.before;

        auto pAttack = std::make_unique<HoldAttack>(oLoop, pCtx, oServer.port(), oPlan.mode, oPlan.count, uiSeed++);
        pProbe->setSink(&oResult);
        double dNextSample = 0;
        spin(nowMs() + oOptions.seconds * 1000.0, [&](double v_dNow) {
            pAttack->tick(v_dNow);
            if (v_dNow >= dNextSample) {
                dNextSample = v_dNow + 100;
                sampleInto(oResult.peak, iPid);
                if (!readProcStats(iPid).alive)
                    oResult.died = true;
            }
        });
        oResult.note = pAttack->note();
        pAttack->stop();
        pProbe->setSink(nullptr);

        // Recovery: every attack socket is closed; wait for the idle values.
        const double dStop = nowMs();
        bool bDone = oResult.died;
        double dNextCheck = 0;
        spin(dStop + oOptions.recoverMax * 1000.0 + 100, [&](double v_dNow) {
            if (bDone || v_dNow < dNextCheck)
                return;
            dNextCheck = v_dNow + 200;
            const ProcStats oNow = readProcStats(iPid);
            oResult.after = oNow;
            if (!oNow.alive) {
                oResult.died = true;
                bDone = true;
            } else if (withinBaseline(oNow, oResult.base)
                       || (oPlan.mode == HoldAttack::Mode::Sessions && sessionsOnlyAboveBaseline(oNow, oResult.base))) {
                oResult.recovery = (v_dNow - dStop) / 1000.0;
                bDone = true;
            }
        });
        pAttack.reset();
        const AttackResult &r = oResult;
        std::printf("%-18s before %d/%d/%.1f MB  probes %3d/%-3d p99 %7.1f ms  peak threads %4d fds %5d rss %7.1f MB  "
                    "recovered %s  %s  (%s)\n",
                    r.name.c_str(), r.before.threads, r.before.fds, r.before.rssKb / 1024.0, r.probesOk, r.probes, percentile(r.latencies, 99), r.peak.threads, r.peak.fds,
                    r.peak.rssKb / 1024.0, r.recovery >= 0 ? (std::to_string(r.recovery).substr(0, 4) + " s").c_str() : "no",
                    r.died ? "SERVER DIED" : "alive", r.note.c_str());
        std::fflush(stdout);
    }

    std::printf("\nidle: threads %d, fds %d, RSS %.1f MB (recovery means within 10%% of these)\n", oIdle.threads,
                oIdle.fds, oIdle.rssKb / 1024.0);
    std::printf("\n| Attack | Probes ok | p50 ms | p99 ms | Peak threads | Peak fds | Peak RSS MB | Before thr/fds/RSS MB | Recovered | Server |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    bool bInvariants = true;
    for (const AttackResult &r : oResults) {
        char aRecovered[32];
        if (r.recovery >= 0)
            std::snprintf(aRecovered, sizeof aRecovered, "%.1f s", r.recovery);
        else
            std::snprintf(aRecovered, sizeof aRecovered, "> %.0f s", oOptions.recoverMax);
        std::printf("| %s | %d/%d (%.0f%%) | %.1f | %.1f | %d | %d | %.1f | %d/%d/%.1f | %s | %s |\n", r.name.c_str(),
                    r.probesOk, r.probes, r.probes ? 100.0 * r.probesOk / r.probes : 0.0, percentile(r.latencies, 50),
                    percentile(r.latencies, 99), r.peak.threads, r.peak.fds, r.peak.rssKb / 1024.0, r.before.threads,
                    r.before.fds, r.before.rssKb / 1024.0, aRecovered, r.died ? "died" : "alive");
        std::vector<std::string> oBroken;
        if (r.died)
            oBroken.push_back("server died");
        if (r.probesOk == 0)
            oBroken.push_back("no probe served during the attack");
        if (r.peak.fds >= kFileLimit - 24)
            oBroken.push_back("fds reached the limit");
        if (r.peak.threads >= 250)
            oBroken.push_back("threads unbounded");
        if (r.peak.rssKb > r.base.rssKb + kRssBoundKb)
            oBroken.push_back("memory unbounded");
        if (r.recovery < 0)
            oBroken.push_back("not recovered (threads " + std::to_string(r.after.threads) + ", fds "
                              + std::to_string(r.after.fds) + ", RSS " + std::to_string(r.after.rssKb / 1024)
                              + " MB at the end)");
        if (!oBroken.empty()) {
            bInvariants = false;
            std::string oAll;
            for (const std::string &oItem : oBroken)
                oAll += (oAll.empty() ? "" : ", ") + oItem;
            std::printf("|   %s: %s |\n", r.name.c_str(), oAll.c_str());
        }
        std::printf("|   %s: %s |\n", r.name.c_str(), r.note.c_str());
        if (!r.probeFailures.empty()) {
            std::string oFailures;
            for (const auto &oEntry : r.probeFailures)
                oFailures += (oFailures.empty() ? "" : ", ") + oEntry.first + " x" + std::to_string(oEntry.second);
            std::printf("|   %s probe failures: %s |\n", r.name.c_str(), oFailures.c_str());
        }
    }
    std::fflush(stdout);
    SSL_CTX_free(pCtx);
    if (oOptions.shortMode) {
        std::printf("hostile_load --short: %s\n", bInvariants ? "all invariants held" : "INVARIANTS BROKEN");
        return bInvariants ? 0 : 1;
    }
    return 0;
}
