// The signature block: ModuleReader on ELF-like files (no "MZ", the block after
// all bytes) and on synthetic PE32 images, and CVersion reading a signed ver.ini
// in the plain-file mode.

#include "cversion.h"
#include "modulereader.h"
#include "qtxpaths.h"
#include "testsupport.h"

using namespace tst;

namespace {

void put32(QByteArray &v_oImage, int v_iPos, quint32 v_uiValue)
{
    for (int i = 0; i < 4; ++i)
        v_oImage[v_iPos + i] = char((v_uiValue >> (8 * i)) & 0xFF);
}

// Body bytes free of 0xFF, so only the block can put a marker into a file.
QByteArray body(int v_iSize, int v_iSeed = 1)
{
    QByteArray oBody(v_iSize, '\0');
    for (int i = 0; i < v_iSize; ++i)
        oBody[i] = char((i * 31 + v_iSeed * 7) % 251);
    return oBody;
}

constexpr int kLfanew = 0x80;

// DOS header with e_lfanew, PE signature, PE32 magic, SizeOfHeaders, an empty
// security directory, then the body.
QByteArray pe32Image(int v_iHeaderSize, int v_iBodySize)
{
    QByteArray oImage(v_iHeaderSize, '\0');
    oImage[0] = 'M';
    oImage[1] = 'Z';
    put32(oImage, 0x3C, kLfanew);
    oImage[kLfanew] = 'P';
    oImage[kLfanew + 1] = 'E';
    put32(oImage, kLfanew + 0x18, 0x10B);
    put32(oImage, kLfanew + 0x54, quint32(v_iHeaderSize));
    return oImage + body(v_iBodySize);
}

QString verIni() { return QCoreApplication::applicationDirPath() + QStringLiteral("/ver.ini"); }

} // namespace

class TstSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir m_oDir;
    QString path(const char *v_pName) const { return m_oDir.filePath(QLatin1String(v_pName)); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_oDir.isValid());
        TST_REQUIRE_SIGNING_KEY();
    }
    void cleanup() { QFile::remove(verIni()); }

    void paddingZeroToSeven_data()
    {
        QTest::addColumn<int>("padding");
        for (int i = 0; i <= 7; ++i)
            QTest::addRow("padding %d", i) << i;
    }
    void paddingZeroToSeven()
    {
        QFETCH(int, padding);
        const QByteArray oContent = body(3001, padding);
        QVERIFY(writeSigned(path("pad.so"), oContent, false, padding));
        QCOMPARE(readFile(path("pad.so")).size(), oContent.size() + 8 + 256 + 8 + 1 + padding);
        const ModuleReader oReader(path("pad.so"), true);
        QVERIFY(oReader.verify());
        QCOMPARE(oReader.getModuleData(), oContent);
    }

    void fileWithoutBlockIsRefused()
    {
        QVERIFY(writeFile(path("plain.so"), body(4000)));  // no 0xFF in the last 8 bytes
        LogCapture oLog;
        const ModuleReader oReader(path("plain.so"), true);
        QVERIFY(!oReader.isOk());
        QVERIFY(!oReader.verify());
        QVERIFY(oLog.has(QStringLiteral("ERROR ModuleReader::getOctawordPaddingSize :: There was no end of signature marker in the file!")));
        // A 0xFF near the end without a block behind it: the sizes cannot match.
        QVERIFY(writeFile(path("plain.so"), body(4000) + QByteArray(3, char(0xFF))));
        QVERIFY(!ModuleReader(path("plain.so"), true).isOk());
        QVERIFY(writeFile(path("plain.so"), QByteArray()));
        QVERIFY(!ModuleReader(path("plain.so"), true).verify());
    }

    void extraDataSize265IsRefusedFirst()
    {
        // A block made for a 257-byte signature: sizes consistent, but larger than accepted.
        QByteArray oData = body(1000) + QByteArray(8 + 257 + 8 + 1, '\0');
        put32(oData, 1000, 257);
        put32(oData, 1000 + 8 + 257, 265);
        oData[oData.size() - 1] = char(0xFF);
        QVERIFY(writeFile(path("e265.so"), oData));
        LogCapture oLog;
        QVERIFY(!ModuleReader(path("e265.so"), true).isOk());
        QVERIFY(oLog.has(QStringLiteral("INFO ModuleReader::readModule :: iExtraDataSize: 265")));
        QVERIFY(oLog.has(QStringLiteral("INFO ModuleReader::readModule :: wrong  iSignatureDataSize=265")));
        QVERIFY(!oLog.has(QStringLiteral("iSignatureSize: ")));
    }

    void oneChangedByte_data()
    {
        QTest::addColumn<int>("offsetFromEnd");  // position of the changed byte, counted from the end
        QTest::addColumn<bool>("verifies");
        // 3000 data bytes, 8 + 256 + 8 block bytes, marker, 3 padding bytes.
        QTest::newRow("first data byte") << 3000 + 276 << false;
        QTest::newRow("last data byte") << 277 << false;
        QTest::newRow("signature") << 200 << false;
        QTest::newRow("iSignatureSize") << 276 << false;
        QTest::newRow("padding byte (stays non-0xFF)") << 1 << true;
    }
    void oneChangedByte()
    {
        QFETCH(int, offsetFromEnd);
        QFETCH(bool, verifies);
        QVERIFY(writeSigned(path("changed.so"), body(3000), false, 3));
        QByteArray oData = readFile(path("changed.so"));
        oData[oData.size() - offsetFromEnd] = char(oData[oData.size() - offsetFromEnd] ^ 0x01);
        QVERIFY(writeFile(path("changed.so"), oData));
        QCOMPARE(ModuleReader(path("changed.so"), true).verify(), verifies);
    }

    void peWithoutAuthenticode()
    {
        const QByteArray oImage = pe32Image(0x400, 5000);
        QVERIFY(writeSigned(path("noauth.dll"), oImage, false));
        const ModuleReader oReader(path("noauth.dll"), true);
        QVERIFY(oReader.verify());
        QCOMPARE(oReader.getModuleData(), oImage.mid(0x400));  // the headers are not signed...
        QByteArray oData = readFile(path("noauth.dll"));
        oData[kLfanew + 0x58] = char(0x5A);  // ...so the CheckSum may change afterwards
        QVERIFY(writeFile(path("noauth.dll"), oData));
        QVERIFY(ModuleReader(path("noauth.dll"), true).verify());
        oData[0x400 + 17] = char(oData[0x400 + 17] ^ 0x40);  // one byte after the headers does count
        QVERIFY(writeFile(path("noauth.dll"), oData));
        QVERIFY(!ModuleReader(path("noauth.dll"), true).verify());
    }

    void peWithAuthenticode()
    {
        // Signed first, the certificate table (with 0xFF bytes) added afterwards, as a vendor would.
        const QByteArray oImage = pe32Image(0x200, 4093);
        const QString oPath = path("auth.dll");
        QVERIFY(writeSigned(oPath, oImage, false, 6));
        QByteArray oData = readFile(oPath);
        put32(oData, kLfanew + 0x98, quint32(oData.size()));
        put32(oData, kLfanew + 0x9C, 120);
        for (int i = 0; i < 120; ++i)
            oData += char(i % 3 ? 0xFF : i);
        QVERIFY(writeFile(oPath, oData));
        const ModuleReader oReader(oPath, true);
        QVERIFY(oReader.verify());
        QCOMPARE(oReader.getModuleData(), oImage.mid(0x200));
        // Changing the certificate table does not touch the signed region.
        oData[oData.size() - 5] = char(0x11);
        QVERIFY(writeFile(oPath, oData));
        QVERIFY(ModuleReader(oPath, true).verify());
        QString oMessage;  // the signer refuses a file that already carries a table
        QCOMPARE(qtxsign::signFile(oPath, signingKeyPem(), false, qtxsign::kAutoPadding, &oMessage),
                 qtxsign::Outcome::NotSignable);
    }

    // ver.ini beside the executable: its installer version, "0.0.0.INVALID" for
    // every file that is not authentic or not for this build.
    void version_data()
    {
        QTest::addColumn<QByteArray>("text");  // empty: no file
        QTest::addColumn<bool>("sign");
        QTest::addColumn<int>("flipAt");  // byte to change after signing, -1 for none
        QTest::addColumn<QString>("expected");
        const QString oInvalid = QStringLiteral("0.0.0.INVALID");
        const QByteArray oThis = "[General]\nquorvexcryptoprovider=" + qtxBuiltInVersion().toUtf8() + "\n";
        // Another build's version, of another length than this one's: QSettings
        // keeps a file it has read while its size and time stamp (milliseconds)
        // stay the same, and the rows rewrite the file within a millisecond.
        const QByteArray oOther = "[General]\nquorvexcryptoprovider=3.0.16."
                                  + QByteArray(qtxBuiltInVersion().size() + 3, '1') + "\n";
        QTest::newRow("signed for this build") << oThis + "installer=3.1.7\n" << true << -1 << QStringLiteral("3.1.7");
        QTest::newRow("without installer key") << oThis << true << -1 << QString();
        QTest::newRow("tampered text") << oThis + "installer=3.1.7\n" << true << 10 << oInvalid;
        QTest::newRow("tampered signature") << oThis + "installer=3.1.7\n" << true << -100 << oInvalid;
        QTest::newRow("another build") << oOther + "installer=3.1.7\n" << true << -1 << oInvalid;
        QTest::newRow("unsigned") << oThis + "installer=3.1.7\n" << false << -1 << oInvalid;
        QTest::newRow("no file") << QByteArray() << false << -1 << oInvalid;
        QTest::newRow("made by the build") << readFile(QStringLiteral(QTX_BINARY_DIR "/ver.ini")) << false << -1
                                           << QStringLiteral(QTX_TEST_PROJECT_VERSION);
    }
    void version()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, sign);
        QFETCH(int, flipAt);
        QFETCH(QString, expected);
        if (!text.isEmpty())
            QVERIFY(sign ? writeSigned(verIni(), text, true) : writeFile(verIni(), text));
        if (flipAt != -1) {
            QByteArray oData = readFile(verIni());
            const int iPos = flipAt >= 0 ? flipAt : oData.size() + flipAt;
            oData[iPos] = char(oData[iPos] ^ 0x02);
            QVERIFY(writeFile(verIni(), oData));
        }
        QCOMPARE(CVersion().GetVersion(), expected);
    }
};

QTEST_GUILESS_MAIN(TstSignature)
#include "tst_signature.moc"
