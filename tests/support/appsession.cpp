#include "appsession.h"

#include "testhelpers.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
constexpr int kStartAttempts = 3;
// Waits run the events (QTest::qWait), so the program's output is read as it
// comes and never fills its pipe.
constexpr int kPollMs = 100;
constexpr int kSettleGapMs = 300;

constexpr int patient(int timeoutMs)
{
    return timeoutMs * HM_SLOWDOWN;
}

// Whether anything is drawn: every pixel of a window not drawn yet has one colour.
bool isDrawn(const QImage& shot)
{
    if (shot.isNull())
        return false;
    const QImage pixels = shot.convertToFormat(QImage::Format_RGB32);
    const QRgb first = pixels.pixel(0, 0);
    for (int y = 0; y < pixels.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        if (std::any_of(line, line + pixels.width(),
                        [first](QRgb pixel) { return pixel != first; }))
            return true;
    }
    return false;
}

// Held while a session brings its display up. Two xvfb-run -a started at once can
// both take the same free display number, and then a program may reach the other
// session's server and be refused; one start at a time on the machine, across the
// test programs CTest runs side by side, leaves each its own display.
class DisplayStartGuard {
public:
    DisplayStartGuard()
        : m_fd(::open("/tmp/.hollowmere-display-start.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd >= 0)
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~DisplayStartGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DisplayStartGuard(const DisplayStartGuard&) = delete;
    DisplayStartGuard& operator=(const DisplayStartGuard&) = delete;

private:
    int m_fd;
};

// Runs as the command of xvfb-run: tells the session its display and its pid,
// then becomes the program, so the pid is the program's own.
const char kAnnounce[] =
    R"(printf '%s %s\n' "$DISPLAY" "$$" > "$0.part" && mv "$0.part" "$0" && exec "$@")";
} // namespace

AppSession::AppSession(const QSize& screen) : m_screen(screen)
{
    m_xvfbRun.setProcessChannelMode(QProcess::MergedChannels);
}

AppSession::~AppSession()
{
    stop();
}

QString AppSession::homeDir() const
{
    return m_dir.filePath(QStringLiteral("home"));
}

QString AppSession::dataDir() const
{
    return homeDir() + QStringLiteral("/Hollowmere");
}

void AppSession::setEnvironmentValue(const QString& name, const QString& value)
{
    m_extraEnvironment.insert(name, value);
}

bool AppSession::writeDataFile(const QString& relativePath, const QByteArray& content) const
{
    return TestHelpers::writeFile(dataDir() + QLatin1Char('/') + relativePath, content);
}

QProcessEnvironment AppSession::programEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("HOLLOWMERE_HOME"), homeDir());
    environment.insert(QStringLiteral("HOME"), homeDir());
    // The sessions run as root, where the web engine refuses its sandbox.
    environment.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    environment.insert(m_extraEnvironment);
    return environment;
}

bool AppSession::start(const QStringList& arguments, const QString& program, QString* error)
{
    const QString announced = m_dir.filePath(QStringLiteral("display"));
    m_xvfbRun.setProcessEnvironment(programEnvironment());

    const QString screen = QStringLiteral("-screen 0 %1x%2x24 -nolisten tcp")
                               .arg(m_screen.width())
                               .arg(m_screen.height());
    const QStringList command =
        QStringList{QStringLiteral("-a"),
                    QStringLiteral("-f"),
                    m_dir.filePath(QStringLiteral("Xauthority")),
                    QStringLiteral("-s"),
                    screen,
                    QStringLiteral("sh"),
                    QStringLiteral("-c"),
                    QString::fromLatin1(kAnnounce),
                    announced} +
        TestHelpers::withoutNetwork(program.isEmpty() ? QStringLiteral(HM_APP_BINARY) : program) +
        arguments;
    // Should another display server still take the number, the loser's
    // xvfb-run gives up at once and is started again.
    const DisplayStartGuard oneStartAtATime;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        QFile::remove(announced);
        m_xvfbRun.start(QStringLiteral("xvfb-run"), command);
        if (!m_xvfbRun.waitForStarted(10000))
            break;
        const QDeadlineTimer deadline(30000);
        while (!QFile::exists(announced) && m_xvfbRun.state() == QProcess::Running &&
               !deadline.hasExpired())
            m_xvfbRun.waitForFinished(kPollMs);
        const QStringList fields = QString::fromLocal8Bit(TestHelpers::readFile(announced))
                                       .trimmed()
                                       .split(QLatin1Char(' '));
        if (fields.size() == 2 && m_xvfbRun.state() == QProcess::Running) {
            m_display = fields.at(0);
            m_programPid = fields.at(1).toLongLong();
            return true;
        }
        m_output += m_xvfbRun.readAll();
        if (m_xvfbRun.state() == QProcess::Running)
            break;
    }
    stop();
    if (error)
        *error = QStringLiteral("the virtual display did not come up: ") + output();
    return false;
}

bool AppSession::isRunning() const
{
    return m_xvfbRun.state() == QProcess::Running;
}

bool AppSession::runX(const QString& program, const QStringList& arguments, QByteArray* output,
                      int timeoutMs) const
{
    if (m_display.isEmpty())
        return false;
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("XAUTHORITY"), m_dir.filePath(QStringLiteral("Xauthority")));
    tool.setProcessEnvironment(environment);
    tool.start(program, arguments);
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return false;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

