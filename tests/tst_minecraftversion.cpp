#include "minecraftversion.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Addresses inside the raw-string descriptions below are written with JSON's
// escaped slashes: moc would read a plain "//" there as the start of a comment.
const QSet<QString> kNoFeatures;

QStringList namesOf(const QList<MinecraftLibrary>& libraries)
{
    QStringList names;
    for (const MinecraftLibrary& library : libraries)
        names.append(library.name);
    return names;
}

const MinecraftLibrary* findLibrary(const MinecraftVersion& version, const QString& name)
{
    for (const MinecraftLibrary& library : version.libraries) {
        if (library.name == name)
            return &library;
    }
    return nullptr;
}

} // namespace

class TestMinecraftVersion : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    QString m_gameDir;

    bool writeFile(const QString& path, const QByteArray& content)
    {
        return m_home->writeFile(QDir(m_home->path()).relativeFilePath(path), content);
    }

    void writeVersion(const QString& id, const QByteArray& json)
    {
        QVERIFY(writeFile(VersionLoader::versionJsonPath(m_gameDir, id), json));
    }

    void writeJar(const QString& id)
    {
        QVERIFY(writeFile(VersionLoader::versionJarPath(m_gameDir, id), "PK"));
    }

    void installFixture(const QString& id)
    {
        QFile fixture(QStringLiteral(HM_TEST_SOURCE_DIR "/fixtures/versions/") + id +
                      QStringLiteral(".json"));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        writeVersion(id, fixture.readAll());
    }

    MinecraftVersion load(const QString& id, QString* error = nullptr,
                          const QSet<QString>& features = {})
    {
        return VersionLoader::load(m_gameDir, id, features, error);
    }

    QString nativePathOf(const QString& id)
    {
        return QDir::toNativeSeparators(VersionLoader::versionJsonPath(m_gameDir, id));
    }

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        QVERIFY(m_home->isValid());
        m_gameDir = m_home->path() + QStringLiteral("/.minecraft");
        VersionLoader::setCpuArchitectureForTesting({});
    }

    void cleanup()
    {
        VersionLoader::setCpuArchitectureForTesting({});
        m_home.reset();
    }

    void platformKeys_data()
    {
        QTest::addColumn<QString>("cpu");
        QTest::addColumn<QString>("arch");
        QTest::addColumn<QString>("classifier");
        QTest::newRow("x86_64") << "x86_64"
                                << "x86_64"
                                << "natives-linux";
        QTest::newRow("i386") << "i386"
                              << "x86"
                              << "natives-linux";
        QTest::newRow("i686") << "i686"
                              << "x86"
                              << "natives-linux";
        QTest::newRow("arm64") << "arm64"
                               << "arm64"
                               << "natives-linux-arm64";
        QTest::newRow("riscv64") << "riscv64"
                                 << "riscv64"
                                 << "natives-linux";
    }

    void platformKeys()
    {
        QFETCH(QString, cpu);
        QFETCH(QString, arch);
        QFETCH(QString, classifier);
        VersionLoader::setCpuArchitectureForTesting(cpu);
        QCOMPARE(VersionLoader::osName(), QStringLiteral("linux"));
        QCOMPARE(VersionLoader::osArch(), arch);
        QCOMPARE(VersionLoader::nativeClassifier(), classifier);
    }

    void rules_data()
    {
        QTest::addColumn<QString>("cpu");
        QTest::addColumn<bool>("resolution");
        QTest::addColumn<QByteArray>("rules");
        QTest::addColumn<bool>("allowed");

        const QJsonObject thisRelease{
            {"action", "allow"},
            {"os",
             QJsonObject{
                 {"version", "^" + QRegularExpression::escape(QSysInfo::productVersion()) + "$"}}}};
        const QByteArray thisSystem =
            QJsonDocument(QJsonArray{thisRelease}).toJson(QJsonDocument::Compact);

        QTest::newRow("empty allows") << "x86_64" << false << QByteArray("[]") << true;
        QTest::newRow("nothing applies")
            << "x86_64" << false << QByteArray(R"([{"action":"allow","os":{"name":"osx"}}])")
            << false;
        QTest::newRow("later disallow wins")
            << "x86_64" << false
            << QByteArray(R"([{"action":"allow"},{"action":"disallow","os":{"name":"linux"}}])")
            << false;
        QTest::newRow("later allow wins")
            << "x86_64" << false
            << QByteArray(R"([{"action":"disallow","os":{"name":"linux"}},{"action":"allow"}])")
            << true;
        QTest::newRow("x86 rule on x86_64")
            << "x86_64" << false << QByteArray(R"([{"action":"allow","os":{"arch":"x86"}}])")
            << false;
        QTest::newRow("x86 rule on i686")
            << "i686" << false << QByteArray(R"([{"action":"allow","os":{"arch":"x86"}}])") << true;
        QTest::newRow("name is case-sensitive")
            << "x86_64" << false << QByteArray(R"([{"action":"allow","os":{"name":"Linux"}}])")
            << false;
        QTest::newRow("os version matches") << "x86_64" << false << thisSystem << true;
        QTest::newRow("os version differs")
            << "x86_64" << false
            << QByteArray(R"([{"action":"allow","os":{"version":"^no-such-release$"}}])") << false;
        QTest::newRow("invalid os version never applies")
            << "x86_64" << false
            << QByteArray("[{\"action\":\"allow\"},"
                          "{\"action\":\"disallow\",\"os\":{\"version\":\"([\"}}]")
            << true;
        QTest::newRow("empty os object applies")
            << "x86_64" << false << QByteArray(R"([{"action":"allow","os":{}}])") << true;
        QTest::newRow("feature wanted and enabled")
            << "x86_64" << true
            << QByteArray(R"([{"action":"allow","features":{"has_custom_resolution":true}}])")
            << true;
        QTest::newRow("feature wanted, not enabled")
            << "x86_64" << false
            << QByteArray(R"([{"action":"allow","features":{"has_custom_resolution":true}}])")
            << false;
        QTest::newRow("feature false, not enabled")
            << "x86_64" << false
            << QByteArray(R"([{"action":"allow","features":{"has_custom_resolution":false}}])")
            << true;
        QTest::newRow("feature false, enabled")
            << "x86_64" << true
            << QByteArray(R"([{"action":"allow","features":{"has_custom_resolution":false}}])")
            << false;
        QTest::newRow("non-boolean feature value counts as false")
            << "x86_64" << false
            << QByteArray(R"([{"action":"allow","features":{"has_custom_resolution":"yes"}}])")
            << true;
        QTest::newRow("missing action allows")
            << "x86_64" << false << QByteArray(R"([{}])") << true;
        QTest::newRow("unknown action allows")
            << "x86_64" << false << QByteArray(R"([{"action":"Disallow"}])") << true;
        QTest::newRow("non-object rule applies")
            << "x86_64" << false << QByteArray(R"([{"action":"disallow"}, 7])") << true;
    }

    void rules()
    {
        QFETCH(QString, cpu);
        QFETCH(bool, resolution);
        QFETCH(QByteArray, rules);
        QFETCH(bool, allowed);
        VersionLoader::setCpuArchitectureForTesting(cpu);
        const QJsonArray array = QJsonDocument::fromJson(rules).array();
        QVERIFY(!rules.startsWith("[{") || !array.isEmpty());
        const QSet<QString> features =
            resolution ? QSet<QString>{QStringLiteral("has_custom_resolution")} : kNoFeatures;
        QCOMPARE(VersionLoader::rulesAllow(array, features), allowed);
    }

    void cyclesAreReported()
    {
        writeVersion("self", R"({"inheritsFrom":"self","mainClass":"M"})");
        writeVersion("A", R"({"inheritsFrom":"B","mainClass":"M"})");
        writeVersion("B", R"({"inheritsFrom":"A"})");

        QString error;
        QVERIFY(load("self", &error).id.isEmpty());
        QCOMPARE(error, QStringLiteral("Circular inheritsFrom dependency in version \"self\""));
        QVERIFY(load("A", &error).id.isEmpty());
        QCOMPARE(error, QStringLiteral("Circular inheritsFrom dependency in version \"A\""));
    }

    void chainLengthIsLimitedToTenFiles()
    {
        // v1 -> v2 -> ... -> v10, the root giving the main class.
        for (int i = 1; i <= 10; ++i) {
            QJsonObject description{{"type", "release"}};
            if (i < 10)
                description.insert("inheritsFrom", QStringLiteral("v%1").arg(i + 1));
            else
                description.insert("mainClass", "Root");
            writeVersion(QStringLiteral("v%1").arg(i), QJsonDocument(description).toJson());
        }
        QString error = QStringLiteral("untouched");
        const MinecraftVersion ten = load("v1", &error);
        QCOMPARE(ten.id, QStringLiteral("v1"));
        QCOMPARE(ten.mainClass, QStringLiteral("Root"));
        QCOMPARE(error, QStringLiteral("untouched"));

        // v0 makes eleven; the eleventh is refused before it is opened, so a
        // missing v11 is never noticed.
        writeVersion("v0", R"({"inheritsFrom":"v1"})");
        writeVersion("v10", R"({"inheritsFrom":"v11","mainClass":"Root"})");
        QVERIFY(load("v0", &error).id.isEmpty());
        QCOMPARE(error, QStringLiteral("The inheritsFrom chain for version \"v0\" is too long"));
    }

    // Only a description that is not there reads as missing; any other failure to read one
    // is told by what stood in the way.
    void unreadableDescriptionTellsWhy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fifo") << "fifo"
                              << "Could not read %1: not a regular file";
        QTest::newRow("folder") << "folder"
                                << "Could not read %1: not a regular file";
        QTest::newRow("too large") << "large"
                                   << "Could not read %1: the file is too large";
        QTest::newRow("link to nothing") << "dangling"
                                         << "Version file not found: %1";
    }

    void unreadableDescriptionTellsWhy()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        writeVersion("child", R"({"inheritsFrom":"parent","mainClass":"M"})");
        const QString path = VersionLoader::versionJsonPath(m_gameDir, "parent");
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        const QByteArray name = QFile::encodeName(path);
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "large") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(64 * 1024 * 1024));
        } else {
            QVERIFY(QFile::link(path + ".gone", path));
        }
        QString error;
        QVERIFY(load("child", &error).id.isEmpty());
        QCOMPARE(error, expected.arg(nativePathOf("parent")));
    }

    void brokenFilesFailTheWholeChain()
    {
        writeVersion("child", R"({"inheritsFrom":"parent","mainClass":"M"})");
        QString error;
        QVERIFY(load("child", &error).id.isEmpty());
        QCOMPARE(error, "Version file not found: " + nativePathOf("parent"));

        const QByteArray broken = R"({"mainClass": )";
        writeVersion("parent", broken);
        QJsonParseError parseError;
        QJsonDocument::fromJson(broken, &parseError);
        QVERIFY(load("child", &error).id.isEmpty());
        QCOMPARE(error, QStringLiteral("Version file %1 is corrupted: %2")
                            .arg(nativePathOf("parent"), parseError.errorString()));

        writeVersion("parent", "[1, 2]");
        QVERIFY(load("child", &error).id.isEmpty());
        QVERIFY2(error.startsWith("Version file " + nativePathOf("parent") + " is corrupted: "),
                 qPrintable(error));

        // No message is asked for, and none is needed to fail.
        QVERIFY(load("child").id.isEmpty());
    }

    void emptyInheritsFromEndsTheChain()
    {
        writeVersion("solo", R"({"inheritsFrom":"","mainClass":"M"})");
        writeVersion("odd", R"({"inheritsFrom":42,"mainClass":"M"})");
        QString error = QStringLiteral("untouched");
        QCOMPARE(load("solo", &error).id, QStringLiteral("solo"));
        QCOMPARE(load("odd", &error).id, QStringLiteral("odd"));
        QCOMPARE(error, QStringLiteral("untouched"));
    }

    void unsafeIdsNeverLeaveTheVersionsFolder_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("empty") << "";
        QTest::newRow("dot") << ".";
        QTest::newRow("dot-dot") << "..";
        QTest::newRow("slash") << "../outside";
        QTest::newRow("backslash") << "a\\b";
        QTest::newRow("hidden") << ".hidden";
    }

    void unsafeIdsNeverLeaveTheVersionsFolder()
    {
        QFETCH(QString, id);
        // A readable description just outside "versions": "../outside" would
        // reach it through versions/../outside/../outside.json.
        QVERIFY(writeFile(m_gameDir + "/outside/marker", ""));
        QVERIFY(writeFile(m_gameDir + "/outside.json", R"({"mainClass":"Elsewhere"})"));
        writeVersion(".hidden", R"({"mainClass":"Hidden"})");

        QString error;
        QVERIFY(load(id, &error).id.isEmpty());
        QCOMPARE(error, QStringLiteral("invalid version id"));

        writeVersion(
            "child",
            "{\"inheritsFrom\":" +
                QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact).mid(1).chopped(1) +
                ",\"mainClass\":\"M\"}");
        error.clear();
        const MinecraftVersion child = load("child", &error);
        if (id.isEmpty()) {
            QCOMPARE(child.id, QStringLiteral("child"));
            QVERIFY(error.isEmpty());
        } else {
            QVERIFY(child.id.isEmpty());
            QCOMPARE(error, QStringLiteral("invalid version id"));
        }
    }

    void successLeavesTheErrorUntouched()
    {
        writeVersion("ok", R"({"mainClass":"M"})");
        QString error = QStringLiteral("earlier message");
        QCOMPARE(load("ok", &error).mainClass, QStringLiteral("M"));
        QCOMPARE(error, QStringLiteral("earlier message"));
    }

    void missingMainClassStillFillsTheRecord()
    {
        writeVersion("parent", R"({"assetIndex":{"id":"5"},"javaVersion":{"majorVersion":21},
            "arguments":{"game":["--demo"]},
            "libraries":[{"name":"g:a:1.0"}]})");
        writeVersion("child", R"({"inheritsFrom":"parent","type":"snapshot"})");
        QString error;
        const MinecraftVersion version = load("child", &error);
        QCOMPARE(error, QStringLiteral("Version file \"child\" does not specify a mainClass"));
        QCOMPARE(version.id, QStringLiteral("child"));
        QVERIFY(version.mainClass.isEmpty());
        QCOMPARE(version.type, QStringLiteral("snapshot"));
        QCOMPARE(version.assets, QStringLiteral("5"));
        QCOMPARE(version.javaMajor, 21);
        QCOMPARE(version.gameArgs, QStringList{"--demo"});
        QCOMPARE(version.libraries.size(), 1);
        QCOMPARE(version.clientJar, VersionLoader::versionJarPath(m_gameDir, "parent"));
    }

    void legacyArgumentsReplaceInheritedGameArguments()
    {
        writeVersion("parent", R"({"mainClass":"M","arguments":{
            "jvm":["-Xparent"],"game":["--parent","${x}"]}})");
        writeVersion("child", R"({"inheritsFrom":"parent",
            "minecraftArguments":"  --user ${auth_player_name}\t--tweak\n T  "})");
        writeVersion("both", R"({"inheritsFrom":"parent","minecraftArguments":"--legacy",
            "arguments":{"game":["--modern"]}})");

        const MinecraftVersion child = load("child");
        QCOMPARE(child.gameArgs, (QStringList{"--user", "${auth_player_name}", "--tweak", "T"}));
        QCOMPARE(child.jvmArgs, (QStringList{"-Xparent", "-Djava.library.path=${natives_directory}",
                                             "-Dminecraft.launcher.brand=${launcher_name}",
                                             "-Dminecraft.launcher.version=${launcher_version}",
                                             "-cp", "${classpath}"}));
        QCOMPARE(load("both").gameArgs, (QStringList{"--legacy", "--modern"}));
    }

    void defaultJvmArgumentsOnlyWithoutAClassPath()
    {
        writeVersion("legacy", R"({"mainClass":"M","minecraftArguments":"--a b"})");
        writeVersion("cp",
                     R"({"mainClass":"M","arguments":{"jvm":["-Xss1M","-cp","${classpath}"]}})");
        writeVersion("classpath", R"({"mainClass":"M","arguments":{"jvm":["-classpath","x"]}})");
        writeVersion("upper", R"({"mainClass":"M","arguments":{"jvm":["-CP","x"]}})");
        writeVersion("child", R"({"inheritsFrom":"cp","arguments":{"jvm":["-Dchild"]}})");

        QCOMPARE(load("legacy").jvmArgs,
                 (QStringList{"-Djava.library.path=${natives_directory}",
                              "-Dminecraft.launcher.brand=${launcher_name}",
                              "-Dminecraft.launcher.version=${launcher_version}", "-cp",
                              "${classpath}"}));
        QCOMPARE(load("cp").jvmArgs, (QStringList{"-Xss1M", "-cp", "${classpath}"}));
        QCOMPARE(load("classpath").jvmArgs, (QStringList{"-classpath", "x"}));
        QCOMPARE(load("upper").jvmArgs.size(), 7);
        QCOMPARE(load("child").jvmArgs, (QStringList{"-Xss1M", "-cp", "${classpath}", "-Dchild"}));
    }

    void conditionalArgumentsAndTheirFlags()
    {
        writeVersion("parent", R"({"mainClass":"M","arguments":{"game":[
            "--plain",
            {"rules":[{"action":"allow","features":{"has_custom_resolution":true}}],
             "value":["--width","${resolution_width}"]},
            {"rules":[{"action":"allow","features":{"is_quick_play_multiplayer":true}}],
             "value":["--quickPlayMultiplayer","${quickPlayMultiplayer}"]},
            {"value":"--always"},
            {"rules":[{"action":"allow","os":{"name":"osx"}}],"value":"--mac"},
            {"value":["a",1,"b"]}
        ]}})");
        writeVersion("child", R"({"inheritsFrom":"parent","arguments":{"game":["--child"]}})");

        const MinecraftVersion plain = load("child");
        QCOMPARE(plain.gameArgs, (QStringList{"--plain", "--always", "a", "", "b", "--child"}));
        QVERIFY(plain.hasQuickPlayMultiplayer);
        QVERIFY(plain.hasResolutionArgs);

        const MinecraftVersion sized =
            load("child", nullptr, {QStringLiteral("has_custom_resolution")});
        QCOMPARE(sized.gameArgs.mid(0, 3),
                 (QStringList{"--plain", "--width", "${resolution_width}"}));

        writeVersion("bare", R"({"mainClass":"M","arguments":{"game":["--x"]}})");
        QVERIFY(!load("bare").hasQuickPlayMultiplayer);
        QVERIFY(!load("bare").hasResolutionArgs);
    }

    void clientJarFallsBackThroughTheChain()
    {
        writeVersion("root", R"({"mainClass":"M"})");
        writeVersion("mid", R"({"inheritsFrom":"root"})");
        writeVersion("loader", R"({"inheritsFrom":"mid"})");

        QCOMPARE(load("loader").clientJar, VersionLoader::versionJarPath(m_gameDir, "root"));
        writeJar("mid");
        QCOMPARE(load("loader").clientJar, VersionLoader::versionJarPath(m_gameDir, "mid"));
        writeJar("loader");
        QCOMPARE(load("loader").clientJar, VersionLoader::versionJarPath(m_gameDir, "loader"));
    }

    void assetsTypeAndJavaVersion()
    {
        writeVersion("index", R"({"mainClass":"M","assetIndex":{"id":"1.12"}})");
        writeVersion("assets", R"({"mainClass":"M","assets":"legacy"})");
        writeVersion("both", R"({"mainClass":"M","assets":"a","assetIndex":{"id":"b"}})");
        writeVersion("java17", R"({"mainClass":"M","javaVersion":{"majorVersion":17}})");
        writeVersion("noMajor", R"({"inheritsFrom":"java17","javaVersion":{"component":"x"}})");
        writeVersion("fraction",
                     R"({"inheritsFrom":"java17","javaVersion":{"majorVersion":21.5}})");
        writeVersion("java21", R"({"inheritsFrom":"java17","javaVersion":{"majorVersion":21},
            "type":"old_beta"})");
        writeVersion("bare", R"({"mainClass":"M","javaVersion":{}})");

        const MinecraftVersion index = load("index");
        QCOMPARE(index.assets, QStringLiteral("1.12"));
        QCOMPARE(index.assetIndex, QStringLiteral("1.12"));
        QCOMPARE(index.type, QStringLiteral("release"));
        const MinecraftVersion assets = load("assets");
        QCOMPARE(assets.assetIndex, QStringLiteral("legacy"));
        QCOMPARE(assets.assets, QStringLiteral("legacy"));
        QCOMPARE(load("both").assets, QStringLiteral("a"));
        QCOMPARE(load("both").assetIndex, QStringLiteral("b"));

        QCOMPARE(load("noMajor").javaMajor, 17);
        QCOMPARE(load("fraction").javaMajor, 17);
        QCOMPARE(load("java21").javaMajor, 21);
        QCOMPARE(load("java21").type, QStringLiteral("old_beta"));
        QCOMPARE(load("bare").javaMajor, 8);
    }

    void loggingIsInherited()
    {
        writeVersion("parent", R"({"mainClass":"M","logging":{"client":{
            "argument":"-Dlog4j.configurationFile=${path}",
            "file":{"id":"client-1.12.xml"},"type":"log4j2-xml"}}})");
        writeVersion("silent", R"({"inheritsFrom":"parent","logging":{"client":{"type":"x"}}})");
        writeVersion("empty", R"({"inheritsFrom":"parent","logging":{}})");
        writeVersion("own", R"({"inheritsFrom":"parent","logging":{"client":{
            "argument":"-Dlog=${path}","file":{"id":"other.xml"}}}})");

        const QString parentConfig = m_gameDir + "/assets/log_configs/client-1.12.xml";
        const MinecraftVersion parent = load("parent");
        QCOMPARE(parent.loggingArgument, QStringLiteral("-Dlog4j.configurationFile=${path}"));
        QCOMPARE(parent.loggingConfigPath, parentConfig);

        const MinecraftVersion silent = load("silent");
        QVERIFY(silent.loggingArgument.isEmpty());
        QCOMPARE(silent.loggingConfigPath, parentConfig);

        QCOMPARE(load("empty").loggingArgument, parent.loggingArgument);
        QCOMPARE(load("own").loggingArgument, QStringLiteral("-Dlog=${path}"));
        QCOMPARE(load("own").loggingConfigPath, m_gameDir + "/assets/log_configs/other.xml");
    }

    void childLibrariesOverrideTheirParents()
    {
        writeVersion("parent", R"({"mainClass":"M","libraries":[
            {"name":"org.ex:shared:1.0"},
            {"name":"org.ex:parentOnly:2.0"},
            {"name":"org.ex:variant:1.0"}
        ]})");
        writeVersion("child", R"({"inheritsFrom":"parent","libraries":[
            {"name":"org.ex:variant:1.0:extra"},
            {"name":"org.ex:shared:1.1"},
            {"name":"org.ex:shared:0.9"}
        ]})");

        const MinecraftVersion version = load("child");
        QCOMPARE(namesOf(version.libraries),
                 (QStringList{"org.ex:variant:1.0:extra", "org.ex:shared:1.1",
                              "org.ex:parentOnly:2.0", "org.ex:variant:1.0"}));
        QCOMPARE(version.libraries[1].path, QStringLiteral("org/ex/shared/1.1/shared-1.1.jar"));
    }

    void libraryEntries()
    {
        writeVersion("libs", R"({"mainClass":"M","libraries":[
            {"name":"org.ex.deep:packed:1.0:data@zip"},
            {"name":"org.ex:twoParts"},
            {"name":"org.ex:given","downloads":{"artifact":{"path":"custom/given.jar",
                "url":"https:\/\/repo.example/custom/given.jar","sha1":"abc","size":1900.7}}},
            {"name":"org.ex:slash:1","url":"https:\/\/maven.example/"},
            {"name":"org.ex:noslash:1","url":"https:\/\/maven.example/repo"},
            {"name":"org.ex:nowhere:1"},
            {"downloads":{"artifact":{"path":"a/b.jar"}}},
            {"name":"org.ex:mac:1","rules":[{"action":"allow","os":{"name":"osx"}}]},
            {"name":"org.ex:onlyClassifiers:1","downloads":{"classifiers":{"sources":{}}}}
        ]})");

        const MinecraftVersion version = load("libs");
        QCOMPARE(namesOf(version.libraries),
                 (QStringList{"org.ex.deep:packed:1.0:data@zip", "org.ex:given", "org.ex:slash:1",
                              "org.ex:noslash:1", "org.ex:nowhere:1"}));
        QCOMPARE(version.libraries[0].path,
                 QStringLiteral("org/ex/deep/packed/1.0/packed-1.0-data.zip"));
        QVERIFY(!version.libraries[0].native);

        const MinecraftLibrary& given = version.libraries[1];
        QCOMPARE(given.path, QStringLiteral("custom/given.jar"));
        QCOMPARE(given.url, QStringLiteral("https://repo.example/custom/given.jar"));
        QCOMPARE(given.sha1, QStringLiteral("abc"));
        QCOMPARE(given.size, qint64(1900));

        QCOMPARE(version.libraries[2].url,
                 QStringLiteral("https://maven.example/org/ex/slash/1/slash-1.jar"));
        QCOMPARE(version.libraries[3].url,
                 QStringLiteral("https://maven.example/repo/org/ex/noslash/1/noslash-1.jar"));
        QVERIFY(version.libraries[4].url.isEmpty());
        QCOMPARE(version.libraries[4].size, qint64(0));
    }

    // A size past any file, or below nothing, is no size at all.
    void librarySizeFitsOrReadsAsZero_data()
    {
        QTest::addColumn<QByteArray>("size");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("fraction") << QByteArray("1900.7") << qint64(1900);
        QTest::newRow("-1") << QByteArray("-1") << qint64(0);
        QTest::newRow("1e300") << QByteArray("1e300") << qint64(0);
        QTest::newRow("-1e300") << QByteArray("-1e300") << qint64(0);
    }

    void librarySizeFitsOrReadsAsZero()
    {
        QFETCH(QByteArray, size);
        QFETCH(qint64, expected);
        writeVersion("sized", R"({"mainClass":"M","libraries":[{"name":"org.ex:sized:1",
            "downloads":{"artifact":{"path":"org/ex/sized.jar","url":"https:\/\/r/s.jar",
            "size":)" + size + "}}}]}");
        const MinecraftVersion version = load("sized");
        QCOMPARE(version.libraries.size(), 1);
        QCOMPARE(version.libraries[0].size, expected);
    }

    void nativesMapsGiveASecondEntry()
    {
        writeVersion("natives", R"({"mainClass":"M","libraries":[
            {"name":"org.ex:platform:2.9",
             "downloads":{
                "artifact":{"path":"org/ex/platform/2.9/platform-2.9.jar","url":"https:\/\/r/p.jar"},
                "classifiers":{"natives-linux":{"path":"org/ex/platform/2.9/platform-2.9-natives-linux.jar",
                                                "url":"https:\/\/r/pl.jar","sha1":"f00","size":12}}},
             "natives":{"linux":"natives-linux","windows":"natives-windows"},
             "extract":{"exclude":["META-INF/"]}},
            {"name":"org.ex:arch:1","natives":{"linux":"natives-linux-${arch}"}},
            {"name":"org.ex:winOnly:1","natives":{"windows":"natives-windows"},
             "downloads":{"classifiers":{"natives-windows":{"path":"w.jar"}}}}
        ]})");

        const MinecraftVersion version = load("natives");
        QCOMPARE(namesOf(version.libraries),
                 (QStringList{"org.ex:platform:2.9", "org.ex:platform:2.9:natives-linux",
                              "org.ex:arch:1", "org.ex:arch:1:natives-linux-64"}));
        const MinecraftLibrary& artifact = version.libraries[0];
        QVERIFY(!artifact.native);
        QCOMPARE(artifact.extractExclude, QStringList{"META-INF/"});
        const MinecraftLibrary& native = version.libraries[1];
        QVERIFY(native.native);
        QCOMPARE(native.url, QStringLiteral("https://r/pl.jar"));
        QCOMPARE(native.sha1, QStringLiteral("f00"));
        QCOMPARE(native.size, qint64(12));
        QCOMPARE(native.extractExclude, QStringList{"META-INF/"});

        // Without a classifier download the path comes from the coordinate and
        // there is nowhere to fetch it from.
        const MinecraftLibrary& arch = version.libraries[3];
        QCOMPARE(arch.path, QStringLiteral("org/ex/arch/1/arch-1-natives-linux-64.jar"));
        QVERIFY(arch.url.isEmpty());
        QVERIFY(arch.native);

        VersionLoader::setCpuArchitectureForTesting("i686");
        QVERIFY(findLibrary(load("natives"), "org.ex:arch:1:natives-linux-32"));
        VersionLoader::setCpuArchitectureForTesting("arm64");
        QVERIFY(findLibrary(load("natives"), "org.ex:arch:1:natives-linux-64"));
    }

    void oneNativeClassifierPerLibrary_data()
    {
        QTest::addColumn<QString>("cpu");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("x86_64") << "x86_64"
                                << QStringList{"org.lwjgl:lwjgl:3.3.2",
                                               "org.lwjgl:lwjgl:3.3.2:natives-linux",
                                               "org.ex:foreign:1:natives-macos",
                                               "org.ex:plain:1:sources"};
        QTest::newRow("arm64") << "arm64"
                               << QStringList{"org.lwjgl:lwjgl:3.3.2",
                                              "org.lwjgl:lwjgl:3.3.2:natives-linux-arm64",
                                              "org.ex:foreign:1:natives-macos",
                                              "org.ex:plain:1:sources"};
    }

    void oneNativeClassifierPerLibrary()
    {
        QFETCH(QString, cpu);
        QFETCH(QStringList, kept);
        writeVersion("v", R"({"mainClass":"M","libraries":[
            {"name":"org.lwjgl:lwjgl:3.3.2"},
            {"name":"org.lwjgl:lwjgl:3.3.2:natives-linux-x86"},
            {"name":"org.lwjgl:lwjgl:3.3.2:natives-linux"},
            {"name":"org.lwjgl:lwjgl:3.3.2:natives-linux-arm64"},
            {"name":"org.ex:foreign:1:natives-macos"},
            {"name":"org.ex:foreign:1:natives-windows"},
            {"name":"org.ex:plain:1:sources"}
        ]})");
        VersionLoader::setCpuArchitectureForTesting(cpu);
        QCOMPARE(namesOf(load("v").libraries), kept);
    }

    void modernReleaseAndLoader()
    {
        installFixture("1.20.4");
        installFixture("fabric-loader-0.15.7-1.20.4");
        writeJar("1.20.4");

        QString error;
        const MinecraftVersion release = load("1.20.4", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(release.mainClass, QStringLiteral("net.minecraft.client.main.Main"));
        QCOMPARE(release.type, QStringLiteral("release"));
        QCOMPARE(release.assetIndex, QStringLiteral("12"));
        QCOMPARE(release.javaMajor, 17);
        QCOMPARE(release.clientJar, VersionLoader::versionJarPath(m_gameDir, "1.20.4"));
        QCOMPARE(release.loggingConfigPath, m_gameDir + "/assets/log_configs/client-1.12.xml");
        QVERIFY(release.hasQuickPlayMultiplayer);
        QVERIFY(release.hasResolutionArgs);
        // Only the platform-neutral JVM arguments survive their rules, and the
        // description already names the class path.
        QCOMPARE(release.jvmArgs,
                 (QStringList{"-Djava.library.path=${natives_directory}",
                              "-Djna.tmpdir=${natives_directory}",
                              "-Dorg.lwjgl.system.SharedLibraryExtractPath=${natives_directory}",
                              "-Dio.netty.native.workdir=${natives_directory}",
                              "-Dminecraft.launcher.brand=${launcher_name}",
                              "-Dminecraft.launcher.version=${launcher_version}", "-cp",
                              "${classpath}"}));
        QCOMPARE(release.gameArgs.size(), 22);
        QCOMPARE(release.gameArgs.last(), QStringLiteral("${version_type}"));

        // 104 entries: 55 for Linux on x86-64, one native classifier per module.
        QCOMPARE(release.libraries.size(), 55);
        int natives = 0;
        for (const MinecraftLibrary& library : release.libraries) {
            QVERIFY2(!library.path.isEmpty() && library.url.startsWith("https://"),
                     qPrintable(library.name));
            QCOMPARE(library.sha1.size(), 40);
            if (library.native) {
                ++natives;
                QVERIFY2(library.name.endsWith(":natives-linux"), qPrintable(library.name));
            }
        }
        QCOMPARE(natives, 8);
        QVERIFY(!findLibrary(release, "ca.weblite:java-objc-bridge:1.1"));
        const MinecraftLibrary* epoll =
            findLibrary(release, "io.netty:netty-transport-native-epoll:4.1.97.Final:linux-x86_64");
        QVERIFY(epoll && !epoll->native);

        const MinecraftVersion fabric = load("fabric-loader-0.15.7-1.20.4", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(fabric.id, QStringLiteral("fabric-loader-0.15.7-1.20.4"));
        QCOMPARE(fabric.mainClass,
                 QStringLiteral("net.fabricmc.loader.impl.launch.knot.KnotClient"));
        QCOMPARE(fabric.clientJar, release.clientJar);
        QCOMPARE(fabric.javaMajor, 17);
        QCOMPARE(fabric.assetIndex, QStringLiteral("12"));
        QCOMPARE(fabric.jvmArgs,
                 release.jvmArgs + QStringList{"-DFabricMcEmu= net.minecraft.client.main.Main "});
        QCOMPARE(fabric.gameArgs, release.gameArgs);
        QCOMPARE(fabric.libraries.size(), 8 + 55);
        const MinecraftLibrary& mixin = fabric.libraries.first();
        QCOMPARE(mixin.name, QStringLiteral("net.fabricmc:sponge-mixin:0.12.5+mixin.0.8.5"));
        QCOMPARE(mixin.url,
                 QStringLiteral("https://maven.fabricmc.net/net/fabricmc/sponge-mixin/"
                                "0.12.5+mixin.0.8.5/sponge-mixin-0.12.5+mixin.0.8.5.jar"));
        QCOMPARE(fabric.libraries[8].name, release.libraries.first().name);

        VersionLoader::setCpuArchitectureForTesting("arm64");
        const MinecraftVersion onArm = load("fabric-loader-0.15.7-1.20.4");
        QCOMPARE(onArm.libraries.size(), 8 + 55);
        QVERIFY(findLibrary(onArm, "org.lwjgl:lwjgl-glfw:3.3.2:natives-linux-arm64"));
        QVERIFY(!findLibrary(onArm, "org.lwjgl:lwjgl-glfw:3.3.2:natives-linux"));
    }

    void oldReleaseAndLegacyLoader()
    {
        installFixture("1.12.2");
        installFixture("1.12.2-forge-14.23.5.2860");
        writeJar("1.12.2");

        QString error;
        const MinecraftVersion release = load("1.12.2", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(release.javaMajor, 8);
        QCOMPARE(release.assets, QStringLiteral("1.12"));
        QCOMPARE(release.gameArgs.size(), 18);
        QCOMPARE(release.jvmArgs.size(), 5);
        QVERIFY(!release.hasResolutionArgs);
        QCOMPARE(release.libraries.size(), 35);

        QStringList nativeNames;
        for (const MinecraftLibrary& library : release.libraries) {
            if (library.native) {
                nativeNames.append(library.name);
                QCOMPARE(library.extractExclude, QStringList{"META-INF/"});
            }
        }
        QCOMPARE(nativeNames,
                 (QStringList{"org.lwjgl.lwjgl:lwjgl-platform:2.9.4-nightly-20150209:natives-linux",
                              "net.java.jinput:jinput-platform:2.0.5:natives-linux",
                              "com.mojang:text2speech:1.10.3:natives-linux",
                              "tv.twitch:twitch-platform:6.5:natives-linux"}));
        const MinecraftLibrary* lwjgl = findLibrary(
            release, "org.lwjgl.lwjgl:lwjgl-platform:2.9.4-nightly-20150209:natives-linux");
        QCOMPARE(lwjgl->path,
                 QStringLiteral("org/lwjgl/lwjgl/lwjgl-platform/2.9.4-nightly-20150209/"
                                "lwjgl-platform-2.9.4-nightly-20150209-natives-linux.jar"));
        QVERIFY(lwjgl->url.startsWith("https://libraries.minecraft.net/"));
        QVERIFY(!findLibrary(release, "org.lwjgl.lwjgl:lwjgl-platform:2.9.4-nightly-20150209"));
        QVERIFY(!findLibrary(release, "org.lwjgl.lwjgl:lwjgl:2.9.2-nightly-20140822"));

        const MinecraftVersion forge = load("1.12.2-forge-14.23.5.2860", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(forge.mainClass, QStringLiteral("net.minecraft.launchwrapper.Launch"));
        QCOMPARE(forge.clientJar, release.clientJar);
        QCOMPARE(forge.loggingArgument, release.loggingArgument);
        QVERIFY(forge.gameArgs.contains("net.minecraftforge.fml.common.launcher.FMLTweaker"));
        QCOMPARE(forge.gameArgs.last(), QStringLiteral("Forge"));
        QCOMPARE(forge.gameArgs.count("--username"), 1);
        QCOMPARE(forge.jvmArgs, release.jvmArgs);
        QCOMPARE(forge.libraries.size(), 22 + 35 - 3);
        QVERIFY(findLibrary(forge, "org.apache.logging.log4j:log4j-core:2.15.0"));
        QVERIFY(!findLibrary(forge, "org.apache.logging.log4j:log4j-core:2.8.1"));
        const MinecraftLibrary* forgeJar =
            findLibrary(forge, "net.minecraftforge:forge:1.12.2-14.23.5.2860");
        QVERIFY(forgeJar && forgeJar->url.isEmpty());
        QCOMPARE(findLibrary(forge, "org.apache.maven:maven-artifact:3.5.3")->url,
                 QStringLiteral("https://repo.maven.apache.org/maven2/org/apache/maven/"
                                "maven-artifact/3.5.3/maven-artifact-3.5.3.jar"));
    }

    void installedVersionsAndDependents()
    {
        QCOMPARE(VersionLoader::installedVersions(m_gameDir), QStringList());

        writeVersion("base", R"({"mainClass":"M"})");
        writeVersion("Zeta", R"({"inheritsFrom":"base"})");
        writeVersion("mid", R"({"inheritsFrom":"base"})");
        writeVersion("top", R"({"inheritsFrom":"mid"})");
        writeVersion("self", R"({"inheritsFrom":"self"})");
        writeVersion("broken", "{");
        writeVersion(".hidden", R"({"inheritsFrom":"base"})");
        QVERIFY(QDir().mkpath(m_gameDir + "/versions/empty"));
        QVERIFY(writeFile(m_gameDir + "/versions/other/base.json", R"({"inheritsFrom":"base"})"));

        QCOMPARE(VersionLoader::installedVersions(m_gameDir),
                 (QStringList{"Zeta", "base", "broken", "mid", "self", "top"}));
        QCOMPARE(VersionLoader::dependentsOf(m_gameDir, "base"), (QStringList{"Zeta", "mid"}));
        QCOMPARE(VersionLoader::dependentsOf(m_gameDir, "mid"), QStringList{"top"});
        QCOMPARE(VersionLoader::dependentsOf(m_gameDir, "self"), QStringList());
        QCOMPARE(VersionLoader::dependentsOf(m_gameDir, ""), QStringList());
    }

    void installedSizeCountsFilesOnly()
    {
        writeVersion("v", QByteArray(100, ' '));
        QVERIFY(writeFile(m_gameDir + "/versions/v/v.jar", QByteArray(1000, 'x')));
        QVERIFY(writeFile(m_gameDir + "/versions/v/natives/.hidden/lib.so", QByteArray(10, 'x')));
        QVERIFY(writeFile(m_gameDir + "/big.bin", QByteArray(5000, 'x')));
        QVERIFY(QFile::link(m_gameDir + "/big.bin", m_gameDir + "/versions/v/link.bin"));
        QVERIFY(QFile::link(m_gameDir, m_gameDir + "/versions/v/loop"));

        QCOMPARE(VersionLoader::installedSize(m_gameDir, "v"), qint64(1110));
        QCOMPARE(VersionLoader::installedSize(m_gameDir, "missing"), qint64(0));
        const QStringList unsafeIds = {"", ".", "..", "v/natives", "a\\b", ".hidden"};
        for (const QString& unsafe : unsafeIds)
            QCOMPARE(VersionLoader::installedSize(m_gameDir, unsafe), qint64(0));
    }

    void removeRefusesUnsafeIds_data()
    {
        QTest::addColumn<QString>("gameDir");
        QTest::addColumn<QString>("id");
        QTest::newRow("empty game directory") << ""
                                              << "v";
        QTest::newRow("empty id") << "GAME"
                                  << "";
        QTest::newRow("dot-dot") << "GAME"
                                 << "..";
        QTest::newRow("slash") << "GAME"
                               << "v/../v";
        QTest::newRow("backslash") << "GAME"
                                   << "v\\x";
        QTest::newRow("leading dot") << "GAME"
                                     << ".v";
    }

    void removeRefusesUnsafeIds()
    {
        QFETCH(QString, gameDir);
        QFETCH(QString, id);
        writeVersion("v", "{}");
        writeVersion(".v", "{}");
        QString error;
        QVERIFY(!VersionLoader::remove(gameDir.replace("GAME", m_gameDir), id, &error));
        QCOMPARE(error, QStringLiteral("invalid version id"));
        QVERIFY(QFileInfo::exists(VersionLoader::versionJsonPath(m_gameDir, "v")));
        QVERIFY(QFileInfo::exists(VersionLoader::versionJsonPath(m_gameDir, ".v")));
    }

    void removeAcceptsUncleanGameDirectories_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("clean") << "";
        QTest::newRow("trailing slash") << "/";
        QTest::newRow("dot-dot") << "/../.minecraft";
        QTest::newRow("doubled slash") << "//.";
    }

    void removeAcceptsUncleanGameDirectories()
    {
        QFETCH(QString, suffix);
        writeVersion("v", "{}");
        writeVersion("keep", "{}");
        QString error = QStringLiteral("untouched");
        QVERIFY(VersionLoader::remove(m_gameDir + suffix, "v", &error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QVERIFY(!QFileInfo::exists(m_gameDir + "/versions/v"));
        QCOMPARE(VersionLoader::installedVersions(m_gameDir), QStringList{"keep"});

        // Already gone is not a failure.
        QVERIFY(VersionLoader::remove(m_gameDir + suffix, "v", &error));
        QCOMPARE(error, QStringLiteral("untouched"));
    }

    void removeOfALinkedFolderKeepsItsTarget()
    {
        const QString shared = m_home->path() + "/shared/1.20.4";
        QVERIFY(writeFile(shared + "/1.20.4.json", "{}"));
        QVERIFY(QDir().mkpath(m_gameDir + "/versions"));
        QVERIFY(QFile::link(shared, m_gameDir + "/versions/1.20.4"));
        QCOMPARE(VersionLoader::installedVersions(m_gameDir), QStringList{"1.20.4"});

        QVERIFY(VersionLoader::remove(m_gameDir, "1.20.4"));
        QVERIFY(!QFileInfo(m_gameDir + "/versions/1.20.4").isSymLink());
        QVERIFY(QFileInfo::exists(shared + "/1.20.4.json"));
    }

    void removeReportsAFailedDeletion()
    {
        if (geteuid() == 0)
            QSKIP("root deletes from read-only folders");
        writeVersion("v", "{}");
        const QString folder = m_gameDir + "/versions/v";
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        QString error;
        const bool removed = VersionLoader::remove(m_gameDir, "v", &error);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!removed);
        QCOMPARE(error, "could not delete " + QDir::toNativeSeparators(folder));
    }
};

QTEST_GUILESS_MAIN(TestMinecraftVersion)
#include "tst_minecraftversion.moc"
