#include "backendfixture.h"
#include "buildswitcher.h"
#include "catalogrefresh.h"
#include "fifowatchdog.h"
#include "filesystemanswers.h"
#include "fulldisk.h"
#include "gamedirfixture.h"
#include "javainstaller.h"
#include "javaruntime.h"
#include "javaruntimeservice.h"
#include "javatools.h"
#include "launcherbackend.h"
#include "launcherpaths.h"
#include "localization.h"
#include "modloaderinstaller.h"
#include "modloaderversionservice.h"
#include "msaauthservice.h"
#include "packledger.h"
#include "qmlprobe.h"
#include "regularfile.h"
#include "remoteaddresses.h"
#include "seasonalinstall.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "versioninstaller.h"
#include "ziparchive.h"

#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlEngine>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <tuple>

#include <sys/stat.h>

using namespace BackendFixture;

namespace {
using TestHelpers::firstArguments;
using TestHelpers::native;
using TestHelpers::readJson;
using TestHelpers::writeFile;

QByteArray readBytes(const QString& path)
{
    return TestHelpers::readFile(path);
}

const QByteArray kFabricId = "fabric-loader-0.15.11-1.20.1";
// A loopback port nothing listens on.
const QString kNowhere = QStringLiteral("https://127.0.0.1:9");

const char kLocProbe[] = R"(
import QtQml
import Hollowmere

QtObject {
    property string cancel: Loc.t.common.button.cancel
}
)";

// Entries below root: "path" is an empty file, "path/" a folder, "path=content" a file.
bool writeTree(const QString& root, const QByteArrayList& entries)
{
    for (const QByteArray& entry : entries) {
        const qsizetype split = entry.indexOf('=');
        const QString path = root + '/' + QString::fromUtf8(split < 0 ? entry : entry.left(split));
        const bool written = path.endsWith('/')
                                 ? QDir().mkpath(path)
                                 : writeFile(path, split < 0 ? QByteArray() : entry.mid(split + 1));
        if (!written)
            return false;
    }
    return true;
}

// Every entry below dir, hidden ones included: a file by its bytes, a folder as "/".
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path.mid(dir.size()), it.fileInfo().isDir() ? "/" : readBytes(path));
    }
    return entries;
}

enum class SpecialKind { Fifo, Device, Oversized };
// Who reads a file of the data directory: the start, with a warning or without one, or a
// reader the interface calls on later.
enum class StateReader { Warning, Start, Cache, Runtime, Season };

// Past the bound of every file the launcher reads from its data directory; sparse.
constexpr qint64 kOversized = qint64(64) * 1024 * 1024;

bool makeSpecial(const QString& path, SpecialKind kind)
{
    switch (kind) {
    case SpecialKind::Fifo:
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    case SpecialKind::Device:
        return QFile::link(QStringLiteral("/dev/zero"), path);
    case SpecialKind::Oversized: {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.resize(kOversized);
    }
    }
    return false;
}

// What stands at path, told apart as far as the cases above need.
QString kindOf(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return QStringLiteral("nothing");
    if (S_ISLNK(status.st_mode))
        return "link to " + QFileInfo(path).symLinkTarget();
    if (S_ISFIFO(status.st_mode))
        return QStringLiteral("fifo");
    return "file of " + QString::number(status.st_size);
}

// The state files, each with the brackets of its valid empty content; the legacy builds
// file too when asked.
void addOverLargeStateFileRows(bool withLegacy)
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("brackets");
    QTest::newRow("settings.json") << "settings.json" << QByteArray("{}");
    QTest::newRow("profiles.json") << "profiles.json" << QByteArray("[]");
    QTest::newRow("customBuilds.json") << "customBuilds.json" << QByteArray("[]");
    if (withLegacy)
        QTest::newRow("versions.json") << "versions.json" << QByteArray("[]");
}

// A valid state file one byte past the bound of what is read.
QByteArray onePastTheBound(const QByteArray& brackets)
{
    return brackets.left(1) + QByteArray(RegularFile::kDocumentLimit - 1, ' ') + brackets.right(1);
}

QString corruptLine(const QString& path, const QString& reason)
{
    return QStringLiteral("File %1 is corrupted (%2). A copy was saved as %3 and the file was "
                          "created anew.")
        .arg(native(path), reason, native(path + QStringLiteral(".bak")));
}

// A managed runtime whose java runs the real one and notes each run in the runtime's
// folder.
bool installRuntime(const QString& id, qint64 size = 0)
{
    const QString dir = JavaRuntimeStore::dirFor(id);
    const QString java = dir + "/bin/java";
    const QByteArray script = "#!/bin/sh\necho run >> '" + dir.toUtf8() + "/runs'\nexec '" +
                              JavaTools::javaExecutable().toUtf8() + "' \"$@\"\n";
    return writeFile(java, script) &&
           QFile::setPermissions(java, QFile::permissions(java) | QFileDevice::ExeOwner) &&
           JavaRuntimeStore::writeMeta({id, "jdk", 17, "17.0.9", java, size});
}

int runsOf(const QString& runtimeId)
{
    return int(readBytes(JavaRuntimeStore::dirFor(runtimeId) + "/runs").count('\n'));
}

// The versions, newest first, that a manifest cache fetched just now lists.
bool writeFreshManifest(const TempHome& home, const QStringList& releases)
{
    QJsonArray versions;
    QDateTime released = QDateTime::currentDateTimeUtc();
    for (const QString& id : releases) {
        released = released.addDays(-1);
        versions.append(QJsonObject{{"id", id},
                                    {"type", "release"},
                                    {"url", "https://127.0.0.1:9/" + id + ".json"},
                                    {"releaseTime", released.toString(Qt::ISODate)}});
    }
    const QJsonObject cache{{"fetchedAt", QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                            {"versions", versions}};
    return home.writeFile("Hollowmere/cache/version_manifest.json", QJsonDocument(cache).toJson());
}

QStringList rowIds(const QVariantList& rows)
{
    QStringList ids;
    for (const QVariant& row : rows)
        ids.append(row.toMap().value("id").toString());
    return ids;
}

} // namespace

Q_DECLARE_METATYPE(TestReply)

