#pragma once

#include "downloadstatus.h"
#include "installjob.h"
#include "joboutcome.h"

#include <QObject>
#include <QString>
#include <QUrl>

class Download;
class QNetworkAccessManager;
class QTimer;

// Downloads one seasonal pack archive at a time into its build's folder: the bytes
// go straight to a save-file while their SHA-256 is taken, and the file takes its
// name only when that digest is the catalog's. Every failure leaves no file at the
// destination. Reports like the other installers: started, progress coalesced to one
// notice per 100 ms, then exactly one of finished, failed or canceled, after which the
// download's own caller hears the same end through its completion.
class SeasonalPackDownloader : public QObject {
    Q_OBJECT

public:
    explicit SeasonalPackDownloader(QObject* parent = nullptr);
    // Stops a running transfer and removes its file without reporting anything: the
    // listeners are going away with this object.
    ~SeasonalPackDownloader() override;

    // size is the expected length, shown as the total until the server names one
    // (0 or less: unknown); sha256 is compared ignoring letter case, and an empty one
    // never matches. done hears of this download's end, the path as its result; a download
    // refused while another runs ends at once.
    void download(const QUrl& url, const QString& destPath, const QString& sha256, qint64 size,
                  const QString& label, JobDone done = {});
    void cancel();

    // Progress in [0, 1], or -1 while the total is unknown.
    double fraction() const;
    bool isBusy() const { return m_job.isBusy(); }
    QString label() const { return m_label; }
    QString stageText() const { return m_stageText; }
    QString currentFile() const { return m_currentFile; }
    qint64 bytesReceived() const { return m_bytesReceived; }
    qint64 bytesTotal() const { return m_bytesTotal; }
    // The download as the progress panel shows it, labelled with the build's name.
    InstallerStatus status() const
    {
        return {isBusy(),        m_label,      m_stageText, m_currentFile,
                m_bytesReceived, m_bytesTotal, fraction()};
    }

signals:
    void started(const QString& label);
    void progressChanged();
    void finished(const QString& path);
    void failed(const QString& label, const QString& message);
    void canceled(const QString& label);

private:
    void handleProgress(qint64 received, qint64 total);
    void handleEnded();
    void reset();
    void fail(const QString& message);
    void removeDestination() const;
    void scheduleProgress();
    void flushProgress();

    QNetworkAccessManager* m_network = nullptr;
    Download* m_download = nullptr;
    QString m_destPath;
    QString m_label;
    QString m_stageText;
    QString m_currentFile;
    qint64 m_bytesReceived = 0;
    qint64 m_bytesTotal = 0;
    QTimer* m_progressTimer = nullptr;
    bool m_progressPending = false;
    InstallJob m_job;
    JobCallers m_callers;
};
