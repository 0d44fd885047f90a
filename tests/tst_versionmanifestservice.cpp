#include "launcherpaths.h"
#include "localization.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"
#include "versionmanifestservice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QString kManifestPath = QStringLiteral("/mc/game/version_manifest_v2.json");

// Order of the fixture's usable entries once sorted.
const QStringList kSortedIds = {
    QStringLiteral("1.20.1"), QStringLiteral("23w18a"), QStringLiteral("dup"),
    QStringLiteral("dup"),    QStringLiteral("y1"),     QStringLiteral("z1"),
    QStringLiteral("B1"),     QStringLiteral("a"),      QStringLiteral("ab"),
    QStringLiteral("b1"),     QStringLiteral("undated")};

QStringList idsOf(const QList<RemoteVersionEntry>& entries)
{
    QStringList ids;
    for (const RemoteVersionEntry& entry : entries)
        ids.append(entry.id);
    return ids;
}

// Records the answers a service gives and the events around them, in order.
struct Recorder {
    QStringList events;
    QList<QPair<bool, QString>> answers;

    VersionManifestService::Callback callback(const QString& name)
    {
        return [this, name](bool ok, const QString& message) {
            events.append(name);
            answers.append({ok, message});
        };
    }
    void watch(VersionManifestService& service)
    {
        QObject::connect(&service, &VersionManifestService::versionsChanged,
                         [this] { events.append(QStringLiteral("versionsChanged")); });
        QObject::connect(&service, &VersionManifestService::refreshingChanged,
                         [this] { events.append(QStringLiteral("refreshingChanged")); });
    }
};

void writeCache(const QDateTime& fetchedAt, const QStringList& ids)
{
    QJsonArray versions;
    for (const QString& id : ids) {
        versions.append(
            QJsonObject{{QStringLiteral("id"), id},
                        {QStringLiteral("type"), QStringLiteral("release")},
                        {QStringLiteral("url"), QStringLiteral("https://h.invalid/") + id},
                        {QStringLiteral("sha1"), QString()},
                        {QStringLiteral("releaseTime"), QString()}});
    }
    QJsonObject root{{QStringLiteral("versions"), versions}};
    if (fetchedAt.isValid())
        root.insert(QStringLiteral("fetchedAt"), fetchedAt.toUTC().toString(Qt::ISODate));
    QDir().mkpath(LauncherPaths::cacheDir());
    QFile file(LauncherPaths::versionManifestFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

QByteArray readCacheBytes()
{
    return TestHelpers::readFile(LauncherPaths::versionManifestFile());
}

} // namespace

class VersionManifestServiceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(Localization::instance()->load()); }
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_server = std::make_unique<TestServer>();
        RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    }
    void cleanup()
    {
        RemoteAddresses::resetForTesting();
        m_server.reset();
        m_home.reset();
    }

    void fetchSortsFiltersAndCaches();
    void freshnessLimit();
    void freshAnswerIsAsynchronous();
    void forcedRefreshJoinsRunningOne();
    void failureWithAndWithoutCache();
    void callbackMayAskAgain();

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TestServer> m_server;
};

