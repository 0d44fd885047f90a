#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/types.h>

// A file written out of sight (an unnamed file, or one under a temporary name beside its
// target) that takes its name, whole, only when told to: whatever stood under the name
// until then stays as it was, a symbolic link there is replaced rather than followed,
// and a crash leaves nothing behind (the unnamed kind) or only a file of the temporary
// name, which its owner may sweep. Flushing is separate from naming unless asked for, so
// that many files can be made durable by one flush of their file system before each
// takes its name, and files that need not survive a crash are not waited for at all.
//
// Not thread-safe: one thread at a time.
class StagedFile {
public:
    struct Options {
        // May start without a name where the file system can name it later.
        bool unnamed = true;
        // publish() brings the bytes to the disk before the file takes its name, and the
        // folder's entry for it after; otherwise flushing is the caller's (flush(),
        // flushTogether()) or nobody's.
        bool flushOnPublish = false;
        // How a temporary name begins, in the target's folder; a random suffix follows.
        // Empty: "." + the target's file name + ".".
        QString temporaryPrefix;
    };

    StagedFile() = default;
    // Discards a file not yet named.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Starts the file that will stand at `path` (its folder must exist).
    bool open(const QString& path);
    bool open(const QString& path, const Options& options);
    bool isOpen() const { return m_descriptor >= 0; }
    // Sets the file's permission bits as given, whatever the umask would leave of them.
    bool setMode(mode_t mode);
    // Everything or false. write() appends; writeAt() puts bytes at an offset and leaves
    // the end where it was.
    bool write(const QByteArray& bytes) { return write(bytes.constData(), bytes.size()); }
    bool write(const char* data, qint64 size);
    bool writeAt(quint64 offset, const char* data, qint64 size);
    // Brings the file's bytes to the disk.
    bool flush();
    // Gives the file its name, replacing whatever stood there, and closes it. Its bytes
    // should be flushed first: the name may reach the disk before them otherwise. False
    // with the file discarded when it could not be named, or with flushOnPublish when its
    // bytes could not be flushed; with flushOnPublish, false also when its folder could not
    // be flushed, though the name is given, unless the file system has no folder flush
    // (that is logged once).
    bool publish();
    // Drops the file; a name already given stays.
    void discard();

    // The system's reason for the last failure (an errno value), and its text.
    int error() const { return m_error; }
    QString errorString() const;

    // Brings the bytes of every listed open file to the disk: one flush of each file
    // system they are on. False when any flush failed. Each file then tells its own
    // outcome: error() is 0 when its bytes are on the disk, and otherwise the reason its
    // own file system's flush gave.
    static bool flushTogether(const QList<StagedFile*>& files);
    // Brings a folder's entries (path in the file system's encoding) to the disk. True
    // also where there is no folder flush at all (the file system has none, or the folder
    // cannot be opened for one), which is logged once; false
    // with the system's reason in code otherwise.
    static bool flushFolder(const QByteArray& folder, int* code = nullptr);

    // Tests only: files start under a temporary name, as on file systems without unnamed
    // files.
    static void useHiddenNamesForTesting(bool hidden);

private:
    template <typename Put> bool writeAll(const char* data, qint64 size, const Put& put);
    bool openUnnamed();
    bool openNamed();
    bool nameUnnamed();
    bool rename();
    bool flushFolder();
    QByteArray temporaryName() const;
    bool failed(int code);

    Options m_options;
    QByteArray m_path;      // the name to take, in the file system's encoding
    QByteArray m_folder;    // the folder it stands in
    QByteArray m_namedPath; // the temporary name, when the file has one
    int m_descriptor = -1;
    int m_error = 0;
};
