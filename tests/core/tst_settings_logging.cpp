// Configuration fallbacks and warnings, the log level table, and the log file
// itself: banner, line format and which categories reach it; the file writer
// under many threads, rolling, flushing at exit and the fatal-signal line (the
// last two in child processes of this executable). One process holds one
// configuration, so the INI written at start covers present and absent keys.

#include "csettings.h"
#include "qtxlogger.h"
#include "qtxlogsink.h"
#include "qtxpaths.h"
#include "qtxthreadcheck.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/threading/Threading.hh>

#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <climits>
#include <csignal>
#include <ctime>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kIni[] = "[listener]\nwindowsServerMode=TRUE\n[logging2]\nlogLevel=20000\n"
                    "[sslCertificate]\nkeyFile=keys/k.pem\n[timeout]\ninterval=1234\n";

QStringList readLogLines()
{
    QTXLogger::FlushAll();
    QFile oFile(CSettings::Instance()->ReadLogFilePath());
    if (!oFile.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(oFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The message part of a log line (after " - ").
QString messageOf(const QString &v_oLine)
{
    const int iPos = v_oLine.indexOf(QLatin1String(" - "));
    return iPos < 0 ? QString() : v_oLine.mid(iPos + 3);
}

// "%d{%Y-%m-%d %H:%M:%S.%l} %u [%t] %p %x - " with an empty NDC, any priority.
const QRegularExpression kLinePrefix(
    QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\d+ \\[\\d+\\] [A-Z]+  - "));

// The pattern's %u (third field) is the process CPU clock at the moment of the
// line, so two formattings of one event differ there; mask it.
QByteArray maskCpuClock(const QByteArray &v_oLine)
{
    QList<QByteArray> oFields = v_oLine.split(' ');
    if (oFields.size() > 2)
        oFields[2] = "U";
    return oFields.join(' ');
}

// Collects the messages of one category, as log4cpp hands them to appenders.
class Capture : public log4cpp::AppenderSkeleton
{
public:
    explicit Capture(log4cpp::Category &v_oCategory) : log4cpp::AppenderSkeleton("tst-core-capture"), m_oCategory(v_oCategory)
    {
        m_oCategory.setPriority(log4cpp::Priority::DEBUG);
        m_oCategory.setAdditivity(false);
        m_oCategory.addAppender(*this);
    }
    ~Capture() override { m_oCategory.removeAppender(this); }
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout *v_poLayout) override { delete v_poLayout; }
    QList<std::string> messages;

protected:
    void _append(const log4cpp::LoggingEvent &v_oEvent) override { messages << v_oEvent.message; }

private:
    log4cpp::Category &m_oCategory;
};

enum class Colour { Red, Green = 7 };
enum Plain { PlainA, PlainB = 42 };

// The same values through any stream: what QTX_LOG prints must be what the
// log4cpp category stream printed.
template <typename Stream>
void putValues(Stream &v_oStream, int v_iRow)
{
    switch (v_iRow) {
    case 0: v_oStream << "int=" << -42 << " zero=" << 0 << " max=" << INT_MAX << " min=" << INT_MIN; break;
    case 1: v_oStream << "ull=" << ULLONG_MAX << " ll=" << LLONG_MIN << " ul=" << 4000000000UL; break;
    case 2: v_oStream << "bool=" << true << false; break;
    case 3: v_oStream << "double=" << 3.14159265 << ' ' << 1e20 << ' ' << 0.5 << ' ' << -0.0 << ' ' << 1.5f; break;
    case 4: v_oStream << "ptr=" << static_cast<const void *>(nullptr) << ' ' << reinterpret_cast<const void *>(0x1234abcd); break;
    case 5: v_oStream << QStringLiteral("text=Gr\u00fc\u00dfe \U0001F600 end"); break;
    case 6: v_oStream << QByteArray("bytes=\x01\xff", 8) << QByteArray(); break;
    case 7: v_oStream << "list=" << QStringList{QStringLiteral("a"), QStringLiteral("b"), QString()}; break;
    case 8: v_oStream << std::string("std=") << std::string(1000, 'x'); break;
    case 9: v_oStream << "chars=" << 'x' << static_cast<signed char>('y') << static_cast<unsigned char>('z'); break;
    case 10: v_oStream << "enum=" << PlainB << ' ' << static_cast<int>(Colour::Green); break;
    case 11: v_oStream << "qt=" << quint16(65535) << ' ' << qint64(-5) << ' ' << std::size_t(77) << ' ' << short(-3); break;
    case 12: v_oStream << QString(5000, QLatin1Char('q')) << QString(); break;
    }
}
constexpr int kValueRows = 13;

// Child processes of this executable: they log, then end one way or another,
// and the parent reads the file they left.
constexpr int kChildThreads = 4;
constexpr int kChildLines = 2000;

extern "C" void childSignalHandler(int v_iSignal)
{
    if (ServerLogger::Exists())
        QTXLogger::LogFatalSignal(ProcessUtilsLogger::Instance(), "signalHandler",
                                  "!!! APPLICATION TERMINATED !!! signal:", v_iSignal);
    std::abort();
}

int runChild(const QByteArray &v_oMode)
{
    QTXLogger::ApplyLoggingSettings(CSettings::Instance()->ReadLoggingSettings());
    ServerLogger::Instance();
    std::signal(SIGTERM, childSignalHandler);
    if (v_oMode == "signal-in-batch") {
        // The lines of an open batch of the crashing thread are written before its line.
        QtxLogBatch oBatch;
        for (int i = 0; i < 30; ++i)
            QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "Child::batched") << "i=" << i;
        ::raise(SIGTERM);
        return 3; // not reached: the handler aborts
    }
    // With a signal to come, the threads log until it ends the process.
    const bool bSignal = v_oMode.startsWith("signal");
    std::atomic<int> iLogged{0};
    std::vector<std::thread> oThreads;
    for (int t = 0; t < kChildThreads; ++t) {
        oThreads.emplace_back([&iLogged, t, bSignal] {
            for (int i = 0; i < (bSignal ? INT_MAX : kChildLines); ++i) {
                QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "Child::line") << "t=" << t << " i=" << i;
                iLogged.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    if (bSignal) {
        // Some lines are in the file for sure; the threads go on logging.
        for (int i = 0; i < 1000 && iLogged.load() < 100; ++i)
            QThread::msleep(10);
        QTXLogger::FlushAll();
        // On a thread in the middle of logging (it may hold the queue), or on
        // the main thread while the others log.
        if (v_oMode == "signal")
            pthread_kill(oThreads.front().native_handle(), SIGTERM);
        else
            ::raise(SIGTERM);
    }
    for (std::thread &oThread : oThreads)
        oThread.join();
    if (bSignal)
        return 3; // not reached: the handler aborts
    if (v_oMode == "exit")
        std::exit(0);
    if (v_oMode == "closeAll") {
        // The server closes its appenders and still logs a line afterwards.
        log4cpp::Appender::closeAll();
        QTX_LOG(ServerLogger::Instance(), NOTICE, "Child::afterClose") << "still written";
    }
    return 0;
}

} // namespace

class TestSettingsLogging : public QObject
{
    Q_OBJECT
private slots:
    void gettersAndFallbacks();
    void mapLogLevel_data();
    void mapLogLevel();
    void logFile();
    void stampedLinesShareOneReading();
    void formatMatchesPatternLayout_data();
    void formatMatchesPatternLayout();
    void signalPrefixMatches();
    void streamedValuesMatchCategoryStream_data();
    void streamedValuesMatchCategoryStream();
    void manyThreadsCompleteLines_data();
    void manyThreadsCompleteLines();
    void rollingKeepsTenBackups();
    void fullQueueDropsAndReports_data();
    void fullQueueDropsAndReports();
    void childLinesReachFile_data();
    void childLinesReachFile();
    void controlBytesCannotStartALine_data();
    void controlBytesCannotStartALine();
    void escapeCheckFindsEveryByteAnywhere();
    void idsAndSecretsFollowTheSwitch_data();
    void idsAndSecretsFollowTheSwitch();
    void wideModesAreNarrowed();
};

void TestSettingsLogging::gettersAndFallbacks()
{
    CSettings *poSettings = CSettings::Instance();
    const QString oAppDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');

    QCOMPARE(poSettings->ReadIniFilePath(), oAppDir + QStringLiteral("QuorvexCryptoProvider.ini"));
    QCOMPARE(poSettings->ReadListenerPort(), 0);
    QCOMPARE(poSettings->ReadWindowsServerMode(), true); // "TRUE" in any case counts
    QCOMPARE(poSettings->ReadLogLevel(), 20000);
    QCOMPARE(poSettings->ReadLogSensitiveData(), false);
    QCOMPARE(poSettings->ReadTimeoutInterval(), 1234);
    QCOMPARE(poSettings->ReadDllLoaderDirPaths(), QStringList{oAppDir});

    const auto oFiles = poSettings->ReadSslCertificateCertAndKeyFiles();
    QCOMPARE(oFiles.first, oAppDir + QStringLiteral("./certs/QTX-cert-server.pem"));
    QCOMPARE(oFiles.second, oAppDir + QStringLiteral("keys/k.pem"));

    QCOMPARE(poSettings->ReadLogFilePath(),
             QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))
                 + QStringLiteral("/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"));
}

void TestSettingsLogging::mapLogLevel_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("priority");
    using P = log4cpp::Priority;
    const QList<QPair<int, int>> oTable = {{0, P::DEBUG},      {-5, P::INFO},      {1, P::INFO},      {10000, P::INFO},
                                           {10001, P::NOTICE}, {20000, P::NOTICE}, {20001, P::WARN},  {30001, P::ERROR},
                                           {40000, P::ERROR},  {40001, P::CRIT},   {50000, P::CRIT},  {50001, P::FATAL}};
    for (const auto &oRow : oTable)
        QTest::newRow(qPrintable(QString::number(oRow.first))) << oRow.first << oRow.second;
}

void TestSettingsLogging::mapLogLevel()
{
    QFETCH(int, value);
    QFETCH(int, priority);
    QCOMPARE(QTXLogger::MapLogLevel(value), priority);
}

void TestSettingsLogging::logFile()
{
    // A logger that exists before the server logger must end up in its file.
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "Test::early") << "before the file exists";

    QTXLogger::ApplyLoggingSettings(CSettings::Instance()->ReadLoggingSettings());
    QVERIFY(!ServerLogger::Exists());
    ServerLogger::Instance();
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "Test::moduleTools") << "after";

    const QStringList oLines = readLogLines();
    QVERIFY2(oLines.size() >= 8, qPrintable(oLines.join(QLatin1Char('\n'))));
    const QStringList oBanner = {"#######################################",
                                 "Starting Quorvex Crypto Provider Server ver. " + qtxBuiltInVersion(),
                                 "WindowsServerMode=true", "LogLevel=NOTICE", "MaxFileSize=5242880", "MaxBackupIndex=10",
                                 "ImmediateFlush=0"};
    for (int i = 0; i < oBanner.size(); ++i)
        QCOMPARE(messageOf(oLines.at(i)), QStringLiteral("ServerLogger::ServerLogger :: ") + oBanner.at(i));
    QVERIFY(qtxBuiltInVersion().contains(QRegularExpression(QStringLiteral("^3\\.0\\.16\\.[0-9a-f]{40}$"))));

    QVERIFY2(kLinePrefix.match(oLines.first()).hasMatch() && oLines.first().contains(QLatin1String("] NOTICE  - ")),
             qPrintable(oLines.first()));
    QCOMPARE(messageOf(oLines.at(7)), QStringLiteral("Test::moduleTools :: after"));
    QVERIFY(!oLines.join(QLatin1Char('\n')).contains(QLatin1String("before the file exists")));

    // Which categories reach the file; the warning for an absent key now lands there too.
    QTX_LOG(FileVersionLogger::Instance(), ERROR, "Test::fileVersion") << "never in the server file";
    QTX_LOG(ProcessUtilsLogger::Instance(), WARN, "Test::processUtils") << "in the file";
    QTX_LOG(QTXLogger::Instance(), INFO, "Test::qtx") << "below the NOTICE level";
    QCOMPARE(CSettings::Instance()->ReadListenerPort(), 0);

    QStringList oMessages;
    for (const QString &oLine : readLogLines())
        oMessages << messageOf(oLine);
    QVERIFY(!oMessages.contains(QStringLiteral("Test::fileVersion :: never in the server file")));
    QVERIFY(oMessages.contains(QStringLiteral("Test::processUtils :: in the file")));
    QVERIFY(!oMessages.contains(QStringLiteral("Test::qtx :: below the NOTICE level")));
    QVERIFY(oMessages.contains(
        QStringLiteral("CSettings::ReadVariant :: Value for key: port in group: listener is null")));
}

