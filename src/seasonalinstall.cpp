#include "seasonalinstall.h"

#include "buildedits.h"
#include "buildswitcher.h"
#include "javainstaller.h"
#include "javalocator.h"
#include "javaruntime.h"
#include "javaruntimeservice.h"
#include "launcherpaths.h"
#include "localization.h"
#include "modloaderinstaller.h"
#include "modloaderversionservice.h"
#include "packledger.h"
#include "pathrules.h"
#include "seasonalpackdownloader.h"
#include "versioninstaller.h"
#include "wholefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>

#include <utility>

namespace {
const QString kSeasonalId = QStringLiteral("seasonalId");
const QString kRevision = QStringLiteral("revision");
const QString kSha256 = QStringLiteral("sha256");
const QString kEntries = QStringLiteral("entries");
} // namespace

const SeasonalInstall::Step SeasonalInstall::kSteps[] = {
    {Stage::Switch, &SeasonalInstall::needsSwitch, &SeasonalInstall::beginSwitch},
    {Stage::Java, &SeasonalInstall::needsJava, &SeasonalInstall::beginJava},
    {Stage::GameFiles, &SeasonalInstall::needsGameFiles, &SeasonalInstall::beginGameFiles},
    // The pack is fetched and applied even for the revision installed already: its files
    // may have been changed since.
    {Stage::Download, &SeasonalInstall::always, &SeasonalInstall::beginDownload},
    {Stage::Apply, &SeasonalInstall::always, &SeasonalInstall::beginApply},
};

SeasonalInstall::SeasonalInstall(const QList<CustomBuild>& builds, Host host, QObject* parent)
    : QObject(parent), m_builds(builds), m_host(std::move(host))
{
    m_recordWriter.setMaxThreadCount(1);
}

SeasonalInstall::Host SeasonalInstall::serviceHost(const Services& services)
{
    Host host;
    host.hasJava = [](const QString& gameDir, int major) {
        return !JavaLocator::select(gameDir, major, QString()).isEmpty();
    };
    JavaRuntimeService* runtimes = services.javaRuntimes;
    host.loadJavaCatalog = [runtimes](std::function<void(bool, const QString&)> done) {
        runtimes->ensureLoaded(std::move(done), false);
    };
    host.bestJavaFor = [runtimes](int major) { return runtimes->bestFor(major); };
    JavaInstaller* java = services.javaInstaller;
    host.installJava = [java](const JavaRuntimeEntry& entry, JobDone done) {
        java->install(entry, std::move(done));
    };
    host.cancelJava = [java] { java->cancel(); };
    VersionInstaller* versions = services.versionInstaller;
    host.installVersion = [versions](const QString& gameDir, const QString& id, JobDone done) {
        versions->install(gameDir, id, std::move(done));
    };
    host.cancelVersion = [versions] { versions->cancel(); };
    ModLoaderInstaller* loaders = services.loaderInstaller;
    host.cancelLoader = [loaders] { loaders->cancel(); };
    SeasonalPackDownloader* packs = services.packDownloader;
    host.downloadPack = [packs](const QUrl& url, const QString& path, const QString& sha256,
                                qint64 size, const QString& label, JobDone done) {
        packs->download(url, path, sha256, size, label, std::move(done));
    };
    host.cancelDownload = [packs] { packs->cancel(); };
    BuildSwitcher* switcher = services.switcher;
    host.applyPack = [switcher](int buildId, const QString& name, const QString& archivePath,
                                const QStringList& removals, const QJsonObject& note,
                                const QString& gameDir, JobDone done) {
        switcher->applyPack(buildId, name, archivePath, removals, note, gameDir, std::move(done));
    };
    return host;
}

void SeasonalInstall::start(const SeasonalBuildEntry& entry, int buildId)
{
    m_job.begin();
    m_run = Run();
    m_run.buildId = buildId;
    m_run.entry = entry;
    emit runningChanged();
    emit progress(Loc::text("seasonal.progress.installing").arg(entry.name));
    advance();
}

