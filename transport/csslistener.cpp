#include "csslistener.h"

#include "csslconnectionhandler.h"
#include "csslconnectionhandlerpool.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <log4cpp/Appender.hh>

#include <QCoreApplication>
#include <QSettings>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {
const char kTooManyConnections[] =
    "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";
}

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
    QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "Listening on port " << serverPort();
}

CSslListener::~CSslListener()
{
    close();
    // On the listener thread, where the pool lives: its handlers are stopped now.
    delete m_pool;
    m_pool = nullptr;
    QTX_LOG(QTXLogger::Instance(), NOTICE, "CSslListener::~CSslListener") << "closed & destroyed";
}

void CSslListener::incomingConnection(qintptr v_iSocketDescriptor)
{
    const char *pFunc = "CSslListener::incomingConnection";
    QTX_LOG(QTXLogger::Instance(), NOTICE, pFunc) << "New connection";
    CSslConnectionHandler *poHandler = m_pool->getConnectionHandler();
    if (poHandler) {
        // Queued: the handler builds its socket on its own thread.
        connect(this, &CSslListener::handleConnection, poHandler, &CSslConnectionHandler::handleConnection,
                Qt::QueuedConnection);
        emit handleConnection(v_iSocketDescriptor);
        disconnect(this, &CSslListener::handleConnection, poHandler, &CSslConnectionHandler::handleConnection);
        return;
    }
    QTX_LOG(QTXLogger::Instance(), WARN, pFunc) << "HTTP/1.1 503 - Too many incoming connections";
    auto *poSocket = new QTcpSocket(this);
    connect(poSocket, &QTcpSocket::disconnected, poSocket, &QObject::deleteLater);
    if (!poSocket->setSocketDescriptor(v_iSocketDescriptor)) {
        poSocket->deleteLater();
        return;
    }
    poSocket->write(kTooManyConnections, sizeof kTooManyConnections - 1);
    poSocket->flush(); // 80 bytes: hand them to the kernel before the socket goes
    poSocket->disconnectFromHost();
    poSocket->deleteLater();
}
