#include "gamelauncher.h"

#include "diskspace.h"
#include "javalocator.h"
#include "localization.h"
#include "minecraftversion.h"
#include "pathrules.h"
#include "remoteaddresses.h"
#include "ziparchive.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kMissingFilesLimit = 12;
// A game that never ends a line must not grow the buffer without bound: beyond this
// many characters the pending text is relayed as a line of its own.
constexpr qsizetype kMaxPendingOutput = 1024 * 1024;

const QString kHiddenToken = QStringLiteral("<скрыт>");
const QString kAccessTokenOption = QStringLiteral("--accessToken");
const QString kDefaultServerPort = QStringLiteral("25565");
const QString kIgnoreListPrefix = QStringLiteral("-DignoreList=");
const QString kClassPathSeparator = QStringLiteral(":");

using Placeholders = QHash<QString, QString>;

using PathRules::native;

bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

QString libraryPath(const QString& gameDir, const MinecraftLibrary& library)
{
    return gameDir + QStringLiteral("/libraries/") + library.path;
}

QString nativesDirOf(const QString& gameDir, const MinecraftVersion& version)
{
    return gameDir + QStringLiteral("/versions/") + version.id + QStringLiteral("/natives");
}

bool isNativeLibraryFile(const QString& fileName)
{
    static const QStringList suffixes = {QStringLiteral(".dll"), QStringLiteral(".so"),
                                         QStringLiteral(".dylib"), QStringLiteral(".jnilib")};
    static const QRegularExpression versionedSo(QStringLiteral("\\.so(\\.\\d+)+$"),
                                                QRegularExpression::CaseInsensitiveOption);
    for (const QString& suffix : suffixes) {
        if (fileName.endsWith(suffix, Qt::CaseInsensitive))
            return true;
    }
    return versionedSo.match(fileName).hasMatch();
}

// ---- Placeholders ----

struct Filled {
    QString text;
    // False when the template names a placeholder that has no value (or never closes).
    bool complete = true;
};

// Fills every "${key}" of the template in one pass from left to right. Values are
// copied as they are: a value holding "${...}" itself (a player name, a folder) is never
// expanded in turn, and it cannot make the template look incomplete.
Filled substitute(const QString& text, const Placeholders& table)
{
    static const QLatin1String opening("${");
    Filled result;
    result.text.reserve(text.size());
    qsizetype position = 0;
    for (;;) {
        const qsizetype open = text.indexOf(opening, position);
        if (open < 0)
            break;
        result.text += QStringView(text).mid(position, open - position);
        const qsizetype close = text.indexOf(QLatin1Char('}'), open + opening.size());
        const auto value =
            close < 0
                ? table.constEnd()
                : table.constFind(text.mid(open + opening.size(), close - open - opening.size()));
        if (value == table.constEnd()) {
            result.complete = false;
            result.text += opening;
            position = open + opening.size();
            continue;
        }
        result.text += *value;
        position = close + 1;
    }
    result.text += QStringView(text).mid(position);
    return result;
}

QString sessionText(const QString& accessToken, const QString& uuid)
{
    return QStringLiteral("token:%1:%2").arg(accessToken, uuid);
}

bool usesLegacyAssets(const MinecraftVersion& version)
{
    return version.assets == QLatin1String("legacy") || version.assets == QLatin1String("pre-1.6");
}

QString classPath(const QString& gameDir, const MinecraftVersion& version)
{
    QStringList entries;
    for (const MinecraftLibrary& library : version.libraries) {
        if (!library.native)
            entries.append(native(libraryPath(gameDir, library)));
    }
    entries.append(native(version.clientJar));
    return entries.join(kClassPathSeparator);
}

