#include "javainstaller.h"

#include "diskspace.h"
#include "download.h"
#include "folders.h"
#include "httprequest.h"
#include "jsonnumber.h"
#include "launcherpaths.h"
#include "localization.h"
#include "pathrules.h"
#include "ziparchive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>

#include <algorithm>
#include <utility>

namespace {
constexpr int kProgressIntervalMs = 100;
constexpr int kParallelDownloads = 4;
constexpr int kZipEntriesPerTick = 24;
constexpr QFileDevice::Permissions kExecuteBits =
    QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
const QString kTarProgram = QStringLiteral("tar");
const QString kMojangArchive = QStringLiteral("mojang");
const QString kZipArchive = QStringLiteral("zip");
const QString kTarArchive = QStringLiteral("tar.gz");

using PathRules::native;

// Where a relative link target points, judged from the link's own folder.
QString resolvedLinkTarget(const QString& linkPath, const QString& target)
{
    return QDir::cleanPath(QFileInfo(linkPath).absolutePath() + QLatin1Char('/') + target);
}

bool sameHex(const QByteArray& digest, const QString& expected)
{
    return QString::fromLatin1(digest.toHex()).compare(expected, Qt::CaseInsensitive) == 0;
}

// The archive's name in the download folder: the address's last segment when it is a
// plain file name, else one made from the runtime id.
QString archiveFileName(const JavaRuntimeEntry& entry)
{
    const QString name = entry.url.fileName(QUrl::FullyDecoded);
    if (!PathRules::isPlainFileName(name))
        return JavaRuntimeStore::sanitizeId(entry.id) + QStringLiteral(".archive");
    return name;
}

// A transfer time-out shows as a cancelled operation; the download's own aborts never
// reach this question.
bool isTransient(int status, QNetworkReply::NetworkError error)
{
    if (status > 499)
        return true;
    switch (error) {
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    default:
        return false;
    }
}

const HttpRequest::Recipe kManifestRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                          HttpRequest::kCatalogLimit};
const HttpRequest::Recipe kFileRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                      HttpRequest::kStreamed};
// A file is tried three times, with no wait in between; the archive once.
const RetryRule kFileRetry{3, 0, isTransient};
} // namespace

struct JavaZipExtraction {
    ZipArchive reader;
    qint64 next = 0;
};

JavaInstaller::JavaInstaller(QObject* parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)),
      m_active(m_network, kFileRecipe, kFileRetry)
{
    m_active.setTransfersAtOnce(kParallelDownloads);
    m_active.setHandlers(
        {[this](const JavaFileTask& task) { m_currentItem = relativeToRuntime(task.path); },
         [](const JavaFileTask& task) {
             QFile::setPermissions(task.path, QFile::permissions(task.path) | kExecuteBits);
         },
         [this](const JavaFileTask& task, const Download::Summary& transfer) {
             handleFileFailed(task, transfer);
         }});
    connect(&m_active, &DownloadList::progressed, this, &JavaInstaller::scheduleProgress);
    connect(&m_active, &DownloadList::saved, this, [this](qint64 bytes, int files) {
        m_doneFiles += files;
        m_doneBytes = ByteCount::sum(m_doneBytes, bytes);
        pump();
    });
    m_zipTimer.setInterval(0);
    connect(&m_zipTimer, &QTimer::timeout, this, &JavaInstaller::extractZipChunk);
    m_progressTimer.setInterval(kProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &JavaInstaller::flushProgress);
}

JavaInstaller::~JavaInstaller()
{
    // Nothing is reported from here on; a running tar must not outlive the launcher.
    m_job.end();
    if (m_tarProcess) {
        m_tarProcess->disconnect(this);
        m_tarProcess->kill();
        m_tarProcess->waitForFinished(1000);
    }
}

qint64 JavaInstaller::bytesDone() const
{
    return ByteCount::sum(m_doneBytes, m_active.received());
}

