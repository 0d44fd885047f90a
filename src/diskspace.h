#pragma once

#include <QString>

#include <functional>

// Free space on the volume that holds a path, with one seam for tests: the build switch
// and every extraction ask here before they write.
namespace DiskSpace {

// Bytes available to the user on the volume of path, or of its nearest existing folder
// when path does not exist yet; -1 when unknown.
qint64 availableBytes(const QString& path);

// Whether `bytes` more fit below path with a margin left for the rest of the system. An
// unknown free space lets the caller go on: the writes report their own failures.
// On false, error (when given) names `what` and the megabytes needed.
bool hasRoomFor(const QString& path, quint64 bytes, const QString& what, QString* error);

// Replaces the free-space probe; an empty function restores the real one.
void setProbeForTesting(std::function<qint64(const QString&)> probe);

} // namespace DiskSpace
