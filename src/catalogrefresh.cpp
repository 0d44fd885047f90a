#include "catalogrefresh.h"

#include "launcherpaths.h"
#include "wholefile.h"

#include <QFile>
#include <QJsonDocument>
#include <QObject>
#include <QTimer>

#include <utility>

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (maxBytes > 0 && file.size() > maxBytes)
        return {};
    const QByteArray bytes = maxBytes > 0 ? file.read(maxBytes + 1) : file.readAll();
    if (maxBytes > 0 && bytes.size() > maxBytes)
        return {};
    return QJsonDocument::fromJson(bytes).object();
}

bool writeCacheFile(const QString& path, const QJsonObject& document)
{
    if (!LauncherPaths::ensureRootExists())
        return false;
    return WholeFile::write(path, QJsonDocument(document).toJson(QJsonDocument::Compact));
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
