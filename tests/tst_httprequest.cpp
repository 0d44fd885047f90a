#include "httprequest.h"
#include "localization.h"
#include "testserver.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>

Q_DECLARE_METATYPE(TestReply)

// What a client may have buffered besides the body it keeps: the server's own
// write buffer and the sockets' buffers in between.
constexpr qint64 kTransportSlack = 16 * 1024 * 1024;

class HttpRequestTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(Localization::instance()->load()); }
    void bodiesStopAtTheirBound_data();
    void bodiesStopAtTheirBound();
    void boundHoldsWhileTheReaderIsHeld_data();
    void boundHoldsWhileTheReaderIsHeld();
};

void HttpRequestTest::bodiesStopAtTheirBound_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<bool>("outgrows");
    const qint64 limit = HttpRequest::kReplyLimit;
    QTest::newRow("endless body") << TestReply::ok().endless() << true;
    QTest::newRow("declared length of 10^15")
        << TestReply::ok("{}").withHeader("Content-Length", "1000000000000000") << true;
    QTest::newRow("one byte over, no length")
        << TestReply::ok(QByteArray(limit + 1, 'a')).chunked() << true;
    QTest::newRow("exactly the bound") << TestReply::ok(QByteArray(limit, 'a')) << false;
}

// No time-out is set: only the bound can end the first two.
void HttpRequestTest::bodiesStopAtTheirBound()
{
    QFETCH(TestReply, reply);
    QFETCH(bool, outgrows);
    TestServer server;
    server.route("/catalog.json", reply);
    QNetworkAccessManager network;
    const HttpRequest::Recipe recipe{0, HttpRequest::Redirects::NoLessSafe,
                                     HttpRequest::kReplyLimit};
    QElapsedTimer clock;
    clock.start();
    QNetworkReply* answer = HttpRequest::get(&network, server.url("/catalog.json"), recipe);
    QSignalSpy finished(answer, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QVERIFY(clock.elapsed() < 10000);
    QCOMPARE(HttpRequest::outgrewLimit(answer), outgrows);
    if (outgrows) {
        QCOMPARE(HttpRequest::errorText(answer), Loc::text("common.error.replyTooLarge"));
        QVERIFY2(server.bodyBytesSent() < recipe.bodyLimit + kTransportSlack,
                 qPrintable(QString::number(server.bodyBytesSent())));
    } else {
        QCOMPARE(answer->error(), QNetworkReply::NoError);
        QCOMPARE(answer->readAll().size(), recipe.bodyLimit);
    }
    delete answer;
}

void HttpRequestTest::boundHoldsWhileTheReaderIsHeld_data()
{
    QTest::addColumn<bool>("post");
    QTest::newRow("get") << false;
    QTest::newRow("post") << true;
}

// The reply lives on a thread of its own, which is held for two seconds once the body
// has begun, while the server (on this thread) sends without end: what the network may
// take in meanwhile is bounded by the recipe, not by the reader's pace.
void HttpRequestTest::boundHoldsWhileTheReaderIsHeld()
{
    QFETCH(bool, post);
    TestServer server;
    server.route("/token", TestReply::ok().endless());
    const HttpRequest::Recipe recipe{0, HttpRequest::Redirects::NoLessSafe,
                                     HttpRequest::kReplyLimit};
    QThread reader;
    reader.start();
    QObject context;
    context.moveToThread(&reader);
    QNetworkAccessManager* network = nullptr;
    std::atomic_bool held = false;
    std::atomic_bool ended = false;
    QMutex lock;
    QString error;
    bool outgrew = false;
    const auto stopReader = qScopeGuard([&] {
        QMetaObject::invokeMethod(
            &context, [network] { delete network; }, Qt::BlockingQueuedConnection);
        reader.quit();
        reader.wait();
    });
    QMetaObject::invokeMethod(
        &context,
        [&] {
            network = new QNetworkAccessManager;
            const QUrl url = server.url("/token");
            QNetworkReply* reply = post ? HttpRequest::post(network, url, recipe, "code=1", {})
                                        : HttpRequest::get(network, url, recipe);
            QObject::connect(reply, &QNetworkReply::finished, reply, [&, reply] {
                const QMutexLocker locker(&lock);
                error = HttpRequest::errorText(reply);
                outgrew = HttpRequest::outgrewLimit(reply);
                ended = true;
            });
            QObject::connect(reply, &QIODevice::readyRead, reply, [&held] {
                if (!held.exchange(true))
                    QThread::msleep(2000);
            });
        },
        Qt::BlockingQueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(held, 10000);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000 && !ended) {
        QTest::qWait(50);
        QVERIFY2(server.bodyBytesSent() < recipe.bodyLimit + kTransportSlack,
                 qPrintable(QString::number(server.bodyBytesSent())));
    }
    QTRY_VERIFY_WITH_TIMEOUT(ended, 10000);
    const QMutexLocker locker(&lock);
    QVERIFY(outgrew);
    QCOMPARE(error, Loc::text("common.error.replyTooLarge"));
    QVERIFY2(server.bodyBytesSent() < recipe.bodyLimit + kTransportSlack,
             qPrintable(QString::number(server.bodyBytesSent())));
}

QTEST_GUILESS_MAIN(HttpRequestTest)
#include "tst_httprequest.moc"
