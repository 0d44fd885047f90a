#include "seasonalpackdownloader.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(TestReply)

using TestHelpers::readFile;

namespace {

const QByteArray kPack = QByteArray(200 * 1024, 'p');
const QByteArray kStale = "an archive of an earlier attempt";
const QString kLabel = QStringLiteral("Autumn");

QString sha256Of(const QByteArray& data)
{
    return TestHelpers::hex(data, QCryptographicHash::Sha256);
}

// Every notice of one downloader, in order, with what it read at each.
struct Notices {
    explicit Notices(SeasonalPackDownloader& downloader)
    {
        QObject::connect(&downloader, &SeasonalPackDownloader::started,
                         [this](const QString& l) { events.append("started " + l); });
        QObject::connect(&downloader, &SeasonalPackDownloader::progressChanged,
                         [this, &downloader] {
                             events.append("progress");
                             progressAt.append(clock.elapsed());
                             fractions.append(downloader.fraction());
                             totals.append(downloader.bytesTotal());
                             received.append(downloader.bytesReceived());
                         });
        QObject::connect(&downloader, &SeasonalPackDownloader::finished,
                         [this](const QString& path) { events.append("finished " + path); });
        QObject::connect(&downloader, &SeasonalPackDownloader::failed,
                         [this](const QString& l, const QString& message) {
                             events.append("failed " + l);
                             this->message = message;
                         });
        QObject::connect(&downloader, &SeasonalPackDownloader::canceled,
                         [this](const QString& l) { events.append("canceled " + l); });
        clock.start();
    }

    int count(const QString& prefix) const
    {
        return int(std::count_if(events.begin(), events.end(),
                                 [&](const QString& e) { return e.startsWith(prefix); }));
    }
    bool ended() const { return count("finished") + count("failed") + count("canceled") > 0; }

    QStringList events;
    QList<qint64> progressAt;
    QList<double> fractions;
    QList<qint64> totals;
    QList<qint64> received;
    QString message;
    QElapsedTimer clock;
};

} // namespace

class SeasonalPackDownloaderTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_server.clearRoutes();
        m_server.clearLog();
    }

    void outcomes_data();
    void outcomes();
    void folderBlockedByAFile();
    void cancelLeavesTheDestinationAlone();
    void progressIsCoalescedAndFollowsTheTotal_data();
    void progressIsCoalescedAndFollowsTheTotal();
    void destroyedMidTransferTellsNobody();

private:
    QString destination() const { return m_dir->filePath("builds/7/.pack-r3.zip"); }

    std::unique_ptr<QTemporaryDir> m_dir;
    TestServer m_server;
};

void SeasonalPackDownloaderTest::outcomes_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<QString>("message"); // empty: saved; else the failure's text or its start
    const TestReply pack = TestReply::ok(kPack);
    const QString mismatch =
        "The build archive's checksum does not match — the download is corrupted";
    QTest::newRow("right checksum") << pack << sha256Of(kPack) << "";
    QTest::newRow("checksum in capitals") << pack << sha256Of(kPack).toUpper() << "";
    QTest::newRow("no Content-Length") << pack.chunked() << sha256Of(kPack) << "";
    QTest::newRow("wrong checksum") << pack << sha256Of("other") << mismatch;
    QTest::newRow("no checksum") << pack << "" << mismatch;
    QTest::newRow("not found") << TestReply::notFound() << sha256Of(kPack)
                               << "Could not download the build: ";
    QTest::newRow("cut short") << pack.closedAfter(1000) << sha256Of(kPack)
                               << "Could not download the build: ";
}

void SeasonalPackDownloaderTest::outcomes()
{
    QFETCH(TestReply, reply);
    QFETCH(QString, sha256);
    QFETCH(QString, message);
    m_server.route("/seasons/packs/autumn.zip", reply);
    QVERIFY(TestHelpers::writeFile(destination(), kStale));
    SeasonalPackDownloader downloader;
    Notices notices(downloader);

    downloader.download(m_server.url("/seasons/packs/autumn.zip"), destination(), sha256, 0,
                        kLabel);
    QVERIFY(downloader.isBusy());
    QCOMPARE(downloader.currentFile(), QStringLiteral(".pack-r3.zip"));
    QCOMPARE(downloader.stageText(), QStringLiteral("Downloading the build's files"));
    QTRY_VERIFY_WITH_TIMEOUT(notices.ended(), 10000);
    QTest::qWait(150);

    QCOMPARE(notices.events.first(), "started " + kLabel);
    QCOMPARE(notices.events.at(notices.events.size() - 2), QStringLiteral("progress"));
    QVERIFY(!downloader.isBusy());
    if (message.isEmpty()) {
        QCOMPARE(notices.events.last(), "finished " + destination());
        QCOMPARE(readFile(destination()), kPack);
    } else {
        QCOMPARE(notices.events.last(), "failed " + kLabel);
        QVERIFY2(notices.message.startsWith(message), qPrintable(notices.message));
        QVERIFY(!QFile::exists(destination()));
    }
    QCOMPARE(QDir(m_dir->filePath("builds/7"))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                 .size(),
             message.isEmpty() ? 1 : 0);
}

