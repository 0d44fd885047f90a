#include "javaruntime.h"

#include "jsonnumber.h"
#include "launcherpaths.h"
#include "localization.h"
#include "pathrules.h"
#include "regularfile.h"
#include "wholefile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {
const QString kMetaFile = QStringLiteral("runtime.json");
const QString kJavaKey = QStringLiteral("java");
const QString kJdkKey = QStringLiteral("jdk");
const QString kJreKey = QStringLiteral("jre");

// Java majors by the year of a weekly snapshot ("24w14a").
int minimumForSnapshotYear(int year)
{
    if (year >= 24)
        return 21;
    if (year >= 22)
        return 17;
    if (year == 21)
        return 16;
    return 8;
}

int minimumForRelease(int major, int minor, int patch)
{
    if (major != 1 || minor > 20)
        return 21;
    if (minor == 20)
        return patch >= 5 ? 21 : 17;
    if (minor >= 18)
        return 17;
    if (minor == 17)
        return 16;
    return 8;
}

// A number the pattern captured; missing or too large for an int reads as 0.
int capturedNumber(const QRegularExpressionMatch& match, int group)
{
    bool ok = false;
    const int value = match.captured(group).toInt(&ok);
    return ok ? value : 0;
}

QString readText(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

InstalledJavaRuntime runtimeFromJson(const QJsonObject& object, const QString& runtimeDir)
{
    InstalledJavaRuntime runtime;
    runtime.id = readText(object, QStringLiteral("id"));
    runtime.kind = readText(object, QStringLiteral("kind"));
    runtime.major = object.value(QStringLiteral("major")).toInt(0);
    runtime.version = readText(object, QStringLiteral("version"));
    const QString javaPath = readText(object, QStringLiteral("javaPath"));
    if (!javaPath.isEmpty())
        runtime.javaPath = QDir(runtimeDir).filePath(javaPath);
    runtime.size = JsonNumber::size(object.value(QStringLiteral("size")));
    return runtime;
}

QJsonObject runtimeToJson(const InstalledJavaRuntime& runtime, const QString& runtimeDir)
{
    return QJsonObject{
        {QStringLiteral("id"), runtime.id},
        {QStringLiteral("kind"), runtime.kind},
        {QStringLiteral("major"), runtime.major},
        {QStringLiteral("version"), runtime.version},
        {QStringLiteral("javaPath"), QDir(runtimeDir).relativeFilePath(runtime.javaPath)},
        {QStringLiteral("size"), static_cast<double>(runtime.size)},
    };
}

void setError(QString* error, const QString& message)
{
    if (error)
        *error = message;
}
} // namespace

QString javaKindKey(JavaRuntimeKind kind)
{
    switch (kind) {
    case JavaRuntimeKind::Java:
        return kJavaKey;
    case JavaRuntimeKind::Jre:
        return kJreKey;
    default:
        return kJdkKey;
    }
}

std::optional<JavaRuntimeKind> javaKindFromKey(const QString& key)
{
    if (key == kJavaKey)
        return JavaRuntimeKind::Java;
    if (key == kJdkKey)
        return JavaRuntimeKind::Jdk;
    if (key == kJreKey)
        return JavaRuntimeKind::Jre;
    return std::nullopt;
}

QString javaKindTitle(JavaRuntimeKind kind)
{
    switch (kind) {
    case JavaRuntimeKind::Java:
        return Loc::text("common.java.kind.java");
    case JavaRuntimeKind::Jdk:
        return Loc::text("common.java.kind.jdk");
    case JavaRuntimeKind::Jre:
        return Loc::text("common.java.kind.jre");
    }
    return {};
}