void TestSettingsLogging::stampedLinesShareOneReading()
{
    // Under a stamp every line carries its reading, however late it comes; an
    // inner stamp gives the outer one back, Refresh() reads the clock again, and
    // with no stamp each line reads it.
    QVERIFY(ServerLogger::Exists());
    auto line = [](const char *v_pText) { QTX_LOG(ProcessUtilsLogger::Instance(), WARN, "Test::stamp") << v_pText; };
    {
        QtxLogStamp oStamp;
        line("first");
        QThread::msleep(30);
        line("second");
        {
            QtxLogStamp oInner;
            line("inner");
        }
        line("outer again");
        QtxLogStamp::Refresh();
        line("refreshed");
        QThread::msleep(30);
    }
    line("no stamp");

    QHash<QString, QDateTime> oTimes;
    for (const QString &oLine : readLogLines()) {
        const QString oMessage = messageOf(oLine);
        if (oMessage.startsWith(QLatin1String("Test::stamp :: ")))
            oTimes.insert(oMessage.mid(15), QDateTime::fromString(oLine.left(23), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")));
    }
    QCOMPARE(oTimes.size(), 6);
    auto after = [&](const char *v_pEarlier, const char *v_pLater) {
        return oTimes.value(QLatin1String(v_pEarlier)).msecsTo(oTimes.value(QLatin1String(v_pLater)));
    };
    QCOMPARE(after("first", "second"), 0);
    QVERIFY(after("first", "inner") >= 25);
    QCOMPARE(after("first", "outer again"), 0);
    QVERIFY(after("first", "refreshed") >= 25);
    QVERIFY(after("refreshed", "no stamp") >= 25);
}

void TestSettingsLogging::formatMatchesPatternLayout_data()
{
    QTest::addColumn<int>("priority");
    QTest::addColumn<QByteArray>("ndc");
    using P = log4cpp::Priority;
    for (const int iPriority : {P::FATAL, P::CRIT, P::ERROR, P::WARN, P::NOTICE, P::INFO, P::DEBUG})
        QTest::newRow(P::getPriorityName(iPriority).c_str()) << iPriority << QByteArray();
    QTest::newRow("with NDC") << int(P::INFO) << QByteArray("ctx");
}

void TestSettingsLogging::formatMatchesPatternLayout()
{
    QFETCH(int, priority);
    QFETCH(QByteArray, ndc);

    // log4cpp's own layout with the server's pattern is the reference for the
    // prefix; the message is only appended to it.
    const QByteArray oMessage = "X::y :: a message";
    log4cpp::PatternLayout oLayout;
    oLayout.setConversionPattern(kQtxLogPattern);
    const log4cpp::LoggingEvent oEvent("tst", oMessage.toStdString(), ndc.toStdString(), priority);
    const QByteArray oExpected = QByteArray::fromStdString(oLayout.format(oEvent));

    char aPrefix[512];
    struct timespec oTime;
    oTime.tv_sec = oEvent.timeStamp.getSeconds();
    oTime.tv_nsec = long(oEvent.timeStamp.getMicroSeconds()) * 1000;
    const std::size_t uiSize = qtxFormatLogPrefix(aPrefix, sizeof aPrefix, oTime, oEvent.threadName.data(),
                                                  oEvent.threadName.size(), priority, ndc.constData(),
                                                  std::size_t(ndc.size()));
    const QByteArray oActual = QByteArray(aPrefix, int(uiSize)) + oMessage + '\n';
    QCOMPARE(maskCpuClock(oActual), maskCpuClock(oExpected));

    // QTX_LOG's thread text is log4cpp's; %u is the process CPU clock in clock()'s unit.
    QCOMPARE(qtxLogThreadName(), log4cpp::threading::getThreadId());
    const long long iCpu = oActual.split(' ').at(2).toLongLong();
    const long long iClock = static_cast<long long>(std::clock());
    QVERIFY2(iCpu > 0 && iCpu <= iClock && iClock - iCpu < 1000000, qPrintable(QString::number(iClock - iCpu)));
}

void TestSettingsLogging::signalPrefixMatches()
{
    // The fatal-signal path formats without the per-thread cache; only the
    // milliseconds and %u may differ from the ordinary prefix (retried when a
    // second boundary falls between the two).
    for (int iTry = 0; iTry < 5; ++iTry) {
        char aSignal[256];
        const std::size_t uiSignal = qtxFormatLogPrefixForSignal(aSignal, sizeof aSignal, "CRIT");
        char aNormal[256];
        struct timespec oNow;
        clock_gettime(CLOCK_REALTIME, &oNow);
        const std::string &oThread = qtxLogThreadName();
        const std::size_t uiNormal = qtxFormatLogPrefix(aNormal, sizeof aNormal, oNow, oThread.data(), oThread.size(),
                                                        log4cpp::Priority::CRIT, "", 0);
        auto mask = [](QByteArray v_oPrefix) {
            v_oPrefix = maskCpuClock(v_oPrefix);
            return v_oPrefix.left(20) + "mmm" + v_oPrefix.mid(23);
        };
        const QByteArray oSignal = mask(QByteArray(aSignal, int(uiSignal)));
        const QByteArray oNormal = mask(QByteArray(aNormal, int(uiNormal)));
        if (oSignal.left(19) != oNormal.left(19) && iTry < 4)
            continue;
        QCOMPARE(oSignal, oNormal);
        QVERIFY(kLinePrefix.match(QString::fromLatin1(aSignal, int(uiSignal))).hasMatch());
        return;
    }
}

void TestSettingsLogging::streamedValuesMatchCategoryStream_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < kValueRows; ++i)
        QTest::newRow(qPrintable(QString::number(i))) << i;
}

