#include "gamelock.h"

#include "launcherpaths.h"

#include <QProcess>

#include <fcntl.h>

bool GameLock::heldByAnEarlierGame()
{
    InstanceLock probe;
    return probe.acquire(LauncherPaths::gameLockFile()) == InstanceLock::Outcome::HeldElsewhere;
}

InstanceLock::Outcome GameLock::take(QString* error)
{
    return m_lock.acquire(LauncherPaths::gameLockFile(), error);
}

void GameLock::handTo(QProcess& process) const
{
    const int fd = m_lock.descriptor();
    if (fd < 0)
        return;
    // Runs in the child between fork and exec, where only async-signal-safe calls belong.
    process.setChildProcessModifier([fd] {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0)
            ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    });
}

void GameLock::release()
{
    m_lock.release();
}
