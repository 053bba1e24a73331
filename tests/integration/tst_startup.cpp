// The real server process: exit without its INI file, the start banner, a
// clean quit, the log on the terminal of a -console run, the fatal-signal
// path, detaching, and the single-instance check.

#include "integrationsupport.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QRegularExpression>

#include <cstdlib>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

namespace {

const QByteArray kIni = "[listener]\nport=0\n[sessions]\n[dllLoader]\ndirPath=modules\n";
const QString kBannerFunc = QStringLiteral("ServerLogger::ServerLogger :: ");

QString ownAccount()
{
    struct passwd *poEntry = ::getpwuid(::geteuid());
    return QHostInfo::localHostName() + QLatin1Char('/') + QString::fromLocal8Bit(poEntry ? poEntry->pw_name : "");
}

// Session id (field 6) of /proc/<pid>/stat.
qint64 sessionOf(qint64 v_iPid)
{
    QFile oFile(QStringLiteral("/proc/%1/stat").arg(v_iPid));
    if (!oFile.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray oStat = oFile.readAll();
    const QList<QByteArray> oFields = oStat.mid(oStat.lastIndexOf(')') + 2).split(' ');
    return oFields.size() > 3 ? oFields.at(3).toLongLong() : -1;
}

// The first v_iCount complete lines of the text, carriage returns dropped (a
// terminal sends "\r\n"); fewer when it has fewer.
QList<QByteArray> firstLines(QByteArray v_oText, int v_iCount)
{
    v_oText.replace('\r', QByteArray());
    QList<QByteArray> oLines = v_oText.split('\n');
    oLines.removeLast();  // the part after the last line end
    return oLines.mid(0, v_iCount);
}

// What the terminal's other end shows until v_oDone holds for it or the time is
// up. Before the server opens the terminal, and after it closed it, reads fail.
QByteArray readTerminal(int v_iMaster, const std::function<bool(const QByteArray &)> &v_oDone, int v_iTimeoutMs)
{
    QByteArray oShown;
    QElapsedTimer oTimer;
    oTimer.start();
    while (!v_oDone(oShown) && oTimer.elapsed() < v_iTimeoutMs) {
        struct pollfd oPoll = {v_iMaster, POLLIN, 0};
        char aBuffer[4096];
        const ssize_t iRead = ::poll(&oPoll, 1, 100) > 0 ? ::read(v_iMaster, aBuffer, sizeof aBuffer) : 0;
        if (iRead > 0)
            oShown.append(aBuffer, static_cast<int>(iRead));
        else
            ::usleep(10000);
    }
    return oShown;
}

// Runs "/bin/sh -c <script> <arguments>" in the server's folder, with the
// environment ServerFixture::start gives the server (log under the folder, offscreen).
void startShell(QProcess &v_oShell, const ServerFixture &v_oServer, const QString &v_oScript,
                const QStringList &v_oArguments = {})
{
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), v_oServer.path(QStringLiteral("config")));
    oEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    oEnv.remove(QStringLiteral("QTX_KEY_DIR"));
    v_oShell.setProcessEnvironment(oEnv);
    v_oShell.setWorkingDirectory(v_oServer.path());
    v_oShell.start(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), v_oScript} + v_oArguments);
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void missingIniExitsWithZero();
    void bannerThenCleanQuit_data();
    void bannerThenCleanQuit();
    void consoleLogOnTerminal_data();
    void consoleLogOnTerminal();
    void fatalSignalLogsAndAborts_data();
    void fatalSignalLogsAndAborts();
    void secondInstanceIsRefused_data();
    void secondInstanceIsRefused();
    void simultaneousStartsLeaveOneServer_data();
    void simultaneousStartsLeaveOneServer();
};

void TestStartup::initTestCase()
{
    QVERIFY2(QFile::exists(ServerFixture::serverBinary()), qPrintable(ServerFixture::serverBinary()));
}

void TestStartup::missingIniExitsWithZero()
{
    ServerFixture oServer;
    QVERIFY(oServer.installBinary(ServerFixture::serverBinary()));
    oServer.start();
    QCOMPARE(tst::exitCodeOf(oServer.process()), 0);
    // It ended before any logger had a file.
    QVERIFY(!QFile::exists(oServer.logFilePath()));
}

