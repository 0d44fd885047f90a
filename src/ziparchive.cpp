#include "ziparchive.h"

#include "filemode.h"
#include "localization.h"
#include "pathrules.h"
#include "readfailuretext.h"
#include "regularfile.h"
#include "stagedfile.h"
#include "systempath.h"
#include "ziparchivewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {
constexpr qint64 kChunkSize = 256 * 1024;
// How the temporary name of a file being extracted begins: what removeUnfinishedFiles
// sweeps.
constexpr char kPartFilePrefix[] = ".hm-part-";

using PathRules::native;

void setError(QString* error, const QString& message)
{
    if (error)
        *error = message;
}

QString codeText(int code)
{
    zip_error_t zipError;
    zip_error_init_with_code(&zipError, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&zipError));
    zip_error_fini(&zipError);
    return text;
}

QString openFailed(const QString& path, const QString& reason)
{
    return Loc::text("storage.error.zipOpenFailed").arg(native(path), reason);
}

QString readFailed(const QString& entry, const QString& path, const QString& reason)
{
    return Loc::text("storage.error.zipReadFailed").arg(entry, native(path), reason);
}

QString addFailed(const QString& entry, const QString& path, const QString& reason)
{
    return Loc::text("storage.error.zipAddFailed").arg(entry, native(path), reason);
}

QString writeFailed(const QString& path, const QString& reason)
{
    return Loc::text("storage.error.zipWriteFailed").arg(native(path), reason);
}

// An opened entry, closed when it goes out of scope.
struct EntryReader {
    zip_file_t* file = nullptr;
    ~EntryReader()
    {
        if (file)
            zip_fclose(file);
    }
    QString errorText() const { return QString::fromUtf8(zip_file_strerror(file)); }
};

// Reads an entry chunk by chunk into sink, checking the data against the recorded size;
// libzip checks the CRC when the end is reached.
bool streamEntry(zip_t* archive, const ZipEntryInfo& entry, const QString& archivePath,
                 const std::function<bool(const char*, qint64, QString*)>& sink,
                 const ZipArchive::CancelCheck& cancel, bool* cancelled, QString* error)
{
    EntryReader reader;
    reader.file = zip_fopen_index(archive, zip_uint64_t(entry.index), 0);
    if (!reader.file) {
        setError(error,
                 readFailed(entry.name, archivePath, QString::fromUtf8(zip_strerror(archive))));
        return false;
    }
    QByteArray buffer(kChunkSize, Qt::Uninitialized);
    quint64 total = 0;
    for (;;) {
        if (cancel && cancel()) {
            *cancelled = true;
            setError(error, Loc::text("storage.error.zipCancelled"));
            return false;
        }
        const zip_int64_t count = zip_fread(reader.file, buffer.data(), zip_uint64_t(kChunkSize));
        if (count < 0) {
            setError(error, readFailed(entry.name, archivePath, reader.errorText()));
            return false;
        }
        if (count == 0)
            break;
        total += quint64(count);
        if (total > entry.size) {
            setError(error, readFailed(entry.name, archivePath,
                                       Loc::text("storage.error.zipSizeMismatch")));
            return false;
        }
        if (!sink(buffer.constData(), count, error))
            return false;
    }
    if (total != entry.size) {
        setError(error,
                 readFailed(entry.name, archivePath, Loc::text("storage.error.zipSizeMismatch")));
        return false;
    }
    return true;
}

QString systemError(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Archives are also opened inside the game folder (native library jars), where anything
// may stand at a path: only a regular file is opened, and opening never waits.
zip_t* openReadOnly(const QString& path, QString* error)
{
    RegularFile::Failure failure;
    const int fd = RegularFile::openDescriptor(path, &failure);
    if (fd < 0) {
        setError(error, ReadFailureText::message(path, failure));
        return nullptr;
    }
    FILE* stream = ::fdopen(fd, "rb");
    if (!stream) {
        setError(error, openFailed(path, systemError()));
        ::close(fd);
        return nullptr;
    }
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source = zip_source_filep_create(stream, 0, -1, &zipError);
    zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &zipError) : nullptr;
    if (!archive) {
        setError(error, openFailed(path, QString::fromUtf8(zip_error_strerror(&zipError))));
        // Once made, the source owns the stream.
        if (source)
            zip_source_free(source);
        else
            std::fclose(stream);
    }
    zip_error_fini(&zipError);
    return archive;
}

