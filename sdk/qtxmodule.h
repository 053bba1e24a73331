#pragma once

// QuorvexCryptoProvider module ABI.
//
// A module is a shared library "<name>.so" (no "lib" prefix) in the server's
// module folder, optionally with a command file "<name>.xml" and a folder
// "<name>/" of additional libraries beside it. It must carry the server's
// signature block (appended by qtx-sign; qtx_add_module in QtxModule.cmake does
// this), or the server refuses it before running any of its code.
//
// Every export has C linkage and is looked up by its exact name. Qt containers
// cross the boundary in both directions, so a module must be built against the
// same Qt 5 libraries and with the same compiler runtime as the server.
//
// Loading and unloading: the server loads a module when a session first
// names it and unloads it when no session and no running call uses it any
// more: DeInit runs and the server forgets the module. The library file itself
// (and every library of the module's folder) stays mapped until the process
// ends, because Qt keeps pointers into a module's memory that the module
// cannot take back: a font family literal in the font cache, a metatype's
// functions, a string literal given to the application object as a property
// value or an object name. Therefore:
// - static initialisers run once per process, at the first load of the file;
//   static destructors run when the process ends, after the application
//   object is gone, so they must not touch Qt's GUI;
// - static data keeps its values from one load to the next: Init runs at
//   every load and must set up again what DeInit took down (write both so
//   that Init after DeInit starts from a clean state);
// - after DeInit nothing of the module may run: no thread, timer, QObject,
//   window or callback;
// - a library file replaced on disk (a new file, as a package upgrade makes)
//   is mapped beside the old one at its next load, with static state of its own.
//
// Locks: Init, DeInit, IsGuiFunction, CanUnprivilegedRun and
// CanUseOnTerminalServices run while the server holds its process-wide module
// lock (shared by all modules). They must return quickly and must never call
// back into the server or wait for another module.

#include <QByteArray>
#include <QMap>
#include <QMultiMap>
#include <QVariant>

// Everything the page sent, read-only and valid only during the call: every
// request parameter, every header (lower-case name), every cookie, and the
// reserved keys "keyHttpBody", "keyHttpMethod", "keyHttpPath", "keyHttpVersion",
// "keyHttpSessionId" (the id of the session the server found for the request)
// and "keyHttpOrigin" (the Origin header as the browser sent it, empty without
// one), and for each file of a multipart body "keyHttpFile.<field name>" with
// its content (the field's own parameter is the file's name). A page cannot set a reserved key: parameters and cookies named
// "keyHttp..." are dropped before the call.
// Equal keys are kept (QMultiMap::values gives them all).
typedef QMultiMap<QByteArray, QByteArray> tRequestMap;

// A copy of the calling session's variables (set by the page with
// SET_SESSION_VAR), read-only, valid only during the call.
typedef QMap<QByteArray, QVariant> tSessionParamsMap;

// A command's result. The bytes are sent to the page unchanged as the body of
// the GET_RESULT reply; returned by value, so the server owns them.
typedef QByteArray tResultType;

// A command function (see QTX_MODULE_COMMAND).
typedef tResultType (*tpfun)(const tRequestMap &, const tSessionParamsMap &);

// Init and DeInit.
typedef void (*tpInitFun)();

#define QTX_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

// Defines a command function:
//
//   QTX_MODULE_COMMAND(Sha256) { return ...; }
//
// Thread: an ordinary command runs on one of the server's job threads, which
// are reused from call to call (keep no per-thread state between calls); a GUI
// command (IsGuiFunction true) runs on the server's main thread, one GUI
// command at a time. Calls of different sessions run in parallel, so a command
// function must be thread-safe. It runs without the module lock; the module is
// not unloaded while it runs or waits to run.
// Parameters: see tRequestMap and tSessionParamsMap; keep no reference to them.
// Exceptions: a std::exception becomes the result "500|" + what(); a thrown C
// string "500|" + the string; anything else "500|Unknown exception wast threw
// from dll module!". Nothing else reaches the page.
// Pages may call it only under a name the command file maps to it (or, without
// a command file, under its own export name); the command file's request
// parameters are checked to be present before it is called.
#define QTX_MODULE_COMMAND(Name) \
    QTX_MODULE_EXPORT tResultType Name(const tRequestMap &v_oRequest, const tSessionParamsMap &v_oSessionParams)

// Optional. Called after each load of the module, before any other export,
// on the server's request worker thread that serves the first command naming
// the module (under the module lock); again at the next load after an unload,
// with the module's static data as DeInit left it. Missing: nothing is called.
QTX_MODULE_EXPORT void Init();

// Optional. Called on the server's main thread just before the library is
// unloaded: after the last session using the module has ended and no command
// function is running, or when the server shuts its module manager down.
// After it returns no thread, timer, QObject, window or callback of the module
// may run any more; the code stays mapped (see the top of this file), so
// pointers Qt keeps into it stay valid. Missing: the module is unloaded
// without notice.
QTX_MODULE_EXPORT void DeInit();

// Optional, but almost always wanted. Called when the module is loaded, on the
// loading request worker thread, once for each function the command file names,
// with the function's address; the server keeps the answers for as long as the
// module is loaded, so an answer must not change meanwhile (for a module
// without a command file it is asked on a request worker before each command).
// No code of a module ever runs on the server's I/O threads. True
// makes it a GUI command (main thread, one at a time, may show modal dialogs).
// The server frames a GUI command's windows with the origin of the page that
// asked (a band at the top of each top-level window, the origin ahead of its
// title) and refuses GUI commands of requests without one; show page-supplied
// text only through qtxDisplayText (qtxdisplaytext.h). The server closes all
// top-level windows to cancel a GUI command (its session ended, or it ran past
// limits/guiJobTimeoutMs): a dialog's exec() then returns Rejected and the
// function must return.
// Missing: every command is a GUI command.
QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction);

// Optional. Called on a request worker thread of the server when a process of another
// account than the server's asks for a command; true lets it run. Answer true
// only for functions that reveal and change nothing of the server's user.
// Missing: clients of other accounts are refused every command.
QTX_MODULE_EXPORT bool CanUnprivilegedRun(tpfun v_poFunction);

// Optional, but required in server mode. Called once at load time, only when
// the server runs in server mode (dispatcher plus one instance per logged-on
// user); false, or a missing export, makes the load fail there.
QTX_MODULE_EXPORT bool CanUseOnTerminalServices();
