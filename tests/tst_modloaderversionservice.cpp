#include "launcherpaths.h"
#include "modloaderversionservice.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QString kFabricList = QStringLiteral("/v2/versions/loader/1.20.1");
const QString kQuiltList = QStringLiteral("/v3/versions/loader/1.20.1");
const QString kForgeMetadata = QStringLiteral("/net/minecraftforge/forge/maven-metadata.xml");
const QString kForgePromotions =
    QStringLiteral("/maven/net/minecraftforge/forge/promotions_slim.json");
const QString kNeoForgeMetadata =
    QStringLiteral("/releases/net/neoforged/neoforge/maven-metadata.xml");
const QString kNeoForgeLegacyMetadata =
    QStringLiteral("/releases/net/neoforged/forge/maven-metadata.xml");

// Records what a catalog callback was given, and how often.
struct Answer {
    int calls = 0;
    bool ok = false;
    QString message;

    ModLoaderVersionService::Callback callback()
    {
        return [this](bool answerOk, const QString& answerMessage) {
            ++calls;
            ok = answerOk;
            message = answerMessage;
        };
    }
};

QStringList loaderVersionsOf(const QList<LoaderVersionEntry>& entries)
{
    QStringList result;
    for (const LoaderVersionEntry& entry : entries)
        result.append(entry.loaderVersion);
    return result;
}

QByteArray fixture(const QString& name)
{
    return TestHelpers::readFile(TestServer::fixturePath(QStringLiteral("loaders/") + name));
}

QJsonObject readCacheFile(ModLoader loader)
{
    return TestHelpers::readJson(LauncherPaths::loaderCacheFile(loaderKey(loader))).object();
}

bool writeCacheFile(ModLoader loader, const QJsonObject& root)
{
    if (!LauncherPaths::ensureRootExists())
        return false;
    QFile file(LauncherPaths::loaderCacheFile(loaderKey(loader)));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(QJsonDocument(root).toJson()) > 0;
}

QString isoAgo(qint64 seconds)
{
    return QDateTime::currentDateTimeUtc().addSecs(-seconds).toString(Qt::ISODate);
}

} // namespace

class TestModLoaderVersionService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loaderKeysTitlesAndRequestKeys();
    void unstableVersions_data();
    void unstableVersions();
    void versionOrder_data();
    void versionOrder();
    void sortKeepsOrderOfEqualVersions();
    void parsesFabricAndQuiltLists();
    void parsesForgeMetadata();
    void mapsNeoForgeVersionsToGameVersions();
    void brokenMavenDocumentGivesNothing();

    void fabricRefreshStoresCachesAndAnswersFreshListsLater();
    void concurrentCallersShareOneRequestPerDocument();
    void forceWhileRefreshingStartsNothing();
    void blankGameVersionTouchesNothing();
    void forgePromotionsMarkRecommendedBuilds();
    void forgeSucceedsWithoutPromotions();
    void neoForgeAppendsLegacyEntriesAndNeedsMainDocument();
    void failedRefreshesReportByStoredLists();
    void fabricFailureForUnlistedGameVersionIsAFailure();
    void readsCacheOnceAndRefreshesStaleLists();
    void cacheHoldsEveryGameVersionAfterRefresh();

private:
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<ModLoaderVersionService> m_service;
};

void TestModLoaderVersionService::initTestCase()
{
    QVERIFY(TestHelpers::loadEnglishCatalog());
}

void TestModLoaderVersionService::init()
{
    m_home = std::make_unique<TempHome>();
    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->isListening());
    RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    m_service = std::make_unique<ModLoaderVersionService>();
}

void TestModLoaderVersionService::cleanup()
{
    m_service.reset();
    m_server.reset();
    RemoteAddresses::resetForTesting();
    m_home.reset();
}

