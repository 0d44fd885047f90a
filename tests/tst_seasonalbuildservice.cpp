#include "launcherpaths.h"
#include "seasonalbuildservice.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <limits>
#include <memory>

Q_DECLARE_METATYPE(TestReply)

namespace {

using Answer = QPair<bool, QString>;

const QString kCatalogPath = QStringLiteral("/seasons/index.json");
const QString kSha = QString(64, 'a');

// An entry every check accepts; "archive.<key>" in changes replaces a key of the
// archive object, a null value removes the key.
QJsonObject entry(const TestServer& server, const QString& id, const QJsonObject& changes = {})
{
    QJsonObject object{
        {"id", id},
        {"name", "  Autumn  "},
        {"revision", 3},
        {"minecraftVersion", "1.20.1"},
        {"loader", "fabric"},
        {"loaderVersion", " 0.16.9 "},
        {"modCount", 42},
        {"seasonStart", "2024-09-01"},
        {"serverUrl", " play.example:25565 "},
        {"javaMajor", 17},
        {"description", " Falling leaves "},
    };
    QJsonObject archive{{"url", server.url("/seasons/packs/" + id + ".zip").toString()},
                        {"size", 1234},
                        {"sha256", kSha}};
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        const bool inArchive = it.key().startsWith("archive.");
        QJsonObject& target = inArchive ? archive : object;
        const QString key = inArchive ? it.key().mid(8) : it.key();
        if (it.value().isNull())
            target.remove(key);
        else
            target.insert(key, it.value());
    }
    object.insert("archive", archive);
    return object;
}

QByteArray catalog(const QJsonArray& builds, const QJsonValue& format = 1)
{
    QJsonObject root{{"builds", builds}, {"ignored", true}};
    if (!format.isNull())
        root.insert("formatVersion", format);
    return QJsonDocument(root).toJson();
}

QStringList idsOf(const QList<SeasonalBuildEntry>& builds)
{
    QStringList ids;
    for (const SeasonalBuildEntry& build : builds)
        ids.append(build.id);
    return ids;
}

// Keeps what every caller was told, in the order they were told it.
struct Answers {
    QList<QPair<QString, Answer>> received;

    SeasonalBuildService::Callback caller(const QString& name)
    {
        return [this, name](bool ok, const QString& message) {
            received.append({name, {ok, message}});
        };
    }
};

void writeCache(const QString& baseUrl, qint64 ageSeconds, const QJsonArray& builds)
{
    const QJsonObject root{
        {"formatVersion", 1},
        {"fetchedAt", QDateTime::currentDateTimeUtc().addSecs(-ageSeconds).toString(Qt::ISODate)},
        {"baseUrl", baseUrl},
        {"builds", builds},
    };
    QVERIFY(
        TestHelpers::writeFile(LauncherPaths::seasonalCatalogFile(), QJsonDocument(root).toJson()));
}

} // namespace

class SeasonalBuildServiceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_server.clearRoutes();
        m_server.clearLog();
    }
    void cleanup() { m_home.reset(); }

    void entriesAreCheckedOneByOne_data();
    void entriesAreCheckedOneByOne();
    void integersOutsideTheirRangeReadAsAbsent_data();
    void integersOutsideTheirRangeReadAsAbsent();
    void unusableDocumentsKeepTheOlderList_data();
    void unusableDocumentsKeepTheOlderList();
    void ongoingSeasonsComeFirstNewestFirst();
    void callersShareOneFetch();
    void cacheServesOnlyItsOwnAddress_data();
    void cacheServesOnlyItsOwnAddress();
    void addressChangedWhileFetching();
    void unusableAddressIsToldNextTurn_data();
    void unusableAddressIsToldNextTurn();

private:
    QUrl base() const { return m_server.url("/seasons"); }
    // Fetches once; fails the test when no answer comes.
    Answer fetch(SeasonalBuildService& service, bool force = false)
    {
        Answers answers;
        service.ensureLoaded(answers.caller("fetch"), force);
        if (!QTest::qWaitFor([&] { return !answers.received.isEmpty(); }, 10000))
            return {false, "no answer"};
        return answers.received.first().second;
    }

    std::unique_ptr<TempHome> m_home;
    TestServer m_server;
};

