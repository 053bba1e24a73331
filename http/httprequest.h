#ifndef NORRWEB_HTTPREQUEST_H
#define NORRWEB_HTTPREQUEST_H

#include "httpfields.h"
#include "httplimits.h"
#include "httpnote.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QMultiMap>

#include <memory>
#include <optional>

class QIODevice;
class QSettings;
class QTemporaryFile;

namespace norrweb {

/// One HTTP request, built from the bytes of a client connection step by step.
/// Used by one thread at a time: parsed on the connection's I/O thread, then read
/// by the thread that serves it while the I/O thread leaves it alone. Holds no
/// locks and never writes to the device it reads from. Failures end in the state Aborted.
class HttpRequest
{
public:
    enum RequestState {
        AwaitingRequestLine = 0,
        AwaitingHeader = 1,
        AwaitingBody = 2,
        Complete = 3,
        Aborted = 4
    };

    /// Why a request was aborted, which decides the connection's answer.
    enum AbortReason {
        NotAborted = 0,
        TooLarge,           ///< a size limit, an invalid request line (also a version other than
                            ///< HTTP/1.0 and HTTP/1.1), too many uploaded files: 413
        BadFraming,         ///< invalid, repeated or folded Content-Length, control bytes in a line,
                            ///< a malformed header line, a missing (HTTP/1.1) or repeated Host: 400
        UnsupportedFraming, ///< Transfer-Encoding, which this server does not parse: 501
        NoTemporaryFile     ///< the process ran out of temporary files for bodies: 503
    };

    explicit HttpRequest(const HttpLimits &v_oLimits = HttpLimits());
    virtual ~HttpRequest();

    HttpRequest(const HttpRequest &) = delete;
    HttpRequest &operator=(const HttpRequest &) = delete;

    /// Takes one step of the state machine with what the device holds. The device is
    /// normally the connection's socket; any readable QIODevice works (tests, fuzzing).
    void consumeAvailable(QIODevice *v_poSocket);

    RequestState getState() const { return m_eState; }
    AbortReason getAbortReason() const { return m_eAbortReason; }
    /// The client's address for the debug line of the request line, when the device
    /// the request reads from is not the socket itself.
    void setPeerAddress(const QHostAddress &v_oAddress) { m_oPeerAddress = v_oAddress; }

    /// A body up to v_iMax bytes (plain or multipart) for the paths listed:
    /// a larger Content-Length aborts the request (413) before its body is
    /// read. The list must outlive the request.
    void setDocumentLimit(const QList<QByteArray> *v_poPaths, qint32 v_iMax)
    {
        m_poDocumentPaths = v_poPaths;
        m_iMaxDocumentSize = v_iMax;
    }
    /// Temporary files (multipart bodies and uploads) all requests of the process
    /// hold now; a request may take one only while fewer than its limit
    /// (maxTemporaryFiles) are, so that clients cannot exhaust the descriptor table.
    static int temporaryFilesInUse();
    QByteArray getMethod() const { return m_oMethod; }
    QByteArray getVersion() const { return m_oVersion; }
    QByteArray getBody() const { return m_oBodyData; }
    QByteArray getDecodedPath() const;
    QByteArray getHeader(const QByteArray &v_oName) const;
    const HttpFields &getAllHeaders() const { return m_oHeaders; }
    QByteArray getParameter(const QByteArray &v_oName) const;
    QMultiMap<QByteArray, QByteArray> getAllParameters() const { return m_oParameters; }
    QByteArray getCookie(const QByteArray &v_oName) const;
    QMap<QByteArray, QByteArray> &getAllCookies() { return m_oCookies; }

    /// The content of each file field of a multipart body, by field name: views
    /// into the request's own body (its temporary file, mapped from the page
    /// cache), valid while the request lives. Copy what must outlive it
    /// (QByteArray(data, size): a copy of a view is still a view).
    const QMap<QByteArray, QByteArray> &getUploadedFiles() const { return m_oUploadedFiles; }
    QHostAddress getPeerAddress() const { return m_oPeerAddress ? *m_oPeerAddress : QHostAddress(); }
    qint32 getCurrentSize() const { return m_iCurrentSize; }

