#include "modloaderversionservice.h"

#include "catalogrefresh.h"
#include "httprequest.h"
#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <algorithm>
#include <memory>

namespace {

const HttpRequest::Recipe kCatalogRecipe{20000, HttpRequest::Redirects::NoLessSafe,
                                         HttpRequest::kCatalogLimit};
// Just under six hours: a list fetched this many seconds ago is still fresh.
constexpr qint64 kFreshSeconds = 6 * 60 * 60 - 1;
const QString kRecommendedSuffix = QStringLiteral("-recommended");

QString forgeMavenBase()
{
    return RemoteAddresses::url(RemoteAddresses::Service::ForgeMaven,
                                QStringLiteral("/net/minecraftforge/forge/"));
}

QString forgePromotionsAddress()
{
    return RemoteAddresses::url(
        RemoteAddresses::Service::ForgeFiles,
        QStringLiteral("/maven/net/minecraftforge/forge/promotions_slim.json"));
}

QString neoForgeMavenBase()
{
    return RemoteAddresses::url(RemoteAddresses::Service::NeoForgeMaven,
                                QStringLiteral("/releases/net/neoforged/neoforge/"));
}

QString neoForgeLegacyMavenBase()
{
    return RemoteAddresses::url(RemoteAddresses::Service::NeoForgeMaven,
                                QStringLiteral("/releases/net/neoforged/forge/"));
}

QString mavenMetadataName()
{
    return QStringLiteral("maven-metadata.xml");
}

QString fetchFailedText(ModLoader loader, const QString& reason)
{
    return Loc::text("loader.error.versionsFetchFailed").arg(loaderTitle(loader), reason);
}

QString unparsableText(ModLoader loader)
{
    return Loc::text("loader.error.versionsUnparsable").arg(loaderTitle(loader));
}

// A version part counts as a number only when it is all ASCII digits and fits
// a signed 32-bit integer.
std::optional<int> numericPart(const QString& part)
{
    if (part.isEmpty())
        return std::nullopt;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    const int value = part.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

// NeoForge numbers its releases after the game version: 20.2.3 belongs to 1.20.2,
// 21.0.1 to 1.21, and from the year-numbered game releases on 26.1.0.5 to 26.1.
QString neoForgeGameVersion(const QString& version)
{
    const QString number = version.section(QLatin1Char('-'), 0, 0).section(QLatin1Char('+'), 0, 0);
    const QStringList parts = number.split(QLatin1Char('.'));
    if (parts.size() == 3) {
        if (parts[1] == QLatin1String("0"))
            return QStringLiteral("1.") + parts[0];
        return QStringLiteral("1.") + parts[0] + QLatin1Char('.') + parts[1];
    }
    if (parts.size() >= 4) {
        if (parts[2] == QLatin1String("0"))
            return parts[0] + QLatin1Char('.') + parts[1];
        return parts[0] + QLatin1Char('.') + parts[1] + QLatin1Char('.') + parts[2];
    }
    return {};
}

// Game version and loader version of "1.20.1-47.2.0"; nullopt without a usable "-".
std::optional<std::pair<QString, QString>> splitForgeVersion(const QString& version)
{
    const qsizetype dash = version.indexOf(QLatin1Char('-'));
    if (dash <= 0 || dash == version.size() - 1)
        return std::nullopt;
    return std::make_pair(version.left(dash), version.mid(dash + 1));
}

QDateTime currentSecond()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return now.addMSecs(-now.time().msec());
}

QJsonObject entryToJson(const LoaderVersionEntry& entry)
{
    return {
        {QStringLiteral("loaderVersion"), entry.loaderVersion},
        {QStringLiteral("gameVersion"), entry.gameVersion},
        {QStringLiteral("versionId"), entry.versionId},
        {QStringLiteral("installerUrl"), entry.installerUrl.toString()},
        {QStringLiteral("recommended"), entry.recommended},
        {QStringLiteral("stable"), entry.stable},
    };
}

LoaderVersionEntry entryFromJson(const QJsonObject& object)
{
    LoaderVersionEntry entry;
    entry.loaderVersion = object.value(QStringLiteral("loaderVersion")).toString();
    entry.gameVersion = object.value(QStringLiteral("gameVersion")).toString();
    entry.versionId = object.value(QStringLiteral("versionId")).toString();
    entry.installerUrl =
        QUrl(object.value(QStringLiteral("installerUrl")).toString(), QUrl::TolerantMode);
    entry.recommended = object.value(QStringLiteral("recommended")).toBool(false);
    entry.stable = object.value(QStringLiteral("stable")).toBool(true);
    return entry;
}

} // namespace

