#include "launcherbackend.h"

#include "authservice.h"
#include "backendstartup.h"
#include "backendstore.h"
#include "buildedits.h"
#include "buildswitcher.h"
#include "catalogrows.h"
#include "downloadstatus.h"
#include "fieldtext.h"
#include "followedprofile.h"
#include "gamelauncher.h"
#include "installerdownloads.h"
#include "installerreports.h"
#include "javainstaller.h"
#include "javaruntimeservice.h"
#include "launchattempt.h"
#include "launcherpaths.h"
#include "localization.h"
#include "microsoftsignin.h"
#include "minecraftversion.h"
#include "modloaderinstaller.h"
#include "modloaderversionservice.h"
#include "msaauthservice.h"
#include "pathrules.h"
#include "profileaccount.h"
#include "seasonalbuildservice.h"
#include "seasonalcatalogrows.h"
#include "seasonalinstall.h"
#include "seasonalpackdownloader.h"
#include "startpolicy.h"
#include "versioninstaller.h"
#include "versionmanifestservice.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <utility>

namespace {
const QString& kActiveBuildId = BackendStore::kActiveBuildId;
const QString kLanguageKey = QStringLiteral("language");
const QString kJavaRuntimeKey = QStringLiteral("javaRuntime");
const QString kGameDirKey = QStringLiteral("gameDir");
// The switcher's id for no build; as "activeBuildId", the game directory holds no stored
// build's files.
constexpr int kNoBuild = -1;

using PathRules::native;

} // namespace

LauncherBackend::LauncherBackend(QObject* parent)
    : QObject(parent), m_seasonalCatalog(std::make_unique<SeasonalCatalogRows>())
{
    m_auth = new AuthService(this);
    m_msa = new MsaAuthService(this);
    m_gameLauncher = new GameLauncher(this);
    m_manifest = new VersionManifestService(this);
    m_versionInstaller = new VersionInstaller(m_manifest, this);
    m_loaderVersions = new ModLoaderVersionService(this);
    m_loaderInstaller = new ModLoaderInstaller(m_loaderVersions, m_versionInstaller, this);
    m_buildSwitcher = new BuildSwitcher(this);
    m_javaRuntimes = new JavaRuntimeService(this);
    m_javaInstaller = new JavaInstaller(this);
    m_seasonalBuilds = new SeasonalBuildService(this);
    m_packDownloader = new SeasonalPackDownloader(this);
    m_downloads = std::make_unique<InstallerDownloads>(m_versionInstaller, m_loaderInstaller,
                                                       m_javaInstaller, m_packDownloader);

    BackendStartup::Result start = BackendStartup::load(m_buildSwitcher, m_startupWarnings);
    m_settings = std::move(start.state.settings);
    m_profiles = std::move(start.state.profiles);
    m_customBuilds = std::move(start.state.builds);
    m_nextProfileId = start.state.nextProfileId;
    m_nextBuildId = start.state.nextBuildId;

    const QString interrupted = m_buildSwitcher->interruptedSwitchWarning();
    if (!interrupted.isEmpty()) {
        m_startupWarnings.append(interrupted);
        QTimer::singleShot(0, this, [this] { m_buildSwitcher->resumeInterrupted(gameDir()); });
    }

    connect(m_auth, &AuthService::progress, this, &LauncherBackend::launchProgress);
    connect(m_msa, &MsaAuthService::progress, this, &LauncherBackend::launchProgress);
    connect(m_loaderVersions, &ModLoaderVersionService::versionsChanged, this,
            &LauncherBackend::loaderVersionsChanged);
    connect(m_gameLauncher, &GameLauncher::progress, this, &LauncherBackend::launchProgress);
    connect(m_gameLauncher, &GameLauncher::output, this, &LauncherBackend::gameOutput);
    connect(m_gameLauncher, &GameLauncher::gameStarted, this, [this](const QString& commandLine) {
        emit gameOutput(commandLine);
        emit gameRunningChanged();
    });
    connect(m_gameLauncher, &GameLauncher::gameFinished, this, [this](int exitCode, bool crashed) {
        emit gameRunningChanged();
        emit gameFinished(exitCode, crashed);
    });

    connect(m_manifest, &VersionManifestService::versionsChanged, this,
            &LauncherBackend::invalidateCatalog);
    connect(m_manifest, &VersionManifestService::refreshingChanged, this,
            &LauncherBackend::catalogLoadingChanged);
    connect(m_javaRuntimes, &JavaRuntimeService::catalogChanged, this,
            &LauncherBackend::invalidateJavaCatalog);
    connect(m_javaRuntimes, &JavaRuntimeService::refreshingChanged, this,
            &LauncherBackend::javaCatalogLoadingChanged);
    connect(m_buildSwitcher, &BuildSwitcher::progressChanged, this, [this] {
        emit switchChanged();
        emit busyChanged();
    });
    connect(m_buildSwitcher, &BuildSwitcher::finished, this, &LauncherBackend::onSwitchFinished);
    connect(m_buildSwitcher, &BuildSwitcher::failed, this, &LauncherBackend::onSwitchFailed);
    connect(m_loaderVersions, &ModLoaderVersionService::refreshingChanged, this,
            &LauncherBackend::downloadChanged);
    connectInstallerReports();

    // Then: the other services' connections, the seasonal catalog address and the
    // remaining connections.
    m_seasonalBuilds->setBaseUrl(seasonalBaseUrl());
    connect(m_seasonalBuilds, &SeasonalBuildService::buildsChanged, this,
            &LauncherBackend::invalidateSeasonalCatalog);
    connect(m_seasonalBuilds, &SeasonalBuildService::refreshingChanged, this,
            &LauncherBackend::seasonalCatalogLoadingChanged);
    connect(this, &LauncherBackend::customBuildsChanged, this,
            &LauncherBackend::invalidateSeasonalCatalog);
    createSeasonalInstall();

    if (!start.importedBuild.isEmpty())
        QTimer::singleShot(0, this,
                           [this, name = start.importedBuild] { emit gameDirImported(name); });
    if (!m_startupWarnings.isEmpty()) {
        const QString warnings = m_startupWarnings.join(QLatin1Char('\n'));
        QTimer::singleShot(0, this, [this, warnings] { emit launchError(warnings); });
    }
}

