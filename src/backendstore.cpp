#include "backendstore.h"

#include "authservice.h"
#include "launcherpaths.h"
#include "localization.h"
#include "pathrules.h"
#include "readfailuretext.h"
#include "regularfile.h"
#include "remoteaddresses.h"
#include "wholefile.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <sys/stat.h>

const QString BackendStore::kOffline = QStringLiteral("offline");
const QString BackendStore::kActiveBuildId = QStringLiteral("activeBuildId");
const QString BackendStore::kElyBy = QStringLiteral("elyby");
const QString BackendStore::kMicrosoft = QStringLiteral("microsoft");

namespace {
using Profile = BackendStore::Profile;
using CustomBuild = BackendStore::CustomBuild;

// The keys of profiles.json and customBuilds.json.
const QString kId = QStringLiteral("id");
const QString kName = QStringLiteral("name");
const QString kAuthType = QStringLiteral("authType");
const QString kMinecraftVersion = QStringLiteral("minecraftVersion");
const QString kLegacyVersionId = QStringLiteral("versionId");
const QString kServerUrl = QStringLiteral("serverUrl");
const QString kLoader = QStringLiteral("loader");
const QString kLoaderVersion = QStringLiteral("loaderVersion");
const QString kResolvedVersionId = QStringLiteral("resolvedVersionId");
const QString kSeasonalRevision = QStringLiteral("seasonalRevision");
const QString kSeasonalBaseUrl = QStringLiteral("seasonalBaseUrl");

// The text fields of each record with their JSON keys; ids and numbers are
// handled beside them.
const std::pair<QString Profile::*, QString> kProfileTexts[] = {
    {&Profile::name, kName},
    {&Profile::login, QStringLiteral("login")},
    {&Profile::password, QStringLiteral("password")},
    {&Profile::authType, kAuthType},
    {&Profile::clientToken, QStringLiteral("clientToken")},
    {&Profile::accessToken, QStringLiteral("accessToken")},
    {&Profile::uuid, QStringLiteral("uuid")},
    {&Profile::resolvedName, QStringLiteral("resolvedName")},
    {&Profile::userType, QStringLiteral("userType")},
    {&Profile::refreshToken, QStringLiteral("refreshToken")},
    {&Profile::xuid, QStringLiteral("xuid")},
    {&Profile::tokenExpiry, QStringLiteral("tokenExpiry")},
};

const std::pair<QString CustomBuild::*, QString> kBuildTexts[] = {
    {&CustomBuild::name, kName},
    {&CustomBuild::serverUrl, kServerUrl},
    {&CustomBuild::minecraftVersion, kMinecraftVersion},
    {&CustomBuild::loader, kLoader},
    {&CustomBuild::loaderVersion, kLoaderVersion},
    {&CustomBuild::resolvedVersionId, kResolvedVersionId},
    {&CustomBuild::seasonalId, QStringLiteral("seasonalId")},
};

// Written by the launcher itself in older releases; never read back.
const QStringList kDroppedSettings = {QStringLiteral("launcherName"),
                                      QStringLiteral("launcherVersion")};

// Profiles hold passwords and tokens in plain text: only the owner may read them.
bool isOwnerOnly(const QString& path)
{
    return path == LauncherPaths::profilesFile();
}
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

using PathRules::native;

// An unusable data directory fails every write of the start-up alike: one line tells it.
void addWarning(QStringList& warnings, const QString& message)
{
    if (!warnings.contains(message))
        warnings.append(message);
}

// A whole number that fits an int, stored as a number or as its text; nothing else
// (a fraction, a value past the int range, a boolean) is read as one. The variant's own
// conversion would wrap 64-bit values and round fractions.
std::optional<int> wholeInt(const QVariant& value)
{
    bool ok = false;
    if (value.typeId() == QMetaType::QString) {
        const int number = value.toString().toInt(&ok);
        return ok ? std::optional<int>(number) : std::nullopt;
    }
    if (value.typeId() == QMetaType::Bool)
        return std::nullopt;
    const double number = value.toDouble(&ok);
    if (!ok || number != std::trunc(number) || number < std::numeric_limits<int>::min() ||
        number > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(number);
}

// Pack revisions count up from 1; 0 stands for no pack, and so does anything below it.
int revisionOf(int stored)
{
    return std::max(0, stored);
}

// The id after `id`; the largest id has none, so it leaves next where it is.
int nextIdAfter(int id, int next)
{
    return id < std::numeric_limits<int>::max() ? std::max(next, id + 1) : next;
}

template <typename Record> void sortById(QList<Record>& records)
{
    // Stable, so entries sharing an id keep the order of the file.
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.id < b.id; });
}

