#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A file written out of sight (an unnamed file, or a hidden temporary one where the
// file system has none) that takes its name, whole, only when told to: whatever stood
// under the name until then stays as it was, and a crash leaves nothing behind (the
// unnamed kind). Flushing is separate from naming, so that many files can be made
// durable by one flush of their file system before each takes its name.
//
// Not thread-safe: one thread at a time.
class StagedFile {
public:
    StagedFile() = default;
    // Discards a file not yet named.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Starts the file that will stand at `path` (its folder must exist).
    bool open(const QString& path);
    bool isOpen() const { return m_descriptor >= 0; }
    // Everything or false.
    bool write(const QByteArray& bytes);
    // Brings the file's bytes to the disk.
    bool flush();
    // Gives the file its name, replacing whatever stood there, and closes it. Its bytes
    // should be flushed first: the name may reach the disk before them otherwise.
    bool publish();
    // Drops the file; a name already given stays.
    void discard();

    // Brings the bytes of every listed open file to the disk: one flush of each file
    // system they are on. False when any flush failed.
    static bool flushTogether(const QList<StagedFile*>& files);

    // Tests only: files start under a hidden name, as on file systems without unnamed
    // files.
    static void useHiddenNamesForTesting(bool hidden);

private:
    bool openUnnamed(const QByteArray& folder);
    bool openHidden();
    bool linkUnnamed();

    QByteArray m_path;       // the name to take, in the file system's encoding
    QByteArray m_hiddenPath; // the temporary name, when the file has one
    int m_descriptor = -1;
};
