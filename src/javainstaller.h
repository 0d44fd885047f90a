#pragma once

#include "bytecount.h"
#include "downloadstatus.h"
#include "installjob.h"
#include "javaruntimeservice.h"
#include "joboutcome.h"
#include "runningdownloads.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;
class QProcess;

// One file of a vendor runtime's file manifest, waiting to be downloaded.
struct JavaFileTask {
    QUrl url;
    QString path; // absolute target path inside the runtime directory
    QString sha1; // expected SHA-1, hex; empty means no test
    qint64 size = 0;
    bool executable = false;
};

struct JavaZipExtraction;

// Installs one managed Java runtime at a time from a catalog entry: an archive
// (tar.gz or zip) checked by SHA-256, or a vendor file manifest whose files are
// fetched four at a time and checked by SHA-1. The runtime lands in the managed store
// with its runtime.json. Each job ends in exactly one of finished, failed or canceled, after
// which its own caller hears the same end through its completion.
class JavaInstaller : public QObject {
    Q_OBJECT

public:
    explicit JavaInstaller(QObject* parent = nullptr);
    ~JavaInstaller() override;

    // Ignored while a job runs, but for done, which is answered at once as failed. done
    // hears of this job's end, the Java executable's path as its result.
    void install(const JavaRuntimeEntry& entry, JobDone done = {});
    void cancel();

    bool isBusy() const { return m_job.isBusy(); }
    // The id of the runtime being installed; empty when idle.
    QString runtimeId() const { return m_entry.id; }
    // The job in progress as the progress panel shows it, labelled with the runtime's
    // name and version.
    InstallerStatus status() const
    {
        return {isBusy(),      m_label,     m_stage,
                m_currentItem, bytesDone(), ByteCount::shownTotal(m_totalBytes),
                fraction()};
    }

signals:
    void started(const QString& label);
    void progressChanged();
    void finished(const QString& runtimeId, const QString& javaPath);
    void failed(const QString& label, const QString& message);
    void canceled(const QString& label);

private:
    qint64 bytesDone() const;
    // 0 to 1, or -1 while the amount of work is unknown.
    double fraction() const;
    bool setStage(const QString& text);
    bool claimFinishedReply(QNetworkReply* reply);
    void scheduleProgress();
    void flushProgress();

    void beginArchive();
    void downloadArchive();
    void handleArchiveEnded(Download* download);
    void startExtraction();
    void startTarExtraction();
    void runTar(const QStringList& arguments, std::function<void(const QByteArray&)> onSuccess);
    void checkTarListing(const QByteArray& listing);
    void extractZipChunk();
    bool extractZipEntry(qint64 position);

    void beginMojang();
    void handleManifestFinished(QNetworkReply* reply);
    void handleManifest(const QByteArray& bytes);
    bool prepareTree(const QJsonObject& files);
    static bool isExecutable(const JavaFileTask& task);
    void pump();
    void handleFileFailed(const JavaFileTask& task, const Download::Summary& transfer);
    bool applyLinks();
    bool applyLink(const QString& linkPath, const QString& target);

    void complete();
    void fail(const QString& message);
    void endCanceled();
    void stopTransfers();
    void reset();
    QString relativeToRuntime(const QString& path) const;

    QNetworkAccessManager* m_network = nullptr;
    JavaRuntimeEntry m_entry;
    QString m_label;
    QString m_runtimeDir;
    QString m_archivePath;
    QString m_stage;
    QString m_currentItem;
    qint64 m_doneBytes = 0;
    qint64 m_totalBytes = 0;
    int m_doneFiles = 0;
    int m_totalFiles = 0;
    QNetworkReply* m_reply = nullptr;
    Download* m_archive = nullptr;
    QProcess* m_tarProcess = nullptr;
    QTimer m_zipTimer;
    QTimer m_progressTimer;
    bool m_progressPending = false;
    std::unique_ptr<JavaZipExtraction> m_zip;
    QList<JavaFileTask> m_queue;
    RunningDownloads<JavaFileTask> m_active;
    QList<QPair<QString, QString>> m_links; // absolute link path, target text
    InstallJob m_job;
    JobCallers m_callers;
};
