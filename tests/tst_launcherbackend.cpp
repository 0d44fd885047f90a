#include "launcherbackend.h"
#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"
#include "temphome.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {
constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                             QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteOther | QFileDevice::ExeOther;

QJsonDocument readJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll());
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString corruptLine(const QString& path, const QString& reason)
{
    return QStringLiteral("File %1 is corrupted (%2). A copy was saved as %3 and the file was "
                          "created anew.")
        .arg(native(path), reason, native(path + QStringLiteral(".bak")));
}

bool ownerOnly(const QString& path)
{
    const QFileDevice::Permissions permissions = QFile::permissions(path);
    return (permissions & kOthers) == 0 && permissions.testFlag(QFileDevice::ReadOwner) &&
           permissions.testFlag(QFileDevice::WriteOwner);
}

// A path that can never become a file, whoever runs the test: its parent is a
// regular file.
QString blockedPath(const TempHome& home, const QString& name)
{
    home.writeFile(QStringLiteral("blocker"), "not a directory");
    return home.path() + QStringLiteral("/blocker/") + name;
}

// Records named by their position in the file, sorted by id and, among equal
// ids, by that position.
template <typename Record> bool inIdThenFileOrder(const QList<Record>& records)
{
    for (qsizetype i = 1; i < records.size(); ++i) {
        const Record& before = records.at(i - 1);
        const Record& after = records.at(i);
        if (before.id > after.id ||
            (before.id == after.id && before.name.toInt() > after.name.toInt()))
            return false;
    }
    return true;
}

// A backend together with the messages it sent in its first event-loop turns.
struct Started {
    Started() : errors(backend.get(), &LauncherBackend::launchError)
    {
        // Nothing reaches the interface before the event loop runs.
        constructedSilently = errors.isEmpty();
        QTest::qWait(20);
    }

    QStringList messages() const
    {
        QStringList texts;
        for (const QList<QVariant>& arguments : errors)
            texts.append(arguments.constFirst().toString());
        return texts;
    }

    std::unique_ptr<LauncherBackend> backend = std::make_unique<LauncherBackend>();
    QSignalSpy errors;
    bool constructedSilently = false;
};
} // namespace

class TestLauncherBackend : public QObject {
    Q_OBJECT

private:
    static const QList<LauncherBackend::Profile>& profiles(const LauncherBackend& backend)
    {
        return backend.m_profiles;
    }
    static const QList<LauncherBackend::CustomBuild>& builds(const LauncherBackend& backend)
    {
        return backend.m_customBuilds;
    }

    TempHome m_catalogHome;

private slots:
    void initTestCase()
    {
        QVERIFY(m_catalogHome.writeFile(QStringLiteral("Hollowmere/settings.json"),
                                        R"({"language":"en"})"));
        QVERIFY(Localization::instance()->load());
    }

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

