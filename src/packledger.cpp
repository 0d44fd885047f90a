#include "packledger.h"

#include "localization.h"
#include "pathrules.h"
#include "regularfile.h"
#include "wholefile.h"
#include "ziparchive.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <array>
#include <optional>

#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// One name a line. The list of the folder the last application ran in comes first:
// "D folder", the game folder its names are relative to, "R place", where that folder
// really is ("inode;real path", the inode "-" where the file system numbers them anew at
// every mount), then "F name" for each file an application wrote, each followed by
// "S size;crc name" where the size and hexadecimal CRC-32 of what the pack wrote are
// known, then "E". The lists of other folders follow, each "O folder", "R place", then
// "N name" and "S size;crc name" for its files and "K stamp name" for the claims it was
// left with. Last come "C stamp name" for each name claimed before its file was written,
// the stamp being "identity;size;crc": what stood there then ("device:inode", "-" for
// nothing), then what the pack puts there. Names are kept on one line each by escaping
// the percent sign and line breaks.
//
// A launcher that knows only D, F, E and C lines reads the first list as its own and
// forgets the rest: it never counts a name of another folder. One that compares whole
// places finds no inode "-" its own, and counts of such a list only the files that hold
// what the pack wrote: never a player's file, at a real path whichever folder stands there
// after a remount.
const QByteArray kFolderTag = QByteArrayLiteral("D ");
const QByteArray kPlaceTag = QByteArrayLiteral("R ");
const QByteArray kWrittenTag = QByteArrayLiteral("F ");
const QByteArray kSumsTag = QByteArrayLiteral("S ");
const QByteArray kOtherFolderTag = QByteArrayLiteral("O ");
const QByteArray kWrittenElsewhereTag = QByteArrayLiteral("N ");
const QByteArray kClaimedElsewhereTag = QByteArrayLiteral("K ");
const QByteArray kClaimedTag = QByteArrayLiteral("C ");
const QByteArray kNothing = QByteArrayLiteral("-");
// Ends the list of written files, which the claims follow: a ledger without it was cut
// short (or written before the list had an end).
const QByteArray kEndOfList = QByteArrayLiteral("E");
constexpr char kStampSeparator = ';';
constexpr qsizetype kReadChunk = 256 * 1024;
// A pack of 65,535 files with long names claims every one of them: room for that and more.
constexpr qint64 kLedgerLimit = 256 * 1024 * 1024;
// File systems whose inode numbers are given anew at every mount: after a reboot an inode
// there says nothing of which folder it was.
constexpr std::array<long, 3> kInodesRenumbered = {MSDOS_SUPER_MAGIC, EXFAT_SUPER_MAGIC,
                                                   FUSE_SUPER_MAGIC};

bool keepsInodeNumbers(int fd)
{
    struct statfs info {};
    return ::fstatfs(fd, &info) != 0 ||
           std::find(kInodesRenumbered.cbegin(), kInodesRenumbered.cend(), long(info.f_type)) ==
               kInodesRenumbered.cend();
}

// The parts of a place, "inode;real path".
QStringView inodeIn(const QString& place)
{
    return QStringView(place).left(place.indexOf(QLatin1Char(';')));
}

QStringView realPathIn(const QString& place)
{
    const qsizetype separator = place.indexOf(QLatin1Char(';'));
    return separator < 0 ? QStringView() : QStringView(place).sliced(separator + 1);
}

QByteArray encodedName(const QString& name)
{
    QByteArray bytes = name.toUtf8();
    bytes.replace('%', "%25").replace('\n', "%0A").replace('\r', "%0D");
    return bytes;
}

QString decodedName(const QByteArray& bytes)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

QByteArray sumsText(quint64 size, quint32 crc)
{
    return QByteArray::number(size) + kStampSeparator + QByteArray::number(crc, 16);
}

