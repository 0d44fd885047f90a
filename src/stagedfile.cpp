#include "stagedfile.h"

#include "systempath.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <utility>

namespace {

constexpr int kNameTries = 16;
// New files get the usual permissions: everything the umask leaves of read-write.
constexpr mode_t kNewFileMode = 0666;

std::atomic_bool& hiddenNamesOnly()
{
    static std::atomic_bool hidden = false;
    return hidden;
}

// An unnamed file is named through its descriptor's entry in /proc: without /proc it
// could be written but never named.
bool canNameUnnamedFiles()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

QByteArray randomSuffix()
{
    return QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

// A folder the system will not open for reading (one the owner may write but not list)
// or not as a folder cannot be flushed here at all; any other reason (it is gone, say)
// is a failure.
bool meansNoFolderToFlush(int openCode)
{
    return openCode == EACCES || openCode == EISDIR;
}

// The answers of a file system that cannot flush a folder at all, as opposed to one that
// failed to: EIO, ENOSPC, EDQUOT and everything else may mean the name never reaches the
// disk.
bool meansNoFolderFlush(int flushCode)
{
    return flushCode == EBADF || flushCode == EINVAL || flushCode == EOPNOTSUPP ||
           flushCode == ENOTSUP || flushCode == ENOSYS;
}

bool noFolderFlush(const QByteArray& folder, int reason)
{
    static std::atomic_bool told = false;
    if (!told.exchange(true))
        qWarning("The folder %s cannot be flushed to the disk (%s); files written there take "
                 "their names all the same",
                 qPrintable(SystemPath::shown(SystemPath::decode(folder))), std::strerror(reason));
    return true;
}

bool failedFolderFlush(int reason, int* code)
{
    if (code)
        *code = reason;
    return false;
}

} // namespace

StagedFile::~StagedFile()
{
    discard();
}

bool StagedFile::open(const QString& path)
{
    return open(path, Options());
}

bool StagedFile::open(const QString& path, const Options& options)
{
    discard();
    m_options = options;
    m_error = 0;
    m_path = SystemPath::encode(path);
    m_folder = SystemPath::encode(QFileInfo(path).absolutePath());
    if (m_options.unnamed && !hiddenNamesOnly() && canNameUnnamedFiles() && openUnnamed())
        return true;
    return openNamed();
}

void StagedFile::useHiddenNamesForTesting(bool hidden)
{
    hiddenNamesOnly() = hidden;
}

bool StagedFile::openUnnamed()
{
    m_descriptor = ::open(m_folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    return m_descriptor >= 0;
}

QByteArray StagedFile::temporaryName() const
{
    const QByteArray prefix = m_options.temporaryPrefix.isEmpty()
                                  ? '.' + m_path.mid(m_path.lastIndexOf('/') + 1) + '.'
                                  : SystemPath::encode(m_options.temporaryPrefix);
    return m_folder + '/' + prefix + randomSuffix();
}

bool StagedFile::openNamed()
{
    int code = EEXIST;
    for (int i = 0; code == EEXIST && i < kNameTries; ++i) {
        const QByteArray candidate = temporaryName();
        m_descriptor =
            ::open(candidate.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, kNewFileMode);
        if (m_descriptor >= 0) {
            m_namedPath = candidate;
            return true;
        }
        code = errno;
    }
    m_error = code;
    return false;
}

bool StagedFile::setMode(mode_t mode)
{
    if (::fchmod(m_descriptor, mode) == 0)
        return true;
    m_error = errno;
    return false;
}

bool StagedFile::write(const char* data, qint64 size)
{
    return writeAll(data, size, [this](const char* from, size_t count, qint64) {
        return ::write(m_descriptor, from, count);
    });
}

bool StagedFile::writeAt(quint64 offset, const char* data, qint64 size)
{
    return writeAll(data, size, [this, offset](const char* from, size_t count, qint64 done) {
        return ::pwrite(m_descriptor, from, count, off_t(offset + quint64(done)));
    });
}

// put(from, count, done) writes as write(2) does; done counts the bytes written before.
template <typename Put> bool StagedFile::writeAll(const char* data, qint64 size, const Put& put)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t written = put(data + done, size_t(size - done), done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_error = written == 0 ? ENOSPC : errno;
            return false;
        }
        done += written;
    }
    return true;
}

