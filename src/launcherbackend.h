#pragma once

#include "backendrecords.h"
#include "joboutcome.h"
#include "rowcache.h"
#include "startpolicy.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <memory>
#include <utility>

class AuthService;
class BuildSwitcher;
class DownloadStatus;
class GameLauncher;
class InstallerDownloads;
class InstallerReports;
class JavaInstaller;
class ModLoaderInstaller;
class ModLoaderVersionService;
class VersionInstaller;
class VersionManifestService;
class JavaRuntimeService;
class LaunchAttempt;
class MicrosoftSignIn;
class MsaAuthService;
class SeasonalBuildService;
class SeasonalCatalogRows;
class SeasonalInstall;
class SeasonalPackDownloader;
struct AuthResult;
struct SeasonalBuildEntry;
enum class ModLoader : int;

// The one object the interface instantiates: it keeps the accounts, the custom
// builds and the settings in the data directory and runs every pipeline of the
// launcher over its services.
class LauncherBackend : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QStringList profileNames READ profileNames NOTIFY profilesChanged)
    Q_PROPERTY(QStringList customBuildNames READ customBuildNames NOTIFY customBuildsChanged)
    Q_PROPERTY(int activeBuildIndex READ activeBuildIndex WRITE setActiveBuildIndex NOTIFY
                   activeBuildChanged)
    Q_PROPERTY(QString activeBuildName READ activeBuildName NOTIFY activeBuildChanged)
    Q_PROPERTY(bool gameRunning READ gameRunning NOTIFY gameRunningChanged)
    Q_PROPERTY(bool switching READ switching NOTIFY switchChanged)
    Q_PROPERTY(double switchProgress READ switchProgress NOTIFY switchChanged)
    Q_PROPERTY(QString switchStage READ switchStage NOTIFY switchChanged)
    Q_PROPERTY(QString switchStatus READ switchStatus NOTIFY switchChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool microsoftAvailable READ microsoftAvailable CONSTANT)
    Q_PROPERTY(QStringList installedVersions READ installedVersions NOTIFY installedVersionsChanged)
    Q_PROPERTY(QVariantList versionCatalog READ versionCatalog NOTIFY versionCatalogChanged)
    Q_PROPERTY(bool catalogLoading READ catalogLoading NOTIFY catalogLoadingChanged)
    Q_PROPERTY(QVariantList javaCatalog READ javaCatalog NOTIFY javaCatalogChanged)
    Q_PROPERTY(bool javaCatalogLoading READ javaCatalogLoading NOTIFY javaCatalogLoadingChanged)
    Q_PROPERTY(bool seasonalInstalling READ seasonalInstalling NOTIFY seasonalInstallingChanged)
    Q_PROPERTY(bool downloading READ downloading NOTIFY downloadChanged)
    Q_PROPERTY(double downloadProgress READ downloadProgress NOTIFY downloadChanged)
    Q_PROPERTY(QString downloadVersion READ downloadVersion NOTIFY downloadChanged)
    Q_PROPERTY(QString downloadStatus READ downloadStatus NOTIFY downloadChanged)
    Q_PROPERTY(qlonglong downloadBytesDone READ downloadBytesDone NOTIFY downloadChanged)
    Q_PROPERTY(qlonglong downloadBytesTotal READ downloadBytesTotal NOTIFY downloadChanged)
    Q_PROPERTY(QVariantList seasonalCatalog READ seasonalCatalog NOTIFY seasonalCatalogChanged)
    Q_PROPERTY(bool seasonalCatalogLoading READ seasonalCatalogLoading NOTIFY
                   seasonalCatalogLoadingChanged)
    Q_PROPERTY(QString seasonalCatalogError READ seasonalCatalogError NOTIFY seasonalCatalogChanged)

