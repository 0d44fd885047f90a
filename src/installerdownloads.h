#pragma once

#include "downloadstatus.h"

class JavaInstaller;
class ModLoaderInstaller;
class SeasonalPackDownloader;
class VersionInstaller;

// The four installers that may run side by side, seen as the one download the progress
// panel shows: its status, and the installer its cancel stops.
class InstallerDownloads {
public:
    InstallerDownloads(VersionInstaller* version, ModLoaderInstaller* loader, JavaInstaller* java,
                       SeasonalPackDownloader* pack);

    DownloadStatus status() const;
    // Cancels the one installer DownloadStatus names; the others go on.
    void cancel() const;

private:
    VersionInstaller* m_version;
    ModLoaderInstaller* m_loader;
    JavaInstaller* m_java;
    SeasonalPackDownloader* m_pack;
};
