#include "cstartup.h"

#include "clauncher.h"
#include "crequestmapper.h"
#include "csettings.h"
#include "dllmanager.h"
#include "httprequesthandler.h"
#include "keystore.h"
#include "listener.h"
#include "accountnames.h"
#include "processutils.h"
#include "qtxlogger.h"
#include "qtxpaths.h"
#include "sessionregistry.h"

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

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// Why the display named in the environment cannot be used, or empty. Set by
// the constructor before the application object exists, logged by Start()
// once the log is open.
QString g_displayFallback;

// The platform Qt is going to load: QT_QPA_PLATFORM's name, else Qt's default.
QByteArray intendedPlatform()
{
    QByteArray oPlatform = qgetenv("QT_QPA_PLATFORM");
    const int iEnd = oPlatform.indexOf(':');
    if (iEnd >= 0)
        oPlatform.truncate(iEnd);
    return oPlatform.isEmpty() ? QByteArrayLiteral("xcb") : oPlatform.trimmed();
}

// Opens and closes one X connection the way Qt's xcb platform would, through
// the same library (loaded here so the server does not link it); an empty
// result means the display answered.
QString probeX11Display()
{
    void *pLibrary = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!pLibrary)
        return QStringLiteral("libxcb.so.1 cannot be loaded");
    using ConnectFn = void *(*)(const char *, int *);
    using HasErrorFn = int (*)(void *);
    using DisconnectFn = void (*)(void *);
    auto pConnect = reinterpret_cast<ConnectFn>(::dlsym(pLibrary, "xcb_connect"));
    auto pHasError = reinterpret_cast<HasErrorFn>(::dlsym(pLibrary, "xcb_connection_has_error"));
    auto pDisconnect = reinterpret_cast<DisconnectFn>(::dlsym(pLibrary, "xcb_disconnect"));
    QString oError;
    if (!pConnect || !pHasError || !pDisconnect) {
        oError = QStringLiteral("libxcb.so.1 lacks xcb_connect");
    } else {
        void *pConnection = pConnect(nullptr, nullptr);
        const int iError = pConnection ? pHasError(pConnection) : -1;
        if (iError != 0)
            oError = QStringLiteral("the X server does not accept a connection (xcb error %1)").arg(iError);
        if (pConnection)
            pDisconnect(pConnection);
    }
    ::dlclose(pLibrary);
    return oError;
}

// Connects to the Wayland compositor's socket; an empty result means it answered.
QString probeWaylandDisplay()
{
    QByteArray oName = qgetenv("WAYLAND_DISPLAY");
    if (oName.isEmpty())
        oName = QByteArrayLiteral("wayland-0");
    const QByteArray oPath = oName.startsWith('/') ? oName : qgetenv("XDG_RUNTIME_DIR") + '/' + oName;
    sockaddr_un oAddress {};
    oAddress.sun_family = AF_UNIX;
    if (oPath.size() >= int(sizeof oAddress.sun_path))
        return QStringLiteral("socket path too long");
    std::memcpy(oAddress.sun_path, oPath.constData(), size_t(oPath.size()));
    const int iSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iSocket < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    const bool bOk = ::connect(iSocket, reinterpret_cast<sockaddr *>(&oAddress), sizeof oAddress) == 0;
    const int iErrno = errno;
    ::close(iSocket);
    return bOk ? QString() : QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(oPath), QString::fromLocal8Bit(std::strerror(iErrno)));
}

// Chooses the platform of the GUI application: the offscreen one when there is
// no display, or when the display the environment names cannot be reached
// (Qt would abort on it); then the server still runs, GUI modules included.
void chooseGuiPlatform()
{
    const bool bNoDisplay = qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && bNoDisplay) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return;
    }
    const QByteArray oPlatform = intendedPlatform();
    QString oProblem;
    QString oDisplay;
    if (oPlatform == "xcb") {
        oDisplay = qEnvironmentVariable("DISPLAY");
        oProblem = oDisplay.isEmpty() ? QStringLiteral("DISPLAY is not set") : probeX11Display();
        oDisplay = QStringLiteral("\"%1\" (X11)").arg(oDisplay);
    } else if (oPlatform == "wayland" || oPlatform == "wayland-egl") {
        oDisplay = QStringLiteral("\"%1\" (Wayland)").arg(qEnvironmentVariable("WAYLAND_DISPLAY"));
        oProblem = probeWaylandDisplay();
    }
    if (oProblem.isEmpty())
        return;
    g_displayFallback = QStringLiteral("Display %1 cannot be reached (%2): GUI functions run on the offscreen platform")
                            .arg(oDisplay, oProblem);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::cerr << "WARN: " << g_displayFallback.toStdString() << std::endl;
}

