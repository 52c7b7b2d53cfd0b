#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <utility>
#include <vector>

#include "geometry/matrix.h"
#include "model/edgemap.h"
#include "model/pagedarray.h"
#include "model/parallel.h"
#include "model/polygoncorners.h"
#include "model/vertexgrid.h"

// One polygon: its corners (counter-clockwise seen from where the normal
// points); the edge of each side (side i joins corner i to corner i + 1, the
// last side the last corner to corner 0) and its unit face normal are kept
// by the mesh (GetPolygonEdge, GetPolygonNormal).
struct PolygonSides;

struct _Polygon
{
    PolygonCorners vertexIndices;
};

// One side shared by up to two polygons: the first polygon that recorded it
// and the most recent other one (-1 while there is none).
struct _Edge
{
    int polygonA;
    int polygonB;
    unsigned vertexLo;
    unsigned vertexHi;
};

// Indexed polygon mesh. Corners closer than 1e-6 to an existing vertex merge
// with the lowest such vertex; shared sides are recorded as edges; every
// polygon gets a unit normal from its first three corners.
//
// Edges are recorded on demand, polygon by polygon in index order, the first
// time anything reads them (the edge views below), with exactly the records
// that recording each polygon as it was added would give, unless orienting
// turned it before. Orienting goes across the same sides without records of
// its own (FindPolygonSides). Most meshes never need them.
//
// Face normals are likewise worked out when first read, all pending ones at
// once and on every job, from the corners as they were when the polygon was
// added: a vertex handed out for changing first brings them up to date. A
// mesh that is merged into another is never asked for them, and holds no
// room for them: they are kept apart from the polygons.
class PolyMesh
{
public:
    PolyMesh() = default;
    PolyMesh(const PolyMesh&) = default;
    PolyMesh(PolyMesh&&) noexcept = default;
    PolyMesh& operator=(const PolyMesh&) = default;
    PolyMesh& operator=(PolyMesh&&) noexcept = default;
    virtual ~PolyMesh() = default;

    // Adds a polygon of `count` (3 or more) corners given by position; returns
    // its index. Never fails, so the all-ones "no polygon" result never occurs.
    unsigned AddPolygon(unsigned count, const Vector3* corners);

    // The two halves of AddPolygon, for callers that place many corners at a
    // few positions: the index of the vertex a corner at `position` becomes
    // (the lowest one within 1e-6, or a new one), and a polygon on vertices
    // so found. AddPolygon(count, corners) is the same as AddPolygonOnVertices
    // with the MergeVertex result of each corner, taken in corner order.
    unsigned MergeVertex(const Vector3& position);
    unsigned AddPolygonOnVertices(unsigned count, const unsigned* vertexIndices);

    unsigned GetPolygonVertexCount(unsigned p) const
    {
        assert(p < polygons.size());
        return polygons[p].vertexIndices.size();
    }
    // Vertex index of corner k of polygon p.
    unsigned GetPolygonVertexIndex(unsigned p, unsigned k) const
    {
        assert(p < polygons.size());
        return polygons[p].vertexIndices[k];
    }
    Vector3 GetPolygonVertex(unsigned p, unsigned k) const
    {
        assert(p < polygons.size());
        return vertices[polygons[p].vertexIndices[k]];
    }
    Vector3 GetPolygonNormal(unsigned p) const
    {
        assert(p < polygons.size());
        if (arePolygonNormalsReleased)
        {
            Vector3 normal;
            PutNormalOf(polygons[p], normal);
            return normal;
        }
        ComputePendingNormals();
        return polygonNormals[p];
    }
    // Frees the polygon normals for good, for a mesh whose corners carry
    // normals of their own from now on: any asked for later are worked out
    // from the corners as they are then, and orienting works them out anew.
    void ReleasePolygonNormals();

    // Copies polygon p's corner indices into one 1000-entry buffer shared by
    // every mesh; the contents are valid until the next call on any mesh.
    const unsigned* GetPolygonVertexIndices(unsigned p) const;

    Vector3 GetVertex(unsigned i) const
    {
        assert(i < vertices.size());
        return vertices[i];
    }
    // Vertex i for changing in place. Moved vertices are not merged again.
    Vector3& GetVertex(unsigned i);
    unsigned GetVertexCount() const { return static_cast<unsigned>(vertices.size()); }
    unsigned GetPolygonCount() const { return static_cast<unsigned>(polygons.size()); }

    // Orients every connected group of polygons consistently, each group
    // decided by its lowest-index polygon: normals away from the centre of
    // all vertices when `outward`, towards it otherwise.
    void FixNormals(bool outward);

