#pragma once

// Value types shared by the layers and passed through queued calls.

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QMultiMap>
#include <QVariant>

class DllModule;

// Every request parameter, every header (lower-case name), every cookie, and the
// reserved keys "keyHttpBody", "keyHttpMethod", "keyHttpPath", "keyHttpVersion",
// "keyHttpSessionId" (the id of the session the server found for the request)
// and "keyHttpOrigin" (the Origin header as the browser sent it, empty without
// one). A page cannot set a reserved key: parameters and cookies named
// "keyHttp..." are dropped before the call.
typedef QMultiMap<QByteArray, QByteArray> tRequestMap;
// A copy of one session's variables.
typedef QMap<QByteArray, QVariant> tSessionParamsMap;
// The result of one module function, sent to the page unchanged.
typedef QByteArray tResultType;
// A module command function: C linkage, read-only request and session maps,
// the result returned by value.
typedef tResultType (*tpfun)(const tRequestMap &, const tSessionParamsMap &);
// A module's Init or DeInit.
typedef void (*tpInitFun)();

Q_DECLARE_OPAQUE_POINTER(DllModule *)
Q_DECLARE_METATYPE(DllModule *)
Q_DECLARE_METATYPE(tpfun)
Q_DECLARE_METATYPE(tpInitFun)

// Registers the queued-call type names; called once at process entry, before
// any object is created.
void registerQtxMetaTypes();
