// HttpExchange: what one connection's HTTP/1.1 conversation yields for the
// bytes fed into it, however they are split: requests one at a time, the
// interim 100 Continue in its place, keep-alive, the fixed refusals, and
// large bodies sent from their own buffer after the header block.

#include "httpexchange.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"

#include <QtTest>

using norrweb::HttpExchange;
using norrweb::HttpRequest;

namespace {

// The body for a path: the path itself, or for "/large" a body the response
// keeps out of its header block's buffer.
QByteArray bodyFor(const QByteArray &v_oPath)
{
    return v_oPath == "/large" ? QByteArray(norrweb::HttpResponse::kSeparateBodyMin + 1000, 'L') : v_oPath;
}

// Answers every request with bodyFor() its path.
class PathHandler : public norrweb::HttpRequestHandler
{
public:
    void service(HttpRequest &v_oRequest, norrweb::HttpResponse &v_oResponse) override
    {
        v_oResponse.write(bodyFor(v_oRequest.getDecodedPath()), true);
    }
};

void feed(HttpExchange &v_oHttp, const QByteArray &v_oBytes)
{
    char *pTarget = v_oHttp.input().reserve(v_oBytes.size());
    memcpy(pTarget, v_oBytes.constData(), size_t(v_oBytes.size()));
    v_oHttp.input().commit(v_oBytes.size());
}

// Everything queued, a contiguous run at a time as the connection sends it.
QByteArray takeOutput(HttpExchange &v_oHttp)
{
    QByteArray oOut;
    while (v_oHttp.hasOutput()) {
        oOut.append(v_oHttp.outputData(), v_oHttp.outputSize());
        v_oHttp.sent(v_oHttp.outputSize());
    }
    return oOut;
}

// Serves the complete request and queues its reply.
void serveOne(HttpExchange &v_oHttp)
{
    PathHandler oHandler;
    bool bClose = false;
    QByteArray oReply = v_oHttp.respond(oHandler, bClose); // sets bClose
    v_oHttp.reply(std::move(oReply), bClose);
}

// Feeds the bytes in pieces of v_iStep, serving every request; returns what the
// client would read, and whether the exchange ended the connection.
QByteArray converse(const QByteArray &v_oBytes, int v_iStep, bool &v_bClosed, int &v_iRequests)
{
    HttpExchange oHttp(HttpExchange::Limits{200, 1000}, norrweb::HttpConnectionInfo());
    QByteArray oRead;
    v_bClosed = false;
    v_iRequests = 0;
    for (int iPos = 0; iPos < v_oBytes.size() && !v_bClosed; iPos += v_iStep) {
        feed(oHttp, v_oBytes.mid(iPos, v_iStep));
        for (;;) {
            const HttpExchange::Event eEvent = oHttp.parse();
            if (eEvent == HttpExchange::RequestReady) {
                ++v_iRequests;
                serveOne(oHttp);
            }
            oRead += takeOutput(oHttp);
            if (oHttp.closeAfterOutput()) {
                v_bClosed = true;
                break;
            }
            if (eEvent == HttpExchange::NeedInput)
                break;
        }
    }
    return oRead;
}

QByteArray ok(const QByteArray &v_oPath, bool v_bClose = false)
{
    const QByteArray oBody = bodyFor(v_oPath);
    return "HTTP/1.1 200 OK\r\n" + QByteArray(v_bClose ? "Connection: close\r\n" : "") + "Content-Length: "
           + QByteArray::number(oBody.size()) + "\r\n\r\n" + oBody;
}

const QByteArray kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
const QByteArray kBadRequest = "HTTP/1.1 400 Bad Request\r\nContent-Length: 17\r\nConnection: close\r\n\r\n400 Bad Request\r\n";
const QByteArray kTooLarge = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
const QByteArray kNotImplemented =
    "HTTP/1.1 501 Not Implemented\r\nContent-Length: 21\r\nConnection: close\r\n\r\n501 Not Implemented\r\n";

} // namespace

