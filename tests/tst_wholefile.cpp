#include "fulldisk.h"
#include "testhelpers.h"
#include "wholefile.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using TestHelpers::readFile;

namespace {

// Hands out its bytes, then fails before its end.
class FailingSource : public QIODevice {
public:
    explicit FailingSource(qint64 before) : m_left(before) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return false; }

protected:
    qint64 readData(char* data, qint64 size) override
    {
        const qint64 count = qMin(size, m_left);
        if (count == 0)
            return -1;
        memset(data, 'x', size_t(count));
        m_left -= count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    qint64 m_left;
};

enum class Content { Bytes, Copied, FailingSource };

} // namespace

class TestWholeFile : public QObject {
    Q_OBJECT

private slots:
    void replacesWholeOrKeepsTheOld_data();
    void replacesWholeOrKeepsTheOld();
    void fullDiskKeepsTheOld_data();
    void fullDiskKeepsTheOld();
};

void TestWholeFile::replacesWholeOrKeepsTheOld_data()
{
    QTest::addColumn<Content>("content");
    QTest::addColumn<bool>("ownerOnly");
    QTest::addColumn<bool>("folderInTheWay");
    QTest::addColumn<bool>("written");
    QTest::newRow("bytes") << Content::Bytes << false << false << true;
    QTest::newRow("bytes, owner only") << Content::Bytes << true << false << true;
    QTest::newRow("bytes, folder in the way") << Content::Bytes << false << true << false;
    QTest::newRow("copied in chunks, owner only") << Content::Copied << true << false << true;
    QTest::newRow("copied, folder in the way") << Content::Copied << false << true << false;
    QTest::newRow("source fails part way") << Content::FailingSource << false << false << false;
}

void TestWholeFile::replacesWholeOrKeepsTheOld()
{
    QFETCH(Content, content);
    QFETCH(bool, ownerOnly);
    QFETCH(bool, folderInTheWay);
    QFETCH(bool, written);
    QTemporaryDir folder;
    const QString path = folder.filePath("state.json");
    if (folderInTheWay)
        QVERIFY(QDir().mkpath(path));
    else
        QVERIFY(TestHelpers::writeFile(path, "old"));
    const QByteArray bytes(700 * 1024, 'n');

    WholeFile::Options options;
    if (ownerOnly)
        options.permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QString reason;
    bool ok = false;
    if (content == Content::Bytes) {
        ok = WholeFile::write(path, bytes, &reason, options);
    } else if (content == Content::Copied) {
        QBuffer source;
        source.setData(bytes);
        QVERIFY(source.open(QIODevice::ReadOnly));
        ok = WholeFile::copy(source, path, &reason, options);
    } else {
        FailingSource source(300 * 1024);
        ok = WholeFile::copy(source, path, &reason, options);
    }

    QCOMPARE(ok, written);
    QCOMPARE(reason.isEmpty(), written);
    QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"state.json"});
    if (folderInTheWay) {
        QVERIFY(QFileInfo(path).isDir());
        return;
    }
    QCOMPARE(readFile(path), written ? bytes : QByteArray("old"));
    if (ownerOnly)
        QCOMPARE(QFileInfo(path).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ReadUser | QFileDevice::WriteUser);
}

void TestWholeFile::fullDiskKeepsTheOld_data()
{
    QTest::addColumn<Content>("content");
    QTest::addColumn<int>("size");
    QTest::newRow("a few bytes") << Content::Bytes << 40;
    QTest::newRow("more than a cache holds") << Content::Bytes << 700 * 1024;
    QTest::newRow("copied") << Content::Copied << 40;
}

void TestWholeFile::fullDiskKeepsTheOld()
{
    QFETCH(Content, content);
    QFETCH(int, size);
    QTemporaryDir folder;
    FullDisk disk(folder.path());
    const QString path = folder.filePath("state.json");
    const QByteArray old = "{\"profiles\": [1, 2, 3]}";
    QVERIFY(TestHelpers::writeFile(path, old));
    const QByteArray bytes(size, 'n');

    const bool refused = disk.whileFull([&] {
        QString reason;
        bool ok = false;
        if (content == Content::Bytes) {
            ok = WholeFile::write(path, bytes, &reason);
        } else {
            QBuffer source;
            source.setData(bytes);
            ok = source.open(QIODevice::ReadOnly) && WholeFile::copy(source, path, &reason);
        }
        return !ok && !reason.isEmpty();
    });

    QVERIFY(refused);
    QCOMPARE(readFile(path), old);
    QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"state.json"});
}

QTEST_GUILESS_MAIN(TestWholeFile)
#include "tst_wholefile.moc"
