// DllModule: the checked load sequence with signed, unsigned and broken fixture
// modules, the exports and their defaults, sessions, the usage counter and unload.

#include "dllmodule.h"
#include "logcapture.h"
#include "moduletestsupport.h"
#include "signtestsupport.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

using namespace tst;

class TstDllModule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void refusedLibraryNeverRuns_data();
    void refusedLibraryNeverRuns();
    void refusalGoesToSystemLog();
    void wrongRootCommandFileRefusesModule();
    void signedModuleLoads();
    void commandsFromCommandFile();
    void moduleWithoutCommandFileExposesEveryExport();
    void sessionsAndUnload();
};

void TstDllModule::initTestCase()
{
    TST_REQUIRE_SIGNING_KEY();
    QVERIFY2(QFile::exists(fixture("good") + QStringLiteral(".so")), "fixture modules not built");
}

void TstDllModule::cleanup()
{
    // Library handles are released by deferred deletion.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TstDllModule::refusedLibraryNeverRuns_data()
{
    QTest::addColumn<QString>("modulePath");
    QTest::newRow("unsigned") << fixture("unsigned");
    QTest::newRow("tampered") << fixture("tampered");
    QTest::newRow("padding-ff") << fixture("padding-ff");
}

void TstDllModule::refusedLibraryNeverRuns()
{
    QFETCH(QString, modulePath);
    // Every broken fixture has its additional-library folder like the good one.
    QVERIFY(QFileInfo(modulePath + QStringLiteral(".so")).isFile());
    QVERIFY(QFileInfo(modulePath).isDir());
    const QByteArray oLibraryPath = qgetenv("LD_LIBRARY_PATH");
    const int iInits = initCount();
    const int iLoads = loadCount();

    LogCapture oLog;
    {
        DllModule oModule("tstmod");
        QVERIFY(!oModule.load(modulePath));
        QVERIFY(!oModule.isLoaded());
        QVERIFY(!oModule.getFunction("Echo"));
    }
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::isLibrarySigned :: Verification error: ")));
    QVERIFY(oLog.has(QStringLiteral("ERROR DllModule::isLibrarySigned :: File ") + modulePath
                     + QStringLiteral(".so is not verified module file!!!")));
    QVERIFY(!oLog.has(QStringLiteral("Adding library path")));
    QCOMPARE(initCount(), iInits);
    QCOMPARE(loadCount(), iLoads);
    QCOMPARE(qgetenv("LD_LIBRARY_PATH"), oLibraryPath);
}

void TstDllModule::refusalGoesToSystemLog()
{
    // The refusal goes to syslog; listen on /dev/log only where nothing else does.
    if (::geteuid() != 0 || QFileInfo::exists(QStringLiteral("/dev/log")))
        QSKIP("needs root and no system logger on /dev/log");
    const int iSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(iSocket >= 0);
    sockaddr_un oAddress{};
    oAddress.sun_family = AF_UNIX;
    std::strncpy(oAddress.sun_path, "/dev/log", sizeof oAddress.sun_path - 1);
    if (::bind(iSocket, reinterpret_cast<sockaddr *>(&oAddress), sizeof oAddress) != 0) {
        ::close(iSocket);
        QSKIP("cannot bind /dev/log");
    }
    struct Cleanup
    {
        int iSocket;
        ~Cleanup()
        {
            ::close(iSocket);
            ::unlink("/dev/log");
        }
    } oCleanup{iSocket};

    // A flipped copy of the good module, made here, refused like the built ones.
    QTemporaryDir oDir;
    QByteArray oImage = readFile(fixture("good") + QStringLiteral(".so"));
    oImage[oImage.size() / 3] = char(oImage[oImage.size() / 3] ^ 0x20);
    QVERIFY(writeFile(oDir.filePath(QStringLiteral("tstmod.so")), oImage));
    DllModule oModule("tstmod");
    QVERIFY(!oModule.load(oDir.filePath(QStringLiteral("tstmod"))));

    pollfd oPoll{iSocket, POLLIN, 0};
    QCOMPARE(::poll(&oPoll, 1, 5000), 1);
    char aBuffer[2048] = {0};
    const ssize_t iRead = ::recv(iSocket, aBuffer, sizeof aBuffer - 1, 0);
    QVERIFY(iRead > 0);
    const QByteArray oEntry(aBuffer, int(iRead));
    // <PRI> with LOG_USER | LOG_ERR = 8 + 3.
    QVERIFY2(oEntry.startsWith("<11>"), oEntry.constData());
    QVERIFY2(oEntry.contains(QCoreApplication::applicationName().toUtf8()), oEntry.constData());
    QVERIFY2(oEntry.contains("File " + oDir.filePath(QStringLiteral("tstmod.so")).toUtf8()
                             + " is not verified module file!!!"),
             oEntry.constData());
}

void TstDllModule::wrongRootCommandFileRefusesModule()
{
    const int iInits = initCount();
    LogCapture oLog;
    DllModule oModule("tstmod");
    QVERIFY(!oModule.load(fixture("wrong-root")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE DllModule::isLibrarySigned :: Module tstmod verified.")));
    QVERIFY(oLog.has(QStringLiteral("INFO DllModule::loadXmlFile :: bFileLoaded=0")));
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::loadXmlFile :: Error when parsing xml file for module tstmod")));
    QCOMPARE(initCount(), iInits);
    QVERIFY(!oModule.isLoaded());
}

void TstDllModule::signedModuleLoads()
{
    const QByteArray oDirBytes = fixture("good").toUtf8();
    QVERIFY(!qgetenv("LD_LIBRARY_PATH").contains(oDirBytes));
    const int iInits = initCount();
    const int iDeinits = deinitCount();

    LogCapture oLog;
    {
        DllModule oModule("tstmod");
        QVERIFY(oModule.load(fixture("good")));
        QVERIFY(oModule.isLoaded());
        QCOMPARE(initCount(), iInits + 1);
        QCOMPARE(oModule.getUsage(), quint64(0));
        QVERIFY(oLog.has(QStringLiteral("NOTICE DllModule::addAdditionalLibPathIfNeeded :: Adding library path to support additional module libs: ")
                         + fixture("good")));
        QVERIFY(qgetenv("LD_LIBRARY_PATH").contains(oDirBytes));

        // A second module object on the same folder adds the path only once.
        oLog.clear();
        DllModule oSecond("tstmod");
        QVERIFY(oSecond.load(fixture("good")));
        QVERIFY(oLog.has(QStringLiteral("path to them has been already added: ") + fixture("good")));
        QCOMPARE(qgetenv("LD_LIBRARY_PATH").count(oDirBytes), 1);
        QCOMPARE(initCount(), iInits + 2);
    }
    // The destructors unload: DeInit once per loaded object.
    QCOMPARE(deinitCount(), iDeinits + 2);
}

void TstDllModule::commandsFromCommandFile()
{
    LogCapture oLog;
    DllModule oModule("tstmod");
    QVERIFY(oModule.load(fixture("good")));

    QVERIFY(oModule.isCommandValid("Echo"));
    QVERIFY(oModule.isCommandValid("PublicCall"));
    QVERIFY(!oModule.isCommandValid("Public"));  // the export's own name is not a command
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::isCommandValid :: Command \"Public\" in module \"tstmod\" not found.")));

    const tpfun pEcho = oModule.getFunction("Echo");
    QVERIFY(pEcho);
    tRequestMap oRequest;
    oRequest.insert("data", "xyz");
    QCOMPARE(pEcho(oRequest, tSessionParamsMap()), QByteArray("echo:xyz"));
    QCOMPARE(oModule.getRequestParams("Echo"), QStringList({"mode", "data"}));
    QVERIFY(oModule.getRequestParams("PublicCall").isEmpty());

    // An undeclared command maps to the empty export name; a declared one may name a missing export.
    QVERIFY(!oModule.getFunction("Undeclared"));
    QVERIFY(oLog.has(QStringLiteral("INFO DllModule::getFunction :: function name <> for command <Undeclared>")));
    QVERIFY(!oModule.getFunction("Ghost"));
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::getFunctionPriv :: Problem with resolving function \"NotExported\" from module \"tstmod\". Error: ")));

    const tpfun pPublic = oModule.getFunction("PublicCall");
    const tpfun pGui = oModule.getFunction("ShowGui");
    QVERIFY(pPublic && pGui);
    QVERIFY(!oModule.isGuiFunction(pEcho));
    QVERIFY(oModule.isGuiFunction(pGui));
    QVERIFY(oModule.canUnprivilegedRun(pPublic));
    QVERIFY(!oModule.canUnprivilegedRun(pEcho));
    QCOMPARE(oModule.getUsage(), quint64(0));
}

