// What "qtx-provision --trust" does to the browser databases of an account,
// checked with certutil: the account's own authority and the dispatcher's go
// in, authorities of older versions come out by fingerprint under whatever
// nickname they carry, a store of its own keeps a nickname of its own, and the
// databases of a HOME that is not the account's are never touched.

#include "../../testkit/filesupport.h"
#include "toolrun.h"

#include <QDir>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace stk;

namespace {

const QString kOwn = QStringLiteral("Quorvex Crypto Provider Local CA");
const QString kDispatcher = QStringLiteral("Quorvex Crypto Provider Dispatcher CA");

// Nickname -> SHA-256 fingerprints of the certificates under it.
QMap<QString, QStringList> certificatesOf(const QString &v_oDb)
{
    QMap<QString, QStringList> oResult;
    const QStringList oLines = QString::fromUtf8(tool(QStringLiteral("certutil -L -d sql:%1"), {v_oDb}).output).split('\n');
    for (const QString &oLine : oLines.mid(4)) {
        const QRegularExpressionMatch oMatch = QRegularExpression(QStringLiteral("^(.*?)\\s{2,}\\S*,\\S*,\\S*\\s*$")).match(oLine);
        if (!oMatch.hasMatch())
            continue;
        const QByteArray oPem = tool(QStringLiteral("certutil -L -d sql:%1 -n %2 -a"), {v_oDb, oMatch.captured(1)}).output;
        for (const QSslCertificate &oCert : QSslCertificate::fromData(oPem))
            oResult[oMatch.captured(1)] << QString::fromLatin1(oCert.digest(QCryptographicHash::Sha256).toHex());
    }
    return oResult;
}

QString fingerprint(const QString &v_oPemFile)
{
    const QList<QSslCertificate> oCerts = QSslCertificate::fromPath(v_oPemFile);
    return oCerts.isEmpty() ? QString() : QString::fromLatin1(oCerts.first().digest(QCryptographicHash::Sha256).toHex());
}

// An authority as an older version made it (no constraints), in the folder as <name>.pem.
bool makeAuthority(const QString &v_oDir, const QString &v_oName)
{
    return tool(QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -keyout %1/%2.key -out %1/%2.pem -days 30 -subj %3 "
                               "-addext basicConstraints=critical,CA:TRUE,pathlen:0"),
                {v_oDir, v_oName, QStringLiteral("/O=Quorvex/CN=Quorvex Crypto Provider Local CA (") + v_oName + ')'})
        .ok();
}

bool addToDb(const QString &v_oDb, const QString &v_oNickname, const QString &v_oPem)
{
    QDir().mkpath(v_oDb);
    return (QFile::exists(v_oDb + QStringLiteral("/cert9.db")) || tool(QStringLiteral("certutil -N -d sql:%1 --empty-password"), {v_oDb}).ok())
           && tool(QStringLiteral("certutil -A -d sql:%1 -n %2 -t C,, -i %3"), {v_oDb, v_oNickname, v_oPem}).ok();
}

} // namespace

class TestTrust : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void trustAddsOwnAndDispatcherAndRetiresOld();
    void dispatcherAuthorityOnlyFromAProtectedFile_data();
    void dispatcherAuthorityOnlyFromAProtectedFile();
    void aStoreOfItsOwnKeepsItsOwnNickname();
    void anotherAccountsHomeIsLeftAlone();

private:
    Run provision(const QStringList &v_oArgs, const QString &v_oStore = QString());

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_home;
    QString m_chromium;
    QString m_firefox;
    QString m_dispatcherCa;
    QString m_retiredFile;
};

void TestTrust::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("certutil")).isEmpty())
        QSKIP("certutil is missing (Debian package libnss3-tools)");
}

void TestTrust::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_home = m_dir->filePath(QStringLiteral("home"));
    m_chromium = m_home + QStringLiteral("/.pki/nssdb");
    m_firefox = m_home + QStringLiteral("/.mozilla/firefox/ab12cd34.default-esr");
    QVERIFY(QDir().mkpath(m_home));
    // The dispatcher's public authority, and the list of retired ones.
    QVERIFY(makeAuthority(m_dir->path(), QStringLiteral("dispatcher")));
    m_dispatcherCa = m_dir->filePath(QStringLiteral("dispatcher.pem"));
    m_retiredFile = m_dir->filePath(QStringLiteral("retired-authorities"));
}

