#include "listener.h"

#include "csslistener.h"
#include "qtxlogger.h"
#include "qtxthreadend.h"

#include <QSettings>
#include <QThread>

ListenerTask::ListenerTask(bool v_bSecure, std::shared_ptr<QSettings> v_poSettings, CTlsContext::Config v_oTls,
                           std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler)
    : m_secure(v_bSecure)
    , m_settings(std::move(v_poSettings))
    , m_tls(std::move(v_oTls))
    , m_requestHandler(std::move(v_poRequestHandler))
{
}

ListenerTask::~ListenerTask()
{
    if (m_server)
        m_server->close();
    m_server.reset();
}

CSslListener *ListenerTask::server() const
{
    return m_server.get();
}

void ListenerTask::startListening()
{
    // Only the TLS listener exists; the flag is always set by the server.
    if (!m_secure)
        return;
    auto poServer = std::make_shared<CSslListener>(m_settings, m_tls, m_requestHandler);
    const char *const pFunc = "CSslListener::CSslListener";
    switch (poServer->listen()) {
    case CSslListener::NoFailure:
        m_server = std::move(poServer);
        m_port.store(m_server->serverPort(), std::memory_order_release);
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
    if (m_server)
        m_server->close();
    m_port.store(0, std::memory_order_release);
}

Listener::Listener(bool v_bSecure, std::shared_ptr<QSettings> v_poSettings, const CTlsContext::Config &v_oTls,
                   std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent)
    : QObject(v_poParent)
{
    m_thread.reset(new QThread(), [](QThread *v_poThread) { v_poThread->deleteLater(); });
    m_thread->setObjectName(QStringLiteral("qtx-listener"));
    qtxEndOpenSslStateWithThread(m_thread.get());
    m_thread->start();

    auto *poTask = new ListenerTask(v_bSecure, std::move(v_poSettings), v_oTls, std::move(v_poRequestHandler));
    poTask->moveToThread(m_thread.get());
    m_task = poTask;

    connect(this, &Listener::start, poTask, &ListenerTask::startListening, Qt::QueuedConnection);
    connect(this, &Listener::stop, poTask, &ListenerTask::stopListening, Qt::QueuedConnection);
    // Delivered on this object's thread, by its event loop.
    connect(poTask, &ListenerTask::failed, this, &Listener::failed, Qt::QueuedConnection);
    emit start();
}

Listener::~Listener()
{
    if (m_task) {
        emit stop();
        disconnect(this, nullptr, m_task, nullptr);
        // The task, its server, the pool and the handlers are torn down on the
        // listener thread before that thread ends, so no thread object is
        // destroyed while it still runs.
        ListenerTask *poTask = m_task;
        m_task = nullptr;
        if (m_thread->isRunning() && QThread::currentThread() != m_thread.get())
            QMetaObject::invokeMethod(poTask, [poTask] { delete poTask; }, Qt::BlockingQueuedConnection);
        else
            poTask->deleteLater();
    }
    m_thread->quit();
    m_thread->wait();
    m_thread.reset();
}

quint16 Listener::serverPort() const
{
    return m_task ? m_task->port() : 0;
}

CSslListener *Listener::server() const
{
    CSslListener *poServer = nullptr;
    ListenerTask *poTask = m_task;
    if (poTask && m_thread->isRunning())
        QMetaObject::invokeMethod(poTask, [poTask, &poServer] { poServer = poTask->server(); },
                                  Qt::BlockingQueuedConnection);
    return poServer;
}