double JavaInstaller::fraction() const
{
    // Without a known total of bytes, the share of files done still tells the progress.
    if (m_totalBytes != ByteCount::kUnknown && m_totalBytes > 0)
        return ByteCount::fraction(bytesDone(), m_totalBytes);
    if (m_totalFiles > 0)
        return std::clamp(double(m_doneFiles) / double(m_totalFiles), 0.0, 1.0);
    return -1;
}

void JavaInstaller::install(const JavaRuntimeEntry& entry, JobDone done)
{
    if (m_job.isBusy()) {
        // The running job is someone else's: a caller left waiting would never hear.
        answerCaller(done, JobOutcome::failed(Loc::text("java.error.installBusy").arg(m_label)));
        return;
    }
    const auto refuse = [this, &done](const QString& label, const QString& message) {
        emit failed(label, message);
        answerCaller(done, JobOutcome::failed(message));
    };
    if (entry.id.isEmpty() || entry.major <= 0 || !entry.url.isValid()) {
        refuse(entry.version, Loc::text("java.error.buildUnavailable"));
        return;
    }
    QString error;
    if (!LauncherPaths::ensureRootExists(&error)) {
        refuse(entry.version, Loc::text("java.error.launcherDirUnavailable").arg(error));
        return;
    }
    const QString label =
        Loc::text("java.status.nameAndVersion").arg(javaKindTitle(entry.kind), entry.version);
    const QString runtimeDir = JavaRuntimeStore::dirFor(entry.id);
    if (runtimeDir.isEmpty()) {
        refuse(label, Loc::text("java.error.invalidBuildId"));
        return;
    }
    if (!JavaRuntimeStore::remove(entry.id, &error)) {
        refuse(label, error);
        return;
    }
    if (!Folders::make(runtimeDir, &error)) {
        refuse(label, error);
        return;
    }

    m_entry = entry;
    m_label = label;
    m_runtimeDir = runtimeDir;
    m_doneFiles = m_totalFiles = 0;
    m_doneBytes = m_totalBytes = 0;
    m_currentItem.clear();
    m_links.clear();
    m_queue.clear();
    m_job.begin();
    m_callers = JobCallers(std::move(done));
    if (!m_job.notify([this] { emit started(m_label); }))
        return;
    if (m_entry.archive == kMojangArchive)
        beginMojang();
    else
        beginArchive();
}

void JavaInstaller::cancel()
{
    if (!m_job.isRunning())
        return;
    m_job.markCanceling();
    const quint64 job = m_job.number();
    // The single request or the archive ends the job from its own end, which comes
    // before its abort returns.
    const auto stillCanceling = [this, job] {
        return m_job.isCanceling() && m_job.number() == job;
    };
    m_zipTimer.stop();
    if (m_reply)
        m_reply->abort();
    if (m_archive && stillCanceling())
        m_archive->cancel();
    if (!stillCanceling())
        return;
    m_active.abandonAll();
    if (m_tarProcess) {
        m_tarProcess->kill();
        return;
    }
    if (!m_reply && !m_archive)
        endCanceled();
}

// Listeners hear of a new stage at once and may cancel from there: the answer says
// whether the job still runs.
bool JavaInstaller::setStage(const QString& text)
{
    if (text == m_stage)
        return m_job.isRunning();
    m_stage = text;
    return m_job.notify([this] { emit progressChanged(); });
}

void JavaInstaller::scheduleProgress()
{
    m_progressPending = true;
    if (!m_progressTimer.isActive())
        m_progressTimer.start();
}

void JavaInstaller::flushProgress()
{
    if (!m_progressPending) {
        m_progressTimer.stop();
        return;
    }
    m_progressPending = false;
    emit progressChanged();
}

void JavaInstaller::beginArchive()
{
    if (m_entry.archive != kZipArchive && m_entry.archive != kTarArchive) {
        fail(Loc::text("java.error.unknownArchiveFormat").arg(m_entry.archive));
        return;
    }
    m_archivePath = LauncherPaths::javaDownloadDir() + QLatin1Char('/') + archiveFileName(m_entry);
    m_totalBytes = m_entry.size;
    if (!setStage(Loc::text("java.progress.downloadingBuild").arg(m_entry.version)))
        return;
    downloadArchive();
}