// Restored files take the target's place only once complete; an existing target, a
// symbolic link included, is replaced, never written through. Unlike a save-file they are
// not flushed to the disk: restoring a hundred thousand files would spend most of its
// time waiting for each.
StagedFile::Options partFileOptions()
{
    StagedFile::Options options;
    options.temporaryPrefix = QLatin1String(kPartFilePrefix);
    return options;
}

} // namespace

void ZipArchive::removeUnfinishedFiles(const QString& folder)
{
    const QFileInfoList leftovers =
        QDir(folder).entryInfoList({QLatin1String(kPartFilePrefix) + QLatin1Char('*')},
                                   QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& leftover : leftovers) {
        if (!leftover.isSymLink())
            QFile::remove(leftover.absoluteFilePath());
    }
}

QFileDevice::Permissions ZipEntryInfo::permissions() const
{
    return FileMode::toPermissions(mode_t(unixMode));
}

ZipArchive::ZipArchive() = default;

ZipArchive::~ZipArchive()
{
    discard();
}

bool ZipArchive::open(const QString& path, QString* error)
{
    discard();
    zip_t* archive = openReadOnly(path, error);
    if (!archive)
        return false;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    QList<ZipEntryInfo> entries;
    entries.reserve(qsizetype(qMax<zip_int64_t>(count, 0)));
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t st;
        const char* raw = zip_get_name(archive, zip_uint64_t(index), ZIP_FL_ENC_RAW);
        const char* decoded = zip_get_name(archive, zip_uint64_t(index), ZIP_FL_ENC_GUESS);
        if (!raw || !decoded || zip_stat_index(archive, zip_uint64_t(index), 0, &st) != 0) {
            setError(error, openFailed(path, QString::fromUtf8(zip_strerror(archive))));
            zip_discard(archive);
            return false;
        }
        ZipEntryInfo entry;
        entry.index = index;
        entry.rawName = QByteArray(raw);
        entry.name = QString::fromUtf8(decoded);
        entry.size = st.size;
        entry.compressedSize = st.comp_size;
        entry.crc = st.crc;
        entry.modified = QDateTime::fromSecsSinceEpoch(qint64(st.mtime));
        entry.isDirectory = entry.rawName.endsWith('/');
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(archive, zip_uint64_t(index), 0, &system,
                                             &attributes) == 0 &&
            (system == ZIP_OPSYS_UNIX || system == ZIP_OPSYS_OS_X))
            entry.unixMode = attributes >> 16;
        entry.isSymlink = (entry.unixMode & S_IFMT) == S_IFLNK;
        entries.append(std::move(entry));
    }
    m_zip = archive;
    m_writing = false;
    m_path = path;
    m_entries = std::move(entries);
    return true;
}

qint64 ZipArchive::indexOf(const QString& name) const
{
    if (m_nameIndex.isEmpty() && !m_entries.isEmpty()) {
        m_nameIndex.reserve(m_entries.size());
        // Backwards, so that of duplicate names the first entry wins.
        for (auto it = m_entries.crbegin(); it != m_entries.crend(); ++it)
            m_nameIndex.insert(it->name, it->index);
    }
    return m_nameIndex.value(name, -1);
}

quint64 ZipArchive::declaredSize(const QList<ZipEntryInfo>& entries)
{
    quint64 total = 0;
    for (const ZipEntryInfo& entry : entries) {
        if (entry.isDirectory || entry.isSymlink)
            continue;
        // Sizes come from the archive: a sum past 64 bits is as good as infinite.
        total = entry.size > std::numeric_limits<quint64>::max() - total
                    ? std::numeric_limits<quint64>::max()
                    : total + entry.size;
    }
    return total;
}

