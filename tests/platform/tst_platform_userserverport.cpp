// UserServerPort: which account's instance a client is sent to, and how a
// missing instance or an ambiguous logon is reported.

#include "platformtestsupport.h"

#include "csettings.h"
#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"
#include "qtxexceptions.h"
#include "qtxpaths.h"
#include "userserverport.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <cstring>
#include <unistd.h>
#include <utmp.h>

namespace {

const QString kNotFoundDetail =
    QStringLiteral("Could not establish connection with QTX server. Server on user accoutn is probably down.");
const QString kNotFoundMessage =
    QStringLiteral("UserServerPort::getUserServerPortForConnAtSocket, cannot receive user server port!");

// The platform as seen by the lookup: client ports belong to pids, pids to
// accounts, and each account's instance listens on one port.
class FakeProcessUtils : public ProcessUtilsLinuxImpl
{
public:
    QMap<quint16, qint64> pidOfPort;
    QMap<qint64, QString> accountOfPid;
    QMap<QString, quint16> portOfAccount;
    QString lastAccount;
    QString lastName;
    quint16 lastLowest = 0;

    qint64 getPidOfProcessAtPort(quint16 v_uiPort) override { return pidOfPort.value(v_uiPort); }
    QString getDomainAndUsernameForPID(qint64 v_iPid) override
    {
        if (!accountOfPid.contains(v_iPid))
            throw OpenProcessException(QStringLiteral("OpenProcess with pid: %1 Error: 2").arg(v_iPid),
                                       QString::fromLatin1(kQtxUnexpectedErrorDetail));
        return accountOfPid.value(v_iPid);
    }
    QString getNameOfProcessWithPID(qint64) override { return QStringLiteral("QuorvexCryptoProvider"); }
    quint16 getPortOfUserProcess(const QString &v_oAccount, const QString &v_oName, quint16 v_uiLowest) override
    {
        lastAccount = v_oAccount;
        lastName = v_oName;
        lastLowest = v_uiLowest;
        return portOfAccount.value(v_oAccount.toLower());
    }
};

struct Connection
{
    QTcpSocket client;
    QTcpSocket *accepted = nullptr;  // owned by the server
};

bool connectTo(QTcpServer &v_oServer, Connection *v_poConnection)
{
    v_poConnection->client.connectToHost(QHostAddress::LocalHost, v_oServer.serverPort());
    if (!v_poConnection->client.waitForConnected(5000) || !v_oServer.waitForNewConnection(5000))
        return false;
    v_poConnection->accepted = v_oServer.nextPendingConnection();
    return v_poConnection->accepted != nullptr;
}

} // namespace

class TestPlatformUserServerPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void configuredPort();
    void eachClientGetsItsAccountsPort();
    void clientWithoutProcessFails();
    void realLookupFindsOwnInstance();
    void noInstanceForAccount();
    void activeSessionLookup();
    void twoLoggedOnUsersPassActiveSessionException();

private:
    QTcpServer m_dispatcher;
    QString m_iniPath;
    QTemporaryDir m_tmp;
};

void TestPlatformUserServerPort::initTestCase()
{
    isolateUserDataDir();
    qunsetenv("QTX_UTMP_FILE");
    QVERIFY(m_dispatcher.listen(QHostAddress::LocalHost, 0));
    // The configuration is read from the INI file beside the executable.
    m_iniPath = QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kQtxApplicationName)
                + QStringLiteral(".ini");
    QFile oIni(m_iniPath);
    QVERIFY(oIni.open(QIODevice::WriteOnly));
    oIni.write(QStringLiteral("[listener]\nport=%1\nwindowsServerMode=true\n").arg(m_dispatcher.serverPort()).toUtf8());
    oIni.close();
    QCOMPARE(CSettings::Instance()->ReadListenerPort(), int(m_dispatcher.serverPort()));
}

void TestPlatformUserServerPort::cleanupTestCase()
{
    QFile::remove(m_iniPath);
}

void TestPlatformUserServerPort::configuredPort()
{
    QTcpServer oOther;
    QVERIFY(oOther.listen(QHostAddress::LocalHost, 0));
    Connection oAtDispatcher, oElsewhere;
    QVERIFY(connectTo(m_dispatcher, &oAtDispatcher));
    QVERIFY(connectTo(oOther, &oElsewhere));
    FakeProcessUtils oUtils;
    QVERIFY(UserServerPort(&oUtils, oAtDispatcher.accepted).isConnectionAtConfiguredPort());
    QVERIFY(!UserServerPort(&oUtils, oElsewhere.accepted).isConnectionAtConfiguredPort());
    QVERIFY(!UserServerPort(&oUtils, nullptr).isConnectionAtConfiguredPort());
}

void TestPlatformUserServerPort::eachClientGetsItsAccountsPort()
{
    Connection oAlice, oBob;
    QVERIFY(connectTo(m_dispatcher, &oAlice));
    QVERIFY(connectTo(m_dispatcher, &oBob));
    FakeProcessUtils oUtils;
    oUtils.pidOfPort = {{oAlice.accepted->peerPort(), 101}, {oBob.accepted->peerPort(), 202}};
    oUtils.accountOfPid = {{101, QStringLiteral("HOST/Alice")}, {202, QStringLiteral("HOST/bob")}};
    oUtils.portOfAccount = {{QStringLiteral("host/alice"), 40001}, {QStringLiteral("host/bob"), 40002}};
    LogCapture oLog;

    QCOMPARE(UserServerPort(&oUtils, oAlice.accepted).getUserServerPort(), quint16(40001));
    QCOMPARE(oUtils.lastAccount, QStringLiteral("HOST/Alice"));
    QCOMPARE(oUtils.lastName, QStringLiteral("QuorvexCryptoProvider"));
    QCOMPARE(oUtils.lastLowest, m_dispatcher.serverPort());  // the configured port
    QVERIFY(oLog.contains(QStringLiteral("UserServerPort::getUserServerPort :: Read server port(40001) for client pid(101) "
                                         "and username(HOST/Alice) and process with Name (QuorvexCryptoProvider)")));
    QCOMPARE(UserServerPort(&oUtils, oBob.accepted).getUserServerPort(), quint16(40002));
}