void SeasonalInstall::cancel()
{
    if (!m_job.isBusy())
        return;
    switch (m_run.stage) {
    case Stage::Idle:
        break;
    case Stage::Switch:
    case Stage::Apply:
        emit error(Loc::text("switch.error.cannotCancel"));
        break;
    case Stage::Java:
        // While the catalog loads nothing runs yet: the install starts when it arrives.
        m_host.cancelJava();
        break;
    case Stage::GameFiles:
        m_job.markCanceling();
        if (m_run.versionId.isEmpty())
            m_host.cancelLoader();
        else
            m_host.cancelVersion();
        break;
    case Stage::Download:
        m_host.cancelDownload();
        break;
    }
}

int SeasonalInstall::buildIndex() const
{
    return BuildEdits::indexOfBuildId(m_builds, m_run.buildId);
}

QString SeasonalInstall::buildName() const
{
    const int index = buildIndex();
    return index < 0 ? m_run.entry.name : m_builds.at(index).name;
}

// The stage is set before its work starts: a service may answer inside the call that
// starts it, and that answer, not this call, decides what comes next.
void SeasonalInstall::advance()
{
    const int index = buildIndex();
    if (index < 0) {
        fail(Loc::text("seasonal.error.entryGone"));
        return;
    }
    for (const Step& step : kSteps) {
        if (step.stage <= m_run.stage || !(this->*step.needed)(index))
            continue;
        m_run.stage = step.stage;
        (this->*step.begin)(index);
        return;
    }
    finish();
}

// Listeners may start the next install from the signals sent here: what the messages
// name is taken first, and nothing is touched after the state is reset.
void SeasonalInstall::finish()
{
    const QString name = buildName();
    const QString seasonalId = m_run.entry.id;
    end();
    emit progress(Loc::text("seasonal.status.buildInstalled").arg(name));
    emit finished(seasonalId, name);
}

// The reason is its own copy: it may be part of the run that ends here.
void SeasonalInstall::fail(QString reason)
{
    const QString name = buildName();
    if (!m_run.archivePath.isEmpty())
        QFile::remove(m_run.archivePath);
    end();
    emit error(reason.isEmpty() ? Loc::text("seasonal.error.installAborted").arg(name)
                                : Loc::text("seasonal.error.installAbortedWhy").arg(name, reason));
}

void SeasonalInstall::end()
{
    m_job.end();
    m_run = Run();
    emit runningChanged();
}

// The completion of work this run starts at its current stage: an answer that comes
// after the run ended or moved on finds nothing to do.
template <typename... Args>
std::function<void(Args...)> SeasonalInstall::answerTo(void (SeasonalInstall::*react)(Args...))
{
    QPointer<SeasonalInstall> self(this);
    return [self, react, run = m_job.number(), stage = m_run.stage](Args... args) {
        if (self && self->m_job.isCurrent(run) && self->m_run.stage == stage)
            (self.data()->*react)(args...);
    };
}

// ---- Stages ----

// After a switch broke off, or the active build was removed, the directory holds no build
// whole even where the build is the one shown active.
bool SeasonalInstall::needsSwitch(int index) const
{
    return !m_host.holdsBuild(index);
}

void SeasonalInstall::beginSwitch(int index)
{
    m_host.switchTo(index, answerTo(&SeasonalInstall::onStageEnded));
}

int SeasonalInstall::javaMajor() const
{
    const SeasonalBuildEntry& entry = m_run.entry;
    return entry.javaMajor > 0 ? entry.javaMajor
                               : JavaRequirement::minimumFor(entry.minecraftVersion);
}

bool SeasonalInstall::needsJava(int) const
{
    const int major = javaMajor();
    return major > 0 && !m_host.hasJava(m_host.gameDir(), major);
}

void SeasonalInstall::beginJava(int)
{
    emit progress(Loc::text("seasonal.progress.installingJava").arg(javaMajor()));
    m_host.loadJavaCatalog(answerTo(&SeasonalInstall::installJava));
}