public:
    // The stored records, under the names the rest of the launcher knows them by.
    using Profile = ::Profile;
    using CustomBuild = ::CustomBuild;

    explicit LauncherBackend(QObject* parent = nullptr);
    ~LauncherBackend() override;

    // The stored settings and "resolvedGameDir", the game directory in effect.
    Q_INVOKABLE QVariantMap settings() const;
    Q_INVOKABLE void updateSettings(const QVariantMap& values);

    // Profiles and builds, addressed by their position in the lists.
    QStringList profileNames() const;
    Q_INVOKABLE QVariantMap profileAt(int index) const;
    Q_INVOKABLE void addProfile(const QString& name, const QString& login, const QString& password,
                                const QString& authType = QStringLiteral("offline"));
    Q_INVOKABLE void updateProfile(int index, const QString& name, const QString& login,
                                   const QString& password,
                                   const QString& authType = QStringLiteral("offline"));
    Q_INVOKABLE void removeProfile(int index);

    QStringList customBuildNames() const;
    Q_INVOKABLE QVariantMap customBuildAt(int index) const;
    Q_INVOKABLE void addCustomBuild(const QString& name, const QString& serverUrl,
                                    const QString& minecraftVersion = QString());
    // Adds a build with nothing chosen yet under the first free numbered name; its index.
    Q_INVOKABLE int addNumberedBuild();
    Q_INVOKABLE void updateCustomBuild(int index, const QVariantMap& fields);
    Q_INVOKABLE void removeCustomBuild(int index);
    Q_INVOKABLE QVariantMap customBuildRemovalInfo(int index) const;

    int activeBuildIndex() const;
    void setActiveBuildIndex(int index);
    QString activeBuildName() const;

    // The build switch in progress.
    bool switching() const;
    double switchProgress() const;
    QString switchStage() const;
    QString switchStatus() const;

    // The road from the play action to a running game; every outcome is a signal.
    Q_INVOKABLE void launchGame(int profileIndex, int buildIndex);
    Q_INVOKABLE void submitTwoFactorCode(const QString& code);
    Q_INVOKABLE void cancelPendingLaunch();
    Q_INVOKABLE void stopGame();
    bool gameRunning() const;
    bool busy() const;

    // Linking a profile to a Microsoft account through the interface's browser
    // window: a negative index signs in a new profile.
    Q_INVOKABLE void startMicrosoftLogin(int profileIndex);
    // {"matched": the address is the sign-in redirect, "code", "error"}.
    Q_INVOKABLE QVariantMap inspectMicrosoftRedirect(const QString& url) const;
    Q_INVOKABLE void finishMicrosoftLogin(const QString& code);
    Q_INVOKABLE void cancelMicrosoftLogin();
    bool microsoftAvailable() const { return true; }

    // Game versions: the manifest's and the installed ones, as rows for the interface.
    QStringList installedVersions() const;
    QVariantList versionCatalog() const;
    bool catalogLoading() const;
    Q_INVOKABLE void refreshVersionCatalog(bool force = false);
    Q_INVOKABLE bool isVersionInstalled(const QString& versionId) const;
    // {"id", "installed", "sizeMb", "dependents", "builds"}; empty for a blank id.
    Q_INVOKABLE QVariantMap versionRemovalInfo(const QString& versionId) const;
    Q_INVOKABLE void installVersion(const QString& versionId);
    Q_INVOKABLE void removeVersion(const QString& versionId);

    // Mod loader versions per game version, as the loader version service holds them.
    Q_INVOKABLE QVariantList loaderVersions(const QString& loaderKey,
                                            const QString& gameVersion) const;
    Q_INVOKABLE void refreshLoaderVersions(const QString& loaderKey, const QString& gameVersion,
                                           bool force = false);
    Q_INVOKABLE bool loaderVersionsLoading(const QString& loaderKey,
                                           const QString& gameVersion) const;
    // Whether a list arrived for the game version, so that an empty one means the loader
    // has no version for it; false while none could be fetched.
    Q_INVOKABLE bool loaderVersionsKnown(const QString& loaderKey,
                                         const QString& gameVersion) const;
    // Installs what the build needs to launch: its loader onto its game version, or the
    // game version alone.
    Q_INVOKABLE void installLoaderForBuild(int index);
    Q_INVOKABLE void installCustomBuild(int index) { installLoaderForBuild(index); }
    // What keeps the build from launching; empty when it can launch.
    Q_INVOKABLE QStringList checkInstallation(int buildIndex) const;

    // Java runtimes: the managed ones and the downloadable ones, as rows.
    QVariantList javaCatalog() const;
    bool javaCatalogLoading() const;
    Q_INVOKABLE void refreshJavaCatalog(bool force = false);
    Q_INVOKABLE void installJavaRuntime(const QString& runtimeId);
    Q_INVOKABLE void removeJavaRuntime(const QString& runtimeId);
    Q_INVOKABLE QVariantMap javaRuntimeInfo(const QString& runtimeId) const;
    Q_INVOKABLE int requiredJavaMajor(int buildIndex) const;
    // Runs every Java executable not probed before in this process: for the dialogs
    // that show them, never at start.
    Q_INVOKABLE QStringList detectedJava() const;

    // Installs a seasonal catalog entry as a build of its own, or updates the build that
    // carries it, and makes it the active build; every outcome is a signal.
    Q_INVOKABLE void installSeasonalBuild(const QString& seasonalId);
    Q_INVOKABLE void cancelSeasonalInstall();
    bool seasonalInstalling() const
    {
        return (m_busyOperations & static_cast<unsigned>(Operation::SeasonalInstall)) != 0;
    }

    // The one download the progress panel shows of those running.
    bool downloading() const;
    double downloadProgress() const;
    QString downloadVersion() const;
    QString downloadStatus() const;
    qlonglong downloadBytesDone() const;
    qlonglong downloadBytesTotal() const;
    Q_INVOKABLE void cancelDownload();

    // The game directory and its mods folder in the desktop's file manager.
    Q_INVOKABLE void openMinecraftFolder()
    {
        openFolder(gameDir() + QStringLiteral("/mods"), "launch.error.openModsFailed");
    }
    Q_INVOKABLE void openGameFolder() { openFolder(gameDir(), "launch.error.openGameDirFailed"); }
    // The seasonal catalog as the interface lists it. Its failures show only as the
    // error text, never as launchError.
    QVariantList seasonalCatalog() const;
    bool seasonalCatalogLoading() const;
    QString seasonalCatalogError() const;
    Q_INVOKABLE void refreshSeasonalCatalog(bool force = false);

