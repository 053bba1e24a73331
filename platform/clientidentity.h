#pragma once

// Who is at the client end of a loopback connection, decided the way the
// permission checks and the user-server look-up need it.
//
// The kernel records the owner uid of every socket when it is created, and
// tells it for one exact connection in a single look-up. That uid decides the
// account, with one exception: a socket that root created may since have been
// handed to a process of another account (a daemon that connects before it
// drops its rights), so for a root-owned socket the process that holds it is
// searched, as before, and its account counts. docs/security.md ("Client
// identity") gives the reasoning.

#include "processutils.h"

#include <QString>
#include <QtGlobal>

class ClientIdentity
{
public:
    // v_iKnownUid: the owner uid when the caller already has it (taken at
    // accept time), or -1 to ask the kernel. v_iKnownHolderPid and
    // v_iKnownHolderUid: for a root-owned socket, its holder and the holder's
    // effective uid when the caller found them moments ago (0 / -1 to search).
    // Throws what the platform throws when the socket table cannot be read.
    static ClientIdentity resolve(ProcessUtils &v_oUtils, const ClientConnection &v_oConnection,
                                  qint64 v_iKnownUid = -1, qint64 v_iKnownHolderPid = 0,
                                  qint64 v_iKnownHolderUid = -1);

    // A live socket holds the client end.
    bool found() const { return m_bFound; }
    qint64 uid() const { return m_iUid; }
    // The process that holds the socket, when it had to be searched; else 0.
    qint64 pid() const { return m_iPid; }

    // The client's account text. Throws as getDomainAndUsernameForPID does:
    // OpenProcessException when the client is not found or its process cannot
    // be read, LookupAccountSidException when the uid has no account.
    QString account(ProcessUtils &v_oUtils) const;
    // The uid the client runs as: the holder's effective uid for a root-owned
    // socket whose holder was found, else the socket's owner. Throws
    // OpenProcessException when the client is not found or its holder cannot
    // be read (ask the dispatcher then).
    qint64 accountUid(ProcessUtils &v_oUtils) const;
    // The client runs on the system (root) account.
    bool isSystem(ProcessUtils &v_oUtils) const;

private:
    bool m_bFound = false;
    qint64 m_iUid = -1;
    qint64 m_iPid = 0;
    qint64 m_iHolderUid = -1; // the holder's effective uid when the search read it
};
