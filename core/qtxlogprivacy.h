#pragma once

// What log lines may show of the data pages send and receive. By default a
// line shows no request body, cookie value, parameter value, secret-bearing
// header value or result, only its length, and ids (session, command) only as
// a short keyed hash, so the lines of one session can be followed without the
// id being readable or replayable from the log. The diagnostic switch
// [logging2] logSensitiveData=true (read once at start) shows them in full.
//
// Usage: QTX_LOG(logger(), NOTICE, pFunc) << "sessionID=" << qtxLogId(oId) << " body=" << qtxLogSecret(oBody);

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

// Whether the diagnostic switch is on; false until qtxSetLogSensitiveData(true).
bool qtxLogSensitiveData();
// Set once during start (QTXLogger::ApplyLoggingSettings), before any request.
void qtxSetLogSensitiveData(bool v_bOn);

// An id: the id itself with the switch on; otherwise "#" and the first 8 hex
// digits of SipHash-2-4(id) under a random 128-bit key of this process (empty
// for an empty id). The key makes the hash useless for guessing short ids (a
// 13-digit command counter) and changes with every start, as the sessions do.
std::string qtxLogId(const QByteArray &v_oId);
std::string qtxLogId(const QString &v_oId);
// SipHash-2-4 of the bytes under a 16-byte key: a keyed pseudo-random function
// for short inputs, twenty times cheaper than an HMAC-SHA256 of an id.
std::uint64_t qtxSipHash24(const unsigned char *v_pKey, const char *v_pData, std::size_t v_uiSize);

// Data a page sent or received: in full with the switch on, otherwise "<N bytes>".
std::string qtxLogSecret(const QByteArray &v_oData);
std::string qtxLogSecret(const QString &v_oData); // N counts UTF-8 bytes

// The value of one HTTP header (name in any case): the X-QTX ids as qtxLogId,
// values that only describe the exchange (host, origin, content type and
// length, user agent, accept*, connection, access-control-*) in full, any
// other (cookie, authorization, referer, ...) as qtxLogSecret.
std::string qtxLogHeaderValue(const QByteArray &v_oName, const QByteArray &v_oValue);
// How qtxLogHeaderValue shows a header of that name, for callers that write the
// value straight into a line.
enum class QtxHeaderShown { Plain, Id, Secret };
QtxHeaderShown qtxLogHeaderShown(const QByteArray &v_oName);
