#include "buildswitcher.h"

#include "buildarchiveworker.h"
#include "diskspace.h"
#include "launcherpaths.h"
#include "localization.h"
#include "pathrules.h"
#include "regularfile.h"
#include "stagedfile.h"
#include "wholefile.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <cstring>

namespace {

const QString kIndexFile = QStringLiteral("index.json");
const QString kStateIdle = QStringLiteral("idle");
const QString kStateSwitching = QStringLiteral("switching");
const QString kStateApplying = QStringLiteral("applying");

const QString kState = QStringLiteral("state");
const QString kActive = QStringLiteral("active");
const QString kFrom = QStringLiteral("from");
const QString kTo = QStringLiteral("to");
const QString kBuilds = QStringLiteral("builds");
const QString kPack = QStringLiteral("pack");
const QString kPackName = QStringLiteral("packName");
const QString kPackRemove = QStringLiteral("packRemove");
const QString kPackNote = QStringLiteral("packNote");

constexpr qint64 kSpaceReserve = 268435456; // 256 MiB beyond the archived bytes
constexpr int kShutdownWaitMs = 5000;

using PathRules::native;

QString indexPath()
{
    return LauncherPaths::buildStorageDir() + QLatin1Char('/') + kIndexFile;
}

QString indexWriteFailed()
{
    return Loc::text("switch.error.indexWriteFailed").arg(native(indexPath()));
}

QString indexState(const QJsonObject& index)
{
    return index.value(kState).toString();
}

void removeKeys(QJsonObject& index, std::initializer_list<QString> keys)
{
    for (const QString& key : keys)
        index.remove(key);
}

} // namespace

BuildSwitcher::BuildSwitcher(QObject* parent)
    : QObject(parent), m_thread(new QThread(this)), m_worker(new BuildArchiveWorker)
{
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &BuildArchiveWorker::finished, this, &BuildSwitcher::onWorkerFinished);
    connect(m_worker, &BuildArchiveWorker::progress, this, &BuildSwitcher::onWorkerProgress);
    connect(m_worker, &BuildArchiveWorker::packEntries, this,
            [this](const QStringList& entries) { m_packEntries = entries; });
    m_thread->start(QThread::InheritPriority);
    sweepTempArchives();
}

BuildSwitcher::~BuildSwitcher()
{
    m_worker->raiseCancel();
    m_thread->quit();
    if (!m_thread->wait(kShutdownWaitMs)) {
        // Destroying a running thread would take the process down with it, and clearing
        // does not look at the cancel flag: wait for the worker to reach its next check.
        qWarning("Build switcher: waiting for the file operation in progress to stop");
        m_thread->wait();
    }
}

QStringList BuildSwitcher::sharedTopLevel()
{
    return {QStringLiteral("assets"), QStringLiteral("libraries"), QStringLiteral("versions"),
            QStringLiteral("launcher_profiles.json"), QStringLiteral("runtime")};
}

void BuildSwitcher::setAvailableSpaceProbeForTesting(std::function<qint64(const QString&)> probe)
{
    DiskSpace::setProbeForTesting(std::move(probe));
}

double BuildSwitcher::fraction() const
{
    if (m_stage == Idle || m_total <= 0)
        return -1.0;
    return double(m_done) / double(m_total);
}

QString BuildSwitcher::buildDir(int buildId) const
{
    return LauncherPaths::buildDir(buildId);
}

void BuildSwitcher::setStage(int stage, const QString& text)
{
    m_stage = stage;
    m_stageText = text;
    emit progressChanged();
}

void BuildSwitcher::startOperation(int fromId, int toId, const QString& toName,
                                   const QString& gameDir, JobCallers callers)
{
    m_callers = std::move(callers);
    m_fromId = fromId;
    m_toId = toId;
    m_toName = toName;
    m_gameDir = gameDir;
    m_done = 0;
    m_total = 0;
    m_worker->lowerCancel();
    m_appliedPackNote = QJsonObject();
}