signals:
    void settingsChanged();
    // A first start adopted the game directory it found as this build.
    void gameDirImported(const QString& buildName);
    void versionCatalogChanged();
    void launchError(const QString& message);
    void loaderVersionsChanged(const QString& loaderKey, const QString& gameVersion);
    void launchProgress(const QString& message);
    void launched(const QString& profileName, const QString& buildName, const QString& serverUrl);
    void twoFactorRequired(const QString& profileName);
    void gameOutput(const QString& line);
    void gameFinished(int exitCode, bool crashed);
    void gameRunningChanged();
    void busyChanged();
    void profilesChanged();
    void customBuildsChanged();
    void activeBuildChanged();
    void installedVersionsChanged();
    void switchChanged();
    void microsoftLoginUrlReady(const QString& url);
    void microsoftLoginSucceeded(const QString& playerName);
    void microsoftLoginFailed(const QString& message);
    void microsoftReloginRequired(int profileIndex);
    void catalogLoadingChanged();
    void javaCatalogChanged();
    void javaCatalogLoadingChanged();
    void javaRuntimeInstalled(const QString& runtimeId);
    void downloadChanged();
    void seasonalInstallingChanged();
    void seasonalInstallFinished(const QString& seasonalId, const QString& buildName);
    void seasonalCatalogChanged();
    void seasonalCatalogLoadingChanged();

