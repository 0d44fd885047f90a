#include "quickdriver.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QTest>

namespace QuickDriver {

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, QString* error)
{
    QString words;
    QObject::connect(&engine, &QQmlApplicationEngine::warnings, &engine,
                     [&words](const QList<QQmlError>& warnings) {
                         for (const QQmlError& warning : warnings)
                             words += warning.toString() + QLatin1Char('\n');
                     });
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Hollowmere/Main.qml")));
    QQuickWindow* window = engine.rootObjects().isEmpty()
                               ? nullptr
                               : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (!window && error)
        *error = words;
    return window;
}

namespace {

QObject* findBelow(QObject* root, const QString& name, QSet<QObject*>& seen)
{
    if (!root || seen.contains(root))
        return nullptr;
    seen.insert(root);
    if (root->objectName() == name)
        return root;
    // The web engine builds the objects below its view without type information,
    // so a sanitized build cannot check calls on them; no test looks for one.
    if (root->inherits("QQuickWebEngineView"))
        return nullptr;
    // Popups and list rows hang below other items than their QObject parent.
    QList<QObject*> below = root->children();
    if (auto* item = qobject_cast<QQuickItem*>(root))
        for (QQuickItem* child : item->childItems())
            below.append(child);
    if (auto* window = qobject_cast<QQuickWindow*>(root))
        below.append(window->contentItem()->parentItem());
    for (QObject* child : below)
        if (QObject* found = findBelow(child, name, seen))
            return found;
    return nullptr;
}

} // namespace

QObject* find(QObject* root, const QString& name)
{
    QSet<QObject*> seen;
    return findBelow(root, name, seen);
}

QQuickItem* findItem(QObject* root, const QString& name)
{
    return qobject_cast<QQuickItem*>(find(root, name));
}

bool click(QQuickItem* item)
{
    if (!item || !item->window() || !item->isVisible() || !item->isEnabled())
        return false;
    const QPointF middle = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, {}, middle.toPoint());
    return true;
}

} // namespace QuickDriver
