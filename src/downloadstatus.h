#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// What one installer shows of its run in the progress panel; an idle installer has
// empty texts, no bytes and an unknown fraction.
struct InstallerStatus {
    bool busy = false;
    QString label;  // the name the run was announced under
    QString stage;  // what the run does now
    QString detail; // the file or step it works on
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    double fraction = -1; // 0..1, or -1 while the total is unknown
};

// The one download the progress panel shows while the version, loader, Java and pack
// installers run side by side. A loader run hands its game versions to the version
// installer, so the version installer goes first; a download that runs beside the game
// files' installers waits to be shown until they end.
class DownloadStatus {
public:
    enum class Source { Version = 0, Loader = 1, Java = 2, Pack = 3 };

    DownloadStatus(const InstallerStatus& version, const InstallerStatus& loader,
                   const InstallerStatus& java, const InstallerStatus& pack);

    // The first busy one of version, loader, Java and pack; the version installer when
    // none is busy.
    static Source shownSource(bool versionBusy, bool loaderBusy, bool javaBusy, bool packBusy);
    // Where a cancel goes: the loader run (which ends its base version's install too),
    // else the version installer, else Java, else the pack download.
    static Source cancelTarget(bool versionBusy, bool loaderBusy, bool javaBusy);
    // "stage — detail", or whichever of the two is not empty.
    static QString text(const QString& stage, const QString& detail);

    bool downloading() const;
    Source shownSource() const;
    const InstallerStatus& shown() const;
    QString text() const;
    Source cancelTarget() const;

private:
    const InstallerStatus& of(Source source) const { return m_sources[std::size_t(source)]; }

    std::array<InstallerStatus, 4> m_sources;
};