Placeholders placeholderTable(const LaunchOptions& options, const MinecraftVersion& version,
                              const QString& nativesDir)
{
    const QString assetsRoot = options.gameDir + QStringLiteral("/assets");
    const QString legacyAssets = assetsRoot + QStringLiteral("/virtual/legacy");
    auto orZero = [](const QString& value) {
        return value.isEmpty() ? QStringLiteral("0") : value;
    };
    return {
        {QStringLiteral("auth_player_name"), options.playerName},
        {QStringLiteral("auth_uuid"), options.uuid},
        {QStringLiteral("auth_access_token"), options.accessToken},
        {QStringLiteral("auth_session"), sessionText(options.accessToken, options.uuid)},
        {QStringLiteral("auth_xuid"), orZero(options.xuid)},
        {QStringLiteral("clientid"), orZero(options.clientId)},
        {QStringLiteral("user_type"), options.userType},
        {QStringLiteral("user_properties"), QStringLiteral("{}")},
        {QStringLiteral("version_name"), version.id},
        {QStringLiteral("version_type"), version.type},
        {QStringLiteral("game_directory"), native(options.gameDir)},
        {QStringLiteral("assets_root"), native(assetsRoot)},
        {QStringLiteral("assets_index_name"), version.assetIndex},
        {QStringLiteral("game_assets"),
         native(usesLegacyAssets(version) ? legacyAssets : assetsRoot)},
        {QStringLiteral("natives_directory"), native(nativesDir)},
        {QStringLiteral("library_directory"), native(options.gameDir + "/libraries")},
        {QStringLiteral("classpath"), classPath(options.gameDir, version)},
        {QStringLiteral("classpath_separator"), kClassPathSeparator},
        {QStringLiteral("primary_jar"), native(version.clientJar)},
        {QStringLiteral("launcher_name"), options.launcherName},
        {QStringLiteral("launcher_version"), options.launcherVersion},
        {QStringLiteral("resolution_width"), QString::number(options.width)},
        {QStringLiteral("resolution_height"), QString::number(options.height)},
    };
}

// The same table with the access token hidden, for the command line that is shown.
Placeholders shownTable(Placeholders table, const LaunchOptions& options)
{
    table.insert(QStringLiteral("auth_access_token"), kHiddenToken);
    table.insert(QStringLiteral("auth_session"), sessionText(kHiddenToken, options.uuid));
    return table;
}

// ---- Command line ----

// The arguments the game gets, side by side with the ones shown to the player. Every
// choice is made on the real arguments; the shown ones differ only where a template
// names the access token.
struct CommandLine {
    QStringList arguments;
    QStringList shown;

    void append(const QString& argument)
    {
        arguments.append(argument);
        shown.append(argument);
    }
};

// What a kept -DignoreList= element needs appended so that the client jar is ignored.
QString ignoreListAddition(const QString& argument, const QString& clientJarName)
{
    if (clientJarName.isEmpty() || !argument.startsWith(kIgnoreListPrefix))
        return {};
    const QStringList items =
        argument.mid(kIgnoreListPrefix.size()).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& item : items) {
        if (clientJarName.startsWith(item))
            return {};
    }
    return QLatin1Char(',') + clientJarName;
}

// Fills the templates in order, leaving out each one that names an unknown placeholder.
void appendTemplates(CommandLine& line, const QStringList& templates, const Placeholders& real,
                     const Placeholders& shown, const QString& clientJarName = {})
{
    for (const QString& argument : templates) {
        const Filled filled = substitute(argument, real);
        if (!filled.complete)
            continue;
        const QString addition = ignoreListAddition(filled.text, clientJarName);
        line.arguments.append(filled.text + addition);
        line.shown.append(substitute(argument, shown).text + addition);
    }
}

void appendAgent(CommandLine& line, const LaunchOptions& options)
{
    if (options.injectorJar.isEmpty())
        return;
    line.append(QStringLiteral("-javaagent:%1=%2")
                    .arg(native(options.injectorJar), options.injectorServer));
    line.append(QStringLiteral("-Dauthlibinjector.side=client"));
}

void appendMemory(CommandLine& line, const LaunchOptions& options)
{
    if (options.minMemoryMb > 0)
        line.append(QStringLiteral("-Xms%1M").arg(options.minMemoryMb));
    if (options.maxMemoryMb > 0)
        line.append(QStringLiteral("-Xmx%1M").arg(options.maxMemoryMb));
}

