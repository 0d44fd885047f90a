// Times the resolution of a modern release description (about a hundred
// libraries) and of a loader description inheriting from it.

#include "minecraftversion.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRuns = 500;

bool installFixture(const QString& gameDir, const QString& id)
{
    const QString target = VersionLoader::versionJsonPath(gameDir, id);
    QDir().mkpath(QFileInfo(target).absolutePath());
    return QFile::copy(QStringLiteral(HM_TEST_SOURCE_DIR "/fixtures/versions/") + id +
                           QStringLiteral(".json"),
                       target);
}

bool measure(const QString& gameDir, const QString& id)
{
    QString error;
    const MinecraftVersion first = VersionLoader::load(gameDir, id, {}, &error);
    if (first.id.isEmpty() || first.mainClass.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(id), qPrintable(error));
        return false;
    }

    qint64 slowest = 0;
    QElapsedTimer total;
    total.start();
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer one;
        one.start();
        const MinecraftVersion version = VersionLoader::load(gameDir, id, {}, nullptr);
        slowest = std::max(slowest, one.nsecsElapsed());
        if (version.libraries.size() != first.libraries.size())
            return false;
    }
    const double meanMs = double(total.nsecsElapsed()) / kRuns / 1e6;
    std::printf("%-32s %3lld libraries  mean %.3f ms  slowest %.3f ms  (%d runs)\n", qPrintable(id),
                static_cast<long long>(first.libraries.size()), meanMs, double(slowest) / 1e6,
                kRuns);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    const QString gameDir = home.path() + QStringLiteral("/.minecraft");
    const QString release = QStringLiteral("1.20.4");
    const QString loader = QStringLiteral("fabric-loader-0.15.7-1.20.4");
    if (!home.isValid() || !installFixture(gameDir, release) || !installFixture(gameDir, loader)) {
        std::fprintf(stderr, "could not prepare the game directory\n");
        return 1;
    }
    QFile jar(VersionLoader::versionJarPath(gameDir, release));
    if (!jar.open(QIODevice::WriteOnly))
        return 1;
    jar.close();

    return measure(gameDir, release) && measure(gameDir, loader) ? 0 : 1;
}
