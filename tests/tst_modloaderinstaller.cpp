#include "javatools.h"
#include "launcherpaths.h"
#include "localization.h"
#include "minecraftversion.h"
#include "modloaderinstaller.h"
#include "modloaderversionservice.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "versioninstaller.h"
#include "versionmanifestservice.h"
#include "zlibreference.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kGame = QStringLiteral("1.20.1");
const QString kFabricVersion = QStringLiteral("0.16.10");
const QString kFabricId = QStringLiteral("fabric-loader-0.16.10-1.20.1");
const QString kFabricProfilePath =
    QStringLiteral("/v2/versions/loader/1.20.1/0.16.10/profile/json");
const QString kFabricLibraryPath =
    QStringLiteral("/maven/net/fabricmc/fabric-loader/0.16.10/fabric-loader-0.16.10.jar");
const QString kForgeVersion = QStringLiteral("47.2.0");
const QString kForgeId = QStringLiteral("1.20.1-forge-47.2.0");
const QString kForgeInstallerPath =
    QStringLiteral("/net/minecraftforge/forge/1.20.1-47.2.0/forge-1.20.1-47.2.0-installer.jar");
const QByteArray kClientJar = "client jar bytes";

QByteArray versionDescription(const QString& id, const QString& clientPath)
{
    QJsonObject description{
        {"id", id},
        {"type", "release"},
        {"mainClass", "net.minecraft.client.main.Main"},
        {"javaVersion", QJsonObject{{"majorVersion", 17}}},
        {"libraries", QJsonArray()},
    };
    if (!clientPath.isEmpty())
        description.insert("downloads",
                           QJsonObject{{"client", QJsonObject{{"url", "{{BASE}}" + clientPath},
                                                              {"size", kClientJar.size()}}}});
    return QJsonDocument(description).toJson();
}

QByteArray fabricProfile(const QString& id, const QString& parent)
{
    return QJsonDocument(QJsonObject{
                             {"id", id},
                             {"inheritsFrom", parent},
                             {"type", "release"},
                             {"mainClass", "net.fabricmc.loader.impl.launch.knot.KnotClient"},
                             {"libraries",
                              QJsonArray{QJsonObject{{"name", "net.fabricmc:fabric-loader:0.16.10"},
                                                     {"url", "{{BASE}}/maven/"}}}},
                         })
        .toJson();
}

using TestHelpers::readFile;

// Sets an environment variable for the fake installer until the test ends.
class EnvSetting {
public:
    EnvSetting(const char* name, const QByteArray& value) : m_name(name) { qputenv(name, value); }
    ~EnvSetting() { qunsetenv(m_name); }
    EnvSetting(const EnvSetting&) = delete;
    EnvSetting& operator=(const EnvSetting&) = delete;

private:
    const char* m_name;
};

// Everything a run of the installer records.
struct Outcome {
    explicit Outcome(ModLoaderInstaller* installer)
        : started(installer, &ModLoaderInstaller::started),
          finished(installer, &ModLoaderInstaller::finished),
          failed(installer, &ModLoaderInstaller::failed),
          canceled(installer, &ModLoaderInstaller::canceled),
          log(installer, &ModLoaderInstaller::log)
    {
    }
    int ends() const { return int(finished.count() + failed.count() + canceled.count()); }
    QString failure() const
    {
        return failed.isEmpty() ? QString() : failed.last().at(1).toString();
    }
    QStringList logLines() const { return TestHelpers::firstArguments(log); }

    QSignalSpy started;
    QSignalSpy finished;
    QSignalSpy failed;
    QSignalSpy canceled;
    QSignalSpy log;
};

} // namespace

class TestModLoaderInstaller : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusesWhileBusyAndWithoutVersions();
    void fabricOntoCompleteBaseVersion();
    void fabricInstallsMissingBaseVersionFirst();
    void fabricDescriptionChecks();
    void cancelDuringDescriptionWritesNothing();
    void runEndedFromItsHandOffNoticeInstallsNothing();
    void baseInstallCanceledElsewhereEndsTheRun();
    void runEndedFromItsBaseStageNoticeStaysEnded();
    void forgeInstallerRunsAndHandsOff();
    void forgeInstallerFailureKeepsVanillaInstalledBeside();
    void forgeFailureHintsAtZlibNg();
    void forgeInstallerThatProducesNothing();
    void forgeInstallerCanceledWhileItSleeps();
    void forgeRunEndedFromItsInstallStageNoticeStartsNothing();
    void forgeInstallerTimeoutRemovesItsVersionsOnly();
    void forgeInstallerAddressChecks();

