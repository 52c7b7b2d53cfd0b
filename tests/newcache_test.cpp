// The program's operator new, linked into this test as into the program.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

#include "app/heap.h"

namespace
{

// Blocks of every size up to past the largest kept one hold their whole
// size, freed and handed out again in any order, on two threads at once.
TEST(NewCache, BlocksHoldWhatWasAskedForAcrossSizesAndThreads)
{
    auto churn = [](unsigned seed)
    {
        std::vector<std::pair<std::unique_ptr<unsigned char[]>, std::size_t>> live;
        std::uint32_t state = seed;
        for (int round = 0; round < 4000; ++round)
        {
            state = state * 1664525u + 1013904223u;
            const std::size_t size = (state >> 8) % (std::size_t(300) << 10) >> (state % 13);
            auto block = std::make_unique<unsigned char[]>(size);
            for (std::size_t i = 0; i < size; i += 61)
                block[i] = static_cast<unsigned char>(i ^ seed);
            if (size > 0)
                block[size - 1] = static_cast<unsigned char>(size);
            live.emplace_back(std::move(block), size);
            if (live.size() > 40)
            {
                const std::size_t k = state % live.size();
                const auto& [old, oldSize] = live[k];
                for (std::size_t i = 0; i + 1 < oldSize; i += 61)
                    ASSERT_EQ(old[i], static_cast<unsigned char>(i ^ seed));
                if (oldSize > 0)
                {
                    ASSERT_EQ(old[oldSize - 1], static_cast<unsigned char>(oldSize));
                }
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
            }
        }
    };
    std::thread other(churn, 7u);
    churn(3u);
    other.join();
}

// A block freed is kept for the thread's next request of its size: the C
// library's malloc in between does not get it.
TEST(NewCache, FreedBlockIsKeptForTheNextRequest)
{
    if (IsSanitized())
        GTEST_SKIP() << "a sanitizer's operator new is its own";
    // A thread of its own, which has kept nothing yet.
    std::thread(
        []
        {
            for (const std::size_t size : {std::size_t(40), std::size_t(3000), std::size_t(200000)})
            {
                auto* first = new char[size];
                const auto firstAt = reinterpret_cast<std::uintptr_t>(first);
                delete[] first;
                void* plain = std::malloc(size);
                auto* second = new char[size - 1];
                EXPECT_EQ(firstAt, reinterpret_cast<std::uintptr_t>(second)) << size;
                EXPECT_NE(plain, static_cast<void*>(second)) << size;
                delete[] second;
                std::free(plain);
            }
        })
        .join();
}

}  // namespace