LauncherBackend::~LauncherBackend() = default;

QVariantMap LauncherBackend::settings() const
{
    QVariantMap values = m_settings;
    values.insert(QStringLiteral("resolvedGameDir"), native(gameDir()));
    return values;
}

void LauncherBackend::updateSettings(const QVariantMap& values)
{
    const QString previousGameDir = gameDir();
    const QString previousLanguage = m_settings.value(kLanguageKey).toString();
    // Paths, addresses and the JVM arguments alike: no setting's text holds a line break.
    QVariantMap lines = FieldText::oneLineTexts(values);
    const bool gameDirSaved = lines.contains(kGameDirKey);
    if (gameDirSaved)
        lines.insert(kGameDirKey,
                     BackendStore::gameDirSetting(lines.value(kGameDirKey).toString()));
    for (auto it = lines.cbegin(); it != lines.cend(); ++it)
        m_settings.insert(it.key(), it.value());
    saveSettings();
    emit settingsChanged();

    const QString language = m_settings.value(kLanguageKey).toString();
    if (language != previousLanguage)
        Localization::instance()->setLanguage(language);
    if (gameDir() != previousGameDir) {
        invalidateCatalog();
        emit installedVersionsChanged();
    }
    // Kept as the player typed it, but told at once rather than at the next Play.
    if (gameDirSaved)
        refused(unplayableGameDir());
}

QUrl LauncherBackend::seasonalBaseUrl() const
{
    return BackendStore::seasonalBaseUrl(m_settings);
}

void LauncherBackend::invalidateCatalog()
{
    m_versionCatalog.invalidate();
    emit versionCatalogChanged();
}

void LauncherBackend::invalidateJavaCatalog()
{
    m_javaCatalog.invalidate();
    emit javaCatalogChanged();
}

void LauncherBackend::invalidateSeasonalCatalog()
{
    m_seasonalCatalog->invalidate();
    emit seasonalCatalogChanged();
}

QVariantList LauncherBackend::seasonalCatalog() const
{
    return m_seasonalCatalog->rows(m_seasonalBuilds->builds(), m_customBuilds);
}

bool LauncherBackend::seasonalCatalogLoading() const
{
    return m_seasonalBuilds->isRefreshing();
}

QString LauncherBackend::seasonalCatalogError() const
{
    return m_seasonalBuilds->lastError();
}

void LauncherBackend::refreshSeasonalCatalog(bool force)
{
    m_seasonalBuilds->setBaseUrl(seasonalBaseUrl());
    m_seasonalBuilds->ensureLoaded({}, force);
}

// A failed write is told at once. Nothing here writes while the constructor runs, when
// no signal would reach anyone: the start-up's writes report among its warnings.
void LauncherBackend::saveProfiles()
{
    QString error;
    if (!BackendStore::saveProfiles(m_profiles, &error))
        emit launchError(error);
}

void LauncherBackend::saveCustomBuilds()
{
    QString error;
    if (!BackendStore::saveBuilds(m_customBuilds, &error))
        emit launchError(error);
}

void LauncherBackend::saveSettings()
{
    QString error;
    if (!BackendStore::saveSettings(m_settings, &error))
        emit launchError(error);
}

QString LauncherBackend::gameDir() const
{
    return BackendStore::gameDir(m_settings);
}

QString LauncherBackend::unplayableGameDir() const
{
    return GameLauncher::unusableGameDir(gameDir());
}

int LauncherBackend::indexOfBuildId(int id) const
{
    return BuildEdits::indexOfBuildId(m_customBuilds, id);
}

QString LauncherBackend::launchVersionIdOf(const CustomBuild& build) const
{
    if (!build.resolvedVersionId.isEmpty())
        return build.resolvedVersionId;
    if (!build.minecraftVersion.isEmpty())
        return build.minecraftVersion;
    // Builds named after the version they launch, from before builds had a game version,
    // still launch it. Any other name is no version: a new "Build 1" has none yet.
    if (isVersionInstalled(build.name))
        return build.name;
    return {};
}

// ---- Launch ----

