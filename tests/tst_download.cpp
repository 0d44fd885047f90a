#include "download.h"
#include "fulldisk.h"
#include "localization.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

using TestHelpers::hex;
using TestHelpers::readFile;

Q_DECLARE_METATYPE(TestReply)
Q_DECLARE_METATYPE(Download::Fault)
Q_DECLARE_METATYPE(Download::Outcome)

namespace {

const QByteArray kBody(1000, 'j');
const HttpRequest::Recipe kRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                  HttpRequest::kStreamed};

bool serverBusy(int status, QNetworkReply::NetworkError)
{
    return status == 503;
}

QByteArray randomBody(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// Keeps the file workers from writing while it lives, and lets them go however the
// test ends.
class HeldWorkers {
public:
    HeldWorkers() { DownloadFile::holdWorkersForTesting(true); }
    ~HeldWorkers() { release(); }
    void release() { DownloadFile::holdWorkersForTesting(false); }
};

} // namespace

class DownloadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(Localization::instance()->load()); }
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        m_server.clearLog();
    }
    void fileIsSavedOnlyWhenItChecksOut_data();
    void fileIsSavedOnlyWhenItChecksOut();
    void failureIsWordedByItsOwner_data();
    void failureIsWordedByItsOwner();
    void diskFaultsGiveTheSystemsReason_data();
    void diskFaultsGiveTheSystemsReason();
    void cancelReportsAtOnceAndKeepsNoFile();
    void aLaggingDiskHoldsTheNetworkBackAndKeepsTheBytes();
    void cancelDropsBytesStillWaitingForTheDisk();
    void cancelKnowsOfACommitNotYetHeard();
    void progressIsCoalescedAndEndsOnTheLastFigures();
    void anEndedDownloadGoesWithoutWaitingForTheNetworkThread_data();
    void anEndedDownloadGoesWithoutWaitingForTheNetworkThread();

private:
    QString target() const { return m_folder->filePath("sub/file.bin"); }
    bool folderIsEmpty() const { return QDir(m_folder->filePath("sub")).isEmpty(); }

    std::unique_ptr<QTemporaryDir> m_folder;
    TestServer m_server;
    QNetworkAccessManager m_network;
};

void DownloadTest::fileIsSavedOnlyWhenItChecksOut_data()
{
    QTest::addColumn<QList<TestReply>>("script");
    QTest::addColumn<QString>("digest");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<Download::Fault>("fault");
    QTest::addColumn<int>("requests");
    using F = Download::Fault;
    const QString sha256 = hex(kBody, QCryptographicHash::Sha256);
    const TestReply good = TestReply::ok(kBody);
    const TestReply huge = TestReply::ok("j").withHeader("Content-Length", "1000000000000000");
    QTest::newRow("digest in upper case")
        << QList{good} << sha256.toUpper() << false << 1000ll << F::None << 1;
    QTest::newRow("exact digest spelling")
        << QList{good} << sha256.toUpper() << true << 1000ll << F::Checksum << 3;
    QTest::newRow("more bytes than expected")
        << QList{good.chunked()} << QString() << false << 999ll << F::Oversize << 3;
    QTest::newRow("announced more than expected")
        << QList{huge.stalledAfter(1)} << QString() << false << 1000ll << F::Oversize << 3;
    QTest::newRow("unknown size past the free space")
        << QList{TestReply::ok().endless()} << QString() << false << 0ll << F::NoSpace << 1;
    QTest::newRow("busy, corrupt, then right")
        << QList{TestReply::status(503), TestReply::ok("corrupt"), good} << sha256 << false
        << 1000ll << F::None << 3;
    QTest::newRow("missing is not retried")
        << QList{TestReply::notFound(), good} << sha256 << false << 0ll << F::Network << 1;
}

