#include "backendfixture.h"

#include "buildswitcher.h"
#include "javatools.h"
#include "testhelpers.h"
#include "ziparchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>

namespace BackendFixture {

namespace {
constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                             QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteOther | QFileDevice::ExeOther;

const char* const kFakeGameSource = R"java(
public class FakeGame {
    static String after(String[] args, String option) {
        for (int i = 0; i + 1 < args.length; ++i) {
            if (args[i].equals(option))
                return args[i + 1];
        }
        return "";
    }

    public static void main(String[] args) throws Exception {
        String startsTo = System.getProperty("fake.startsTo");
        if (startsTo != null)
            java.nio.file.Files.writeString(java.nio.file.Path.of(startsTo),
                                            ProcessHandle.current().pid() + "\n",
                                            java.nio.file.StandardOpenOption.CREATE,
                                            java.nio.file.StandardOpenOption.APPEND);
        System.out.println("player=" + after(args, "--username"));
        System.out.println("uuid=" + after(args, "--uuid"));
        System.out.println("marks=" + System.getProperty("fake.mark") + ","
                           + System.getProperty("fake.other"));
        String wait = System.getProperty("fake.wait");
        if (wait != null) {
            System.out.println("waiting");
            System.out.flush();
            Thread.sleep(Long.parseLong(wait));
        }
        // Plays until the file quitWhen names appears, and saves its world on the way out,
        // however it is asked to end, unless it is killed.
        String saveTo = System.getProperty("fake.saveTo");
        if (saveTo != null)
            Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                try {
                    java.nio.file.Files.writeString(java.nio.file.Path.of(saveTo), "saved");
                } catch (java.io.IOException e) {
                }
            }));
        String quitWhen = System.getProperty("fake.quitWhen");
        if (quitWhen != null) {
            System.out.println("playing pid=" + ProcessHandle.current().pid());
            System.out.flush();
            while (!new java.io.File(quitWhen).exists())
                Thread.sleep(50);
        }
        String exitCode = System.getProperty("fake.exitCode");
        if (exitCode != null)
            System.exit(Integer.parseInt(exitCode));
    }
}
)java";

const char* const kFakeAgentSource = R"java(
public class FakeAgent {
    public static void premain(String service) {
        System.out.println("agent=" + service);
    }
}
)java";

bool copyFile(const QString& from, const QString& to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    return QFile::copy(from, to);
}
} // namespace

bool ownerOnly(const QString& path)
{
    const QFileDevice::Permissions permissions = QFile::permissions(path);
    return (permissions & kOthers) == 0 && permissions.testFlag(QFileDevice::ReadOwner) &&
           permissions.testFlag(QFileDevice::WriteOwner);
}

QString blockedPath(const TempHome& home, const QString& name)
{
    home.writeFile(QStringLiteral("blocker"), "not a directory");
    return home.path() + QStringLiteral("/blocker/") + name;
}

Started::Started()
    : errors(backend.get(), &LauncherBackend::launchError),
      imported(backend.get(), &LauncherBackend::gameDirImported)
{
    // Nothing reaches the interface before the event loop runs.
    constructedSilently = errors.isEmpty() && imported.isEmpty();
    QTest::qWait(20);
}

QStringList Started::messages() const
{
    return TestHelpers::firstArguments(errors);
}

QByteArray fakeVersionJson(const QString& id, int missingLibraries)
{
    QJsonArray libraries;
    for (int i = 0; i < missingLibraries; ++i)
        libraries.append(QJsonObject{{"name", QStringLiteral("org.example:missing%1:1.0").arg(i)}});
    const QJsonObject arguments{
        {"jvm", QJsonArray{"-cp", "${classpath}"}},
        {"game", QJsonArray{"--username", "${auth_player_name}", "--uuid", "${auth_uuid}",
                            "--accessToken", "${auth_access_token}"}},
    };
    return QJsonDocument(QJsonObject{{"id", id},
                                     {"type", "release"},
                                     {"mainClass", "FakeGame"},
                                     {"assetIndex", QJsonObject{{"id", "empty"}}},
                                     {"assets", "empty"},
                                     {"libraries", libraries},
                                     {"arguments", arguments}})
        .toJson();
}