// "tag fields name", the fields separated by ';'.
QByteArray stampedLine(const QByteArray& tag, const QByteArray& fields, const QString& name)
{
    return tag + fields + ' ' + encodedName(name) + '\n';
}

struct Stamped {
    QList<QByteArray> leading;
    quint64 size = 0;
    quint32 crc = 0;
    QString name;
};

// A line "tag fields name" with `count` fields ending in "size;crc": its fields before
// those, what the pack wrote and its name, when the line has them all.
std::optional<Stamped> readStamped(const QByteArray& line, qsizetype count)
{
    const qsizetype space = line.indexOf(' ', 2);
    if (space < 0)
        return std::nullopt;
    QList<QByteArray> fields = line.sliced(2, space - 2).split(kStampSeparator);
    if (fields.size() != count)
        return std::nullopt;
    bool sizeRead = false;
    bool crcRead = false;
    const quint64 size = fields.at(count - 2).toULongLong(&sizeRead);
    const quint32 crc = fields.at(count - 1).toUInt(&crcRead, 16);
    if (!sizeRead || !crcRead)
        return std::nullopt;
    fields.resize(count - 2);
    return Stamped{std::move(fields), size, crc, decodedName(line.sliced(space + 1))};
}

QByteArray claimedLine(const QString& identity, const ZipEntryInfo& entry)
{
    return stampedLine(kClaimedTag,
                       identity.toLatin1() + kStampSeparator + sumsText(entry.size, entry.crc),
                       entry.name);
}

// Whether an identity recorded by a claim names this file. Only the inode is compared: a
// device may be numbered anew at the next boot.
bool isSameFile(const QByteArray& identity, const struct stat& info)
{
    const qsizetype colon = identity.indexOf(':');
    bool ok = false;
    const quint64 inode = colon < 0 ? 0 : identity.sliced(colon + 1).toULongLong(&ok);
    return ok && inode == quint64(info.st_ino);
}

bool isLater(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

std::optional<quint32> contentCrc(const QString& path)
{
    const int fd = RegularFile::openDescriptor(path);
    if (fd < 0)
        return std::nullopt;
    uLong crc = crc32_z(0, nullptr, 0);
    QByteArray buffer(kReadChunk, Qt::Uninitialized);
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (got > 0)
            crc = crc32_z(crc, reinterpret_cast<const Bytef*>(buffer.constData()), size_t(got));
    } while (got > 0 || (got < 0 && errno == EINTR));
    ::close(fd);
    if (got < 0)
        return std::nullopt;
    return quint32(crc);
}

QStringList entriesOf(const QJsonObject& record)
{
    QStringList entries;
    const QJsonArray array = record.value(QStringLiteral("entries")).toArray();
    entries.reserve(array.size());
    for (const QJsonValue& value : array)
        entries.append(value.toString());
    return entries;
}

// Adds each name once, in the order met.
class NameList {
public:
    explicit NameList(QStringList* names) : m_names(names) {}
    void add(const QString& name)
    {
        if (!name.isEmpty() && !m_seen.contains(name)) {
            m_seen.insert(name);
            m_names->append(name);
        }
    }

private:
    QSet<QString> m_seen;
    QStringList* m_names;
};

} // namespace

const QString PackLedger::kRecordGameDir = QStringLiteral("gameDir");
const QString PackLedger::kRecordGamePlace = QStringLiteral("gameDirPlace");

PackLedger::PackLedger(const QString& ledgerPath, const QString& recordPath, const QString& gameDir)
    : m_ledgerPath(ledgerPath), m_recordPath(recordPath),
      m_root(QDir(gameDir).absolutePath() + QLatin1Char('/')), m_place(placeOf(gameDir))
{
}