    /// The request handler's note about this complete request, kept with it (null
    /// until the handler makes one). Like the request, used by one thread at a time.
    HttpNote *note() const { return m_poNote.get(); }
    void setNote(std::unique_ptr<HttpNote> v_poNote) const { m_poNote = std::move(v_poNote); }

    /// '+' to blank, then %XX escapes to bytes; invalid escapes stay as they are.
    static QByteArray percentDecode(const QByteArray &v_oSource);

private:
    /// A line read by readLine: trimmed, NUL-terminated, valid until the next call.
    struct Line
    {
        const char *data = nullptr;
        int size = 0;
        bool isEmpty() const { return size == 0; }
        char at(int v_iIndex) const { return data[v_iIndex]; }
        int indexOf(char v_cByte, int v_iFrom = 0) const;
        QByteArray copy(int v_iFrom, int v_iLength) const { return QByteArray(data + v_iFrom, v_iLength); }
    };

    void readRequestLine(QIODevice *v_poSocket);
    void readHeader(QIODevice *v_poSocket);
    void readBody(QIODevice *v_poSocket);
    void readMultipartBody(QIODevice *v_poSocket);
    bool readLine(QIODevice *v_poSocket, Line &v_oLine, bool *v_pbFolded = nullptr);
    void addToCurrentSize(qint64 v_iBytes);
    void decodeRequestParams();
    void extractCookies();
    bool parseMultiPartFile();
    bool parseMultiPartBody(const char *v_pData, qint64 v_iSize);
    void abort(AbortReason v_eReason);
    void checkFraming();
    void applyDocumentLimit();
    QTemporaryFile *newTemporaryFile();
    static void releaseTemporaryFile(QTemporaryFile *v_poFile);

    HttpFields m_oHeaders;
    QMultiMap<QByteArray, QByteArray> m_oParameters;
    QMap<QByteArray, QByteArray> m_oUploadedFiles; // views into m_pBodyMap or m_oBodyCopy
    QMap<QByteArray, QByteArray> m_oCookies;
    QByteArray m_oBodyData;
    QByteArray m_oMethod;
    QByteArray m_oPath;
    QByteArray m_oVersion;
    RequestState m_eState = AwaitingRequestLine;
    AbortReason m_eAbortReason = NotAborted;
    std::optional<QHostAddress> m_oPeerAddress; // a default QHostAddress allocates
    // The scalar limits only: the document paths are not copied per request.
    // The two sizes grow for a document path (see setDocumentLimit).
    qint32 m_iMaxSize;
    qint32 m_iMaxMultiPartSize;
    const int m_iMaxUploadedFiles;
    const int m_iMaxTemporaryFiles;
    qint32 m_iCurrentSize = 0;
    const QList<QByteArray> *m_poDocumentPaths = nullptr;
    qint32 m_iMaxDocumentSize = 0;
    qint32 m_iExpectedBodySize = 0;
    QByteArray m_oCurrentHeader;
    QByteArray m_oBoundary;
    QTemporaryFile *m_poTempFile = nullptr;
    uchar *m_pBodyMap = nullptr;  ///< the multipart body, mapped while uploads point into it
    QByteArray m_oBodyCopy;       ///< the body read whole where it could not be mapped
    QByteArray m_oLineBuffer;   ///< a line that arrived in parts, or longer than the short buffer
    bool m_bLineBufferDone = false; ///< m_oLineBuffer holds the line last handed out
    char m_aShortLine[512];     ///< the line last handed out, when it came whole
    bool m_bFramingError = false;
    mutable std::unique_ptr<HttpNote> m_poNote;
};

} // namespace norrweb

#endif // NORRWEB_HTTPREQUEST_H
