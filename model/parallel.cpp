#include "model/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>
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

unsigned Cores()
{
    // Asked once: the C library reads a system file for it every time.
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return cores;
}

unsigned Jobs()
{
    const unsigned jobs = JobSetting();
    return jobs != 0 ? jobs : Cores();
}

void SetJobs(unsigned jobs)
{
    JobSetting() = jobs;
}

namespace
{

// Threads that wait for work and share out each piece of it with the
// calling thread, so that the many short parallel steps of a conversion do
// not each start and end threads. A call made from inside a piece of work
// (a merge inside a wave of nodes) is shared out the same way: its caller
// works through it and any pool thread that is idle, or becomes idle before
// the work is done, joins in. A call in a child process, which has none of
// its parent's threads, gets threads of its own.
class Pool
{
public:
    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    ~Pool()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            isStopping = true;
        }
        wake.notify_all();
        for (std::thread& thread : threads)
            thread.join();
    }

    // Runs work() on the calling thread and on up to `helpers` pool threads
    // at once; returns when every run has ended. False, having run nothing,
    // when the pool cannot take it.
    bool Run(std::size_t helpers, const std::function<void()>& work)
    {
        const pid_t self = getpid();
        if (owner.load() != 0 && owner.load() != self)
            return false;
        std::unique_lock<std::mutex> lock(mutex);
        owner.store(self);
        if (threads.size() < helpers)
        {
            StartWithoutInterruptions(
                [&]
                {
                    try
                    {
                        while (threads.size() < helpers)
                            threads.emplace_back(&Pool::Serve, this);
                    }
                    catch (const std::exception&)
                    {
                        // No more threads to be had: the work is shared by
                        // those there are, and by the caller.
                    }
                });
            // Every thread waits for work before any is handed out: none is
            // still starting up (allocating, say) when the caller goes on,
            // which a fork right after would copy half done.
            started.wait(lock, [this] { return startedThreads == threads.size(); });
        }
        Request request{&work, helpers};
        requests.push_back(&request);
        const std::size_t threadCount = threads.size();
        lock.unlock();
        // As many threads as may join: the others sleep on.
        if (helpers >= threadCount)
            wake.notify_all();
        else
            for (std::size_t i = 0; i < helpers; ++i)
                wake.notify_one();
        work();
        lock.lock();
        // Runs not yet begun are not needed: the work is shared out.
        request.open = request.started;
        ended.wait(lock, [&] { return request.ended == request.started; });
        requests.erase(std::find(requests.begin(), requests.end(), &request));
        return true;
    }

private:
    struct Request
    {
        const std::function<void()>* work;
        std::size_t open;  // runs that may still begin
        std::size_t started = 0;
        std::size_t ended = 0;
    };

    // The oldest request that a thread may still join; the lock is held.
    Request* OpenRequest() const
    {
        for (Request* request : requests)
            if (request->started < request->open)
                return request;
        return nullptr;
    }

    void Serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++startedThreads;
        started.notify_all();
        for (;;)
        {
            Request* request = nullptr;
            wake.wait(lock,
                      [&]
                      {
                          request = OpenRequest();
                          return isStopping || request != nullptr;
                      });
            if (isStopping)
                return;
            ++request->started;
            lock.unlock();
            (*request->work)();
            lock.lock();
            // Its caller waits only for every begun run to end.
            if (++request->ended == request->started)
                ended.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable ended;
    std::condition_variable started;
    std::size_t startedThreads = 0;
    std::vector<std::thread> threads;
    std::vector<Request*> requests;  // oldest first
    bool isStopping = false;
    std::atomic<pid_t> owner{0};  // the process whose threads these are
};

Pool& ThePool()
{
    static Pool pool;
    return pool;
}

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
    const std::function<void()> work = [&]()
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
    const std::size_t helpers = std::min(threads, ranges) - 1;
    if (!ThePool().Run(helpers, work))
    {
        std::vector<std::thread> workers;
        try
        {
            workers.reserve(helpers);
            for (std::size_t i = 0; i < helpers; ++i)
                workers.emplace_back(work);
        }
        catch (const std::exception&)
        {
            // The calling thread takes what the others cannot.
        }
        work();
        for (std::thread& worker : workers)
            worker.join();
    }
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace

void StartWithoutInterruptions(const std::function<void()>& start)
{
    sigset_t interruptions, previous;
    sigemptyset(&interruptions);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&interruptions, signalNumber);
    pthread_sigmask(SIG_BLOCK, &interruptions, &previous);
    try
    {
        start();
    }
    catch (...)
    {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
