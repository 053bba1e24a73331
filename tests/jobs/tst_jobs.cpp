// The job life cycle through the signed JobsProbe module on real threads.
// CLauncher: results and failures, GUI jobs one at a time (the GUI slot and its
// queue, the server's frame around their windows), ordinary jobs in parallel
// (polled while running), the usage counter, no thread left behind.
// SessionRegistry: a session's idle clock (250 ms here) ends the session — its
// running jobs finished without a wait (or their dialog closed), its results
// dropped, its record and modules gone — while a close lets a running job
// store its result.

#include "../logcapture.h"
#include "clauncher.h"
#include "cthreadworker.h"
#include "dllmanager.h"
#include "dllmodule.h"
#include "guijobframe.h"
#include "httpresponse.h"
#include "httptestsupport.h"
#include "jobrequest.h"
#include "qtxafterturn.h"
#include "qtxexceptions.h"
#include "qtxlogprivacy.h"
#include "sessionregistry.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QWindow>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <QWidget>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// Gates: JobsProbe's Block calls wait until theirs is opened.
struct Gate
{
    bool bOpen = false;
    int iWaiting = 0;
    int iReturned = 0;
};

std::mutex g_oGateMutex;
std::condition_variable g_oGateChanged;
std::map<std::string, Gate> g_oGates;

Gate gate(const QByteArray &v_oGate)
{
    std::lock_guard<std::mutex> oGuard(g_oGateMutex);
    return g_oGates[v_oGate.toStdString()];
}

void jobsGateOpen(const QByteArray &v_oGate)
{
    std::lock_guard<std::mutex> oGuard(g_oGateMutex);
    g_oGates[v_oGate.toStdString()].bOpen = true;
    g_oGateChanged.notify_all();
}

int jobsGateWaiting(const QByteArray &v_oGate) { return gate(v_oGate).iWaiting; }
int jobsGateReturned(const QByteArray &v_oGate) { return gate(v_oGate).iReturned; }


QByteArray newId() { return QUuid::createUuid().toByteArray(); }

JobRequest job(const QByteArray &v_oSessionId, const QByteArray &v_oCommand, const tRequestMap &v_oParams,
                      const QByteArray &v_oCommandId)
{
    JobRequest oRequest;
    oRequest.oLibraryName = "JobsProbe";
    oRequest.oSessionId = v_oSessionId;
    oRequest.oCommandId = v_oCommandId;
    oRequest.oCommand = v_oCommand;
    oRequest.oRequestMap = v_oParams;
    oRequest.oOrigin = "https://shop.example";
    return oRequest;
}

tRequestMap params(std::initializer_list<std::pair<QByteArray, QByteArray>> v_oPairs)
{
    tRequestMap oMap;
    for (const auto &oPair : v_oPairs)
        oMap.insert(oPair.first, oPair.second);
    return oMap;
}

QByteArray threadText(const QThread *v_poThread) { return QByteArray::number(quintptr(v_poThread), 16); }

// "<status> <text>|<body>": a reply in one comparable value.
QByteArray text(const CommandResult &v_oResult)
{
    return QByteArray::number(v_oResult.iStatusCode) + ' ' + v_oResult.oStatusText + '|' + v_oResult.oBody;
}

// Polls v_oFetch while it answers 202 (the job runs), processing events in between;
// not repeated once it answered otherwise, since a stored result is handed out once.
CommandResult awaitResult(const std::function<CommandResult()> &v_oFetch)
{
    CommandResult oResult(202, "Accepted", QByteArray());
    static_cast<void>(QTest::qWaitFor([&] {
        oResult = v_oFetch();
        return oResult.iStatusCode != 202;
    }, 20000));
    return oResult;
}

// Index of the first line that contains the text, -1 when none does.
int lineOf(const QStringList &v_oLines, const QString &v_oText)
{
    for (int i = 0; i < v_oLines.size(); ++i)
        if (v_oLines.at(i).contains(v_oText))
            return i;
    return -1;
}

// Runs v_oAct once on the first modal dialog that shows, from inside its exec() loop.
class DialogWatcher
{
public:
    explicit DialogWatcher(std::function<void(QDialog *)> v_oAct)
    {
        QObject::connect(&m_oTimer, &QTimer::timeout, [this, v_oAct] {
            if (auto *poDialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                m_oTimer.stop();
                v_oAct(poDialog);
            }
        });
        m_oTimer.start(5);
    }

private:
    QTimer m_oTimer;
};

const QByteArray kBusy = "503 Service Unavailable|The QTX server is busy performing another gui request. Try again later.";
const QByteArray kTooMany = "503 Service Unavailable|The QTX server is running too many jobs. Try again later.";

// Job threads of this process (they name themselves "qtx-job"). Counting every
// thread would also count one that something else starts meanwhile (a log file's
// writer, a sanitizer's or Qt's helper).
int threadCount()
{
    int iCount = 0;
    const QString oTasks = QStringLiteral("/proc/self/task/");
    for (const QString &oTask : QDir(oTasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile oName(oTasks + oTask + QStringLiteral("/comm"));
        if (oName.open(QIODevice::ReadOnly) && oName.readAll().trimmed() == "qtx-job")
            ++iCount;
    }
    return iCount;
}

// Lets every job blocked in a gate return: a test that failed half-way must not
// leave its jobs inside the module for the tests after it.
void openAllGates()
{
    std::lock_guard<std::mutex> oGuard(g_oGateMutex);
    for (auto &oGate : g_oGates)
        oGate.second.bOpen = true;
    g_oGateChanged.notify_all();
}

} // namespace