Run TestTrust::provision(const QStringList &v_oArgs, const QString &v_oStore)
{
    QProcessEnvironment oEnv = QProcessEnvironment::systemEnvironment();
    oEnv.insert(QStringLiteral("HOME"), m_home);
    oEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir->filePath(QStringLiteral("config")));
    oEnv.insert(QStringLiteral("QTX_DISPATCHER_AUTHORITY"), m_dispatcherCa);
    oEnv.insert(QStringLiteral("QTX_RETIRED_AUTHORITIES"), m_retiredFile);
    oEnv.insert(QStringLiteral("QTX_SYSTEM_CA_DIR"), m_dir->filePath(QStringLiteral("system-store")));
    oEnv.insert(QStringLiteral("QTX_UPDATE_CA_COMMAND"), QStringLiteral("/bin/true"));
    oEnv.remove(QStringLiteral("QTX_KEY_DIR"));
    if (!v_oStore.isEmpty())
        oEnv.insert(QStringLiteral("QTX_KEY_DIR"), v_oStore);
    return run(QStringLiteral(QTX_BINARY_DIR "/bin/qtx-provision"), v_oArgs, oEnv);
}

void TestTrust::trustAddsOwnAndDispatcherAndRetiresOld()
{
    // An older version's shared authority, in Chromium's database under the
    // usual nickname and in a Firefox profile under one the browser gave it,
    // beside a certificate of the user's that only looks like ours.
    QVERIFY(makeAuthority(m_dir->path(), QStringLiteral("shared")));
    const QString oShared = m_dir->filePath(QStringLiteral("shared.pem"));
    QVERIFY(addToDb(m_chromium, kOwn, oShared));
    QVERIFY(addToDb(m_firefox, QStringLiteral("Quorvex - Quorvex Crypto Provider Local CA (shared)"), oShared));
    QVERIFY(makeAuthority(m_dir->path(), QStringLiteral("users")));
    const QString oUsers = m_dir->filePath(QStringLiteral("users.pem"));
    QVERIFY(addToDb(m_firefox, QStringLiteral("Quorvex of the user's"), oUsers));
    QVERIFY(tst::writeFile(m_retiredFile, "# retired by the upgrade\n" + fingerprint(oShared).toUpper().toLatin1() + '\n'));

    // --remove-retired alone: the shared one out, wherever it is; nothing provisioned, nothing else touched.
    const Run oRetired = provision({QStringLiteral("--remove-retired")});
    QVERIFY2(oRetired.code == 0, oRetired.output.constData());
    QCOMPARE(oRetired.output.count("removed the retired authority " + fingerprint(oShared).toLatin1()), 2);
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("config"))));
    QCOMPARE(certificatesOf(m_chromium), (QMap<QString, QStringList>{}));
    const QMap<QString, QStringList> oUsersOnly{{QStringLiteral("Quorvex of the user's"), {fingerprint(oUsers)}}};
    QCOMPARE(certificatesOf(m_firefox), oUsersOnly);

    // --trust: the account's own authority and the dispatcher's, in both.
    QVERIFY(addToDb(m_chromium, kOwn, oShared));  // put back: --trust retires it as well
    const Run oFirst = provision({QStringLiteral("--trust")});
    QVERIFY2(oFirst.code == 0 && oFirst.output.contains("removed the retired authority"), oFirst.output.constData());
    const QString oOwn = fingerprint(m_dir->filePath(QStringLiteral("config/Quorvex/QuorvexCryptoProvider/certs/QTX-ca.pem")));
    const QMap<QString, QStringList> oExpected{{kOwn, {oOwn}}, {kDispatcher, {fingerprint(m_dispatcherCa)}}};
    QCOMPARE(certificatesOf(m_chromium), oExpected);
    QMap<QString, QStringList> oWithUsers = oExpected;
    oWithUsers.insert(oUsersOnly);
    QCOMPARE(certificatesOf(m_firefox), oWithUsers);
    // The system store is no business of an account's own authority.
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("system-store"))));

    // The next start keeps what is there and picks up a profile made since
    // (the snap's Firefox); --untrust takes both authorities out of all three.
    const QString oLater = m_home + QStringLiteral("/snap/firefox/common/.mozilla/firefox/xy98.default");
    QVERIFY(QDir().mkpath(oLater));
    QVERIFY(tool(QStringLiteral("certutil -N -d sql:%1 --empty-password"), {oLater}).ok());
    const Run oSecond = provision({QStringLiteral("--trust")});
    QVERIFY2(oSecond.output.count("Trust: added") == 2 && oSecond.output.count("Trust: kept") == 4,
             oSecond.output.constData());
    QCOMPARE(certificatesOf(oLater), oExpected);
    QCOMPARE(provision({QStringLiteral("--untrust")}).code, 0);
    QCOMPARE(certificatesOf(m_chromium), (QMap<QString, QStringList>{}));
    QCOMPARE(certificatesOf(m_firefox), oUsersOnly);
    QCOMPARE(certificatesOf(oLater), (QMap<QString, QStringList>{}));
}

