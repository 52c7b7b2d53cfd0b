#pragma once

#include <cstdint>
#include <string>

#include "model/legopart.h"

// Memory a triangle takes at the conversion's peak, all it carries
// included (vertices, colours, normals, lookups), measured on the largest
// real models.
constexpr std::uint64_t kBytesPerTriangle = 512;

// Most triangles merging may copy, counted with every multiplicity
// (CountTrianglesAfterMerging). The largest real sets copy a few tens of
// millions; this many would take minutes of merging alone.
constexpr std::uint64_t kMostTrianglesCopied = 250000000;

// The memory the machine has, in bytes; 0 when it cannot be told.
std::uint64_t PhysicalMemory();

// Why the model read into `part` is not converted, as the text after
// "Error: ", or empty when it may be. `maxTriangles` (0: none) bounds the
// triangles held at once; the machine's memory bounds their predicted memory.
std::string CheckLimits(const LegoPart& part, const std::string& modelPath,
                        std::uint64_t maxTriangles, std::uint64_t memory);
