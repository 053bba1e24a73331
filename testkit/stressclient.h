#pragma once

// Stateful stress client against the real server over TLS.
//
// Many concurrent clients, each a page with its own session, run random
// sequences of OPEN_SESSION, ALIVE, SET_SESSION_VAR, SERVER_VERSION, module
// calls (KeepAlive/Ping, Hasher/Sha256, PublicInfo/SessionVariables),
// GET_RESULT (of their own jobs, and of other sessions' jobs) and CLOSE_SESSION.
// The bytes go out in random splits (whole, a few pieces, at line ends and
// between "\r" and "\n", byte by byte; each piece its own TLS record, some
// pieces delayed), the first request of a connection often in the same write
// as the handshake's last flight, several requests pipelined in one write,
// requests followed by the first bytes of the next one, connections dropped
// mid-request and mid-reply (FIN or reset) and "Connection: close".
//
// Invariants checked:
// - the server process never dies;
// - every complete request gets exactly one reply, and it is the reply to that
//   request: replies come in request order and carry the request's
//   X-QTX-cmdId and X-QTX-sessionId, with the status and body that request calls for;
// - a job's result is delivered once, with the bytes of that job (Hasher's
//   digest of this job's data; the calling session's own variables), and never
//   to another session (polling another session's command id gets no result);
// - SERVER_VERSION answers the same text throughout;
// - after the run, the server's threads, fds and RSS come back to within 10%
//   of the baseline (threads and fds with a slack of 2 and 3) within
//   readTimeout + 5 s.
//
// Engine::disabled leaves behaviours out, to narrow a failure down: pipeline,
// split, abort, coalesce, close, foreign. The same seed repeats the same
// choices (the server's thread timing still differs between runs).
//
// The test command runs it (tests/stress/tst_stress, which reads the
// QTX_STRESS_* variables); scripts/long-run.sh runs it longer under
// ThreadSanitizer.

#include "loadkit.h"

#include <openssl/ssl.h>

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace stress {

struct Job;
using JobPtr = std::shared_ptr<Job>;

struct Stats
{
    long requests = 0, replies = 0, connections = 0, handshakes = 0, coalesced = 0, pipelined = 0;
    long splitWrites = 0, chunks = 0, abortMidRequest = 0, abortMidReply = 0, connectionClose = 0;
    long jobsAccepted = 0, resultsDelivered = 0, foreignPolls = 0, serverClosedIdle = 0, refused503 = 0;
    std::map<std::string, long> errors;
    std::vector<std::string> details;
    loadkit::ProcStats peak;

    void error(const std::string &v_oKind, const std::string &v_oRaw)
    {
        std::string oDetail;
        for (char c : v_oRaw)
            oDetail += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
        // The first few of each kind are kept in full.
        if (++errors[v_oKind] <= 4 && details.size() < 40)
            details.push_back(v_oKind + ": " + oDetail);
    }
    long errorCount() const
    {
        long lCount = 0;
        for (const auto &oEntry : errors)
            lCount += oEntry.second;
        return lCount;
    }
};

class Engine
{
public:
    Engine(uint16_t v_uiPort, SSL_CTX *v_pCtx, uint64_t v_uiSeed, int v_iReplyTimeoutMs)
        : port(v_uiPort)
        , ctx(v_pCtx)
        , seed(v_uiSeed)
        , replyTimeoutMs(v_iReplyTimeoutMs)
    {
    }

    // Runs the clients for the given time, then lets the last replies arrive.
    void run(int v_iClients, double v_dSeconds, pid_t v_iServer);
    void sample(pid_t v_iServer);
    // Jobs of any session, for polls from another session.
    void offerForeign(const JobPtr &v_pJob);

    // Behaviours left out ("pipeline", "split", "abort", "coalesce", "close", "foreign").
    bool without(const char *v_pName) const { return disabled.count(v_pName) > 0; }
    std::set<std::string> disabled;

    loadkit::Loop loop;
    uint16_t port;
    SSL_CTX *ctx;
    uint64_t seed;
    int replyTimeoutMs;
    Stats stats;
    std::vector<JobPtr> foreign;
    size_t foreignNext = 0;
    std::string version;
    uint64_t cmdCounter = 1000000000000ull;
    int nextClientId = 1;
    bool serverDied = false;
};

} // namespace stress