void DownloadTest::fileIsSavedOnlyWhenItChecksOut()
{
    QFETCH(QList<TestReply>, script);
    QFETCH(QString, digest);
    QFETCH(bool, caseSensitive);
    QFETCH(qint64, size);
    QFETCH(Download::Fault, fault);
    QFETCH(int, requests);
    const TestHelpers::ScopedFreeSpace noRoom(0);
    m_server.route("/file", script);
    DownloadTarget wanted(m_server.url("/file"), target(), digest, QCryptographicHash::Sha256,
                          size);
    wanted.digestCase = caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive;

    QObject owner;
    Download* download = Download::start(&m_network, wanted, kRecipe, {3, 10, serverBusy}, &owner);
    QVERIFY(download);
    QSignalSpy ended(download, &Download::ended);
    QVERIFY(ended.wait(10000));
    QTest::qWait(50);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(download->fault(), fault);
    QCOMPARE(m_server.requestCount("/file"), requests);
    if (fault == Download::Fault::None) {
        QCOMPARE(download->outcome(), Download::Outcome::Saved);
        QCOMPARE(readFile(target()), kBody);
    } else {
        QCOMPARE(download->outcome(), Download::Outcome::Failed);
        QVERIFY(!download->errorText().isEmpty());
        QVERIFY(folderIsEmpty());
    }
}

enum class Words { All, TransferOnly, None };

void DownloadTest::failureIsWordedByItsOwner_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<QString>("digest");
    QTest::addColumn<bool>("folderInTheWay");
    QTest::addColumn<Words>("words");
    // %1: the download's own error text.
    QTest::addColumn<QString>("message");
    const TestReply good = TestReply::ok(kBody);
    const QString wrong(64, '0');
    QTest::newRow("transfer") << TestReply::notFound() << QString() << false << Words::All
                              << "transfer: %1";
    QTest::newRow("transfer, no words")
        << TestReply::notFound() << QString() << false << Words::None << "%1";
    QTest::newRow("checksum") << good << wrong << false << Words::All << "checksum";
    QTest::newRow("checksum, as a transfer")
        << good << wrong << false << Words::TransferOnly << "transfer: %1";
    QTest::newRow("disk") << good << QString() << true << Words::All << "disk";
    QTest::newRow("disk, its own text") << good << QString() << true << Words::TransferOnly << "%1";
}

void DownloadTest::failureIsWordedByItsOwner()
{
    QFETCH(TestReply, reply);
    QFETCH(QString, digest);
    QFETCH(bool, folderInTheWay);
    QFETCH(Words, words);
    QFETCH(QString, message);
    if (folderInTheWay)
        QVERIFY(QDir().mkpath(target()));
    m_server.route("/file", reply);
    QObject owner;
    Download* download = Download::start(
        &m_network, {m_server.url("/file"), target(), digest, QCryptographicHash::Sha256}, kRecipe,
        {}, &owner);
    QVERIFY(download);
    QSignalSpy ended(download, &Download::ended);
    QVERIFY(ended.wait(10000));
    QCOMPARE(download->outcome(), Download::Outcome::Failed);

    Download::FailureWords given;
    if (words != Words::None)
        given.transfer = [](const QString& reason) { return "transfer: " + reason; };
    if (words == Words::All) {
        given.checksum = "checksum";
        given.disk = "disk";
    }
    QVERIFY(!download->errorText().isEmpty());
    QCOMPARE(download->failureMessage(given), message.replace("%1", download->errorText()));
}

void DownloadTest::diskFaultsGiveTheSystemsReason_data()
{
    QTest::addColumn<bool>("fullDisk"); // otherwise a folder stands where the file goes
    QTest::newRow("a folder where the file goes") << false;
    QTest::newRow("a full disk") << true;
}

