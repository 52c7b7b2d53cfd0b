#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

// The vertex indices of one polygon's corners, in 12 bytes. A mesh holds
// millions of triangles and almost nothing else, so three corners are kept
// in the object; any other count (more corners, or none yet) is kept in a
// heap block whose address takes the room of the first two, the third
// holding kSpilled. No vertex has that index: a mesh with 2^32 - 1 vertices
// would need about 100 GB for them.
class PolygonCorners
{
public:
    static constexpr std::uint32_t kSpilled = 0xFFFFFFFFu;

    PolygonCorners() = default;
    PolygonCorners(const PolygonCorners& other) { CopyFrom(other); }
    PolygonCorners(PolygonCorners&& other) noexcept { TakeFrom(other); }
    ~PolygonCorners() { Release(); }

    PolygonCorners& operator=(const PolygonCorners& other)
    {
        if (this != &other)
        {
            Release();
            CopyFrom(other);
        }
        return *this;
    }
    PolygonCorners& operator=(PolygonCorners&& other) noexcept
    {
        if (this != &other)
        {
            Release();
            TakeFrom(other);
        }
        return *this;
    }

    bool IsTriangle() const { return items[2] != kSpilled; }
    unsigned size() const
    {
        if (IsTriangle())
            return 3;
        const std::uint32_t* block = Block();
        return block != nullptr ? block[0] : 0;
    }
    std::uint32_t* data() { return IsTriangle() ? items : Block() + 1; }
    const std::uint32_t* data() const { return IsTriangle() ? items : Block() + 1; }
    std::uint32_t* begin() { return data(); }
    std::uint32_t* end() { return data() + size(); }
    const std::uint32_t* begin() const { return data(); }
    const std::uint32_t* end() const { return data() + size(); }

    std::uint32_t& operator[](unsigned i)
    {
        assert(i < size());
        return data()[i];
    }
    std::uint32_t operator[](unsigned i) const
    {
        assert(i < size());
        return data()[i];
    }

    // Replaces the corners by `n` indices from `from`, none of them kSpilled.
    void assign(const std::uint32_t* from, unsigned n)
    {
        if (n == 3)
        {
            assert(from[0] != kSpilled && from[1] != kSpilled && from[2] != kSpilled);
            Release();
            items[0] = from[0];
            items[1] = from[1];
            items[2] = from[2];
            return;
        }
        auto* block = new std::uint32_t[1 + n];
        block[0] = n;
        if (n > 0)
            std::memcpy(block + 1, from, n * sizeof *from);
        Release();
        SetBlock(block);
    }

private:
    std::uint32_t* Block() const
    {
        std::uint32_t* block;
        std::memcpy(&block, items, sizeof block);
        return block;
    }
    void SetBlock(std::uint32_t* block)
    {
        std::memcpy(items, &block, sizeof block);
        items[2] = kSpilled;
    }
    void Release()
    {
        if (!IsTriangle())
        {
            delete[] Block();
            SetBlock(nullptr);
        }
    }
    void CopyFrom(const PolygonCorners& other)
    {
        if (other.IsTriangle())
        {
            std::memcpy(items, other.items, sizeof items);
            return;
        }
        const std::uint32_t* from = other.Block();
        if (from == nullptr)
        {
            SetBlock(nullptr);
            return;
        }
        auto* block = new std::uint32_t[1 + from[0]];
        std::memcpy(block, from, (1 + from[0]) * sizeof *from);
        SetBlock(block);
    }
    void TakeFrom(PolygonCorners& other)
    {
        // Three corners or a block's address: the same bytes either way.
        std::memcpy(items, other.items, sizeof items);
        if (!other.IsTriangle())
            other.SetBlock(nullptr);
    }

    static_assert(sizeof(std::uint32_t*) <= 2 * sizeof(std::uint32_t),
                  "a block's address fits in the room of two corners");
    // No corners: a block's address of null, spilled.
    std::uint32_t items[3] = {0, 0, kSpilled};
};

static_assert(sizeof(PolygonCorners) == 12, "twelve bytes a triangle");