private:
    QString gameDir() const { return m_home->path() + QStringLiteral("/.minecraft"); }
    void serveBaseVersions();
    void serveFabric();
    void serveForge();
    void installCompleteBase();
    bool waitForEnd(const Outcome& outcome, int timeoutMs = 20000);
    void startForge();

    QString m_installerJar;
    QTemporaryDir m_jarDir;
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<VersionManifestService> m_manifest;
    std::unique_ptr<VersionInstaller> m_versions;
    std::unique_ptr<ModLoaderVersionService> m_loaderVersions;
    std::unique_ptr<ModLoaderInstaller> m_installer;
};

void TestModLoaderInstaller::initTestCase()
{
    TempHome home;
    QVERIFY(home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
    QVERIFY(Localization::instance()->load());

    if (JavaTools::javaExecutable().isEmpty())
        QSKIP("No Java to run the fake installer with");
    m_installerJar = m_jarDir.path() + QStringLiteral("/forge-installer.jar");
    QString error;
    // Stands in for the Forge installer: checks its command line and the profiles
    // file, writes a version inheriting from 1.20.1 and behaves as HM_FAKE_MODE says.
    QVERIFY2(JavaTools::compileMainJar(
                 "FakeInstaller",
                 QString::fromUtf8(readFile(TestServer::fixturePath("loaders/FakeInstaller.java"))),
                 m_installerJar, &error),
             qPrintable(error));
}

void TestModLoaderInstaller::init()
{
    m_home = std::make_unique<TempHome>();
    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->isListening());
    RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    // A classic system zlib unless a test says otherwise.
    ZlibReference::setSystemZlibVersionForTesting(QStringLiteral("1.2.13"));
    m_manifest = std::make_unique<VersionManifestService>();
    m_versions = std::make_unique<VersionInstaller>(m_manifest.get());
    m_loaderVersions = std::make_unique<ModLoaderVersionService>();
    m_installer = std::make_unique<ModLoaderInstaller>(m_loaderVersions.get(), m_versions.get());
    serveBaseVersions();
}

void TestModLoaderInstaller::cleanup()
{
    m_installer.reset();
    m_loaderVersions.reset();
    m_versions.reset();
    m_manifest.reset();
    m_server.reset();
    RemoteAddresses::resetForTesting();
    ZlibReference::resetForTesting();
    m_home.reset();
}

void TestModLoaderInstaller::serveBaseVersions()
{
    QJsonArray versions;
    for (const QString& id : {kGame, QStringLiteral("1.19.4"), QStringLiteral("1.20.1-extra")})
        versions.append(QJsonObject{{"id", id},
                                    {"type", "release"},
                                    {"url", m_server->origin() + "/v1/" + id + ".json"},
                                    {"releaseTime", "2023-06-12T13:25:51+00:00"}});
    m_server->route("/mc/game/version_manifest_v2.json",
                    TestReply::json(QJsonDocument(QJsonObject{{"versions", versions}}).toJson()));
    m_server->route("/v1/1.20.1.json", TestReply::json(m_server->templated(versionDescription(
                                           kGame, QStringLiteral("/files/client-1.20.1.jar")))));
    m_server->route("/files/client-1.20.1.jar", TestReply::ok(kClientJar));
    m_server->route("/v1/1.19.4.json",
                    TestReply::json(m_server->templated(versionDescription(
                        QStringLiteral("1.19.4"), QStringLiteral("/files/client-1.19.4.jar")))));
    m_server->route("/files/client-1.19.4.jar", TestReply::ok(kClientJar).delayed(2500));

    // A version building on 1.20.1 whose one library takes a while.
    QJsonObject extra{
        {"id", "1.20.1-extra"},
        {"inheritsFrom", kGame},
        {"mainClass", "net.minecraft.client.main.Main"},
        {"libraries", QJsonArray{QJsonObject{{"name", "org.example:slow:1.0"},
                                             {"url", m_server->origin() + "/maven/"}}}}};
    m_server->route("/v1/1.20.1-extra.json", TestReply::json(QJsonDocument(extra).toJson()));
    m_server->route("/maven/org/example/slow/1.0/slow-1.0.jar",
                    TestReply::ok("slow library").delayed(4000));
}

