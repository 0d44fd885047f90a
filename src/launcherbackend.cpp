#include "launcherbackend.h"

#include "authservice.h"

#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {
const QString kOffline = QStringLiteral("offline");
const QString kLanguageKey = QStringLiteral("language");

// The keys of profiles.json and customBuilds.json.
const QString kId = QStringLiteral("id");
const QString kName = QStringLiteral("name");
const QString kLogin = QStringLiteral("login");
const QString kPassword = QStringLiteral("password");
const QString kAuthType = QStringLiteral("authType");
const QString kClientToken = QStringLiteral("clientToken");
const QString kAccessToken = QStringLiteral("accessToken");
const QString kUuid = QStringLiteral("uuid");
const QString kResolvedName = QStringLiteral("resolvedName");
const QString kUserType = QStringLiteral("userType");
const QString kRefreshToken = QStringLiteral("refreshToken");
const QString kXuid = QStringLiteral("xuid");
const QString kTokenExpiry = QStringLiteral("tokenExpiry");
const QString kServerUrl = QStringLiteral("serverUrl");
const QString kMinecraftVersion = QStringLiteral("minecraftVersion");
const QString kLegacyVersionId = QStringLiteral("versionId");
const QString kLoader = QStringLiteral("loader");
const QString kLoaderVersion = QStringLiteral("loaderVersion");
const QString kResolvedVersionId = QStringLiteral("resolvedVersionId");
const QString kSeasonalId = QStringLiteral("seasonalId");
const QString kSeasonalRevision = QStringLiteral("seasonalRevision");

QVariantMap defaultSettings()
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
        {kLanguageKey, QStringLiteral("system")},
        {QStringLiteral("activeBuildId"), 0},
        {QStringLiteral("seasonalBaseUrl"),
         RemoteAddresses::origin(RemoteAddresses::Service::SeasonalCatalog)},
    };
}

// Written by the launcher itself in older releases; never read back.
const QStringList kDroppedSettings = {QStringLiteral("launcherName"),
                                      QStringLiteral("launcherVersion")};

// Profiles hold passwords and tokens in plain text: only the owner may read them.
bool isOwnerOnly(const QString& path)
{
    return path == LauncherPaths::profilesFile();
}
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

template <typename Record> void sortById(QList<Record>& records)
{
    // Stable, so entries sharing an id keep the order of the file.
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.id < b.id; });
}

using Profile = LauncherBackend::Profile;
using CustomBuild = LauncherBackend::CustomBuild;

// The text fields of each record with their JSON keys; ids and numbers are
// handled beside them.
const std::pair<QString Profile::*, QString> kProfileTexts[] = {
    {&Profile::name, kName},
    {&Profile::login, kLogin},
    {&Profile::password, kPassword},
    {&Profile::authType, kAuthType},
    {&Profile::clientToken, kClientToken},
    {&Profile::accessToken, kAccessToken},
    {&Profile::uuid, kUuid},
    {&Profile::resolvedName, kResolvedName},
    {&Profile::userType, kUserType},
    {&Profile::refreshToken, kRefreshToken},
    {&Profile::xuid, kXuid},
    {&Profile::tokenExpiry, kTokenExpiry},
};

const std::pair<QString CustomBuild::*, QString> kBuildTexts[] = {
    {&CustomBuild::name, kName},
    {&CustomBuild::serverUrl, kServerUrl},
    {&CustomBuild::minecraftVersion, kMinecraftVersion},
    {&CustomBuild::loader, kLoader},
    {&CustomBuild::loaderVersion, kLoaderVersion},
    {&CustomBuild::resolvedVersionId, kResolvedVersionId},
    {&CustomBuild::seasonalId, kSeasonalId},
};

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
        profile.authType = kOffline;
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
    build.seasonalRevision = object.value(kSeasonalRevision).toInt();
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
} // namespace

