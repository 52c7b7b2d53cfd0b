#pragma once

#include <cstddef>

namespace Prefault
{

// Faults the whole 2 MiB pages of [begin, begin + bytes) in now, split over
// every job, without changing what they hold. For a large block that one
// thread is about to fill: a fresh page's first touch is the dearest part
// of filling it, and this way every core takes its share of them. Does
// nothing for less than two such pages, on one job, or where the system
// cannot do it.
void InParallel(const void* begin, std::size_t bytes);

}  // namespace Prefault
