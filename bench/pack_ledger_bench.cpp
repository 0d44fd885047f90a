// Applies a large pack's names through a build's ledger in one game folder that is made
// again at its path before each application (its inode changes, as a remount does on a
// file system that numbers inodes anew), and prints, for each application, how long the
// ledger's reading of the packs' files (owned()) took and how many folder lists the ledger
// holds afterwards: once on the file system of the temporary folder, which keeps its inode
// numbers, and once with the folder answering that it is FAT, which does not.
//
// Usage: pack_ledger_bench [files] [KiB per file] [rounds]

#include "filesystemanswers.h"
#include "packledger.h"
#include "testhelpers.h"
#include "ziparchive.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <optional>

#include <linux/magic.h>

namespace {

// The folder made again at its path, holding the same files. The folder it replaces is
// kept aside, so that no later one is given its inode again: each is numbered anew, as a
// remount does on a file system that numbers inodes anew.
bool remake(const QString& folder, int round)
{
    const QString aside = folder + QStringLiteral(".r") + QString::number(round);
    if (!QFile::rename(folder, aside) || !QDir().mkpath(folder))
        return false;
    const QStringList names = QDir(aside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (!QFile::rename(aside + QLatin1Char('/') + name, folder + QLatin1Char('/') + name))
            return false;
    }
    return true;
}

struct Pack {
    QList<ZipEntryInfo> entries;
    QStringList names;
};

// Writes the pack's files into the game folder as an application would have.
std::optional<Pack> writePack(const QString& game, int files, int kib)
{
    Pack pack;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("mods/m%1.jar").arg(i);
        QByteArray data(qsizetype(kib) * 1024, char('a' + i % 26));
        data.replace(0, 8, QByteArray::number(i).rightJustified(8, '0'));
        ZipEntryInfo entry;
        entry.name = name;
        entry.size = quint64(data.size());
        entry.crc = ZipWriter::crc32(data);
        pack.entries.append(entry);
        pack.names.append(name);
        QFile file(game + QLatin1Char('/') + name);
        if (!QDir().mkpath(game + QStringLiteral("/mods")) || !file.open(QIODevice::WriteOnly) ||
            file.write(data) != data.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return std::nullopt;
        }
    }
    return pack;
}

bool applyRounds(const QString& folder, const Pack& pack, int rounds)
{
    const QString game = folder + QStringLiteral("/game");
    const QString ledger = folder + QStringLiteral("/season.ledger");
    for (int round = 0; round <= rounds; ++round) {
        if (round > 0 && !remake(game, round)) {
            std::fprintf(stderr, "cannot make the folder again\n");
            return false;
        }
        PackLedger application(ledger, QString(), game);
        QElapsedTimer clock;
        clock.start();
        const QStringList owned = application.owned();
        const double readMs = double(clock.nsecsElapsed()) / 1e6;
        if (!application.begin(owned) || !application.claim(pack.entries)) {
            std::fprintf(stderr, "cannot write the ledger\n");
            return false;
        }
        application.settle(pack.names);
        std::printf("after %2d folders made again: owned() %8.1f ms (%d names), %d lists after\n",
                    round, readMs, int(owned.size()),
                    int(TestHelpers::ledgerFolders(ledger).size()));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 160;
    const int kib = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 1024;
    const int rounds = argc > 3 ? std::max(1, QByteArray(argv[3]).toInt()) : 12;
    std::printf("pack: %d files, %.0f MB; folder made again before each application\n", files,
                double(files) * kib / 1024.0);
    for (const bool fat : {false, true}) {
        QTemporaryDir dir;
        const std::optional<Pack> pack =
            writePack(dir.path() + QStringLiteral("/game"), files, kib);
        if (!pack)
            return 1;
        std::optional<FileSystemAnswers::FileSystemType> answer;
        if (fat)
            answer.emplace(dir.path(), MSDOS_SUPER_MAGIC);
        std::printf("%s\n", fat ? "FAT (inodes numbered anew at every mount):"
                                : "this file system (inodes kept):");
        if (!applyRounds(dir.path(), *pack, rounds))
            return 1;
    }
    return 0;
}
