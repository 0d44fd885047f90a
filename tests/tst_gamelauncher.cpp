#include "gamelauncher.h"
#include "gamelock.h"
#include "javalocator.h"
#include "javatools.h"
#include "localization.h"
#include "minecraftversion.h"
#include "temphome.h"
#include "testhelpers.h"
#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <csignal>

namespace {

const QString kToken = QStringLiteral("secret-token-4f2a9c");
const QString kUuid = QStringLiteral("0d1e2f30aa");
const QString kHidden = QStringLiteral("<скрыт>");
constexpr int kGameWaitMs = 20000;

// Prints what it was started with, then output that arrives in awkward pieces: a
// line cut in the middle of a two-byte character, an error-stream line and a last
// line without its newline. Exits with 3.
const char* const kGameSource = R"java(
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;

public class Game {
    static void put(PrintStream out, String text) {
        byte[] bytes = text.getBytes(StandardCharsets.UTF_8);
        out.write(bytes, 0, bytes.length);
        out.flush();
    }

    public static void main(String[] args) throws Exception {
        PrintStream out = System.out;
        put(out, "cwd=" + System.getProperty("user.dir") + "\n");
        put(out, "natives=" + System.getProperty("java.library.path") + "\n");
        for (String arg : args)
            put(out, "arg=[" + arg + "]\n");
        put(out, "a\r\n\r\nb\n");
        byte[] split = "split: caf\u00e9 done\n".getBytes(StandardCharsets.UTF_8);
        int cut = "split: caf".length() + 1;
        out.write(split, 0, cut);
        out.flush();
        Thread.sleep(300);
        out.write(split, cut, split.length - cut);
        out.flush();
        System.err.println("from the error stream");
        System.err.flush();
        put(out, "tail without newline");
        System.exit(3);
    }
}
)java";

const char* const kSleepyGameSource = R"java(
public class SleepyGame {
    public static void main(String[] args) throws Exception {
        System.out.println("ready");
        System.out.println("pid=" + ProcessHandle.current().pid());
        System.out.flush();
        Thread.sleep(60000);
    }
}
)java";

using TestHelpers::readFile;
using TestHelpers::writeFile;

bool writeZip(const ZipWriter& zip, const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && zip.write(path);
}

QString nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

MinecraftLibrary library(const QString& path, bool native = false)
{
    MinecraftLibrary library;
    library.name = path;
    library.path = path;
    library.native = native;
    return library;
}

// A version made in memory, as the loader would hand it over.
MinecraftVersion plainVersion(const QString& gameDir)
{
    MinecraftVersion version;
    version.id = QStringLiteral("1.20.4");
    version.type = QStringLiteral("release");
    version.mainClass = QStringLiteral("net.example.Main");
    version.assetIndex = QStringLiteral("12");
    version.assets = QStringLiteral("12");
    version.clientJar = VersionLoader::versionJarPath(gameDir, version.id);
    return version;
}

LaunchOptions optionsFor(const QString& gameDir)
{
    LaunchOptions options;
    options.gameDir = gameDir;
    options.playerName = QStringLiteral("Alex");
    options.uuid = kUuid;
    options.accessToken = kToken;
    options.userType = QStringLiteral("msa");
    return options;
}

QStringList tailAfter(const QStringList& list, const QString& element)
{
    const qsizetype index = list.indexOf(element);
    return index < 0 ? QStringList() : list.mid(index + 1);
}

} // namespace

