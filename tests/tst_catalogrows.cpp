#include "catalogrows.h"
#include "testhelpers.h"

#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {
constexpr qint64 kMiB = 1024 * 1024;

JavaRuntimeEntry catalogEntry(const QString& id, JavaRuntimeKind kind, int major, qint64 size,
                              bool lts = false)
{
    JavaRuntimeEntry entry;
    entry.id = id;
    entry.kind = kind;
    entry.major = major;
    entry.version = QStringLiteral("%1.0.1").arg(major);
    entry.component = QStringLiteral("java-runtime-gamma");
    entry.architecture = QStringLiteral("x64");
    entry.size = size;
    entry.lts = lts;
    return entry;
}

InstalledJavaRuntime installedRuntime(const QString& id, int major, qint64 size)
{
    return {id,
            QStringLiteral("jdk"),
            major,
            QStringLiteral("%1.0.9").arg(major),
            QStringLiteral("/java/%1/bin/java").arg(id),
            size};
}

// The values of one key across the rows.
QStringList column(const QVariantList& rows, const QString& key)
{
    QStringList values;
    for (const QVariant& row : rows)
        values.append(row.toMap().value(key).toString());
    return values;
}

bool writeVersion(const QString& gameDir, const QString& id, qint64 jarSize,
                  const QByteArray& parent = {})
{
    const QString base = gameDir + "/versions/" + id + "/" + id;
    const QByteArray inherits = parent.isEmpty() ? "" : ", \"inheritsFrom\": \"" + parent + "\"";
    const QByteArray json = "{\"id\": \"" + id.toUtf8() + "\"" + inherits + "}";
    // The description counts towards the size too.
    return TestHelpers::writeFile(base + ".json", json) &&
           TestHelpers::writeFile(base + ".jar", QByteArray(jarSize - json.size(), 'j'));
}
} // namespace

