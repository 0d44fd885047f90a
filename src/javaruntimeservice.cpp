#include "javaruntimeservice.h"

#include "catalogrefresh.h"
#include "httprequest.h"
#include "jsonnumber.h"
#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QUrlQuery>

#include <algorithm>
#include <utility>

namespace {
constexpr qint64 kFreshSeconds = 86399;
const HttpRequest::Recipe kCatalogRecipe{20000, HttpRequest::Redirects::NoLessSafe,
                                         HttpRequest::kCatalogLimit};
const QString kMojangArchive = QStringLiteral("mojang");
const QString kExcludedComponent = QStringLiteral("minecraft-java-exe");

QString& architectureOverride()
{
    static QString name;
    return name;
}

QString cpuArchitecture()
{
    const QString& forced = architectureOverride();
    return forced.isEmpty() ? QSysInfo::currentCpuArchitecture() : forced;
}

QString mojangPlatform()
{
    return cpuArchitecture() == QLatin1String("i386") ? QStringLiteral("linux-i386")
                                                      : QStringLiteral("linux");
}

// The architecture name the Adoptium API uses for this machine.
QString adoptiumArchitecture()
{
    const QString name = cpuArchitecture();
    if (name == QLatin1String("arm64"))
        return QStringLiteral("aarch64");
    if (name == QLatin1String("x86_64"))
        return QStringLiteral("x64");
    if (name == QLatin1String("i386"))
        return QStringLiteral("x86");
    return name;
}

QString adoptiumApi()
{
    return RemoteAddresses::url(RemoteAddresses::Service::Adoptium, QStringLiteral("/v3"));
}

QString featureReleaseUrl(int major, const QString& architecture)
{
    QUrlQuery query;
    query.setQueryItems({
        {QStringLiteral("architecture"), architecture},
        {QStringLiteral("heap_size"), QStringLiteral("normal")},
        {QStringLiteral("jvm_impl"), QStringLiteral("hotspot")},
        {QStringLiteral("os"), QStringLiteral("linux")},
        {QStringLiteral("page"), QStringLiteral("0")},
        {QStringLiteral("page_size"), QStringLiteral("3")},
        {QStringLiteral("project"), QStringLiteral("jdk")},
        {QStringLiteral("sort_method"), QStringLiteral("DEFAULT")},
        {QStringLiteral("sort_order"), QStringLiteral("DESC")},
        {QStringLiteral("vendor"), QStringLiteral("eclipse")},
    });
    return adoptiumApi() + QStringLiteral("/assets/feature_releases/%1/ga?").arg(major) +
           query.toString(QUrl::FullyEncoded);
}

QString readText(const QJsonObject& object, const QString& key)
{
    return object.value(key).toString();
}

QDateTime readTime(const QJsonObject& object, const QString& key)
{
    return CatalogRefresh::parseTime(readText(object, key));
}

QJsonObject parseObject(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

QString isoText(const QDateTime& time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QString();
}

bool isHttps(const QUrl& url)
{
    return url.isValid() && url.scheme() == QLatin1String("https");
}

// Higher majors first; within one, the newest release first (no time last), then the
// greater version text.
bool comesBefore(const JavaRuntimeEntry& a, const JavaRuntimeEntry& b)
{
    if (a.major != b.major)
        return a.major > b.major;
    const bool aDated = a.released.isValid();
    const bool bDated = b.released.isValid();
    if (aDated != bDated)
        return aDated;
    if (aDated && a.released != b.released)
        return a.released > b.released;
    return a.version > b.version;
}

int kindRank(JavaRuntimeKind kind)
{
    switch (kind) {
    case JavaRuntimeKind::Jdk:
        return 0;
    case JavaRuntimeKind::Java:
        return 1;
    case JavaRuntimeKind::Jre:
        return 2;
    }
    return 3;
}

bool replacesBest(const JavaRuntimeEntry& candidate, const JavaRuntimeEntry& best)
{
    if (candidate.major != best.major)
        return candidate.major < best.major;
    const int candidateRank = kindRank(candidate.kind);
    const int bestRank = kindRank(best.kind);
    if (candidateRank != bestRank)
        return candidateRank < bestRank;
    if (candidate.released.isValid() && best.released.isValid() &&
        candidate.released != best.released)
        return candidate.released > best.released;
    return candidate.version > best.version;
}

QJsonObject entryToJson(const JavaRuntimeEntry& entry)
{
    return QJsonObject{
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("kind"), javaKindKey(entry.kind)},
        {QStringLiteral("major"), entry.major},
        {QStringLiteral("version"), entry.version},
        {QStringLiteral("component"), entry.component},
        {QStringLiteral("released"), isoText(entry.released)},
        {QStringLiteral("url"), entry.url.toString(QUrl::FullyEncoded)},
        {QStringLiteral("checksum"), entry.checksum},
        {QStringLiteral("size"), static_cast<double>(entry.size)},
        {QStringLiteral("archive"), entry.archive},
        {QStringLiteral("architecture"), entry.architecture},
        {QStringLiteral("lts"), entry.lts},
    };
}

std::optional<JavaRuntimeEntry> entryFromJson(const QJsonObject& object)
{
    const std::optional<JavaRuntimeKind> kind =
        javaKindFromKey(readText(object, QStringLiteral("kind")));
    if (!kind)
        return std::nullopt;
    JavaRuntimeEntry entry;
    entry.kind = *kind;
    entry.id = readText(object, QStringLiteral("id"));
    entry.major = object.value(QStringLiteral("major")).toInt(0);
    entry.version = readText(object, QStringLiteral("version"));
    entry.component = readText(object, QStringLiteral("component"));
    entry.released = readTime(object, QStringLiteral("released"));
    entry.url = QUrl(readText(object, QStringLiteral("url")), QUrl::TolerantMode);
    entry.checksum = readText(object, QStringLiteral("checksum"));
    entry.size = JsonNumber::size(object.value(QStringLiteral("size")));
    entry.archive = readText(object, QStringLiteral("archive"));
    entry.architecture = readText(object, QStringLiteral("architecture"));
    entry.lts = object.value(QStringLiteral("lts")).toBool(false);
    if (entry.id.isEmpty() || entry.major <= 0 || !isHttps(entry.url))
        return std::nullopt;
    return entry;
}

// The version text of one Temurin release.
QString adoptiumVersion(int major, const QJsonObject& versionData)
{
    if (major == 8)
        return QStringLiteral("8u%1").arg(versionData.value(QStringLiteral("security")).toInt(0));
    QString version = readText(versionData, QStringLiteral("openjdk_version"));
    if (version.endsWith(QLatin1String("-LTS")))
        version.chop(4);
    return version.isEmpty() ? readText(versionData, QStringLiteral("semver")) : version;
}

QString archiveKindOf(const QString& packageName)
{
    if (packageName.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        return QStringLiteral("zip");
    if (packageName.endsWith(QLatin1String(".tar.gz"), Qt::CaseInsensitive))
        return QStringLiteral("tar.gz");
    return {};
}

// The major version a vendor runtime's version name gives; 0 when it gives none.
int mojangMajor(const QString& name)
{
    if (name.startsWith(QLatin1String("8u")))
        return 8;
    const QString head = name.section(QLatin1Char('.'), 0, 0);
    const bool digitsOnly = !head.isEmpty() && std::all_of(head.cbegin(), head.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    if (!digitsOnly)
        return 0;
    bool ok = false;
    const int major = head.toInt(&ok, 10);
    return ok ? major : 0;
}
} // namespace

JavaRuntimeService::JavaRuntimeService(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
}

void JavaRuntimeService::setCpuArchitectureForTesting(const QString& name)
{
    architectureOverride() = name;
}

QList<JavaRuntimeEntry> JavaRuntimeService::entries(JavaRuntimeKind kind) const
{
    QList<JavaRuntimeEntry> result;
    for (const JavaRuntimeEntry& entry : m_catalog) {
        if (entry.kind == kind)
            result.append(entry);
    }
    return result;
}

std::optional<JavaRuntimeEntry> JavaRuntimeService::find(const QString& id) const
{
    const auto it = m_indexById.constFind(id);
    if (it == m_indexById.cend())
        return std::nullopt;
    return m_catalog.at(*it);
}

std::optional<JavaRuntimeEntry> JavaRuntimeService::bestFor(int requiredMajor) const
{
    if (requiredMajor <= 0)
        return std::nullopt;
    const JavaRuntimeEntry* best = nullptr;
    for (const JavaRuntimeEntry& entry : m_catalog) {
        if (entry.id.isEmpty() || entry.major <= 0 || !entry.url.isValid() ||
            entry.major < requiredMajor)
            continue;
        if (!best || replacesBest(entry, *best))
            best = &entry;
    }
    if (!best)
        return std::nullopt;
    return *best;
}

QList<JavaRuntimeEntry> JavaRuntimeService::parseAdoptium(const QByteArray& body,
                                                          const QSet<int>& ltsMajors)
{
    QList<JavaRuntimeEntry> result;
    const QJsonArray releases = QJsonDocument::fromJson(body).array();
    for (const QJsonValue& releaseValue : releases) {
        const QJsonObject release = releaseValue.toObject();
        const QJsonObject versionData = release.value(QStringLiteral("version_data")).toObject();
        const int major = versionData.value(QStringLiteral("major")).toInt(0);
        if (major <= 0 || readText(release, QStringLiteral("release_name")).isEmpty())
            continue;
        const QString version = adoptiumVersion(major, versionData);
        const QDateTime released = readTime(release, QStringLiteral("timestamp"));

        const QJsonArray binaries = release.value(QStringLiteral("binaries")).toArray();
        for (const QJsonValue& binaryValue : binaries) {
            const QJsonObject binary = binaryValue.toObject();
            const std::optional<JavaRuntimeKind> kind =
                javaKindFromKey(readText(binary, QStringLiteral("image_type")));
            if (kind != JavaRuntimeKind::Jdk && kind != JavaRuntimeKind::Jre)
                continue;
            const QJsonObject package = binary.value(QStringLiteral("package")).toObject();
            const QUrl url(readText(package, QStringLiteral("link")), QUrl::TolerantMode);
            const QString archive = archiveKindOf(readText(package, QStringLiteral("name")));
            if (archive.isEmpty() || url.scheme() != QLatin1String("https"))
                continue;

            JavaRuntimeEntry entry;
            entry.kind = *kind;
            entry.major = major;
            entry.version = version;
            entry.released = released;
            entry.url = url;
            entry.checksum = readText(package, QStringLiteral("checksum"));
            entry.size = JsonNumber::size(package.value(QStringLiteral("size")));
            entry.archive = archive;
            entry.architecture = readText(binary, QStringLiteral("architecture"));
            entry.lts = ltsMajors.contains(major);
            entry.id = JavaRuntimeStore::sanitizeId(
                QStringLiteral("temurin-%1-%2-%3")
                    .arg(javaKindKey(entry.kind), entry.version, entry.architecture));
            result.append(entry);
        }
    }
    return result;
}

QList<JavaRuntimeEntry> JavaRuntimeService::parseMojang(const QByteArray& body)
{
    QList<JavaRuntimeEntry> result;
    const QJsonObject components = parseObject(body).value(mojangPlatform()).toObject();
    for (auto it = components.constBegin(); it != components.constEnd(); ++it) {
        const QString component = it.key();
        if (component == kExcludedComponent)
            continue;
        const QJsonArray builds = it.value().toArray();
        if (builds.isEmpty())
            continue;
        const QJsonObject build = builds.first().toObject();
        const QJsonObject manifest = build.value(QStringLiteral("manifest")).toObject();
        const QUrl url(readText(manifest, QStringLiteral("url")), QUrl::TolerantMode);
        if (url.scheme() != QLatin1String("https"))
            continue;
        const QJsonObject version = build.value(QStringLiteral("version")).toObject();
        const QString name = readText(version, QStringLiteral("name"));
        if (name.isEmpty())
            continue;

        JavaRuntimeEntry entry;
        entry.kind = JavaRuntimeKind::Java;
        entry.component = component;
        entry.version = name;
        entry.major = mojangMajor(name);
        entry.released = readTime(version, QStringLiteral("released"));
        entry.url = url;
        entry.checksum = readText(manifest, QStringLiteral("sha1"));
        entry.archive = kMojangArchive;
        entry.architecture = cpuArchitecture();
        entry.id = JavaRuntimeStore::sanitizeId(QStringLiteral("mojang-") + component);
        if (entry.major > 0)
            result.append(entry);
    }
    return result;
}

void JavaRuntimeService::applyEntries(QList<JavaRuntimeEntry> list)
{
    std::stable_sort(list.begin(), list.end(), comesBefore);
    m_catalog = std::move(list);
    m_indexById.clear();
    for (int i = 0; i < m_catalog.size(); ++i)
        m_indexById.insert(m_catalog.at(i).id, i);
}

bool JavaRuntimeService::readCache()
{
    const QJsonObject root = CatalogRefresh::readCacheFile(LauncherPaths::javaCatalogFile());
    const QJsonValue platform = root.value(QStringLiteral("platform"));
    if (!platform.isString() || platform.toString() != mojangPlatform())
        return false;

    QList<JavaRuntimeEntry> kept;
    const QJsonArray elements = root.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue& element : elements) {
        if (std::optional<JavaRuntimeEntry> entry = entryFromJson(element.toObject()))
            kept.append(std::move(*entry));
    }
    if (kept.isEmpty())
        return false;
    applyEntries(std::move(kept));
    m_fetchedAt = readTime(root, QStringLiteral("fetchedAt"));
    return true;
}

void JavaRuntimeService::writeCache() const
{
    QJsonArray entries;
    for (const JavaRuntimeEntry& entry : m_catalog)
        entries.append(entryToJson(entry));
    const QJsonObject root{
        {QStringLiteral("fetchedAt"), CatalogRefresh::timeText(m_fetchedAt)},
        {QStringLiteral("platform"), mojangPlatform()},
        {QStringLiteral("entries"), entries},
    };
    CatalogRefresh::writeCacheFile(LauncherPaths::javaCatalogFile(), root);
}

bool JavaRuntimeService::isFresh() const
{
    return !m_catalog.isEmpty() && CatalogRefresh::isFresh(m_fetchedAt, kFreshSeconds);
}

void JavaRuntimeService::ensureLoaded(Callback callback, bool force)
{
    if (!m_cacheLoaded) {
        m_cacheLoaded = true;
        if (readCache())
            emit catalogChanged();
    }
    if (!force && isFresh()) {
        CatalogRefresh::answerLater(this, std::move(callback));
        return;
    }
    m_waiters.add(std::move(callback));
    if (m_pendingRequests <= 0)
        startRefresh();
}

QNetworkReply* JavaRuntimeService::get(const QString& url)
{
    return HttpRequest::get(m_network, QUrl(url, QUrl::TolerantMode), kCatalogRecipe);
}

void JavaRuntimeService::startRefresh()
{
    m_fetched.clear();
    m_fetchErrors.clear();
    m_ltsMajors.clear();
    m_pendingRequests = 2;
    emit refreshingChanged();
    requestAdoptiumReleases();
    requestMojangRuntimes();
}

void JavaRuntimeService::requestAdoptiumReleases()
{
    QNetworkReply* reply = get(adoptiumApi() + QStringLiteral("/info/available_releases"));
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { handleAdoptiumReleases(reply); });
}