void TestTrust::dispatcherAuthorityOnlyFromAProtectedFile_data()
{
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("0644 in a private folder") << 0644 << 0700 << true;
    QTest::newRow("in a sticky shared folder") << 0644 << 01777 << true;
    QTest::newRow("group-writable file") << 0664 << 0700 << false;
    QTest::newRow("in a folder others may write") << 0644 << 0777 << false;
}

void TestTrust::dispatcherAuthorityOnlyFromAProtectedFile()
{
    QFETCH(int, fileMode);
    QFETCH(int, folderMode);
    QFETCH(bool, trusted);
    const QString oFolder = m_dir->filePath(QStringLiteral("dispatcher-store"));
    QVERIFY(QDir().mkpath(oFolder));
    const QString oFile = oFolder + QStringLiteral("/QTX-ca.pem");
    QVERIFY(QFile::copy(m_dispatcherCa, oFile));
    QVERIFY(::chmod(QFile::encodeName(oFile).constData(), mode_t(fileMode)) == 0);
    QVERIFY(::chmod(QFile::encodeName(oFolder).constData(), mode_t(folderMode)) == 0);
    m_dispatcherCa = oFile;
    const Run oRun = provision({QStringLiteral("--trust")});
    QVERIFY2(oRun.code == 0, oRun.output.constData());
    QCOMPARE(certificatesOf(m_chromium).contains(kDispatcher), trusted);
    QCOMPARE(oRun.output.contains("the dispatcher's authority is not used"), !trusted);
}

void TestTrust::aStoreOfItsOwnKeepsItsOwnNickname()
{
    // A source-tree run's store beside the account's own: both trusted, neither replacing the other.
    QVERIFY(provision({QStringLiteral("--trust")}).code == 0);
    const QString oTree = m_dir->filePath(QStringLiteral("config/Quorvex/QuorvexCryptoProvider/source-tree"));
    const Run oRun = provision({QStringLiteral("--trust")}, oTree);
    QVERIFY2(oRun.code == 0, oRun.output.constData());
    const QMap<QString, QStringList> oCerts = certificatesOf(m_chromium);
    QCOMPARE(oCerts.value(kOwn + QStringLiteral(" (source-tree)")), QStringList{fingerprint(oTree + QStringLiteral("/certs/QTX-ca.pem"))});
    QCOMPARE(oCerts.value(kOwn),
             QStringList{fingerprint(m_dir->filePath(QStringLiteral("config/Quorvex/QuorvexCryptoProvider/certs/QTX-ca.pem")))});
}

void TestTrust::anotherAccountsHomeIsLeftAlone()
{
    // A HOME that is not this account's (sudo without -H, a link into another
    // home): its databases stay as they are.
    QVERIFY(addToDb(m_chromium, QStringLiteral("someone else's"), m_dispatcherCa));
    if (::geteuid() == 0)
        QVERIFY(::chown(QFile::encodeName(m_home).constData(), 65534, 65534) == 0);
    else
        m_home = QStringLiteral("/");
    const Run oRun = provision({QStringLiteral("--trust")});
    QVERIFY2(oRun.code == 0 && oRun.output.contains("are left alone"), oRun.output.constData());
    if (::geteuid() == 0)
        QCOMPARE(certificatesOf(m_chromium).keys(), QStringList{QStringLiteral("someone else's")});
}

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
