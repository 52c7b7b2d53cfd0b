#pragma once

#include <cstdint>
#include <vector>

// Finds the one edge of an unordered vertex pair: a hash map from the pair
// (vertexLo, vertexHi) to the edge's index, with open addressing.
class EdgeMap
{
public:
    static constexpr int kNone = -1;

    // Index stored for the pair, or kNone.
    int Find(unsigned vertexLo, unsigned vertexHi) const
    {
        if (slots.empty())
            return kNone;
        const std::uint64_t key = KeyOf(vertexLo, vertexHi);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t slot = Hash(key) & mask;; slot = (slot + 1) & mask)
        {
            if (slots[slot].key == key)
                return slots[slot].edgeIndex;
            if (slots[slot].key == kEmptyKey)
                return kNone;
        }
    }

    // Stores a pair that is not in the map yet.
    void Insert(unsigned vertexLo, unsigned vertexHi, int edgeIndex)
    {
        if (IsFullFor(usedCount + 1))
            Grow();
        Place(KeyOf(vertexLo, vertexHi), edgeIndex);
        ++usedCount;
    }

    // The index stored for the pair; when there is none, stores `edgeIndex`
    // for it and returns kNone. One probe for both.
    int FindOrInsert(unsigned vertexLo, unsigned vertexHi, int edgeIndex)
    {
        if (IsFullFor(usedCount + 1))
            Grow();
        const std::uint64_t key = KeyOf(vertexLo, vertexHi);
        const std::size_t mask = slots.size() - 1;
        std::size_t slot = Hash(key) & mask;
        for (; slots[slot].key != kEmptyKey; slot = (slot + 1) & mask)
            if (slots[slot].key == key)
                return slots[slot].edgeIndex;
        slots[slot] = {key, edgeIndex};
        ++usedCount;
        return kNone;
    }

    // Asks the processor to load the slot where the pair's search starts.
    void Prefetch(unsigned vertexLo, unsigned vertexHi) const
    {
        if (!slots.empty())
            __builtin_prefetch(&slots[Hash(KeyOf(vertexLo, vertexHi)) & (slots.size() - 1)]);
    }

    // Makes room for `count` pairs in all, so that storing them moves nothing.
    void Reserve(std::size_t count)
    {
        std::size_t size = slots.empty() ? 64 : slots.size();
        while (count * kLoadDenominator > size * kLoadNumerator)
            size *= 2;
        if (size == slots.size())
            return;
        std::vector<Slot> old;
        old.swap(slots);
        slots.assign(size, Slot{kEmptyKey, kNone});
        for (const Slot& slot : old)
            if (slot.key != kEmptyKey)
                Place(slot.key, slot.edgeIndex);
    }

    void Clear()
    {
        std::vector<Slot>().swap(slots);
        usedCount = 0;
    }

private:
    struct Slot
    {
        std::uint64_t key;
        int edgeIndex;
    };

    // At most this share of the slots is used: a table of a mesh's edges is
    // the largest thing in memory while they are recorded, and linear probes
    // at this load still mostly stay within a cache line or two.
    static constexpr std::size_t kLoadNumerator = 7;
    static constexpr std::size_t kLoadDenominator = 10;

    bool IsFullFor(std::size_t count) const
    {
        return count * kLoadDenominator > slots.size() * kLoadNumerator;
    }

    // No pair has two all-ones indices: a mesh holds fewer vertices than that.
    static constexpr std::uint64_t kEmptyKey = ~std::uint64_t{0};

    static std::uint64_t KeyOf(unsigned lo, unsigned hi)
    {
        return (static_cast<std::uint64_t>(lo) << 32) | hi;
    }

    static std::size_t Hash(std::uint64_t key)
    {
        key ^= key >> 33;
        key *= 0xFF51AFD7ED558CCDull;
        key ^= key >> 33;
        return static_cast<std::size_t>(key);
    }

    void Place(std::uint64_t key, int edgeIndex)
    {
        const std::size_t mask = slots.size() - 1;
        std::size_t slot = Hash(key) & mask;
        while (slots[slot].key != kEmptyKey)
            slot = (slot + 1) & mask;
        slots[slot] = {key, edgeIndex};
    }

    void Grow()
    {
        std::vector<Slot> old;
        old.swap(slots);
        slots.assign(old.empty() ? 64 : old.size() * 2, Slot{kEmptyKey, kNone});
        for (const Slot& slot : old)
            if (slot.key != kEmptyKey)
                Place(slot.key, slot.edgeIndex);
    }

    std::vector<Slot> slots;
    std::size_t usedCount = 0;
};
