// What qtx-provision leaves in an account's key store: folders 0700 and files
// 0600 whatever the umask, a key that opens only with the account's pass
// phrase, kept on a second run; and nothing written when the account's secret
// is not private, so a key is never encrypted with world-readable values alone.

#include "../../testkit/filesupport.h"
#include "toolrun.h"
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

using namespace stk;

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

// An authority without constraints, as older versions made them (ca.pem,
// ca.key), and a server certificate for the names under it: old.pem, old.key.
bool makeOldStore(const QString &v_oDir)
{
    const QStringList oArgs = {v_oDir + QStringLiteral("/"), QStringLiteral("/O=Quorvex/CN=Quorvex Crypto Provider Local CA (test)")};
    return tst::writeFile(v_oDir + QStringLiteral("/old.ext"), "subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
           && tool(QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -keyout %1ca.key -out %1ca.pem -days 30 -subj %2 "
                                  "-addext basicConstraints=critical,CA:TRUE,pathlen:0 -addext keyUsage=critical,keyCertSign,cRLSign"),
                   oArgs).ok()
           && tool(QStringLiteral("openssl req -newkey rsa:2048 -nodes -keyout %1old.key -out %1old.csr -subj /CN=localhost"), oArgs).ok()
           && tool(QStringLiteral("openssl x509 -req -in %1old.csr -CA %1ca.pem -CAkey %1ca.key -CAcreateserial -days 365 "
                                  "-extfile %1old.ext -out %1old.pem"),
                   oArgs).ok();
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
    void authorityOnlyForTheLoopback();
    void authorityWithoutConstraintsIsReissued();

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

void TestProvisioning::authorityOnlyForTheLoopback()
{
    QVERIFY(provision(ProvisionOptions()).ok);
    const Run oShownRun = tool(QStringLiteral("openssl x509 -in %1 -noout -ext nameConstraints"), {KeyStore::authorityPath()});
    QVERIFY(oShownRun.ok());
    const QByteArray &oShown = oShownRun.output;
    QVERIFY2(oShown.contains("X509v3 Name Constraints: critical") && oShown.contains("IP:127.0.0.1/255.255.255.255")
                 && oShown.contains("DNS:localhost") && !oShown.contains("Excluded"),
             oShown.constData());
    // Its own server certificate passes them.
    QVERIFY(tool(QStringLiteral("openssl verify -CAfile %1 %2"), {KeyStore::authorityPath(), KeyStore::certificatePath()}).ok());
}

void TestProvisioning::authorityWithoutConstraintsIsReissued()
{
    // A store as an older version left it: an authority that could sign for
    // any host, a working certificate and key under it.
    QVERIFY(provision(ProvisionOptions()).ok);
    const QString oDir = m_dir->path();
    QVERIFY(makeOldStore(oDir));
    QVERIFY(tool(QStringLiteral("openssl pkcs8 -topk8 -v2 aes256 -in %1/old.key -out %2 -passout pass:%3"),
                 {oDir, KeyStore::keyPath(), QString::fromLatin1(phrase(4))}).ok());
    QVERIFY(::chmod(QFile::encodeName(KeyStore::keyPath()).constData(), 0600) == 0);
    QVERIFY(tst::writeFile(KeyStore::certificatePath(), tst::readFile(oDir + QStringLiteral("/old.pem")), 0600));
    QVERIFY(tst::writeFile(KeyStore::authorityPath(), tst::readFile(oDir + QStringLiteral("/ca.pem")), 0600));

    const ProvisionResult oResult = provision(ProvisionOptions());
    QVERIFY2(oResult.ok, qPrintable(oResult.error));
    QVERIFY2(oResult.report.join(QLatin1Char('\n')).contains(QStringLiteral("no name constraints")),
             qPrintable(oResult.report.join(QLatin1Char('\n'))));
    QVERIFY(tst::readFile(KeyStore::authorityPath()) != tst::readFile(oDir + QStringLiteral("/ca.pem")));
    QVERIFY(tst::readFile(KeyStore::certificatePath()) != tst::readFile(oDir + QStringLiteral("/old.pem")));
    QVERIFY(tool(QStringLiteral("openssl verify -CAfile %1 %2"), {KeyStore::authorityPath(), KeyStore::certificatePath()}).ok());
    // Kept from now on.
    QVERIFY(provision(ProvisionOptions()).report.join(QLatin1Char('\n')).contains(QStringLiteral("Authority: kept")));
}

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
