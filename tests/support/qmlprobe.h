#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QQmlEngine;

// Small QML objects made in-process from source text, to watch bindings of the
// interface's module (such as Loc.t) follow native changes.
namespace QmlProbe {

// Null, with the engine's words in error, when the source does not make an object.
std::unique_ptr<QObject> create(QQmlEngine& engine, const char* source, QString* error);

} // namespace QmlProbe
