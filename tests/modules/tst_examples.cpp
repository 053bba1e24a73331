// The example modules as the server loads them from the build's module folder,
// and the SDK header's types against the server's own.

#include "dllmodule.h"
#include "qtxmodule.h"
#include "qtxtypes.h"
#include "signtestsupport.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <type_traits>

// Redeclared typedefs must name the same types, or module and server disagree.
static_assert(std::is_same<tpfun, tResultType (*)(const tRequestMap &, const tSessionParamsMap &)>::value,
              "command function type");

namespace {

QString example(const char *v_pName)
{
    return QStringLiteral(QTX_BINARY_DIR "/modules/") + QLatin1String(v_pName);
}

QJsonObject call(DllModule &v_oModule, const QByteArray &v_oCommand, const tRequestMap &v_oRequest,
                 const tSessionParamsMap &v_oSession = tSessionParamsMap())
{
    const tpfun pFunction = v_oModule.getFunction(v_oCommand);
    if (!pFunction)
        return QJsonObject();
    return QJsonDocument::fromJson(pFunction(v_oRequest, v_oSession)).object();
}

} // namespace

class TstExamples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TST_REQUIRE_SIGNING_KEY();
    }
    void cleanup()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void keepAliveAndPublicInfo()
    {
        DllModule oKeepAlive("KeepAlive");
        QVERIFY(oKeepAlive.load(example("KeepAlive")));
        QCOMPARE(call(oKeepAlive, "Ping", tRequestMap()).value(QStringLiteral("alive")).toBool(), true);

        // Only ServerTime is declared safe for other accounts.
        DllModule oPublic("PublicInfo");
        QVERIFY(oPublic.load(example("PublicInfo")));
        QVERIFY(oPublic.canUnprivilegedRun(oPublic.getFunction("ServerTime")));
        QVERIFY(!oPublic.canUnprivilegedRun(oPublic.getFunction("SessionVariables")));
    }

    void hasher()
    {
        DllModule oModule("Hasher");
        QVERIFY(oModule.load(example("Hasher")));
        QCOMPARE(oModule.getRequestParams("VerifyHmac"), QStringList({"mac", "data"}));
        tRequestMap oRequest;
        oRequest.insert("data", "abc");
        QCOMPARE(call(oModule, "Sha256", oRequest).value(QStringLiteral("hex")).toString(),
                 QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

        const QString oMac = call(oModule, "HmacSha256", oRequest).value(QStringLiteral("hex")).toString();
        QCOMPARE(oMac.size(), 64);
        oRequest.insert("mac", oMac.toLatin1());
        QCOMPARE(call(oModule, "VerifyHmac", oRequest).value(QStringLiteral("valid")).toBool(), true);
        oRequest.replace("mac", QByteArray(64, '0'));
        QCOMPARE(call(oModule, "VerifyHmac", oRequest).value(QStringLiteral("valid")).toBool(), false);
    }

    void confirmDialog_data()
    {
        QTest::addColumn<bool>("closeWindows");
        QTest::addColumn<QString>("answer");
        QTest::newRow("yes clicked") << false << QStringLiteral("yes");
        QTest::newRow("cancelled by closing all windows") << true << QStringLiteral("cancelled");
    }

    void confirmDialog()
    {
        QFETCH(bool, closeWindows);
        QFETCH(QString, answer);
        DllModule oModule("ConfirmDialog");
        QVERIFY(oModule.load(example("ConfirmDialog")));
        const tpfun pConfirm = oModule.getFunction("Confirm");
        QVERIFY(oModule.isGuiFunction(pConfirm));

        // Acts on the modal dialog from the event loop that exec() runs.
        QTimer::singleShot(50, [closeWindows] {
            if (closeWindows) {
                QApplication::closeAllWindows();
                return;
            }
            for (QWidget *poWidget : QApplication::topLevelWidgets()) {
                if (auto *poDialog = qobject_cast<QDialog *>(poWidget)) {
                    poDialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Yes)->click();
                }
            }
        });
        tRequestMap oRequest;
        oRequest.insert("text", "Sign the document?");
        const QJsonObject oReply = QJsonDocument::fromJson(pConfirm(oRequest, tSessionParamsMap())).object();
        QCOMPARE(oReply.value(QStringLiteral("answer")).toString(), answer);
    }
};

QTEST_MAIN(TstExamples)
#include "tst_examples.moc"
