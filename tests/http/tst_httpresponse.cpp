// Byte-exact framing of HttpResponse and the 501 fallback of HttpRequestHandler.

#include "httpcookie.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "httptestsupport.h"

#include <QBuffer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <functional>

using norrweb::HttpCookie;
using norrweb::HttpResponse;

class TestHttpResponse : public QObject
{
    Q_OBJECT

private slots:
    void defaultResponseInOneWrite();
    void twoPartsAreChunked();
    void chunkLengthIsLowerCaseHex();
    void connectionCloseSendsRawBody_data();
    void connectionCloseSendsRawBody();
    void headersAndCookiesInByteOrder();
    void setHeaderReplacesExactNameOnly();
    void contentLengthReplacesPresetValue();
    void settingsAfterFirstWriteAreNotSent();
    void closedDeviceGetsNothing();
    void largeBodyThroughRealSocket();
    void handlerBaseAnswers501();

private:
    QBuffer m_oBuffer;
};

static QByteArray capture(QBuffer &v_oBuffer, const std::function<void(HttpResponse &)> &v_oWriter)
{
    v_oBuffer.close();
    v_oBuffer.setData(QByteArray());
    v_oBuffer.open(QIODevice::WriteOnly);
    HttpResponse oResponse(&v_oBuffer);
    v_oWriter(oResponse);
    return v_oBuffer.data();
}

