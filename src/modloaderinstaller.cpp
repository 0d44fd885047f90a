#include "modloaderinstaller.h"

#include "download.h"
#include "gamelauncher.h"
#include "httprequest.h"
#include "javalocator.h"
#include "javaruntime.h"
#include "launcherpaths.h"
#include "localization.h"
#include "minecraftversion.h"
#include "pathrules.h"
#include "versioninstaller.h"
#include "wholefile.h"
#include "zlibreference.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QTimer>

#include <optional>
#include <utility>

namespace {

const HttpRequest::Recipe kDescriptionRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                             HttpRequest::kCatalogLimit};
const HttpRequest::Recipe kInstallerRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                           HttpRequest::kStreamed};
constexpr int kStartTimeoutMs = 30000;
constexpr int kKillWaitMs = 2000;
constexpr int kInstallerTimeLimitMs = 15 * 60 * 1000;
constexpr qsizetype kRecentOutputLines = 12;
constexpr int kFallbackJavaMajor = 8;

using PathRules::native;

// The version when its description resolves with a main class.
std::optional<MinecraftVersion> loadVersion(const QString& gameDir, const QString& versionId)
{
    MinecraftVersion version = VersionLoader::load(gameDir, versionId);
    if (version.id.isEmpty() || version.mainClass.isEmpty())
        return std::nullopt;
    return version;
}

} // namespace

ModLoaderInstaller::ModLoaderInstaller(ModLoaderVersionService* loaderVersions,
                                       VersionInstaller* versionInstaller, QObject* parent)
    : QObject(parent), m_loaderVersions(loaderVersions), m_versionInstaller(versionInstaller),
      m_network(new QNetworkAccessManager(this)), m_installerTimeLimitMs(kInstallerTimeLimitMs)
{
    connect(m_versionInstaller, &VersionInstaller::finished, this,
            &ModLoaderInstaller::onVersionFinished);
    connect(m_versionInstaller, &VersionInstaller::failed, this,
            &ModLoaderInstaller::onVersionFailed);
    connect(m_versionInstaller, &VersionInstaller::canceled, this,
            &ModLoaderInstaller::onVersionCanceled);
}

ModLoaderInstaller::~ModLoaderInstaller()
{
    if (m_process)
        killProcess(std::exchange(m_process, nullptr));
}

double ModLoaderInstaller::fraction() const
{
    if (m_bytesTotal < 1)
        return -1.0;
    return double(m_bytesReceived) / double(m_bytesTotal);
}

void ModLoaderInstaller::setInstallerTimeLimitForTesting(int milliseconds)
{
    m_installerTimeLimitMs = milliseconds > 0 ? milliseconds : kInstallerTimeLimitMs;
}

// ---- Runs ----

void ModLoaderInstaller::install(const QString& gameDir, ModLoader loader,
                                 const QString& gameVersion, const QString& loaderVersion,
                                 const QString& preferredJavaPath, JobDone done)
{
    const QString title = loaderTitle(loader);
    const auto refuse = [this, &title, &done](const QString& message) {
        emit failed(title, message);
        answerCaller(done, JobOutcome::failed(message));
    };
    if (m_job.isBusy()) {
        refuse(Loc::text("loader.error.installInProgress"));
        return;
    }
    const QString game = gameVersion.trimmed();
    const QString version = loaderVersion.trimmed();
    if (game.isEmpty() || version.isEmpty()) {
        refuse(Loc::text("loader.error.noVersionSelected").arg(title));
        return;
    }

    m_gameDir = gameDir;
    m_preferredJavaPath = preferredJavaPath;
    m_loader = loader;
    m_gameVersion = game;
    m_loaderVersion = version;
    m_label = QStringLiteral("%1 %2").arg(title, version);
    m_recentOutput.clear();
    m_detail.clear();
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    const quint64 run = m_job.begin();
    m_callers = JobCallers(std::move(done));
    if (!m_job.notify([this] { emit started(m_label); }))
        return;
    if (!setStage(Loc::text("loader.progress.preparing").arg(title)))
        return;

    QPointer<ModLoaderInstaller> self(this);
    m_loaderVersions->ensureLoaded(
        m_loader, m_gameVersion,
        [self, run](bool ok, const QString& message) {
            if (self && self->m_job.isRunning(run))
                self->continueWithList(ok, message);
        },
        false);
}

