#pragma once

#include <QString>

// Folders a job makes for the files it writes, and the player's words when one cannot be
// made.
namespace Folders {

// Makes the folder with every parent it lacks; true when it stands there already. A
// failure fills error, when given, with "Could not create <folder>: <the system's
// reason>".
bool make(const QString& path, QString* error = nullptr);

} // namespace Folders
