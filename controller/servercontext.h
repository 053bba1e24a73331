#pragma once

// What the request handlers work with, made once at start-up (CStartup) and
// given to the request mapper, which hands it to every controller: nothing is
// looked up through a singleton per request, and the settings a request needs
// are read once, here.

#include <QString>

class CLauncher;
class DllManager;
class SessionRegistry;

struct ServerContext
{
    SessionRegistry *poSessions = nullptr;
    DllManager *poModules = nullptr;
    CLauncher *poLauncher = nullptr;
    // [listener] windowsServerMode: GET_USER_SERVER_PORT names the port of the
    // client's own account, not that of the active console session's account.
    bool bWindowsServerMode = false;
    // This instance is the dispatcher (it runs as the configured dispatcher
    // account): it answers other accounts its own commands only.
    bool bDispatcher = false;
    // Clients of other accounts may run the functions their module declares
    // unprivileged. False on the dispatcher and in any instance running as
    // root: no module function runs there for another account, and no module
    // is loaded or session opened for one.
    bool bModulesForOtherAccounts = true;
    // [listener] port: the dispatcher's port, asked for another account's
    // names and compared with the port a GET_USER_SERVER_PORT came on.
    quint16 uiListenerPort = 0;
    // The certificate the dispatcher presents (the key store's public copy):
    // the only one the dispatcher query accepts.
    QString oDispatcherCertificatePath;
};
