#include "fifowatchdog.h"
#include "localization.h"
#include "systempath.h"
#include "temphome.h"
#include "testhelpers.h"
#include "ziparchive.h"
#include "zipwriter.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <memory>

#include <sys/stat.h>
#include <zip.h>

using TestHelpers::readFile;
using TestHelpers::writeFile;

class TestZipArchive : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_home;

    // A fresh path per test function, so no test sees another's files.
    QString pathFor(const QString& name) const
    {
        const QString dir =
            m_home->path() + QLatin1Char('/') + QString::fromLatin1(QTest::currentTestFunction());
        QDir().mkpath(dir);
        return dir + QLatin1Char('/') + name;
    }

    static QByteArray randomBytes(qsizetype size)
    {
        QByteArray data(size, Qt::Uninitialized);
        QRandomGenerator generator(42);
        generator.fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
        return data;
    }

    // Whether unzip tests every entry of the archive as sound.
    static bool unzipAccepts(const QString& zipPath)
    {
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"), {QStringLiteral("-tqq"), zipPath});
        return unzip.waitForFinished(60000) && unzip.exitStatus() == QProcess::NormalExit &&
               unzip.exitCode() == 0;
    }

    static QStringList namesOf(const ZipArchive& archive)
    {
        QStringList names;
        for (const ZipEntryInfo& entry : archive.entries())
            names.append(entry.name);
        return names;
    }

    static const ZipEntryInfo& entryNamed(const ZipArchive& archive, const QString& name)
    {
        static const ZipEntryInfo missing;
        const qint64 index = archive.indexOf(name);
        return index < 0 ? missing : archive.entries().at(index);
    }

