// The machine-bound pass phrase: the SMBIOS walk on synthetic tables, the seed
// created once and reused, stable 64-hex output, and the secure buffers.

#include "secureobject.h"
#include "uniquepass.h"

#include "qtxexceptions.h"

#include <QFile>
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
    void missingSourcesFailButStillDerive();
    void secureBuffers();

private:
    QTemporaryDir m_dir;
};

void TestPassPhrase::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QFile oMachineId(m_dir.filePath(QStringLiteral("machine-id")));
    QVERIFY(oMachineId.open(QIODevice::WriteOnly));
    oMachineId.write("0123456789abcdef0123456789abcdef\n");
    oMachineId.close();
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
    QTest::newRow("one type 1") << rawTable(oBios + systemInformation('\xAA') + oEnd) << QByteArray(16, '\xAA');
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
    QFile oTableFile(oTable);
    QVERIFY(oTableFile.open(QIODevice::WriteOnly));
    oTableFile.write(rawTable(systemInformation('\x42')));
    oTableFile.close();
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
    const QByteArray oSeedBytes = oSeed.readAll();
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Y]{16}$")).match(QString::fromLatin1(oSeedBytes)).hasMatch(),
             oSeedBytes.constData());
    QVERIFY(oSeed.permissions() & QFile::ReadOther);

    const QString oText = QString::fromStdString(oFirst.toStdString());
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(oText).hasMatch());
    // The phrase is the hash of seed + zero-terminated machine id + UUID bytes.
    const QByteArray oMaterial = oSeedBytes + QByteArray("0123456789abcdef0123456789abcdef\0", 33) + QByteArray(16, '\x42');
    QCOMPARE(oText, QString::fromLatin1(QCryptographicHash::hash(oMaterial, QCryptographicHash::Sha256).toHex()));

    // A later derivation reuses the seed.
    SecurePass oSecond;
    UniquePass(4).getPassword(oSecond);
    QVERIFY(oFirst.equals(oSecond));
    QVERIFY(oSeed.seek(0));
    QCOMPARE(oSeed.readAll(), oSeedBytes);
    qunsetenv("QTX_SMBIOS_TABLE_FILE");
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
