// Installs a synthetic game version (a 20 MB client, 80 libraries of 50 KB to 2 MB,
// 4,000 asset objects of 1 to 64 KB) from the loopback HTTPS server into an empty game
// directory, then fetches the same files with curl eight at a time, and prints wall
// time, files and megabytes per second, the installer/curl ratio and the longest gap
// between the ticks of a 10 ms timer on the main thread during the install.
//
// The server runs on a thread of its own, so the gap measures the installer alone and
// both clients meet the same server.

#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "versioninstaller.h"
#include "versionmanifestservice.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 kClientBytes = 20 * 1024 * 1024;
constexpr int kLibraries = 80;
constexpr qint64 kLibraryMinBytes = 50 * 1024;
constexpr qint64 kLibraryMaxBytes = 2 * 1024 * 1024;
constexpr int kObjects = 4000;
constexpr qint64 kObjectMinBytes = 1024;
constexpr qint64 kObjectMaxBytes = 64 * 1024;
constexpr int kCurlParallel = 8;

struct ServedFile {
    QString urlPath;  // path on the server
    QString diskPath; // where the server reads it
    QString sha1;
    qint64 size = 0;
};

// Every file the version consists of, written once into a source folder.
class SyntheticVersion {
public:
    explicit SyntheticVersion(const QString& sourceDir) : m_dir(sourceDir), m_random(20240601) {}

    bool generate()
    {
        if (!addRandom(QStringLiteral("/client.jar"), kClientBytes))
            return false;
        for (int i = 0; i < kLibraries; ++i) {
            if (!addRandom(QStringLiteral("/libs/lib%1.jar").arg(i),
                           m_random.bounded(kLibraryMinBytes, kLibraryMaxBytes + 1)))
                return false;
        }
        QJsonObject objects;
        for (int i = 0; i < kObjects; ++i) {
            const QByteArray bytes =
                randomBytes(m_random.bounded(kObjectMinBytes, kObjectMaxBytes + 1));
            const QString hash = sha1Of(bytes);
            if (!add(QLatin1Char('/') + hash.left(2) + QLatin1Char('/') + hash, bytes))
                return false;
            objects.insert(QStringLiteral("bench/object%1.bin").arg(i),
                           QJsonObject{{QStringLiteral("hash"), hash},
                                       {QStringLiteral("size"), bytes.size()}});
        }
        m_objectCount = kObjects;
        return add(QStringLiteral("/indexes/bench.json"),
                   QJsonDocument(QJsonObject{{QStringLiteral("objects"), objects}})
                       .toJson(QJsonDocument::Compact));
    }

    // The description and the manifest name the server, so they come last.
    bool publish(const QString& origin)
    {
        const ServedFile& client = m_files.first();
        QJsonArray libraries;
        for (int i = 1; i <= kLibraries; ++i) {
            const ServedFile& library = m_files.at(i);
            libraries.append(QJsonObject{
                {QStringLiteral("name"), QStringLiteral("bench:lib%1:1.0").arg(i)},
                {QStringLiteral("downloads"),
                 QJsonObject{{QStringLiteral("artifact"), downloadObject(library, origin)}}}});
        }
        const ServedFile& index = m_files.last();
        QJsonObject assetIndex = downloadObject(index, origin);
        assetIndex.insert(QStringLiteral("id"), QStringLiteral("bench"));
        const QJsonObject description{
            {QStringLiteral("id"), QStringLiteral("bench")},
            {QStringLiteral("type"), QStringLiteral("release")},
            {QStringLiteral("mainClass"), QStringLiteral("net.minecraft.client.main.Main")},
            {QStringLiteral("assetIndex"), assetIndex},
            {QStringLiteral("downloads"),
             QJsonObject{{QStringLiteral("client"), downloadObject(client, origin)}}},
            {QStringLiteral("libraries"), libraries},
        };
        const QByteArray descriptionBytes = QJsonDocument(description).toJson();
        if (!add(QStringLiteral("/versions/bench.json"), descriptionBytes))
            return false;
        const QJsonObject manifest{
            {QStringLiteral("versions"),
             QJsonArray{QJsonObject{
                 {QStringLiteral("id"), QStringLiteral("bench")},
                 {QStringLiteral("type"), QStringLiteral("release")},
                 {QStringLiteral("url"), origin + QStringLiteral("/versions/bench.json")},
                 {QStringLiteral("sha1"), sha1Of(descriptionBytes)},
                 {QStringLiteral("releaseTime"), QStringLiteral("2024-06-01T00:00:00+00:00")}}}}};
        return add(QStringLiteral("/mc/game/version_manifest_v2.json"),
                   QJsonDocument(manifest).toJson());
    }

