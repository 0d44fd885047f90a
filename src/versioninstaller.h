#pragma once

#include "bytecount.h"
#include "connectionsahead.h"
#include "downloadstatus.h"
#include "installjob.h"
#include "joboutcome.h"
#include "minecraftversion.h"
#include "runningdownloads.h"

#include <QFuture>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class VersionManifestService;

// One file of a game version to fetch.
struct DownloadTask {
    enum Kind : qint32 {
        Client = 0,
        Library = 1, // native-library jars included
        AssetIndex = 2,
        AssetObject = 3,
        LogConfig = 4,
    };

    Kind kind = Client;
    QUrl url;        // always https once queued
    QString path;    // absolute target path
    QString sha1;    // hex; empty means no check
    qint64 size = 0; // 0 when unknown
    QString label;   // shown as the current item and in messages
};

// Installs game versions into a game directory: the version description (and any
// missing parent first), the client, libraries, asset index and objects, logging
// configuration, and the plain-named asset copy of old layouts. Jobs run one at a
// time in arrival order; each ends in exactly one of finished, failed or canceled
// (a job that waits behind its missing parent ends silently and runs again after it),
// after which the job's own callers hear the same end through their completions. A job
// that fails or is cancelled drops every job waiting behind it: their callers hear that
// they were dropped.
class VersionInstaller : public QObject {
    Q_OBJECT

public:
    explicit VersionInstaller(VersionManifestService* manifest, QObject* parent = nullptr);
    // Aborts running downloads and discards their partial files without signals.
    ~VersionInstaller() override;

    // Queues a job; refusals are reported through failed(). A version already running or
    // waiting is not queued twice: done joins that job. done hears of the job's end, the
    // version id as its result; a blank id is refused to done alone.
    void install(const QString& gameDir, const QString& versionId, JobDone done = {});
    // Cancels the job in progress and drops every waiting one; canceled() is
    // emitted before this returns.
    void cancel();
    // A waiting job has this id; the job in progress does not count.
    bool isQueued(const QString& versionId) const;

    bool isBusy() const { return m_job.isBusy(); }
    // The version being installed; empty when idle.
    QString versionId() const { return m_versionId; }
    // The job in progress as the progress panel shows it, labelled with its version.
    InstallerStatus status() const
    {
        return {isBusy(),      m_versionId, m_stage,
                m_currentItem, bytesDone(), ByteCount::shownTotal(totalBytes()),
                fraction()};
    }

signals:
    void started(const QString& versionId);
    void progressChanged();
    void finished(const QString& versionId);
    void failed(const QString& versionId, const QString& message);
    void canceled(const QString& versionId);

private:
    qint64 bytesDone() const;
    // The admitted files' sizes with the asset index's announced total while its own
    // files are not listed yet; ByteCount::kUnknown when they pass 64 bits.
    qint64 totalBytes() const;
    // 0..1, or -1 while the amount of work is unknown.
    double fraction() const;

    // Jobs and version descriptions.
    void startNext();
    void resolveManifestEntry();
    void useManifestAnswer(quint64 job, bool ok, const QString& message);
    void giveUpDescriptionConnection();
    bool adoptLocalDescription();
    void fetchVersionJson(const QUrl& url, const QString& sha1);
    void handleDescriptionReply(QNetworkReply* reply, const QString& sha1, quint64 job);
    void adoptVersionJson(const QByteArray& bytes, bool fromDisk);
    void storeVersionJson(const QByteArray& bytes);
    void followDescription();
    void abandonCurrent();
    void complete();
    void reportCompleteness(const QStringList& missing);
    void fail(const QString& message);
    void endCanceled();
    void reset();
    JobCallers dropWaitingJobs();

    // Downloads, assets and the legacy copy.
    bool prepareTasks();
    bool admit(const DownloadTask& task);
    QFuture<std::function<void()>> runOnWorker(std::function<std::function<void()>()> work);
    void queueUnlessPresent(QList<DownloadTask> tasks);
    struct AssetIndexContents;
    void expandAssetIndex(const QString& path);
    void adoptAssetIndex(const QString& path, const AssetIndexContents& contents);
    static bool isAssetIndex(const DownloadTask& task);
    void pump();
    void handleDownloadFailed(const DownloadTask& task, const Download::Summary& transfer);
    void afterDownloads();
    void startLegacyCopy();
    void legacyTick();
    void copyLegacyAsset(const QString& source, const QString& target);
    void setStage(const QString& text);
    void scheduleProgress();
    void flushProgress();

    VersionManifestService* m_manifest = nullptr;
    QNetworkAccessManager* m_network = nullptr;
    struct QueuedJob {
        QString gameDir;
        QString versionId;
        JobCallers callers;
    };
    QList<QueuedJob> m_jobs;
    JobCallers m_callers; // of the job in progress
    QString m_gameDir;
    QString m_versionId;
    QJsonObject m_versionJson;
    MinecraftVersion m_version;
    QList<DownloadTask> m_tasks;
    RunningDownloads<DownloadTask> m_active;
    QStringList m_warnings;
    qint64 m_doneBytes = 0;
    qint64 m_totalBytes = 0;
    qint64 m_assetEstimate = 0;
    InstallJob m_job;
    int m_workerSteps = 0; // the job waits for work of its own on workers
    QFuture<std::function<void()>> m_descriptionSave;
    QString m_stage;
    QString m_currentItem;
    QTimer* m_progressTimer = nullptr;
    bool m_progressPending = false;
    QJsonObject m_assetObjects;
    bool m_assetsVirtual = false;
    bool m_mapToResources = false;
    QList<QPair<QString, QString>> m_legacyCopies; // (source, target)
    qsizetype m_legacyNext = 0;
    QTimer* m_legacyTimer = nullptr;
    int m_parentDepth = 0;
    QPointer<QNetworkReply> m_descriptionReply;
    ConnectionsAhead m_descriptionAhead; // through m_network, for the job's description
};