void JavaRuntimeService::requestFeatureRelease(int major, const QString& architecture,
                                               bool allowX64Fallback)
{
    QNetworkReply* reply = get(featureReleaseUrl(major, architecture));
    connect(reply, &QNetworkReply::finished, this, [this, reply, major, allowX64Fallback] {
        handleFeatureRelease(reply, major, allowX64Fallback);
    });
}

void JavaRuntimeService::requestMojangRuntimes()
{
    QNetworkReply* reply = get(RemoteAddresses::mojangRuntimeIndexUrl());
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handleMojangRuntimes(reply); });
}

void JavaRuntimeService::handleAdoptiumReleases(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        requestFinished(
            Loc::text("java.error.versionsFetchFailed").arg(HttpRequest::errorText(reply)));
        return;
    }
    const QJsonObject root = parseObject(reply->readAll());
    for (const QJsonValue& value : root.value(QStringLiteral("available_lts_releases")).toArray())
        m_ltsMajors.insert(value.toInt(0));
    QList<int> majors;
    for (const QJsonValue& value : root.value(QStringLiteral("available_releases")).toArray()) {
        if (value.toInt(0) > 0)
            majors.append(value.toInt(0));
    }
    if (majors.isEmpty()) {
        requestFinished(Loc::text("java.error.versionsUnparsable"));
        return;
    }
    m_pendingRequests += int(majors.size());
    const QString architecture = adoptiumArchitecture();
    for (const int major : std::as_const(majors))
        requestFeatureRelease(major, architecture, architecture == QLatin1String("aarch64"));
    requestFinished(QString());
}

