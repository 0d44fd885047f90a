#include "stagedfile.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <functional>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using TestHelpers::readFile;

namespace {

enum class Taken { No, ByFile, BySymlink };

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

constexpr uid_t kNobody = 65534;
constexpr int kCannotGiveUpRoot = 125;

// The tests run as root, whom no folder's mode stops: `work` runs in a child process that
// has become an ordinary user, and its exit code comes back; -1 when the child could not
// give up root. The child stays dumpable as a player's own process is, so its descriptors
// in /proc stay its own.
int asOrdinaryUser(const std::function<int()>& work)
{
    if (::geteuid() != 0)
        return work();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 ||
            ::prctl(PR_SET_DUMPABLE, 1) != 0)
            ::_exit(kCannotGiveUpRoot);
        ::_exit(work());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status) == kCannotGiveUpRoot ? -1 : WEXITSTATUS(status);
}

} // namespace

class TestStagedFile : public QObject {
    Q_OBJECT

private slots:
    void takesItsNameWholeOrLeavesNothing_data();
    void takesItsNameWholeOrLeavesNothing();
    void failsWithTheSystemsReason();
    void savesInAFolderItsOwnerMayNotList_data();
    void savesInAFolderItsOwnerMayNotList();
    void cleanup() { StagedFile::useHiddenNamesForTesting(false); }
};

void TestStagedFile::takesItsNameWholeOrLeavesNothing_data()
{
    QTest::addColumn<bool>("hiddenOnly"); // as on file systems without unnamed files
    QTest::addColumn<bool>("unnamed");
    QTest::addColumn<bool>("flushOnPublish");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<Taken>("taken");
    QTest::addColumn<bool>("publish");
    // The temporary name that shows while the file is written; empty: none shows.
    QTest::addColumn<QString>("shownAs");

    const QString none;
    const QString part = QStringLiteral(".part-");
    const QString suffixed = QStringLiteral("file.bin.");
    const QString hidden = QStringLiteral(".file.bin.");
    QTest::newRow("unnamed, new name")
        << false << true << false << none << Taken::No << true << none;
    QTest::newRow("unnamed, replaces")
        << false << true << false << none << Taken::ByFile << true << none;
    QTest::newRow("unnamed, replaces a link")
        << false << true << false << part << Taken::BySymlink << true << none;
    QTest::newRow("unnamed, discarded")
        << false << true << false << none << Taken::ByFile << false << none;
    QTest::newRow("unnamed, flushed")
        << false << true << true << none << Taken::ByFile << true << none;
    QTest::newRow("hidden, new name")
        << true << true << false << none << Taken::No << true << hidden;
    QTest::newRow("hidden, replaces")
        << true << true << false << none << Taken::ByFile << true << hidden;
    QTest::newRow("hidden, discarded")
        << true << true << false << none << Taken::ByFile << false << hidden;
    QTest::newRow("hidden, own prefix, replaces a link")
        << true << true << false << part << Taken::BySymlink << true << part;
    QTest::newRow("named, flushed, replaces")
        << false << false << true << suffixed << Taken::ByFile << true << suffixed;
    QTest::newRow("named, flushed, discarded")
        << false << false << true << suffixed << Taken::No << false << suffixed;
    QTest::newRow("named, replaces a link")
        << false << false << false << none << Taken::BySymlink << true << hidden;
}

