#pragma once

#include "catalogrefresh.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// The mod loaders the launcher can install. The numbers are fixed; outside this
// process a loader always travels as its key.
enum class ModLoader : int {
    Forge = 0,
    Fabric = 1,
    NeoForge = 2,
    Quilt = 3,
};

// "forge", "fabric", "neoforge" or "quilt"; empty for a value outside the four.
inline QString loaderKey(ModLoader loader)
{
    switch (loader) {
    case ModLoader::Forge:
        return QStringLiteral("forge");
    case ModLoader::Fabric:
        return QStringLiteral("fabric");
    case ModLoader::NeoForge:
        return QStringLiteral("neoforge");
    case ModLoader::Quilt:
        return QStringLiteral("quilt");
    }
    return {};
}

// The loader whose key equals the text exactly (case-sensitive, untrimmed); none
// for anything else, the empty text (a build without loader) included.
inline std::optional<ModLoader> loaderFromKey(const QString& key)
{
    for (const ModLoader loader :
         {ModLoader::Forge, ModLoader::Fabric, ModLoader::NeoForge, ModLoader::Quilt}) {
        if (key == loaderKey(loader))
            return loader;
    }
    return std::nullopt;
}

// The loader's own name; not translated. Empty outside the four.
inline QString loaderTitle(ModLoader loader)
{
    switch (loader) {
    case ModLoader::Forge:
        return QStringLiteral("Minecraft Forge");
    case ModLoader::Fabric:
        return QStringLiteral("Fabric Loader");
    case ModLoader::NeoForge:
        return QStringLiteral("NeoForge");
    case ModLoader::Quilt:
        return QStringLiteral("Quilt Loader");
    }
    return {};
}

// One installable loader version for one game version.
struct LoaderVersionEntry {
    QString loaderVersion;
    QString gameVersion;
    // Fabric and Quilt: the version folder an install produces. Forge and NeoForge
    // leave it empty: their installer names the version.
    QString versionId;
    // Forge and NeoForge: where the installer jar lies. Empty for Fabric and Quilt.
    QUrl installerUrl;
    bool recommended = false;
    bool stable = true;
};

// Lists the installable versions of each mod loader per game version from the
// loaders' metadata services, keeps them in a cache file per loader and treats a
// list as fresh for six hours. One refresh runs per list at a time; callers that
// ask meanwhile are answered together when it ends.
class ModLoaderVersionService : public QObject {
    Q_OBJECT

public:
    // ok: a list is available. A failed refresh over an older stored list answers
    // ok together with the failure text.
    using Callback = CatalogRefresh::Callback;
    using EntriesByGame = QHash<QString, QList<LoaderVersionEntry>>;

    explicit ModLoaderVersionService(QObject* parent = nullptr);

    // Fabric and Quilt publish one list per game version; Forge and NeoForge one
    // list covering every game version.
    static bool isPerGameVersion(ModLoader loader);
    // Names one refresh: "fabric/1.20.1" for per-game-version loaders, the key alone
    // otherwise.
    static QString requestKey(ModLoader loader, const QString& gameVersion);
    // Base address of the Fabric or Quilt loader listing, ending in "/"; version
    // lists and profile descriptions hang below it.
    static QString fabricLikeBase(ModLoader loader);

    // Makes sure the list is loaded and fresh (or refreshes it anyway with force),
    // then calls back once, always from the event loop, never inside this call.
    void ensureLoaded(ModLoader loader, const QString& gameVersion, const Callback& callback,
                      bool force = false);
    // The stored list, newest first; never fetches.
    QList<LoaderVersionEntry> versions(ModLoader loader, const QString& gameVersion) const;
    // The first entry of the stored list with exactly this loader version.
    std::optional<LoaderVersionEntry> find(ModLoader loader, const QString& gameVersion,
                                           const QString& loaderVersion) const;
    bool isRefreshing(ModLoader loader, const QString& gameVersion) const;
    // Whether a list for the game version has arrived, from a refresh or the cache; it may
    // hold no entry, or (Forge, NeoForge) not name the game version at all. A list that
    // could not be fetched yet is none.
    bool hasStoredList(ModLoader loader, const QString& gameVersion) const;

    // Whether a version text names a pre-release build ("alpha", "beta", "-rc",
    // "-pre" in any case, or a "+" anywhere).
    static bool looksUnstable(const QString& version);
    // Whether version a ranks above b: parts split at ".", "-" and "+", numbers
    // compared as numbers and above text and missing parts, text as text.
    static bool isNewer(const QString& a, const QString& b);
    // Sorts newest first, keeping the given order between equal versions.
    static void sortNewestFirst(QList<LoaderVersionEntry>& entries);

    // The Fabric or Quilt loader list of one game version; entries without a
    // version are skipped.
    static QList<LoaderVersionEntry> parseFabricLike(const QByteArray& body, ModLoader loader,
                                                     const QString& gameVersion);
    // A Maven metadata document of Forge or NeoForge, grouped by game version. Empty
    // when the document is not well-formed or names no usable version.
    static EntriesByGame parseMavenMetadata(const QByteArray& body, ModLoader loader, bool legacy);

signals:
    void versionsChanged(const QString& loaderKey, const QString& gameVersion);
    void refreshingChanged();

private:
    struct Bucket {
        EntriesByGame byGame;
        QHash<QString, QDateTime> fetchedAtByGame;
        QDateTime fetchedAt;
        bool cacheLoaded = false;
    };
    struct Pending;

    const Bucket& bucket(ModLoader loader) const;
    Bucket& bucket(ModLoader loader);
    bool isFresh(ModLoader loader, const QString& gameVersion) const;
    QNetworkReply* get(const QUrl& url);

    void startRefresh(ModLoader loader, const QString& gameVersion);
    void startFabricLikeRefresh(ModLoader loader, const QString& gameVersion);
    void startMavenRefresh(ModLoader loader, const QString& gameVersion);
    void handleFabricLikeReply(QNetworkReply* reply, ModLoader loader, const QString& gameVersion);
    void mergeMavenRefresh(Pending& pending, ModLoader loader, const QString& gameVersion);
    void endWithStoredList(ModLoader loader, const QString& gameVersion);
    void finishRefresh(ModLoader loader, const QString& gameVersion, bool ok,
                       const QString& message);

    bool readCache(ModLoader loader);
    void writeCache(ModLoader loader) const;

    QNetworkAccessManager* m_network = nullptr;
    QHash<int, Bucket> m_buckets;
    QHash<QString, CatalogWaiters> m_waiters;
    QSet<QString> m_refreshing;
};
