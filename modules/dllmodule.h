#pragma once

// One plug-in library loaded into the server.
//
// Loading is a checked sequence, each step stopping the load with its own log
// line: library file present, signature block verified (nothing of the library
// runs before this), additional-library folder made reachable, command file
// read, library loaded, Init run, terminal-services consent in server mode.
//
// The library file is opened once; its owner and mode are checked on that open
// file, the signature is verified from it, and the dynamic loader maps it
// through /proc/self/fd/<n>, so the bytes verified are the bytes that run even
// if the name is swapped meanwhile. Files and folders that another account may
// write are refused. The libraries of the module's own folder are opened and
// checked the same way and mapped before the module (their sonames then satisfy
// the module's needs), since a library mapped through a descriptor has no
// usable $ORIGIN.
//
// Unloading runs DeInit and lets the library go, but the library and the
// libraries of its folder stay mapped until the process ends: Qt may keep
// pointers into them (see load). A later load of the same file runs Init
// again on the static data as it was.
//
// Commands resolve only to functions defined in the module's own object (not
// in a library it depends on) and never to its reserved entry points.
//
// One process-wide non-recursive lock (the module lock) serialises every public
// operation of every module; the library's Init, DeInit, IsGuiFunction,
// CanUnprivilegedRun and CanUseOnTerminalServices run while it is held, so
// those exports must never call back into the server. IsGuiFunction is asked
// once per command-file function at load, on the loading thread; an I/O
// thread reads that record (tryDescribeCommand), a request worker too
// (describeCommand), and neither asks again. Command functions run
// without it: callers bracket them with incrementUsage/decrementUsage, and
// unload is refused while the counter or the session list is non-empty.

#include "cxmlreader.h"
#include "moduleconfig.h"
#include "qtxtypes.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QLibrary;

class DllModule
{
public:
    explicit DllModule(const QByteArray &v_oModuleName, const ModuleLoadRules &v_oRules = ModuleLoadRules());
    ~DllModule();
    DllModule(const DllModule &) = delete;
    DllModule &operator=(const DllModule &) = delete;

    // v_oModulePath: the module folder joined with the module name, no extension.
    bool load(const QString &v_oModulePath);
    bool unload();

    void addSession(const QByteArray &v_oSessionId);
    // addSession's line for a session the module has already.
    void logSessionKnown(const QByteArray &v_oSessionId) const;
    void removeSession(const QByteArray &v_oSessionId);
    void clearSessions();

    // What the four getters below say about one command, found in one go.
    struct CommandInfo
    {
        bool valid = false;
        QStringList params;
        QString functionName;
        bool reserved = false; // the name is not a command (an export the loader calls)
        tpfun function = nullptr;
        bool guiQueried = false; // the module has an IsGuiFunction export
        bool gui = true;
    };
    // Fills v_poInfo from the record made at load, under a try-lock of the
    // module lock, and returns true; false at once, with nothing filled in,
    // while another thread holds that lock (a module being loaded or unloaded
    // runs its Init or DeInit under it), while the library is unloaded, or
    // for a module without a command file (its functions are not known at
    // load). Calls nothing of the module and writes no line: an I/O thread
    // may call it. The getters, given the info, write their lines from it.
    bool tryDescribeCommand(const QByteArray &v_oCommand, CommandInfo *v_poInfo);
    // The same record for a request worker: waits for the module lock. For a
    // module without a command file an export found under the command's name
    // is described on its first use (IsGuiFunction asked then, once) and kept
    // until unload; names that resolve to nothing are not kept.
    CommandInfo describeCommand(const QByteArray &v_oCommand);

    // Each getter answers from v_poKnown, without the module lock, when given one.
    bool isCommandValid(const QByteArray &v_oCommand, const CommandInfo *v_poKnown = nullptr);
    // Without a command file every export is reachable under its own name.
    tpfun getFunction(const QByteArray &v_oCommand, const CommandInfo *v_poKnown = nullptr);
    // What the record says; a missing IsGuiFunction export makes every
    // function a GUI function. Never asks the module.
    static bool isGuiFunction(const CommandInfo &v_oInfo);
    // A missing CanUnprivilegedRun export refuses every unprivileged client.
    bool canUnprivilegedRun(tpfun v_poFunction);
    // Declared request parameters, most recently declared first; empty without a command file.
    QStringList getRequestParams(const QByteArray &v_oCommand, const CommandInfo *v_poKnown = nullptr);

    // Bracket every command call; each returns the new counter value.
    quint64 incrementUsage();
    quint64 decrementUsage();

    QByteArray getModuleName() const { return m_oModuleName; }
    QList<QByteArray> getSessions();
    quint64 getUsage();
    bool isLoaded();

private:
    // Called with the module lock held.
    QFunctionPointer getFunctionPriv(const char *v_pSymbol);
    // Runs Init; an exception from it is logged and passed on.
    void callInit();
    // callInit, false when Init threw.
    bool initGuarded();
    bool isLibrarySigned(const QString &v_oLibraryPath);
    void addAdditionalLibPathIfNeeded(const QString &v_oModulePath);
    bool loadXmlFile(const QString &v_oModulePath);
    bool canUseOnTerminalServices();
    void dropLibrary();
    void clearSessionsPriv();
    // Maps the checked libraries of the module's folder; false when one of them
    // (or the folder) may be written by another account.
    bool checkDependencies(const QString &v_oFolder);
    void loadDependencies();
    // Calls a bool export; a throwing export counts as v_bOnThrow.
    bool callQuery(const char *v_pSymbol, QFunctionPointer v_pFunction, tpfun v_poArgument, bool v_bOnThrow);
    // One of the module's yes/no exports, asked with the module lock held: the
    // library is loaded again if it was unloaded, the export resolved and
    // called. Empty when the module does not export it.
    std::optional<bool> askModule(const char *v_pSymbol, tpfun v_poArgument, bool v_bOnThrow);

    // What the module said about each command of its command file when it
    // was loaded (IsGuiFunction asked once per function, on the loading
    // thread). Never changed once made: replaced whole at load, dropped at
    // unload.
    struct CommandTable
    {
        QHash<QByteArray, CommandInfo> commands;
        bool complete = false; // every command the module has is in it
    };
    // Called with the module lock held, after Init.
    std::shared_ptr<const CommandTable> describeCommands();

    struct DeferredDelete
    {
        void operator()(QLibrary *v_poLibrary) const;
    };

    QByteArray m_oModuleName;
    const ModuleLoadRules m_oRules;
    QList<QByteArray> m_oSessions;      // in the order they came
    QSet<QByteArray> m_oSessionIndex;   // the same, for the check per module command
    std::unique_ptr<QLibrary, DeferredDelete> m_poLibrary;
    CXmlReader m_oXmlReader;
    bool m_bXmlLoaded = false;
    std::shared_ptr<const CommandTable> m_poCommands;
    // Without a command file: the exports described on first use (module lock).
    QHash<QByteArray, CommandInfo> m_oLateCommands;
    bool m_bLoaded = false;
    quint64 m_ulUsage = 0;
    // The open library file the loader maps, -1 when none.
    int m_iLibraryFd = -1;
    // The loader's record of the library, to tell its own symbols from others.
    const void *m_pLinkMap = nullptr;
    QStringList m_oDependencyFiles;
    struct Dependency
    {
        void *pHandle;
        int iFd;
    };
    QList<Dependency> m_oDependencies;
};
