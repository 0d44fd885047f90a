#pragma once

#include <QList>
#include <QString>

#include <optional>

// The kind of a downloadable or managed Java runtime. Records hold it as a plain
// integer; files and identifiers hold its key.
enum class JavaRuntimeKind : int {
    Java = 0, // a runtime from the game vendor's runtime index
    Jdk = 1,  // a Temurin build with development tools
    Jre = 2,  // a Temurin build for running only
};

// "java", "jdk" or "jre"; any value outside the enumeration reads as "jdk".
QString javaKindKey(JavaRuntimeKind kind);
// The kind whose key equals the text exactly (case-sensitive, untrimmed).
std::optional<JavaRuntimeKind> javaKindFromKey(const QString& key);
// The translated title in the current language; empty outside the enumeration.
QString javaKindTitle(JavaRuntimeKind kind);

// What the game needs of Java, told from a game version identifier alone.
namespace JavaRequirement {
// The lowest Java major version the game version needs; 0 for an empty identifier.
int minimumFor(const QString& versionId);
// The translated range of game versions a runtime of this major serves; empty for 0
// and below.
QString coverage(int major);
} // namespace JavaRequirement

// One runtime installed and managed by the launcher, as recorded in its runtime.json.
struct InstalledJavaRuntime {
    QString id;       // catalog identifier, equal to the directory name
    QString kind;     // kind key ("java", "jdk", "jre"), not validated on reading
    int major = 0;    // Java major version
    QString version;  // version text as the catalog gave it
    QString javaPath; // absolute path of the java executable
    qint64 size = 0;  // size in bytes as the installer recorded it

    bool operator==(const InstalledJavaRuntime&) const = default;
};

// The managed runtimes below the data directory's java folder. Nothing is kept in
// memory: every call looks at the disk afresh.
namespace JavaRuntimeStore {
// The directory-safe form of an identifier: the one rule for runtime directory names
// and catalog identifiers. Never contains a separator, never begins with a dot.
QString sanitizeId(const QString& id);
// The runtime directory for an identifier; empty when it has no safe form.
QString dirFor(const QString& id);
// The runtime with this identifier if its metadata names it and its executable exists.
std::optional<InstalledJavaRuntime> find(const QString& id);
// Every valid managed runtime, higher major first, then greater version text first.
QList<InstalledJavaRuntime> installed();
// Deletes the runtime directory; a runtime that is not there is no error.
bool remove(const QString& id, QString* error = nullptr);
// The java executable in a bin folder of an unpacked runtime tree (shortest path wins).
QString locateBinary(const QString& runtimeDir);
// Writes runtime.json into the runtime's existing directory.
bool writeMeta(const InstalledJavaRuntime& runtime, QString* error = nullptr);
} // namespace JavaRuntimeStore
