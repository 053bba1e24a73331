// HttpRequest: request line and header block, size limits, parameters and
// percent-decoding, multipart bodies with their temporary files, cookies.
// HttpResponse: byte-exact framing. HttpResponseReader: replies of a hostile
// peer, in any slicing, and what HttpResponse writes read back.

#include "httpcookie.h"
#include "httpfields.h"
#include "httpresponse.h"
#include "httpresponsereader.h"
#include "httptestsupport.h"

#include <QDir>
#include <QTemporaryFile>
#include <QtTest>

#include <functional>

using norrweb::HttpCookie;
using norrweb::HttpLimits;
using norrweb::HttpRequest;
using norrweb::HttpResponse;
using norrweb::HttpResponseReader;
using Bytes = QList<QByteArray>;

static QByteArray multipartRequest(const QByteArray &v_oBody, const QByteArray &v_oBoundary = "\"abc\"")
{
    return "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=" + v_oBoundary
           + "\r\nContent-Length: " + QByteArray::number(v_oBody.size()) + "\r\n\r\n" + v_oBody;
}

static QByteArray filePart(const QByteArray &v_oFileName, const QByteArray &v_oContent)
{
    return "--abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + v_oFileName + "\"\r\n\r\n" + v_oContent;
}

// "name=value" of every parameter, in the order of the request's map.
static Bytes parameterList(const HttpRequest &v_oRequest)
{
    Bytes oParams;
    const QMultiMap<QByteArray, QByteArray> oAll = v_oRequest.getAllParameters();
    for (auto it = oAll.constBegin(); it != oAll.constEnd(); ++it)
        oParams << it.key() + "=" + it.value();
    return oParams;
}

static int openFdCount()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

// Feeds v_oBytes in slices of v_iSlice bytes (0: at once), then ends the connection.
static void readReply(HttpResponseReader &v_oReader, const QByteArray &v_oBytes, int v_iSlice)
{
    const int iStep = v_iSlice > 0 ? v_iSlice : qMax(1, v_oBytes.size());
    for (int i = 0; i < v_oBytes.size(); i += iStep)
        v_oReader.feed(v_oBytes.mid(i, iStep));
    v_oReader.finish();
}

static QByteArray capture(const std::function<void(HttpResponse &)> &v_oWriter)
{
    QByteArray oOut;
    HttpResponse oResponse(&oOut);
    v_oWriter(oResponse);
    return oOut;
}

