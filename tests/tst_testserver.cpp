#include "javatools.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestServerTest : public QObject {
    Q_OBJECT

private slots:
    void trustedHandshakeOverHttp1();
    void scriptConsumedInOrderLastRepeating();
    void routeLookupOrder();
    void handlerAnswersDynamically();
    void redirectIsFollowed();
    void chunkedSlowBody();
    void delayedReply();
    void closedMidBody();
    void stalledBodyHitsTransferTimeout();
    void requestLogRecordsPost();
    void maxConcurrentCountsParallelRequests();
    void streamsLargeFile();
    void fixturesAreTemplated();
    void compilesAndRunsJavaJar();

private:
    // Waits for the reply and returns it; owned by the caller.
    std::unique_ptr<QNetworkReply> finish(QNetworkReply* reply, int timeoutMs = 5000);
    std::unique_ptr<QNetworkReply> get(const QUrl& url);

    QNetworkAccessManager m_network;
};

std::unique_ptr<QNetworkReply> TestServerTest::finish(QNetworkReply* reply, int timeoutMs)
{
    if (!reply->isFinished()) {
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(timeoutMs);
    }
    return std::unique_ptr<QNetworkReply>(reply);
}

std::unique_ptr<QNetworkReply> TestServerTest::get(const QUrl& url)
{
    return finish(m_network.get(QNetworkRequest(url)));
}

void TestServerTest::trustedHandshakeOverHttp1()
{
    TestServer server;
    QVERIFY(server.isListening());
    QCOMPARE(server.origin(), QStringLiteral("https://127.0.0.1:%1").arg(server.port()));
    server.route("/hello", TestReply::text("hi"));

    QNetworkRequest request(server.url("/hello"));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    QNetworkReply* raw = m_network.get(request);
    QSignalSpy sslErrors(raw, &QNetworkReply::sslErrors);
    auto reply = finish(raw);
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(sslErrors.count(), 0);
    QCOMPARE(reply->readAll(), QByteArray("hi"));
    QCOMPARE(reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool(), false);

    auto missing = get(server.url("/nothing"));
    QCOMPARE(missing->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
}

void TestServerTest::scriptConsumedInOrderLastRepeating()
{
    TestServer server;
    server.route("/flaky", QList<TestReply>{TestReply::status(503), TestReply::ok("body")});

    auto first = get(server.url("/flaky"));
    QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 503);
    for (int i = 0; i < 2; ++i) {
        auto later = get(server.url("/flaky"));
        QCOMPARE(later->error(), QNetworkReply::NoError);
        QCOMPARE(later->readAll(), QByteArray("body"));
    }
    QCOMPARE(server.requestCount("/flaky"), 3);
}

void TestServerTest::routeLookupOrder()
{
    TestServer server;
    server.route("/item?id=1", TestReply::ok("exact"));
    server.route("/item", TestReply::ok("path"));
    server.routePrefix("/files/", TestReply::ok("files"));
    server.routePrefix("/files/deep/", TestReply::ok("deep"));

    QCOMPARE(get(server.url("/item?id=1"))->readAll(), QByteArray("exact"));
    QCOMPARE(get(server.url("/item?id=2"))->readAll(), QByteArray("path"));
    QCOMPARE(get(server.url("/item"))->readAll(), QByteArray("path"));
    QCOMPARE(get(server.url("/files/x/y"))->readAll(), QByteArray("files"));
    QCOMPARE(get(server.url("/files/deep/z"))->readAll(), QByteArray("deep"));
    QCOMPARE(server.requestCount("/item"), 3);
    QCOMPARE(server.requestCount("/item?id=2"), 1);

    server.removeRoute("/item");
    QCOMPARE(get(server.url("/item"))->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
             404);
}