void BuildSwitcher::switchTo(int fromId, const QString& fromName, int toId, const QString& toName,
                             const QString& gameDir, JobDone done)
{
    if (busy()) {
        refuse(toId, Loc::text("common.error.switchInProgress"), JobCallers(std::move(done)));
        return;
    }
    QString error;
    if (!LauncherPaths::ensureRootExists(&error)) {
        refuse(toId, error, JobCallers(std::move(done)));
        return;
    }
    startOperation(fromId, toId, toName, gameDir, JobCallers(std::move(done)));
    m_fromName = fromName;

    const QJsonObject index = readIndex();
    if (indexState(index) == kStateSwitching) {
        // The game directory holds a half-switched mix, not the build being left: archiving
        // it would replace that build's good archive. Nothing is saved; the same target
        // simply resumes the recorded switch.
        m_fromId = -1;
        if (index.value(kTo).toInt(-1) == toId) {
            beginClearing();
            return;
        }
    }
    if (m_fromId < 0 || !QFileInfo(gameDir).isDir()) {
        if (!recordUnsavedSwitch()) {
            refuse(toId, indexWriteFailed(), m_callers.take());
            return;
        }
        beginClearing();
        return;
    }

    const QString fromDir = buildDir(fromId);
    if (!QDir().mkpath(fromDir)) {
        refuse(toId, Loc::text("common.error.createFailed").arg(native(fromDir)), m_callers.take());
        return;
    }
    if (!checkDiskSpace(&error)) {
        refuse(toId, error, m_callers.take());
        return;
    }
    m_tempArchive = fromDir + QStringLiteral("/.tmp-") +
                    QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".zip");
    setStage(Archiving, Loc::text("switch.progress.saving").arg(m_fromName));
    requestArchive();
}

bool BuildSwitcher::checkDiskSpace(QString* error) const
{
    qint64 size = 0;
    BuildArchiveWorker::collectFiles(m_gameDir, sharedTopLevel(), &size);
    const qint64 need = size + kSpaceReserve;
    const qint64 available = DiskSpace::availableBytes(LauncherPaths::buildStorageDir());
    if (available < 0 || available >= need)
        return true;
    if (error)
        *error = Loc::text("switch.error.notEnoughSpace")
                     .arg(m_fromName, QString::number(need / 1048576));
    return false;
}

// A switch that saves nothing still changes the game directory: it is recorded before
// anything is cleared, so an interruption is finished at the next start instead of
// leaving a partial build that a later switch would archive as if it were whole.
bool BuildSwitcher::recordUnsavedSwitch()
{
    QJsonObject index = readIndex();
    // A new target for a switch left unfinished keeps the build that switch left on record:
    // its archive holds that build's only copy, to be gone back to or forgotten.
    if (indexState(index) != kStateSwitching)
        index.insert(kFrom, -1);
    index.insert(kState, kStateSwitching);
    index.insert(kTo, m_toId);
    return writeIndex(index);
}

void BuildSwitcher::requestArchive()
{
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, gameDir = m_gameDir, temp = m_tempArchive, exclude = sharedTopLevel()] {
            worker->archive(gameDir, temp, exclude);
        },
        Qt::QueuedConnection);
}

void BuildSwitcher::requestClear()
{
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, gameDir = m_gameDir, keep = sharedTopLevel()] {
            worker->clear(gameDir, keep);
        },
        Qt::QueuedConnection);
}

void BuildSwitcher::requestRestore(const QString& zipPath)
{
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, zipPath, gameDir = m_gameDir] { worker->restore(zipPath, gameDir); },
        Qt::QueuedConnection);
}

void BuildSwitcher::requestApplyPack()
{
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, pack = m_packPath, gameDir = m_gameDir, removals = m_packRemovals,
         forbidden = sharedTopLevel(), ledger = LauncherPaths::packLedgerFile(m_toId),
         record = LauncherPaths::seasonalStateFile(m_toId)] {
            worker->applyPack(pack, gameDir, removals, forbidden, ledger, record);
        },
        Qt::QueuedConnection);
}