void TestHttpResponse::defaultResponseInOneWrite()
{
    const QByteArray oBytes = capture(m_oBuffer, [](HttpResponse &r) {
        QVERIFY(!r.isLastPartSent());
        QCOMPARE(r.getStatusCode(), 200);
        r.write("abc", true);
        QVERIFY(r.isLastPartSent());
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"));
}

void TestHttpResponse::twoPartsAreChunked()
{
    const QByteArray oBytes = capture(m_oBuffer, [](HttpResponse &r) {
        r.write("ab", false);
        QVERIFY(!r.isLastPartSent());
        r.write("", true);
        QVERIFY(r.isLastPartSent());
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"));
}

void TestHttpResponse::chunkLengthIsLowerCaseHex()
{
    const QByteArray oData(26, 'z');
    const QByteArray oBytes = capture(m_oBuffer, [&](HttpResponse &r) {
        r.write(oData);
        r.write(oData + oData + oData + oData + oData + oData + oData + oData + oData + oData, true);
    });
    QCOMPARE(oBytes, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a\r\n" + oData + "\r\n104\r\n"
                         + QByteArray(260, 'z') + "\r\n0\r\n\r\n");
}

void TestHttpResponse::connectionCloseSendsRawBody_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("raw");
    QTest::newRow("Connection: Close") << QByteArray("Connection") << QByteArray("Close") << true;
    QTest::newRow("connection: CLOSE") << QByteArray("connection") << QByteArray("CLOSE") << true;
    QTest::newRow("Connection: keep-alive") << QByteArray("Connection") << QByteArray("keep-alive") << false;
    QTest::newRow("CONNECTION is not looked up") << QByteArray("CONNECTION") << QByteArray("close") << false;
}

void TestHttpResponse::connectionCloseSendsRawBody()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(bool, raw);
    const QByteArray oBytes = capture(m_oBuffer, [&](HttpResponse &r) {
        r.setHeader(name, value);
        r.write("one", false);
        r.write("two", true);
    });
    const QByteArray oHeader = "HTTP/1.1 200 OK\r\n" + name + ": " + value + "\r\n";
    if (raw)
        QCOMPARE(oBytes, oHeader + "\r\nonetwo");
    else
        QCOMPARE(oBytes, oHeader + "Transfer-Encoding: chunked\r\n\r\n3\r\none\r\n3\r\ntwo\r\n0\r\n\r\n");
}

void TestHttpResponse::headersAndCookiesInByteOrder()
{
    const QByteArray oBytes = capture(m_oBuffer, [](HttpResponse &r) {
        r.setStatus(404, "Not Found");
        r.setHeader("content-type", "late");
        r.setHeader("Content-Type", "text/plain");
        r.setCookie(HttpCookie("b", "2", 0));
        r.setCookie(HttpCookie("a", "1", 60, "/"));
        r.getAllHeaders().insert("Access-Control-Allow-Origin", "*");
        r.write("", true);
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 404 Not Found\r\n"
                                "Access-Control-Allow-Origin: *\r\n"
                                "Content-Length: 0\r\n"
                                "Content-Type: text/plain\r\n"
                                "content-type: late\r\n"
                                "Set-Cookie: a=1; Max-Age=60; Path=/; Version=1\r\n"
                                "Set-Cookie: b=2; Version=1\r\n"
                                "\r\n"));
}

void TestHttpResponse::setHeaderReplacesExactNameOnly()
{
    const QByteArray oBytes = capture(m_oBuffer, [](HttpResponse &r) {
        r.setHeader("X", "1");
        r.setHeader("X", "2");
        r.write("", true);
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX: 2\r\n\r\n"));
}

void TestHttpResponse::contentLengthReplacesPresetValue()
{
    const QByteArray oBytes = capture(m_oBuffer, [](HttpResponse &r) {
        r.setHeader("Content-Length", "99");
        r.write("abcd", true);
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd"));
}

void TestHttpResponse::settingsAfterFirstWriteAreNotSent()
{
    const QByteArray oBytes = capture(m_oBuffer, [](HttpResponse &r) {
        r.write("a");
        r.setStatus(500, "Oops");
        r.setHeader("X-Late", "1");
        r.setCookie(HttpCookie("late", "1", 0));
        r.write("b", true);
        QCOMPARE(r.getStatusCode(), 500);
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n0\r\n\r\n"));
}

void TestHttpResponse::closedDeviceGetsNothing()
{
    QBuffer oClosed;
    HttpResponse oResponse(&oClosed);
    oResponse.write("abc", true);
    QVERIFY(oResponse.isLastPartSent());
    QVERIFY(oClosed.data().isEmpty());
}

void TestHttpResponse::largeBodyThroughRealSocket()
{
    // The writer blocks while more than 16 KiB wait in the socket; the reader runs here.
    QTcpServer oServer;
    QVERIFY(oServer.listen(QHostAddress::LocalHost));
    const quint16 uiPort = oServer.serverPort();
    QByteArray oBody(4 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < oBody.size(); ++i)
        oBody[i] = char('a' + i % 26);

    std::atomic<qint64> iMaxBacklog{0};
    QThread *poWriter = QThread::create([&]() {
        QTcpSocket oSocket;
        oSocket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8192);
        oSocket.connectToHost(QHostAddress::LocalHost, uiPort);
        if (!oSocket.waitForConnected(10000))
            return;
        HttpResponse oResponse(&oSocket);
        for (int i = 0; i < oBody.size(); i += 1 << 20) {
            oResponse.write(oBody.mid(i, 1 << 20), false);
            iMaxBacklog = qMax(iMaxBacklog.load(), oSocket.bytesToWrite());
        }
        oResponse.write(QByteArray(), true);
        oSocket.disconnectFromHost();
        if (oSocket.state() != QAbstractSocket::UnconnectedState)
            oSocket.waitForDisconnected(10000);
    });
    poWriter->start();

    QVERIFY(oServer.waitForNewConnection(10000));
    std::unique_ptr<QTcpSocket> poPeer(oServer.nextPendingConnection());
    QByteArray oReceived;
    QTRY_VERIFY_WITH_TIMEOUT((oReceived.append(poPeer->readAll()), oReceived.endsWith("\r\n0\r\n\r\n")), 60000);
    QVERIFY(poWriter->wait(10000));
    delete poWriter;

    const int iHeaderEnd = oReceived.indexOf("\r\n\r\n") + 4;
    QCOMPARE(oReceived.left(iHeaderEnd), QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"));
    QByteArray oDechunked;
    int iPos = iHeaderEnd;
    forever {
        const int iLineEnd = oReceived.indexOf("\r\n", iPos);
        QVERIFY(iLineEnd > iPos);
        bool bOk = false;
        const int iSize = oReceived.mid(iPos, iLineEnd - iPos).toInt(&bOk, 16);
        QVERIFY(bOk);
        if (iSize == 0)
            break;
        oDechunked.append(oReceived.mid(iLineEnd + 2, iSize));
        iPos = iLineEnd + 2 + iSize + 2;
    }
    QVERIFY(oDechunked == oBody);
    // Each part is handed over whole, but never on top of a full buffer.
    QVERIFY2(iMaxBacklog.load() <= 16384 + (1 << 20) + 16, QByteArray::number(iMaxBacklog.load()));
}

void TestHttpResponse::handlerBaseAnswers501()
{
    auto poRequest = httptest::parse("GET /missing%20override HTTP/1.1\r\n\r\n");
    QTest::ignoreMessage(QtCriticalMsg, "HttpRequestHandler: you need to override the service() function");
    QTest::ignoreMessage(QtDebugMsg, "HttpRequestHandler: request=GET /missing override HTTP/1.1");
    norrweb::HttpRequestHandler oHandler;
    const QByteArray oBytes = capture(m_oBuffer, [&](HttpResponse &r) {
        oHandler.service(*poRequest, r);
        QCOMPARE(r.getStatusCode(), 501);
        QVERIFY(r.isLastPartSent());
    });
    QCOMPARE(oBytes, QByteArray("HTTP/1.1 501 not implemented\r\nContent-Length: 19\r\n\r\n501 not implemented"));
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
