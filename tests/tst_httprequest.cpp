#include "httprequest.h"
#include "localization.h"
#include "testserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

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

QTEST_GUILESS_MAIN(HttpRequestTest)
#include "tst_httprequest.moc"