class TestHttpExchange : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.warning=false")); }

    // Every conversation is fed whole, in pieces of 7 bytes and byte by byte:
    // the client must read the same bytes each time.
    void conversation_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<int>("requests");

        const QByteArray oGetA = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
        QTest::newRow("keep-alive by default, pipelined")
            << QByteArray(oGetA + "GET /b HTTP/1.1\r\nHost: x\r\n\r\n" + oGetA)
            << QByteArray(ok("/a") + ok("/b") + ok("/a")) << false << 3;
        // The buffer of a reply that went out whole builds the next one: nothing of it may remain.
        const QByteArray oLong = "/" + QByteArray(150, 'l');
        QTest::newRow("long reply, then a short one")
            << QByteArray("GET " + oLong + " HTTP/1.1\r\nHost: x\r\n\r\n" + oGetA) << QByteArray(ok(oLong) + ok("/a"))
            << false << 2;
        QTest::newRow("large body, then a short reply")
            << QByteArray("GET /large HTTP/1.1\r\nHost: x\r\n\r\n" + oGetA) << QByteArray(ok("/large") + ok("/a"))
            << false << 2;
        QTest::newRow("large body, then close")
            << QByteArray("GET /large HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n") << ok("/large", true) << true
            << 1;
        QTest::newRow("client asks to close")
            << QByteArray("GET /a HTTP/1.1\r\nHost: x\r\nConnection: Close\r\n\r\n" + oGetA) << ok("/a", true) << true
            << 1;
        QTest::newRow("HTTP/1.0 closes") << QByteArray("GET /a HTTP/1.0\r\n\r\n") << ok("/a", true) << true << 1;
        QTest::newRow("HTTP/1.0 keep-alive")
            << QByteArray("GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" + oGetA) << QByteArray(ok("/a") + ok("/a"))
            << false << 2;
        QTest::newRow("body read, next request follows")
            << QByteArray("POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc" + oGetA)
            << QByteArray(ok("/p") + ok("/a")) << false << 2;
        QTest::newRow("a body on its way gets no 100 Continue")
            << QByteArray("POST /p HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc") << ok("/p")
            << false << 1;
        QTest::newRow("refused after a good request")
            << QByteArray(oGetA + "GET /b HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n" + oGetA)
            << QByteArray(ok("/a") + kBadRequest) << true << 1;
        QTest::newRow("transfer coding") << QByteArray("POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n")
                                         << kNotImplemented << true << 0;
        QTest::newRow("over the size limit") << QByteArray("GET /" + QByteArray(300, 'a') + " HTTP/1.1\r\n\r\n")
                                             << kTooLarge << true << 0;
    }
    void conversation()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QFETCH(bool, closed);
        QFETCH(int, requests);
        for (const int iStep : {int(input.size()), 7, 1}) {
            bool bClosed = false;
            int iRequests = 0;
            // With the body split from its header block, the client gets the 100
            // Continue it waits for before sending the rest.
            QByteArray oExpected = expected;
            if (iStep < input.size() && input.contains("Expect: 100-continue"))
                oExpected.prepend(kContinue);
            QCOMPARE(converse(input, iStep, bClosed, iRequests), oExpected);
            QCOMPARE(bClosed, closed);
            QCOMPARE(iRequests, requests);
        }
    }

    // The interim reply goes once, before the body is sent; a reply (and a
    // refusal of the bytes after it) queued while it is still partly unsent
    // follows it, never cuts into it.
    void continueStaysWhole_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("rest");
        QTest::addColumn<QByteArray>("refusal");
        QTest::newRow("reply follows") << QByteArray("/p") << QByteArray("abc") << QByteArray();
        QTest::newRow("reply, then a refusal") << QByteArray("/p") << QByteArray("abc" + QByteArray(300, 'x')) << kTooLarge;
        QTest::newRow("large reply follows") << QByteArray("/large") << QByteArray("abc") << QByteArray();
        QTest::newRow("large reply, then a refusal")
            << QByteArray("/large") << QByteArray("abc" + QByteArray(300, 'x')) << kTooLarge;
    }
    void continueStaysWhole()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, rest);
        QFETCH(QByteArray, refusal);
        HttpExchange oHttp(HttpExchange::Limits{200, 1000}, norrweb::HttpConnectionInfo());
        feed(oHttp, "POST " + path + " HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
        QCOMPARE(oHttp.parse(), HttpExchange::NeedInput);
        QVERIFY(!oHttp.betweenRequests());
        QCOMPARE(QByteArray(oHttp.outputData(), oHttp.outputSize()), kContinue);
        oHttp.sent(5); // the client has read "HTTP/" only
        feed(oHttp, rest.left(1));
        QCOMPARE(oHttp.parse(), HttpExchange::NeedInput);
        feed(oHttp, rest.mid(1));
        QCOMPARE(oHttp.parse(), HttpExchange::RequestReady);
        serveOne(oHttp);
        QVERIFY(oHttp.betweenRequests());
        if (!refusal.isEmpty()) // too many bytes for the next request
            QCOMPARE(oHttp.parse(), HttpExchange::Refused);
        QCOMPARE(takeOutput(oHttp), kContinue.mid(5) + ok(path) + refusal); // the interim reply not sent twice
        QCOMPARE(oHttp.closeAfterOutput(), !refusal.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHttpExchange)
#include "tst_httpexchange.moc"
