#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

class QObject;

// What the catalog services share: one refresh answers every caller that asked
// while it ran, callers are never answered inside their own call, and the list is
// kept in a cache file stamped with its fetch time.
namespace CatalogRefresh {

// ok: a list is available (possibly an older one when message is not empty).
using Callback = std::function<void(bool ok, const QString& message)>;

// Calls back on a later turn of the event loop, unless context is gone by then.
void answerLater(QObject* context, Callback callback, bool ok = true,
                 const QString& message = QString());

// A list fetched at fetchedAt is still fresh this many seconds later, and no longer.
bool isFresh(const QDateTime& fetchedAt, qint64 freshSeconds);

// Fetch times in cache files: ISO 8601 in UTC ending in "Z"; empty when unknown.
QString timeText(const QDateTime& time);
QDateTime parseTime(const QString& text);

// A cache holds what a few catalog replies gave, each bounded, so a file past this is
// no cache the launcher wrote.
inline constexpr qint64 kCacheLimit = 32 * 1024 * 1024;

// The cache document; empty when the file is no regular file, is larger than maxBytes
// or holds no JSON object. A write of this file still under way is waited for.
QJsonObject readCacheFile(const QString& path, qint64 maxBytes = kCacheLimit);
// Writes the document compactly through a save-file once the data directory exists;
// a file that cannot be written whole is left as it was. A save-file waits for the
// disk, which can take long: one writer thread does the writes, in the order asked,
// and the call returns at once.
void writeCacheFile(const QString& path, const QJsonObject& document);
// Calls then on this thread once every cache write asked for so far is done: at once
// when none is under way, later otherwise, and never when context is gone by then.
// A refresh ends this way, so whoever it answers finds its cache file written.
void afterCacheWrites(QObject* context, std::function<void()> then);

} // namespace CatalogRefresh

// The callers waiting for the refresh in flight, answered in order of arrival.
class CatalogWaiters {
public:
    void add(CatalogRefresh::Callback callback);
    bool isEmpty() const { return m_callbacks.isEmpty(); }
    // Takes every waiter out, so that one asking again from its callback counts as a
    // new caller.
    QList<CatalogRefresh::Callback> take();
    void answer(bool ok, const QString& message);

private:
    QList<CatalogRefresh::Callback> m_callbacks;
};
