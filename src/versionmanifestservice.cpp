#include "versionmanifestservice.h"

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

#include <algorithm>
#include <utility>

namespace {

// Just under six hours: a list fetched this many seconds ago is still fresh.
constexpr qint64 kFreshSeconds = 21599;
const HttpRequest::Recipe kManifestRecipe{20000, HttpRequest::Redirects::NoLessSafe,
                                          HttpRequest::kCatalogLimit};

QString formatTime(const QDateTime& time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QString();
}

// Newest first; undated entries last; ties broken by id in plain text order.
bool comesBefore(const RemoteVersionEntry& a, const RemoteVersionEntry& b)
{
    const bool aDated = a.releaseTime.isValid();
    const bool bDated = b.releaseTime.isValid();
    if (aDated != bDated)
        return aDated;
    if (aDated) {
        const qint64 aTime = a.releaseTime.toMSecsSinceEpoch();
        const qint64 bTime = b.releaseTime.toMSecsSinceEpoch();
        if (aTime != bTime)
            return aTime > bTime;
    }
    return a.id < b.id;
}

// Reads the manifest's version list, or the cache, which has the same shape.
QList<RemoteVersionEntry> parseManifest(const QJsonObject& root)
{
    const QJsonArray array = root.value(QLatin1String("versions")).toArray();
    QList<RemoteVersionEntry> entries;
    entries.reserve(array.size());
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        RemoteVersionEntry entry;
        entry.id = object.value(QLatin1String("id")).toString();
        entry.type = object.value(QLatin1String("type")).toString();
        entry.url = QUrl(object.value(QLatin1String("url")).toString(), QUrl::TolerantMode);
        entry.sha1 = object.value(QLatin1String("sha1")).toString();
        entry.releaseTime =
            CatalogRefresh::parseTime(object.value(QLatin1String("releaseTime")).toString());
        if (!entry.id.isEmpty() && entry.url.scheme() == QLatin1String("https"))
            entries.append(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(), comesBefore);
    return entries;
}

QJsonObject parseObject(const QByteArray& bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

} // namespace

VersionManifestService::VersionManifestService(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

void VersionManifestService::ensureLoaded(Callback callback, bool force)
{
    if (!m_cacheLoaded) {
        m_cacheLoaded = true;
        if (readCache())
            emit versionsChanged();
    }

    const bool fresh = !m_versions.isEmpty() && CatalogRefresh::isFresh(m_fetchedAt, kFreshSeconds);
    if (fresh && !force) {
        CatalogRefresh::answerLater(this, std::move(callback));
        return;
    }

    m_waiters.add(std::move(callback));
    if (!m_refreshing)
        startRefresh();
}

std::optional<RemoteVersionEntry> VersionManifestService::find(const QString& id) const
{
    const auto it = m_indexById.constFind(id);
    if (it == m_indexById.cend())
        return std::nullopt;
    return m_versions.at(*it);
}

void VersionManifestService::startRefresh()
{
    m_refreshing = true;
    emit refreshingChanged();

    QNetworkReply* reply =
        HttpRequest::get(m_network, QUrl(RemoteAddresses::versionManifestUrl(), QUrl::TolerantMode),
                         kManifestRecipe);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleReply(reply); });
}

void VersionManifestService::handleReply(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        finishRefresh(
            false,
            Loc::text("version.error.manifestFetchFailed").arg(HttpRequest::errorText(reply)));
        return;
    }

    QList<RemoteVersionEntry> result = parseManifest(parseObject(reply->readAll()));
    if (result.isEmpty()) {
        finishRefresh(false, Loc::text("version.error.manifestUnparsable"));
        return;
    }

    applyVersions(std::move(result));
    m_fetchedAt = QDateTime::currentDateTimeUtc();
    writeCache();
    CatalogRefresh::afterCacheWrites(this, [this] {
        emit versionsChanged();
        finishRefresh(true, {});
    });
}

void VersionManifestService::finishRefresh(bool ok, const QString& message)
{
    m_refreshing = false;
    emit refreshingChanged();
    m_waiters.answer(ok || !m_versions.isEmpty(), message);
}

void VersionManifestService::applyVersions(QList<RemoteVersionEntry> list)
{
    m_versions = std::move(list);
    m_indexById = {};
    m_indexById.reserve(m_versions.size());
    for (qint32 i = 0; i < m_versions.size(); ++i)
        m_indexById.insert(m_versions.at(i).id, i);
}

bool VersionManifestService::readCache()
{
    const QJsonObject root = CatalogRefresh::readCacheFile(LauncherPaths::versionManifestFile());
    QList<RemoteVersionEntry> result = parseManifest(root);
    if (result.isEmpty())
        return false;
    applyVersions(std::move(result));
    m_fetchedAt = CatalogRefresh::parseTime(root.value(QLatin1String("fetchedAt")).toString());
    return true;
}

void VersionManifestService::writeCache() const
{
    QJsonArray entries;
    for (const RemoteVersionEntry& entry : m_versions) {
        entries.append(QJsonObject{
            {QStringLiteral("id"), entry.id},
            {QStringLiteral("type"), entry.type},
            {QStringLiteral("url"), entry.url.toString()},
            {QStringLiteral("sha1"), entry.sha1},
            {QStringLiteral("releaseTime"), formatTime(entry.releaseTime)},
        });
    }
    const QJsonObject root{
        {QStringLiteral("fetchedAt"), CatalogRefresh::timeText(m_fetchedAt)},
        {QStringLiteral("versions"), entries},
    };
    CatalogRefresh::writeCacheFile(LauncherPaths::versionManifestFile(), root);
}
