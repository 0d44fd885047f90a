// Applies a seasonal pack of 20,000 files through the install pipeline over a build whose
// earlier pack left 20,000 files of other names, and prints the interface thread's longest
// gap from the end of the download to the end of the install (the longest gap between the
// ticks of a 1 ms timer on the main thread; target at most 16 ms), with the time of the
// recording of the names itself: the build's ledger kept by the pack application, and the
// pack's record written afterwards.
//
// Usage: pack_record_bench [files]

#include "buildswitcher.h"
#include "launcherpaths.h"
#include "localization.h"
#include "packledger.h"
#include "seasonalinstall.h"
#include "ziparchive.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kBuildId = 1;

QStringList packNames(int revision, int count)
{
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i)
        names.append(QStringLiteral("mods/r%1/d%2/f%3.txt").arg(revision).arg(i / 200).arg(i));
    return names;
}

bool writePack(const QString& path, const QStringList& names)
{
    ZipWriter zip;
    for (const QString& name : names)
        zip.addFile(name.toUtf8(), name.toUtf8());
    return zip.write(path);
}

struct Run {
    bool ok = false;
    qint64 longestGapMs = 0;
    QString gapAt;            // the switcher's stage text and file when it ended
    double applySeconds = 0;  // from the end of the download to the end of the application
    double recordSeconds = 0; // the pack's record, from its request to its end
};

class Bench {
public:
    explicit Bench(const QString& gameDir) : m_gameDir(gameDir)
    {
        SeasonalInstall::CustomBuild build;
        build.id = kBuildId;
        build.name = QStringLiteral("Bench");
        build.minecraftVersion = QStringLiteral("1.20.1");
        m_builds.append(build);
        m_install = std::make_unique<SeasonalInstall>(m_builds, host());
        // As the backend does: the end of a pack application is recorded for its build.
        QObject::connect(&m_switcher, &BuildSwitcher::finished, [this](int buildId) {
            const auto record = SeasonalInstall::packRecordOf(m_switcher.appliedPackNote());
            if (!record)
                return;
            m_recordClock.start();
            m_install->recordPack(buildId, *record, m_switcher.packEntries(), [this] {
                m_run.recordSeconds = double(m_recordClock.nsecsElapsed()) / 1e9;
            });
        });
    }

    Run install(int revision, const QString& packPath)
    {
        m_run = Run();
        m_packPath = packPath;
        SeasonalBuildEntry entry;
        entry.id = QStringLiteral("bench");
        entry.name = QStringLiteral("Bench");
        entry.revision = revision;
        entry.minecraftVersion = QStringLiteral("1.20.1");
        entry.javaMajor = 17;

        QEventLoop loop;
        const auto finished = QObject::connect(m_install.get(), &SeasonalInstall::finished, [&] {
            m_run.ok = true;
            loop.quit();
        });
        const auto failed =
            QObject::connect(m_install.get(), &SeasonalInstall::error, [&](const QString& text) {
                std::fprintf(stderr, "%s\n", qPrintable(text));
                loop.quit();
            });
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [this] { noteGap(); });
        ticker.start();
        // The gap meter counts from the end of the download, where the pack is handed on.
        m_install->start(entry, kBuildId);
        loop.exec();
        ticker.stop();
        noteGap();
        m_sinceTick.invalidate();
        m_run.applySeconds = double(m_applyClock.nsecsElapsed()) / 1e9;
        QObject::disconnect(finished);
        QObject::disconnect(failed);
        return m_run;
    }

