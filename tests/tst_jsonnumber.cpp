#include "jsonnumber.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class TestJsonNumber : public QObject {
    Q_OBJECT

private slots:
    void byteCountFitsOrReadsAsZero_data();
    void byteCountFitsOrReadsAsZero();
};

void TestJsonNumber::byteCountFitsOrReadsAsZero_data()
{
    // The value as it stands in a file, so that whole numbers are read as the parser
    // keeps them.
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<qint64>("count");
    QTest::newRow("whole") << QByteArray("1234") << qint64(1234);
    QTest::newRow("fraction") << QByteArray("12.9") << qint64(12);
    QTest::newRow("negative fraction") << QByteArray("-12.9") << qint64(-12);
    QTest::newRow("negative") << QByteArray("-1") << qint64(-1);
    QTest::newRow("past doubles' whole numbers, exact")
        << QByteArray("9007199254740993") << qint64(9007199254740993);
    QTest::newRow("largest") << QByteArray("9223372036854775807")
                             << std::numeric_limits<qint64>::max();
    QTest::newRow("2^63") << QByteArray("9223372036854775808.0") << qint64(0);
    QTest::newRow("1e300") << QByteArray("1e300") << qint64(0);
    QTest::newRow("-1e300") << QByteArray("-1e300") << qint64(0);
    QTest::newRow("text") << QByteArray("\"12\"") << qint64(0);
    QTest::newRow("true") << QByteArray("true") << qint64(0);
    QTest::newRow("null") << QByteArray("null") << qint64(0);
}

void TestJsonNumber::byteCountFitsOrReadsAsZero()
{
    QFETCH(QByteArray, json);
    QFETCH(qint64, count);
    const QJsonObject object = QJsonDocument::fromJson("{\"size\":" + json + "}").object();
    QVERIFY(object.contains("size"));
    QCOMPARE(JsonNumber::byteCount(object.value("size")), count);
    QCOMPARE(JsonNumber::byteCount(object.value("missing")), qint64(0));
}

QTEST_GUILESS_MAIN(TestJsonNumber)
#include "tst_jsonnumber.moc"