LauncherBackend::LauncherBackend(QObject* parent) : QObject(parent)
{
    // The services are created here, each with this object as parent, in this
    // order: AuthService, MsaAuthService, GameLauncher, VersionManifestService,
    // VersionInstaller, ModLoaderVersionService, ModLoaderInstaller, BuildSwitcher,
    // JavaRuntimeService, JavaInstaller, SeasonalBuildService, SeasonalPackDownloader.
    m_auth = new AuthService(this);

    QString error;
    if (!LauncherPaths::ensureRootExists(&error))
        m_startupWarnings.append(Loc::text("storage.error.launcherDirFailed").arg(error));

    // The first-run check (no settings file and no builds file of either name)
    // goes here, before any state file is read or written.

    loadSettings();
    migrateLegacyBuildsFile();
    loadData();

    // A first run without builds imports the existing game directory here.

    ensureDataFiles();

    // Then: the build switcher's interrupted-switch warning and resumption, the
    // service connections, the seasonal catalog address, the remaining
    // connections and the queued notice of an imported game directory.

    m_constructing = false;
    if (!m_startupWarnings.isEmpty()) {
        const QString warnings = m_startupWarnings.join(QLatin1Char('\n'));
        QTimer::singleShot(0, this, [this, warnings] { emit launchError(warnings); });
    }
}

void LauncherBackend::updateSettings(const QVariantMap& values)
{
    const QString previousLanguage = m_settings.value(kLanguageKey).toString();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        m_settings.insert(it.key(), it.value());
    saveSettings();
    emit settingsChanged();

    const QString language = m_settings.value(kLanguageKey).toString();
    if (language != previousLanguage)
        Localization::instance()->setLanguage(language);
    // A changed game directory also invalidates the version catalog and the
    // installed versions here.
}

QJsonArray LauncherBackend::readArrayFile(const QString& path, bool* unreadable)
{
    return readJsonFile(path, true, unreadable).array();
}

QJsonObject LauncherBackend::readObjectFile(const QString& path)
{
    return readJsonFile(path, false, nullptr).object();
}

QJsonDocument LauncherBackend::readJsonFile(const QString& path, bool expectArray, bool* unreadable)
{
    if (unreadable)
        *unreadable = false;
    if (!QFile::exists(path))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_startupWarnings.append(
            Loc::text("common.error.readFailed").arg(native(path), file.errorString()));
        if (unreadable)
            *unreadable = true;
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    file.close();
    if (parseError.error != QJsonParseError::NoError) {
        moveAsideBroken(path, parseError.errorString());
        return {};
    }
    if (expectArray != document.isArray()) {
        moveAsideBroken(path, expectArray ? Loc::text("storage.error.expectedArray")
                                          : Loc::text("storage.error.expectedObject"));
        return {};
    }
    return document;
}

bool LauncherBackend::moveAsideBroken(const QString& path, const QString& reason)
{
    const QString aside = path + QStringLiteral(".bak");
    QFile::remove(aside);
    if (!QFile::rename(path, aside)) {
        m_startupWarnings.append(
            Loc::text("storage.error.corruptNotSetAside").arg(native(path), reason));
        return false;
    }
    if (isOwnerOnly(path))
        QFile::setPermissions(aside, kOwnerOnly);
    m_startupWarnings.append(
        Loc::text("storage.warning.corruptRecreated").arg(native(path), reason, native(aside)));
    return true;
}

bool LauncherBackend::writeJsonFile(const QString& path, const QJsonDocument& document)
{
    QString error;
    if (!LauncherPaths::ensureRootExists(&error)) {
        reportStorageError(Loc::text("storage.error.launcherDirFailed").arg(error));
        return false;
    }
    // A save file replaces the old content only once the new one is complete, so
    // a failed write never leaves a truncated list of accounts or builds behind.
    const QByteArray bytes = document.toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly) &&
                         (!isOwnerOnly(path) || file.setPermissions(kOwnerOnly)) &&
                         file.write(bytes) == bytes.size() && file.commit();
    if (!written) {
        reportStorageError(
            Loc::text("storage.error.saveFailedWhy").arg(native(path), file.errorString()));
        return false;
    }
    return true;
}

void LauncherBackend::reportStorageError(const QString& message)
{
    // An unusable data directory fails every write of the start-up alike: one
    // line tells it.
    if (m_constructing) {
        if (!m_startupWarnings.contains(message))
            m_startupWarnings.append(message);
    } else {
        emit launchError(message);
    }
}

void LauncherBackend::saveProfiles()
{
    QJsonArray array;
    for (const Profile& profile : std::as_const(m_profiles))
        array.append(profileToJson(profile));
    writeJsonFile(LauncherPaths::profilesFile(), QJsonDocument(array));
}

void LauncherBackend::saveCustomBuilds()
{
    QJsonArray array;
    for (const CustomBuild& build : std::as_const(m_customBuilds))
        array.append(buildToJson(build));
    writeJsonFile(LauncherPaths::customBuildsFile(), QJsonDocument(array));
}

