// Accounts keep their TLS keys apart, with real accounts: the key store that
// qtx-provision makes for one account (as the user unit does before the server
// starts) is that account's alone, another account can neither read any of its
// files nor derive its pass phrase, and a server that another account starts
// on the port presents a certificate the owner's clients reject. (Instances
// serving with their own account's key are what tst_accounts talks to.) Needs
// root (accounts, setpriv); skips otherwise.

#include "integrationsupport.h"

#include <QDirIterator>
#include <QStandardPaths>


namespace {

const QString kOwner = QStringLiteral("qtxkey1");
const QString kOther = QStringLiteral("qtxkey2");

QByteArray iniWithPort(int v_iPort)
{
    return "[listener]\nport=" + QByteArray::number(v_iPort) + "\nreadTimeout=5000\n";
}

QProcessEnvironment envFor(const ServerFixture &v_oServer)
{
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), v_oServer.path(QStringLiteral("config")));
    oEnv.remove(QStringLiteral("QTX_KEY_DIR"));
    oEnv.remove(QStringLiteral("QTX_MACHINE_SEED_FILE"));
    return oEnv;
}

const QString kDerive = QStringLiteral(QTX_BINARY_DIR "/tests/integration/qtx_derive_phrase");

// "openssl rsa" on the key with the phrase, as the account; true when it printed the key.
bool opensslOpens(const QString &v_oAccount, const QString &v_oKey, const QByteArray &v_oPhrase)
{
    QByteArray oOutput;
    const int iCode = ServerFixture::runAs(v_oAccount, QStringLiteral("openssl"),
                                           {QStringLiteral("rsa"), QStringLiteral("-in"), v_oKey, QStringLiteral("-passin"),
                                            QStringLiteral("pass:") + QString::fromLatin1(v_oPhrase), QStringLiteral("-noout"),
                                            QStringLiteral("-check")},
                                           &oOutput);
    return iCode == 0 && oOutput.contains("RSA key ok");
}

} // namespace

class TestKeys : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void otherAccountCannotReadAnyStoreFile();
    void otherAccountCannotDeriveThePhrase();
    void anotherAccountsServerIsRejected();

private:
    int m_base = 0;
    ServerFixture m_owner;
    QByteArray m_phrase; // the owner's, derived as the owner
};

void TestKeys::initTestCase()
{
    if (!ServerFixture::isRoot())
        QSKIP("Key separation is checked with real accounts (useradd, setpriv): run the tests as root.");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("openssl is not installed");
    for (const QString &oAccount : {kOwner, kOther})
        QVERIFY2(ServerFixture::ensureAccount(oAccount), qPrintable(oAccount));
    m_base = ServerFixture::freeBase(3);
    QVERIFY(m_base > 0);
    // As the user unit does: qtx-provision as the account, then the server.
    QVERIFY(tst::prepare(m_owner, iniWithPort(m_base), kOwner));
    QCOMPARE(ServerFixture::runAs(kOwner, kDerive, {}, &m_phrase, envFor(m_owner)), 0);
    m_phrase = m_phrase.trimmed();
    QCOMPARE(m_phrase.size(), 64);
}

void TestKeys::otherAccountCannotReadAnyStoreFile()
{
    // Every file of the store as root sees it: the owner's to read, not the
    // other account's (the store's modes are tst_tools_provisioning's).
    QStringList oFiles;
    QDirIterator oIt(m_owner.storePath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (oIt.hasNext())
        oFiles << oIt.next();
    QVERIFY(oFiles.size() >= 4);
    for (const QString &oFile : oFiles) {
        QVERIFY2(ServerFixture::runAs(kOther, QStringLiteral("cat"), {oFile}) != 0, qPrintable(oFile));
        QVERIFY2(ServerFixture::runAs(kOwner, QStringLiteral("cat"), {oFile}) == 0, qPrintable(oFile));
    }
    // The owner's phrase opens the key (root may read it), so the phrase would
    // open a copy of it that the other account finds below.
    QVERIFY(opensslOpens(QString(), m_owner.storePath(QStringLiteral("private/QTX-key-server.pem")), m_phrase));

    // What the other account finds by looking: the PEM files and secrets below
    // the instance's folder that it can see at all.
    QByteArray oFound;
    ServerFixture::runAs(kOther, QStringLiteral("sh"),
                         {QStringLiteral("-c"), QStringLiteral("find \"$0\" \\( -name '*.pem' -o -name Seed \\) -print 2>/dev/null"),
                          m_owner.path()},
                         &oFound);
    for (const QByteArray &oLine : oFound.split('\n')) {
        if (oLine.isEmpty())
            continue;
        const QString oPath = QString::fromLocal8Bit(oLine);
        QVERIFY2(!oPath.startsWith(m_owner.storePath()), qPrintable(oPath));
        QVERIFY2(!opensslOpens(kOther, oPath, m_phrase), qPrintable(oPath));
    }
}

void TestKeys::otherAccountCannotDeriveThePhrase()
{
    // The derivation run as the other account, pointed at the owner's store: no secret, no phrase.
    QByteArray oOutput;
    QVERIFY(ServerFixture::runAs(kOther, kDerive, {}, &oOutput, envFor(m_owner)) != 0);
    QVERIFY(!oOutput.contains(m_phrase));
    // What it can read (machine id, DMI) gives a phrase that does not open the key.
    QCOMPARE(ServerFixture::runAs(kOther, kDerive, {QStringLiteral("machine")}, &oOutput, envFor(m_owner)), 0);
    const QByteArray oMachineOnly = oOutput.trimmed();
    QCOMPARE(oMachineOnly.size(), 64);
    const QString oKey = m_owner.storePath(QStringLiteral("private/QTX-key-server.pem"));
    QVERIFY(!opensslOpens(QString(), oKey, oMachineOnly));
    // Nor does its own secret: another account's derivation is another phrase.
    ServerFixture oOther;
    QVERIFY(tst::prepare(oOther, iniWithPort(m_base), kOther));
    QCOMPARE(ServerFixture::runAs(kOther, kDerive, {}, &oOutput, envFor(oOther)), 0);
    QVERIFY(!opensslOpens(QString(), oKey, oOutput.trimmed()));
}

void TestKeys::anotherAccountsServerIsRejected()
{
    // The other account takes the port first (configured one lower, so its
    // instance listens there), with the key it can make: its own.
    ServerFixture oIntruder;
    QVERIFY(tst::startServer(oIntruder, iniWithPort(m_base + 1), m_base + 2, kOther));

    // A client that trusts what the owner's browsers trust refuses it...
    HttpsClient oOwnersClient(quint16(m_base + 2), QSslCertificate::fromPath(m_owner.path(QStringLiteral("certs/QTX-ca.pem"))));
    QVERIFY(!oOwnersClient.connect());
    QVERIFY(!oOwnersClient.socket().sslHandshakeErrors().isEmpty());
    // ...while the server does serve TLS to its own account's clients.
    HttpsClient oItsClient(quint16(m_base + 2), QSslCertificate::fromPath(oIntruder.path(QStringLiteral("certs/QTX-ca.pem"))));
    QCOMPARE(oItsClient.post("/SERVER_VERSION").status, 200);
}

QTEST_GUILESS_MAIN(TestKeys)
#include "tst_keys.moc"
