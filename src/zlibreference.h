#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <optional>

// Some systems ship zlib-ng as libz.so.1. It compresses differently from classic
// zlib, so programs that check the checksums of what they compress (the mod-loader
// installers) fail there. A child process can be given a reference classic zlib
// installed with the launcher through LD_PRELOAD instead.
namespace ZlibReference {

// Whether the system libz.so.1 is zlib-ng; asked once per process.
bool systemIsZlibNg();

// The canonical path of the reference libz.so.1 next to the launcher, or empty;
// looked up once per process.
QString bundledPath();

// Puts the reference library first in the child's LD_PRELOAD when the system zlib is
// zlib-ng. False only when it is zlib-ng and no reference exists: a warning, the child
// may still be started. message, when given, receives the outcome (or is cleared).
bool applyTo(QProcessEnvironment& environment, QString* message = nullptr);

// Test seams. The version text stands in for the system library's answer (nullopt
// asks the library again). The folders stand in for the application folder and
// /usr/lib/Hollowmere; the reference found there is then kept until the next call.
void setSystemZlibVersionForTesting(const std::optional<QString>& versionText);
void setReferenceDirsForTesting(const QString& applicationDir, const QString& systemDir);
void resetForTesting();

} // namespace ZlibReference
