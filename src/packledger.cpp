#include "packledger.h"

#include "localization.h"
#include "pathrules.h"
#include "regularfile.h"
#include "wholefile.h"
#include "ziparchive.h"

#include <QByteArray>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <optional>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// One name a line: "D folder", the game folder the names below are relative to, then
// "F name" for each file an application wrote, then "E", then
// "C stamp name" for each name claimed before its file was written, the stamp being
// "identity;size;crc": what stood there then ("device:inode", "-" for nothing), then the
// size and hexadecimal CRC-32 of the file the pack puts there. Names are kept on one line
// each by escaping the percent sign and line breaks.
const QByteArray kFolderTag = QByteArrayLiteral("D ");
const QByteArray kWrittenTag = QByteArrayLiteral("F ");
const QByteArray kClaimedTag = QByteArrayLiteral("C ");
const QByteArray kNothing = QByteArrayLiteral("-");
// Ends the list of written files, which the claims follow: a ledger without it was cut
// short (or written before the list had an end).
const QByteArray kEndOfList = QByteArrayLiteral("E");
constexpr char kStampSeparator = ';';
constexpr qsizetype kReadChunk = 256 * 1024;
// A pack of 65,535 files with long names claims every one of them: room for that and more.
constexpr qint64 kLedgerLimit = 256 * 1024 * 1024;

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

// The folder a ledger's first line names, when it names one.
std::optional<QString> folderOf(const QList<QByteArray>& lines)
{
    if (lines.isEmpty() || !lines.first().startsWith(kFolderTag))
        return std::nullopt;
    return decodedName(lines.first().sliced(kFolderTag.size()));
}

QByteArray writtenLine(const QString& name)
{
    return kWrittenTag + encodedName(name) + '\n';
}

QByteArray claimedLine(const QString& identity, const ZipEntryInfo& entry)
{
    return kClaimedTag + identity.toLatin1() + kStampSeparator + QByteArray::number(entry.size) +
           kStampSeparator + QByteArray::number(entry.crc, 16) + ' ' + encodedName(entry.name) +
           '\n';
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
    void add(const QString& name)
    {
        if (!name.isEmpty() && !m_seen.contains(name)) {
            m_seen.insert(name);
            m_names.append(name);
        }
    }
    QStringList take() { return std::move(m_names); }

private:
    QSet<QString> m_seen;
    QStringList m_names;
};

} // namespace

const QString PackLedger::kRecordGameDir = QStringLiteral("gameDir");

PackLedger::PackLedger(const QString& ledgerPath, const QString& recordPath, const QString& gameDir)
    : m_ledgerPath(ledgerPath), m_recordPath(recordPath),
      m_root(QDir(gameDir).absolutePath() + QLatin1Char('/'))
{
}

QStringList PackLedger::recordEntries(const QString& recordPath)
{
    if (recordPath.isEmpty())
        return {};
    return entriesOf(RegularFile::readObject(recordPath));
}

QStringList PackLedger::owned() const
{
    RegularFile::Failure failure;
    const std::optional<QByteArray> content =
        RegularFile::read(m_ledgerPath, kLedgerLimit, &failure);
    if (!content && failure.kind == RegularFile::Failure::Kind::Missing)
        return recordEntriesHere();
    NameList names;
    QList<QByteArray> lines = content ? content->split('\n') : QList<QByteArray>{{}};
    // What follows the last line break is a line cut short by a kill: a claim whose file
    // was never begun, as claims reach the disk before their files do.
    lines.removeLast();
    if (!speaksOfThisFolder(folderOf(lines)))
        lines.clear();
    bool whole = false;
    for (const QByteArray& line : std::as_const(lines)) {
        if (line == kEndOfList) {
            whole = true;
        } else if (line.size() > 2 && line.startsWith(kWrittenTag)) {
            const QString name = decodedName(line.sliced(2));
            if (standsAt(name))
                names.add(name);
        } else if (line.size() > 2 && line.startsWith(kClaimedTag)) {
            const qsizetype space = line.indexOf(' ', 2);
            if (space < 0)
                continue;
            const QString name = decodedName(line.sliced(space + 1));
            if (claimWasWritten(line.sliced(2, space - 2), name))
                names.add(name);
        }
    }
    // Empty, cut short or unreadable, the ledger no longer tells everything the packs
    // wrote: what the record of the last whole application adds keeps those files from
    // being left behind.
    if (!whole) {
        for (const QString& name : recordedFilesInPlace())
            names.add(name);
    }
    return names.take();
}

// The record's names whose files took their place before the record was written: its
// application's files. A player's file put at such a name later, or anything a switch
// extracted anew, took its place since, and is kept.
QStringList PackLedger::recordedFilesInPlace() const
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

// The record's entries where they were written to the game folder in effect.
QStringList PackLedger::recordEntriesHere() const
{
    if (m_recordPath.isEmpty())
        return {};
    const QJsonObject record = RegularFile::readObject(m_recordPath);
    const QJsonValue folder = record.value(kRecordGameDir);
    if (!speaksOfThisFolder(folder.isUndefined() ? std::nullopt
                                                 : std::optional<QString>(folder.toString())))
        return {};
    return entriesOf(record);
}

bool PackLedger::speaksOfThisFolder(const std::optional<QString>& folder) const
{
    return !folder || PathRules::isSameFolder(*folder, m_root);
}

bool PackLedger::begin(const QStringList& owned, QString* error)
{
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
    for (const ZipEntryInfo& entry : entries)
        lines += claimedLine(identityAt(entry.name), entry);
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
    NameList unique;
    for (const QString& name : names) {
        if (standsAt(name))
            unique.add(name);
    }
    // Should the ledger keep its claims, they still tell what was written.
    rewrite(unique.take(), nullptr);
}

bool PackLedger::rewrite(const QStringList& names, QString* error)
{
    QByteArray content = kFolderTag + encodedName(QDir::cleanPath(m_root)) + '\n';
    for (const QString& name : names)
        content += writtenLine(name);
    content += kEndOfList + '\n';
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
// found and holds what the pack put there. A claim that does not say what the pack puts
// there (one written before claims did) cannot tell, and the file is kept.
bool PackLedger::claimWasWritten(const QByteArray& stamp, const QString& name) const
{
    const QList<QByteArray> parts = stamp.split(kStampSeparator);
    if (parts.size() != 3)
        return false;
    bool sizeRead = false;
    bool crcRead = false;
    const quint64 size = parts.at(1).toULongLong(&sizeRead);
    const quint32 crc = parts.at(2).toUInt(&crcRead, 16);
    struct stat info {};
    const QString path = m_root + name;
    if (!sizeRead || !crcRead || ::lstat(QFile::encodeName(path).constData(), &info) != 0 ||
        !S_ISREG(info.st_mode) || quint64(info.st_size) != size || isSameFile(parts.at(0), info))
        return false;
    return contentCrc(path) == crc;
}

bool PackLedger::standsAt(const QString& name) const
{
    return identityAt(name) != QLatin1String(kNothing);
}
