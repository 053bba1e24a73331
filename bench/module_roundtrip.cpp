// Module call round trip over TLS, one keep-alive connection: POST
// /KeepAlive/Ping (202), then GET_RESULT with the same command id until it
// answers 200.
//
//   module_roundtrip [calls] [logLevel]
//     starts its own server (logLevel as in the INI, default 0 = everything, the
//     shipped setting) and prints p50/p99/max of the whole round trip and of the
//     202 alone, the GET_RESULT polls per call, and the server's memory: idle
//     RSS, RSS per idle session (2,000 sessions opened), and RSS after the calls.
//     QTX_BENCH_BUILD_DIR names another build folder whose server and signed
//     modules are measured instead (for a before/after comparison).
//     Run it under the shared server lock: flock /tmp/qtx-server.lock ...
//   module_roundtrip --connect PORT CA_FILE SESSION_ID [calls]
//     measures a server that is already running, with that session.
//   module_roundtrip --floor PORT [calls]
//     sends two POST /ALIVE per call instead, to any HTTPS server on 127.0.0.1
//     (its certificate is not checked): against a server that does no work (the
//     anchor's nginx) that is the least a round trip can take with this client.
// The last two print "roundtrip_p50_ms", "roundtrip_p99_ms" and
// "roundtrip_polls" lines for bench/compare-nginx.sh.

#include "loadkit.h"
#include "serverfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <openssl/ssl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Named with the module: a client on the root account (the bench run as root)
// may only address the modules it is allowed, and the result fetch is one of them.
const QByteArray kResultPath = "/KeepAlive/GET_RESULT";

// One kept-alive TLS connection, one request at a time, on loadkit's epoll
// loop and memory BIOs: the client's own cost per request stays small next to
// the server's, which is what the round trip is meant to show.
class LeanClient
{
public:
    // v_oCaFile empty: any certificate is taken (the floor against nginx).
    LeanClient(quint16 v_uiPort, const std::string &v_oCaFile)
        : m_uiPort(v_uiPort)
    {
        if (v_oCaFile.empty()) {
            m_pCtx = SSL_CTX_new(TLS_client_method());
            if (m_pCtx)
                SSL_CTX_set_verify(m_pCtx, SSL_VERIFY_NONE, nullptr);
        } else {
            m_pCtx = loadkit::makeClientContext(v_oCaFile);
        }
    }
    ~LeanClient()
    {
        m_pClient.reset();
        SSL_CTX_free(m_pCtx);
    }
    LeanClient(const LeanClient &) = delete;
    LeanClient &operator=(const LeanClient &) = delete;

    // POST with an empty body and extra header lines ("Name: value"); status 0
    // when the connection failed or no reply came within 20 s.
    loadkit::HttpReply post(const QByteArray &v_oPath, const QList<QByteArray> &v_oHeaders = {})
    {
        loadkit::HttpReply oReply;
        if ((!m_pClient || m_pClient->isClosed()) && !connect())
            return oReply;
        std::string oRequest = "POST " + v_oPath.toStdString() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (const QByteArray &oHeader : v_oHeaders)
            oRequest.append(oHeader.constData(), size_t(oHeader.size())).append("\r\n");
        oRequest += "Content-Length: 0\r\n\r\n";
        m_pClient->sendPlain(oRequest);
        const double dDeadline = loadkit::nowMs() + 20000;
        while (!m_oParser.next(oReply)) {
            if (m_pClient->isClosed() || loadkit::nowMs() > dDeadline)
                return loadkit::HttpReply();
            m_oLoop.poll(100);
            m_oParser.feed(m_pClient->plainIn());
            m_pClient->plainIn().clear();
        }
        return oReply;
    }

private:
    bool connect()
    {
        if (!m_pCtx)
            return false;
        m_oParser = loadkit::ReplyParser();
        m_pClient = std::make_unique<loadkit::TlsClient>(m_oLoop, m_pCtx, m_uiPort);
        if (!m_pClient->start())
            return false;
        const double dDeadline = loadkit::nowMs() + 20000;
        while (!m_pClient->isOpen() && !m_pClient->isClosed() && loadkit::nowMs() < dDeadline)
            m_oLoop.poll(100);
        return m_pClient->isOpen();
    }

    quint16 m_uiPort;
    SSL_CTX *m_pCtx = nullptr;
    loadkit::Loop m_oLoop;
    std::unique_ptr<loadkit::TlsClient> m_pClient;
    loadkit::ReplyParser m_oParser;
};

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

struct Samples
{
    std::vector<double> roundTrips; // ms, whole call
    std::vector<double> accepts;    // ms, the first request alone
    long polls = 0;                 // second requests, all calls
    int calls = 0;                  // calls made, warm-up included
    int failures = 0;
};

