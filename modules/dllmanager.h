#pragma once

// Process-wide owner of the loaded modules. The first session that names a
// module loads it from the module folder; later sessions share the same
// DllModule. Modules are keyed by the canonical path of their library file, so
// one library is one module object whatever name led to it; names that are not
// plain module names (path characters, NUL or other control bytes, non-ASCII)
// are refused before any file is looked at. Ending a session only posts a queued call: the modules are
// unloaded later, on the manager's thread (the main thread), never inside the
// caller's stack, and only when no other session and no running call uses them.
//
// Lock order: the manager lock is taken before the module lock.

#include "moduleconfig.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMultiMap>
#include <QObject>
#include <QStringList>

#include <mutex>

class DllModule;

class DllManager : public QObject
{
    Q_OBJECT
public:
    // Made once at start on the thread whose event loop unloads modules (the
    // main thread); lives for the process.
    explicit DllManager(const ModuleManagerConfig &v_oConfig);

    // Loads the module if needed and records it for the session (each pair once).
    bool loadModuleForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId);
    // The same, and the module comes back with its usage counter raised by one
    // (see acquireModule), in one look-up under one lock; null when it cannot
    // be loaded.
    DllModule *acquireForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId);
    // The module already loaded and recorded for that session, with its usage
    // counter raised by one; null, at once, when that would need a file look-up,
    // a load or a wait for another thread's load or unload. Writes no line: the
    // caller writes its lines with logSessionUse where acquireForSession would.
    DllModule *tryAcquireForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId);
    // The lines acquireForSession writes for a module the session uses already.
    void logSessionUse(const DllModule &v_oModule, const QByteArray &v_oModuleName,
                       const QByteArray &v_oSessionId) const;
    DllModule *getModule(const QByteArray &v_oModuleName);
    // A module of that name is loaded or its library is in a module folder:
    // what a refused client is told (403 rather than 404), found without
    // loading anything.
    bool moduleExists(const QByteArray &v_oModuleName);
    // The loaded module of that name with its usage counter raised by one, or
    // null. The module is not unloaded before the matching releaseModule.
    DllModule *acquireModule(const QByteArray &v_oModuleName);
    // Drops a reference taken by acquireModule (any thread). A module left with
    // no session and no reference is unloaded later on the manager's thread.
    // Another thread never waits here while a module loads or unloads: the
    // reference then goes back from the manager's thread.
    void releaseModule(DllModule *v_poModule);
    // Letters, digits, '_' and '-', 1 to 128 bytes: the only names looked up.
    static bool isValidModuleName(const QByteArray &v_oModuleName);
    // Returns at once; the unloading runs later on the manager's thread.
    void unloadAllModulesForSession(const QByteArray &v_oSessionId);

    ~DllManager() override;

signals:
    void unloadModule(QByteArray v_oSessionId);
    void unloadIdleModule(QByteArray v_oKey);

private slots:
    void unloadModuleExecutor(QByteArray v_oSessionId);
    void unloadIdleModuleExecutor(QByteArray v_oKey);

private:

    void logSessionUse(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId) const;
    // All called with the manager lock held.
    DllModule *loadForSessionPriv(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId);
    DllModule *createModule(const QByteArray &v_oModuleName);
    DllModule *getModulePriv(const QByteArray &v_oModuleName);
    QList<QByteArray> getModulesNames(const QByteArray &v_oSessionId);
    bool unloadModuleForSessionPriv(const QByteArray &v_oKey, const QByteArray &v_oSessionId);
    // The canonical library path the name resolves to in the module folders;
    // empty when there is none.
    QByteArray resolveKey(const QByteArray &v_oModuleName) const;
    void dropModulePriv(const QByteArray &v_oKey);

    const QStringList m_oDirectories;
    const ModuleLoadRules m_oRules;
    // Canonical library path -> module.
    QMap<QByteArray, DllModule *> m_oModules;
    // Module name as pages send it -> canonical library path of a loaded module.
    QMap<QByteArray, QByteArray> m_oNames;
    // Session id -> canonical library path; values(id) gives the most recently added first.
    QMultiMap<QByteArray, QByteArray> m_oSessionModules;
    std::mutex m_oLock;
};

// A usage reference on a loaded module for the life of the object (null when
// the module is not loaded). It can be handed on: release() gives the
// reference to the caller (a job, which gives it back when its function has
// returned).
class ModuleRef
{
public:
    ModuleRef(DllManager *v_poManager, const QByteArray &v_oModuleName)
        : m_poManager(v_poManager)
        , m_poModule(v_poManager ? v_poManager->acquireModule(v_oModuleName) : nullptr)
    {
    }
    // Takes over a reference already taken (acquireModule, acquireForSession).
    static ModuleRef adopt(DllManager *v_poManager, DllModule *v_poModule) { return ModuleRef(v_poManager, v_poModule); }
    ModuleRef(ModuleRef &&v_oOther) noexcept
        : m_poManager(v_oOther.m_poManager)
        , m_poModule(v_oOther.release())
    {
    }
    ~ModuleRef()
    {
        if (m_poModule)
            m_poManager->releaseModule(m_poModule);
    }
    ModuleRef(const ModuleRef &) = delete;
    ModuleRef &operator=(const ModuleRef &) = delete;
    ModuleRef &operator=(ModuleRef &&) = delete;
    DllModule *get() const { return m_poModule; }
    DllModule *release()
    {
        DllModule *poModule = m_poModule;
        m_poModule = nullptr;
        return poModule;
    }

private:
    ModuleRef(DllManager *v_poManager, DllModule *v_poModule)
        : m_poManager(v_poManager)
        , m_poModule(v_poModule)
    {
    }

    DllManager *m_poManager;
    DllModule *m_poModule;
};
