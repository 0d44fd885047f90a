#include "instancelock.h"

#include "localization.h"
#include "pathrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int openRetrying(const QByteArray& name, int flags)
{
    int fd = -1;
    do
        fd = ::open(name.constData(), flags, 0644);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int openLockFile(const QString& path)
{
    // On a new machine the first start makes the data directory here, before the
    // backend would.
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray name = QFile::encodeName(path);
    // Close-on-exec: a game or installer started by the launcher would otherwise
    // share the lock and keep the next start out after the launcher has ended.
    // Non-blocking, so that a FIFO at that name cannot hold the start up.
    constexpr int kFlags = O_CREAT | O_CLOEXEC | O_NONBLOCK;
    // Open for writing: an NFS client grants an exclusive lock only to such a descriptor.
    // Nothing is ever written; reading only is for a file whose writing is refused.
    int fd = openRetrying(name, O_RDWR | kFlags);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = openRetrying(name, O_RDONLY | kFlags);
    return fd;
}

InstanceLock::Outcome unavailable(const QString& lockFile, QString* error)
{
    if (error)
        *error = Loc::text("storage.error.lockFailed").arg(PathRules::native(lockFile));
    return InstanceLock::Outcome::Unavailable;
}

} // namespace

InstanceLock::~InstanceLock()
{
    release();
}

InstanceLock::Outcome InstanceLock::acquire(const QString& lockFile, QString* error)
{
    release();
    const int fd = openLockFile(lockFile);
    if (fd < 0)
        return unavailable(lockFile, error);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? Outcome::HeldElsewhere : unavailable(lockFile, error);
    }
    m_fd = fd;
    return Outcome::Acquired;
}

void InstanceLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
