#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// One library of a version description: a class-path jar, or a jar of native
// libraries that is unpacked into the version's natives folder before launch.
struct MinecraftLibrary {
    // Maven coordinate (group:artifact:version[:classifier][@extension]); an
    // entry made from a "natives" map carries the chosen classifier as well.
    QString name;
    // Relative to the game directory's "libraries" folder; never empty.
    QString path;
    QString url;
    QString sha1;
    qint64 size = 0;
    bool native = false;
    // Entry-name prefixes left out when a native jar is unpacked.
    QStringList extractExclude;
};

// A version description folded together with all of its ancestors: everything
// needed to check an installation and to build the game's command line.
// Argument lists hold templates with "${...}" placeholders, not yet filled in.
struct MinecraftVersion {
    // The id that was asked for; empty when the description could not be read.
    QString id;
    QString mainClass;
    QString type;
    QString assetIndex;
    QString assets;
    // Absolute path of the client jar for the class path.
    QString clientJar;
    int javaMajor = 8;
    QStringList jvmArgs;
    QStringList gameArgs;
    QList<MinecraftLibrary> libraries;
    QString loggingArgument;
    QString loggingConfigPath;
    bool hasQuickPlayMultiplayer = false;
    bool hasResolutionArgs = false;
};

// Reads installed version descriptions from a game directory. Every function
// reads the disk afresh and keeps no state between calls.
namespace VersionLoader {

// Where a version's files lie: <gameDir>/versions/<id>/<id>.json and .jar.
// Plain string joining; every component locates version files through these.
QString versionJsonPath(const QString& gameDir, const QString& id);
QString versionJarPath(const QString& gameDir, const QString& id);
// Replaces the version's description with bytes, making its folder first. A failure
// fills error, when given, with the player's words, the system's reason among them.
bool saveDescription(const QString& gameDir, const QString& id, const QByteArray& bytes,
                     QString* error = nullptr);

// Resolves a version through its "inheritsFrom" chain. On a broken chain the
// result has an empty id and `error` is set; without a main class the record
// is complete but `mainClass` is empty and `error` is set. `error` is left
// untouched on success. `features` are the launcher features enabled for rules
// (for instance "has_custom_resolution").
MinecraftVersion load(const QString& gameDir, const QString& versionId,
                      const QSet<QString>& features = {}, QString* error = nullptr);

// Evaluates a rules array for this machine: the last applying rule decides.
bool rulesAllow(const QJsonArray& rules, const QSet<QString>& features);

QString osName();
QString osArch();
QString nativeClassifier();

// Installed versions: folders under "versions" holding their own description,
// hidden ones excluded, in case-sensitive name order.
QStringList installedVersions(const QString& gameDir);
// Installed versions whose "inheritsFrom" names `id` directly.
QStringList dependentsOf(const QString& gameDir, const QString& id);
// Bytes taken by the version's folder; 0 for an unsafe or missing id.
qint64 installedSize(const QString& gameDir, const QString& id);
// Deletes the version's folder. A folder that is already gone is success.
bool remove(const QString& gameDir, const QString& id, QString* error = nullptr);

// Test seam: pretend to run on another processor ("arm64", "i686", ...);
// an empty value restores the real one.
void setCpuArchitectureForTesting(const QString& architecture);

} // namespace VersionLoader
