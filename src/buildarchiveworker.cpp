#include "buildarchiveworker.h"

#include "diskspace.h"
#include "localization.h"
#include "packledger.h"
#include "pathrules.h"
#include "readfailuretext.h"
#include "regularfile.h"
#include "systempath.h"
#include "ziparchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Archives, images and sounds, the game's region files (.mca, .mcr: chunks deflated one by
// one) and its gzip'd NBT (.dat, .nbt, .gz).
const QStringList kStoredSuffixes = {
    QStringLiteral(".jar"), QStringLiteral(".zip"), QStringLiteral(".png"),
    QStringLiteral(".ogg"), QStringLiteral(".mca"), QStringLiteral(".mcr"),
    QStringLiteral(".dat"), QStringLiteral(".nbt"), QStringLiteral(".gz")};

// Restoring is bound by inflating and copying, so a large archive is extracted by a few
// threads at once.
constexpr int kMaxExtractionThreads = 4;
constexpr int kEntriesPerExtractionThread = 64;

// Names are claimed in the ledger this many at a time, each run flushed before its files
// are written.
constexpr qsizetype kClaimedAtOnce = 256;

constexpr QDir::Filters kEveryEntry =
    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

int extractionThreads(int entryCount)
{
    const int byCores = std::max(1, QThread::idealThreadCount() / 2);
    const int byWork = std::max(1, entryCount / kEntriesPerExtractionThread);
    return std::min({kMaxExtractionThreads, byCores, byWork});
}

using PathRules::native;

using SystemPath::shown;

// The game folder is walked by the names the file system holds, so that every entry
// found leads back to itself, whatever bytes its name is made of.
QList<SystemPath::Entry> entriesOf(const QString& directory)
{
    return SystemPath::list(directory).value_or(QList<SystemPath::Entry>());
}

// A name that is "", "." or ".." (or holds "/") is no entry's own: the path it makes is
// the folder itself or one above it. The file system never gives such a name and
// SystemPath never reads one so, but were one met, acting on it would reach the shared
// entries or walk one folder forever; it stops the request before anything is done.
QString unreadableNameIn(const QString& folder)
{
    return Loc::text("switch.error.unreadableName").arg(shown(folder));
}

// What a walk of the game folder found.
struct Collected {
    QStringList files;
    qint64 bytes = 0;
    // The folder holding an entry named as no entry can be; the walk stopped there.
    QString unreadableIn;
};

void collectEntry(const QString& directory, const QString& relative, const SystemPath::Entry& entry,
                  Collected& found);

void collectBelow(const QString& directory, const QString& relative, Collected& found)
{
    for (const SystemPath::Entry& entry : entriesOf(directory)) {
        collectEntry(directory, relative, entry, found);
        if (!found.unreadableIn.isEmpty())
            return;
    }
}

void collectEntry(const QString& directory, const QString& relative, const SystemPath::Entry& entry,
                  Collected& found)
{
    if (!PathRules::isPlainFileName(entry.name)) {
        found.unreadableIn = directory;
        return;
    }
    const QString path = relative.isEmpty() ? entry.name : relative + QLatin1Char('/') + entry.name;
    if (entry.kind == SystemPath::Kind::Directory) {
        collectBelow(directory + QLatin1Char('/') + entry.name, path, found);
    } else if (entry.kind == SystemPath::Kind::File) {
        found.files.append(path);
        found.bytes += entry.size;
    }
}

// Removes, deepest first, every listed directory below root that exists and is empty.
void pruneEmptyDirs(const QString& root, QStringList relativeDirs)
{
    std::stable_sort(relativeDirs.begin(), relativeDirs.end(),
                     [](const QString& a, const QString& b) { return a.size() > b.size(); });
    const QDir base(root);
    const QString realRoot = QFileInfo(root).canonicalFilePath();
    for (const QString& relative : std::as_const(relativeDirs)) {
        if (relative.isEmpty() || relative == QLatin1String("."))
            continue;
        const QString path = base.filePath(relative);
        const QFileInfo info(path);
        // A folder reached through a linked parent lies elsewhere, and is not ours to remove.
        if (info.isSymLink() || !info.isDir() || !PathRules::isReallyInside(realRoot, path))
            continue;
        if (QDir(path).isEmpty(kEveryEntry))
            base.rmdir(relative);
    }
}

QString parentOf(const QString& path)
{
    return QFileInfo(path).absolutePath();
}

