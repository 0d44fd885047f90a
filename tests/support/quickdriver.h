#pragma once

#include <QString>

class QObject;
class QQmlApplicationEngine;
class QQuickItem;
class QQuickWindow;

// Drives the launcher's window in-process, as a player would: the window is
// loaded from the interface module, its items found by object name (inside
// dialogs and list rows too) and clicked with the mouse.
namespace QuickDriver {

// The main window that the engine made of the module's Main.qml; null, with the
// engine's words in error, when it did not come up.
QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine, QString* error = nullptr);

// The first object below root with that object name, items of popups and
// delegates included; null when there is none.
QObject* find(QObject* root, const QString& name);
QQuickItem* findItem(QObject* root, const QString& name);

// A left click in the middle of the item; false when it is not shown.
bool click(QQuickItem* item);

} // namespace QuickDriver
