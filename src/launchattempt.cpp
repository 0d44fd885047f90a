#include "launchattempt.h"

#include "backendstore.h"
#include "gamelauncher.h"
#include "javaruntime.h"
#include "launcherpaths.h"
#include "localization.h"
#include "msaauthservice.h"
#include "pathrules.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>

#include <initializer_list>

namespace {
// The missing-files message lists at most this many paths.
constexpr int kMissingFilesShown = 12;
const QString kFeatureCustomResolution = QStringLiteral("has_custom_resolution");
// A stored session is reused only while it outlives the launch by this much.
constexpr qint64 kSessionMarginSeconds = 120;
const QString kMsaUserType = QStringLiteral("msa");

QString firstNonEmpty(std::initializer_list<QString> texts)
{
    for (const QString& text : texts) {
        if (!text.isEmpty())
            return text;
    }
    return {};
}

int setting(const QVariantMap& settings, const char* key, int fallback)
{
    return BackendStore::settingInt(settings, QString::fromLatin1(key), fallback);
}
} // namespace

LaunchAttempt::LaunchAttempt(const QList<Profile>& profiles, int profileIndex, int buildId,
                             AuthService* auth, MsaAuthService* msa)
    : m_profiles(profiles), m_profile(FollowedProfile::at(profiles, profileIndex)),
      m_buildId(buildId), m_auth(auth), m_msa(msa)
{
}

QString LaunchAttempt::refusal(const QString& gameDir, const QString& versionId,
                               const QString& buildName)
{
    if (!QFileInfo(gameDir).isDir())
        return Loc::text("launch.error.gameDirMissing").arg(PathRules::native(gameDir));
    if (const QString unusable = GameLauncher::unusableGameDir(gameDir); !unusable.isEmpty())
        return unusable;
    if (versionId.trimmed().isEmpty())
        return Loc::text("launch.error.buildNoVersion")
            .arg(buildName, PathRules::native(LauncherPaths::customBuildsFile()));

    // Looked up exactly as stored: " 1.20.1" is not "1.20.1".
    const QStringList installed = VersionLoader::installedVersions(gameDir);
    if (installed.contains(versionId))
        return {};
    const QString versionsDir = PathRules::native(gameDir + QStringLiteral("/versions"));
    if (installed.isEmpty())
        return Loc::text("launch.error.noVersionsInstalled").arg(versionsDir);
    return Loc::text("launch.error.versionNotInstalled")
        .arg(versionId, buildName, versionsDir, installed.join(QStringLiteral(", ")));
}

QStringList LaunchAttempt::problems(const QString& gameDir, const QString& versionId,
                                    const QString& buildName)
{
    if (const QString unusable = GameLauncher::unusableGameDir(gameDir); !unusable.isEmpty())
        return {unusable};
    if (versionId.trimmed().isEmpty())
        return {Loc::text("build.error.noMinecraftVersion")
                    .arg(PathRules::native(LauncherPaths::customBuildsFile()))};
    QString error;
    const MinecraftVersion version = VersionLoader::load(gameDir, versionId, {}, &error);
    if (!version.id.isEmpty() && !version.mainClass.isEmpty()) {
        LaunchOptions options;
        options.gameDir = gameDir;
        options.versionId = versionId;
        return GameLauncher::missingFiles(options, version, kMissingFilesShown);
    }
    if (!error.isEmpty())
        return {error};
    return {
        Loc::text("build.error.versionNotInstalled")
            .arg(versionId, buildName, PathRules::native(gameDir + QStringLiteral("/versions")))};
}

bool LaunchAttempt::prepare(const QString& gameDir, const QString& versionId,
                            const QVariantMap& settings, QString* error)
{
    m_gameDir = gameDir;
    QSet<QString> features;
    if (setting(settings, "windowWidth", 0) > 0 && setting(settings, "windowHeight", 0) > 0)
        features.insert(kFeatureCustomResolution);
    QString loadError;
    m_version = VersionLoader::load(gameDir, versionId, features, &loadError);
    if (m_version.id.isEmpty() || m_version.mainClass.isEmpty()) {
        if (error)
            *error = loadError.isEmpty()
                         ? Loc::text("common.error.versionReadFailed").arg(versionId)
                         : loadError;
        return false;
    }

    LaunchOptions files;
    files.gameDir = gameDir;
    files.versionId = versionId;
    const QStringList missing = GameLauncher::missingFiles(files, m_version, kMissingFilesShown);
    if (!missing.isEmpty()) {
        if (error)
            *error = Loc::text("launch.error.gameFilesMissing")
                         .arg(QString::number(missing.size()), missing.join(QLatin1Char('\n')));
        return false;
    }
    return true;
}

const LaunchAttempt::Profile* LaunchAttempt::currentProfile() const
{
    const int position = profilePosition();
    return position < 0 ? nullptr : &m_profiles.at(position);
}

void LaunchAttempt::failCancelled()
{
    emit failed(Loc::text("launch.status.cancelled"), false);
}

void LaunchAttempt::signIn()
{
    const Profile* profile = currentProfile();
    if (!profile) {
        failCancelled();
        return;
    }
    if (profile->authType == BackendStore::kMicrosoft) {
        signInToMicrosoft(*profile);
        return;
    }
    if (profile->authType == BackendStore::kElyBy) {
        signInToAccountService();
        return;
    }
    const QString nickname = profile->login.isEmpty() ? profile->name : profile->login;
    finishSignIn(AuthService::offline(nickname), true);
}

