#include "qtxlogger.h"

#include "qtxlogsink.h"
#include "qtxpaths.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/NDC.hh>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

const char *const kQtxLogPattern = "%d{%Y-%m-%d %H:%M:%S.%l} %u [%t] %p %x - %m%n";

namespace {

std::mutex g_appenderMutex;
std::atomic<bool> g_copyToTerminal{false};
// Set with the other logging settings, before the server logger's banner.
std::atomic<bool> g_serverModeInBanner{false};

// A descriptor of its own for the terminal on standard error, non-blocking (so
// that a terminal that takes no more lines cannot hold up the log file), or -1
// when standard error is no terminal or cannot be opened again.
int openTerminalOfStderr()
{
    if (!::isatty(STDERR_FILENO))
        return -1;
    char aName[256];
    if (::ttyname_r(STDERR_FILENO, aName, sizeof aName) != 0)
        return -1;
    return ::open(aName, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

log4cpp::Category *categoryNamed(const QString &v_oName)
{
    return &log4cpp::Category::getInstance(v_oName.toStdString());
}

// The log folder is the account's own: created 0700, and narrowed to that when
// an older version left it wider. The folders above it are created as usual.
void makeLogDirectory(const QString &v_oDir)
{
    QDir().mkpath(QFileInfo(v_oDir).absolutePath());
    const QByteArray oPath = QFile::encodeName(v_oDir);
    ::mkdir(oPath.constData(), 0700);
    struct stat oStat;
    if (::lstat(oPath.constData(), &oStat) == 0 && S_ISDIR(oStat.st_mode) && oStat.st_uid == ::geteuid()
        && (oStat.st_mode & 077) != 0)
        ::chmod(oPath.constData(), oStat.st_mode & 0700);
}

} // namespace

QTXLogger::QTXLogger(const QString &v_oCategoryName, bool v_bConfigureNow)
    : m_oCategoryName(v_oCategoryName)
    , m_bConfigureNow(v_bConfigureNow)
    , m_poCategory(categoryNamed(v_oCategoryName))
    , m_oLogDir(LogDirectory())
{
    makeLogDirectory(m_oLogDir);
    if (m_bConfigureNow)
        ConfigureAppender();
}

QTXLogger::~QTXLogger()
{
    if (m_poAppender) {
        // removeAppender deletes an owned appender; close it first so the file is released.
        m_poAppender->close();
        categoryNamed(m_oCategoryName)->removeAppender(m_poAppender);
        m_poAppender = nullptr;
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

void QTXLogger::SetCopyToTerminal(bool v_bCopy)
{
    g_copyToTerminal.store(v_bCopy);
}

void QTXLogger::SetCategory(const QString &v_oName)
{
    m_poCategory.store(categoryNamed(v_oName), std::memory_order_release);
}

void QTXLogger::ConfigureAppender()
{
    std::lock_guard<std::mutex> oGuard(g_appenderMutex);
    const std::string oFile = (m_oLogDir + QLatin1Char('/') + m_oCategoryName + QStringLiteral(".log")).toStdString();
    // The rolling file with the fixed line pattern, written by its own thread.
    auto *pAppender = new QtxAsyncFileAppender((m_oCategoryName + QStringLiteral("Inner")).toStdString(), oFile,
                                               kQtxLogMaxFileSize, kQtxLogMaxBackupIndex, 00600);
    pAppender->setThreshold(log4cpp::Priority::INFO);
    if (g_copyToTerminal.load()) {
        const int iTerminal = openTerminalOfStderr();
        if (iTerminal >= 0)
            pAppender->Sink()->CopyToTerminal(iTerminal);
    }
    log4cpp::Category *pCategory = categoryNamed(m_oCategoryName);
    pCategory->addAppender(pAppender);
    pAppender->RouteCategory(pCategory);
    m_poAppender = pAppender;
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

void QTXLogger::ApplyLoggingSettings(const Settings &v_oSettings)
{
    const int iPriority = MapLogLevel(v_oSettings.level);
    qtxSetLogSensitiveData(v_oSettings.sensitiveData);
    g_serverModeInBanner.store(v_oSettings.serverMode);
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
    std::size_t uiCount = 0;
    QtxLogSink *const *pSinks = QtxLogSink::All(uiCount);
    for (std::size_t i = 0; i < uiCount; ++i)
        pSinks[i]->Flush();
}

void QTXLogger::LogFatalSignal(QTXLogger &v_oLogger, const char *v_pFunc, const char *v_pText, int v_iNumber)
{
    log4cpp::Category &oCategory = v_oLogger.GetCategory();
    QtxLogSink *pSink = qtxLogRouteFor(&oCategory);
    if (!pSink || !pSink->Accepts(log4cpp::Priority::CRIT) || !oCategory.isPriorityEnabled(log4cpp::Priority::CRIT))
        return;
    char aLine[512];
    std::size_t uiSize = qtxFormatLogPrefixForSignal(aLine, sizeof aLine, "CRIT");
    auto add = [&](const char *v_pPiece) {
        const std::size_t uiPiece = std::min(std::strlen(v_pPiece), sizeof aLine - 1 - uiSize);
        std::memcpy(aLine + uiSize, v_pPiece, uiPiece);
        uiSize += uiPiece;
    };
    add(v_pFunc);
    add(" :: ");
    add(v_pText);
    char aNumber[24];
    int iDigits = 0;
    unsigned long long uiValue = v_iNumber < 0 ? 0ULL - static_cast<unsigned long long>(v_iNumber)
                                               : static_cast<unsigned long long>(v_iNumber);
    do {
        aNumber[sizeof aNumber - 1 - iDigits++] = static_cast<char>('0' + uiValue % 10);
        uiValue /= 10;
    } while (uiValue != 0);
    if (v_iNumber < 0)
        aNumber[sizeof aNumber - 1 - iDigits++] = '-';
    const std::size_t uiDigits = std::min(static_cast<std::size_t>(iDigits), sizeof aLine - 1 - uiSize);
    std::memcpy(aLine + uiSize, aNumber + sizeof aNumber - iDigits, uiDigits);
    uiSize += uiDigits;
    aLine[uiSize++] = '\n';
    pSink->WriteFromSignal(aLine, uiSize);
}

// ---------------------------------------------------------------------------

namespace {
thread_local QtxLogStamp *t_logStamp = nullptr;
}

QtxLogStamp::QtxLogStamp()
    : m_poOuter(t_logStamp)
{
    clock_gettime(CLOCK_REALTIME, &m_oNow);
    t_logStamp = this;
}

QtxLogStamp::~QtxLogStamp()
{
    t_logStamp = m_poOuter;
}

void QtxLogStamp::Refresh()
{
    if (QtxLogStamp *pStamp = t_logStamp)
        clock_gettime(CLOCK_REALTIME, &pStamp->m_oNow);
}

QtxLogLine::QtxLogLine(log4cpp::Category &v_oCategory, int v_iPriority)
    : m_oCategory(v_oCategory)
    , m_poSink(qtxLogRouteFor(&v_oCategory))
    , m_iPriority(v_iPriority)
    , m_pData(m_aInline)
    , m_ulCapacity(sizeof m_aInline)
{
    // The file's threshold first: at the default level DEBUG lines end here.
    m_bActive = (!m_poSink || m_poSink->Accepts(v_iPriority)) && v_oCategory.isPriorityEnabled(v_iPriority);
}

QtxLogLine::~QtxLogLine()
{
    if (m_pData != m_aInline)
        delete[] m_pData;
}

void QtxLogLine::Submit()
{
    m_bActive = false;
    if (!m_poSink) {
        m_oCategory.log(m_iPriority, std::string(m_pData, m_ulSize));
        return;
    }
    struct timespec oNow;
    if (const QtxLogStamp *pStamp = t_logStamp)
        oNow = pStamp->m_oNow;
    else
        clock_gettime(CLOCK_REALTIME, &oNow);
    const std::string &oThread = qtxLogThreadName();
    const std::string &oNdc = log4cpp::NDC::get();
    char aPrefix[256];
    const std::size_t uiPrefix = qtxFormatLogPrefix(aPrefix, sizeof aPrefix, oNow, oThread.data(), oThread.size(),
                                                    m_iPriority, oNdc.data(), oNdc.size());
    m_poSink->Submit(aPrefix, uiPrefix, m_pData, m_ulSize);
}

void QtxLogLine::Grow(std::size_t v_uiNeeded)
{
    std::size_t uiCapacity = m_ulCapacity * 2;
    while (uiCapacity < v_uiNeeded)
        uiCapacity *= 2;
    char *pData = new char[uiCapacity];
    std::memcpy(pData, m_pData, m_ulSize);
    if (m_pData != m_aInline)
        delete[] m_pData;
    m_pData = pData;
    m_ulCapacity = uiCapacity;
}

QtxLogLine &QtxLogLine::operator<<(const QString &v_oText)
{
    // ASCII text is copied as it is; anything else goes through UTF-8.
    const int iLength = v_oText.size();
    const QChar *pChars = v_oText.constData();
    if (m_ulSize + std::size_t(iLength) > m_ulCapacity)
        Grow(m_ulSize + std::size_t(iLength));
    for (int i = 0; i < iLength; ++i) {
        const ushort uiCode = pChars[i].unicode();
        if (uiCode >= 0x80) {
            const QByteArray oRest = QStringView(v_oText).mid(i).toUtf8();
            Append(oRest.constData(), std::size_t(oRest.size()));
            return *this;
        }
        m_pData[m_ulSize++] = static_cast<char>(uiCode);
    }
    return *this;
}

QtxLogLine &QtxLogLine::AppendSigned(long long v_iValue)
{
    char aDigits[24];
    char *pEnd = aDigits + sizeof aDigits;
    char *pBegin = pEnd;
    unsigned long long uiValue = v_iValue < 0 ? 0ULL - static_cast<unsigned long long>(v_iValue)
                                              : static_cast<unsigned long long>(v_iValue);
    do {
        *--pBegin = static_cast<char>('0' + uiValue % 10);
        uiValue /= 10;
    } while (uiValue != 0);
    if (v_iValue < 0)
        *--pBegin = '-';
    Append(pBegin, std::size_t(pEnd - pBegin));
    return *this;
}

QtxLogLine &QtxLogLine::AppendUnsigned(unsigned long long v_uiValue)
{
    char aDigits[24];
    char *pEnd = aDigits + sizeof aDigits;
    char *pBegin = pEnd;
    do {
        *--pBegin = static_cast<char>('0' + v_uiValue % 10);
        v_uiValue /= 10;
    } while (v_uiValue != 0);
    Append(pBegin, std::size_t(pEnd - pBegin));
    return *this;
}

QtxLogLine &QtxLogLine::operator<<(double v_dValue)
{
    // An ostream's default: six significant digits, %g style.
    char aText[32];
    const int iSize = std::snprintf(aText, sizeof aText, "%g", v_dValue);
    if (iSize > 0)
        Append(aText, std::min(std::size_t(iSize), sizeof aText - 1));
    return *this;
}

QtxLogLine &QtxLogLine::operator<<(const void *v_pValue)
{
    if (!v_pValue)
        return *this << '0';
    char aText[32];
    const int iSize = std::snprintf(aText, sizeof aText, "%p", v_pValue);
    if (iSize > 0)
        Append(aText, std::min(std::size_t(iSize), sizeof aText - 1));
    return *this;
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
    const bool bServerMode = g_serverModeInBanner.load();

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
    if (qtxLogSensitiveData())
        oCategory.getStream(log4cpp::Priority::WARN)
            << pFunc << " :: "
            << "LogSensitiveData=1: request bodies, cookies, results and ids are written in full; for diagnosis only";
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