void JavaRuntimeService::handleFeatureRelease(QNetworkReply* reply, int major,
                                              bool allowX64Fallback)
{
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool replyFailed = reply->error() != QNetworkReply::NoError;
    if (!replyFailed) {
        const QList<JavaRuntimeEntry> found = parseAdoptium(reply->readAll(), m_ltsMajors);
        if (!found.isEmpty()) {
            m_fetched.append(found);
            requestFinished(QString());
            return;
        }
    }
    if (allowX64Fallback && (status == 404 || status == 200)) {
        ++m_pendingRequests;
        requestFeatureRelease(major, QStringLiteral("x64"), false);
        requestFinished(QString());
        return;
    }
    if (!replyFailed || status == 404) {
        requestFinished(QString());
        return;
    }
    requestFinished(Loc::text("java.error.buildsFetchFailed")
                        .arg(QString::number(major), HttpRequest::errorText(reply)));
}

void JavaRuntimeService::handleMojangRuntimes(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        requestFinished(
            Loc::text("java.error.mojangRuntimesFailed").arg(HttpRequest::errorText(reply)));
        return;
    }
    m_fetched.append(parseMojang(reply->readAll()));
    requestFinished(QString());
}

void JavaRuntimeService::requestFinished(const QString& error)
{
    if (!error.isEmpty())
        m_fetchErrors.append(error);
    if (--m_pendingRequests <= 0)
        finishRefresh();
}

void JavaRuntimeService::finishRefresh()
{
    m_pendingRequests = 0;
    const QString message = m_fetchErrors.join(QStringLiteral("; "));
    const bool fetchedAny = !m_fetched.isEmpty();
    if (fetchedAny) {
        applyEntries(std::exchange(m_fetched, {}));
        m_fetchedAt = QDateTime::currentDateTimeUtc();
        writeCache();
        emit catalogChanged();
    }
    m_fetchErrors.clear();
    emit refreshingChanged();

    const bool ok = fetchedAny || !m_catalog.isEmpty();
    const QString answer = fetchedAny || m_catalog.isEmpty() || !message.isEmpty()
                               ? message
                               : Loc::text("java.status.catalogFromCache");
    CatalogRefresh::afterCacheWrites(this, [waiting = m_waiters.take(), ok, answer] {
        for (const Callback& callback : waiting)
            callback(ok, answer);
    });
}
