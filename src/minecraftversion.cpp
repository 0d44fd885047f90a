#include "minecraftversion.h"

#include "folders.h"
#include "jsonnumber.h"
#include "localization.h"
#include "pathrules.h"
#include "readfailuretext.h"
#include "regularfile.h"
#include "wholefile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace {

// Beyond this many files an "inheritsFrom" chain is refused.
constexpr int kMaxChainLength = 10;

const QStringList kDefaultJvmArgs = {
    QStringLiteral("-Djava.library.path=${natives_directory}"),
    QStringLiteral("-Dminecraft.launcher.brand=${launcher_name}"),
    QStringLiteral("-Dminecraft.launcher.version=${launcher_version}"),
    QStringLiteral("-cp"),
    QStringLiteral("${classpath}"),
};

QString& architectureOverride()
{
    static QString value;
    return value;
}

const QString& systemArchitecture()
{
    static const QString value = QSysInfo::currentCpuArchitecture();
    return value;
}

// Reading the release file on every rule would dominate a resolution.
const QString& systemProductVersion()
{
    static const QString value = QSysInfo::productVersion();
    return value;
}

using PathRules::native;

QStringList toStringList(const QJsonArray& array)
{
    QStringList out;
    out.reserve(array.size());
    for (const QJsonValue& value : array)
        out.append(value.toString());
    return out;
}

bool ruleApplies(const QJsonObject& rule, const QSet<QString>& features)
{
    const QJsonObject wanted = rule.value(QLatin1String("features")).toObject();
    for (auto it = wanted.constBegin(); it != wanted.constEnd(); ++it) {
        const bool expected = it.value().isBool() && it.value().toBool();
        if (expected != features.contains(it.key()))
            return false;
    }

    const QJsonObject os = rule.value(QLatin1String("os")).toObject();
    if (os.isEmpty())
        return true;
    if (os.contains(QLatin1String("name")) &&
        os.value(QLatin1String("name")).toString() != VersionLoader::osName())
        return false;
    if (os.contains(QLatin1String("arch")) &&
        os.value(QLatin1String("arch")).toString() != VersionLoader::osArch())
        return false;
    if (os.contains(QLatin1String("version"))) {
        const QRegularExpression pattern(os.value(QLatin1String("version")).toString());
        if (!pattern.isValid() || !pattern.match(systemProductVersion()).hasMatch())
            return false;
    }
    return true;
}

void appendArguments(const QJsonArray& arguments, QStringList& out, const QSet<QString>& features)
{
    for (const QJsonValue& element : arguments) {
        if (element.isString()) {
            out.append(element.toString());
            continue;
        }
        const QJsonObject conditional = element.toObject();
        if (!VersionLoader::rulesAllow(conditional.value(QLatin1String("rules")).toArray(),
                                       features))
            continue;
        const QJsonValue value = conditional.value(QLatin1String("value"));
        if (value.isString())
            out.append(value.toString());
        else
            out.append(toStringList(value.toArray()));
    }
}

QString mavenToPath(const QString& coordinate)
{
    QString base = coordinate;
    QString extension = QStringLiteral("jar");
    const qsizetype at = coordinate.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        extension = coordinate.mid(at + 1);
        base = coordinate.left(at);
    }
    const QStringList parts = base.split(QLatin1Char(':'));
    if (parts.size() < 3)
        return {};
    const QString& group = parts[0];
    const QString& artifact = parts[1];
    const QString& version = parts[2];
    QString path = QString(group).replace(QLatin1Char('.'), QLatin1Char('/')) + QLatin1Char('/') +
                   artifact + QLatin1Char('/') + version + QLatin1Char('/') + artifact +
                   QLatin1Char('-') + version;
    if (parts.size() > 3)
        path += QLatin1Char('-') + parts[3];
    return path + QLatin1Char('.') + extension;
}

QString mavenClassifier(const QString& coordinate)
{
    const QStringList parts = coordinate.split(QLatin1Char(':'));
    if (parts.size() < 4)
        return {};
    return parts[3].section(QLatin1Char('@'), 0, 0);
}

