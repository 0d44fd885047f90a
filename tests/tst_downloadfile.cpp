#include "downloadfile.h"
#include "downloadtarget.h"
#include "filesystemanswers.h"
#include "mountedfolders.h"
#include "testhelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const QByteArray kBytes("verified bytes");

// A file's report, as the test compares it.
QString outcomeOf(DownloadFile::Result result, const QString& reason)
{
    return result == DownloadFile::Result::Saved ? QStringLiteral("saved")
                                                 : QStringLiteral("not kept: ") + reason;
}

} // namespace

class TestDownloadFile : public QObject {
    Q_OBJECT

private slots:
    void eachFileStandsOrFallsWithItsOwnFileSystem_data();
    void eachFileStandsOrFallsWithItsOwnFileSystem();
};

void TestDownloadFile::eachFileStandsOrFallsWithItsOwnFileSystem_data()
{
    QTest::addColumn<bool>("otherFails"); // otherwise the first file system's flush fails
    QTest::newRow("the first file system fails") << false;
    QTest::newRow("the other file system fails") << true;
}

// Verified files on two file systems, flushed together: a file whose file system brought
// it to the disk takes its name, and one whose file system failed says why.
void TestDownloadFile::eachFileStandsOrFallsWithItsOwnFileSystem()
{
    QFETCH(bool, otherFails);
    QTemporaryDir root;
    const QString first = root.filePath("first");
    const QString other = root.filePath("other");
    QVERIFY(QDir().mkpath(first) && QDir().mkpath(other));
    const OwnFileSystem mounted(other);
    if (!mounted.isMounted())
        QSKIP("a second file system needs a mount, which is not allowed here");
    const QString failingFolder = otherFails ? other : first;
    const FileSystemAnswers::FailingFileSystem failing(failingFolder, EIO);
    QVERIFY(failing.isSet());

    // Two of the files share the first file system's flush.
    const QStringList paths = {first + "/one.bin", first + "/two.bin", other + "/three.bin"};
    QStringList expected;
    for (const QString& path : paths)
        expected.append(QFileInfo(path).path() == failingFolder
                            ? outcomeOf(DownloadFile::Result::CommitFailed,
                                        QString::fromLocal8Bit(std::strerror(EIO)))
                            : outcomeOf(DownloadFile::Result::Saved, {}));

    QStringList told(paths.size());
    QObject context;
    std::vector<std::unique_ptr<DownloadFile>> files;
    DownloadFile::gatherNextFlushForTesting(int(paths.size()));
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const DownloadTarget target(QUrl(), paths.at(i),
                                    TestHelpers::hex(kBytes, QCryptographicHash::Sha1));
        const auto report = [&told, i](int, DownloadFile::Result result, const QString& reason) {
            told[i] = outcomeOf(result, reason);
        };
        files.push_back(std::make_unique<DownloadFile>(target, &context, report, [] {}));
        files.back()->open(1);
        files.back()->write(kBytes);
        files.back()->close();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!told.contains(QString()), 20000 * HM_SLOWDOWN);
    QCOMPARE(told, expected);
    for (qsizetype i = 0; i < paths.size(); ++i)
        QCOMPARE(TestHelpers::readFile(paths.at(i)),
                 expected.at(i) == QLatin1String("saved") ? kBytes : QByteArray());
}

QTEST_GUILESS_MAIN(TestDownloadFile)
#include "tst_downloadfile.moc"
