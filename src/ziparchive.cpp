#include "ziparchive.h"

#include "localization.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {
constexpr qint64 kChunkSize = 256 * 1024;
constexpr quint32 kTypeFile = S_IFREG;
constexpr quint32 kTypeDirectory = S_IFDIR;
constexpr quint32 kTypeSymlink = S_IFLNK;
// The MS-DOS directory attribute, which unzip tools on other systems look at.
constexpr quint32 kDosDirectory = 0x10;

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

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

quint32 externalAttributes(quint32 fileType, int permissions)
{
    const quint32 mode = fileType | (quint32(permissions) & 07777);
    return (mode << 16) | (fileType == kTypeDirectory ? kDosDirectory : 0);
}

// Streams one file from disk while the archive is written. The file is opened only when
// libzip reaches the entry, so any number of entries can be added without holding
// descriptors, and its first failure is recorded with the file's path for the message.
struct FileSource {
    QFile file;
    QString entryName;
    quint64 size = 0;
    time_t mtime = 0;
    quint64 remaining = 0;
    zip_error_t error;
    std::shared_ptr<ZipArchive::SourceFailure> failure;

    zip_int64_t fail(int code, const QString& reason)
    {
        zip_error_set(&error, code, 0);
        if (failure && failure->filePath.isEmpty())
            *failure = {entryName, file.fileName(), reason};
        return -1;
    }

    zip_int64_t open()
    {
        file.close();
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return fail(ZIP_ER_OPEN, file.errorString());
        remaining = size;
        return 0;
    }

    // Reads no more than the size announced when the entry was added, so the sizes written
    // in the headers always match the data; a file that shrank since fails the archive.
    zip_int64_t read(void* data, zip_uint64_t length)
    {
        const qint64 wanted = qint64(qMin<quint64>(length, remaining));
        if (wanted == 0)
            return 0;
        const qint64 count = file.read(static_cast<char*>(data), wanted);
        if (count < 0)
            return fail(ZIP_ER_READ, file.errorString());
        if (count == 0)
            return fail(ZIP_ER_READ, Loc::text("storage.error.zipFileChanged"));
        remaining -= quint64(count);
        return count;
    }

    zip_int64_t stat(void* data, zip_uint64_t length) const
    {
        if (length < sizeof(zip_stat_t))
            return -1;
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = size;
        st->mtime = mtime;
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
    }
};

zip_int64_t fileSourceCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t cmd)
{
    auto* source = static_cast<FileSource*>(state);
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        return source->open();
    case ZIP_SOURCE_READ:
        return source->read(data, length);
    case ZIP_SOURCE_CLOSE:
        source->file.close();
        return 0;
    case ZIP_SOURCE_STAT:
        return source->stat(data, length);
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&source->error);
        delete source;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              zip_source_cmd_t(-1));
    default:
        zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
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

// A new file in the target's folder that is renamed over the target once complete. The
// rename replaces whatever is at the target, a symbolic link included, and never writes
// through it. Unlike a save-file it is not flushed to the disk: restoring a hundred
// thousand files would spend most of its time waiting for each.
bool openPartFile(QFile& file, const QString& targetPath)
{
    const QString folder = QFileInfo(targetPath).absolutePath() + QStringLiteral("/.hm-part-");
    for (int attempt = 0; attempt < 8; ++attempt) {
        file.setFileName(folder + QString::number(QRandomGenerator::global()->generate64(), 36));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        if (!file.exists())
            return false;
    }
    return false;
}

// Makes a written archive durable before callers go on to delete what it holds.
bool syncToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// libzip removes the file instead of writing an archive without entries; an empty archive
// is still a valid one (the end-of-central-directory record alone).
QByteArray emptyArchive()
{
    QByteArray record(22, '\0');
    record[0] = 'P';
    record[1] = 'K';
    record[2] = 5;
    record[3] = 6;
    return record;
}
} // namespace

QFileDevice::Permissions ZipEntryInfo::permissions() const
{
    // Qt keeps the owner's bits twice, as owner and as current user.
    static const std::pair<quint32, QFileDevice::Permissions> bits[] = {
        {S_IRUSR, QFileDevice::ReadOwner | QFileDevice::ReadUser},
        {S_IWUSR, QFileDevice::WriteOwner | QFileDevice::WriteUser},
        {S_IXUSR, QFileDevice::ExeOwner | QFileDevice::ExeUser},
        {S_IRGRP, QFileDevice::ReadGroup},
        {S_IWGRP, QFileDevice::WriteGroup},
        {S_IXGRP, QFileDevice::ExeGroup},
        {S_IROTH, QFileDevice::ReadOther},
        {S_IWOTH, QFileDevice::WriteOther},
        {S_IXOTH, QFileDevice::ExeOther},
    };
    QFileDevice::Permissions result;
    for (const auto& [mode, permission] : bits) {
        if (unixMode & mode)
            result |= permission;
    }
    return result;
}

