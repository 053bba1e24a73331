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
        : m_poPool(v_poPool)
        , m_poHandler(std::move(v_poHandler))
    {
        moveToThread(&m_oThread);
        m_oThread.setObjectName(QStringLiteral("qtx-worker")); // the thread's name in top -H, gdb and perf
        qtxEndOpenSslStateWithThread(&m_oThread);
        m_oThread.start();
    }
    // Only once the thread has ended.
    ~CRequestWorker() override = default;

    void post(std::shared_ptr<CSslConnectionHandler> v_poConnection, CSslReactor *v_poReactor)
    {
        // The hand-over goes through this mutex, not through the copy inside Qt's
        // event queue, so that it is also visible as such to ThreadSanitizer.
        {
            std::lock_guard<std::mutex> oGuard(m_oInboxMutex);
            m_poInbox = std::move(v_poConnection);
            m_poInboxReactor = v_poReactor;
        }
        QMetaObject::invokeMethod(this, [this] { takeInbox(); }, Qt::QueuedConnection);
    }
    bool stop(unsigned long v_ulWaitMs)
    {
        m_oThread.quit();
        return m_oThread.wait(v_ulWaitMs);
    }

private:
    void takeInbox()
    {
        std::shared_ptr<CSslConnectionHandler> poConnection;
        CSslReactor *poReactor;
        {
            std::lock_guard<std::mutex> oGuard(m_oInboxMutex);
            poConnection = std::move(m_poInbox);
            poReactor = m_poInboxReactor;
        }
        if (poConnection)
            run(std::move(poConnection), poReactor);
    }

    void run(std::shared_ptr<CSslConnectionHandler> v_poConnection, CSslReactor *v_poReactor)
    {
        do {
            serve(*v_poConnection, v_poReactor, v_poConnection);
            v_poConnection.reset();
        } while (m_poPool->nextRequest(this, v_poConnection, v_poReactor));
    }

    void serve(CSslConnectionHandler &v_oConnection, CSslReactor *v_poReactor,
               const std::shared_ptr<CSslConnectionHandler> &v_poConnection)
    {
        bool bClose = false;
        QByteArray oReply;
        {
            QtxLogBatch oLogBatch; // the request's lines, queued together
            oReply = v_oConnection.http().respond(*m_poHandler, bClose);
        }
        v_poReactor->completeRequest(v_poConnection, std::move(oReply), bClose);
    }

    CSslConnectionHandlerPool *m_poPool;
    std::shared_ptr<norrweb::HttpRequestHandler> m_poHandler;
    // One request at a time: a worker gets the next only once it is idle again.
    std::mutex m_oInboxMutex;
    std::shared_ptr<CSslConnectionHandler> m_poInbox;
    CSslReactor *m_poInboxReactor = nullptr;
    QThread m_oThread;
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
    : m_poSettings(std::move(v_poSettings))
    , m_poRequestHandler(std::move(v_poRequestHandler))
    , m_oLimits(CTransportLimits::fromSettings(*m_poSettings))
    , m_iEagerWorkers(qMin(m_oLimits.maxThreads, qMax(2, QThread::idealThreadCount())))
    , m_oCleanupTimer(this)
    , m_oStallTimer(this)
{
    // A client that vanishes while its reply is written must cost an error code,
    // not the process: OpenSSL writes with plain write(), which raises SIGPIPE.
    struct sigaction oIgnore {};
    oIgnore.sa_handler = SIG_IGN;
    sigemptyset(&oIgnore.sa_mask);
    ::sigaction(SIGPIPE, &oIgnore, nullptr);
    m_poTls = CTlsContext::create(v_oTls, "CSslConnectionHandler::handleConnection");
    for (int i = 0; i < m_oLimits.ioThreads; ++i) {
        m_oReactors.emplace_back(new CSslReactor(this, m_poTls, m_oLimits));
        m_oReactors.back()->start();
    }
    connect(&m_oCleanupTimer, &QTimer::timeout, this, &CSslConnectionHandlerPool::cleanup);
    m_oCleanupTimer.start(m_oLimits.cleanupIntervalMs);
    connect(&m_oStallTimer, &QTimer::timeout, this, &CSslConnectionHandlerPool::checkStalled);
    m_oStallTimer.start(int(kStallMs));
}