void TestPlatformUserServerPort::clientWithoutProcessFails()
{
    // No process owns the client port: pid 0, whose account lookup throws and passes through.
    Connection oClient;
    QVERIFY(connectTo(m_dispatcher, &oClient));
    FakeProcessUtils oUtils;
    QVERIFY_EXCEPTION_THROWN(UserServerPort(&oUtils, oClient.accepted).getUserServerPort(), OpenProcessException);
}

void TestPlatformUserServerPort::realLookupFindsOwnInstance()
{
    // This process plays the user's instance: same account, same executable,
    // listening on the dispatcher's port.
    Connection oClient;
    QVERIFY(connectTo(m_dispatcher, &oClient));
    ProcessUtilsLinuxImpl oUtils;
    QCOMPARE(UserServerPort(&oUtils, oClient.accepted).getUserServerPort(m_dispatcher.serverPort()),
             m_dispatcher.serverPort());
}

void TestPlatformUserServerPort::noInstanceForAccount()
{
    Connection oClient;
    QVERIFY(connectTo(m_dispatcher, &oClient));
    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    try {
        // Nothing of ours listens above the highest port.
        UserServerPort(&oUtils, oClient.accepted).getUserServerPort(65535);
        QFAIL("no exception");
    } catch (const UserServerPortException &e) {
        QCOMPARE(const_cast<UserServerPortException &>(e).getDetailMessage(), kNotFoundDetail);
        QCOMPARE(QString::fromUtf8(e.what()), kNotFoundMessage);
    }
    QCOMPARE(oLog.priorityOf(QStringLiteral("Exception: ") + kNotFoundMessage), QStringLiteral("WARN"));
    QVERIFY(oLog.contains(QStringLiteral("Read server port(0) for client pid(%1)").arg(::getpid())));
}

void TestPlatformUserServerPort::activeSessionLookup()
{
    int iErr = 0;
    const QByteArray oUser = qtxplatform::userNameForUid(::geteuid(), &iErr).toLocal8Bit();
    const QString oPath = m_tmp.path() + QStringLiteral("/utmp-one");
    utmp oRecord;
    std::memset(&oRecord, 0, sizeof(oRecord));
    oRecord.ut_type = USER_PROCESS;
    oRecord.ut_pid = ::getpid();
    std::strncpy(oRecord.ut_user, oUser.constData(), sizeof(oRecord.ut_user));
    std::strncpy(oRecord.ut_line, "tty1", sizeof(oRecord.ut_line));
    QFile oFile(oPath);
    QVERIFY(oFile.open(QIODevice::WriteOnly));
    oFile.write(reinterpret_cast<const char *>(&oRecord), sizeof(oRecord));
    oFile.close();
    qputenv("QTX_UTMP_FILE", QFile::encodeName(oPath));

    ProcessUtilsLinuxImpl oUtils;
    LogCapture oLog;
    QCOMPARE(UserServerPort(&oUtils, nullptr).getUserServerPortForActiveSession(), m_dispatcher.serverPort());
    QCOMPARE(oLog.priorityOf(QStringLiteral("UserServerPort::getUserServerPortForActiveSession :: Read server port(")),
             QStringLiteral("NOTICE"));
    QVERIFY_EXCEPTION_THROWN(UserServerPort(&oUtils, nullptr).getUserServerPortForActiveSession(65535),
                             UserServerPortException);
    qunsetenv("QTX_UTMP_FILE");
}

void TestPlatformUserServerPort::twoLoggedOnUsersPassActiveSessionException()
{
    const QString oPath = m_tmp.path() + QStringLiteral("/utmp-two");
    QByteArray oData;
    for (const char *pUser : {"alice", "bob"}) {
        utmp oRecord;
        std::memset(&oRecord, 0, sizeof(oRecord));
        oRecord.ut_type = USER_PROCESS;
        oRecord.ut_pid = ::getpid();
        std::strncpy(oRecord.ut_user, pUser, sizeof(oRecord.ut_user));
        std::strncpy(oRecord.ut_line, "pts/1", sizeof(oRecord.ut_line));
        oData.append(reinterpret_cast<const char *>(&oRecord), sizeof(oRecord));
    }
    QFile oFile(oPath);
    QVERIFY(oFile.open(QIODevice::WriteOnly));
    oFile.write(oData);
    oFile.close();
    qputenv("QTX_UTMP_FILE", QFile::encodeName(oPath));
    ProcessUtilsLinuxImpl oUtils;
    try {
        UserServerPort(&oUtils, nullptr).getUserServerPortForActiveSession();
        qunsetenv("QTX_UTMP_FILE");
        QFAIL("no exception");
    } catch (const ActiveSessionException &e) {
        QCOMPARE(const_cast<ActiveSessionException &>(e).getDetailMessage(), QStringLiteral("More than one user already logged in."));
    }
    qunsetenv("QTX_UTMP_FILE");
}

QTEST_GUILESS_MAIN(TestPlatformUserServerPort)
#include "tst_platform_userserverport.moc"