void appendLogging(CommandLine& line, const MinecraftVersion& version)
{
    if (version.loggingArgument.isEmpty() || !QFileInfo(version.loggingConfigPath).isFile())
        return;
    const Placeholders table = {{QStringLiteral("path"), native(version.loggingConfigPath)}};
    line.append(substitute(version.loggingArgument, table).text);
}

void appendWindow(CommandLine& line, const LaunchOptions& options, const MinecraftVersion& version)
{
    if (options.width > 0 && options.height > 0 && !version.hasResolutionArgs &&
        !line.arguments.contains(QStringLiteral("--width"))) {
        line.append(QStringLiteral("--width"));
        line.append(QString::number(options.width));
        line.append(QStringLiteral("--height"));
        line.append(QString::number(options.height));
    }
    if (options.fullscreen && !line.arguments.contains(QStringLiteral("--fullscreen")))
        line.append(QStringLiteral("--fullscreen"));
}

void appendServer(CommandLine& line, const LaunchOptions& options, const MinecraftVersion& version)
{
    if (options.server.isEmpty())
        return;
    if (version.hasQuickPlayMultiplayer) {
        line.append(QStringLiteral("--quickPlayMultiplayer"));
        line.append(options.server);
        return;
    }
    // A colon at the very start cannot separate a host from its port.
    const qsizetype colon = options.server.lastIndexOf(QLatin1Char(':'));
    const bool hasPort = colon > 0;
    line.append(QStringLiteral("--server"));
    line.append(hasPort ? options.server.left(colon) : options.server);
    line.append(QStringLiteral("--port"));
    line.append(hasPort ? options.server.mid(colon + 1) : kDefaultServerPort);
}

CommandLine assembleCommandLine(const LaunchOptions& options, const MinecraftVersion& version,
                                const QString& nativesDir)
{
    const Placeholders real = placeholderTable(options, version, nativesDir);
    const Placeholders shown = shownTable(real, options);
    CommandLine line;
    appendAgent(line, options);
    appendMemory(line, options);
    for (const QString& argument : options.extraJvmArgs)
        line.append(argument);
    appendTemplates(line, version.jvmArgs, real, shown, QFileInfo(version.clientJar).fileName());
    appendLogging(line, version);
    line.append(version.mainClass);
    appendTemplates(line, version.gameArgs, real, shown);
    appendWindow(line, options, version);
    appendServer(line, options, version);

    // Whatever follows the token option is hidden too, wherever it came from.
    const qsizetype tokenOption = line.shown.indexOf(kAccessTokenOption);
    if (tokenOption >= 0 && tokenOption + 1 < line.shown.size())
        line.shown[tokenOption + 1] = kHiddenToken;
    return line;
}

// ---- Native libraries ----

QString nativeFileName(const ZipEntryInfo& entry)
{
    return entry.name.section(QLatin1Char('/'), -1);
}

bool isExtractedEntry(const ZipEntryInfo& entry, const QStringList& exclude)
{
    if (entry.isDirectory || entry.isSymlink)
        return false;
    if (entry.name.startsWith(QLatin1String("META-INF/")))
        return false;
    for (const QString& prefix : exclude) {
        if (entry.name.startsWith(prefix))
            return false;
    }
    const QString fileName = nativeFileName(entry);
    return PathRules::isPlainFileName(fileName) && isNativeLibraryFile(fileName);
}

// Only the entry's last name component is used, so nothing is written outside the
// natives folder whatever the archive's names hold. What is to be written must fit on the
// disk by the sizes the archive declares, before the first file is written.
bool extractLibrary(const QString& archivePath, const QStringList& exclude,
                    const QString& nativesDir, QString* error)
{
    ZipArchive archive;
    if (!archive.open(archivePath))
        return fail(error, Loc::text("launch.error.nativeReadFailed").arg(native(archivePath)));
    QList<ZipEntryInfo> toWrite;
    for (const ZipEntryInfo& entry : archive.entries()) {
        if (!isExtractedEntry(entry, exclude))
            continue;
        const QFileInfo existing(nativesDir + QLatin1Char('/') + nativeFileName(entry));
        if (!existing.isFile() || existing.size() != qint64(entry.size))
            toWrite.append(entry);
    }
    if (!DiskSpace::hasRoomFor(nativesDir, ZipArchive::declaredSize(toWrite), native(archivePath),
                               error))
        return false;
    for (const ZipEntryInfo& entry : std::as_const(toWrite)) {
        const QString fileName = nativeFileName(entry);
        if (!archive.extractEntry(entry.index, nativesDir + QLatin1Char('/') + fileName))
            return fail(error,
                        Loc::text("launch.error.extractFailed").arg(fileName, native(nativesDir)));
    }
    return true;
}

} // namespace

