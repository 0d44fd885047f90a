// Installs a synthetic game version (a 20 MB client, 80 libraries of 50 KB to 2 MB and a
// chosen number of asset objects of 1 to 64 KB) into an empty game directory, then
// fetches the same files with curl eight at a time, alternating the two over several
// runs. For every object count it prints each run and the medians: wall time, files and
// megabytes per second, the installer/curl ratio (the median of the paired runs), the
// longest gap between the ticks of a 1 ms timer on the main thread during the install,
// and the installer's peak resident memory (and how far it rose during the install).
// A summary at the end gives the figures again in the rows of the targets' table.
//
// Servers: the loopback HTTPS test server (HTTP/1.1), on a thread of its own so the gap
// measures the installer alone and both clients meet the same server; and, when nghttpd
// is installed, an HTTP/2 server over the same files in a process of its own.
//
// With --rtt-ms both clients reach the server through a relay of the bench's own on
// loopback that holds every chunk back half the round trip in each direction, without a
// bandwidth limit, as a link to a content server far away would; each round trip listed
// is measured in turn.
//
//   install_bench [--objects 1000,4000,8000] [--runs 5] [--server http1|http2|both]
//                 [--rtt-ms 20,40,100] [--installer-only]

#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "versioninstaller.h"
#include "versionmanifestservice.h"

#include <QCommandLineParser>
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
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <unistd.h>

namespace {

constexpr qint64 kClientBytes = 20 * 1024 * 1024;
constexpr int kLibraries = 80;
constexpr qint64 kLibraryMinBytes = 50 * 1024;
constexpr qint64 kLibraryMaxBytes = 2 * 1024 * 1024;
constexpr qint64 kObjectMinBytes = 1024;
constexpr qint64 kObjectMaxBytes = 64 * 1024;
constexpr int kCurlParallel = 8;
constexpr int kServerStartMs = 10000;

struct ServedFile {
    QString urlPath;  // path on the server
    QString diskPath; // where the server reads it: the source folder plus the path
    QString sha1;
    qint64 size = 0;
};

// Every file the version consists of, written once into a source folder laid out like
// the server's paths.
class SyntheticVersion {
public:
    SyntheticVersion(const QString& sourceDir, int objects)
        : m_dir(sourceDir), m_objects(objects), m_random(20240601)
    {
    }

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
        for (int i = 0; i < m_objects; ++i) {
            const QByteArray bytes =
                randomBytes(m_random.bounded(kObjectMinBytes, kObjectMaxBytes + 1));
            const QString hash = sha1Of(bytes);
            if (!add(m_files, QLatin1Char('/') + hash.left(2) + QLatin1Char('/') + hash, bytes))
                return false;
            objects.insert(QStringLiteral("bench/object%1.bin").arg(i),
                           QJsonObject{{QStringLiteral("hash"), hash},
                                       {QStringLiteral("size"), bytes.size()}});
        }
        return add(m_files, QStringLiteral("/indexes/bench.json"),
                   QJsonDocument(QJsonObject{{QStringLiteral("objects"), objects}})
                       .toJson(QJsonDocument::Compact));
    }

    // The description and the manifest name the server, so they are written for each.
    bool publish(const QString& origin)
    {
        m_documents.clear();
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
        if (!add(m_documents, QStringLiteral("/versions/bench.json"), descriptionBytes))
            return false;
        const QJsonObject manifest{
            {QStringLiteral("versions"),
             QJsonArray{QJsonObject{
                 {QStringLiteral("id"), QStringLiteral("bench")},
                 {QStringLiteral("type"), QStringLiteral("release")},
                 {QStringLiteral("url"), origin + QStringLiteral("/versions/bench.json")},
                 {QStringLiteral("sha1"), sha1Of(descriptionBytes)},
                 {QStringLiteral("releaseTime"), QStringLiteral("2024-06-01T00:00:00+00:00")}}}}};
        return add(m_documents, QStringLiteral("/mc/game/version_manifest_v2.json"),
                   QJsonDocument(manifest).toJson());
    }

