#include "httprequest.h"
#include "httprequest_p.h"
#include "httplogging.h"

#include <QIODevice>
#include <QTemporaryFile>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <string_view>

// Multipart bodies: the raw body on disk, then its parts as parameters and
// uploaded files; and the process-wide count of temporary files they hold.
// A part ends at the line break before the next line that starts with the
// delimiter ("--" and the boundary).

namespace norrweb {

using detail::kMultipartSlice;
using detail::readLineAtMost;

namespace {

// Text between v_oMarker and the next double quote, or empty when either end is missing.
QByteArray quotedAfter(const QByteArray &v_oLine, const QByteArray &v_oMarker, bool &v_bFound)
{
    v_bFound = false;
    const int iStart = v_oLine.indexOf(v_oMarker);
    if (iStart < 0)
        return QByteArray();
    const int iValue = iStart + v_oMarker.size();
    const int iEnd = v_oLine.indexOf('"', iValue);
    if (iEnd < 0)
        return QByteArray();
    v_bFound = true;
    return v_oLine.mid(iValue, iEnd - iValue);
}

std::atomic<int> g_iTemporaryFilesInUse{0};

} // namespace

int HttpRequest::temporaryFilesInUse()
{
    return g_iTemporaryFilesInUse.load(std::memory_order_relaxed);
}

QTemporaryFile *HttpRequest::newTemporaryFile()
{
    // Reserve a slot first, so that concurrent requests cannot overshoot the cap.
    const int iLimit = qMax(1, m_iMaxTemporaryFiles);
    int iInUse = g_iTemporaryFilesInUse.load(std::memory_order_relaxed);
    do {
        if (iInUse >= iLimit) {
            qCWarning(lcHttp, "HttpRequest: no temporary file available, %d in use", iInUse);
            return nullptr;
        }
    } while (!g_iTemporaryFilesInUse.compare_exchange_weak(iInUse, iInUse + 1, std::memory_order_relaxed));

    auto *poFile = new QTemporaryFile;
    if (!poFile->open()) {
        qCCritical(lcHttp, "HttpRequest: cannot create temp file, %s", qPrintable(poFile->errorString()));
        releaseTemporaryFile(poFile);
        return nullptr;
    }
    return poFile;
}

void HttpRequest::releaseTemporaryFile(QTemporaryFile *v_poFile)
{
    if (!v_poFile)
        return;
    if (v_poFile->isOpen())
        v_poFile->close();
    delete v_poFile;
    g_iTemporaryFilesInUse.fetch_sub(1, std::memory_order_relaxed);
}

void HttpRequest::readMultipartBody(QIODevice *v_poSocket)
{
    // The raw body goes to disk; it never sits in memory as a whole.
    if (!m_poTempFile) {
        m_poTempFile = newTemporaryFile();
        if (!m_poTempFile) {
            abort(NoTemporaryFile);
            return;
        }
    }

    qint64 iFileSize = m_poTempFile->size();
    const qint64 iToRead = qMin(qint64(m_iExpectedBodySize) - iFileSize, kMultipartSlice);
    if (iToRead > 0) {
        const QByteArray oData = v_poSocket->read(iToRead);
        if (!oData.isEmpty() && m_poTempFile->isOpen()) {
            const qint64 iWritten = m_poTempFile->write(oData);
            if (iWritten > 0)
                iFileSize += iWritten;
        }
    }

    if (iFileSize >= m_iMaxMultiPartSize) {
        qCWarning(lcHttp, "HttpRequest: received too many multipart bytes");
        abort(TooLarge);
        return;
    }
    if (iFileSize >= m_iExpectedBodySize) {
        m_poTempFile->flush();
        if (m_poTempFile->error() != QFileDevice::NoError)
            qCCritical(lcHttp, "HttpRequest: Error writing temp file for multipart body");
        const bool bParsed = parseMultiPartFile();
        // The uploads are read from the mapped body: the file stays open with them.
        if (m_oUploadedFiles.isEmpty())
            m_poTempFile->close();
        if (bParsed)
            m_eState = Complete;
    }
}

bool HttpRequest::parseMultiPartFile()
{
    qCDebug(lcHttp, "HttpRequest: parsing multipart temp file");
    QTemporaryFile *const poBody = m_poTempFile;
    const qint64 iSize = poBody->size();
    if (iSize <= 0)
        return true;
    // The body is scanned in place: mapped from the page cache, or read once
    // where it cannot be mapped. A part's content is found with one search for
    // its delimiter; an uploaded file's content stays where it is, a view
    // into the body, which is kept (mapped, file-backed: no memory of the
    // process while the request waits for a worker) as long as the request.
    uchar *pMapped = poBody->map(0, iSize);
    if (!pMapped) {
        poBody->seek(0);
        m_oBodyCopy = poBody->readAll();
        if (m_oBodyCopy.size() != iSize) {
            qCCritical(lcHttp, "HttpRequest: cannot read temp file, %s", qPrintable(poBody->errorString()));
            m_oBodyCopy.clear();
            return true;
        }
    }
    const char *const pData = pMapped ? reinterpret_cast<const char *>(pMapped) : m_oBodyCopy.constData();
    const bool bParsed = parseMultiPartBody(pData, iSize);
    if (m_oUploadedFiles.isEmpty()) {
        if (pMapped)
            poBody->unmap(pMapped);
        m_oBodyCopy.clear();
    } else {
        m_pBodyMap = pMapped;
    }
    return bParsed;
}

bool HttpRequest::parseMultiPartBody(const char *v_pData, qint64 v_iSize)
{
    const QByteArray oDelimiter = "--" + m_oBoundary;
    const QByteArray oCloser = m_oBoundary + "--";
    const std::string_view oBody(v_pData, std::size_t(v_iSize));
    std::size_t uiPos = 0;
    // The next line from uiPos with its line break, at most kMultipartSlice bytes.
    const auto nextLine = [&]() {
        const std::size_t uiMax = std::min<std::size_t>(oBody.size() - uiPos, std::size_t(kMultipartSlice));
        const std::size_t uiBreak = oBody.substr(uiPos, uiMax).find('\n');
        const std::size_t uiLength = uiBreak == std::string_view::npos ? uiMax : uiBreak + 1;
        const QByteArray oLine = QByteArray::fromRawData(v_pData + uiPos, int(uiLength));
        uiPos += uiLength;
        return oLine;
    };
    // A delimiter counts at the start of a line: where a part's content
    // starts, or after a line feed.
    const QByteArray oBreakDelimiter = "\n" + oDelimiter;
    const std::string_view oSearch(oBreakDelimiter.constData(), std::size_t(oBreakDelimiter.size()));

    while (uiPos < oBody.size()) {
        QByteArray oFieldName;
        QByteArray oFileName;
        bool bHeadersEnded = false;
        while (uiPos < oBody.size()) {
            const QByteArray oLine = nextLine().trimmed();
            if (oLine.startsWith("Content-Disposition:")) {
                if (oLine.contains("form-data")) {
                    bool bFound = false;
                    const QByteArray oName = quotedAfter(oLine, " name=\"", bFound);
                    if (bFound)
                        oFieldName = oName;
                    const QByteArray oFile = quotedAfter(oLine, " filename=\"", bFound);
                    if (bFound)
                        oFileName = oFile;
                } else {
                    qCDebug(lcHttp, "HttpRequest: ignoring unsupported content part %s", oLine.constData());
                }
            } else if (oLine.isEmpty()) {
                bHeadersEnded = true;
                break;
            }
        }
        if (!bHeadersEnded)
            break;

        // The content runs to the line break before the next delimiter.
        std::size_t uiDelimiter;
        if (oBody.substr(uiPos, oSearch.size() - 1) == oSearch.substr(1)) {
            uiDelimiter = uiPos;
        } else {
            const std::size_t uiFound = oBody.find(oSearch, uiPos);
            if (uiFound == std::string_view::npos)
                break; // no boundary after it: the part is not kept
            uiDelimiter = uiFound + 1;
        }
        const std::size_t uiContent = uiPos;
        const std::size_t uiRaw = uiDelimiter - uiContent;
        // Without the line break before the delimiter.
        const int iLength = int(uiRaw >= 2 ? uiRaw - 2 : 0);
        if (oFileName.isEmpty() && !oFieldName.isEmpty()) {
            addToCurrentSize(qint64(uiRaw));
            const QByteArray oFieldValue(v_pData + uiContent, iLength);
            m_oParameters.insert(oFieldName, oFieldValue);
            qCDebug(lcHttp, "HttpRequest: set parameter %s=%s", oFieldName.constData(), qtxLogSecret(oFieldValue).c_str());
        } else if (!oFileName.isEmpty() && !oFieldName.isEmpty()) {
            if (uiRaw == 0) {
                qCWarning(lcHttp, "HttpRequest: format error, unexpected end of file data");
            } else {
                if (!m_oUploadedFiles.contains(oFieldName) && m_oUploadedFiles.size() >= qMax(1, m_iMaxUploadedFiles)) {
                    qCWarning(lcHttp, "HttpRequest: too many uploaded files in one request");
                    abort(TooLarge);
                    return false;
                }
                m_oParameters.insert(oFieldName, oFileName);
                qCDebug(lcHttp, "HttpRequest: set parameter %s=%s", oFieldName.constData(), qtxLogSecret(oFileName).c_str());
                // A later part of the same field replaces the earlier.
                m_oUploadedFiles.insert(oFieldName, QByteArray::fromRawData(v_pData + uiContent, iLength));
                qCDebug(lcHttp, "HttpRequest: uploaded file size is %i", iLength);
            }
        }
        uiPos = uiDelimiter;
        if (nextLine().contains(oCloser))
            break;
    }
    return true;
}

} // namespace norrweb
