#include "listener.h"

#include "csslistener.h"
#include "qtxlogger.h"
#include "qtxthreadend.h"

#include <QSettings>
#include <QThread>

ListenerTask::ListenerTask(bool v_bSecure, std::shared_ptr<QSettings> v_poSettings, CTlsContext::Config v_oTls,
                           std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler)
    : m_bSecure(v_bSecure)
    , m_poSettings(std::move(v_poSettings))
    , m_oTls(std::move(v_oTls))
    , m_poRequestHandler(std::move(v_poRequestHandler))
{
}

ListenerTask::~ListenerTask()
{
    if (m_poServer)
        m_poServer->close();
    m_poServer.reset();
}

CSslListener *ListenerTask::server() const
{
    return m_poServer.get();
}

void ListenerTask::startListening()
{
    // Only the TLS listener exists; the flag is always set by the server.
    if (!m_bSecure)
        return;
    auto poServer = std::make_shared<CSslListener>(m_poSettings, m_oTls, m_poRequestHandler);
    const char *const pFunc = "CSslListener::CSslListener";
    switch (poServer->listen()) {
    case CSslListener::NoFailure:
        m_poServer = std::move(poServer);
        m_uiPort.store(m_poServer->serverPort(), std::memory_order_release);
        return;
    case CSslListener::DispatcherRunning:
        QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "Dispatcher already started on system account!!!";
        break;
    case CSslListener::DispatcherPortKept:
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "Can't start server as dispatcher!!!";
        break;
    case CSslListener::NoFreePort:
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "No free port left above the configured one";
        break;
    case CSslListener::NoSocket:
        QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "Cannot create the listening socket: " << poServer->failureText();
        break;
    }
    poServer.reset(); // its pool's threads end here, on the thread that made them
    emit failed();
}

void ListenerTask::stopListening()
{
    if (m_poServer)
        m_poServer->close();
    m_uiPort.store(0, std::memory_order_release);
}

Listener::Listener(bool v_bSecure, std::shared_ptr<QSettings> v_poSettings, const CTlsContext::Config &v_oTls,
                   std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent)
    : QObject(v_poParent)
{
    m_poThread.reset(new QThread(), [](QThread *v_poThread) { v_poThread->deleteLater(); });
    m_poThread->setObjectName(QStringLiteral("qtx-listener"));
    qtxEndOpenSslStateWithThread(m_poThread.get());
    m_poThread->start();

    auto *poTask = new ListenerTask(v_bSecure, std::move(v_poSettings), v_oTls, std::move(v_poRequestHandler));
    poTask->moveToThread(m_poThread.get());
    m_poTask = poTask;

    connect(this, &Listener::start, poTask, &ListenerTask::startListening, Qt::QueuedConnection);
    connect(this, &Listener::stop, poTask, &ListenerTask::stopListening, Qt::QueuedConnection);
    // Delivered on this object's thread, by its event loop.
    connect(poTask, &ListenerTask::failed, this, &Listener::failed, Qt::QueuedConnection);
    emit start();
}

Listener::~Listener()
{
    if (m_poTask) {
        emit stop();
        disconnect(this, nullptr, m_poTask, nullptr);
        // The task, its server, the pool and the handlers are torn down on the
        // listener thread before that thread ends, so no thread object is
        // destroyed while it still runs.
        ListenerTask *poTask = m_poTask;
        m_poTask = nullptr;
        if (m_poThread->isRunning() && QThread::currentThread() != m_poThread.get())
            QMetaObject::invokeMethod(poTask, [poTask] { delete poTask; }, Qt::BlockingQueuedConnection);
        else
            poTask->deleteLater();
    }
    m_poThread->quit();
    m_poThread->wait();
    m_poThread.reset();
}

quint16 Listener::serverPort() const
{
    return m_poTask ? m_poTask->port() : 0;
}

CSslListener *Listener::server() const
{
    CSslListener *poServer = nullptr;
    ListenerTask *poTask = m_poTask;
    if (poTask && m_poThread->isRunning())
        QMetaObject::invokeMethod(poTask, [poTask, &poServer] { poServer = poTask->server(); },
                                  Qt::BlockingQueuedConnection);
    return poServer;
}
