// Configuration fallbacks and warnings, the log level table, and the log file
// itself: banner, line format and which categories reach it. One process holds
// one configuration, so the INI written at start covers present and absent keys.

#include "csettings.h"
#include "qtxlogger.h"
#include "qtxpaths.h"

#include <log4cpp/Category.hh>

#include <QRegularExpression>
#include <QtTest>

namespace {

const char kIni[] = "[listener]\nwindowsServerMode=TRUE\n[logging2]\nlogLevel=20000\n"
                    "[sslCertificate]\nkeyFile=keys/k.pem\n[timeout]\ninterval=1234\n";

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
    void logFile();
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
    using P = log4cpp::Priority;
    const QList<QPair<int, int>> oTable = {{0, P::DEBUG},      {-5, P::INFO},      {1, P::INFO},      {10000, P::INFO},
                                           {10001, P::NOTICE}, {20000, P::NOTICE}, {20001, P::WARN},  {30001, P::ERROR},
                                           {40000, P::ERROR},  {40001, P::CRIT},   {50000, P::CRIT},  {50001, P::FATAL}};
    for (const auto &oRow : oTable)
        QTest::newRow(qPrintable(QString::number(oRow.first))) << oRow.first << oRow.second;
}

void TestSettingsLogging::mapLogLevel()
{
    QFETCH(int, value);
    QFETCH(int, priority);
    QCOMPARE(QTXLogger::MapLogLevel(value), priority);
}

void TestSettingsLogging::logFile()
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
    const QStringList oBanner = {"#######################################",
                                 "Starting Quorvex Crypto Provider Server ver. " + qtxBuiltInVersion(),
                                 "WindowsServerMode=true", "LogLevel=NOTICE", "MaxFileSize=5242880", "MaxBackupIndex=10",
                                 "ImmediateFlush=0"};
    for (int i = 0; i < oBanner.size(); ++i)
        QCOMPARE(messageOf(oLines.at(i)), QStringLiteral("ServerLogger::ServerLogger :: ") + oBanner.at(i));
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

    // Which categories reach the file; the warning for an absent key now lands there too.
    QTX_LOG(FileVersionLogger::Instance(), ERROR, "Test::fileVersion") << "never in the server file";
    QTX_LOG(ProcessUtilsLogger::Instance(), WARN, "Test::processUtils") << "in the file";
    QTX_LOG(QTXLogger::Instance(), INFO, "Test::qtx") << "below the NOTICE level";
    QCOMPARE(CSettings::Instance()->ReadListenerPort(), 0);

    QStringList oMessages;
    for (const QString &oLine : readLogLines())
        oMessages << messageOf(oLine);
    QVERIFY(!oMessages.contains(QStringLiteral("Test::fileVersion :: never in the server file")));
    QVERIFY(oMessages.contains(QStringLiteral("Test::processUtils :: in the file")));
    QVERIFY(!oMessages.contains(QStringLiteral("Test::qtx :: below the NOTICE level")));
    QVERIFY(oMessages.contains(
        QStringLiteral("CSettings::ReadVariant :: Value for key: port in group: listener is null")));
}

int main(int argc, char **argv)
{
    QTemporaryDir oConfigHome;
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
