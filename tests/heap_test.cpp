#include "app/heap.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

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
// cannot hold) lie in memory asked for in huge pages, but for the page the
// room starts in.
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
        const char* second = static_cast<const char*>(block) + 4096;
        const char* last = static_cast<const char*>(block) + size - 1;
        EXPECT_NE(MappingFlags(second).find(" hg "), std::string::npos) << size;
        EXPECT_NE(MappingFlags(last).find(" hg "), std::string::npos) << size;
        std::free(block);
    }
}

}  // namespace