    virtual void Clear();

    // Frees the lookup structures behind MergeVertex and edge recording; they
    // are built again, with the same results, if the mesh grows again. For
    // meshes that are finished, to keep memory down.
    void ReleaseLookups();
    // Frees the recorded edges. Anything that reads edges later records them
    // again from the polygons as they are then (orientation may have turned
    // their corners since), so their numbering may differ.
    void ReleaseEdges();

    // Makes room for `count` vertices in all, for a caller that knows about
    // how many the mesh will hold.
    void ReserveVertices(unsigned count) { vertices.reserve(count); }
    // Gives back the room of the vertex list beyond what it holds, where
    // that is more than a little: for meshes that are done growing.
    void TrimVertices();

    // Adds a vertex at `position` without looking for one to merge with: for
    // a caller that knows no vertex of the mesh is within the merge distance.
    unsigned AddVertexApart(const Vector3& position);
    // True while every two vertices are farther apart than the merge
    // distance: nothing has moved a vertex since it was added.
    bool AreVerticesApart() const { return !verticesMayHaveMoved; }
    // Vertices are known to be apart in two ways: the pairs closer than
    // VertexGrid::kKnownDistance, each as (lower index, higher index), and a
    // lower bound on the distance between any two vertices not so listed, at
    // most that distance; 0 when nothing is known (a vertex has moved).
    double VertexSeparation() const { return separation; }
    const std::vector<std::pair<unsigned, unsigned>>& CloseVertexPairs() const
    {
        return closePairs;
    }

    // For placing many vertices at once: brings the lookup behind MergeVertex
    // up to date, after which FindMergingVertex may run on several threads.
    // Nothing else needs it: MergeVertex brings it up to date itself.
    void PrepareLookups();
    // As PrepareLookups, for lookups of `positions` only: FindMergingVertex
    // and MergeVertexNear of these positions then answer as after
    // PrepareLookups. For a few positions and many vertices not indexed yet,
    // it indexes only the vertices such lookups read.
    void PrepareLookupsNear(const std::vector<Vector3>& positions);
    // Whether PrepareLookupsNear of this many positions would index less
    // than PrepareLookups: otherwise the positions need not be gathered.
    bool IndexesOnlyNear(std::size_t positionCount) const;
    // MergeVertex of a position given to the last PrepareLookupsNear, when
    // nothing but MergeVertexNear has added vertices since.
    unsigned MergeVertexNear(const Vector3& position);
    // The vertex that MergeVertex(position) would return if it is an existing
    // one; otherwise VertexGrid::kNone, with every vertex closer than
    // VertexGrid::kKnownDistance appended to `close`.
    std::uint32_t FindMergingVertex(const Vector3& position,
                                    std::vector<std::uint32_t>& close) const
    {
        return vertexGrid.Find(vertices, position, !verticesMayHaveMoved, close);
    }
    void PrefetchLookup(const Vector3& position) const { vertexGrid.Prefetch(position); }
    // Appends vertices that merge with no vertex of the mesh nor with one
    // another: what MergeVertex would add for them one by one, at
    // positions[which[0]], positions[which[1]] and so on. Pairs among the old
    // and new vertices closer than VertexGrid::kKnownDistance are in
    // `close`; any two vertices not listed there are at least `apart` apart.
    // Returns the index of the first. When `index`, the lookup indexes them
    // when it is next used (PrepareLookups, MergeVertex); otherwise it is
    // built again then. `positions` is anything that gives positions[i] (a
    // pointer to them, or pages of them).
    template <typename Positions>
    unsigned AppendVerticesApart(const Positions& positions, const std::vector<unsigned>& which,
                                 double apart,
                                 const std::vector<std::pair<unsigned, unsigned>>& close,
                                 bool index);

