#include "catalogrefresh.h"
#include "launcherpaths.h"
#include "temphome.h"

#include <QDir>
#include <QJsonArray>
#include <QTest>

#include <memory>

class TestCatalogRefresh : public QObject {
    Q_OBJECT

private slots:
    void answersFollowTheCacheWrites();
};

// Whoever a refresh answers reads the cache it wrote: the writes run on a thread of
// their own, in order, and an answer waits for those asked for before it. An answer
// whose context is gone is dropped, and with no write under way it comes at once.
void TestCatalogRefresh::answersFollowTheCacheWrites()
{
    TempHome home;
    const QString path = QDir(LauncherPaths::cacheDir()).filePath(QStringLiteral("list.json"));
    QJsonArray versions;
    for (int i = 0; i < 20000; ++i)
        versions.append(QStringLiteral("version %1").arg(i));
    for (int round = 1; round <= 3; ++round)
        CatalogRefresh::writeCacheFile(path, {{"round", round}, {"versions", versions}});

    auto gone = std::make_unique<QObject>();
    bool goneAnswered = false;
    CatalogRefresh::afterCacheWrites(gone.get(), [&] { goneAnswered = true; });
    gone.reset();
    QObject context;
    int roundSeen = 0;
    CatalogRefresh::afterCacheWrites(
        &context, [&] { roundSeen = CatalogRefresh::readCacheFile(path).value("round").toInt(); });
    QCOMPARE(roundSeen, 0);
    QTRY_COMPARE(roundSeen, 3);

    bool idleAnswered = false;
    CatalogRefresh::afterCacheWrites(&context, [&] { idleAnswered = true; });
    QVERIFY(idleAnswered);
    QTest::qWait(20);
    QVERIFY(!goneAnswered);
    // A reader waits for the writes under way.
    CatalogRefresh::writeCacheFile(path, {{"round", 4}, {"versions", versions}});
    QCOMPARE(CatalogRefresh::readCacheFile(path).value("round").toInt(), 4);
}

QTEST_GUILESS_MAIN(TestCatalogRefresh)
#include "tst_catalogrefresh.moc"
