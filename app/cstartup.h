#pragma once

// Brings the server up in a fixed order on the main thread and takes it down
// when the application quits. It lives in app/ because it wires every layer
// (configuration, logging, sessions, request mapper, listener) together: it
// reads the configuration once (ServerConfig) and gives each piece its part.

#include "serverconfig.h"

#include <QObject>

#include <QString>

#include <memory>

class QCoreApplication;
class Listener;
class SessionRegistry;


// The C handler for fatal signals: CRIT line, flush of every category, abort.
extern "C" void signalHandler(int signal);
void installFatalSignalHandlers();

class CStartup : public QObject
{
    Q_OBJECT
public:
    CStartup(int &argc, char **argv);
    ~CStartup() override;

    bool consoleMode() const { return m_bConsoleMode; }
    // Started by hand from a terminal without -console (it is about to
    // detach): says on standard error where the server listens and which
    // authority a client must trust, once it listens (waits up to v_iWaitMs).
    // Nothing when standard error is no terminal.
    void announceOnTerminal(int v_iWaitMs) const;

public slots:
    void Start();
    void Stop();

private:
    // Exit code of a start that ended through a caught exception.
    static constexpr int kStartFailureExitCode = 2;
    // Exit code of a refused start: the account runs a server already, or the
    // listener cannot have its port (the dispatcher's is held by another root
    // instance, or no port is free).
    static constexpr int kRefusedStartExitCode = 1;

    void startServices();
    void stopListener();

    ServerConfig m_oConfig;
    std::shared_ptr<Listener> m_poListener;
    std::unique_ptr<SessionRegistry> m_poSessions;
    std::shared_ptr<QCoreApplication> m_poApplication;
    bool m_bConsoleMode = false;
};