    const QList<ServedFile>& files() const { return m_files; }
    QHash<QString, QString> diskPathsByUrlPath() const
    {
        QHash<QString, QString> paths;
        for (const ServedFile& file : m_files)
            paths.insert(file.urlPath, file.diskPath);
        return paths;
    }
    // The version's own files: client, libraries, asset index and objects.
    int gameFileCount() const { return 1 + kLibraries + 1 + m_objectCount; }
    qint64 gameFileBytes() const
    {
        qint64 total = 0;
        for (const ServedFile& file : m_files) {
            if (!file.urlPath.startsWith(QLatin1String("/versions/")) &&
                !file.urlPath.startsWith(QLatin1String("/mc/")))
                total += file.size;
        }
        return total;
    }

private:
    static QString sha1Of(const QByteArray& bytes)
    {
        return TestHelpers::hex(bytes, QCryptographicHash::Sha1);
    }
    static QJsonObject downloadObject(const ServedFile& file, const QString& origin)
    {
        return QJsonObject{{QStringLiteral("path"), file.urlPath.mid(1).replace('/', '-')},
                           {QStringLiteral("url"), origin + file.urlPath},
                           {QStringLiteral("sha1"), file.sha1},
                           {QStringLiteral("size"), file.size}};
    }

    QByteArray randomBytes(qint64 size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        const qsizetype words = size / qsizetype(sizeof(quint32));
        m_random.fillRange(reinterpret_cast<quint32*>(bytes.data()), words);
        for (qsizetype i = words * qsizetype(sizeof(quint32)); i < size; ++i)
            bytes[i] = char(m_random.generate());
        return bytes;
    }
    bool addRandom(const QString& urlPath, qint64 size) { return add(urlPath, randomBytes(size)); }

    bool add(const QString& urlPath, const QByteArray& bytes)
    {
        const QString diskPath = m_dir + urlPath;
        if (!TestHelpers::writeFile(diskPath, bytes)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(diskPath));
            return false;
        }
        m_files.append({urlPath, diskPath, sha1Of(bytes), bytes.size()});
        return true;
    }

    QString m_dir;
    QRandomGenerator m_random;
    QList<ServedFile> m_files;
    int m_objectCount = 0;
};

// The loopback server, living on its own thread.
class ServerThread {
public:
    ServerThread()
    {
        TestServer::trustTestCertificate();
        m_thread.start();
        m_anchor.moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            &m_anchor,
            [this] {
                m_server = new TestServer;
                m_origin = m_server->origin();
            },
            Qt::BlockingQueuedConnection);
    }
    ~ServerThread()
    {
        QMetaObject::invokeMethod(
            &m_anchor, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    QString origin() const { return m_origin; }
    void serve(const QHash<QString, QString>& files)
    {
        QMetaObject::invokeMethod(
            &m_anchor,
            [this, files] {
                m_server->routePrefix(QStringLiteral("/"), [files](const TestRequest& request) {
                    const QString path = files.value(request.path);
                    return path.isEmpty() ? TestReply::notFound() : TestReply::file(path);
                });
            },
            Qt::BlockingQueuedConnection);
    }

private:
    QThread m_thread;
    QObject m_anchor;
    TestServer* m_server = nullptr;
    QString m_origin;
};

struct InstallResult {
    bool ok = false;
    double seconds = 0;
    qint64 longestGapMs = 0;
    QString message;
};

InstallResult runInstaller(const QString& gameDir)
{
    VersionManifestService manifest;
    VersionInstaller installer(&manifest);
    InstallResult result;
    QEventLoop loop;
    QObject::connect(&installer, &VersionInstaller::finished, &loop, [&] {
        result.ok = true;
        loop.quit();
    });
    QObject::connect(&installer, &VersionInstaller::failed, &loop,
                     [&](const QString&, const QString& message) {
                         result.message = message;
                         loop.quit();
                     });

    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        result.longestGapMs = std::max(result.longestGapMs, sinceTick.restart());
    });

    QElapsedTimer wall;
    wall.start();
    sinceTick.start();
    ticker.start();
    installer.install(gameDir, QStringLiteral("bench"));
    loop.exec();
    ticker.stop();
    result.longestGapMs = std::max(result.longestGapMs, sinceTick.elapsed());
    result.seconds = double(wall.nsecsElapsed()) / 1e9;
    return result;
}

