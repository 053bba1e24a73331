#include "qtxlogger.h"

#include "csettings.h"
#include "qtxpaths.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/RollingFileAppender.hh>

#include <QDir>
#include <QFileInfo>

#include <memory>
#include <mutex>
#include <vector>

const char *const kQtxLogPattern = "%d{%Y-%m-%d %H:%M:%S.%l} %u [%t] %p %x - %m%n";

namespace {

std::mutex g_appenderMutex;

log4cpp::Category *categoryNamed(const QString &v_oName)
{
    return &log4cpp::Category::getInstance(v_oName.toStdString());
}

} // namespace

QTXLogger::QTXLogger(const QString &v_oCategoryName, bool v_bConfigureNow)
    : m_categoryName(v_oCategoryName)
    , m_configureNow(v_bConfigureNow)
    , m_category(categoryNamed(v_oCategoryName))
    , m_logDir(LogDirectory())
{
    QDir().mkpath(m_logDir);
    if (m_configureNow)
        ConfigureAppender();
}

QTXLogger::~QTXLogger()
{
    if (m_appender) {
        // removeAppender deletes an owned appender; close it first so the file is released.
        m_appender->close();
        categoryNamed(m_categoryName)->removeAppender(m_appender);
        m_appender = nullptr;
    }
}

QTXLogger &QTXLogger::Instance()
{
    static QTXLogger s_oLogger(QStringLiteral("qtx"), false);
    return s_oLogger;
}

QString QTXLogger::LogDirectory()
{
    return qtxUserDataDir() + QStringLiteral("logs");
}

void QTXLogger::SetCategory(const QString &v_oName)
{
    m_category.store(categoryNamed(v_oName), std::memory_order_release);
}

void QTXLogger::ConfigureAppender()
{
    std::lock_guard<std::mutex> oGuard(g_appenderMutex);
    const std::string oFile = (m_logDir + QLatin1Char('/') + m_categoryName + QStringLiteral(".log")).toStdString();
    auto *pAppender = new log4cpp::RollingFileAppender((m_categoryName + QStringLiteral("Inner")).toStdString(),
                                                       oFile, kQtxLogMaxFileSize, kQtxLogMaxBackupIndex,
                                                       true, 00644);
    auto *pLayout = new log4cpp::PatternLayout();
    pLayout->setConversionPattern(kQtxLogPattern);
    pAppender->setLayout(pLayout);
    pAppender->setThreshold(log4cpp::Priority::INFO);
    categoryNamed(m_categoryName)->addAppender(pAppender);
    m_appender = pAppender;
}

int QTXLogger::MapLogLevel(int v_iValue)
{
    if (v_iValue == 0)
        return log4cpp::Priority::DEBUG;
    if (v_iValue <= 10000)
        return log4cpp::Priority::INFO;
    if (v_iValue <= 20000)
        return log4cpp::Priority::NOTICE;
    if (v_iValue <= 30000)
        return log4cpp::Priority::WARN;
    if (v_iValue <= 40000)
        return log4cpp::Priority::ERROR;
    if (v_iValue <= 50000)
        return log4cpp::Priority::CRIT;
    return log4cpp::Priority::FATAL;
}

void QTXLogger::ApplyLoggingSettings()
{
    const int iPriority = MapLogLevel(CSettings::Instance()->ReadLogLevel());
    log4cpp::Category::getRoot().setPriority(iPriority);
    std::unique_ptr<std::vector<log4cpp::Category *>> pCategories(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category *pCategory : *pCategories) {
        const log4cpp::AppenderSet oAppenders = pCategory->getAllAppenders();
        for (log4cpp::Appender *pAppender : oAppenders)
            pAppender->setThreshold(iPriority);
    }
}

void QTXLogger::FlushAll()
{
    static const int aPriorities[] = {log4cpp::Priority::DEBUG, log4cpp::Priority::INFO,
                                      log4cpp::Priority::NOTICE, log4cpp::Priority::WARN,
                                      log4cpp::Priority::ERROR, log4cpp::Priority::CRIT};
    std::unique_ptr<std::vector<log4cpp::Category *>> pCategories(log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category *pCategory : *pCategories) {
        for (int iPriority : aPriorities)
            pCategory->getStream(iPriority).flush();
    }
}

// ---------------------------------------------------------------------------

