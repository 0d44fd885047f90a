#include "seasonalcatalogrows.h"

#include "localization.h"
#include "modloaderversionservice.h"
#include "seasonalbuildservice.h"

#include <QHash>

namespace {

QString loaderTitleOf(const QString& key)
{
    const std::optional<ModLoader> loader = loaderFromKey(key);
    return loader ? loaderTitle(*loader) : Loc::text("loader.label.vanilla");
}

QString statusText(bool installed, bool updateAvailable)
{
    if (updateAvailable)
        return Loc::text("seasonal.status.updateAvailable");
    return installed ? Loc::text("seasonal.status.installed")
                     : Loc::text("seasonal.status.notInstalled");
}

QVariantMap rowOf(const SeasonalBuildEntry& entry, const CustomBuild* carrier)
{
    // The install makes the build before anything is fetched: until a pack application
    // completes and records its revision, nothing of the entry is installed.
    const bool installed = carrier != nullptr && carrier->seasonalRevision > 0;
    const int installedRevision = installed ? carrier->seasonalRevision : 0;
    const bool updateAvailable = installed && installedRevision < entry.revision;
    return QVariantMap{
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("name"), entry.name},
        {QStringLiteral("minecraftVersion"), entry.minecraftVersion},
        {QStringLiteral("loader"), entry.loader},
        {QStringLiteral("loaderTitle"), loaderTitleOf(entry.loader)},
        {QStringLiteral("loaderVersion"), entry.loaderVersion},
        {QStringLiteral("modCount"), entry.modCount},
        {QStringLiteral("seasonStart"), SeasonalCatalogRows::formatSeasonDate(entry.seasonStart)},
        {QStringLiteral("seasonEnd"), SeasonalCatalogRows::formatSeasonDate(entry.seasonEnd)},
        {QStringLiteral("sizeBytes"), entry.archiveSize},
        {QStringLiteral("revision"), entry.revision},
        {QStringLiteral("description"), entry.description},
        {QStringLiteral("serverUrl"), entry.serverUrl},
        {QStringLiteral("installed"), installed},
        {QStringLiteral("installedRevision"), installedRevision},
        {QStringLiteral("updateAvailable"), updateAvailable},
        {QStringLiteral("status"), statusText(installed, updateAvailable)},
    };
}

} // namespace

const QVariantList& SeasonalCatalogRows::rows(const QList<SeasonalBuildEntry>& entries,
                                              const QList<CustomBuild>& builds)
{
    return m_rows.rows([&] { return build(entries, builds); });
}

QVariantList SeasonalCatalogRows::build(const QList<SeasonalBuildEntry>& entries,
                                        const QList<CustomBuild>& builds)
{
    // The first build in list order speaks for its seasonal id.
    QHash<QString, const CustomBuild*> carriers;
    carriers.reserve(builds.size());
    for (const CustomBuild& build : builds) {
        if (!build.seasonalId.isEmpty() && !carriers.contains(build.seasonalId))
            carriers.insert(build.seasonalId, &build);
    }
    QVariantList rows;
    rows.reserve(entries.size());
    for (const SeasonalBuildEntry& entry : entries)
        rows.append(rowOf(entry, carriers.value(entry.id)));
    return rows;
}

QString SeasonalCatalogRows::formatSeasonDate(const QDate& date)
{
    return date.isValid() ? date.toString(QStringLiteral("dd.MM.yyyy")) : QStringLiteral("—");
}
