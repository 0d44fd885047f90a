#include "digest.h"

#include <QTest>

class DigestTest : public QObject {
    Q_OBJECT

private slots:
    void sameAsQt_data()
    {
        QTest::addColumn<QCryptographicHash::Algorithm>("algorithm");
        QTest::newRow("SHA-1") << QCryptographicHash::Sha1;
        QTest::newRow("SHA-256") << QCryptographicHash::Sha256;
        QTest::newRow("MD5, through Qt") << QCryptographicHash::Md5;
    }

    // Pieces in, a look at the result half way, more pieces, and a fresh start.
    void sameAsQt()
    {
        QFETCH(QCryptographicHash::Algorithm, algorithm);
        const QByteArray first(100000, 'a');
        const QByteArray second = "and the rest";
        Digest digest(algorithm);
        digest.addData("stale");
        digest.reset();
        digest.addData(first);
        QCOMPARE(digest.result(), QCryptographicHash::hash(first, algorithm));
        digest.addData(second);
        QCOMPARE(digest.result(), QCryptographicHash::hash(first + second, algorithm));
        digest.reset();
        QCOMPARE(digest.result(), QCryptographicHash::hash({}, algorithm));
    }
};

QTEST_GUILESS_MAIN(DigestTest)
#include "tst_digest.moc"