void TestModLoaderInstaller::serveFabric()
{
    m_server->route("/v2/versions/loader/1.20.1",
                    TestReply::json(R"([{"loader": {"version": "0.16.10", "stable": true}},
                                       {"loader": {"version": "0.16.9", "stable": true}}])"));
    m_server->route(kFabricProfilePath,
                    TestReply::json(m_server->templated(fabricProfile(kFabricId, kGame))));
    m_server->route(kFabricLibraryPath, TestReply::ok("fabric loader jar"));
}

void TestModLoaderInstaller::serveForge()
{
    m_server->route("/net/minecraftforge/forge/maven-metadata.xml",
                    TestReply::text("<metadata><versioning><versions>"
                                    "<version>1.20.1-47.2.0</version>"
                                    "<version>1.20.1-47.1.0</version>"
                                    "</versions></versioning></metadata>"));
    m_server->route("/maven/net/minecraftforge/forge/promotions_slim.json",
                    TestReply::json(R"({"promos": {"1.20.1-recommended": "47.2.0"}})"));
    m_server->route(kForgeInstallerPath, TestReply::file(m_installerJar));
}

void TestModLoaderInstaller::installCompleteBase()
{
    const QString dir = gameDir() + "/versions/" + kGame;
    QVERIFY(QDir().mkpath(dir));
    QFile description(dir + "/" + kGame + ".json");
    QVERIFY(description.open(QIODevice::WriteOnly));
    description.write(versionDescription(kGame, {}));
    description.close();
    QFile jar(dir + "/" + kGame + ".jar");
    QVERIFY(jar.open(QIODevice::WriteOnly));
    jar.write(kClientJar);
}

bool TestModLoaderInstaller::waitForEnd(const Outcome& outcome, int timeoutMs)
{
    return QTest::qWaitFor([&] { return outcome.ends() > 0; }, timeoutMs);
}

void TestModLoaderInstaller::startForge()
{
    m_installer->install(gameDir(), ModLoader::Forge, kGame, kForgeVersion,
                         JavaTools::javaExecutable());
}

void TestModLoaderInstaller::refusesWhileBusyAndWithoutVersions()
{
    Outcome outcome(m_installer.get());
    m_installer->install(gameDir(), ModLoader::Quilt, "  ", "0.26.3", {});
    QCOMPARE(outcome.failed.count(), 1);
    QCOMPARE(outcome.failed.first(),
             QVariantList({"Quilt Loader", "No Quilt Loader version selected"}));
    QVERIFY(!m_installer->busy());
    m_installer->cancel(); // idle: nothing happens

    // The list request hangs, so the first run stays in its preparing stage.
    m_server->route("/v2/versions/loader/1.20.1", TestReply::json("[]").delayed(400));
    m_installer->install(gameDir(), ModLoader::Fabric, " 1.20.1 ", " 0.16.10 ", {});
    QCOMPARE(outcome.started.count(), 1);
    QCOMPARE(outcome.started.first().first().toString(), QStringLiteral("Fabric Loader 0.16.10"));
    QCOMPARE(m_installer->status().stage, QStringLiteral("Preparing Fabric Loader"));
    QVERIFY(m_installer->busy());
    QCOMPARE(m_installer->status().fraction, -1.0);

    m_installer->install(gameDir(), ModLoader::Forge, kGame, kForgeVersion, {});
    QCOMPARE(outcome.started.count(), 1);
    QCOMPARE(outcome.failed.count(), 2);
    QCOMPARE(outcome.failed.last(),
             QVariantList({"Minecraft Forge", "A mod loader installation is already running"}));
    QVERIFY(m_installer->busy());

    m_installer->cancel();
    QCOMPARE(outcome.canceled.count(), 1);
    QVERIFY(!m_installer->busy());
    QTest::qWait(600); // the late list answer resumes nothing
    QCOMPARE(outcome.ends(), 3);
    QCOMPARE(m_versions->isBusy(), false);
}

