#include "httprequest.h"
#include "javainstaller.h"
#include "javalocator.h"
#include "launcherpaths.h"
#include "localization.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "zipwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>
#include <memory>

#include <unistd.h>

namespace {
constexpr QFileDevice::Permissions kExecuteBits =
    QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

QByteArray javaScript(int major)
{
    return "#!/bin/sh\necho 'openjdk version \"" + QByteArray::number(major) +
           ".0.1\" 2024-01-16' >&2\n";
}

using TestHelpers::hex;
using TestHelpers::native;
using TestHelpers::readFile;

bool writeFile(const QString& path, const QByteArray& content,
               QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                      QFileDevice::WriteOwner)
{
    return TestHelpers::writeFile(path, content) && QFile::setPermissions(path, permissions);
}

QString linkText(const QString& path)
{
    char buffer[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(length)));
}

JavaRuntimeEntry makeEntry(const QString& id, const QString& archive, const QUrl& url,
                           const QString& checksum = {}, qint64 size = 0, int major = 17)
{
    JavaRuntimeEntry entry;
    entry.id = id;
    entry.kind = archive == QLatin1String("mojang") ? JavaRuntimeKind::Java : JavaRuntimeKind::Jdk;
    entry.major = major;
    entry.version = QStringLiteral("%1.0.1").arg(major);
    entry.url = url;
    entry.checksum = checksum;
    entry.size = size;
    entry.archive = archive;
    return entry;
}

QString labelOf(const JavaRuntimeEntry& entry)
{
    return Loc::text("java.status.nameAndVersion").arg(javaKindTitle(entry.kind), entry.version);
}

QJsonObject fileItem(const QString& url, const QByteArray& content, bool executable = false,
                     bool withSha1 = true)
{
    QJsonObject raw{{"url", url}, {"size", double(content.size())}};
    if (withSha1)
        raw.insert("sha1", hex(content, QCryptographicHash::Sha1).toUpper());
    return QJsonObject{
        {"type", "file"}, {"executable", executable}, {"downloads", QJsonObject{{"raw", raw}}}};
}

QJsonObject directoryItem()
{
    return QJsonObject{{"type", "directory"}};
}

QJsonObject linkItem(const QString& target)
{
    return QJsonObject{{"type", "link"}, {"target", target}};
}

QByteArray manifest(const QJsonObject& files)
{
    return QJsonDocument(QJsonObject{{"files", files}}).toJson();
}

// Records what one job reported.
struct Outcome {
    explicit Outcome(JavaInstaller& installer)
        : started(&installer, &JavaInstaller::started),
          finished(&installer, &JavaInstaller::finished),
          failed(&installer, &JavaInstaller::failed), canceled(&installer, &JavaInstaller::canceled)
    {
    }
    int ends() const { return int(finished.size() + failed.size() + canceled.size()); }
    QString failure() const
    {
        return failed.isEmpty() ? QString() : failed.last().at(1).toString();
    }

    QSignalSpy started;
    QSignalSpy finished;
    QSignalSpy failed;
    QSignalSpy canceled;
};
} // namespace

class TestJavaInstaller : public QObject {
    Q_OBJECT

private:
    TestServer m_server;
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_tar;
    QByteArray m_path;

    QString work(const QString& relative) const { return m_work->filePath(relative); }

    // A runtime tree below the work folder, as a vendor archive holds it.
    void makeTree(const QString& top, int major)
    {
        QVERIFY(writeFile(work("tree/" + top + "/bin/java"), javaScript(major)));
        QVERIFY(writeFile(work("tree/" + top + "/lib/modules"), QByteArray(4096, 'm')));
        QVERIFY(writeFile(work("tree/" + top + "/release"),
                          "JAVA_VERSION=\"" + QByteArray::number(major) + "\"\n"));
    }

    QByteArray tarGz(const QStringList& extraArguments, const QString& member)
    {
        const QString out = work("out.tar.gz");
        QFile::remove(out);
        QStringList arguments = {"-czf", out};
        arguments << extraArguments << "-C" << work("tree") << member;
        if (QProcess::execute(m_tar, arguments) != 0)
            qFatal("cannot build the test archive");
        return readFile(out);
    }

    QByteArray zipWithJava(const QByteArray& top, int major, int fillerEntries = 0)
    {
        ZipWriter zip;
        zip.addDirectory(top + "/");
        zip.addDirectory(top + "/bin/");
        // Stored without execute bits: the installer must add them.
        zip.addFile(top + "/bin/java", javaScript(major), 0644);
        zip.addFile(top + "/lib/private", "secret", 0600);
        zip.addSymlink(top + "/lib/outside", "/etc/hostname");
        for (int i = 0; i < fillerEntries; ++i)
            zip.addFile(top + "/filler/" + QByteArray::number(i), QByteArray::number(i));
        return zip.toByteArray();
    }

    QString runtimeDir(const QString& id) const { return JavaRuntimeStore::dirFor(id); }
    bool downloadDirIsEmpty() const
    {
        return QDir(LauncherPaths::javaDownloadDir())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
            .isEmpty();
    }

    void expectGone(const QString& id)
    {
        QVERIFY(!QFileInfo::exists(runtimeDir(id)));
        QVERIFY(!JavaRuntimeStore::find(id));
    }

