#include "javatools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace JavaTools {
namespace {

constexpr int ToolTimeoutMs = 120000;

QString realExecutable(const QString& name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QString() : QFileInfo(found).canonicalFilePath();
}

// The jar tool of the JDK that holds javac, so both agree on the version.
QString jarExecutable()
{
    const QString javac = javacExecutable();
    const QString sibling = QFileInfo(javac).absolutePath() + QStringLiteral("/jar");
    return QFileInfo::exists(sibling) ? sibling : realExecutable(QStringLiteral("jar"));
}

bool run(const QString& program, const QStringList& arguments, QString* error)
{
    if (program.isEmpty()) {
        if (error)
            *error = QStringLiteral("Java development tools not found");
        return false;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(ToolTimeoutMs) || !process.waitForFinished(ToolTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        if (error)
            *error = QStringLiteral("%1 did not finish: %2").arg(program, process.errorString());
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("%1 failed (%2): %3")
                         .arg(program)
                         .arg(process.exitCode())
                         .arg(QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool writeSource(const QString& root, const JavaSource& source, QString* written, QString* error)
{
    const QString path = root + QLatin1Char('/') +
                         QString(source.className).replace(QLatin1Char('.'), QLatin1Char('/')) +
                         QStringLiteral(".java");
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray content = source.source.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
        if (error)
            *error = QStringLiteral("Cannot write %1").arg(path);
        return false;
    }
    *written = path;
    return true;
}

} // namespace

bool compileJar(const QList<JavaSource>& sources, const QString& jarPath, const QString& mainClass,
                QString* error)
{
    QTemporaryDir work;
    if (!work.isValid()) {
        if (error)
            *error = QStringLiteral("Cannot create a temporary folder");
        return false;
    }
    const QString sourceDir = work.filePath(QStringLiteral("src"));
    const QString classDir = work.filePath(QStringLiteral("classes"));
    QStringList javacArguments{QStringLiteral("-encoding"), QStringLiteral("UTF-8"),
                               QStringLiteral("-nowarn"), QStringLiteral("-d"), classDir};
    for (const JavaSource& source : sources) {
        QString written;
        if (!writeSource(sourceDir, source, &written, error))
            return false;
        javacArguments << written;
    }
    if (!run(javacExecutable(), javacArguments, error))
        return false;

    const QString target = QFileInfo(jarPath).absoluteFilePath();
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);
    QStringList jarArguments{QStringLiteral("--create"), QStringLiteral("--file"), target};
    if (!mainClass.isEmpty())
        jarArguments << QStringLiteral("--main-class") << mainClass;
    jarArguments << QStringLiteral("-C") << classDir << QStringLiteral(".");
    return run(jarExecutable(), jarArguments, error);
}

bool compileMainJar(const QString& className, const QString& source, const QString& jarPath,
                    QString* error)
{
    return compileJar({{className, source}}, jarPath, className, error);
}

QString javaExecutable()
{
    return realExecutable(QStringLiteral("java"));
}

QString javacExecutable()
{
    return realExecutable(QStringLiteral("javac"));
}

QString javaHome()
{
    const QString java = javaExecutable();
    if (java.isEmpty())
        return {};
    QDir bin = QFileInfo(java).absoluteDir();
    bin.cdUp();
    return bin.absolutePath();
}

} // namespace JavaTools
