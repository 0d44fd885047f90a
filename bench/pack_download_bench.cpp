// Downloads a 500 MiB seasonal pack from the loopback HTTPS server with the pack
// downloader (hashed while it streams, saved through a save-file, committed only with
// the right SHA-256), then fetches the same file with `curl -o` followed by
// `sha256sum`, for several rounds. Prints every round, the best and median wall times
// of both, their ratio, and the downloader's peak memory growth.
//
// The server is this program started again with --serve, so that both clients meet
// the same server and the memory figures are the downloader's alone.
//
//   pack_download_bench [rounds]

#include "seasonalpackdownloader.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 kPackBytes = 500ll * 1024 * 1024;
constexpr qint64 kBlockBytes = 4 * 1024 * 1024;
constexpr int kDefaultRounds = 5;

// Serves the file at /pack.zip until standard input closes.
int serve(const QString& path)
{
    TestServer server;
    server.route(QStringLiteral("/pack.zip"), TestReply::file(path));
    std::printf("%s\n", qPrintable(server.origin()));
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return QCoreApplication::exec();
}

// Random content, so nothing on the way can compress it; returns its SHA-256.
QString writePack(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(kBlockBytes, Qt::Uninitialized);
    QRandomGenerator random(20250901);
    for (qint64 written = 0; written < kPackBytes; written += block.size()) {
        random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        hash.addData(block);
        if (file.write(block) != block.size())
            return {};
    }
    return QString::fromLatin1(hash.result().toHex());
}

qint64 statusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// From here on VmHWM tells the peak since this moment.
bool resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

struct Round {
    double seconds = -1;
    qint64 peakGrowthKb = -1;
};

Round runDownloader(const QUrl& url, const QString& target, const QString& sha256)
{
    SeasonalPackDownloader downloader;
    QEventLoop loop;
    bool saved = false;
    QObject::connect(&downloader, &SeasonalPackDownloader::finished, &loop, [&] {
        saved = true;
        loop.quit();
    });
    QObject::connect(&downloader, &SeasonalPackDownloader::failed, &loop,
                     [&](const QString&, const QString& message) {
                         std::fprintf(stderr, "download failed: %s\n", qPrintable(message));
                         loop.quit();
                     });
    const bool peakKnown = resetPeakRss();
    const qint64 baseKb = statusKb("VmRSS:");
    QElapsedTimer wall;
    wall.start();
    downloader.download(url, target, sha256, kPackBytes, QStringLiteral("bench"));
    loop.exec();
    Round round;
    if (!saved)
        return round;
    round.seconds = double(wall.nsecsElapsed()) / 1e9;
    if (peakKnown)
        round.peakGrowthKb = statusKb("VmHWM:") - baseKb;
    return round;
}

bool runTool(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     process.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

double runCurl(const QUrl& url, const QString& target, const QString& sha256)
{
    QElapsedTimer wall;
    wall.start();
    QByteArray sum;
    if (!runTool(QStringLiteral("curl"),
                 {QStringLiteral("--silent"), QStringLiteral("--show-error"),
                  QStringLiteral("--fail"), QStringLiteral("--cacert"),
                  TestServer::caCertificatePath(), QStringLiteral("-o"), target, url.toString()}) ||
        !runTool(QStringLiteral("sha256sum"), {target}, &sum))
        return -1;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    if (!sum.startsWith(sha256.toLatin1())) {
        std::fprintf(stderr, "curl fetched another file\n");
        return -1;
    }
    return seconds;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

double megabytesPerSecond(double seconds)
{
    return double(kPackBytes) / (1024.0 * 1024.0) / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--serve"))
        return serve(arguments.at(2));
    const int rounds = arguments.size() > 1 ? std::max(1, arguments.at(1).toInt()) : kDefaultRounds;

    TempHome home;
    const QString source = home.path() + QStringLiteral("/served/pack.zip");
    const QString ours = home.path() + QStringLiteral("/builds/1/.pack-r1.zip");
    const QString theirs = home.path() + QStringLiteral("/curl/pack.zip");
    QDir().mkpath(home.path() + QStringLiteral("/served"));
    QDir().mkpath(home.path() + QStringLiteral("/curl"));
    std::printf("writing a %lld MiB pack...\n", kPackBytes / (1024 * 1024));
    const QString sha256 = writePack(source);
    if (sha256.isEmpty())
        return 1;

    QProcess server;
    server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve"), source});
    if (!server.waitForReadyRead(10000))
        return 1;
    const QUrl url(QString::fromLatin1(server.readLine().trimmed()) + QStringLiteral("/pack.zip"));
    TestServer::trustTestCertificate();

    QList<double> ourTimes;
    QList<double> curlTimes;
    qint64 worstGrowthKb = 0;
    for (int i = 1; i <= rounds; ++i) {
        QFile::remove(ours);
        QFile::remove(theirs);
        // Each client starts without the other's writes still queued for the disk.
        ::sync();
        const Round round = runDownloader(url, ours, sha256);
        ::sync();
        const double curlSeconds = runCurl(url, theirs, sha256);
        if (round.seconds < 0 || curlSeconds < 0)
            return 1;
        ourTimes.append(round.seconds);
        curlTimes.append(curlSeconds);
        worstGrowthKb = std::max(worstGrowthKb, round.peakGrowthKb);
        std::printf("round %d: downloader %.2f s (%.0f MiB/s), peak RSS growth %.1f MiB; "
                    "curl -o + sha256sum %.2f s (%.0f MiB/s)\n",
                    i, round.seconds, megabytesPerSecond(round.seconds),
                    round.peakGrowthKb / 1024.0, curlSeconds, megabytesPerSecond(curlSeconds));
    }
    server.closeWriteChannel();
    server.waitForFinished(5000);

    const double ourBest = *std::min_element(ourTimes.begin(), ourTimes.end());
    const double curlBest = *std::min_element(curlTimes.begin(), curlTimes.end());
    std::printf("downloader: best %.2f s, median %.2f s\n", ourBest, median(ourTimes));
    std::printf("curl -o + sha256sum: best %.2f s, median %.2f s\n", curlBest, median(curlTimes));
    std::printf("ratio downloader/curl: best %.2f, median %.2f\n", ourBest / curlBest,
                median(ourTimes) / median(curlTimes));
    std::printf("largest peak RSS growth of the downloader: %.1f MiB\n", worstGrowthKb / 1024.0);
    return 0;
}