void TestModLoaderInstaller::fabricOntoCompleteBaseVersion()
{
    installCompleteBase();
    serveFabric();
    QSignalSpy versionStarted(m_versions.get(), &VersionInstaller::started);
    Outcome outcome(m_installer.get());

    m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
    QVERIFY(waitForEnd(outcome));
    QCOMPARE(outcome.failure(), QString());
    QCOMPARE(outcome.finished.count(), 1);
    QCOMPARE(outcome.finished.first(), QVariantList({"fabric", kGame, kFabricVersion, kFabricId}));
    QVERIFY(!m_installer->busy());
    QCOMPARE(m_installer->status().stage, QString());

    // The base version was complete: only the loader's version was installed.
    QCOMPARE(versionStarted.count(), 1);
    QCOMPARE(versionStarted.first().first().toString(), kFabricId);
    QCOMPARE(m_server->requestCount("/v1/1.20.1.json"), 0);
    QCOMPARE(readFile(VersionLoader::versionJsonPath(gameDir(), kFabricId)),
             m_server->templated(fabricProfile(kFabricId, kGame)));
    QCOMPARE(readFile(gameDir() + "/libraries" + kFabricLibraryPath.mid(6)),
             QByteArray("fabric loader jar"));
    const auto profileRequests = m_server->requests(kFabricProfilePath);
    QCOMPARE(profileRequests.size(), 1);
}

void TestModLoaderInstaller::fabricInstallsMissingBaseVersionFirst()
{
    serveFabric();
    QSignalSpy versionStarted(m_versions.get(), &VersionInstaller::started);
    QSignalSpy versionFinished(m_versions.get(), &VersionInstaller::finished);
    Outcome outcome(m_installer.get());
    QStringList stages;
    connect(m_installer.get(), &ModLoaderInstaller::progressChanged, this, [&] {
        if (stages.isEmpty() || stages.last() != m_installer->status().stage)
            stages.append(m_installer->status().stage);
    });

    m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
    QVERIFY(waitForEnd(outcome));
    QCOMPARE(outcome.failure(), QString());
    QCOMPARE(outcome.finished.count(), 1);
    QCOMPARE(versionFinished.count(), 2);
    QCOMPARE(versionFinished.at(0).first().toString(), kGame);
    QCOMPARE(versionFinished.at(1).first().toString(), kFabricId);
    QCOMPARE(readFile(VersionLoader::versionJarPath(gameDir(), kGame)), kClientJar);
    QVERIFY(stages.contains("Installing Minecraft 1.20.1"));
    QVERIFY(stages.indexOf("Installing Minecraft 1.20.1") <
            stages.indexOf("Fabric Loader version description"));
    QVERIFY(stages.contains("Downloading the version's files"));
    QCOMPARE(m_server->requestCount(kFabricProfilePath), 1);
}