void SeasonalBuildServiceTest::entriesAreCheckedOneByOne_data()
{
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<bool>("kept");
    const QString port = QString::number(m_server.port());
    const auto archiveAt = [](const QString& url) { return QJsonObject{{"archive.url", url}}; };
    QTest::newRow("as published") << QJsonObject{} << true;
    QTest::newRow("upper-case id") << QJsonObject{{"id", "Autumn"}} << false;
    QTest::newRow("65-character id") << QJsonObject{{"id", QString(65, 'a')}} << false;
    QTest::newRow("id ending in a newline") << QJsonObject{{"id", "autumn\n"}} << false;
    QTest::newRow("blank name") << QJsonObject{{"name", "   "}} << false;
    QTest::newRow("revision 0") << QJsonObject{{"revision", 0}} << false;
    QTest::newRow("revision 1.5") << QJsonObject{{"revision", 1.5}} << false;
    QTest::newRow("revision as text") << QJsonObject{{"revision", "3"}} << false;
    QTest::newRow("slash in game version") << QJsonObject{{"minecraftVersion", "1.20/1"}} << false;
    QTest::newRow("game version ..") << QJsonObject{{"minecraftVersion", ".."}} << false;
    QTest::newRow("colon in game version") << QJsonObject{{"minecraftVersion", "c:1"}} << false;
    QTest::newRow("loader key in capitals") << QJsonObject{{"loader", "Fabric"}} << false;
    QTest::newRow("unknown loader") << QJsonObject{{"loader", "rift"}} << false;
    QTest::newRow("loader without version") << QJsonObject{{"loaderVersion", "  "}} << false;
    QTest::newRow("vanilla with a loader version") << QJsonObject{{"loader", ""}} << true;
    QTest::newRow("63-digit checksum")
        << QJsonObject{{"archive.sha256", QString(63, 'a')}} << false;
    QTest::newRow("checksum in capitals")
        << QJsonObject{{"archive.sha256", QString(64, 'A')}} << true;
    QTest::newRow("checksum not hex") << QJsonObject{{"archive.sha256", QString(64, 'g')}} << false;
    QTest::newRow("negative size") << QJsonObject{{"archive.size", -1}} << false;
    QTest::newRow("no size") << QJsonObject{{"archive.size", QJsonValue()}} << true;
    QTest::newRow("archive on another port")
        << archiveAt("https://127.0.0.1:1/seasons/a.zip") << false;
    QTest::newRow("archive on another host")
        << archiveAt("https://localhost:" + port + "/seasons/a.zip") << false;
    QTest::newRow("archive over another scheme")
        << archiveAt("http://127.0.0.1:" + port + "/seasons/a.zip") << false;
    QTest::newRow("relative archive") << archiveAt("packs/a.zip") << false;
}

void SeasonalBuildServiceTest::entriesAreCheckedOneByOne()
{
    QFETCH(QJsonObject, changes);
    QFETCH(bool, kept);
    m_server.route(kCatalogPath, TestReply::json(catalog({entry(m_server, "autumn", changes),
                                                          entry(m_server, "winter")})));
    SeasonalBuildService service;
    service.setBaseUrl(base());

    const Answer answer = fetch(service);
    QCOMPARE(answer, Answer(true, QString()));
    const QStringList expected = kept ? QStringList{"autumn", "winter"} : QStringList{"winter"};
    QCOMPARE(idsOf(service.builds()), expected);
    if (!kept)
        return;
    const SeasonalBuildEntry autumn = *service.find("autumn");
    QCOMPARE(autumn.name, QStringLiteral("Autumn"));
    QCOMPARE(autumn.loaderVersion, QStringLiteral("0.16.9"));
    QCOMPARE(autumn.serverUrl, QStringLiteral("play.example:25565"));
    QCOMPARE(autumn.description, QStringLiteral("Falling leaves"));
    QCOMPARE(autumn.seasonStart, QDate(2024, 9, 1));
    QVERIFY(!autumn.seasonEnd.isValid());
    QCOMPARE(autumn.sha256, kSha);
    QCOMPARE(autumn.archiveUrl, m_server.url("/seasons/packs/autumn.zip"));
}

