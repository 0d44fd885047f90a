#include "launcherupdates.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <sys/stat.h>

#include <memory>

namespace {

const QString kRunningVersion = QStringLiteral("1.1.1");
// A few megabytes, not a multiple of any buffer size.
constexpr int kImageSize = 3 * 1024 * 1024 + 17;

// Restores an environment variable when the test ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
    }
    ~EnvGuard()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

QByteArray knownImage(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 0x2545f491u;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

QString releasesPath()
{
    return QStringLiteral("/api/v1/repos/") + RemoteAddresses::releaseRepository() + "/releases";
}

QString fileNameFor(const QString& tag)
{
    return QStringLiteral("Hollowmere-") + tag.mid(1) + "-x86_64.AppImage";
}

QString downloadPathFor(const QString& tag)
{
    return QLatin1Char('/') + RemoteAddresses::releaseRepository() + "/releases/download/" + tag +
           '/' + fileNameFor(tag);
}

int mode(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

} // namespace

Q_DECLARE_METATYPE(TestReply)

class TestLauncherUpdates : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pagesUntilAnEmptyPage();
    void emptyFeedIsReadyAndEmpty();
    void failingPageKeepsEarlierCatalog();
    void refreshIgnoresUnknownChannelAndRunningRefresh();
    void feedThatIgnoresPagesEndsInError();
    void releaseChannelFiltersAndOrders();
    void rcChannelFiltersAndOrders();
    void latestSkipsRunningVersionAndUndownloadable();
    void latestFollowsApplicationVersion();
    void feedRedirects();

    void installReplacesImageThroughLink();
    void installWithoutAppImageCreatesApplicationsFile();
    void installWithoutContentLength();
    void failedDownloadLeavesTargetAlone_data();
    void failedDownloadLeavesTargetAlone();
    void cancelLeavesTargetAlone();
    void failedReplacementLeavesTargetAlone_data();
    void failedReplacementLeavesTargetAlone();
    void installRefusals();
    void destroyingDuringDownloadCleansUp();
    void downloadRedirects();

private:
    QJsonObject release(const QString& tag, bool prerelease = false, qint64 assetSize = 0) const;
    void serveFeed(const QList<QJsonArray>& releasePages, const QList<QJsonArray>& rcPages = {});
    bool refreshAndWait(const QString& channel);
    QStringList versions(const QString& channel) const;
    void prepareInstall(const QString& tag, const TestReply& image);
    bool tempIsEmpty() const
    {
        return QDir(m_tmp).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<EnvGuard> m_tmpGuard;
    std::unique_ptr<EnvGuard> m_appImageGuard;
    std::unique_ptr<EnvGuard> m_homeGuard;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<LauncherUpdates> m_updates;
    QString m_tmp;
    QString m_target;
    QByteArray m_image;
    int m_quits = 0;
};

void TestLauncherUpdates::initTestCase()
{
    QCoreApplication::setApplicationVersion(kRunningVersion);
    m_image = knownImage(kImageSize);
}

void TestLauncherUpdates::init()
{
    m_home = std::make_unique<TempHome>();
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid() && m_work->isValid());
    // Downloads land in the system temporary folder: give each test its own
    // so a leftover folder shows.
    m_tmp = m_work->filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_tmp));
    m_tmpGuard = std::make_unique<EnvGuard>("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(m_tmp));
    m_appImageGuard = std::make_unique<EnvGuard>("APPIMAGE");
    m_homeGuard = std::make_unique<EnvGuard>("HOME");

    m_target = m_work->filePath(QStringLiteral("Hollowmere.AppImage"));
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.write("the running image");
    target.close();
    QVERIFY(target.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    qputenv("APPIMAGE", QFile::encodeName(m_target));

    m_server = std::make_unique<TestServer>();
    QVERIFY(m_server->isListening());
    RemoteAddresses::setOriginForTesting(RemoteAddresses::Service::ReleaseFeed, m_server->origin());

    m_quits = 0;
    m_updates = std::make_unique<LauncherUpdates>();
    m_updates->setQuitHandlerForTesting([this] { ++m_quits; });
}

void TestLauncherUpdates::cleanup()
{
    m_updates.reset();
    m_server.reset();
    RemoteAddresses::resetForTesting();
    m_homeGuard.reset();
    m_appImageGuard.reset();
    m_tmpGuard.reset();
    m_work.reset();
    m_home.reset();
}

QJsonObject TestLauncherUpdates::release(const QString& tag, bool prerelease,
                                         qint64 assetSize) const
{
    QJsonArray assets;
    assets.append(
        QJsonObject{{"name", "notes.txt"},
                    {"size", 12},
                    {"browser_download_url", m_server->origin() + "/elsewhere/notes.txt"}});
    if (assetSize > 0)
        assets.append(
            QJsonObject{{"name", fileNameFor(tag)},
                        {"size", assetSize},
                        {"browser_download_url", m_server->origin() + downloadPathFor(tag)}});
    return QJsonObject{{"tag_name", tag},
                       {"draft", false},
                       {"prerelease", prerelease},
                       {"published_at", "2024-03-05T10:20:30Z"},
                       {"assets", assets}};
}

void TestLauncherUpdates::serveFeed(const QList<QJsonArray>& releasePages,
                                    const QList<QJsonArray>& rcPages)
{
    m_server->route(releasesPath(), [releasePages, rcPages](const TestRequest& request) {
        const QUrlQuery query(request.query);
        const auto& pages = query.queryItemValue("pre-release") == "true" ? rcPages : releasePages;
        const int page = query.queryItemValue("page").toInt();
        const QJsonArray body =
            page >= 1 && page <= pages.size() ? pages.at(page - 1) : QJsonArray();
        return TestReply::json(QJsonDocument(body).toJson(QJsonDocument::Compact));
    });
}

bool TestLauncherUpdates::refreshAndWait(const QString& channel)
{
    m_updates->refresh(channel);
    return QTest::qWaitFor(
        [&] { return m_updates->states().value(channel).toString() != "loading"; }, 10000);
}

QStringList TestLauncherUpdates::versions(const QString& channel) const
{
    QStringList result;
    for (const QVariant& entry : m_updates->catalogs().value(channel).toList())
        result.append(entry.toMap().value("version").toString());
    return result;
}

void TestLauncherUpdates::prepareInstall(const QString& tag, const TestReply& image)
{
    serveFeed({QJsonArray{release(tag, false, m_image.size())}});
    m_server->route(downloadPathFor(tag), image);
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->states().value("release").toString(), QString("ready"));
}

