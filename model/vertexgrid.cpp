#include "model/vertexgrid.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "model/parallel.h"

namespace
{

constexpr double kMergeDistance = VertexGrid::kMergeDistance;

// 2^16 cells per unit: a cell (15 micrometres of LDraw units) is many merge
// distances wide, so a position rarely needs a neighbouring cell, and far
// narrower than any real feature, so cells hold one vertex or a few.
constexpr double kCellsPerUnit = 65536.0;

// Cell borders sit half a cell off the multiples of 2^-16, so the integers
// and binary fractions that LDraw geometry is full of lie mid-cell.
constexpr double kBorderOffset = 0.5;

// Below 2^36 the scaled value plus the offset is exact. From 2^36 on,
// neighbouring doubles are 2^-16 apart, far more than the merge distance, so
// such an axis value can only merge with itself.
constexpr double kIndexedRange = 68719476736.0;

// A position merges only with vertices at most 1e-6 (plus rounding) away on
// every axis: 0.0656 of a cell; 0.07 leaves room.
constexpr double kNeighbourReach = 0.07;
static_assert(VertexGrid::kKnownDistance < kNeighbourReach / kCellsPerUnit,
              "a lookup reads every cell within the known distance");

std::uint64_t BitsOf(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::uint64_t HashCell(std::int64_t kx, std::int64_t ky, std::int64_t kz)
{
    // Keys of grid-aligned geometry share many trailing zero bits; the final
    // mix spreads every bit over the whole word.
    std::uint64_t h = static_cast<std::uint64_t>(kx) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint64_t>(ky) * 0xC2B2AE3D27D4EB4Full;
    h ^= static_cast<std::uint64_t>(kz) * 0x165667B19E3779F9ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

}  // namespace

bool VertexGrid::Merges(const Vector3& existing, const Vector3& position)
{
    if (std::fabs(existing.x - position.x) > kMergeDistance)
        return false;
    return (existing - position).Length() < kMergeDistance;
}

bool VertexGrid::IsIndexable(const Vector3& position)
{
    return std::isfinite(position.x) && std::isfinite(position.y) && std::isfinite(position.z);
}

VertexGrid::AxisRange VertexGrid::KeyRange(double value)
{
    if (std::fabs(value) < kIndexedRange)
    {
        // Exact: a power-of-two scale, then a sum below 2^52.
        const double scaled = value * kCellsPerUnit + kBorderOffset;
        const double cell = std::floor(scaled);
        const double offset = scaled - cell;  // exact, in [0, 1)
        const std::int64_t key = static_cast<std::int64_t>(cell);
        return {offset < kNeighbourReach ? key - 1 : key, key,
                offset > 1.0 - kNeighbourReach ? key + 1 : key};
    }
    // Cell keys stay below 2^53 in magnitude; these lie in [2^62, 2^63).
    const std::int64_t key =
        static_cast<std::int64_t>((BitsOf(value) >> 2) | 0x4000000000000000ull);
    return {key, key, key};
}

std::uint64_t VertexGrid::CellKey(std::int64_t kx, std::int64_t ky, std::int64_t kz)
{
    return HashCell(kx, ky, kz);
}

std::size_t VertexGrid::FindSlot(std::uint64_t key) const
{
    const std::size_t mask = cells.size() - 1;
    std::size_t slot = static_cast<std::size_t>(key) & mask;
    while (cells[slot].first != kNone && cells[slot].key != key)
        slot = (slot + 1) & mask;
    return slot;
}

bool IsClose(const Vector3& existing, const Vector3& position)
{
    if (std::fabs(existing.x - position.x) >= VertexGrid::kKnownDistance)
        return false;
    return (existing - position).Length() < VertexGrid::kKnownDistance;
}

template <typename Visit>
void VertexGrid::ForEachCell(const AxisRange& rx, const AxisRange& ry, const AxisRange& rz,
                             Visit visit)
{
    for (std::int64_t kx = rx.lo; kx <= rx.hi; ++kx)
        for (std::int64_t ky = ry.lo; ky <= ry.hi; ++ky)
            for (std::int64_t kz = rz.lo; kz <= rz.hi; ++kz)
                visit(CellKey(kx, ky, kz), kx == rx.key && ky == ry.key && kz == rz.key);
}

std::uint32_t VertexGrid::Search(const std::vector<Vector3>& vertices, const Vector3& position,
                                 bool exactHitIsLowest, std::vector<std::uint32_t>& close,
                                 std::size_t& ownSlot, std::uint64_t& ownKey) const
{
    const AxisRange rx = KeyRange(position.x);
    const AxisRange ry = KeyRange(position.y);
    const AxisRange rz = KeyRange(position.z);

    std::uint32_t best = kNone;
    // The position's own cell first: it usually holds the answer, and an
    // equal vertex there ends the search when the caller allows it.
    ownKey = CellKey(rx.key, ry.key, rz.key);
    ownSlot = FindSlot(ownKey);
    for (std::uint32_t i = cells[ownSlot].first; i != kNone; i = nextInCell[i])
    {
        const Vector3& v = vertices[i];
        if (exactHitIsLowest && v.x == position.x && v.y == position.y && v.z == position.z)
            return i;
        if (Merges(v, position))
        {
            best = i;
            break;
        }
        if (IsClose(v, position))
            close.push_back(i);
    }

    // Neighbours: the first merging vertex of each cell is that cell's
    // lowest; the answer is the lowest over all cells.
    ForEachCell(rx, ry, rz,
                [&](std::uint64_t key, bool isOwn)
                {
                    if (isOwn)
                        return;
                    const Cell& cell = cells[FindSlot(key)];
                    for (std::uint32_t i = cell.first; i != kNone && i < best; i = nextInCell[i])
                    {
                        if (Merges(vertices[i], position))
                        {
                            best = i;
                            break;
                        }
                        if (IsClose(vertices[i], position))
                            close.push_back(i);
                    }
                });
    return best;
}

std::uint32_t VertexGrid::Find(const std::vector<Vector3>& vertices, const Vector3& position,
                               bool exactHitIsLowest, std::vector<std::uint32_t>& close) const
{
    if (!IsIndexable(position) || cells.empty())
        return kNone;
    std::size_t ownSlot = 0;
    std::uint64_t ownKey = 0;
    return Search(vertices, position, exactHitIsLowest, close, ownSlot, ownKey);
}

std::uint32_t VertexGrid::FindOrAdd(const std::vector<Vector3>& vertices, const Vector3& position,
                                    bool exactHitIsLowest, std::vector<std::uint32_t>& close)
{
    const std::uint32_t newIndex = static_cast<std::uint32_t>(vertices.size());
    assert(nextInCell.size() <= newIndex);
    if (!IsIndexable(position))
    {
        TakeNewIndex(newIndex);
        return kNone;
    }
    // Room first, so that the position's slot stays valid for the insertion.
    if ((usedCellCount + 1) * 2 > cells.size())
        GrowTable();
    std::size_t ownSlot = 0;
    std::uint64_t ownKey = 0;
    const std::uint32_t best = Search(vertices, position, exactHitIsLowest, close, ownSlot, ownKey);
    if (best != kNone)
        return best;

    TakeNewIndex(newIndex);
    AppendToCell(ownSlot, ownKey, newIndex);
    return kNone;
}

void VertexGrid::TakeNewIndex(std::uint32_t newIndex)
{
    nextInCell.resize(newIndex, kWaiting);
    nextInCell.push_back(kNone);
    indexedCount += indexedCount == newIndex ? 1 : 0;
}

void VertexGrid::AppendToCell(std::size_t slot, std::uint64_t key, std::uint32_t index)
{
    Cell& cell = cells[slot];
    if (cell.first == kNone)
    {
        cell = {key, index, index};
        ++usedCellCount;
    }
    else if (cell.last < index)
    {
        nextInCell[cell.last] = index;
        cell.last = index;
    }
    else
    {
        // Linked after a higher one: only in a cell shared by colliding
        // hashes, part of it linked near some lookups before the rest. The
        // chain stays ascending.
        std::uint32_t* link = &cell.first;
        while (*link < index)
            link = &nextInCell[*link];
        nextInCell[index] = *link;
        *link = index;
    }
}

void VertexGrid::Link(const std::vector<Vector3>& vertices, std::uint32_t index)
{
    nextInCell[index] = kNone;
    const Vector3& position = vertices[index];
    if (!IsIndexable(position))
        return;
    if ((usedCellCount + 1) * 2 > cells.size())
        GrowTable();
    const std::uint64_t key = OwnKey(position);
    AppendToCell(FindSlot(key), key, index);
}

std::uint64_t VertexGrid::OwnKey(const Vector3& position)
{
    return CellKey(KeyRange(position.x).key, KeyRange(position.y).key, KeyRange(position.z).key);
}

void VertexGrid::Prefetch(const Vector3& position) const
{
    if (cells.empty() || !IsIndexable(position))
        return;
    __builtin_prefetch(&cells[static_cast<std::size_t>(OwnKey(position)) & (cells.size() - 1)]);
}

void VertexGrid::InsertRest(const std::vector<Vector3>& vertices)
{
    const std::uint32_t count = static_cast<std::uint32_t>(vertices.size());
    // Room for all at once; every vertex takes at most one cell.
    std::size_t size = cells.empty() ? 64 : cells.size();
    while ((usedCellCount + (count - indexedCount) + 1) * 2 > size)
        size *= 2;
    if (size > cells.size())
        GrowTable(size);
    nextInCell.resize(count, kWaiting);
    // Cells are scattered over the table: ask for each a few vertices ahead.
    constexpr std::uint32_t kAhead = 12;
    for (std::uint32_t i = indexedCount; i < count; ++i)
    {
        if (i + kAhead < count)
            Prefetch(vertices[i + kAhead]);
        if (nextInCell[i] == kWaiting)
            Link(vertices, i);
    }
    indexedCount = count;
}

void VertexGrid::InsertNear(const std::vector<Vector3>& vertices,
                            const std::vector<Vector3>& positions)
{
    // The keys the lookups read, in a small table of their own: zero marks
    // a free slot, and a zero key is kept apart. A lookup reads at most two
    // cells along each axis, eight in all; the table stays at most half full.
    std::size_t size = 64;
    while (size < positions.size() * 16)
        size *= 2;
    std::vector<std::uint64_t> read(size, 0);
    bool readsZero = false;
    const std::size_t mask = size - 1;
    for (const Vector3& position : positions)
        if (IsIndexable(position))
            ForEachCell(KeyRange(position.x), KeyRange(position.y), KeyRange(position.z),
                        [&](std::uint64_t key, bool)
                        {
                            if (key == 0)
                            {
                                readsZero = true;
                                return;
                            }
                            std::size_t slot = key & mask;
                            while (read[slot] != 0 && read[slot] != key)
                                slot = (slot + 1) & mask;
                            read[slot] = key;
                        });
    // One bit per key's top bits, in a map that stays in the cache: most
    // vertices lie in no cell read, and one bit tells them apart.
    int filterBits = 16;
    while (filterBits < 26 && (std::size_t(1) << filterBits) < size)
        ++filterBits;
    std::vector<std::uint64_t> filter((std::size_t(1) << filterBits) / 64, 0);
    const auto filterBit = [&](std::uint64_t key) { return key >> (64 - filterBits); };
    for (const std::uint64_t key : read)
        if (key != 0)
            filter[filterBit(key) / 64] |= std::uint64_t(1) << (filterBit(key) % 64);
    const auto isRead = [&](std::uint64_t key)
    {
        if (key == 0)
            return readsZero;
        if ((filter[filterBit(key) / 64] >> (filterBit(key) % 64) & 1) == 0)
            return false;
        for (std::size_t slot = key & mask;; slot = (slot + 1) & mask)
        {
            if (read[slot] == key)
                return true;
            if (read[slot] == 0)
                return false;
        }
    };

    // The box of the cells read, with room to spare: a vertex outside it
    // lies in no cell read, and is told apart without its key. Only a cell
    // whose hash collides with one read could hold it; it is then linked
    // later, in its place in the chain. Positions beyond the exact range
    // are keyed by their bits: no box then.
    constexpr double kBoxMargin = 4.0 / kCellsPerUnit;
    constexpr double kBoxedRange = kIndexedRange / 2;
    bool isBoxed = true;
    Box readBox;
    for (const Vector3& position : positions)
    {
        if (!IsIndexable(position))
            continue;
        if (std::fabs(position.x) >= kBoxedRange || std::fabs(position.y) >= kBoxedRange ||
            std::fabs(position.z) >= kBoxedRange)
        {
            isBoxed = false;
            break;
        }
        readBox.Add(position);
    }
    const Vector3 margin(kBoxMargin, kBoxMargin, kBoxMargin);
    readBox.least = readBox.least - margin;
    readBox.most = readBox.most + margin;
    const auto mayBeRead = [&](const Vector3& v) { return !isBoxed || readBox.Contains(v); };

    const std::uint32_t count = static_cast<std::uint32_t>(vertices.size());
    nextInCell.resize(count, kWaiting);
    const std::uint32_t first = indexedCount;
    // Which waiting vertices lie in a cell read, on every job, a block at a
    // time; then linked in ascending order. A whole block scanned once keeps
    // the box of its vertices, and a block whose box lies outside the
    // positions' is not read again.
    const std::size_t blockCount = (std::size_t(count) + kBlockVertices - 1) / kBlockVertices;
    const std::size_t firstBlock = first / kBlockVertices;
    if (blockBoxes.size() < count / kBlockVertices)
        blockBoxes.resize(count / kBlockVertices);
    std::vector<unsigned char> isNear(count - first, 0);
    Parallel::For(blockCount - firstBlock, 1,
                  [&](std::size_t begin, std::size_t end)
                  {
                      for (std::size_t b = firstBlock + begin; b < firstBlock + end; ++b)
                      {
                          const std::uint32_t from =
                              std::max(first, static_cast<std::uint32_t>(b * kBlockVertices));
                          const std::uint32_t to = static_cast<std::uint32_t>(
                              std::min<std::size_t>(count, (b + 1) * kBlockVertices));
                          const bool isWhole = b < blockBoxes.size() && from == b * kBlockVertices;
                          Box* box = isWhole ? &blockBoxes[b] : nullptr;
                          if (box != nullptr && box->isKnown && isBoxed && !box->Meets(readBox))
                              continue;
                          const bool isBoxMade = box != nullptr && !box->isKnown;
                          Box made;
                          for (std::uint32_t i = from; i < to; ++i)
                          {
                              const Vector3& v = vertices[i];
                              if (!IsIndexable(v))
                                  continue;
                              if (isBoxMade)
                                  made.Add(v);
                              isNear[i - first] =
                                  nextInCell[i] == kWaiting && mayBeRead(v) && isRead(OwnKey(v));
                          }
                          if (isBoxMade)
                          {
                              made.isKnown = true;
                              *box = made;
                          }
                      }
                  });
    for (std::uint32_t j = 0; j < count - first; ++j)
        if (isNear[j])
            Link(vertices, first + j);
}

void VertexGrid::GrowTable(std::size_t size)
{
    std::vector<Cell> old;
    old.swap(cells);
    cells.assign(std::max<std::size_t>(size, old.empty() ? 64 : old.size() * 2),
                 Cell{0, kNone, kNone});
    for (const Cell& cell : old)
        if (cell.first != kNone)
            cells[FindSlot(cell.key)] = cell;
}

void VertexGrid::Rebuild(const std::vector<Vector3>& vertices)
{
    Clear();
    InsertRest(vertices);
}

void VertexGrid::Clear()
{
    std::vector<Box>().swap(blockBoxes);
    std::vector<Cell>().swap(cells);
    std::vector<std::uint32_t>().swap(nextInCell);
    usedCellCount = 0;
    indexedCount = 0;
}
