// Signature block: PEHeaderData positions, ModuleReader on ELF-like and PE32
// files, the built-in key, and the qtx-sign tool that writes the block. The
// plain-file mode is covered through CVersion in tst_version.cpp.

#include "logcapture.h"
#include "modulereader.h"
#include "peheaderdata.h"
#include "signtestsupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace tst;

class TstSignature : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_oDir;
    QString path(const QString &v_oName) const { return m_oDir.filePath(v_oName); }
    int runSign(const QStringList &v_oArgs, QByteArray *v_poStderr = nullptr);

private slots:
    void initTestCase();

    // ELF-like files (no "MZ"): H = 0, the block after all bytes.
    void paddingZeroToSeven_data();
    void paddingZeroToSeven();
    void fileWithoutBlockIsRefused();
    void paddingHoldingFF();
    void extraDataSize265IsRefusedFirst();
    void oneChangedByte_data();
    void oneChangedByte();
    void hostileSizesDoNotEscape();

    // PE32 files.
    void peWithoutAuthenticode();
    void peWithAuthenticode();
    void peInvalidHeaders_data();
    void peInvalidHeaders();


    // The qtx-sign command line.
    void signToolExitCodes();
};

void TstSignature::initTestCase()
{
    QVERIFY(m_oDir.isValid());
    TST_REQUIRE_SIGNING_KEY();
}

void TstSignature::paddingZeroToSeven_data()
{
    QTest::addColumn<int>("padding");
    for (int i = 0; i <= 7; ++i)
        QTest::addRow("padding %d", i) << i;
}

void TstSignature::paddingZeroToSeven()
{
    QFETCH(int, padding);
    const QByteArray oContent = body(3001, padding);
    const QString oPath = path(QStringLiteral("pad%1.so").arg(padding));
    QVERIFY(writeSigned(oPath, oContent, false, padding));
    QCOMPARE(readFile(oPath).size(), oContent.size() + 8 + 256 + 8 + 1 + padding);

    LogCapture oLog;
    const ModuleReader oReader(oPath, true);
    QVERIFY(oReader.isOk());
    QCOMPARE(oReader.getModuleData(), oContent);
    QCOMPARE(oReader.getSignature().size(), 256);
    QVERIFY(oReader.verify());
    QVERIFY(oLog.has(QStringLiteral("NOTICE ModuleReader::getOctawordPaddingSize :: Octaword padding size: %1").arg(padding)));
    QVERIFY(oLog.has(QStringLiteral("NOTICE PEHeaderData::loadData :: Invalid PE file header")));
}

void TstSignature::fileWithoutBlockIsRefused()
{
    // No 0xFF in the last 8 bytes at all.
    const QString oPath = path(QStringLiteral("plain.so"));
    QVERIFY(writeFile(oPath, body(4000)));
    LogCapture oLog;
    const ModuleReader oReader(oPath, true);
    QVERIFY(!oReader.isOk());
    QVERIFY(!oReader.verify());
    QVERIFY(oLog.has(QStringLiteral("ERROR ModuleReader::getOctawordPaddingSize :: There was no end of signature marker in the file!")));

    // A 0xFF near the end without a block behind it: the sizes cannot match.
    QVERIFY(writeFile(oPath, body(4000) + QByteArray(3, char(0xFF))));
    QVERIFY(!ModuleReader(oPath, true).isOk());

    QVERIFY(writeFile(oPath, QByteArray()));
    QVERIFY(!ModuleReader(oPath, true).verify());
}

void TstSignature::paddingHoldingFF()
{
    // A 0xFF inside the 0-7 padding bytes: the marker is the first 0xFF of the
    // last 8 bytes, so the block is still found at the right position.
    const QString oPath = path(QStringLiteral("padff.so"));
    QVERIFY(writeSigned(oPath, body(2000), false, 5));
    QByteArray oData = readFile(oPath);
    oData[oData.size() - 1] = char(0xFF);
    QVERIFY(writeFile(oPath, oData));
    QVERIFY(ModuleReader(oPath, true).verify());

    // Bytes with a 0xFF beyond the 7-byte padding: that 0xFF is taken for the
    // marker, the block is read at the wrong position and refused.
    QVERIFY(writeSigned(oPath, body(2000), false, 7));
    oData = readFile(oPath) + QByteArray::fromHex("000000ff00000000");
    QVERIFY(writeFile(oPath, oData));
    LogCapture oLog;
    const ModuleReader oReader(oPath, true);
    QVERIFY(!oReader.isOk());
    QVERIFY(oLog.has(QStringLiteral("Octaword padding size: 4")));
    QVERIFY(oLog.has(QStringLiteral("wrong  iSignatureDataSize")));
}

