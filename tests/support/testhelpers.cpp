#include "testhelpers.h"

#include "diskspace.h"
#include "localization.h"
#include "networkthread.h"
#include "temphome.h"
#include "ziparchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>

#include <netinet/in.h>
#include <sys/socket.h>

namespace TestHelpers {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList ledgerFolders(const QString& ledgerPath)
{
    QStringList folders;
    for (const QByteArray& line : readFile(ledgerPath).split('\n')) {
        if (line.startsWith("D ") || line.startsWith("O "))
            folders.append(QString::fromUtf8(QByteArray::fromPercentEncoding(line.sliced(2))));
    }
    return folders;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

QJsonDocument readJson(const QString& path)
{
    return QJsonDocument::fromJson(readFile(path));
}

QString hex(const QByteArray& data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QStringList firstArguments(const QSignalSpy& spy)
{
    QStringList texts;
    for (const QList<QVariant>& arguments : spy)
        texts.append(arguments.constFirst().toString());
    return texts;
}

bool loadEnglishCatalog()
{
    TempHome home;
    return home.writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})") &&
           Localization::instance()->load();
}

QList<int> connectionsTo(quint16 port)
{
    QList<int> descriptors;
    for (const QString& name : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System)) {
        const int descriptor = name.toInt();
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.ss_family == AF_INET &&
            ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port) == port)
            descriptors.append(descriptor);
    }
    return descriptors;
}

QStringList withoutNetwork(const QString& program)
{
    static const bool isolated =
        QProcess::execute(QStringLiteral("unshare"),
                          {QStringLiteral("--net"), QStringLiteral("true")}) == 0;
    if (isolated)
        return {QStringLiteral("unshare"), QStringLiteral("--net"), program};
    return {program};
}

bool writeZipBomb(const QString& path, const QString& entryName, qint64 size,
                  const QList<QPair<QString, QByteArray>>& extra)
{
    ZipArchive zip;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !zip.create(path))
        return false;
    for (const auto& [name, data] : extra) {
        if (!zip.addData(name, data))
            return false;
    }
    ZipEntryOptions options;
    options.level = 9;
    return zip.addData(entryName, QByteArray(size, '\0'), nullptr, options) && zip.close();
}

ScopedFreeSpace::ScopedFreeSpace(qint64 bytes)
{
    DiskSpace::setProbeForTesting([bytes](const QString&) { return bytes; });
}

ScopedFreeSpace::~ScopedFreeSpace()
{
    DiskSpace::setProbeForTesting({});
}

// The hold ends by itself after a while, so that a test that fails before letting go
// does not keep the thread for good.
HeldNetworkThread::HeldNetworkThread()
    : m_thread(NetworkThread::acquire()), m_entered(std::make_shared<QSemaphore>()),
      m_released(std::make_shared<QSemaphore>())
{
    m_thread->post([entered = m_entered, released = m_released] {
        entered->release();
        released->tryAcquire(1, 3000);
    });
    m_entered->acquire();
}

HeldNetworkThread::~HeldNetworkThread()
{
    m_released->release();
}

} // namespace TestHelpers
