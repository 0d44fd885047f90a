#include "backendfixture.h"
#include "gamewaiter.h"
#include "launcherbackend.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QTest>
#include <QWindow>

using namespace BackendFixture;

// What closing the launcher's window does to a launch. The game running behind a closed
// window and a second start are the window tests' (tst_main), which need a program of
// their own.
class TestGameWaiter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(TestHelpers::loadEnglishCatalog());
        QString error;
        QVERIFY2(m_tools.compile(&error), qPrintable(error));
    }

    void cleanup() { RemoteAddresses::resetForTesting(); }

    // A launch still signing in, with no game yet, ends with the window: no game starts
    // after the player has closed the launcher.
    void closingDuringALaunchCancelsIt()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeSlowSignIn(server);
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {accountProfile(3, "Ely", "steve@example.org", "pw")},
                                    {fakeBuild(1, "Build")}));
        QVERIFY(m_tools.installAgent(home));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        QWindow window;
        GameWaiter waiter(&window, &backend);
        window.show();

        backend.launchGame(0, 0);
        QVERIFY(backend.busy());
        QVERIFY(window.close());
        QVERIFY(!backend.busy());
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount("/auth/authenticate"), 1, 10000);
        QTest::qWait(1000);
        QCOMPARE(spies.launched.size(), 0);
        QCOMPARE(spies.output.size(), 0);
        QVERIFY(!backend.gameRunning());
        QCOMPARE(started.messages(), QStringList());
    }

private:
    LaunchTools m_tools;
};

QTEST_MAIN(TestGameWaiter)
#include "tst_gamewaiter.moc"
