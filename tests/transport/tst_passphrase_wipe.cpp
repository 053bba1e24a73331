// No clear-text copy of the key pass phrase, nor of the machine values it is
// derived from, is handed back to the allocator unwiped while a pass phrase is
// derived, re-derived after reset() and released. The test binary replaces
// free() and realloc() with versions that look into every block before it
// goes back to glibc (so it is not built under the sanitizers, which own the
// allocator themselves).

#include "../../testkit/filesupport.h"
#include "secureobject.h"
#include "uniquepass.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstring>

#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t);
void __libc_free(void *);
}

namespace {

// What the hooks look for; set while armed, never freed while armed.
struct Needle
{
    const char *data = nullptr;
    size_t size = 0;
};
Needle g_needles[3];
std::atomic<bool> g_armed{false};
std::atomic<int> g_found[3];

void inspect(void *v_pBlock, size_t v_uiSize)
{
    if (!v_pBlock || !g_armed.load(std::memory_order_relaxed))
        return;
    for (int i = 0; i < 3; ++i) {
        if (g_needles[i].size && ::memmem(v_pBlock, v_uiSize, g_needles[i].data, g_needles[i].size))
            g_found[i].fetch_add(1);
    }
}

} // namespace

extern "C" void free(void *v_pBlock)
{
    if (v_pBlock)
        inspect(v_pBlock, ::malloc_usable_size(v_pBlock));
    __libc_free(v_pBlock);
}

// Always moves, so the old block is looked into before it is freed.
extern "C" void *realloc(void *v_pBlock, size_t v_uiSize)
{
    if (!v_pBlock)
        return __libc_malloc(v_uiSize);
    if (v_uiSize == 0) {
        free(v_pBlock);
        return nullptr;
    }
    void *pNew = __libc_malloc(v_uiSize);
    if (!pNew)
        return nullptr;
    const size_t uiOld = ::malloc_usable_size(v_pBlock);
    std::memcpy(pNew, v_pBlock, uiOld < v_uiSize ? uiOld : v_uiSize);
    free(v_pBlock);
    return pNew;
}

class TestPassPhraseWipe : public QObject
{
    Q_OBJECT
private slots:
    void nothingFreedInClearText();
};

void TestPassPhraseWipe::nothingFreedInClearText()
{
    QTemporaryDir oDir;
    QVERIFY(oDir.isValid());
    const QByteArray oSeed = "3f9a0c5e7b2d4f6a8c1e3b5d7f9a0c2e4b6d8f0a1c3e5b7d9f1a3c5e7b9d0f2a";
    const QByteArray oMachineId = "5f0c2a9e7d3b41c68e2f90a1b7c4d3e2";
    // The account's secret is used only when no other account can read it.
    QVERIFY(tst::writeFile(oDir.filePath(QStringLiteral("Seed")), oSeed, 0600));
    QVERIFY(tst::writeFile(oDir.filePath(QStringLiteral("machine-id")), oMachineId + '\n'));
    qputenv("QTX_MACHINE_SEED_FILE", QFile::encodeName(oDir.filePath(QStringLiteral("Seed"))));
    qputenv("QTX_MACHINE_ID_FILE", QFile::encodeName(oDir.filePath(QStringLiteral("machine-id"))));
    qputenv("QTX_DMI_ID_DIR", QFile::encodeName(oDir.path()));

    // The seed followed by the machine id appears only in the derivation's own
    // material; the pass phrase is the hex digest of it, as bytes and as text.
    const QByteArray oMaterial = oSeed + oMachineId;
    const QByteArray oPhrase = QCryptographicHash::hash(oMaterial + '\0', QCryptographicHash::Sha256).toHex();
    const QString oPhraseText = QString::fromLatin1(oPhrase);
    g_needles[0] = {oMaterial.constData(), size_t(oMaterial.size())};
    g_needles[1] = {oPhrase.constData(), size_t(oPhrase.size())};
    g_needles[2] = {reinterpret_cast<const char *>(oPhraseText.constData()), size_t(oPhraseText.size()) * sizeof(QChar)};

    g_armed = true;
    {
        UniquePass oSource(4);
        SecurePass oFirst;
        oSource.getPassword(oFirst);
        g_armed = false;
        QCOMPARE(QByteArray(oFirst.data(), oFirst.size()), oPhrase);
        g_armed = true;
        oSource.reset();
        SecurePass oSecond;
        oSource.getPassword(oSecond);
        oSecond.release();
    }
    g_armed = false;
    QCOMPARE(g_found[0].load(), 0); // material
    QCOMPARE(g_found[1].load(), 0); // pass phrase bytes
    QCOMPARE(g_found[2].load(), 0); // pass phrase text
}

QTEST_GUILESS_MAIN(TestPassPhraseWipe)
#include "tst_passphrase_wipe.moc"
