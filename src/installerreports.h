#pragma once

#include <QObject>
#include <QString>

class JavaInstaller;
class ModLoaderInstaller;
class SeasonalPackDownloader;
class VersionInstaller;

// What the player hears of the four installers' runs: the progress line of each start,
// the lines of its failure, cancel and success, and, at each end whatever its outcome,
// which of the lists shown may have changed. A loader run that succeeds is reported by
// whoever started it, which brings its build up to it first.
class InstallerReports : public QObject {
    Q_OBJECT

public:
    InstallerReports(VersionInstaller* version, ModLoaderInstaller* loader, JavaInstaller* java,
                     SeasonalPackDownloader* pack, QObject* parent = nullptr);

    // A game version or loader run ended: the installed versions may differ.
    void versionsInstallEnded();

signals:
    void progress(const QString& message);
    void error(const QString& message);
    // An installer started, moved on or ended: the download shown and the busy state.
    void downloadChanged();
    void busyChanged();
    // Sent first at an end, before the download and busy state change.
    void installedVersionsChanged();
    void javaRuntimesChanged();
    void javaRuntimeInstalled(const QString& runtimeId);
    // The loader installer's own output.
    void log(const QString& line);

private:
    struct Lines;
    template <typename Installer> void report(Installer* installer, const Lines& lines);
    void javaInstallEnded();
    void packDownloadEnded();
};