CSslConnectionHandlerPool::~CSslConnectionHandlerPool()
{
    // Connections end first, so no new request reaches a worker; then the workers
    // finish what they serve; the reactors go last, since a worker's reply is
    // handed to one.
    for (auto &poReactor : m_oReactors)
        poReactor->stop();
    QList<CRequestWorker *> oWorkers;
    {
        std::lock_guard<std::mutex> oGuard(m_oPoolMutex);
        oWorkers = m_oWorkers;
        m_oWorkers.clear();
        m_oIdle.clear();
        m_oQueue.clear();
    }
    bool bAllStopped = true;
    for (CRequestWorker *poWorker : qAsConst(oWorkers)) {
        if (poWorker->stop(kWorkerStopWaitMs))
            delete poWorker;
        else
            bAllStopped = false; // still inside a request: left to the process's end
    }
    if (!bAllStopped) {
        for (auto &poReactor : m_oReactors)
            poReactor.release();
    }
    m_oReactors.clear();
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandlerPool::~CSslConnectionHandlerPool") << "destroyed";
}

CRequestWorker *CSslConnectionHandlerPool::createWorker()
{
    auto *poWorker = new CRequestWorker(this, m_poRequestHandler);
    m_oWorkers.append(poWorker);
    QTX_LOG(QTXLogger::Instance(), INFO, "CSslConnectionHandlerPool::getConnectionHandler") << "new handle created";
    return poWorker;
}

bool CSslConnectionHandlerPool::saturated()
{
    // Accepted connections wait for their I/O thread to make room; beyond this
    // many the listener leaves further ones in the kernel's queue.
    std::lock_guard<std::mutex> oGuard(m_oCountMutex);
    return m_iConnections >= m_oLimits.maxConnections + kAdmissionBacklog;
}

CSslReactor::Admission CSslConnectionHandlerPool::countConnection(qint64 v_iUid)
{
    std::lock_guard<std::mutex> oGuard(m_oCountMutex);
    ++m_iConnections;
    int &iPerClient = m_oConnectionsPerClient[v_iUid];
    ++iPerClient;
    if (iPerClient > m_oLimits.maxConnectionsPerClient)
        return CSslReactor::EvictSameClient;
    if (m_iConnections > m_oLimits.maxConnections)
        return CSslReactor::EvictAny;
    return CSslReactor::Admit;
}

CSslReactor *CSslConnectionHandlerPool::reactorAfter(const CSslReactor *v_poReactor) const
{
    for (size_t i = 0; i < m_oReactors.size(); ++i) {
        if (m_oReactors[i].get() == v_poReactor)
            return m_oReactors[(i + 1) % m_oReactors.size()].get();
    }
    return m_oReactors.front().get();
}

void CSslConnectionHandlerPool::startAccepting(int v_iListenFd, const QHostAddress &v_oAddress, quint16 v_uiPort)
{
    for (auto &poReactor : m_oReactors)
        poReactor->startAccepting(v_iListenFd, v_oAddress, v_uiPort);
}

void CSslConnectionHandlerPool::stopAccepting()
{
    for (auto &poReactor : m_oReactors) {
        if (poReactor)
            poReactor->stopAccepting();
    }
}

void CSslConnectionHandlerPool::connectionClosed(qint64 v_iUid)
{
    std::lock_guard<std::mutex> oGuard(m_oCountMutex);
    --m_iConnections;
    const auto it = m_oConnectionsPerClient.find(v_iUid);
    if (it != m_oConnectionsPerClient.end() && --it.value() <= 0)
        m_oConnectionsPerClient.erase(it);
}

int CSslConnectionHandlerPool::connectionCount()
{
    std::lock_guard<std::mutex> oGuard(m_oCountMutex);
    return m_iConnections;
}