namespace JavaRequirement {

int minimumFor(const QString& versionId)
{
    const QString id = versionId.trimmed();
    if (id.isEmpty())
        return 0;

    static const QRegularExpression snapshot(QStringLiteral("^(\\d{2})w\\d{2}[a-z]$"));
    const QRegularExpressionMatch weekly = snapshot.match(id);
    if (weekly.hasMatch())
        return minimumForSnapshotYear(capturedNumber(weekly, 1));

    static const QRegularExpression release(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch numbered = release.match(id);
    if (numbered.hasMatch())
        return minimumForRelease(capturedNumber(numbered, 1), capturedNumber(numbered, 2),
                                 capturedNumber(numbered, 3));

    // Alphas and betas (a1.0.4, b1.7.3) and anything else not starting with a digit.
    return 8;
}

QString coverage(int major)
{
    if (major > 20)
        return Loc::text("java.range.modern");
    if (major >= 17)
        return Loc::text("java.range.mid");
    if (major == 16)
        return Loc::text("java.range.seventeen");
    if (major >= 9)
        return Loc::text("java.range.unsuitable");
    if (major >= 1)
        return Loc::text("java.range.legacy");
    return {};
}

} // namespace JavaRequirement

namespace JavaRuntimeStore {

QString sanitizeId(const QString& id)
{
    return PathRules::runtimeDirName(id);
}

QString dirFor(const QString& id)
{
    const QString name = sanitizeId(id);
    if (name.isEmpty())
        return {};
    return LauncherPaths::javaDir() + QLatin1Char('/') + name;
}

std::optional<InstalledJavaRuntime> find(const QString& id)
{
    const QString runtimeDir = dirFor(id);
    if (runtimeDir.isEmpty())
        return std::nullopt;
    const InstalledJavaRuntime runtime = runtimeFromJson(
        RegularFile::readObject(runtimeDir + QLatin1Char('/') + kMetaFile), runtimeDir);
    if (runtime.id != id || runtime.javaPath.isEmpty() || !QFileInfo::exists(runtime.javaPath))
        return std::nullopt;
    return runtime;
}

QList<InstalledJavaRuntime> installed()
{
    QStringList names =
        QDir(LauncherPaths::javaDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    std::sort(names.begin(), names.end());

    QList<InstalledJavaRuntime> runtimes;
    for (const QString& name : std::as_const(names)) {
        if (std::optional<InstalledJavaRuntime> runtime = find(name))
            runtimes.append(*runtime);
    }
    std::stable_sort(runtimes.begin(), runtimes.end(),
                     [](const InstalledJavaRuntime& a, const InstalledJavaRuntime& b) {
                         if (a.major != b.major)
                             return a.major > b.major;
                         return a.version > b.version;
                     });
    return runtimes;
}

bool remove(const QString& id, QString* error)
{
    const QString runtimeDir = dirFor(id);
    if (runtimeDir.isEmpty() ||
        !runtimeDir.startsWith(LauncherPaths::javaDir() + QLatin1Char('/'))) {
        setError(error, Loc::text("java.error.invalidRuntimeId"));
        return false;
    }
    const QFileInfo info(runtimeDir);
    if (!info.isDir())
        return true;
    // A runtime folder that is a link goes as a link: emptying it recursively would
    // delete whatever the link points at, outside the launcher's folder.
    const bool removed =
        info.isSymLink() ? QFile::remove(runtimeDir) : QDir(runtimeDir).removeRecursively();
    if (!removed) {
        setError(error, Loc::text("common.error.removeFailed").arg(PathRules::native(runtimeDir)));
        return false;
    }
    return true;
}

QString locateBinary(const QString& runtimeDir)
{
    if (runtimeDir.isEmpty() || !QFileInfo(runtimeDir).isDir())
        return {};
    QString shortest;
    QDirIterator walk(runtimeDir, {QStringLiteral("java")}, QDir::Files,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QFileInfo file(walk.next());
        if (file.absoluteDir().dirName() != QLatin1String("bin"))
            continue;
        const QString path = file.absoluteFilePath();
        if (shortest.isEmpty() || path.size() < shortest.size())
            shortest = path;
    }
    return shortest;
}

bool writeMeta(const InstalledJavaRuntime& runtime, QString* error)
{
    const QString runtimeDir = dirFor(runtime.id);
    if (runtimeDir.isEmpty()) {
        setError(error, Loc::text("java.error.invalidRuntimeId"));
        return false;
    }
    const QString target = runtimeDir + QLatin1Char('/') + kMetaFile;
    const QByteArray content =
        QJsonDocument(runtimeToJson(runtime, runtimeDir)).toJson(QJsonDocument::Compact);
    if (WholeFile::write(target, content))
        return true;
    setError(error, Loc::text("java.error.writeFailed").arg(PathRules::native(target)));
    return false;
}

} // namespace JavaRuntimeStore
