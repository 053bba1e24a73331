#pragma once

// One HTTP exchange with a timestamp authority, an OCSP responder or a CRL
// location: plain http (what these services speak; their answers are signed),
// no proxy, no redirect, a time-out for the connection and one for the whole
// exchange, and a cap on the reply, which must be one DER object. OpenSSL's
// HTTP client does the protocol over a socket connected here (it has no
// connection time-out of its own). Blocking; called on a job's thread.
//
// Which addresses may be asked is the caller's business (signingconfig.h);
// this only refuses what it cannot speak.

#include <QByteArray>
#include <QUrl>

#include <stdexcept>

class FetchError : public std::runtime_error
{
public:
    enum Kind {
        Unreachable, // no connection, or no whole answer in time
        Refused,     // an HTTP status other than 200, or a redirect
        BadReply     // too large, not DER, not HTTP
    };
    FetchError(Kind v_eKind, const QString &v_oMessage);
    Kind kind() const { return m_eKind; }
    QString message() const { return m_oMessage; }

private:
    Kind m_eKind;
    QString m_oMessage;
};

struct FetchLimits
{
    int connectTimeoutMs = 5000;
    int totalTimeoutMs = 15000;
    qint64 maxBytes = 1 << 20;
};

// POSTs v_oBody as v_oContentType, or GETs when v_oBody is empty; returns the
// reply's body. Throws FetchError.
QByteArray httpFetch(const QUrl &v_oUrl, const QByteArray &v_oContentType, const QByteArray &v_oBody,
                     const FetchLimits &v_oLimits);
