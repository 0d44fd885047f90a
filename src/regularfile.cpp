#include "regularfile.h"

#include "systempath.h"

#include <QJsonDocument>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr qint64 kChunk = 64 * 1024;

using Failure = RegularFile::Failure;

void tell(Failure* failure, Failure::Kind kind, int code = 0)
{
    if (failure)
        *failure = {kind, code};
}

void tellSystemError(Failure* failure, int code)
{
    const bool missing = code == ENOENT || code == ENOTDIR;
    tell(failure, missing ? Failure::Kind::Missing : Failure::Kind::SystemError, code);
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

int openDescriptor(const QString& path, Failure* failure)
{
    // Without O_NONBLOCK a FIFO would wait here for a writer; O_NOCTTY keeps a terminal
    // device from becoming the launcher's controlling terminal before it is refused.
    const int fd =
        ::open(SystemPath::encode(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        tellSystemError(failure, errno);
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        tell(failure, Failure::Kind::NotRegularFile);
        return -1;
    }
    // Reads of a regular file do not block anyway; whoever takes the descriptor gets an
    // ordinary one.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<QByteArray> read(const QString& path, qint64 maxBytes, Failure* failure)
{
    const int fd = openDescriptor(path, failure);
    if (fd < 0)
        return std::nullopt;
    return readDescriptor(fd, maxBytes, failure);
}

std::optional<QByteArray> readDescriptor(int fd, qint64 maxBytes, Failure* failure)
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
        tell(failure, Failure::Kind::TooLarge);
        return std::nullopt;
    }
    if (readError != 0) {
        tell(failure, Failure::Kind::SystemError, readError);
        return std::nullopt;
    }
    return content;
}

QJsonObject readObject(const QString& path, qint64 maxBytes)
{
    const std::optional<QByteArray> content = read(path, maxBytes);
    return content ? QJsonDocument::fromJson(*content).object() : QJsonObject();
}

} // namespace RegularFile