void SeasonalBuildServiceTest::integersOutsideTheirRangeReadAsAbsent_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("revisionKept");
    QTest::addColumn<int>("count");
    // -1: the entry is dropped for its size.
    QTest::addColumn<qint64>("size");
    const qint64 intMax = std::numeric_limits<int>::max();
    QTest::newRow("7") << QJsonValue(7) << true << 7 << qint64(7);
    QTest::newRow("INT_MAX") << QJsonValue(intMax) << true << int(intMax) << intMax;
    QTest::newRow("INT_MAX + 1") << QJsonValue(intMax + 1) << false << 0 << intMax + 1;
    QTest::newRow("99999999999") << QJsonValue(qint64(99999999999)) << false << 0
                                 << qint64(99999999999);
    QTest::newRow("-1") << QJsonValue(-1) << false << 0 << qint64(-1);
    QTest::newRow("1e300") << QJsonValue(1e300) << false << 0 << qint64(0);
    QTest::newRow("-1e300") << QJsonValue(-1e300) << false << 0 << qint64(0);
    QTest::newRow("12.5") << QJsonValue(12.5) << false << 0 << qint64(12);
}

void SeasonalBuildServiceTest::integersOutsideTheirRangeReadAsAbsent()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, revisionKept);
    QFETCH(int, count);
    QFETCH(qint64, size);
    m_server.route(kCatalogPath,
                   TestReply::json(catalog(
                       {entry(m_server, "revision", {{"revision", value}}),
                        entry(m_server, "counts", {{"modCount", value}, {"javaMajor", value}}),
                        entry(m_server, "size", {{"archive.size", value}})})));
    SeasonalBuildService service;
    service.setBaseUrl(base());
    QCOMPARE(fetch(service), Answer(true, QString()));

    QCOMPARE(service.find("revision").has_value(), revisionKept);
    const SeasonalBuildEntry counts = *service.find("counts");
    QCOMPARE(counts.modCount, count);
    QCOMPARE(counts.javaMajor, count);
    QCOMPARE(service.find("size").has_value(), size >= 0);
    if (size >= 0)
        QCOMPARE(service.find("size")->archiveSize, size);
}

void SeasonalBuildServiceTest::unusableDocumentsKeepTheOlderList_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("message");
    const QJsonArray bad{entry(m_server, "Bad")};
    QTest::newRow("no format") << TestReply::json(catalog(bad, QJsonValue()))
                               << "Unknown build catalog format (0)";
    QTest::newRow("format 0") << TestReply::json(catalog(bad, 0))
                              << "Unknown build catalog format (0)";
    QTest::newRow("format 2") << TestReply::json(catalog(bad, 2))
                              << "The build server speaks format 2 — update the launcher";
    QTest::newRow("not JSON") << TestReply::ok("<html>") << "Unknown build catalog format (0)";
    QTest::newRow("no valid entry")
        << TestReply::json(catalog(bad)) << "The build list is empty or could not be parsed";
    const QString tooLarge = "Could not fetch the build list: the server's reply is too large";
    QTest::newRow("endless body") << TestReply::ok().endless() << tooLarge;
    QTest::newRow("9 MiB document")
        << TestReply::json(catalog({}).append(QByteArray(9 << 20, ' '))) << tooLarge;
}