// What the two replies of a Forge or NeoForge refresh collect until both are in.
struct ModLoaderVersionService::Pending {
    int remaining = 2;
    EntriesByGame byGame;
    EntriesByGame legacyByGame;
    QHash<QString, QString> recommendedByGame;
    bool mainParsed = false;
    QString error;
};

ModLoaderVersionService::ModLoaderVersionService(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

bool ModLoaderVersionService::isPerGameVersion(ModLoader loader)
{
    return loader == ModLoader::Fabric || loader == ModLoader::Quilt;
}

QString ModLoaderVersionService::requestKey(ModLoader loader, const QString& gameVersion)
{
    if (isPerGameVersion(loader))
        return loaderKey(loader) + QLatin1Char('/') + gameVersion;
    return loaderKey(loader);
}

QString ModLoaderVersionService::fabricLikeBase(ModLoader loader)
{
    if (loader == ModLoader::Fabric)
        return RemoteAddresses::url(RemoteAddresses::Service::FabricMeta,
                                    QStringLiteral("/v2/versions/loader/"));
    return RemoteAddresses::url(RemoteAddresses::Service::QuiltMeta,
                                QStringLiteral("/v3/versions/loader/"));
}

const ModLoaderVersionService::Bucket& ModLoaderVersionService::bucket(ModLoader loader) const
{
    static const Bucket empty;
    const auto it = m_buckets.constFind(int(loader));
    return it == m_buckets.cend() ? empty : *it;
}

ModLoaderVersionService::Bucket& ModLoaderVersionService::bucket(ModLoader loader)
{
    return m_buckets[int(loader)];
}

bool ModLoaderVersionService::isFresh(ModLoader loader, const QString& gameVersion) const
{
    const Bucket& b = bucket(loader);
    const QDateTime fetched =
        isPerGameVersion(loader) ? b.fetchedAtByGame.value(gameVersion) : b.fetchedAt;
    return CatalogRefresh::isFresh(fetched, kFreshSeconds);
}

void ModLoaderVersionService::ensureLoaded(ModLoader loader, const QString& gameVersion,
                                           const Callback& callback, bool force)
{
    if (gameVersion.trimmed().isEmpty()) {
        CatalogRefresh::answerLater(this, callback);
        return;
    }

    Bucket& b = bucket(loader);
    if (!b.cacheLoaded) {
        b.cacheLoaded = true;
        if (readCache(loader))
            emit versionsChanged(loaderKey(loader), gameVersion);
    }

    if (!force && isFresh(loader, gameVersion)) {
        CatalogRefresh::answerLater(this, callback);
        return;
    }

    const QString key = requestKey(loader, gameVersion);
    if (callback)
        m_waiters[key].add(callback);
    if (!m_refreshing.contains(key))
        startRefresh(loader, gameVersion);
}

QList<LoaderVersionEntry> ModLoaderVersionService::versions(ModLoader loader,
                                                            const QString& gameVersion) const
{
    return bucket(loader).byGame.value(gameVersion);
}

std::optional<LoaderVersionEntry> ModLoaderVersionService::find(ModLoader loader,
                                                                const QString& gameVersion,
                                                                const QString& loaderVersion) const
{
    const auto& list = bucket(loader).byGame.value(gameVersion);
    for (const LoaderVersionEntry& entry : list) {
        if (entry.loaderVersion == loaderVersion)
            return entry;
    }
    return std::nullopt;
}

bool ModLoaderVersionService::isRefreshing(ModLoader loader, const QString& gameVersion) const
{
    return m_refreshing.contains(requestKey(loader, gameVersion));
}

QNetworkReply* ModLoaderVersionService::get(const QUrl& url)
{
    return HttpRequest::get(m_network, url, kCatalogRecipe);
}

void ModLoaderVersionService::startRefresh(ModLoader loader, const QString& gameVersion)
{
    m_refreshing.insert(requestKey(loader, gameVersion));
    emit refreshingChanged();
    if (isPerGameVersion(loader))
        startFabricLikeRefresh(loader, gameVersion);
    else
        startMavenRefresh(loader, gameVersion);
}

void ModLoaderVersionService::startFabricLikeRefresh(ModLoader loader, const QString& gameVersion)
{
    // The game version goes into the address as it is; tolerant parsing escapes
    // what has to be escaped.
    QNetworkReply* reply = get(QUrl(fabricLikeBase(loader) + gameVersion, QUrl::TolerantMode));
    connect(reply, &QNetworkReply::finished, this, [this, reply, loader, gameVersion] {
        handleFabricLikeReply(reply, loader, gameVersion);
    });
}

void ModLoaderVersionService::handleFabricLikeReply(QNetworkReply* reply, ModLoader loader,
                                                    const QString& gameVersion)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        finishRefresh(loader, gameVersion, false,
                      fetchFailedText(loader, HttpRequest::errorText(reply)));
        return;
    }
    const QByteArray body = reply->readAll();
    if (!QJsonDocument::fromJson(body).isArray()) {
        finishRefresh(loader, gameVersion, false, unparsableText(loader));
        return;
    }
    Bucket& b = bucket(loader);
    b.byGame.insert(gameVersion, parseFabricLike(body, loader, gameVersion));
    b.fetchedAtByGame.insert(gameVersion, currentSecond());
    endWithStoredList(loader, gameVersion);
}

