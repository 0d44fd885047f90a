#pragma once

#include "catalogrefresh.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// One ready-made build of the seasonal catalog. The catalog and its cache share the
// JSON keys named beside the fields.
struct SeasonalBuildEntry {
    QString id;               // "id"
    QString name;             // "name", trimmed
    int revision = 0;         // "revision"; 0 when absent or not a whole number
    QString minecraftVersion; // "minecraftVersion"
    QString loader;           // "loader": a loader key, or empty for none
    QString loaderVersion;    // "loaderVersion", trimmed
    int modCount = 0;         // "modCount"
    QDate seasonStart;        // "seasonStart", "yyyy-MM-dd"; invalid when absent
    QDate seasonEnd;          // "seasonEnd"; invalid while the season runs
    QString serverUrl;        // "serverUrl", trimmed: host, optionally ":port"
    int javaMajor = 0;        // "javaMajor"; 0: what the game version needs
    QString description;      // "description", trimmed
    QUrl archiveUrl;          // "archive" / "url"
    qint64 archiveSize = 0;   // "archive" / "size"
    QString sha256;           // "archive" / "sha256", lower-cased
};

// The seasonal builds the catalog server publishes under a base address chosen in
// the settings: one document, "index.json", of which only the entries that pass
// every check are kept, ordered ongoing seasons first and newest first, cached per
// base address and fresh for just under a quarter of an hour.
class SeasonalBuildService : public QObject {
    Q_OBJECT

public:
    using Callback = CatalogRefresh::Callback;

    explicit SeasonalBuildService(QObject* parent = nullptr);
    // Waiting callers are dropped unanswered.
    ~SeasonalBuildService() override;

    // Another address forgets the list of the old one; a fetch of the old address
    // still running is dropped, and whoever waits for it is served from the new one.
    void setBaseUrl(const QUrl& url);
    QUrl baseUrl() const { return m_baseUrl; }

    // Makes the list available and answers later from the event loop, never inside
    // this call: at once when it is fresh (unless forced), otherwise when the one
    // fetch in flight ends.
    void ensureLoaded(Callback callback, bool force = false);

    std::optional<SeasonalBuildEntry> find(const QString& id) const;
    const QList<SeasonalBuildEntry>& builds() const { return m_builds; }
    bool isRefreshing() const { return m_refreshing; }
    // The last failure; empty after a success and after the address changed.
    QString lastError() const { return m_lastError; }

signals:
    // The list, the error text or the base address changed.
    void buildsChanged();
    void refreshingChanged();

private:
    bool hasUsableAddress() const;
    void setLastError(const QString& message);
    void startRefresh();
    void dropFetch();
    void handleReply(QNetworkReply* reply);
    void finishRefresh(bool ok, const QString& message);
    void applyBuilds(QList<SeasonalBuildEntry> builds);
    QList<SeasonalBuildEntry> parseCatalog(const QJsonObject& document,
                                           QString* error = nullptr) const;
    bool readCache();
    void writeCache() const;

    QNetworkAccessManager* m_network = nullptr;
    QUrl m_baseUrl;
    QList<SeasonalBuildEntry> m_builds;
    QHash<QString, int> m_index;
    QDateTime m_fetchedAt;
    QString m_lastError;
    bool m_refreshing = false;
    bool m_cacheLoaded = false;
    CatalogWaiters m_waiters;
    QPointer<QNetworkReply> m_reply;
};
