// Renders the launcher's windows under a virtual display into PNG files, so
// the interface can be looked at without a desktop. Not a test: it prints the
// folder it wrote to.
#include "appsession.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QString folder;
    if (application.arguments().size() > 1) {
        folder = QDir(application.arguments().at(1)).absolutePath();
    } else {
        QTemporaryDir made(QDir::temp().filePath(QStringLiteral("hollowmere-screenshots-XXXXXX")));
        made.setAutoRemove(false);
        folder = made.path();
    }
    if (!QDir().mkpath(folder)) {
        err << "cannot create " << folder << Qt::endl;
        return 1;
    }

    AppSession session(QSize(1280, 720));
    QString error;
    if (!session.start({}, QString(), &error)) {
        err << error << Qt::endl;
        return 1;
    }
    const QString window = session.waitForWindow(QStringLiteral("Hollowmere"));
    if (window.isEmpty()) {
        err << "the main window did not show:\n" << session.output() << Qt::endl;
        return 1;
    }
    const QString file = QDir(folder).filePath(QStringLiteral("main-window.png"));
    if (!session.settledScreenshot(window).save(file)) {
        err << "cannot write " << file << Qt::endl;
        return 1;
    }
    session.stop();
    out << folder << Qt::endl;
    return 0;
}
