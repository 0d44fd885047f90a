#include "downloadstatus.h"

DownloadStatus::DownloadStatus(const InstallerStatus& version, const InstallerStatus& loader,
                               const InstallerStatus& java, const InstallerStatus& pack)
    : m_sources{version, loader, java, pack}
{
}

DownloadStatus::Source DownloadStatus::shownSource(bool versionBusy, bool loaderBusy, bool javaBusy,
                                                   bool packBusy)
{
    if (versionBusy)
        return Source::Version;
    if (loaderBusy)
        return Source::Loader;
    if (javaBusy)
        return Source::Java;
    if (packBusy)
        return Source::Pack;
    return Source::Version;
}

DownloadStatus::Source DownloadStatus::cancelTarget(bool versionBusy, bool loaderBusy,
                                                    bool javaBusy)
{
    if (loaderBusy)
        return Source::Loader;
    if (versionBusy)
        return Source::Version;
    if (javaBusy)
        return Source::Java;
    return Source::Pack;
}

QString DownloadStatus::text(const QString& stage, const QString& detail)
{
    if (!stage.isEmpty() && !detail.isEmpty())
        return QStringLiteral("%1 — %2").arg(stage, detail);
    return stage.isEmpty() ? detail : stage;
}

bool DownloadStatus::downloading() const
{
    for (const InstallerStatus& source : m_sources) {
        if (source.busy)
            return true;
    }
    return false;
}

DownloadStatus::Source DownloadStatus::shownSource() const
{
    return shownSource(of(Source::Version).busy, of(Source::Loader).busy, of(Source::Java).busy,
                       of(Source::Pack).busy);
}

const InstallerStatus& DownloadStatus::shown() const
{
    return of(shownSource());
}

QString DownloadStatus::text() const
{
    return text(shown().stage, shown().detail);
}

DownloadStatus::Source DownloadStatus::cancelTarget() const
{
    return cancelTarget(of(Source::Version).busy, of(Source::Loader).busy, of(Source::Java).busy);
}
