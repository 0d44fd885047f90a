// The Microsoft sign-in window with the real web engine in a real X window: the
// account service is a loopback server whose sign-in page sends the browser on
// to the desktop redirect, and the window hands what it finds there to the
// window's own backend. Runs under a virtual display (see CMakeLists.txt).
#include "launcherbackend.h"
#include "quickdriver.h"
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <QtWebEngineQuick/qtwebenginequickglobal.h>

#include <memory>

namespace {

const QString kSignInPath = QStringLiteral("/oauth20_authorize.srf");
const QString kTokenPath = QStringLiteral("/oauth20_token.srf");
const QString kRedirectPath = QStringLiteral("/oauth20_desktop.srf");

// A sign-in page that moves on by itself, as the service's does once the player
// has signed in.
QByteArray signInPage(const QString& redirect)
{
    return QStringLiteral("<html><body><p>Signing in</p><script>"
                          "setTimeout(function () { location.replace('%1'); }, 300);"
                          "</script></body></html>")
        .arg(redirect)
        .toUtf8();
}

} // namespace

class TestMicrosoftLoginDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(TestHelpers::loadEnglishCatalog());
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        m_server = std::make_unique<TestServer>();
        QVERIFY(m_server->isListening());
        // The release feed too: the window asks for it once it shows.
        RemoteAddresses::setAllOriginsForTesting(m_server->origin());
        m_server->routePrefix(QStringLiteral("/api/"), TestReply::json("[]"));
        m_server->route(kRedirectPath, TestReply::ok("<html>done</html>", "text/html"));
        m_server->route(
            kTokenPath,
            TestReply::json(R"({"error":"invalid_grant","error_description":"no"})", 400));

        QString error;
        m_window = QuickDriver::loadMainWindow(m_engine, &error);
        QVERIFY2(m_window, qPrintable(error));
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        m_backend = m_window->findChild<LauncherBackend*>();
        QVERIFY(m_backend);
    }

    void cleanupTestCase()
    {
        m_engine.clearComponentCache();
        m_server.reset();
        RemoteAddresses::resetForTesting();
    }

    // The redirect reached through a page of the service: with a code the
    // backend exchanges it exactly once; with an error only in the fragment the
    // service's words become the toast and nothing is exchanged.
    void redirectEndsTheSignIn_data()
    {
        QTest::addColumn<QString>("redirect");
        QTest::addColumn<int>("exchanges");
        QTest::addColumn<QString>("toast");
        QTest::newRow("code") << QStringLiteral("?code=abc") << 1 << QString();
        QTest::newRow("error in the fragment")
            << QStringLiteral("#error=access_denied&error_description=Declined%20by%20the%20player")
            << 0 << QStringLiteral("Declined by the player");
    }

    void redirectEndsTheSignIn()
    {
        QFETCH(QString, redirect);
        QFETCH(int, exchanges);
        QFETCH(QString, toast);
        m_server->route(
            kSignInPath,
            TestReply::ok(signInPage(m_server->origin() + kRedirectPath + redirect), "text/html"));
        m_server->clearLog();
        QSignalSpy failed(m_backend, &LauncherBackend::microsoftLoginFailed);

        m_backend->startMicrosoftLogin(-1);
        QObject* dialog = QuickDriver::find(m_window, QStringLiteral("microsoftLoginDialog"));
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->property("opened").toBool());
        // The service's page is shown first; the window waits on it.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(kSignInPath), 1, 30000);
        QVERIFY(dialog->property("visible").toBool());

        QTRY_VERIFY_WITH_TIMEOUT(!dialog->property("visible").toBool(), 30000);
        // Whatever the browser does after that calls nothing more.
        QTest::qWait(1500);
        const QList<TestRequest> tokenRequests = m_server->requests(kTokenPath);
        QCOMPARE(tokenRequests.size(), exchanges);
        for (const TestRequest& request : tokenRequests)
            QCOMPARE(QUrlQuery(QString::fromUtf8(request.body)).queryItemValue("code"), "abc");
        // A refused exchange is the backend's to report; an error redirect is the window's.
        QTRY_COMPARE(failed.size(), exchanges);
        QObject* toastLabel = QuickDriver::find(m_window, QStringLiteral("toastLabel"));
        QVERIFY(toastLabel);
        if (!toast.isEmpty())
            QCOMPARE(toastLabel->property("text").toString(), toast);
        // The sign-in is over: a late code is refused.
        QSignalSpy lateFailure(m_backend, &LauncherBackend::microsoftLoginFailed);
        m_backend->finishMicrosoftLogin(QStringLiteral("late"));
        QCOMPARE(lateFailure.size(), 1);
    }

private:
    TempHome m_home;
    std::unique_ptr<TestServer> m_server;
    QQmlApplicationEngine m_engine;
    QQuickWindow* m_window = nullptr;
    LauncherBackend* m_backend = nullptr;
};

int main(int argc, char** argv)
{
    // Running as root, the web engine's sandbox cannot start; the loopback
    // server's certificate is our own test authority, which the browser does not know.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--ignore-certificate-errors");
    QtWebEngineQuick::initialize();
    QGuiApplication application(argc, argv);
    TestMicrosoftLoginDialog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_microsoftlogindialog.moc"