void TestLauncherUpdates::pagesUntilAnEmptyPage()
{
    serveFeed({QJsonArray{release("v1.2.0", false, 10), release("v1.3.0", false, 10)},
               QJsonArray{release("v1.4.0", false, 10)}});
    QSignalSpy changed(m_updates.get(), &LauncherUpdates::catalogChanged);

    m_updates->refresh("release");
    QCOMPARE(changed.count(), 1);
    QCOMPARE(m_updates->states().value("release").toString(), QString("loading"));
    QVERIFY(
        QTest::qWaitFor([&] { return m_updates->states().value("release") != "loading"; }, 10000));

    QCOMPARE(changed.count(), 2);
    QCOMPARE(m_updates->states().value("release").toString(), QString("ready"));
    QCOMPARE(versions("release"), QStringList({"1.4.0", "1.3.0", "1.2.0"}));
    const QList<TestRequest> requests = m_server->requests(releasesPath());
    QCOMPARE(requests.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(requests.at(i).query,
                 QString("draft=false&pre-release=false&page=%1&limit=50").arg(i + 1));
}

void TestLauncherUpdates::emptyFeedIsReadyAndEmpty()
{
    serveFeed({});
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->states().value("release").toString(), QString("ready"));
    QVERIFY(m_updates->catalogs().contains("release"));
    QVERIFY(versions("release").isEmpty());
    QVERIFY(m_updates->latest().isEmpty());
    QCOMPARE(m_server->requestCount(releasesPath()), 1);
}

void TestLauncherUpdates::failingPageKeepsEarlierCatalog()
{
    serveFeed({QJsonArray{release("v1.2.0", false, 10)}});
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->latest(), QString("1.2.0"));
    const QVariantMap before = m_updates->catalogs();

    m_server->route(releasesPath(), [this](const TestRequest& request) {
        if (QUrlQuery(request.query).queryItemValue("page") == "2")
            return TestReply::status(500, "broken");
        return TestReply::json(QJsonDocument(QJsonArray{release("v1.9.0", false, 10)}).toJson());
    });
    QSignalSpy changed(m_updates.get(), &LauncherUpdates::catalogChanged);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Hollowmere release catalog: "));
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(m_updates->states().value("release").toString(), QString("error"));
    QCOMPARE(m_updates->catalogs(), before);
    QCOMPARE(m_updates->latest(), QString("1.2.0"));

    // A body that is not an array fails the same way.
    m_server->route(releasesPath(), TestReply::json(R"({"message":"rate limited"})"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Hollowmere release catalog: "));
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->states().value("release").toString(), QString("error"));
    QCOMPARE(m_updates->catalogs(), before);
}

