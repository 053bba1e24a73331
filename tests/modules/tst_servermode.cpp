// DllModule in server mode (windowsServerMode=true in this test's INI): a module
// must export CanUseOnTerminalServices and answer true to load.

#include "dllmodule.h"
#include "logcapture.h"
#include "moduletestsupport.h"
#include "signtestsupport.h"

#include <QCoreApplication>
#include <QtTest>

using namespace tst;

class TstServerMode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TST_REQUIRE_SIGNING_KEY();
    }
    void cleanup()
    {
        qunsetenv("QTX_TST_TERMINAL");
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void consentingModuleLoads()
    {
        DllModule oModule("tstmod");
        QVERIFY(oModule.load(fixture("good")));
    }

    void refusingModuleFailsButStaysLoaded()
    {
        qputenv("QTX_TST_TERMINAL", "no");
        const int iDeinits = deinitCount();
        LogCapture oLog;
        {
            DllModule oModule("tstmod");
            QVERIFY(!oModule.load(fixture("good")));
            QVERIFY(oLog.has(QStringLiteral(
                "WARN DllModule::canUseOnTerminalServices :: bCanUseOnTerminalServices (from module)=0")));
            // Left loaded for the owner's destructor to unload.
            QVERIFY(oModule.isLoaded());
        }
        QCOMPARE(deinitCount(), iDeinits + 1);
    }

    void moduleWithoutExportFails()
    {
        LogCapture oLog;
        DllModule oModule("tstminimal");
        QVERIFY(!oModule.load(fixture("good", "tstminimal")));
        QVERIFY(oLog.has(QStringLiteral("Problem with resolving function \"CanUseOnTerminalServices\"")));
    }
};

QTEST_GUILESS_MAIN(TstServerMode)
#include "tst_servermode.moc"