void CSslConnectionHandlerPool::dispatch(const std::shared_ptr<CSslConnectionHandler> &v_poConnection,
                                         CSslReactor *v_poReactor)
{
    const char *pFunc = "CSslConnectionHandlerPool::getConnectionHandler";
    CRequestWorker *poWorker = nullptr;
    {
        std::lock_guard<std::mutex> oGuard(m_oPoolMutex);
        if (!m_oIdle.isEmpty()) {
            poWorker = m_oIdle.takeLast(); // the most recently used one is warm
            QTX_LOG(QTXLogger::Instance(), INFO, pFunc) << "found free handle in pool";
        } else {
            // Workers beyond the cores are added only for requests that wait (see
            // checkStalled): more threads than cores only add switching.
            QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc)
                << "need to create new handle. pool size=" << m_oWorkers.size() << ", max threads="
                << m_oLimits.maxThreads;
            if (m_oWorkers.size() < m_iEagerWorkers)
                poWorker = createWorker();
            else
                m_oQueue.push_back(Pending{v_poConnection, v_poReactor, steadyMs()});
        }
    }
    if (poWorker)
        poWorker->post(v_poConnection, v_poReactor);
}

bool CSslConnectionHandlerPool::serveInline(CSslConnectionHandler &v_oConnection, QByteArray &v_oReply, bool &v_bClose)
{
    norrweb::HttpExchange &oHttp = v_oConnection.http();
    if (!m_poRequestHandler->canServeInline(oHttp.request(), oHttp.info()))
        return false;
    v_oReply = oHttp.respond(*m_poRequestHandler, v_bClose);
    return true;
}

bool CSslConnectionHandlerPool::nextRequest(CRequestWorker *v_poWorker,
                                            std::shared_ptr<CSslConnectionHandler> &v_poConnection,
                                            CSslReactor *&v_poReactor)
{
    std::lock_guard<std::mutex> oGuard(m_oPoolMutex);
    if (!m_oQueue.empty()) {
        v_poConnection = std::move(m_oQueue.front().connection);
        v_poReactor = m_oQueue.front().reactor;
        m_oQueue.pop_front();
        return true;
    }
    if (m_oWorkers.contains(v_poWorker))
        m_oIdle.append(v_poWorker);
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
            std::lock_guard<std::mutex> oGuard(m_oPoolMutex);
            if (m_oQueue.empty() || steadyMs() - m_oQueue.front().queuedAtMs < kStallMs
                || m_oWorkers.size() >= m_oLimits.maxThreads)
                return;
            oPending = std::move(m_oQueue.front());
            m_oQueue.pop_front();
            poWorker = createWorker();
        }
        poWorker->post(std::move(oPending.connection), oPending.reactor);
    }
}

int CSslConnectionHandlerPool::size()
{
    std::lock_guard<std::mutex> oGuard(m_oPoolMutex);
    return m_oWorkers.size();
}

void CSslConnectionHandlerPool::cleanup()
{
    // After a burst of connections the allocator keeps their freed buffers in
    // every thread's arena; hand them back once the load has gone.
    const int iConnections = connectionCount();
    m_iConnectionsPeak = qMax(m_iConnectionsPeak, iConnections);
    if (m_iConnectionsPeak >= 32 && iConnections <= m_iConnectionsPeak / 4) {
        ::malloc_trim(0);
        m_iConnectionsPeak = iConnections;
    }

    CRequestWorker *poRemoved = nullptr;
    {
        std::lock_guard<std::mutex> oGuard(m_oPoolMutex);
        if (m_oIdle.size() > m_oLimits.minThreads) {
            poRemoved = m_oIdle.takeFirst(); // the one idle longest
            m_oWorkers.removeOne(poRemoved);
            QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslConnectionHandlerPool::cleanup")
                << "Removed connection handler, pool size is now " << m_oWorkers.size();
        }
    }
    if (poRemoved && poRemoved->stop(kWorkerStopWaitMs))
        delete poRemoved;
}