LaunchOptions::LaunchOptions()
    : injectorServer(RemoteAddresses::authlibInjectorServer()),
      launcherName(QStringLiteral("Hollowmere")), launcherVersion(QStringLiteral(HM_APP_VERSION))
{
}

GameLauncher::GameLauncher(QObject* parent) : QObject(parent) {}

GameLauncher::~GameLauncher()
{
    if (isRunning())
        letGo(m_process);
}

// Destroying the process object of a running game kills the game, before it could save
// what the player has not: the game is the player's, and outlives the launcher. The object
// is let go instead: while the program runs it drains the game's output, so the game never
// blocks on a full pipe, and goes once the game has ended; a program that ends first leaves
// it, and the game, as they are.
void GameLauncher::letGo(QProcess* process)
{
    process->disconnect();
    process->setParent(nullptr);
    connect(process, &QProcess::readyReadStandardOutput, process,
            [process] { process->readAllStandardOutput(); });
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
}

bool GameLauncher::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

void GameLauncher::terminate()
{
    if (isRunning())
        m_process->kill();
}

QString GameLauncher::unusableGameDir(const QString& gameDir)
{
    if (!gameDir.contains(kClassPathSeparator))
        return {};
    return Loc::text("launch.error.gameDirHasColon").arg(native(gameDir), kClassPathSeparator);
}

QStringList GameLauncher::missingFiles(const LaunchOptions& options,
                                       const MinecraftVersion& version, int limit)
{
    if (!QFileInfo(options.gameDir).isDir())
        return {native(options.gameDir)};

    QStringList missing;
    auto checkPresent = [&missing, limit](const QString& path) {
        if (missing.size() < limit && !QFileInfo::exists(path))
            missing.append(native(path));
    };
    checkPresent(version.clientJar);
    for (const MinecraftLibrary& library : version.libraries)
        checkPresent(libraryPath(options.gameDir, library));
    if (!version.assetIndex.isEmpty()) {
        const QString index =
            options.gameDir + QStringLiteral("/assets/indexes/") + version.assetIndex + ".json";
        if (QFileInfo::exists(index))
            checkPresent(options.gameDir + QStringLiteral("/assets/objects"));
        else
            checkPresent(index);
    }
    return missing;
}

bool GameLauncher::extractNatives(const LaunchOptions& options, const MinecraftVersion& version,
                                  const QString& nativesDir, QString* error)
{
    if (!QDir().mkpath(nativesDir))
        return fail(error, Loc::text("launch.error.createFolderFailed").arg(native(nativesDir)));
    for (const MinecraftLibrary& library : version.libraries) {
        if (library.native && !extractLibrary(libraryPath(options.gameDir, library),
                                              library.extractExclude, nativesDir, error))
            return false;
    }
    return true;
}

QStringList GameLauncher::buildArguments(const LaunchOptions& options,
                                         const MinecraftVersion& version, const QString& nativesDir)
{
    return assembleCommandLine(options, version, nativesDir).arguments;
}

bool GameLauncher::launch(const LaunchOptions& options, const MinecraftVersion& version,
                          QString* error)
{
    if (isRunning())
        return fail(error, Loc::text("common.error.gameRunning"));
    if (const QString unusable = unusableGameDir(options.gameDir); !unusable.isEmpty())
        return fail(error, unusable);

    emit progress(Loc::text("launch.progress.checkingFiles"));
    const QStringList missing = missingFiles(options, version, kMissingFilesLimit);
    if (!missing.isEmpty())
        return fail(error, Loc::text("launch.error.filesMissing")
                               .arg(QString::number(missing.size()), missing.join('\n')));

    emit progress(Loc::text("launch.progress.extractingNatives"));
    const QString nativesDir = nativesDirOf(options.gameDir, version);
    if (!extractNatives(options, version, nativesDir, error))
        return false;

    emit progress(Loc::text("launch.progress.lookingForJava").arg(version.javaMajor));
    const QString java =
        JavaLocator::select(options.gameDir, version.javaMajor, options.javaPath, error);
    if (java.isEmpty())
        return false;

    const CommandLine line = assembleCommandLine(options, version, nativesDir);
    return start(JavaLocator::windowlessVariant(java), line.arguments, line.shown, options.gameDir,
                 error);
}

