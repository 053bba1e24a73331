#pragma once

// Runs one module command function for one job and announces its result.
//
// The launcher creates one worker per job, places it on a fresh thread
// (ordinary commands) or on the application's main thread (GUI commands) and
// reaches it only through queued calls. Whatever the function returns or
// throws becomes the result byte string of ResultReady; exceptions never leave
// CallFunction.

#include "qtxtypes.h"

#include <QByteArray>
#include <QObject>
#include <QPair>

class QThread;
class DllModule;

class CThreadWorker : public QObject
{
    Q_OBJECT
public:
    // A worker with no parent, moved to v_pDestinationThread, or to a new thread
    // (not started) when that is null. The caller starts the thread.
    static QPair<CThreadWorker *, QThread *> createWorker(QThread *v_pDestinationThread);

    // Deferred deletion for a worker on the main thread: a GUI function may still
    // be on the main thread's stack (inside a modal dialog's event loop) when its
    // job is finished, so the worker goes only once CallFunction has returned.
    // May be called from any thread.
    void DeleteLaterWhenIdle();

public slots:
    void CallFunction(tpfun v_poFunction, QByteArray v_oSessionId, QByteArray v_oCmdId, tRequestMap v_oRequest,
                      tSessionParamsMap v_oSessionParams, DllModule *v_poDllModule);
    // Closes every top-level window when the worker lives on the main thread
    // (always there, even when called from another thread); a function running
    // on a thread of its own is not interrupted. Always true.
    bool CancelOperation();

signals:
    void ResultReady(QByteArray v_oSessionId, QByteArray v_oCommandId, tResultType v_oResult);

private:
    CThreadWorker() = default;

    // Both touched only on the worker's own thread.
    bool m_bInCall = false;
    bool m_bDeleteWhenIdle = false;
};
