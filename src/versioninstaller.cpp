#include "versioninstaller.h"

#include "download.h"
#include "gamelauncher.h"
#include "httprequest.h"
#include "jsonnumber.h"
#include "localization.h"
#include "pathrules.h"
#include "regularfile.h"
#include "remoteaddresses.h"
#include "stagedfile.h"
#include "versionmanifestservice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPromise>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

constexpr int kMaxParallelDownloads = 8;
// Files whose bytes are in and which wait for their commit on workers, on top of the
// transfers. Each is made durable before it takes its name, and the files waiting share
// one flush of the disk: the more wait, the fewer flushes. Each keeps a descriptor open.
constexpr int kMaxCommittingDownloads = 120;
constexpr int kMaxQueuedParents = 10;
constexpr int kProgressIntervalMs = 100;
constexpr int kLegacyCopiesPerTick = 64;
constexpr int kWarningsShown = 3;
constexpr int kMissingFilesShown = 12;
// An asset index lists every sound and language file of a version; real ones take well
// under a megabyte.
constexpr qint64 kAssetIndexLimit = 64 * 1024 * 1024;
// Legacy asset objects are sounds and textures of a few megabytes at most.
constexpr qint64 kAssetObjectLimit = 64 * 1024 * 1024;

using PathRules::native;

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

const HttpRequest::Recipe kDescriptionRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                             HttpRequest::kCatalogLimit};
const HttpRequest::Recipe kFileRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                      HttpRequest::kStreamed};

// A transfer that stalls past its time-out is aborted by the network stack and shows as
// cancelled; the download's own aborts never reach this question.
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
    return JsonNumber::size(object.value(QLatin1String("size")));
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

// A file already there counts as done when it has the listed size (any size when none
// is listed); it is not hashed.
bool isPresent(const DownloadTask& task)
{
    const QFileInfo present(task.path);
    return present.isFile() && (task.size == 0 || present.size() == task.size);
}

// The source is an asset object of the game folder: only a regular file is copied, and
// opening it never waits.
bool copyRegularFile(const QString& source, const QString& target)
{
    const std::optional<QByteArray> content = RegularFile::read(source, kAssetObjectLimit);
    StagedFile copy;
    return content && copy.open(target) && copy.write(*content) && copy.publish();
}

// A file is tried three times, again 400 ms after the first failure and 800 ms after
// the second.
const RetryRule kFileRetry{3, 400, isTransient};

} // namespace

VersionInstaller::VersionInstaller(VersionManifestService* manifest, QObject* parent)
    : QObject(parent), m_manifest(manifest), m_network(new QNetworkAccessManager(this)),
      m_active(m_network, kFileRecipe, kFileRetry), m_progressTimer(new QTimer(this)),
      m_legacyTimer(new QTimer(this))
{
    m_active.setTransfersAtOnce(kMaxParallelDownloads);
    m_active.setCommitsAtOnce(kMaxCommittingDownloads);
    m_active.setHandlers({[this](const DownloadTask& task) { m_currentItem = task.label; },
                          [this](const DownloadTask& task) { expandAssetIndex(task.path); },
                          [this](const DownloadTask& task, const Download::Summary& transfer) {
                              handleDownloadFailed(task, transfer);
                          }});
    connect(&m_active, &DownloadList::progressed, this, &VersionInstaller::scheduleProgress);
    connect(&m_active, &DownloadList::saved, this, [this](qint64 bytes) {
        m_doneBytes = ByteCount::sum(m_doneBytes, bytes);
        pump();
    });
    m_progressTimer->setInterval(kProgressIntervalMs);
    connect(m_progressTimer, &QTimer::timeout, this, &VersionInstaller::flushProgress);
    m_legacyTimer->setInterval(0);
    connect(m_legacyTimer, &QTimer::timeout, this, &VersionInstaller::legacyTick);
}

VersionInstaller::~VersionInstaller()
{
    // The callers are going away with their owner, as are the signals' listeners.
    m_callers = JobCallers();
    m_jobs.clear();
    blockSignals(true);
    cancel();
}