MinecraftLibrary libraryFromDownload(const QString& name, const QJsonObject& download,
                                     const QString& fallbackPath)
{
    MinecraftLibrary library;
    library.name = name;
    library.path = download.value(QLatin1String("path")).toString();
    if (library.path.isEmpty())
        library.path = fallbackPath;
    library.url = download.value(QLatin1String("url")).toString();
    library.sha1 = download.value(QLatin1String("sha1")).toString();
    library.size = JsonNumber::size(download.value(QLatin1String("size")));
    return library;
}

QString joinUrl(const QString& base, const QString& path)
{
    return base.endsWith(QLatin1Char('/')) ? base + path : base + QLatin1Char('/') + path;
}

QString expandArch(QString classifier)
{
    const bool x86 = VersionLoader::osArch() == QLatin1String("x86");
    return classifier.replace(QLatin1String("${arch}"),
                              x86 ? QLatin1String("32") : QLatin1String("64"));
}

void parseLibraries(const QJsonObject& version, QList<MinecraftLibrary>& out,
                    const QSet<QString>& features)
{
    const QJsonArray entries = version.value(QLatin1String("libraries")).toArray();
    for (const QJsonValue& element : entries) {
        const QJsonObject entry = element.toObject();
        if (!VersionLoader::rulesAllow(entry.value(QLatin1String("rules")).toArray(), features))
            continue;
        const QString name = entry.value(QLatin1String("name")).toString();
        if (name.isEmpty())
            continue;

        const QString coordinatePath = mavenToPath(name);
        const QJsonObject downloads = entry.value(QLatin1String("downloads")).toObject();
        const QStringList exclude = toStringList(entry.value(QLatin1String("extract"))
                                                     .toObject()
                                                     .value(QLatin1String("exclude"))
                                                     .toArray());

        if (downloads.contains(QLatin1String("artifact")) ||
            !downloads.contains(QLatin1String("classifiers"))) {
            MinecraftLibrary artifact = libraryFromDownload(
                name, downloads.value(QLatin1String("artifact")).toObject(), coordinatePath);
            const QString repository = entry.value(QLatin1String("url")).toString();
            if (artifact.url.isEmpty() && !repository.isEmpty())
                artifact.url = joinUrl(repository, artifact.path);
            if (!artifact.path.isEmpty()) {
                artifact.native = mavenClassifier(name).startsWith(QLatin1String("natives-"));
                artifact.extractExclude = exclude;
                out.append(artifact);
            }
        }

        const QJsonObject natives = entry.value(QLatin1String("natives")).toObject();
        const QString classifierTemplate = natives.value(VersionLoader::osName()).toString();
        if (natives.isEmpty() || classifierTemplate.isEmpty())
            continue;
        const QString classifier = expandArch(classifierTemplate);
        const QString nativeName = name + QLatin1Char(':') + classifier;
        MinecraftLibrary native = libraryFromDownload(
            nativeName,
            downloads.value(QLatin1String("classifiers")).toObject().value(classifier).toObject(),
            mavenToPath(nativeName));
        if (!native.path.isEmpty()) {
            native.native = true;
            native.extractExclude = exclude;
            out.append(native);
        }
    }
}

// Group and artifact, plus the classifier when there is one: a library of a
// more derived description replaces the same library of an ancestor.
QString libraryKey(const QString& name)
{
    const QStringList parts = name.split(QLatin1Char(':'));
    if (parts.size() < 2)
        return name;
    QString key = parts[0] + QLatin1Char(':') + parts[1];
    if (parts.size() >= 4)
        key += QLatin1Char(':') + parts[3];
    return key;
}

void removeDuplicateLibraries(QList<MinecraftLibrary>& libraries)
{
    QSet<QString> seen;
    seen.reserve(libraries.size());
    libraries.removeIf([&seen](const MinecraftLibrary& library) {
        const QString key = libraryKey(library.name);
        if (seen.contains(key))
            return true;
        seen.insert(key);
        return false;
    });
}