    // Read-only views of the structure, for checks and tools.
    unsigned GetEdgeCount() const;
    const _Edge& GetEdge(unsigned e) const;
    const _Polygon& GetPolygon(unsigned p) const;
    // The edges of polygon p, one per side in corner order (the side from
    // corner k to corner k + 1, the last one closing the polygon).
    unsigned GetPolygonEdgeCount(unsigned p) const;
    int GetPolygonEdge(unsigned p, unsigned k) const;
    // Index of the edge joining vertices a and b (either order), or -1.
    int FindEdge(unsigned a, unsigned b) const;

protected:
    int RecordEdge(int polygon, unsigned a, unsigned b) const;
    // Records the edges of every polygon added since the last call.
    void RecordPendingEdges() const;
    // Indexes the recorded edges again after ReleaseLookups.
    void RestoreEdgeLookup() const;
    // Frees the edge lookup, which is built again from the edges should
    // anything look one up later.
    void ReleaseEdgeLookup();
    void FlipPolygon(unsigned p);
    // Turns the polygons connected to `seed` to run each shared side the
    // other way from their neighbour; isTurned[p] flips with polygon p.
    void SpreadOrientation(unsigned seed, const PolygonSides& sides, std::vector<char>& visited,
                           std::vector<char>& isTurned);
    // Sets an empty polygon record's corners; its normal is pending.
    void FillPolygon(_Polygon& polygon, unsigned count, const unsigned* vertexIndices) const;
    // Works out the normal of every polygon added since the last call. Not
    // to be called on one mesh from two threads at once. Where isTurned says
    // so, the polygon was turned since it was added: its normal is worked
    // out from its corners as they were, and turned.
    void ComputePendingNormals(const std::vector<char>* isTurned = nullptr) const;
    // Follows a renumbering of the vertices (kept ones get their new index,
    // the others ~0u) in the list of close pairs.
    void RenumberClosePairs(const std::vector<unsigned>& newIndex);

    std::vector<Vector3> vertices;
    mutable std::vector<_Edge> edges;
    // The edge of every side of polygons [0, polygonsWithEdges), polygon by
    // polygon: polygon p's run from polygonEdgeStart[p] to
    // polygonEdgeStart[p + 1]. Kept apart from the polygons, which most
    // meshes hold without ever recording edges.
    mutable std::vector<int> polygonEdges;
    mutable std::vector<unsigned> polygonEdgeStart;
    std::vector<_Polygon> polygons;
    mutable EdgeMap edgeLookup;
    mutable unsigned polygonsWithEdges = 0;  // polygons [0, this) have their edges
    // The normals of polygons [0, polygonsWithNormals), one each. Kept in
    // pages: a mesh of millions of polygons asks for them after its merges
    // have left the heap with holes that pages fit and one block would not.
    mutable PagedArray<Vector3> polygonNormals;
    mutable unsigned polygonsWithNormals = 0;
    bool arePolygonNormalsReleased = false;  // see ReleasePolygonNormals
    // Sets `normal` to the unit normal of the polygon's first three corners
    // as they are.
    void PutNormalOf(const _Polygon& polygon, Vector3& normal) const;
    // The same for a polygon whose corners were reversed since: its normal
    // then, turned.
    void PutTurnedNormalOf(const _Polygon& polygon, Vector3& normal) const;
    mutable bool isEdgeLookupReleased = false;  // edges recorded but not indexed

private:
    VertexGrid vertexGrid;
    // Set once the writable GetVertex has been handed out: the grid must be
    // rebuilt before the next lookup, and vertices may have moved closer than
    // the merge distance, so an equal vertex is no longer known to be lowest.
    bool isGridStale = false;
    // Vertices read by PrepareLookupsNear since the grid was last complete.
    std::size_t nearScanCount = 0;
    bool verticesMayHaveMoved = false;
    double separation = VertexGrid::kKnownDistance;
    std::vector<std::pair<unsigned, unsigned>> closePairs;
};

template <typename Positions>
unsigned PolyMesh::AppendVerticesApart(const Positions& positions,
                                       const std::vector<unsigned>& which, double apart,
                                       const std::vector<std::pair<unsigned, unsigned>>& close,
                                       bool index)
{
    const unsigned first = static_cast<unsigned>(vertices.size());
    separation = std::min(separation, apart);
    closePairs.insert(closePairs.end(), close.begin(), close.end());
    // Many vertices at once: the list grows to what it needs and a little
    // more, not to twice its size.
    const std::size_t needed = vertices.size() + which.size();
    if (needed > vertices.capacity())
        vertices.reserve(needed + needed / 16);
    constexpr std::size_t kManyGathered = 65536;
    if (which.size() < kManyGathered || Parallel::Jobs() == 1)
    {
        for (const unsigned i : which)
            vertices.push_back(positions[i]);
    }
    else
    {
        vertices.resize(needed);
        Vector3* gathered = vertices.data() + first;
        Parallel::For(which.size(), kManyGathered / 4,
                      [&](std::size_t begin, std::size_t end)
                      {
                          for (std::size_t k = begin; k < end; ++k)
                              gathered[k] = positions[which[k]];
                      });
    }
    // Indexed by the next lookup that needs them, if one ever does.
    if (!index)
        isGridStale = true;
    return first;
}
