#include "gamedirimport.h"

#include "localization.h"
#include "minecraftversion.h"
#include "modloaderversionservice.h"
#include "pathrules.h"
#include "regularfile.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QStringList>

#include <algorithm>

namespace {

// A directory holding one of these is taken to hold game content.
const QStringList kContentMarkers = {QStringLiteral("mods"),          QStringLiteral("saves"),
                                     QStringLiteral("resourcepacks"), QStringLiteral("shaderpacks"),
                                     QStringLiteral("config"),        QStringLiteral("options.txt"),
                                     QStringLiteral("servers.dat")};

const QString kSourceProfiles = QStringLiteral("launcher_profiles");
const QString kSourceVersions = QStringLiteral("versions");
const QString kSourceContent = QStringLiteral("content");

struct LoaderLibrary {
    QLatin1String coordinate;
    ModLoader loader;
    // Forge-style versions carry the game version in front of the loader's own.
    bool startsWithGameVersion;
};

const LoaderLibrary kLoaderLibraries[] = {
    {QLatin1String("net.fabricmc:fabric-loader"), ModLoader::Fabric, false},
    {QLatin1String("org.quiltmc:quilt-loader"), ModLoader::Quilt, false},
    {QLatin1String("net.neoforged:neoforge"), ModLoader::NeoForge, false},
    {QLatin1String("net.neoforged:forge"), ModLoader::NeoForge, true},
    {QLatin1String("net.minecraftforge:forge"), ModLoader::Forge, true},
};

struct Candidate {
    QString id;
    QJsonObject json;
    bool hasParent = false;
};

// A version id with the time it was last used or written; the time may be invalid.
struct Dated {
    QString id;
    QDateTime time;
};

// Distinct ids, newest first; undated ones after every dated one, each keeping its
// place among equals.
QStringList newestFirst(QList<Dated> dated)
{
    std::stable_sort(dated.begin(), dated.end(), [](const Dated& a, const Dated& b) {
        return a.time.isValid() && (!b.time.isValid() || a.time > b.time);
    });
    QStringList ids;
    for (const Dated& entry : std::as_const(dated)) {
        if (!ids.contains(entry.id))
            ids.append(entry.id);
    }
    return ids;
}

QDateTime parseLastUsed(const QString& text)
{
    const QDateTime withMs = QDateTime::fromString(text, Qt::ISODateWithMs);
    return withMs.isValid() ? withMs : QDateTime::fromString(text, Qt::ISODate);
}

QStringList profileVersions(const QString& gameDir, const QStringList& installed)
{
    const QJsonObject profiles =
        RegularFile::readObject(gameDir + QStringLiteral("/launcher_profiles.json"))
            .value(QLatin1String("profiles"))
            .toObject();
    QList<Dated> used;
    for (const QJsonValue& value : profiles) {
        const QJsonObject profile = value.toObject();
        const QString id = profile.value(QLatin1String("lastVersionId")).toString();
        if (!id.isEmpty() && installed.contains(id))
            used.append({id, parseLastUsed(profile.value(QLatin1String("lastUsed")).toString())});
    }
    return newestFirst(used);
}

QStringList versionsByMtime(const QString& gameDir, const QStringList& ids)
{
    // Each time is read once, so that a file touched during the sort cannot
    // contradict an earlier comparison.
    QList<Dated> dated;
    for (const QString& id : ids)
        dated.append({id, QFileInfo(VersionLoader::versionJsonPath(gameDir, id)).lastModified()});
    return newestFirst(dated);
}

QList<Candidate> load(const QString& gameDir, const QStringList& ids)
{
    QList<Candidate> candidates;
    for (const QString& id : ids) {
        const QJsonObject json =
            RegularFile::readObject(VersionLoader::versionJsonPath(gameDir, id));
        const QString parent = json.value(QLatin1String("inheritsFrom")).toString();
        // A parent id that could never name a version folder makes the version unusable.
        if (json.isEmpty() || (!parent.isEmpty() && !PathRules::isVersionId(parent)))
            continue;
        candidates.append({id, json, !parent.isEmpty()});
    }
    return candidates;
}

const Candidate* firstOf(const QList<Candidate>& candidates, bool needsParent)
{
    for (const Candidate& candidate : candidates) {
        if (candidate.hasParent || !needsParent)
            return &candidate;
    }
    return nullptr;
}

// Hidden entries, broken links and special files do not count.
bool hasVisibleEntry(const QString& dir, const QStringList& nameFilters, QDir::Filters filters)
{
    return QDirIterator(dir, nameFilters, filters | QDir::NoDotAndDotDot).hasNext();
}

bool holdsContent(const QString& gameDir)
{
    return std::any_of(kContentMarkers.cbegin(), kContentMarkers.cend(), [&](const QString& name) {
        const QFileInfo marker(gameDir + QLatin1Char('/') + name);
        return marker.isFile() ||
               (marker.isDir() && hasVisibleEntry(marker.filePath(), {}, QDir::Files | QDir::Dirs));
    });
}

bool holdsModJars(const QString& gameDir)
{
    return hasVisibleEntry(gameDir + QStringLiteral("/mods"), {QStringLiteral("*.jar")},
                           QDir::Files);
}

QString stripGamePrefix(const QString& value, const QString& gameVersion)
{
    const QString prefix = gameVersion + QLatin1Char('-');
    return !gameVersion.isEmpty() && value.startsWith(prefix) ? value.mid(prefix.size()) : value;
}

std::optional<std::pair<QString, QString>> loaderOfLibraries(const QJsonArray& libraries,
                                                             const QString& parent)
{
    for (const QJsonValue& library : libraries) {
        const QStringList parts =
            library.toObject().value(QLatin1String("name")).toString().split(QLatin1Char(':'));
        if (parts.size() < 3)
            continue;
        const QString coordinate = parts[0] + QLatin1Char(':') + parts[1];
        for (const LoaderLibrary& known : kLoaderLibraries) {
            if (coordinate == known.coordinate)
                return std::pair(loaderKey(known.loader), known.startsWithGameVersion
                                                              ? stripGamePrefix(parts[2], parent)
                                                              : parts[2]);
        }
    }
    return std::nullopt;
}

std::pair<QString, QString> loaderOfId(const QString& id, const QString& parent)
{
    if (!parent.isEmpty()) {
        const QString suffix = QLatin1Char('-') + parent;
        for (const auto& [prefix, loader] :
             {std::pair(QStringLiteral("fabric-loader-"), ModLoader::Fabric),
              std::pair(QStringLiteral("quilt-loader-"), ModLoader::Quilt)}) {
            if (!id.startsWith(prefix) || !id.endsWith(suffix))
                continue;
            // The prefix's "-" can double as the suffix's: nothing lies between then.
            const qsizetype length = id.size() - prefix.size() - suffix.size();
            return {loaderKey(loader), length > 0 ? id.mid(prefix.size(), length) : QString()};
        }
    }
    const QString neoForgePrefix = QStringLiteral("neoforge-");
    if (id.startsWith(neoForgePrefix))
        return {loaderKey(ModLoader::NeoForge), id.mid(neoForgePrefix.size())};
    const QString forgePrefix = parent + QStringLiteral("-forge-");
    if (!parent.isEmpty() && id.startsWith(forgePrefix))
        return {loaderKey(ModLoader::Forge), id.mid(forgePrefix.size())};
    return {};
}

GameDirImport::Detected answerFrom(const Candidate& candidate, const QString& source)
{
    if (!candidate.hasParent)
        return {candidate.id, {}, {}, {}, source};
    const auto [loader, loaderVersion] = GameDirImport::loaderOf(candidate.json);
    return {candidate.json.value(QLatin1String("inheritsFrom")).toString(), candidate.id, loader,
            loaderVersion, source};
}

} // namespace

