// Multipart form bodies of HttpRequest: fields, uploaded files and their temporary files.

#include "httprequest.h"
#include "httptestsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

using norrweb::HttpRequest;

class TestHttpRequestMultipart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void fieldAndFile_data();
    void fieldAndFile();
    void largeFileWithLongLines();
    void fileWithoutContentIsAFormatError();
    void unsupportedAndNamelessPartsAreDropped();
    void repeatedFileFieldKeepsLastFile();
    void missingClosingBoundaryLeavesNoStrayFile();

private:
    int tempFileCount() const;
    static int openFdCount();
    QByteArray request(const QByteArray &v_oBody, const QByteArray &v_oBoundaryParam = "\"abc\"") const;

    QTemporaryDir m_oTempDir;
    int m_iBaselineFds = 0;
};

static const QByteArray kFieldAndFile =
    "--abc\r\n"
    "Content-Disposition: form-data; name=\"field1\"\r\n"
    "\r\n"
    "hello\r\nworld\r\n"
    "--abc\r\n"
    "Content-Disposition: form-data; name=\"upload\"; filename=\"a.txt\"\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "line1\r\nbare\rcr\nlf\r\n"
    "--abc--\r\n";

void TestHttpRequestMultipart::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(m_oTempDir.isValid());
    // Every QTemporaryFile of the parser lands here, so they can be counted.
    qputenv("TMPDIR", QFile::encodeName(m_oTempDir.path()));
    QCOMPARE(QDir::tempPath(), QDir(m_oTempDir.path()).canonicalPath());
    // Warm-up: Qt opens a descriptor or two of its own on first use of temporary files.
    httptest::parse(request(kFieldAndFile));
    m_iBaselineFds = openFdCount();
}

void TestHttpRequestMultipart::cleanup()
{
    // Linux may create temporary files unnamed (O_TMPFILE): count descriptors as well.
    QCOMPARE(tempFileCount(), 0);
    QCOMPARE(openFdCount(), m_iBaselineFds);
}

int TestHttpRequestMultipart::openFdCount()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

