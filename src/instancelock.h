#pragma once

#include <QString>

// Keeps to one launcher per data directory: an exclusive flock(2) on a file inside
// it, held while the object lives. The kernel drops the lock when the process ends,
// however it ends, so a launcher that crashed or was killed never keeps the next
// one out; a lock file that records a process id can only guess at that, and
// guesses wrong once the id is reused.
class InstanceLock {
public:
    enum class Outcome { Acquired, HeldElsewhere, Unavailable };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Locks lockFile, creating it and its folder when missing; an existing file is
    // only opened, never changed. Unavailable when it can be neither opened nor
    // locked, with a translated message in error.
    Outcome acquire(const QString& lockFile, QString* error = nullptr);
    // Lets go of the lock; a child that was handed the descriptor keeps holding it.
    void release();
    // The locked file's descriptor, close-on-exec; -1 while nothing is locked.
    int descriptor() const { return m_fd; }

private:
    int m_fd = -1;
};
