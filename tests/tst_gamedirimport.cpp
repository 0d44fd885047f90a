#include "gamedirfixture.h"
#include "gamedirimport.h"
#include "testhelpers.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kFabricId = "fabric-loader-0.15.11-1.20.1";
const QByteArray kForgeId = "1.20.1-forge-47.2.0";

QByteArray description(const QByteArray& id, const QByteArray& parent,
                       const QByteArrayList& libraries = {})
{
    return "{\"id\":\"" + id + "\",\"inheritsFrom\":\"" + parent +
           "\",\"libraries\":[{\"name\":\"" + libraries.join("\"},{\"name\":\"") + "\"}]}";
}

// Tree entries: "path" (an empty file), "path/" (a folder) or "path=content".
QByteArray version(const QByteArray& id, const QByteArray& parent = {},
                   const QByteArray& library = {})
{
    return "versions/" + id + '/' + id + ".json=" + description(id, parent, {library});
}

// Profiles in key order, each "id" or "id@lastUsed".
QByteArray profiles(const QByteArrayList& entries)
{
    QByteArrayList json;
    for (const QByteArray& entry : entries) {
        const QByteArrayList parts = entry.split('@');
        json += "\"p" + QByteArray::number(json.size()) + "\":{\"lastVersionId\":\"" + parts[0] +
                (parts.size() > 1 ? "\",\"lastUsed\":\"" + parts[1] : "") + "\"}";
    }
    return "launcher_profiles.json={\"profiles\":{" + json.join(',') + "}}";
}

// Every version file gets one time; those in `newer` later ones, the last the latest.
void build(const QString& root, const QByteArrayList& entries, const QByteArrayList& newer)
{
    for (const QByteArray& entry : entries) {
        const qsizetype split = entry.indexOf('=');
        const QString path = root + '/' + QString::fromUtf8(split < 0 ? entry : entry.left(split));
        if (path.endsWith('/'))
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(TestHelpers::writeFile(path, split < 0 ? QByteArray() : entry.mid(split + 1)));
    }
    QDirIterator it(root + "/versions", {"*.json"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const qsizetype rank = newer.indexOf(it.fileInfo().completeBaseName().toUtf8()) + 1;
        QVERIFY(file.open(QIODevice::Append));
        QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(1700000000 + 3600 * rank),
                                 QFileDevice::FileModificationTime));
    }
}

QString summary(const std::optional<GameDirImport::Detected>& found)
{
    return found ? QStringList{found->gameVersion, found->versionId, found->loader,
                               found->loaderVersion, found->source}
                       .join('|')
                 : QString();
}

} // namespace

class TestGameDirImport : public QObject {
    Q_OBJECT

private slots:
    void pathsThatAreNoDirectory()
    {
        QTemporaryDir dir;
        QVERIFY(TestHelpers::writeFile(dir.filePath("file"), "x"));
        QVERIFY(!GameDirImport::detect({}));
        QVERIFY(!GameDirImport::detect(dir.filePath("missing")));
        QVERIFY(!GameDirImport::detect(dir.filePath("file")));
    }

