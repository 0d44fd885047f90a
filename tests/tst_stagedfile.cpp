#include "stagedfile.h"
#include "testhelpers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using TestHelpers::readFile;

class TestStagedFile : public QObject {
    Q_OBJECT

private slots:
    void takesItsNameWholeOrLeavesNothing_data();
    void takesItsNameWholeOrLeavesNothing();
    void cleanup() { StagedFile::useHiddenNamesForTesting(false); }
};

void TestStagedFile::takesItsNameWholeOrLeavesNothing_data()
{
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<bool>("nameTaken");
    QTest::addColumn<bool>("publish");
    QTest::newRow("unnamed, new name") << false << false << true;
    QTest::newRow("unnamed, replaces") << false << true << true;
    QTest::newRow("unnamed, discarded") << false << true << false;
    QTest::newRow("hidden, new name") << true << false << true;
    QTest::newRow("hidden, replaces") << true << true << true;
    QTest::newRow("hidden, discarded") << true << true << false;
}

void TestStagedFile::takesItsNameWholeOrLeavesNothing()
{
    QFETCH(bool, hidden);
    QFETCH(bool, nameTaken);
    QFETCH(bool, publish);
    StagedFile::useHiddenNamesForTesting(hidden);
    QTemporaryDir folder;
    const QString path = folder.filePath("file.bin");
    if (nameTaken)
        QVERIFY(TestHelpers::writeFile(path, "old"));

    {
        StagedFile file;
        QVERIFY(file.open(path));
        QVERIFY(file.write("new "));
        QVERIFY(file.write("bytes"));
        // Nothing shows under the name while the file is written.
        QCOMPARE(readFile(path), nameTaken ? QByteArray("old") : QByteArray());
        QVERIFY(StagedFile::flushTogether({&file}));
        if (publish)
            QVERIFY(file.publish());
    }

    const QStringList left =
        QDir(folder.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(left, nameTaken || publish ? QStringList{"file.bin"} : QStringList{});
    QCOMPARE(readFile(path),
             publish ? QByteArray("new bytes") : (nameTaken ? QByteArray("old") : QByteArray()));
}

QTEST_GUILESS_MAIN(TestStagedFile)
#include "tst_stagedfile.moc"