class TestHttpMessage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_oTempDir;
    int m_iBaselineFds = 0;

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        // Every temporary file of the parser lands here, so they can be counted.
        QVERIFY(m_oTempDir.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_oTempDir.path()));
        QCOMPARE(QDir::tempPath(), QDir(m_oTempDir.path()).canonicalPath());
        // Warm-up: Qt opens a descriptor or two of its own on first use of temporary files.
        httptest::parse(multipartRequest(filePart("a.txt", "x\r\n--abc--\r\n")));
        m_iBaselineFds = openFdCount();
    }

    void requestLine_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("slice");
        QTest::addColumn<bool>("valid");
        const QByteArray oGet = "GET /a HTTP/1.1\r\nHost: example\r\n\r\n";
        QTest::newRow("crlf, at once") << oGet << 0 << true;
        // Slices of 1 and 5 separate a CR from its LF; a line ends at its LF only.
        QTest::newRow("crlf, slices of 1") << oGet << 1 << true;
        QTest::newRow("crlf, slices of 5") << oGet << 5 << true;
        // Each byte counts once however the line is split: 15000 bytes fit the 16000 limit.
        QTest::newRow("long header, slices of 1")
            << oGet.chopped(2) + "X-Long: " + QByteArray(15000, 'l') + "\r\n\r\n" << 1 << true;
        // Lines are read in a first piece of up to 511 bytes, then the rest.
        for (const int iValue : {15000, 500, 501, 502, 503, 504})
            QTest::addRow("header line of %d bytes, at once", iValue + 10)
                << oGet.chopped(2) + "X-Long: " + QByteArray(iValue, 'l') + "\r\n\r\n" << 0 << true;
        QTest::newRow("bare lf") << QByteArray("GET /a HTTP/1.1\nHost: example\n\n") << 0 << true;
        QTest::newRow("empty lines first") << "\r\n\r\n  \r\n" + oGet << 0 << true;
        QTest::newRow("tab after the method") << QByteArray("GET\t /a HTTP/1.1\r\nHost: example\r\n\r\n") << 0 << true;
        QTest::newRow("names in any case") << QByteArray("GET /a HTTP/1.1\r\nhOsT: example\r\nX-LONG: v\r\n\r\n") << 3 << true;
        // Three words split by single blanks; only HTTP/1.0 and HTTP/1.1 are read, the
        // version compared whole.
        for (const char *pLine : {"GET /a", "GET  /a HTTP/1.1", "GET /a b HTTP/1.1", "GET /a FTP/1.0", "GET /a http/1.1",
                                  "GET /a HTTP/5.6", "GET /a IHTTP/1.0", "GET /a HTTP/1.1x", "GET /a HTTP/1.01",
                                  "GET /a HTTP/1", "GET /a HTTP/2.0", "GET /a HTTP"})
            QTest::addRow("first line '%s'", pLine) << QByteArray(pLine) + "\r\nHost: x\r\n\r\n" << 0 << false;
    }
    void requestLine()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, slice);
        QFETCH(bool, valid);
        httptest::FeedDevice oDevice;
        HttpRequest oRequest;
        if (valid) {
            httptest::feedAll(oRequest, oDevice, raw, slice);
            QCOMPARE(oRequest.getState(), HttpRequest::Complete);
            QCOMPARE(oRequest.getMethod(), QByteArray("GET"));
            QCOMPARE(oRequest.getDecodedPath(), QByteArray("/a"));
            QCOMPARE(oRequest.getVersion(), QByteArray("HTTP/1.1"));
            const int iLong = raw.toLower().indexOf("x-long: ");
            if (iLong >= 0)
                QCOMPARE(oRequest.getHeader("x-long"), raw.mid(iLong + 8, raw.indexOf('\r', iLong) - iLong - 8));
            QCOMPARE(oRequest.getHeader("Host"), QByteArray("example"));
            return;
        }
        QTest::ignoreMessage(QtWarningMsg, "HttpRequest: received broken HTTP request, invalid first line");
        oDevice.feed(raw);
        oRequest.consumeAvailable(&oDevice);
        QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
        // An invalid first line is answered with the fixed 413 text.
        QCOMPARE(int(oRequest.getAbortReason()), int(HttpRequest::TooLarge));
        QVERIFY(oRequest.getMethod().isEmpty());
        // Aborted is final: the rest of the bytes are not read.
        const qint64 iLeft = oDevice.bytesAvailable();
        oRequest.consumeAvailable(&oDevice);
        QCOMPARE(oRequest.getState(), HttpRequest::Aborted);
        QCOMPARE(oDevice.bytesAvailable(), iLeft);
    }

    void headerBlock()
    {
        // Names are lower-cased; the first colon separates; a folded line, whatever it
        // holds, adds an extended entry to the header above it; repeats are kept.
        auto poRequest = httptest::parse("GET / HTTP/1.1\r\nX-R: a\r\nx-r:   b  \r\nHost: h\r\n"
                                         "X-Other:a:b\r\nX-A: one\r\n more\r\n\t:last\r\n X-C: 3\r\nX-B: two\r\n\r\n");
        QCOMPARE(poRequest->getState(), HttpRequest::Complete);
        QCOMPARE(poRequest->getHeader("X-R"), QByteArray("b"));
        QCOMPARE(poRequest->getAllHeaders().values("x-r"), (Bytes{"b", "a"}));
        QCOMPARE(poRequest->getHeader("HOST"), QByteArray("h"));
        QCOMPARE(poRequest->getHeader("x-other"), QByteArray("a:b"));
        QCOMPARE(poRequest->getAllHeaders().values("x-a"),
                 (Bytes{"one more :last X-C: 3", "one more :last", "one more", "one"}));
        QCOMPARE(poRequest->getHeader("x-b"), QByteArray("two"));
        QCOMPARE(poRequest->getAllHeaders().size(), 9);
    }

    void fieldsReadLikeAMultiMap()
    {
        // The request's field list against QMultiMap, which it stands in for: the
        // same adds and removals in a seeded random order, then every reading.
        QMultiMap<QByteArray, QByteArray> oExpected;
        norrweb::HttpFields oFields;
        const Bytes oNames{"a", "ab", "b", "cookie", "host", "x-", "x-a", QByteArray("\xff", 1)};
        quint32 uState = 12345;
        auto next = [&uState](quint32 v_uRange) {
            uState = uState * 1103515245u + 12345u;
            return (uState >> 8) % v_uRange;
        };
        for (int i = 0; i < 400; ++i) {
            const QByteArray oName = oNames.at(int(next(quint32(oNames.size()))));
            if (next(5) == 0) {
                QCOMPARE(oFields.remove(oName), oExpected.remove(oName));
            } else {
                const QByteArray oValue = QByteArray::number(i);
                oExpected.insert(oName, oValue);
                oFields.insert(oName, oValue);
            }
            QCOMPARE(oFields.size(), oExpected.size());
            auto itExpected = oExpected.constBegin();
            for (auto it = oFields.constBegin(); it != oFields.constEnd(); ++it, ++itExpected) {
                QCOMPARE(it.key(), itExpected.key());
                QCOMPARE(it.value(), itExpected.value());
            }
            for (const QByteArray &oAny : oNames) {
                QCOMPARE(oFields.value(oAny), oExpected.value(oAny));
                QCOMPARE(oFields.values(oAny), oExpected.values(oAny));
                QCOMPARE(oFields.count(oAny), oExpected.count(oAny));
                QCOMPARE(oFields.contains(oAny), oExpected.contains(oAny));
                QCOMPARE(oFields.constFind(oAny) == oFields.constEnd(), oExpected.constFind(oAny) == oExpected.constEnd());
            }
        }
    }

    void sizeLimits_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("slice");
        QTest::addColumn<int>("state");
        QTest::addColumn<QByteArray>("warning");
        QTest::addColumn<int>("left"); // bytes not read from the device; -1: not checked
        const QByteArray oHead = "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: ";
        const QByteArray oTen = oHead + "10\r\n\r\n0123456789";
        const QByteArray oNext = "GET /next HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        const QByteArray oMulti =
            "POST /u HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=xyz\r\nContent-Length: ";
        const QByteArray oLine = "GET /" + QByteArray(200, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        const QByteArray oTooLarge = "HttpRequest: expected body is too large";
        // Header bytes plus 16000 announced bytes exceed the default 16000: refused before the body is read.
        QTest::newRow("default, announced body too large") << QVariantMap() << oHead + "16000\r\n\r\n" + QByteArray(100, 'x')
                                                           << 0 << int(HttpRequest::Aborted) << oTooLarge << 100;
        // The request ends at its body: the next one stays in the device.
        QTest::newRow("limit equals header plus body") << QVariantMap{{"maxRequestSize", oTen.size()}} << oTen + oNext
                                                       << 0 << int(HttpRequest::Complete) << QByteArray() << oNext.size();
        QTest::newRow("one byte short") << QVariantMap{{"maxRequestSize", oTen.size() - 1}} << oTen << 0
                                        << int(HttpRequest::Aborted) << oTooLarge << -1;
        // One byte over the allowance is read, no more.
        QTest::newRow("overlong line") << QVariantMap{{"maxRequestSize", 64}} << oLine << 0 << int(HttpRequest::Aborted)
                                       << QByteArray("HttpRequest: received too many bytes") << oLine.size() - 65;
        QTest::newRow("multipart 1000000 accepted") << QVariantMap() << oMulti + "1000000\r\n\r\n" << 0
                                                    << int(HttpRequest::AwaitingBody) << QByteArray() << 0;
        QTest::newRow("multipart 1000001 refused") << QVariantMap() << oMulti + "1000001\r\n\r\n" << 0
                                                   << int(HttpRequest::Aborted)
                                                   << QByteArray("HttpRequest: expected multipart body is too large") << 0;
        QTest::newRow("multipart reaching its limit")
            << QVariantMap{{"maxMultiPartSize", 200}} << oMulti + "200\r\n\r\n" + QByteArray(200, 'z') << 50
            << int(HttpRequest::Aborted) << QByteArray("HttpRequest: received too many multipart bytes") << -1;
    }
    void sizeLimits()
    {
        QFETCH(QVariantMap, settings);
        QFETCH(QByteArray, raw);
        QFETCH(int, slice);
        QFETCH(int, state);
        QFETCH(QByteArray, warning);
        QFETCH(int, left);
        httptest::ScratchSettings oSettings(QStringLiteral("listener"), settings);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, warning.constData());
        httptest::FeedDevice oDevice;
        HttpRequest oRequest(HttpLimits::fromSettings(settings.isEmpty() ? nullptr : oSettings.get()));
        httptest::feedAll(oRequest, oDevice, raw, slice);
        QCOMPARE(int(oRequest.getState()), state);
        if (left >= 0)
            QCOMPARE(oDevice.bytesAvailable(), qint64(left));
        if (state == HttpRequest::Complete) {
            QCOMPARE(oRequest.getBody(), QByteArray("0123456789"));
            QCOMPARE(oRequest.getCurrentSize(), raw.size() - left);
            oRequest.consumeAvailable(&oDevice); // Complete is final
            QCOMPARE(oRequest.getState(), HttpRequest::Complete);
            QCOMPARE(oDevice.bytesAvailable(), qint64(left));
        }
    }

    void largeBodyInSlices()
    {
        // A body of a megabyte and more gets its room when the head is read;
        // slices fill it in order, and a body that stops short is what came.
        QByteArray oBody(3 * 1024 * 1024 + 7, Qt::Uninitialized);
        for (int i = 0; i < oBody.size(); ++i)
            oBody[i] = char((i * 131) >> 3);
        const QByteArray oHead = "POST /f HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/pdf\r\nContent-Length: "
                                 + QByteArray::number(oBody.size()) + "\r\n\r\n";
        const QVariantMap oLimits{{"maxRequestSize", 8 << 20}};
        for (const int iArrived : {int(oBody.size()), 100000}) {
            httptest::ScratchSettings oSettings(QStringLiteral("listener"), oLimits);
            httptest::FeedDevice oDevice;
            HttpRequest oRequest(HttpLimits::fromSettings(oSettings.get()));
            httptest::feedAll(oRequest, oDevice, oHead + oBody.left(iArrived), 65521);
            QCOMPARE(oRequest.getState(), iArrived == oBody.size() ? HttpRequest::Complete : HttpRequest::AwaitingBody);
            QVERIFY(oRequest.getBody() == oBody.left(iArrived));
        }
    }

    void bodyFraming_data()
    {
        // Where a request and its body end must be unambiguous, or the bytes after them
        // would be taken as the next request, or read otherwise by a proxy on the way:
        // such requests are refused (400); Transfer-Encoding is not parsed (501).
        QTest::addColumn<QByteArray>("start"); // the request line and the header lines before "head"
        QTest::addColumn<QByteArray>("head");  // header lines up to the empty line
        QTest::addColumn<int>("reason");
        QTest::addColumn<QByteArray>("warning");
        const QByteArray oStart = "POST /a HTTP/1.1\r\nHost: x\r\n";
        const QByteArray oLine = "POST /a HTTP/1.1\r\n";
        const QByteArray oFive = "Content-Length: 5\r\n";
        const QByteArray oBroken = "HttpRequest: received broken HTTP request, ";
        const QByteArray oLength = oBroken + "invalid Content-Length";
        const QByteArray oControl = oBroken + "control character in a line";
        const QByteArray oBlanks = oBroken + "header line of blanks only";
        const QByteArray oName = oBroken + "invalid header name";
        const QByteArray oTwoHosts = oBroken + "more than one Host header";
        const int iOk = HttpRequest::NotAborted;
        const int iBad = HttpRequest::BadFraming;
        QTest::newRow("valid length") << oStart << oFive << iOk << QByteArray();
        const char *const apBadLengths[] = {"abc", "-1", "+5", "2147483648", "99999999999", "5, 5", "5 5", "0x5", ""};
        for (const char *pValue : apBadLengths)
            QTest::addRow("length '%s'", pValue) << oStart << "Content-Length: " + QByteArray(pValue) + "\r\n" << iBad
                                                 << oLength;
        QTest::newRow("length twice, equal") << oStart << oFive + "content-length: 5\r\n" << iBad << oLength;
        QTest::newRow("length folded") << oStart << oFive + " 5\r\n" << iBad << oLength;
        QTest::newRow("blank before colon") << oStart << QByteArray("Content-Length : 5\r\n") << iBad << oName;
        QTest::newRow("length as continuation") << oStart << "X-A: 1\r\n " + oFive << iBad << oLength;
        QTest::newRow("transfer-encoding as continuation") << oStart << "X-A: 1\r\n\tTransfer-Encoding: chunked\r\n" + oFive
                                                           << iBad << oLength;
        QTest::newRow("largest length") << oStart << QByteArray("Content-Length: 2147483647\r\n") << int(HttpRequest::TooLarge)
                                        << QByteArray("HttpRequest: expected body is too large");
        for (const char *pCoding : {"chunked", "identity", "gzip, chunked"})
            QTest::addRow("transfer-encoding %s", pCoding)
                << oStart << oFive + "Transfer-Encoding: " + QByteArray(pCoding) + "\r\n"
                << int(HttpRequest::UnsupportedFraming) << QByteArray("HttpRequest: Transfer-Encoding is not supported");
        static const char kNulLine[] = "POST /a\0b HTTP/1.1\r\nHost: x\r\n";
        static const char kNul[] = "X-A: a\0b\r\n";
        QTest::newRow("NUL in the request line") << QByteArray(kNulLine, sizeof kNulLine - 1) << oFive << iBad << oControl;
        QTest::newRow("NUL in a header") << oStart << QByteArray(kNul, sizeof kNul - 1) << iBad << oControl;
        QTest::newRow("bare CR in a header") << oStart << "X-A: a\r" + oFive << iBad << oControl;
        QTest::newRow("escape in a header") << oStart << QByteArray("X-A: \x1b[0m\r\n") << iBad << oControl;
        QTest::newRow("tab is allowed") << oStart << "X-A:\ta\tb\r\n" + oFive << iOk << QByteArray();

        // A line of blanks would end the header block for us but not for a proxy.
        QTest::newRow("blanks only") << oStart << "X-A: 1\r\n  \r\n" + oFive << iBad << oBlanks;
        QTest::newRow("tab only") << oStart << "X-A: 1\r\n\t\r\n" + oFive << iBad << oBlanks;
        QTest::newRow("blank only, first header line") << oLine << " \r\nHost: x\r\n" + oFive << iBad << oBlanks;
        // A continuation with nothing to continue is taken as a header by other parsers.
        const QByteArray oFirst = oBroken + "continuation line before the first header";
        QTest::newRow("continuation first") << oLine << " X-A: 1\r\nHost: x\r\n" + oFive << iBad << oFirst;
        QTest::newRow("tab continuation first") << oLine << "\tHost: x\r\n" + oFive << iBad << oFirst;
        // Later continuations are folded into the header above, colon or not.
        QTest::newRow("continuation") << oStart << "X-A: one\r\n more\r\n" + oFive << iOk << QByteArray();
        QTest::newRow("continuation with a colon") << oStart << "X-A: one\r\n\tX-B: two\r\n" + oFive << iOk << QByteArray();
        // Names are tokens up to the colon.
        QTest::newRow("blank before colon, other header") << oStart << "X-A : 1\r\n" + oFive << iBad << oName;
        QTest::newRow("Host : x") << oLine << "Host : x\r\n" + oFive << iBad << oName;
        QTest::newRow("tab before colon") << oStart << "X-A\t: 1\r\n" + oFive << iBad << oName;
        QTest::newRow("nameless") << oStart << ": 1\r\n" + oFive << iBad << oName;
        QTest::newRow("no colon") << oStart << "X-A 1\r\n" + oFive << iBad << oBroken + "header line without a colon";
        const char acNotInNames[] = {' ', '"', '(', ')', ',', '/', ';', '<', '=', '>', '?', '@', '[', '\\', ']', '{', '}', '\x80', '\xff'};
        for (const char c : acNotInNames)
            QTest::addRow("name byte 0x%02x", unsigned(static_cast<unsigned char>(c)))
                << oStart << "X" + QByteArray(1, c) + "A: 1\r\n" + oFive << iBad << oName;
        QTest::newRow("every token byte") << oStart << "!#$%&'*+-.^_`|~09azAZ: 1\r\n" + oFive << iOk << QByteArray();
        // Host: exactly one in HTTP/1.1, at most one in HTTP/1.0.
        QTest::newRow("no Host") << oLine << oFive << iBad << oBroken + "no Host header";
        QTest::newRow("no Host, HTTP/1.0") << QByteArray("POST /a HTTP/1.0\r\n") << oFive << iOk << QByteArray();
        QTest::newRow("two Hosts") << oStart << "host: y\r\n" + oFive << iBad << oTwoHosts;
        QTest::newRow("two equal Hosts") << oStart << "X-A: 1\r\nHost: x\r\n" + oFive << iBad << oTwoHosts;
        QTest::newRow("two Hosts, HTTP/1.0") << QByteArray("POST /a HTTP/1.0\r\nHost: x\r\n") << "HOST: y\r\n" + oFive
                                             << iBad << oTwoHosts;
        // Empty lines before the request line are skipped.
        QTest::newRow("empty lines first") << "\r\n\n\r\n" + oStart << oFive << iOk << QByteArray();
    }
    void bodyFraming()
    {
        QFETCH(QByteArray, start);
        QFETCH(QByteArray, head);
        QFETCH(int, reason);
        QFETCH(QByteArray, warning);
        for (int iSlice : {0, 1}) {
            if (!warning.isEmpty())
                QTest::ignoreMessage(QtWarningMsg, warning.constData());
            auto poRequest = httptest::parse(start + head + "\r\nhello", nullptr, iSlice);
            QCOMPARE(int(poRequest->getAbortReason()), reason);
            QCOMPARE(poRequest->getState(), reason == HttpRequest::NotAborted ? HttpRequest::Complete : HttpRequest::Aborted);
            QCOMPARE(poRequest->getBody(), reason == HttpRequest::NotAborted ? QByteArray("hello") : QByteArray());
        }
    }

    void temporaryFileCaps()
    {
        // Upload fields are bounded per request (413); the body's file, kept while its
        // uploads point into it, counts for the process (503), so that requests cannot
        // fill the descriptor table. A field repeated replaces its content.
        HttpLimits oLimits;
        oLimits.maxUploadedFiles = 2;
        QByteArray oThree, oRepeated;
        for (const char *pName : {"f1", "f2", "f3"}) {
            oThree += "--abc\r\nContent-Disposition: form-data; name=\"" + QByteArray(pName) + "\"; filename=\"x\"\r\n\r\nx\r\n";
            oRepeated += filePart("x", "x\r\n");
        }
        QTest::ignoreMessage(QtWarningMsg, "HttpRequest: too many uploaded files in one request");
        auto poThree = httptest::parse(multipartRequest(oThree + "--abc--\r\n"), oLimits);
        QCOMPARE(int(poThree->getAbortReason()), int(HttpRequest::TooLarge));
        poThree.reset();
        auto poRepeated = httptest::parse(multipartRequest(oRepeated + "--abc--\r\n"), oLimits);
        QCOMPARE(poRepeated->getState(), HttpRequest::Complete);
        QCOMPARE(poRepeated->getUploadedFiles().size(), 1);

        QCOMPARE(poRepeated->getUploadedFiles().value("f"), QByteArray("x"));
        // Held: the body file, which the upload points into.
        QCOMPARE(HttpRequest::temporaryFilesInUse(), 1);
        oLimits.maxTemporaryFiles = 1;
        QTest::ignoreMessage(QtWarningMsg, "HttpRequest: no temporary file available, 1 in use");
        auto poRefused = httptest::parse(multipartRequest(filePart("y", "y\r\n--abc--\r\n")), oLimits);
        // Another request's own limit is its own: the default still has room.
        auto poOther = httptest::parse(multipartRequest(filePart("y", "y\r\n--abc--\r\n")));
        QCOMPARE(poOther->getState(), HttpRequest::Complete);
        poOther.reset();
        QCOMPARE(int(poRefused->getAbortReason()), int(HttpRequest::NoTemporaryFile));
        poRepeated.reset();
        QCOMPARE(HttpRequest::temporaryFilesInUse(), 0);
        auto poAccepted = httptest::parse(multipartRequest(filePart("y", "y\r\n--abc--\r\n")), oLimits);
        QCOMPARE(poAccepted->getState(), HttpRequest::Complete);
    }

    void percentDecode_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("plus") << QByteArray("a+b") << QByteArray("a b");
        QTest::newRow("valid and invalid") << QByteArray("%41%zz") << QByteArray("A%zz");
        QTest::newRow("trailing single digit") << QByteArray("x%4") << QByteArray("x\x04");
        QTest::newRow("trailing percent") << QByteArray("abc%") << QByteArray("abc%");
        QTest::newRow("no double decoding") << QByteArray("%2541") << QByteArray("%41");
        QTest::newRow("escaped plus stays plus") << QByteArray("%2B+") << QByteArray("+ ");
    }
    void percentDecode()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QCOMPARE(HttpRequest::percentDecode(input), expected);
    }

    void queryAndFormParameters()
    {
        // The path ends at the first '?'; names and values are decoded; a body parameter
        // comes before the query's of the same name; parts without '=' and empty parts.
        auto poRequest = httptest::parse("POST /x%3Fy%20z?a=1&a=2&a+b=%41%zz&q=1?r=2=3 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                         "Content-Type: application/x-www-form-urlencoded; charset=utf-8\r\n"
                                         "Content-Length: 24\r\n\r\na=3&flag&& k = v &=anon&");
        QCOMPARE(poRequest->getState(), HttpRequest::Complete);
        QCOMPARE(poRequest->getDecodedPath(), QByteArray("/x?y z"));
        QCOMPARE(parameterList(*poRequest), (Bytes{"=anon", "a=3", "a=2", "a=1", "a b=A%zz", "flag=", "k=v", "q=1?r=2=3"}));
        QCOMPARE(poRequest->getParameter("a"), QByteArray("3"));
        QVERIFY(poRequest->getParameter("A").isEmpty());
    }

    void multipart_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("slice");
        QTest::addColumn<Bytes>("params"); // "name=value" in map order
        QTest::addColumn<QByteArray>("file"); // content of upload "f"; null: none
        QTest::addColumn<int>("fds");         // descriptors the request holds
        const QByteArray oFieldAndFile = "--abc\r\nContent-Disposition: form-data; name=\"field1\"\r\n\r\nhello\r\nworld\r\n"
                                         + filePart("a.txt", "line1\r\nbare\rcr\nlf\r\n--abc--\r\n");
        // One descriptor, the raw body's, with or without uploads: they are views into
        // it (a closed QTemporaryFile keeps its descriptor too).
        for (int iSlice : {0, 7})
            QTest::addRow("field and file, slices of %d", iSlice) << multipartRequest(oFieldAndFile) << iSlice
                << Bytes{"f=a.txt", "field1=hello\r\nworld"} << QByteArray("line1\r\nbare\rcr\nlf") << 1;
        // Longer than one 64 KiB slice, a line longer than the line bound; unquoted boundary.
        QByteArray oLarge(100000, 'q');
        oLarge.append("\n").append(QByteArray(70000, '\r')).append("tail");
        QTest::newRow("large file") << multipartRequest(filePart("big.bin", oLarge + "\r\n--abc--\r\n"), "abc") << 0
                                    << Bytes{"f=big.bin"} << oLarge << 1;
        // The delimiter counts only at a line's start and whole; bytes are bytes.
        const QByteArray oLookalikes("a--abc\0b\r\nx\r\n--ab\n--abX", 23);
        QTest::newRow("delimiter look-alikes and NUL in a file")
            << multipartRequest(filePart("l.bin", oLookalikes + "\r\n--abc--\r\n")) << 0 << Bytes{"f=l.bin"} << oLookalikes << 1;
        QTest::newRow("empty file") << multipartRequest(filePart("e.txt", "\r\n--abc--\r\n")) << 0 << Bytes{"f=e.txt"}
                                    << QByteArray("") << 1;
        QTest::newRow("missing closing boundary")
            << multipartRequest("--abc\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv\r\n"
                                + filePart("cut.txt", "partial data"))
            << 0 << Bytes{"k=v"} << QByteArray() << 1;
    }
    void multipart()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, slice);
        QFETCH(Bytes, params);
        QFETCH(QByteArray, file);
        QFETCH(int, fds);
        {
            auto poRequest = httptest::parse(raw, nullptr, slice);
            QCOMPARE(poRequest->getState(), HttpRequest::Complete);
            QVERIFY(poRequest->getBody().isEmpty());
            QCOMPARE(parameterList(*poRequest), params);
            QCOMPARE(poRequest->getUploadedFiles().size(), file.isNull() ? 0 : 1);
            if (!file.isNull())
                QVERIFY(poRequest->getUploadedFiles().value("f") == file);
            QCOMPARE(openFdCount(), m_iBaselineFds + fds);
        }
        // Temporary files go with the request; Linux may create them unnamed: count descriptors too.
        QCOMPARE(QDir(m_oTempDir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 0);
        QCOMPARE(openFdCount(), m_iBaselineFds);
    }

    void splitCookieList_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("only separators") << QByteArray(" ; ;;\t; ") << Bytes();
        QTest::newRow("quoted separator") << QByteArray("a=1; b=\"x;y\"; c") << Bytes{"a=1", "b=x;y", "c"};
        QTest::newRow("blanks inside quotes kept, outside trimmed") << QByteArray("  k=\" v \" ;") << Bytes{"k= v"};
        QTest::newRow("unterminated quote") << QByteArray("a=\"x;y") << Bytes{"a=x;y"};
    }
    void splitCookieList()
    {
        QFETCH(QByteArray, text);
        QFETCH(Bytes, expected);
        QCOMPARE(HttpCookie::splitCookieList(text), expected);
    }

    void requestCookies()
    {
        auto poRequest = httptest::parse("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: a=0; a=1; b=\"x;y\"; c\r\nX-K: 1\r\n"
                                         "cookie: d = 4=4 \r\n\r\n");
        QCOMPARE(poRequest->getState(), HttpRequest::Complete);
        // The later of a name wins; a part without '=' is a cookie without a value.
        QCOMPARE(poRequest->getAllCookies(),
                 (QMap<QByteArray, QByteArray>{{"a", "1"}, {"b", "x;y"}, {"c", ""}, {"d", "4=4"}}));
        QCOMPARE(poRequest->getCookie("a"), QByteArray("1"));
        QVERIFY(poRequest->getCookie("A").isEmpty());
        // Cookie headers are consumed; the others stay.
        QVERIFY(!poRequest->getAllHeaders().contains("cookie"));
        QCOMPARE(poRequest->getHeader("x-k"), QByteArray("1"));
    }

    void framing_data()
    {
        QTest::addColumn<Bytes>("headers"); // name, value, name, value...
        QTest::addColumn<Bytes>("parts");   // the last one is written as the last part
        QTest::addColumn<QByteArray>("expected");
        const QByteArray oOk = "HTTP/1.1 200 OK\r\n";
        const QByteArray oChunked = oOk + "Transfer-Encoding: chunked\r\n\r\n";
        QTest::newRow("one part") << Bytes() << Bytes{"abc"} << oOk + "Content-Length: 3\r\n\r\nabc";
        QTest::newRow("preset length replaced") << Bytes{"Content-Length", "99"} << Bytes{"abcd"}
                                                << oOk + "Content-Length: 4\r\n\r\nabcd";
        QTest::newRow("two parts") << Bytes() << Bytes{"ab", ""} << oChunked + "2\r\nab\r\n0\r\n\r\n";
        QTest::newRow("26 bytes is 1a") << Bytes() << Bytes{QByteArray(26, 'z'), QByteArray(260, 'z')}
                                        << oChunked + "1a\r\n" + QByteArray(26, 'z') + "\r\n104\r\n"
                                               + QByteArray(260, 'z') + "\r\n0\r\n\r\n";
        QTest::newRow("setHeader replaces") << Bytes{"X", "1", "X", "2"} << Bytes{""}
                                            << oOk + "Content-Length: 0\r\nX: 2\r\n\r\n";
        QTest::newRow("Connection: Close is raw") << Bytes{"Connection", "Close"} << Bytes{"one", "two"}
                                                  << oOk + "Connection: Close\r\n\r\nonetwo";
        QTest::newRow("connection: CLOSE is raw") << Bytes{"connection", "CLOSE"} << Bytes{"one", "two"}
                                                  << oOk + "connection: CLOSE\r\n\r\nonetwo";
        const QByteArray oTwoChunks = "Transfer-Encoding: chunked\r\n\r\n3\r\none\r\n3\r\ntwo\r\n0\r\n\r\n";
        QTest::newRow("keep-alive is chunked") << Bytes{"Connection", "keep-alive"} << Bytes{"one", "two"}
                                               << oOk + "Connection: keep-alive\r\n" + oTwoChunks;
        QTest::newRow("CONNECTION is not looked up") << Bytes{"CONNECTION", "close"} << Bytes{"one", "two"}
                                                     << oOk + "CONNECTION: close\r\n" + oTwoChunks;
    }
    void framing()
    {
        QFETCH(Bytes, headers);
        QFETCH(Bytes, parts);
        QFETCH(QByteArray, expected);
        const QByteArray oBytes = capture([&](HttpResponse &r) {
            for (int i = 0; i + 1 < headers.size(); i += 2)
                r.setHeader(headers.at(i), headers.at(i + 1));
            for (int i = 0; i < parts.size(); ++i) {
                QVERIFY(!r.isLastPartSent());
                r.write(parts.at(i), i == parts.size() - 1);
            }
            QVERIFY(r.isLastPartSent());
        });
        QCOMPARE(oBytes, expected);
        // What the server writes, the reader reads back.
        HttpResponseReader oReader;
        readReply(oReader, oBytes, 3);
        QCOMPARE(int(oReader.state()), int(HttpResponseReader::Complete));
        QCOMPARE(oReader.body(), parts.join());
    }

    void responseReader_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("slice"); // 0: at once
        QTest::addColumn<int>("limit"); // 0: the default
        QTest::addColumn<int>("error"); // NoError: complete
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        const int iOk = HttpResponseReader::NoError, iBad = HttpResponseReader::Malformed;
        const int iLarge = HttpResponseReader::TooLarge, iCoding = HttpResponseReader::UnsupportedFraming;
        const int iCut = HttpResponseReader::Truncated;
        const QByteArray oOk = "HTTP/1.1 200 OK\r\n", oSized = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
        const QByteArray oChunked = oOk + "Transfer-Encoding: Chunked\r\n\r\n";
        QTest::newRow("sized, bytes after it ignored") << oSized + "HTTP/1.1 500 X\r\n" << 0 << 0 << iOk << 200 << QByteArray("abc");
        QTest::newRow("sized, slices of 1") << oSized << 1 << 0 << iOk << 200 << QByteArray("abc");
        QTest::newRow("chunked, extension, trailer, slices of 1")
            << oChunked + "2;x=y\r\nab\r\nA\r\n0123456789\r\n0\r\nT: 1\r\n\r\n" << 1 << 0 << iOk << 200
            << QByteArray("ab0123456789");
        QTest::newRow("to the close, bare LF") << QByteArray("HTTP/1.0 404 Not Found\nX-A: 1\n\nbody") << 5 << 0 << iOk
                                               << 404 << QByteArray("body");
        QTest::newRow("interim reply dropped") << "HTTP/1.1 100 Continue\r\nX-I: 1\r\n\r\n" + oSized << 4 << 0 << iOk
                                               << 200 << QByteArray("abc");
        QTest::newRow("204 has no body") << QByteArray("HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\nabc") << 0
                                         << 0 << iOk << 204 << QByteArray();
        QTest::newRow("no reason phrase") << QByteArray("HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n") << 0 << 0 << iOk
                                          << 200 << QByteArray();
        // Malformed: the status line, header lines, the framing.
        for (const char *pLine : {"HTTP/2 200 OK", "HTTP/1.1 20 OK", "HTTP/1.1 2000", "HTTP/1.1 099 X", "ICY 200 OK",
                                  "HTTP/1.1  200 OK", "HTTP/1.1 2x0 OK"})
            QTest::newRow(pLine) << QByteArray(pLine) + "\r\nContent-Length: 0\r\n\r\n" << 0 << 0 << iBad << 0
                                 << QByteArray();
        const struct
        {
            const char *name;
            QByteArray head;
        } aBadHeads[] = {
            {"folded line", "X-A: 1\r\n Content-Length: 3\r\n"},
            {"blank before colon", "Content-Length : 3\r\n"},
            {"no colon", "X-A 1\r\n"},
            {"signed length", "Content-Length: +3\r\n"},
            {"length list", "Content-Length: 3, 3\r\n"},
            {"length twice", "Content-Length: 3\r\ncontent-length: 3\r\n"},
            {"length and chunked", "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n"},
            {"NUL in a value", QByteArray("X-A: a\0b\r\n", 11)},
            {"bare CR in a value", "X-A: a\rb\r\n"},
        };
        for (const auto &oRow : aBadHeads)
            QTest::newRow(oRow.name) << oOk + oRow.head + "\r\nabc" << 0 << 0 << iBad << 0 << QByteArray();
        QTest::newRow("chunk size not hex") << oChunked + "zz\r\n" << 0 << 0 << iBad << 0 << QByteArray();
        QTest::newRow("chunk longer than its size") << oChunked + "2\r\nabc\r\n0\r\n\r\n" << 0 << 0 << iBad << 0
                                                    << QByteArray();
        QTest::newRow("gzip") << oOk + "Transfer-Encoding: gzip\r\n\r\n" << 0 << 0 << iCoding << 0 << QByteArray();
        QTest::newRow("gzip, chunked") << oOk + "Transfer-Encoding: gzip, chunked\r\n\r\n" << 0 << 0 << iCoding << 0
                                       << QByteArray();
        QTest::newRow("protocol switch") << QByteArray("HTTP/1.1 101 Switching\r\n\r\n") << 0 << 0 << iCoding << 0
                                         << QByteArray();
        // Limits: the head, the body by any framing, the field count.
        QTest::newRow("length past the limit") << oOk + "Content-Length: 65\r\n\r\n" << 0 << 64 << iLarge << 0
                                               << QByteArray();
        QTest::newRow("length of 19 digits") << oOk + "Content-Length: 9999999999999999999\r\n\r\n" << 0 << 0 << iBad
                                             << 0 << QByteArray();
        QTest::newRow("body to the close past the limit") << oOk + "\r\n" + QByteArray(64, 'x') << 7 << 64 << iLarge
                                                           << 0 << QByteArray();
        QTest::newRow("endless header line") << oOk + "X-A: " + QByteArray(100, 'x') << 1 << 64 << iLarge << 0
                                             << QByteArray();
        QTest::newRow("chunks past the limit") << oChunked + "20\r\n" + QByteArray(32, 'x') + "\r\n20\r\n" << 0 << 100
                                               << iLarge << 0 << QByteArray();
        QTest::newRow("chunk size of 9 digits") << oChunked + "000000001\r\n" << 0 << 0 << iLarge << 0 << QByteArray();
        QByteArray oMany = oOk;
        for (int i = 0; i < 101; ++i)
            oMany += "X-" + QByteArray::number(i) + ": 1\r\n";
        QTest::newRow("101 fields") << oMany + "\r\n" << 0 << 0 << iLarge << 0 << QByteArray();
        // The connection ends first.
        QTest::newRow("short sized body") << oOk + "Content-Length: 10\r\n\r\nabc" << 0 << 0 << iCut << 0 << QByteArray();
        QTest::newRow("no last chunk") << oChunked + "3\r\nabc\r\n" << 2 << 0 << iCut << 0 << QByteArray();
        QTest::newRow("head without its end") << oOk + "Content-Length: 0\r\n" << 0 << 0 << iCut << 0 << QByteArray();
        QTest::newRow("nothing") << QByteArray() << 0 << 0 << iCut << 0 << QByteArray();
    }
    void responseReader()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, slice);
        QFETCH(int, limit);
        QFETCH(int, error);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        HttpLimits oLimits;
        if (limit)
            oLimits.maxRequestSize = limit;
        HttpResponseReader oReader(oLimits);
        readReply(oReader, reply, slice);
        QCOMPARE(int(oReader.error()), error);
        QCOMPARE(int(oReader.state()), int(error ? HttpResponseReader::Failed : HttpResponseReader::Complete));
        QCOMPARE(QByteArray(oReader.errorText()).isEmpty(), error == HttpResponseReader::NoError);
        QCOMPARE(oReader.status(), status);
        QCOMPARE(oReader.body(), body);
        if (error == HttpResponseReader::NoError && reply.contains("X-A"))
            QCOMPARE(oReader.header("x-a"), QByteArray("1"));
        QVERIFY(oReader.header("x-i").isNull()); // an interim reply's fields are not the reply's
    }

    void headersAndCookiesInByteOrder()
    {
        // One cookie per name, none without a name.
        const QByteArray oBytes = capture([](HttpResponse &r) {
            r.setStatus(404, "Not Found");
            r.setHeader("content-type", "late");
            r.setHeader("Content-Type", "text/plain");
            r.setCookie(HttpCookie("", "ignored", 1));
            r.setCookie(HttpCookie("b", "old", 1));
            r.setCookie(HttpCookie("b", "2", 0));
            r.setCookie(HttpCookie("a", "1 2", 60, "/", "c;1", "example.org", true, true));
            r.getAllHeaders().insert("Access-Control-Allow-Origin", "*");
            r.write("", true);
        });
        QCOMPARE(oBytes, QByteArray("HTTP/1.1 404 Not Found\r\n"
                                    "Access-Control-Allow-Origin: *\r\n"
                                    "Content-Length: 0\r\n"
                                    "Content-Type: text/plain\r\n"
                                    "content-type: late\r\n"
                                    "Set-Cookie: a=1 2; Comment=c;1; Domain=example.org; Max-Age=60; Path=/; Secure; "
                                    "HttpOnly; Version=1\r\n"
                                    "Set-Cookie: b=2; Version=1\r\n"
                                    "\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestHttpMessage)
#include "tst_httpmessage.moc"
