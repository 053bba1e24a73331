// The executable exports the exception classes that modules construct and
// throw (their constructors, destructor, assignment, virtual table and type
// information), read from its dynamic symbol table with nm.

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

class TestExports : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void exported_data();
    void exported();

private:
    QStringList m_symbols;
};

void TestExports::initTestCase()
{
    const QString oNm = QStandardPaths::findExecutable(QStringLiteral("nm"));
    if (oNm.isEmpty())
        QSKIP("nm (binutils) is not installed");
    const QString oExecutable = QStringLiteral(QTX_BINARY_DIR "/bin/QuorvexCryptoProvider");
    QVERIFY2(QFile::exists(oExecutable), qPrintable(oExecutable));
    QProcess oProcess;
    oProcess.start(oNm, {QStringLiteral("-D"), QStringLiteral("-C"), QStringLiteral("--defined-only"), oExecutable});
    QVERIFY(oProcess.waitForFinished(60000));
    QCOMPARE(oProcess.exitCode(), 0);
    // "<address> <type> <demangled name>"
    for (const QByteArray &oLine : oProcess.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> oParts = oLine.split(' ');
        if (oParts.size() >= 3)
            m_symbols << QString::fromLatin1(oLine.mid(oParts[0].size() + oParts[1].size() + 2));
    }
    QVERIFY(!m_symbols.isEmpty());
}

void TestExports::exported_data()
{
    QTest::addColumn<QString>("symbol");
    for (const char *pClass : {"BaseException", "NotImplementedException", "UnsupportedCharsException"}) {
        const QString c = QString::fromLatin1(pClass);
        const QStringList oMembers = {
            c + "::" + c + "(QString const&)",
            c + "::" + c + "(QString const&, BaseException const&)",
            c + "::" + c + "(" + c + " const&)",
            c + "::~" + c + "()",
            c + "::operator=(" + c + " const&)",
            c + "::raise() const",
            c + "::clone() const",
            "vtable for " + c,
            "typeinfo for " + c,
        };
        for (const QString &oSymbol : oMembers)
            QTest::newRow(qPrintable(oSymbol)) << oSymbol;
    }
    QTest::newRow("BaseException::what() const") << QStringLiteral("BaseException::what() const");
    QTest::newRow("BaseException::getStackTrace()") << QStringLiteral("BaseException::getStackTrace()");
}

void TestExports::exported()
{
    QFETCH(QString, symbol);
    QVERIFY2(m_symbols.contains(symbol), qPrintable(QStringLiteral("not exported: ") + symbol));
}

QTEST_GUILESS_MAIN(TestExports)
#include "tst_exports.moc"
