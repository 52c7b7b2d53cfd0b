#include <malloc.h>

#include "app/driver.h"

int main(int argc, char** argv)
{
    // Keep freed memory for reuse rather than handing it back and faulting
    // (and clearing) it in again: meshes grow and are emptied many times in
    // one run, so even the largest blocks come from the reused heap.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    mallopt(M_TOP_PAD, 32 * 1024 * 1024);
    return RunPlinthex(argc, argv);
}