// What the system said of the failed file reaches the owner's thread with the file's name.
void DownloadTest::diskFaultsGiveTheSystemsReason()
{
    QFETCH(bool, fullDisk);
    m_server.route("/file", TestReply::ok(kBody));
    std::optional<FullDisk> disk;
    if (fullDisk)
        disk.emplace(m_folder->path());
    else
        QVERIFY(QDir().mkpath(target()));
    const int code = !disk ? EISDIR : disk->isMounted() ? ENOSPC : EFBIG;
    const Download::Fault fault = disk ? Download::Fault::Write : Download::Fault::Commit;
    const QString expected =
        Loc::text("storage.error.saveFailedWhy")
            .arg(QDir::toNativeSeparators(target()), QString::fromLocal8Bit(std::strerror(code)));
    QString told;
    const auto fetch = [&] {
        QObject owner;
        // Of a known size: the free space does not bound it.
        const DownloadTarget wanted(m_server.url("/file"), target(), {}, QCryptographicHash::Sha1,
                                    kBody.size());
        Download* download = Download::start(&m_network, wanted, kRecipe, {}, &owner);
        if (!download)
            return false;
        QSignalSpy ended(download, &Download::ended);
        if (!ended.wait(10000))
            return false;
        told = download->errorText();
        return download->fault() == fault && told == expected;
    };

    QVERIFY2(disk ? disk->whileFull(fetch) : fetch(), qPrintable(told));
    QCOMPARE(QDir(m_folder->filePath("sub"))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             disk ? QStringList() : QStringList{"file.bin"});
}

void DownloadTest::cancelReportsAtOnceAndKeepsNoFile()
{
    m_server.route("/slow", TestReply::ok(kBody).slow(100, 50));
    QObject owner;
    Download* download =
        Download::start(&m_network, {m_server.url("/slow"), target()}, kRecipe, {}, &owner);
    QVERIFY(download);
    QSignalSpy ended(download, &Download::ended);
    QTRY_VERIFY(download->received() > 0);
    download->cancel();
    QCOMPARE(ended.size(), 1);
    QCOMPARE(download->outcome(), Download::Outcome::Canceled);
    download->cancel();
    QTRY_COMPARE(m_server.inFlight(), 0);
    QCOMPARE(ended.size(), 1);
    QVERIFY(folderIsEmpty());
}

void DownloadTest::aLaggingDiskHoldsTheNetworkBackAndKeepsTheBytes()
{
    const QByteArray body = randomBody(6 * 1024 * 1024);
    m_server.route("/big", TestReply::ok(body).chunked());
    const DownloadTarget wanted(m_server.url("/big"), target(), hex(body, QCryptographicHash::Sha1),
                                QCryptographicHash::Sha1, body.size());
    HeldWorkers held;
    QObject owner;
    Download* download = Download::start(&m_network, wanted, kRecipe, {}, &owner);
    QSignalSpy ended(download, &Download::ended);
    QTRY_VERIFY(download->received() >= DownloadFile::kPendingLimit);
    QTest::qWait(300);
    // The bytes the disk has not taken stay bounded; the rest waits on the network.
    QVERIFY(download->received() < 2 * DownloadFile::kPendingLimit);
    QVERIFY(ended.isEmpty());
    held.release();
    QVERIFY(ended.wait(10000));
    QCOMPARE(download->outcome(), Download::Outcome::Saved);
    QCOMPARE(readFile(target()), body);
}

void DownloadTest::cancelDropsBytesStillWaitingForTheDisk()
{
    m_server.route("/file", TestReply::ok(kBody));
    HeldWorkers held;
    QObject owner;
    Download* download = Download::start(
        &m_network, {m_server.url("/file"), target(), hex(kBody, QCryptographicHash::Sha1)},
        kRecipe, {}, &owner);
    QSignalSpy ended(download, &Download::ended);
    QTRY_VERIFY(download->isCommitting());
    download->cancel();
    QCOMPARE(ended.size(), 1);
    QCOMPARE(download->outcome(), Download::Outcome::Canceled);
    held.release();
    QTest::qWait(200);
    QCOMPARE(ended.size(), 1);
    QVERIFY(!QFileInfo::exists(target()));
    QVERIFY(folderIsEmpty());
}