void TestModLoaderVersionService::loaderKeysTitlesAndRequestKeys()
{
    QCOMPARE(loaderFromKey("neoforge"), std::optional<ModLoader>(ModLoader::NeoForge));
    QCOMPARE(loaderFromKey("forge"), std::optional<ModLoader>(ModLoader::Forge));
    QCOMPARE(loaderFromKey("fabric"), std::optional<ModLoader>(ModLoader::Fabric));
    QCOMPARE(loaderFromKey("quilt"), std::optional<ModLoader>(ModLoader::Quilt));
    QVERIFY(!loaderFromKey("NeoForge"));
    QVERIFY(!loaderFromKey("neoforge "));
    QVERIFY(!loaderFromKey(" fabric"));
    QVERIFY(!loaderFromKey(QString()));

    QCOMPARE(loaderKey(ModLoader(7)), QString());
    QCOMPARE(loaderTitle(ModLoader(-1)), QString());
    QCOMPARE(loaderTitle(ModLoader::Quilt), QStringLiteral("Quilt Loader"));
    QCOMPARE(int(ModLoader::NeoForge), 2);

    QCOMPARE(ModLoaderVersionService::requestKey(ModLoader::Fabric, "1.20.1"),
             QStringLiteral("fabric/1.20.1"));
    QCOMPARE(ModLoaderVersionService::requestKey(ModLoader::Forge, "1.20.1"),
             QStringLiteral("forge"));
    QVERIFY(ModLoaderVersionService::isPerGameVersion(ModLoader::Quilt));
    QVERIFY(!ModLoaderVersionService::isPerGameVersion(ModLoader::NeoForge));
}

void TestModLoaderVersionService::unstableVersions_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("unstable");
    QTest::newRow("plus sign") << "0.15.0+build.1" << true;
    QTest::newRow("beta in capitals") << "20.4.80-BETA" << true;
    QTest::newRow("alpha anywhere") << "1.0alphabet" << true;
    QTest::newRow("release candidate") << "1.2-rc1" << true;
    QTest::newRow("pre-release") << "1.2-Pre3" << true;
    QTest::newRow("rc without dash") << "1.2rc1" << false;
    QTest::newRow("forge release") << "1.20.1-47.2.0" << false;
}

void TestModLoaderVersionService::unstableVersions()
{
    QFETCH(QString, version);
    QFETCH(bool, unstable);
    QCOMPARE(ModLoaderVersionService::looksUnstable(version), unstable);
}

void TestModLoaderVersionService::versionOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("newer");
    QTest::newRow("two-digit patch") << "0.16.10"
                                     << "0.16.9" << true;
    QTest::newRow("two-digit patch reversed") << "0.16.9"
                                              << "0.16.10" << false;
    QTest::newRow("itself") << "0.16.10"
                            << "0.16.10" << false;
    QTest::newRow("missing part ranks below zero") << "1.0"
                                                   << "1.0.0" << false;
    QTest::newRow("zero ranks above missing part") << "1.0.0"
                                                   << "1.0" << true;
    QTest::newRow("1.10 above 1.9") << "1.10"
                                    << "1.9" << true;
    QTest::newRow("text against missing part") << "21.0.0-beta"
                                               << "21.0.0" << true;
    QTest::newRow("number above text") << "1.0.1"
                                       << "1.0.a" << true;
    QTest::newRow("leading zero equals") << "1.01"
                                         << "1.1" << false;
    QTest::newRow("over-long digits are text") << "1.99999999999"
                                               << "1.2" << false;
    QTest::newRow("upper case ranks below lower") << "1.B"
                                                  << "1.a" << false;
    QTest::newRow("empty parts dropped") << "1..2"
                                         << "1.1" << true;
}

void TestModLoaderVersionService::versionOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, newer);
    QCOMPARE(ModLoaderVersionService::isNewer(a, b), newer);
}

void TestModLoaderVersionService::sortKeepsOrderOfEqualVersions()
{
    const auto sorted = [](const QStringList& versions) {
        QList<LoaderVersionEntry> entries;
        for (const QString& version : versions)
            entries.append(LoaderVersionEntry{version, {}, {}, {}, false, true});
        ModLoaderVersionService::sortNewestFirst(entries);
        return loaderVersionsOf(entries);
    };
    QCOMPARE(sorted({"1.1", "1.01"}), QStringList({"1.1", "1.01"}));
    QCOMPARE(sorted({"1.01", "1.1"}), QStringList({"1.01", "1.1"}));
    QCOMPARE(sorted({"0.9", "21.0.0", "0.16.9", "21.0.0-beta", "0.16.10"}),
             QStringList({"21.0.0-beta", "21.0.0", "0.16.10", "0.16.9", "0.9"}));
}