template <typename Record, typename Fields>
void writeTexts(const Record& record, const Fields& fields, QJsonObject& object)
{
    for (const auto& [member, key] : fields)
        object.insert(key, record.*member);
}

// A missing value, or one that is not a string, reads as empty.
template <typename Record, typename Fields>
void readTexts(const QJsonObject& object, const Fields& fields, Record& record)
{
    for (const auto& [member, key] : fields)
        record.*member = object.value(key).toString();
}

QJsonObject profileToJson(const Profile& profile)
{
    QJsonObject object{{kId, profile.id}};
    writeTexts(profile, kProfileTexts, object);
    return object;
}

Profile profileFromJson(const QJsonObject& object)
{
    Profile profile;
    profile.id = object.value(kId).toInt();
    readTexts(object, kProfileTexts, profile);
    if (!object.value(kAuthType).isString())
        profile.authType = BackendStore::kOffline;
    if (profile.clientToken.isEmpty())
        profile.clientToken = AuthService::generateClientToken();
    return profile;
}

QJsonObject buildToJson(const CustomBuild& build)
{
    QJsonObject object{{kId, build.id}, {kSeasonalRevision, build.seasonalRevision}};
    writeTexts(build, kBuildTexts, object);
    return object;
}

CustomBuild buildFromJson(const QJsonObject& object)
{
    CustomBuild build;
    build.id = object.value(kId).toInt();
    build.seasonalRevision = revisionOf(object.value(kSeasonalRevision).toInt());
    readTexts(object, kBuildTexts, build);
    if (build.minecraftVersion.isEmpty())
        build.minecraftVersion = object.value(kLegacyVersionId).toString();
    return build;
}

// One entry of the legacy builds file in the shape of the current one.
QJsonObject convertLegacyBuild(const QJsonObject& legacy)
{
    return {
        {kId, legacy.value(kId).toInt()},
        {kName, legacy.value(kName).toString()},
        {kServerUrl, legacy.value(kServerUrl).toString()},
        {kMinecraftVersion, legacy.value(kLegacyVersionId).toString()},
        {kLoader, QString()},
        {kLoaderVersion, QString()},
        {kResolvedVersionId, QString()},
    };
}

bool moveAsideBroken(const QString& path, const QString& reason, QStringList& warnings)
{
    const QString aside = path + QStringLiteral(".bak");
    QFile::remove(aside);
    if (!QFile::rename(path, aside)) {
        warnings.append(Loc::text("storage.error.corruptNotSetAside").arg(native(path), reason));
        return false;
    }
    if (isOwnerOnly(path))
        QFile::setPermissions(aside, kOwnerOnly);
    warnings.append(
        Loc::text("storage.warning.corruptRecreated").arg(native(path), reason, native(aside)));
    return true;
}

// State files too large to read that could not be set aside either, with the reason:
// replacing one with the few records read would lose all it holds, so none of them is
// written again until the next start, when setting it aside is tried anew.
QHash<QString, QString>& filesKeptAsTheyAre()
{
    static QHash<QString, QString> kept;
    return kept;
}

// The content of a state file, or why it could not be read.
std::optional<QByteArray> readStateFile(const QString& path, RegularFile::Failure& failure)
{
    const int fd = RegularFile::openDescriptor(path, &failure);
    // Whatever left the file readable by others, it does not stay so until the next save.
    // Changed through the descriptor, so that only the regular file opened is changed,
    // never a device or a file a link leads to in its place.
    if (fd >= 0 && isOwnerOnly(path))
        ::fchmod(fd, S_IRUSR | S_IWUSR);
    return fd < 0 ? std::nullopt
                  : RegularFile::readDescriptor(fd, RegularFile::kDocumentLimit, &failure);
}