private:
    friend class TestLauncherBackend;
    friend class TestLaunchAttempt;
    friend class TestSeasonalInstall;

    void saveProfiles();
    void saveCustomBuilds();
    void saveSettings();
    QUrl seasonalBaseUrl() const;
    void invalidateCatalog();
    void invalidateJavaCatalog();
    void invalidateSeasonalCatalog();

    // Appends the build, saves and tells the interface.
    void appendBuild(const CustomBuild& build);
    QString gameDir() const;
    // Why the game cannot run from the game directory, whatever it holds: every install
    // into it and every check of a build names this as Play does; empty when it can.
    QString unplayableGameDir() const;
    int indexOfBuildId(int id) const;
    // The version the build launches; empty (or blank) when it names none.
    QString launchVersionIdOf(const CustomBuild& build) const;

    // The backend's own long operations. Each holds its own flag, so one ending
    // never clears the busy state of another still running.
    enum class Operation : unsigned {
        Launch = StartPolicy::Launch,                 // preparing a launch or signing in for it
        MicrosoftLogin = StartPolicy::MicrosoftLogin, // the sign-in window's code exchange
        SeasonalInstall = StartPolicy::SeasonalInstall,
    };
    void setBusy(Operation operation, bool running);
    bool operationRunning() const { return m_busyOperations != 0; }
    // Why the request must wait for the work running now; empty when it may start.
    // targetInstalling: the version or runtime it would remove is being installed.
    QString refusalOf(StartPolicy::Request request, bool targetInstalling = false) const;
    // Reports the refusal, if any: true when the request must not start.
    bool refuses(StartPolicy::Request request, bool targetInstalling = false);
    bool refused(const QString& refusal);
    // The game directory holds the build at index, whole.
    bool holdsBuild(int index) const;
    void switchToBuild(int index, JobDone done = {},
                       const char* progressKey = "build.progress.switchingTo");
    void onSwitchFinished(int toBuildId);
    void onSwitchFailed(int toBuildId, const QString& message, bool gameDirIntact);
    // After the active build was removed, the game directory holds no stored build's
    // files until a switch restores one.
    bool activationPending() const;

    // Installations and the download shown.
    void connectInstallerReports();
    void maybeInstall(const QString& versionId);
    DownloadStatus currentDownload() const;
    // Installs the loader onto the build's game version for the build, and then tells done.
    void startLoaderInstall(int index, ModLoader loader, JobDone done = {});
    void onLoaderInstallFinished(const CustomBuild& build, ModLoader loader,
                                 const QString& producedVersionId);
    // Reports a catalog refresh answered as failed, with the service's message.
    std::function<void(bool, const QString&)> failureReporter();
    void openFolder(const QString& path, const char* failureKey);

    // Seasonal builds.
    void createSeasonalInstall();
    // Creates the build that carries the entry, or brings the one that does up to it;
    // returns its id.
    int carrySeasonalEntry(const SeasonalBuildEntry& entry);
    void recordSeasonalPack(int buildId, const QJsonObject& note, const QStringList& entries);

    QString launchRefusal(int profileIndex, int buildIndex) const;
    void failLaunch(const QString& message);
    void onLaunchFailed(const QString& message, bool needsNewSignIn);
    void onCodeRequired(const QString& profileName);
    int pendingProfilePosition() const;
    void continueLaunch(const AuthResult& result);
    void onMicrosoftAnswered(const AuthResult& result);

    QList<Profile> m_profiles;
    QList<CustomBuild> m_customBuilds;
    QVariantMap m_settings;
    QStringList m_startupWarnings;
    int m_nextProfileId = 1;
    int m_nextBuildId = 1;
    AuthService* m_auth = nullptr;
    MsaAuthService* m_msa = nullptr;
    GameLauncher* m_gameLauncher = nullptr;
    BuildSwitcher* m_buildSwitcher = nullptr;
    VersionManifestService* m_manifest = nullptr;
    VersionInstaller* m_versionInstaller = nullptr;
    ModLoaderVersionService* m_loaderVersions = nullptr;
    ModLoaderInstaller* m_loaderInstaller = nullptr;
    JavaRuntimeService* m_javaRuntimes = nullptr;
    JavaInstaller* m_javaInstaller = nullptr;
    SeasonalBuildService* m_seasonalBuilds = nullptr;
    SeasonalPackDownloader* m_packDownloader = nullptr;
    SeasonalInstall* m_seasonal = nullptr;
    InstallerReports* m_installerReports = nullptr;
    std::unique_ptr<InstallerDownloads> m_downloads;
    std::unique_ptr<SeasonalCatalogRows> m_seasonalCatalog;
    // The catalogs' rows, rebuilt at the next read once marked dirty.
    mutable RowCache m_versionCatalog;
    mutable RowCache m_javaCatalog;

    unsigned m_busyOperations = 0;
    // The launch under way, if any: a cancelled or replaced one is deleted at once.
    std::unique_ptr<LaunchAttempt> m_launch;

    // The open Microsoft sign-in window, if any: a cancelled or replaced one is deleted
    // at once.
    std::unique_ptr<MicrosoftSignIn> m_msaWindow;
    // Code exchanges not yet answered, of any window: each holds the busy state.
    int m_msaExchangesRunning = 0;
};
