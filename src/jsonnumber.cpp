#include "jsonnumber.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace {
// 2^63: every double of smaller magnitude truncates to a 64-bit integer.
constexpr double kBeyond64Bits = 9223372036854775808.0;
} // namespace

namespace JsonNumber {

qint64 byteCount(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double number = std::trunc(value.toDouble());
    if (std::abs(number) < kBeyond64Bits)
        return value.toInteger(qint64(number));
    // As a double the largest 64-bit integers round up to 2^63; stored exactly they fit.
    return value.toInteger(0);
}

qint64 size(const QJsonValue& value)
{
    return std::max<qint64>(0, byteCount(value));
}

} // namespace JsonNumber
