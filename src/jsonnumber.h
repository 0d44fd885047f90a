#pragma once

#include <QtGlobal>

class QJsonValue;

// How numbers read from JSON files and catalogs become integers: a JSON number may be
// a fraction or far beyond any integer, and converting such a double to an integer type
// is undefined.
namespace JsonNumber {

// A byte count stored as a JSON number, truncated toward zero (a whole number stored
// exactly comes back exactly); 0 when it is missing, not a number or beyond 64 bits. A
// negative count comes back as it is: what it means is the caller's rule.
qint64 byteCount(const QJsonValue& value);
// A size a remote document gives: its byte count, 0 (unknown) when that is below zero.
// Every size of a remote document is read by this rule.
qint64 size(const QJsonValue& value);

} // namespace JsonNumber
