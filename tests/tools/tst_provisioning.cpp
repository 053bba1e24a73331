// What the installer leaves behind for every account: the machine seed and the
// folders above it stay readable by all accounts whatever the installing
// process's umask, so each user instance derives the same key pass phrase.

#include "provisioning.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

int modeOf(const QString &v_oPath)
{
    struct stat oStat {};
    if (::stat(QFile::encodeName(v_oPath).constData(), &oStat) != 0)
        return -1;
    return int(oStat.st_mode & 07777);
}

} // namespace

class TestProvisioning : public QObject
{
    Q_OBJECT
private slots:
    void seedReadableByEveryAccount_data();
    void seedReadableByEveryAccount();
};

void TestProvisioning::seedReadableByEveryAccount_data()
{
    QTest::addColumn<int>("umask");
    QTest::addColumn<bool>("folderExists");
    QTest::newRow("umask 077, new folders") << 077 << false;
    QTest::newRow("umask 027, new folders") << 027 << false;
    // A folder an earlier run created under umask 077.
    QTest::newRow("umask 077, seed folder left at 0700") << 077 << true;
}

void TestProvisioning::seedReadableByEveryAccount()
{
    QFETCH(int, umask);
    QFETCH(bool, folderExists);
    QTemporaryDir oDir;
    QVERIFY(oDir.isValid());
    const QString oTop = oDir.filePath(QStringLiteral("var-lib/quorvex"));
    const QString oSeedDir = oTop + QStringLiteral("/QuorvexCryptoProvider");
    const QString oSeed = oSeedDir + QStringLiteral("/Seed");
    if (folderExists) {
        QVERIFY(QDir().mkpath(oSeedDir));
        QVERIFY(::chmod(QFile::encodeName(oSeedDir).constData(), 0700) == 0);
        QVERIFY(::chmod(QFile::encodeName(oTop).constData(), 0755) == 0);
    }
    qputenv("QTX_MACHINE_SEED_FILE", QFile::encodeName(oSeed));
    const QString oApp = oDir.filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(oApp));

    const mode_t uiOld = ::umask(mode_t(umask));
    ProvisionOptions oOptions;
    oOptions.appDir = oApp;
    const ProvisionResult oResult = provision(oOptions);
    ::umask(uiOld);
    qunsetenv("QTX_MACHINE_SEED_FILE");

    QVERIFY2(oResult.ok, qPrintable(oResult.error));
    QVERIFY(QFile::exists(oSeed));
    QCOMPARE(modeOf(oSeed), 0644);
    QCOMPARE(modeOf(oSeedDir), 0755);
    QCOMPARE(modeOf(oTop), 0755);
    // Certificate, authority and (encrypted) key are readable by every account too.
    QCOMPARE(modeOf(oApp + QStringLiteral("/certs")), 0755);
    for (const char *pName : {"QTX-cert-server.pem", "QTX-key-server.pem", "QTX-ca.pem"})
        QCOMPARE(modeOf(oApp + QStringLiteral("/certs/") + QLatin1String(pName)), 0644);
}

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
