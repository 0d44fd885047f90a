#include "fulldisk.h"

#include "downloadfile.h"

#include <QFile>
#include <QThreadPool>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Writes until the file system takes no more: large pieces first, then single bytes
// for the last page.
bool fillUp(int fd)
{
    static const QByteArray piece(64 * 1024, 'f');
    for (qint64 size = piece.size(); size > 0; size /= 16) {
        while (true) {
            const ssize_t written = ::write(fd, piece.constData(), size_t(size));
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                break;
        }
        if (errno != ENOSPC)
            return false;
    }
    return true;
}

} // namespace

FullDisk::FullDisk(const QString& folder) : m_folder(folder)
{
    if (!qEnvironmentVariableIsSet("HM_FULL_DISK_BY_LIMIT"))
        m_fileSystem.emplace(folder);
}

bool FullDisk::whileFull(const std::function<bool()>& step)
{
    return isMounted() ? runFilled(step) : runLimited(step);
}

bool FullDisk::runFilled(const std::function<bool()>& step)
{
    const QByteArray filler = QFile::encodeName(m_folder + QStringLiteral("/.filler"));
    const int fd = ::open(filler.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool full = fillUp(fd);
    const bool result = full && step();
    ::close(fd);
    ::unlink(filler.constData());
    return result;
}

bool FullDisk::runLimited(const std::function<bool()>& step)
{
    // The child has the forking thread alone: a pool's idle thread that this process
    // keeps would be handed the child's work there and never run it.
    DownloadFile::endWorkersForTesting();
    QThreadPool::globalInstance()->waitForDone();
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 0;
        const bool limited = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        ::_exit(limited && step() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