void LauncherBackend::launchGame(int profileIndex, int buildIndex)
{
    if (refused(launchRefusal(profileIndex, buildIndex)))
        return;
    const CustomBuild& build = m_customBuilds.at(buildIndex);
    const QString versionId = launchVersionIdOf(build);
    auto attempt =
        std::make_unique<LaunchAttempt>(m_profiles, profileIndex, build.id, m_auth, m_msa);
    setBusy(Operation::Launch, true);
    emit launchProgress(Loc::text("launch.progress.readingVersion").arg(versionId));
    QString error;
    if (!attempt->prepare(gameDir(), versionId, m_settings, &error)) {
        failLaunch(error);
        return;
    }

    // A launch waiting for a second-factor code is replaced by this one.
    m_launch = std::move(attempt);
    connect(m_launch.get(), &LaunchAttempt::progress, this, &LauncherBackend::launchProgress);
    connect(m_launch.get(), &LaunchAttempt::signedIn, this, &LauncherBackend::continueLaunch);
    connect(m_launch.get(), &LaunchAttempt::codeRequired, this, &LauncherBackend::onCodeRequired);
    connect(m_launch.get(), &LaunchAttempt::failed, this, &LauncherBackend::onLaunchFailed);
    m_launch->signIn();
}

QString LauncherBackend::launchRefusal(int profileIndex, int buildIndex) const
{
    const QString refusal = refusalOf(StartPolicy::Request::Launch);
    if (!refusal.isEmpty())
        return refusal;
    if (profileIndex < 0 || profileIndex >= m_profiles.size())
        return Loc::text("launch.error.noProfile");
    if (buildIndex < 0 || buildIndex >= m_customBuilds.size())
        return Loc::text("launch.error.noBuild");
    const CustomBuild& build = m_customBuilds.at(buildIndex);
    return LaunchAttempt::refusal(gameDir(), launchVersionIdOf(build), build.name);
}

void LauncherBackend::submitTwoFactorCode(const QString& code)
{
    if (pendingProfilePosition() < 0) {
        emit launchError(Loc::text("launch.status.alreadyCancelled"));
        return;
    }
    const QString trimmed = code.trimmed();
    if (trimmed.isEmpty()) {
        emit launchError(Loc::text("auth.ely.error.enterCode"));
        return;
    }
    setBusy(Operation::Launch, true);
    m_launch->submitCode(trimmed);
}

void LauncherBackend::onCodeRequired(const QString& profileName)
{
    // The launch stays pending without blocking the interface while the player finds
    // the code.
    setBusy(Operation::Launch, false);
    emit twoFactorRequired(profileName);
}

void LauncherBackend::onLaunchFailed(const QString& message, bool needsNewSignIn)
{
    const int position = pendingProfilePosition();
    failLaunch(message);
    if (needsNewSignIn)
        emit microsoftReloginRequired(position);
}

void LauncherBackend::continueLaunch(const AuthResult& result)
{
    // The attempt ends here, whatever the listeners of what follows do meanwhile.
    const std::unique_ptr<LaunchAttempt> attempt = std::move(m_launch);
    const int position = attempt->profilePosition();
    if (position < 0) {
        failLaunch(Loc::text("launch.status.cancelled"));
        return;
    }
    const int buildPosition = indexOfBuildId(attempt->buildId());
    if (buildPosition < 0) {
        failLaunch(Loc::text("build.error.removedDuringAuth"));
        return;
    }
    Profile& profile = m_profiles[position];
    if (ProfileAccount::storeSignIn(profile, result))
        saveProfiles();
    const QString refusal = refusalOf(StartPolicy::Request::ResumeLaunch);
    if (!refusal.isEmpty()) {
        failLaunch(refusal);
        return;
    }

    const CustomBuild build = m_customBuilds.at(buildPosition);
    const LaunchOptions options = attempt->options(result, profile, build.serverUrl, m_settings);
    // Taken before the game starts: the interface may change the lists while
    // it hears of the start.
    const QString profileName = profile.name;
    QString error;
    const bool started = m_gameLauncher->launch(options, attempt->version(), &error);
    cancelPendingLaunch();
    if (!started) {
        emit launchError(error);
        return;
    }
    emit gameRunningChanged();
    emit launched(profileName, build.name, build.serverUrl);
}

void LauncherBackend::cancelPendingLaunch()
{
    m_launch.reset();
    setBusy(Operation::Launch, false);
}

void LauncherBackend::failLaunch(const QString& message)
{
    cancelPendingLaunch();
    emit launchError(message);
}

int LauncherBackend::pendingProfilePosition() const
{
    return m_launch ? m_launch->profilePosition() : -1;
}

void LauncherBackend::stopGame()
{
    m_gameLauncher->terminate();
}

bool LauncherBackend::gameRunning() const
{
    return m_gameLauncher->isRunning();
}

// ---- Busy state ----

bool LauncherBackend::busy() const
{
    return operationRunning() || switching() || currentDownload().downloading();
}

void LauncherBackend::setBusy(Operation operation, bool running)
{
    const bool wasBusy = operationRunning();
    const unsigned before = m_busyOperations;
    const auto flag = static_cast<unsigned>(operation);
    m_busyOperations = running ? (m_busyOperations | flag) : (m_busyOperations & ~flag);
    if (operationRunning() != wasBusy)
        emit busyChanged();
    if (operation == Operation::SeasonalInstall && m_busyOperations != before)
        emit seasonalInstallingChanged();
}

