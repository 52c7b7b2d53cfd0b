#include "model/polygonsides.h"

#include <algorithm>
#include <cstdint>

#include "model/parallel.h"

namespace
{

// Runs of fewer polygons than this are not worth a thread.
constexpr std::size_t kPolygonsPerRun = 65536;

std::uint64_t KeyOf(unsigned a, unsigned b)
{
    return a < b ? (static_cast<std::uint64_t>(a) << 32) | b
                 : (static_cast<std::uint64_t>(b) << 32) | a;
}

std::uint64_t Hash(std::uint64_t key)
{
    key ^= key >> 33;
    key *= 0xFF51AFD7ED558CCDull;
    key ^= key >> 33;
    return key;
}

// The distinct vertex pairs of one run's sides, in the order first met, with
// the first and the last polygon that joined them (last -1 while only one
// side has), and an open-addressing table over them. A slot holds the
// pair's entry and some bits of its hash, so that a probe mostly reads the
// table alone; entries keep their place when the table grows.
class SideTable
{
public:
    struct Entry
    {
        std::uint64_t key;
        int first;
        int last;
    };

    // Room for `expected` pairs before the table grows.
    void Reserve(std::size_t expected)
    {
        entries.reserve(expected);
        Resize(expected);
    }

    // The entry of the pair, recording polygon p as its newest.
    unsigned Record(std::uint64_t key, int p)
    {
        if ((entries.size() + 1) * kLoadDenominator > slots.size() * kLoadNumerator)
            Resize(2 * entries.size());
        const std::uint64_t hash = Hash(key);
        Slot& slot = slots[SlotOf(key, hash)];
        if (slot.entry != kEmpty)
        {
            entries[slot.entry].last = p;
            return slot.entry;
        }
        slot = {static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(entries.size())};
        entries.push_back({key, p, -1});
        return slot.entry;
    }

    const Entry* Find(std::uint64_t key) const
    {
        const Slot& slot = slots[SlotOf(key, Hash(key))];
        return slot.entry == kEmpty ? nullptr : &entries[slot.entry];
    }

    void Prefetch(std::uint64_t key) const
    {
        __builtin_prefetch(&slots[Hash(key) & (slots.size() - 1)]);
    }

    void ReleaseTable() { std::vector<Slot>().swap(slots); }

    std::vector<Entry> entries;

private:
    struct Slot
    {
        std::uint32_t tag;
        std::uint32_t entry;
    };
    static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};
    static constexpr std::size_t kLoadNumerator = 7;
    static constexpr std::size_t kLoadDenominator = 10;

    // The slot that holds the pair, or the empty one where it would go.
    std::size_t SlotOf(std::uint64_t key, std::uint64_t hash) const
    {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        const std::size_t mask = slots.size() - 1;
        std::size_t slot = hash & mask;
        while (slots[slot].entry != kEmpty &&
               (slots[slot].tag != tag || entries[slots[slot].entry].key != key))
            slot = (slot + 1) & mask;
        return slot;
    }

    void Resize(std::size_t count)
    {
        std::size_t size = 64;
        while (count * kLoadDenominator > size * kLoadNumerator)
            size *= 2;
        slots.assign(size, Slot{0, kEmpty});
        const std::size_t mask = size - 1;
        for (std::size_t e = 0; e < entries.size(); ++e)
        {
            const std::uint64_t hash = Hash(entries[e].key);
            std::size_t slot = hash & mask;
            while (slots[slot].entry != kEmpty)
                slot = (slot + 1) & mask;
            slots[slot] = {static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(e)};
        }
    }

    std::vector<Slot> slots;
};

unsigned SideCount(const _Polygon& polygon)
{
    const unsigned count = polygon.vertexIndices.size();
    return count > 2 ? count : count == 2 ? 1 : 0;
}

// The two vertices of side k of a polygon of `count` corners.
std::uint64_t SideKey(const unsigned* corner, unsigned count, unsigned k)
{
    return KeyOf(corner[k], corner[k + 1 < count ? k + 1 : 0]);
}

}  // namespace

