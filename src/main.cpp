#include "gamelock.h"
#include "gamewaiter.h"
#include "instancelock.h"
#include "launcherbackend.h"
#include "launcherpaths.h"
#include "localization.h"
#include "pathrules.h"
#include "preloadedimageprovider.h"
#include "remoteaddresses.h"

#include <QDebug>
#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtWebEngineQuick/qtwebenginequickglobal.h>

#include <memory>

namespace {
// The root component of the interface module, taken from the embedded resources.
const QUrl kMainComponent(QStringLiteral("qrc:/qt/qml/Hollowmere/Main.qml"));
const QUrl kAlreadyRunningComponent(QStringLiteral("qrc:/qt/qml/Hollowmere/AlreadyRunning.qml"));
const QString kBackground = QStringLiteral("images/launcherBackground.png");

QIcon applicationIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256, 512})
        icon.addFile(QStringLiteral(":/icons/icon_%1x%1.png").arg(size));
    for (const int size : {16, 32, 128, 256, 512})
        icon.addFile(QStringLiteral(":/icons/icon_%1x%1@2x.png").arg(size));
    return icon;
}

// The icon set is decoded whole when it is made, and the window system is handed
// every size of it, which takes longer than drawing the window: the icon follows
// the first frame.
QQuickWindow* mainWindow(const QQmlApplicationEngine& engine)
{
    const QList<QObject*> roots = engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.constFirst());
}

void setIconAfterFirstFrame(QQuickWindow* window)
{
    if (!window) {
        QGuiApplication::setWindowIcon(applicationIcon());
        return;
    }
    QObject::connect(
        window, &QQuickWindow::frameSwapped, qApp,
        [] { QGuiApplication::setWindowIcon(applicationIcon()); },
        static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
}

// False when another launcher holds the data directory. Two launchers on one
// directory would each rewrite the state files whole from what they read at start,
// and both would move the files of the one game folder. A lock that cannot be taken
// at all (a data directory that cannot be written, a file system without locks)
// does not keep the launcher from opening: the backend reports what it cannot write.
bool lockDataDirectory(InstanceLock& lock)
{
    QString error;
    const InstanceLock::Outcome outcome = lock.acquire(LauncherPaths::instanceLockFile(), &error);
    if (outcome == InstanceLock::Outcome::Unavailable)
        qWarning().noquote() << error;
    return outcome != InstanceLock::Outcome::HeldElsewhere;
}

// Tells the player, in the interface's language, what keeps the launcher out of its data
// directory, with the hint's %1 naming that directory; the program ends when the message is
// closed.
int tellInUse(const char* headingKey, const char* hintKey)
{
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QQmlApplicationEngine engine;
    engine.setInitialProperties(
        {{QStringLiteral("heading"), Loc::text(headingKey)},
         {QStringLiteral("detail"),
          Loc::text(hintKey).arg(PathRules::native(LauncherPaths::rootDir()))}});
    engine.load(kAlreadyRunningComponent);
    return engine.rootObjects().isEmpty() ? -1 : QGuiApplication::exec();
}

int tellAlreadyRunning()
{
    return tellInUse("app.error.alreadyRunning", "app.hint.alreadyRunning");
}

// A game whose launcher has gone still plays from the game folder: a launcher opened now
// would start a second game into that folder, or switch builds under the first, and its
// start alone may resume an interrupted switch. Nothing is read or written until that game
// has ended. The one-launcher lock is let go first, so that a further start meanwhile tells
// the same rather than that a launcher runs.
int tellEarlierGameRunning(InstanceLock& instanceLock)
{
    instanceLock.release();
    return tellInUse("app.error.gameStillRunning", "app.hint.gameStillRunning");
}
} // namespace

int main(int argc, char* argv[])
{
    // The web engine must be set up before the application object exists.
    QtWebEngineQuick::initialize();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Hollowmere"));
    QGuiApplication::setApplicationVersion(QStringLiteral(HM_APP_VERSION));
    QGuiApplication::setOrganizationName(QStringLiteral("CorvaneDev"));
    QGuiApplication::setOrganizationDomain(RemoteAddresses::organisationDomain());
    QGuiApplication::setDesktopFileName(QStringLiteral("hollowmere"));

    if (!LauncherPaths::homeOverride().isEmpty())
        qWarning().noquote() << "HOLLOWMERE_HOME: данные лаунчера в"
                             << PathRules::native(LauncherPaths::rootDir());

    if (!Localization::instance()->load())
        return -1;
    // Taken before anything writes into the data directory, and held until the process
    // ends. A game that an earlier launcher left running there is looked for next, before
    // anything else reads or writes the directory.
    InstanceLock instanceLock;
    if (!lockDataDirectory(instanceLock))
        return GameWaiter::showWaitingWindow() ? 0 : tellAlreadyRunning();
    if (GameLock::heldByAnEarlierGame())
        return tellEarlierGameRunning(instanceLock);

    // Decoding the background takes longer than building the rest of the window: it
    // runs beside the interface's loading, and the window is handed the decoded image.
    auto images = std::make_unique<PreloadedImageProvider>(QStringList{kBackground});

    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QQmlApplicationEngine engine;
    engine.addImageProvider(PreloadedImageProvider::name(), images.release());
    engine.setInitialProperties(
        {{QStringLiteral("backgroundSource"), PreloadedImageProvider::address(kBackground)}});
    // Queued: a failure during load() takes effect once the event loop runs.
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &app,
        [] { QCoreApplication::exit(-1); }, Qt::QueuedConnection);
    engine.load(kMainComponent);
    QQuickWindow* window = mainWindow(engine);
    setIconAfterFirstFrame(window);
    auto* backend = window ? window->findChild<LauncherBackend*>() : nullptr;
    std::unique_ptr<GameWaiter> gameWaiter;
    if (backend)
        gameWaiter = std::make_unique<GameWaiter>(window, backend);
    return QGuiApplication::exec();
}