QString LauncherBackend::refusalOf(StartPolicy::Request request, bool targetInstalling) const
{
    const std::pair<StartPolicy::Work, bool> facts[] = {
        {StartPolicy::Switch, switching()},
        {StartPolicy::VersionInstall, m_versionInstaller->isBusy()},
        {StartPolicy::LoaderInstall, m_loaderInstaller->busy()},
        {StartPolicy::JavaInstall, m_javaInstaller->isBusy()},
        {StartPolicy::PackDownload, m_packDownloader->isBusy()},
        {StartPolicy::Game, m_gameLauncher->isRunning()},
        {StartPolicy::TargetInstalling, targetInstalling},
    };
    unsigned running = m_busyOperations;
    for (const auto& [work, runs] : facts)
        running |= runs ? unsigned(work) : 0u;
    const auto runs = [this, running](StartPolicy::Work work) {
        if (work == StartPolicy::SwitchUnfinished)
            return m_buildSwitcher->hasUnfinishedSwitch() || activationPending();
        return (running & work) != 0;
    };
    return StartPolicy::refusal(request, runs,
                                {m_loaderInstaller->label(), m_versionInstaller->versionId(),
                                 m_javaInstaller->runtimeId(), m_javaInstaller->status().label});
}

bool LauncherBackend::refuses(StartPolicy::Request request, bool targetInstalling)
{
    return refused(refusalOf(request, targetInstalling));
}

bool LauncherBackend::refused(const QString& refusal)
{
    if (!refusal.isEmpty())
        emit launchError(refusal);
    return !refusal.isEmpty();
}

// ---- Profiles ----

QStringList LauncherBackend::profileNames() const
{
    QStringList names;
    for (const Profile& profile : m_profiles)
        names.append(profile.name);
    return names;
}

QVariantMap LauncherBackend::profileAt(int index) const
{
    if (index < 0 || index >= m_profiles.size())
        return {};
    return ProfileAccount::shownFields(m_profiles.at(index));
}

void LauncherBackend::addProfile(const QString& name, const QString& login, const QString& password,
                                 const QString& authType)
{
    m_profiles.append(
        ProfileAccount::newProfile(m_nextProfileId++, name, login, password, authType));
    saveProfiles();
    emit profilesChanged();
}

void LauncherBackend::updateProfile(int index, const QString& name, const QString& login,
                                    const QString& password, const QString& authType)
{
    if (index < 0 || index >= m_profiles.size())
        return;
    // A sign-in still running for the account the profile held would store that
    // account's tokens in it.
    const bool cancelsLaunch =
        ProfileAccount::edit(m_profiles[index], name, login, password, authType) &&
        index == pendingProfilePosition();
    if (cancelsLaunch)
        cancelPendingLaunch();
    saveProfiles();
    emit profilesChanged();
    if (cancelsLaunch)
        emit launchError(Loc::text("launch.status.cancelled"));
}

void LauncherBackend::removeProfile(int index)
{
    if (index < 0 || index >= m_profiles.size())
        return;
    m_profiles.removeAt(index);
    saveProfiles();
    emit profilesChanged();
}

// ---- Builds ----

QStringList LauncherBackend::customBuildNames() const
{
    QStringList names;
    for (const CustomBuild& build : m_customBuilds)
        names.append(build.name);
    return names;
}

QVariantMap LauncherBackend::customBuildAt(int index) const
{
    if (index < 0 || index >= m_customBuilds.size())
        return {};
    const CustomBuild& build = m_customBuilds.at(index);
    QVariantMap map = BackendStore::buildFields(build);
    map.insert(QStringLiteral("launchVersionId"), launchVersionIdOf(build));
    return map;
}

void LauncherBackend::addCustomBuild(const QString& name, const QString& serverUrl,
                                     const QString& minecraftVersion)
{
    appendBuild(BuildEdits::newBuild(m_nextBuildId++, name, serverUrl, minecraftVersion));
    if (!minecraftVersion.trimmed().isEmpty())
        maybeInstall(minecraftVersion);
}

int LauncherBackend::addNumberedBuild()
{
    addCustomBuild(BuildEdits::numberedName(m_customBuilds), QString());
    return int(m_customBuilds.size()) - 1;
}

void LauncherBackend::appendBuild(const CustomBuild& build)
{
    m_customBuilds.append(build);
    saveCustomBuilds();
    emit customBuildsChanged();
    // The first build is the active one from now on.
    if (m_customBuilds.size() == 1)
        emit activeBuildChanged();
}

void LauncherBackend::updateCustomBuild(int index, const QVariantMap& fields)
{
    if (index < 0 || index >= m_customBuilds.size())
        return;
    BuildEdits::edit(m_customBuilds[index], fields);
    saveCustomBuilds();
    emit customBuildsChanged();
    emit activeBuildChanged();
}

void LauncherBackend::removeCustomBuild(int index)
{
    if (index < 0 || index >= m_customBuilds.size() || refuses(StartPolicy::Request::RemoveBuild))
        return;
    // The active build is the one the game directory holds: the same test as
    // activeBuildIndex, so a build shown as active never leaves its files behind.
    const bool wasActive = index == activeBuildIndex();
    const CustomBuild removed = m_customBuilds.takeAt(index);
    saveCustomBuilds();
    if (!m_buildSwitcher->forgetBuild(removed.id))
        emit launchError(Loc::text("build.warning.archiveNotRemoved")
                             .arg(removed.name, native(LauncherPaths::buildStorageDir())));
    emit customBuildsChanged();
    emit activeBuildChanged();
    if (!wasActive)
        return;

    if (m_customBuilds.isEmpty()) {
        m_settings.remove(kActiveBuildId);
        saveSettings();
        emit activeBuildChanged();
        return;
    }
    // Until the next build is restored the directory holds the removed build's files:
    // should the switch fail before clearing them, no later switch may archive them as
    // the build shown active.
    m_settings.insert(kActiveBuildId, kNoBuild);
    saveSettings();
    switchToBuild(0, {}, "build.progress.activating");
}

