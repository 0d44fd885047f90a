#pragma once

#include "ziparchivewriter.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileDevice>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <vector>

class QIODevice;
struct zip;

// One entry of an opened archive, as stored in its central directory.
struct ZipEntryInfo {
    qint64 index = -1;
    // The stored name decoded as UTF-8 (a name without the UTF-8 flag that is not valid
    // UTF-8 is read as code page 437). Never cleaned: "../x", "/abs", "a\\b" and leading
    // dots come back exactly as stored.
    QString name;
    // The stored bytes of the name.
    QByteArray rawName;
    quint64 size = 0;
    quint64 compressedSize = 0;
    quint32 crc = 0;
    QDateTime modified;
    bool isDirectory = false;
    bool isSymlink = false;
    // The unix mode (file type and permission bits) when the entry was made on unix, else 0.
    quint32 unixMode = 0;

    bool hasUnixPermissions() const { return (unixMode & 07777) != 0; }
    quint32 unixPermissions() const { return unixMode & 07777; }
    // The unix permission bits as Qt file permissions; empty when none were stored.
    QFileDevice::Permissions permissions() const;
};

enum class ZipCompression {
    Store,
    // Deflated, unless deflating does not make an entry of up to a megabyte smaller.
    Deflate,
};

struct ZipEntryOptions {
    ZipCompression compression = ZipCompression::Deflate;
    // Deflate level 1..9; 0 is zlib's default (6).
    int level = 0;
    // Unix permission bits; -1 takes the source file's own (files), 0644 (data) or 0755
    // (directories).
    int permissions = -1;
    // Invalid takes the source file's modification time, or the current time.
    QDateTime modified;
};

// The launcher's zip archive. Reads an existing archive through libzip (open, entries,
// readEntry, extractEntry) or writes a new one (create, add*, close) through
// ZipArchiveWriter, which prepares entries on several threads. Entry names are
// taken and reported exactly as given or stored; callers that write entries to disk check
// them. Names and paths given may hold file-system bytes that are not UTF-8 (SystemPath):
// such a name is stored as those bytes, without the UTF-8 flag, and rawName gives them
// back. Archives of any size and entry count work (Zip64 is used when needed).
// Every fallible call returns false or an empty value and fills the optional error with a
// translated message. Not thread-safe: one archive belongs to one thread at a time.
class ZipArchive {
public:
    using ProgressCallback = std::function<void(double fraction)>;
    // Returns true to stop the operation.
    using CancelCheck = std::function<bool()>;

    ZipArchive();
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Reading.
    bool open(const QString& path, QString* error = nullptr);
    const QList<ZipEntryInfo>& entries() const { return m_entries; }
    qint64 entryCount() const { return m_entries.size(); }
    // The index of the first entry stored under exactly this name, or -1.
    qint64 indexOf(const QString& name) const;
    // The uncompressed bytes the file entries among these declare (links and folders hold
    // none). An entry never inflates past its declared size: extraction stops there.
    static quint64 declaredSize(const QList<ZipEntryInfo>& entries);
    // The whole uncompressed entry; fails for entries larger than maxSize.
    QByteArray readEntry(qint64 index, QString* error = nullptr,
                         qint64 maxSize = 64 * 1024 * 1024) const;
    // Streams the uncompressed entry to the device in chunks.
    bool extractEntry(qint64 index, QIODevice* target, QString* error = nullptr,
                      const CancelCheck& cancel = {}) const;
    // Streams the entry into a new file that replaces targetPath only once complete; a
    // symbolic link at targetPath is replaced, not followed. The folder must exist.
    // Permissions are left to the caller (ZipEntryInfo::permissions).
    bool extractEntry(qint64 index, const QString& targetPath, QString* error = nullptr,
                      const CancelCheck& cancel = {}) const;
    // Removes what extractions into folder left behind when the process died while a
    // finished file was taking its target's place: files of our own temporary names only.
    static void removeUnfinishedFiles(const QString& folder);

    // Writing. Nothing reaches the archive's path before close succeeds; the data of files
    // is read at close time, so they must stay in place until then.
    bool create(const QString& path, QString* error = nullptr);
    bool addFile(const QString& entryName, const QString& sourcePath, QString* error = nullptr,
                 const ZipEntryOptions& options = {});
    // The name gets a trailing '/' when it lacks one.
    bool addDirectory(const QString& entryName, QString* error = nullptr,
                      const ZipEntryOptions& options = {});
    bool addData(const QString& entryName, const QByteArray& data, QString* error = nullptr,
                 const ZipEntryOptions& options = {});
    bool addSymlink(const QString& entryName, const QString& target, QString* error = nullptr,
                    const ZipEntryOptions& options = {});
    // Called during close, on the calling thread, with the fraction written so far (entry
    // i of n is written once it reaches (i + 1) / n), and to allow stopping it.
    void setProgressCallback(ProgressCallback callback) { m_progress = std::move(callback); }
    void setCancelCheck(CancelCheck check) { m_cancel = std::move(check); }

    // Writes a created archive to its path (atomically, and flushed to the disk before it
    // returns) or releases an opened one.
    bool close(QString* error = nullptr);
    // Abandons a created archive, leaving the path untouched, or releases an opened one.
    void discard();

    bool isOpen() const { return m_zip != nullptr || m_writing; }
    bool isWriting() const { return m_writing; }
    QString path() const { return m_path; }
    // Whether the last read, extraction or close stopped because the cancel check asked so.
    bool wasCancelled() const { return m_cancelled; }

private:
    bool requireReading(qint64 index, QString* error) const;
    bool requireWriting(QString* error) const;
    bool addEntry(const QString& entryName, ZipPendingEntry entry, int defaultPermissions,
                  const ZipEntryOptions& options, QString* error);
    bool addBuffer(const QString& entryName, const QByteArray& bytes, quint32 fileType,
                   int defaultPermissions, const ZipEntryOptions& options, QString* error);

    zip* m_zip = nullptr;
    bool m_writing = false;
    QString m_path;
    QList<ZipEntryInfo> m_entries;
    mutable QHash<QString, qint64> m_nameIndex;
    mutable bool m_cancelled = false;
    ProgressCallback m_progress;
    CancelCheck m_cancel;
    std::vector<ZipPendingEntry> m_pending;
    QSet<QByteArray> m_pendingNames;
};
