// The exception family: traces of chained causes, what() bytes, and
// type-preserving clone/raise across a thread boundary.

#include "qtxexceptions.h"

#include <QFuture>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <memory>

class TestExceptions : public QObject
{
    Q_OBJECT
private slots:
    void traceWithoutCauseIsTheMessage();
    void traceOfAChain();
    void whatIsUtf8AndFollowsCopies();
    void cloneAndRaiseKeepTheDynamicType();
    void typeSurvivesQtConcurrent();
    void detailMessages();
};

void TestExceptions::traceWithoutCauseIsTheMessage()
{
    BaseException oError(QStringLiteral("plain failure"));
    QCOMPARE(oError.getStackTrace(), QStringLiteral("plain failure"));
    QCOMPARE(oError.getInner(), nullptr);
}

void TestExceptions::traceOfAChain()
{
    const OpenProcessException oRoot(QStringLiteral("OpenProcess with pid: 7 Error: 13"),
                                     QString::fromLatin1(kQtxUnexpectedErrorDetail));
    const BaseException oMiddle(QStringLiteral("middle"), oRoot);
    BaseException oTop(QStringLiteral("top"), oMiddle);

    QCOMPARE(oTop.getStackTrace(), QStringLiteral("top\n\tmiddle\n\tOpenProcess with pid: 7 Error: 13"));
    QCOMPARE(oTop.getStackTrace().count(QLatin1Char('\n')), 2);
    // The cause is held as a clone with its own type, not sliced to the base.
    QVERIFY(dynamic_cast<const BaseException *>(oTop.getInner()));
    QVERIFY(dynamic_cast<const OpenProcessException *>(oTop.getInner()->getInner()));
}

void TestExceptions::whatIsUtf8AndFollowsCopies()
{
    const QString oText = QStringLiteral("Zażółć gęślą jaźń €");
    UnsupportedCharsException oError(oText);
    QCOMPARE(QByteArray(oError.what()), oText.toUtf8());

    UnsupportedCharsException oCopy(oError);
    QVERIFY(oCopy.what() != oError.what()); // each object owns its buffer
    QCOMPARE(QByteArray(oCopy.what()), oText.toUtf8());

    NotImplementedException oOther(QStringLiteral("x"));
    oOther = NotImplementedException(QStringLiteral("assigned"));
    QCOMPARE(QByteArray(oOther.what()), QByteArray("assigned"));
}

void TestExceptions::cloneAndRaiseKeepTheDynamicType()
{
    const OpenProcessException oOriginal(QStringLiteral("OpenProcess with pid: 1 Error: 1"), QStringLiteral("d"));
    std::unique_ptr<QException> poClone(static_cast<const QException &>(oOriginal).clone());
    bool bCaughtAsSubclass = false;
    try {
        poClone->raise();
    } catch (const OpenProcessException &oCaught) {
        bCaughtAsSubclass = true;
        QCOMPARE(oCaught.getDetailMessage(), QStringLiteral("d"));
    } catch (const ProcessUtilsImplException &) {
        QFAIL("sliced to ProcessUtilsImplException");
    } catch (...) {
        QFAIL("unexpected type");
    }
    QVERIFY(bCaughtAsSubclass);

    // A UserServerPortException is not part of the platform family.
    try {
        UserServerPortException(QStringLiteral("m"), QStringLiteral("d")).raise();
        QFAIL("not thrown");
    } catch (const ProcessUtilsImplException &) {
        QFAIL("UserServerPortException caught as ProcessUtilsImplException");
    } catch (const UserServerPortException &oCaught) {
        QCOMPARE(oCaught.getDetailMessage(), QStringLiteral("d"));
    }
}

void TestExceptions::typeSurvivesQtConcurrent()
{
    QThread *poCaller = QThread::currentThread();
    QFuture<void> oFuture = QtConcurrent::run([poCaller] {
        if (QThread::currentThread() == poCaller)
            return;
        throw GetExtendedTcpTableException(
            QStringLiteral("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: 5"),
            QString::fromLatin1(kQtxUnexpectedErrorDetail));
    });
    try {
        oFuture.waitForFinished();
        QFAIL("no exception crossed the thread");
    } catch (const GetExtendedTcpTableException &oCaught) {
        QCOMPARE(QByteArray(oCaught.what()),
                 QByteArray("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: 5"));
    }
}

void TestExceptions::detailMessages()
{
    const ActiveSessionException oError(QStringLiteral("m"), QStringLiteral("More than one user already logged in."));
    const ProcessUtilsImplException &oBase = oError;
    QCOMPARE(oBase.getDetailMessage(), QStringLiteral("More than one user already logged in."));
}

QTEST_GUILESS_MAIN(TestExceptions)
#include "tst_exceptions.moc"
