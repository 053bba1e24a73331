// CLauncher: the job life cycle through the signed JobsProbe module on real
// threads — start and poll, failures as results, GUI jobs one at a time,
// ordinary jobs in parallel, the usage counter, unprivileged records, repeated
// command ids, and no thread left behind.

#include "clauncher.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "jobstestsupport.h"

#include <QThread>
#include <QtTest>

#include <thread>

using namespace jobs;

class TstJobsLauncher : public QObject
{
    Q_OBJECT

private:
    CLauncher *m_poLauncher = nullptr;
    DllModule *m_poModule = nullptr;
    QByteArray m_oSession;
    int m_iThreads = 0;

    CommandResult start(const QByteArray &v_oCommand, const tRequestMap &v_oParams = tRequestMap(),
                        const QByteArray &v_oCommandId = newId())
    {
        return m_poLauncher->ProcessCommand(job(m_oSession, v_oCommand, v_oParams, v_oCommandId));
    }
    CommandResult fetch(const QByteArray &v_oCommandId)
    {
        return m_poLauncher->GetResult(job(m_oSession, QByteArray(), tRequestMap(), v_oCommandId));
    }
    // Polls (fetching hands a result out once) until the job is no longer running.
    CommandResult await(const QByteArray &v_oCommandId)
    {
        return awaitResult([&] { return fetch(v_oCommandId); });
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startPollFetchOnce();
    void emptyResult();
    void failuresBecomeResults_data();
    void failuresBecomeResults();
    void missingModuleOrFunction();
    void guiCommandsOneAtATime();
    void ordinaryCommandsRunInParallel();
    void commandFromHandlerThread();
    void unprivilegedJobRecords();
    void repeatedCommandIdWhileRunning();
    void secondResultRefused();
};

void TstJobsLauncher::initTestCase()
{
    registerQtxMetaTypes();
    LogCapture oLog;
    m_poLauncher = CLauncher::GetInstance();
    QVERIFY(m_poLauncher);
    QCOMPARE(CLauncher::GetInstance(), m_poLauncher);
    // SetResult runs on the main thread, whose event loop lives as long as the process.
    QCOMPARE(m_poLauncher->thread(), QCoreApplication::instance()->thread());
    QVERIFY(oLog.has(QStringLiteral("NOTICE CLauncher::GetInstance :: GUI module created")));
    m_oSession = newId();
    QVERIFY(DllManager::GetInstance()->loadModuleForSession("JobsProbe", m_oSession));
    m_poModule = DllManager::GetInstance()->getModule("JobsProbe");
    QVERIFY(m_poModule);
}

void TstJobsLauncher::init()
{
    m_iThreads = threadCount();
}

void TstJobsLauncher::cleanup()
{
    // Every job's thread is joined and its objects deleted once its result is stored.
    QTRY_COMPARE(threadCount(), m_iThreads);
    QCOMPARE(m_poModule->getUsage(), quint64(0));
}

void TstJobsLauncher::startPollFetchOnce()
{
    LogCapture oLog;
    const QByteArray oCmd = newId();
    const CommandResult oStarted = start("Block", params({{"gate", "poll"}}), oCmd);
    QCOMPARE(oStarted.iStatusCode, 202);
    QCOMPARE(oStarted.oStatusText, QByteArray("Accepted"));
    QCOMPARE(oStarted.oBody, QByteArray());

    QTRY_COMPARE(jobsGateWaiting("poll"), 1);
    const CommandResult oRunning = fetch(oCmd);
    QCOMPARE(oRunning.iStatusCode, 202);
    QCOMPARE(oRunning.oStatusText, QByteArray("Accepted"));
    QCOMPARE(oRunning.oBody, QByteArray());
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::GetResult :: bIsResultReady=0")));
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::GetResult :: bIsJobProcessed=1")));
    QCOMPARE(m_poModule->getUsage(), quint64(1));

    jobsGateOpen("poll");
    QCOMPARE(await(oCmd).iStatusCode, 200);
    // The 200 above handed the result out; it is gone now.
    const CommandResult oAgain = fetch(oCmd);
    QCOMPARE(oAgain.iStatusCode, 419);
    QCOMPARE(oAgain.oStatusText, QByteArray("No Result"));
    QCOMPARE(oAgain.oBody, QByteArray("There is no result for given parameters."));

    const QString oIds = QStringLiteral("sessionId <%1> and commandId <%2>")
                             .arg(QString::fromLatin1(m_oSession), QString::fromLatin1(oCmd));
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::AddToProcessedJobs :: job added for ") + oIds));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CLauncher::AddToResults :: Result for ") + oIds + " saved"));
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::RemoveFromProcessedJobs :: Job ended. sessionid=%1, cmdId=%2")
                         .arg(QString::fromLatin1(m_oSession), QString::fromLatin1(oCmd))));
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::RemoveFromResults :: Result for ") + oIds + " removed"));

    // The body is the module's bytes, unchanged.
    const QByteArray oCmd2 = newId();
    QCOMPARE(start("Echo", params({{"data", "bytes \x01\xff"}, {"delayMs", "20"}}), oCmd2).iStatusCode, 202);
    const CommandResult oDone = await(oCmd2);
    QCOMPARE(oDone.iStatusCode, 200);
    QCOMPARE(oDone.oStatusText, QByteArray("OK"));
    QCOMPARE(oDone.oBody, QByteArray("echo:bytes \x01\xff"));
    QCOMPARE(fetch(oCmd2).iStatusCode, 419);
    QCOMPARE(fetch(newId()).iStatusCode, 419);
}

