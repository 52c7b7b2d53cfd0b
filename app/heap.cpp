#include "app/heap.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include "app/limits.h"

namespace
{

constexpr std::size_t kTopPad = std::size_t(32) << 20;
constexpr std::uint64_t kMostRoom = std::uint64_t(64) << 30;
constexpr std::size_t kLeastRoom = std::size_t(64) << 20;

// Asks for [begin, end) in huge pages, rounded inwards to whole pages.
void AdviseHugePages(std::uintptr_t begin, std::uintptr_t end)
{
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return;
    const std::uintptr_t page = static_cast<std::uintptr_t>(pageSize);
    begin = (begin + page - 1) & ~(page - 1);
    end &= ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

bool IsSanitized()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

std::size_t ConfigureHeap()
{
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    // Never handed back: the room made below stays the heap's.
    mallopt(M_TRIM_THRESHOLD, -1);
    mallopt(M_TOP_PAD, static_cast<int>(kTopPad));
    // Sanitizers bring heaps of their own, which check every byte.
    if (IsSanitized())
        return 0;
    std::size_t room =
        static_cast<std::size_t>(std::min<std::uint64_t>(kMostRoom, PhysicalMemory() / 2));
    for (; room >= kLeastRoom; room /= 2)
    {
        // One block as large as the room, freed at once: the heap keeps it as
        // its free top, and later blocks are cut from it.
        void* block = std::malloc(room);
        if (block == nullptr)
            continue;
        const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(block);
        std::uintptr_t end = begin + room;
        // The heap grew by the block and its padding, right at the break;
        // a block the library had to map elsewhere is advised alone.
        const std::uintptr_t brk = reinterpret_cast<std::uintptr_t>(sbrk(0));
        if (brk >= end && brk - end <= 2 * kTopPad)
            end = brk;
        AdviseHugePages(begin, end);
        std::free(block);
        return room;
    }
    return 0;
}
