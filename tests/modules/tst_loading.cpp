// Command files, the checked load sequence of DllModule with the fixture modules,
// DllManager sharing modules between sessions, the example dialog module and the
// SDK's display text for page-supplied strings. The INI beside this test points
// the module folder at fixtures/good.

#include "cxmlreader.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "qtxdisplaytext.h"
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

// Made once, as the server's is, with the fixtures' folder.
DllManager &manager()
{
    static DllManager *s_poManager = new DllManager(ModuleManagerConfig{
        {QCoreApplication::applicationDirPath() + QStringLiteral("/../fixtures/good")}, ModuleLoadRules()});
    return *s_poManager;
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
            QVERIFY(!DllModule::isGuiFunction(oModule.describeCommand("Echo")));
            QVERIFY(DllModule::isGuiFunction(oModule.describeCommand("ShowGui")));
            QVERIFY(oModule.canUnprivilegedRun(pPublic));
            QVERIFY(!oModule.canUnprivilegedRun(pEcho));
        }
        QCOMPARE(deinitCount(), iDeinits + 2);  // the destructors unload, DeInit once per object
    }

    // Without a command file every export of the module itself is a command,
    // but nothing of the libraries it depends on, nor its start-up code.
    void moduleWithoutCommandFileExposesEveryExport()
    {
        DllModule oModule("tstminimal");
        QVERIFY(oModule.load(fixture("good", "tstminimal")));
        QVERIFY(oModule.isCommandValid("Anything"));
        const tpfun pEcho = oModule.getFunction("Echo");
        QVERIFY(pEcho);
        QCOMPARE(pEcho({{"data", "1"}}, tSessionParamsMap()), QByteArray("minimal:1"));
        QVERIFY(oModule.getFunction("Other"));
        for (const char *pForeign : {"abort", "malloc", "qVersion", "_init", "_fini"})
            QVERIFY2(!oModule.getFunction(pForeign), pForeign);
        QVERIFY(oModule.getRequestParams("Echo").isEmpty());
        // Missing optional exports: every function is a GUI function, no unprivileged client may run any.
        QVERIFY(DllModule::isGuiFunction(oModule.describeCommand("Echo")));
        // Described on first use, kept; a name that resolves to nothing is not.
        QVERIFY(oModule.describeCommand("Echo").function == pEcho);
        QVERIFY(!oModule.describeCommand("abort").function);
        QVERIFY(!oModule.canUnprivilegedRun(pEcho));
        QVERIFY(oModule.unload());  // neither Init nor DeInit: unloading still works
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
        // The entry points the loader calls are no commands.
        for (const char *pEntry : {"Init", "DeInit", "IsGuiFunction", "CanUnprivilegedRun"})
            QVERIFY2(!oModule.getFunction(pEntry), pEntry);
        // A throwing query gives the safe answer: run as a GUI function, refuse other accounts.
        QVERIFY(DllModule::isGuiFunction(oModule.describeCommand("Echo")));
        QVERIFY(!oModule.canUnprivilegedRun(pEcho));
        QCOMPARE(oModule.getUsage(), quint64(0));
        // A throwing DeInit does not keep the library.
        QVERIFY(oModule.unload());
        QVERIFY(!oModule.isLoaded());
    }

    // A library that is not signed as built, a file or folder another account
    // may write, or a broken command file: the module is refused before any of
    // its code runs, and before verification its library folder is not used.
    void refusedModuleNeverRuns_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("edit");  // 0 none, 1 a byte in the middle inverted, 2 bytes with a 0xFF appended
        QTest::addColumn<QString>("writable");  // made writable by all, relative to the copy's folder
        QTest::addColumn<QStringList>("logLines");  // %1: the module path; none: the copy loads
        const QStringList oUnverified{QStringLiteral("WARN DllModule::isLibrarySigned :: Verification error: "),
                                      QStringLiteral("ERROR DllModule::isLibrarySigned :: File %1.so is not verified module file!!!")};
        const auto refused = [](const char *v_pWhat) { return QStringList{QStringLiteral("Module tstmod refused: ") + QLatin1String(v_pWhat)}; };
        QTest::newRow("private copy") << QStringLiteral("good") << 0 << QString() << QStringList();
        QTest::newRow("unsigned") << QStringLiteral("unsigned") << 0 << QString() << oUnverified;
        QTest::newRow("tampered") << QStringLiteral("good") << 1 << QString() << oUnverified;
        QTest::newRow("bytes after the block") << QStringLiteral("good") << 2 << QString() << oUnverified;
        // Signed, but its command file is no command file: refused before the library is mapped.
        QTest::newRow("command file with a wrong root") << QStringLiteral("wrong-root") << 0 << QString()
            << QStringList{QStringLiteral("NOTICE DllModule::isLibrarySigned :: Module tstmod verified."),
                           QStringLiteral("WARN DllModule::loadXmlFile :: Error when parsing xml file for module tstmod")};
        QTest::newRow("library writable by all") << QStringLiteral("good") << 0 << QStringLiteral("tstmod.so")
                                                 << refused("%1.so or its folder is ");
        QTest::newRow("module folder writable by all") << QStringLiteral("good") << 0 << QStringLiteral(".")
                                                       << refused("%1.so or its folder is ");
        QTest::newRow("library folder writable by all") << QStringLiteral("good") << 0 << QStringLiteral("tstmod")
                                                        << refused("its library folder %1 is ");
        QTest::newRow("folder library writable by all") << QStringLiteral("good") << 0 << QStringLiteral("tstmod/libtstdep.so")
                                                        << refused("library %1/libtstdep.so is ");
    }
    void refusedModuleNeverRuns()
    {
        QFETCH(QString, source);
        QFETCH(int, edit);
        QFETCH(QString, writable);
        QFETCH(QStringList, logLines);
        QTemporaryDir oDir;
        QByteArray oImage = readFile(fixture(source) + QStringLiteral(".so"));
        if (edit == 1)
            oImage[oImage.size() / 2] = char(~oImage[oImage.size() / 2]);
        if (edit == 2)
            oImage += QByteArray::fromHex("000000ff00000000");
        const QString oModulePath = copyModule(oDir, source, oImage);
        QVERIFY(!oModulePath.isEmpty());
        QVERIFY(::chmod(QFile::encodeName(oModulePath).constData(), 0755) == 0);
        if (!writable.isEmpty()) {
            const QString oTarget = oDir.filePath(writable);
            QVERIFY(::chmod(QFile::encodeName(oTarget).constData(), QFileInfo(oTarget).isDir() ? 0777 : 0666) == 0);
        }
        const QByteArray oLibraryPath = qgetenv("LD_LIBRARY_PATH");
        const int iInits = initCount();
        const int iLoads = loadCount();
        LogCapture oLog;
        DllModule oModule("tstmod");
        if (logLines.isEmpty()) {
            QVERIFY(oModule.load(oModulePath));
            QCOMPARE(initCount(), iInits + 1);
            QVERIFY(oModule.unload());
            return;
        }
        QVERIFY(!oModule.load(oModulePath));
        QVERIFY(!oModule.isLoaded());
        QVERIFY(!oModule.getFunction("Echo"));
        for (const QString &oLine : qAsConst(logLines))
            QVERIFY2(oLog.has(oLine.arg(oModulePath)), qPrintable(oLog.lines().join('\n')));
        if (!oLog.has(QStringLiteral("Module tstmod verified.")))  // then its folder is not even looked at
            QVERIFY(!oLog.has(QStringLiteral("Adding library path")));
        QCOMPARE(initCount(), iInits);
        QCOMPARE(loadCount(), iLoads);
        QCOMPARE(qgetenv("LD_LIBRARY_PATH"), oLibraryPath);
    }

    // One library is one module object, shared by the sessions using it under
    // any of its names (one Init); a NUL-cut name or a path is refused. The
    // first close leaves it to the other session; the last unloads it, DeInit
    // once, not inside the call but later on the manager's thread.
    void managerSharesOneLoadAndUnloadsLaterOnItsThread()
    {
        DllManager *poManager = &manager();
        QVERIFY(!poManager->loadModuleForSession(QByteArray("tstmod\0alias", 12), "N"));
        QVERIFY(!poManager->loadModuleForSession("../good/tstmod", "N"));
        QVERIFY(!poManager->getModule(QByteArray("tstmod\0alias", 12)));
        const QString oAlias = fixture("good", "tstalias") + QStringLiteral(".so");
        QFile::remove(oAlias);
        QVERIFY(QFile::link(QStringLiteral("tstmod.so"), oAlias));
        const int iInits = initCount();
        const int iDeinits = deinitCount();
        LogCapture oLog;
        QVERIFY(poManager->loadModuleForSession("tstmod", "A"));
        QVERIFY(poManager->loadModuleForSession("tstalias", "B"));
        QVERIFY(poManager->loadModuleForSession("tstmod", "A"));
        QCOMPARE(initCount(), iInits + 1);
        QCOMPARE(oLog.count(QStringLiteral("Module library loaded by QLibrary.")), 1);
        DllModule *poModule = poManager->getModule("tstmod");
        QVERIFY(poModule);
        QCOMPARE(poManager->getModule("tstalias"), poModule);
        QCOMPARE(poModule->getSessions(), QList<QByteArray>({"A", "B"}));
        // Closing the alias's session leaves the module to the other one.
        poManager->unloadAllModulesForSession("B");
        QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=0")));
        QCOMPARE(poManager->getModule("tstmod"), poModule);
        QCOMPARE(poModule->getSessions(), QList<QByteArray>({"A"}));
        poManager->unloadAllModulesForSession("A");
        QVERIFY(poManager->getModule("tstmod"));
        QCOMPARE(deinitCount(), iDeinits);
        QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=1")));
        QVERIFY(!poManager->getModule("tstmod"));
        QVERIFY(!poManager->getModule("tstalias"));
        QFile::remove(oAlias);
        QCOMPARE(deinitCount(), iDeinits + 1);
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
        DllManager *poManager = &manager();
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

        // What a command's description (the record made at load) says is what
        // the getters say. Without a command file the functions are not known
        // at load: nothing is described, and the command goes to a worker.
        for (DllModule *poModule : {poManager->getModule("tstmod"), poMinimal}) {
            for (const QByteArray oCommand : {"Echo", "PublicCall", "ShowGui", "Ghost", "Other", "Init", "Nope"}) {
                const bool bDescribed = poModule->tryDescribeCommand(oCommand, &oInfo);
                QCOMPARE(bDescribed, poModule != poMinimal);
                if (!bDescribed)
                    continue;
                const QByteArray oWhere = poModule->getModuleName() + '/' + oCommand;
                QVERIFY2(oInfo.valid == poModule->isCommandValid(oCommand), oWhere);
                QVERIFY2(oInfo.params == poModule->getRequestParams(oCommand), oWhere);
                QVERIFY2(oInfo.function == poModule->getFunction(oCommand), oWhere);
                const DllModule::CommandInfo oOnWorker = poModule->describeCommand(oCommand);
                QVERIFY2(oOnWorker.function == oInfo.function && oOnWorker.gui == oInfo.gui
                             && oOnWorker.guiQueried == oInfo.guiQueried, oWhere);
            }
        }
        QVERIFY(poManager->getModule("tstmod")->tryDescribeCommand("Echo", &oInfo));
        QVERIFY(oInfo.guiQueried && !oInfo.gui);

        poManager->unloadAllModulesForSession("W");
        poManager->unloadAllModulesForSession("L");
        QTRY_VERIFY(!poManager->getModule("tstminimal") && !poManager->getModule("tstmod"));
    }

    // What a page sends comes out as one line that nothing reorders or breaks.
    void displayText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("max");
        QTest::addColumn<QString>("shown");
        const QString oEllipsis(QChar(0x2026));
        QTest::newRow("plain") << QStringLiteral("Vertrag Nr. 7 – Zürich ✓ 😀") << 40 << QStringLiteral("Vertrag Nr. 7 – Zürich ✓ 😀");
        QTest::newRow("a second line") << QStringLiteral("invoice.pdf\nThe page https://bank.example asks for your signature.")
                                       << 200 << QStringLiteral("invoice.pdf\\nThe page https://bank.example asks for your signature.");
        QTest::newRow("right-to-left override") << QStringLiteral("invoice_\u202Efdp.exe") << 40
                                                << QStringLiteral("invoice_\\u202Efdp.exe");
        QTest::newRow("every bidi control") << QStringLiteral("\u061C\u200E\u200F\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069")
                                            << 100
                                            << QStringLiteral("\\u061C\\u200E\\u200F\\u202A\\u202B\\u202C\\u202D\\u2066\\u2067\\u2068\\u2069");
        QTest::newRow("controls and separators") << QString::fromUtf16(u"a\r\tb\u0000\u001B\u007F\u0085\u2028\u2029c", 11) << 100
                                                 << QStringLiteral("a\\r\\tb\\u0000\\u001B\\u007F\\u0085\\u2028\\u2029c");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + QLatin1Char('x') << 20 << QStringLiteral("\\uD800x");
        // Long: the beginning and the end (the extension) stay.
        QTest::newRow("long name") << QStringLiteral("a").repeated(50) + QStringLiteral(".pdf") << 21
                                   << QStringLiteral("a").repeated(10) + oEllipsis + QStringLiteral("aaaaaa.pdf");
        QTest::newRow("no escape cut") << QStringLiteral("x\u202Ey") + QStringLiteral("z").repeated(20) << 9
                                       << QStringLiteral("x") + oEllipsis + QStringLiteral("zzzz");
        QTest::newRow("no pair cut") << QStringLiteral("😀😀😀😀😀😀") << 8 << QStringLiteral("😀😀") + oEllipsis + QStringLiteral("😀");
    }
    void displayText()
    {
        QFETCH(QString, text);
        QFETCH(int, max);
        QFETCH(QString, shown);
        const QString oShown = qtxDisplayText(text, max);
        QCOMPARE(oShown, shown);
        QVERIFY(oShown.size() <= qMax(max, 8));
    }

    // The example module with a dialog, as the build signs it: the page's title
    // and text escaped inside the page's box, the window title its own.
    void confirmDialogAnswers()
    {
        DllModule oModule("ConfirmDialog");
        QVERIFY(oModule.load(example("ConfirmDialog")));
        const tRequestMap oRequest{{"text", "Sign?\nThe page https://bank.example asks for your signature."},
                                   {"title", QStringLiteral("invoice_\u202Efdp.exe").toUtf8()}};
        for (const bool bCloseWindows : {false, true}) {
            QStringList oShown;
            // Acts on the modal dialog from the event loop that exec() runs: Yes, or all windows closed.
            QTimer::singleShot(50, [bCloseWindows, &oShown] {
                if (bCloseWindows)
                    return QApplication::closeAllWindows();
                auto *poDialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
                QVERIFY(poDialog);
                const auto *poArea = poDialog->findChild<QGroupBox *>();
                oShown << poDialog->windowTitle() << poArea->findChild<QLabel *>()->text()
                       << poArea->findChild<QPlainTextEdit *>()->toPlainText();
                poDialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Yes)->click();
            });
            QCOMPARE(call(oModule, "Confirm", oRequest).value(QStringLiteral("answer")).toString(),
                     QLatin1String(bCloseWindows ? "cancelled" : "yes"));
            if (!bCloseWindows)
                QCOMPARE(oShown, QStringList({QStringLiteral("Confirmation"), QStringLiteral("invoice_\\u202Efdp.exe"),
                                              QStringLiteral("Sign?\\nThe page https://bank.example asks for your signature.")}));
        }
    }
};

QTEST_MAIN(TstLoading)
#include "tst_loading.moc"
