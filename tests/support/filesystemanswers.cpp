#include "filesystemanswers.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic_int folderFlushError = 0;
std::atomic_bool exclusiveLockNeedsWriting = false;
std::atomic<dev_t> failingFileSystem = 0;
std::atomic_int failingFileSystemCode = 0; // 0: every syncfs() passes through

bool isFolder(int fd)
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

bool isOnFailingFileSystem(int fd)
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 && status.st_dev == failingFileSystem;
}

bool isReadOnly(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) == O_RDONLY;
}

} // namespace

namespace FileSystemAnswers {

void setFolderFlushFails(bool fails)
{
    setFolderFlushError(fails ? EINVAL : 0);
}

void setFolderFlushError(int code)
{
    folderFlushError = code;
}

void setExclusiveLockNeedsWriting(bool needs)
{
    exclusiveLockNeedsWriting = needs;
}

FailingFileSystem::FailingFileSystem(const QString& path, int code)
{
    struct stat status {};
    m_set = ::stat(QFile::encodeName(path).constData(), &status) == 0;
    if (!m_set)
        return;
    failingFileSystem = status.st_dev;
    failingFileSystemCode = code;
}

FailingFileSystem::~FailingFileSystem()
{
    failingFileSystemCode = 0;
}

} // namespace FileSystemAnswers

extern "C" int fsync(int fd)
{
    const int code = folderFlushError;
    if (code != 0 && isFolder(fd)) {
        errno = code;
        return -1;
    }
    return int(::syscall(SYS_fsync, fd));
}

extern "C" int syncfs(int fd) __THROW
{
    const int code = failingFileSystemCode;
    if (code != 0 && isOnFailingFileSystem(fd)) {
        errno = code;
        return -1;
    }
    return int(::syscall(SYS_syncfs, fd));
}

extern "C" int flock(int fd, int operation) __THROW
{
    if (exclusiveLockNeedsWriting && (operation & LOCK_EX) && isReadOnly(fd)) {
        errno = EBADF;
        return -1;
    }
    return int(::syscall(SYS_flock, fd, operation));
}
