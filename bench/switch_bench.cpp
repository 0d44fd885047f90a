// Switches a game directory of about 1 GiB away to an empty build and back, and times
// the archive and the restore next to zip and unzip of the same tree in the same run.

#include "buildswitcher.h"
#include "gamedirfixture.h"
#include "launcherpaths.h"
#include "localization.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>

#include <sys/resource.h>
#include <time.h>

using namespace GameDirFixture;

namespace {

constexpr qint64 kKiB = 1024;
constexpr qint64 kMiB = 1024 * 1024;
constexpr int kRounds = 3;

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

qint64 buildTree(const QString& gameDir)
{
    qint64 total = 0;
    const auto put = [&](const QString& path, const QByteArray& data) {
        writeFile(gameDir + "/" + path, data);
        total += data.size();
    };
    QRandomGenerator sizes(42);
    for (int i = 0; i < 190; ++i) {
        // Log-uniform between 100 KB and 20 MB.
        const double exponent = std::log(100.0 * kKiB) +
                                sizes.generateDouble() * std::log(20.0 * kMiB / (100.0 * kKiB));
        put(QStringLiteral("mods/mod-%1.jar").arg(i), noise(qint64(std::exp(exponent)), i));
    }
    for (int i = 0; i < 2000; ++i)
        put(QStringLiteral("saves/World/region/r.%1.%2.mca").arg(i / 50).arg(i % 50),
            regionFile(1000 + i));
    for (int i = 0; i < 3000; ++i)
        put(QStringLiteral("config/mod%1/settings-%2.toml").arg(i / 20).arg(i), configFile(i));
    for (int i = 0; i < 200; ++i)
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
    double seconds = 0;
    double cpu = 0;
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

Measure timeCommand(const QString& program, const QStringList& arguments, const QString& dir)
{
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = childrenCpuSeconds();
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        return {};
    }
    return {clock.nsecsElapsed() / 1e9, childrenCpuSeconds() - cpuStart};
}

void printRow(const char* what, const Measure& measure, qint64 bytes)
{
    std::printf("%-38s %7.2f s %8.1f MB/s %7.2f s CPU\n", what, measure.seconds,
                bytes / double(kMiB) / measure.seconds, measure.cpu);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home(QDir::tempPath() + "/hm-switch-bench-XXXXXX");
    if (!home.isValid())
        return 1;
    qputenv("HOLLOWMERE_HOME", home.path().toLocal8Bit());
    const QString gameDir = home.path() + "/.minecraft";
    Localization::instance()->load();

    std::printf("Building the game directory...\n");
    const qint64 bytes = buildTree(gameDir);
    const Fingerprint original = fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel());
    std::printf("%lld files, %.1f MiB of build content\n\n", qlonglong(original.size()),
                bytes / double(kMiB));

    // The same tree through the standard tools, with the same choice of stored entries
    // and the same deflate level (6) that the launcher's archives use.
    // The machine may be shared: each figure is the best of a few interleaved rounds.
    const QString zipPath = home.path() + "/tools.zip";
    const QString unzipDir = home.path() + "/unzipped";
    BuildSwitcher switcher;
    Measure zipTime{1e9, 0};
    Measure unzipTime{1e9, 0};
    Measure archiveTime{1e9, 0};
    Measure restoreTime{1e9, 0};
    qint64 toolsZipSize = 0;
    bool intact = true;
    const auto keepBest = [](Measure& best, const Measure& measure) {
        if (measure.seconds < best.seconds)
            best = measure;
    };
    for (int round = 0; round < kRounds; ++round) {
        keepBest(zipTime, timeCommand("zip",
                                      {"-r", "-q", "-6", "-n", ".jar:.zip:.png:.ogg", zipPath, ".",
                                       "-x", "versions/*"},
                                      gameDir));
        keepBest(unzipTime, timeCommand("unzip", {"-q", zipPath, "-d", unzipDir}, home.path()));
        toolsZipSize = QFileInfo(zipPath).size();
        QFile::remove(zipPath);
        QDir(unzipDir).removeRecursively();

        Timings away;
        Timings back;
        if (!runSwitch(switcher, 1, 2, gameDir, away) || !runSwitch(switcher, 2, 1, gameDir, back))
            return 1;
        keepBest(archiveTime, away.archive);
        keepBest(restoreTime, back.restore);
        intact = intact && fingerprintTree(gameDir, BuildSwitcher::sharedTopLevel()) == original;
    }
    const qint64 archiveSize = QFileInfo(switcher.archivePathOf(1)).size();

    std::printf("best of %d rounds\n", kRounds);
    printRow("launcher archive (switch away)", archiveTime, bytes);
    printRow("zip -r -q -6 -n .jar:.zip:.png:.ogg", zipTime, bytes);
    printRow("launcher restore (switch back)", restoreTime, bytes);
    printRow("unzip -q", unzipTime, bytes);
    std::printf("\narchive size: launcher %.1f MiB, zip %.1f MiB\n", archiveSize / double(kMiB),
                toolsZipSize / double(kMiB));
    std::printf("restored tree identical to the original: %s\n", intact ? "yes" : "NO");
    return intact ? 0 : 1;
}
