// Time from exec to the first frame on screen and the resident memory once
// idle, for the built launcher and for a floor program of the same stack
// (startup_floor), in turns, on a virtual X display.
//
// The first frame is read from the scene graph's own render-loop log, which
// both programs write when QT_LOGGING_RULES asks for it: the first "frame
// rendered" whose pass did not skip rendering (the first pass often runs
// before the window has a surface). The launcher gets no option of its own.
//
// Usage: startup_bench [runs]   (re-runs itself under xvfb-run when no display)
#include "testhelpers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>

namespace {

constexpr int kIdleMs = 3000;

struct Sample {
    double firstFrameMs = -1;
    qint64 rssKb = -1;
};

QString statusField(qint64 pid, const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return QString::fromLatin1(line.mid(field.size() + 1)).trimmed();
    return QString();
}

// Resident memory of the process and every process below it (the web engine
// may start helpers).
qint64 treeRssKb(qint64 root)
{
    qint64 total = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        for (qint64 walk = pid; walk > 1;) {
            if (walk == root) {
                total += statusField(pid, "VmRSS").section(QLatin1Char(' '), 0, 0).toLongLong();
                break;
            }
            walk = statusField(walk, "PPid").toLongLong();
        }
    }
    return total;
}

Sample measure(const QString& program, const QString& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("HOLLOWMERE_HOME"), home);
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                       QStringLiteral("qt.scenegraph.renderloop=true;"
                                      "qt.scenegraph.time.renderloop=true"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);

    Sample sample;
    QElapsedTimer clock;
    clock.start();
    // Neither program may reach the network; both start the same way.
    const QStringList command = TestHelpers::withoutNetwork(program);
    process.start(command.constFirst(), command.mid(1));
    if (!process.waitForStarted())
        return sample;
    bool skipped = false;
    QByteArray pending;
    const QDeadlineTimer deadline(60000);
    while (sample.firstFrameMs < 0 && !deadline.hasExpired() &&
           process.state() == QProcess::Running) {
        if (!process.waitForReadyRead(100))
            continue;
        pending += process.readAll();
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            if (line.contains("syncAndRender: start"))
                skipped = false;
            else if (line.contains("skipping render") || line.contains("render aborted"))
                skipped = true;
            else if ((line.contains("syncAndRender: frame rendered") && !skipped) ||
                     line.contains("Frame rendered with 'basic' renderloop")) {
                sample.firstFrameMs = clock.nsecsElapsed() / 1e6;
                break;
            }
        }
    }
    if (sample.firstFrameMs >= 0) {
        // Keep draining the log so the program never blocks on a full pipe.
        const QDeadlineTimer idle(kIdleMs);
        while (!idle.hasExpired())
            if (process.waitForReadyRead(50))
                process.readAll();
        sample.rssKb = treeRssKb(process.processId());
    }
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
    return sample;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QProcess::execute(
            QStringLiteral("xvfb-run"),
            QStringList{QStringLiteral("-a"), QStringLiteral("-s"),
                        QStringLiteral("-screen 0 1600x900x24 -nolisten tcp")} +
                application.arguments());

    const int runs = std::max(1, application.arguments().value(1, QStringLiteral("7")).toInt());
    const QList<std::pair<QString, QString>> programs = {
        {QStringLiteral("hollowmere"), QStringLiteral(HM_APP_BINARY)},
        {QStringLiteral("floor"), QStringLiteral(HM_FLOOR_BINARY)},
    };
    // One data directory for the whole run: the warm-up start is the
    // launcher's first start, the measured ones are ordinary starts.
    QTemporaryDir home;
    for (const auto& [name, path] : programs)
        measure(path, home.path());

    QList<double> frames[2];
    QList<double> memory[2];
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            // Alternate who goes first so neither always finds a warmer cache.
            const int which = (run + turn) % 2;
            const Sample sample = measure(programs.at(which).second, home.path());
            out << QStringLiteral("run %1 %2: first frame %3 ms, idle RSS %4 MB")
                       .arg(run + 1)
                       .arg(programs.at(which).first, -10)
                       .arg(sample.firstFrameMs, 0, 'f', 1)
                       .arg(sample.rssKb / 1024.0, 0, 'f', 1)
                << Qt::endl;
            if (sample.firstFrameMs >= 0) {
                frames[which].append(sample.firstFrameMs);
                memory[which].append(sample.rssKb / 1024.0);
            }
        }
    }
    for (int which = 0; which < 2; ++which)
        out << QStringLiteral("median %1: first frame %2 ms, idle RSS %3 MB (%4 runs)")
                   .arg(programs.at(which).first, -10)
                   .arg(median(frames[which]), 0, 'f', 1)
                   .arg(median(memory[which]), 0, 'f', 1)
                   .arg(frames[which].size())
            << Qt::endl;
    out << QStringLiteral("ratio hollowmere / floor: first frame %1, idle RSS %2")
               .arg(median(frames[0]) / median(frames[1]), 0, 'f', 2)
               .arg(median(memory[0]) / median(memory[1]), 0, 'f', 2)
        << Qt::endl;
    return frames[0].isEmpty() || frames[1].isEmpty() ? 1 : 0;
}