private:
    SeasonalInstall::Host host()
    {
        SeasonalInstall::Host host;
        host.gameDir = [this] { return m_gameDir; };
        host.holdsBuild = [](int) { return true; };
        host.missingFiles = [](int) { return QStringList(); };
        host.hasJava = [](const QString&, int) { return true; };
        host.downloadPack = [this](const QUrl&, const QString& path, const QString&, qint64,
                                   const QString&, JobDone done) {
            QFile::remove(path);
            const bool copied =
                QDir().mkpath(QFileInfo(path).path()) && QFile::copy(m_packPath, path);
            QTimer::singleShot(0, [this, path, copied, done = std::move(done)] {
                m_applyClock.start();
                m_sinceTick.start();
                done(copied ? JobOutcome::succeeded(path) : JobOutcome::failed(QString()));
            });
        };
        host.applyPack = [this](int buildId, const QString& name, const QString& archivePath,
                                const QStringList& removals, const QJsonObject& note,
                                const QString& gameDir, JobDone done) {
            m_switcher.applyPack(buildId, name, archivePath, removals, note, gameDir,
                                 std::move(done));
        };
        return host;
    }

    void noteGap()
    {
        if (!m_sinceTick.isValid())
            return;
        const qint64 gap = m_sinceTick.restart();
        if (gap <= m_run.longestGapMs)
            return;
        m_run.longestGapMs = gap;
        m_run.gapAt = m_switcher.busy() ? m_switcher.stageText() + QStringLiteral(", at ") +
                                              m_switcher.currentPath()
                                        : QStringLiteral("switcher idle");
    }

    const QString m_gameDir;
    QList<SeasonalInstall::CustomBuild> m_builds;
    BuildSwitcher m_switcher;
    std::unique_ptr<SeasonalInstall> m_install;
    QString m_packPath;
    Run m_run;
    QElapsedTimer m_sinceTick;
    QElapsedTimer m_applyClock;
    QElapsedTimer m_recordClock;
};

// The ledger's part of a pack application over the record the last one left: reading it,
// writing down the names to remove, claiming the new names as they are written, settling.
double ledgerSeconds(const QString& gameDir, const QStringList& names)
{
    QElapsedTimer clock;
    clock.start();
    PackLedger ledger(LauncherPaths::packLedgerFile(kBuildId),
                      LauncherPaths::seasonalStateFile(kBuildId), gameDir);
    const QStringList owned = ledger.owned();
    if (!ledger.begin(owned))
        return -1;
    QList<ZipEntryInfo> entries;
    for (const QString& name : names) {
        ZipEntryInfo entry;
        entry.name = name;
        entries.append(entry);
    }
    for (qsizetype i = 0; i < entries.size(); i += 256) {
        if (!ledger.claim(entries.mid(i, 256)))
            return -1;
    }
    ledger.settle(names);
    return double(clock.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 20000;
    QTemporaryDir home(QDir::tempPath() + "/hm-pack-record-XXXXXX");
    if (!home.isValid())
        return 1;
    qputenv("HOLLOWMERE_HOME", home.path().toLocal8Bit());
    Localization::instance()->load();
    const QString gameDir = home.path() + "/.minecraft";
    QDir().mkpath(gameDir);

    Bench bench(gameDir);
    const QString pack1 = home.path() + "/pack1.zip";
    const QString pack2 = home.path() + "/pack2.zip";
    if (!writePack(pack1, packNames(1, files)) || !writePack(pack2, packNames(2, files)))
        return 1;
    const Run first = bench.install(1, pack1);
    if (!first.ok)
        return 1;
    std::printf("revision 1: %d files applied over nothing in %.2f s, longest gap %lld ms\n", files,
                first.applySeconds, static_cast<long long>(first.longestGapMs));
    const Run second = bench.install(2, pack2);
    if (!second.ok)
        return 1;
    std::printf("revision 2: %d files applied over a record of %d in %.2f s\n", files, files,
                second.applySeconds);
    std::printf("  interface thread's longest gap: %lld ms (target at most 16 ms), ending in: %s\n",
                static_cast<long long>(second.longestGapMs), qPrintable(second.gapAt));
    std::printf("  pack record written (off the interface thread) in %.1f ms\n",
                second.recordSeconds * 1000);
    const double ledger = ledgerSeconds(gameDir, packNames(2, files));
    std::printf("  the ledger's share of an application (read, write down, claim, settle): "
                "%.1f ms\n",
                ledger * 1000);
    std::printf("  recording of the names in all: %.1f ms\n",
                (second.recordSeconds + ledger) * 1000);
    return second.longestGapMs <= 16 ? 0 : 2;
}
