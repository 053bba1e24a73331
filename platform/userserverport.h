#pragma once

// Finds the port of the server instance that runs for a given account: the
// client's (from its TCP connection) or that of the single logged-on user.
// Lives on the stack of one command; the platform object is borrowed and must
// outlive it.

#include "processutils.h"

#include <QtGlobal>

class ProcessUtils;

class UserServerPort
{
public:
    // The two ends of the connection the command came on: the client's port and
    // the server's; a server port of 0 means there is no connection.
    // v_iClientUid: the owner of the client's socket when already known, else -1.
    // v_uiConfiguredPort: the listener port the configuration names (0: none).
    UserServerPort(ProcessUtils *v_poProcessUtils, const ClientConnection &v_oConnection,
                   qint64 v_iClientUid = -1, quint16 v_uiConfiguredPort = 0);

    // The command arrived on the dispatcher's own (configured) port.
    bool isConnectionAtConfiguredPort() const;
    // Throws UserServerPortException when the client's account runs no instance.
    quint16 getUserServerPort();
    // Throws UserServerPortException as above; ActiveSessionException passes
    // through when not exactly one user is logged on.
    quint16 getUserServerPortForActiveSession();

    // The same with the lowest port given instead of the configured one.
    quint16 getUserServerPort(quint16 v_uiLowestPort);
    quint16 getUserServerPortForActiveSession(quint16 v_uiLowestPort);

private:
    [[noreturn]] void throwNotFound(const char *v_pFunction);

    ProcessUtils *m_poProcessUtils;
    ClientConnection m_oConnection;
    qint64 m_iClientUid;
    quint16 m_uiConfiguredPort;
};
