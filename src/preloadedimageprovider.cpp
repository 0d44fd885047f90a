#include "preloadedimageprovider.h"

#include <QMutexLocker>

namespace {
const QString kModuleResources = QStringLiteral(":/qt/qml/Hollowmere/");
} // namespace

QString PreloadedImageProvider::name()
{
    return QStringLiteral("preloaded");
}

QUrl PreloadedImageProvider::address(const QString& path)
{
    return QUrl(QStringLiteral("image://%1/%2").arg(name(), path));
}

PreloadedImageProvider::PreloadedImageProvider(const QStringList& paths)
    : QQuickImageProvider(QQuickImageProvider::Image)
{
    for (const QString& path : paths)
        m_decodes.emplace(path, std::async(std::launch::async, [path] { return decode(path); }));
}

PreloadedImageProvider::~PreloadedImageProvider() = default;

QImage PreloadedImageProvider::requestImage(const QString& path, QSize* size, const QSize&)
{
    QImage image = takePreloaded(path);
    if (image.isNull())
        image = decode(path);
    if (size)
        *size = image.size();
    return image;
}

QImage PreloadedImageProvider::decode(const QString& path)
{
    return QImage(kModuleResources + path);
}

// A decode is handed over once: the image cache keeps what the interface shows, and a
// second request (the cache let it go) is rare enough to read again.
QImage PreloadedImageProvider::takePreloaded(const QString& path)
{
    std::future<QImage> decoding;
    {
        const QMutexLocker lock(&m_mutex);
        auto found = m_decodes.extract(path);
        if (!found.empty())
            decoding = std::move(found.mapped());
    }
    return decoding.valid() ? decoding.get() : QImage();
}
