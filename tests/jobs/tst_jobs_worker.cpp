// CThreadWorker: the thread a worker is placed on, the result made of what a
// module function returns or throws, the usage counter around the call, and
// CancelOperation closing windows only for a worker on the main thread.

#include "cthreadworker.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "jobstestsupport.h"

#include <QSignalSpy>
#include <QThread>
#include <QWidget>
#include <QtTest>

#include <thread>

using namespace jobs;

class TstJobsWorker : public QObject
{
    Q_OBJECT

private:
    DllModule *m_poModule = nullptr;

    // Runs v_oCommand on a worker of its own thread; returns the emitted signal's arguments.
    QList<QVariant> runOnOwnThread(const QByteArray &v_oCommand, const tRequestMap &v_oParams = tRequestMap());

private slots:
    void initTestCase();
    void createWorkerPlacesWorker();
    void resultOfFunction_data();
    void resultOfFunction();
    void cancelClosesWindowsOnlyOnMainThread();
};

void TstJobsWorker::initTestCase()
{
    registerQtxMetaTypes();
    QVERIFY(DllManager::GetInstance()->loadModuleForSession("JobsProbe", "worker-session"));
    m_poModule = DllManager::GetInstance()->getModule("JobsProbe");
    QVERIFY(m_poModule);
}

QList<QVariant> TstJobsWorker::runOnOwnThread(const QByteArray &v_oCommand, const tRequestMap &v_oParams)
{
    const QPair<CThreadWorker *, QThread *> oWorker = CThreadWorker::createWorker(nullptr);
    QSignalSpy oSpy(oWorker.first, &CThreadWorker::ResultReady);
    oWorker.second->start();
    tpfun poFunction = m_poModule->getFunction(v_oCommand);
    QMetaObject::invokeMethod(oWorker.first, "CallFunction", Qt::QueuedConnection, Q_ARG(tpfun, poFunction),
                              Q_ARG(QByteArray, "sid"), Q_ARG(QByteArray, "cid"), Q_ARG(tRequestMap, v_oParams),
                              Q_ARG(tSessionParamsMap, tSessionParamsMap()), Q_ARG(DllModule *, m_poModule));
    [&] { QTRY_COMPARE(oSpy.count(), 1); }();
    oWorker.first->deleteLater();
    oWorker.second->quit();
    oWorker.second->wait();
    delete oWorker.second;
    return oSpy.value(0);
}

void TstJobsWorker::createWorkerPlacesWorker()
{
    const QPair<CThreadWorker *, QThread *> oOwn = CThreadWorker::createWorker(nullptr);
    QVERIFY(oOwn.second != QThread::currentThread());
    QVERIFY(!oOwn.second->isRunning());  // the caller starts it
    QCOMPARE(oOwn.first->thread(), oOwn.second);
    QCOMPARE(oOwn.first->parent(), static_cast<QObject *>(nullptr));
    delete oOwn.first;
    delete oOwn.second;

    QThread *poMain = QCoreApplication::instance()->thread();
    const QPair<CThreadWorker *, QThread *> oMain = CThreadWorker::createWorker(poMain);
    QCOMPARE(oMain.second, poMain);
    QCOMPARE(oMain.first->thread(), poMain);
    delete oMain.first;
}

void TstJobsWorker::resultOfFunction_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("bytes") << QByteArray("Echo") << QByteArray("echo:payload")
                           << "NOTICE CThreadWorker::CallFunction :: Dll function call was successful.";
    QTest::newRow("empty bytes") << QByteArray("Empty") << QByteArray("")
                                 << "NOTICE CThreadWorker::CallFunction :: Dll function call was successful.";
    QTest::newRow("standard exception")
        << QByteArray("ThrowStd") << QByteArray("500|runtime failure in module")
        << "ERROR CThreadWorker::CallFunction :: Dll function call failed. Result: 500|runtime failure in "
           "moduleException: runtime failure in module";
    QTest::newRow("exception family")
        << QByteArray("ThrowFamily") << "500|" + jobsFamilyWhat(QStringLiteral("family failure in module"))
        << "ERROR CThreadWorker::CallFunction :: Dll function call failed. Result: 500|family failure in "
           "moduleException: family failure in module";
    QTest::newRow("C string") << QByteArray("ThrowText") << QByteArray("500|text failure in module")
                              << "ERROR CThreadWorker::CallFunction :: Dll function call failed. Result: 500|text "
                                 "failure in moduleException: text failure in module";
    QTest::newRow("anything else")
        << QByteArray("ThrowInt") << QByteArray("500|Unknown exception wast threw from dll module!")
        << "ERROR CThreadWorker::CallFunction :: Dll function call failed. Result: 500|Unknown exception wast "
           "threw from dll module!";
}

void TstJobsWorker::resultOfFunction()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, result);
    QFETCH(QString, logLine);
    LogCapture oLog;
    const quint64 ulUsage = m_poModule->getUsage();

    const QList<QVariant> oArgs = runOnOwnThread(command, params({{"data", "payload"}}));
    QCOMPARE(oArgs.size(), 3);
    QCOMPARE(oArgs.at(0).toByteArray(), QByteArray("sid"));
    QCOMPARE(oArgs.at(1).toByteArray(), QByteArray("cid"));
    QCOMPARE(oArgs.at(2).toByteArray(), result);
    QCOMPARE(oArgs.at(2).toByteArray().isEmpty(), result.isEmpty());
    QVERIFY2(oLog.has(logLine), qPrintable(oLog.lines().join('\n')));
    QVERIFY(oLog.has(QStringLiteral("INFO CThreadWorker::CallFunction :: Calling function for sessionID <sid> and "
                                    "cmdID <cid>")));
    // Back to its value also when the function threw.
    QCOMPARE(m_poModule->getUsage(), ulUsage);
}

void TstJobsWorker::cancelClosesWindowsOnlyOnMainThread()
{
    QWidget oWindow;
    oWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&oWindow));

    // A worker on a thread of its own leaves the windows alone.
    const QPair<CThreadWorker *, QThread *> oOwn = CThreadWorker::createWorker(nullptr);
    QVERIFY(oOwn.first->CancelOperation());
    QCoreApplication::processEvents();
    QVERIFY(oWindow.isVisible());
    delete oOwn.first;
    delete oOwn.second;

    // On the main thread, called from another thread: the close is posted to the main thread.
    const QPair<CThreadWorker *, QThread *> oMain = CThreadWorker::createWorker(QThread::currentThread());
    bool bAnswer = false;
    std::thread oCaller([&] { bAnswer = oMain.first->CancelOperation(); });
    oCaller.join();
    QVERIFY(bAnswer);
    QTRY_VERIFY(!oWindow.isVisible());

    // Called on the main thread: closed at once.
    oWindow.show();
    QVERIFY(oWindow.isVisible());
    QVERIFY(oMain.first->CancelOperation());
    QVERIFY(!oWindow.isVisible());
    delete oMain.first;
}

QTEST_MAIN(TstJobsWorker)
#include "tst_jobs_worker.moc"