class TestGameLauncher : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    QString m_gameJar;
    QString m_java;

    QString gameDirFor(const char* name) const
    {
        return m_home->path() + QLatin1Char('/') + QLatin1String(name);
    }

    // A game directory holding one installed version: description, the test game as its
    // client jar, a class-path library, a native jar and an asset index.
    void installVersion(const QString& gameDir, const QString& id, const QJsonObject& description)
    {
        QJsonObject json = description;
        json.insert(QStringLiteral("id"), id);
        QVERIFY(
            writeFile(VersionLoader::versionJsonPath(gameDir, id), QJsonDocument(json).toJson()));
        QVERIFY(QDir().mkpath(QFileInfo(VersionLoader::versionJarPath(gameDir, id)).path()));
        QFile::remove(VersionLoader::versionJarPath(gameDir, id));
        QVERIFY(QFile::copy(m_gameJar, VersionLoader::versionJarPath(gameDir, id)));

        ZipWriter classPathJar;
        classPathJar.addFile("org/example/Helper.txt", "helper");
        QVERIFY(
            writeZip(classPathJar, gameDir + "/libraries/org/example/helper/1.0/helper-1.0.jar"));
        ZipWriter nativeJar;
        nativeJar.addFile("linux/x64/liblwjgl.so", "elf-lwjgl");
        nativeJar.addFile("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n");
        QVERIFY(writeZip(
            nativeJar, gameDir + "/libraries/org/lwjgl/lwjgl/3.3.1/lwjgl-3.3.1-natives-linux.jar"));
        QVERIFY(writeFile(gameDir + "/assets/indexes/12.json", "{\"objects\":{}}"));
        QVERIFY(QDir().mkpath(gameDir + "/assets/objects"));
    }

    static QJsonArray librariesJson()
    {
        return QJsonArray{
            QJsonObject{{"name", "org.example:helper:1.0"}},
            QJsonObject{{"name", "org.lwjgl:lwjgl:3.3.1:natives-linux"},
                        {"extract", QJsonObject{{"exclude", QJsonArray{"META-INF/"}}}}},
        };
    }

    LaunchOptions gameOptions(const QString& gameDir) const
    {
        LaunchOptions options = optionsFor(gameDir);
        options.javaPath = m_java;
        options.minMemoryMb = 32;
        options.maxMemoryMb = 256;
        return options;
    }

    // Starts the game that sleeps for a minute from a game directory of its own: its pid once
    // it is up, 0 when it did not come up.
    pid_t startSleepyGame(GameLauncher& launcher, const char* dirName)
    {
        const QString gameDir = gameDirFor(dirName);
        installVersion(gameDir, "sleepy",
                       QJsonObject{{"mainClass", "SleepyGame"},
                                   {"assetIndex", QJsonObject{{"id", "12"}}},
                                   {"libraries", librariesJson()}});
        QSignalSpy output(&launcher, &GameLauncher::output);
        QString error;
        if (!launcher.launch(gameOptions(gameDir), VersionLoader::load(gameDir, "sleepy"),
                             &error)) {
            qWarning().noquote() << error;
            return 0;
        }
        if (!QTest::qWaitFor([&output] { return output.size() >= 2; }, kGameWaitMs))
            return 0;
        return pid_t(output.at(1).at(0).toString().section('=', 1).toLongLong());
    }