void ModLoaderInstaller::continueWithList(bool ok, const QString& message)
{
    if (!ok) {
        fail(message.isEmpty()
                 ? Loc::text("loader.error.listUnavailable").arg(loaderTitle(m_loader))
                 : message);
        return;
    }
    if (ModLoaderVersionService::isPerGameVersion(m_loader))
        ensureBaseVersion([this] { beginFabricLike(); });
    else
        ensureBaseVersion([this] { beginInstallerJar(); });
}

void ModLoaderInstaller::cancel()
{
    if (!m_job.isBusy())
        return;
    m_job.markCanceling();
    if (QNetworkReply* reply = std::exchange(m_reply, nullptr))
        reply->abort();
    if (Download* download = std::exchange(m_download, nullptr))
        download->cancel();
    if (m_process)
        killProcess(std::exchange(m_process, nullptr));
    if (m_snapshotTaken)
        removeVersionsAddedByInstaller();
    if (!m_handedOffId.isEmpty()) {
        m_versionInstaller->cancel();
        // The version installer reports its cancellation before returning; should it
        // have had nothing to cancel, the run still has to end.
        if (!m_job.isBusy())
            return;
    }
    endCanceled();
}

void ModLoaderInstaller::reset()
{
    m_job.end();
    m_handedOffId.clear();
    m_stageText.clear();
    m_detail.clear();
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    m_versionsBefore.clear();
    m_snapshotTaken = false;
    m_zlibUnresolved = false;
    m_waitingForBase = false;
    m_afterBase = {};
    closeInstallerLog();
    m_installerLogPath.clear();
    if (m_process)
        killProcess(std::exchange(m_process, nullptr));
    if (Download* download = std::exchange(m_download, nullptr))
        download->cancel();
    emit progressChanged();
}

void ModLoaderInstaller::fail(const QString& message)
{
    const QString label = m_label;
    const JobCallers callers = m_callers.take();
    reset();
    emit failed(label, message);
    callers.answer(JobOutcome::failed(message));
}

void ModLoaderInstaller::endCanceled()
{
    const QString label = m_label;
    const JobCallers callers = m_callers.take();
    reset();
    emit canceled(label);
    callers.answer(JobOutcome::canceled());
}

bool ModLoaderInstaller::setStage(const QString& text)
{
    m_stageText = text;
    return m_job.notify([this] { emit progressChanged(); });
}

// ---- Base version and hand-off ----

void ModLoaderInstaller::ensureBaseVersion(std::function<void()> continuation)
{
    if (const auto base = loadVersion(m_gameDir, m_gameVersion)) {
        LaunchOptions options;
        options.gameDir = m_gameDir;
        options.versionId = m_gameVersion;
        if (GameLauncher::missingFiles(options, *base, 1).isEmpty()) {
            continuation();
            return;
        }
    }

    m_detail = m_gameVersion;
    // A wait set up for a run that a listener ended would report an outcome for a
    // run that is over.
    if (!setStage(Loc::text("loader.progress.installingMinecraft").arg(m_gameVersion)))
        return;
    m_waitingForBase = true;
    m_afterBase = std::move(continuation);
    // A version already being installed or queued is not queued twice; its outcome
    // still arrives through the version installer's signals.
    m_versionInstaller->install(m_gameDir, m_gameVersion);
}

void ModLoaderInstaller::handOffToVersionInstaller(const QString& versionId)
{
    m_handedOffId = versionId;
    m_detail = versionId;
    if (!setStage(Loc::text("loader.progress.downloadingVersionFiles")))
        return;
    m_versionInstaller->install(m_gameDir, versionId);
}

bool ModLoaderInstaller::versionInstallerHolds(const QString& versionId) const
{
    return (m_versionInstaller->isBusy() && m_versionInstaller->versionId() == versionId) ||
           m_versionInstaller->isQueued(versionId);
}