void JavaInstaller::downloadArchive()
{
    QString error;
    Download* download = Download::start(
        m_network,
        {m_entry.url, m_archivePath, m_entry.checksum, QCryptographicHash::Sha256, m_entry.size},
        kFileRecipe, {}, this, &error);
    if (!download) {
        fail(error);
        return;
    }
    connect(download, &Download::progress, this, [this, download](qint64 received, qint64 total) {
        if (download != m_archive)
            return;
        m_doneBytes = received;
        if (m_totalBytes < 1 && total > 0)
            m_totalBytes = total;
        scheduleProgress();
    });
    connect(download, &Download::ended, this, [this, download] { handleArchiveEnded(download); });
    m_archive = download;
    m_currentItem = QFileInfo(m_archivePath).fileName();
    scheduleProgress();
}

// The job's single running request has finished: true when the job goes on with it, false
// for a reply of an earlier job, a cancellation (ended here) or no job at all.
bool JavaInstaller::claimFinishedReply(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != m_reply)
        return false;
    m_reply = nullptr;
    if (m_job.isCanceling()) {
        endCanceled();
        return false;
    }
    return m_job.isBusy();
}

void JavaInstaller::handleArchiveEnded(Download* download)
{
    download->deleteLater();
    if (download != m_archive)
        return;
    m_archive = nullptr;
    if (m_job.isCanceling()) {
        endCanceled();
        return;
    }
    if (download->outcome() == Download::Outcome::Saved) {
        startExtraction();
        return;
    }
    const auto transfer = [this](const QString& reason) {
        return Loc::text("java.error.downloadFailed").arg(m_entry.version, reason);
    };
    fail(download->failureMessage(
        {.transfer = transfer, .checksum = Loc::text("java.error.archiveChecksum")}));
}

void JavaInstaller::startExtraction()
{
    m_doneBytes = m_totalBytes = 0;
    if (!setStage(Loc::text("java.progress.extracting").arg(m_entry.version)))
        return;
    if (m_entry.archive == kTarArchive) {
        startTarExtraction();
        return;
    }
    auto zip = std::make_unique<JavaZipExtraction>();
    if (!zip->reader.open(m_archivePath)) {
        fail(Loc::text("java.error.archiveReadFailed").arg(native(m_archivePath)));
        return;
    }
    // Sizes are declared up front; an entry inflating past its own stops while streaming.
    QString error;
    if (!DiskSpace::hasRoomFor(m_runtimeDir, ZipArchive::declaredSize(zip->reader.entries()),
                               native(m_archivePath), &error)) {
        fail(error);
        return;
    }
    m_zip = std::move(zip);
    m_doneFiles = 0;
    m_totalFiles = int(m_zip->reader.entryCount());
    m_zipTimer.start();
}

// The members are listed first: tar would otherwise write wherever an absolute or
// climbing member name points.
void JavaInstaller::startTarExtraction()
{
    runTar({QStringLiteral("-tzf"), m_archivePath},
           [this](const QByteArray& listing) { checkTarListing(listing); });
}

void JavaInstaller::checkTarListing(const QByteArray& listing)
{
    const QStringList members =
        QString::fromLocal8Bit(listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& member : members) {
        if (!PathRules::isTarMemberPath(member)) {
            fail(Loc::text("java.error.archiveBadPath").arg(member));
            return;
        }
    }
    runTar({QStringLiteral("-xzf"), m_archivePath, QStringLiteral("-C"), m_runtimeDir,
            QStringLiteral("--no-same-owner")},
           [this](const QByteArray&) { complete(); });
}

