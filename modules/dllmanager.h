#pragma once

// Process-wide owner of the loaded modules. The first session that names a
// module loads it from the module folder; later sessions share the same
// DllModule. Ending a session only posts a queued call: the modules are
// unloaded later, on the manager's thread (the main thread), never inside the
// caller's stack, and only when no other session and no running call uses them.
//
// Lock order: the manager lock is taken before the module lock.

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
    // Created on first use and moved to the application's main thread.
    static DllManager *GetInstance();

    // Loads the module if needed and records it for the session (each pair once).
    bool loadModuleForSession(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId);
    DllModule *getModule(const QByteArray &v_oModuleName);
    // Returns at once; the unloading runs later on the manager's thread.
    void unloadAllModulesForSession(const QByteArray &v_oSessionId);

    ~DllManager() override;

signals:
    void unloadModule(QByteArray v_oSessionId);

private slots:
    void unloadModuleExecutor(QByteArray v_oSessionId);

private:
    DllManager();

    // All called with the manager lock held.
    DllModule *createModule(const QByteArray &v_oModuleName);
    DllModule *getModulePriv(const QByteArray &v_oModuleName);
    QList<QByteArray> getModulesNames(const QByteArray &v_oSessionId);
    bool unloadModuleForSessionPriv(const QByteArray &v_oModuleName, const QByteArray &v_oSessionId);

    QStringList m_oDirectories;
    QMap<QByteArray, DllModule *> m_oModules;
    // Session id -> module name; values(id) gives the most recently added first.
    QMultiMap<QByteArray, QByteArray> m_oSessionModules;
    std::mutex m_oLock;
};
