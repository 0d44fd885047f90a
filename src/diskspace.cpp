#include "diskspace.h"

#include "localization.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <limits>

namespace {

// Left free beyond what an extraction declares: the game, its logs and the system keep
// working on a volume an archive has just filled.
constexpr quint64 kMargin = 64 * 1024 * 1024;
constexpr quint64 kMiB = 1024 * 1024;

std::function<qint64(const QString&)>& probeOverride()
{
    static std::function<qint64(const QString&)> probe;
    return probe;
}

QString nearestExisting(const QString& path)
{
    QString probe = QDir::cleanPath(QDir(path).absolutePath());
    while (!QFileInfo::exists(probe)) {
        const QString parent = QFileInfo(probe).path();
        if (parent == probe)
            break;
        probe = parent;
    }
    return probe;
}

} // namespace

namespace DiskSpace {

qint64 availableBytes(const QString& path)
{
    if (probeOverride())
        return probeOverride()(path);
    const QStorageInfo storage(nearestExisting(path));
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

bool hasRoomFor(const QString& path, quint64 bytes, const QString& what, QString* error)
{
    const qint64 available = availableBytes(path);
    const quint64 need = bytes > std::numeric_limits<quint64>::max() - kMargin
                             ? std::numeric_limits<quint64>::max()
                             : bytes + kMargin;
    if (available < 0 || quint64(available) >= need)
        return true;
    if (error)
        *error = Loc::text("storage.error.notEnoughSpaceToExtract")
                     .arg(what, QString::number(need / kMiB));
    return false;
}

void setProbeForTesting(std::function<qint64(const QString&)> probe)
{
    probeOverride() = std::move(probe);
}

} // namespace DiskSpace