void SeasonalInstall::installJava(bool catalogLoaded, const QString& message)
{
    if (!catalogLoaded) {
        fail(message.isEmpty() ? Loc::text("seasonal.error.javaCatalogFailed") : message);
        return;
    }
    const int major = javaMajor();
    const std::optional<JavaRuntimeEntry> entry = m_host.bestJavaFor(major);
    if (!entry) {
        fail(Loc::text("seasonal.error.noJavaBuild").arg(major));
        return;
    }
    m_host.installJava(*entry, answerTo(&SeasonalInstall::onStageEnded));
}

bool SeasonalInstall::needsGameFiles(int index) const
{
    const CustomBuild& build = m_builds.at(index);
    if (loaderFromKey(build.loader))
        return build.resolvedVersionId.isEmpty() || !m_host.missingFiles(index).isEmpty();
    return !m_host.missingFiles(index).isEmpty();
}

void SeasonalInstall::beginGameFiles(int index)
{
    const CustomBuild& build = m_builds.at(index);
    // Either installer would refuse a blank version without saying that the build names none.
    const QString version = build.minecraftVersion.trimmed();
    if (version.isEmpty()) {
        fail(Loc::text("seasonal.error.noGameVersion"));
        return;
    }
    if (const std::optional<ModLoader> loader = loaderFromKey(build.loader)) {
        m_host.installLoader(index, *loader, answerTo(&SeasonalInstall::onStageEnded));
        return;
    }
    m_run.versionId = version;
    m_host.installVersion(m_host.gameDir(), version, answerTo(&SeasonalInstall::onVersionEnded));
}

void SeasonalInstall::beginDownload(int)
{
    const SeasonalBuildEntry& entry = m_run.entry;
    const QString path = LauncherPaths::buildDir(m_run.buildId) + QStringLiteral("/.pack-r") +
                         QString::number(entry.revision) + QStringLiteral(".zip");
    m_host.downloadPack(entry.archiveUrl, path, entry.sha256, entry.archiveSize, entry.name,
                        answerTo(&SeasonalInstall::onDownloadEnded));
}

void SeasonalInstall::beginApply(int index)
{
    if (m_run.archivePath.isEmpty()) {
        fail(Loc::text("seasonal.error.filesNotDownloaded"));
        return;
    }
    // What the build's earlier packs left is known to the application itself, from the
    // build's ledger: it reads and keeps it while it works.
    m_host.applyPack(m_run.buildId, m_builds.at(index).name, m_run.archivePath, QStringList(),
                     packNote(m_run.entry), m_host.gameDir(),
                     answerTo(&SeasonalInstall::onApplyEnded));
}

// ---- How the stages' work ended ----

namespace {

// What the install's end names as the reason it broke off: the service's own words for a
// failure; a cancel is the player's, and needs none.
QString reasonOf(const JobOutcome& outcome)
{
    return outcome.kind == JobOutcome::Failure ? outcome.message : QString();
}

} // namespace

// The service reported a failure or cancel itself; the install's end repeats the reason,
// since its message is the one that stays on screen.
void SeasonalInstall::onStageEnded(const JobOutcome& outcome)
{
    outcome.kind == JobOutcome::Success ? advance() : fail(reasonOf(outcome));
}

// The version installer runs jobs for anyone: one that fails or is cancelled drops every
// job waiting behind it, this one included. It is asked again once, unless the install
// itself was being cancelled.
void SeasonalInstall::onVersionEnded(const JobOutcome& outcome)
{
    if (outcome.kind != JobOutcome::Drop) {
        onStageEnded(outcome);
        return;
    }
    if (m_job.isCanceling() || std::exchange(m_run.versionAskedAgain, true)) {
        fail();
        return;
    }
    m_host.installVersion(m_host.gameDir(), m_run.versionId,
                          answerTo(&SeasonalInstall::onVersionEnded));
}

