#pragma once

#include <QString>
#include <QVariantMap>

// What the player types into a one-line field: a name, a login, an address, a path, the
// JVM arguments. Such a text never keeps a line break, wherever it was pasted from: the
// interface shows it on one line and the game is handed it as one name or one address.
namespace FieldText {

// The text with every run of line breaks made one space, and trimmed.
QString oneLine(const QString& text);
// The values with every text among them made one line; other values as they are.
QVariantMap oneLineTexts(const QVariantMap& values);

} // namespace FieldText
