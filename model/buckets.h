#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "model/pagedarray.h"
#include "model/parallel.h"

// An allocator whose lists make new items without setting them (a new int
// holds whatever the memory held), for lists that are written in full
// before they are read. Growing such a list does not write it: the first
// write to its fresh memory is the filling one, which may run on every job,
// where setting the items first would fault every page in on one thread.
template <typename T>
struct UnsetItemsAllocator : std::allocator<T>
{
    template <typename U>
    struct rebind
    {
        using other = UnsetItemsAllocator<U>;
    };
    UnsetItemsAllocator() = default;
    template <typename U>
    explicit UnsetItemsAllocator(const UnsetItemsAllocator<U>& /*other*/)
    {
    }
    template <typename U>
    void construct(U* item)
    {
        ::new (static_cast<void*>(item)) U;
    }
    template <typename U, typename... Arguments>
    void construct(U* item, Arguments&&... arguments)
    {
        ::new (static_cast<void*>(item)) U(std::forward<Arguments>(arguments)...);
    }
};

// Items grouped by a whole-number key, each group in the order the items
// were visited (a counting sort): the items of key k are
// items[first[k]] up to items[first[k + 1]].
template <typename Item, typename Items = std::vector<Item, UnsetItemsAllocator<Item>>>
struct Buckets
{
    std::vector<unsigned> first;
    Items items;  // each one filled
};

// Items kept in pages (PagedArray), for many items made while the heap holds
// holes that one block of them would not fit.
template <typename Item>
using PagedBuckets = Buckets<Item, PagedArray<Item>>;

namespace buckets_detail
{
template <typename Item, typename Allocator>
void SizeItems(std::vector<Item, Allocator>& items, std::size_t count)
{
    items.resize(count);
}
template <typename Item>
void SizeItems(PagedArray<Item>& items, std::size_t count)
{
    items.ResizeUnset(count);
}
}  // namespace buckets_detail

// `visit(emit)` must call emit(key, item), key below keyCount, for every
// item, in the same order each time: it is called twice, once to count and
// once to fill.
template <typename Item, typename Items = std::vector<Item, UnsetItemsAllocator<Item>>,
          typename Visit>
Buckets<Item, Items> BuildBuckets(std::size_t keyCount, Visit visit)
{
    Buckets<Item, Items> buckets;
    buckets.first.assign(keyCount + 1, 0);
    visit([&buckets](std::size_t key, const Item&) { ++buckets.first[key + 1]; });
    for (std::size_t k = 0; k < keyCount; ++k)
        buckets.first[k + 1] += buckets.first[k];
    buckets_detail::SizeItems(buckets.items, buckets.first[keyCount]);
    std::vector<unsigned> fill(buckets.first.begin(), buckets.first.end() - 1);
    visit([&buckets, &fill](std::size_t key, const Item& item)
          { buckets.items[fill[key]++] = item; });
    return buckets;
}

// The same buckets, made on every job: each job visits every item and keeps
// those of its own range of keys, so visit must be safe to call from several
// threads at once. Worth it for many items over many keys. Every visit reads
// all the items, so there are no more ranges than cores: more jobs than
// cores would only read them more often (the buckets are the same for any
// split of the keys).
template <typename Item, typename Items = std::vector<Item, UnsetItemsAllocator<Item>>,
          typename Visit>
Buckets<Item, Items> BuildBucketsOnEveryJob(std::size_t keyCount, Visit visit)
{
    const std::size_t jobs =
        std::min<std::size_t>(std::min(Parallel::Jobs(), Parallel::Cores()), keyCount);
    if (jobs <= 1)
        return BuildBuckets<Item, Items>(keyCount, visit);
    Buckets<Item, Items> buckets;
    buckets.first.assign(keyCount + 1, 0);
    const auto keysOf = [&](std::size_t job) { return keyCount * job / jobs; };
    Parallel::ForEach(jobs,
                      [&](std::size_t job)
                      {
                          const std::size_t lo = keysOf(job), hi = keysOf(job + 1);
                          visit(
                              [&](std::size_t key, const Item&)
                              {
                                  if (key >= lo && key < hi)
                                      ++buckets.first[key + 1];
                              });
                      });
    for (std::size_t k = 0; k < keyCount; ++k)
        buckets.first[k + 1] += buckets.first[k];
    buckets_detail::SizeItems(buckets.items, buckets.first[keyCount]);
    std::vector<unsigned> fill(buckets.first.begin(), buckets.first.end() - 1);
    Parallel::ForEach(jobs,
                      [&](std::size_t job)
                      {
                          const std::size_t lo = keysOf(job), hi = keysOf(job + 1);
                          visit(
                              [&](std::size_t key, const Item& item)
                              {
                                  if (key >= lo && key < hi)
                                      buckets.items[fill[key]++] = item;
                              });
                      });
    return buckets;
}
