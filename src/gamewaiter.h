#pragma once

#include <QObject>
#include <QString>

class LauncherBackend;
class QLocalServer;
class QWindow;

// Lets the game outlive the launcher's window. Closing the window while the game runs
// hides it instead of ending the program, which would end the game with it before the
// game could save: the program keeps relaying the game's output, keeps the data
// directory to itself so that nothing switches builds under the running game, and ends by
// itself once the game has ended well. A game that crashed, was killed or ended with an
// error brings the window back with what the interface tells of that end, and the program
// stays until the player closes it. Meanwhile a second start of the launcher on the same
// data directory shows the hidden window again instead of telling that the launcher
// already runs. Closing the window while a launch is still on its way, before there is a
// game, cancels that launch and ends the program as usual.
class GameWaiter : public QObject {
    Q_OBJECT

public:
    GameWaiter(QWindow* window, LauncherBackend* backend, QObject* parent = nullptr);
    ~GameWaiter() override;

    // For a second start: asks the launcher that holds the data directory and waits for
    // its game behind a hidden window to show that window. True once it has; false when
    // no launcher waits there (it is in use with its window shown, or is ending).
    static bool showWaitingWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void waitBehindHiddenWindow();
    void showWindow();
    void answerShowRequest();
    void answerTheGameEnd(int exitCode, bool crashed);

    QWindow* m_window;
    LauncherBackend* m_backend;
    // Exists while the window is hidden for the game, listening for second starts where it
    // could; null otherwise.
    QLocalServer* m_server = nullptr;
};