void BuildSwitcher::commitArchive()
{
    const QString fromDir = buildDir(m_fromId);
    const QString fileName = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
                             QLatin1Char('_') + PathRules::buildArchiveName(m_fromName) +
                             QStringLiteral(".zip");
    const QString finalPath = fromDir + QLatin1Char('/') + fileName;

    if (QFileInfo::exists(finalPath) && !QFile::remove(finalPath)) {
        QFile::remove(m_tempArchive);
        fail(Loc::text("switch.error.archiveReplaceFailed").arg(native(finalPath)), true);
        return;
    }
    if (!QFile::rename(m_tempArchive, finalPath)) {
        QFile::remove(m_tempArchive);
        fail(Loc::text("switch.error.archiveSaveFailed").arg(native(finalPath)), true);
        return;
    }
    // Until its name is on the disk the archive may be lost with the power, so the game
    // directory stays as it is, older archives beside it.
    int flushError = 0;
    if (!StagedFile::flushFolder(QFile::encodeName(fromDir), &flushError)) {
        fail(Loc::text("storage.error.saveFailedWhy")
                 .arg(native(finalPath), QString::fromLocal8Bit(std::strerror(flushError))),
             true);
        return;
    }
    const QString finalAbsolute = QFileInfo(finalPath).absoluteFilePath();
    const QFileInfoList older =
        QDir(fromDir).entryInfoList({QStringLiteral("*.zip")}, QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : older) {
        if (!info.fileName().startsWith(QLatin1Char('.')) &&
            info.absoluteFilePath() != finalAbsolute)
            QFile::remove(info.absoluteFilePath());
    }

    QJsonObject index = readIndex();
    index.insert(kState, kStateSwitching);
    index.insert(kFrom, m_fromId);
    index.insert(kTo, m_toId);
    QJsonObject builds = index.value(kBuilds).toObject();
    builds.insert(QString::number(m_fromId),
                  QJsonObject{{QStringLiteral("archive"), fileName},
                              {QStringLiteral("name"), m_fromName},
                              {QStringLiteral("savedAt"),
                               QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}});
    index.insert(kBuilds, builds);
    // Without this record a crash while clearing could not be finished: the game directory
    // is touched only once it is on the disk.
    if (!writeIndex(index)) {
        fail(indexWriteFailed(), true);
        return;
    }
    beginClearing();
}

void BuildSwitcher::beginClearing()
{
    setStage(Clearing, Loc::text("switch.progress.preparing").arg(m_toName));
    requestClear();
}

void BuildSwitcher::beginRestoring()
{
    m_stage = Restoring;
    const QString archive = archivePathOf(m_toId);
    if (archive.isEmpty()) {
        finish();
        return;
    }
    setStage(Restoring, Loc::text("switch.progress.restoring").arg(m_toName));
    requestRestore(archive);
}

void BuildSwitcher::finish()
{
    QJsonObject index = readIndex();
    index.insert(kState, kStateIdle);
    index.insert(kActive, m_toId);
    removeKeys(index, {kFrom, kTo});
    // Reporting success with the switch still recorded as unfinished would make the next
    // switch throw the restored build away.
    if (!writeIndex(index)) {
        fail(indexWriteFailed(), false);
        return;
    }
    succeed();
}

void BuildSwitcher::becomeIdle()
{
    m_stage = Idle;
    m_stageText.clear();
    m_currentPath.clear();
    m_done = 0;
    m_total = 0;
    emit progressChanged();
}

void BuildSwitcher::succeed()
{
    const JobCallers callers = m_callers.take();
    becomeIdle();
    emit finished(m_toId);
    callers.answer(JobOutcome::succeeded());
}

void BuildSwitcher::fail(const QString& message, bool gameDirIntact)
{
    const JobCallers callers = m_callers.take();
    becomeIdle();
    emit failed(m_toId, message, gameDirIntact);
    callers.answer(JobOutcome::failed(message, gameDirIntact));
}

void BuildSwitcher::refuse(int toId, const QString& message, JobCallers callers)
{
    emit failed(toId, message, true);
    callers.answer(JobOutcome::failed(message));
}

void BuildSwitcher::cancel()
{
    if (m_stage == Archiving)
        m_worker->raiseCancel();
}

void BuildSwitcher::onWorkerProgress(int done, int total, const QString& path)
{
    if (m_stage == Idle)
        return;
    m_done = done;
    m_total = total;
    m_currentPath = path;
    emit progressChanged();
}

void BuildSwitcher::onWorkerFinished(bool ok, const QString& message)
{
    switch (m_stage) {
    case Archiving:
        if (ok) {
            commitArchive();
        } else {
            QFile::remove(m_tempArchive);
            fail(message, true);
        }
        break;
    case Clearing:
        ok ? beginRestoring() : fail(message, false);
        break;
    case Restoring:
        ok ? finish() : fail(message, false);
        break;
    case Applying:
        ok ? finishApplying() : fail(message, m_done == 0);
        break;
    default:
        break;
    }
}