void TestModLoaderInstaller::fabricDescriptionChecks()
{
    installCompleteBase();
    serveFabric();
    const QByteArray vanilla = readFile(VersionLoader::versionJsonPath(gameDir(), kGame));

    {
        m_server->route(kFabricProfilePath, TestReply::json(fabricProfile(kFabricId, "1.20")));
        Outcome outcome(m_installer.get());
        m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
        QVERIFY(waitForEnd(outcome));
        QCOMPARE(
            outcome.failed.first(),
            QVariantList({"Fabric Loader 0.16.10",
                          "The Fabric Loader description targets Minecraft 1.20, not 1.20.1"}));
    }
    {
        // Naming itself as its parent would replace the vanilla description.
        m_server->route(kFabricProfilePath, TestReply::json(fabricProfile(kGame, kGame)));
        Outcome outcome(m_installer.get());
        m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
        QVERIFY(waitForEnd(outcome));
        QCOMPARE(outcome.failure(),
                 QStringLiteral("The Fabric Loader description is malformed: invalid version id"));
        QCOMPARE(readFile(VersionLoader::versionJsonPath(gameDir(), kGame)), vanilla);
    }
    for (const char* badId : {"", "..", "a:b", "a/b"}) {
        m_server->route(kFabricProfilePath, TestReply::json(fabricProfile(badId, kGame)));
        Outcome outcome(m_installer.get());
        m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
        QVERIFY(waitForEnd(outcome));
        QCOMPARE(outcome.failure(),
                 QStringLiteral("The Fabric Loader description is malformed: invalid version id"));
    }
    {
        m_server->route(kFabricProfilePath, TestReply::status(404));
        Outcome outcome(m_installer.get());
        m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
        QVERIFY(waitForEnd(outcome));
        QVERIFY2(outcome.failure().startsWith("Could not fetch the Fabric Loader description: "),
                 qPrintable(outcome.failure()));
    }
    {
        // A version missing from the list is still tried, under the id the loader
        // would give it; a description naming another id installs under that one.
        const QString path = QStringLiteral("/v2/versions/loader/1.20.1/0.16.0/profile/json");
        m_server->route(
            path, TestReply::json(m_server->templated(fabricProfile("custom-fabric", kGame))));
        Outcome outcome(m_installer.get());
        m_installer->install(gameDir(), ModLoader::Fabric, kGame, "0.16.0", {});
        QVERIFY(waitForEnd(outcome));
        QCOMPARE(outcome.failure(), QString());
        QCOMPARE(outcome.finished.first().last().toString(), QStringLiteral("custom-fabric"));
        QCOMPARE(outcome.logLines(), QStringList({"Version id: custom-fabric"}));
        QVERIFY(QFileInfo::exists(VersionLoader::versionJsonPath(gameDir(), "custom-fabric")));
        QVERIFY(!QFileInfo::exists(gameDir() + "/versions/fabric-loader-0.16.0-1.20.1"));
    }
    QCOMPARE(VersionLoader::installedVersions(gameDir()), QStringList({kGame, "custom-fabric"}));
}

void TestModLoaderInstaller::cancelDuringDescriptionWritesNothing()
{
    installCompleteBase();
    serveFabric();
    m_server->route(
        kFabricProfilePath,
        TestReply::json(m_server->templated(fabricProfile(kFabricId, kGame))).delayed(300));
    Outcome outcome(m_installer.get());
    connect(m_server.get(), &TestServer::requestReceived, this, [&](const QString& target) {
        if (target == kFabricProfilePath)
            m_installer->cancel();
    });
    m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
    QVERIFY(waitForEnd(outcome));
    QTest::qWait(500);
    QCOMPARE(outcome.canceled.count(), 1);
    QCOMPARE(outcome.canceled.first().first().toString(), QStringLiteral("Fabric Loader 0.16.10"));
    QCOMPARE(outcome.ends(), 1);
    QVERIFY(!QFileInfo::exists(gameDir() + "/versions/" + kFabricId));
    QVERIFY(!m_versions->isBusy());
}

// A listener may cancel from the notice of the hand-off: the loader's version is then
// not handed to the version installer for a run that is over.
void TestModLoaderInstaller::runEndedFromItsHandOffNoticeInstallsNothing()
{
    installCompleteBase();
    serveFabric();
    QSignalSpy versionStarted(m_versions.get(), &VersionInstaller::started);
    Outcome outcome(m_installer.get());
    connect(m_installer.get(), &ModLoaderInstaller::progressChanged, this, [&] {
        if (m_installer->busy() && m_installer->status().stage == "Downloading the version's files")
            m_installer->cancel();
    });
    m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
    QVERIFY(waitForEnd(outcome));
    QTest::qWait(500);
    QCOMPARE(outcome.canceled.count(), 1);
    QCOMPARE(outcome.ends(), 1);
    QCOMPARE(versionStarted.count(), 0);
    QVERIFY(!m_versions->isBusy());
    QCOMPARE(m_server->requestCount(kFabricLibraryPath), 0);
}