void TestSettingsLogging::streamedValuesMatchCategoryStream()
{
    QFETCH(int, row);
    QTXLogger oLogger(QStringLiteral("tst.values"), false);
    Capture oCapture(oLogger.GetCategory());
    {
        log4cpp::CategoryStream oStream = oLogger.GetCategory().getStream(log4cpp::Priority::NOTICE);
        oStream << "Test::values" << " :: ";
        putValues(oStream, row);
    }
    QtxLogLine oLine(oLogger.GetCategory(), log4cpp::Priority::NOTICE);
    oLine << "Test::values" << " :: ";
    putValues(oLine, row);
    oLine.Submit();

    QCOMPARE(oCapture.messages.size(), 2);
    QCOMPARE(QByteArray::fromStdString(oCapture.messages.at(1)), QByteArray::fromStdString(oCapture.messages.at(0)));

    // Below the category's level nothing after the macro is evaluated.
    oLogger.GetCategory().setPriority(log4cpp::Priority::WARN);
    int iEvaluated = 0;
    QTX_LOG(oLogger, NOTICE, "Test::values") << ++iEvaluated;
    QCOMPARE(iEvaluated, 0);
    QCOMPARE(oCapture.messages.size(), 2);
}

void TestSettingsLogging::manyThreadsCompleteLines_data()
{
    QTest::addColumn<int>("batchLines"); // 0: every line queued alone
    QTest::newRow("line by line") << 0;
    // Batches of a few lines, and batches long enough to be queued part by
    // part (over QtxLogBatch::kBatchBytes), with a nested batch inside.
    QTest::newRow("batched, short turns") << 7;
    QTest::newRow("batched, long turns") << 400;
}

