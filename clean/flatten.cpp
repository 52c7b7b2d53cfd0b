#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "clean/treeops.h"
#include "model/buckets.h"
#include "model/legopart.h"
#include "model/parallel.h"

namespace
{

constexpr const char* kDeletedText = "<Deleted by FlattenNode>";

bool IsFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Corner normal k of face f; faces that never got a record read as the mesh's
// initial normal.
Vector3 CornerNormal(const LEGOPolyMesh& mesh, unsigned f, unsigned k)
{
    return f < mesh.GetFaceCount() ? mesh.FaceNormal(f, k) : Vector3();
}

}  // namespace

namespace cleaning
{

std::vector<unsigned> NodesByPolygonCount(const std::vector<_LegoNode>& nodes)
{
    std::vector<unsigned> order(nodes.size());
    for (unsigned i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&nodes](unsigned a, unsigned b)
                     { return nodes[a].mesh.GetPolygonCount() > nodes[b].mesh.GetPolygonCount(); });
    return order;
}

int MergedColor(const ColorTable& colours, int faceColor, int referenceColor)
{
    if (faceColor == LDrawColor::Main)
        return referenceColor;
    if (faceColor != LDrawColor::Edge)
        return faceColor;
    // An edge face placed with the main colour stays unresolved; a later merge
    // may still give it a concrete colour.
    if (referenceColor == LDrawColor::Main)
        return LDrawColor::Edge;
    // The edge colour of the placing colour; 24 through 24 gives 16.
    return colours.ComplementaryColor(referenceColor);
}

unsigned MergeReference(const ColorTable& colours, std::vector<_LegoNode>& nodes, unsigned parent,
                        unsigned reference, bool copyNormals)
{
    if (parent >= nodes.size() || reference >= nodes[parent].children.size())
        return 0;
    return MergeInstance(colours, nodes, parent, nodes[parent].children[reference], copyNormals);
}

double PlacedSeparation(const Matrix4x4& M, double apart, const Vector3& extent)
{
    const double* m = M.m;
    // The smallest stretch of the 3x3 part A: the square root of the least
    // eigenvalue of A^T A, bounded below by Gershgorin's discs.
    double g[3][3];
    double largest = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
        {
            g[i][j] = m[i] * m[j] + m[4 + i] * m[4 + j] + m[8 + i] * m[8 + j];
            largest = std::max(largest, std::fabs(g[i][j]));
        }
    double least = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 3; ++i)
        least =
            std::min(least, g[i][i] - std::fabs(g[i][(i + 1) % 3]) - std::fabs(g[i][(i + 2) % 3]));
    // Room for the rounding of A^T A itself.
    least -= 1e-12 * largest;
    if (!(least > 0.0))
        return 0.0;
    // Each placed coordinate is three products and three sums, each rounded:
    // at most 8 units in the last place of the sum of their sizes.
    constexpr double kUnit = std::numeric_limits<double>::epsilon() / 2;
    double squared = 0.0;
    for (int r = 0; r < 3; ++r)
    {
        const double* row = m + 4 * r;
        const double error = 8 * kUnit *
                             (std::fabs(row[0]) * extent.x + std::fabs(row[1]) * extent.y +
                              std::fabs(row[2]) * extent.z + std::fabs(row[3]));
        squared += error * error;
    }
    // Two points each off by at most sqrt(squared); `apart` itself was
    // measured with rounding.
    const double placed = std::sqrt(least) * apart * (1 - 1e-12) - 2 * std::sqrt(squared) * 1.01;
    return std::isfinite(placed) && placed > 0.0 ? placed : 0.0;
}

// A corner may name at most one more than the highest vertex named before
// it, and the highest named must be the last vertex: on every job, each run
// of triangles notes its highest vertex and the highest one it needs before.
bool IsInFirstUseOrder(const PolyMesh& source)
{
    constexpr std::size_t kGrain = 65536;
    const std::size_t triangleCount = source.GetPolygonCount();
    const std::size_t runCount = (triangleCount + kGrain - 1) / kGrain;
    // Per run: its highest vertex, and the highest that a corner names
    // beyond one more than the highest named before it within the run.
    constexpr std::int64_t kNone = -1;
    std::vector<std::int64_t> highest(runCount, kNone), needed(runCount, kNone);
    Parallel::For(runCount, 1,
                  [&](std::size_t begin, std::size_t end)
                  {
                      for (std::size_t r = begin; r < end; ++r)
                      {
                          std::int64_t high = kNone, need = kNone;
                          const std::size_t last = std::min(triangleCount, (r + 1) * kGrain);
                          for (std::size_t i = r * kGrain; i < last; ++i)
                              for (unsigned k = 0; k < 3; ++k)
                              {
                                  const std::int64_t v =
                                      source.GetPolygonVertexIndex(static_cast<unsigned>(i), k);
                                  if (v > high + 1)
                                      need = std::max(need, v);
                                  high = std::max(high, v);
                              }
                          highest[r] = high;
                          needed[r] = need;
                      }
                  });
    std::int64_t high = kNone;
    for (std::size_t r = 0; r < runCount; ++r)
    {
        if (needed[r] > high + 1)
            return false;
        high = std::max(high, highest[r]);
    }
    return high + 1 == static_cast<std::int64_t>(source.GetVertexCount());
}