int TestHttpRequestMultipart::tempFileCount() const
{
    return QDir(m_oTempDir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size();
}

QByteArray TestHttpRequestMultipart::request(const QByteArray &v_oBody, const QByteArray &v_oBoundaryParam) const
{
    return "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + v_oBoundaryParam
           + "\r\nContent-Length: " + QByteArray::number(v_oBody.size()) + "\r\n\r\n" + v_oBody;
}


void TestHttpRequestMultipart::fieldAndFile_data()
{
    QTest::addColumn<int>("slice");
    QTest::newRow("at once") << 0;
    QTest::newRow("slices of 7") << 7;
}

void TestHttpRequestMultipart::fieldAndFile()
{
    QFETCH(int, slice);
    QString oFileName;
    {
        auto poRequest = httptest::parse(request(kFieldAndFile), nullptr, slice);
        QCOMPARE(poRequest->getState(), HttpRequest::Complete);
        QCOMPARE(poRequest->getParameter("field1"), QByteArray("hello\r\nworld"));
        QCOMPARE(poRequest->getParameter("upload"), QByteArray("a.txt"));
        QVERIFY(poRequest->getBody().isEmpty());

        QTemporaryFile *poFile = poRequest->getUploadedFile("upload");
        QVERIFY(poFile);
        QCOMPARE(poFile->pos(), qint64(0));
        QCOMPARE(poFile->readAll(), QByteArray("line1\r\nbare\rcr\nlf"));
        oFileName = poFile->fileName();
        QVERIFY(QFile::exists(oFileName));
        // The raw body and the upload (a closed QTemporaryFile keeps its descriptor).
        QCOMPARE(openFdCount(), m_iBaselineFds + 2);
    }
    QVERIFY(!QFile::exists(oFileName));
}

void TestHttpRequestMultipart::largeFileWithLongLines()
{
    // Longer than one 64 KiB slice and with a line longer than the line bound.
    QByteArray oContent(100000, 'q');
    oContent.append("\n").append(QByteArray(70000, '\r')).append("tail");
    const QByteArray oBody = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n\r\n"
                             + oContent + "\r\n--b--\r\n";
    auto poRequest = httptest::parse(request(oBody, "b"));
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QTemporaryFile *poFile = poRequest->getUploadedFile("f");
    QVERIFY(poFile);
    QCOMPARE(poFile->size(), qint64(oContent.size()));
    QVERIFY(poFile->readAll() == oContent);
}

void TestHttpRequestMultipart::fileWithoutContentIsAFormatError()
{
    const QByteArray oBody = "--abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"e.txt\"\r\n\r\n"
                             "--abc--\r\n";
    QTest::ignoreMessage(QtWarningMsg, "HttpRequest: format error, unexpected end of file data");
    auto poRequest = httptest::parse(request(oBody));
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QVERIFY(poRequest->getAllParameters().isEmpty());
    QVERIFY(!poRequest->getUploadedFile("f"));
}

void TestHttpRequestMultipart::unsupportedAndNamelessPartsAreDropped()
{
    const QByteArray oBody = "--abc\r\nContent-Disposition: attachment; name=\"x\"\r\n\r\nignored\r\n"
                             "--abc\r\nContent-Disposition: form-data\r\n\r\nno name\r\n"
                             "--abc\r\nContent-Disposition: form-data; filename=\"n.txt\"\r\n\r\nno field\r\n"
                             "--abc\r\nContent-Disposition: form-data; name=\"ok\"\r\n\r\nyes\r\n"
                             "--abc--\r\n";
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, "HttpRequest: parsing multipart temp file");
    QTest::ignoreMessage(QtDebugMsg,
                         "HttpRequest: ignoring unsupported content part Content-Disposition: attachment; name=\"x\"");
    QTest::ignoreMessage(QtDebugMsg, "HttpRequest: set parameter ok=yes");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^HttpRequest: from "));
    auto poRequest = httptest::parse(request(oBody));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCOMPARE(poRequest->getState(), HttpRequest::Complete);
    QCOMPARE(poRequest->getAllParameters().size(), 1);
    QCOMPARE(poRequest->getParameter("ok"), QByteArray("yes"));
    QVERIFY(poRequest->getUploadedFiles().isEmpty());
}

void TestHttpRequestMultipart::repeatedFileFieldKeepsLastFile()
{
    const QByteArray oBody = "--abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"1.txt\"\r\n\r\none\r\n"
                             "--abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"2.txt\"\r\n\r\ntwo\r\n"
                             "--abc--\r\n";
    {
        auto poRequest = httptest::parse(request(oBody));
        QCOMPARE(poRequest->getState(), HttpRequest::Complete);
        QCOMPARE(poRequest->getAllParameters().values("f"), (QList<QByteArray>{"2.txt", "1.txt"}));
        QCOMPARE(poRequest->getUploadedFiles().size(), 1);
        QCOMPARE(poRequest->getUploadedFile("f")->readAll(), QByteArray("two"));
        // Body and the last upload; the replaced upload is released already.
        QCOMPARE(openFdCount(), m_iBaselineFds + 2);
    }
}

void TestHttpRequestMultipart::missingClosingBoundaryLeavesNoStrayFile()
{
    const QByteArray oBody = "--abc\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv\r\n"
                             "--abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"cut.txt\"\r\n\r\n"
                             "partial data";
    {
        auto poRequest = httptest::parse(request(oBody));
        QCOMPARE(poRequest->getState(), HttpRequest::Complete);
        QCOMPARE(poRequest->getParameter("k"), QByteArray("v"));
        QVERIFY(poRequest->getUploadedFiles().isEmpty());
        // Only the raw body; the cut-off upload is gone.
        QCOMPARE(openFdCount(), m_iBaselineFds + 1);
    }
}

QTEST_GUILESS_MAIN(TestHttpRequestMultipart)
#include "tst_httprequest_multipart.moc"
