#include "csslconnectionhandlerpool.h"

#include "csslconnectionhandler.h"
#include "csslreactor.h"
#include "ctlscontext.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "qtxlogger.h"
#include "qtxlogsink.h"
#include "qtxthreadend.h"

#include <QSettings>
#include <QThread>

#include <chrono>
#include <malloc.h>
#include <csignal>
#include <sys/resource.h>

namespace {

// How long shutdown waits for a request worker to finish its request.
const unsigned long kWorkerStopWaitMs = 5000;
// A queued request that waited this long gets a further worker (up to maxThreads).
constexpr qint64 kStallMs = 100;
// Connections accepted over the cap that may wait for one to give way.
constexpr int kAdmissionBacklog = 32;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int settingInt(const QSettings &v_oSettings, const char *v_pKey, int v_iDefault, int v_iMin = 1)
{
    bool bOk = false;
    const int iValue = v_oSettings.value(QLatin1String(v_pKey), v_iDefault).toInt(&bOk);
    return bOk ? qMax(v_iMin, iValue) : v_iDefault;
}

} // namespace

// Serves complete requests on a thread of its own, one at a time. The thread
// runs an event loop, so objects the request handler creates there behave as
// on any Qt thread.
class CRequestWorker : public QObject
{
public:
    CRequestWorker(CSslConnectionHandlerPool *v_poPool, std::shared_ptr<norrweb::HttpRequestHandler> v_poHandler)
        : m_pool(v_poPool)
        , m_handler(std::move(v_poHandler))
    {
        moveToThread(&m_thread);
        m_thread.setObjectName(QStringLiteral("qtx-worker")); // the thread's name in top -H, gdb and perf
        qtxEndOpenSslStateWithThread(&m_thread);
        m_thread.start();
    }
    // Only once the thread has ended.
    ~CRequestWorker() override = default;

    void post(std::shared_ptr<CSslConnectionHandler> v_poConnection, CSslReactor *v_poReactor)
    {
        // The hand-over goes through this mutex, not through the copy inside Qt's
        // event queue, so that it is also visible as such to ThreadSanitizer.
        {
            std::lock_guard<std::mutex> oGuard(m_inboxMutex);
            m_inbox = std::move(v_poConnection);
            m_inboxReactor = v_poReactor;
        }
        QMetaObject::invokeMethod(this, [this] { takeInbox(); }, Qt::QueuedConnection);
    }
    bool stop(unsigned long v_uWaitMs)
    {
        m_thread.quit();
        return m_thread.wait(v_uWaitMs);
    }

private:
    void takeInbox()
    {
        std::shared_ptr<CSslConnectionHandler> poConnection;
        CSslReactor *poReactor;
        {
            std::lock_guard<std::mutex> oGuard(m_inboxMutex);
            poConnection = std::move(m_inbox);
            poReactor = m_inboxReactor;
        }
        if (poConnection)
            run(std::move(poConnection), poReactor);
    }

    void run(std::shared_ptr<CSslConnectionHandler> v_poConnection, CSslReactor *v_poReactor)
    {
        do {
            serve(*v_poConnection, v_poReactor, v_poConnection);
            v_poConnection.reset();
        } while (m_pool->nextRequest(this, v_poConnection, v_poReactor));
    }

    void serve(CSslConnectionHandler &v_oConnection, CSslReactor *v_poReactor,
               const std::shared_ptr<CSslConnectionHandler> &v_poConnection)
    {
        bool bClose = false;
        QByteArray oReply;
        {
            QtxLogBatch oLogBatch; // the request's lines, queued together
            oReply = v_oConnection.http().respond(*m_handler, bClose);
        }
        v_poReactor->completeRequest(v_poConnection, std::move(oReply), bClose);
    }

    CSslConnectionHandlerPool *m_pool;
    std::shared_ptr<norrweb::HttpRequestHandler> m_handler;
    // One request at a time: a worker gets the next only once it is idle again.
    std::mutex m_inboxMutex;
    std::shared_ptr<CSslConnectionHandler> m_inbox;
    CSslReactor *m_inboxReactor = nullptr;
    QThread m_thread;
};