namespace
{

constexpr unsigned kUnplaced = ~0u;
// A vertex that placing carries beyond the range of doubles.
constexpr unsigned kOverflowed = ~0u - 1;
// A vertex waiting for its lookup; every real index is below these marks.
constexpr unsigned kQueued = ~0u - 2;

// Below this many triangles a merge is cheap enough one corner at a time.
constexpr unsigned kManyTriangles = 2048;

// Room for `count` values that are each made once, on whichever job comes to
// them, before any is read: a large merge's arrays are not first cleared on
// one thread, which here is where the pages are first touched.
template <typename T>
class MadeOnJobs
{
    static_assert(std::is_trivially_destructible<T>::value, "nothing to destroy");

public:
    explicit MadeOnJobs(std::size_t count)
        : items(static_cast<T*>(::operator new(std::max<std::size_t>(1, count) * sizeof(T))))
    {
    }
    MadeOnJobs(const MadeOnJobs&) = delete;
    MadeOnJobs& operator=(const MadeOnJobs&) = delete;
    ~MadeOnJobs() { Release(); }

    void Make(std::size_t i, const T& value) { ::new (static_cast<void*>(items + i)) T(value); }
    T& operator[](std::size_t i) { return items[i]; }
    const T& operator[](std::size_t i) const { return items[i]; }
    T* data() { return items; }
    const T* data() const { return items; }
    void Release()
    {
        ::operator delete(items);
        items = nullptr;
    }

private:
    T* items;
};

// Room for `count` values as MadeOnJobs gives it, in pages of 64 Ki values:
// a merge of a million vertices into a mesh of millions is made after the
// merges before it have left the heap with holes that pages fit and one
// block of them would not.
template <typename T>
class PagesMadeOnJobs
{
    static_assert(std::is_trivially_destructible<T>::value, "nothing to destroy");
    static constexpr unsigned kPageBits = 16;
    static constexpr std::size_t kPageItems = std::size_t(1) << kPageBits;

public:
    explicit PagesMadeOnJobs(std::size_t count)
    {
        pages.reserve((count + kPageItems - 1) / kPageItems);
        try
        {
            for (std::size_t first = 0; first < count; first += kPageItems)
                pages.push_back(static_cast<T*>(
                    ::operator new(std::min(kPageItems, count - first) * sizeof(T))));
        }
        catch (...)
        {
            Release();
            throw;
        }
    }
    PagesMadeOnJobs(const PagesMadeOnJobs&) = delete;
    PagesMadeOnJobs& operator=(const PagesMadeOnJobs&) = delete;
    ~PagesMadeOnJobs() { Release(); }

