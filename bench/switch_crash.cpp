// Kills a process that switches builds at 50 random moments; after each kill a new
// switcher finishes what was recorded, and both builds' files must be complete: the live
// one in the game directory, the other one in its archive.

#include "buildswitcher.h"
#include "gamedirfixture.h"
#include "launcherpaths.h"
#include "localization.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace GameDirFixture;

namespace {

constexpr int kRounds = 50;

void writeBuild(const QString& gameDir, int seed, const QString& outside)
{
    writeBuildContent(gameDir, seed, outside);
    for (int i = 0; i < 12; ++i)
        writeFile(gameDir + QStringLiteral("/mods/extra-%1-%2.jar").arg(seed).arg(i),
                  noise(1024 * 1024 + i * 4096, quint32(seed * 100 + i)));
    for (int i = 0; i < 400; ++i)
        writeFile(gameDir + QStringLiteral("/config/c%1/%2.toml").arg(i / 40).arg(i),
                  QByteArray(600 + i, char('a' + seed)));
    writeFile(gameDir + QStringLiteral("/saves/World/region/big.mca"),
              noise(8 * 1024 * 1024, quint32(seed) + 500));
}

bool finishWith(BuildSwitcher& switcher, const std::function<void()>& start)
{
    bool ok = false;
    QEventLoop loop;
    const auto done = QObject::connect(&switcher, &BuildSwitcher::finished, [&] {
        ok = true;
        loop.quit();
    });
    const auto failed =
        QObject::connect(&switcher, &BuildSwitcher::failed, [&](int, const QString& message, bool) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            loop.quit();
        });
    start();
    if (switcher.busy())
        loop.exec();
    QObject::disconnect(done);
    QObject::disconnect(failed);
    return ok;
}

QString indexState()
{
    QFile file(LauncherPaths::buildStorageDir() + QStringLiteral("/index.json"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("none");
    return QJsonDocument::fromJson(file.readAll())
        .object()
        .value(QStringLiteral("state"))
        .toString();
}

// Runs one switch in a child process and kills it delayMs after its start (or lets it
// end). Returns how long after its start the child reported the switch done, -1 if never.
int runChild(int from, int to, const QString& gameDir, int delayMs, QString* lastStage)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {kSwitchChildArgument, QString::number(from), QString::number(from),
                 QString::number(to), QString::number(to), gameDir});
    child.waitForStarted();
    QElapsedTimer clock;
    clock.start();
    QByteArray output;
    int doneAt = -1;
    while (child.state() == QProcess::Running) {
        const qint64 left = delayMs < 0 ? 50 : delayMs - clock.elapsed();
        if (left <= 0) {
            child.kill();
            break;
        }
        child.waitForReadyRead(int(std::min<qint64>(left, 50)));
        output += child.readAllStandardOutput();
        // The last stage a switch reports is the idle one.
        if (doneAt < 0 && output.contains("stage 0\n"))
            doneAt = int(clock.elapsed());
    }
    child.waitForFinished(-1);
    output += child.readAllStandardOutput();
    const QList<QByteArray> lines = output.trimmed().split('\n');
    *lastStage =
        lines.last().isEmpty() ? QStringLiteral("not started") : QString::fromUtf8(lines.last());
    return doneAt;
}

} // namespace

int main(int argc, char** argv)
{
    if (isSwitchChild(argc, argv))
        return runSwitchChild(argc, argv);
    QCoreApplication app(argc, argv);
    QTemporaryDir home(QDir::tempPath() + "/hm-switch-crash-XXXXXX");
    if (!home.isValid())
        return 1;
    qputenv("HOLLOWMERE_HOME", home.path().toLocal8Bit());
    Localization::instance()->load();
    const QString gameDir = home.path() + "/.minecraft";
    const QString outside = home.path() + "/outside";
    const QStringList shared = BuildSwitcher::sharedTopLevel();

    // Build 2 archived, build 1 live.
    writeSharedEntries(gameDir);
    writeBuild(gameDir, 2, outside);
    Fingerprint content[3];
    content[2] = fingerprintTree(gameDir, shared);
    {
        BuildSwitcher switcher;
        if (!finishWith(switcher, [&] { switcher.switchTo(2, "2", 1, "1", gameDir); }))
            return 1;
    }
    writeBuild(gameDir, 1, outside);
    content[1] = fingerprintTree(gameDir, shared);
    const Fingerprint sharedBefore = fingerprintTree(gameDir + "/versions");

    // One uninterrupted switch there and back gives the span to draw kill moments from:
    // from a child's start until it has finished its switch, so that kills land in the
    // switch rather than in the process ending afterwards.
    QString stage;
    const int there = runChild(1, 2, gameDir, -1, &stage);
    const int back = runChild(2, 1, gameDir, -1, &stage);
    if (there < 0 || back < 0)
        return 1;
    const int spanMs = std::max(there, back) + 20;
    std::printf("one switch takes about %d ms; killing at random moments within it\n", spanMs);

    int live = 1;
    int recovered = 0;
    QMap<QString, int> killedIn;
    for (int round = 0; round < kRounds; ++round) {
        const int other = 3 - live;
        const int delay = QRandomGenerator::global()->bounded(spanMs);
        runChild(live, other, gameDir, delay, &stage);
        killedIn[stage + " / index " + indexState()]++;

        BuildSwitcher switcher;
        bool resumed = true;
        if (!switcher.interruptedSwitchWarning().isEmpty())
            resumed = finishWith(switcher, [&] { switcher.resumeInterrupted(gameDir); });
        const Fingerprint now = fingerprintTree(gameDir, shared);
        if (now == content[other])
            live = other;
        const bool liveComplete = now == content[live];
        const bool otherComplete =
            fingerprintArchive(switcher.archivePathOf(3 - live)) == content[3 - live];
        const bool sharedKept = fingerprintTree(gameDir + "/versions") == sharedBefore;
        const bool ok = resumed && liveComplete && otherComplete && sharedKept;
        if (ok)
            ++recovered;
        else
            std::printf("round %d: killed after %d ms (%s): live %s, other %s\n", round + 1, delay,
                        qPrintable(stage), liveComplete ? "complete" : "DAMAGED",
                        otherComplete ? "complete" : "DAMAGED");
    }
    std::printf("\nwhere the kills landed (last stage reported / index state found):\n");
    for (auto it = killedIn.cbegin(); it != killedIn.cend(); ++it)
        std::printf("  %-32s %d\n", qPrintable(it.key()), it.value());
    std::printf("\n%d/%d recovered with nothing lost\n", recovered, kRounds);
    return recovered == kRounds ? 0 : 1;
}
