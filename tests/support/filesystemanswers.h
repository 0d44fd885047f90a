#pragma once

#include <QString>

// Answers of file systems this machine does not have, given by the test program itself:
// its own fsync(), syncfs(), flock(), statfs() and fstatfs() stand in front of the C
// library's for every caller in the program, the launcher's code included. Each passes
// every call through until told otherwise.
namespace FileSystemAnswers {

// fsync() of a folder fails with EINVAL, as on a virtual machine's shared folder.
void setFolderFlushFails(bool fails);
// fsync() of a folder fails with this errno value (0: passes through), as on a failing
// disk (EIO) or a file system without folder flushes (EBADF, EINVAL, EOPNOTSUPP, ENOSYS).
void setFolderFlushError(int code);
// flock() for an exclusive lock fails with EBADF on a descriptor not open for writing, as
// on an NFSv4 client.
void setExclusiveLockNeedsWriting(bool needs);

// Sets an answer for as long as it lives.
class Scope {
public:
    using Setter = void (*)(bool);
    explicit Scope(Setter setter) : m_setter(setter) { m_setter(true); }
    ~Scope() { m_setter(false); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Setter m_setter;
};

// Makes fsync() of a folder fail with an errno value for as long as it lives.
class FolderFlushError {
public:
    explicit FolderFlushError(int code) { setFolderFlushError(code); }
    ~FolderFlushError() { setFolderFlushError(0); }
    FolderFlushError(const FolderFlushError&) = delete;
    FolderFlushError& operator=(const FolderFlushError&) = delete;
};

// While it lives, syncfs() of the file system that holds `path` fails with `code`, as
// that of a disk which lost writes it had taken fails with EIO.
class FailingFileSystem {
public:
    FailingFileSystem(const QString& path, int code);
    ~FailingFileSystem();
    FailingFileSystem(const FailingFileSystem&) = delete;
    FailingFileSystem& operator=(const FailingFileSystem&) = delete;

    // False when the path's file system could not be told.
    bool isSet() const { return m_set; }

private:
    bool m_set = false;
};

// While it lives, statfs() and fstatfs() of the folder and of everything below it tell
// the file system's type (f_type) as `type`, the rest of the answer being the real one's:
// the folder stands for a mount of a FAT (0x4d44), exFAT (0x2011bab0) or FUSE (0x65735546)
// file system there. The folder is told by its path: one made again at it is covered too.
class FileSystemType {
public:
    FileSystemType(const QString& folder, long type);
    ~FileSystemType();
    FileSystemType(const FileSystemType&) = delete;
    FileSystemType& operator=(const FileSystemType&) = delete;
};

} // namespace FileSystemAnswers