// Exported from the test executable; JobsProbe's Block calls it.
extern "C" __attribute__((visibility("default"))) void qtxJobsGateWait(const char *v_pGate)
{
    std::unique_lock<std::mutex> oLock(g_oGateMutex);
    Gate &oGate = g_oGates[v_pGate];
    ++oGate.iWaiting;
    g_oGateChanged.wait(oLock, [&oGate] { return oGate.bOpen; });
    --oGate.iWaiting;
    ++oGate.iReturned;
    // Seen by exitWaitsForRunningJobs in its child's output; written at once.
    if (std::strcmp(v_pGate, "exit") == 0) {
        static const char kLine[] = "job function returned\n";
        static_cast<void>(::write(STDOUT_FILENO, kLine, sizeof kLine - 1));
    }
}

// Keeps the exception family linked into the executable, whose exports the
// probe module binds to when it is loaded.
QByteArray jobsFamilyWhat(const QString &v_oMessage);
QByteArray jobsFamilyWhat(const QString &v_oMessage)
{
    return QByteArray(NotImplementedException(v_oMessage).what());
}

// The module manager and the launcher as the server has them: made once on
// the main thread, living for the process, with this suite's own caps (small,
// so that each is reached quickly).
DllManager &modules()
{
    static DllManager *s_poModules = new DllManager(
        ModuleManagerConfig{{QCoreApplication::applicationDirPath() + QStringLiteral("/../modules")}, ModuleLoadRules()});
    return *s_poModules;
}

CLauncher &launcher()
{
    static CLauncher *s_poLauncher = [] {
        LauncherLimits oLimits;
        oLimits.jobThreadIdleMs = 50;
        oLimits.jobThreads = 4;
        oLimits.maxJobs = 8;
        oLimits.maxResults = 20;
        oLimits.maxResultsPerClient = 30;
        oLimits.maxGuiQueue = 3;
        oLimits.maxGuiQueuePerClient = 2;
        return new CLauncher(&modules(), oLimits);
    }();
    return *s_poLauncher;
}

class TstJobs : public QObject
{
    Q_OBJECT
    CLauncher *m_poLauncher = nullptr;
    DllModule *m_poModule = nullptr;
    QByteArray m_oSession; // not in the registry: it never ends
    std::unique_ptr<httptest::ScratchSettings> m_poStoreSettings;
    std::unique_ptr<SessionRegistry> m_poRegistry;
    int m_iThreads = 0;

