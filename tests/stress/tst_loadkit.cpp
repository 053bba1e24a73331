// The reply framing and the baseline rule of the load tools: a fault here
// would show up as false invariant violations (or hide real ones).

#include "loadkit.h"

#include <QtTest>

using namespace loadkit;

class TestLoadkit : public QObject
{
    Q_OBJECT
private slots:
    void repliesFromAnySplit_data();
    void repliesFromAnySplit();
    void replyWithoutLengthEndsAtClose();
    void garbageIsAnError();
    void baselineTolerance_data();
    void baselineTolerance();
};

namespace {

const std::string kTwoReplies =
    "HTTP/1.1 202 Accepted\r\nX-QTX-cmdId: 1\r\nContent-Length: 0\r\n\r\n"
    "HTTP/1.1 200 OK\r\nx-qtx-CMDID: 2\r\nContent-Length: 5\r\n\r\nhello";

} // namespace

void TestLoadkit::repliesFromAnySplit_data()
{
    QTest::addColumn<int>("step");
    QTest::newRow("whole") << 100000;
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("3 bytes") << 3;
    QTest::newRow("17 bytes") << 17;
}

void TestLoadkit::repliesFromAnySplit()
{
    QFETCH(int, step);
    ReplyParser oParser;
    std::vector<HttpReply> oReplies;
    for (size_t u = 0; u < kTwoReplies.size(); u += static_cast<size_t>(step)) {
        oParser.feed(kTwoReplies.substr(u, static_cast<size_t>(step)));
        HttpReply oReply;
        while (oParser.next(oReply))
            oReplies.push_back(oReply);
    }
    QCOMPARE(oReplies.size(), size_t(2));
    QCOMPARE(oReplies[0].status, 202);
    QCOMPARE(oReplies[0].reason, std::string("Accepted"));
    QCOMPARE(oReplies[0].header("X-QTX-cmdId"), std::string("1"));
    QCOMPARE(oReplies[0].body, std::string());
    QCOMPARE(oReplies[1].status, 200);
    QCOMPARE(oReplies[1].header("X-QTX-cmdId"), std::string("2"));
    QCOMPARE(oReplies[1].body, std::string("hello"));
    QVERIFY(!oParser.hasPartial());
}

void TestLoadkit::replyWithoutLengthEndsAtClose()
{
    // The server's fixed 413 text has no Content-Length: its body runs to the close.
    ReplyParser oParser;
    oParser.feed("HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n");
    HttpReply oReply;
    QVERIFY(!oParser.next(oReply));
    oParser.finish();
    QVERIFY(oParser.next(oReply));
    QCOMPARE(oReply.status, 413);
    QCOMPARE(oReply.body, std::string("413 Entity too large\r\n"));
}

void TestLoadkit::garbageIsAnError()
{
    ReplyParser oParser;
    oParser.feed("tials: true\r\n\r\n");
    HttpReply oReply;
    QVERIFY(!oParser.next(oReply));
    QVERIFY(!oParser.error().empty());
}

void TestLoadkit::baselineTolerance_data()
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

void TestLoadkit::baselineTolerance()
{
    QFETCH(int, threads);
    QFETCH(int, fds);
    QFETCH(int, rssKb);
    QFETCH(bool, within);
    ProcStats oBase;
    oBase.alive = true;
    oBase.threads = 4;
    oBase.fds = 14;
    oBase.rssKb = 30000;
    ProcStats oNow = oBase;
    oNow.threads = threads;
    oNow.fds = fds;
    oNow.rssKb = rssKb;
    QCOMPARE(withinBaseline(oNow, oBase), within);
    oNow.alive = false;
    QVERIFY(!withinBaseline(oNow, oBase));
}

QTEST_GUILESS_MAIN(TestLoadkit)
#include "tst_loadkit.moc"
