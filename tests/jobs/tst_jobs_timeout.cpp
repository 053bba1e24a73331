// CTimeout and CTask: a session's idle timer (250 ms here) ends the session —
// its running jobs finished (waited for, or their dialog closed), its results
// dropped, its HTTP session, timer and modules gone — while CLOSE_SESSION only
// removes the timer and lets a running job store its result.

#include "clauncher.h"
#include "ctimeout.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "httpresponse.h"
#include "httpsessionstore.h"
#include "httptestsupport.h"
#include "jobstestsupport.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace jobs;

class TstJobsTimeout : public QObject
{
    Q_OBJECT

private:
    CTimeout *m_poTimeout = nullptr;
    CLauncher *m_poLauncher = nullptr;
    std::unique_ptr<httptest::ScratchSettings> m_poStoreSettings;
    std::unique_ptr<norrweb::HttpSessionStore> m_poStore;
    int m_iThreads = 0;

    // A session as OPEN_SESSION makes it: in the store, with the module loaded
    // and its timer running.
    QByteArray openSession();
    CommandResult fetch(const QByteArray &v_oSession, const QByteArray &v_oCommandId)
    {
        return m_poLauncher->GetResult(job(v_oSession, QByteArray(), tRequestMap(), v_oCommandId));
    }
    static QString line(const char *v_pText, const QByteArray &v_oSession)
    {
        return QString::fromLatin1(v_pText) + QString::fromLatin1(v_oSession);
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void expiryEndsSession();
    void expiryWaitsForRunningJob();
    void expiryClosesModalDialog();
    void timerRequests();
    void closedSessionKeepsRunningJob();
    void sessionOpenedTwiceKeepsOneTimer();
};

void TstJobsTimeout::initTestCase()
{
    registerQtxMetaTypes();
    LogCapture oLog;
    m_poTimeout = CTimeout::GetInstance();
    QVERIFY(m_poTimeout);
    QCOMPARE(CTimeout::GetInstance(), m_poTimeout);
    QCOMPARE(m_poTimeout->thread(), QCoreApplication::instance()->thread());
    QVERIFY(oLog.has(QStringLiteral("INFO CTimeout::CTimeout :: m_oDefaultInterval=250")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CTask::SetDefaultInterval :: Default interval=250")));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CTimeout::CTimeout :: Manager created.")));

    m_poLauncher = CLauncher::GetInstance();
    QVERIFY(m_poLauncher);
    m_poStoreSettings.reset(new httptest::ScratchSettings(QStringLiteral("sessions")));
    m_poStore.reset(new norrweb::HttpSessionStore(m_poStoreSettings->get()));
    g_poSessionStore = m_poStore.get();
}

void TstJobsTimeout::cleanupTestCase()
{
    g_poSessionStore = nullptr;
}

void TstJobsTimeout::init()
{
    m_iThreads = threadCount();
}

void TstJobsTimeout::cleanup()
{
    QTRY_COMPARE(threadCount(), m_iThreads);
}

QByteArray TstJobsTimeout::openSession()
{
    auto poRequest = httptest::parse("POST /OPEN_SESSION HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    norrweb::HttpResponse oResponse(nullptr);
    const QByteArray oSession = m_poStore->getSession(*poRequest, oResponse, true).getId();
    if (oSession.isEmpty() || !DllManager::GetInstance()->loadModuleForSession("JobsProbe", oSession))
        return QByteArray();
    m_poTimeout->AddNewTimer(QString::fromLatin1(oSession));
    const bool bTimer = QTest::qWaitFor([&] { return m_poTimeout->HasTimer(QString::fromLatin1(oSession)); });
    return bTimer ? oSession : QByteArray();
}

void TstJobsTimeout::expiryEndsSession()
{
    LogCapture oLog;
    const QByteArray oSession = openSession();
    QVERIFY(!oSession.isEmpty());
    QVERIFY(oLog.has(line("INFO CTimeout::AddNewTimer :: New timer created and started. sessionID=", oSession)));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CTask::CreateTimer :: Timer created timer=0x")));

    // A result that the page never fetched.
    const QByteArray oCmd = newId();
    QCOMPARE(m_poLauncher->ProcessCommand(job(oSession, "Echo", params({{"data", "kept?"}}), oCmd)).iStatusCode, 202);
    QTRY_VERIFY(oLog.has(QStringLiteral("Result for sessionId <%1> and commandId <%2> saved")
                             .arg(QString::fromLatin1(oSession), QString::fromLatin1(oCmd))));

    QTRY_VERIFY(!m_poTimeout->HasTimer(QString::fromLatin1(oSession)));
    QVERIFY(oLog.has(line("NOTICE CTimeout::ExecuteTimeout :: Timeout occured. sessionID=", oSession)));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CTimeout::ExecuteTimeout :: Operation cancelled: 1")));
    QVERIFY(oLog.has(line("NOTICE CTimeout::ExecuteTimeout :: session destroyed. sessionID=", oSession)));
    QVERIFY(oLog.has(line("INFO CTimeout::RemoveTimer :: Timer removed. sessionID=", oSession)));
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO CTask::DeleteTimerLater :: Timer stopped and prepared for delete "
                                        "timer address=0x")));

    QCOMPARE(fetch(oSession, oCmd).iStatusCode, 419);
    QVERIFY(m_poStore->getSession(oSession).isNull());
    // The modules' unloading runs later, from the event loop.
    QVERIFY(oLog.has(line("INFO DllManager::unloadAllModulesForSession :: v_oSessionId=", oSession)));
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadModuleExecutor :: Module <JobsProbe> unloaded = 1")));
    QVERIFY(!DllManager::GetInstance()->getModule("JobsProbe"));
}

