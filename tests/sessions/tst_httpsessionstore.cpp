// HttpSessionStore and HttpSession handles: cookies, lookup, removal, expiry on the session clock, concurrency.

#include "httpcookie.h"
#include "httpresponse.h"
#include "httpsession.h"
#include "httpsessionstore.h"
#include "httptestsupport.h"

#include <QRegularExpression>
#include <QVector>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using norrweb::HttpRequest;
using norrweb::HttpResponse;
using norrweb::HttpSession;
using norrweb::HttpSessionStore;
using httptest::ScratchSettings;

namespace {

std::unique_ptr<HttpRequest> requestWithCookie(const QByteArray &v_oCookie = QByteArray())
{
    const QByteArray oCookieLine = v_oCookie.isEmpty() ? QByteArray() : "Cookie: " + v_oCookie + "\r\n";
    return httptest::parse("POST /c HTTP/1.1\r\nHost: 127.0.0.1\r\n" + oCookieLine + "\r\n");
}

// A session clock the test moves: it starts far from the wall clock and from
// the monotonic one, so a time read from either shows in every comparison.
std::atomic<qint64> g_llClockMs{0};
qint64 testClock() { return g_llClockMs.load(); }

// Counts the session messages of all threads while the stress test runs.
std::atomic<int> g_iCreated{0};
std::atomic<int> g_iFreed{0};
void countingHandler(QtMsgType, const QMessageLogContext &, const QString &v_oText)
{
    if (v_oText.startsWith(QLatin1String("HttpSessionStore: create new session")))
        ++g_iCreated;
    else if (v_oText.startsWith(QLatin1String("HttpSession: deleting")))
        ++g_iFreed;
}

} // namespace

class TestHttpSessionStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("qtx.http.debug=false")); }

    void newSessionCookie_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("attributes");
        QTest::newRow("defaults") << QVariantMap() << QByteArray("sessionid") << QByteArray("; Max-Age=3600; Version=1");
        // 999 ms / 1000 is 0: no Max-Age attribute.
        QTest::newRow("from settings") << QVariantMap{{"cookieName", "sid"}, {"expirationTime", 999}, {"cookiePath", "/app"},
                                                      {"cookieComment", "note"}, {"cookieDomain", "localhost"}}
                                       << QByteArray("sid") << QByteArray("; Comment=note; Domain=localhost; Path=/app; Version=1");
    }
    void newSessionCookie()
    {
        QFETCH(QVariantMap, settings);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, attributes);
        ScratchSettings oSettings(QStringLiteral("sessions"), settings);
        HttpSessionStore oStore(oSettings.get());
        auto poRequest = requestWithCookie();
        HttpResponse oResponse(nullptr);
        const qint64 iBefore = SessionClock::steadyMs();
        const HttpSession oSession = oStore.getSession(*poRequest, oResponse, true);
        const QByteArray oId = oSession.getId();
        QVERIFY2(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                     .match(QString::fromLatin1(oId)).hasMatch(), oId.constData());
        QVERIFY(oSession.getLastAccess() >= iBefore);
        QCOMPARE(oResponse.getAllCookies().size(), 1);
        QCOMPARE(oResponse.getAllCookies().value(name).toHeaderValue(), name + "=" + oId + attributes);
        // Asked twice within one request: the session just made, found in the table, not a second one.
        QCOMPARE(oStore.getSession(*poRequest, oResponse, true).getId(), oId);
    }

    void unknownCookie_data()
    {
        QTest::addColumn<bool>("allowCreate");
        QTest::newRow("create allowed") << true;
        QTest::newRow("create refused") << false;
    }
    void unknownCookie()
    {
        QFETCH(bool, allowCreate);
        ScratchSettings oSettings(QStringLiteral("sessions"));
        HttpSessionStore oStore(oSettings.get());
        const QByteArray oStale = "{00000000-0000-0000-0000-000000000000}";
        auto poRequest = requestWithCookie("sessionid=" + oStale);
        HttpResponse oResponse(nullptr);
        QLoggingCategory::setFilterRules(QStringLiteral("qtx.http.debug=true"));
        // The id itself stays out of the message: a short hash stands for it.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^HttpSessionStore: received invalid session cookie with ID #[0-9a-f]{8}$"));
        if (allowCreate)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^HttpSessionStore: create new session with ID "));
        const HttpSession oSession = oStore.getSession(*poRequest, oResponse, allowCreate);
        QLoggingCategory::setFilterRules(QStringLiteral("qtx.http.debug=false"));
        QCOMPARE(oSession.isNull(), !allowCreate);
        if (allowCreate) {
            QVERIFY(oSession.getId() != oStale);
            QCOMPARE(oResponse.getAllCookies().value("sessionid").getValue(), oSession.getId());
        } else {
            QVERIFY(oResponse.getAllCookies().isEmpty());
        }
    }

    // Sessions belong to the account that opened them: counted, limited and
    // visible per account; the server's own account sees them all.
    void sessionsPerAccount()
    {
        ScratchSettings oSettings(QStringLiteral("sessions"), QVariantMap());
        HttpSessionStore oStore(oSettings.get());
        const norrweb::HttpSessionClient oUser{1000, true, 2};
        const norrweb::HttpSessionClient oOther{1002, false, 2};
        auto poRequest = requestWithCookie();
        QByteArray oOthersId;
        for (int i = 0; i < 2; ++i) {
            HttpResponse oResponse(nullptr);
            bool bRefused = true;
            oOthersId = oStore.getSession(*poRequest, oResponse, true, oOther, &bRefused).getId();
            QVERIFY(!oOthersId.isEmpty() && !bRefused);
        }
        HttpResponse oResponse(nullptr);
        bool bRefused = false;
        QVERIFY(oStore.getSession(*poRequest, oResponse, true, oOther, &bRefused).isNull());
        QVERIFY(bRefused);
        // The other account at its limit leaves the user's count alone.
        const HttpSession oUsers = oStore.getSession(*poRequest, oResponse, true, oUser, &bRefused);
        QVERIFY(!oUsers.isNull() && !bRefused);
        QCOMPARE(oStore.sessionCount(1002), qint64(2));
        QCOMPARE(oStore.sessionCount(1000), qint64(1));

        // Visibility: by id and by cookie.
        QVERIFY(oStore.getSession(oUsers.getId(), oOther).isNull());
        QCOMPARE(oStore.getSession(oOthersId, oUser).getId(), oOthersId);
        auto poWithCookie = requestWithCookie("sessionid=" + oUsers.getId());
        HttpResponse oSecond(nullptr);
        QVERIFY(oStore.getSessionId(*poWithCookie, oSecond, oOther).isEmpty());
        QCOMPARE(oStore.getSessionId(*poWithCookie, oSecond, oUser), oUsers.getId());

        // A removed session gives its place back; handles still held keep working.
        HttpSession oRemoved = oStore.getSession(oOthersId, oOther);
        oStore.removeSession(oRemoved);
        QVERIFY(oStore.getSession(oOthersId).isNull());
        QCOMPARE(oStore.sessionCount(1002), qint64(1));
        QVERIFY(!oStore.getSession(*poRequest, oResponse, true, oOther, &bRefused).isNull());
        oRemoved.set("k", 1);
        QVERIFY(oRemoved.contains("k"));
    }

    void variablesPerAccount_data()
    {
        QTest::addColumn<QList<int>>("sizes");          // value sizes, set in turn
        QTest::addColumn<QList<bool>>("stored");        // whether each was stored
        QTest::addColumn<bool>("twoSessions");          // alternate between two sessions of the account
        // 20-byte limit per session, 30 bytes for the account; the key is one byte.
        QTest::newRow("one session, under") << QList<int>{9, 9} << QList<bool>{true, true} << false;
        QTest::newRow("one session, over its limit") << QList<int>{9, 19} << QList<bool>{true, false} << false;
        QTest::newRow("two sessions, over the account's") << QList<int>{14, 14, 4} << QList<bool>{true, true, false} << true;
    }
    void variablesPerAccount()
    {
        QFETCH(QList<int>, sizes);
        QFETCH(QList<bool>, stored);
        QFETCH(bool, twoSessions);
        ScratchSettings oSettings(QStringLiteral("sessions"), QVariantMap());
        HttpSessionStore oStore(oSettings.get());
        const norrweb::HttpSessionClient oClient{1002, false, -1};
        auto poRequest = requestWithCookie();
        HttpResponse oFirst(nullptr), oSecond(nullptr);  // a response carries the session it made
        const HttpSession aSessions[2] = {oStore.getSession(*poRequest, oFirst, true, oClient),
                                          oStore.getSession(*poRequest, oSecond, true, oClient)};
        const norrweb::HttpSessionVarLimits oLimits{10, 20, 30};
        for (int i = 0; i < sizes.size(); ++i) {
            HttpSession oSession = aSessions[twoSessions ? i % 2 : 0];
            const QByteArray oKey(1, char('a' + i));
            QCOMPARE(oSession.setWithinLimits(oKey, QByteArray(sizes.at(i), 'x'), oLimits), stored.at(i));
            QCOMPARE(oSession.contains(oKey), stored.at(i));
        }
    }

    // The idle clock's look at the table: a session idle for the whole interval
    // goes, a younger one stays and names the next deadline. Every time is the
    // session clock's (monotonic; a moved one here): a wall-clock step, which
    // that clock does not see, neither ends nor prolongs a session, and only a
    // request that finds the session restarts it, not a copy of its handle.
    void takeIdle_data()
    {
        QTest::addColumn<qint64>("idleFor");
        QTest::addColumn<QByteArray>("meanwhile");  // done half an interval after the opening
        QTest::addColumn<bool>("taken");
        QTest::newRow("one ms short") << qint64(999) << QByteArray() << false;
        QTest::newRow("exactly the interval") << qint64(1000) << QByteArray() << true;
        QTest::newRow("longer") << qint64(5000) << QByteArray() << true;
        QTest::newRow("handle copied and assigned") << qint64(1000) << QByteArray("copy") << true;
        QTest::newRow("found by id") << qint64(1000) << QByteArray("find") << false;
        QTest::newRow("found through its cookie") << qint64(1000) << QByteArray("cookie") << false;
    }
    void takeIdle()
    {
        QFETCH(qint64, idleFor);
        QFETCH(QByteArray, meanwhile);
        QFETCH(bool, taken);
        const qint64 iInterval = 1000;
        const qint64 iOpened = 5000;
        g_llClockMs = iOpened;
        ScratchSettings oSettings(QStringLiteral("sessions"));
        HttpSessionStore oStore(oSettings.get(), SessionClock(&testClock));
        auto poRequest = requestWithCookie();
        HttpResponse oResponse(nullptr);
        const HttpSession oSession = oStore.getSession(*poRequest, oResponse, true, norrweb::HttpSessionClient{7, false, -1});
        QCOMPARE(oSession.getLastAccess(), iOpened);
        g_llClockMs += iInterval / 2;
        if (meanwhile == "copy") {
            HttpSession oCopy(oSession);
            HttpSession oAssigned;
            oAssigned = oCopy;
            oAssigned = oSession;
        } else if (meanwhile == "find") {
            QVERIFY(!oStore.getSession(oSession.getId()).isNull());
        } else if (meanwhile == "cookie") {
            HttpResponse oNext(nullptr);
            QVERIFY(!oStore.getSession(*requestWithCookie("sessionid=" + oSession.getId()), oNext, false).isNull());
        }
        const qint64 iLast = oSession.getLastAccess();
        QCOMPARE(iLast, meanwhile.isEmpty() || meanwhile == "copy" ? iOpened : iOpened + iInterval / 2);
        qint64 iNext = 0;
        const QList<QByteArray> oTaken = oStore.takeIdle(iOpened + idleFor, iInterval, &iNext);
        QCOMPARE(oTaken.contains(oSession.getId()), taken);
        QCOMPARE(oStore.getSession(oSession.getId()).isNull(), taken);
        QCOMPARE(iNext, taken ? qint64(-1) : iLast + iInterval);
        // A taken session no longer counts against its account.
        QCOMPARE(oStore.sessionCount(7), taken ? qint64(0) : qint64(1));
    }

    void concurrentUseWhileSweeping()
    {
        g_iCreated = 0;
        g_iFreed = 0;
        std::atomic<int> iFailures{0};
        QLoggingCategory::setFilterRules(QStringLiteral("qtx.http.debug=true"));
        const QtMessageHandler pPrevious = qInstallMessageHandler(countingHandler);
        {
            // An idle interval of 0 ms makes the clock take sessions while the workers use them.
            ScratchSettings oSettings(QStringLiteral("sessions"));
            HttpSessionStore oStore(oSettings.get());
            auto poPlain = requestWithCookie();
            std::mutex oPoolMutex;
            QVector<HttpSession> oPool; // handles passed between threads

            // std::thread: its join is visible to ThreadSanitizer, QThread::wait is not.
            std::vector<std::thread> oWorkers;
            const int iThreads = 4;
            const int iRounds = 1500;
            std::atomic<int> iRunning{iThreads};
            for (int t = 0; t < iThreads; ++t) {
                oWorkers.emplace_back([&, t]() {
                    std::mt19937 oRandom(t + 1);
                    const QByteArray oKey = "worker" + QByteArray::number(t);
                    for (int i = 0; i < iRounds; ++i) {
                        HttpResponse oResponse(nullptr);
                        HttpSession oSession = oStore.getSession(*poPlain, oResponse, true);
                        oSession.set(oKey, i);
                        if (!oSession.contains(oKey) || oSession.getAll().value(oKey).toInt() != i
                            || oResponse.getAllCookies().value("sessionid").getValue() != oSession.getId())
                            ++iFailures;
                        // Find it again by id or through a cookie, as the controller does.
                        HttpResponse oSecond(nullptr);
                        HttpSession oById =
                            i % 16 ? oStore.getSession(oSession.getId())
                                   : oStore.getSession(*requestWithCookie("sessionid=" + oSession.getId()), oSecond, false);
                        if (!oById.isNull() && oById.getId() != oSession.getId())
                            ++iFailures;

                        {
                            std::lock_guard<std::mutex> oLocker(oPoolMutex);
                            oPool.append(oSession);
                            if (oPool.size() > 8)
                                oById = oPool.takeAt(int(oRandom() % oPool.size()));
                        }
                        oById.touch(oStore.clock().nowMs());
                        oById.set(oKey, -i);
                        oById.getAll();
                        oById = oSession;
                        if (oRandom() % 3 == 0)
                            oStore.removeSession(oSession);
                    }
                    --iRunning;
                });
            }
            int iSweeps = 0;
            while (iRunning.load() > 0) {
                qint64 iNext = 0;
                oStore.takeIdle(oStore.clock().nowMs(), 0, &iNext);
                ++iSweeps;
            }
            for (std::thread &oWorker : oWorkers)
                oWorker.join();
            QVERIFY(iSweeps > 0);
            oPool.clear();
        }
        // The store, with its last handles, is gone: every block was freed once.
        qInstallMessageHandler(pPrevious);
        QLoggingCategory::setFilterRules(QStringLiteral("qtx.http.debug=false"));
        QCOMPARE(iFailures.load(), 0);
        QCOMPARE(g_iCreated.load(), 4 * 1500);
        QCOMPARE(g_iFreed.load(), g_iCreated.load());
    }
};

QTEST_GUILESS_MAIN(TestHttpSessionStore)
#include "tst_httpsessionstore.moc"