    void Make(std::size_t i, const T& value)
    {
        ::new (static_cast<void*>(pages[i >> kPageBits] + (i & (kPageItems - 1)))) T(value);
    }
    T& operator[](std::size_t i) { return pages[i >> kPageBits][i & (kPageItems - 1)]; }
    const T& operator[](std::size_t i) const { return pages[i >> kPageBits][i & (kPageItems - 1)]; }
    void Release()
    {
        for (T* page : pages)
            ::operator delete(page);
        std::vector<T*>().swap(pages);
    }

private:
    std::vector<T*> pages;
};

// Appends the triangles of `source`, whose corners are the vertices of
// `placedVertex` (none overflowed where the triangle is kept), recoloured.
unsigned AppendTriangles(const ColorTable& colours, const LEGOPolyMesh& source,
                         LEGOPolyMesh& target, const _LegoInstance& instance,
                         const unsigned* placedVertex, bool copyNormals)
{
    const unsigned triangleCount = source.GetPolygonCount();
    unsigned droppedCount = 0;
    for (unsigned i = 0; i < triangleCount; ++i)
    {
        unsigned corners[3];
        bool isFinite = true;
        for (unsigned k = 0; k < 3; ++k)
        {
            corners[k] = placedVertex[source.GetPolygonVertexIndex(i, k)];
            isFinite = isFinite && corners[k] != kOverflowed;
        }
        if (!isFinite)
        {
            ++droppedCount;
            continue;
        }
        const int color = MergedColor(colours, source.FaceColor(i), instance.color);
        const unsigned face = target.AddPolygonOnVertices(3, corners);
        target.FaceColor(face) = color;
        if (copyNormals)
        {
            Vector3 normals[3];
            for (unsigned k = 0; k < 3; ++k)
                normals[k] = TransformNormal(CornerNormal(source, i, k), instance.transform);
            target.SetFaceNormals(face, 3, normals);
        }
    }
    return droppedCount;
}

// A coarse map of where a mesh's vertices lie: kCells cells a side over
// their bounding box, a cell marked when a vertex lies within kReach of it
// on every axis. A position in an unmarked cell, or beyond the box, has no
// vertex within kReach: it merges with none and is close to none, so it
// needs no lookup. Cheap to ask, and small enough to stay in the cache,
// where a lookup in a large mesh waits for memory.
class OccupiedCells
{
public:
    explicit OccupiedCells(const PolyMesh& mesh)
    {
        // Both passes on every job: the box is a minimum and a maximum, and
        // marking a cell twice marks it.
        constexpr std::size_t kGrain = 16384;
        const unsigned count = mesh.GetVertexCount();
        std::mutex boxLock;
        bool any = false;
        bool isTooLarge = false;
        Vector3 least, most;
        Parallel::For(count, kGrain,
                      [&](std::size_t begin, std::size_t end)
                      {
                          bool anyHere = false;
                          Vector3 rangeLeast, rangeMost;
                          for (std::size_t i = begin; i < end; ++i)
                          {
                              const Vector3 v = mesh.GetVertex(static_cast<unsigned>(i));
                              if (!IsFinite(v))
                                  continue;
                              if (std::fabs(v.x) > kLargest || std::fabs(v.y) > kLargest ||
                                  std::fabs(v.z) > kLargest)
                              {
                                  const std::lock_guard<std::mutex> lock(boxLock);
                                  isTooLarge = true;
                                  return;
                              }
                              rangeLeast = anyHere ? component_min(rangeLeast, v) : v;
                              rangeMost = anyHere ? component_max(rangeMost, v) : v;
                              anyHere = true;
                          }
                          if (!anyHere)
                              return;
                          const std::lock_guard<std::mutex> lock(boxLock);
                          least = any ? component_min(least, rangeLeast) : rangeLeast;
                          most = any ? component_max(most, rangeMost) : rangeMost;
                          any = true;
                      });
        if (isTooLarge)
            return;  // the reach could be lost in rounding: rule nothing out
        isUsed = true;
        marked =
            std::make_unique<std::atomic<unsigned char>[]>(std::size_t(kCells) * kCells * kCells);
        if (!any)
            return;
        for (int axis = 0; axis < 3; ++axis)
        {
            lo[axis] = Axis(least, axis);
            const double extent = Axis(most, axis) - lo[axis];
            scale[axis] = extent > 0.0 ? kCells / extent : 0.0;
            low[axis] = lo[axis] - kReach;
            high[axis] = Axis(most, axis) + kReach;
        }
        Parallel::For(count, kGrain,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t i = begin; i < end; ++i)
                          {
                              const Vector3 v = mesh.GetVertex(static_cast<unsigned>(i));
                              if (!IsFinite(v))
                                  continue;
                              int from[3], to[3];
                              for (int axis = 0; axis < 3; ++axis)
                              {
                                  from[axis] = Cell(Axis(v, axis) - kReach, axis);
                                  to[axis] = Cell(Axis(v, axis) + kReach, axis);
                              }
                              for (int x = from[0]; x <= to[0]; ++x)
                                  for (int y = from[1]; y <= to[1]; ++y)
                                      for (int z = from[2]; z <= to[2]; ++z)
                                          marked[Index(x, y, z)].store(1,
                                                                       std::memory_order_relaxed);
                          }
                      });
    }

    // False only when no vertex lies within kReach of `position` on every
    // axis.
    bool MayHaveVertexNear(const Vector3& position) const
    {
        if (!isUsed || !IsFinite(position))
            return true;
        for (int axis = 0; axis < 3; ++axis)
            if (!(Axis(position, axis) >= low[axis] && Axis(position, axis) <= high[axis]))
                return false;
        return marked[Index(Cell(position.x, 0), Cell(position.y, 1), Cell(position.z, 2))].load(
                   std::memory_order_relaxed) != 0;
    }

private:
    static constexpr int kCells = 64;
    // Twice the distance within which lookups report anything.
    static constexpr double kReach = 2 * VertexGrid::kKnownDistance;
    // Below this magnitude a coordinate plus or minus kReach rounds by far
    // less than the margin between kReach and the known distance.
    static constexpr double kLargest = 67108864.0;

    // Monotone in the value, as rounding, flooring and clamping are: a value
    // between two others gets a cell between theirs. Truncating a positive
    // value floors it.
    int Cell(double value, int axis) const
    {
        const double c = (value - lo[axis]) * scale[axis];
        return c <= 0.0 ? 0 : c >= kCells - 1 ? kCells - 1 : static_cast<int>(c);
    }
    static std::size_t Index(int x, int y, int z)
    {
        return (std::size_t(x) * kCells + std::size_t(y)) * kCells + std::size_t(z);
    }

    static double Axis(const Vector3& v, int axis)
    {
        return axis == 0 ? v.x : axis == 1 ? v.y : v.z;
    }

    bool isUsed = false;
    double lo[3] = {0.0, 0.0, 0.0};
    double scale[3] = {0.0, 0.0, 0.0};
    double low[3] = {0.0, 0.0, 0.0};
    double high[3] = {0.0, 0.0, 0.0};
    std::unique_ptr<std::atomic<unsigned char>[]> marked;
};