    QString sourceDir() const { return m_dir; }
    // The game files and the two documents.
    QList<ServedFile> servedFiles() const { return m_files + m_documents; }
    QHash<QString, QString> diskPathsByUrlPath() const
    {
        QHash<QString, QString> paths;
        for (const ServedFile& file : servedFiles())
            paths.insert(file.urlPath, file.diskPath);
        return paths;
    }
    // The version's own files: client, libraries, asset index and objects.
    int gameFileCount() const { return int(m_files.size()); }
    int objectCount() const { return m_objects; }
    qint64 gameFileBytes() const
    {
        qint64 total = 0;
        for (const ServedFile& file : m_files)
            total += file.size;
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
    bool addRandom(const QString& urlPath, qint64 size)
    {
        return add(m_files, urlPath, randomBytes(size));
    }

    bool add(QList<ServedFile>& list, const QString& urlPath, const QByteArray& bytes)
    {
        const QString diskPath = m_dir + urlPath;
        if (!TestHelpers::writeFile(diskPath, bytes)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(diskPath));
            return false;
        }
        list.append({urlPath, diskPath, sha1Of(bytes), bytes.size()});
        return true;
    }

    QString m_dir;
    int m_objects;
    QRandomGenerator m_random;
    QList<ServedFile> m_files;
    QList<ServedFile> m_documents;
};

// A server over the source folder of a version.
class BenchServer {
public:
    virtual ~BenchServer() = default;
    virtual QString name() const = 0;
    // The protocol, as the summary names it.
    virtual QString protocol() const = 0;
    virtual QString origin() const = 0;
    virtual void serve(const SyntheticVersion& version) = 0;
};

// The loopback test server (HTTP/1.1), living on its own thread.
class TestServerThread : public BenchServer {
public:
    TestServerThread()
    {
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
    ~TestServerThread() override
    {
        QMetaObject::invokeMethod(
            &m_anchor, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    QString name() const override { return QStringLiteral("test server, HTTP/1.1"); }
    QString protocol() const override { return QStringLiteral("HTTP/1.1"); }
    QString origin() const override { return m_origin; }
    void serve(const SyntheticVersion& version) override
    {
        const QHash<QString, QString> files = version.diskPathsByUrlPath();
        QMetaObject::invokeMethod(
            &m_anchor,
            [this, files] {
                m_server->clearRoutes();
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

// nghttpd over TLS with the test certificate, serving a version's source folder.
class Http2Server : public BenchServer {
public:
    ~Http2Server() override { stop(); }
    static bool isInstalled()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("nghttpd")).isEmpty();
    }
    QString name() const override { return QStringLiteral("nghttpd, HTTP/2"); }
    QString protocol() const override { return QStringLiteral("HTTP/2"); }
    QString origin() const override { return QStringLiteral("https://127.0.0.1:%1").arg(m_port); }
    void serve(const SyntheticVersion& version) override
    {
        stop();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->setStandardOutputFile(QProcess::nullDevice());
        const QString certs = TestServer::caCertificatePath().section(QLatin1Char('/'), 0, -2);
        m_process->start(QStringLiteral("nghttpd"),
                         {QStringLiteral("--address=127.0.0.1"),
                          QStringLiteral("--htdocs=") + version.sourceDir(),
                          QString::number(m_port), certs + QStringLiteral("/server.key"),
                          certs + QStringLiteral("/server.pem")});
        if (!m_process->waitForStarted() || !waitUntilListening())
            std::fprintf(stderr, "nghttpd did not start on port %d\n", m_port);
    }
    // The port is chosen before the version is published, as it names the server.
    bool choosePort()
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost))
            return false;
        m_port = probe.serverPort();
        return true;
    }

private:
    bool waitUntilListening() const
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kServerStartMs) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(200))
                return true;
            QThread::msleep(20);
        }
        return false;
    }
    void stop()
    {
        if (!m_process)
            return;
        m_process->terminate();
        if (!m_process->waitForFinished(3000))
            m_process->kill();
        m_process->waitForFinished(3000);
        m_process.reset();
    }

    std::unique_ptr<QProcess> m_process;
    int m_port = 0;
};

