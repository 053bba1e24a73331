// Configuration fallbacks and warnings, the log level table, and the log file
// itself: banner, line format and which categories reach it. One process holds
// one configuration, so the INI written at start covers present and absent keys.

#include "csettings.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <log4cpp/Category.hh>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QTemporaryDir *g_poConfigHome = nullptr;

const char kIni[] =
    "[listener]\n"
    "windowsServerMode=TRUE\n"
    "[logging2]\n"
    "logLevel=20000\n"
    "[sslCertificate]\n"
    "keyFile=keys/k.pem\n"
    "[timeout]\n"
    "interval=1234\n";

QStringList readLogLines()
{
    QFile oFile(CSettings::Instance()->ReadLogFilePath());
    if (!oFile.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(oFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The message part of a log line (after " - ").
QString messageOf(const QString &v_oLine)
{
    const int iPos = v_oLine.indexOf(QLatin1String(" - "));
    return iPos < 0 ? QString() : v_oLine.mid(iPos + 3);
}

} // namespace

class TestSettingsLogging : public QObject
{
    Q_OBJECT
private slots:
    void gettersAndFallbacks();
    void mapLogLevel_data();
    void mapLogLevel();
    void bannerAndLineFormat();
    void categoriesReachingTheFile();
    void cipherList();
};

void TestSettingsLogging::gettersAndFallbacks()
{
    CSettings *poSettings = CSettings::Instance();
    const QString oAppDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');

    QCOMPARE(poSettings->ReadIniFilePath(), oAppDir + QStringLiteral("QuorvexCryptoProvider.ini"));
    QCOMPARE(poSettings->ReadListenerPort(), 0);
    QCOMPARE(poSettings->ReadWindowsServerMode(), true); // "TRUE" in any case counts
    QCOMPARE(poSettings->ReadLogLevel(), 20000);
    QCOMPARE(poSettings->ReadTimeoutInterval(), 1234);
    QCOMPARE(poSettings->ReadDllLoaderDirPaths(), QStringList{oAppDir});

    const auto oFiles = poSettings->ReadSslCertificateCertAndKeyFiles();
    QCOMPARE(oFiles.first, oAppDir + QStringLiteral("./certs/QTX-cert-server.pem"));
    QCOMPARE(oFiles.second, oAppDir + QStringLiteral("keys/k.pem"));

    QCOMPARE(poSettings->ReadLogFilePath(),
             QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))
                 + QStringLiteral("/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"));
}

void TestSettingsLogging::mapLogLevel_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("priority");
    QTest::newRow("0") << 0 << int(log4cpp::Priority::DEBUG);
    QTest::newRow("negative") << -5 << int(log4cpp::Priority::INFO);
    QTest::newRow("1") << 1 << int(log4cpp::Priority::INFO);
    QTest::newRow("10000") << 10000 << int(log4cpp::Priority::INFO);
    QTest::newRow("10001") << 10001 << int(log4cpp::Priority::NOTICE);
    QTest::newRow("20000") << 20000 << int(log4cpp::Priority::NOTICE);
    QTest::newRow("20001") << 20001 << int(log4cpp::Priority::WARN);
    QTest::newRow("30001") << 30001 << int(log4cpp::Priority::ERROR);
    QTest::newRow("40000") << 40000 << int(log4cpp::Priority::ERROR);
    QTest::newRow("40001") << 40001 << int(log4cpp::Priority::CRIT);
    QTest::newRow("50000") << 50000 << int(log4cpp::Priority::CRIT);
    QTest::newRow("50001") << 50001 << int(log4cpp::Priority::FATAL);
}

void TestSettingsLogging::mapLogLevel()
{
    QFETCH(int, value);
    QFETCH(int, priority);
    QCOMPARE(QTXLogger::MapLogLevel(value), priority);
}