void TestStartup::bannerThenCleanQuit_data()
{
    QTest::addColumn<bool>("console");
    QTest::addColumn<bool>("deadDisplay");
    QTest::newRow("-console") << true << false;
    // Without -console it runs in a session of its own, away from the test's terminal.
    QTest::newRow("detached") << false << false;
    // A display that is named but answers nobody: Qt's xcb platform would abort
    // (exit code 134, no log line); the server warns and runs offscreen.
    QTest::newRow("display unreachable") << false << true;
}

void TestStartup::bannerThenCleanQuit()
{
    QFETCH(bool, console);
    QFETCH(bool, deadDisplay);
    ServerFixture oServer;
    QVERIFY(oServer.install(kIni));
    int iDisplay = 87;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(iDisplay)))
        ++iDisplay;
    if (deadDisplay) {
        oServer.setEnvironmentValue(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(iDisplay));
        oServer.setEnvironmentValue(QStringLiteral("QT_QPA_PLATFORM"), QString());
    }
    oServer.start(console ? QStringList{QStringLiteral("-console")} : QStringList());
    QVERIFY(oServer.process().waitForStarted());
    const qint64 iPid = oServer.process().processId();
    QTRY_VERIFY_WITH_TIMEOUT(oServer.logHas(QStringLiteral(":: Listening on port ")) || oServer.process().state() != QProcess::Running,
                             20000);

    const QStringList oLines = oServer.logMessages().mid(0, 7);
    const QStringList oBanner{"#######################################", "Starting Quorvex Crypto Provider Server ver. 3.0.16.",
                              "WindowsServerMode=false", "LogLevel=DEBUG", "MaxFileSize=5242880", "MaxBackupIndex=10",
                              "ImmediateFlush=0"};
    for (int i = 0; i < oBanner.size(); ++i)  // the version goes on with the commit
        QVERIFY2(i == 1 ? oLines.value(i).startsWith(kBannerFunc + oBanner.at(i)) : oLines.value(i) == kBannerFunc + oBanner.at(i),
                 qPrintable(tst::logDump(oServer)));
    if (!console)
        QTRY_COMPARE_WITH_TIMEOUT(sessionOf(iPid), iPid, 5000);
    if (deadDisplay)
        QVERIFY2(oServer.logHas(QStringLiteral("CStartup::CStartup :: Display \":%1\" (X11) cannot be reached").arg(iDisplay)),
                 qPrintable(tst::logDump(oServer)));
    // Ctrl-C quits through the event loop: Stop() runs and the process exits normally.
    QVERIFY(tst::quitsOnCtrlC(oServer.process()));
    QVERIFY(oServer.logContains(QStringLiteral("CStartup::Stop :: CStartup: Listener has been stopped")));
}

void TestStartup::consoleLogOnTerminal_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<bool>("console");
    QTest::newRow("stderr a terminal: the log lines shown there") << true << true;
    QTest::newRow("stderr a file: the log lines only in the log file") << false << true;
    QTest::newRow("detached from a terminal: where it listens, what to trust") << true << false;
}