ZipArchive::ZipArchive() = default;

ZipArchive::~ZipArchive()
{
    discard();
}

bool ZipArchive::open(const QString& path, QString* error)
{
    discard();
    int code = ZIP_ER_OK;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!archive) {
        setError(error, openFailed(path, codeText(code)));
        return false;
    }
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
        entry.isSymlink = (entry.unixMode & S_IFMT) == kTypeSymlink;
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
    QFile file;
    if (!openPartFile(file, targetPath))
        return extractFailed(file.errorString());
    const ZipEntryInfo& entry = m_entries.at(index);
    const auto write = [&](const char* chunk, qint64 length, QString*) {
        if (file.write(chunk, length) == length)
            return true;
        return extractFailed(file.errorString());
    };
    const bool written = streamEntry(m_zip, entry, m_path, write, cancel, &m_cancelled, error) &&
                         (file.flush() || extractFailed(file.errorString()));
    file.close();
    if (written && ::rename(QFile::encodeName(file.fileName()).constData(),
                            QFile::encodeName(targetPath).constData()) == 0)
        return true;
    if (written)
        extractFailed(QString::fromLocal8Bit(std::strerror(errno)));
    file.remove();
    return false;
}

bool ZipArchive::create(const QString& path, QString* error)
{
    discard();
    const QFileInfo info(path);
    if (!info.absoluteDir().exists()) {
        setError(
            error,
            Loc::text("storage.error.zipCreateFailed").arg(native(path), codeText(ZIP_ER_NOENT)));
        return false;
    }
    int code = ZIP_ER_OK;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) {
        setError(error,
                 Loc::text("storage.error.zipCreateFailed").arg(native(path), codeText(code)));
        return false;
    }
    m_zip = archive;
    m_writing = true;
    m_path = path;
    m_sourceFailure = std::make_shared<SourceFailure>();
    return true;
}

bool ZipArchive::requireWriting(QString* error) const
{
    if (m_zip && m_writing)
        return true;
    setError(error, writeFailed(m_path, Loc::text("storage.error.zipNotOpen")));
    return false;
}

QString ZipArchive::libraryError() const
{
    return QString::fromUtf8(zip_strerror(m_zip));
}

bool ZipArchive::addSource(const QString& entryName, void* source, bool directory, quint32 fileType,
                           int defaultPermissions, const ZipEntryOptions& options, QString* error)
{
    const QByteArray name = entryName.toUtf8();
    if (name.contains('\0')) {
        zip_source_free(static_cast<zip_source_t*>(source));
        setError(error, addFailed(entryName, m_path, Loc::text("storage.error.zipInvalidName")));
        return false;
    }
    const zip_int64_t index =
        directory ? zip_dir_add(m_zip, name.constData(), ZIP_FL_ENC_UTF_8)
                  : zip_file_add(m_zip, name.constData(), static_cast<zip_source_t*>(source),
                                 ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(static_cast<zip_source_t*>(source));
        setError(error, addFailed(entryName, m_path, libraryError()));
        return false;
    }
    const int permissions = options.permissions >= 0 ? options.permissions : defaultPermissions;
    return applyOptions(index, fileType, permissions, options, fileType == kTypeFile, error);
}

bool ZipArchive::applyOptions(qint64 index, quint32 fileType, int permissions,
                              const ZipEntryOptions& options, bool compressible, QString* error)
{
    const auto entry = zip_uint64_t(index);
    const bool deflate = compressible && options.compression == ZipCompression::Deflate;
    const bool ok =
        zip_set_file_compression(m_zip, entry, deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                 deflate ? zip_uint32_t(qBound(0, options.level, 9)) : 0) == 0 &&
        zip_file_set_external_attributes(m_zip, entry, 0, ZIP_OPSYS_UNIX,
                                         externalAttributes(fileType, permissions)) == 0 &&
        (!options.modified.isValid() ||
         zip_file_set_mtime(m_zip, entry, time_t(options.modified.toSecsSinceEpoch()), 0) == 0);
    if (!ok) {
        const char* name = zip_get_name(m_zip, entry, ZIP_FL_ENC_RAW);
        setError(error, addFailed(QString::fromUtf8(name ? name : ""), m_path, libraryError()));
    }
    return ok;
}

