#pragma once

// Answers of file systems this machine does not have, given by the test program itself:
// its own fsync() and flock() stand in front of the C library's for every caller in the
// program, the launcher's code included. Both pass every call through until told otherwise.
namespace FileSystemAnswers {

// fsync() of a folder fails with EINVAL, as on a virtual machine's shared folder.
void setFolderFlushFails(bool fails);
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

} // namespace FileSystemAnswers
