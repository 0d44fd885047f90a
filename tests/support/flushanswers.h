#pragma once

#include <QString>

// Flushes of a file system that fail, answered by the test program itself: its own
// syncfs() stands in front of the C library's for every caller in the program, the
// launcher's code included, and passes every call through but those it is told to fail.
namespace FlushAnswers {

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

} // namespace FlushAnswers