void TestStagedFile::takesItsNameWholeOrLeavesNothing()
{
    QFETCH(bool, hiddenOnly);
    QFETCH(bool, unnamed);
    QFETCH(bool, flushOnPublish);
    QFETCH(QString, prefix);
    QFETCH(Taken, taken);
    QFETCH(bool, publish);
    QFETCH(QString, shownAs);
    StagedFile::useHiddenNamesForTesting(hiddenOnly);
    QTemporaryDir folder;
    QTemporaryDir elsewhere;
    const QString path = folder.filePath("file.bin");
    const QString linked = elsewhere.filePath("linked.bin");
    if (taken == Taken::ByFile)
        QVERIFY(TestHelpers::writeFile(path, "old"));
    if (taken == Taken::BySymlink) {
        QVERIFY(TestHelpers::writeFile(linked, "old"));
        QVERIFY(QFile::link(linked, path));
    }
    const QByteArray before = taken == Taken::No ? QByteArray() : QByteArray("old");

    {
        StagedFile::Options options;
        options.unnamed = unnamed;
        options.flushOnPublish = flushOnPublish;
        options.temporaryPrefix = prefix;
        StagedFile file;
        QVERIFY(file.open(path, options));
        QVERIFY(file.write("new "));
        QVERIFY(file.write("bytes"));
        QVERIFY(file.writeAt(0, "N", 1));
        // Nothing shows under the name while the file is written.
        QCOMPARE(readFile(path), before);
        QStringList shown = entriesOf(folder.path());
        shown.removeAll(QStringLiteral("file.bin"));
        if (shownAs.isEmpty()) {
            QVERIFY2(shown.isEmpty(), qPrintable(shown.join(' ')));
        } else {
            QCOMPARE(shown.size(), 1);
            QVERIFY2(shown.first().startsWith(shownAs), qPrintable(shown.first()));
            QVERIFY(shown.first().size() > shownAs.size());
        }
        QVERIFY(StagedFile::flushTogether({&file}));
        if (publish)
            QVERIFY(file.publish());
        QVERIFY(!file.isOpen() || !publish);
    }

    const QStringList left = entriesOf(folder.path());
    QCOMPARE(left, taken != Taken::No || publish ? QStringList{"file.bin"} : QStringList{});
    QCOMPARE(readFile(path), publish ? QByteArray("New bytes") : before);
    // A link is replaced, never written through.
    if (taken == Taken::BySymlink) {
        QCOMPARE(QFileInfo(path).isSymLink(), !publish);
        QCOMPARE(readFile(linked), QByteArray("old"));
    }
}

// A file that cannot be made or named leaves nothing behind and says why.
void TestStagedFile::failsWithTheSystemsReason()
{
    QTemporaryDir folder;
    const QString inTheWay = folder.filePath("folder");
    QVERIFY(QDir().mkpath(inTheWay + "/inside"));
    for (const bool unnamed : {true, false}) {
        StagedFile::Options options;
        options.unnamed = unnamed;
        StagedFile missing;
        QVERIFY(!missing.open(folder.filePath("missing/file.bin"), options));
        QCOMPARE(missing.error(), ENOENT);
        QVERIFY(!missing.errorString().isEmpty());

        StagedFile blocked;
        QVERIFY(blocked.open(inTheWay, options));
        QVERIFY(blocked.write("bytes"));
        QVERIFY(!blocked.publish());
        QCOMPARE(blocked.error(), EISDIR);
        QVERIFY(!blocked.isOpen());
        QCOMPARE(entriesOf(folder.path()), QStringList());
        QVERIFY(QFileInfo(inTheWay).isDir());
    }
}

void TestStagedFile::savesInAFolderItsOwnerMayNotList_data()
{
    QTest::addColumn<bool>("unnamed");
    QTest::newRow("unnamed") << true;
    QTest::newRow("named") << false;
}

// A folder its owner may write but not list (d-wx------) cannot be opened for its flush:
// a file written there has its name and its bytes, and counts as written.
void TestStagedFile::savesInAFolderItsOwnerMayNotList()
{
    QFETCH(bool, unnamed);
    QTemporaryDir top;
    QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0711), 0);
    const QString folder = top.filePath("data");
    const QByteArray encodedFolder = QFile::encodeName(folder);
    QVERIFY(QDir().mkdir(folder));
    if (::geteuid() == 0)
        QCOMPARE(::chown(encodedFolder.constData(), kNobody, kNobody), 0);
    QCOMPARE(::chmod(encodedFolder.constData(), 0300), 0);
    const QString path = folder + "/settings.json";

    const int outcome = asOrdinaryUser([&] {
        StagedFile::Options options;
        options.unnamed = unnamed;
        options.flushOnPublish = true;
        StagedFile file;
        const bool saved = file.open(path, options) && file.write("saved") && file.publish();
        return saved ? 0 : file.error();
    });
    QCOMPARE(::chmod(encodedFolder.constData(), 0700), 0);
    if (outcome < 0)
        QSKIP("This machine does not let the test give up root");
    QVERIFY2(outcome == 0, std::strerror(outcome));
    QCOMPARE(readFile(path), QByteArray("saved"));
}

QTEST_GUILESS_MAIN(TestStagedFile)
#include "tst_stagedfile.moc"