// ---- Jobs and version descriptions ----

void VersionInstaller::install(const QString& gameDir, const QString& versionId, JobDone done)
{
    const QString id = versionId.trimmed();
    if (id.isEmpty()) {
        answerCaller(done, JobOutcome::failed(QString()));
        return;
    }
    const auto refuse = [this, &id, &done](const QString& message) {
        emit failed(id, message);
        answerCaller(done, JobOutcome::failed(message));
    };
    if (!PathRules::isInstallableVersionId(id)) {
        refuse(Loc::text("version.error.invalidName").arg(id));
        return;
    }
    if (m_job.isCanceling()) {
        refuse(Loc::text("version.error.cancelPending"));
        return;
    }
    if (id == m_versionId) {
        m_callers.add(std::move(done));
        return;
    }
    for (QueuedJob& job : m_jobs) {
        if (job.versionId == id) {
            job.callers.add(std::move(done));
            return;
        }
    }
    m_jobs.append({gameDir, id, JobCallers(std::move(done))});
    if (!m_job.isBusy())
        startNext();
}

bool VersionInstaller::isQueued(const QString& versionId) const
{
    return std::any_of(m_jobs.cbegin(), m_jobs.cend(),
                       [&versionId](const QueuedJob& job) { return job.versionId == versionId; });
}

JobCallers VersionInstaller::dropWaitingJobs()
{
    JobCallers dropped;
    for (QueuedJob& job : m_jobs)
        dropped.join(job.callers.take());
    m_jobs.clear();
    return dropped;
}

void VersionInstaller::startNext()
{
    if (m_jobs.isEmpty()) {
        m_job.end();
        m_versionId.clear();
        m_stage.clear();
        m_currentItem.clear();
        m_progressTimer->stop();
        emit progressChanged();
        return;
    }

    QueuedJob next = m_jobs.takeFirst();
    m_gameDir = next.gameDir;
    m_versionId = next.versionId;
    m_callers = next.callers.take();
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
    m_workerSteps = 0;
    const bool wasBusy = m_job.isBusy();
    m_job.begin();
    m_doneBytes = 0;
    m_totalBytes = 0;
    if (!wasBusy && !m_job.notify([this] { emit started(m_versionId); }))
        return;
    setStage(Loc::text("version.progress.fetchingList"));
    if (!m_job.notify([this] { emit progressChanged(); }))
        return;
    // The description comes from the manifest's server and the version's files mostly
    // from the libraries' and asset objects' servers: their connections are made while
    // the manifest is looked up.
    m_descriptionAhead.open(
        m_network, QUrl(RemoteAddresses::origin(RemoteAddresses::Service::VersionManifest)));
    m_active.connectAhead({QUrl(RemoteAddresses::origin(RemoteAddresses::Service::GameLibraries)),
                           QUrl(RemoteAddresses::origin(RemoteAddresses::Service::AssetObjects))});
    resolveManifestEntry();
}

void VersionInstaller::resolveManifestEntry()
{
    const quint64 job = m_job.number();
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
    if (!m_job.isRunning(job))
        return;
    if (ok) {
        if (const auto entry = m_manifest->find(m_versionId)) {
            m_descriptionAhead.take(m_network, entry->url);
            giveUpDescriptionConnection();
            fetchVersionJson(entry->url, entry->sha1);
            return;
        }
    }
    giveUpDescriptionConnection();
    // Versions the manifest does not list (loader profiles) and the offline case
    // are served from the description on disk.
    if (adoptLocalDescription())
        return;
    if (ok)
        fail(Loc::text("version.error.notInManifest").arg(m_versionId));
    else
        fail(message.isEmpty() ? Loc::text("version.error.listUnavailable") : message);
}

// Only descriptions go through this manager, and none is on its way when the connection
// opened for it is given up: closing the manager's idle connections stops no request.
void VersionInstaller::giveUpDescriptionConnection()
{
    if (!m_descriptionAhead.giveUp().isEmpty())
        m_network->clearConnectionCache();
}

