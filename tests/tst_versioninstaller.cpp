#include "diskspace.h"
#include "fulldisk.h"
#include "httprequest.h"
#include "launcherpaths.h"
#include "localization.h"
#include "mountedfolders.h"
#include "namedloopback.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "tunnelproxy.h"
#include "versioninstaller.h"
#include "versionmanifestservice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace {

const QString kFixtures = QStringLiteral(HM_TEST_SOURCE_DIR "/fixtures/versioninstaller/");
const QString kManifestPath = QStringLiteral("/mc/game/version_manifest_v2.json");
constexpr int kEndTimeoutMs = 20000;

using TestHelpers::readFile;

QString sha1Of(const QByteArray& bytes)
{
    return TestHelpers::hex(bytes, QCryptographicHash::Sha1);
}

// Serves the fixture version: descriptions, files, asset objects and the manifest.
// Fixture documents name the server as {{BASE}} (or {{ALT}}, the same server
// reached as "localhost") and other fixture files as {{SHA1:path}} and {{SIZE:path}}.
class VersionSite {
public:
    // `base` is the origin the documents name the server by; empty: its own.
    explicit VersionSite(TestServer& server, const QString& base = {})
        : m_server(server), m_base(base.isEmpty() ? server.origin() : base)
    {
        m_server.routePrefix(QStringLiteral("/files/"), [this](const TestRequest& request) {
            const QString relative = request.path.mid(1);
            if (!QFileInfo::exists(kFixtures + relative))
                return TestReply::notFound();
            return TestReply::ok(render(relative));
        });
        m_server.route(QStringLiteral("/maven/org/example/beta/2.0/beta-2.0.jar"),
                       TestReply::ok(render(QStringLiteral("files/beta.jar"))));
        for (int i = 0; i < 10; ++i) {
            const QByteArray content = object(i);
            const QString hash = sha1Of(content);
            m_server.route(QLatin1Char('/') + hash.left(2) + QLatin1Char('/') + hash,
                           TestReply::ok(content));
        }
    }

    QString alternativeOrigin() const
    {
        return QStringLiteral("https://localhost:%1").arg(m_server.port());
    }

    QByteArray render(const QString& relative) const
    {
        QString text = QString::fromUtf8(readFile(kFixtures + relative));
        text.replace(QStringLiteral("{{BASE}}"), m_base);
        text.replace(QStringLiteral("{{ALT}}"), alternativeOrigin());
        static const QRegularExpression placeholder(
            QStringLiteral(R"(\{\{(SHA1|SIZE):([^}]+)\}\})"));
        QRegularExpressionMatch match;
        while ((match = placeholder.match(text)).hasMatch()) {
            const QByteArray target = render(match.captured(2));
            const QString value = match.captured(1) == QLatin1String("SHA1")
                                      ? sha1Of(target)
                                      : QString::number(target.size());
            text.replace(match.capturedStart(), match.capturedLength(), value);
        }
        return text.toUtf8();
    }

    static QByteArray object(int index)
    {
        return readFile(kFixtures + QStringLiteral("objects/%1.bin").arg(index));
    }

    // Publishes descriptions under /versions/<id>.json and lists them in the manifest.
    // A null sha1 lists the body's real one.
    void publish(const QString& id, const QByteArray& body, const QString& sha1 = QString())
    {
        const QString path = QStringLiteral("/versions/%1.json").arg(id);
        m_server.route(path, TestReply::json(body));
        m_entries.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("type"), QStringLiteral("release")},
            {QStringLiteral("url"), m_base + path},
            {QStringLiteral("sha1"), sha1.isNull() ? sha1Of(body) : sha1},
            {QStringLiteral("releaseTime"), QStringLiteral("2020-01-01T00:00:00+00:00")},
        });
        m_server.route(
            kManifestPath,
            TestReply::json(
                QJsonDocument(QJsonObject{{QStringLiteral("versions"), m_entries}}).toJson())
                .delayed(m_manifestDelayMs));
    }
    // The version list published from now on is answered this much after its request.
    void delayManifest(int ms) { m_manifestDelayMs = ms; }
    void publishFixtures(const QStringList& ids)
    {
        for (const QString& id : ids)
            publish(id, render(QStringLiteral("versions/%1.json").arg(id)));
    }

private:
    TestServer& m_server;
    const QString m_base;
    QJsonArray m_entries;
    int m_manifestDelayMs = 0;
};

// Answers as the system's rules do where only https goes through a proxy: that proxy for
// a request whose scheme is https, no proxy for anything else.
class HttpsOnlyProxy : public QNetworkProxyFactory {
public:
    explicit HttpsOnlyProxy(quint16 port) : m_port(port) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        if (query.protocolTag() == QLatin1String("https"))
            return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port)};
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    }

private:
    const quint16 m_port;
};

// Files this process holds open below a directory; a save-file's temporary file may
// have no name in the directory, but it shows here.
int openFilesUnder(const QString& dir)
{
    int count = 0;
    QDirIterator it(QStringLiteral("/proc/self/fd"), QDir::Files | QDir::System);
    while (it.hasNext()) {
        if (QFileInfo(it.next()).symLinkTarget().startsWith(dir + QLatin1Char('/')))
            ++count;
    }
    return count;
}

} // namespace

class VersionInstallerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(Localization::instance()->load()); }
    void init();
    void cleanup();

    void installsCompleteVersion();
    void presentFilesAreRecognisedBySize();
    void foldersRemovedBetweenJobsAreMadeAgain();
    void unusableLinksFailWithWarnings();
    void downloadFailuresAndRetries();
    void staleRetryIsDropped();
    void fullDiskFailsWithTheSystemsReason_data();
    void fullDiskFailsWithTheSystemsReason();
    void readOnlyGameFolderFailsWithTheSystemsReason_data();
    void readOnlyGameFolderFailsWithTheSystemsReason();
    void cancelRemovesPartialFiles();
    void cancelBeforeDownloads();
    void missingParentIsInstalledFirst();
    void legacyAssetsAreCopied();
    void neverMoreThanEightDownloads();
    void refusalsAndQueue();
    void finishedHandlerMayInstallAgain();
    void jobEndedFromItsStartNoticeStaysEnded();
    void failureDropsWaitingJobs();
    void callersHearTheirOwnJobsEnd();
    void callersOfDroppedJobsAreTold_data();
    void callersOfDroppedJobsAreTold();
    void descriptionSources();
    void descriptionChecks();
    void parentChainIsBounded();
    void sizesPastSixtyFourBitsLeaveTheTotalUnknown();
    void everyConnectionGoesThroughTheSystemsProxy_data();
    void everyConnectionGoesThroughTheSystemsProxy();
    void connectionsOpenedAheadEndWithTheirJob_data();
    void connectionsOpenedAheadEndWithTheirJob();