// The vertices of `source` in the order in which its corners first use
// them, leaving out those only triangles with an overflowed corner (marked
// in placedVertex) use; each is marked queued in placedVertex.
std::vector<unsigned> FirstUseOrder(const PolyMesh& source, unsigned* placedVertex,
                                    bool anyOverflowed)
{
    constexpr std::size_t kGrain = 4096;
    const unsigned vertexCount = source.GetVertexCount();
    const unsigned triangleCount = source.GetPolygonCount();
    std::vector<unsigned> order;
    // Most meshes number their vertices in that order already.
    if (!anyOverflowed && IsInFirstUseOrder(source))
    {
        order.resize(vertexCount);
        Parallel::For(vertexCount, kGrain,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t v = begin; v < end; ++v)
                          {
                              order[v] = static_cast<unsigned>(v);
                              placedVertex[v] = kQueued;
                          }
                      });
        return order;
    }
    order.reserve(vertexCount);
    for (unsigned i = 0; i < triangleCount; ++i)
    {
        const unsigned a = source.GetPolygonVertexIndex(i, 0);
        const unsigned b = source.GetPolygonVertexIndex(i, 1);
        const unsigned c = source.GetPolygonVertexIndex(i, 2);
        if (placedVertex[a] == kOverflowed || placedVertex[b] == kOverflowed ||
            placedVertex[c] == kOverflowed)
            continue;
        for (const unsigned v : {a, b, c})
            if (placedVertex[v] == kUnplaced)
            {
                placedVertex[v] = kQueued;
                order.push_back(v);
            }
    }
    return order;
}