private slots:
    void initTestCase()
    {
        m_home = std::make_unique<TempHome>();
        QVERIFY(m_home->isValid());
        QVERIFY(
            m_home->writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
        QVERIFY(Localization::instance()->load());

        m_java = JavaTools::javaExecutable();
        if (m_java.isEmpty())
            QSKIP("No Java installed");
        m_gameJar = m_home->path() + QStringLiteral("/build/game.jar");
        QString error;
        QVERIFY2(JavaTools::compileJar(
                     {{QStringLiteral("Game"), QString::fromUtf8(kGameSource)},
                      {QStringLiteral("SleepyGame"), QString::fromUtf8(kSleepyGameSource)}},
                     m_gameJar, {}, &error),
                 qPrintable(error));
    }

    void defaultOptions()
    {
        const LaunchOptions options;
        QCOMPARE(options.minMemoryMb, 512);
        QCOMPARE(options.maxMemoryMb, 4096);
        QCOMPARE(options.width, 0);
        QCOMPARE(options.height, 0);
        QVERIFY(!options.fullscreen);
        QCOMPARE(options.launcherName, QStringLiteral("Hollowmere"));
        QCOMPARE(options.launcherVersion, QStringLiteral("1.1.1"));
        QCOMPARE(options.injectorServer, QStringLiteral("ely.by"));
        QVERIFY(options.gameDir.isEmpty() && options.javaPath.isEmpty());
    }

    void commandLineOrder()
    {
        const QString gameDir = gameDirFor("order");
        const QString natives = gameDir + "/versions/1.20.4/natives";
        const QString logConfig = gameDir + "/assets/log_configs/client-1.12.xml";
        QVERIFY(writeFile(logConfig, "<Configuration/>"));

        MinecraftVersion version = plainVersion(gameDir);
        version.libraries = {library("a/a.jar"), library("n/n-natives.jar", true),
                             library("b/b.jar")};
        version.jvmArgs = {"-Djava.library.path=${natives_directory}", "-cp", "${classpath}",
                           "-Dunknown=${no_such_key}"};
        version.loggingArgument = "-Dlog4j.configurationFile=${path}";
        version.loggingConfigPath = logConfig;
        version.gameArgs = {
            "--username",      "${auth_player_name}", "--accessToken", "${auth_access_token}",
            "--quickPlayPath", "${quickPlayPath}",    "--xuid",        "${auth_xuid}",
            "--clientId",      "${clientid}"};

        LaunchOptions options = optionsFor(gameDir);
        options.injectorJar = "/opt/agent/authlib-injector.jar";
        options.injectorServer = "https://accounts.example";
        options.minMemoryMb = 1024;
        options.maxMemoryMb = 2048;
        options.extraJvmArgs = {"-XX:+UseG1GC", "-Dmine=${auth_uuid}"};
        options.width = 800;
        options.height = 600;
        options.fullscreen = true;
        options.server = "mc.example.org:25570";

        const QString classPath = QStringList{gameDir + "/libraries/a/a.jar",
                                              gameDir + "/libraries/b/b.jar", version.clientJar}
                                      .join(':');
        const QStringList expected = {
            "-javaagent:/opt/agent/authlib-injector.jar=https://accounts.example",
            "-Dauthlibinjector.side=client",
            "-Xms1024M",
            "-Xmx2048M",
            "-XX:+UseG1GC",
            "-Dmine=${auth_uuid}",
            "-Djava.library.path=" + natives,
            "-cp",
            classPath,
            "-Dlog4j.configurationFile=" + logConfig,
            "net.example.Main",
            "--username",
            "Alex",
            "--accessToken",
            kToken,
            "--quickPlayPath",
            "--xuid",
            "0",
            "--clientId",
            "0",
            "--width",
            "800",
            "--height",
            "600",
            "--fullscreen",
            "--server",
            "mc.example.org",
            "--port",
            "25570",
        };
        QCOMPARE(GameLauncher::buildArguments(options, version, natives), expected);

        // Without its configuration file the logging argument is left out.
        version.loggingConfigPath = gameDir + "/assets/log_configs/absent.xml";
        QVERIFY(!GameLauncher::buildArguments(options, version, natives)
                     .contains("-Dlog4j.configurationFile=" + version.loggingConfigPath));
    }

    void placeholders()
    {
        const QString gameDir = gameDirFor("place${version_name}holders");
        const QString natives = gameDir + "/versions/1.20.4/natives";
        MinecraftVersion version = plainVersion(gameDir);
        version.jvmArgs = {"-Dpath=before:${natives_directory}:after"};
        version.gameArgs = {"--name",    "${auth_player_name}",
                            "--dir",     "${game_directory}",
                            "--assets",  "${game_assets}",
                            "--w",       "${resolution_width}",
                            "--h",       "${resolution_height}",
                            "--session", "${auth_session}",
                            "--odd",     "${auth_player_name}${broken",
                            "--props",   "${user_properties}"};
        LaunchOptions options = optionsFor(gameDir);
        // A value that looks like a placeholder is passed on as it is, never expanded
        // again, and never taken for an unknown one.
        options.playerName = "${auth_access_token}";
        options.width = 1280;
        options.xuid = "2535";
        options.clientId = "client-1";

        auto argumentsOf = [&] { return GameLauncher::buildArguments(options, version, natives); };
        QStringList arguments = argumentsOf();
        QCOMPARE(tailAfter(arguments, "--name").value(0), QStringLiteral("${auth_access_token}"));
        QCOMPARE(tailAfter(arguments, "--dir").value(0), gameDir);
        QCOMPARE(tailAfter(arguments, "--assets").value(0), gameDir + "/assets");
        QCOMPARE(tailAfter(arguments, "--w").value(0), QStringLiteral("1280"));
        QCOMPARE(tailAfter(arguments, "--h").value(0), QStringLiteral("0"));
        QCOMPARE(tailAfter(arguments, "--session").value(0), "token:" + kToken + ":" + kUuid);
        QCOMPARE(tailAfter(arguments, "--odd").value(0), QStringLiteral("--props"));
        QCOMPARE(tailAfter(arguments, "--props").value(0), QStringLiteral("{}"));
        QVERIFY(arguments.contains("-Dpath=before:" + natives + ":after"));
        QVERIFY(!arguments.contains("--width")); // the height is unset

        for (const QString& legacy : {QStringLiteral("legacy"), QStringLiteral("pre-1.6")}) {
            version.assets = legacy;
            QCOMPARE(tailAfter(argumentsOf(), "--assets").value(0),
                     gameDir + "/assets/virtual/legacy");
        }
        version.assets = "Legacy";
        QCOMPARE(tailAfter(argumentsOf(), "--assets").value(0), gameDir + "/assets");

        version.gameArgs = {"--xuid", "${auth_xuid}", "--clientId", "${clientid}"};
        QCOMPARE(tailAfter(argumentsOf(), version.mainClass),
                 QStringList({"--xuid", "2535", "--clientId", "client-1"}));
    }

    void memoryWindowAndFullscreen()
    {
        const QString gameDir = gameDirFor("window");
        MinecraftVersion version = plainVersion(gameDir);
        LaunchOptions options = optionsFor(gameDir);
        auto argumentsOf = [&] {
            return GameLauncher::buildArguments(options, version, gameDir + "/natives");
        };

        options.minMemoryMb = 0;
        options.maxMemoryMb = 2048;
        QCOMPARE(argumentsOf().first(), QStringLiteral("-Xmx2048M"));
        QVERIFY(!argumentsOf().join(' ').contains("-Xms"));
        options.maxMemoryMb = 0;
        QCOMPARE(argumentsOf().first(), version.mainClass);

        options.width = 1280;
        options.height = 720;
        QCOMPARE(tailAfter(argumentsOf(), version.mainClass),
                 QStringList({"--width", "1280", "--height", "720"}));
        version.hasResolutionArgs = true;
        QVERIFY(tailAfter(argumentsOf(), version.mainClass).isEmpty());
        version.hasResolutionArgs = false;
        version.gameArgs = {"--width", "${resolution_width}", "--height", "${resolution_height}"};
        QCOMPARE(tailAfter(argumentsOf(), version.mainClass),
                 QStringList({"--width", "1280", "--height", "720"}));

        options.fullscreen = true;
        version.gameArgs = {"--fullscreen"};
        QCOMPARE(argumentsOf().count("--fullscreen"), 1);
        version.gameArgs.clear();
        QCOMPARE(argumentsOf().count("--fullscreen"), 1);
    }

    void server_data()
    {
        QTest::addColumn<bool>("quickPlay");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("host and port")
            << false << "alpha:25570" << QStringList{"--server", "alpha", "--port", "25570"};
        QTest::newRow("host only")
            << false << "alpha" << QStringList{"--server", "alpha", "--port", "25565"};
        QTest::newRow("leading colon")
            << false << ":25570" << QStringList{"--server", ":25570", "--port", "25565"};
        QTest::newRow("empty port")
            << false << "alpha:" << QStringList{"--server", "alpha", "--port", ""};
        QTest::newRow("last colon splits")
            << false << "::1:7" << QStringList{"--server", "::1", "--port", "7"};
        QTest::newRow("no server") << false << "" << QStringList{};
        for (const char* server : {"alpha:25570", "alpha", ":25570", "alpha:"})
            QTest::addRow("quick play %s", server)
                << true << QString::fromLatin1(server)
                << QStringList{"--quickPlayMultiplayer", QString::fromLatin1(server)};
    }

    void server()
    {
        QFETCH(bool, quickPlay);
        QFETCH(QString, server);
        QFETCH(QStringList, expected);
        const QString gameDir = gameDirFor("server");
        MinecraftVersion version = plainVersion(gameDir);
        version.hasQuickPlayMultiplayer = quickPlay;
        version.gameArgs = {"--quickPlayMultiplayer", "${quick_play_server}"};
        LaunchOptions options = optionsFor(gameDir);
        options.server = server;
        const QStringList arguments = GameLauncher::buildArguments(options, version, {});
        // The description's own quick-play option stays; its unknown value goes.
        QCOMPARE(tailAfter(arguments, version.mainClass).mid(1), expected);
    }

    void ignoreListAndClassPath()
    {
        const QString gameDir = gameDirFor("ignore");
        MinecraftVersion version = plainVersion(gameDir);
        version.libraries = {library("n/first-natives.jar", true), library("a/a.jar"),
                             library("n/second-natives.jar", true)};
        version.jvmArgs = {"-DignoreList=bootstraplauncher,,securejarhandler",
                           "-DignoreList=asm,1.20",
                           "-DignoreList=${version_name}.jar",
                           "-DignoreListed=x",
                           "-cp",
                           "${classpath}"};
        const QStringList arguments =
            GameLauncher::buildArguments(optionsFor(gameDir), version, {});
        QCOMPARE(
            arguments.mid(2, 4),
            QStringList({"-DignoreList=bootstraplauncher,,securejarhandler,1.20.4.jar",
                         "-DignoreList=asm,1.20", "-DignoreList=1.20.4.jar", "-DignoreListed=x"}));
        const QStringList classPath = tailAfter(arguments, "-cp").value(0).split(':');
        QCOMPARE(classPath, QStringList({gameDir + "/libraries/a/a.jar", version.clientJar}));

        version.clientJar.clear();
        QCOMPARE(GameLauncher::buildArguments(optionsFor(gameDir), version, {}).value(2),
                 QStringLiteral("-DignoreList=bootstraplauncher,,securejarhandler"));
    }

    // An old description: one minecraftArguments string and the loader's default JVM
    // arguments.
    void legacyDescription()
    {
        const QString gameDir = gameDirFor("legacy");
        const QJsonObject description{
            {"id", "1.5.2"},
            {"mainClass", "net.minecraft.launchwrapper.Launch"},
            {"assets", "legacy"},
            {"minecraftArguments",
             "${auth_player_name} ${auth_session} --gameDir ${game_directory} "
             "--assetsDir ${game_assets} --tweakClass ${unknown_tweak}"},
            {"libraries", QJsonArray{QJsonObject{{"name", "net.minecraft:launchwrapper:1.5"}}}},
        };
        QVERIFY(writeFile(VersionLoader::versionJsonPath(gameDir, "1.5.2"),
                          QJsonDocument(description).toJson()));
        QString error;
        const MinecraftVersion version = VersionLoader::load(gameDir, "1.5.2", {}, &error);
        QVERIFY2(!version.id.isEmpty(), qPrintable(error));

        LaunchOptions options = optionsFor(gameDir);
        options.server = "alpha";
        options.width = 854;
        options.height = 480;
        const QString natives = gameDir + "/versions/1.5.2/natives";
        const QStringList expected = {
            "-Xms512M",
            "-Xmx4096M",
            "-Djava.library.path=" + natives,
            "-Dminecraft.launcher.brand=Hollowmere",
            "-Dminecraft.launcher.version=1.1.1",
            "-cp",
            gameDir + "/libraries/net/minecraft/launchwrapper/1.5/launchwrapper-1.5.jar:" +
                version.clientJar,
            "net.minecraft.launchwrapper.Launch",
            "Alex",
            "token:" + kToken + ":" + kUuid,
            "--gameDir",
            gameDir,
            "--assetsDir",
            gameDir + "/assets/virtual/legacy",
            "--tweakClass",
            "--width",
            "854",
            "--height",
            "480",
            "--server",
            "alpha",
            "--port",
            "25565",
        };
        QCOMPARE(GameLauncher::buildArguments(options, version, natives), expected);
    }

    void missingFiles()
    {
        const QString gameDir = gameDirFor("missing");
        MinecraftVersion version = plainVersion(gameDir);
        for (int i = 0; i < 20; ++i)
            version.libraries.append(library(QStringLiteral("lib/l%1.jar").arg(i), i % 2 == 0));
        LaunchOptions options = optionsFor(gameDir);

        // No game directory: that one path, whatever else is missing.
        QCOMPARE(GameLauncher::missingFiles(options, version, 12),
                 QStringList{nativePath(gameDir)});
        GameLauncher launcher;
        QString error;
        QVERIFY(!launcher.launch(options, version, &error));
        QCOMPARE(error, Loc::text("launch.error.filesMissing").arg("1", nativePath(gameDir)));

        QVERIFY(writeFile(version.clientJar, "jar"));
        QStringList expected;
        for (int i = 0; i < 12; ++i)
            expected.append(nativePath(gameDir + QStringLiteral("/libraries/lib/l%1.jar").arg(i)));
        QCOMPARE(GameLauncher::missingFiles(options, version, 12), expected);
        QVERIFY(!launcher.launch(options, version, &error));
        QCOMPARE(error, Loc::text("launch.error.filesMissing").arg("12", expected.join('\n')));
        QCOMPARE(error.split('\n').size(), 13);
        QCOMPARE(GameLauncher::missingFiles(options, version, 1), expected.mid(0, 1));

        // Assets: the objects folder only counts once the index is there.
        version.libraries.clear();
        QCOMPARE(GameLauncher::missingFiles(options, version, 12),
                 QStringList{nativePath(gameDir + "/assets/indexes/12.json")});
        QVERIFY(writeFile(gameDir + "/assets/indexes/12.json", "{}"));
        QCOMPARE(GameLauncher::missingFiles(options, version, 12),
                 QStringList{nativePath(gameDir + "/assets/objects")});
        QVERIFY(QDir().mkpath(gameDir + "/assets/objects"));
        QVERIFY(GameLauncher::missingFiles(options, version, 12).isEmpty());
    }

    void extractNatives()
    {
        const QString gameDir = gameDirFor("natives");
        const QString natives = gameDir + "/versions/1.20.4/natives";
        MinecraftVersion version = plainVersion(gameDir);
        MinecraftLibrary lwjgl = library("org/lwjgl/lwjgl-natives-linux.jar", true);
        lwjgl.extractExclude = {"excluded/"};
        version.libraries = {library("org/plain.jar"), lwjgl,
                             library("org/openal-natives-linux.jar", true)};
        QVERIFY(writeFile(gameDir + "/libraries/org/plain.jar", "not even a zip"));

        ZipWriter jar;
        jar.addDirectory("linux/");
        jar.addFile("linux/x64/liblwjgl.so", "lwjgl-new");
        jar.addFile("libfoo.SO", "foo");
        jar.addFile("libfoo.so.x", "no");
        jar.addFile("readme.txt", "no");
        jar.addFile("META-INF/libsigned.so", "no");
        jar.addFile("excluded/libskipped.so", "no");
        jar.addDirectory("folder.so/");
        jar.addSymlink("linked.so", "/etc/hostname");
        jar.addFile("../../escape.so", "flat");
        jar.addFile("x86/libdup.so", "1");
        QVERIFY(writeZip(jar, gameDir + "/libraries/" + lwjgl.path));
        ZipWriter openal;
        openal.addFile("libopenal.so.1", "openal");
        openal.addFile("linux/libdup.so", "second");
        QVERIFY(writeZip(openal, gameDir + "/libraries/org/openal-natives-linux.jar"));

        // Same size as the entry: kept although the content differs. Another size: replaced.
        QVERIFY(writeFile(natives + "/liblwjgl.so", "lwjgl-old"));
        QVERIFY(writeFile(natives + "/libfoo.SO", "longer than foo"));
        QVERIFY(writeFile(natives + "/leftover.so", "stays"));

        QString error;
        QVERIFY2(GameLauncher::extractNatives(optionsFor(gameDir), version, natives, &error),
                 qPrintable(error));
        QDir dir(natives);
        QCOMPARE(dir.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::System,
                               QDir::Name),
                 QStringList({"escape.so", "leftover.so", "libdup.so", "libfoo.SO", "liblwjgl.so",
                              "libopenal.so.1"}));
        QCOMPARE(readFile(natives + "/liblwjgl.so"), QByteArray("lwjgl-old"));
        QCOMPARE(readFile(natives + "/libfoo.SO"), QByteArray("foo"));
        QCOMPARE(readFile(natives + "/libdup.so"), QByteArray("second"));
        QCOMPARE(readFile(natives + "/escape.so"), QByteArray("flat"));
        QVERIFY(!QFileInfo::exists(gameDir + "/escape.so"));

        // A target that cannot be written.
        QVERIFY(QFile::remove(natives + "/libopenal.so.1"));
        QVERIFY(QDir().mkpath(natives + "/libopenal.so.1/inside"));
        QVERIFY(!GameLauncher::extractNatives(optionsFor(gameDir), version, natives, &error));
        QCOMPARE(
            error,
            Loc::text("launch.error.extractFailed").arg("libopenal.so.1", nativePath(natives)));

        // An archive that cannot be read.
        QVERIFY(writeFile(gameDir + "/libraries/org/openal-natives-linux.jar", "broken"));
        QVERIFY(!GameLauncher::extractNatives(optionsFor(gameDir), version, natives, &error));
        QCOMPARE(error, Loc::text("launch.error.nativeReadFailed")
                            .arg(nativePath(gameDir + "/libraries/org/openal-natives-linux.jar")));

        // A file where the folder should be.
        const QString blocked = gameDir + "/blocked/natives";
        QVERIFY(writeFile(gameDir + "/blocked", "file"));
        QVERIFY(!GameLauncher::extractNatives(optionsFor(gameDir), version, blocked, &error));
        QCOMPARE(error, Loc::text("launch.error.createFolderFailed").arg(nativePath(blocked)));
    }

    void nativeZipBombIsRefusedBeforeExtraction()
    {
        const QString gameDir = gameDirFor("bomb");
        const QString natives = gameDir + "/versions/1.20.4/natives";
        MinecraftVersion version = plainVersion(gameDir);
        version.libraries = {library("org/bomb-natives-linux.jar", true)};
        const QString jar = gameDir + "/libraries/org/bomb-natives-linux.jar";
        QVERIFY(TestHelpers::writeZipBomb(jar, "linux/libbomb.so", 16 * 1024 * 1024));
        const TestHelpers::ScopedFreeSpace space(8 * 1024 * 1024);

        QString error;
        QVERIFY(!GameLauncher::extractNatives(optionsFor(gameDir), version, natives, &error));
        QCOMPARE(error,
                 Loc::text("storage.error.notEnoughSpaceToExtract").arg(nativePath(jar), "80"));
        QVERIFY(!QFileInfo::exists(natives + "/libbomb.so"));
    }

    void gameRunsAndReportsItsOutput()
    {
        const QString gameDir = gameDirFor("game");
        const QJsonObject description{
            {"mainClass", "Game"},
            {"type", "release"},
            {"assetIndex", QJsonObject{{"id", "12"}}},
            {"javaVersion", QJsonObject{{"majorVersion", 17}}},
            {"libraries", librariesJson()},
            {"arguments",
             QJsonObject{
                 {"jvm", QJsonArray{"-Djava.library.path=${natives_directory}", "-cp",
                                    "${classpath}", "-Dmissing=${no_such_key}"}},
                 {"game", QJsonArray{"--username", "${auth_player_name}", "--version",
                                     "${version_name}", "--gameDir", "${game_directory}",
                                     "--accessToken", "${auth_access_token}", "--session",
                                     "${auth_session}", "--userType", "${user_type}"}},
             }},
        };
        installVersion(gameDir, "modern", description);
        const MinecraftVersion version = VersionLoader::load(gameDir, "modern");
        QCOMPARE(version.mainClass, QStringLiteral("Game"));
        LaunchOptions options = gameOptions(gameDir);
        options.playerName = "Player ${user_type}";

        GameLauncher launcher;
        QSignalSpy progress(&launcher, &GameLauncher::progress);
        QSignalSpy started(&launcher, &GameLauncher::gameStarted);
        QSignalSpy output(&launcher, &GameLauncher::output);
        QSignalSpy finished(&launcher, &GameLauncher::gameFinished);
        QString error;
        QVERIFY2(launcher.launch(options, version, &error), qPrintable(error));
        QVERIFY(launcher.isRunning());
        QCOMPARE(progress.size(), 3);
        QCOMPARE(progress.at(2).at(0).toString(),
                 Loc::text("launch.progress.lookingForJava").arg(17));
        QCOMPARE(started.size(), 1);

        QVERIFY(finished.wait(kGameWaitMs));
        QCOMPARE(finished.at(0), QVariantList({3, false}));
        QVERIFY(!launcher.isRunning());

        const QString natives = gameDir + "/versions/modern/natives";
        QCOMPARE(readFile(natives + "/liblwjgl.so"), QByteArray("elf-lwjgl"));

        // The shown line is the real one with every trace of the token hidden.
        const QString program = JavaLocator::windowlessVariant(m_java);
        const QStringList arguments = GameLauncher::buildArguments(options, version, natives);
        const QString shown = started.at(0).at(0).toString();
        QVERIFY(!shown.contains(kToken));
        QCOMPARE(shown, nativePath(program) + ' ' + arguments.join(' ').replace(kToken, kHidden));
        QVERIFY(shown.contains("--accessToken " + kHidden + " "));
        QVERIFY(shown.contains("token:" + kHidden + ":" + kUuid));

        QStringList lines;
        for (const QList<QVariant>& signal : std::as_const(output))
            lines.append(signal.at(0).toString());
        QStringList expected = {"cwd=" + QDir(gameDir).canonicalPath(), "natives=" + natives};
        for (const QString& argument : tailAfter(arguments, "Game"))
            expected.append("arg=[" + argument + "]");
        expected += QStringList{"a",
                                "",
                                "b",
                                QString::fromUtf8("split: café done"),
                                "from the error stream",
                                "tail without newline"};
        QCOMPARE(lines, expected);
        QVERIFY(lines.contains("arg=[" + kToken + "]"));
        QVERIFY(lines.contains("arg=[Player ${user_type}]"));
    }

    void terminateAndRefuseSecondLaunch()
    {
        const QString gameDir = gameDirFor("sleepy");
        const QJsonObject description{
            {"mainClass", "SleepyGame"},
            {"assetIndex", QJsonObject{{"id", "12"}}},
            {"libraries", librariesJson()},
            {"minecraftArguments", "${auth_player_name} ${auth_access_token} ${auth_session} "
                                   "--uuid ${auth_uuid}"},
        };
        installVersion(gameDir, "sleepy", description);
        const MinecraftVersion version = VersionLoader::load(gameDir, "sleepy");
        const LaunchOptions options = gameOptions(gameDir);

        GameLauncher launcher;
        launcher.terminate(); // nothing runs: nothing happens
        QSignalSpy started(&launcher, &GameLauncher::gameStarted);
        QSignalSpy output(&launcher, &GameLauncher::output);
        QSignalSpy finished(&launcher, &GameLauncher::gameFinished);
        QString error;
        QVERIFY2(launcher.launch(options, version, &error), qPrintable(error));
        QVERIFY(output.wait(kGameWaitMs));
        QCOMPARE(output.at(0).at(0).toString(), QStringLiteral("ready"));

        // A token passed on its own, or inside the session text, is hidden as well.
        const QString shown = started.at(0).at(0).toString();
        QVERIFY(!shown.contains(kToken));
        QVERIFY(shown.endsWith(QStringList{"SleepyGame", "Alex", kHidden,
                                           "token:" + kHidden + ":" + kUuid, "--uuid", kUuid}
                                   .join(' ')));

        error.clear();
        QSignalSpy progress(&launcher, &GameLauncher::progress);
        QVERIFY(!launcher.launch(options, version, &error));
        QCOMPARE(error, Loc::text("common.error.gameRunning"));
        QVERIFY(progress.isEmpty());
        QVERIFY(launcher.isRunning());
        QCOMPARE(started.size(), 1);

        launcher.terminate();
        QVERIFY(finished.wait(kGameWaitMs));
        QCOMPARE(finished.at(0).at(1).toBool(), true);
        QVERIFY(!launcher.isRunning());
    }

    // The game is the player's: a launcher that goes, with the backend that holds it,
    // leaves it running, and it ends when it ends.
    void destroyedLauncherLeavesTheGameRunning()
    {
        auto launcher = std::make_unique<GameLauncher>();
        const pid_t pid = startSleepyGame(*launcher, "outliving");
        QVERIFY(pid > 0);

        launcher.reset();
        QTest::qWait(500);
        const QByteArray status = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        QVERIFY(!status.isEmpty());
        QVERIFY(status.mid(status.lastIndexOf(')') + 2, 1) != "Z");
        QCOMPARE(::kill(pid, SIGKILL), 0);
        // Its end is still heard: the game is reaped rather than left a zombie.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1").arg(pid)), 10000);
    }

    // The data directory stays locked for as long as the game runs, also once its launcher
    // has gone, and no longer: another child started meanwhile, as an installer is, never
    // holds the lock.
    void onlyTheGameKeepsTheDataDirectory_data()
    {
        QTest::addColumn<bool>("launcherGoes");
        QTest::newRow("launcher stays") << false;
        QTest::newRow("launcher gone") << true;
    }

    void onlyTheGameKeepsTheDataDirectory()
    {
        QFETCH(bool, launcherGoes);
        QVERIFY(!GameLock::heldByAnEarlierGame());
        auto launcher = std::make_unique<GameLauncher>();
        QSignalSpy finished(launcher.get(), &GameLauncher::gameFinished);
        const pid_t pid = startSleepyGame(*launcher, "locking");
        QVERIFY(pid > 0);
        QProcess other;
        other.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(other.waitForStarted());
        QVERIFY(GameLock::heldByAnEarlierGame());

        if (launcherGoes) {
            launcher.reset();
            QVERIFY(GameLock::heldByAnEarlierGame());
            QCOMPARE(::kill(pid, SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1").arg(pid)), 10000);
        } else {
            launcher->terminate();
            QVERIFY(finished.wait(kGameWaitMs));
        }
        QCOMPARE(other.state(), QProcess::Running);
        QVERIFY(!GameLock::heldByAnEarlierGame());
        other.kill();
        other.waitForFinished();
    }

    // A Java that answers the version probe but then cannot be executed.
    void failedStart()
    {
        const QString gameDir = gameDirFor("nostart");
        installVersion(gameDir, "modern",
                       QJsonObject{{"mainClass", "Game"},
                                   {"assetIndex", QJsonObject{{"id", "12"}}},
                                   {"libraries", librariesJson()}});
        const QString fakeJava = gameDir + "/fakejdk/bin/java";
        QVERIFY(writeFile(fakeJava, "#!/bin/sh\necho 'openjdk version \"17.0.1\"' >&2\n"
                                    "chmod a-x \"$0\"\n"));
        QVERIFY(QFile::setPermissions(fakeJava,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        LaunchOptions options = gameOptions(gameDir);
        options.javaPath = fakeJava;

        GameLauncher launcher;
        QSignalSpy started(&launcher, &GameLauncher::gameStarted);
        QSignalSpy finished(&launcher, &GameLauncher::gameFinished);
        QString error;
        QVERIFY(!launcher.launch(options, VersionLoader::load(gameDir, "modern"), &error));
        QVERIFY2(error.startsWith(Loc::text("launch.error.startFailed").arg(fakeJava, QString())),
                 qPrintable(error));
        QVERIFY(!launcher.isRunning());
        QTest::qWait(100);
        QVERIFY(started.isEmpty());
        QVERIFY(finished.isEmpty());
    }
};

QTEST_MAIN(TestGameLauncher)
#include "tst_gamelauncher.moc"