// Applies the permissions an entry was stored with, keeping the file usable by its owner.
void restorePermissions(const ZipEntryInfo& entry, const QString& path)
{
    if (entry.hasUnixPermissions())
        SystemPath::setMode(path, (entry.unixPermissions() & 0777) | S_IRUSR | S_IWUSR);
}

// Of the file entries that land on one file only the last is written, as extracting them
// in order would leave it; two extracting threads never write one file.
std::vector<bool> entriesToWrite(const QList<ZipEntryInfo>& entries)
{
    std::vector<bool> write(size_t(entries.size()), false);
    QHash<QString, qsizetype> lastOf;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const ZipEntryInfo& entry = entries.at(i);
        if (entry.isDirectory || entry.isSymlink)
            continue;
        const QString file = PathRules::collapsedPath(entry.name);
        if (const auto earlier = lastOf.constFind(file); earlier != lastOf.constEnd())
            write[size_t(*earlier)] = false;
        lastOf.insert(file, i);
        write[size_t(i)] = true;
    }
    return write;
}

bool hasRoomToExtract(const QList<ZipEntryInfo>& files, const QString& zipPath,
                      const QString& gameDir, QString* error)
{
    return DiskSpace::hasRoomFor(gameDir, ZipArchive::declaredSize(files), native(zipPath), error);
}

// The game directory that entries are extracted into, with the folders made below it so
// far. Where a folder really lies is checked before it is made, so a linked folder leading
// elsewhere gets nothing created on its far side; each folder is checked and made once,
// by whichever extracting thread needs it first. Its place cannot change afterwards: the
// worker alone writes below the game directory, and links are never extracted.
class ExtractionTarget {
public:
    explicit ExtractionTarget(const QString& gameDir)
        : m_root(QDir(gameDir).absolutePath() + QLatin1Char('/')),
          m_realGameDir(QFileInfo(gameDir).canonicalFilePath())
    {
    }

    const QString& root() const { return m_root; }
    const QString& realGameDir() const { return m_realGameDir; }

    // Writes one file entry; returns the failure message, empty on success. The data goes
    // to a new file that replaces the destination once complete: a link there is
    // replaced, never written through, and a file is never half-written in place.
    QString extract(const ZipArchive& zip, const ZipEntryInfo& entry, const char* escapeKey,
                    const char* cancelKey, const ZipArchive::CancelCheck& cancel)
    {
        const QString destination = m_root + entry.name;
        const QString folder = parentOf(destination);
        if (!isMade(folder)) {
            if (!PathRules::isReallyInside(m_realGameDir, folder))
                return Loc::text(escapeKey).arg(shown(entry.name));
            if (!SystemPath::makePath(folder))
                return Loc::text("common.error.createFailed").arg(shown(folder));
            const std::lock_guard<std::mutex> guard(m_lock);
            m_made.insert(folder);
        }
        QString error;
        if (!zip.extractEntry(entry.index, destination, &error, cancel))
            return zip.wasCancelled()
                       ? Loc::text(cancelKey)
                       : Loc::text("switch.error.writeFailed").arg(shown(entry.name), error);
        restorePermissions(entry, destination);
        return QString();
    }

private:
    bool isMade(const QString& folder)
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        return m_made.contains(folder);
    }

    const QString m_root;
    const QString m_realGameDir;
    std::mutex m_lock;
    QSet<QString> m_made;
};

// Each name once: first the list's, then the others' not in it.
QStringList unitedNames(QStringList names, const QStringList& others)
{
    QSet<QString> seen(names.cbegin(), names.cend());
    for (const QString& name : others) {
        if (!seen.contains(name)) {
            seen.insert(name);
            names.append(name);
        }
    }
    return names;
}

// A build archive holds the game folder's files under the names the file system gave
// them, bytes and all: a name that is not UTF-8 is restored as exactly those bytes.
QList<ZipEntryInfo> withStoredNames(QList<ZipEntryInfo> entries)
{
    for (ZipEntryInfo& entry : entries)
        entry.name = SystemPath::decode(entry.rawName);
    return entries;
}

// A process killed while a written file was taking its target's place leaves it beside
// the target under a temporary name. Applying that pack again sweeps the folders it writes.
void removeUnfinishedFiles(const ExtractionTarget& target, const QList<ZipEntryInfo>& entries)
{
    QSet<QString> folders;
    for (const ZipEntryInfo& entry : entries)
        folders.insert(parentOf(target.root() + entry.name));
    for (const QString& folder : std::as_const(folders)) {
        if (PathRules::isReallyInside(target.realGameDir(), folder))
            ZipArchive::removeUnfinishedFiles(folder);
    }
}

} // namespace