void TestModLoaderVersionService::parsesFabricAndQuiltLists()
{
    const auto fabric = ModLoaderVersionService::parseFabricLike(
        fixture("fabric-1.20.1.json"), ModLoader::Fabric, QStringLiteral("1.20.1"));
    QCOMPARE(loaderVersionsOf(fabric),
             QStringList({"0.16.10", "0.16.9", "0.16.0+build.5", "0.15.11"}));
    const LoaderVersionEntry& newest = fabric.first();
    QCOMPARE(newest.gameVersion, QStringLiteral("1.20.1"));
    QCOMPARE(newest.versionId, QStringLiteral("fabric-loader-0.16.10-1.20.1"));
    QVERIFY(newest.installerUrl.isEmpty());
    QVERIFY(newest.stable);
    QVERIFY(!newest.recommended);
    QVERIFY(!fabric[2].stable); // "+" without an explicit flag
    QVERIFY(!fabric[3].stable); // the explicit flag wins over a plain version

    // The game version comes from the request, not from the document.
    const auto quilt = ModLoaderVersionService::parseFabricLike(
        fixture("quilt-1.20.1.json"), ModLoader::Quilt, QStringLiteral("1.20.1 "));
    QCOMPARE(loaderVersionsOf(quilt), QStringList({"0.26.4-beta.1", "0.26.3"}));
    QCOMPARE(quilt[1].versionId, QStringLiteral("quilt-loader-0.26.3-1.20.1 "));
    QVERIFY(!quilt[0].stable);

    QVERIFY(ModLoaderVersionService::parseFabricLike(
                R"([{"loader": {"version": ""}}, {"other": 1}, 5])", ModLoader::Fabric, "1.20.1")
                .isEmpty());
}

void TestModLoaderVersionService::parsesForgeMetadata()
{
    const auto byGame = ModLoaderVersionService::parseMavenMetadata(
        fixture("forge-maven-metadata.xml"), ModLoader::Forge, false);
    QCOMPARE(byGame.size(), 3);
    const auto list = byGame.value("1.20.1");
    QCOMPARE(loaderVersionsOf(list), QStringList({"47.10.1", "47.2.0", "47.1.0"}));
    QCOMPARE(list[0].gameVersion, QStringLiteral("1.20.1"));
    QVERIFY(list[0].versionId.isEmpty());
    QCOMPARE(list[0].installerUrl.toString(),
             m_server->origin() +
                 "/net/minecraftforge/forge/1.20.1-47.10.1/forge-1.20.1-47.10.1-installer.jar");
    QVERIFY(list[0].stable);
    QVERIFY(!byGame.value("1.20.2").first().stable);
    QCOMPARE(byGame.value("1.12.2").first().loaderVersion, QStringLiteral("14.23.5.2860"));
    for (const char* skipped : {"nodash", "", "1.0"})
        QVERIFY2(!byGame.contains(QString::fromLatin1(skipped)), skipped);
}

void TestModLoaderVersionService::mapsNeoForgeVersionsToGameVersions()
{
    const auto byGame = ModLoaderVersionService::parseMavenMetadata(
        fixture("neoforge-maven-metadata.xml"), ModLoader::NeoForge, false);
    QCOMPARE(loaderVersionsOf(byGame.value("1.20.2")), QStringList({"20.2.3-beta", "20.2.3"}));
    QCOMPARE(loaderVersionsOf(byGame.value("1.20.4")), QStringList({"20.4.80-beta"}));
    QCOMPARE(loaderVersionsOf(byGame.value("1.21")), QStringList({"21.0.10", "21.0.9", "21.0.1"}));
    QCOMPARE(loaderVersionsOf(byGame.value("26.1")), QStringList({"26.1.0.5"}));
    QCOMPARE(loaderVersionsOf(byGame.value("26.1.2")), QStringList({"26.1.2.0"}));
    QCOMPARE(byGame.size(), 5); // 20.4 has too few parts
    const LoaderVersionEntry beta = byGame.value("1.20.4").first();
    QVERIFY(!beta.stable);
    QCOMPARE(
        beta.installerUrl.toString(),
        m_server->origin() +
            "/releases/net/neoforged/neoforge/20.4.80-beta/neoforge-20.4.80-beta-installer.jar");

    const auto legacy = ModLoaderVersionService::parseMavenMetadata(
        fixture("neoforge-legacy-maven-metadata.xml"), ModLoader::NeoForge, true);
    const auto legacyList = legacy.value("1.20.1");
    QCOMPARE(loaderVersionsOf(legacyList), QStringList({"47.1.79", "47.1.3"}));
    QCOMPARE(legacyList[1].installerUrl.toString(),
             m_server->origin() +
                 "/releases/net/neoforged/forge/1.20.1-47.1.3/forge-1.20.1-47.1.3-installer.jar");
}

