#include "backendfixture.h"
#include "backendstore.h"
#include "launcherpaths.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <limits>

namespace {
using BackendFixture::ownerOnly;
using TestHelpers::native;
using TestHelpers::readJson;

QByteArray readBytes(const QString& path)
{
    return TestHelpers::readFile(path);
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

// What the backend's start does with the state files: read them, then write those
// still missing.
struct StoreStart {
    StoreStart()
    {
        state = BackendStore::load(warnings);
        BackendStore::writeMissingFiles(state.settings, state.profiles, state.builds, warnings);
    }

    QStringList warnings;
    BackendStore::State state;
};
} // namespace

class TestBackendStore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }

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
        StoreStart start;
        QCOMPARE(start.warnings, QStringList());

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

        const auto& loaded = start.state.builds;
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded.at(0).name, QStringLiteral("First"));
        QCOMPARE(loaded.at(1).minecraftVersion, QStringLiteral("1.12.2"));
        QCOMPARE(start.state.nextBuildId, 4);
    }

    void legacyEdgeCases()
    {
        {
            // An empty legacy list is converted like any other.
            TempHome home;
            QVERIFY(home.writeFile("Hollowmere/versions.json", "[]"));
            StoreStart start;
            QCOMPARE(start.warnings, QStringList());
            QCOMPARE(readJson(home.dataDir() + "/customBuilds.json"), QJsonDocument(QJsonArray()));
            QVERIFY(QFile::exists(home.dataDir() + "/versions.json.migrated"));
        }
        {
            // A broken legacy file is set aside and not recreated; the builds file is.
            TempHome home;
            QVERIFY(home.writeFile("Hollowmere/versions.json", "garbage"));
            StoreStart start;
            QCOMPARE(start.warnings.size(), 1);
            QVERIFY(start.warnings.constFirst().startsWith(
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
            StoreStart start;
            const QString dir = home.dataDir();
            QCOMPARE(start.warnings,
                     QStringList{QStringLiteral("The builds were moved to %1, but the old file %2 "
                                                "could not be deleted")
                                     .arg(native(dir + "/customBuilds.json"),
                                          native(dir + "/versions.json"))});
            QVERIFY(QFile::exists(dir + "/versions.json"));
            QCOMPARE(start.state.builds.size(), 1);
        }
    }

    // A legacy file that cannot be read keeps its builds for a later start: it is
    // neither converted nor renamed, and no empty builds file takes its place.
    void unreadableLegacyFileIsKept()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/versions.json/entry", "a folder, so it cannot be read"));
        StoreStart start;
        const QString dir = home.dataDir();
        QCOMPARE(start.warnings.size(), 1);
        const QStringList lines = start.warnings;
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
        StoreStart start;
        const QString file = home.dataDir() + "/customBuilds.json";
        QCOMPARE(start.warnings,
                 QStringList{QStringLiteral("Builds without a name and a Minecraft version were "
                                            "skipped in %1: 2")
                                 .arg(native(file))});

        const auto& loaded = start.state.builds;
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded.at(0).loader, QStringLiteral("fabric"));
        QCOMPARE(loaded.at(0).seasonalRevision, 3);
        QCOMPARE(loaded.at(1).minecraftVersion, QStringLiteral("1.20.1"));
        QCOMPARE(start.state.nextBuildId, 3);

        // The file is read only: the skipped entries go with the next save.
        QCOMPARE(readJson(file).array().size(), 4);
        QVERIFY(BackendStore::saveBuilds(loaded));
        const QJsonArray saved = readJson(file).array();
        QCOMPARE(saved.size(), 2);
        QCOMPARE(saved.at(1).toObject().keys().size(), 9);
        QCOMPARE(saved.at(1).toObject().value("minecraftVersion").toString(),
                 QStringLiteral("1.20.1"));
        QVERIFY(!saved.at(1).toObject().contains("versionId"));
    }

    void newBuildIdsPassArchiveFolders_data()
    {
        QTest::addColumn<QString>("buildsFile");
        QTest::addColumn<int>("nextBuildId");
        QTest::newRow("no builds file") << QString() << 8;
        QTest::newRow("lower ids in the file") << R"([{"id": 2, "name": "A"}])" << 8;
        QTest::newRow("higher id in the file") << R"([{"id": 11, "name": "A"}])" << 12;
        QTest::newRow("negative id renumbered") << R"([{"id": -1, "name": "A"}])" << 9;
    }

    void newBuildIdsPassArchiveFolders()
    {
        QFETCH(QString, buildsFile);
        QFETCH(int, nextBuildId);
        TempHome home;
        for (const char* folder : {"7", "x", "-3", "99999999999"})
            QVERIFY(QDir().mkpath(LauncherPaths::buildStorageDir() + "/" +
                                  QString::fromLatin1(folder)));
        if (!buildsFile.isEmpty())
            QVERIFY(home.writeFile("Hollowmere/customBuilds.json", buildsFile.toUtf8()));
        StoreStart start;
        QCOMPARE(start.state.nextBuildId, nextBuildId);
        if (buildsFile.contains("-1"))
            QCOMPARE(start.state.builds.constFirst().id, 8);
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
        const QString file = home.dataDir() + "/profiles.json";
        QVERIFY(home.writeFile("Hollowmere/profiles.json", stored));
        // Left world-readable by someone else: it is not left so until the next save.
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup | QFileDevice::ReadOther));
        StoreStart start;
        QCOMPARE(start.warnings, QStringList());
        QVERIFY(ownerOnly(file));

        const auto& loaded = start.state.profiles;
        QCOMPARE(loaded.size(), 3);
        QCOMPARE(loaded.at(0).id, 0);
        QCOMPARE(loaded.at(0).name, QString());
        QCOMPARE(loaded.at(0).authType, QStringLiteral("offline"));
        QCOMPARE(loaded.at(1).name, QStringLiteral("two"));
        QCOMPARE(loaded.at(1).authType, QStringLiteral("offline"));
        QCOMPARE(loaded.at(2).authType, QStringLiteral("Microsoft"));
        QCOMPARE(loaded.at(2).clientToken, QStringLiteral("token-5"));
        QCOMPARE(loaded.at(2).refreshToken, QStringLiteral("refresh"));
        QCOMPARE(start.state.nextProfileId, 6);

        // Missing client tokens are made up, but written only with the next save.
        const QString token = loaded.at(1).clientToken;
        QCOMPARE(token.size(), 36);
        for (const int dash : {8, 13, 18, 23})
            QCOMPARE(token.at(dash), QLatin1Char('-'));
        QVERIFY(token != loaded.at(0).clientToken);
        QCOMPARE(readBytes(file), stored);

        QVERIFY(QFile::setPermissions(file, QFile::permissions(file) | QFileDevice::ReadOther));
        QVERIFY(BackendStore::saveProfiles(loaded));
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

    // Profiles that share an id keep the order of their file; builds get ids of their own.
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
        StoreStart start;

        QCOMPARE(start.state.profiles.size(), 40);
        QVERIFY(inIdThenFileOrder(start.state.profiles));
        QCOMPARE(start.state.builds.size(), 40);
        QVERIFY(inIdThenFileOrder(start.state.builds));
    }

    // A stored integer is taken only when it fits the range its field can take; anything
    // else is unreadable and the default applies. The files keep what they held.
    void integersOutsideTheirRangeReadAsUnreadable_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("memory");   // maxMemoryMb, default 4096
        QTest::addColumn<int>("buildId");  // default 0; a negative id is renumbered to 1
        QTest::addColumn<int>("revision"); // seasonalRevision, default 0
        QTest::addColumn<int>("profileId");
        QTest::addColumn<int>("applied"); // seasonalRevision handed in by the interface
        const int max = std::numeric_limits<int>::max();
        QTest::newRow("4096") << QByteArray("4096") << 4096 << 4096 << 4096 << 4096 << 4096;
        QTest::newRow("99999999999") << QByteArray("99999999999") << 4096 << 0 << 0 << 0 << 0;
        QTest::newRow("1099511627776") << QByteArray("1099511627776") << 4096 << 0 << 0 << 0 << 0;
        QTest::newRow("INT_MAX") << QByteArray("2147483647") << max << max << max << max << max;
        QTest::newRow("INT_MAX + 1") << QByteArray("2147483648") << 4096 << 0 << 0 << 0 << 0;
        QTest::newRow("-1") << QByteArray("-1") << -1 << 1 << 0 << -1 << 0;
        QTest::newRow("1e300") << QByteArray("1e300") << 4096 << 0 << 0 << 0 << 0;
        QTest::newRow("12.5") << QByteArray("12.5") << 4096 << 0 << 0 << 0 << 0;
        QTest::newRow("text") << QByteArray("\"2048\"") << 2048 << 0 << 0 << 0 << 2048;
        QTest::newRow("boolean") << QByteArray("true") << 4096 << 0 << 0 << 0 << 0;
    }

    void integersOutsideTheirRangeReadAsUnreadable()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, memory);
        QFETCH(int, buildId);
        QFETCH(int, revision);
        QFETCH(int, profileId);
        QFETCH(int, applied);
        TempHome home;
        const QByteArray settingsFile = "{\"maxMemoryMb\": " + stored + "}";
        const QByteArray buildsFile =
            "[{\"id\": " + stored + ", \"name\": \"A\", \"seasonalRevision\": " + stored + "}]";
        const QByteArray profilesFile = "[{\"id\": " + stored + ", \"name\": \"P\"}]";
        QVERIFY(home.writeFile("Hollowmere/settings.json", settingsFile));
        QVERIFY(home.writeFile("Hollowmere/customBuilds.json", buildsFile));
        QVERIFY(home.writeFile("Hollowmere/profiles.json", profilesFile));
        StoreStart start;

        QCOMPARE(BackendStore::settingInt(start.state.settings, "maxMemoryMb", 4096), memory);
        QCOMPARE(start.state.builds.size(), 1);
        const BackendStore::CustomBuild build = start.state.builds.constFirst();
        QCOMPARE(build.id, buildId);
        QCOMPARE(build.seasonalRevision, revision);
        QCOMPARE(start.state.profiles.constFirst().id, profileId);
        // A new record always gets an id of its own.
        QVERIFY(start.state.nextBuildId > 0 && start.state.nextBuildId != build.id);
        QVERIFY(start.state.nextProfileId > 0 && start.state.nextProfileId != profileId);
        QCOMPARE(readBytes(home.dataDir() + "/settings.json"), settingsFile);

        BackendStore::CustomBuild edited;
        const QVariant handedIn =
            QJsonDocument::fromJson("[" + stored + "]").array().first().toVariant();
        BackendStore::applyBuildFields(edited, {{"seasonalRevision", handedIn}});
        QCOMPARE(edited.seasonalRevision, applied);
    }

    void settingsKeepUnknownKeysAndDropOldOnes()
    {
        TempHome home;
        QVERIFY(home.writeFile("Hollowmere/settings.json", R"({
            "launcherName": "Old", "launcherVersion": "0.9", "custom": {"nested": [1, 2]},
            "maxMemoryMb": 2048, "windowWidth": "wide", "gameDir": "   "
        })"));
        StoreStart start;
        QVariantMap& settings = start.state.settings;
        QCOMPARE(BackendStore::settingInt(settings, "maxMemoryMb", 4096), 2048);
        QCOMPARE(BackendStore::settingInt(settings, "windowWidth", 0), 0);
        QCOMPARE(BackendStore::settingInt(settings, "minMemoryMb", 1), 512);
        QCOMPARE(BackendStore::settingInt(settings, "absent", 7), 7);
        QCOMPARE(BackendStore::gameDir(settings), LauncherPaths::defaultMinecraftDir());

        settings.insert("gameDir", "/games/mc/");
        QVERIFY(BackendStore::saveSettings(settings));
        QCOMPARE(BackendStore::gameDir(settings), QStringLiteral("/games/mc/"));
        const QJsonObject saved = readJson(home.dataDir() + "/settings.json").object();
        QVERIFY(!saved.contains("launcherName"));
        QVERIFY(!saved.contains("launcherVersion"));
        QCOMPARE(saved.value("custom").toObject(), (QJsonObject{{"nested", QJsonArray{1, 2}}}));
        QCOMPARE(saved.value("maxMemoryMb"), QJsonValue(2048));
        QCOMPARE(saved.value("windowWidth"), QJsonValue("wide"));
        QCOMPARE(saved.value("minMemoryMb"), QJsonValue(512));
    }
};

QTEST_GUILESS_MAIN(TestBackendStore)
#include "tst_backendstore.moc"
