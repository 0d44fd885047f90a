#pragma once

#include <QString>

// Where the launcher keeps its state. Every path is computed afresh from the
// environment on each call, so a change of HOLLOWMERE_HOME takes effect at once.
namespace LauncherPaths {

QString homeOverride();
QString containerDir();
QString rootDir();
QString defaultMinecraftDir();
// Locked by the running launcher (InstanceLock). Hidden, out of the player's way, and
// never removed: a start holding the removed file and one holding a new file of the
// same name would not see each other.
QString instanceLockFile();
// Locked while a game the launcher started runs, by the game itself too (GameLock); never
// removed, for the same reason.
QString gameLockFile();
QString settingsFile();
QString profilesFile();
QString customBuildsFile();
QString legacyCustomBuildsFile();
QString buildStorageDir();
QString buildDir(int buildId);
QString seasonalStateFile(int buildId);
// What the build's pack applications wrote into the game directory, kept as they go.
QString packLedgerFile(int buildId);
QString runtimeDir();
QString javaDir();
QString cacheDir();
QString javaCatalogFile();
QString javaDownloadDir();
QString versionManifestFile();
QString seasonalCatalogFile();
QString loaderCacheFile(const QString& key);
QString loaderDownloadDir();

// Creates the data directory tree and checks it is writable; stops at the first
// directory that fails.
bool ensureRootExists(QString* error = nullptr);

} // namespace LauncherPaths