void ModLoaderVersionService::startMavenRefresh(ModLoader loader, const QString& gameVersion)
{
    const auto pending = std::make_shared<Pending>();
    const QString mainBase = loader == ModLoader::Forge ? forgeMavenBase() : neoForgeMavenBase();

    QNetworkReply* main = get(QUrl(mainBase + mavenMetadataName(), QUrl::TolerantMode));
    connect(main, &QNetworkReply::finished, this, [this, main, pending, loader, gameVersion] {
        main->deleteLater();
        if (main->error() != QNetworkReply::NoError) {
            pending->error = fetchFailedText(loader, HttpRequest::errorText(main));
        } else {
            EntriesByGame parsed = parseMavenMetadata(main->readAll(), loader, false);
            if (parsed.isEmpty()) {
                pending->error = unparsableText(loader);
            } else {
                pending->byGame = std::move(parsed);
                pending->mainParsed = true;
            }
        }
        mergeMavenRefresh(*pending, loader, gameVersion);
    });

    if (loader == ModLoader::Forge) {
        QNetworkReply* promotions = get(QUrl(forgePromotionsAddress(), QUrl::TolerantMode));
        connect(promotions, &QNetworkReply::finished, this,
                [this, promotions, pending, loader, gameVersion] {
                    promotions->deleteLater();
                    if (promotions->error() == QNetworkReply::NoError) {
                        const QJsonObject promos = QJsonDocument::fromJson(promotions->readAll())
                                                       .object()
                                                       .value(QStringLiteral("promos"))
                                                       .toObject();
                        for (auto it = promos.begin(); it != promos.end(); ++it) {
                            if (!it.key().endsWith(kRecommendedSuffix))
                                continue;
                            pending->recommendedByGame.insert(
                                it.key().chopped(kRecommendedSuffix.size()),
                                it.value().isString() ? it.value().toString() : QString());
                        }
                    }
                    mergeMavenRefresh(*pending, loader, gameVersion);
                });
        return;
    }

    QNetworkReply* legacy =
        get(QUrl(neoForgeLegacyMavenBase() + mavenMetadataName(), QUrl::TolerantMode));
    connect(legacy, &QNetworkReply::finished, this, [this, legacy, pending, loader, gameVersion] {
        legacy->deleteLater();
        if (legacy->error() == QNetworkReply::NoError)
            pending->legacyByGame =
                parseMavenMetadata(legacy->readAll(), ModLoader::NeoForge, true);
        mergeMavenRefresh(*pending, loader, gameVersion);
    });
}