// The inode and the file system are those of one descriptor: of the same folder, should
// another take its path meanwhile.
QString PackLedger::placeOf(const QString& folder)
{
    const QString real = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty())
        return {};
    const int fd = ::open(QFile::encodeName(real).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat info {};
    const bool found = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    const bool inodeTells = found && keepsInodeNumbers(fd);
    ::close(fd);
    if (!found)
        return {};
    const QString inode =
        inodeTells ? QString::number(quint64(info.st_ino)) : QString::fromLatin1(kNothing);
    return inode + QLatin1Char(kStampSeparator) + real;
}

QStringList PackLedger::recordEntries(const QString& recordPath)
{
    if (recordPath.isEmpty())
        return {};
    return entriesOf(RegularFile::readObject(recordPath));
}

void PackLedger::load()
{
    if (std::exchange(m_loaded, true))
        return;
    m_lists.emplaceBack();
    RegularFile::Failure failure;
    const std::optional<QByteArray> content =
        RegularFile::read(m_ledgerPath, kLedgerLimit, &failure);
    m_missing = !content && failure.kind == RegularFile::Failure::Kind::Missing;
    if (content)
        read(*content);
    assignRoles();
}

void PackLedger::read(const QByteArray& content)
{
    QList<QByteArray> lines = content.split('\n');
    // What follows the last line break is a line cut short by a kill: a claim whose file
    // was never begun, as claims reach the disk before their files do.
    lines.removeLast();
    if (!lines.isEmpty() && lines.first().startsWith(kFolderTag))
        m_lists.first().folder = decodedName(lines.takeFirst().sliced(kFolderTag.size()));
    for (const QByteArray& line : std::as_const(lines)) {
        const bool first = m_lists.size() == 1;
        FolderList& list = m_lists.last();
        if (line == kEndOfList) {
            m_whole = true;
        } else if (line.size() <= 2) {
            continue;
        } else if (line.startsWith(kOtherFolderTag)) {
            m_lists.emplaceBack().folder = decodedName(line.sliced(2));
        } else if (line.startsWith(kPlaceTag)) {
            list.place = decodedName(line.sliced(2));
        } else if (line.startsWith(first ? kWrittenTag : kWrittenElsewhereTag)) {
            list.names.append(decodedName(line.sliced(2)));
        } else if (line.startsWith(kSumsTag)) {
            if (const auto sums = readStamped(line, 2))
                list.sums.insert(sums->name, Sums{sums->size, sums->crc});
        } else if (line.startsWith(kClaimedTag) ||
                   (!first && line.startsWith(kClaimedElsewhereTag))) {
            // Claims are added to the first list's folder, after every list.
            FolderList& owner = line.startsWith(kClaimedTag) ? m_lists.first() : list;
            // A claim that does not say what the pack puts there (one written before claims
            // did) cannot tell pack from player, and never counts.
            if (const auto claim = readStamped(line, 3))
                owner.claims.append(
                    Claim{claim->leading.first(), Sums{claim->size, claim->crc}, claim->name});
        }
    }
}

QStringList PackLedger::owned()
{
    load();
    if (m_missing)
        return recordEntriesHere();
    QStringList found;
    for (const FolderList& list : std::as_const(m_lists))
        count(list, list.role == Role::Here, &found);
    // Empty, cut short or unreadable, the ledger no longer tells everything the packs
    // wrote: what the record of the last whole application adds keeps those files from
    // being left behind.
    if (!m_whole)
        found += recordedFilesInPlace();
    QStringList names;
    NameList unique(&names);
    for (const QString& name : std::as_const(found))
        unique.add(name);
    return names;
}

// Adds the names of a folder's list that are the packs' files here.
void PackLedger::count(const FolderList& list, bool here, QStringList* names)
{
    for (const QString& name : list.names) {
        const std::optional<Sums> sums =
            list.sums.contains(name) ? std::optional(list.sums.value(name)) : std::nullopt;
        if (here ? standsAt(name) : holdsWhatThePackWrote(name, sums)) {
            names->append(name);
            if (sums)
                m_sums.insert(name, *sums);
        }
    }
    for (const Claim& claim : list.claims) {
        if (here ? claimWasWritten(claim) : holdsWhatThePackWrote(claim.name, claim.sums)) {
            names->append(claim.name);
            m_sums.insert(claim.name, claim.sums);
        }
    }
}

