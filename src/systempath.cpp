#include "systempath.h"

#include <QDir>
#include <QStringDecoder>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr char16_t kFirstStandIn = 0xDC80;
constexpr char16_t kLastStandIn = 0xDCFF;

bool isContinuation(uchar byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence starting at `at` (overlong forms,
// surrogates and code points past U+10FFFF are not), or 0.
int sequenceLength(const QByteArray& bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes.at(i)) : 0; };
    const uchar lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    uchar low = 0x80;
    uchar high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (!isContinuation(byte(at + i)))
            return 0;
    }
    return length;
}

// Qt's UTF-8 decoding drops a U+FEFF at the start as a byte-order mark; in a name it is a
// character like any other, and without it the name would lead to another file.
QString utf8Text(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder(bytes);
}

// A low surrogate in the stand-in range is a byte's stand-in unless it completes a pair.
bool isStandIn(const QString& text, qsizetype at)
{
    const char16_t unit = text.at(at).unicode();
    return unit >= kFirstStandIn && unit <= kLastStandIn &&
           (at == 0 || !text.at(at - 1).isHighSurrogate());
}

SystemPath::Kind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return SystemPath::Kind::File;
    if (S_ISDIR(mode))
        return SystemPath::Kind::Directory;
    if (S_ISLNK(mode))
        return SystemPath::Kind::Link;
    return SystemPath::Kind::Other;
}

bool removeTree(const QByteArray& path)
{
    struct stat status;
    if (::lstat(path.constData(), &status) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlink(path.constData()) == 0 || errno == ENOENT;
    bool removed = true;
    if (DIR* folder = ::opendir(path.constData())) {
        while (const dirent* entry = ::readdir(folder)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                removed = removeTree(path + '/' + name) && removed;
        }
        ::closedir(folder);
    }
    return ::rmdir(path.constData()) == 0 && removed;
}

} // namespace

namespace SystemPath {

bool isUtf8(const QByteArray& bytes)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const int length = sequenceLength(bytes, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

QString decode(const QByteArray& bytes)
{
    if (isUtf8(bytes))
        return utf8Text(bytes);
    QString text;
    text.reserve(bytes.size());
    qsizetype runStart = 0;
    for (qsizetype at = 0; at <= bytes.size();) {
        const int length = at < bytes.size() ? sequenceLength(bytes, at) : 0;
        if (length > 0) {
            at += length;
            continue;
        }
        text.append(utf8Text(QByteArrayView(bytes).sliced(runStart, at - runStart)));
        if (at < bytes.size())
            text.append(QChar(char16_t(0xDC00 + uchar(bytes.at(at)))));
        runStart = ++at;
    }
    return text;
}

bool hasForeignBytes(const QString& path)
{
    for (qsizetype at = 0; at < path.size(); ++at) {
        if (isStandIn(path, at))
            return true;
    }
    return false;
}

QByteArray encode(const QString& path)
{
    if (!hasForeignBytes(path))
        return path.toUtf8();
    QByteArray bytes;
    qsizetype runStart = 0;
    for (qsizetype at = 0; at <= path.size(); ++at) {
        if (at < path.size() && !isStandIn(path, at))
            continue;
        bytes.append(QStringView(path).mid(runStart, at - runStart).toUtf8());
        if (at < path.size())
            bytes.append(char(path.at(at).unicode() - 0xDC00));
        runStart = at + 1;
    }
    return bytes;
}

QString shown(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    if (!hasForeignBytes(native))
        return native;
    QString text;
    for (qsizetype at = 0; at < native.size(); ++at) {
        if (isStandIn(native, at))
            text += QLatin1String("\\x") +
                    QString::number(native.at(at).unicode() - 0xDC00, 16).toUpper();
        else
            text += native.at(at);
    }
    return text;
}

std::optional<QList<Entry>> list(const QString& path)
{
    DIR* folder = ::opendir(encode(path).constData());
    if (!folder)
        return std::nullopt;
    QList<Entry> entries;
    while (const dirent* found = ::readdir(folder)) {
        const QByteArray name(found->d_name);
        if (name == "." || name == "..")
            continue;
        Entry entry;
        entry.name = decode(name);
        struct stat status;
        if (::fstatat(::dirfd(folder), found->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.kind = kindOf(status.st_mode);
            entry.size = qint64(status.st_size);
        }
        entries.append(entry);
    }
    ::closedir(folder);
    return entries;
}

bool remove(const QString& path)
{
    return removeTree(encode(path));
}

bool makePath(const QString& path, int* error)
{
    const QByteArray bytes = encode(QDir::cleanPath(path));
    const auto isFolder = [](const QByteArray& step) {
        struct stat status;
        return ::stat(step.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    };
    if (isFolder(bytes))
        return true;
    for (qsizetype end = bytes.indexOf('/', 1);; end = bytes.indexOf('/', end + 1)) {
        const QByteArray step = end < 0 ? bytes : bytes.left(end);
        if (!isFolder(step) && ::mkdir(step.constData(), 0777) != 0) {
            const int code = errno;
            if (code != EEXIST || !isFolder(step)) {
                if (error)
                    *error = code;
                return false;
            }
        }
        if (end < 0)
            return true;
    }
}

bool setMode(const QString& path, quint32 mode)
{
    return ::chmod(encode(path).constData(), mode_t(mode)) == 0;
}

} // namespace SystemPath
