#include "versioninstaller.h"

#include "gamelauncher.h"
#include "localization.h"
#include "pathrules.h"
#include "remoteaddresses.h"
#include "versionmanifestservice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPromise>
#include <QSaveFile>
#include <QThreadPool>
#include <QTimer>

#include <utility>

namespace {

constexpr int kMaxParallelDownloads = 8;
// Data waiting to be written per download; a fast server is held back instead of piling
// up megabytes that would then be hashed and written in one long go.
constexpr qint64 kReadBufferBytes = 256 * 1024;
// Present files finished in one pump before the rest wait for the next turn of the
// event loop, so a re-check of thousands of assets keeps the interface responsive.
constexpr int kMaxPresentPerPump = 256;
constexpr int kMaxQueuedParents = 10;
constexpr int kRetryStepMs = 400;
constexpr int kMaxRetries = 2;
constexpr int kDefaultTransferTimeoutMs = 30000;
constexpr int kProgressIntervalMs = 100;
constexpr int kLegacyCopiesPerTick = 64;
constexpr int kWarningsShown = 3;
constexpr int kMissingFilesShown = 12;

QString nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

bool isHexSha1(const QString& text)
{
    if (text.size() != 40)
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool hex =
            (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
        if (!hex)
            return false;
    }
    return true;
}

QString sha1Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

bool sameHash(const QString& actual, const QString& expected)
{
    return actual.compare(expected, Qt::CaseInsensitive) == 0;
}

QString assetObjectPath(const QString& gameDir, const QString& hash)
{
    return gameDir + QLatin1String("/assets/objects/") + hash.left(2) + QLatin1Char('/') + hash;
}

QUrl assetObjectUrl(const QString& hash)
{
    const QString path = QLatin1Char('/') + hash.left(2) + QLatin1Char('/') + hash;
    return QUrl(RemoteAddresses::url(RemoteAddresses::Service::AssetObjects, path),
                QUrl::TolerantMode);
}

int& transferTimeoutMs()
{
    static int timeout = kDefaultTransferTimeoutMs;
    return timeout;
}

QNetworkRequest downloadRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs());
    return request;
}

// A transfer that stalls past its time-out is aborted by the network stack and shows as
// cancelled; every abort of the installer's own is handled before this is asked.
bool isTransient(int status, QNetworkReply::NetworkError error)
{
    if (status == 429 || status > 499)
        return true;
    switch (error) {
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ContentReSendError:
        return true;
    default:
        return false;
    }
}

qint64 sizeOf(const QJsonObject& object)
{
    return qMax<qint64>(0, object.value(QLatin1String("size")).toInteger());
}

// Follows keys through nested objects; anything missing reads as an empty object.
QJsonObject objectAt(QJsonObject object, std::initializer_list<const char*> keys)
{
    for (const char* key : keys)
        object = object.value(QLatin1String(key)).toObject();
    return object;
}

// A task from a download object of a version description ("url", "sha1", "size").
DownloadTask taskFor(DownloadTask::Kind kind, const QJsonObject& download, const QString& path,
                     const QString& label)
{
    return {kind,
            QUrl(download.value(QLatin1String("url")).toString(), QUrl::TolerantMode),
            path,
            download.value(QLatin1String("sha1")).toString(),
            sizeOf(download),
            label};
}

} // namespace

struct VersionInstaller::ActiveDownload {
    DownloadTask task;
    // Null once the finished reply has been deleted; a download being committed has
    // none left to abort.
    QPointer<QNetworkReply> reply;
    // Destroying an uncommitted save-file removes its temporary file.
    std::unique_ptr<QSaveFile> file;
    QCryptographicHash hash{QCryptographicHash::Sha1};
    qint64 received = 0;
    bool writeFailed = false;
};

