#pragma once

#include "regularfile.h"

#include <QString>

// The player's words for why a file could not be read, in the current language.
namespace ReadFailureText {

// The reason alone: "not a regular file", "the file is too large", or the system's text.
QString reason(const RegularFile::Failure& failure);
// "Could not read <path>: <reason>".
QString message(const QString& path, const RegularFile::Failure& failure);

} // namespace ReadFailureText
