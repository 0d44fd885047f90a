#pragma once

#include "catalogrefresh.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// One game version of the vendor's version manifest.
struct RemoteVersionEntry {
    QString id;            // never empty
    QString type;          // "release", "snapshot", "old_beta", ... verbatim
    QUrl url;              // https address of the version description
    QString sha1;          // hex SHA-1 of the version description, verbatim
    QDateTime releaseTime; // invalid when the manifest gives none
};

// The catalog of game versions the vendor publishes, newest first, cached on disk
// and treated as fresh for just under six hours.
class VersionManifestService : public QObject {
    Q_OBJECT

public:
    // ok: a list is available (possibly an older one when message is not empty).
    using Callback = CatalogRefresh::Callback;

    explicit VersionManifestService(QObject* parent = nullptr);

    // Answers later from the event loop, never inside the call: at once when the
    // list is fresh (unless forced), otherwise when the refresh in flight ends.
    void ensureLoaded(Callback callback, bool force = false);

    std::optional<RemoteVersionEntry> find(const QString& id) const;
    const QList<RemoteVersionEntry>& versions() const { return m_versions; }
    bool isRefreshing() const { return m_refreshing; }

signals:
    void versionsChanged();
    void refreshingChanged();

private:
    void startRefresh();
    void handleReply(QNetworkReply* reply);
    void finishRefresh(bool ok, const QString& message);
    void applyVersions(QList<RemoteVersionEntry> list);
    bool readCache();
    void writeCache() const;

    QNetworkAccessManager* m_network = nullptr;
    QList<RemoteVersionEntry> m_versions;
    QHash<QString, qint32> m_indexById;
    QDateTime m_fetchedAt;
    bool m_refreshing = false;
    bool m_cacheLoaded = false;
    CatalogWaiters m_waiters;
};