// One server per account and executable name, decided atomically: the first
// process holds an exclusive lock on a file in the account's data folder for
// its whole life (the descriptor is deliberately never closed). Returns false
// when another process holds it; true when taken, or when the file cannot be
// opened at all (then the process scan alone decides, as before).
bool takeInstanceLock(const QString &v_oProcessName)
{
    const QString oDir = qtxUserDataDir();
    QDir().mkpath(oDir);
    const QByteArray oPath = QFile::encodeName(oDir + v_oProcessName + QStringLiteral(".lock"));
    const int iFd = ::open(oPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (iFd < 0)
        return true;
    if (::flock(iFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    ::close(iFd);
    return false;
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
            m_bConsoleMode = true;
    }

    // A -console run shows its log in the terminal it runs in, as well as in the file.
    QTXLogger::SetCopyToTerminal(m_bConsoleMode);

    QCoreApplication *poApplication = nullptr;
    if (m_bConsoleMode) {
        poApplication = new QCoreApplication(argc, argv);
    } else {
        // No display, or one that cannot be reached: the offscreen platform
        // keeps GUI modules working.
        chooseGuiPlatform();
        poApplication = new QApplication(argc, argv);
    }
    m_poApplication.reset(poApplication, deleteLaterOrNow);

    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(poApplication, &QCoreApplication::aboutToQuit, this, &CStartup::Stop);
    installInterruptHandler(this);
    Start();
}

CStartup::~CStartup()
{
    stopListener();
    // After the listener: no request uses the sessions any more.
    m_poSessions.reset();
    log4cpp::Appender::closeAll();
    m_poApplication.reset();
}

void CStartup::Start()
{
    try {
        QCoreApplication::setApplicationName(QString::fromLatin1(kQtxApplicationName));
        QCoreApplication::setOrganizationName(QString::fromLatin1(kQtxOrganizationName));
        QCoreApplication::setOrganizationDomain(QString::fromLatin1(kQtxOrganizationDomain));

        // The logging part first, so that what the rest of the configuration
        // warns about lands in the log after its banner.
        CSettings *poSettings = CSettings::Instance();
        installFatalSignalHandlers();
        QTXLogger::ApplyLoggingSettings(poSettings->ReadLoggingSettings());
        ServerLogger::Instance();
        m_oConfig = ServerConfig::read(*poSettings);
        if (!g_displayFallback.isEmpty())
            QTX_LOG(ServerLogger::Instance(), WARN, "CStartup::CStartup") << g_displayFallback;

        // Single-instance check: a process of this executable's name, owned by
        // this account, that already listens means a server is running.
        std::unique_ptr<ProcessUtils> poProcessUtils = createProcessUtils();
        const qint64 iOwnPid = QCoreApplication::applicationPid();
        const QString oProcessName = poProcessUtils->getNameOfProcessWithPID(iOwnPid);
        const QString oAccount = poProcessUtils->getDomainAndUsernameForPID(iOwnPid);
        const qint64 iOwnUid = qint64(qtxplatform::serverUid());
        // Which account is the dispatcher's is configured, before the listener
        // decides between the dispatcher's port and a user port.
        qtxplatform::setDispatcherAccount(m_oConfig.dispatcherAccount);
        // Two processes started at the same moment would both find no listener:
        // the instance lock decides between them. The loser waits a moment for
        // the winner's port, or takes over when the winner ends without serving.
        bool bLocked = takeInstanceLock(oProcessName);
        quint16 uiPort = 0;
        for (int i = 0; !bLocked && uiPort == 0 && i < 100; ++i) {
            uiPort = poProcessUtils->getPortOfUserProcessForUid(iOwnUid, oProcessName, 0);
            if (uiPort == 0) {
                ::usleep(100 * 1000);
                bLocked = takeInstanceLock(oProcessName);
            }
        }
        if (bLocked)
            uiPort = poProcessUtils->getPortOfUserProcessForUid(iOwnUid, oProcessName, 0);
        if (uiPort != 0 || !bLocked) {
            QTX_LOG(ServerLogger::Instance(), ERROR, "CStartup::Start")
                << "Server is already running on port: " << uiPort << " for user: " << oAccount;
            // Ends through the ordinary stop: the loop returns at once with
            // the refused start's exit code, the destructors run as usual.
            requestQuit(kRefusedStartExitCode);
            return;
        }

        startServices();
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

void CStartup::startServices()
{
    // The module manager and the job launcher are made here, on the main
    // thread, whose event loop runs for the life of the process: results and
    // deferred unloading are delivered through it. So is the sessions' clock.
    // Both live for the process: a pool thread still in a module function
    // when the loop ends gives its module back to the manager afterwards.
    static DllManager *s_poModules = new DllManager(m_oConfig.modules);
    static CLauncher *s_poLauncher = new CLauncher(s_poModules, m_oConfig.launcher);
    ServerContext oContext;
    oContext.poModules = s_poModules;
    oContext.poLauncher = s_poLauncher;
    oContext.bWindowsServerMode = m_oConfig.serverMode;
    oContext.uiListenerPort = m_oConfig.listenerPort;
    oContext.oDispatcherCertificatePath = KeyStore::dispatcherCertificatePath();
    oContext.bDispatcher = qtxplatform::isDispatcher();
    oContext.bModulesForOtherAccounts = !oContext.bDispatcher && qtxplatform::serverUid() != 0;
    if (oContext.bDispatcher)
        QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start")
            << "Dispatcher account uid=" << qtxplatform::dispatcherUid()
            << ": other accounts get the dispatcher's own commands only";

    QSettings oSessionSettings(m_oConfig.iniPath, QSettings::IniFormat);
    oSessionSettings.beginGroup(QStringLiteral("sessions"));
    m_poSessions.reset(new SessionRegistry(&oSessionSettings, m_oConfig.sessionIdleMs, m_oConfig.sessions,
                                         oContext.poModules, oContext.poLauncher));
    oContext.poSessions = m_poSessions.get();
    QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start") << "Session store configured";

    QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start") << "Starting listener";
    std::shared_ptr<QSettings> poListenerSettings(new QSettings(m_oConfig.iniPath, QSettings::IniFormat, this),
                                                  [](QSettings *v_poSettings) { v_poSettings->deleteLater(); });
    poListenerSettings->beginGroup(QStringLiteral("listener"));

    std::shared_ptr<norrweb::HttpRequestHandler> poRequestHandler(
        new CRequestMapper(oContext, this), [](norrweb::HttpRequestHandler *v_poHandler) { v_poHandler->deleteLater(); });

    // Deleted at once when stopped, not through the event loop, which may have
    // ended by then: the I/O threads, the workers and the TLS context must be gone
    // before the process exits.
    m_poListener.reset(new Listener(true, poListenerSettings, m_oConfig.tls, poRequestHandler, this));
    // The port could not be had (the listener logged why): the process ends
    // through its ordinary stop, with the exit code of a refused start.
    connect(m_poListener.get(), &Listener::failed, this, [] { QCoreApplication::exit(kRefusedStartExitCode); });
}

void CStartup::announceOnTerminal(int v_iWaitMs) const
{
    // A -console run shows its log lines there instead ("Listening on port",
    // "Authority of this account").
    if (!m_poListener || m_bConsoleMode || !::isatty(STDERR_FILENO))
        return;
    quint16 uiPort = 0;
    for (int iWaited = 0; (uiPort = m_poListener->serverPort()) == 0 && iWaited < v_iWaitMs; iWaited += 20)
        ::usleep(20 * 1000);
    if (uiPort == 0)
        return;
    const QString oAuthority = KeyStore::authorityPath();
    std::cerr << "Quorvex Crypto Provider listens on https://127.0.0.1:" << uiPort << "/\n"
              << "Authority: " << (QFile::exists(oAuthority) ? oAuthority.toStdString() : std::string("none in ") + KeyStore::folder().toStdString())
              << "\nLog:       " << m_oConfig.logFilePath.toStdString() << "\n"
              << "Stop:      kill -INT " << QCoreApplication::applicationPid() << "\n"
              << std::flush;
}

void CStartup::stopListener()
{
    if (m_poListener)
        emit m_poListener->stop();
    m_poListener.reset();
    QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Stop") << "CStartup: Listener has been stopped";
}

void CStartup::Stop()
{
    stopListener();
    log4cpp::Appender::closeAll();
}
