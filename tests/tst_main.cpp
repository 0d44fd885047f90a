#include "appsession.h"
#include "backendfixture.h"
#include "gamedirfixture.h"
#include "launcherbackend.h"
#include "launcherupdates.h"
#include "localization.h"
#include "qmlprobe.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "ziparchive.h"
#include "zipwriter.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <memory>

namespace {
const QString kLogLine = QStringLiteral("HOLLOWMERE_HOME: данные лаунчера в ");

const char kLocProbe[] = R"(
import QtQml
import Hollowmere

QtObject {
    property string cancel: Loc.t.common.button.cancel
    property var authTypes: Loc.t.profile.authTypes
    property bool authTypesIsArray: Array.isArray(Loc.t.profile.authTypes)
    property bool missingIsUndefined: Loc.t.common.button.noSuchButton === undefined
    property string language: Loc.language
}
)";

QStringList dataFiles(const QString& dataDir)
{
    return QDir(dataDir).entryList(QDir::Files, QDir::Name);
}

// Starts the launcher in English over these builds, the first one active, and
// opens the builds dialog from the build button. The window's id; empty when
// the launcher did not come up.
QString startWithBuildsDialog(AppSession& session, const QJsonArray& builds)
{
    const QJsonObject settings{{"language", "en"}, {"activeBuildId", 1}};
    if (!session.writeDataFile(QStringLiteral("settings.json"), QJsonDocument(settings).toJson()) ||
        !session.writeDataFile(QStringLiteral("customBuilds.json"),
                               QJsonDocument(builds).toJson()) ||
        !session.start())
        return {};
    const QString window = session.waitForWindow(QStringLiteral("Hollowmere"));
    if (window.isEmpty() ||
        session.settledAfter(window, [&] { return session.click(window, 716, 472); }).isNull())
        return {};
    return window;
}

const QString kMainTitle = QStringLiteral("Hollowmere");

// The launcher in a real window over an offline profile and the fake game, with Play
// pressed and the game up; the game plays until the file quitFile() names appears. The
// game never outlives the test.
class PlayingSession {
public:
    PlayingSession() = default;
    ~PlayingSession() { quitGame(); }
    PlayingSession(const PlayingSession&) = delete;
    PlayingSession& operator=(const PlayingSession&) = delete;

    // Starts the launcher with these further arguments of the game's and presses Play; false,
    // with what went wrong in error, when the game did not come up.
    bool play(const QString& gameArguments, QString* error)
    {
        BackendFixture::LaunchTools tools;
        if (!tools.compile(error))
            return false;
        const QJsonObject profile{{"id", 1}, {"name", "Main"}, {"login", "Steve"}};
        const QString jvmArgs =
            QStringLiteral("-Dfake.quitWhen=%1 %2").arg(quitFile(), gameArguments);
        if (!tools.prepareHome(session.homeDir(), QJsonArray{profile},
                               QJsonArray{BackendFixture::fakeBuild(1, "Fake")},
                               QJsonObject{{"activeBuildId", 1}, {"jvmArgs", jvmArgs.trimmed()}}) ||
            !session.start({}, QString(), error))
            return false;
        window = session.waitForWindow(kMainTitle);
        static const QRegularExpression playing(QStringLiteral("playing pid=(\\d+)"));
        if (window.isEmpty() || !session.click(window, 640, 360) ||
            !QTest::qWaitFor([&] { return playing.match(session.output()).hasMatch(); },
                             BackendFixture::kGameWaitMs)) {
            *error = session.output();
            return false;
        }
        gamePid = pid_t(playing.match(session.output()).captured(1).toLongLong());
        return true;
    }

    // Closes the window as a window manager does, and waits until it is hidden.
    bool closeWindow(const QString& shown)
    {
        return session.closeWindow(shown) &&
               QTest::qWaitFor([&] { return !session.hasVisibleWindow(kMainTitle); }, 10000);
    }

    // A game that outlived its launcher and ended may stay a zombie, unreaped.
    bool gameRuns() const
    {
        const QByteArray status =
            TestHelpers::readFile(QStringLiteral("/proc/%1/stat").arg(gamePid));
        return gamePid > 0 && !status.isEmpty() &&
               status.mid(status.lastIndexOf(')') + 2, 1) != "Z";
    }