bool VersionInstaller::adoptLocalDescription()
{
    const std::optional<QByteArray> description = RegularFile::read(
        VersionLoader::versionJsonPath(m_gameDir, m_versionId), RegularFile::kDocumentLimit);
    if (!description)
        return false;
    adoptVersionJson(*description, true);
    return true;
}

void VersionInstaller::fetchVersionJson(const QUrl& url, const QString& sha1)
{
    setStage(Loc::text("version.progress.description"));
    m_currentItem = m_versionId + QLatin1String(".json");
    QNetworkReply* reply = HttpRequest::get(m_network, url, kDescriptionRecipe);
    m_descriptionReply = reply;
    const quint64 job = m_job.number();
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, sha1, job] { handleDescriptionReply(reply, sha1, job); });
}

void VersionInstaller::handleDescriptionReply(QNetworkReply* reply, const QString& sha1,
                                              quint64 job)
{
    reply->deleteLater();
    if (!m_job.isRunning(job))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        fail(Loc::text("version.error.descriptionFetchFailed").arg(HttpRequest::errorText(reply)));
        return;
    }
    const QByteArray body = reply->readAll();
    if (!sha1.isEmpty() && !sameHash(sha1Hex(body), sha1)) {
        fail(Loc::text("version.error.descriptionChecksum").arg(m_versionId));
        return;
    }
    adoptVersionJson(body, false);
}

void VersionInstaller::adoptVersionJson(const QByteArray& bytes, bool fromDisk)
{
    m_versionJson = QJsonDocument::fromJson(bytes).object();
    if (m_versionJson.isEmpty()) {
        fail(Loc::text("version.error.descriptionUnparsable").arg(m_versionId));
        return;
    }
    if (fromDisk)
        followDescription();
    else
        storeVersionJson(bytes);
}

void VersionInstaller::followDescription()
{
    const QString parent = m_versionJson.value(QLatin1String("inheritsFrom")).toString();
    if (!parent.isEmpty() && PathRules::isInstallableVersionId(parent) &&
        !QFileInfo::exists(VersionLoader::versionJsonPath(m_gameDir, parent))) {
        if (m_parentDepth >= kMaxQueuedParents) {
            fail(Loc::text("common.error.inheritsChainTooLong").arg(m_versionId));
            return;
        }
        ++m_parentDepth;
        m_jobs.prepend({m_gameDir, m_versionId, m_callers.take()});
        m_jobs.prepend({m_gameDir, parent, JobCallers()});
        abandonCurrent();
        return;
    }

    m_parentDepth = 0;
    if (prepareTasks())
        pump();
}

// The description is kept byte for byte as the server sent it. Its save-file is made
// durable before it takes its name, which can take long on a busy disk: a worker saves
// it, and a job that ends meanwhile waits for the save (see reset), so that nothing is
// written into the game directory after the job has ended.
void VersionInstaller::storeVersionJson(const QByteArray& bytes)
{
    m_descriptionSave = runOnWorker([this, gameDir = m_gameDir, id = m_versionId, bytes] {
        QString error;
        const bool saved = VersionLoader::saveDescription(gameDir, id, bytes, &error);
        return std::function<void()>([this, saved, error] {
            if (saved)
                followDescription();
            else
                fail(error);
        });
    });
}

void VersionInstaller::abandonCurrent()
{
    m_tasks.clear();
    m_versionId.clear();
    startNext(); // busy stays set, so the parent starts without started()
}

void VersionInstaller::complete()
{
    LaunchOptions options;
    options.gameDir = m_gameDir;
    options.versionId = m_versionId;
    runOnWorker([this, options, version = m_version] {
        return std::function<void()>(
            [this, missing = GameLauncher::missingFiles(options, version, kMissingFilesShown)] {
                reportCompleteness(missing);
            });
    });
}

