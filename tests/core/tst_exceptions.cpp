// The exception family: traces of chained causes, what() bytes, and
// type-preserving rethrow across a thread boundary.

#include "qtxexceptions.h"

#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

class TestExceptions : public QObject
{
    Q_OBJECT
private slots:
    void chainsAndMessages();
    void typeSurvivesRethrow();
};

void TestExceptions::chainsAndMessages()
{
    QCOMPARE(BaseException(QStringLiteral("plain failure")).getStackTrace(), QStringLiteral("plain failure"));
    QCOMPARE(BaseException(QStringLiteral("plain failure")).getInner(), nullptr);
    const OpenProcessException oRoot(QStringLiteral("OpenProcess with pid: 7 Error: 13"),
                                     QString::fromLatin1(kQtxUnexpectedErrorDetail));
    const BaseException oMiddle(QStringLiteral("middle"), oRoot);
    BaseException oTop(QStringLiteral("top"), oMiddle);
    QCOMPARE(oTop.getStackTrace(), QStringLiteral("top\n\tmiddle\n\tOpenProcess with pid: 7 Error: 13"));
    // The cause is held as a clone with its own type, not sliced to the base.
    QVERIFY(dynamic_cast<const OpenProcessException *>(oTop.getInner()->getInner()));

    const ActiveSessionException oSession(QStringLiteral("m"), QStringLiteral("More than one user already logged in."));
    const ProcessUtilsImplException &oBase = oSession;
    QCOMPARE(oBase.getDetailMessage(), QStringLiteral("More than one user already logged in."));

    // what() is UTF-8, and each copy owns its buffer.
    const QString oText = QStringLiteral("Zażółć gęślą jaźń €");
    UnsupportedCharsException oError(oText);
    UnsupportedCharsException oCopy(oError);
    QCOMPARE(QByteArray(oError.what()), oText.toUtf8());
    QVERIFY(oCopy.what() != oError.what());
    QCOMPARE(QByteArray(oCopy.what()), oText.toUtf8());
    NotImplementedException oOther(QStringLiteral("x"));
    oOther = NotImplementedException(QStringLiteral("assigned"));
    QCOMPARE(QByteArray(oOther.what()), QByteArray("assigned"));
}

void TestExceptions::typeSurvivesRethrow()
{
    // QtConcurrent clones the worker's exception and raises the clone in the caller.
    QThread *poCaller = QThread::currentThread();
    QFuture<void> oFuture = QtConcurrent::run([poCaller] {
        if (QThread::currentThread() != poCaller)
            throw GetExtendedTcpTableException(
                QStringLiteral("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: 5"), QStringLiteral("d"));
    });
    try {
        oFuture.waitForFinished();
        QFAIL("no exception crossed the thread");
    } catch (const GetExtendedTcpTableException &oCaught) {
        QCOMPARE(QByteArray(oCaught.what()),
                 QByteArray("ProcessUtilsWinImpl::getPidOfProcessAtPort GetExtendedTcpTable Error: 5"));
        QCOMPARE(oCaught.getDetailMessage(), QStringLiteral("d"));
    } catch (const ProcessUtilsImplException &) {
        QFAIL("sliced to ProcessUtilsImplException");
    }

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

QTEST_GUILESS_MAIN(TestExceptions)
#include "tst_exceptions.moc"
