// The floor for the launcher's start-up: the same stack brought up the same way
// (web engine first, Basic style, a declarative engine) showing one window with
// one image and nothing else. startup_bench measures it beside the launcher.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QtWebEngineQuick>

namespace {
const char kWindow[] = R"(
import QtQuick

Window {
    width: 1280
    height: 720
    visible: true
    title: "Floor"

    Image {
        anchors.fill: parent
        source: "qrc:/floor/launcherBackground.png"
    }
}
)";
} // namespace

int main(int argc, char** argv)
{
    QtWebEngineQuick::initialize();
    QGuiApplication application(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QQmlApplicationEngine engine;
    engine.loadData(kWindow);
    if (engine.rootObjects().isEmpty())
        return -1;
    return application.exec();
}
