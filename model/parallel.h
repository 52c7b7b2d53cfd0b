#pragma once

#include <cstddef>
#include <functional>

// A fixed number of worker threads for work split into independent pieces.
// The split is deterministic: the same count and job number always give the
// same ranges, so results that are put together in range order are the same
// for every job number.
namespace Parallel
{

// The number of threads work may use (1 or more). Until set, one per core.
unsigned Jobs();
// Sets the number of threads; 0 means one per core.
void SetJobs(unsigned jobs);
// The number of cores (1 or more), whatever the number of jobs.
unsigned Cores();

// Calls body(begin, end) for consecutive ranges that together cover
// [0, count), on up to Jobs() threads at once; returns when all are done.
// Ranges are at least `grain` long (except the last). The calling thread
// takes part. An exception thrown by a body is rethrown here after every
// range has ended.
void For(std::size_t count, std::size_t grain,
         const std::function<void(std::size_t begin, std::size_t end)>& body);

// Calls start(), which starts threads, with the interruption signals
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) held back from the calling thread, so
// that the threads it starts never take them: interruptions are left to the
// threads that expect them.
void StartWithoutInterruptions(const std::function<void()>& start);

// Calls body(i) for every i in [0, count), each item a piece of its own,
// handed out in index order to whichever thread is free: for a few items of
// very different cost, put the costly ones first. Otherwise as For.
void ForEach(std::size_t count, const std::function<void(std::size_t item)>& body);

}  // namespace Parallel
