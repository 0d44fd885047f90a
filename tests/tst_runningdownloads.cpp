#include "runningdownloads.h"
#include "stagedfile.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using TestHelpers::hex;
using TestHelpers::readFile;

Q_DECLARE_METATYPE(Download::Fault)

namespace {

struct Task {
    QUrl url;
    QString path;
    QString sha1;
    qint64 size = 0;
    QString label;
};

const HttpRequest::Recipe kRecipe{30000, HttpRequest::Redirects::NoLessSafe,
                                  HttpRequest::kStreamed};
// The shortest time between two reports of a list.
constexpr qint64 kReportIntervalMs = 40;

bool labelEndsInSeven(const Task& task)
{
    return task.label.endsWith(QLatin1Char('7'));
}

QByteArray bodyOf(int index, qint64 extra = 0)
{
    return QByteArray(1000 + index + extra, char('a' + index % 26));
}

// Everything one list tells its owner.
struct Heard {
    int started = 0;
    QStringList saved;
    QStringList failed;
    Download::Fault fault = Download::Fault::None;
    QString errorText;
    int files = 0;
    qint64 bytes = 0;
    int notices = 0;

    int total() const { return started + int(saved.size() + failed.size()) + notices; }
};

} // namespace

class RunningDownloadsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestHelpers::loadEnglishCatalog()); }
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        m_server.clearRoutes();
        m_server.clearLog();
        m_list = std::make_unique<RunningDownloads<Task>>(&m_network, kRecipe, RetryRule{});
        m_heard = {};
        m_list->setHandlers({[this](const Task&) { ++m_heard.started; },
                             [this](const Task& task) { m_heard.saved.append(task.label); },
                             [this](const Task& task, const Download::Summary& download) {
                                 m_heard.failed.append(task.label);
                                 m_heard.fault = download.fault;
                                 m_heard.errorText = download.errorText;
                             }});
        connect(m_list.get(), &DownloadList::progressed, this, [this] { ++m_heard.notices; });
        connect(m_list.get(), &DownloadList::saved, this, [this](qint64 bytes, int files) {
            m_heard.bytes += bytes;
            m_heard.files += files;
        });
    }
    void cleanup()
    {
        m_list.reset();
        StagedFile::useHiddenNamesForTesting(false);
    }

    void manyFilesAreReportedInFewNotices();
    void theFirstFailureEndsTheWork_data();
    void theFirstFailureEndsTheWork();
    void abandonAllLeavesNothingBehindAndTheListStartsAfresh();
    void theFirstDownloadTakesTheConnectionMadeAhead();
    void aListWhoseWorkEndedGoesWithoutWaitingForTheNetworkThread_data();
    void aListWhoseWorkEndedGoesWithoutWaitingForTheNetworkThread();

private:
    // Routes `count` files, `extra` bytes larger than bodyOf() makes them, and returns
    // their tasks; a file's path is under `folder`.
    QList<Task> serve(int count, const TestReply& model, const QString& folder = "files",
                      qint64 extra = 0)
    {
        QList<Task> tasks;
        for (int i = 0; i < count; ++i) {
            const QByteArray body = bodyOf(i, extra);
            TestReply reply = model;
            reply.body = body;
            const QString name = QStringLiteral("/f%1").arg(i);
            m_server.route(name, reply);
            tasks.append({m_server.url(name), m_folder->filePath(folder + name),
                          hex(body, QCryptographicHash::Sha1), body.size(), name.mid(1)});
        }
        return tasks;
    }
    QStringList entriesUnder(const QString& folder) const
    {
        return QDir(m_folder->filePath(folder))
            .entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

    std::unique_ptr<QTemporaryDir> m_folder;
    TestServer m_server;
    QNetworkAccessManager m_network;
    std::unique_ptr<RunningDownloads<Task>> m_list;
    Heard m_heard;
};

void RunningDownloadsTest::manyFilesAreReportedInFewNotices()
{
    const int count = 300;
    const QList<Task> tasks = serve(count, TestReply::ok());
    m_list->setTransfersAtOnce(4);
    m_list->setCommitsAtOnce(16);
    QElapsedTimer elapsed;
    elapsed.start();
    m_list->start(tasks, labelEndsInSeven);
    QCOMPARE(m_list->size(), count);
    QTRY_VERIFY_WITH_TIMEOUT(m_list->isEmpty(), 30000);
    const qint64 took = elapsed.elapsed();

    QCOMPARE(m_heard.files, count);
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        bytes += bodyOf(i).size();
        QCOMPARE(readFile(tasks.at(i).path), bodyOf(i));
    }
    QCOMPARE(m_heard.bytes, bytes);
    QCOMPARE(m_heard.saved.size(), 30);
    QVERIFY(std::all_of(m_heard.saved.cbegin(), m_heard.saved.cend(),
                        [](const QString& label) { return label.endsWith('7'); }));
    QVERIFY(m_heard.failed.isEmpty());
    // One report per interval at most, and one more for the end.
    QVERIFY2(m_heard.notices <= took / kReportIntervalMs + 2,
             qPrintable(QStringLiteral("%1 notices in %2 ms").arg(m_heard.notices).arg(took)));
    QVERIFY(m_heard.started <= m_heard.notices);
    QVERIFY(m_server.maxConcurrent() <= 4);
    QCOMPARE(m_list->received(), 0);
}