    void legacyBuildsAreMigrated()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", "{}"));
        const QByteArray legacy = R"([
            {"id": 3, "name": "Old", "serverUrl": "mc.example.org", "versionId": "1.12.2"},
            {"id": 1, "name": "First", "serverUrl": "", "versionId": "1.7.10"}
        ])";
        QVERIFY(home.writeFile("Hollowmere/versions.json", legacy));
        QVERIFY(home.writeFile("Hollowmere/versions.json.migrated", "stale"));
        Started started;
        QCOMPARE(started.messages(), QStringList());

        const QString dir = home.dataDir();
        QVERIFY(!QFile::exists(dir + "/versions.json"));
        QCOMPARE(readBytes(dir + "/versions.json.migrated"), legacy);
        const QJsonArray converted = readJson(dir + "/customBuilds.json").array();
        QCOMPARE(converted.size(), 2);
        QCOMPARE(converted.at(0).toObject(), (QJsonObject{{"id", 3},
                                                          {"name", "Old"},
                                                          {"serverUrl", "mc.example.org"},
                                                          {"minecraftVersion", "1.12.2"},
                                                          {"loader", ""},
                                                          {"loaderVersion", ""},
                                                          {"resolvedVersionId", ""}}));

        const auto& loaded = builds(*started.backend);
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded.at(0).name, QStringLiteral("First"));
        QCOMPARE(loaded.at(1).minecraftVersion, QStringLiteral("1.12.2"));
        QCOMPARE(started.backend->m_nextBuildId, 4);
    }

    void legacyEdgeCases()
    {
        {
            // An empty legacy list is converted like any other.
            TempHome home;
            QVERIFY(home.writeFile("Hollowmere/versions.json", "[]"));
            Started started;
            QCOMPARE(started.messages(), QStringList());
            QCOMPARE(readJson(home.dataDir() + "/customBuilds.json"), QJsonDocument(QJsonArray()));
            QVERIFY(QFile::exists(home.dataDir() + "/versions.json.migrated"));
        }
        {
            // A broken legacy file is set aside and not recreated; the builds file is.
            TempHome home;
            QVERIFY(home.writeFile("Hollowmere/versions.json", "garbage"));
            Started started;
            QCOMPARE(started.errors.size(), 1);
            QVERIFY(started.messages().constFirst().startsWith(
                QStringLiteral("File %1 is corrupted")
                    .arg(native(home.dataDir() + "/versions.json"))));
            QVERIFY(!QFile::exists(home.dataDir() + "/versions.json"));
            QCOMPARE(readBytes(home.dataDir() + "/versions.json.bak"), QByteArray("garbage"));
            QCOMPARE(readJson(home.dataDir() + "/customBuilds.json"), QJsonDocument(QJsonArray()));
        }
        {
            // Converted, but the old file cannot be renamed: both stay, with a warning.
            TempHome home;
            QVERIFY(home.writeFile("Hollowmere/versions.json", R"([{"id": 1, "name": "A"}])"));
            QVERIFY(home.writeFile("Hollowmere/versions.json.migrated/keep", "occupied"));
            Started started;
            const QString dir = home.dataDir();
            QCOMPARE(started.messages(),
                     QStringList{QStringLiteral("The builds were moved to %1, but the old file %2 "
                                                "could not be deleted")
                                     .arg(native(dir + "/customBuilds.json"),
                                          native(dir + "/versions.json"))});
            QVERIFY(QFile::exists(dir + "/versions.json"));
            QCOMPARE(builds(*started.backend).size(), 1);
        }
    }

    // A legacy file that cannot be read keeps its builds for a later start: it is
    // neither converted nor renamed, and no empty builds file takes its place.
    void unreadableLegacyFileIsKept()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/versions.json/entry", "a folder, so it cannot be read"));
        Started started;
        const QString dir = home.dataDir();
        QCOMPARE(started.errors.size(), 1);
        const QStringList lines = started.messages().constFirst().split('\n');
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.constFirst().startsWith(
                     QStringLiteral("Could not read %1: ").arg(native(dir + "/versions.json"))),
                 qPrintable(lines.constFirst()));
        QVERIFY(QFileInfo(dir + "/versions.json").isDir());
        QVERIFY(!QFile::exists(dir + "/versions.json.migrated"));
        QVERIFY(!QFile::exists(dir + "/customBuilds.json"));
        QVERIFY(QFile::exists(dir + "/settings.json"));
        QVERIFY(QFile::exists(dir + "/profiles.json"));
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

    void buildEntries()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json", R"([
            {"id": 2, "name": "Only a legacy version", "versionId": "1.20.1"},
            {"id": 9, "name": "  ", "minecraftVersion": ""},
            42,
            {"id": 1, "name": "Fabric", "minecraftVersion": "1.19", "loader": "fabric",
             "seasonalId": "spring", "seasonalRevision": 3}
        ])"));
        Started started;
        const QString file = home.dataDir() + "/customBuilds.json";
        QCOMPARE(started.messages(),
                 QStringList{QStringLiteral("Builds without a name and a Minecraft version were "
                                            "skipped in %1: 2")
                                 .arg(native(file))});

        LauncherBackend& backend = *started.backend;
        const auto& loaded = builds(backend);
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded.at(0).loader, QStringLiteral("fabric"));
        QCOMPARE(loaded.at(0).seasonalRevision, 3);
        QCOMPARE(loaded.at(1).minecraftVersion, QStringLiteral("1.20.1"));
        QCOMPARE(backend.m_nextBuildId, 3);

        // The file is read only: the skipped entries go with the next save.
        QCOMPARE(readJson(file).array().size(), 4);
        backend.saveCustomBuilds();
        const QJsonArray saved = readJson(file).array();
        QCOMPARE(saved.size(), 2);
        QCOMPARE(saved.at(1).toObject().keys().size(), 9);
        QCOMPARE(saved.at(1).toObject().value("minecraftVersion").toString(),
                 QStringLiteral("1.20.1"));
        QVERIFY(!saved.at(1).toObject().contains("versionId"));

        QCOMPARE(backend.indexOfBuildId(2), 1);
        QCOMPARE(backend.indexOfBuildId(9), -1);
        LauncherBackend::CustomBuild bare;
        bare.name = QStringLiteral("Named only");
        QCOMPARE(LauncherBackend::launchVersionIdOf(bare), QStringLiteral("Named only"));
        QCOMPARE(LauncherBackend::launchVersionIdOf(loaded.at(1)), QStringLiteral("1.20.1"));
    }

    void profileEntries()
    {
        TempHome home;
        const QByteArray stored = R"([
            {"id": 5, "name": "five", "authType": "Microsoft", "clientToken": "token-5",
             "refreshToken": "refresh"},
            {"id": 2, "name": "two", "authType": 7},
            "not an object"
        ])";
        QVERIFY(home.writeFile("Hollowmere/profiles.json", stored));
        Started started;
        QCOMPARE(started.messages(), QStringList());

        LauncherBackend& backend = *started.backend;
        const auto& loaded = profiles(backend);
        QCOMPARE(loaded.size(), 3);
        QCOMPARE(loaded.at(0).id, 0);
        QCOMPARE(loaded.at(0).name, QString());
        QCOMPARE(loaded.at(0).authType, QStringLiteral("offline"));
        QCOMPARE(loaded.at(1).name, QStringLiteral("two"));
        QCOMPARE(loaded.at(1).authType, QStringLiteral("offline"));
        QCOMPARE(loaded.at(2).authType, QStringLiteral("Microsoft"));
        QCOMPARE(loaded.at(2).clientToken, QStringLiteral("token-5"));
        QCOMPARE(loaded.at(2).refreshToken, QStringLiteral("refresh"));
        QCOMPARE(backend.m_nextProfileId, 6);

        // Missing client tokens are made up, but written only with the next save.
        const QString token = loaded.at(1).clientToken;
        QCOMPARE(token.size(), 36);
        for (const int dash : {8, 13, 18, 23})
            QCOMPARE(token.at(dash), QLatin1Char('-'));
        QVERIFY(token != loaded.at(0).clientToken);
        const QString file = home.dataDir() + "/profiles.json";
        QCOMPARE(readBytes(file), stored);

        QVERIFY(QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ReadOther));
        backend.saveProfiles();
        QVERIFY(ownerOnly(file));
        const QJsonArray saved = readJson(file).array();
        QCOMPARE(saved.size(), 3);
        QCOMPARE(saved.at(1).toObject().value("clientToken").toString(), token);
        QCOMPARE(saved.at(2).toObject().keys().size(), 13);
        QCOMPARE(saved.at(2).toObject().value("id"), QJsonValue(5));
        // The save file leaves nothing else behind.
        QCOMPARE(QDir(home.dataDir()).entryList(QDir::Files, QDir::Name),
                 (QStringList{"customBuilds.json", "profiles.json", "settings.json"}));
    }

    // Entries that share an id keep the order of their file.
    void equalIdsKeepTheirOrder()
    {
        TempHome home;
        QJsonArray storedProfiles;
        QJsonArray storedBuilds;
        for (int i = 0; i < 40; ++i) {
            const QString name = QString::number(i);
            storedProfiles.append(QJsonObject{{"id", (i * 7) % 3}, {"name", name}});
            storedBuilds.append(QJsonObject{{"id", (i * 5) % 4}, {"name", name}});
        }
        QVERIFY(home.writeFile("Hollowmere/profiles.json", QJsonDocument(storedProfiles).toJson()));
        QVERIFY(
            home.writeFile("Hollowmere/customBuilds.json", QJsonDocument(storedBuilds).toJson()));
        Started started;

        QCOMPARE(profiles(*started.backend).size(), 40);
        QVERIFY(inIdThenFileOrder(profiles(*started.backend)));
        QCOMPARE(builds(*started.backend).size(), 40);
        QVERIFY(inIdThenFileOrder(builds(*started.backend)));
    }

    void settingsKeepUnknownKeysAndDropOldOnes()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({
            "launcherName": "Old", "launcherVersion": "0.9", "custom": {"nested": [1, 2]},
            "maxMemoryMb": 2048, "windowWidth": "wide", "gameDir": "   "
        })"));
        Started started;
        LauncherBackend& backend = *started.backend;
        QCOMPARE(LauncherBackend::settingInt(backend.m_settings, "maxMemoryMb", 4096), 2048);
        QCOMPARE(LauncherBackend::settingInt(backend.m_settings, "windowWidth", 0), 0);
        QCOMPARE(LauncherBackend::settingInt(backend.m_settings, "minMemoryMb", 1), 512);
        QCOMPARE(LauncherBackend::settingInt(backend.m_settings, "absent", 7), 7);
        QCOMPARE(backend.gameDir(), LauncherPaths::defaultMinecraftDir());

        backend.updateSettings({{"gameDir", "/games/mc/"}});
        QCOMPARE(backend.gameDir(), QStringLiteral("/games/mc/"));
        const QJsonObject saved = readJson(home.dataDir() + "/settings.json").object();
        QVERIFY(!saved.contains("launcherName"));
        QVERIFY(!saved.contains("launcherVersion"));
        QCOMPARE(saved.value("custom").toObject(), (QJsonObject{{"nested", QJsonArray{1, 2}}}));
        QCOMPARE(saved.value("maxMemoryMb"), QJsonValue(2048));
        QCOMPARE(saved.value("windowWidth"), QJsonValue("wide"));
        QCOMPARE(saved.value("minMemoryMb"), QJsonValue(512));
    }

    void updateSettingsSwitchesTheLanguage()
    {
        TempHome home;
        Started started;
        LauncherBackend& backend = *started.backend;
        Localization* catalog = Localization::instance();
        QCOMPARE(catalog->language(), QStringLiteral("en"));
        QSignalSpy settingsChanged(&backend, &LauncherBackend::settingsChanged);
        QSignalSpy languageChanged(catalog, &Localization::languageChanged);
        // The language is stored before anyone hears of the change.
        QString storedWhenNotified;
        connect(&backend, &LauncherBackend::settingsChanged, this, [&] {
            storedWhenNotified =
                readJson(home.dataDir() + "/settings.json").object().value("language").toString();
        });

        backend.updateSettings({{"language", "ru"}});
        QCOMPARE(settingsChanged.size(), 1);
        QCOMPARE(storedWhenNotified, QStringLiteral("ru"));
        QCOMPARE(languageChanged.size(), 1);
        QCOMPARE(Loc::text("common.button.cancel"), QStringLiteral("Отмена"));

        backend.updateSettings({{"jvmArgs", "-Xss2M"}, {"language", "ru"}});
        QCOMPARE(settingsChanged.size(), 2);
        QCOMPARE(languageChanged.size(), 1);

        backend.updateSettings({{"language", "en"}});
        QCOMPARE(languageChanged.size(), 2);
        QCOMPARE(catalog->language(), QStringLiteral("en"));
        const QJsonObject saved = readJson(home.dataDir() + "/settings.json").object();
        QCOMPARE(saved.value("language").toString(), QStringLiteral("en"));
        QCOMPARE(saved.value("jvmArgs").toString(), QStringLiteral("-Xss2M"));
        QCOMPARE(started.errors.size(), 0);
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
};

QTEST_GUILESS_MAIN(TestLauncherBackend)
#include "tst_launcherbackend.moc"
