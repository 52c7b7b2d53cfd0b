#include "model/prefault.h"

#include <cstdint>
#include <sys/mman.h>

#include "model/parallel.h"

void Prefault::InParallel(const void* begin, std::size_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t kChunk = std::uintptr_t(2) << 20;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(begin);
    const std::uintptr_t first = (start + kChunk - 1) & ~(kChunk - 1);
    const std::uintptr_t last = (start + bytes) & ~(kChunk - 1);
    if (last <= first || (last - first) / kChunk < 2 || Parallel::Jobs() == 1)
        return;
    // Populating writes nothing: a page already there is left as it is.
    Parallel::For((last - first) / kChunk, 1,
                  [&](std::size_t from, std::size_t to)
                  {
                      (void)madvise(reinterpret_cast<void*>(first + from * kChunk),
                                    (to - from) * kChunk, MADV_POPULATE_WRITE);
                  });
#else
    (void)begin;
    (void)bytes;
#endif
}
