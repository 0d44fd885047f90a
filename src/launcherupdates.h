#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <memory>

class QFile;
class QNetworkReply;
class QTemporaryDir;

// The launcher's model of its own releases: the release feed per channel, the
// newest release the running launcher could move to, and the download of a
// chosen release over the running image, after which the application quits.
class LauncherUpdates : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString channel READ channel CONSTANT)
    Q_PROPERTY(QVariantMap catalogs READ catalogs NOTIFY catalogChanged)
    Q_PROPERTY(QVariantMap states READ states NOTIFY catalogChanged)
    Q_PROPERTY(QString latest READ latest NOTIFY catalogChanged)
    Q_PROPERTY(bool installing READ installing NOTIFY installationChanged)
    Q_PROPERTY(double downloadProgress READ downloadProgress NOTIFY downloadProgressChanged)

public:
    explicit LauncherUpdates(QObject* parent = nullptr);
    ~LauncherUpdates() override;

    QString channel() const;
    QVariantMap catalogs() const { return m_catalogs; }
    QVariantMap states() const { return m_states; }
    QString latest() const { return m_latest; }
    bool installing() const { return m_downloadFile != nullptr; }
    double downloadProgress() const { return m_downloadProgress; }

    Q_INVOKABLE void refresh(const QString& channel);
    Q_INVOKABLE void install(const QString& channel, const QString& version);
    Q_INVOKABLE void cancelDownload();

    // Tests only: replaces the application quit that follows a successful
    // installation, so the test process survives it.
    void setQuitHandlerForTesting(std::function<void()> handler);

signals:
    void catalogChanged();
    void installationChanged();
    void downloadProgressChanged();
    void installationFailed();

private:
    void fetchPage(const QString& channel, int page, QList<QVariant> accumulated);
    void onPageFinished(QNetworkReply* reply, const QString& channel, int page,
                        QList<QVariant> accumulated);
    void finishRefresh(const QString& channel, QList<QVariant> entries);
    void failRefresh(const QString& channel, const QString& reason);

    void onDownloadProgress(qint64 received, qint64 total);
    void onDownloadReadyRead(qint64 expectedSize);
    bool writeAvailable(QNetworkReply* reply, qint64 expectedSize);
    void onDownloadFinished(QNetworkReply* reply, const QString& path, qint64 expectedSize);
    void failDownload(const QString& path, const QString& reason);
    void endDownload();
    void setDownloadProgress(double value);
    bool startInstallation(const QString& path);

    QNetworkAccessManager m_network;
    QVariantMap m_catalogs;
    QVariantMap m_states;
    QString m_latest;
    std::unique_ptr<QTemporaryDir> m_downloadDir;
    std::unique_ptr<QFile> m_downloadFile;
    QPointer<QNetworkReply> m_downloadReply;
    double m_downloadProgress = -1.0;
    bool m_canceled = false;
    std::function<void()> m_quit;
};