    // Asks the game to end, and waits until it has.
    bool quitGame()
    {
        if (!gameRuns())
            return true;
        TestHelpers::writeFile(quitFile(), "quit");
        return QTest::qWaitFor([this] { return !gameRuns(); }, 10000);
    }

    QString file(const QString& name) const { return m_files.filePath(name); }
    QString quitFile() const { return file(QStringLiteral("quit")); }

    AppSession session;
    QString window;
    pid_t gamePid = 0;

private:
    QTemporaryDir m_files;
};

// How many pixels of the picture have exactly this colour.
int pixelsOf(const QImage& picture, const QColor& color)
{
    int count = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            count += picture.pixelColor(x, y) == color ? 1 : 0;
    }
    return count;
}
} // namespace

class TestMain : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(
            m_home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
        QVERIFY(Localization::instance()->load());
        QQuickStyle::setStyle(QStringLiteral("Basic"));
    }

    // The program itself: it comes up, reports an overridden data directory and
    // lets the backend create the data directory with its three files.
    void programStartsAndCreatesItsData_data()
    {
        QTest::addColumn<bool>("absoluteOverride");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("override") << true << QStringList();
        QTest::newRow("unknown arguments") << true << QStringList{"--no-such-option", "extra"};
        QTest::newRow("relative override ignored") << false << QStringList();
    }

    void programStartsAndCreatesItsData()
    {
        QFETCH(bool, absoluteOverride);
        QFETCH(QStringList, arguments);
        QTemporaryDir home;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("HOLLOWMERE_HOME"),
                           absoluteOverride ? home.filePath(QStringLiteral("data"))
                                            : QStringLiteral("relative/data"));
        const QString dataDir = absoluteOverride ? home.filePath(QStringLiteral("data/Hollowmere"))
                                                 : home.filePath(QStringLiteral("Hollowmere"));

        QProcess program;
        program.setProcessEnvironment(environment);
        const QStringList command = TestHelpers::withoutNetwork(QStringLiteral(HM_APP_BINARY));
        program.start(command.constFirst(), command.mid(1) + arguments);
        QVERIFY(program.waitForStarted());
        const QStringList expected = {"customBuilds.json", "profiles.json", "settings.json"};
        QTRY_COMPARE_WITH_TIMEOUT(dataFiles(dataDir), expected, 30000);
        // Past the window's creation it keeps running until it is ended.
        QTest::qWait(300);
        QCOMPARE(program.state(), QProcess::Running);
        program.terminate();
        QVERIFY(program.waitForFinished(10000));

        const QString log = QString::fromLocal8Bit(program.readAllStandardError());
        const QString line = kLogLine + QDir::toNativeSeparators(dataDir);
        if (absoluteOverride)
            QCOMPARE(log.count(kLogLine), 1);
        QCOMPARE(log.split(QLatin1Char('\n')).contains(line), absoluteOverride);
        QVERIFY2(!log.contains(kLogLine) || absoluteOverride, qPrintable(log));
        // The interface loaded without script errors.
        QVERIFY2(!log.contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")), qPrintable(log));
    }

    void moduleDefinition()
    {
        QFile qmldir(QStringLiteral(":/qt/qml/Hollowmere/qmldir"));
        QVERIFY(qmldir.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(qmldir.readAll()).split(QLatin1Char('\n'));
        for (const char* line :
             {"module Hollowmere", "typeinfo Hollowmere.qmltypes", "prefer :/qt/qml/Hollowmere/",
              "Main 254.0 Main.qml", "DarkCombo 254.0 DarkCombo.qml",
              "LabelledField 254.0 LabelledField.qml", "ProgressPanel 254.0 ProgressPanel.qml",
              "depends QtQuick"})
            QVERIFY2(lines.contains(QLatin1String(line)), line);
        QVERIFY(QFile::exists(QStringLiteral(":/qt/qml/Hollowmere/i18n/translations.json")));
    }

    void iconSetIsComplete()
    {
        const QList<std::pair<QString, int>> files = {
            {"icon_16x16.png", 16},        {"icon_24x24.png", 24},
            {"icon_32x32.png", 32},        {"icon_48x48.png", 48},
            {"icon_64x64.png", 64},        {"icon_128x128.png", 128},
            {"icon_256x256.png", 256},     {"icon_512x512.png", 512},
            {"icon_16x16@2x.png", 32},     {"icon_32x32@2x.png", 64},
            {"icon_128x128@2x.png", 256},  {"icon_256x256@2x.png", 512},
            {"icon_512x512@2x.png", 1024},
        };
        for (const auto& [name, pixels] : files) {
            const QImage image(QStringLiteral(":/icons/") + name);
            QVERIFY2(!image.isNull(), qPrintable(name));
            QCOMPARE(image.size(), QSize(pixels, pixels));
        }
    }

    void locTreeFollowsTheLanguage()
    {
        Localization* catalog = Localization::instance();
        QCOMPARE(catalog->language(), QStringLiteral("en"));
        QQmlEngine engine;
        QString error;
        const std::unique_ptr<QObject> probe = QmlProbe::create(engine, kLocProbe, &error);
        QVERIFY2(probe, qPrintable(error));

        QCOMPARE(probe->property("cancel").toString(), QStringLiteral("Cancel"));
        QVERIFY(probe->property("authTypesIsArray").toBool());
        QCOMPARE(probe->property("authTypes").toStringList().size(), 3);
        QVERIFY(probe->property("missingIsUndefined").toBool());

        QSignalSpy changed(catalog, &Localization::languageChanged);
        catalog->setLanguage(QStringLiteral("ru"));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(probe->property("cancel").toString(), QStringLiteral("Отмена"));
        QCOMPARE(probe->property("authTypes").toStringList(),
                 Localization::instance()->listFor("profile.authTypes"));
        QCOMPARE(probe->property("language").toString(), QStringLiteral("ru"));

        catalog->setLanguage(QStringLiteral("ru"));
        QCOMPARE(changed.size(), 1);

        catalog->setLanguage(QStringLiteral("en"));
        QCOMPARE(changed.size(), 2);
        QCOMPARE(probe->property("cancel").toString(), QStringLiteral("Cancel"));
    }

    // The catalog belongs to the process: it keeps working once an engine that
    // asked for it is gone.
    void languageSwitchOutlivesTheEngine()
    {
        {
            QQmlEngine engine;
            QString error;
            const std::unique_ptr<QObject> probe = QmlProbe::create(engine, kLocProbe, &error);
            QVERIFY2(probe, qPrintable(error));
        }
        Localization* catalog = Localization::instance();
        QSignalSpy changed(catalog, &Localization::languageChanged);
        catalog->setLanguage(QStringLiteral("ru"));
        catalog->setLanguage(QStringLiteral("en"));
        QCOMPARE(changed.size(), 2);
        QCOMPARE(Loc::text("common.button.cancel"), QStringLiteral("Cancel"));
    }

    void mainWindowHoldsOneBackendAndOneUpdateModel()
    {
        TempHome home;
        // The window asks for the launcher's releases; the feed knows none.
        TestServer feed;
        feed.routePrefix(QStringLiteral("/"), TestReply::json("[]"));
        RemoteAddresses::setAllOriginsForTesting(feed.origin());
        QQmlApplicationEngine engine;
        bool failed = false;
        connect(&engine, &QQmlApplicationEngine::objectCreationFailed, this,
                [&failed] { failed = true; });
        engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Hollowmere/Main.qml")));
        QVERIFY(!failed);
        QCOMPARE(engine.rootObjects().size(), 1);
        auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
        QVERIFY(window);
        QCOMPARE(window->title(), QStringLiteral("Hollowmere"));
        QCOMPARE(window->findChildren<LauncherBackend*>().size(), 1);
        QCOMPARE(window->findChildren<LauncherUpdates*>().size(), 1);
        // The backend made the data directory when the window created it.
        QVERIFY(QFile::exists(home.dataDir() + QStringLiteral("/settings.json")));
        RemoteAddresses::resetForTesting();
    }

    // The program in a real X window with an offline profile and an installed
    // build: the play button's face is drawn where it belongs, and a click on it
    // runs the game as the profile's player while the launcher stays up.
    void playStartsTheGame()
    {
        BackendFixture::LaunchTools tools;
        QString error;
        QVERIFY2(tools.compile(&error), qPrintable(error));
        AppSession session;
        const QJsonObject profile{{"id", 1},
                                  {"name", "Main"},
                                  {"login", "Steve"},
                                  {"authType", "offline"},
                                  {"clientToken", "client-1"}};
        QVERIFY(tools.prepareHome(session.homeDir(), QJsonArray{profile},
                                  QJsonArray{BackendFixture::fakeBuild(1, "Fake")},
                                  QJsonObject{{"activeBuildId", 1}}));
        // The game's output reaches the launcher's log at debug level.
        session.setEnvironmentValue(QStringLiteral("QT_LOGGING_RULES"),
                                    QStringLiteral("qml.debug=true"));
        QVERIFY2(session.start({}, QString(), &error), qPrintable(error));
        const QString window = session.waitForWindow(QStringLiteral("Hollowmere"));
        QVERIFY2(!window.isEmpty(), qPrintable(session.output()));
        QCOMPARE(session.windowSize(window), QSize(1280, 720));
        // The icon follows the first frame.
        QTRY_VERIFY_WITH_TIMEOUT(session.windowProperty(window, QStringLiteral("_NET_WM_ICON"))
                                     .contains(QStringLiteral("Icon (16 x 16)")),
                                 10000);

        // The face spans x 472.5 to 807.5 and y 275 to 445: its plate just inside
        // each edge, the background just outside.
        const QImage shot = session.settledScreenshot(window);
        QCOMPARE(shot.size(), QSize(1280, 720));
        const QColor plate(QStringLiteral("#637a10"));
        for (const QPoint inside :
             {QPoint(483, 360), QPoint(797, 360), QPoint(640, 285), QPoint(640, 435)})
            QVERIFY2(shot.pixelColor(inside) == plate,
                     qPrintable(QStringLiteral("%1,%2").arg(inside.x()).arg(inside.y())));
        for (const QPoint outside :
             {QPoint(466, 360), QPoint(814, 360), QPoint(640, 269), QPoint(640, 448)})
            QVERIFY(shot.pixelColor(outside) != plate);
        // The background, decoded ahead of the window, fills it.
        const QImage background =
            QImage(QStringLiteral(":/qt/qml/Hollowmere/images/launcherBackground.png"))
                .scaled(shot.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        for (const QPoint point : {QPoint(300, 100), QPoint(1000, 600), QPoint(100, 700)}) {
            const QColor drawn = shot.pixelColor(point);
            const QColor expected = background.pixelColor(point);
            QVERIFY2(std::abs(drawn.red() - expected.red()) +
                             std::abs(drawn.green() - expected.green()) +
                             std::abs(drawn.blue() - expected.blue()) <=
                         12,
                     qPrintable(QStringLiteral("%1,%2: %3 for %4")
                                    .arg(point.x())
                                    .arg(point.y())
                                    .arg(drawn.name(), expected.name())));
        }

        QVERIFY(session.click(window, 640, 360));
        QTRY_VERIFY2_WITH_TIMEOUT(session.output().contains(QStringLiteral("player=Steve")),
                                  qPrintable(session.output()), BackendFixture::kGameWaitMs);
        // The game has ended by now; the launcher has not.
        QTRY_VERIFY_WITH_TIMEOUT(session.output().contains(QStringLiteral("marks=")), 10000);
        QTest::qWait(1000);
        QVERIFY(session.isRunning());
        QVERIFY(session.stop());
        QVERIFY2(!session.output().contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")),
                 qPrintable(session.output()));
    }

    // Closing the launcher's window, as a player does once the game is up, never ends the
    // game: the window hides, a second start shows it again and starts nothing else, and
    // the launcher ends by itself once the game has ended and saved on its way out.
    void closedWindowLeavesTheGameRunning()
    {
        QString error;
        PlayingSession playing;
        const QString savedFile = playing.file(QStringLiteral("saved"));
        QVERIFY2(playing.play("-Dfake.saveTo=" + savedFile, &error), qPrintable(error));
        AppSession& session = playing.session;
        const QString& title = kMainTitle;
        const auto gameRuns = [&playing] { return playing.gameRuns(); };

        QVERIFY(playing.closeWindow(playing.window));
        QTest::qWait(3000);
        QVERIFY2(gameRuns(), qPrintable(session.output()));
        QVERIFY(session.isRunning());
        QVERIFY(!QFile::exists(savedFile));

        // A second start shows the waiting window, in its state, and ends.
        QString secondOutput;
        QCOMPARE(session.runAgain(&secondOutput), 0);
        const QString shown = session.waitForWindow(title, 10000);
        QVERIFY2(!shown.isEmpty(), qPrintable(secondOutput));
        QCOMPARE(session.output().count(QStringLiteral("player=Steve")), 1);
        QVERIFY(gameRuns());
        QVERIFY(session.isRunning());

        QVERIFY(playing.closeWindow(shown));
        QVERIFY(TestHelpers::writeFile(playing.quitFile(), "quit"));
        QTRY_VERIFY_WITH_TIMEOUT(!gameRuns(), 10000);
        QCOMPARE(TestHelpers::readFile(savedFile), QByteArray("saved"));
        QTRY_VERIFY2_WITH_TIMEOUT(!session.isRunning(), qPrintable(session.output()), 10000);
        QCOMPARE(session.exitCode(), 0);
        QVERIFY2(!session.output().contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")),
                 qPrintable(session.output()));
    }

    // A game that ends badly while the window is hidden, here killed, brings the window back
    // with the red toast the open window shows for that end, and the launcher stays until
    // the window is closed.
    void gameEndingBadlyBringsTheWindowBack()
    {
        QString error;
        PlayingSession playing;
        QVERIFY2(playing.play(QString(), &error), qPrintable(error));
        AppSession& session = playing.session;
        QVERIFY(playing.closeWindow(playing.window));

        QCOMPARE(::kill(playing.gamePid, SIGKILL), 0);
        const QString shown = session.waitForWindow(kMainTitle, 10000);
        QVERIFY2(!shown.isEmpty(), qPrintable(session.output()));
        // The toast lies in the window's bottom band, for 4 s from the game's end.
        const QRect band(0, 560, 1280, 140);
        const QColor face(QStringLiteral("#cc3333"));
        QVERIFY(QTest::qWaitFor(
            [&] { return pixelsOf(session.screenshot(shown).copy(band), face) > 2000; }, 4000));
        QTest::qWait(1000);
        QVERIFY(session.isRunning());

        QVERIFY(session.closeWindow(shown));
        QTRY_VERIFY2_WITH_TIMEOUT(!session.isRunning(), qPrintable(session.output()), 10000);
        QCOMPARE(session.exitCode(), 0);
        QVERIFY2(!session.output().contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")),
                 qPrintable(session.output()));
    }

    // The unseen launcher ended (as from a task manager) while its game plays on: a new start
    // tells the player that the game started earlier still runs, touches no file and starts
    // no second game; once the game has ended the launcher opens as usual.
    void gameOfAGoneLauncherKeepsANewStartOut()
    {
        QString error;
        PlayingSession playing;
        const QString startsFile = playing.file(QStringLiteral("starts"));
        QVERIFY2(playing.play("-Dfake.startsTo=" + startsFile, &error), qPrintable(error));
        AppSession& session = playing.session;
        QVERIFY(playing.closeWindow(playing.window));
        QCOMPARE(::kill(pid_t(session.programPid()), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!session.isRunning(), 20000);
        QVERIFY(session.stop());
        QVERIFY(playing.gameRuns());
        const QString gameDir = BackendFixture::gameDirOf(session.homeDir());
        const GameDirFixture::Fingerprint data = GameDirFixture::fingerprintTree(session.dataDir());
        const GameDirFixture::Fingerprint game = GameDirFixture::fingerprintTree(gameDir);

        QVERIFY2(session.start({}, QString(), &error), qPrintable(error));
        const QString message = session.waitForWindow(Loc::text("app.error.gameStillRunning"));
        QVERIFY2(!message.isEmpty(), qPrintable(session.output()));
        QVERIFY(!session.hasVisibleWindow(kMainTitle));
        QVERIFY(session.closeWindow(message));
        QTRY_VERIFY_WITH_TIMEOUT(!session.isRunning(), 20000);
        QCOMPARE(GameDirFixture::fingerprintTree(session.dataDir()), data);
        QCOMPARE(GameDirFixture::fingerprintTree(gameDir), game);
        QVERIFY(playing.gameRuns());
        QCOMPARE(TestHelpers::readFile(startsFile).count('\n'), 1);

        QVERIFY(playing.quitGame());
        QVERIFY(session.stop());
        QVERIFY2(session.start({}, QString(), &error), qPrintable(error));
        QVERIFY2(!session.waitForWindow(kMainTitle).isEmpty(), qPrintable(session.output()));
        QVERIFY(session.stop());
    }

    // The seasonal builds dialog with the real backend and a loopback catalog:
    // Install on the selected pack runs the whole pipeline, the pack's files land
    // in the game folder and the window ends on the ready toast.
    void seasonalInstallEndsWithTheReadyToast()
    {
        BackendFixture::LaunchTools tools;
        QString error;
        QVERIFY2(tools.compile(&error), qPrintable(error));
        TempHome home;
        TestServer server;
        server.routePrefix(QStringLiteral("/api/"), TestReply::json("[]"));
        ZipWriter pack;
        pack.addFile("mods/autumn.jar", GameDirFixture::noise(32 * 1024, 7));
        pack.addFile("options.txt", "fov:90");
        const QByteArray packBytes = pack.toByteArray();
        server.route(QStringLiteral("/seasons/autumn.zip"), TestReply::ok(packBytes));
        const QJsonObject entry{
            {"id", "autumn"},
            {"name", "Autumn"},
            {"revision", 1},
            {"minecraftVersion", BackendFixture::kFakeVersion},
            {"archive",
             QJsonObject{{"url", server.url(QStringLiteral("/seasons/autumn.zip")).toString()},
                         {"size", packBytes.size()},
                         {"sha256", TestHelpers::hex(packBytes, QCryptographicHash::Sha256)}}}};
        server.route(QStringLiteral("/seasons/index.json"),
                     TestReply::json(QJsonDocument(QJsonObject{{"formatVersion", 1},
                                                               {"builds", QJsonArray{entry}}})
                                         .toJson()));
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        QVERIFY(tools.prepareHome(
            home, {}, QJsonArray{BackendFixture::fakeBuild(1, "Other")},
            QJsonObject{{"activeBuildId", 1},
                        {"seasonalBaseUrl", server.url(QStringLiteral("/seasons")).toString()}}));

        QQmlApplicationEngine engine;
        engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Hollowmere/Main.qml")));
        QCOMPARE(engine.rootObjects().size(), 1);
        auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(QMetaObject::invokeMethod(window, "openSeasonal"));
        auto* dialog = window->property("seasonalDialog").value<QObject*>();
        QVERIFY(dialog);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->property("entries").toList().size(), 1, 10000);
        dialog->setProperty("selectedId", QStringLiteral("autumn"));
        auto* install = dialog->findChild<QQuickItem*>(QStringLiteral("installButton"));
        QVERIFY(install);
        QTRY_VERIFY(install->isEnabled() && install->isVisible());
        // Past the opening transition the button stays where it is clicked.
        QTRY_VERIFY(dialog->property("opened").toBool());
        const QPointF centre = install->mapToScene({install->width() / 2, install->height() / 2});
        QTest::mouseClick(window, Qt::LeftButton, {}, centre.toPoint());

        auto* toast = window->findChild<QObject*>(QStringLiteral("toastLabel"));
        QVERIFY(toast);
        QTRY_COMPARE_WITH_TIMEOUT(toast->property("text").toString(),
                                  Loc::text("seasonal.status.readyToLaunch").arg("Autumn"), 30000);
        const QString gameDir = BackendFixture::gameDirOf(home);
        QCOMPARE(TestHelpers::readFile(gameDir + QStringLiteral("/options.txt")),
                 QByteArray("fov:90"));
        QVERIFY(QFile::exists(gameDir + QStringLiteral("/mods/autumn.jar")));
        auto* backend = window->findChild<LauncherBackend*>();
        QCOMPARE(backend->activeBuildName(), QStringLiteral("Autumn"));
        QCOMPARE(backend->seasonalCatalog().constFirst().toMap().value("installed").toBool(), true);
        RemoteAddresses::resetForTesting();
    }

    // The builds dialog in a real window: choosing the other build and making it
    // active runs a real switch, shown in the switch panel, and the left build's
    // files end up in its archive.
    void buildsDialogSwitchesBuilds()
    {
        AppSession session(QSize(1280, 720));
        const QJsonArray builds{
            QJsonObject{{"id", 1}, {"name", "Alpha"}, {"minecraftVersion", "1.21"}},
            QJsonObject{{"id", 2}, {"name", "Beta"}, {"minecraftVersion", "1.21"}}};
        const QString gameDir = BackendFixture::gameDirOf(session.homeDir());
        QVERIFY(TestHelpers::writeFile(gameDir + QStringLiteral("/marker.txt"), "alpha"));
        // Enough incompressible bytes that the switch lasts for a few pictures.
        for (int i = 0; i < 8; ++i)
            QVERIFY(TestHelpers::writeFile(gameDir + QStringLiteral("/saves/world/r.%1.mca").arg(i),
                                           GameDirFixture::noise(24 << 20, quint32(i))));

        const QString window = startWithBuildsDialog(session, builds);
        QVERIFY2(!window.isEmpty(), qPrintable(session.output()));
        // The switch panel lies left of the dialog; until the switch it shows nothing.
        const QRect panel(24, 624, 170, 72);
        const QImage before =
            session.settledAfter(window, [&] { return session.click(window, 300, 182); })
                .copy(panel);
        QVERIFY(!before.isNull());
        QVERIFY(session.click(window, 782, 630));
        bool panelSeen = false;
        for (QDeadlineTimer deadline(20000); !panelSeen && !deadline.hasExpired();)
            panelSeen = session.screenshot(window).copy(panel) != before;
        QVERIFY2(panelSeen, qPrintable(session.output()));

        const auto activeBuildId = [&session] {
            return QJsonDocument::fromJson(
                       TestHelpers::readFile(session.dataDir() + "/settings.json"))
                .object()
                .value(QStringLiteral("activeBuildId"))
                .toInt();
        };
        QTRY_COMPARE_WITH_TIMEOUT(activeBuildId(), 2, 30000);
        QVERIFY(!QFile::exists(gameDir + QStringLiteral("/marker.txt")));
        QStringList archived;
        for (QDirIterator it(session.dataDir() + QStringLiteral("/builds"),
                             {QStringLiteral("*.zip")}, QDir::Files, QDirIterator::Subdirectories);
             it.hasNext();) {
            ZipArchive archive;
            QVERIFY(archive.open(it.next()));
            for (const ZipEntryInfo& entry : archive.entries())
                archived.append(entry.name);
        }
        QVERIFY2(archived.contains(QStringLiteral("marker.txt")), qPrintable(archived.join(',')));
        // The panel goes with the switch.
        QTRY_VERIFY_WITH_TIMEOUT(session.screenshot(window).copy(panel) == before, 10000);
        QVERIFY(session.stop());
        QVERIFY2(!session.output().contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")),
                 qPrintable(session.output()));
    }

    // A refusal raised inside the open builds dialog (Install on a build without
    // a game version) shows as a toast drawn as it is over the bare window:
    // every pixel of its face there has its face colour with the dialog open too.
    void refusalToastOverTheBuildsDialogIsUndimmed()
    {
        AppSession session(QSize(1280, 720));
        const QString window =
            startWithBuildsDialog(session, QJsonArray{QJsonObject{{"id", 1}, {"name", "Empty"}}});
        QVERIFY2(!window.isEmpty(), qPrintable(session.output()));
        // The toast lies in the window's bottom band, across the dialog's lower edge.
        const QRect band(0, 560, 1280, 140);
        const QImage overDialog =
            session.settledAfter(window, [&] { return session.click(window, 615, 630); })
                .copy(band);
        const QImage bare =
            session.settledAfter(window, [&] { return session.key(QStringLiteral("Escape")); })
                .copy(band);

        const QColor face(QStringLiteral("#cc3333"));
        int facePixels = 0;
        int differing = 0;
        for (int y = 0; y < bare.height(); ++y) {
            for (int x = 0; x < bare.width(); ++x) {
                if (bare.pixelColor(x, y) != face)
                    continue;
                ++facePixels;
                if (overDialog.pixelColor(x, y) != face)
                    ++differing;
            }
        }
        QVERIFY2(facePixels > 2000, qPrintable(QString::number(facePixels)));
        QVERIFY2(differing == 0,
                 qPrintable(QStringLiteral("%1 of %2").arg(differing).arg(facePixels)));
        QVERIFY(session.stop());
        QVERIFY2(!session.output().contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")),
                 qPrintable(session.output()));
    }

    // With no builds, "+ New build" in the builds dialog adds "Build 1", the active
    // build: the build button names it at once, as a restarted launcher does.
    void firstBuildNamesTheBuildButton()
    {
        AppSession session(QSize(1280, 720));
        QVERIFY(session.writeDataFile(QStringLiteral("settings.json"), R"({"language":"en"})"));
        QVERIFY(session.writeDataFile(QStringLiteral("customBuilds.json"), "[]"));
        const QRect buildButton(600, 440, 240, 64);
        const auto buttonFace = [&session, &buildButton](const QString& window) {
            // Away from the button, so no hover or tool tip shows.
            session.xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"),
                             QStringLiteral("--window"), window, QStringLiteral("5"),
                             QStringLiteral("5")});
            return session.settledScreenshot(window).copy(buildButton);
        };
        QVERIFY(session.start());
        QString window = session.waitForWindow(QStringLiteral("Hollowmere"));
        QVERIFY2(!window.isEmpty(), qPrintable(session.output()));
        const QImage noBuild = buttonFace(window);

        QVERIFY(!session.settledAfter(window, [&] { return session.click(window, 716, 472); })
                     .isNull());
        QVERIFY(session.click(window, 330, 575));
        QTRY_COMPARE_WITH_TIMEOUT(
            QJsonDocument::fromJson(TestHelpers::readFile(session.dataDir() + "/customBuilds.json"))
                .array()
                .size(),
            1, 10000);
        QVERIFY(!session.settledAfter(window, [&] { return session.key(QStringLiteral("Escape")); })
                     .isNull());
        const QImage added = buttonFace(window);
        QVERIFY(session.stop());

        QVERIFY(session.start());
        window = session.waitForWindow(QStringLiteral("Hollowmere"));
        QVERIFY2(!window.isEmpty(), qPrintable(session.output()));
        const QImage restarted = buttonFace(window);
        QVERIFY(restarted != noBuild);
        QVERIFY(added == restarted);
        QVERIFY(session.stop());
    }

    // The keyboard in a real window: Tab comes to the play button and rings it in
    // the accent colour, and Return in the new-profile form adds the profile.
    void keyboardShowsItsPlaceAndSubmits()
    {
        AppSession session(QSize(1280, 720));
        QVERIFY(session.writeDataFile(QStringLiteral("settings.json"),
                                      QJsonDocument(QJsonObject{{"language", "en"}}).toJson()));
        QString error;
        QVERIFY2(session.start({}, QString(), &error), qPrintable(error));
        const QString window = session.waitForWindow(QStringLiteral("Hollowmere"));
        QVERIFY2(!window.isEmpty(), qPrintable(session.output()));
        // The play button's face, outline included, starts at x 472: its ring lies
        // just left of it, where the background shows while it has no focus.
        const auto ringed = [](const QImage& shot) {
            const QColor accent(QStringLiteral("#91B315"));
            for (int x = 462; x < 472; ++x) {
                const QColor drawn = shot.pixelColor(x, 360);
                if (std::abs(drawn.red() - accent.red()) +
                        std::abs(drawn.green() - accent.green()) +
                        std::abs(drawn.blue() - accent.blue()) <=
                    6)
                    return true;
            }
            return false;
        };
        // A click on the background gives the window the keyboard (there is no
        // window manager to do it).
        QVERIFY(session.click(window, 100, 300));
        QVERIFY(!ringed(session.settledScreenshot(window)));
        bool reached = false;
        for (int tab = 0; tab < 8 && !reached; ++tab) {
            const QImage shot =
                session.settledAfter(window, [&] { return session.key(QStringLiteral("Tab")); });
            QVERIFY(!shot.isNull());
            reached = ringed(shot);
        }
        QVERIFY(reached);

        // The profile selector's popup, then its add strip.
        for (const QPoint& place : {QPoint(545, 472), QPoint(545, 508)})
            QVERIFY(!session
                         .settledAfter(window,
                                       [&] { return session.click(window, place.x(), place.y()); })
                         .isNull());
        QVERIFY(session.xdotool({QStringLiteral("type"), QStringLiteral("Keyboard")}));
        QVERIFY(session.key(QStringLiteral("Return")));
        QTRY_VERIFY_WITH_TIMEOUT(
            TestHelpers::readFile(session.dataDir() + "/profiles.json").contains("\"Keyboard\""),
            10000);
        QVERIFY(session.stop());
        QVERIFY2(!session.output().contains(QStringLiteral("qrc:/qt/qml/Hollowmere/")),
                 qPrintable(session.output()));
    }

private:
    TempHome m_home;
};

QTEST_MAIN(TestMain)
#include "tst_main.moc"