bool StagedFile::flush()
{
    m_error = ::fdatasync(m_descriptor) == 0 ? 0 : errno;
    return m_error == 0;
}

bool StagedFile::flushTogether(const QList<StagedFile*>& files)
{
    if (files.size() == 1)
        return files.first()->flush();
    // One flush per file system covers every file on it, however many; a file on
    // another file system stands or falls with its own.
    std::map<dev_t, int> flushErrors;
    bool ok = true;
    for (StagedFile* file : files) {
        struct stat status {};
        if (::fstat(file->m_descriptor, &status) != 0) {
            file->m_error = errno;
            ok = false;
            continue;
        }
        const auto [fileSystem, first] = flushErrors.try_emplace(status.st_dev, 0);
        if (first && ::syncfs(file->m_descriptor) != 0)
            fileSystem->second = errno;
        file->m_error = fileSystem->second;
        ok = ok && file->m_error == 0;
    }
    return ok;
}

bool StagedFile::publish()
{
    if (m_options.flushOnPublish && !flush())
        return failed(m_error);
    const bool named = m_namedPath.isEmpty() ? nameUnnamed() : rename();
    return named && (!m_options.flushOnPublish || flushFolder());
}

// A name that is taken is replaced whole: the unnamed file gets a temporary name beside
// it first, and the rename swaps the two.
bool StagedFile::nameUnnamed()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_descriptor);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_path.constData(), AT_SYMLINK_FOLLOW) ==
        0) {
        ::close(std::exchange(m_descriptor, -1));
        return true;
    }
    int code = errno;
    for (int i = 0; code == EEXIST && i < kNameTries; ++i) {
        const QByteArray candidate = temporaryName();
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, candidate.constData(),
                     AT_SYMLINK_FOLLOW) == 0) {
            m_namedPath = candidate;
            return rename();
        }
        code = errno;
    }
    return failed(code);
}

// Closing first lets a file system that reports write errors late report them here.
bool StagedFile::rename()
{
    if (::close(std::exchange(m_descriptor, -1)) != 0)
        return failed(errno);
    if (::rename(m_namedPath.constData(), m_path.constData()) != 0)
        return failed(errno);
    m_namedPath.clear();
    return true;
}

bool StagedFile::flushFolder()
{
    int code = 0;
    if (flushFolder(m_folder, &code))
        return true;
    m_error = code;
    return false;
}

// Some file systems (shared folders of a virtual machine among them) have no folder flush
// at all, and a folder its owner may write but not list cannot be opened for one: there a
// file counts as written once it has its name, which then reaches the disk with the
// system's next flush, and that is told once. Any other failure may mean the name never
// reaches the disk, so it stays a failure: a caller must not go on to remove what the file
// was to keep safe.
bool StagedFile::flushFolder(const QByteArray& folder, int* code)
{
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        const int reason = errno;
        return meansNoFolderToFlush(reason) ? noFolderFlush(folder, reason)
                                            : failedFolderFlush(reason, code);
    }
    const bool synced = ::fsync(descriptor) == 0;
    const int reason = errno;
    ::close(descriptor);
    if (synced)
        return true;
    return meansNoFolderFlush(reason) ? noFolderFlush(folder, reason)
                                      : failedFolderFlush(reason, code);
}

bool StagedFile::failed(int code)
{
    discard();
    m_error = code;
    return false;
}

void StagedFile::discard()
{
    if (m_descriptor >= 0)
        ::close(std::exchange(m_descriptor, -1));
    if (!m_namedPath.isEmpty()) {
        ::unlink(m_namedPath.constData());
        m_namedPath.clear();
    }
}

QString StagedFile::errorString() const
{
    return QString::fromLocal8Bit(std::strerror(m_error));
}
