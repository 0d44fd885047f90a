#include "filesystemanswers.h"

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

bool isFolder(int fd)
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
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

extern "C" int flock(int fd, int operation) __THROW
{
    if (exclusiveLockNeedsWriting && (operation & LOCK_EX) && isReadOnly(fd)) {
        errno = EBADF;
        return -1;
    }
    return int(::syscall(SYS_flock, fd, operation));
}