void TestModLoaderVersionService::brokenMavenDocumentGivesNothing()
{
    const QByteArray whole = fixture("forge-maven-metadata.xml");
    const QByteArray cut = whole.left(whole.indexOf("<version>nodash"));
    QVERIFY(ModLoaderVersionService::parseMavenMetadata(cut, ModLoader::Forge, false).isEmpty());
    QVERIFY(ModLoaderVersionService::parseMavenMetadata("<m><version>1.20.1-<b/>47</version></m>",
                                                        ModLoader::Forge, false)
                .isEmpty());
    QVERIFY(ModLoaderVersionService::parseMavenMetadata("", ModLoader::Forge, false).isEmpty());
    QVERIFY(ModLoaderVersionService::parseMavenMetadata("<m><version>20.4</version></m>",
                                                        ModLoader::NeoForge, false)
                .isEmpty());
}

void TestModLoaderVersionService::fabricRefreshStoresCachesAndAnswersFreshListsLater()
{
    m_server->route(kFabricList, TestReply::json(fixture("fabric-1.20.1.json")));
    QSignalSpy changed(m_service.get(), &ModLoaderVersionService::versionsChanged);
    QSignalSpy refreshing(m_service.get(), &ModLoaderVersionService::refreshingChanged);

    Answer first;
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", first.callback());
    QVERIFY(m_service->isRefreshing(ModLoader::Fabric, "1.20.1"));
    QVERIFY(!m_service->isRefreshing(ModLoader::Fabric, "1.20.2"));
    QCOMPARE(refreshing.count(), 1);
    QVERIFY(QTest::qWaitFor([&] { return first.calls > 0; }, 10000));
    QVERIFY(first.ok);
    QCOMPARE(first.message, QString());
    QVERIFY(!m_service->isRefreshing(ModLoader::Fabric, "1.20.1"));
    QCOMPARE(refreshing.count(), 2);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first(), QVariantList({"fabric", "1.20.1"}));
    QCOMPARE(loaderVersionsOf(m_service->versions(ModLoader::Fabric, "1.20.1")).first(),
             QStringLiteral("0.16.10"));
    QVERIFY(m_service->find(ModLoader::Fabric, "1.20.1", "0.16.9"));
    QVERIFY(!m_service->find(ModLoader::Fabric, "1.20.1", "0.16"));
    QVERIFY(m_service->versions(ModLoader::Quilt, "1.20.1").isEmpty());

    const QJsonObject cache = readCacheFile(ModLoader::Fabric);
    QCOMPARE(cache.value("fetchedAt").toString(), QString());
    const QJsonObject game = cache.value("games").toObject().value("1.20.1").toObject();
    QVERIFY(game.value("fetchedAt").toString().endsWith('Z'));
    QVERIFY(QDateTime::fromString(game.value("fetchedAt").toString(), Qt::ISODate).isValid());
    const QJsonObject entry = game.value("entries").toArray().first().toObject();
    QCOMPARE(entry.value("versionId").toString(), QStringLiteral("fabric-loader-0.16.10-1.20.1"));
    QCOMPARE(entry.value("installerUrl").toString(), QString());
    QCOMPARE(entry.keys().size(), 6);

    // Fresh now: the answer comes from the event loop without another request.
    Answer second;
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", second.callback());
    QCOMPARE(second.calls, 0);
    QVERIFY(QTest::qWaitFor([&] { return second.calls > 0; }, 5000));
    QVERIFY(second.ok);
    QCOMPARE(m_server->requestCount(kFabricList), 1);
}

