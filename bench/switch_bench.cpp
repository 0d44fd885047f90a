// Switches a game directory of about 1 GiB away to an empty build and back, and times
// the archive and the restore next to the disk's floor (a plain copy of the same tree,
// flushed) and to zip and unzip of the same tree, all in the same run.
// The floor is taken twice: copying into a new folder, and into a folder just emptied of
// the same tree, as a switch restores into a game directory it has just cleared. File
// systems differ there: ext4 without a journal, for one, skips inodes freed within the
// last minute or more when it makes new files, which costs both alike.
//   switch_bench [--size F[,F...]] [--rounds N]
// --size scales the default tree (1); several factors run one after another and end with
// the cost per MiB at each size. Each figure is the best of N interleaved rounds (3).

#include "buildarchiveworker.h"
#include "buildswitcher.h"
#include "gamedirfixture.h"
#include "launcherpaths.h"
#include "localization.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <sys/resource.h>
#include <time.h>

using namespace GameDirFixture;

namespace {

constexpr qint64 kKiB = 1024;
constexpr qint64 kMiB = 1024 * 1024;
constexpr int kDefaultMods = 190;

// A region file: a header, then chunks that are partly noise and partly zero padding, as
// the game's own files are.
QByteArray regionFile(quint32 seed)
{
    QByteArray data = noise(8 * kKiB, seed);
    for (int chunk = 0; chunk < 24; ++chunk) {
        data += noise(3 * kKiB, seed * 31 + chunk);
        data += QByteArray(3 * kKiB, '\0');
    }
    return data;
}

QByteArray configFile(int n)
{
    QByteArray text;
    for (int line = 0; text.size() < 1500 + (n % 7) * 300; ++line)
        text += "option" + QByteArray::number(line) + " = " + QByteArray::number(n * line) + "\n";
    return text;
}

// The sizes of the default tree's mods, log-uniform between 100 KB and 20 MB, smallest
// first.
std::vector<qint64> defaultModSizes()
{
    QRandomGenerator sizes(42);
    std::vector<qint64> result;
    for (int i = 0; i < kDefaultMods; ++i) {
        const double exponent = std::log(100.0 * kKiB) +
                                sizes.generateDouble() * std::log(20.0 * kMiB / (100.0 * kKiB));
        result.push_back(qint64(std::exp(exponent)));
    }
    std::sort(result.begin(), result.end());
    return result;
}

int scaled(int count, double factor)
{
    return std::max(1, int(std::lround(count * factor)));
}

// The default tree scaled by factor: every kind of file scaled in number, the mods drawn
// evenly from the default sizes so that the mix stays the same.
qint64 buildTree(const QString& gameDir, double factor)
{
    qint64 total = 0;
    const auto put = [&](const QString& path, const QByteArray& data) {
        writeFile(gameDir + "/" + path, data);
        total += data.size();
    };
    const std::vector<qint64> modSizes = defaultModSizes();
    const int mods = scaled(kDefaultMods, factor);
    for (int i = 0; i < mods; ++i) {
        const size_t pick = size_t((i + 0.5) * kDefaultMods / mods);
        put(QStringLiteral("mods/mod-%1.jar").arg(i), noise(modSizes.at(pick), i));
    }
    const int regions = scaled(2000, factor);
    for (int i = 0; i < regions; ++i)
        put(QStringLiteral("saves/World/region/r.%1.%2.mca").arg(i / 50).arg(i % 50),
            regionFile(1000 + i));
    const int configs = scaled(3000, factor);
    for (int i = 0; i < configs; ++i)
        put(QStringLiteral("config/mod%1/settings-%2.toml").arg(i / 20).arg(i), configFile(i));
    const int textures = scaled(200, factor);
    for (int i = 0; i < textures; ++i)
        put(QStringLiteral("resourcepacks/pack/textures/t%1.png").arg(i),
            noise(20 * kKiB, 7000 + i));
    put(QStringLiteral("options.txt"), configFile(1));
    put(QStringLiteral(".hidden/state.json"), configFile(2));
    writeFile(gameDir + "/versions/1.20.1/1.20.1.json", "{}");
    return total;
}

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measure {
    double seconds = 1e9;
    double cpu = 0;

    bool valid() const { return seconds < 1e9; }
    void keepBest(const Measure& other)
    {
        if (other.seconds < seconds)
            *this = other;
    }
};

struct Timings {
    Measure archive;
    Measure restore;
};

bool runSwitch(BuildSwitcher& switcher, int from, int to, const QString& gameDir, Timings& timings)
{
    QElapsedTimer clock;
    double stageStart = 0;
    double cpuStart = 0;
    int stage = BuildSwitcher::Idle;
    bool ok = false;
    QEventLoop loop;
    const auto stageChanged = QObject::connect(&switcher, &BuildSwitcher::progressChanged, [&] {
        if (switcher.stage() == stage)
            return;
        const double now = clock.nsecsElapsed() / 1e9;
        const double cpuNow = processCpuSeconds();
        if (stage == BuildSwitcher::Archiving)
            timings.archive = {now - stageStart, cpuNow - cpuStart};
        if (stage == BuildSwitcher::Restoring)
            timings.restore = {now - stageStart, cpuNow - cpuStart};
        stage = switcher.stage();
        stageStart = now;
        cpuStart = cpuNow;
    });
    const auto done = QObject::connect(&switcher, &BuildSwitcher::finished, [&] {
        ok = true;
        loop.quit();
    });
    const auto failed =
        QObject::connect(&switcher, &BuildSwitcher::failed, [&](int, const QString& message, bool) {
            std::fprintf(stderr, "switch failed: %s\n", qPrintable(message));
            loop.quit();
        });
    clock.start();
    switcher.switchTo(from, QString::number(from), to, QString::number(to), gameDir);
    loop.exec();
    QObject::disconnect(stageChanged);
    QObject::disconnect(done);
    QObject::disconnect(failed);
    return ok;
}

// Runs the commands one after another and times them together.
Measure timeCommands(const QList<QStringList>& commands, const QString& dir)
{
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = childrenCpuSeconds();
    for (const QStringList& command : commands) {
        QProcess process;
        process.setWorkingDirectory(dir);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(command.first(), command.mid(1));
        if (!process.waitForFinished(-1) || process.exitCode() != 0) {
            std::fprintf(stderr, "%s failed\n", qPrintable(command.join(' ')));
            return {};
        }
    }
    return {clock.nsecsElapsed() / 1e9, childrenCpuSeconds() - cpuStart};
}

// Deletes what the folder holds and keeps the folder, as a switch clears the game
// directory.
void emptyFolder(const QString& dir)
{
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

// Copies the tree into the folder and flushes the file system.
Measure copyTree(const QString& from, const QString& to)
{
    return timeCommands({{"cp", "-r", "--reflink=never", from + "/.", to}, {"sync", "-f", to}},
                        from);
}

struct SizeResult {
    double factor = 1;
    qint64 files = 0;
    qint64 bytes = 0;
    Measure floor;
    Measure floorEmptied;
    Measure archive;
    Measure restore;
    bool intact = false;
};

// Builds the tree at one size and measures everything on it.
bool measureSize(double factor, int rounds, SizeResult& result)
{
    QTemporaryDir home(QDir::tempPath() + "/hm-switch-bench-XXXXXX");
    if (!home.isValid())
        return false;
    qputenv("HOLLOWMERE_HOME", home.path().toLocal8Bit());
    const QString gameDir = home.path() + "/.minecraft";

    std::printf("Building the game directory at %gx the default size...\n", factor);
    result.factor = factor;
    result.bytes = buildTree(gameDir, factor);
    const Fingerprint original = fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel());
    result.files = original.size();
    std::printf("%lld files, %.1f MiB of build content\n", qlonglong(result.files),
                result.bytes / double(kMiB));

    // The floor: the same tree copied file by file and flushed to the disk, as the
    // restore flushes its file system before the switch is recorded as done.
    const QString copyDir = home.path() + "/copy";
    const QString emptiedDir = home.path() + "/emptied";
    // The standard tools with the same choice of stored entries and the same deflate level
    // (6) that the launcher's archives use.
    const QString storedList = BuildArchiveWorker::storedSuffixes().join(QLatin1Char(':'));
    const QString zipPath = home.path() + "/tools.zip";
    const QString unzipDir = home.path() + "/unzipped";
    BuildSwitcher switcher;
    Measure zipTime;
    Measure unzipTime;
    qint64 toolsZipSize = 0;
    result.intact = true;
    // Every timed step starts with nothing left to flush from the steps before.
    const auto settle = [&] { timeCommands({{"sync", "-f", home.path()}}, home.path()); };
    for (int round = 0; round < rounds; ++round) {
        settle();
        result.floor.keepBest(copyTree(gameDir, copyDir));
        QDir(copyDir).removeRecursively();
        if (round == 0)
            copyTree(gameDir, emptiedDir);
        emptyFolder(emptiedDir);
        settle();
        result.floorEmptied.keepBest(copyTree(gameDir, emptiedDir));

        settle();
        zipTime.keepBest(timeCommands(
            {{"zip", "-r", "-q", "-6", "-n", storedList, zipPath, ".", "-x", "versions/*"}},
            gameDir));
        settle();
        unzipTime.keepBest(timeCommands({{"unzip", "-q", zipPath, "-d", unzipDir}}, home.path()));
        toolsZipSize = QFileInfo(zipPath).size();
        QFile::remove(zipPath);
        QDir(unzipDir).removeRecursively();

        // Away to the empty build 2, whose clearing is timed with nothing; back to build 1,
        // restoring right after its own clearing, as any switch does.
        Timings away;
        Timings back;
        settle();
        if (!runSwitch(switcher, 1, 2, gameDir, away))
            return false;
        settle();
        if (!runSwitch(switcher, 2, 1, gameDir, back))
            return false;
        result.archive.keepBest(away.archive);
        result.restore.keepBest(back.restore);
        result.intact =
            result.intact && fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()) == original;
    }
    const qint64 archiveSize = QFileInfo(switcher.archivePathOf(1)).size();