void TestSettingsLogging::manyThreadsCompleteLines()
{
    QFETCH(int, batchLines);
    // Loggers with files of their own: the same writer as the server's file.
    // Every tenth line also goes to a second file; in a batch it is queued alone.
    const QString oName = QStringLiteral("tst.many%1").arg(batchLines);
    QTXLogger oLogger(oName, true);
    QTXLogger oOther(oName + QStringLiteral("x"), true);
    constexpr int kThreads = 8;
    constexpr int kLines = 3000;
    std::vector<std::thread> oThreads;
    for (int t = 0; t < kThreads; ++t) {
        oThreads.emplace_back([&, t] {
            auto logRange = [&](int v_iFrom, int v_iTo) {
                for (int i = v_iFrom; i < v_iTo; ++i) {
                    QTX_LOG(oLogger, NOTICE, "Test::many") << "t=" << t << " i=" << i << ' ' << QByteArray(i % 97, 'p');
                    if (i % 10 == 0)
                        QTX_LOG(oOther, NOTICE, "Test::many") << "t=" << t << " i=" << i << ' ';
                }
            };
            if (batchLines == 0) {
                logRange(0, kLines);
                return;
            }
            for (int i = 0; i < kLines; i += batchLines) {
                const int iEnd = std::min(kLines, i + batchLines);
                QtxLogBatch oBatch;
                logRange(i, (i + iEnd) / 2);
                {
                    QtxLogBatch oNested;
                    logRange((i + iEnd) / 2, iEnd);
                }
            }
        });
    }
    for (std::thread &oThread : oThreads)
        oThread.join();
    QTXLogger::FlushAll();

    auto check = [&](const QString &v_oFile, int v_iStep) {
        QFile oFile(QTXLogger::LogDirectory() + QLatin1Char('/') + v_oFile + QStringLiteral(".log"));
        QVERIFY(oFile.open(QIODevice::ReadOnly));
        const QList<QByteArray> oLines = oFile.readAll().split('\n');
        QCOMPARE(oLines.size(), kThreads * kLines / v_iStep + 1);
        QVERIFY(oLines.last().isEmpty());
        std::vector<int> oNext(kThreads, 0);
        const QRegularExpression oShape(QStringLiteral("^Test::many :: t=(\\d+) i=(\\d+) (p*)$"));
        for (int n = 0; n < oLines.size() - 1; ++n) {
            const QString oLine = QString::fromLatin1(oLines.at(n));
            QVERIFY2(kLinePrefix.match(oLine).hasMatch(), qPrintable(oLine));
            const QRegularExpressionMatch oMatch = oShape.match(messageOf(oLine));
            QVERIFY2(oMatch.hasMatch(), qPrintable(oLine));
            const int t = oMatch.captured(1).toInt();
            const int i = oMatch.captured(2).toInt();
            QVERIFY(t >= 0 && t < kThreads);
            // Each thread's lines arrive whole, once, in the order it logged them.
            QCOMPARE(i, oNext[std::size_t(t)]);
            QCOMPARE(oMatch.captured(3).size(), v_iStep == 1 ? i % 97 : 0);
            oNext[std::size_t(t)] += v_iStep;
        }
    };
    check(oName, 1);
    if (QTest::currentTestFailed())
        return;
    check(oName + QStringLiteral("x"), 10);
}

