#include "csslconnectionhandlerpool.h"

#include "csslconnectionhandler.h"
#include "qtxlogger.h"

#include <QSettings>
#include <QThread>

namespace {
// How long shutdown waits for a handler's thread to finish its connection.
const unsigned long kHandlerStopWaitMs = 5000;
}

CSslConnectionHandlerPool::CSslConnectionHandlerPool(std::shared_ptr<QSettings> v_poSettings,
                                                     std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler)
    : m_settings(std::move(v_poSettings))
    , m_requestHandler(std::move(v_poRequestHandler))
    , m_cleanupTimer(this)
{
    m_cleanupTimer.start(m_settings->value(QStringLiteral("cleanupInterval"), 1000).toInt());
    connect(&m_cleanupTimer, &QTimer::timeout, this, &CSslConnectionHandlerPool::cleanup);
}

CSslConnectionHandlerPool::~CSslConnectionHandlerPool()
{
    std::lock_guard<std::mutex> oGuard(m_poolMutex);
    // Each handler is deleted on its own thread, whose loop then ends; the
    // thread objects are reclaimed here once they have finished.
    QList<QThread *> oThreads;
    for (CSslConnectionHandler *poHandler : qAsConst(m_pool)) {
        QThread *poThread = poHandler->handlerThread();
        QObject::disconnect(poThread, &QThread::finished, poThread, &QObject::deleteLater);
        oThreads << poThread;
        poHandler->deleteLater();
    }
    m_pool.clear();
    for (QThread *poThread : qAsConst(oThreads)) {
        if (poThread->wait(kHandlerStopWaitMs))
            delete poThread;
    }
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandlerPool::~CSslConnectionHandlerPool") << "destroyed";
}

int CSslConnectionHandlerPool::size()
{
    std::lock_guard<std::mutex> oGuard(m_poolMutex);
    return m_pool.size();
}

CSslConnectionHandler *CSslConnectionHandlerPool::getConnectionHandler()
{
    const char *pFunc = "CSslConnectionHandlerPool::getConnectionHandler";
    std::lock_guard<std::mutex> oGuard(m_poolMutex);
    for (CSslConnectionHandler *poHandler : qAsConst(m_pool)) {
        if (!poHandler->isBusy()) {
            poHandler->setBusy();
            QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "found free handle in pool";
            return poHandler;
        }
    }
    const int iMaxThreads = m_settings->value(QStringLiteral("maxThreads"), 100).toInt();
    QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc)
        << "need to create new handle. pool size=" << m_pool.size() << ", max threads=" << iMaxThreads;
    if (m_pool.size() >= iMaxThreads)
        return nullptr;
    auto *poHandler = new CSslConnectionHandler(m_settings, m_requestHandler);
    poHandler->setBusy();
    m_pool.append(poHandler);
    QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "new handle created";
    return poHandler;
}

void CSslConnectionHandlerPool::cleanup()
{
    std::lock_guard<std::mutex> oGuard(m_poolMutex);
    const int iMinThreads = m_settings->value(QStringLiteral("minThreads"), 1).toInt();
    int iIdle = 0;
    for (int i = 0; i < m_pool.size(); ++i) {
        CSslConnectionHandler *poHandler = m_pool.at(i);
        if (poHandler->isBusy())
            continue;
        if (++iIdle > iMinThreads) {
            m_pool.removeAt(i);
            poHandler->deleteLater();
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandlerPool::cleanup")
                << "Removed connection handler, pool size is now " << m_pool.size();
            break;
        }
    }
}
