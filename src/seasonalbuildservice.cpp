#include "seasonalbuildservice.h"

#include "httprequest.h"
#include "jsonnumber.h"
#include "launcherpaths.h"
#include "localization.h"
#include "modloaderversionservice.h"
#include "pathrules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>
#include <utility>

namespace {

// Just under a quarter of an hour: a list fetched this many seconds ago is still fresh.
constexpr qint64 kFreshSeconds = 899;
constexpr int kFormatVersion = 1;
constexpr qsizetype kSha256Length = 64;
// The cache holds every key of every kept entry, so it may outgrow the document it
// came from; a file far larger than that never came from here.
constexpr qint64 kCacheLimit = 2 * HttpRequest::kCatalogLimit;
const HttpRequest::Recipe kCatalogRecipe{20000, HttpRequest::Redirects::NoLessSafe,
                                         HttpRequest::kCatalogLimit};
const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

const QString kId = QStringLiteral("id");
const QString kName = QStringLiteral("name");
const QString kRevision = QStringLiteral("revision");
const QString kMinecraftVersion = QStringLiteral("minecraftVersion");
const QString kLoader = QStringLiteral("loader");
const QString kLoaderVersion = QStringLiteral("loaderVersion");
const QString kModCount = QStringLiteral("modCount");
const QString kSeasonStart = QStringLiteral("seasonStart");
const QString kSeasonEnd = QStringLiteral("seasonEnd");
const QString kServerUrl = QStringLiteral("serverUrl");
const QString kJavaMajor = QStringLiteral("javaMajor");
const QString kDescription = QStringLiteral("description");
const QString kArchive = QStringLiteral("archive");
const QString kUrl = QStringLiteral("url");
const QString kSize = QStringLiteral("size");
const QString kSha256 = QStringLiteral("sha256");
const QString kFormatVersionKey = QStringLiteral("formatVersion");
const QString kBuilds = QStringLiteral("builds");
const QString kFetchedAt = QStringLiteral("fetchedAt");
const QString kBaseUrl = QStringLiteral("baseUrl");

bool isWebScheme(const QString& scheme)
{
    return scheme == QLatin1String("https") || scheme == QLatin1String("http");
}

// A count (of mods, a Java major version) is a whole number of at least 0; anything else,
// a number past the int range included, reads as 0.
int readCount(const QJsonValue& value)
{
    return std::max(0, value.toInt(0));
}

QDate readDate(const QJsonValue& value)
{
    return QDate::fromString(value.toString(), kDateFormat);
}

QString dateText(const QDate& date)
{
    return date.isValid() ? date.toString(kDateFormat) : QString();
}

SeasonalBuildEntry readEntry(const QJsonObject& object)
{
    SeasonalBuildEntry entry;
    entry.id = object.value(kId).toString();
    entry.name = object.value(kName).toString().trimmed();
    entry.revision = object.value(kRevision).toInt(0);
    entry.minecraftVersion = object.value(kMinecraftVersion).toString();
    entry.loader = object.value(kLoader).toString();
    entry.loaderVersion = object.value(kLoaderVersion).toString().trimmed();
    entry.modCount = readCount(object.value(kModCount));
    entry.seasonStart = readDate(object.value(kSeasonStart));
    entry.seasonEnd = readDate(object.value(kSeasonEnd));
    entry.serverUrl = object.value(kServerUrl).toString().trimmed();
    entry.javaMajor = readCount(object.value(kJavaMajor));
    entry.description = object.value(kDescription).toString().trimmed();
    const QJsonObject archive = object.value(kArchive).toObject();
    entry.archiveUrl = QUrl(archive.value(kUrl).toString(), QUrl::TolerantMode);
    entry.archiveSize = JsonNumber::byteCount(archive.value(kSize));
    entry.sha256 = archive.value(kSha256).toString().toLower();
    return entry;
}

QJsonObject entryToJson(const SeasonalBuildEntry& entry)
{
    return QJsonObject{
        {kId, entry.id},
        {kName, entry.name},
        {kRevision, entry.revision},
        {kMinecraftVersion, entry.minecraftVersion},
        {kLoader, entry.loader},
        {kLoaderVersion, entry.loaderVersion},
        {kModCount, entry.modCount},
        {kSeasonStart, dateText(entry.seasonStart)},
        {kSeasonEnd, dateText(entry.seasonEnd)},
        {kServerUrl, entry.serverUrl},
        {kJavaMajor, entry.javaMajor},
        {kDescription, entry.description},
        {kArchive, QJsonObject{{kUrl, entry.archiveUrl.toString()},
                               {kSize, entry.archiveSize},
                               {kSha256, entry.sha256}}},
    };
}

bool isSha256(const QString& text)
{
    return text.size() == kSha256Length && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

bool hasUsableLoader(const SeasonalBuildEntry& entry)
{
    return entry.loader.isEmpty() ||
           (loaderFromKey(entry.loader).has_value() && !entry.loaderVersion.isEmpty());
}

// The archive lies on the catalog's own origin, over the web.
bool isOnOrigin(const QUrl& archive, const QUrl& base)
{
    return isWebScheme(archive.scheme()) && archive.scheme() == base.scheme() &&
           archive.host(QUrl::FullyDecoded) == base.host(QUrl::FullyDecoded) &&
           archive.port(-1) == base.port(-1);
}

bool isAcceptable(const SeasonalBuildEntry& entry, const QUrl& base)
{
    return PathRules::isSeasonalId(entry.id) && !entry.name.isEmpty() && entry.revision > 0 &&
           PathRules::isSeasonalGameVersion(entry.minecraftVersion) && hasUsableLoader(entry) &&
           isSha256(entry.sha256) && entry.archiveSize >= 0 && isOnOrigin(entry.archiveUrl, base);
}

// Ongoing seasons first; then the newest start first, an unknown start last; then by
// name as the player's language orders it.
bool comesBefore(const SeasonalBuildEntry& a, const SeasonalBuildEntry& b)
{
    const bool aOngoing = !a.seasonEnd.isValid();
    const bool bOngoing = !b.seasonEnd.isValid();
    if (aOngoing != bOngoing)
        return aOngoing;
    const bool aStarted = a.seasonStart.isValid();
    const bool bStarted = b.seasonStart.isValid();
    if (aStarted != bStarted)
        return aStarted;
    if (aStarted && a.seasonStart != b.seasonStart)
        return a.seasonStart > b.seasonStart;
    return QString::localeAwareCompare(a.name, b.name) < 0;
}

} // namespace

SeasonalBuildService::SeasonalBuildService(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

SeasonalBuildService::~SeasonalBuildService()
{
    dropFetch();
}

void SeasonalBuildService::setBaseUrl(const QUrl& url)
{
    if (url == m_baseUrl)
        return;
    // The reply of the old address would be taken for the new one's list.
    const bool wasRefreshing = m_refreshing;
    dropFetch();
    m_baseUrl = url;
    m_builds.clear();
    m_index.clear();
    m_fetchedAt = QDateTime();
    m_cacheLoaded = false;
    m_lastError.clear();
    emit buildsChanged();

    const QList<Callback> waiting = m_waiters.take();
    for (const Callback& callback : waiting)
        ensureLoaded(callback);
    if (wasRefreshing && !m_refreshing)
        emit refreshingChanged();
}

void SeasonalBuildService::ensureLoaded(Callback callback, bool force)
{
    if (!hasUsableAddress()) {
        setLastError(Loc::text("seasonal.error.noServerUrl"));
        CatalogRefresh::answerLater(this, std::move(callback), false, m_lastError);
        return;
    }
    if (!m_cacheLoaded) {
        m_cacheLoaded = true;
        if (readCache())
            emit buildsChanged();
    }
    if (!force && !m_builds.isEmpty() && CatalogRefresh::isFresh(m_fetchedAt, kFreshSeconds)) {
        CatalogRefresh::answerLater(this, std::move(callback));
        return;
    }
    m_waiters.add(std::move(callback));
    if (!m_refreshing)
        startRefresh();
}

std::optional<SeasonalBuildEntry> SeasonalBuildService::find(const QString& id) const
{
    const auto it = m_index.constFind(id);
    if (it == m_index.cend())
        return std::nullopt;
    return m_builds.at(*it);
}

// Only the web's schemes reach a catalog server; anything else would be handed to
// whatever else the network layer can open.
bool SeasonalBuildService::hasUsableAddress() const
{
    return m_baseUrl.isValid() && !m_baseUrl.host().isEmpty() && isWebScheme(m_baseUrl.scheme());
}

// The interface shows the text as soon as it is set, not at the next change of the list.
void SeasonalBuildService::setLastError(const QString& message)
{
    if (message == m_lastError)
        return;
    m_lastError = message;
    emit buildsChanged();
}

void SeasonalBuildService::startRefresh()
{
    m_refreshing = true;
    emit refreshingChanged();

    QUrl url = m_baseUrl;
    url.setPath(m_baseUrl.path(QUrl::FullyDecoded) + QStringLiteral("/index.json"),
                QUrl::DecodedMode);
    QNetworkReply* reply = HttpRequest::get(m_network, url, kCatalogRecipe);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleReply(reply); });
}

