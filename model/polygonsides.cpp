#include "model/polygonsides.h"

#include <algorithm>
#include <cstdint>

#include "model/buckets.h"
#include "model/parallel.h"

namespace
{

// Meshes of fewer polygons than this are not worth the threads.
constexpr std::size_t kManyPolygons = 65536;

unsigned SideCount(const _Polygon& polygon)
{
    const unsigned count = polygon.vertexIndices.size();
    return count > 2 ? count : count == 2 ? 1 : 0;
}

// A side filed under the lower of its two vertices: its number and its
// other vertex.
struct FiledSide
{
    unsigned side;
    unsigned far;
};

}  // namespace

PolygonSides FindPolygonSides(const std::vector<_Polygon>& polygons, unsigned vertexCount)
{
    PolygonSides sides;
    const std::size_t polygonCount = polygons.size();
    sides.start.resize(polygonCount + 1);
    sides.start[0] = 0;
    for (std::size_t p = 0; p < polygonCount; ++p)
        sides.start[p + 1] = sides.start[p] + SideCount(polygons[p]);
    // Each side first holds its own polygon.
    sides.across.resize(sides.start[polygonCount]);
    Parallel::For(polygonCount, 16384,
                  [&](std::size_t begin, std::size_t end)
                  {
                      for (std::size_t p = begin; p < end; ++p)
                          for (unsigned s = sides.start[p]; s < sides.start[p + 1]; ++s)
                              sides.across[s] = static_cast<int>(p);
                  });

    // Every side under its lower vertex, in polygon order: the sides that
    // join the same two vertices are filed together, in the order the edge
    // records meet them.
    const auto visit = [&](auto emit)
    {
        for (std::size_t p = 0; p < polygonCount; ++p)
        {
            const _Polygon& polygon = polygons[p];
            const unsigned count = polygon.vertexIndices.size();
            const unsigned* corner = polygon.vertexIndices.data();
            for (unsigned k = 0; k < SideCount(polygon); ++k)
            {
                const unsigned a = corner[k];
                const unsigned b = corner[k + 1 < count ? k + 1 : 0];
                emit(std::min(a, b), FiledSide{sides.start[p] + k, std::max(a, b)});
            }
        }
    };
    // Kept in pages: a mesh of millions of polygons is oriented after its
    // merges have left the heap with holes that pages fit and one block of
    // its sides would not.
    const PagedBuckets<FiledSide> filed =
        polygonCount < kManyPolygons
            ? BuildBuckets<FiledSide, PagedArray<FiledSide>>(vertexCount, visit)
            : BuildBucketsOnEveryJob<FiledSide, PagedArray<FiledSide>>(vertexCount, visit);

    // Each vertex's sides are read whole before any is given its answer.
    Parallel::For(
        vertexCount, 8192,
        [&](std::size_t begin, std::size_t end)
        {
            struct Member
            {
                unsigned far;
                unsigned position;  // in the vertex's list: polygon order
                int polygon;
            };
            std::vector<Member> members;
            for (std::size_t v = begin; v < end; ++v)
            {
                const unsigned first = filed.first[v];
                const unsigned last = filed.first[v + 1];
                if (last - first == 1)
                {
                    sides.across[filed.items[first].side] = -1;
                    continue;
                }
                members.clear();
                for (unsigned i = first; i < last; ++i)
                    members.push_back(
                        {filed.items[i].far, i - first, sides.across[filed.items[i].side]});
                std::sort(members.begin(), members.end(),
                          [](const Member& a, const Member& b)
                          { return a.far != b.far ? a.far < b.far : a.position < b.position; });
                // Each run of one far vertex is one edge: A is its first
                // side's polygon, B its last one's once there are two.
                for (std::size_t r = 0; r < members.size();)
                {
                    std::size_t runEnd = r + 1;
                    while (runEnd < members.size() && members[runEnd].far == members[r].far)
                        ++runEnd;
                    const int a = members[r].polygon;
                    const int b = runEnd - r > 1 ? members[runEnd - 1].polygon : -1;
                    for (std::size_t m = r; m < runEnd; ++m)
                        sides.across[filed.items[first + members[m].position].side] =
                            members[m].polygon == a ? b : a;
                    r = runEnd;
                }
            }
        });
    return sides;
}
