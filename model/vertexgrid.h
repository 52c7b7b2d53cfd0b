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

    // The merge test of the mesh: skip when |dx| > 1e-6, merge when the
    // length of the difference is below 1e-6.
    static bool Merges(const Vector3& existing, const Vector3& position);

    // Lowest index i of `vertices` with Merges(vertices[i], position). When
    // there is none, returns kNone and indexes the position as the next
    // vertex, which the caller appends to `vertices`.
    // `exactHitIsLowest` may be set while every vertex was appended only after
    // failing the merge test against all earlier ones: a vertex equal to the
    // position is then the answer without looking further.
    std::uint32_t FindOrAdd(const std::vector<Vector3>& vertices, const Vector3& position,
                            bool exactHitIsLowest);

    // Indexes vertices[index]; indices must be inserted in ascending order.
    void Insert(const std::vector<Vector3>& vertices, std::uint32_t index);

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
    static AxisRange KeyRange(double value);
    static std::uint64_t CellKey(std::int64_t kx, std::int64_t ky, std::int64_t kz);
    std::size_t FindSlot(std::uint64_t key) const;
    void GrowTable();

    std::vector<Cell> cells;                // open addressing, power-of-two size
    std::vector<std::uint32_t> nextInCell;  // per vertex, ascending chain
    std::size_t usedCellCount = 0;
};
