#pragma once

#include "catalogrefresh.h"
#include "javaruntime.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// One downloadable Java runtime of the catalog.
struct JavaRuntimeEntry {
    QString id; // catalog identifier, directory-safe, also the managed store's id
    JavaRuntimeKind kind = JavaRuntimeKind::Jdk;
    int major = 0;
    QString version;   // full version text shown to the user
    QString component; // vendor runtime component; empty for Temurin builds
    QDateTime released;
    QUrl url;         // the archive, or the vendor runtime's file manifest; https
    QString checksum; // SHA-256 of the archive, or SHA-1 of the file manifest, hex
    qint64 size = 0;  // archive size as the catalog states it; 0 for vendor runtimes
    QString archive;  // "zip", "tar.gz" or "mojang"
    QString architecture;
    bool lts = false;
};

// The catalog of downloadable Java runtimes, merged from the Adoptium API and the
// game vendor's runtime index, cached on disk for start without the network.
class JavaRuntimeService : public QObject {
    Q_OBJECT

public:
    // ok says whether a catalog is available; message tells of a failed refresh.
    using Callback = CatalogRefresh::Callback;

    explicit JavaRuntimeService(QObject* parent = nullptr);

    // Answers asynchronously: at once with a catalog fetched less than a day ago
    // (unless forced), otherwise when the next refresh ends. At most one refresh runs.
    void ensureLoaded(Callback callback, bool force = false);
    bool isRefreshing() const { return m_pendingRequests > 0; }

    QList<JavaRuntimeEntry> entries(JavaRuntimeKind kind) const;
    std::optional<JavaRuntimeEntry> find(const QString& id) const;
    // The lowest sufficient major; then JDK before vendor runtime before JRE, then the
    // later release, then the greater version text.
    std::optional<JavaRuntimeEntry> bestFor(int requiredMajor) const;

    // One feature-release reply of the Adoptium API; never fails.
    static QList<JavaRuntimeEntry> parseAdoptium(const QByteArray& body,
                                                 const QSet<int>& ltsMajors);
    // The vendor runtime index, for this machine's platform; never fails.
    static QList<JavaRuntimeEntry> parseMojang(const QByteArray& body);

    // Tests only: the processor architecture name to act on (empty restores the
    // machine's own).
    static void setCpuArchitectureForTesting(const QString& name);

signals:
    void catalogChanged();
    void refreshingChanged();

private:
    void applyEntries(QList<JavaRuntimeEntry> list);
    bool readCache();
    void writeCache() const;
    bool isFresh() const;

    QNetworkReply* get(const QString& url);
    void startRefresh();
    void requestAdoptiumReleases();
    void requestFeatureRelease(int major, const QString& architecture, bool allowX64Fallback);
    void requestMojangRuntimes();
    void handleAdoptiumReleases(QNetworkReply* reply);
    void handleFeatureRelease(QNetworkReply* reply, int major, bool allowX64Fallback);
    void handleMojangRuntimes(QNetworkReply* reply);
    void requestFinished(const QString& error);
    void finishRefresh();

    QNetworkAccessManager* m_network = nullptr;
    QList<JavaRuntimeEntry> m_catalog;
    QHash<QString, int> m_indexById;
    QDateTime m_fetchedAt;
    bool m_cacheLoaded = false;
    QList<JavaRuntimeEntry> m_fetched;
    QStringList m_fetchErrors;
    QSet<int> m_ltsMajors;
    int m_pendingRequests = 0;
    CatalogWaiters m_waiters;
};