// The merge of a large mesh whose vertices are known to stay apart once
// placed: no two of them can merge with each other, so each needs only a
// look at the vertices the target had before, and those looks run on every
// job. The result is that of placing corner by corner. False, with nothing
// done, when the placement may bring two of them within the merge distance.
bool MergeApart(const ColorTable& colours, const LEGOPolyMesh& source, LEGOPolyMesh& target,
                const _LegoInstance& instance, bool copyNormals, bool keepLookups,
                unsigned& droppedCount)
{
    const Matrix4x4& M = instance.transform;
    const unsigned vertexCount = source.GetVertexCount();
    constexpr std::size_t kGrain = 4096;
    constexpr std::size_t kMapRatio = 4;
    PagesMadeOnJobs<Vector3> positions(vertexCount);
    MadeOnJobs<unsigned> placedVertex(vertexCount);
    std::mutex extentLock;
    Vector3 extent(0, 0, 0);
    bool anyOverflowed = false;
    Parallel::For(vertexCount, kGrain,
                  [&](std::size_t begin, std::size_t end)
                  {
                      Vector3 local(0, 0, 0);
                      bool overflowed = false;
                      for (std::size_t v = begin; v < end; ++v)
                      {
                          const Vector3 p = source.GetVertex(static_cast<unsigned>(v));
                          local = component_max(
                              local, Vector3(std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)));
                          positions.Make(v, M * p);
                          const bool isPlaced = IsFinite(positions[v]);
                          placedVertex.Make(v, isPlaced ? kUnplaced : kOverflowed);
                          overflowed = overflowed || !isPlaced;
                      }
                      const std::lock_guard<std::mutex> lock(extentLock);
                      extent = component_max(extent, local);
                      anyOverflowed = anyOverflowed || overflowed;
                  });
    const double apart = PlacedSeparation(M, source.VertexSeparation(), extent);
    if (!(apart > VertexGrid::kMergeDistance * (1 + 1e-9)))
        return false;

    // The vertices in the order in which corners first use them, leaving out
    // those only dropped triangles use.
    const unsigned triangleCount = source.GetPolygonCount();
    const std::vector<unsigned> order = FirstUseOrder(source, placedVertex.data(), anyOverflowed);

    // Worth mapping the target when the lookups are not far fewer than its
    // vertices; most placed vertices then lie where it has none.
    // Whether each vertex in order may merge, asked once, on every job.
    std::vector<char> isNear;
    if (std::size_t(target.GetVertexCount()) <= order.size() * kMapRatio)
    {
        const OccupiedCells occupied(target);
        isNear.resize(order.size());
        Parallel::For(order.size(), kGrain,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t j = begin; j < end; ++j)
                              isNear[j] = occupied.MayHaveVertexNear(positions[order[j]]) ? 1 : 0;
                      });
    }
    const auto mayMerge = [&](std::size_t j) { return isNear.empty() || isNear[j] != 0; };
    // The lookup is brought up to date only for a merge that uses it, and
    // only where it is used when that is far less.
    const std::size_t lookupCount =
        isNear.empty() ? order.size() : std::count(isNear.begin(), isNear.end(), 1);
    if (lookupCount > 0 && target.IndexesOnlyNear(lookupCount))
    {
        std::vector<Vector3> looked;
        looked.reserve(lookupCount);
        for (std::size_t j = 0; j < order.size(); ++j)
            if (mayMerge(j))
                looked.push_back(positions[order[j]]);
        target.PrepareLookupsNear(looked);
    }
    else if (lookupCount > 0)
    {
        target.PrepareLookups();
    }
    std::vector<std::uint32_t> found(order.size());
    // The target's vertices close to a new one, as (position in order,
    // vertex), ascending.
    std::vector<std::vector<std::pair<std::size_t, std::uint32_t>>> closeByRange;
    std::mutex closeLock;
    Parallel::For(order.size(), kGrain,
                  [&](std::size_t begin, std::size_t end)
                  {
                      std::vector<std::pair<std::size_t, std::uint32_t>> local;
                      std::vector<std::uint32_t> close;
                      constexpr std::size_t kAhead = 12;
                      for (std::size_t j = begin; j < end; ++j)
                      {
                          if (j + kAhead < end && mayMerge(j + kAhead))
                              target.PrefetchLookup(positions[order[j + kAhead]]);
                          if (!mayMerge(j))
                          {
                              found[j] = VertexGrid::kNone;
                              continue;
                          }
                          close.clear();
                          found[j] = target.FindMergingVertex(positions[order[j]], close);
                          if (found[j] == VertexGrid::kNone)
                              for (const std::uint32_t vertex : close)
                                  local.emplace_back(j, vertex);
                      }
                      if (local.empty())
                          return;
                      const std::lock_guard<std::mutex> lock(closeLock);
                      closeByRange.push_back(std::move(local));
                  });
    std::vector<std::pair<std::size_t, std::uint32_t>> closeToOld;
    for (const auto& range : closeByRange)
        closeToOld.insert(closeToOld.end(), range.begin(), range.end());
    std::sort(closeToOld.begin(), closeToOld.end());

    // Two new vertices can merge only if they were close in the source.
    std::vector<std::pair<unsigned, unsigned>> partners;
    for (const auto& pair : source.CloseVertexPairs())
    {
        partners.emplace_back(pair.first, pair.second);
        partners.emplace_back(pair.second, pair.first);
    }
    std::sort(partners.begin(), partners.end());

    const unsigned base = target.GetVertexCount();
    // The source vertices that become new ones, in the order they are added.
    std::vector<unsigned> added;
    if (partners.empty())
    {
        // No two new vertices can merge: each not found is the next new one,
        // numbered by how many come before it, on every job.
        constexpr std::size_t kChunk = 16384;
        const std::size_t chunkCount = (order.size() + kChunk - 1) / kChunk;
        std::vector<std::size_t> firstNew(chunkCount + 1, 0);
        Parallel::For(chunkCount, 1,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t c = begin; c < end; ++c)
                              firstNew[c + 1] = static_cast<std::size_t>(std::count(
                                  found.begin() + static_cast<std::ptrdiff_t>(c * kChunk),
                                  found.begin() + static_cast<std::ptrdiff_t>(
                                                      std::min(order.size(), (c + 1) * kChunk)),
                                  VertexGrid::kNone));
                      });
        for (std::size_t c = 0; c < chunkCount; ++c)
            firstNew[c + 1] += firstNew[c];
        added.resize(firstNew[chunkCount]);
        Parallel::For(chunkCount, 1,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t c = begin; c < end; ++c)
                          {
                              std::size_t next = firstNew[c];
                              for (std::size_t j = c * kChunk;
                                   j < std::min(order.size(), (c + 1) * kChunk); ++j)
                              {
                                  const unsigned w = order[j];
                                  if (found[j] != VertexGrid::kNone)
                                  {
                                      placedVertex[w] = found[j];
                                      continue;
                                  }
                                  placedVertex[w] = base + static_cast<unsigned>(next);
                                  added[next++] = w;
                              }
                          }
                      });
    }
    else
        added.reserve(std::count(found.begin(), found.end(), VertexGrid::kNone));
    for (std::size_t j = 0; j < order.size() && !partners.empty(); ++j)
    {
        const unsigned w = order[j];
        if (found[j] != VertexGrid::kNone)
        {
            placedVertex[w] = found[j];
            continue;
        }
        const Vector3& position = positions[w];
        unsigned merged = kUnplaced;
        for (auto p = std::lower_bound(partners.begin(), partners.end(), std::make_pair(w, 0u));
             p != partners.end() && p->first == w; ++p)
        {
            const unsigned vertex = placedVertex[p->second];
            if (vertex >= base && vertex < base + added.size() && vertex < merged &&
                VertexGrid::Merges(positions[added[vertex - base]], position))
                merged = vertex;
        }
        if (merged != kUnplaced)
        {
            placedVertex[w] = merged;
            continue;
        }
        placedVertex[w] = base + static_cast<unsigned>(added.size());
        added.push_back(w);
    }

    // The close pairs the target gains: new vertices near old ones, and the
    // images of close source pairs that both became new vertices.
    std::vector<std::pair<unsigned, unsigned>> close;
    close.reserve(closeToOld.size() + source.CloseVertexPairs().size());
    for (const auto& entry : closeToOld)
        close.emplace_back(entry.second, placedVertex[order[entry.first]]);
    for (const auto& pair : source.CloseVertexPairs())
    {
        const unsigned a = placedVertex[pair.first];
        const unsigned b = placedVertex[pair.second];
        if (a != b && a >= base && b >= base && a < kQueued && b < kQueued)
            close.emplace_back(std::min(a, b), std::max(a, b));
    }
    target.AppendVerticesApart(positions, added, apart, close, keepLookups);
    positions.Release();
    std::vector<unsigned>().swap(added);
    target.ReservePolygons(target.GetPolygonCount() + triangleCount);
    if (copyNormals || !target.HasFaceRecords())
    {
        droppedCount =
            AppendTriangles(colours, source, target, instance, placedVertex.data(), copyNormals);
        return true;
    }
    // The kept triangles, on every job.
    auto isKept = [&](unsigned i)
    {
        return placedVertex[source.GetPolygonVertexIndex(i, 0)] != kOverflowed &&
               placedVertex[source.GetPolygonVertexIndex(i, 1)] != kOverflowed &&
               placedVertex[source.GetPolygonVertexIndex(i, 2)] != kOverflowed;
    };
    std::vector<unsigned> kept;
    for (unsigned i = 0; i < triangleCount && anyOverflowed; ++i)
        droppedCount += isKept(i) ? 0 : 1;
    if (droppedCount > 0)
        for (unsigned i = 0; i < triangleCount; ++i)
            if (isKept(i))
                kept.push_back(i);
    const bool isAllKept = droppedCount == 0;
    target.AddTriangles(triangleCount - droppedCount,
                        [&](unsigned n, unsigned* corners, int& color)
                        {
                            const unsigned i = isAllKept ? n : kept[n];
                            for (unsigned k = 0; k < 3; ++k)
                                corners[k] = placedVertex[source.GetPolygonVertexIndex(i, k)];
                            color = MergedColor(colours, source.FaceColor(i), instance.color);
                        });
    return true;
}

}  // namespace