void TstJobsTimeout::expiryWaitsForRunningJob()
{
    LogCapture oLog;
    std::atomic<int> iReturnedWhenCancelled{-1};
    oLog.onLine([&](const QString &v_oLine) {
        // FinishJob is about to wait for the job: let the module function go on.
        if (v_oLine.contains(QStringLiteral("CThreadWorker::CancelOperation :: Cancel all operations")))
            jobsGateOpen("expiry");
        // Logged once RemoveAllForSession is back: the function must have returned by then.
        if (v_oLine.contains(QStringLiteral("ExecuteTimeout :: Operation cancelled: ")))
            iReturnedWhenCancelled = jobsGateReturned("expiry");
    });
    const QByteArray oSession = openSession();
    QVERIFY(!oSession.isEmpty());
    const QByteArray oCmd = newId();
    QCOMPARE(m_poLauncher->ProcessCommand(job(oSession, "Block", params({{"gate", "expiry"}}), oCmd)).iStatusCode,
             202);
    QTRY_COMPARE(jobsGateWaiting("expiry"), 1);

    QTRY_VERIFY(!m_poTimeout->HasTimer(QString::fromLatin1(oSession)));
    QCOMPARE(iReturnedWhenCancelled.load(), 1);
    QVERIFY(oLog.has(QStringLiteral("INFO CLauncher::RemoveFromProcessedJobs :: Job ended. sessionid=%1, cmdId=%2")
                         .arg(QString::fromLatin1(oSession), QString::fromLatin1(oCmd))));
    QVERIFY(oLog.has(QStringLiteral("NOTICE CTimeout::ExecuteTimeout :: Operation cancelled: 1")));
    // Its result was dropped, and stays dropped when a late delivery comes round.
    QTest::qWait(0);
    QCOMPARE(fetch(oSession, oCmd).iStatusCode, 419);
    QVERIFY(!oLog.has(QStringLiteral("Result for sessionId <%1> and commandId <%2> saved")
                          .arg(QString::fromLatin1(oSession), QString::fromLatin1(oCmd))));
    QVERIFY(m_poStore->getSession(oSession).isNull());
    oLog.onLine(nullptr);
}

