#include "app/limits.h"

#include <cstdio>
#include <unistd.h>

#include "clean/expansion.h"

namespace
{

// Bytes as a short figure: "512 MB", "2.1 GB".
std::string Megabytes(std::uint64_t bytes)
{
    char text[64];
    const double megabytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
    if (megabytes < 1024.0)
        std::snprintf(text, sizeof text, "%.0f MB", megabytes);
    else
        std::snprintf(text, sizeof text, "%.1f GB", megabytes / 1024.0);
    return text;
}

std::uint64_t MemoryOf(std::uint64_t triangles)
{
    return triangles > UINT64_MAX / kBytesPerTriangle ? UINT64_MAX : triangles * kBytesPerTriangle;
}

}  // namespace

std::uint64_t PhysicalMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::string CheckLimits(const LegoPart& part, const std::string& modelPath,
                        std::uint64_t maxTriangles, std::uint64_t memory)
{
    const std::uint64_t peak = PredictPeakTriangles(part);
    const std::uint64_t bytes = MemoryOf(peak);
    const std::string held = modelPath + " would hold " + std::to_string(peak) +
                             " triangles at once (about " + Megabytes(bytes) + " of memory)";
    if (maxTriangles != 0 && peak > maxTriangles)
        return held + ", more than --max-triangles=" + std::to_string(maxTriangles) +
               "; not converted";
    if (memory != 0 && bytes > memory)
        return held + ", more than the " + Megabytes(memory) + " this machine has; not converted";
    const std::uint64_t copied = CountTrianglesAfterMerging(part);
    if (copied > kMostTrianglesCopied)
        return held + " and copy " + std::to_string(copied) + " while merging, more than the " +
               std::to_string(kMostTrianglesCopied) + " a conversion may copy; not converted";
    return std::string();
}