private slots:
    void initTestCase()
    {
        m_home = std::make_unique<TempHome>();
        QVERIFY(
            m_home->writeFile(QStringLiteral("Hollowmere/settings.json"), R"({"language":"en"})"));
        QVERIFY(Localization::instance()->load());
    }

    void namesRoundTripExactly()
    {
        const QString source = pathFor(QStringLiteral("config.txt"));
        QVERIFY(writeFile(source, "option=1\n"));
        const QString zipPath = pathFor(QStringLiteral("names.zip"));
        ZipArchive writer;
        QString error;
        QVERIFY2(writer.create(zipPath, &error), qPrintable(error));
        QVERIFY2(writer.addData(QStringLiteral(".hidden"), "h", &error), qPrintable(error));
        QVERIFY2(writer.addFile(QStringLiteral(".config/x"), source, &error), qPrintable(error));
        QVERIFY2(writer.addDirectory(QStringLiteral("dir/.git"), &error), qPrintable(error));
        QVERIFY(writer.addData(QStringLiteral("dir/.git/y"), "y", &error));
        QVERIFY(writer.addData(QStringLiteral("Сборка 2/мир.dat"), "w", &error));
        QVERIFY(writer.addData(QStringLiteral("back\\slash"), "b", &error));
        QVERIFY(writer.addData(QStringLiteral("../up"), "u", &error));
        QVERIFY(!writer.addData(QStringLiteral(".hidden"), "again", &error));
        QVERIFY(error.contains(QStringLiteral(".hidden")));
        QVERIFY(!writer.addData(QString::fromLatin1("zero\0name", 9), "z", &error));
        QVERIFY2(writer.close(&error), qPrintable(error));

        ZipArchive reader;
        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        const QStringList expected = {".hidden",          ".config/x",   "dir/.git/", "dir/.git/y",
                                      "Сборка 2/мир.dat", "back\\slash", "../up"};
        QCOMPARE(namesOf(reader), expected);
        QCOMPARE(reader.entries().at(4).rawName, QStringLiteral("Сборка 2/мир.dat").toUtf8());
        QCOMPARE(reader.readEntry(reader.indexOf(QStringLiteral(".config/x")), &error),
                 QByteArray("option=1\n"));
        QCOMPARE(reader.readEntry(reader.indexOf(QStringLiteral("dir/.git/y"))), QByteArray("y"));
        QVERIFY(reader.entries().at(2).isDirectory);
        QVERIFY(!reader.entries().at(3).isDirectory);
        QCOMPARE(reader.indexOf(QStringLiteral("missing")), -1);
    }

    void fileSystemBytesAreStoredAsTheyAre_data()
    {
        QTest::addColumn<QByteArray>("name");
        // Read strictly, a name without the UTF-8 flag is code page 437: only ASCII and
        // flagged names come back as stored.
        QTest::addColumn<bool>("keptWhenReadStrictly");
        QTest::newRow("ascii") << QByteArray("saves/level.dat") << true;
        QTest::newRow("utf-8") << QStringLiteral("Сборка 2/мир.dat").toUtf8() << true;
        QTest::newRow("cp1251") << QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2.schem") << false;
        QTest::newRow("cp866 folder") << QByteArray("\x8C\xA8\xE0/level.dat") << false;
        QTest::newRow("stray byte") << QByteArray("saves/r.0.\xFF.mca") << false;
    }

    // A name that is not UTF-8 is written without the UTF-8 flag, so that readers take it
    // as the bytes it is, and read back as exactly those bytes.
    void fileSystemBytesAreStoredAsTheyAre()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, keptWhenReadStrictly);
        const QString zipPath = pathFor(QStringLiteral("bytes.zip"));
        ZipArchive writer;
        QVERIFY(writer.create(zipPath));
        QVERIFY(writer.addData(SystemPath::decode(name), "data"));
        QVERIFY(writer.close());
        QVERIFY(unzipAccepts(zipPath));

        ZipArchive reader;
        QVERIFY(reader.open(zipPath));
        QCOMPARE(reader.entries().at(0).rawName, name);
        QCOMPARE(reader.readEntry(0), QByteArray("data"));
        zip_t* archive = zip_open(QFile::encodeName(zipPath).constData(), ZIP_RDONLY, nullptr);
        QVERIFY(archive);
        const QByteArray strict(zip_get_name(archive, 0, ZIP_FL_ENC_STRICT));
        zip_discard(archive);
        QCOMPARE(strict == name, keptWhenReadStrictly);
    }

    void manyEntriesRoundTrip()
    {
        constexpr int count = 70000;
        const QString zipPath = pathFor(QStringLiteral("many.zip"));
        ZipArchive writer;
        QString error;
        QVERIFY(writer.create(zipPath, &error));
        ZipEntryOptions stored;
        stored.compression = ZipCompression::Store;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("d%1/f%2").arg(i / 1000).arg(i);
            if (!writer.addData(name, QByteArray::number(i), &error, stored))
                QFAIL(qPrintable(error));
        }
        QVERIFY2(writer.close(&error), qPrintable(error));

        ZipArchive reader;
        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        QCOMPARE(reader.entryCount(), count);
        for (int i : {0, 1, 65534, 65535, 65536, count - 1}) {
            const QString name = QStringLiteral("d%1/f%2").arg(i / 1000).arg(i);
            QCOMPARE(reader.entries().at(i).name, name);
            QCOMPARE(reader.indexOf(name), i);
            QCOMPARE(reader.readEntry(i, &error), QByteArray::number(i));
        }
        QVERIFY(unzipAccepts(zipPath));
    }

    // Entries are prepared on several threads and written out in order: small and large,
    // stored and deflated, data that does not compress, empty entries, folders and links
    // all come back byte for byte, and unzip finds the archive sound.
    void parallelWritingReadsBackExactly()
    {
        const QString zipPath = pathFor(QStringLiteral("parallel.zip"));
        ZipArchive writer;
        QString error;
        QVERIFY(writer.create(zipPath, &error));
        ZipEntryOptions store;
        store.compression = ZipCompression::Store;
        QList<QPair<QString, QByteArray>> expected;
        const auto add = [&](const QString& name, const QByteArray& data, bool fromFile,
                             const ZipEntryOptions& options = {}) {
            const QString source = pathFor(QStringLiteral("source/") + name);
            const bool added =
                fromFile ? writeFile(source, data) && writer.addFile(name, source, &error, options)
                         : writer.addData(name, data, &error, options);
            expected.append({name, data});
            return added;
        };
        for (int i = 0; i < 300; ++i) {
            const QByteArray data =
                i % 3 == 0 ? randomBytes(i * 37) : QByteArray(i * 101, char('a' + i % 26));
            QVERIFY2(add(QStringLiteral("small/%1.txt").arg(i), data, i % 2,
                         i % 5 == 0 ? store : ZipEntryOptions()),
                     qPrintable(error));
        }
        QByteArray text;
        for (int line = 0; text.size() < 5 * 1024 * 1024; ++line)
            text += "line " + QByteArray::number(line) + " of a long log\n";
        const QByteArray noise = randomBytes(3 * 1024 * 1024 + 5);
        QVERIFY2(add(QStringLiteral("big/text.log"), text, true), qPrintable(error));
        QVERIFY2(add(QStringLiteral("big/noise.bin"), noise, true), qPrintable(error));
        QVERIFY2(add(QStringLiteral("big/stored.bin"), noise, true, store), qPrintable(error));
        QVERIFY2(add(QStringLiteral("big/data.log"), text, false), qPrintable(error));
        QVERIFY(writer.addDirectory(QStringLiteral("folder"), &error));
        QVERIFY(writer.addSymlink(QStringLiteral("link"), QStringLiteral("big/text.log"), &error));
        QVERIFY2(writer.close(&error), qPrintable(error));

        ZipArchive reader;
        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        QCOMPARE(reader.entryCount(), expected.size() + 2);
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const ZipEntryInfo& entry = reader.entries().at(i);
            QCOMPARE(entry.name, expected.at(i).first);
            QVERIFY2(reader.readEntry(i, &error) == expected.at(i).second, qPrintable(entry.name));
            // Deflating what does not get smaller is skipped for entries read whole.
            QVERIFY(entry.compressedSize <= entry.size + (entry.size > 1024 * 1024 ? 4096 : 0));
        }
        QVERIFY(entryNamed(reader, "big/text.log").compressedSize < quint64(text.size() / 4));
        QCOMPARE(entryNamed(reader, "big/stored.bin").compressedSize, quint64(noise.size()));
        QVERIFY(entryNamed(reader, "folder/").isDirectory);
        QCOMPARE(reader.readEntry(reader.indexOf(QStringLiteral("link"))),
                 QByteArray("big/text.log"));
        QVERIFY(unzipAccepts(zipPath));
    }

    void unsafeNamesReportedAsStored()
    {
        ZipWriter raw;
        raw.addFile("../evil", "e");
        raw.addFile("/abs/path", "a");
        raw.addFile("dir\\win.txt", "w");
        raw.addFile("a/../../b", "b");
        raw.addFile("dup", "first");
        raw.addFile("dup", "second");
        raw.addEntry({QByteArray("\x81") + "ber", "cp437", 0, false});
        const QString zipPath = pathFor(QStringLiteral("unsafe.zip"));
        QVERIFY(raw.write(zipPath));

        ZipArchive reader;
        QString error;
        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        const QStringList expected = {"../evil", "/abs/path", "dir\\win.txt", "a/../../b",
                                      "dup",     "dup",       "über"};
        QCOMPARE(namesOf(reader), expected);
        QCOMPARE(reader.entries().at(6).rawName, QByteArray("\x81") + "ber");
        QCOMPARE(reader.readEntry(0), QByteArray("e"));
        QCOMPARE(reader.readEntry(reader.indexOf(QStringLiteral("dup"))), QByteArray("first"));
        QCOMPARE(reader.readEntry(5), QByteArray("second"));
    }

    void symlinksAndPermissions()
    {
        ZipWriter raw;
        raw.addSymlink("link", "/etc/passwd");
        raw.addFile("plain", "p", 0640);
        raw.addEntry({"dos.txt", "d", 0, true});
        const QString rawPath = pathFor(QStringLiteral("raw.zip"));
        QVERIFY(raw.write(rawPath));
        ZipArchive reader;
        QString error;
        QVERIFY2(reader.open(rawPath, &error), qPrintable(error));
        QVERIFY(reader.entries().at(0).isSymlink);
        QCOMPARE(reader.readEntry(0), QByteArray("/etc/passwd"));
        QVERIFY(!reader.entries().at(1).isSymlink);
        QCOMPARE(reader.entries().at(1).unixPermissions(), 0640u);
        QVERIFY(!reader.entries().at(2).hasUnixPermissions());
        QVERIFY(reader.entries().at(2).permissions() == QFileDevice::Permissions());

        const QString executable = pathFor(QStringLiteral("bin/java"));
        QVERIFY(writeFile(executable, "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(executable, QFileDevice::Permissions(0x7555)));
        const QString zipPath = pathFor(QStringLiteral("modes.zip"));
        ZipArchive writer;
        QVERIFY(writer.create(zipPath, &error));
        QVERIFY(writer.addFile(QStringLiteral("bin/java"), executable, &error));
        ZipEntryOptions ownerOnly;
        ownerOnly.permissions = 0700;
        QVERIFY(writer.addFile(QStringLiteral("bin/private"), executable, &error, ownerOnly));
        QVERIFY(writer.addData(QStringLiteral("data.txt"), "d", &error));
        QVERIFY(writer.addDirectory(QStringLiteral("bin/"), &error));
        QVERIFY(writer.addSymlink(QStringLiteral("current"), QStringLiteral("bin/java"), &error));
        QVERIFY2(writer.close(&error), qPrintable(error));

        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        QCOMPARE(entryNamed(reader, "bin/java").unixPermissions(), 0755u);
        QVERIFY(entryNamed(reader, "bin/java").permissions().testFlag(QFileDevice::ExeOwner));
        QVERIFY(entryNamed(reader, "bin/java").permissions().testFlag(QFileDevice::ExeOther));
        QCOMPARE(entryNamed(reader, "bin/private").unixPermissions(), 0700u);
        QCOMPARE(entryNamed(reader, "data.txt").unixPermissions(), 0644u);
        QCOMPARE(entryNamed(reader, "bin/").unixMode, 040755u);
        const ZipEntryInfo& link = entryNamed(reader, "current");
        QVERIFY(link.isSymlink);
        QVERIFY(!entryNamed(reader, "bin/java").isSymlink);
        QCOMPARE(reader.readEntry(link.index), QByteArray("bin/java"));
    }

    void brokenArchivesFailCleanly()
    {
        const QString good = pathFor(QStringLiteral("good.zip"));
        ZipArchive writer;
        QString error;
        QVERIFY(writer.create(good, &error));
        QVERIFY(writer.addData(QStringLiteral("a.txt"), randomBytes(64 * 1024), &error));
        QVERIFY(writer.addData(QStringLiteral("b.txt"), QByteArray(64 * 1024, 'b'), &error));
        QVERIFY(writer.close(&error));
        const QByteArray bytes = readFile(good);

        const QString truncated = pathFor(QStringLiteral("truncated.zip"));
        QVERIFY(writeFile(truncated, bytes.left(bytes.size() / 2)));
        ZipArchive reader;
        error.clear();
        QVERIFY(!reader.open(truncated, &error));
        QVERIFY(!reader.isOpen());
        QVERIFY(error.contains(truncated));
        QVERIFY(reader.entries().isEmpty());

        const QString garbage = pathFor(QStringLiteral("garbage.zip"));
        QVERIFY(writeFile(garbage, "this is not a zip archive at all"));
        QVERIFY(!reader.open(garbage, &error));
        QVERIFY(!reader.open(pathFor(QStringLiteral("missing.zip")), &error));
        QVERIFY(error.contains(QStringLiteral("missing.zip")));

        // Damaged data inside an intact directory: the entry read fails, the others work.
        ZipWriter raw;
        raw.addFile("ok", "fine");
        raw.addFile("bad", QByteArray(1000, 'x'));
        QByteArray damaged = raw.toByteArray();
        const qsizetype dataAt = damaged.indexOf(QByteArray(1000, 'x'));
        damaged[dataAt + 500] = 'y';
        const QString corrupt = pathFor(QStringLiteral("corrupt.zip"));
        QVERIFY(writeFile(corrupt, damaged));
        QVERIFY2(reader.open(corrupt, &error), qPrintable(error));
        error.clear();
        QVERIFY(reader.readEntry(1, &error).isEmpty());
        QVERIFY(error.contains(QStringLiteral("bad")));
        QVERIFY(!reader.extractEntry(1, pathFor(QStringLiteral("bad.out")), &error));
        QVERIFY(!QFile::exists(pathFor(QStringLiteral("bad.out"))));
        QCOMPARE(reader.readEntry(0, &error), QByteArray("fine"));
        QVERIFY(reader.readEntry(7, &error).isEmpty());

        // Damaged deflated data.
        QByteArray deflated = bytes;
        deflated[200] = char(deflated[200] ^ 0x55);
        deflated[300] = char(deflated[300] ^ 0x55);
        const QString corruptDeflated = pathFor(QStringLiteral("corrupt-deflated.zip"));
        QVERIFY(writeFile(corruptDeflated, deflated));
        QVERIFY2(reader.open(corruptDeflated, &error), qPrintable(error));
        error.clear();
        QVERIFY(reader.readEntry(0, &error).isEmpty());
        QVERIFY(!error.isEmpty());
    }

    // Jars are also opened inside the game folder, where anything may stand at a path.
    void opensOnlyRegularFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("opens");
        QTest::newRow("link to an archive") << "link" << true;
        QTest::newRow("fifo") << "fifo" << false;
        QTest::newRow("folder") << "folder" << false;
        QTest::newRow("link to /dev/zero") << "device" << false;
    }

    void opensOnlyRegularFiles()
    {
        QFETCH(QString, kind);
        QFETCH(bool, opens);
        const QString archive = pathFor(QStringLiteral("real.zip"));
        ZipWriter writer;
        writer.addFile("lib.so", "native");
        QVERIFY(writeFile(archive, writer.toByteArray()));
        const QString path = pathFor(kind + QStringLiteral(".jar"));
        QFile::remove(path);
        QDir(path).removeRecursively();
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(archive, path));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));

        const FifoWatchdog watchdog(path);
        ZipArchive reader;
        QString error;
        QCOMPARE(reader.open(path, &error), opens);
        QCOMPARE(watchdog.rescues(), 0);
        if (opens) {
            QCOMPARE(reader.readEntry(reader.indexOf("lib.so"), &error), QByteArray("native"));
            return;
        }
        QVERIFY(!reader.isOpen());
        QVERIFY2(error.contains(TestHelpers::native(path)) && error.contains("not a regular file"),
                 qPrintable(error));
    }

    void streamingExtraction()
    {
        const QByteArray content = randomBytes(6 * 1024 * 1024 + 123);
        const QString source = pathFor(QStringLiteral("big.bin"));
        QVERIFY(writeFile(source, content));
        const QString zipPath = pathFor(QStringLiteral("big.zip"));
        ZipArchive writer;
        QString error;
        QVERIFY(writer.create(zipPath, &error));
        QVERIFY(writer.addFile(QStringLiteral("big.bin"), source, &error));
        QVERIFY2(writer.close(&error), qPrintable(error));

        ZipArchive reader;
        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        QCOMPARE(reader.entries().at(0).size, quint64(content.size()));
        QCOMPARE(reader.entries().at(0).crc, ZipWriter::crc32(content));
        const QString target = pathFor(QStringLiteral("out/big.bin"));
        QDir().mkpath(QFileInfo(target).absolutePath());
        QVERIFY2(reader.extractEntry(0, target, &error), qPrintable(error));
        QVERIFY(readFile(target) == content);

        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QVERIFY2(reader.extractEntry(0, &buffer, &error), qPrintable(error));
        QVERIFY(buffer.data() == content);
        QVERIFY(reader.readEntry(0, &error, 1024).isEmpty());
        QVERIFY(!error.isEmpty());

        // Cancelled after the first chunk: nothing is put in place.
        int checks = 0;
        const QString cancelled = pathFor(QStringLiteral("out/cancelled.bin"));
        QVERIFY(!reader.extractEntry(0, cancelled, &error, [&checks] { return ++checks > 1; }));
        QVERIFY(reader.wasCancelled());
        QVERIFY(!QFile::exists(cancelled));
        // A folder in the way, or a missing folder, fail without leaving anything behind.
        const QString folder = pathFor(QStringLiteral("out/folder"));
        QVERIFY(QDir().mkpath(folder));
        error.clear();
        QVERIFY(!reader.extractEntry(0, folder, &error));
        QVERIFY(error.contains(folder));
        QVERIFY(!reader.extractEntry(0, pathFor(QStringLiteral("none/x")), &error));
        QCOMPARE(QDir(QFileInfo(target).absolutePath()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"big.bin"});

        // A link in the target's place is replaced, never written through.
        const QString outside = pathFor(QStringLiteral("outside.txt"));
        QVERIFY(writeFile(outside, "untouched"));
        const QString linked = pathFor(QStringLiteral("out/linked.bin"));
        QVERIFY(QFile::link(outside, linked));
        QVERIFY2(reader.extractEntry(0, linked, &error), qPrintable(error));
        QVERIFY(!QFileInfo(linked).isSymLink());
        QCOMPARE(readFile(outside), QByteArray("untouched"));
        QCOMPARE(QFileInfo(linked).size(), content.size());
    }

    void storedOrDeflated()
    {
        const QByteArray zeros(1024 * 1024, '\0');
        const QString zipPath = pathFor(QStringLiteral("methods.zip"));
        ZipArchive writer;
        QString error;
        QVERIFY(writer.create(zipPath, &error));
        ZipEntryOptions store;
        store.compression = ZipCompression::Store;
        ZipEntryOptions fast;
        fast.level = 1;
        QVERIFY(writer.addData(QStringLiteral("stored"), zeros, &error, store));
        QVERIFY(writer.addData(QStringLiteral("deflated"), zeros, &error));
        QVERIFY(writer.addData(QStringLiteral("fast"), zeros, &error, fast));
        ZipEntryOptions dated;
        dated.modified = QDateTime(QDate(2021, 6, 15), QTime(10, 30, 0));
        QVERIFY(writer.addData(QStringLiteral("dated"), "d", &error, dated));
        QVERIFY2(writer.close(&error), qPrintable(error));

        ZipArchive reader;
        QVERIFY(reader.open(zipPath, &error));
        QCOMPARE(reader.entries().at(0).compressedSize, quint64(zeros.size()));
        QVERIFY(reader.entries().at(1).compressedSize < quint64(zeros.size() / 100));
        QVERIFY(reader.entries().at(2).compressedSize < quint64(zeros.size() / 100));
        for (qint64 i = 0; i < 3; ++i)
            QVERIFY(reader.readEntry(i, &error) == zeros);
        QVERIFY(qAbs(reader.entries().at(3).modified.secsTo(dated.modified)) <= 2);
    }

    void writeFailuresLeaveNoArchive()
    {
        QString error;
        ZipArchive writer;
        QVERIFY(!writer.create(pathFor(QStringLiteral("no/such/dir/a.zip")), &error));
        QVERIFY(error.contains(QStringLiteral("a.zip")));

        // An existing archive stays as it is until a new one is complete.
        const QString zipPath = pathFor(QStringLiteral("target.zip"));
        QVERIFY(writeFile(zipPath, "previous"));
        const QString source = pathFor(QStringLiteral("vanishing.txt"));
        QVERIFY(writeFile(source, "soon gone"));
        QVERIFY(writer.create(zipPath, &error));
        QVERIFY(
            !writer.addFile(QStringLiteral("missing"), pathFor(QStringLiteral("nope")), &error));
        QVERIFY(error.contains(QStringLiteral("nope")));
        QVERIFY(!writer.addFile(QStringLiteral("dir"), m_home->path(), &error));
        QVERIFY(writer.addData(QStringLiteral("kept"), "k", &error));
        QVERIFY(writer.addFile(QStringLiteral("vanishing.txt"), source, &error));
        QVERIFY(QFile::remove(source));
        error.clear();
        QVERIFY(!writer.close(&error));
        QVERIFY(!writer.isOpen());
        QVERIFY2(error.contains(source), qPrintable(error));
        QCOMPARE(readFile(zipPath), QByteArray("previous"));

        // A file that shrinks after it was added fails too, rather than mismatching sizes.
        QVERIFY(writeFile(source, "a longer text than later"));
        QVERIFY(writer.create(zipPath, &error));
        QVERIFY(writer.addFile(QStringLiteral("shrinking.txt"), source, &error));
        QVERIFY(writeFile(source, "short"));
        QVERIFY(!writer.close(&error));
        QVERIFY2(error.contains(source), qPrintable(error));
        QCOMPARE(readFile(zipPath), QByteArray("previous"));

        QVERIFY(writer.create(zipPath, &error));
        QVERIFY(writer.addData(QStringLiteral("x"), "x", &error));
        writer.discard();
        QCOMPARE(readFile(zipPath), QByteArray("previous"));
        QVERIFY(!writer.addData(QStringLiteral("y"), "y", &error));
        QCOMPARE(QDir(QFileInfo(zipPath).absolutePath()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"target.zip", "vanishing.txt"}));

        // No entries still gives a valid archive.
        QVERIFY(writer.create(zipPath, &error));
        QVERIFY2(writer.close(&error), qPrintable(error));
        ZipArchive reader;
        QVERIFY2(reader.open(zipPath, &error), qPrintable(error));
        QCOMPARE(reader.entryCount(), 0);
    }

    // A file is read when the archive is written out; a FIFO put in its place meanwhile
    // fails the archive at once instead of waiting for a writer.
    void sourceSwappedForAFifoIsRefused()
    {
        const QString zipPath = pathFor(QStringLiteral("target.zip"));
        const QString source = pathFor(QStringLiteral("options.txt"));
        QVERIFY(writeFile(source, "regular when added"));
        ZipArchive writer;
        QString error;
        QVERIFY(writer.create(zipPath, &error));
        QVERIFY(writer.addFile(QStringLiteral("options.txt"), source, &error));
        QVERIFY(QFile::remove(source));
        QCOMPARE(::mkfifo(QFile::encodeName(source).constData(), 0600), 0);
        const FifoWatchdog watchdog(source);
        QVERIFY(!writer.close(&error));
        QCOMPARE(watchdog.rescues(), 0);
        QVERIFY2(error.contains(TestHelpers::native(source)) &&
                     error.contains(Loc::text("storage.error.notRegularFile")),
                 qPrintable(error));
        QVERIFY(!QFileInfo::exists(zipPath));
    }

    void progressAndCancel()
    {
        const QString source = pathFor(QStringLiteral("payload.bin"));
        QVERIFY(writeFile(source, randomBytes(2 * 1024 * 1024)));
        const QString zipPath = pathFor(QStringLiteral("progress.zip"));
        QString error;
        QList<double> fractions;
        {
            ZipArchive writer;
            QVERIFY(writer.create(zipPath, &error));
            for (int i = 0; i < 4; ++i)
                QVERIFY(writer.addFile(QStringLiteral("f%1").arg(i), source, &error));
            writer.setProgressCallback([&fractions](double f) { fractions.append(f); });
            QVERIFY2(writer.close(&error), qPrintable(error));
        }
        QVERIFY(fractions.size() > 4);
        QVERIFY(std::is_sorted(fractions.cbegin(), fractions.cend()));
        QCOMPARE(fractions.last(), 1.0);

        ZipArchive writer;
        QVERIFY(writer.create(zipPath, &error));
        for (int i = 0; i < 4; ++i)
            QVERIFY(writer.addFile(QStringLiteral("f%1").arg(i), source, &error));
        double last = 0;
        writer.setProgressCallback([&last](double f) { last = f; });
        writer.setCancelCheck([&last] { return last > 0.3; });
        error.clear();
        QVERIFY(!writer.close(&error));
        QVERIFY(writer.wasCancelled());
        QVERIFY(last < 0.9);
        QCOMPARE(error, Loc::text("storage.error.zipCancelled"));
        QVERIFY(ZipArchive().open(zipPath));
        QCOMPARE(QDir(QFileInfo(zipPath).absolutePath()).entryList(QDir::Files | QDir::Hidden),
                 QStringList({"payload.bin", "progress.zip"}));
    }
};

QTEST_GUILESS_MAIN(TestZipArchive)
#include "tst_ziparchive.moc"
