#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <memory>

class Download;
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
    bool installing() const { return m_download != nullptr; }
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
    void onDownloadEnded();
    void failDownload(const QString& path, const QString& reason);
    void endDownload();
    bool startInstallation(const QString& path);

    QNetworkAccessManager m_network;
    QVariantMap m_catalogs;
    QVariantMap m_states;
    QString m_latest;
    std::unique_ptr<QTemporaryDir> m_downloadDir;
    Download* m_download = nullptr; // the running download; owned
    double m_downloadProgress = -1.0;
    std::function<void()> m_quit;
};
