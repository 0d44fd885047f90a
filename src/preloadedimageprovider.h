#pragma once

#include <QImage>
#include <QMutex>
#include <QQuickImageProvider>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <future>
#include <map>

// Hands the interface images of its module that began decoding, each on a thread of
// its own, the moment the provider was made. The window's background takes longer to
// decode than the rest of the window takes to build; started before the interface
// loads, it is ready when the first frame asks for it instead of holding that frame
// back. An image it was not given, or one asked for again, is read there and then.
class PreloadedImageProvider : public QQuickImageProvider {
public:
    // The provider's name in "image://" addresses.
    static QString name();
    // Where the interface finds `path`, a file of the interface module such as
    // "images/launcherBackground.png", through this provider.
    static QUrl address(const QString& path);

    explicit PreloadedImageProvider(const QStringList& paths);
    // Waits for decodes still running: none outlives the provider.
    ~PreloadedImageProvider() override;

    QImage requestImage(const QString& path, QSize* size, const QSize& requestedSize) override;

private:
    static QImage decode(const QString& path);
    QImage takePreloaded(const QString& path);

    QMutex m_mutex;
    std::map<QString, std::future<QImage>> m_decodes;
};
