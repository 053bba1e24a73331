#ifndef NORRWEB_HTTPCONNECTIONINFO_H
#define NORRWEB_HTTPCONNECTIONINFO_H

#include "httpnote.h"

#include <QHostAddress>
#include <QtGlobal>

#include <memory>

namespace norrweb {

/// What the handler of a request may know about the connection it came on.
/// The transport fills the addresses and the socket's owner when it takes the
/// connection; the request handler may keep a note of its own here for the
/// connection's later requests. A connection serves one request at a time, so
/// the thread that serves the current request may read and write it without a lock.
struct HttpConnectionInfo
{
    QHostAddress peerAddress;
    quint16 peerPort = 0;  // the client's end
    QHostAddress localAddress;
    quint16 localPort = 0; // the server's end
    /// Owner of the client's socket as the kernel reports it; -1 when unknown.
    qint64 clientUid = -1;
    /// The inode of the client's socket from the same record; 0 when unknown.
    quint64 clientInode = 0;
    /// For a root-owned client socket, the process found holding it and that
    /// process's effective uid, once the request handler found them (0 / -1
    /// until then).
    qint64 clientHolderPid = 0;
    qint64 clientHolderUid = -1;

    /// The request handler's own note about this connection (null until it makes one).
    std::shared_ptr<HttpNote> handlerNote;
};

} // namespace norrweb

#endif // NORRWEB_HTTPCONNECTIONINFO_H