VersionInstaller::VersionInstaller(VersionManifestService* manifest, QObject* parent)
    : QObject(parent), m_manifest(manifest), m_network(new QNetworkAccessManager(this)),
      m_progressTimer(new QTimer(this)), m_legacyTimer(new QTimer(this)),
      m_committer(new QThreadPool(this))
{
    m_committer->setMaxThreadCount(kMaxParallelDownloads);
    m_progressTimer->setInterval(kProgressIntervalMs);
    connect(m_progressTimer, &QTimer::timeout, this, &VersionInstaller::flushProgress);
    m_legacyTimer->setInterval(0);
    connect(m_legacyTimer, &QTimer::timeout, this, &VersionInstaller::legacyTick);
}

VersionInstaller::~VersionInstaller()
{
    blockSignals(true);
    cancel();
}

void VersionInstaller::setTransferTimeoutForTesting(int ms)
{
    transferTimeoutMs() = ms > 0 ? ms : kDefaultTransferTimeoutMs;
}

// ---- Jobs and version descriptions ----

void VersionInstaller::install(const QString& gameDir, const QString& versionId)
{
    const QString id = versionId.trimmed();
    if (id.isEmpty())
        return;
    if (!PathRules::isInstallableVersionId(id)) {
        emit failed(id, Loc::text("version.error.invalidName").arg(id));
        return;
    }
    if (m_canceling) {
        emit failed(id, Loc::text("version.error.cancelPending"));
        return;
    }
    if (id == m_versionId || isQueued(id))
        return;
    m_jobs.append({gameDir, id});
    if (!m_busy)
        startNext();
}

bool VersionInstaller::isQueued(const QString& versionId) const
{
    for (const auto& job : m_jobs) {
        if (job.second == versionId)
            return true;
    }
    return false;
}

bool VersionInstaller::isCurrentJob(quint64 job) const
{
    return m_busy && !m_canceling && job == m_jobSerial;
}

void VersionInstaller::startNext()
{
    if (m_jobs.isEmpty()) {
        m_busy = false;
        m_versionId.clear();
        m_stage.clear();
        m_currentItem.clear();
        m_progressTimer->stop();
        emit progressChanged();
        return;
    }

    std::tie(m_gameDir, m_versionId) = m_jobs.takeFirst();
    m_versionJson = {};
    m_version = {};
    m_tasks.clear();
    m_warnings.clear();
    m_assetObjects = {};
    m_assetsVirtual = false;
    m_mapToResources = false;
    m_legacyCopies.clear();
    m_legacyNext = 0;
    m_assetEstimate = 0;
    m_pendingRetries = 0;
    const quint64 job = ++m_jobSerial;
    const bool wasBusy = std::exchange(m_busy, true);
    m_doneBytes = 0;
    m_totalBytes = 0;
    if (!wasBusy) {
        emit started(m_versionId);
        if (!isCurrentJob(job)) // a listener cancelled it already
            return;
    }
    setStage(Loc::text("version.progress.fetchingList"));
    emit progressChanged();
    if (!isCurrentJob(job)) // ended by a listener, which may have started another
        return;
    resolveManifestEntry();
}

void VersionInstaller::resolveManifestEntry()
{
    const quint64 job = m_jobSerial;
    if (!m_manifest) {
        QTimer::singleShot(0, this, [this, job] { useManifestAnswer(job, false, {}); });
        return;
    }
    QPointer<VersionInstaller> self(this);
    m_manifest->ensureLoaded(
        [self, job](bool ok, const QString& message) {
            if (self)
                self->useManifestAnswer(job, ok, message);
        },
        false);
}

void VersionInstaller::useManifestAnswer(quint64 job, bool ok, const QString& message)
{
    if (!isCurrentJob(job))
        return;
    if (ok) {
        if (const auto entry = m_manifest->find(m_versionId)) {
            fetchVersionJson(entry->url, entry->sha1);
            return;
        }
    }
    // Versions the manifest does not list (loader profiles) and the offline case
    // are served from the description on disk.
    if (adoptLocalDescription())
        return;
    if (ok)
        failInstall(Loc::text("version.error.notInManifest").arg(m_versionId));
    else
        failInstall(message.isEmpty() ? Loc::text("version.error.listUnavailable") : message);
}