CTransportLimits CTransportLimits::fromSettings(const QSettings &v_oSettings)
{
    CTransportLimits oLimits;
    oLimits.readTimeoutMs = settingInt(v_oSettings, "readTimeout", 10000);
    oLimits.requestTimeoutMs = settingInt(v_oSettings, "requestTimeout", oLimits.readTimeoutMs);
    oLimits.writeTimeoutMs = settingInt(v_oSettings, "writeTimeout", oLimits.readTimeoutMs);
    oLimits.http.maxRequestSize = settingInt(v_oSettings, "maxRequestSize", 16000, 0);
    oLimits.http.maxMultiPartSize = settingInt(v_oSettings, "maxMultiPartSize", 1000000, 0);
    oLimits.http.maxDocumentSize = qMin(settingInt(v_oSettings, "maxDocumentSize", 50 << 20, 0), 1 << 30);
    for (const QString &oPath : v_oSettings.value(QStringLiteral("documentPaths"), QStringLiteral("/Signer/SignPdf /Signer/SignBatch"))
                                    .toString()
                                    .split(QLatin1Char(' '), Qt::SkipEmptyParts))
        oLimits.http.documentPaths << oPath.toUtf8();
    // Connections stay well inside the descriptor limit, leaving room for
    // modules, temporary files and logs.
    rlimit oFiles{};
    int iFdBudget = 1000;
    if (::getrlimit(RLIMIT_NOFILE, &oFiles) == 0 && oFiles.rlim_cur != RLIM_INFINITY)
        iFdBudget = int(qMin<rlim_t>(oFiles.rlim_cur, 1 << 20)) - 256;
    oLimits.maxConnections = settingInt(v_oSettings, "maxConnections", qBound(64, iFdBudget, 1000));
    oLimits.maxConnectionsPerClient = settingInt(v_oSettings, "maxConnectionsPerClient", 512);
    oLimits.ioThreads = settingInt(v_oSettings, "ioThreads", qBound(1, QThread::idealThreadCount(), 4));
    oLimits.minThreads = settingInt(v_oSettings, "minThreads", 1, 0);
    oLimits.maxThreads = settingInt(v_oSettings, "maxThreads", 100);
    oLimits.cleanupIntervalMs = settingInt(v_oSettings, "cleanupInterval", 1000);
    oLimits.http.maxUploadedFiles = settingInt(v_oSettings, "maxUploadedFiles", 32);
    oLimits.http.maxTemporaryFiles = settingInt(v_oSettings, "maxTemporaryFiles", 128);
    return oLimits;
}

CSslConnectionHandlerPool::CSslConnectionHandlerPool(std::shared_ptr<QSettings> v_poSettings,
                                                     const CTlsContext::Config &v_oTls,
                                                     std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler)
    : m_settings(std::move(v_poSettings))
    , m_requestHandler(std::move(v_poRequestHandler))
    , m_limits(CTransportLimits::fromSettings(*m_settings))
    , m_eagerWorkers(qMin(m_limits.maxThreads, qMax(2, QThread::idealThreadCount())))
    , m_cleanupTimer(this)
    , m_stallTimer(this)
{
    // A client that vanishes while its reply is written must cost an error code,
    // not the process: OpenSSL writes with plain write(), which raises SIGPIPE.
    struct sigaction oIgnore {};
    oIgnore.sa_handler = SIG_IGN;
    sigemptyset(&oIgnore.sa_mask);
    ::sigaction(SIGPIPE, &oIgnore, nullptr);
    m_tls = CTlsContext::create(v_oTls, "CSslConnectionHandler::handleConnection");
    for (int i = 0; i < m_limits.ioThreads; ++i) {
        m_reactors.emplace_back(new CSslReactor(this, m_tls, m_limits));
        m_reactors.back()->start();
    }
    connect(&m_cleanupTimer, &QTimer::timeout, this, &CSslConnectionHandlerPool::cleanup);
    m_cleanupTimer.start(m_limits.cleanupIntervalMs);
    connect(&m_stallTimer, &QTimer::timeout, this, &CSslConnectionHandlerPool::checkStalled);
    m_stallTimer.start(int(kStallMs));
}