    void detect_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<QByteArrayList>("newer");
        QTest::addColumn<QString>("expected");
        const auto row = [](const QByteArray& name, const QByteArrayList& entries,
                            const QByteArrayList& newer, const QString& expected) {
            QTest::newRow(name.constData()) << entries << newer << expected;
        };
        const QByteArrayList ab = {version("a"), version("b")};
        const QByteArrayList fabric = {
            version("1.20.1"), version(kFabricId, "1.20.1", "net.fabricmc:fabric-loader:0.15.11"),
            profiles({"1.20.1@2024-05-02T00:00:00Z", kFabricId + "@2024-05-01T00:00:00Z"})};
        row("hidden-only mods, empty saves", {"mods/.keep", "saves/"}, {}, "");
        row("empty options file", {"mods/.keep", "saves/", "options.txt"}, {}, "||||content");
        row("unreadable versions", {"versions/a/a.json=no", "versions/b/b.json=[1]"}, {},
            "||||content");
        row("profile order",
            {version("1.19"), version("1.20"), version("1.21"),
             profiles({"1.19", "1.19@yesterday", "9.9@2030-01-01T00:00:00Z",
                       "1.20@2024-05-01T10:00:00Z", "1.21@2024-05-01T10:00:00.500Z"})},
            {}, "1.21||||launcher_profiles");
        row("newest file", ab + QByteArrayList{version("c")}, {"c", "a"}, "a||||versions");
        row("equal times by name", {version("b"), version("a")}, {}, "a||||versions");
        row("jar prefers modded profile", fabric + QByteArrayList{"mods/Example.JAR"}, {},
            "1.20.1|" + kFabricId + "|fabric|0.15.11|launcher_profiles");
        row("no jar: last used", fabric + QByteArrayList{"mods/x.txt"}, {},
            "1.20.1||||launcher_profiles");
        row("jar: modded by time",
            {"mods/a.jar", version("1.20.1"), version(kForgeId, "1.20.1"),
             profiles({"1.20.1@2024-01-01T00:00:00Z"})},
            {}, "1.20.1|" + kForgeId + "|forge|47.2.0|versions");
        row("unknown loader", {"mods/a.jar", version("1.20.1"), version("custom", "1.20.1")}, {},
            "1.20.1|custom|||versions");
        row("unusable parent id", {"mods/a.jar", version("1.20.1"), version("evil", "../1.20.1")},
            {"evil"}, "1.20.1||||versions");
        const QByteArray profileA = profiles({"a@2030-01-01T00:00:00Z"});
        row("readable profiles", ab + QByteArrayList{profileA}, {"b"}, "a||||launcher_profiles");
        const QByteArray inA =
            "launcher_profiles.json={\"profiles\":{\"p\":{\"lastVersionId\":\"a\"";
        for (const QByteArray& bad :
             {profileA + QByteArray(9 << 20, ' '), inA + ",\"name\":\"caf\xe9\"}}}",
              inA + ",\"x\":" + QByteArray(5000, '[') + QByteArray(5000, ']') + "}}}",
              QByteArray("launcher_profiles.json=[{\"profiles\":[{\"lastVersionId\":\"a\"}]}]")})
            row("bad profiles " + bad.mid(23, 40), ab + QByteArrayList{bad}, {"b"},
                "b||||versions");
        row("oversized version", {version("b"), version("a") + QByteArray(9 << 20, ' ')}, {"a"},
            "b||||versions");
    }

    void detect()
    {
        QFETCH(QByteArrayList, entries);
        QFETCH(QByteArrayList, newer);
        QTemporaryDir dir;
        build(dir.path(), entries, newer);
        QTEST(summary(GameDirImport::detect(dir.path())), "expected");
    }

    void loaderOf_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");
        // Name, id, parent, library names joined by ",", loader and its version.
        const char* const rows[][5] = {
            {"fabric", "x", "", "net.fabricmc:fabric-loader:0.15.11", "fabric|0.15.11"},
            {"quilt", "x", "", "org.quiltmc:quilt-loader:0.26.0", "quilt|0.26.0"},
            {"neoforge", "x", "1.21", "net.neoforged:neoforge:21.1.1", "neoforge|21.1.1"},
            {"neoforged forge", "x", "1.20.1", "net.neoforged:forge:1.20.1-47.1.106",
             "neoforge|47.1.106"},
            {"first known library", "x", "1.20.1",
             "net.fabricmc:fabric-loader,Net.FabricMC:fabric-loader:1,"
             "net.minecraftforge:forge:1.20.1-47.2.0:universal,net.fabricmc:fabric-loader:0.1",
             "forge|47.2.0"},
            {"fabric id", "fabric-loader-0.15.11-1.20.1", "1.20.1", "", "fabric|0.15.11"},
            {"quilt id", "quilt-loader-0.26.0-1.20.1", "1.20.1", "", "quilt|0.26.0"},
            {"neoforge id", "neoforge-21.1.1", "", "", "neoforge|21.1.1"},
            {"forge id", "1.20.1-forge-47.2.0", "1.20.1", "", "forge|47.2.0"},
            {"fabric id without parent", "fabric-loader-0.15.11-1.20.1", "", "", "|"},
            {"nothing between, overlapping", "fabric-loader-1.20.1", "1.20.1", "", "fabric|"},
            {"nothing between", "quilt-loader--1.20.1", "1.20.1", "", "quilt|"},
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << description(row[1], row[2], QByteArray(row[3]).split(','))
                                  << QString(row[4]);
    }

    void loaderOf()
    {
        QFETCH(QByteArray, json);
        const auto [loader, loaderVersion] =
            GameDirImport::loaderOf(QJsonDocument::fromJson(json).object());
        QTEST(loader + '|' + loaderVersion, "expected");
    }

    // A version folder linked from elsewhere is read like any other, and nothing is
    // written, inside the game directory or behind the link.
    void leavesEverythingUnchanged()
    {
        QTemporaryDir dir;
        const QString gameDir = dir.filePath("game");
        build(dir.filePath("outside"), {version(kForgeId, "1.20.1")}, {});
        build(gameDir,
              {"mods/a.jar", "saves/w/level.dat=x", version("1.20.1"),
               profiles({kForgeId + "@2024-01-01T00:00:00Z", "1.20.1"})},
              {});
        QVERIFY(QFile::link(dir.filePath("outside/versions/" + kForgeId),
                            gameDir + "/versions/" + kForgeId));
        const auto before = GameDirFixture::fingerprintTree(dir.path());
        QCOMPARE(summary(GameDirImport::detect(gameDir)),
                 "1.20.1|" + kForgeId + "|forge|47.2.0|launcher_profiles");
        QCOMPARE(GameDirFixture::fingerprintTree(dir.path()), before);
    }
};

QTEST_GUILESS_MAIN(TestGameDirImport)
#include "tst_gamedirimport.moc"
