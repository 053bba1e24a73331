// CVersion: the installer version of a signed "ver.ini" beside the executable,
// "0.0.0.INVALID" for every file that is not authentic or not for this build.

#include "cversion.h"
#include "qtxpaths.h"
#include "signtestsupport.h"

#include <QCoreApplication>
#include <QtTest>

using namespace tst;

namespace {

QString verIni()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/ver.ini");
}

QByteArray iniText(const QString &v_oProduct, const char *v_pInstaller)
{
    QByteArray oText = "[General]\nquorvexcryptoprovider=" + v_oProduct.toUtf8() + "\n";
    if (v_pInstaller)
        oText += QByteArray("installer=") + v_pInstaller + "\n";
    return oText;
}

} // namespace

class TstVersion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TST_REQUIRE_SIGNING_KEY();
    }
    void cleanup()
    {
        QFile::remove(verIni());
    }

    void builtInVersionText()
    {
        const QString oVersion = qtxBuiltInVersion();
        QVERIFY2(QRegularExpression(QStringLiteral("^3\\.0\\.16\\.[0-9a-f]{40}$")).match(oVersion).hasMatch(),
                 qPrintable(oVersion));
    }

    void version_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("sign");
        QTest::addColumn<int>("flipAt");  // byte to change after signing, -1 for none
        QTest::addColumn<QString>("expected");
        const QString oInvalid = QStringLiteral("0.0.0.INVALID");
        const QString oBuild = qtxBuiltInVersion();
        QTest::newRow("signed for this build") << iniText(oBuild, "3.1.7") << true << -1 << QStringLiteral("3.1.7");
        QTest::newRow("without installer key") << iniText(oBuild, nullptr) << true << -1 << QString();
        QTest::newRow("tampered text") << iniText(oBuild, "3.1.7") << true << 10 << oInvalid;
        QTest::newRow("tampered signature") << iniText(oBuild, "3.1.7") << true << -100 << oInvalid;
        QTest::newRow("another build")
            << iniText(QStringLiteral("3.0.16.") + QString(40, QLatin1Char('1')), "3.1.7") << true << -1 << oInvalid;
        QTest::newRow("unsigned") << iniText(oBuild, "3.1.7") << false << -1 << oInvalid;
    }

    void version()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, sign);
        QFETCH(int, flipAt);
        QFETCH(QString, expected);
        QVERIFY(sign ? writeSigned(verIni(), text, true) : writeFile(verIni(), text));
        if (flipAt != -1) {
            QByteArray oData = readFile(verIni());
            const int iPos = flipAt >= 0 ? flipAt : oData.size() + flipAt;
            oData[iPos] = char(oData[iPos] ^ 0x02);
            QVERIFY(writeFile(verIni(), oData));
        }
        CVersion oVersion;
        QCOMPARE(oVersion.GetVersion(), expected);
    }

    void missingFile()
    {
        QVERIFY(!QFile::exists(verIni()));
        CVersion oVersion;
        QCOMPARE(oVersion.GetVersion(), QStringLiteral("0.0.0.INVALID"));
    }

    void fileMadeByTheBuild()
    {
        // The build's signed ver.ini names this build and the project version.
        QVERIFY(QFile::copy(QStringLiteral(QTX_BINARY_DIR "/ver.ini"), verIni()));
        CVersion oVersion;
        QCOMPARE(oVersion.GetVersion(), QStringLiteral(QTX_TEST_PROJECT_VERSION));
    }
};

QTEST_GUILESS_MAIN(TstVersion)
#include "tst_version.moc"