    std::printf("\nbest of %d rounds; x floor: copied to a new folder / to a folder just "
                "emptied\n",
                rounds);
    const auto row = [&](const QString& what, const Measure& measure) {
        std::printf(
            "%-40s %6.2f s %7.1f MiB/s %6.2f s CPU %5.2f x /%5.2f x\n", qPrintable(what.left(40)),
            measure.seconds, result.bytes / double(kMiB) / measure.seconds, measure.cpu,
            measure.seconds / result.floor.seconds, measure.seconds / result.floorEmptied.seconds);
    };
    row(QStringLiteral("floor: cp -r + sync -f, new folder"), result.floor);
    row(QStringLiteral("floor: the same, folder just emptied"), result.floorEmptied);
    row(QStringLiteral("launcher archive (switch away)"), result.archive);
    row(QStringLiteral("zip -r -q -6 -n ") + storedList, zipTime);
    row(QStringLiteral("launcher restore (switch back)"), result.restore);
    row(QStringLiteral("unzip -q"), unzipTime);
    std::printf("archive size: launcher %.1f MiB, zip %.1f MiB\n", archiveSize / double(kMiB),
                toolsZipSize / double(kMiB));
    std::printf("restored tree identical to the original: %s\n\n", result.intact ? "yes" : "NO");
    return result.intact && result.floor.valid() && result.floorEmptied.valid() &&
           zipTime.valid() && unzipTime.valid();
}

