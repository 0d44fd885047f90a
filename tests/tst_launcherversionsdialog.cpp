// A self-update as the player makes it: the launcher's window over a loopback
// release feed, the versions dialog opened from its button, a release picked
// and installed over a stand-in for the running image.
#include "launcherupdates.h"
#include "localization.h"
#include "quickdriver.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QDesktopServices>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <sys/stat.h>

#include <memory>

namespace {

const QByteArray kOldImage = "the running image";

QByteArray newImage()
{
    // Not a multiple of any buffer size.
    QByteArray bytes(700 * 1024 + 3, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((quint32(i) * 7919u) >> 3);
    return bytes;
}

int modeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// Stands in for the desktop's browser.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void openUrl(const QUrl& url) { opened.append(url); }
};

} // namespace

class TestLauncherVersionsDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(TestHelpers::loadEnglishCatalog());
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_browser, "openUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_browser, "openUrl");
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    // A short download fails and leaves the image and the dialog as they were;
    // installing again with the whole asset replaces the image and quits.
    void installReplacesTheImage()
    {
        QTemporaryDir work;
        QVERIFY(work.isValid());
        const QString image = work.filePath(QStringLiteral("Hollowmere.AppImage"));
        QVERIFY(TestHelpers::writeFile(image, kOldImage));
        QVERIFY(QFile::setPermissions(image, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const QString tmp = work.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(tmp));
        qputenv("APPIMAGE", QFile::encodeName(image));
        qputenv("TMPDIR", QFile::encodeName(tmp));

        TestServer server;
        const QByteArray asset = newImage();
        serveFeed(server, asset.size());
        const QString assetPath = repositoryPath() + "/releases/download/v1.2.0/" + assetName();
        server.route(assetPath, QList<TestReply>{TestReply::ok(asset.left(asset.size() - 100)),
                                                 TestReply::ok(asset)});
        RemoteAddresses::setAllOriginsForTesting(server.origin());

        QQmlApplicationEngine engine;
        QString error;
        QQuickWindow* window = QuickDriver::loadMainWindow(engine, &error);
        QVERIFY2(window, qPrintable(error));
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto* updates = window->findChild<LauncherUpdates*>();
        QVERIFY(updates);
        int quits = 0;
        updates->setQuitHandlerForTesting([&quits] { ++quits; });
        QSignalSpy failed(updates, &LauncherUpdates::installationFailed);

        QVERIFY(QuickDriver::click(QuickDriver::findItem(window, "launcherVersion")));
        QObject* dialog = QuickDriver::find(window, QStringLiteral("launcherVersions"));
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->property("opened").toBool());
        QQuickItem* row = nullptr;
        QTRY_VERIFY((row = QuickDriver::findItem(dialog, "release_1.2.0")) != nullptr);
        QTRY_VERIFY(QuickDriver::click(row));
        QCOMPARE(dialog->property("selectedVersion").toString(), QStringLiteral("1.2.0"));

        // The change notes open in the browser at the repository's address.
        QVERIFY(QuickDriver::click(QuickDriver::findItem(row, "changesButton")));
        QCOMPARE(m_browser.opened, QList<QUrl>{QUrl(server.origin() + repositoryPath() +
                                                    "/src/tag/v1.2.0/CHANGELOG.md")});

        QQuickItem* install = QuickDriver::findItem(dialog, "installButton");
        QQuickItem* list = QuickDriver::findItem(dialog, "releaseList");
        QVERIFY(install && list);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Hollowmere update failed: ")));
        QVERIFY(QuickDriver::click(install));
        QVERIFY(updates->installing());
        QVERIFY(!install->isEnabled());
        QVERIFY(!list->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 20000);
        QCOMPARE(TestHelpers::readFile(image), kOldImage);
        QCOMPARE(modeOf(image), 0600);
        QTRY_VERIFY(install->isEnabled());
        QVERIFY(list->isEnabled());
        QCOMPARE(dialog->property("selectedVersion").toString(), QStringLiteral("1.2.0"));
        QCOMPARE(QuickDriver::find(window, QStringLiteral("toastLabel"))->property("text"),
                 QVariant(Loc::text("app.error.launcherInstall")));

        QVERIFY(QuickDriver::click(install));
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 20000);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(TestHelpers::readFile(image), asset);
        QCOMPARE(modeOf(image), 0755);
        QCOMPARE(server.requestCount(assetPath), 2);
        // Nothing of the download is left behind.
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

        RemoteAddresses::resetForTesting();
        qunsetenv("APPIMAGE");
        qunsetenv("TMPDIR");
    }

private:
    static QString repositoryPath()
    {
        return QLatin1Char('/') + RemoteAddresses::releaseRepository();
    }

    static QString assetName() { return QStringLiteral("Hollowmere-1.2.0-x86_64.AppImage"); }

    // One release with its image on the first page of the feed; nothing after it.
    static void serveFeed(TestServer& server, qint64 assetSize)
    {
        const QString origin = server.origin();
        const QJsonArray releases{QJsonObject{
            {"tag_name", "v1.2.0"},
            {"draft", false},
            {"prerelease", false},
            {"published_at", "2026-11-05T10:20:30Z"},
            {"assets", QJsonArray{QJsonObject{{"name", assetName()},
                                              {"size", assetSize},
                                              {"browser_download_url",
                                               origin + repositoryPath() +
                                                   "/releases/download/v1.2.0/" + assetName()}}}}}};
        const QByteArray firstPage = QJsonDocument(releases).toJson();
        server.route(QStringLiteral("/api/v1/repos") + repositoryPath() + "/releases",
                     [firstPage](const TestRequest& request) {
                         const bool first =
                             QUrlQuery(request.query).queryItemValue("page") == QLatin1String("1");
                         return TestReply::json(first ? firstPage : QByteArray("[]"));
                     });
    }

    UrlCatcher m_browser;
    TempHome m_home;
};

QTEST_MAIN(TestLauncherVersionsDialog)
#include "tst_launcherversionsdialog.moc"
