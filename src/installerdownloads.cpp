#include "installerdownloads.h"

#include "javainstaller.h"
#include "modloaderinstaller.h"
#include "seasonalpackdownloader.h"
#include "versioninstaller.h"

InstallerDownloads::InstallerDownloads(VersionInstaller* version, ModLoaderInstaller* loader,
                                       JavaInstaller* java, SeasonalPackDownloader* pack)
    : m_version(version), m_loader(loader), m_java(java), m_pack(pack)
{
}

DownloadStatus InstallerDownloads::status() const
{
    return DownloadStatus(m_version->status(), m_loader->status(), m_java->status(),
                          m_pack->status());
}

void InstallerDownloads::cancel() const
{
    switch (status().cancelTarget()) {
    case DownloadStatus::Source::Loader:
        m_loader->cancel();
        break;
    case DownloadStatus::Source::Version:
        m_version->cancel();
        break;
    case DownloadStatus::Source::Java:
        m_java->cancel();
        break;
    case DownloadStatus::Source::Pack:
        m_pack->cancel();
        break;
    }
}
