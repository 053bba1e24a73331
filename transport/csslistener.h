#pragma once

// The loopback listener: chooses its port (dispatcher on `port` for root,
// otherwise from `port` + 1 upwards), listens there with a socket of its own
// and lets the pool's I/O threads accept from it and serve the connections.
// Lives on the listener thread. A port it cannot have is returned as a
// failure; what that means for the process is the caller's to decide.

#include "ctlscontext.h"
#include "listensocket.h"

#include <QObject>

#include <memory>

class QSettings;
class CSslConnectionHandlerPool;

namespace norrweb { class HttpRequestHandler; }

class CSslListener : public QObject
{
    Q_OBJECT
public:
    // Why listen() gave up.
    enum Failure {
        NoFailure,
        DispatcherRunning,    // another root instance holds the dispatcher's port
        DispatcherPortKept,   // a user instance held it and it could not be taken over
        NoFreePort,           // every port above the configured one is taken
        NoSocket              // the system gave no socket at all (see failureText())
    };

    CSslListener(std::shared_ptr<QSettings> v_poSettings, const CTlsContext::Config &v_oTls,
                 std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent = nullptr);
    ~CSslListener() override;

    // Takes the port and starts accepting. The port search's progress is
    // logged here ("Cannot bind on port", the dispatcher's take-over, "Listening
    // on port"); a failure is not.
    Failure listen();
    // The system's text for a NoSocket failure.
    QString failureText() const { return m_oFailureText; }

    quint16 serverPort() const { return m_oSocket.port(); }
    CSslConnectionHandlerPool *pool() const { return m_poPool; }
    // Stops accepting and closes the listening socket, in that order: the I/O
    // threads let go of it before its descriptor number can be reused.
    void close();

private:
    bool tryPort(int v_iPort, ListenSocket::Error &v_oError);

    std::shared_ptr<QSettings> m_poSettings;
    CSslConnectionHandlerPool *m_poPool = nullptr;
    ListenSocket m_oSocket;
    QString m_oFailureText;
};
