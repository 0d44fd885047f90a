#include "filesystemanswers.h"
#include "packledger.h"
#include "testhelpers.h"
#include "ziparchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

using TestHelpers::writeFile;

namespace {

// The entries of a pack that puts "the pack's" at each name.
QList<ZipEntryInfo> packEntries(const QStringList& names)
{
    const QByteArray data = "the pack's";
    QList<ZipEntryInfo> entries;
    for (const QString& name : names) {
        ZipEntryInfo entry;
        entry.name = name;
        entry.size = quint64(data.size());
        entry.crc = quint32(
            crc32_z(0, reinterpret_cast<const Bytef*>(data.constData()), size_t(data.size())));
        entries.append(entry);
    }
    return entries;
}

// Whether the file at path took its place later than the one at reference was written.
bool tookItsPlaceAfter(const QString& path, const QString& reference)
{
    struct stat file {};
    struct stat earlier {};
    return ::stat(QFile::encodeName(path).constData(), &file) == 0 &&
           ::stat(QFile::encodeName(reference).constData(), &earlier) == 0 &&
           (file.st_ctim.tv_sec != earlier.st_mtim.tv_sec
                ? file.st_ctim.tv_sec > earlier.st_mtim.tv_sec
                : file.st_ctim.tv_nsec > earlier.st_mtim.tv_nsec);
}

QByteArray packSums()
{
    return "10;" + QByteArray::number(packEntries({"x"}).first().crc, 16);
}

QByteArray placeLine(const QString& ledger)
{
    for (const QByteArray& line : TestHelpers::readFile(ledger).split('\n')) {
        if (line.startsWith("R "))
            return line.sliced(2);
    }
    return {};
}

QByteArray inodeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0
               ? QByteArray::number(quint64(info.st_ino))
               : QByteArray();
}

// Counts the times a file is opened while it lives. Its closes are watched too: the
// kernel folds an event into the one before when they are alike.
class Opens {
public:
    explicit Opens(const QString& path)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          m_watch(::inotify_add_watch(m_fd, QFile::encodeName(path).constData(),
                                      IN_OPEN | IN_CLOSE_NOWRITE))
    {
    }
    ~Opens() { ::close(m_fd); }
    Opens(const Opens&) = delete;
    Opens& operator=(const Opens&) = delete;

    bool isWatching() const { return m_fd >= 0 && m_watch >= 0; }
    int count() const
    {
        int opens = 0;
        alignas(struct inotify_event) char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
                opens += (event->mask & IN_OPEN) != 0;
                at += ssize_t(sizeof(struct inotify_event) + event->len);
            }
        }
        return opens;
    }

private:
    int m_fd;
    int m_watch;
};

} // namespace

class TestPackLedger : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString game() const { return m_dir.path() + "/game"; }
    QString ledger() const { return m_dir.path() + "/season.ledger"; }
    QString record() const { return m_dir.path() + "/season.json"; }

