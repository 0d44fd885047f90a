#include "regularfile.h"

#include "localization.h"
#include "pathrules.h"

#include <QFile>
#include <QJsonDocument>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr qint64 kChunk = 64 * 1024;

bool fail(QString* error, const QString& path, const QString& reason)
{
    if (error)
        *error = Loc::text("common.error.readFailed").arg(PathRules::native(path), reason);
    return false;
}

QString systemReason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Up to limit + 1 bytes, so that a file grown past its size since fstat still shows.
bool readUpTo(int fd, qint64 limit, QByteArray& out)
{
    while (out.size() <= limit) {
        const qsizetype start = out.size();
        const qint64 wanted = std::min(kChunk, limit + 1 - start);
        out.resize(start + wanted);
        const ssize_t count = ::read(fd, out.data() + start, size_t(wanted));
        if (count < 0 && errno == EINTR) {
            out.resize(start);
            continue;
        }
        if (count <= 0) {
            out.resize(start);
            return count == 0;
        }
        out.resize(start + count);
    }
    return true;
}

} // namespace

namespace RegularFile {

int openDescriptor(const QString& path, QString* error)
{
    QString reason;
    const int fd = openRegular(path, &reason);
    if (fd < 0)
        fail(error, path, reason);
    return fd;
}

int openRegular(const QString& path, QString* reason)
{
    // Without O_NONBLOCK a FIFO would wait here for a writer; O_NOCTTY keeps a terminal
    // device from becoming the launcher's controlling terminal before it is refused.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (reason)
            *reason = systemReason(errno);
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        if (reason)
            *reason = Loc::text("storage.error.notRegularFile");
        return -1;
    }
    // Reads of a regular file do not block anyway; whoever takes the descriptor gets an
    // ordinary one.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<QByteArray> read(const QString& path, qint64 maxBytes, QString* error)
{
    const int fd = openDescriptor(path, error);
    if (fd < 0)
        return std::nullopt;
    return readDescriptor(fd, path, maxBytes, error);
}

std::optional<QByteArray> readDescriptor(int fd, const QString& path, qint64 maxBytes,
                                         QString* error)
{
    struct stat status {};
    const bool declaredTooLarge = ::fstat(fd, &status) == 0 && status.st_size > maxBytes;
    QByteArray content;
    int readError = 0;
    if (!declaredTooLarge) {
        content.reserve(qsizetype(status.st_size) + 1);
        if (!readUpTo(fd, maxBytes, content))
            readError = errno;
    }
    ::close(fd);
    if (declaredTooLarge || content.size() > maxBytes) {
        fail(error, path, Loc::text("storage.error.fileTooLarge"));
        return std::nullopt;
    }
    if (readError != 0) {
        fail(error, path, systemReason(readError));
        return std::nullopt;
    }
    return content;
}

bool isMissing(const QString& path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
}

QJsonObject readObject(const QString& path, qint64 maxBytes)
{
    const std::optional<QByteArray> content = read(path, maxBytes);
    return content ? QJsonDocument::fromJson(*content).object() : QJsonObject();
}

} // namespace RegularFile