void VersionInstaller::reportCompleteness(const QStringList& missing)
{
    if (!missing.isEmpty()) {
        fail(Loc::text("version.error.filesMissingAfterDownload")
                 .arg(QString::number(missing.size()), missing.join(QLatin1Char('\n'))));
        return;
    }
    const QString id = m_versionId;
    const JobCallers callers = m_callers.take();
    reset();
    emit finished(id);
    callers.answer(JobOutcome::succeeded(id));
    // A listener may have started the next job from its handler already.
    if (!m_job.isBusy())
        startNext();
}

void VersionInstaller::cancel()
{
    if (!m_job.isBusy())
        return;
    const JobCallers dropped = dropWaitingJobs();
    m_tasks.clear();
    m_legacyTimer->stop();
    m_parentDepth = 0;
    m_job.markCanceling();
    if (m_descriptionReply)
        m_descriptionReply->abort();

    m_active.abandonAll();
    endCanceled();
    dropped.answer(JobOutcome::dropped());
}

void VersionInstaller::endCanceled()
{
    const QString id = m_versionId;
    const JobCallers callers = m_callers.take();
    reset();
    emit canceled(id);
    callers.answer(JobOutcome::canceled());
}

void VersionInstaller::fail(const QString& message)
{
    const QString id = m_versionId;
    QString text = message;
    if (!m_warnings.isEmpty())
        text += QLatin1Char('\n') + m_warnings.mid(0, kWarningsShown).join(QLatin1Char('\n'));
    const JobCallers dropped = dropWaitingJobs();
    m_parentDepth = 0;

    m_active.abandonAll();
    const JobCallers callers = m_callers.take();
    reset();
    emit failed(id, text);
    callers.answer(JobOutcome::failed(text));
    dropped.answer(JobOutcome::dropped());
}

void VersionInstaller::reset()
{
    m_descriptionSave.waitForFinished();
    // The connections the job opened ahead and did not use end with it.
    giveUpDescriptionConnection();
    m_active.abandonAll();
    m_tasks.clear();
    m_workerSteps = 0;
    // Thousands of asset objects take milliseconds to let go: a worker does it.
    QThreadPool::globalInstance()->start([objects = std::exchange(m_assetObjects, {})] {});
    m_legacyCopies.clear();
    m_legacyNext = 0;
    m_legacyTimer->stop();
    m_versionId.clear();
    m_stage.clear();
    m_currentItem.clear();
    m_job.end();
    m_progressPending = false;
    m_progressTimer->stop();
}

// ---- Downloads ----

qint64 VersionInstaller::bytesDone() const
{
    return ByteCount::sum(m_doneBytes, m_active.received());
}

qint64 VersionInstaller::totalBytes() const
{
    return ByteCount::sum(m_totalBytes, m_assetEstimate);
}

double VersionInstaller::fraction() const
{
    return ByteCount::fraction(bytesDone(), totalBytes());
}

