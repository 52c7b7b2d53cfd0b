#pragma once

#include <cassert>
#include <cstring>
#include <type_traits>

// A growable array of trivially copyable items that keeps up to InlineCount of
// them inside the object. A mesh holds hundreds of thousands of triangles, each
// with two short index lists; keeping them inline saves two heap blocks per
// triangle.
template <typename T, unsigned InlineCount>
class InlineArray
{
    static_assert(std::is_trivially_copyable<T>::value, "items are copied bytewise");

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

    unsigned size() const { return itemCount; }
    bool empty() const { return itemCount == 0; }
    T* data() { return isOnHeap ? heap.items : inlineItems; }
    const T* data() const { return isOnHeap ? heap.items : inlineItems; }
    T* begin() { return data(); }
    T* end() { return data() + itemCount; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + itemCount; }

    T& operator[](unsigned i)
    {
        assert(i < itemCount);
        return data()[i];
    }

    const T& operator[](unsigned i) const
    {
        assert(i < itemCount);
        return data()[i];
    }

    void push_back(const T& item)
    {
        if (itemCount == capacity())
            Grow(itemCount * 2);
        data()[itemCount++] = item;
    }

    // Empties the array; a heap block stays for reuse.
    void clear() { itemCount = 0; }

    void reserve(unsigned count)
    {
        if (count > capacity())
            Grow(count);
    }

private:
    unsigned capacity() const { return isOnHeap ? heap.capacity : InlineCount; }

    void Grow(unsigned newCapacity)
    {
        T* grown = new T[newCapacity];
        if (itemCount)
            std::memcpy(grown, data(), itemCount * sizeof(T));
        if (isOnHeap)
            delete[] heap.items;
        heap.items = grown;
        heap.capacity = newCapacity;
        isOnHeap = true;
    }

    void Release()
    {
        if (isOnHeap)
            delete[] heap.items;
        isOnHeap = false;
        itemCount = 0;
    }

    void CopyFrom(const InlineArray& other)
    {
        if (other.itemCount > InlineCount)
        {
            heap.items = new T[other.itemCount];
            heap.capacity = other.itemCount;
            isOnHeap = true;
        }
        if (other.itemCount)
            std::memcpy(data(), other.data(), other.itemCount * sizeof(T));
        itemCount = other.itemCount;
    }

    void TakeFrom(InlineArray& other)
    {
        if (other.isOnHeap)
        {
            heap = other.heap;
            isOnHeap = true;
        }
        else
        {
            // The whole inline store: a fixed size copies without a call.
            std::memcpy(inlineItems, other.inlineItems, sizeof inlineItems);
        }
        itemCount = other.itemCount;
        other.isOnHeap = false;
        other.itemCount = 0;
    }

    struct HeapBlock
    {
        T* items;
        unsigned capacity;
    };
    // The items live inline until they outgrow it, then in a heap block: the
    // two share the same bytes.
    union
    {
        T inlineItems[InlineCount] = {};
        HeapBlock heap;
    };
    unsigned itemCount = 0;
    bool isOnHeap = false;
};
