#pragma once

// What the module layer is told at start: read from the configuration once
// (app/) and given to the manager, each module it loads and the launcher.
// Plain values; tests build them with their own.

#include <QString>
#include <QStringList>
#include <QtGlobal>

// What loading a module checks besides its signature's built-in key.
struct ModuleLoadRules
{
    // [dllLoader] moduleKeysDir: vendors' public keys (empty: the built-in key only).
    QString keysDir;
    // [listener] windowsServerMode: a module must agree to run on terminal services.
    bool serverMode = false;
};

struct ModuleManagerConfig
{
    // [dllLoader] dirPath: the module folders, searched in order.
    QStringList folders;
    ModuleLoadRules rules;
};

// The launcher's caps ([limits]).
struct LauncherLimits
{
    qint64 maxJobs = 1000;
    qint64 maxResults = 1000;                            // unfetched, per session
    qint64 maxResultBytes = 16 * 1024 * 1024;            // per session
    qint64 maxResultsPerClient = 10000;                  // per account
    qint64 maxResultBytesPerClient = 256 * 1024 * 1024;  // per account
    qint64 maxGuiQueue = 16;
    qint64 maxGuiQueuePerClient = 4;
    qint64 guiTimeoutMs = 300000;
    // The pool of ordinary jobs: threads at most, idle time before one ends.
    qint64 jobThreads = 64;
    qint64 jobThreadIdleMs = 2000;
};