void VersionManifestServiceTest::fetchSortsFiltersAndCaches()
{
    m_server->route(kManifestPath,
                    TestReply::json(m_server->fixture("versionmanifest/manifest.json")));
    VersionManifestService service;
    Recorder recorder;
    recorder.watch(service);

    service.ensureLoaded(recorder.callback(QStringLiteral("done")));
    QVERIFY(service.isRefreshing());
    QTRY_COMPARE(recorder.answers.size(), 1);
    QCOMPARE(recorder.answers.first(), qMakePair(true, QString()));
    QCOMPARE(recorder.events,
             QStringList({"refreshingChanged", "versionsChanged", "refreshingChanged", "done"}));
    QVERIFY(!service.isRefreshing());

    QCOMPARE(idsOf(service.versions()), kSortedIds);
    const auto release = service.find(QStringLiteral("1.20.1"));
    QVERIFY(release);
    QCOMPARE(release->type, QStringLiteral("release"));
    QCOMPARE(release->url, m_server->url(QStringLiteral("/v1/1.20.1.json")));
    QCOMPARE(release->sha1, QStringLiteral("2222222222222222222222222222222222222222"));
    QCOMPARE(release->releaseTime, QDateTime(QDate(2023, 6, 12), QTime(13, 25, 51), Qt::UTC));
    QVERIFY(!service.find(QStringLiteral("insecure")));
    QVERIFY(!service.find(QStringLiteral("A"))); // lookups are case-sensitive
    QVERIFY(!service.find(QString()));
    // Both occurrences of an id stay listed; lookups give the earlier release.
    QCOMPARE(service.find(QStringLiteral("dup"))->sha1, QStringLiteral("older"));
    QVERIFY(!service.versions().last().releaseTime.isValid());

    // The cache is compact JSON, read back into the same entries by a new service.
    const QByteArray cached = readCacheBytes();
    QVERIFY(!cached.isEmpty());
    QVERIFY(!cached.contains('\n'));
    const QJsonObject root = QJsonDocument::fromJson(cached).object();
    const QDateTime fetchedAt =
        QDateTime::fromString(root.value("fetchedAt").toString(), Qt::ISODate);
    QVERIFY(qAbs(fetchedAt.secsTo(QDateTime::currentDateTimeUtc())) < 60);

    VersionManifestService reader;
    QSignalSpy changed(&reader, &VersionManifestService::versionsChanged);
    reader.ensureLoaded({});
    QCOMPARE(changed.size(), 1);
    QVERIFY(!reader.isRefreshing()); // fresh from the cache: no request
    QCOMPARE(m_server->requestCount(kManifestPath), 1);
    QCOMPARE(reader.versions().size(), service.versions().size());
    for (int i = 0; i < service.versions().size(); ++i) {
        const RemoteVersionEntry& a = service.versions().at(i);
        const RemoteVersionEntry& b = reader.versions().at(i);
        QCOMPARE(b.id, a.id);
        QCOMPARE(b.type, a.type);
        QCOMPARE(b.url, a.url);
        QCOMPARE(b.sha1, a.sha1);
        QCOMPARE(b.releaseTime.toSecsSinceEpoch(), a.releaseTime.toSecsSinceEpoch());
        QCOMPARE(b.releaseTime.isValid(), a.releaseTime.isValid());
    }
    QCOMPARE(reader.find(QStringLiteral("dup"))->sha1, QStringLiteral("older"));
}

void VersionManifestServiceTest::freshnessLimit()
{
    m_server->route(kManifestPath,
                    TestReply::json(m_server->fixture("versionmanifest/manifest.json")));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    struct Case {
        QDateTime fetchedAt;
        bool fresh;
    };
    const QList<Case> cases = {
        {now.addSecs(-21598), true},
        {now.addSecs(-21600), false},
        {now.addSecs(3600), true}, // a clock set back still trusts the cache
        {QDateTime(), false},      // no fetch time: shown, but stale
    };
    for (const Case& c : cases) {
        m_server->clearLog();
        writeCache(c.fetchedAt, {QStringLiteral("cached")});
        VersionManifestService service;
        QSignalSpy changed(&service, &VersionManifestService::versionsChanged);
        Recorder recorder;
        service.ensureLoaded(recorder.callback(QStringLiteral("done")));
        QCOMPARE(changed.size(), 1); // the cached list is announced before the call returns
        QCOMPARE(idsOf(service.versions()), QStringList{"cached"});
        QCOMPARE(service.isRefreshing(), !c.fresh);
        QTRY_COMPARE(recorder.answers.size(), 1);
        QCOMPARE(recorder.answers.first(), qMakePair(true, QString()));
        QCOMPARE(m_server->requestCount(kManifestPath), c.fresh ? 0 : 1);
        QCOMPARE(service.versions().size(), c.fresh ? 1 : kSortedIds.size());
    }
}

void VersionManifestServiceTest::freshAnswerIsAsynchronous()
{
    writeCache(QDateTime::currentDateTimeUtc(), {QStringLiteral("cached")});
    VersionManifestService service;
    bool answered = false;
    service.ensureLoaded([&](bool ok, const QString& message) {
        QVERIFY(ok);
        QVERIFY(message.isEmpty());
        answered = true;
    });
    QVERIFY(!answered);
    QTRY_VERIFY(answered);
    service.ensureLoaded({}); // an empty callback is fine
    QTest::qWait(20);

    // With a stale list an empty callback still starts a refresh.
    writeCache(QDateTime::currentDateTimeUtc().addDays(-1), {QStringLiteral("cached")});
    m_server->route(kManifestPath,
                    TestReply::json(m_server->fixture("versionmanifest/manifest.json")));
    VersionManifestService stale;
    QSignalSpy changed(&stale, &VersionManifestService::versionsChanged);
    stale.ensureLoaded({});
    QVERIFY(stale.isRefreshing());
    QTRY_COMPARE(changed.size(), 2);
    QVERIFY(!stale.isRefreshing());
    QCOMPARE(m_server->requestCount(kManifestPath), 1);
}

