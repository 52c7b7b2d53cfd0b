#include "model/polymesh.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <utility>

#include "model/inlinearray.h"
#include "model/parallel.h"
#include "model/polygonsides.h"

namespace
{

constexpr unsigned kIndexBufferSize = 1000;

// Shared by every mesh: GetPolygonVertexIndices hands out this one buffer.
unsigned sharedIndexBuffer[kIndexBufferSize];

// First position of `vertex` in the corner list, or the corner count.
unsigned FindCorner(const _Polygon& polygon, unsigned vertex)
{
    unsigned position = 0;
    while (position < polygon.vertexIndices.size() && polygon.vertexIndices[position] != vertex)
        ++position;
    return position;
}

// The corner before and the corner after corner i of `count`, around the
// polygon (no division: orienting asks for every polygon it reaches).
unsigned CornerBefore(unsigned i, unsigned count)
{
    return i == 0 ? count - 1 : i - 1;
}

unsigned CornerAfter(unsigned i, unsigned count)
{
    return i + 1 == count ? 0 : i + 1;
}

// The unit normal of the plane through three corners, in that order.
void PutNormalThrough(const Vector3& v0, const Vector3& v1, const Vector3& v2, Vector3& normal)
{
    normal.Cross(v0 - v1, v1 - v2);
    normal.Unit();
}

}  // namespace

unsigned PolyMesh::MergeVertex(const Vector3& position)
{
    PrepareLookups();
    return MergeVertexNear(position);
}

unsigned PolyMesh::MergeVertexNear(const Vector3& position)
{
    std::vector<std::uint32_t> close;
    const std::uint32_t found =
        vertexGrid.FindOrAdd(vertices, position, !verticesMayHaveMoved, close);
    if (found != VertexGrid::kNone)
        return found;
    const unsigned added = static_cast<unsigned>(vertices.size());
    for (const std::uint32_t other : close)
        closePairs.emplace_back(other, added);
    if (!std::isfinite(position.x) || !std::isfinite(position.y) || !std::isfinite(position.z))
        separation = 0.0;  // no distance to it is known
    vertices.push_back(position);
    return added;
}

void PolyMesh::PrepareLookups()
{
    if (isGridStale)
    {
        vertexGrid.Rebuild(vertices);
        isGridStale = false;
    }
    else if (vertexGrid.IndexedCount() < vertices.size())
    {
        vertexGrid.InsertRest(vertices);
    }
    nearScanCount = 0;
}

bool PolyMesh::IndexesOnlyNear(std::size_t positionCount) const
{
    // Indexing a vertex costs a wait for memory; reading one that is not
    // indexed costs far less. Only the vertices near the positions are
    // indexed while they are few, until the reads add up to a few times what
    // indexing every vertex would have cost.
    constexpr std::size_t kFewestWaiting = 65536;
    constexpr std::size_t kWaitingPerPosition = 8;
    constexpr std::size_t kReadsPerIndexing = 4;
    // A stale index starts again from nothing.
    const std::size_t waiting =
        isGridStale ? vertices.size() : vertices.size() - vertexGrid.IndexedCount();
    const std::size_t scanned = isGridStale ? 0 : nearScanCount;
    return waiting >= kFewestWaiting && positionCount * kWaitingPerPosition <= waiting &&
           scanned <= waiting * kReadsPerIndexing;
}

void PolyMesh::PrepareLookupsNear(const std::vector<Vector3>& positions)
{
    if (!IndexesOnlyNear(positions.size()))
    {
        PrepareLookups();
        return;
    }
    if (isGridStale)
    {
        vertexGrid.Clear();
        isGridStale = false;
        nearScanCount = 0;
    }
    nearScanCount += vertices.size() - vertexGrid.IndexedCount();
    vertexGrid.InsertNear(vertices, positions);
}

int PolyMesh::RecordEdge(int polygon, unsigned a, unsigned b) const
{
    const unsigned lo = a < b ? a : b;
    const unsigned hi = a < b ? b : a;
    const int index = static_cast<int>(edges.size());
    const int existing = edgeLookup.FindOrInsert(lo, hi, index);
    if (existing != EdgeMap::kNone)
    {
        // The edge keeps its first polygon and takes the newest as the other.
        _Edge& edge = edges[existing];
        const int first = edge.polygonA;
        edge.polygonA = first < polygon ? first : polygon;
        edge.polygonB = first < polygon ? polygon : first;
        return existing;
    }
    // Past the room made for them, the edges grow by a quarter at a time
    // rather than double: the list is large and nearly complete by then.
    if (edges.size() == edges.capacity())
        edges.reserve(edges.size() + edges.size() / 4 + 16);
    edges.push_back({polygon, -1, lo, hi});
    return index;
}

