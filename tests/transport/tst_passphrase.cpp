// The pass phrase bound to the machine and the account: the SMBIOS walk on
// synthetic tables, the account's secret created once (0600) and reused, a
// secret other accounts could read never used, stable 64-hex output, and the
// secure buffers.

#include "../../testkit/filesupport.h"
#include "secureobject.h"
#include "uniquepass.h"

#include "qtxexceptions.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One SMBIOS structure: type, formatted length, handle, formatted body, strings.
QByteArray structure(quint8 v_uiType, const QByteArray &v_oBody, const QByteArray &v_oStrings = QByteArray())
{
    QByteArray oOut;
    oOut.append(char(v_uiType));
    oOut.append(char(4 + v_oBody.size()));
    oOut.append("\x01\x00", 2);
    oOut.append(v_oBody);
    oOut.append(v_oStrings.isEmpty() ? QByteArray("\0\0", 2) : v_oStrings + QByteArray("\0", 1));
    return oOut;
}

// Type-1 body: 4 bytes of string indexes, then the 16-byte UUID, then 3 more bytes.
QByteArray systemInformation(char v_cUuidByte)
{
    return structure(1, QByteArray("\x01\x02\x03\x04", 4) + QByteArray(16, v_cUuidByte) + QByteArray(3, '\0'),
                     QByteArray("Vendor\0Product\0", 15));
}

QByteArray rawTable(const QByteArray &v_oStructures, int v_iDeclaredLength = -1)
{
    QByteArray oHeader(8, '\0');
    const quint32 uiLength = v_iDeclaredLength < 0 ? quint32(v_oStructures.size()) : quint32(v_iDeclaredLength);
    for (int i = 0; i < 4; ++i)
        oHeader[4 + i] = char((uiLength >> (8 * i)) & 0xFF);
    return oHeader + v_oStructures;
}

} // namespace

class TestPassPhrase : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void smbiosWalk_data();
    void smbiosWalk();
    void seedCreatedOnceAndPhraseStable();
    void secretNotPrivateIsNotUsed_data();
    void secretNotPrivateIsNotUsed();
    void missingSourcesFailButStillDerive();
    void secureBuffers();

private:
    QTemporaryDir m_dir;
};

void TestPassPhrase::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(tst::writeFile(m_dir.filePath(QStringLiteral("machine-id")), "0123456789abcdef0123456789abcdef\n"));
    qputenv("QTX_MACHINE_ID_FILE", m_dir.filePath(QStringLiteral("machine-id")).toLocal8Bit());
    qputenv("QTX_MACHINE_SEED_FILE", m_dir.filePath(QStringLiteral("var/Seed")).toLocal8Bit());
    qputenv("QTX_DMI_ID_DIR", m_dir.filePath(QStringLiteral("no-dmi")).toLocal8Bit());
}

void TestPassPhrase::smbiosWalk_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QByteArray>("uuid");
    const QByteArray oBios = structure(0, QByteArray(14, '\x11'), QByteArray("BIOS\0v1\0", 8));
    const QByteArray oEnd = structure(127, QByteArray());
    QTest::newRow("empty block") << QByteArray() << QByteArray();
    QTest::newRow("no type 1") << rawTable(oBios + oEnd) << QByteArray();
    QTest::newRow("last type 1 wins")
        << rawTable(systemInformation('\x01') + oBios + systemInformation('\x02') + oEnd) << QByteArray(16, '\x02');
    const QByteArray oFull = rawTable(oBios + systemInformation('\x33'));
    QTest::newRow("truncated inside type 1") << oFull.left(oFull.size() - 30) << QByteArray();
    QTest::newRow("declared length too long") << rawTable(systemInformation('\x44'), 100000) << QByteArray(16, '\x44');
    QTest::newRow("declared length cuts the table")
        << rawTable(oBios + systemInformation('\x55'), oBios.size()) << QByteArray();
}

void TestPassPhrase::smbiosWalk()
{
    QFETCH(QByteArray, table);
    QFETCH(QByteArray, uuid);
    QCOMPARE(UniquePass::uuidFromSmbiosTable(table), uuid);
}

void TestPassPhrase::seedCreatedOnceAndPhraseStable()
{
    QFile::remove(UniquePass::seedFilePath());
    const QString oTable = m_dir.filePath(QStringLiteral("smbios"));
    QVERIFY(tst::writeFile(oTable, rawTable(systemInformation('\x42'))));
    qputenv("QTX_SMBIOS_TABLE_FILE", oTable.toLocal8Bit());

    SecurePass oFirst;
    {
        UniquePass oSource(4);
        QVERIFY(!oSource.isFailed());
        oSource.getPassword(oFirst);
        QVERIFY(oSource.selfTest());
    }
    QFile oSeed(UniquePass::seedFilePath());
    QVERIFY(oSeed.open(QIODevice::ReadOnly));
    const QByteArray oSeedBytes = oSeed.readAll().trimmed();
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(QString::fromLatin1(oSeedBytes)).hasMatch(),
             oSeedBytes.constData());
    // The account's alone, in a folder of its own.
    QCOMPARE(oSeed.permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QCOMPARE(QFile::permissions(QFileInfo(oSeed).absolutePath()),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);

    const QString oText = QString::fromStdString(oFirst.toStdString());
    // The phrase is the hash of seed + zero-terminated machine id + UUID bytes.
    const QByteArray oMaterial = oSeedBytes + QByteArray("0123456789abcdef0123456789abcdef\0", 33) + QByteArray(16, '\x42');
    QCOMPARE(oText, QString::fromLatin1(QCryptographicHash::hash(oMaterial, QCryptographicHash::Sha256).toHex()));

    // A later derivation reuses the seed.
    SecurePass oSecond;
    UniquePass(4).getPassword(oSecond);
    QVERIFY(oFirst.equals(oSecond));
    QVERIFY(oSeed.seek(0));
    QCOMPARE(oSeed.readAll().trimmed(), oSeedBytes);
    qunsetenv("QTX_SMBIOS_TABLE_FILE");
}

