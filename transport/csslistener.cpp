#include "csslistener.h"

#include "csslconnectionhandlerpool.h"
#include "accountnames.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <QSettings>

namespace {

// As nginx: long enough for a burst, bounded by net.core.somaxconn. (Qt's
// listener used 50: under a burst of connections, a page opening many at once
// or a flood, further SYNs were dropped and each such client waited a second
// for its retry.)
constexpr int kListenBacklog = 511;

const char *const kFunc = "CSslListener::CSslListener";

} // namespace

CSslListener::CSslListener(std::shared_ptr<QSettings> v_poSettings, const CTlsContext::Config &v_oTls,
                           std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent)
    : QObject(v_poParent)
    , m_poSettings(std::move(v_poSettings))
{
    m_poPool = new CSslConnectionHandlerPool(m_poSettings, v_oTls, std::move(v_poRequestHandler));
}

CSslListener::~CSslListener()
{
    close();
    // On the listener thread, where the pool lives: its handlers are stopped now.
    delete m_poPool;
    m_poPool = nullptr;
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslListener::~CSslListener") << "closed & destroyed";
}

bool CSslListener::tryPort(int v_iPort, ListenSocket::Error &v_oError)
{
    v_oError = m_oSocket.open(static_cast<quint16>(v_iPort), kListenBacklog);
    if (v_oError && v_oError.failed == ListenSocket::Created)
        m_oFailureText = ListenSocket::describe(v_oError);
    return !v_oError;
}

CSslListener::Failure CSslListener::listen()
{
    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    // The dispatcher is the configured account's instance (root's where none
    // is configured), not whatever runs as root.
    const bool bSystem = qtxplatform::isDispatcher();

    int iPort = m_poSettings->value(QStringLiteral("port"), 0).toInt();
    if (!bSystem)
        ++iPort;

    ListenSocket::Error oError;
    bool bListening = tryPort(iPort, oError);
    if (!m_oFailureText.isEmpty())
        return NoSocket;
    if (bListening && bSystem)
        QTX_LOG(QTXLogger::Instance(), NOTICE, kFunc) << "Current server will be a dispatcher service for other servers";

    if (!bListening && !bSystem) {
        while (!bListening) {
            QTX_LOG(QTXLogger::Instance(), NOTICE, kFunc)
                << "Cannot bind on port " << iPort << ": " << ListenSocket::describe(oError) << " trying next one...";
            if (++iPort > 65535)
                return NoFreePort;
            bListening = tryPort(iPort, oError);
            if (!m_oFailureText.isEmpty())
                return NoSocket;
        }
    } else if (!bListening && bSystem) {
        const quint16 uiPort = static_cast<quint16>(iPort);
        qint64 iHolder = 0;
        bool bHolderIsSystem = false;
        try {
            iHolder = poProcessUtils->getPidOfProcessAtPort(uiPort);
            bHolderIsSystem = iHolder != 0
                              && poProcessUtils->getEffectiveUidOfPID(iHolder) == qint64(qtxplatform::dispatcherUid());
        } catch (const BaseException &) {
            bHolderIsSystem = false;
        }
        if (bHolderIsSystem)
            return DispatcherRunning;
        QTX_LOG(QTXLogger::Instance(), WARN, kFunc)
            << "Dispatcher is runing on another user. It will be closed and run on system account!";
        try {
            iHolder = poProcessUtils->getPidOfProcessAtPort(uiPort);
            if (iHolder != 0)
                poProcessUtils->ShutdownProcess(iHolder);
        } catch (const BaseException &) {
        }
        if (!tryPort(uiPort, oError))
            return m_oFailureText.isEmpty() ? DispatcherPortKept : NoSocket;
        QTX_LOG(QTXLogger::Instance(), NOTICE, kFunc) << "Current server will be a dispatcher service for other servers";
    }
    QTX_LOG(QTXLogger::Instance(), NOTICE, kFunc) << "Listening on port " << serverPort();
    // The I/O threads accept, each into its own connections, stopping at the cap
    // and leaving the rest in the kernel's queue.
    m_poPool->startAccepting(m_oSocket.fd(), m_oSocket.address(), m_oSocket.port());
    return NoFailure;
}

void CSslListener::close()
{
    // The I/O threads let go of the socket before it is closed: its descriptor
    // number could otherwise be reused under them.
    if (m_poPool)
        m_poPool->stopAccepting();
    m_oSocket.close();
}
