#include "lowdelaysockets.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

bool isLowDelay(const QTcpSocket& socket)
{
    return LowDelaySockets::isLowDelay(int(socket.socketDescriptor()));
}

} // namespace

class LowDelaySocketsTest : public QObject {
    Q_OBJECT

private slots:
    // Connections to the port are switched once; the server's own ends and connections
    // to another port are left as they are.
    void onlyConnectionsToThePortAreSwitched()
    {
        QTcpServer chosen;
        QTcpServer other;
        QVERIFY(chosen.listen(QHostAddress::LocalHost));
        QVERIFY(other.listen(QHostAddress::LocalHost));
        std::vector<std::unique_ptr<QTcpSocket>> toChosen;
        for (int i = 0; i < 2; ++i) {
            toChosen.push_back(std::make_unique<QTcpSocket>());
            toChosen.back()->connectToHost(QHostAddress::LocalHost, chosen.serverPort());
            QVERIFY(toChosen.back()->waitForConnected(5000));
        }
        QTcpSocket toOther;
        toOther.connectToHost(QHostAddress::LocalHost, other.serverPort());
        QVERIFY(toOther.waitForConnected(5000));
        QVERIFY(chosen.waitForNewConnection(5000));
        QTcpSocket* accepted = chosen.nextPendingConnection();
        QVERIFY(accepted);

        QCOMPARE(LowDelaySockets::applyToConnectionsTo(chosen.serverPort()), 2);
        for (const auto& socket : toChosen)
            QVERIFY(isLowDelay(*socket));
        QVERIFY(!isLowDelay(toOther));
        QVERIFY(!isLowDelay(*accepted));
        QCOMPARE(LowDelaySockets::applyToConnectionsTo(chosen.serverPort()), 0);
    }
};

QTEST_GUILESS_MAIN(LowDelaySocketsTest)
#include "tst_lowdelaysockets.moc"