QString BuildSwitcher::archivePathOf(int buildId) const
{
    QFileInfoList archives =
        QDir(buildDir(buildId)).entryInfoList({QStringLiteral("*.zip")}, QDir::Files);
    std::sort(archives.begin(), archives.end(), [](const QFileInfo& a, const QFileInfo& b) {
        const QDateTime ta = a.lastModified();
        const QDateTime tb = b.lastModified();
        return ta != tb ? ta > tb : a.fileName() < b.fileName();
    });
    for (const QFileInfo& info : std::as_const(archives)) {
        if (!info.fileName().startsWith(QLatin1Char('.')))
            return info.absoluteFilePath();
    }
    return QString();
}

bool BuildSwitcher::hasUnfinishedSwitch() const
{
    return indexState(readIndex()) == kStateSwitching;
}

// --- pack application and recovery ---

void BuildSwitcher::applyPack(int buildId, const QString& name, const QString& packPath,
                              const QStringList& removals, const QJsonObject& note,
                              const QString& gameDir, JobDone done)
{
    if (busy()) {
        refuse(buildId, Loc::text("switch.error.busy"), JobCallers(std::move(done)));
        return;
    }
    QString error;
    if (!LauncherPaths::ensureRootExists(&error)) {
        refuse(buildId, error, JobCallers(std::move(done)));
        return;
    }
    if (!QFileInfo(packPath).isFile()) {
        refuse(buildId, Loc::text("switch.error.archiveMissing").arg(native(packPath)),
               JobCallers(std::move(done)));
        return;
    }
    QJsonObject index = readIndex();
    // Marking the switch done after installing over a half-switched directory would let
    // the next switch archive that mix as the build's content.
    if (indexState(index) == kStateSwitching) {
        refuse(buildId, Loc::text("switch.error.switchUnfinished"), JobCallers(std::move(done)));
        return;
    }
    startOperation(-1, buildId, name, gameDir, JobCallers(std::move(done)));
    m_packPath = packPath;
    m_packRemovals = removals;
    m_packNote = note;
    m_packEntries.clear();

    index.insert(kState, kStateApplying);
    index.insert(kTo, buildId);
    index.insert(kPack, QFileInfo(packPath).fileName());
    index.insert(kPackName, name);
    index.insert(kPackRemove, QJsonArray::fromStringList(removals));
    index.insert(kPackNote, note);
    if (!writeIndex(index)) {
        refuse(buildId, indexWriteFailed(), m_callers.take());
        return;
    }
    beginApplying();
}

void BuildSwitcher::beginApplying()
{
    setStage(Applying, Loc::text("switch.progress.installing").arg(m_toName));
    requestApplyPack();
}

void BuildSwitcher::finishApplying()
{
    QFile::remove(m_packPath);
    QJsonObject index = readIndex();
    index.insert(kState, kStateIdle);
    index.insert(kActive, m_toId);
    removeKeys(index, {kFrom, kTo, kPack, kPackName, kPackRemove, kPackNote});
    // The pack file is gone already, so a stale "applying" record is reset at the next start.
    if (!writeIndex(index))
        qWarning("Build switcher: could not record the finished pack installation");
    m_appliedPackNote = m_packNote;
    m_packPath.clear();
    m_packRemovals.clear();
    m_packNote = QJsonObject();
    succeed();
}

QString BuildSwitcher::interruptedSwitchWarning() const
{
    const QJsonObject index = readIndex();
    const QString state = indexState(index);
    if (state == kStateApplying) {
        const QString name = index.value(kPackName).toString();
        const QString suffix =
            name.isEmpty() ? QString() : Loc::text("switch.status.nameSuffix").arg(name);
        return Loc::text("switch.status.applyInterrupted").arg(suffix);
    }
    if (state == kStateSwitching) {
        const int to = index.value(kTo).toInt(-1);
        const QString name = index.value(kBuilds)
                                 .toObject()
                                 .value(QString::number(to))
                                 .toObject()
                                 .value(QStringLiteral("name"))
                                 .toString();
        const QString suffix =
            name.isEmpty() ? QString() : Loc::text("switch.status.targetSuffix").arg(name);
        return Loc::text("switch.status.switchInterrupted").arg(suffix);
    }
    return QString();
}

