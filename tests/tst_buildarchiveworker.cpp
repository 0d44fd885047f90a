#include "buildarchiveworker.h"
#include "fifowatchdog.h"
#include "gamedirfixture.h"
#include "localization.h"
#include "temphome.h"
#include "ziparchive.h"
#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace GameDirFixture;
using TestHelpers::native;
using TestHelpers::readFile;
using TestHelpers::writeZipBomb;

namespace {

struct Result {
    bool ok = false;
    QString error;
    QList<QList<QVariant>> progress;
};

// Runs one request synchronously (the worker's signals are direct here) and collects it.
template <typename Call> Result run(BuildArchiveWorker& worker, Call call)
{
    QSignalSpy progress(&worker, &BuildArchiveWorker::progress);
    QSignalSpy finished(&worker, &BuildArchiveWorker::finished);
    call();
    Result result;
    if (finished.size() == 1) {
        result.ok = finished.first().at(0).toBool();
        result.error = finished.first().at(1).toString();
    }
    for (const QList<QVariant>& report : progress)
        result.progress.append(report);
    return result;
}

const QStringList kShared = {"assets", "libraries", "versions", "launcher_profiles.json",
                             "runtime"};

} // namespace

class TestBuildArchiveWorker : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TempHome home;
        home.writeFile("Hollowmere/settings.json", R"({"language":"en"})");
        QVERIFY(Localization::instance()->load());
    }

    void archiveReportsEveryFileAndStoresCompressedOnes()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        writeSharedEntries(game);
        writeFile(game + "/mods/a.jar", noise(50000, 1));
        writeFile(game + "/shot.PNG", noise(5000, 2));
        writeFile(game + "/config/big.txt", QByteArray(200000, 'x'));
        // Compressed data by its name, whatever the bytes: stored even when they would
        // deflate well.
        const QStringList compressedByName = {"saves/w/region/r.0.0.mca", "saves/w/r.0.0.mcr",
                                              "saves/w/level.DAT", "structures/house.nbt",
                                              "logs/old.log.gz"};
        for (const QString& name : compressedByName)
            writeFile(game + "/" + name, QByteArray(30000, '\0'));
        BuildArchiveWorker worker;
        const QString zipPath = home.path() + "/out.zip";
        const Result result = run(worker, [&] { worker.archive(game, zipPath, kShared); });
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(result.progress.size(), 9);
        QCOMPARE(result.progress.first(), QList<QVariant>({0, 8, QString()}));
        QCOMPARE(result.progress.last().at(0).toInt(), 8);
        QStringList reported;
        for (int i = 1; i < 9; ++i)
            reported.append(result.progress.at(i).at(2).toString());
        reported.sort();
        QStringList expected =
            QStringList({"config/big.txt", "mods/a.jar", "shot.PNG"}) + compressedByName;
        expected.sort();
        QCOMPARE(reported, expected);

        ZipArchive zip;
        QVERIFY(zip.open(zipPath));
        for (const ZipEntryInfo& entry : zip.entries()) {
            QCOMPARE(BuildArchiveWorker::isAlreadyCompressed(entry.name),
                     entry.name != "config/big.txt");
            if (BuildArchiveWorker::isAlreadyCompressed(entry.name))
                QCOMPARE(entry.compressedSize, entry.size);
            else
                QVERIFY(entry.compressedSize < entry.size / 10);
        }
    }

    void archiveOfAnEmptyOrMissingDirectory()
    {
        TempHome home;
        BuildArchiveWorker worker;
        const QString zipPath = home.path() + "/out.zip";
        Result result = run(worker, [&] { worker.archive(home.path() + "/none", zipPath, {}); });
        QVERIFY(!result.ok);
        QVERIFY(result.error.startsWith("Game folder not found: "));
        QVERIFY(!QFile::exists(zipPath));

        QDir().mkpath(home.path() + "/empty/versions");
        result = run(worker, [&] { worker.archive(home.path() + "/empty", zipPath, kShared); });
        QVERIFY(result.ok);
        ZipArchive zip;
        QVERIFY(zip.open(zipPath));
        QCOMPARE(zip.entryCount(), 0);

        const QString restored = home.path() + "/restored";
        result = run(worker, [&] { worker.restore(zipPath, restored); });
        QVERIFY(result.ok);
        QCOMPARE(result.progress, QList<QList<QVariant>>({{0, 0, QString()}}));
        QVERIFY(QFileInfo(restored).isDir());
    }

    void cancellationStopsBetweenFiles()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        writeFile(game + "/a.txt", "a");
        writeFile(game + "/b.txt", "b");
        BuildArchiveWorker worker;
        worker.raiseCancel();
        const QString zipPath = home.path() + "/out.zip";
        Result result = run(worker, [&] { worker.archive(game, zipPath, kShared); });
        QVERIFY(!result.ok);
        QCOMPARE(result.error, QStringLiteral("Archiving cancelled"));
        QVERIFY(!QFile::exists(zipPath));

        worker.lowerCancel();
        QVERIFY(run(worker, [&] { worker.archive(game, zipPath, kShared); }).ok);
        worker.raiseCancel();
        result = run(worker, [&] { worker.restore(zipPath, home.path() + "/r"); });
        QCOMPARE(result.error, QStringLiteral("Extraction cancelled"));
        result = run(worker, [&] { worker.applyPack(zipPath, home.path() + "/r", {}, kShared); });
        QCOMPARE(result.error, QStringLiteral("Build installation cancelled"));

        // Clearing does not look at the flag.
        result = run(worker, [&] { worker.clear(game, kShared); });
        QVERIFY(result.ok);
        QCOMPARE(topLevelNames(game), QStringList());
    }

    // The files are listed before the first report and opened after it: a FIFO put in
    // the place of one in between is refused, not waited on.
    void fileSwappedForAFifoIsRefusedWithoutWaiting()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        const QString swapped = game + "/config/options.txt";
        writeFile(swapped, "regular when listed");
        BuildArchiveWorker worker;
        std::unique_ptr<FifoWatchdog> watchdog;
        connect(&worker, &BuildArchiveWorker::progress, this, [&](int done) {
            if (done != 0)
                return;
            QVERIFY(QFile::remove(swapped));
            QCOMPARE(::mkfifo(QFile::encodeName(swapped).constData(), 0600), 0);
            watchdog = std::make_unique<FifoWatchdog>(swapped);
        });
        const QString zipPath = home.path() + "/out.zip";
        const Result result = run(worker, [&] { worker.archive(game, zipPath, kShared); });
        QVERIFY(watchdog);
        QCOMPARE(watchdog->rescues(), 0);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(Loc::text("storage.error.notRegularFile")),
                 qPrintable(result.error));
        QVERIFY(!QFile::exists(zipPath));
    }

    void restoresLargeArchivesCompletely()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        for (int i = 0; i < 600; ++i)
            writeFile(game + QStringLiteral("/d%1/.f%2.bin").arg(i % 13).arg(i),
                      i % 3 ? noise(i * 97, i) : QByteArray(i * 50, char(i)));
        const Fingerprint original = fingerprintTree(game);
        BuildArchiveWorker worker;
        const QString zipPath = home.path() + "/out.zip";
        QVERIFY(run(worker, [&] { worker.archive(game, zipPath, kShared); }).ok);

        const QString restored = home.path() + "/restored";
        Result result = run(worker, [&] { worker.restore(zipPath, restored); });
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(fingerprintTree(restored), original);
        QCOMPARE(result.progress.size(), 601);
        for (int i = 0; i <= 600; ++i)
            QCOMPARE(result.progress.at(i).at(0).toInt(), i);

        // A failure met by any of the extracting threads ends the request once.
        QDir(restored).removeRecursively();
        QDir().mkpath(restored);
        QDir().mkpath(home.path() + "/elsewhere");
        QVERIFY(QFile::link(home.path() + "/elsewhere", restored + "/d7"));
        QSignalSpy finished(&worker, &BuildArchiveWorker::finished);
        result = run(worker, [&] { worker.restore(zipPath, restored); });
        QCOMPARE(finished.size(), 1);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.startsWith("The archive is corrupted: invalid path \"d7/"),
                 qPrintable(result.error));
        QVERIFY(QDir(home.path() + "/elsewhere").isEmpty());
    }

    void clearKeepsSharedEntriesAndLinkTargets()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        const QString outside = home.path() + "/outside";
        writeSharedEntries(game);
        writeBuildContent(game, 1, outside);
        QVERIFY(QFile::link(outside + "/target-dir", game + "/top-link"));
        BuildArchiveWorker worker;
        const Result result = run(worker, [&] { worker.clear(game, kShared); });
        QVERIFY(result.ok);
        QCOMPARE(topLevelNames(game), QStringList({"assets", "launcher_profiles.json", "libraries",
                                                   "runtime", "versions"}));
        QCOMPARE(result.progress.first().at(1).toInt(), result.progress.size() - 1);
        QVERIFY(QFile::exists(outside + "/target-dir/inside.txt"));
        QVERIFY(QFile::exists(outside + "/target-file.txt"));
        QVERIFY(run(worker, [&] { worker.clear(home.path() + "/none", kShared); }).ok);
    }

    void packRemovalsAndPruning()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        writeFile(game + "/mods/a/x.jar", "x");
        writeFile(game + "/mods/b.jar", "b");
        writeFile(game + "/keep/c.txt", "c");
        // Left by a kill while a file took its place; the other name is a player's.
        writeFile(game + "/keep/.hm-part-x1", "half");
        writeFile(game + "/keep/.hm-parts", "mine");
        QDir().mkpath(game + "/config/sub");
        ZipArchive zip;
        const QString packPath = home.path() + "/pack.zip";
        QVERIFY(zip.create(packPath));
        QVERIFY(zip.addData("keep/new.txt", "new"));
        QVERIFY(zip.close());

        BuildArchiveWorker worker;
        Result result = run(worker, [&] {
            worker.applyPack(packPath, game, {"mods/a/x.jar", "mods/b.jar", "gone/y.txt"}, kShared);
        });
        QVERIFY2(result.ok, qPrintable(result.error));
        QVERIFY(!QFile::exists(game + "/mods"));
        QVERIFY(QFile::exists(game + "/keep/c.txt"));
        QVERIFY(!QFile::exists(game + "/keep/.hm-part-x1"));
        QVERIFY(QFile::exists(game + "/keep/.hm-parts"));
        QCOMPARE(result.progress.first(), QList<QVariant>({0, 4, QString()}));
        QCOMPARE(result.progress.at(3), QList<QVariant>({3, 4, QString("gone/y.txt")}));

        result = run(worker, [&] { worker.applyPack(packPath, game, {"config/sub"}, kShared); });
        QVERIFY(!result.ok);
        QCOMPARE(result.error, QStringLiteral("Could not delete %1")
                                   .arg(QDir::toNativeSeparators(game + "/config/sub")));

        result =
            run(worker, [&] { worker.applyPack(home.path() + "/none.zip", game, {}, kShared); });
        QVERIFY(result.error.startsWith("Could not open archive "));

        // A folder reached through a linked parent lies elsewhere and is never pruned.
        const QString shared = home.path() + "/shared-mods";
        QDir().mkpath(shared + "/sub");
        QVERIFY(QFile::link(shared, game + "/mods"));
        result =
            run(worker, [&] { worker.applyPack(packPath, game, {"mods/sub/x.jar"}, kShared); });
        QVERIFY2(result.ok, qPrintable(result.error));
        QVERIFY(QFileInfo(shared + "/sub").isDir());
        QVERIFY(QFileInfo(game + "/mods").isSymLink());
    }

    // Duplicates side by side are taken by different extracting threads at once.
    void duplicateNamesRestoreTheLastEntryWhole()
    {
        TempHome home;
        ZipWriter zip;
        for (int i = 0; i < 300; ++i)
            zip.addFile(QByteArray("config/f") + QByteArray::number(i), "x");
        const QList<QByteArray> names = {"mods/dup.jar", "mods/dup.jar", "mods/dup.jar",
                                         "mods//dup.jar"};
        for (int i = 0; i < names.size(); ++i)
            zip.addFile(names.at(i), noise(1024 * 1024, quint32(i + 1)));
        const QByteArray last = noise(1024 * 1024, quint32(names.size()));
        const QString zipPath = home.path() + "/dup.zip";
        QVERIFY(zip.write(zipPath));

        const QString game = home.path() + "/game";
        BuildArchiveWorker worker;
        for (int run50 = 0; run50 < 50; ++run50) {
            QDir(game).removeRecursively();
            const Result result = run(worker, [&] { worker.restore(zipPath, game); });
            QVERIFY2(result.ok, qPrintable(result.error));
            QVERIFY2(readFile(game + "/mods/dup.jar") == last, qPrintable(QString::number(run50)));
        }
        QSignalSpy entries(&worker, &BuildArchiveWorker::packEntries);
        QVERIFY(run(worker, [&] { worker.applyPack(zipPath, game, {}, kShared); }).ok);
        QCOMPARE(readFile(game + "/mods/dup.jar"), last);
        QCOMPARE(entries.first().first().toStringList().filter("dup.jar"),
                 QStringList{"mods//dup.jar"});
    }

    void nothingIsCreatedBeyondALinkedFolder()
    {
        TempHome home;
        const QString game = home.path() + "/game";
        const QString outside = home.path() + "/other-disk";
        QDir().mkpath(outside);
        QDir().mkpath(game);
        QVERIFY(QFile::link(outside, game + "/mods"));
        const QString zipPath = home.path() + "/deep.zip";
        ZipWriter zip;
        zip.addFile("mods/new/deeper/x.jar", "x");
        QVERIFY(zip.write(zipPath));

        BuildArchiveWorker worker;
        Result result = run(worker, [&] { worker.restore(zipPath, game); });
        QCOMPARE(result.error, QString("The archive is corrupted: invalid path "
                                       "\"mods/new/deeper/x.jar\""));
        QVERIFY(QDir(outside).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        result = run(worker, [&] { worker.applyPack(zipPath, game, {}, kShared); });
        QVERIFY(!result.ok);
        QVERIFY(QDir(outside).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    void zipBombsAreRefusedBeforeExtraction()
    {
        TempHome home;
        const QString zipPath = home.path() + "/bomb.zip";
        QVERIFY(writeZipBomb(zipPath, "saves/bomb.dat", 16 * 1024 * 1024));
        QVERIFY(QFileInfo(zipPath).size() < 64 * 1024);
        const QString game = home.path() + "/game";
        const QString expected =
            Loc::text("storage.error.notEnoughSpaceToExtract").arg(native(zipPath), "80");
        const TestHelpers::ScopedFreeSpace space(8 * 1024 * 1024);

        BuildArchiveWorker worker;
        Result result = run(worker, [&] { worker.restore(zipPath, game); });
        QCOMPARE(result.error, expected);
        QVERIFY(!QFileInfo::exists(game));
        result = run(worker, [&] { worker.applyPack(zipPath, game, {}, kShared); });
        QCOMPARE(result.error, expected);
        QVERIFY(!QFileInfo::exists(game));
    }
};

QTEST_GUILESS_MAIN(TestBuildArchiveWorker)
#include "tst_buildarchiveworker.moc"