void ModLoaderInstaller::onVersionFinished(const QString& versionId)
{
    if (m_waitingForBase) {
        if (versionId != m_gameVersion)
            return;
        m_waitingForBase = false;
        const std::function<void()> continuation = std::exchange(m_afterBase, {});
        if (m_job.isRunning())
            continuation();
        return;
    }
    if (m_handedOffId.isEmpty() || versionId != m_handedOffId)
        return;
    const QString key = loaderKey(m_loader);
    const QString gameVersion = m_gameVersion;
    const QString loaderVersion = m_loaderVersion;
    const JobCallers callers = m_callers.take();
    reset();
    emit finished(key, gameVersion, loaderVersion, versionId);
    callers.answer(JobOutcome::succeeded(versionId));
}

// The version this run waits for can also end without a signal of its own: the
// version installer drops its whole queue when a job fails or is cancelled. Either
// way the run must end, or it would stay busy for good.
void ModLoaderInstaller::onVersionFailed(const QString& versionId, const QString& message)
{
    const QString awaited = m_waitingForBase ? m_gameVersion : m_handedOffId;
    if (awaited.isEmpty())
        return;
    if (versionId == awaited || !versionInstallerHolds(awaited))
        fail(message);
}

void ModLoaderInstaller::onVersionCanceled(const QString& versionId)
{
    const QString awaited = m_waitingForBase ? m_gameVersion : m_handedOffId;
    if (awaited.isEmpty())
        return;
    if (versionId == awaited || !versionInstallerHolds(awaited))
        endCanceled();
}

// ---- Fabric and Quilt ----

void ModLoaderInstaller::beginFabricLike()
{
    const auto entry = m_loaderVersions->find(m_loader, m_gameVersion, m_loaderVersion);
    const QString prefix = m_loader == ModLoader::Fabric ? QStringLiteral("fabric-loader-")
                                                         : QStringLiteral("quilt-loader-");
    const QString expectedId =
        entry ? entry->versionId : prefix + m_loaderVersion + QLatin1Char('-') + m_gameVersion;
    if (!PathRules::isInstallableVersionId(expectedId)) {
        fail(Loc::text("loader.error.invalidVersionId").arg(expectedId));
        return;
    }

    const QUrl url(ModLoaderVersionService::fabricLikeBase(m_loader) + m_gameVersion +
                       QLatin1Char('/') + m_loaderVersion + QStringLiteral("/profile/json"),
                   QUrl::TolerantMode);
    m_detail = expectedId + QStringLiteral(".json");
    if (!setStage(Loc::text("loader.progress.description").arg(loaderTitle(m_loader))))
        return;

    QNetworkReply* reply = HttpRequest::get(m_network, url, kDescriptionRecipe);
    m_reply = reply;
    const quint64 run = m_job.number();
    connect(reply, &QNetworkReply::finished, this, [this, reply, run, expectedId] {
        reply->deleteLater();
        if (m_reply == reply)
            m_reply = nullptr;
        if (m_job.isRunning(run))
            handleDescriptionReply(reply, expectedId);
    });
}

void ModLoaderInstaller::handleDescriptionReply(QNetworkReply* reply, const QString& expectedId)
{
    const QString title = loaderTitle(m_loader);
    if (reply->error() != QNetworkReply::NoError) {
        fail(Loc::text("loader.error.descriptionFetchFailed")
                 .arg(title, HttpRequest::errorText(reply)));
        return;
    }
    const QByteArray body = reply->readAll();
    const QJsonObject description = QJsonDocument::fromJson(body).object();
    const QString id = description.value(QStringLiteral("id")).toString();
    const QJsonValue parentValue = description.value(QStringLiteral("inheritsFrom"));
    const QString parent = parentValue.isString() ? parentValue.toString() : QString();

    // A description naming itself as its parent would replace the game version's own
    // description with one that inherits from itself.
    if (!PathRules::isInstallableVersionId(id) || id == parent) {
        fail(Loc::text("loader.error.descriptionBadId").arg(title));
        return;
    }
    if (parent != m_gameVersion) {
        fail(Loc::text("loader.error.descriptionWrongMinecraft").arg(title, parent, m_gameVersion));
        return;
    }
    if (id != expectedId)
        emit log(Loc::text("loader.status.versionId").arg(id));

    QString error;
    if (!VersionLoader::saveDescription(m_gameDir, id, body, &error)) {
        fail(error);
        return;
    }
    handOffToVersionInstaller(id);
}