QJsonDocument readJsonFile(const QString& path, bool expectArray, QStringList& warnings,
                           bool* unreadable = nullptr)
{
    if (unreadable)
        *unreadable = false;
    if (!QFile::exists(path))
        return {};
    RegularFile::Failure failure;
    const std::optional<QByteArray> content = readStateFile(path, failure);
    // Kept where it is, a file too large to read would be replaced by the next save with
    // no copy left: it is set aside whole as a broken one is. Anything else unreadable (no
    // regular file, no read access) stays, and the next save replaces it.
    if (!content && failure.kind == RegularFile::Failure::Kind::TooLarge) {
        const QString reason = ReadFailureText::reason(failure);
        if (!moveAsideBroken(path, reason, warnings)) {
            filesKeptAsTheyAre().insert(path, reason);
            if (unreadable)
                *unreadable = true;
        }
        return {};
    }
    if (!content) {
        warnings.append(ReadFailureText::message(path, failure));
        if (unreadable)
            *unreadable = true;
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        moveAsideBroken(path, parseError.errorString(), warnings);
        return {};
    }
    if (expectArray != document.isArray()) {
        moveAsideBroken(path,
                        expectArray ? Loc::text("storage.error.expectedArray")
                                    : Loc::text("storage.error.expectedObject"),
                        warnings);
        return {};
    }
    return document;
}

bool writeJsonFile(const QString& path, const QJsonDocument& document, QString* error)
{
    QString rootError;
    if (!LauncherPaths::ensureRootExists(&rootError)) {
        if (error)
            *error = Loc::text("storage.error.launcherDirFailed").arg(rootError);
        return false;
    }
    if (const auto kept = filesKeptAsTheyAre().constFind(path);
        kept != filesKeptAsTheyAre().constEnd()) {
        if (error)
            *error = Loc::text("storage.error.saveFailedWhy").arg(native(path), *kept);
        return false;
    }
    // A save file replaces the old content only once the new one is complete, so
    // a failed write never leaves a truncated list of accounts or builds behind.
    WholeFile::Options options;
    if (isOwnerOnly(path))
        options.permissions = kOwnerOnly;
    QString reason;
    if (WholeFile::write(path, document.toJson(QJsonDocument::Indented), &reason, options))
        return true;
    if (error)
        *error = Loc::text("storage.error.saveFailedWhy").arg(native(path), reason);
    return false;
}

// Writes while the backend starts become start-up warnings.
template <typename Save> void saveOrWarn(Save save, QStringList& warnings)
{
    QString error;
    if (!save(&error))
        addWarning(warnings, error);
}

QVariantMap loadSettings(QStringList& warnings)
{
    QVariantMap settings = BackendStore::defaultSettings();
    const QJsonObject stored =
        readJsonFile(LauncherPaths::settingsFile(), false, warnings).object();
    for (auto it = stored.begin(); it != stored.end(); ++it)
        settings.insert(it.key(), it.value().toVariant());
    for (const QString& key : kDroppedSettings)
        settings.remove(key);
    return settings;
}

bool migrateLegacyBuildsFile(QStringList& warnings)
{
    const QString buildsFile = LauncherPaths::customBuildsFile();
    const QString legacyFile = LauncherPaths::legacyCustomBuildsFile();
    if (QFile::exists(buildsFile) || !QFile::exists(legacyFile))
        return false;

    bool unreadable = false;
    const QJsonArray legacy = readJsonFile(legacyFile, true, warnings, &unreadable).array();
    // An unreadable file stays as it is, to be tried again on the next start:
    // converting its empty reading would make its builds vanish.
    if (unreadable || (legacy.isEmpty() && !QFile::exists(legacyFile)))
        return false;

    QJsonArray converted;
    for (const QJsonValue& entry : legacy)
        converted.append(convertLegacyBuild(entry.toObject()));
    QString error;
    if (!writeJsonFile(buildsFile, QJsonDocument(converted), &error)) {
        addWarning(warnings, error);
        return false;
    }

    const QString migrated = legacyFile + QStringLiteral(".migrated");
    QFile::remove(migrated);
    if (!QFile::rename(legacyFile, migrated))
        warnings.append(Loc::text("storage.warning.migrationLeftover")
                            .arg(native(buildsFile), native(legacyFile)));
    return true;
}

