#include "wholefile.h"

#include "filemode.h"
#include "stagedfile.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr qint64 kChunkSize = 256 * 1024;
// More links in a row than any system follows: a loop.
constexpr int kMaxLinkHops = 40;

// A file rewritten without permissions of its own keeps those it had, so that a player's
// narrower choice survives the next save.
std::optional<mode_t> modeFor(const QString& path, const WholeFile::Options& options)
{
    if (options.permissions)
        return FileMode::fromPermissions(*options.permissions);
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode))
        return status.st_mode & 07777;
    return std::nullopt;
}

// A link at the path is written through, never replaced: a player who keeps a file
// elsewhere and links it here keeps the link.
QString throughLinks(const QString& path)
{
    QString target = path;
    for (int hop = 0; hop < kMaxLinkHops && QFileInfo(target).isSymLink(); ++hop)
        target = QFileInfo(target).symLinkTarget();
    return target;
}

bool failed(QString* reason, const QString& text)
{
    if (reason)
        *reason = text;
    return false;
}

// A file its owner made read-only is not replaced, though its folder would allow it.
bool isReadOnly(const QString& target)
{
    return ::access(QFile::encodeName(target).constData(), W_OK) != 0 && errno == EACCES;
}

// Starts the file that will take the place of the one at path; false with the reason
// when it cannot. The bytes and then the name are brought to the disk before the call
// counts as done: a file system that takes no more shows it only there, after every
// write went into a cache.
bool start(StagedFile& file, const QString& path, const WholeFile::Options& options,
           QString* reason)
{
    const QString target = throughLinks(path);
    if (isReadOnly(target))
        return failed(reason, QString::fromLocal8Bit(std::strerror(EACCES)));
    StagedFile::Options staged;
    staged.flushOnPublish = true;
    const std::optional<mode_t> mode = modeFor(target, options);
    if (file.open(target, staged) && (!mode || file.setMode(*mode)))
        return true;
    return failed(reason, file.errorString());
}

bool finish(StagedFile& file, bool written, QString* reason)
{
    if (written && file.publish())
        return true;
    const QString text = file.errorString();
    file.discard();
    return failed(reason, text);
}

} // namespace

namespace WholeFile {

bool write(const QString& path, const QByteArray& bytes, QString* reason, const Options& options)
{
    StagedFile file;
    return start(file, path, options, reason) && finish(file, file.write(bytes), reason);
}

bool copy(QIODevice& source, const QString& path, QString* reason, const Options& options)
{
    StagedFile file;
    if (!start(file, path, options, reason))
        return false;
    bool written = true;
    while (written && !source.atEnd()) {
        const QByteArray chunk = source.read(kChunkSize);
        if (chunk.isEmpty())
            return failed(reason, source.errorString());
        written = file.write(chunk);
    }
    return finish(file, written, reason);
}

} // namespace WholeFile
