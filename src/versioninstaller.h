#pragma once

#include "minecraftversion.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QThreadPool;
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
    qint32 attempts = 0;
};

// Installs game versions into a game directory: the version description (and any
// missing parent first), the client, libraries, asset index and objects, logging
// configuration, and the plain-named asset copy of old layouts. Jobs run one at a
// time in arrival order; each ends in exactly one of finished, failed or canceled
// (a job that waits behind its missing parent ends silently and runs again after it).
class VersionInstaller : public QObject {
    Q_OBJECT

public:
    explicit VersionInstaller(VersionManifestService* manifest, QObject* parent = nullptr);
    // Aborts running downloads and discards their partial files without signals.
    ~VersionInstaller() override;

    // Queues a job; refusals are reported through failed().
    void install(const QString& gameDir, const QString& versionId);
    // Cancels the job in progress and drops every waiting one; canceled() is
    // emitted before this returns.
    void cancel();
    // A waiting job has this id; the job in progress does not count.
    bool isQueued(const QString& versionId) const;

    bool isBusy() const { return m_busy; }
    QString versionId() const { return m_versionId; }
    QString stage() const { return m_stage; }
    QString currentItem() const { return m_currentItem; }
    qint64 totalBytes() const { return m_totalBytes; }
    qint64 bytesDone() const;
    // 0..1, or -1 while the amount of work is unknown.
    double fraction() const;

    // Tests only: how long a transfer may stall (0 restores 30 s).
    static void setTransferTimeoutForTesting(int ms);

signals:
    void started(const QString& versionId);
    void progressChanged();
    void finished(const QString& versionId);
    void failed(const QString& versionId, const QString& message);
    void canceled(const QString& versionId);

private:
    struct ActiveDownload;
    using ActivePtr = std::shared_ptr<ActiveDownload>;

    // Jobs and version descriptions.
    void startNext();
    void resolveManifestEntry();
    void useManifestAnswer(quint64 job, bool ok, const QString& message);
    bool adoptLocalDescription();
    void fetchVersionJson(const QUrl& url, const QString& sha1);
    void handleDescriptionReply(QNetworkReply* reply, const QString& sha1, quint64 job);
    void adoptVersionJson(const QByteArray& bytes, bool fromDisk);
    bool storeVersionJson(const QByteArray& bytes);
    void abandonCurrent();
    void complete();
    void failInstall(const QString& message);
    void finalizeCancel();
    void resetInstallState();
    bool isCurrentJob(quint64 job) const;

    // Downloads, assets and the legacy copy.
    bool prepareTasks();
    bool enqueue(DownloadTask task);
    void expandAssetIndex(const QString& path);
    void startTask(DownloadTask task);
    void receive(ActiveDownload& download);
    void pump();
    void schedulePump();
    void handleReplyFinished(const ActivePtr& download);
    bool hashMatches(ActiveDownload& download) const;
    void commitInBackground(const ActivePtr& download);
    void handleCommitted(const ActivePtr& download, bool committed);
    bool retryOrFail(DownloadTask task, const QString& reason);
    void afterDownloads();
    void startLegacyCopy();
    void legacyTick();
    void copyLegacyAsset(const QString& source, const QString& target);
    void setStage(const QString& text);
    void scheduleProgress();
    void flushProgress();

    VersionManifestService* m_manifest = nullptr;
    QNetworkAccessManager* m_network = nullptr;
    QList<QPair<QString, QString>> m_jobs; // (game directory, version id)
    QString m_gameDir;
    QString m_versionId;
    QJsonObject m_versionJson;
    MinecraftVersion m_version;
    QList<DownloadTask> m_tasks;
    QList<ActivePtr> m_active;
    QStringList m_warnings;
    qint64 m_doneBytes = 0;
    qint64 m_totalBytes = 0;
    qint64 m_assetEstimate = 0;
    bool m_busy = false;
    bool m_canceling = false;
    bool m_pumpScheduled = false;
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
    QThreadPool* m_committer = nullptr; // commits finished downloads off the GUI thread
    int m_parentDepth = 0;
    // Tells the jobs apart, so late replies and timers never reach a later job.
    quint64 m_jobSerial = 0;
    int m_pendingRetries = 0;
    QPointer<QNetworkReply> m_descriptionReply;
};