namespace {

std::mutex g_serverLoggerMutex;
std::atomic<ServerLogger *> g_serverLogger{nullptr};
thread_local bool t_creatingServerLogger = false;

// Destroys the server logger at process exit (after main returns).
struct ServerLoggerHolder
{
    ~ServerLoggerHolder() { delete g_serverLogger.exchange(nullptr); }
};

// Receives the lines logged while the server logger is under construction.
QTXLogger &droppingLogger()
{
    static QTXLogger s_oDropping(QStringLiteral("qtx.dropped"), false);
    static const bool s_bDetached = [] {
        s_oDropping.GetCategory().setAdditivity(false);
        return true;
    }();
    Q_UNUSED(s_bDetached);
    return s_oDropping;
}

} // namespace

QTXLogger &ServerLogger::Instance()
{
    if (ServerLogger *pLogger = g_serverLogger.load(std::memory_order_acquire))
        return *pLogger;
    if (t_creatingServerLogger)
        return droppingLogger();
    static ServerLoggerHolder s_oHolder;
    std::lock_guard<std::mutex> oGuard(g_serverLoggerMutex);
    if (ServerLogger *pLogger = g_serverLogger.load(std::memory_order_acquire))
        return *pLogger;
    t_creatingServerLogger = true;
    ServerLogger *pLogger = nullptr;
    try {
        pLogger = new ServerLogger();
    } catch (...) {
        t_creatingServerLogger = false;
        throw;
    }
    t_creatingServerLogger = false;
    g_serverLogger.store(pLogger, std::memory_order_release);
    return *pLogger;
}

bool ServerLogger::Exists()
{
    return g_serverLogger.load(std::memory_order_acquire) != nullptr;
}

ServerLogger::ServerLogger()
    : QTXLogger(QString::fromLatin1(kQtxApplicationName), false)
{
    QDir().mkpath(QFileInfo(CSettings::Instance()->ReadLogFilePath()).absolutePath());

    // Read while the other loggers still write nowhere: a configuration warning
    // raised here is dropped (the server logger is being created) instead of
    // splitting the banner.
    const bool bServerMode = CSettings::Instance()->ReadWindowsServerMode();

    const QString oServerCategory = QString::fromLatin1(kQtxApplicationName);
    QTXLogger::Instance().SetCategory(oServerCategory);
    ModuleToolsLogger::Instance().SetCategory(oServerCategory);
    ProcessUtilsLogger::Instance().SetCategory(oServerCategory);
    SwitchOffDebuggingLogger::Instance().SetCategory(oServerCategory);

    ConfigureAppender();

    const char *pFunc = "ServerLogger::ServerLogger";
    log4cpp::Category &oCategory = GetCategory();
    oCategory.getStream(log4cpp::Priority::NOTICE) << pFunc << " :: " << "#######################################";
    oCategory.getStream(log4cpp::Priority::NOTICE) << pFunc << " :: " << "Starting Quorvex Crypto Provider Server ver. "
                                                   << qtxBuiltInVersion();
    oCategory.getStream(log4cpp::Priority::NOTICE) << pFunc << " :: " << "WindowsServerMode="
                                                   << (bServerMode ? "true" : "false");
    oCategory.getStream(log4cpp::Priority::NOTICE)
        << pFunc << " :: " << "LogLevel="
        << log4cpp::Priority::getPriorityName(log4cpp::Category::getRoot().getPriority());
    oCategory.getStream(log4cpp::Priority::NOTICE) << pFunc << " :: " << "MaxFileSize=" << static_cast<unsigned long>(kQtxLogMaxFileSize);
    oCategory.getStream(log4cpp::Priority::NOTICE) << pFunc << " :: " << "MaxBackupIndex=" << kQtxLogMaxBackupIndex;
    oCategory.getStream(log4cpp::Priority::NOTICE) << pFunc << " :: " << "ImmediateFlush=" << 0;
}

ServerLogger::~ServerLogger() = default;

#define QTX_DEFINE_LOGGER(Name, CategoryText)                                    \
    Name::Name()                                                                 \
        : QTXLogger(QStringLiteral(CategoryText), false)                         \
    {                                                                            \
    }                                                                            \
    Name &Name::Instance()                                                       \
    {                                                                            \
        static Name s_oLogger;                                                   \
        return s_oLogger;                                                        \
    }

QTX_DEFINE_LOGGER(ModuleToolsLogger, "moduleTools")
QTX_DEFINE_LOGGER(ProcessUtilsLogger, "processUtils")
QTX_DEFINE_LOGGER(SwitchOffDebuggingLogger, "switchOffDebug")
QTX_DEFINE_LOGGER(FileVersionLogger, "fileVersion")