bool LaunchTools::compile(QString* error)
{
    m_gameJar = m_dir.filePath("game.jar");
    if (!JavaTools::compileMainJar("FakeGame", kFakeGameSource, m_gameJar, error))
        return false;
    // An agent jar names its entry point in the manifest.
    const QString compiled = m_dir.filePath("agent-classes.jar");
    if (!JavaTools::compileJar({{"FakeAgent", kFakeAgentSource}}, compiled, {}, error))
        return false;
    ZipArchive classes;
    if (!classes.open(compiled, error))
        return false;
    const QByteArray agentClass = classes.readEntry(classes.indexOf("FakeAgent.class"), error);
    if (agentClass.isEmpty())
        return false;
    m_agentJar = m_dir.filePath("agent.jar");
    ZipArchive agent;
    return agent.create(m_agentJar, error) &&
           agent.addData("META-INF/MANIFEST.MF",
                         "Manifest-Version: 1.0\r\nPremain-Class: FakeAgent\r\n\r\n", error) &&
           agent.addData("FakeAgent.class", agentClass, error) && agent.close(error);
}

bool LaunchTools::prepareHome(const TempHome& home, const QJsonArray& profiles,
                              const QJsonArray& builds, const QJsonObject& extraSettings) const
{
    return prepareHome(home.path(), profiles, builds, extraSettings);
}

bool LaunchTools::prepareHome(const QString& homePath, const QJsonArray& profiles,
                              const QJsonArray& builds, const QJsonObject& extraSettings) const
{
    QJsonObject settings{{"language", "en"}, {"javaPath", JavaTools::javaExecutable()}};
    for (auto it = extraSettings.begin(); it != extraSettings.end(); ++it)
        settings.insert(it.key(), it.value());
    const QString dataDir = homePath + "/Hollowmere/";
    return TestHelpers::writeFile(dataDir + "settings.json", QJsonDocument(settings).toJson()) &&
           TestHelpers::writeFile(dataDir + "profiles.json", QJsonDocument(profiles).toJson()) &&
           TestHelpers::writeFile(dataDir + "customBuilds.json", QJsonDocument(builds).toJson()) &&
           installFakeGame(gameDirOf(homePath), kFakeVersion);
}

bool LaunchTools::installFakeGame(const QString& gameDir, const QString& id) const
{
    const QString versionDir = gameDir + "/versions/" + id + "/";
    return TestHelpers::writeFile(versionDir + id + ".json", fakeVersionJson(id)) &&
           copyFile(m_gameJar, versionDir + id + ".jar") &&
           TestHelpers::writeFile(gameDir + "/assets/indexes/empty.json", R"({"objects": {}})") &&
           QDir().mkpath(gameDir + "/assets/objects");
}

bool LaunchTools::installAgent(const TempHome& home) const
{
    return copyFile(m_agentJar, home.dataDir() + "/runtime/authlib-injector.jar");
}

QString gameDirOf(const TempHome& home)
{
    return gameDirOf(home.path());
}

QString gameDirOf(const QString& homePath)
{
    return homePath + "/.minecraft";
}

QJsonObject accountProfile(int id, const QString& name, const QString& login,
                           const QString& password)
{
    return {{"id", id},
            {"name", name},
            {"login", login},
            {"password", password},
            {"authType", "elyby"},
            {"clientToken", QStringLiteral("client-%1").arg(id)}};
}

QJsonObject fakeBuild(int id, const QString& name)
{
    return {{"id", id}, {"name", name}, {"minecraftVersion", kFakeVersion}};
}

TestReply signedIn(const QString& name)
{
    return TestReply::json(QStringLiteral(R"({"accessToken":"token-%1","selectedProfile":)"
                                          R"({"id":"0a1b2c3d-4e5f-6789-0a1b-2c3d4e5f6789",)"
                                          R"("name":"%1"}})")
                               .arg(name)
                               .toUtf8());
}

TestReply codeRequired()
{
    return TestReply::json(R"({"error":"ForbiddenOperationException",)"
                           R"("errorMessage":"Account protected with two factor auth."})",
                           401);
}

