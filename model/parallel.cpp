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
    const std::size_t ranges = (count + rangeSize - 1) / rangeSize;
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

}  // namespace Parallel