// Per group and artifact, keeps one native classifier: the one for this exact
// machine, else the generic one for this system, else the first offered.
void pickNativesForCurrentArch(QList<MinecraftLibrary>& libraries)
{
    const QString exact = VersionLoader::nativeClassifier();
    const QString generic = QStringLiteral("natives-") + VersionLoader::osName();

    QHash<QString, QString> chosen;
    auto groupAndArtifact = [](const MinecraftLibrary& library, QString* key) {
        if (!library.native)
            return false;
        const QStringList parts = library.name.split(QLatin1Char(':'));
        if (parts.size() < 4)
            return false;
        *key = parts[0] + QLatin1Char(':') + parts[1];
        return true;
    };

    QString key;
    for (const MinecraftLibrary& library : std::as_const(libraries)) {
        if (!groupAndArtifact(library, &key))
            continue;
        const QString classifier = mavenClassifier(library.name);
        QString& current = chosen[key];
        if (current != exact && (classifier == exact || classifier == generic || current.isEmpty()))
            current = classifier;
    }

    libraries.removeIf([&](const MinecraftLibrary& library) {
        QString libraryGroup;
        return groupAndArtifact(library, &libraryGroup) &&
               mavenClassifier(library.name) != chosen.value(libraryGroup);
    });
}

// Reads the requested description and its ancestors, most derived first.
bool readChain(const QString& gameDir, const QString& versionId, QStringList& ids,
               QList<QJsonObject>& files, QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };

    QString current = versionId;
    while (!current.isEmpty()) {
        if (ids.contains(current))
            return fail(Loc::text("version.error.inheritsCycle").arg(current));
        if (ids.size() >= kMaxChainLength)
            return fail(Loc::text("common.error.inheritsChainTooLong").arg(versionId));
        // A parent named "../x" would read, and later launch, files from
        // outside the versions folder.
        if (!PathRules::isVersionId(current))
            return fail(Loc::text("version.error.invalidId"));

        const QString path = VersionLoader::versionJsonPath(gameDir, current);
        RegularFile::Failure readFailure;
        const std::optional<QByteArray> content =
            RegularFile::read(path, RegularFile::kDocumentLimit, &readFailure);
        if (!content)
            return fail(readFailure.kind == RegularFile::Failure::Kind::Missing
                            ? Loc::text("version.error.fileMissing").arg(native(path))
                            : ReadFailureText::message(path, readFailure));
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject())
            return fail(
                Loc::text("version.error.fileCorrupt").arg(native(path), parseError.errorString()));

        const QJsonObject object = document.object();
        files.append(object);
        ids.append(current);
        current = object.value(QLatin1String("inheritsFrom")).toString();
    }
    return true;
}

void mergeJavaVersion(const QJsonObject& file, MinecraftVersion& version)
{
    const QJsonValue major =
        file.value(QLatin1String("javaVersion")).toObject().value(QLatin1String("majorVersion"));
    if (!major.isDouble())
        return;
    const double value = major.toDouble();
    if (value == std::floor(value) && value >= std::numeric_limits<int>::min() &&
        value <= std::numeric_limits<int>::max())
        version.javaMajor = static_cast<int>(value);
}

void mergeLogging(const QString& gameDir, const QJsonObject& file, MinecraftVersion& version)
{
    const QJsonObject client =
        file.value(QLatin1String("logging")).toObject().value(QLatin1String("client")).toObject();
    if (client.isEmpty())
        return;
    version.loggingArgument = client.value(QLatin1String("argument")).toString();
    const QString fileId =
        client.value(QLatin1String("file")).toObject().value(QLatin1String("id")).toString();
    if (!fileId.isEmpty())
        version.loggingConfigPath = gameDir + QStringLiteral("/assets/log_configs/") + fileId;
}