BuildArchiveWorker::BuildArchiveWorker(QObject* parent) : QObject(parent) {}

std::optional<QStringList> BuildArchiveWorker::collectFiles(const QString& gameDir,
                                                            const QStringList& excludeTop,
                                                            qint64* totalBytes, QString* error)
{
    Collected found;
    for (const SystemPath::Entry& entry : entriesOf(gameDir)) {
        if (!excludeTop.contains(entry.name, Qt::CaseSensitive))
            collectEntry(gameDir, QString(), entry, found);
        if (!found.unreadableIn.isEmpty()) {
            if (error)
                *error = unreadableNameIn(found.unreadableIn);
            return std::nullopt;
        }
    }
    if (totalBytes)
        *totalBytes += found.bytes;
    return found.files;
}

void BuildArchiveWorker::syncFileSystem(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return;
    ::syncfs(fd);
    ::close(fd);
}

const QStringList& BuildArchiveWorker::storedSuffixes()
{
    return kStoredSuffixes;
}

bool BuildArchiveWorker::isAlreadyCompressed(const QString& path)
{
    return std::any_of(kStoredSuffixes.begin(), kStoredSuffixes.end(), [&](const QString& suffix) {
        return path.endsWith(suffix, Qt::CaseInsensitive);
    });
}

void BuildArchiveWorker::archive(const QString& gameDir, const QString& tempZipPath,
                                 const QStringList& excludeTop)
{
    if (!QFileInfo(gameDir).isDir()) {
        fail(Loc::text("switch.error.gameDirMissing").arg(native(gameDir)));
        return;
    }
    QString error;
    const std::optional<QStringList> collected = collectFiles(gameDir, excludeTop, nullptr, &error);
    if (!collected) {
        fail(error);
        return;
    }
    const QStringList& files = *collected;
    // The game directory is cleared once the archive is committed: a name that restoring
    // refuses would leave the build saved but never coming back.
    for (const QString& relative : files) {
        if (!PathRules::isBuildArchivePath(relative)) {
            fail(Loc::text("switch.error.unsupportedName").arg(shown(relative)));
            return;
        }
    }
    const int count = int(files.size());
    emit progress(0, count, QString());

    ZipArchive zip;
    if (!zip.create(tempZipPath)) {
        fail(Loc::text("switch.error.archiveCreateFailed").arg(native(tempZipPath)));
        return;
    }
    const auto abandon = [&](const QString& message) {
        zip.discard();
        QFile::remove(tempZipPath);
        fail(message);
    };

    const QString root = QDir(gameDir).absolutePath() + QLatin1Char('/');
    for (const QString& relative : files) {
        if (cancelled()) {
            abandon(Loc::text("switch.status.archivingCancelled"));
            return;
        }
        // The data is read when the archive is written out; a file that cannot even be
        // opened is reported by its own name now. Neither open waits: what took the
        // place of a listed file since (a FIFO without a writer) is refused.
        RegularFile::Failure failure;
        const int probe = RegularFile::openDescriptor(root + relative, &failure);
        if (probe < 0) {
            abandon(ReadFailureText::message(relative, failure));
            return;
        }
        ::close(probe);
        ZipEntryOptions options;
        options.compression =
            isAlreadyCompressed(relative) ? ZipCompression::Store : ZipCompression::Deflate;
        if (!zip.addFile(relative, root + relative, nullptr, options)) {
            abandon(Loc::text("switch.error.archiveWriteFailed").arg(shown(relative)));
            return;
        }
    }

    // Entries are written in the order they were added; the fraction tells which one.
    int reported = 0;
    const auto reportUpTo = [&](int done) {
        while (reported < done) {
            ++reported;
            emit progress(reported, count, shown(files.at(reported - 1)));
        }
    };
    zip.setProgressCallback(
        [&](double fraction) { reportUpTo(std::clamp(int(fraction * count + 1e-9), 0, count)); });
    zip.setCancelCheck([this] { return cancelled(); });

    if (!zip.close(&error)) {
        if (zip.wasCancelled() || cancelled()) {
            abandon(Loc::text("switch.status.archivingCancelled"));
            return;
        }
        const QString current = files.value(std::min(reported, count - 1));
        abandon(error.isEmpty() ? Loc::text("switch.error.archiveWriteFailed").arg(shown(current))
                                : error);
        return;
    }
    // The archive is on the disk now, not only in the page cache: the switcher clears the
    // game directory once it is recorded.
    reportUpTo(count);
    succeed();
}