void TestPassPhrase::secretNotPrivateIsNotUsed_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("used");
    const QByteArray oGood(64, 'c');
    QTest::newRow("0600") << 0600 << oGood << true;
    QTest::newRow("0400") << 0400 << oGood << true;
    QTest::newRow("0644: readable by every account") << 0644 << oGood << false;
    QTest::newRow("0640: readable by the group") << 0640 << oGood << false;
    QTest::newRow("0602: writable by every account") << 0602 << oGood << false;
    QTest::newRow("0600, the old 16-letter seed") << 0600 << QByteArray("ABCDEFGHIJKLMNOP") << false;
}

void TestPassPhrase::secretNotPrivateIsNotUsed()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, content);
    QFETCH(bool, used);
    QTemporaryDir oDir;
    QVERIFY(oDir.isValid());
    const QString oPath = oDir.filePath(QStringLiteral("Seed"));
    QVERIFY(tst::writeFile(oPath, content + '\n', mode));
    const QByteArray oOld = qgetenv("QTX_MACHINE_SEED_FILE");
    qputenv("QTX_MACHINE_SEED_FILE", QFile::encodeName(oPath));
    UniquePass oSource(3); // the secret alone
    qputenv("QTX_MACHINE_SEED_FILE", oOld);
    QCOMPARE(oSource.isFailed(), !used);
    SecurePass oPhrase;
    oSource.getPassword(oPhrase);
    const QByteArray oExpected = QCryptographicHash::hash(used ? content : QByteArray(), QCryptographicHash::Sha256).toHex();
    QCOMPARE(QByteArray(oPhrase.data(), oPhrase.size()), oExpected);
    // Refused, not replaced: the file stays as it was.
    QCOMPARE(tst::readFile(oPath), content + '\n');
}

void TestPassPhrase::missingSourcesFailButStillDerive()
{
    // No firmware identity at all: section 3 warns, a phrase is still derived.
    UniquePass oSource(4);
    QVERIFY(oSource.isFailed());
    SecurePass oPhrase;
    oSource.getPassword(oPhrase);
    QCOMPARE(oPhrase.length(), 64);
    QCOMPARE(oPhrase.size(), 64);

    // Other selections take fewer sources: the machine id alone is not the full phrase.
    SecurePass oGuidOnly;
    UniquePass(0).getPassword(oGuidOnly);
    QVERIFY(oGuidOnly.notEquals(oPhrase));
}

void TestPassPhrase::secureBuffers()
{
    QByteArray oSource("secret-bytes");
    const QByteArray oOriginal = oSource;
    SecureObject oObject(oSource);
    QCOMPARE(QByteArray(oObject.data(), oObject.size()), oOriginal);
    QCOMPARE(oObject.data()[oObject.size()], '\0');
    QVERIFY(oSource != oOriginal); // the source was overwritten
    QCOMPARE(oSource.size(), oOriginal.size());

    SecureObject oShared = oObject;
    oObject.release();
    QCOMPARE(oObject.data(), nullptr);
    QCOMPARE(oObject.size(), 0);
    QCOMPARE(QByteArray(oShared.data(), oShared.size()), oOriginal); // the other handle keeps it

    SecurePass oPass(QStringLiteral("zażółć"), "UTF-8");
    QCOMPARE(QByteArray(oPass.data(), oPass.size()), QStringLiteral("zażółć").toUtf8());
    oPass.resize(8, QLatin1Char('*'));
    QCOMPARE(QString::fromStdString(oPass.toStdString()), QStringLiteral("zażółć**"));
    QVERIFY(oPass.copy().equals(oPass));

    SecurePass oLatin(QStringLiteral("abc"), "ISO-8859-1");
    oLatin.setText(QStringLiteral("price €5"));
    QCOMPARE(oLatin.size(), 0); // cannot be encoded: the buffer stays empty
    QVERIFY_EXCEPTION_THROWN(oLatin.copy(), UnsupportedCharsException);
    oLatin.release();
    QVERIFY(oLatin.isEmpty());
}

QTEST_GUILESS_MAIN(TestPassPhrase)
#include "tst_passphrase.moc"
