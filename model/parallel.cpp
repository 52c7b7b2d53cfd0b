#include "model/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

unsigned& JobSetting()
{
    static unsigned jobs = 0;
    return jobs;
}

}  // namespace

namespace Parallel
{

unsigned Jobs()
{
    const unsigned jobs = JobSetting();
    if (jobs != 0)
        return jobs;
    return std::max(1u, std::thread::hardware_concurrency());
}

void SetJobs(unsigned jobs)
{
    JobSetting() = jobs;
}

namespace
{

// Runs body on `ranges` consecutive ranges of `rangeSize` covering [0, count).
void RunRanges(std::size_t count, std::size_t rangeSize, std::size_t ranges,
               const std::function<void(std::size_t begin, std::size_t end)>& body)
{
    const std::size_t threads = Jobs();
    if (threads == 1 || ranges == 1)
    {
        body(0, count);
        return;
    }

    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto work = [&]()
    {
        for (;;)
        {
            const std::size_t range = next.fetch_add(1);
            if (range >= ranges)
                return;
            const std::size_t begin = range * rangeSize;
            try
            {
                body(begin, std::min(count, begin + rangeSize));
            }
            catch (...)
            {
                const std::lock_guard<std::mutex> lock(failureLock);
                if (!failure)
                    failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> workers;
    const std::size_t helpers = std::min(threads, ranges) - 1;
    workers.reserve(helpers);
    for (std::size_t i = 0; i < helpers; ++i)
        workers.emplace_back(work);
    work();
    for (std::thread& worker : workers)
        worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace

void For(std::size_t count, std::size_t grain,
         const std::function<void(std::size_t begin, std::size_t end)>& body)
{
    if (count == 0)
        return;
    grain = std::max<std::size_t>(grain, 1);
    // Ranges: a few per thread so uneven pieces even out, never below grain.
    const std::size_t threads = Jobs();
    const std::size_t wanted = threads == 1 ? 1 : threads * 4;
    const std::size_t rangeSize = std::max(grain, (count + wanted - 1) / wanted);
    RunRanges(count, rangeSize, (count + rangeSize - 1) / rangeSize, body);
}

void ForEach(std::size_t count, const std::function<void(std::size_t item)>& body)
{
    if (count == 0)
        return;
    RunRanges(count, 1, count,
              [&body](std::size_t begin, std::size_t end)
              {
                  for (std::size_t i = begin; i < end; ++i)
                      body(i);
              });
}

}  // namespace Parallel
