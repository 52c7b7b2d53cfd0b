#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

// An array kept in pages of a fixed number of elements, the first of which
// grows as a vector does until it is full. Growing a large array copies
// nothing, and its memory comes in pieces that fit the holes a heap is left
// with once large blocks were freed, where one block of the whole size would
// have to come from new memory; a small array takes no more than it holds.
// Elements past the old size are value-initialised; pages past the size are
// freed.
template <class T, unsigned PageBits = 16>
class PagedArray
{
public:
    static constexpr std::size_t kPageElements = std::size_t(1) << PageBits;

    PagedArray() = default;
    PagedArray(const PagedArray& other) : count(other.count), firstRoom(other.firstRoom)
    {
        pages.reserve(other.pages.size());
        for (std::size_t p = 0; p < other.pages.size(); ++p)
        {
            const std::size_t room = p == 0 ? firstRoom : kPageElements;
            pages.emplace_back(new T[room]);
            std::copy(other.pages[p].get(), other.pages[p].get() + room, pages.back().get());
        }
    }
    PagedArray(PagedArray&& other) noexcept { swap(other); }
    PagedArray& operator=(const PagedArray& other)
    {
        if (this != &other)
        {
            PagedArray copy(other);
            swap(copy);
        }
        return *this;
    }
    PagedArray& operator=(PagedArray&& other) noexcept
    {
        PagedArray taken(std::move(other));
        swap(taken);
        return *this;
    }

    std::size_t size() const { return count; }

    T& operator[](std::size_t i) { return pages[i >> PageBits][i & (kPageElements - 1)]; }
    const T& operator[](std::size_t i) const
    {
        return pages[i >> PageBits][i & (kPageElements - 1)];
    }

    void resize(std::size_t newCount)
    {
        const std::size_t pageCount = (newCount + kPageElements - 1) >> PageBits;
        if (pageCount < pages.size())
            pages.resize(pageCount);
        if (pageCount == 0)
            firstRoom = 0;
        else
            GrowFirstPage(pageCount > 1 ? kPageElements : newCount);
        // The kept room holds what the elements past the old size last were.
        const std::size_t room = pages.empty() ? 0 : firstRoom + ((pages.size() - 1) << PageBits);
        for (std::size_t i = count; i < std::min(newCount, room); ++i)
            (*this)[i] = T();
        while (pages.size() < pageCount)
            pages.emplace_back(new T[kPageElements]());
        count = newCount;
    }

    // Gives an empty array `newCount` elements whose values are not set
    // (default-initialised), for a caller that sets each one before reading
    // it: the first write to a fresh page is then the filling one, on
    // whichever job fills it.
    void ResizeUnset(std::size_t newCount)
    {
        assert(count == 0 && pages.empty());
        const std::size_t pageCount = (newCount + kPageElements - 1) >> PageBits;
        firstRoom = std::min(newCount, kPageElements);
        pages.reserve(pageCount);
        for (std::size_t p = 0; p < pageCount; ++p)
            pages.emplace_back(new T[p == 0 ? firstRoom : kPageElements]);
        count = newCount;
    }

    // Gives the first page the room an array of `total` elements has, for
    // a caller that grows the array to that size in steps: the later pages
    // are made as the steps reach them.
    void ReserveFirstPage(std::size_t total)
    {
        if (total > 0)
            GrowFirstPage(std::min(total, kPageElements));
    }

    void push_back(const T& value)
    {
        const std::size_t room = pages.empty() ? 0 : firstRoom + ((pages.size() - 1) << PageBits);
        if (count < room)
            (*this)[count++] = value;
        else
        {
            resize(count + 1);
            (*this)[count - 1] = value;
        }
    }

    // For a caller that moves elements to lower indices as it reads them:
    // frees page `page`, none of whose elements is read again, and gives
    // element i, whose page is made again (value-initialised) if it was
    // freed so.
    void FreePage(std::size_t page) { pages[page].reset(); }
    T& Remade(std::size_t i)
    {
        std::unique_ptr<T[]>& page = pages[i >> PageBits];
        if (!page)
            page.reset(new T[i >> PageBits == 0 ? firstRoom : kPageElements]());
        return page[i & (kPageElements - 1)];
    }

    // Frees every page.
    void Release()
    {
        std::vector<std::unique_ptr<T[]>>().swap(pages);
        count = 0;
        firstRoom = 0;
    }

    void swap(PagedArray& other) noexcept
    {
        pages.swap(other.pages);
        std::swap(count, other.count);
        std::swap(firstRoom, other.firstRoom);
    }

private:
    // Gives the first page room for at least `needed` elements (at most a
    // page), doubling as a vector does.
    void GrowFirstPage(std::size_t needed)
    {
        if (!pages.empty() && firstRoom >= needed)
            return;
        const std::size_t room = std::min(kPageElements, std::max(needed, 2 * firstRoom));
        std::unique_ptr<T[]> page(new T[room]());
        if (!pages.empty())
            std::copy(pages[0].get(), pages[0].get() + std::min(count, firstRoom), page.get());
        if (pages.empty())
            pages.push_back(std::move(page));
        else
            pages[0] = std::move(page);
        firstRoom = room;
    }

    std::vector<std::unique_ptr<T[]>> pages;
    std::size_t count = 0;
    std::size_t firstRoom = 0;  // elements the first page holds
};