void TestModLoaderInstaller::baseInstallCanceledElsewhereEndsTheRun()
{
    serveFabric();
    m_server->route("/files/client-1.20.1.jar", TestReply::ok(kClientJar).delayed(3000));
    Outcome outcome(m_installer.get());
    m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
    QVERIFY(QTest::qWaitFor([&] { return m_versions->isBusy(); }, 10000));
    QCOMPARE(m_versions->versionId(), kGame);

    m_versions->cancel();
    QVERIFY(waitForEnd(outcome, 2000));
    QCOMPARE(outcome.canceled.count(), 1);
    QCOMPARE(outcome.canceled.first().first().toString(), QStringLiteral("Fabric Loader 0.16.10"));
    QVERIFY(!m_installer->busy());
    QCOMPARE(m_server->requestCount(kFabricProfilePath), 0);
}

// A listener may cancel from the notice that the base version is about to be
// installed: whatever then becomes of that version belongs to no run.
void TestModLoaderInstaller::runEndedFromItsBaseStageNoticeStaysEnded()
{
    serveFabric();
    m_server->route("/files/client-1.20.1.jar", TestReply::notFound());
    Outcome outcome(m_installer.get());
    connect(m_installer.get(), &ModLoaderInstaller::progressChanged, this, [&] {
        if (m_installer->busy() && m_installer->status().stage == "Installing Minecraft 1.20.1")
            m_installer->cancel();
    });
    m_installer->install(gameDir(), ModLoader::Fabric, kGame, kFabricVersion, {});
    QVERIFY(waitForEnd(outcome));
    QTest::qWait(300);
    QVERIFY(QTest::qWaitFor([&] { return !m_versions->isBusy(); }, 10000));
    QTest::qWait(100);
    QCOMPARE(outcome.canceled.count(), 1);
    QCOMPARE(outcome.ends(), 1);
    QVERIFY(!m_installer->busy());
}

void TestModLoaderInstaller::forgeInstallerRunsAndHandsOff()
{
    installCompleteBase();
    serveForge();
    Outcome outcome(m_installer.get());
    startForge();
    QVERIFY(waitForEnd(outcome, 30000));
    QCOMPARE(outcome.failure(), QString());
    QCOMPARE(outcome.finished.first(), QVariantList({"forge", kGame, kForgeVersion, kForgeId}));

    const QJsonObject stub =
        QJsonDocument::fromJson(readFile(gameDir() + "/launcher_profiles.json")).object();
    QCOMPARE(stub.keys(), QStringList({"authenticationDatabase", "clientToken", "launcherVersion",
                                       "profiles", "selectedProfile"}));
    QCOMPARE(stub.value("launcherVersion").toObject(),
             QJsonObject({{"format", 21}, {"name", ""}, {"profilesFormat", 2}}));
    QVERIFY(stub.value("profiles").toObject().isEmpty());

    const QString downloads = LauncherPaths::loaderDownloadDir();
    QCOMPARE(readFile(downloads + "/forge-47.2.0-installer.jar"), readFile(m_installerJar));
    const QStringList lines = outcome.logLines();
    QCOMPARE(lines, QStringList({"cwd " + QFileInfo(downloads).canonicalFilePath(), "a", "", "b",
                                 "The client installed successfully"}));
    QCOMPARE(readFile(downloads + "/forge-47.2.0-install.log"), (lines.join('\n') + '\n').toUtf8());

    // Installed again, the version is not new: the installed version of that loader
    // version is the one produced.
    Outcome again(m_installer.get());
    startForge();
    QVERIFY(waitForEnd(again, 30000));
    QCOMPARE(again.failure(), QString());
    QCOMPARE(again.finished.first().last().toString(), kForgeId);
}

