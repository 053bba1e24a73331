#ifndef NORRWEB_HTTPCONNECTIONINFO_H
#define NORRWEB_HTTPCONNECTIONINFO_H

#include <QHostAddress>
#include <QtGlobal>

namespace norrweb {

/// What the handler of a request may know about the connection it came on.
/// The transport fills the addresses when it takes the connection; the command
/// layer keeps its answer about the client's account here for the connection's
/// later requests. A connection serves one request at a time, so the thread
/// that serves the current request may read and write it without a lock.
struct HttpConnectionInfo
{
    QHostAddress peerAddress;
    quint16 peerPort = 0;  // the client's end
    QHostAddress localAddress;
    quint16 localPort = 0; // the server's end
    /// Owner of the client's socket as the kernel reports it; -1 when unknown.
    qint64 clientUid = -1;

    // The account check of the first request, kept for the later ones.
    bool identityKnown = false;
    bool clientOnCurrentUser = false;
    bool clientOnSystemUser = false;
    bool clientIsServerAccount = false;
    /// The account the client's sessions and limits count against (a uid; -1 unknown).
    qint64 clientAccount = -1;
};

} // namespace norrweb

#endif // NORRWEB_HTTPCONNECTIONINFO_H
