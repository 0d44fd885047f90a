#include "buildswitcher.h"
#include "gamedirfixture.h"
#include "launcherpaths.h"
#include "localization.h"
#include "systempath.h"
#include "temphome.h"
#include "ziparchive.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace GameDirFixture;

namespace {

struct Outcome {
    bool done = false;
    bool ok = false;
    int buildId = -2;
    QString message;
    bool intact = false;
};

// Waits for the end of the operation that the call starts.
template <typename Start> Outcome await(BuildSwitcher& switcher, Start start, int timeoutMs = 30000)
{
    QSignalSpy finished(&switcher, &BuildSwitcher::finished);
    QSignalSpy failed(&switcher, &BuildSwitcher::failed);
    start();
    if (!QTest::qWaitFor([&] { return !finished.isEmpty() || !failed.isEmpty(); }, timeoutMs))
        return Outcome();
    Outcome outcome;
    if (!finished.isEmpty()) {
        outcome = {true, true, finished.first().at(0).toInt(), QString(), true};
    } else if (!failed.isEmpty()) {
        outcome = {true, false, failed.first().at(0).toInt(), failed.first().at(1).toString(),
                   failed.first().at(2).toBool()};
    }
    return outcome;
}

QString indexPath()
{
    return LauncherPaths::buildStorageDir() + "/index.json";
}

QJsonObject readIndex()
{
    return TestHelpers::readJson(indexPath()).object();
}

void writeIndex(const QJsonObject& index)
{
    QDir().mkpath(LauncherPaths::buildStorageDir());
    writeFile(indexPath(), QJsonDocument(index).toJson());
}

QString todayArchiveName(const QString& base)
{
    return QDate::currentDate().toString("yyyy-MM-dd") + "_" + base + ".zip";
}

// Writes a zip with the given entries; a name ending in "/" is a folder, a value starting
// with "->" a symbolic link.
bool writeZip(const QString& path, const QList<QPair<QString, QByteArray>>& entries)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    ZipArchive zip;
    if (!zip.create(path))
        return false;
    for (const auto& [name, data] : entries) {
        bool added = false;
        if (name.endsWith('/'))
            added = zip.addDirectory(name);
        else if (data.startsWith("->"))
            added = zip.addSymlink(name, QString::fromUtf8(data.mid(2)));
        else
            added = zip.addData(name, data);
        if (!added)
            return false;
    }
    return zip.close();
}

Fingerprint fingerprintOf(const QList<QPair<QString, QByteArray>>& entries)
{
    Fingerprint result;
    for (const auto& [name, data] : entries)
        result.insert(name, QCryptographicHash::hash(data, QCryptographicHash::Sha1));
    return result;
}

