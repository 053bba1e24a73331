// Module call round trip against the real server over TLS, one keep-alive
// connection: POST /KeepAlive/Ping (202), then GET_RESULT with the same command
// id until it answers 200. Prints p50/p99/max of the whole round trip and of the
// 202 alone, the GET_RESULT polls per call, and the server's memory: idle RSS,
// RSS per idle session (2,000 sessions opened), and RSS after the calls.
// Run it under the shared server lock:
//   flock /tmp/qtx-server.lock build/bench/module_roundtrip [calls] [logLevel]
// (logLevel as in the INI, default 0 = everything, the shipped setting).
// QTX_BENCH_BUILD_DIR names another build folder whose server and signed modules
// are measured instead (for a before/after comparison).

#include "httpsclient.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Named with the module: a client on the root account (the bench run as root)
// may only address the modules it is allowed, and the result fetch is one of them.
const QByteArray kResultPath = "/KeepAlive/GET_RESULT";

bool copyFolder(const QString &v_oFrom, const QString &v_oTo)
{
    QDir().mkpath(v_oTo);
    const QFileInfoList oEntries = QDir(v_oFrom).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &oEntry : oEntries) {
        const QString oTarget = v_oTo + QLatin1Char('/') + oEntry.fileName();
        if (oEntry.isDir()) {
            if (oEntry.fileName() != QLatin1String("CMakeFiles") && !copyFolder(oEntry.filePath(), oTarget))
                return false;
        } else if (oEntry.suffix() == QLatin1String("so") || oEntry.suffix() == QLatin1String("xml")
                   || oEntry.fileName().contains(QLatin1String(".so."))) {
            if (!QFile::copy(oEntry.filePath(), oTarget))
                return false;
        }
    }
    return true;
}

long rssKb(qint64 v_iPid)
{
    QFile oFile(QStringLiteral("/proc/%1/status").arg(v_iPid));
    if (!oFile.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &oLine : oFile.readAll().split('\n'))
        if (oLine.startsWith("VmRSS:"))
            return oLine.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

double percentile(std::vector<double> v_oValues, double v_dFraction)
{
    if (v_oValues.empty())
        return 0;
    std::sort(v_oValues.begin(), v_oValues.end());
    const size_t uiIndex = std::min(v_oValues.size() - 1, size_t(v_dFraction * double(v_oValues.size())));
    return v_oValues[uiIndex];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    const int iCalls = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    const QByteArray oLogLevel = argc > 2 ? QByteArray(argv[2]) : QByteArray("0");

    ServerFixture oServer;
    QTcpServer oProbe;
    if (!oProbe.listen(QHostAddress::LocalHost, 0))
        return 2;
    const int iBase = oProbe.serverPort() - (ServerFixture::isRoot() ? 0 : 1);
    oProbe.close();
    const QString oBuild = qEnvironmentVariableIsSet("QTX_BENCH_BUILD_DIR")
                               ? qEnvironmentVariable("QTX_BENCH_BUILD_DIR")
                               : QStringLiteral(QTX_BINARY_DIR);
    if (!oServer.installBinary(oBuild + QStringLiteral("/bin/QuorvexCryptoProvider"))
        || !copyFolder(oBuild + QStringLiteral("/modules"), oServer.path(QStringLiteral("modules")))
        || !oServer.writeIni("[listener]\nport=" + QByteArray::number(iBase)
                             + "\nreadTimeout=30000\n[logging2]\nlogLevel=" + oLogLevel
                             + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\n"
                               "keyFile=certs/QTX-key-server.pem\n[dllLoader]\ndirPath=modules\n"
                               "[timeout]\ninterval=600000\n")
        || !oServer.provision()) {
        std::fprintf(stderr, "could not prepare the server folder\n");
        return 2;
    }
    oServer.start();
    const quint16 uiPort = quint16(ServerFixture::isRoot() ? iBase : iBase + 1);
    if (!oServer.waitListening(uiPort)) {
        std::fprintf(stderr, "server did not start\n");
        return 2;
    }
    const qint64 iPid = oServer.process().processId();
    const QList<QSslCertificate> oCa = QSslCertificate::fromPath(oServer.path(QStringLiteral("certs/QTX-ca.pem")));
    HttpsClient oClient(uiPort, oCa);
    QTest::qWait(500);
    const long lIdleKb = rssKb(iPid);

    const HttpReply oOpen = oClient.post("/OPEN_SESSION");
    if (oOpen.status != 200) {
        std::fprintf(stderr, "OPEN_SESSION: %d\n", oOpen.status);
        return 2;
    }
    const QByteArray oSession = "X-QTX-sessionId: " + oOpen.body;

    std::vector<double> oRoundTrips;
    std::vector<double> oAccepts;
    long lPolls = 0;
    int iFailures = 0;
    QElapsedTimer oTimer;
    for (int i = 0; i < iCalls + 100; ++i) {
        const QByteArray oCmd = "X-QTX-cmdId: " + QByteArray::number(1000000 + i);
        oTimer.start();
        const HttpReply oStart = oClient.post("/KeepAlive/Ping", QByteArray(), {oSession, oCmd});
        const double dAccept = double(oTimer.nsecsElapsed()) / 1e6;
        if (oStart.status != 202) {
            if (iFailures++ == 0)
                std::fprintf(stderr, "Ping: %d %s\n", oStart.status, oStart.body.constData());
            continue;
        }
        HttpReply oResult;
        do {
            oResult = oClient.post(kResultPath, QByteArray(), {oSession, oCmd});
            ++lPolls;
        } while (oResult.status == 202);
        const double dRoundTrip = double(oTimer.nsecsElapsed()) / 1e6;
        if (oResult.status != 200) {
            if (iFailures++ == 0)
                std::fprintf(stderr, "GET_RESULT: %d %s\n", oResult.status, oResult.body.constData());
            continue;
        }
        if (i >= 100) { // the first 100 warm up
            oRoundTrips.push_back(dRoundTrip);
            oAccepts.push_back(dAccept);
        }
    }
    const long lAfterCallsKb = rssKb(iPid);

    // Idle sessions: opened and left alone.
    const int iSessions = 2000;
    const long lBeforeSessionsKb = rssKb(iPid);
    for (int i = 0; i < iSessions; ++i)
        oClient.post("/OPEN_SESSION");
    QTest::qWait(300);
    const long lAfterSessionsKb = rssKb(iPid);

    std::printf("module round trip, %zu calls on one connection (log level %s)\n", oRoundTrips.size(),
                oLogLevel.constData());
    std::printf("  Ping 202 + GET_RESULT 200: p50 %.3f ms  p99 %.3f ms  max %.3f ms\n", percentile(oRoundTrips, 0.5),
                percentile(oRoundTrips, 0.99), percentile(oRoundTrips, 1.0));
    std::printf("  Ping 202 alone:            p50 %.3f ms  p99 %.3f ms\n", percentile(oAccepts, 0.5),
                percentile(oAccepts, 0.99));
    std::printf("  GET_RESULT polls per call: %.2f   failures: %d\n", double(lPolls) / double(iCalls + 100),
                iFailures);
    std::printf("  server RSS: idle %ld KB, after the calls %ld KB\n", lIdleKb, lAfterCallsKb);
    std::printf("  idle sessions: %d opened, %.2f KB each\n", iSessions,
                double(lAfterSessionsKb - lBeforeSessionsKb) / iSessions);
    oServer.process().terminate();
    oServer.process().waitForFinished(10000);
    return iFailures == 0 ? 0 : 1;
}