// The first list of this folder is its own. Any other at its real path is of a folder that
// stood there before: one made again at the path, a player's other installation put there,
// or, where inodes tell nothing, a list left by a launcher that took the folder for another
// after a remount.
void PackLedger::assignRoles()
{
    bool ownFound = false;
    for (FolderList& list : m_lists) {
        const bool here = isThisFolder(list);
        if (here && !std::exchange(ownFound, true))
            list.role = Role::Here;
        else if (here || isAtThisRealPath(list))
            list.role = Role::Gone;
        else
            list.role = Role::Elsewhere;
    }
}

bool PackLedger::isThisFolder(const FolderList& list) const
{
    if (!list.folder)
        return true;
    if (!list.place.isEmpty())
        return isThisPlace(list.place);
    return PathRules::isSameFolder(*list.folder, m_root);
}

// Where this folder's place names no inode, any place at its real path is this folder's,
// whatever inode a launcher wrote there in an earlier mount.
bool PackLedger::isThisPlace(const QString& place) const
{
    if (m_place.isEmpty())
        return false;
    return place == m_place || (inodeIn(m_place) == QLatin1String(kNothing) &&
                                realPathIn(place) == realPathIn(m_place));
}

bool PackLedger::isAtThisRealPath(const FolderList& list) const
{
    return !list.place.isEmpty() && !m_place.isEmpty() &&
           realPathIn(list.place) == realPathIn(m_place);
}

// The record's names whose files took their place before the record was written: its
// application's files. A player's file put at such a name later, or anything a switch
// extracted anew, took its place since, and is kept.
QStringList PackLedger::recordedFilesInPlace()
{
    struct stat record {};
    if (m_recordPath.isEmpty() || ::stat(QFile::encodeName(m_recordPath).constData(), &record) != 0)
        return {};
    QStringList names;
    for (const QString& name : recordEntriesHere()) {
        struct stat info {};
        if (::lstat(QFile::encodeName(m_root + name).constData(), &info) == 0 &&
            !isLater(info.st_ctim, record.st_mtim))
            names.append(name);
    }
    return names;
}

// The record's entries where they were written to the game folder in effect. A record
// that names no folder speaks of the ledger's, where the ledger names one.
QStringList PackLedger::recordEntriesHere()
{
    if (m_recordPath.isEmpty())
        return {};
    load();
    const QJsonObject record = RegularFile::readObject(m_recordPath);
    const QJsonValue folder = record.value(kRecordGameDir);
    const FolderList& first = m_lists.first();
    FolderList written;
    written.folder = first.folder;
    if (!folder.isUndefined()) {
        written.folder = folder.toString();
        written.place = record.value(kRecordGamePlace).toString();
    } else if (first.folder) {
        written.place = first.place;
    }
    if (!isThisFolder(written))
        return {};
    return entriesOf(record);
}

bool PackLedger::begin(const QStringList& owned, QString* error)
{
    load();
    if (!rewrite(owned, error))
        return false;
    m_claims.setFileName(m_ledgerPath);
    if (!m_claims.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (error)
            *error = failure(m_claims.errorString());
        return false;
    }
    return true;
}

bool PackLedger::claim(const QList<ZipEntryInfo>& entries, QString* error)
{
    QByteArray lines;
    for (const ZipEntryInfo& entry : entries) {
        lines += claimedLine(identityAt(entry.name), entry);
        m_sums.insert(entry.name, Sums{entry.size, entry.crc});
    }
    if (m_claims.write(lines) == lines.size() && m_claims.flush() &&
        ::fdatasync(m_claims.handle()) == 0)
        return true;
    if (error)
        *error = failure(m_claims.errorString());
    return false;
}

