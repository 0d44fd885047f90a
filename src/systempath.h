#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Paths as the file system holds them. A Linux file name is bytes, and a folder copied
// from another system may hold names that are not UTF-8 (CP1251, CP866, a stray 0xFF);
// read as text the usual way, such a name no longer leads back to its file. Here a name
// is text in which every byte that does not decode stands as one unpaired surrogate,
// U+DC80 to U+DCFF, which no decoded name holds; it leads back to exactly its bytes.
// Names that are UTF-8 are the same text as everywhere else. The operations below take
// and give such paths; Qt's own file classes would turn the stand-ins into other bytes.
namespace SystemPath {

QString decode(const QByteArray& bytes);
QByteArray encode(const QString& path);
bool isUtf8(const QByteArray& bytes);
// Whether the path holds bytes that are not UTF-8.
bool hasForeignBytes(const QString& path);
// The path as messages and the interface show it: native separators, and every byte
// that is not UTF-8 written as \xHH.
QString shown(const QString& path);

enum class Kind {
    File,
    Directory,
    // A symbolic link, never followed.
    Link,
    // A FIFO, a socket or a device.
    Other,
};

struct Entry {
    QString name;
    Kind kind = Kind::Other;
    qint64 size = 0;
};

// The entries of the folder at path, hidden ones included, "." and ".." left out, in
// the file system's order; nothing when it cannot be read.
std::optional<QList<Entry>> list(const QString& path);
// Removes what stands at path: a folder with everything below it (a link inside goes as
// a link, its target untouched), anything else as itself. Goes on past a failure and
// returns false at the end, as much removed as could be.
bool remove(const QString& path);
// Makes the folder with all its parents; true when it stands there already. A failure
// fills error, when given, with the system's reason (an errno value).
bool makePath(const QString& path, int* error = nullptr);
// Sets the permission bits of what stands at path, following a link.
bool setMode(const QString& path, quint32 mode);

} // namespace SystemPath