bool VersionInstaller::prepareTasks()
{
    setStage(Loc::text("version.progress.preparing"));
    QString error;
    m_version = VersionLoader::load(m_gameDir, m_versionId, {}, &error);
    if (m_version.id.isEmpty() || m_version.mainClass.isEmpty()) {
        fail(error.isEmpty() ? Loc::text("common.error.versionReadFailed").arg(m_versionId)
                             : error);
        return false;
    }

    QList<DownloadTask> prepared;
    const auto add = [this, &prepared](DownloadTask task) {
        if (admit(task))
            prepared.append(std::move(task));
    };

    // Client, asset index and logging come from this job's own description; a
    // parent's are fetched by the parent's own job. The client always goes to this
    // version's own jar, never over a parent's.
    const QJsonObject client = objectAt(m_versionJson, {"downloads", "client"});
    if (!client.isEmpty()) {
        const QString jar = VersionLoader::versionJarPath(m_gameDir, m_versionId);
        add(taskFor(DownloadTask::Client, client, jar, QFileInfo(jar).fileName()));
    }

    for (const MinecraftLibrary& library : std::as_const(m_version.libraries)) {
        if (library.url.isEmpty() || !PathRules::isGameFilePath(library.path)) {
            m_warnings.append(Loc::text("version.error.libraryNoUrl").arg(library.name));
            continue;
        }
        add({DownloadTask::Library, QUrl(library.url, QUrl::TolerantMode),
             m_gameDir + QLatin1String("/libraries/") + library.path, library.sha1,
             qMax<qint64>(0, library.size), library.name});
    }

    const QJsonObject assetIndex = objectAt(m_versionJson, {"assetIndex"});
    if (!assetIndex.isEmpty() && PathRules::isGameFileName(m_version.assetIndex)) {
        const QString indexPath = m_gameDir + QLatin1String("/assets/indexes/") +
                                  m_version.assetIndex + QLatin1String(".json");
        add(taskFor(DownloadTask::AssetIndex, assetIndex, indexPath,
                    Loc::text("version.progress.assetIndex")));
        m_assetEstimate = JsonNumber::size(assetIndex.value(QLatin1String("totalSize")));
    }

    const QJsonObject logFile = objectAt(m_versionJson, {"logging", "client", "file"});
    const QString logId = logFile.value(QLatin1String("id")).toString();
    if (!logFile.isEmpty() && PathRules::isGameFileName(logId)) {
        add(taskFor(DownloadTask::LogConfig, logFile,
                    m_gameDir + QLatin1String("/assets/log_configs/") + logId, logId));
    }

    setStage(Loc::text("version.progress.gameFiles"));
    queueUnlessPresent(std::move(prepared));
    return true;
}

// Addresses come from remote documents: only https ones are fetched. An admitted task
// counts in the total.
bool VersionInstaller::admit(const DownloadTask& task)
{
    if (task.url.scheme() != QLatin1String("https")) {
        m_warnings.append(Loc::text("version.warning.skippedBadUrl").arg(task.label));
        return false;
    }
    m_totalBytes = ByteCount::sum(m_totalBytes, task.size);
    return true;
}

// Looking at a file can wait on a busy disk: workers do it, and the job waits for them
// as for a running download. The step `work` returns runs on this thread, unless the
// job that asked has ended by then.
QFuture<std::function<void()>>
VersionInstaller::runOnWorker(std::function<std::function<void()>()> work)
{
    ++m_workerSteps;
    const quint64 job = m_job.number();
    auto promise = std::make_shared<QPromise<std::function<void()>>>();
    auto* watcher = new QFutureWatcher<std::function<void()>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, job] {
        watcher->deleteLater();
        if (!m_job.isRunning(job))
            return;
        --m_workerSteps;
        watcher->result()();
    });
    const QFuture<std::function<void()>> future = promise->future();
    watcher->setFuture(future);
    QThreadPool::globalInstance()->start([promise, work = std::move(work)] {
        promise->start();
        promise->addResult(work());
        promise->finish();
    });
    return future;
}

// Files already there are done without a download; the others are queued in order
// behind the tasks already waiting.
void VersionInstaller::queueUnlessPresent(QList<DownloadTask> tasks)
{
    runOnWorker([this, tasks = std::move(tasks)] {
        QList<bool> present;
        for (const DownloadTask& task : tasks)
            present.append(isPresent(task));
        return std::function<void()>([this, tasks, present] {
            for (qsizetype i = 0; i < tasks.size(); ++i) {
                if (!present.at(i)) {
                    m_tasks.append(tasks.at(i));
                    continue;
                }
                m_doneBytes = ByteCount::sum(m_doneBytes, tasks.at(i).size);
                if (tasks.at(i).kind == DownloadTask::AssetIndex)
                    expandAssetIndex(tasks.at(i).path);
            }
            scheduleProgress();
            pump();
        });
    });
}

