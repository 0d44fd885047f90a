#include "backendfixture.h"
#include "buildswitcher.h"
#include "filesystemanswers.h"
#include "fulldisk.h"
#include "gamedirfixture.h"
#include "launcherbackend.h"
#include "launcherpaths.h"
#include "localization.h"
#include "modloaderinstaller.h"
#include "modloaderversionservice.h"
#include "packledger.h"
#include "remoteaddresses.h"
#include "seasonalinstall.h"
#include "seasonalpackdownloader.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "versioninstaller.h"
#include "zipwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>

#include <linux/magic.h>
#include <sys/resource.h>

using namespace BackendFixture;
using GameDirFixture::Fingerprint;
using GameDirFixture::fingerprintArchive;
using GameDirFixture::fingerprintTree;
using TestHelpers::native;
using TestHelpers::readJson;
using TestHelpers::writeFile;

namespace {

// A loopback port nothing listens on.
const QString kNowhere = QStringLiteral("https://127.0.0.1:9");
constexpr char kInstallChildArgument[] = "--run-seasonal-install";
constexpr int kInstallWaitMs = 20000;

// Packs list their files in name order, as the game directory's listing comes.
using PackFiles = QList<QPair<QByteArray, QByteArray>>;

const PackFiles kRevision1 = {{"config/b.txt", "b"},
                              {"mods/a.jar", GameDirFixture::noise(64 * 1024, 1)},
                              {"options.txt", "fov:90"}};
// b.txt is dropped, a.jar changes.
const PackFiles kRevision2 = {{"mods/a.jar", GameDirFixture::noise(64 * 1024, 2)},
                              {"mods/c.jar", "c"},
                              {"options.txt", "fov:100"}};

QByteArray packOf(const PackFiles& files)
{
    ZipWriter zip;
    for (const auto& [name, data] : files)
        zip.addFile(name, data);
    return zip.toByteArray();
}

QStringList namesOf(const PackFiles& files)
{
    QStringList names;
    for (const auto& file : files)
        names.append(QString::fromUtf8(file.first));
    return names;
}

// One entry of the seasonal catalog, named "Autumn".
struct Season {
    int revision = 1;
    QString version = kFakeVersion;
    QString loader{};
    QString loaderVersion{};
    int javaMajor = 0;
    QString sha256{}; // empty: the pack's own
    bool slow = false;
    QString id = QStringLiteral("autumn");
    QString name = QStringLiteral("Autumn");
};

// Serves the catalog with this one entry and its pack.
void publish(TestServer& server, const Season& season, const QByteArray& pack)
{
    const QString path = QStringLiteral("/seasons/%1-r%2.zip").arg(season.id).arg(season.revision);
    server.route(path, season.slow ? TestReply::ok(pack).slow(1024, 100) : TestReply::ok(pack));
    const QJsonObject archive{{"url", server.url(path).toString()},
                              {"size", pack.size()},
                              {"sha256", season.sha256.isEmpty()
                                             ? TestHelpers::hex(pack, QCryptographicHash::Sha256)
                                             : season.sha256}};
    const QJsonObject entry{{"id", season.id},
                            {"name", season.name},
                            {"revision", season.revision},
                            {"minecraftVersion", season.version},
                            {"loader", season.loader},
                            {"loaderVersion", season.loaderVersion},
                            {"javaMajor", season.javaMajor},
                            {"archive", archive}};
    server.route("/seasons/index.json",
                 TestReply::json(
                     QJsonDocument(QJsonObject{{"formatVersion", 1}, {"builds", QJsonArray{entry}}})
                         .toJson()));
}

const QJsonObject kOtherBuild = fakeBuild(1, "Other");

// Reads the catalog into the backend; false when it did not arrive.
bool loadCatalog(LauncherBackend& backend)
{
    backend.refreshSeasonalCatalog(true);
    return QTest::qWaitFor([&] { return !backend.seasonalCatalogLoading(); }, kInstallWaitMs) &&
           !backend.seasonalCatalog().isEmpty();
}

bool runInstall(LauncherBackend& backend, const QString& id = QStringLiteral("autumn"))
{
    backend.installSeasonalBuild(id);
    return QTest::qWaitFor([&] { return !backend.seasonalInstalling() && !backend.busy(); },
                           kInstallWaitMs);
}

// Publishes the revision with its pack and installs it.
bool installRevision(LauncherBackend& backend, TestServer& server, const Season& season,
                     const PackFiles& files)
{
    publish(server, season, packOf(files));
    return loadCatalog(backend) && runInstall(backend, season.id);
}

QString aborted(const QString& reason = QString())
{
    const QString text = QStringLiteral("Installation of build \"Autumn\" was interrupted");
    return reason.isEmpty() ? text : text + ": " + reason;
}

// Pack archives left in any build's folder.
QStringList packsLeft()
{
    QStringList packs;
    QDirIterator it(LauncherPaths::buildStorageDir(), {".pack-*"}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        packs.append(it.next());
    return packs;
}

QString indexState()
{
    return readJson(LauncherPaths::buildStorageDir() + "/index.json")["state"].toString();
}

QStringList gameFiles(const TempHome& home)
{
    return fingerprintTree(gameDirOf(home), BuildSwitcher::sharedTopLevel()).keys();
}

// What the build's ledger counts as written by its packs and standing in the game folder.
QStringList ownedByPacks(const TempHome& home, int buildId)
{
    return PackLedger(LauncherPaths::packLedgerFile(buildId),
                      LauncherPaths::seasonalStateFile(buildId), gameDirOf(home))
        .owned();
}

QStringList recordedEntries(int buildId)
{
    return readJson(LauncherPaths::seasonalStateFile(buildId))["entries"]
        .toVariant()
        .toStringList();
}

// A version whose description is on disk and whose client the server sends.
bool writeServedVersion(TestServer& server, const QString& gameDir, const QString& id,
                        TestReply client)
{
    const QByteArray jar = "client of " + id.toUtf8();
    QJsonObject description = QJsonDocument::fromJson(fakeVersionJson(id)).object();
    description["downloads"] = QJsonObject{
        {"client", QJsonObject{{"url", server.url("/" + id + ".jar").toString()},
                               {"sha1", TestHelpers::hex(jar, QCryptographicHash::Sha1)}}}};
    if (client.statusCode == 200)
        client.body = jar;
    server.route("/" + id + ".jar", client);
    return writeFile(gameDir + "/versions/" + id + "/" + id + ".json",
                     QJsonDocument(description).toJson());
}

// How the install child's writes fail once it applies its pack, told by its fourth
// argument: a file outgrowing the bytes after kKillAbove kills it; with kFill the free
// space is not looked at, so the pack fills a small file system; after the file named
// after kFailAfter is written, every write fails as on a full disk.
constexpr char kKillAbove[] = "kill-above=";
constexpr char kFill[] = "fill";
constexpr char kFailAfter[] = "fail-after=";

// Files the process writes from now on may hold this many bytes; SIGXFSZ acts on one
// that outgrows it.
void limitFileSizes(rlim_t bytes, void (*onLimit)(int))
{
    const rlimit noCore{0, 0};
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_CORE, &noCore);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, onLimit);
}

// Makes the child's writes fail as `disk` says, the pack application being under way.
void failWrites(const QByteArray& disk, const BuildSwitcher& switcher)
{
    static bool failing = false;
    if (failing)
        return;
    if (disk.startsWith(kKillAbove)) {
        failing = true;
        limitFileSizes(disk.sliced(qstrlen(kKillAbove)).toULongLong(), SIG_DFL);
    } else if (disk.startsWith(kFailAfter) &&
               switcher.currentPath().toUtf8() == disk.sliced(qstrlen(kFailAfter))) {
        failing = true;
        limitFileSizes(0, SIG_IGN);
    }
}

// A child process started with kInstallChildArgument, a pack file and optionally its
// revision installs that pack as "Autumn" from a catalog server of its own and prints
// "applying" when the pack application starts; a fourth argument makes its writes fail.
int runInstallChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 3;
    RemoteAddresses::setAllOriginsForTesting(kNowhere);
    TestServer server;
    Season season;
    if (argc > 3)
        season.revision = QByteArray(argv[3]).toInt();
    const QByteArray disk = argc > 4 ? QByteArray(argv[4]) : QByteArray();
    if (disk == kFill)
        BuildSwitcher::setAvailableSpaceProbeForTesting([](const QString&) { return -1; });
    publish(server, season, TestHelpers::readFile(QString::fromLocal8Bit(argv[2])));
    LauncherBackend backend;
    backend.updateSettings({{"seasonalBaseUrl", server.url("/seasons").toString()}});
    const BuildSwitcher* switcher = backend.findChild<BuildSwitcher*>();
    QObject::connect(&backend, &LauncherBackend::switchChanged, [&] {
        if (switcher->stage() == BuildSwitcher::Applying) {
            failWrites(disk, *switcher);
            std::puts("applying");
            std::fflush(stdout);
        }
    });
    QObject::connect(&backend, &LauncherBackend::seasonalCatalogLoadingChanged, [&] {
        if (!backend.seasonalCatalogLoading())
            backend.installSeasonalBuild("autumn");
    });
    QObject::connect(&backend, &LauncherBackend::seasonalInstallingChanged, [&] {
        if (!backend.seasonalInstalling())
            app.exit(0);
    });
    backend.refreshSeasonalCatalog();
    return app.exec();
}

