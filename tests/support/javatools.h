#pragma once

#include <QList>
#include <QString>

// Builds tiny Java programs at test time with the installed JDK.
namespace JavaTools {

struct JavaSource {
    QString className; // fully qualified, e.g. "Main" or "net.example.Main"
    QString source;
};

// Compiles the sources and packs the classes into a jar at jarPath (its folder
// is created). With a mainClass the manifest names it as Main-Class. On failure
// returns false and fills error with the tool's output.
bool compileJar(const QList<JavaSource>& sources, const QString& jarPath,
                const QString& mainClass = {}, QString* error = nullptr);
// One class that is also the jar's main class.
bool compileMainJar(const QString& className, const QString& source, const QString& jarPath,
                    QString* error = nullptr);

// The real java and javac executables (symbolic links resolved); empty if absent.
QString javaExecutable();
QString javacExecutable();
// The installation folder holding bin/java; empty if absent.
QString javaHome();

} // namespace JavaTools
