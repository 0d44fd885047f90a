#include "fieldtext.h"

#include <QTest>

class TestFieldText : public QObject {
    Q_OBJECT

private slots:
    void lineBreaksBecomeSpaces_data();
    void lineBreaksBecomeSpaces();
};

void TestFieldText::lineBreaksBecomeSpaces_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("inner blanks stay") << QStringLiteral("a  b\tc") << QStringLiteral("a  b\tc");
    QTest::newRow("trimmed") << QStringLiteral(" \tSteve \n") << QStringLiteral("Steve");
    QTest::newRow("newline") << QStringLiteral("line one\nline two")
                             << QStringLiteral("line one line two");
    QTest::newRow("CR LF as one") << QStringLiteral("line one\r\nline two")
                                  << QStringLiteral("line one line two");
    QTest::newRow("blank lines as one") << QStringLiteral("a\n\n\nb") << QStringLiteral("a b");
    QTest::newRow("vertical tab, form feed")
        << QStringLiteral("a\vb\fc") << QStringLiteral("a b c");
    QTest::newRow("next line") << QStringLiteral("a\u0085b") << QStringLiteral("a b");
    QTest::newRow("line separator") << QStringLiteral("a\u2028b") << QStringLiteral("a b");
    QTest::newRow("breaks only") << QStringLiteral("\r\n\u2028") << QStringLiteral("");
}

void TestFieldText::lineBreaksBecomeSpaces()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QCOMPARE(FieldText::oneLine(typed), kept);
}

QTEST_GUILESS_MAIN(TestFieldText)
#include "tst_fieldtext.moc"
