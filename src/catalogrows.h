#pragma once

#include "backendrecords.h"
#include "javaruntime.h"
#include "javaruntimeservice.h"
#include "modloaderversionservice.h"
#include "versionmanifestservice.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

// The rows of the lists the interface shows of game versions, Java runtimes and loader
// versions, and its answers about one version or runtime: maps with fixed keys, built
// from what the catalog services hold and what is installed. Texts are looked up in the
// language in force when a row is built.
class CatalogRows {
public:
    using CustomBuild = ::CustomBuild;

    // The manifest's versions in its order, then the installed ones it does not list, by
    // id in code-unit order.
    static QVariantList versions(const QList<RemoteVersionEntry>& manifest,
                                 const QStringList& installed);

    // The managed runtimes in the store's order, then the downloadable ones not installed,
    // in the order of catalog: its "java", then "jdk", then "jre" entries.
    static QVariantList javaRuntimes(const QList<InstalledJavaRuntime>& installed,
                                     const QList<JavaRuntimeEntry>& catalog);

    // One row per loader version, in the given order, its label marking the recommended
    // and the unstable ones.
    static QVariantList loaderVersions(const QList<LoaderVersionEntry>& entries);

    // What removing a game version would take and whom it concerns; empty for an id that
    // is empty after trimming.
    static QVariantMap versionRemovalInfo(const QString& gameDir, const QString& versionId,
                                          const QList<CustomBuild>& builds);

    // A runtime by its id: the installed one, else the catalog's, else the id alone.
    static QVariantMap javaRuntimeInfo(const QString& runtimeId,
                                       const std::optional<InstalledJavaRuntime>& installed,
                                       const std::optional<JavaRuntimeEntry>& entry);

    // One line per Java executable found for the game directory, with its major version
    // when it can be told. Runs each executable not probed before in this process.
    static QStringList detectedJava(const QString& gameDir);

    // Bytes rounded to the nearest mebibyte, halves up; 0 for no size. Any 64-bit count
    // of bytes gives its count of mebibytes: none passes through a narrower type.
    static qint64 nearestMebibytes(qint64 bytes);
    // Bytes in whole mebibytes, a started one counting as whole.
    static qint64 startedMebibytes(qint64 bytes);

private:
    static QString javaDetail(const JavaRuntimeEntry& entry);
    static QVariantMap javaRow(const QString& id, const QString& kind, int major,
                               const QString& version, const QString& detail, qint64 size,
                               bool installed, bool lts, bool downloadable);
};
