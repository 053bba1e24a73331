#pragma once

// Shared by the reactor's files; not for users of CSslReactor.

#include <QByteArray>
#include <QtGlobal>

#include <openssl/err.h>

#include <chrono>
#include <cerrno>
#include <cstring>

typedef struct ssl_st SSL;

namespace reactor {

inline qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// OpenSSL's reason for the last failure, else the system's.
inline QByteArray sslErrorText()
{
    const unsigned long uError = ERR_get_error();
    ERR_clear_error();
    if (uError == 0)
        return QByteArray(std::strerror(errno));
    char aBuffer[256];
    ERR_error_string_n(uError, aBuffer, sizeof aBuffer);
    return QByteArray(aBuffer);
}

// Makes the connection's reads note when the kernel had less than was asked
// for (see CSslReactor::readAvailable).
void noteShortReads(SSL *v_poSsl);

} // namespace reactor