void TestSettingsLogging::rollingKeepsTenBackups()
{
    // No umask narrows the mode here: the files are created 0600 by themselves.
    const mode_t uiOldMask = ::umask(0);
    QTXLogger oLogger(QStringLiteral("tst.roll"), true);
    // Numbered lines of about 1 KiB, enough for twelve files.
    const QByteArray oPad(1000, 'r');
    const int iLines = int(12 * kQtxLogMaxFileSize / 1000);
    for (int i = 0; i < iLines; ++i)
        QTX_LOG(oLogger, NOTICE, "Test::roll") << "n=" << i << ' ' << oPad;
    QTXLogger::FlushAll();
    ::umask(uiOldMask);

    QStringList oFiles = QDir(QTXLogger::LogDirectory()).entryList({QStringLiteral("tst.roll.log*")}, QDir::Files, QDir::Name);
    QStringList oExpected{QStringLiteral("tst.roll.log")};
    for (int i = 1; i <= 10; ++i)
        oExpected << QStringLiteral("tst.roll.log.%1").arg(i, 2, 10, QLatin1Char('0'));
    QCOMPARE(oFiles, oExpected);

    // Newest first: the current file, then .01 ... .10; each backup ended with
    // the line that took it to the limit, and the numbers run on without a gap.
    int iNext = iLines;
    for (const QString &oName : oExpected) {
        QFile oFile(QTXLogger::LogDirectory() + QLatin1Char('/') + oName);
        QVERIFY(oFile.open(QIODevice::ReadOnly));
        struct stat oStat;
        QCOMPARE(::stat(QFile::encodeName(oFile.fileName()).constData(), &oStat), 0);
        QCOMPARE(int(oStat.st_mode & 0777), 0600);
        const QList<QByteArray> oLines = oFile.readAll().split('\n');
        if (oName != oExpected.first()) {
            QVERIFY(std::size_t(oFile.size()) >= kQtxLogMaxFileSize);
            QVERIFY(std::size_t(oFile.size()) - std::size_t(oLines.at(oLines.size() - 2).size() + 1) < kQtxLogMaxFileSize);
        }
        for (int n = oLines.size() - 2; n >= 0; --n) {
            const QString oMessage = messageOf(QString::fromLatin1(oLines.at(n)));
            QCOMPARE(oMessage.section(QLatin1Char(' '), 2, 2), QStringLiteral("n=%1").arg(--iNext));
        }
    }
    QVERIFY(iNext > 0); // the oldest lines are gone with the eleventh file
}

void TestSettingsLogging::fullQueueDropsAndReports_data()
{
    QTest::addColumn<bool>("ioThread");
    QTest::newRow("a caller that may wait") << false;
    QTest::newRow("an I/O thread, which never waits") << true;
}

