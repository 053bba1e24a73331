#pragma once

// Logger singletons over log4cpp categories. At start every logger but
// FileVersionLogger is pointed at the server category, which owns the one
// rolling log file, so all subsystems write into the same file.
//
// Usage: QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start") << "text";
// The stream is flushed (and the line written) at the end of the full expression.

#include <log4cpp/Category.hh>
#include <log4cpp/CategoryStream.hh>
#include <log4cpp/Priority.hh>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <string>

namespace log4cpp { class Appender; }

// The on-disk limits of the log file; fixed, not configurable.
constexpr std::size_t kQtxLogMaxFileSize = 5242880;
constexpr unsigned int kQtxLogMaxBackupIndex = 10;
extern const char *const kQtxLogPattern;

class QTXLoggerInterface
{
public:
    virtual ~QTXLoggerInterface() = default;
};

class QTXLogger : public QTXLoggerInterface
{
public:
    QTXLogger(const QString &v_oCategoryName, bool v_bConfigureNow);
    ~QTXLogger() override;
    QTXLogger(const QTXLogger &) = delete;
    QTXLogger &operator=(const QTXLogger &) = delete;

    // The plain "qtx" logger.
    static QTXLogger &Instance();

    log4cpp::Category &GetCategory() const { return *m_category.load(std::memory_order_acquire); }
    void SetCategory(const QString &v_oName);
    void ConfigureAppender();

    // Level of the INI file applied to the root priority and to every existing appender.
    static void ApplyLoggingSettings();
    static int MapLogLevel(int v_iValue);
    // Flushes the pending stream of every category; called from the fatal-signal handler.
    static void FlushAll();
    // The folder the log file lives in: the per-user data folder followed by "logs".
    static QString LogDirectory();

    QString CategoryName() const { return m_categoryName; }

protected:
    QString m_categoryName;
    bool m_configureNow;
    log4cpp::Appender *m_appender = nullptr;
    std::atomic<log4cpp::Category *> m_category;
    QString m_logDir;
};

// Owns the log file. Created during start, after the log level was applied;
// its construction points the other loggers at its category and writes the banner.
class ServerLogger : public QTXLogger
{
public:
    // While the server logger is being created on this thread, lines logged
    // through it are dropped instead of waiting for the creation to finish.
    static QTXLogger &Instance();
    static bool Exists();
    ~ServerLogger() override;

private:
    ServerLogger();
};

#define QTX_DECLARE_LOGGER(Name)                                                 \
    class Name : public QTXLogger                                                \
    {                                                                            \
    public:                                                                      \
        static Name &Instance();                                                 \
                                                                                 \
    private:                                                                     \
        Name();                                                                  \
    };

QTX_DECLARE_LOGGER(ModuleToolsLogger)
QTX_DECLARE_LOGGER(ProcessUtilsLogger)
QTX_DECLARE_LOGGER(SwitchOffDebuggingLogger)
QTX_DECLARE_LOGGER(FileVersionLogger)

// Log text helpers: log4cpp streams know std::string, not Qt's types.
inline log4cpp::CategoryStream &operator<<(log4cpp::CategoryStream &v_oStream, const QString &v_oText)
{
    return v_oStream << v_oText.toStdString();
}
inline log4cpp::CategoryStream &operator<<(log4cpp::CategoryStream &v_oStream, const QByteArray &v_oText)
{
    return v_oStream << v_oText.toStdString();
}
inline log4cpp::CategoryStream &operator<<(log4cpp::CategoryStream &v_oStream, const QStringList &v_oList)
{
    return v_oStream << v_oList.join(QLatin1Char(',')).toStdString();
}

#define QTX_LOG(logger, prio, func)                                              \
    (logger).GetCategory().getStream(log4cpp::Priority::prio) << (func) << " :: "
