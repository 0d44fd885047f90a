#include "catalogrefresh.h"

#include "launcherpaths.h"
#include "regularfile.h"
#include "wholefile.h"

#include <QFutureWatcher>
#include <QHash>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QPromise>
#include <QThreadPool>
#include <QTimer>
#include <QWaitCondition>

#include <memory>
#include <utility>

namespace {

// One thread, so that two writes of one file land in the order they were asked for.
class CacheWriter : public QThreadPool {
public:
    CacheWriter() { setMaxThreadCount(1); }
    ~CacheWriter() override { waitForDone(); }

    void write(const QString& path, const QJsonObject& document)
    {
        {
            const QMutexLocker lock(&m_mutex);
            ++m_pendingByPath[path];
        }
        start([this, path, document] {
            WholeFile::write(path, QJsonDocument(document).toJson(QJsonDocument::Compact));
            const QMutexLocker lock(&m_mutex);
            if (--m_pendingByPath[path] == 0)
                m_pendingByPath.remove(path);
            m_written.wakeAll();
        });
    }

    bool isIdle()
    {
        const QMutexLocker lock(&m_mutex);
        return m_pendingByPath.isEmpty();
    }

    // Only a write of this file is waited for: another's flush is none of its reader's.
    void waitForWritesOf(const QString& path)
    {
        QMutexLocker lock(&m_mutex);
        while (m_pendingByPath.contains(path))
            m_written.wait(&m_mutex);
    }

private:
    QMutex m_mutex;
    QWaitCondition m_written;
    QHash<QString, int> m_pendingByPath;
};

CacheWriter& cacheWriter()
{
    static CacheWriter writer;
    return writer;
}

} // namespace

namespace CatalogRefresh {

void answerLater(QObject* context, Callback callback, bool ok, const QString& message)
{
    if (!callback)
        return;
    QTimer::singleShot(0, context,
                       [callback = std::move(callback), ok, message] { callback(ok, message); });
}

bool isFresh(const QDateTime& fetchedAt, qint64 freshSeconds)
{
    return fetchedAt.isValid() && fetchedAt.secsTo(QDateTime::currentDateTimeUtc()) <= freshSeconds;
}

QString timeText(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QDateTime parseTime(const QString& text)
{
    return QDateTime::fromString(text, Qt::ISODate);
}

QJsonObject readCacheFile(const QString& path, qint64 maxBytes)
{
    cacheWriter().waitForWritesOf(path);
    return RegularFile::readObject(path, maxBytes);
}

void writeCacheFile(const QString& path, const QJsonObject& document)
{
    // Made here, where the data directory's place is known for certain.
    if (LauncherPaths::ensureRootExists())
        cacheWriter().write(path, document);
}

void afterCacheWrites(QObject* context, std::function<void()> then)
{
    CacheWriter& writer = cacheWriter();
    if (writer.isIdle()) {
        then();
        return;
    }
    // Queued behind the writes asked for so far; the watcher goes with its context.
    auto promise = std::make_shared<QPromise<void>>();
    auto* watcher = new QFutureWatcher<void>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, then = std::move(then)] {
                         watcher->deleteLater();
                         then();
                     });
    watcher->setFuture(promise->future());
    writer.start([promise] {
        promise->start();
        promise->finish();
    });
}

} // namespace CatalogRefresh

void CatalogWaiters::add(CatalogRefresh::Callback callback)
{
    if (callback)
        m_callbacks.append(std::move(callback));
}

QList<CatalogRefresh::Callback> CatalogWaiters::take()
{
    return std::exchange(m_callbacks, {});
}

void CatalogWaiters::answer(bool ok, const QString& message)
{
    const QList<CatalogRefresh::Callback> waiting = take();
    for (const CatalogRefresh::Callback& callback : waiting)
        callback(ok, message);
}
