#include "seasonalinstall.h"

#include "buildswitcher.h"
#include "javainstaller.h"
#include "javalocator.h"
#include "javaruntime.h"
#include "javaruntimeservice.h"
#include "launcherpaths.h"
#include "localization.h"
#include "modloaderinstaller.h"
#include "modloaderversionservice.h"
#include "pathrules.h"
#include "seasonalpackdownloader.h"
#include "versioninstaller.h"
#include "ziparchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSaveFile>

#include <utility>

namespace {
const QString kSeasonalId = QStringLiteral("seasonalId");
const QString kRevision = QStringLiteral("revision");
const QString kSha256 = QStringLiteral("sha256");
const QString kEntries = QStringLiteral("entries");

// The file keeps its old content unless the new one is written whole.
bool writeWhole(const QString& path, const QByteArray& bytes, QString* reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *reason = file.errorString();
    return false;
}
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

SeasonalInstall::SeasonalInstall(const QList<CustomBuild>& builds, const Services& services,
                                 Host host, QObject* parent)
    : QObject(parent), m_builds(builds), m_services(services), m_host(std::move(host))
{
    connectServices();
}

void SeasonalInstall::start(const SeasonalBuildEntry& entry, int buildId)
{
    ++m_run;
    m_running = true;
    m_stage = Stage::Idle;
    m_entry = entry;
    m_buildId = buildId;
    emit runningChanged();
    emit progress(Loc::text("seasonal.progress.installing").arg(entry.name));
    advance();
}

void SeasonalInstall::cancel()
{
    if (!m_running)
        return;
    switch (m_stage) {
    case Stage::Idle:
        break;
    case Stage::Switch:
    case Stage::Apply:
        emit error(Loc::text("switch.error.cannotCancel"));
        break;
    case Stage::Java:
        // While the catalog loads nothing runs yet: the install starts when it arrives.
        m_services.javaInstaller->cancel();
        break;
    case Stage::GameFiles:
        m_cancelRequested = true;
        if (m_services.loaderInstaller->busy())
            m_services.loaderInstaller->cancel();
        else
            m_services.versionInstaller->cancel();
        break;
    case Stage::Download:
        m_services.packDownloader->cancel();
        break;
    }
}

int SeasonalInstall::buildIndex() const
{
    for (qsizetype i = 0; i < m_builds.size(); ++i) {
        if (m_builds.at(i).id == m_buildId)
            return int(i);
    }
    return -1;
}

QString SeasonalInstall::buildName() const
{
    const int index = buildIndex();
    return index < 0 ? m_entry.name : m_builds.at(index).name;
}

// The stage is set before its work starts: a service may report inside the call that
// starts it, and that report, not this call, decides what comes next.
void SeasonalInstall::advance()
{
    const int index = buildIndex();
    if (index < 0) {
        fail(Loc::text("seasonal.error.entryGone"));
        return;
    }
    for (const Step& step : kSteps) {
        if (step.stage <= m_stage || !(this->*step.needed)(index))
            continue;
        m_stage = step.stage;
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
    const QString seasonalId = m_entry.id;
    end();
    emit progress(Loc::text("seasonal.status.buildInstalled").arg(name));
    emit finished(seasonalId, name);
}

void SeasonalInstall::fail(const QString& reason)
{
    const QString name = buildName();
    if (!m_archivePath.isEmpty())
        QFile::remove(m_archivePath);
    end();
    emit error(reason.isEmpty() ? Loc::text("seasonal.error.installAborted").arg(name)
                                : Loc::text("seasonal.error.installAbortedWhy").arg(name, reason));
}

void SeasonalInstall::end()
{
    ++m_run;
    m_running = false;
    m_stage = Stage::Idle;
    m_buildId = -1;
    m_entry = SeasonalBuildEntry();
    m_javaRuntimeId.clear();
    m_versionId.clear();
    m_versionRequeued = false;
    m_cancelRequested = false;
    m_packPath.clear();
    m_archivePath.clear();
    m_packUnrecorded = false;
    m_recordBeforeApplying = QJsonObject();
    emit runningChanged();
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
    m_host.switchTo(index);
}

int SeasonalInstall::javaMajor() const
{
    return m_entry.javaMajor > 0 ? m_entry.javaMajor
                                 : JavaRequirement::minimumFor(m_entry.minecraftVersion);
}

bool SeasonalInstall::needsJava(int) const
{
    const int major = javaMajor();
    return major > 0 && JavaLocator::select(m_host.gameDir(), major, QString()).isEmpty();
}

void SeasonalInstall::beginJava(int)
{
    emit progress(Loc::text("seasonal.progress.installingJava").arg(javaMajor()));
    QPointer<SeasonalInstall> self(this);
    m_services.javaRuntimes->ensureLoaded(
        [self, run = m_run](bool ok, const QString& message) {
            if (self && self->m_run == run && self->awaits(Stage::Java))
                self->installJava(ok, message);
        },
        false);
}

void SeasonalInstall::installJava(bool catalogLoaded, const QString& message)
{
    if (!catalogLoaded) {
        fail(message.isEmpty() ? Loc::text("seasonal.error.javaCatalogFailed") : message);
        return;
    }
    const int major = javaMajor();
    const std::optional<JavaRuntimeEntry> entry = m_services.javaRuntimes->bestFor(major);
    if (!entry) {
        fail(Loc::text("seasonal.error.noJavaBuild").arg(major));
        return;
    }
    m_javaRuntimeId = entry->id;
    m_services.javaInstaller->install(*entry);
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
    // The version installer ignores a blank id: nothing would ever end this stage.
    const QString version = build.minecraftVersion.trimmed();
    if (version.isEmpty()) {
        fail(Loc::text("seasonal.error.noGameVersion"));
        return;
    }
    if (const std::optional<ModLoader> loader = loaderFromKey(build.loader)) {
        m_host.installLoader(index, *loader);
        return;
    }
    m_versionId = version;
    m_services.versionInstaller->install(m_host.gameDir(), version);
}

void SeasonalInstall::beginDownload(int)
{
    m_packPath = LauncherPaths::buildDir(m_buildId) + QStringLiteral("/.pack-r") +
                 QString::number(m_entry.revision) + QStringLiteral(".zip");
    m_services.packDownloader->download(m_entry.archiveUrl, m_packPath, m_entry.sha256,
                                        m_entry.archiveSize, m_entry.name);
}

void SeasonalInstall::beginApply(int index)
{
    if (m_archivePath.isEmpty()) {
        fail(Loc::text("seasonal.error.filesNotDownloaded"));
        return;
    }
    const QStringList removals = packEntries(m_buildId);
    QString error;
    if (!recordBeforeApplying(removals, &error)) {
        emit this->error(error);
        fail();
        return;
    }
    m_services.switcher->applyPack(m_buildId, m_builds.at(index).name, m_archivePath, removals,
                                   packNote(m_entry), m_host.gameDir());
}

// ---- What the services report ----

void SeasonalInstall::connectServices()
{
    connect(m_services.switcher, &BuildSwitcher::finished, this,
            [this](int buildId) { onSwitchEnded(buildId, true); });
    connect(m_services.switcher, &BuildSwitcher::failed, this,
            [this](int buildId, const QString&, bool gameDirIntact) {
                onSwitchEnded(buildId, false, gameDirIntact);
            });

    connect(m_services.javaInstaller, &JavaInstaller::finished, this,
            [this](const QString& runtimeId) {
                if (awaits(Stage::Java) && runtimeId == m_javaRuntimeId)
                    advance();
            });
    const auto javaEnded = [this] {
        if (awaits(Stage::Java) && !m_javaRuntimeId.isEmpty())
            fail();
    };
    connect(m_services.javaInstaller, &JavaInstaller::failed, this, javaEnded);
    connect(m_services.javaInstaller, &JavaInstaller::canceled, this, javaEnded);

    connect(m_services.versionInstaller, &VersionInstaller::finished, this,
            [this](const QString& versionId) { onVersionEnded(versionId, true); });
    connect(m_services.versionInstaller, &VersionInstaller::failed, this,
            [this](const QString& versionId) { onVersionEnded(versionId, false); });
    connect(m_services.versionInstaller, &VersionInstaller::canceled, this,
            [this](const QString& versionId) { onVersionEnded(versionId, false); });

    connect(m_services.loaderInstaller, &ModLoaderInstaller::finished, this,
            [this] { onLoaderEnded(true); });
    connect(m_services.loaderInstaller, &ModLoaderInstaller::failed, this,
            [this] { onLoaderEnded(false); });
    connect(m_services.loaderInstaller, &ModLoaderInstaller::canceled, this,
            [this] { onLoaderEnded(false); });

    connect(m_services.packDownloader, &SeasonalPackDownloader::finished, this,
            [this](const QString& path) {
                if (!awaits(Stage::Download) || path != m_packPath)
                    return;
                m_archivePath = path;
                advance();
            });
    const auto packEnded = [this] {
        if (awaits(Stage::Download))
            fail();
    };
    connect(m_services.packDownloader, &SeasonalPackDownloader::failed, this, packEnded);
    connect(m_services.packDownloader, &SeasonalPackDownloader::canceled, this, packEnded);
}

void SeasonalInstall::onSwitchEnded(int buildId, bool ok, bool gameDirIntact)
{
    if (buildId != m_buildId)
        return;
    if (awaits(Stage::Switch)) {
        ok ? advance() : fail();
    } else if (awaits(Stage::Apply)) {
        // An application that changed nothing wrote none of the pack's files: the record
        // goes back to naming only the files that are there.
        if (!ok && gameDirIntact)
            restoreRecordBeforeApplying();
        ok && !m_packUnrecorded ? finish() : fail();
    }
}

// The version installer runs jobs for anyone; only the job of this version decides. A job
// of another version that fails or is cancelled drops every job waiting behind it, this
// one included: it is asked again once, unless the install itself was being cancelled.
void SeasonalInstall::onVersionEnded(const QString& versionId, bool ok)
{
    if (!awaitsVersion())
        return;
    if (versionId == m_versionId) {
        ok ? advance() : fail();
        return;
    }
    VersionInstaller* installer = m_services.versionInstaller;
    if (installer->versionId() == m_versionId || installer->isQueued(m_versionId))
        return;
    if (m_cancelRequested || std::exchange(m_versionRequeued, true)) {
        fail();
        return;
    }
    installer->install(m_host.gameDir(), m_versionId);
}

void SeasonalInstall::onLoaderEnded(bool ok)
{
    if (awaitsLoader())
        ok ? advance() : fail();
}

// ---- The pack record ----

QJsonObject SeasonalInstall::packNote(const SeasonalBuildEntry& entry)
{
    return {{kSeasonalId, entry.id}, {kRevision, entry.revision}, {kSha256, entry.sha256}};
}

std::optional<SeasonalInstall::PackRecord> SeasonalInstall::packRecordOf(const QJsonObject& note)
{
    PackRecord record{note.value(kSeasonalId).toString(), note.value(kRevision).toInt(),
                      note.value(kSha256).toString()};
    if (record.seasonalId.isEmpty() || record.revision <= 0)
        return std::nullopt;
    return record;
}

QStringList SeasonalInstall::packFileNames(const QString& archivePath)
{
    ZipArchive zip;
    if (!zip.open(archivePath))
        return {};
    const QStringList shared = BuildSwitcher::sharedTopLevel();
    QStringList names;
    for (const ZipEntryInfo& entry : zip.entries()) {
        if (!entry.isDirectory && !entry.isSymlink && PathRules::isPackPath(entry.name) &&
            !shared.contains(PathRules::topSegment(entry.name)))
            names.append(entry.name);
    }
    return names;
}

// Before the pack touches the game directory, the record names every file either pack may
// leave there, so that a failure, a kill or a record that cannot be written afterwards still
// leaves the next application all it has to remove.
bool SeasonalInstall::recordBeforeApplying(const QStringList& removals, QString* error)
{
    m_recordBeforeApplying = readRecord(m_buildId);
    m_recordBeforeApplying.insert(kEntries, QJsonArray::fromStringList(removals));
    QStringList entries = removals;
    for (const QString& name : packFileNames(m_archivePath)) {
        if (!entries.contains(name))
            entries.append(name);
    }
    QJsonObject document = m_recordBeforeApplying;
    document.insert(kEntries, QJsonArray::fromStringList(entries));
    if (!writeRecord(m_buildId, document, error))
        return false;
    m_unrecordedEntries.remove(m_buildId);
    return true;
}

void SeasonalInstall::restoreRecordBeforeApplying()
{
    if (!writeRecord(m_buildId, m_recordBeforeApplying))
        m_unrecordedEntries.insert(m_buildId, packEntries(m_buildId));
}

QJsonObject SeasonalInstall::readRecord(int buildId)
{
    QFile file(LauncherPaths::seasonalStateFile(buildId));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool SeasonalInstall::writeRecord(int buildId, const QJsonObject& document, QString* error)
{
    const QString buildDir = LauncherPaths::buildDir(buildId);
    const QString path = LauncherPaths::seasonalStateFile(buildId);
    QString reason;
    if (!QDir().mkpath(buildDir))
        reason = Loc::text("storage.error.createFailed").arg(QDir::toNativeSeparators(buildDir));
    else if (writeWhole(path, QJsonDocument(document).toJson(QJsonDocument::Indented), &reason))
        return true;
    if (error)
        *error =
            Loc::text("storage.error.saveFailedWhy").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

QStringList SeasonalInstall::packEntries(int buildId) const
{
    const auto unrecorded = m_unrecordedEntries.constFind(buildId);
    if (unrecorded != m_unrecordedEntries.cend())
        return *unrecorded;
    QStringList entries;
    const QJsonArray array = readRecord(buildId).value(kEntries).toArray();
    for (const QJsonValue& value : array)
        entries.append(value.toString());
    return entries;
}

bool SeasonalInstall::recordPack(int buildId, const PackRecord& record, const QStringList& entries,
                                 QString* error)
{
    const QJsonObject document{
        {kSeasonalId, record.seasonalId},
        {kRevision, record.revision},
        {kSha256, record.sha256},
        {QStringLiteral("installedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {kEntries, QJsonArray::fromStringList(entries)},
    };
    if (writeRecord(buildId, document, error)) {
        m_unrecordedEntries.remove(buildId);
        return true;
    }
    // Every removal of this application is done: these files are all that is left of the
    // packs before the next one.
    m_unrecordedEntries.insert(buildId, entries);
    if (awaits(Stage::Apply) && buildId == m_buildId)
        m_packUnrecorded = true;
    return false;
}