void TestModLoaderInstaller::forgeInstallerFailureKeepsVanillaInstalledBeside()
{
    installCompleteBase();
    serveForge();
    EnvSetting mode("HM_FAKE_MODE", "fail");
    EnvSetting delay("HM_FAKE_DELAY_MS", "1500");
    Outcome outcome(m_installer.get());
    QSignalSpy vanillaFinished(m_versions.get(), &VersionInstaller::finished);
    bool vanillaStarted = false;
    connect(m_installer.get(), &ModLoaderInstaller::progressChanged, this, [&] {
        if (!vanillaStarted && m_installer->status().stage == "Installing Minecraft Forge") {
            vanillaStarted = true;
            m_versions->install(gameDir(), "1.19.4");
        }
    });

    startForge();
    QVERIFY(waitForEnd(outcome, 30000));
    QVERIFY(vanillaStarted);
    const QString message = outcome.failure();
    QStringList expected{"The Minecraft Forge installer exited with an error (code 1)."};
    for (int i = 10; i <= 20; ++i)
        expected.append("step " + QString::number(i));
    expected.append("Processor failed, invalid outputs");
    expected.append("Full log: " + QDir::toNativeSeparators(LauncherPaths::loaderDownloadDir() +
                                                            "/forge-47.2.0-install.log"));
    QCOMPARE(message.split('\n'), expected);

    QVERIFY(!QFileInfo::exists(gameDir() + "/versions/" + kForgeId));
    QVERIFY(QFileInfo::exists(VersionLoader::versionJsonPath(gameDir(), "1.19.4")));
    QVERIFY(QTest::qWaitFor([&] { return vanillaFinished.count() > 0; }, 10000));
    QCOMPARE(vanillaFinished.first().first().toString(), QStringLiteral("1.19.4"));
    QCOMPARE(VersionLoader::installedVersions(gameDir()), QStringList({"1.19.4", kGame}));
}

void TestModLoaderInstaller::forgeFailureHintsAtZlibNg()
{
    installCompleteBase();
    serveForge();
    QTemporaryDir empty;
    ZlibReference::setSystemZlibVersionForTesting(QStringLiteral("1.3.0.zlib-ng"));
    ZlibReference::setReferenceDirsForTesting(empty.path(), empty.path());
    EnvSetting mode("HM_FAKE_MODE", "fail");
    Outcome outcome(m_installer.get());
    startForge();
    QVERIFY(waitForEnd(outcome, 30000));
    const QStringList message = outcome.failure().split('\n');
    QCOMPARE(message.value(1), Loc::text("loader.error.zlibNg"));
    QCOMPARE(outcome.logLines().first(), Loc::text("zlib.warning.referenceMissing"));
    const QByteArray log =
        readFile(LauncherPaths::loaderDownloadDir() + "/forge-47.2.0-install.log");
    QVERIFY(log.startsWith(Loc::text("zlib.warning.referenceMissing").toUtf8() + '\n'));
}

void TestModLoaderInstaller::forgeInstallerThatProducesNothing()
{
    installCompleteBase();
    serveForge();
    // A profiles file of the player's own is never touched.
    QFile profiles(gameDir() + "/launcher_profiles.json");
    QVERIFY(profiles.open(QIODevice::WriteOnly));
    profiles.close();
    EnvSetting mode("HM_FAKE_MODE", "nothing");
    Outcome outcome(m_installer.get());
    startForge();
    QVERIFY(waitForEnd(outcome, 30000));
    QCOMPARE(outcome.failure().split('\n').first(),
             "The Minecraft Forge installer finished, but no new version appeared in " +
                 QDir::toNativeSeparators(gameDir() + "/versions") + ".");
    QVERIFY(outcome.failure().endsWith("\nThe client installed successfully"));
    QCOMPARE(QFileInfo(profiles.fileName()).size(), 0);
}

void TestModLoaderInstaller::forgeInstallerCanceledWhileItSleeps()
{
    installCompleteBase();
    serveForge();
    EnvSetting mode("HM_FAKE_MODE", "sleep");
    Outcome outcome(m_installer.get());
    startForge();
    QVERIFY(QTest::qWaitFor([&] { return outcome.logLines().contains("sleeping"); }, 30000));
    QVERIFY(QFileInfo::exists(gameDir() + "/versions/" + kForgeId));

    QElapsedTimer timer;
    timer.start();
    m_installer->cancel();
    QVERIFY(timer.elapsed() < 2500);
    QCOMPARE(outcome.canceled.count(), 1);
    QCOMPARE(outcome.canceled.first().first().toString(), QStringLiteral("Minecraft Forge 47.2.0"));
    QVERIFY(!m_installer->busy());
    QVERIFY(!QFileInfo::exists(gameDir() + "/versions/" + kForgeId));
    QTest::qWait(200);
    QCOMPARE(outcome.ends(), 1);
}