bool VersionInstaller::adoptLocalDescription()
{
    QFile file(VersionLoader::versionJsonPath(m_gameDir, m_versionId));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    adoptVersionJson(file.readAll(), true);
    return true;
}

void VersionInstaller::fetchVersionJson(const QUrl& url, const QString& sha1)
{
    setStage(Loc::text("version.progress.description"));
    m_currentItem = m_versionId + QLatin1String(".json");
    QNetworkReply* reply = m_network->get(downloadRequest(url));
    m_descriptionReply = reply;
    const quint64 job = m_jobSerial;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, sha1, job] { handleDescriptionReply(reply, sha1, job); });
}

void VersionInstaller::handleDescriptionReply(QNetworkReply* reply, const QString& sha1,
                                              quint64 job)
{
    reply->deleteLater();
    if (!isCurrentJob(job))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        failInstall(Loc::text("version.error.descriptionFetchFailed").arg(reply->errorString()));
        return;
    }
    const QByteArray body = reply->readAll();
    if (!sha1.isEmpty() && !sameHash(sha1Hex(body), sha1)) {
        failInstall(Loc::text("version.error.descriptionChecksum").arg(m_versionId));
        return;
    }
    adoptVersionJson(body, false);
}

void VersionInstaller::adoptVersionJson(const QByteArray& bytes, bool fromDisk)
{
    m_versionJson = QJsonDocument::fromJson(bytes).object();
    if (m_versionJson.isEmpty()) {
        failInstall(Loc::text("version.error.descriptionUnparsable").arg(m_versionId));
        return;
    }
    if (!fromDisk && !storeVersionJson(bytes))
        return;

    const QString parent = m_versionJson.value(QLatin1String("inheritsFrom")).toString();
    if (!parent.isEmpty() && PathRules::isInstallableVersionId(parent) &&
        !QFileInfo::exists(VersionLoader::versionJsonPath(m_gameDir, parent))) {
        if (m_parentDepth >= kMaxQueuedParents) {
            failInstall(Loc::text("common.error.inheritsChainTooLong").arg(m_versionId));
            return;
        }
        ++m_parentDepth;
        m_jobs.prepend({m_gameDir, m_versionId});
        m_jobs.prepend({m_gameDir, parent});
        abandonCurrent();
        return;
    }

    m_parentDepth = 0;
    if (prepareTasks())
        pump();
}

// The description is kept byte for byte as the server sent it.
bool VersionInstaller::storeVersionJson(const QByteArray& bytes)
{
    const QString path = VersionLoader::versionJsonPath(m_gameDir, m_versionId);
    const QString dir = QFileInfo(path).path();
    if (!QDir().mkpath(dir)) {
        failInstall(Loc::text("common.error.createFailed").arg(nativePath(dir)));
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        file.cancelWriting();
        failInstall(Loc::text("common.error.versionSaveFailed").arg(m_versionId));
        return false;
    }
    return true;
}

void VersionInstaller::abandonCurrent()
{
    m_tasks.clear();
    m_active.clear();
    m_versionId.clear();
    startNext(); // busy stays set, so the parent starts without started()
}

void VersionInstaller::complete()
{
    LaunchOptions options;
    options.gameDir = m_gameDir;
    options.versionId = m_versionId;
    const QStringList missing = GameLauncher::missingFiles(options, m_version, kMissingFilesShown);
    if (!missing.isEmpty()) {
        failInstall(Loc::text("version.error.filesMissingAfterDownload")
                        .arg(QString::number(missing.size()), missing.join(QLatin1Char('\n'))));
        return;
    }
    const QString id = m_versionId;
    resetInstallState();
    emit finished(id);
    // A listener may have started the next job from its handler already.
    if (!m_busy)
        startNext();
}