void PolyMesh::RecordPendingEdges() const
{
    if (polygonsWithEdges < polygons.size())
        RestoreEdgeLookup();
    // Most edges are shared by two triangles, and brick meshes have some
    // open sides: room for seven edges per four polygons saves growing the
    // lookup and the list step by step.
    const std::size_t pending = polygons.size() - polygonsWithEdges;
    if (pending > 0)
    {
        const std::size_t expected = edges.size() + pending * 7 / 4;
        edgeLookup.Reserve(expected);
        edges.reserve(expected);
        polygonEdges.reserve(polygonEdges.size() + pending * 3);
        polygonEdgeStart.reserve(polygons.size() + 1);
        if (polygonEdgeStart.empty())
            polygonEdgeStart.push_back(0);
    }
    // The slots a polygon's edges land in are scattered over the lookup: ask
    // for those of a polygon a few ahead.
    constexpr std::size_t kAhead = 6;
    for (; polygonsWithEdges < polygons.size(); ++polygonsWithEdges)
    {
        if (polygonsWithEdges + kAhead < polygons.size())
        {
            const _Polygon& ahead = polygons[polygonsWithEdges + kAhead];
            const unsigned count = ahead.vertexIndices.size();
            for (unsigned i = 0; i < count; ++i)
            {
                const unsigned a = ahead.vertexIndices[i];
                const unsigned b = ahead.vertexIndices[i + 1 < count ? i + 1 : 0];
                edgeLookup.Prefetch(a < b ? a : b, a < b ? b : a);
            }
        }
        const _Polygon& polygon = polygons[polygonsWithEdges];
        const int p = static_cast<int>(polygonsWithEdges);
        const unsigned count = polygon.vertexIndices.size();
        const unsigned* index = polygon.vertexIndices.data();
        for (unsigned i = 0; i + 1 < count; ++i)
            polygonEdges.push_back(RecordEdge(p, index[i], index[i + 1]));
        if (count > 2)
            polygonEdges.push_back(RecordEdge(p, index[count - 1], index[0]));
        polygonEdgeStart.push_back(static_cast<unsigned>(polygonEdges.size()));
    }
}

unsigned PolyMesh::AddPolygon(unsigned count, const Vector3* corners)
{
    assert(count >= 3);
    InlineArray<unsigned, 4> vertexIndices;
    vertexIndices.reserve(count);
    for (unsigned i = 0; i < count; ++i)
        vertexIndices.push_back(MergeVertex(corners[i]));
    return AddPolygonOnVertices(count, vertexIndices.data());
}

unsigned PolyMesh::AddPolygonOnVertices(unsigned count, const unsigned* vertexIndices)
{
    assert(count >= 3);
    const unsigned p = static_cast<unsigned>(polygons.size());
    FillPolygon(polygons.emplace_back(), count, vertexIndices);
    return p;
}

void PolyMesh::FillPolygon(_Polygon& polygon, unsigned count, const unsigned* vertexIndices) const
{
#ifndef NDEBUG
    for (unsigned i = 0; i < count; ++i)
        assert(vertexIndices[i] < vertices.size());
#endif
    polygon.vertexIndices.assign(vertexIndices, count);
}

void PolyMesh::PutNormalOf(const _Polygon& polygon, Vector3& normal) const
{
    PutNormalThrough(vertices[polygon.vertexIndices[0]], vertices[polygon.vertexIndices[1]],
                     vertices[polygon.vertexIndices[2]], normal);
}

void PolyMesh::PutTurnedNormalOf(const _Polygon& polygon, Vector3& normal) const
{
    const unsigned n = polygon.vertexIndices.size();
    if (n < 3)
    {
        // No plane to turn: the normal of the corners as they are.
        PutNormalOf(polygon, normal);
        return;
    }
    // Turning reversed the corners: the first three as they were come last.
    PutNormalThrough(vertices[polygon.vertexIndices[n - 1]], vertices[polygon.vertexIndices[n - 2]],
                     vertices[polygon.vertexIndices[n - 3]], normal);
    normal = -normal;
}

