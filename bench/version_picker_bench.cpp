// The version picker over a catalog of the real manifest's size: 800 versions,
// 200 of them installed, handed over from C++ as the backend hands them. Times
// opening the dialog (openFor until the frame that shows it is on screen) and
// each keystroke typed into its search field (the key until the frame that shows
// the new rows), on a virtual X display.
//
// Usage: version_picker_bench [rounds]   (re-runs itself under xvfb-run when no display)
#include "testhelpers.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// The backend members the picker reads, with the catalog rows the backend builds.
class CatalogBackend : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList versionCatalog READ versionCatalog NOTIFY versionCatalogChanged)
    Q_PROPERTY(bool catalogLoading READ catalogLoading CONSTANT)

public:
    CatalogBackend()
    {
        const auto add = [this](const QString& id, const QString& type, bool installed) {
            const bool known =
                type == QLatin1String("release") || type == QLatin1String("snapshot") ||
                type == QLatin1String("old_beta") || type == QLatin1String("old_alpha");
            m_rows.append(QVariantMap{{"id", id},
                                      {"type", type},
                                      {"category", known ? type : QStringLiteral("other")},
                                      {"label", id},
                                      {"installed", installed},
                                      {"search", (id + QLatin1Char(' ') + type).toLower()}});
        };
        // 160 of the listed versions and the 40 that only the game folder holds.
        const auto installed = [this] { return m_rows.size() % 19 < 4; };
        for (int minor = 21; minor >= 0; --minor)
            for (int patch = 6; patch >= 0; --patch)
                add(QStringLiteral("1.%1.%2").arg(minor).arg(patch), "release", installed());
        for (int week = 0; m_rows.size() < 600; ++week)
            add(QStringLiteral("%1w%2a")
                    .arg(24 - week / 52)
                    .arg(week % 52 + 1, 2, 10, QLatin1Char('0')),
                "snapshot", installed());
        for (int beta = 0; beta < 90; ++beta)
            add(QStringLiteral("b1.%1.%2").arg(beta / 10).arg(beta % 10), "old_beta", installed());
        for (int alpha = 0; m_rows.size() < 760; ++alpha)
            add(QStringLiteral("a1.%1.%2").arg(alpha / 10).arg(alpha % 10), "old_alpha",
                installed());
        for (int other = 0; m_rows.size() < 800; ++other)
            add(QStringLiteral("fabric-loader-0.16.%1-1.21").arg(other), QString(), true);
    }

    QVariantList versionCatalog() const { return m_rows; }
    bool catalogLoading() const { return false; }
    Q_INVOKABLE void refreshVersionCatalog() { emit versionCatalogChanged(); }
    Q_INVOKABLE QVariantMap versionRemovalInfo(const QString&) const { return {}; }
    Q_INVOKABLE void removeVersion(const QString&) {}

signals:
    void versionCatalogChanged();

private:
    QVariantList m_rows;
};

const char kScene[] = R"(
import QtQuick
import Hollowmere

Window {
    id: root

    property alias picker: picker
    required property var backend

    width: 1280
    height: 720
    visible: true

    VersionPickerDialog {
        id: picker

        backend: root.backend
    }
}
)";