private:
    QString path(const QString& relative) const { return m_gameDir + QLatin1Char('/') + relative; }
    QByteArray content(const QString& relative) const { return readFile(path(relative)); }
    void place(const QString& relative, const QByteArray& bytes) const;
    // Places the version's description and the file at `present` (its client jar's bytes),
    // leaving the version out of the manifest, so that the description on disk is used
    // as it is and only the version's other file has to be written.
    void placeUnlisted(const QString& id, const QString& present) const;
    QStringList filesUnder(const QString& relative) const;
    // Installs and waits for the job to end; returns its end entry of the log.
    QString run(const QString& id);
    bool waitForEnds(int count);
    int endCount() const;
    // A completion that logs "answered:<caller>:<outcome>:<result>".
    JobDone caller(const QString& name);

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<VersionSite> m_site;
    std::unique_ptr<VersionManifestService> m_manifest;
    std::unique_ptr<VersionInstaller> m_installer;
    QString m_gameDir;
    QStringList m_log;
    QString m_lastFailure;
    QList<bool> m_progressBusy; // isBusy() at each progressChanged()
};

void VersionInstallerTest::init()
{
    m_home = std::make_unique<TempHome>();
    m_server = std::make_unique<TestServer>();
    RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    m_site = std::make_unique<VersionSite>(*m_server);
    m_manifest = std::make_unique<VersionManifestService>();
    m_installer = std::make_unique<VersionInstaller>(m_manifest.get());
    m_gameDir = m_home->path() + QStringLiteral("/.minecraft");
    m_log.clear();
    m_lastFailure.clear();
    m_progressBusy.clear();

    VersionInstaller* installer = m_installer.get();
    connect(installer, &VersionInstaller::started, this,
            [this](const QString& id) { m_log.append(QStringLiteral("started:") + id); });
    connect(installer, &VersionInstaller::finished, this,
            [this](const QString& id) { m_log.append(QStringLiteral("finished:") + id); });
    connect(installer, &VersionInstaller::failed, this,
            [this](const QString& id, const QString& message) {
                m_log.append(QStringLiteral("failed:") + id);
                m_lastFailure = message;
            });
    connect(installer, &VersionInstaller::canceled, this,
            [this](const QString& id) { m_log.append(QStringLiteral("canceled:") + id); });
    connect(installer, &VersionInstaller::progressChanged, this,
            [this, installer] { m_progressBusy.append(installer->isBusy()); });
}

void VersionInstallerTest::cleanup()
{
    m_installer.reset();
    m_manifest.reset();
    m_site.reset();
    m_server.reset();
    RemoteAddresses::resetForTesting();
    m_home.reset();
}