void TstDllModule::moduleWithoutCommandFileExposesEveryExport()
{
    LogCapture oLog;
    DllModule oModule("tstminimal");
    QVERIFY(oModule.load(fixture("good", "tstminimal")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE DllModule::loadXmlFile :: Module tstminimal loaded without Xml file.")));

    QVERIFY(oModule.isCommandValid("Anything"));
    const tpfun pEcho = oModule.getFunction("Echo");
    QVERIFY(pEcho);
    tRequestMap oRequest;
    oRequest.insert("data", "1");
    QCOMPARE(pEcho(oRequest, tSessionParamsMap()), QByteArray("minimal:1"));
    QVERIFY(oModule.getFunction("Other"));
    QVERIFY(oModule.getRequestParams("Echo").isEmpty());

    // Missing optional exports: every function is a GUI function, no unprivileged client may run any.
    QVERIFY(oModule.isGuiFunction(pEcho));
    QVERIFY(!oModule.canUnprivilegedRun(pEcho));
    QVERIFY(oLog.has(QStringLiteral("Problem with resolving function \"IsGuiFunction\" from module \"tstminimal\"")));
    QVERIFY(oLog.has(QStringLiteral("Problem with resolving function \"CanUnprivilegedRun\" from module \"tstminimal\"")));
    // Neither Init nor DeInit: unloading still works.
    QVERIFY(oModule.unload());
}

void TstDllModule::sessionsAndUnload()
{
    const int iDeinits = deinitCount();
    LogCapture oLog;
    DllModule oModule("tstmod");
    QVERIFY(oModule.load(fixture("good")));

    oModule.addSession("s1");
    oModule.addSession("s1");
    QCOMPARE(oModule.getSessions(), QList<QByteArray>({"s1"}));
    QVERIFY(oLog.has(QStringLiteral("INFO DllModule::addSession :: Module tstmod already in seasion s1")));

    // A session holds it.
    QVERIFY(!oModule.unload());
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::unload :: Module tstmod can't be unloaded. Module in use!")));
    oModule.removeSession("s1");
    oModule.removeSession("s1");
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::removeSession :: Module tstmod not used in seasion s1")));

    // A running call holds it.
    QCOMPARE(oModule.incrementUsage(), quint64(1));
    QVERIFY(!oModule.unload());
    QVERIFY(oModule.isLoaded());
    QCOMPARE(deinitCount(), iDeinits);
    QCOMPARE(oModule.decrementUsage(), quint64(0));

    QVERIFY(oModule.unload());
    QCOMPARE(deinitCount(), iDeinits + 1);
    QVERIFY(oLog.has(QStringLiteral("NOTICE DllModule::unload :: Module tstmod unloaded")));
    QVERIFY(!oModule.isLoaded());
    QVERIFY(!oModule.unload());
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::unload :: Module tstmod not loaded!")));
    QCOMPARE(deinitCount(), iDeinits + 1);
}

QTEST_GUILESS_MAIN(TstDllModule)
#include "tst_dllmodule.moc"