void TstJobsLauncher::emptyResult()
{
    const QByteArray oCmd = newId();
    QCOMPARE(start("Empty", tRequestMap(), oCmd).iStatusCode, 202);
    const CommandResult oDone = await(oCmd);
    QCOMPARE(oDone.iStatusCode, 200);
    QCOMPARE(oDone.oBody, QByteArray());
    QCOMPARE(fetch(oCmd).iStatusCode, 419);
}

void TstJobsLauncher::failuresBecomeResults_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("standard") << QByteArray("ThrowStd") << QByteArray("500|runtime failure in module");
    QTest::newRow("family") << QByteArray("ThrowFamily") << QByteArray("500|family failure in module");
    QTest::newRow("C string") << QByteArray("ThrowText") << QByteArray("500|text failure in module");
    QTest::newRow("other") << QByteArray("ThrowInt") << QByteArray("500|Unknown exception wast threw from dll module!");
}

void TstJobsLauncher::failuresBecomeResults()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, body);
    const QByteArray oCmd = newId();
    QCOMPARE(start(command, tRequestMap(), oCmd).iStatusCode, 202);
    const CommandResult oDone = await(oCmd);
    QCOMPARE(oDone.iStatusCode, 200);
    QCOMPARE(oDone.oBody, body);
}

void TstJobsLauncher::missingModuleOrFunction()
{
    LogCapture oLog;
    JobRequest oNoModule = job(m_oSession, "Echo");
    oNoModule.oLibraryName = "NoSuchModule";
    const CommandResult oFirst = m_poLauncher->ProcessCommand(oNoModule);
    QCOMPARE(oFirst.iStatusCode, 404);
    QCOMPARE(oFirst.oStatusText, QByteArray("Not Found"));
    QCOMPARE(oFirst.oBody, QByteArray("The URL you requested was not found."));

    const JobRequest oNoFunction = job(m_oSession, "NoSuchFunction");
    QCOMPARE(m_poLauncher->ProcessCommand(oNoFunction).iStatusCode, 404);
    QCOMPARE(oLog.count(QStringLiteral("ERROR CLauncher::ProcessCommand :: Problem with DllManager or DllModule")), 2);
    QCOMPARE(fetch(oNoFunction.oCommandId).iStatusCode, 419);
}