void JavaInstaller::runTar(const QStringList& arguments,
                           std::function<void(const QByteArray&)> onSuccess)
{
    auto* process = new QProcess(this);
    m_tarProcess = process;
    process->setWorkingDirectory(m_runtimeDir);
    // Whichever notification comes first decides; the other finds the process gone.
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError) {
        if (m_tarProcess != process)
            return;
        const QString message = process->errorString();
        process->deleteLater();
        m_tarProcess = nullptr;
        if (m_job.isCanceling())
            endCanceled();
        else
            fail(Loc::text("java.error.extractFailed").arg(message));
    });
    connect(process, &QProcess::finished, this,
            [this, process, onSuccess](int exitCode, QProcess::ExitStatus status) {
                if (m_tarProcess != process)
                    return;
                const QByteArray errors = process->readAllStandardError();
                const QByteArray output = process->readAllStandardOutput();
                process->deleteLater();
                m_tarProcess = nullptr;
                if (m_job.isCanceling()) {
                    endCanceled();
                } else if (status != QProcess::NormalExit || exitCode != 0) {
                    fail(Loc::text("java.error.extractCrashed")
                             .arg(QString::fromLocal8Bit(errors).trimmed()));
                } else {
                    onSuccess(output);
                }
            });
    process->start(kTarProgram, arguments, QIODevice::ReadWrite);
}

void JavaInstaller::extractZipChunk()
{
    if (!m_job.isRunning() || !m_zip) {
        m_zipTimer.stop();
        return;
    }
    const qint64 count = m_zip->reader.entryCount();
    const qint64 end = std::min(count, m_zip->next + kZipEntriesPerTick);
    while (m_zip->next < end) {
        if (!extractZipEntry(m_zip->next))
            return;
        ++m_zip->next;
    }
    m_doneFiles = int(m_zip->next);
    m_currentItem = m_zip->next > 0 ? m_zip->reader.entries().at(m_zip->next - 1).name : QString();
    scheduleProgress();
    if (m_zip->next >= count) {
        m_zipTimer.stop();
        m_zip.reset();
        complete();
    }
}

bool JavaInstaller::extractZipEntry(qint64 position)
{
    const ZipEntryInfo info = m_zip->reader.entries().at(position);
    const QString target = QDir::cleanPath(m_runtimeDir + QLatin1Char('/') + info.name);
    if (!PathRules::isInside(m_runtimeDir, target)) {
        fail(Loc::text("java.error.archiveBadPath").arg(info.name));
        return false;
    }
    if (info.isDirectory) {
        QDir().mkpath(target);
        return true;
    }
    if (info.isSymlink)
        return true;
    QString error;
    if (!Folders::make(QFileInfo(target).absolutePath(), &error)) {
        fail(error);
        return false;
    }
    if (!m_zip->reader.extractEntry(info.index, target)) {
        fail(Loc::text("java.error.extractEntryFailed").arg(info.name));
        return false;
    }
    if (info.hasUnixPermissions())
        QFile::setPermissions(target, info.permissions());
    return true;
}

void JavaInstaller::beginMojang()
{
    if (!setStage(Loc::text("java.progress.fileList").arg(m_entry.version)))
        return;
    m_currentItem = QStringLiteral("manifest.json");
    QNetworkReply* reply = HttpRequest::get(m_network, m_entry.url, kManifestRecipe);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { handleManifestFinished(reply); });
}

void JavaInstaller::handleManifestFinished(QNetworkReply* reply)
{
    if (!claimFinishedReply(reply))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        fail(Loc::text("java.error.manifestFetchFailed").arg(HttpRequest::errorText(reply)));
        return;
    }
    handleManifest(reply->readAll());
}

void JavaInstaller::handleManifest(const QByteArray& bytes)
{
    if (!m_entry.checksum.isEmpty() &&
        !sameHex(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1), m_entry.checksum)) {
        fail(Loc::text("java.error.manifestChecksum"));
        return;
    }
    const QJsonObject files =
        QJsonDocument::fromJson(bytes).object().value(QStringLiteral("files")).toObject();
    if (files.isEmpty()) {
        fail(Loc::text("java.error.manifestUnparsable"));
        return;
    }
    if (!prepareTree(files))
        return;
    if (!setStage(Loc::text("java.progress.downloadingBuild").arg(m_entry.version)))
        return;
    if (!m_queue.isEmpty())
        pump();
    else if (applyLinks())
        complete();
}

