#include "javalocator.h"

#include "javaruntime.h"
#include "localization.h"
#include "pathrules.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

namespace {
const QString kJavaName = QStringLiteral("java");
constexpr int kProbeTimeoutMs = 5000;
const QStringList kSystemRoots = {QStringLiteral("/usr/lib/jvm"), QStringLiteral("/usr/java"),
                                  QStringLiteral("/opt/java"), QStringLiteral("/opt/jdk")};
// Where a Java installation keeps its executable below its own folder.
const QStringList kInstallationBinDirs = {
    QStringLiteral("/bin"), QStringLiteral("/Contents/Home/bin"), QStringLiteral("/jre/bin")};

int& probeTimeout()
{
    static int milliseconds = kProbeTimeoutMs;
    return milliseconds;
}

std::optional<QStringList>& systemRootsOverride()
{
    static std::optional<QStringList> roots;
    return roots;
}

void appendOnce(QStringList& candidates, const QString& path)
{
    if (!candidates.contains(path))
        candidates.append(path);
}

// A folder counts when it holds an executable file named java.
void addCandidateDirectory(QStringList& candidates, const QString& dir)
{
    const QFileInfo file(dir + QLatin1Char('/') + kJavaName);
    if (!file.isFile() || !file.isExecutable())
        return;
    appendOnce(candidates, QDir::cleanPath(file.absoluteFilePath()));
}

void addManagedRuntimes(QStringList& candidates)
{
    const QList<InstalledJavaRuntime> runtimes = JavaRuntimeStore::installed();
    for (const InstalledJavaRuntime& runtime : runtimes)
        appendOnce(candidates, runtime.javaPath);
}

// Runtimes kept in the game directory's runtime folder, shared by every build.
void addGameDirRuntimes(QStringList& candidates, const QString& root)
{
    if (root.isEmpty())
        return;
    const QString dir = root + QStringLiteral("/runtime");
    if (!QFileInfo(dir).isDir())
        return;
    QDirIterator walk(dir, {kJavaName}, QDir::Files | QDir::Executable,
                      QDirIterator::Subdirectories);
    while (walk.hasNext())
        addCandidateDirectory(candidates, QFileInfo(walk.next()).absolutePath());
}

void addEnvironment(QStringList& candidates)
{
    const QString javaHome = qEnvironmentVariable("JAVA_HOME");
    if (!javaHome.isEmpty())
        addCandidateDirectory(candidates, javaHome + QStringLiteral("/bin"));
    const QString onSearchPath = QStandardPaths::findExecutable(kJavaName);
    if (!onSearchPath.isEmpty())
        addCandidateDirectory(candidates, QFileInfo(onSearchPath).absolutePath());
}

void addSystemInstallations(QStringList& candidates)
{
    const QStringList roots = systemRootsOverride().value_or(kSystemRoots);
    for (const QString& root : roots) {
        if (!QFileInfo(root).isDir())
            continue;
        QStringList installations =
            QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
        std::sort(installations.begin(), installations.end());
        for (const QString& installation : std::as_const(installations)) {
            for (const QString& binDir : kInstallationBinDirs)
                addCandidateDirectory(candidates, root + QLatin1Char('/') + installation + binDir);
        }
    }
}

int capturedNumber(const QRegularExpressionMatch& match, int group)
{
    bool ok = false;
    const int value = match.captured(group).toInt(&ok);
    return ok ? value : 0;
}

// Reads the major version from a -version banner: "1.8.0_392" is 8, "17.0.9" is 17.
int majorFromBanner(const QString& banner)
{
    static const QRegularExpression re(QStringLiteral("version\\s+\"(\\d+)(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = re.match(banner);
    if (!match.hasMatch())
        return 0;
    const int first = capturedNumber(match, 1);
    return first == 1 ? capturedNumber(match, 2) : first;
}

int runVersionProbe(const QString& javaPath)
{
    QProcess process;
    process.start(javaPath, {QStringLiteral("-version")});
    if (!process.waitForFinished(probeTimeout())) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return 0;
    }
    const QString banner = QString::fromLocal8Bit(process.readAllStandardError()) +
                           QString::fromLocal8Bit(process.readAllStandardOutput());
    return majorFromBanner(banner);
}
} // namespace

namespace JavaLocator {

QStringList findAll(const QString& root)
{
    QStringList candidates;
    addManagedRuntimes(candidates);
    addGameDirRuntimes(candidates, root);
    addEnvironment(candidates);
    addSystemInstallations(candidates);
    return candidates;
}

int majorVersion(const QString& javaPath)
{
    // Failures are kept too: a broken or hanging Java costs its time-out only once.
    static QHash<QString, int> cache;
    const auto known = cache.constFind(javaPath);
    if (known != cache.cend())
        return *known;
    const int major = runVersionProbe(javaPath);
    cache.insert(javaPath, major);
    return major;
}

QString select(const QString& root, int requiredMajor, const QString& preferredPath, QString* error)
{
    QStringList candidates;
    if (!preferredPath.isEmpty()) {
        const QFileInfo preferred(preferredPath);
        if (preferred.isDir())
            addCandidateDirectory(candidates,
                                  preferred.absoluteFilePath() + QStringLiteral("/bin"));
        else if (preferred.isFile())
            candidates.append(preferred.absoluteFilePath());
        if (candidates.isEmpty()) {
            if (error)
                *error = Loc::text("java.error.notAtPath").arg(PathRules::native(preferredPath));
            return {};
        }
    }
    candidates += findAll(root);
    if (candidates.isEmpty()) {
        if (error)
            *error = Loc::text("java.error.notFound").arg(requiredMajor);
        return {};
    }

    int bestMajor = 0;
    QString best;
    for (const QString& candidate : std::as_const(candidates)) {
        const int major = majorVersion(candidate);
        if (major >= requiredMajor)
            return candidate;
        if (major > bestMajor) {
            bestMajor = major;
            best = candidate;
        }
    }
    if (error) {
        *error = best.isEmpty() ? Loc::text("java.error.versionUnknown").arg(requiredMajor)
                                : Loc::text("java.error.tooOld")
                                      .arg(QString::number(requiredMajor),
                                           QString::number(bestMajor), PathRules::native(best));
    }
    return {};
}

QString windowlessVariant(const QString& javaPath)
{
    const QFileInfo given(javaPath);
    if (given.fileName() != kJavaName)
        return javaPath;
    // There is no separate windowless launcher here: it is java itself.
    const QFileInfo windowless(given.dir(), kJavaName);
    if (!windowless.isFile())
        return javaPath;
    return QDir::cleanPath(windowless.absoluteFilePath());
}

void setProbeTimeoutForTesting(int milliseconds)
{
    probeTimeout() = milliseconds > 0 ? milliseconds : kProbeTimeoutMs;
}

void setSystemRootsForTesting(const std::optional<QStringList>& roots)
{
    systemRootsOverride() = roots;
}

} // namespace JavaLocator