void TestSettingsLogging::bannerAndLineFormat()
{
    // A logger that exists before the server logger must end up in its file.
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "Test::early") << "before the file exists";

    QTXLogger::ApplyLoggingSettings();
    QCOMPARE(log4cpp::Category::getRoot().getPriority(), int(log4cpp::Priority::NOTICE));
    QVERIFY(!ServerLogger::Exists());
    ServerLogger::Instance();
    QVERIFY(ServerLogger::Exists());
    QTX_LOG(ModuleToolsLogger::Instance(), NOTICE, "Test::moduleTools") << "after";

    const QStringList oLines = readLogLines();
    QVERIFY2(oLines.size() >= 8, qPrintable(oLines.join(QLatin1Char('\n'))));
    const QString oFunc = QStringLiteral("ServerLogger::ServerLogger :: ");
    const QStringList oExpected = {
        oFunc + QStringLiteral("#######################################"),
        oFunc + QStringLiteral("Starting Quorvex Crypto Provider Server ver. ") + qtxBuiltInVersion(),
        oFunc + QStringLiteral("WindowsServerMode=true"),
        oFunc + QStringLiteral("LogLevel=NOTICE"),
        oFunc + QStringLiteral("MaxFileSize=5242880"),
        oFunc + QStringLiteral("MaxBackupIndex=10"),
        oFunc + QStringLiteral("ImmediateFlush=0"),
    };
    for (int i = 0; i < oExpected.size(); ++i)
        QCOMPARE(messageOf(oLines.at(i)), oExpected.at(i));
    QVERIFY(qtxBuiltInVersion().contains(QRegularExpression(QStringLiteral("^3\\.0\\.16\\.[0-9a-f]{40}$"))));

    // "%d{%Y-%m-%d %H:%M:%S.%l} %u [%t] %p %x - %m%n" with an empty NDC.
    const QRegularExpression oFormat(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\d+ \\[[^\\]]+\\] NOTICE  - "));
    QVERIFY2(oFormat.match(oLines.first()).hasMatch(), qPrintable(oLines.first()));
    QCOMPARE(messageOf(oLines.at(7)), QStringLiteral("Test::moduleTools :: after"));
    QVERIFY(!oLines.join(QLatin1Char('\n')).contains(QLatin1String("before the file exists")));

    QFile oFile(CSettings::Instance()->ReadLogFilePath());
    QCOMPARE(oFile.permissions() & (QFile::WriteGroup | QFile::WriteOther | QFile::ReadOther),
             QFile::ReadOther);
}

void TestSettingsLogging::categoriesReachingTheFile()
{
    QTX_LOG(FileVersionLogger::Instance(), ERROR, "Test::fileVersion") << "never in the server file";
    QTX_LOG(ProcessUtilsLogger::Instance(), WARN, "Test::processUtils") << "in the file";
    QTX_LOG(QTXLogger::Instance(), INFO, "Test::qtx") << "below the NOTICE level";
    // Reading an absent key with warnings now lands in the file.
    QCOMPARE(CSettings::Instance()->ReadListenerPort(), 0);

    const QStringList oMessages = [] {
        QStringList oOut;
        for (const QString &oLine : readLogLines())
            oOut << messageOf(oLine);
        return oOut;
    }();
    QVERIFY(!oMessages.contains(QStringLiteral("Test::fileVersion :: never in the server file")));
    QVERIFY(oMessages.contains(QStringLiteral("Test::processUtils :: in the file")));
    QVERIFY(!oMessages.contains(QStringLiteral("Test::qtx :: below the NOTICE level")));
    QVERIFY(oMessages.contains(
        QStringLiteral("CSettings::ReadVariant :: Value for key: port in group: listener is null")));
}

void TestSettingsLogging::cipherList()
{
    const QList<QSslCipher> oCiphers = CSettings::Instance()->ReadSslEnabledCiphersList();
    QCOMPARE(CSettings::BuiltInCipherString().split(QLatin1Char(':')).size(), 8);
    QVERIFY(!oCiphers.isEmpty());
    for (const QSslCipher &oCipher : oCiphers)
        QVERIFY(CSettings::BuiltInCipherString().split(QLatin1Char(':')).contains(oCipher.name()));
    // Computed once: a second call returns the same list and logs nothing new.
    const int iLinesBefore = readLogLines().size();
    QCOMPARE(CSettings::Instance()->ReadSslEnabledCiphersList(), oCiphers);
    QCOMPARE(readLogLines().size(), iLinesBefore);
    QVERIFY(readLogLines().join(QLatin1Char('\n'))
                .contains(QStringLiteral("Found %1 supported ciphers on list").arg(oCiphers.size())));
}

int main(int argc, char **argv)
{
    QTemporaryDir oConfigHome;
    g_poConfigHome = &oConfigHome;
    qputenv("XDG_CONFIG_HOME", oConfigHome.path().toLocal8Bit());
    QCoreApplication oApp(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kQtxApplicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(kQtxOrganizationName));

    QFile oIni(QCoreApplication::applicationDirPath() + QStringLiteral("/QuorvexCryptoProvider.ini"));
    if (!oIni.open(QIODevice::WriteOnly | QIODevice::Truncate) || oIni.write(kIni) < 0)
        qFatal("cannot write the test INI file");
    oIni.close();

    TestSettingsLogging oTest;
    return QTest::qExec(&oTest, argc, argv);
}

#include "tst_settings_logging.moc"
