// Writes and reads back archives the size of a large game directory and prints the times.
//   bench_ziparchive [files] [--large]
// files: number of 1 KiB files to archive (default 100000); --large also writes an archive
// over 4 GiB (a 4.5 GiB stored entry followed by a small one) and reads it back.

#include "ziparchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

namespace {
QTextStream out(stdout);

bool fail(const QString& message)
{
    out << "FAILED: " << message << Qt::endl;
    return false;
}

// Accepts written data, counting it and checking that it is all zeros.
class ZeroSink : public QIODevice {
public:
    qint64 total = 0;
    bool allZero = true;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override
    {
        for (qint64 i = 0; i < length && allZero; ++i)
            allZero = data[i] == 0;
        total += length;
        return length;
    }
};

bool manyFiles(const QString& dir, int count)
{
    QElapsedTimer timer;
    timer.start();
    const QByteArray content(1024, 'c');
    for (int i = 0; i < count; ++i) {
        const QString subdir = dir + QStringLiteral("/game/d%1").arg(i / 1000);
        if (i % 1000 == 0)
            QDir().mkpath(subdir);
        QFile file(subdir + QStringLiteral("/f%1.txt").arg(i));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return fail(file.errorString());
    }
    out << "created " << count << " files of 1 KiB: " << timer.restart() << " ms" << Qt::endl;

    const QString zipPath = dir + QStringLiteral("/many.zip");
    ZipArchive writer;
    QString error;
    if (!writer.create(zipPath, &error))
        return fail(error);
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("d%1/f%2.txt").arg(i / 1000).arg(i);
        if (!writer.addFile(name, dir + QStringLiteral("/game/") + name, &error))
            return fail(error);
    }
    const qint64 added = timer.restart();
    if (!writer.close(&error))
        return fail(error);
    out << "archived (deflate): add " << added << " ms, write " << timer.restart() << " ms, "
        << QFileInfo(zipPath).size() / 1024 << " KiB" << Qt::endl;

    ZipArchive reader;
    if (!reader.open(zipPath, &error))
        return fail(error);
    out << "opened and listed " << reader.entryCount() << " entries: " << timer.restart() << " ms"
        << Qt::endl;
    const QString target = dir + QStringLiteral("/restored");
    for (const ZipEntryInfo& entry : reader.entries()) {
        const QString path = target + QLatin1Char('/') + entry.name;
        if (entry.index % 1000 == 0)
            QDir().mkpath(QFileInfo(path).absolutePath());
        if (!reader.extractEntry(entry.index, path, &error))
            return fail(error);
    }
    out << "extracted all entries: " << timer.restart() << " ms" << Qt::endl;
    return true;
}

bool largeArchive(const QString& dir)
{
    constexpr qint64 bigSize = 4608LL * 1024 * 1024;
    const QString bigPath = dir + QStringLiteral("/big.bin");
    QFile big(bigPath);
    if (!big.open(QIODevice::WriteOnly) || !big.resize(bigSize))
        return fail(big.errorString());
    big.close();

    QElapsedTimer timer;
    timer.start();
    const QString zipPath = dir + QStringLiteral("/large.zip");
    ZipArchive writer;
    QString error;
    ZipEntryOptions stored;
    stored.compression = ZipCompression::Store;
    if (!writer.create(zipPath, &error) || !writer.addFile("big.bin", bigPath, &error, stored) ||
        !writer.addData("after.txt", "after", &error) || !writer.close(&error))
        return fail(error);
    QFile::remove(bigPath);
    out << "wrote a " << QFileInfo(zipPath).size() / (1024 * 1024)
        << " MiB archive: " << timer.restart() << " ms" << Qt::endl;

    ZipArchive reader;
    if (!reader.open(zipPath, &error))
        return fail(error);
    if (reader.entryCount() != 2 || reader.entries().at(0).size != quint64(bigSize) ||
        reader.readEntry(1, &error) != "after")
        return fail(QStringLiteral("unexpected entries: %1").arg(error));
    ZeroSink sink;
    sink.open(QIODevice::WriteOnly);
    if (!reader.extractEntry(0, &sink, &error))
        return fail(error);
    if (sink.total != bigSize || !sink.allZero)
        return fail(QStringLiteral("the large entry did not read back"));
    out << "read back the 4.5 GiB entry (CRC checked): " << timer.restart() << " ms" << Qt::endl;
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int count = 100000;
    for (const QString& arg : args.mid(1))
        if (arg.toInt() > 0)
            count = arg.toInt();
    QTemporaryDir dir;
    if (!dir.isValid() || !manyFiles(dir.path(), count))
        return 1;
    if (args.contains(QStringLiteral("--large")) && !largeArchive(dir.path()))
        return 1;
    return 0;
}
