// Soak of the job launcher and the session registry's idle clock: 100 sessions, each
// running 100 short Hasher jobs from four "handler" threads, while finished
// sessions time out behind them (300 ms idle). Checks that every result
// arrives exactly once, that the thread count returns to its starting value
// and that the resident memory ends within 5% of its starting value.
//
//   soak_jobs [sessions] [jobs per session] [rounds]
//
// A warm-up round of the same shape comes first, so that first-use
// allocations (module load, logger streams, the allocator's per-thread arenas)
// are part of the starting value; the measured rounds follow.

#include "clauncher.h"
#include "dllmanager.h"
#include "httpresponse.h"
#include "httptestsupport.h"
#include "jobrequest.h"
#include "qtxtypes.h"
#include "sessionregistry.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int kDrivers = 4;
const int kWindow = 8;  // jobs in flight per session

struct Counters
{
    std::atomic<int> iStarted{0};
    std::atomic<int> iDelivered{0};
    std::atomic<int> iWrongBody{0};
    std::atomic<int> iDuplicated{0};
    std::atomic<int> iLost{0};
    std::atomic<int> iRefused{0};
};

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Bytes the program holds on the heap, all arenas together.
long heapInUseKiB()
{
    return long(mallinfo2().uordblks / 1024);
}

long rssKiB()
{
    malloc_trim(0);
    QFile oFile(QStringLiteral("/proc/self/statm"));
    if (!oFile.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> oFields = oFile.readAll().simplified().split(' ');
    return oFields.size() > 1 ? oFields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Sessions end after this much idle time; a closed one's results stay as long.
constexpr int kIdleMs = 300;

// The module manager and the launcher as the server makes them: once, on the
// main thread, for the process; the module folder is the build's modules/.
DllManager &modules()
{
    static DllManager *s_poModules = new DllManager(
        ModuleManagerConfig{{QCoreApplication::applicationDirPath() + QStringLiteral("/" QTX_SOAK_MODULES)}, ModuleLoadRules()});
    return *s_poModules;
}

CLauncher &launcher()
{
    static CLauncher *s_poLauncher = [] {
        LauncherLimits oLimits;
        oLimits.jobThreadIdleMs = 200;
        return new CLauncher(&modules(), oLimits);
    }();
    return *s_poLauncher;
}

class Soak
{
public:
    Soak(SessionRegistry *v_poSessions, Counters *v_poCounters)
        : m_poSessions(v_poSessions)
        , m_poCounters(v_poCounters)
    {
    }

    QByteArray openSession()
    {
        auto poRequest = httptest::parse("POST /OPEN_SESSION HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
        norrweb::HttpResponse oResponse(nullptr);
        SessionRegistry::Opened eOpened = SessionRegistry::Opened::Refused;
        const QByteArray oSession = m_poSessions->open(*poRequest, oResponse, kClient, &eOpened).getId();
        m_poSessions->addModule(oSession, "Hasher");
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        m_oSessions << oSession;
        return oSession;
    }

    // Runs v_iJobs jobs of one session, kWindow at a time, as a page would:
    // start, poll until 200, poll once more (must be 419). Every request
    // restarts the session's clock; afterwards the session is left to time out.
    void runSession(int v_iJobs)
    {
        const QByteArray oSession = openSession();
        CLauncher *poLauncher = &launcher();
        struct Pending
        {
            QByteArray oCmd;
            QByteArray oExpected;
            QElapsedTimer oSince;
        };
        std::vector<Pending> oPending;
        int iNext = 0;
        while (iNext < v_iJobs || !oPending.empty()) {
            while (iNext < v_iJobs && int(oPending.size()) < kWindow) {
                JobRequest oJob;
                oJob.oLibraryName = "Hasher";
                oJob.oSessionId = oSession;
                oJob.oCommandId = QUuid::createUuid().toByteArray();
                oJob.oCommand = "Sha256";
                const QByteArray oData = oSession + '/' + QByteArray::number(iNext++);
                oJob.oRequestMap.insert("data", oData);
                m_poSessions->find(oSession, kClient);
                const CommandResult oStarted = poLauncher->ProcessCommand(oJob);
                if (oStarted.iStatusCode != 202) {
                    ++m_poCounters->iRefused;
                    continue;
                }
                ++m_poCounters->iStarted;
                Pending oJobState{oJob.oCommandId,
                                  QCryptographicHash::hash(oData, QCryptographicHash::Sha256).toHex(), {}};
                oJobState.oSince.start();
                oPending.push_back(oJobState);
            }
            for (auto it = oPending.begin(); it != oPending.end();) {
                JobRequest oFetch;
                oFetch.oSessionId = oSession;
                oFetch.oCommandId = it->oCmd;
                m_poSessions->find(oSession, kClient);
                const CommandResult oResult = poLauncher->GetResult(oFetch);
                if (oResult.iStatusCode == 202 && it->oSince.elapsed() < 30000) {
                    ++it;
                    continue;
                }
                if (oResult.iStatusCode == 200) {
                    ++m_poCounters->iDelivered;
                    if (!oResult.oBody.contains(it->oExpected))
                        ++m_poCounters->iWrongBody;
                    if (poLauncher->GetResult(oFetch).iStatusCode != 419)
                        ++m_poCounters->iDuplicated;
                } else {
                    ++m_poCounters->iLost;
                }
                it = oPending.erase(it);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    void run(int v_iSessions, int v_iJobs)
    {
        std::atomic<int> iNextSession{0};
        std::vector<std::thread> oDrivers;
        for (int i = 0; i < kDrivers; ++i) {
            oDrivers.emplace_back([&] {
                while (iNextSession++ < v_iSessions)
                    runSession(v_iJobs);
            });
        }
        for (std::thread &oDriver : oDrivers)
            oDriver.join();
    }

    // All sessions timed out: none open, no loaded module.
    bool settled()
    {
        std::lock_guard<std::mutex> oGuard(m_oMutex);
        for (const QByteArray &oSession : qAsConst(m_oSessions)) {
            if (m_poSessions->isOpen(oSession))
                return false;
        }
        return modules().getModule("Hasher") == nullptr;
    }

private:
    static constexpr norrweb::HttpSessionClient kClient{1000, false, -1};
    SessionRegistry *m_poSessions;
    Counters *m_poCounters;
    std::mutex m_oMutex;
    QList<QByteArray> m_oSessions;
};

// Runs v_oWork on a thread of its own while the main thread's event loop turns,
// then waits until the sessions have settled and the deferred deletions ran.
void runWithEventLoop(QCoreApplication &v_oApp, Soak &v_oSoak, const std::function<void()> &v_oWork)
{
    std::atomic<bool> bDone{false};
    std::thread oWork([&] {
        v_oWork();
        bDone = true;
    });
    QTimer oCheck;
    QObject::connect(&oCheck, &QTimer::timeout, [&] {
        if (bDone && v_oSoak.settled())
            v_oApp.quit();
    });
    oCheck.start(50);
    v_oApp.exec();
    oWork.join();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

int main(int argc, char **argv)
{
    // One thread per job makes glibc open an arena per concurrently running
    // thread (up to 8 per core); their free lists fragment and keep resident
    // memory growing slowly while the heap in use stays flat. One arena makes
    // the resident size measure the program rather than the allocator. Set
    // MALLOC_ARENA_MAX to measure with another allocator setting.
    const bool bArenaFromEnvironment = qEnvironmentVariableIsSet("MALLOC_ARENA_MAX");
    if (!bArenaFromEnvironment)
        mallopt(M_ARENA_MAX, 1);
    registerQtxMetaTypes();
    QCoreApplication oApp(argc, argv);
    // The HTTP classes trace every request and session through qDebug.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int iSessions = argc > 1 ? atoi(argv[1]) : 100;
    const int iJobs = argc > 2 ? atoi(argv[2]) : 100;
    const int iRounds = argc > 3 ? atoi(argv[3]) : 3;

    httptest::ScratchSettings oStoreSettings(QStringLiteral("sessions"));
    SessionRegistry::Limits oSessionLimits;
    oSessionLimits.closedGraceMs = kIdleMs;
    SessionRegistry oStore(oStoreSettings.get(), kIdleMs, oSessionLimits, &modules(), &launcher());

    const int iThreadsAtStart = threadCount();
    const long iRssAtStart = rssKiB();

    Counters oWarmCounters;
    Soak oWarm(&oStore, &oWarmCounters);
    runWithEventLoop(oApp, oWarm, [&] { oWarm.run(iSessions, iJobs); });
    const int iThreadsBase = threadCount();
    const long iRssBase = rssKiB();
    const long iHeapBase = heapInUseKiB();

    Counters oCounters;
    QElapsedTimer oClock;
    oClock.start();
    QList<long> oRssRounds;
    QList<long> oHeapRounds;
    int iThreadsEnd = 0;
    for (int i = 0; i < iRounds; ++i) {
        Soak oSoak(&oStore, &oCounters);
        runWithEventLoop(oApp, oSoak, [&] { oSoak.run(iSessions, iJobs); });
        iThreadsEnd = threadCount();
        oRssRounds << rssKiB();
        oHeapRounds << heapInUseKiB();
        if (iThreadsEnd != iThreadsBase)
            break;
    }
    const qint64 iElapsed = oClock.elapsed();
    const long iRssEnd = oRssRounds.isEmpty() ? 0 : oRssRounds.last();

    const int iExpected = iSessions * iJobs * iRounds;
    const double dRssRatio = iRssBase > 0 ? double(iRssEnd) / double(iRssBase) : 0.0;
    std::printf("soak_jobs: %d rounds of %d sessions x %d jobs in %lld ms (%.0f jobs/s)\n", iRounds, iSessions, iJobs,
                static_cast<long long>(iElapsed), iElapsed > 0 ? iExpected * 1000.0 / iElapsed : 0.0);
    std::printf("  jobs started %d, results delivered %d (expected %d), wrong %d, duplicated %d, lost %d, refused %d\n",
                oCounters.iStarted.load(), oCounters.iDelivered.load(), iExpected, oCounters.iWrongBody.load(),
                oCounters.iDuplicated.load(), oCounters.iLost.load(), oCounters.iRefused.load());
    std::printf("  threads: at start %d, after warm-up %d, at end %d\n", iThreadsAtStart, iThreadsBase, iThreadsEnd);
    QByteArray oRounds;
    for (long iRss : qAsConst(oRssRounds))
        oRounds += QByteArray::number(qlonglong(iRss)) + ' ';
    QByteArray oHeap;
    for (long iHeap : qAsConst(oHeapRounds))
        oHeap += QByteArray::number(qlonglong(iHeap)) + ' ';
    std::printf("  allocator arenas: %s\n", bArenaFromEnvironment ? qgetenv("MALLOC_ARENA_MAX").constData() : "1");
    std::printf("  heap in use KiB: after warm-up %ld, after each round %s\n", iHeapBase, oHeap.constData());
    std::printf("  RSS KiB: at start %ld, after warm-up %ld, after each round %s(end %.2f%% of warm-up)\n", iRssAtStart,
                iRssBase, oRounds.constData(), dRssRatio * 100.0);

    const bool bOk = oCounters.iDelivered == iExpected && oCounters.iStarted == iExpected && oCounters.iWrongBody == 0
                     && oCounters.iDuplicated == 0 && oCounters.iLost == 0 && iThreadsEnd == iThreadsBase
                     && dRssRatio <= 1.05;
    std::printf("soak_jobs: %s\n", bOk ? "PASS" : "FAIL");
    return bOk ? 0 : 1;
}