PolygonSides FindPolygonSides(const std::vector<_Polygon>& polygons, unsigned vertexCount)
{
    PolygonSides sides;
    const std::size_t polygonCount = polygons.size();
    sides.start.resize(polygonCount + 1);
    sides.start[0] = 0;
    for (std::size_t p = 0; p < polygonCount; ++p)
        sides.start[p + 1] = sides.start[p] + SideCount(polygons[p]);
    // Each side first holds its pair's entry in its run's table.
    sides.across.resize(sides.start[polygonCount]);

    const std::size_t runCount = std::max<std::size_t>(
        1, std::min<std::size_t>(Parallel::Jobs(), polygonCount / kPolygonsPerRun));
    const auto runBegin = [&](std::size_t r) { return polygonCount * r / runCount; };
    std::vector<SideTable> tables(runCount);
    // Which vertices each run's sides use: only a pair of vertices that two
    // runs both use can be joined in both.
    std::vector<std::vector<unsigned char>> uses(runCount > 1 ? runCount : 0);

    Parallel::ForEach(runCount,
                      [&](std::size_t r)
                      {
                          SideTable& table = tables[r];
                          // Most pairs join two triangles, and brick meshes
                          // have open sides.
                          table.Reserve((runBegin(r + 1) - runBegin(r)) * 7 / 4 + 16);
                          if (runCount > 1)
                              uses[r].assign(vertexCount, 0);
                          const std::size_t end = runBegin(r + 1);
                          constexpr std::size_t kAhead = 6;
                          for (std::size_t p = runBegin(r); p < end; ++p)
                          {
                              if (p + kAhead < end)
                              {
                                  const _Polygon& ahead = polygons[p + kAhead];
                                  const unsigned count = ahead.vertexIndices.size();
                                  for (unsigned k = 0; k < SideCount(ahead); ++k)
                                      table.Prefetch(SideKey(ahead.vertexIndices.data(), count, k));
                              }
                              const _Polygon& polygon = polygons[p];
                              const unsigned count = polygon.vertexIndices.size();
                              const unsigned* corner = polygon.vertexIndices.data();
                              int* across = sides.across.data() + sides.start[p];
                              for (unsigned k = 0; k < SideCount(polygon); ++k)
                                  across[k] = static_cast<int>(
                                      table.Record(SideKey(corner, count, k), static_cast<int>(p)));
                              if (runCount > 1)
                                  for (unsigned k = 0; k < count; ++k)
                                      uses[r][corner[k]] = 1;
                          }
                      });

    if (runCount > 1)
    {
        // A pair joined in several runs: its first polygon is that of the
        // earliest run, its last that of the latest (the latest run's last,
        // or its first when only one of its sides joins the pair).
        struct Change
        {
            unsigned entry;
            int first;
            int last;
        };
        std::vector<std::vector<Change>> changes(runCount);
        Parallel::ForEach(
            runCount,
            [&](std::size_t r)
            {
                const std::vector<SideTable::Entry>& entries = tables[r].entries;
                for (std::size_t e = 0; e < entries.size(); ++e)
                {
                    const std::uint64_t key = entries[e].key;
                    const auto lo = static_cast<unsigned>(key >> 32);
                    const auto hi = static_cast<unsigned>(key);
                    int first = entries[e].first;
                    int last = entries[e].last != -1 ? entries[e].last : entries[e].first;
                    bool isShared = false;
                    for (std::size_t other = 0; other < runCount; ++other)
                    {
                        if (other == r || !uses[other][lo] || !uses[other][hi])
                            continue;
                        const SideTable::Entry* found = tables[other].Find(key);
                        if (found == nullptr)
                            continue;
                        isShared = true;
                        if (other < r)
                            first = std::min(first, found->first);
                        else
                            last = std::max(last, found->last != -1 ? found->last : found->first);
                    }
                    if (isShared)
                        changes[r].push_back({static_cast<unsigned>(e), first, last});
                }
            });
        Parallel::ForEach(runCount,
                          [&](std::size_t r)
                          {
                              tables[r].ReleaseTable();
                              for (const Change& change : changes[r])
                              {
                                  SideTable::Entry& entry = tables[r].entries[change.entry];
                                  entry.first = change.first;
                                  entry.last = change.last;
                              }
                          });
    }
    else
    {
        tables[0].ReleaseTable();
    }
    uses.clear();

    Parallel::ForEach(runCount,
                      [&](std::size_t r)
                      {
                          const std::vector<SideTable::Entry>& entries = tables[r].entries;
                          const std::size_t end = runBegin(r + 1);
                          for (std::size_t p = runBegin(r); p < end; ++p)
                          {
                              const int self = static_cast<int>(p);
                              for (unsigned s = sides.start[p]; s < sides.start[p + 1]; ++s)
                              {
                                  const SideTable::Entry& entry =
                                      entries[static_cast<unsigned>(sides.across[s])];
                                  sides.across[s] = entry.first == self ? entry.last : entry.first;
                              }
                          }
                      });
    return sides;
}
