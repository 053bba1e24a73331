#include "httprequest.h"
#include "httprequest_p.h"
#include "httplogging.h"

#include <QIODevice>
#include <QTemporaryFile>
#include <QtGlobal>

#include <atomic>

// Multipart bodies: the raw body on disk, then its parts as parameters and
// uploaded files; and the process-wide count of temporary files they hold.

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
        m_poTempFile->close();
        if (bParsed)
            m_eState = Complete;
    }
}

bool HttpRequest::parseMultiPartFile()
{
    qCDebug(lcHttp, "HttpRequest: parsing multipart temp file");
    QTemporaryFile *const poBody = m_poTempFile;
    poBody->seek(0);
    const QByteArray oDelimiter = "--" + m_oBoundary;
    const QByteArray oCloser = m_oBoundary + "--";
    bool bFinished = false;

    auto canRead = [&]() {
        return !poBody->atEnd() && !bFinished && poBody->error() == QFileDevice::NoError;
    };

    while (canRead()) {
        QByteArray oFieldName;
        QByteArray oFileName;
        while (canRead()) {
            const QByteArray oLine = readLineAtMost(poBody, kMultipartSlice).trimmed();
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
                break;
            }
        }

        QTemporaryFile *poUpload = nullptr;
        QByteArray oFieldValue;
        while (canRead()) {
            const QByteArray oLine = readLineAtMost(poBody, kMultipartSlice);
            if (oLine.startsWith(oDelimiter)) {
                if (oFileName.isEmpty() && !oFieldName.isEmpty()) {
                    oFieldValue.chop(2); // line break before the boundary
                    m_oParameters.insert(oFieldName, oFieldValue);
                    qCDebug(lcHttp, "HttpRequest: set parameter %s=%s", oFieldName.constData(),
                           qtxLogSecret(oFieldValue).c_str());
                } else if (!oFileName.isEmpty() && !oFieldName.isEmpty()) {
                    if (poUpload && poUpload->isOpen()) {
                        poUpload->resize(qMax<qint64>(0, poUpload->size() - 2));
                        poUpload->flush();
                        poUpload->seek(0);
                        m_oParameters.insert(oFieldName, oFileName);
                        qCDebug(lcHttp, "HttpRequest: set parameter %s=%s", oFieldName.constData(),
                               qtxLogSecret(oFileName).c_str());
                        releaseTemporaryFile(m_oUploadedFiles.take(oFieldName));
                        m_oUploadedFiles.insert(oFieldName, poUpload);
                        qCDebug(lcHttp, "HttpRequest: uploaded file size is %lli",
                               static_cast<long long>(poUpload->size()));
                        poUpload = nullptr; // owned by m_oUploadedFiles now
                    } else {
                        qCWarning(lcHttp, "HttpRequest: format error, unexpected end of file data");
                    }
                }
                if (oLine.contains(oCloser))
                    bFinished = true;
                break;
            }

            if (oFileName.isEmpty() && !oFieldName.isEmpty()) {
                oFieldValue.append(oLine);
                addToCurrentSize(oLine.size());
            } else if (!oFileName.isEmpty() && !oFieldName.isEmpty()) {
                if (!poUpload) {
                    // Each distinct field keeps a file open until the request ends.
                    if (!m_oUploadedFiles.contains(oFieldName)
                        && m_oUploadedFiles.size() >= qMax(1, m_iMaxUploadedFiles)) {
                        qCWarning(lcHttp, "HttpRequest: too many uploaded files in one request");
                        abort(TooLarge);
                        return false;
                    }
                    poUpload = newTemporaryFile();
                    if (!poUpload) {
                        abort(NoTemporaryFile);
                        return false;
                    }
                }
                if (!poUpload->isOpen() || poUpload->write(oLine) < 0)
                    qCCritical(lcHttp, "HttpRequest: error writing temp file, %s",
                              qPrintable(poUpload->errorString()));
            }
        }
        // A file part that never reached its boundary is not kept.
        releaseTemporaryFile(poUpload);
    }

    if (poBody->error() != QFileDevice::NoError)
        qCCritical(lcHttp, "HttpRequest: cannot read temp file, %s", qPrintable(poBody->errorString()));
    return true;
}

} // namespace norrweb