void LaunchAttempt::signInToAccountService()
{
    m_auth->ensureAuthlibInjector(
        LauncherPaths::runtimeDir(),
        [self = QPointer(this)](const QString& path, const QString& error) {
            if (!self)
                return;
            if (!error.isEmpty()) {
                emit self->failed(error, false);
                return;
            }
            const Profile* profile = self->currentProfile();
            if (!profile) {
                self->failCancelled();
                return;
            }
            self->m_authlibInjectorPath = path;
            self->m_auth->loginElyBy(profile->login, profile->password, profile->clientToken,
                                     profile->accessToken, [self](const AuthResult& result) {
                                         if (self)
                                             self->finishSignIn(result, true);
                                     });
        });
}

void LaunchAttempt::submitCode(const QString& code)
{
    const Profile* profile = currentProfile();
    if (!profile) {
        failCancelled();
        return;
    }
    m_auth->loginElyByWithTotp(profile->login, profile->password, code, profile->clientToken,
                               [self = QPointer(this)](const AuthResult& result) {
                                   // A second request for a code ends the launch.
                                   if (self)
                                       self->finishSignIn(result, false);
                               });
}

void LaunchAttempt::finishSignIn(const AuthResult& result, bool codeMayBeAsked)
{
    if (result.twoFactorRequired && codeMayBeAsked) {
        const Profile* profile = currentProfile();
        if (profile)
            emit codeRequired(profile->name);
        else
            failCancelled();
        return;
    }
    if (result.ok)
        emit signedIn(result);
    else
        emit failed(result.error, false);
}

bool LaunchAttempt::hasUsableSession(const Profile& profile, const QDateTime& expiry)
{
    return !profile.accessToken.isEmpty() && expiry.isValid() &&
           QDateTime::currentDateTimeUtc().addSecs(kSessionMarginSeconds) < expiry;
}

AuthResult LaunchAttempt::storedMicrosoftSession(const Profile& profile, const QDateTime& expiry)
{
    AuthResult result;
    result.ok = true;
    result.name = profile.resolvedName;
    result.uuid = profile.uuid;
    result.accessToken = profile.accessToken;
    result.clientToken = MsaAuthService::clientId();
    result.userType = profile.userType.isEmpty() ? kMsaUserType : profile.userType;
    result.refreshToken = profile.refreshToken;
    result.xuid = profile.xuid;
    result.expiresAt = expiry;
    return result;
}

void LaunchAttempt::signInToMicrosoft(const Profile& profile)
{
    if (profile.refreshToken.isEmpty()) {
        emit failed(Loc::text("auth.msa.error.profileNeedsLogin").arg(profile.name), true);
        return;
    }
    const QDateTime expiry = QDateTime::fromString(profile.tokenExpiry, Qt::ISODate);
    if (hasUsableSession(profile, expiry)) {
        emit signedIn(storedMicrosoftSession(profile, expiry));
        return;
    }
    m_msa->loginWithRefreshToken(profile.refreshToken, [self = QPointer(this)](
                                                           const AuthResult& result) {
        if (!self)
            return;
        // Signing in again cannot give an account a game profile, nor bring a service
        // back: only a refused session asks for the window.
        if (result.profileUnavailable)
            emit self->failed(result.error, false);
        else if (result.serviceUnavailable)
            emit self->failed(Loc::text("auth.msa.error.tryLater").arg(result.error), false);
        else if (result.ok)
            emit self->signedIn(result);
        else
            emit self->failed(Loc::text("auth.msa.error.sessionExpired").arg(result.error), true);
    });
}

LaunchOptions LaunchAttempt::options(const AuthResult& result, const Profile& profile,
                                     const QString& serverUrl, const QVariantMap& settings)
{
    LaunchOptions options;
    options.gameDir = m_gameDir;
    options.versionId = m_version.id;
    options.playerName =
        firstNonEmpty({result.name, profile.resolvedName, profile.login, profile.name});
    options.uuid = result.uuid.isEmpty() ? profile.uuid : result.uuid;
    options.accessToken = result.accessToken;
    options.userType = result.userType;
    options.clientId = result.clientToken;
    options.xuid = result.xuid;
    options.javaPath = managedJavaPath(settings);
    const bool runtimeMissing =
        options.javaPath.isEmpty() &&
        !settings.value(QStringLiteral("javaRuntime")).toString().trimmed().isEmpty();
    if (options.javaPath.isEmpty())
        options.javaPath = settings.value(QStringLiteral("javaPath")).toString();
    options.minMemoryMb = setting(settings, "minMemoryMb", 512);
    options.maxMemoryMb = setting(settings, "maxMemoryMb", 4096);
    options.width = setting(settings, "windowWidth", 0);
    options.height = setting(settings, "windowHeight", 0);
    options.fullscreen = settings.value(QStringLiteral("fullscreen")).toBool();
    options.launcherName = QCoreApplication::applicationName();
    options.launcherVersion = QCoreApplication::applicationVersion();
    // No quoting: an argument cannot hold white space.
    options.extraJvmArgs =
        settings.value(QStringLiteral("jvmArgs"))
            .toString()
            .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    options.server = serverUrl.trimmed();
    if (profile.authType == BackendStore::kElyBy)
        options.injectorJar = m_authlibInjectorPath;
    if (runtimeMissing)
        emit progress(Loc::text("java.warning.runtimeMissing"));
    return options;
}

QString LaunchAttempt::managedJavaPath(const QVariantMap& settings)
{
    const QString id = settings.value(QStringLiteral("javaRuntime")).toString();
    if (id.trimmed().isEmpty())
        return {};
    const std::optional<InstalledJavaRuntime> runtime = JavaRuntimeStore::find(id);
    return runtime ? runtime->javaPath : QString();
}