void TestStartup::consoleLogOnTerminal()
{
    QFETCH(bool, terminal);
    QFETCH(bool, console);
    // The terminal's other end; closed after the server ended.
    int iMaster = -1;
    const auto oClose = qScopeGuard([&iMaster] { if (iMaster >= 0) ::close(iMaster); });
    ServerFixture oServer;
    QVERIFY(oServer.install(kIni));
    QString oStderr = oServer.path(QStringLiteral("stderr.txt"));
    if (terminal) {
        iMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(iMaster >= 0);
        QVERIFY(::grantpt(iMaster) == 0 && ::unlockpt(iMaster) == 0);
        oStderr = QString::fromLocal8Bit(::ptsname(iMaster));
    }

    // The shell opens the server's standard error (as a login shell's terminal would be).
    QProcess &oShell = oServer.process();
    oShell.setProcessChannelMode(QProcess::SeparateChannels);
    if (!console) {
        // Started by hand and about to detach: before it leaves the terminal it
        // says where it listens and which authority a client has to trust.
        QVERIFY(oServer.provision());
        startShell(oShell, oServer, QStringLiteral("exec \"$1\" 2>\"$0\""), {oStderr, oServer.executable()});
        QVERIFY(oShell.waitForStarted());
        const QByteArray oShown = readTerminal(iMaster, [](const QByteArray &v_oShown) { return v_oShown.contains("Stop:"); }, 15000);
        QVERIFY2(QRegularExpression(QStringLiteral("listens on https://127\\.0\\.0\\.1:\\d+/\r?\n"))
                     .match(QString::fromLatin1(oShown)).hasMatch(),
                 oShown.constData());
        QVERIFY2(oShown.contains("Authority: " + oServer.storePath(QStringLiteral("certs/QTX-ca.pem")).toLocal8Bit()),
                 oShown.constData());
        QVERIFY(tst::quitsOnCtrlC(oShell));
        return;
    }
    startShell(oShell, oServer, QStringLiteral("exec \"$1\" -console 2>\"$0\""), {oStderr, oServer.executable()});
    QVERIFY(oShell.waitForStarted());
    const auto fileLines = [&oServer] {
        QFile oFile(oServer.logFilePath());
        return oFile.open(QIODevice::ReadOnly) ? firstLines(oFile.readAll(), 7) : QList<QByteArray>();
    };
    QTRY_COMPARE_WITH_TIMEOUT(fileLines().size(), 7, 15000);
    const QList<QByteArray> oFileLines = fileLines();

    if (!terminal) {
        // The file's batch went out whole: a copy would be in the file by now.
        QTest::qWait(300);
        QFile oErr(oStderr);
        QVERIFY(oErr.open(QIODevice::ReadOnly));
        const QByteArray oText = oErr.readAll();
        QVERIFY2(!oText.contains("ServerLogger::ServerLogger"), oText.constData());
        return;
    }
    // The same lines, byte for byte (time stamps, escaping), reach the terminal.
    const QByteArray oShown =
        readTerminal(iMaster, [](const QByteArray &v_oShown) { return firstLines(v_oShown, 7).size() == 7; }, 10000);
    QCOMPARE(firstLines(oShown, 7), oFileLines);
}

