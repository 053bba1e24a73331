// The stress client (testkit/stressclient.h) against the real server: its
// own reply framing and baseline rule, then random request sequences from many
// clients with the invariants checked. Run alone:
//   flock /tmp/qtx-server.lock ctest --test-dir build -L stress -V
// Environment: QTX_STRESS_SECONDS (default 60 s in sanitizer builds, 20 s
// otherwise), QTX_STRESS_SEED, QTX_STRESS_CLIENTS (24), QTX_STRESS_WITHOUT
// (see stressclient.h).

#include "stressclient.h"

#include <QtTest>

#include <cstdio>
#include <random>

using namespace loadkit;
using stress::Engine;
using stress::Stats;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

long envLong(const char *v_pName, long v_lDefault)
{
    const QByteArray oValue = qgetenv(v_pName);
    bool bOk = false;
    const long lValue = oValue.toLong(&bOk);
    return bOk ? lValue : v_lDefault;
}

} // namespace

class TestStress : public QObject
{
    Q_OBJECT
private slots:
    // The tool's own reply framing and baseline rule first: a fault there would
    // show up as false invariant violations (or hide real ones).
    void replyParser_data();
    void replyParser();
    void baselineTolerance_data();
    void baselineTolerance();
    void randomSequences();
};

void TestStress::replyParser_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("step");      // bytes fed at a time
    QTest::addColumn<QStringList>("replies"); // "status|reason|X-QTX-cmdId|body" each; "error" for a framing error
    const QByteArray oTwo = "HTTP/1.1 202 Accepted\r\nX-QTX-cmdId: 1\r\nContent-Length: 0\r\n\r\n"
                            "HTTP/1.1 200 OK\r\nx-qtx-CMDID: 2\r\nContent-Length: 5\r\n\r\nhello";
    const QStringList oTwoReplies{"202|Accepted|1|", "200|OK|2|hello"};
    for (int iStep : {100000, 1, 3, 17})
        QTest::addRow("two replies, %d bytes at a time", iStep) << oTwo << iStep << oTwoReplies;
    // The server's fixed 413 text has no Content-Length: its body runs to the close.
    QTest::newRow("no length: ends at the close")
        << QByteArray("HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n") << 100000
        << QStringList{"413|entity too large||413 Entity too large\r\n"};
    QTest::newRow("garbage") << QByteArray("tials: true\r\n\r\n") << 100000 << QStringList{"error"};
}

void TestStress::replyParser()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, step);
    QFETCH(QStringList, replies);
    const std::string oStream = stream.toStdString();
    ReplyParser oParser;
    QStringList oSeen;
    HttpReply oReply;
    const auto take = [&] {
        while (oParser.next(oReply))
            oSeen << QString::fromStdString(std::to_string(oReply.status) + "|" + oReply.reason + "|"
                                            + oReply.header("X-QTX-cmdId") + "|" + oReply.body);
    };
    for (size_t u = 0; u < oStream.size(); u += static_cast<size_t>(step)) {
        oParser.feed(oStream.substr(u, static_cast<size_t>(step)));
        take();
    }
    if (replies == QStringList{"error"}) {
        QVERIFY(oSeen.isEmpty());
        QVERIFY(!oParser.error().empty());
        return;
    }
    const int iBeforeClose = oSeen.size();
    oParser.finish();
    take();
    QCOMPARE(oSeen, replies);
    // A reply without a length is complete only once the peer closed.
    QCOMPARE(iBeforeClose, stream.contains("Content-Length") ? replies.size() : 0);
    QVERIFY(!oParser.hasPartial());
}

void TestStress::baselineTolerance_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("fds");
    QTest::addColumn<int>("rssKb");
    QTest::addColumn<bool>("within");
    // Baseline: 4 threads, 14 fds, 30,000 kB.
    QTest::newRow("same") << 4 << 14 << 30000 << true;
    QTest::newRow("small counts get a slack") << 6 << 17 << 33000 << true;
    QTest::newRow("one thread too many") << 7 << 14 << 30000 << false;
    QTest::newRow("fds over") << 4 << 18 << 30000 << false;
    QTest::newRow("rss over 10%") << 4 << 14 << 33001 << false;
}

void TestStress::baselineTolerance()
{
    QFETCH(int, threads);
    QFETCH(int, fds);
    QFETCH(int, rssKb);
    QFETCH(bool, within);
    const ProcStats oBase{true, 4, 14, 30000};
    ProcStats oNow{true, threads, fds, rssKb};
    QCOMPARE(withinBaseline(oNow, oBase), within);
    oNow.alive = false;
    QVERIFY(!withinBaseline(oNow, oBase));
}

