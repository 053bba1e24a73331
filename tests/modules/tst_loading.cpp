// Command files, the checked load sequence of DllModule with the fixture modules,
// DllManager sharing modules between sessions, and the example modules. The INI
// beside this test points the module folder at fixtures/good.

#include "cxmlreader.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "qtxmodule.h"
#include "testsupport.h"

#include <QtWidgets>

#include <sys/stat.h>

#include <thread>

using namespace tst;

namespace {

QString data(const char *v_pName) { return QStringLiteral(QTX_TEST_SOURCE_DIR "/data/") + QLatin1String(v_pName); }
QString example(const char *v_pName) { return QStringLiteral(QTX_BINARY_DIR "/modules/") + QLatin1String(v_pName); }

QJsonObject call(DllModule &v_oModule, const QByteArray &v_oCommand, const tRequestMap &v_oRequest)
{
    const tpfun pFunction = v_oModule.getFunction(v_oCommand);
    return pFunction ? QJsonDocument::fromJson(pFunction(v_oRequest, tSessionParamsMap())).object() : QJsonObject();
}

quintptr deinitThread() { return quintptr(qgetenv("QTX_TST_TSTMOD_DEINIT_THREAD").toULongLong()); }

// A copy of a fixture module in v_oDir, laid out like the good one: library (the
// given bytes), command file and library folder. Returns the module path.
QString copyModule(const QTemporaryDir &v_oDir, const QString &v_oSource, const QByteArray &v_oImage)
{
    const QString oModulePath = v_oDir.filePath(QStringLiteral("tstmod"));
    const bool bOk = writeFile(oModulePath + QStringLiteral(".so"), v_oImage) && QDir().mkdir(oModulePath)
                     && QFile::copy(fixture(v_oSource) + QStringLiteral(".xml"), oModulePath + QStringLiteral(".xml"))
                     && QFile::copy(fixture(v_oSource) + QStringLiteral("/libtstdep.so"), oModulePath + QStringLiteral("/libtstdep.so"));
    return bOk ? oModulePath : QString();
}

} // namespace

