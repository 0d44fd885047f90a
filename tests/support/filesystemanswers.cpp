#include "filesystemanswers.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic_bool folderFlushFails = false;
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
    folderFlushFails = fails;
}

void setExclusiveLockNeedsWriting(bool needs)
{
    exclusiveLockNeedsWriting = needs;
}

} // namespace FileSystemAnswers

extern "C" int fsync(int fd)
{
    if (folderFlushFails && isFolder(fd)) {
        errno = EINVAL;
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
