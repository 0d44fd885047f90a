#include "catalogrows.h"

#include "javalocator.h"
#include "localization.h"
#include "minecraftversion.h"
#include "pathrules.h"

#include <QHash>
#include <QSet>

namespace {
const QSet<QString> kVersionCategories{QStringLiteral("release"), QStringLiteral("snapshot"),
                                       QStringLiteral("old_beta"), QStringLiteral("old_alpha")};
constexpr qint64 kMebibyte = 1024 * 1024;

QVariantMap versionRow(const QString& id, const QString& type, bool installed)
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("type"), type},
            {QStringLiteral("category"),
             kVersionCategories.contains(type) ? type : QStringLiteral("other")},
            {QStringLiteral("label"), id},
            {QStringLiteral("installed"), installed},
            {QStringLiteral("search"), (id + QLatin1Char(' ') + type).toLower()}};
}

QString javaLabel(const QString& version)
{
    return QStringLiteral("Java %1").arg(version);
}
} // namespace

QVariantList CatalogRows::versions(const QList<RemoteVersionEntry>& manifest,
                                   const QStringList& installed)
{
    const QSet<QString> installedIds(installed.cbegin(), installed.cend());
    QSet<QString> listed;
    listed.reserve(manifest.size());
    QStringList installedOnly;
    QVariantList rows;
    rows.reserve(manifest.size() + installed.size());
    for (const RemoteVersionEntry& entry : manifest) {
        listed.insert(entry.id);
        rows.append(versionRow(entry.id, entry.type, installedIds.contains(entry.id)));
    }
    for (const QString& id : installed) {
        if (!listed.contains(id))
            installedOnly.append(id);
    }
    installedOnly.sort(Qt::CaseSensitive);
    for (const QString& id : std::as_const(installedOnly))
        rows.append(versionRow(id, QString(), true));
    return rows;
}

QVariantList CatalogRows::javaRuntimes(const QList<InstalledJavaRuntime>& installed,
                                       const QList<JavaRuntimeEntry>& catalog)
{
    QHash<QString, const JavaRuntimeEntry*> catalogById;
    catalogById.reserve(catalog.size());
    for (const JavaRuntimeEntry& entry : catalog) {
        if (!catalogById.contains(entry.id))
            catalogById.insert(entry.id, &entry);
    }
    QSet<QString> installedIds;
    QVariantList rows;
    rows.reserve(installed.size() + catalog.size());
    for (const InstalledJavaRuntime& runtime : installed) {
        installedIds.insert(runtime.id);
        const JavaRuntimeEntry* entry = catalogById.value(runtime.id);
        const QString detail =
            entry ? javaDetail(*entry) : Loc::text("java.label.downloadedByLauncher");
        rows.append(javaRow(runtime.id, runtime.kind, runtime.major, runtime.version, detail,
                            runtime.size, true, entry && entry->lts, entry != nullptr));
    }
    for (const JavaRuntimeEntry& entry : catalog) {
        if (installedIds.contains(entry.id))
            continue;
        rows.append(javaRow(entry.id, javaKindKey(entry.kind), entry.major, entry.version,
                            javaDetail(entry), entry.size, false, entry.lts, true));
    }
    return rows;
}

QVariantList CatalogRows::loaderVersions(const QList<LoaderVersionEntry>& entries)
{
    const QString recommended = Loc::text("loader.label.recommended");
    const QString unstable = Loc::text("loader.label.unstable");
    QVariantList rows;
    rows.reserve(entries.size());
    for (const LoaderVersionEntry& entry : entries) {
        const QString mark =
            entry.recommended ? recommended : (entry.stable ? QString() : unstable);
        rows.append(QVariantMap{{QStringLiteral("version"), entry.loaderVersion},
                                {QStringLiteral("label"), entry.loaderVersion + mark},
                                {QStringLiteral("recommended"), entry.recommended},
                                {QStringLiteral("stable"), entry.stable}});
    }
    return rows;
}

