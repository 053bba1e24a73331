#pragma once

// The configuration, read once at start into one value. CStartup builds each
// piece with its part of it: nothing below app/ reads the INI file or finds
// the configuration through a singleton.

#include "ctlscontext.h"
#include "moduleconfig.h"
#include "qtxlogger.h"
#include "sessionregistry.h"

#include <QString>

class CSettings;

struct ServerConfig
{
    QString iniPath;
    QTXLogger::Settings logging;
    QString logFilePath;
    // [listener]
    quint16 listenerPort = 0; // the configured port (0: none or out of range)
    bool serverMode = false;
    QString dispatcherAccount;
    CTlsContext::Config tls;
    // [dllLoader], [limits], [timeout]
    ModuleManagerConfig modules;
    LauncherLimits launcher;
    SessionRegistry::Limits sessions;
    qint64 sessionIdleMs = 0;

    static ServerConfig read(CSettings &v_oSettings);
};
