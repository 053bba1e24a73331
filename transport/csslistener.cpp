#include "csslistener.h"

#include "csslconnectionhandlerpool.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <log4cpp/Appender.hh>

#include <QCoreApplication>
#include <QSettings>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// As nginx: long enough for a burst, bounded by net.core.somaxconn.
constexpr int kListenBacklog = 511;
// Connections taken per wake-up of the listener thread.
constexpr int kAcceptBatch = 64;

} // namespace

void CSslListener::endProcess()
{
    QCoreApplication::quit();
    log4cpp::Appender::closeAll();
    std::fflush(nullptr);
    ::_exit(1);
}

CSslListener::CSslListener(std::shared_ptr<QSettings> v_poSettings,
                           std::shared_ptr<norrweb::HttpRequestHandler> v_poRequestHandler, QObject *v_poParent)
    : QTcpServer(v_poParent)
    , m_settings(std::move(v_poSettings))
{
    const char *pFunc = "CSslListener::CSslListener";
    m_pool = new CSslConnectionHandlerPool(m_settings, std::move(v_poRequestHandler));

    std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
    bool bSystem = false;
    try {
        bSystem = poProcessUtils->isSystemProcess(QCoreApplication::applicationPid());
    } catch (const BaseException &) {
        bSystem = false; // logged by the platform layer
    }

    int iPort = m_settings->value(QStringLiteral("port"), 0).toInt();
    if (!bSystem)
        ++iPort;

    bool bListening = listen(QHostAddress::LocalHost, static_cast<quint16>(iPort));
    if (bListening && bSystem)
        QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "Current server will be a dispatcher service for other servers";

    if (!bListening && !bSystem) {
        while (!bListening) {
            QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc)
                << "Cannot bind on port " << iPort << ": " << errorString() << " trying next one...";
            ++iPort;
            if (iPort > 65535) {
                QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "No free port left above the configured one";
                endProcess();
            }
            bListening = listen(QHostAddress::LocalHost, static_cast<quint16>(iPort));
        }
    } else if (!bListening && bSystem) {
        const quint16 uiPort = static_cast<quint16>(iPort);
        qint64 iHolder = 0;
        bool bHolderIsSystem = false;
        try {
            iHolder = poProcessUtils->getPidOfProcessAtPort(uiPort);
            bHolderIsSystem = iHolder != 0 && poProcessUtils->isSystemProcess(iHolder);
        } catch (const BaseException &) {
            bHolderIsSystem = false;
        }
        if (bHolderIsSystem) {
            QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "Dispatcher already started on system account!!!";
            endProcess();
        }
        QTX_LOG(QTXLogger::Instance(), WARN, pFunc)
            << "Dispatcher is runing on another user. It will be closed and run on system account!";
        try {
            iHolder = poProcessUtils->getPidOfProcessAtPort(uiPort);
            if (iHolder != 0)
                poProcessUtils->ShutdownProcess(iHolder);
        } catch (const BaseException &) {
        }
        bListening = listen(QHostAddress::LocalHost, uiPort);
        if (bListening) {
            QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "Current server will be a dispatcher service for other servers";
        } else {
            QTX_LOG(QTXLogger::Instance(), ERROR, pFunc) << "Can't start server as dispatcher!!!";
            endProcess();
        }
    }
    // Qt listens with a backlog of 50: under a burst of connections (a page
    // opening many at once, or a flood) further SYNs were dropped and each
    // dropped client waited a second for its retry. Listening again on the same
    // socket only changes the backlog.
    ::listen(int(socketDescriptor()), kListenBacklog);
    QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "Listening on port " << serverPort();
    m_processUtils = std::move(poProcessUtils);
    startAccepting();
}

CSslListener::~CSslListener()
{
    close();
    // On the listener thread, where the pool lives: its handlers are stopped now.
    delete m_pool;
    m_pool = nullptr;
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslListener::~CSslListener") << "closed & destroyed";
}

void CSslListener::close()
{
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    QTcpServer::close();
}

void CSslListener::startAccepting()
{
    // Qt's own accept loop drains the whole backlog in one go, whatever the pool
    // can hold; this one stops at the cap and leaves the rest in the kernel.
    pauseAccepting();
    m_acceptNotifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &CSslListener::acceptPending);
}

void CSslListener::acceptPending()
{
    // A bounded batch per wake-up keeps the listener thread's other events going
    // during a flood; the notifier fires again while connections wait.
    for (int i = 0; i < kAcceptBatch && m_acceptNotifier; ++i) {
        if (m_pool->saturated()) {
            m_acceptNotifier->setEnabled(false);
            QTimer::singleShot(5, this, &CSslListener::resumeWhenRoom);
            return;
        }
        // The peer's address comes with the accept (no getpeername per connection).
        sockaddr_storage oPeer{};
        socklen_t uPeerLength = sizeof oPeer;
        const int iFd = ::accept4(int(socketDescriptor()), reinterpret_cast<sockaddr *>(&oPeer), &uPeerLength,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (iFd >= 0) {
            takeAccepted(iFd, oPeer);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
            continue; // that client is gone; the next one may be there
        // Out of descriptors or memory: try again shortly instead of spinning.
        QTX_LOG(QTXLogger::Instance(), WARN, "CSslListener::incomingConnection")
            << "accept failed: " << std::strerror(errno);
        m_acceptNotifier->setEnabled(false);
        QTimer::singleShot(100, this, &CSslListener::resumeWhenRoom);
        return;
    }
}

void CSslListener::takeAccepted(int v_iFd, const sockaddr_storage &v_oPeer)
{
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslListener::incomingConnection") << "New connection";
    // A reply may leave in more than one TLS record; with Nagle's algorithm a later
    // record would wait for the client's delayed ACK.
    const int iOne = 1;
    ::setsockopt(v_iFd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof iOne);

    norrweb::HttpConnectionInfo oInfo;
    if (v_oPeer.ss_family == AF_INET || v_oPeer.ss_family == AF_INET6) {
        oInfo.peerAddress.setAddress(reinterpret_cast<const sockaddr *>(&v_oPeer));
        oInfo.peerPort = v_oPeer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&v_oPeer)->sin6_port)
                                                       : ntohs(reinterpret_cast<const sockaddr_in *>(&v_oPeer)->sin_port);
        // Every connection arrives on the listening socket's own address and port.
        oInfo.localAddress = serverAddress();
        oInfo.localPort = serverPort();
    }
    // The kernel names the account that owns the client's socket, found by the
    // connection's exact four-tuple; the caps per client and the permission
    // checks use it.
    if (m_processUtils && oInfo.peerPort != 0) {
        try {
            oInfo.clientUid = m_processUtils->getUidOfClient(
                ClientConnection{oInfo.peerAddress, oInfo.peerPort, oInfo.localAddress, oInfo.localPort});
        } catch (const BaseException &) {
            oInfo.clientUid = -1; // logged by the platform layer
        }
    }
    m_pool->takeConnection(v_iFd, oInfo);
}

void CSslListener::resumeWhenRoom()
{
    if (!m_acceptNotifier)
        return; // closed meanwhile
    if (m_pool->saturated())
        QTimer::singleShot(5, this, &CSslListener::resumeWhenRoom);
    else
        m_acceptNotifier->setEnabled(true);
}
