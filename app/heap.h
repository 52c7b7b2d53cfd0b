#pragma once

#include <cstddef>

// Sets up the C library's heap for a conversion; call once, first thing in
// main, before any thread starts.
//
// One heap for every thread, grown and never mapped block by block: a
// conversion builds, merges and frees meshes of hundreds of megabytes many
// times over, and memory handed back to the system (a mapped block freed,
// another thread's arena) is faulted and cleared in again on the next use.
// Kept in one heap, freed arrays are reused by the next mesh, and the peak
// stays that of the largest set of live meshes. The C library still maps
// memory when the heap cannot grow.
//
// The heap is also grown ahead by half the machine's memory, without
// touching it, and that room is asked for in huge pages where the system
// offers them: the first touch of a fresh page is what large conversions
// wait for most, and a huge page is faulted in once for 512 small ones.
// The room's blocks start at a huge page boundary: the memory below it would
// be faulted in page by page. Untouched room takes no memory. Returns the
// room made, 0 when none was.
std::size_t ConfigureHeap();

// Defined when the program is built with a sanitizer, whose heap is its own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLINTHEX_SANITIZED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define PLINTHEX_SANITIZED
#endif
#endif

// Whether the program is built with a sanitizer.
bool IsSanitized();

// Starts a thread that faults the heap's room in a little ahead of the
// conversion, at the lowest priority: it runs only on a core that would
// otherwise idle. Where memory the system hands out is fresh to the
// machine (a virtual machine whose host takes freed memory back), the first
// touch of a huge page costs a few milliseconds, and most of a large
// conversion's pages are first touched while one thread works alone. Steps
// of 2 MiB are faulted in just past the highest page the conversion has
// touched: a large block just cut is met from its far end, and the room
// past it is faulted in up to 16 MiB ahead (an eighth of what the heap uses
// when that is less). Each step is timed: when a huge page is dear to fault
// in (the system's free blocks of 2 MiB have gone back to the host), the
// rest of the room is faulted in with small pages, and back with huge ones
// should small pages turn out dear too. Does nothing without the room, with
// one job or one core, where the system cannot fault pages in ahead, or
// after the first call; stops under a control group's memory limit or when
// the system has less than 1 GiB available.
void WarmHeapAhead();