unsigned MergeInstance(const ColorTable& colours, std::vector<_LegoNode>& nodes, unsigned parent,
                       const _LegoInstance& instance, bool copyNormals, bool keepLookups)
{
    if (!NamesNode(instance.node, nodes.size()))
        return 0;
    const Matrix4x4& M = instance.transform;
    // Parent and child are the same node when a node references itself: only
    // the triangles it had before the merge are copied.
    const LEGOPolyMesh& source = nodes[static_cast<unsigned>(instance.node)].mesh;
    LEGOPolyMesh& target = nodes[parent].mesh;
    const unsigned triangleCount = source.GetPolygonCount();
    unsigned droppedCount = 0;
    if (&source != &target && triangleCount >= kManyTriangles &&
        MergeApart(colours, source, target, instance, copyNormals, keepLookups, droppedCount))
        return droppedCount;

    // Each child vertex is placed and merged once, when a corner first uses
    // it; a position always merges into the same parent vertex.
    std::vector<unsigned> placedVertex(source.GetVertexCount(), kUnplaced);
    // A few vertices merged into a large mesh that waits for its index:
    // every one placed first, and only what their lookups read indexed.
    std::vector<Vector3> placedAt;
    if (&source != &target && target.IndexesOnlyNear(source.GetVertexCount()))
    {
        placedAt.resize(source.GetVertexCount());
        for (unsigned v = 0; v < source.GetVertexCount(); ++v)
            placedAt[v] = M * source.GetVertex(v);
        target.PrepareLookupsNear(placedAt);
    }
    const bool isPlaced = !placedAt.empty();
    target.ReservePolygons(target.GetPolygonCount() + triangleCount);
    for (unsigned i = 0; i < triangleCount; ++i)
    {
        // Huge coordinates placed by huge matrices overflow; an infinite or
        // NaN corner could neither be merged, boxed nor written. Such a
        // triangle is dropped before any of its corners joins the parent.
        unsigned childVertices[3];
        Vector3 positions[3];
        bool isFinite = true;
        for (unsigned k = 0; k < 3; ++k)
        {
            childVertices[k] = source.GetPolygonVertexIndex(i, k);
            unsigned& placed = placedVertex[childVertices[k]];
            if (placed == kUnplaced)
            {
                positions[k] =
                    isPlaced ? placedAt[childVertices[k]] : M * source.GetVertex(childVertices[k]);
                if (!IsFinite(positions[k]))
                    placed = kOverflowed;
            }
            isFinite = isFinite && placed != kOverflowed;
        }
        if (!isFinite)
        {
            ++droppedCount;
            continue;
        }
        unsigned corners[3];
        Vector3 normals[3];
        for (unsigned k = 0; k < 3; ++k)
        {
            unsigned& placed = placedVertex[childVertices[k]];
            if (placed == kUnplaced)
                placed = isPlaced ? target.MergeVertexNear(positions[k])
                                  : target.MergeVertex(positions[k]);
            corners[k] = placed;
            if (copyNormals)
                normals[k] = TransformNormal(CornerNormal(source, i, k), M);
        }
        const int color = MergedColor(colours, source.FaceColor(i), instance.color);
        const unsigned face = target.AddPolygonOnVertices(3, corners);
        target.FaceColor(face) = color;
        if (copyNormals)
            target.SetFaceNormals(face, 3, normals);
    }
    return droppedCount;
}

void ReportDroppedTriangles(const std::string& nodeName, unsigned long long count)
{
    std::cerr << "Error: " << nodeName << " places " << count
              << (count == 1 ? " triangle" : " triangles")
              << " beyond the range of numbers; dropped\n"
              << std::flush;
}