CSslConnectionHandlerPool::~CSslConnectionHandlerPool()
{
    // Connections end first, so no new request reaches a worker; then the workers
    // finish what they serve; the reactors go last, since a worker's reply is
    // handed to one.
    for (auto &poReactor : m_reactors)
        poReactor->stop();
    QList<CRequestWorker *> oWorkers;
    {
        std::lock_guard<std::mutex> oGuard(m_poolMutex);
        oWorkers = m_workers;
        m_workers.clear();
        m_idle.clear();
        m_queue.clear();
    }
    bool bAllStopped = true;
    for (CRequestWorker *poWorker : qAsConst(oWorkers)) {
        if (poWorker->stop(kWorkerStopWaitMs))
            delete poWorker;
        else
            bAllStopped = false; // still inside a request: left to the process's end
    }
    if (!bAllStopped) {
        for (auto &poReactor : m_reactors)
            poReactor.release();
    }
    m_reactors.clear();
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandlerPool::~CSslConnectionHandlerPool") << "destroyed";
}

CRequestWorker *CSslConnectionHandlerPool::createWorker()
{
    auto *poWorker = new CRequestWorker(this, m_requestHandler);
    m_workers.append(poWorker);
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandlerPool::getConnectionHandler") << "new handle created";
    return poWorker;
}

bool CSslConnectionHandlerPool::saturated()
{
    // Accepted connections wait for their I/O thread to make room; beyond this
    // many the listener leaves further ones in the kernel's queue.
    std::lock_guard<std::mutex> oGuard(m_countMutex);
    return m_connections >= m_limits.maxConnections + kAdmissionBacklog;
}

CSslReactor::Admission CSslConnectionHandlerPool::countConnection(qint64 v_iUid)
{
    std::lock_guard<std::mutex> oGuard(m_countMutex);
    ++m_connections;
    int &iPerClient = m_connectionsPerClient[v_iUid];
    ++iPerClient;
    if (iPerClient > m_limits.maxConnectionsPerClient)
        return CSslReactor::EvictSameClient;
    if (m_connections > m_limits.maxConnections)
        return CSslReactor::EvictAny;
    return CSslReactor::Admit;
}

CSslReactor *CSslConnectionHandlerPool::reactorAfter(const CSslReactor *v_poReactor) const
{
    for (size_t i = 0; i < m_reactors.size(); ++i) {
        if (m_reactors[i].get() == v_poReactor)
            return m_reactors[(i + 1) % m_reactors.size()].get();
    }
    return m_reactors.front().get();
}

void CSslConnectionHandlerPool::startAccepting(int v_iListenFd, const QHostAddress &v_oAddress, quint16 v_uiPort)
{
    for (auto &poReactor : m_reactors)
        poReactor->startAccepting(v_iListenFd, v_oAddress, v_uiPort);
}

void CSslConnectionHandlerPool::stopAccepting()
{
    for (auto &poReactor : m_reactors) {
        if (poReactor)
            poReactor->stopAccepting();
    }
}

void CSslConnectionHandlerPool::connectionClosed(qint64 v_iUid)
{
    std::lock_guard<std::mutex> oGuard(m_countMutex);
    --m_connections;
    const auto it = m_connectionsPerClient.find(v_iUid);
    if (it != m_connectionsPerClient.end() && --it.value() <= 0)
        m_connectionsPerClient.erase(it);
}

int CSslConnectionHandlerPool::connectionCount()
{
    std::lock_guard<std::mutex> oGuard(m_countMutex);
    return m_connections;
}