void BuildArchiveWorker::clear(const QString& gameDir, const QStringList& keepTop)
{
    if (!QFileInfo(gameDir).isDir()) {
        succeed();
        return;
    }
    QStringList doomed;
    for (const SystemPath::Entry& entry : entriesOf(gameDir)) {
        if (!PathRules::isPlainFileName(entry.name)) {
            fail(unreadableNameIn(gameDir));
            return;
        }
        if (!keepTop.contains(entry.name, Qt::CaseSensitive))
            doomed.append(entry.name);
    }
    const int count = int(doomed.size());
    emit progress(0, count, QString());
    const QString root = QDir(gameDir).absolutePath() + QLatin1Char('/');
    for (int i = 0; i < count; ++i) {
        const QString path = root + doomed.at(i);
        if (!SystemPath::remove(path)) {
            fail(Loc::text("switch.error.removeFailed").arg(shown(path)));
            return;
        }
        emit progress(i + 1, count, shown(doomed.at(i)));
    }
    succeed();
}

void BuildArchiveWorker::restore(const QString& zipPath, const QString& gameDir)
{
    ZipArchive zip;
    if (!zip.open(zipPath)) {
        fail(Loc::text("switch.error.archiveOpenFailed").arg(native(zipPath)));
        return;
    }
    const QList<ZipEntryInfo> entries = withStoredNames(zip.entries());
    const int count = int(entries.size());
    emit progress(0, count, QString());
    // Every name, and the room the archive needs, is checked before anything is written.
    for (const ZipEntryInfo& entry : entries) {
        if (!entry.isDirectory && !entry.isSymlink && !PathRules::isBuildArchivePath(entry.name)) {
            fail(Loc::text("switch.error.archiveBadPath").arg(shown(entry.name)));
            return;
        }
    }
    QString roomError;
    if (!hasRoomToExtract(entries, zipPath, gameDir, &roomError)) {
        fail(roomError);
        return;
    }
    const std::vector<bool> write = entriesToWrite(entries);
    if (!QDir().mkpath(gameDir)) {
        fail(Loc::text("common.error.createFailed").arg(native(gameDir)));
        return;
    }

    ExtractionTarget target(gameDir);
    const auto cancelCheck = [this] { return cancelled(); };
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
    std::mutex reportLock;
    int done = 0;
    QString failure;

    // Entries are taken one at a time from a shared counter; progress counts the entries
    // done, whatever order they finish in.
    const auto extractEntries = [&](const ZipArchive& reader) {
        for (int i = next++; i < count && !stop; i = next++) {
            const ZipEntryInfo& entry = entries.at(i);
            QString error;
            if (cancelled())
                error = Loc::text("switch.status.extractCancelled");
            else if (write[size_t(i)])
                error = target.extract(reader, entry, "switch.error.archiveBadPath",
                                       "switch.status.extractCancelled", cancelCheck);
            const std::lock_guard<std::mutex> guard(reportLock);
            if (!error.isEmpty()) {
                if (failure.isEmpty())
                    failure = error;
                stop = true;
                return;
            }
            if (!stop)
                emit progress(++done, count, shown(entry.name));
        }
    };

    std::vector<std::unique_ptr<ZipArchive>> readers;
    std::vector<std::thread> helpers;
    for (int k = 1; k < extractionThreads(count); ++k) {
        auto reader = std::make_unique<ZipArchive>();
        if (!reader->open(zipPath))
            break;
        helpers.emplace_back(extractEntries, std::cref(*reader));
        readers.push_back(std::move(reader));
    }
    extractEntries(zip);
    for (std::thread& helper : helpers)
        helper.join();
    if (!failure.isEmpty()) {
        fail(failure);
        return;
    }
    // The switch is recorded as done next, and a later switch archives this directory over
    // the build's archive: what was written must survive a power loss by then.
    syncFileSystem(gameDir);
    succeed();
}

bool BuildArchiveWorker::packMayWrite(const QString& name, const QStringList& forbiddenTop,
                                      QString* refusal)
{
    QString why;
    if (!PathRules::isPackPath(name))
        why = Loc::text("switch.error.packBadPath").arg(name);
    else if (forbiddenTop.contains(PathRules::topSegment(name), Qt::CaseSensitive))
        why = Loc::text("switch.error.packTouchesLauncher").arg(name);
    if (refusal)
        *refusal = why;
    return why.isEmpty();
}