void PolyMesh::ReleasePolygonNormals()
{
    polygonNormals.Release();
    polygonsWithNormals = 0;
    arePolygonNormalsReleased = true;
}

void PolyMesh::ComputePendingNormals(const std::vector<char>* isTurned) const
{
    const std::size_t pending = polygons.size() - polygonsWithNormals;
    if (pending == 0 || arePolygonNormalsReleased)
        return;
    polygonNormals.resize(polygons.size());
    // The normal follows the stored vertices the corners merged into.
    const auto compute = [this, isTurned](std::size_t begin, std::size_t end)
    {
        for (std::size_t p = begin; p < end; ++p)
            if (isTurned != nullptr && (*isTurned)[p] != 0)
                PutTurnedNormalOf(polygons[p], polygonNormals[p]);
            else
                PutNormalOf(polygons[p], polygonNormals[p]);
    };
    constexpr std::size_t kGrain = 16384;
    if (pending < 2 * kGrain)
        compute(polygonsWithNormals, polygons.size());
    else
        Parallel::For(pending, kGrain,
                      [&](std::size_t begin, std::size_t end)
                      { compute(polygonsWithNormals + begin, polygonsWithNormals + end); });
    polygonsWithNormals = static_cast<unsigned>(polygons.size());
}

const unsigned* PolyMesh::GetPolygonVertexIndices(unsigned p) const
{
    assert(p < polygons.size());
    const _Polygon& polygon = polygons[p];
    // A polygon of more corners than the buffer holds is cut short.
    const unsigned count = polygon.vertexIndices.size() < kIndexBufferSize
                               ? polygon.vertexIndices.size()
                               : kIndexBufferSize;
    for (unsigned k = 0; k < count; ++k)
        sharedIndexBuffer[k] = polygon.vertexIndices[k];
    return sharedIndexBuffer;
}

Vector3& PolyMesh::GetVertex(unsigned i)
{
    assert(i < vertices.size());
    ComputePendingNormals();
    isGridStale = true;
    verticesMayHaveMoved = true;
    separation = 0.0;
    std::vector<std::pair<unsigned, unsigned>>().swap(closePairs);
    return vertices[i];
}

unsigned PolyMesh::GetEdgeCount() const
{
    RecordPendingEdges();
    return static_cast<unsigned>(edges.size());
}

const _Edge& PolyMesh::GetEdge(unsigned e) const
{
    RecordPendingEdges();
    assert(e < edges.size());
    return edges[e];
}

const _Polygon& PolyMesh::GetPolygon(unsigned p) const
{
    RecordPendingEdges();
    assert(p < polygons.size());
    return polygons[p];
}

unsigned PolyMesh::GetPolygonEdgeCount(unsigned p) const
{
    RecordPendingEdges();
    assert(p < polygons.size());
    return polygonEdgeStart[p + 1] - polygonEdgeStart[p];
}

int PolyMesh::GetPolygonEdge(unsigned p, unsigned k) const
{
    assert(k < GetPolygonEdgeCount(p));
    return polygonEdges[polygonEdgeStart[p] + k];
}

void PolyMesh::RestoreEdgeLookup() const
{
    if (!isEdgeLookupReleased)
        return;
    for (unsigned e = 0; e < edges.size(); ++e)
        edgeLookup.Insert(edges[e].vertexLo, edges[e].vertexHi, static_cast<int>(e));
    isEdgeLookupReleased = false;
}

int PolyMesh::FindEdge(unsigned a, unsigned b) const
{
    RecordPendingEdges();
    RestoreEdgeLookup();
    return a < b ? edgeLookup.Find(a, b) : edgeLookup.Find(b, a);
}

void PolyMesh::FlipPolygon(unsigned p)
{
    _Polygon& polygon = polygons[p];
    unsigned* corner = polygon.vertexIndices.data();
    const unsigned count = polygon.vertexIndices.size();
    for (unsigned i = 0; i < count / 2; ++i)
        std::swap(corner[i], corner[count - 1 - i]);
    // A normal still pending is worked out once orienting is done, from the
    // corners as they were.
    if (p < polygonsWithNormals)
        polygonNormals[p] = -polygonNormals[p];
}