void TestLauncherUpdates::refreshIgnoresUnknownChannelAndRunningRefresh()
{
    m_server->route(releasesPath(), TestReply::json("[]").delayed(200));
    QSignalSpy changed(m_updates.get(), &LauncherUpdates::catalogChanged);
    m_updates->refresh("dev");
    m_updates->refresh("Release");
    QCOMPARE(changed.count(), 0);
    QVERIFY(m_updates->states().isEmpty());

    m_updates->refresh("release");
    m_updates->refresh("release");
    m_updates->refresh("rc");
    QCOMPARE(changed.count(), 2);
    QVERIFY(QTest::qWaitFor([&] { return changed.count() == 4; }, 10000));
    QCOMPARE(m_server->requestCount(releasesPath()), 2);
    QCOMPARE(m_updates->states(), QVariantMap({{"release", "ready"}, {"rc", "ready"}}));
}

void TestLauncherUpdates::feedThatIgnoresPagesEndsInError()
{
    m_server->route(releasesPath(),
                    TestReply::json(QJsonDocument(QJsonArray{release("v1.2.0")}).toJson()));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Hollowmere release catalog: "));
    m_updates->refresh("release");
    QVERIFY(
        QTest::qWaitFor([&] { return m_updates->states().value("release") != "loading"; }, 40000));
    QCOMPARE(m_updates->states().value("release").toString(), QString("error"));
    QCOMPARE(m_server->requestCount(releasesPath()), 200);
    QVERIFY(!m_updates->catalogs().contains("release"));
}

void TestLauncherUpdates::releaseChannelFiltersAndOrders()
{
    QJsonObject draft = release("v1.8.0", false, 10);
    draft["draft"] = true;
    QJsonObject undated = release("v1.9.3", false, 10);
    undated.remove("published_at");
    serveFeed({QJsonArray{release("v1.2.0", false, 10), release("v1.10.0", false, 10), undated,
                          draft, release("1.5.0", false, 10), release("v1.5", false, 10),
                          release("v1.5.0-beta1", false, 10), release("v1.5.0-rc", false, 10),
                          release("v1.6.0-rc1", false, 10), release("v1.7.0", true, 10),
                          release("v1.10.0.1", false, 10)},
               QJsonArray{QJsonObject{{"tag_name", 7}}, QJsonValue("not an object")}});
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(versions("release"), QStringList({"1.10.0", "1.9.3", "1.2.0"}));

    const QVariantMap entry = m_updates->catalogs().value("release").toList().at(0).toMap();
    QCOMPARE(entry.keys(), QStringList({"changelog", "date", "download", "size", "version"}));
    const QString repository = m_server->origin() + '/' + RemoteAddresses::releaseRepository();
    QCOMPARE(entry.value("changelog").toString(), repository + "/src/tag/v1.10.0/CHANGELOG.md");
    QCOMPARE(entry.value("download").toString(), m_server->origin() + downloadPathFor("v1.10.0"));
    QCOMPARE(entry.value("size").toLongLong(), 10);
    QCOMPARE(entry.value("date").toDateTime(),
             QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30), Qt::UTC));
    const QVariantMap undatedEntry = m_updates->catalogs().value("release").toList().at(1).toMap();
    QVERIFY(!undatedEntry.value("date").toDateTime().isValid());
}

void TestLauncherUpdates::rcChannelFiltersAndOrders()
{
    serveFeed({QJsonArray{release("v1.5.0", false, 10)}},
              {QJsonArray{release("v1.3.0-rc1", true, 10), release("v1.3.0-rc10", true, 10),
                          release("v1.3.0-rc2", true, 10), release("v1.3.0-rc9", true, 10),
                          release("v1.3.0", true, 10), release("v1.4.0-rc1", false, 10)}});
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->latest(), QString("1.5.0"));
    QVERIFY(refreshAndWait("rc"));
    QCOMPARE(versions("rc"), QStringList({"1.3.0-rc10", "1.3.0-rc9", "1.3.0-rc2", "1.3.0-rc1"}));
    QCOMPARE(m_server->requests(releasesPath()).last().query,
             QString("draft=false&pre-release=true&page=2&limit=50"));
    QCOMPARE(m_updates->catalogs().value("rc").toList().at(0).toMap().value("download").toString(),
             m_server->origin() + downloadPathFor("v1.3.0-rc10"));
    // Only the launcher's own channel decides what is newer.
    QCOMPARE(m_updates->latest(), QString("1.5.0"));
}