void TestStress::randomSequences()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double dSeconds = static_cast<double>(envLong("QTX_STRESS_SECONDS", kSanitized ? 60 : 20));
    const int iClients = static_cast<int>(envLong("QTX_STRESS_CLIENTS", 24));
    const uint64_t uiSeed = static_cast<uint64_t>(envLong("QTX_STRESS_SEED", static_cast<long>(std::random_device{}() % 1000000000u)));
    std::printf("stress: seed=%llu (QTX_STRESS_SEED=%llu repeats the choices) seconds=%.0f clients=%d\n",
                static_cast<unsigned long long>(uiSeed), static_cast<unsigned long long>(uiSeed), dSeconds, iClients);
    raiseOwnFileLimit();

    ServerUnderTest oServer;
    std::string oError;
    if (!oServer.start(oError))
        std::printf("stress: server start failed: %s\n", oServer.describeEnd(12).c_str());
    QVERIFY2(oError.empty(), oError.c_str());
    SSL_CTX *pCtx = makeClientContext(oServer.caFile());
    QVERIFY(pCtx);
    const pid_t iPid = oServer.pid();
    QVERIFY2(oServer.enterClientAccount(), "cannot take the server account's ids for the client");
    const int iReplyTimeout = oServer.readTimeoutMs() + 5000;

    // Warm-up: every module loaded once and its session closed, so the
    // baseline holds what a served server holds.
    {
        Engine oWarm(oServer.port(), pCtx, uiSeed + 7, iReplyTimeout);
        oWarm.disabled = {"pipeline", "split", "abort", "coalesce", "close", "foreign"};
        oWarm.run(2, 2.0, iPid);
    }
    QTest::qWait(3000);
    const ProcStats oBase = readProcStats(iPid);
    if (!oBase.alive)
        std::printf("stress: server ended: %s\n", oServer.describeEnd(12).c_str());
    QVERIFY2(oBase.alive, "the server died during the warm-up");
    std::printf("stress: baseline threads=%d fds=%d rss=%ld kB\n", oBase.threads, oBase.fds, oBase.rssKb);

    Engine oEngine(oServer.port(), pCtx, uiSeed, iReplyTimeout);
    for (const QByteArray &oName : qgetenv("QTX_STRESS_WITHOUT").split(','))
        if (!oName.isEmpty())
            oEngine.disabled.insert(oName.toStdString());
    const double dStart = nowMs();
    oEngine.run(iClients, dSeconds, iPid);
    const double dRun = (nowMs() - dStart) / 1000.0;

    // Recovery: within 10% of the baseline within readTimeout + 5 s.
    const double dRecoverStart = nowMs();
    std::string oWhy;
    bool bRecovered = false;
    ProcStats oAfter;
    while (nowMs() - dRecoverStart < oServer.readTimeoutMs() + 5000.0) {
        oAfter = readProcStats(iPid);
        if (withinBaseline(oAfter, oBase, &oWhy)) {
            bRecovered = true;
            break;
        }
        QTest::qWait(250);
    }
    const double dRecovery = (nowMs() - dRecoverStart) / 1000.0;
    // RSS under a sanitizer's quarantine says nothing about the server; it is printed only.
    if (!bRecovered && kSanitized && oAfter.alive) {
        ProcStats oNoRss = oAfter;
        oNoRss.rssKb = oBase.rssKb;
        bRecovered = withinBaseline(oNoRss, oBase, &oWhy);
    }

    const Stats &s = oEngine.stats;
    std::printf("stress: ran %.1f s: requests=%ld replies=%ld connections=%ld handshakes=%ld coalesced-first=%ld\n", dRun,
                s.requests, s.replies, s.connections, s.handshakes, s.coalesced);
    std::printf("stress: pipelined-batches=%ld split-writes=%ld chunks=%ld abort-mid-request=%ld abort-mid-reply=%ld "
                "connection-close=%ld\n",
                s.pipelined, s.splitWrites, s.chunks, s.abortMidRequest, s.abortMidReply, s.connectionClose);
    std::printf("stress: jobs-accepted=%ld results-delivered=%ld foreign-polls=%ld server-closed-idle=%ld refused-503=%ld\n",
                s.jobsAccepted, s.resultsDelivered, s.foreignPolls, s.serverClosedIdle, s.refused503);
    std::printf("stress: peak threads=%d fds=%d rss=%ld kB; after threads=%d fds=%d rss=%ld kB; %s after %.1f s\n",
                s.peak.threads, s.peak.fds, s.peak.rssKb, oAfter.threads, oAfter.fds, oAfter.rssKb,
                bRecovered ? "recovered" : "NOT recovered", dRecovery);
    std::printf("stress: errors=%ld\n", s.errorCount());
    for (const auto &oEntry : s.errors)
        std::printf("stress:   %-24s %ld\n", oEntry.first.c_str(), oEntry.second);
    for (const std::string &oDetail : s.details)
        std::printf("stress:   | %s\n", oDetail.c_str());
    if (!readProcStats(iPid).alive)
        std::printf("stress: server ended: %s\n", oServer.describeEnd(12).c_str());
    std::fflush(stdout);
    SSL_CTX_free(pCtx);

    QVERIFY2(!oEngine.serverDied && readProcStats(iPid).alive, "the server process died");
    QVERIFY2(s.replies > 0, "no reply at all");
    QVERIFY2(s.errorCount() == 0, "invariant violations (see the lines above; repeat with the seed)");
    QVERIFY2(bRecovered, ("threads, fds or RSS did not return to the baseline: " + oWhy).c_str());
}

QTEST_GUILESS_MAIN(TestStress)
#include "tst_stress.moc"
