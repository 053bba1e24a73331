#pragma once

// Logger singletons over log4cpp categories. At start every logger but
// FileVersionLogger is pointed at the server category, which owns the one
// rolling log file, so all subsystems write into the same file.
//
// Usage: QTX_LOG(ServerLogger::Instance(), NOTICE, "CStartup::Start") << "text";
// The line is complete at the end of the statement; a writer thread puts it in the file.

#include "qtxlogprivacy.h"

#include <log4cpp/Category.hh>
#include <log4cpp/CategoryStream.hh>
#include <log4cpp/Priority.hh>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include <time.h>

namespace log4cpp { class Appender; }
class QtxLogSink;

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

    log4cpp::Category &GetCategory() const { return *m_poCategory.load(std::memory_order_acquire); }
    void SetCategory(const QString &v_oName);
    void ConfigureAppender();

    // What the configuration says about logging, read once at start.
    struct Settings
    {
        int level = 0;              // the INI's logLevel, see MapLogLevel
        bool sensitiveData = false; // logSensitiveData: ids and secrets in full
        bool serverMode = false;    // named in the server log's banner
    };
    // The level applied to the root priority and to every existing appender;
    // the diagnostic switch kept for qtxLogId and qtxLogSecret; the rest kept
    // for the server log's banner. Called before the server logger is made.
    static void ApplyLoggingSettings(const Settings &v_oSettings);
    static int MapLogLevel(int v_iValue);
    // Writes every line queued so far to the file before it returns (bounded wait).
    // Not for signal handlers: they use LogFatalSignal.
    static void FlushAll();
    // The fatal-signal path: writes the queued lines when no other thread holds the
    // queue, then the CRIT line "<func> :: <text><number>" of that logger's
    // category straight to the log file.
    // Takes no lock it could wait on and allocates nothing.
    static void LogFatalSignal(QTXLogger &v_oLogger, const char *v_pFunc, const char *v_pText, int v_iNumber);
    // The folder the log file lives in: the per-user data folder followed by "logs".
    static QString LogDirectory();
    // Set before the log file is configured (the -console run): when standard
    // error is a terminal, each log file also shows its lines there, the same
    // bytes as in the file. Not onto a pipe, a file or the journal, so that a
    // service's journal does not get a second copy of the account's private log.
    static void SetCopyToTerminal(bool v_bCopy);

    QString CategoryName() const { return m_oCategoryName; }

protected:
    QString m_oCategoryName;
    bool m_bConfigureNow;
    log4cpp::Appender *m_poAppender = nullptr;
    std::atomic<log4cpp::Category *> m_poCategory;
    QString m_oLogDir;
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

// Log text helpers for code that writes through log4cpp's own streams:
// log4cpp streams know std::string, not Qt's types.
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

// While an object of this class lives on a thread, the lines that thread writes
// with QTX_LOG carry one reading of the clock instead of a reading each: an I/O
// thread serving a request writes about 25 lines within microseconds, and the
// prefix shows milliseconds. Open one only around work that does not wait, and
// call Refresh() where a new piece of work (the next request) starts.
class QtxLogStamp
{
public:
    QtxLogStamp();
    ~QtxLogStamp();
    QtxLogStamp(const QtxLogStamp &) = delete;
    QtxLogStamp &operator=(const QtxLogStamp &) = delete;

    // Reads the clock again for the thread's innermost stamp, if it has one.
    static void Refresh();

private:
    friend class QtxLogLine;
    struct timespec m_oNow;
    QtxLogStamp *m_poOuter;
};

// One log line under construction. The level is checked once, before any text
// is formatted; the text is collected in a buffer on the caller's stack and
// handed over when the statement ends: straight to the file's writer queue for
// the category that owns the log file, through log4cpp for any other category.
class QtxLogLine
{
public:
    QtxLogLine(log4cpp::Category &v_oCategory, int v_iPriority);
    ~QtxLogLine();
    QtxLogLine(const QtxLogLine &) = delete;
    QtxLogLine &operator=(const QtxLogLine &) = delete;

    bool Active() const { return m_bActive; }
    // Hands the line over; the statement's loop ends with it.
    void Submit();