// ---- Forge and NeoForge ----

QString ModLoaderInstaller::fileStem() const
{
    QString version = m_loaderVersion;
    version.replace(QLatin1Char('/'), QLatin1Char('_'));
    return loaderKey(m_loader) + QLatin1Char('-') + version;
}

void ModLoaderInstaller::beginInstallerJar()
{
    const QString title = loaderTitle(m_loader);
    const auto entry = m_loaderVersions->find(m_loader, m_gameVersion, m_loaderVersion);
    if (!entry || !entry->installerUrl.isValid()) {
        fail(Loc::text("loader.error.incompatible").arg(title, m_loaderVersion, m_gameVersion));
        return;
    }
    if (entry->installerUrl.scheme() != QLatin1String("https")) {
        fail(Loc::text("loader.error.installerBadUrl").arg(title));
        return;
    }
    downloadInstaller(entry->installerUrl, [this](const QString& path) { runInstaller(path); });
}

void ModLoaderInstaller::downloadInstaller(const QUrl& url,
                                           const std::function<void(const QString&)>& completion)
{
    const QString title = loaderTitle(m_loader);
    if (!LauncherPaths::ensureRootExists()) {
        fail(Loc::text("loader.error.launcherDirUnavailable"));
        return;
    }
    const QString path =
        LauncherPaths::loaderDownloadDir() + QLatin1Char('/') + fileStem() + "-installer.jar";
    m_detail = QFileInfo(path).fileName();
    if (!setStage(Loc::text("loader.progress.downloadingInstaller").arg(title)))
        return;

    Download* download = Download::start(m_network, {url, path}, kInstallerRecipe, {}, this);
    if (!download) {
        fail(Loc::text("loader.error.installerSaveFailed").arg(title));
        return;
    }
    connect(download, &Download::progress, this, [this, download](qint64 received, qint64 total) {
        if (download != m_download)
            return;
        m_bytesReceived = received;
        m_bytesTotal = total;
        emit progressChanged();
    });
    connect(download, &Download::ended, this,
            [this, download, completion] { handleInstallerDownloaded(download, completion); });
    m_download = download;
}

void ModLoaderInstaller::handleInstallerDownloaded(
    Download* download, const std::function<void(const QString&)>& completion)
{
    download->deleteLater();
    if (download != m_download)
        return;
    m_download = nullptr;
    if (!m_job.isRunning())
        return;
    const QString title = loaderTitle(m_loader);
    if (download->outcome() == Download::Outcome::Saved) {
        completion(download->target().path);
        return;
    }
    const auto transfer = [&title](const QString& reason) {
        return Loc::text("loader.error.installerDownloadFailed").arg(title, reason);
    };
    fail(download->failureMessage(
        {.transfer = transfer, .disk = Loc::text("loader.error.installerSaveFailed").arg(title)}));
}

bool ModLoaderInstaller::writeLauncherProfilesStub() const
{
    const QString path = m_gameDir + QStringLiteral("/launcher_profiles.json");
    if (QFileInfo::exists(path))
        return true;
    if (!QDir().mkpath(m_gameDir))
        return false;
    const QJsonObject stub{
        {QStringLiteral("authenticationDatabase"), QJsonObject()},
        {QStringLiteral("clientToken"), QString()},
        {QStringLiteral("launcherVersion"), QJsonObject{{QStringLiteral("format"), 21},
                                                        {QStringLiteral("name"), QString()},
                                                        {QStringLiteral("profilesFormat"), 2}}},
        {QStringLiteral("profiles"), QJsonObject()},
        {QStringLiteral("selectedProfile"), QString()},
    };
    return WholeFile::write(path, QJsonDocument(stub).toJson(QJsonDocument::Indented));
}

