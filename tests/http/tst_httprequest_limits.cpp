// Size limits, byte accounting and the final states of HttpRequest.

#include "httprequest.h"
#include "httptestsupport.h"

#include <QtTest>

using norrweb::HttpRequest;
using httptest::FeedDevice;
using httptest::ScratchSettings;

class TestHttpRequestLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }

    void announcedBodyOverDefaultLimitIsRefusedBeforeReading();
    void limitsComeFromSettings_data();
    void limitsComeFromSettings();
    void overlongLineAborts();
    void partialLineIsCountedAgain();
    void bodyCountsAndArrivesInSlices();
    void multipartAnnouncedTooLarge_data();
    void multipartAnnouncedTooLarge();
    void multipartReachingExactLimitAborts();
    void completeIsFinal();
    void abortedKeepsWarningOnEveryCall();
};

static const QByteArray kHead = "POST /f HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: ";

void TestHttpRequestLimits::announcedBodyOverDefaultLimitIsRefusedBeforeReading()
{
    // Header bytes plus 16000 announced bytes exceed the default 16000.
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: expected body is too large");
    FeedDevice oDevice;
    HttpRequest oRequest(nullptr);
    const QByteArray oBody(100, 'x');
    httptest::feedAll(oRequest, oDevice, kHead + "16000\r\n\r\n" + oBody);
    QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
    QCOMPARE(oDevice.bytesAvailable(), qint64(oBody.size()));
}

void TestHttpRequestLimits::limitsComeFromSettings_data()
{
    QTest::addColumn<int>("slack");
    QTest::addColumn<int>("expected");
    QTest::newRow("limit equals header plus body") << 0 << int(HttpRequest::Complete);
    QTest::newRow("one byte short") << -1 << int(HttpRequest::Aborted);
}

void TestHttpRequestLimits::limitsComeFromSettings()
{
    QFETCH(int, slack);
    QFETCH(int, expected);
    const QByteArray oHeader = kHead + "10\r\n\r\n";
    ScratchSettings oSettings(QStringLiteral("listener"),
                              {{QStringLiteral("maxRequestSize"), oHeader.size() + 10 + slack}});
    if (expected == HttpRequest::Aborted)
        QTest::ignoreMessage(QtWarningMsg, "HttpRequest: expected body is too large");
    auto poRequest = httptest::parse(oHeader + "0123456789", oSettings.get());
    QCOMPARE(int(poRequest->getState()), expected);
    if (expected == HttpRequest::Complete) {
        QCOMPARE(poRequest->getBody(), QByteArray("0123456789"));
        QCOMPARE(poRequest->getCurrentSize(), oHeader.size() + 10);
    }
}

void TestHttpRequestLimits::overlongLineAborts()
{
    ScratchSettings oSettings(QStringLiteral("listener"), {{QStringLiteral("maxRequestSize"), 64}});
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: received too many bytes");
    FeedDevice oDevice;
    HttpRequest oRequest(oSettings.get());
    const QByteArray oLine = "GET /" + QByteArray(200, 'a') + " HTTP/1.1\r\n\r\n";
    oDevice.feed(oLine);
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
    // One byte over the allowance is read, no more.
    QCOMPARE(oDevice.bytesAvailable(), qint64(oLine.size() - 65));
}

void TestHttpRequestLimits::partialLineIsCountedAgain()
{
    FeedDevice oDevice;
    HttpRequest oRequest(nullptr);
    oDevice.feed("GET /a HT");
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::AwaitingRequestLine);
    QCOMPARE(oRequest.getCurrentSize(), 9);
    oDevice.feed("TP/1.1\r\n");
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::AwaitingHeader);
    // The whole pending line counts again: 9 + 17.
    QCOMPARE(oRequest.getCurrentSize(), 26);
}

void TestHttpRequestLimits::bodyCountsAndArrivesInSlices()
{
    FeedDevice oDevice;
    HttpRequest oRequest(nullptr);
    const QByteArray oHeader = kHead + "10\r\n\r\n";
    httptest::feedAll(oRequest, oDevice, oHeader + "012");
    QCOMPARE(oRequest.getState(), HttpRequest::AwaitingBody);
    httptest::feedAll(oRequest, oDevice, "3456789NEXT");
    QCOMPARE(oRequest.getState(), HttpRequest::Complete);
    QCOMPARE(oRequest.getBody(), QByteArray("0123456789"));
    QCOMPARE(oRequest.getCurrentSize(), oHeader.size() + 10);
    // Bytes of a following request stay in the device.
    QCOMPARE(oDevice.bytesAvailable(), qint64(4));
}

void TestHttpRequestLimits::multipartAnnouncedTooLarge_data()
{
    QTest::addColumn<QByteArray>("length");
    QTest::addColumn<int>("expected");
    QTest::newRow("1000000 accepted") << QByteArray("1000000") << int(HttpRequest::AwaitingBody);
    QTest::newRow("1000001 refused") << QByteArray("1000001") << int(HttpRequest::Aborted);
}

void TestHttpRequestLimits::multipartAnnouncedTooLarge()
{
    QFETCH(QByteArray, length);
    QFETCH(int, expected);
    if (expected == HttpRequest::Aborted)
        QTest::ignoreMessage(QtWarningMsg, "HttpRequest: expected multipart body is too large");
    auto poRequest = httptest::parse("POST /u HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xyz\r\n"
                                     "Content-Length: " + length + "\r\n\r\n");
    QCOMPARE(int(poRequest->getState()), expected);
}

void TestHttpRequestLimits::multipartReachingExactLimitAborts()
{
    ScratchSettings oSettings(QStringLiteral("listener"), {{QStringLiteral("maxMultiPartSize"), 200}});
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: received too many multipart bytes");
    auto poRequest = httptest::parse("POST /u HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xyz\r\n"
                                     "Content-Length: 200\r\n\r\n" + QByteArray(200, 'z'),
                                     oSettings.get(), 50);
    QCOMPARE(poRequest->getState(), HttpRequest::Aborted);
}

void TestHttpRequestLimits::completeIsFinal()
{
    FeedDevice oDevice;
    HttpRequest oRequest(nullptr);
    httptest::feedAll(oRequest, oDevice, kHead + "3\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\na=1");
    QCOMPARE(oRequest.getState(), HttpRequest::Complete);
    oDevice.feed("GET /next HTTP/1.1\r\n\r\n");
    oRequest.consumeAvailable(&oDevice);
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::Complete);
    QCOMPARE(oRequest.getMethod(), QByteArray("POST"));
    // Parameters are decoded once only.
    QCOMPARE(oRequest.getAllParameters().values("a"), QList<QByteArray>{"1"});
    QCOMPARE(oDevice.bytesAvailable(), qint64(22));
}

void TestHttpRequestLimits::abortedKeepsWarningOnEveryCall()
{
    ScratchSettings oSettings(QStringLiteral("listener"), {{QStringLiteral("maxRequestSize"), 10}});
    FeedDevice oDevice;
    HttpRequest oRequest(oSettings.get());
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: received too many bytes");
    oDevice.feed("GET /0123456789 HTTP/1.1\r\n\r\n");
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
    // The size check runs again on a request that is already aborted.
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: received too many bytes");
    oRequest.consumeAvailable(&oDevice);
    QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
}

QTEST_GUILESS_MAIN(TestHttpRequestLimits)
#include "tst_httprequest_limits.moc"