void VersionManifestServiceTest::forcedRefreshJoinsRunningOne()
{
    writeCache(QDateTime::currentDateTimeUtc(), {QStringLiteral("cached")});
    m_server->route(
        kManifestPath,
        TestReply::json(m_server->fixture("versionmanifest/manifest.json")).delayed(300));
    VersionManifestService service;
    Recorder recorder;
    recorder.watch(service);

    service.ensureLoaded(recorder.callback(QStringLiteral("first")), true);
    QVERIFY(service.isRefreshing());
    service.ensureLoaded(recorder.callback(QStringLiteral("second")), true);
    // A fresh list is answered at once even while a forced request is in flight.
    service.ensureLoaded(recorder.callback(QStringLiteral("unforced")), false);
    QTRY_COMPARE(recorder.events,
                 QStringList({"versionsChanged", "refreshingChanged", "unforced"}));
    QVERIFY(service.isRefreshing());

    QTRY_COMPARE(recorder.answers.size(), 3);
    QCOMPARE(recorder.events.mid(3),
             QStringList({"versionsChanged", "refreshingChanged", "first", "second"}));
    QCOMPARE(m_server->requestCount(kManifestPath), 1);
    QCOMPARE(idsOf(service.versions()), kSortedIds);
}

void VersionManifestServiceTest::failureWithAndWithoutCache()
{
    const QString fetchFailedPrefix =
        Loc::text("version.error.manifestFetchFailed").section(QStringLiteral("%1"), 0, 0);

    // No list at all: false with the message.
    {
        m_server->route(kManifestPath, TestReply::status(500, "down"));
        VersionManifestService service;
        Recorder recorder;
        recorder.watch(service);
        service.ensureLoaded(recorder.callback(QStringLiteral("done")));
        QTRY_COMPARE(recorder.answers.size(), 1);
        QCOMPARE(recorder.answers.first().first, false);
        QVERIFY(recorder.answers.first().second.startsWith(fetchFailedPrefix));
        QCOMPARE(recorder.events, QStringList({"refreshingChanged", "refreshingChanged", "done"}));
        QVERIFY(service.versions().isEmpty());
        QVERIFY(!QFileInfo::exists(LauncherPaths::versionManifestFile()));
    }

    // A stale cached list survives a failed refresh and is still offered.
    writeCache(QDateTime::currentDateTimeUtc().addDays(-1), {QStringLiteral("cached")});
    const QByteArray cacheBefore = readCacheBytes();
    const QString unparsable = Loc::text("version.error.manifestUnparsable");
    const QString tooLarge =
        Loc::text("version.error.manifestFetchFailed").arg(Loc::text("common.error.replyTooLarge"));
    const QList<QPair<TestReply, QString>> failures = {
        {TestReply::status(503), fetchFailedPrefix},
        {TestReply::json("not json"), unparsable},
        {TestReply::json(R"({"versions":[{"id":"x","url":"http://a/b"}]})"), unparsable},
        // Cut off at the bound, not left to fill memory until a time-out that never comes.
        {TestReply::ok().endless(), tooLarge},
        {TestReply::json("{}").withHeader("Content-Length", "1000000000000000").stalledAfter(2),
         tooLarge},
    };
    for (const auto& [failure, message] : failures) {
        m_server->route(kManifestPath, failure);
        VersionManifestService service;
        Recorder recorder;
        service.ensureLoaded(recorder.callback(QStringLiteral("done")));
        QTRY_COMPARE(recorder.answers.size(), 1);
        QCOMPARE(recorder.answers.first().first, true);
        QVERIFY2(recorder.answers.first().second.startsWith(message),
                 qPrintable(recorder.answers.first().second));
        QCOMPARE(idsOf(service.versions()), QStringList{"cached"});
        QCOMPARE(readCacheBytes(), cacheBefore);
    }
}

void VersionManifestServiceTest::callbackMayAskAgain()
{
    m_server->route(
        kManifestPath,
        QList<TestReply>{TestReply::status(502),
                         TestReply::json(m_server->fixture("versionmanifest/manifest.json"))});
    VersionManifestService service;
    QList<bool> results;
    service.ensureLoaded([&](bool ok, const QString&) {
        results.append(ok);
        // Still no list: asking again from inside the callback starts a new request.
        service.ensureLoaded([&](bool again, const QString& message) {
            results.append(again);
            QVERIFY(message.isEmpty());
        });
        QVERIFY(service.isRefreshing());
    });
    QTRY_COMPARE(results.size(), 2);
    QCOMPARE(results, QList<bool>({false, true}));
    QCOMPARE(m_server->requestCount(kManifestPath), 2);
}

QTEST_MAIN(VersionManifestServiceTest)
#include "tst_versionmanifestservice.moc"