void ModLoaderInstaller::runInstaller(const QString& archivePath)
{
    const QString title = loaderTitle(m_loader);
    if (!writeLauncherProfilesStub()) {
        fail(Loc::text("loader.error.noLauncherProfiles").arg(title));
        return;
    }

    // The base version was made complete before; should it not load after all, the
    // game version itself tells the least Java it needs.
    const auto base = loadVersion(m_gameDir, m_gameVersion);
    const int requiredJava =
        base ? base->javaMajor
             : qMax(kFallbackJavaMajor, JavaRequirement::minimumFor(m_gameVersion));
    QString javaError;
    const QString java =
        JavaLocator::select(m_gameDir, requiredJava, m_preferredJavaPath, &javaError);
    if (java.isEmpty()) {
        fail(javaError.isEmpty() ? Loc::text("loader.error.noJava").arg(title) : javaError);
        return;
    }

    m_versionsBefore = VersionLoader::installedVersions(m_gameDir);
    m_snapshotTaken = true;

    m_installerLogPath =
        LauncherPaths::loaderDownloadDir() + QLatin1Char('/') + fileStem() + "-install.log";
    m_installerLog = new QFile(m_installerLogPath, this);
    if (!m_installerLog->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        delete std::exchange(m_installerLog, nullptr);
        m_installerLogPath.clear();
    }

    m_detail = Loc::text("loader.progress.installerRunning");
    m_bytesReceived = 0;
    m_bytesTotal = 0;
    if (!setStage(Loc::text("loader.progress.installing").arg(title)))
        return;
    const quint64 run = m_job.number();

    auto* process = new QProcess(this);
    m_process = process;
    process->setProgram(java);
    process->setArguments({QStringLiteral("-jar"), archivePath, QStringLiteral("--installClient"),
                           native(m_gameDir)});
    process->setWorkingDirectory(LauncherPaths::loaderDownloadDir());
    process->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString zlibMessage;
    m_zlibUnresolved = !ZlibReference::applyTo(environment, &zlibMessage);
    process->setProcessEnvironment(environment);
    if (!zlibMessage.isEmpty()) {
        appendInstallerLog(zlibMessage);
        emit log(zlibMessage);
    }

    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, process] { readInstallerOutput(process); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        handleInstallerError(process, error);
    });
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) {
                handleInstallerFinished(process, exitCode, status == QProcess::CrashExit);
            });

    const auto stillOurs = [this, run, process] {
        return run == m_job.number() && m_process == process;
    };
    process->start();
    const bool startedInTime = stillOurs() && process->waitForStarted(kStartTimeoutMs);
    if (!stillOurs()) // the error handler ended the run already
        return;
    if (!startedInTime) {
        fail(Loc::text("loader.error.installerFailedToStart").arg(title, process->errorString()));
        return;
    }
    QTimer::singleShot(m_installerTimeLimitMs, Qt::CoarseTimer, this, [this, stillOurs, process] {
        if (stillOurs())
            handleInstallerTimeout(process);
    });
}

void ModLoaderInstaller::readInstallerOutput(QProcess* process)
{
    if (process != m_process)
        return;
    const QString text = QString::fromLocal8Bit(process->readAllStandardOutput());
    const QStringList pieces = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
        const QString line = piece.trimmed();
        m_recentOutput.append(line);
        appendInstallerLog(line);
        emit log(line);
    }
    if (m_recentOutput.size() > kRecentOutputLines)
        m_recentOutput.remove(0, m_recentOutput.size() - kRecentOutputLines);
}

void ModLoaderInstaller::handleInstallerError(QProcess* process, int error)
{
    if (process != m_process || error == QProcess::Crashed || m_job.isCanceling())
        return;
    fail(Loc::text("loader.error.installerStartFailed")
             .arg(loaderTitle(m_loader), process->errorString()));
}

void ModLoaderInstaller::handleInstallerTimeout(QProcess* process)
{
    if (process->state() == QProcess::NotRunning)
        return; // its end is on the way to the finished handler
    killProcess(std::exchange(m_process, nullptr));
    // Whatever the killed installer left behind is as unfinished as after a failure.
    removeVersionsAddedByInstaller();
    fail(Loc::text("loader.error.installerTimeout").arg(loaderTitle(m_loader)));
}

