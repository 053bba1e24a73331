// HttpSession handles and HttpSessionStore: lookup, cookies, expiry, concurrency.

#include "httpcookie.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsession.h"
#include "httpsessionstore.h"
#include "httptestsupport.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTimer>
#include <QVector>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>
#include <random>

using norrweb::HttpRequest;
using norrweb::HttpResponse;
using norrweb::HttpSession;
using norrweb::HttpSessionStore;
using httptest::ScratchSettings;

namespace {

std::unique_ptr<HttpRequest> requestWithCookie(const QByteArray &v_oCookie)
{
    const QByteArray oCookieLine = v_oCookie.isEmpty() ? QByteArray() : "Cookie: " + v_oCookie + "\r\n";
    return httptest::parse("POST /c HTTP/1.1\r\n" + oCookieLine + "\r\n");
}

qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

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
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }

    void newSessionGetsBracedIdAndDefaultCookie();
    void cookieAttributesFromSettings();
    void sameResponseGivesSameSession();
    void cookieOfLaterRequestFindsSessionAndRenewsIt();
    void unknownCookie_data();
    void unknownCookie();
    void removedSessionLivesOnInHandles();
    void handlesShareAndFreeTheBlock();
    void nullSessionIsInert();
    void sweepRunsEveryMinute();
    void sweepRemovesIdleSessions();
    void sessionIdleForExactlyExpirationSurvives();
    void concurrentUseWhileSweeping();
};

void TestHttpSessionStore::newSessionGetsBracedIdAndDefaultCookie()
{
    ScratchSettings oSettings(QStringLiteral("sessions"));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, "HttpSessionStore: Sessions expire after 3600000 milliseconds");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^HttpSessionStore: create new session with ID \\{"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^HttpRequest: from "));
    HttpSessionStore oStore(oSettings.get());
    auto poRequest = requestWithCookie(QByteArray());
    HttpResponse oResponse(nullptr);
    const qint64 iBefore = now();
    HttpSession oSession = oStore.getSession(*poRequest, oResponse, true);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    QVERIFY(!oSession.isNull());
    const QByteArray oId = oSession.getId();
    QVERIFY2(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                 .match(QString::fromLatin1(oId)).hasMatch(), oId.constData());
    QVERIFY(oSession.getLastAccess() >= iBefore);
    QCOMPARE(oResponse.getAllCookies().size(), 1);
    QCOMPARE(oResponse.getAllCookies().value("sessionid").toHeaderValue(),
             "sessionid=" + oId + "; Max-Age=3600; Version=1");
    QVERIFY(oStore.getSession(oId).getId() == oId);
}

void TestHttpSessionStore::cookieAttributesFromSettings()
{
    ScratchSettings oSettings(QStringLiteral("sessions"),
                              {{QStringLiteral("cookieName"), QStringLiteral("sid")},
                               {QStringLiteral("expirationTime"), 999},
                               {QStringLiteral("cookiePath"), QStringLiteral("/app")},
                               {QStringLiteral("cookieComment"), QStringLiteral("note")},
                               {QStringLiteral("cookieDomain"), QStringLiteral("localhost")}});
    HttpSessionStore oStore(oSettings.get());
    auto poRequest = requestWithCookie(QByteArray());
    HttpResponse oResponse(nullptr);
    const HttpSession oSession = oStore.getSession(*poRequest, oResponse, true);
    // 999 ms / 1000 is 0: no Max-Age attribute.
    QCOMPARE(oResponse.getAllCookies().value("sid").toHeaderValue(),
             "sid=" + oSession.getId() + "; Comment=note; Domain=localhost; Path=/app; Version=1");
}

void TestHttpSessionStore::sameResponseGivesSameSession()
{
    ScratchSettings oSettings(QStringLiteral("sessions"));
    HttpSessionStore oStore(oSettings.get());
    auto poRequest = requestWithCookie(QByteArray());
    HttpResponse oResponse(nullptr);
    const HttpSession oFirst = oStore.getSession(*poRequest, oResponse, true);
    QCOMPARE(oStore.getSessionId(*poRequest, oResponse), oFirst.getId());
    const HttpSession oSecond = oStore.getSession(*poRequest, oResponse, true);
    QCOMPARE(oSecond.getId(), oFirst.getId());
}

void TestHttpSessionStore::cookieOfLaterRequestFindsSessionAndRenewsIt()
{
    ScratchSettings oSettings(QStringLiteral("sessions"));
    HttpSessionStore oStore(oSettings.get());
    QByteArray oId;
    qint64 iCreated = 0;
    {
        auto poRequest = requestWithCookie(QByteArray());
        HttpResponse oResponse(nullptr);
        HttpSession oSession = oStore.getSession(*poRequest, oResponse, false);
        QVERIFY(oSession.isNull());
        QVERIFY(oResponse.getAllCookies().isEmpty());
        oSession = oStore.getSession(*poRequest, oResponse, true);
        oSession.set("user", QStringLiteral("alice"));
        oId = oSession.getId();
        iCreated = oSession.getLastAccess();
    }
    QTRY_VERIFY(now() > iCreated);

    auto poRequest = requestWithCookie("other=1; sessionid=" + oId);
    HttpResponse oResponse(nullptr);
    const HttpSession oSession = oStore.getSession(*poRequest, oResponse, false);
    QCOMPARE(oSession.getId(), oId);
    QCOMPARE(oSession.getAll().value("user").toString(), QStringLiteral("alice"));
    QVERIFY(oSession.getLastAccess() > iCreated);
    QCOMPARE(oResponse.getAllCookies().value("sessionid").getValue(), oId);
}