void TestSettingsLogging::fullQueueDropsAndReports()
{
    // The "file" is a pipe that nobody reads yet: the writer blocks in write(),
    // the queue fills up, and lines are dropped once it stays full (at once on
    // an I/O thread, after the wait elsewhere).
    QFETCH(bool, ioThread);
    QTemporaryDir oDir;
    const QByteArray oFifo = QFile::encodeName(oDir.path() + QStringLiteral("/stuck.log"));
    QCOMPARE(::mkfifo(oFifo.constData(), 0600), 0);
    const int iReader = ::open(oFifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(iReader >= 0);
    auto *poSink = new QtxLogSink(oFifo.toStdString(), std::size_t(1) << 40, 10, 0600); // lives for the process

    const QByteArray oPrefix = "2026-01-01 00:00:00.000 0 [1] NOTICE  - ";
    const QByteArray oPad(1000, 'd');
    int iAccepted = 0;
    int iDropped = 0;
    std::size_t uiAcceptedBytes = 0;
    QElapsedTimer oFilling;
    oFilling.start();
    std::thread([&] {
        if (ioThread)
            qtxthread::markIoThread();
        for (int i = 0; i < 10000 && iDropped < 5; ++i) {
            const QByteArray oMessage = "Test::full :: n=" + QByteArray::number(i) + ' ' + oPad;
            if (poSink->Submit(oPrefix.constData(), std::size_t(oPrefix.size()), oMessage.constData(), std::size_t(oMessage.size()))) {
                ++iAccepted;
                uiAcceptedBytes += std::size_t(oPrefix.size() + oMessage.size() + 1);
            }
            else
                ++iDropped;
        }
    }).join();
    QCOMPARE(iDropped, 5);
    QCOMPARE(oFilling.elapsed() >= QtxLogSink::kFullWaitMs, !ioThread);
    QCOMPARE(poSink->DroppedTotal(), std::uint64_t(5));
    // Nothing was dropped before the queue held its bound (an I/O thread's
    // drops may come before the writer took its first batch).
    QVERIFY(uiAcceptedBytes + 1100 > QtxLogSink::kQueueLimit);

    // Reading the pipe unblocks the writer; the accepted lines arrive whole and
    // in order, and the first batch after the drops starts with the notice.
    QByteArray oData;
    int iNotices = 0;
    QElapsedTimer oTimer;
    oTimer.start();
    while (oData.count('\n') < iAccepted + 1 && oTimer.elapsed() < 30000) {
        char aBuffer[65536];
        const ssize_t iRead = ::read(iReader, aBuffer, sizeof aBuffer);
        if (iRead > 0)
            oData.append(aBuffer, int(iRead));
        else
            QThread::msleep(5);
    }
    poSink->Retire();
    ::close(iReader);
    const QList<QByteArray> oLines = oData.split('\n');
    QCOMPARE(oLines.size(), iAccepted + 2);
    int iNext = 0;
    for (int n = 0; n < oLines.size() - 1; ++n) {
        const QByteArray &oLine = oLines.at(n);
        if (oLine.contains(" WARN  - QtxLogSink::Run :: Log queue was full, lines dropped=")) {
            QVERIFY(oLine.endsWith("dropped=5"));
            QVERIFY2(kLinePrefix.match(QString::fromLatin1(oLine)).hasMatch(), oLine.constData());
            ++iNotices;
            continue;
        }
        QVERIFY2(oLine.startsWith(oPrefix + "Test::full :: n=" + QByteArray::number(iNext) + ' '), oLine.left(80).constData());
        QCOMPARE(oLine.size(), oPrefix.size() + 16 + QByteArray::number(iNext).size() + 1 + oPad.size());
        ++iNext;
    }
    QCOMPARE(iNotices, 1);
    QCOMPARE(iNext, iAccepted);
}

void TestSettingsLogging::childLinesReachFile_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("return from main") << QStringLiteral("return");
    QTest::newRow("exit()") << QStringLiteral("exit");
    QTest::newRow("line after closeAll") << QStringLiteral("closeAll");
    // Several rounds: the signal lands at a different point of the logging each time.
    for (int i = 0; i < 6; ++i)
        QTest::addRow("signal on a logging thread %d", i) << QStringLiteral("signal");
    QTest::newRow("signal on the main thread") << QStringLiteral("signal-main");
    QTest::newRow("signal in a batch of log lines") << QStringLiteral("signal-in-batch");
}

void TestSettingsLogging::childLinesReachFile()
{
    // This executable as a child with a config folder of its own: it logs, then
    // ends as the mode says, and the file it left is read here.
    QFETCH(QString, mode);
    const bool bSignal = mode.startsWith(QLatin1String("signal"));
    QTemporaryDir oHome;
    QProcess oChild;
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), oHome.path());
    oChild.setProcessEnvironment(oEnv);
    oChild.setProcessChannelMode(QProcess::ForwardedChannels);
    oChild.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--log-child"), mode});
    // A fatal-signal handler that waits for a lock held by the interrupted thread never ends.
    QVERIFY2(oChild.waitForFinished(60000), "the child hangs");
    QCOMPARE(oChild.exitStatus(), bSignal ? QProcess::CrashExit : QProcess::NormalExit);
    if (!bSignal)
        QCOMPARE(oChild.exitCode(), 0);

    QFile oFile(oHome.path() + QStringLiteral("/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"));
    QVERIFY(oFile.open(QIODevice::ReadOnly));
    QList<QByteArray> oLines = oFile.readAll().split('\n');
    if (oLines.last().isEmpty())
        oLines.removeLast();
    int iCrit = 0;
    int iChildLines = 0;
    for (const QByteArray &oLine : oLines) {
        QVERIFY2(kLinePrefix.match(QString::fromLatin1(oLine)).hasMatch(), oLine.constData());
        iCrit += oLine.endsWith(" CRIT  - signalHandler :: !!! APPLICATION TERMINATED !!! signal:15") ? 1 : 0;
        iChildLines += oLine.contains(" - Child::line :: t=") ? 1 : 0;
    }
    QCOMPARE(iCrit, bSignal ? 1 : 0);
    if (!bSignal) {
        QCOMPARE(iChildLines, kChildThreads * kChildLines);
        if (mode == QLatin1String("closeAll"))
            QVERIFY(oLines.last().endsWith(" - Child::afterClose :: still written"));
    } else if (mode == QLatin1String("signal-in-batch")) {
        // All 30, in order, then the signal's line, which ends the file.
        QVERIFY(oLines.size() > 31 && oLines.last().contains(" CRIT  - signalHandler :: "));
        const int iFirst = oLines.size() - 31;
        for (int i = 0; i < 30; ++i)
            QVERIFY2(oLines.at(iFirst + i).endsWith(" - Child::batched :: i=" + QByteArray::number(i)),
                     oLines.at(iFirst + i).constData());
        QVERIFY(!oLines.at(iFirst - 1).contains("Child::batched"));
    } else {
        QVERIFY(iChildLines >= 100);
    }
}