// Starts the install child and waits until it applies its pack; false when it never did.
bool startApplyingChild(QProcess& child, const QString& packPath, int revision,
                        const QByteArray& disk = QByteArray())
{
    QStringList arguments{kInstallChildArgument, packPath, QString::number(revision)};
    if (!disk.isEmpty())
        arguments.append(QString::fromUtf8(disk));
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForStarted())
        return false;
    QByteArray output;
    while (!output.contains("applying") && child.state() == QProcess::Running) {
        child.waitForReadyRead(20);
        output += child.readAllStandardOutput();
    }
    return output.contains("applying");
}

// Files of a revision: their content begins with the revision, a player's with "player".
PackFiles revisionFiles(int revision, const QStringList& names)
{
    PackFiles files;
    for (const QString& name : names)
        files.append({name.toUtf8(), "r" + QByteArray::number(revision) + " " +
                                         GameDirFixture::noise(4096, qHash(name))});
    return files;
}

const QByteArray kPlayers = "player ";

// What each file of a game folder but the shared entries holds, by its relative path.
QMap<QString, QByteArray> contentsOf(const QString& gameDir)
{
    QMap<QString, QByteArray> contents;
    const QStringList names = fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()).keys();
    for (const QString& name : names)
        contents.insert(name, TestHelpers::readFile(gameDir + "/" + name));
    return contents;
}

QMap<QString, QByteArray> gameContents(const TempHome& home)
{
    return contentsOf(gameDirOf(home));
}

bool writeFiles(const QString& folder, const PackFiles& files)
{
    return std::all_of(files.cbegin(), files.cend(), [&folder](const auto& file) {
        return writeFile(folder + "/" + QString::fromUtf8(file.first), file.second);
    });
}

// The named files as they stand in the folder now.
PackFiles readBack(const QString& folder, const PackFiles& files)
{
    PackFiles found;
    for (const auto& [name, data] : files)
        found.append({name, TestHelpers::readFile(folder + "/" + QString::fromUtf8(name))});
    return found;
}

QStringList modsIn(const QString& gameDir)
{
    return QDir(gameDir + "/mods").entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

bool copyFolder(const QString& from, const QString& to)
{
    return QProcess::execute("cp", {"-a", from, to}) == 0;
}

// The folder made again at its path, holding the same files, as a remount gives it a new
// inode. The folder it replaces stays, empty, beside it, so that no later one takes its
// inode again.
bool remakeFolder(const QString& folder, const QString& aside)
{
    if (!QFile::rename(folder, aside) || !QDir().mkpath(folder))
        return false;
    const QStringList names = QDir(aside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                    QDir::Hidden | QDir::System);
    return std::all_of(names.cbegin(), names.cend(), [&](const QString& name) {
        return QFile::rename(aside + "/" + name, folder + "/" + name);
    });
}

bool pointLink(const QString& link, const QString& target)
{
    QFile::remove(link);
    return QFile::link(target, link);
}

enum class Failure {
    SwitchRefused,
    PackFolderBlocked,
    BlankVersion,
    NoJava,
    Canceled,
    LoaderBusy,
    PackRejected,
    PackHalfApplied,
};

// ---- The pipeline alone, with fakes behind its host ----

// What stands behind the pipeline's host: each request is logged and its completion kept
// for the test to answer; the answers say what the world looks like.
struct FakeHost {
    bool holdsBuild = false;
    bool hasJava = false;
    bool catalogHasJava = true;
    QStringList missingFiles{"versions/1.20.1/1.20.1.jar"};
    QStringList log;
    std::function<void(bool, const QString&)> catalogDone;
    JobDone done;

    SeasonalInstall::Host host()
    {
        SeasonalInstall::Host host;
        host.gameDir = [] { return QStringLiteral("/game"); };
        host.holdsBuild = [this](int) { return holdsBuild; };
        host.switchTo = [this](int index, JobDone done) { keep("switch", index, done); };
        host.missingFiles = [this](int) { return missingFiles; };
        host.hasJava = [this](const QString&, int) { return hasJava; };
        host.loadJavaCatalog = [this](std::function<void(bool, const QString&)> done) {
            log.append("catalog");
            catalogDone = std::move(done);
        };
        host.bestJavaFor = [this](int major) -> std::optional<JavaRuntimeEntry> {
            if (!catalogHasJava)
                return std::nullopt;
            JavaRuntimeEntry entry;
            entry.id = "jdk-" + QString::number(major);
            return entry;
        };
        host.installJava = [this](const JavaRuntimeEntry& entry, JobDone done) {
            keep("java", entry.id, done);
        };
        host.installVersion = [this](const QString&, const QString& id, JobDone done) {
            keep("version", id, done);
        };
        host.installLoader = [this](int, ModLoader loader, JobDone done) {
            keep("loader", loaderKey(loader), done);
        };
        host.downloadPack = [this](const QUrl&, const QString& path, const QString&, qint64,
                                   const QString&, JobDone done) {
            keep("download", QFileInfo(path).fileName(), done);
        };
        host.applyPack = [this](int buildId, const QString&, const QString& archive,
                                const QStringList&, const QJsonObject&, const QString&,
                                JobDone done) {
            keep("apply", QString::number(buildId) + " " + QFileInfo(archive).fileName(), done);
        };
        host.cancelJava = [this] { log.append("cancel java"); };
        host.cancelVersion = [this] { log.append("cancel version"); };
        host.cancelLoader = [this] { log.append("cancel loader"); };
        host.cancelDownload = [this] { log.append("cancel download"); };
        return host;
    }

    // Answers the work asked for last; a download succeeds with its pack's path.
    void answer(JobOutcome outcome)
    {
        if (outcome.kind == JobOutcome::Success && log.last().startsWith("download"))
            outcome.result = LauncherPaths::buildDir(7) + "/.pack-r1.zip";
        std::exchange(done, {})(outcome);
    }
    void answerCatalog(bool ok, const QString& message = QString())
    {
        std::exchange(catalogDone, {})(ok, message);
    }

private:
    void keep(const QString& what, const QVariant& detail, JobDone next)
    {
        log.append(what + " " + detail.toString());
        done = std::move(next);
    }
};

// The pipeline over one build, "Autumn" with id 7, and what it reported.
struct AlonePipeline {
    explicit AlonePipeline(const QString& loader = QString(), const QString& resolved = QString())
    {
        SeasonalInstall::CustomBuild build;
        build.id = 7;
        build.name = "Autumn";
        build.minecraftVersion = "1.20.1";
        build.loader = loader;
        build.loaderVersion = loader.isEmpty() ? QString() : "0.16.10";
        build.resolvedVersionId = resolved;
        builds.append(build);
        entry.id = "autumn";
        entry.name = "Autumn";
        entry.revision = 1;
        entry.minecraftVersion = "1.20.1";
        entry.javaMajor = 17;
    }

    void start() { install.start(entry, 7); }
    // Answers every request with success, the catalog included, until the pipeline ends or
    // asks for something whose log line starts with stopAt.
    void runUntil(const QString& stopAt = QString())
    {
        while (install.isRunning() && (fake.catalogDone || fake.done)) {
            if (!stopAt.isEmpty() && fake.log.last().startsWith(stopAt))
                return;
            if (fake.catalogDone)
                fake.answerCatalog(true);
            else
                fake.answer(JobOutcome::succeeded());
        }
    }

    QList<SeasonalInstall::CustomBuild> builds;
    SeasonalBuildEntry entry;
    FakeHost fake;
    SeasonalInstall install{builds, fake.host()};
    QSignalSpy errors{&install, &SeasonalInstall::error};
    QSignalSpy finished{&install, &SeasonalInstall::finished};
};

const QStringList kEveryStage = {"switch 0",
                                 "catalog",
                                 "java jdk-17",
                                 "version 1.20.1",
                                 "download .pack-r1.zip",
                                 "apply 7 .pack-r1.zip"};

} // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(TestReply)

class TestSeasonalInstall : public QObject {
    Q_OBJECT

private:
    using Stage = SeasonalInstall::Stage;
    LaunchTools m_tools;