void SeasonalBuildServiceTest::unusableDocumentsKeepTheOlderList()
{
    QFETCH(TestReply, reply);
    QFETCH(QString, message);
    m_server.route(kCatalogPath,
                   QList{TestReply::json(catalog({entry(m_server, "autumn")})), reply, reply});
    SeasonalBuildService service;
    service.setBaseUrl(base());
    QCOMPARE(fetch(service), Answer(true, QString()));

    QCOMPARE(fetch(service, true), Answer(true, message));
    QCOMPARE(service.lastError(), message);
    QCOMPARE(idsOf(service.builds()), QStringList{"autumn"});

    // Without an older list the same document is a failure.
    QVERIFY(QFile::remove(LauncherPaths::seasonalCatalogFile()));
    SeasonalBuildService fresh;
    fresh.setBaseUrl(base());
    QCOMPARE(fetch(fresh), Answer(false, message));
}

void SeasonalBuildServiceTest::ongoingSeasonsComeFirstNewestFirst()
{
    const auto season = [this](const QString& id, const QString& name, const QString& start,
                               const QString& end) {
        return entry(m_server, id, {{"name", name}, {"seasonStart", start}, {"seasonEnd", end}});
    };
    m_server.route(kCatalogPath, TestReply::json(catalog({
                                     season("finished-new", "A", "2025-03-01", "2025-04-01"),
                                     season("ongoing-undated", "A", "", ""),
                                     season("ongoing-old", "A", "2024-01-01", "not a date"),
                                     season("ongoing-new-b", "b", "2024-06-01", ""),
                                     season("ongoing-new-a", "a", "2024-06-01", ""),
                                     season("finished-old", "A", "2023-01-01", "2023-02-01"),
                                     season("twin", "first", "2024-06-01", ""),
                                     season("twin", "second", "2024-06-01", ""),
                                 })));
    SeasonalBuildService service;
    service.setBaseUrl(base());
    QCOMPARE(fetch(service), Answer(true, QString()));
    QCOMPARE(idsOf(service.builds()),
             QStringList({"ongoing-new-a", "ongoing-new-b", "twin", "twin", "ongoing-old",
                          "ongoing-undated", "finished-new", "finished-old"}));
    QCOMPARE(service.find("twin")->name, QStringLiteral("second"));
}

void SeasonalBuildServiceTest::callersShareOneFetch()
{
    m_server.route(kCatalogPath,
                   TestReply::json(catalog({entry(m_server, "autumn")})).delayed(200));
    SeasonalBuildService service;
    service.setBaseUrl(base());
    QSignalSpy refreshing(&service, &SeasonalBuildService::refreshingChanged);
    Answers answers;
    const QStringList callers{"1", "2", "3", "4", "5"};
    for (const QString& name : callers)
        service.ensureLoaded(answers.caller(name));
    QVERIFY(answers.received.isEmpty());
    QVERIFY(service.isRefreshing());
    QTRY_COMPARE(answers.received.size(), 5);
    for (int i = 0; i < callers.size(); ++i)
        QCOMPARE(answers.received.at(i), qMakePair(callers.at(i), Answer(true, QString())));
    QCOMPARE(m_server.requestCount(kCatalogPath), 1);
    QCOMPARE(refreshing.size(), 2);

    // Fresh: answered on the next turn without asking the server, unless forced.
    service.ensureLoaded(answers.caller("fresh"));
    QCOMPARE(answers.received.size(), 5);
    QTRY_COMPARE(answers.received.size(), 6);
    QCOMPARE(m_server.requestCount(kCatalogPath), 1);
    QCOMPARE(fetch(service, true), Answer(true, QString()));
    QCOMPARE(m_server.requestCount(kCatalogPath), 2);
}

void SeasonalBuildServiceTest::cacheServesOnlyItsOwnAddress_data()
{
    QTest::addColumn<bool>("sameAddress");
    QTest::addColumn<qint64>("ageSeconds");
    QTest::addColumn<bool>("fetched");
    QTest::newRow("own address, 890 s old") << true << 890ll << false;
    QTest::newRow("own address, 910 s old") << true << 910ll << true;
    QTest::newRow("another address") << false << 10ll << true;
}