bool ZipArchive::requireReading(qint64 index, QString* error) const
{
    if (!m_zip || m_writing) {
        setError(error, openFailed(m_path, Loc::text("storage.error.zipNotOpen")));
        return false;
    }
    if (index < 0 || index >= m_entries.size()) {
        setError(error, readFailed(QString::number(index), m_path, codeText(ZIP_ER_INVAL)));
        return false;
    }
    return true;
}

QByteArray ZipArchive::readEntry(qint64 index, QString* error, qint64 maxSize) const
{
    m_cancelled = false;
    if (!requireReading(index, error))
        return {};
    const ZipEntryInfo& entry = m_entries.at(index);
    if (entry.size > quint64(maxSize)) {
        setError(error,
                 readFailed(entry.name, m_path, Loc::text("storage.error.zipEntryTooLarge")));
        return {};
    }
    QByteArray data;
    data.reserve(qsizetype(entry.size));
    const auto append = [&data](const char* chunk, qint64 length, QString*) {
        data.append(chunk, length);
        return true;
    };
    if (!streamEntry(m_zip, entry, m_path, append, {}, &m_cancelled, error))
        return {};
    return data;
}

bool ZipArchive::extractEntry(qint64 index, QIODevice* target, QString* error,
                              const CancelCheck& cancel) const
{
    m_cancelled = false;
    if (!requireReading(index, error))
        return false;
    const ZipEntryInfo& entry = m_entries.at(index);
    const auto write = [&](const char* chunk, qint64 length, QString* sinkError) {
        if (target->write(chunk, length) == length)
            return true;
        setError(sinkError, Loc::text("storage.error.zipStreamFailed")
                                .arg(entry.name, native(m_path), target->errorString()));
        return false;
    };
    return streamEntry(m_zip, entry, m_path, write, cancel, &m_cancelled, error);
}

bool ZipArchive::extractEntry(qint64 index, const QString& targetPath, QString* error,
                              const CancelCheck& cancel) const
{
    m_cancelled = false;
    if (!requireReading(index, error))
        return false;
    const QString& entryName = m_entries.at(index).name;
    const auto extractFailed = [&](const QString& reason) {
        setError(
            error,
            Loc::text("storage.error.zipExtractFailed").arg(entryName, native(targetPath), reason));
        return false;
    };
    static const StagedFile::Options options = partFileOptions();
    StagedFile file;
    if (!file.open(targetPath, options))
        return extractFailed(file.errorString());
    const ZipEntryInfo& entry = m_entries.at(index);
    const auto write = [&](const char* chunk, qint64 length, QString*) {
        return file.write(chunk, length) || extractFailed(file.errorString());
    };
    if (!streamEntry(m_zip, entry, m_path, write, cancel, &m_cancelled, error))
        return false;
    return file.publish() || extractFailed(file.errorString());
}

bool ZipArchive::create(const QString& path, QString* error)
{
    discard();
    const QFileInfo info(path);
    const QString reason = !info.absoluteDir().exists() ? codeText(ZIP_ER_NOENT)
                           : info.isDir()               ? systemError(EISDIR)
                                                        : QString();
    if (!reason.isEmpty()) {
        setError(error, Loc::text("storage.error.zipCreateFailed").arg(native(path), reason));
        return false;
    }
    m_writing = true;
    m_path = path;
    return true;
}

bool ZipArchive::requireWriting(QString* error) const
{
    if (m_writing)
        return true;
    setError(error, writeFailed(m_path, Loc::text("storage.error.zipNotOpen")));
    return false;
}

