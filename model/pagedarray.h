#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

// An array kept in pages of a fixed number of elements. Growing it copies
// nothing, and its memory comes in pieces that fit the holes a heap is left
// with once large blocks were freed, where one block of the whole size would
// have to come from new memory. Elements past the old size are
// value-initialised; pages past the size are freed.
template <class T, unsigned PageBits = 16>
class PagedArray
{
public:
    static constexpr std::size_t kPageElements = std::size_t(1) << PageBits;

    PagedArray() = default;
    PagedArray(const PagedArray& other) : count(other.count)
    {
        pages.reserve(other.pages.size());
        for (const auto& page : other.pages)
        {
            pages.emplace_back(new T[kPageElements]);
            std::copy(page.get(), page.get() + kPageElements, pages.back().get());
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
        // The kept pages hold what the elements past the old size last were.
        const std::size_t kept = std::min(newCount, pages.size() << PageBits);
        for (std::size_t i = count; i < kept; ++i)
            (*this)[i] = T();
        while (pages.size() < pageCount)
            pages.emplace_back(new T[kPageElements]());
        count = newCount;
    }

    // Frees every page.
    void Release()
    {
        std::vector<std::unique_ptr<T[]>>().swap(pages);
        count = 0;
    }

    void swap(PagedArray& other) noexcept
    {
        pages.swap(other.pages);
        std::swap(count, other.count);
    }

private:
    std::vector<std::unique_ptr<T[]>> pages;
    std::size_t count = 0;
};
