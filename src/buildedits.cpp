#include "buildedits.h"

#include "backendstore.h"
#include "fieldtext.h"
#include "gamedirimport.h"
#include "localization.h"
#include "modloaderversionservice.h"
#include "seasonalbuildservice.h"

namespace {
template <typename Matches> int indexWhere(const QList<CustomBuild>& builds, Matches matches)
{
    for (qsizetype i = 0; i < builds.size(); ++i) {
        if (matches(builds.at(i)))
            return int(i);
    }
    return -1;
}
} // namespace

CustomBuild BuildEdits::newBuild(int id, const QString& name, const QString& serverUrl,
                                 const QString& minecraftVersion)
{
    CustomBuild build;
    build.id = id;
    build.name = FieldText::oneLine(name);
    build.serverUrl = FieldText::oneLine(serverUrl);
    build.minecraftVersion = minecraftVersion;
    return build;
}

QString BuildEdits::numberedName(const QList<CustomBuild>& builds)
{
    for (int n = 1;; ++n) {
        const QString name = Loc::text("build.title.numbered").arg(n);
        const auto taken = [&name](const CustomBuild& build) { return build.name == name; };
        if (indexWhere(builds, taken) < 0)
            return name;
    }
}

CustomBuild BuildEdits::imported(int id, const GameDirImport::Detected& found)
{
    CustomBuild build;
    build.id = id;
    build.name = GameDirImport::buildName(found);
    build.minecraftVersion = found.gameVersion;
    build.resolvedVersionId = found.versionId;
    build.loader = found.loader;
    build.loaderVersion = found.loaderVersion;
    return build;
}

void BuildEdits::edit(CustomBuild& build, const QVariantMap& fields)
{
    const CustomBuild previous = build;
    BackendStore::applyBuildFields(build, fields);
    build.name = FieldText::oneLine(build.name);
    build.serverUrl = FieldText::oneLine(build.serverUrl);
    if (build.minecraftVersion != previous.minecraftVersion &&
        !fields.contains(QStringLiteral("loaderVersion"))) {
        build.loaderVersion.clear();
        build.resolvedVersionId.clear();
    }
    // The version installed for another loader would still launch in its place.
    if ((build.loader != previous.loader || build.loaderVersion != previous.loaderVersion) &&
        !fields.contains(QStringLiteral("resolvedVersionId")))
        build.resolvedVersionId.clear();
}

QString BuildEdits::installRefusal(const CustomBuild& build)
{
    if (build.minecraftVersion.trimmed().isEmpty())
        return Loc::text("build.error.pickMinecraftVersion").arg(build.name);
    const std::optional<ModLoader> loader = loaderFromKey(build.loader);
    if (loader && build.loaderVersion.trimmed().isEmpty())
        return Loc::text("build.error.pickLoaderVersion").arg(loaderTitle(*loader), build.name);
    return {};
}

int BuildEdits::indexOfBuildId(const QList<CustomBuild>& builds, int id)
{
    return indexWhere(builds, [id](const CustomBuild& build) { return build.id == id; });
}

int BuildEdits::indexOfSeasonalBuild(const QList<CustomBuild>& builds, const QString& seasonalId)
{
    if (seasonalId.isEmpty())
        return -1;
    return indexWhere(
        builds, [&seasonalId](const CustomBuild& build) { return build.seasonalId == seasonalId; });
}

CustomBuild BuildEdits::newCarrier(int id, const SeasonalBuildEntry& entry)
{
    CustomBuild build = newBuild(id, entry.name, entry.serverUrl, entry.minecraftVersion);
    build.loader = entry.loader;
    build.loaderVersion = entry.loaderVersion;
    build.seasonalId = entry.id;
    return build;
}

QVariantMap BuildEdits::carrierFields(const CustomBuild& carrier, const SeasonalBuildEntry& entry)
{
    QVariantMap fields{{QStringLiteral("name"), entry.name},
                       {QStringLiteral("serverUrl"), entry.serverUrl},
                       {QStringLiteral("minecraftVersion"), entry.minecraftVersion},
                       {QStringLiteral("loader"), entry.loader},
                       {QStringLiteral("loaderVersion"), entry.loaderVersion}};
    // The version installed for other game files would launch under the new pack.
    if (carrier.minecraftVersion != entry.minecraftVersion || carrier.loader != entry.loader ||
        carrier.loaderVersion != entry.loaderVersion)
        fields.insert(QStringLiteral("resolvedVersionId"), QString());
    return fields;
}