namespace
{

// The polygons joined through their sides, in groups dealt to `shares`
// shares of about equal size: the share of each polygon's group.
std::vector<unsigned char> ShareGroups(const PolygonSides& sides, unsigned polygonCount,
                                       unsigned shares)
{
    // Each group's root is its lowest polygon.
    std::vector<unsigned> root(polygonCount);
    for (unsigned p = 0; p < polygonCount; ++p)
        root[p] = p;
    const auto find = [&root](unsigned p)
    {
        while (root[p] != p)
        {
            root[p] = root[root[p]];
            p = root[p];
        }
        return p;
    };
    for (unsigned p = 0; p < polygonCount; ++p)
        for (unsigned s = sides.start[p]; s < sides.start[p + 1]; ++s)
        {
            if (sides.across[s] < 0)
                continue;
            const unsigned a = find(p);
            const unsigned b = find(static_cast<unsigned>(sides.across[s]));
            if (a != b)
                root[std::max(a, b)] = std::min(a, b);
        }
    // Roots come first in polygon order: a group's polygons all follow it.
    std::vector<unsigned> size(polygonCount, 0);
    for (unsigned p = 0; p < polygonCount; ++p)
    {
        root[p] = root[root[p]];
        ++size[root[p]];
    }
    std::vector<unsigned char> share(polygonCount, 0);
    std::uint64_t dealt = 0;
    for (unsigned p = 0; p < polygonCount; ++p)
    {
        if (root[p] == p)
        {
            share[p] = static_cast<unsigned char>(
                std::min<std::uint64_t>(shares - 1, dealt * shares / polygonCount));
            dealt += size[p];
        }
        else
            share[p] = share[root[p]];
    }
    return share;
}

}  // namespace

void PolyMesh::SpreadOrientation(unsigned seed, const PolygonSides& sides,
                                 std::vector<char>& visited, std::vector<char>& isTurned)
{
    // Depth first across the sides, as a recursion over each polygon's sides
    // in corner order would go; the stack holds the next side's position.
    struct Frame
    {
        unsigned polygon;
        unsigned nextSide;
    };
    std::vector<Frame> stack;
    stack.push_back({seed, 0});
    while (!stack.empty())
    {
        Frame& frame = stack.back();
        const unsigned p = frame.polygon;
        const unsigned sideAt = sides.start[p] + frame.nextSide;
        if (sideAt == sides.start[p + 1])
        {
            stack.pop_back();
            continue;
        }
        const unsigned side = frame.nextSide++;
        const int o = sides.across[sideAt];
        if (o == -1 || visited[o])
            continue;

        // The side's two vertices: its corners were counted before any
        // polygon was turned, and a turned polygon runs its corners backwards.
        const _Polygon& r = polygons[p];
        const unsigned n = r.vertexIndices.size();
        const unsigned next = CornerAfter(side, n);
        const unsigned a = r.vertexIndices[isTurned[p] ? n - 1 - side : side];
        const unsigned b = r.vertexIndices[isTurned[p] ? n - 1 - next : next];
        const unsigned lo = a < b ? a : b;
        const unsigned hi = a < b ? b : a;

        // Two polygons that share a side must run it in opposite directions.
        const unsigned j = FindCorner(r, lo);
        assert(j < n);
        const bool rRunsHiToLo = r.vertexIndices[CornerBefore(j, n)] == hi;
        const _Polygon& other = polygons[o];
        const unsigned m = other.vertexIndices.size();
        const unsigned k = FindCorner(other, lo);
        assert(k < m);
        const bool flip = rRunsHiToLo ? other.vertexIndices[CornerBefore(k, m)] == hi
                                      : other.vertexIndices[CornerAfter(k, m)] == hi;
        if (flip)
        {
            FlipPolygon(static_cast<unsigned>(o));
            isTurned[o] ^= 1;
        }
        visited[o] = 1;
        stack.push_back({static_cast<unsigned>(o), 0});  // invalidates `frame`
    }
}

