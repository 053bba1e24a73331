#pragma once

// Finds the port of the server instance that runs for a given account: the
// client's (from its TCP connection) or that of the single logged-on user.
// Lives on the stack of one command; both pointers are borrowed and must
// outlive it.

#include <QtGlobal>

class ProcessUtils;
class QAbstractSocket;

class UserServerPort
{
public:
    UserServerPort(ProcessUtils *v_poProcessUtils, QAbstractSocket *v_poSocket);

    // The command arrived on the dispatcher's own (configured) port.
    bool isConnectionAtConfiguredPort() const;
    // Throws UserServerPortException when the client's account runs no instance.
    quint16 getUserServerPort();
    // Throws UserServerPortException as above; ActiveSessionException passes
    // through when not exactly one user is logged on.
    quint16 getUserServerPortForActiveSession();

    // The same with the lowest port given instead of read from the settings.
    quint16 getUserServerPort(quint16 v_uiLowestPort);
    quint16 getUserServerPortForActiveSession(quint16 v_uiLowestPort);

private:
    [[noreturn]] void throwNotFound(const char *v_pFunction);

    ProcessUtils *m_poProcessUtils;
    QAbstractSocket *m_poSocket;
};