    // A session as OPEN_SESSION makes it: recorded, its clock running, the module loaded.
    QByteArray openSession()
    {
        auto poRequest = httptest::parse("POST /OPEN_SESSION HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
        norrweb::HttpResponse oResponse(nullptr);
        SessionRegistry::Opened eOpened = SessionRegistry::Opened::Refused;
        const QByteArray oSession = m_poRegistry->open(*poRequest, oResponse, client(), &eOpened).getId();
        if (eOpened != SessionRegistry::Opened::New || !m_poRegistry->addModule(oSession, "JobsProbe"))
            return QByteArray();
        return oSession;
    }
    static norrweb::HttpSessionClient client() { return norrweb::HttpSessionClient{1000, false, -1}; }
    // Looked at without a request: the session's clock is not restarted.
    bool isOpen(const QByteArray &v_oSession) { return m_poRegistry->isOpen(v_oSession); }
    CommandResult start(const QByteArray &v_oSession, const QByteArray &v_oCommand, const tRequestMap &v_oParams,
                        const QByteArray &v_oCommandId)
    {
        return m_poLauncher->ProcessCommand(job(v_oSession, v_oCommand, v_oParams, v_oCommandId));
    }
    CommandResult start(const QByteArray &v_oCommand, const tRequestMap &v_oParams, const QByteArray &v_oCommandId)
    {
        return start(m_oSession, v_oCommand, v_oParams, v_oCommandId);
    }
    CommandResult fetch(const QByteArray &v_oSession, const QByteArray &v_oCommandId)
    {
        return m_poLauncher->GetResult(job(v_oSession, QByteArray(), tRequestMap(), v_oCommandId));
    }
    CommandResult fetch(const QByteArray &v_oCommandId) { return fetch(m_oSession, v_oCommandId); }
    CommandResult await(const QByteArray &v_oSession, const QByteArray &v_oCommandId)
    {
        return awaitResult([&] { return fetch(v_oSession, v_oCommandId); });
    }
    CommandResult await(const QByteArray &v_oCommandId)
    {
        return awaitResult([&] { return fetch(v_oCommandId); });
    }
    // Ids appear in the log as their short hash (qtxLogId).
    static QString logId(const QByteArray &v_oId) { return QString::fromStdString(qtxLogId(v_oId)); }
    static QString saved(const QByteArray &v_oSession, const QByteArray &v_oCommandId)
    {
        return QStringLiteral("Result for sessionId <%1> and commandId <%2> saved")
            .arg(logId(v_oSession), logId(v_oCommandId));
    }

private slots:
    void initTestCase()
    {
        registerQtxMetaTypes();
        // The example dialog module beside the probe, as the build signed it.
        for (const char *pFile : {"ConfirmDialog.so", "ConfirmDialog.xml"}) {
            const QString oTarget = QCoreApplication::applicationDirPath() + QStringLiteral("/../modules/") + QLatin1String(pFile);
            QFile::remove(oTarget);
            QVERIFY(QFile::copy(QStringLiteral(QTX_BINARY_DIR "/modules/") + QLatin1String(pFile), oTarget));
        }
        m_poLauncher = &launcher();
        m_poStoreSettings.reset(new httptest::ScratchSettings(QStringLiteral("sessions")));
        SessionRegistry::Limits oSessionLimits;
        oSessionLimits.closedGraceMs = 250; // the sessions' idle interval
        m_poRegistry.reset(new SessionRegistry(m_poStoreSettings->get(), 250, oSessionLimits, &modules(),
                                               m_poLauncher));
        m_oSession = newId();
        QVERIFY(modules().loadModuleForSession("JobsProbe", m_oSession));
        m_poModule = modules().getModule("JobsProbe");
        QVERIFY(m_poModule);
    }
    void cleanupTestCase() { m_poRegistry.reset(); }
    void init() { m_iThreads = threadCount(); }
    void cleanup()
    {
        if (QTest::currentTestFailed())
            openAllGates();
        // Every job's thread is joined and its objects deleted once its result is stored.
        QTRY_COMPARE(threadCount(), m_iThreads);
        QCOMPARE(m_poModule->getUsage(), quint64(0));
    }

    void result_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("bytes") << QByteArray("Echo") << QByteArray() << QByteArray("bytes \x01\xff");
        QTest::newRow("empty") << QByteArray("Echo") << QByteArray() << QByteArray();
        const QByteArray oThrow = "Throw";
        QTest::newRow("standard exception") << oThrow << QByteArray("std") << QByteArray("500|runtime failure in module");
        QTest::newRow("exception family") << oThrow << QByteArray("family") << QByteArray("500|family failure in module");
        QTest::newRow("C string") << oThrow << QByteArray("text") << QByteArray("500|text failure in module");
        QTest::newRow("anything else") << oThrow << QByteArray("int")
                                       << QByteArray("500|Unknown exception wast threw from dll module!");
    }
    void result()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, kind);
        QFETCH(QByteArray, body);
        LogCapture oLog;
        const QByteArray oCmd = newId();
        QCOMPARE(text(start(command, params({{"data", body}, {"kind", kind}}), oCmd)), QByteArray("202 Accepted|"));
        QCOMPARE(text(await(oCmd)), "200 OK|" + body);
        // The 200 handed the result out; it is gone now.
        QCOMPARE(text(fetch(oCmd)), QByteArray("419 No Result|There is no result for given parameters."));
        // A module's exception text is the page's to read, not the log's: only its length is logged.
        if (command == "Throw") {
            QTRY_VERIFY(oLog.has(QStringLiteral("Dll function call failed")));
            QVERIFY2(!oLog.lines().join(QLatin1Char('\n')).contains(QLatin1String("failure in module")),
                     qPrintable(oLog.lines().filter(QStringLiteral("Dll function call failed")).join(QLatin1Char('\n'))));
        }
    }

    void jobWaitsForTheTurnToEnd()
    {
        // Started while an I/O thread answers a request, a job's thread is woken
        // only when that turn ends (its reply written); until then it waits queued.
        const QByteArray oCmd = newId();
        {
            QtxAfterTurn oTurn;
            QCOMPARE(start("Echo", params({{"data", QByteArray("x")}, {"kind", QByteArray()}}), oCmd).iStatusCode, 202);
            QTest::qWait(100); // time enough for a job that was started anyway to end
            QCOMPARE(fetch(oCmd).iStatusCode, 202);
        }
        QCOMPARE(text(await(oCmd)), QByteArray("200 OK|x"));
    }

    // The one GUI slot. The first GUI job (https://shop.example) shows its
    // dialog; meanwhile other GUI commands come. Only a page that knows the
    // dialog (its own session or origin, running or waiting) hears that it is
    // open; any other waits its turn (limits/maxQueuedGuiJobs 3 here,
    // maxQueuedGuiJobsPerClient 2), the waiting ones run in the order they
    // came, and one whose session ends while it waits never runs. A request
    // that names no web origin opens no window.
    void guiSlot_data()
    {
        QTest::addColumn<bool>("sameSession");            // the first other command comes from the dialog's session
        QTest::addColumn<QByteArrayList>("origins");      // of the other commands, one session each
        QTest::addColumn<QList<int>>("owners");           // the accounts owning their sessions
        QTest::addColumn<int>("end");                     // of the first other's session while it waits: 0 none, 1 time-out, 2 close
        QTest::addColumn<QByteArrayList>("replies");      // to the other commands
        QTest::addColumn<QList<int>>("fetched");          // their GET_RESULT once all have ended
        const QByteArray oShop = "https://shop.example";
        const QByteArray oOther = "https://other.example";
        const QByteArray oQueued = "202 Accepted|";
        const QByteArray oNoOrigin =
            "403 Forbidden|This command opens a window on the desktop and needs the Origin header of the web page that asks.";
        const QList<int> oAnyone{-1};
        QTest::newRow("same session") << true << QByteArrayList{oShop} << oAnyone << 0 << QByteArrayList{kBusy} << QList<int>{419};
        QTest::newRow("same origin") << false << QByteArrayList{oShop} << oAnyone << 0 << QByteArrayList{kBusy} << QList<int>{419};
        QTest::newRow("other origin: waits, then runs") << false << QByteArrayList{oOther} << oAnyone << 0
                                                        << QByteArrayList{oQueued} << QList<int>{200};
        QTest::newRow("same origin as a waiting one") << false << QByteArrayList{oOther, oOther} << QList<int>{-1, -1} << 0
                                                      << QByteArrayList{oQueued, kBusy} << QList<int>{200, 419};
        QTest::newRow("waiting, its session times out") << false << QByteArrayList{oOther} << oAnyone << 1
                                                        << QByteArrayList{oQueued} << QList<int>{419};
        QTest::newRow("waiting, its session is closed") << false << QByteArrayList{oOther} << oAnyone << 2
                                                        << QByteArrayList{oQueued} << QList<int>{419};
        QTest::newRow("queue full for the account, then in all")
            << false << QByteArrayList{"https://a.example", "https://b.example", "https://c.example", "https://d.example", "https://e.example"}
            << QList<int>{7, 7, 7, 8, 9} << 0 << QByteArrayList{oQueued, oQueued, kTooMany, oQueued, kTooMany}
            << QList<int>{200, 200, 419, 200, 419};
        for (const QByteArray &oBad : {QByteArray(), QByteArray("null"), oOther + "/page", oOther + "\nx"})
            QTest::newRow(oBad.isEmpty() ? "no Origin header" : oBad.constData()) << false << QByteArrayList{oBad} << oAnyone << 0
                                                                                 << QByteArrayList{oNoOrigin} << QList<int>{419};
    }
    void guiSlot()
    {
        QFETCH(bool, sameSession);
        QFETCH(QByteArrayList, origins);
        QFETCH(QList<int>, owners);
        QFETCH(int, end);
        QFETCH(QByteArrayList, replies);
        QFETCH(QList<int>, fetched);
        LogCapture oLog;
        const QByteArray oFirstSession = newId();
        const QByteArray oFirst = newId();
        QList<JobRequest> oOthers;
        for (int i = 0; i < origins.size(); ++i) {
            oOthers << job(i == 0 && sameSession ? oFirstSession : newId(), "GuiEcho", tRequestMap(), newId());
            oOthers.last().oOrigin = origins.at(i);
            oOthers.last().iSessionOwner = owners.at(i);
        }
        QByteArrayList oReplies;
        QList<int> oWhileOpen;
        DialogWatcher oWatcher([&](QDialog *v_poDialog) {
            for (const JobRequest &oRequest : qAsConst(oOthers))
                oReplies << text(m_poLauncher->ProcessCommand(oRequest));
            QTest::qWait(50); // a job started at once would have run by now
            for (const JobRequest &oRequest : qAsConst(oOthers))
                oWhileOpen << fetch(oRequest.oSessionId, oRequest.oCommandId).iStatusCode;
            if (end == 1)
                m_poLauncher->RemoveAllForSession(oOthers.first().oSessionId);
            else if (end == 2)
                m_poLauncher->SessionClosed(oOthers.first().oSessionId);
            QMetaObject::invokeMethod(v_poDialog, "accept", Qt::QueuedConnection);
        });
        QCOMPARE(start(oFirstSession, "Dialog", tRequestMap(), oFirst).iStatusCode, 202);
        QCOMPARE(text(await(oFirstSession, oFirst)), QByteArray("200 OK|dialog:1"));
        QCOMPARE(oReplies, replies);
        int iLine = lineOf(oLog.lines(), saved(oFirstSession, oFirst));
        for (int i = 0; i < oOthers.size(); ++i) {
            QCOMPARE(oWhileOpen.at(i), replies.at(i).startsWith("202") ? 202 : 419);
            const CommandResult oResult = await(oOthers.at(i).oSessionId, oOthers.at(i).oCommandId);
            QCOMPARE(oResult.iStatusCode, fetched.at(i));
            if (fetched.at(i) != 200)
                continue;
            // On the main thread, after the dialog and after those that came before.
            QCOMPARE(oResult.oBody, "gui:" + threadText(QCoreApplication::instance()->thread()));
            const int iNext = lineOf(oLog.lines(), saved(oOthers.at(i).oSessionId, oOthers.at(i).oCommandId));
            QVERIFY(iNext > iLine);
            iLine = iNext;
        }
    }

    // Every window of a GUI job carries the origin in a band the server draws
    // and ahead of its title, whatever the module does with its title or
    // layout; the window stays above the browser. Screenshots of the windows
    // land beside the test (confirmdialog.png is the one in docs/).
    void guiWindowsShowTheOrigin_data()
    {
        QTest::addColumn<QByteArray>("module");
        QTest::addColumn<QByteArray>("origin");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QStringList>("parts"); // as the band shows them: before, head, site (bold), tail, after
        QTest::addColumn<QString>("title");
        QTest::addColumn<QByteArray>("result");
        const QString oFrom = QStringLiteral("Request from ");
        QTest::newRow("confirmdialog") << QByteArray("ConfirmDialog") << QByteArray("https://shop.example")
            << QVariantMap{{"title", "Payment"}, {"text", "Pay 20 EUR to the shop?\nThe page https://bank.example asks you to sign."}}
            << QStringList{oFrom, QStringLiteral("https://"), QStringLiteral("shop.example"), QString(), QString()}
            << QStringLiteral("https://shop.example \u2013 Confirmation") << QByteArray("{\"answer\":\"yes\"}");
        QTest::newRow("layout, public suffix of two labels, port") << QByteArray("JobsProbe")
            << QByteArray("https://login.bank.example.co.uk:8443") << QVariantMap{{"layout", "1"}, {"title", "Sign"}}
            << QStringList{oFrom, QStringLiteral("https://login.bank."), QStringLiteral("example.co.uk"), QStringLiteral(":8443"), QString()}
            << QStringLiteral("https://login.bank.example.co.uk:8443 \u2013 Sign") << QByteArray("dialog:1");
        QTest::newRow("placed by hand, no title, IP address") << QByteArray("JobsProbe") << QByteArray("http://127.0.0.1:8080")
            << QVariantMap() << QStringList{oFrom, QStringLiteral("http://"), QStringLiteral("127.0.0.1"), QStringLiteral(":8080"), QString()}
            << QStringLiteral("http://127.0.0.1:8080") << QByteArray("dialog:1");
        QTest::newRow("IPv6, a style sheet that would hide the band") << QByteArray("JobsProbe") << QByteArray("https://[::1]")
            << QVariantMap{{"layout", "1"}, {"style", "* { background: white; color: white; font-size: 2px }"}}
            << QStringList{oFrom, QStringLiteral("https://"), QStringLiteral("[::1]"), QString(), QString()}
            << QStringLiteral("https://[::1]") << QByteArray("dialog:1");
        // A long host: the title keeps the end of the origin, the band elides the head when narrow.
        const QByteArray oLong = "https://" + QByteArray("www.").repeated(20) + "bank.example.evil.example";
        QTest::newRow("long origin, narrow window") << QByteArray("JobsProbe") << oLong << QVariantMap{{"layout", "1"}, {"title", "T"}}
            << QStringList{oFrom, QStringLiteral("…"), QStringLiteral("evil.example"), QString(), QString()}
            << QStringLiteral("https://www.www.www.www.ww\u2026www.www.www.bank.example.evil.example \u2013 T")
            << QByteArray("dialog:1");
    }
    void guiWindowsShowTheOrigin()
    {
        QFETCH(QByteArray, module);
        QFETCH(QByteArray, origin);
        QFETCH(QVariantMap, params);
        QFETCH(QStringList, parts);
        QFETCH(QString, title);
        QFETCH(QByteArray, result);
        const QByteArray oSession = newId();
        QVERIFY(modules().loadModuleForSession(module, oSession));
        QString oTitle;
        QString oRetitled;
        QString oName;
        QStringList oShown;
        bool bBandFree = false;
        bool bOnTop = false;
        bool bPainted = false;
        DialogWatcher oWatcher([&](QDialog *v_poDialog) {
            QWidget *poBanner = GuiJobFrame::bannerOf(v_poDialog);
            if (!poBanner)
                return v_poDialog->reject();
            oTitle = v_poDialog->windowTitle();
            oName = poBanner->accessibleName();
            bOnTop = v_poDialog->windowHandle() && (v_poDialog->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
            // Painted in the application's colours and font, as wide as measured
            // (the last text pixel where the band's own size says it ends).
            const QImage oImage = v_poDialog->grab().toImage();
            const QColor oBand = QGuiApplication::palette().color(QPalette::Highlight);
            int iTextEnd = 0;
            for (int x = 0; x < poBanner->width(); ++x)
                for (int y = 0; y < poBanner->height(); ++y)
                    iTextEnd = oImage.pixelColor(x, y) != oBand ? x : iTextEnd;
            bPainted = oImage.pixelColor(2, 2) == oBand && poBanner->height() >= QFontMetrics(QApplication::font()).height()
                       && iTextEnd <= qMin(poBanner->width(), poBanner->sizeHint().width()) - 2
                       && iTextEnd >= qMin(poBanner->width(), poBanner->sizeHint().width()) - (origin.size() > 100 ? 30 : 10);
            // Nothing of the module's is drawn where the band is.
            bBandFree = poBanner->geometry() == QRect(0, 0, v_poDialog->width(), poBanner->height())
                        && v_poDialog->contentsMargins().top() >= poBanner->height();
            for (const QWidget *poChild : v_poDialog->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
                bBandFree = bBandFree && (poChild == poBanner || poChild->y() >= poBanner->height());
            QVERIFY(oImage.save(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                            + QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(','), 0, 0) + QStringLiteral(".png")));
            if (origin.size() > 100)
                v_poDialog->resize(360, v_poDialog->height());
            oShown = poBanner->property("shownParts").toStringList();
            v_poDialog->setWindowTitle(QStringLiteral("Changed"));
            oRetitled = v_poDialog->windowTitle();
            QMetaObject::invokeMethod(v_poDialog, "accept", Qt::QueuedConnection);
        });
        tRequestMap oParams;
        for (auto it = params.constBegin(); it != params.constEnd(); ++it)
            oParams.insert(it.key().toUtf8(), it.value().toByteArray());
        JobRequest oRequest = job(oSession, module == "JobsProbe" ? "Dialog" : "Confirm", oParams, newId());
        oRequest.oLibraryName = module;
        oRequest.oOrigin = origin;
        QCOMPARE(m_poLauncher->ProcessCommand(oRequest).iStatusCode, 202);
        QCOMPARE(text(awaitResult([&] { return fetch(oSession, oRequest.oCommandId); })), "200 OK|" + result);
        modules().unloadAllModulesForSession(oSession);
        QCOMPARE(oName, QStringLiteral("Request from ") + QString::fromLatin1(origin));
        QCOMPARE(oTitle, title);
        QCOMPARE(oRetitled, title.section(QStringLiteral(" \u2013 "), 0, 0) + QStringLiteral(" \u2013 Changed"));
        QCOMPARE(oShown.mid(0, 1) + oShown.mid(2), parts.mid(0, 1) + parts.mid(2));
        QVERIFY2(parts.at(1) == QStringLiteral("…") ? oShown.at(1).contains(QChar(0x2026)) : oShown.at(1) == parts.at(1),
                 qPrintable(oShown.join(QLatin1Char('|'))));
        QVERIFY(bBandFree);
        QVERIFY(bOnTop);
        QVERIFY(bPainted);
    }

    void ordinaryCommandsRunInParallel()
    {
        // Started as a request worker does: from a thread of its own, which
        // ends before the jobs do.
        const QList<QByteArray> oCmds{newId(), newId(), newId()};
        QList<CommandResult> oStarted;
        std::thread oHandler([&] {
            for (const QByteArray &oCmd : oCmds)
                oStarted << start("Block", params({{"gate", "parallel"}}), oCmd);
        });
        oHandler.join();
        for (const CommandResult &oResult : qAsConst(oStarted))
            QCOMPARE(oResult.iStatusCode, 202);
        // All three are inside the module at once, each counted in use, each still polled as running.
        QTRY_COMPARE(jobsGateWaiting("parallel"), 3);
        QCOMPARE(m_poModule->getUsage(), quint64(3));
        QCOMPARE(threadCount(), m_iThreads + 3);
        QCOMPARE(text(fetch(oCmds.first())), QByteArray("202 Accepted|"));

        jobsGateOpen("parallel");
        QSet<QByteArray> oThreads;
        for (const QByteArray &oCmd : oCmds) {
            const CommandResult oDone = await(oCmd);
            QCOMPARE(oDone.iStatusCode, 200);
            QVERIFY(oDone.oBody.startsWith("thread:"));
            oThreads << oDone.oBody;
        }
        QCOMPARE(oThreads.size(), 3);
        QVERIFY(!oThreads.contains("thread:" + threadText(QThread::currentThread())));
    }

    // A session's function blocks (a card reader waiting for its PIN pad) when
    // the session times out. The time-out does not wait for it: the session's
    // results go at once, another session's results keep arriving meanwhile,
    // and the module is unloaded only after the function has returned.
    void expiryDuringOrdinaryJob()
    {
        DllManager *poManager = &modules();
        LogCapture oLog;
        const QByteArray oSession = openSession();
        const QByteArray oOtherSession = newId();
        QVERIFY(!oSession.isEmpty() && poManager->loadModuleForSession("JobsProbe", oOtherSession));
        // The test's own session lets go of the module for a while.
        QVERIFY(QMetaObject::invokeMethod(poManager, "unloadModuleExecutor", Qt::DirectConnection,
                                          Q_ARG(QByteArray, m_oSession)));
        const QByteArray oUnfetched = newId();
        QCOMPARE(start(oSession, "Echo", params({{"data", "kept?"}}), oUnfetched).iStatusCode, 202);
        QTRY_VERIFY(oLog.has(saved(oSession, oUnfetched)));
        const QByteArray oCmd = newId();
        QCOMPARE(start(oSession, "Block", params({{"gate", "expiry"}}), oCmd).iStatusCode, 202);
        QTRY_COMPARE(jobsGateWaiting("expiry"), 1);

        QTRY_VERIFY(!isOpen(oSession));
        QTRY_VERIFY(oLog.has(QStringLiteral("NOTICE CTimeout::ExecuteTimeout :: Operation cancelled: 1")));
        QCOMPARE(jobsGateReturned("expiry"), 0);
        QCOMPARE(fetch(oSession, oUnfetched).iStatusCode, 419);
        QCOMPARE(fetch(oSession, oCmd).iStatusCode, 419);

        const QByteArray oOther = newId();
        QCOMPARE(start(oOtherSession, "Echo", params({{"data", "other"}}), oOther).iStatusCode, 202);
        QCOMPARE(awaitResult([&] { return fetch(oOtherSession, oOther); }).iStatusCode, 200);

        // Every session has let go of the module; the blocked function still holds it.
        QVERIFY(QMetaObject::invokeMethod(poManager, "unloadModuleExecutor", Qt::DirectConnection,
                                          Q_ARG(QByteArray, oOtherSession)));
        QTRY_VERIFY(oLog.has(QStringLiteral("INFO DllManager::unloadAllModulesForSession :: v_oSessionId=")
                                 + logId(oSession)));
        QTest::qWait(50);
        QCOMPARE(poManager->getModule("JobsProbe"), m_poModule);
        QVERIFY(m_poModule->isLoaded());
        jobsGateOpen("expiry");
        QTRY_COMPARE(jobsGateReturned("expiry"), 1);
        QTRY_VERIFY(!poManager->getModule("JobsProbe"));
        // Its result reached nobody.
        QVERIFY(!oLog.has(saved(oSession, oCmd)));

        QVERIFY(poManager->loadModuleForSession("JobsProbe", m_oSession));
        m_poModule = poManager->getModule("JobsProbe");
        QVERIFY(m_poModule);
    }

    void expiryClosesModalDialog()
    {
        LogCapture oLog;
        const QByteArray oSession = openSession();
        QVERIFY(!oSession.isEmpty());
        bool bDialogOpenAtTimeout = false;
        oLog.onLine([&](const QString &v_oLine) {
            if (v_oLine.contains(QStringLiteral("Timeout occured. sessionID=")))
                bDialogOpenAtTimeout = QApplication::activeModalWidget() != nullptr;
        });
        const QByteArray oCmd = newId();
        QCOMPARE(start(oSession, "Dialog", tRequestMap(), oCmd).iStatusCode, 202);

        QTRY_VERIFY(!isOpen(oSession));
        oLog.onLine(nullptr);
        QVERIFY(bDialogOpenAtTimeout);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCOMPARE(fetch(oSession, oCmd).iStatusCode, 419);

        // The GUI-busy flag is clear: the next GUI command is accepted.
        const QByteArray oGui = newId();
        QCOMPARE(start("GuiEcho", tRequestMap(), oGui).iStatusCode, 202);
        QCOMPARE(await(oGui).iStatusCode, 200);
    }

    void closedSessionKeepsRunningJob()
    {
        LogCapture oLog;
        const QByteArray oSession = openSession();
        QVERIFY(!oSession.isEmpty());
        const QByteArray oCmd = newId();
        QCOMPARE(start(oSession, "Block", params({{"gate", "closed"}}), oCmd).iStatusCode, 202);
        QTRY_COMPARE(jobsGateWaiting("closed"), 1);

        // CLOSE_SESSION: the record and the clock go, the job stays; a second
        // close (another connection) changes nothing.
        const norrweb::HttpSession oRecord = m_poRegistry->find(oSession, client());
        m_poRegistry->close(oRecord);
        QVERIFY(!isOpen(oSession));
        m_poRegistry->close(oRecord);
        QVERIFY(m_poRegistry->find(oSession, client()).isNull());
        QCOMPARE(oLog.count(QStringLiteral("Closed sessionID=") + logId(oSession)), 1);

        // Still running a few closing periods later: its result will be kept.
        QTest::qWait(700);
        jobsGateOpen("closed");
        const CommandResult oDone = awaitResult([&] { return fetch(oSession, oCmd); });
        QCOMPARE(oDone.iStatusCode, 200);
        QVERIFY(oDone.oBody.startsWith("thread:"));
    }

    // The clock runs on the main thread: a main thread busy for longer than the
    // interval delays a session's end but does not lose it, and a session used
    // all along stays open while an idle one ends.
    void busyMainThreadLosesNoEnd()
    {
        const QByteArray oIdle = openSession();
        const QByteArray oUsed = openSession();
        QVERIFY(!oIdle.isEmpty() && !oUsed.isEmpty());
        QElapsedTimer oTimer;
        oTimer.start();
        while (oTimer.elapsed() < 600) {
            QVERIFY(!m_poRegistry->find(oUsed, client()).isNull());
            QThread::msleep(50);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!isOpen(oIdle), 3000);
        QVERIFY(isOpen(oUsed));
        QTRY_VERIFY_WITH_TIMEOUT(!isOpen(oUsed), 3000);
        QCOMPARE(m_poRegistry->count(), 0);
    }

    // A closed session's unfetched results go one session time-out (250 ms
    // here) after the close, on the registry's clock: fetchable until then.
    void closedSessionResultsGoLater()
    {
        LogCapture oLog;
        const QByteArray oSession = openSession();
        QVERIFY(!oSession.isEmpty());
        const QByteArray oCmd = newId();
        const QByteArray oKept = newId();
        for (const QByteArray &oId : {oCmd, oKept})
            QCOMPARE(start(oSession, "Echo", params({{"data", "late"}}), oId).iStatusCode, 202);
        QTRY_VERIFY(oLog.has(saved(oSession, oCmd)) && oLog.has(saved(oSession, oKept)));
        QElapsedTimer oSinceClose;
        oSinceClose.start();
        m_poRegistry->close(m_poRegistry->find(oSession, client()));
        QCOMPARE(fetch(oSession, oKept).iStatusCode, 200);
        QTRY_VERIFY(oLog.has(QStringLiteral("Results of closed session ") + logId(oSession)));
        QVERIFY(oSinceClose.elapsed() >= 250);
        QCOMPARE(fetch(oSession, oCmd).iStatusCode, 419);
    }

    // CLOSE_SESSION on another connection after the job was accepted, before its
    // function ran: the module stays until the job is done with it, then goes.
    void acceptedJobKeepsItsModule()
    {
        DllManager *poManager = &modules();
        const QByteArray oSession = newId();
        QVERIFY(poManager->loadModuleForSession("JobsProbe", oSession));
        // The test's own session lets go of the module for a while.
        QVERIFY(QMetaObject::invokeMethod(poManager, "unloadModuleExecutor", Qt::DirectConnection,
                                          Q_ARG(QByteArray, m_oSession)));
        QCOMPARE(poManager->getModule("JobsProbe"), m_poModule);
        const QByteArray oCmd = newId();
        // A GUI job: its function runs from the main thread's event loop, not before.
        QCOMPARE(start(oSession, "GuiEcho", tRequestMap(), oCmd).iStatusCode, 202);
        QVERIFY(QMetaObject::invokeMethod(poManager, "unloadModuleExecutor", Qt::DirectConnection,
                                          Q_ARG(QByteArray, oSession)));
        QVERIFY(m_poModule->getSessions().isEmpty());
        QCOMPARE(poManager->getModule("JobsProbe"), m_poModule);
        QVERIFY(m_poModule->isLoaded());
        const CommandResult oDone = awaitResult([&] { return fetch(oSession, oCmd); });
        QCOMPARE(oDone.iStatusCode, 200);
        QVERIFY(oDone.oBody.startsWith("gui:"));
        QTRY_VERIFY(!poManager->getModule("JobsProbe"));

        QVERIFY(poManager->loadModuleForSession("JobsProbe", m_oSession));
        m_poModule = poManager->getModule("JobsProbe");
        QVERIFY(m_poModule);
    }

    // Jobs beyond the threads wait for one; a session ending meanwhile ends them
    // without running them, and their module references come back.
    void waitingJobEndsWithoutRunning()
    {
        const QList<QByteArray> oBlockers{newId(), newId(), newId(), newId()};
        for (const QByteArray &oCmd : oBlockers)
            QCOMPARE(start("Block", params({{"gate", "pool"}}), oCmd).iStatusCode, 202);
        QTRY_COMPARE(jobsGateWaiting("pool"), 4);
        const QByteArray oSession = newId();
        const QByteArray oWaiting = newId();
        QCOMPARE(start(oSession, "Echo", params({{"data", "never"}}), oWaiting).iStatusCode, 202);
        QCOMPARE(m_poModule->getUsage(), quint64(5));
        QCOMPARE(threadCount(), m_iThreads + 4);  // the pool is full: no fifth thread
        QCOMPARE(fetch(oSession, oWaiting).iStatusCode, 202);
        // Ended as a session time-out ends it: no wait, the reference is back.
        QVERIFY(m_poLauncher->RemoveAllForSession(oSession));
        QCOMPARE(m_poModule->getUsage(), quint64(4));
        jobsGateOpen("pool");
        for (const QByteArray &oCmd : oBlockers)
            QCOMPARE(await(oCmd).iStatusCode, 200);
        QTest::qWait(50);
        QCOMPARE(fetch(oSession, oWaiting).iStatusCode, 419);
    }

    // limits/maxJobs (8 here): the ninth ordinary job at once is refused with a
    // clear reply and one log line; every accepted job still delivers.
    void jobLimit()
    {
        LogCapture oLog;
        QList<QByteArray> oAccepted;
        for (int i = 0; i < 8; ++i) {
            oAccepted << newId();
            QCOMPARE(start("Block", params({{"gate", "limit"}}), oAccepted.last()).iStatusCode, 202);
        }
        QCOMPARE(text(start("Echo", params({{"data", "x"}}), newId())),
                 QByteArray("503 Service Unavailable|The QTX server is running too many jobs. Try again later."));
        QVERIFY(oLog.has(QStringLiteral("WARN CLauncher::ProcessCommand :: Job refused: 8 jobs are running or waiting")));
        jobsGateOpen("limit");
        for (const QByteArray &oCmd : oAccepted)
            QCOMPARE(await(oCmd).iStatusCode, 200);
        const QByteArray oAfter = newId();
        QCOMPARE(start("Echo", params({{"data", "x"}}), oAfter).iStatusCode, 202);
        QCOMPARE(await(oAfter).iStatusCode, 200);
    }

    // limits/maxResultsPerSession (20 here) counts unfetched results and running jobs.
    void resultLimit()
    {
        LogCapture oLog;
        const QByteArray oSession = newId();
        QList<QByteArray> oCmds;
        for (int i = 0; i < 20; ++i) {
            oCmds << newId();
            QCOMPARE(start(oSession, "Echo", params({{"data", "r"}}), oCmds.last()).iStatusCode, 202);
            QTRY_VERIFY(oLog.has(saved(oSession, oCmds.last())));
        }
        QCOMPARE(text(start(oSession, "Echo", params({{"data", "r"}}), newId())),
                 QByteArray("503 Service Unavailable|Too many unfetched results in this session. Fetch them with GET_RESULT first."));
        // Other sessions are not affected; fetching makes room.
        const QByteArray oOther = newId();
        QCOMPARE(start("Echo", params({{"data", "o"}}), oOther).iStatusCode, 202);
        QCOMPARE(await(oOther).iStatusCode, 200);
        QCOMPARE(fetch(oSession, oCmds.first()).iStatusCode, 200);
        const QByteArray oNext = newId();
        QCOMPARE(start(oSession, "Echo", params({{"data", "r"}}), oNext).iStatusCode, 202);
        QVERIFY(m_poLauncher->RemoveAllForSession(oSession));
    }

    // limits/maxResultsPerClient (30 here) counts the stored results of all
    // sessions of one account; another account is not affected, and a session
    // that ends gives its share back.
    void accountResultLimit()
    {
        const auto startAs = [&](qint64 v_iOwner, const QByteArray &v_oSession) {
            JobRequest oJob = job(v_oSession, "Echo", params({{"data", "a"}}), newId());
            oJob.iSessionOwner = v_iOwner;
            LogCapture oLog;
            const CommandResult oResult = m_poLauncher->ProcessCommand(oJob);
            if (oResult.iStatusCode == 202 && !QTest::qWaitFor([&] { return oLog.has(saved(v_oSession, oJob.oCommandId)); }))
                return 0;
            return oResult.iStatusCode;
        };
        const QByteArray oFirst = newId();
        const QByteArray oSecond = newId();
        for (int i = 0; i < 20; ++i)
            QCOMPARE(startAs(1000, oFirst), 202);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(startAs(1000, oSecond), 202);
        QCOMPARE(startAs(1000, oSecond), 503);
        QCOMPARE(startAs(1000, newId()), 503);
        const QByteArray oOtherAccount = newId();
        QCOMPARE(startAs(2000, oOtherAccount), 202);
        QVERIFY(m_poLauncher->RemoveAllForSession(oFirst));
        QCOMPARE(startAs(1000, oSecond), 202);
        QVERIFY(m_poLauncher->RemoveAllForSession(oSecond));
        QVERIFY(m_poLauncher->RemoveAllForSession(oOtherAccount));
    }

    // The end of the application waits for the functions that run on the pool and
    // joins their threads before exit() destroys what they use; a job still
    // waiting for a thread never starts. A child process (this executable) runs
    // as many blocked jobs as there are threads plus one waiting and returns from
    // main while they block; the gate opens a moment later.
    void exitWaitsForRunningJobs()
    {
        QProcess oChild;
        QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
        oEnv.insert(QStringLiteral("QTX_JOBS_EXIT_CHILD"), QStringLiteral("1"));
        oChild.setProcessEnvironment(oEnv);
        oChild.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        oChild.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(oChild.waitForFinished(60000));
        const QByteArray oOut = oChild.readAllStandardOutput();
        QCOMPARE(oChild.exitStatus(), QProcess::NormalExit);
        QCOMPARE(oChild.exitCode(), 0);
        QVERIFY2(oOut.contains("child: 4 running, 1 waiting"), oOut.constData());
        // Before: none returned (the process ended under them), or five.
        QCOMPARE(oOut.count("job function returned\n"), 4);
    }

    // Without a command file a command is only what the module itself exports.
    void foreignSymbolsAreNoCommands()
    {
        for (const char *pName : {"qtxJobsGateWait", "abort", "IsGuiFunction", "_init"})
            QCOMPARE(start(pName, tRequestMap(), newId()).iStatusCode, 404);
    }
};

