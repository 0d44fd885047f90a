#pragma once

#include "downloadstatus.h"
#include "installjob.h"
#include "joboutcome.h"
#include "modloaderversionservice.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class Download;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QProcess;
class VersionInstaller;

// Installs one version of one mod loader onto a game version, one run at a time.
// The base game version is installed first when it is missing or incomplete; Fabric
// and Quilt then take the loader's version description from their metadata service,
// Forge and NeoForge run the loader's own installer program with a suitable Java.
// Either way the loader's version is finally handed to the version installer, and
// its outcome ends the run with exactly one of finished, failed or canceled, after which
// the run's own caller hears the same end through its completion.
class ModLoaderInstaller : public QObject {
    Q_OBJECT

public:
    ModLoaderInstaller(ModLoaderVersionService* loaderVersions, VersionInstaller* versionInstaller,
                       QObject* parent = nullptr);
    // Kills a running installer program.
    ~ModLoaderInstaller() override;

    // Starts a run; a run already going, or a blank version, is refused through
    // failed() without started(). Versions are trimmed; the game directory and the
    // Java path are used as given. done hears of this run's end, the loader's version id as
    // its result.
    void install(const QString& gameDir, ModLoader loader, const QString& gameVersion,
                 const QString& loaderVersion, const QString& preferredJavaPath, JobDone done = {});
    // Ends the active run as canceled and removes what an installer program added.
    // After the hand-off the run ends when the version installer reports.
    void cancel();

    bool busy() const { return m_job.isBusy(); }
    QString label() const { return m_label; }
    // The run as the progress panel shows it; the bytes are those of the run's own
    // downloads, not of the versions it hands to the version installer.
    InstallerStatus status() const
    {
        return {busy(), m_label, m_stageText, m_detail, m_bytesReceived, m_bytesTotal, fraction()};
    }

    // Tests only: how long an installer program may run (15 minutes by default; a
    // non-positive value restores it).
    void setInstallerTimeLimitForTesting(int milliseconds);

signals:
    void started(const QString& label);
    void progressChanged();
    void finished(const QString& loaderKey, const QString& gameVersion,
                  const QString& loaderVersion, const QString& producedVersionId);
    void failed(const QString& label, const QString& message);
    void canceled(const QString& label);
    // A line for the game output view: installer output, zlib status, notes.
    void log(const QString& line);

private:
    // 0..1, or -1 while the size is unknown.
    double fraction() const;
    void reset();
    void fail(const QString& message);
    void endCanceled();
    // Listeners hear of the stage at once and may end the run from there: the
    // answer says whether the run still goes.
    bool setStage(const QString& text);

    // Base version and hand-off.
    void continueWithList(bool ok, const QString& message);
    void ensureBaseVersion(std::function<void()> continuation);
    void handOffToVersionInstaller(const QString& versionId);
    bool versionInstallerHolds(const QString& versionId) const;
    void onVersionFinished(const QString& versionId);
    void onVersionFailed(const QString& versionId, const QString& message);
    void onVersionCanceled(const QString& versionId);

    // Fabric and Quilt.
    void beginFabricLike();
    void handleDescriptionReply(QNetworkReply* reply, const QString& expectedId);

    // Forge and NeoForge.
    void beginInstallerJar();
    void downloadInstaller(const QUrl& url, const std::function<void(const QString&)>& completion);
    void handleInstallerDownloaded(Download* download,
                                   const std::function<void(const QString&)>& completion);
    void runInstaller(const QString& archivePath);
    void readInstallerOutput(QProcess* process);
    void handleInstallerError(QProcess* process, int error);
    void handleInstallerFinished(QProcess* process, int exitCode, bool crashed);
    void handleInstallerTimeout(QProcess* process);
    bool writeLauncherProfilesStub() const;
    QString installerFailureHint() const;
    QStringList versionsAddedByInstaller() const;
    void removeVersionsAddedByInstaller();
    void appendInstallerLog(const QString& line);
    void closeInstallerLog();
    void killProcess(QProcess* process);
    QString fileStem() const;

    ModLoaderVersionService* m_loaderVersions = nullptr;
    VersionInstaller* m_versionInstaller = nullptr;
    QNetworkAccessManager* m_network = nullptr;
    QNetworkReply* m_reply = nullptr; // the profile description
    Download* m_download = nullptr;   // the installer program
    QProcess* m_process = nullptr;
    QString m_gameDir;
    ModLoader m_loader = ModLoader::Fabric;
    QString m_gameVersion;
    QString m_loaderVersion;
    QString m_preferredJavaPath;
    QString m_label;
    QString m_stageText;
    QString m_detail;
    qint64 m_bytesReceived = 0;
    qint64 m_bytesTotal = 0;
    QStringList m_versionsBefore;
    QStringList m_recentOutput;
    bool m_snapshotTaken = false;
    bool m_zlibUnresolved = false;
    QFile* m_installerLog = nullptr;
    QString m_installerLogPath;
    QString m_handedOffId;
    InstallJob m_job;
    JobCallers m_callers;
    // Set while the run waits for the version installer to finish the base version;
    // the continuation is the loader's route.
    bool m_waitingForBase = false;
    std::function<void()> m_afterBase;
    int m_installerTimeLimitMs;
};