// Creates the folders and collects the files and links. Every path, link target and
// address is checked here, before the first download.
bool JavaInstaller::prepareTree(const QJsonObject& files)
{
    m_totalBytes = 0;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QString key = it.key();
        const QString path = QDir::cleanPath(m_runtimeDir + QLatin1Char('/') + key);
        if (!PathRules::isInside(m_runtimeDir, path)) {
            fail(Loc::text("java.error.manifestBadPath").arg(key));
            return false;
        }
        const QJsonObject item = it.value().toObject();
        const QString type = item.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("directory")) {
            QString error;
            if (!Folders::make(path, &error)) {
                fail(error);
                return false;
            }
        } else if (type == QLatin1String("link")) {
            const QString target = item.value(QStringLiteral("target")).toString();
            if (QDir::isAbsolutePath(target) ||
                !PathRules::isSameOrInside(m_runtimeDir, resolvedLinkTarget(path, target))) {
                fail(Loc::text("java.error.manifestBadPath").arg(key));
                return false;
            }
            m_links.append({path, target});
        } else if (type == QLatin1String("file")) {
            const QJsonObject raw = item.value(QStringLiteral("downloads"))
                                        .toObject()
                                        .value(QStringLiteral("raw"))
                                        .toObject();
            const QUrl url(raw.value(QStringLiteral("url")).toString(), QUrl::TolerantMode);
            // Skipping it would report an incomplete runtime as installed.
            if (url.scheme() != QLatin1String("https")) {
                fail(Loc::text("java.error.manifestInsecureUrl").arg(key));
                return false;
            }
            JavaFileTask task;
            task.url = url;
            task.path = path;
            task.sha1 = raw.value(QStringLiteral("sha1")).toString();
            task.size = JsonNumber::size(raw.value(QStringLiteral("size")));
            task.executable = item.value(QStringLiteral("executable")).toBool(false);
            m_queue.append(task);
            m_totalBytes = ByteCount::sum(m_totalBytes, task.size);
        }
    }
    m_doneFiles = 0;
    m_totalFiles = int(m_queue.size());
    return true;
}

bool JavaInstaller::isExecutable(const JavaFileTask& task)
{
    return task.executable;
}

// The download list runs the files a few at once; once they are all in, the links are
// made.
void JavaInstaller::pump()
{
    if (!m_job.isRunning())
        return;
    if (!m_queue.isEmpty())
        m_active.start(std::exchange(m_queue, {}), isExecutable);
    if (m_active.isEmpty() && applyLinks())
        complete();
}

void JavaInstaller::handleFileFailed(const JavaFileTask& task, const Download::Summary& transfer)
{
    const QString file = relativeToRuntime(task.path);
    fail(transfer.failureMessage({.transfer = [&file](const QString& reason) {
        return Loc::text("common.error.downloadFailed").arg(file, reason);
    }}));
}

bool JavaInstaller::applyLinks()
{
    for (const auto& [linkPath, target] : std::as_const(m_links)) {
        if (!applyLink(linkPath, target))
            return false;
    }
    return true;
}

// Links are made after every file is in place, so a copy finds its source. What a link
// leads to is checked on the disk as well: an earlier link may have moved its folder.
bool JavaInstaller::applyLink(const QString& linkPath, const QString& target)
{
    if (QFileInfo::exists(linkPath))
        return true;
    const QString folder = QFileInfo(linkPath).absolutePath();
    if (!QDir().mkpath(folder))
        return true;
    const QString root = QFileInfo(m_runtimeDir).canonicalFilePath();
    const QString realFolder = QFileInfo(folder).canonicalFilePath();
    const QString relative = relativeToRuntime(linkPath);
    if (!PathRules::isSameOrInside(root, realFolder) ||
        !PathRules::isSameOrInside(root, QDir::cleanPath(realFolder + QLatin1Char('/') + target))) {
        fail(Loc::text("java.error.manifestBadPath").arg(relative));
        return false;
    }
    if (QFile::link(target, linkPath)) {
        const QString reached = QFileInfo(linkPath).canonicalFilePath();
        if (reached.isEmpty() || PathRules::isSameOrInside(root, reached))
            return true;
        QFile::remove(linkPath);
        fail(Loc::text("java.error.manifestBadPath").arg(relative));
        return false;
    }
    const QString source = resolvedLinkTarget(linkPath, target);
    const QString realSource = QFileInfo(source).canonicalFilePath();
    if (realSource.isEmpty() || !PathRules::isInside(root, realSource) ||
        !QFile::copy(realSource, linkPath)) {
        fail(Loc::text("java.error.linkFailed").arg(relative));
        return false;
    }
    return true;
}