QVariantMap LauncherBackend::customBuildRemovalInfo(int index) const
{
    if (index < 0 || index >= m_customBuilds.size())
        return {};
    const CustomBuild& build = m_customBuilds.at(index);
    return {{QStringLiteral("name"), build.name},
            {QStringLiteral("hasArchive"), !m_buildSwitcher->archivePathOf(build.id).isEmpty()},
            {QStringLiteral("active"), index == activeBuildIndex()},
            {QStringLiteral("lastOne"), m_customBuilds.size() == 1}};
}

int LauncherBackend::activeBuildIndex() const
{
    if (m_customBuilds.isEmpty())
        return -1;
    const int index = indexOfBuildId(BackendStore::settingInt(m_settings, kActiveBuildId, 0));
    return index < 0 ? 0 : index;
}

QString LauncherBackend::activeBuildName() const
{
    const int index = activeBuildIndex();
    return index < 0 ? QString() : m_customBuilds.at(index).name;
}

void LauncherBackend::setActiveBuildIndex(int index)
{
    if (index < 0 || index >= m_customBuilds.size())
        return;
    // After a switch that broke off, the game directory holds no build whole: choosing
    // the active build again restores it.
    if (holdsBuild(index) || refuses(StartPolicy::Request::SwitchBuild))
        return;
    switchToBuild(index);
}

bool LauncherBackend::holdsBuild(int index) const
{
    return index == activeBuildIndex() && !m_buildSwitcher->hasUnfinishedSwitch() &&
           !activationPending();
}

void LauncherBackend::switchToBuild(int index, JobDone done, const char* progressKey)
{
    // Copied: the interface may change the list while it hears of the switch.
    CustomBuild active;
    active.id = kNoBuild;
    if (!activationPending())
        active = m_customBuilds.at(activeBuildIndex());
    const CustomBuild target = m_customBuilds.at(index);
    emit launchProgress(Loc::text(progressKey).arg(target.name));
    m_buildSwitcher->switchTo(active.id, active.name, target.id, target.name, gameDir(),
                              std::move(done));
    emit switchChanged();
    emit busyChanged();
}

// ---- Build switch ----

bool LauncherBackend::switching() const
{
    return m_buildSwitcher->busy();
}

double LauncherBackend::switchProgress() const
{
    return m_buildSwitcher->fraction();
}

QString LauncherBackend::switchStage() const
{
    return m_buildSwitcher->stageText();
}

QString LauncherBackend::switchStatus() const
{
    return m_buildSwitcher->currentPath();
}

bool LauncherBackend::activationPending() const
{
    return !m_customBuilds.isEmpty() &&
           BackendStore::settingInt(m_settings, kActiveBuildId, 0) == kNoBuild;
}

void LauncherBackend::onSwitchFinished(int toBuildId)
{
    m_settings.insert(kActiveBuildId, toBuildId);
    saveSettings();
    invalidateCatalog();
    emit activeBuildChanged();
    emit installedVersionsChanged();
    emit switchChanged();
    emit busyChanged();
    const int index = indexOfBuildId(toBuildId);
    const QString name = index < 0 ? QString() : m_customBuilds.at(index).name;
    emit launchProgress(Loc::text("build.status.active").arg(name));
    // Only the end of a pack application carries a note, also one resumed at start-up.
    const QJsonObject note = m_buildSwitcher->appliedPackNote();
    if (!note.isEmpty())
        recordSeasonalPack(toBuildId, note, m_buildSwitcher->packEntries());
}

void LauncherBackend::onSwitchFailed(int, const QString& message, bool gameDirIntact)
{
    invalidateCatalog();
    emit installedVersionsChanged();
    emit switchChanged();
    emit busyChanged();
    const char* key = nullptr;
    if (m_seasonal->stage() == SeasonalInstall::Stage::Apply)
        key = gameDirIntact ? "build.error.filesNotInstalled" : "build.error.filesIncomplete";
    else
        key = gameDirIntact ? "build.error.switchFailed" : "build.error.switchFailedDirty";
    emit launchError(Loc::text(key).arg(message));
}

// ---- Microsoft sign-in ----

void LauncherBackend::startMicrosoftLogin(int profileIndex)
{
    if (!microsoftAvailable()) {
        emit microsoftLoginFailed(Loc::text("auth.msa.error.noWebEngine"));
        return;
    }
    if (profileIndex >= m_profiles.size()) {
        emit microsoftLoginFailed(Loc::text("profile.error.notFound"));
        return;
    }
    // A window opened before is replaced: its answer, still to come, is dropped.
    m_msaWindow = std::make_unique<MicrosoftSignIn>(m_profiles, profileIndex, m_msa);
    connect(m_msaWindow.get(), &MicrosoftSignIn::answered, this,
            &LauncherBackend::onMicrosoftAnswered);
    emit microsoftLoginUrlReady(MsaAuthService::authorizationUrl().toString());
}