void VersionInstaller::cancel()
{
    if (!m_busy)
        return;
    m_jobs.clear();
    m_tasks.clear();
    m_legacyTimer->stop();
    m_parentDepth = 0;
    m_canceling = true;
    if (m_descriptionReply)
        m_descriptionReply->abort();

    // Each abort reports the download's end at once; the last one finalizes.
    const QList<ActivePtr> running = m_active;
    for (const ActivePtr& download : running) {
        if (download->reply)
            download->reply->abort();
    }

    if (m_canceling) {
        // Nothing was downloading, a finished download is still being committed, or a
        // reply did not report its end inside abort().
        for (const ActivePtr& download : std::exchange(m_active, {}))
            download->file.reset();
        finalizeCancel();
    }
}

void VersionInstaller::finalizeCancel()
{
    const QString id = m_versionId;
    m_canceling = false;
    resetInstallState();
    emit canceled(id);
}

void VersionInstaller::failInstall(const QString& message)
{
    const QString id = m_versionId;
    QString text = message;
    if (!m_warnings.isEmpty())
        text += QLatin1Char('\n') + m_warnings.mid(0, kWarningsShown).join(QLatin1Char('\n'));
    m_jobs.clear();
    m_parentDepth = 0;

    const QList<ActivePtr> running = std::exchange(m_active, {});
    resetInstallState();
    for (const ActivePtr& download : running) {
        download->file.reset();
        if (download->reply)
            download->reply->abort();
    }
    emit failed(id, text);
}

void VersionInstaller::resetInstallState()
{
    m_tasks.clear();
    m_active.clear();
    m_assetObjects = {};
    m_legacyCopies.clear();
    m_legacyNext = 0;
    m_legacyTimer->stop();
    m_versionId.clear();
    m_stage.clear();
    m_currentItem.clear();
    m_busy = false;
    m_pendingRetries = 0;
    m_progressPending = false;
    m_progressTimer->stop();
}

// ---- Downloads ----

qint64 VersionInstaller::bytesDone() const
{
    qint64 done = m_doneBytes;
    for (const ActivePtr& download : m_active)
        done += download->received;
    return done;
}

double VersionInstaller::fraction() const
{
    if (m_totalBytes < 1)
        return -1.0;
    return qBound(0.0, double(bytesDone()) / double(m_totalBytes), 1.0);
}

bool VersionInstaller::prepareTasks()
{
    setStage(Loc::text("version.progress.preparing"));
    QString error;
    m_version = VersionLoader::load(m_gameDir, m_versionId, {}, &error);
    if (m_version.id.isEmpty() || m_version.mainClass.isEmpty()) {
        failInstall(error.isEmpty() ? Loc::text("common.error.versionReadFailed").arg(m_versionId)
                                    : error);
        return false;
    }

    // Client, asset index and logging come from this job's own description; a
    // parent's are fetched by the parent's own job. The client always goes to this
    // version's own jar, never over a parent's.
    const QJsonObject client = objectAt(m_versionJson, {"downloads", "client"});
    if (!client.isEmpty()) {
        const QString jar = VersionLoader::versionJarPath(m_gameDir, m_versionId);
        enqueue(taskFor(DownloadTask::Client, client, jar, QFileInfo(jar).fileName()));
    }

    for (const MinecraftLibrary& library : std::as_const(m_version.libraries)) {
        if (library.url.isEmpty() || !PathRules::isGameFilePath(library.path)) {
            m_warnings.append(Loc::text("version.error.libraryNoUrl").arg(library.name));
            continue;
        }
        enqueue({DownloadTask::Library, QUrl(library.url, QUrl::TolerantMode),
                 m_gameDir + QLatin1String("/libraries/") + library.path, library.sha1,
                 qMax<qint64>(0, library.size), library.name});
    }

    const QJsonObject assetIndex = objectAt(m_versionJson, {"assetIndex"});
    if (!assetIndex.isEmpty() && PathRules::isGameFileName(m_version.assetIndex)) {
        const QString indexPath = m_gameDir + QLatin1String("/assets/indexes/") +
                                  m_version.assetIndex + QLatin1String(".json");
        enqueue(taskFor(DownloadTask::AssetIndex, assetIndex, indexPath,
                        Loc::text("version.progress.assetIndex")));
        m_assetEstimate = qMax<qint64>(0, assetIndex.value(QLatin1String("totalSize")).toInteger());
        m_totalBytes += m_assetEstimate;
    }

    const QJsonObject logFile = objectAt(m_versionJson, {"logging", "client", "file"});
    const QString logId = logFile.value(QLatin1String("id")).toString();
    if (!logFile.isEmpty() && PathRules::isGameFileName(logId)) {
        enqueue(taskFor(DownloadTask::LogConfig, logFile,
                        m_gameDir + QLatin1String("/assets/log_configs/") + logId, logId));
    }

    setStage(Loc::text("version.progress.gameFiles"));
    return true;
}