void TestServerTest::handlerAnswersDynamically()
{
    TestServer server;
    server.routePrefix("/echo/", [](const TestRequest& request) {
        return TestReply::text(request.path.toUtf8() + '|' + request.query.toUtf8(), 201);
    });
    auto reply = get(server.url("/echo/abc?x=1"));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
    QCOMPARE(reply->readAll(), QByteArray("/echo/abc|x=1"));
}

void TestServerTest::redirectIsFollowed()
{
    TestServer server;
    server.route("/old", TestReply::redirect("/new", 301));
    server.route("/new", TestReply::ok("moved here"));
    server.route("/kept", TestReply::redirect("/new").withHeader("Connection", "keep-alive"));

    auto reply = get(server.url("/old"));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->url(), server.url("/new"));
    QCOMPARE(reply->readAll(), QByteArray("moved here"));
    QCOMPARE(server.requestCount("/old"), 1);
    QCOMPARE(server.requestCount("/new"), 1);

    // The client may send a request twice when its redirect arrived on a kept-alive
    // connection, so only check the redirect worked.
    auto kept = get(server.url("/kept"));
    QCOMPARE(kept->error(), QNetworkReply::NoError);
    QCOMPARE(kept->readAll(), QByteArray("moved here"));
    QVERIFY(server.requestCount("/kept") >= 1);
}

void TestServerTest::chunkedSlowBody()
{
    TestServer server;
    const QByteArray body = QByteArray("0123456789").repeated(50);
    server.route("/chunks", TestReply::ok(body).chunked().slow(100, 20));

    QElapsedTimer clock;
    clock.start();
    auto reply = get(server.url("/chunks"));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->rawHeader("Transfer-Encoding"), QByteArray("chunked"));
    QVERIFY(!reply->hasRawHeader("Content-Length"));
    QCOMPARE(reply->readAll(), body);
    QVERIFY2(clock.elapsed() >= 80, "five pieces with four pauses of 20 ms");
}

void TestServerTest::delayedReply()
{
    TestServer server;
    server.route("/late", TestReply::ok("late").delayed(200));
    QElapsedTimer clock;
    clock.start();
    auto reply = get(server.url("/late"));
    QCOMPARE(reply->readAll(), QByteArray("late"));
    QVERIFY(clock.elapsed() >= 200);
}

void TestServerTest::closedMidBody()
{
    TestServer server;
    server.route("/broken", TestReply::ok(QByteArray(10000, 'x')).closedAfter(1000));

    auto reply = get(server.url("/broken"));
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::RemoteHostClosedError);
    QVERIFY(reply->readAll().size() < 10000);
    QTRY_COMPARE(server.inFlight(), 0);
}

