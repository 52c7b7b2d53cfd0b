#pragma once

#include <cassert>
#include <cstring>
#include <type_traits>

// A growable array of trivially copyable items that keeps up to InlineCount of
// them inside the object, for short lists built an item at a time (a
// polygon's corners as they are placed): no heap block unless it grows past
// them, and packing the block's address into the inline room keeps the
// object to the items and one count.
template <typename T, unsigned InlineCount>
class InlineArray
{
    static_assert(std::is_trivially_copyable<T>::value, "items are copied bytewise");
    static_assert(sizeof(T) * InlineCount >= sizeof(T*) + sizeof(unsigned),
                  "the inline room holds a heap block's address and capacity");

public:
    InlineArray() = default;
    InlineArray(const InlineArray& other) { CopyFrom(other); }
    InlineArray(InlineArray&& other) noexcept { TakeFrom(other); }
    ~InlineArray() { Release(); }

    InlineArray& operator=(const InlineArray& other)
    {
        if (this != &other)
        {
            Release();
            CopyFrom(other);
        }
        return *this;
    }

    InlineArray& operator=(InlineArray&& other) noexcept
    {
        if (this != &other)
        {
            Release();
            TakeFrom(other);
        }
        return *this;
    }

    unsigned size() const { return count & kCountMask; }
    bool empty() const { return size() == 0; }
    T* data() { return IsOnHeap() ? HeapItems() : items; }
    const T* data() const { return IsOnHeap() ? HeapItems() : items; }
    T* begin() { return data(); }
    T* end() { return data() + size(); }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size(); }

    T& operator[](unsigned i)
    {
        assert(i < size());
        return data()[i];
    }

    const T& operator[](unsigned i) const
    {
        assert(i < size());
        return data()[i];
    }

    void push_back(const T& item)
    {
        const unsigned n = size();
        if (n == capacity())
            Grow(n * 2);
        data()[n] = item;
        ++count;
    }

    // Replaces the items by `n` items from `from`.
    void assign(const T* from, unsigned n)
    {
        if (!IsOnHeap() && n <= InlineCount)
        {
            // A few items: no call to a copying routine.
            for (unsigned i = 0; i < n; ++i)
                items[i] = from[i];
            count = n;
            return;
        }
        clear();
        reserve(n);
        std::memcpy(data(), from, n * sizeof(T));
        count = (count & kOnHeap) | n;
    }

    // Empties the array; a heap block stays for reuse.
    void clear() { count &= kOnHeap; }

    void reserve(unsigned wanted)
    {
        if (wanted > capacity())
            Grow(wanted);
    }

private:
    static constexpr unsigned kOnHeap = 1u << 31;
    static constexpr unsigned kCountMask = kOnHeap - 1;

    bool IsOnHeap() const { return (count & kOnHeap) != 0; }
    // The heap block's address and capacity live in the bytes of the inline
    // items, copied in and out byte for byte.
    T* HeapItems() const
    {
        T* block;
        std::memcpy(&block, Room(), sizeof block);
        return block;
    }
    unsigned HeapCapacity() const
    {
        unsigned heapCapacity;
        std::memcpy(&heapCapacity, Room() + sizeof(T*), sizeof heapCapacity);
        return heapCapacity;
    }
    void SetHeap(T* block, unsigned heapCapacity)
    {
        std::memcpy(Room(), &block, sizeof block);
        std::memcpy(Room() + sizeof(T*), &heapCapacity, sizeof heapCapacity);
        count |= kOnHeap;
    }
    unsigned char* Room() { return reinterpret_cast<unsigned char*>(items); }
    const unsigned char* Room() const { return reinterpret_cast<const unsigned char*>(items); }
    unsigned capacity() const { return IsOnHeap() ? HeapCapacity() : InlineCount; }

    void Grow(unsigned newCapacity)
    {
        T* grown = new T[newCapacity];
        const unsigned n = size();
        if (n)
            std::memcpy(grown, data(), n * sizeof(T));
        if (IsOnHeap())
            delete[] HeapItems();
        SetHeap(grown, newCapacity);
    }

    void Release()
    {
        if (IsOnHeap())
            delete[] HeapItems();
        count = 0;
    }

    void CopyFrom(const InlineArray& other)
    {
        const unsigned n = other.size();
        count = 0;
        if (n > InlineCount)
            SetHeap(new T[n], n);
        if (n)
            std::memcpy(data(), other.data(), n * sizeof(T));
        count = (count & kOnHeap) | n;
    }

    void TakeFrom(InlineArray& other)
    {
        // The whole room: a heap block's address, or the inline items.
        std::memcpy(items, other.items, sizeof items);
        count = other.count;
        other.count = 0;
    }

    // The items while they fit, else the heap block's address and capacity.
    T items[InlineCount] = {};
    unsigned count = 0;  // the item count, kOnHeap set when on the heap
};
