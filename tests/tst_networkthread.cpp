#include "httprequest.h"
#include "lowdelaysockets.h"
#include "networkthread.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringList>
#include <QTest>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int niceOfThisThread()
{
    return ::getpriority(PRIO_PROCESS, id_t(::gettid()));
}

} // namespace

class NetworkThreadTest : public QObject {
    Q_OBJECT

private slots:
    void workRunsInOrderAndRunWaitsForIt()
    {
        const std::shared_ptr<NetworkThread> thread = NetworkThread::acquire();
        QStringList order;
        QThread* ranOn = nullptr;
        thread->post([&] { order.append("posted"); });
        thread->run([&] {
            ranOn = QThread::currentThread();
            // On the thread itself run() does not wait for the thread.
            thread->run([&] { order.append("nested"); });
            order.append("run");
        });
        QCOMPARE(order, QStringList({"posted", "nested", "run"}));
        QVERIFY(ranOn && ranOn != QThread::currentThread());
    }

    void theThreadStandsBehindTheInterface()
    {
        const int interfaceNice = niceOfThisThread();
        int networkNice = interfaceNice;
        NetworkThread::acquire()->run([&] { networkNice = niceOfThisThread(); });
        QVERIFY2(networkNice > interfaceNice, qPrintable(QString::number(networkNice)));
    }

    void managersAreSharedPerOwnerAndLaneAndGoWithTheirOwner()
    {
        const std::shared_ptr<NetworkThread> thread = NetworkThread::acquire();
        auto first = std::make_unique<QNetworkAccessManager>();
        QNetworkAccessManager second;
        thread->follow(first.get());
        thread->follow(&second);
        std::weak_ptr<QNetworkAccessManager> firstsOwn;
        bool shared = false;
        bool lanesApart = false;
        bool ownersApart = false;
        bool livesOnTheThread = false;
        thread->run([&] {
            const auto manager = thread->manager(first.get(), 0);
            shared = thread->manager(first.get(), 0) == manager;
            lanesApart = thread->manager(first.get(), 1) != manager;
            ownersApart = thread->manager(&second, 0) != manager;
            livesOnTheThread = manager->thread() == QThread::currentThread();
            firstsOwn = manager;
        });
        QVERIFY(shared);
        QVERIFY(lanesApart);
        QVERIFY(ownersApart);
        QVERIFY(livesOnTheThread);
        first.reset();
        thread->run([] {});
        QVERIFY(firstsOwn.expired());
    }

    // Over HTTP/2 a host's downloads share one connection: a request must not wait for
    // the acknowledgement of the one written before it.
    void connectionsOfTheManagersSendRequestsAtOnce()
    {
        TestServer server;
        server.route(QStringLiteral("/file"), TestReply::ok("body"));
        const std::shared_ptr<NetworkThread> thread = NetworkThread::acquire();
        QNetworkAccessManager owner;
        thread->follow(&owner);
        bool finished = false;
        thread->run([&] {
            QNetworkReply* reply = HttpRequest::get(thread->manager(&owner, 0).get(),
                                                    server.url(QStringLiteral("/file")), {});
            QObject::connect(reply, &QNetworkReply::finished, reply, [&finished, reply] {
                finished = true;
                reply->deleteLater();
            });
        });
        QTRY_VERIFY(finished);
        const QList<int> connections = TestHelpers::connectionsTo(server.port());
        QVERIFY(!connections.isEmpty());
        for (const int descriptor : connections)
            QVERIFY(LowDelaySockets::isLowDelay(descriptor));
    }

    void theThreadEndsWhenNothingHoldsIt()
    {
        std::shared_ptr<NetworkThread> thread = NetworkThread::acquire();
        const std::weak_ptr<NetworkThread> held = thread;
        QCOMPARE(NetworkThread::acquire(), thread);
        thread.reset();
        QVERIFY(held.expired());
        bool ran = false;
        NetworkThread::acquire()->run([&] { ran = true; });
        QVERIFY(ran);
    }
};

QTEST_GUILESS_MAIN(NetworkThreadTest)
#include "tst_networkthread.moc"