void TstSignature::extraDataSize265IsRefusedFirst()
{
    // A block made for a 257-byte signature: sizes consistent, but larger than accepted.
    QByteArray oData = body(1000);
    const int iStart = oData.size();
    oData.resize(iStart + 8 + 257 + 8 + 1);
    put64(oData, iStart, 257);
    put64(oData, iStart + 8 + 257, 265);
    oData[oData.size() - 1] = char(0xFF);
    const QString oPath = path(QStringLiteral("e265.so"));
    QVERIFY(writeFile(oPath, oData));

    LogCapture oLog;
    const ModuleReader oReader(oPath, true);
    QVERIFY(!oReader.isOk());
    QVERIFY(oLog.has(QStringLiteral("INFO ModuleReader::readModule :: iExtraDataSize: 265")));
    QVERIFY(oLog.has(QStringLiteral("INFO ModuleReader::readModule :: wrong  iSignatureDataSize=265")));
    QVERIFY(!oLog.has(QStringLiteral("iSignatureSize: ")));
}

void TstSignature::oneChangedByte_data()
{
    QTest::addColumn<int>("offsetFromEnd");  // position of the changed byte, counted from the end
    QTest::addColumn<bool>("verifies");
    // Layout of the file: 3000 data bytes, 8 + 256 + 8 block bytes, marker, 3 padding bytes.
    QTest::newRow("first data byte") << 3000 + 276 << false;
    QTest::newRow("last data byte") << 277 << false;
    QTest::newRow("signature") << 200 << false;
    QTest::newRow("iSignatureSize") << 276 << false;
    QTest::newRow("padding byte (stays non-0xFF)") << 1 << true;
}

void TstSignature::oneChangedByte()
{
    QFETCH(int, offsetFromEnd);
    QFETCH(bool, verifies);
    const QString oPath = path(QStringLiteral("changed.so"));
    QVERIFY(writeSigned(oPath, body(3000), false, 3));
    QByteArray oData = readFile(oPath);
    QCOMPARE(oData.size(), 3000 + 276);
    oData[oData.size() - offsetFromEnd] = char(oData[oData.size() - offsetFromEnd] ^ 0x01);
    QVERIFY(writeFile(oPath, oData));
    QCOMPARE(ModuleReader(oPath, true).verify(), verifies);
}

void TstSignature::hostileSizesDoNotEscape()
{
    // Extreme size fields must end in a refused block, never in a throw or a
    // read outside the file (ASan/UBSan builds check the arithmetic).
    const qint64 aValues[] = {std::numeric_limits<qint64>::min(), -1, -4096, 0, 8,
                              std::numeric_limits<qint64>::max()};
    for (qint64 iExtra : aValues) {
        for (qint64 iSignature : aValues) {
            QByteArray oData = body(600);
            const int iStart = oData.size();
            oData.resize(iStart + 8 + 256 + 8 + 1);
            put64(oData, iStart, iSignature);
            put64(oData, iStart + 264, iExtra);
            oData[oData.size() - 1] = char(0xFF);
            // The early size field as well, read when iExtra points back into the file.
            put64(oData, iStart + 264 - 8, iSignature);
            const QString oPath = path(QStringLiteral("hostile.so"));
            QVERIFY(writeFile(oPath, oData));
            QVERIFY(!ModuleReader(oPath, true).verify());
            QVERIFY(!ModuleReader(oPath, false).verify());
        }
    }
}

void TstSignature::peWithoutAuthenticode()
{
    const QByteArray oImage = pe32Image(0x400, 5000);
    const QString oPath = path(QStringLiteral("noauth.dll"));
    QVERIFY(writeSigned(oPath, oImage, false));
    const ModuleReader oReader(oPath, true);
    QVERIFY(oReader.verify());
    // The headers are not part of the signed data...
    QCOMPARE(oReader.getModuleData(), oImage.mid(0x400));

    // ...so the checksum and the security directory may change afterwards.
    QByteArray oData = readFile(oPath);
    oData[kLfanew + kCheckSumOffset] = char(0x5A);
    QVERIFY(writeFile(oPath, oData));
    QVERIFY(ModuleReader(oPath, true).verify());

    // One byte after the headers does count.
    oData[0x400 + 17] = char(oData[0x400 + 17] ^ 0x40);
    QVERIFY(writeFile(oPath, oData));
    QVERIFY(!ModuleReader(oPath, true).verify());
}

void TstSignature::peWithAuthenticode()
{
    // Signed first, the certificate table added afterwards, as a vendor would.
    const QByteArray oImage = pe32Image(0x200, 4093);
    const QString oPath = path(QStringLiteral("auth.dll"));
    QVERIFY(writeSigned(oPath, oImage, false, 6));
    QByteArray oData = readFile(oPath);
    addAuthenticode(oData, 120);
    QVERIFY(writeFile(oPath, oData));

    QFile oFile(oPath);
    QVERIFY(oFile.open(QIODevice::ReadOnly));
    LogCapture oLog;
    PEHeaderData oHeader(&oFile);
    oHeader.loadData();
    QCOMPARE(oHeader.headerSize(), qint64(0x200));
    QCOMPARE(oHeader.authenticodePosition(), qint64(oImage.size() + 273 + 6));
    QVERIFY(oLog.has(QStringLiteral("NOTICE PEHeaderData::loadData :: PEHeader size: 512")));

    const ModuleReader oReader(oPath, true);
    QVERIFY(oReader.verify());
    QCOMPARE(oReader.getModuleData(), oImage.mid(0x200));

    // Changing the certificate table does not touch the signed region.
    oData[oData.size() - 5] = char(0x11);
    QVERIFY(writeFile(oPath, oData));
    QVERIFY(ModuleReader(oPath, true).verify());

    // qtx-sign refuses a file that already carries a table.
    QString oMessage;
    QCOMPARE(qtxsign::signFile(oPath, signingKeyPem(), false, qtxsign::kAutoPadding, &oMessage),
             qtxsign::Outcome::NotSignable);
}

