#include "cthreadworker.h"

#include "dllmodule.h"
#include "qtxlogger.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <exception>

namespace {

QTXLogger &logger()
{
    return ModuleToolsLogger::Instance();
}

const void *address(const void *v_pObject)
{
    return v_pObject;
}

// Brackets one command call with the module's usage counter, so the module is
// not unloaded while the function runs, also when it throws.
class UsageGuard
{
public:
    explicit UsageGuard(DllModule *v_poModule)
        : m_poModule(v_poModule)
    {
        if (m_poModule)
            m_poModule->incrementUsage();
    }
    ~UsageGuard()
    {
        if (m_poModule)
            m_poModule->decrementUsage();
    }
    UsageGuard(const UsageGuard &) = delete;
    UsageGuard &operator=(const UsageGuard &) = delete;

private:
    DllModule *m_poModule;
};

} // namespace

QPair<CThreadWorker *, QThread *> CThreadWorker::createWorker(QThread *v_pDestinationThread)
{
    const char *pFunc = "CThreadWorker::createWorker";
    QTX_LOG(logger(), INFO, pFunc) << "v_pDestinationThread=" << address(v_pDestinationThread);
    auto *poWorker = new CThreadWorker();
    QThread *poThread = v_pDestinationThread;
    if (!poThread) {
        poThread = new QThread();
        // The thread object is deleted later by the launcher; it belongs to the
        // main thread, whose event loop outlives the connection handler that
        // happens to start the job.
        if (QCoreApplication *poApp = QCoreApplication::instance())
            poThread->moveToThread(poApp->thread());
    }
    poWorker->moveToThread(poThread);
    QTX_LOG(logger(), NOTICE, pFunc) << "Created new worker <" << address(poWorker) << "> for thread <"
                                     << address(poThread) << ">";
    return qMakePair(poWorker, poThread);
}

void CThreadWorker::CallFunction(tpfun v_poFunction, QByteArray v_oSessionId, QByteArray v_oCmdId,
                                 tRequestMap v_oRequest, tSessionParamsMap v_oSessionParams, DllModule *v_poDllModule)
{
    const char *pFunc = "CThreadWorker::CallFunction";
    QTX_LOG(logger(), INFO, pFunc) << "Calling function for sessionID <" << v_oSessionId << "> and cmdID <"
                                   << v_oCmdId << ">";
    tResultType oResult;
    m_bInCall = true;
    {
        UsageGuard oUsage(v_poDllModule);
        try {
            oResult = v_poFunction(v_oRequest, v_oSessionParams);
            QTX_LOG(logger(), NOTICE, pFunc) << "Dll function call was successful.";
            QTX_LOG(logger(), INFO, pFunc) << "Result: " << oResult;
        } catch (const std::exception &oException) {
            // The server's exception family derives from std::exception as well.
            oResult = QByteArray("500") + '|' + QByteArray(oException.what());
            QTX_LOG(logger(), ERROR, pFunc) << "Dll function call failed. Result: " << oResult
                                            << "Exception: " << oException.what();
        } catch (const char *pText) {
            const QByteArray oText(pText ? pText : "");
            oResult = QByteArray("500") + '|' + oText;
            QTX_LOG(logger(), ERROR, pFunc) << "Dll function call failed. Result: " << oResult
                                            << "Exception: " << oText;
        } catch (...) {
            oResult = QByteArray("500") + '|' + QByteArray("Unknown exception wast threw from dll module!");
            QTX_LOG(logger(), ERROR, pFunc) << "Dll function call failed. Result: " << oResult;
        }
    }
    emit ResultReady(v_oSessionId, v_oCmdId, oResult);
    m_bInCall = false;
    if (m_bDeleteWhenIdle)
        deleteLater();
}

bool CThreadWorker::CancelOperation()
{
    QThread *poThread = thread();
    QTX_LOG(logger(), NOTICE, "CThreadWorker::CancelOperation")
        << "Cancel all operations on worker <" << address(this) << "> for thread <" << address(poThread) << ">";
    QCoreApplication *poApp = QCoreApplication::instance();
    if (poApp && poThread == poApp->thread()) {
        // QApplication::closeAllWindows is a static slot; reaching it through the
        // meta-object keeps this library free of the widgets module. A plain
        // QCoreApplication has no windows to close.
        if (poApp->metaObject()->indexOfMethod("closeAllWindows()") >= 0) {
            // Windows may only be touched on the main thread; from elsewhere the
            // close is posted there.
            const Qt::ConnectionType eType =
                QThread::currentThread() == poApp->thread() ? Qt::DirectConnection : Qt::QueuedConnection;
            QMetaObject::invokeMethod(poApp, "closeAllWindows", eType);
        }
    }
    return true;
}

void CThreadWorker::DeleteLaterWhenIdle()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { DeleteLaterWhenIdle(); }, Qt::QueuedConnection);
        return;
    }
    if (m_bInCall)
        m_bDeleteWhenIdle = true;
    else
        deleteLater();
}