void SeasonalBuildService::dropFetch()
{
    m_refreshing = false;
    QNetworkReply* reply = std::exchange(m_reply, nullptr);
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void SeasonalBuildService::handleReply(QNetworkReply* reply)
{
    m_reply = nullptr;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        finishRefresh(
            false,
            Loc::text("seasonal.error.catalogFetchFailed").arg(HttpRequest::errorText(reply)));
        return;
    }

    QString error;
    QList<SeasonalBuildEntry> builds =
        parseCatalog(QJsonDocument::fromJson(reply->readAll()).object(), &error);
    if (builds.isEmpty()) {
        finishRefresh(false, error.isEmpty() ? Loc::text("seasonal.error.catalogEmpty") : error);
        return;
    }
    applyBuilds(std::move(builds));
    m_fetchedAt = QDateTime::currentDateTimeUtc();
    writeCache();
    CatalogRefresh::afterCacheWrites(this, [this] {
        emit buildsChanged();
        finishRefresh(true, QString());
    });
}

void SeasonalBuildService::finishRefresh(bool ok, const QString& message)
{
    m_lastError = ok ? QString() : message;
    m_refreshing = false;
    emit refreshingChanged();
    emit buildsChanged();
    m_waiters.answer(ok || !m_builds.isEmpty(), message);
}