void VersionInstallerTest::place(const QString& relative, const QByteArray& bytes) const
{
    QDir().mkpath(QFileInfo(path(relative)).path());
    QFile file(path(relative));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void VersionInstallerTest::placeUnlisted(const QString& id, const QString& present) const
{
    place(QStringLiteral("versions/%1/%1.json").arg(id),
          m_site->render(QStringLiteral("versions/%1.json").arg(id)));
    place(present, m_site->render(QStringLiteral("files/client.jar")));
}

QStringList VersionInstallerTest::filesUnder(const QString& relative) const
{
    QStringList files;
    QDirIterator it(path(relative), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(path(relative)).relativeFilePath(it.next()));
    files.sort();
    return files;
}

int VersionInstallerTest::endCount() const
{
    int ends = 0;
    for (const QString& entry : m_log) {
        if (!entry.startsWith(QLatin1String("started:")))
            ++ends;
    }
    return ends;
}

bool VersionInstallerTest::waitForEnds(int count)
{
    return QTest::qWaitFor([&] { return endCount() >= count; }, kEndTimeoutMs);
}

JobDone VersionInstallerTest::caller(const QString& name)
{
    return [this, name](const JobOutcome& outcome) {
        static const QStringList kinds = {"succeeded", "failed", "canceled", "dropped"};
        m_log.append(
            QStringLiteral("answered:%1:%2:%3").arg(name, kinds.at(outcome.kind), outcome.result));
        if (outcome.kind == JobOutcome::Failure)
            QCOMPARE(outcome.message, m_lastFailure);
    };
}

QString VersionInstallerTest::run(const QString& id)
{
    const int ends = endCount();
    m_installer->install(m_gameDir, id);
    if (!waitForEnds(ends + 1))
        return QStringLiteral("timeout");
    return m_log.last();
}

void VersionInstallerTest::installsCompleteVersion()
{
    m_site->publishFixtures({QStringLiteral("mini")});
    place(QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar"), "placed by hand");

    QElapsedTimer timer;
    timer.start();
    m_installer->install(m_gameDir, QStringLiteral("  mini "));
    QCOMPARE(m_log, QStringList{"started:mini"});
    QCOMPARE(m_progressBusy, QList<bool>{true});
    QVERIFY(m_installer->isBusy());
    QCOMPARE(m_installer->versionId(), QStringLiteral("mini"));
    QCOMPARE(m_installer->status().stage, Loc::text("version.progress.fetchingList"));
    QCOMPARE(m_installer->status().fraction, -1.0);
    QVERIFY(waitForEnds(1));
    const qint64 elapsedMs = timer.elapsed();
    QCOMPARE(m_log, QStringList({"started:mini", "finished:mini"}));

    // The description is kept exactly as served; every file is where the game looks.
    QCOMPARE(content("versions/mini/mini.json"), m_site->render("versions/mini.json"));
    QCOMPARE(content("versions/mini/mini.jar"), m_site->render("files/client.jar"));
    QCOMPARE(content("libraries/org/example/alpha/1.0/alpha-1.0.jar"),
             m_site->render("files/alpha.jar"));
    QCOMPARE(content("libraries/org/example/beta/2.0/beta-2.0.jar"),
             m_site->render("files/beta.jar"));
    QCOMPARE(content("libraries/org/example/platform/1.0/platform-1.0-natives-linux.jar"),
             m_site->render("files/platform-natives.jar"));
    QCOMPARE(content("assets/log_configs/client-1.12.xml"),
             m_site->render("files/client-1.12.xml"));
    QCOMPARE(content("assets/indexes/mini.json"), m_site->render("files/indexes/mini.json"));
    QCOMPARE(content("libraries/org/example/local/3.0/local-3.0.jar"),
             QByteArray("placed by hand"));
    QVERIFY(!QFileInfo::exists(path("libraries/org/example/windows-only")));
    QCOMPARE(m_server->requestCount(QStringLiteral("/files/never.jar")), 0);

    qint64 objectBytes = 0;
    for (int i = 0; i < 10; ++i) {
        const QByteArray object = VersionSite::object(i);
        const QString hash = sha1Of(object);
        QCOMPARE(content(QStringLiteral("assets/objects/%1/%2").arg(hash.left(2), hash)), object);
        objectBytes += object.size();
    }
    QCOMPARE(filesUnder(QStringLiteral("assets/objects")).size(), 10); // not the malformed one
    QCOMPARE(m_server->requestCount(), 1 + 1 + 6 + 10); // manifest, description, files, objects

    // The announced total gives way to the listed object sizes; a file without a
    // size adds nothing to the total.
    const qint64 expectedTotal = m_site->render("files/client.jar").size() +
                                 m_site->render("files/alpha.jar").size() +
                                 m_site->render("files/platform-natives.jar").size() +
                                 m_site->render("files/indexes/mini.json").size() +
                                 m_site->render("files/client-1.12.xml").size() + objectBytes;
    QCOMPARE(m_installer->status().bytesTotal, expectedTotal);

    // Progress is coalesced, and the installer reports once more when it goes idle.
    QVERIFY2(m_progressBusy.size() <= 2 + elapsedMs / 100 + 1,
             qPrintable(QString::number(m_progressBusy.size())));
    QCOMPARE(m_progressBusy.last(), false);
    QVERIFY(!m_installer->isBusy());
    QVERIFY(m_installer->versionId().isEmpty());
    QVERIFY(m_installer->status().stage.isEmpty());
}

void VersionInstallerTest::presentFilesAreRecognisedBySize()
{
    m_site->publishFixtures({QStringLiteral("mini")});
    place(QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar"), "local");
    place(QStringLiteral("versions/mini/mini.jar"), "too short");
    const QByteArray sameSize(m_site->render("files/alpha.jar").size(), 'x');
    place(QStringLiteral("libraries/org/example/alpha/1.0/alpha-1.0.jar"), sameSize);
    place(QStringLiteral("libraries/org/example/beta/2.0/beta-2.0.jar"), "no size listed");
    place(QStringLiteral("assets/indexes/mini.json"), m_site->render("files/indexes/mini.json"));

    QCOMPARE(run(QStringLiteral("mini")), QStringLiteral("finished:mini"));
    QCOMPARE(content("versions/mini/mini.jar"), m_site->render("files/client.jar"));
    QCOMPARE(m_server->requestCount(QStringLiteral("/files/client.jar")), 1);
    // Present files of the expected size (or of no known size) are not fetched or hashed.
    QCOMPARE(content("libraries/org/example/alpha/1.0/alpha-1.0.jar"), sameSize);
    QCOMPARE(content("libraries/org/example/beta/2.0/beta-2.0.jar"), QByteArray("no size listed"));
    QCOMPARE(m_server->requestCount(QStringLiteral("/files/alpha.jar")), 0);
    QCOMPARE(m_server->requestCount(QStringLiteral("/maven/org/example/beta/2.0/beta-2.0.jar")), 0);
    // A present asset index is read without a download and its objects still fetched.
    QCOMPARE(m_server->requestCount(QStringLiteral("/files/indexes/mini.json")), 0);
    QCOMPARE(filesUnder(QStringLiteral("assets/objects")).size(), 10);

    // A second run finds everything present and downloads nothing but the description.
    m_server->clearLog();
    QCOMPARE(run(QStringLiteral("mini")), QStringLiteral("finished:mini"));
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_installer->status().fraction, 1.0);
}

// A player repairing an install removes libraries/ and assets/; every later install
// makes the folders it needs again.
void VersionInstallerTest::foldersRemovedBetweenJobsAreMadeAgain()
{
    m_site->publishFixtures({QStringLiteral("mini")});
    const QString local = QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar");
    for (int round = 0; round < 3; ++round) {
        place(local, "placed by hand");
        QCOMPARE(run(QStringLiteral("mini")), QStringLiteral("finished:mini"));
        QCOMPARE(content("libraries/org/example/alpha/1.0/alpha-1.0.jar"),
                 m_site->render("files/alpha.jar"));
        QCOMPARE(filesUnder(QStringLiteral("assets/objects")).size(), 10);
        QVERIFY(QDir(path(QStringLiteral("libraries"))).removeRecursively());
        QVERIFY(QDir(path(QStringLiteral("assets"))).removeRecursively());
    }
}

void VersionInstallerTest::unusableLinksFailWithWarnings()
{
    m_site->publishFixtures({QStringLiteral("broken-links")});
    QCOMPARE(run(QStringLiteral("broken-links")), QStringLiteral("failed:broken-links"));

    const QStringList missing = {
        QDir::toNativeSeparators(path("versions/broken-links/broken-links.jar")),
        QDir::toNativeSeparators(path("libraries/org/example/local/3.0/local-3.0.jar")),
        QDir::toNativeSeparators(path("libraries/org/example/insecure/1.0/insecure-1.0.jar")),
        QDir::toNativeSeparators(path("libraries/org/example/local2/1.0/local2-1.0.jar")),
    };
    // Only the first three warnings are appended; the malformed asset hash is the fourth.
    const QStringList warnings = {
        Loc::text("version.error.libraryNoUrl").arg("org.example:local:3.0"),
        Loc::text("version.warning.skippedBadUrl").arg("org.example:insecure:1.0"),
        Loc::text("version.error.libraryNoUrl").arg("org.example:local2:1.0"),
    };
    const QString expected =
        Loc::text("version.error.filesMissingAfterDownload").arg("4", missing.join('\n')) + '\n' +
        warnings.join('\n');
    QCOMPARE(m_lastFailure, expected);
    QCOMPARE(filesUnder(QStringLiteral("assets/objects")).size(), 10);
}

void VersionInstallerTest::downloadFailuresAndRetries()
{
    m_site->publishFixtures({QStringLiteral("client-only")});
    HttpRequest::setTransferTimeoutForTesting(300);
    const auto restoreTimeout = qScopeGuard([] { HttpRequest::setTransferTimeoutForTesting(0); });
    const TestReply good = TestReply::ok(m_site->render("files/client.jar"));
    const QString label = QStringLiteral("client-only.jar");
    const QString checksumText = Loc::text("common.error.downloadFailed")
                                     .arg(label, Loc::text("common.error.checksumMismatch"));
    const QString failurePrefix = Loc::text("common.error.downloadFailed").arg(label, QString());

    struct Case {
        const char* name;
        QList<TestReply> script;
        bool succeeds;
        int requests;
        int minimumMs;
    };
    const QList<Case> cases = {
        {"404 fails at once", {TestReply::notFound()}, false, 1, 0},
        {"503, 503, 200", {TestReply::status(503), TestReply::status(503), good}, true, 3, 1200},
        {"429 then 200", {TestReply::status(429), good}, true, 2, 400},
        {"three 503s", {TestReply::status(503)}, false, 3, 1200},
        {"connection lost mid-body", {good.closedAfter(100), good}, true, 2, 400},
        {"stalled past the time-out", {good.stalledAfter(100), good}, true, 2, 400 + 300},
        {"checksum mismatch", {TestReply::ok("not the client")}, false, 3, 1200},
    };
    for (const Case& c : cases) {
        m_gameDir = m_home->path() + QLatin1Char('/') + QString::fromLatin1(c.name);
        m_server->route(QStringLiteral("/files/client.jar"), c.script);
        m_server->clearLog();
        QElapsedTimer timer;
        timer.start();
        const QString end = run(QStringLiteral("client-only"));
        QVERIFY2(end == (c.succeeds ? "finished:client-only" : "failed:client-only"), c.name);
        QVERIFY2(m_server->requestCount(QStringLiteral("/files/client.jar")) == c.requests, c.name);
        QVERIFY2(timer.elapsed() >= c.minimumMs, c.name);
        if (c.succeeds) {
            QCOMPARE(content("versions/client-only/client-only.jar"), good.body);
        } else {
            QVERIFY2(m_lastFailure.startsWith(failurePrefix), qPrintable(m_lastFailure));
            QVERIFY(timer.elapsed() < c.minimumMs + 1000); // no retry after the last failure
            QCOMPARE(filesUnder(QStringLiteral("versions/client-only")),
                     QStringList{"client-only.json"});
        }
    }
    QCOMPARE(m_lastFailure, checksumText);
}

void VersionInstallerTest::staleRetryIsDropped()
{
    m_site->publishFixtures({QStringLiteral("mini"), QStringLiteral("legacy-virtual")});
    place(QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar"), "local");
    m_server->route(QStringLiteral("/files/client.jar"),
                    QList<TestReply>{TestReply::status(503),
                                     TestReply::ok(m_site->render("files/client.jar"))});
    m_server->route(QStringLiteral("/files/alpha.jar"), TestReply::notFound().delayed(100));
    // The client waits for its retry when a library fails the job for good.
    QCOMPARE(run(QStringLiteral("mini")), QStringLiteral("failed:mini"));
    QVERIFY(m_lastFailure.startsWith(
        Loc::text("common.error.downloadFailed").arg("org.example:alpha:1.0", QString())));

    const QString firstGameDir = m_gameDir;
    m_gameDir = m_home->path() + QStringLiteral("/other");
    m_server->route(QStringLiteral("/files/client.jar"),
                    TestReply::ok(m_site->render("files/client.jar")).slow(1024, 100));
    QCOMPARE(run(QStringLiteral("legacy-virtual")), QStringLiteral("finished:legacy-virtual"));
    QTest::qWait(200);
    QVERIFY(!QFileInfo::exists(firstGameDir + QStringLiteral("/versions/mini/mini.jar")));
    QCOMPARE(m_server->requestCount(QStringLiteral("/files/client.jar")), 2);
}

void VersionInstallerTest::fullDiskFailsWithTheSystemsReason_data()
{
    QTest::addColumn<QString>("failing"); // the file that finds the disk full
    QTest::addColumn<QString>("present"); // the other one, there beforehand
    const QString client = QStringLiteral("versions/client-and-library/client-and-library.jar");
    const QString library = QStringLiteral("libraries/org/example/big/1.0/big-1.0.jar");
    QTest::newRow("the client jar") << client << library;
    QTest::newRow("a library") << library << client;
}

// The player learns why the file could not be saved, the disk keeps nothing of the
// attempt, and with room again the same install completes.
void VersionInstallerTest::fullDiskFailsWithTheSystemsReason()
{
    QFETCH(QString, failing);
    QFETCH(QString, present);
    const QString id = QStringLiteral("client-and-library");
    const QString description = QStringLiteral("versions/%1/%1.json").arg(id);
    QVERIFY(QDir().mkpath(m_gameDir));
    FullDisk disk(m_gameDir);
    placeUnlisted(id, present);
    const QByteArray jar = m_site->render(QStringLiteral("files/client.jar"));
    const qint64 room = DiskSpace::availableBytes(m_gameDir);
    // Made room for once the disk is full: a part of the file gets written before the
    // disk takes no more.
    const QString ballast = QStringLiteral("ballast");
    place(ballast, QByteArray(4096, 'b'));
    QVERIFY(jar.size() > 4096);

    const QString reason = QString::fromLocal8Bit(std::strerror(disk.isMounted() ? ENOSPC : EFBIG));
    const QString expected = Loc::text("storage.error.saveFailedWhy")
                                 .arg(QDir::toNativeSeparators(path(failing)), reason);
    const bool toldWhy = disk.whileFull([&] {
        return QFile::remove(path(ballast)) && run(id) == QLatin1String("failed:") + id &&
               m_lastFailure == expected;
    });
    QVERIFY2(toldWhy, qPrintable(m_lastFailure));

    QStringList kept = {description, present};
    kept.sort();
    QCOMPARE(filesUnder(QString()), kept);
    QCOMPARE(openFilesUnder(m_gameDir), 0);
    // Only a file system of the test's own has its space to itself.
    if (disk.isMounted())
        QCOMPARE(DiskSpace::availableBytes(m_gameDir), room);

    QCOMPARE(run(id), QLatin1String("finished:") + id);
    QCOMPARE(content(failing), jar);
    QCOMPARE(content(present), jar);
}

void VersionInstallerTest::readOnlyGameFolderFailsWithTheSystemsReason_data()
{
    QTest::addColumn<QString>("id");
    // A file there beforehand, the version's description beside it and the version left
    // out of the manifest; none: the version is published.
    QTest::addColumn<QString>("present");
    QTest::addColumn<QString>("made"); // a folder that stands beforehand
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("named"); // what the message names; none: the version
    const QString client = QStringLiteral("versions/client-and-library/client-and-library.jar");
    const QString library = QStringLiteral("libraries/org/example/big/1.0/big-1.0.jar");
    QTest::newRow("the version's folder")
        << "client-only" << QString() << QString() << QByteArray("common.error.createFailedWhy")
        << "versions/client-only";
    QTest::newRow("the version's description")
        << "client-only" << QString() << "versions/client-only"
        << QByteArray("common.error.versionSaveFailedWhy") << QString();
    QTest::newRow("a library's folder")
        << "client-and-library" << client << QString() << QByteArray("common.error.createFailedWhy")
        << "libraries/org/example/big/1.0";
    QTest::newRow("the client jar, its folder made")
        << "client-and-library" << library << "versions/client-and-library"
        << QByteArray("common.error.openForWriteFailedWhy") << client;
    QTest::newRow("a library, its folder made")
        << "client-and-library" << client << "libraries/org/example/big/1.0"
        << QByteArray("common.error.openForWriteFailedWhy") << library;
}

// Whatever the install could not make in a game folder that takes no writes, a folder or
// a file, the player learns why; with the folder writable again the same install
// completes.
void VersionInstallerTest::readOnlyGameFolderFailsWithTheSystemsReason()
{
    QFETCH(QString, id);
    QFETCH(QString, present);
    QFETCH(QString, made);
    QFETCH(QByteArray, key);
    QFETCH(QString, named);
    if (present.isEmpty())
        m_site->publishFixtures({id});
    else
        placeUnlisted(id, present);
    QVERIFY(QDir().mkpath(made.isEmpty() ? m_gameDir : path(made)));
    ReadOnlyFolder readOnly(m_gameDir);
    if (readOnly.error() == 0)
        QSKIP("root writes past permissions here, and may not mount");
    const QString reason = QString::fromLocal8Bit(std::strerror(readOnly.error()));
    QCOMPARE(run(id), QLatin1String("failed:") + id);
    QCOMPARE(m_lastFailure,
             Loc::text(key.constData())
                 .arg(named.isEmpty() ? id : QDir::toNativeSeparators(path(named)), reason));
    readOnly.release();
    QCOMPARE(run(id), QLatin1String("finished:") + id);
}

void VersionInstallerTest::cancelRemovesPartialFiles()
{
    m_site->publishFixtures({QStringLiteral("client-only")});
    m_server->route(QStringLiteral("/files/client.jar"),
                    TestReply::ok(m_site->render("files/client.jar")).slow(512, 40));
    m_installer->cancel(); // idle: nothing happens
    QVERIFY(m_log.isEmpty());

    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    m_installer->install(m_gameDir, QStringLiteral("mini")); // dropped by the cancel
    QVERIFY(QTest::qWaitFor([&] { return m_installer->status().bytesDone > 0; }, 10000));
    QVERIFY(m_installer->status().fraction > 0 && m_installer->status().fraction < 1);
    QCOMPARE(m_installer->status().detail, QStringLiteral("client-only.jar"));

    m_installer->cancel();
    QCOMPARE(m_log, QStringList({"started:client-only", "canceled:client-only"}));
    QVERIFY(!m_installer->isBusy());
    QVERIFY(!m_installer->isQueued(QStringLiteral("mini")));
    QCOMPARE(filesUnder(QStringLiteral("versions/client-only")), QStringList{"client-only.json"});
    QCOMPARE(openFilesUnder(m_gameDir), 0);
    QTest::qWait(300);
    QCOMPARE(m_log.size(), 2);
    QCOMPARE(m_server->requestCount(QStringLiteral("/versions/mini.json")), 0);
}

void VersionInstallerTest::cancelBeforeDownloads()
{
    m_site->publishFixtures({QStringLiteral("client-only")});

    // While the manifest is being resolved: the late answer is ignored.
    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    m_installer->cancel();
    QCOMPARE(m_log, QStringList({"started:client-only", "canceled:client-only"}));
    QTest::qWait(300);
    QCOMPARE(m_log.size(), 2);
    QCOMPARE(m_server->requestCount(QStringLiteral("/versions/client-only.json")), 0);

    // While the description is being fetched.
    m_server->route(QStringLiteral("/versions/client-only.json"),
                    TestReply::json(m_site->render("versions/client-only.json")).delayed(300));
    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    QVERIFY(QTest::qWaitFor(
        [&] { return m_server->requestCount(QStringLiteral("/versions/client-only.json")) == 1; }));
    QCOMPARE(m_installer->status().stage, Loc::text("version.progress.description"));
    QCOMPARE(m_installer->status().detail, QStringLiteral("client-only.json"));
    m_installer->cancel();
    QCOMPARE(m_log.mid(2), QStringList({"started:client-only", "canceled:client-only"}));
    QTest::qWait(500);
    QCOMPARE(m_log.size(), 4);
    QVERIFY(!QFileInfo::exists(path("versions/client-only")));
}

void VersionInstallerTest::missingParentIsInstalledFirst()
{
    m_site->publishFixtures({QStringLiteral("mini"), QStringLiteral("child")});
    place(QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar"), "local");

    m_installer->install(m_gameDir, QStringLiteral("child"));
    QVERIFY(waitForEnds(2));
    // The parent runs without started() in the child's place; the child then starts again.
    QCOMPARE(m_log,
             QStringList({"started:child", "finished:mini", "started:child", "finished:child"}));
    QStringList descriptions;
    for (const TestRequest& request : m_server->requests()) {
        if (request.path.startsWith(QLatin1String("/versions/")))
            descriptions.append(request.path);
    }
    QCOMPARE(descriptions,
             QStringList({"/versions/child.json", "/versions/mini.json", "/versions/child.json"}));

    // The child's own client goes to its own jar; the parent's jar is left alone.
    QCOMPARE(content("versions/mini/mini.jar"), m_site->render("files/client.jar"));
    QCOMPARE(content("versions/child/child.jar"), m_site->render("files/child-client.jar"));
    QCOMPARE(content("libraries/org/example/loaderlib/1.0/loaderlib-1.0.jar"),
             m_site->render("files/alpha.jar"));
}

void VersionInstallerTest::legacyAssetsAreCopied()
{
    m_site->publishFixtures({QStringLiteral("legacy-virtual"), QStringLiteral("legacy-resources")});
    // A target of the source's size is not copied again.
    const QByteArray sameSize(VersionSite::object(1).size(), 'k');
    place(QStringLiteral("assets/virtual/legacy/lang/en_US.lang"), sameSize);

    m_installer->install(m_gameDir, QStringLiteral("legacy-virtual"));
    m_installer->install(m_gameDir, QStringLiteral("legacy-resources"));
    QVERIFY(m_installer->isQueued(QStringLiteral("legacy-resources")));
    QVERIFY(waitForEnds(2));
    QCOMPARE(m_log, QStringList({"started:legacy-virtual", "finished:legacy-virtual",
                                 "started:legacy-resources", "finished:legacy-resources"}));
    QCOMPARE(m_progressBusy.last(), false);

    QCOMPARE(filesUnder(QStringLiteral("assets/virtual")),
             QStringList({"legacy/lang/en_US.lang", "legacy/sound/step/grass1.ogg"}));
    QCOMPARE(content("assets/virtual/legacy/sound/step/grass1.ogg"), VersionSite::object(0));
    QCOMPARE(content("assets/virtual/legacy/lang/en_US.lang"), sameSize);
    QVERIFY(!QFileInfo::exists(path("assets/virtual/escape.txt")));

    QCOMPARE(filesUnder(QStringLiteral("resources")),
             QStringList({"music/calm1.ogg", "newsound/random/click.ogg"}));
    QCOMPARE(content("resources/music/calm1.ogg"), VersionSite::object(3));
    QCOMPARE(content("resources/newsound/random/click.ogg"), VersionSite::object(4));
}

void VersionInstallerTest::neverMoreThanEightDownloads()
{
    // Libraries on two host names, so the client's per-host connection limit alone
    // would let more than eight run at once.
    QJsonArray libraries;
    for (int i = 0; i < 24; ++i) {
        const QString origin = i % 2 ? m_site->alternativeOrigin() : m_server->origin();
        const QString name = QStringLiteral("lib%1").arg(i);
        libraries.append(
            QJsonObject{{QStringLiteral("name"), QStringLiteral("org.example:%1:1.0").arg(name)},
                        {QStringLiteral("url"), origin + QStringLiteral("/wide/")}});
    }
    QJsonObject description =
        QJsonDocument::fromJson(m_site->render("versions/client-only.json")).object();
    description.insert(QStringLiteral("libraries"), libraries);
    m_site->publish(QStringLiteral("client-only"), QJsonDocument(description).toJson());
    m_server->routePrefix(QStringLiteral("/wide/"), TestReply::ok("library").delayed(150));

    QCOMPARE(run(QStringLiteral("client-only")), QStringLiteral("finished:client-only"));
    QCOMPARE(m_server->requestCount(), 2 + 1 + 24);
    QVERIFY2(m_server->maxConcurrent() <= 8,
             qPrintable(QString::number(m_server->maxConcurrent())));
    QVERIFY2(m_server->maxConcurrent() >= 7,
             qPrintable(QString::number(m_server->maxConcurrent())));
}

void VersionInstallerTest::refusalsAndQueue()
{
    m_site->publishFixtures({QStringLiteral("client-only"), QStringLiteral("legacy-virtual")});
    m_installer->install(m_gameDir, QStringLiteral("   "));
    QVERIFY(m_log.isEmpty());

    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    m_installer->install(m_gameDir, QStringLiteral("legacy-virtual"));
    m_installer->install(m_home->path(), QStringLiteral("legacy-virtual")); // already waiting
    m_installer->install(m_gameDir, QStringLiteral("client-only"));         // in progress
    QVERIFY(m_installer->isQueued(QStringLiteral("legacy-virtual")));
    QVERIFY(!m_installer->isQueued(QStringLiteral("client-only")));

    // Unsafe names, hidden folders included, are refused; the job in progress goes on.
    const QStringList invalid = {"a/b", "..", ".", "x:y", "a\\b", ".hidden", " ../up"};
    for (const QString& id : invalid) {
        m_lastFailure.clear();
        m_installer->install(m_gameDir, id);
        QCOMPARE(m_log.last(), QStringLiteral("failed:") + id.trimmed());
        QCOMPARE(m_lastFailure, Loc::text("version.error.invalidName").arg(id.trimmed()));
    }
    QVERIFY(m_installer->isBusy());
    QVERIFY(waitForEnds(invalid.size() + 2));
    QCOMPARE(m_log.first(), QStringLiteral("started:client-only"));
    QCOMPARE(
        m_log.mid(invalid.size() + 1),
        QStringList({"finished:client-only", "started:legacy-virtual", "finished:legacy-virtual"}));
    QVERIFY(!QFileInfo::exists(path(".hidden")));
    QCOMPARE(m_server->requestCount(QStringLiteral("/versions/legacy-virtual.json")), 1);
}

void VersionInstallerTest::finishedHandlerMayInstallAgain()
{
    m_site->publishFixtures({QStringLiteral("client-only"), QStringLiteral("legacy-virtual")});
    connect(m_installer.get(), &VersionInstaller::finished, this, [this](const QString& id) {
        if (id == QLatin1String("client-only"))
            m_installer->install(m_gameDir, QStringLiteral("legacy-virtual"));
    });
    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    QVERIFY(waitForEnds(2));
    QCOMPARE(m_log, QStringList({"started:client-only", "finished:client-only",
                                 "started:legacy-virtual", "finished:legacy-virtual"}));
    QVERIFY(!m_installer->isBusy());
    QCOMPARE(m_progressBusy.last(), false);
    QCOMPARE(content("assets/virtual/legacy/sound/step/grass1.ogg"), VersionSite::object(0));
}

// A listener may cancel from the notice that a job has begun and start another from
// the cancellation: the ended job must not go on resolving on the new one's behalf.
void VersionInstallerTest::jobEndedFromItsStartNoticeStaysEnded()
{
    m_site->publishFixtures({QStringLiteral("client-only"), QStringLiteral("legacy-virtual")});
    bool cancelFirst = true;
    connect(m_installer.get(), &VersionInstaller::progressChanged, this, [&] {
        if (cancelFirst && m_installer->versionId() == QLatin1String("client-only")) {
            cancelFirst = false;
            m_installer->cancel();
        }
    });
    connect(m_installer.get(), &VersionInstaller::canceled, this, [this](const QString& id) {
        if (id == QLatin1String("client-only"))
            m_installer->install(m_gameDir, QStringLiteral("legacy-virtual"));
    });
    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    QVERIFY(waitForEnds(2));
    QTest::qWait(500);
    QCOMPARE(m_log, QStringList({"started:client-only", "canceled:client-only",
                                 "started:legacy-virtual", "finished:legacy-virtual"}));
    QCOMPARE(m_server->requestCount(QStringLiteral("/versions/legacy-virtual.json")), 1);
    QVERIFY(!m_installer->isBusy());
}

void VersionInstallerTest::failureDropsWaitingJobs()
{
    m_site->publishFixtures({QStringLiteral("client-only"), QStringLiteral("mini"),
                             QStringLiteral("legacy-virtual"), QStringLiteral("legacy-resources")});
    m_server->route(QStringLiteral("/files/client.jar"), TestReply::notFound());
    const QStringList waiting = {"mini", "legacy-virtual", "legacy-resources"};
    m_installer->install(m_gameDir, QStringLiteral("client-only"));
    for (const QString& id : waiting)
        m_installer->install(m_gameDir, id);
    QVERIFY(waitForEnds(1));
    QTest::qWait(200);
    QCOMPARE(m_log, QStringList({"started:client-only", "failed:client-only"}));
    for (const QString& id : waiting)
        QVERIFY(!m_installer->isQueued(id));
    QVERIFY(!m_installer->isBusy());
}

// Each caller hears its own job's end after the installer's notice of it: a caller asking
// for a version on its way joins that job, and a job waiting behind its missing parent
// does not end with the parent.
void VersionInstallerTest::callersHearTheirOwnJobsEnd()
{
    m_site->publishFixtures(
        {QStringLiteral("client-only"), QStringLiteral("mini"), QStringLiteral("child")});
    place(QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar"), "local");

    m_installer->install(m_gameDir, QStringLiteral("child"), caller(QStringLiteral("first")));
    m_installer->install(m_gameDir, QStringLiteral("client-only"), caller(QStringLiteral("other")));
    m_installer->install(m_gameDir, QStringLiteral("child "), caller(QStringLiteral("joined")));
    m_installer->install(m_gameDir, QStringLiteral(" "), caller(QStringLiteral("blank")));
    QVERIFY(QTest::qWaitFor(
        [&] { return !m_log.isEmpty() && m_log.last().startsWith("answered:other"); },
        kEndTimeoutMs));
    QCOMPARE(m_log,
             QStringList({"started:child", "answered:blank:failed:", "finished:mini",
                          "started:child", "finished:child", "answered:first:succeeded:child",
                          "answered:joined:succeeded:child", "started:client-only",
                          "finished:client-only", "answered:other:succeeded:client-only"}));
}

void VersionInstallerTest::callersOfDroppedJobsAreTold_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("failure") << false;
    QTest::newRow("cancel") << true;
}

// The job in progress ends as it does; the jobs waiting behind it never ran.
void VersionInstallerTest::callersOfDroppedJobsAreTold()
{
    QFETCH(bool, cancel);
    m_site->publishFixtures({QStringLiteral("client-only"), QStringLiteral("mini")});
    m_server->route(QStringLiteral("/files/client.jar"), TestReply::notFound());
    m_installer->install(m_gameDir, QStringLiteral("client-only"), caller(QStringLiteral("first")));
    m_installer->install(m_gameDir, QStringLiteral("mini"), caller(QStringLiteral("waiting")));
    if (cancel)
        m_installer->cancel();
    QVERIFY(QTest::qWaitFor([&] { return m_log.size() == 4; }, kEndTimeoutMs));
    QCOMPARE(m_log, QStringList({"started:client-only",
                                 cancel ? "canceled:client-only" : "failed:client-only",
                                 cancel ? "answered:first:canceled:" : "answered:first:failed:",
                                 "answered:waiting:dropped:"}));
    QTest::qWait(200);
    QCOMPARE(m_log.size(), 4);
}

void VersionInstallerTest::descriptionSources()
{
    m_site->publishFixtures({QStringLiteral("client-only")});

    // Listed in the manifest: fetched again, replacing the copy on disk.
    place(QStringLiteral("versions/client-only/client-only.json"), "{\"stale\": true}");
    QCOMPARE(run(QStringLiteral("client-only")), QStringLiteral("finished:client-only"));
    QCOMPARE(content("versions/client-only/client-only.json"),
             m_site->render("versions/client-only.json"));

    // Not listed: the description on disk is used as it is.
    QByteArray local = m_site->render("versions/client-only.json");
    local.replace("\"client-only\"", "\"local-only\"");
    local.append("\n\n");
    place(QStringLiteral("versions/local-only/local-only.json"), local);
    QCOMPARE(run(QStringLiteral("local-only")), QStringLiteral("finished:local-only"));
    QCOMPARE(content("versions/local-only/local-only.json"), local);
    QCOMPARE(content("versions/local-only/local-only.jar"), m_site->render("files/client.jar"));

    QCOMPARE(run(QStringLiteral("nowhere")), QStringLiteral("failed:nowhere"));
    QCOMPARE(m_lastFailure, Loc::text("version.error.notInManifest").arg("nowhere"));

    // Without any list the local description still serves; otherwise the service's
    // own message is the failure.
    m_manifest = std::make_unique<VersionManifestService>();
    m_installer = std::make_unique<VersionInstaller>(m_manifest.get());
    connect(m_installer.get(), &VersionInstaller::finished, this,
            [this](const QString& id) { m_log.append(QStringLiteral("finished:") + id); });
    connect(m_installer.get(), &VersionInstaller::failed, this,
            [this](const QString& id, const QString& message) {
                m_log.append(QStringLiteral("failed:") + id);
                m_lastFailure = message;
            });
    QFile::remove(LauncherPaths::versionManifestFile());
    m_server->route(kManifestPath, TestReply::status(500));
    QCOMPARE(run(QStringLiteral("local-only")), QStringLiteral("finished:local-only"));
    QCOMPARE(run(QStringLiteral("client-only2")), QStringLiteral("failed:client-only2"));
    QVERIFY(m_lastFailure.startsWith(
        Loc::text("version.error.manifestFetchFailed").section(QStringLiteral("%1"), 0, 0)));
}

void VersionInstallerTest::descriptionChecks()
{
    const QByteArray body = m_site->render("versions/client-only.json");
    struct Case {
        QString id;
        QByteArray body;
        QString sha1;
        QString outcome;
        QString message;
    };
    const QList<Case> cases = {
        {"upper", body, sha1Of(body).toUpper(), "finished:upper", {}},
        {"unchecked", body, QStringLiteral(""), "finished:unchecked", {}},
        {"tampered", body, sha1Of("something else"), "failed:tampered",
         Loc::text("version.error.descriptionChecksum").arg("tampered")},
        {"garbage",
         "not json",
         {},
         "failed:garbage",
         Loc::text("version.error.descriptionUnparsable").arg("garbage")},
        {"array",
         "[1, 2]",
         {},
         "failed:array",
         Loc::text("version.error.descriptionUnparsable").arg("array")},
        {"no-main", "{\"id\": \"no-main\"}", {}, "failed:no-main", {}},
    };
    for (const Case& c : cases)
        m_site->publish(c.id, c.body, c.sha1);
    for (const Case& c : cases) {
        QCOMPARE(run(c.id), c.outcome);
        if (!c.message.isEmpty())
            QCOMPARE(m_lastFailure, c.message);
    }
    QVERIFY(!m_lastFailure.isEmpty()); // the loader's own text for a missing main class
    QVERIFY(!QFileInfo::exists(path("versions/tampered")));
}

void VersionInstallerTest::parentChainIsBounded()
{
    // v0 needs v1 needs ... v11: ten missing ancestors are queued, the eleventh is refused.
    for (int i = 0; i <= 11; ++i) {
        QJsonObject description{{QStringLiteral("id"), QStringLiteral("v%1").arg(i)},
                                {QStringLiteral("mainClass"), QStringLiteral("x.Main")}};
        if (i < 11)
            description.insert(QStringLiteral("inheritsFrom"), QStringLiteral("v%1").arg(i + 1));
        m_site->publish(QStringLiteral("v%1").arg(i), QJsonDocument(description).toJson());
    }
    QCOMPARE(run(QStringLiteral("v0")), QStringLiteral("failed:v10"));
    QCOMPARE(m_log, QStringList({"started:v0", "failed:v10"}));
    QCOMPARE(m_lastFailure, Loc::text("common.error.inheritsChainTooLong").arg("v10"));
    QVERIFY(!m_installer->isQueued(QStringLiteral("v0")));
}

// Sizes a description gives may sum past 64 bits: the total then tells nothing, so the
// progress has none, rather than a wrapped one that shows the job as done from its start.
void VersionInstallerTest::sizesPastSixtyFourBitsLeaveTheTotalUnknown()
{
    const qint64 huge = std::numeric_limits<qint64>::max();
    const auto download = [this](const QString& file, qint64 size) {
        return QJsonObject{{"url", m_server->url("/files/" + file).toString()},
                           {"sha1", QString(40, QLatin1Char('0'))},
                           {"size", size}};
    };
    const auto library = [&](const QString& name, qint64 size) {
        QJsonObject artifact = download(name + ".jar", size);
        artifact.insert("path", "org/example/" + name + "/1.0/" + name + "-1.0.jar");
        return QJsonObject{{"name", "org.example:" + name + ":1.0"},
                           {"downloads", QJsonObject{{"artifact", artifact}}}};
    };
    const QJsonObject description{
        {"id", "huge"},
        {"mainClass", "Main"},
        {"downloads", QJsonObject{{"client", download("huge.jar", huge)}}},
        {"libraries", QJsonArray{library("big", huge), library("small", 3)}}};
    m_site->publish("huge", QJsonDocument(description).toJson());
    for (const char* file : {"huge.jar", "big.jar", "small.jar"})
        m_server->route(QStringLiteral("/files/") + QLatin1String(file),
                        TestReply::ok("abc").delayed(500));

    QList<InstallerStatus> seen;
    connect(m_installer.get(), &VersionInstaller::progressChanged, this,
            [&] { seen.append(m_installer->status()); });
    QCOMPARE(run("huge"), QStringLiteral("failed:huge"));
    const QString gameFiles = Loc::text("version.progress.gameFiles");
    QVERIFY(std::any_of(seen.cbegin(), seen.cend(),
                        [&](const InstallerStatus& status) { return status.stage == gameFiles; }));
    for (const InstallerStatus& status : std::as_const(seen)) {
        QCOMPARE(status.fraction, -1.0);
        QCOMPARE(status.bytesTotal, 0);
    }
}

void VersionInstallerTest::everyConnectionGoesThroughTheSystemsProxy_data()
{
    QTest::addColumn<bool>("fromEnvironment"); // else a proxy factory of the test's own
    QTest::newRow("proxy factory answering by scheme") << false;
    QTest::newRow("https_proxy") << true;
}

// The system's proxy rules choose a proxy by the request's scheme, here one for https
// alone, as a network that lets nothing else out asks for. Every connection of an
// installation reaches the server through the proxy's tunnels; none goes straight to it.
void VersionInstallerTest::everyConnectionGoesThroughTheSystemsProxy()
{
    if (!NamedLoopback::isMappedHere()) {
        if (!NamedLoopback::canMap())
            QSKIP("No mount namespace can be made here for a host name of the test's own");
        QByteArray output;
        QVERIFY2(NamedLoopback::runCurrentTest(&output), output.constData());
        return;
    }
    QFETCH(bool, fromEnvironment);
    TunnelProxy proxy;
    if (fromEnvironment) {
        for (const char* other : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                                  "NO_PROXY", "HTTPS_PROXY"})
            qunsetenv(other);
        qputenv("https_proxy", proxy.address().toUtf8());
    } else {
        QNetworkProxyFactory::setApplicationProxyFactory(new HttpsOnlyProxy(proxy.port()));
    }
    const auto noProxy = qScopeGuard([] {
        qunsetenv("https_proxy");
        QNetworkProxyFactory::setApplicationProxyFactory(nullptr);
    });
    const QString origin = NamedLoopback::origin(m_server->port());
    RemoteAddresses::setAllOriginsForTesting(origin);
    m_site = std::make_unique<VersionSite>(*m_server, origin);
    m_site->publishFixtures({QStringLiteral("mini")});
    place(QStringLiteral("libraries/org/example/local/3.0/local-3.0.jar"), "placed by hand");

    QCOMPARE(run(QStringLiteral("mini")), QStringLiteral("finished:mini"));
    QVERIFY(!proxy.tunnels().isEmpty());
    for (const QString& tunnel : proxy.tunnels())
        QCOMPARE(tunnel,
                 QStringLiteral("%1:%2").arg(NamedLoopback::kHostName).arg(m_server->port()));
    const auto direct = [&] {
        return m_server->connectionsAccepted() - int(proxy.tunnels().size());
    };
    QTRY_COMPARE(direct(), 0);
}

void VersionInstallerTest::connectionsOpenedAheadEndWithTheirJob_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("cancelled while the version list comes") << true;
    QTest::newRow("ended with every file present") << false;
}

// The job's connections are opened while the version list comes. Once it has ended, the
// only connections left are those that carried requests, and none of its replies stays.
void VersionInstallerTest::connectionsOpenedAheadEndWithTheirJob()
{
    QFETCH(bool, cancel);
    TestServer files; // the libraries' and the asset objects' server
    RemoteAddresses::setOriginForTesting(RemoteAddresses::Service::GameLibraries, files.origin());
    RemoteAddresses::setOriginForTesting(RemoteAddresses::Service::AssetObjects, files.origin());
    m_site->delayManifest(1000 * HM_SLOWDOWN);
    m_site->publishFixtures({QStringLiteral("mini")});
    placeUnlisted(QStringLiteral("client-only"),
                  QStringLiteral("versions/client-only/client-only.jar"));

    m_installer->install(m_gameDir,
                         cancel ? QStringLiteral("mini") : QStringLiteral("client-only"));
    // The version list's own connection and one opened ahead for the description.
    QTRY_VERIFY(files.connectionsAccepted() > 0 && m_server->connectionsAccepted() > 1);
    if (cancel)
        m_installer->cancel();
    QVERIFY(waitForEnds(1));
    QCOMPARE(m_log.last(),
             cancel ? QStringLiteral("canceled:mini") : QStringLiteral("finished:client-only"));

    QTRY_COMPARE(TestHelpers::connectionsTo(files.port()).size(), 0);
    QTRY_COMPARE(TestHelpers::connectionsTo(m_server->port()).size(), m_server->requestCount());
    QTRY_COMPARE(m_installer->findChildren<QNetworkReply*>().size(), 0);
}

QTEST_MAIN(VersionInstallerTest)
#include "tst_versioninstaller.moc"
