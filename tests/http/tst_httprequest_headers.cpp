// Request line and header block of HttpRequest.

#include "httprequest.h"
#include "httptestsupport.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using norrweb::HttpRequest;

class TestHttpRequestHeaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }

    void simpleGet_data();
    void simpleGet();
    void invalidFirstLine_data();
    void invalidFirstLine();
    void emptyLinesBeforeRequestLineAreSkipped();
    void repeatedHeaderKeepsBothEntries();
    void headerNameLowerCasedButNotTrimmed();
    void foldedLineExtendsCurrentHeader();
    void orphanContinuationIsIgnored();
    void peerAddressFromSocket();
    void debugMessageNamesPeerAndLine();
};

void TestHttpRequestHeaders::simpleGet_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("slice");
    const QByteArray oCrLf = "GET /a HTTP/1.1\r\nHost: example\r\n\r\n";
    QTest::newRow("crlf, at once") << oCrLf << 0;
    // Slices that never separate a CR from its LF: a lone LF after a line that ended
    // in CR counts as an empty line.
    QTest::newRow("crlf, slices of 5") << oCrLf << 5;
    QTest::newRow("bare lf") << QByteArray("GET /a HTTP/1.1\nHost: example\n\n") << 0;
    QTest::newRow("zero length") << QByteArray("GET /a HTTP/1.1\r\nHost: example\r\nContent-Length: 0\r\n\r\n") << 0;
    QTest::newRow("length not a number")
        << QByteArray("GET /a HTTP/1.1\r\nHost: example\r\nContent-Length: abc\r\n\r\n") << 0;
}

void TestHttpRequestHeaders::simpleGet()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, slice);
    auto poRequest = httptest::parse(raw, nullptr, slice);
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getMethod(), QByteArray("GET"));
    QCOMPARE(poRequest->getDecodedPath(), QByteArray("/a"));
    QCOMPARE(poRequest->getVersion(), QByteArray("HTTP/1.1"));
    QCOMPARE(poRequest->getHeader("Host"), QByteArray("example"));
    QVERIFY(poRequest->getBody().isEmpty());
    QVERIFY(poRequest->getAllParameters().isEmpty());
}

void TestHttpRequestHeaders::invalidFirstLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("two words") << QByteArray("GET /a");
    QTest::newRow("double blank") << QByteArray("GET  /a HTTP/1.1");
    QTest::newRow("four words") << QByteArray("GET /a b HTTP/1.1");
    QTest::newRow("no HTTP in version") << QByteArray("GET /a FTP/1.0");
    QTest::newRow("lower-case http") << QByteArray("GET /a http/1.1");
}

void TestHttpRequestHeaders::invalidFirstLine()
{
    QFETCH(QByteArray, line);
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: received broken HTTP request, invalid first line");
    httptest::FeedDevice oDevice;
    HttpRequest oRequest(nullptr);
    oDevice.feed(line + "\r\nHost: x\r\n\r\n");
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
    QVERIFY(oRequest.getMethod().isEmpty());
    // Aborted is final: the rest of the bytes are not read.
    const qint64 iLeft = oDevice.bytesAvailable();
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
    QCOMPARE(oDevice.bytesAvailable(), iLeft);
}

void TestHttpRequestHeaders::emptyLinesBeforeRequestLineAreSkipped()
{
    auto poRequest = httptest::parse("\r\n\r\n  \r\nPOST /x ANYHTTPTHING\r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getMethod(), QByteArray("POST"));
    // The version is taken as received; it only has to contain "HTTP".
    QCOMPARE(poRequest->getVersion(), QByteArray("ANYHTTPTHING"));
}

void TestHttpRequestHeaders::repeatedHeaderKeepsBothEntries()
{
    auto poRequest = httptest::parse("GET / HTTP/1.1\r\nHost: a\r\nhost:   b  \r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getHeader("HOST"), QByteArray("b"));
    QCOMPARE(poRequest->getAllHeaders().values("host"), (QList<QByteArray>{"b", "a"}));
    QVERIFY(poRequest->getHeader("Missing").isEmpty());
}

void TestHttpRequestHeaders::headerNameLowerCasedButNotTrimmed()
{
    auto poRequest = httptest::parse("GET / HTTP/1.1\r\nX-Name : v\r\nX-Other:a:b\r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QVERIFY(poRequest->getHeader("x-name").isEmpty());
    QCOMPARE(poRequest->getHeader("x-name "), QByteArray("v"));
    // Only the first colon separates name and value.
    QCOMPARE(poRequest->getHeader("x-other"), QByteArray("a:b"));
}

void TestHttpRequestHeaders::foldedLineExtendsCurrentHeader()
{
    auto poRequest = httptest::parse("GET / HTTP/1.1\r\nX-A: one\r\n more\r\n\t:last\r\nX-B: two\r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getHeader("x-a"), QByteArray("one more :last"));
    QCOMPARE(poRequest->getAllHeaders().values("x-a"),
             (QList<QByteArray>{"one more :last", "one more", "one"}));
    QCOMPARE(poRequest->getHeader("x-b"), QByteArray("two"));
}

void TestHttpRequestHeaders::orphanContinuationIsIgnored()
{
    auto poRequest = httptest::parse("GET / HTTP/1.1\r\n folded\r\n:colon-first\r\nX-A: one\r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getAllHeaders().size(), 1);
    QCOMPARE(poRequest->getHeader("x-a"), QByteArray("one"));
}

void TestHttpRequestHeaders::peerAddressFromSocket()
{
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost));
    QTcpSocket oClient;
    oClient.connectToHost(QHostAddress::LocalHost, oServer.serverPort());
    QVERIFY(oServer.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> poServerSide(oServer.nextPendingConnection());
    QVERIFY(oClient.waitForConnected(5000));

    oClient.write("GET /p HTTP/1.1\r\n\r\n");
    QVERIFY(oClient.waitForBytesWritten(5000));
    HttpRequest oRequest(nullptr);
    QTRY_VERIFY((httptest::pump(oRequest, *poServerSide), httptest::isFinal(oRequest.getState())));
    QCOMPARE(oRequest.getState(), HttpRequest::Complete);
    QCOMPARE(oRequest.getPeerAddress(), QHostAddress(QHostAddress::LocalHost));

    // Any other device has no peer.
    auto poBuffered = httptest::parse("GET /p HTTP/1.1\r\n\r\n");
    QVERIFY(poBuffered->getPeerAddress().isNull());
}

void TestHttpRequestHeaders::debugMessageNamesPeerAndLine()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, "HttpRequest: from : GET /p?q=1 HTTP/1.0");
    auto poRequest = httptest::parse("  GET /p?q=1 HTTP/1.0  \r\n\r\n");
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
}

QTEST_GUILESS_MAIN(TestHttpRequestHeaders)
#include "tst_httprequest_headers.moc"
