#include "csslistener.h"

#include "csslconnectionhandlerpool.h"
#include "accountnames.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <log4cpp/Appender.hh>

#include <QCoreApplication>
#include <QSettings>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// As nginx: long enough for a burst, bounded by net.core.somaxconn.
constexpr int kListenBacklog = 511;

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
    // The dispatcher is the configured account's instance (root's where none
    // is configured), not whatever runs as root.
    const bool bSystem = qtxplatform::isDispatcher();

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
            bHolderIsSystem = iHolder != 0
                              && poProcessUtils->getEffectiveUidOfPID(iHolder) == qint64(qtxplatform::dispatcherUid());
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
    // The I/O threads let go of the socket before it is closed: its descriptor
    // number could otherwise be reused under them.
    if (m_pool)
        m_pool->stopAccepting();
    QTcpServer::close();
}

void CSslListener::startAccepting()
{
    // The I/O threads accept, each into its own connections, stopping at the cap
    // and leaving the rest in the kernel; Qt's own accept loop here would drain
    // the whole backlog whatever the pool can hold.
    pauseAccepting();
    m_pool->startAccepting(int(socketDescriptor()), serverAddress(), serverPort());
}