QVariantMap LauncherBackend::inspectMicrosoftRedirect(const QString& url) const
{
    return MicrosoftSignIn::inspectRedirect(url);
}

void LauncherBackend::finishMicrosoftLogin(const QString& code)
{
    if (!m_msaWindow) {
        emit microsoftLoginFailed(Loc::text("auth.msa.status.alreadyCancelled"));
        return;
    }
    // A launch is refused while the code is exchanged, also when the window is closed
    // before the answer.
    ++m_msaExchangesRunning;
    setBusy(Operation::MicrosoftLogin, true);
    m_msaWindow->exchange(code, [this] {
        --m_msaExchangesRunning;
        setBusy(Operation::MicrosoftLogin, m_msaExchangesRunning > 0);
    });
}

void LauncherBackend::cancelMicrosoftLogin()
{
    m_msaWindow.reset();
}

void LauncherBackend::onMicrosoftAnswered(const AuthResult& result)
{
    // The window's work is done: a second code has nobody to go to.
    const std::unique_ptr<MicrosoftSignIn> window = std::move(m_msaWindow);
    QString error = result.error;
    if (!result.ok || !window->store(m_profiles, m_nextProfileId, result, &error)) {
        emit microsoftLoginFailed(error);
        return;
    }
    saveProfiles();
    emit profilesChanged();
    emit microsoftLoginSucceeded(result.name);
}

// ---- Catalogs ----

std::function<void(bool, const QString&)> LauncherBackend::failureReporter()
{
    return [this](bool ok, const QString& message) {
        if (!ok && !message.isEmpty())
            emit launchError(message);
    };
}

QStringList LauncherBackend::installedVersions() const
{
    return VersionLoader::installedVersions(gameDir());
}

QVariantList LauncherBackend::versionCatalog() const
{
    return m_versionCatalog.rows(
        [this] { return CatalogRows::versions(m_manifest->versions(), installedVersions()); });
}

bool LauncherBackend::catalogLoading() const
{
    return m_manifest->isRefreshing();
}

void LauncherBackend::refreshVersionCatalog(bool force)
{
    invalidateCatalog();
    m_manifest->ensureLoaded(failureReporter(), force);
}

bool LauncherBackend::isVersionInstalled(const QString& versionId) const
{
    // Looked up exactly as given: " 1.20.1" is not "1.20.1".
    return !versionId.trimmed().isEmpty() && installedVersions().contains(versionId);
}

QVariantMap LauncherBackend::versionRemovalInfo(const QString& versionId) const
{
    return CatalogRows::versionRemovalInfo(gameDir(), versionId, m_customBuilds);
}

QVariantList LauncherBackend::loaderVersions(const QString& loaderKey,
                                             const QString& gameVersion) const
{
    const std::optional<ModLoader> loader = loaderFromKey(loaderKey);
    if (!loader)
        return {};
    return CatalogRows::loaderVersions(m_loaderVersions->versions(*loader, gameVersion));
}

void LauncherBackend::refreshLoaderVersions(const QString& loaderKey, const QString& gameVersion,
                                            bool force)
{
    const std::optional<ModLoader> loader = loaderFromKey(loaderKey);
    if (!loader)
        return;
    m_loaderVersions->ensureLoaded(
        *loader, gameVersion,
        [this, loaderKey, gameVersion, report = failureReporter()](bool ok,
                                                                   const QString& message) {
            report(ok, message);
            emit loaderVersionsChanged(loaderKey, gameVersion);
        },
        force);
}

bool LauncherBackend::loaderVersionsLoading(const QString& loaderKey,
                                            const QString& gameVersion) const
{
    const std::optional<ModLoader> loader = loaderFromKey(loaderKey);
    return loader && m_loaderVersions->isRefreshing(*loader, gameVersion);
}

bool LauncherBackend::loaderVersionsKnown(const QString& loaderKey,
                                          const QString& gameVersion) const
{
    const std::optional<ModLoader> loader = loaderFromKey(loaderKey);
    return loader && m_loaderVersions->hasStoredList(*loader, gameVersion);
}

QVariantList LauncherBackend::javaCatalog() const
{
    return m_javaCatalog.rows([this] {
        return CatalogRows::javaRuntimes(JavaRuntimeStore::installed(),
                                         m_javaRuntimes->entries(JavaRuntimeKind::Java) +
                                             m_javaRuntimes->entries(JavaRuntimeKind::Jdk) +
                                             m_javaRuntimes->entries(JavaRuntimeKind::Jre));
    });
}

bool LauncherBackend::javaCatalogLoading() const
{
    return m_javaRuntimes->isRefreshing();
}

void LauncherBackend::refreshJavaCatalog(bool force)
{
    invalidateJavaCatalog();
    m_javaRuntimes->ensureLoaded(failureReporter(), force);
}

QVariantMap LauncherBackend::javaRuntimeInfo(const QString& runtimeId) const
{
    if (runtimeId.trimmed().isEmpty())
        return {};
    return CatalogRows::javaRuntimeInfo(runtimeId, JavaRuntimeStore::find(runtimeId),
                                        m_javaRuntimes->find(runtimeId));
}

int LauncherBackend::requiredJavaMajor(int buildIndex) const
{
    if (buildIndex < 0 || buildIndex >= m_customBuilds.size())
        return 0;
    return JavaRequirement::minimumFor(m_customBuilds.at(buildIndex).minecraftVersion);
}