void RetireNode(_LegoNode& node)
{
    node.mesh.Clear();
    std::vector<_LegoInstance>().swap(node.children);
    node.name = kDeletedText;
    node.note = kDeletedText;
    node.kind = NodeKind::Deleted;
}

void EraseNodes(std::vector<_LegoNode>& nodes, const std::vector<char>& isErased)
{
    const std::size_t nodeCount = nodes.size();
    std::vector<int> newIndex(nodeCount, -1);
    std::size_t keptCount = 0;
    for (std::size_t i = 0; i < nodeCount; ++i)
    {
        if (isErased[i])
            continue;
        newIndex[i] = static_cast<int>(keptCount);
        if (keptCount != i)
            nodes[keptCount] = std::move(nodes[i]);
        ++keptCount;
    }
    if (keptCount == nodeCount)
        return;
    nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(keptCount), nodes.end());

    // Erasing one node decrements every reference above it; a reference past
    // the end stays above every erased node, so it drops once per erasure.
    const int erasedCount = static_cast<int>(nodeCount - keptCount);
    for (_LegoNode& node : nodes)
    {
        std::vector<_LegoInstance>& children = node.children;
        auto kept = std::remove_if(children.begin(), children.end(),
                                   [&](const _LegoInstance& instance) {
                                       return NamesNode(instance.node, nodeCount) &&
                                              isErased[static_cast<unsigned>(instance.node)];
                                   });
        children.erase(kept, children.end());
        for (_LegoInstance& instance : children)
        {
            if (NamesNode(instance.node, nodeCount))
                instance.node = newIndex[static_cast<unsigned>(instance.node)];
            else if (instance.node >= 0)
                instance.node -= erasedCount;
        }
    }
}

Flattener::Flattener(const ColorTable& colourTable, std::vector<_LegoNode>& tree)
    : colours(colourTable), nodes(tree), isFlattening(tree.size(), 0)
{
    const std::size_t nodeCount = nodes.size();
    // In parent order, then position order: the order of the merges.
    Buckets<Site> bySite = BuildBuckets<Site>(
        nodeCount,
        [&](auto emit)
        {
            for (unsigned parent = 0; parent < nodeCount; ++parent)
            {
                const std::vector<_LegoInstance>& children = nodes[parent].children;
                for (unsigned position = 0; position < children.size(); ++position)
                {
                    const int child = children[position].node;
                    if (NamesNode(child, nodeCount))
                        emit(static_cast<unsigned>(child), Site{parent, position});
                }
            }
        });
    firstSite = std::move(bySite.first);
    sites = std::move(bySite.items);
    CountWholeTriangles();
}

void Flattener::CountWholeTriangles()
{
    const std::size_t nodeCount = nodes.size();
    constexpr std::uint64_t kUncounted = ~std::uint64_t(0);
    wholeTriangles.assign(nodeCount, kUncounted);
    isReserved.assign(nodeCount, 0);
    wantsRoom.assign(nodeCount, 0);
    isRetired.assign(nodeCount, 0);
    std::vector<char> isOpen(nodeCount, 0);
    std::vector<std::pair<unsigned, std::size_t>> path;
    for (unsigned start = 0; start < nodeCount; ++start)
    {
        if (wholeTriangles[start] != kUncounted)
            continue;
        path.emplace_back(start, 0);
        isOpen[start] = 1;
        while (!path.empty())
        {
            const unsigned node = path.back().first;
            const std::vector<_LegoInstance>& children = nodes[node].children;
            std::size_t& next = path.back().second;
            if (next < children.size())
            {
                const int child = children[next++].node;
                if (NamesNode(child, nodeCount) &&
                    wholeTriangles[static_cast<unsigned>(child)] == kUncounted &&
                    !isOpen[static_cast<unsigned>(child)])
                {
                    isOpen[static_cast<unsigned>(child)] = 1;
                    path.emplace_back(static_cast<unsigned>(child), 0);
                }
                continue;
            }
            // Counts saturate: a count this large is never reserved.
            std::uint64_t total = nodes[node].mesh.GetPolygonCount();
            for (const _LegoInstance& instance : children)
            {
                if (!NamesNode(instance.node, nodeCount))
                    continue;
                const std::uint64_t below = wholeTriangles[static_cast<unsigned>(instance.node)];
                if (below == kUncounted)
                    continue;  // still open: the reference closes a cycle
                total = below > kUncounted - 1 - total ? kUncounted - 1 : total + below;
            }
            wholeTriangles[node] = total;
            isOpen[node] = 0;
            path.pop_back();
        }
    }
}

void Flattener::ReserveWhole(unsigned node)
{
    if (node >= nodes.size() || isReserved[node])
        return;
    isReserved[node] = 1;
    if (isRecording)
        wantsRoom[node] = 1;
    else
        ReserveMesh(node);
}

void Flattener::ReserveMesh(unsigned node)
{
    LEGOPolyMesh& mesh = nodes[node].mesh;
    const std::uint64_t whole = wholeTriangles[node];
    // A count past what a mesh can index is left to grow (and fail) as it
    // goes; so is a mesh that already has the room.
    if (whole <= std::numeric_limits<unsigned>::max() && whole > mesh.GetPolygonCount())
        mesh.ReservePolygonsExactly(static_cast<unsigned>(whole));
}