// The child of exitWaitsForRunningJobs: four Block jobs on the pool's four
// threads, a fifth waiting for one, and main returns while they block.
static int exitChild(int argc, char **argv)
{
    QApplication oApp(argc, argv);
    registerQtxMetaTypes();
    const QByteArray oSession = newId();
    CLauncher *poLauncher = &launcher();
    if (!modules().loadModuleForSession("JobsProbe", oSession))
        return 2;
    for (int i = 0; i < 5; ++i)
        if (poLauncher->ProcessCommand(job(oSession, "Block", params({{"gate", "exit"}}), newId())).iStatusCode != 202)
            return 3;
    if (!QTest::qWaitFor([] { return jobsGateWaiting("exit") == 4; }, 20000))
        return 4;
    std::printf("child: %d running, %d waiting\n", jobsGateWaiting("exit"), CThreadWorker::JobsInFlight() - jobsGateWaiting("exit"));
    std::fflush(stdout);
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        jobsGateOpen("exit");
    }).detach();
    return 0;
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("QTX_JOBS_EXIT_CHILD"))
        return exitChild(argc, argv);
    QApplication oApp(argc, argv);
    oApp.setAttribute(Qt::AA_Use96Dpi, true);
    TstJobs oTest;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&oTest, argc, argv);
}
#include "tst_jobs.moc"