// What an asset index lists, read on a worker: thousands of objects take longer to
// parse and turn into tasks than the interface may wait.
struct VersionInstaller::AssetIndexContents {
    bool readable = false;
    QJsonObject objects;
    bool isVirtual = false;
    bool mapToResources = false;
    QList<DownloadTask> tasks;
    QList<bool> present;       // per task: its file is there already, of the listed size
    QStringList malformedKeys; // objects without a usable hash

    static AssetIndexContents read(const QString& path, const QString& gameDir)
    {
        AssetIndexContents contents;
        const std::optional<QByteArray> content = RegularFile::read(path, kAssetIndexLimit);
        if (!content)
            return contents;
        contents.readable = true;
        const QJsonObject root = QJsonDocument::fromJson(*content).object();
        contents.objects = root.value(QLatin1String("objects")).toObject();
        contents.isVirtual = root.value(QLatin1String("virtual")).toBool();
        contents.mapToResources = root.value(QLatin1String("map_to_resources")).toBool();
        contents.tasks.reserve(contents.objects.size());
        contents.present.reserve(contents.objects.size());
        for (auto it = contents.objects.constBegin(); it != contents.objects.constEnd(); ++it) {
            const QJsonObject object = it.value().toObject();
            const QString hash = object.value(QLatin1String("hash")).toString();
            if (!isHexSha1(hash)) {
                contents.malformedKeys.append(it.key());
                continue;
            }
            contents.tasks.append({DownloadTask::AssetObject, assetObjectUrl(hash),
                                   assetObjectPath(gameDir, hash), hash, sizeOf(object), it.key()});
            contents.present.append(isPresent(contents.tasks.last()));
        }
        return contents;
    }
};

// The index's objects are queued behind the tasks already waiting.
void VersionInstaller::expandAssetIndex(const QString& path)
{
    runOnWorker([this, path, gameDir = m_gameDir] {
        return std::function<void()>(
            [this, path, contents = AssetIndexContents::read(path, gameDir)] {
                adoptAssetIndex(path, contents);
            });
    });
}

void VersionInstaller::adoptAssetIndex(const QString& path, const AssetIndexContents& contents)
{
    if (!contents.readable) {
        fail(Loc::text("version.error.assetIndexReadFailed").arg(native(path)));
        return;
    }
    m_assetObjects = contents.objects;
    m_assetsVirtual = contents.isVirtual;
    m_mapToResources = contents.mapToResources;
    setStage(Loc::text("version.progress.assets"));
    for (const QString& key : contents.malformedKeys)
        m_warnings.append(Loc::text("version.warning.skippedBadHash").arg(key));

    // Objects already there are done at once: the interface need not look at each.
    for (qsizetype i = 0; i < contents.tasks.size(); ++i) {
        const DownloadTask& task = contents.tasks.at(i);
        if (!admit(task))
            continue;
        if (contents.present.at(i))
            m_doneBytes = ByteCount::sum(m_doneBytes, task.size);
        else
            m_tasks.append(task);
    }
    // The index's announced total gives way to the sizes it lists.
    m_assetEstimate = 0;
    scheduleProgress();
    pump();
}

bool VersionInstaller::isAssetIndex(const DownloadTask& task)
{
    return task.kind == DownloadTask::AssetIndex;
}

// The tasks waiting go to the download list, which runs as many at once as the
// installer allows; a file whose bytes are in keeps its slot until it is committed.
void VersionInstaller::pump()
{
    if (!m_job.isRunning())
        return;
    if (!m_tasks.isEmpty())
        m_active.start(std::exchange(m_tasks, {}), isAssetIndex);
    if (m_active.isEmpty() && m_workerSteps == 0)
        afterDownloads();
}

void VersionInstaller::handleDownloadFailed(const DownloadTask& task,
                                            const Download::Summary& transfer)
{
    fail(transfer.failureMessage({.transfer = [&task](const QString& reason) {
        return Loc::text("common.error.downloadFailed").arg(task.label, reason);
    }}));
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
    if (!m_job.isRunning()) {
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
    if (!copyRegularFile(source, target))
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
    } else if (!m_job.isBusy()) {
        m_progressTimer->stop();
    }
}
