#include "wholefile.h"

#include <QByteArray>
#include <QIODevice>
#include <QSaveFile>

namespace {

constexpr qint64 kChunkSize = 256 * 1024;

bool start(QSaveFile& file, const WholeFile::Options& options)
{
    return file.open(QIODevice::WriteOnly) &&
           (!options.permissions || file.setPermissions(*options.permissions));
}

bool finish(QSaveFile& file, bool written, QString* reason)
{
    if (written && file.commit())
        return true;
    if (reason)
        *reason = file.errorString();
    return false;
}

} // namespace

namespace WholeFile {

bool write(const QString& path, const QByteArray& bytes, QString* reason, const Options& options)
{
    QSaveFile file(path);
    const bool written = start(file, options) && file.write(bytes) == bytes.size();
    return finish(file, written, reason);
}

bool copy(QIODevice& source, const QString& path, QString* reason, const Options& options)
{
    QSaveFile file(path);
    bool written = start(file, options);
    while (written && !source.atEnd()) {
        const QByteArray chunk = source.read(kChunkSize);
        written = !chunk.isEmpty() && file.write(chunk) == chunk.size();
    }
    return finish(file, written, reason);
}

} // namespace WholeFile