// Addresses come from remote documents: only https ones are fetched.
bool VersionInstaller::enqueue(DownloadTask task)
{
    if (task.url.scheme() != QLatin1String("https")) {
        m_warnings.append(Loc::text("version.warning.skippedBadUrl").arg(task.label));
        return false;
    }
    m_totalBytes += task.size;
    m_tasks.append(std::move(task));
    return true;
}

void VersionInstaller::expandAssetIndex(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        failInstall(Loc::text("version.error.assetIndexReadFailed").arg(nativePath(path)));
        return;
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    m_assetObjects = root.value(QLatin1String("objects")).toObject();
    m_assetsVirtual = root.value(QLatin1String("virtual")).toBool();
    m_mapToResources = root.value(QLatin1String("map_to_resources")).toBool();
    setStage(Loc::text("version.progress.assets"));

    qint64 listed = 0;
    for (auto it = m_assetObjects.constBegin(); it != m_assetObjects.constEnd(); ++it) {
        const QJsonObject object = it.value().toObject();
        const QString hash = object.value(QLatin1String("hash")).toString();
        if (!isHexSha1(hash)) {
            m_warnings.append(Loc::text("version.warning.skippedBadHash").arg(it.key()));
            continue;
        }
        const qint64 size = sizeOf(object);
        if (enqueue({DownloadTask::AssetObject, assetObjectUrl(hash),
                     assetObjectPath(m_gameDir, hash), hash, size, it.key()}))
            listed += size;
    }
    // The index's announced total gives way to the sizes it lists.
    m_totalBytes -= m_assetEstimate;
    m_assetEstimate = listed;
    scheduleProgress();
}

void VersionInstaller::startTask(DownloadTask task)
{
    const QFileInfo present(task.path);
    if (present.isFile() && (task.size == 0 || present.size() == task.size)) {
        m_doneBytes += task.size;
        if (task.kind == DownloadTask::AssetIndex)
            expandAssetIndex(task.path);
        scheduleProgress();
        return;
    }

    const QString dir = present.path();
    if (!QDir().mkpath(dir)) {
        failInstall(Loc::text("common.error.createFailed").arg(nativePath(dir)));
        return;
    }

    auto download = std::make_shared<ActiveDownload>();
    download->task = std::move(task);
    download->file = std::make_unique<QSaveFile>(download->task.path);
    if (!download->file->open(QIODevice::WriteOnly)) {
        failInstall(
            Loc::text("common.error.openForWriteFailed").arg(nativePath(download->task.path)));
        return;
    }

    QNetworkReply* reply = m_network->get(downloadRequest(download->task.url));
    reply->setReadBufferSize(kReadBufferBytes);
    download->reply = reply;
    m_active.append(download);
    m_currentItem = download->task.label;

    connect(reply, &QIODevice::readyRead, this, [this, download] { receive(*download); });
    connect(reply, &QNetworkReply::downloadProgress, this, [this, download](qint64 received) {
        download->received = received;
        scheduleProgress();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, download] { handleReplyFinished(download); });
    scheduleProgress();
}