QJsonObject requestBody(const TestRequest& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

void routeSecondFactor(TestServer& server, const QString& passwordWithCode)
{
    server.route("/auth/authenticate", [passwordWithCode](const TestRequest& request) {
        return requestBody(request).value("password") == passwordWithCode ? signedIn("Steve")
                                                                          : codeRequired();
    });
}

void routeSlowSignIn(TestServer& server)
{
    server.route("/auth/authenticate", [](const TestRequest& request) {
        return signedIn(requestBody(request).value("username").toString()).delayed(300);
    });
}

LaunchSpies::LaunchSpies(LauncherBackend& backend)
    : launched(&backend, &LauncherBackend::launched),
      progress(&backend, &LauncherBackend::launchProgress),
      output(&backend, &LauncherBackend::gameOutput),
      finished(&backend, &LauncherBackend::gameFinished),
      twoFactor(&backend, &LauncherBackend::twoFactorRequired),
      busy(&backend, &LauncherBackend::busyChanged),
      running(&backend, &LauncherBackend::gameRunningChanged)
{
    QObject::connect(&backend, &LauncherBackend::busyChanged, &backend,
                     [this] { order.append("busy"); });
    QObject::connect(&backend, &LauncherBackend::gameRunningChanged, &backend,
                     [this] { order.append("running"); });
    QObject::connect(&backend, &LauncherBackend::launched, &backend,
                     [this] { order.append("launched"); });
    QObject::connect(&backend, &LauncherBackend::gameOutput, &backend, [this] {
        if (!order.contains("output"))
            order.append("output");
    });
}

GameDirFixture::Fingerprint writeLiveBuild(const TempHome& home)
{
    const QString gameDir = gameDirOf(home);
    GameDirFixture::writeBuildContent(gameDir, 1, home.path() + "/outside");
    return GameDirFixture::fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel());
}

void addTwoBuilds(LauncherBackend& backend)
{
    backend.addCustomBuild("One", "");
    backend.addCustomBuild("Two", "");
}

bool writeFreshJavaCatalog(const TempHome& home, const QString& url)
{
    const QJsonObject entry{{"id", "temurin-jdk-21"},
                            {"kind", "jdk"},
                            {"major", 21},
                            {"version", "21.0.1"},
                            {"url", url},
                            {"size", 4096},
                            {"archive", "tar.gz"},
                            {"checksum", QString(64, '0')},
                            {"architecture", "x64"},
                            {"lts", true}};
    const QJsonObject cache{{"fetchedAt", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                            {"platform", "linux"},
                            {"entries", QJsonArray{entry}}};
    return home.writeFile("Hollowmere/cache/java_runtimes.json", QJsonDocument(cache).toJson());
}

void serveFabric(TestServer& server)
{
    server.route("/v2/versions/loader/1.20.1",
                 TestReply::json(R"([{"loader": {"version": "0.16.10", "stable": true}}])"));
    const QJsonObject profile{
        {"id", kFabricLoaderId},
        {"inheritsFrom", kFabricGame},
        {"type", "release"},
        {"mainClass", "FakeGame"},
        {"libraries", QJsonArray{QJsonObject{{"name", "net.fabricmc:fabric-loader:0.16.10"},
                                             {"url", server.origin() + "/maven/"}}}}};
    server.route("/v2/versions/loader/1.20.1/0.16.10/profile/json",
                 TestReply::json(QJsonDocument(profile).toJson()));
    server.route("/maven/net/fabricmc/fabric-loader/0.16.10/fabric-loader-0.16.10.jar",
                 TestReply::ok("fabric loader jar"));
}

void routeMicrosoftChain(TestServer& server, int profileDelayMs)
{
    server.route(
        "/oauth20_token.srf",
        TestReply::json(R"({"access_token":"ms-access","refresh_token":"ms-refresh-new"})"));
    server.route("/user/authenticate", TestReply::json(R"({"Token":"xbl-token"})"));
    server.route("/xsts/authorize",
                 TestReply::json(R"({"Token":"xsts-token","DisplayClaims":)"
                                 R"({"xui":[{"uhs":"hash","xid":"2535400000000001"}]}})"));
    server.route("/authentication/login_with_xbox",
                 TestReply::json(R"({"access_token":"mc-access","expires_in":3600})"));
    server.route("/minecraft/profile",
                 TestReply::json(R"({"id":"9f8e7d6c-5b4a-3928-1706-f5e4d3c2b1a0","name":"Steve"})")
                     .delayed(profileDelayMs));
}

QJsonObject microsoftProfile(int id, const QString& name, const QString& tokenExpiry)
{
    return {{"id", id},
            {"name", name},
            {"authType", "microsoft"},
            {"clientToken", "client-ms"},
            {"accessToken", "stored-access"},
            {"refreshToken", "stored-refresh"},
            {"uuid", "00112233445566778899aabbccddeeff"},
            {"resolvedName", "Stored"},
            {"xuid", "42"},
            {"userType", ""},
            {"tokenExpiry", tokenExpiry}};
}

QString expiryIn(qint64 seconds)
{
    return QDateTime::currentDateTimeUtc().addSecs(seconds).toString(Qt::ISODate);
}

} // namespace BackendFixture
