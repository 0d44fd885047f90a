#include "backendfixture.h"
#include "gamewaiter.h"
#include "launcherbackend.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <csignal>

using namespace BackendFixture;

namespace {
// A started backend behind a shown window, as the program has them, with the spies of a
// launch.
struct ShownLauncher {
    ShownLauncher() { window.show(); }

    Started started;
    LauncherBackend& backend = *started.backend;
    LaunchSpies spies{backend};
    QWindow window;
    GameWaiter waiter{&window, &backend};
};
} // namespace

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
        ShownLauncher shown;
        LauncherBackend& backend = shown.backend;

        backend.launchGame(0, 0);
        QVERIFY(backend.busy());
        QVERIFY(shown.window.close());
        QVERIFY(!backend.busy());
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount("/auth/authenticate"), 1, 10000);
        QTest::qWait(1000);
        QCOMPARE(shown.spies.launched.size(), 0);
        QCOMPARE(shown.spies.output.size(), 0);
        QVERIFY(!backend.gameRunning());
        QCOMPARE(shown.started.messages(), QStringList());
    }

    // A game that ends while the window is hidden: a clean end lets the program end with
    // the window still hidden; any other end shows the window again.
    void gameEndWhileHidden_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("killed");
        QTest::addColumn<bool>("windowBack");
        QTest::newRow("clean exit") << 0 << false << false;
        QTest::newRow("error exit") << 3 << false << true;
        QTest::newRow("killed") << 0 << true << true;
    }

    void gameEndWhileHidden()
    {
        QFETCH(int, exitCode);
        QFETCH(bool, killed);
        QFETCH(bool, windowBack);
        QTemporaryDir game;
        const QString quitFile = game.filePath(QStringLiteral("quit"));
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home, {QJsonObject{{"id", 1}, {"name", "Main"}, {"login", "Steve"}}},
            {fakeBuild(1, "Build")},
            {{"jvmArgs", QStringLiteral("-Dfake.quitWhen=%1 -Dfake.exitCode=%2")
                             .arg(quitFile)
                             .arg(exitCode)}}));
        ShownLauncher shown;
        const QSignalSpy& output = shown.spies.output;
        QWindow& window = shown.window;

        shown.backend.launchGame(0, 0);
        static const QRegularExpression playing(QStringLiteral("^playing pid=(\\d+)$"));
        QTRY_VERIFY_WITH_TIMEOUT(TestHelpers::firstArguments(output).indexOf(playing) >= 0,
                                 kGameWaitMs);
        QVERIFY(!window.close());
        QVERIFY(!window.isVisible());

        if (killed) {
            const QStringList lines = TestHelpers::firstArguments(output);
            const QString line = lines.at(lines.indexOf(playing));
            QCOMPARE(::kill(pid_t(playing.match(line).captured(1).toLongLong()), SIGKILL), 0);
        } else {
            QVERIFY(TestHelpers::writeFile(quitFile, "quit"));
        }
        const QSignalSpy& finished = shown.spies.finished;
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kGameWaitMs);
        QCOMPARE(finished.at(0).at(0).toInt() != 0 || finished.at(0).at(1).toBool(), windowBack);
        // The waiter hears of the end once the interface has.
        QTest::qWait(200);
        QCOMPARE(window.isVisible(), windowBack);
    }

private:
    LaunchTools m_tools;
};

QTEST_MAIN(TestGameWaiter)
#include "tst_gamewaiter.moc"