Flattener::~Flattener()
{
    for (const auto& entry : dropped)
        ReportDroppedTriangles(entry.second.first, entry.second.second);
}

bool Flattener::Enter(unsigned node)
{
    if (node >= nodes.size() || nodes[node].kind == NodeKind::Deleted || isFlattening[node])
        return false;
    isFlattening[node] = 1;
    ReserveWhole(node);
    stack.push_back({node, 0, static_cast<unsigned>(nodes[node].children.size())});
    return true;
}

void Flattener::Flatten(unsigned node, bool copyNormals)
{
    if (!Enter(node))
        return;
    while (!stack.empty())
    {
        Frame& frame = stack.back();
        if (frame.nextChild < frame.childCount)
        {
            // Read each child when its turn comes: flattening an earlier child
            // may already have merged a later one and set it to -1.
            const std::vector<_LegoInstance>& children = nodes[frame.node].children;
            const unsigned position = frame.nextChild++;
            if (position < children.size() && children[position].node != -1)
                Enter(static_cast<unsigned>(children[position].node));
            continue;
        }
        const unsigned done = frame.node;
        stack.pop_back();
        // Nothing merges into the node any more: its lookups go before the
        // nodes above it grow.
        nodes[done].mesh.ReleaseLookups();
        MergeIntoReferrers(done, copyNormals);
        Retire(done);
        isFlattening[done] = 0;
    }
}

void Flattener::MergeIntoReferrers(unsigned node, bool copyNormals)
{
    for (unsigned s = firstSite[node]; s < firstSite[node + 1]; ++s)
    {
        const Site site = sites[s];
        const std::vector<_LegoInstance>& children = nodes[site.parent].children;
        if (site.reference >= children.size() ||
            children[site.reference].node != static_cast<int>(node))
            continue;
        if (isRecording)
        {
            merges.push_back({node, site.parent, children[site.reference]});
            nodes[site.parent].children[site.reference].node = -1;
            continue;
        }
        const unsigned droppedCount =
            MergeReference(colours, nodes, site.parent, site.reference, copyNormals);
        if (droppedCount != 0)
        {
            auto& drop = dropped[site.parent];
            if (drop.second == 0)
                drop.first = nodes[site.parent].name;
            drop.second += droppedCount;
        }
        nodes[site.parent].children[site.reference].node = -1;
    }
}

}  // namespace cleaning

void LegoPart::ScaleNode(unsigned node, double factor, bool scaleChildren)
{
    _LegoNode* target = GetNode(node);
    if (target == nullptr)
        return;
    LEGOPolyMesh& mesh = target->mesh;
    for (unsigned v = 0; v < mesh.GetVertexCount(); ++v)
        mesh.GetVertex(v) *= factor;
    if (!scaleChildren)
        return;
    // Only the translation column; rotations stay as they are.
    for (_LegoInstance& instance : target->children)
    {
        instance.transform.m[3] *= factor;
        instance.transform.m[7] *= factor;
        instance.transform.m[11] *= factor;
    }
}

void LegoPart::MergeGeometry(unsigned parent, unsigned reference, bool copyNormals)
{
    const unsigned droppedCount =
        cleaning::MergeReference(colours, nodes, parent, reference, copyNormals);
    if (droppedCount != 0)
        cleaning::ReportDroppedTriangles(nodes[parent].name, droppedCount);
}

void LegoPart::MarkNodeDeleted(unsigned node)
{
    if (node < nodes.size())
        cleaning::RetireNode(nodes[node]);
}

void LegoPart::FlattenNode(unsigned node, bool copyNormals)
{
    // Cheap exits first: building the referrer index reads every reference.
    if (node >= nodes.size() || nodes[node].kind == NodeKind::Deleted)
        return;
    cleaning::Flattener(colours, nodes).Flatten(node, copyNormals);
}

void LegoPart::RemoveNode(unsigned node)
{
    if (node >= nodes.size())
        return;
    std::vector<char> isErased(nodes.size(), 0);
    isErased[node] = 1;
    cleaning::EraseNodes(nodes, isErased);
}

void LegoPart::FlattenToParts(bool copyNormals)
{
    if (nodes.empty())
        return;
    cleaning::Flattener flattener(colours, nodes);
    flattener.Record();
    // Lengths are read again at every step: flattening may retire a node and
    // clear its list (only on a reference cycle).
    for (std::size_t r = 0; r < nodes[0].children.size(); ++r)
    {
        const int part = nodes[0].children[r].node;
        if (part < 0 || static_cast<std::size_t>(part) >= nodes.size())
            continue;  // merged away through an earlier part
        const unsigned p = static_cast<unsigned>(part);
        flattener.ReserveWhole(p);
        for (std::size_t s = 0; s < nodes[p].children.size(); ++s)
            flattener.Flatten(static_cast<unsigned>(nodes[p].children[s].node), copyNormals);
    }
    flattener.Play(copyNormals);
}
