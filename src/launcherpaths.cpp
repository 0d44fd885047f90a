#include "launcherpaths.h"

#include "localization.h"
#include "pathrules.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kFolderName = QStringLiteral("Hollowmere");
} // namespace

namespace LauncherPaths {

QString homeOverride()
{
    const QString value = QDir::fromNativeSeparators(qEnvironmentVariable("HOLLOWMERE_HOME"));
    if (value.isEmpty() || QDir::isRelativePath(value))
        return {};
    return QDir::cleanPath(value);
}

QString containerDir()
{
    const QString override = homeOverride();
    return override.isEmpty() ? QDir::homePath() : override;
}

QString rootDir()
{
    return containerDir() + QLatin1Char('/') + kFolderName;
}
QString defaultMinecraftDir()
{
    return containerDir() + QStringLiteral("/.minecraft");
}
QString instanceLockFile()
{
    return rootDir() + QStringLiteral("/.lock");
}
QString gameLockFile()
{
    return rootDir() + QStringLiteral("/.game.lock");
}
QString settingsFile()
{
    return rootDir() + QStringLiteral("/settings.json");
}
QString profilesFile()
{
    return rootDir() + QStringLiteral("/profiles.json");
}
QString customBuildsFile()
{
    return rootDir() + QStringLiteral("/customBuilds.json");
}
QString legacyCustomBuildsFile()
{
    return rootDir() + QStringLiteral("/versions.json");
}
QString buildStorageDir()
{
    return rootDir() + QStringLiteral("/builds");
}
QString buildDir(int buildId)
{
    return buildStorageDir() + QLatin1Char('/') + QString::number(buildId);
}
QString seasonalStateFile(int buildId)
{
    return buildDir(buildId) + QStringLiteral("/season.json");
}

QString packLedgerFile(int buildId)
{
    return buildDir(buildId) + QStringLiteral("/season.ledger");
}
QString runtimeDir()
{
    return rootDir() + QStringLiteral("/runtime");
}
QString javaDir()
{
    return rootDir() + QStringLiteral("/java");
}
QString cacheDir()
{
    return rootDir() + QStringLiteral("/cache");
}
QString javaCatalogFile()
{
    return cacheDir() + QStringLiteral("/java_runtimes.json");
}
QString javaDownloadDir()
{
    return cacheDir() + QStringLiteral("/java");
}
QString versionManifestFile()
{
    return cacheDir() + QStringLiteral("/version_manifest.json");
}
QString seasonalCatalogFile()
{
    return cacheDir() + QStringLiteral("/seasonal_builds.json");
}

QString loaderCacheFile(const QString& key)
{
    return cacheDir() + QStringLiteral("/loader_") + key + QStringLiteral(".json");
}

QString loaderDownloadDir()
{
    return cacheDir() + QStringLiteral("/loaders");
}

bool ensureRootExists(QString* error)
{
    const QStringList dirs = {rootDir(),           runtimeDir(),      cacheDir(),
                              loaderDownloadDir(), buildStorageDir(), javaDir(),
                              javaDownloadDir()};
    for (const QString& dir : dirs) {
        if (!QDir().mkpath(dir)) {
            if (error)
                *error = Loc::text("storage.error.createFailed").arg(PathRules::native(dir));
            return false;
        }
        const QFileInfo info(dir);
        if (!info.isDir() || !info.isWritable()) {
            if (error)
                *error = Loc::text("storage.error.notWritable").arg(PathRules::native(dir));
            return false;
        }
    }
    return true;
}

} // namespace LauncherPaths