void SeasonalInstall::onDownloadEnded(const JobOutcome& outcome)
{
    if (outcome.kind == JobOutcome::Success)
        m_run.archivePath = outcome.result;
    onStageEnded(outcome);
}

void SeasonalInstall::onApplyEnded(const JobOutcome& outcome)
{
    if (outcome.kind != JobOutcome::Success) {
        fail(reasonOf(outcome));
        return;
    }
    m_run.applied = true;
    endApplication();
}

// The install ends with the application and the record of its pack, whichever is last.
void SeasonalInstall::endApplication()
{
    switch (m_run.record) {
    case Record::Pending:
        break;
    case Record::Failed:
        fail(m_run.recordError);
        break;
    case Record::None:
    case Record::Written:
        finish();
        break;
    }
}

// ---- The pack record ----

QJsonObject SeasonalInstall::packNote(const SeasonalBuildEntry& entry)
{
    return {{kSeasonalId, entry.id}, {kRevision, entry.revision}, {kSha256, entry.sha256}};
}

std::optional<SeasonalInstall::PackRecord> SeasonalInstall::packRecordOf(const QJsonObject& note)
{
    PackRecord record;
    record.seasonalId = note.value(kSeasonalId).toString();
    record.revision = note.value(kRevision).toInt();
    record.sha256 = note.value(kSha256).toString();
    if (record.seasonalId.isEmpty() || record.revision <= 0)
        return std::nullopt;
    return record;
}

bool SeasonalInstall::writeRecord(int buildId, const QJsonObject& document, QString* error)
{
    const QString buildDir = LauncherPaths::buildDir(buildId);
    const QString path = LauncherPaths::seasonalStateFile(buildId);
    QString reason;
    if (!QDir().mkpath(buildDir))
        reason = Loc::text("storage.error.createFailed").arg(PathRules::native(buildDir));
    else if (WholeFile::write(path, QJsonDocument(document).toJson(QJsonDocument::Indented),
                              &reason))
        return true;
    if (error)
        *error = Loc::text("storage.error.saveFailedWhy").arg(PathRules::native(path), reason);
    return false;
}

void SeasonalInstall::recordPack(int buildId, const PackRecord& record, const QStringList& entries,
                                 std::function<void()> recorded)
{
    const bool awaited = awaits(Stage::Apply) && buildId == m_run.buildId;
    if (awaited)
        m_run.record = Record::Pending;
    const QString installedAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    m_recordWriter.start([this, buildId, record, entries, installedAt, awaited,
                          run = m_job.number(), recorded = std::move(recorded)] {
        QJsonObject document{
            {kSeasonalId, record.seasonalId},
            {kRevision, record.revision},
            {kSha256, record.sha256},
            {QStringLiteral("installedAt"), installedAt},
            {kEntries, QJsonArray::fromStringList(entries)},
        };
        if (!record.gameDir.isEmpty()) {
            document.insert(PackLedger::kRecordGameDir,
                            QDir::cleanPath(QDir(record.gameDir).absolutePath()));
            const QString place = PackLedger::placeOf(record.gameDir);
            if (!place.isEmpty())
                document.insert(PackLedger::kRecordGamePlace, place);
        }
        QString error;
        const bool written = writeRecord(buildId, document, &error);
        QMetaObject::invokeMethod(
            this,
            [this, buildId, run, awaited, written, error, recorded] {
                onRecordWritten(buildId, run, awaited, written, error, recorded);
            },
            Qt::QueuedConnection);
    });
}

void SeasonalInstall::onRecordWritten(int buildId, quint64 run, bool awaited, bool written,
                                      const QString& error, const std::function<void()>& recorded)
{
    if (written && recorded)
        recorded();
    if (!awaited || !m_job.isCurrent(run) || !awaits(Stage::Apply) || buildId != m_run.buildId) {
        if (!written)
            emit this->error(error);
        return;
    }
    m_run.record = written ? Record::Written : Record::Failed;
    m_run.recordError = error;
    if (m_run.applied)
        endApplication();
}