QVariantMap CatalogRows::versionRemovalInfo(const QString& gameDir, const QString& versionId,
                                            const QList<CustomBuild>& builds)
{
    const QString id = versionId.trimmed();
    if (id.isEmpty())
        return {};
    // A build without version fields launches the version named like the build.
    QStringList buildNames;
    for (const CustomBuild& build : builds) {
        const bool unversioned =
            build.minecraftVersion.isEmpty() && build.resolvedVersionId.isEmpty();
        if (build.minecraftVersion == id || build.resolvedVersionId == id ||
            (unversioned && build.name == id))
            buildNames.append(build.name);
    }
    return {{QStringLiteral("id"), id},
            {QStringLiteral("installed"), VersionLoader::installedVersions(gameDir).contains(id)},
            {QStringLiteral("sizeMb"), startedMebibytes(VersionLoader::installedSize(gameDir, id))},
            {QStringLiteral("dependents"), VersionLoader::dependentsOf(gameDir, id)},
            {QStringLiteral("builds"), buildNames}};
}

QVariantMap CatalogRows::javaRuntimeInfo(const QString& runtimeId,
                                         const std::optional<InstalledJavaRuntime>& installed,
                                         const std::optional<JavaRuntimeEntry>& entry)
{
    if (runtimeId.trimmed().isEmpty())
        return {};
    if (installed) {
        return {{QStringLiteral("id"), installed->id},
                {QStringLiteral("kind"), installed->kind},
                {QStringLiteral("major"), installed->major},
                {QStringLiteral("version"), installed->version},
                {QStringLiteral("label"), javaLabel(installed->version)},
                {QStringLiteral("javaPath"), PathRules::native(installed->javaPath)},
                {QStringLiteral("installed"), true}};
    }
    if (entry) {
        return {{QStringLiteral("id"), entry->id},
                {QStringLiteral("kind"), javaKindKey(entry->kind)},
                {QStringLiteral("major"), entry->major},
                {QStringLiteral("version"), entry->version},
                {QStringLiteral("label"), javaLabel(entry->version)},
                {QStringLiteral("javaPath"), QString()},
                {QStringLiteral("installed"), false}};
    }
    return {{QStringLiteral("id"), runtimeId},
            {QStringLiteral("label"), runtimeId},
            {QStringLiteral("installed"), false}};
}

QStringList CatalogRows::detectedJava(const QString& gameDir)
{
    QStringList lines;
    for (const QString& path : JavaLocator::findAll(gameDir)) {
        const int major = JavaLocator::majorVersion(path);
        const QString shown = PathRules::native(path);
        lines.append(major > 0 ? QStringLiteral("Java %1 — %2").arg(QString::number(major), shown)
                               : shown);
    }
    return lines;
}

// Divided before the remainder is weighed, so that no count near 64 bits is added to.
qint64 CatalogRows::nearestMebibytes(qint64 bytes)
{
    return bytes <= 0 ? 0 : bytes / kMebibyte + (bytes % kMebibyte >= kMebibyte / 2 ? 1 : 0);
}

qint64 CatalogRows::startedMebibytes(qint64 bytes)
{
    return bytes <= 0 ? 0 : bytes / kMebibyte + (bytes % kMebibyte > 0 ? 1 : 0);
}

QString CatalogRows::javaDetail(const JavaRuntimeEntry& entry)
{
    if (entry.kind == JavaRuntimeKind::Java)
        return Loc::text("java.label.mojang").arg(entry.component);
    return Loc::text("java.label.temurin").arg(entry.architecture);
}

QVariantMap CatalogRows::javaRow(const QString& id, const QString& kind, int major,
                                 const QString& version, const QString& detail, qint64 size,
                                 bool installed, bool lts, bool downloadable)
{
    const QString majorText = QString::number(major);
    return {{QStringLiteral("id"), id},
            {QStringLiteral("kind"), kind},
            {QStringLiteral("major"), major},
            {QStringLiteral("version"), version},
            {QStringLiteral("label"), javaLabel(version)},
            {QStringLiteral("detail"), detail},
            {QStringLiteral("coverage"), JavaRequirement::coverage(major)},
            {QStringLiteral("sizeMb"), nearestMebibytes(size)},
            {QStringLiteral("installed"), installed},
            {QStringLiteral("lts"), lts},
            {QStringLiteral("downloadable"), downloadable},
            {QStringLiteral("search"),
             QStringLiteral("%1 %2 %3 %4").arg(version, majorText, kind, detail).toLower()}};
}