void loadProfiles(BackendStore::State& state, QStringList& warnings)
{
    for (const QJsonValue& entry :
         readJsonFile(LauncherPaths::profilesFile(), true, warnings).array()) {
        state.profiles.append(profileFromJson(entry.toObject()));
        state.nextProfileId = nextIdAfter(state.profiles.constLast().id, state.nextProfileId);
    }
    sortById(state.profiles);
}

// A build's id names its folder of archives. A negative id names none, so the build's
// files would be cleared unsaved when it is left; an id another build holds names that
// build's folder, which would then be restored for both and deleted with either. Such
// builds take fresh ids; the first build of the file to hold an id keeps it.
void renumberUnusableBuildIds(BackendStore::State& state)
{
    QSet<int> held;
    for (CustomBuild& build : state.builds) {
        if (build.id >= 0 && !held.contains(build.id)) {
            held.insert(build.id);
            continue;
        }
        state.renumberedBuilds.append({build.id, state.nextBuildId});
        build.id = state.nextBuildId++;
    }
}

// Archive folders outlive the file that names their builds (a player may delete
// customBuilds.json and start over): a new build never takes the id of a folder that
// still holds another build's archives, or leaving it would write over them.
int firstIdPastArchiveFolders()
{
    int next = 0;
    const QStringList names =
        QDir(LauncherPaths::buildStorageDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        bool isNumber = false;
        const int id = name.toInt(&isNumber);
        if (isNumber && id >= 0 && id < std::numeric_limits<int>::max())
            next = std::max(next, id + 1);
    }
    return next;
}

void loadBuilds(BackendStore::State& state, QStringList& warnings)
{
    state.nextBuildId = std::max(state.nextBuildId, firstIdPastArchiveFolders());
    const QString buildsFile = LauncherPaths::customBuildsFile();
    int skipped = 0;
    for (const QJsonValue& entry : readJsonFile(buildsFile, true, warnings).array()) {
        const CustomBuild build = buildFromJson(entry.toObject());
        if (build.name.trimmed().isEmpty() && build.minecraftVersion.trimmed().isEmpty()) {
            ++skipped;
            continue;
        }
        state.builds.append(build);
        state.nextBuildId = nextIdAfter(build.id, state.nextBuildId);
    }
    if (skipped > 0)
        warnings.append(
            Loc::text("storage.warning.buildsSkipped").arg(native(buildsFile)).arg(skipped));
    renumberUnusableBuildIds(state);
    sortById(state.builds);
}
} // namespace

QVariantMap BackendStore::defaultSettings()
{
    return {
        {QStringLiteral("gameDir"), QString()},
        {QStringLiteral("javaPath"), QString()},
        {QStringLiteral("javaRuntime"), QString()},
        {QStringLiteral("minMemoryMb"), 512},
        {QStringLiteral("maxMemoryMb"), 4096},
        {QStringLiteral("jvmArgs"), QString()},
        {QStringLiteral("windowWidth"), 0},
        {QStringLiteral("windowHeight"), 0},
        {QStringLiteral("fullscreen"), false},
        {QStringLiteral("language"), QStringLiteral("system")},
        {kActiveBuildId, 0},
        {kSeasonalBaseUrl, RemoteAddresses::origin(RemoteAddresses::Service::SeasonalCatalog)},
    };
}

bool BackendStore::isFirstRun()
{
    return !QFile::exists(LauncherPaths::settingsFile()) &&
           !QFile::exists(LauncherPaths::customBuildsFile()) &&
           !QFile::exists(LauncherPaths::legacyCustomBuildsFile());
}

BackendStore::State BackendStore::load(QStringList& warnings)
{
    filesKeptAsTheyAre().clear();
    State state;
    state.settings = loadSettings(warnings);
    migrateLegacyBuildsFile(warnings);
    loadProfiles(state, warnings);
    loadBuilds(state, warnings);
    return state;
}