void SeasonalBuildServiceTest::cacheServesOnlyItsOwnAddress()
{
    QFETCH(bool, sameAddress);
    QFETCH(qint64, ageSeconds);
    QFETCH(bool, fetched);
    const QString cachedFor = sameAddress ? base().toString() : m_server.url("/other").toString();
    writeCache(cachedFor, ageSeconds, {entry(m_server, "cached")});
    m_server.route(kCatalogPath, TestReply::json(catalog({entry(m_server, "served")})));
    SeasonalBuildService service;
    service.setBaseUrl(base());
    QSignalSpy changed(&service, &SeasonalBuildService::buildsChanged);

    QCOMPARE(fetch(service), Answer(true, QString()));
    QCOMPARE(m_server.requestCount(kCatalogPath), fetched ? 1 : 0);
    QCOMPARE(idsOf(service.builds()), QStringList{fetched ? "served" : "cached"});
    QVERIFY(changed.size() > 0);

    const QJsonObject cache = TestHelpers::readJson(LauncherPaths::seasonalCatalogFile()).object();
    QCOMPARE(cache.value("baseUrl").toString(), fetched ? base().toString() : cachedFor);
    QCOMPARE(cache.value("formatVersion").toInt(), 1);
    QVERIFY(cache.value("fetchedAt").toString().endsWith('Z'));
}

void SeasonalBuildServiceTest::addressChangedWhileFetching()
{
    m_server.route("/old/index.json",
                   TestReply::json(catalog({entry(m_server, "from-old")})).delayed(300));
    m_server.route("/new/index.json", TestReply::json(catalog({entry(m_server, "from-new")})));
    SeasonalBuildService service;
    service.setBaseUrl(m_server.url("/old"));
    Answers answers;
    service.ensureLoaded(answers.caller("old"));
    QTRY_COMPARE(m_server.requestCount("/old/index.json"), 1);

    service.setBaseUrl(m_server.url("/new"));
    QVERIFY(service.builds().isEmpty());
    service.ensureLoaded(answers.caller("new"));
    QTRY_COMPARE(answers.received.size(), 2);
    QCOMPARE(answers.received.at(0), qMakePair(QString("old"), Answer(true, QString())));
    QCOMPARE(answers.received.at(1), qMakePair(QString("new"), Answer(true, QString())));
    QCOMPARE(m_server.requestCount("/new/index.json"), 1);

    // The old address's reply, had it been waited for, would have arrived by now.
    QTest::qWait(500);
    QCOMPARE(idsOf(service.builds()), QStringList{"from-new"});
    QVERIFY(!service.isRefreshing());
    const QJsonObject cache = TestHelpers::readJson(LauncherPaths::seasonalCatalogFile()).object();
    QCOMPARE(cache.value("baseUrl").toString(), m_server.url("/new").toString());
    QCOMPARE(cache.value("builds").toArray().first().toObject().value("id").toString(),
             QStringLiteral("from-new"));
}

void SeasonalBuildServiceTest::unusableAddressIsToldNextTurn_data()
{
    QTest::addColumn<QUrl>("address");
    QTest::newRow("none") << QUrl();
    QTest::newRow("no host") << QUrl("https:///seasons");
    QTest::newRow("local file") << QUrl("file:///tmp/seasons");
    QTest::newRow("not the web") << QUrl("ftp://127.0.0.1/seasons");
}

void SeasonalBuildServiceTest::unusableAddressIsToldNextTurn()
{
    QFETCH(QUrl, address);
    SeasonalBuildService service;
    service.setBaseUrl(base());
    service.setBaseUrl(address);
    QSignalSpy changed(&service, &SeasonalBuildService::buildsChanged);
    Answers answers;
    service.ensureLoaded(answers.caller("caller"));
    QVERIFY(answers.received.isEmpty());
    QCOMPARE(service.lastError(), QStringLiteral("No build server address is set"));
    QCOMPARE(changed.size(), 1);
    QTRY_COMPARE(answers.received.size(), 1);
    QCOMPARE(answers.received.first().second,
             Answer(false, QStringLiteral("No build server address is set")));
    QCOMPARE(m_server.requestCount(), 0);
}

QTEST_GUILESS_MAIN(SeasonalBuildServiceTest)
#include "tst_seasonalbuildservice.moc"