// A data directory that cannot be locked at all does not keep the game from starting, as it
// does not keep the launcher from opening.
bool GameLauncher::takeGameLock(QString* error)
{
    QString reason;
    switch (m_gameLock.take(&reason)) {
    case InstanceLock::Outcome::Acquired:
        return true;
    case InstanceLock::Outcome::HeldElsewhere:
        return fail(error, Loc::text("common.error.gameRunning"));
    case InstanceLock::Outcome::Unavailable:
        qWarning().noquote() << reason;
        return true;
    }
    return true;
}

bool GameLauncher::start(const QString& program, const QStringList& arguments,
                         const QStringList& shownArguments, const QString& workingDir,
                         QString* error)
{
    if (!takeGameLock(error))
        return false;
    auto* process = new QProcess(this);
    m_process = process;
    m_decoder = QStringDecoder(QStringDecoder::System);
    m_pendingOutput.clear();
    process->setProgram(program);
    process->setArguments(arguments);
    process->setWorkingDirectory(workingDir);
    process->setProcessChannelMode(QProcess::MergedChannels);
    m_gameLock.handTo(*process);
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, process] { relayOutput(process); });
    connect(process, &QProcess::finished, this,
            [this, process](int exitCode, QProcess::ExitStatus status) {
                handleFinished(process, exitCode, status == QProcess::CrashExit);
            });

    process->start(QIODevice::ReadWrite);
    if (!process->waitForStarted(kStartTimeoutMs)) {
        if (error)
            *error =
                Loc::text("launch.error.startFailed").arg(native(program), process->errorString());
        process->disconnect(this);
        m_process = nullptr;
        m_gameLock.release();
        process->deleteLater();
        return false;
    }
    emit gameStarted(native(program) + QLatin1Char(' ') + shownArguments.join(QLatin1Char(' ')));
    return true;
}

void GameLauncher::relayOutput(QProcess* source)
{
    if (source != m_process)
        return;
    m_pendingOutput += m_decoder.decode(source->readAllStandardOutput());
    QStringList lines = takeCompleteLines();
    if (m_pendingOutput.size() > kMaxPendingOutput) {
        lines.append(m_pendingOutput);
        m_pendingOutput.clear();
    }
    emitLines(lines);
}

QStringList GameLauncher::takeCompleteLines()
{
    QStringList lines;
    qsizetype start = 0;
    for (;;) {
        const qsizetype newline = m_pendingOutput.indexOf(QLatin1Char('\n'), start);
        if (newline < 0)
            break;
        // Nothing between two newlines is no line at all; a lone "\r" is an empty one.
        if (newline > start)
            lines.append(m_pendingOutput.mid(start, newline - start));
        start = newline + 1;
    }
    m_pendingOutput.remove(0, start);
    return lines;
}

void GameLauncher::emitLines(const QStringList& lines)
{
    for (const QString& line : lines)
        emit output(line.trimmed());
}

void GameLauncher::handleFinished(QProcess* source, int exitCode, bool crashed)
{
    if (source != m_process)
        return;
    m_pendingOutput += m_decoder.decode(source->readAllStandardOutput());
    QStringList lines = takeCompleteLines();
    if (!m_pendingOutput.isEmpty())
        lines.append(m_pendingOutput);
    m_pendingOutput.clear();
    // Cleared before anyone hears of the end, so a listener may launch again at once.
    m_process = nullptr;
    m_gameLock.release();
    source->deleteLater();
    emitLines(lines);
    emit gameFinished(exitCode, crashed);
}
