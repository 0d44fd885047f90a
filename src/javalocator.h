#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Finds Java executables, tells their major version by running them once with
// -version, and picks one that is new enough.
namespace JavaLocator {

// Every candidate executable in order of preference, each path once: managed
// runtimes, runtimes under root/runtime, JAVA_HOME, the search path, the usual
// system folders. Nothing is run.
QStringList findAll(const QString& root);

// The major version of the Java at this path; 0 when it cannot be told. Each path is
// run at most once per process; the answer, 0 included, is kept.
int majorVersion(const QString& javaPath);

// The first candidate whose major version is at least requiredMajor; a non-empty
// preferredPath (a java executable or a folder holding bin/java) goes first and must
// exist. Empty with the translated reason in error when nothing fits.
QString select(const QString& root, int requiredMajor, const QString& preferredPath,
               QString* error = nullptr);

// The executable to start for a program without a console window: on this platform
// an existing executable named java comes back absolute and cleaned.
QString windowlessVariant(const QString& javaPath);

// Test seams: how long a probe may run (5000 ms by default; a non-positive value
// restores it), and the system installation folders scanned last (nullopt restores
// the usual ones).
void setProbeTimeoutForTesting(int milliseconds);
void setSystemRootsForTesting(const std::optional<QStringList>& roots);

} // namespace JavaLocator