void CSslConnectionHandlerPool::dispatch(const std::shared_ptr<CSslConnectionHandler> &v_poConnection,
                                         CSslReactor *v_poReactor)
{
    const char *pFunc = "CSslConnectionHandlerPool::getConnectionHandler";
    CRequestWorker *poWorker = nullptr;
    {
        std::lock_guard<std::mutex> oGuard(m_poolMutex);
        if (!m_idle.isEmpty()) {
            poWorker = m_idle.takeLast(); // the most recently used one is warm
            QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "found free handle in pool";
        } else {
            // Workers beyond the cores are added only for requests that wait (see
            // checkStalled): more threads than cores only add switching.
            QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc)
                << "need to create new handle. pool size=" << m_workers.size() << ", max threads="
                << m_limits.maxThreads;
            if (m_workers.size() < m_eagerWorkers)
                poWorker = createWorker();
            else
                m_queue.push_back(Pending{v_poConnection, v_poReactor, steadyMs()});
        }
    }
    if (poWorker)
        poWorker->post(v_poConnection, v_poReactor);
}

bool CSslConnectionHandlerPool::serveInline(CSslConnectionHandler &v_oConnection, QByteArray &v_oReply, bool &v_bClose)
{
    norrweb::HttpExchange &oHttp = v_oConnection.http();
    if (!m_requestHandler->canServeInline(oHttp.request(), oHttp.info()))
        return false;
    v_oReply = oHttp.respond(*m_requestHandler, v_bClose);
    return true;
}

bool CSslConnectionHandlerPool::nextRequest(CRequestWorker *v_poWorker,
                                            std::shared_ptr<CSslConnectionHandler> &v_poConnection,
                                            CSslReactor *&v_poReactor)
{
    std::lock_guard<std::mutex> oGuard(m_poolMutex);
    if (!m_queue.empty()) {
        v_poConnection = std::move(m_queue.front().connection);
        v_poReactor = m_queue.front().reactor;
        m_queue.pop_front();
        return true;
    }
    if (m_workers.contains(v_poWorker))
        m_idle.append(v_poWorker);
    return false;
}

void CSslConnectionHandlerPool::checkStalled()
{
    // Requests that wait while every worker is busy (a slow request handler, for
    // example) get further workers, up to maxThreads.
    for (;;) {
        CRequestWorker *poWorker = nullptr;
        Pending oPending;
        {
            std::lock_guard<std::mutex> oGuard(m_poolMutex);
            if (m_queue.empty() || steadyMs() - m_queue.front().queuedAtMs < kStallMs
                || m_workers.size() >= m_limits.maxThreads)
                return;
            oPending = std::move(m_queue.front());
            m_queue.pop_front();
            poWorker = createWorker();
        }
        poWorker->post(std::move(oPending.connection), oPending.reactor);
    }
}

int CSslConnectionHandlerPool::size()
{
    std::lock_guard<std::mutex> oGuard(m_poolMutex);
    return m_workers.size();
}

void CSslConnectionHandlerPool::cleanup()
{
    // After a burst of connections the allocator keeps their freed buffers in
    // every thread's arena; hand them back once the load has gone.
    const int iConnections = connectionCount();
    m_connectionsPeak = qMax(m_connectionsPeak, iConnections);
    if (m_connectionsPeak >= 32 && iConnections <= m_connectionsPeak / 4) {
        ::malloc_trim(0);
        m_connectionsPeak = iConnections;
    }

    CRequestWorker *poRemoved = nullptr;
    {
        std::lock_guard<std::mutex> oGuard(m_poolMutex);
        if (m_idle.size() > m_limits.minThreads) {
            poRemoved = m_idle.takeFirst(); // the one idle longest
            m_workers.removeOne(poRemoved);
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandlerPool::cleanup")
                << "Removed connection handler, pool size is now " << m_workers.size();
        }
    }
    if (poRemoved && poRemoved->stop(kWorkerStopWaitMs))
        delete poRemoved;
}