void BuildSwitcher::resumeInterrupted(const QString& gameDir)
{
    const QJsonObject index = readIndex();
    const QString state = indexState(index);
    if (state == kStateApplying) {
        resumeApplying(index, gameDir);
        return;
    }
    if (state != kStateSwitching)
        return;
    const int to = index.value(kTo).toInt(-1);
    if (to < 0 || busy())
        return;
    startOperation(-1, to, QString(), gameDir);
    m_toName = index.value(kBuilds)
                   .toObject()
                   .value(QString::number(to))
                   .toObject()
                   .value(QStringLiteral("name"))
                   .toString();
    beginClearing();
}

void BuildSwitcher::resumeApplying(const QJsonObject& index, const QString& gameDir)
{
    const int to = index.value(kTo).toInt(-1);
    if (to < 0 || busy())
        return;
    const QString packName = index.value(kPack).toString();
    const QString packPath = buildDir(to) + QLatin1Char('/') + packName;
    if (!PathRules::isPlainFileName(packName) || !QFileInfo(packPath).isFile()) {
        QJsonObject reset = index;
        reset.insert(kState, kStateIdle);
        removeKeys(reset, {kPack, kPackName, kPackRemove, kPackNote, kTo});
        writeIndex(reset);
        return;
    }
    QStringList removals;
    for (const QJsonValue& value : index.value(kPackRemove).toArray())
        removals.append(value.toString());
    startOperation(-1, to, index.value(kPackName).toString(), gameDir);
    m_packPath = packPath;
    m_packRemovals = removals;
    m_packNote = index.value(kPackNote).toObject();
    m_packEntries.clear();
    beginApplying();
}

bool BuildSwitcher::forgetBuild(int buildId)
{
    if (buildId < 0)
        return true;
    QJsonObject index = readIndex();
    QJsonObject builds = index.value(kBuilds).toObject();
    builds.remove(QString::number(buildId));
    index.insert(kBuilds, builds);
    if (index.value(kActive).toInt(-1) == buildId)
        index.remove(kActive);
    // A recorded switch towards this build can no longer be finished: it goes back to the
    // build that was left, whose archive was committed before the record was written.
    // Without one the record stays but has no target, so the half-switched directory is
    // still never archived as a build's content.
    if (indexState(index) == kStateSwitching) {
        const int from = index.value(kFrom).toInt(-1);
        if (index.value(kTo).toInt(-1) == buildId) {
            if (from >= 0 && from != buildId)
                index.insert(kTo, from);
            else
                index.remove(kTo);
        }
        if (from == buildId)
            index.remove(kFrom);
    }
    writeIndex(index);
    const QString dir = buildDir(buildId);
    if (!QFileInfo::exists(dir))
        return true;
    return QDir(dir).removeRecursively();
}

bool BuildSwitcher::renumberBuild(int oldId, int newId)
{
    const QString dir = buildDir(oldId);
    return !QFileInfo::exists(dir) || QDir().rename(dir, buildDir(newId));
}

// --- index and housekeeping ---

QJsonObject BuildSwitcher::readIndex() const
{
    return RegularFile::readObject(indexPath());
}

bool BuildSwitcher::writeIndex(const QJsonObject& index) const
{
    if (!LauncherPaths::ensureRootExists())
        return false;
    return WholeFile::write(indexPath(), QJsonDocument(index).toJson(QJsonDocument::Indented));
}

void BuildSwitcher::sweepTempArchives() const
{
    const QFileInfoList dirs =
        QDir(LauncherPaths::buildStorageDir()).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo& dir : dirs) {
        // The zip library writes through a temporary file of its own beside the archive.
        const QFileInfoList temps =
            QDir(dir.absoluteFilePath())
                .entryInfoList({QStringLiteral(".tmp-*.zip"), QStringLiteral(".tmp-*.zip.*")},
                               QDir::Files | QDir::Hidden | QDir::System);
        for (const QFileInfo& temp : temps)
            QFile::remove(temp.absoluteFilePath());
    }
}
