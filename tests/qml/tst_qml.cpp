// Runs the interface's Qt Quick tests with the Hollowmere module, the English
// catalog under a temporary data directory, every remote service on a loopback
// server and one rule: a warning or critical message that the test did not ask
// for fails it.
#include "remoteaddresses.h"
#include "temphome.h"
#include "testhelpers.h"
#include "testserver.h"

#include <QQmlEngine>
#include <QQuickStyle>
#include <QtQuickTest/private/quicktestresult_p.h>
#include <QtQuickTest>
#include <QtTest/private/qtestlog_p.h>

#include <atomic>
#include <memory>

namespace {

QtMessageHandler gTestLogHandler = nullptr;
std::atomic<int> gUnexpectedMessages = 0;

// What Qt's own web engine says whenever the sign-in window is made, no fault
// of the interface: Qt 6.4 registers three of its value types as QML types, and
// the offscreen platform has no graphics for its pages.
bool isWebEngineNotice(const QString& message)
{
    return message.endsWith(QLatin1String(" is neither a QObject, nor default- and "
                                          "copy-constructible. You should not use it as a QML "
                                          "type.")) ||
           message.trimmed() == QLatin1String("No suitable graphics backend found");
}

// Sits above Qt Test's own handler, so messages that a test expects through
// ignoreWarning() are told apart by the ignore list shrinking.
void failOnUnexpectedMessage(QtMsgType type, const QMessageLogContext& context,
                             const QString& message)
{
    const int expectedBefore = QTestLog::unhandledIgnoreMessages();
    gTestLogHandler(type, context, message);
    if ((type != QtWarningMsg && type != QtCriticalMsg) || isWebEngineNotice(message))
        return;
    if (QTestLog::unhandledIgnoreMessages() < expectedBefore)
        return;
    ++gUnexpectedMessages;
    const QByteArray text = "unexpected message: " + message.toLocal8Bit();
    QTest::qFail(text.constData(), context.file ? context.file : "", context.line);
}

} // namespace

class QmlTestSetup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        if (!TestHelpers::loadEnglishCatalog())
            qFatal("the translation catalog did not load");
        QQuickStyle::setStyle(QStringLiteral("Basic"));
        // Every remote service is this loopback server, which knows no release.
        m_server = std::make_unique<TestServer>();
        m_server->routePrefix(QStringLiteral("/"), TestReply::json("[]"));
        RemoteAddresses::setAllOriginsForTesting(m_server->origin());
    }

    void qmlEngineAvailable(QQmlEngine* engine)
    {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        if (gTestLogHandler)
            return;
        // Qt Test installs its handler when logging starts; start it now so
        // ours can go on top of it before the first test file loads.
        QuickTestResult().startLogging();
        gTestLogHandler = qInstallMessageHandler(failOnUnexpectedMessage);
    }

    // The server goes while the application it belongs to still exists.
    void cleanupTestCase() { m_server.reset(); }

private:
    // Whatever a component under test writes lands in a throwaway data directory.
    TempHome m_home;
    std::unique_ptr<TestServer> m_server;
};

int main(int argc, char** argv)
{
    QmlTestSetup setup;
    const int failures = quick_test_main_with_setup(argc, argv, "tst_qml", nullptr, &setup);
    return failures != 0 ? failures : (gUnexpectedMessages > 0 ? 1 : 0);
}

#include "tst_qml.moc"