void PackLedger::settle(const QStringList& names)
{
    m_claims.close();
    load();
    QStringList standing;
    NameList unique(&standing);
    for (const QString& name : names) {
        if (standsAt(name))
            unique.add(name);
    }
    // Should the ledger keep its claims, they still tell what was written.
    rewrite(standing, nullptr);
}

// This folder's list, then every other folder's as it was read: names another folder
// holds stay known there until an application there settles them. Lists of folders gone
// from this folder's real path were settled with it.
bool PackLedger::rewrite(const QStringList& names, QString* error)
{
    const auto sumsLine = [](const QString& name, const Sums& sums) {
        return stampedLine(kSumsTag, sumsText(sums.size, sums.crc), name);
    };
    QByteArray content = kFolderTag + encodedName(QDir::cleanPath(m_root)) + '\n';
    if (!m_place.isEmpty())
        content += kPlaceTag + encodedName(m_place) + '\n';
    for (const QString& name : names) {
        content += kWrittenTag + encodedName(name) + '\n';
        if (m_sums.contains(name))
            content += sumsLine(name, m_sums.value(name));
    }
    content += kEndOfList + '\n';
    for (const FolderList& list : std::as_const(m_lists)) {
        if (list.role != Role::Elsewhere)
            continue;
        content += kOtherFolderTag + encodedName(*list.folder) + '\n';
        if (!list.place.isEmpty())
            content += kPlaceTag + encodedName(list.place) + '\n';
        for (const QString& name : list.names) {
            content += kWrittenElsewhereTag + encodedName(name) + '\n';
            if (list.sums.contains(name))
                content += sumsLine(name, list.sums.value(name));
        }
        for (const Claim& claim : list.claims)
            content += stampedLine(kClaimedElsewhereTag,
                                   claim.identity + kStampSeparator +
                                       sumsText(claim.sums.size, claim.sums.crc),
                                   claim.name);
    }
    QString reason;
    if (WholeFile::write(m_ledgerPath, content, &reason))
        return true;
    if (error)
        *error = failure(reason);
    return false;
}

QString PackLedger::failure(const QString& reason) const
{
    return Loc::text("storage.error.saveFailedWhy").arg(PathRules::native(m_ledgerPath), reason);
}

QString PackLedger::identityAt(const QString& name) const
{
    struct stat info {};
    if (::lstat(QFile::encodeName(m_root + name).constData(), &info) != 0)
        return QLatin1String(kNothing);
    return QString::number(quint64(info.st_dev)) + QLatin1Char(':') +
           QString::number(quint64(info.st_ino));
}

// The file standing at a claimed name is the pack's when it is not the one the claim
// found and holds what the pack put there.
bool PackLedger::claimWasWritten(const Claim& claim)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(m_root + claim.name).constData(), &info) == 0 &&
           !isSameFile(claim.identity, info) && holdsWhatThePackWrote(claim.name, claim.sums);
}

// Whether the file at a name is the very file the pack wrote: a regular file of its size
// and checksum. Without them nothing can tell, and it is kept.
bool PackLedger::holdsWhatThePackWrote(const QString& name, const std::optional<Sums>& sums)
{
    struct stat info {};
    return sums && ::lstat(QFile::encodeName(m_root + name).constData(), &info) == 0 &&
           S_ISREG(info.st_mode) && quint64(info.st_size) == sums->size && crcOf(name) == sums->crc;
}

// A file several lists name, or a list and a claim, is read once.
std::optional<quint32> PackLedger::crcOf(const QString& name)
{
    const auto known = m_crcs.constFind(name);
    if (known != m_crcs.cend())
        return *known;
    const std::optional<quint32> crc = contentCrc(m_root + name);
    m_crcs.insert(name, crc);
    return crc;
}

bool PackLedger::standsAt(const QString& name) const
{
    return identityAt(name) != QLatin1String(kNothing);
}