bool ZipArchive::addEntry(const QString& entryName, ZipPendingEntry entry, int defaultPermissions,
                          const ZipEntryOptions& options, QString* error)
{
    entry.name = SystemPath::encode(entryName);
    if (S_ISDIR(entry.mode) && !entry.name.endsWith('/'))
        entry.name += '/';
    if (entry.name.contains('\0')) {
        setError(error, addFailed(entryName, m_path, Loc::text("storage.error.zipInvalidName")));
        return false;
    }
    if (m_pendingNames.contains(entry.name)) {
        setError(error, addFailed(entryName, m_path, codeText(ZIP_ER_EXISTS)));
        return false;
    }
    const int permissions = options.permissions >= 0 ? options.permissions : defaultPermissions;
    entry.mode |= quint32(permissions) & 07777;
    entry.deflate = S_ISREG(entry.mode) && options.compression == ZipCompression::Deflate;
    entry.level = qBound(0, options.level, 9);
    if (options.modified.isValid())
        entry.modified = std::time_t(options.modified.toSecsSinceEpoch());
    m_pendingNames.insert(entry.name);
    m_pending.push_back(std::move(entry));
    return true;
}

bool ZipArchive::addFile(const QString& entryName, const QString& sourcePath, QString* error,
                         const ZipEntryOptions& options)
{
    if (!requireWriting(error))
        return false;
    const auto sourceFailed = [&](const QString& reason) {
        setError(error, Loc::text("storage.error.zipSourceFailed")
                            .arg(SystemPath::shown(sourcePath), native(m_path), reason));
        return false;
    };
    struct stat info;
    if (::stat(SystemPath::encode(sourcePath).constData(), &info) != 0)
        return sourceFailed(systemError());
    if (!S_ISREG(info.st_mode))
        return sourceFailed(Loc::text("storage.error.notRegularFile"));
    ZipPendingEntry entry;
    entry.sourcePath = sourcePath;
    entry.size = quint64(info.st_size);
    entry.modified = info.st_mtime;
    entry.mode = S_IFREG;
    return addEntry(entryName, std::move(entry), int(info.st_mode & 07777), options, error);
}

bool ZipArchive::addDirectory(const QString& entryName, QString* error,
                              const ZipEntryOptions& options)
{
    return addBuffer(entryName, QByteArray(), S_IFDIR, 0755, options, error);
}

bool ZipArchive::addData(const QString& entryName, const QByteArray& data, QString* error,
                         const ZipEntryOptions& options)
{
    return addBuffer(entryName, data, S_IFREG, 0644, options, error);
}

bool ZipArchive::addSymlink(const QString& entryName, const QString& target, QString* error,
                            const ZipEntryOptions& options)
{
    return addBuffer(entryName, QFile::encodeName(target), S_IFLNK, 0777, options, error);
}

bool ZipArchive::addBuffer(const QString& entryName, const QByteArray& bytes, quint32 fileType,
                           int defaultPermissions, const ZipEntryOptions& options, QString* error)
{
    if (!requireWriting(error))
        return false;
    ZipPendingEntry entry;
    entry.data = bytes;
    entry.size = quint64(bytes.size());
    entry.modified = std::time(nullptr);
    entry.mode = fileType;
    return addEntry(entryName, std::move(entry), defaultPermissions, options, error);
}

bool ZipArchive::close(QString* error)
{
    m_cancelled = false;
    if (!m_writing) {
        discard();
        return true;
    }
    const ZipArchiveWriter::Result result =
        ZipArchiveWriter::write(m_path, m_pending, m_progress, m_cancel);
    discard();
    switch (result.outcome) {
    case ZipArchiveWriter::Outcome::Written:
        return true;
    case ZipArchiveWriter::Outcome::Cancelled:
        m_cancelled = true;
        setError(error, Loc::text("storage.error.zipCancelled"));
        return false;
    case ZipArchiveWriter::Outcome::SourceFailed:
        setError(error, Loc::text("storage.error.zipSourceFailed")
                            .arg(SystemPath::shown(result.filePath), native(m_path),
                                 result.reason.isEmpty() ? Loc::text("storage.error.zipFileChanged")
                                                         : result.reason));
        return false;
    case ZipArchiveWriter::Outcome::WriteFailed:
        break;
    }
    setError(error, writeFailed(m_path, result.reason));
    return false;
}

void ZipArchive::discard()
{
    if (m_zip)
        zip_discard(m_zip);
    m_zip = nullptr;
    m_writing = false;
    m_entries.clear();
    m_nameIndex.clear();
    m_pending.clear();
    m_pendingNames.clear();
}