// The network thread starts the commit a moment before the owner hears of it: a cancel
// in that moment still says that the file may take its name.
void DownloadTest::cancelKnowsOfACommitNotYetHeard()
{
    m_server.route("/file", TestReply::ok(kBody));
    HeldWorkers held;
    QObject owner;
    Download* download = Download::start(
        &m_network, {m_server.url("/file"), target(), hex(kBody, QCryptographicHash::Sha1)},
        kRecipe, {}, &owner);
    bool wasCommittingHere = true;
    // The last figures come just before the commit's notice, which waits behind them.
    connect(download, &Download::progress, this, [&](qint64 received, qint64) {
        if (received < kBody.size() || !download->isRunning())
            return;
        QThread::msleep(300);
        wasCommittingHere = download->isCommitting();
        download->cancel();
    });
    QSignalSpy ended(download, &Download::ended);
    QTRY_COMPARE(ended.size(), 1);
    QVERIFY(!wasCommittingHere);
    QCOMPARE(download->outcome(), Download::Outcome::Canceled);
    QVERIFY(download->canceledDuringCommit());
}

void DownloadTest::progressIsCoalescedAndEndsOnTheLastFigures()
{
    const QByteArray body = randomBody(2 * 1024 * 1024);
    m_server.route("/big", TestReply::ok(body).slow(4096, 1));
    QObject owner;
    QElapsedTimer elapsed;
    elapsed.start();
    Download* download =
        Download::start(&m_network, {m_server.url("/big"), target()}, kRecipe, {}, &owner);
    QList<QPair<qint64, qint64>> figures;
    connect(download, &Download::progress, this, [&](qint64 received, qint64 total) {
        figures.append({received, total});
    });
    QSignalSpy ended(download, &Download::ended);
    QVERIFY(ended.wait(30000));
    const qint64 took = elapsed.elapsed();
    QCOMPARE(download->outcome(), Download::Outcome::Saved);
    // Hundreds of pieces arrive; the owner hears of them at most every 40 ms.
    QVERIFY2(figures.size() <= took / 40 + 2,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(figures.size()).arg(took)));
    QVERIFY(!figures.isEmpty());
    QCOMPARE(figures.last(), qMakePair(qint64(body.size()), qint64(body.size())));
    QCOMPARE(download->received(), qint64(body.size()));
}

void DownloadTest::anEndedDownloadGoesWithoutWaitingForTheNetworkThread_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<Download::Outcome>("outcome");
    QTest::newRow("saved") << TestReply::ok(kBody) << Download::Outcome::Saved;
    QTest::newRow("failed") << TestReply::notFound() << Download::Outcome::Failed;
}

// The interface thread lets its ended downloads go all the time; the network thread may
// meanwhile be deep in the work of others.
void DownloadTest::anEndedDownloadGoesWithoutWaitingForTheNetworkThread()
{
    QFETCH(TestReply, reply);
    QFETCH(Download::Outcome, outcome);
    m_server.route("/file", reply);
    QObject owner;
    Download* download =
        Download::start(&m_network, {m_server.url("/file"), target()}, kRecipe, {}, &owner);
    QVERIFY(download);
    QSignalSpy ended(download, &Download::ended);
    QVERIFY(ended.wait(10000));
    QCOMPARE(download->outcome(), outcome);

    auto held = std::make_unique<TestHelpers::HeldNetworkThread>();
    QElapsedTimer clock;
    clock.start();
    delete download;
    const qint64 waitedMs = clock.elapsed();
    held.reset();
    QVERIFY2(waitedMs < 100, qPrintable(QString::number(waitedMs)));
    QTRY_COMPARE(m_server.inFlight(), 0);
    QCOMPARE(QFileInfo::exists(target()), outcome == Download::Outcome::Saved);
}

QTEST_GUILESS_MAIN(DownloadTest)
#include "tst_download.moc"
