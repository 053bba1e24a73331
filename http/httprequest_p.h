#ifndef NORRWEB_HTTPREQUEST_P_H
#define NORRWEB_HTTPREQUEST_P_H

// Shared by the request parser's files; not for users of HttpRequest.

#include <QByteArray>
#include <QtGlobal>

class QIODevice;

namespace norrweb {
namespace detail {

// Multipart bodies move to the temporary file in slices of this size, and lines of
// the multipart file are read with this bound.
constexpr qint64 kMultipartSlice = 0x10000;

// At most v_iMaxBytes, up to and including the first line feed.
QByteArray readLineAtMost(QIODevice *v_poDevice, qint64 v_iMaxBytes);

} // namespace detail
} // namespace norrweb

#endif // NORRWEB_HTTPREQUEST_P_H
