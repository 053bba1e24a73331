// Query and form parameters of HttpRequest and its percent-decoding.

#include "httprequest.h"
#include "httptestsupport.h"

#include <QtTest>

using norrweb::HttpRequest;

class TestHttpRequestParams : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }

    void percentDecode_data();
    void percentDecode();
    void bodyParameterWinsOverQuery();
    void queryNamesAndValuesAreDecoded();
    void pathIsCutAtFirstQuestionMark();
    void partsWithoutValueAndEmptyParts();
    void bodyDecodedOnlyForFormContent_data();
    void bodyDecodedOnlyForFormContent();
};

void TestHttpRequestParams::percentDecode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plus") << QByteArray("a+b") << QByteArray("a b");
    QTest::newRow("valid and invalid") << QByteArray("%41%zz") << QByteArray("A%zz");
    QTest::newRow("trailing single digit") << QByteArray("x%4") << QByteArray("x\x04");
    QTest::newRow("trailing percent") << QByteArray("abc%") << QByteArray("abc%");
    QTest::newRow("no double decoding") << QByteArray("%2541") << QByteArray("%41");
    QTest::newRow("percent then escape") << QByteArray("%%41") << QByteArray("%A");
    QTest::newRow("nul byte") << QByteArray("a%00b") << QByteArray("a\0b", 3);
    QTest::newRow("high byte") << QByteArray("%fF") << QByteArray("\xff");
    QTest::newRow("escaped plus stays plus") << QByteArray("%2B+") << QByteArray("+ ");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestHttpRequestParams::percentDecode()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QCOMPARE(HttpRequest::percentDecode(input), expected);
}

void TestHttpRequestParams::bodyParameterWinsOverQuery()
{
    auto poRequest = httptest::parse("POST /p?a=1&a=2 HTTP/1.1\r\n"
                                     "Content-Type: application/x-www-form-urlencoded; charset=utf-8\r\n"
                                     "Content-Length: 3\r\n\r\na=3");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getParameter("a"), QByteArray("3"));
    QCOMPARE(poRequest->getAllParameters().values("a"), (QList<QByteArray>{"3", "2", "1"}));
    QVERIFY(poRequest->getParameter("A").isEmpty());
}

void TestHttpRequestParams::queryNamesAndValuesAreDecoded()
{
    auto poRequest = httptest::parse("GET /x%20y?a+b=%41%zz&t=%4 HTTP/1.1\r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getDecodedPath(), QByteArray("/x y"));
    QCOMPARE(poRequest->getParameter("a b"), QByteArray("A%zz"));
    QCOMPARE(poRequest->getParameter("t"), QByteArray("\x04"));
}

void TestHttpRequestParams::pathIsCutAtFirstQuestionMark()
{
    auto poRequest = httptest::parse("GET /x%3Fy?q=1?r=2=3 HTTP/1.1\r\n\r\n");
    QCOMPARE(poRequest->getDecodedPath(), QByteArray("/x?y"));
    QCOMPARE(poRequest->getParameter("q"), QByteArray("1?r=2=3"));
    QCOMPARE(poRequest->getAllParameters().size(), 1);
}

void TestHttpRequestParams::partsWithoutValueAndEmptyParts()
{
    auto poRequest = httptest::parse("POST /p HTTP/1.1\r\nContent-Length: 21\r\n\r\n&flag&& k = v &=anon&");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    const QMultiMap<QByteArray, QByteArray> oParams = poRequest->getAllParameters();
    QCOMPARE(oParams.size(), 3);
    QVERIFY(oParams.contains("flag"));
    QVERIFY(oParams.value("flag").isEmpty());
    QCOMPARE(oParams.value("k"), QByteArray("v"));
    QCOMPARE(oParams.value(""), QByteArray("anon"));
}

void TestHttpRequestParams::bodyDecodedOnlyForFormContent_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("decoded");
    QTest::newRow("no content type") << QByteArray() << true;
    QTest::newRow("form") << QByteArray("Content-Type: application/x-www-form-urlencoded\r\n") << true;
    QTest::newRow("json") << QByteArray("Content-Type: application/json\r\n") << false;
    QTest::newRow("text") << QByteArray("content-type: text/plain\r\n") << false;
}

void TestHttpRequestParams::bodyDecodedOnlyForFormContent()
{
    QFETCH(QByteArray, contentType);
    QFETCH(bool, decoded);
    auto poRequest = httptest::parse("POST /p?q=1 HTTP/1.1\r\n" + contentType + "Content-Length: 7\r\n\r\nb=2&c=3");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getBody(), QByteArray("b=2&c=3"));
    QCOMPARE(poRequest->getParameter("q"), QByteArray("1"));
    QCOMPARE(poRequest->getAllParameters().contains("b"), decoded);
    QCOMPARE(poRequest->getAllParameters().size(), decoded ? 3 : 1);
}

QTEST_GUILESS_MAIN(TestHttpRequestParams)
#include "tst_httprequest_params.moc"
