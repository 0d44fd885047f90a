#include "javalocator.h"
#include "javaruntime.h"
#include "launcherpaths.h"
#include "localization.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>

#include <memory>

#include <csignal>
#include <sys/types.h>

namespace {
constexpr int kTestProbeTimeoutMs = 2000;
constexpr QFileDevice::Permissions kExecutable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

QString writeScript(const QString& path, const QByteArray& body)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write("#!/bin/sh\n" + body);
    file.close();
    file.setPermissions(kExecutable);
    return path;
}

// A fake java that prints a -version banner the way the real one does: on stderr.
QString fakeJava(const QString& path, const QByteArray& banner)
{
    return writeScript(path, "printf '%s\\n' '" + banner + "' >&2\n");
}

QByteArray banner(const QByteArray& version)
{
    return "openjdk version \"" + version + "\" 2024-01-16";
}

QString hangingJava(const QString& path, const QString& pidFile = QString())
{
    QByteArray body;
    if (!pidFile.isEmpty())
        body += "echo $$ > '" + pidFile.toLocal8Bit() + "'\n";
    return writeScript(path, body + "exec /bin/sleep 30\n");
}

QString garbageJava(const QString& path)
{
    return writeScript(path,
                       "echo 'Error: could not find libjvm.so' >&2\necho 'garbage'\nexit 1\n");
}

QString installManagedRuntime(const QString& id, int major)
{
    const QString javaPath =
        fakeJava(LauncherPaths::javaDir() + QLatin1Char('/') + id + QStringLiteral("/bin/java"),
                 banner(QByteArray::number(major) + ".0.1"));
    const InstalledJavaRuntime runtime{
        id, QStringLiteral("jre"), major, QString::number(major), javaPath, 0};
    if (!JavaRuntimeStore::writeMeta(runtime))
        qFatal("cannot record the managed runtime %s", qPrintable(id));
    return javaPath;
}

using TestHelpers::native;
} // namespace

class TestJavaLocator : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;
    QByteArray m_path;
    QByteArray m_javaHome;
    bool m_hadJavaHome = false;

    QString home(const QString& relative) const
    {
        return m_home->path() + QLatin1Char('/') + relative;
    }
    QString gameDir() const { return home(QStringLiteral(".minecraft")); }
    // The search path holds only this test's folder, so nothing of the machine leaks in.
    QString pathDir() const { return home(QStringLiteral("path")); }
    QString systemRoot() const { return home(QStringLiteral("jvm")); }
    void setJavaHome(const QString& dir) { qputenv("JAVA_HOME", dir.toLocal8Bit()); }