void ModLoaderVersionService::mergeMavenRefresh(Pending& pending, ModLoader loader,
                                                const QString& gameVersion)
{
    if (--pending.remaining > 0)
        return;
    if (!pending.mainParsed) {
        finishRefresh(loader, gameVersion, false, pending.error);
        return;
    }

    for (auto it = pending.legacyByGame.cbegin(); it != pending.legacyByGame.cend(); ++it)
        pending.byGame[it.key()].append(it.value());

    for (auto it = pending.byGame.begin(); it != pending.byGame.end(); ++it) {
        const QString recommended = pending.recommendedByGame.value(it.key());
        if (recommended.isEmpty())
            continue;
        for (LoaderVersionEntry& entry : it.value())
            entry.recommended = entry.loaderVersion == recommended;
    }

    Bucket& b = bucket(loader);
    b.byGame = std::move(pending.byGame);
    b.fetchedAt = currentSecond();
    endWithStoredList(loader, gameVersion);
}

// The list in the bucket is new: it is announced, and the refresh answers, once its
// cache file is written.
void ModLoaderVersionService::endWithStoredList(ModLoader loader, const QString& gameVersion)
{
    writeCache(loader);
    CatalogRefresh::afterCacheWrites(this, [this, loader, gameVersion] {
        emit versionsChanged(loaderKey(loader), gameVersion);
        finishRefresh(loader, gameVersion, true, QString());
    });
}

bool ModLoaderVersionService::hasStoredList(ModLoader loader, const QString& gameVersion) const
{
    const Bucket& b = bucket(loader);
    // A per-game-version list of another game version says nothing about this one:
    // the caller would carry on with an empty list as if it were the real one.
    if (isPerGameVersion(loader))
        return b.byGame.contains(gameVersion);
    return !b.byGame.isEmpty();
}

void ModLoaderVersionService::finishRefresh(ModLoader loader, const QString& gameVersion, bool ok,
                                            const QString& message)
{
    const QString key = requestKey(loader, gameVersion);
    m_refreshing.remove(key);
    emit refreshingChanged();

    CatalogWaiters waiters = m_waiters.take(key);
    waiters.answer(ok || hasStoredList(loader, gameVersion), message);
}

bool ModLoaderVersionService::looksUnstable(const QString& version)
{
    const QString lower = version.toLower();
    for (const char* marker : {"alpha", "beta", "-rc", "-pre"}) {
        if (lower.contains(QLatin1String(marker)))
            return true;
    }
    return lower.contains(QLatin1Char('+'));
}

bool ModLoaderVersionService::isNewer(const QString& a, const QString& b)
{
    static const QRegularExpression separators(QStringLiteral("[.\\-+]"));
    const QStringList left = a.split(separators, Qt::SkipEmptyParts);
    const QStringList right = b.split(separators, Qt::SkipEmptyParts);
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QString x = left.value(i);
        const QString y = right.value(i);
        const std::optional<int> xNumber = numericPart(x);
        const std::optional<int> yNumber = numericPart(y);
        if (xNumber && yNumber) {
            if (*xNumber != *yNumber)
                return *xNumber > *yNumber;
            continue;
        }
        if (xNumber || yNumber)
            return bool(xNumber);
        if (x != y)
            return QString::compare(x, y, Qt::CaseSensitive) > 0;
    }
    return false;
}

void ModLoaderVersionService::sortNewestFirst(QList<LoaderVersionEntry>& entries)
{
    std::stable_sort(entries.begin(), entries.end(),
                     [](const LoaderVersionEntry& x, const LoaderVersionEntry& y) {
                         return isNewer(x.loaderVersion, y.loaderVersion);
                     });
}

QList<LoaderVersionEntry> ModLoaderVersionService::parseFabricLike(const QByteArray& body,
                                                                   ModLoader loader,
                                                                   const QString& gameVersion)
{
    const QString prefix = loader == ModLoader::Fabric ? QStringLiteral("fabric-loader-")
                                                       : QStringLiteral("quilt-loader-");
    const QJsonArray array = QJsonDocument::fromJson(body).array();
    QList<LoaderVersionEntry> entries;
    entries.reserve(array.size());
    for (const QJsonValue& element : array) {
        const QJsonObject loaderObject =
            element.toObject().value(QStringLiteral("loader")).toObject();
        const QJsonValue versionValue = loaderObject.value(QStringLiteral("version"));
        const QString version = versionValue.isString() ? versionValue.toString() : QString();
        if (version.isEmpty())
            continue;
        LoaderVersionEntry entry;
        entry.loaderVersion = version;
        entry.gameVersion = gameVersion;
        entry.versionId = prefix + version + QLatin1Char('-') + gameVersion;
        const QJsonValue stable = loaderObject.value(QStringLiteral("stable"));
        entry.stable = stable.isBool() ? stable.toBool() : !looksUnstable(version);
        entries.append(entry);
    }
    sortNewestFirst(entries);
    return entries;
}