void BuildArchiveWorker::applyPack(const QString& zipPath, const QString& gameDir,
                                   const QStringList& removeRelative,
                                   const QStringList& forbiddenTop, const QString& ledgerPath,
                                   const QString& recordPath)
{
    ZipArchive zip;
    if (!zip.open(zipPath)) {
        fail(Loc::text("switch.error.archiveOpenFailed").arg(native(zipPath)));
        return;
    }
    const QList<ZipEntryInfo>& entries = zip.entries();
    const std::vector<bool> write = entriesToWrite(entries);
    QList<ZipEntryInfo> toWrite;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const ZipEntryInfo& entry = entries.at(i);
        if (entry.isDirectory || entry.isSymlink)
            continue;
        QString refusal;
        if (!packMayWrite(entry.name, forbiddenTop, &refusal)) {
            fail(refusal);
            return;
        }
        if (write[size_t(i)])
            toWrite.append(entry);
    }
    QString error;
    if (!hasRoomToExtract(toWrite, zipPath, gameDir, &error)) {
        fail(error);
        return;
    }
    if (!QDir().mkpath(gameDir)) {
        fail(Loc::text("common.error.createFailed").arg(native(gameDir)));
        return;
    }
    ExtractionTarget target(gameDir);
    const QString& root = target.root();
    removeUnfinishedFiles(target, toWrite);

    QStringList removals = removeRelative;
    std::optional<PackLedger> ledger;
    if (!ledgerPath.isEmpty()) {
        ledger.emplace(ledgerPath, recordPath, gameDir);
        removals = unitedNames(removals, ledger->owned());
        if (!ledger->begin(removals, &error)) {
            fail(error);
            return;
        }
    }
    QStringList written;
    // From here on the ledger ends naming what the packs' files are, however this ends.
    const auto abandon = [&](const QString& message) {
        if (ledger)
            ledger->settle(removals + written);
        fail(message);
    };
    const int total = int(toWrite.size() + removals.size());
    emit progress(0, total, QString());

    int step = 0;
    QStringList pruneCandidates;
    for (const QString& relative : std::as_const(removals)) {
        if (cancelled()) {
            abandon(Loc::text("switch.status.installCancelled"));
            return;
        }
        const QString path = root + relative;
        const bool allowed =
            PathRules::isPackPath(relative) &&
            !forbiddenTop.contains(PathRules::topSegment(relative), Qt::CaseSensitive) &&
            PathRules::isInside(gameDir, path);
        if (allowed) {
            const QFileInfo info(path);
            if (info.exists() && PathRules::isReallyInside(target.realGameDir(), parentOf(path)) &&
                !QFile::remove(path)) {
                abandon(Loc::text("switch.error.removeFailed").arg(native(path)));
                return;
            }
            const QString parent = QFileInfo(relative).path();
            if (!pruneCandidates.contains(parent))
                pruneCandidates.append(parent);
        }
        emit progress(++step, total, relative);
    }
    pruneEmptyDirs(gameDir, pruneCandidates);

    const auto cancelCheck = [this] { return cancelled(); };
    for (qsizetype i = 0; i < toWrite.size(); ++i) {
        const ZipEntryInfo& entry = toWrite.at(i);
        if (cancelled()) {
            abandon(Loc::text("switch.status.installCancelled"));
            return;
        }
        if (!PathRules::isInside(gameDir, root + entry.name)) {
            abandon(Loc::text("switch.error.packEscapesGameDir").arg(entry.name));
            return;
        }
        if (ledger && i % kClaimedAtOnce == 0 &&
            !ledger->claim(toWrite.mid(i, kClaimedAtOnce), &error)) {
            abandon(error);
            return;
        }
        error = target.extract(zip, entry, "switch.error.packEscapesGameDir",
                               "switch.status.installCancelled", cancelCheck);
        if (!error.isEmpty()) {
            abandon(error);
            return;
        }
        written.append(entry.name);
        emit progress(++step, total, entry.name);
    }
    // The application is recorded as done next, from the thread that shows the window:
    // what was written goes to the disk here, so that this record does not wait for it.
    syncFileSystem(gameDir);
    if (ledger)
        ledger->settle(written);
    emit packEntries(written);
    succeed();
}
