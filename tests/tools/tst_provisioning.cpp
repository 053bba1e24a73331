// What qtx-provision leaves in an account's key store: folders 0700 and files
// 0600 whatever the umask, a key that opens only with the account's pass
// phrase, kept on a second run; and nothing written when the account's secret
// is not private, so a key is never encrypted with world-readable values alone.

#include "../filesupport.h"
#include "keystore.h"
#include "provisioning.h"
#include "secureobject.h"
#include "uniquepass.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/stat.h>

namespace {

int modeOf(const QString &v_oPath)
{
    struct stat oStat {};
    if (::stat(QFile::encodeName(v_oPath).constData(), &oStat) != 0)
        return -1;
    return int(oStat.st_mode & 07777);
}

bool keyOpensWith(const QString &v_oKeyFile, QByteArray v_oPass)
{
    const QByteArray oPem = tst::readFile(v_oKeyFile);
    BIO *poBio = BIO_new_mem_buf(oPem.constData(), oPem.size());
    v_oPass.append('\0');
    EVP_PKEY *poKey = PEM_read_bio_PrivateKey(poBio, nullptr, nullptr, v_oPass.data());
    const bool bOpened = poKey != nullptr;
    EVP_PKEY_free(poKey);
    BIO_free(poBio);
    return bOpened;
}

QByteArray phrase(int v_iSources)
{
    SecurePass oPass;
    UniquePass(v_iSources).getPassword(oPass);
    return QByteArray(oPass.data(), oPass.size());
}

} // namespace

class TestProvisioning : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void storeIsPrivate_data();
    void storeIsPrivate();
    void secondRunKeepsAndTightens();
    void refusesASecretOthersCanRead();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestProvisioning::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    qputenv("QTX_KEY_DIR", QFile::encodeName(m_dir->filePath(QStringLiteral("config/Quorvex/QuorvexCryptoProvider"))));
    qunsetenv("QTX_MACHINE_SEED_FILE");
}

void TestProvisioning::cleanup()
{
    qunsetenv("QTX_KEY_DIR");
}

void TestProvisioning::storeIsPrivate_data()
{
    QTest::addColumn<int>("umask");
    QTest::newRow("umask 000") << 000;
    QTest::newRow("umask 022") << 022;
    QTest::newRow("umask 077") << 077;
}

void TestProvisioning::storeIsPrivate()
{
    QFETCH(int, umask);
    const mode_t uiOld = ::umask(mode_t(umask));
    const ProvisionResult oResult = provision(ProvisionOptions());
    ::umask(uiOld);
    QVERIFY2(oResult.ok, qPrintable(oResult.error));

    // The folders it made above the store as well.
    for (const QString &oFolder : {QFileInfo(KeyStore::folder()).absolutePath(), KeyStore::folder(),
                                   KeyStore::privateFolder(), KeyStore::certificateFolder()})
        QCOMPARE(modeOf(oFolder), 0700);
    for (const QString &oFile : {KeyStore::secretPath(), KeyStore::keyPath(), KeyStore::certificatePath(), KeyStore::authorityPath()})
        QCOMPARE(modeOf(oFile), 0600);
    // Folder and file names as documented.
    QCOMPARE(KeyStore::keyPath(), KeyStore::folder() + QStringLiteral("/private/QTX-key-server.pem"));
    QCOMPARE(KeyStore::secretPath(), KeyStore::folder() + QStringLiteral("/private/Seed"));

    QVERIFY(keyOpensWith(KeyStore::keyPath(), phrase(4)));
    // Neither the machine values alone (every account can read them) nor an empty phrase opens it.
    QVERIFY(!keyOpensWith(KeyStore::keyPath(), phrase(2)));
    QVERIFY(!keyOpensWith(KeyStore::keyPath(), QByteArray()));
}

void TestProvisioning::secondRunKeepsAndTightens()
{
    QVERIFY(provision(ProvisionOptions()).ok);
    const QByteArray oKey = tst::readFile(KeyStore::keyPath());
    const QByteArray oCa = tst::readFile(KeyStore::authorityPath());
    // Modes loosened by hand: the certificate is set back, a loose key is not trusted.
    QVERIFY(::chmod(QFile::encodeName(KeyStore::authorityPath()).constData(), 0644) == 0);
    QVERIFY(::chmod(QFile::encodeName(KeyStore::privateFolder()).constData(), 0755) == 0);
    ProvisionResult oResult = provision(ProvisionOptions());
    QVERIFY2(oResult.ok, qPrintable(oResult.error));
    QCOMPARE(tst::readFile(KeyStore::keyPath()), oKey);
    QCOMPARE(tst::readFile(KeyStore::authorityPath()), oCa);
    QCOMPARE(modeOf(KeyStore::authorityPath()), 0600);
    QCOMPARE(modeOf(KeyStore::privateFolder()), 0700);

    // A key another account could have read is replaced, with a new authority.
    QVERIFY(::chmod(QFile::encodeName(KeyStore::keyPath()).constData(), 0644) == 0);
    oResult = provision(ProvisionOptions());
    QVERIFY2(oResult.ok, qPrintable(oResult.error));
    QVERIFY(tst::readFile(KeyStore::keyPath()) != oKey);
    QVERIFY(tst::readFile(KeyStore::authorityPath()) != oCa);
    QCOMPARE(modeOf(KeyStore::keyPath()), 0600);
}

void TestProvisioning::refusesASecretOthersCanRead()
{
    QVERIFY(QDir().mkpath(KeyStore::privateFolder()));
    QVERIFY(tst::writeFile(KeyStore::secretPath(), QByteArray(64, 'a') + '\n', 0644));
    const ProvisionResult oResult = provision(ProvisionOptions());
    QVERIFY(!oResult.ok);
    QVERIFY2(oResult.error.contains(KeyStore::secretPath()), qPrintable(oResult.error));
    QVERIFY(!QFile::exists(KeyStore::keyPath()));
    QVERIFY(!QFile::exists(KeyStore::certificatePath()));
}

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