void LauncherBackend::saveSettings()
{
    writeJsonFile(LauncherPaths::settingsFile(),
                  QJsonDocument(QJsonObject::fromVariantMap(m_settings)));
}

void LauncherBackend::loadSettings()
{
    m_settings = defaultSettings();
    const QJsonObject stored = readObjectFile(LauncherPaths::settingsFile());
    for (auto it = stored.begin(); it != stored.end(); ++it)
        m_settings.insert(it.key(), it.value().toVariant());
    for (const QString& key : kDroppedSettings)
        m_settings.remove(key);
}

bool LauncherBackend::migrateLegacyBuildsFile()
{
    const QString buildsFile = LauncherPaths::customBuildsFile();
    const QString legacyFile = LauncherPaths::legacyCustomBuildsFile();
    if (QFile::exists(buildsFile) || !QFile::exists(legacyFile))
        return false;

    bool unreadable = false;
    const QJsonArray legacy = readArrayFile(legacyFile, &unreadable);
    // An unreadable file stays as it is, to be tried again on the next start:
    // converting its empty reading would make its builds vanish.
    if (unreadable || (legacy.isEmpty() && !QFile::exists(legacyFile)))
        return false;

    QJsonArray converted;
    for (const QJsonValue& entry : legacy)
        converted.append(convertLegacyBuild(entry.toObject()));
    if (!writeJsonFile(buildsFile, QJsonDocument(converted)))
        return false;

    const QString migrated = legacyFile + QStringLiteral(".migrated");
    QFile::remove(migrated);
    if (!QFile::rename(legacyFile, migrated))
        m_startupWarnings.append(Loc::text("storage.warning.migrationLeftover")
                                     .arg(native(buildsFile), native(legacyFile)));
    return true;
}

void LauncherBackend::loadData()
{
    for (const QJsonValue& entry : readArrayFile(LauncherPaths::profilesFile())) {
        m_profiles.append(profileFromJson(entry.toObject()));
        m_nextProfileId = std::max(m_nextProfileId, m_profiles.constLast().id + 1);
    }
    sortById(m_profiles);

    const QString buildsFile = LauncherPaths::customBuildsFile();
    int skipped = 0;
    for (const QJsonValue& entry : readArrayFile(buildsFile)) {
        const CustomBuild build = buildFromJson(entry.toObject());
        if (build.name.trimmed().isEmpty() && build.minecraftVersion.trimmed().isEmpty()) {
            ++skipped;
            continue;
        }
        m_customBuilds.append(build);
        m_nextBuildId = std::max(m_nextBuildId, build.id + 1);
    }
    if (skipped > 0)
        m_startupWarnings.append(
            Loc::text("storage.warning.buildsSkipped").arg(native(buildsFile)).arg(skipped));
    sortById(m_customBuilds);
}

void LauncherBackend::ensureDataFiles()
{
    if (!QFile::exists(LauncherPaths::settingsFile()))
        saveSettings();
    if (!QFile::exists(LauncherPaths::profilesFile()))
        saveProfiles();
    // While a legacy builds file that could not be converted remains, no empty
    // builds file is written over its builds: the next start tries again.
    if (!QFile::exists(LauncherPaths::customBuildsFile()) &&
        !QFile::exists(LauncherPaths::legacyCustomBuildsFile()))
        saveCustomBuilds();
}

QString LauncherBackend::gameDir() const
{
    const QString stored = m_settings.value(QStringLiteral("gameDir")).toString().trimmed();
    return stored.isEmpty() ? LauncherPaths::defaultMinecraftDir()
                            : QDir::fromNativeSeparators(stored);
}

int LauncherBackend::settingInt(const QVariantMap& settings, const QString& key, int fallback)
{
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    return ok ? value : fallback;
}

int LauncherBackend::indexOfBuildId(int id) const
{
    for (qsizetype i = 0; i < m_customBuilds.size(); ++i) {
        if (m_customBuilds.at(i).id == id)
            return int(i);
    }
    return -1;
}

QString LauncherBackend::launchVersionIdOf(const CustomBuild& build)
{
    if (!build.resolvedVersionId.isEmpty())
        return build.resolvedVersionId;
    if (!build.minecraftVersion.isEmpty())
        return build.minecraftVersion;
    return build.name;
}