// Stands in for the desktop: records the addresses it is asked to open.
class DesktopStandIn : public QObject {
    Q_OBJECT

public:
    DesktopStandIn() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~DesktopStandIn() override { QDesktopServices::unsetUrlHandler("file"); }

    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class TestLauncherBackend : public QObject {
    Q_OBJECT

private:
    static const QList<LauncherBackend::Profile>& profiles(const LauncherBackend& backend)
    {
        return backend.m_profiles;
    }

    using Operation = LauncherBackend::Operation;
    using Profile = LauncherBackend::Profile;

    TempHome m_catalogHome;
    LaunchTools m_tools;

private slots:
    void initTestCase()
    {
        QVERIFY(m_catalogHome.writeFile(QStringLiteral("Hollowmere/settings.json"),
                                        R"({"language":"en"})"));
        QVERIFY(Localization::instance()->load());
        QString error;
        QVERIFY2(m_tools.compile(&error), qPrintable(error));
    }

    // A build given a game version starts installing it: nothing may leave the machine.
    void init() { RemoteAddresses::setAllOriginsForTesting(kNowhere); }
    void cleanup() { RemoteAddresses::resetForTesting(); }

    void firstRunWritesTheThreeFiles()
    {
        TempHome home;
        Started started;
        QVERIFY(started.constructedSilently);
        QCOMPARE(started.messages(), QStringList());

        const QString dir = home.dataDir();
        QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name),
                 (QStringList{"customBuilds.json", "profiles.json", "settings.json"}));
        QCOMPARE(readJson(dir + "/profiles.json"), QJsonDocument(QJsonArray()));
        QCOMPARE(readJson(dir + "/customBuilds.json"), QJsonDocument(QJsonArray()));
        const QJsonObject defaults{
            {"gameDir", ""},
            {"javaPath", ""},
            {"javaRuntime", ""},
            {"minMemoryMb", 512},
            {"maxMemoryMb", 4096},
            {"jvmArgs", ""},
            {"windowWidth", 0},
            {"windowHeight", 0},
            {"fullscreen", false},
            {"language", "system"},
            {"activeBuildId", 0},
            {"seasonalBaseUrl", RemoteAddresses::origin(RemoteAddresses::Service::SeasonalCatalog)},
        };
        QCOMPARE(readJson(dir + "/settings.json").object(), defaults);
        // Indented with four spaces, keys in order.
        QVERIFY(readBytes(dir + "/settings.json").startsWith("{\n    \"activeBuildId\": 0,\n"));
        QVERIFY(ownerOnly(dir + "/profiles.json"));
        for (const char* sub : {"runtime", "cache", "cache/loaders", "builds", "java"})
            QVERIFY2(QFileInfo(dir + "/" + sub).isDir(), sub);
    }

    void brokenFilesAreSetAsideInOneMessage()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", "{\"language\": "));
        QVERIFY(home.writeFile("Hollowmere/profiles.json", R"({"name": "not a list"})"));
        QVERIFY(home.writeFile("Hollowmere/profiles.json.bak", "an older copy"));
        QVERIFY(QFile::setPermissions(home.dataDir() + "/profiles.json",
                                      QFile::permissions(home.dataDir() + "/profiles.json") |
                                          QFileDevice::ReadOther));
        Started started;

        QVERIFY(started.constructedSilently);
        QCOMPARE(started.errors.size(), 1);
        const QStringList lines = started.messages().constFirst().split('\n');
        QCOMPARE(lines.size(), 2);
        const QString settings = home.dataDir() + "/settings.json";
        const QString profiles = home.dataDir() + "/profiles.json";
        QVERIFY2(
            lines.at(0).startsWith(QStringLiteral("File %1 is corrupted (").arg(native(settings))),
            qPrintable(lines.at(0)));
        QVERIFY(lines.at(0).endsWith(
            QStringLiteral("A copy was saved as %1 and the file was created anew.")
                .arg(native(settings + ".bak"))));
        QCOMPARE(lines.at(1), corruptLine(profiles, "an array of entries was expected"));

        QCOMPARE(readBytes(settings + ".bak"), QByteArray("{\"language\": "));
        QCOMPARE(readBytes(profiles + ".bak"), QByteArray(R"({"name": "not a list"})"));
        QVERIFY(ownerOnly(profiles + ".bak"));
        QCOMPARE(readJson(profiles), QJsonDocument(QJsonArray()));
        QVERIFY(ownerOnly(profiles));
        QCOMPARE(readJson(settings).object().value("language").toString(),
                 QStringLiteral("system"));

        QTest::qWait(50);
        QCOMPARE(started.errors.size(), 1);
    }

    // Writes while the constructor runs reach the interface with the other
    // start-up warnings.
    void writeFailureDuringStartIsAWarning()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/profiles.json", "{broken"));
        QVERIFY(home.writeFile("Hollowmere/versions.json", R"([{"id": 1, "name": "A"}])"));
        const QString buildsFile = home.dataDir() + "/customBuilds.json";
        QVERIFY(QFile::link(blockedPath(home, "customBuilds.json"), buildsFile));
        Started started;

        QCOMPARE(started.errors.size(), 1);
        const QStringList lines = started.messages().constFirst().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(
            lines.at(0).startsWith(QStringLiteral("Could not save %1: ").arg(native(buildsFile))),
            qPrintable(lines.at(0)));
        QVERIFY(lines.at(1).startsWith(
            QStringLiteral("File %1 is corrupted").arg(native(home.dataDir() + "/profiles.json"))));
        // The legacy builds stay for the next start.
        QCOMPARE(readJson(home.dataDir() + "/versions.json").array().size(), 1);
    }

    void unusableDataDirectoryIsReportedOnce()
    {
        TempHome home;
        const QString container = blockedPath(home, "home");
        qputenv("HOLLOWMERE_HOME", container.toLocal8Bit());
        Started started;
        QCOMPARE(started.messages(),
                 QStringList{QStringLiteral("Could not create the launcher folder: could not "
                                            "create %1")
                                 .arg(native(container + "/Hollowmere"))});
    }

    void updateSettingsSwitchesTheLanguage()
    {
        TempHome home;
        Started started;
        LauncherBackend& backend = *started.backend;
        QQmlEngine engine;
        QString error;
        const std::unique_ptr<QObject> probe = QmlProbe::create(engine, kLocProbe, &error);
        QVERIFY2(probe, qPrintable(error));
        QCOMPARE(probe->property("cancel").toString(), QStringLiteral("Cancel"));
        QSignalSpy languageChanged(Localization::instance(), &Localization::languageChanged);
        // The language is stored before anyone hears of the change.
        QString storedWhenNotified;
        connect(&backend, &LauncherBackend::settingsChanged, this, [&] {
            storedWhenNotified =
                readJson(home.dataDir() + "/settings.json").object().value("language").toString();
        });

        backend.updateSettings({{"language", "ru"}});
        QCOMPARE(storedWhenNotified, QStringLiteral("ru"));
        QCOMPARE(probe->property("cancel").toString(), QStringLiteral("Отмена"));
        backend.updateSettings({{"jvmArgs", "-Xss2M"}, {"language", "ru"}});
        QCOMPARE(languageChanged.size(), 1);

        backend.updateSettings({{"language", "en"}});
        QCOMPARE(languageChanged.size(), 2);
        QCOMPARE(probe->property("cancel").toString(), QStringLiteral("Cancel"));
        QCOMPARE(started.errors.size(), 0);
    }

    // The game folder the player types names one folder from then on, whatever the working
    // directory of a later start: it is stored whole. "~" is the player's home folder.
    // "{HOME}" stands for the player's home, "{CWD}" for the working directory at saving.
    void gameFolderSettingNamesOneFolder_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("folder");
        QTest::newRow("relative") << "mc-rel"
                                  << "{CWD}/mc-rel";
        QTest::newRow("relative, with steps") << " games/./mc/../mc-rel "
                                              << "{CWD}/games/mc-rel";
        QTest::newRow("in the home folder") << "~/Games/mc"
                                            << "{HOME}/Games/mc";
        QTest::newRow("the home folder") << "~"
                                         << "{HOME}";
        QTest::newRow("a name beginning with ~") << "~mc"
                                                 << "{CWD}/~mc";
        QTest::newRow("absolute") << "{HOME}/Games/mc"
                                  << "{HOME}/Games/mc";
        QTest::newRow("blank: the default") << "  "
                                            << "";
    }

    void gameFolderSettingNamesOneFolder()
    {
        QFETCH(QString, typed);
        QFETCH(QString, folder);
        TempHome home;
        const QString player = home.path() + "/player";
        const QString menu = home.path() + "/menu";
        const QString terminal = home.path() + "/terminal";
        QVERIFY(QDir().mkpath(player) && QDir().mkpath(menu) && QDir().mkpath(terminal));
        const auto spelled = [&](QString text) {
            return text.replace("{HOME}", player).replace("{CWD}", menu);
        };
        const QString expected =
            folder.isEmpty() ? LauncherPaths::defaultMinecraftDir() : spelled(folder);
        const QByteArray previousHome = qgetenv("HOME");
        qputenv("HOME", player.toUtf8());
        const QString previousCwd = QDir::currentPath();
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", previousHome);
            QDir::setCurrent(previousCwd);
        });
        QVERIFY(QDir::setCurrent(menu));
        auto resolved = [](const LauncherBackend& backend) {
            return backend.settings().value("resolvedGameDir").toString();
        };
        {
            Started started;
            started.backend->updateSettings({{"gameDir", spelled(typed)}});
            QCOMPARE(resolved(*started.backend), native(expected));
            QCOMPARE(started.backend->settings().value("gameDir").toString(), spelled(folder));
            QVERIFY(QDir::setCurrent(terminal));
            QCOMPARE(resolved(*started.backend), native(expected));
        }
        Started restarted;
        QCOMPARE(resolved(*restarted.backend), native(expected));
        QCOMPARE(readJson(home.dataDir() + "/settings.json")["gameDir"].toString(),
                 spelled(folder));
        QCOMPARE(restarted.messages(), QStringList());
    }

    // "{HOME}" in values stands for the temporary home; the default game directory is
    // {HOME}/.minecraft.
    void updateSettingsStoresAndAnnounces_data()
    {
        QTest::addColumn<QVariantMap>("values");
        QTest::addColumn<QString>("resolvedGameDir");
        QTest::addColumn<bool>("newGameDir");

        QTest::newRow("same language") << QVariantMap{{"language", "en"}} << "/.minecraft" << false;
        QTest::newRow("unknown key")
            << QVariantMap{{"shaderQuality", "high"}, {"zoom", 3}} << "/.minecraft" << false;
        QTest::newRow("blank game dir")
            << QVariantMap{{"gameDir", "   "}} << "/.minecraft" << false;
        QTest::newRow("default dir spelled out")
            << QVariantMap{{"gameDir", " {HOME}/.minecraft "}} << "/.minecraft" << false;
        QTest::newRow("new game dir")
            << QVariantMap{{"gameDir", "{HOME}/other"}, {"maxMemoryMb", 2048}} << "/other" << true;
    }

    void updateSettingsStoresAndAnnounces()
    {
        QFETCH(QVariantMap, values);
        QFETCH(QString, resolvedGameDir);
        QFETCH(bool, newGameDir);
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        for (QVariant& value : values) {
            if (value.typeId() == QMetaType::QString)
                value = value.toString().replace("{HOME}", home.path());
        }
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy settingsChanged(&backend, &LauncherBackend::settingsChanged);
        QSignalSpy installedChanged(&backend, &LauncherBackend::installedVersionsChanged);
        QSignalSpy catalogChanged(&backend, &LauncherBackend::versionCatalogChanged);

        backend.updateSettings(values);
        QCOMPARE(settingsChanged.size(), 1);
        QCOMPARE(installedChanged.size(), int(newGameDir));
        QCOMPARE(catalogChanged.size(), int(newGameDir));
        const QVariantMap settings = backend.settings();
        QCOMPARE(settings.value("resolvedGameDir").toString(),
                 native(home.path() + resolvedGameDir));
        const QJsonObject saved = readJson(home.dataDir() + "/settings.json").object();
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            // Texts are stored trimmed.
            const QVariant stored = it.value().typeId() == QMetaType::QString
                                        ? QVariant(it.value().toString().trimmed())
                                        : it.value();
            QCOMPARE(settings.value(it.key()), stored);
            QCOMPARE(saved.value(it.key()).toVariant().toString(), stored.toString());
        }
        QVERIFY(!saved.contains("resolvedGameDir"));
        QCOMPARE(saved.value("language").toString(), QStringLiteral("en"));
        QCOMPARE(started.errors.size(), 0);
    }

    void seasonalBaseUrlInEffect_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("expected");
        // What init() makes the built-in address.
        const QString builtIn = kNowhere;
        QTest::newRow("three trailing slashes") << "https://127.0.0.1:8443/seasons///"
                                                << "https://127.0.0.1:8443/seasons";
        QTest::newRow("padded, root only") << "  https://127.0.0.1/  "
                                           << "https://127.0.0.1";
        QTest::newRow("empty") << "" << builtIn;
        QTest::newRow("blank") << "   " << builtIn;
    }

    void seasonalBaseUrlInEffect()
    {
        QFETCH(QString, setting);
        QFETCH(QString, expected);
        TempHome home;
        Started started;
        started.backend->updateSettings({{"seasonalBaseUrl", setting}});
        QCOMPARE(started.backend->seasonalBaseUrl().toString(), expected);
        QCOMPARE(started.backend->settings().value("seasonalBaseUrl").toString(),
                 setting.trimmed());
    }

    // Rows for the interface: what the catalog says and what the builds carry; a
    // change of the builds is seen at the next read.
    void seasonalCatalogRows()
    {
        TempHome home;
        TestServer server;
        const auto entry = [&server](const QString& id, int revision, const QString& loader,
                                     const QString& end) {
            return QJsonObject{
                {"id", id},
                {"name", id.toUpper()},
                {"revision", revision},
                {"minecraftVersion", "1.20.1"},
                {"loader", loader},
                {"loaderVersion", loader.isEmpty() ? "" : "0.16.9"},
                {"modCount", 12},
                {"seasonStart", "2024-09-01"},
                {"seasonEnd", end},
                {"serverUrl", "play.example"},
                {"description", "Leaves"},
                {"archive", QJsonObject{{"url", server.url("/seasons/" + id + ".zip").toString()},
                                        {"size", 257638400},
                                        {"sha256", QString(64, 'c')}}},
            };
        };
        const QJsonObject catalog{
            {"formatVersion", 1},
            {"builds", QJsonArray{entry("autumn", 3, "fabric", ""), entry("winter", 2, "", ""),
                                  entry("spring", 1, "quilt", "2025-05-31")}}};
        server.route("/seasons/index.json", TestReply::json(QJsonDocument(catalog).toJson()));
        QVERIFY(home.writeFile(
            "Hollowmere/settings.json",
            QJsonDocument(QJsonObject{{"seasonalBaseUrl", server.url("/seasons/").toString()}})
                .toJson()));
        Started started;
        LauncherBackend& backend = *started.backend;
        for (const auto& [name, id, revision] : {std::tuple{"Mine", "autumn", 3},
                                                 {"Old winter", "winter", 1},
                                                 {"Second autumn", "autumn", 1}}) {
            backend.addCustomBuild(name, "");
            backend.updateCustomBuild(backend.customBuildNames().size() - 1,
                                      {{"seasonalId", id}, {"seasonalRevision", revision}});
        }
        QSignalSpy loading(&backend, &LauncherBackend::seasonalCatalogLoadingChanged);
        QSignalSpy changed(&backend, &LauncherBackend::seasonalCatalogChanged);

        backend.refreshSeasonalCatalog();
        QVERIFY(backend.seasonalCatalogLoading());
        QTRY_VERIFY(!backend.seasonalCatalogLoading());
        QCOMPARE(loading.size(), 2);
        QVERIFY(changed.size() > 0);
        QCOMPARE(backend.seasonalCatalogError(), QString());
        const QVariantList rows = backend.seasonalCatalog();
        QCOMPARE(rows.size(), 3);
        const QVariantMap autumn{
            {"id", "autumn"},
            {"name", "AUTUMN"},
            {"minecraftVersion", "1.20.1"},
            {"loader", "fabric"},
            {"loaderTitle", "Fabric Loader"},
            {"loaderVersion", "0.16.9"},
            {"modCount", 12},
            {"seasonStart", "01.09.2024"},
            {"seasonEnd", "—"},
            {"sizeBytes", qint64(257638400)},
            {"revision", 3},
            {"description", "Leaves"},
            {"serverUrl", "play.example"},
            {"installed", true},
            {"installedRevision", 3},
            {"updateAvailable", false},
            {"status", "Installed"},
        };
        QCOMPARE(rows.at(0).toMap(), autumn);
        const auto summary = [](const QVariant& row) {
            const QVariantMap map = row.toMap();
            return QStringList{map.value("id").toString(),
                               map.value("loaderTitle").toString(),
                               map.value("seasonEnd").toString(),
                               map.value("installedRevision").toString(),
                               map.value("updateAvailable").toString(),
                               map.value("status").toString()};
        };
        QCOMPARE(summary(rows.at(1)),
                 QStringList({"winter", "Vanilla", "—", "1", "true", "Update available"}));
        QCOMPARE(summary(rows.at(2)), QStringList({"spring", "Quilt Loader", "31.05.2025", "0",
                                                   "false", "Not installed"}));

        changed.clear();
        backend.updateCustomBuild(1, {{"seasonalRevision", 2}});
        QCOMPARE(changed.size(), 1);
        QCOMPARE(summary(backend.seasonalCatalog().at(1)).last(), QStringLiteral("Installed"));

        // An unusable address is told through the error text at once, never as launchError.
        backend.updateSettings({{"seasonalBaseUrl", "https://"}});
        changed.clear();
        backend.refreshSeasonalCatalog(true);
        QVERIFY(changed.size() > 0);
        QCOMPARE(backend.seasonalCatalogError(), QStringLiteral("No build server address is set"));
        QVERIFY(backend.seasonalCatalog().isEmpty());
        QTest::qWait(50);
        QCOMPARE(server.requestCount(), 1);
        QCOMPARE(started.messages(), QStringList());
    }

    // Entries below the temporary home: "path" is an empty file, "path/" a folder,
    // "path=content" a file holding content.
    void firstRunAdoptsTheGameDirectory_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<QString>("name");
        // minecraftVersion|loader|loaderVersion|resolvedVersionId of the build.
        QTest::addColumn<QString>("fields");

        const QByteArrayList fabric = {
            ".minecraft/versions/1.20.1/1.20.1.json={\"id\":\"1.20.1\"}",
            ".minecraft/versions/" + kFabricId + "/" + kFabricId + ".json={\"id\":\"" + kFabricId +
                "\",\"inheritsFrom\":\"1.20.1\",\"libraries\":[{\"name\":"
                "\"net.fabricmc:fabric-loader:0.15.11\"}]}",
            ".minecraft/mods/Example.JAR=mod",
            ".minecraft/saves/World/level.dat=world",
            ".minecraft/.hidden/notes=kept",
        };
        QTest::newRow("fabric") << fabric << "Fabric Loader 1.20.1"
                                << QString("1.20.1|fabric|0.15.11|" + kFabricId);
        QTest::newRow("plain version")
            << QByteArrayList{".minecraft/versions/1.20.1/1.20.1.json={\"id\":\"1.20.1\"}",
                              ".minecraft/options.txt=fov:70"}
            << "Minecraft 1.20.1"
            << "1.20.1|||";
        QTest::newRow("content only")
            << QByteArrayList{".minecraft/saves/World/level.dat=world", ".minecraft/mods/"}
            << "Build from the game folder"
            << "|||";
        QTest::newRow("nothing to import")
            << QByteArrayList{".minecraft/saves/", ".minecraft/mods/.hidden"} << ""
            << "";
        QTest::newRow("settings stored before")
            << fabric + QByteArrayList{"Hollowmere/settings.json={\"language\": \"en\"}"} << ""
            << "";
        QTest::newRow("legacy builds file")
            << fabric + QByteArrayList{"Hollowmere/versions.json=[]"} << ""
            << "";
    }

    void firstRunAdoptsTheGameDirectory()
    {
        QFETCH(QByteArrayList, entries);
        QFETCH(QString, name);
        QFETCH(QString, fields);
        TempHome home;
        QVERIFY(writeTree(home.path(), entries));
        const QString gameDir = gameDirOf(home);
        const QMap<QString, QByteArray> before = snapshot(gameDir);

        Started started;
        LauncherBackend& backend = *started.backend;
        // Told after the constructor returned, when the interface listens.
        QVERIFY(started.constructedSilently);
        QCOMPARE(firstArguments(started.imported),
                 name.isEmpty() ? QStringList() : QStringList{name});
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(snapshot(gameDir), before);
        QVERIFY(!backend.switching());
        QVERIFY(!QFileInfo::exists(home.dataDir() + "/builds/1"));

        const QJsonArray stored = readJson(home.dataDir() + "/customBuilds.json").array();
        const int activeId = readJson(home.dataDir() + "/settings.json")["activeBuildId"].toInt();
        QCOMPARE(backend.activeBuildName(), name);
        if (name.isEmpty()) {
            QCOMPARE(stored, QJsonArray());
            QCOMPARE(activeId, 0);
            return;
        }
        QCOMPARE(backend.customBuildNames(), QStringList{name});
        QCOMPARE(activeId, 1);
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored[0]["id"].toInt(), 1);
        QStringList stateOfBuild;
        for (const char* key : {"minecraftVersion", "loader", "loaderVersion", "resolvedVersionId"})
            stateOfBuild.append(stored[0][key].toString());
        QCOMPARE(stateOfBuild.join('|'), fields);
    }

    // The adopted files are the imported build's: leaving it archives them.
    void importedBuildIsArchivedByTheNextSwitch()
    {
        TempHome home;
        QVERIFY(writeTree(home.path(),
                          {".minecraft/versions/1.20.1/1.20.1.json={\"id\":\"1.20.1\"}",
                           ".minecraft/saves/World/level.dat=world", ".minecraft/mods/a.jar=mod"}));
        const QString gameDir = gameDirOf(home);
        const auto content =
            GameDirFixture::fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel());
        Started started;
        LauncherBackend& backend = *started.backend;
        backend.addCustomBuild("Other", "");

        backend.setActiveBuildIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(!backend.switching(), 20000);
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Other"));
        const QString archive = backend.m_buildSwitcher->archivePathOf(1);
        QVERIFY(!archive.isEmpty());
        QCOMPARE(GameDirFixture::fingerprintArchive(archive), content);
        QCOMPARE(GameDirFixture::topLevelNames(gameDir), QStringList{"versions"});
    }

    // Anything may stand where the launcher keeps a file of its own: a FIFO, a link to a
    // device or a file far too large to be one it wrote. Each reads as an unreadable file,
    // at once and within bounds, is reported where an unreadable file is, and stays; only
    // a state file too large is set aside instead (below).
    void specialStateFileNeverHangsTheStart_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("reader");
        const QList<std::pair<const char*, StateReader>> files{
            {"settings.json", StateReader::Warning},
            {"profiles.json", StateReader::Warning},
            {"customBuilds.json", StateReader::Warning},
            {"versions.json", StateReader::Warning},
            {"builds/index.json", StateReader::Start},
            {"cache/java_runtimes.json", StateReader::Cache},
            {"cache/version_manifest.json", StateReader::Cache},
            {"java/temurin-jdk-21/runtime.json", StateReader::Runtime},
            {"builds/7/season.json", StateReader::Season},
            {"builds/7/season.ledger", StateReader::Season},
        };
        const QList<std::pair<const char*, SpecialKind>> kinds{
            {"fifo", SpecialKind::Fifo},
            {"device", SpecialKind::Device},
            {"oversized", SpecialKind::Oversized},
        };
        for (const auto& [file, reader] : files) {
            for (const auto& [kindName, kind] : kinds) {
                if (reader == StateReader::Warning && kind == SpecialKind::Oversized)
                    continue;
                QTest::addRow("%s %s", file, kindName)
                    << QString::fromLatin1(file) << int(kind) << int(reader);
            }
        }
    }

    void specialStateFileNeverHangsTheStart()
    {
        QFETCH(QString, relative);
        QFETCH(int, kind);
        QFETCH(int, reader);
        TempHome home;
        const QString path = home.dataDir() + "/" + relative;
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(makeSpecial(path, SpecialKind(kind)));
        const QString before = kindOf(path);
        std::optional<FifoWatchdog> watchdog;
        if (SpecialKind(kind) == SpecialKind::Fifo)
            watchdog.emplace(path);

        QVERIFY(Localization::instance()->load());
        Localization::instance()->setLanguage("en");
        Started started;
        switch (StateReader(reader)) {
        case StateReader::Warning:
            QCOMPARE(
                started.messages(),
                QStringList{
                    QStringLiteral("Could not read %1: not a regular file").arg(native(path))});
            break;
        case StateReader::Start:
            QCOMPARE(started.messages(), QStringList());
            break;
        case StateReader::Cache:
            QCOMPARE(CatalogRefresh::readCacheFile(path), QJsonObject());
            break;
        case StateReader::Runtime:
            QVERIFY(!JavaRuntimeStore::find("temurin-jdk-21"));
            break;
        case StateReader::Season:
            QCOMPARE(PackLedger(LauncherPaths::packLedgerFile(7),
                                LauncherPaths::seasonalStateFile(7), home.dataDir())
                         .owned(),
                     QStringList());
            break;
        }
        if (watchdog)
            QCOMPARE(watchdog->rescues(), 0);
        QCOMPARE(kindOf(path), before);
    }

    // Kept where it is, a state file too large to read would be replaced by the next save
    // with no copy left.
    void overLargeStateFileIsSetAsideWhole_data() { addOverLargeStateFileRows(true); }

    void overLargeStateFileIsSetAsideWhole()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, brackets);
        TempHome home;
        const QString path = home.dataDir() + "/" + file;
        const QByteArray content = onePastTheBound(brackets);
        QVERIFY(writeFile(path, content));

        Started started;

        QCOMPARE(started.messages(), QStringList{corruptLine(path, "the file is too large")});
        QVERIFY(readBytes(path + ".bak") == content);
        // The legacy builds file is converted, never recreated.
        const bool recreated = file != QLatin1String("versions.json");
        QCOMPARE(QFileInfo(path).size() > 0 && QFileInfo(path).size() < 1024, recreated);
    }

    // With its ".bak" name taken by a folder that holds a file, a file too large to read
    // stays as it is: the saves of that run fail and say so, and it is never replaced by
    // the few records in memory.
    void overLargeStateFileThatCannotBeSetAsideIsKept_data() { addOverLargeStateFileRows(false); }

    void overLargeStateFileThatCannotBeSetAsideIsKept()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, brackets);
        TempHome home;
        const QString path = home.dataDir() + "/" + file;
        const QByteArray content = onePastTheBound(brackets);
        QVERIFY(writeFile(path, content));
        QVERIFY(writeFile(path + ".bak/kept", "x"));

        Started started;
        LauncherBackend& backend = *started.backend;
        backend.addProfile("Nick", QString(), QString(), "offline");
        backend.addCustomBuild("One", "");
        backend.updateSettings({{"windowWidth", 1024}});
        QTest::qWait(50);

        const QString notSetAside =
            QStringLiteral(
                "File %1 is corrupted (the file is too large) and could not be set aside")
                .arg(native(path));
        const QString saveFailed =
            QStringLiteral("Could not save %1: the file is too large").arg(native(path));
        QCOMPARE(started.messages(), QStringList({notSetAside, saveFailed}));
        QVERIFY(readBytes(path) == content);
    }

    // A save that cannot reach the disk leaves the file as it was: after a restart with
    // room again every record is there, and the player was told once.
    void failedSaveKeepsTheStoredFile_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("profiles.json") << "profiles.json";
        QTest::newRow("customBuilds.json") << "customBuilds.json";
        QTest::newRow("settings.json") << "settings.json";
    }

    void failedSaveKeepsTheStoredFile()
    {
        QFETCH(QString, file);
        TempHome home;
        FullDisk disk(home.path());
        QVERIFY(home.writeFile("Hollowmere/settings.json",
                               R"({"language": "ru", "windowWidth": 800})"));
        QVERIFY(home.writeFile("Hollowmere/profiles.json",
                               R"([{"id": 1, "name": "One"}, {"id": 2, "name": "Two"}])"));
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json",
                               R"([{"id": 1, "name": "A"}, {"id": 2, "name": "B"}])"));
        // A first start with room writes what it adds to its folder and files.
        Started{};
        const QString path = home.dataDir() + "/" + file;
        const QByteArray stored = readBytes(path);

        const bool toldOnce = disk.whileFull([&] {
            Started started;
            LauncherBackend& backend = *started.backend;
            const bool quietStart = started.errors.isEmpty();
            if (file == QLatin1String("profiles.json"))
                backend.addProfile("Three", "three", "");
            else if (file == QLatin1String("customBuilds.json"))
                backend.addCustomBuild("C", "");
            else
                backend.updateSettings({{"windowWidth", 1024}});
            QTest::qWait(50);
            const QStringList told = started.messages();
            return quietStart && told.size() == 1 &&
                   told.constFirst().startsWith("Could not save " + native(path) + ": ");
        });

        QVERIFY(toldOnce);
        QVERIFY(readBytes(path) == stored);
        Started restarted;
        QCOMPARE(restarted.messages(), QStringList());
        LauncherBackend& backend = *restarted.backend;
        QCOMPARE(backend.profileNames(), QStringList({"One", "Two"}));
        QCOMPARE(backend.customBuildNames(), QStringList({"A", "B"}));
        QCOMPARE(backend.settings().value("language").toString(), QStringLiteral("ru"));
        QCOMPARE(backend.settings().value("windowWidth").toInt(), 800);
    }

    // Where folders cannot be flushed (a virtual machine's shared folder), every save and
    // every switch still completes without a word, and all of it is there after a restart.
    void folderThatCannotBeFlushedTakesEverySave()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        GameDirFixture::writeSharedEntries(gameDirOf(home));
        const GameDirFixture::Fingerprint first = writeLiveBuild(home);
        {
            const FileSystemAnswers::Scope sharedFolder(FileSystemAnswers::setFolderFlushFails);
            Started started;
            LauncherBackend& backend = *started.backend;
            backend.addProfile("Nick", QString(), QString(), "offline");
            backend.updateSettings({{"windowWidth", 1024}});
            addTwoBuilds(backend);
            backend.setActiveBuildIndex(1);
            QTRY_VERIFY_WITH_TIMEOUT(!backend.switching(), 20000);
            QCOMPARE(backend.activeBuildIndex(), 1);
            QCOMPARE(started.messages(), QStringList());
            QVERIFY(backend.customBuildRemovalInfo(0).value("hasArchive").toBool());
        }
        Started restarted;
        LauncherBackend& backend = *restarted.backend;
        QVERIFY2(restarted.messages().isEmpty(), qPrintable(restarted.messages().join('|')));
        QCOMPARE(backend.profileNames(), QStringList({"Nick"}));
        QCOMPARE(backend.settings().value("windowWidth").toInt(), 1024);
        QCOMPARE(backend.activeBuildIndex(), 1);
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        backend.setActiveBuildIndex(0);
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty(), 20000);
        QCOMPARE(GameDirFixture::fingerprintTree(gameDirOf(home), BuildSwitcher::sharedTopLevel()),
                 first);
    }

    // Only a file system that has no folder flush at all lets a write count once its file
    // has its name; a folder flush that fails on a failing or full disk keeps the switch
    // from clearing the game folder after an archive whose name may never reach the disk.
    void failedFolderFlushStopsTheSwitch_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("switches");
        QTest::newRow("EIO") << EIO << false;
        QTest::newRow("ENOSPC") << ENOSPC << false;
        QTest::newRow("EDQUOT") << EDQUOT << false;
        QTest::newRow("EINVAL") << EINVAL << true;
        QTest::newRow("EOPNOTSUPP") << EOPNOTSUPP << true;
        QTest::newRow("ENOSYS") << ENOSYS << true;
        QTest::newRow("EBADF") << EBADF << true;
        QTest::newRow("EPERM") << EPERM << false;
    }

    void failedFolderFlushStopsTheSwitch()
    {
        QFETCH(int, answer);
        QFETCH(bool, switches);
        TempHome home;
        GameDirFixture::writeSharedEntries(gameDirOf(home));
        const GameDirFixture::Fingerprint world = writeLiveBuild(home);
        Started started;
        LauncherBackend& backend = *started.backend;
        addTwoBuilds(backend);
        {
            const FileSystemAnswers::FolderFlushError disk(answer);
            backend.setActiveBuildIndex(1);
            QTRY_VERIFY_WITH_TIMEOUT(!backend.switching(), 20000);
        }
        if (switches) {
            QCOMPARE(started.messages(), QStringList());
            QCOMPARE(backend.activeBuildIndex(), 1);
            return;
        }
        QCOMPARE(started.messages().size(), 1);
        const QString reason = QString::fromLocal8Bit(std::strerror(answer));
        QVERIFY2(started.messages().constFirst().contains(reason),
                 qPrintable(started.messages().constFirst()));
        QCOMPARE(backend.activeBuildIndex(), 0);
        QCOMPARE(GameDirFixture::fingerprintTree(gameDirOf(home), BuildSwitcher::sharedTopLevel()),
                 world);
    }

    // The game folder belongs to the player and to other programs: a FIFO where a parent
    // description belongs reads as an unreadable file, at once, and every other version
    // shows as it did.
    void specialFileInTheGameFolderNeverBlocks()
    {
        TempHome home;
        const QString gameDir = gameDirOf(home);
        const QString fifo = gameDir + "/versions/1.20.1/1.20.1.json";
        QVERIFY(writeTree(home.path(),
                          {".minecraft/versions/" + kFabricId + "/" + kFabricId +
                               ".json={\"id\":\"" + kFabricId +
                               "\",\"inheritsFrom\":\"1.20.1\",\"mainClass\":\"Main\","
                               "\"libraries\":[{\"name\":\"net.fabricmc:fabric-loader:0.15.11\"}]}",
                           ".minecraft/versions/1.20.1/", ".minecraft/mods/Example.jar=mod"}));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(m_tools.installFakeGame(gameDir, kFakeVersion));

        const FifoWatchdog watchdog(fifo);
        Started started;
        LauncherBackend& backend = *started.backend;
        QCOMPARE(firstArguments(started.imported), QStringList{"Fabric Loader 1.20.1"});
        backend.addCustomBuild("Good", "", kFakeVersion);

        QCOMPARE(backend.checkInstallation(0),
                 QStringList{"Could not read " + native(fifo) + ": not a regular file"});
        QCOMPARE(backend.checkInstallation(1), QStringList());
        QCOMPARE(backend.installedVersions(),
                 (QStringList{"1.20.1", QString(kFabricId), kFakeVersion}));
        const QVariantMap good = backend.versionRemovalInfo(kFakeVersion);
        QCOMPARE(good.value("installed").toBool(), true);
        QCOMPARE(good.value("dependents").toStringList(), QStringList());
        QCOMPARE(good.value("builds").toStringList(), QStringList{"Good"});
        QCOMPARE(backend.versionRemovalInfo("1.20.1").value("dependents").toStringList(),
                 QStringList{kFabricId});
        QCOMPARE(watchdog.rescues(), 0);
        QCOMPARE(started.messages(), QStringList());
    }

    void writeFailureAfterStartIsReportedAtOnce()
    {
        TempHome home;
        Started started;
        const QString settings = home.dataDir() + "/settings.json";
        QVERIFY(QFile::remove(settings));
        QVERIFY(QDir().mkpath(settings));
        QSignalSpy settingsChanged(started.backend.get(), &LauncherBackend::settingsChanged);

        started.backend->updateSettings({{"jvmArgs", "-Xmx1G"}});
        QCOMPARE(started.errors.size(), 1);
        QVERIFY2(started.messages().constFirst().startsWith(
                     QStringLiteral("Could not save %1: ").arg(native(settings))),
                 qPrintable(started.messages().constFirst()));
        QCOMPARE(settingsChanged.size(), 1);
    }

    void runningGameRefusesAnotherLaunchAndStops()
    {
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {QJsonObject{{"id", 1}, {"name", "Nick"}}},
                                    {fakeBuild(1, "Build")}, {{"jvmArgs", "-Dfake.wait=60000"}}));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);

        backend.launchGame(0, 0);
        QCOMPARE(spies.launched.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(firstArguments(spies.output).contains("waiting"), kGameWaitMs);
        QVERIFY(backend.gameRunning());
        QVERIFY(firstArguments(spies.output).contains("player=Nick"));

        backend.launchGame(0, 0);
        QCOMPARE(started.messages(), QStringList{"The game is already running"});
        QCOMPARE(spies.busy.size(), 2);

        backend.stopGame();
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QCOMPARE(spies.finished.constFirst().at(1).toBool(), true);
        QVERIFY(!backend.gameRunning());
    }

    void runningGameKeepsItsFilesInPlace()
    {
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {QJsonObject{{"id", 1}, {"name", "Nick"}}},
                                    {fakeBuild(1, "Build"), fakeBuild(2, "Other")},
                                    {{"jvmArgs", "-Dfake.wait=60000"}, {"activeBuildId", 1}}));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        backend.launchGame(0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(firstArguments(spies.output).contains("waiting"), kGameWaitMs);

        backend.setActiveBuildIndex(1);
        backend.removeCustomBuild(1);
        QCOMPARE(started.messages(),
                 QStringList(
                     {"Game files are being moved, close the game first", "Close the game first"}));
        QVERIFY(!backend.switching());
        QCOMPARE(backend.customBuildNames(), QStringList({"Build", "Other"}));

        backend.stopGame();
        QTRY_VERIFY_WITH_TIMEOUT(!backend.gameRunning(), kGameWaitMs);
    }

    void refusalsComeInOrder()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        // Profiles without ids share id 0; each still launches as itself.
        QVERIFY(
            home.writeFile("Hollowmere/profiles.json",
                           R"([{"name": "Nick"}, {"name": "Cloud", "authType": "microsoft"}])"));
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json",
                               R"([{"id": 1, "name": "Blank", "minecraftVersion": "   "},
                                   {"id": 2, "name": "Spaced", "minecraftVersion": " fake-1.0"},
                                   {"id": 3, "name": "Broken", "minecraftVersion": "broken"},
                                   {"id": 4, "name": "Fake", "minecraftVersion": "fake-1.0"}])"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy busy(&backend, &LauncherBackend::busyChanged);
        const QString gameDir = gameDirOf(home);
        const QString versionsDir = native(gameDir + "/versions");
        auto refusal = [&](int profile, int build) {
            started.errors.clear();
            backend.launchGame(profile, build);
            return started.messages();
        };

        // The game folder is missing too: the profile and the build come first.
        QCOMPARE(refusal(2, 0), QStringList{"Pick a profile before launching"});
        QCOMPARE(refusal(-1, 0), QStringList{"Pick a profile before launching"});
        QCOMPARE(refusal(0, 4), QStringList{"Pick a build before launching"});
        QCOMPARE(refusal(0, 0), QStringList{QStringLiteral("The .minecraft folder was not found: "
                                                           "%1. Set its path in the settings.")
                                                .arg(native(gameDir))});
        QVERIFY(QDir().mkpath(gameDir));
        QCOMPARE(refusal(0, 0),
                 QStringList{QStringLiteral("Build \"Blank\" has no Minecraft version selected. "
                                            "Check %1")
                                 .arg(native(home.dataDir() + "/customBuilds.json"))});
        QCOMPARE(
            refusal(0, 1),
            QStringList{QStringLiteral("There is no installed version in %1").arg(versionsDir)});

        QVERIFY(m_tools.installFakeGame(gameDir, kFakeVersion));
        QVERIFY(writeFile(gameDir + "/versions/broken/broken.json", fakeVersionJson("broken", 15)));
        QCOMPARE(refusal(0, 1),
                 QStringList{QStringLiteral("Version \" fake-1.0\" from build \"Spaced\" is not "
                                            "installed in %1. Available: broken, fake-1.0")
                                 .arg(versionsDir)});
        QCOMPARE(busy.size(), 0);

        // Reading the version sets the busy state; the failure clears it.
        const QStringList missing = refusal(0, 2);
        QCOMPARE(missing.size(), 1);
        const QStringList lines = missing.constFirst().split('\n');
        QCOMPARE(lines.size(), 13);
        QCOMPARE(lines.at(0), QStringLiteral("Files are missing from the game folder (12):"));
        QCOMPARE(lines.at(1), native(gameDir + "/versions/broken/broken.jar"));
        QCOMPARE(lines.at(12),
                 native(gameDir + "/libraries/org/example/missing10/1.0/missing10-1.0.jar"));
        QCOMPARE(busy.size(), 2);
        QVERIFY(!backend.busy());

        // Microsoft profiles cannot sign in at launch yet.
        QCOMPARE(refusal(1, 3), QStringList{"Profile \"Cloud\" is not linked to a Microsoft "
                                            "account — sign in to it"});
        QCOMPARE(busy.size(), 4);
        QVERIFY(!backend.busy());
        QVERIFY(!backend.gameRunning());
    }

    void runningInstallsRefuseTheLaunch()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        QVERIFY(home.writeFile("Hollowmere/profiles.json", R"([{"id": 1, "name": "Nick"}])"));
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json",
                               R"([{"id": 1, "name": "Fake", "minecraftVersion": "fake-1.0"}])"));
        TestServer server;
        server.route("/jdk.tar.gz", TestReply::ok(QByteArray(4096, 'x')).stalledAfter(16));
        Started started;
        JavaRuntimeEntry entry;
        entry.id = QStringLiteral("temurin-jdk-21");
        entry.major = 21;
        entry.archive = QStringLiteral("tar.gz");
        entry.url = server.url("/jdk.tar.gz");
        entry.checksum = QString(64, QLatin1Char('0'));
        started.backend->m_javaInstaller->install(entry);
        QVERIFY(started.backend->m_javaInstaller->isBusy());
        started.backend->launchGame(0, 0);
        QCOMPARE(started.messages(),
                 QStringList{"Java \"temurin-jdk-21\" is being installed — wait for it to finish"});

        // A game version being installed comes before Java.
        RemoteAddresses::setOriginForTesting(RemoteAddresses::Service::VersionManifest,
                                             server.origin());
        server.route("/mc/game/version_manifest_v2.json", TestReply::json("{}").delayed(60000));
        started.backend->m_versionInstaller->install(home.path() + "/.minecraft", "1.20.4");
        QVERIFY(started.backend->m_versionInstaller->isBusy());
        started.errors.clear();
        started.backend->launchGame(0, 0);
        QCOMPARE(started.messages(),
                 QStringList{"Version \"1.20.4\" is downloading — wait for it to finish"});

        // A mod loader being installed comes first of all.
        RemoteAddresses::setOriginForTesting(RemoteAddresses::Service::FabricMeta, server.origin());
        server.routePrefix("/v2/versions/loader/", TestReply::json("{}").delayed(60000));
        started.backend->m_loaderInstaller->install(home.path() + "/.minecraft", ModLoader::Fabric,
                                                    "1.20.4", "0.15.7", QString());
        QVERIFY(started.backend->m_loaderInstaller->busy());
        started.errors.clear();
        started.backend->launchGame(0, 0);
        QCOMPARE(started.messages().size(), 1);
        QVERIFY2(started.messages().first().endsWith("is being installed — wait for it to finish"),
                 qPrintable(started.messages().first()));
        QVERIFY(started.messages().first().contains(started.backend->m_loaderInstaller->label()));
        started.backend->m_loaderInstaller->cancel();
        started.backend->m_versionInstaller->cancel();
        started.backend->m_javaInstaller->cancel();
    }

    void busyStateFollowsEachOperation()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/profiles.json", R"([{"id": 1, "name": "Nick"}])"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy changed(&backend, &LauncherBackend::busyChanged);

        backend.setBusy(Operation::MicrosoftLogin, true);
        QVERIFY(backend.busy());
        QCOMPARE(changed.size(), 1);
        backend.setBusy(Operation::Launch, true);
        QCOMPARE(changed.size(), 1);
        // Ending the launch leaves the other operation busy.
        backend.cancelPendingLaunch();
        QVERIFY(backend.busy());
        QCOMPARE(changed.size(), 1);
        backend.launchGame(0, 0);
        QCOMPARE(started.messages(), QStringList{"A launch is already in progress"});

        backend.setBusy(Operation::MicrosoftLogin, false);
        QVERIFY(!backend.busy());
        QCOMPARE(changed.size(), 2);
        backend.setBusy(Operation::MicrosoftLogin, false);
        QCOMPARE(changed.size(), 2);

        // Only the seasonal install is told apart.
        QSignalSpy seasonal(&backend, &LauncherBackend::seasonalInstallingChanged);
        backend.setBusy(Operation::SeasonalInstall, true);
        backend.setBusy(Operation::Launch, true);
        QVERIFY(backend.seasonalInstalling());
        backend.setBusy(Operation::SeasonalInstall, false);
        QVERIFY(!backend.seasonalInstalling());
        QVERIFY(backend.busy());
        QCOMPARE(seasonal.size(), 2);
        QCOMPARE(changed.size(), 3);
    }

    void profileOperations()
    {
        TempHome home;
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy changed(&backend, &LauncherBackend::profilesChanged);

        backend.addProfile("Steve", "steve", "", "Microsoft");
        backend.addProfile("Alex", "alex@example.org", "secret", "elyby");
        QCOMPARE(changed.size(), 2);
        QCOMPARE(backend.profileNames(), QStringList({"Steve", "Alex"}));
        QCOMPARE(backend.m_profiles.at(0).authType, QStringLiteral("offline"));
        QCOMPARE(backend.m_profiles.at(1).id, backend.m_profiles.at(0).id + 1);
        QVERIFY(!backend.m_profiles.at(0).clientToken.isEmpty());
        QCOMPARE(readJson(home.dataDir() + "/profiles.json").array().size(), 2);

        LauncherBackend::Profile& alex = backend.m_profiles[1];
        alex.accessToken = "access";
        alex.uuid = "uuid";
        alex.resolvedName = "AlexTheGreat";
        alex.refreshToken = "refresh";
        backend.updateProfile(1, "Alex renamed", "alex@example.org", "secret", "elyby");
        QCOMPARE(alex.accessToken, QStringLiteral("access"));
        backend.updateProfile(1, "Alex renamed", "alex@example.org", "new secret", "elyby");
        QVERIFY(alex.accessToken.isEmpty() && alex.uuid.isEmpty() && alex.resolvedName.isEmpty());
        QCOMPARE(alex.refreshToken, QStringLiteral("refresh"));

        LauncherBackend::Profile& steve = backend.m_profiles[0];
        steve.authType = "microsoft";
        steve.accessToken = steve.refreshToken = steve.uuid = steve.resolvedName = "x";
        steve.xuid = steve.tokenExpiry = steve.userType = "x";
        const QString token = steve.clientToken;
        QCOMPARE(backend.profileAt(0).value("hasMicrosoftSession").toBool(), true);
        backend.updateProfile(0, "Steve", "steve", "", "microsoft");
        QCOMPARE(steve.refreshToken, QStringLiteral("x"));
        backend.updateProfile(0, "Steve", "steve", "", "offline");
        for (const QString& field :
             {steve.accessToken, steve.refreshToken, steve.uuid, steve.resolvedName, steve.xuid,
              steve.tokenExpiry, steve.userType})
            QVERIFY(field.isEmpty());
        QCOMPARE(steve.clientToken, token);

        const QVariantMap map = backend.profileAt(1);
        QCOMPARE(map.value("password").toString(), QStringLiteral("new secret"));
        QCOMPARE(map.value("authType").toString(), QStringLiteral("elyby"));
        QCOMPARE(map.value("hasMicrosoftSession").toBool(), true);
        QVERIFY(!map.contains("id") && !map.contains("accessToken"));
        QVERIFY(backend.profileAt(2).isEmpty());
        QVERIFY(backend.profileAt(-1).isEmpty());

        backend.removeProfile(5);
        backend.removeProfile(0);
        QCOMPARE(backend.profileNames(), QStringList({"Alex renamed"}));
        QCOMPARE(readJson(home.dataDir() + "/profiles.json").array().size(), 1);
        QVERIFY(ownerOnly(home.dataDir() + "/profiles.json"));
    }

    void buildOperations()
    {
        TempHome home;
        Started started;
        LauncherBackend& backend = *started.backend;
        QCOMPARE(backend.activeBuildIndex(), -1);
        QVERIFY(backend.activeBuildName().isEmpty());
        QSignalSpy builds(&backend, &LauncherBackend::customBuildsChanged);
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);

        backend.addCustomBuild("Vanilla", "", "1.20.1");
        backend.addCustomBuild("Fabric", "mc.example.org", "1.20.1");
        QCOMPARE(builds.size(), 2);
        // The first build became the active one.
        QCOMPARE(active.size(), 1);
        active.clear();
        QCOMPARE(backend.customBuildNames(), QStringList({"Vanilla", "Fabric"}));
        // "activeBuildId" 0 names no build: the first one is active.
        QCOMPARE(backend.activeBuildIndex(), 0);
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Vanilla"));
        QCOMPARE(backend.indexOfBuildId(2), 1);
        QCOMPARE(backend.indexOfBuildId(9), -1);

        backend.updateCustomBuild(1, {{"loader", "fabric"},
                                      {"loaderVersion", "0.15.0"},
                                      {"resolvedVersionId", "fabric-loader-0.15.0-1.20.1"},
                                      {"seasonalRevision", "x"},
                                      {"id", 99}});
        QCOMPARE(active.size(), 1);
        QCOMPARE(backend.m_customBuilds.at(1).id, 2);
        QCOMPARE(backend.customBuildAt(1).value("launchVersionId").toString(),
                 QStringLiteral("fabric-loader-0.15.0-1.20.1"));
        backend.updateCustomBuild(1, {{"minecraftVersion", "1.20.1"}});
        QCOMPARE(backend.m_customBuilds.at(1).loaderVersion, QStringLiteral("0.15.0"));
        backend.updateCustomBuild(1, {{"minecraftVersion", "1.21"}});
        QCOMPARE(backend.m_customBuilds.at(1).loader, QStringLiteral("fabric"));
        QVERIFY(backend.m_customBuilds.at(1).loaderVersion.isEmpty());
        QVERIFY(backend.m_customBuilds.at(1).resolvedVersionId.isEmpty());
        backend.updateCustomBuild(1, {{"minecraftVersion", "1.21.1"},
                                      {"loaderVersion", "0.16.0"},
                                      {"seasonalRevision", 3},
                                      {"seasonalId", QVariant()}});
        const QVariantMap map = backend.customBuildAt(1);
        QCOMPARE(map.value("loaderVersion").toString(), QStringLiteral("0.16.0"));
        QCOMPARE(map.value("seasonalRevision").toInt(), 3);
        QCOMPARE(map.value("serverUrl").toString(), QStringLiteral("mc.example.org"));
        QCOMPARE(map.value("launchVersionId").toString(), QStringLiteral("1.21.1"));
        QVERIFY(!map.contains("id"));
        QVERIFY(backend.customBuildAt(2).isEmpty());
        const QJsonArray stored = readJson(home.dataDir() + "/customBuilds.json").array();
        QCOMPARE(stored.at(1).toObject().value("seasonalRevision").toInt(), 3);

        backend.updateCustomBuild(0, {{"minecraftVersion", ""}, {"name", "Named only"}});
        QCOMPARE(backend.customBuildAt(0).value("launchVersionId").toString(), QString());

        const QVariantMap info = backend.customBuildRemovalInfo(0);
        QCOMPARE(info.value("active").toBool(), true);
        QCOMPARE(info.value("lastOne").toBool(), false);
        QCOMPARE(info.value("hasArchive").toBool(), false);
        QVERIFY(backend.customBuildRemovalInfo(7).isEmpty());

        // Selecting the active build again does nothing at all.
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        backend.setActiveBuildIndex(0);
        backend.setActiveBuildIndex(5);
        QCOMPARE(progress.size(), 0);
        QVERIFY(!backend.switching());
    }

    // The interface hears of every change of the active build's identity or name.
    void activeBuildNameIsToldOfEveryChange()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        GameDirFixture::writeSharedEntries(home.path() + "/.minecraft");
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        const auto toldOf = [&](const QString& name) {
            const bool told = !active.isEmpty() && backend.activeBuildName() == name;
            active.clear();
            return told;
        };

        backend.addCustomBuild("One", "");
        QVERIFY(toldOf("One"));
        backend.addCustomBuild("Two", "");
        backend.updateCustomBuild(0, {{"name", "First"}});
        QVERIFY(toldOf("First"));
        backend.setActiveBuildIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty() && !backend.switching(), 20000);
        QVERIFY(toldOf("Two"));
        backend.removeCustomBuild(1);
        QVERIFY(toldOf("First"));
        QTRY_VERIFY_WITH_TIMEOUT(!backend.switching(), 20000);
        QCOMPARE(started.errors.size(), 0);
    }

    void selectingABuildSwitchesTheGameDirectory()
    {
        TempHome home;
        // Used before: the files are no first start's to adopt.
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        const QString gameDir = home.path() + "/.minecraft";
        GameDirFixture::writeSharedEntries(gameDir);
        const GameDirFixture::Fingerprint first = writeLiveBuild(home);
        Started started;
        LauncherBackend& backend = *started.backend;
        addTwoBuilds(backend);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        QSignalSpy switchChanged(&backend, &LauncherBackend::switchChanged);
        backend.addProfile("Nick", QString(), QString(), "offline");

        backend.setActiveBuildIndex(1);
        QVERIFY(backend.switching());
        QVERIFY(backend.busy());
        QCOMPARE(progress.first().first().toString(),
                 QStringLiteral("Switching to build \"Two\"…"));
        QCOMPARE(backend.activeBuildIndex(), 0);
        backend.setActiveBuildIndex(1);
        backend.removeCustomBuild(0);
        backend.launchGame(0, 0);
        QCOMPARE(started.messages(),
                 QStringList({"A build switch is already running",
                              "Wait for the current operation to finish",
                              "A build switch is in progress — wait for it to finish"}));
        QVERIFY(!backend.switchStage().isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty(), 20000);
        QVERIFY(!backend.switching());
        QCOMPARE(backend.switchProgress(), -1.0);
        QVERIFY(switchChanged.size() > 2);
        QCOMPARE(backend.activeBuildIndex(), 1);
        QCOMPARE(
            readJson(home.dataDir() + "/settings.json").object().value("activeBuildId").toInt(), 2);
        QCOMPARE(progress.last().first().toString(), QStringLiteral("Build \"Two\" is active"));
        QVERIFY(
            GameDirFixture::fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()).isEmpty());
        QVERIFY(backend.customBuildRemovalInfo(0).value("hasArchive").toBool());

        active.clear();
        backend.setActiveBuildIndex(0);
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty(), 20000);
        QCOMPARE(GameDirFixture::fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()), first);
        QCOMPARE(started.errors.size(), 3);
    }

    void failedSwitchesAreReportedAndCanBeRepaired()
    {
        TempHome home;
        // Used before: the files are no first start's to adopt.
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        const QString gameDir = home.path() + "/.minecraft";
        const GameDirFixture::Fingerprint first = writeLiveBuild(home);
        Started started;
        LauncherBackend& backend = *started.backend;
        addTwoBuilds(backend);

        BuildSwitcher::setAvailableSpaceProbeForTesting([](const QString&) { return 1; });
        backend.setActiveBuildIndex(1);
        BuildSwitcher::setAvailableSpaceProbeForTesting({});
        QCOMPARE(started.messages().size(), 1);
        QVERIFY2(started.messages().constFirst().startsWith(
                     "The build was not switched: Not enough space for the archive of build "
                     "\"One\""),
                 qPrintable(started.messages().constFirst()));
        QVERIFY(!started.messages().constFirst().contains('\n'));

        // A target archive that cannot be restored leaves the directory half switched.
        ZipArchive zip;
        QVERIFY(QDir().mkpath(LauncherPaths::buildDir(2)));
        QVERIFY(zip.create(LauncherPaths::buildDir(2) + "/2026-01-01_Two.zip"));
        QVERIFY(zip.addData("../escape.txt", "x"));
        QVERIFY(zip.close());
        backend.setActiveBuildIndex(1);
        QTRY_COMPARE_WITH_TIMEOUT(started.errors.size(), 2, 20000);
        QCOMPARE(started.messages().at(1),
                 QStringLiteral("The build was not switched: The archive is corrupted: invalid "
                                "path \"../escape.txt\"\n Switch again."));
        QCOMPARE(backend.activeBuildIndex(), 0);

        // Selecting the build still shown as active brings its files back.
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        backend.setActiveBuildIndex(0);
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty(), 20000);
        QCOMPARE(GameDirFixture::fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()), first);
        QCOMPARE(backend.activeBuildIndex(), 0);
        QCOMPARE(started.errors.size(), 2);
    }

    // What the game writes into a half-switched directory would be cleared unsaved
    // by the switch that finishes it: no launch until a build is whole again.
    void halfSwitchedGameDirectoryRefusesALaunch()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeSecondFactor(server, "pw:123456");
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home,
            {QJsonObject{{"id", 1}, {"name", "Nick"}}, accountProfile(2, "Ely", "steve", "pw")},
            {fakeBuild(1, "One"), fakeBuild(2, "Two")}, {{"activeBuildId", 1}}));
        QVERIFY(m_tools.installAgent(home));
        writeLiveBuild(home);
        ZipArchive zip;
        QVERIFY(QDir().mkpath(LauncherPaths::buildDir(2)));
        QVERIFY(zip.create(LauncherPaths::buildDir(2) + "/2026-01-01_Two.zip"));
        QVERIFY(zip.addData("../escape.txt", "x"));
        QVERIFY(zip.close());
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        const QString refusal = QStringLiteral(
            "The previous build switch did not finish — select the build again first");

        // The switch breaks off while a launch waits for its code.
        backend.launchGame(1, 0);
        QVERIFY(spies.twoFactor.wait(10000));
        backend.setActiveBuildIndex(1);
        QTRY_COMPARE_WITH_TIMEOUT(started.errors.size(), 1, 20000);
        QVERIFY(started.messages().constFirst().endsWith("Switch again."));
        backend.submitTwoFactorCode("123456");
        QTRY_COMPARE(started.errors.size(), 2);
        QCOMPARE(started.messages().constLast(), refusal);
        QVERIFY(!backend.busy());

        backend.launchGame(0, 0);
        QCOMPARE(started.messages().constLast(), refusal);
        QCOMPARE(started.errors.size(), 3);
        QCOMPARE(spies.launched.size(), 0);
        QVERIFY(!backend.gameRunning());

        // Once a build is whole again the game starts.
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        backend.setActiveBuildIndex(0);
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty(), 20000);
        backend.launchGame(0, 0);
        QTRY_COMPARE_WITH_TIMEOUT(spies.launched.size(), 1, kGameWaitMs);
        QCOMPARE(started.errors.size(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
    }

    void removingBuilds()
    {
        TempHome home;
        const QString gameDir = home.path() + "/.minecraft";
        GameDirFixture::writeFile(gameDir + "/options.txt", "build three");
        GameDirFixture::writeFile(gameDir + "/versions/1.20.1/1.20.1.json", "{}");
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"activeBuildId": 9})"));
        Started started;
        LauncherBackend& backend = *started.backend;
        for (const char* name : {"Three", "One", "Two"})
            backend.addCustomBuild(name, "", "1.20.1");
        QVERIFY(QDir().mkpath(LauncherPaths::buildDir(2)));
        ZipArchive zip;
        QVERIFY(zip.create(LauncherPaths::buildDir(2) + "/2026-01-01_One.zip"));
        QVERIFY(zip.addData("options.txt", "build one"));
        QVERIFY(zip.close());

        // "activeBuildId" names no build, so the first is the active one, in the removal
        // dialog and in the removal alike.
        QCOMPARE(backend.customBuildRemovalInfo(0).value("active").toBool(), true);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        backend.removeCustomBuild(0);
        QVERIFY(backend.switching());
        QCOMPARE(progress.first().first().toString(), QStringLiteral("Activating build \"One\"…"));
        // Until the switch ends the directory holds no stored build.
        QCOMPARE(
            readJson(home.dataDir() + "/settings.json").object().value("activeBuildId").toInt(),
            -1);
        QTRY_VERIFY_WITH_TIMEOUT(!backend.switching(), 20000);
        QFile options(gameDir + "/options.txt");
        QVERIFY(options.open(QIODevice::ReadOnly));
        QCOMPARE(options.readAll(), QByteArray("build one"));
        QCOMPARE(backend.activeBuildName(), QStringLiteral("One"));
        QCOMPARE(
            readJson(home.dataDir() + "/settings.json").object().value("activeBuildId").toInt(), 2);

        // An inactive build goes with its folder and starts nothing.
        GameDirFixture::writeFile(LauncherPaths::buildDir(3) + "/2026-01-01_Two.zip", "zip");
        backend.removeCustomBuild(1);
        QVERIFY(!backend.switching());
        QVERIFY(!QFile::exists(LauncherPaths::buildDir(3)));
        QCOMPARE(backend.customBuildNames(), QStringList({"One"}));

        // The last build: no switch, no active build left.
        active.clear();
        backend.removeCustomBuild(0);
        QVERIFY(!backend.switching());
        QCOMPARE(backend.activeBuildIndex(), -1);
        QCOMPARE(active.size(), 2);
        QCOMPARE(readJson(home.dataDir() + "/customBuilds.json").array().size(), 0);
        QCOMPARE(started.errors.size(), 0);
    }

    // A negative id names no build's folder and a shared one names another build's: such
    // builds get ids of their own at start, so switching away saves their files.
    void buildsWithUnusableIdsKeepTheirFiles()
    {
        TempHome home;
        const GameDirFixture::Fingerprint world = writeLiveBuild(home);
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"activeBuildId": -1})"));
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json", R"([
            {"id": -1, "name": "World", "minecraftVersion": "1.20.1"},
            {"id": 2, "name": "Other", "minecraftVersion": "1.20.1"},
            {"id": -2, "name": "Stored", "minecraftVersion": "1.20.1"},
            {"id": 2, "name": "Twin", "minecraftVersion": "1.20.1"}])"));
        ZipArchive zip;
        QVERIFY(QDir().mkpath(LauncherPaths::buildDir(-2)));
        QVERIFY(zip.create(LauncherPaths::buildDir(-2) + "/2026-01-01_Stored.zip"));
        QVERIFY(zip.addData("saves/stored/level.dat", "stored"));
        QVERIFY(zip.close());
        Started started;
        LauncherBackend& backend = *started.backend;
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(backend.activeBuildName(), QStringLiteral("World"));
        QList<int> ids;
        for (const QJsonValue& build : readJson(home.dataDir() + "/customBuilds.json").array())
            ids.append(build.toObject().value("id").toInt());
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, QList<int>({2, 3, 4, 5}));

        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        backend.setActiveBuildIndex(int(backend.customBuildNames().indexOf("Stored")));
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty() && !backend.switching(), 20000);
        QVERIFY(QFile::exists(gameDirOf(home) + "/saves/stored/level.dat"));
        active.clear();
        backend.setActiveBuildIndex(int(backend.customBuildNames().indexOf("World")));
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty() && !backend.switching(), 20000);
        QCOMPARE(GameDirFixture::fingerprintTree(gameDirOf(home), BuildSwitcher::sharedTopLevel()),
                 world);
        QCOMPARE(started.messages(), QStringList());
    }

    void interruptedSwitchIsFinishedAtStart()
    {
        TempHome home;
        const QString gameDir = home.path() + "/.minecraft";
        GameDirFixture::writeFile(gameDir + "/mods/half.jar", "partial");
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json",
                               R"([{"id":1,"name":"One"},{"id":2,"name":"Two"}])"));
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"activeBuildId":1})"));
        QVERIFY(home.writeFile(
            "Hollowmere/builds/index.json",
            R"({"state":"switching","from":1,"to":2,"builds":{"2":{"name":"Two"}}})"));
        QVERIFY(QDir().mkpath(home.dataDir() + "/builds/2"));
        ZipArchive zip;
        QVERIFY(zip.create(home.dataDir() + "/builds/2/2026-01-01_Two.zip"));
        QVERIFY(zip.addData("mods/two.jar", "two"));
        QVERIFY(zip.close());

        Started started;
        QCOMPARE(started.messages(),
                 QStringList({"The previous build switch to \"Two\" did not finish — restoring "
                              "the contents of .minecraft."}));
        LauncherBackend& backend = *started.backend;
        QTRY_VERIFY_WITH_TIMEOUT(!backend.switching(), 20000);
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Two"));
        QVERIFY(!QFile::exists(gameDir + "/mods/half.jar"));
        QVERIFY(QFile::exists(gameDir + "/mods/two.jar"));
    }

    void microsoftSignInAddsANewProfile()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeMicrosoftChain(server);
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/profiles.json",
                               R"([{"id": 3, "name": "Nick", "clientToken": "c"}])"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QVERIFY(backend.microsoftAvailable());
        QSignalSpy urls(&backend, &LauncherBackend::microsoftLoginUrlReady);
        QSignalSpy failed(&backend, &LauncherBackend::microsoftLoginFailed);
        QSignalSpy succeeded(&backend, &LauncherBackend::microsoftLoginSucceeded);
        QSignalSpy changed(&backend, &LauncherBackend::profilesChanged);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);

        backend.startMicrosoftLogin(-5);
        QCOMPARE(firstArguments(urls), QStringList{MsaAuthService::authorizationUrl().toString()});
        // Past the end of the list: refused, and the open window keeps its profile.
        backend.startMicrosoftLogin(1);
        QCOMPARE(firstArguments(failed), QStringList{"Profile not found"});
        QVERIFY(backend.m_msaWindow);

        const QString redirect = server.origin() + "/oauth20_desktop.srf";
        QCOMPARE(backend.inspectMicrosoftRedirect(redirect + "?code=M.C1+x%2By"),
                 (QVariantMap{{"matched", true}, {"code", "M.C1+x+y"}, {"error", ""}}));
        QCOMPARE(backend.inspectMicrosoftRedirect(redirect + "#error=access_denied"),
                 (QVariantMap{{"matched", true}, {"code", ""}, {"error", "access_denied"}}));
        QCOMPARE(backend.inspectMicrosoftRedirect("https://example.org/oauth20_desktop.srf"),
                 (QVariantMap{{"matched", false}, {"code", ""}, {"error", ""}}));

        backend.finishMicrosoftLogin("M.C1+x+y");
        QVERIFY(backend.busy());
        backend.launchGame(0, 0);
        QCOMPARE(started.messages(), QStringList{"A launch is already in progress"});
        QVERIFY(succeeded.wait(10000));
        QCOMPARE(firstArguments(succeeded), QStringList{"Steve"});
        QVERIFY(!backend.busy());
        QCOMPARE(failed.size(), 1);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(progress.size(), 4);
        QCOMPARE(server.requests("/oauth20_token.srf").constFirst().body.split('&').at(1),
                 QByteArray("code=M.C1%2Bx%2By"));

        const QJsonArray stored = readJson(home.dataDir() + "/profiles.json").array();
        QCOMPARE(stored.size(), 2);
        const QJsonObject added = stored.at(1).toObject();
        QCOMPARE(added.value("id").toInt(), 4);
        QCOMPARE(added.value("name").toString(), QStringLiteral("Steve"));
        QCOMPARE(added.value("authType").toString(), QStringLiteral("microsoft"));
        QCOMPARE(added.value("login").toString(), QString());
        QCOMPARE(added.value("password").toString(), QString());
        QCOMPARE(added.value("clientToken").toString().size(), 36);
        QCOMPARE(added.value("accessToken").toString(), QStringLiteral("mc-access"));
        QCOMPARE(added.value("refreshToken").toString(), QStringLiteral("ms-refresh-new"));
        QCOMPARE(added.value("uuid").toString(), kMicrosoftUuid);
        QCOMPARE(added.value("resolvedName").toString(), QStringLiteral("Steve"));
        QCOMPARE(added.value("xuid").toString(), QStringLiteral("2535400000000001"));
        QCOMPARE(added.value("userType").toString(), QStringLiteral("msa"));
        const QString expiry = added.value("tokenExpiry").toString();
        QVERIFY2(expiry.endsWith('Z') && expiry.size() == 20, qPrintable(expiry));
        const qint64 lifetime =
            QDateTime::currentDateTimeUtc().secsTo(QDateTime::fromString(expiry, Qt::ISODate));
        QVERIFY(lifetime > 3590 && lifetime <= 3600);
        QCOMPARE(profiles(backend).constLast().name, QStringLiteral("Steve"));

        // The window's work is done: a second code has nobody to go to.
        backend.finishMicrosoftLogin("again");
        QCOMPARE(failed.size(), 2);
        QCOMPARE(server.requestCount("/oauth20_token.srf"), 1);
    }

    // The window follows its profile by id while the list changes.
    void microsoftSignInRenewsAnExistingProfile()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeMicrosoftChain(server, 300);
        // This account hands out no new refresh token.
        server.route("/oauth20_token.srf", TestReply::json(R"({"access_token":"ms-access"})"));
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/profiles.json", R"([
            {"id": 1, "name": "First"},
            {"id": 2, "name": "Main", "login": "kept", "refreshToken": "old-refresh",
             "resolvedName": "Old"},
            {"id": 3, "name": "Bystander"}])"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy failed(&backend, &LauncherBackend::microsoftLoginFailed);
        QSignalSpy succeeded(&backend, &LauncherBackend::microsoftLoginSucceeded);
        const QString profilesFile = home.dataDir() + "/profiles.json";

        backend.startMicrosoftLogin(1);
        backend.finishMicrosoftLogin("code");
        QTRY_COMPARE(server.requestCount("/minecraft/profile"), 1);
        backend.removeProfile(0);
        QVERIFY(succeeded.wait(10000));
        QCOMPARE(failed.size(), 0);
        const Profile& renewed = profiles(backend).at(0);
        QCOMPARE(renewed.id, 2);
        QCOMPARE(renewed.name, QStringLiteral("Main"));
        QCOMPARE(renewed.login, QStringLiteral("kept"));
        QCOMPARE(renewed.authType, QStringLiteral("microsoft"));
        QCOMPARE(renewed.resolvedName, QStringLiteral("Steve"));
        QCOMPARE(renewed.accessToken, QStringLiteral("mc-access"));
        QCOMPARE(renewed.refreshToken, QStringLiteral("old-refresh"));
        QCOMPARE(profiles(backend).at(1).accessToken, QString());
        QCOMPARE(readJson(profilesFile).array().size(), 2);

        // Removed while signing in: the profile now at its old place gets nothing.
        backend.startMicrosoftLogin(0);
        backend.finishMicrosoftLogin("code");
        QTRY_COMPARE(server.requestCount("/minecraft/profile"), 2);
        backend.removeProfile(0);
        QVERIFY(failed.wait(10000));
        QCOMPARE(firstArguments(failed), QStringList{"The profile was removed while signing in"});
        QCOMPARE(profiles(backend).size(), 1);
        QCOMPARE(profiles(backend).at(0).name, QStringLiteral("Bystander"));
        QCOMPARE(profiles(backend).at(0).accessToken, QString());
        QCOMPARE(profiles(backend).at(0).authType, QStringLiteral("offline"));
        QCOMPARE(readJson(profilesFile).array().at(0).toObject().value("accessToken").toString(),
                 QString());
        QVERIFY(!backend.busy());
    }

    void cancelledOrFailedMicrosoftSignIn()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        routeMicrosoftChain(server, 300);
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/profiles.json", R"([{"id": 1, "name": "Nick"}])"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy failed(&backend, &LauncherBackend::microsoftLoginFailed);
        QSignalSpy succeeded(&backend, &LauncherBackend::microsoftLoginSucceeded);
        QSignalSpy changed(&backend, &LauncherBackend::profilesChanged);
        const QString profilesFile = home.dataDir() + "/profiles.json";
        const QByteArray storedProfiles = readBytes(profilesFile);

        // Cancelled while the code is exchanged: the result is dropped silently.
        backend.startMicrosoftLogin(-1);
        backend.finishMicrosoftLogin("code");
        QVERIFY(backend.busy());
        backend.cancelMicrosoftLogin();
        QTRY_VERIFY_WITH_TIMEOUT(!backend.busy(), 10000);
        QCOMPARE(server.requestCount("/minecraft/profile"), 1);
        backend.finishMicrosoftLogin("code");
        QCOMPARE(firstArguments(failed),
                 QStringList{"The Microsoft sign-in has already been cancelled"});
        QCOMPARE(server.requestCount("/oauth20_token.srf"), 1);

        // A window opened for another profile meanwhile is not answered by the
        // earlier window's result; its own code then signs it in.
        backend.startMicrosoftLogin(-1);
        backend.finishMicrosoftLogin("code");
        backend.startMicrosoftLogin(0);
        QTRY_VERIFY_WITH_TIMEOUT(!backend.busy(), 10000);
        QCOMPARE(succeeded.size(), 0);
        QCOMPARE(profiles(backend).size(), 1);
        QCOMPARE(readBytes(profilesFile), storedProfiles);
        QCOMPARE(changed.size(), 0);
        backend.finishMicrosoftLogin("code");
        QVERIFY(succeeded.wait(10000));
        QCOMPARE(profiles(backend).at(0).authType, QStringLiteral("microsoft"));

        // A failing chain reports the server's text and stores nothing.
        server.route("/oauth20_token.srf",
                     TestReply::json(R"({"error":"invalid_grant","error_description":"The )"
                                     R"(provided value for the code is not valid."})",
                                     400));
        const QByteArray renewed = readBytes(profilesFile);
        backend.startMicrosoftLogin(-1);
        backend.finishMicrosoftLogin("code");
        QVERIFY(failed.wait(10000));
        QCOMPARE(firstArguments(failed).constLast(),
                 QStringLiteral("The provided value for the code is not valid."));
        QCOMPARE(readBytes(profilesFile), renewed);
        QCOMPARE(profiles(backend).size(), 1);
        QVERIFY(!backend.busy());
        QCOMPARE(started.messages(), QStringList());
    }

    // ---- Catalogs and installations ----

    void versionCatalogJoinsTheManifestAndTheGameDirectory()
    {
        TempHome home;
        QVERIFY(writeFreshManifest(home, {"1.21", "1.20.4"}));
        for (const QString id : {"alpha", "Zeta", "1.21"})
            QVERIFY(writeFile(gameDirOf(home) + "/versions/" + id + "/" + id + ".json", "{}"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy catalog(&backend, &LauncherBackend::versionCatalogChanged);
        QCOMPARE(rowIds(backend.versionCatalog()), QStringList({"1.21", "Zeta", "alpha"}));

        backend.refreshVersionCatalog();
        QVERIFY(!catalog.isEmpty());
        QTRY_COMPARE(rowIds(backend.versionCatalog()),
                     QStringList({"1.21", "1.20.4", "Zeta", "alpha"}));
        const QVariantList rows = backend.versionCatalog();
        QCOMPARE(rows.at(0).toMap().value("installed").toBool(), true);
        QCOMPARE(rows.at(1).toMap().value("installed").toBool(), false);
        QCOMPARE(rows.at(2).toMap().value("category").toString(), QStringLiteral("other"));
        QVERIFY(backend.isVersionInstalled("Zeta"));
        QVERIFY(!backend.isVersionInstalled(" Zeta"));
        QVERIFY(!backend.isVersionInstalled("1.20.4"));
        QVERIFY(!backend.catalogLoading());

        // A removal is seen at the next read, once.
        QSignalSpy installed(&backend, &LauncherBackend::installedVersionsChanged);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        catalog.clear();
        backend.removeVersion(" alpha ");
        QCOMPARE(catalog.size(), 1);
        QCOMPARE(installed.size(), 1);
        QCOMPARE(firstArguments(progress), QStringList{"Version \"alpha\" removed"});
        QCOMPARE(backend.installedVersions(), QStringList({"1.21", "Zeta"}));
        QCOMPARE(rowIds(backend.versionCatalog()), QStringList({"1.21", "1.20.4", "Zeta"}));
        QCOMPARE(started.messages(), QStringList());
    }

    // With the game running from a managed runtime, a version being downloaded and
    // another queued, removals are refused in order; each goes once its turn comes.
    void removalsWaitForDownloadsAndTheGame()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        server.route("/mc/game/version_manifest_v2.json", TestReply::json("{}").delayed(60000));
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {QJsonObject{{"id", 1}, {"name", "Nick"}}},
                                    {fakeBuild(1, "Build")},
                                    {{"jvmArgs", "-Dfake.wait=60000"}, {"javaRuntime", "rt-a"}}));
        QVERIFY(installRuntime("rt-a") && installRuntime("rt-b"));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        backend.launchGame(0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(firstArguments(spies.output).contains("waiting"), kGameWaitMs);
        QVERIFY(runsOf("rt-a") > 0);

        backend.installVersion("1.20.4");
        backend.installVersion(" queued-1.0 ");
        QVERIFY(backend.m_versionInstaller->isQueued("queued-1.0"));
        backend.removeVersion("queued-1.0");
        backend.removeVersion(kFakeVersion);
        backend.cancelDownload();
        QVERIFY(!backend.downloading());
        backend.removeVersion(kFakeVersion);
        backend.removeJavaRuntime("rt-b");
        backend.setBusy(Operation::Launch, true);
        backend.removeJavaRuntime("rt-b");
        backend.setBusy(Operation::Launch, false);
        QCOMPARE(started.messages(),
                 QStringList({"This version is being downloaded right now",
                              "Wait for the current operation to finish", "Close the game first",
                              "Close the game first", "Wait for the current operation to finish"}));
        QVERIFY(
            firstArguments(spies.progress).contains("Download of version \"1.20.4\" cancelled"));
        QVERIFY(QFileInfo::exists(JavaRuntimeStore::dirFor("rt-b")));

        backend.stopGame();
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
        QSignalSpy settingsChanged(&backend, &LauncherBackend::settingsChanged);
        QSignalSpy javaRows(&backend, &LauncherBackend::javaCatalogChanged);
        backend.removeJavaRuntime("rt-b");
        QCOMPARE(backend.settings().value("javaRuntime").toString(), QStringLiteral("rt-a"));
        QCOMPARE(settingsChanged.size(), 0);
        backend.removeJavaRuntime("rt-a");
        QCOMPARE(settingsChanged.size(), 1);
        QCOMPARE(javaRows.size(), 2);
        QCOMPARE(readJson(home.dataDir() + "/settings.json")["javaRuntime"].toString(), QString());
        QCOMPARE(rowIds(backend.javaCatalog()), QStringList());
        backend.removeVersion(kFakeVersion);
        QVERIFY(!backend.isVersionInstalled(kFakeVersion));
        QCOMPARE(firstArguments(spies.progress).mid(firstArguments(spies.progress).size() - 3),
                 QStringList(
                     {"Java build removed", "Java build removed", "Version \"fake-1.0\" removed"}));
        QCOMPARE(started.errors.size(), 5);
    }

    // Java and a game version install side by side; the panel shows the version, then
    // Java, and a cancel reaches the one shown.
    void overlappingInstallsShowOneDownload()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        server.route("/jdk.tar.gz", TestReply::ok(QByteArray(4096, 'x')).stalledAfter(16));
        server.route("/mc/game/version_manifest_v2.json", TestReply::notFound().delayed(800));
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({"language": "en"})"));
        QVERIFY(writeFreshJavaCatalog(home, server.url("/jdk.tar.gz").toString()));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy busy(&backend, &LauncherBackend::busyChanged);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);
        QSignalSpy versionStarted(backend.m_versionInstaller, &VersionInstaller::started);
        QCOMPARE(backend.downloadVersion() + backend.downloadStatus(), QString());

        backend.refreshJavaCatalog();
        QTRY_COMPARE(rowIds(backend.javaCatalog()), QStringList{"temurin-jdk-21"});
        backend.installJavaRuntime("temurin-jdk-8");
        backend.installJavaRuntime("temurin-jdk-21");
        const QString java = backend.m_javaInstaller->status().label;
        QCOMPARE(firstArguments(progress), QStringList{"Downloading Java \"" + java + "\"…"});
        QVERIFY(backend.busy());
        QCOMPARE(busy.size(), 1);
        QCOMPARE(backend.downloadVersion(), java);
        backend.installJavaRuntime("temurin-jdk-21");
        backend.removeJavaRuntime("temurin-jdk-21");

        // A new build asks for its game version; asking again changes nothing.
        backend.addCustomBuild("New", "", " 1.20.4 ");
        backend.installVersion("1.20.4");
        QCOMPARE(versionStarted.size(), 1);
        QCOMPARE(backend.downloadVersion(), QStringLiteral("1.20.4"));
        QVERIFY(!backend.downloadStatus().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(backend.downloadVersion(), java, 10000);
        QVERIFY(backend.downloading());
        QVERIFY(started.messages().constLast().startsWith("Could not download version \"1.20.4\""));

        backend.cancelDownload();
        QVERIFY(!backend.busy());
        QVERIFY(!backend.downloading());
        QCOMPARE(firstArguments(progress).constLast(),
                 "Download of Java \"" + java + "\" cancelled");
        QCOMPARE(started.messages().mid(0, 3),
                 QStringList({"Java build \"temurin-jdk-8\" was not found in the catalog",
                              "Java \"" + java + "\" is being installed — wait for it to finish",
                              "This Java build is being downloaded right now"}));
        QCOMPARE(started.errors.size(), 4);
        // Each installer's start and end.
        QCOMPARE(busy.size(), 4);
    }

    void loaderInstallUpdatesItsBuild()
    {
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        serveFabric(server);
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home, {},
            {QJsonObject{{"id", 1},
                         {"name", "Modded"},
                         {"minecraftVersion", kFabricGame},
                         {"loader", "fabric"},
                         {"loaderVersion", "0.16.10"}},
             QJsonObject{{"id", 2},
                         {"name", "Plain"},
                         {"minecraftVersion", kFabricGame},
                         {"resolvedVersionId", "fabric-loader-0.15.0-1.20.1"}},
             QJsonObject{{"id", 3}, {"name", "Empty"}, {"minecraftVersion", " "}},
             QJsonObject{{"id", 4},
                         {"name", "Unpicked"},
                         {"minecraftVersion", kFabricGame},
                         {"loader", "quilt"}}}));
        QVERIFY(m_tools.installFakeGame(gameDirOf(home), kFabricGame));
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy builds(&backend, &LauncherBackend::customBuildsChanged);
        QSignalSpy progress(&backend, &LauncherBackend::launchProgress);

        backend.installLoaderForBuild(2);
        backend.installLoaderForBuild(3);
        backend.installLoaderForBuild(9);
        // A build without a loader launches its game version, installed already.
        backend.installCustomBuild(1);
        backend.installCustomBuild(1);
        QCOMPARE(builds.size(), 1);
        QCOMPARE(backend.customBuildAt(1).value("launchVersionId").toString(), kFabricGame);
        QVERIFY(!backend.downloading());

        backend.installCustomBuild(0);
        QVERIFY(backend.busy());
        backend.installLoaderForBuild(1);
        QTRY_VERIFY_WITH_TIMEOUT(!backend.busy(), 20000);
        QCOMPARE(started.messages(), QStringList({"First pick a Minecraft version for build "
                                                  "\"Empty\"",
                                                  "Pick a Quilt Loader version for build "
                                                  "\"Unpicked\"",
                                                  "Wait for the current download to finish"}));
        QVERIFY(firstArguments(progress).contains("Done: " + kFabricLoaderId +
                                                  " for Minecraft 1.20.1"));
        const QVariantMap modded = backend.customBuildAt(0);
        QCOMPARE(modded.value("resolvedVersionId").toString(), kFabricLoaderId);
        QCOMPARE(modded.value("loader").toString(), QStringLiteral("fabric"));
        QCOMPARE(modded.value("loaderVersion").toString(), QStringLiteral("0.16.10"));
        QCOMPARE(readJson(home.dataDir() + "/customBuilds.json")[0]["resolvedVersionId"].toString(),
                 kFabricLoaderId);
        QVERIFY(backend.installedVersions().contains(kFabricLoaderId));
        QCOMPARE(backend.checkInstallation(0), QStringList());
        QCOMPARE(backend.loaderVersions("fabric", kFabricGame).size(), 1);
        QVERIFY(backend.loaderVersions("Fabric", kFabricGame).isEmpty());
    }

    // A game folder no game can run from is named so by every check that tells whether a
    // build can be played and by every install into it, as Play names it; nothing is
    // fetched into it. Saved in the settings, it is kept, and told at once.
    void folderNoGameRunsFromIsNamedByEveryCheck_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("builds dialog's status") << "check";
        QTest::newRow("version install") << "version";
        QTest::newRow("loader install") << "loader";
        QTest::newRow("settings saved") << "settings";
    }

    void folderNoGameRunsFromIsNamedByEveryCheck()
    {
        QFETCH(QString, action);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        serveFabric(server);
        TempHome home;
        // As a share mounted through the desktop reads.
        const QString gameDir = home.path() + "/smb-share:server=nas,share=games/minecraft";
        QJsonObject settings;
        if (action != "settings")
            settings.insert("gameDir", gameDir);
        QVERIFY(m_tools.prepareHome(
            home, {},
            {QJsonObject{{"id", 1},
                         {"name", "Modded"},
                         {"minecraftVersion", kFabricGame},
                         {"loader", "fabric"},
                         {"loaderVersion", "0.16.10"}},
             QJsonObject{{"id", 2}, {"name", "Plain"}, {"minecraftVersion", kFabricGame}}},
            settings));
        QVERIFY(m_tools.installFakeGame(gameDir, kFabricGame));
        Started started;
        LauncherBackend& backend = *started.backend;
        const QString reason =
            Loc::text("launch.error.gameDirHasColon").arg(native(gameDir), QStringLiteral(":"));

        if (action == "check")
            QCOMPARE(backend.checkInstallation(1), QStringList{reason});
        else if (action == "version")
            backend.installVersion("1.20.4");
        else if (action == "loader")
            backend.installCustomBuild(0);
        else
            backend.updateSettings({{"gameDir", gameDir}});
        QCOMPARE(started.messages(), action == "check" ? QStringList() : QStringList{reason});
        QVERIFY(!backend.busy() && !backend.downloading());
        QCOMPARE(backend.settings().value("gameDir").toString(), gameDir);
        QTest::qWait(100);
        QCOMPARE(server.requestCount(), 0);
    }

    // Only a list that arrived tells the loader row that a game version has no loader.
    void loaderListsThatFailAreNotKnown_data()
    {
        QTest::addColumn<TestReply>("reply");
        QTest::addColumn<bool>("known");
        QTest::addColumn<bool>("reported");
        QTest::newRow("server error") << TestReply::status(500) << false << true;
        QTest::newRow("connection closed")
            << TestReply::json(R"([{"loader": {"version": "0.16.10"}}])").closedAfter(0) << false
            << true;
        QTest::newRow("not a list") << TestReply::text("<html>busy</html>") << false << true;
        QTest::newRow("no version for the game") << TestReply::json("[]") << true << false;
    }

    void loaderListsThatFailAreNotKnown()
    {
        QFETCH(TestReply, reply);
        QFETCH(bool, known);
        QFETCH(bool, reported);
        TestServer server;
        RemoteAddresses::setAllOriginsForTesting(server.origin());
        server.route("/v2/versions/loader/1.21", reply);
        TempHome home;
        Started started;
        LauncherBackend& backend = *started.backend;
        QSignalSpy changed(&backend, &LauncherBackend::loaderVersionsChanged);

        QVERIFY(!backend.loaderVersionsKnown("fabric", "1.21"));
        backend.refreshLoaderVersions("fabric", "1.21");
        QVERIFY(backend.loaderVersionsLoading("fabric", "1.21"));
        QVERIFY(!backend.loaderVersionsKnown("fabric", "1.21"));
        QTRY_VERIFY_WITH_TIMEOUT(!backend.loaderVersionsLoading("fabric", "1.21"), 10000);
        QVERIFY(!changed.isEmpty());
        QCOMPARE(backend.loaderVersionsKnown("fabric", "1.21"), known);
        QVERIFY(backend.loaderVersions("fabric", "1.21").isEmpty());
        QCOMPARE(started.errors.size(), reported ? 1 : 0);
        QVERIFY(!backend.loaderVersionsKnown("fabric", "1.20.1"));
        QVERIFY(!backend.loaderVersionsKnown("Fabric", "1.21"));
    }

    // A build without version fields launches the installed version it is named after;
    // any other name names no version.
    void buildsWithoutAVersion_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("minecraftVersion");
        QTest::addColumn<QString>("launchVersionId");
        const QString none;
        QTest::newRow("new build") << "Build 1" << none << none;
        QTest::newRow("blank game version") << "Build 1"
                                            << "  " << QStringLiteral("  ");
        QTest::newRow("named after an installed version") << kFakeVersion << "" << kFakeVersion;
    }

    void buildsWithoutAVersion()
    {
        QFETCH(QString, name);
        QFETCH(QString, minecraftVersion);
        QFETCH(QString, launchVersionId);
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home, {QJsonObject{{"id", 1}, {"name", "Nick"}}},
            {QJsonObject{{"id", 1}, {"name", name}, {"minecraftVersion", minecraftVersion}}}));
        Started started;
        LauncherBackend& backend = *started.backend;
        LaunchSpies spies(backend);
        QCOMPARE(backend.customBuildAt(0).value("launchVersionId").toString(), launchVersionId);
        const QStringList problems = backend.checkInstallation(0);
        backend.launchGame(0, 0);

        const QString buildsFile = native(home.dataDir() + "/customBuilds.json");
        if (launchVersionId.trimmed().isEmpty()) {
            QCOMPARE(problems, QStringList{"The build has no Minecraft version selected. Check " +
                                           buildsFile});
            QCOMPARE(started.messages(),
                     QStringList{"Build \"" + name +
                                 "\" has no Minecraft version selected. Check " + buildsFile});
            QCOMPARE(spies.launched.size(), 0);
            return;
        }
        QCOMPARE(problems, QStringList());
        QCOMPARE(started.messages(), QStringList());
        QCOMPARE(spies.launched.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(spies.finished.size(), 1, kGameWaitMs);
    }

    void checkInstallationNamesWhatIsMissing()
    {
        TempHome home;
        QVERIFY(m_tools.prepareHome(
            home, {},
            {fakeBuild(1, "Complete"),
             QJsonObject{{"id", 2}, {"name", "Broken"}, {"minecraftVersion", "broken-1.0"}},
             QJsonObject{{"id", 3}, {"name", "Absent"}, {"minecraftVersion", "absent-1.0"}}}));
        const QString gameDir = gameDirOf(home);
        QVERIFY(writeFile(gameDir + "/versions/broken-1.0/broken-1.0.json",
                          fakeVersionJson("broken-1.0", 2)));
        Started started;
        LauncherBackend& backend = *started.backend;
        backend.addCustomBuild(" ", "");

        QCOMPARE(backend.checkInstallation(0), QStringList());
        const QStringList broken = backend.checkInstallation(1);
        QCOMPARE(broken.size(), 3);
        QCOMPARE(broken.constFirst(), native(gameDir + "/versions/broken-1.0/broken-1.0.jar"));
        QVERIFY(broken.constLast().endsWith(native("/missing1/1.0/missing1-1.0.jar")));
        QCOMPARE(backend.checkInstallation(2),
                 QStringList{"Version file not found: " +
                             native(gameDir + "/versions/absent-1.0/absent-1.0.json")});
        QCOMPARE(backend.checkInstallation(3),
                 QStringList{"The build has no Minecraft version selected. Check " +
                             native(home.dataDir() + "/customBuilds.json")});
        QCOMPARE(backend.checkInstallation(-1), QStringList{"No build selected"});
        QCOMPARE(backend.checkInstallation(4), QStringList{"No build selected"});
        QCOMPARE(backend.requiredJavaMajor(-1), 0);
        QCOMPARE(backend.requiredJavaMajor(1), JavaRequirement::minimumFor("broken-1.0"));
    }

    // The probes run when asked, once per executable in the process.
    void detectedJavaProbesEachExecutableOnce()
    {
        TempHome home;
        QVERIFY(installRuntime("rt-probe"));
        Started started;
        QCOMPARE(runsOf("rt-probe"), 0);
        const QString line =
            "Java 17 — " + native(JavaRuntimeStore::dirFor("rt-probe") + "/bin/java");
        QCOMPARE(started.backend->detectedJava().constFirst(), line);
        QCOMPARE(runsOf("rt-probe"), 1);
        QCOMPARE(started.backend->detectedJava().constFirst(), line);
        QCOMPARE(runsOf("rt-probe"), 1);
    }

    void foldersOpenOnlyAsFolders_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QStringList>("errors");
        const QString modsFailed = "Could not open the mods folder";
        const QString gameFailed = "Could not open the game folder";
        QTest::newRow("made when missing") << QByteArrayList{} << "game|game/mods" << QStringList{};
        QTest::newRow("game folder is a file")
            << QByteArrayList{"game=not a folder"} << "" << QStringList{gameFailed, modsFailed};
        QTest::newRow("mods is a file")
            << QByteArrayList{"game/mods=not a folder"} << "game" << QStringList{modsFailed};
    }

    void foldersOpenOnlyAsFolders()
    {
        QFETCH(QByteArrayList, entries);
        QFETCH(QString, opened);
        QFETCH(QStringList, errors);
        TempHome home;
        QVERIFY(writeTree(home.path(), entries));
        Started started;
        started.backend->updateSettings({{"gameDir", home.path() + "/game"}});
        DesktopStandIn desktop;
        started.backend->openGameFolder();
        started.backend->openMinecraftFolder();
        QStringList openedPaths;
        for (const QUrl& url : desktop.opened)
            openedPaths.append(url.toLocalFile().mid(home.path().size() + 1));
        QCOMPARE(openedPaths.join('|'), opened);
        QCOMPARE(started.messages(), errors);
    }

    // Removing the active build starts the next one's activation; when that fails with
    // the directory untouched, what is there is the removed build's, never the next's.
    void failedActivationNeverArchivesTheRemovedBuild()
    {
        TempHome home;
        QVERIFY(m_tools.prepareHome(home, {QJsonObject{{"id", 1}, {"name", "Nick"}}},
                                    {fakeBuild(1, "Gone"), fakeBuild(2, "Next")},
                                    {{"activeBuildId", 1}}));
        const QString gameDir = gameDirOf(home);
        QVERIFY(writeFile(gameDir + "/options.txt", "removed build"));
        ZipArchive zip;
        const QString nextArchive = LauncherPaths::buildDir(2) + "/2026-01-01_Next.zip";
        QVERIFY(QDir().mkpath(LauncherPaths::buildDir(2)));
        QVERIFY(zip.create(nextArchive));
        QVERIFY(zip.addData("options.txt", "next build"));
        QVERIFY(zip.close());
        const QByteArray archived = readBytes(nextArchive);
        const QString index = home.dataDir() + "/builds/index.json";
        QFile::remove(index);
        QVERIFY(QDir().mkpath(index));
        Started started;
        LauncherBackend& backend = *started.backend;

        backend.removeCustomBuild(0);
        QTRY_COMPARE_WITH_TIMEOUT(started.errors.size(), 1, 20000);
        QVERIFY(started.messages().constFirst().startsWith("The build was not switched"));
        QCOMPARE(readBytes(gameDir + "/options.txt"), QByteArray("removed build"));
        QCOMPARE(backend.activeBuildName(), QStringLiteral("Next"));
        backend.launchGame(0, 0);
        QCOMPARE(started.messages().constLast(),
                 "The previous build switch did not finish — select the build again first");

        // Selecting the build shown active restores it over the leftovers, unsaved.
        QVERIFY(QDir(index).removeRecursively());
        QSignalSpy active(&backend, &LauncherBackend::activeBuildChanged);
        backend.setActiveBuildIndex(0);
        QTRY_VERIFY_WITH_TIMEOUT(!active.isEmpty() && !backend.switching(), 20000);
        QCOMPARE(readBytes(gameDir + "/options.txt"), QByteArray("next build"));
        QCOMPARE(backend.m_buildSwitcher->archivePathOf(2), nextArchive);
        QCOMPARE(readBytes(nextArchive), archived);
        QCOMPARE(readJson(home.dataDir() + "/settings.json")["activeBuildId"].toInt(), 2);
        QCOMPARE(started.errors.size(), 2);
    }

    // The folder a switch left half cleared is no game to adopt at a first start.
    void firstRunDuringAnUnfinishedSwitchImportsNothing()
    {
        TempHome home;
        QVERIFY(
            writeTree(home.path(), {".minecraft/versions/1.20.1/1.20.1.json={\"id\":\"1.20.1\"}",
                                    ".minecraft/mods/half.jar=partial"}));
        QVERIFY(home.writeFile(
            "Hollowmere/builds/index.json",
            R"({"state":"switching","from":1,"to":2,"builds":{"2":{"name":"Two"}}})"));
        Started started;
        QCOMPARE(started.imported.size(), 0);
        QCOMPARE(started.backend->customBuildNames(), QStringList());
        QCOMPARE(started.messages().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestLauncherBackend)
#include "tst_launcherbackend.moc"
