#pragma once

// What one request may take. Read once from the listener's settings by the
// transport and given to every request it parses: no limit lives in a static.

#include <QByteArray>
#include <QList>
#include <QtGlobal>

class QSettings;

namespace norrweb {

struct HttpLimits
{
    qint32 maxRequestSize = 16000;      // head and plain body, bytes
    qint32 maxMultiPartSize = 1000000;  // a multipart body, bytes
    int maxUploadedFiles = 32;          // distinct upload fields of one request
    int maxTemporaryFiles = 128;        // body and upload files of all requests at once
    // The paths that take whole documents, and their cap on a body (plain or
    // multipart), decided on the headers alone. Read by the exchange; a
    // request gets them through HttpRequest::setDocumentLimit.
    QList<QByteArray> documentPaths;
    qint32 maxDocumentSize = 50 << 20;

    // The two sizes from a settings object positioned on the listener group
    // (absent keys and a null object keep the defaults); for tests and fuzzing.
    static HttpLimits fromSettings(const QSettings *v_poSettings);
};

} // namespace norrweb