void mergeArguments(const QJsonObject& file, MinecraftVersion& version,
                    const QSet<QString>& features)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    if (file.contains(QLatin1String("minecraftArguments")))
        version.gameArgs = file.value(QLatin1String("minecraftArguments"))
                               .toString()
                               .split(whitespace, Qt::SkipEmptyParts);

    const QJsonObject arguments = file.value(QLatin1String("arguments")).toObject();
    appendArguments(arguments.value(QLatin1String("jvm")).toArray(), version.jvmArgs, features);
    const QJsonArray game = arguments.value(QLatin1String("game")).toArray();
    appendArguments(game, version.gameArgs, features);

    if (game.isEmpty())
        return;
    const QByteArray text = QJsonDocument(game).toJson(QJsonDocument::Compact);
    if (text.contains("quickPlayMultiplayer"))
        version.hasQuickPlayMultiplayer = true;
    if (text.contains("resolution_width"))
        version.hasResolutionArgs = true;
}

void mergeFile(const QString& gameDir, const QJsonObject& file, MinecraftVersion& version,
               const QSet<QString>& features)
{
    auto stringOf = [&file](const char* key) { return file.value(QLatin1String(key)).toString(); };
    if (file.contains(QLatin1String("mainClass")))
        version.mainClass = stringOf("mainClass");
    if (file.contains(QLatin1String("type")))
        version.type = stringOf("type");
    if (file.contains(QLatin1String("assets")))
        version.assets = stringOf("assets");
    if (file.contains(QLatin1String("assetIndex")))
        version.assetIndex = file.value(QLatin1String("assetIndex"))
                                 .toObject()
                                 .value(QLatin1String("id"))
                                 .toString();
    if (file.contains(QLatin1String("javaVersion")))
        mergeJavaVersion(file, version);
    mergeLogging(gameDir, file, version);
    mergeArguments(file, version, features);
}

bool namesClassPath(const QStringList& jvmArgs)
{
    return std::any_of(jvmArgs.cbegin(), jvmArgs.cend(), [](const QString& argument) {
        return argument == QLatin1String("-cp") || argument == QLatin1String("-classpath");
    });
}

QString clientJarOf(const QString& gameDir, const QStringList& chainIds)
{
    for (const QString& id : chainIds) {
        const QString jar = VersionLoader::versionJarPath(gameDir, id);
        if (QFileInfo::exists(jar))
            return jar;
    }
    return VersionLoader::versionJarPath(gameDir, chainIds.last());
}

} // namespace