// One direction of a relayed connection: what arrives from one socket is written to the
// other half the round trip later, in the order it came.
class DelayedPipe : public QObject {
public:
    DelayedPipe(QTcpSocket* from, QTcpSocket* to, qint64 delayNs, const QElapsedTimer* clock,
                QObject* parent)
        : QObject(parent), m_from(from), m_to(to), m_delayNs(delayNs), m_clock(clock)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &DelayedPipe::deliver);
        connect(from, &QIODevice::readyRead, this, &DelayedPipe::take);
        connect(from, &QAbstractSocket::disconnected, this, [this] {
            take();
            m_fromClosed = true;
            deliver();
        });
    }

private:
    void take()
    {
        const QByteArray bytes = m_from->readAll();
        if (bytes.isEmpty())
            return;
        m_chunks.push_back({m_clock->nsecsElapsed() + m_delayNs, bytes});
        if (!m_timer.isActive())
            arm();
    }
    void deliver()
    {
        const qint64 now = m_clock->nsecsElapsed();
        while (!m_chunks.empty() && m_chunks.front().first <= now) {
            m_to->write(m_chunks.front().second);
            m_chunks.pop_front();
        }
        if (!m_chunks.empty())
            arm();
        else if (m_fromClosed)
            m_to->disconnectFromHost();
    }
    void arm()
    {
        const qint64 left = m_chunks.front().first - m_clock->nsecsElapsed();
        m_timer.start(int(std::max<qint64>(0, (left + 999999) / 1000000)));
    }

    QTcpSocket* m_from;
    QTcpSocket* m_to;
    const qint64 m_delayNs;
    const QElapsedTimer* m_clock;
    QTimer m_timer;
    std::deque<std::pair<qint64, QByteArray>> m_chunks; // (due, bytes)
    bool m_fromClosed = false;
};

