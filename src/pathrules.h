#pragma once

#include <QString>

// The rules a name from outside (an archive entry, a catalog or version id, a build's
// display name) must pass before it becomes part of a path on disk. Each kind of name has
// its own rule and the rules differ on purpose; they sit side by side here so that every
// difference is visible. No rule accepts a NUL: the file system would cut the name there
// and reach another file.
namespace PathRules {

// --- One name ---

// A plain file name: not empty, not "." or "..", no "/".
bool isPlainFileName(const QString& name);
// A version id naming a folder under "versions": a plain file name that does not begin
// with "." (a hidden folder is never listed again) and holds no "\". Installed versions
// are read under whatever id they were given, ":" included.
bool isVersionId(const QString& id);
// A version id the launcher installs itself, from the manifest or a loader's profile: a
// version id that is also a game file name (no ":").
bool isInstallableVersionId(const QString& id);
// One step of a downloaded game file's path (an asset index or logging file id).
bool isGameFileName(const QString& name);
// The id of a seasonal catalog entry: 1 to 64 lower-case ASCII letters, digits, ".", "_"
// and "-", beginning with a letter or digit.
bool isSeasonalId(const QString& id);
// The game version a seasonal catalog entry names: a game file name of at most 128 code
// units. A leading "." passes here; the version installer refuses it on its own.
bool isSeasonalGameVersion(const QString& version);

// --- Relative paths ("/"-separated) ---

// A downloaded game file below "libraries" or "assets": not absolute, every step a game
// file name (no empty step, no "." or ".."), no "\" and no ":" anywhere.
bool isGameFilePath(const QString& path);
// An entry of a build's own archive, saved from the game directory by a switch: not
// absolute, no "." or ".." step; an empty step (a doubled or trailing "/") is allowed.
// ":" and "\" are ordinary characters of Linux file names (mods write folders such as
// "minecraft:overworld"), so they are kept and restored as they are.
bool isBuildArchivePath(const QString& path);
// An entry of a seasonal pack from the catalog server: the build archive rule, strict
// about ":" and "\" as well, so no drive letter or foreign separator gets in.
bool isPackPath(const QString& path);
// A member of a Java tar archive as tar lists it: not empty, not absolute, no ".." step
// ("./" steps are how tar names members).
bool isTarMemberPath(const QString& path);

// The file an archive path lands on: its non-empty steps joined by "/", so "a//b" and
// "a/b/" name the file "a/b" (and "b" the same file as "b").
QString collapsedPath(const QString& path);
// The text before the first "/", or the whole path.
QString topSegment(const QString& path);

// --- Names made safe ---

// A runtime identifier as a directory name below the java folder: ASCII letters, digits,
// "-" and "." kept, other ASCII characters and non-letters above ASCII made "_", leading
// dots dropped. May be empty; never holds a separator, never begins with a dot.
QString runtimeDirName(const QString& id);
// A build's display name as the base of its archive's file name: ASCII letters, digits,
// "-" and "_" kept, white space and "." made "_", other ASCII dropped; above ASCII,
// letters and numbers kept, spaces made "_", the rest dropped; leading "_" removed; at
// most 48 code units; "build" when nothing is left.
QString buildArchiveName(const QString& buildName);

// --- Paths shown to the player ---

// A local path as messages, logs and the interface show it: in the platform's separators.
QString native(const QString& path);

// --- Where a path lies ---

// Lexical: the cleaned path lies strictly below the cleaned absolute directory. Links are
// not resolved, and the directory is not inside itself.
bool isInside(const QString& directory, const QString& path);
bool isSameOrInside(const QString& directory, const QString& path);
// Whether both paths name one folder: the same cleaned absolute path, or the same real
// place with links resolved.
bool isSameFolder(const QString& a, const QString& b);
// On the disk: the deepest part of path that exists (a link counts, even a dangling one)
// really lies at realRoot or below it, links resolved. realRoot is a canonical path. A
// folder that is yet to be created is judged by the real place of the folder it would be
// created in, so nothing is made on the far side of a link.
bool isReallyInside(const QString& realRoot, const QString& path);

} // namespace PathRules
