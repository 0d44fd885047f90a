#pragma once

#include <QFileDevice>
#include <QString>

#include <optional>

class QByteArray;
class QIODevice;

// A file rewritten whole or not at all: the new content goes to a temporary file beside
// the target, which takes the target's place only once every byte is written and on the
// disk. On any failure the target keeps what it held, and nothing is ever written
// straight into it, even where no temporary file can be made beside it. A symbolic link
// at the path is written through: the file it leads to is the one replaced.
namespace WholeFile {

struct Options {
    // Set on the new file before any content reaches it; none keeps the usual ones.
    std::optional<QFileDevice::Permissions> permissions;
};

// Replaces the file at path with bytes. A failure fills reason, when given, with the
// system's text.
bool write(const QString& path, const QByteArray& bytes, QString* reason = nullptr,
           const Options& options = {});
// The same with the content read from source, open for reading, to its end.
bool copy(QIODevice& source, const QString& path, QString* reason = nullptr,
          const Options& options = {});

} // namespace WholeFile