// A TCP relay on loopback, on a thread of its own, in front of a server's port: every
// connection to it is carried to the server with the round trip's delay.
class DelayRelay {
public:
    DelayRelay(quint16 serverPort, int roundTripMs)
    {
        m_thread.start();
        m_anchor.moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            &m_anchor,
            [this, serverPort, roundTripMs] {
                m_clock.start();
                m_listener = new QTcpServer;
                QObject::connect(m_listener, &QTcpServer::newConnection, m_listener,
                                 [this, serverPort, roundTripMs] {
                                     while (QTcpSocket* client =
                                                m_listener->nextPendingConnection())
                                         relay(client, serverPort, qint64(roundTripMs) * 500000);
                                 });
                if (m_listener->listen(QHostAddress::LocalHost))
                    m_port = m_listener->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~DelayRelay()
    {
        QMetaObject::invokeMethod(
            &m_anchor, [this] { delete m_listener; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_port; }

private:
    // The pair of sockets and its pipes go with the listener, or once both sides closed.
    void relay(QTcpSocket* client, quint16 serverPort, qint64 delayNs)
    {
        auto* server = new QTcpSocket(client);
        for (QTcpSocket* socket : {client, server})
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        new DelayedPipe(client, server, delayNs, &m_clock, client);
        new DelayedPipe(server, client, delayNs, &m_clock, client);
        auto closed = std::make_shared<int>(0);
        for (QTcpSocket* socket : {client, server}) {
            QObject::connect(socket, &QAbstractSocket::disconnected, client, [client, closed] {
                if (++*closed == 2)
                    client->deleteLater();
            });
        }
        server->connectToHost(QHostAddress::LocalHost, serverPort);
        client->setParent(m_listener);
    }

    QThread m_thread;
    QObject m_anchor;
    QElapsedTimer m_clock;
    QTcpServer* m_listener = nullptr;
    std::atomic<quint16> m_port = 0;
};

qint64 procStatusKb(const QByteArray& key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts the peak resident size afresh from the current one.
void resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

double clockSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double monotonicSeconds()
{
    return clockSeconds(CLOCK_MONOTONIC);
}

struct InstallResult {
    bool ok = false;
    double seconds = 0;
    qint64 longestGapMs = 0;
    double gapAtSeconds = 0;   // when the longest gap ended
    QString gapStage;          // the installer's stage then
    double monotonicStart = 0; // for matching profiles (perf record -k CLOCK_MONOTONIC)
    double monotonicEnd = 0;
    double mainThreadBusy = 0; // share of the wall time the main thread spent on the CPU
    qint64 peakKb = 0;
    qint64 riseKb = 0; // peak during the install over the resident size before it
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
    ticker.setInterval(1);
    QElapsedTimer wall;
    const auto noteGap = [&] {
        const qint64 gap = sinceTick.restart();
        if (gap <= result.longestGapMs)
            return;
        result.longestGapMs = gap;
        result.gapAtSeconds = double(wall.nsecsElapsed()) / 1e9;
        result.gapStage = installer.status().stage;
    };
    QObject::connect(&ticker, &QTimer::timeout, noteGap);

    const qint64 residentBefore = procStatusKb("VmRSS");
    resetPeakMemory();
    result.monotonicStart = monotonicSeconds();
    const double cpuBefore = clockSeconds(CLOCK_THREAD_CPUTIME_ID);
    wall.start();
    sinceTick.start();
    ticker.start();
    installer.install(gameDir, QStringLiteral("bench"));
    loop.exec();
    ticker.stop();
    noteGap();
    result.seconds = double(wall.nsecsElapsed()) / 1e9;
    result.monotonicEnd = monotonicSeconds();
    result.mainThreadBusy = (clockSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore) / result.seconds;
    result.peakKb = procStatusKb("VmHWM");
    result.riseKb = result.peakKb - residentBefore;
    return result;
}

// The wall seconds of one curl run over every served file, or -1.
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

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

// The medians of one object count against one server, for the summary.
struct Figures {
    QString protocol;
    int objects = 0;
    int roundTripMs = -1; // through the delaying relay; -1: straight to the server
    bool withCurl = false;
    double ratio = 0; // installer/curl, with the range of the runs
    double ratioLowest = 0;
    double ratioHighest = 0;
    double gap = 0; // longest interface-thread gap, ms
    double worstGap = 0;
    double busy = 0; // interface thread's share of the wall time, %
};

struct Options {
    QList<int> objectCounts{4000, 8000};
    int runs = 3;
    bool http1 = true;
    bool http2 = true;
    QList<int> roundTripsMs; // empty: straight to the server
    bool installerOnly = false;
};

// Alternating runs of the installer and curl against one server, through the relay with
// that round trip unless it is -1; false on a failure.
bool measure(const Options& options, BenchServer& server, int roundTripMs,
             SyntheticVersion& version, const TempHome& home, const QString& workDir,
             QList<Figures>* summary)
{
    std::unique_ptr<DelayRelay> relay;
    QString origin = server.origin();
    if (roundTripMs >= 0) {
        relay = std::make_unique<DelayRelay>(quint16(QUrl(origin).port()), roundTripMs);
        if (relay->port() == 0)
            return false;
        origin = QStringLiteral("https://127.0.0.1:%1").arg(relay->port());
    }
    if (!version.publish(origin))
        return false;
    server.serve(version);
    RemoteAddresses::setAllOriginsForTesting(origin);
    const int files = version.gameFileCount();
    const double megabytes = double(version.gameFileBytes()) / (1024.0 * 1024.0);
    const QString link =
        roundTripMs >= 0 ? QStringLiteral(", %1 ms round trip").arg(roundTripMs) : QString();
    std::printf("\n%s%s: %d files, %.1f MB\n", qPrintable(server.name()), qPrintable(link), files,
                megabytes);

    QList<double> installSeconds, curlSeconds, ratios, gaps, peaks, rises, busy;
    for (int run = 1; run <= options.runs; ++run) {
        const QString gameDir = workDir + QStringLiteral("/game");
        const QString curlDir = workDir + QStringLiteral("/curl");
        QDir(gameDir).removeRecursively();
        QDir(home.dataDir()).removeRecursively();
        // Each run starts without the previous one's writes still queued for the disk.
        ::sync();
        const InstallResult install = runInstaller(gameDir);
        if (!install.ok) {
            std::fprintf(stderr, "install failed: %s\n", qPrintable(install.message));
            return false;
        }
        installSeconds.append(install.seconds);
        gaps.append(double(install.longestGapMs));
        peaks.append(double(install.peakKb) / 1024.0);
        rises.append(double(install.riseKb) / 1024.0);
        busy.append(install.mainThreadBusy * 100);
        std::printf("  run %d installer: %.2f s, %.0f files/s, %.1f MB/s, longest gap %lld ms "
                    "(ended at %.2f s, stage \"%s\"), main thread busy %.0f %%, peak RSS %.0f MB "
                    "(+%.0f MB)\n",
                    run, install.seconds, files / install.seconds, megabytes / install.seconds,
                    static_cast<long long>(install.longestGapMs), install.gapAtSeconds,
                    qPrintable(install.gapStage), busy.last(), peaks.last(), rises.last());
        if (options.installerOnly) {
            std::printf("  run %d install window: %.6f to %.6f (monotonic)\n", run,
                        install.monotonicStart, install.monotonicEnd);
            continue;
        }

        QDir(curlDir).removeRecursively();
        QDir().mkpath(curlDir);
        ::sync();
        const double curl = runCurl(origin, version.servedFiles(), curlDir);
        if (curl < 0)
            return false;
        const int fetched = countFiles(curlDir + QStringLiteral("/files"));
        curlSeconds.append(curl);
        ratios.append(install.seconds / curl);
        std::printf("  run %d curl:      %.2f s, %.0f files/s, %.1f MB/s (%d files incl. "
                    "manifest and description), ratio %.2f\n",
                    run, curl, files / curl, megabytes / curl, fetched, ratios.last());
    }

    Figures figures;
    figures.protocol = server.protocol();
    figures.objects = version.objectCount();
    figures.roundTripMs = roundTripMs;
    figures.gap = median(gaps);
    figures.worstGap = *std::max_element(gaps.begin(), gaps.end());
    figures.busy = median(busy);
    if (!options.installerOnly) {
        figures.withCurl = true;
        figures.ratio = median(ratios);
        figures.ratioLowest = *std::min_element(ratios.begin(), ratios.end());
        figures.ratioHighest = *std::max_element(ratios.begin(), ratios.end());
    }
    summary->append(figures);

    const double install = median(installSeconds);
    std::printf("  median of %d: installer %.2f s, %.0f files/s, %.1f MB/s, longest gap %.0f ms "
                "(worst %.0f), main thread busy %.0f %%, peak RSS %.0f MB (+%.0f MB)\n",
                options.runs, install, files / install, megabytes / install, median(gaps),
                *std::max_element(gaps.begin(), gaps.end()), median(busy), median(peaks),
                median(rises));
    if (!options.installerOnly) {
        const double curl = median(curlSeconds);
        std::printf("  median of %d: curl %.2f s, %.0f files/s, %.1f MB/s; ratio "
                    "installer/curl %.2f (runs %.2f to %.2f)\n",
                    options.runs, curl, files / curl, megabytes / curl, median(ratios),
                    *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()));
    }
    return true;
}

// "a" or "a-b": the span of some figures.
QString span(QList<double> values, const char* format)
{
    std::sort(values.begin(), values.end());
    const QString low = QString::asprintf(format, values.first());
    const QString high = QString::asprintf(format, values.last());
    return low == high ? low : low + QLatin1Char('-') + high;
}

// Lines shaped as the rows of the table the targets are set in, ready to be set beside
// it: the ratios per object count and protocol, then per protocol the span over the
// object counts of the gap medians, of the worst gaps and of the busy medians.
void printSummary(const QList<Figures>& summary, int runs)
{
    std::printf("\n== summary (medians of %d runs; ranges over the runs, or over the object "
                "counts)\n",
                runs);
    for (const Figures& figures : summary) {
        if (!figures.withCurl)
            continue;
        const QString link = figures.roundTripMs >= 0
                                 ? QStringLiteral(", %1 ms round trip").arg(figures.roundTripMs)
                                 : QString();
        std::printf("install, %d objects, %s%s, installer / curl: %.2fx (%.2f-%.2f)\n",
                    figures.objects, qPrintable(figures.protocol), qPrintable(link), figures.ratio,
                    figures.ratioLowest, figures.ratioHighest);
    }
    QStringList protocols;
    for (const Figures& figures : summary) {
        if (!protocols.contains(figures.protocol))
            protocols.append(figures.protocol);
    }
    for (const QString& protocol : std::as_const(protocols)) {
        QList<double> gaps, worst, busy;
        for (const Figures& figures : summary) {
            if (figures.protocol != protocol)
                continue;
            gaps.append(figures.gap);
            worst.append(figures.worstGap);
            busy.append(figures.busy);
        }
        std::printf("longest interface-thread gap during an install, %s: %s ms median, %s ms "
                    "worst\n",
                    qPrintable(protocol), qPrintable(span(gaps, "%.0f")),
                    qPrintable(span(worst, "%.0f")));
        std::printf("interface thread busy during an install, %s: %s %%\n", qPrintable(protocol),
                    qPrintable(span(busy, "%.0f")));
    }
}

bool parseOptions(const QCoreApplication& app, Options* options)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption objects(QStringLiteral("objects"),
                                     QStringLiteral("Asset object counts, comma-separated."),
                                     QStringLiteral("counts"), QStringLiteral("4000,8000"));
    const QCommandLineOption runs(QStringLiteral("runs"),
                                  QStringLiteral("Alternating runs per count and server."),
                                  QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("http1, http2 or both (http2 needs nghttpd)."),
                                    QStringLiteral("kind"), QStringLiteral("both"));
    const QCommandLineOption roundTrips(
        QStringLiteral("rtt-ms"),
        QStringLiteral("Round trips in ms, comma-separated, each measured through a relay that "
                       "delays both directions by half of it."),
        QStringLiteral("ms"));
    const QCommandLineOption installerOnly(QStringLiteral("installer-only"),
                                           QStringLiteral("Leave curl out (for profiling)."));
    parser.addOptions({objects, runs, server, roundTrips, installerOnly});
    parser.process(app);

    const auto readList = [](const QString& text, int lowest, QList<int>* values) {
        values->clear();
        for (const QString& item : text.split(QLatin1Char(','))) {
            bool ok = false;
            const int value = item.toInt(&ok);
            if (!ok || value < lowest)
                return false;
            values->append(value);
        }
        return true;
    };
    if (!readList(parser.value(objects), 1, &options->objectCounts))
        return false;
    if (parser.isSet(roundTrips) && !readList(parser.value(roundTrips), 0, &options->roundTripsMs))
        return false;
    bool ok = false;
    options->runs = parser.value(runs).toInt(&ok);
    if (!ok || options->runs < 1)
        return false;
    const QString kind = parser.value(server);
    options->http1 = kind == QLatin1String("http1") || kind == QLatin1String("both");
    options->http2 = (kind == QLatin1String("http2") || kind == QLatin1String("both")) &&
                     Http2Server::isInstalled();
    if (kind != QLatin1String("http1") && !options->http2)
        std::fprintf(stderr, "nghttpd is not installed: no HTTP/2 figures\n");
    options->installerOnly = parser.isSet(installerOnly);
    return options->http1 || options->http2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!parseOptions(app, &options)) {
        std::fprintf(stderr, "bad options; see --help\n");
        return 2;
    }
    TempHome home;
    TestServer::trustTestCertificate();
    std::unique_ptr<TestServerThread> http1;
    if (options.http1)
        http1 = std::make_unique<TestServerThread>();
    std::unique_ptr<Http2Server> http2;
    if (options.http2) {
        http2 = std::make_unique<Http2Server>();
        if (!http2->choosePort())
            return 1;
    }

    QList<Figures> summary;
    for (const int objects : std::as_const(options.objectCounts)) {
        const QString workDir = home.path() + QStringLiteral("/objects%1").arg(objects);
        std::printf("\n== %d asset objects: generating the synthetic version...\n", objects);
        SyntheticVersion version(workDir + QStringLiteral("/source"), objects);
        if (!version.generate())
            return 1;
        const QList<int> roundTrips =
            options.roundTripsMs.isEmpty() ? QList<int>{-1} : options.roundTripsMs;
        for (BenchServer* server :
             {static_cast<BenchServer*>(http1.get()), static_cast<BenchServer*>(http2.get())}) {
            for (const int roundTrip : roundTrips) {
                if (server &&
                    !measure(options, *server, roundTrip, version, home, workDir, &summary))
                    return 1;
            }
        }
        QDir(workDir).removeRecursively();
    }
    printSummary(summary, options.runs);
    return 0;
}
