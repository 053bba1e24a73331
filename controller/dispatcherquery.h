#pragma once

// One HTTPS request from a user instance to the dispatcher, made on the
// calling thread without an event loop: nothing else of that thread runs
// while it waits (no other request handler, no timer, no deferred delete can
// re-enter), and the whole exchange ends by a deadline. The dispatcher must
// show exactly the expected certificate; any other peer gets no request.

#include <QByteArray>
#include <QSslCertificate>
#include <QString>

struct DispatcherReply
{
    int status = 0;      // HTTP status; 0 when there was no complete reply
    QByteArray body;
    QByteArray uid;      // the X-QTX-uid header, empty without one
    QString error;       // why there is no reply, for the log
};

DispatcherReply postToDispatcher(quint16 v_uiPort, const QByteArray &v_oPath, const QByteArray &v_oBody,
                                 const QSslCertificate &v_oExpected, int v_iTimeoutMs);