bool ZipArchive::addFile(const QString& entryName, const QString& sourcePath, QString* error,
                         const ZipEntryOptions& options)
{
    if (!requireWriting(error))
        return false;
    const auto sourceFailed = [&](const QString& reason) {
        setError(error, Loc::text("storage.error.zipSourceFailed")
                            .arg(native(sourcePath), native(m_path), reason));
        return false;
    };
    struct stat info;
    if (::stat(QFile::encodeName(sourcePath).constData(), &info) != 0)
        return sourceFailed(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(info.st_mode))
        return sourceFailed(Loc::text("storage.error.zipNotRegularFile"));

    auto* state = new FileSource;
    state->file.setFileName(sourcePath);
    state->entryName = entryName;
    state->size = quint64(info.st_size);
    state->mtime = info.st_mtime;
    zip_error_init(&state->error);
    state->failure = m_sourceFailure;
    zip_source_t* source = zip_source_function(m_zip, fileSourceCallback, state);
    if (!source) {
        zip_error_fini(&state->error);
        delete state;
        setError(error, addFailed(entryName, m_path, libraryError()));
        return false;
    }
    return addSource(entryName, source, false, kTypeFile, int(info.st_mode & 07777), options,
                     error);
}

bool ZipArchive::addDirectory(const QString& entryName, QString* error,
                              const ZipEntryOptions& options)
{
    if (!requireWriting(error))
        return false;
    return addSource(entryName, nullptr, true, kTypeDirectory, 0755, options, error);
}

bool ZipArchive::addData(const QString& entryName, const QByteArray& data, QString* error,
                         const ZipEntryOptions& options)
{
    return addBuffer(entryName, data, kTypeFile, 0644, options, error);
}

bool ZipArchive::addSymlink(const QString& entryName, const QString& target, QString* error,
                            const ZipEntryOptions& options)
{
    return addBuffer(entryName, QFile::encodeName(target), kTypeSymlink, 0777, options, error);
}

bool ZipArchive::addBuffer(const QString& entryName, const QByteArray& bytes, quint32 fileType,
                           int defaultPermissions, const ZipEntryOptions& options, QString* error)
{
    if (!requireWriting(error))
        return false;
    // libzip frees the copy once the archive is written or discarded.
    void* copy = std::malloc(size_t(qMax<qsizetype>(bytes.size(), 1)));
    if (!copy) {
        setError(error, addFailed(entryName, m_path, codeText(ZIP_ER_MEMORY)));
        return false;
    }
    std::memcpy(copy, bytes.constData(), size_t(bytes.size()));
    zip_source_t* source = zip_source_buffer(m_zip, copy, zip_uint64_t(bytes.size()), 1);
    if (!source) {
        std::free(copy);
        setError(error, addFailed(entryName, m_path, libraryError()));
        return false;
    }
    return addSource(entryName, source, false, fileType, defaultPermissions, options, error);
}

void ZipArchive::registerCallbacks()
{
    if (m_progress) {
        const auto progress = [](zip_t*, double fraction, void* state) {
            static_cast<ZipArchive*>(state)->m_progress(fraction);
        };
        zip_register_progress_callback_with_state(m_zip, 0.001, progress, nullptr, this);
    }
    if (m_cancel) {
        const auto cancel = [](zip_t*, void* state) -> int {
            auto* self = static_cast<ZipArchive*>(state);
            if (!self->m_cancel())
                return 0;
            self->m_cancelled = true;
            return 1;
        };
        zip_register_cancel_callback_with_state(m_zip, cancel, nullptr, this);
    }
}

bool ZipArchive::writeEmptyArchive(QString* error)
{
    zip_discard(m_zip);
    m_zip = nullptr;
    QSaveFile file(m_path);
    if (file.open(QIODevice::WriteOnly) && file.write(emptyArchive()) == 22 && file.commit())
        return true;
    setError(error, writeFailed(m_path, file.errorString()));
    return false;
}

bool ZipArchive::close(QString* error)
{
    m_cancelled = false;
    if (!m_zip)
        return true;
    if (!m_writing) {
        discard();
        return true;
    }
    if (zip_get_num_entries(m_zip, 0) == 0) {
        const bool ok = writeEmptyArchive(error);
        discard();
        return ok;
    }
    registerCallbacks();
    if (zip_close(m_zip) == 0) {
        m_zip = nullptr;
        discard();
        if (syncToDisk(m_path) && syncToDisk(QFileInfo(m_path).absolutePath()))
            return true;
        setError(error, writeFailed(m_path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (m_cancelled)
        setError(error, Loc::text("storage.error.zipCancelled"));
    else if (!m_sourceFailure->filePath.isEmpty())
        setError(error, Loc::text("storage.error.zipSourceFailed")
                            .arg(native(m_sourceFailure->filePath), native(m_path),
                                 m_sourceFailure->reason));
    else
        setError(error, writeFailed(m_path, libraryError()));
    discard();
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
    m_sourceFailure.reset();
}