private slots:
    void initTestCase()
    {
        QVERIFY(Localization::instance()->load());
        m_path = qgetenv("PATH");
        m_hadJavaHome = qEnvironmentVariableIsSet("JAVA_HOME");
        m_javaHome = qgetenv("JAVA_HOME");
    }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        QVERIFY(QDir().mkpath(pathDir()));
        QVERIFY(QDir().mkpath(gameDir()));
        qputenv("PATH", pathDir().toLocal8Bit());
        qunsetenv("JAVA_HOME");
        JavaLocator::setSystemRootsForTesting(QStringList{systemRoot()});
        JavaLocator::setProbeTimeoutForTesting(kTestProbeTimeoutMs);
    }

    void cleanup()
    {
        qputenv("PATH", m_path);
        if (m_hadJavaHome)
            qputenv("JAVA_HOME", m_javaHome);
        else
            qunsetenv("JAVA_HOME");
        JavaLocator::setSystemRootsForTesting(std::nullopt);
        JavaLocator::setProbeTimeoutForTesting(0);
        m_home.reset();
    }

    void candidatesInOrderOfPreference()
    {
        const QString managed = installManagedRuntime(QStringLiteral("jre-21"), 21);
        const QString kept =
            fakeJava(gameDir() + QStringLiteral("/runtime/java-runtime-gamma/linux/bin/java"),
                     banner("17.0.8"));
        fakeJava(gameDir() + QStringLiteral("/runtime/upper/bin/JAVA"), banner("17.0.8"));
        const QString systemB =
            fakeJava(systemRoot() + QStringLiteral("/b-jdk/bin/java"), banner("11.0.2"));
        const QString macStyle = fakeJava(
            systemRoot() + QStringLiteral("/a-jdk/Contents/Home/bin/java"), banner("17.0.1"));
        const QString nestedJre =
            fakeJava(systemRoot() + QStringLiteral("/a-jdk/jre/bin/java"), banner("1.8.0_392"));
        fakeJava(systemRoot() + QStringLiteral("/.hidden/bin/java"), banner("21"));
        const QString notExecutable =
            fakeJava(systemRoot() + QStringLiteral("/c-jdk/bin/java"), banner("21"));
        QVERIFY(
            QFile::setPermissions(notExecutable, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        // The search path reaches the nested JRE through a link: listed under both texts.
        QVERIFY(QFile::link(nestedJre, pathDir() + QStringLiteral("/java")));
        // JAVA_HOME names b-jdk with a trailing separator: the same cleaned text, listed once.
        setJavaHome(systemRoot() + QStringLiteral("/b-jdk/"));

        const QStringList expected = {
            managed, kept, systemB, pathDir() + QStringLiteral("/java"), macStyle, nestedJre};
        QCOMPARE(JavaLocator::findAll(gameDir()), expected);

        // Without a game directory its runtime folder is not looked for.
        QCOMPARE(JavaLocator::findAll(QString()).size(), expected.size() - 1);
    }

    void emptyWhenNothingIsInstalled()
    {
        QVERIFY(JavaLocator::findAll(gameDir()).isEmpty());
        setJavaHome(home(QStringLiteral("no-such-jdk")));
        QVERIFY(JavaLocator::findAll(gameDir()).isEmpty());
    }

    void probeReadsBanners_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("major");
        auto onStderr = [](const QByteArray& text) {
            return "printf '%s\\n' '" + text + "' >&2\n";
        };
        QTest::newRow("legacy numbering") << onStderr(banner("1.8.0_392")) << 8;
        QTest::newRow("bare major") << onStderr(banner("21")) << 21;
        QTest::newRow("three numbers") << onStderr("java version \"17.0.9\" 2023-10-17 LTS") << 17;
        QTest::newRow("tab before quote") << onStderr("openjdk version\t\"16.0.2\"") << 16;
        QTest::newRow("old 1.x without minor") << onStderr("java version \"1\"") << 0;
        QTest::newRow("first match wins")
            << onStderr("Picked up JAVA_TOOL_OPTIONS\nopenjdk version \"11.0.21\"\nversion \"17\"")
            << 11;
        QTest::newRow("on standard output")
            << QByteArray("echo 'openjdk version \"22.0.1\"'\n") << 22;
        QTest::newRow("stderr read first")
            << QByteArray("echo 'version \"8\"'\necho 'version \"21\"' >&2\n") << 21;
        QTest::newRow("unquoted") << onStderr("openjdk version 17.0.9") << 0;
        QTest::newRow("garbage") << onStderr("Error: could not find libjvm.so") << 0;
        QTest::newRow("too large") << onStderr("version \"99999999999\"") << 0;
        QTest::newRow("failing exit") << QByteArray("echo 'version \"17\"' >&2\nexit 3\n") << 17;
    }

    void probeReadsBanners()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, major);
        const QString java = writeScript(home(QStringLiteral("probe/bin/java")), body);
        QCOMPARE(JavaLocator::majorVersion(java), major);
    }

    void probeOfWhatCannotRun()
    {
        QCOMPARE(JavaLocator::majorVersion(home(QStringLiteral("missing/bin/java"))), 0);
        const QString plain = fakeJava(home(QStringLiteral("plain/java")), banner("17"));
        QVERIFY(QFile::setPermissions(plain, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(JavaLocator::majorVersion(plain), 0);
        QCOMPARE(JavaLocator::majorVersion(QString()), 0);
    }

    void probeResultIsKeptForTheProcess()
    {
        const QString java = fakeJava(home(QStringLiteral("kept/bin/java")), banner("17.0.2"));
        QCOMPARE(JavaLocator::majorVersion(java), 17);
        fakeJava(java, banner("21"));
        QCOMPARE(JavaLocator::majorVersion(java), 17);
        // The cache is keyed by the text passed in, not by the file it reaches.
        QCOMPARE(JavaLocator::majorVersion(home(QStringLiteral("kept/bin/../bin/java"))), 21);
    }

    void hangingProbeIsKilledOnceAndRemembered()
    {
        constexpr int kTimeout = 300;
        JavaLocator::setProbeTimeoutForTesting(kTimeout);
        const QString pidFile = home(QStringLiteral("hang.pid"));
        const QString java = hangingJava(home(QStringLiteral("hang/bin/java")), pidFile);

        QElapsedTimer timer;
        timer.start();
        QCOMPARE(JavaLocator::majorVersion(java), 0);
        QVERIFY(timer.elapsed() >= kTimeout);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));

        QFile pidText(pidFile);
        QVERIFY(pidText.open(QIODevice::ReadOnly));
        const pid_t pid = pid_t(pidText.readAll().trimmed().toInt());
        QVERIFY(pid > 0);
        QVERIFY2(::kill(pid, 0) != 0, "the hanging probe is still running");

        fakeJava(java, banner("17"));
        timer.restart();
        QCOMPARE(JavaLocator::majorVersion(java), 0);
        QVERIFY(timer.elapsed() < kTimeout);
    }

    void preferredPathMustExist()
    {
        fakeJava(pathDir() + QStringLiteral("/java"), banner("21"));
        const QString missing = home(QStringLiteral("nowhere/java"));
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 17, missing, &error), QString());
        QCOMPARE(error, Loc::text("java.error.notAtPath").arg(native(missing)));

        // A bin folder itself is not a Java home: bin/bin/java is what would be looked for.
        const QString binDir =
            QFileInfo(fakeJava(home(QStringLiteral("mine/bin/java")), banner("11"))).path();
        error.clear();
        QCOMPARE(JavaLocator::select(gameDir(), 8, binDir, &error), QString());
        QCOMPARE(error, Loc::text("java.error.notAtPath").arg(native(binDir)));
    }

    void preferredJavaHomeComesFirst()
    {
        fakeJava(pathDir() + QStringLiteral("/java"), banner("21"));
        const QString mine = fakeJava(home(QStringLiteral("mine/bin/java")), banner("17.0.3"));
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 17, home(QStringLiteral("mine/")), &error), mine);
        QCOMPARE(JavaLocator::select(gameDir(), 17, mine, &error), mine);
        QVERIFY(error.isEmpty());
        // Too old: the discovered Java takes over.
        QCOMPARE(JavaLocator::select(gameDir(), 21, mine, &error),
                 pathDir() + QStringLiteral("/java"));
        QVERIFY(error.isEmpty());
    }

    void preferredFileThatCannotRunFallsThrough()
    {
        const QString onPath = fakeJava(pathDir() + QStringLiteral("/java"), banner("17.0.9"));
        const QString notExecutable = fakeJava(home(QStringLiteral("copied/java")), banner("21"));
        QVERIFY(
            QFile::setPermissions(notExecutable, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 17, notExecutable, &error), onPath);
        QVERIFY(error.isEmpty());
    }

    void firstQualifyingCandidateWinsAndLaterOnesAreNotRun()
    {
        const QString managed = installManagedRuntime(QStringLiteral("jdk-17"), 17);
        const QString marker = home(QStringLiteral("ran"));
        writeScript(pathDir() + QStringLiteral("/java"),
                    ": > '" + marker.toLocal8Bit() + "'\nprintf '%s\\n' 'version \"21\"' >&2\n");
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 17, QString(), &error), managed);
        QVERIFY(!QFileInfo::exists(marker));
        QCOMPARE(JavaLocator::select(gameDir(), 21, QString(), &error),
                 pathDir() + QStringLiteral("/java"));
        QVERIFY(QFileInfo::exists(marker));
    }

    void tooOldNamesTheBestCandidate()
    {
        setJavaHome(home(QStringLiteral("jdk8")));
        fakeJava(home(QStringLiteral("jdk8/bin/java")), banner("1.8.0_392"));
        const QString firstEleven =
            fakeJava(pathDir() + QStringLiteral("/java"), banner("11.0.21"));
        fakeJava(systemRoot() + QStringLiteral("/jdk-11/bin/java"), banner("11.0.22"));
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 17, QString(), &error), QString());
        QCOMPARE(error, Loc::text("java.error.tooOld")
                            .arg(QStringLiteral("17"), QStringLiteral("11"), native(firstEleven)));
    }

    void unknownWhenNoProbeAnswers()
    {
        JavaLocator::setProbeTimeoutForTesting(300);
        setJavaHome(home(QStringLiteral("broken")));
        hangingJava(home(QStringLiteral("broken/bin/java")));
        const QString garbage = garbageJava(pathDir() + QStringLiteral("/java"));
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 17, QString(), &error), QString());
        QCOMPARE(error, Loc::text("java.error.versionUnknown").arg(17));

        // Nothing required: the first candidate is taken whatever it answered.
        error.clear();
        QCOMPARE(JavaLocator::select(gameDir(), 0, garbage, &error), garbage);
        QVERIFY(error.isEmpty());
    }

    void notFoundWithoutCandidates()
    {
        QString error;
        QCOMPARE(JavaLocator::select(gameDir(), 21, QString(), &error), QString());
        QCOMPARE(error, Loc::text("java.error.notFound").arg(21));
        QCOMPARE(JavaLocator::select(gameDir(), 21, QString(), nullptr), QString());
    }

    void realJavaIsFoundAndProbed()
    {
        qputenv("PATH", m_path);
        JavaLocator::setSystemRootsForTesting(std::nullopt);
        JavaLocator::setProbeTimeoutForTesting(0);
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("java"));
        if (onPath.isEmpty())
            QSKIP("no java on the search path");
        const QString expected = QDir::cleanPath(QFileInfo(onPath).absoluteFilePath());

        QVERIFY(JavaLocator::findAll(gameDir()).contains(expected));
        QVERIFY(JavaLocator::majorVersion(expected) >= 17);
        QString error;
        const QString selected = JavaLocator::select(gameDir(), 17, expected, &error);
        QCOMPARE(selected, expected);
        QVERIFY(error.isEmpty());
        QCOMPARE(JavaLocator::windowlessVariant(selected), expected);
    }

    void windowlessVariant()
    {
        const QString java = fakeJava(home(QStringLiteral("jdk/bin/java")), banner("17"));
        QCOMPARE(JavaLocator::windowlessVariant(home(QStringLiteral("jdk/bin/../bin/java"))), java);
        QCOMPARE(JavaLocator::windowlessVariant(QStringLiteral("/opt/x/bin/javac")),
                 QStringLiteral("/opt/x/bin/javac"));
        const QString missing = home(QStringLiteral("gone/./bin/java"));
        QCOMPARE(JavaLocator::windowlessVariant(missing), missing);

        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(home(QStringLiteral("jdk/bin"))));
        const QString relative = JavaLocator::windowlessVariant(QStringLiteral("java"));
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(relative, java);
    }
};

QTEST_GUILESS_MAIN(TestJavaLocator)
#include "tst_javalocator.moc"
