#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// Reads every file the launcher reads from disk: those it shares with the player and
// with other programs, such as everything in the game folder, and its own in the data
// directory, where anything may stand at a path as well. Opening never waits (a FIFO
// without a writer, a device), only a regular file is read (a link to one is followed),
// and never more than a bound: anything else is an unreadable file. The reader says why a
// file could not be read in its own terms; its callers word that for the player.
namespace RegularFile {

// The most a JSON document of the game folder or a state file of the launcher may hold:
// version descriptions, another launcher's profiles and the launcher's own records stay
// far below it.
inline constexpr qint64 kDocumentLimit = 8 * 1024 * 1024;

// Why a file could not be read.
struct Failure {
    enum class Kind {
        Missing,        // nothing at the path, or a link that leads nowhere
        NotRegularFile, // a folder, a FIFO, a device, a socket
        TooLarge,       // more than the bound the caller gave
        SystemError,    // the system refused: code says why
    };
    Kind kind = Kind::SystemError;
    // The system's error number for Missing and SystemError; 0 otherwise.
    int code = 0;
};

// A read-only descriptor of the regular file at path, which the caller closes; -1 when
// the path holds anything else or cannot be opened.
int openDescriptor(const QString& path, Failure* failure = nullptr);

// The whole content of the regular file at path when it holds at most maxBytes.
std::optional<QByteArray> read(const QString& path, qint64 maxBytes, Failure* failure = nullptr);
// The same from a descriptor openDescriptor gave, which this closes.
std::optional<QByteArray> readDescriptor(int fd, qint64 maxBytes, Failure* failure = nullptr);

// The JSON object the file holds; empty when it cannot be read or holds no object.
QJsonObject readObject(const QString& path, qint64 maxBytes = kDocumentLimit);

} // namespace RegularFile