double msPerMiB(const Measure& measure, qint64 bytes)
{
    return measure.seconds * 1000 / (bytes / double(kMiB));
}

QList<double> parseSizes(const QString& text)
{
    QList<double> sizes;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const double factor = part.toDouble();
        if (factor > 0)
            sizes.append(factor);
    }
    return sizes;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QList<double> sizes;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--size"))
            sizes += parseSizes(args.at(++i));
        else if (args.at(i) == QLatin1String("--rounds"))
            rounds = std::max(1, args.at(++i).toInt());
    }
    if (sizes.isEmpty())
        sizes = {1.0};
    Localization::instance()->load();

    QList<SizeResult> results;
    for (double factor : std::as_const(sizes)) {
        SizeResult result;
        if (!measureSize(factor, rounds, result))
            return 1;
        results.append(result);
    }
    if (results.size() < 2)
        return 0;
    std::printf("cost per MiB (ms), best of %d rounds; floor: new folder / emptied\n", rounds);
    std::printf("%6s %8s %13s %8s %8s %8s\n", "size", "MiB", "floor", "archive", "restore", "both");
    for (const SizeResult& result : std::as_const(results)) {
        const double archive = msPerMiB(result.archive, result.bytes);
        const double restore = msPerMiB(result.restore, result.bytes);
        std::printf("%5gx %8.1f %6.2f /%5.2f %8.2f %8.2f %8.2f\n", result.factor,
                    result.bytes / double(kMiB), msPerMiB(result.floor, result.bytes),
                    msPerMiB(result.floorEmptied, result.bytes), archive, restore,
                    archive + restore);
    }
    return 0;
}
