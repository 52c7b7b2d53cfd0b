#include <malloc.h>

#include "app/driver.h"

int main(int argc, char** argv)
{
    // One heap for every thread, grown and never mapped block by block: a
    // conversion builds, merges and frees meshes of hundreds of megabytes
    // many times over, and memory handed back to the system (a mapped block
    // freed, another thread's arena) is faulted and cleared in again on the
    // next use, which on virtual machines costs as much as the work itself.
    // Kept in one heap, freed arrays are reused by the next mesh, and the
    // peak stays that of the largest set of live meshes. The C library still
    // maps memory when the heap cannot grow.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    mallopt(M_TOP_PAD, 32 * 1024 * 1024);
    return RunPlinthex(argc, argv);
}