void TestStartup::fatalSignalLogsAndAborts_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGSEGV") << int(SIGSEGV);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestStartup::fatalSignalLogsAndAborts()
{
    QFETCH(int, signalNumber);
    ServerFixture oServer;
    QVERIFY(oServer.install(kIni));

    // A shell in between reports how its child ended: 128 + the signal number.
    QProcess &oShell = oServer.process();
    oShell.setProcessChannelMode(QProcess::SeparateChannels);
    oShell.setStandardOutputFile(QString());
    startShell(oShell, oServer, QStringLiteral("ulimit -c 0; \"$0\" -console & echo $!; wait $!; echo status=$?"),
               {oServer.executable()});
    QVERIFY(oShell.waitForReadyRead(10000));
    const qint64 iPid = oShell.readLine().trimmed().toLongLong();
    QVERIFY(iPid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(oServer.logMessages().size() >= 7, 15000);

    QCOMPARE(::kill(static_cast<pid_t>(iPid), signalNumber), 0);
    QVERIFY(oShell.waitForFinished(15000));
    QCOMPARE(oShell.readAll().trimmed(), QByteArray("status=") + QByteArray::number(128 + SIGABRT));
    QVERIFY(oServer.logContains(QStringLiteral("signalHandler :: !!! APPLICATION TERMINATED !!! signal:%1")
                                    .arg(signalNumber)));
}

void TestStartup::secondInstanceIsRefused_data()
{
    // The running process's executable name: the tests' servers run under a
    // name of their own, so one the account runs under the product's name
    // (scripts/run.sh's, the package's units) is another server.
    QTest::addColumn<QString>("holderName");
    QTest::addColumn<bool>("refused");
    QTest::newRow("a listener of the same name: refused") << ServerFixture::executableName() << true;
    QTest::newRow("a listener of the product's name: this one starts") << QStringLiteral("QuorvexCryptoProvider") << false;
}

void TestStartup::secondInstanceIsRefused()
{
    QFETCH(QString, holderName);
    QFETCH(bool, refused);
    // A process of that name, owned by this account, listening on loopback.
    QTemporaryDir oFirst;
    const QString oHolder = oFirst.filePath(holderName);
    QVERIFY(QFile::copy(QStringLiteral(QTX_BINARY_DIR "/tests/integration/qtx_fake_listener"), oHolder));
    QVERIFY(QFile::setPermissions(oHolder, QFile::ReadOwner | QFile::ExeOwner));
    QProcess oFake;
    ServerFixture::startAs(oFake, QString(), oHolder, {});
    const auto oStop = qScopeGuard([&oFake] {
        oFake.kill();
        oFake.waitForFinished(5000);
    });
    QVERIFY(oFake.waitForReadyRead(10000));
    const quint16 uiPort = static_cast<quint16>(oFake.readLine().trimmed().toUInt());
    QVERIFY(uiPort > 0);

    ServerFixture oSecond;
    QVERIFY(oSecond.install(kIni));
    oSecond.start();
    if (refused) {
        QCOMPARE(tst::exitCodeOf(oSecond.process()), 1);
        QVERIFY2(oSecond.logContains(QStringLiteral("CStartup::Start :: Server is already running on port: %1 for user: %2")
                                         .arg(uiPort)
                                         .arg(ownAccount())),
                 qPrintable(tst::logDump(oSecond)));
    } else {
        QVERIFY2(oSecond.waitForLog(QStringLiteral("CStartup::Start :: Starting listener")), qPrintable(tst::logDump(oSecond)));
        QVERIFY(tst::quitsOnCtrlC(oSecond.process()));
    }
    QCOMPARE(oFake.state(), QProcess::Running);
}

void TestStartup::simultaneousStartsLeaveOneServer_data()
{
    QTest::addColumn<int>("round");
    for (int i = 1; i <= 3; ++i)
        QTest::newRow(qPrintable(QStringLiteral("round %1").arg(i))) << i;
}

void TestStartup::simultaneousStartsLeaveOneServer()
{
    // Two processes of one account and one executable, started together by one
    // shell: both find no listener yet, and exactly one of them may go on serving.
    ServerFixture oServer;
    QVERIFY(oServer.install(kIni));
    QProcess oShell;
    startShell(oShell, oServer,
               QStringLiteral("\"$0\" -console & a=$!; \"$0\" -console & b=$!; echo $a $b; wait $a; echo $?; wait $b; echo $?"),
               {oServer.executable()});
    QVERIFY(oShell.waitForReadyRead(10000));
    const QList<QByteArray> oPids = oShell.readLine().trimmed().split(' ');
    QCOMPARE(oPids.size(), 2);
    const pid_t aPids[] = {pid_t(oPids[0].toInt()), pid_t(oPids[1].toInt())};
    const auto alive = [](pid_t v_iPid) { return ::kill(v_iPid, 0) == 0 && sessionOf(v_iPid) >= 0; };
    // After a failed check neither server outlives the test (once the shell ended, it reaped both).
    const auto oStop = qScopeGuard([&] {
        if (oShell.state() != QProcess::NotRunning) {
            ::kill(aPids[0], SIGKILL);
            ::kill(aPids[1], SIGKILL);
            oShell.waitForFinished(5000);
        }
    });

    // One of them ends (exit code 1, with the line naming the other's port);
    // the other one listens.
    QTRY_VERIFY_WITH_TIMEOUT(!alive(aPids[0]) || !alive(aPids[1]), 30000);
    const bool bFirstEnded = !alive(aPids[0]);
    QTRY_VERIFY_WITH_TIMEOUT(oServer.logHas(QStringLiteral(":: Listening on port ")), 20000);
    QVERIFY2(oServer.logHas(QStringLiteral("CStartup::Start :: Server is already running on port: ")),
             qPrintable(tst::logDump(oServer)));
    const pid_t iSurvivor = bFirstEnded ? aPids[1] : aPids[0];
    QVERIFY(alive(iSurvivor));
    ::kill(iSurvivor, SIGINT);
    QVERIFY(oShell.waitForFinished(15000));
    // The exit codes of the first and the second process.
    QCOMPARE(oShell.readAll().trimmed(), QByteArray(bFirstEnded ? "1\n0" : "0\n1"));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