    // The build "Other" is active and holds one file of its own.
    bool prepare(const TempHome& home, const TestServer& server,
                 const QJsonArray& builds = {kOtherBuild}, int activeBuildId = 1)
    {
        return m_tools.prepareHome(home, {}, builds,
                                   {{"seasonalBaseUrl", server.url("/seasons").toString()},
                                    {"activeBuildId", activeBuildId}}) &&
               writeFile(gameDirOf(home) + "/marker.txt", "Other's own");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(TestHelpers::loadEnglishCatalog());
        QString error;
        QVERIFY2(m_tools.compile(&error), qPrintable(error));
    }

    void init() { RemoteAddresses::setAllOriginsForTesting(kNowhere); }
    void cleanup() { RemoteAddresses::resetForTesting(); }

    void installsAPackAndUpdatesIt()
    {
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        publish(server, Season{}, packOf(kRevision1));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(loadCatalog(backend));
        QSignalSpy finished(&backend, &LauncherBackend::seasonalInstallFinished);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        // While it runs: no cancel of moving files, no second install, no Java install
        // of another runtime while the pack downloads.
        bool applyCancelAsked = false;
        connect(&backend, &LauncherBackend::switchChanged, this, [&] {
            if (backend.m_buildSwitcher->stage() == BuildSwitcher::Applying &&
                !std::exchange(applyCancelAsked, true))
                backend.cancelSeasonalInstall();
        });
        bool javaAsked = false;
        connect(backend.m_packDownloader, &SeasonalPackDownloader::started, this, [&] {
            if (!std::exchange(javaAsked, true))
                backend.installJavaRuntime("temurin-jdk-21");
        });

        backend.installSeasonalBuild("autumn");
        QVERIFY(backend.seasonalInstalling());
        QVERIFY(backend.m_seasonal->stage() == Stage::Switch);
        backend.cancelSeasonalInstall();
        backend.installSeasonalBuild("autumn");
        QTRY_VERIFY_WITH_TIMEOUT(!backend.seasonalInstalling(), kInstallWaitMs);
        const QString cannotCancel = "Files are being moved right now — this cannot be cancelled";
        QCOMPARE(started.messages(),
                 QStringList({cannotCancel, "A build installation is already running",
                              "Wait for the current operation to finish", cannotCancel}));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first(), QList<QVariant>({"autumn", "Autumn"}));

