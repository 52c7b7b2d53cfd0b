#include "app/heap.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include "model/parallel.h"

namespace
{

// The flags of the mapping that holds `address`, as /proc/self/smaps gives
// them ("rd wr mr ... hg"), or empty when none does.
std::string MappingFlags(const void* address)
{
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool isInside = false;
    while (std::getline(smaps, line))
    {
        std::uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> begin >> dash >> end && dash == '-')
        {
            isInside = at >= begin && at < end;
            continue;
        }
        if (isInside && line.rfind("VmFlags:", 0) == 0)
            return line.substr(8) + " ";
    }
    return "";
}

bool OffersHugePages()
{
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text;
    std::getline(setting, text);
    return text.find("[madvise]") != std::string::npos ||
           text.find("[always]") != std::string::npos;
}

// Blocks cut from the room made ahead (any that the memory freed before it
// cannot hold) lie in memory asked for in huge pages, the first of them at
// a huge page's start: none lies in the small pages below it.
TEST(Heap, LaterBlocksComeFromTheHugePageRoom)
{
    if (IsSanitized())
        GTEST_SKIP() << "a sanitizer's heap is its own";
    if (!OffersHugePages())
        GTEST_SKIP() << "the system offers no huge pages";
    ASSERT_GE(ConfigureHeap(), std::size_t(64) << 20);
    for (const std::size_t size : {std::size_t(3) << 20, std::size_t(40) << 20})
    {
        void* block = std::malloc(size);
        ASSERT_NE(block, nullptr);
        if (size == std::size_t(3) << 20)
        {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (std::uintptr_t(2) << 20), 0u);
        }
        const char* second = static_cast<const char*>(block) + 4096;
        const char* last = static_cast<const char*>(block) + size - 1;
        EXPECT_NE(MappingFlags(second).find(" hg "), std::string::npos) << size;
        EXPECT_NE(MappingFlags(last).find(" hg "), std::string::npos) << size;
        std::free(block);
    }
}

// Whether the page that holds `address` is in memory.
bool IsInMemory(const char* address)
{
    const auto pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(address) & ~(pageSize - 1);
    unsigned char resident = 0;
    return mincore(reinterpret_cast<void*>(page), pageSize, &resident) == 0 && (resident & 1) != 0;
}

bool CanFaultInAhead()
{
#ifdef MADV_POPULATE_WRITE
    void* probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED)
        return false;
    const bool can = madvise(probe, 4096, MADV_POPULATE_WRITE) == 0;
    munmap(probe, 4096);
    return can;
#else
    return false;
#endif
}

// A large block cut from the room and written at its start is faulted in
// to its end, and the room a little past it, by the thread that warms the
// heap; the room 24 MiB and more past it is left alone.
TEST(Heap, WarmsTheBlockBeingFilledAndLittleMore)
{
    if (IsSanitized())
        GTEST_SKIP() << "a sanitizer's heap is its own";
    if (Parallel::Cores() < 2 || !CanFaultInAhead())
        GTEST_SKIP() << "one core, or no faulting in ahead: nothing warms the heap";
    ASSERT_GE(ConfigureHeap(), std::size_t(512) << 20);
    WarmHeapAhead();
    constexpr std::size_t kSize = std::size_t(100) << 20;
    constexpr std::size_t kMiB = std::size_t(1) << 20;
    auto* block = static_cast<char*>(std::malloc(kSize));
    ASSERT_NE(block, nullptr);
    block[0] = 1;
    const auto waitFor = [](const char* address)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!IsInMemory(address) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return IsInMemory(address);
    };
    EXPECT_TRUE(waitFor(block + kSize - 1));
    EXPECT_TRUE(waitFor(block + kSize + 8 * kMiB));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(IsInMemory(block + kSize + 24 * kMiB));
    std::free(block);
}

}  // namespace
