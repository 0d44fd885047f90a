#include "filesystemanswers.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic_int folderFlushError = 0;
std::atomic_bool exclusiveLockNeedsWriting = false;
std::atomic<dev_t> failingFileSystem = 0;
std::atomic_int failingFileSystemCode = 0; // 0: every syncfs() passes through

// The folder whose file system answers another type, by its real path; empty: none.
std::mutex typedFolderMutex;
std::string typedFolder;
long typedFolderType = 0;

std::string realPathOf(const char* path)
{
    char real[PATH_MAX];
    return ::realpath(path, real) ? std::string(real) : std::string(path);
}

std::string pathOfDescriptor(int fd)
{
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    return length > 0 ? std::string(path, size_t(length)) : std::string();
}

// Gives the answer the type of the folder's file system when the real path is in it.
void answerTypeFor(const std::string& path, struct statfs* answer)
{
    const std::lock_guard lock(typedFolderMutex);
    if (typedFolder.empty() || path.compare(0, typedFolder.size(), typedFolder) != 0)
        return;
    if (path.size() == typedFolder.size() || path.at(typedFolder.size()) == '/')
        answer->f_type = typedFolderType;
}

bool isTypingAFolder()
{
    const std::lock_guard lock(typedFolderMutex);
    return !typedFolder.empty();
}

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

FileSystemType::FileSystemType(const QString& folder, long type)
{
    const std::string real = realPathOf(QFile::encodeName(folder).constData());
    const std::lock_guard lock(typedFolderMutex);
    typedFolder = real;
    typedFolderType = type;
}

FileSystemType::~FileSystemType()
{
    const std::lock_guard lock(typedFolderMutex);
    typedFolder.clear();
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

extern "C" int statfs(const char* path, struct statfs* answer) __THROW
{
    const int result = int(::syscall(SYS_statfs, path, answer));
    if (result == 0 && isTypingAFolder())
        answerTypeFor(realPathOf(path), answer);
    return result;
}

extern "C" int fstatfs(int fd, struct statfs* answer) __THROW
{
    const int result = int(::syscall(SYS_fstatfs, fd, answer));
    if (result == 0 && isTypingAFolder())
        answerTypeFor(pathOfDescriptor(fd), answer);
    return result;
}
