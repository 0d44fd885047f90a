#include "launcherupdates.h"

#include "download.h"
#include "httprequest.h"
#include "remoteaddresses.h"
#include "wholefile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>
#include <QVersionNumber>

#include <algorithm>

namespace {

const QString kReleaseChannel = QStringLiteral("release");
const QString kRcChannel = QStringLiteral("rc");
const QString kStateLoading = QStringLiteral("loading");
const QString kStateReady = QStringLiteral("ready");
const QString kStateError = QStringLiteral("error");

constexpr int kPageLimit = 50;
// A feed that ignores the page number would otherwise be paged forever.
constexpr int kMaxPages = 200;
// Redirects stay on the release feed's own origin.
const HttpRequest::Recipe kFeedRecipe{30000, HttpRequest::Redirects::SameOrigin,
                                      HttpRequest::kCatalogLimit};
const HttpRequest::Recipe kImageRecipe{30000, HttpRequest::Redirects::SameOrigin,
                                       HttpRequest::kStreamed};

QString origin()
{
    return RemoteAddresses::origin(RemoteAddresses::Service::ReleaseFeed);
}

// The repository's web address; download and change-note addresses hang off it.
QString repository()
{
    return origin() + QLatin1Char('/') + RemoteAddresses::releaseRepository();
}

QString listingAddress()
{
    return origin() + QStringLiteral("/api/v1/repos/") + RemoteAddresses::releaseRepository() +
           QStringLiteral("/releases");
}

const QRegularExpression& tagPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^v([0-9]+\\.[0-9]+\\.[0-9]+)(-rc[0-9]+)?$"));
    return pattern;
}

struct VersionKey {
    QVersionNumber number;
    // A final release ranks above every release candidate of the same number.
    bool final = true;
    int rc = 0;
};

VersionKey versionKey(const QString& text)
{
    VersionKey key;
    qsizetype suffixIndex = 0;
    key.number = QVersionNumber::fromString(text, &suffixIndex);
    const QString suffix = text.mid(suffixIndex);
    if (suffix.isEmpty())
        return key;
    key.final = false;
    bool ok = false;
    const int rc = suffix.mid(3).toInt(&ok, 10);
    key.rc = ok ? rc : 0;
    return key;
}

bool isNewer(const VersionKey& a, const VersionKey& b)
{
    const int numeric = QVersionNumber::compare(a.number, b.number);
    if (numeric != 0)
        return numeric > 0;
    if (a.final != b.final)
        return a.final;
    return a.rc > b.rc;
}

QVariantMap makeEntry(const QJsonObject& release, const QString& tag)
{
    const QString version = tag.mid(1);
    const QString fileName =
        QStringLiteral("Hollowmere-") + version + QStringLiteral("-x86_64.AppImage");
    const QString download =
        repository() + QStringLiteral("/releases/download/") + tag + QLatin1Char('/') + fileName;

    qint64 size = 0;
    for (const QJsonValue& value : release.value(QStringLiteral("assets")).toArray()) {
        const QJsonObject asset = value.toObject();
        if (asset.value(QStringLiteral("name")).toString() == fileName &&
            asset.value(QStringLiteral("browser_download_url")).toString() == download) {
            size = std::max<qint64>(0, asset.value(QStringLiteral("size")).toInteger(0));
            break;
        }
    }

    return {
        {QStringLiteral("version"), version},
        {QStringLiteral("date"),
         QDateTime::fromString(release.value(QStringLiteral("published_at")).toString(),
                               Qt::ISODate)},
        {QStringLiteral("changelog"),
         repository() + QStringLiteral("/src/tag/") + tag + QStringLiteral("/CHANGELOG.md")},
        {QStringLiteral("download"), size >= 1 ? download : QString()},
        {QStringLiteral("size"), size},
    };
}