        // Other's file went into its archive; the game directory holds the pack alone.
        QCOMPARE(backend.customBuildNames(), QStringList({"Other", "Autumn"}));
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Autumn"));
        QCOMPARE(fingerprintArchive(backend.m_buildSwitcher->archivePathOf(1)).keys(),
                 QStringList{"marker.txt"});
        QCOMPARE(gameFiles(home), namesOf(kRevision1));
        QJsonObject season = readJson(LauncherPaths::seasonalStateFile(2)).object();
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")
                    .match(season.take("installedAt").toString())
                    .hasMatch());
        QCOMPARE(season,
                 QJsonObject(
                     {{"seasonalId", "autumn"},
                      {"revision", 1},
                      {"sha256", TestHelpers::hex(packOf(kRevision1), QCryptographicHash::Sha256)},
                      {"entries", QJsonArray({"config/b.txt", "mods/a.jar", "options.txt"})},
                      {"gameDir", gameDirOf(home)},
                      {"gameDirPlace", PackLedger::placeOf(gameDirOf(home))}}));
        QCOMPARE(backend.customBuildAt(1).value("seasonalRevision").toInt(), 1);
        QCOMPARE(packsLeft(), QStringList());
        QCOMPARE(indexState(), QStringLiteral("idle"));

        // Revision 2 whose pack fails its checksum leaves the build as it was.
        writeFile(gameDirOf(home) + "/saves/world/level.dat", "the player's world");
        backend.updateCustomBuild(1, {{"resolvedVersionId", kFakeVersion}});
        const Fingerprint before =
            fingerprintTree(gameDirOf(home), BuildSwitcher::sharedTopLevel());
        publish(server, Season{.revision = 2, .sha256 = QString(64, 'f')}, packOf(kRevision2));
        QVERIFY(loadCatalog(backend));
        started.errors.clear();
        QVERIFY(runInstall(backend));
        QCOMPARE(started.messages(),
                 QStringList({"Build \"Autumn\": The build archive's checksum does not match — "
                              "the download is corrupted",
                              aborted("The build archive's checksum does not match — the "
                                      "download is corrupted")}));
        QCOMPARE(fingerprintTree(gameDirOf(home), BuildSwitcher::sharedTopLevel()), before);
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Autumn"));
        QCOMPARE(backend.customBuildAt(1).value("seasonalRevision").toInt(), 1);
        QCOMPARE(packsLeft(), QStringList());

        // The right pack removes what revision 1 wrote and revision 2 no longer has; the
        // build holds it already, so nothing is switched, and an unchanged game version keeps
        // the version the build launches.
        publish(server, Season{.revision = 2}, packOf(kRevision2));
        QVERIFY(loadCatalog(backend));
        started.errors.clear();
        progress.clear();
        QVERIFY(runInstall(backend));
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(finished.size(), 2);
        QCOMPARE(gameFiles(home), namesOf(kRevision2) << "saves/world/level.dat");
        QCOMPARE(TestHelpers::readFile(gameDirOf(home) + "/mods/a.jar"), kRevision2.first().second);
        QCOMPARE(recordedEntries(2), namesOf(kRevision2));
        QCOMPARE(backend.customBuildAt(1).value("seasonalRevision").toInt(), 2);
        QCOMPARE(backend.customBuildAt(1).value("resolvedVersionId").toString(), kFakeVersion);
        QVERIFY(TestHelpers::firstArguments(progress).filter("Switching to build").isEmpty());
        QCOMPARE(packsLeft(), QStringList());
    }

    // A record of the pack's files that cannot be saved fails the install, and the next
    // update still removes every file the unrecorded revision put down.
    // A seasonal build cannot be played from a folder whose path holds ":": the install is
    // refused with Play's reason before it creates a build, switches or downloads.
    void refusedIntoAFolderNoGameRunsFrom()
    {
        TestServer server;
        TempHome home;
        const QString gameDir = home.path() + "/Games: Minecraft";
        QVERIFY(m_tools.prepareHome(home, {}, {kOtherBuild},
                                    {{"seasonalBaseUrl", server.url("/seasons").toString()},
                                     {"activeBuildId", 1},
                                     {"gameDir", gameDir}}));
        QVERIFY(writeFile(gameDir + "/marker.txt", "Other's own"));
        publish(server, Season{}, packOf(kRevision1));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(loadCatalog(backend));
        server.clearLog();

        backend.installSeasonalBuild("autumn");
        QVERIFY(!backend.seasonalInstalling() && !backend.busy());
        QCOMPARE(started.messages(), QStringList{Loc::text("launch.error.gameDirHasColon")
                                                     .arg(native(gameDir), QStringLiteral(":"))});
        QTest::qWait(100);
        QCOMPARE(server.requestCount(), 0);
        QCOMPARE(backend.customBuildNames(), QStringList{"Other"});
        QCOMPARE(fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()).keys(),
                 QStringList{"marker.txt"});
        QCOMPARE(packsLeft(), QStringList());
    }

    void unsavedRecordKeepsItsFilesKnown()
    {
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(installRevision(backend, server, Season{}, kRevision1));
        QSignalSpy finished(&backend, &LauncherBackend::seasonalInstallFinished);

        // Revision 2 takes revision 1's list of removals, then meets a folder where its own
        // record goes.
        const QString record = LauncherPaths::seasonalStateFile(2);
        const QMetaObject::Connection blocker =
            connect(&backend, &LauncherBackend::switchChanged, this, [&] {
                if (backend.m_buildSwitcher->stage() == BuildSwitcher::Applying &&
                    QFileInfo(record).isFile() && QFile::remove(record))
                    QDir().mkpath(record);
            });
        started.errors.clear();
        QVERIFY(installRevision(backend, server, Season{.revision = 2}, kRevision2));
        disconnect(blocker);
        QCOMPARE(started.messages(),
                 QStringList{aborted("Could not save " + native(record) + ": Is a directory")});
        QCOMPARE(finished.size(), 0);
        QCOMPARE(gameFiles(home), namesOf(kRevision2));
        QCOMPARE(backend.customBuildAt(1).value("seasonalRevision").toInt(), 1);
        QVERIFY(QFileInfo(record).isDir());

        const PackFiles revision3 = {{"mods/d.jar", "d"}};
        QVERIFY(QDir(record).removeRecursively());
        started.errors.clear();
        QVERIFY(installRevision(backend, server, Season{.revision = 3}, revision3));
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(gameFiles(home), namesOf(revision3));
        QCOMPARE(recordedEntries(2), namesOf(revision3));
        QCOMPARE(backend.customBuildAt(1).value("seasonalRevision").toInt(), 3);
    }

    // A pack that breaks off halfway, or whose record is lost with the launcher, leaves the
    // next update every file it put down to remove.
    void halfAppliedPackIsRemovedAfterARestart()
    {
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        auto started = std::make_unique<Started>();
        QVERIFY(installRevision(*started->backend, server, Season{}, kRevision1));
        // The build's own file stands where revision 2's last file needs a folder.
        QVERIFY(writeFile(gameDirOf(home) + "/taken", "the build's own"));
        const PackFiles revision2 = kRevision2 + PackFiles{{"taken/x.txt", "x"}};
        started->errors.clear();
        QVERIFY(installRevision(*started->backend, server, Season{.revision = 2}, revision2));
        QCOMPARE(started->messages().size(), 2);
        QVERIFY(gameFiles(home).contains("mods/c.jar"));

        started.reset();
        QVERIFY(QFile::remove(gameDirOf(home) + "/taken"));
        Started restarted;
        const PackFiles revision3 = {{"mods/d.jar", "d"}};
        QVERIFY(installRevision(*restarted.backend, server, Season{.revision = 3}, revision3));
        QCOMPARE(gameFiles(home), namesOf(revision3));
        QCOMPARE(recordedEntries(2), namesOf(revision3));
    }

    void playersFileSurvivesAFailedRevision_data()
    {
        QTest::addColumn<bool>("triedAgain");
        QTest::newRow("tried again") << true;
        QTest::newRow("next revision without it") << false;
    }

    // Revision 2 lists the player's options.txt but breaks off before it reaches it: neither
    // a second try nor a revision without it removes the player's file.
    void playersFileSurvivesAFailedRevision()
    {
        QFETCH(bool, triedAgain);
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(installRevision(backend, server, Season{}, {{"mods/a.jar", "a"}}));
        const QString options = gameDirOf(home) + "/options.txt";
        QVERIFY(writeFile(options, "the player's own"));
        // Another file of the player's stands where revision 2's first file needs a folder.
        QVERIFY(writeFile(gameDirOf(home) + "/config", "the player's config"));
        const PackFiles revision2 = {
            {"config/x.txt", "x"}, {"mods/a.jar", "a2"}, {"options.txt", "fov:100"}};
        QVERIFY(installRevision(backend, server, Season{.revision = 2}, revision2));
        QCOMPARE(started.messages().size(), 2);
        QCOMPARE(gameFiles(home), QStringList({"config", "options.txt"}));

        started.errors.clear();
        if (triedAgain)
            QVERIFY(runInstall(backend));
        else
            QVERIFY(installRevision(backend, server, Season{.revision = 3}, {{"mods/d.jar", "d"}}));
        QCOMPARE(started.messages().size(), triedAgain ? 2 : 0);
        QCOMPARE(TestHelpers::readFile(options), QByteArray("the player's own"));
        QCOMPARE(gameFiles(home), triedAgain
                                      ? QStringList({"config", "options.txt"})
                                      : QStringList({"config", "mods/d.jar", "options.txt"}));
    }

    // The player points the launcher at a game folder used before: the next revision
    // removes nothing there, whatever the build remembers of its last pack's files.
    void anotherGameFolderKeepsThePlayersFiles_data()
    {
        QTest::addColumn<QString>("memory");
        QTest::newRow("ledger") << "ledger";
        QTest::newRow("record alone") << "record";
        QTest::newRow("empty ledger and the record") << "empty ledger";
    }

    void anotherGameFolderKeepsThePlayersFiles()
    {
        QFETCH(QString, memory);
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        const QString other = home.path() + "/other";
        const PackFiles players = {{"options.txt", "the player's options"},
                                   {"mods/a.jar", "the player's mod"},
                                   {"saves/world/level.dat", "the player's world"}};
        QVERIFY(writeFiles(other, players));
        QVERIFY(m_tools.installFakeGame(other, kFakeVersion));
        Started started;
        LauncherBackend& backend = *started.backend;
        const PackFiles revision1 = {{"options.txt", "fov:90"}, {"mods/a.jar", "a"}};
        QVERIFY(installRevision(backend, server, Season{}, revision1));
        const QMap<QString, QByteArray> firstFolder = gameContents(home);
        if (memory == QLatin1String("record"))
            QVERIFY(QFile::remove(LauncherPaths::packLedgerFile(2)));
        if (memory == QLatin1String("empty ledger"))
            QVERIFY(QFile::resize(LauncherPaths::packLedgerFile(2), 0));

        backend.updateSettings({{"gameDir", other}});
        QVERIFY(installRevision(backend, server, Season{.revision = 2}, {{"mods/b.jar", "b"}}));

        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(readBack(other, players), players);
        QCOMPARE(TestHelpers::readFile(other + "/mods/b.jar"), QByteArray("b"));
        // The first folder is left as revision 1 made it.
        QCOMPARE(gameContents(home), firstFolder);
    }

    // The pack's own files are replaced in whatever folder they reach: the player's copy of
    // the folder, chosen in the settings, or a folder a build switch restored them into.
    void packFilesAreReplacedInTheFolderTheyReach_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("folder copied and chosen") << "copied";
        QTest::newRow("restored by a switch into another folder") << "restored";
    }

    void packFilesAreReplacedInTheFolderTheyReach()
    {
        QFETCH(QString, how);
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        const QString other = home.path() + "/bigger/minecraft";
        const PackFiles players = {{"options.txt", "the player's options"},
                                   {"mods/own.jar", "the player's mod"},
                                   {"config/alpha.cfg.bak", "the player's copy"}};
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(
            installRevision(backend, server, Season{},
                            {{"config/alpha.cfg", "alpha 1.0"}, {"mods/alpha-1.0.jar", "1.0"}}));
        QVERIFY(writeFiles(gameDirOf(home), players));
        if (how == QLatin1String("copied")) {
            QVERIFY(QDir().mkpath(home.path() + "/bigger"));
            QVERIFY(copyFolder(gameDirOf(home), other));
        } else {
            QVERIFY(installRevision(backend, server, Season{.id = "winter", .name = "Winter"},
                                    {{"mods/winter.jar", "winter"}}));
            QVERIFY(m_tools.installFakeGame(other, kFakeVersion));
        }
        const QMap<QString, QByteArray> firstFolder = gameContents(home);

        backend.updateSettings({{"gameDir", other}});
        QVERIFY(
            installRevision(backend, server, Season{.revision = 2},
                            {{"config/alpha.cfg", "alpha 1.1"}, {"mods/alpha-1.1.jar", "1.1"}}));

        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(modsIn(other), QStringList({"alpha-1.1.jar", "own.jar"}));
        QCOMPARE(TestHelpers::readFile(other + "/config/alpha.cfg"), QByteArray("alpha 1.1"));
        QCOMPARE(readBack(other, players), players);
        QCOMPARE(gameContents(home), firstFolder);
    }

    // The game folder setting is a link, pointed at another installation of the player's:
    // that is another folder, whose own files of the pack's names stay.
    void linkPointedElsewhereIsAnotherFolder()
    {
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        const QString link = home.path() + "/game";
        const QString mine = home.path() + "/mine";
        const PackFiles players = {{"options.txt", "the player's options"},
                                   {"mods/a.jar", "the player's mod"},
                                   {"saves/world/level.dat", "the player's world"}};
        QVERIFY(writeFiles(mine, players));
        QVERIFY(m_tools.installFakeGame(mine, kFakeVersion));
        QVERIFY(pointLink(link, gameDirOf(home)));
        Started started;
        LauncherBackend& backend = *started.backend;
        backend.updateSettings({{"gameDir", link}});
        QVERIFY(installRevision(backend, server, Season{},
                                {{"mods/a.jar", "a"}, {"options.txt", "fov:90"}}));
        const QMap<QString, QByteArray> firstFolder = gameContents(home);

        QVERIFY(pointLink(link, mine));
        QVERIFY(installRevision(backend, server, Season{.revision = 2}, {{"mods/b.jar", "b"}}));

        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(readBack(mine, players), players);
        QCOMPARE(TestHelpers::readFile(mine + "/mods/b.jar"), QByteArray("b"));
        QCOMPARE(gameContents(home), firstFolder);
    }

    // A folder tried for a while and left: back in the first, the next revision replaces
    // the files the first revision wrote there.
    void folderComeBackToKeepsItsNames()
    {
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        const QString first = gameDirOf(home);
        const QString tried = home.path() + "/tried";
        QVERIFY(m_tools.installFakeGame(tried, kFakeVersion));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(installRevision(backend, server, Season{}, {{"mods/alpha-1.0.jar", "1.0"}}));
        QVERIFY(writeFile(first + "/options.txt", "the player's options"));
        QVERIFY(writeFile(first + "/mods/own.jar", "the player's mod"));
        backend.updateSettings({{"gameDir", tried}});
        QVERIFY(installRevision(backend, server, Season{.revision = 2},
                                {{"mods/alpha-1.1.jar", "1.1"}}));
        backend.updateSettings({{"gameDir", first}});
        QVERIFY(installRevision(backend, server, Season{.revision = 3},
                                {{"mods/alpha-1.2.jar", "1.2"}}));

        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(modsIn(first), QStringList({"alpha-1.2.jar", "own.jar"}));
        QCOMPARE(TestHelpers::readFile(first + "/options.txt"), QByteArray("the player's options"));
        QCOMPARE(TestHelpers::readFile(first + "/mods/own.jar"), QByteArray("the player's mod"));
        QCOMPARE(modsIn(tried), QStringList({"alpha-1.1.jar"}));
        // And back in the folder tried, its own revision's file goes too.
        backend.updateSettings({{"gameDir", tried}});
        QVERIFY(installRevision(backend, server, Season{.revision = 4},
                                {{"mods/alpha-1.3.jar", "1.3"}}));
        QCOMPARE(modsIn(tried), QStringList({"alpha-1.3.jar"}));
        QCOMPARE(modsIn(first), QStringList({"alpha-1.2.jar", "own.jar"}));
    }

    void folderMadeAgainAtItsPath_data()
    {
        QTest::addColumn<long>("fileSystem"); // what statfs answers for the folder; 0: its own
        QTest::addColumn<bool>("changedFileRemoved");
        QTest::newRow("FAT") << long(MSDOS_SUPER_MAGIC) << true;
        QTest::newRow("exFAT") << long(EXFAT_SUPER_MAGIC) << true;
        QTest::newRow("FUSE") << long(FUSE_SUPER_MAGIC) << true;
        QTest::newRow("inodes kept") << 0L << false;
    }

    // The game folder is made again at its path before every revision, as a remount does.
    // Where the file system numbers inodes anew, that is the same folder, and the pack's
    // config the game changed goes with the revision that drops it; where inodes are kept,
    // it is a folder that only shares the path, and the changed file stays as a player's.
    // Either way the files that hold what the pack wrote are replaced, and the ledger keeps
    // one list.
    void folderMadeAgainAtItsPath()
    {
        QFETCH(long, fileSystem);
        QFETCH(bool, changedFileRemoved);
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        const QString game = gameDirOf(home);
        std::optional<FileSystemAnswers::FileSystemType> answer;
        if (fileSystem != 0)
            answer.emplace(game, fileSystem);
        const auto revisionFiles = [](int revision) {
            const QByteArray number = QByteArray::number(revision);
            return PackFiles{{"config/r" + number + ".toml", "config " + number},
                             {"mods/r" + number + ".jar", "mod " + number}};
        };
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(installRevision(backend, server, Season{}, revisionFiles(1)));
        for (int revision = 2; revision <= 4; ++revision) {
            const QString changed = QStringLiteral("config/r%1.toml").arg(revision - 1);
            QVERIFY(writeFile(game + "/" + changed, "changed by the game"));
            QVERIFY(remakeFolder(game, home.path() + "/aside" + QString::number(revision)));

            QVERIFY(installRevision(backend, server, Season{.revision = revision},
                                    revisionFiles(revision)));
            QCOMPARE(started.messages(), QStringList());
            QStringList left = namesOf(revisionFiles(revision));
            if (!changedFileRemoved) {
                for (int earlier = 1; earlier < revision; ++earlier)
                    left.append(QStringLiteral("config/r%1.toml").arg(earlier));
                left.sort();
            }
            QCOMPARE(gameFiles(home), left);
            QCOMPARE(TestHelpers::ledgerFolders(LauncherPaths::packLedgerFile(2)),
                     QStringList{game});
        }
    }

    // Applications killed at random moments, each followed by the next revision: what any
    // application wrote goes, what the player's is stays.
    void killedApplicationsLoseNoFileAndLeaveNone()
    {
        constexpr int kRounds = 20;
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        // Revisions alternate between two sets of names that share some; the player keeps
        // files at names only the even revisions list, and one no pack lists.
        QStringList odd;
        QStringList even{"options.txt"};
        QStringList players{"options.txt", "saves/world/level.dat"};
        for (int i = 0; i < 300; ++i) {
            odd.append(QStringLiteral("mods/a%1.jar").arg(i, 3, 10, QLatin1Char('0')));
            even.append(QStringLiteral("mods/b%1.jar").arg(i, 3, 10, QLatin1Char('0')));
            if (i % 30 == 7)
                players.append(even.last());
        }
        for (int i = 0; i < 150; ++i) {
            odd.append(QStringLiteral("config/s%1.toml").arg(i));
            even.append(odd.last());
        }
        {
            Started started;
            QVERIFY(installRevision(*started.backend, server, Season{}, revisionFiles(1, odd)));
        }
        const QString packPath = home.path() + "/pack.zip";
        int spanMs = -1;
        int revision = 1;
        for (int round = 0; round <= kRounds; ++round, revision += 2) {
            for (const QString& name : std::as_const(players)) {
                if (!QFileInfo::exists(gameDirOf(home) + "/" + name))
                    QVERIFY(writeFile(gameDirOf(home) + "/" + name, kPlayers + name.toUtf8()));
            }
            QVERIFY(writeFile(packPath, packOf(revisionFiles(revision + 1, even))));
            // The first child is let finish: how long it applies bounds the kill moments.
            QProcess child;
            QElapsedTimer clock;
            QVERIFY(startApplyingChild(child, packPath, revision + 1));
            clock.start();
            const int delay =
                spanMs < 0 ? -1 : int(QRandomGenerator::global()->bounded(spanMs + 1));
            if (!child.waitForFinished(delay))
                child.kill();
            child.waitForFinished();
            if (spanMs < 0)
                spanMs = int(clock.elapsed());
            // Every other round the pack is gone by the next start, which then has nothing
            // to finish: the next revision is applied over what the kill left.
            if (round % 2 == 1)
                QFile::remove(LauncherPaths::buildDir(2) +
                              QStringLiteral("/.pack-r%1.zip").arg(revision + 1));

            Started started;
            LauncherBackend& backend = *started.backend;
            QTRY_VERIFY_WITH_TIMEOUT(indexState() == "idle" && !backend.busy(), kInstallWaitMs);
            backend.updateSettings({{"seasonalBaseUrl", server.url("/seasons").toString()}});
            const QMap<QString, QByteArray> before = gameContents(home);
            QVERIFY(installRevision(backend, server, Season{.revision = revision + 2},
                                    revisionFiles(revision + 2, odd)));
            const QByteArray current = "r" + QByteArray::number(revision + 2) + " ";
            const QMap<QString, QByteArray> after = gameContents(home);
            const QString where = QStringLiteral("round %1, killed %2 ms into %3 ms")
                                      .arg(round)
                                      .arg(delay)
                                      .arg(spanMs);
            for (auto it = after.cbegin(); it != after.cend(); ++it)
                QVERIFY2(it.value().startsWith(odd.contains(it.key()) ? current : kPlayers),
                         qPrintable(where + ": left " + it.key()));
            for (auto it = before.cbegin(); it != before.cend(); ++it) {
                if (it.value().startsWith(kPlayers))
                    QVERIFY2(after.value(it.key()) == it.value(),
                             qPrintable(where + ": removed " + it.key()));
            }
        }
    }

    void claimNeverReachedKeepsThePlayersFile_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("nothing") << "";
        QTest::newRow("a switch away and back") << "switch";
        QTest::newRow("an editor's save by rename") << "rename";
    }

    // Revision 2 claims the player's options.txt and is killed writing the file before it;
    // its pack is gone by the next start. Whatever gives the player's file a new identity
    // before revision 3, which lists no options.txt, the file stays; what revision 2 wrote
    // goes.
    void claimNeverReachedKeepsThePlayersFile()
    {
        QFETCH(QString, meanwhile);
        TestServer server;
        TempHome home;
        QVERIFY(prepare(home, server));
        {
            Started started;
            QVERIFY(installRevision(*started.backend, server, Season{}, {{"mods/a.jar", "a"}}));
        }
        const QString options = gameDirOf(home) + "/options.txt";
        QVERIFY(writeFile(options, "the player's own"));
        constexpr int kFileLimit = 1024 * 1024;
        const PackFiles revision2 = {{"mods/a.jar", "a2"},
                                     {"mods/big.jar", GameDirFixture::noise(2 * kFileLimit, 2)},
                                     {"options.txt", "fov:100"}};
        const QString packPath = home.path() + "/pack.zip";
        QVERIFY(writeFile(packPath, packOf(revision2)));
        QProcess child;
        QVERIFY(
            startApplyingChild(child, packPath, 2, kKillAbove + QByteArray::number(kFileLimit)));
        QVERIFY(child.waitForFinished(kInstallWaitMs));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QVERIFY(QFile::remove(LauncherPaths::buildDir(2) + "/.pack-r2.zip"));

        Started started;
        LauncherBackend& backend = *started.backend;
        QTRY_VERIFY_WITH_TIMEOUT(indexState() == "idle" && !backend.busy(), kInstallWaitMs);
        backend.updateSettings({{"seasonalBaseUrl", server.url("/seasons").toString()}});
        if (meanwhile == "switch") {
            for (int index : {0, 1}) {
                backend.setActiveBuildIndex(index);
                QTRY_VERIFY_WITH_TIMEOUT(!backend.busy(), kInstallWaitMs);
                QCOMPARE(backend.activeBuildIndex(), index);
            }
        } else if (meanwhile == "rename") {
            QVERIFY(writeFile(options + ".new", "the player's own"));
            QVERIFY(::rename(qPrintable(options + ".new"), qPrintable(options)) == 0);
        }
        QVERIFY(installRevision(backend, server, Season{.revision = 3}, {{"mods/d.jar", "d"}}));
        QCOMPARE(started.messages(),
                 QStringList{"Installing the build \"Autumn\" did not finish — rolling its "
                             "files forward."});
        QCOMPARE(TestHelpers::readFile(options), QByteArray("the player's own"));
        QCOMPARE(gameFiles(home), QStringList({"mods/d.jar", "options.txt"}));
    }

    // Revision 2 meets a full disk halfway through its files, so neither its last file nor
    // the ledger's rewrite at its end reaches the disk. With room again, revision 3 removes
    // every file revision 2 wrote and keeps the player's options.txt it never reached.
    void failedLedgerRewriteLosesNoFileAndLeavesNone()
    {
        TempHome home;
        FullDisk disk(home.path());
        // The small file system holds far less than the room kept free beside a pack.
        BuildSwitcher::setAvailableSpaceProbeForTesting([](const QString&) { return -1; });
        const auto probeBack =
            qScopeGuard([] { BuildSwitcher::setAvailableSpaceProbeForTesting({}); });
        TestServer server;
        QVERIFY(prepare(home, server));
        {
            Started started;
            QVERIFY(installRevision(*started.backend, server, Season{}, {{"mods/a.jar", "a"}}));
            QCOMPARE(started.messages(), QStringList());
        }
        const QString options = gameDirOf(home) + "/options.txt";
        QVERIFY(writeFile(options, "the player's own"));
        // On the small file system the pack, its archive and the rest fill it up together;
        // elsewhere writes fail from the first file on, and the many files after it give
        // that time to happen.
        PackFiles revision2{{"mods/a.jar", "a2"}};
        const int count = disk.isMounted() ? 45 : 1000;
        const int size = disk.isMounted() ? 64 * 1024 : 16 * 1024;
        for (int i = 0; i < count; ++i)
            revision2.append({"config/m" + QByteArray::number(i) + ".txt",
                              QByteArray::number(i) + QByteArray(size, 'm')});
        revision2.append({QByteArray("options.txt"), QByteArray("fov:100")});
        QTemporaryDir elsewhere;
        const QString packPath = elsewhere.path() + "/pack.zip";
        QVERIFY(writeFile(packPath, packOf(revision2)));
        QProcess child;
        QVERIFY(startApplyingChild(child, packPath, 2,
                                   disk.isMounted() ? QByteArray(kFill)
                                                    : kFailAfter + QByteArray("config/m0.txt")));
        QVERIFY(child.waitForFinished(kInstallWaitMs));
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(gameFiles(home).contains("config/m0.txt"));
        QVERIFY(!gameFiles(home).contains("config/m" + QString::number(count - 1) + ".txt"));

        Started started;
        LauncherBackend& backend = *started.backend;
        QTRY_VERIFY_WITH_TIMEOUT(indexState() == "idle" && !backend.busy(), kInstallWaitMs);
        backend.updateSettings({{"seasonalBaseUrl", server.url("/seasons").toString()}});
        QVERIFY(installRevision(backend, server, Season{.revision = 3}, {{"mods/d.jar", "d"}}));
        QCOMPARE(TestHelpers::readFile(options), QByteArray("the player's own"));
        QCOMPARE(gameFiles(home), QStringList({"mods/d.jar", "options.txt"}));
    }

    // installVersion runs beside anything: the stage waits for the job of its own version.
    void versionStageWaitsForItsOwnVersion_data()
    {
        QTest::addColumn<TestReply>("otherClient");
        QTest::addColumn<int>("errors");
        QTest::newRow("other finishes first") << TestReply::ok().delayed(800) << 0;
        // Its failure drops the jobs waiting behind it: the stage asks again.
        QTest::newRow("other fails first") << TestReply::notFound().delayed(800) << 1;
    }

    void versionStageWaitsForItsOwnVersion()
    {
        QFETCH(TestReply, otherClient);
        QFETCH(int, errors);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        TempHome home;
        QVERIFY(prepare(home, server));
        QVERIFY(writeServedVersion(server, gameDirOf(home), "other-1.0", otherClient));
        QVERIFY(writeServedVersion(server, gameDirOf(home), "season-1.0", TestReply::ok()));
        publish(server, Season{.version = "season-1.0"}, packOf(kRevision1));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(loadCatalog(backend));
        QList<int> stagesAtOthersEnd;
        const auto othersEnd = [&](const QString& id) {
            if (id == "other-1.0")
                stagesAtOthersEnd.append(int(backend.m_seasonal->stage()));
        };
        connect(backend.m_versionInstaller, &VersionInstaller::finished, this, othersEnd);
        connect(backend.m_versionInstaller, &VersionInstaller::failed, this, othersEnd);
        QSignalSpy finished(&backend, &LauncherBackend::seasonalInstallFinished);

        backend.installSeasonalBuild("autumn");
        backend.installVersion("other-1.0");
        QTRY_VERIFY_WITH_TIMEOUT(!backend.seasonalInstalling(), kInstallWaitMs);
        QCOMPARE(started.errors.size(), errors);
        QCOMPARE(stagesAtOthersEnd, QList<int>{int(Stage::GameFiles)});
        QCOMPARE(finished.size(), 1);
        QCOMPARE(backend.checkInstallation(1), QStringList());
        QCOMPARE(gameFiles(home), namesOf(kRevision1));
        QCOMPARE(server.requestCount("/season-1.0.jar"), 1);
    }

    void failuresEndTheInstallOnce_data()
    {
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("activeBuild");
        QTest::newRow("switch refused")
            << Failure::SwitchRefused
            << QStringList{"The build was not switched: Could not create {build 1}",
                           aborted("Could not create {build 1}")}
            << "Other";
        QTest::newRow("pack folder blocked")
            << Failure::PackFolderBlocked
            << QStringList{"Build \"Autumn\": Could not create {build 2}: File exists",
                           aborted("Could not create {build 2}: File exists")}
            << "Autumn";
        QTest::newRow("blank game version")
            << Failure::BlankVersion << QStringList{aborted("the build names no Minecraft version")}
            << "Autumn";
        QTest::newRow("no Java build")
            << Failure::NoJava
            << QStringList{aborted("the catalog has no Java 99 build for this system")} << "Autumn";
        QTest::newRow("cancelled download")
            << Failure::Canceled << QStringList{aborted()} << "Autumn";
        QTest::newRow("loader install refused")
            << Failure::LoaderBusy
            << QStringList{"Fabric Loader: A mod loader installation is already running",
                           aborted("A mod loader installation is already running")}
            << "Autumn";
        QTest::newRow("pack rejected")
            << Failure::PackRejected
            << QStringList{"The build's files are not installed: The build archive tries to "
                           "modify the launcher's shared files: \"versions/x.json\"",
                           aborted("The build archive tries to modify the launcher's shared "
                                   "files: \"versions/x.json\"")}
            << "Autumn";
        QTest::newRow("pack half applied")
            << Failure::PackHalfApplied
            << QStringList{"The build's files are only partially installed: Could not create "
                           "{game}/taken\nInstall the build again.",
                           aborted("Could not create {game}/taken")}
            << "Autumn";
    }

    // Each ends the install once, with the service's report and one message of its own,
    // also where the service refuses inside the call that starts it.
    void failuresEndTheInstallOnce()
    {
        QFETCH(Failure, failure);
        QFETCH(QStringList, messages);
        QFETCH(QString, activeBuild);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        TempHome home;
        Season season;
        PackFiles pack = kRevision1;
        QJsonArray builds{kOtherBuild};
        int active = 1;
        const QJsonObject autumn{{"id", 2},
                                 {"name", "Autumn"},
                                 {"minecraftVersion", kFakeVersion},
                                 {"seasonalId", "autumn"}};
        switch (failure) {
        case Failure::SwitchRefused:
            home.writeFile("Hollowmere/builds/1", "a file where Other's folder goes");
            break;
        case Failure::PackFolderBlocked:
            builds.append(autumn);
            active = 2;
            home.writeFile("Hollowmere/builds/2", "a file where the pack's folder goes");
            break;
        case Failure::BlankVersion:
            season.version = "  ";
            break;
        case Failure::NoJava:
            season.javaMajor = 99;
            QVERIFY(writeFreshJavaCatalog(home, server.url("/jdk.tar.gz").toString()));
            break;
        case Failure::Canceled:
            season.slow = true;
            break;
        case Failure::LoaderBusy:
            season.version = kFabricGame;
            season.loader = "fabric";
            season.loaderVersion = "0.16.10";
            serveFabric(server);
            server.route("/v2/versions/loader/1.20.1",
                         TestReply::json(R"([{"loader": {"version": "0.16.10"}}])").delayed(1500));
            break;
        case Failure::PackRejected:
            pack.append({QByteArray("versions/x.json"), QByteArray("{}")});
            break;
        case Failure::PackHalfApplied:
            // The build's own file stands where the pack's second file needs a folder.
            builds.append(autumn);
            active = 2;
            pack = {{"first.txt", "1"}, {"taken/x.txt", "x"}};
            QVERIFY(writeFile(gameDirOf(home) + "/taken", "the build's own"));
            break;
        }
        QVERIFY(prepare(home, server, builds, active));
        QVERIFY(m_tools.installFakeGame(gameDirOf(home), kFabricGame));
        publish(server, season, packOf(pack));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(loadCatalog(backend));
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        QSignalSpy finished(&backend, &LauncherBackend::seasonalInstallFinished);
        connect(backend.m_packDownloader, &SeasonalPackDownloader::started, this, [&] {
            if (failure == Failure::Canceled)
                backend.cancelSeasonalInstall();
        });

        backend.installSeasonalBuild("autumn");
        if (failure == Failure::LoaderBusy)
            backend.m_loaderInstaller->install(gameDirOf(home), ModLoader::Fabric, kFabricGame,
                                               "0.16.10", QString());
        QTRY_VERIFY_WITH_TIMEOUT(!backend.seasonalInstalling() && !backend.busy(), kInstallWaitMs);
        messages.replaceInStrings("{build 1}", native(LauncherPaths::buildDir(1)));
        messages.replaceInStrings("{build 2}", native(LauncherPaths::buildDir(2)));
        messages.replaceInStrings("{game}", native(gameDirOf(home)));
        QCOMPARE(started.messages(), messages);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(backend.activeBuildName(), activeBuild);
        QCOMPARE(packsLeft(), QStringList());
        // Only files a pack put down are named for the next one to remove.
        QCOMPARE(recordedEntries(2), QStringList());
        QCOMPARE(ownedByPacks(home, 2),
                 failure == Failure::PackHalfApplied ? QStringList{"first.txt"} : QStringList());
        // No application completed: the entry reads as never installed.
        const QVariantMap row = backend.seasonalCatalog().value(0).toMap();
        QCOMPARE(row.value("installed").toBool(), false);
        QCOMPARE(row.value("updateAvailable").toBool(), false);
        QCOMPARE(row.value("status").toString(), QStringLiteral("Not installed"));
        if (failure == Failure::Canceled)
            QVERIFY(TestHelpers::firstArguments(progress).contains(
                "Download of build \"Autumn\" cancelled"));
    }

    // The version a build launches belongs to its game version and loader: a new loader
    // version is installed, an unchanged one is not fetched again.
    void loaderStageFollowsTheLoaderVersion_data()
    {
        QTest::addColumn<QString>("loaderVersion");
        QTest::addColumn<QString>("launchedVersion");
        QTest::addColumn<bool>("loaderFetched");
        QTest::newRow("same loader version") << "0.16.9"
                                             << "fabric-loader-0.16.9-1.20.1" << false;
        QTest::newRow("new loader version") << "0.16.10" << kFabricLoaderId << true;
    }

    void loaderStageFollowsTheLoaderVersion()
    {
        QFETCH(QString, loaderVersion);
        QFETCH(QString, launchedVersion);
        QFETCH(bool, loaderFetched);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        serveFabric(server);
        TempHome home;
        const QString oldLoader = "fabric-loader-0.16.9-1.20.1";
        QVERIFY(prepare(home, server,
                        {QJsonObject{{"id", 1},
                                     {"name", "Autumn"},
                                     {"minecraftVersion", kFabricGame},
                                     {"loader", "fabric"},
                                     {"loaderVersion", "0.16.9"},
                                     {"resolvedVersionId", oldLoader},
                                     {"seasonalId", "autumn"},
                                     {"seasonalRevision", 1}}}));
        QVERIFY(m_tools.installFakeGame(gameDirOf(home), kFabricGame));
        QVERIFY(writeFile(gameDirOf(home) + "/versions/" + oldLoader + "/" + oldLoader + ".json",
                          QJsonDocument(QJsonObject{{"id", oldLoader},
                                                    {"inheritsFrom", kFabricGame},
                                                    {"mainClass", "FakeGame"}})
                              .toJson()));
        publish(server,
                Season{.revision = 2,
                       .version = kFabricGame,
                       .loader = "fabric",
                       .loaderVersion = loaderVersion},
                packOf(kRevision1));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(loadCatalog(backend));

        QVERIFY(runInstall(backend));
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(backend.customBuildAt(0).value("resolvedVersionId").toString(), launchedVersion);
        QCOMPARE(backend.customBuildAt(0).value("seasonalRevision").toInt(), 2);
        QCOMPARE(backend.checkInstallation(0), QStringList());
        QCOMPARE(server.requestCount("/v2/versions/loader/1.20.1") > 0, loaderFetched);
    }

    // ---- The pipeline alone ----

    void stagesRunInOrderAndSkipWhatIsDone_data()
    {
        QTest::addColumn<bool>("holdsBuild");
        QTest::addColumn<bool>("hasJava");
        QTest::addColumn<QString>("loader");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<bool>("filesMissing");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("every stage") << false << false << ""
                                     << "" << true << kEveryStage;
        QTest::newRow("active build with its Java and files") << true << true << ""
                                                              << "" << false << kEveryStage.mid(4);
        QTest::newRow("loader without the version it launches")
            << true << true << "fabric"
            << "" << false << (QStringList{"loader fabric"} + kEveryStage.mid(4));
        QTest::newRow("loader installed")
            << false << true << "fabric"
            << "fabric-loader-x" << false << (kEveryStage.mid(0, 1) + kEveryStage.mid(4));
        QTest::newRow("loader with files missing")
            << true << false << "fabric"
            << "fabric-loader-x" << true
            << (kEveryStage.mid(1, 2) + QStringList{"loader fabric"} + kEveryStage.mid(4));
    }

    void stagesRunInOrderAndSkipWhatIsDone()
    {
        QFETCH(bool, holdsBuild);
        QFETCH(bool, hasJava);
        QFETCH(QString, loader);
        QFETCH(QString, resolved);
        QFETCH(bool, filesMissing);
        QFETCH(QStringList, requests);
        TempHome home;
        AlonePipeline pipeline(loader, resolved);
        pipeline.fake.holdsBuild = holdsBuild;
        pipeline.fake.hasJava = hasJava;
        if (!filesMissing)
            pipeline.fake.missingFiles.clear();
        QSignalSpy progress(&pipeline.install, &SeasonalInstall::progress);

        pipeline.start();
        QVERIFY(pipeline.install.isRunning());
        pipeline.runUntil();
        QCOMPARE(pipeline.fake.log, requests);
        QCOMPARE(pipeline.errors.size(), 0);
        QCOMPARE(pipeline.finished.size(), 1);
        QCOMPARE(pipeline.finished.first(), QList<QVariant>({"autumn", "Autumn"}));
        QCOMPARE(TestHelpers::firstArguments(progress).last(),
                 QStringLiteral("Build \"Autumn\" is installed"));
        QVERIFY(pipeline.install.stage() == Stage::Idle);
    }

    void failureAtEachStageEndsOnce_data()
    {
        QTest::addColumn<QString>("failingRequest");
        QTest::addColumn<bool>("catalogFails");
        QTest::addColumn<QStringList>("errors");
        const QStringList plain{aborted("the service's own words")};
        QTest::newRow("switch") << "switch" << false << plain;
        QTest::newRow("Java catalog")
            << "catalog" << true << QStringList{aborted("could not fetch the Java catalog")};
        QTest::newRow("no Java build")
            << "catalog" << false
            << QStringList{aborted("the catalog has no Java 17 build for this system")};
        QTest::newRow("Java") << "java" << false << plain;
        QTest::newRow("version") << "version" << false << plain;
        QTest::newRow("download") << "download" << false << plain;
        QTest::newRow("apply") << "apply" << false << plain;
    }

    // The service reports its own failure; the install adds one message and ends.
    void failureAtEachStageEndsOnce()
    {
        QFETCH(QString, failingRequest);
        QFETCH(bool, catalogFails);
        QFETCH(QStringList, errors);
        TempHome home;
        AlonePipeline pipeline;
        pipeline.fake.catalogHasJava = failingRequest != "catalog" || catalogFails;
        QSignalSpy running(&pipeline.install, &SeasonalInstall::runningChanged);

        pipeline.start();
        pipeline.runUntil(failingRequest);
        QVERIFY(pipeline.fake.log.last().startsWith(failingRequest));
        if (failingRequest == "catalog")
            pipeline.fake.answerCatalog(!catalogFails);
        else
            pipeline.fake.answer(JobOutcome::failed("the service's own words"));
        QCOMPARE(TestHelpers::firstArguments(pipeline.errors), errors);
        QCOMPARE(pipeline.finished.size(), 0);
        QVERIFY(!pipeline.install.isRunning());
        QCOMPARE(running.size(), 2);
        QCOMPARE(pipeline.fake.log.size(), kEveryStage.indexOf(pipeline.fake.log.last()) + 1);
    }

    void cancelFollowsTheStage_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("loader");
        QTest::addColumn<QString>("canceled");
        QTest::newRow("switch") << "switch"
                                << ""
                                << "";
        QTest::newRow("Java catalog loading") << "catalog"
                                              << ""
                                              << "cancel java";
        QTest::newRow("Java") << "java"
                              << ""
                              << "cancel java";
        QTest::newRow("version") << "version"
                                 << ""
                                 << "cancel version";
        QTest::newRow("loader") << "loader"
                                << "fabric"
                                << "cancel loader";
        QTest::newRow("download") << "download"
                                  << ""
                                  << "cancel download";
        QTest::newRow("apply") << "apply"
                               << ""
                               << "";
    }

    // Moving files cannot be stopped; the other stages' work is cancelled, and its end as
    // cancelled ends the install. The catalog's arrival still starts the Java install.
    void cancelFollowsTheStage()
    {
        QFETCH(QString, stage);
        QFETCH(QString, loader);
        QFETCH(QString, canceled);
        TempHome home;
        AlonePipeline pipeline(loader);
        pipeline.start();
        pipeline.runUntil(stage);

        pipeline.install.cancel();
        if (canceled.isEmpty()) {
            QCOMPARE(TestHelpers::firstArguments(pipeline.errors),
                     QStringList{"Files are being moved right now — this cannot be cancelled"});
            pipeline.runUntil();
            QCOMPARE(pipeline.finished.size(), 1);
            return;
        }
        QCOMPARE(pipeline.fake.log.last(), canceled);
        if (stage == "catalog") {
            pipeline.fake.answerCatalog(true);
            QCOMPARE(pipeline.fake.log.last(), QStringLiteral("java jdk-17"));
        }
        pipeline.fake.answer(JobOutcome::canceled());
        QCOMPARE(TestHelpers::firstArguments(pipeline.errors), QStringList{aborted()});
        QVERIFY(!pipeline.install.isRunning());
    }

    void droppedVersionIsAskedForAgainOnce_data()
    {
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<bool>("cancelFirst");
        QTest::addColumn<int>("asked");
        QTest::addColumn<bool>("installed");
        const int drop = JobOutcome::Drop;
        const int success = JobOutcome::Success;
        QTest::newRow("dropped, then installed") << QList<int>{drop, success} << false << 2 << true;
        QTest::newRow("dropped twice") << QList<int>{drop, drop} << false << 2 << false;
        QTest::newRow("dropped while cancelling") << QList<int>{drop} << true << 1 << false;
    }

    // Another job's failure or cancel drops the version waiting behind it.
    void droppedVersionIsAskedForAgainOnce()
    {
        QFETCH(QList<int>, answers);
        QFETCH(bool, cancelFirst);
        QFETCH(int, asked);
        QFETCH(bool, installed);
        TempHome home;
        AlonePipeline pipeline;
        pipeline.start();
        pipeline.runUntil("version");
        if (cancelFirst)
            pipeline.install.cancel();
        for (const int kind : answers) {
            QVERIFY(pipeline.install.isRunning());
            pipeline.fake.answer(kind == JobOutcome::Drop ? JobOutcome::dropped()
                                                          : JobOutcome::succeeded());
        }
        QCOMPARE(pipeline.fake.log.count("version 1.20.1"), asked);
        pipeline.runUntil();
        QCOMPARE(pipeline.finished.size(), installed ? 1 : 0);
        QCOMPARE(TestHelpers::firstArguments(pipeline.errors),
                 installed ? QStringList() : QStringList{aborted()});
    }

    // An answer to an earlier install, or to a stage the install has left, finds nothing.
    void lateAnswersAreIgnored()
    {
        TempHome home;
        AlonePipeline pipeline;
        pipeline.start();
        const JobDone firstSwitch = pipeline.fake.done;
        pipeline.fake.answer(JobOutcome::failed(QString()));
        QVERIFY(!pipeline.install.isRunning());

        pipeline.start();
        const JobDone secondSwitch = pipeline.fake.done;
        firstSwitch(JobOutcome::succeeded());
        QCOMPARE(pipeline.fake.log, QStringList({"switch 0", "switch 0"}));
        QVERIFY(pipeline.install.stage() == Stage::Switch);
        pipeline.fake.answer(JobOutcome::succeeded());
        QCOMPARE(pipeline.fake.log.last(), QStringLiteral("catalog"));
        secondSwitch(JobOutcome::failed(QString()));
        QVERIFY(pipeline.install.stage() == Stage::Java);
        pipeline.runUntil();
        QCOMPARE(pipeline.finished.size(), 1);
        QCOMPARE(pipeline.errors.size(), 1);
    }

    // A process killed while it applies a pack; the next start rolls the pack forward.
    void killedApplicationIsFinishedAtTheNextStart()
    {
        TempHome home;
        TestServer unused;
        QVERIFY(prepare(home, unused));
        PackFiles files;
        files.append({QByteArray("config/pack.toml"), QByteArray("pack")});
        for (int i = 1000; i < 2500; ++i)
            files.append({"mods/m" + QByteArray::number(i) + ".jar",
                          GameDirFixture::noise(16 * 1024, quint32(i))});
        const QString packPath = home.path() + "/pack.zip";
        QVERIFY(writeFile(packPath, packOf(files)));

        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {kInstallChildArgument, packPath});
        QVERIFY(child.waitForStarted());
        QByteArray output;
        while (!output.contains("applying") && child.state() == QProcess::Running) {
            child.waitForReadyRead(50);
            output += child.readAllStandardOutput();
        }
        child.kill();
        child.waitForFinished();
        QVERIFY2(output.contains("applying"), output.constData());
        QCOMPARE(indexState(), QStringLiteral("applying"));
        // What a kill while a file was taking its place leaves behind.
        QVERIFY(writeFile(gameDirOf(home) + "/mods/.hm-part-2k9x1", "half a mod"));

        Started started;
        LauncherBackend& backend = *started.backend;
        QTRY_VERIFY_WITH_TIMEOUT(indexState() == "idle" && !backend.busy(), kInstallWaitMs);
        QCOMPARE(started.messages(),
                 QStringList{"Installing the build \"Autumn\" did not finish — rolling its "
                             "files forward."});
        QCOMPARE(gameFiles(home), namesOf(files));
        QTRY_COMPARE_WITH_TIMEOUT(recordedEntries(2), namesOf(files), kInstallWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(backend.customBuildAt(1).value("seasonalRevision").toInt(), 1,
                                  kInstallWaitMs);
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Autumn"));
        QCOMPARE(fingerprintArchive(backend.m_buildSwitcher->archivePathOf(1)).keys(),
                 QStringList{"marker.txt"});
        QCOMPARE(packsLeft(), QStringList());
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], kInstallChildArgument) == 0)
        return runInstallChild(argc, argv);
    QGuiApplication app(argc, argv);
    TestSeasonalInstall test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_seasonalinstall.moc"