// Runs the action, then waits for the next frame on screen; the time of both.
double untilFrame(QQuickWindow* window, const std::function<void()>& action)
{
    QEventLoop loop;
    const QMetaObject::Connection connection =
        QObject::connect(window, &QQuickWindow::frameSwapped, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    action();
    window->update();
    loop.exec();
    const double ms = clock.nsecsElapsed() / 1e6;
    QObject::disconnect(connection);
    return ms;
}

struct Figures {
    QList<double> values;

    void add(double value) { values.append(value); }
    QString text() const
    {
        QList<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return QStringLiteral("median %1 ms, 90th percentile %2 ms, max %3 ms (%4 samples)")
            .arg(sorted.at(sorted.size() / 2), 0, 'f', 2)
            .arg(sorted.at(sorted.size() * 9 / 10), 0, 'f', 2)
            .arg(sorted.last(), 0, 'f', 2)
            .arg(sorted.size());
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        QCoreApplication probe(argc, argv);
        return QProcess::execute(
            QStringLiteral("xvfb-run"),
            QStringList{QStringLiteral("-a"), QStringLiteral("-s"),
                        QStringLiteral("-screen 0 1600x900x24 -nolisten tcp")} +
                probe.arguments());
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication application(argc, argv);
    QTextStream out(stdout);
    if (!TestHelpers::loadEnglishCatalog()) {
        out << "the translation catalog did not load" << Qt::endl;
        return 1;
    }
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    const int rounds = std::max(1, application.arguments().value(1, QStringLiteral("5")).toInt());

    QQmlEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    CatalogBackend backend;
    QQmlComponent component(&engine);
    component.setData(kScene, QUrl(QStringLiteral("file:///bench/picker.qml")));
    if (component.isError()) {
        out << component.errorString() << Qt::endl;
        return 1;
    }
    std::unique_ptr<QObject> root(
        component.createWithInitialProperties({{"backend", QVariant::fromValue(&backend)}}));
    auto* window = qobject_cast<QQuickWindow*>(root.get());
    if (!window) {
        out << component.errorString() << Qt::endl;
        return 1;
    }
    QObject* picker = root->property("picker").value<QObject*>();
    if (!QTest::qWaitForWindowExposed(window)) {
        out << "the window did not show" << Qt::endl;
        return 1;
    }
    QTest::qWait(200);

    Figures opening;
    Figures keystrokes;
    Figures rowsOnly;
    Figures frameOnly;
    const QString query = QStringLiteral("1.2");
    for (int round = 0; round < rounds; ++round) {
        // A selected release, so the category and the cursor are set as in use.
        opening.add(untilFrame(window, [picker] {
            QMetaObject::invokeMethod(picker, "openFor", Q_ARG(QVariant, QStringLiteral("1.20.4")));
        }));
        QTest::qWait(100);
        // "1", "1.", "1.2", then back to nothing, and the same in the snapshots.
        for (const QString& category : {QStringLiteral("release"), QStringLiteral("snapshot")}) {
            picker->setProperty("category", category);
            QTest::qWait(50);
            for (const QChar key : query + QStringLiteral("\b\b\b")) {
                keystrokes.add(untilFrame(window, [window, key] {
                    if (key == QLatin1Char('\b'))
                        QTest::keyClick(window, Qt::Key_Backspace);
                    else
                        QTest::keyClick(window, key.toLatin1());
                }));
                QTest::qWait(20);
            }
        }
        // A frame with nothing changed: the floor under both figures above.
        for (int i = 0; i < 10; ++i) {
            frameOnly.add(untilFrame(window, [] {}));
            QTest::qWait(20);
        }
        QMetaObject::invokeMethod(picker, "close");
        QTest::qWait(200);
    }
    // The derivation alone, over every category, without a frame.
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer clock;
        clock.start();
        picker->setProperty("filterText", i % 2 ? QStringLiteral("1.2") : QString());
        picker->property("visibleEntries");
        rowsOnly.add(clock.nsecsElapsed() / 1e6);
    }

    out << QStringLiteral("catalog: %1 versions, 200 installed")
               .arg(backend.versionCatalog().size())
        << Qt::endl;
    out << QStringLiteral("opening (openFor to the frame on screen): ") << opening.text()
        << Qt::endl;
    out << QStringLiteral("keystroke (key to the frame on screen): ") << keystrokes.text()
        << Qt::endl;
    out << QStringLiteral("rows derived anew (no frame): ") << rowsOnly.text() << Qt::endl;
    out << QStringLiteral("a frame with nothing changed: ") << frameOnly.text() << Qt::endl;
    return 0;
}

#include "version_picker_bench.moc"