void TestLauncherUpdates::latestSkipsRunningVersionAndUndownloadable()
{
    QJsonObject foreignUrl = release("v1.1.9", false, 10);
    QJsonArray assets = foreignUrl["assets"].toArray();
    QJsonObject asset = assets.at(1).toObject();
    asset["browser_download_url"] = "https://elsewhere.invalid/" + fileNameFor("v1.1.9");
    assets[1] = asset;
    foreignUrl["assets"] = assets;

    serveFeed({QJsonArray{release("v1.1.1", false, 10), release("v1.1.0", false, 10)}});
    QVERIFY(refreshAndWait("release"));
    QVERIFY(m_updates->latest().isEmpty());

    serveFeed({QJsonArray{release("v1.1.1", false, 10), release("v1.2.0"),
                          release("v1.1.2", false, 10), foreignUrl}});
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->latest(), QString("1.1.2"));
    const QVariantMap withoutAsset = m_updates->catalogs().value("release").toList().at(0).toMap();
    QCOMPARE(withoutAsset.value("version").toString(), QString("1.2.0"));
    QVERIFY(withoutAsset.value("download").toString().isEmpty());
    QCOMPARE(withoutAsset.value("size").toLongLong(), 0);
    const QVariantMap foreign = m_updates->catalogs().value("release").toList().at(1).toMap();
    QCOMPARE(foreign.value("version").toString(), QString("1.1.9"));
    QVERIFY(foreign.value("download").toString().isEmpty());
}

void TestLauncherUpdates::latestFollowsApplicationVersion()
{
    serveFeed({QJsonArray{release("v1.3.0", false, 10), release("v1.2.0", false, 10)}});
    QCoreApplication::setApplicationVersion("1.3.0");
    QVERIFY(refreshAndWait("release"));
    QVERIFY(m_updates->latest().isEmpty());

    // A final release is newer than its own release candidates.
    QCoreApplication::setApplicationVersion("1.3.0-rc2");
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->latest(), QString("1.3.0"));
    QCoreApplication::setApplicationVersion(kRunningVersion);
}

void TestLauncherUpdates::feedRedirects()
{
    const QByteArray page = QJsonDocument(QJsonArray{release("v1.2.0", false, 10)}).toJson();
    m_server->route(releasesPath(), [](const TestRequest& request) {
        return TestReply::redirect("/moved/releases?" + request.query);
    });
    m_server->route("/moved/releases", [page](const TestRequest& request) {
        return TestReply::json(QUrlQuery(request.query).queryItemValue("page") == "1" ? page
                                                                                      : "[]");
    });
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->states().value("release").toString(), QString("ready"));
    QCOMPARE(versions("release"), QStringList({"1.2.0"}));

    TestServer other;
    other.route(releasesPath(), TestReply::json("[]"));
    m_server->route(releasesPath(), TestReply::redirect(other.origin() + releasesPath()));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Hollowmere release catalog: "));
    QVERIFY(refreshAndWait("release"));
    QCOMPARE(m_updates->states().value("release").toString(), QString("error"));
    QCOMPARE(other.requestCount(), 0);
    QCOMPARE(versions("release"), QStringList({"1.2.0"}));
}

void TestLauncherUpdates::installReplacesImageThroughLink()
{
    prepareInstall("v1.2.0", TestReply::ok(m_image));
    const QString link = m_work->filePath("link.AppImage");
    QVERIFY(QFile::link(m_target, link));
    qputenv("APPIMAGE", QFile::encodeName(link));

    QSignalSpy changed(m_updates.get(), &LauncherUpdates::installationChanged);
    QSignalSpy progress(m_updates.get(), &LauncherUpdates::downloadProgressChanged);
    QSignalSpy failed(m_updates.get(), &LauncherUpdates::installationFailed);
    QList<double> fractions;
    QObject context;
    connect(m_updates.get(), &LauncherUpdates::downloadProgressChanged, &context,
            [&] { fractions.append(m_updates->downloadProgress()); });

    m_updates->install("release", "1.2.0");
    QCOMPARE(changed.count(), 1);
    QVERIFY(m_updates->installing());
    QCOMPARE(m_updates->downloadProgress(), -1.0);
    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return m_quits > 0; }, 20000));

    QCOMPARE(m_quits, 1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(failed.count(), 0);
    QVERIFY(!fractions.isEmpty());
    QVERIFY(std::is_sorted(fractions.cbegin(), fractions.cend()));
    QCOMPARE(fractions.last(), 1.0);
    QCOMPARE(m_server->requestCount(downloadPathFor("v1.2.0")), 1);

    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), m_target);
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QVERIFY(target.readAll() == m_image);
    QCOMPARE(mode(m_target), 0755);
    QVERIFY(tempIsEmpty());
    QCOMPARE(QDir(m_work->path()).entryList(QDir::Files | QDir::System).size(), 2);
}

