#include "serverconfig.h"

#include "csettings.h"

ServerConfig ServerConfig::read(CSettings &v_oSettings)
{
    ServerConfig oConfig;
    oConfig.iniPath = v_oSettings.ReadIniFilePath();
    oConfig.logging = v_oSettings.ReadLoggingSettings();
    oConfig.logFilePath = v_oSettings.ReadLogFilePath();

    const int iPort = v_oSettings.ReadListenerPort();
    oConfig.listenerPort = (iPort > 0 && iPort <= 0xffff) ? quint16(iPort) : 0;
    oConfig.serverMode = oConfig.logging.serverMode;
    oConfig.dispatcherAccount = v_oSettings.ReadDispatcherAccount();
    const auto oFiles = v_oSettings.ReadSslCertificateCertAndKeyFiles();
    oConfig.tls = CTlsContext::Config{oFiles.first, oFiles.second, v_oSettings.ReadSslEnabledCiphersList()};

    oConfig.modules.folders = v_oSettings.ReadDllLoaderDirPaths();
    oConfig.modules.rules.keysDir = v_oSettings.ReadModuleKeysDir();
    oConfig.modules.rules.serverMode = oConfig.serverMode;

    const auto limit = [&v_oSettings](const char *v_pKey, qint64 v_llDefault) {
        return v_oSettings.ReadLimit(QString::fromLatin1(v_pKey), v_llDefault);
    };
    LauncherLimits &oJobs = oConfig.launcher;
    oJobs.maxJobs = limit("maxJobs", oJobs.maxJobs);
    oJobs.maxResults = limit("maxResultsPerSession", oJobs.maxResults);
    oJobs.maxResultBytes = limit("maxResultBytesPerSession", oJobs.maxResultBytes);
    oJobs.maxResultsPerClient = limit("maxResultsPerClient", oJobs.maxResultsPerClient);
    oJobs.maxResultBytesPerClient = limit("maxResultBytesPerClient", oJobs.maxResultBytesPerClient);
    oJobs.maxGuiQueue = limit("maxQueuedGuiJobs", oJobs.maxGuiQueue);
    oJobs.maxGuiQueuePerClient = limit("maxQueuedGuiJobsPerClient", oJobs.maxGuiQueuePerClient);
    oJobs.guiTimeoutMs = limit("guiJobTimeoutMs", oJobs.guiTimeoutMs);
    oJobs.jobThreads = limit("maxJobThreads", oJobs.jobThreads);
    oJobs.jobThreadIdleMs = limit("jobThreadIdleMs", oJobs.jobThreadIdleMs);
    oConfig.sessionIdleMs = v_oSettings.ReadTimeoutInterval();
    SessionRegistry::Limits &oSessions = oConfig.sessions;
    // A closed session's results stay for one idle interval.
    if (oConfig.sessionIdleMs > 0)
        oSessions.closedGraceMs = oConfig.sessionIdleMs;
    oSessions.maxSessions = limit("maxSessions", oSessions.maxSessions);
    oSessions.variables.maxCount = limit("maxSessionVars", oSessions.variables.maxCount);
    oSessions.variables.maxBytes = limit("maxSessionVarBytes", oSessions.variables.maxBytes);
    oSessions.variables.maxAccountBytes = limit("maxSessionVarBytesPerClient", oSessions.variables.maxAccountBytes);
    return oConfig;
}
