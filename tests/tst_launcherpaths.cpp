#include "launcherpaths.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QTest>

class TestLauncherPaths : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }

    void overrideRules_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("game");
        const QString home = QDir::homePath();
        QTest::newRow("trailing slash") << "/data/games/"
                                        << "/data/games/Hollowmere"
                                        << "/data/games/.minecraft";
        QTest::newRow("dot-dot") << "/data/x/../games"
                                 << "/data/games/Hollowmere"
                                 << "/data/games/.minecraft";
        QTest::newRow("doubled slashes") << "/data//games"
                                         << "/data/games/Hollowmere"
                                         << "/data/games/.minecraft";
        QTest::newRow("relative") << "games" << home + "/Hollowmere" << home + "/.minecraft";
        QTest::newRow("empty") << "" << home + "/Hollowmere" << home + "/.minecraft";
        // The joined string is not normalised afterwards.
        QTest::newRow("root") << "/"
                              << "//Hollowmere"
                              << "//.minecraft";
    }

    void overrideRules()
    {
        QFETCH(QString, value);
        QFETCH(QString, root);
        QFETCH(QString, game);
        qputenv("HOLLOWMERE_HOME", value.toLocal8Bit());
        QCOMPARE(LauncherPaths::rootDir(), root);
        QCOMPARE(LauncherPaths::defaultMinecraftDir(), game);
        qunsetenv("HOLLOWMERE_HOME");
    }

    void unsetOverrideUsesHome()
    {
        qunsetenv("HOLLOWMERE_HOME");
        QCOMPARE(LauncherPaths::homeOverride(), QString());
        QCOMPARE(LauncherPaths::rootDir(), QDir::homePath() + "/Hollowmere");
    }

    void environmentReadOnEveryCall()
    {
        qputenv("HOLLOWMERE_HOME", "/first");
        QCOMPARE(LauncherPaths::rootDir(), QStringLiteral("/first/Hollowmere"));
        qputenv("HOLLOWMERE_HOME", "/second");
        QCOMPARE(LauncherPaths::rootDir(), QStringLiteral("/second/Hollowmere"));
        qunsetenv("HOLLOWMERE_HOME");
    }

    void layout()
    {
        qputenv("HOLLOWMERE_HOME", "/h");
        QCOMPARE(LauncherPaths::settingsFile(), QStringLiteral("/h/Hollowmere/settings.json"));
        QCOMPARE(LauncherPaths::profilesFile(), QStringLiteral("/h/Hollowmere/profiles.json"));
        QCOMPARE(LauncherPaths::customBuildsFile(),
                 QStringLiteral("/h/Hollowmere/customBuilds.json"));
        QCOMPARE(LauncherPaths::legacyCustomBuildsFile(),
                 QStringLiteral("/h/Hollowmere/versions.json"));
        QCOMPARE(LauncherPaths::buildDir(7), QStringLiteral("/h/Hollowmere/builds/7"));
        QCOMPARE(LauncherPaths::seasonalStateFile(7),
                 QStringLiteral("/h/Hollowmere/builds/7/season.json"));
        QCOMPARE(LauncherPaths::runtimeDir(), QStringLiteral("/h/Hollowmere/runtime"));
        QCOMPARE(LauncherPaths::javaDir(), QStringLiteral("/h/Hollowmere/java"));
        QCOMPARE(LauncherPaths::javaCatalogFile(),
                 QStringLiteral("/h/Hollowmere/cache/java_runtimes.json"));
        QCOMPARE(LauncherPaths::javaDownloadDir(), QStringLiteral("/h/Hollowmere/cache/java"));
        QCOMPARE(LauncherPaths::versionManifestFile(),
                 QStringLiteral("/h/Hollowmere/cache/version_manifest.json"));
        QCOMPARE(LauncherPaths::seasonalCatalogFile(),
                 QStringLiteral("/h/Hollowmere/cache/seasonal_builds.json"));
        QCOMPARE(LauncherPaths::loaderCacheFile("neoforge"),
                 QStringLiteral("/h/Hollowmere/cache/loader_neoforge.json"));
        QCOMPARE(LauncherPaths::loaderDownloadDir(), QStringLiteral("/h/Hollowmere/cache/loaders"));
        qunsetenv("HOLLOWMERE_HOME");
    }

    void ensureRootExistsCreatesTree()
    {
        TempHome home;
        QString error = QStringLiteral("untouched");
        QVERIFY(LauncherPaths::ensureRootExists(&error));
        QCOMPARE(error, QStringLiteral("untouched"));
        for (const QString& dir :
             {LauncherPaths::rootDir(), LauncherPaths::runtimeDir(), LauncherPaths::cacheDir(),
              LauncherPaths::loaderDownloadDir(), LauncherPaths::buildStorageDir(),
              LauncherPaths::javaDir(), LauncherPaths::javaDownloadDir()})
            QVERIFY2(QFileInfo(dir).isDir(), qPrintable(dir));
        QVERIFY(LauncherPaths::ensureRootExists(nullptr));
    }

    void fileWhereCacheShouldBeStops()
    {
        TempHome home;
        QVERIFY(home.writeFile(QStringLiteral("Hollowmere/cache"), "not a folder"));
        QString error;
        QVERIFY(!LauncherPaths::ensureRootExists(&error));
        const QString cache = QDir::toNativeSeparators(LauncherPaths::cacheDir());
        QCOMPARE(error, QStringLiteral("could not create %1").arg(cache));
        QVERIFY(QFileInfo(LauncherPaths::runtimeDir()).isDir());
        QVERIFY(!QFileInfo::exists(LauncherPaths::buildStorageDir()));
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir()));
        QVERIFY(!LauncherPaths::ensureRootExists(nullptr));
    }
};

QTEST_GUILESS_MAIN(TestLauncherPaths)
#include "tst_launcherpaths.moc"