void TestLauncherUpdates::installWithoutAppImageCreatesApplicationsFile()
{
    qunsetenv("APPIMAGE");
    const QString home = m_work->filePath("home");
    QVERIFY(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));
    prepareInstall("v1.2.0", TestReply::ok(m_image));

    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return m_quits > 0; }, 20000));
    const QString installed = home + "/Applications/Hollowmere.AppImage";
    QFile file(installed);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == m_image);
    QCOMPARE(mode(installed), 0755);
    QVERIFY(tempIsEmpty());
}

void TestLauncherUpdates::installWithoutContentLength()
{
    prepareInstall("v1.2.0", TestReply::ok(m_image).chunked());
    QList<double> fractions;
    QObject context;
    connect(m_updates.get(), &LauncherUpdates::downloadProgressChanged, &context,
            [&] { fractions.append(m_updates->downloadProgress()); });
    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return m_quits > 0; }, 20000));
    // Without a length only the transfer's closing report gives a fraction.
    QVERIFY(fractions.size() <= 1);
    QVERIFY(std::all_of(fractions.cbegin(), fractions.cend(), [](double f) { return f == 1.0; }));
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QVERIFY(target.readAll() == m_image);
}

void TestLauncherUpdates::failedDownloadLeavesTargetAlone_data()
{
    QTest::addColumn<TestReply>("reply");
    QTest::addColumn<bool>("overflow");
    const QByteArray image = knownImage(kImageSize);
    QTest::newRow("one byte too many") << TestReply::ok(image + 'x') << true;
    QTest::newRow("one byte short") << TestReply::ok(image.chopped(1)) << false;
    QTest::newRow("closed one byte short")
        << TestReply::ok(image).closedAfter(image.size() - 1) << false;
    QTest::newRow("no length, one byte short")
        << TestReply::ok(image.chopped(1)).chunked() << false;
    QTest::newRow("server error") << TestReply::status(503, "busy") << false;
}

void TestLauncherUpdates::failedDownloadLeavesTargetAlone()
{
    QFETCH(TestReply, reply);
    QFETCH(bool, overflow);
    prepareInstall("v1.2.0", reply);

    QSignalSpy changed(m_updates.get(), &LauncherUpdates::installationChanged);
    QSignalSpy failed(m_updates.get(), &LauncherUpdates::installationFailed);
    if (overflow)
        QTest::ignoreMessage(QtWarningMsg, "Hollowmere update: failed to write installer");
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^Hollowmere update failed: \".*"
                                            "Hollowmere-1\\.2\\.0-x86_64\\.AppImage\" \""));
    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return failed.count() > 0; }, 20000));

    QCOMPARE(failed.count(), 1);
    QCOMPARE(changed.count(), 2);
    QVERIFY(!m_updates->installing());
    QCOMPARE(m_updates->downloadProgress(), -1.0);
    QCOMPARE(m_quits, 0);
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("the running image"));
    QCOMPARE(mode(m_target), 0600);
    QVERIFY(tempIsEmpty());
}

void TestLauncherUpdates::cancelLeavesTargetAlone()
{
    prepareInstall("v1.2.0", TestReply::ok(m_image).slow(64 * 1024, 20));
    QSignalSpy changed(m_updates.get(), &LauncherUpdates::installationChanged);
    QSignalSpy progress(m_updates.get(), &LauncherUpdates::downloadProgressChanged);
    QSignalSpy failed(m_updates.get(), &LauncherUpdates::installationFailed);

    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return m_updates->downloadProgress() > 0; }, 10000));
    QVERIFY(!tempIsEmpty());
    m_updates->cancelDownload();
    m_updates->cancelDownload();
    QCOMPARE(changed.count(), 2);
    QVERIFY(!m_updates->installing());
    QCOMPARE(m_updates->downloadProgress(), -1.0);
    QTest::qWait(100);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(m_quits, 0);
    QVERIFY(tempIsEmpty());
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("the running image"));
}

