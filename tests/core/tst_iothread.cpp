// The I/O-thread rule: a thread the reactor marks never runs what may block or
// what belongs to a module. Each row runs one call on a fresh thread, marked or
// not, with the violation handler replaced by one that counts.

// The rule's own macro is checked in every build; the call sites inside the
// libraries only where those were built with the checks (a debug build).
#undef QT_NO_DEBUG
#include "qtxthreadcheck.h"

#include "dllmodule.h"
#include "procfs.h"

#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>

Q_DECLARE_METATYPE(std::function<void()>)

namespace {

std::atomic<int> g_iViolations{0};

void countViolation(const char *)
{
    g_iViolations.fetch_add(1);
}

} // namespace

class TestIoThread : public QObject
{
    Q_OBJECT
private slots:
    void blockingCallsAssert_data();
    void blockingCallsAssert();
};

void TestIoThread::blockingCallsAssert_data()
{
    QTest::addColumn<bool>("inLibrary");
    QTest::addColumn<bool>("marked");
    QTest::addColumn<std::function<void()>>("call");
    const std::function<void()> oMacro = [] { QTX_ASSERT_NOT_IO_THREAD(); };
    const std::function<void()> oProcesses = [] {
        QList<qint64> oPids;
        qtxplatform::listPids("/proc", &oPids);
    };
    const std::function<void()> oModuleLoad = [] { DllModule("absent").load(QStringLiteral("/nonexistent/absent")); };
    QTest::newRow("a request worker") << false << false << oMacro;
    QTest::newRow("an I/O thread") << false << true << oMacro;
    QTest::newRow("process table on a worker") << true << false << oProcesses;
    QTest::newRow("process table on an I/O thread") << true << true << oProcesses;
    QTest::newRow("module load on an I/O thread") << true << true << oModuleLoad;
}

void TestIoThread::blockingCallsAssert()
{
    QFETCH(bool, inLibrary);
    QFETCH(bool, marked);
    QFETCH(std::function<void()>, call);
    if (inLibrary && !qtxthread::ioThreadChecksBuilt())
        QSKIP("the libraries were built without the I/O-thread checks (not a debug build)");
    const qtxthread::Violation pPrevious = qtxthread::setViolationHandler(&countViolation);
    g_iViolations = 0;
    std::thread oThread([&] {
        if (marked)
            qtxthread::markIoThread();
        call();
    });
    oThread.join();
    qtxthread::setViolationHandler(pPrevious);
    QCOMPARE(g_iViolations.load(), marked ? 1 : 0);
    QVERIFY(!qtxthread::onIoThread()); // the mark is the marked thread's alone
}

QTEST_GUILESS_MAIN(TestIoThread)
#include "tst_iothread.moc"