class TstLoading : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TST_REQUIRE_SIGNING_KEY();
        QVERIFY2(QFile::exists(fixture("good") + QStringLiteral(".so")), "fixture modules not built");
    }
    // Library handles are released by deferred deletion.
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void commandFileTables()
    {
        CXmlReader oReader;
        QVERIFY(oReader.ReadFile(data("commands.xml")));
        // The later duplicate's method wins; a missing method reads as "", a missing name too.
        QMap<QString, QString> oExpected{{"Sign", "SignDataV2"}, {"NoMethod", ""}, {"", "NoName"}};
        QCOMPARE(oReader.GetCommands(), oExpected);
        // Most recently declared first, both declarations accumulated; params outside
        // request/response and inside unknown elements are not recorded.
        QCOMPARE(oReader.GetRequestParams().values(QStringLiteral("Sign")), QStringList({"d", "c", "b", "a"}));
        QCOMPARE(oReader.GetRequestParams().size(), 4);
        QCOMPARE(oReader.GetResponseParams().values(QStringLiteral("Sign")), QStringList({"certificate", "signature"}));
    }

    void refusedCommandFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("logLine");
        const QString oFailed = QStringLiteral("ERROR CXmlReader::ReadFile :: Failed to parse file: ");
        QTest::newRow("wrong root") << data("wrong-root.xml") << oFailed + QStringLiteral("Not commands file");
        QTest::newRow("empty file") << data("empty.xml") << oFailed + QStringLiteral("Premature end of document.");
        QTest::newRow("malformed") << data("malformed.xml") << oFailed;
        QTest::newRow("missing") << data("no-such-file.xml")
                                 << QStringLiteral("ERROR CXmlReader::ReadFile :: File with commands specification cannot be opened");
    }
    void refusedCommandFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, logLine);
        LogCapture oLog;
        QVERIFY(!CXmlReader().ReadFile(file));
        QVERIFY2(oLog.has(logLine), qPrintable(oLog.lines().join('\n')));
        QVERIFY(!oLog.has(QStringLiteral("File parsed successfully")));
    }

    // Nesting costs stack in the reader: a deep file is refused, not followed.
    void deeplyNestedCommandFileRefused()
    {
        QTemporaryDir oDir;
        const QString oFile = oDir.filePath(QStringLiteral("deep.xml"));
        QVERIFY(writeFile(oFile, "<commands>" + QByteArray("<a>").repeated(300000)));
        LogCapture oLog;
        QVERIFY(!CXmlReader().ReadFile(oFile));
        QVERIFY(oLog.has(QStringLiteral("ERROR CXmlReader::ReadFile :: Failed to parse file: Elements nested too deeply")));
        // Nesting that real files use still reads.
        QVERIFY(writeFile(oFile, "<commands>" + QByteArray("<a>").repeated(100) + QByteArray("</a>").repeated(100)
                                     + "<command name=\"n\" method=\"m\"/></commands>"));
        CXmlReader oReader;
        QVERIFY(oReader.ReadFile(oFile));
        QCOMPARE(oReader.GetCommands().value(QStringLiteral("n")), QStringLiteral("m"));
    }

    void refusedLibraryNeverRuns_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("edit");  // 0 none, 1 a byte in the middle inverted, 2 bytes with a 0xFF appended
        QTest::newRow("unsigned") << QStringLiteral("unsigned") << 0;
        QTest::newRow("tampered") << QStringLiteral("good") << 1;
        QTest::newRow("bytes after the block") << QStringLiteral("good") << 2;
    }
    void refusedLibraryNeverRuns()
    {
        QFETCH(QString, source);
        QFETCH(int, edit);
        QTemporaryDir oDir;
        QByteArray oImage = readFile(fixture(source) + QStringLiteral(".so"));
        if (edit == 1)
            oImage[oImage.size() / 2] = char(~oImage[oImage.size() / 2]);
        if (edit == 2)
            oImage += QByteArray::fromHex("000000ff00000000");
        const QString oModulePath = copyModule(oDir, source, oImage);
        QVERIFY(!oModulePath.isEmpty());
        const QByteArray oLibraryPath = qgetenv("LD_LIBRARY_PATH");
        const int iInits = initCount();
        const int iLoads = loadCount();

        LogCapture oLog;
        {
            DllModule oModule("tstmod");
            QVERIFY(!oModule.load(oModulePath));
            QVERIFY(!oModule.isLoaded());
            QVERIFY(!oModule.getFunction("Echo"));
        }
        QVERIFY(oLog.has(QStringLiteral("WARN DllModule::isLibrarySigned :: Verification error: ")));
        QVERIFY(oLog.has(QStringLiteral("ERROR DllModule::isLibrarySigned :: File ") + oModulePath
                         + QStringLiteral(".so is not verified module file!!!")));
        QVERIFY(!oLog.has(QStringLiteral("Adding library path")));
        QCOMPARE(initCount(), iInits);
        QCOMPARE(loadCount(), iLoads);
        QCOMPARE(qgetenv("LD_LIBRARY_PATH"), oLibraryPath);
    }

    void wrongRootCommandFileRefusesModule()
    {
        const int iInits = initCount();
        LogCapture oLog;
        DllModule oModule("tstmod");
        QVERIFY(!oModule.load(fixture("wrong-root")));
        QVERIFY(oLog.has(QStringLiteral("NOTICE DllModule::isLibrarySigned :: Module tstmod verified.")));
        QVERIFY(oLog.has(QStringLiteral("WARN DllModule::loadXmlFile :: Error when parsing xml file for module tstmod")));
        QCOMPARE(initCount(), iInits);
        QVERIFY(!oModule.isLoaded());
    }

    void signedModuleLoadsWithItsCommands()
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
            QVERIFY(oLog.has(QStringLiteral("NOTICE DllModule::addAdditionalLibPathIfNeeded :: Adding library path to support additional module libs: ")
                             + fixture("good")));
            // The folder's libraries are mapped by the server; the environment,
            // which module threads may read at any time, is left alone.
            QVERIFY(!qgetenv("LD_LIBRARY_PATH").contains(oDirBytes));
            // A second module object on the same folder adds the path only once.
            DllModule oSecond("tstmod");
            QVERIFY(oSecond.load(fixture("good")));
            QVERIFY(oLog.has(QStringLiteral("path to them has been already added: ") + fixture("good")));
            QCOMPARE(initCount(), iInits + 2);
            // The commands the command file declares.
            QVERIFY(oModule.isCommandValid("Echo") && oModule.isCommandValid("PublicCall"));
            QVERIFY(!oModule.isCommandValid("Public"));  // the export's own name is not a command
            const tpfun pEcho = oModule.getFunction("Echo");
            QVERIFY(pEcho);
            QCOMPARE(pEcho({{"data", "xyz"}}, tSessionParamsMap()), QByteArray("echo:xyz"));
            QCOMPARE(oModule.getRequestParams("Echo"), QStringList({"mode", "data"}));
            QVERIFY(oModule.getRequestParams("PublicCall").isEmpty());
            // An undeclared command, and a declared one naming a missing export.
            QVERIFY(!oModule.getFunction("Undeclared"));
            QVERIFY(!oModule.getFunction("Ghost"));
            const tpfun pPublic = oModule.getFunction("PublicCall");
            const tpfun pGui = oModule.getFunction("ShowGui");
            QVERIFY(pPublic && pGui);
            QVERIFY(!oModule.isGuiFunction(pEcho));
            QVERIFY(oModule.isGuiFunction(pGui));
            QVERIFY(oModule.canUnprivilegedRun(pPublic));
            QVERIFY(!oModule.canUnprivilegedRun(pEcho));
        }
        QCOMPARE(deinitCount(), iDeinits + 2);  // the destructors unload, DeInit once per object
    }

    void moduleWithoutCommandFileExposesEveryExport()
    {
        DllModule oModule("tstminimal");
        QVERIFY(oModule.load(fixture("good", "tstminimal")));
        QVERIFY(oModule.isCommandValid("Anything"));
        const tpfun pEcho = oModule.getFunction("Echo");
        QVERIFY(pEcho);
        QCOMPARE(pEcho({{"data", "1"}}, tSessionParamsMap()), QByteArray("minimal:1"));
        QVERIFY(oModule.getFunction("Other"));
        QVERIFY(oModule.getRequestParams("Echo").isEmpty());
        // Missing optional exports: every function is a GUI function, no unprivileged client may run any.
        QVERIFY(oModule.isGuiFunction(pEcho));
        QVERIFY(!oModule.canUnprivilegedRun(pEcho));
        QVERIFY(oModule.unload());  // neither Init nor DeInit: unloading still works
    }

    // Without a command file only the module's own exports are commands:
    // nothing of the libraries it depends on, nothing of the server, none of
    // its entry points.
    void onlyOwnExportsAreCommands_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("C library") << QStringLiteral("tstminimal") << QByteArray("abort");
        QTest::newRow("C library, allocator") << QStringLiteral("tstminimal") << QByteArray("malloc");
        QTest::newRow("Qt") << QStringLiteral("tstminimal") << QByteArray("qVersion");
        QTest::newRow("start-up code") << QStringLiteral("tstminimal") << QByteArray("_init");
        QTest::newRow("finalisation") << QStringLiteral("tstminimal") << QByteArray("_fini");
        QTest::newRow("Init") << QStringLiteral("tstthrow") << QByteArray("Init");
        QTest::newRow("DeInit") << QStringLiteral("tstthrow") << QByteArray("DeInit");
        QTest::newRow("IsGuiFunction") << QStringLiteral("tstthrow") << QByteArray("IsGuiFunction");
        QTest::newRow("CanUnprivilegedRun") << QStringLiteral("tstthrow") << QByteArray("CanUnprivilegedRun");
    }
    void onlyOwnExportsAreCommands()
    {
        QFETCH(QString, module);
        QFETCH(QByteArray, command);
        qunsetenv("QTX_TST_THROW_INIT");
        DllModule oModule(module.toLatin1());
        QVERIFY(oModule.load(fixture("good", qPrintable(module))));
        QVERIFY(oModule.getFunction("Echo"));
        QVERIFY(!oModule.getFunction(command));
        oModule.clearSessions();
    }

    void throwingEntryPoints()
    {
        LogCapture oLog;
        qputenv("QTX_TST_THROW_INIT", "1");
        {
            // Init throws: the load fails and leaves nothing loaded behind.
            DllModule oModule("tstthrow");
            QVERIFY(!oModule.load(fixture("good", "tstthrow")));
            QVERIFY(!oModule.isLoaded());
            QVERIFY(!oModule.getFunction("Echo"));
            QCOMPARE(oModule.getUsage(), quint64(0));
        }
        QVERIFY(oLog.has(QStringLiteral("ERROR DllModule::callInit :: Init of module tstthrow threw: Init failed")));
        qunsetenv("QTX_TST_THROW_INIT");
        DllModule oModule("tstthrow");
        QVERIFY(oModule.load(fixture("good", "tstthrow")));
        const tpfun pEcho = oModule.getFunction("Echo");
        QVERIFY(pEcho);
        // A throwing query gives the safe answer: run as a GUI function, refuse other accounts.
        QVERIFY(oModule.isGuiFunction(pEcho));
        QVERIFY(!oModule.canUnprivilegedRun(pEcho));
        QCOMPARE(oModule.getUsage(), quint64(0));
        // A throwing DeInit does not keep the library.
        QVERIFY(oModule.unload());
        QVERIFY(!oModule.isLoaded());
    }

    // Files and folders another account may write are refused before anything runs.
    void refusedWhenOthersMayWrite_data()
    {
        QTest::addColumn<QString>("target");  // relative to the copy's folder; empty: nothing changed
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("loads");
        QTest::newRow("private copy") << QString() << 0 << true;
        QTest::newRow("library writable by all") << QStringLiteral("tstmod.so") << 0666 << false;
        QTest::newRow("module folder writable by all") << QStringLiteral(".") << 0777 << false;
        QTest::newRow("library folder writable by all") << QStringLiteral("tstmod") << 0777 << false;
        QTest::newRow("folder library writable by all") << QStringLiteral("tstmod/libtstdep.so") << 0666 << false;
    }
    void refusedWhenOthersMayWrite()
    {
        QFETCH(QString, target);
        QFETCH(int, mode);
        QFETCH(bool, loads);
        QTemporaryDir oDir;
        const QString oModulePath = copyModule(oDir, QStringLiteral("good"), readFile(fixture("good") + QStringLiteral(".so")));
        QVERIFY(!oModulePath.isEmpty());
        QVERIFY(::chmod(QFile::encodeName(oModulePath).constData(), 0755) == 0);
        if (!target.isEmpty())
            QVERIFY(::chmod(QFile::encodeName(oDir.filePath(target)).constData(), mode_t(mode)) == 0);
        const int iInits = initCount();
        LogCapture oLog;
        DllModule oModule("tstmod");
        QCOMPARE(oModule.load(oModulePath), loads);
        QCOMPARE(oModule.isLoaded(), loads);
        QCOMPARE(initCount(), iInits + (loads ? 1 : 0));
        if (!loads)
            QVERIFY2(oLog.has(QStringLiteral("refused: ")), qPrintable(oLog.lines().join('\n')));
        else
            QVERIFY(oModule.unload());
    }

    // One library is one module object: a NUL-cut name is refused, and a second
    // name for the same file shares the first name's module (one Init).
    void oneLibraryOneModule()
    {
        DllManager *poManager = DllManager::GetInstance();
        QVERIFY(!poManager->loadModuleForSession(QByteArray("tstmod\0alias", 12), "N"));
        QVERIFY(!poManager->loadModuleForSession("../good/tstmod", "N"));
        QVERIFY(!poManager->getModule(QByteArray("tstmod\0alias", 12)));
        const QString oAlias = fixture("good", "tstalias") + QStringLiteral(".so");
        QFile::remove(oAlias);
        QVERIFY(QFile::link(QStringLiteral("tstmod.so"), oAlias));
        const int iInits = initCount();
        QVERIFY(poManager->loadModuleForSession("tstmod", "P"));
        QVERIFY(poManager->loadModuleForSession("tstalias", "Q"));
        QCOMPARE(initCount(), iInits + 1);
        QCOMPARE(poManager->getModule("tstalias"), poManager->getModule("tstmod"));
        DllModule *poModule = poManager->getModule("tstmod");
        QVERIFY(poModule);
        QCOMPARE(poModule->getSessions(), QList<QByteArray>({"P", "Q"}));
        // Closing the alias's session leaves the module to the other one.
        const int iDeinits = deinitCount();
        poManager->unloadAllModulesForSession("Q");
        QTRY_COMPARE(poModule->getSessions(), QList<QByteArray>({"P"}));
        QCOMPARE(deinitCount(), iDeinits);
        poManager->unloadAllModulesForSession("P");
        QTRY_VERIFY(!poManager->getModule("tstmod"));
        QVERIFY(!poManager->getModule("tstalias"));
        QCOMPARE(deinitCount(), iDeinits + 1);
        QFile::remove(oAlias);
    }

    // A reference taken before a job starts keeps the module loaded after its
    // last session ended; giving it back unloads the module.
    void referenceOutlivesSessions()
    {
        DllManager *poManager = DllManager::GetInstance();
        const int iDeinits = deinitCount();
        QVERIFY(poManager->loadModuleForSession("tstmod", "R"));
        DllModule *poModule = poManager->acquireModule("tstmod");
        QVERIFY(poModule);
        QVERIFY(!poManager->acquireModule("tstunknown"));
        poManager->unloadAllModulesForSession("R");
        QTRY_VERIFY(poModule->getSessions().isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(poManager->getModule("tstmod"), poModule);
        QVERIFY(poModule->isLoaded());
        QCOMPARE(deinitCount(), iDeinits);
        poManager->releaseModule(poModule);
        QTRY_VERIFY(!poManager->getModule("tstmod"));
        QCOMPARE(deinitCount(), iDeinits + 1);
    }

    void unloadRefusedWhileInUse()
    {
        const int iDeinits = deinitCount();
        LogCapture oLog;
        DllModule oModule("tstmod");
        QVERIFY(oModule.load(fixture("good")));
        oModule.addSession("s1");
        oModule.addSession("s1");
        QCOMPARE(oModule.getSessions(), QList<QByteArray>({"s1"}));
        QVERIFY(!oModule.unload());  // a session holds it
        QVERIFY(oLog.has(QStringLiteral("WARN DllModule::unload :: Module tstmod can't be unloaded. Module in use!")));
        oModule.removeSession("s1");
        QCOMPARE(oModule.incrementUsage(), quint64(1));
        QVERIFY(!oModule.unload());  // a running call holds it
        QVERIFY(oModule.isLoaded());
        QCOMPARE(deinitCount(), iDeinits);
        QCOMPARE(oModule.decrementUsage(), quint64(0));
        QVERIFY(oModule.unload());
        QCOMPARE(deinitCount(), iDeinits + 1);
        QVERIFY(!oModule.isLoaded());
        QVERIFY(!oModule.unload());
        QCOMPARE(deinitCount(), iDeinits + 1);
    }

    void managerSharesOneLoadAndUnloadsLaterOnItsThread()
    {
        DllManager *poManager = DllManager::GetInstance();
        const int iInits = initCount();
        const int iDeinits = deinitCount();
        LogCapture oLog;
        QVERIFY(poManager->loadModuleForSession("tstmod", "A"));
        QVERIFY(poManager->loadModuleForSession("tstmod", "B"));
        QVERIFY(poManager->loadModuleForSession("tstmod", "A"));
        QCOMPARE(initCount(), iInits + 1);
        QCOMPARE(oLog.count(QStringLiteral("Module library loaded by QLibrary.")), 1);
        DllModule *poModule = poManager->getModule("tstmod");
        QVERIFY(poModule);
        QCOMPARE(poModule->getSessions(), QList<QByteArray>({"A", "B"}));
        // The first close leaves it loaded for B.
        poManager->unloadAllModulesForSession("A");
        QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=0")));
        QCOMPARE(poManager->getModule("tstmod"), poModule);
        QCOMPARE(poModule->getSessions(), QList<QByteArray>({"B"}));
        // The second unloads it, DeInit once, not inside the call but later on the manager's thread.
        poManager->unloadAllModulesForSession("B");
        QVERIFY(poManager->getModule("tstmod"));
        QCOMPARE(deinitCount(), iDeinits);
        QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=1")));
        QCOMPARE(poManager->getModule("tstmod"), static_cast<DllModule *>(nullptr));
        QCOMPARE(deinitCount(), iDeinits + 1);
        QCOMPARE(deinitThread(), quintptr(QThread::currentThread()));
        // Asked from another thread: runs on the manager's (main) thread.
        QVERIFY(poManager->loadModuleForSession("tstmod", "D"));
        qputenv("QTX_TST_TSTMOD_DEINIT_THREAD", "0");
        std::thread oOther([poManager] { poManager->unloadAllModulesForSession("D"); });
        oOther.join();
        QVERIFY(poManager->getModule("tstmod"));
        QTRY_VERIFY(!poManager->getModule("tstmod"));
        QCOMPARE(deinitThread(), quintptr(QCoreApplication::instance()->thread()));
        QCOMPARE(deinitCount(), iDeinits + 2);
    }

    // While a module loads, the manager is held: a module that a session
    // already uses is neither handed out nor given back with a wait there. An
    // I/O thread asking gets none at once; its reference goes back later, on
    // the manager's thread.
    void noWaitWhileAModuleLoads()
    {
        DllManager *poManager = DllManager::GetInstance();
        QVERIFY(poManager->loadModuleForSession("tstminimal", "W"));
        DllModule *poMinimal = poManager->tryAcquireForSession("tstminimal", "W");
        QVERIFY(poMinimal);
        QCOMPARE(poMinimal->getUsage(), quint64(1));
        QVERIFY(!poManager->tryAcquireForSession("tstminimal", "V")); // not that session's
        QVERIFY(!poManager->tryAcquireForSession("tstmod", "W"));     // would have to load it

        qputenv("QTX_TST_TSTMOD_INIT_HOLD", "1");
        std::thread oLoader([poManager] { poManager->loadModuleForSession("tstmod", "L"); });
        QTRY_VERIFY(qEnvironmentVariableIsSet("QTX_TST_TSTMOD_INIT_HELD"));
        QVERIFY(!poManager->tryAcquireForSession("tstminimal", "W"));
        DllModule::CommandInfo oInfo;
        QVERIFY(!poMinimal->tryDescribeCommand("Echo", &oInfo)); // the load holds the module lock
        std::thread oReleaser([poManager, poMinimal] { poManager->releaseModule(poMinimal); });
        oReleaser.join();
        // Returned while the load still holds the manager, the reference not yet given back.
        QCOMPARE(qgetenv("QTX_TST_TSTMOD_INIT_HELD"), QByteArray("1"));
        QCOMPARE(poMinimal->getUsage(), quint64(1));
        qunsetenv("QTX_TST_TSTMOD_INIT_HOLD");
        oLoader.join();
        qunsetenv("QTX_TST_TSTMOD_INIT_HELD");
        QTRY_COMPARE(poMinimal->getUsage(), quint64(0));
        QVERIFY(poManager->getModule("tstmod"));

        // What a command's description says is what the getters say.
        for (DllModule *poModule : {poManager->getModule("tstmod"), poMinimal}) {
            for (const QByteArray oCommand : {"Echo", "PublicCall", "ShowGui", "Ghost", "Other", "Init", "Nope"}) {
                QVERIFY(poModule->tryDescribeCommand(oCommand, &oInfo));
                const QByteArray oWhere = poModule->getModuleName() + '/' + oCommand;
                QVERIFY2(oInfo.valid == poModule->isCommandValid(oCommand), oWhere);
                QVERIFY2(oInfo.params == poModule->getRequestParams(oCommand), oWhere);
                QVERIFY2(oInfo.function == poModule->getFunction(oCommand), oWhere);
                if (oInfo.function)
                    QVERIFY2(poModule->isGuiFunction(oInfo.function, &oInfo) == poModule->isGuiFunction(oInfo.function), oWhere);
            }
        }
        QVERIFY(poManager->getModule("tstmod")->tryDescribeCommand("Echo", &oInfo));
        QCOMPARE(oInfo.params, QStringList({"mode", "data"}));
        QVERIFY(oInfo.guiQueried && !oInfo.gui);

        poManager->unloadAllModulesForSession("W");
        poManager->unloadAllModulesForSession("L");
        QTRY_VERIFY(!poManager->getModule("tstminimal") && !poManager->getModule("tstmod"));
    }

    // The example modules as the build signs them.
    void examplesAnswer()
    {
        DllModule oKeepAlive("KeepAlive");
        QVERIFY(oKeepAlive.load(example("KeepAlive")));
        QCOMPARE(call(oKeepAlive, "Ping", tRequestMap()).value(QStringLiteral("alive")).toBool(), true);
        DllModule oPublic("PublicInfo");  // only ServerTime is declared safe for other accounts
        QVERIFY(oPublic.load(example("PublicInfo")));
        QVERIFY(oPublic.canUnprivilegedRun(oPublic.getFunction("ServerTime")));
        QVERIFY(!oPublic.canUnprivilegedRun(oPublic.getFunction("SessionVariables")));

        DllModule oHasher("Hasher");
        QVERIFY(oHasher.load(example("Hasher")));
        QCOMPARE(call(oHasher, "Sha256", {{"data", "abc"}}).value(QStringLiteral("hex")).toString(),
                 QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    }

    void confirmDialogAnswers()
    {
        DllModule oModule("ConfirmDialog");
        QVERIFY(oModule.load(example("ConfirmDialog")));
        QVERIFY(oModule.isGuiFunction(oModule.getFunction("Confirm")));
        for (const bool bCloseWindows : {false, true}) {
            // Acts on the modal dialog from the event loop that exec() runs: Yes, or all windows closed.
            QTimer::singleShot(50, [bCloseWindows] {
                if (bCloseWindows)
                    return QApplication::closeAllWindows();
                for (QWidget *poWidget : QApplication::topLevelWidgets())
                    if (auto *poDialog = qobject_cast<QDialog *>(poWidget))
                        poDialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Yes)->click();
            });
            QCOMPARE(call(oModule, "Confirm", {{"text", "Sign the document?"}}).value(QStringLiteral("answer")).toString(),
                     QLatin1String(bCloseWindows ? "cancelled" : "yes"));
        }
    }
};

QTEST_MAIN(TstLoading)
#include "tst_loading.moc"