void TestSettingsLogging::controlBytesCannotStartALine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("shown");
    const QByteArray oForged = "2026-01-01 00:00:00.000 0 [1] CRIT  - forged";
    QTest::newRow("LF") << "a\n" + oForged << "a\\n" + oForged;
    QTest::newRow("CR LF") << "a\r\n" + oForged << "a\\r\\n" + oForged;
    QTest::newRow("CR alone") << "a\r" + oForged << "a\\r" + oForged;
    QTest::newRow("TAB, VT, FF") << QByteArray("a\tb\vc\fd") << QByteArray("a\\tb\\x0bc\\x0cd");
    QTest::newRow("NUL, ESC, DEL") << QByteArray("a\0b\x1b[2Jc\x7f", 9) << QByteArray("a\\x00b\\x1b[2Jc\\x7f");
    QTest::newRow("backslash") << QByteArray("a\\nb\\") << QByteArray("a\\\\nb\\\\");
    QTest::newRow("NEL, C1 in UTF-8") << QByteArray("a\xc2\x85" "b\xc2\x9b") << QByteArray("a\\xc2\\x85b\\xc2\\x9b");
    QTest::newRow("U+2028, U+2029") << QByteArray("a\xe2\x80\xa8" "b\xe2\x80\xa9") << QByteArray("a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9");
    QTest::newRow("raw CSI 0x9b") << QByteArray("a\x9b" "2Jb") << QByteArray("a\\x9b" "2Jb");
    QTest::newRow("bidi RLO, RLI, LRM") << QByteArray("a\xe2\x80\xae" "b\xe2\x81\xa7" "c\xe2\x80\x8e")
                                        << QByteArray("a\\xe2\\x80\\xaeb\\xe2\\x81\\xa7c\\xe2\\x80\\x8e");
    QTest::newRow("UTF-8 text, stray bytes") << QByteArray("G\xc3\xbc \xff") << QByteArray("G\\xc3\\xbc \\xff");
    QTest::newRow("plain") << QByteArray("plain text = [ok]") << QByteArray("plain text = [ok]");
}

void TestSettingsLogging::controlBytesCannotStartALine()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, shown);
    // Both ways into the file: QTX_LOG straight to the queue, and a log4cpp
    // category stream through the appender.
    QTXLogger oLogger(QStringLiteral("tst.escape"), true);
    const QByteArray oTag = QByteArray(QTest::currentDataTag()).toHex();
    QTX_LOG(oLogger, NOTICE, "Test::escape") << "direct " << oTag << ' ' << text;
    oLogger.GetCategory().getStream(log4cpp::Priority::NOTICE)
        << "Test::escape :: stream " << oTag.toStdString() << ' ' << text.toStdString();
    QTXLogger::FlushAll();

    QFile oFile(QTXLogger::LogDirectory() + QStringLiteral("/tst.escape.log"));
    QVERIFY(oFile.open(QIODevice::ReadOnly));
    QList<QByteArray> oMessages;
    for (const QByteArray &oLine : oFile.readAll().split('\n')) {
        // Every line of the file is a whole line of its own.
        QVERIFY2(oLine.isEmpty() || kLinePrefix.match(QString::fromLatin1(oLine)).hasMatch(), oLine.constData());
        const QByteArray oMessage = oLine.mid(oLine.indexOf(" - ") + 3);
        if (oMessage.contains(oTag))
            oMessages << oMessage;
    }
    QCOMPARE(oMessages, (QList<QByteArray>{"Test::escape :: direct " + oTag + ' ' + shown,
                                           "Test::escape :: stream " + oTag + ' ' + shown}));
}

void TestSettingsLogging::escapeCheckFindsEveryByteAnywhere()
{
    // The check reads sixteen or eight bytes at a time: every byte value, at
    // every position of a block, of the overlapping last block and of a short
    // text, in plain text.
    for (int iSize = 1; iSize <= 40; ++iSize) {
        for (int iPos = 0; iPos < iSize; ++iPos) {
            for (int iByte = 0; iByte < 256; ++iByte) {
                QByteArray oText(iSize, 'a');
                oText[iPos] = char(iByte);
                const bool bSpecial = iByte < 0x20 || iByte >= 0x7f || iByte == '\\';
                if (qtxLogNeedsEscape(oText.constData(), std::size_t(oText.size())) != bSpecial)
                    QFAIL(qPrintable(QStringLiteral("size %1, position %2, byte %3").arg(iSize).arg(iPos).arg(iByte)));
            }
        }
    }
}