private slots:
    void init()
    {
        QDir(game()).removeRecursively();
        QFile::remove(ledger());
        QDir(ledger()).removeRecursively();
        QFile::remove(record());
        QFile::remove(m_dir.path() + "/link");
        QDir(m_dir.path() + "/other").removeRecursively();
        QVERIFY(QDir().mkpath(game()));
    }

    // Without a ledger the record's entries stand for it.
    void recordStandsInWithoutALedger()
    {
        QVERIFY(writeFile(record(), R"({"entries": ["mods/a.jar", "options.txt"]})"));
        QCOMPARE(PackLedger(ledger(), record(), game()).owned(),
                 QStringList({"mods/a.jar", "options.txt"}));
        QCOMPARE(PackLedger(ledger(), QString(), game()).owned(), QStringList());
    }

    // Names written to one game folder say nothing of another; a ledger or record that
    // names no folder speaks of the one in effect, and a link to the folder is the folder.
    void namesCountOnlyInTheirOwnFolder_data()
    {
        QTest::addColumn<QByteArray>("ledger"); // %1: the folder's path
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("folderInEffect"); // relative to the temporary folder
        QTest::addColumn<bool>("counted");
        const QByteArray whole = "D %1\nF a.txt\nE\n";
        const QByteArray recorded = R"({"entries": ["a.txt"], "gameDir": "%1"})";
        const QByteArray noLedger;
        QTest::newRow("ledger, same folder") << whole << noLedger << "game" << true;
        QTest::newRow("ledger, through a link") << whole << noLedger << "link" << true;
        QTest::newRow("ledger, another folder") << whole << noLedger << "other" << false;
        QTest::newRow("record, same folder") << noLedger << recorded << "game" << true;
        QTest::newRow("record, another folder") << noLedger << recorded << "other" << false;
        QTest::newRow("empty ledger, record of another folder")
            << QByteArray("") << recorded << "other" << false;
        QTest::newRow("older ledger, no folder")
            << QByteArray("F a.txt\nE\n") << noLedger << "other" << true;
        QTest::newRow("older record, no folder")
            << noLedger << QByteArray(R"({"entries": ["a.txt"]})") << "other" << true;
        QTest::newRow("ledger of another folder cut short, older record")
            << QByteArray("D %1\nF b.txt\n") << QByteArray(R"({"entries": ["a.txt"]})") << "other"
            << false;
        QTest::newRow("ledger of this folder cut short, older record")
            << QByteArray("D %1\nF b.txt\n") << QByteArray(R"({"entries": ["a.txt"]})") << "game"
            << true;
    }

    void namesCountOnlyInTheirOwnFolder()
    {
        QFETCH(QByteArray, ledger);
        QFETCH(QByteArray, record);
        QFETCH(QString, folderInEffect);
        QFETCH(bool, counted);
        const QByteArray folder = QFile::encodeName(game());
        QVERIFY(QFile::link(game(), m_dir.path() + "/link"));
        const QString inEffect = m_dir.path() + "/" + folderInEffect;
        for (const QString& root : {game(), m_dir.path() + "/other"})
            QVERIFY(writeFile(root + "/a.txt", "a"));
        if (!ledger.isNull())
            QVERIFY(writeFile(this->ledger(), QByteArray(ledger).replace("%1", folder)));
        if (!record.isNull())
            QVERIFY(writeFile(this->record(), QByteArray(record).replace("%1", folder)));

        QCOMPARE(PackLedger(this->ledger(), this->record(), inEffect).owned(),
                 counted ? QStringList{"a.txt"} : QStringList());
    }

    // A killed application: what it wrote counts, a name it claimed but never reached
    // does not, whether nothing or a player's file stood there, also once the player's file
    // stands anew (re-extracted, saved by rename, its device numbered anew), and neither
    // does a claim cut short or one that does not say what the pack puts there.
    void killedApplicationCountsWhatItWrote()
    {
        QVERIFY(writeFile(game() + "/old.txt", "an earlier pack's"));
        QVERIFY(writeFile(game() + "/gone.txt", "an earlier pack's"));
        QVERIFY(writeFile(game() + "/options.txt", "the player's"));
        QVERIFY(writeFile(game() + "/mods/overwritten.jar", "the player's"));
        {
            PackLedger running(ledger(), record(), game());
            QVERIFY(running.begin({"old.txt", "gone.txt"}));
            QVERIFY(QFile::remove(game() + "/gone.txt"));
            const QString odd = "odd\n%name";
            QVERIFY(running.claim(packEntries(
                {"mods/new.jar", "mods/overwritten.jar", odd, "options.txt", "mods/never.jar"})));
            QVERIFY(writeFile(game() + "/mods/new.jar", "the pack's"));
            QVERIFY(writeFile(game() + "/mods/overwritten.jar.part", "the pack's"));
            QVERIFY(QFile::remove(game() + "/mods/overwritten.jar"));
            QVERIFY(QFile::rename(game() + "/mods/overwritten.jar.part",
                                  game() + "/mods/overwritten.jar"));
            QVERIFY(writeFile(game() + "/" + odd, "the pack's"));
        }
        QVERIFY(writeFile(game() + "/options.txt.new", "the player's, edited"));
        QVERIFY(QFile::remove(game() + "/options.txt"));
        QVERIFY(QFile::rename(game() + "/options.txt.new", game() + "/options.txt"));
        // The player's copy of the pack's file, claimed before the device was numbered anew.
        QVERIFY(writeFile(game() + "/same.txt", "the pack's"));
        struct stat same {};
        QVERIFY(::stat(QFile::encodeName(game() + "/same.txt").constData(), &same) == 0);
        QFile file(ledger());
        QVERIFY(file.open(QIODevice::Append));
        file.write("C " + QByteArray::number(quint64(same.st_dev) + 1) + ":" +
                   QByteArray::number(quint64(same.st_ino)) + ";10;" +
                   QByteArray::number(packEntries({"x"}).first().crc, 16) + " same.txt\n");
        file.write("C - mods/old\n");
        file.write("C - mods/cut");
        file.close();
        QVERIFY(writeFile(game() + "/mods/old", "the pack's"));
        QVERIFY(writeFile(game() + "/mods/cut", "the player's"));

        QCOMPARE(PackLedger(ledger(), record(), game()).owned(),
                 QStringList({"old.txt", "mods/new.jar", "mods/overwritten.jar", "odd\n%name"}));
    }

    void damagedLedgerAddsTheRecordsFilesInPlace_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("owned");
        QTest::newRow("whole") << QByteArray("F mods/c.jar\nE\n") << QStringList{"mods/c.jar"};
        QTest::newRow("empty") << QByteArray() << QStringList{"mods/a.jar"};
        QTest::newRow("cut") << QByteArray("F mods/c.jar\nF mods/")
                             << QStringList({"mods/c.jar", "mods/a.jar"});
        QTest::newRow("unreadable") << QByteArray("a folder") << QStringList{"mods/a.jar"};
    }

    // A ledger that no longer tells all the packs wrote is eked out by the record of the
    // last whole application: the files it names that are still in place, not a player's
    // file put at one of its names since.
    void damagedLedgerAddsTheRecordsFilesInPlace()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, owned);
        QVERIFY(writeFile(game() + "/mods/a.jar", "the pack's"));
        QVERIFY(writeFile(game() + "/mods/c.jar", "the pack's"));
        QVERIFY(writeFile(record(), R"({"entries": ["mods/a.jar", "mods/b.jar", "options.txt"]})"));
        const QString options = game() + "/options.txt";
        QTRY_VERIFY(writeFile(options, "the player's") && tookItsPlaceAfter(options, record()));
        if (content == "a folder")
            QVERIFY(QDir().mkpath(ledger()));
        else
            QVERIFY(writeFile(ledger(), content));
        QCOMPARE(PackLedger(ledger(), record(), game()).owned(), owned);
    }

    // Settled, the ledger names the files of those given that stand.
    void settledLedgerNamesWhatStands()
    {
        QVERIFY(writeFile(game() + "/a.txt", "a"));
        PackLedger running(ledger(), record(), game());
        QVERIFY(running.begin({}));
        QVERIFY(running.claim(packEntries({"a.txt", "b.txt"})));
        running.settle({"a.txt", "b.txt", "a.txt"});
        const QByteArray sums = packSums();
        QCOMPARE(TestHelpers::readFile(ledger()), "D " + QFile::encodeName(game()) + "\nR " +
                                                      PackLedger::placeOf(game()).toUtf8() +
                                                      "\nF a.txt\nS " + sums + " a.txt\nE\n");
        QCOMPARE(PackLedger(ledger(), record(), game()).owned(), QStringList{"a.txt"});
    }

    void folderOnceAtThisPathIsSettledAndDropped_data()
    {
        QTest::addColumn<long>("fileSystem"); // what statfs answers for the folder; 0: its own
        QTest::addColumn<QByteArray>("inodeWritten"); // "another": not the folder's own
        QTest::addColumn<QStringList>("owned");
        const QStringList both{"changed.txt", "same.txt"};
        const QStringList packsBytes{"same.txt"};
        const QByteArray another = "another";
        const QByteArray noInode = "-";
        QTest::newRow("FAT, an earlier mount's inode")
            << long(MSDOS_SUPER_MAGIC) << another << both;
        QTest::newRow("exFAT, an earlier mount's inode")
            << long(EXFAT_SUPER_MAGIC) << another << both;
        QTest::newRow("FUSE, an earlier mount's inode")
            << long(FUSE_SUPER_MAGIC) << another << both;
        QTest::newRow("FAT, no inode") << long(MSDOS_SUPER_MAGIC) << noInode << both;
        QTest::newRow("inodes kept, another folder put at the path") << 0L << another << packsBytes;
        QTest::newRow("inodes kept, a FAT folder was at the path") << 0L << noInode << packsBytes;
    }

    // The list of a folder that stood at this one's real path: where inodes are numbered
    // anew at every mount, it is this folder's, the file the game changed since counting
    // too; where they are kept, only the file that holds what the pack wrote counts. Either
    // way the folder keeps one list, and another folder's list stays.
    void folderOnceAtThisPathIsSettledAndDropped()
    {
        QFETCH(long, fileSystem);
        QFETCH(QByteArray, inodeWritten);
        QFETCH(QStringList, owned);
        std::optional<FileSystemAnswers::FileSystemType> answer;
        if (fileSystem != 0)
            answer.emplace(game(), fileSystem);
        const QString other = m_dir.path() + "/other";
        QVERIFY(writeFile(game() + "/changed.txt", "the game's"));
        QVERIFY(writeFile(game() + "/same.txt", "the pack's"));
        QVERIFY(writeFile(other + "/a.txt", "the pack's"));
        const QByteArray real = QFile::encodeName(QFileInfo(game()).canonicalFilePath());
        const QByteArray inode = inodeWritten == "another"
                                     ? QByteArray::number(inodeOf(game()).toULongLong() + 1)
                                     : inodeWritten;
        const QByteArray sums = packSums();
        QVERIFY(writeFile(
            ledger(), "D " + QFile::encodeName(game()) + "\nR " + inode + ";" + real +
                          "\nF changed.txt\nS " + sums + " changed.txt\nF same.txt\nS " + sums +
                          " same.txt\nE\nO " + QFile::encodeName(other) + "\nR " + inodeOf(other) +
                          ";" + QFile::encodeName(other) + "\nN a.txt\nS " + sums + " a.txt\n"));

        PackLedger application(ledger(), record(), game());
        QCOMPARE(application.owned(), owned);
        QVERIFY(application.begin(owned));
        application.settle({});
        QCOMPARE(TestHelpers::ledgerFolders(ledger()), QStringList({game(), other}));
        QCOMPARE(placeLine(ledger()),
                 (fileSystem != 0 ? QByteArray("-") : inodeOf(game())) + ";" + real);
    }

    void eachFileIsReadOnce_data()
    {
        // %1: the folder, %2: its place, %3: its real path, %s: what the pack wrote
        QTest::addColumn<QByteArray>("ledger");
        const QByteArray elsewhere = "O /nowhere/b\nR 2;/nowhere/b\nN a.txt\nS %s a.txt\n"
                                     "O /nowhere/c\nR 3;/nowhere/c\nN a.txt\nS %s a.txt\n";
        QTest::newRow("lists of other folders")
            << "D /nowhere/a\nR 1;/nowhere/a\nF a.txt\nS %s a.txt\nE\n" + elsewhere;
        QTest::newRow("a claim and other folders' lists")
            << "D %1\nR %2\nE\n" + elsewhere + "C 1:1;%s a.txt\n";
        QTest::newRow("lists of folders once at this path")
            << QByteArray("D %1\nR 1;%3\nF a.txt\nS %s a.txt\nE\nO %1\nR 2;%3\nN a.txt\nS %s "
                          "a.txt\nO %1\nR 3;%3\nN a.txt\nS %s a.txt\n");
    }

    // However many lists name a file, reading the ledger checksums it once.
    void eachFileIsReadOnce()
    {
        QFETCH(QByteArray, ledger);
        QVERIFY(writeFile(game() + "/a.txt", "the pack's"));
        const QString real = QFileInfo(game()).canonicalFilePath();
        QVERIFY(writeFile(this->ledger(), ledger.replace("%1", QFile::encodeName(game()))
                                              .replace("%2", PackLedger::placeOf(game()).toUtf8())
                                              .replace("%3", QFile::encodeName(real))
                                              .replace("%s", packSums())));
        PackLedger application(this->ledger(), record(), game());
        const Opens opens(game() + "/a.txt");
        QVERIFY(opens.isWatching());
        QCOMPARE(application.owned(), QStringList{"a.txt"});
        QCOMPARE(opens.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPackLedger)
#include "tst_packledger.moc"
