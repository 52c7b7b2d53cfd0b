#pragma once

#include <cstdint>
#include <vector>

#include "geometry/matrix.h"

// Spatial index over a mesh's vertex list that answers "which is the lowest
// vertex index that merges with this position" exactly as a scan over every
// vertex would, while looking only at the few vertices near the position.
//
// Cells are 2^-16 (about 1.5e-5) wide on every axis, wider than the merge
// distance of 1e-6, so every vertex that can merge with a position lies in the
// position's cell or in a direct neighbour, and most positions lie far enough
// inside their cell to need no neighbour at all. Scaling by a power of two is
// exact, so cell keys carry no rounding. An axis value of magnitude 2^36 or
// more is keyed by its bit pattern instead: doubles that large are at least
// 2^-16 apart, so only equal values can merge there. Non-finite positions
// never merge and are not indexed.
class VertexGrid
{
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr double kMergeDistance = 1e-6;

    // The merge test of the mesh: skip when |dx| > 1e-6, merge when the
    // length of the difference is below 1e-6.
    static bool Merges(const Vector3& existing, const Vector3& position);

    // How far apart the grid can tell positions to be: every vertex outside
    // the cells a lookup reads is at least this far from the position.
    static constexpr double kKnownDistance = 1.06e-6;

    // Lowest index i of `vertices` with Merges(vertices[i], position). When
    // there is none, returns kNone, appends to `close` every vertex closer
    // than kKnownDistance to the position (all others are farther), and
    // indexes the position as the next vertex, which the caller appends to
    // `vertices`.
    // `exactHitIsLowest` may be set while every vertex was appended only after
    // failing the merge test against all earlier ones: a vertex equal to the
    // position is then the answer without looking further.
    std::uint32_t FindOrAdd(const std::vector<Vector3>& vertices, const Vector3& position,
                            bool exactHitIsLowest, std::vector<std::uint32_t>& close);
    // As FindOrAdd, but indexes nothing: safe from several threads at once
    // while the grid is not changed.
    std::uint32_t Find(const std::vector<Vector3>& vertices, const Vector3& position,
                       bool exactHitIsLowest, std::vector<std::uint32_t>& close) const;

    // Indexes every vertex from IndexedCount() on that is not indexed yet, in
    // ascending order.
    void InsertRest(const std::vector<Vector3>& vertices);

    // Indexes, in ascending order, the vertices from IndexedCount() on that
    // are not indexed yet and lie in a cell that a lookup of one of
    // `positions` reads. Lookups of those positions then answer as if every
    // vertex were indexed, and so do they after FindOrAdd of any of them.
    // The rest stay waiting: their cells hold nothing indexed above them.
    void InsertNear(const std::vector<Vector3>& vertices, const std::vector<Vector3>& positions);

    // Asks the processor to load the memory a lookup of `position` reads
    // first, for callers that know their next positions ahead.
    void Prefetch(const Vector3& position) const;

    // Vertices [0, this) are all indexed; some above may be too.
    std::uint32_t IndexedCount() const { return indexedCount; }

    // Indexes every vertex anew, after vertices were moved.
    void Rebuild(const std::vector<Vector3>& vertices);

    void Clear();

private:
    // A cell is known by a 64-bit hash of its three keys. Two cells whose
    // hashes collide share one chain; every candidate is tested anyway, and
    // a chain stays in ascending order, so the answer does not change.
    struct Cell
    {
        std::uint64_t key;
        std::uint32_t first;  // kNone marks an unused slot
        std::uint32_t last;
    };

    struct AxisRange
    {
        std::int64_t lo;
        std::int64_t key;
        std::int64_t hi;
    };

    static bool IsIndexable(const Vector3& position);
    // The search of FindOrAdd and Find, over a table with at least one slot;
    // `ownSlot` is where the position's cell is or would go. `close` gets the
    // close vertices seen; complete only when nothing merges.
    std::uint32_t Search(const std::vector<Vector3>& vertices, const Vector3& position,
                         bool exactHitIsLowest, std::vector<std::uint32_t>& close,
                         std::size_t& ownSlot, std::uint64_t& ownKey) const;
    static AxisRange KeyRange(double value);
    static std::uint64_t CellKey(std::int64_t kx, std::int64_t ky, std::int64_t kz);
    std::size_t FindSlot(std::uint64_t key) const;
    // Doubles the table, or more to reach `size` slots.
    void GrowTable(std::size_t size = 0);
    static std::uint64_t OwnKey(const Vector3& position);

    // Links vertices[index], not indexed yet, into its cell's chain.
    void Link(const std::vector<Vector3>& vertices, std::uint32_t index);
    // Gives vertex `newIndex`, the next one, its place in the chains.
    void TakeNewIndex(std::uint32_t newIndex);
    // Appends vertex `index` to the chain of the cell `key` at `slot`.
    void AppendToCell(std::size_t slot, std::uint64_t key, std::uint32_t index);
    // visit(key, isOwn) for every cell a lookup with these ranges reads,
    // isOwn for the position's own cell.
    template <typename Visit>
    static void ForEachCell(const AxisRange& rx, const AxisRange& ry, const AxisRange& rz,
                            Visit visit);

    // In nextInCell: a vertex not indexed yet.
    static constexpr std::uint32_t kWaiting = 0xFFFFFFFEu;

    std::vector<Cell> cells;                // open addressing, power-of-two size
    std::vector<std::uint32_t> nextInCell;  // per vertex, ascending chain
    std::size_t usedCellCount = 0;
    std::uint32_t indexedCount = 0;

    // The least box around the positions added to it.
    struct Box
    {
        Vector3 least, most;
        bool isKnown = false;  // a block's: its vertices were all read
        bool isEmpty = true;
        void Add(const Vector3& v)
        {
            least = isEmpty ? v : component_min(least, v);
            most = isEmpty ? v : component_max(most, v);
            isEmpty = false;
        }
        bool Contains(const Vector3& v) const
        {
            return !isEmpty && v.x >= least.x && v.x <= most.x && v.y >= least.y && v.y <= most.y &&
                   v.z >= least.z && v.z <= most.z;
        }
        bool Meets(const Box& other) const
        {
            return !isEmpty && !other.isEmpty && most.x >= other.least.x &&
                   least.x <= other.most.x && most.y >= other.least.y && least.y <= other.most.y &&
                   most.z >= other.least.z && least.z <= other.most.z;
        }
    };
    // The box of the finite vertices of each whole block of kBlockVertices,
    // from block 0 on, once InsertNear has read the whole block.
    static constexpr std::size_t kBlockVertices = 4096;
    std::vector<Box> blockBoxes;
};
