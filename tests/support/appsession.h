#pragma once

#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// A program of ours in a real X window: a virtual display of its own
// (xvfb-run -a), the xcb platform, a temporary HOLLOWMERE_HOME and HOME, and no
// network (TestHelpers::withoutNetwork). Windows are found and clicked with
// xdotool, read with xprop and photographed with ImageMagick's import.
// The session ends the program when it goes. Every time limit given to it is
// stretched in a sanitized build, where the program runs several times slower.
class AppSession {
public:
    explicit AppSession(const QSize& screen = QSize(1600, 900));
    ~AppSession();
    AppSession(const AppSession&) = delete;
    AppSession& operator=(const AppSession&) = delete;

    // The program's HOLLOWMERE_HOME (also its HOME), and the data directory
    // inside it; files may be placed there first.
    QString homeDir() const;
    QString dataDir() const;
    bool writeDataFile(const QString& relativePath, const QByteArray& content) const;

    // Extra environment for the program; takes effect at the next start.
    void setEnvironmentValue(const QString& name, const QString& value);

    // Starts the program (the built launcher by default) and waits until its
    // display is up. Fills error on failure.
    bool start(const QStringList& arguments = {}, const QString& program = QString(),
               QString* error = nullptr);
    bool isRunning() const;
    qint64 programPid() const { return m_programPid; }
    // The program's exit code once it has ended by itself.
    int exitCode() const { return m_xvfbRun.exitCode(); }
    // Starts the program (the built launcher) once more on this display, with the same
    // home and environment, and waits for it to end: its exit code, -1 when it did not
    // end within the time; output, when given, gets what it wrote.
    int runAgain(QString* output = nullptr, int timeoutMs = 30000);

    // The id of the first visible window titled exactly title, once it has drawn
    // its content; empty when none does within the time. A window mapped but not
    // drawn yet is one flat colour, and stays so for a while when the machine is
    // busy.
    QString waitForWindow(const QString& title, int timeoutMs = 30000) const;
    // The window's size on screen; invalid when it cannot be read.
    QSize windowSize(const QString& windowId) const;
    // What xprop tells of one property of the window; empty when it cannot be read.
    QString windowProperty(const QString& windowId, const QString& name) const;
    // A picture of the window, or of the whole screen when windowId is empty.
    QImage screenshot(const QString& windowId = QString()) const;
    // Waits until two drawn pictures in a row agree, so the window has settled.
    QImage settledScreenshot(const QString& windowId, int timeoutMs = 10000) const;
    // Does what a player does to the window and waits for its answer: the
    // picture changes and then settles. The settled picture, also when nothing
    // changed within the time; a null image when the action failed.
    QImage settledAfter(const QString& windowId, const std::function<bool()>& action,
                        int timeoutMs = 20000) const;
    // The same from a settled picture already taken, as the last step's answer.
    QImage settledAfter(const QString& windowId, const QImage& before,
                        const std::function<bool()>& action, int timeoutMs = 20000) const;
    // Asks the window to close as a window manager does for its close button
    // (WM_DELETE_WINDOW).
    bool closeWindow(const QString& windowId) const;
    // Whether a window titled exactly title is visible now.
    bool hasVisibleWindow(const QString& title) const;
    // A click at x, y inside the window (button 1 left, 3 right).
    bool click(const QString& windowId, int x, int y, int button = 1) const;
    // A press and release of the key (xdotool's name for it, e.g. "Escape").
    bool key(const QString& name) const;
    // Any other xdotool command, run against this display.
    bool xdotool(const QStringList& arguments, QByteArray* output = nullptr) const;

    // Ends the program (SIGTERM) and its display; true when both are gone.
    bool stop(int timeoutMs = 10000);
    // What the program wrote to its standard output and error so far.
    QString output();

private:
    QString findWindow(const QString& title, const QDeadlineTimer& deadline) const;
    bool waitUntilDrawn(const QString& windowId, const QDeadlineTimer& deadline) const;
    bool runX(const QString& program, const QStringList& arguments, QByteArray* output,
              int timeoutMs = 15000) const;
    QProcessEnvironment programEnvironment() const;

    QSize m_screen;
    QTemporaryDir m_dir;
    QProcess m_xvfbRun;
    QProcessEnvironment m_extraEnvironment;
    QString m_display;
    qint64 m_programPid = 0;
    QByteArray m_output;
};
