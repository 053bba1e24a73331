#include "signerbench.h"

#include "filesupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace signerbench {

const QString kSoftHsm = QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
const QString kPin = QStringLiteral("1234");

double median(std::vector<double> v_oTimes)
{
    std::sort(v_oTimes.begin(), v_oTimes.end());
    return v_oTimes[v_oTimes.size() / 2];
}

QByteArray loadAverage()
{
    return readFile(QStringLiteral("/proc/loadavg")).split(' ').mid(0, 3).join(' ');
}

int benchMain(int argc, char *argv[], const std::vector<int> &v_oDefaults,
              const std::function<int(const std::vector<int> &)> &v_oBench)
{
    const int iRerun = ServerFixture::rerunAsAccount(argc, argv, "qtxsigner");
    if (iRerun >= 0)
        return iRerun == 0 ? 1 : iRerun;
    QCoreApplication oApp(argc, argv);
    std::vector<int> oCounts = v_oDefaults;
    for (size_t i = 0; i < oCounts.size() && int(i) + 1 < argc; ++i)
        oCounts[i] = std::max(1, atoi(argv[i + 1]));
    return v_oBench(oCounts);
}

SignerBench::SignerBench(const char *v_pName) : m_pName(v_pName), m_env(QProcessEnvironment::systemEnvironment())
{
    QDir().mkpath(dir() + QStringLiteral("/tokens"));
    writeFile(dir() + QStringLiteral("/softhsm2.conf"),
              "directories.tokendir = " + QFile::encodeName(dir()) + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
    m_env.insert(QStringLiteral("SOFTHSM2_CONF"), dir() + QStringLiteral("/softhsm2.conf"));
}

SignerBench::~SignerBench()
{
    if (m_server.process().state() != QProcess::NotRunning) {
        m_server.process().terminate();
        m_server.process().waitForFinished(10000);
    }
}

bool SignerBench::run(QStringList v_oWords) const
{
    const QString oLine = v_oWords.join(QLatin1Char(' '));
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    oProcess.setProcessEnvironment(m_env);
    oProcess.start(v_oWords.takeFirst(), v_oWords);
    const bool bOk = oProcess.waitForFinished(60000) && oProcess.exitStatus() == QProcess::NormalExit
                     && oProcess.exitCode() == 0;
    if (!bOk)
        std::fprintf(stderr, "%s: %s: %s\n", m_pName, qPrintable(oLine), oProcess.readAll().constData());
    return bOk;
}

bool SignerBench::initToken(const QString &v_oLabel)
{
    return run(words("softhsm2-util --init-token --free --label %1 --so-pin 12345678 --pin %2", {v_oLabel, kPin}));
}

bool SignerBench::importKey(const QString &v_oLabel, const QString &v_oBase, const QString &v_oId)
{
    const QStringList oArgs = {v_oBase, v_oLabel, v_oId, kPin, kSoftHsm};
    for (const char *pStep : {"openssl x509 -in %1.pem -outform DER -out %1.der",
                              "openssl pkcs8 -topk8 -nocrypt -in %1.key -out %1.p8",
                              "softhsm2-util --import %1.p8 --token %2 --label %3 --id %3 --pin %4",
                              "pkcs11-tool --module %5 --token-label %2 --login --pin %4 --write-object %1.der --type cert --id %3"}) {
        if (!run(words(pStep, oArgs)))
            return false;
    }
    return true;
}

bool SignerBench::selfSignedSigner(const QString &v_oLabel, const QString &v_oNewKey)
{
    const QString oBase = dir() + QStringLiteral("/signer");
    QStringList oReq = words("openssl req -x509 -newkey %1 -nodes -keyout %2.key -out %2.pem -subj /CN=Bench-Signer -days 2 "
                             "-addext keyUsage=critical,digitalSignature,nonRepudiation",
                             {v_oNewKey, oBase});
    if (v_oNewKey == QLatin1String("ec"))
        oReq << QStringLiteral("-pkeyopt") << QStringLiteral("ec_paramgen_curve:P-256");
    return run(oReq) && importKey(v_oLabel, oBase, QStringLiteral("01"));
}

bool SignerBench::startServer(const QByteArray &v_oSigning, bool v_bPdfHelper)
{
    // Root's instance listens on the base port, the others' on the next.
    const int iBase = ServerFixture::freeBase(2);
    m_uiPort = quint16(ServerFixture::isRoot() ? iBase : iBase + 1);
    m_hook = dir() + QStringLiteral("/hook");
    QDir().mkpath(m_hook);
    QFile::setPermissions(m_hook, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const bool bOk = iBase > 0
                     && m_server.installSigner("[listener]\nport=" + QByteArray::number(iBase)
                                         + "\n[sslCertificate]\ncertFile=certs/QTX-cert-server.pem\nkeyFile=certs/QTX-key-server.pem\n"
                                           "[dllLoader]\ndirPath=modules\n[timeout]\ninterval=600000\n[signing]\npkcs11Module="
                                         + kSoftHsm.toUtf8() + "\nconfirmDelayMs=300\n" + v_oSigning,
                                         v_bPdfHelper);
    if (!bOk) {
        std::fprintf(stderr, "%s: setting up the server failed\n", m_pName);
        return false;
    }
    m_server.setEnvironmentValue(QStringLiteral("SOFTHSM2_CONF"), m_env.value(QStringLiteral("SOFTHSM2_CONF")));
    m_server.setEnvironmentValue(QStringLiteral("QTX_SIGNER_TEST_DIR"), m_hook);
    m_server.start({});
    if (!m_server.waitListening(m_uiPort)) {
        std::fprintf(stderr, "%s: the server did not start; its log: %s\n", m_pName, qPrintable(m_server.logFilePath()));
        return false;
    }
    m_ca = m_server.authority();
    return true;
}

HttpReply SignerBench::post(const QByteArray &v_oPath, const QByteArray &v_oBody, const QList<QByteArray> &v_oHeaders) const
{
    return client().post(v_oPath, v_oBody, v_oHeaders);
}

namespace {

// QTest::qWaitFor sleeps 10 ms between looks, a tenth of what the PDF rows
// measure; the hook's files are looked at every millisecond instead.
template <typename Predicate>
bool pollFor(Predicate v_oDone, int v_iTimeoutMs)
{
    QElapsedTimer oClock;
    oClock.start();
    while (!v_oDone()) {
        if (oClock.elapsed() > v_iTimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(1000);
    }
    return true;
}

} // namespace

QByteArray SignerBench::waitForDialog(const QByteArray &v_oKind, int v_iTimeoutMs) const
{
    QByteArray oText;
    const QString oShown = m_hook + QStringLiteral("/dialog.txt");
    if (!pollFor([&] { return (oText = readFile(oShown)).startsWith("dialog=" + v_oKind + '\n'); }, v_iTimeoutMs))
        return QByteArray();
    return oText;
}

bool SignerBench::answer(const QByteArray &v_oAnswer, int v_iTimeoutMs) const
{
    writeFile(m_hook + QStringLiteral("/answer.new"), v_oAnswer);
    QFile::rename(m_hook + QStringLiteral("/answer.new"), m_hook + QStringLiteral("/answer"));
    const QString oShown = m_hook + QStringLiteral("/dialog.txt");
    return pollFor([&] { return !QFile::exists(oShown); }, v_iTimeoutMs);
}

HttpReply SignerBench::result(const QByteArray &v_oSession, const QByteArray &v_oCmdId) const
{
    // A TLS handshake per poll would be the bench's cost, not the server's.
    BenchClient &oClient = client();
    HttpReply oReply;
    while ((oReply = oClient.post("/GET_RESULT", {}, {"X-QTX-sessionId: " + v_oSession, "X-QTX-cmdId: " + v_oCmdId})).status
           == 202)
        QTest::qWait(2);
    return oReply;
}

bool SignerBench::command(const QByteArray &v_oSession, const QByteArray &v_oRequest, const QByteArray &v_oKind,
                          const QByteArray &v_oAnswer, QByteArray *v_poBody, double *v_pdMs)
{
    const QByteArray oCmdId = QByteArray::number(++m_iCmdId);
    // The id goes into the head only: a search through a 10 MB body and its
    // copy would be the bench's time, not the server's.
    const int iHeadEnd = v_oRequest.indexOf("\r\n\r\n");
    const QByteArray oHead = v_oRequest.left(iHeadEnd).replace("CMDID", oCmdId);
    const QByteArray oRest = QByteArray::fromRawData(v_oRequest.constData() + iHeadEnd, v_oRequest.size() - iHeadEnd);
    if (client().exchange(oHead, 60000, oRest).status != 202 || waitForDialog(v_oKind).isEmpty())
        return false;
    QElapsedTimer oTimer;
    oTimer.start();
    if (!answer(v_oAnswer))
        return false;
    const HttpReply oReply = result(v_oSession, oCmdId);
    if (v_pdMs)
        *v_pdMs = oTimer.nsecsElapsed() / 1e6;
    *v_poBody = oReply.body;
    return oReply.status == 200 && !oReply.body.startsWith("500|");
}

BenchClient &SignerBench::client() const
{
    if (!m_poClient)
        m_poClient = std::make_unique<BenchClient>(m_uiPort, m_ca);
    return *m_poClient;
}

QByteArray SignerBench::head(const QByteArray &v_oPath, const QByteArray &v_oSession, const QByteArray &v_oType,
                             qint64 v_iLength)
{
    return "POST " + v_oPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://shop.example\r\nX-QTX-sessionId: " + v_oSession
           + "\r\nX-QTX-cmdId: CMDID\r\nContent-Type: " + v_oType + "\r\nContent-Length: " + QByteArray::number(v_iLength)
           + "\r\n\r\n";
}

QByteArray SignerBench::pickSigningCertificate(const QByteArray &v_oSession)
{
    QByteArray oBody;
    if (!command(v_oSession, head("/Signer/SelectCertificate", v_oSession, "application/x-www-form-urlencoded", 12) + "purpose=sign",
                 "picker", "pick:0:remember", &oBody)) {
        std::fprintf(stderr, "%s: no certificate picked: %s\n", m_pName, oBody.constData());
        return QByteArray();
    }
    return oBody.mid(oBody.indexOf("\"id\":\"") + 6, 40);
}

bool SignerBench::toolSign(const QString &v_oLabel, const QString &v_oId, const QString &v_oMechanism,
                           const QString &v_oInput) const
{
    return run(words("pkcs11-tool --module %1 --token-label %2 --login --pin %3 --sign --id %4 -m %5 --input-file %6 "
                     "--output-file %6.sig",
                     {kSoftHsm, v_oLabel, kPin, v_oId, v_oMechanism, v_oInput}));
}

} // namespace signerbench