void SeasonalBuildService::applyBuilds(QList<SeasonalBuildEntry> builds)
{
    m_builds = std::move(builds);
    m_index.clear();
    m_index.reserve(m_builds.size());
    for (int i = 0; i < m_builds.size(); ++i)
        m_index.insert(m_builds.at(i).id, i);
}

QList<SeasonalBuildEntry> SeasonalBuildService::parseCatalog(const QJsonObject& document,
                                                             QString* error) const
{
    const int format = document.value(kFormatVersionKey).toInt(0);
    if (format != kFormatVersion) {
        if (error) {
            *error = (format < kFormatVersion ? Loc::text("seasonal.error.formatUnknown")
                                              : Loc::text("seasonal.error.formatTooNew"))
                         .arg(format);
        }
        return {};
    }
    QList<SeasonalBuildEntry> builds;
    const QJsonArray elements = document.value(kBuilds).toArray();
    for (const QJsonValue& element : elements) {
        SeasonalBuildEntry entry = readEntry(element.toObject());
        if (isAcceptable(entry, m_baseUrl))
            builds.append(std::move(entry));
    }
    std::stable_sort(builds.begin(), builds.end(), comesBefore);
    return builds;
}

bool SeasonalBuildService::readCache()
{
    const QJsonObject root =
        CatalogRefresh::readCacheFile(LauncherPaths::seasonalCatalogFile(), kCacheLimit);
    if (root.value(kBaseUrl).toString() != m_baseUrl.toString())
        return false;
    QList<SeasonalBuildEntry> builds = parseCatalog(root);
    if (builds.isEmpty())
        return false;
    applyBuilds(std::move(builds));
    m_fetchedAt = CatalogRefresh::parseTime(root.value(kFetchedAt).toString());
    return true;
}

void SeasonalBuildService::writeCache() const
{
    QJsonArray builds;
    for (const SeasonalBuildEntry& entry : m_builds)
        builds.append(entryToJson(entry));
    const QJsonObject root{
        {kFormatVersionKey, kFormatVersion},
        {kFetchedAt, CatalogRefresh::timeText(m_fetchedAt)},
        {kBaseUrl, m_baseUrl.toString()},
        {kBuilds, builds},
    };
    CatalogRefresh::writeCacheFile(LauncherPaths::seasonalCatalogFile(), root);
}
