#pragma once

#include <cstdint>

#include "model/legopart.h"

// The triangles the tree holds as read plus every triangle that cleaning
// copies while it merges the files below each part into the part (as the
// driver runs it: flattening to parts). Each merge counts with its
// multiplicity: a file placed a thousand times in a file that is itself
// placed a thousand times counts a million times. It bounds both the
// triangles held at once and the work of merging, and is known before any of
// that work is done. Saturates at the largest value instead of wrapping.
std::uint64_t CountTrianglesAfterMerging(const LegoPart& part);

// The most triangles that flattening to parts holds at once, simulated on
// the counts in the order the driver's cleaning merges: a finished file is
// merged into every file that references it and then released. Known before
// any merging; saturates like the count above.
std::uint64_t PredictPeakTriangles(const LegoPart& part);