void JavaInstaller::complete()
{
    if (!setStage(Loc::text("java.progress.verifying")))
        return;
    const QString javaPath = JavaRuntimeStore::locateBinary(m_runtimeDir);
    if (javaPath.isEmpty()) {
        fail(Loc::text("java.error.noExecutable"));
        return;
    }
    // A java that is a link leading out of the runtime is not the launcher's to change.
    const QString realJava = QFileInfo(javaPath).canonicalFilePath();
    if (PathRules::isInside(QFileInfo(m_runtimeDir).canonicalFilePath(), realJava))
        QFile::setPermissions(realJava, QFile::permissions(realJava) | kExecuteBits);

    const InstalledJavaRuntime runtime{
        m_entry.id,    javaKindKey(m_entry.kind),
        m_entry.major, m_entry.version,
        javaPath,      m_entry.size > 0 ? m_entry.size : ByteCount::shownTotal(m_totalBytes)};
    QString error;
    if (!JavaRuntimeStore::writeMeta(runtime, &error)) {
        fail(error);
        return;
    }
    if (!m_archivePath.isEmpty())
        QFile::remove(m_archivePath);
    const QString id = m_entry.id;
    const JobCallers callers = m_callers.take();
    reset();
    emit finished(id, javaPath);
    callers.answer(JobOutcome::succeeded(javaPath));
}

void JavaInstaller::fail(const QString& message)
{
    const QString failedLabel = m_label;
    const QString id = m_entry.id;
    const QString archivePath = m_archivePath;
    stopTransfers();
    if (!archivePath.isEmpty())
        QFile::remove(archivePath);
    const JobCallers callers = m_callers.take();
    JavaRuntimeStore::remove(id);
    reset();
    emit failed(failedLabel, message);
    callers.answer(JobOutcome::failed(message));
}

void JavaInstaller::endCanceled()
{
    const QString canceledLabel = m_label;
    const QString id = m_entry.id;
    stopTransfers();
    const JobCallers callers = m_callers.take();
    JavaRuntimeStore::remove(id);
    reset();
    emit canceled(canceledLabel);
    callers.answer(JobOutcome::canceled());
}

// Stops whatever still runs for the ending job. The job is marked over first, so the
// completions that the aborts deliver find nothing to do.
void JavaInstaller::stopTransfers()
{
    m_job.end();
    m_zipTimer.stop();
    m_zip.reset();
    if (QNetworkReply* reply = std::exchange(m_reply, nullptr))
        reply->abort();
    if (Download* archive = std::exchange(m_archive, nullptr))
        archive->cancel();
    m_active.abandonAll();
    if (QProcess* process = std::exchange(m_tarProcess, nullptr)) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
        process->deleteLater();
    }
}

void JavaInstaller::reset()
{
    m_job.end();
    m_zipTimer.stop();
    m_progressTimer.stop();
    m_progressPending = false;
    m_zip.reset();
    m_queue.clear();
    m_links.clear();
    m_archivePath.clear();
    m_stage.clear();
    m_currentItem.clear();
    m_label.clear();
    m_doneBytes = m_totalBytes = 0;
    m_doneFiles = m_totalFiles = 0;
    m_entry = JavaRuntimeEntry();
    emit progressChanged();
}

QString JavaInstaller::relativeToRuntime(const QString& path) const
{
    return QDir(m_runtimeDir).relativeFilePath(path);
}
