#pragma once

#include <QtGlobal>

#include <limits>

// Sums of the sizes that remote documents give, with the progress made against them. A
// document may name sizes whose sum passes 64 bits: such a sum tells nothing of the work
// left, so it reads as unknown instead of wrapping.
namespace ByteCount {

// A sum that passed 64 bits; progress against it has no total.
inline constexpr qint64 kUnknown = std::numeric_limits<qint64>::max();

// a + b, each taken as 0 when below zero; kUnknown when either is unknown or the sum
// would pass it.
qint64 sum(qint64 a, qint64 b);
// The total as the progress panel shows it: 0 (none) when unknown.
qint64 shownTotal(qint64 total);
// How much of total done is, 0..1; -1 while total is none or unknown.
double fraction(qint64 done, qint64 total);

} // namespace ByteCount
