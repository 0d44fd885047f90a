#include "appsession.h"
#include "filesystemanswers.h"
#include "instancelock.h"
#include "launcherpaths.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>
#include <unistd.h>

namespace {
const char kHolderArgument[] = "--hold-lock";
const char kWithGameArgument[] = "--with-game";

// The child: takes the lock of the data directory named by its HOLLOWMERE_HOME, with
// a game of its own still running beside it when asked, says so, and waits to be
// killed.
int runHolder(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    InstanceLock lock;
    if (lock.acquire(LauncherPaths::instanceLockFile()) != InstanceLock::Outcome::Acquired)
        return 1;
    qint64 gamePid = 0;
    if (argc > 2 && qstrcmp(argv[2], kWithGameArgument) == 0 &&
        !QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("120")}, QString(),
                                 &gamePid))
        return 1;
    printf("locked %lld\n", static_cast<long long>(gamePid));
    fflush(stdout);
    for (;;)
        ::pause();
}

InstanceLock::Outcome lockOf(InstanceLock& lock, const QString& home)
{
    qputenv("HOLLOWMERE_HOME", QFile::encodeName(home));
    return lock.acquire(LauncherPaths::instanceLockFile());
}

// Every entry below root with its kind, size, time of change and content, so that
// any change made by a program shows as a difference.
QStringList snapshot(const QString& root)
{
    QStringList entries;
    QDirIterator walk(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QFileInfo info(walk.next());
        const QString digest = info.isFile()
                                   ? TestHelpers::hex(TestHelpers::readFile(info.filePath()),
                                                      QCryptographicHash::Sha256)
                                   : QStringLiteral("dir");
        entries << QStringLiteral("%1 %2 %3 %4")
                       .arg(QDir(root).relativeFilePath(info.filePath()))
                       .arg(info.size())
                       .arg(info.lastModified().toMSecsSinceEpoch())
                       .arg(digest);
    }
    entries.sort();
    return entries;
}

// Presses the OK button of the message, in the window's lower right corner, once the
// button is drawn. The click ends the program and with it the display, so xdotool
// may report a failure after the click did its work: only the program's end tells.
bool pressOk(const AppSession& session, const QString& window)
{
    const QSize size = session.windowSize(window);
    if (!size.isValid())
        return false;
    const QPoint button(size.width() - 74, size.height() - 42);
    const QPoint buttonFace = button - QPoint(42, 0);
    const QColor accent(QStringLiteral("#91B315"));
    if (!QTest::qWaitFor(
            [&] { return session.screenshot(window).pixelColor(buttonFace) == accent; }, 20000))
        return false;
    session.click(window, button.x(), button.y());
    return true;
}
} // namespace

class TestInstanceLock : public QObject {
    Q_OBJECT

private slots:
    void refusesASecondLockOnOneDataDirectory_data()
    {
        QTest::addColumn<QString>("secondHome");
        QTest::addColumn<bool>("refused");
        // As on a home folder an NFSv4 client serves.
        QTest::addColumn<bool>("exclusiveNeedsWriting");
        for (const bool nfs : {false, true}) {
            const char* where = nfs ? ", on NFS" : "";
            QTest::addRow("same directory%s", where) << QString() << true << nfs;
            QTest::addRow("same directory through a link%s", where)
                << QStringLiteral("link") << true << nfs;
            QTest::addRow("another HOLLOWMERE_HOME%s", where)
                << QStringLiteral("other") << false << nfs;
        }
    }

    void refusesASecondLockOnOneDataDirectory()
    {
        QFETCH(QString, secondHome);
        QFETCH(bool, refused);
        QFETCH(bool, exclusiveNeedsWriting);
        std::optional<FileSystemAnswers::Scope> nfs;
        if (exclusiveNeedsWriting)
            nfs.emplace(FileSystemAnswers::setExclusiveLockNeedsWriting);
        TempHome home;
        QVERIFY(QFile::link(home.path(), home.path() + QStringLiteral("/link")));
        InstanceLock first;
        QCOMPARE(lockOf(first, home.path()), InstanceLock::Outcome::Acquired);

        InstanceLock second;
        QCOMPARE(lockOf(second, QDir(home.path()).filePath(secondHome)),
                 refused ? InstanceLock::Outcome::HeldElsewhere : InstanceLock::Outcome::Acquired);
    }