namespace VersionLoader {

QString versionJsonPath(const QString& gameDir, const QString& id)
{
    return gameDir + QStringLiteral("/versions/") + id + QLatin1Char('/') + id +
           QStringLiteral(".json");
}

QString versionJarPath(const QString& gameDir, const QString& id)
{
    return gameDir + QStringLiteral("/versions/") + id + QLatin1Char('/') + id +
           QStringLiteral(".jar");
}

bool saveDescription(const QString& gameDir, const QString& id, const QByteArray& bytes,
                     QString* error)
{
    const QString path = versionJsonPath(gameDir, id);
    if (!Folders::make(QFileInfo(path).path(), error))
        return false;
    QString reason;
    if (WholeFile::write(path, bytes, &reason))
        return true;
    if (error)
        *error = reason.isEmpty() ? Loc::text("common.error.versionSaveFailed").arg(id)
                                  : Loc::text("common.error.versionSaveFailedWhy").arg(id, reason);
    return false;
}

MinecraftVersion load(const QString& gameDir, const QString& versionId,
                      const QSet<QString>& features, QString* error)
{
    if (!PathRules::isVersionId(versionId)) {
        if (error)
            *error = Loc::text("version.error.invalidId");
        return {};
    }

    QStringList ids;
    QList<QJsonObject> files;
    if (!readChain(gameDir, versionId, ids, files, error))
        return {};

    MinecraftVersion version;
    version.id = versionId;
    for (auto file = files.crbegin(); file != files.crend(); ++file)
        mergeFile(gameDir, *file, version, features);

    if (version.assetIndex.isEmpty())
        version.assetIndex = version.assets;
    if (version.assets.isEmpty())
        version.assets = version.assetIndex;
    if (version.type.isEmpty())
        version.type = QStringLiteral("release");

    for (const QJsonObject& file : std::as_const(files))
        parseLibraries(file, version.libraries, features);
    removeDuplicateLibraries(version.libraries);
    pickNativesForCurrentArch(version.libraries);

    if (!namesClassPath(version.jvmArgs))
        version.jvmArgs.append(kDefaultJvmArgs);
    version.clientJar = clientJarOf(gameDir, ids);

    if (version.mainClass.isEmpty() && error)
        *error = Loc::text("version.error.noMainClass").arg(versionId);
    return version;
}

bool rulesAllow(const QJsonArray& rules, const QSet<QString>& features)
{
    if (rules.isEmpty())
        return true;
    bool allowed = false;
    for (const QJsonValue& element : rules) {
        const QJsonObject rule = element.toObject();
        if (ruleApplies(rule, features))
            allowed = rule.value(QLatin1String("action")).toString() != QLatin1String("disallow");
    }
    return allowed;
}

QString osName()
{
    return QStringLiteral("linux");
}

QString osArch()
{
    const QString& architecture =
        architectureOverride().isEmpty() ? systemArchitecture() : architectureOverride();
    if (architecture == QLatin1String("i386") || architecture == QLatin1String("i686"))
        return QStringLiteral("x86");
    return architecture;
}

QString nativeClassifier()
{
    return osArch() == QLatin1String("arm64") ? QStringLiteral("natives-linux-arm64")
                                              : QStringLiteral("natives-linux");
}

QStringList installedVersions(const QString& gameDir)
{
    QStringList names = QDir(gameDir + QStringLiteral("/versions"))
                            .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    std::sort(names.begin(), names.end());
    names.removeIf([&gameDir](const QString& name) {
        return !QFileInfo::exists(versionJsonPath(gameDir, name));
    });
    return names;
}

QStringList dependentsOf(const QString& gameDir, const QString& id)
{
    if (id.isEmpty())
        return {};
    QStringList dependents;
    for (const QString& candidate : installedVersions(gameDir)) {
        if (candidate == id)
            continue;
        const QJsonObject description =
            RegularFile::readObject(versionJsonPath(gameDir, candidate));
        if (description.value(QLatin1String("inheritsFrom")).toString() == id)
            dependents.append(candidate);
    }
    return dependents;
}

qint64 installedSize(const QString& gameDir, const QString& id)
{
    if (!PathRules::isVersionId(id))
        return 0;
    qint64 total = 0;
    QDirIterator it(gameDir + QStringLiteral("/versions/") + id,
                    QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

bool remove(const QString& gameDir, const QString& id, QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    if (gameDir.isEmpty() || !PathRules::isVersionId(id))
        return fail(Loc::text("version.error.invalidId"));

    // Both sides cleaned, so "game/" or "a/../game" name the same folder.
    const QString versionsDir = QDir::cleanPath(gameDir + QStringLiteral("/versions"));
    const QString target = QDir::cleanPath(versionsDir + QLatin1Char('/') + id);
    if (!target.startsWith(versionsDir + QLatin1Char('/')))
        return fail(Loc::text("version.error.invalidId"));

    const QFileInfo info(target);
    // A linked version folder: drop the link, never the folder it points at.
    if (info.isSymLink()) {
        if (!QFile::remove(target))
            return fail(Loc::text("common.error.removeFailed").arg(native(target)));
        return true;
    }
    if (!info.isDir())
        return true;
    if (!QDir(target).removeRecursively())
        return fail(Loc::text("common.error.removeFailed").arg(native(target)));
    return true;
}

void setCpuArchitectureForTesting(const QString& architecture)
{
    architectureOverride() = architecture;
}

} // namespace VersionLoader
