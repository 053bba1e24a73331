// DllManager: modules shared between sessions, unloading queued to the
// manager's thread, refusal while a call runs. The INI beside this test points
// the module folder at fixtures/good.

#include "dllmanager.h"
#include "dllmodule.h"
#include "logcapture.h"
#include "moduletestsupport.h"
#include "signtestsupport.h"

#include <QCoreApplication>
#include <QThread>
#include <QtTest>

#include <thread>

using namespace tst;

class TstDllManager : public QObject
{
    Q_OBJECT

private:
    DllManager *m_poManager = nullptr;
    static quintptr deinitThread() { return quintptr(qgetenv("QTX_TST_TSTMOD_DEINIT_THREAD").toULongLong()); }

private slots:
    void initTestCase();
    void twoSessionsShareOneLoad();
    void unloadRunsLaterOnManagersThread();
    void unloadRefusedWhileCallRuns();
    void unknownSessionAndModule();
};

void TstDllManager::initTestCase()
{
    TST_REQUIRE_SIGNING_KEY();
    LogCapture oLog;
    m_poManager = DllManager::GetInstance();
    QVERIFY(m_poManager);
    QCOMPARE(DllManager::GetInstance(), m_poManager);
    QCOMPARE(m_poManager->thread(), QCoreApplication::instance()->thread());
    QVERIFY(oLog.has(QStringLiteral("NOTICE DllManager::DllManager :: Dlls directory=")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE DllManager::DllManager :: DllLoader created")));
}

void TstDllManager::twoSessionsShareOneLoad()
{
    const int iInits = initCount();
    const int iDeinits = deinitCount();
    LogCapture oLog;
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "A"));
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "B"));
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "A"));
    QCOMPARE(initCount(), iInits + 1);
    QCOMPARE(oLog.count(QStringLiteral("Module library loaded by QLibrary.")), 1);
    QVERIFY(oLog.has(QStringLiteral("NOTICE DllManager::createModule :: Module tstmod already loaded")));
    DllModule *poModule = m_poManager->getModule("tstmod");
    QVERIFY(poModule);
    QCOMPARE(poModule->getSessions(), QList<QByteArray>({"A", "B"}));

    // The first close leaves it loaded for B.
    m_poManager->unloadAllModulesForSession("A");
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=0")));
    QCOMPARE(m_poManager->getModule("tstmod"), poModule);
    QCOMPARE(poModule->getSessions(), QList<QByteArray>({"B"}));
    QCOMPARE(deinitCount(), iDeinits);

    // The second unloads it, DeInit once.
    oLog.clear();
    m_poManager->unloadAllModulesForSession("B");
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=1")));
    QVERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: Module <tstmod> unloaded = 1")));
    QCOMPARE(m_poManager->getModule("tstmod"), static_cast<DllModule *>(nullptr));
    QCOMPARE(deinitCount(), iDeinits + 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TstDllManager::unloadRunsLaterOnManagersThread()
{
    const int iDeinits = deinitCount();
    LogCapture oLog;
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "C"));

    // Emitted on the manager's own thread: still not run inside the call.
    m_poManager->unloadAllModulesForSession("C");
    QVERIFY(m_poManager->getModule("tstmod"));
    QCOMPARE(deinitCount(), iDeinits);
    QTRY_VERIFY(!m_poManager->getModule("tstmod"));
    QCOMPARE(deinitThread(), quintptr(QThread::currentThread()));

    // Asked from another thread: runs on the manager's (main) thread.
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "D"));
    qputenv("QTX_TST_TSTMOD_DEINIT_THREAD", "0");
    std::thread oOther([this] { m_poManager->unloadAllModulesForSession("D"); });
    oOther.join();
    QVERIFY(m_poManager->getModule("tstmod"));
    QTRY_VERIFY(!m_poManager->getModule("tstmod"));
    QCOMPARE(deinitThread(), quintptr(QCoreApplication::instance()->thread()));
    QCOMPARE(deinitCount(), iDeinits + 2);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TstDllManager::unloadRefusedWhileCallRuns()
{
    const int iInits = initCount();
    const int iDeinits = deinitCount();
    LogCapture oLog;
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "E"));
    DllModule *poModule = m_poManager->getModule("tstmod");
    QVERIFY(poModule);
    poModule->incrementUsage();

    // The session is detached, the module stays loaded without sessions.
    m_poManager->unloadAllModulesForSession("E");
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=0")));
    QVERIFY(oLog.has(QStringLiteral("WARN DllModule::unload :: Module tstmod can't be unloaded. Module in use!")));
    QCOMPARE(m_poManager->getModule("tstmod"), poModule);
    QVERIFY(poModule->getSessions().isEmpty());
    poModule->decrementUsage();

    // A later session reuses it (no second Init), and its close unloads it.
    QVERIFY(m_poManager->loadModuleForSession("tstmod", "F"));
    QCOMPARE(m_poManager->getModule("tstmod"), poModule);
    QCOMPARE(initCount(), iInits + 1);
    oLog.clear();
    m_poManager->unloadAllModulesForSession("E");
    QTRY_VERIFY(oLog.has(QStringLiteral("bAllModulesUnloaded=")));
    QVERIFY(!oLog.has(QStringLiteral("Module <")));  // E no longer owns anything
    m_poManager->unloadAllModulesForSession("F");
    QTRY_VERIFY(!m_poManager->getModule("tstmod"));
    QCOMPARE(deinitCount(), iDeinits + 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TstDllManager::unknownSessionAndModule()
{
    LogCapture oLog;
    m_poManager->unloadAllModulesForSession("never-opened");
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: bAllModulesUnloaded=1")));

    QVERIFY(!m_poManager->loadModuleForSession("nosuch", "G"));
    QVERIFY(oLog.has(QStringLiteral("WARN DllManager::createModule :: Module nosuch not found")));
    QVERIFY(!m_poManager->getModule("nosuch"));
    m_poManager->unloadAllModulesForSession("G");
    QTRY_VERIFY(oLog.count(QStringLiteral("bAllModulesUnloaded=1")) == 2);
}

QTEST_GUILESS_MAIN(TstDllManager)
#include "tst_dllmanager.moc"
