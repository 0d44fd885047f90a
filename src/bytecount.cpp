#include "bytecount.h"

#include <algorithm>

namespace ByteCount {

qint64 sum(qint64 a, qint64 b)
{
    a = std::max<qint64>(a, 0);
    b = std::max<qint64>(b, 0);
    return a >= kUnknown - b ? kUnknown : a + b;
}

qint64 shownTotal(qint64 total)
{
    return total == kUnknown ? 0 : std::max<qint64>(total, 0);
}

double fraction(qint64 done, qint64 total)
{
    if (shownTotal(total) < 1)
        return -1.0;
    return std::clamp(double(done) / double(total), 0.0, 1.0);
}

} // namespace ByteCount
