#pragma once

#include <QImage>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A program of ours in a real X window: a virtual display of its own
// (xvfb-run -a), the xcb platform, a temporary HOLLOWMERE_HOME and HOME, and no
// network (TestHelpers::withoutNetwork). Windows are found and clicked with
// xdotool, read with xprop and photographed with ImageMagick's import.
// The session ends the program when it goes.
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

    // The id of the first visible window titled exactly title; empty when
    // none shows within the time.
    QString waitForWindow(const QString& title, int timeoutMs = 30000) const;
    // The window's size on screen; invalid when it cannot be read.
    QSize windowSize(const QString& windowId) const;
    // What xprop tells of one property of the window; empty when it cannot be read.
    QString windowProperty(const QString& windowId, const QString& name) const;
    // A picture of the window, or of the whole screen when windowId is empty.
    QImage screenshot(const QString& windowId = QString()) const;
    // Waits until two pictures in a row agree, so the window has settled.
    QImage settledScreenshot(const QString& windowId, int timeoutMs = 10000) const;
    // A click at x, y inside the window (button 1 left, 3 right).
    bool click(const QString& windowId, int x, int y, int button = 1) const;
    // Any other xdotool command, run against this display.
    bool xdotool(const QStringList& arguments, QByteArray* output = nullptr) const;

    // Ends the program (SIGTERM) and its display; true when both are gone.
    bool stop(int timeoutMs = 10000);
    // What the program wrote to its standard output and error so far.
    QString output();

private:
    bool runX(const QString& program, const QStringList& arguments, QByteArray* output,
              int timeoutMs = 15000) const;

    QSize m_screen;
    QTemporaryDir m_dir;
    QProcess m_xvfbRun;
    QProcessEnvironment m_extraEnvironment;
    QString m_display;
    qint64 m_programPid = 0;
    QByteArray m_output;
};