class TestCatalogRows : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }

    void javaRowsListInstalledFirstAndEachRuntimeOnce()
    {
        const QList<JavaRuntimeEntry> catalog{
            catalogEntry("mojang-gamma", JavaRuntimeKind::Java, 17, 0),
            catalogEntry("temurin-jdk-21", JavaRuntimeKind::Jdk, 21, kMiB * 3 / 2, true),
            catalogEntry("temurin-jdk-17", JavaRuntimeKind::Jdk, 17, kMiB * 14 / 10),
            catalogEntry("temurin-jre-8", JavaRuntimeKind::Jre, 8, kMiB / 2 - 1),
        };
        const QList<InstalledJavaRuntime> installed{
            installedRuntime("temurin-jdk-21", 21, kMiB * 3 / 2),
            installedRuntime("old-build", 16, kMiB / 2),
        };
        const QVariantList rows = CatalogRows::javaRuntimes(installed, catalog);

        QCOMPARE(column(rows, "id"), QStringList({"temurin-jdk-21", "old-build", "mojang-gamma",
                                                  "temurin-jdk-17", "temurin-jre-8"}));
        QCOMPARE(column(rows, "sizeMb"), QStringList({"2", "1", "0", "1", "0"}));
        QCOMPARE(column(rows, "installed"),
                 QStringList({"true", "true", "false", "false", "false"}));
        QCOMPARE(column(rows, "downloadable"),
                 QStringList({"true", "false", "true", "true", "true"}));
        QCOMPARE(column(rows, "lts"), QStringList({"true", "false", "false", "false", "false"}));
        QCOMPARE(column(rows, "detail"),
                 QStringList({"Temurin · x64", "downloaded by the launcher",
                              "Mojang · java-runtime-gamma", "Temurin · x64", "Temurin · x64"}));
        QCOMPARE(column(rows, "kind"), QStringList({"jdk", "jdk", "java", "jdk", "jre"}));

        const QVariantMap first = rows.constFirst().toMap();
        QCOMPARE(first.size(), 12);
        QCOMPARE(first.value("label").toString(), QStringLiteral("Java 21.0.9"));
        QCOMPARE(first.value("version").toString(), QStringLiteral("21.0.9"));
        QCOMPARE(first.value("major").toInt(), 21);
        QCOMPARE(first.value("coverage").toString(), JavaRequirement::coverage(21));
        QCOMPARE(first.value("search").toString(), QStringLiteral("21.0.9 21 jdk temurin · x64"));
    }

    // A catalog may name any 64-bit size: its mebibytes are shown as they are, never
    // wrapped through a narrower number.
    void javaRowSizesKeepEveryMebibyte_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("mebibytes");
        const qint64 past31Bits = (qint64(1) << 31) + 5;
        QTest::newRow("2^51 + 5 MiB") << past31Bits * kMiB << past31Bits;
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << (qint64(1) << 43);
        QTest::newRow("half rounds up") << kMiB + kMiB / 2 << qint64(2);
        QTest::newRow("below a half") << kMiB / 2 - 1 << qint64(0);
    }

    void javaRowSizesKeepEveryMebibyte()
    {
        QFETCH(qint64, bytes);
        QFETCH(qint64, mebibytes);
        const QVariantList rows = CatalogRows::javaRuntimes(
            {}, {catalogEntry("temurin-jdk-21", JavaRuntimeKind::Jdk, 21, bytes)});
        QCOMPARE(rows.constFirst().toMap().value("sizeMb").toLongLong(), mebibytes);
    }

    void versionRowsKeepTheManifestOrderThenInstalledOnly()
    {
        const QList<RemoteVersionEntry> manifest{{"1.21", "release", {}, {}, {}},
                                                 {"24w14a", "snapshot", {}, {}, {}},
                                                 {"b1.7.3", "old_beta", {}, {}, {}},
                                                 {"1.0-pre", "Release", {}, {}, {}},
                                                 {"rd-132211", "old_alpha", {}, {}, {}}};
        const QVariantList rows =
            CatalogRows::versions(manifest, {"1.21", "Zeta", "alpha", "b1.7.3"});
        QCOMPARE(column(rows, "id"), QStringList({"1.21", "24w14a", "b1.7.3", "1.0-pre",
                                                  "rd-132211", "Zeta", "alpha"}));
        QCOMPARE(column(rows, "category"), QStringList({"release", "snapshot", "old_beta", "other",
                                                        "old_alpha", "other", "other"}));
        QCOMPARE(column(rows, "installed"),
                 QStringList({"true", "false", "true", "false", "false", "true", "true"}));
        QCOMPARE(column(rows, "search").at(3), QStringLiteral("1.0-pre release"));
        QCOMPARE(column(rows, "search").at(5), QStringLiteral("zeta "));
        QCOMPARE(rows.constLast().toMap().size(), 6);
    }

    void loaderRowsMarkRecommendedAndUnstable()
    {
        QList<LoaderVersionEntry> entries(3);
        entries[0].loaderVersion = "0.16.10";
        entries[0].recommended = true;
        entries[0].stable = false;
        entries[1].loaderVersion = "0.16.10-beta";
        entries[1].stable = false;
        entries[2].loaderVersion = "0.16.9";
        const QVariantList rows = CatalogRows::loaderVersions(entries);
        QCOMPARE(column(rows, "label"),
                 QStringList({"0.16.10 — recommended", "0.16.10-beta — unstable", "0.16.9"}));
        QCOMPARE(column(rows, "version"), QStringList({"0.16.10", "0.16.10-beta", "0.16.9"}));
        QCOMPARE(rows.constFirst().toMap().size(), 4);
    }

    void versionRemovalInfoRoundsUpAndNamesWhoUsesIt()
    {
        QTemporaryDir gameDir;
        QVERIFY(writeVersion(gameDir.path(), "1.20.1", kMiB + 1));
        QVERIFY(writeVersion(gameDir.path(), "1.19", kMiB));
        QVERIFY(writeVersion(gameDir.path(), "fabric-1.20.1", 10, "1.20.1"));
        QList<CatalogRows::CustomBuild> builds(4);
        builds[0] = {1, "Vanilla", {}, "1.20.1", {}, {}, {}, {}, 0};
        builds[1] = {2, "Fabric", {}, "1.21", "fabric", "0.16", "1.20.1", {}, 0};
        builds[2] = {3, "1.20.1", {}, {}, {}, {}, {}, {}, 0};
        builds[3] = {4, "Other", {}, "1.19", {}, {}, {}, {}, 0};

        const QVariantMap info =
            CatalogRows::versionRemovalInfo(gameDir.path(), " 1.20.1 ", builds);
        QCOMPARE(info.value("id").toString(), QStringLiteral("1.20.1"));
        QCOMPARE(info.value("installed").toBool(), true);
        QCOMPARE(info.value("sizeMb").toInt(), 2);
        QCOMPARE(info.value("dependents").toStringList(), QStringList{"fabric-1.20.1"});
        QCOMPARE(info.value("builds").toStringList(), QStringList({"Vanilla", "Fabric", "1.20.1"}));
        QCOMPARE(
            CatalogRows::versionRemovalInfo(gameDir.path(), "1.19", builds).value("sizeMb").toInt(),
            1);
        const QVariantMap missing = CatalogRows::versionRemovalInfo(gameDir.path(), "1.8", {});
        QCOMPARE(missing.value("sizeMb").toInt(), 0);
        QCOMPARE(missing.value("installed").toBool(), false);
        QVERIFY(CatalogRows::versionRemovalInfo(gameDir.path(), "  ", builds).isEmpty());
    }

    void javaRuntimeInfoByWhereTheRuntimeIs()
    {
        const InstalledJavaRuntime runtime = installedRuntime("temurin-jdk-17", 17, 1);
        const JavaRuntimeEntry entry = catalogEntry("temurin-jdk-17", JavaRuntimeKind::Jre, 17, 1);
        QCOMPARE(CatalogRows::javaRuntimeInfo("temurin-jdk-17", runtime, entry),
                 QVariantMap({{"id", "temurin-jdk-17"},
                              {"kind", "jdk"},
                              {"major", 17},
                              {"version", "17.0.9"},
                              {"label", "Java 17.0.9"},
                              {"javaPath", "/java/temurin-jdk-17/bin/java"},
                              {"installed", true}}));
        const QVariantMap downloadable =
            CatalogRows::javaRuntimeInfo("temurin-jdk-17", std::nullopt, entry);
        QCOMPARE(downloadable.size(), 7);
        QCOMPARE(downloadable.value("kind").toString() + downloadable.value("javaPath").toString(),
                 QStringLiteral("jre"));
        QCOMPARE(downloadable.value("installed").toBool(), false);

        QCOMPARE(CatalogRows::javaRuntimeInfo("gone", std::nullopt, std::nullopt),
                 QVariantMap({{"id", "gone"}, {"label", "gone"}, {"installed", false}}));
        QVERIFY(CatalogRows::javaRuntimeInfo("  ", runtime, entry).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCatalogRows)
#include "tst_catalogrows.moc"