void TestServerTest::stalledBodyHitsTransferTimeout()
{
    TestServer server;
    server.route("/stall", TestReply::ok(QByteArray(10000, 'x')).stalledAfter(100));

    QNetworkRequest request(server.url("/stall"));
    request.setTransferTimeout(500);
    QElapsedTimer clock;
    clock.start();
    auto reply = finish(m_network.get(request));
    QVERIFY(reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    QVERIFY2(clock.elapsed() >= 450, "transfer time-outs are coarse timers");
    QCOMPARE(server.inFlight(), 1);
    // The client gives up on the connection, which ends the request's flight.
    m_network.clearConnectionCache();
    QTRY_COMPARE(server.inFlight(), 0);
}

void TestServerTest::requestLogRecordsPost()
{
    TestServer server;
    server.route("/submit", TestReply::json(R"({"ok":true})"));

    QNetworkRequest request(server.url("/submit?mode=fast"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("X-Token", "abc");
    auto reply = finish(m_network.post(request, QByteArray(R"({"name":"steve"})")));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(),
             QStringLiteral("application/json"));

    QCOMPARE(server.requests().size(), 1);
    const TestRequest logged = server.requests().first();
    QCOMPARE(logged.method, QStringLiteral("POST"));
    QCOMPARE(logged.target, QStringLiteral("/submit?mode=fast"));
    QCOMPARE(logged.path, QStringLiteral("/submit"));
    QCOMPARE(logged.query, QStringLiteral("mode=fast"));
    QCOMPARE(logged.header("x-token"), QByteArray("abc"));
    QCOMPARE(logged.header("CONTENT-TYPE"), QByteArray("application/json"));
    QVERIFY(!logged.hasHeader("X-Missing"));
    QCOMPARE(logged.body, QByteArray(R"({"name":"steve"})"));
    QCOMPARE(server.requests("/submit?mode=fast").size(), 1);

    server.clearLog();
    QCOMPARE(server.requestCount(), 0);
}

void TestServerTest::maxConcurrentCountsParallelRequests()
{
    TestServer server;
    server.route("/slow", TestReply::ok("done").delayed(300));
    server.route("/fast", TestReply::ok("done"));

    get(server.url("/fast"));
    QCOMPARE(server.maxConcurrent(), 1);

    std::vector<std::unique_ptr<QNetworkReply>> replies;
    for (int i = 0; i < 4; ++i)
        replies.emplace_back(m_network.get(QNetworkRequest(server.url("/slow"))));
    for (auto& reply : replies) {
        finish(reply.get()).release();
        QCOMPARE(reply->error(), QNetworkReply::NoError);
    }
    QCOMPARE(server.maxConcurrent(), 4);
    QCOMPARE(server.inFlight(), 0);
    server.resetMaxConcurrent();
    QCOMPARE(server.maxConcurrent(), 0);
}

void TestServerTest::streamsLargeFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("large.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCryptographicHash expected(QCryptographicHash::Sha1);
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < 21; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()),
                                              block.size() / 4);
        expected.addData(block);
        file.write(block);
    }
    file.close();

    TestServer server;
    server.route("/large.bin", TestReply::file(path));
    auto reply = get(server.url("/large.bin"));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 21 * 1024 * 1024);
    QCryptographicHash received(QCryptographicHash::Sha1);
    received.addData(reply->readAll());
    QCOMPARE(received.result(), expected.result());

    server.route("/gone.bin", TestReply::file(dir.filePath("missing.bin")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot open"));
    auto gone = get(server.url("/gone.bin"));
    QCOMPARE(gone->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
}

void TestServerTest::fixturesAreTemplated()
{
    TestServer server;
    const QByteArray links = server.fixture("testserver/links.json");
    QVERIFY(links.contains(server.origin().toUtf8() + "/links.json"));
    QVERIFY(!links.contains("{{BASE}}"));
    QCOMPARE(server.templated("x{{BASE}}y{{BASE}}"),
             "x" + server.origin().toUtf8() + "y" + server.origin().toUtf8());
}

void TestServerTest::compilesAndRunsJavaJar()
{
    QVERIFY(!JavaTools::javaExecutable().isEmpty());
    QVERIFY(QFileInfo::exists(JavaTools::javaHome() + "/bin/java"));

    QTemporaryDir dir;
    const QString jar = dir.filePath("out/hello.jar");
    QString error;
    const bool compiled = JavaTools::compileJar(
        {{"demo.Main", "package demo; public class Main { public static void main(String[] a) "
                       "{ System.out.println(Greeting.text() + a.length); } }"},
         {"demo.Greeting", "package demo; class Greeting { static String text() "
                           "{ return \"hello \"; } }"}},
        jar, "demo.Main", &error);
    QVERIFY2(compiled, qPrintable(error));

    QProcess java;
    java.start(JavaTools::javaExecutable(), {"-jar", jar, "one", "two"});
    QVERIFY(java.waitForFinished(30000));
    QCOMPARE(java.exitCode(), 0);
    QCOMPARE(java.readAllStandardOutput().trimmed(), QByteArray("hello 2"));

    QVERIFY(!JavaTools::compileMainJar("Bad", "class Bad { syntax error }", jar, &error));
    QVERIFY(error.contains("Bad.java"));
}

QTEST_GUILESS_MAIN(TestServerTest)
#include "tst_testserver.moc"