void TestModLoaderVersionService::concurrentCallersShareOneRequestPerDocument()
{
    m_server->route(kForgeMetadata,
                    TestReply::text(fixture("forge-maven-metadata.xml")).delayed(200));
    m_server->route(kForgePromotions, TestReply::json(fixture("forge-promotions.json")));
    m_server->route(kFabricList, TestReply::json(fixture("fabric-1.20.1.json")).delayed(200));
    QSignalSpy changed(m_service.get(), &ModLoaderVersionService::versionsChanged);

    Answer forgeA, forgeB, fabricA, fabricB;
    m_service->ensureLoaded(ModLoader::Forge, "1.20.1", forgeA.callback());
    m_service->ensureLoaded(ModLoader::Forge, "1.12.2", forgeB.callback());
    QVERIFY(m_service->isRefreshing(ModLoader::Forge, "1.7.10"));
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", fabricA.callback());
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", fabricB.callback());
    QVERIFY(QTest::qWaitFor(
        [&] { return forgeA.calls && forgeB.calls && fabricA.calls && fabricB.calls; }, 10000));
    QTest::qWait(50);

    QCOMPARE(m_server->requestCount(kForgeMetadata), 1);
    QCOMPARE(m_server->requestCount(kForgePromotions), 1);
    QCOMPARE(m_server->requestCount(kFabricList), 1);
    QCOMPARE(forgeA.calls + forgeB.calls + fabricA.calls + fabricB.calls, 4);
    QVERIFY(forgeA.ok && forgeB.ok && fabricA.ok && fabricB.ok);
    QCOMPARE(changed.count(), 2);
    QVERIFY(changed.contains(QVariantList({"forge", "1.20.1"})));
    QVERIFY(changed.contains(QVariantList({"fabric", "1.20.1"})));
    QCOMPARE(m_service->versions(ModLoader::Forge, "1.12.2").size(), 1);
}

void TestModLoaderVersionService::forceWhileRefreshingStartsNothing()
{
    m_server->route(kQuiltList, TestReply::json(fixture("quilt-1.20.1.json")).delayed(200));
    Answer first, forced, later;
    m_service->ensureLoaded(ModLoader::Quilt, "1.20.1", first.callback());
    m_service->ensureLoaded(ModLoader::Quilt, "1.20.1", forced.callback(), true);
    QVERIFY(QTest::qWaitFor([&] { return first.calls && forced.calls; }, 10000));
    QCOMPARE(m_server->requestCount(kQuiltList), 1);

    // Forcing a fresh list fetches it again.
    m_service->ensureLoaded(ModLoader::Quilt, "1.20.1", later.callback(), true);
    QVERIFY(QTest::qWaitFor([&] { return later.calls > 0; }, 10000));
    QCOMPARE(m_server->requestCount(kQuiltList), 2);
}

void TestModLoaderVersionService::blankGameVersionTouchesNothing()
{
    // A cache that would announce itself if it were read.
    QVERIFY(writeCacheFile(ModLoader::Fabric,
                           QJsonObject{{"games", QJsonObject{{"1.20.1", QJsonObject{}}}}}));
    QSignalSpy changed(m_service.get(), &ModLoaderVersionService::versionsChanged);
    QSignalSpy refreshing(m_service.get(), &ModLoaderVersionService::refreshingChanged);
    Answer answer;
    m_service->ensureLoaded(ModLoader::Fabric, "  ", answer.callback(), true);
    QCOMPARE(answer.calls, 0);
    QVERIFY(QTest::qWaitFor([&] { return answer.calls > 0; }, 5000));
    QVERIFY(answer.ok);
    QCOMPARE(answer.message, QString());
    QCOMPARE(changed.count(), 0);
    QCOMPARE(refreshing.count(), 0);
    QCOMPARE(m_server->requestCount(), 0);

    // An empty callback is allowed anywhere.
    m_service->ensureLoaded(ModLoader::Fabric, QString(), {});
    QTest::qWait(10);
}

void TestModLoaderVersionService::forgePromotionsMarkRecommendedBuilds()
{
    m_server->route(kForgeMetadata, TestReply::text(fixture("forge-maven-metadata.xml")));
    m_server->route(kForgePromotions, TestReply::json(fixture("forge-promotions.json")));
    Answer answer;
    m_service->ensureLoaded(ModLoader::Forge, "1.20.1", answer.callback());
    QVERIFY(QTest::qWaitFor([&] { return answer.calls > 0; }, 10000));
    QVERIFY(answer.ok);

    QStringList recommended;
    for (const LoaderVersionEntry& entry : m_service->versions(ModLoader::Forge, "1.20.1")) {
        if (entry.recommended)
            recommended.append(entry.loaderVersion);
    }
    QCOMPARE(recommended, QStringList({"47.2.0"}));
    QVERIFY(m_service->find(ModLoader::Forge, "1.12.2", "14.23.5.2860")->recommended);
    // A promotion that is not a text marks nothing.
    QVERIFY(!m_service->versions(ModLoader::Forge, "1.20.2").first().recommended);

    const QJsonObject cache = readCacheFile(ModLoader::Forge);
    QVERIFY(QDateTime::fromString(cache.value("fetchedAt").toString(), Qt::ISODate).isValid());
    const QJsonObject game = cache.value("games").toObject().value("1.20.1").toObject();
    QCOMPARE(game.value("fetchedAt").toString(), QString());
    QCOMPARE(game.value("entries").toArray().size(), 3);
}

