// Logging throughput: N threads x M lines through QTX_LOG into the rolling log
// file of a temporary folder, at the server's default level (root DEBUG, file
// threshold INFO). Prints ns per line (wall clock over all lines), lines/s, and
// the process CPU time per line, and the cost of a line below the file's
// threshold. Wall-clock figures depend on what else the machine runs; the CPU
// figure much less.
//
// Usage: log_throughput [threads=8] [lines per thread=30000]

#include "qtxlogger.h"
#include "qtxpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

double secondsSince(std::chrono::steady_clock::time_point v_oStart)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - v_oStart).count();
}

qint64 countLines(const QString &v_oDir, const QByteArray &v_oMarker)
{
    qint64 iCount = 0;
    for (const QString &oName : QDir(v_oDir).entryList(QDir::Files)) {
        QFile oFile(v_oDir + QLatin1Char('/') + oName);
        if (!oFile.open(QIODevice::ReadOnly))
            continue;
        while (!oFile.atEnd()) {
            if (oFile.readLine().contains(v_oMarker))
                ++iCount;
        }
    }
    return iCount;
}

// CPU time of the whole process (every thread, the writer included), in seconds.
double processCpuSeconds()
{
    struct rusage oUsage;
    getrusage(RUSAGE_SELF, &oUsage);
    return double(oUsage.ru_utime.tv_sec + oUsage.ru_stime.tv_sec)
           + double(oUsage.ru_utime.tv_usec + oUsage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir oHome;
    qputenv("XDG_CONFIG_HOME", oHome.path().toLocal8Bit());
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kQtxApplicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(kQtxOrganizationName));

    const int iThreads = argc > 1 ? std::atoi(argv[1]) : 8;
    const int iLines = argc > 2 ? std::atoi(argv[2]) : 30000;

    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::DEBUG);
    QTXLogger oLogger(QStringLiteral("bench"), true);
    const QByteArray oName = "origin";
    const QString oValue = QStringLiteral("https://example.test");

    // Lines the file takes: the shape of the request mapper's parameter lines.
    const double dCpuStart = processCpuSeconds();
    auto oStart = std::chrono::steady_clock::now();
    std::vector<std::thread> oWorkers;
    for (int t = 0; t < iThreads; ++t) {
        oWorkers.emplace_back([&, t] {
            for (int i = 0; i < iLines; ++i)
                QTX_LOG(oLogger, INFO, "CRequestMapper::service")
                    << "Param [" << oName << "=" << oValue << "] thread=" << t << " line=" << i;
        });
    }
    for (std::thread &oWorker : oWorkers)
        oWorker.join();
    const double dLogged = secondsSince(oStart);
    QTXLogger::FlushAll();
    log4cpp::Appender::closeAll();
    const double dWritten = secondsSince(oStart);
    const double dCpu = processCpuSeconds() - dCpuStart;

    // Lines below the file's threshold: formatted or not, they never reach it.
    oStart = std::chrono::steady_clock::now();
    for (int i = 0; i < iLines; ++i)
        QTX_LOG(oLogger, DEBUG, "CRequestMapper::service") << "Param [" << oName << "=" << oValue << "] line=" << i;
    const double dDebug = secondsSince(oStart);

    const qint64 iTotal = qint64(iThreads) * iLines;
    const qint64 iFound = countLines(QTXLogger::LogDirectory(), "CRequestMapper::service :: Param [origin=");
    std::printf("threads=%d lines=%lld\n", iThreads, static_cast<long long>(iTotal));
    std::printf("logged: %.1f ns/line, %.0f lines/s (calls returned)\n", dLogged * 1e9 / double(iTotal),
                double(iTotal) / dLogged);
    std::printf("written: %.1f ns/line, %.0f lines/s (all lines in the file)\n", dWritten * 1e9 / double(iTotal),
                double(iTotal) / dWritten);
    std::printf("cpu: %.1f ns/line (process CPU time, all threads, per line written)\n",
                dCpu * 1e9 / double(iTotal));
    std::printf("below threshold (DEBUG): %.1f ns/line\n", dDebug * 1e9 / double(iLines));
    std::printf("lines found in the files: %lld of %lld\n", static_cast<long long>(iFound),
                static_cast<long long>(iTotal));
    return iFound == iTotal ? 0 : 1;
}
