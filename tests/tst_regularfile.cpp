#include "fifowatchdog.h"
#include "regularfile.h"
#include "temphome.h"
#include "testhelpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

using Kind = RegularFile::Failure::Kind;

constexpr qint64 kLimit = 1024;

bool makeSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (fd < 0 || size_t(name.size()) >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}

// Puts the kind of thing the row names at path.
bool make(const QString& kind, const QString& path, const QString& folder)
{
    const QString regular = folder + QStringLiteral("/regular.json");
    if (!TestHelpers::writeFile(regular, R"({"a": 1})"))
        return false;
    if (kind == QLatin1String("regular"))
        return TestHelpers::writeFile(path, R"({"a": 1})");
    if (kind == QLatin1String("empty"))
        return TestHelpers::writeFile(path, {});
    if (kind == QLatin1String("at the limit"))
        return TestHelpers::writeFile(path, QByteArray(kLimit, ' '));
    if (kind == QLatin1String("too large"))
        return TestHelpers::writeFile(path, QByteArray(kLimit + 1, ' '));
    if (kind == QLatin1String("link to regular"))
        return QFile::link(regular, path);
    if (kind == QLatin1String("link to /dev/zero"))
        return QFile::link(QStringLiteral("/dev/zero"), path);
    if (kind == QLatin1String("link loop"))
        return QFile::link(path + QStringLiteral(".other"), path) &&
               QFile::link(path, path + QStringLiteral(".other"));
    if (kind == QLatin1String("fifo"))
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (kind == QLatin1String("socket"))
        return makeSocket(path);
    if (kind == QLatin1String("folder"))
        return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0;
    return kind == QLatin1String("missing");
}

} // namespace

class TestRegularFile : public QObject {
    Q_OBJECT

private slots:
    void readsOnlyBoundedRegularFiles_data();
    void readsOnlyBoundedRegularFiles();
};

void TestRegularFile::readsOnlyBoundedRegularFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Kind>("failure");
    const QByteArray json = R"({"a": 1})";
    QTest::newRow("regular") << "regular" << true << json << Kind::SystemError;
    QTest::newRow("link to regular") << "link to regular" << true << json << Kind::SystemError;
    QTest::newRow("empty") << "empty" << true << QByteArray() << Kind::SystemError;
    QTest::newRow("at the limit") << "at the limit" << true << QByteArray(kLimit, ' ')
                                  << Kind::SystemError;
    QTest::newRow("too large") << "too large" << false << QByteArray() << Kind::TooLarge;
    QTest::newRow("fifo") << "fifo" << false << QByteArray() << Kind::NotRegularFile;
    QTest::newRow("socket") << "socket" << false << QByteArray() << Kind::SystemError;
    QTest::newRow("link to /dev/zero")
        << "link to /dev/zero" << false << QByteArray() << Kind::NotRegularFile;
    QTest::newRow("folder") << "folder" << false << QByteArray() << Kind::NotRegularFile;
    QTest::newRow("link loop") << "link loop" << false << QByteArray() << Kind::SystemError;
    QTest::newRow("missing") << "missing" << false << QByteArray() << Kind::Missing;
}

void TestRegularFile::readsOnlyBoundedRegularFiles()
{
    QFETCH(QString, kind);
    QFETCH(bool, readable);
    QFETCH(QByteArray, content);
    QFETCH(Kind, failure);
    TempHome home;
    const QString path = home.path() + QStringLiteral("/file.json");
    QVERIFY(make(kind, path, home.path()));

    const FifoWatchdog watchdog(path);
    RegularFile::Failure told{Kind::NotRegularFile, -1};
    const std::optional<QByteArray> read = RegularFile::read(path, kLimit, &told);
    const QJsonObject object = RegularFile::readObject(path, kLimit);
    QCOMPARE(watchdog.rescues(), 0);

    QCOMPARE(read.has_value(), readable);
    if (readable) {
        QCOMPARE(*read, content);
        QCOMPARE(told.code, -1);
        QCOMPARE(object.value("a").toInt(), content == R"({"a": 1})" ? 1 : 0);
        return;
    }
    QVERIFY(object.isEmpty());
    QCOMPARE(told.kind, failure);
    // Only the system's refusals carry its error number.
    QCOMPARE(told.code != 0, failure == Kind::SystemError || failure == Kind::Missing);
}

QTEST_GUILESS_MAIN(TestRegularFile)
#include "tst_regularfile.moc"