// Turns one page of the feed into entries of the channel; releases of the other
// channel, drafts and foreign tags are skipped.
void appendEntries(const QJsonArray& releases, bool rcChannel, QList<QVariant>& entries)
{
    for (const QJsonValue& value : releases) {
        const QJsonObject release = value.toObject();
        const QString tag = release.value(QStringLiteral("tag_name")).toString();
        const QRegularExpressionMatch match = tagPattern().match(tag);
        if (!match.hasMatch())
            continue;
        if (release.value(QStringLiteral("draft")).toBool())
            continue;
        const bool prerelease = release.value(QStringLiteral("prerelease")).toBool();
        const bool hasRcSuffix = !match.captured(2).isEmpty();
        if (prerelease != rcChannel || hasRcSuffix != rcChannel)
            continue;
        entries.append(makeEntry(release, tag));
    }
}

} // namespace

LauncherUpdates::LauncherUpdates(QObject* parent)
    : QObject(parent), m_quit([] { QCoreApplication::quit(); })
{
}

LauncherUpdates::~LauncherUpdates()
{
    // Replies die with the access manager after the other members are gone, so
    // none of their handlers may run from here on.
    delete std::exchange(m_download, nullptr);
    const auto replies = m_network.findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies) {
        reply->disconnect(this);
        reply->abort();
    }
    m_downloadDir.reset();
}

QString LauncherUpdates::channel() const
{
    return kReleaseChannel;
}

void LauncherUpdates::setQuitHandlerForTesting(std::function<void()> handler)
{
    m_quit = std::move(handler);
}

void LauncherUpdates::refresh(const QString& channel)
{
    if (channel != kReleaseChannel && channel != kRcChannel)
        return;
    if (m_states.value(channel).toString() == kStateLoading)
        return;
    m_states.insert(channel, kStateLoading);
    emit catalogChanged();
    fetchPage(channel, 1, {});
}

void LauncherUpdates::fetchPage(const QString& channel, int page, QList<QVariant> accumulated)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("draft"), QStringLiteral("false"));
    query.addQueryItem(QStringLiteral("pre-release"),
                       channel == kRcChannel ? QStringLiteral("true") : QStringLiteral("false"));
    query.addQueryItem(QStringLiteral("page"), QString::number(page));
    query.addQueryItem(QStringLiteral("limit"), QString::number(kPageLimit));
    QUrl url(listingAddress());
    url.setQuery(query);

    QNetworkReply* reply = HttpRequest::get(&m_network, url, kFeedRecipe);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, channel, page, accumulated]() mutable {
                onPageFinished(reply, channel, page, std::move(accumulated));
            });
}

void LauncherUpdates::onPageFinished(QNetworkReply* reply, const QString& channel, int page,
                                     QList<QVariant> accumulated)
{
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        failRefresh(channel, HttpRequest::errorText(reply));
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (!document.isArray()) {
        failRefresh(channel, parseError.error != QJsonParseError::NoError
                                 ? parseError.errorString()
                                 : QStringLiteral("not a JSON array"));
        return;
    }

    const QJsonArray releases = document.array();
    if (releases.isEmpty()) {
        finishRefresh(channel, std::move(accumulated));
        return;
    }
    if (page >= kMaxPages) {
        failRefresh(channel, QStringLiteral("more than %1 pages").arg(kMaxPages));
        return;
    }
    appendEntries(releases, channel == kRcChannel, accumulated);
    fetchPage(channel, page + 1, std::move(accumulated));
}

void LauncherUpdates::finishRefresh(const QString& channel, QList<QVariant> entries)
{
    std::sort(entries.begin(), entries.end(), [](const QVariant& a, const QVariant& b) {
        return isNewer(versionKey(a.toMap().value(QStringLiteral("version")).toString()),
                       versionKey(b.toMap().value(QStringLiteral("version")).toString()));
    });

    if (channel == this->channel()) {
        m_latest.clear();
        const VersionKey running = versionKey(QCoreApplication::applicationVersion());
        for (const QVariant& value : std::as_const(entries)) {
            const QVariantMap entry = value.toMap();
            const QString version = entry.value(QStringLiteral("version")).toString();
            if (!entry.value(QStringLiteral("download")).toString().isEmpty() &&
                isNewer(versionKey(version), running)) {
                m_latest = version;
                break;
            }
        }
    }

    m_catalogs.insert(channel, entries);
    m_states.insert(channel, kStateReady);
    emit catalogChanged();
}