// v_iCalls measured calls after 100 of warm-up. A call is Ping then GET_RESULT
// until 200, or with v_bFloor two POST /ALIVE answered 200.
Samples measure(LeanClient &v_oClient, const QByteArray &v_oSessionHeader, int v_iCalls, bool v_bFloor)
{
    Samples oSamples;
    QElapsedTimer oTimer;
    const QByteArray oFirstPath = v_bFloor ? QByteArray("/ALIVE") : QByteArray("/KeepAlive/Ping");
    const QByteArray oSecondPath = v_bFloor ? QByteArray("/ALIVE") : kResultPath;
    const int iFirstStatus = v_bFloor ? 200 : 202;
    for (int i = 0; i < v_iCalls + 100; ++i, ++oSamples.calls) {
        const QByteArray oCmd = "X-QTX-cmdId: " + QByteArray::number(1000000 + i);
        oTimer.start();
        const loadkit::HttpReply oStart = v_oClient.post(oFirstPath, {v_oSessionHeader, oCmd});
        const double dAccept = double(oTimer.nsecsElapsed()) / 1e6;
        if (oStart.status != iFirstStatus) {
            if (oSamples.failures++ == 0)
                std::fprintf(stderr, "%s: %d %s\n", oFirstPath.constData(), oStart.status, oStart.body.c_str());
            continue;
        }
        loadkit::HttpReply oResult;
        do {
            oResult = v_oClient.post(oSecondPath, {v_oSessionHeader, oCmd});
            ++oSamples.polls;
        } while (!v_bFloor && oResult.status == 202);
        const double dRoundTrip = double(oTimer.nsecsElapsed()) / 1e6;
        if (oResult.status != 200) {
            if (oSamples.failures++ == 0)
                std::fprintf(stderr, "%s: %d %s\n", oSecondPath.constData(), oResult.status, oResult.body.c_str());
            continue;
        }
        if (i >= 100) { // the first 100 warm up
            oSamples.roundTrips.push_back(dRoundTrip);
            oSamples.accepts.push_back(dAccept);
        }
    }
    return oSamples;
}

// --connect and --floor: a server that runs already.
int measureRunning(const QStringList &v_oArgs)
{
    const bool bFloor = v_oArgs.value(1) == QLatin1String("--floor");
    const int iMin = bFloor ? 3 : 5;
    if (v_oArgs.size() < iMin) {
        std::fprintf(stderr, "usage: module_roundtrip --connect PORT CA_FILE SESSION_ID [calls]\n"
                             "       module_roundtrip --floor PORT [calls]\n");
        return 2;
    }
    const quint16 uiPort = quint16(v_oArgs.at(2).toUInt());
    const int iCalls = std::max(10, v_oArgs.value(iMin, QStringLiteral("2000")).toInt());
    const std::string oCaFile = bFloor ? std::string() : v_oArgs.at(3).toStdString();
    const QByteArray oSession = "X-QTX-sessionId: "
                                + (bFloor ? QByteArray("{00000000-0000-0000-0000-000000000000}") : v_oArgs.at(4).toLatin1());
    LeanClient oClient(uiPort, oCaFile);
    const Samples oSamples = measure(oClient, oSession, iCalls, bFloor);
    if (oSamples.roundTrips.empty()) {
        std::fprintf(stderr, "no call succeeded\n");
        return 1;
    }
    std::printf("roundtrip_p50_ms %.3f\n", percentile(oSamples.roundTrips, 0.5));
    std::printf("roundtrip_p99_ms %.3f\n", percentile(oSamples.roundTrips, 0.99));
    std::printf("roundtrip_polls %.2f\n", double(oSamples.polls) / double(oSamples.calls));
    return oSamples.failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    const QStringList oArgs = oApp.arguments();
    if (oArgs.value(1) == QLatin1String("--connect") || oArgs.value(1) == QLatin1String("--floor"))
        return measureRunning(oArgs);
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
    LeanClient oClient(uiPort, oServer.path(QStringLiteral("certs/QTX-ca.pem")).toStdString());
    QTest::qWait(500);
    const long lIdleKb = rssKb(iPid);

    const loadkit::HttpReply oOpen = oClient.post("/OPEN_SESSION");
    if (oOpen.status != 200) {
        std::fprintf(stderr, "OPEN_SESSION: %d\n", oOpen.status);
        return 2;
    }
    const QByteArray oSession = "X-QTX-sessionId: " + QByteArray::fromStdString(oOpen.body);

    const Samples oSamples = measure(oClient, oSession, iCalls, false);
    const std::vector<double> &oRoundTrips = oSamples.roundTrips;
    const std::vector<double> &oAccepts = oSamples.accepts;
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
    std::printf("  GET_RESULT polls per call: %.2f   failures: %d\n", double(oSamples.polls) / double(oSamples.calls),
                oSamples.failures);
    std::printf("  server RSS: idle %ld KB, after the calls %ld KB\n", lIdleKb, lAfterCallsKb);
    std::printf("  idle sessions: %d opened, %.2f KB each\n", iSessions,
                double(lAfterSessionsKb - lBeforeSessionsKb) / iSessions);
    oServer.process().terminate();
    oServer.process().waitForFinished(10000);
    return oSamples.failures == 0 ? 0 : 1;
}