void TestModLoaderVersionService::forgeSucceedsWithoutPromotions()
{
    m_server->route(kForgeMetadata, TestReply::text(fixture("forge-maven-metadata.xml")));
    m_server->route(kForgePromotions, TestReply::status(500));
    Answer answer;
    m_service->ensureLoaded(ModLoader::Forge, "1.20.1", answer.callback());
    QVERIFY(QTest::qWaitFor([&] { return answer.calls > 0; }, 10000));
    QVERIFY(answer.ok);
    QCOMPARE(answer.message, QString());
    const auto list = m_service->versions(ModLoader::Forge, "1.20.1");
    QCOMPARE(list.size(), 3);
    for (const LoaderVersionEntry& entry : list)
        QVERIFY(!entry.recommended);
}

void TestModLoaderVersionService::neoForgeAppendsLegacyEntriesAndNeedsMainDocument()
{
    m_server->route(kNeoForgeMetadata, TestReply::status(503));
    m_server->route(kNeoForgeLegacyMetadata,
                    TestReply::text(fixture("neoforge-legacy-maven-metadata.xml")));
    Answer failed;
    m_service->ensureLoaded(ModLoader::NeoForge, "1.20.1", failed.callback());
    QVERIFY(QTest::qWaitFor([&] { return failed.calls > 0; }, 10000));
    QVERIFY(!failed.ok);
    QVERIFY2(failed.message.startsWith("Could not fetch the NeoForge version list: "),
             qPrintable(failed.message));
    QVERIFY(m_service->versions(ModLoader::NeoForge, "1.20.1").isEmpty());
    QVERIFY(!QFile::exists(LauncherPaths::loaderCacheFile("neoforge")));

    m_server->route(kNeoForgeMetadata, TestReply::text(fixture("neoforge-maven-metadata.xml")));
    Answer ok;
    m_service->ensureLoaded(ModLoader::NeoForge, "1.20.1", ok.callback());
    QVERIFY(QTest::qWaitFor([&] { return ok.calls > 0; }, 10000));
    QVERIFY(ok.ok);
    QCOMPARE(loaderVersionsOf(m_service->versions(ModLoader::NeoForge, "1.20.1")),
             QStringList({"47.1.79", "47.1.3"}));
    // Legacy entries follow the main ones, unsorted against them.
    QCOMPARE(loaderVersionsOf(m_service->versions(ModLoader::NeoForge, "1.20.2")),
             QStringList({"20.2.3-beta", "20.2.3", "20.2.3"}));
    QVERIFY(m_service->find(ModLoader::NeoForge, "1.20.2", "20.2.3")
                ->installerUrl.path()
                .endsWith("/neoforge/20.2.3/neoforge-20.2.3-installer.jar"));

    // A main document without versions is unparsable.
    m_server->route(kNeoForgeMetadata, TestReply::text("<metadata><versioning/></metadata>"));
    Answer unparsable;
    m_service->ensureLoaded(ModLoader::NeoForge, "1.21", unparsable.callback(), true);
    QVERIFY(QTest::qWaitFor([&] { return unparsable.calls > 0; }, 10000));
    QVERIFY(unparsable.ok); // the stored table still stands
    QCOMPARE(unparsable.message, QStringLiteral("The NeoForge version list could not be parsed"));
    QCOMPARE(m_service->versions(ModLoader::NeoForge, "1.21").size(), 3);
}