void BackendStore::writeMissingFiles(const QVariantMap& settings, const QList<Profile>& profiles,
                                     const QList<CustomBuild>& builds, QStringList& warnings)
{
    if (!QFile::exists(LauncherPaths::settingsFile()))
        saveSettings(settings, warnings);
    if (!QFile::exists(LauncherPaths::profilesFile()))
        saveOrWarn([&](QString* error) { return saveProfiles(profiles, error); }, warnings);
    // While a legacy builds file that could not be converted remains, no empty
    // builds file is written over its builds: the next start tries again.
    if (!QFile::exists(LauncherPaths::customBuildsFile()) &&
        !QFile::exists(LauncherPaths::legacyCustomBuildsFile()))
        saveBuilds(builds, warnings);
}

void BackendStore::saveBuilds(const QList<CustomBuild>& builds, QStringList& warnings)
{
    saveOrWarn([&](QString* error) { return saveBuilds(builds, error); }, warnings);
}

void BackendStore::saveSettings(const QVariantMap& settings, QStringList& warnings)
{
    saveOrWarn([&](QString* error) { return saveSettings(settings, error); }, warnings);
}

bool BackendStore::saveProfiles(const QList<Profile>& profiles, QString* error)
{
    QJsonArray array;
    for (const Profile& profile : profiles)
        array.append(profileToJson(profile));
    return writeJsonFile(LauncherPaths::profilesFile(), QJsonDocument(array), error);
}

bool BackendStore::saveBuilds(const QList<CustomBuild>& builds, QString* error)
{
    QJsonArray array;
    for (const CustomBuild& build : builds)
        array.append(buildToJson(build));
    return writeJsonFile(LauncherPaths::customBuildsFile(), QJsonDocument(array), error);
}

bool BackendStore::saveSettings(const QVariantMap& settings, QString* error)
{
    return writeJsonFile(LauncherPaths::settingsFile(),
                         QJsonDocument(QJsonObject::fromVariantMap(settings)), error);
}

int BackendStore::settingInt(const QVariantMap& settings, const QString& key, int fallback)
{
    return wholeInt(settings.value(key)).value_or(fallback);
}

QString BackendStore::gameDir(const QVariantMap& settings)
{
    const QString stored = settings.value(QStringLiteral("gameDir")).toString().trimmed();
    if (stored.isEmpty())
        return LauncherPaths::defaultMinecraftDir();
    // A relative folder is the one the launcher's own working directory holds: named so,
    // the game, which runs in the game folder itself, finds it too.
    return QDir::current().absoluteFilePath(QDir::fromNativeSeparators(stored));
}

QString BackendStore::gameDirSetting(const QString& typed)
{
    const QString folder = QDir::fromNativeSeparators(typed.trimmed());
    if (folder.isEmpty() || QDir::isAbsolutePath(folder))
        return folder;
    if (folder == QLatin1String("~"))
        return QDir::homePath();
    if (folder.startsWith(QLatin1String("~/")))
        return QDir::cleanPath(QDir::homePath() + folder.mid(1));
    return QDir::cleanPath(QDir::current().absoluteFilePath(folder));
}

QUrl BackendStore::seasonalBaseUrl(const QVariantMap& settings)
{
    QString address = settings.value(kSeasonalBaseUrl).toString().trimmed();
    if (address.isEmpty())
        address = RemoteAddresses::origin(RemoteAddresses::Service::SeasonalCatalog);
    QUrl url(address, QUrl::TolerantMode);
    QString path = url.path(QUrl::FullyDecoded);
    if (path.endsWith(QLatin1Char('/'))) {
        while (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        url.setPath(path, QUrl::DecodedMode);
    }
    return url;
}

QVariantMap BackendStore::buildFields(const CustomBuild& build)
{
    QVariantMap map;
    for (const auto& [member, key] : kBuildTexts)
        map.insert(key, build.*member);
    map.insert(kSeasonalRevision, build.seasonalRevision);
    return map;
}

void BackendStore::applyBuildFields(CustomBuild& build, const QVariantMap& fields)
{
    for (const auto& [member, key] : kBuildTexts) {
        if (fields.contains(key))
            build.*member = fields.value(key).toString();
    }
    if (fields.contains(kSeasonalRevision))
        build.seasonalRevision = revisionOf(wholeInt(fields.value(kSeasonalRevision)).value_or(0));
}
