#include "cstartup.h"

#include "clauncher.h"
#include "crequestmapper.h"
#include "csettings.h"
#include "ctimeout.h"
#include "dllmanager.h"
#include "httprequesthandler.h"
#include "httpsessionstore.h"
#include "listener.h"
#include "processutils.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <log4cpp/Appender.hh>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSettings>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <new>

#include <fcntl.h>
#include <unistd.h>


namespace {

const int kFatalSignals[] = {SIGFPE, SIGILL, SIGSEGV, SIGTERM};

// Ctrl-C asks the event loop to quit through a self-pipe, so the server stops
// the way an application quit does (Stop(), appenders closed) instead of dying.
int g_interruptPipe[2] = {-1, -1};

extern "C" void interruptHandler(int)
{
    const char cByte = 1;
    if (g_interruptPipe[1] >= 0) {
        const ssize_t iIgnored = ::write(g_interruptPipe[1], &cByte, 1);
        (void)iIgnored;
    }
}

void installInterruptHandler(QObject *v_poParent)
{
    if (g_interruptPipe[0] < 0 && ::pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *poNotifier = new QSocketNotifier(g_interruptPipe[0], QSocketNotifier::Read, v_poParent);
    QObject::connect(poNotifier, &QSocketNotifier::activated, v_poParent, [] {
        char aBuffer[16];
        while (::read(g_interruptPipe[0], aBuffer, sizeof aBuffer) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction oAction {};
    oAction.sa_handler = interruptHandler;
    sigemptyset(&oAction.sa_mask);
    oAction.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &oAction, nullptr);
}

// Deletes through the event loop while it runs, at once otherwise (the
// application object outlives its loop).
void deleteLaterOrNow(QObject *v_poObject)
{
    if (!v_poObject)
        return;
    if (QCoreApplication::instance() && QCoreApplication::instance() != v_poObject)
        v_poObject->deleteLater();
    else
        delete v_poObject;
}

void requestQuit(int v_iExitCode)
{
    // Queued, so it takes effect when the loop starts: exec() returns at once.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [v_iExitCode] { QCoreApplication::exit(v_iExitCode); },
                              Qt::QueuedConnection);
}

} // namespace

extern "C" void signalHandler(int signal)
{
    // The interrupted thread may hold any lock (the log queue's, malloc's), so
    // the CRIT line and the queued lines go to the file without waiting for one.
    if (ServerLogger::Exists())
        QTXLogger::LogFatalSignal(ProcessUtilsLogger::Instance(), "signalHandler",
                                  "!!! APPLICATION TERMINATED !!! signal:", signal);
    std::abort();
}

void installFatalSignalHandlers()
{
    for (int iSignal : kFatalSignals)
        std::signal(iSignal, signalHandler);
}

CStartup::CStartup(int &argc, char **argv)
{
    for (int i = 0; i < argc; ++i) {
        if (qstrcmp(argv[i], "-console") == 0)
            m_consoleMode = true;
    }

    QCoreApplication *poApplication = nullptr;
    if (m_consoleMode) {
        poApplication = new QCoreApplication(argc, argv);
    } else {
        // No display: the offscreen platform keeps GUI modules working.
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        poApplication = new QApplication(argc, argv);
    }
    m_application.reset(poApplication, deleteLaterOrNow);

    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(poApplication, &QCoreApplication::aboutToQuit, this, &CStartup::Stop);
    installInterruptHandler(this);
    Start();
}

CStartup::~CStartup()
{
    stopListener();
    // The store is a child of this object and goes with it.
    g_poSessionStore = nullptr;
    log4cpp::Appender::closeAll();
    m_application.reset();
}

void CStartup::Start()
{
    try {
        QCoreApplication::setApplicationName(QString::fromLatin1(kQtxApplicationName));
        QCoreApplication::setOrganizationName(QString::fromLatin1(kQtxOrganizationName));
        QCoreApplication::setOrganizationDomain(QString::fromLatin1(kQtxOrganizationDomain));

        CSettings *poSettings = CSettings::Instance();
        const QString oIniPath = poSettings->ReadIniFilePath();

        installFatalSignalHandlers();
        QTXLogger::ApplyLoggingSettings();
        ServerLogger::Instance();

        // Single-instance check: a process of this executable's name, owned by
        // this account, that already listens means a server is running.
        std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
        const qint64 iOwnPid = QCoreApplication::applicationPid();
        const QString oProcessName = poProcessUtils->getNameOfProcessWithPID(iOwnPid);
        const QString oAccount = poProcessUtils->getDomainAndUsernameForPID(iOwnPid);
        const quint16 uiPort = poProcessUtils->getPortOfUserProcess(oAccount, oProcessName, 0);
        if (uiPort != 0) {
            QTX_LOG(ServerLogger::Instance(), ERROR, "CStartup::Start")
                << "Server is already running on port: " << uiPort << " for user: " << oAccount;
            QCoreApplication::quit();
            log4cpp::Appender::closeAll();
            std::fflush(nullptr);
            ::_exit(1);
        }

        startServices(oIniPath);
    } catch (const std::bad_alloc &oError) {
        QTX_LOG(ServerLogger::Instance(), ERROR, "CStartup::Start") << "Not enough memory to run program: " << oError.what();
        std::cerr << "Problem with memory. Could not allocate new block" << std::endl;
        requestQuit(kStartFailureExitCode);
    } catch (const std::exception &oError) {
        QTX_LOG(ServerLogger::Instance(), ERROR, "CStartup::Start") << "Unknown error: " << oError.what();
        std::cerr << "Unknown error: " << oError.what() << std::endl;
        requestQuit(kStartFailureExitCode);
    }
}

void CStartup::startServices(const QString &v_oIniPath)
{
    auto *poSessionSettings = new QSettings(v_oIniPath, QSettings::IniFormat, this);
    poSessionSettings->beginGroup(QStringLiteral("sessions"));
    g_poSessionStore = new norrweb::HttpSessionStore(poSessionSettings, this);
    QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start") << "Session store configured";

    QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start") << "Starting listener";
    std::shared_ptr<QSettings> poListenerSettings(new QSettings(v_oIniPath, QSettings::IniFormat, this),
                                                  [](QSettings *v_poSettings) { v_poSettings->deleteLater(); });
    poListenerSettings->beginGroup(QStringLiteral("listener"));

    std::shared_ptr<norrweb::HttpRequestHandler> poRequestHandler(
        new CRequestMapper(this), [](norrweb::HttpRequestHandler *v_poHandler) { v_poHandler->deleteLater(); });

    // The module manager, the job launcher and the session timers are created here,
    // on the main thread, whose event loop runs for the life of the process: results
    // and deferred unloading are delivered through it.
    CTimeout::GetInstance();
    DllManager::GetInstance();
    CLauncher::GetInstance();

    auto *poListener = new Listener(true, poListenerSettings, poRequestHandler, this);
    m_listener.reset(poListener, [](Listener *v_poListener) { v_poListener->deleteLater(); });
}

void CStartup::stopListener()
{
    if (m_listener)
        emit m_listener->stop();
    m_listener.reset();
    QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Stop") << "CStartup: Listener has been stopped";
}

void CStartup::Stop()
{
    stopListener();
    log4cpp::Appender::closeAll();
}