void TestModLoaderVersionService::failedRefreshesReportByStoredLists()
{
    m_server->route(kForgeMetadata, TestReply::text(fixture("forge-maven-metadata.xml")));
    m_server->route(kForgePromotions, TestReply::json(fixture("forge-promotions.json")));
    Answer first;
    m_service->ensureLoaded(ModLoader::Forge, "1.20.1", first.callback());
    QVERIFY(QTest::qWaitFor([&] { return first.calls > 0; }, 10000));
    QSignalSpy changed(m_service.get(), &ModLoaderVersionService::versionsChanged);
    const QByteArray cacheBefore = TestHelpers::readFile(LauncherPaths::loaderCacheFile("forge"));

    m_server->route(kForgeMetadata, TestReply::status(404));
    Answer second;
    m_service->ensureLoaded(ModLoader::Forge, "1.7.10", second.callback(), true);
    QVERIFY(QTest::qWaitFor([&] { return second.calls > 0; }, 10000));
    QVERIFY(second.ok);
    QVERIFY2(second.message.startsWith("Could not fetch the Minecraft Forge version list: "),
             qPrintable(second.message));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(m_service->versions(ModLoader::Forge, "1.20.1").size(), 3);
    QFile cache(LauncherPaths::loaderCacheFile("forge"));
    QVERIFY(cache.open(QIODevice::ReadOnly));
    QCOMPARE(cache.readAll(), cacheBefore);

    // A Fabric list that is stored but stale survives a failed refresh.
    m_server->route(kFabricList, QList<TestReply>{TestReply::json(fixture("fabric-1.20.1.json")),
                                                  TestReply::text("<html>busy</html>")});
    Answer fabricFirst, fabricAgain;
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", fabricFirst.callback());
    QVERIFY(QTest::qWaitFor([&] { return fabricFirst.calls > 0; }, 10000));
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", fabricAgain.callback(), true);
    QVERIFY(QTest::qWaitFor([&] { return fabricAgain.calls > 0; }, 10000));
    QVERIFY(fabricAgain.ok);
    QCOMPARE(fabricAgain.message,
             QStringLiteral("The Fabric Loader version list could not be parsed"));
    QCOMPARE(m_service->versions(ModLoader::Fabric, "1.20.1").size(), 4);
}

void TestModLoaderVersionService::fabricFailureForUnlistedGameVersionIsAFailure()
{
    m_server->route(kFabricList, TestReply::json(fixture("fabric-1.20.1.json")));
    m_server->route("/v2/versions/loader/1.21", TestReply::status(500, "oops"));
    Answer stored, other;
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", stored.callback());
    QVERIFY(QTest::qWaitFor([&] { return stored.calls > 0; }, 10000));

    // Another game version's list says nothing about this one.
    m_service->ensureLoaded(ModLoader::Fabric, "1.21", other.callback());
    QVERIFY(QTest::qWaitFor([&] { return other.calls > 0; }, 10000));
    QVERIFY(!other.ok);
    QVERIFY2(other.message.startsWith("Could not fetch the Fabric Loader version list: "),
             qPrintable(other.message));
    QVERIFY(m_service->versions(ModLoader::Fabric, "1.21").isEmpty());

    // An array without usable elements is a stored, empty list.
    m_server->route("/v2/versions/loader/1.21", TestReply::json("[{\"loader\": {}}]"));
    Answer empty;
    m_service->ensureLoaded(ModLoader::Fabric, "1.21", empty.callback());
    QVERIFY(QTest::qWaitFor([&] { return empty.calls > 0; }, 10000));
    QVERIFY(empty.ok);
    QVERIFY(readCacheFile(ModLoader::Fabric).value("games").toObject().contains("1.21"));
    m_server->route("/v2/versions/loader/1.21", TestReply::status(500));
    Answer afterEmpty;
    m_service->ensureLoaded(ModLoader::Fabric, "1.21", afterEmpty.callback(), true);
    QVERIFY(QTest::qWaitFor([&] { return afterEmpty.calls > 0; }, 10000));
    QVERIFY(afterEmpty.ok);
    QVERIFY(!afterEmpty.message.isEmpty());
}

