#include "zlibreference.h"

#include "localization.h"
#include "pathrules.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <dlfcn.h>

namespace {
const char* const kSystemLibrary = "libz.so.1";
const QString kLibraryFile = QStringLiteral("/libz.so.1");
const QString kSystemReferenceDir = QStringLiteral("/usr/lib/Hollowmere");
const QString kPreloadVariable = QStringLiteral("LD_PRELOAD");

struct TestOverrides {
    std::optional<QString> zlibVersion;
    std::optional<QString> applicationDir;
    QString systemDir;
    std::optional<QString> reference;
};

TestOverrides& overrides()
{
    static TestOverrides values;
    return values;
}

QString systemZlibVersion()
{
    void* library = dlopen(kSystemLibrary, RTLD_LAZY);
    if (!library)
        return {};
    using VersionFunction = const char* (*)();
    const auto version = reinterpret_cast<VersionFunction>(dlsym(library, "zlibVersion"));
    const QString text = version ? QString::fromLatin1(version()) : QString();
    dlclose(library);
    return text;
}

bool isZlibNg(const QString& versionText)
{
    return versionText.contains(QLatin1String("zlib-ng"), Qt::CaseInsensitive);
}

QString runningApplicationDir()
{
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

// The first candidate that is a file, in order of preference.
QString findReference(const QString& applicationDir, const QString& systemDir)
{
    QStringList candidates;
    if (!applicationDir.isEmpty()) {
        candidates << applicationDir + QStringLiteral("/zlib") + kLibraryFile
                   << applicationDir + QStringLiteral("/../lib/Hollowmere") + kLibraryFile;
    }
    candidates << systemDir + kLibraryFile;
    for (const QString& candidate : std::as_const(candidates)) {
        const QFileInfo file(candidate);
        if (file.isFile())
            return file.canonicalFilePath();
    }
    return {};
}
} // namespace

namespace ZlibReference {

bool systemIsZlibNg()
{
    if (const std::optional<QString>& version = overrides().zlibVersion)
        return isZlibNg(*version);
    static const bool result = isZlibNg(systemZlibVersion());
    return result;
}

QString bundledPath()
{
    TestOverrides& test = overrides();
    if (test.applicationDir) {
        if (!test.reference)
            test.reference = findReference(*test.applicationDir, test.systemDir);
        return *test.reference;
    }
    static const QString path = findReference(runningApplicationDir(), kSystemReferenceDir);
    return path;
}

bool applyTo(QProcessEnvironment& environment, QString* message)
{
    if (!systemIsZlibNg()) {
        if (message && !message->isEmpty())
            *message = QString();
        return true;
    }
    const QString reference = bundledPath();
    if (reference.isEmpty()) {
        if (message)
            *message = Loc::text("zlib.warning.referenceMissing");
        return false;
    }
    const QString previous = environment.value(kPreloadVariable);
    environment.insert(kPreloadVariable,
                       previous.isEmpty() ? reference : reference + QLatin1Char(':') + previous);
    if (message)
        *message = Loc::text("zlib.status.preloaded").arg(PathRules::native(reference));
    return true;
}

void setSystemZlibVersionForTesting(const std::optional<QString>& versionText)
{
    overrides().zlibVersion = versionText;
}

void setReferenceDirsForTesting(const QString& applicationDir, const QString& systemDir)
{
    TestOverrides& test = overrides();
    test.applicationDir = applicationDir;
    test.systemDir = systemDir;
    test.reference.reset();
}

void resetForTesting()
{
    overrides() = TestOverrides();
}

} // namespace ZlibReference
