#pragma once

#include "mountedfolders.h"

#include <QString>

#include <functional>
#include <optional>

// Writes below one folder that fail as on a full disk. Where the test may mount, the
// folder becomes a small file system of its own, filled up while the writes should fail.
// Where it may not (or HM_FULL_DISK_BY_LIMIT is set), each step runs in a child process
// whose files may not grow (a file-size limit with its signal ignored), where the writes
// fail alike.
class FullDisk {
public:
    // folder must exist and be empty.
    explicit FullDisk(const QString& folder);
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    bool isMounted() const { return m_fileSystem && m_fileSystem->isMounted(); }
    // Runs step while writes fail and gives its result; false when they could not be
    // made to fail. A step in a child process must report through its result alone.
    bool whileFull(const std::function<bool()>& step);

private:
    bool runFilled(const std::function<bool()>& step);
    static bool runLimited(const std::function<bool()>& step);

    QString m_folder;
    std::optional<OwnFileSystem> m_fileSystem;
};