void TestModLoaderVersionService::readsCacheOnceAndRefreshesStaleLists()
{
    const QJsonObject entryWithoutStable{{"loaderVersion", "0.16.5"},
                                         {"gameVersion", "1.20.1"},
                                         {"versionId", "fabric-loader-0.16.5-1.20.1"}};
    QVERIFY(writeCacheFile(
        ModLoader::Fabric,
        QJsonObject{
            {"fetchedAt", ""},
            {"games",
             QJsonObject{
                 {"1.20.1", QJsonObject{{"fetchedAt", isoAgo(60)},
                                        {"entries", QJsonArray{entryWithoutStable, 7}}}},
                 {"1.19.4", QJsonObject{{"fetchedAt", "yesterday"}, {"entries", QJsonArray{}}}},
                 {"1.18.2",
                  QJsonObject{{"fetchedAt", isoAgo(6 * 3600 + 5)}, {"entries", QJsonArray{}}}},
             }}}));
    m_server->routePrefix("/v2/versions/loader/", TestReply::json("[]"));
    QSignalSpy changed(m_service.get(), &ModLoaderVersionService::versionsChanged);

    Answer fresh;
    m_service->ensureLoaded(ModLoader::Fabric, "1.20.1", fresh.callback());
    QCOMPARE(changed.count(), 1); // the cache read announces itself at once
    QVERIFY(QTest::qWaitFor([&] { return fresh.calls > 0; }, 5000));
    QCOMPARE(m_server->requestCount(), 0);
    const auto list = m_service->versions(ModLoader::Fabric, "1.20.1");
    QCOMPARE(list.size(), 2);
    QVERIFY(list[0].stable);
    QCOMPARE(list[0].versionId, QStringLiteral("fabric-loader-0.16.5-1.20.1"));
    QCOMPARE(list[1].loaderVersion, QString()); // not an object: all defaults
    QVERIFY(list[1].stable);

    for (const char* stale : {"1.19.4", "1.18.2"}) {
        Answer answer;
        m_service->ensureLoaded(ModLoader::Fabric, stale, answer.callback());
        QVERIFY(QTest::qWaitFor([&] { return answer.calls > 0; }, 10000));
        QVERIFY(answer.ok);
    }
    QCOMPARE(m_server->requestCount(), 2);
    QCOMPARE(changed.count(), 3); // no second cache read

    // A Forge cache with a time in the future counts as fresh.
    QVERIFY(writeCacheFile(
        ModLoader::Forge,
        QJsonObject{{"fetchedAt", QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate)},
                    {"games", QJsonObject{{"1.20.1", QJsonObject{{"entries", QJsonArray{}}}}}}}));
    Answer forge;
    m_service->ensureLoaded(ModLoader::Forge, "1.20.1", forge.callback());
    QVERIFY(QTest::qWaitFor([&] { return forge.calls > 0; }, 5000));
    QCOMPARE(m_server->requestCount(), 2);

    // A cache whose "games" is empty is no cache.
    QVERIFY(writeCacheFile(ModLoader::Quilt, QJsonObject{{"games", QJsonObject{}}}));
    m_server->route(kQuiltList, TestReply::json(fixture("quilt-1.20.1.json")));
    Answer quilt;
    m_service->ensureLoaded(ModLoader::Quilt, "1.20.1", quilt.callback());
    QVERIFY(QTest::qWaitFor([&] { return quilt.calls > 0; }, 10000));
    QCOMPARE(m_server->requestCount(kQuiltList), 1);
}

void TestModLoaderVersionService::cacheHoldsEveryGameVersionAfterRefresh()
{
    m_server->routePrefix("/v2/versions/loader/", TestReply::json(fixture("fabric-1.20.1.json")));
    for (const char* game : {"1.20.1", "1.21"}) {
        Answer answer;
        m_service->ensureLoaded(ModLoader::Fabric, game, answer.callback());
        QVERIFY(QTest::qWaitFor([&] { return answer.calls > 0; }, 10000));
    }
    const QJsonObject games = readCacheFile(ModLoader::Fabric).value("games").toObject();
    QCOMPARE(games.keys(), QStringList({"1.20.1", "1.21"}));

    // A new service reads it back as it was written.
    ModLoaderVersionService again;
    Answer answer;
    again.ensureLoaded(ModLoader::Fabric, "1.21", answer.callback());
    QVERIFY(QTest::qWaitFor([&] { return answer.calls > 0; }, 5000));
    QCOMPARE(m_server->requestCount(), 2);
    const auto list = again.versions(ModLoader::Fabric, "1.21");
    QCOMPARE(loaderVersionsOf(list),
             loaderVersionsOf(m_service->versions(ModLoader::Fabric, "1.21")));
    QCOMPARE(list[0].versionId, QStringLiteral("fabric-loader-0.16.10-1.21"));
    QVERIFY(!list[3].stable);
}

QTEST_GUILESS_MAIN(TestModLoaderVersionService)
#include "tst_modloaderversionservice.moc"