ModLoaderVersionService::EntriesByGame
ModLoaderVersionService::parseMavenMetadata(const QByteArray& body, ModLoader loader, bool legacy)
{
    const bool neoForgeNumbering = loader == ModLoader::NeoForge && !legacy;
    const QString base = loader == ModLoader::Forge ? forgeMavenBase()
                         : legacy                   ? neoForgeLegacyMavenBase()
                                                    : neoForgeMavenBase();
    const QString artifact =
        neoForgeNumbering ? QStringLiteral("neoforge") : QStringLiteral("forge");

    EntriesByGame result;
    QXmlStreamReader reader(body);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement ||
            reader.name() != QLatin1String("version"))
            continue;
        const QString version = reader.readElementText().trimmed();
        if (version.isEmpty())
            continue;

        LoaderVersionEntry entry;
        if (neoForgeNumbering) {
            entry.loaderVersion = version;
            entry.gameVersion = neoForgeGameVersion(version);
        } else if (const auto split = splitForgeVersion(version)) {
            entry.gameVersion = split->first;
            entry.loaderVersion = split->second;
        }
        if (entry.gameVersion.isEmpty())
            continue;
        entry.stable = !looksUnstable(version);
        entry.installerUrl = QUrl(base + version + QLatin1Char('/') + artifact + QLatin1Char('-') +
                                      version + QStringLiteral("-installer.jar"),
                                  QUrl::TolerantMode);
        result[entry.gameVersion].append(entry);
    }
    if (reader.hasError())
        return {};

    for (auto it = result.begin(); it != result.end(); ++it)
        sortNewestFirst(it.value());
    return result;
}

bool ModLoaderVersionService::readCache(ModLoader loader)
{
    const QJsonObject root =
        CatalogRefresh::readCacheFile(LauncherPaths::loaderCacheFile(loaderKey(loader)));
    const QJsonObject games = root.value(QStringLiteral("games")).toObject();
    if (games.isEmpty())
        return false;

    Bucket& b = bucket(loader);
    for (auto it = games.begin(); it != games.end(); ++it) {
        const QJsonObject game = it.value().toObject();
        QList<LoaderVersionEntry> entries;
        for (const QJsonValue& element : game.value(QStringLiteral("entries")).toArray())
            entries.append(entryFromJson(element.toObject()));
        b.byGame.insert(it.key(), entries);
        const QDateTime fetched =
            CatalogRefresh::parseTime(game.value(QStringLiteral("fetchedAt")).toString());
        if (fetched.isValid())
            b.fetchedAtByGame.insert(it.key(), fetched);
    }
    b.fetchedAt = CatalogRefresh::parseTime(root.value(QStringLiteral("fetchedAt")).toString());
    return true;
}

void ModLoaderVersionService::writeCache(ModLoader loader) const
{
    const Bucket& b = bucket(loader);
    QJsonObject games;
    for (auto it = b.byGame.cbegin(); it != b.byGame.cend(); ++it) {
        QJsonArray entries;
        for (const LoaderVersionEntry& entry : it.value())
            entries.append(entryToJson(entry));
        games.insert(it.key(), QJsonObject{
                                   {QStringLiteral("fetchedAt"),
                                    CatalogRefresh::timeText(b.fetchedAtByGame.value(it.key()))},
                                   {QStringLiteral("entries"), entries},
                               });
    }
    const QJsonObject root{
        {QStringLiteral("fetchedAt"), CatalogRefresh::timeText(b.fetchedAt)},
        {QStringLiteral("games"), games},
    };
    CatalogRefresh::writeCacheFile(LauncherPaths::loaderCacheFile(loaderKey(loader)), root);
}
