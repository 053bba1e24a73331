// HttpCookie formatting and splitting, request cookie extraction, response cookies.

#include "httpcookie.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httptestsupport.h"

#include <QtTest>

Q_DECLARE_METATYPE(norrweb::HttpCookie)

using norrweb::HttpCookie;
using norrweb::HttpRequest;
using norrweb::HttpResponse;

class TestHttpCookie : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }

    void toHeaderValue_data();
    void toHeaderValue();
    void splitCookieList_data();
    void splitCookieList();
    void requestCookiesAreExtracted();
    void laterCookieOfSameNameWins();
    void responseKeepsOneCookiePerName();
};

void TestHttpCookie::toHeaderValue_data()
{
    QTest::addColumn<HttpCookie>("cookie");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("session cookie") << HttpCookie("sessionid", "v", 3600)
                                    << QByteArray("sessionid=v; Max-Age=3600; Version=1");
    QTest::newRow("every attribute")
        << HttpCookie("n", "a b", -5, "/p", "c;1", "example.org", true, true)
        << QByteArray("n=a b; Comment=c;1; Domain=example.org; Max-Age=-5; Path=/p; Secure; HttpOnly; Version=1");
    QTest::newRow("default") << HttpCookie() << QByteArray("=; Version=1");
}

void TestHttpCookie::toHeaderValue()
{
    QFETCH(HttpCookie, cookie);
    QFETCH(QByteArray, expected);
    QCOMPARE(cookie.toHeaderValue(), expected);
}

void TestHttpCookie::splitCookieList_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>();
    QTest::newRow("only separators") << QByteArray(" ; ;;\t; ") << QList<QByteArray>();
    QTest::newRow("quoted separator") << QByteArray("a=1; b=\"x;y\"; c")
                                      << QList<QByteArray>{"a=1", "b=x;y", "c"};
    QTest::newRow("blanks inside quotes kept, outside trimmed")
        << QByteArray("  k=\" v \" ;") << QList<QByteArray>{"k= v"};
    QTest::newRow("unterminated quote") << QByteArray("a=\"x;y") << QList<QByteArray>{"a=x;y"};
}

void TestHttpCookie::splitCookieList()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, expected);
    QCOMPARE(HttpCookie::splitCookieList(text), expected);
}

void TestHttpCookie::requestCookiesAreExtracted()
{
    auto poRequest = httptest::parse("GET / HTTP/1.1\r\nCookie: a=1; b=\"x;y\"; c\r\nX-K: 1\r\n"
                                     "cookie: d = 4=4 \r\n\r\n");
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getCookie("a"), QByteArray("1"));
    QCOMPARE(poRequest->getCookie("b"), QByteArray("x;y"));
    QVERIFY(poRequest->getAllCookies().contains("c"));
    QVERIFY(poRequest->getCookie("c").isEmpty());
    QCOMPARE(poRequest->getCookie("d"), QByteArray("4=4"));
    QCOMPARE(poRequest->getAllCookies().size(), 4);
    QVERIFY(poRequest->getCookie("A").isEmpty());
    // Cookie headers are consumed; the others stay.
    QVERIFY(poRequest->getHeader("cookie").isEmpty());
    QVERIFY(!poRequest->getAllHeaders().contains("cookie"));
    QCOMPARE(poRequest->getHeader("x-k"), QByteArray("1"));
}

void TestHttpCookie::laterCookieOfSameNameWins()
{
    auto poRequest = httptest::parse("GET / HTTP/1.1\r\nCookie: a=1; a=2\r\n\r\n");
    QCOMPARE(poRequest->getCookie("a"), QByteArray("2"));
}

void TestHttpCookie::responseKeepsOneCookiePerName()
{
    HttpResponse oResponse(nullptr);
    oResponse.setCookie(HttpCookie("", "ignored", 1));
    QVERIFY(oResponse.getAllCookies().isEmpty());
    oResponse.setCookie(HttpCookie("s", "1", 1));
    oResponse.setCookie(HttpCookie("s", "2", 1));
    QCOMPARE(oResponse.getAllCookies().size(), 1);
    QCOMPARE(oResponse.getAllCookies().value("s").getValue(), QByteArray("2"));
}

QTEST_GUILESS_MAIN(TestHttpCookie)
#include "tst_httpcookie.moc"
