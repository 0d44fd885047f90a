#include "systempath.h"

#include <QTest>

class TestSystemPath : public QObject {
    Q_OBJECT

private slots:
    void namesLeadBackToTheirBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("utf-8") << QStringLiteral("Мир/𐂀.dat").toUtf8()
                               << QStringLiteral("Мир/𐂀.dat");
        QTest::newRow("cp1251") << QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2.schem")
                                << QStringLiteral("\\xCF\\xF0\\xE8\\xE2\\xE5\\xF2.schem");
        QTest::newRow("stray byte beside utf-8")
            << QByteArray("\xFF\xD0\x9C") << QStringLiteral("\\xFFМ");
        QTest::newRow("cut sequence") << QByteArray("a\xE2\x82") << QStringLiteral("a\\xE2\\x82");
        QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << QStringLiteral("\\xC0\\xAF");
        QTest::newRow("encoded surrogate")
            << QByteArray("\xED\xB2\x80") << QStringLiteral("\\xED\\xB2\\x80");
        QTest::newRow("past U+10FFFF")
            << QByteArray("\xF4\x90\x80\x80") << QStringLiteral("\\xF4\\x90\\x80\\x80");
        // U+FEFF is a character of the name, not a byte-order mark to drop.
        QTest::newRow("mark at the start")
            << QByteArray("\xEF\xBB\xBFnotes.txt") << QStringLiteral("\uFEFFnotes.txt");
        QTest::newRow("only the mark") << QByteArray("\xEF\xBB\xBF") << QStringLiteral("\uFEFF");
        QTest::newRow("mark before a foreign byte")
            << QByteArray("\xEF\xBB\xBF\xFF") << QStringLiteral("\uFEFF\\xFF");
        QTest::newRow("mark after a foreign byte")
            << QByteArray("a\xFF\xEF\xBB\xBF.txt") << QStringLiteral("a\\xFF\uFEFF.txt");
    }

    // A character whose second half falls among the stand-ins (U+10080) stays a character.
    void namesLeadBackToTheirBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        const QString name = SystemPath::decode(bytes);
        QCOMPARE(SystemPath::encode(name), bytes);
        QCOMPARE(SystemPath::hasForeignBytes(name), !SystemPath::isUtf8(bytes));
        QCOMPARE(SystemPath::shown(name), shown);
    }
};

QTEST_GUILESS_MAIN(TestSystemPath)
#include "tst_systempath.moc"