// A listener may cancel from the notice that the installer is about to run: the
// installer then never starts, and its time limit reports nothing later.
void TestModLoaderInstaller::forgeRunEndedFromItsInstallStageNoticeStartsNothing()
{
    installCompleteBase();
    serveForge();
    EnvSetting mode("HM_FAKE_MODE", "sleep");
    m_installer->setInstallerTimeLimitForTesting(1500);
    Outcome outcome(m_installer.get());
    connect(m_installer.get(), &ModLoaderInstaller::progressChanged, this, [&] {
        if (m_installer->busy() && m_installer->status().stage == "Installing Minecraft Forge")
            m_installer->cancel();
    });
    startForge();
    QVERIFY(waitForEnd(outcome, 30000));
    QCOMPARE(outcome.canceled.count(), 1);
    QTest::qWait(3000);
    QCOMPARE(outcome.ends(), 1);
    QVERIFY(!QFileInfo::exists(gameDir() + "/versions/" + kForgeId));
    QVERIFY(!m_installer->busy());
}

void TestModLoaderInstaller::forgeInstallerTimeoutRemovesItsVersionsOnly()
{
    installCompleteBase();
    serveForge();
    EnvSetting mode("HM_FAKE_MODE", "sleep");
    m_installer->setInstallerTimeLimitForTesting(2500);
    Outcome outcome(m_installer.get());
    connect(m_installer.get(), &ModLoaderInstaller::progressChanged, this, [&] {
        if (m_installer->status().stage == "Installing Minecraft Forge" && !m_versions->isBusy())
            m_versions->install(gameDir(), "1.20.1-extra");
    });
    startForge();
    // The version installer writes a version building on 1.20.1 while the loader's
    // installer runs; it is not the loader's.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return QFileInfo::exists(VersionLoader::versionJsonPath(gameDir(), "1.20.1-extra"));
        },
        30000));
    QVERIFY(waitForEnd(outcome, 30000));
    QCOMPARE(
        outcome.failed.first(),
        QVariantList({"Minecraft Forge 47.2.0",
                      "The Minecraft Forge installer did not finish within the allotted time"}));
    QVERIFY(!QFileInfo::exists(gameDir() + "/versions/" + kForgeId));
    QVERIFY(QFileInfo::exists(VersionLoader::versionJsonPath(gameDir(), "1.20.1-extra")));
    QVERIFY(m_versions->isBusy());
    m_versions->cancel();
}

void TestModLoaderInstaller::forgeInstallerAddressChecks()
{
    installCompleteBase();
    serveForge();
    {
        Outcome outcome(m_installer.get());
        m_installer->install(gameDir(), ModLoader::Forge, kGame, "47.9.9", {});
        QVERIFY(waitForEnd(outcome));
        QCOMPARE(outcome.failure(), QStringLiteral("Minecraft Forge 47.9.9 does not fit Minecraft "
                                                   "1.20.1 — pick a version from the list"));
    }
    {
        // Only https installer addresses are fetched, whatever the list says.
        QJsonObject entry{
            {"loaderVersion", "47.1.0"},
            {"gameVersion", kGame},
            {"installerUrl",
             m_server->url(kForgeInstallerPath).toString().replace("https:", "http:")}};
        QVERIFY(LauncherPaths::ensureRootExists());
        QFile cache(LauncherPaths::loaderCacheFile("forge"));
        QVERIFY(cache.open(QIODevice::WriteOnly));
        cache.write(
            QJsonDocument(
                QJsonObject{
                    {"fetchedAt", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                    {"games", QJsonObject{{kGame, QJsonObject{{"entries", QJsonArray{entry}}}}}}})
                .toJson());
        cache.close();
        ModLoaderVersionService loaderVersions;
        ModLoaderInstaller installer(&loaderVersions, m_versions.get());
        m_server->clearLog();
        Outcome outcome(&installer);
        installer.install(gameDir(), ModLoader::Forge, kGame, "47.1.0", {});
        QVERIFY(waitForEnd(outcome));
        QCOMPARE(
            outcome.failure(),
            QStringLiteral("The Minecraft Forge installer is only available at an invalid link"));
        QCOMPARE(m_server->requestCount(), 0);
    }
}

QTEST_GUILESS_MAIN(TestModLoaderInstaller)
#include "tst_modloaderinstaller.moc"
