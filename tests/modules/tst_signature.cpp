// The signature block: ModuleReader on ELF-like files (no "MZ", the block after
// all bytes) and on synthetic PE32 images, and CVersion reading a signed ver.ini
// in the plain-file mode.

#include "cversion.h"
#include "modulekeys.h"
#include "modulereader.h"
#include "qtxpaths.h"
#include "testsupport.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/stat.h>

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

// The record that names the build's signing key, at the end of a module's signed data.
QByteArray keyRecordOf(const QByteArray &v_oPem)
{
    BIO *poBio = BIO_new_mem_buf(v_oPem.constData(), v_oPem.size());
    EVP_PKEY *poKey = poBio ? PEM_read_bio_PrivateKey(poBio, nullptr, nullptr, nullptr) : nullptr;
    const QByteArray oRecord = modulekeys::keyRecord(poKey);
    EVP_PKEY_free(poKey);
    BIO_free(poBio);
    return oRecord;
}

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
        QCOMPARE(readFile(path("pad.so")).size(), oContent.size() + modulekeys::kRecordSize + 8 + 256 + 8 + 1 + padding);
        const ModuleReader oReader(path("pad.so"), true);
        QVERIFY(oReader.verify());
        QCOMPARE(oReader.getModuleData(), oContent + keyRecordOf(signingKeyPem()));
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
        // 3000 data bytes, the 40-byte key record, 8 + 256 + 8 block bytes, marker, 3 padding bytes.
        QTest::newRow("first data byte") << 3000 + 316 << false;
        QTest::newRow("last data byte") << 317 << false;
        QTest::newRow("key record") << 290 << false;
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
        QCOMPARE(oReader.getModuleData(), oImage.mid(0x400) + keyRecordOf(signingKeyPem()));  // the headers are not signed...
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
        QCOMPARE(oReader.getModuleData(), oImage.mid(0x200) + keyRecordOf(signingKeyPem()));
        // Changing the certificate table does not touch the signed region.
        oData[oData.size() - 5] = char(0x11);
        QVERIFY(writeFile(oPath, oData));
        QVERIFY(ModuleReader(oPath, true).verify());
        QString oMessage;  // the signer refuses a file that already carries a table
        QCOMPARE(qtxsign::signFile(oPath, signingKeyPem(), false, qtxsign::kAutoPadding, &oMessage),
                 qtxsign::Outcome::NotSignable);
    }

    // Keys of vendors in the administrator's folder besides the built-in one.
    void vendorKeys_data()
    {
        QTest::addColumn<QString>("signer");      // key the file is signed with: built-in, vendor, stranger
        QTest::addColumn<bool>("named");          // the file names its key (qtx-sign's record)
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<QString>("verifiedWith"); // empty: refused
        QTest::addColumn<QString>("why");          // in the refusal
        QTest::newRow("built-in key") << "built-in" << true << 0755 << 0644 << "built-in" << QString();
        QTest::newRow("vendor key in the folder") << "vendor" << true << 0755 << 0644 << "vendor.pem" << QString();
        QTest::newRow("unnamed, vendor key tried") << "vendor" << false << 0755 << 0644 << "vendor.pem" << QString();
        QTest::newRow("a key nobody put there") << "stranger" << true << 0755 << 0644 << QString()
                                                << "signed with key %stranger%, which this server does not trust";
        QTest::newRow("unnamed, no key verifies") << "stranger" << false << 0755 << 0644 << QString()
                                                  << "it names no key and no trusted key verifies its signature";
        QTest::newRow("folder others may write") << "vendor" << true << 0777 << 0644 << QString()
                                                 << "signed with key %vendor%, which this server does not trust";
        QTest::newRow("key file its group may write") << "vendor" << true << 0755 << 0664 << QString()
                                                      << "signed with key %vendor%, which this server does not trust";
    }
    void vendorKeys()
    {
        QFETCH(QString, signer);
        QFETCH(bool, named);
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QFETCH(QString, verifiedWith);
        QFETCH(QString, why);
        QTemporaryDir oDir;
        const QString oFolder = oDir.filePath(QStringLiteral("module-keys.d"));
        QVERIFY(QDir().mkpath(oFolder));
        QString oMessage;
        QCOMPARE(qtxsign::generateKey(oDir.filePath(QStringLiteral("vendor-private.pem")), oFolder + QStringLiteral("/vendor.pem"),
                                      &oMessage), qtxsign::Outcome::Ok);
        QCOMPARE(qtxsign::generateKey(oDir.filePath(QStringLiteral("stranger-private.pem")), oDir.filePath(QStringLiteral("stranger.pem")),
                                      &oMessage), qtxsign::Outcome::Ok);
        QVERIFY(::chmod(QFile::encodeName(oFolder + QStringLiteral("/vendor.pem")).constData(), mode_t(fileMode)) == 0);
        QVERIFY(::chmod(QFile::encodeName(oFolder).constData(), mode_t(folderMode)) == 0);
        const QByteArray oKey = signer == QLatin1String("built-in") ? signingKeyPem()
                                                                     : readFile(oDir.filePath(signer + QStringLiteral("-private.pem")));
        // Without the record: signed as a plain file from byte 0, which is how a
        // module of an ELF file was signed before (no marker padding).
        const QString oModule = oDir.filePath(QStringLiteral("m.so"));
        QVERIFY(writeFile(oModule, body(2000)));
        QCOMPARE(qtxsign::signFile(oModule, oKey, !named, named ? qtxsign::kAutoPadding : 0, &oMessage), qtxsign::Outcome::Ok);

        QStringList oProblems;
        const ModuleKeys oKeys = ModuleKeys::load(oFolder, &oProblems);
        QCOMPARE(oKeys.keys().size(), (folderMode & 022) || (fileMode & 022) ? 1 : 2);
        QCOMPARE(oProblems.isEmpty(), !((folderMode & 022) || (fileMode & 022)));
        const ModuleReader::Verdict oVerdict = ModuleReader(oModule, true).verifyWith(oKeys);
        QCOMPARE(oVerdict.verified, !verifiedWith.isEmpty());
        if (oVerdict.verified) {
            QCOMPARE(oVerdict.keySource, verifiedWith);
            return;
        }
        // The refusal names the key the file was signed with.
        why.replace(QStringLiteral("%stranger%"), QString::fromLatin1(qtxsign::keyFingerprint(oKey, &oMessage)));
        why.replace(QStringLiteral("%vendor%"), QString::fromLatin1(qtxsign::keyFingerprint(oKey, &oMessage)));
        QVERIFY2(oVerdict.why.contains(why), qPrintable(oVerdict.why));
    }

    void namedKeyMustVerify()
    {
        // A file that names a trusted key but is signed with another: checked
        // with the named key alone, and refused.
        QTemporaryDir oDir;
        QString oMessage;
        QCOMPARE(qtxsign::generateKey(oDir.filePath(QStringLiteral("other.pem")), oDir.filePath(QStringLiteral("other-public.pem")),
                                      &oMessage), qtxsign::Outcome::Ok);
        const QString oModule = oDir.filePath(QStringLiteral("m.so"));
        QVERIFY(writeFile(oModule, body(2000) + keyRecordOf(signingKeyPem())));
        QCOMPARE(qtxsign::signFile(oModule, readFile(oDir.filePath(QStringLiteral("other.pem"))), true, 0, &oMessage),
                 qtxsign::Outcome::Ok);
        const ModuleReader::Verdict oVerdict = ModuleReader(oModule, true).verifyWith(ModuleKeys::builtIn());
        QVERIFY(!oVerdict.verified);
        QVERIFY2(oVerdict.why.contains(QStringLiteral("does not verify with key")), qPrintable(oVerdict.why));
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