// Returns the wall seconds of one curl run over every served file, or -1.
double runCurl(const QString& origin, const QList<ServedFile>& files, const QString& targetDir)
{
    QFile config(targetDir + QStringLiteral("/curl.config"));
    if (!config.open(QIODevice::WriteOnly))
        return -1;
    for (const ServedFile& file : files) {
        config.write(QStringLiteral("url = \"%1%2\"\noutput = \"%3/files%2\"\n")
                         .arg(origin, file.urlPath, targetDir)
                         .toUtf8());
    }
    config.close();

    QProcess curl;
    QEventLoop loop;
    QObject::connect(&curl, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&curl, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QElapsedTimer wall;
    wall.start();
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("--parallel"), QStringLiteral("--parallel-max"),
                QString::number(kCurlParallel), QStringLiteral("--cacert"),
                TestServer::caCertificatePath(), QStringLiteral("--create-dirs"),
                QStringLiteral("--fail"), QStringLiteral("--silent"),
                QStringLiteral("--show-error"), QStringLiteral("--config"), config.fileName()});
    loop.exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    if (curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed (exit code %d): %s\n", curl.exitCode(),
                     curl.readAllStandardError().constData());
        return -1;
    }
    return seconds;
}

int countFiles(const QString& dir)
{
    int count = 0;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TempHome home;
    const QString sourceDir = home.path() + QStringLiteral("/source");
    const QString gameDir = home.path() + QStringLiteral("/game");
    const QString curlDir = home.path() + QStringLiteral("/curl");
    QDir().mkpath(curlDir);

    std::printf("generating the synthetic version...\n");
    SyntheticVersion version(sourceDir);
    if (!version.generate())
        return 1;
    ServerThread server;
    if (!version.publish(server.origin()))
        return 1;
    server.serve(version.diskPathsByUrlPath());
    RemoteAddresses::setAllOriginsForTesting(server.origin());

    const int files = version.gameFileCount();
    const double megabytes = double(version.gameFileBytes()) / (1024.0 * 1024.0);
    std::printf("version: %d files, %.1f MB (client, %d libraries, asset index, %d objects)\n",
                files, megabytes, kLibraries, kObjects);

    // Each run starts without the other's writes still queued for the disk.
    ::sync();
    const InstallResult install = runInstaller(gameDir);
    if (!install.ok) {
        std::fprintf(stderr, "install failed: %s\n", qPrintable(install.message));
        return 1;
    }
    std::printf("installer: %.2f s wall, %.0f files/s, %.1f MB/s, longest main-thread gap %lld ms "
                "(10 ms timer)\n",
                install.seconds, files / install.seconds, megabytes / install.seconds,
                static_cast<long long>(install.longestGapMs));

    ::sync();
    const double curlSeconds = runCurl(server.origin(), version.files(), curlDir);
    if (curlSeconds < 0)
        return 1;
    const int curlFiles = countFiles(curlDir + QStringLiteral("/files"));
    std::printf("curl --parallel --parallel-max %d: %.2f s wall, %.0f files/s, %.1f MB/s "
                "(%d files incl. manifest and description)\n",
                kCurlParallel, curlSeconds, files / curlSeconds, megabytes / curlSeconds,
                curlFiles);
    std::printf("ratio installer/curl: %.2f\n", install.seconds / curlSeconds);
    return 0;
}
