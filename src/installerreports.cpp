#include "installerreports.h"

#include "javainstaller.h"
#include "localization.h"
#include "modloaderinstaller.h"
#include "pathrules.h"
#include "seasonalpackdownloader.h"
#include "versioninstaller.h"

// The lines of an installer's start, failure and cancel, each given the label its signal
// carries.
struct InstallerReports::Lines {
    const char* started;
    const char* failed; // %2: the installer's message
    const char* canceled;
    // Tells what the installer's end changes, whatever its outcome.
    void (InstallerReports::*ended)();
};

InstallerReports::InstallerReports(VersionInstaller* version, ModLoaderInstaller* loader,
                                   JavaInstaller* java, SeasonalPackDownloader* pack,
                                   QObject* parent)
    : QObject(parent)
{
    report(java, {"java.progress.downloading", "java.error.installFailed",
                  "java.status.downloadCancelled", &InstallerReports::javaInstallEnded});
    report(version, {"version.progress.downloading", "version.error.downloadFailed",
                     "version.status.downloadCancelled", &InstallerReports::versionsInstallEnded});
    report(loader, {"loader.progress.installingShort", "common.status.pair",
                    "loader.status.installCancelled", &InstallerReports::versionsInstallEnded});
    report(pack, {"seasonal.progress.downloadingBuild", "build.status.named",
                  "seasonal.status.downloadCancelled", &InstallerReports::packDownloadEnded});

    connect(java, &JavaInstaller::finished, this,
            [this](const QString& runtimeId, const QString& javaPath) {
                javaInstallEnded();
                emit javaRuntimeInstalled(runtimeId);
                emit progress(Loc::text("java.status.installed").arg(PathRules::native(javaPath)));
            });
    connect(version, &VersionInstaller::finished, this, [this](const QString& id) {
        versionsInstallEnded();
        emit progress(Loc::text("version.status.downloaded").arg(id));
    });
    connect(loader, &ModLoaderInstaller::log, this, &InstallerReports::log);
    connect(pack, &SeasonalPackDownloader::finished, this, &InstallerReports::packDownloadEnded);
}

template <typename Installer>
void InstallerReports::report(Installer* installer, const Lines& lines)
{
    connect(installer, &Installer::started, this, [this, lines](const QString& label) {
        emit downloadChanged();
        emit busyChanged();
        emit progress(Loc::text(lines.started).arg(label));
    });
    connect(installer, &Installer::progressChanged, this, &InstallerReports::downloadChanged);
    connect(installer, &Installer::failed, this,
            [this, lines](const QString& label, const QString& message) {
                (this->*lines.ended)();
                emit error(Loc::text(lines.failed).arg(label, message));
            });
    connect(installer, &Installer::canceled, this, [this, lines](const QString& label) {
        (this->*lines.ended)();
        emit progress(Loc::text(lines.canceled).arg(label));
    });
}

void InstallerReports::versionsInstallEnded()
{
    emit installedVersionsChanged();
    emit downloadChanged();
    emit busyChanged();
}

void InstallerReports::javaInstallEnded()
{
    emit javaRuntimesChanged();
    emit downloadChanged();
    emit busyChanged();
}

void InstallerReports::packDownloadEnded()
{
    emit downloadChanged();
    emit busyChanged();
}