void TestHttpSessionStore::unknownCookie_data()
{
    QTest::addColumn<bool>("allowCreate");
    QTest::newRow("create allowed") << true;
    QTest::newRow("create refused") << false;
}

void TestHttpSessionStore::unknownCookie()
{
    QFETCH(bool, allowCreate);
    ScratchSettings oSettings(QStringLiteral("sessions"));
    HttpSessionStore oStore(oSettings.get());
    const QByteArray oStale = "{00000000-0000-0000-0000-000000000000}";
    auto poRequest = requestWithCookie("sessionid=" + oStale);
    HttpResponse oResponse(nullptr);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, "HttpSessionStore: received invalid session cookie with ID " + oStale);
    if (allowCreate)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^HttpSessionStore: create new session with ID "));
    const HttpSession oSession = oStore.getSession(*poRequest, oResponse, allowCreate);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCOMPARE(oSession.isNull(), !allowCreate);
    if (allowCreate) {
        QVERIFY(oSession.getId() != oStale);
        QCOMPARE(oResponse.getAllCookies().value("sessionid").getValue(), oSession.getId());
    } else {
        QVERIFY(oResponse.getAllCookies().isEmpty());
    }
}

void TestHttpSessionStore::removedSessionLivesOnInHandles()
{
    ScratchSettings oSettings(QStringLiteral("sessions"));
    HttpSessionStore oStore(oSettings.get());
    auto poRequest = requestWithCookie(QByteArray());
    HttpResponse oResponse(nullptr);
    HttpSession oSession = oStore.getSession(*poRequest, oResponse, true);
    const QByteArray oId = oSession.getId();
    oStore.removeSession(oSession);
    QVERIFY(oStore.getSession(oId).isNull());
    oSession.set("k", 1);
    QVERIFY(oSession.contains("k"));
    QCOMPARE(oSession.getId(), oId);

    // The stale cookie now leads to a new session.
    auto poAgain = requestWithCookie("sessionid=" + oId);
    HttpResponse oSecond(nullptr);
    const HttpSession oNew = oStore.getSession(*poAgain, oSecond, true);
    QVERIFY(oNew.getId() != oId);
}

void TestHttpSessionStore::handlesShareAndFreeTheBlock()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    {
        HttpSession oFirst(true);
        {
            const HttpSession oCopy(oFirst);
            oFirst.set("a", 1);
            QCOMPARE(oCopy.getAll().value("a").toInt(), 1);
        }
        HttpSession oOther(true);
        const qint64 iOtherCreated = oOther.getLastAccess();
        QTRY_VERIFY(now() > iOtherCreated);
        // oFirst's block loses its last handle; oOther's block is marked accessed.
        QTest::ignoreMessage(QtDebugMsg, "HttpSession: deleting old data");
        oFirst = oOther;
        QCOMPARE(oFirst.getId(), oOther.getId());
        QVERIFY(oOther.getLastAccess() > iOtherCreated);
        oFirst = oFirst;
        QVERIFY(!oFirst.isNull());
        QTest::ignoreMessage(QtDebugMsg, "HttpSession: deleting data");
    }
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void TestHttpSessionStore::nullSessionIsInert()
{
    HttpSession oNull;
    QVERIFY(oNull.isNull());
    oNull.set("k", 1);
    oNull.touch();
    QVERIFY(!oNull.contains("k"));
    QVERIFY(oNull.getAll().isEmpty());
    QVERIFY(oNull.getId().isEmpty());
    QCOMPARE(oNull.getLastAccess(), qint64(0));
    const HttpSession oCopy = oNull;
    QVERIFY(oCopy.isNull());
}

void TestHttpSessionStore::sweepRunsEveryMinute()
{
    ScratchSettings oSettings(QStringLiteral("sessions"));
    HttpSessionStore oStore(oSettings.get());
    const QTimer *poTimer = oStore.findChild<QTimer *>();
    QVERIFY(poTimer);
    QVERIFY(poTimer->isActive());
    QCOMPARE(poTimer->interval(), 60000);
}

void TestHttpSessionStore::sweepRemovesIdleSessions()
{
    ScratchSettings oSettings(QStringLiteral("sessions"), {{QStringLiteral("expirationTime"), 20}});
    HttpSessionStore oStore(oSettings.get());
    auto poRequest = requestWithCookie(QByteArray());
    HttpResponse oOld(nullptr);
    const HttpSession oIdle = oStore.getSession(*poRequest, oOld, true);
    QTRY_VERIFY(now() - oIdle.getLastAccess() > 20);
    HttpResponse oNew(nullptr);
    const HttpSession oFresh = oStore.getSession(*poRequest, oNew, true);

    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, "HttpSessionStore: session " + oIdle.getId() + " expired");
    oStore.sessionTimerEvent();
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(oStore.getSession(oIdle.getId()).isNull());
    QCOMPARE(oStore.getSession(oFresh.getId()).getId(), oFresh.getId());
}

