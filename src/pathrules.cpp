#include "pathrules.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace {

constexpr qsizetype kMaxArchiveNameLength = 48;
constexpr qsizetype kMaxSeasonalIdLength = 64;
constexpr qsizetype kMaxSeasonalVersionLength = 128;

bool hasNul(const QString& text)
{
    return text.contains(QChar(0));
}

bool isDotStep(const QString& step)
{
    return step == QLatin1String(".") || step == QLatin1String("..");
}

bool hasForeignSeparator(const QString& text)
{
    return text.contains(QLatin1Char('\\')) || text.contains(QLatin1Char(':'));
}

// Relative, no NUL, and no step that names the folder itself or its parent.
bool isRelativeWithoutDotSteps(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || hasNul(path))
        return false;
    const QStringList steps = path.split(QLatin1Char('/'));
    return std::none_of(steps.begin(), steps.end(), isDotStep);
}

bool isAsciiWhitespace(char16_t c)
{
    return c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' || c == u' ';
}

bool isAsciiLetterOrDigit(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

QString removeLeading(QString text, QChar unwanted)
{
    qsizetype count = 0;
    while (count < text.size() && text.at(count) == unwanted)
        ++count;
    return text.mid(count);
}

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QDir(path).absolutePath());
}

} // namespace

namespace PathRules {

bool isPlainFileName(const QString& name)
{
    return !name.isEmpty() && !isDotStep(name) && !name.contains(QLatin1Char('/')) && !hasNul(name);
}

bool isVersionId(const QString& id)
{
    return isPlainFileName(id) && !id.startsWith(QLatin1Char('.')) &&
           !id.contains(QLatin1Char('\\'));
}

bool isInstallableVersionId(const QString& id)
{
    return isVersionId(id) && isGameFileName(id);
}

bool isGameFileName(const QString& name)
{
    return isPlainFileName(name) && !hasForeignSeparator(name);
}

bool isSeasonalId(const QString& id)
{
    if (id.isEmpty() || id.size() > kMaxSeasonalIdLength)
        return false;
    const auto isLowerAlnum = [](char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
    };
    if (!isLowerAlnum(id.front().unicode()))
        return false;
    return std::all_of(id.begin(), id.end(), [&](QChar c) {
        return isLowerAlnum(c.unicode()) || c == u'.' || c == u'_' || c == u'-';
    });
}

bool isSeasonalGameVersion(const QString& version)
{
    return version.size() <= kMaxSeasonalVersionLength && isGameFileName(version);
}

bool isGameFilePath(const QString& path)
{
    if (path.startsWith(QLatin1Char('/')))
        return false;
    const QStringList steps = path.split(QLatin1Char('/'));
    return std::all_of(steps.begin(), steps.end(), isGameFileName);
}

bool isBuildArchivePath(const QString& path)
{
    return isRelativeWithoutDotSteps(path);
}

bool isPackPath(const QString& path)
{
    return isRelativeWithoutDotSteps(path) && !hasForeignSeparator(path);
}

bool isTarMemberPath(const QString& path)
{
    return !path.isEmpty() && !path.startsWith(QLatin1Char('/')) && !hasNul(path) &&
           !path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

QString collapsedPath(const QString& path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
}

QString topSegment(const QString& path)
{
    const qsizetype slash = path.indexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.left(slash);
}

QString runtimeDirName(const QString& id)
{
    QString result;
    result.reserve(id.size());
    for (const QChar unit : id) {
        const char16_t code = unit.unicode();
        const bool kept = isAsciiLetterOrDigit(code) || code == u'-' || code == u'.' ||
                          (code > 127 && unit.isLetterOrNumber());
        result.append(kept ? unit : QLatin1Char('_'));
    }
    return removeLeading(result, QLatin1Char('.'));
}

QString buildArchiveName(const QString& buildName)
{
    QString name;
    for (const QChar ch : buildName) {
        const char16_t c = ch.unicode();
        if (c < 0x80) {
            if (isAsciiLetterOrDigit(c) || c == u'-' || c == u'_')
                name.append(ch);
            else if (isAsciiWhitespace(c) || c == u'.')
                name.append(QLatin1Char('_'));
        } else if (ch.isLetterOrNumber()) {
            name.append(ch);
        } else if (ch.isSpace()) {
            name.append(QLatin1Char('_'));
        }
    }
    name = removeLeading(name, QLatin1Char('_'));
    return name.isEmpty() ? QStringLiteral("build") : name.left(kMaxArchiveNameLength);
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

bool isInside(const QString& directory, const QString& path)
{
    if (directory.isEmpty())
        return false;
    return QDir::cleanPath(path).startsWith(cleanAbsolute(directory) + QLatin1Char('/'));
}

bool isSameOrInside(const QString& directory, const QString& path)
{
    return QDir::cleanPath(path) == cleanAbsolute(directory) || isInside(directory, path);
}

bool isSameFolder(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    if (cleanAbsolute(a) == cleanAbsolute(b))
        return true;
    const QString real = QFileInfo(a).canonicalFilePath();
    return !real.isEmpty() && real == QFileInfo(b).canonicalFilePath();
}

bool isReallyInside(const QString& realRoot, const QString& path)
{
    if (realRoot.isEmpty())
        return false;
    QString probe = cleanAbsolute(path);
    for (;;) {
        const QFileInfo info(probe);
        if (info.exists() || info.isSymLink()) {
            // A dangling link has no real place, and whatever it would create lies elsewhere.
            const QString real = info.canonicalFilePath();
            return !real.isEmpty() &&
                   (real == realRoot || real.startsWith(realRoot + QLatin1Char('/')));
        }
        const QString parent = info.path();
        if (parent == probe)
            return false;
        probe = parent;
    }
}

} // namespace PathRules