void PolyMesh::FixNormals(bool outward)
{
    if (vertices.empty() || polygons.empty())
    {
        std::cerr << "Error: 0 points or 0 polygons in FixNormals" << std::endl;
        return;
    }
    arePolygonNormalsReleased = false;
    // Orienting reads the normals of the polygons it starts from only; the
    // ones still pending are worked out once it is done and the sides' memory
    // is free.
    const unsigned firstPending = polygonsWithNormals;
    // Orienting goes from polygon to polygon across the sides that the edge
    // records would join; it needs no records of its own.
    PolygonSides sides = FindPolygonSides(polygons, static_cast<unsigned>(vertices.size()));
    std::vector<char> visited(polygons.size(), 0);
    std::vector<char> isTurned(polygons.size(), 0);

    Vector3 centre(0.0, 0.0, 0.0);
    for (const Vector3& v : vertices)
        centre += v;
    centre /= static_cast<double>(vertices.size());

    // Each connected group is decided by its lowest-index polygon alone.
    const auto orient = [&](unsigned s)
    {
        // Not turned yet: no walk has reached it.
        Vector3 n;
        if (s < firstPending)
            n = polygonNormals[s];
        else
            PutNormalOf(polygons[s], n);
        const Vector3 q = vertices[polygons[s].vertexIndices[0]];
        const double dPlus = ((n + q) - centre).Length();
        const double dMinus = ((-n + q) - centre).Length();
        if (dMinus > dPlus)
        {
            FlipPolygon(s);
            isTurned[s] ^= 1;
        }
        if (!outward)
        {
            FlipPolygon(s);
            isTurned[s] ^= 1;
        }
        visited[s] = 1;
        SpreadOrientation(s, sides, visited, isTurned);
    };
    const unsigned polygonCount = static_cast<unsigned>(polygons.size());
    constexpr unsigned kManyPolygons = 65536;
    if (polygonCount < kManyPolygons || Parallel::Jobs() == 1)
    {
        for (unsigned s = 0; s < polygonCount; ++s)
            if (!visited[s])
                orient(s);
    }
    else
    {
        // A walk never leaves the group of polygons that sides join, either
        // way: the groups are oriented on every job, each in polygon order as
        // above.
        const unsigned shares = std::min(Parallel::Jobs(), 64u);
        const std::vector<unsigned char> share = ShareGroups(sides, polygonCount, shares);
        Parallel::ForEach(shares,
                          [&](std::size_t job)
                          {
                              for (unsigned s = 0; s < polygonCount; ++s)
                                  if (share[s] == job && !visited[s])
                                      orient(s);
                          });
    }
    sides = PolygonSides();
    std::vector<char>().swap(visited);
    ComputePendingNormals(&isTurned);
}

void PolyMesh::ReleaseLookups()
{
    vertexGrid.Clear();
    isGridStale = !vertices.empty();
    ReleaseEdgeLookup();
}

void PolyMesh::ReleaseEdgeLookup()
{
    edgeLookup.Clear();
    isEdgeLookupReleased = !edges.empty();
}

void PolyMesh::ReleaseEdges()
{
    std::vector<_Edge>().swap(edges);
    edgeLookup.Clear();
    isEdgeLookupReleased = false;
    std::vector<int>().swap(polygonEdges);
    std::vector<unsigned>().swap(polygonEdgeStart);
    polygonsWithEdges = 0;
}

void PolyMesh::TrimVertices()
{
    if (vertices.capacity() - vertices.size() > vertices.size() / 8)
        vertices.shrink_to_fit();
}

unsigned PolyMesh::AddVertexApart(const Vector3& position)
{
    // The grid does not know the vertex: it is built again before the next
    // lookup.
    isGridStale = true;
    separation = 0.0;
    std::vector<std::pair<unsigned, unsigned>>().swap(closePairs);
    vertices.push_back(position);
    return static_cast<unsigned>(vertices.size() - 1);
}

void PolyMesh::Clear()
{
    std::vector<Vector3>().swap(vertices);
    std::vector<_Edge>().swap(edges);
    std::vector<int>().swap(polygonEdges);
    std::vector<unsigned>().swap(polygonEdgeStart);
    std::vector<_Polygon>().swap(polygons);
    polygonNormals.Release();
    edgeLookup.Clear();
    polygonsWithEdges = 0;
    polygonsWithNormals = 0;
    arePolygonNormalsReleased = false;
    isEdgeLookupReleased = false;
    vertexGrid.Clear();
    isGridStale = false;
    verticesMayHaveMoved = false;
    separation = VertexGrid::kKnownDistance;
    std::vector<std::pair<unsigned, unsigned>>().swap(closePairs);
}

void PolyMesh::RenumberClosePairs(const std::vector<unsigned>& newIndex)
{
    std::size_t kept = 0;
    for (const auto& pair : closePairs)
    {
        const unsigned a = newIndex[pair.first];
        const unsigned b = newIndex[pair.second];
        if (a != ~0u && b != ~0u)
            closePairs[kept++] = {std::min(a, b), std::max(a, b)};
    }
    closePairs.resize(kept);
}
