#include "gamewaiter.h"

#include "launcherbackend.h"
#include "launcherpaths.h"
#include "systempath.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWindow>

#include <unistd.h>

namespace {

const QByteArray kShowRequest = QByteArrayLiteral("show\n");
const QByteArray kShownAnswer = QByteArrayLiteral("shown\n");
// A request is one short line: anything longer is not a launcher's.
constexpr qint64 kLongestRequest = 64;
constexpr int kAnswerWaitMs = 5000;

// Where the launcher holding the data directory listens while it waits for its game: one
// address per user and data directory, in the user's own runtime folder where the session
// has one. Only that launcher listens there, as only it holds the data directory.
QString serverAddress()
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!QDir::isAbsolutePath(folder) || !QFileInfo(folder).isDir())
        folder = QDir::tempPath();
    const QString dataDir = QFileInfo(LauncherPaths::rootDir()).canonicalFilePath();
    const QByteArray digest =
        QCryptographicHash::hash(dataDir.toUtf8(), QCryptographicHash::Sha256).toHex().left(24);
    return folder + QStringLiteral("/hollowmere-%1-%2")
                        .arg(QString::number(::getuid()), QString::fromLatin1(digest));
}

} // namespace

GameWaiter::GameWaiter(QWindow* window, LauncherBackend* backend, QObject* parent)
    : QObject(parent), m_window(window), m_backend(backend)
{
    m_window->installEventFilter(this);
    connect(m_backend, &LauncherBackend::gameFinished, this, &GameWaiter::answerTheGameEnd,
            Qt::QueuedConnection);
}

GameWaiter::~GameWaiter() = default;

bool GameWaiter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || event->type() != QEvent::Close)
        return false;
    if (m_backend->gameRunning()) {
        event->ignore();
        waitBehindHiddenWindow();
        return true;
    }
    m_backend->cancelPendingLaunch();
    return false;
}

void GameWaiter::waitBehindHiddenWindow()
{
    // Hiding the last window must not end the program as closing it does.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    m_window->hide();
    if (m_server)
        return;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &GameWaiter::answerShowRequest);
    const QString address = serverAddress();
    // What stands at the address was left by a launcher of this data directory that
    // ended without removing it: none other can be listening there now.
    QLocalServer::removeServer(address);
    if (!m_server->listen(address))
        qWarning("A second start cannot show the window while the game runs: %s (%s)",
                 qPrintable(SystemPath::shown(address)), qPrintable(m_server->errorString()));
}

void GameWaiter::answerShowRequest()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        // Outlives the server, which goes once the window shows.
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kLongestRequest)
                    socket->disconnectFromServer();
                return;
            }
            const bool asked = socket->readLine(kLongestRequest) == kShowRequest;
            if (asked && m_server) {
                socket->write(kShownAnswer);
                showWindow();
            }
            socket->disconnectFromServer();
        });
    }
}

void GameWaiter::showWindow()
{
    m_server->close();
    m_server->deleteLater();
    m_server = nullptr;
    QGuiApplication::setQuitOnLastWindowClosed(true);
    m_window->setVisible(true);
    m_window->raise();
    m_window->requestActivate();
}

void GameWaiter::answerTheGameEnd(int exitCode, bool crashed)
{
    if (!m_server || m_backend->gameRunning())
        return;
    // Ending then would leave the player with nothing on screen: no game, no launcher and
    // no word of what happened.
    if (crashed || exitCode != 0)
        showWindow();
    else
        QCoreApplication::quit();
}

bool GameWaiter::showWaitingWindow()
{
    QLocalSocket socket;
    socket.connectToServer(serverAddress());
    if (!socket.waitForConnected(kAnswerWaitMs))
        return false;
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(kAnswerWaitMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kAnswerWaitMs))
            return false;
    }
    return socket.readLine(kLongestRequest) == kShownAnswer;
}