void LauncherUpdates::failRefresh(const QString& channel, const QString& reason)
{
    qWarning() << "Hollowmere release catalog:" << reason;
    m_states.insert(channel, kStateError);
    emit catalogChanged();
}

void LauncherUpdates::install(const QString& channel, const QString& version)
{
    if (m_download)
        return;

    QVariantMap entry;
    for (const QVariant& value : m_catalogs.value(channel).toList()) {
        const QVariantMap candidate = value.toMap();
        if (candidate.value(QStringLiteral("version")).toString() == version) {
            entry = candidate;
            break;
        }
    }
    const QUrl address(entry.value(QStringLiteral("download")).toString());
    if (address.isEmpty()) {
        emit installationFailed();
        return;
    }

    m_downloadDir = std::make_unique<QTemporaryDir>();
    if (!m_downloadDir->isValid()) {
        qWarning() << "Hollowmere update:" << m_downloadDir->errorString();
        m_downloadDir.reset();
        emit installationFailed();
        return;
    }
    const QString path = m_downloadDir->filePath(address.fileName(QUrl::FullyDecoded));
    // Exactly the advertised size: a byte more fails as soon as it arrives.
    const qint64 expectedSize = entry.value(QStringLiteral("size")).toLongLong();
    QString error;
    m_download =
        Download::start(&m_network, {address, path, {}, QCryptographicHash::Sha1, expectedSize},
                        kImageRecipe, {}, this, &error);
    if (!m_download) {
        qWarning() << "Hollowmere update:" << error;
        m_downloadDir.reset();
        emit installationFailed();
        return;
    }
    connect(m_download, &Download::progress, this, &LauncherUpdates::onDownloadProgress);
    connect(m_download, &Download::ended, this, &LauncherUpdates::onDownloadEnded);
    emit installationChanged();
}

void LauncherUpdates::cancelDownload()
{
    if (m_download)
        m_download->cancel();
}

void LauncherUpdates::onDownloadProgress(qint64 received, qint64 total)
{
    const double value = total < 1 ? -1.0 : std::clamp(double(received) / double(total), 0.0, 1.0);
    if (value == m_downloadProgress)
        return;
    m_downloadProgress = value;
    emit downloadProgressChanged();
}

void LauncherUpdates::onDownloadEnded()
{
    Download* download = std::exchange(m_download, nullptr);
    download->deleteLater();
    const QString path = download->target().path;
    switch (download->outcome()) {
    case Download::Outcome::Saved:
        break;
    case Download::Outcome::Failed:
        if (download->fault() == Download::Fault::Oversize ||
            download->fault() == Download::Fault::Write)
            qWarning() << "Hollowmere update: failed to write installer";
        failDownload(path, download->failureMessage({}));
        return;
    default:
        endDownload();
        return;
    }
    // The size is a ceiling for the download; the image must reach it exactly.
    if (download->received() != download->target().size || !startInstallation(path)) {
        failDownload(path, QStringLiteral("Unknown error"));
        return;
    }
    m_downloadDir.reset();
    m_quit();
}

void LauncherUpdates::endDownload()
{
    m_downloadDir.reset();
    m_downloadProgress = -1.0;
    emit downloadProgressChanged();
    emit installationChanged();
}

void LauncherUpdates::failDownload(const QString& path, const QString& reason)
{
    endDownload();
    qWarning() << "Hollowmere update failed:" << path << reason;
    emit installationFailed();
}

bool LauncherUpdates::startInstallation(const QString& path)
{
    QString target;
    const QString image = qEnvironmentVariable("APPIMAGE");
    if (!image.isEmpty()) {
        target = QFileInfo(image).canonicalFilePath();
        if (target.isEmpty())
            return false;
    } else {
        const QString folder = QDir::home().filePath(QStringLiteral("Applications"));
        if (!QDir().mkpath(folder))
            return false;
        target = folder + QStringLiteral("/Hollowmere.AppImage");
    }

    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    // Never written straight into the target, which would leave a truncated executable
    // behind on failure.
    WholeFile::Options executable;
    executable.permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                             QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    return WholeFile::copy(source, target, nullptr, executable);
}