void TstJobsTimeout::expiryClosesModalDialog()
{
    LogCapture oLog;
    const QByteArray oSession = openSession();
    QVERIFY(!oSession.isEmpty());
    bool bDialogOpenAtTimeout = false;
    ModalWatcher oWatcher([&](QWidget *) {});
    oLog.onLine([&](const QString &v_oLine) {
        if (v_oLine.contains(QStringLiteral("Timeout occured. sessionID=")))
            bDialogOpenAtTimeout = QApplication::activeModalWidget() != nullptr;
    });
    const QByteArray oCmd = newId();
    QCOMPARE(m_poLauncher->ProcessCommand(job(oSession, "Dialog", tRequestMap(), oCmd)).iStatusCode, 202);

    QTRY_VERIFY(!m_poTimeout->HasTimer(QString::fromLatin1(oSession)));
    oLog.onLine(nullptr);
    QVERIFY(oWatcher.seen());
    QVERIFY(bDialogOpenAtTimeout);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(oLog.has(QStringLiteral("NOTICE CLauncher::FinishJob :: Finished GUI function. Flag bGuisBusy removed")));
    QCOMPARE(fetch(oSession, oCmd).iStatusCode, 419);
    QVERIFY(m_poStore->getSession(oSession).isNull());

    // The busy flag is clear: the next GUI command is accepted.
    const QByteArray oOther = newId();
    QVERIFY(DllManager::GetInstance()->loadModuleForSession("JobsProbe", oOther));
    const QByteArray oGui = newId();
    QCOMPARE(m_poLauncher->ProcessCommand(job(oOther, "GuiEcho", tRequestMap(), oGui)).iStatusCode, 202);
    QCOMPARE(awaitResult([&] { return fetch(oOther, oGui); }).iStatusCode, 200);
    DllManager::GetInstance()->unloadAllModulesForSession(oOther);
}

void TstJobsTimeout::timerRequests()
{
    LogCapture oLog;
    const QByteArray oSession = openSession();
    QVERIFY(!oSession.isEmpty());
    const QString oId = QString::fromLatin1(oSession);

    m_poTimeout->RestartTimer(oId);
    QVERIFY(oLog.has(line("INFO CTimeout::RestartTimer :: Timer restarted. sessionID=", oSession)));
    QTRY_VERIFY(oLog.has(QStringLiteral("INFO CTask::RestartTimer :: Timers remain time=")));
    QVERIFY(oLog.lines().filter(QStringLiteral("Timers remain time=")).first().contains(".Restart timer=0x"));

    // CLOSE_SESSION removes the timer; later requests of the session only warn.
    m_poTimeout->RemoveTimer(oId);
    QVERIFY(!m_poTimeout->HasTimer(oId));
    m_poTimeout->RestartTimer(oId);
    m_poTimeout->RemoveTimer(oId);
    const QString oWarn = QStringLiteral("Timer for sessionID <%1> not exist!").arg(oId);
    QVERIFY(oLog.has(QStringLiteral("WARN CTimeout::RestartTimer :: ") + oWarn));
    QVERIFY(oLog.has(QStringLiteral("WARN CTimeout::RemoveTimer :: ") + oWarn));
    QTRY_VERIFY(oLog.has(QStringLiteral("Timer stopped and prepared for delete timer address=")));
    DllManager::GetInstance()->unloadAllModulesForSession(oSession);
}

void TstJobsTimeout::closedSessionKeepsRunningJob()
{
    const QByteArray oSession = openSession();
    QVERIFY(!oSession.isEmpty());
    const QByteArray oCmd = newId();
    QCOMPARE(m_poLauncher->ProcessCommand(job(oSession, "Block", params({{"gate", "closed"}}), oCmd)).iStatusCode,
             202);
    QTRY_COMPARE(jobsGateWaiting("closed"), 1);

    // What CLOSE_SESSION does here: timer and HTTP session go, the job stays.
    m_poTimeout->RemoveTimer(QString::fromLatin1(oSession));
    m_poStore->removeSession(m_poStore->getSession(oSession));
    DllManager::GetInstance()->unloadAllModulesForSession(oSession);

    jobsGateOpen("closed");
    const CommandResult oDone = awaitResult([&] { return fetch(oSession, oCmd); });
    QCOMPARE(oDone.iStatusCode, 200);
    QVERIFY(oDone.oBody.startsWith("thread:"));
}

void TstJobsTimeout::sessionOpenedTwiceKeepsOneTimer()
{
    LogCapture oLog;
    const QByteArray oSession = openSession();
    QVERIFY(!oSession.isEmpty());
    m_poTimeout->AddNewTimer(QString::fromLatin1(oSession));
    QTRY_COMPARE(oLog.count(QStringLiteral("Timer created timer=")), 2);

    QTRY_VERIFY(!m_poTimeout->HasTimer(QString::fromLatin1(oSession)));
    // Both timers deleted, and only the session's own timeout ran.
    QTRY_COMPARE(oLog.count(QStringLiteral("Timer stopped and prepared for delete timer address=")), 2);
    QCOMPARE(oLog.count(QStringLiteral("Timeout occured. sessionID=")), 1);
}

QTEST_MAIN(TstJobsTimeout)
#include "tst_jobs_timeout.moc"