QStringList LauncherBackend::detectedJava() const
{
    return CatalogRows::detectedJava(gameDir());
}

void LauncherBackend::openFolder(const QString& path, const char* failureKey)
{
    // Only a folder goes to the desktop: a file of that name would be opened, or run.
    QDir().mkpath(path);
    if (!QFileInfo(path).isDir() || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        emit launchError(Loc::text(failureKey));
}

// ---- Installations ----

void LauncherBackend::connectInstallerReports()
{
    auto* reports = new InstallerReports(m_versionInstaller, m_loaderInstaller, m_javaInstaller,
                                         m_packDownloader, this);
    m_installerReports = reports;
    connect(reports, &InstallerReports::installedVersionsChanged, this, [this] {
        invalidateCatalog();
        emit installedVersionsChanged();
    });
    connect(reports, &InstallerReports::javaRuntimesChanged, this,
            &LauncherBackend::invalidateJavaCatalog);
    connect(reports, &InstallerReports::downloadChanged, this, &LauncherBackend::downloadChanged);
    connect(reports, &InstallerReports::busyChanged, this, &LauncherBackend::busyChanged);
    connect(reports, &InstallerReports::progress, this, &LauncherBackend::launchProgress);
    connect(reports, &InstallerReports::error, this, &LauncherBackend::launchError);
    connect(reports, &InstallerReports::javaRuntimeInstalled, this,
            &LauncherBackend::javaRuntimeInstalled);
    connect(reports, &InstallerReports::log, this, &LauncherBackend::gameOutput);
}

// Every loader run is started for a build, so its success is reported here, from the run's
// completion, with the build brought up to it first; failures and cancels report from the
// installer's own signals.
void LauncherBackend::onLoaderInstallFinished(const CustomBuild& build, ModLoader loader,
                                              const QString& producedVersionId)
{
    const int index = indexOfBuildId(build.id);
    // The installer worked on the versions trimmed.
    if (index >= 0)
        updateCustomBuild(index, {{QStringLiteral("loader"), loaderKey(loader)},
                                  {QStringLiteral("loaderVersion"), build.loaderVersion.trimmed()},
                                  {QStringLiteral("resolvedVersionId"), producedVersionId}});
    m_installerReports->versionsInstallEnded();
    emit launchProgress(
        Loc::text("loader.status.done").arg(producedVersionId, build.minecraftVersion.trimmed()));
}

DownloadStatus LauncherBackend::currentDownload() const
{
    return m_downloads->status();
}

bool LauncherBackend::downloading() const
{
    return currentDownload().downloading();
}

double LauncherBackend::downloadProgress() const
{
    return currentDownload().shown().fraction;
}

QString LauncherBackend::downloadVersion() const
{
    return currentDownload().shown().label;
}

QString LauncherBackend::downloadStatus() const
{
    return currentDownload().text();
}

qlonglong LauncherBackend::downloadBytesDone() const
{
    return currentDownload().shown().bytesDone;
}

qlonglong LauncherBackend::downloadBytesTotal() const
{
    return currentDownload().shown().bytesTotal;
}

void LauncherBackend::cancelDownload()
{
    m_downloads->cancel();
}

void LauncherBackend::installVersion(const QString& versionId)
{
    const QString id = versionId.trimmed();
    if (id.isEmpty() || id == m_versionInstaller->versionId() || m_versionInstaller->isQueued(id))
        return;
    if (refused(unplayableGameDir()))
        return;
    m_versionInstaller->install(gameDir(), id);
}

void LauncherBackend::maybeInstall(const QString& versionId)
{
    const QString id = versionId.trimmed();
    if (!isVersionInstalled(id))
        installVersion(id);
}

void LauncherBackend::removeVersion(const QString& versionId)
{
    const QString id = versionId.trimmed();
    const bool downloading =
        id == m_versionInstaller->versionId() || m_versionInstaller->isQueued(id);
    if (id.isEmpty() || refuses(StartPolicy::Request::RemoveVersion, downloading))
        return;
    QString error;
    if (!VersionLoader::remove(gameDir(), id, &error)) {
        emit launchError(Loc::text("version.error.removeFailed").arg(error));
        return;
    }
    invalidateCatalog();
    emit installedVersionsChanged();
    emit launchProgress(Loc::text("version.status.removed").arg(id));
}

void LauncherBackend::installJavaRuntime(const QString& runtimeId)
{
    if (refuses(StartPolicy::Request::InstallJava))
        return;
    const std::optional<JavaRuntimeEntry> entry = m_javaRuntimes->find(runtimeId);
    if (!entry) {
        emit launchError(Loc::text("java.error.buildNotInCatalog").arg(runtimeId));
        return;
    }
    m_javaInstaller->install(*entry);
}

void LauncherBackend::removeJavaRuntime(const QString& runtimeId)
{
    const bool downloading = m_javaInstaller->isBusy() && m_javaInstaller->runtimeId() == runtimeId;
    if (refuses(StartPolicy::Request::RemoveJava, downloading))
        return;
    QString error;
    if (!JavaRuntimeStore::remove(runtimeId, &error)) {
        emit launchError(Loc::text("java.error.removeFailed").arg(error));
        return;
    }
    if (m_settings.value(kJavaRuntimeKey).toString() == runtimeId)
        updateSettings({{kJavaRuntimeKey, QString()}});
    invalidateJavaCatalog();
    emit launchProgress(Loc::text("java.status.removed"));
}

void LauncherBackend::installLoaderForBuild(int index)
{
    if (index < 0 || index >= m_customBuilds.size() || refuses(StartPolicy::Request::InstallBuild))
        return;
    const CustomBuild build = m_customBuilds.at(index);
    if (refused(BuildEdits::installRefusal(build)) || refused(unplayableGameDir()))
        return;
    const std::optional<ModLoader> loader = loaderFromKey(build.loader);
    if (loader) {
        startLoaderInstall(index, *loader);
        return;
    }
    // A build without a loader launches its game version, not a loader's version left
    // from before.
    if (!build.resolvedVersionId.isEmpty() && build.resolvedVersionId != build.minecraftVersion)
        updateCustomBuild(index, {{QStringLiteral("resolvedVersionId"), QString()}});
    maybeInstall(build.minecraftVersion);
}

void LauncherBackend::startLoaderInstall(int index, ModLoader loader, JobDone done)
{
    const CustomBuild build = m_customBuilds.at(index);
    const QString managedJava = LaunchAttempt::managedJavaPath(m_settings);
    m_loaderInstaller->install(
        gameDir(), loader, build.minecraftVersion, build.loaderVersion,
        managedJava.isEmpty() ? m_settings.value(QStringLiteral("javaPath")).toString()
                              : managedJava,
        [this, build, loader, done = std::move(done)](const JobOutcome& outcome) {
            if (outcome.kind == JobOutcome::Success)
                onLoaderInstallFinished(build, loader, outcome.result);
            answerCaller(done, outcome);
        });
}

QStringList LauncherBackend::checkInstallation(int buildIndex) const
{
    if (buildIndex < 0 || buildIndex >= m_customBuilds.size())
        return {Loc::text("common.status.noBuildSelected")};
    const CustomBuild& build = m_customBuilds.at(buildIndex);
    return LaunchAttempt::problems(gameDir(), launchVersionIdOf(build), build.name);
}

// ---- Seasonal builds ----

void LauncherBackend::createSeasonalInstall()
{
    SeasonalInstall::Host host =
        SeasonalInstall::serviceHost({m_buildSwitcher, m_javaRuntimes, m_javaInstaller,
                                      m_versionInstaller, m_loaderInstaller, m_packDownloader});
    host.gameDir = [this] { return gameDir(); };
    host.holdsBuild = [this](int index) { return holdsBuild(index); };
    host.switchTo = [this](int index, JobDone done) { switchToBuild(index, std::move(done)); };
    host.missingFiles = [this](int index) { return checkInstallation(index); };
    host.installLoader = [this](int index, ModLoader loader, JobDone done) {
        startLoaderInstall(index, loader, std::move(done));
    };
    m_seasonal = new SeasonalInstall(m_customBuilds, std::move(host), this);
    connect(m_seasonal, &SeasonalInstall::runningChanged, this, [this] {
        setBusy(Operation::SeasonalInstall, m_seasonal->isRunning());
        if (!m_seasonal->isRunning())
            invalidateSeasonalCatalog();
    });
    connect(m_seasonal, &SeasonalInstall::progress, this, &LauncherBackend::launchProgress);
    connect(m_seasonal, &SeasonalInstall::error, this, &LauncherBackend::launchError);
    connect(m_seasonal, &SeasonalInstall::finished, this,
            &LauncherBackend::seasonalInstallFinished);
}

void LauncherBackend::installSeasonalBuild(const QString& seasonalId)
{
    if (refuses(StartPolicy::Request::InstallSeasonal) || refused(unplayableGameDir()))
        return;
    const std::optional<SeasonalBuildEntry> entry = m_seasonalBuilds->find(seasonalId);
    if (!entry) {
        emit launchError(Loc::text("seasonal.error.notInCatalog").arg(seasonalId));
        return;
    }
    const int buildId = carrySeasonalEntry(*entry);
    m_seasonal->start(*entry, buildId);
}

void LauncherBackend::cancelSeasonalInstall()
{
    m_seasonal->cancel();
}

int LauncherBackend::carrySeasonalEntry(const SeasonalBuildEntry& entry)
{
    const int index = BuildEdits::indexOfSeasonalBuild(m_customBuilds, entry.id);
    if (index < 0) {
        const CustomBuild carrier = BuildEdits::newCarrier(m_nextBuildId++, entry);
        appendBuild(carrier);
        return carrier.id;
    }
    const int buildId = m_customBuilds.at(index).id;
    updateCustomBuild(index, BuildEdits::carrierFields(m_customBuilds.at(index), entry));
    return buildId;
}

void LauncherBackend::recordSeasonalPack(int buildId, const QJsonObject& note,
                                         const QStringList& entries)
{
    std::optional<SeasonalInstall::PackRecord> record = SeasonalInstall::packRecordOf(note);
    if (!record)
        return;
    record->gameDir = m_buildSwitcher->gameDir();
    m_seasonal->recordPack(buildId, *record, entries, [this, buildId, record = *record] {
        const int index = indexOfBuildId(buildId);
        if (index >= 0)
            updateCustomBuild(index, {{QStringLiteral("seasonalId"), record.seasonalId},
                                      {QStringLiteral("seasonalRevision"), record.revision}});
    });
}