void TstJobsLauncher::guiCommandsOneAtATime()
{
    LogCapture oLog;
    const QByteArray oFirst = newId();
    const QByteArray oSecond = newId();
    CommandResult oRefused;
    int iWhileShown = 0;
    ModalWatcher oWatcher([&](QWidget *v_poDialog) {
        // Inside the module's dialog: the first GUI job runs, a second is refused.
        oRefused = start("GuiEcho", tRequestMap(), oSecond);
        iWhileShown = fetch(oFirst).iStatusCode;
        QMetaObject::invokeMethod(v_poDialog, "accept", Qt::QueuedConnection);
    });
    QCOMPARE(start("Dialog", tRequestMap(), oFirst).iStatusCode, 202);
    QVERIFY(oLog.has(QStringLiteral("NOTICE CLauncher::ProcessCommand :: Started GUI function. Flag bGuisBusy set")));

    CommandResult oDone = await(oFirst);
    QCOMPARE(oDone.iStatusCode, 200);
    QVERIFY(oWatcher.seen());
    QCOMPARE(oDone.oBody, QByteArray("dialog:1"));
    QCOMPARE(iWhileShown, 202);
    QCOMPARE(oRefused.iStatusCode, 503);
    QCOMPARE(oRefused.oStatusText, QByteArray("Service Unavailable"));
    QCOMPARE(oRefused.oBody, QByteArray("The QTX server is busy performing another gui request. Try again later."));
    QCOMPARE(fetch(oSecond).iStatusCode, 419);  // refused: no job was made
    QVERIFY(oLog.has(QStringLiteral("NOTICE CLauncher::FinishJob :: Finished GUI function. Flag bGuisBusy removed")));

    // After the first result a new GUI command is accepted, and runs on the main thread.
    const QByteArray oThird = newId();
    QCOMPARE(start("GuiEcho", tRequestMap(), oThird).iStatusCode, 202);
    oDone = await(oThird);
    QCOMPARE(oDone.iStatusCode, 200);
    QCOMPARE(oDone.oBody, "gui:" + threadText(QCoreApplication::instance()->thread()));
}

void TstJobsLauncher::ordinaryCommandsRunInParallel()
{
    const int iJobs = 3;
    QList<QByteArray> oCmds;
    for (int i = 0; i < iJobs; ++i) {
        oCmds << newId();
        QCOMPARE(start("Block", params({{"gate", "parallel"}}), oCmds.last()).iStatusCode, 202);
    }
    // All three are inside the module at once, each counted in use.
    QTRY_COMPARE(jobsGateWaiting("parallel"), iJobs);
    QCOMPARE(m_poModule->getUsage(), quint64(iJobs));
    QCOMPARE(threadCount(), m_iThreads + iJobs);

    jobsGateOpen("parallel");
    QSet<QByteArray> oThreads;
    for (const QByteArray &oCmd : qAsConst(oCmds)) {
        const CommandResult oDone = await(oCmd);
        QCOMPARE(oDone.iStatusCode, 200);
        QVERIFY(oDone.oBody.startsWith("thread:"));
        oThreads << oDone.oBody;
    }
    QCOMPARE(oThreads.size(), iJobs);
    QVERIFY(!oThreads.contains("thread:" + threadText(QThread::currentThread())));
}

void TstJobsLauncher::commandFromHandlerThread()
{
    // As a connection handler does: start and poll from a thread of its own,
    // which may end before the job's objects are deleted.
    const QByteArray oCmd = newId();
    int iStarted = 0;
    std::thread oHandler([&] {
        iStarted = start("Echo", params({{"data", "from handler"}, {"delayMs", "10"}}), oCmd).iStatusCode;
    });
    oHandler.join();
    QCOMPARE(iStarted, 202);
    const CommandResult oDone = await(oCmd);
    QCOMPARE(oDone.iStatusCode, 200);
    QCOMPARE(oDone.oBody, QByteArray("echo:from handler"));
}