// Streams into the save-file while hashing, so no file is held in memory.
void VersionInstaller::receive(ActiveDownload& download)
{
    const QByteArray bytes = download.reply->readAll();
    if (bytes.isEmpty() || !download.file || download.writeFailed)
        return;
    download.hash.addData(bytes);
    if (download.file->write(bytes) != bytes.size()) {
        download.writeFailed = true;
        download.reply->abort();
    }
}

void VersionInstaller::pump()
{
    if (!m_busy || m_canceling)
        return;
    const quint64 job = m_jobSerial;
    int presentDone = 0;
    while (m_active.size() < kMaxParallelDownloads && !m_tasks.isEmpty()) {
        const qsizetype runningBefore = m_active.size();
        startTask(m_tasks.takeFirst());
        if (!isCurrentJob(job))
            return;
        if (m_active.size() == runningBefore && ++presentDone >= kMaxPresentPerPump &&
            !m_tasks.isEmpty()) {
            schedulePump();
            return;
        }
    }
    if (m_tasks.isEmpty() && m_active.isEmpty() && m_pendingRetries == 0)
        afterDownloads();
}

void VersionInstaller::schedulePump()
{
    if (m_pumpScheduled)
        return;
    m_pumpScheduled = true;
    const quint64 job = m_jobSerial;
    QTimer::singleShot(0, this, [this, job] {
        m_pumpScheduled = false;
        if (job == m_jobSerial)
            pump();
    });
}

void VersionInstaller::handleReplyFinished(const ActivePtr& download)
{
    QNetworkReply* reply = download->reply;
    reply->deleteLater();
    if (!m_active.contains(download)) { // the job it belonged to has ended
        download->file.reset();
        return;
    }
    if (!m_canceling && reply->error() == QNetworkReply::NoError) {
        receive(*download);
        if (!download->writeFailed && hashMatches(*download)) {
            commitInBackground(download);
            return;
        }
    }

    m_active.removeOne(download);
    download->file.reset();
    if (m_canceling) {
        if (m_active.isEmpty())
            finalizeCancel();
        return;
    }
    const DownloadTask& task = download->task;
    if (download->writeFailed) { // the disk, not the server, failed
        failInstall(Loc::text("common.error.saveFailed").arg(nativePath(task.path)));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        const QString reason = reply->errorString();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (!isTransient(status, reply->error()))
            failInstall(Loc::text("common.error.downloadFailed").arg(task.label, reason));
        else if (retryOrFail(task, reason))
            pump();
        return;
    }
    if (retryOrFail(task, Loc::text("common.error.checksumMismatch")))
        pump();
}

bool VersionInstaller::hashMatches(ActiveDownload& download) const
{
    return download.task.sha1.isEmpty() ||
           sameHash(QString::fromLatin1(download.hash.result().toHex()), download.task.sha1);
}

// Committing makes the file durable before it takes its name, which can stall for a
// long while on a busy disk; a worker does it so the interface stays responsive. The
// download keeps its slot meanwhile, and a job that ends in the meantime ignores the
// result: a verified file in place is no partial one.
void VersionInstaller::commitInBackground(const ActivePtr& download)
{
    std::shared_ptr<QSaveFile> file(std::move(download->file));
    auto* watcher = new QFutureWatcher<bool>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, download] {
        watcher->deleteLater();
        handleCommitted(download, watcher->result());
    });
    auto promise = std::make_shared<QPromise<bool>>();
    watcher->setFuture(promise->future());
    m_committer->start([promise, file] {
        promise->start();
        promise->addResult(file->commit());
        promise->finish();
    });
}

void VersionInstaller::handleCommitted(const ActivePtr& download, bool committed)
{
    if (!m_active.removeOne(download))
        return;
    if (m_canceling) {
        if (m_active.isEmpty())
            finalizeCancel();
        return;
    }
    const DownloadTask& task = download->task;
    if (!committed) {
        failInstall(Loc::text("common.error.saveFailed").arg(nativePath(task.path)));
        return;
    }

    const quint64 job = m_jobSerial;
    m_doneBytes += download->received;
    if (task.kind == DownloadTask::AssetIndex) {
        expandAssetIndex(task.path);
        if (!isCurrentJob(job))
            return;
    }
    scheduleProgress();
    pump();
}