// A server of its own and an owner of its own: no connection of an earlier test is there
// to be taken.
void RunningDownloadsTest::theFirstDownloadTakesTheConnectionMadeAhead()
{
    TestServer server;
    QNetworkAccessManager owner;
    RunningDownloads<Task> list(&owner, kRecipe, RetryRule{});
    const QByteArray body = bodyOf(0);
    server.route("/f0", TestReply::ok(body));
    list.connectAhead(
        {QUrl(server.origin()), server.url("/elsewhere"), QUrl("http://127.0.0.1:1")});
    QTRY_COMPARE(server.connectionsAccepted(), 1);
    QCOMPARE(server.requestCount(), 0);

    list.start({{server.url("/f0"), m_folder->filePath("f0"), hex(body, QCryptographicHash::Sha1),
                 body.size(), "f0"}});
    QTRY_VERIFY(list.isEmpty());
    QCOMPARE(readFile(m_folder->filePath("f0")), body);
    QCOMPARE(server.connectionsAccepted(), 1);
}

void RunningDownloadsTest::theFirstFailureEndsTheWork_data()
{
    QTest::addColumn<bool>("folderBlocked");
    QTest::addColumn<Download::Fault>("fault");
    QTest::addColumn<QString>("text"); // %1: the blocked folder
    QTest::newRow("missing file") << false << Download::Fault::Network << "Not Found";
    QTest::newRow("folder cannot be made")
        << true << Download::Fault::Open << "Could not create %1";
}

void RunningDownloadsTest::theFirstFailureEndsTheWork()
{
    QFETCH(bool, folderBlocked);
    QFETCH(Download::Fault, fault);
    QFETCH(QString, text);
    StagedFile::useHiddenNamesForTesting(true);
    QList<Task> tasks = serve(40, TestReply::ok().slow(100, 20));
    if (folderBlocked) {
        QVERIFY(TestHelpers::writeFile(m_folder->filePath("blocked"), "a file"));
        tasks[10].path = m_folder->filePath("blocked/f10");
    } else {
        m_server.route("/f10", TestReply::notFound());
    }
    m_list->setTransfersAtOnce(4);
    m_list->start(tasks);
    QTRY_COMPARE_WITH_TIMEOUT(m_heard.failed, QStringList{"f10"}, 20000);
    QCOMPARE(m_heard.fault, fault);
    QVERIFY2(
        m_heard.errorText.contains(text.arg(TestHelpers::native(m_folder->filePath("blocked")))),
        qPrintable(m_heard.errorText));
    QVERIFY(m_list->isEmpty());

    // The others were stopped at once: no more requests, no more reports, no partial
    // file left.
    const int requests = m_server.requestCount();
    QVERIFY(requests < 20);
    const int heard = m_heard.total();
    QTRY_COMPARE(m_server.inFlight(), 0);
    QTest::qWait(200);
    QCOMPARE(m_heard.total(), heard);
    QCOMPARE(m_server.requestCount(), requests);
    for (const QString& name : entriesUnder("files"))
        QVERIFY2(!name.startsWith('.'), qPrintable(name));
}

void RunningDownloadsTest::abandonAllLeavesNothingBehindAndTheListStartsAfresh()
{
    StagedFile::useHiddenNamesForTesting(true);
    m_list->setTransfersAtOnce(4);
    // Large enough that their files are made before their last bytes arrive.
    m_list->start(serve(8, TestReply::ok().slow(128 * 1024, 100), "files", 1024 * 1024));
    QTRY_VERIFY(!entriesUnder("files").isEmpty());
    QVERIFY(m_list->received() > 0);

    m_list->abandonAll();
    QCOMPARE(entriesUnder("files"), QStringList());
    QVERIFY(m_list->isEmpty());
    QCOMPARE(m_list->received(), 0);
    const Heard before = m_heard;
    QTRY_COMPARE(m_server.inFlight(), 0);
    QTest::qWait(150);
    QCOMPARE(m_heard.total(), before.total());

    // Work started afterwards is told apart from the abandoned work.
    const QList<Task> next = serve(3, TestReply::ok(), "next");
    m_list->start(next);
    QTRY_VERIFY(m_list->isEmpty());
    QCOMPARE(m_heard.files - before.files, 3);
    QCOMPARE(entriesUnder("next"), QStringList({"f0", "f1", "f2"}));
    QCOMPARE(entriesUnder("files"), QStringList());
}

void RunningDownloadsTest::aListWhoseWorkEndedGoesWithoutWaitingForTheNetworkThread_data()
{
    QTest::addColumn<bool>("oneMissing");
    QTest::newRow("every file saved") << false;
    QTest::newRow("ended by a failure") << true;
}

// An installer lets its lists go as its job ends, while the network thread may be deep in
// the work of another job.
void RunningDownloadsTest::aListWhoseWorkEndedGoesWithoutWaitingForTheNetworkThread()
{
    QFETCH(bool, oneMissing);
    StagedFile::useHiddenNamesForTesting(true);
    const QList<Task> tasks = serve(8, TestReply::ok());
    if (oneMissing)
        m_server.route("/f3", TestReply::notFound());
    m_list->start(tasks);
    QTRY_VERIFY_WITH_TIMEOUT(m_list->isEmpty(), 20000);
    QCOMPARE(m_heard.failed.size(), oneMissing ? 1 : 0);

    auto held = std::make_unique<TestHelpers::HeldNetworkThread>();
    QElapsedTimer clock;
    clock.start();
    m_list.reset();
    const qint64 waitedMs = clock.elapsed();
    held.reset();
    QVERIFY2(waitedMs < 100, qPrintable(QString::number(waitedMs)));
    QTRY_COMPARE(m_server.inFlight(), 0);
    for (const QString& name : entriesUnder("files"))
        QVERIFY2(!name.startsWith('.'), qPrintable(name));
}

QTEST_GUILESS_MAIN(RunningDownloadsTest)
#include "tst_runningdownloads.moc"
