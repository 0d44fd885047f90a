#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// Reads every file the launcher reads from disk: those it shares with the player and
// with other programs, such as everything in the game folder, and its own in the data
// directory, where anything may stand at a path as well. Opening never waits (a FIFO
// without a writer, a device), only a regular file is read (a link to one is followed),
// and never more than a bound: anything else is an unreadable file.
namespace RegularFile {

// The most a JSON document of the game folder or a state file of the launcher may hold:
// version descriptions, another launcher's profiles and the launcher's own records stay
// far below it.
inline constexpr qint64 kDocumentLimit = 8 * 1024 * 1024;

// A read-only descriptor of the regular file at path, which the caller closes; -1 when
// the path holds anything else or cannot be opened.
int openDescriptor(const QString& path, QString* error = nullptr);
// The same for callers that word the failure themselves: `reason` says why, without
// the path ("not a regular file", or the system's own text).
int openRegular(const QString& path, QString* reason);

// The whole content of the regular file at path when it holds at most maxBytes.
std::optional<QByteArray> read(const QString& path, qint64 maxBytes, QString* error = nullptr);
// The same from a descriptor openDescriptor gave for path, which this closes.
std::optional<QByteArray> readDescriptor(int fd, const QString& path, qint64 maxBytes,
                                         QString* error = nullptr);

// Whether nothing stands at path, or only a link that leads nowhere: a read failed for
// want of the file, not for what stands there.
bool isMissing(const QString& path);

// The JSON object the file holds; empty when it cannot be read or holds no object.
QJsonObject readObject(const QString& path, qint64 maxBytes = kDocumentLimit);

} // namespace RegularFile
