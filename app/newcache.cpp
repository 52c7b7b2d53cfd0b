// Blocks of up to 256 KiB that a thread frees through operator delete are
// kept by that thread, a few of each size, and handed out again by its next
// operator new of that size, without the heap's lock.
//
// Every thread shares one heap (see heap.h), and its lock is taken by every
// allocation the C library's own small per-thread cache cannot serve: the
// lists that grow while a file is read, a mesh merged or a normal smoothed.
// When two threads want it at once, one sleeps and is woken by a system
// call; on a machine whose system calls go through a hypervisor these were
// most of the program's system calls (7,000 on the carriage house).
//
// Sizes are rounded up to classes four to a doubling (a quarter lost at
// most), so that a block freed can serve any later request of its class;
// a list doubling its length stays in classes of its own. A thread keeps
// at most 2 MiB (all of it goes back to the heap when a block would take it
// past that), and hands everything back when it ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <new>

#include "app/heap.h"

// Sanitizers check every allocation through their own operator new.
#ifndef PLINTHEX_SANITIZED
namespace
{

constexpr std::size_t kSmallest = 32;
constexpr std::size_t kLargest = std::size_t(256) << 10;
constexpr unsigned kStepsPerDoubling = 4;
// Classes 32, 40, 48, 56, 64, 80, ... 256 KiB.
constexpr unsigned kClassCount = 13 * kStepsPerDoubling + 1;
// A thread keeps at most this much, and of one class at most 64 blocks and
// no more than a quarter of it (one block at least).
constexpr std::size_t kMostKept = std::size_t(2) << 20;
constexpr unsigned kMostKeptOfClass = 64;

// The size of class c.
constexpr std::size_t ClassSize(unsigned c)
{
    const unsigned doubling = c / kStepsPerDoubling;
    const unsigned step = c % kStepsPerDoubling;
    const std::size_t base = kSmallest << doubling;
    return base + base / kStepsPerDoubling * step;
}

// The smallest class that holds `size` bytes (size <= kLargest).
unsigned ClassFor(std::size_t size)
{
    if (size <= kSmallest)
        return 0;
    // The doubling whose base is the highest power of two below size.
    const unsigned highBit = 63u - static_cast<unsigned>(__builtin_clzll(size - 1));
    const unsigned doubling = highBit - 5;  // kSmallest is 2^5
    const std::size_t base = kSmallest << doubling;
    const std::size_t quarter = base / kStepsPerDoubling;
    const std::size_t step = (size - 1 - base) / quarter + 1;
    return doubling * kStepsPerDoubling + static_cast<unsigned>(step);
}

struct FreeBlock
{
    FreeBlock* next;
};

// Zero-initialised, without a destructor: cheap to reach from any thread,
// at any time. `isClosed` is set once the thread's keeper has handed
// everything back.
struct Kept
{
    FreeBlock* lists[kClassCount];
    unsigned counts[kClassCount];
    std::size_t bytes;
    bool isClosed;
};
thread_local Kept kept;

void HandBack()
{
    for (unsigned c = 0; c < kClassCount; ++c)
    {
        while (kept.lists[c] != nullptr)
        {
            FreeBlock* block = kept.lists[c];
            kept.lists[c] = block->next;
            std::free(block);
        }
        kept.counts[c] = 0;
    }
    kept.bytes = 0;
}

// Hands the thread's blocks back when it ends.
struct Keeper
{
    Keeper() = default;
    Keeper(const Keeper&) = delete;
    Keeper& operator=(const Keeper&) = delete;
    ~Keeper()
    {
        kept.isClosed = true;
        HandBack();
    }
};

void* Allocate(std::size_t size)
{
    if (size <= kLargest && !kept.isClosed)
    {
        const unsigned c = ClassFor(size);
        if (FreeBlock* block = kept.lists[c])
        {
            kept.lists[c] = block->next;
            --kept.counts[c];
            kept.bytes -= ClassSize(c);
            return block;
        }
        size = ClassSize(c);
    }
    for (;;)
    {
        if (void* block = std::malloc(size == 0 ? 1 : size))
            return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}

void Release(void* block)
{
    if (block == nullptr)
        return;
    const std::size_t usable = malloc_usable_size(block);
    if (usable <= kLargest + 16 && usable >= kSmallest && !kept.isClosed)
    {
        // The largest class the block holds: its own.
        unsigned c = ClassFor(usable);
        if (ClassSize(c) > usable)
            --c;
        const std::size_t size = ClassSize(c);
        const std::size_t most = std::clamp<std::size_t>(kMostKept / 4 / size, 1, kMostKeptOfClass);
        if (kept.counts[c] < most)
        {
            // The keeper is made with the first block the thread keeps.
            static thread_local Keeper keeper;
            // Blocks of sizes no longer asked for go back to the heap.
            if (kept.bytes + size > kMostKept)
                HandBack();
            auto* freed = static_cast<FreeBlock*>(block);
            freed->next = kept.lists[c];
            kept.lists[c] = freed;
            ++kept.counts[c];
            kept.bytes += size;
            return;
        }
    }
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size)
{
    return Allocate(size);
}

void* operator new[](std::size_t size)
{
    return Allocate(size);
}

void operator delete(void* block) noexcept
{
    Release(block);
}

void operator delete[](void* block) noexcept
{
    Release(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    Release(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    Release(block);
}
#endif