namespace GameDirImport {

std::optional<Detected> detect(const QString& gameDir)
{
    if (gameDir.isEmpty() || !QFileInfo(gameDir).isDir())
        return std::nullopt;
    const QStringList installed = VersionLoader::installedVersions(gameDir);
    if (installed.isEmpty() && !holdsContent(gameDir))
        return std::nullopt;

    const QList<Candidate> byProfile = load(gameDir, profileVersions(gameDir, installed));
    const QList<Candidate> byTime = load(gameDir, versionsByMtime(gameDir, installed));
    // Jars in "mods" mean the directory was played modded: a version with a parent
    // wins over a plain one used later.
    const bool modded = holdsModJars(gameDir);
    const std::pair<const Candidate*, const QString&> rules[] = {
        {modded ? firstOf(byProfile, true) : nullptr, kSourceProfiles},
        {modded ? firstOf(byTime, true) : nullptr, kSourceVersions},
        {firstOf(byProfile, false), kSourceProfiles},
        {firstOf(byTime, false), kSourceVersions},
    };
    for (const auto& [candidate, source] : rules) {
        if (candidate)
            return answerFrom(*candidate, source);
    }
    return Detected{{}, {}, {}, {}, kSourceContent};
}

std::pair<QString, QString> loaderOf(const QJsonObject& versionJson)
{
    const QString parent = versionJson.value(QLatin1String("inheritsFrom")).toString();
    const auto byLibrary =
        loaderOfLibraries(versionJson.value(QLatin1String("libraries")).toArray(), parent);
    return byLibrary ? *byLibrary
                     : loaderOfId(versionJson.value(QLatin1String("id")).toString(), parent);
}

QString buildName(const Detected& detected)
{
    if (detected.gameVersion.isEmpty())
        return Loc::text("build.title.fromGameDir");
    const std::optional<ModLoader> loader = loaderFromKey(detected.loader);
    return (loader ? loaderTitle(*loader) : QStringLiteral("Minecraft")) + QLatin1Char(' ') +
           detected.gameVersion;
}

} // namespace GameDirImport