    // Inline, so that a literal's length is known when compiling.
    QtxLogLine &operator<<(const char *v_pText)
    {
        if (v_pText) // an ostream prints nothing for a null C string
            Append(v_pText, std::strlen(v_pText));
        return *this;
    }
    QtxLogLine &operator<<(char *v_pText) { return *this << static_cast<const char *>(v_pText); }
    QtxLogLine &operator<<(const std::string &v_oText) { Append(v_oText.data(), v_oText.size()); return *this; }
    QtxLogLine &operator<<(std::string_view v_oText) { Append(v_oText.data(), v_oText.size()); return *this; }
    QtxLogLine &operator<<(const QByteArray &v_oText) { Append(v_oText.constData(), std::size_t(v_oText.size())); return *this; }
    QtxLogLine &operator<<(const QString &v_oText);
    QtxLogLine &operator<<(const QStringList &v_oList) { return *this << v_oList.join(QLatin1Char(',')); }
    QtxLogLine &operator<<(QLatin1String v_oText) { Append(v_oText.data(), std::size_t(v_oText.size())); return *this; }
    QtxLogLine &operator<<(char v_cChar) { Append(&v_cChar, 1); return *this; }
    QtxLogLine &operator<<(signed char v_cChar) { return *this << static_cast<char>(v_cChar); }
    QtxLogLine &operator<<(unsigned char v_cChar) { return *this << static_cast<char>(v_cChar); }
    QtxLogLine &operator<<(bool v_bValue) { return *this << (v_bValue ? '1' : '0'); }
    QtxLogLine &operator<<(short v_iValue) { return AppendSigned(v_iValue); }
    QtxLogLine &operator<<(int v_iValue) { return AppendSigned(v_iValue); }
    QtxLogLine &operator<<(long v_iValue) { return AppendSigned(v_iValue); }
    QtxLogLine &operator<<(long long v_iValue) { return AppendSigned(v_iValue); }
    QtxLogLine &operator<<(unsigned short v_uiValue) { return AppendUnsigned(v_uiValue); }
    QtxLogLine &operator<<(unsigned int v_uiValue) { return AppendUnsigned(v_uiValue); }
    QtxLogLine &operator<<(unsigned long v_uiValue) { return AppendUnsigned(v_uiValue); }
    QtxLogLine &operator<<(unsigned long long v_uiValue) { return AppendUnsigned(v_uiValue); }
    QtxLogLine &operator<<(double v_dValue);
    QtxLogLine &operator<<(float v_fValue) { return *this << static_cast<double>(v_fValue); }
    QtxLogLine &operator<<(const void *v_pValue);

    // Anything else an std::ostream can print, printed as it would.
    template <typename T>
    auto operator<<(const T &v_oValue) -> decltype(std::declval<std::ostream &>() << v_oValue, std::declval<QtxLogLine &>())
    {
        std::ostringstream oStream;
        oStream << v_oValue;
        return *this << oStream.str();
    }

private:
    void Append(const char *v_pData, std::size_t v_uiSize)
    {
        if (m_ulSize + v_uiSize > m_ulCapacity)
            Grow(m_ulSize + v_uiSize);
        if (v_uiSize != 0)
            std::memcpy(m_pData + m_ulSize, v_pData, v_uiSize);
        m_ulSize += v_uiSize;
    }
    void Grow(std::size_t v_uiNeeded);
    QtxLogLine &AppendSigned(long long v_iValue);
    QtxLogLine &AppendUnsigned(unsigned long long v_uiValue);

    log4cpp::Category &m_oCategory;
    QtxLogSink *m_poSink = nullptr; // set when the line goes straight to the file's queue
    int m_iPriority;
    bool m_bActive;
    char *m_pData;
    std::size_t m_ulSize = 0;
    std::size_t m_ulCapacity;
    char m_aInline[1024]; // a request's or reply's header line fits
};

// The headers of a request or reply for a log line, written straight into it:
// "[name=value]" each, the value as qtxLogHeaderValue shows it.
template <typename Map>
struct QtxLoggedHeaders
{
    const Map &headers;
};
template <typename Map>
QtxLoggedHeaders<Map> qtxLogHeaders(const Map &v_oHeaders)
{
    return QtxLoggedHeaders<Map>{v_oHeaders};
}
template <typename Map>
QtxLogLine &operator<<(QtxLogLine &v_oLine, const QtxLoggedHeaders<Map> &v_oList)
{
    for (auto it = v_oList.headers.constBegin(); it != v_oList.headers.constEnd(); ++it) {
        v_oLine << '[' << it.key() << '=';
        switch (qtxLogHeaderShown(it.key())) {
        case QtxHeaderShown::Plain:
            v_oLine << it.value(); // no copy for the common case
            break;
        case QtxHeaderShown::Id:
            v_oLine << qtxLogId(it.value());
            break;
        case QtxHeaderShown::Secret:
            v_oLine << qtxLogSecret(it.value());
            break;
        }
        v_oLine << ']';
    }
    return v_oLine;
}

// QTX_LOG(logger, PRIO, func) << ...: one line at that priority. The text after
// the macro is evaluated only when the level lets the line through.
#define QTX_LOG(logger, prio, func)                                                                 \
    for (QtxLogLine qtxLogLine_((logger).GetCategory(), log4cpp::Priority::prio); qtxLogLine_.Active(); \
         qtxLogLine_.Submit())                                                                      \
    qtxLogLine_ << (func) << " :: "