    // Runs one job to its end.
    void run(JavaInstaller& installer, const JavaRuntimeEntry& entry, Outcome& outcome)
    {
        installer.install(entry);
        QTRY_COMPARE_WITH_TIMEOUT(outcome.ends(), 1, 15000);
        QVERIFY(!installer.isBusy());
        QVERIFY(installer.runtimeId().isEmpty());
    }

    void expectInstalled(const Outcome& outcome, const JavaRuntimeEntry& entry,
                         const QString& javaPath, qint64 recordedSize)
    {
        QCOMPARE(outcome.failure(), QString());
        QCOMPARE(outcome.started.size(), 1);
        QCOMPARE(outcome.started.first().at(0).toString(), labelOf(entry));
        QCOMPARE(outcome.finished.size(), 1);
        QCOMPARE(outcome.finished.first().at(0).toString(), entry.id);
        QCOMPARE(outcome.finished.first().at(1).toString(), javaPath);
        QVERIFY((QFile::permissions(javaPath) & kExecuteBits) == kExecuteBits);
        const std::optional<InstalledJavaRuntime> runtime = JavaRuntimeStore::find(entry.id);
        QVERIFY(runtime);
        QCOMPARE(runtime->javaPath, javaPath);
        QCOMPARE(runtime->kind, javaKindKey(entry.kind));
        QCOMPARE(runtime->major, entry.major);
        QCOMPARE(runtime->size, recordedSize);
        QVERIFY(downloadDirIsEmpty());
        // The launcher's own lookup finds the new runtime and can run it.
        QVERIFY(JavaLocator::findAll(QString()).contains(javaPath));
        QCOMPARE(JavaLocator::majorVersion(javaPath), entry.major);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Localization::instance()->load());
        QVERIFY(m_server.isListening());
        m_tar = QStandardPaths::findExecutable("tar");
        QVERIFY(!m_tar.isEmpty());
        m_path = qgetenv("PATH");
    }

    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_work = std::make_unique<QTemporaryDir>();
        m_server.clearRoutes();
        m_server.clearLog();
        m_server.resetMaxConcurrent();
    }

    void cleanup()
    {
        HttpRequest::setTransferTimeoutForTesting(0);
        qputenv("PATH", m_path);
        m_work.reset();
        m_home.reset();
    }

    void installsTarGzArchive()
    {
        makeTree("jdk-17.0.1+12", 17);
        // Owned by somebody else in the archive: extraction must not hand files to them.
        const QByteArray archive = tarGz({"--owner=4321", "--group=4321"}, "jdk-17.0.1+12");
        m_server.route("/temurin/OpenJDK17U-jdk_x64.tar.gz", TestReply::ok(archive));
        const JavaRuntimeEntry entry =
            makeEntry("temurin-jdk-17.0.1_12-x64", "tar.gz",
                      m_server.url("/temurin/OpenJDK17U-jdk_x64.tar.gz"),
                      hex(archive, QCryptographicHash::Sha256).toUpper(), 190000000);

        JavaInstaller installer;
        Outcome outcome(installer);
        QStringList stages;
        QList<double> extractingFractions;
        connect(&installer, &JavaInstaller::progressChanged, this, [&] {
            if (!installer.status().stage.isEmpty() && !stages.contains(installer.status().stage))
                stages.append(installer.status().stage);
            if (installer.status().stage ==
                Loc::text("java.progress.extracting").arg(entry.version))
                extractingFractions.append(installer.status().fraction);
        });
        connect(&installer, &JavaInstaller::started, this, [&] {
            QCOMPARE(installer.runtimeId(), entry.id);
            QCOMPARE(installer.status().label, labelOf(entry));
            // Ignored while busy.
            installer.install(makeEntry("other", "zip", m_server.url("/other.zip")));
        });
        run(installer, entry, outcome);

        const QString javaPath = runtimeDir(entry.id) + "/jdk-17.0.1+12/bin/java";
        expectInstalled(outcome, entry, javaPath, 190000000);
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(stages, (QStringList{Loc::text("java.progress.downloadingBuild").arg("17.0.1"),
                                      Loc::text("java.progress.extracting").arg("17.0.1"),
                                      Loc::text("java.progress.verifying")}));
        QVERIFY(!extractingFractions.isEmpty());
        for (const double fraction : std::as_const(extractingFractions))
            QCOMPARE(fraction, -1.0);
        QCOMPARE(QFileInfo(javaPath).ownerId(), uint(geteuid()));
        QCOMPARE(readFile(runtimeDir(entry.id) + "/jdk-17.0.1+12/lib/modules").size(), 4096);
    }

    void installsZipArchive()
    {
        const QByteArray archive = zipWithJava("jdk-21.0.2+13", 21);
        m_server.route("/temurin/OpenJDK21U-jdk_x64.zip", TestReply::ok(archive));
        const JavaRuntimeEntry entry =
            makeEntry("temurin-jdk-21.0.2_13-x64", "zip",
                      m_server.url("/temurin/OpenJDK21U-jdk_x64.zip"), QString(), 0, 21);

        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);

        const QString top = runtimeDir(entry.id) + "/jdk-21.0.2+13";
        // No size in the catalog: the record says 0.
        expectInstalled(outcome, entry, top + "/bin/java", 0);
        QCOMPARE(QFile::permissions(top + "/lib/private") & 0x7777,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
        QVERIFY(!QFileInfo(top + "/lib/outside").exists());
        QVERIFY(!QFileInfo(top + "/lib/outside").isSymLink());
    }

    void wrongChecksumFailsAndRemovesEarlierInstall()
    {
        const QByteArray archive = zipWithJava("jdk", 17);
        m_server.route("/jdk.zip", TestReply::ok(archive));
        JavaRuntimeEntry entry = makeEntry("jdk-17", "zip", m_server.url("/jdk.zip"),
                                           hex(archive, QCryptographicHash::Sha256));
        {
            JavaInstaller installer;
            Outcome outcome(installer);
            run(installer, entry, outcome);
            QCOMPARE(outcome.finished.size(), 1);
        }
        entry.checksum = hex("something else", QCryptographicHash::Sha256);
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(outcome.started.size(), 1);
        QCOMPARE(outcome.failed.size(), 1);
        QCOMPARE(outcome.failed.first().at(0).toString(), labelOf(entry));
        QCOMPARE(outcome.failure(), Loc::text("java.error.archiveChecksum"));
        expectGone(entry.id);
        QVERIFY(downloadDirIsEmpty());
    }

    void refusesUnsafeArchives_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("member");
        QTest::newRow("zip climbing out") << "zip"
                                          << "../evil";
        QTest::newRow("zip naming the runtime folder") << "zip"
                                                       << "jdk/..";
        QTest::newRow("tar absolute member") << "tar.gz"
                                             << "/jdk/bin/java";
        QTest::newRow("tar climbing member") << "tar.gz"
                                             << "../jdk/bin/java";
    }

    void refusesUnsafeArchives()
    {
        QFETCH(QString, archive);
        QFETCH(QString, member);
        QByteArray bytes;
        if (archive == "zip") {
            ZipWriter zip;
            zip.addFile("jdk/bin/java", javaScript(17), 0755);
            zip.addFile(member.toUtf8(), "evil");
            bytes = zip.toByteArray();
        } else {
            makeTree("jdk", 17);
            // The member names are rewritten while the archive is made.
            const QString prefix = member.section("jdk", 0, 0);
            bytes = tarGz({"-P", "--transform", "s,^," + prefix + ","}, "jdk/bin/java");
        }
        m_server.route("/archive", TestReply::ok(bytes));
        const JavaRuntimeEntry entry = makeEntry("unsafe", archive, m_server.url("/archive"));

        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(outcome.failure(), Loc::text("java.error.archiveBadPath").arg(member));
        expectGone(entry.id);
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir() + "/evil"));
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir() + "/jdk"));
        QVERIFY(!QFileInfo::exists("/jdk/bin/java"));
        QVERIFY(downloadDirIsEmpty());
    }

    void zipBombIsRefusedBeforeExtraction()
    {
        const QString bombPath = m_home->path() + "/bomb.zip";
        QVERIFY(TestHelpers::writeZipBomb(bombPath, "jdk/lib/modules", 16 * 1024 * 1024,
                                          {{"jdk/bin/java", javaScript(17)}}));
        m_server.route("/bomb.zip", TestReply::ok(readFile(bombPath)));
        const JavaRuntimeEntry entry = makeEntry("bomb", "zip", m_server.url("/bomb.zip"));
        const TestHelpers::ScopedFreeSpace space(8 * 1024 * 1024);

        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(outcome.failure(),
                 Loc::text("storage.error.notEnoughSpaceToExtract")
                     .arg(native(LauncherPaths::javaDownloadDir() + "/bomb.zip"), "80"));
        expectGone(entry.id);
    }

    void archiveNameFallsBackToId_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("plain name") << "/dl/OpenJDK.zip"
                                    << "OpenJDK.zip";
        QTest::newRow("folder") << "/dl/"
                                << "odd-id.archive";
        QTest::newRow("encoded parent") << "/dl/%2e%2e"
                                        << "odd-id.archive";
        // An encoded separator still separates: the name never carries one.
        QTest::newRow("encoded separator") << "/dl/a%2Fb.zip"
                                           << "b.zip";
    }

    void archiveNameFallsBackToId()
    {
        QFETCH(QString, path);
        QFETCH(QString, fileName);
        // Not a zip: reading it fails, and the message names where it was saved.
        m_server.routePrefix("/", TestReply::ok("not a zip archive"));
        const JavaRuntimeEntry entry =
            makeEntry("odd-id", "zip", QUrl(m_server.origin() + path, QUrl::TolerantMode));
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(outcome.failure(),
                 Loc::text("java.error.archiveReadFailed")
                     .arg(native(LauncherPaths::javaDownloadDir() + "/" + fileName)));
        QVERIFY(downloadDirIsEmpty());
    }

    void refusesUnusableEntries()
    {
        JavaInstaller installer;
        Outcome outcome(installer);
        const QUrl url = m_server.url("/x.tar.gz");

        JavaRuntimeEntry noId = makeEntry("", "tar.gz", url);
        JavaRuntimeEntry noMajor = makeEntry("jdk", "tar.gz", url, {}, 0, 0);
        JavaRuntimeEntry noUrl = makeEntry("jdk", "tar.gz", QUrl());
        for (const JavaRuntimeEntry& entry : {noId, noMajor, noUrl}) {
            installer.install(entry);
            QCOMPARE(outcome.failed.last().at(0).toString(), entry.version);
            QCOMPARE(outcome.failure(), Loc::text("java.error.buildUnavailable"));
        }
        installer.install(makeEntry("...", "tar.gz", url));
        QCOMPARE(outcome.failure(), Loc::text("java.error.invalidBuildId"));
        QCOMPARE(outcome.started.size(), 0);
        QVERIFY(!installer.isBusy());

        // The archive kind is exact.
        const JavaRuntimeEntry upper = makeEntry("jdk", "TAR.GZ", url);
        installer.install(upper);
        QCOMPARE(outcome.started.size(), 1);
        QCOMPARE(outcome.failure(), Loc::text("java.error.unknownArchiveFormat").arg("TAR.GZ"));
        expectGone("jdk");
        QCOMPARE(m_server.requestCount(), 0);

        // A data folder that cannot be made.
        QVERIFY(QDir(m_home->dataDir()).removeRecursively());
        QVERIFY(writeFile(m_home->dataDir(), "a file where the folder belongs"));
        installer.install(makeEntry("jdk", "tar.gz", url));
        QCOMPARE(outcome.failed.last().at(0).toString(), QStringLiteral("17.0.1"));
        QVERIFY(outcome.failure().startsWith(
            Loc::text("java.error.launcherDirUnavailable").arg(QString())));
        QCOMPARE(outcome.started.size(), 1);
    }

    void progressIsCoalesced()
    {
        const QByteArray archive = zipWithJava("jdk", 17, 100);
        m_server.route("/slow.zip", TestReply::ok(archive).slow(256, 15));
        const JavaRuntimeEntry entry =
            makeEntry("slow", "zip", m_server.url("/slow.zip"), {}, archive.size());

        JavaInstaller installer;
        Outcome outcome(installer);
        int notifications = 0;
        QList<double> fractions;
        connect(&installer, &JavaInstaller::progressChanged, this, [&] {
            if (installer.status().stage ==
                Loc::text("java.progress.downloadingBuild").arg("17.0.1")) {
                ++notifications;
                fractions.append(installer.status().fraction);
            }
        });
        QElapsedTimer clock;
        clock.start();
        run(installer, entry, outcome);
        QCOMPARE(outcome.finished.size(), 1);
        const qint64 chunks = (archive.size() + 255) / 256;
        QVERIFY2(chunks > 20, "the download should arrive in many pieces");
        // One notification for the stage, then at most one per 100 ms.
        QVERIFY2(notifications <= 2 + clock.elapsed() / 100,
                 qPrintable(QString::number(notifications)));
        QVERIFY(notifications < chunks / 2);
        bool partial = false;
        for (const double fraction : std::as_const(fractions)) {
            QVERIFY(fraction <= 1.0);
            partial = partial || (fraction > 0 && fraction < 1);
        }
        QVERIFY(partial);
    }

    void cancelDuringSlowDownload()
    {
        const QByteArray archive = zipWithJava("jdk", 17, 300);
        m_server.route("/slow.zip", TestReply::ok(archive).slow(512, 20));
        const JavaRuntimeEntry entry =
            makeEntry("slow", "zip", m_server.url("/slow.zip"), {}, archive.size());
        JavaInstaller installer;
        Outcome outcome(installer);
        connect(&installer, &JavaInstaller::progressChanged, this, [&] {
            if (installer.status().bytesDone > 0)
                installer.cancel();
        });
        run(installer, entry, outcome);
        QCOMPARE(outcome.canceled.size(), 1);
        QCOMPARE(outcome.canceled.first().at(0).toString(), labelOf(entry));
        QCOMPARE(outcome.ends(), 1);
        expectGone(entry.id);
        // The partial download is discarded with its save-file.
        QVERIFY(downloadDirIsEmpty());
        QTRY_COMPARE(m_server.inFlight(), 0);
        QTest::qWait(100);
        QCOMPARE(outcome.ends(), 1);
    }

    // The job's own caller hears its end after the notice; a caller refused because another
    // job runs hears so at once, and nobody else does.
    void callersHearTheirOwnJobsEnd()
    {
        const QByteArray archive = zipWithJava("jdk", 17);
        m_server.route("/java.zip", TestReply::ok(archive).delayed(200));
        const JavaRuntimeEntry entry = makeEntry("own", "zip", m_server.url("/java.zip"));
        JavaInstaller installer;
        Outcome outcome(installer);
        QStringList heard;
        const auto caller = [&](const QString& name) {
            return [&heard, &outcome, name](const JobOutcome& end) {
                heard.append(QStringList{name, QString::number(end.kind), end.message, end.result,
                                         QString::number(outcome.ends())}
                                 .join(QLatin1Char(':')));
            };
        };
        installer.install(entry, caller("own"));
        installer.install(makeEntry("other", "zip", m_server.url("/other.zip")), caller("other"));
        const QString busy = Loc::text("java.error.installBusy").arg(labelOf(entry));
        QCOMPARE(heard, QStringList({"other:1:" + busy + "::0"}));
        QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 2, 15000);
        QCOMPARE(outcome.failure(), QString());
        QCOMPARE(heard.last(), "own:0::" + runtimeDir(entry.id) + "/jdk/bin/java:1");
        QCOMPARE(outcome.started.size(), 1);
    }

    void destroyedDuringJobReportsNothing()
    {
        m_server.route("/slow.zip", TestReply::ok(zipWithJava("jdk", 17, 300)).slow(512, 20));
        auto installer = std::make_unique<JavaInstaller>();
        Outcome outcome(*installer);
        installer->install(makeEntry("gone", "zip", m_server.url("/slow.zip")));
        QTRY_VERIFY(installer->status().bytesDone > 0);
        installer.reset();
        QTest::qWait(100);
        QCOMPARE(outcome.ends(), 0);
        // Nothing half-written is left behind in the download folder.
        QVERIFY(downloadDirIsEmpty());
    }

    void cancelDuringZipExtraction()
    {
        const QByteArray archive = zipWithJava("jdk", 17, 300);
        m_server.route("/big.zip", TestReply::ok(archive));
        const JavaRuntimeEntry entry = makeEntry("big", "zip", m_server.url("/big.zip"));
        JavaInstaller installer;
        Outcome outcome(installer);
        connect(&installer, &JavaInstaller::progressChanged, this, [&] {
            if (installer.status().stage == Loc::text("java.progress.extracting").arg("17.0.1"))
                QTimer::singleShot(0, &installer, &JavaInstaller::cancel);
        });
        run(installer, entry, outcome);
        QCOMPARE(outcome.canceled.size(), 1);
        expectGone(entry.id);
        // A complete download stays for a later attempt.
        QCOMPARE(readFile(LauncherPaths::javaDownloadDir() + "/big.zip"), archive);
    }

    void cancelDuringTarExtraction()
    {
        makeTree("jdk", 17);
        const QByteArray archive = tarGz({}, "jdk");
        m_server.route("/jdk.tar.gz", TestReply::ok(archive));
        // A tar that lists at once but takes its time to extract.
        const QString fakeBin = work("fakebin");
        QVERIFY(writeFile(fakeBin + "/tar",
                          "#!/bin/sh\ncase \"$1\" in -x*) exec /bin/sleep 30;; esac\nexec " +
                              m_tar.toLocal8Bit() + " \"$@\"\n",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | kExecuteBits));
        qputenv("PATH", fakeBin.toLocal8Bit() + ':' + m_path);

        const JavaRuntimeEntry entry = makeEntry("tarred", "tar.gz", m_server.url("/jdk.tar.gz"));
        JavaInstaller installer;
        Outcome outcome(installer);
        bool scheduled = false;
        connect(&installer, &JavaInstaller::progressChanged, this, [&] {
            if (!scheduled &&
                installer.status().stage == Loc::text("java.progress.extracting").arg("17.0.1")) {
                scheduled = true;
                QTimer::singleShot(500, &installer, &JavaInstaller::cancel);
            }
        });
        QElapsedTimer clock;
        clock.start();
        run(installer, entry, outcome);
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(outcome.failure(), QString());
        QCOMPARE(outcome.canceled.size(), 1);
        QCOMPARE(outcome.ends(), 1);
        expectGone(entry.id);
        QCOMPARE(readFile(LauncherPaths::javaDownloadDir() + "/jdk.tar.gz"), archive);
    }

    void tarMissingFromSearchPath()
    {
        makeTree("jdk", 17);
        m_server.route("/jdk.tar.gz", TestReply::ok(tarGz({}, "jdk")));
        QVERIFY(QDir().mkpath(work("empty")));
        qputenv("PATH", work("empty").toLocal8Bit());
        const JavaRuntimeEntry entry = makeEntry("tarless", "tar.gz", m_server.url("/jdk.tar.gz"));
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QVERIFY2(outcome.failure().startsWith(Loc::text("java.error.extractFailed").arg(QString())),
                 qPrintable(outcome.failure()));
        QVERIFY(outcome.failure().size() > Loc::text("java.error.extractFailed").arg("").size());
        expectGone(entry.id);
        QVERIFY(downloadDirIsEmpty());
    }

    void installsFileManifest()
    {
        const QByteArray java = javaScript(17);
        const QByteArray library = QByteArray(3000, 'l');
        const QByteArray license = "license text";
        const QByteArray release = "JAVA_VERSION=\"17\"";
        m_server.route("/files/java", TestReply::ok(java));
        m_server.route("/files/libjli.so", TestReply::ok(library));
        m_server.route("/files/LICENSE", TestReply::ok(license));
        m_server.route("/files/release", TestReply::ok(release));
        const QByteArray document = manifest(QJsonObject{
            {"bin", directoryItem()},
            {"bin/java", fileItem(m_server.url("/files/java").toString(), java, true)},
            {"lib/libjli.so", fileItem(m_server.url("/files/libjli.so").toString(), library)},
            {"lib/server", directoryItem()},
            {"legal/java.base/LICENSE",
             fileItem(m_server.url("/files/LICENSE").toString(), license)},
            {"legal/java.desktop/LICENSE", linkItem("../java.base/LICENSE")},
            {"release", fileItem(m_server.url("/files/release").toString(), release, false, false)},
            {"ignored", QJsonObject{{"type", "socket"}}},
        });
        m_server.route("/manifest.json", TestReply::json(document));
        const JavaRuntimeEntry entry =
            makeEntry("mojang-java-runtime-gamma", "mojang", m_server.url("/manifest.json"),
                      hex(document, QCryptographicHash::Sha1));

        JavaInstaller installer;
        Outcome outcome(installer);
        QStringList stages;
        connect(&installer, &JavaInstaller::progressChanged, this, [&] {
            if (!installer.status().stage.isEmpty() && !stages.contains(installer.status().stage))
                stages.append(installer.status().stage);
        });
        run(installer, entry, outcome);

        const QString root = runtimeDir(entry.id);
        const qint64 declared = java.size() + library.size() + license.size() + release.size();
        expectInstalled(outcome, entry, root + "/bin/java", declared);
        QCOMPARE(stages, (QStringList{Loc::text("java.progress.fileList").arg("17.0.1"),
                                      Loc::text("java.progress.downloadingBuild").arg("17.0.1"),
                                      Loc::text("java.progress.verifying")}));
        QCOMPARE(readFile(root + "/lib/libjli.so"), library);
        QCOMPARE(QFile::permissions(root + "/lib/libjli.so") & kExecuteBits,
                 QFileDevice::Permissions());
        QVERIFY(QFileInfo(root + "/lib/server").isDir());
        QCOMPARE(linkText(root + "/legal/java.desktop/LICENSE"),
                 QStringLiteral("../java.base/LICENSE"));
        QCOMPARE(readFile(root + "/legal/java.desktop/LICENSE"), license);
        QVERIFY(!QFileInfo::exists(root + "/ignored"));
        QCOMPARE(m_server.requestCount(), 5);
    }

    // A runtime removed by the player and installed again by the same installer gets
    // every folder its files need, also those no manifest entry names.
    void reinstallsRemovedFileManifest()
    {
        const QByteArray java = javaScript(17);
        const QByteArray library = QByteArray(3000, 'l');
        m_server.route("/files/java", TestReply::ok(java));
        m_server.route("/files/libjli.so", TestReply::ok(library));
        m_server.route(
            "/manifest.json",
            TestReply::json(manifest(QJsonObject{
                {"bin/java", fileItem(m_server.url("/files/java").toString(), java, true)},
                {"lib/libjli.so", fileItem(m_server.url("/files/libjli.so").toString(), library)},
            })));
        const JavaRuntimeEntry entry =
            makeEntry("mojang-java-runtime-delta", "mojang", m_server.url("/manifest.json"));
        JavaInstaller installer;
        const QString root = runtimeDir(entry.id);
        for (int round = 0; round < 2; ++round) {
            Outcome outcome(installer);
            run(installer, entry, outcome);
            expectInstalled(outcome, entry, root + "/bin/java", java.size() + library.size());
            QCOMPARE(readFile(root + "/lib/libjli.so"), library);
            QVERIFY(JavaRuntimeStore::remove(entry.id));
            expectGone(entry.id);
        }
    }

    // Sizes a file list gives may sum past 64 bits: the bytes then have no total, and the
    // progress goes by the files done instead of by a wrapped sum.
    void sizesPastSixtyFourBitsLeaveNoByteTotal()
    {
        const auto sized = [this](const char* name, qint64 size) {
            const QString path = QStringLiteral("/files/") + QLatin1String(name);
            m_server.route(path, TestReply::ok("abc").delayed(300));
            QJsonObject item = fileItem(m_server.url(path).toString(), "abc");
            QJsonObject downloads = item.value("downloads").toObject();
            QJsonObject raw = downloads.value("raw").toObject();
            raw.insert("size", size);
            downloads.insert("raw", raw);
            item.insert("downloads", downloads);
            return item;
        };
        const qint64 huge = std::numeric_limits<qint64>::max();
        const QByteArray document = manifest(QJsonObject{{"bin/java", sized("java", huge)},
                                                         {"lib/big", sized("big", huge)},
                                                         {"lib/small", sized("small", 3)}});
        m_server.route("/manifest.json", TestReply::json(document));
        const JavaRuntimeEntry entry = makeEntry("huge", "mojang", m_server.url("/manifest.json"),
                                                 hex(document, QCryptographicHash::Sha1));

        JavaInstaller installer;
        Outcome outcome(installer);
        QList<InstallerStatus> seen;
        connect(&installer, &JavaInstaller::progressChanged, this,
                [&] { seen.append(installer.status()); });
        run(installer, entry, outcome);
        QVERIFY(!seen.isEmpty());
        for (const InstallerStatus& status : std::as_const(seen)) {
            QCOMPARE(status.bytesTotal, 0);
            QVERIFY(status.fraction == -1.0 || (status.fraction >= 0 && status.fraction <= 1));
        }
    }

    void linksOnlyManifestNeedsNoDownload()
    {
        // Only folders and links: nothing to download, the links are made at once.
        const QByteArray document = manifest(QJsonObject{
            {"bin", directoryItem()},
            {"bin/java", linkItem("java-real")},
        });
        m_server.route("/manifest.json", TestReply::json(document));
        const JavaRuntimeEntry entry =
            makeEntry("links-only", "mojang", m_server.url("/manifest.json"));
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        // The link leads nowhere, so no java is found.
        QCOMPARE(outcome.failure(), Loc::text("java.error.noExecutable"));
        QCOMPARE(m_server.requestCount(), 1);
        expectGone(entry.id);
    }

    void refusesUnsafeManifests_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonObject>("item");
        QTest::addColumn<QString>("messageKey");
        QTest::addColumn<bool>("downloadsFirst");
        QTest::newRow("escaping link")
            << "legal/x" << linkItem("../../../outside") << "java.error.manifestBadPath" << false;
        QTest::newRow("absolute link")
            << "legal/x" << linkItem("/etc/passwd") << "java.error.manifestBadPath" << false;
        QTest::newRow("climbing directory")
            << "../escape" << directoryItem() << "java.error.manifestBadPath" << false;
        QTest::newRow("climbing file")
            << "bin/../../evil" << fileItem("https://127.0.0.1:1/evil", "evil")
            << "java.error.manifestBadPath" << false;
        QTest::newRow("plain http file")
            << "lib/plain" << fileItem("http://127.0.0.1:1/plain", "plain")
            << "java.error.manifestInsecureUrl" << false;
        // "up" leads back to the runtime folder, so "up/x" -> ".." leaves it on the disk.
        QTest::newRow("link through a link")
            << "up/x" << linkItem("..") << "java.error.manifestBadPath" << true;
    }

    void refusesUnsafeManifests()
    {
        QFETCH(QString, key);
        QFETCH(QJsonObject, item);
        QFETCH(QString, messageKey);
        QFETCH(bool, downloadsFirst);
        const QByteArray java = javaScript(17);
        m_server.route("/files/java", TestReply::ok(java));
        QJsonObject files{
            {"bin/java", fileItem(m_server.url("/files/java").toString(), java, true)},
            {"up", linkItem(".")},
        };
        files.insert(key, item);
        m_server.route("/manifest.json", TestReply::json(manifest(files)));
        const JavaRuntimeEntry entry =
            makeEntry("unsafe", "mojang", m_server.url("/manifest.json"));

        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(outcome.failure(), Loc::text(messageKey.toLatin1().constData()).arg(key));
        QCOMPARE(m_server.requestCount("/files/java"), downloadsFirst ? 1 : 0);
        expectGone(entry.id);
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir() + "/escape"));
        QVERIFY(!QFileInfo::exists(LauncherPaths::javaDir() + "/evil"));
    }

    void refusesUnusableManifests_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("wrongChecksum");
        QTest::addColumn<QString>("messageKey");
        QTest::newRow("not json") << QByteArray("<html>") << false
                                  << "java.error.manifestUnparsable";
        QTest::newRow("no files") << QByteArray(R"({"files":{}})") << false
                                  << "java.error.manifestUnparsable";
        QTest::newRow("checksum differs") << QByteArray(R"({"files":{"bin":{"type":"directory"}}})")
                                          << true << "java.error.manifestChecksum";
    }

    void refusesUnusableManifests()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, wrongChecksum);
        QFETCH(QString, messageKey);
        m_server.route("/manifest.json", TestReply::json(document));
        const JavaRuntimeEntry entry = makeEntry(
            "bad", "mojang", m_server.url("/manifest.json"),
            wrongChecksum ? hex("another document", QCryptographicHash::Sha1) : QString());
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(outcome.failure(), Loc::text(messageKey.toLatin1().constData()));
        expectGone(entry.id);
    }

    void retriesFiles_data()
    {
        // 0 stands for a reply that stalls until the transfer time-out.
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<bool>("corrupt");
        QTest::addColumn<int>("requests");
        QTest::addColumn<bool>("installs");
        QTest::newRow("503, 503, 200") << QList<int>{503, 503, 200} << false << 3 << true;
        QTest::newRow("503 three times") << QList<int>{503, 503, 503} << false << 3 << false;
        QTest::newRow("time-out, then 200") << QList<int>{0, 200} << false << 2 << true;
        QTest::newRow("404 at once") << QList<int>{404, 200} << false << 1 << false;
        QTest::newRow("corrupt three times") << QList<int>{200} << true << 3 << false;
    }

    void retriesFiles()
    {
        QFETCH(QList<int>, statuses);
        QFETCH(bool, corrupt);
        QFETCH(int, requests);
        QFETCH(bool, installs);
        HttpRequest::setTransferTimeoutForTesting(400);
        const QByteArray java = javaScript(17);
        QList<TestReply> script;
        for (const int status : std::as_const(statuses))
            script.append(status == 200 ? TestReply::ok(corrupt ? "tampered" : java)
                          : status == 0 ? TestReply::ok(java).stalledAfter(10)
                                        : TestReply::status(status));
        m_server.route("/files/java", script);
        m_server.route(
            "/manifest.json",
            TestReply::json(manifest(QJsonObject{
                {"bin/java", fileItem(m_server.url("/files/java").toString(), java, true)},
            })));
        const JavaRuntimeEntry entry =
            makeEntry("retried", "mojang", m_server.url("/manifest.json"));
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        QCOMPARE(m_server.requestCount("/files/java"), requests);
        if (installs) {
            expectInstalled(outcome, entry, runtimeDir(entry.id) + "/bin/java", java.size());
            return;
        }
        const QString failure = Loc::text("common.error.downloadFailed");
        if (corrupt)
            QCOMPARE(outcome.failure(),
                     failure.arg("bin/java", Loc::text("common.error.checksumMismatch")));
        else
            QVERIFY2(outcome.failure().startsWith(failure.arg("bin/java", QString())),
                     qPrintable(outcome.failure()));
        expectGone(entry.id);
    }

    void downloadsAtMostFourFilesAtOnce()
    {
        QJsonObject files;
        qint64 declared = 0;
        for (int i = 0; i < 8; ++i) {
            const QByteArray content = i == 0 ? javaScript(17) : QByteArray(1000 + i, 'x');
            const QString path = QStringLiteral("/files/%1").arg(i);
            m_server.route(path, TestReply::ok(content).delayed(200));
            files.insert(i == 0 ? QStringLiteral("bin/java") : QStringLiteral("lib/f%1").arg(i),
                         fileItem(m_server.url(path).toString(), content, i == 0));
            declared += content.size();
        }
        m_server.route("/manifest.json", TestReply::json(manifest(files)));
        const JavaRuntimeEntry entry =
            makeEntry("parallel", "mojang", m_server.url("/manifest.json"));
        JavaInstaller installer;
        Outcome outcome(installer);
        run(installer, entry, outcome);
        expectInstalled(outcome, entry, runtimeDir(entry.id) + "/bin/java", declared);
        QCOMPARE(m_server.maxConcurrent(), 4);
        QCOMPARE(m_server.requestCount(), 9);
    }

    void failedJobStopsItsDownloads()
    {
        const QByteArray java = javaScript(17);
        m_server.route("/files/missing", TestReply::notFound().delayed(200));
        QJsonObject files{{"bin/java", fileItem(m_server.url("/files/missing").toString(), java)}};
        for (int i = 0; i < 3; ++i) {
            const QString path = QStringLiteral("/files/stalled%1").arg(i);
            m_server.route(path, TestReply::ok(QByteArray(4096, 's')).stalledAfter(100));
            files.insert(QStringLiteral("lib/s%1").arg(i),
                         fileItem(m_server.url(path).toString(), QByteArray(4096, 's')));
        }
        m_server.route("/manifest.json", TestReply::json(manifest(files)));
        const QByteArray archive = zipWithJava("jdk", 17);
        m_server.route("/next.zip", TestReply::ok(archive));

        JavaInstaller installer;
        Outcome outcome(installer);
        const JavaRuntimeEntry first = makeEntry("first", "mojang", m_server.url("/manifest.json"));
        const JavaRuntimeEntry next = makeEntry("next", "zip", m_server.url("/next.zip"));
        // The next job starts straight from the failure, while the stalled replies still exist.
        connect(&installer, &JavaInstaller::failed, this, [&] { installer.install(next); });
        installer.install(first);
        QTRY_COMPARE_WITH_TIMEOUT(outcome.finished.size(), 1, 15000);
        QCOMPARE(outcome.failed.size(), 1);
        QVERIFY(outcome.failure().startsWith(
            Loc::text("common.error.downloadFailed").arg("bin/java", QString())));
        QCOMPARE(outcome.finished.first().at(0).toString(), QStringLiteral("next"));
        // The stalled downloads were given up, not left to run into the next job.
        QTRY_COMPARE(m_server.inFlight(), 0);
        QTest::qWait(100);
        QCOMPARE(outcome.ends(), 2);
        expectGone(first.id);
        QVERIFY(JavaRuntimeStore::find(next.id));
    }

    void cancelDuringFileDownloads()
    {
        QJsonObject files;
        for (int i = 0; i < 6; ++i) {
            const QString path = QStringLiteral("/files/stalled%1").arg(i);
            // Late enough that the client reports the bytes it got.
            m_server.route(path,
                           TestReply::ok(QByteArray(4096, 's')).delayed(200).stalledAfter(100));
            files.insert(QStringLiteral("lib/s%1").arg(i),
                         fileItem(m_server.url(path).toString(), QByteArray(4096, 's')));
        }
        m_server.route("/manifest.json", TestReply::json(manifest(files)));
        const JavaRuntimeEntry entry =
            makeEntry("stalled", "mojang", m_server.url("/manifest.json"));
        JavaInstaller installer;
        Outcome outcome(installer);
        installer.install(entry);
        QTRY_COMPARE(m_server.inFlight(), 4);
        QTRY_VERIFY2(installer.status().bytesDone >= 400,
                     qPrintable(QString::number(installer.status().bytesDone)));
        QVERIFY(installer.status().fraction > 0 && installer.status().fraction < 1);
        installer.cancel();
        QTRY_COMPARE(outcome.ends(), 1);
        QCOMPARE(outcome.canceled.size(), 1);
        QVERIFY(!installer.isBusy());
        QTRY_COMPARE(m_server.inFlight(), 0);
        QCOMPARE(m_server.requestCount(), 5);
        expectGone(entry.id);
    }
};

QTEST_GUILESS_MAIN(TestJavaInstaller)
#include "tst_javainstaller.moc"