void TestSettingsLogging::idsAndSecretsFollowTheSwitch_data()
{
    QTest::addColumn<bool>("sensitive");
    QTest::newRow("off") << false;
    QTest::newRow("on") << true;
}

void TestSettingsLogging::idsAndSecretsFollowTheSwitch()
{
    QFETCH(bool, sensitive);
    const bool bBefore = qtxLogSensitiveData();
    qtxSetLogSensitiveData(sensitive);
    const QByteArray oSession = "{0f8fad5b-d9cb-469f-a165-70867728950e}";
    const QByteArray oCommand = "1234567890123";
    const QByteArray oBody = "data=to-be-signed&pin=1234";
    const std::string oId = qtxLogId(oSession);
    const std::string oIdAgain = qtxLogId(QString::fromLatin1(oSession));
    const std::string oOtherId = qtxLogId(oCommand);
    const std::string oSecret = qtxLogSecret(oBody);
    const std::string oUtf8 = qtxLogSecret(QStringLiteral("\u00e4\u20ac"));
    const std::string oCookie = qtxLogHeaderValue("Cookie", "other.site=token");
    const std::string oOrigin = qtxLogHeaderValue("Origin", "https://shop.example");
    const std::string oSessionHeader = qtxLogHeaderValue("X-QTX-sessionId", oSession);
    qtxSetLogSensitiveData(bBefore);

    if (sensitive) {
        QCOMPARE(oId, oSession.toStdString());
        QCOMPARE(oOtherId, oCommand.toStdString());
        QCOMPARE(oSecret, oBody.toStdString());
        QCOMPARE(oCookie, std::string("other.site=token"));
    } else {
        // The lines of one id share one short hash; the id itself is not there.
        QVERIFY2(QRegularExpression(QStringLiteral("^#[0-9a-f]{8}$")).match(QString::fromStdString(oId)).hasMatch(),
                 oId.c_str());
        QCOMPARE(oIdAgain, oId);
        QCOMPARE(oSessionHeader, oId);
        QVERIFY(oOtherId != oId && oOtherId.size() == 9);
        QCOMPARE(oSecret, std::string("<26 bytes>"));
        QCOMPARE(oUtf8, std::string("<5 bytes>"));
        QCOMPARE(oCookie, std::string("<16 bytes>"));
    }
    QCOMPARE(qtxLogId(QByteArray()), std::string());
    QCOMPARE(oOrigin, std::string("https://shop.example"));

    // The keyed hash is SipHash-2-4: the reference vectors (key 00..0f,
    // message 00 01 .. of 0, 1, 7, 8 and 15 bytes) cover the empty input, a
    // tail alone, a whole word and a word with a tail.
    unsigned char aKey[16];
    char aMessage[16];
    for (int i = 0; i < 16; ++i) {
        aKey[i] = static_cast<unsigned char>(i);
        aMessage[i] = static_cast<char>(i);
    }
    const std::pair<std::size_t, std::uint64_t> aVectors[] = {{0, 0x726fdb47dd0e0e31ULL},
                                                              {1, 0x74f839c593dc67fdULL},
                                                              {7, 0xab0200f58b01d137ULL},
                                                              {8, 0x93f5f5799a932462ULL},
                                                              {15, 0xa129ca6149be45e5ULL}};
    for (const auto &oVector : aVectors)
        QCOMPARE(qtxSipHash24(aKey, aMessage, oVector.first), oVector.second);
}

void TestSettingsLogging::wideModesAreNarrowed()
{
    // What an older version left: folder 0755, file and a backup 0644.
    const mode_t uiOldMask = ::umask(0);
    const QByteArray oDir = QFile::encodeName(QTXLogger::LogDirectory());
    const QByteArray oFile = oDir + "/tst.modes.log";
    const QByteArray oBackup = oFile + ".03";
    QCOMPARE(::chmod(oDir.constData(), 0755), 0);
    for (const QByteArray &oName : {oFile, oBackup}) {
        const int iFd = ::open(oName.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(iFd >= 0);
        ::close(iFd);
    }
    {
        QTXLogger oLogger(QStringLiteral("tst.modes"), true);
        QTX_LOG(oLogger, NOTICE, "Test::modes") << "written";
        QTXLogger::FlushAll();
    }
    ::umask(uiOldMask);
    const QList<QPair<QByteArray, int>> oExpected = {{oDir, 0700}, {oFile, 0600}, {oBackup, 0600}};
    for (const auto &oEntry : oExpected) {
        struct stat oStat;
        QCOMPARE(::stat(oEntry.first.constData(), &oStat), 0);
        QCOMPARE(int(oStat.st_mode & 0777), oEntry.second);
    }
}

int main(int argc, char **argv)
{
    const bool bChild = argc > 2 && qstrcmp(argv[1], "--log-child") == 0;
    QTemporaryDir oConfigHome;
    if (!bChild)
        qputenv("XDG_CONFIG_HOME", oConfigHome.path().toLocal8Bit());
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kQtxApplicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(kQtxOrganizationName));
    if (bChild)
        return runChild(argv[2]);

    QFile oIni(QCoreApplication::applicationDirPath() + QStringLiteral("/QuorvexCryptoProvider.ini"));
    if (!oIni.open(QIODevice::WriteOnly | QIODevice::Truncate) || oIni.write(kIni) < 0)
        qFatal("cannot write the test INI file");
    oIni.close();

    TestSettingsLogging oTest;
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_settings_logging.moc"