    // The launcher killed, with or without the game it started still running: the
    // next start takes the lock.
    void killedHolderDoesNotKeepTheNextOut_data()
    {
        QTest::addColumn<bool>("withGame");
        QTest::newRow("holder alone") << false;
        QTest::newRow("its game still running") << true;
    }

    void killedHolderDoesNotKeepTheNextOut()
    {
        QFETCH(bool, withGame);
        TempHome home;
        QProcess holder;
        QStringList arguments{QString::fromLatin1(kHolderArgument)};
        if (withGame)
            arguments << QString::fromLatin1(kWithGameArgument);
        holder.start(QCoreApplication::applicationFilePath(), arguments);
        QVERIFY(holder.waitForReadyRead(10000));
        const QByteArray said = holder.readAllStandardOutput().trimmed();
        QVERIFY2(said.startsWith("locked "), said.constData());
        const pid_t gamePid = static_cast<pid_t>(said.mid(7).toLongLong());
        const auto endGame = qScopeGuard([gamePid] {
            if (gamePid > 0)
                ::kill(gamePid, SIGKILL);
        });

        InstanceLock lock;
        QCOMPARE(lockOf(lock, home.path()), InstanceLock::Outcome::HeldElsewhere);
        holder.kill();
        QVERIFY(holder.waitForFinished(10000));
        QVERIFY(!withGame || ::kill(gamePid, 0) == 0);
        QCOMPARE(lockOf(lock, home.path()), InstanceLock::Outcome::Acquired);
    }

    // The built launcher twice on one data directory: the second tells the player in
    // the saved language and ends, changing nothing; once the first is killed the
    // next start opens the launcher.
    void secondLauncherEndsAndChangesNothing()
    {
        AppSession first(QSize(1280, 720));
        QVERIFY(first.writeDataFile(QStringLiteral("settings.json"), R"({"language":"ru"})"));
        const QString gameDir = first.homeDir() + QStringLiteral("/.minecraft");
        QVERIFY(TestHelpers::writeFile(gameDir + QStringLiteral("/options.txt"), "fov:0.5\n"));
        QString error;
        QVERIFY2(first.start({}, QString(), &error), qPrintable(error));
        QVERIFY2(!first.waitForWindow(QStringLiteral("Hollowmere")).isEmpty(),
                 qPrintable(first.output()));
        const QStringList data = snapshot(first.dataDir());
        const QStringList game = snapshot(gameDir);

        AppSession second(QSize(800, 600));
        second.setEnvironmentValue(QStringLiteral("HOLLOWMERE_HOME"), first.homeDir());
        QVERIFY2(second.start({}, QString(), &error), qPrintable(error));
        const QString message = second.waitForWindow(QStringLiteral("Hollowmere уже запущен"));
        QVERIFY2(!message.isEmpty(), qPrintable(second.output()));
        QVERIFY(pressOk(second, message));
        QTRY_VERIFY_WITH_TIMEOUT(!second.isRunning(), 20000);
        QCOMPARE(snapshot(first.dataDir()), data);
        QCOMPARE(snapshot(gameDir), game);
        QVERIFY(first.isRunning());

        QCOMPARE(::kill(static_cast<pid_t>(first.programPid()), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!first.isRunning(), 20000);
        first.stop();
        QVERIFY2(first.start({}, QString(), &error), qPrintable(error));
        QVERIFY2(!first.waitForWindow(QStringLiteral("Hollowmere")).isEmpty(),
                 qPrintable(first.output()));
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], kHolderArgument) == 0)
        return runHolder(argc, argv);
    QCoreApplication app(argc, argv);
    TestInstanceLock test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_instancelock.moc"