void ModLoaderInstaller::handleInstallerFinished(QProcess* process, int exitCode, bool crashed)
{
    if (process != m_process)
        return;
    m_process = nullptr;
    process->deleteLater();
    closeInstallerLog();
    if (!m_job.isRunning())
        return;

    const QString title = loaderTitle(m_loader);
    const QString tail = m_recentOutput.join(QLatin1Char('\n'));
    if (crashed || exitCode != 0) {
        removeVersionsAddedByInstaller();
        QString message =
            Loc::text("loader.error.installerExitCode").arg(title, QString::number(exitCode));
        const QString hint = installerFailureHint();
        if (!hint.isEmpty())
            message += QLatin1Char('\n') + hint;
        if (!tail.isEmpty())
            message += QLatin1Char('\n') + tail;
        if (!m_installerLogPath.isEmpty())
            message += QLatin1Char('\n') +
                       Loc::text("loader.error.fullLog").arg(native(m_installerLogPath));
        fail(message);
        return;
    }

    QStringList added = versionsAddedByInstaller();
    if (added.isEmpty()) {
        // A reinstall over an existing version adds nothing new.
        for (const QString& id : VersionLoader::dependentsOf(m_gameDir, m_gameVersion)) {
            if (id.contains(m_loaderVersion))
                added.append(id);
        }
    }
    if (added.isEmpty()) {
        QString message = Loc::text("loader.error.noVersionProduced")
                              .arg(title, native(m_gameDir + QStringLiteral("/versions")));
        if (!tail.isEmpty())
            message += QLatin1Char('\n') + tail;
        fail(message);
        return;
    }

    QString chosen = added.first();
    for (const QString& id : std::as_const(added)) {
        if (id.contains(m_loaderVersion)) {
            chosen = id;
            break;
        }
    }
    // From here on the produced version stays, whatever becomes of the run.
    m_snapshotTaken = false;
    m_versionsBefore.clear();
    handOffToVersionInstaller(chosen);
}

QString ModLoaderInstaller::installerFailureHint() const
{
    if (!m_zlibUnresolved)
        return {};
    for (const QString& line : m_recentOutput) {
        if (line.contains(QLatin1String("Processor failed")) ||
            line.contains(QLatin1String("invalid outputs")))
            return Loc::text("loader.error.zlibNg");
    }
    return {};
}

// New versions count as the installer's only when they build on the base game
// version and the version installer is not writing them: a version installed
// beside the loader run is somebody else's.
QStringList ModLoaderInstaller::versionsAddedByInstaller() const
{
    if (!m_snapshotTaken)
        return {};
    const QStringList dependents = VersionLoader::dependentsOf(m_gameDir, m_gameVersion);
    const QSet<QString> before(m_versionsBefore.cbegin(), m_versionsBefore.cend());
    QStringList added;
    for (const QString& id : VersionLoader::installedVersions(m_gameDir)) {
        if (!before.contains(id) && dependents.contains(id) && !versionInstallerHolds(id))
            added.append(id);
    }
    return added;
}

void ModLoaderInstaller::removeVersionsAddedByInstaller()
{
    for (const QString& id : versionsAddedByInstaller()) {
        QString error;
        if (!VersionLoader::remove(m_gameDir, id, &error))
            emit log(Loc::text("loader.error.cleanupFailed").arg(id, error));
    }
    m_versionsBefore.clear();
    m_snapshotTaken = false;
}

void ModLoaderInstaller::appendInstallerLog(const QString& line)
{
    if (!m_installerLog)
        return;
    m_installerLog->write(line.toUtf8());
    m_installerLog->write("\n");
}

void ModLoaderInstaller::closeInstallerLog()
{
    if (QFile* log = std::exchange(m_installerLog, nullptr)) {
        log->close();
        delete log;
    }
}

// Stops a process the run no longer needs; none of its signals reach the run again.
void ModLoaderInstaller::killProcess(QProcess* process)
{
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(kKillWaitMs);
    }
    process->deleteLater();
}
