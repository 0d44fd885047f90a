#include "flushanswers.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<dev_t> failingFileSystem = 0;
std::atomic_int failingCode = 0; // 0: every flush passes through

bool isOnFailingFileSystem(int fd)
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 && status.st_dev == failingFileSystem;
}

} // namespace

namespace FlushAnswers {

FailingFileSystem::FailingFileSystem(const QString& path, int code)
{
    struct stat status {};
    m_set = ::stat(QFile::encodeName(path).constData(), &status) == 0;
    if (!m_set)
        return;
    failingFileSystem = status.st_dev;
    failingCode = code;
}

FailingFileSystem::~FailingFileSystem()
{
    failingCode = 0;
}

} // namespace FlushAnswers

extern "C" int syncfs(int fd) __THROW
{
    const int code = failingCode;
    if (code != 0 && isOnFailingFileSystem(fd)) {
        errno = code;
        return -1;
    }
    return int(::syscall(SYS_syncfs, fd));
}