void TstSignature::peInvalidHeaders_data()
{
    QTest::addColumn<int>("lfanew");
    QTest::addColumn<quint32>("headerSize");
    QTest::newRow("e_lfanew past the end") << 0x7FFFFFF0 << quint32(0x400);
    QTest::newRow("directory past the end") << 6200 << quint32(0x400);
    QTest::newRow("SizeOfHeaders past the end") << kLfanew << quint32(0x100000);
}

void TstSignature::peInvalidHeaders()
{
    QFETCH(int, lfanew);
    QFETCH(quint32, headerSize);
    QByteArray oImage = pe32Image(0x400, 5000);
    put32(oImage, 0x3C, quint32(lfanew));
    put32(oImage, kLfanew + 0x54, headerSize);
    const QString oPath = path(QStringLiteral("invalid.dll"));
    QVERIFY(writeSigned(oPath, oImage, false));

    QFile oFile(oPath);
    QVERIFY(oFile.open(QIODevice::ReadOnly));
    LogCapture oLog;
    PEHeaderData oHeader(&oFile);
    oHeader.loadData();
    QCOMPARE(oHeader.headerSize(), qint64(0));
    QCOMPARE(oHeader.authenticodePosition(), qint64(0));
    QVERIFY(oLog.has(QStringLiteral("NOTICE PEHeaderData::loadData :: Invalid PE file header")));
    // Treated like an ELF file: the signature covers everything from byte 0.
    QVERIFY(ModuleReader(oPath, true).verify());
}

int TstSignature::runSign(const QStringList &v_oArgs, QByteArray *v_poStderr)
{
    QProcess oProcess;
    oProcess.start(QStringLiteral(QTX_SIGN_EXECUTABLE), v_oArgs);
    if (!oProcess.waitForFinished(30000))
        return -1;
    if (v_poStderr)
        *v_poStderr = oProcess.readAllStandardError();
    return oProcess.exitStatus() == QProcess::NormalExit ? oProcess.exitCode() : -1;
}

void TstSignature::signToolExitCodes()
{
    const QString oKey = QStringLiteral(QTX_TEST_SIGNING_KEY);
    const QString oPub = QStringLiteral(QTX_TEST_PUBLIC_KEY);
    const QString oFile = path(QStringLiteral("tool.so"));
    QVERIFY(writeFile(oFile, body(2222)));

    QCOMPARE(runSign({QStringLiteral("sign"), QStringLiteral("--key"), oKey, oFile}), 0);
    QCOMPARE(readFile(oFile).size() % 8, 0);  // default padding ends on an 8-byte boundary
    QCOMPARE(runSign({QStringLiteral("verify"), QStringLiteral("--pubkey"), oPub, oFile}), 0);

    QByteArray oData = readFile(oFile);
    oData[100] = char(oData[100] ^ 1);
    QVERIFY(writeFile(oFile, oData));
    QByteArray oStderr;
    QCOMPARE(runSign({QStringLiteral("verify"), QStringLiteral("--pubkey"), oPub, oFile}, &oStderr), 1);
    QVERIFY(oStderr.contains("does NOT match"));

    const QString oIni = path(QStringLiteral("tool.ini"));
    QVERIFY(writeFile(oIni, "installer=1\n"));
    QCOMPARE(runSign({QStringLiteral("sign"), QStringLiteral("--key"), oKey, QStringLiteral("--plain"), oIni}), 0);
    QCOMPARE(uchar(readFile(oIni).back()), uchar(0xFF));
    QCOMPARE(runSign({QStringLiteral("verify"), QStringLiteral("--pubkey"), oPub, QStringLiteral("--plain"), oIni}), 0);

    // Usage errors, then unreadable keys or files.
    QCOMPARE(runSign({}), 2);
    QCOMPARE(runSign({QStringLiteral("sign"), oFile}), 2);
    QCOMPARE(runSign({QStringLiteral("sign"), QStringLiteral("--key"), oKey, QStringLiteral("--padding"),
                      QStringLiteral("8"), oFile}), 2);
    QCOMPARE(runSign({QStringLiteral("sign"), QStringLiteral("--key"), oPub, oFile}, &oStderr), 3);
    QVERIFY(oStderr.contains("private key"));
    QCOMPARE(runSign({QStringLiteral("verify"), QStringLiteral("--pubkey"), oPub, path(QStringLiteral("none.so"))}), 3);
}

QTEST_GUILESS_MAIN(TstSignature)
#include "tst_signature.moc"