void TestHttpSessionStore::sessionIdleForExactlyExpirationSurvives()
{
    // The sweep compares strictly. Retry until a sweep ran entirely within the
    // millisecond that makes the idle time equal to the expiration time.
    const int iExpiration = 2;
    ScratchSettings oSettings(QStringLiteral("sessions"), {{QStringLiteral("expirationTime"), iExpiration}});
    HttpSessionStore oStore(oSettings.get());
    auto poRequest = requestWithCookie(QByteArray());
    bool bChecked = false;
    for (int iAttempt = 0; iAttempt < 200 && !bChecked; ++iAttempt) {
        HttpResponse oResponse(nullptr);
        const HttpSession oSession = oStore.getSession(*poRequest, oResponse, true);
        const qint64 iTarget = oSession.getLastAccess() + iExpiration;
        while (now() < iTarget) {
        }
        const qint64 iBefore = now();
        oStore.sessionTimerEvent();
        const qint64 iAfter = now();
        if (iBefore == iTarget && iAfter == iTarget) {
            QVERIFY(!oStore.getSession(oSession.getId()).isNull());
            bChecked = true;
        }
        oStore.removeSession(oSession);
    }
    QVERIFY(bChecked);

    // One millisecond more and it goes.
    HttpResponse oResponse(nullptr);
    const HttpSession oSession = oStore.getSession(*poRequest, oResponse, true);
    const qint64 iLast = oSession.getLastAccess();
    QTRY_VERIFY(now() > iLast + iExpiration);
    oStore.sessionTimerEvent();
    QVERIFY(oStore.getSession(oSession.getId()).isNull());
}

void TestHttpSessionStore::concurrentUseWhileSweeping()
{
    g_iCreated = 0;
    g_iFreed = 0;
    std::atomic<int> iFailures{0};
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    const QtMessageHandler pPrevious = qInstallMessageHandler(countingHandler);
    {
        // Expiry at 0 ms makes the sweep remove sessions while the workers use them.
        ScratchSettings oSettings(QStringLiteral("sessions"), {{QStringLiteral("expirationTime"), 0}});
        HttpSessionStore oStore(oSettings.get());
        auto poPlain = requestWithCookie(QByteArray());
        std::mutex oPoolMutex;
        QVector<HttpSession> oPool; // handles passed between threads

        // std::thread: its join is visible to ThreadSanitizer, QThread::wait is not.
        std::vector<std::thread> oWorkers;
        std::atomic<int> iRunning{0};
        const int iThreads = 4;
        const int iRounds = 1500;
        iRunning = iThreads;
        for (int t = 0; t < iThreads; ++t) {
            oWorkers.emplace_back([&, t]() {
                std::mt19937 oRandom(t + 1);
                const QByteArray oKey = "worker" + QByteArray::number(t);
                for (int i = 0; i < iRounds; ++i) {
                    HttpResponse oResponse(nullptr);
                    HttpSession oSession = oStore.getSession(*poPlain, oResponse, true);
                    oSession.set(oKey, i);
                    if (!oSession.contains(oKey) || oSession.getAll().value(oKey).toInt() != i)
                        ++iFailures;
                    if (oResponse.getAllCookies().value("sessionid").getValue() != oSession.getId())
                        ++iFailures;

                    // Find it again by id and through a cookie, as the controller does.
                    HttpSession oById = oStore.getSession(oSession.getId());
                    if (!oById.isNull() && oById.getId() != oSession.getId())
                        ++iFailures;
                    if (i % 16 == 0) {
                        auto poWithCookie = requestWithCookie("sessionid=" + oSession.getId());
                        HttpResponse oSecond(nullptr);
                        const HttpSession oFound = oStore.getSession(*poWithCookie, oSecond, false);
                        if (!oFound.isNull() && oFound.getId() != oSession.getId())
                            ++iFailures;
                    }

                    {
                        std::lock_guard<std::mutex> oLocker(oPoolMutex);
                        oPool.append(oSession);
                        if (oPool.size() > 8)
                            oById = oPool.takeAt(int(oRandom() % oPool.size()));
                    }
                    oById.touch();
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
            oStore.sessionTimerEvent();
            ++iSweeps;
        }
        for (std::thread &oWorker : oWorkers)
            oWorker.join();
        QVERIFY(iSweeps > 0);
        oPool.clear();
    }
    // The store, with its last handles, is gone: every block was freed once.
    qInstallMessageHandler(pPrevious);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCOMPARE(iFailures.load(), 0);
    QCOMPARE(g_iCreated.load(), 4 * 1500);
    QCOMPARE(g_iFreed.load(), g_iCreated.load());
}

QTEST_GUILESS_MAIN(TestHttpSessionStore)
#include "tst_httpsessionstore.moc"