// Every regular file below dir with its content, by the bytes of its relative path: two
// names that read alike as text stay two. Links are neither listed nor followed.
QMap<QByteArray, QByteArray> filesByBytes(const QString& dir)
{
    namespace fs = std::filesystem;
    QMap<QByteArray, QByteArray> files;
    std::error_code code;
    const fs::path root = QFile::encodeName(dir).toStdString();
    for (auto it = fs::recursive_directory_iterator(root, code);
         !code && it != fs::recursive_directory_iterator(); it.increment(code)) {
        if (it->is_symlink(code) || !it->is_regular_file(code))
            continue;
        std::ifstream file(it->path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
        files.insert(QByteArray::fromStdString(it->path().lexically_relative(root).string()),
                     QByteArray::fromStdString(content));
    }
    return files;
}

// The top-level names of dir as bytes, sorted, links included.
QByteArrayList topNamesByBytes(const QString& dir)
{
    namespace fs = std::filesystem;
    QByteArrayList names;
    std::error_code code;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(QFile::encodeName(dir).toStdString(), code))
        names.append(QByteArray::fromStdString(entry.path().filename().string()));
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class TestBuildSwitcher : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    QString m_gameDir;
    QString m_outside;

    QString buildDir(int id) const { return LauncherPaths::buildDir(id); }
    Fingerprint gameContent() const
    {
        return fingerprintTree(m_gameDir, BuildSwitcher::sharedTopLevel());
    }
    Fingerprint sharedContent() const
    {
        Fingerprint all = fingerprintTree(m_gameDir);
        const Fingerprint own = gameContent();
        for (auto it = own.begin(); it != own.end(); ++it)
            all.remove(it.key());
        return all;
    }
    // Leaves build `active` live in the game directory with content seed `active` and
    // build `archived` stored with content seed `archived`.
    void prepareTwoBuilds(BuildSwitcher& switcher, int active, int archived)
    {
        writeBuildContent(m_gameDir, archived, m_outside);
        const Outcome out = await(switcher, [&] {
            switcher.switchTo(archived, QString::number(archived), active, QString::number(active),
                              m_gameDir);
        });
        QVERIFY(out.ok);
        writeBuildContent(m_gameDir, active, m_outside);
    }

private slots:
    void initTestCase()
    {
        TempHome home;
        home.writeFile("Hollowmere/settings.json", R"({"language":"en"})");
        QVERIFY(Localization::instance()->load());
    }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_gameDir = m_home->path() + "/.minecraft";
        m_outside = m_home->path() + "/outside";
        writeSharedEntries(m_gameDir);
    }

    void cleanup()
    {
        BuildSwitcher::setAvailableSpaceProbeForTesting({});
        // Qt's own removal misses names that are not UTF-8 or begin with U+FEFF.
        SystemPath::remove(m_home->path());
        m_home.reset();
    }

    void switchesAwayAndBackByteForByte()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        const Fingerprint first = gameContent();
        const Fingerprint shared = sharedContent();
        QVERIFY(first.contains(".hidden-note"));
        QVERIFY(first.contains(".config/tool/.settings"));
        QVERIFY(!first.contains("linked-file.txt"));

        BuildSwitcher switcher;
        QStringList statesWhileClearing;
        connect(&switcher, &BuildSwitcher::progressChanged, this, [&] {
            if (switcher.stage() == BuildSwitcher::Clearing)
                statesWhileClearing.append(readIndex().value("state").toString());
        });
        QCOMPARE(switcher.fraction(), -1.0);

        Outcome out = await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(out.buildId, 2);
        QVERIFY(!statesWhileClearing.isEmpty());
        QVERIFY(!statesWhileClearing.contains("idle"));
        QCOMPARE(statesWhileClearing.first(), QString("switching"));

        QCOMPARE(topLevelNames(m_gameDir), QStringList({"assets", "launcher_profiles.json",
                                                        "libraries", "runtime", "versions"}));
        QCOMPARE(sharedContent(), shared);
        QVERIFY(QFile::exists(m_outside + "/target-file.txt"));
        QVERIFY(QFile::exists(m_outside + "/target-dir/inside.txt"));

        const QString archive = switcher.archivePathOf(1);
        QCOMPARE(QFileInfo(archive).fileName(), todayArchiveName("One"));
        QCOMPARE(fingerprintArchive(archive), first);

        QJsonObject index = readIndex();
        QCOMPARE(index.value("state").toString(), QString("idle"));
        QCOMPARE(index.value("active").toInt(), 2);
        QVERIFY(!index.contains("from") && !index.contains("to"));
        const QJsonObject record = index.value("builds").toObject().value("1").toObject();
        QCOMPARE(record.value("archive").toString(), todayArchiveName("One"));
        QCOMPARE(record.value("name").toString(), QString("One"));
        QVERIFY(record.value("savedAt").toString().endsWith('Z'));
        QCOMPARE(switcher.fraction(), -1.0);
        QVERIFY(switcher.stageText().isEmpty());

        writeBuildContent(m_gameDir, 2, m_outside);
        const Fingerprint second = gameContent();
        out = await(switcher, [&] { switcher.switchTo(2, "Two", 1, "One", m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(gameContent(), first);
        QCOMPARE(sharedContent(), shared);
        QCOMPARE(fingerprintArchive(switcher.archivePathOf(2)), second);
        QCOMPARE(readIndex().value("active").toInt(), 1);
    }

    void commitKeepsOneArchivePerBuild()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        const Fingerprint first = gameContent();
        const QString older = buildDir(1) + "/2020-01-01_One.zip";
        writeFile(older, "old");
        QFile(older).setFileTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0)),
                                 QFileDevice::FileModificationTime);
        writeFile(buildDir(1) + "/" + todayArchiveName("One"), "same day, earlier");
        writeFile(buildDir(1) + "/.pack-r3.zip", "pack");

        BuildSwitcher switcher;
        QVERIFY(await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); }).ok);
        QStringList left = QDir(buildDir(1)).entryList(QDir::Files | QDir::Hidden);
        left.sort();
        QCOMPARE(left, QStringList({".pack-r3.zip", todayArchiveName("One")}));
        QCOMPARE(fingerprintArchive(switcher.archivePathOf(1)), first);

        writeFile(buildDir(5) + "/.pack-r1.zip", "pack");
        writeFile(buildDir(5) + "/.tmp-0123.zip", "temp");
        QVERIFY(switcher.archivePathOf(5).isEmpty());
        QVERIFY(switcher.archivePathOf(6).isEmpty());
    }

    void leftoverTemporaryArchivesAreSwept()
    {
        writeFile(buildDir(3) + "/.tmp-abc.zip", "x");
        writeFile(buildDir(3) + "/.tmp-abc.zip.Xy12Ab", "x");
        writeFile(buildDir(3) + "/.pack-r1.zip", "pack");
        BuildSwitcher switcher;
        QCOMPARE(QDir(buildDir(3)).entryList(QDir::Files | QDir::Hidden),
                 QStringList({".pack-r1.zip"}));
    }

    void refusesWhileBusyAndTheRunningSwitchCompletes()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        BuildSwitcher switcher;
        QSignalSpy failed(&switcher, &BuildSwitcher::failed);
        const Outcome out = await(switcher, [&] {
            switcher.switchTo(1, "One", 2, "Two", m_gameDir);
            QVERIFY(switcher.busy());
            switcher.switchTo(1, "One", 3, "Three", m_gameDir);
            writeFile(buildDir(3) + "/.pack-r1.zip", "pack");
            switcher.applyPack(3, "Three", buildDir(3) + "/.pack-r1.zip", {}, {}, m_gameDir);
        });
        QCOMPARE(failed.size(), 2);
        QCOMPARE(failed.at(0).at(0).toInt(), 3);
        QCOMPARE(failed.at(0).at(1).toString(), QString("A build switch is already running"));
        QVERIFY(failed.at(0).at(2).toBool());
        QCOMPARE(failed.at(1).at(1).toString(), QString("A build operation is already running"));
        QTRY_VERIFY(!switcher.busy());
        QVERIFY(out.done);
        QCOMPARE(readIndex().value("active").toInt(), 2);
    }

    void switchesWithoutSavingFromNoBuildOrNoGameDir()
    {
        const QList<QPair<QString, QByteArray>> target = {{"mods/t.jar", "jar"},
                                                          {".hidden/x", "hidden"}};
        QVERIFY(writeZip(buildDir(2) + "/2026-01-01_Two.zip", target));
        writeFile(m_gameDir + "/stray.txt", "not a build's");

        BuildSwitcher switcher;
        Outcome out = await(switcher, [&] { switcher.switchTo(-1, "", 2, "Two", m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(gameContent(), fingerprintOf(target));
        QCOMPARE(
            QDir(LauncherPaths::buildStorageDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
            QStringList({"2"}));

        const QString missing = m_home->path() + "/not-yet/.minecraft";
        out = await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", missing); });
        QVERIFY(out.ok);
        QCOMPARE(fingerprintTree(missing), fingerprintOf(target));
        QVERIFY(switcher.archivePathOf(1).isEmpty());

        QStringList stageTexts;
        connect(&switcher, &BuildSwitcher::progressChanged, this, [&] {
            if (!switcher.stageText().isEmpty())
                stageTexts.append(switcher.stageText());
        });
        out = await(switcher, [&] { switcher.switchTo(-1, "", 7, "Seven", m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(out.buildId, 7);
        QVERIFY(gameContent().isEmpty());
        stageTexts.removeDuplicates();
        QCOMPARE(stageTexts, QStringList({"Preparing build \"Seven\""}));
        QCOMPARE(readIndex().value("state").toString(), QString("idle"));
    }

    void refusesWhenTheDiskIsTooFull()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        const Fingerprint before = gameContent();
        qint64 size = 0;
        for (const QString& name : before.keys())
            size += QFileInfo(m_gameDir + "/" + name).size();
        const qint64 need = size + 256 * 1024 * 1024;
        QString probedPath;
        BuildSwitcher::setAvailableSpaceProbeForTesting([&](const QString& path) {
            probedPath = path;
            return need - 1;
        });

        BuildSwitcher switcher;
        QSignalSpy progress(&switcher, &BuildSwitcher::progressChanged);
        Outcome out = await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY(!out.ok);
        QVERIFY(out.intact);
        QCOMPARE(out.message, QString("Not enough space for the archive of build \"One\": about "
                                      "%1 MB is needed")
                                  .arg(need / 1048576));
        QCOMPARE(probedPath, LauncherPaths::buildStorageDir());
        QCOMPARE(progress.size(), 0);
        QCOMPARE(gameContent(), before);
        QVERIFY(switcher.archivePathOf(1).isEmpty());
        QVERIFY(!QFile::exists(indexPath()));

        BuildSwitcher::setAvailableSpaceProbeForTesting([&](const QString&) { return need; });
        QVERIFY(await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); }).ok);

        // Only shared entries: the reserve alone is needed.
        BuildSwitcher::setAvailableSpaceProbeForTesting(
            [&](const QString&) { return qint64(256) * 1024 * 1024 - 1; });
        out = await(switcher, [&] { switcher.switchTo(2, "Two", 1, "One", m_gameDir); });
        QVERIFY(out.message.contains("about 256 MB"));
    }

    void unwritableIndexStopsBeforeAnythingIsCleared()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        const Fingerprint before = gameContent();
        QVERIFY(QDir().mkpath(indexPath())); // a folder where the index file belongs
        writeFile(buildDir(4) + "/.pack-r1.zip", "pack");

        BuildSwitcher switcher;
        Outcome out = await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY(!out.ok);
        QVERIFY(out.intact);
        QVERIFY(out.message.contains("index.json"));
        QCOMPARE(gameContent(), before);
        QVERIFY(!switcher.busy());

        out = await(switcher, [&] { switcher.switchTo(-1, "", 2, "Two", m_gameDir); });
        QVERIFY(!out.ok);
        QVERIFY(out.intact);
        QCOMPARE(gameContent(), before);

        out = await(switcher, [&] {
            switcher.applyPack(4, "Four", buildDir(4) + "/.pack-r1.zip", {}, {}, m_gameDir);
        });
        QVERIFY(!out.ok);
        QVERIFY(out.intact);
        QCOMPARE(gameContent(), before);
    }

    void unfinishedSwitchIsNeverArchivedOverTheLeftBuild()
    {
        BuildSwitcher switcher;
        prepareTwoBuilds(switcher, 1, 2);
        const Fingerprint first = gameContent();
        const Fingerprint second = fingerprintArchive(switcher.archivePathOf(2));
        // Build 1 is archived properly, then a switch to 2 breaks off half-way.
        QVERIFY(await(switcher, [&] { switcher.switchTo(1, "One", 3, "Three", m_gameDir); }).ok);
        const QString firstArchive = switcher.archivePathOf(1);
        QCOMPARE(fingerprintArchive(firstArchive), first);
        QJsonObject index = readIndex();
        index.insert("state", "switching");
        index.insert("from", 1);
        index.insert("to", 2);
        writeIndex(index);
        writeFile(m_gameDir + "/mods/half-restored.jar", "partial");
        QVERIFY(switcher.hasUnfinishedSwitch());

        writeFile(buildDir(2) + "/.pack-r1.zip", "pack");
        Outcome out = await(switcher, [&] {
            switcher.applyPack(2, "Two", buildDir(2) + "/.pack-r1.zip", {}, {}, m_gameDir);
        });
        QVERIFY(!out.ok);
        QVERIFY(out.intact);
        QCOMPARE(readIndex().value("state").toString(), QString("switching"));

        // Another target: the mix is thrown away, build 1's archive stays as it was.
        out = await(switcher, [&] { switcher.switchTo(1, "One", 3, "Three", m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(switcher.archivePathOf(1), firstArchive);
        QCOMPARE(fingerprintArchive(firstArchive), first);
        QVERIFY(gameContent().isEmpty());
        QVERIFY(!switcher.hasUnfinishedSwitch());

        // The recorded target: the switch is resumed.
        index = readIndex();
        index.insert("state", "switching");
        index.insert("from", 1);
        index.insert("to", 2);
        writeIndex(index);
        writeFile(m_gameDir + "/mods/half-restored.jar", "partial");
        out = await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(out.buildId, 2);
        QCOMPARE(gameContent(), second);
        QCOMPARE(fingerprintArchive(switcher.archivePathOf(1)), first);
        QCOMPARE(readIndex().value("state").toString(), QString("idle"));
        QCOMPARE(readIndex().value("active").toInt(), 2);
    }

    void namesWithColonsAndBackslashesSurviveASwitch()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        writeFile(m_gameDir + "/saves/World/minecraft:overworld/region/r.0.0.mca", "region");
        writeFile(m_gameDir + "/config/a\\b.cfg", "backslash");
        const Fingerprint first = gameContent();

        BuildSwitcher switcher;
        QVERIFY(await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); }).ok);
        QVERIFY(!QFileInfo::exists(m_gameDir + "/saves"));
        QVERIFY(await(switcher, [&] { switcher.switchTo(2, "Two", 1, "One", m_gameDir); }).ok);
        QCOMPARE(gameContent(), first);
    }

    void namesThatAreNotUtf8SurviveASwitchUnderTheirOwnBytes()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        // As archives made on Windows and folders copied from elsewhere leave them: a CP1251
        // schematic, a CP866 folder, a world file with a stray byte.
        const QList<QByteArray> foreign = {"schematics/\xCF\xF0\xE8\xE2\xE5\xF2.schem",
                                           "\x8C\xA8\xE0/level.dat",
                                           "saves/World 1/region/r.0.\xFF.mca"};
        const QByteArray root = QFile::encodeName(m_gameDir) + '/';
        for (const QByteArray& name : foreign) {
            std::filesystem::create_directories(
                std::filesystem::path((root + name).toStdString()).parent_path());
            std::ofstream(std::string(root + name), std::ios::binary) << name.toStdString();
        }
        const Fingerprint first = gameContent();

        BuildSwitcher switcher;
        const Outcome away =
            await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY2(away.ok, qPrintable(away.message));
        QCOMPARE(topLevelNames(m_gameDir), QStringList({"assets", "launcher_profiles.json",
                                                        "libraries", "runtime", "versions"}));
        QCOMPARE(fingerprintArchive(switcher.archivePathOf(1)), first);

        QVERIFY(await(switcher, [&] { switcher.switchTo(2, "Two", 1, "One", m_gameDir); }).ok);
        QCOMPARE(gameContent(), first);
        for (const QByteArray& name : foreign) {
            std::ifstream file(std::string(root + name), std::ios::binary);
            const std::string content((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
            QCOMPARE(QByteArray::fromStdString(content), name);
        }
    }

    // Text made of a name with Qt's UTF-8 decoding loses a U+FEFF at its start; the name
    // must still be its own bytes, beside the same name without it as well.
    void byteOrderMarksInNamesSurviveASwitch_data()
    {
        QTest::addColumn<QByteArrayList>("files");
        // A top-level symbolic link by this name to the outside entry, none when empty.
        QTest::addColumn<QByteArray>("link");
        QTest::addColumn<QString>("linkTarget");
        QTest::newRow("mark beside the same name")
            << QByteArrayList{"\xEF\xBB\xBFnotes.txt", "notes.txt"} << QByteArray() << QString();
        QTest::newRow("file named only the mark")
            << QByteArrayList{"\xEF\xBB\xBF"} << QByteArray() << QString();
        QTest::newRow("link to a folder named only the mark")
            << QByteArrayList() << QByteArray("\xEF\xBB\xBF") << QString("target-dir");
        QTest::newRow("link to a file named only the mark")
            << QByteArrayList() << QByteArray("\xEF\xBB\xBF") << QString("target-file.txt");
        QTest::newRow("mark beside a byte that is not utf-8")
            << QByteArrayList{"saves/\xEF\xBB\xBF\xFF.dat", "saves/\xFF.dat"} << QByteArray()
            << QString();
        QTest::newRow("mark inside a folder name")
            << QByteArrayList{"screen\xEF\xBB\xBFshots/shot.png", "screenshots/shot.png"}
            << QByteArray() << QString();
        QTest::newRow("mark leading a nested folder name")
            << QByteArrayList{"saves/\xEF\xBB\xBFWorld/level.dat", "saves/World/level.dat"}
            << QByteArray() << QString();
    }

    void byteOrderMarksInNamesSurviveASwitch()
    {
        QFETCH(QByteArrayList, files);
        QFETCH(QByteArray, link);
        QFETCH(QString, linkTarget);
        writeBuildContent(m_gameDir, 1, m_outside);
        const QByteArray root = QFile::encodeName(m_gameDir) + '/';
        for (const QByteArray& name : files) {
            std::filesystem::create_directories(
                std::filesystem::path((root + name).toStdString()).parent_path());
            std::ofstream(std::string(root + name), std::ios::binary)
                << "bytes " << name.toStdString();
        }
        if (!link.isEmpty())
            QCOMPARE(::symlink(QFile::encodeName(m_outside + "/" + linkTarget).constData(),
                               (root + link).constData()),
                     0);
        const QMap<QByteArray, QByteArray> before = filesByBytes(m_gameDir);
        for (const QByteArray& name : files)
            QVERIFY2(before.contains(name), name.constData());
        const QByteArrayList sharedTop = {"assets", "launcher_profiles.json", "libraries",
                                          "runtime", "versions"};
        QMap<QByteArray, QByteArray> shared;
        for (auto it = before.begin(); it != before.end(); ++it) {
            if (sharedTop.contains(it.key().split('/').first()))
                shared.insert(it.key(), it.value());
        }
        const QMap<QByteArray, QByteArray> outside = filesByBytes(m_outside);

        BuildSwitcher switcher;
        const Outcome away =
            await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY2(away.ok, qPrintable(away.message));
        // Links go as every link at the top goes: removed, their targets untouched.
        QCOMPARE(topNamesByBytes(m_gameDir), sharedTop);
        QCOMPARE(filesByBytes(m_gameDir).keys(), shared.keys());
        QVERIFY(filesByBytes(m_gameDir) == shared);
        QVERIFY(filesByBytes(m_outside) == outside);

        const Outcome back =
            await(switcher, [&] { switcher.switchTo(2, "Two", 1, "One", m_gameDir); });
        QVERIFY2(back.ok, qPrintable(back.message));
        QCOMPARE(filesByBytes(m_gameDir).keys(), before.keys());
        QVERIFY(filesByBytes(m_gameDir) == before);
        QVERIFY(filesByBytes(m_outside) == outside);
        QVERIFY(!topNamesByBytes(m_gameDir).contains(link));
    }

    void forgettingTheTargetOfAnUnfinishedSwitchReturnsToTheLeftBuild()
    {
        BuildSwitcher switcher;
        prepareTwoBuilds(switcher, 1, 2);
        const Fingerprint first = gameContent();
        // Build 1 is archived, then restoring build 2 breaks off.
        {
            ZipArchive broken;
            QVERIFY(broken.create(buildDir(2) + "/2100-01-01_Two.zip"));
            QVERIFY(broken.addData("../escape.txt", "bad"));
            QVERIFY(broken.close());
        }
        Outcome out = await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); });
        QVERIFY(!out.ok);
        QVERIFY(!out.intact);
        QVERIFY(switcher.hasUnfinishedSwitch());
        const QString firstArchive = switcher.archivePathOf(1);
        QCOMPARE(fingerprintArchive(firstArchive), first);

        // The player deletes the broken target; the next start finishes the recorded work.
        QVERIFY(switcher.forgetBuild(2));
        BuildSwitcher next;
        QVERIFY(!next.interruptedSwitchWarning().isEmpty());
        out = await(next, [&] { next.resumeInterrupted(m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(out.buildId, 1);
        QCOMPARE(gameContent(), first);
        QCOMPARE(readIndex().value("active").toInt(), 1);
        QCOMPARE(fingerprintArchive(next.archivePathOf(1)), first);

        // Without a build to go back to the record stays, so nothing half-switched is ever
        // archived, and nothing is resumed towards a deleted build.
        writeIndex(QJsonObject{{"state", "switching"}, {"from", -1}, {"to", 2}});
        QVERIFY(next.forgetBuild(2));
        QVERIFY(next.hasUnfinishedSwitch());
        QVERIFY(!readIndex().contains("to"));
        next.resumeInterrupted(m_gameDir);
        QVERIFY(!next.busy());
        writeIndex(QJsonObject{{"state", "switching"}, {"from", 1}, {"to", 2}});
        QVERIFY(next.forgetBuild(1));
        QVERIFY(next.forgetBuild(2));
        QVERIFY(next.hasUnfinishedSwitch());
        QVERIFY(!readIndex().contains("to"));
    }

    // Choosing another target while a switch is unfinished does not discharge the build
    // that switch left: its archive is still the only copy of its files.
    void retargetedUnfinishedSwitchKeepsTheLeftBuild()
    {
        BuildSwitcher switcher;
        prepareTwoBuilds(switcher, 1, 2);
        const Fingerprint first = gameContent();
        for (const int target : {3, 4})
            QVERIFY(
                writeZip(buildDir(target) + "/2100-01-01_Broken.zip", {{"../escape.txt", "bad"}}));
        QVERIFY(!await(switcher, [&] { switcher.switchTo(1, "One", 3, "Three", m_gameDir); }).ok);
        QVERIFY(!await(switcher, [&] { switcher.switchTo(1, "One", 4, "Four", m_gameDir); }).ok);
        QCOMPARE(readIndex().value("from").toInt(), 1);
        QCOMPARE(readIndex().value("to").toInt(), 4);

        QVERIFY(switcher.forgetBuild(4));
        const Outcome out = await(switcher, [&] { switcher.resumeInterrupted(m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(out.buildId, 1);
        QCOMPARE(gameContent(), first);
    }

    void warnsAboutInterruptedWork_data()
    {
        QTest::addColumn<QByteArray>("index");
        QTest::addColumn<QString>("warning");
        QTest::newRow("none") << QByteArray() << QString();
        QTest::newRow("idle") << QByteArray(R"({"state":"idle"})") << QString();
        QTest::newRow("unknown") << QByteArray(R"({"state":"weird","to":5})") << QString();
        QTest::newRow("corrupt") << QByteArray("{\"state\":\"switching\"") << QString();
        QTest::newRow("switch named")
            << QByteArray(R"({"state":"switching","to":5,"builds":{"5":{"name":"Vanilla"}}})")
            << "The previous build switch to \"Vanilla\" did not finish — restoring the "
               "contents of .minecraft.";
        QTest::newRow("switch unnamed")
            << QByteArray(R"({"state":"switching","to":5})")
            << "The previous build switch did not finish — restoring the contents of .minecraft.";
        QTest::newRow("apply named")
            << QByteArray(R"({"state":"applying","to":4,"packName":"Season"})")
            << "Installing the build \"Season\" did not finish — rolling its files forward.";
        QTest::newRow("apply unnamed")
            << QByteArray(R"({"state":"applying","to":4})")
            << "Installing the build did not finish — rolling its files forward.";
    }

    void warnsAboutInterruptedWork()
    {
        QFETCH(QByteArray, index);
        QFETCH(QString, warning);
        if (!index.isEmpty())
            writeFile(indexPath(), index);
        BuildSwitcher switcher;
        QCOMPARE(switcher.interruptedSwitchWarning(), warning);
    }

    void resumesInterruptedWorkFromTheIndex()
    {
        BuildSwitcher switcher;
        QSignalSpy finished(&switcher, &BuildSwitcher::finished);
        QSignalSpy failed(&switcher, &BuildSwitcher::failed);

        const QByteArray withoutTarget = R"({"state":"switching","from":1})";
        writeFile(indexPath(), withoutTarget);
        switcher.resumeInterrupted(m_gameDir);
        QVERIFY(!switcher.busy());
        QCOMPARE(readIndex(), QJsonDocument::fromJson(withoutTarget).object());

        const QList<QPair<QString, QByteArray>> five = {{"saves/w/level.dat", "five"},
                                                        {".five", "hidden"}};
        QVERIFY(writeZip(buildDir(5) + "/2026-02-02_Five.zip", five));
        writeIndex(QJsonObject{{"state", "switching"},
                               {"from", 1},
                               {"to", 5},
                               {"builds", QJsonObject{{"5", QJsonObject{{"name", "Five"}}}}}});
        writeFile(m_gameDir + "/saves/w/partial.dat", "left over");
        QVERIFY(await(switcher, [&] { switcher.resumeInterrupted(m_gameDir); }).ok);
        QCOMPARE(gameContent(), fingerprintOf(five));
        QJsonObject index = readIndex();
        QCOMPARE(index.value("state").toString(), QString("idle"));
        QCOMPARE(index.value("active").toInt(), 5);
        QVERIFY(!index.contains("from") && !index.contains("to"));
        QVERIFY(index.value("builds").toObject().contains("5"));

        // A pack application whose pack file is gone is forgotten without a signal.
        finished.clear();
        writeIndex(QJsonObject{{"state", "applying"},
                               {"active", 5},
                               {"from", 9},
                               {"to", 4},
                               {"pack", ".pack-r2.zip"},
                               {"packName", "Season"},
                               {"packRemove", QJsonArray{"a"}},
                               {"packNote", QJsonObject{{"revision", 2}}}});
        switcher.resumeInterrupted(m_gameDir);
        QVERIFY(!switcher.busy());
        index = readIndex();
        QCOMPARE(index.value("state").toString(), QString("idle"));
        for (const char* key : {"pack", "packName", "packRemove", "packNote", "to"})
            QVERIFY2(!index.contains(key), key);
        QCOMPARE(index.value("active").toInt(), 5);
        QCOMPARE(index.value("from").toInt(), 9);

        // With its pack file it runs again.
        const QList<QPair<QString, QByteArray>> pack = {{"mods/season.jar", "season"}};
        QVERIFY(writeZip(buildDir(4) + "/.pack-r2.zip", pack));
        writeFile(m_gameDir + "/mods/old.jar", "previous pack");
        const QJsonObject note{{"seasonalId", "winter"}, {"revision", 2}, {"sha256", "ab"}};
        writeIndex(QJsonObject{{"state", "applying"},
                               {"to", 4},
                               {"pack", ".pack-r2.zip"},
                               {"packName", "Season"},
                               {"packRemove", QJsonArray{"mods/old.jar", 7}},
                               {"packNote", note}});
        const Outcome out = await(switcher, [&] { switcher.resumeInterrupted(m_gameDir); });
        QVERIFY(out.ok);
        QCOMPARE(out.buildId, 4);
        QCOMPARE(switcher.appliedPackNote(), note);
        QCOMPARE(switcher.packEntries(), QStringList({"mods/season.jar"}));
        QVERIFY(!QFile::exists(m_gameDir + "/mods/old.jar"));
        QVERIFY(!QFile::exists(buildDir(4) + "/.pack-r2.zip"));
        QCOMPARE(failed.size(), 0);
    }

    void appliesPackWithRemovals()
    {
        writeFile(m_gameDir + "/mods/old/x.jar", "x");
        writeFile(m_gameDir + "/mods/b.jar", "b");
        writeFile(m_gameDir + "/config/keep.txt", "keep");
        writeFile(m_gameDir + "/libraries/x.jar", "shared");
        writeFile(m_home->path() + "/outside.txt", "outside");
        const QList<QPair<QString, QByteArray>> pack = {
            {"mods/new.jar", "new"},   {"emptydir/", {}},          {"config/pack.cfg", "cfg"},
            {"link", "->/etc/passwd"}, {".hidden/pack", "hidden"}, {"a//b.txt", "doubled"}};
        const QString packPath = buildDir(4) + "/.pack-r2.zip";
        QVERIFY(writeZip(packPath, pack));
        const QStringList removals = {"mods/old/x.jar", "mods/b.jar", "libraries/x.jar",
                                      "../outside.txt", "missing/file.txt"};
        const QJsonObject note{{"seasonalId", "winter"}, {"revision", 2}};

        BuildSwitcher switcher;
        QStringList indexStates;
        connect(&switcher, &BuildSwitcher::progressChanged, this,
                [&] { indexStates.append(readIndex().value("state").toString()); });
        const Outcome out = await(switcher, [&] {
            switcher.applyPack(4, "Season", packPath, removals, note, m_gameDir);
        });
        QVERIFY2(out.ok, qPrintable(out.message));
        QCOMPARE(indexStates.first(), QString("applying"));
        QCOMPARE(switcher.packEntries(),
                 QStringList({"mods/new.jar", "config/pack.cfg", ".hidden/pack", "a//b.txt"}));
        QCOMPARE(switcher.appliedPackNote(), note);
        QVERIFY(!QFile::exists(m_gameDir + "/mods/old"));
        QVERIFY(!QFile::exists(m_gameDir + "/mods/b.jar"));
        QVERIFY(QFile::exists(m_gameDir + "/mods/new.jar"));
        QVERIFY(QFile::exists(m_gameDir + "/config/keep.txt"));
        QVERIFY(QFile::exists(m_gameDir + "/libraries/x.jar"));
        QVERIFY(QFile::exists(m_home->path() + "/outside.txt"));
        QVERIFY(!QFile::exists(m_gameDir + "/emptydir"));
        QVERIFY(!QFileInfo(m_gameDir + "/link").isSymLink());
        QCOMPARE(fingerprintTree(m_gameDir + "/a"), fingerprintOf({{"b.txt", "doubled"}}));
        QVERIFY(!QFile::exists(packPath));
        const QJsonObject index = readIndex();
        QCOMPARE(index.value("state").toString(), QString("idle"));
        QCOMPARE(index.value("active").toInt(), 4);
        for (const char* key : {"pack", "packName", "packRemove", "packNote", "to", "from"})
            QVERIFY2(!index.contains(key), key);

        // A later plain switch carries no pack note.
        QVERIFY(await(switcher, [&] { switcher.switchTo(4, "Season", 5, "Five", m_gameDir); }).ok);
        QVERIFY(switcher.appliedPackNote().isEmpty());
    }

    void refusesUnsafePacks_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("message");
        const QString bad = "The build archive is corrupted: invalid path \"%1\"";
        const QString shared = "The build archive tries to modify the launcher's shared files: "
                               "\"%1\"";
        for (const char* name : {"mods/../x.jar", "/etc/x", "D:/x", "a\\b.txt", "./a", ".."})
            QTest::newRow(name) << QString(name) << bad.arg(name);
        for (const char* name : {"versions/1.20.1/1.20.1.json", "launcher_profiles.json",
                                 "assets/objects/ab/x", "runtime/java"})
            QTest::newRow(name) << QString(name) << shared.arg(name);
    }

    void refusesUnsafePacks()
    {
        QFETCH(QString, entry);
        QFETCH(QString, message);
        writeFile(m_gameDir + "/mods/b.jar", "b");
        const QString packPath = buildDir(4) + "/.pack-r1.zip";
        QVERIFY(writeZip(packPath, {{"mods/fine.jar", "fine"}, {entry, "evil"}}));
        BuildSwitcher switcher;
        const Outcome out = await(switcher, [&] {
            switcher.applyPack(4, "Season", packPath, {"mods/b.jar"}, {}, m_gameDir);
        });
        QVERIFY(!out.ok);
        QVERIFY(out.intact);
        QCOMPARE(out.message, message);
        QVERIFY(QFile::exists(m_gameDir + "/mods/b.jar"));
        QVERIFY(!QFile::exists(m_gameDir + "/mods/fine.jar"));
        QVERIFY(QFile::exists(packPath));
        QCOMPARE(readIndex().value("state").toString(), QString("applying"));
    }

    void packsDoNotReachThroughLinks()
    {
        QDir().mkpath(m_outside);
        writeFile(m_outside + "/victim.jar", "victim");
        QVERIFY(QFile::link(m_outside, m_gameDir + "/mods"));
        const QString packPath = buildDir(4) + "/.pack-r1.zip";

        BuildSwitcher switcher;
        QVERIFY(writeZip(packPath, {{"config/a.cfg", "a"}}));
        Outcome out = await(switcher, [&] {
            switcher.applyPack(4, "Season", packPath, {"mods/victim.jar"}, {}, m_gameDir);
        });
        QVERIFY(out.ok);
        QVERIFY(QFile::exists(m_outside + "/victim.jar"));

        QVERIFY(writeZip(packPath, {{"mods/evil.jar", "evil"}}));
        out =
            await(switcher, [&] { switcher.applyPack(4, "Season", packPath, {}, {}, m_gameDir); });
        QVERIFY(!out.ok);
        QCOMPARE(out.message, QString("The build archive is corrupted: path \"mods/evil.jar\" "
                                      "leads outside the game folder"));
        QVERIFY(!QFile::exists(m_outside + "/evil.jar"));

        const Outcome missing = await(switcher, [&] {
            switcher.applyPack(4, "Season", buildDir(4) + "/.pack-r9.zip", {}, {}, m_gameDir);
        });
        QVERIFY(!missing.ok);
        QVERIFY(missing.intact);
        QVERIFY(missing.message.startsWith("Build archive not found: "));
    }

    void restoreRefusesHostileArchives()
    {
        QVERIFY(writeZip(buildDir(2) + "/2026-01-01_Two.zip",
                         {{"fine.txt", "fine"}, {"../evil.txt", "evil"}}));
        BuildSwitcher switcher;
        Outcome out = await(switcher, [&] { switcher.switchTo(-1, "", 2, "Two", m_gameDir); });
        QVERIFY(!out.ok);
        QVERIFY(!out.intact);
        QCOMPARE(out.message, QString("The archive is corrupted: invalid path \"../evil.txt\""));
        QVERIFY(!QFile::exists(m_home->path() + "/evil.txt"));

        // A shared entry that links elsewhere is not a way out either.
        QDir(m_gameDir + "/assets").removeRecursively();
        QDir().mkpath(m_outside);
        QVERIFY(QFile::link(m_outside, m_gameDir + "/assets"));
        QVERIFY(writeZip(buildDir(3) + "/2026-01-01_Three.zip", {{"assets/evil.txt", "evil"}}));
        out = await(switcher, [&] { switcher.switchTo(-1, "", 3, "Three", m_gameDir); });
        QVERIFY(!out.ok);
        QVERIFY(!QFile::exists(m_outside + "/evil.txt"));
    }

    void archivingSkipsSpecialFiles()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        const Fingerprint before = gameContent();
        QCOMPARE(::mkfifo(QFile::encodeName(m_gameDir + "/config/pipe").constData(), 0600), 0);
        BuildSwitcher switcher;
        QVERIFY(await(switcher, [&] { switcher.switchTo(1, "One", 2, "Two", m_gameDir); }).ok);
        QCOMPARE(fingerprintArchive(switcher.archivePathOf(1)), before);
    }

    void forgetsBuilds()
    {
        writeIndex(QJsonObject{{"state", "idle"},
                               {"active", 3},
                               {"builds", QJsonObject{{"3", QJsonObject{{"name", "Three"}}},
                                                      {"4", QJsonObject{{"name", "Four"}}}}}});
        writeFile(buildDir(3) + "/2026-01-01_Three.zip", "zip");
        BuildSwitcher switcher;
        const QJsonObject before = readIndex();
        QVERIFY(switcher.forgetBuild(-1));
        QCOMPARE(readIndex(), before);
        QVERIFY(switcher.forgetBuild(3));
        QVERIFY(!QFile::exists(buildDir(3)));
        QJsonObject index = readIndex();
        QVERIFY(!index.contains("active"));
        QCOMPARE(index.value("builds").toObject().keys(), QStringList({"4"}));
        QVERIFY(switcher.forgetBuild(8));
        QVERIFY(switcher.forgetBuild(4));
        QVERIFY(readIndex().contains("builds"));
        QVERIFY(readIndex().value("builds").toObject().isEmpty());
    }

    void destructionMidSwitchLeavesRecoverableState()
    {
        writeBuildContent(m_gameDir, 1, m_outside);
        writeFile(m_gameDir + "/saves/big.dat", noise(24 * 1024 * 1024, 5));
        const Fingerprint before = gameContent();
        {
            BuildSwitcher switcher;
            switcher.switchTo(1, "One", 2, "Two", m_gameDir);
            QVERIFY(switcher.busy());
        }
        BuildSwitcher next;
        QVERIFY(next.interruptedSwitchWarning().isEmpty());
        QCOMPARE(gameContent(), before);
        QCOMPARE(QDir(buildDir(1)).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void killedSwitchResumesWithNothingLost()
    {
        // Build 2 archived with content 2, build 1 live with content 1 and some bulk so
        // that every stage lasts long enough to be hit.
        {
            BuildSwitcher switcher;
            prepareTwoBuilds(switcher, 1, 2);
        }
        writeFile(m_gameDir + "/mods/bulk.jar", noise(6 * 1024 * 1024, 9));
        writeFile(m_gameDir + "/saves/bulk.dat", QByteArray(6 * 1024 * 1024, 'z'));
        Fingerprint content[3] = {{}, gameContent(), {}};
        {
            BuildSwitcher switcher;
            content[2] = fingerprintArchive(switcher.archivePathOf(2));
        }
        QVERIFY(!content[2].isEmpty());

        int live = 1;
        for (int round = 0; round < 4; ++round) {
            const int other = 3 - live;
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {kSwitchChildArgument, QString::number(live), QString::number(live),
                         QString::number(other), QString::number(other), m_gameDir});
            QVERIFY(child.waitForStarted());
            const QByteArray stopAt = "stage " + QByteArray::number(1 + round % 3);
            QByteArray output;
            while (!output.contains(stopAt) && child.state() == QProcess::Running) {
                child.waitForReadyRead(50);
                output += child.readAllStandardOutput();
            }
            QTest::qSleep(QRandomGenerator::global()->bounded(30));
            child.kill();
            child.waitForFinished();

            BuildSwitcher switcher;
            if (!switcher.interruptedSwitchWarning().isEmpty())
                QVERIFY(await(switcher, [&] { switcher.resumeInterrupted(m_gameDir); }).ok);
            const Fingerprint now = gameContent();
            QVERIFY2(now == content[live] || now == content[other],
                     qPrintable(QString("round %1").arg(round)));
            if (now == content[other])
                live = other;
            QCOMPARE(fingerprintArchive(switcher.archivePathOf(3 - live)), content[3 - live]);
            QVERIFY(QDir(buildDir(1)).entryList({".tmp-*"}, QDir::Files | QDir::Hidden).isEmpty());
        }
    }
};

int main(int argc, char** argv)
{
    if (isSwitchChild(argc, argv))
        return runSwitchChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestBuildSwitcher test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_buildswitcher.moc"