void TstJobsLauncher::unprivilegedJobRecords()
{
    LogCapture oLog;
    JobRequest oRequest = job(m_oSession, "Block", params({{"gate", "unprivileged"}}));
    oRequest.bUnprivileged = true;
    QCOMPARE(m_poLauncher->ProcessCommand(oRequest).iStatusCode, 202);
    QVERIFY(m_poLauncher->IsUnprivilegedJob(m_oSession, oRequest.oCommandId));
    QVERIFY(!m_poLauncher->IsUnprivilegedJob(m_oSession, newId()));
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::AddToUnprivilegedJobs :: sessionId <%1> with commandId <%2> "
                                    "added to unprivileged jobs")
                         .arg(QString::fromLatin1(m_oSession), QString::fromLatin1(oRequest.oCommandId))));

    // A privileged job started meanwhile is not recorded.
    const QByteArray oPrivileged = newId();
    QCOMPARE(start("Empty", tRequestMap(), oPrivileged).iStatusCode, 202);
    QVERIFY(!m_poLauncher->IsUnprivilegedJob(m_oSession, oPrivileged));
    QCOMPARE(await(oPrivileged).iStatusCode, 200);

    jobsGateOpen("unprivileged");
    QCOMPARE(await(oRequest.oCommandId).iStatusCode, 200);
    QVERIFY(!m_poLauncher->IsUnprivilegedJob(m_oSession, oRequest.oCommandId));
    QVERIFY(oLog.has(QStringLiteral("removed from unprivileged jobs")));
}

void TstJobsLauncher::repeatedCommandIdWhileRunning()
{
    // A page that reuses a command id while its job runs: the second worker is
    // started but not tracked; one result is handed out, and both threads end.
    LogCapture oLog;
    const QByteArray oCmd = newId();
    QCOMPARE(start("Block", params({{"gate", "repeat"}}), oCmd).iStatusCode, 202);
    QCOMPARE(start("Block", params({{"gate", "repeat"}}), oCmd).iStatusCode, 202);
    QVERIFY(oLog.has(QStringLiteral("ERROR CLauncher::AddToProcessedJobs :: Result for session %1 and cmdId %2 "
                                    "already set.\nPrevious value pointers: worker -> ")
                         .arg(QString::fromLatin1(m_oSession), QString::fromLatin1(oCmd))));
    QTRY_COMPARE(jobsGateWaiting("repeat"), 2);

    jobsGateOpen("repeat");
    QTRY_COMPARE(jobsGateReturned("repeat"), 2);
    QTRY_COMPARE(threadCount(), m_iThreads);
    QCOMPARE(await(oCmd).iStatusCode, 200);
    QCOMPARE(fetch(oCmd).iStatusCode, 419);
}

void TstJobsLauncher::secondResultRefused()
{
    LogCapture oLog;
    const QByteArray oSession = newId();
    QVERIFY(m_poLauncher->AddToResults(oSession, "1", "first"));
    QVERIFY(!m_poLauncher->AddToResults(oSession, "1", "second"));
    QVERIFY(oLog.has(QStringLiteral("ERROR CLauncher::AddToResults :: Result for session %1 and cmdId 1 already "
                                    "set\nPrevious value: first\nNew value: second")
                         .arg(QString::fromLatin1(oSession))));
    const CommandResult oDone = m_poLauncher->GetResult(job(oSession, QByteArray(), tRequestMap(), "1"));
    QCOMPARE(oDone.oBody, QByteArray("first"));

    // Removing what is not there is not a failure; removing a session drops it all.
    QVERIFY(m_poLauncher->RemoveFromResults(oSession, "1"));
    QVERIFY(m_poLauncher->AddToResults(oSession, "2", "x"));
    QVERIFY(m_poLauncher->AddToResults(oSession, "3", "y"));
    QVERIFY(m_poLauncher->RemoveAllForSession(oSession));
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::RemoveAllResultsForSession :: Clear all results for sessionId "
                                    "<%1> bRes=1").arg(QString::fromLatin1(oSession))));
    QCOMPARE(m_poLauncher->GetResult(job(oSession, QByteArray(), tRequestMap(), "2")).iStatusCode, 419);
}

QTEST_MAIN(TstJobsLauncher)
#include "tst_jobs_launcher.moc"