void SeasonalPackDownloaderTest::folderBlockedByAFile()
{
    const QString blocker = m_dir->filePath("builds");
    QVERIFY(TestHelpers::writeFile(blocker, "a file"));
    SeasonalPackDownloader downloader;
    Notices notices(downloader);
    downloader.download(m_server.url("/pack.zip"), destination(), sha256Of(kPack), 0, kLabel);
    QCOMPARE(notices.events, QStringList({"progress", "failed " + kLabel}));
    QCOMPARE(notices.message, "Could not create " +
                                  TestHelpers::native(m_dir->filePath("builds/7")) +
                                  ": File exists");
    QCOMPARE(m_server.requestCount(), 0);
    QCOMPARE(readFile(blocker), QByteArray("a file"));
}

void SeasonalPackDownloaderTest::cancelLeavesTheDestinationAlone()
{
    m_server.route("/pack.zip", TestReply::ok(kPack).slow(1024, 20).chunked());
    QVERIFY(TestHelpers::writeFile(destination(), kStale));
    SeasonalPackDownloader downloader;
    Notices notices(downloader);
    downloader.cancel();
    QVERIFY(notices.events.isEmpty());

    downloader.download(m_server.url("/pack.zip"), destination(), sha256Of(kPack), 0, kLabel);
    QTRY_VERIFY(downloader.bytesReceived() > 0);
    downloader.cancel();
    QCOMPARE(notices.events.last(), "canceled " + kLabel);
    downloader.cancel();
    QTRY_COMPARE(m_server.inFlight(), 0);
    QTest::qWait(100);
    QCOMPARE(notices.count("canceled"), 1);
    QCOMPARE(notices.count("failed"), 0);
    QCOMPARE(readFile(destination()), kStale);
    QCOMPARE(QDir(m_dir->filePath("builds/7")).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void SeasonalPackDownloaderTest::progressIsCoalescedAndFollowsTheTotal_data()
{
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("total"); // as the notices show it
    const qint64 half = kPack.size() / 2;
    QTest::newRow("length from the server") << false << half << qint64(kPack.size());
    QTest::newRow("catalog size, exceeded") << true << half << half;
    QTest::newRow("no size at all") << true << 0ll << 0ll;
}

void SeasonalPackDownloaderTest::progressIsCoalescedAndFollowsTheTotal()
{
    QFETCH(bool, chunked);
    QFETCH(qint64, size);
    QFETCH(qint64, total);
    const TestReply slow = TestReply::ok(kPack).slow(4096, 10);
    m_server.route("/pack.zip", chunked ? slow.chunked() : slow);
    SeasonalPackDownloader downloader;
    Notices notices(downloader);
    downloader.download(m_server.url("/pack.zip"), destination(), sha256Of(kPack), size, kLabel);
    QTRY_VERIFY_WITH_TIMEOUT(notices.ended(), 10000);
    QCOMPARE(notices.count("finished"), 1);

    // The last notice is the outcome's own, at once; the ones before come on the ticks
    // of a 100 ms timer, which catches up with a late tick but never fires twice for it.
    const QList<qint64> ticks = notices.progressAt.mid(0, notices.progressAt.size() - 1);
    QVERIFY2(ticks.size() >= 3, qPrintable(QString::number(ticks.size())));
    QVERIFY(ticks.size() <= notices.clock.elapsed() / 100 + 1);
    for (int i = 2; i < ticks.size(); ++i)
        QVERIFY2(ticks.at(i) - ticks.at(i - 2) >= 90, qPrintable(QString::number(i)));
    // The first tick may come before the server's headers, and once the body has ended
    // the transport reports what arrived as the total: judge the ticks in between.
    qsizetype during = ticks.size() - 1;
    while (during > 0 && notices.received.at(during) >= kPack.size())
        --during;
    QVERIFY(notices.received.at(during) > 0);
    QCOMPARE(notices.totals.at(during), total);
    const QList<double> fractions = notices.fractions.mid(0, during + 1);
    if (total == 0) {
        QCOMPARE(fractions, QList<double>(during + 1, -1.0));
        return;
    }
    QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
    QVERIFY(fractions.first() >= 0 && fractions.last() <= 1.0);
    if (total < kPack.size())
        QCOMPARE(fractions.last(), 1.0);
}

void SeasonalPackDownloaderTest::destroyedMidTransferTellsNobody()
{
    m_server.route("/pack.zip", TestReply::ok(kPack).slow(1024, 20));
    auto downloader = std::make_unique<SeasonalPackDownloader>();
    QStringList heard;
    QObject listener;
    connect(downloader.get(), &SeasonalPackDownloader::failed, &listener,
            [&heard] { heard.append("failed"); });
    connect(downloader.get(), &SeasonalPackDownloader::canceled, &listener,
            [&heard] { heard.append("canceled"); });
    connect(downloader.get(), &SeasonalPackDownloader::finished, &listener,
            [&heard] { heard.append("finished"); });
    downloader->download(m_server.url("/pack.zip"), destination(), sha256Of(kPack), 0, kLabel);
    QTRY_VERIFY(downloader->bytesReceived() > 0);

    downloader.reset();
    QTRY_COMPARE(m_server.inFlight(), 0);
    QCOMPARE(heard, QStringList());
    QCOMPARE(QDir(m_dir->filePath("builds/7")).entryList(QDir::Files | QDir::Hidden).size(), 0);
}

QTEST_GUILESS_MAIN(SeasonalPackDownloaderTest)
#include "tst_seasonalpackdownloader.moc"