int AppSession::runAgain(QString* output, int timeoutMs)
{
    if (m_display.isEmpty())
        return -1;
    QProcessEnvironment environment = programEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("XAUTHORITY"), m_dir.filePath(QStringLiteral("Xauthority")));
    QProcess again;
    again.setProcessEnvironment(environment);
    again.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command = TestHelpers::withoutNetwork(QStringLiteral(HM_APP_BINARY));
    again.start(command.constFirst(), command.mid(1));
    const bool ended = again.waitForFinished(patient(timeoutMs));
    if (!ended) {
        again.kill();
        again.waitForFinished();
    }
    if (output)
        *output = QString::fromLocal8Bit(again.readAll());
    return ended && again.exitStatus() == QProcess::NormalExit ? again.exitCode() : -1;
}

bool AppSession::closeWindow(const QString& windowId) const
{
    return runX(QStringLiteral(HM_WMCLOSE_BINARY), {windowId}, nullptr);
}

bool AppSession::hasVisibleWindow(const QString& title) const
{
    const QString pattern = QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$');
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                    QStringLiteral("--name"), pattern});
}

bool AppSession::xdotool(const QStringList& arguments, QByteArray* output) const
{
    return runX(QStringLiteral("xdotool"), arguments, output);
}

QString AppSession::waitForWindow(const QString& title, int timeoutMs) const
{
    const QDeadlineTimer deadline(patient(timeoutMs));
    const QString window = findWindow(title, deadline);
    return !window.isEmpty() && waitUntilDrawn(window, deadline) ? window : QString();
}

QString AppSession::findWindow(const QString& title, const QDeadlineTimer& deadline) const
{
    const QString pattern = QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$');
    do {
        QByteArray found;
        if (xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--name"), pattern},
                    &found))
            return QString::fromLatin1(found).section(QLatin1Char('\n'), 0, 0).trimmed();
        QTest::qWait(kPollMs);
    } while (!deadline.hasExpired() && isRunning());
    return QString();
}

bool AppSession::waitUntilDrawn(const QString& windowId, const QDeadlineTimer& deadline) const
{
    do {
        if (isDrawn(screenshot(windowId)))
            return true;
        QTest::qWait(kPollMs);
    } while (!deadline.hasExpired() && isRunning());
    return false;
}

QSize AppSession::windowSize(const QString& windowId) const
{
    QByteArray geometry;
    if (!xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), windowId},
                 &geometry))
        return QSize();
    QSize size;
    for (const QByteArray& line : geometry.split('\n')) {
        if (line.startsWith("WIDTH="))
            size.setWidth(line.mid(6).toInt());
        else if (line.startsWith("HEIGHT="))
            size.setHeight(line.mid(7).toInt());
    }
    return size;
}

QString AppSession::windowProperty(const QString& windowId, const QString& name) const
{
    QByteArray text;
    if (!runX(QStringLiteral("xprop"), {QStringLiteral("-id"), windowId, name}, &text))
        return QString();
    return QString::fromUtf8(text);
}

QImage AppSession::screenshot(const QString& windowId) const
{
    QByteArray png;
    if (!runX(QStringLiteral("import"),
              {QStringLiteral("-silent"), QStringLiteral("-window"),
               windowId.isEmpty() ? QStringLiteral("root") : windowId, QStringLiteral("png:-")},
              &png))
        return QImage();
    return QImage::fromData(png, "PNG");
}

QImage AppSession::settledScreenshot(const QString& windowId, int timeoutMs) const
{
    const QDeadlineTimer deadline(patient(timeoutMs));
    QImage previous = screenshot(windowId);
    while (!deadline.hasExpired()) {
        QTest::qWait(kSettleGapMs);
        QImage current = screenshot(windowId);
        if (isDrawn(current) && current == previous)
            return current;
        previous = current;
    }
    return previous;
}

QImage AppSession::settledAfter(const QString& windowId, const std::function<bool()>& action,
                                int timeoutMs) const
{
    return settledAfter(windowId, settledScreenshot(windowId), action, timeoutMs);
}

QImage AppSession::settledAfter(const QString& windowId, const QImage& before,
                                const std::function<bool()>& action, int timeoutMs) const
{
    if (!action())
        return {};
    for (const QDeadlineTimer deadline(patient(timeoutMs));
         !deadline.hasExpired() && screenshot(windowId) == before;)
        QTest::qWait(kPollMs);
    return settledScreenshot(windowId);
}

bool AppSession::click(const QString& windowId, int x, int y, int button) const
{
    return xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"),
                    QStringLiteral("--window"), windowId, QString::number(x), QString::number(y),
                    QStringLiteral("click"), QString::number(button)});
}

bool AppSession::key(const QString& name) const
{
    return xdotool({QStringLiteral("key"), name});
}

bool AppSession::stop(int timeoutMs)
{
    if (m_xvfbRun.state() == QProcess::NotRunning)
        return true;
    // xvfb-run ends its display once the program is gone; before the program
    // runs, xvfb-run itself is asked to end.
    if (m_programPid > 0)
        ::kill(static_cast<pid_t>(m_programPid), SIGTERM);
    else
        m_xvfbRun.terminate();
    if (!m_xvfbRun.waitForFinished(timeoutMs)) {
        if (m_programPid > 0)
            ::kill(static_cast<pid_t>(m_programPid), SIGKILL);
        else
            m_xvfbRun.kill();
        m_xvfbRun.waitForFinished(timeoutMs);
    }
    m_output += m_xvfbRun.readAll();
    m_programPid = 0;
    m_display.clear();
    return m_xvfbRun.state() == QProcess::NotRunning;
}

QString AppSession::output()
{
    m_output += m_xvfbRun.readAll();
    return QString::fromLocal8Bit(m_output);
}
