#pragma once

#include <QByteArray>
#include <QString>

#include <ctime>
#include <functional>
#include <vector>

// One entry of an archive being written, as ZipArchive collected it.
struct ZipPendingEntry {
    // The stored bytes of the name.
    QByteArray name;
    // The file whose data the entry holds, read while the archive is written; empty when
    // the data is below.
    QString sourcePath;
    QByteArray data;
    // The bytes the entry holds: the file's size when it was added. A file that has
    // shrunk since fails the archive; one that has grown is cut to this size.
    quint64 size = 0;
    std::time_t modified = 0;
    // The unix file type and permission bits.
    quint32 mode = 0;
    // Deflated unless that would not make the entry smaller; otherwise stored.
    bool deflate = false;
    // Deflate level 1..9; 0 is zlib's default.
    int level = 0;
};

// Writes the zip container of ZipArchive. Entries are read, checksummed and deflated
// ahead on a few threads while the calling thread writes them out in order, so an
// archive is written about as fast as the disk takes it, whatever share of it compresses.
// The result is a standard zip file: local headers carry the final sizes and checksum
// (no data descriptors), names are stored as given with the UTF-8 flag when they are UTF-8
// but not ASCII, unix modes go in the external attributes, and Zip64 records appear exactly where
// a size, an offset or the entry count needs them.
namespace ZipArchiveWriter {

enum class Outcome {
    Written,
    Cancelled,
    SourceFailed,
    WriteFailed,
};

struct Result {
    Outcome outcome = Outcome::Written;
    // The source file that failed to be read, or the archive's path.
    QString filePath;
    QString reason;
};

// Called on the calling thread with the fraction written so far; the cancel check is
// asked between pieces of data and returns true to stop.
using Progress = std::function<void(double fraction)>;
using CancelCheck = std::function<bool()>;

// Writes the entries to a new file beside path that replaces path once it is complete
// and flushed to the disk, together with the folder's entry for it. On any failure path
// is left as it was and nothing else remains.
Result write(const QString& path, const std::vector<ZipPendingEntry>& entries,
             const Progress& progress, const CancelCheck& cancel);

} // namespace ZipArchiveWriter
