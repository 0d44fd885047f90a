#pragma once

#include "testhelpers.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Game-directory trees for build-switch tests and benchmarks, their fingerprints on
// disk and inside archives, and a child-process mode that runs one switch so that it
// can be killed at any moment.
namespace GameDirFixture {

// The file name to SHA-1 map of a tree or an archive.
using Fingerprint = QMap<QString, QByteArray>;

// Writes the content of one build: hidden files and folders, nested folders, a file over
// 1 MB, a jar, a symbolic link to a file outside and a link to a folder outside. Content
// depends on the seed; outsideDir receives the link targets.
void writeBuildContent(const QString& gameDir, int seed, const QString& outsideDir);
// Writes the entries every build shares.
void writeSharedEntries(const QString& gameDir);
using TestHelpers::writeFile;
// Bytes that do not compress, repeatable by seed.
QByteArray noise(qint64 size, quint32 seed);

// Every regular file below dir by relative path, symbolic links neither listed nor
// followed, top-level names in excludeTop skipped.
Fingerprint fingerprintTree(const QString& dir, const QStringList& excludeTop = {});
// Every file entry of a zip by its stored name; empty when it cannot be read.
Fingerprint fingerprintArchive(const QString& zipPath);
// Top-level names of dir, hidden ones included, sorted.
QStringList topLevelNames(const QString& dir);

// A process started with this first argument runs one switch and exits:
// <exe> kSwitchChildArgument fromId fromName toId toName gameDir
// with HOLLOWMERE_HOME inherited. It prints "stage N" lines as the switch proceeds and
// exits 0 on success, 2 on failure.
inline constexpr char kSwitchChildArgument[] = "--run-build-switch";
bool isSwitchChild(int argc, char** argv);
int runSwitchChild(int argc, char** argv);

} // namespace GameDirFixture