void TestLauncherUpdates::failedReplacementLeavesTargetAlone_data()
{
    QTest::addColumn<QString>("appImage");
    QTest::newRow("missing file") << QStringLiteral("missing.AppImage");
    QTest::newRow("a folder") << QStringLiteral("folder.AppImage");
    // No temporary file fits beside a name of the longest allowed length.
    QTest::newRow("no room for a temporary beside it") << QString(255, QLatin1Char('x'));
}

void TestLauncherUpdates::failedReplacementLeavesTargetAlone()
{
    QFETCH(QString, appImage);
    const QString longName(255, QLatin1Char('x'));
    QVERIFY(QDir().mkpath(m_work->filePath("folder.AppImage")));
    QVERIFY(QFile::copy(m_target, m_work->filePath(longName)));
    qputenv("APPIMAGE", QFile::encodeName(m_work->filePath(appImage)));
    prepareInstall("v1.2.0", TestReply::ok(m_image));

    QSignalSpy failed(m_updates.get(), &LauncherUpdates::installationFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Hollowmere update failed: "));
    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return failed.count() > 0; }, 20000));
    QCOMPARE(m_quits, 0);
    QVERIFY(!m_updates->installing());
    QVERIFY(tempIsEmpty());
    QVERIFY(QDir(m_work->filePath("folder.AppImage")).isEmpty());
    QCOMPARE(QDir(m_work->path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
             QStringList({"Hollowmere.AppImage", longName}));
    QFile untouched(m_work->filePath(longName));
    QVERIFY(untouched.open(QIODevice::ReadOnly));
    QCOMPARE(untouched.readAll(), QByteArray("the running image"));
}

void TestLauncherUpdates::installRefusals()
{
    serveFeed({QJsonArray{release("v1.2.0"), release("v1.1.5", false, 10)}});
    QVERIFY(refreshAndWait("release"));
    QSignalSpy changed(m_updates.get(), &LauncherUpdates::installationChanged);
    QSignalSpy failed(m_updates.get(), &LauncherUpdates::installationFailed);

    m_updates->install("release", "1.2.0"); // listed without its image
    m_updates->install("release", "1.9.9"); // not listed
    m_updates->install("rc", "1.1.5");      // another channel's catalog
    m_updates->install("release", "1.1.5 ");
    QCOMPARE(failed.count(), 4);
    QCOMPARE(changed.count(), 0);
    QVERIFY(!m_updates->installing());
    QCOMPARE(m_server->requestCount(), m_server->requestCount(releasesPath()));
    QVERIFY(tempIsEmpty());
}

void TestLauncherUpdates::destroyingDuringDownloadCleansUp()
{
    prepareInstall("v1.2.0", TestReply::ok(m_image).stalledAfter(300000));
    m_updates->install("release", "1.2.0");
    QTRY_COMPARE(m_server->inFlight(), 1);
    QTest::qWait(100);
    m_updates.reset();
    QVERIFY(tempIsEmpty());
    QTest::qWait(50);
    QCOMPARE(m_quits, 0);
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("the running image"));
}

void TestLauncherUpdates::downloadRedirects()
{
    const QString moved = "/moved/" + fileNameFor("v1.2.0");
    prepareInstall("v1.2.0", TestReply::redirect(moved));
    m_server->route(moved, TestReply::ok(m_image));
    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return m_quits > 0; }, 20000));
    QFile target(m_target);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QVERIFY(target.readAll() == m_image);

    TestServer other;
    other.route(moved, TestReply::ok(m_image));
    QVERIFY(target.remove());
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.write("the running image");
    target.close();
    m_server->route(downloadPathFor("v1.2.0"), TestReply::redirect(other.origin() + moved));
    QSignalSpy failed(m_updates.get(), &LauncherUpdates::installationFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Hollowmere update failed: "));
    m_updates->install("release", "1.2.0");
    QVERIFY(QTest::qWaitFor([&] { return failed.count() > 0; }, 20000));
    QCOMPARE(other.requestCount(), 0);
    QCOMPARE(m_quits, 1);
    QVERIFY(target.open(QIODevice::ReadOnly));
    QCOMPARE(target.readAll(), QByteArray("the running image"));
    QVERIFY(tempIsEmpty());
}

QTEST_GUILESS_MAIN(TestLauncherUpdates)
#include "tst_launcherupdates.moc"