bool VersionInstaller::retryOrFail(DownloadTask task, const QString& reason)
{
    if (task.attempts >= kMaxRetries) {
        failInstall(Loc::text("common.error.downloadFailed").arg(task.label, reason));
        return false;
    }
    ++task.attempts;
    ++m_pendingRetries;
    const quint64 job = m_jobSerial;
    QTimer::singleShot(task.attempts * kRetryStepMs, Qt::PreciseTimer, this,
                       [this, task = std::move(task), job] {
                           if (!isCurrentJob(job))
                               return;
                           --m_pendingRetries;
                           m_tasks.prepend(task);
                           pump();
                       });
    return true;
}

// ---- Legacy asset copy ----

void VersionInstaller::afterDownloads()
{
    // A pump deferred before the last download ended may arrive during the copy.
    if (m_legacyTimer->isActive())
        return;
    const bool legacyLayout = m_assetsVirtual || m_mapToResources ||
                              m_version.assets == QLatin1String("legacy") ||
                              m_version.assets == QLatin1String("pre-1.6");
    if (legacyLayout && !m_assetObjects.isEmpty() && m_legacyCopies.isEmpty() && m_legacyNext == 0)
        startLegacyCopy();
    else
        complete();
}

void VersionInstaller::startLegacyCopy()
{
    setStage(Loc::text("version.progress.preparingAssets"));
    const QString base = m_gameDir + (m_mapToResources ? QLatin1String("/resources/")
                                                       : QLatin1String("/assets/virtual/legacy/"));
    for (auto it = m_assetObjects.constBegin(); it != m_assetObjects.constEnd(); ++it) {
        const QString hash = it.value().toObject().value(QLatin1String("hash")).toString();
        if (isHexSha1(hash) && PathRules::isGameFilePath(it.key()))
            m_legacyCopies.append({assetObjectPath(m_gameDir, hash), base + it.key()});
    }
    m_legacyNext = 0;
    if (m_legacyCopies.isEmpty())
        complete();
    else
        m_legacyTimer->start();
}

void VersionInstaller::legacyTick()
{
    if (!m_busy || m_canceling) {
        m_legacyTimer->stop();
        return;
    }
    const qsizetype end = qMin(m_legacyNext + kLegacyCopiesPerTick, m_legacyCopies.size());
    for (; m_legacyNext < end; ++m_legacyNext)
        copyLegacyAsset(m_legacyCopies.at(m_legacyNext).first,
                        m_legacyCopies.at(m_legacyNext).second);
    m_currentItem = Loc::text("version.progress.countOf")
                        .arg(QString::number(m_legacyNext), QString::number(m_legacyCopies.size()));
    scheduleProgress();
    if (m_legacyNext >= m_legacyCopies.size()) {
        m_legacyTimer->stop();
        complete();
    }
}

void VersionInstaller::copyLegacyAsset(const QString& source, const QString& target)
{
    const QFileInfo from(source);
    if (!from.exists())
        return;
    const QFileInfo to(target);
    if (to.exists() && to.size() == from.size())
        return;
    QDir().mkpath(to.path());
    QFile::remove(target);
    if (!QFile::copy(source, target))
        m_warnings.append(Loc::text("version.error.assetPrepareFailed").arg(to.fileName()));
}

// ---- Progress ----

void VersionInstaller::setStage(const QString& text)
{
    m_stage = text;
    scheduleProgress();
}

void VersionInstaller::scheduleProgress()
{
    m_progressPending = true;
    if (!m_progressTimer->isActive())
        m_progressTimer->start();
}

void VersionInstaller::flushProgress()
{
    if (m_progressPending) {
        m_progressPending = false;
        emit progressChanged();
    } else if (!m_busy) {
        m_progressTimer->stop();
    }
}
